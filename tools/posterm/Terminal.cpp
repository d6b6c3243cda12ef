// The simulated terminal: answering the library's frames on a pseudo-terminal as a scenario says, the
// relay of transmit data to a bank host, and the faults a test asks for.
#include "Terminal.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "protocol/Layout.h"

namespace posterm {

namespace {

// The last line (without its CR LF) of the newest "JournalYYYYMMDD.txt" of a folder; "" when none.
std::string LastJournalLine(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return "";
  std::string newest;
  while (const struct dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name.size() == 19 && name.compare(0, 7, "Journal") == 0 && name.compare(15, 4, ".txt") == 0 &&
        name > newest)
      newest = name;
  }
  closedir(d);
  if (newest.empty()) return "";
  FILE* f = fopen((dir + "/" + newest).c_str(), "rbe");
  if (f == nullptr) return "";
  std::string text;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
  fclose(f);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  const size_t nl = text.rfind('\n');
  return nl == std::string::npos ? text : text.substr(nl + 1);
}

struct NamedField {
  const char* name;
  size_t off;
  size_t width;
};

// Where the register finds each item of an approved answer.
#define KV_ANS(name, field) \
  { name, layout::field.off, layout::field.width }
const NamedField kFields[] = {
    KV_ANS("info", kAnsInfo),         KV_ANS("amount", kAnsAmount),     KV_ANS("batch", kAnsBatch),
    KV_ANS("merchant", kAnsMerchant), KV_ANS("terminal", kAnsTerminal), KV_ANS("name", kAnsName),
    KV_ANS("card", kAnsCardNumber),   KV_ANS("expiry", kAnsExpiry),     KV_ANS("issuer", kAnsIssuer),
    KV_ANS("acquirer", kAnsAcquirer), KV_ANS("date", kAnsDate),         KV_ANS("time", kAnsTime),
    KV_ANS("auth", kAnsAuth),         KV_ANS("ref", kAnsReference),     KV_ANS("ref2", kAnsReference2),
    KV_ANS("extra", kAnsExtra),       KV_ANS("trace", kAnsTrace),       KV_ANS("text", kAnsText),
};
#undef KV_ANS

void Put(Bytes* c, size_t off, const std::string& text, size_t width) {
  for (size_t i = 0; i < width && off + i < c->size(); ++i) {
    (*c)[off + i] = i < text.size() ? static_cast<uint8_t>(text[i]) : ' ';
  }
}

void Put(Bytes* c, layout::Span f, const std::string& text) {
  Put(c, static_cast<size_t>(f.off), text, static_cast<size_t>(f.width));
}

std::string NowText(const char* fmt) {
  time_t t = time(nullptr);
  struct tm tmv;
  localtime_r(&t, &tmv);
  char buf[32];
  strftime(buf, sizeof buf, fmt, &tmv);
  return buf;
}

speed_t BaudConstant(int baud) {
  switch (baud) {
    case 1200:
      return B1200;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    default:
      return B9600;
  }
}

bool MakeRaw(int fd, int baud) {
  struct termios t;
  if (tcgetattr(fd, &t) != 0) return false;
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  cfsetispeed(&t, BaudConstant(baud));
  cfsetospeed(&t, BaudConstant(baud));
  return tcsetattr(fd, TCSANOW, &t) == 0;
}

// A copy of an encoded frame whose last byte (LRC) is wrong, and never an STX, so that the register's
// resynchronisation does not start a frame on it.
Bytes WithBadLrc(Bytes f) {
  uint8_t bad = static_cast<uint8_t>(f.back() ^ 0xFF);
  if (bad == kStx) bad = static_cast<uint8_t>(f.back() ^ 0xFE);
  f.back() = bad;
  return f;
}

Frame Parse(const Bytes& raw) {
  FrameReader r;
  std::vector<Frame> out;
  r.Feed(raw.data(), raw.size(), &out);
  if (!out.empty()) return out.front();
  Frame f;
  f.raw = raw;
  f.error = "not a frame";
  return f;
}

}  // namespace

bool ReplyFieldOffset(const std::string& name, size_t* off, size_t* width) {
  for (const NamedField& f : kFields) {
    if (name == f.name) {
      *off = f.off;
      *width = f.width;
      return true;
    }
  }
  return false;
}

