// The receive framing: received bytes assembled into frames, kept apart from the rest of the
// engine because it is a state machine of its own.
//
// A frame is assembled from the first STX; at the index its LEN gives for the LRC it is
// decoded, and a rejected frame resynchronises on a later STX inside it; then the hunt for
// the next STX goes on. A stray STX before the real one would make the assembly wait for the
// wrong end, so every later STX inside the frame is also noted with its own end and kept
// while its frame is open, also after the first one failed; a frame that completes there and
// passes every check is taken, tried without a word in the log. The earliest frame to
// complete wins. Each later start costs constant work: its end is noted once, and its LRC is
// read off the running XOR. Beside these, the frame of the hunt is assembled as it always
// was, so no stream loses a frame it used to take.
#include "engine/FrameAssembler.h"

#include <cstring>

#include "log/Log.h"
#include "log/Messages.h"

namespace {

// Index of the LRC byte of a frame that begins at k (with its LEN bytes at k + 1, k + 2).
int FrameEnd(const unsigned char* pBuf, int k) { return k + pBuf[k + 1] * 256 + pBuf[k + 2] + 4; }

}  // namespace

FrameAssembler::FrameAssembler(BTFManager& decoder)
    : m_RecvBTF(decoder),
      m_eStep(Step::kHunt),
      m_iIndex(-1),
      m_iStart(0),
      m_iFrameEnd(-1),
      m_iLastEnd(-1),
      m_ucRecvBuf(),
      m_ucRecvXor(),
      m_sEndFirst(),
      m_sSameEnd() {
  Reset();
}

void FrameAssembler::Reset() {
  Hunt();
  m_iStart = 0;
  m_iFrameEnd = m_iLastEnd = -1;
  memset(m_sEndFirst, 0xFF, sizeof(m_sEndFirst));  // -1: no later start
  memset(m_ucRecvBuf, 0, sizeof(m_ucRecvBuf));
}

void FrameAssembler::Hunt() {
  m_iIndex = -1;
  m_eStep = Step::kHunt;
}

int FrameAssembler::CopyHead(unsigned char* dest, int destSize) const {
  if (m_eStep != Step::kDecoded || m_iIndex <= 0) return 0;
  const int n = destSize < m_iIndex ? destSize : m_iIndex;
  if (dest != nullptr && n > 0) memcpy(dest, m_ucRecvBuf, static_cast<size_t>(n));
  return m_iIndex;
}

bool FrameAssembler::TakeFrame(int k, int len) {
  if (k > 0) memmove(m_ucRecvBuf, m_ucRecvBuf + k, static_cast<size_t>(len));
  m_iIndex = len;
  m_eStep = Step::kDecoded;
  return true;
}

bool FrameAssembler::DecodeAssembled() {
  const int iCount = m_iIndex + 1;
  for (int k = m_iStart; k < iCount;) {
    if (m_RecvBTF.Decode(m_ucRecvBuf + k, iCount - k)) {
      return TakeFrame(k, m_RecvBTF.GetContLen() + kBtfOverhead);
    }
    // Resynchronise on the next STX inside the rejected bytes.
    do {
      ++k;
    } while (k < iCount && m_ucRecvBuf[k] != kBtfSTX);
  }
  return false;
}

void FrameAssembler::ClearLaterStarts(int iFrom, int iTo) {
  for (int i = iFrom; i <= iTo && i < kRecvBufSize; ++i) m_sEndFirst[i] = -1;
}

void FrameAssembler::EndHunted() {
  // A start byte among the last two bytes of the failed frame has not had its LEN yet: it stays
  // open until its LEN is in (a short frame followed at once by the answer puts the answer's STX
  // where the LRC or the ETX was awaited).
  for (int k = m_iIndex - 1; k <= m_iIndex; ++k) {
    if (k > m_iStart && m_ucRecvBuf[k] == kBtfSTX && k + 2 < kRecvBufSize && k + 2 > m_iLastEnd) {
      m_iLastEnd = k + 2;
    }
  }
  if (m_iLastEnd > m_iIndex) {
    m_eStep = Step::kLaterStart;
  } else {
    Hunt();
  }
}

void FrameAssembler::RestartAt(int k) {
  ClearLaterStarts(m_iIndex, m_iLastEnd);  // the ends still to come, and this one if untried
  const int n = m_iIndex + 1 - k;
  memmove(m_ucRecvBuf, m_ucRecvBuf + k, static_cast<size_t>(n));
  m_ucRecvXor[0] = m_ucRecvBuf[0];
  for (int i = 1; i < n; ++i) m_ucRecvXor[i] = m_ucRecvXor[i - 1] ^ m_ucRecvBuf[i];
  m_iIndex = n - 1;
  m_iStart = 0;
  m_iLastEnd = -1;
  m_eStep = Step::kLength;
  if (m_iIndex == 2) TakeLength();
}

