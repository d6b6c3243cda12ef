// The simulated card terminal: owns one serial line (a new pseudo-terminal or a given device), reads the
// cash register's request frames, and answers them as its scenario says, faults included. During a
// transaction it can also reach a bank host through the register (transmit-data units "D0", answered with
// "D1"). Used by the posterm program and linked into the end-to-end tests.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Frame.h"

namespace posterm {

// One transmit-data unit that the terminal sends through the register to a bank host.
struct RelayUnit {
  std::string host;        // dotted address (leading zeros allowed) or a name; at most 40 characters
  std::string port;        // decimal text, at most 6 characters
  std::string cmd = "00";  // command code of the unit; the reply carries its second character + 1
  Bytes payload;
  int lengthDelta = 0;  // non-zero: a malformed unit whose content length differs from the header's
  bool expectReply = true;
  bool checkPayload = false;  // compare the host's bytes in the reply with expectPayload
  Bytes expectPayload;
  int timeoutMs = 5000;  // wait for the "D1" reply
};

struct RelayResult {
  bool ok = false;
  std::string error;  // what was wrong with the reply, or "no reply"
  Frame reply;        // the reply frame, when one came
};

// How the terminal answers one kind of request (the handshake, or a transaction).
struct Step {
  enum class End { kAnswer, kSilence, kHangup };
  std::string retCode = "00";
  int delayMs = 0;            // pause before the answer (or the silence, or the hang-up)
  Bytes noise;                // bytes written just before the answer
  bool badLrcFirst = false;   // a copy of the answer with a wrong LRC goes first
  bool staleIdFirst = false;  // a copy of the answer under the previous transaction's identifier goes first
  std::string cmdCode;        // override of the answer's command code ("" = request's, second character + 1)
  int chunks = 1;             // the answer is written in this many pieces ...
  int chunkGapMs = 60;        // ... with this pause between them
  int lenDelta = 0;           // non-zero: the answer's LEN field is off by this much (LRC still right)
  int cutAfter = -1;          // >= 0: only this many bytes of the answer go out, then the line is closed
  bool hangupAfter = false;   // the line is closed just after the answer
  End end = End::kAnswer;
  std::vector<RelayUnit> relay;       // sent through the register before the answer
  std::vector<RelayUnit> relayAfter;  // sent after the answer, while the register is between calls
};

// One exchange of a logged session to replay: the request it answers and what the terminal did.
struct ReplayStep {
  std::string op, cmd;           // operation type and command code of the recorded request
  std::vector<RelayUnit> relay;  // units sent before the answer
  bool answered = false;         // false: the recorded request got no answer in time
  Bytes answer;                  // recorded answer content (sent under the live identifier)
};

struct Scenario {
  Step handshake;         // answers to requests with operation type "C0"
  Step trans;             // answers to every other request
  size_t replyLen = 507;  // content length of a transaction answer (207 mapped bytes + 300 of text)
  size_t handshakeReplyLen = 100;
  // Answer content overrides: offset -> text. Named fields are in ReplyFieldOffset.
  std::map<size_t, std::string> fields;
  // Not empty: requests are answered from these steps in order (the other settings are not used); a
  // request the steps do not hold ends the replay.
  std::vector<ReplayStep> replay;
};

// Offset and width of a named answer field ("amount", "card", "date", "time", "ref", "trace", "auth",
// "merchant", "terminal", "name", "batch", "expiry", "issuer", "acquirer", "ref2", "extra", "text");
// false for an unknown name.
bool ReplyFieldOffset(const std::string& name, size_t* off, size_t* width);

// Builds the answer content for a request under a scenario (also used by tests to know what to expect).
Bytes BuildAnswer(const Scenario& s, const Step& step, const Frame& request);

class Terminal {
 public:
  Terminal();
  ~Terminal();
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  // Opens a new pseudo-terminal (raw, one slave descriptor kept open so the line survives the register's
  // close and reopen). LinePath() is the slave path.
  bool OpenPty(std::string* err);
  // Opens a serial device, raw, at the given speed.
  bool OpenDevice(const std::string& path, int baud, std::string* err);
  std::string LinePath() const;

  void SetScenario(const Scenario& s);
  Scenario GetScenario() const;
  // Appends every frame seen and sent (hex) and every event to this file (not owned; may be null).
  void SetLog(FILE* f);
  // Called with a line of text for each event worth a script's attention (requests, answers, relay results,
  // new line paths). Runs on the terminal's thread.
  void SetNotify(void (*fn)(const std::string& line, void* ctx), void* ctx);

