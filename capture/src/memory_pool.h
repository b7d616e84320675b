// The frame memory pool: all picture and sound data of a recording lives in a few large heap
// blocks reserved before the recording starts, so the capture loop never calls the heap.
#ifndef QUORVANE_MEMORY_POOL_H
#define QUORVANE_MEMORY_POOL_H

#include <cstdint>
#include <list>
#include <vector>

#include "platform.h"

namespace quorvane_capture {

struct MyMemoryElement {
  uint8_t* pointer;
  uint64_t size;
};

struct MyMemoryBlock {
  uint8_t* address;
  std::list<MyMemoryElement> freeList;  // ascending addresses, never touching or overlapping
  std::list<MyMemoryElement> usedList;  // in the order handed out
};

// A sound chunk (or any pool range) with its length.
struct POINTER_AND_SIZE {
  uint8_t* pointer;
  uint64_t size;
};

// Largest block: frames never straddle blocks, so a block holds a whole number of them.
constexpr uint64_t kMaxBlockSize = 104857600;

class MyMemoryAllocator {
 public:
  // frameSize must be between 1 and kMaxBlockSize. Blocks the heap cannot supply are left out.
  MyMemoryAllocator(uint64_t frameSize, uint64_t memorySize);
  ~MyMemoryAllocator();
  MyMemoryAllocator(const MyMemoryAllocator&) = delete;
  MyMemoryAllocator& operator=(const MyMemoryAllocator&) = delete;

  // Large raw pictures: from the high end of the high blocks. Null when nothing fits.
  uint8_t* allocateFromTop(uint64_t n);
  // Compressed frames and sound: from the low end of the low blocks. Null when nothing fits.
  uint8_t* allocateFromBottom(uint64_t n);
  // Cuts the range handed out at p down to n bytes; the tail goes back to the pool.
  void shrink(uint8_t* p, uint64_t n);
  // Gives [p, p + n) back; n = 0 gives back the whole range handed out at p. A start that the
  // pool did not hand out changes nothing.
  void release(uint8_t* p, uint64_t n = 0);

  uint64_t getUsedSize();  // under hMutexUsage

  platform::Mutex hMutexList;
  platform::Mutex hMutexUsage;
  uint64_t usedSize;
  uint64_t totalSize;
  uint64_t blockSize;
  uint64_t blockCount;
  std::vector<MyMemoryBlock> blocks;

 private:
  MyMemoryBlock* blockHolding(const uint8_t* p);
  void addUsage(int64_t delta);
  void insertFree(MyMemoryBlock& block, uint8_t* p, uint64_t n);
};

}  // namespace quorvane_capture

#endif
