// The four exported functions, the key-value facade over the global records, and the
// library's attach and detach steps.

#include "export/ExportApi.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "KorvessaDLL.h"
#include "config/Config.h"
#include "engine/FrameMask.h"
#include "engine/MyComm.h"
#include "journal/Journal.h"
#include "log/Log.h"
#include "base/GuardCall.h"
#include "base/PathUtil.h"
#include "log/Messages.h"

char g_TransRequest[kRequestRecordSize];
char g_TransResponse[kResponseRecordSize];
char g_szValue[kValueBufSize];
HMODULE g_hModule = NULL;
void (*g_pfnFirstCall)() = NULL;

namespace {

std::atomic<MyComm*> g_pComm{NULL};

// Outcome of the last BankTrans or TransProcess, for GetValue("lastOutcome"); guarded by TransMutex.
JournalOutcome g_LastOutcome = JournalOutcome::kNone;

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
    {"amount", KV_REQ_amount, KV_REQ_amount_LEN},
    {"oldTraceNumber", KV_REQ_oldTraceNumber, KV_REQ_oldTraceNumber_LEN},
    {"hostserialNumber", KV_REQ_hostserialNumber, KV_REQ_hostserialNumber_LEN},
    {"transDate", KV_REQ_transDate, KV_REQ_transDate_LEN},
    {"transType", KV_REQ_transType, KV_REQ_transType_LEN},
};

