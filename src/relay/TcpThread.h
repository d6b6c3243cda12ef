// The host relay: the terminal reaches the bank host through the library.
//
// The terminal sends frames whose content is a unit of transmit data: a 52-byte header naming
// the destination host and port and the payload length, then the payload. The relay opens a TCP
// connection to that destination for every unit, sends the payload from its own thread, takes
// the first block the host answers with, wraps it in a reply header ("D0" is answered with
// "D1") and a frame carrying the current transaction identifier, and writes it back to the
// terminal through the terminal side's WriteToTerminal (TerminalLink). Failures are logged and never reported
// to the terminal, which relies on its own time-out.
//
// Threads: CheckTransmitData and TransmitToHost run on the serial watch thread, Stop also on
// the caller's thread (the exchange's time-out) and in the destructor. The relay thread does
// all the waiting on the host: it connects, sends, receives (through its HostConnection, which
// owns the socket) and replies; the watch thread only
// hands a unit over and goes back to the terminal's bytes, so an answer from the terminal is
// taken while a connect is still in progress. Every wait of the relay thread is woken by a
// stop (the connect is waited for in short steps that test the stop request, send and recv
// return when the socket is shut down, the wait for a payload when its event is signalled),
// so Stop, which waits for the thread to end, returns promptly whatever the host does.
// Start, Stop and TransmitToHost are serialised by one lock that is never held across a wait
// on the host; the send event is changed under a second one, the socket under the connection's.
#pragma once

#include <atomic>
#include <cstddef>

#include "platform/platform.h"
#include "relay/HostConnection.h"
#include "relay/RelayAudit.h"
#include "relay/TransmitHead.h"
#include "relay/TerminalLink.h"

class BTFManager;

// Sizes and times of the relay.
enum {
  kTcpBufSize = 4096,           // payload to the host, bytes from the host, the framed reply
  kTcpIPSize = 41,              // destination host: 40 characters and a terminator
  kTcpPortSize = 7,             // destination port: 6 characters and a terminator
  kTcpDefaultConnTimeOut = 20,  // seconds
  kTcpIoTimeOut = 60000,        // ms: socket send/receive time-outs, wait for a payload
};

class TcpThread {
 public:
  TcpThread();
  virtual ~TcpThread();

  TcpThread(const TcpThread&) = delete;
  TcpThread& operator=(const TcpThread&) = delete;

  // ---- relay (watch thread)
  // 1: a well-formed unit of transmit data; 0: not transmit data (a null frame or content, or
  // content not starting "D0"); -1: transmit data that is malformed (content length differs from
  // ucLen + 52, or a payload that would not fit the send buffer), logged as
  // "Transmit Data format error."; the caller drops the frame and resets its receive state.
  int CheckTransmitData(BTFManager* frame);
  // Relays one unit. True when the unit was taken: the terminal side's receive state reset and
  // the payload handed to a new relay thread, which connects, logs the unit and sends it. False
  // when the unit was dropped (malformed, no terminal side, no thread): nothing was sent and
  // the receive state was left as it is, for the caller to reset. Never waits for the host.
  bool TransmitToHost(BTFManager* frame, TerminalLink* link);

  // ---- the thread's life
  // Stops any relay thread, creates the send event and starts the relay thread, which
  // connects (within m_iConnTimeOut seconds) before it waits for a payload. False when no
  // thread could be started; a failed connect ends the thread, logged as the connect's own.
  bool Start(TerminalLink* link);
  // Ends the relay thread and closes socket and event; `clear` also empties the destination.
  // Safe from any thread and against a concurrent Start; on the relay thread itself it only asks
  // the thread to end. While the terminal side is closing (TerminalLink::Closing) it asks the
  // thread to end and stops waiting for it: the next Stop collects it.
  void Stop(bool clear);
  bool HasThread();
  // Waits up to `ms` for the relay thread to end by itself; true when there is none (left).
  bool WaitThreadEnd(DWORD ms);

