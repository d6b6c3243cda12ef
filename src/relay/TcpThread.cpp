// The host relay: connection to the bank host, the relay thread, and the replies to the terminal.
#include "relay/TcpThread.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "base/Deadline.h"
#include "config/Config.h"
#include "log/Log.h"
#include "log/Messages.h"
#include "platform/CsLock.h"
#include "platform/net_util.h"
#include "protocol/BTFManager.h"
#include "relay/AllowedHosts.h"
#include "relay/WSAErrorText.h"

namespace {

// How long the destructor waits for the relay thread. Unloading the library on Windows runs the
// destructor under the loader lock, where an ending thread cannot finish: the wait must be
// bounded there. The relay thread leaves its loop at once after a stop request (socket shut
// down, event signalled), so this only bounds a thread stuck in a write to the terminal.
constexpr DWORD kUnloadWaitMs = 3000;

const char* OrNull(const char* text) { return text != nullptr ? text : "(null)"; }

// The relay object whose thread the calling thread is, if any.
thread_local const TcpThread* t_pRelayOf = nullptr;

}  // namespace

// ------------------------------------------------------------------------------------------------
// Construction

TcpThread::TcpThread()
    : m_hThread(nullptr),
      m_pComm(nullptr),
      m_bWSAStartup(false),
      m_iConnTimeOut(kTcpDefaultConnTimeOut),
      m_iSendLen(0),
      m_iRecvLen(0),
      m_bExit(false),
      m_hSendEvent(nullptr),
      m_iUnitLen(0),
      m_bUnitOpen(false),
      m_bConnected(false),
      m_lastEnd(RelayEnd::kNone),
      m_dwIoTimeOut(kTcpIoTimeOut) {
  std::memset(m_ucUnitHead, 0, sizeof(m_ucUnitHead));
  std::memset(m_szIP, 0, sizeof(m_szIP));
  std::memset(m_szPort, 0, sizeof(m_szPort));
  std::memset(m_szSendBuf, 0, sizeof(m_szSendBuf));
  std::memset(m_szRecvBuf, 0, sizeof(m_szRecvBuf));
  InitializeCriticalSection(&m_csStart);
  InitializeCriticalSection(&m_csHandles);
  // Winsock is started at first use (Start): the constructor runs during the library's static
  // initialisation, under the Windows loader lock, where no further DLL may be loaded.
}

TcpThread::~TcpThread() {
  if (!StopWithin(false, kUnloadWaitMs, false)) {
    // The thread did not end in time (unloading under the loader lock): it may still touch the
    // socket, the socket library and the handle lock, so they are left in place.
    return;
  }
  m_Host.Close();
  CloseSendEvent();
  // No WSACleanup: this runs at unload, under the Windows loader lock, where Winsock must not be
  // shut down. The process keeps its Winsock reference; a later load finds Winsock started.
  DeleteCriticalSection(&m_csHandles);
  DeleteCriticalSection(&m_csStart);
}

bool TcpThread::EnsureWSAStartup() {
  if (m_bWSAStartup) return true;
  WSADATA data;
  if (WSAStartup(0x0101, &data) != 0) {
    WriteLog(KV_HERE, LOG_ERROR, "WSAStartup() failed!");
    return false;
  }
  m_bWSAStartup = true;
  return true;
}

void TcpThread::SetIoTimeOut(DWORD ms) {
  CsLock lock(&m_csStart);
  m_dwIoTimeOut = ms > 0 ? ms : static_cast<DWORD>(kTcpIoTimeOut);
}

bool TcpThread::HasThread() {
  CsLock lock(&m_csStart);
  return m_hThread != nullptr;
}

bool TcpThread::WaitThreadEnd(DWORD ms) {
  CsLock lock(&m_csStart);
  return m_hThread == nullptr || WaitForSingleObject(m_hThread, ms) == WAIT_OBJECT_0;
}

void TcpThread::SetConnTimeOut(int seconds) {
  if (seconds > 0) m_iConnTimeOut = seconds;
}

const char* TcpThread::GetWSAErrorText() { return GetWSAErrorTextOf(WSAGetLastError()); }

// ------------------------------------------------------------------------------------------------
// Transmit data from the terminal (watch thread)

int TcpThread::CheckTransmitData(BTFManager* frame) {
  if (frame == nullptr) return 0;
  const unsigned char* content = frame->GetCont();
  if (!IsTransmitData(content, frame->GetContLen())) return 0;
  // A payload that would not fit the send buffer cannot be relayed whole: malformed as well.
  if (!TransmitHead::CheckLength(content, frame->GetContLen()) ||
      TransmitHead::PayloadLength(content) > kTcpBufSize) {
    WriteLog(KV_HERE, LOG_ERROR, "Transmit Data format error.");
    return -1;
  }
  return 1;
}

