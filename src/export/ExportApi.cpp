// The four exported functions, the key-value facade over the global records, and the
// library's attach and detach steps.

#include "export/ExportApi.h"

#include <cstring>
#include <mutex>
#include <new>

#include "KorvessaDLL.h"
#include "config/Config.h"
#include "engine/FrameMask.h"
#include "engine/MyComm.h"
#include "log/Log.h"
#include "log/PathUtil.h"

char g_TransRequest[kRequestRecordSize];
char g_TransResponse[kResponseRecordSize];
char g_szValue[kValueBufSize];
HMODULE g_hModule = NULL;

namespace {

MyComm* g_pComm = NULL;

// One transaction at a time: a second BankTrans or TransProcess started while one runs
// waits for it instead of sharing the engine and the facade's records.
std::mutex& TransMutex() {
  static std::mutex m;
  return m;
}

struct NameField {
  const char* name;
  int offset;
  int width;
};

// Request fields that PutValue sets.
const NameField kPutFields[] = {
    {"amount", 21, 12},   {"oldTraceNumber", 46, 6}, {"hostserialNumber", 52, 12},
    {"transDate", 76, 8}, {"transType", 2, 2},
};

// Response fields that GetValue reads ("rejCodeExplain" is handled on its own).
const NameField kGetFields[] = {
    {"rejCode", 6, 2},    {"cardNumber", 67, 19}, {"posTraceNumber", 152, 6}, {"hostserialNumber", 116, 12},
    {"transDate", 90, 8},
};

const NameField* FindField(const NameField* table, size_t count, const char* name) {
  for (size_t i = 0; i < count; ++i) {
    if (strcmp(table[i].name, name) == 0) return &table[i];
  }
  return NULL;
}

// A caller's text as an error line shows it: cut to what a log line holds, and with
// MaskCardNumber on, any card number in it masked (a register that passes one under a wrong
// name must not put it in the log whole).
struct LoggedText {
  char text[kLogMessageSize];
  explicit LoggedText(const char* in) {
    const size_t n = strnlen(in, sizeof(text) - 1);
    memcpy(text, in, n);
    text[n] = '\0';
    if (GetMaskCardNumber() == 0) return;
    unsigned char* p = reinterpret_cast<unsigned char*>(text);
    // Digits cut off at the end belong to a run whose length is unknown: none of them shows.
    if (in[n] != '\0') {
      for (size_t i = n; i > 0 && p[i - 1] >= '0' && p[i - 1] <= '9'; --i) p[i - 1] = kCardMaskByte;
    }
    MaskDigitRuns(p, n);
  }
};

// One whole transaction on the engine; the transaction lock is held by the caller.
int RunBankTrans(MyComm* comm, const char* pRequest, char* pResponse) {
  int r = -1;
  try {
    WriteHexLog(LOG_INFO, "传入参数", pRequest, kRequestRecordSize, -1, RequestRecordMask());
    comm->ShowRequest(pRequest);
    r = comm->OpenAndHandshake();
    if (r == 0) r = comm->ProcessTrans(pRequest, pResponse);
    if (comm->IsOpen()) {
      // A purge that fails (the port closed under it) does not change the outcome.
      try {
        comm->Purge();
      } catch (...) {
      }
    }
    if (r == 0) return 0;
    comm->Close(500);
    return r;
  } catch (...) {
    // Nothing leaves the library as an exception: an unexpected failure ends the
    // transaction like a port failure, with the port closed.
    try {
      comm->Close(500);
    } catch (...) {
    }
    return r != 0 ? r : -1;
  }
}

}  // namespace

MyComm* GetEngine() { return g_pComm; }

void LibraryAttach(HMODULE hModule) {
  memset(g_TransRequest, ' ', sizeof(g_TransRequest));
  memset(g_TransResponse, 0, sizeof(g_TransResponse));
  memset(g_szValue, 0, sizeof(g_szValue));
  g_hModule = hModule;
  SetModuleHandleForPaths(hModule);
  if (g_pComm == NULL) {
    try {
      g_pComm = new MyComm();
    } catch (...) {
      g_pComm = NULL;
    }
  }
}

