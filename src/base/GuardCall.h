// The one way an exception is stopped at a boundary where nothing above would catch it: the
// exported functions (the register's own thread) and the port's and relay's worker threads.
#pragma once

// fn()'s result; when fn throws anything, onError()'s instead. onError runs in the handler, as a
// hand-written catch block would: what it throws goes on to the caller.
template <typename Fn, typename OnError>
auto GuardCall(Fn&& fn, OnError&& onError) -> decltype(fn()) {
  try {
    return fn();
  } catch (...) {
    return onError();
  }
}

// fn(), with whatever it throws dropped: for the clean-up steps whose failure changes nothing
// (closing a port that already failed, a purge after the outcome is known).
template <typename Fn>
void IgnoreFailure(Fn&& fn) {
  GuardCall([&fn] { fn(); }, [] {});
}