// Response fields that GetValue reads ("rejCodeExplain" is handled on its own).
const NameField kGetFields[] = {
    {"rejCode", KV_RSP_rejCode, KV_RSP_rejCode_LEN},
    {"cardNumber", KV_RSP_cardNumber, KV_RSP_cardNumber_LEN},
    {"posTraceNumber", KV_RSP_posTraceNumber, KV_RSP_posTraceNumber_LEN},
    {"hostserialNumber", KV_RSP_hostserialNumber, KV_RSP_hostserialNumber_LEN},
    {"transDate", KV_RSP_transDate, KV_RSP_transDate_LEN},
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

// What the journal did in the last call, for GetValue("journal"); guarded by TransMutex.
JournalState g_JournalState = JournalState::kNone;

// The result of a failure nobody expected (an exception): once the request went out the terminal
// may have charged the card, so the register must not take it as "not sent".
int UnexpectedFailure(const TransJournal& journal) {
  return journal.RequestWritten() ? KORVESSA_ERR_TIMEOUT : KORVESSA_ERR_OPEN;
}

int RunTransaction(MyComm* comm, const TransJournal& journal, const char* pRequest, char* pResponse);

// How long a detach waits for a call in progress to leave the engine.
const DWORD kDetachWaitMs = 3000;

// "state", "stateSeconds" and "stateHost": answered at once from any thread, without the transaction
// lock, into a buffer of the calling thread's own (valid until that thread's next GetValue). Null for
// any other name.
const char* CallStateValue(const char* pName) {
  static thread_local char t_szState[kValueBufSize];
  if (strcmp(pName, "state") == 0) {
    snprintf(t_szState, sizeof(t_szState), "%s", CallStepName(GetCallStep(NULL)));
  } else if (strcmp(pName, "stateSeconds") == 0) {
    unsigned uSeconds = 0;
    GetCallStep(&uSeconds);
    snprintf(t_szState, sizeof(t_szState), "%u", uSeconds);
  } else if (strcmp(pName, "stateHost") == 0) {
    GetCallHost(t_szState, sizeof(t_szState));
  } else {
    return NULL;
  }
  return t_szState;
}

#ifndef KV_VERSION_TEXT
#define KV_VERSION_TEXT "0.0.0"
#endif

// The last PutValue("probe", "1"), for GetValue("probe"); guarded by TransMutex.
bool g_bProbed = false;
int g_iProbeResult = 0;
unsigned long g_ulProbeMs = 0;

// A support check of the line: open the port and greet the terminal, nothing more. No journal
// (no transaction), and the port is left as a transaction leaves it: open after an answered
// handshake, closed otherwise. The time is the handshake's round trip. The lock is held by the caller.
void RunProbe(MyComm* comm) {
  int r = KORVESSA_ERR_OPEN;
  unsigned long ms = 0;
  GuardCall(
      [&] {
        if (comm->OpenPortFromConfig()) {
          const DWORD start = GetTickCount();
          r = comm->Handshake();
          ms = static_cast<unsigned long>(GetTickCount() - start);
          if (comm->IsOpen()) comm->Purge();
        }
        if (r != KORVESSA_OK) comm->Close(500);
      },
      [&] {
        IgnoreFailure([&] { comm->Close(500); });
        if (r == KORVESSA_OK) r = KORVESSA_ERR_OPEN;
      });
  g_bProbed = true;
  g_iProbeResult = r;
  g_ulProbeMs = ms;
}

// One whole transaction on the engine, journalled; the transaction lock is held by the caller.
// Nothing escapes it: the final event is written whatever happened.
int RunBankTrans(MyComm* comm, const char* pRequest, char* pResponse) {
  comm->BeginCall();
  TransJournal journal(pRequest);
  const int r = GuardCall(
      [&]() -> int {
        comm->SetJournal(&journal);
        return RunTransaction(comm, journal, pRequest, pResponse);
      },
      [&]() -> int { return UnexpectedFailure(journal); });
  comm->SetJournal(NULL);
  g_LastOutcome = GuardCall([&] { return journal.Finish(r, pResponse); },
                            [&] { return OutcomeOf(r, journal.RequestWritten()); });
  g_JournalState = journal.State();
  comm->EndCall();
  return r;
}

int RunTransaction(MyComm* comm, const TransJournal& journal, const char* pRequest, char* pResponse) {
  int r = KORVESSA_ERR_OPEN;
  return GuardCall(
      [&]() -> int {
        WriteHexLog(LOG_INFO, KV_MSG_REQUEST_RECORD, pRequest, kRequestRecordSize, -1, RequestRecordMask());
        comm->ShowRequest(pRequest);
        r = comm->OpenAndHandshake();
        if (r == KORVESSA_OK) r = comm->ProcessTrans(pRequest, pResponse);
        MyComm::SetStep(CallStep::kFinishing);
        // A purge that fails (the port closed under it) does not change the outcome.
        if (comm->IsOpen()) IgnoreFailure([&] { comm->Purge(); });
        if (r == KORVESSA_OK) return KORVESSA_OK;
        comm->Close(500);
        return r;
      },
      [&]() -> int {
        // Nothing leaves the library as an exception: an unexpected failure ends the
        // transaction with the port closed, -1 before the request went out and -3 after.
        IgnoreFailure([&] { comm->Close(500); });
        return r != KORVESSA_OK ? r : UnexpectedFailure(journal);
      });
}

}  // namespace

MyComm* GetEngine() { return g_pComm.load(); }

void LibraryAttach(HMODULE hModule) {
  memset(g_TransRequest, ' ', sizeof(g_TransRequest));
  memset(g_TransResponse, 0, sizeof(g_TransResponse));
  memset(g_szValue, 0, sizeof(g_szValue));
  g_hModule = hModule;
  SetModuleHandleForPaths(hModule);
  if (g_pComm == NULL) {
    g_pComm = GuardCall([] { return new MyComm(); }, []() -> MyComm* { return NULL; });
  }
}

