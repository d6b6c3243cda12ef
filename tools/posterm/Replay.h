// Replay of a logged session: the exchanges the library's log recorded (level 4 or more; level 5 adds the
// relay units), so that posterm answers each request as the terminal in the shop did.
#pragma once

#include <string>
#include <vector>

#include "Terminal.h"

namespace posterm {

// Reads the steps from a library log (GBK). False with a message when the log holds no frames. *note:
// what the log's level leaves out ("" when nothing).
bool LoadReplay(const std::string& path, std::vector<ReplayStep>* steps, std::string* err, std::string* note);

}  // namespace posterm