void LibraryDetach() {
  MyComm* comm = g_pComm;
  g_pComm = NULL;
  try {
    delete comm;
  } catch (...) {
  }
}

void RTrimCopy(char* pDest, const char* pSrc, int iWidth) {
  pDest[0] = '\0';
  int last = iWidth - 1;
  while (last >= 0 && (pSrc[last] == ' ' || pSrc[last] == '\0')) --last;
  if (last < 0) return;
  memcpy(pDest, pSrc, static_cast<size_t>(last) + 1);
  pDest[last + 1] = '\0';
}

const char* LocalRejCode(int iResult) {
  switch (iResult) {
    case -1:
      return "x1";
    case -2:
      return "x2";
    case -3:
      return "x3";
    case -4:
      return "x4";
    case -5:
      return "x5";
    case -6:
      return "x6";
    default:
      return "ff";
  }
}

// ------------------------------------------------------------------ exports

extern "C" int KORVESSA_API BankTrans(const char* pRequest, char* pResponse) {
  if (pRequest == NULL || pResponse == NULL) return -2;
  try {
    MyComm* comm = g_pComm;
    if (comm == NULL) return -1;
    std::lock_guard<std::mutex> lock(TransMutex());
    return RunBankTrans(comm, pRequest, pResponse);
  } catch (...) {
    return -1;
  }
}

extern "C" void KORVESSA_API PutValue(const char* pName, const char* pValue) {
  try {
    if (pName == NULL || pValue == NULL) {
      WriteLog(KV_HERE, LOG_ERROR, "NULL == pName || NULL == pValue.");
      return;
    }
    std::lock_guard<std::mutex> lock(TransMutex());
    memset(g_TransResponse, 0, sizeof(g_TransResponse));
    const NameField* f = FindField(kPutFields, sizeof(kPutFields) / sizeof(kPutFields[0]), pName);
    if (f == NULL) {
      WriteLog(KV_HERE, LOG_ERROR, "PutValue()中输入参数错误. pName = %s, pValue = %s.",
               LoggedText(pName).text, LoggedText(pValue).text);
      return;
    }
    memset(g_TransRequest + f->offset, ' ', static_cast<size_t>(f->width));
    const size_t n = strnlen(pValue, static_cast<size_t>(f->width));
    memcpy(g_TransRequest + f->offset, pValue, n);
  } catch (...) {
  }
}

extern "C" void KORVESSA_API TransProcess(void) {
  try {
    std::lock_guard<std::mutex> lock(TransMutex());
    memcpy(g_TransRequest + 0, "A0", 2);
    memcpy(g_TransRequest + 4, "01", 2);
    g_TransRequest[45] = 'Y';
    MyComm* comm = g_pComm;
    const int r = comm != NULL ? RunBankTrans(comm, g_TransRequest, g_TransResponse) : -1;
    if (r < 0) {
      memset(g_TransResponse + 6, ' ', 2);
      memcpy(g_TransResponse + 6, LocalRejCode(r), 2);
    }
    memset(g_TransRequest, ' ', sizeof(g_TransRequest));
  } catch (...) {
  }
}

extern "C" const char* KORVESSA_API GetValue(const char* pName) {
  static const char kEmpty[] = "";
  try {
    if (pName == NULL) {
      WriteLog(KV_HERE, LOG_ERROR, "NULL == pName.");
      return kEmpty;
    }
    std::lock_guard<std::mutex> lock(TransMutex());
    if (strcmp(pName, "rejCodeExplain") == 0) {
      const char* text = GetRejCodeExplain(g_TransResponse + 6, 2);
      strncpy(g_szValue, text, sizeof(g_szValue) - 1);
      g_szValue[sizeof(g_szValue) - 1] = '\0';
      return g_szValue;
    }
    const NameField* f = FindField(kGetFields, sizeof(kGetFields) / sizeof(kGetFields[0]), pName);
    if (f == NULL) {
      WriteLog(KV_HERE, LOG_ERROR, "GetValue() 中输入参数错误. pName = %s.", LoggedText(pName).text);
      return g_szValue;
    }
    RTrimCopy(g_szValue, g_TransResponse + f->offset, f->width);
    return g_szValue;
  } catch (...) {
    return kEmpty;
  }
}