Bytes BuildAnswer(const Scenario& s, const Step& step, const Frame& req) {
  const bool hs = req.OperType() == "C0";
  size_t len = hs ? s.handshakeReplyLen : s.replyLen;
  if (len < 8) len = 8;
  Bytes c(len, ' ');
  std::string cmd = req.CmdCode();
  if (cmd.size() == 2) cmd[1] = static_cast<char>(cmd[1] + 1);
  if (!step.cmdCode.empty()) cmd = step.cmdCode;
  Put(&c, layout::kAnsOperType, req.OperType());
  Put(&c, layout::kAnsCmdCode, cmd);
  Put(&c, layout::kAnsReply4, req.Text(layout::kReqCardType.off, layout::kReqCardType.width));
  Put(&c, layout::kAnsRetCode, step.retCode);
  if (hs) return c;
  Put(&c, layout::kAnsInfo, "OPERATOR01");
  Put(&c, layout::kAnsAmount,
      req.Text(layout::kReqAmount.off, layout::kReqAmount.width));  // the amount asked for
  Put(&c, layout::kAnsBatch, "000001");
  Put(&c, layout::kAnsMerchant, "898310048990001");
  Put(&c, layout::kAnsTerminal, "10020001");
  Put(&c, layout::kAnsName, "KORVESSA TEST MERCHANT");
  Put(&c, layout::kAnsCardNumber, "6222021234567890123");
  Put(&c, layout::kAnsExpiry, "2812");
  Put(&c, layout::kAnsIssuer, "ISSUERBANK01");
  Put(&c, layout::kAnsAcquirer, "ACQBANK00001");
  Put(&c, layout::kAnsDate, NowText("%Y%m%d"));
  Put(&c, layout::kAnsTime, NowText("%H%M%S"));
  Put(&c, layout::kAnsAuth, "AUTH01");
  Put(&c, layout::kAnsReference, "R00000000001");
  Put(&c, layout::kAnsReference2, "REF200000001");
  Put(&c, layout::kAnsExtra, "000042");
  Put(&c, layout::kAnsTrace, "000123");
  Put(&c, layout::kAnsText, "THANK YOU FOR YOUR PURCHASE");
  for (const auto& kv : s.fields) {
    for (size_t i = 0; i < kv.second.size() && kv.first + i < c.size(); ++i) {
      c[kv.first + i] = static_cast<uint8_t>(kv.second[i]);
    }
  }
  return c;
}

Terminal::Terminal() {
  if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) wake_[0] = wake_[1] = -1;
}

Terminal::~Terminal() {
  Stop();
  CloseLine();
  for (int& fd : wake_) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}

bool Terminal::OpenPty(std::string* err) {
  int m = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (m < 0) {
    if (err) *err = std::string("posix_openpt: ") + strerror(errno);
    return false;
  }
  char name[128];
  if (grantpt(m) != 0 || unlockpt(m) != 0 || ptsname_r(m, name, sizeof name) != 0) {
    if (err) *err = std::string("pty set-up: ") + strerror(errno);
    close(m);
    return false;
  }
  int s = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (s < 0) {
    if (err) *err = std::string("open ") + name + ": " + strerror(errno);
    close(m);
    return false;
  }
  // Raw on both sides of the line: no echo, no line editing, CR and LF untouched.
  if (!MakeRaw(s, 9600)) {
    if (err) *err = std::string("tcsetattr: ") + strerror(errno);
    close(s);
    close(m);
    return false;
  }
  fcntl(m, F_SETFL, fcntl(m, F_GETFL) | O_NONBLOCK);
  AdoptLine(m, s, name);
  return true;
}

bool Terminal::OpenDevice(const std::string& path, int baud, std::string* err) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (err) *err = "open " + path + ": " + strerror(errno);
    return false;
  }
  if (!MakeRaw(fd, baud)) {
    if (err) *err = "tcsetattr " + path + ": " + strerror(errno);
    close(fd);
    return false;
  }
  AdoptLine(fd, -1, path);
  device_ = path;
  baud_ = baud;
  return true;
}

void Terminal::AdoptLine(int fd, int slave, const std::string& path) {
  CloseLine();
  master_ = fd;
  slave_ = slave;
  isPty_ = slave >= 0;
  reader_.Reset();
  std::lock_guard<std::mutex> lk(mu_);
  path_ = path;
}

std::string Terminal::LinePath() const {
  std::lock_guard<std::mutex> lk(mu_);
  return path_;
}

