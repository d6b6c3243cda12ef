// The exchanges of a library log as replay steps: every request dump starts a step, the relay units dumped
// after it are sent again (recorded header, filler payload of the recorded length), the answer dump gives
// the answer content; a request without an answer dump was not answered in time.

#include "Replay.h"

#include <fstream>
#include <sstream>

#include "LogParse.h"
#include "log/Messages.h"
#include "protocol/Layout.h"

namespace posterm {

namespace {

using kvtools::StartsWith;

// The content of a dumped frame; empty when the dump does not hold a frame.
Bytes ContentOf(const std::vector<uint8_t>& b) {
  const kvtools::DumpedFrame f = kvtools::FrameOfDump(b);
  return f.ok ? f.content : Bytes();
}

std::string Text(const Bytes& c, size_t off, size_t width) {
  std::string s;
  for (size_t i = off; i < off + width && i < c.size() && c[i] != 0; ++i)
    s.push_back(static_cast<char>(c[i]));
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

const char kSent[] = KV_U8(KV_MSG_SENT);       // request dump
const char kAnswer[] = KV_U8(KV_MSG_ANSWER);   // answer dump
const char kToHost[] = KV_U8(KV_MSG_TO_HOST);  // a unit for the host

}  // namespace

bool LoadReplay(const std::string& path, std::vector<ReplayStep>* steps, std::string* err,
                std::string* note) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *err = "cannot read " + path;
    return false;
  }
  std::ostringstream ss;
  ss << in.rdbuf();
  const std::vector<kvtools::LogEntry> entries = kvtools::ParseLog(ss.str(), path);
  steps->clear();
  for (const kvtools::LogEntry& e : entries) {
    if (!e.dump) continue;
    const Bytes c = ContentOf(e.bytes);
    if (StartsWith(e.text, kSent) && c.size() >= 4) {
      ReplayStep s;
      s.op = Text(c, layout::kReqOperType.off, layout::kReqOperType.width);
      s.cmd = Text(c, layout::kReqTransType.off, layout::kReqTransType.width);
      steps->push_back(s);
    } else if (StartsWith(e.text, kAnswer) && !steps->empty() && !steps->back().answered && !e.truncated &&
               c.size() >= static_cast<size_t>(layout::kAnsRetCode.end())) {
      steps->back().answered = true;
      steps->back().answer = c;
    } else if (StartsWith(e.text, kToHost) && !steps->empty() && !steps->back().answered &&
               c.size() >= static_cast<size_t>(layout::kUnitHeadSize)) {
      const size_t len = static_cast<size_t>(layout::kUnitPayloadLen.off);
      RelayUnit u;
      u.host = Text(c, layout::kUnitHost.off, layout::kUnitHost.width);
      u.port = Text(c, layout::kUnitPort.off, layout::kUnitPort.width);
      u.cmd = Text(c, layout::kUnitCmdCode.off, layout::kUnitCmdCode.width);
      u.payload.assign(static_cast<size_t>(c[len]) * 256 + c[len + 1], 'F');
      steps->back().relay.push_back(u);
    }
  }
  if (steps->empty()) {
    *err = path + " holds no frames: replay needs a log written at level 4 or more (5 for relay units)";
    return false;
  }
  const int level = kvtools::LogLevelOf(entries);
  note->clear();
  if (level < 5) *note = "the log was written at level 4: relay units (level 5) are not replayed";
  return true;
}

}  // namespace posterm
