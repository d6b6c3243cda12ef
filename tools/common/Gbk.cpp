// GBK text to the screen's encoding: code page 936 through Windows' own conversion, iconv elsewhere.
#include "Gbk.h"

#include <cctype>
#include <cerrno>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <iconv.h>
#endif

namespace kvtools {

bool SameNameNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

std::string FromGbk(const std::string& gbk, const std::string& encoding) {
  if (encoding.empty() || SameNameNoCase(encoding, "GBK") || SameNameNoCase(encoding, "CP936")) return gbk;
#ifdef _WIN32
  if (gbk.empty()) return gbk;
  const int wn = MultiByteToWideChar(936, 0, gbk.data(), static_cast<int>(gbk.size()), nullptr, 0);
  if (wn <= 0) return gbk;
  std::wstring w(static_cast<size_t>(wn), L'\0');
  MultiByteToWideChar(936, 0, gbk.data(), static_cast<int>(gbk.size()), &w[0], wn);
  const UINT cp = SameNameNoCase(encoding, "UTF-8") ? CP_UTF8 : CP_ACP;
  const int n = WideCharToMultiByte(cp, 0, w.data(), wn, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return gbk;
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(cp, 0, w.data(), wn, &out[0], n, nullptr, nullptr);
  return out;
#else
  iconv_t cd = iconv_open(encoding.c_str(), "GBK");
  if (cd == reinterpret_cast<iconv_t>(-1)) return gbk;
  std::string out;
  char buf[512];
  char* in = const_cast<char*>(gbk.data());
  size_t inLeft = gbk.size();
  while (inLeft > 0) {
    char* o = buf;
    size_t oLeft = sizeof buf;
    const size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
    out.append(buf, static_cast<size_t>(o - buf));
    if (r == static_cast<size_t>(-1) && errno != E2BIG) {
      // A byte that is not GBK (or has no form in the output encoding): show it as '?' and go on.
      out.push_back('?');
      ++in;
      --inLeft;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  iconv_close(cd);
  return out;
#endif
}

}  // namespace kvtools
