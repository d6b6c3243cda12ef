// bankhost: a simulated bank host for tests and demonstrations without a network.
//
// Listens on 127.0.0.1:<port>, takes connections one after another, records what each client
// sends, and behaves as the chosen mode says:
//   answer  one receive, then the reply (default)
//   split   one receive, then the reply in two TCP segments, 200 ms apart
//   silent  one receive, then nothing until the client closes
//   close   one receive, then close without a reply
//   refuse  bind a port, print it, close the listener: connections to it are refused
//   hangup  accept, then close at once, before anything is received
//   hang    never accept, with the accept queue kept full: a client's connect neither succeeds nor fails
// The reply is --reply-hex, --reply-text, --reply-len N bytes ("0123456789" repeated), or (without any)
// the received bytes echoed.
//
// Records go to --record FILE (appended) or standard output, one line per receive:
//   RECV <count> <hex bytes>
// The listening port is printed first as "LISTENING <port>" (useful with --port 0).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Options {
  int port = 0;
  std::string mode = "answer";
  std::vector<unsigned char> reply;
  bool haveReply = false;
  std::string record;
  int count = 0;         // connections to serve; 0 = until stopped
  int splitAt = -1;      // split mode: bytes in the first segment (default half)
  int delayMs = 0;       // before answering
  int idleSeconds = 30;  // a connection that sends nothing for this long is dropped
};

void Usage() {
  std::fprintf(stderr,
               "usage: bankhost [--port N] [--mode answer|split|silent|close|refuse|hangup|hang]\n"
               "                [--reply-hex HEX | --reply-text TEXT | --reply-len N] [--record FILE]\n"
               "                [--count N] [--split-at N] [--delay-ms N] [--idle-seconds N]\n");
}

bool ParseHex(const char* text, std::vector<unsigned char>* out) {
  out->clear();
  int hi = -1;
  for (const char* p = text; *p != '\0'; ++p) {
    int v;
    if (*p >= '0' && *p <= '9') {
      v = *p - '0';
    } else if (*p >= 'a' && *p <= 'f') {
      v = *p - 'a' + 10;
    } else if (*p >= 'A' && *p <= 'F') {
      v = *p - 'A' + 10;
    } else if (*p == ' ' || *p == ':') {
      continue;
    } else {
      return false;
    }
    if (hi < 0) {
      hi = v;
    } else {
      out->push_back(static_cast<unsigned char>(hi * 16 + v));
      hi = -1;
    }
  }
  return hi < 0;
}

bool ParseInt(const char* text, int lo, int hi, int* out) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) return false;
  *out = static_cast<int>(v);
  return true;
}

bool ParseArgs(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
    if (v == nullptr) return false;
    ++i;
    if (a == "--port") {
      if (!ParseInt(v, 0, 65535, &o->port)) return false;
    } else if (a == "--mode") {
      o->mode = v;
      if (o->mode != "answer" && o->mode != "split" && o->mode != "silent" && o->mode != "close" &&
          o->mode != "refuse" && o->mode != "hangup" && o->mode != "hang") {
        return false;
      }
    } else if (a == "--reply-hex") {
      if (!ParseHex(v, &o->reply)) return false;
      o->haveReply = true;
    } else if (a == "--reply-len") {
      int n;
      if (!ParseInt(v, 0, 1 << 20, &n)) return false;
      o->reply.resize(static_cast<size_t>(n));
      for (int k = 0; k < n; ++k) o->reply[static_cast<size_t>(k)] = static_cast<unsigned char>('0' + k % 10);
      o->haveReply = true;
    } else if (a == "--reply-text") {
      o->reply.assign(v, v + std::strlen(v));
      o->haveReply = true;
    } else if (a == "--record") {
      o->record = v;
    } else if (a == "--count") {
      if (!ParseInt(v, 0, 1000000, &o->count)) return false;
    } else if (a == "--split-at") {
      if (!ParseInt(v, 0, 1 << 20, &o->splitAt)) return false;
    } else if (a == "--delay-ms") {
      if (!ParseInt(v, 0, 600000, &o->delayMs)) return false;
    } else if (a == "--idle-seconds") {
      if (!ParseInt(v, 1, 3600, &o->idleSeconds)) return false;
    } else {
      return false;
    }
  }
  return true;
}

