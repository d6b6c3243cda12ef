// The transaction identifier shared by every frame of one transaction.
#include "protocol/TransID.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/platform.h"

namespace {

// Six characters and a terminator; six zero bytes until the first handshake.
char g_szTransID[kTransIDLen + 1];
std::mutex g_mtxTransID;

}  // namespace

void NewTransID() {
  SYSTEMTIME st;
  GetLocalTime(&st);
  char szID[16];
  snprintf(szID, sizeof(szID), "%02u%02u%02u", static_cast<unsigned>(st.wMinute % 100u),
           static_cast<unsigned>(st.wSecond % 100u), static_cast<unsigned>((st.wMilliseconds / 10u) % 100u));
  std::lock_guard<std::mutex> lock(g_mtxTransID);
  memcpy(g_szTransID, szID, kTransIDLen);
  g_szTransID[kTransIDLen] = '\0';
}

void GetTransID(char* out, size_t size) {
  if (out == nullptr || size == 0) return;
  std::lock_guard<std::mutex> lock(g_mtxTransID);
  size_t n = size - 1 < static_cast<size_t>(kTransIDLen) ? size - 1 : static_cast<size_t>(kTransIDLen);
  memcpy(out, g_szTransID, n);
  out[n] = '\0';
}

void SetTransID(const char* id) {
  char szID[kTransIDLen + 1] = {0};
  if (id != nullptr) {
    for (int i = 0; i < kTransIDLen && id[i] != '\0'; ++i) szID[i] = id[i];
  }
  std::lock_guard<std::mutex> lock(g_mtxTransID);
  memcpy(g_szTransID, szID, sizeof(g_szTransID));
}
