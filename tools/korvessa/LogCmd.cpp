// "korvessa log": the library's log as a timeline per transaction. Log lines carry no transaction
// identifier, so transactions are told apart by the sequence of steps: a request record, a handshake,
// or a failure that ends a call.

#include "LogCmd.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "KorvessaDLL.h"
#include "Records.h"
#include "protocol/Layout.h"

namespace korvessa {

namespace {

const std::string kOpen = "\xE3\x80\x90";   // 【 in UTF-8
const std::string kClose = "\xE3\x80\x91";  // 】

bool StartsWith(const std::string& s, const std::string& p) { return s.compare(0, p.size(), p) == 0; }
bool EndsWith(const std::string& s, const std::string& p) {
  return s.size() >= p.size() && s.compare(s.size() - p.size(), p.size(), p) == 0;
}
bool Has(const std::string& s, const std::string& p) { return s.find(p) != std::string::npos; }

bool IsTime(const std::string& t) {
  if (t.size() != 8 || t[2] != ':' || t[5] != ':') return false;
  for (size_t i : {0, 1, 3, 4, 6, 7})
    if (t[i] < '0' || t[i] > '9') return false;
  return true;
}

int Seconds(const std::string& t) {
  if (!IsTime(t)) return 0;
  return atoi(t.substr(0, 2).c_str()) * 3600 + atoi(t.substr(3, 2).c_str()) * 60 +
         atoi(t.substr(6, 2).c_str());
}

// Takes "【content】" from the front of s; false when s does not start with one.
bool TakeBracket(std::string* s, std::string* content) {
  if (!StartsWith(*s, kOpen)) return false;
  const size_t e = s->find(kClose, kOpen.size());
  if (e == std::string::npos) return false;
  *content = s->substr(kOpen.size(), e - kOpen.size());
  s->erase(0, e + kClose.size());
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

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\0')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\0')) --e;
  return s.substr(b, e - b);
}

std::string Field(const std::vector<uint8_t>& c, size_t off, size_t width) {
  if (off >= c.size()) return "";
  std::string s;
  for (size_t i = off; i < off + width && i < c.size(); ++i) {
    const uint8_t b = c[i];
    s.push_back(b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '?');
  }
  return s;
}

std::string Field(const std::vector<uint8_t>& c, layout::Span f) {
  return Field(c, static_cast<size_t>(f.off), static_cast<size_t>(f.width));
}

// A text field that ends at its first NUL (the relay header's host and port).
std::string CText(const std::vector<uint8_t>& c, size_t off, size_t width) {
  const std::string f = Field(c, off, width);
  size_t n = 0;
  while (n < f.size() && off + n < c.size() && c[off + n] != 0) ++n;
  return Trim(f.substr(0, n));
}

std::string Units(const std::string& digits12) {
  const std::string d = Trim(digits12);
  if (d.empty() || d.find_first_not_of("0123456789") != std::string::npos) return d;
  std::string whole = d.size() > 2 ? d.substr(0, d.size() - 2) : "0";
  const size_t nz = whole.find_first_not_of('0');
  whole = nz == std::string::npos ? "0" : whole.substr(nz);
  const std::string cents = d.size() >= 2 ? d.substr(d.size() - 2) : "0" + d;
  return whole + "." + cents;
}

// The content of a dumped frame (what the dump holds of it).
struct DumpedFrame {
  bool ok = false;
  std::string id;
  std::vector<uint8_t> content;
};

DumpedFrame Frame(const std::vector<uint8_t>& b) {
  DumpedFrame f;
  if (b.size() < static_cast<size_t>(layout::kFrameHead + 4) || b[0] != 0x02) return f;
  const size_t len = static_cast<size_t>(b[1]) * 256 + b[2];
  f.ok = len >= 8;
  f.id = Field(b, layout::kFrameId);
  const size_t end = std::min(b.size(), layout::kFrameId.off + len);
  if (end > layout::kFrameHead)
    f.content.assign(b.begin() + layout::kFrameHead, b.begin() + static_cast<long>(end));
  return f;
}

// Card field for display, masked.
std::string CardText(const std::vector<uint8_t>& c, size_t off) {
  const std::string card = Trim(Field(c, off, layout::kReqCardNumber.width));
  return card.empty() ? "" : ", card " + MaskCard(card);
}

struct Builder {
  std::string ini;
  std::vector<LogTransaction> all;
  LogTransaction* cur = nullptr;
  int t0 = 0;
  bool ended = false, handshake = false, requestSent = false, hadRecord = false, relayed = false;
  int sentAt = -1, hostStart = -1, hostTotal = 0;

