// The transaction engine: request content, exchange with the terminal, receive framing
// and the sequence of one transaction.

#include "engine/MyComm.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>

#include "KorvessaDLL.h"
#include "base/GuardCall.h"
#include "base/Deadline.h"
#include "config/Config.h"
#include "engine/FrameMask.h"
#include "log/Log.h"
#include "log/Messages.h"
#include "platform/CsLock.h"
#include "print/PrintFile.h"
#include "protocol/TransID.h"

namespace {

// The platform's scoped lock, under the short name this file uses throughout.
using Lock = CsLock;

bool SameCode(const char* a, const char* b) { return a[0] == b[0] && a[1] == b[1]; }

// Appends printf output to a fixed buffer; the text is cut when the buffer is full.
void Append(char* buf, size_t size, const char* format, ...) KV_PRINTF_LIKE(3, 4);
void Append(char* buf, size_t size, const char* format, ...) {
  size_t used = strlen(buf);
  if (used + 1 >= size) return;
  va_list args;
  va_start(args, format);
  vsnprintf(buf + used, size - used, format, args);
  va_end(args);
}

// A fixed-width field as a terminated text, for display.
struct Field {
  char text[32];
  Field(const char* record, int offset, int width) {
    memcpy(text, record + offset, width);
    text[width] = '\0';
  }
};

// The longest raw read that can yield kPrintTextMax bytes after CR LF folding, plus one
// so that a cut is detected.
const long kPrintReadMax = 2L * kPrintTextMax + 2;

// The call state the register reads from any thread. Process-wide and trivially destructible, so it
// can be read while the library is being unloaded; only one call runs at a time.
std::atomic<int> g_iStep{static_cast<int>(CallStep::kIdle)};
std::atomic<DWORD> g_dwStepTick{0};  // GetTickCount when the step began
std::atomic<DWORD> g_dwWaitTick{0};  // ... and when the wait a relay unit interrupts began
std::atomic<bool> g_bStepTimed{false};
// Calls are numbered; an abandon names the call it was meant for, so one that comes as a call ends
// never reaches the next.
std::atomic<unsigned> g_uCallGen{0};
std::atomic<unsigned> g_uAbandonGen{0};
std::atomic<bool> g_bCallRunning{false};

// The destination of the unit being relayed, "host:port".
char g_szHost[kTcpIPSize + kTcpPortSize + 1];
std::mutex& HostMutex() {
  static std::mutex m;  // held only to copy the few bytes above
  return m;
}

void StartStep(CallStep step, DWORD dwTick) {
  g_dwStepTick.store(dwTick);
  g_bStepTimed.store(true);
  g_iStep.store(static_cast<int>(step));
}

}  // namespace

// ------------------------------------------------------------------ call state

const char* CallStepName(CallStep step) {
  switch (step) {
    case CallStep::kOpening:
      return "opening";
    case CallStep::kHandshake:
      return "handshake";
    case CallStep::kWaiting:
      return "waiting";
    case CallStep::kHost:
      return "host";
    case CallStep::kFinishing:
      return "finishing";
    default:
      return "idle";
  }
}

CallStep GetCallStep(unsigned* puSeconds) {
  const CallStep step = static_cast<CallStep>(g_iStep.load());
  if (puSeconds != NULL) {
    *puSeconds =
        g_bStepTimed.load() ? static_cast<unsigned>((GetTickCount() - g_dwStepTick.load()) / 1000) : 0;
  }
  return step;
}

void GetCallHost(char* out, size_t size) {
  if (out == NULL || size == 0) return;
  std::lock_guard<std::mutex> lock(HostMutex());
  snprintf(out, size, "%s", g_szHost);
}

bool AbandonCall() {
  // The number is read before the running flag: a call that began after it was read is never hit.
  const unsigned uGen = g_uCallGen.load();
  if (!g_bCallRunning.load()) return false;
  g_uAbandonGen.store(uGen);
  return true;
}

void MyComm::BeginCall() {
  g_uCallGen.fetch_add(1);
  m_eWaitStep.store(CallStep::kHandshake);
  g_bCallRunning.store(true);
  StartStep(CallStep::kOpening, GetTickCount());
}

void MyComm::EndCall() {
  g_bCallRunning.store(false);
  {
    std::lock_guard<std::mutex> lock(HostMutex());
    g_szHost[0] = '\0';
  }
  StartStep(CallStep::kIdle, GetTickCount());
}