bool TcpThread::TransmitToHost(BTFManager* frame, TerminalLink* link) {
  // The caller has checked the unit with CheckTransmitData; a unit that would not pass is
  // dropped here too rather than read past its content.
  if (frame == nullptr || frame->GetCont() == nullptr) return false;
  const unsigned char* content = frame->GetCont();
  int contLen = frame->GetContLen();
  if (contLen < kTransmitHeadSize || !IsTransmitData(content, contLen) ||
      !TransmitHead::CheckLength(content, contLen) || TransmitHead::PayloadLength(content) > kTcpBufSize) {
    return false;
  }

  {
    CsLock lock(&m_csStart);
    // The previous relay thread reads the destination and the unit's head: it ends first.
    // Every unit restarts the relay: the previous connection is closed, a new one opened.
    // While the terminal side closes, the unit is dropped if that thread has not ended yet.
    if (!StopWithin(false, INFINITE, true)) return false;
    SetDestination(reinterpret_cast<const char*>(content) + 4, 40,
                   reinterpret_cast<const char*>(content) + 44, 6);
    SetConnTimeOut(::GetConnTimeOut());  // [TCP] ConnTimeOut of Config.ini
    // A destination the shop has not allowed is dropped before any name lookup or connection.
    m_Audit.Begin(m_szIP, m_szPort);
    char allowed[kAllowedHostsSize];
    ::GetAllowedHosts(allowed, sizeof(allowed));
    if (!IsDestinationAllowed(allowed, m_szIP, RelayPortNumber(m_szPort))) {
      m_lastEnd = RelayEnd::kNotAllowed;
      m_Audit.End(RelayEnd::kNotAllowed);
      return false;
    }
    const int receivedLen = link != nullptr ? link->CopyRecvHead(m_ucUnitHead, kTransmitHeadShown) : 0;
    m_iUnitLen = receivedLen > 0 ? receivedLen : 0;
    if (link != nullptr) link->OnUnitStart(m_szIP, m_szPort);
    if (!Start(link)) {
      m_Audit.End(RelayEnd::kFailed);
      if (link != nullptr) link->OnUnitEnd();
      return false;
    }
    link->ResetReceive();
    if (!QueueSendData(content)) return false;
  }
  // The relay's pause after a start, kept from the first design, where it let the new thread
  // clear its stop flag before the payload was signalled; it now only paces the terminal's units.
  Sleep(100);
  return true;
}

int TcpThread::SetDestination(const char* host, int hostLen, const char* port, int portLen) {
  // The stored texts keep room for their terminator.
  if (hostLen > kTcpIPSize - 1) hostLen = kTcpIPSize - 1;
  if (portLen > kTcpPortSize - 1) portLen = kTcpPortSize - 1;
  if (hostLen < 0 || host == nullptr) hostLen = 0;
  if (portLen < 0 || port == nullptr) portLen = 0;
  if ((hostLen == 0 || std::memcmp(m_szIP, host, static_cast<size_t>(hostLen)) == 0) &&
      (portLen == 0 || std::memcmp(m_szPort, port, static_cast<size_t>(portLen)) == 0)) {
    return 0;
  }
  if (hostLen > 0) std::memcpy(m_szIP, host, static_cast<size_t>(hostLen));
  m_szIP[hostLen] = '\0';
  NormalizeIP();
  if (portLen > 0) std::memcpy(m_szPort, port, static_cast<size_t>(portLen));
  m_szPort[portLen] = '\0';
  return 1;
}

void TcpThread::NormalizeIP() {
  // Leading zeros go, so inet_addr never reads a part as octal (AllowedHosts compares the same text).
  char text[kTcpIPSize];
  NormalizeHostText(m_szIP, text, sizeof(text));
  std::memset(m_szIP, 0, sizeof(m_szIP));
  std::memcpy(m_szIP, text, strnlen(text, sizeof(m_szIP) - 1));
}

bool TcpThread::QueueSendData(const unsigned char* content) {
  int len = 0;
  if (!m_Head.GetBody(content, m_szSendBuf, static_cast<int>(sizeof(m_szSendBuf)), &len)) return false;
  m_iSendLen = len;
  // The buffer is filled before the event is signalled: the relay thread reads it after its wait.
  CsLock lock(&m_csHandles);
  if (m_hSendEvent == nullptr) return false;
  return SetEvent(m_hSendEvent) != FALSE;
}

// ------------------------------------------------------------------------------------------------
// Start and stop

