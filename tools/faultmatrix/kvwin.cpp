// kvwin: the Windows side of the fault matrix and of the load/unload check. Loads KorvessaDLL.dll from
// its own folder with LoadLibrary, takes BankTrans by ordinal 1, runs one request, frees the library,
// as often as asked. One line per round:
//   ROUND <i> RESULT <r> MS <call ms> FREE <FreeLibrary ms> RESPONSE [<161 bytes>]
// then "HANDLES <n> THREADS <n>" of the process (reported; the counts are checked on Linux).
//   kvwin <106-byte request record> [rounds [hold ms before each FreeLibrary]]
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "KorvessaDLL.h"

namespace {

int Threads() {
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snap == INVALID_HANDLE_VALUE) return -1;
  THREADENTRY32 te;
  te.dwSize = sizeof te;
  int n = 0;
  for (BOOL ok = Thread32First(snap, &te); ok; ok = Thread32Next(snap, &te)) {
    n += te.th32OwnerProcessID == GetCurrentProcessId();
  }
  CloseHandle(snap);
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || strlen(argv[1]) != KORVESSA_REQUEST_SIZE) {
    fprintf(stderr, "usage: kvwin <106-byte request record> [rounds [hold ms]]\n");
    return 3;
  }
  const int rounds = argc > 2 ? atoi(argv[2]) : 1;
  const int holdMs = argc > 3 ? atoi(argv[3]) : 0;  // time for the terminal to act between calls
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(NULL, path, MAX_PATH);
  std::string dll(path, n);
  dll = dll.substr(0, dll.find_last_of("\\/") + 1) + "KorvessaDLL.dll";
  int last = 0;
  for (int i = 0; i < rounds; ++i) {
    HMODULE h = LoadLibraryA(dll.c_str());
    if (!h) {
      fprintf(stderr, "kvwin: cannot load %s (%lu)\n", dll.c_str(), GetLastError());
      return 3;
    }
    PFN_BankTrans bankTrans = reinterpret_cast<PFN_BankTrans>(
        reinterpret_cast<void*>(GetProcAddress(h, reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(1)))));
    if (!bankTrans) {
      fprintf(stderr, "kvwin: no ordinal 1\n");
      return 3;
    }
    char request[KORVESSA_REQUEST_SIZE];
    memcpy(request, argv[1], sizeof request);
    char response[KORVESSA_RESPONSE_SIZE + 1];
    memset(response, '#', KORVESSA_RESPONSE_SIZE);
    response[KORVESSA_RESPONSE_SIZE] = 0;
    const DWORD t0 = GetTickCount();
    last = bankTrans(request, response);
    if (holdMs > 0) Sleep(static_cast<DWORD>(holdMs));
    const DWORD t1 = GetTickCount();
    FreeLibrary(h);
    const DWORD t2 = GetTickCount();
    printf("ROUND %d RESULT %d MS %lu FREE %lu RESPONSE [", i, last,
           static_cast<unsigned long>(t1 - t0 - holdMs), static_cast<unsigned long>(t2 - t1));
    fwrite(response, 1, KORVESSA_RESPONSE_SIZE, stdout);  // every byte, zeros included
    printf("]\n");
    fflush(stdout);
  }
  DWORD handles = 0;
  GetProcessHandleCount(GetCurrentProcess(), &handles);
  printf("HANDLES %lu THREADS %d\n", static_cast<unsigned long>(handles), Threads());
  return last == 0 ? 0 : 1;
}