void LibraryDetach() {
  if (g_pComm.load() == NULL) return;
  // A register that exits or unloads the library while its payment thread waits in a call: the
  // wait is abandoned, and the engine goes only once the call has left it. A call that does not
  // leave within the bound keeps the engine (leaked, never freed under it).
  AbandonCall();
  std::mutex& m = TransMutex();
  const DWORD dwStart = GetTickCount();
  bool bLocked = m.try_lock();
  while (!bLocked && GetTickCount() - dwStart < kDetachWaitMs) {
    Sleep(10);
    AbandonCall();  // a call that was waiting for the lock has begun meanwhile
    bLocked = m.try_lock();
  }
  MyComm* comm = g_pComm.exchange(NULL);
  if (!bLocked) {
    WriteLog(KV_HERE, LOG_FATAL, "卸载时交易仍在进行，%d 毫秒内未结束。", static_cast<int>(kDetachWaitMs));
    return;
  }
  IgnoreFailure([comm] { delete comm; });
  m.unlock();
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
    case KORVESSA_ERR_OPEN:
      return "x1";
    case KORVESSA_ERR_ARGUMENT:
      return "x2";
    case KORVESSA_ERR_TIMEOUT:
      return "x3";
    case KORVESSA_ERR_RESERVED4:  // no result of its own today; its code is kept for the explanations table
      return "x4";
    case KORVESSA_ERR_WRITE:
      return "x5";
    case KORVESSA_ERR_RESERVED6:  // as KORVESSA_ERR_RESERVED4
      return "x6";
    default:
      return "ff";
  }
}

// ------------------------------------------------------------------ exports

extern "C" int KORVESSA_API BankTrans(const char* pRequest, char* pResponse) {
  return GuardCall(
      [&]() -> int {
        if (g_pfnFirstCall != NULL) g_pfnFirstCall();
        std::lock_guard<std::mutex> lock(TransMutex());
        MyComm* comm = g_pComm.load();
        if (pRequest == NULL || pResponse == NULL || comm == NULL) {
          g_LastOutcome = JournalOutcome::kNotSent;
          return comm == NULL && pRequest != NULL && pResponse != NULL ? KORVESSA_ERR_OPEN
                                                                       : KORVESSA_ERR_ARGUMENT;
        }
        return RunBankTrans(comm, pRequest, pResponse);
      },
      [] { return KORVESSA_ERR_OPEN; });
}

extern "C" void KORVESSA_API PutValue(const char* pName, const char* pValue) {
  IgnoreFailure([&] {
    if (pName == NULL || pValue == NULL) {
      WriteLog(KV_HERE, LOG_ERROR, "NULL == pName || NULL == pValue.");
      return;
    }
    // Abandon comes from another thread while a call runs: no lock, and the records stay as they are
    // (a late abandon must not wipe an approved call's rejCode).
    if (strcmp(pName, "abandon") == 0) {
      if (strcmp(pValue, "1") == 0) {
        AbandonCall();
      } else {
        WriteLog(KV_HERE, LOG_ERROR, "PutValue()中输入参数错误. pName = %s, pValue = %s.", pName,
                 LoggedText(pValue).text);
      }
      return;
    }
    std::lock_guard<std::mutex> lock(TransMutex());
    memset(g_TransResponse, 0, sizeof(g_TransResponse));
    if (strcmp(pName, "probe") == 0 && strcmp(pValue, "1") == 0) {
      if (g_pComm != NULL) {
        RunProbe(g_pComm);
      } else {
        g_bProbed = true;
        g_iProbeResult = KORVESSA_ERR_OPEN;
        g_ulProbeMs = 0;
      }
      return;
    }
    const NameField* f = FindField(kPutFields, sizeof(kPutFields) / sizeof(kPutFields[0]), pName);
    if (f == NULL) {
      WriteLog(KV_HERE, LOG_ERROR, "PutValue()中输入参数错误. pName = %s, pValue = %s.",
               LoggedText(pName).text, LoggedText(pValue).text);
      return;
    }
    memset(g_TransRequest + f->offset, ' ', static_cast<size_t>(f->width));
    const size_t n = strnlen(pValue, static_cast<size_t>(f->width));
    memcpy(g_TransRequest + f->offset, pValue, n);
  });
}

