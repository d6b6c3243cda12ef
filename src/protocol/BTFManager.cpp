// The BTF frame object: build, encode, decode, check, and the mapping of a reply into
// the response record.
#include "protocol/BTFManager.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "KorvessaDLL.h"
#include "config/Config.h"
#include "log/Log.h"
#include "protocol/Layout.h"
#include "protocol/TransID.h"

bool IsTransmitData(const uint8_t* content, int contentLen) {
  return content != nullptr && contentLen >= 2 && content[0] == 'D' && content[1] == '0';
}

namespace {

// Content byte i, or a space when the content does not hold it.
uint8_t ContByte(const uint8_t* pCont, int iContLen, int i) {
  return (pCont != nullptr && i >= 0 && i < iContLen) ? pCont[i] : static_cast<uint8_t>(' ');
}

// Where each response field comes from in the reply content.
struct ResponseField {
  int iDst;    // offset in the response record
  int iWidth;  // width of the field
  int iSrc;    // offset in the reply content
};

const ResponseField kResponseMap[] = {
    {KV_RSP_operType, KV_RSP_operType_LEN, layout::kAnsOperType.off},
    {KV_RSP_cmdCode, KV_RSP_cmdCode_LEN, layout::kAnsCmdCode.off},
    {KV_RSP_reply4, KV_RSP_reply4_LEN, layout::kAnsReply4.off},
    {KV_RSP_rejCode, KV_RSP_rejCode_LEN, layout::kAnsRetCode.off},
    {KV_RSP_reply41, KV_RSP_reply41_LEN, layout::kAnsMerchant.off},
    {KV_RSP_reply56, KV_RSP_reply56_LEN, layout::kAnsTerminal.off},
    {KV_RSP_reply139, KV_RSP_reply139_LEN, layout::kAnsAcquirer.off},
    {KV_RSP_reply127, KV_RSP_reply127_LEN, layout::kAnsIssuer.off},
    {KV_RSP_amount, KV_RSP_amount_LEN, layout::kAnsAmount.off},
    {KV_RSP_cardNumber, KV_RSP_cardNumber_LEN, layout::kAnsCardNumber.off},
    {KV_RSP_reply123, KV_RSP_reply123_LEN, layout::kAnsExpiry.off},
    {KV_RSP_transDate, KV_RSP_transDate_LEN, layout::kAnsDate.off},
    {KV_RSP_transTime, KV_RSP_transTime_LEN, layout::kAnsTime.off},
    {KV_RSP_reply165, KV_RSP_reply165_LEN, layout::kAnsAuth.off},
    {KV_RSP_hostserialNumber, KV_RSP_hostserialNumber_LEN, layout::kAnsReference.off},
    {KV_RSP_reply183, KV_RSP_reply183_LEN, layout::kAnsReference2.off},
    {KV_RSP_reply195, KV_RSP_reply195_LEN, layout::kAnsExtra.off},
    {KV_RSP_reply35, KV_RSP_reply35_LEN, layout::kAnsBatch.off},
    {KV_RSP_posTraceNumber, KV_RSP_posTraceNumber_LEN, layout::kAnsTrace.off},
};

const char kRecvDumpTitle[] = "接收到的数据";

}  // namespace

BTFManager::BTFManager() : m_stuBTF(), m_iMinLen(kBtfMinDecodeLen), m_iContLen(0) {
  SetContLen(kBtfInitContLen, true);
}

BTFManager::~BTFManager() { free(m_stuBTF.pCont); }

bool BTFManager::SetContLen(int n, bool bClearHeader) {
  free(m_stuBTF.pCont);
  m_stuBTF.pCont = nullptr;
  if (bClearHeader) {
    m_stuBTF = BTFFrame();
  }
  if (n < 0 || n > kBtfMaxContLen) {
    m_iContLen = 0;
    return false;
  }
  m_iContLen = n;
  // One byte more than asked, so that a zero-length content still has a buffer.
  m_stuBTF.pCont = static_cast<uint8_t*>(calloc(static_cast<size_t>(n) + 1, 1));
  return m_stuBTF.pCont != nullptr;
}

uint8_t BTFManager::CalcLRC() const {
  uint8_t lrc = 0;
  lrc ^= m_stuBTF.STX;
  lrc ^= m_stuBTF.LEN[0];
  lrc ^= m_stuBTF.LEN[1];
  for (char c : m_stuBTF.ID) lrc ^= static_cast<uint8_t>(c);
  if (m_stuBTF.pCont != nullptr) {
    for (int i = 0; i < m_iContLen; ++i) lrc ^= m_stuBTF.pCont[i];
  }
  lrc ^= m_stuBTF.ETX;
  return lrc;
}