void Terminal::SetScenario(const Scenario& s) {
  std::lock_guard<std::mutex> lk(mu_);
  scenario_ = s;
  replayNext_ = 0;
  replayEnd_.clear();
}

std::string Terminal::ReplayEnded() const {
  std::lock_guard<std::mutex> lk(mu_);
  return replayEnd_;
}

Scenario Terminal::GetScenario() const {
  std::lock_guard<std::mutex> lk(mu_);
  return scenario_;
}

void Terminal::SetLog(FILE* f) {
  std::lock_guard<std::mutex> lk(mu_);
  log_ = f;
}

void Terminal::SetNotify(void (*fn)(const std::string&, void*), void* ctx) {
  std::lock_guard<std::mutex> lk(mu_);
  notify_ = fn;
  notifyCtx_ = ctx;
}

bool Terminal::Start(std::string* err) {
  if (master_ < 0) {
    if (err) *err = "no line open";
    return false;
  }
  if (wake_[0] < 0) {
    if (err) *err = "no wake-up pipe";
    return false;
  }
  if (thread_.joinable()) return true;
  stop_ = false;
  thread_ = std::thread(&Terminal::Run, this);
  return true;
}

void Terminal::Stop() {
  if (!thread_.joinable()) return;
  stop_ = true;
  if (wake_[1] >= 0) {
    const char b = 1;
    ssize_t r = write(wake_[1], &b, 1);
    (void)r;
  }
  thread_.join();
}

void Terminal::CloseLine() {
  if (master_ >= 0) close(master_);
  if (slave_ >= 0) close(slave_);
  master_ = slave_ = -1;
}

std::vector<Frame> Terminal::Received() const {
  std::lock_guard<std::mutex> lk(mu_);
  return received_;
}

std::vector<Frame> Terminal::Sent() const {
  std::lock_guard<std::mutex> lk(mu_);
  return sent_;
}

std::vector<RelayResult> Terminal::RelayResults() const {
  std::lock_guard<std::mutex> lk(mu_);
  return relay_;
}

int Terminal::Hangups() const {
  std::lock_guard<std::mutex> lk(mu_);
  return hangups_;
}

size_t Terminal::TransactionAnswers() const {
  std::lock_guard<std::mutex> lk(mu_);
  return transAnswers_;
}

bool Terminal::WaitReceived(size_t n, int timeoutMs) const {
  std::unique_lock<std::mutex> lk(mu_);
  return cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return received_.size() >= n; });
}

bool Terminal::WaitAnswers(size_t n, int timeoutMs) const {
  std::unique_lock<std::mutex> lk(mu_);
  return cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return answers_ >= n; });
}

bool Terminal::WaitHangups(int n, int timeoutMs) const {
  std::unique_lock<std::mutex> lk(mu_);
  return cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return hangups_ >= n; });
}

void Terminal::ClearRecords() {
  std::lock_guard<std::mutex> lk(mu_);
  received_.clear();
  sent_.clear();
  relay_.clear();
  answers_ = 0;
  transAnswers_ = 0;
}

void Terminal::Log(const char* fmt, ...) {
  std::lock_guard<std::mutex> lk(mu_);
  if (!log_) return;
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  struct tm tmv;
  time_t sec = tv.tv_sec;
  localtime_r(&sec, &tmv);
  // Wall time for the reader, and monotonic milliseconds since the terminal began for intervals.
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - epoch_).count();
  fprintf(log_, "%02d:%02d:%02d.%03d +%.1fms ", tmv.tm_hour, tmv.tm_min, tmv.tm_sec,
          static_cast<int>(tv.tv_usec / 1000), ms);
  va_list ap;
  va_start(ap, fmt);
  vfprintf(log_, fmt, ap);
  va_end(ap);
  fputc('\n', log_);
  fflush(log_);
}

void Terminal::Notify(const std::string& line) {
  void (*fn)(const std::string&, void*);
  void* ctx;
  {
    std::lock_guard<std::mutex> lk(mu_);
    fn = notify_;
    ctx = notifyCtx_;
  }
  if (fn) fn(line, ctx);
}

void Terminal::Record(const Frame& f) {
  if (f.valid) {
    Log("RX %s", Hex(f.raw).c_str());
  } else {
    Log("RX (bad frame: %s) %s", f.error.c_str(), Hex(f.raw).c_str());
  }
  {
    std::lock_guard<std::mutex> lk(mu_);
    received_.push_back(f);
  }
  cv_.notify_all();
}