  void Start(const std::string& time) {
    all.emplace_back();
    cur = &all.back();
    cur->start = time;
    t0 = Seconds(time);
    ended = handshake = requestSent = hadRecord = relayed = false;
    sentAt = hostStart = -1;
    hostTotal = 0;
  }
  void Step(const LogEntry& e, const std::string& kind, const std::string& text, bool error) {
    if (cur == nullptr) Start(e.time);
    LogStep s;
    s.time = e.time;
    s.offset = (Seconds(e.time) - t0 + 86400) % 86400;
    s.kind = kind;
    s.text = text;
    s.error = error;
    if (error) ++cur->errors;
    if (e.truncated) {
      s.text += " [the log ends inside this entry]";
      cur->truncated = true;
    }
    cur->end = e.time;
    cur->steps.push_back(s);
  }
  void End(const std::string& result) {
    if (cur == nullptr) return;
    cur->result = result;
    ended = true;
  }
  std::string Explain(const std::string& code) {
    if (ini.empty()) return "";
    bool found = false;
    const std::string text = RejCodeExplain(ini, code, &found);
    return found ? " (" + FromGbk(text, "UTF-8") + ")" : "";
  }
  void Add(const LogEntry& e);
};

void Builder::Add(const LogEntry& e) {
  const std::string& t = e.text;
  if (e.dump) {
    const DumpedFrame f = Frame(e.bytes);
    const std::string op = Field(f.content, layout::kReqOperType),
                      cmd = Field(f.content, layout::kReqTransType);
    if (t == "\xE4\xBC\xA0\xE5\x85\xA5\xE5\x8F\x82\xE6\x95\xB0") {  // 传入参数: a call begins
      Start(e.time);
      hadRecord = true;
      Step(e, "request record",
           "type " + Field(e.bytes, KV_REQ_transType, KV_REQ_transType_LEN) + ", amount " +
               Units(Field(e.bytes, KV_REQ_amount, KV_REQ_amount_LEN)) + CardText(e.bytes, KV_REQ_cardNumber),
           false);
    } else if (StartsWith(t, "\xE5\x8F\x91\xE9\x80\x81") && f.ok) {  // 发送...请求包数据
      if (op == "C0") {
        if (cur == nullptr || ended || handshake || !hadRecord) Start(e.time);
        handshake = true;
        Step(e, "handshake sent", "id " + f.id + ", operation C0, command " + cmd, false);
      } else {
        requestSent = true;
        sentAt = Seconds(e.time);
        Step(e, "request sent",
             "id " + f.id + ", operation " + op + ", command " + cmd + ", amount " +
                 Units(Field(f.content, layout::kReqAmount)) +
                 CardText(f.content, layout::kReqCardNumber.off),
             false);
      }
    } else if (StartsWith(t, "\xE8\x8E\xB7\xE5\x8F\x96") && f.ok) {  // 获取...应答包数据
      const std::string ret = Field(f.content, layout::kAnsRetCode);
      if (!requestSent) {
        Step(e, "handshake answer", "command " + cmd + ", return code " + ret + Explain(ret), ret != "00");
        if (ret != "00") End("refused the handshake, return code " + ret + " (nothing sent)");
      } else {
        Step(e, "answer",
             "operation " + op + ", command " + cmd + ", return code " + ret + Explain(ret) + ", amount " +
                 Units(Field(f.content, layout::kAnsAmount)) +
                 CardText(f.content, layout::kAnsCardNumber.off),
             false);
        if (sentAt >= 0)
          cur->terminalWait = std::max(0, (Seconds(e.time) - sentAt + 86400) % 86400 - hostTotal);
        if (relayed) cur->hostWait = hostTotal;
        End(ret == "00" ? "0 approved" : "refused, return code " + ret + Explain(ret));
      }
    } else if (Has(t, "\xE4\xB8\xB2\xE5\x8F\xA3 > ")) {  // 串口 > 后台 数据头: a unit for the host
      hostStart = Seconds(e.time);
      relayed = true;
      Step(e, "relay unit",
           "to " + CText(f.content, 4, 40) + ":" + CText(f.content, 44, 6) + ", command " + cmd +
               ", payload " +
               std::to_string(f.content.size() >= 52 ? f.content[50] * 256 + f.content[51] : 0) + " bytes",
           false);
    } else if (Has(t, " > \xE4\xB8\xB2\xE5\x8F\xA3")) {  // 后台 > 串口 数据头: the host's reply
      if (hostStart >= 0) hostTotal += (Seconds(e.time) - hostStart + 86400) % 86400;
      hostStart = -1;
      Step(e, "relay reply",
           "operation " + op + ", command " + cmd + ", payload " +
               std::to_string(f.content.size() >= 52 ? f.content[50] * 256 + f.content[51] : 0) + " bytes",
           false);
    } else if (Has(t, "\xE4\xB8\x80\xE6\xAC\xA1\xE5\xAE\x8C\xE6\x95\xB4")) {  // 一次完整的接收数据
      Step(e, "received", std::to_string(e.length) + " bytes", false);
    } else if (EndsWith(t,
                        "\xE5\xA6\x82\xE4\xB8\x8B\xEF\xBC\x9A")) {  // 接收到的数据内容如下：(serial detail)
    } else {
      Step(e, "data", t + ", " + std::to_string(e.length) + " bytes", false);
    }
    return;
  }
  if (StartsWith(t, "Len = ")) return;  // serial detail
  if (StartsWith(t, kOpen)) {           // 【输入参数数据显示】: holds the card number, not repeated
    Step(e, "request display", "(the record field by field)", false);
    return;
  }
  static const char* const kProgress[] = {"Destination IP: ", "send Data success!", "recv Data success!",
                                          "TCP Thread exit successfully.", "TcpThreadEntryPoint() Exit."};
  bool progress = false;
  for (const char* p : kProgress) progress = progress || StartsWith(t, p);
  // Failures that end a call: after an ended call they begin the next one (a level-2 log has nothing else).
  const bool openFail = StartsWith(t, "\xE6\x89\x93\xE5\xBC\x80 COM");              // 打开 COM
  const bool timeOut = Has(t, "\xE6\x97\xB6\xE9\x97\xB4\xE8\xB6\x85\xE6\x97\xB6");  // 时间超时
  const bool badType = Has(t, "\xE4\xBA\xA4\xE6\x98\x93\xE7\xB1\xBB\xE5\x9E\x8B\xE4\xB8\x8D");  // 交易类型不
  const bool writeFail =
      Has(t, "\xE5\x86\x99\xE5\x85\xA5\xE6\x95\xB0\xE6\x8D\xAE\xE5\xBC\x82");  // 写入数据异
  // 被收银机放弃: the register stopped waiting (PutValue "abandon"); it ends the call as a time-out does.
  const bool abandoned = Has(t, "\xE8\xA2\xAB\xE6\x94\xB6\xE9\x93\xB6\xE6\x9C\xBA\xE6\x94\xBE\xE5\xBC\x83");
  // The relay's audit line ends every unit; only a unit that was not replied is an error.
  const bool audit =
      StartsWith(t, "\xE4\xB8\xBB\xE6\x9C\xBA\xE8\xBD\xAC\xE5\x8F\x91\xEF\xBC\x9A");  // 主机转发：
  const bool replied =
      audit && EndsWith(t, "\xE7\xBB\x93\xE6\x9E\x9C=\xE5\xB7\xB2\xE5\xBA\x94\xE7\xAD\x94");  // 结果=已应答
  if ((openFail || timeOut || badType || abandoned) && (cur == nullptr || ended)) Start(e.time);
  Step(e,
       openFail    ? "open"
       : timeOut   ? "time-out"
       : abandoned ? "abandoned"
       : audit     ? "relay audit"
                   : "message",
       t, !progress && !replied);
  if (abandoned) {
    if (!handshake) {
      End("-3 abandoned by the register (the log's level does not show whether the request went out)");
    } else {
      End(requestSent ? "-3 abandoned by the register after the request went out: UNCERTAIN, the terminal "
                        "may have charged the card"
                      : "-3 abandoned by the register before the request went out (nothing sent)");
    }
    if (relayed) cur->hostWait = hostTotal;
  }
  if (openFail) End("-1 the serial port could not be opened (nothing sent)");
  if (badType) End("-2 undefined transaction type (nothing sent)");
  if (writeFail && !ended) End("-5 a write to the terminal failed");
  if (timeOut) {
    if (!handshake) {
      End("-3 no answer in time (the log's level does not show whether the request went out)");
    } else {
      End(requestSent
              ? "-3 no answer to the request in time: UNCERTAIN, the terminal may have charged the card"
              : "-3 no answer to the handshake in time (nothing sent)");
    }
    if (relayed) cur->hostWait = hostTotal;
  }
}

