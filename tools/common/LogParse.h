// Reading the library's GBK diagnostic log into entries: one per line or hex dump, converted to UTF-8, with
// the bytes of every dump and the frame a dump holds. Shared by korvessa's log reader and posterm's replay,
// which is why it stands apart from either tool.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvtools {

// One line (or one hex dump) of a log, converted to UTF-8.
struct LogEntry {
  std::string file;  // log file it came from
  std::string time;  // "hh:mm:ss"
  std::string src;   // "file:line" (threshold 5 and up), else ""
  std::string text;  // message (continuation lines joined with '\n'), or the dump's title
  bool dump = false;
  int length = 0;              // dump: the length in its title line
  int shown = -1;              // dump: the second number of the title line, -1 when there is none
  std::vector<uint8_t> bytes;  // dump: the bytes of its table
  bool truncated = false;      // the log ends inside this entry
};

// Parses one log file's text (GBK, CR LF or LF line ends).
std::vector<LogEntry> ParseLog(const std::string& gbkText, const std::string& fileName);

// The lowest threshold that wrote these entries (2, 4, 5 or 6) and what the lower ones lack.
int LogLevelOf(const std::vector<LogEntry>& entries);
std::string LevelNote(int level);

// The frame a dump holds, as far as the dump shows it: ok when it starts with STX and its LEN is at
// least that of an ID and a two-byte content.
struct DumpedFrame {
  bool ok = false;
  std::string id;
  std::vector<uint8_t> content;
};
DumpedFrame FrameOfDump(const std::vector<uint8_t>& bytes);

// Bytes of a dump as text, each byte that is not printable ASCII as '?'; "" when off lies beyond it.
std::string FieldText(const std::vector<uint8_t>& c, size_t off, size_t width);

// The text helpers both readers use.
bool StartsWith(const std::string& s, const std::string& p);
bool EndsWith(const std::string& s, const std::string& p);
bool Has(const std::string& s, const std::string& p);
// Seconds since midnight of "hh:mm:ss"; 0 when it is not such a time.
int Seconds(const std::string& time);
// The bracket that opens every log line's fields (【), and the one that closes them (】), in UTF-8.
extern const std::string kLogOpen;
extern const std::string kLogClose;

}  // namespace kvtools
