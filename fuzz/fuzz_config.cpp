// Fuzz target: Config.ini. Each input is the whole file: every reader runs on it, and both
// code-to-text tables are loaded from it and looked up. Results must stay inside their
// buffers and limits whatever the file holds (bytes that are not GBK, very long lines, no
// line end, no sections).
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzEnv.h"
#include "config/Config.h"
#include "platform/platform.h"

namespace {

void CheckText(const char* text, size_t limit) {
  FUZZ_CHECK(text != nullptr);
  FUZZ_CHECK(strnlen(text, limit + 1) <= limit);
}

// The first lines of a table read key by key ("%03d" from 001 until a line shorter than three
// characters, each split into code and text), and what the loaded table must answer for them:
// a lookup of a line's whole code gives the text of the first line with that code.
void CheckTableAgainstKeys(const char* section, const char* (*lookup)(const char*, int),
                           const std::string& file) {
  struct Line {
    std::string code;
    std::string text;
  };
  std::vector<Line> lines;
  for (int n = 1; n <= 10; ++n) {
    char key[8];
    std::snprintf(key, sizeof(key), "%03d", n);
    char value[255];
    if (GetPrivateProfileStringA(section, key, "", value, sizeof(value), file.c_str()) < 3) break;
    char code[10] = {0};
    char text[100] = {0};
    std::sscanf(value, "%9s %99[^\n]", code, text);
    lines.push_back({code, text});
  }
  for (const Line& line : lines) {
    const Line* first = &line;
    for (const Line& l : lines) {
      if (l.code == line.code) {
        first = &l;
        break;
      }
    }
    const char* got = lookup(line.code.c_str(), static_cast<int>(line.code.size()) + 1);
    FUZZ_CHECK(std::strcmp(got, first->text.c_str()) == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::InitScratch("");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string file = fuzz::ScratchPath("Config.ini");
  fuzz::WriteBytes(file, data, size);

  ComConfig com;
  ReadComConfig(&com);
  FUZZ_CHECK(GetDebugLogLevel() >= 0);
  GetContentNum();
  GetConnTimeOut();
  GetTradeTimeOut();

  // Template lines into the receipt's buffer, and one of them into small odd sizes.
  for (int line = 0; line <= 21; ++line) {
    std::vector<char> buf(256, 'x');
    ReadContentLine(buf.data(), 256, line);
    CheckText(buf.data(), 255);
  }
  for (int bufSize : {1, 2, 7}) {
    std::vector<char> buf(static_cast<size_t>(bufSize), 'x');
    ReadContentLine(buf.data(), bufSize, static_cast<int>(size % 21));
    CheckText(buf.data(), static_cast<size_t>(bufSize) - 1);
  }
  // The receipt path's two values, read as GetPrintFileName reads them (which would also
  // create the folder the file names: not from fuzz input).
  char value[260];
  const DWORD n =
      GetPrivateProfileStringA("TXTFILENAME", "FilePath", ".\\", value, sizeof(value), file.c_str());
  FUZZ_CHECK(n < sizeof(value) && std::strlen(value) == n);
  GetPrivateProfileStringA("TXTFILENAME", "FileName", "print.txt", value, sizeof(value), file.c_str());
  CheckText(value, sizeof(value) - 1);

  // A table's section whole, into buffers from the smallest to one that holds any input: the
  // entries and their terminators stay inside, and two terminators end what was copied.
  for (DWORD sectionSize : {1u, 2u, 3u, 17u, 255u, 65536u}) {
    std::vector<char> buf(sectionSize, 'x');
    const DWORD got = GetPrivateProfileSectionA("TRANSNAMEDSP", buf.data(), sectionSize, file.c_str());
    FUZZ_CHECK(got == 0 || got + 2 <= sectionSize);
    // Whole: the last entry's terminator, then one more. Cut: two terminators end the buffer.
    const bool cut = got + 2 == sectionSize && buf[got + 1] == '\0';
    FUZZ_CHECK(buf[got] == '\0' && (got == 0 || buf[got - 1] == '\0' || cut));
  }
  LoadCodeTextLists();
  CheckTableAgainstKeys("TRANSNAMEDSP", GetTransName, file);
  CheckTableAgainstKeys("REEOR_INFORMITION", GetRejCodeExplain, file);
  // Every caller compares two characters.
  char codes[][3] = {"00", "30", "05", "0", "", "  "};
  std::memcpy(codes[5], data, size < 2 ? size : 2);
  for (const char* code : codes) {
    CheckText(GetTransName(code, 2), 99);
    CheckText(GetRejCodeExplain(code, 2), 99);
  }
  return 0;
}
