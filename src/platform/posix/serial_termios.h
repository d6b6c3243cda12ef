// The mapping between a DCB and a termios state: a function of its inputs, with no device
// behind it, kept apart from the descriptor code so that it can be tested on its own.
#pragma once

#include <termios.h>

#include "platform/posix/win32_posix.h"

namespace kvplat {

// The termios speed code of a baud rate; false for a rate the table does not hold.
bool SpeedCode(DWORD baud, speed_t* code);
// The baud rate of a termios speed code; 0 for a code the table does not hold.
DWORD SpeedBaud(speed_t code);

// The DCB that describes a termios state.
void DcbFromTermios(const termios& t, DCB* d);

// Applies a DCB to a termios state, changing only what the DCB decides. False, with *t left
// as it was, for values the line cannot take (the caller reports ERROR_INVALID_PARAMETER).
bool TermiosFromDcb(const DCB& d, termios* t);

// A raw line: no input or output processing, no signals, no echo, 8 data bits, no parity,
// the modem lines ignored, and reads that never wait (time-outs are applied with poll).
void MakeRaw(termios* t);

}  // namespace kvplat