void MyComm::SetStep(CallStep step) {
  if (g_bCallRunning.load()) StartStep(step, GetTickCount());
}

bool MyComm::CallAbandoned() { return g_bCallRunning.load() && g_uAbandonGen.load() == g_uCallGen.load(); }

void MyComm::OnUnitStart(const char* host, const char* port) {
  if (!g_bCallRunning.load()) return;  // a unit between calls leaves the state alone
  {
    std::lock_guard<std::mutex> lock(HostMutex());
    snprintf(g_szHost, sizeof(g_szHost), "%s:%s", host != NULL ? host : "", port != NULL ? port : "");
  }
  int expected = static_cast<int>(m_eWaitStep.load());
  // A unit only interrupts the wait it came in.
  if (g_iStep.compare_exchange_strong(expected, static_cast<int>(CallStep::kHost))) {
    g_dwWaitTick.store(g_dwStepTick.load());
    g_dwStepTick.store(GetTickCount());
  }
}

void MyComm::OnUnitEnd() {
  {
    std::lock_guard<std::mutex> lock(HostMutex());
    g_szHost[0] = '\0';
  }
  int expected = static_cast<int>(CallStep::kHost);
  // Back to the wait it interrupted, counted from that wait's start.
  const DWORD dwWait = g_dwWaitTick.load();
  if (g_iStep.compare_exchange_strong(expected, static_cast<int>(m_eWaitStep.load())))
    g_dwStepTick.store(dwWait);
}

// ------------------------------------------------------------------ life

MyComm::MyComm()
    : SerialPort(MYCOMM_OPTIONS),
      m_Assembler(m_RecvBTF),
      m_bRecvOK(false),
      m_uRecvGen(0),
      m_dwHandshakeTimeOut(kHandshakeTimeOut) {
  ResetReceive();
}

MyComm::~MyComm() {
  // The port goes first: the watch thread calls into this object (OnReceive) and must have
  // ended before any member is torn down. The relay is stopped by its own destructor, with a
  // bounded wait, before the receive lock it writes through goes.
  IgnoreFailure([this] { Close(500); });
}

// ------------------------------------------------------------------ receive side

void MyComm::ResetReceive() {
  Lock lock(m_csRecv.get());
  m_Assembler.Reset();
  ++m_uRecvGen;
  m_bRecvOK.store(false);
  RxBuffer_.Clear();
  // Only threads created suspended need the resume; the library's threads always run, and
  // touching the handle here would race with a close on another thread.
  HANDLE hWatch = hWatchThread_.load();
  if ((dwOption_ & EN_START_SUSPENDED) && hWatch != NULL) ResumeThread(hWatch);
}

int MyComm::CopyRecvHead(unsigned char* pDest, int iSize) {
  Lock lock(m_csRecv.get());
  return m_Assembler.CopyHead(pDest, iSize);
}

bool MyComm::CheckCmdCode() {
  char szSend[3] = {0};
  char szRecv[3] = {0};
  {
    Lock lock(m_csRecv.get());
    if (!m_SendBTF.GetCmdCode(szSend, sizeof(szSend))) szSend[0] = '\0';
    if (!m_RecvBTF.GetCmdCode(szRecv, sizeof(szRecv))) szRecv[0] = '\0';
  }
  if (strcmp(szSend, "04") == 0 || strcmp(szSend, "02") == 0) return true;
  if (szSend[0] != '\0' && szRecv[0] != '\0' && szRecv[0] == szSend[0] &&
      static_cast<signed char>(szRecv[1]) - static_cast<signed char>(szSend[1]) == 1) {
    return true;
  }
  WriteLog(KV_HERE, LOG_ERROR,
           "发送数据的指令代码(\"%s\":%s)和接收数据的指令代码(\"%s\":%s)不一致(接收=发送+1).", szSend,
           GetTransName(szSend, 2), szRecv, GetTransName(szRecv, 2));
  return false;
}

bool MyComm::AssembleChunk(const unsigned char* pData, int iLen) {
  if (pData == NULL || iLen <= 0) return false;
  WriteHexLog(LOG_INFO, KV_MSG_RECEIVED_CHUNK, pData, iLen, 0);
  WriteHexLog(LOG_TRACE, "接收到的数据内容" KV_MSG_DETAIL_TAIL, pData, iLen, 1);
  Lock lock(m_csRecv.get());
  return m_Assembler.Feed(pData, iLen);
}

