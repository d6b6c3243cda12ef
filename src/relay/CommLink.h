// What the relay asks of the transaction engine: the frame it has just assembled, the reset of
// its receive state, and the write of a reply to the terminal. Kept to these three calls so the
// relay depends on nothing else of the engine.
#pragma once

#include "platform/platform.h"

class MyComm;

// MyComm::WriteToPort: the count written, 0 on failure.
DWORD RelayWriteToPort(MyComm* comm, const void* data, DWORD length);
// MyComm::GetRecvData: the assembly buffer and the byte count of the frame just decoded.
void RelayGetRecvData(MyComm* comm, unsigned char** data, int* length);
// MyComm::ResetReceive.
void RelayResetReceive(MyComm* comm);