uint8_t BTFManager::Build(const void* pData, int n) {
  if (!SetContLen(n, true)) {
    return 0;
  }
  m_stuBTF.STX = kBtfSTX;
  m_stuBTF.LEN[0] = static_cast<uint8_t>(((n + 6) >> 8) & 0xFF);
  m_stuBTF.LEN[1] = static_cast<uint8_t>((n + 6) & 0xFF);
  char szID[kTransIDLen + 1];
  GetTransID(szID, sizeof(szID));
  memcpy(m_stuBTF.ID, szID, sizeof(m_stuBTF.ID));
  if (pData != nullptr && n > 0) {
    memcpy(m_stuBTF.pCont, pData, static_cast<size_t>(n));
  }
  m_stuBTF.ETX = kBtfETX;
  m_stuBTF.LRC = CalcLRC();
  return m_stuBTF.LRC;
}

int BTFManager::Encode(uint8_t* pszBuf, int size) const {
  if (pszBuf == nullptr || size < 0) {
    return 0;
  }
  memset(pszBuf, 0, static_cast<size_t>(size));
  const int iFrameLen = m_iContLen + kBtfOverhead;
  if (iFrameLen > size) {
    WriteLog(KV_HERE, LOG_ERROR, "局部变量pszBuf分配空间不足，理论大小=%d，实际大小=%d.", size, iFrameLen);
    return 0;
  }
  if (m_stuBTF.pCont == nullptr) {
    return 0;
  }
  uint8_t* p = pszBuf;
  *p++ = m_stuBTF.STX;
  *p++ = m_stuBTF.LEN[0];
  *p++ = m_stuBTF.LEN[1];
  memcpy(p, m_stuBTF.ID, sizeof(m_stuBTF.ID));
  p += sizeof(m_stuBTF.ID);
  memcpy(p, m_stuBTF.pCont, static_cast<size_t>(m_iContLen));
  p += m_iContLen;
  *p++ = m_stuBTF.ETX;
  *p++ = m_stuBTF.LRC;
  return iFrameLen;
}

bool BTFManager::Decode(const void* data, int len) {
  const uint8_t* pData = static_cast<const uint8_t*>(data);
  if (pData == nullptr || len < m_iMinLen) {
    if (pData != nullptr && len > 0) WriteHexLog(LOG_INFO, kRecvDumpTitle, pData, len, -1, DigitRunMask(0));
    WriteLog(KV_HERE, LOG_ERROR, "接收到的报文数据太短了，理论值(>=%d)，实际值(=%d).", m_iMinLen,
             pData == nullptr ? 0 : len);
    return false;
  }

  const int iContLen = ContLenFromLEN(pData[1] * 256 + pData[2]);
  // A frame whose LEN claims more bytes than were received is refused before anything
  // is copied: its content and trailer are not there to be read.
  if (iContLen >= 2 && iContLen + kBtfOverhead > len) {
    WriteHexLog(LOG_INFO, kRecvDumpTitle, pData, len, -1, DigitRunMask(0));
    WriteLog(KV_HERE, LOG_ERROR, "接收到的报文数据太短了，理论值(>=%d)，实际值(=%d).",
             iContLen + kBtfOverhead, len);
    return false;
  }

  m_stuBTF.STX = pData[0];
  m_stuBTF.LEN[0] = pData[1];
  m_stuBTF.LEN[1] = pData[2];
  memcpy(m_stuBTF.ID, pData + 3, sizeof(m_stuBTF.ID));
  if (iContLen < 2) {
    return false;
  }
  if (iContLen != m_iContLen || m_stuBTF.pCont == nullptr) {
    SetContLen(iContLen, false);
  }
  if (m_stuBTF.pCont != nullptr) {
    memcpy(m_stuBTF.pCont, pData + 9, static_cast<size_t>(iContLen));
  }
  m_stuBTF.ETX = pData[9 + iContLen];
  m_stuBTF.LRC = pData[10 + iContLen];

  char szText[kBtfCheckTextSize];
  if (!Check(szText, sizeof(szText))) {
    WriteHexLog(LOG_INFO, kRecvDumpTitle, pData, len, -1, DigitRunMask(0));
    WriteLog(KV_HERE, LOG_ERROR, "%s", szText);
    return false;
  }
  return true;
}