bool TcpThread::Start(TerminalLink* link) {
  CsLock lock(&m_csStart);
  // A thread asked to end that has not yet (the terminal side is closing) is never replaced.
  if (!StopWithin(false, INFINITE, true)) return false;
  if (link == nullptr) return false;
  if (!CreateSendEvent()) {
    WriteLog(KV_HERE, LOG_ERROR, "CreateEvent error!");
    return false;
  }
  EnsureWSAStartup();  // on failure the socket calls fail and are logged
  m_pComm = link;
  // Cleared before the thread exists, so a stop request can never be lost to a late start.
  m_bExit = false;
  m_bConnected = false;
  unsigned id = 0;
  uintptr_t h = _beginthreadex(nullptr, 0, &TcpThread::TcpThreadEntryPoint, this, 0, &id);
  if (h == 0) return false;
  m_hThread = reinterpret_cast<HANDLE>(h);
  return true;
}

void TcpThread::Stop(bool clear) { StopWithin(clear, INFINITE, true); }

bool TcpThread::StopWithin(bool clear, DWORD waitMs, bool mayAbandon) {
  if (t_pRelayOf == this) {
    // Asked from the relay thread itself (through a write to the terminal): it cannot wait for
    // its own end. It leaves at its next test; the next Stop from another thread collects it.
    m_bExit = true;
    m_Host.Wake();
    SignalSendEvent();
    return false;
  }
  CsLock lock(&m_csStart);
  if (m_hThread == nullptr) {
    // No relay thread: release what a failed Start left behind; the destination stays.
    m_Host.Close();
    CloseSendEvent();
    return true;
  }
  m_bExit = true;
  m_Host.Wake();      // a thread blocked in send or recv returns
  SignalSendEvent();  // a thread waiting for a payload wakes
  // Waited for in steps while the terminal side might begin to close: the serial watch thread
  // stops the relay, and a close must find it back within its own bound, never held here (the
  // thread can be in a host name lookup, or in a write to the terminal that the close ends).
  const Deadline limit(waitMs);
  bool ended = false;
  bool abandoned = false;
  for (;;) {
    const DWORD left = limit.Remaining();
    const DWORD step = left < kConnectStepMs ? left : static_cast<DWORD>(kConnectStepMs);
    ended = WaitForSingleObject(m_hThread, step) == WAIT_OBJECT_0;
    if (ended || step == 0) break;
    if (mayAbandon && m_pComm != nullptr && m_pComm->Closing()) {
      abandoned = true;
      break;
    }
  }
  // It ends by itself (asked to, socket shut down); the next Stop collects it. The destination
  // stays: the thread may still read it.
  if (abandoned) return false;
  if (ended) {
    // The thread is gone: nothing uses the socket or the event any more.
    m_Host.Close();
    CloseSendEvent();
  }
  DWORD code = STILL_ACTIVE;
  // A thread whose connect failed never ran the relay: its end is not reported, as when no
  // thread was started for a unit that could not be connected.
  if (GetExitCodeThread(m_hThread, &code) && code != STILL_ACTIVE && m_bConnected) {
    WriteLog(KV_HERE, LOG_INFO, KV_MSG_RELAY_EXIT);
  }
  if (clear) {
    std::memset(m_szIP, 0, sizeof(m_szIP));
    std::memset(m_szPort, 0, sizeof(m_szPort));
  }
  CloseHandle(m_hThread);
  m_hThread = nullptr;
  return ended;
}

bool TcpThread::CreateSendEvent() {
  CloseSendEvent();
  HANDLE h = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (h == nullptr) return false;
  CsLock lock(&m_csHandles);
  m_hSendEvent = h;
  return true;
}

void TcpThread::CloseSendEvent() {
  CsLock lock(&m_csHandles);
  if (m_hSendEvent != nullptr) {
    SetEvent(m_hSendEvent);
    CloseHandle(m_hSendEvent);
    m_hSendEvent = nullptr;
  }
}

void TcpThread::SignalSendEvent() {
  CsLock lock(&m_csHandles);
  if (m_hSendEvent != nullptr) SetEvent(m_hSendEvent);
}

// ------------------------------------------------------------------------------------------------
// Connection

bool TcpThread::ConnectHost() {
  RelayEnd failure = RelayEnd::kFailed;
  if (!m_Host.Connect(m_szIP, m_szPort, m_iConnTimeOut, m_dwIoTimeOut, m_bExit, &failure)) {
    EndUnit(failure);
    m_Host.Close();
    return false;
  }
  m_bConnected = true;
  return true;
}

// ------------------------------------------------------------------------------------------------
// The relay thread

void TcpThread::EndUnit(RelayEnd how) {
  // Every unit ends here exactly once: replied, host closed, connect failed, stopped, failed.
  if (!m_bUnitOpen) return;
  m_bUnitOpen = false;
  m_lastEnd = how;
  m_Audit.End(how);
  if (m_pComm != nullptr) m_pComm->OnUnitEnd();
}

