// What the end-to-end tests, the fault matrix and the benchmarks share about the built library: the
// Config.ini builder, the records, a scratch folder with a copy of the library, files read and written
// whole. Plain C++ (no GoogleTest): failures come back as results, so tools link it too.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "Terminal.h"

namespace e2e {

using posterm::Bytes;

// A Config.ini built section by section, in order.
class Ini {
 public:
  void Set(const std::string& section, const std::string& key, const std::string& value);
  void Remove(const std::string& section, const std::string& key);
  std::string Text() const;

 private:
  std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>> sections_;
};

// The configuration the tests start from: port 7, short time-outs, names for the types in use,
// explanations, and the full twenty-line receipt template.
Ini DefaultIni();

// A request record with every field distinct, so that any misplaced copy shows.
std::string FullRequest(const std::string& type);

// The response record that the answer content must give for the request (the mapping, written
// independently of the library): spaces, the mapped content bytes (spaces where the content is short),
// and the request's last three bytes.
std::string ExpectedResponse(const Bytes& content, const std::string& request);

// Reads a whole file; "" when it cannot.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& data);
// Occurrences of `what` in `text`, not overlapping.
int CountOf(const std::string& text, const std::string& what);
// A port on 127.0.0.1 where nothing listens: a connect is refused.
int RefusingPort();

// "YYYYMMDD"/"hhmmss" fields fixed in answers so that the expectations are exact.
posterm::Scenario FixedScenario();

// A fresh folder /tmp/<prefix>XXXXXX in *dir; false when it cannot be made.
bool MakeScratchFolder(const std::string& prefix, std::string* dir);
// Removes the folder and everything below it (links are removed, not followed).
void RemoveScratchFolder(const std::string& dir);

// Copies the built library into dir as libKorvessaDLL.so, where a cash register keeps it beside its
// Config.ini; false with *err when the library cannot be read or the copy written.
bool CopyLibrary(const std::string& libraryFile, const std::string& dir, std::string* err);
// Writes dir/Config.ini from ini with a modification time distinct from any earlier one (*stamp counts
// the versions), so that the library's cached tables reload.
void WriteConfig(const std::string& dir, const Ini& ini, long* stamp);

}  // namespace e2e