  // ---- the unit's destination and payload (also driven by tests without a unit's frame)
  // 1 when the stored destination was replaced, 0 when it was equal already. Lengths are capped
  // at 41 and 7 (the relay passes 40 and 6); the host text is normalised (NormalizeHostText).
  int SetDestination(const char* host, int hostLen, const char* port, int portLen);
  // Moves a unit's payload into m_szSendBuf, saves its header and signals the send event.
  // False when the payload does not fit or there is no event.
  bool QueueSendData(const unsigned char* content);
  // Keeps the current value for 0 or less.
  void SetConnTimeOut(int seconds);

  // Text for the calling thread's last Winsock error, null for a code outside the table.
  static const char* GetWSAErrorText();

  // ---- for tests and diagnostics
  // Send/receive time-outs and the wait for a payload, in ms (kTcpIoTimeOut unless changed).
  void SetIoTimeOut(DWORD ms);
  int ConnTimeOut() const { return m_iConnTimeOut; }
  const char* GetIP() const { return m_szIP; }
  const char* GetPort() const { return m_szPort; }
  bool IsWSAStarted() const { return m_bWSAStartup; }
  // How the last unit ended.
  RelayEnd LastEnd() const { return m_lastEnd.load(); }
  // The relay thread has opened its connection.
  bool Connected() const { return m_bConnected.load(); }

 private:
  static unsigned WINAPI TcpThreadEntryPoint(void* object);
  // Stop with a bounded wait for the relay thread (the destructor's, so unloading the library
  // never hangs on a thread that cannot end); returns false when the thread did not end in time
  // or (mayAbandon) the terminal side began to close: the thread then keeps its handle, asked
  // to end.
  bool StopWithin(bool clear, DWORD waitMs, bool mayAbandon);
  // Winsock start-up, taken at first use rather than under the loader lock.
  bool EnsureWSAStartup();
  // Rewrites m_szIP as "%d.%d.%d.%d" when it reads as four decimal numbers separated by dots.
  void NormalizeIP();
  bool CreateSendEvent();
  void CloseSendEvent();
  void SignalSendEvent();
  // Relay thread: opens the connection to m_szIP:m_szPort within m_iConnTimeOut seconds; a
  // failure ends the unit as the connection tells.
  bool ConnectHost();
  // Relay thread: wait for a payload, send it whole.
  bool SendData();
  // Relay thread: one receive, then ReplyToPos.
  bool RecvData();
  // Relay thread: frames the host's bytes and writes them to the terminal.
  bool ReplyToPos();
  // Relay thread: the end of the unit in progress, if one is (see RelayEnd).
  void EndUnit(RelayEnd how);
  // Relay thread: the dump of the unit as it came off the serial line, once connected.
  void LogUnitHead();

  HANDLE m_hThread;
  TerminalLink* m_pComm;  // not owned: where replies are written
  TransmitHead m_Head;
  bool m_bWSAStartup;
  HostConnection m_Host;
  char m_szIP[kTcpIPSize];
  char m_szPort[kTcpPortSize];
  int m_iConnTimeOut;
  int m_iSendLen;
  unsigned char m_szSendBuf[kTcpBufSize];
  int m_iRecvLen;
  unsigned char m_szRecvBuf[kTcpBufSize];
  std::atomic<bool> m_bExit;
  HANDLE m_hSendEvent;

  // The first bytes of the unit's frame and its length, kept for the relay thread's dump.
  unsigned char m_ucUnitHead[kTransmitHeadShown];
  int m_iUnitLen;
  // Relay thread state: a unit is in progress; the connection was opened.
  bool m_bUnitOpen;
  std::atomic<bool> m_bConnected;
  std::atomic<RelayEnd> m_lastEnd;
  RelayAudit m_Audit;  // the audit line of the unit in progress

  std::atomic<DWORD> m_dwIoTimeOut;
  CRITICAL_SECTION m_csStart;    // Start, Stop, TransmitToHost; never held while the host is awaited
  CRITICAL_SECTION m_csHandles;  // m_hSendEvent changes; never held while waiting
};
