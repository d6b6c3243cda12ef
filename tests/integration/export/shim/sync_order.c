/* Preloaded into a program under test: records, in order, every fsync/fdatasync of a journal file or
 * folder and the first write of every frame to a terminal line, one line each, into the file named by
 * KV_SYNC_ORDER_LOG:
 *   SYNC <path>      a journal file (".../Journal/Journal....txt") put on the disk
 *   SYNCDIR <path>   the journal folder put on the disk
 *   TTY <op>         a frame (first byte STX) written to a terminal; <op>: its operation type ("C0", "A0")
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static ssize_t (*real_write)(int, const void*, size_t);

static void Record(const char* line) {
  const char* path = getenv("KV_SYNC_ORDER_LOG");
  if (path == NULL) return;
  if (real_write == NULL) real_write = (ssize_t(*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
  const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  (void)!real_write(fd, line, strlen(line));
  close(fd);
}

static void RecordSync(int fd) {
  char link[64], target[1024];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, target, sizeof target - 1);
  if (n <= 0) return;
  target[n] = '\0';
  char line[1100];
  const size_t len = strlen(target);
  if (strstr(target, "/Journal/Journal") != NULL) {
    snprintf(line, sizeof line, "SYNC %s\n", target);
  } else if (len >= 8 && strcmp(target + len - 8, "/Journal") == 0) {
    snprintf(line, sizeof line, "SYNCDIR %s\n", target);
  } else {
    return;
  }
  Record(line);
}

int fsync(int fd) {
  static int (*real)(int);
  if (real == NULL) real = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
  const int r = real(fd);
  if (r == 0) RecordSync(fd);
  return r;
}

int fdatasync(int fd) {
  static int (*real)(int);
  if (real == NULL) real = (int (*)(int))dlsym(RTLD_NEXT, "fdatasync");
  const int r = real(fd);
  if (r == 0) RecordSync(fd);
  return r;
}

ssize_t write(int fd, const void* buf, size_t n) {
  if (real_write == NULL) real_write = (ssize_t(*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
  const unsigned char* p = (const unsigned char*)buf;
  if (n >= 11 && p[0] == 0x02 && isatty(fd)) {
    char line[16];
    snprintf(line, sizeof line, "TTY %c%c\n", p[9], p[10]);
    Record(line);
  }
  return real_write(fd, buf, n);
}