void FrameAssembler::TakeLength() {
  const int iLast = FrameEnd(m_ucRecvBuf, m_iStart) - m_iStart;  // index of the LRC within the frame
  if (iLast >= kBtfMinDecodeLen - 1 && iLast < kRecvBufSize) {
    if (m_iStart + iLast < kRecvBufSize) {
      m_iFrameEnd = m_iStart + iLast;
      m_eStep = Step::kBody;
    } else {
      RestartAt(m_iStart);  // it gets the whole buffer, as it always had; later starts give way
    }
    return;
  }
  // A frame that cannot fit the assembly buffer, or is shorter than the smallest frame, is
  // dropped at once; a start byte in its second length byte begins the next attempt.
  WriteLog(KV_HERE, LOG_REJECT, "接收到的报文长度无效，报文长度=%d，接收缓冲区大小=%d，数据已丢弃.",
           iLast + 1, kRecvBufSize);
  if (m_ucRecvBuf[m_iStart + 2] == kBtfSTX) {
    m_iStart += 2;
  } else {
    EndHunted();
  }
}

void FrameAssembler::NoteLaterStart() {
  const int k = m_iIndex - 2;
  if (k < 1 || m_ucRecvBuf[k] != kBtfSTX) return;
  if (k == m_iStart && m_eStep != Step::kLaterStart) return;  // the hunted frame itself
  const int iEnd = FrameEnd(m_ucRecvBuf, k);
  if (iEnd - k + 1 < kBtfMinContLen + kBtfOverhead || iEnd >= kRecvBufSize) return;  // cannot be taken
  m_sSameEnd[k] = m_sEndFirst[iEnd];
  m_sEndFirst[iEnd] = static_cast<short>(k);
  if (iEnd > m_iLastEnd) m_iLastEnd = iEnd;
}

bool FrameAssembler::TryLaterStarts() {
  const int iEnd = m_iIndex;
  int iBest = -1;
  // The chain runs from the latest start to the earliest: the last one that passes wins.
  for (int k = m_sEndFirst[iEnd]; k >= 0; k = m_sSameEnd[k]) {
    if (m_ucRecvBuf[iEnd - 1] != kBtfETX) break;  // the same ETX position for every start here
    if ((m_ucRecvXor[iEnd - 1] ^ m_ucRecvXor[k - 1]) != m_ucRecvBuf[iEnd]) continue;
    if (BTFManager::PassesCheck(m_ucRecvBuf + k, iEnd - k + 1)) iBest = k;
  }
  m_sEndFirst[iEnd] = -1;
  if (iBest < 0) return false;
  const int len = iEnd - iBest + 1;
  // It passed the check: the decode succeeds and writes nothing.
  if (!m_RecvBTF.Decode(m_ucRecvBuf + iBest, len)) return false;
  return TakeFrame(iBest, len);
}

bool FrameAssembler::Feed(const unsigned char* pData, int iLen) {
  if (pData == nullptr || iLen <= 0) return false;
  if (m_eStep == Step::kDecoded) return false;  // a decoded frame waits for the next reset
  const bool bWasAssembling = (m_eStep != Step::kHunt);
  for (int i = 0; i < iLen; ++i) {
    const unsigned char b = pData[i];
    if (m_eStep == Step::kHunt) {
      if (b == kBtfSTX) {
        m_iIndex = m_iStart = 0;
        m_ucRecvBuf[0] = m_ucRecvXor[0] = b;
        m_iLastEnd = -1;
        m_eStep = Step::kLength;
      } else if (i == iLen - 1 && !bWasAssembling) {
        WriteLog(KV_HERE, LOG_REJECT, "非法数据，报文不是以STX(0X02)开头的！");
      }
      continue;
    }
    if (m_iIndex + 1 >= kRecvBufSize) {
      // Only a hunted frame whose LEN is not all in can meet the buffer's end (every noted
      // end lies inside it): it moves to the front.
      if (m_eStep == Step::kLength) {
        RestartAt(m_iStart);
      } else {
        Hunt();
        continue;
      }
    }
    ++m_iIndex;
    m_ucRecvBuf[m_iIndex] = b;
    m_ucRecvXor[m_iIndex] = m_ucRecvXor[m_iIndex - 1] ^ b;
    NoteLaterStart();
    switch (m_eStep) {
      case Step::kLaterStart:
        if (b == kBtfSTX) {  // where the hunt after the failed frame begins a new one
          m_iStart = m_iIndex;
          m_eStep = Step::kLength;
        }
        break;
      case Step::kLength:
        if (m_iIndex == m_iStart + 2) TakeLength();
        break;
      case Step::kBody:
        if (m_iIndex - m_iStart >= 11 && m_ucRecvBuf[m_iIndex - 1] == kBtfETX) {
          WriteLog(KV_HERE, LOG_TRACE, KV_MSG_SERIAL_LEN "%d, m_iIndex = %d.", m_iFrameEnd - m_iStart,
                   m_iIndex - m_iStart);
        }
        // At the frame's last byte the frame is decoded; one whose ETX is missing fails the
        // check there, so the index never passes the frame's end.
        if (m_iIndex == m_iFrameEnd) {
          if (DecodeAssembled() || TryLaterStarts()) return true;
          EndHunted();
          continue;
        }
        break;
      default:
        break;
    }
    if (m_eStep == Step::kHunt) continue;  // the hunted frame was dropped, nothing else open
    if (TryLaterStarts()) return true;
    if (m_eStep == Step::kLaterStart && m_iIndex >= m_iLastEnd) {
      Hunt();
    }
  }
  return false;
}
