// Deadline: one bounded wait measured on GetTickCount, so that every loop that waits asks the same
// small type instead of repeating the tick arithmetic. Header-only: it needs nothing but the platform.
//
// The tick counter wraps after 2^32 ms (about 49.7 days); the elapsed time is the unsigned
// difference of two ticks, which is right across the wrap for any wait shorter than that.
#pragma once

#include "platform/platform.h"

class Deadline {
 public:
  // A wait of ms milliseconds from now; INFINITE never expires.
  explicit Deadline(DWORD ms) : Deadline(ms, GetTickCount()) {}
  // The same wait begun at tick startTick (tests give the tick).
  Deadline(DWORD ms, DWORD startTick) : start_(startTick), span_(ms) {}

  // Milliseconds since the wait began.
  DWORD Elapsed() const { return ElapsedAt(GetTickCount()); }
  // Milliseconds left, 0 once expired; INFINITE for a wait without end.
  DWORD Remaining() const { return RemainingAt(GetTickCount()); }
  // The whole wait has gone by (at or past its end).
  bool Expired() const { return ExpiredAt(GetTickCount()); }
  // More than the whole wait has gone by: a wait that still looks once at its very end.
  bool Passed() const { return PassedAt(GetTickCount()); }

  // The same at tick now.
  DWORD ElapsedAt(DWORD now) const { return now - start_; }
  DWORD RemainingAt(DWORD now) const {
    if (span_ == INFINITE) return INFINITE;
    const DWORD elapsed = ElapsedAt(now);
    return elapsed >= span_ ? 0 : span_ - elapsed;
  }
  bool ExpiredAt(DWORD now) const { return span_ != INFINITE && ElapsedAt(now) >= span_; }
  bool PassedAt(DWORD now) const { return span_ != INFINITE && ElapsedAt(now) > span_; }

 private:
  DWORD start_;
  DWORD span_;
};
