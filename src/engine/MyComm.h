// MyComm: the transaction engine. One object drives one transaction at a time on the
// card terminal: it builds the request content, frames and sends it, assembles the
// terminal's answer from the serial watch thread, relays transmit data to the bank host,
// writes the receipt and fills the response record.
#pragma once

#include <atomic>
#include <cstddef>

#include "engine/FrameAssembler.h"
#include "journal/Journal.h"
#include "platform/platform.h"
#include "protocol/BTFManager.h"
#include "protocol/Layout.h"
#include "relay/TcpThread.h"
#include "relay/TerminalLink.h"
#include "serial/SerialPort.h"

// Sizes of the records and of the engine's fixed buffers.
enum {
  kContentSize = layout::kRequestContentSize,  // request content carried by every request frame
  kSendBufSize = 4096,                         // encoding buffer for one frame to send
  kPrintTextMax = 2000,                        // longest print text a type "06" request carries
  kHandshakeTimeOut = 2000,                    // ms
};

// The step of the call in progress, as the register sees it (GetValue("state")).
enum class CallStep {
  kIdle,       // no call running
  kOpening,    // the call has begun: the port is being opened
  kHandshake,  // the handshake went out; its answer awaited, then the terminal's pause
  kWaiting,    // the transaction request went out; its answer awaited
  kHost,       // a unit of transmit data is being relayed to the bank host
  kFinishing,  // receipt, response record, purge or close, journal
};

// "idle", "opening", "handshake", "waiting", "host", "finishing".
const char* CallStepName(CallStep step);
// The step of the call in progress and the whole seconds since it began. Lock-free: any thread, any
// time, also while the library is being unloaded.
CallStep GetCallStep(unsigned* puSeconds);
// The bank host of the unit being relayed ("127.0.0.1:5000"; "" when none) into out (size bytes).
void GetCallHost(char* out, size_t size);
// The register gives up waiting: the call in progress ends at its next wait step (or before its next
// frame is written) with -3, as a time-out does. True when a call was running; with none, nothing
// changes, and nothing carries over into the next call. Lock-free: any thread.
bool AbandonCall();

// Serial options of the library's engine object: watch thread, overlapped I/O, receive buffer.
#define MYCOMM_OPTIONS (EN_WATCH_THREAD | EN_OVERLAPPED_IO | EN_RX_BUFFER)

// The text file a type "06" request sends to the terminal for printing (current directory).
#define POS_PRINT_FILE "POS_print.txt"

class MyComm : public SerialPort, public TerminalLink {
 public:
  MyComm();
  ~MyComm() override;

  MyComm(const MyComm&) = delete;
  MyComm& operator=(const MyComm&) = delete;

  // ---- serial receive side (watch thread)
  // Drains RxBuffer_, assembles frames, decodes them into m_RecvBTF and routes them:
  // transmit data to the host relay, anything else as the answer to the pending exchange.
  void OnReceive() override;
  // The serial base's dispatch inside a catch-all: any failure closes the port.
  void DispatchEvents(DWORD dwMask) override;

  // Back to idle: no frame being assembled, buffer zeroed, m_bRecvOK clear, RxBuffer_
  // emptied, the watch thread resumed. Safe from any thread.
  void ResetReceive() override;
  // The head of the frame just decoded, copied under the receive lock (at most iSize bytes);
  // the frame's whole length, 0 when none is decoded.
  int CopyRecvHead(unsigned char* pDest, int iSize) override;
  // The port is closing or closed: the watch thread must not wait on the relay any more (a close
  // waits for it, and a thread terminated there would leave the relay's lock owned).
  bool Closing() override { return !IsOpen(); }
  // True when the command code of m_RecvBTF answers that of m_SendBTF.
  bool CheckCmdCode();

  // Feeds one chunk of received bytes to the frame assembly. Returns true when a frame was
  // decoded (its remaining bytes are then not used); the caller routes it with RouteFrame.
  bool AssembleChunk(const unsigned char* pData, int iLen);
  // Routes the frame just decoded into m_RecvBTF (relay, answer or drop).
  void RouteFrame();

