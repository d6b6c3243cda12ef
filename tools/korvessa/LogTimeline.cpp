// The log reader's second step: entries put together into transactions. Log lines carry no transaction
// identifier, so transactions are told apart by the sequence of steps: a request record, a handshake, or a
// failure that ends a call.
#include "LogTimeline.h"

#include <algorithm>

#include "KorvessaDLL.h"
#include "Records.h"
#include "log/Messages.h"
#include "protocol/Layout.h"

namespace korvessa {

using kvtools::LogEntry;

namespace {

using kvtools::DumpedFrame;
using kvtools::EndsWith;
using kvtools::FieldText;
using kvtools::FrameOfDump;
using kvtools::Has;
using kvtools::kLogOpen;
using kvtools::Seconds;
using kvtools::StartsWith;

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\0')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\0')) --e;
  return s.substr(b, e - b);
}

std::string Field(const std::vector<uint8_t>& c, layout::Span f) {
  return FieldText(c, static_cast<size_t>(f.off), static_cast<size_t>(f.width));
}

// A text field that ends at its first NUL (the relay header's host and port).
std::string CText(const std::vector<uint8_t>& c, layout::Span field) {
  const size_t off = static_cast<size_t>(field.off);
  const std::string f = FieldText(c, off, static_cast<size_t>(field.width));
  size_t n = 0;
  while (n < f.size() && off + n < c.size() && c[off + n] != 0) ++n;
  return Trim(f.substr(0, n));
}

// The payload length a transmit data header gives; 0 when the dump does not hold the whole header.
int PayloadLength(const std::vector<uint8_t>& c) {
  if (c.size() < static_cast<size_t>(layout::kUnitHeadSize)) return 0;
  const size_t at = static_cast<size_t>(layout::kUnitPayloadLen.off);
  return c[at] * 256 + c[at + 1];
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

// Card field for display, masked.
std::string CardText(const std::vector<uint8_t>& c, size_t off) {
  const std::string card = Trim(FieldText(c, off, static_cast<size_t>(layout::kReqCardNumber.width)));
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
    const DumpedFrame f = FrameOfDump(e.bytes);
    const std::string op = Field(f.content, layout::kReqOperType),
                      cmd = Field(f.content, layout::kReqTransType);
    if (t == KV_U8(KV_MSG_REQUEST_RECORD)) {  // a call begins
      Start(e.time);
      hadRecord = true;
      Step(e, "request record",
           "type " + FieldText(e.bytes, KV_REQ_transType, KV_REQ_transType_LEN) + ", amount " +
               Units(FieldText(e.bytes, KV_REQ_amount, KV_REQ_amount_LEN)) +
               CardText(e.bytes, KV_REQ_cardNumber),
           false);
    } else if (StartsWith(t, KV_U8(KV_MSG_SENT)) && f.ok) {
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
    } else if (StartsWith(t, KV_U8(KV_MSG_ANSWER)) && f.ok) {
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
    } else if (Has(t, KV_U8(KV_MSG_TO_HOST))) {  // a unit for the host
      hostStart = Seconds(e.time);
      relayed = true;
      Step(e, "relay unit",
           "to " + CText(f.content, layout::kUnitHost) + ":" + CText(f.content, layout::kUnitPort) +
               ", command " + cmd + ", payload " + std::to_string(PayloadLength(f.content)) + " bytes",
           false);
    } else if (Has(t, KV_U8(KV_MSG_FROM_HOST))) {  // the host's reply
      if (hostStart >= 0) hostTotal += (Seconds(e.time) - hostStart + 86400) % 86400;
      hostStart = -1;
      Step(e, "relay reply",
           "operation " + op + ", command " + cmd + ", payload " + std::to_string(PayloadLength(f.content)) +
               " bytes",
           false);
    } else if (Has(t, KV_U8(KV_MSG_RECEIVED_CHUNK))) {
      Step(e, "received", std::to_string(e.length) + " bytes", false);
    } else if (EndsWith(t,
                        KV_U8(KV_MSG_DETAIL_TAIL))) {  // serial detail
    } else {
      Step(e, "data", t + ", " + std::to_string(e.length) + " bytes", false);
    }
    return;
  }
  if (StartsWith(t, KV_MSG_SERIAL_LEN)) return;  // serial detail
  if (StartsWith(t, kLogOpen)) {  // 【输入参数数据显示】: holds the card number, not repeated
    Step(e, "request display", "(the record field by field)", false);
    return;
  }
  static const char* const kProgress[] = {KV_MSG_DESTINATION, KV_MSG_SENT_TO_HOST, KV_MSG_RECEIVED_FROM_HOST,
                                          KV_MSG_RELAY_EXIT, KV_MSG_RELAY_THREAD_EXIT};
  bool progress = false;
  for (const char* p : kProgress) progress = progress || StartsWith(t, p);
  // Failures that end a call: after an ended call they begin the next one (a level-2 log has nothing else).
  const bool openFail = StartsWith(t, KV_U8(KV_MSG_OPEN_COM));
  const bool timeOut = Has(t, KV_U8(KV_MSG_TIMED_OUT));
  const bool badType = Has(t, KV_U8(KV_MSG_BAD_TYPE));
  const bool writeFail = Has(t, KV_U8(KV_MSG_WRITE_FAILED));
  // 被收银机放弃: the register stopped waiting (PutValue "abandon"); it ends the call as a time-out does.
  const bool abandoned = Has(t, KV_U8(KV_MSG_ABANDONED));
  // The relay's audit line ends every unit; only a unit that was not replied is an error.
  const bool audit = StartsWith(t, KV_U8(KV_MSG_RELAY_AUDIT));
  const bool replied = audit && EndsWith(t, KV_U8(KV_MSG_AUDIT_RESULT) KV_U8(KV_MSG_REPLIED));
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

}  // namespace

std::string MaskCard(const std::string& digits) {
  std::string m = digits;
  const size_t n = m.size();
  const size_t head = n > 10 ? 6 : 0, tail = n > 4 ? 4 : 0;
  for (size_t i = head; i + tail < n; ++i) m[i] = '*';
  return m;
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

}  // namespace korvessa
