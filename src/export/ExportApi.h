// Internal side of the exported interface: the facade's global records, the one engine
// object and the library's attach/detach steps.
#pragma once

#include "KorvessaDLL.h"
#include "platform/platform.h"

class MyComm;

// The record sizes are those of the public header.
enum {
  kRequestRecordSize = KORVESSA_REQUEST_SIZE,
  kResponseRecordSize = KORVESSA_RESPONSE_SIZE,
  kValueBufSize = KORVESSA_VALUE_SIZE,
};

// Global records of the key-value facade.
extern char g_TransRequest[kRequestRecordSize];    // spaces after attach and after every TransProcess
extern char g_TransResponse[kResponseRecordSize];  // zero bytes after attach and at every PutValue
extern char g_szValue[kValueBufSize];              // GetValue's result, NUL-terminated
extern HMODULE g_hModule;                          // module handle recorded at attach

// The library's engine object; null before attach and after detach.
MyComm* GetEngine();

// Process attach: construct the engine (if not yet), set the globals to their initial
// values, record the module handle. Process detach: stop and destroy the engine (port
// closed, relay stopped), bounded in time.
void LibraryAttach(HMODULE hModule);
void LibraryDetach();
// Called, when set, as each transaction begins (before its lock): the load step that must follow the
// library's own static objects (on POSIX, the detach at exit). Set by the library's load.
extern void (*g_pfnFirstCall)();

// Copies a fixed-width field without its trailing run of spaces and NUL bytes, then a NUL.
// pDest must hold iWidth + 1 bytes.
void RTrimCopy(char* pDest, const char* pSrc, int iWidth);

// Result of BankTrans mapped to the facade's 2-character local code ("x1".."x6", "ff").
const char* LocalRejCode(int iResult);
