// The DCB <-> termios mapping of the POSIX serial device, on its own: no device, only the
// termios states it computes, row by row from a table of line settings.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/posix/serial_termios.h"

namespace {

DCB MakeDcb(DWORD baud, BYTE byteSize, BYTE parity, BYTE stopBits) {
  DCB d;
  memset(&d, 0, sizeof(d));
  d.DCBlength = sizeof(d);
  d.BaudRate = baud;
  d.ByteSize = byteSize;
  d.Parity = parity;
  d.StopBits = stopBits;
  d.fParity = parity != NOPARITY ? 1 : 0;
  return d;
}

termios RawStart() {
  termios t;
  memset(&t, 0, sizeof(t));
  t.c_iflag = ICRNL | IXON | IXANY | INPCK | IGNPAR;
  t.c_cflag = CS7 | PARENB | CSTOPB | CRTSCTS | HUPCL;
  kvplat::MakeRaw(&t);
  return t;
}

constexpr tcflag_t kShape = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;

struct ShapeRow {
  BYTE byteSize, parity, stopBits;
  bool ok;
  tcflag_t cflag;  // the bits of kShape the line gets
  tcflag_t iflag;  // IGNPAR or INPCK
};

const ShapeRow kShapes[] = {
    {8, NOPARITY, ONESTOPBIT, true, CS8, IGNPAR},
    {8, ODDPARITY, ONESTOPBIT, true, CS8 | PARENB | PARODD, INPCK},
    {8, EVENPARITY, ONESTOPBIT, true, CS8 | PARENB, INPCK},
    {8, MARKPARITY, ONESTOPBIT, true, CS8 | PARENB | CMSPAR | PARODD, INPCK},
    {8, SPACEPARITY, ONESTOPBIT, true, CS8 | PARENB | CMSPAR, INPCK},
    {8, 5, ONESTOPBIT, false, 0, 0},
    {7, EVENPARITY, ONESTOPBIT, true, CS7 | PARENB, INPCK},
    {6, NOPARITY, ONESTOPBIT, true, CS6, IGNPAR},
    {5, NOPARITY, ONESTOPBIT, true, CS5, IGNPAR},
    {8, NOPARITY, TWOSTOPBITS, true, CS8 | CSTOPB, IGNPAR},
    {7, ODDPARITY, TWOSTOPBITS, true, CS7 | PARENB | PARODD | CSTOPB, INPCK},
    {6, NOPARITY, TWOSTOPBITS, true, CS6 | CSTOPB, IGNPAR},
    {5, NOPARITY, TWOSTOPBITS, false, 0, 0},  // two stop bits never with 5 data bits
    {5, NOPARITY, ONE5STOPBITS, true, CS5 | CSTOPB, IGNPAR},
    {6, NOPARITY, ONE5STOPBITS, false, 0, 0},  // one and a half only with 5
    {7, NOPARITY, ONE5STOPBITS, false, 0, 0},
    {8, NOPARITY, ONE5STOPBITS, false, 0, 0},
    {8, NOPARITY, 3, false, 0, 0},
    {4, NOPARITY, ONESTOPBIT, false, 0, 0},
    {9, NOPARITY, ONESTOPBIT, false, 0, 0},
};

TEST(TermiosMap, LineShapesAndTheirRoundTrip) {
  for (const ShapeRow& row : kShapes) {
    SCOPED_TRACE(testing::Message() << "bits " << int(row.byteSize) << " parity " << int(row.parity)
                                    << " stop " << int(row.stopBits));
    const DCB d = MakeDcb(9600, row.byteSize, row.parity, row.stopBits);
    termios t = RawStart();
    const termios before = t;
    ASSERT_EQ(kvplat::TermiosFromDcb(d, &t), row.ok);
    if (!row.ok) {
      EXPECT_EQ(memcmp(&t, &before, sizeof(t)), 0);  // a refused DCB leaves the line as it was
      continue;
    }
    EXPECT_EQ(t.c_cflag & kShape, row.cflag);
    EXPECT_EQ(t.c_iflag & (IGNPAR | INPCK), row.iflag);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    DCB back;
    kvplat::DcbFromTermios(t, &back);
    EXPECT_EQ(back.ByteSize, row.byteSize);
    EXPECT_EQ(back.Parity, row.parity);
    EXPECT_EQ(back.StopBits, row.stopBits);
    EXPECT_EQ(back.fParity, d.fParity);
    EXPECT_EQ(back.BaudRate, 9600u);
  }
}

TEST(TermiosMap, StandardBaudRatesOnly) {
  const struct {
    DWORD baud;
    bool ok;
  } rows[] = {{50, true}, {1200, true},  {9600, true},   {19200, true},   {115200, true}, {230400, true},
              {0, false}, {9601, false}, {14400, false}, {128000, false}, {100, false},   {256000, false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.baud);
    termios t = RawStart();
    ASSERT_EQ(kvplat::TermiosFromDcb(MakeDcb(row.baud, 8, NOPARITY, ONESTOPBIT), &t), row.ok);
    speed_t code = 0;
    EXPECT_EQ(kvplat::SpeedCode(row.baud, &code), row.ok);
    if (!row.ok) continue;
    EXPECT_EQ(cfgetospeed(&t), code);
    EXPECT_EQ(cfgetispeed(&t), code);
    EXPECT_EQ(kvplat::SpeedBaud(code), row.baud);
  }
  EXPECT_EQ(kvplat::SpeedBaud(B0), 0u);
}

TEST(TermiosMap, FlowControlFlags) {
  const struct {
    bool ctsFlow;
    DWORD rtsControl;
    bool outX, inX;
    tcflag_t cflag, iflag;  // CRTSCTS; IXON | IXOFF
  } rows[] = {
      {false, RTS_CONTROL_ENABLE, false, false, 0, 0},
      {true, RTS_CONTROL_ENABLE, false, false, CRTSCTS, 0},
      {false, RTS_CONTROL_HANDSHAKE, false, false, CRTSCTS, 0},
      {false, RTS_CONTROL_DISABLE, true, false, 0, IXON},
      {false, RTS_CONTROL_ENABLE, false, true, 0, IXOFF},
      {true, RTS_CONTROL_HANDSHAKE, true, true, CRTSCTS, IXON | IXOFF},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << row.ctsFlow << row.rtsControl << row.outX << row.inX);
    DCB d = MakeDcb(9600, 8, NOPARITY, ONESTOPBIT);
    d.fOutxCtsFlow = row.ctsFlow ? 1 : 0;
    d.fRtsControl = row.rtsControl;
    d.fOutX = row.outX ? 1 : 0;
    d.fInX = row.inX ? 1 : 0;
    termios t = RawStart();
    ASSERT_TRUE(kvplat::TermiosFromDcb(d, &t));
    EXPECT_EQ(t.c_cflag & CRTSCTS, row.cflag);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), row.iflag);
    DCB back;
    kvplat::DcbFromTermios(t, &back);
    EXPECT_EQ(back.fOutxCtsFlow, row.cflag != 0 ? 1u : 0u);
    EXPECT_EQ(back.fRtsControl, row.cflag != 0 ? DWORD{RTS_CONTROL_HANDSHAKE} : DWORD{RTS_CONTROL_ENABLE});
    EXPECT_EQ(back.fOutX, row.outX ? 1u : 0u);
    EXPECT_EQ(back.fInX, row.inX ? 1u : 0u);
  }
}