  // ---- exchange (caller's thread)
  // Sends m_SendBTF and waits up to dwTimeOut ms for the answer. pszType: the 2-character
  // transaction type of this step (display name in the log). 0, positive refusal code,
  // -3 time-out, -5 write failed, -10 frame too large.
  int Exchange(const char* pszType, DWORD dwTimeOut);
  // Writes bytes to the terminal after resetting the receive state; the count written, 0 on
  // failure (logged, port closed). Used by the exchange and by the host relay.
  DWORD WriteToPort(const void* pData, DWORD dwLength);
  // The host relay's write of a reply: WriteToPort.
  DWORD WriteToTerminal(const void* pData, DWORD dwLength) override { return WriteToPort(pData, dwLength); }

  // ---- transaction processing (caller's thread)
  // Fills the 100-byte request content from a 106-byte request record; false for a type
  // without a display name. Touches no member.
  static bool BuildContent(const char* pRequest, unsigned char* pContent);
  // Builds m_SendBTF from a 100-byte request content; type "06" appends the print text.
  // False (m_SendBTF unchanged) when the print text cannot be read or its buffer allocated.
  bool BuildRequest(const unsigned char* pContent);
  // Reads a whole file (text mode, CR LF folded to LF) into a new zero-terminated buffer the
  // caller releases with free(); null when it cannot. *piLen: bytes read (0 on failure).
  // lMaxRead >= 0 bounds the bytes read from the file (before folding).
  static char* ReadTextFile(const char* pszPath, int* piLen, long lMaxRead = -1);
  // Writes the field-by-field display of a request record at level 5 (threshold 5 or more).
  // The record is only read.
  void ShowRequest(const char* pRequest);
  int OpenAndHandshake();
  int Handshake();
  int SendTrans(const char* pRequest);
  int ProcessTrans(const char* pRequest, char* pResponse);
  // Points the configuration at the library's directory and opens the port from [COM]
  // unless it is open already.
  bool OpenPortFromConfig();

  // The journal of the call in progress (null outside a call): told the identifier and the moment
  // the transaction request is about to be written.
  void SetJournal(TransJournal* pJournal) { m_pJournal = pJournal; }

  // One call of the register: BeginCall before its first step (state "opening", any earlier abandon
  // forgotten), EndCall after its last ("idle"). The steps between are set by the engine.
  void BeginCall();
  void EndCall();
  // Sets the call's step (a call must be running); "finishing" from the transaction's sequence.
  static void SetStep(CallStep step);
  // True when the register has abandoned the call in progress.
  static bool CallAbandoned();

  // The host relay's unit begins and ends (relay thread or watch thread).
  void OnUnitStart(const char* host, const char* port) override;
  void OnUnitEnd() override;

  // Flag readable by tests and by the exchange.
  bool IsRecvOK() const { return m_bRecvOK.load(); }

 protected:
  // The level-2 line of an abandoned exchange; -3.
  static int Abandoned(const char* pszName);

  // A critical section that lives exactly as long as its owner member.
  class RecvLock {
   public:
    RecvLock() { InitializeCriticalSection(&cs_); }
    ~RecvLock() { DeleteCriticalSection(&cs_); }
    RecvLock(const RecvLock&) = delete;
    RecvLock& operator=(const RecvLock&) = delete;
    CRITICAL_SECTION* get() { return &cs_; }

   private:
    CRITICAL_SECTION cs_;
  };

  BTFManager m_SendBTF;
  BTFManager m_RecvBTF;
  // The frame assembly (its m_iIndex and buffer), decoding into m_RecvBTF.
  FrameAssembler m_Assembler;
  std::atomic<bool> m_bRecvOK;
  // Guards m_Assembler, m_uRecvGen, m_RecvBTF and m_SendBTF's content
  // across the watch, relay and caller threads. Never held while waiting for a thread.
  // Declared before the relay so that it outlives the relay thread, which writes through
  // this object until the relay is destroyed.
  RecvLock m_csRecv;
  TcpThread m_TcpThread;

  // Counts resets, so an answer routed after a new request was written is not taken.
  unsigned m_uRecvGen;
  // Time-out of the handshake exchange (ms).
  DWORD m_dwHandshakeTimeOut;
  TransJournal* m_pJournal = nullptr;
  // The wait the next exchange is (handshake or request), and the one a relay unit returns to.
  std::atomic<CallStep> m_eWaitStep{CallStep::kWaiting};
};