void MyComm::RouteFrame() {
  unsigned uGen;
  {
    Lock lock(m_csRecv.get());
    if (!m_Assembler.Decoded()) return;
    uGen = m_uRecvGen;
  }
  // Only the watch thread decodes into m_RecvBTF, and it does not while it routes, so the
  // frame can be read here without the receive lock.
  const int iKind = m_TcpThread.CheckTransmitData(&m_RecvBTF);
  if (iKind > 0) {
    // The relay resets the receive state when it takes the unit; a dropped unit must not
    // keep the terminal's final answer out.
    if (!m_TcpThread.TransmitToHost(&m_RecvBTF, this)) ResetReceive();
    return;
  }
  if (iKind < 0) {
    ResetReceive();
    return;
  }
  m_TcpThread.Stop(true);
  if (CheckCmdCode()) {
    Lock lock(m_csRecv.get());
    // A request written meanwhile has reset the state: this frame answers the old one.
    if (m_Assembler.Decoded() && uGen == m_uRecvGen) m_bRecvOK.store(true);
  }
}

void MyComm::OnReceive() {
  GuardCall(
      [this] {
        unsigned char chunk[kRecvBufSize];
        bool bDecoded = false;
        for (;;) {
          const DWORD n = ReadReceived(chunk, kRecvBufSize - 1);
          if (n == 0) break;
          if (AssembleChunk(chunk, static_cast<int>(n))) {
            bDecoded = true;
            break;
          }
        }
        if (bDecoded) RouteFrame();
        RxBuffer_.Clear();
      },
      [this] {
        WriteLog(KV_HERE, LOG_ERROR, "从串口读取数据异常，有可能是串口线坏了或拔了");
        Close(500);
      });
}

void MyComm::DispatchEvents(DWORD dwMask) {
  GuardCall([this, dwMask] { SerialPort::DispatchEvents(dwMask); }, [this] { Close(500); });
}

// ------------------------------------------------------------------ exchange

DWORD MyComm::WriteToPort(const void* pData, DWORD dwLength) {
  ResetReceive();
  return GuardCall([&] { return Write(pData, dwLength); },
                   [this]() -> DWORD {
                     WriteLog(KV_HERE, LOG_ERROR, "往串口" KV_MSG_WRITE_FAILED "，有可能是连接的串口线坏了或拔掉了");
                     Close(500);
                     return 0;
                   });
}

int MyComm::Exchange(const char* pszType, DWORD dwTimeOut) {
  unsigned char buf[kSendBufSize];
  const int iLen = m_SendBTF.Encode(buf, sizeof(buf));
  if (iLen == 0) return KORVESSA_ERR_TOO_LARGE;
  const char* pszName = GetTransName(pszType, 2);
  // Abandoned before this frame went out: it does not go out.
  if (CallAbandoned()) return Abandoned(pszName);
  // Taken up to and at dwTimeOut ms after the request went out; given up only past it.
  const Deadline answerWait(dwTimeOut);
  char szTitle[256];
  snprintf(szTitle, sizeof(szTitle), KV_MSG_SENT "%s请求包数据", pszName);
  WriteHexLog(LOG_FRAME, szTitle, buf, iLen, -1, RequestFrameMask(buf, iLen));
  if (m_pJournal != NULL) m_pJournal->BeforeWrite();  // SENT is on the disk before the request goes out
  SetStep(m_eWaitStep.load());
  if (WriteToPort(buf, static_cast<DWORD>(iLen)) != static_cast<DWORD>(iLen)) return KORVESSA_ERR_WRITE;
  for (;;) {
    if (answerWait.Passed()) {
      WriteLog(KV_HERE, LOG_ERROR, "处理%s(发送->接收)" KV_MSG_TIMED_OUT "，超时时间=%d(ms).", pszName,
               static_cast<int>(dwTimeOut));
      m_TcpThread.Stop(true);
      return KORVESSA_ERR_TIMEOUT;
    }
    if (m_bRecvOK.load()) {
      Lock lock(m_csRecv.get());
      // Taken only while still set: a write on another thread may have reset the state.
      if (m_bRecvOK.load()) {
        snprintf(szTitle, sizeof(szTitle), KV_MSG_ANSWER "%s应答包数据", pszName);
        WriteHexLog(LOG_FRAME, szTitle, m_Assembler.Frame(), m_Assembler.Index(), -1, AnswerFrameMask());
        const int r = m_RecvBTF.CheckRetCode(pszType);
        ResetReceive();
        return r;
      }
    }
    // An answer already in is taken: only a wait still open is given up.
    if (CallAbandoned()) {
      m_TcpThread.Stop(true);
      return Abandoned(pszName);
    }
    Sleep(100);
  }
}

