// The receive framing of MyComm: received bytes assembled into frames, kept apart from the
// rest of the engine because it is a state machine of its own.
//
// A frame is assembled from the first STX; at the index its LEN gives for the LRC it is
// decoded, and a rejected frame resynchronises on a later STX inside it. A stray STX before
// the real one would make the assembly wait for the wrong end, so every later STX inside the
// frame (and after it, while one is still open) is also noted with its own end; a frame that
// completes there and passes every check is taken, tried without a word in the log. The
// earliest frame to complete wins. Each later start costs constant work: its end is noted
// once, and its LRC is read off the running XOR.
#include <cstring>

#include "engine/MyComm.h"
#include "log/Log.h"

namespace {

// Index of the LRC byte of a frame that begins at k (with its LEN bytes at k + 1, k + 2).
int FrameEnd(const unsigned char* pBuf, int k) { return k + pBuf[k + 1] * 256 + pBuf[k + 2] + 4; }

}  // namespace

bool MyComm::TakeFrame(int k, int len) {
  if (k > 0) memmove(m_ucRecvBuf, m_ucRecvBuf + k, static_cast<size_t>(len));
  m_iIndex = len;
  m_eRecvState = RecvState::kDecoded;
  return true;
}

bool MyComm::DecodeAssembled() {
  const int iCount = m_iIndex + 1;
  for (int k = 0; k < iCount;) {
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

void MyComm::ClearLaterStarts(int iFrom, int iTo) {
  for (int i = iFrom; i <= iTo && i < kRecvBufSize; ++i) m_sEndFirst[i] = -1;
}

void MyComm::RestartAt(int k) {
  ClearLaterStarts(m_iIndex + 1, m_iLastEnd);
  const int n = m_iIndex + 1 - k;
  memmove(m_ucRecvBuf, m_ucRecvBuf + k, static_cast<size_t>(n));
  m_ucRecvXor[0] = m_ucRecvBuf[0];
  for (int i = 1; i < n; ++i) m_ucRecvXor[i] = m_ucRecvXor[i - 1] ^ m_ucRecvBuf[i];
  m_iIndex = n - 1;
  m_iLastEnd = -1;
  m_eRecvState = RecvState::kLength;
  if (m_iIndex == 2) TakeLength();
}

void MyComm::TakeLength() {
  const int iEnd = FrameEnd(m_ucRecvBuf, 0);
  if (iEnd >= kBtfMinDecodeLen - 1 && iEnd < kRecvBufSize) {
    m_iFrameEnd = iEnd;
    m_eRecvState = RecvState::kBody;
    return;
  }
  // A frame that cannot fit the assembly buffer, or is shorter than the smallest frame, is
  // dropped at once; a start byte in its second length byte begins the next attempt.
  WriteLog(KV_HERE, LOG_REJECT, "接收到的报文长度无效，报文长度=%d，接收缓冲区大小=%d，数据已丢弃.", iEnd + 1,
           kRecvBufSize);
  if (m_ucRecvBuf[2] == kBtfSTX) {
    RestartAt(2);
  } else {
    m_iIndex = -1;
    m_eRecvState = RecvState::kHunt;
  }
}

bool MyComm::NoteLaterStart() {
  const int k = m_iIndex - 2;
  if (k < 1 || m_ucRecvBuf[k] != kBtfSTX) return false;
  const int iEnd = FrameEnd(m_ucRecvBuf, k);
  if (iEnd - k + 1 < kBtfMinContLen + kBtfOverhead) return false;  // too short to pass the check
  if (iEnd < kRecvBufSize) {
    m_sSameEnd[k] = m_sEndFirst[iEnd];
    m_sEndFirst[iEnd] = static_cast<short>(k);
    if (iEnd > m_iLastEnd) m_iLastEnd = iEnd;
  } else if (m_eRecvState == RecvState::kLaterStart && iEnd - k < kRecvBufSize) {
    // After the failed frame this STX is where a fresh hunt would begin: it gets the whole
    // buffer, as it would have had, and the later starts before it give way.
    RestartAt(k);
    return true;
  }
  return false;
}

bool MyComm::TryLaterStarts() {
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

bool MyComm::AssembleLocked(const unsigned char* pData, int iLen) {
  if (m_eRecvState == RecvState::kDecoded) return false;  // a decoded frame waits for the next reset
  const bool bWasAssembling = (m_eRecvState != RecvState::kHunt);
  for (int i = 0; i < iLen; ++i) {
    const unsigned char b = pData[i];
    if (m_eRecvState == RecvState::kHunt) {
      if (b == kBtfSTX) {
        m_iIndex = 0;
        m_ucRecvBuf[0] = m_ucRecvXor[0] = b;
        m_iLastEnd = -1;
        m_eRecvState = RecvState::kLength;
      } else if (i == iLen - 1 && !bWasAssembling) {
        WriteLog(KV_HERE, LOG_REJECT, "非法数据，报文不是以STX(0X02)开头的！");
      }
      continue;
    }
    if (m_iIndex + 1 >= kRecvBufSize) {  // every noted end lies inside the buffer; kept as a guard
      m_iIndex = -1;
      m_eRecvState = RecvState::kHunt;
      continue;
    }
    ++m_iIndex;
    m_ucRecvBuf[m_iIndex] = b;
    m_ucRecvXor[m_iIndex] = m_ucRecvXor[m_iIndex - 1] ^ b;
    if (m_eRecvState == RecvState::kLength) {
      if (m_iIndex == 2) TakeLength();
      continue;
    }
    if (NoteLaterStart()) continue;  // restarted at a later STX
    if (m_eRecvState == RecvState::kBody) {
      if (m_iIndex >= 11 && m_ucRecvBuf[m_iIndex - 1] == kBtfETX) {
        WriteLog(KV_HERE, LOG_TRACE, "Len = %d, m_iIndex = %d.", m_iFrameEnd, m_iIndex);
      }
      // At the frame's last byte the frame is decoded; one whose ETX is missing fails the
      // check there, so the index never passes the frame's end.
      if (m_iIndex == m_iFrameEnd) {
        if (DecodeAssembled()) return true;
        m_sEndFirst[m_iIndex] = -1;  // the resynchronisation has tried the starts ending here
        if (m_iLastEnd > m_iIndex) {
          m_eRecvState = RecvState::kLaterStart;
        } else {
          m_iIndex = -1;
          m_eRecvState = RecvState::kHunt;
        }
        continue;
      }
    }
    if (TryLaterStarts()) return true;
    if (m_eRecvState == RecvState::kLaterStart && m_iIndex >= m_iLastEnd) {
      // The last frame still open has failed: a start byte whose LEN is not in yet begins
      // the next attempt, as it would from a fresh hunt.
      if (m_ucRecvBuf[m_iIndex - 1] == kBtfSTX) {
        RestartAt(m_iIndex - 1);
      } else if (m_ucRecvBuf[m_iIndex] == kBtfSTX) {
        RestartAt(m_iIndex);
      } else {
        m_iIndex = -1;
        m_eRecvState = RecvState::kHunt;
      }
    }
  }
  return false;
}
