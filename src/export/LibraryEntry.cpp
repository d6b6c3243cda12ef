// Library attach and detach. On Windows the loader calls DllMain; on Linux the shared
// object's constructor and destructor functions run at load and unload.
//
// Attach constructs the engine and sets the facade's records; detach destroys the engine
// (the port is closed and the relay stopped, every wait bounded). At process exit on
// Windows the other threads are already gone and may have left locks held, so nothing is
// torn down there: the system reclaims the process's resources.

#include "export/ExportApi.h"

#ifdef _WIN32

extern "C" BOOL WINAPI DllMain(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID lpvReserved) {
  switch (fdwReason) {
    case DLL_PROCESS_ATTACH:
      LibraryAttach(hinstDLL);
      break;
    case DLL_PROCESS_DETACH:
      if (lpvReserved == NULL) LibraryDetach();
      break;
    default:
      break;
  }
  return TRUE;
}

#else

#include <atomic>

extern "C" int __cxa_atexit(void (*fn)(void*), void* arg, void* dso);
extern "C" void* __dso_handle;

namespace {

// Any non-null module handle stands for this library on POSIX: its path is found from
// the address of the library's own code.
char g_moduleMarker;

void KvLibraryExit(void*) { LibraryDetach(); }

std::atomic<bool> g_bExitRegistered{false};

void KvFirstCall() {
  // Registered again at the first transaction, after every static object the library made at load
  // (the configuration's tables among them), so that an exit() while a call waits runs the detach,
  // which ends that call, before those objects go: the call still uses them on its way out.
  if (!g_bExitRegistered.exchange(true)) __cxa_atexit(&KvLibraryExit, nullptr, &__dso_handle);
}

__attribute__((constructor)) void KvLibraryLoad() {
  g_pfnFirstCall = &KvFirstCall;
  LibraryAttach(reinterpret_cast<HMODULE>(static_cast<void*>(&g_moduleMarker)));
  // At process exit the static destructors run before the library's destructor function, in
  // reverse order of registration: the platform's wait objects (made while the engine was
  // built) would go first, and destroying a condition variable waits for every thread still
  // waiting on it, up to the relay's 60 s wait for a payload. Registered after them, this
  // detach runs before them. It is registered for this library (its DSO handle), as its static
  // destructors are, so dlclose runs and removes it; the later detach finds nothing to do.
  __cxa_atexit(&KvLibraryExit, nullptr, &__dso_handle);
}

__attribute__((destructor)) void KvLibraryUnload() { LibraryDetach(); }

}  // namespace

#endif
