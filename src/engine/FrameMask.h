// Where the records and frames that the engine writes to the log hold card numbers, as masks
// for the hex dump (base/CardMask.h). Kept apart from MyComm so the export code uses the same.
#pragma once

#include "base/CardMask.h"

// The request record: its cardNumber field (offset 84).
DumpMask RequestRecordMask();
// An encoded request frame of `len` bytes: the card number of types "62", "64" and "66"
// (content 72..90); for type "06", any card number in the print text after the 100-byte
// content. Other types carry none.
DumpMask RequestFrameMask(const unsigned char* frame, int len);
// An encoded answer frame: its cardNumber field (content 104..122).
DumpMask AnswerFrameMask();
