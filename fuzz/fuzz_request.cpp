// Fuzz target: the request path. An input is a 106-byte request record, then the text of
// POS_print.txt (sent with type "06"). The record goes through the content builder, the
// field-by-field display at level 5 and the request frame; the content must hold exactly the
// record's fields for its type, and the frame must decode back to it.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzEnv.h"
#include "KorvessaDLL.h"
#include "config/Config.h"
#include "engine/MyComm.h"
#include "protocol/TransID.h"

namespace {

const char kIni[] =
    "[DEBUG_LOG]\r\nDebugLog=5\r\n"
    "[TRANSNAMEDSP]\r\n001=00 HANDSHAKE\r\n002=30 SALE\r\n003=40 REFUND\r\n004=50 VOID\r\n"
    "005=62 COMPLETION\r\n006=64 PREAUTH VOID\r\n007=66 COMPLETION VOID\r\n008=06 PRINT\r\n"
    "009=04 BALANCE\r\n010=92 SIGN-ON\r\n";

// The engine with its frame to send open to the target.
class FuzzComm : public MyComm {
 public:
  const BTFManager& SendFrame() const { return m_SendBTF; }
};

bool Defined(const char* type) {
  static const char* const kTypes[] = {"00", "30", "40", "50", "62", "64", "66", "06", "04", "92"};
  for (const char* t : kTypes) {
    if (type[0] == t[0] && type[1] == t[1]) return true;
  }
  return false;
}

bool Is(const char* type, const char* t) { return type[0] == t[0] && type[1] == t[1]; }

// The content the record must give, from the field table alone.
std::string ExpectedContent(const char* r) {
  std::string c(r, 52);
  c.resize(kContentSize, ' ');
  const char* type = r + 2;
  if (Is(type, "40") || Is(type, "50")) {
    c.replace(52, 12, r + 52, 12);
    c.replace(64, 8, r + 76, 8);
  } else if (Is(type, "62") || Is(type, "64") || Is(type, "66")) {
    c.replace(52, 12, r + 64, 12);
    c.replace(64, 8, r + 76, 8);
    c.replace(72, 19, r + 84, 19);
  }
  return c;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::InitScratch(kIni);
  LoadCodeTextLists();
  SetTransID(fuzz::kTransID);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < KORVESSA_REQUEST_SIZE) return 0;
  fuzz::TrimLog();
  static FuzzComm comm;
  // The record in a buffer of exactly its size, so a read past it is caught.
  std::vector<char> record(data, data + KORVESSA_REQUEST_SIZE);
  fuzz::WriteBytes(fuzz::ScratchPath(POS_PRINT_FILE), data + KORVESSA_REQUEST_SIZE,
                   size - KORVESSA_REQUEST_SIZE);

  comm.ShowRequest(record.data());
  std::vector<unsigned char> content(kContentSize);
  const bool built = MyComm::BuildContent(record.data(), content.data());
  FUZZ_CHECK(built == Defined(record.data() + 2));
  if (!built) return 0;
  FUZZ_CHECK(std::memcmp(content.data(), ExpectedContent(record.data()).data(), kContentSize) == 0);

  bool requested;
  {
    fuzz::InScratchFolder here;  // POS_print.txt is read from the current folder
    requested = comm.BuildRequest(content.data());
  }
  if (!requested) {
    FUZZ_CHECK(Is(record.data() + 2, "06"));  // only the print text can be missing
    return 0;
  }
  unsigned char wire[kSendBufSize];
  const int len = comm.SendFrame().Encode(wire, sizeof(wire));
  FUZZ_CHECK(len > 0);
  BTFManager back;
  FUZZ_CHECK(back.Decode(wire, len));
  FUZZ_CHECK(back.GetContLen() >= kContentSize);
  FUZZ_CHECK(std::memcmp(back.GetCont(), content.data(), kContentSize) == 0);
  if (!Is(record.data() + 2, "06")) FUZZ_CHECK(back.GetContLen() == kContentSize);
  return 0;
}