extern "C" void KORVESSA_API TransProcess(void) {
  IgnoreFailure([] {
    if (g_pfnFirstCall != NULL) g_pfnFirstCall();
    std::lock_guard<std::mutex> lock(TransMutex());
    memcpy(g_TransRequest + KV_REQ_operType, "A0", KV_REQ_operType_LEN);
    memcpy(g_TransRequest + KV_REQ_cardType, "01", KV_REQ_cardType_LEN);
    g_TransRequest[KV_REQ_printFlag] = 'Y';
    MyComm* comm = g_pComm.load();
    int r = KORVESSA_ERR_OPEN;
    if (comm != NULL) {
      r = RunBankTrans(comm, g_TransRequest, g_TransResponse);
    } else {
      g_LastOutcome = JournalOutcome::kNotSent;
    }
    if (r < 0) {
      memcpy(g_TransResponse + KV_RSP_rejCode, LocalRejCode(r), KV_RSP_rejCode_LEN);
    }
    memset(g_TransRequest, ' ', sizeof(g_TransRequest));
  });
}

extern "C" const char* KORVESSA_API GetValue(const char* pName) {
  static const char kEmpty[] = "";
  return GuardCall(
      [&]() -> const char* {
        if (pName == NULL) {
          WriteLog(KV_HERE, LOG_ERROR, "NULL == pName.");
          return kEmpty;
        }
        if (const char* state = CallStateValue(pName)) return state;
        std::lock_guard<std::mutex> lock(TransMutex());
        if (strcmp(pName, "rejCodeExplain") == 0) {
          const char* text = GetRejCodeExplain(g_TransResponse + KV_RSP_rejCode, KV_RSP_rejCode_LEN);
          strncpy(g_szValue, text, sizeof(g_szValue) - 1);
          g_szValue[sizeof(g_szValue) - 1] = '\0';
          return g_szValue;
        }
        if (strcmp(pName, "lastOutcome") == 0) {
          snprintf(g_szValue, sizeof(g_szValue), "%s", JournalOutcomeText(g_LastOutcome));
          return g_szValue;
        }
        if (strcmp(pName, "journal") == 0) {
          snprintf(g_szValue, sizeof(g_szValue), "%s", JournalStateText(g_JournalState));
          return g_szValue;
        }
        if (strcmp(pName, "probe") == 0) {
          if (g_bProbed) {
            snprintf(g_szValue, sizeof(g_szValue), "%d %lu", g_iProbeResult, g_ulProbeMs);
          } else {
            g_szValue[0] = '\0';
          }
          return g_szValue;
        }
        if (strcmp(pName, "configFile") == 0) {
          // The file every transaction reads: beside the library (set again at each port opening).
          // A path that does not fit the value buffer, or a folder that cannot be had (a transaction
          // then fails -1), is given as empty, never cut.
          static const char kName[] = "Config.ini";
          char szDir[MAX_PATH];
          const bool found = GetModuleDir(szDir, sizeof(szDir));
          const size_t n = strnlen(szDir, sizeof(szDir) - 1);
          g_szValue[0] = '\0';
          if (found && n + sizeof(kName) <= sizeof(g_szValue)) {
            memcpy(g_szValue, szDir, n);
            memcpy(g_szValue + n, kName, sizeof(kName));
          }
          return g_szValue;
        }
        if (strcmp(pName, "version") == 0) {
          snprintf(g_szValue, sizeof(g_szValue), "%s", KV_VERSION_TEXT);
          return g_szValue;
        }
        const NameField* f = FindField(kGetFields, sizeof(kGetFields) / sizeof(kGetFields[0]), pName);
        if (f == NULL) {
          WriteLog(KV_HERE, LOG_ERROR, "GetValue() 中输入参数错误. pName = %s.", LoggedText(pName).text);
          return g_szValue;
        }
        RTrimCopy(g_szValue, g_TransResponse + f->offset, f->width);
        return g_szValue;
      },
      []() -> const char* { return kEmpty; });
}
