#include <gtest/gtest.h>

#include <cstring>

#include "serial/ChainBuffer.h"

namespace {

// Adds `n` bytes counting up from `first` in a block of its own.
void AddBytes(ChainBuffer& b, DWORD capacity, DWORD n, BYTE first) {
  ChainBuffer::Guard g(b);
  ASSERT_NE(b.AddBlock(capacity), nullptr);
  BYTE* p = b.TailData();
  for (DWORD i = 0; i < n; ++i) p[i] = static_cast<BYTE>(first + i);
  b.Commit(n);
}

TEST(ChainBuffer, ReadAcrossBlocksReleasesTheEmptiedHead) {
  ChainBuffer b(4);  // block size 4, so the blocks are exactly as large as asked
  AddBytes(b, 4, 4, 0x10);
  AddBytes(b, 8, 8, 0x20);
  ASSERT_EQ(b.Size(), 12u);
  BYTE out[10];
  ChainBuffer::Guard g(b);
  ASSERT_EQ(b.Read(out, 10), 10u);
  const BYTE want[10] = {0x10, 0x11, 0x12, 0x13, 0x20, 0x21, 0x22, 0x23, 0x24, 0x25};
  EXPECT_EQ(memcmp(out, want, 10), 0);
  EXPECT_EQ(b.BlockCount(), 1u);
  EXPECT_EQ(b.FrontLength(), 2u);
  EXPECT_EQ(b.FrontData()[0], 0x26);
  EXPECT_EQ(b.Size(), 2u);
}

TEST(ChainBuffer, EmptiedLastBlockKeptUpToFourBlockSizes) {
  ChainBuffer keep(1024);
  AddBytes(keep, 4096, 10, 1);
  {
    ChainBuffer::Guard g(keep);
    EXPECT_EQ(keep.Read(nullptr, 100), 10u);
    EXPECT_EQ(keep.BlockCount(), 1u);
    EXPECT_EQ(keep.TailRoom(), 4096u);  // reset for reuse
  }
  ChainBuffer drop(1024);
  AddBytes(drop, 4097, 10, 1);
  ChainBuffer::Guard g(drop);
  EXPECT_EQ(drop.Read(nullptr, 10), 10u);
  EXPECT_EQ(drop.BlockCount(), 0u);
  EXPECT_EQ(drop.TailRoom(), 0u);
  EXPECT_EQ(drop.TailData(), nullptr);
  EXPECT_EQ(drop.FrontData(), nullptr);
}

TEST(ChainBuffer, AddBlockTakesAtLeastTheBlockSizeAndCommitIsBounded) {
  ChainBuffer b(1024);
  ChainBuffer::Guard g(b);
  ASSERT_NE(b.AddBlock(10), nullptr);
  EXPECT_EQ(b.TailRoom(), 1024u);
  b.Commit(5000);  // more than the room: only the room is taken
  EXPECT_EQ(b.Size(), 1024u);
  EXPECT_EQ(b.TailRoom(), 0u);
  ASSERT_NE(b.AddBlock(3000), nullptr);
  EXPECT_EQ(b.TailRoom(), 3000u);
  EXPECT_EQ(b.BlockCount(), 2u);
}

TEST(ChainBuffer, ClearEmptiesEverything) {
  ChainBuffer b(16);
  AddBytes(b, 16, 16, 0);
  AddBytes(b, 16, 3, 0);
  b.Clear();
  EXPECT_EQ(b.Size(), 0u);
  ChainBuffer::Guard g(b);
  EXPECT_EQ(b.FrontLength(), 0u);
  BYTE out[4];
  EXPECT_EQ(b.Read(out, 4), 0u);
  EXPECT_LE(b.BlockCount(), 1u);
}

TEST(ChainBuffer, PartialReadsKeepOrder) {
  ChainBuffer b(4);
  AddBytes(b, 4, 4, 0);
  AddBytes(b, 4, 4, 4);
  AddBytes(b, 4, 4, 8);
  ChainBuffer::Guard g(b);
  BYTE out[12];
  DWORD at = 0;
  const DWORD steps[] = {3, 1, 5, 2, 7};
  for (DWORD s : steps) at += b.Read(out + at, s < 12 - at ? s : 12 - at);
  ASSERT_EQ(at, 12u);
  for (DWORD i = 0; i < 12; ++i) EXPECT_EQ(out[i], i);
  EXPECT_EQ(b.Size(), 0u);
  EXPECT_EQ(b.Read(out, 1), 0u);
}

}  // namespace