bool BTFManager::Check(char* pszText, size_t size) const {
  char szDummy[kBtfCheckTextSize];
  if (pszText == nullptr || size == 0) {
    pszText = szDummy;
    size = sizeof(szDummy);
  }
  pszText[0] = '\0';

  if (m_stuBTF.STX != kBtfSTX) {
    snprintf(pszText, size, "报文结构中起始报文STX != 0X%02x，实际值STX = 0X%02x.", kBtfSTX, m_stuBTF.STX);
    return false;
  }
  const int iContLen = ContLenFromLEN(m_stuBTF.LEN[0] * 256 + m_stuBTF.LEN[1]);
  if (iContLen < kBtfMinContLen) {
    snprintf(pszText, size, "报文结构中数据内容的长度LEN < (0X%04X).",
             static_cast<unsigned>(iContLen < 0 ? 0 : iContLen));
    return false;
  }
  if (m_stuBTF.pCont == nullptr) {
    snprintf(pszText, size, "报文结构中内容部分指针pCont == NULL.");
    return false;
  }
  if (!IsTransmitData(m_stuBTF.pCont, m_iContLen)) {
    char szID[kTransIDLen + 1];
    GetTransID(szID, sizeof(szID));
    if (memcmp(m_stuBTF.ID, szID, kTransIDLen) != 0) {
      char szRecvID[kTransIDLen + 1];
      memcpy(szRecvID, m_stuBTF.ID, kTransIDLen);
      szRecvID[kTransIDLen] = '\0';
      snprintf(pszText, size, "报文结构中唯一标识ID != \"%s\"，实际值 = \"%s\".", szID, szRecvID);
      return false;
    }
  }
  char szCmd[3];
  if (!GetCmdCode(szCmd, sizeof(szCmd))) {
    snprintf(pszText, size, "m_stuBTF.pCont == NULL || uCMDNoLen < %d.", 3);
    return false;
  }
  if (m_stuBTF.ETX != kBtfETX) {
    snprintf(pszText, size, "报文结构中结束报文ETX != 0X%02x，实际值 = 0X%02x.", kBtfETX, m_stuBTF.ETX);
    return false;
  }
  const uint8_t lrc = CalcLRC();
  if (m_stuBTF.LRC != lrc) {
    snprintf(pszText, size, "报文结构中冗余检验LRC != 0X%02x，实际值 = 0X%02x.", lrc, m_stuBTF.LRC);
    return false;
  }
  return true;
}

bool BTFManager::PassesCheck(const void* data, int len) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  if (p == nullptr || len < kBtfMinDecodeLen || p[0] != kBtfSTX) return false;
  const int iContLen = ContLenFromLEN(p[1] * 256 + p[2]);
  if (iContLen < kBtfMinContLen || iContLen + kBtfOverhead != len) return false;
  if (p[len - 2] != kBtfETX) return false;
  if (!IsTransmitData(p + 9, iContLen)) {
    char szID[kTransIDLen + 1];
    GetTransID(szID, sizeof(szID));
    if (memcmp(p + 3, szID, kTransIDLen) != 0) return false;
  }
  uint8_t lrc = 0;
  for (int i = 0; i < len - 1; ++i) lrc ^= p[i];
  return lrc == p[len - 1];
}

bool BTFManager::GetCmdCode(char* out, unsigned uCMDNoLen) const {
  if (m_stuBTF.pCont == nullptr || out == nullptr || uCMDNoLen < 3 || m_iContLen < 4) {
    return false;
  }
  out[0] = static_cast<char>(m_stuBTF.pCont[2]);
  out[1] = static_cast<char>(m_stuBTF.pCont[3]);
  out[2] = '\0';
  return true;
}

int BTFManager::CheckRetCode(const char* pszTransType) const {
  char cRetValue[3];
  cRetValue[0] = static_cast<char>(ContByte(m_stuBTF.pCont, m_iContLen, 6));
  cRetValue[1] = static_cast<char>(ContByte(m_stuBTF.pCont, m_iContLen, 7));
  cRetValue[2] = '\0';
  if (cRetValue[0] == '0' && cRetValue[1] == '0') {
    return 0;
  }
  // Two zero bytes would pack to 0 and read as an approval: they count as missing
  // bytes, that is as spaces.
  if (cRetValue[0] == '\0' && cRetValue[1] == '\0') {
    cRetValue[0] = ' ';
    cRetValue[1] = ' ';
  }
  char szType[3] = {' ', ' ', '\0'};
  if (pszTransType != nullptr) {
    for (int i = 0; i < 2 && pszTransType[i] != '\0'; ++i) szType[i] = pszTransType[i];
  }
  WriteLog(KV_HERE, LOG_REJECT, "POS机拒绝处理%s数据包，返回码(cRetValue=\"%s\").", GetTransName(szType, 2),
           cRetValue);
  return static_cast<uint8_t>(cRetValue[0]) | (static_cast<uint8_t>(cRetValue[1]) << 8);
}

void BTFManager::MapResponse(const char* pRequest, char* pResponse) const {
  if (pResponse == nullptr || m_stuBTF.pCont == nullptr) {
    return;
  }
  memset(pResponse, ' ', KORVESSA_RESPONSE_SIZE);
  for (const ResponseField& f : kResponseMap) {
    for (int i = 0; i < f.iWidth; ++i) {
      pResponse[f.iDst + i] = static_cast<char>(ContByte(m_stuBTF.pCont, m_iContLen, f.iSrc + i));
    }
  }
  if (pRequest != nullptr) {
    memcpy(pResponse + KV_RSP_reserved, pRequest + KV_REQ_reserved, KV_RSP_reserved_LEN);
  }
}
