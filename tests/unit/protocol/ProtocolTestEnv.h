// A scratch folder for one test: Config.ini and the log live there, and the library's
// folder points at it. Helpers to read back the log and files byte for byte.
#pragma once

#include "ScratchEnv.h"

class ProtocolTestEnv : public ScratchEnv {
 public:
  using ScratchEnv::ScratchEnv;
};
