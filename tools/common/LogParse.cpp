// The log reader's first step: the library's GBK log text into entries, lines and hex dumps apart.
#include "LogParse.h"

#include <algorithm>
#include <cstdlib>

#include "Gbk.h"
#include "log/Messages.h"
#include "protocol/Layout.h"

namespace kvtools {

const std::string kLogOpen = "\xE3\x80\x90";   // 【 in UTF-8
const std::string kLogClose = "\xE3\x80\x91";  // 】

namespace {

bool IsTime(const std::string& t) {
  if (t.size() != 8 || t[2] != ':' || t[5] != ':') return false;
  for (size_t i : {0, 1, 3, 4, 6, 7})
    if (t[i] < '0' || t[i] > '9') return false;
  return true;
}

// Takes "【content】" from the front of s; false when s does not start with one.
bool TakeBracket(std::string* s, std::string* content) {
  if (!StartsWith(*s, kLogOpen)) return false;
  const size_t e = s->find(kLogClose, kLogOpen.size());
  if (e == std::string::npos) return false;
  *content = s->substr(kLogOpen.size(), e - kLogOpen.size());
  s->erase(0, e + kLogClose.size());
  return true;
}

// "0X6A(106)" numbers of a dump title: the decimal ones in brackets.
std::vector<int> TitleNumbers(const std::string& s) {
  std::vector<int> n;
  for (size_t p = s.find('('); p != std::string::npos; p = s.find('(', p + 1))
    n.push_back(atoi(s.c_str() + p + 1));
  return n;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// " 0000H: 02 00 6A ...|..." -> the bytes; false when the line is not a dump row.
bool ParseRow(const std::string& line, std::vector<uint8_t>* out) {
  if (line.size() < 8 || line[0] != ' ' || line[5] != 'H' || line[6] != ':') return false;
  const size_t bar = line.find('|');
  const std::string hex = line.substr(8, bar == std::string::npos ? std::string::npos : bar - 8);
  for (size_t i = 0; i + 1 < hex.size(); ++i) {
    const int hi = HexDigit(hex[i]), lo = HexDigit(hex[i + 1]);
    if (hi < 0 || lo < 0) continue;
    out->push_back(static_cast<uint8_t>(hi * 16 + lo));
    ++i;
  }
  return true;
}

}  // namespace

bool StartsWith(const std::string& s, const std::string& p) { return s.compare(0, p.size(), p) == 0; }
bool EndsWith(const std::string& s, const std::string& p) {
  return s.size() >= p.size() && s.compare(s.size() - p.size(), p.size(), p) == 0;
}
bool Has(const std::string& s, const std::string& p) { return s.find(p) != std::string::npos; }

int Seconds(const std::string& t) {
  if (!IsTime(t)) return 0;
  return atoi(t.substr(0, 2).c_str()) * 3600 + atoi(t.substr(3, 2).c_str()) * 60 +
         atoi(t.substr(6, 2).c_str());
}

std::string FieldText(const std::vector<uint8_t>& c, size_t off, size_t width) {
  if (off >= c.size()) return "";
  std::string s;
  for (size_t i = off; i < off + width && i < c.size(); ++i) {
    const uint8_t b = c[i];
    s.push_back(b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '?');
  }
  return s;
}

DumpedFrame FrameOfDump(const std::vector<uint8_t>& b) {
  DumpedFrame f;
  if (b.size() < static_cast<size_t>(layout::kFrameHead + 4) || b[0] != 0x02) return f;
  const size_t len = static_cast<size_t>(b[1]) * 256 + b[2];
  f.ok = len >= 8;
  f.id = FieldText(b, layout::kFrameId.off, layout::kFrameId.width);
  const size_t end = std::min(b.size(), layout::kFrameId.off + len);
  if (end > layout::kFrameHead)
    f.content.assign(b.begin() + layout::kFrameHead, b.begin() + static_cast<long>(end));
  return f;
}

std::vector<LogEntry> ParseLog(const std::string& gbkText, const std::string& fileName) {
  std::vector<LogEntry> out;
  const bool cut = !gbkText.empty() && gbkText.back() != '\n';
  size_t pos = 0;
  while (pos < gbkText.size()) {
    size_t nl = gbkText.find('\n', pos);
    const bool last = nl == std::string::npos;
    std::string line = gbkText.substr(pos, last ? std::string::npos : nl - pos);
    pos = last ? gbkText.size() : nl + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    line = FromGbk(line, "UTF-8");
    LogEntry e;
    e.file = fileName;
    std::string rest = line, b1, b2;
    if (TakeBracket(&rest, &b1)) {
      if (!IsTime(b1)) {
        e.src = b1;
        if (!TakeBracket(&rest, &b1)) b1.clear();
      }
      e.time = b1;
      const size_t il = rest.find(kLogClose + "iLen=[");
      if (e.src.empty() && StartsWith(rest, kLogOpen) && il != std::string::npos) {
        e.dump = true;
        e.text = rest.substr(kLogOpen.size(), il - kLogOpen.size());
        const std::vector<int> n = TitleNumbers(rest.substr(il));
        e.length = n.empty() ? 0 : n[0];
        e.shown = n.size() > 1 ? n[1] : -1;
      } else {
        if (!rest.empty() && rest.back() == ' ') rest.pop_back();
        e.text = rest;
      }
      e.truncated = last && cut;
      out.push_back(e);
      continue;
    }
    if (out.empty()) continue;
    LogEntry& prev = out.back();
    if (prev.dump) {
      if (ParseRow(line, &prev.bytes) && last && cut) prev.truncated = true;
    } else if (!line.empty() && line != " ") {
      if (line.back() == ' ') line.pop_back();
      prev.text += "\n" + line;
      if (last && cut) prev.truncated = true;
    }
  }
  // A table cut short by the end of the log.
  if (!out.empty() && out.back().dump && !out.back().bytes.empty()) {
    const LogEntry& d = out.back();
    const size_t expect = static_cast<size_t>(d.shown > 0 ? d.shown : d.length);
    if (d.bytes.size() < expect) out.back().truncated = true;
  }
  return out;
}

int LogLevelOf(const std::vector<LogEntry>& entries) {
  int level = 2;
  for (const LogEntry& e : entries) {
    if (StartsWith(e.text, KV_MSG_SERIAL_LEN) || (e.dump && EndsWith(e.text, KV_U8(KV_MSG_DETAIL_TAIL))))
      return 6;
    if (!e.src.empty() || (e.dump && e.bytes.empty()) || (e.dump && Has(e.text, " > ")))
      level = std::max(level, 5);
    if (e.dump) level = std::max(level, 4);
  }
  return level;
}

std::string LevelNote(int level) {
  if (level >= 6) return "level 6: every step, frames, relay units and serial detail";
  if (level == 5) return "level 5: frames and relay units; serial detail needs level 6";
  if (level == 4) return "level 4: frames; relay units need level 5, serial detail level 6";
  return "level 2 or 3: errors only, an approval leaves no line; frames need level 4, relay units level 5";
}

}  // namespace kvtools
