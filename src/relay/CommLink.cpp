#include "relay/CommLink.h"

#include "engine/MyComm.h"

DWORD RelayWriteToPort(MyComm* comm, const void* data, DWORD length) {
  return comm != nullptr ? comm->WriteToPort(data, length) : 0;
}

void RelayGetRecvData(MyComm* comm, unsigned char** data, int* length) {
  if (comm != nullptr) {
    comm->GetRecvData(data, length);
  } else {
    if (data != nullptr) *data = nullptr;
    if (length != nullptr) *length = 0;
  }
}

void RelayResetReceive(MyComm* comm) {
  if (comm != nullptr) comm->ResetReceive();
}