  // Not empty: when a request's first byte arrives, the last line of the newest journal file of this
  // folder must be that request's SENT (the library writes it, on the disk, before the request). Each
  // check shows as JOURNAL OK id=<id> or JOURNAL BAD <why>. Set before Start.
  void SetJournalCheck(const std::string& dir);  // at any time
  std::string JournalDir() const;
  // What the failed checks found, one line each ("" when every check passed).
  std::string JournalCheckFailures() const;
  size_t JournalChecks() const;  // checks made

  bool Start(std::string* err);
  void Stop();

  // Everything below is safe to call from any thread while the terminal runs.
  // Every frame read from the line, in order; every frame written (good or deliberately broken). Each
  // carries its time on the monotonic clock (Frame::at); a frame being written has none yet.
  std::vector<Frame> Received() const;
  std::vector<Frame> Sent() const;
  std::vector<RelayResult> RelayResults() const;
  int Hangups() const;
  size_t TransactionAnswers() const;  // final answers to requests other than the handshake
  // Waits until at least n frames have been read (true), or timeoutMs passed (false).
  bool WaitReceived(size_t n, int timeoutMs) const;
  // Waits until at least n answers (complete final answers, any step) have been written.
  bool WaitAnswers(size_t n, int timeoutMs) const;
  bool WaitHangups(int n, int timeoutMs) const;
  void ClearRecords();
  // A replay met a request its log does not hold (the reason), or "".
  std::string ReplayEnded() const;

 private:
  void Run();
  // One request from the register, answered as the scenario (or the replay) says.
  void Handle(const Frame& req);
  // The recorded step that answers req in a replay; null when the replay ends there (said once).
  const ReplayStep* NextReplayStep(const Scenario& s, const Frame& req);
  // The bytes to write for an answer: the step's deliberate faults around the good frame (*answer, the
  // one recorded as sent), cut short where the step says.
  Bytes AnswerStream(const Step& step, const Frame& req, const Bytes& content, Bytes* answer);
  // Writes the stream in the step's pieces; false when stopping between them, *ok false when a write failed.
  bool WriteChunks(const Step& step, const Bytes& stream, bool* ok);
  // Counts a final answer, for the waiters, and tells the script.
  void CountAnswer(const std::string& op, const Bytes& content, bool ok);
  // Closes the line once the register has read the answer and its read has ended.
  void HangupAfterAnswer();
  // Sends one transmit-data unit through the register and checks its reply.
  void RunRelay(const RelayUnit& u, const std::string& id);
  // The register's "D1" within timeoutMs (true); another request read meanwhile is left for the main loop.
  bool AwaitRelayReply(int timeoutMs, Frame* reply);
  bool ReadFrame(int timeoutMs, Frame* out);  // next frame from the line (recorded), bounded wait
  bool WriteBytes(const uint8_t* p, size_t n);
  void SendFrame(const Bytes& frame, const char* what);
  // Adds a frame to Sent() before it is written (its index), and stamps it once written.
  size_t RecordSent(const Bytes& frame);
  void StampSent(size_t i);
  bool Pause(int ms);  // false when stopping
  void Hangup();
  void CloseLine();
  // Makes fd the line (slave: our own pty slave descriptor, or -1 for a device), closing the one before.
  void AdoptLine(int fd, int slave, const std::string& path);
  void Log(const char* fmt, ...);
  void Notify(const std::string& line);
  void Record(const Frame& f);
  void CheckJournal(const Frame& f);  // on the terminal's thread, for each frame read

  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  Scenario scenario_;
  const std::chrono::steady_clock::time_point epoch_ = std::chrono::steady_clock::now();
  size_t replayNext_ = 0;
  std::string replayEnd_;
  std::vector<Frame> received_;
  std::vector<Frame> sent_;
  std::vector<RelayResult> relay_;
  size_t answers_ = 0;
  size_t transAnswers_ = 0;
  int hangups_ = 0;
  std::string path_;
  FILE* log_ = nullptr;
  void (*notify_)(const std::string&, void*) = nullptr;
  void* notifyCtx_ = nullptr;

  // Line state: touched only by the terminal's thread once it runs.
  int master_ = -1;  // the descriptor we read and write
  int slave_ = -1;   // pty only: our own slave descriptor
  bool isPty_ = false;
  std::string device_;
  int baud_ = 9600;
  FrameReader reader_;
  std::vector<Frame> pending_;
  std::string journalDir_;       // guarded by mu_
  std::string journalAtStart_;   // the journal's last line when the frame being read began
  std::string journalFailures_;  // guarded by mu_
  size_t journalChecks_ = 0;     // guarded by mu_
  std::string lastId_;           // identifier of the current transaction (last request)
  std::string prevId_;           // identifier of the one before

  int wake_[2] = {-1, -1};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace posterm
