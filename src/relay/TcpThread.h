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
// Threads: CheckTransmitData, TransmitToHost and Start run on the serial watch thread; Stop also
// runs on the caller's thread (the exchange's time-out) and in the destructor. Start, Stop and
// TransmitToHost are serialised by one lock; the socket and the send event are closed under a
// second one, so neither is ever closed twice or used after it was closed.
#pragma once

#include <atomic>
#include <cstddef>

#include "platform/platform.h"
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

// True when content is not null and starts with "D0". Content shorter than 2 bytes is not
// transmit data: callers pass frame content, which is at least 2 bytes long.
bool IsTransmitData(const unsigned char* content);

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
  // Relays one unit. True when the unit was taken: the relay is connected, the frame logged, the
  // terminal side's receive state reset and the payload handed to the relay thread. False when the unit
  // was dropped (malformed, no terminal side, no connection ...): nothing was sent and the
  // receive state was left as it is, for the caller to reset.
  bool TransmitToHost(BTFManager* frame, TerminalLink* link);

  // Stops any relay thread, creates the send event, connects and starts the relay thread.
  bool Start(TerminalLink* link);
  // Ends the relay thread and closes socket and event; `clear` also empties the destination.
  // Safe from any thread and against a concurrent Start; on the relay thread itself it only asks
  // the thread to end.
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
  // is blocking with both transfer time-outs set. A refused attempt fails at once.
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
  bool IsWSAStarted() const { return m_bWSAStartup; }

 private:
  // Stop with a bounded wait for the relay thread (the destructor's, so unloading the library
  // never hangs on a thread that cannot end); returns false when the thread did not end in time.
  bool StopWithin(bool clear, DWORD waitMs);
  // Winsock start-up, taken at first use rather than under the loader lock.
  bool EnsureWSAStartup();
  // Wakes a relay thread blocked in send or recv without releasing the socket.
  void WakeSocket();
  void SignalSendEvent();

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

  std::atomic<DWORD> m_dwIoTimeOut;
  CRITICAL_SECTION m_csStart;    // Start, Stop, TransmitToHost; may be held while connecting
  CRITICAL_SECTION m_csHandles;  // m_hSocket and m_hSendEvent changes; never held while waiting
};
