// The mapping between a DCB and a termios state. Only what the DCB decides is changed; the
// raw settings of MakeRaw stay as they are under any DCB.
#include "platform/posix/serial_termios.h"

#include <cstring>

namespace kvplat {
namespace {

struct SpeedEntry {
  DWORD baud;
  speed_t code;
};

const SpeedEntry kSpeeds[] = {
    {50, B50},           {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},         {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},       {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600},     {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

}  // namespace

bool SpeedCode(DWORD baud, speed_t* code) {
  for (const SpeedEntry& e : kSpeeds) {
    if (e.baud == baud) {
      *code = e.code;
      return true;
    }
  }
  return false;
}

DWORD SpeedBaud(speed_t code) {
  for (const SpeedEntry& e : kSpeeds) {
    if (e.code == code) return e.baud;
  }
  return 0;
}

void DcbFromTermios(const termios& t, DCB* d) {
  memset(d, 0, sizeof(*d));
  d->DCBlength = sizeof(DCB);
  d->BaudRate = SpeedBaud(cfgetospeed(&t));
  d->fBinary = 1;
  d->fParity = (t.c_iflag & INPCK) ? 1 : 0;
  d->fOutxCtsFlow = (t.c_cflag & CRTSCTS) ? 1 : 0;
  d->fDtrControl = DTR_CONTROL_ENABLE;
  d->fRtsControl = (t.c_cflag & CRTSCTS) ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  d->fOutX = (t.c_iflag & IXON) ? 1 : 0;
  d->fInX = (t.c_iflag & IXOFF) ? 1 : 0;
  d->XonLim = 2048;
  d->XoffLim = 512;
  switch (t.c_cflag & CSIZE) {
    case CS5:
      d->ByteSize = 5;
      break;
    case CS6:
      d->ByteSize = 6;
      break;
    case CS7:
      d->ByteSize = 7;
      break;
    default:
      d->ByteSize = 8;
      break;
  }
  if (!(t.c_cflag & PARENB)) {
    d->Parity = NOPARITY;
  } else if (t.c_cflag & CMSPAR) {
    d->Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
  } else {
    d->Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
  }
  if (t.c_cflag & CSTOPB) {
    d->StopBits = (d->ByteSize == 5) ? ONE5STOPBITS : TWOSTOPBITS;
  } else {
    d->StopBits = ONESTOPBIT;
  }
  d->XonChar = static_cast<char>(t.c_cc[VSTART]);
  d->XoffChar = static_cast<char>(t.c_cc[VSTOP]);
}

bool TermiosFromDcb(const DCB& d, termios* t) {
  if (d.ByteSize < 5 || d.ByteSize > 8 || d.Parity > SPACEPARITY || d.StopBits > TWOSTOPBITS) {
    return false;
  }
  // As on Windows: one and a half stop bits only with 5 data bits, two never with 5.
  if ((d.StopBits == ONE5STOPBITS) != (d.ByteSize == 5 && d.StopBits != ONESTOPBIT)) {
    return false;
  }
  speed_t speed;
  if (!SpeedCode(d.BaudRate, &speed)) {
    return false;
  }
  t->c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  t->c_cflag |= (d.ByteSize == 5) ? CS5 : (d.ByteSize == 6) ? CS6 : (d.ByteSize == 7) ? CS7 : CS8;
  switch (d.Parity) {
    case ODDPARITY:
      t->c_cflag |= PARENB | PARODD;
      break;
    case EVENPARITY:
      t->c_cflag |= PARENB;
      break;
    case MARKPARITY:
      t->c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case SPACEPARITY:
      t->c_cflag |= PARENB | CMSPAR;
      break;
    default:
      break;
  }
  if (d.StopBits != ONESTOPBIT) t->c_cflag |= CSTOPB;
  if (d.fOutxCtsFlow || d.fRtsControl == RTS_CONTROL_HANDSHAKE) t->c_cflag |= CRTSCTS;
  t->c_cflag |= CLOCAL | CREAD;
  t->c_iflag &= ~(INPCK | IGNPAR | IXON | IXOFF | IXANY);
  if (d.Parity == NOPARITY) {
    t->c_iflag |= IGNPAR;
  } else if (d.fParity) {
    t->c_iflag |= INPCK;
  }
  if (d.fOutX) t->c_iflag |= IXON;
  if (d.fInX) t->c_iflag |= IXOFF;
  if (d.XonChar != 0 && d.XoffChar != 0 && d.XonChar != d.XoffChar) {
    t->c_cc[VSTART] = static_cast<cc_t>(d.XonChar);
    t->c_cc[VSTOP] = static_cast<cc_t>(d.XoffChar);
  }
  cfsetispeed(t, speed);
  cfsetospeed(t, speed);
  return true;
}

void MakeRaw(termios* t) {
  t->c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK);
#ifdef IUCLC
  t->c_iflag &= ~IUCLC;
#endif
  t->c_oflag &= ~OPOST;
  t->c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
  t->c_cflag &= ~(HUPCL | CSIZE | PARENB);
  t->c_cflag |= CS8 | CLOCAL | CREAD;
  t->c_cc[VMIN] = 0;
  t->c_cc[VTIME] = 0;
}

}  // namespace kvplat
