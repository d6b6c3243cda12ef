// Fuzz target: the receipt writer. An input is Config.ini text (the templates, ContentNum,
// the transaction names), a zero byte, then the terminal's reply content. The receipt's
// folder and the log threshold come first in the file, so the input cannot move them.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzEnv.h"
#include "config/Config.h"
#include "print/PrintFile.h"

namespace {

std::string g_prefix;
std::string g_receipt;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::InitScratch("");
  g_receipt = fuzz::ScratchPath("receipt/print.txt");
  g_prefix = "[TXTFILENAME]\r\nFilePath=" + fuzz::ScratchPath("receipt") +
             "\r\nFileName=print.txt\r\n[DEBUG_LOG]\r\nDebugLog=5\r\n";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::TrimLog();
  const uint8_t* nul = static_cast<const uint8_t*>(std::memchr(data, 0, size));
  const size_t iniLen = nul != nullptr ? static_cast<size_t>(nul - data) : size;
  const std::string ini = g_prefix + std::string(reinterpret_cast<const char*>(data), iniLen);
  fuzz::WriteBytes(fuzz::ScratchPath("Config.ini"), ini.data(), ini.size());
  LoadCodeTextLists();
  // The reply content in a buffer of its own length, so a read past it is caught.
  const size_t contLen = nul != nullptr ? size - iniLen - 1 : 0;
  std::vector<unsigned char> content(nul != nullptr ? nul + 1 : data, data + size);

  const int made = MakePrintFile(content.data(), static_cast<int>(contLen));
  if (made == -1) return 0;  // a type without receipt
  // The folder is always writable here: the receipt is whole exactly when ContentNum asks
  // for all twenty lines.
  FUZZ_CHECK(made == (GetContentNum() >= 19 ? 1 : 0));
  // Text mode: every line feed of the file follows a carriage return.
  const std::string receipt = [] {
    std::string s;
    FILE* f = std::fopen(g_receipt.c_str(), "rb");
    FUZZ_CHECK(f != nullptr);
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0) s.append(buf, n);
    std::fclose(f);
    return s;
  }();
  for (size_t i = 0; i < receipt.size(); ++i) {
    if (receipt[i] == '\n') FUZZ_CHECK(i > 0 && receipt[i - 1] == '\r');
  }
  return 0;
}
