// The frame assembler on its own (no engine, no port): its named steps, the frame at the front of
// its buffer, the bounded copy of the frame's head the relay takes, and the engine's copy of it
// under the receive lock.
#include <gtest/gtest.h>

#include <string>

#include "EngineTestEnv.h"
#include "engine/FrameAssembler.h"

namespace {

const char kID[] = "123456";

class FrameAssemblerTest : public ::testing::Test {
 protected:
  // Frames are taken only with the current transaction identifier.
  FrameAssemblerTest() : env(EngineIni(2)), assembler(frame) { SetTransID(kID); }
  bool Feed(const std::string& bytes) {
    return assembler.Feed(reinterpret_cast<const unsigned char*>(bytes.data()),
                          static_cast<int>(bytes.size()));
  }
  EngineTestEnv env;
  BTFManager frame;
  FrameAssembler assembler;
};

TEST_F(FrameAssemblerTest, StepsThroughLengthAndBodyToDecoded) {
  const std::string f = WireFrame(ReplyContent("51", "00"), kID);
  EXPECT_EQ(assembler.State(), FrameAssembler::Step::kHunt);
  EXPECT_EQ(assembler.Index(), -1);
  EXPECT_FALSE(Feed("xy"));
  EXPECT_EQ(assembler.State(), FrameAssembler::Step::kHunt);
  EXPECT_FALSE(Feed(f.substr(0, 2)));
  EXPECT_EQ(assembler.State(), FrameAssembler::Step::kLength);
  EXPECT_FALSE(Feed(f.substr(2, 10)));
  EXPECT_EQ(assembler.State(), FrameAssembler::Step::kBody);
  EXPECT_EQ(assembler.Index(), 11);
  EXPECT_TRUE(Feed(f.substr(12)));
  EXPECT_TRUE(assembler.Decoded());
  EXPECT_EQ(assembler.Index(), static_cast<int>(f.size()));
  EXPECT_EQ(AsString(assembler.Frame(), assembler.Index()), f);
  EXPECT_EQ(AsString(frame.GetCont(), frame.GetContLen()), ReplyContent("51", "00"));
}

TEST_F(FrameAssemblerTest, DecodedFrameKeptUntilReset) {
  const std::string first = WireFrame(ReplyContent("51", "00"), kID);
  ASSERT_TRUE(Feed(first));
  EXPECT_FALSE(Feed(WireFrame(ReplyContent("31", "00"), kID)));  // ignored: the first is kept
  EXPECT_EQ(AsString(assembler.Frame(), assembler.Index()), first);
  assembler.Reset();
  EXPECT_EQ(assembler.State(), FrameAssembler::Step::kHunt);
  EXPECT_EQ(assembler.Index(), -1);
  EXPECT_EQ(assembler.Frame()[0], 0);  // the buffer zeroed
  EXPECT_FALSE(assembler.Feed(nullptr, 5));
  EXPECT_TRUE(Feed(WireFrame(ReplyContent("31", "00"), kID)));
}

TEST_F(FrameAssemblerTest, RejectedFrameDroppedAndTheNextTaken) {
  // A whole frame with a wrong LRC, the answer right behind it in the same chunk.
  const std::string good = WireFrame(ReplyContent("51", "00"), kID);
  std::string bad = WireFrame(std::string(52, 'b'), "999999");
  bad[bad.size() - 1] ^= 0x55;  // a wrong LRC
  EXPECT_TRUE(Feed(bad + good));
  EXPECT_EQ(AsString(assembler.Frame(), assembler.Index()), good);
}

TEST_F(FrameAssemblerTest, CopyHeadIsBoundedByTheCallersBuffer) {
  const std::string f = WireFrame(ReplyContent("51", "00"), kID);
  unsigned char head[16];
  EXPECT_EQ(assembler.CopyHead(head, sizeof(head)), 0);  // nothing decoded
  EXPECT_FALSE(Feed(f.substr(0, 40)));
  EXPECT_EQ(assembler.CopyHead(head, sizeof(head)), 0);  // half a frame is no frame
  ASSERT_TRUE(Feed(f.substr(40)));
  unsigned char big[kRecvBufSize + 8];
  memset(big, 0xEE, sizeof(big));
  memcpy(big + 8, "guard---", 8);
  // The whole length told, only 8 bytes copied: the bytes after them untouched.
  EXPECT_EQ(assembler.CopyHead(big, 8), static_cast<int>(f.size()));
  EXPECT_EQ(AsString(big, 8), f.substr(0, 8));
  EXPECT_EQ(AsString(big + 8, 8), "guard---");
  EXPECT_EQ(assembler.CopyHead(big, sizeof(big)), static_cast<int>(f.size()));
  EXPECT_EQ(AsString(big, f.size()), f);
  EXPECT_EQ(big[f.size()], 0xEE);
  EXPECT_EQ(assembler.CopyHead(nullptr, 100), static_cast<int>(f.size()));
  EXPECT_EQ(assembler.CopyHead(big, -1), static_cast<int>(f.size()));
}

TEST(EngineRecvHead, CopiedUnderTheLockAndBounded) {
  EngineTestEnv env(EngineIni(2));
  SetTransID(kID);
  TestComm comm;
  comm.PrepareRequest("50");
  comm.ResetReceive();
  unsigned char head[61];
  EXPECT_EQ(comm.CopyRecvHead(head, sizeof(head)), 0);
  const std::string f = WireFrame(ReplyContent("51", "00"), kID);
  ASSERT_TRUE(comm.Feed(f));
  EXPECT_EQ(comm.CopyRecvHead(head, sizeof(head)), static_cast<int>(f.size()));
  EXPECT_EQ(AsString(head, sizeof(head)), f.substr(0, sizeof(head)));
  comm.ResetReceive();
  EXPECT_EQ(comm.CopyRecvHead(head, sizeof(head)), 0);
}

}  // namespace
