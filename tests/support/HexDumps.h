// Reads the hex dumps of a log back: the title of each dump, the bytes of its hex column and
// the text of its character column, so tests can check what a dump shows byte for byte.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

namespace kvtest {

struct HexDump {
  std::string title;  // between the second pair of full-width brackets of the title line
  std::string bytes;  // rebuilt from the hex column
  std::string chars;  // the character column, without the gap blank
};

// Every dump with a table in `log` (GBK text, lines ending CR LF or LF).
inline std::vector<HexDump> ReadHexDumps(const std::string& log) {
  static const char kOpen[] = "\xA1\xBE";   // 【
  static const char kClose[] = "\xA1\xBF";  // 】
  std::vector<HexDump> dumps;
  std::string title;
  bool inTable = false;
  size_t pos = 0;
  while (pos < log.size()) {
    size_t end = log.find('\n', pos);
    if (end == std::string::npos) end = log.size();
    std::string line = log.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find("iLen=[") != std::string::npos) {
      // 【time】【title】iLen=[...]
      const size_t t = line.find(kOpen, 2);
      const size_t e = line.rfind(kClose);
      title =
          (t != std::string::npos && e != std::string::npos && e > t) ? line.substr(t + 2, e - t - 2) : "";
      inTable = false;
    } else if (line.rfind(" ====== =0=", 0) == 0) {
      dumps.push_back(HexDump{title, "", ""});
      inTable = true;
    } else if (line.rfind(" ====== ====", 0) == 0) {
      inTable = false;
    } else if (inTable && line.size() >= 60 && line[5] == 'H' && line[59] == '|') {
      // " 0000H: " then 16 cells of 3 characters with a 3-blank gap after the eighth.
      for (int j = 0; j < 16; ++j) {
        const size_t at = 8 + 3 * j + (j >= 8 ? 3 : 0);
        const std::string cell = line.substr(at, 2);
        if (cell == "  ") break;
        dumps.back().bytes += static_cast<char>(std::strtoul(cell.c_str(), nullptr, 16));
      }
      std::string chars = line.substr(60);
      if (chars.size() > 8) chars.erase(8, 1);
      dumps.back().chars += chars;
    }
  }
  return dumps;
}

}  // namespace kvtest
