// The transaction identifier: six digits from the local clock (minute, second,
// hundredths), drawn at the start of every handshake and carried by every frame of
// that transaction, for the terminal and for the host answers.
//
// The identifier is written on the caller's thread (the handshake) and read on the
// serial watch thread (the frame check) and the relay thread (host answers), so it is
// only reached through these functions, which take a lock.
#pragma once

#include <cstddef>

// Length of the identifier in characters (the buffers hold one more for the terminator).
constexpr int kTransIDLen = 6;

// Draws a new identifier from the local time: "%02u%02u%02u" of minute, second and
// milliseconds / 10, so 000000 to 595999.
void NewTransID();

// Copies the current identifier and a terminator into `out` (at least 7 bytes). Before
// the first NewTransID the identifier is six zero bytes (an empty text).
void GetTransID(char* out, size_t size);

// Sets the identifier to the first six characters of `id` (missing ones become zero
// bytes). For tests and tools that need a known identifier.
void SetTransID(const char* id);
