// ChainBuffer: a queue of bytes in a singly linked chain of blocks, with its own lock.
//
// Bytes are added at the tail block and taken from the head block. An emptied head block
// is released when another follows; the last block is kept for reuse when its capacity is
// at most four block sizes. Read, TailRoom, TailData, Commit, FrontLength and FrontData
// expect the caller to hold the lock (Lock/Unlock or ChainBuffer::Guard); Size and Clear
// take it themselves. The lock is recursive.
#pragma once

#include "platform/platform.h"

class ChainBuffer {
 public:
  struct Block {
    DWORD start;     // offset of the first unread byte
    DWORD end;       // offset one past the last written byte
    DWORD capacity;  // size of the data area
    Block* next;     // following block, or none
    BYTE* data() { return reinterpret_cast<BYTE*>(this + 1); }
    const BYTE* data() const { return reinterpret_cast<const BYTE*>(this + 1); }
  };

  // Holds the buffer's lock for a scope.
  class Guard {
   public:
    explicit Guard(ChainBuffer& b) : b_(b) { b_.Lock(); }
    ~Guard() { b_.Unlock(); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

   private:
    ChainBuffer& b_;
  };

  explicit ChainBuffer(DWORD blockSize = 1024);
  virtual ~ChainBuffer();
  ChainBuffer(const ChainBuffer&) = delete;
  ChainBuffer& operator=(const ChainBuffer&) = delete;

  void Lock();
  void Unlock();

  // Appends a block of capacity max(n, block size); none if the allocation fails.
  Block* AddBlock(DWORD n);
  // Free room of the tail block (0 without blocks) and the address of its first free byte.
  DWORD TailRoom() const;
  BYTE* TailData();
  // The tail block's end and the size grow by n (at most the tail's free room).
  void Commit(DWORD n);
  // Takes up to n bytes from the front, copying them to dest unless it is null.
  DWORD Read(void* dest, DWORD n);
  // Unread bytes of the head block and their address (null without blocks).
  DWORD FrontLength() const;
  const BYTE* FrontData() const;
  // Unread bytes; takes the lock.
  DWORD Size();
  // Discards everything; takes the lock.
  void Clear();

  // Number of blocks held (tests and diagnostics); call with the lock held.
  DWORD BlockCount() const;
  DWORD BlockSize() const { return blockSize_; }

 private:
  void ReleaseAll();

  Block* head_ = nullptr;
  Block* tail_ = nullptr;
  DWORD size_ = 0;
  DWORD blockSize_;
  CRITICAL_SECTION lock_;
};
