// The texts the library writes (GBK, as this file is compiled) read as the log reader matches them
// (UTF-8): every text of log/Messages.h converts to its KV_U8 form.
#include <gtest/gtest.h>

#include "Records.h"
#include "log/Messages.h"

namespace {

TEST(Messages, WrittenTextsReadAsTheReaderMatchesThem) {
  const char* const written[][2] = {
      {KV_MSG_REQUEST_RECORD, KV_U8(KV_MSG_REQUEST_RECORD)},
      {KV_MSG_SENT, KV_U8(KV_MSG_SENT)},
      {KV_MSG_ANSWER, KV_U8(KV_MSG_ANSWER)},
      {KV_MSG_TO_HOST, KV_U8(KV_MSG_TO_HOST)},
      {KV_MSG_FROM_HOST, KV_U8(KV_MSG_FROM_HOST)},
      {KV_MSG_RECEIVED_CHUNK, KV_U8(KV_MSG_RECEIVED_CHUNK)},
      {KV_MSG_DETAIL_TAIL, KV_U8(KV_MSG_DETAIL_TAIL)},
      {KV_MSG_OPEN_COM, KV_U8(KV_MSG_OPEN_COM)},
      {KV_MSG_TIMED_OUT, KV_U8(KV_MSG_TIMED_OUT)},
      {KV_MSG_BAD_TYPE, KV_U8(KV_MSG_BAD_TYPE)},
      {KV_MSG_WRITE_FAILED, KV_U8(KV_MSG_WRITE_FAILED)},
      {KV_MSG_ABANDONED, KV_U8(KV_MSG_ABANDONED)},
      {KV_MSG_RELAY_AUDIT, KV_U8(KV_MSG_RELAY_AUDIT)},
      {KV_MSG_AUDIT_RESULT, KV_U8(KV_MSG_AUDIT_RESULT)},
      {KV_MSG_REPLIED, KV_U8(KV_MSG_REPLIED)},
  };
  for (const auto& w : written) {
    EXPECT_NE(std::string(w[0]), w[1]) << "not compiled to GBK: " << w[1];
    EXPECT_EQ(w[1], korvessa::FromGbk(w[0], "UTF-8"));
  }
}

}  // namespace
