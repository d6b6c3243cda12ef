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
// all the waiting on the host: it connects, sends, receives and replies; the watch thread only
// hands a unit over and goes back to the terminal's bytes, so an answer from the terminal is
// taken while a connect is still in progress. Every wait of the relay thread is woken by a
// stop (the connect is waited for in short steps that test the stop request, send and recv
// return when the socket is shut down, the wait for a payload when its event is signalled),
// so Stop, which waits for the thread to end, returns promptly whatever the host does.
// Start, Stop and TransmitToHost are serialised by one lock that is never held across a wait
// on the host; the socket and the send event are changed under a second one.
#pragma once

#include <atomic>
#include <cstddef>

#include "platform/platform.h"
#include "relay/RelayAudit.h"
#include "relay/TerminalLink.h"

class BTFManager;

// Size of the transmit data header that starts every unit and every reply.
enum {
  kTransmitHeadSize = 52,
  kTransmitHeadShown = 61,      // bytes of a unit or reply frame shown in the log: 9 of framing + header
  kTcpBufSize = 4096,           // payload to the host, bytes from the host, the framed reply
  kTcpIPSize = 41,              // destination host: 40 characters and a terminator
  kTcpPortSize = 7,             // destination port: 6 characters and a terminator
  kTcpDefaultConnTimeOut = 20,  // seconds
  kTcpIoTimeOut = 60000,        // ms: socket send/receive time-outs, wait for a payload
  kConnectStepMs = 20,          // ms: longest wait of a connect between two tests of a stop request
};

// The transmit data header, byte for byte as in the frame content, followed by a data pointer.
struct STU_TRANSMIT_HEAD {
  char operType[2];        // "D0" from the terminal
  char cmdCode[2];         // returned with its second character increased by one
  char szIP[40];           // dotted IPv4 address or host name, ends at the first NUL or the field's end
  char szPort[6];          // decimal text
  unsigned char ucLen[2];  // payload length, most significant byte first
  unsigned char* pData;    // null whenever a header is saved
};

// The header of the last unit sent to the host.
class TransmitHead {
 public:
  TransmitHead();
  virtual ~TransmitHead();

  // Copies the 52 header bytes of `content` and clears pData.
  void SaveHead(const unsigned char* content);
  // Reads ucLen, copies that many payload bytes from content offset 52 into `dest` (room for
  // `destSize` bytes), stores the length in *len and saves the header. False, with nothing done,
  // when an argument is null or the payload does not fit `dest`. The caller has checked the
  // content's length (CheckLength).
  bool GetBody(const unsigned char* content, unsigned char* dest, int destSize, int* len);
  // Writes the reply: bytes 0..49 of the saved header with bytes 1 and 3 increased by one, the
  // length in bytes 50 and 51 (high byte first), then `len` bytes of `payload`. Returns len + 52;
  // with a null `dest` only the size, with a null `payload` 0. `len` must lie in 0..65535.
  int BuildReply(const unsigned char* payload, int len, unsigned char* dest) const;
  // True when content is not null and contentLen equals ucLen + 52.
  static bool CheckLength(const unsigned char* content, int contentLen);
  // ucLen of a header.
  static int PayloadLength(const unsigned char* content);

  const STU_TRANSMIT_HEAD& Head() const { return m_stuHead; }

 private:
  STU_TRANSMIT_HEAD m_stuHead;
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

  // Stops any relay thread, creates the send event and starts the relay thread, which
  // connects (within m_iConnTimeOut seconds) before it waits for a payload. False when no
  // thread could be started; a failed connect ends the thread, logged as the connect's own.
  bool Start(TerminalLink* link);
  // Ends the relay thread and closes socket and event; `clear` also empties the destination.
  // Safe from any thread and against a concurrent Start; on the relay thread itself it only asks
  // the thread to end. While the terminal side is closing (TerminalLink::Closing) it asks the
  // thread to end and stops waiting for it: the next Stop collects it.
  void Stop(bool clear);

  // 1 when the stored destination was replaced, 0 when it was equal already. Lengths are capped
  // at 41 and 7 (the relay passes 40 and 6).
  int SetDestination(const char* host, int hostLen, const char* port, int portLen);
  // Rewrites m_szIP as "%d.%d.%d.%d" when it reads as four decimal numbers separated by dots.
  void NormalizeIP();
  // Moves a unit's payload into m_szSendBuf, saves its header and signals the send event.
  // False when the payload does not fit or there is no event.
  bool QueueSendData(const unsigned char* content);
  // Frames the host's bytes and writes them to the terminal (relay thread).
  bool ReplyToPos();
  bool CreateSendEvent();
  void CloseSendEvent();

  // ---- connection
  // Opens the connection to m_szIP:m_szPort within m_iConnTimeOut seconds; afterwards the socket
  // is blocking with both transfer time-outs set. A refused attempt fails at once; a stop
  // request ends the attempt within kConnectStepMs. Relay thread.
  bool ConnectHost();
  // IPv4 address of a dotted address or host name into addr->sin_addr.
  bool GetIP(const char* host, SOCKADDR_IN* addr);
  // Closes m_hSocket if valid; safe to call repeatedly and from both threads.
  void CloseSocket();
  bool SendData();  // relay thread: wait for a payload, send it whole
  bool RecvData();  // relay thread: one receive, then ReplyToPos
  // Keeps the current value for 0 or less.
  void SetConnTimeOut(int seconds);

  // Text for the calling thread's last Winsock error, null for a code outside the table.
  static const char* GetWSAErrorText();

  static unsigned WINAPI TcpThreadEntryPoint(void* object);

  // ---- for tests and diagnostics
  // Send/receive time-outs and the wait for a payload, in ms (kTcpIoTimeOut unless changed).
  void SetIoTimeOut(DWORD ms);
  int ConnTimeOut() const { return m_iConnTimeOut; }
  const char* GetIP() const { return m_szIP; }
  const char* GetPort() const { return m_szPort; }
  bool HasThread();
  // Waits up to `ms` for the relay thread to end by itself; true when there is none (left).
  bool WaitThreadEnd(DWORD ms);
  bool IsWSAStarted() const { return m_bWSAStartup; }
  // How the last unit ended.
  RelayEnd LastEnd() const { return m_lastEnd.load(); }
  // The relay thread has opened its connection.
  bool Connected() const { return m_bConnected.load(); }

 private:
  // Stop with a bounded wait for the relay thread (the destructor's, so unloading the library
  // never hangs on a thread that cannot end); returns false when the thread did not end in time
  // or (mayAbandon) the terminal side began to close: the thread then keeps its handle, asked
  // to end.
  bool StopWithin(bool clear, DWORD waitMs, bool mayAbandon);
  // Winsock start-up, taken at first use rather than under the loader lock.
  bool EnsureWSAStartup();
  // Wakes a relay thread blocked in send or recv without releasing the socket.
  void WakeSocket();
  void SignalSendEvent();
  // Relay thread: a connect ended by a stop request (one level-5 line); false.
  bool ConnectStopped();
  // Relay thread: the end of the unit in progress, if one is (see RelayEnd).
  void EndUnit(RelayEnd how);
  // Relay thread: the dump of the unit as it came off the serial line, once connected.
  void LogUnitHead();

  HANDLE m_hThread;
  TerminalLink* m_pComm;  // not owned: where replies are written
  TransmitHead m_Head;
  bool m_bWSAStartup;
  SOCKET m_hSocket;
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
  CRITICAL_SECTION m_csHandles;  // m_hSocket and m_hSendEvent changes; never held while waiting
};