void TcpThread::LogUnitHead() {
  if (m_iUnitLen > 0) {
    WriteHexLog(LOG_INFO, KV_MSG_TO_HOST "后台 数据头", m_ucUnitHead, m_iUnitLen,
                m_iUnitLen < kTransmitHeadShown ? m_iUnitLen : kTransmitHeadShown);
  }
  m_iUnitLen = 0;
}

bool TcpThread::SendData() {
  HANDLE ev = m_hSendEvent;  // only this thread closes it while the thread runs
  if (ev == nullptr || WaitForSingleObject(ev, m_dwIoTimeOut) != WAIT_OBJECT_0 || m_bExit) {
    EndUnit(RelayEnd::kStopped);  // a unit still open here was stopped before it was sent
    return false;
  }
  ResetEvent(ev);
  m_bUnitOpen = true;
  int sent = 0;
  const RelayEnd end = m_Host.SendAll(m_szSendBuf, m_iSendLen, m_dwIoTimeOut, m_bExit, &sent);
  if (sent > 0) m_Audit.AddSent(sent);
  if (end != RelayEnd::kNone) {
    EndUnit(end);
    return false;
  }
  WriteLog(KV_HERE, LOG_INFO, KV_MSG_SENT_TO_HOST "(SendLen = %d)", sent);
  return true;
}

bool TcpThread::RecvData() {
  const int n = m_Host.RecvOnce(m_szRecvBuf, static_cast<int>(sizeof(m_szRecvBuf)), m_dwIoTimeOut);
  if (m_bExit) {
    EndUnit(RelayEnd::kStopped);
    return false;
  }
  if (n > 0) {
    m_iRecvLen = n;
    m_Audit.AddReceived(n);
    WriteLog(KV_HERE, LOG_INFO, KV_MSG_RECEIVED_FROM_HOST "(RecvLen = %d)", n);
    const bool written = ReplyToPos();
    // A block too large for a frame reaches the terminal as nothing (m_iRecvLen 0).
    EndUnit(written && m_iRecvLen > 0 ? RelayEnd::kReplied : RelayEnd::kFailed);
    return written;
  }
  if (n == 0) {
    m_iRecvLen = 0;
    WriteLog(KV_HERE, LOG_ERROR, "recv Len == 0. (%s)", OrNull(GetWSAErrorText()));
    EndUnit(RelayEnd::kHostClosed);
    return false;
  }
  WriteLog(KV_HERE, LOG_ERROR, "recv Failed! (%s)", OrNull(GetWSAErrorText()));
  m_iRecvLen = 0;
  EndUnit(RelayEnd::kFailed);
  return false;
}

bool TcpThread::ReplyToPos() {
  int size = m_Head.BuildReply(m_szRecvBuf, m_iRecvLen, nullptr);
  unsigned char* reply = new (std::nothrow) unsigned char[size > 0 ? size : 1];
  if (reply == nullptr) {
    WriteLog(KV_HERE, LOG_ERROR, "new Failed!");
    return false;
  }
  int contLen = m_Head.BuildReply(m_szRecvBuf, m_iRecvLen, reply);
  {
    BTFManager frame;
    frame.Build(reply, contLen);  // carries the current transaction identifier
    m_iRecvLen = frame.Encode(m_szRecvBuf, static_cast<int>(sizeof(m_szRecvBuf)));
  }
  delete[] reply;
  if (m_iRecvLen <= 0) {
    // Too large for a frame (logged by Encode): nothing goes to the terminal, and its receive
    // state is left alone. The relay goes on waiting.
    m_iRecvLen = 0;
    return true;
  }
  WriteHexLog(LOG_INFO, "后台" KV_MSG_FROM_HOST " 数据头", m_szRecvBuf, m_iRecvLen,
              m_iRecvLen < kTransmitHeadShown ? m_iRecvLen : kTransmitHeadShown);
  DWORD written =
      m_pComm != nullptr ? m_pComm->WriteToTerminal(m_szRecvBuf, static_cast<DWORD>(m_iRecvLen)) : 0;
  return written == static_cast<DWORD>(m_iRecvLen);
}

unsigned WINAPI TcpThread::TcpThreadEntryPoint(void* object) {
  TcpThread* self = static_cast<TcpThread*>(object);
  t_pRelayOf = self;
  // The unit that started the thread is in progress from its connect on.
  self->m_bUnitOpen = true;
  if (!self->ConnectHost()) {
    // Logged by the connect; as before the relay thread existed for it, nothing more.
    self->m_Host.Close();
    return 0;
  }
  self->LogUnitHead();
  while (self->SendData() && self->RecvData()) {
  }
  self->m_Host.Close();
  self->CloseSendEvent();
  WriteLog(KV_HERE, LOG_INFO, KV_MSG_RELAY_THREAD_EXIT);
  return 0;
}
