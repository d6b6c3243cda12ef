// The BTF frame exchanged with the card terminal, and the object that holds one frame
// in memory with its codec and checks.
//
// On the wire (content length N):
//   STX 0x02 | LEN (N + 6, big-endian, 2 bytes) | ID (6 digits) | content (N) | ETX 0x03 | LRC
// LRC is the XOR of every byte from STX through ETX. A frame is N + 11 bytes long.
#pragma once

#include <cstddef>
#include <cstdint>

// Header fields hold exactly the wire bytes.
struct BTFFrame {
  uint8_t STX;
  uint8_t LEN[2];  // high byte first, as on the wire
  char ID[6];      // not terminated
  uint8_t* pCont;  // content buffer, owned by the frame object
  uint8_t ETX;
  uint8_t LRC;
};

// Frame bytes and limits.
constexpr uint8_t kBtfSTX = 0x02;
constexpr uint8_t kBtfETX = 0x03;
constexpr int kBtfOverhead = 11;            // STX, LEN, ID, ETX, LRC
constexpr int kBtfMinDecodeLen = 13;        // smallest input the decoder looks at (N = 2)
constexpr int kBtfMinContLen = 0x34;        // smallest content that passes the check (52)
constexpr int kBtfInitContLen = 1000;       // content length of a new frame object
constexpr int kBtfMaxContLen = 0xFFFF - 6;  // largest content LEN can describe
constexpr int kBtfCheckTextSize = 100;      // text buffer the decoder gives Check

class BTFManager {
 public:
  // N = 1000, a zeroed 1000-byte content buffer, every header byte zero.
  BTFManager();
  virtual ~BTFManager();

  BTFManager(const BTFManager&) = delete;
  BTFManager& operator=(const BTFManager&) = delete;

  // Frees the content buffer, clears the header when bClearHeader, stores n and
  // allocates n zeroed bytes. False when n is outside 0..kBtfMaxContLen or the
  // allocation fails: pCont is then null (and N is 0 for an invalid n).
  bool SetContLen(int n, bool bClearHeader);
  int GetContLen() const { return m_iContLen; }
  uint8_t* GetCont() const { return m_stuBTF.pCont; }
  const BTFFrame& GetFrame() const { return m_stuBTF; }

  static int IDLen() { return 6; }
  static int ContLenFromLEN(int len) { return len - 6; }

  // XOR of STX, LEN, ID, the N content bytes and ETX.
  uint8_t CalcLRC() const;

  // Builds a frame from n content bytes with the current transaction identifier.
  // Returns the LRC. A null pData gives zeroed content.
  uint8_t Build(const void* pData, int n);

  // Writes the frame into pszBuf (size bytes, all zeroed first). Returns its length
  // N + 11, or 0 when it does not fit (logged at level 2) or there is no content.
  int Encode(uint8_t* pszBuf, int size) const;

  // Loads a received frame from the len bytes at data and checks it. Never reads past
  // len: a frame whose LEN claims more than it holds is rejected as too short.
  bool Decode(const void* data, int len);

  // Validates the loaded frame; on the first failure writes its message into pszText
  // (size bytes, always terminated) and returns false.
  bool Check(char* pszText, size_t size) const;

  // True when the len bytes at data are exactly one frame that passes every test of Check.
  // Writes no log line and loads nothing: the receive framing uses it to try a frame that
  // begins at a later start byte while an earlier one is still assembling. The cheap tests
  // come first, the LRC last.
  static bool PassesCheck(const void* data, int len);

  // Content bytes 2 and 3 and a terminator into out; false when there is no content,
  // uCMDNoLen < 3, or the content is shorter than 4 bytes.
  bool GetCmdCode(char* out, unsigned uCMDNoLen) const;

  // The terminal's return code (content bytes 6 and 7): 0 for "00", else the two
  // characters as a positive number, first in the low byte ("05" gives 0x3530),
  // with the refusal logged at level 3 under the display name of pszTransType.
  int CheckRetCode(const char* pszTransType) const;

  // Fills the 161-byte response record from the content: spaces first, then each field
  // from its place in the content (bytes the content does not hold stay spaces), the
  // last three bytes from the request record's reserved bytes. Does nothing when
  // pResponse is null or there is no content.
  void MapResponse(const char* pRequest, char* pResponse) const;

 private:
  BTFFrame m_stuBTF;
  int m_iMinLen;   // always kBtfMinDecodeLen
  int m_iContLen;  // N, also the size of the content buffer
};
