// Reading a whole file into memory (see FileText.h).
#include "FileText.h"

#include <fstream>
#include <sstream>

namespace korvessa {

bool ReadWholeFile(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  *out = ss.str();
  return true;
}

}  // namespace korvessa
