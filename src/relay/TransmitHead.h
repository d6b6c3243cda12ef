// The transmit data header that starts every unit of transmit data and every reply: its layout,
// the reading of a unit and the building of a reply. Apart from the relay's thread and connection
// because it is pure byte handling, tested on its own.
#pragma once

enum {
  kTransmitHeadSize = 52,   // the header's bytes in a frame's content
  kTransmitHeadShown = 61,  // bytes of a unit or reply frame shown in the log: 9 of framing + header
};

// The transmit data header, byte for byte as in the frame content, followed by a data pointer.
struct STU_TRANSMIT_HEAD {
  char operType[2];        // "D0" from the terminal
  char cmdCode[2];         // returned with its second character increased by one
  char szIP[40];           // dotted IPv4 address or host name, ends at the first NUL or the field's end
  char szPort[6];          // decimal text
  unsigned char ucLen[2];  // payload length, most significant byte first
  unsigned char* pData;    // null whenever a header is saved
};

// The header of the last unit sent to the host.
class TransmitHead {
 public:
  TransmitHead();
  virtual ~TransmitHead();

  // Copies the 52 header bytes of `content` and clears pData.
  void SaveHead(const unsigned char* content);
  // Reads ucLen, copies that many payload bytes from content offset 52 into `dest` (room for
  // `destSize` bytes), stores the length in *len and saves the header. False, with nothing done,
  // when an argument is null or the payload does not fit `dest`. The caller has checked the
  // content's length (CheckLength).
  bool GetBody(const unsigned char* content, unsigned char* dest, int destSize, int* len);
  // Writes the reply: bytes 0..49 of the saved header with bytes 1 and 3 increased by one, the
  // length in bytes 50 and 51 (high byte first), then `len` bytes of `payload`. Returns len + 52;
  // with a null `dest` only the size, with a null `payload` 0. `len` must lie in 0..65535.
  int BuildReply(const unsigned char* payload, int len, unsigned char* dest) const;
  // True when content is not null and contentLen equals ucLen + 52.
  static bool CheckLength(const unsigned char* content, int contentLen);
  // ucLen of a header.
  static int PayloadLength(const unsigned char* content);

  const STU_TRANSMIT_HEAD& Head() const { return m_stuHead; }

 private:
  STU_TRANSMIT_HEAD m_stuHead;
};
