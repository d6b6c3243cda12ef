#include "serial/ChainBuffer.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

ChainBuffer::ChainBuffer(DWORD blockSize) : blockSize_(blockSize != 0 ? blockSize : 1) {
  InitializeCriticalSection(&lock_);
}

ChainBuffer::~ChainBuffer() {
  ReleaseAll();
  DeleteCriticalSection(&lock_);
}

void ChainBuffer::Lock() { EnterCriticalSection(&lock_); }

void ChainBuffer::Unlock() { LeaveCriticalSection(&lock_); }

ChainBuffer::Block* ChainBuffer::AddBlock(DWORD n) {
  const DWORD capacity = n > blockSize_ ? n : blockSize_;
  // Only where size_t has 32 bits can the block size overflow.
  if (static_cast<size_t>(capacity) > SIZE_MAX - sizeof(Block)) return nullptr;
  void* mem = malloc(sizeof(Block) + capacity);
  if (mem == nullptr) return nullptr;
  Block* b = static_cast<Block*>(mem);
  b->start = 0;
  b->end = 0;
  b->capacity = capacity;
  b->next = nullptr;
  if (tail_ != nullptr) {
    tail_->next = b;
  } else {
    head_ = b;
  }
  tail_ = b;
  return b;
}

DWORD ChainBuffer::TailRoom() const { return tail_ != nullptr ? tail_->capacity - tail_->end : 0; }

BYTE* ChainBuffer::TailData() { return tail_ != nullptr ? tail_->data() + tail_->end : nullptr; }

void ChainBuffer::Commit(DWORD n) {
  const DWORD room = TailRoom();
  if (n > room) n = room;
  if (n == 0) return;
  tail_->end += n;
  size_ += n;
}

DWORD ChainBuffer::Read(void* dest, DWORD n) {
  BYTE* out = static_cast<BYTE*>(dest);
  DWORD taken = 0;
  while (taken < n && head_ != nullptr) {
    Block* b = head_;
    DWORD avail = b->end - b->start;
    DWORD take = n - taken < avail ? n - taken : avail;
    if (out != nullptr && take != 0) memcpy(out + taken, b->data() + b->start, take);
    taken += take;
    if (take < avail) {
      b->start += take;
      break;
    }
    // Block emptied.
    if (b->next != nullptr) {
      head_ = b->next;
      free(b);
    } else if (b->capacity <= 4 * blockSize_) {
      b->start = 0;
      b->end = 0;
      break;
    } else {
      free(b);
      head_ = nullptr;
      tail_ = nullptr;
    }
  }
  size_ -= taken;
  return taken;
}

DWORD ChainBuffer::FrontLength() const { return head_ != nullptr ? head_->end - head_->start : 0; }

const BYTE* ChainBuffer::FrontData() const {
  return head_ != nullptr ? head_->data() + head_->start : nullptr;
}

DWORD ChainBuffer::Size() {
  Guard g(*this);
  return size_;
}

void ChainBuffer::Clear() {
  Guard g(*this);
  // Everything goes; the last block is kept for reuse on the same terms as in Read.
  Read(nullptr, size_);
  // Blocks left without unread bytes (for instance a full head before an empty tail) go too.
  while (head_ != nullptr && head_ != tail_) {
    Block* b = head_;
    head_ = b->next;
    free(b);
  }
  if (head_ != nullptr) {
    head_->start = 0;
    head_->end = 0;
    if (head_->capacity > 4 * blockSize_) {
      free(head_);
      head_ = nullptr;
      tail_ = nullptr;
    }
  }
  size_ = 0;
}

DWORD ChainBuffer::BlockCount() const {
  DWORD n = 0;
  for (const Block* b = head_; b != nullptr; b = b->next) ++n;
  return n;
}

void ChainBuffer::ReleaseAll() {
  while (head_ != nullptr) {
    Block* b = head_;
    head_ = b->next;
    free(b);
  }
  tail_ = nullptr;
  size_ = 0;
}