const char kUsage[] =
    "usage: korvessa log [--json] [--config Config.ini] FILE...\n"
    "  FILE             the library's logs (Log/ErrorLogYYYYMMDD.log, GBK), read in the order given\n"
    "  --config FILE    explain return codes with this Config.ini's REEOR_INFORMITION\n"
    "  --json           one JSON object per transaction\n";

}  // namespace

std::string MaskCard(const std::string& digits) {
  std::string m = digits;
  const size_t n = m.size();
  const size_t head = n > 10 ? 6 : 0, tail = n > 4 ? 4 : 0;
  for (size_t i = head; i + tail < n; ++i) m[i] = '*';
  return m;
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
      const size_t il = rest.find(kClose + "iLen=[");
      if (e.src.empty() && StartsWith(rest, kOpen) && il != std::string::npos) {
        e.dump = true;
        e.text = rest.substr(kOpen.size(), il - kOpen.size());
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

std::vector<LogTransaction> BuildTimeline(const std::vector<LogEntry>& entries,
                                          const std::string& explainIni) {
  Builder b;
  b.ini = explainIni;
  for (const LogEntry& e : entries) b.Add(e);
  for (LogTransaction& t : b.all)
    if (t.result.empty()) t.result = "unknown (the log does not show the end of this call)";
  return b.all;
}

int LogLevelOf(const std::vector<LogEntry>& entries) {
  int level = 2;
  for (const LogEntry& e : entries) {
    if (StartsWith(e.text, "Len = ") || (e.dump && EndsWith(e.text, "\xE5\xA6\x82\xE4\xB8\x8B\xEF\xBC\x9A")))
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

int LogCommand(const std::vector<std::string>& args, FILE* out, FILE* err) {
  bool json = false;
  std::string ini;
  std::vector<std::string> files;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      fputs(kUsage, out);
      return 0;
    } else if (a == "--json") {
      json = true;
    } else if (a == "--config" && i + 1 < args.size()) {
      ini = args[++i];
    } else if (!a.empty() && a[0] == '-') {
      fprintf(err, "korvessa log: %s\n%s",
              a == "--config" ? "--config needs a value" : ("unknown option " + a).c_str(), kUsage);
      return 3;
    } else {
      files.push_back(a);
    }
  }
  if (files.empty()) {
    fprintf(err, "korvessa log: no log file given\n%s", kUsage);
    return 3;
  }
  std::vector<LogEntry> entries;
  for (const std::string& f : files) {
    std::ifstream in(f, std::ios::binary);
    if (!in) {
      fprintf(err, "korvessa log: cannot read %s\n", f.c_str());
      return 3;
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    const std::vector<LogEntry> e = ParseLog(ss.str(), f);
    entries.insert(entries.end(), e.begin(), e.end());
  }
  const int level = LogLevelOf(entries);
  const std::vector<LogTransaction> all = BuildTimeline(entries, ini);
  if (!json) fprintf(out, "Log written at %s.\n", LevelNote(level).c_str());
  for (size_t n = 0; n < all.size(); ++n) {
    const LogTransaction& t = all[n];
    if (json) {
      std::string o = "{\"transaction\":" + std::to_string(n + 1) + ",\"start\":";
      JsonString(&o, t.start);
      o += ",\"end\":";
      JsonString(&o, t.end);
      o += ",\"result\":";
      JsonString(&o, t.result);
      o += ",\"terminalWaitSeconds\":" +
           (t.terminalWait < 0 ? std::string("null") : std::to_string(t.terminalWait));
      o += ",\"hostWaitSeconds\":" + (t.hostWait < 0 ? std::string("null") : std::to_string(t.hostWait));
      o += ",\"errors\":" + std::to_string(t.errors) + ",\"truncated\":" + (t.truncated ? "true" : "false");
      o += ",\"logLevel\":" + std::to_string(level) + ",\"note\":";
      JsonString(&o, LevelNote(level));
      o += ",\"steps\":[";
      for (size_t k = 0; k < t.steps.size(); ++k) {
        const LogStep& s = t.steps[k];
        o += k ? ",{\"time\":" : "{\"time\":";
        JsonString(&o, s.time);
        o += ",\"offsetSeconds\":" + std::to_string(s.offset) + ",\"step\":";
        JsonString(&o, s.kind);
        o += ",\"text\":";
        JsonString(&o, s.text);
        o += std::string(",\"error\":") + (s.error ? "true" : "false") + "}";
      }
      o += "]}\n";
      fputs(o.c_str(), out);
      continue;
    }
    fprintf(out, "\nTransaction %zu  %s - %s\n", n + 1, t.start.c_str(), t.end.c_str());
    for (const LogStep& s : t.steps) {
      fprintf(out, "%s %s  +%ds  %-16s %s\n", s.error ? "!!" : "  ", s.time.c_str(), s.offset, s.kind.c_str(),
              s.text.c_str());
    }
    fprintf(out, "   result: %s\n", t.result.c_str());
    if (t.terminalWait >= 0) fprintf(out, "   waited for the terminal: %ds\n", t.terminalWait);
    if (t.hostWait >= 0) fprintf(out, "   waited for the bank host: %ds\n", t.hostWait);
    if (t.errors) fprintf(out, "   error lines: %d\n", t.errors);
  }
  if (!json && all.empty()) fprintf(out, "No transaction in this log.\n");
  return 0;
}

}  // namespace korvessa
