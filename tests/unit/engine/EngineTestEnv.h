// Scratch folder, Config.ini, log reader, frame builders and a MyComm with its state
// open to the tests of the transaction engine and the exported functions.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "config/Config.h"
#include "engine/MyComm.h"
#include "log/Log.h"
#include "base/PathUtil.h"
#include "platform/platform_fs.h"
#include "ScratchEnv.h"
#include "protocol/TransID.h"

// Config.ini shared by the engine tests (GBK literals, as the sources are compiled).
inline std::string EngineIni(int debugLog, const std::string& extra = std::string()) {
  std::ostringstream s;
  s << "[DEBUG_LOG]\r\nDebugLog=" << debugLog << "\r\n"
    << "[COM]\r\nComPort=0\r\n"
    << "[TCP]\r\nTradeTimeOut=1\r\n"
    << "[TRANSNAMEDSP]\r\n"
    << "001=00 握手\r\n002=30 消费\r\n003=40 退货\r\n004=50 消费撤销\r\n005=62 预授权完成\r\n"
    << "006=64 预授权撤销\r\n007=66 预授权完成撤销\r\n008=06 打印\r\n009=04 查询\r\n010=92 签到\r\n"
    << "011=09 测试\r\n"
    << "[REEOR_INFORMITION]\r\n001=00 交易成功\r\n002=05 请联系发卡行\r\n"
    << extra;
  return s.str();
}

class EngineTestEnv : public ScratchEnv {
 public:
  using ScratchEnv::ScratchEnv;
};

// A frame on the wire, built independently of the codec under test.
inline std::string WireFrame(const std::string& content, const std::string& id) {
  std::string f;
  const size_t len = content.size() + 6;
  f += '\x02';
  f += static_cast<char>((len >> 8) & 0xFF);
  f += static_cast<char>(len & 0xFF);
  f += id.substr(0, 6);
  f += content;
  f += '\x03';
  unsigned char lrc = 0;
  for (unsigned char c : f) lrc ^= c;
  f += static_cast<char>(lrc);
  return f;
}

// A 207-byte reply content: operation type, command code, card type "01", return code,
// then recognisable bytes at the places the response record reads.
inline std::string ReplyContent(const std::string& cmd, const std::string& ret,
                                const std::string& oper = "A0") {
  std::string c = oper + cmd + "01" + ret;
  while (c.size() < 207) c += static_cast<char>('a' + (c.size() % 26));
  c.replace(23, 12, "000000012345");          // amount
  c.replace(104, 19, "6222021234567890123");  // card number
  c.replace(151, 14, "20261207123456");       // date and time
  c.replace(171, 12, "HOSTREF   12");         // host reference
  c.replace(201, 6, "0042  ");                // terminal trace number
  return c;
}

// Raw bytes as a string (not named Bytes: the loopback host names its byte blocks so).
inline std::string AsString(const unsigned char* p, int n) {
  return std::string(reinterpret_cast<const char*>(p), n);
}

// A 106-byte request record.
inline std::string RequestRecord(const std::string& type) {
  std::string r(106, ' ');
  r.replace(0, 2, "A0");
  r.replace(2, 2, type);
  r.replace(4, 2, "01");
  r.replace(6, 9, "REG000001");
  r.replace(15, 6, "OPR001");
  r.replace(21, 12, "000000012345");
  r.replace(33, 12, "CASHTRACE001");
  r.replace(45, 1, "Y");
  r.replace(46, 6, "OLDTRC");
  r.replace(52, 12, "HOSTSERIAL01");
  r.replace(64, 12, "AUTHNUMBER01");
  r.replace(76, 8, "20261201");
  r.replace(84, 19, "6222000011112222333");
  r.replace(103, 3, "RSV");
  return r;
}

// MyComm with its state open to the tests.
class TestComm : public MyComm {
 public:
  int Index() const { return m_Assembler.Index(); }
  const unsigned char* RecvBuf() const { return m_Assembler.Frame(); }
  BTFManager& SendFrame() { return m_SendBTF; }
  BTFManager& RecvFrame() { return m_RecvBTF; }
  std::string SendContent() const { return AsString(m_SendBTF.GetCont(), m_SendBTF.GetContLen()); }
  std::string RecvContent() const { return AsString(m_RecvBTF.GetCont(), m_RecvBTF.GetContLen()); }
  void SetHandshakeTimeOut(DWORD ms) { m_dwHandshakeTimeOut = ms; }
  // Feeds a chunk and routes a decoded frame, as OnReceive does with one chunk.
  bool Feed(const std::string& bytes) {
    const bool decoded =
        AssembleChunk(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    if (decoded) RouteFrame();
    return decoded;
  }
  // Builds the send frame for a request of `type` (so CheckCmdCode has something to pair).
  void PrepareRequest(const std::string& type) {
    unsigned char content[kContentSize];
    std::string req = RequestRecord(type);
    ASSERT_TRUE(BuildContent(req.data(), content));
    ASSERT_TRUE(BuildRequest(content));
  }
};