int MyComm::Abandoned(const char* pszName) {
  WriteLog(KV_HERE, LOG_ERROR, "处理%s(发送->接收)" KV_MSG_ABANDONED ".", pszName);
  return KORVESSA_ERR_TIMEOUT;
}

// ------------------------------------------------------------------ request content

bool MyComm::BuildContent(const char* pRequest, unsigned char* pContent) {
  if (pRequest == NULL || pContent == NULL) return false;
  memset(pContent, ' ', kContentSize);
  const char* pszName = GetTransName(pRequest + KV_REQ_transType, KV_REQ_transType_LEN);
  if (strcmp(pszName, KV_DEFAULT_TRANS_NAME) == 0) {
    WriteLog(KV_HERE, LOG_ERROR, "%s", pszName);
    return false;
  }
  memcpy(pContent, pRequest, layout::kReqCommonEnd);  // operType .. oldTraceNumber
  const char* pType = pRequest + KV_REQ_transType;
  if (SameCode(pType, "50") || SameCode(pType, "40")) {
    memcpy(pContent + layout::kReqReference.off, pRequest + KV_REQ_hostserialNumber,
           KV_REQ_hostserialNumber_LEN);
    memcpy(pContent + layout::kReqDate.off, pRequest + KV_REQ_transDate, KV_REQ_transDate_LEN);
  } else if (SameCode(pType, "62") || SameCode(pType, "64") || SameCode(pType, "66")) {
    memcpy(pContent + layout::kReqReference.off, pRequest + KV_REQ_oldAuthNumber, KV_REQ_oldAuthNumber_LEN);
    memcpy(pContent + layout::kReqDate.off, pRequest + KV_REQ_transDate, KV_REQ_transDate_LEN);
    memcpy(pContent + layout::kReqCardNumber.off, pRequest + KV_REQ_cardNumber, KV_REQ_cardNumber_LEN);
  }
  return true;
}

char* MyComm::ReadTextFile(const char* pszPath, int* piLen, long lMaxRead) {
  if (pszPath == NULL) return NULL;
  if (piLen != NULL) *piLen = 0;
  FILE* fp = KvFopen(pszPath, "rb");  // binary: the CR LF folding below is the same everywhere
  if (fp == NULL) return NULL;
  long lSize = -1;
  if (fseek(fp, 0, SEEK_END) == 0) lSize = ftell(fp);
  if (lSize < 0 || fseek(fp, 0, SEEK_SET) != 0) {
    fclose(fp);
    return NULL;
  }
  if (lMaxRead >= 0 && lSize > lMaxRead) lSize = lMaxRead;
  char* pBuf = static_cast<char*>(malloc(static_cast<size_t>(lSize) + 1));
  if (pBuf == NULL) {
    fclose(fp);
    return NULL;
  }
  const size_t nRead = fread(pBuf, 1, static_cast<size_t>(lSize), fp);
  fclose(fp);
  // Text mode on every system: each CR LF pair becomes one LF.
  size_t nOut = 0;
  for (size_t i = 0; i < nRead; ++i) {
    if (pBuf[i] == '\r' && i + 1 < nRead && pBuf[i + 1] == '\n') continue;
    pBuf[nOut++] = pBuf[i];
  }
  pBuf[nOut] = '\0';
  if (piLen != NULL) *piLen = static_cast<int>(nOut);
  return pBuf;
}

