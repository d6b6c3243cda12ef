// Library attach and detach. On Windows the loader calls DllMain; on Linux the shared
// object's constructor and destructor functions run at load and unload.
//
// Attach constructs the engine and sets the facade's records; detach destroys the engine
// (the port is closed and the relay stopped, every wait bounded). At process exit on
// Windows the other threads are already gone and may have left locks held, so nothing is
// torn down there: the system reclaims the process's resources.

#include "export/ExportApi.h"

#include <cstdlib>

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

namespace {

// Any non-null module handle stands for this library on POSIX: its path is found from
// the address of the library's own code.
char g_moduleMarker;

void KvLibraryExit() { LibraryDetach(); }

__attribute__((constructor)) void KvLibraryLoad() {
  LibraryAttach(reinterpret_cast<HMODULE>(static_cast<void*>(&g_moduleMarker)));
  // At process exit the handlers registered with atexit run before the library's destructor
  // function, in reverse order: the static objects of the platform's waits (made while the
  // engine was built) would be destroyed first, and destroying a condition variable waits for
  // every thread still waiting on it, up to the relay's 60 s wait for a payload. Registered
  // after them, this detach runs before them. On dlclose it runs too; the second detach
  // finds nothing left to do.
  atexit(&KvLibraryExit);
}

__attribute__((destructor)) void KvLibraryUnload() { LibraryDetach(); }

}  // namespace

#endif
