// FrameAssembler: the terminal's bytes assembled into one frame at a time, decoded into a frame
// object. A state machine of its own, kept apart from the engine so that it is read, tested and
// fuzzed without a port; the engine owns one and holds its receive lock around every call.
#pragma once

#include "protocol/BTFManager.h"

enum {
  kRecvBufSize = 4096,  // assembly buffer for one received frame
};

class FrameAssembler {
 public:
  // The steps of the assembly.
  enum class Step {
    kHunt,        // looking for STX; nothing assembled
    kLength,      // the hunted frame's STX stored (at m_iStart), its LEN bytes not all in yet
    kBody,        // its end is known (m_iFrameEnd): collecting its bytes
    kLaterStart,  // it failed and the hunt goes on; frames begun at a later STX inside it are still open
    kDecoded,     // a frame was decoded: further bytes are ignored until the next reset
  };

  // Frames are decoded into `decoder`, which outlives the assembler.
  explicit FrameAssembler(BTFManager& decoder);
  FrameAssembler(const FrameAssembler&) = delete;
  FrameAssembler& operator=(const FrameAssembler&) = delete;

  // Back to the hunt: nothing assembled, the buffer zeroed.
  void Reset();
  // Feeds one chunk. True when a frame was decoded (the chunk's remaining bytes are then not
  // used, and later chunks are ignored until Reset).
  bool Feed(const unsigned char* pData, int iLen);

  Step State() const { return m_eStep; }
  bool Decoded() const { return m_eStep == Step::kDecoded; }
  // The assembly buffer; once decoded, the frame is at its front, Index() bytes long.
  const unsigned char* Frame() const { return m_ucRecvBuf; }
  // m_iIndex: the index of the last byte assembled (-1: none); once decoded, the frame's length.
  int Index() const { return m_iIndex; }
  // Copies the first bytes of the decoded frame, at most destSize, into dest. Returns the
  // frame's whole length (which may exceed destSize), 0 when no frame is decoded.
  int CopyHead(unsigned char* dest, int destSize) const;

 private:
  // Decodes the hunted frame, which ends at m_iIndex, resynchronising on a later STX inside
  // it after a rejected frame (each trial logged by the decoder).
  bool DecodeAssembled();
  // The frame of len bytes at offset k has been decoded: it moves to the front of the buffer
  // and m_iIndex becomes its length.
  bool TakeFrame(int k, int len);
  // The length step of the hunted frame: its end is known, or the frame is dropped.
  void TakeLength();
  // The hunted frame is gone: the hunt goes on while later starts are open, else all is idle.
  void EndHunted();
  // Notes the frame begun at a later STX whose LEN bytes have just come in.
  void NoteLaterStart();
  // Tries, silently, the frames of later starts that end at m_iIndex; true when one is taken.
  bool TryLaterStarts();
  // Drops the bytes before offset k (the hunted frame's STX) and the later starts with them.
  void RestartAt(int k);
  void ClearLaterStarts(int iFrom, int iTo);
  // Back to the hunt without touching the buffer.
  void Hunt();

  BTFManager& m_RecvBTF;
  Step m_eStep;
  int m_iIndex;
  int m_iStart;     // index of the hunted frame's STX (kLength, kBody)
  int m_iFrameEnd;  // index of its LRC (kBody)
  int m_iLastEnd;   // the furthest end of a later start noted in this assembly
  unsigned char m_ucRecvBuf[kRecvBufSize];
  // m_ucRecvXor[i]: XOR of m_ucRecvBuf[0..i], so a later start's LRC is tested in one step.
  unsigned char m_ucRecvXor[kRecvBufSize];
  // Later starts by the index of their last byte: the latest start noted for that end
  // (-1: none), and for each start the next earlier one with the same end.
  short m_sEndFirst[kRecvBufSize];
  short m_sSameEnd[kRecvBufSize];
};
