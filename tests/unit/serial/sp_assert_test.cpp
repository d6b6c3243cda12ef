// SP_ASSERT: the text it composes from the fixed part, the error code and the system's message,
// and what every call on a closed port raises.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "serial/SerialPort.h"
#include "SerialTexts.h"

namespace {

TEST(SpAssert, TextWithoutSystemError) {
  char out[kSpAssertTextSize];
  EXPECT_STREQ(ComposeSpAssertText("SP_ASSERT(IsOpen()) failed; SerialPort(497); ", 0, out),
               "SP_ASSERT(IsOpen()) failed; SerialPort(497); ");
}

TEST(SpAssert, SystemMessageStartsOnTheFinalBlank) {
  const std::string msg = SystemMessage(ERROR_INVALID_HANDLE);
  ASSERT_FALSE(msg.empty());
  char out[kSpAssertTextSize];
  ComposeSpAssertText("SP_ASSERT(IsOpen()) failed; SerialPort(497); ", 6, out);
  EXPECT_EQ(std::string(out), "SP_ASSERT(IsOpen()) failed; SerialPort(497); Code:6;" + msg);
}

TEST(SpAssert, UnknownCodeKeepsTheCodePart) {
  char out[kSpAssertTextSize];
  ComposeSpAssertText("SP_ASSERT(pBuffer) failed; SerialPort(466); ", 424242, out);
  EXPECT_STREQ(out, "SP_ASSERT(pBuffer) failed; SerialPort(466); Code:424242; ");
}

TEST(SpAssert, LongTextsAreCutTo255Characters) {
  std::string fixed(240, 'x');
  char out[kSpAssertTextSize];
  ComposeSpAssertText(fixed.c_str(), ERROR_INVALID_HANDLE, out);
  const std::string msg = SystemMessage(ERROR_INVALID_HANDLE);
  // 240 + "Code:6; " = 248 characters; the message replaces the blank and is limited to
  // 255 - 248 = 7 characters.
  EXPECT_EQ(strlen(out), 254u);
  EXPECT_EQ(std::string(out), fixed + "Code:6;" + msg.substr(0, 7));

  std::string huge(400, 'y');
  ComposeSpAssertText(huge.c_str(), 0, out);
  EXPECT_EQ(std::string(out), std::string(255, 'y'));
  ComposeSpAssertText(huge.c_str(), ERROR_INVALID_HANDLE, out);
  EXPECT_EQ(std::string(out), std::string(255, 'y'));  // no room left for the code part
}

TEST(SpAssert, RaisesRuntimeErrorWithTheThreadsLastError) {
  SetLastError(0);
  EXPECT_EQ(Raised([] { SP_ASSERT(1 == 2, "SP_ASSERT(x) failed; SerialPort(1); "); }),
            "SP_ASSERT(x) failed; SerialPort(1); ");
  SetLastError(ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Raised([] { SP_ASSERT(false, "SP_ASSERT(y) failed; SerialPort(2); "); }),
            "SP_ASSERT(y) failed; SerialPort(2); Code:87;" + SystemMessage(87));
  EXPECT_EQ(Raised([] { SP_ASSERT(true, "never"); }), "");
}

// A port object whose protected parts the tests reach.
class ProbePort : public SerialPort {
 public:
  explicit ProbePort(DWORD options = EN_WATCH_THREAD | EN_OVERLAPPED_IO | EN_RX_BUFFER)
      : SerialPort(options) {}
  using SerialPort::CO_;
  using SerialPort::DCB_;
  using SerialPort::dwNotifyThreshold_;
  using SerialPort::dwPort_;
  using SerialPort::dwWaitEvent_;
  using SerialPort::EO_;
  using SerialPort::hNotifyWnd_;
  using SerialPort::hWatchThread_;
  using SerialPort::RO_;
  using SerialPort::WO_;
};

TEST(SerialPortClosed, InitialState) {
  ProbePort p;
  EXPECT_FALSE(p.IsOpen());
  EXPECT_EQ(p.GetOption(), 7u);
  EXPECT_EQ(p.dwPort_, 0xFFFFFFFFu);
  EXPECT_EQ(p.DCB_.DCBlength, 28u);
  EXPECT_EQ(p.dwWaitEvent_, 0x1FDu);
  EXPECT_EQ(p.dwNotifyThreshold_, 0u);
  EXPECT_EQ(p.GetName()[0], '\0');
  // The overlapped events exist, manual-reset and not signalled.
  for (HANDLE e : {p.RO_.hEvent, p.WO_.hEvent, p.EO_.hEvent}) {
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(WaitForSingleObject(e, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    SetEvent(e);
    EXPECT_EQ(WaitForSingleObject(e, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(e, 0), static_cast<DWORD>(WAIT_OBJECT_0));  // manual reset: still set
    ResetEvent(e);
  }
}

TEST(SerialPortClosed, OperationsOnAClosedPortRaiseTheirTexts) {
  ProbePort p;
  BYTE buf[4] = {1, 2, 3, 4};
  SetLastError(0);
  EXPECT_EQ(Raised([&] { p.Write(buf, 4); }), "SP_ASSERT(IsOpen()) failed; SerialPort(497); ");
  SetLastError(ERROR_INVALID_HANDLE);
  EXPECT_EQ(Raised([&] { p.Write(buf, 4); }),
            "SP_ASSERT(IsOpen()) failed; SerialPort(497); Code:6;" + SystemMessage(6));
  SetLastError(0);
  EXPECT_EQ(Raised([&] { p.Write(buf, 0); }), "SP_ASSERT(IsOpen()) failed; SerialPort(497); ");
  EXPECT_EQ(Raised([&] { p.Read(buf, 4); }), "SP_ASSERT(IsOpen()) failed; SerialPort(408); ");
  EXPECT_EQ(Raised([&] { p.Purge(); }), "SP_ASSERT(IsOpen()) failed; SerialPort(989); ");
  EXPECT_EQ(Raised([&] { p.GetModemStatus(); }), "SP_ASSERT(IsOpen()) failed; SerialPort(946); ");
  EXPECT_EQ(Raised([&] { p.GetLineErrors(); }), "SP_ASSERT(IsOpen()) failed; SerialPort(995); ");
  EXPECT_EQ(Raised([&] { p.GetInputQueueCount(); }), "SP_ASSERT(IsOpen()) failed; SerialPort(1003); ");
  EXPECT_EQ(Raised([&] { p.SetState(9600, 0, 8, 0); }), "SP_ASSERT(IsOpen()) failed; SerialPort(888); ");
  EXPECT_EQ(Raised([&] { p.SetupPort(); }), "SP_ASSERT(IsOpen()) failed; SerialPort(1739); ");
  EXPECT_EQ(Raised([&] { p.WatchLoopOverlapped(); }), "SP_ASSERT(IsOpen()) failed; SerialPort(1946); ");
  EXPECT_EQ(Raised([&] { p.WatchLoopPolling(); }), "SP_ASSERT(IsOpen()) failed; SerialPort(1987); ");
  EXPECT_EQ(Raised([&] { p.WriteLoop(); }), "SP_ASSERT(dwOption_ & EN_TX_BUFFER) failed; SerialPort(2102); ");
  EXPECT_EQ(Raised([&] { p.ReadReceived(nullptr, 4); }), "SP_ASSERT(pBuffer) failed; SerialPort(466); ");
  // With the receive buffer, ReadReceived needs no open port.
  EXPECT_EQ(p.ReadReceived(buf, 4), 0u);
}

TEST(SerialPortClosed, PortNumberOutOfRangeTouchesNoDevice) {
  ProbePort p;
  SetLastError(0);
  for (DWORD port : {0u, 1025u, 0xFFFFFFFFu}) {
    EXPECT_EQ(Raised([&] { p.Open(port, 9600, 0, 8, 0); }),
              "SP_ASSERT(dwPort>=1 && dwPort<=1024) failed; SerialPort(328); ");
    EXPECT_FALSE(p.IsOpen());
    EXPECT_EQ(p.dwPort_, 0xFFFFFFFFu);
  }
}

TEST(SerialPortClosed, CloseAndStopDoNothingWithoutAPort) {
  ProbePort p;
  p.Close(500);
  p.Close(500);
  EXPECT_FALSE(p.IsOpen());
  EXPECT_FALSE(p.StopThreads(500));
  EXPECT_EQ(p.hWatchThread_.load(), nullptr);
}

TEST(SerialPortClosed, NotificationsWithoutTargetSendNothing) {
  ProbePort p;
  // No window and no thread: the hooks do nothing and raise nothing.
  EXPECT_EQ(Raised([&] {
              p.PostNotification(SPN_RECEIVE, 0, true);
              p.PostNotification(SPN_RECEIVE, 0, false);
              p.OnReceive();
              p.OnTxEmpty();
              p.OnRxFlag();
              p.OnSpareEvent1();
              p.OnSpareEvent5();
            }),
            "");
  // Handlers that read the port state need it open.
  SetLastError(0);
  EXPECT_EQ(Raised([&] { p.OnCtsChange(); }), "SP_ASSERT(IsOpen()) failed; SerialPort(946); ");
  EXPECT_EQ(Raised([&] { p.OnLineError(); }), "SP_ASSERT(IsOpen()) failed; SerialPort(995); ");
}

}  // namespace
