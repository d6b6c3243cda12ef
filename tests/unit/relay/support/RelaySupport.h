// Test support for the host relay: a recording terminal in place of the transaction engine,
// transmit data units, and a private log folder whose lines the tests read back.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "protocol/BTFManager.h"
#include "relay/TerminalLink.h"

typedef std::vector<unsigned char> Bytes;

// Stands for the terminal side: records every write to the terminal and every reset of the
// receive state, and hands out the frame "just assembled" for the relay's log.
class RecordingTerminal : public TerminalLink {
 public:
  // Frame bytes CopyRecvHead gives (the unit as it came off the serial line).
  void SetReceived(const Bytes& frame);
  // Value WriteToPort returns; negative (default) means "everything was written".
  void SetWriteResult(long result);
  // Called (on the writing thread) after every write is recorded.
  void SetOnWrite(std::function<void()> fn);

  DWORD WriteToTerminal(const void* data, DWORD length) override;
  int CopyRecvHead(unsigned char* dest, int size) override;
  void ResetReceive() override;
  // Closing() answers this (the terminal side's port closing).
  void SetClosing(bool closing) { closing_ = closing; }
  bool Closing() override { return closing_.load(); }

  // Waits until `count` writes were made (bounded). True when they were.
  bool WaitWrites(size_t count, int timeoutMs);
  std::vector<Bytes> Writes();
  int Resets();

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  Bytes received_;
  static constexpr size_t kAssemblyMax = 4096;
  long writeResult_ = -1;
  std::function<void()> onWrite_;
  std::vector<Bytes> writes_;
  int resets_ = 0;
  std::atomic<bool> closing_{false};
};

// Content of a transmit data unit: "D0", the command code, the host padded with NULs to 40
// bytes, the port padded to 6, the payload length (high byte first) and the payload.
// `lengthDelta` is added to the length field only, to make a malformed unit.
Bytes MakeUnit(const std::string& host, const std::string& port, const Bytes& payload, const char* cmd = "00",
               int lengthDelta = 0);
Bytes ToBytes(const std::string& text);

// Loads `content` into `frame` as a frame with the current identifier, and returns the frame
// as it would have come off the line.
Bytes LoadFrame(BTFManager* frame, const Bytes& content);

// The frame the relay must write for a host block: STX, LEN, ID, reply header, block, ETX, LRC,
// built here byte by byte from the unit's content.
Bytes ExpectedReplyFrame(const Bytes& unitContent, const Bytes& hostBlock, const char* transId);

// A private folder for the log and Config.ini (DebugLog 6) for the whole test process.
class LogSandbox {
 public:
  static void Init();
  // Everything logged so far (all files of the log folder), as stored (GBK, CR LF).
  static std::string ReadAll();
  // Waits (bounded) until the log holds `text` `times` times. True when it does.
  static bool WaitFor(const std::string& text, int timeoutMs, int times = 1);
  static int Count(const std::string& text);
  // Count of `text` in the log written since `mark` (a length returned by Mark()).
  static size_t Mark();
  static std::string Since(size_t mark);
  static const std::string& Dir();
  // Rewrites Config.ini with [TCP] ConnTimeOut set to `value` (the text as it stands).
  static void SetConnTimeOutSetting(const std::string& value);
  // Rewrites Config.ini with [DEBUG_LOG] DebugLog and [TCP] ConnTimeOut as given.
  static void SetSettings(const std::string& debugLog, const std::string& connTimeOut);
};

int CountOf(const std::string& haystack, const std::string& needle);