TEST(TermiosMap, XonXoffCharactersOnlyWhenTwoDistinctOnesAreGiven) {
  termios t = RawStart();
  const cc_t start = t.c_cc[VSTART];
  const cc_t stop = t.c_cc[VSTOP];
  DCB d = MakeDcb(9600, 8, NOPARITY, ONESTOPBIT);
  d.XonChar = 0x11;
  d.XoffChar = 0x11;
  ASSERT_TRUE(kvplat::TermiosFromDcb(d, &t));
  EXPECT_EQ(t.c_cc[VSTART], start);
  EXPECT_EQ(t.c_cc[VSTOP], stop);
  d.XonChar = 0x01;
  d.XoffChar = 0x02;
  ASSERT_TRUE(kvplat::TermiosFromDcb(d, &t));
  EXPECT_EQ(t.c_cc[VSTART], 0x01);
  EXPECT_EQ(t.c_cc[VSTOP], 0x02);
}

TEST(TermiosMap, RawLineKeepsEveryByteAndNeverWaits) {
  const termios t = RawStart();
  EXPECT_EQ(t.c_iflag & (ICRNL | IGNCR | INLCR | ISTRIP | IXON | IXOFF | INPCK | BRKINT | PARMRK | IGNBRK),
            0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | HUPCL | CLOCAL | CREAD),
            static_cast<tcflag_t>(CS8 | CLOCAL | CREAD));
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(t.c_cc[VTIME], 0);
}

}  // namespace
