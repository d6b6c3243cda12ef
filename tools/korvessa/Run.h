// The register's call while it runs: on a worker thread, with its progress shown on this one, Ctrl-C as an
// abandon and SIGTERM as the register being closed. Separate from the options and the output because it
// owns the process's signal handlers for the call's length.
#pragma once

#include <functional>

#include "Library.h"

namespace korvessa {

// Runs call on a worker thread and, on this one, shows its progress as the library reports it (GetValue
// "state", "stateSeconds", "stateHost": answered at once while the call runs) on standard error: one line
// updated in place on a terminal, a line per step with lines (else nothing off a terminal), nothing when
// quiet. A first Ctrl-C asks the library to abandon the wait; SIGTERM ends the process (status 2).
void RunWithProgress(const Library& lib, bool quiet, bool lines, const std::function<void()>& call);

}  // namespace korvessa