bool Terminal::Pause(int ms) {
  if (ms <= 0) return !stop_;
  struct pollfd p = {wake_[0], POLLIN, 0};
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!stop_) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
    if (left <= 0) break;
    poll(&p, 1, static_cast<int>(left));
  }
  return !stop_;
}

bool Terminal::ReadFrame(int timeoutMs, Frame* out) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (!pending_.empty()) {
      *out = pending_.front();
      pending_.erase(pending_.begin());
      return true;
    }
    if (stop_) return false;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
    if (left <= 0) return false;
    if (master_ < 0) {
      Pause(static_cast<int>(left));
      return false;
    }
    struct pollfd p[2] = {{master_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    const int r = poll(p, 2, static_cast<int>(left));
    if (r <= 0 || (p[1].revents & POLLIN)) continue;
    if (!(p[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    uint8_t buf[4096];
    const ssize_t n = read(master_, buf, sizeof buf);
    if (n > 0) {
      const auto now = std::chrono::steady_clock::now();
      const std::string journalDir = JournalDir();
      if (!journalDir.empty() && reader_.Pending() == 0) journalAtStart_ = LastJournalLine(journalDir);
      std::vector<Frame> frames;
      reader_.Feed(buf, static_cast<size_t>(n), &frames);
      for (Frame& f : frames) {
        f.at = now;
        Record(f);
        CheckJournal(f);
        pending_.push_back(f);
      }
    } else if (n < 0 && errno == EAGAIN) {
      continue;
    } else {
      // The far side is gone (a device unplugged, or nobody holds a pty slave): do not spin.
      Log("-- line read failed: %s", n == 0 ? "end of file" : strerror(errno));
      Pause(100);
    }
  }
}

bool Terminal::WriteBytes(const uint8_t* p, size_t n) {
  size_t done = 0;
  while (done < n) {
    if (master_ < 0 || stop_) return false;
    const ssize_t w = write(master_, p + done, n - done);
    if (w > 0) {
      done += static_cast<size_t>(w);
      continue;
    }
    if (w < 0 && errno != EAGAIN && errno != EINTR) {
      Log("-- line write failed: %s", strerror(errno));
      return false;
    }
    struct pollfd fds[2] = {{master_, POLLOUT, 0}, {wake_[0], POLLIN, 0}};
    if (poll(fds, 2, 2000) <= 0 || (fds[1].revents & POLLIN)) {
      Log("-- line write stalled");
      return false;
    }
  }
  return true;
}

void Terminal::SendFrame(const Bytes& frame, const char* what) {
  Log("TX (%s) %s", what, Hex(frame).c_str());
  const size_t i = RecordSent(frame);
  WriteBytes(frame.data(), frame.size());
  StampSent(i);
}

size_t Terminal::RecordSent(const Bytes& frame) {
  std::lock_guard<std::mutex> lk(mu_);
  sent_.push_back(Parse(frame));
  return sent_.size() - 1;
}

void Terminal::StampSent(size_t i) {
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> lk(mu_);
  if (i < sent_.size()) sent_[i].at = now;
}

void Terminal::Hangup() {
  Log("-- closing the line");
  const bool pty = isPty_;
  CloseLine();
  Notify("HANGUP");
  // A new line for the register's next call: a new pseudo-terminal, or the same device again.
  std::string err;
  bool ok;
  if (pty) {
    ok = OpenPty(&err);
  } else {
    Pause(200);
    ok = OpenDevice(device_, baud_, &err);
  }
  if (ok) {
    Log("-- line reopened: %s", LinePath().c_str());
  } else {
    Log("-- cannot reopen the line: %s", err.c_str());
  }
  // Counted once the new line is there, so a waiter can use it at once.
  {
    std::lock_guard<std::mutex> lk(mu_);
    ++hangups_;
  }
  cv_.notify_all();
  Notify(ok ? "READY " + LinePath() : "ERROR " + err);
}

void Terminal::Run() {
  while (!stop_) {
    Frame f;
    if (!ReadFrame(500, &f)) continue;
    if (!f.valid) continue;
    Handle(f);
  }
}

void Terminal::SetJournalCheck(const std::string& dir) {
  std::lock_guard<std::mutex> lk(mu_);
  journalDir_ = dir;
}

std::string Terminal::JournalDir() const {
  std::lock_guard<std::mutex> lk(mu_);
  return journalDir_;
}

std::string Terminal::JournalCheckFailures() const {
  std::lock_guard<std::mutex> lk(mu_);
  return journalFailures_;
}

size_t Terminal::JournalChecks() const {
  std::lock_guard<std::mutex> lk(mu_);
  return journalChecks_;
}

void Terminal::CheckJournal(const Frame& f) {
  const std::string op = f.OperType();
  const std::string journalDir = JournalDir();
  if (journalDir.empty() || !f.valid || op == "C0" || op == "D1") return;
  // time, id, register, trace, type, amount, event
  std::vector<std::string> cols;
  for (size_t c = 0;;) {
    const size_t t = journalAtStart_.find('\t', c);
    cols.push_back(journalAtStart_.substr(c, t == std::string::npos ? std::string::npos : t - c));
    if (t == std::string::npos) break;
    c = t + 1;
  }
  std::string why;
  if (journalAtStart_.empty()) {
    why = "no journal line in " + journalDir;
  } else if (cols.size() != 7 || cols[6] != "SENT" || cols[1] != f.id) {
    why = "the last line is not the SENT of id " + f.id + ": " + journalAtStart_;
  }
  {
    std::lock_guard<std::mutex> lk(mu_);
    ++journalChecks_;
    if (!why.empty()) journalFailures_ += why + "\n";
  }
  Log("-- journal at the request's first byte: %s", why.empty() ? "SENT" : why.c_str());
  Notify(why.empty() ? "JOURNAL OK id=" + f.id : "JOURNAL BAD " + why);
}

namespace {

// Bytes [off, off + n) of a content as text, cut short where the content ends.
std::string ContentText(const Bytes& c, size_t off, size_t n) {
  if (off >= c.size()) return "";
  return std::string(reinterpret_cast<const char*>(c.data()) + off, std::min(n, c.size() - off));
}

// The content of a transmit-data unit: its 52-byte header (kept in *head, for the reply's echo) and its
// payload. A malformed unit's header gives a length lengthDelta short of what follows; where that would
// go below zero the payload is padded instead, and the header says 0.
Bytes RelayContent(const RelayUnit& u, Bytes* head) {
  head->assign(52, 0);
  Bytes& h = *head;
  h[0] = 'D';
  h[1] = '0';
  for (size_t i = 0; i < 2 && i < u.cmd.size(); ++i) h[2 + i] = static_cast<uint8_t>(u.cmd[i]);
  for (size_t i = 0; i < 40 && i < u.host.size(); ++i) h[4 + i] = static_cast<uint8_t>(u.host[i]);
  for (size_t i = 0; i < 6 && i < u.port.size(); ++i) h[44 + i] = static_cast<uint8_t>(u.port[i]);
  Bytes payload = u.payload;
  long ucLen = static_cast<long>(payload.size()) - u.lengthDelta;
  if (ucLen < 0) {
    payload.resize(payload.size() + static_cast<size_t>(-ucLen), 'X');
    ucLen = 0;
  }
  if (ucLen > 0xFFFF) ucLen = 0xFFFF;
  h[50] = static_cast<uint8_t>(ucLen >> 8);
  h[51] = static_cast<uint8_t>(ucLen & 0xFF);
  Bytes content = h;
  content.insert(content.end(), payload.begin(), payload.end());
  return content;
}

// What is wrong with the register's "D1" reply to a unit sent with this header, or "" when nothing is.
std::string CheckRelayReply(const RelayUnit& u, const Bytes& head, const Frame& reply,
                            const std::string& id) {
  Bytes want(head.begin(), head.begin() + 50);
  want[1] = static_cast<uint8_t>(want[1] + 1);
  want[3] = static_cast<uint8_t>(want[3] + 1);
  const Bytes& c = reply.content;
  if (c.size() < 52) return "reply shorter than its header";
  if (!std::equal(want.begin(), want.end(), c.begin())) return "reply header does not echo the unit's header";
  if ((static_cast<size_t>(c[50]) << 8 | c[51]) != c.size() - 52) {
    return "reply length " + std::to_string(static_cast<size_t>(c[50]) << 8 | c[51]) + " but " +
           std::to_string(c.size() - 52) + " bytes follow";
  }
  if (reply.id != id) return "reply identifier " + reply.id + ", transaction " + id;
  if (u.checkPayload &&
      !std::equal(c.begin() + 52, c.end(), u.expectPayload.begin(), u.expectPayload.end())) {
    return "host bytes differ from the expected";
  }
  return "";
}

}  // namespace

void Terminal::Handle(const Frame& req) {
  const std::string op = req.OperType();
  if (op == "D1") {
    Log("-- unexpected host reply outside a relay");
    Notify("UNEXPECTED " + op);
    return;
  }
  if (req.id != lastId_) {
    prevId_ = lastId_;
    lastId_ = req.id;
  }
  const Scenario s = GetScenario();
  Notify("REQUEST " + op + req.CmdCode() + " id=" + req.id + " len=" + std::to_string(req.content.size()));
  // A replay answers from the recorded step, without faults of its own.
  Step replayed;
  const ReplayStep* rec = nullptr;
  if (!s.replay.empty()) {
    rec = NextReplayStep(s, req);
    if (rec == nullptr) return;
    replayed.relay = rec->relay;
    if (!rec->answered) replayed.end = Step::End::kSilence;
  }
  const Step& step = rec != nullptr ? replayed : (op == "C0") ? s.handshake : s.trans;
  if (!Pause(step.delayMs)) return;
  for (const RelayUnit& u : step.relay) {
    RunRelay(u, req.id);
    if (stop_) return;
  }
  if (step.end == Step::End::kSilence) {
    Log("-- staying silent");
    Notify("SILENT");
    return;
  }
  if (step.end == Step::End::kHangup) {
    Hangup();
    return;
  }
  const Bytes content = rec != nullptr ? rec->answer : BuildAnswer(s, step, req);
  Bytes answer;
  const Bytes stream = AnswerStream(step, req, content, &answer);
  const size_t sentIndex = RecordSent(answer);
  bool ok = true;
  if (!WriteChunks(step, stream, &ok)) return;
  StampSent(sentIndex);
  CountAnswer(op, content, ok);
  if (step.cutAfter >= 0 || step.hangupAfter) {
    HangupAfterAnswer();
    return;
  }
  for (const RelayUnit& u : step.relayAfter) {
    // A pause first, so that the register reads the answer and the unit as separate chunks (a
    // chunk holding two frames delivers only the first).
    if (!Pause(300)) return;
    RunRelay(u, req.id);
  }
}

const ReplayStep* Terminal::NextReplayStep(const Scenario& s, const Frame& req) {
  const std::string op = req.OperType();
  const ReplayStep* rec = nullptr;
  std::string why;
  {
    std::lock_guard<std::mutex> lk(mu_);
    if (!replayEnd_.empty()) {
      why = replayEnd_;
    } else if (replayNext_ >= s.replay.size()) {
      why = "the log holds no step for request " + op + req.CmdCode() + " (all " +
            std::to_string(s.replay.size()) + " recorded steps played)";
    } else if (s.replay[replayNext_].op != op || s.replay[replayNext_].cmd != req.CmdCode()) {
      why = "request " + op + req.CmdCode() + " where the log has " + s.replay[replayNext_].op +
            s.replay[replayNext_].cmd + " (step " + std::to_string(replayNext_ + 1) + ")";
    } else {
      rec = &s.replay[replayNext_++];
    }
    if (rec == nullptr) replayEnd_ = why;
  }
  if (rec == nullptr) {
    Log("-- replay ends: %s", why.c_str());
    Notify("REPLAY END " + why);
  }
  return rec;
}

Bytes Terminal::AnswerStream(const Step& step, const Frame& req, const Bytes& content, Bytes* answerOut) {
  Bytes answer = EncodeFrame(req.id, content);
  if (step.lenDelta != 0 && answer.size() > 3) {
    const long len = (static_cast<long>(answer[1]) << 8 | answer[2]) + step.lenDelta;
    answer[1] = static_cast<uint8_t>((len >> 8) & 0xFF);
    answer[2] = static_cast<uint8_t>(len & 0xFF);
    answer.back() = Lrc(answer.data(), answer.size() - 1);
  }
  Bytes stream;
  if (step.badLrcFirst) {
    const Bytes bad = WithBadLrc(answer);
    Log("TX (bad LRC) %s", Hex(bad).c_str());
    stream.insert(stream.end(), bad.begin(), bad.end());
  }
  if (step.staleIdFirst) {
    // The previous transaction's identifier (or, on the first, a different one); its LRC must not be an
    // STX, or the register would take it as the start of the next frame.
    std::string stale = prevId_.size() == kIdLen && prevId_ != req.id ? prevId_ : req.id;
    Bytes f;
    for (int i = 0; i < 10; ++i) {
      if (stale == req.id) stale[5] = static_cast<char>('0' + (stale[5] - '0' + 1) % 10);
      f = EncodeFrame(stale, content);
      if (f.back() != kStx) break;
      stale[5] = static_cast<char>('0' + (stale[5] - '0' + 1) % 10);
    }
    Log("TX (stale identifier %s) %s", stale.c_str(), Hex(f).c_str());
    stream.insert(stream.end(), f.begin(), f.end());
  }
  if (!step.noise.empty()) {
    Log("TX (noise) %s", Hex(step.noise).c_str());
    stream.insert(stream.end(), step.noise.begin(), step.noise.end());
  }
  Log("TX %s", Hex(answer).c_str());
  stream.insert(stream.end(), answer.begin(), answer.end());
  if (step.cutAfter >= 0 && static_cast<size_t>(step.cutAfter) < stream.size()) {
    Log("-- cutting the answer after %d bytes", step.cutAfter);
    stream.resize(static_cast<size_t>(step.cutAfter));
  }
  *answerOut = std::move(answer);
  return stream;
}

bool Terminal::WriteChunks(const Step& step, const Bytes& stream, bool* ok) {
  const size_t chunks = step.chunks > 1 ? static_cast<size_t>(step.chunks) : 1;
  const size_t per = (stream.size() + chunks - 1) / chunks;
  for (size_t off = 0; off < stream.size() && *ok; off += per) {
    if (off > 0 && !Pause(step.chunkGapMs)) return false;
    const size_t n = std::min(per, stream.size() - off);
    *ok = WriteBytes(stream.data() + off, n);
  }
  return true;
}

void Terminal::CountAnswer(const std::string& op, const Bytes& content, bool ok) {
  {
    std::lock_guard<std::mutex> lk(mu_);
    ++answers_;
    if (op != "C0") ++transAnswers_;
  }
  cv_.notify_all();
  Notify("ANSWER " + ContentText(content, layout::kAnsCmdCode.off, layout::kAnsCmdCode.width) +
         " code=" + ContentText(content, layout::kAnsRetCode.off, layout::kAnsRetCode.width) +
         (ok ? "" : " (write failed)"));
}

void Terminal::HangupAfterAnswer() {
  // The register has read what was written, and its read has ended (100 ms without a further byte),
  // before the line goes: a closed pty drops unread bytes, and a read that meets the hang-up fails.
  // After a handshake's answer the register pauses 200 ms before its request: the line goes inside it.
  int queued = 0;
  for (int i = 0; i < 100 && slave_ >= 0 && ioctl(slave_, FIONREAD, &queued) == 0 && queued > 0; ++i)
    Pause(10);
  Pause(180);
  Hangup();
}

void Terminal::RunRelay(const RelayUnit& u, const std::string& id) {
  Bytes head;
  SendFrame(EncodeFrame(id, RelayContent(u, &head)), "transmit data");

  Frame reply;
  const bool got = AwaitRelayReply(u.timeoutMs, &reply);
  RelayResult res;
  if (!got) {
    res.ok = !u.expectReply;
    res.error = u.expectReply ? "no reply" : "";
  } else {
    res.reply = reply;
    res.error = u.expectReply ? CheckRelayReply(u, head, reply, id) : "unexpected reply";
    res.ok = res.error.empty();
  }
  Log("-- relay to %s:%s: %s", u.host.c_str(), u.port.c_str(), res.ok ? "ok" : res.error.c_str());
  const size_t hostBytes = got && reply.content.size() >= 52 ? reply.content.size() - 52 : 0;
  Notify(res.ok ? "RELAY OK " + std::to_string(hostBytes) : "RELAY FAIL " + res.error);
  {
    std::lock_guard<std::mutex> lk(mu_);
    relay_.push_back(res);
  }
  cv_.notify_all();
}

bool Terminal::AwaitRelayReply(int timeoutMs, Frame* reply) {
  while (ReadFrame(timeoutMs, reply)) {
    if (!reply->valid) continue;  // recorded as bad; keep waiting
    if (reply->OperType() == "D1") return true;
    // Something else from the register (a new request): leave it for the main loop.
    pending_.insert(pending_.begin(), *reply);
    return false;
  }
  return false;
}

}  // namespace posterm