void Record(const Options& o, const unsigned char* data, int n) {
  FILE* f = o.record.empty() ? stdout : std::fopen(o.record.c_str(), "a");
  if (f == nullptr) {
    std::perror("bankhost: record file");
    return;
  }
  std::fprintf(f, "RECV %d ", n);
  for (int i = 0; i < n; ++i) std::fprintf(f, "%02X", data[i]);
  std::fprintf(f, "\n");
  if (f == stdout) {
    std::fflush(f);
  } else {
    std::fclose(f);
  }
}

bool SendAll(int fd, const unsigned char* data, size_t n) {
  while (n > 0) {
    ssize_t k = send(fd, data, n, MSG_NOSIGNAL);
    if (k < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

// Waits up to `ms` for the descriptor to become readable. False on time-out or error.
bool WaitReadable(int fd, int ms) {
  struct pollfd p = {fd, POLLIN, 0};
  for (;;) {
    int rc = poll(&p, 1, ms);
    if (rc < 0 && errno == EINTR) continue;
    return rc > 0;
  }
}

void Serve(const Options& o, int fd) {
  unsigned char buf[65536];
  if (!WaitReadable(fd, o.idleSeconds * 1000)) return;
  ssize_t n = recv(fd, buf, sizeof(buf), 0);
  if (n <= 0) return;
  Record(o, buf, static_cast<int>(n));
  if (o.mode == "close") return;
  if (o.mode == "silent") {
    // Hold the connection until the client goes away (or stays idle too long).
    while (WaitReadable(fd, o.idleSeconds * 1000)) {
      ssize_t k = recv(fd, buf, sizeof(buf), 0);
      if (k <= 0) return;
      Record(o, buf, static_cast<int>(k));
    }
    return;
  }
  if (o.delayMs > 0) usleep(static_cast<useconds_t>(o.delayMs) * 1000);
  std::vector<unsigned char> reply = o.haveReply ? o.reply : std::vector<unsigned char>(buf, buf + n);
  if (o.mode == "split" && reply.size() > 1) {
    size_t first = o.splitAt >= 0 ? static_cast<size_t>(o.splitAt) : reply.size() / 2;
    if (first > reply.size()) first = reply.size();
    SendAll(fd, reply.data(), first);
    usleep(200 * 1000);  // the client's single receive takes the first segment only
    SendAll(fd, reply.data() + first, reply.size() - first);
  } else {
    SendAll(fd, reply.data(), reply.size());
  }
  // Let the client read before the connection goes: wait for its close (bounded).
  WaitReadable(fd, o.idleSeconds * 1000);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseArgs(argc, argv, &o)) {
    Usage();
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  int ls = socket(AF_INET, SOCK_STREAM, 0);
  if (ls < 0) {
    std::perror("bankhost: socket");
    return 1;
  }
  int one = 1;
  setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  struct sockaddr_in addr;
  std::memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(o.port));
  const int backlog = o.mode == "hang" ? 0 : 8;
  if (bind(ls, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0 || listen(ls, backlog) != 0) {
    std::perror("bankhost: bind/listen");
    close(ls);
    return 1;
  }
  socklen_t len = sizeof(addr);
  getsockname(ls, reinterpret_cast<struct sockaddr*>(&addr), &len);
  std::printf("LISTENING %d\n", ntohs(addr.sin_port));
  std::fflush(stdout);
  if (o.mode == "refuse") {
    close(ls);  // the port is known and nobody listens on it
    return 0;
  }
  if (o.mode == "hang") {
    // Fill the accept queue with connections of our own until one no longer completes; the kernel then
    // drops further SYNs, so a client's connect stays pending until it gives up. Held until stopped.
    std::vector<int> fillers;
    for (int k = 0; k < 16; ++k) {
      int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      if (c < 0) break;
      fillers.push_back(c);
      if (connect(c, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) == 0) continue;
      struct pollfd p = {c, POLLOUT, 0};
      if (errno != EINPROGRESS || poll(&p, 1, 300) == 0) break;  // this one hangs: the queue is full
    }
    std::printf("HANGING %zu\n", fillers.size());
    std::fflush(stdout);
    for (;;) pause();
  }
  for (int served = 0; o.count == 0 || served < o.count; ++served) {
    int fd = accept(ls, nullptr, nullptr);
    if (fd < 0) {
      if (errno == EINTR) continue;
      std::perror("bankhost: accept");
      break;
    }
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    if (o.mode != "hangup") Serve(o, fd);
    close(fd);
  }
  close(ls);
  return 0;
}