bool MyComm::BuildRequest(const unsigned char* pContent) {
  if (pContent == NULL) return false;
  if (!SameCode(reinterpret_cast<const char*>(pContent) + 2, "06")) {
    Lock lock(m_csRecv.get());
    m_SendBTF.Build(pContent, kContentSize);
    return true;
  }
  int iLen = 0;
  char* pText = ReadTextFile(POS_PRINT_FILE, &iLen, kPrintReadMax);
  if (pText == NULL) {
    WriteLog(KV_HERE, LOG_ERROR, "Fail to Open File.(%s)", POS_PRINT_FILE);
    return false;
  }
  if (iLen > kPrintTextMax) {
    iLen = kPrintTextMax;
    pText[kPrintTextMax] = '\0';
  }
  const int iTotal = iLen + kContentSize + 1;
  unsigned char* pData = static_cast<unsigned char*>(malloc(static_cast<size_t>(iTotal)));
  if (pData == NULL) {
    WriteLog(KV_HERE, LOG_ERROR, "Fail to malloc data.(malloc Len = %d)", iTotal);
    free(pText);
    return false;
  }
  memcpy(pData, pContent, kContentSize);
  memcpy(pData + kContentSize, pText, static_cast<size_t>(iLen) + 1);
  {
    Lock lock(m_csRecv.get());
    m_SendBTF.Build(pData, iTotal);
  }
  free(pText);
  free(pData);
  return true;
}

// ------------------------------------------------------------------ processing

void MyComm::ShowRequest(const char* pRequest) {
  if (pRequest == NULL || GetDebugLogLevel() < 5) return;
  static const char kRule[] =
      "-----------------------------------------------------------------------------\n";
  char text[1024];
  text[0] = '\0';
  Append(text, sizeof(text), "%s", "【输入参数数据显示】\n");
  Append(text, sizeof(text), "%s", kRule);
  Append(text, sizeof(text), "操 作  类 型：%s\n",
         Field(pRequest, KV_REQ_operType, KV_REQ_operType_LEN).text);
  Append(text, sizeof(text), "交 易  类 型：%s\n",
         Field(pRequest, KV_REQ_transType, KV_REQ_transType_LEN).text);
  Append(text, sizeof(text), "卡   类   型：%s\n",
         Field(pRequest, KV_REQ_cardType, KV_REQ_cardType_LEN).text);
  Append(text, sizeof(text), "收银机  编号：%s\n",
         Field(pRequest, KV_REQ_cashRegisterNo, KV_REQ_cashRegisterNo_LEN).text);
  Append(text, sizeof(text), "操作员  编号：%s\n",
         Field(pRequest, KV_REQ_operatorNo, KV_REQ_operatorNo_LEN).text);
  Append(text, sizeof(text), "金        额：%s\n", Field(pRequest, KV_REQ_amount, KV_REQ_amount_LEN).text);
  Append(text, sizeof(text), "收银机流水号：%s\n",
         Field(pRequest, KV_REQ_cashTraceNumber, KV_REQ_cashTraceNumber_LEN).text);
  Append(text, sizeof(text), "打 印  小 票：%c\n", pRequest[KV_REQ_printFlag]);
  Append(text, sizeof(text), "原交易流水号：%s\n",
         Field(pRequest, KV_REQ_oldTraceNumber, KV_REQ_oldTraceNumber_LEN).text);
  Append(text, sizeof(text), "原交易参考号：%s\n",
         Field(pRequest, KV_REQ_hostserialNumber, KV_REQ_hostserialNumber_LEN).text);
  Append(text, sizeof(text), "原  授 权 号：%s\n",
         Field(pRequest, KV_REQ_oldAuthNumber, KV_REQ_oldAuthNumber_LEN).text);
  Append(text, sizeof(text), "原 交易 日期：%s\n",
         Field(pRequest, KV_REQ_transDate, KV_REQ_transDate_LEN).text);
  Field card(pRequest, KV_REQ_cardNumber, KV_REQ_cardNumber_LEN);
  if (GetMaskCardNumber() != 0)
    MaskCardField(reinterpret_cast<unsigned char*>(card.text), KV_REQ_cardNumber_LEN);
  Append(text, sizeof(text), "卡        号：%s\n", card.text);
  Append(text, sizeof(text), "%s", kRule);
  WriteLog(KV_HERE, LOG_INFO, "%s", text);
}

