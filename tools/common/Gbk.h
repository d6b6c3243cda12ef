// GBK text to the encoding of the screen: the library writes its logs, receipts and Config.ini texts in
// GBK, and every tool that shows them converts with this one function.
#pragma once

#include <string>

namespace kvtools {

// GBK (code page 936) text to the output encoding ("UTF-8", or the locale's); bytes that do not convert
// become '?'. With an empty encoding, or "GBK", the text is returned unchanged.
std::string FromGbk(const std::string& gbk, const std::string& encoding);

// ASCII names compared without regard to case (encoding names; Config.ini's section and key names).
bool SameNameNoCase(const std::string& a, const std::string& b);

}  // namespace kvtools