bool MyComm::OpenPortFromConfig() {
  char szDir[MAX_PATH];
  if (!GetModuleDir(szDir, sizeof(szDir))) {
    // The Config.ini of another folder (the current one) would drive another port: no call.
    char szModule[MAX_PATH] = "";
    GetModuleFileNameA(GetModuleHandleForPaths(), szModule, sizeof(szModule));
    szModule[sizeof(szModule) - 1] = '\0';
    WriteLog(KV_HERE, LOG_FATAL, "取不到库文件所在的文件夹（路径超过 %d 字节或无法读取）：%s", MAX_PATH - 1,
             szModule);
    return false;
  }
  char szPath[2 * MAX_PATH];
  snprintf(szPath, sizeof(szPath), "%sConfig.ini", szDir);
  SetConfigFile(szPath);
  if (IsOpen()) return true;
  ComConfig cfg;
  ReadComConfig(&cfg);
  // [COM] Device names the Linux device itself (a stable /dev/serial/by-id link, say); it wins
  // over the device the port number names. Windows opens "\\.\COMn" only.
  char szDevice[MAX_PATH + 1] = "";
#ifndef _WIN32
  ReadComDevice(szDevice, sizeof(szDevice));
#endif
  SetDevicePath(szDevice);
  try {
    Open(cfg.dwPort, cfg.dwBaudRate, static_cast<BYTE>(cfg.dwParity), static_cast<BYTE>(cfg.dwByteSize),
         static_cast<BYTE>(cfg.dwStopBits));
    return true;
  } catch (const std::exception& e) {
    WriteLog(KV_HERE, LOG_FATAL, KV_MSG_OPEN_COM "%d 失败，代码：%s", static_cast<int>(cfg.dwPort), e.what());
  } catch (...) {
    WriteLog(KV_HERE, LOG_FATAL, KV_MSG_OPEN_COM "%d 失败，代码：%s", static_cast<int>(cfg.dwPort), "");
  }
  if (szDevice[0] != '\0') WriteLog(KV_HERE, LOG_FATAL, "打开串口设备失败：%s", szDevice);
  return false;
}

int MyComm::Handshake() {
  NewTransID();
  if (m_pJournal != NULL) {
    char szId[kTransIDLen + 1];
    GetTransID(szId, sizeof(szId));
    m_pJournal->SetTransId(szId);
  }
  unsigned char content[kContentSize];
  memset(content, ' ', sizeof(content));
  memcpy(content,
         "C0"
         "00"
         "01",
         6);
  BuildRequest(content);
  m_eWaitStep.store(CallStep::kHandshake);
  return Exchange("00", m_dwHandshakeTimeOut);
}

int MyComm::OpenAndHandshake() {
  if (!OpenPortFromConfig()) return KORVESSA_ERR_OPEN;
  const int r = Handshake();
  // The terminal needs a moment after its handshake answer before it takes the request.
  if (r == KORVESSA_OK) Sleep(200);
  return r;
}

int MyComm::SendTrans(const char* pRequest) {
  unsigned char content[kContentSize];
  if (!BuildContent(pRequest, content)) {
    char szType[3] = {0};
    if (pRequest != NULL) memcpy(szType, pRequest + KV_REQ_transType, KV_REQ_transType_LEN);
    WriteLog(KV_HERE, LOG_FATAL, KV_MSG_BAD_TYPE "(%s)！", szType);
    return KORVESSA_ERR_ARGUMENT;
  }
  // A type "06" request without its print text is refused rather than sent as the
  // frame built before it.
  if (!BuildRequest(content)) return KORVESSA_ERR_ARGUMENT;
  int iTimeOut = GetTradeTimeOut();
  if (iTimeOut < 0) iTimeOut = 0;
  char szType[3] = {static_cast<char>(content[layout::kReqTransType.off]),
                    static_cast<char>(content[layout::kReqTransType.off + 1]), '\0'};
  if (m_pJournal != NULL) m_pJournal->ArmRequest();
  m_eWaitStep.store(CallStep::kWaiting);
  return Exchange(szType, static_cast<DWORD>(iTimeOut));
}

int MyComm::ProcessTrans(const char* pRequest, char* pResponse) {
  const int r = SendTrans(pRequest);
  SetStep(CallStep::kFinishing);
  if (r == KORVESSA_OK) {
    PrintResult print;
    {
      Lock lock(m_csRecv.get());
      print = MakePrintFile(m_RecvBTF.GetCont(), m_RecvBTF.GetContLen());
    }
    if (print == kPrintFailed) {
      WriteLog(KV_HERE, LOG_ERROR, "处理%s交易时，向打印文件中写数据失败！",
               GetTransName(pRequest + KV_REQ_transType, KV_REQ_transType_LEN));
    }
  }
  {
    Lock lock(m_csRecv.get());
    m_RecvBTF.MapResponse(pRequest, pResponse);
  }
  return r;
}
