#include "memory_pool.h"

#include <cstdlib>
#include <cstring>
#include <iterator>

namespace quorvane_capture {

MyMemoryAllocator::MyMemoryAllocator(uint64_t frameSize, uint64_t memorySize)
    : hMutexList(nullptr), hMutexUsage(nullptr), usedSize(0), totalSize(0), blockSize(0),
      blockCount(0) {
  blockSize = kMaxBlockSize - (kMaxBlockSize % frameSize);
  blockCount = memorySize / blockSize;
  if (blockCount == 0) blockCount = 1;
  totalSize = blockCount * blockSize;
  hMutexList = platform::createMutex();
  hMutexUsage = platform::createMutex();
  blocks.reserve(static_cast<size_t>(blockCount));
  for (uint64_t i = 0; i < blockCount; ++i) {
    auto* address = static_cast<uint8_t*>(malloc(static_cast<size_t>(blockSize)));
    if (address == nullptr) {
      blockCount = i;
      totalSize = i * blockSize;
      break;
    }
    // Touching every page now keeps page faults out of the recording.
    memset(address, 0, static_cast<size_t>(blockSize));
    blocks.push_back(MyMemoryBlock{address, {{address, blockSize}}, {}});
  }
}

MyMemoryAllocator::~MyMemoryAllocator() {
  for (MyMemoryBlock& block : blocks) free(block.address);
  platform::closeMutex(hMutexList);
  platform::closeMutex(hMutexUsage);
}

void MyMemoryAllocator::addUsage(int64_t delta) {
  platform::MutexLock lock(hMutexUsage);
  usedSize += static_cast<uint64_t>(delta);
}

uint64_t MyMemoryAllocator::getUsedSize() {
  platform::MutexLock lock(hMutexUsage);
  return usedSize;
}

uint8_t* MyMemoryAllocator::allocateFromTop(uint64_t n) {
  if (n == 0) return nullptr;
  platform::MutexLock lock(hMutexList);
  for (auto block = blocks.rbegin(); block != blocks.rend(); ++block) {
    for (auto element = block->freeList.rbegin(); element != block->freeList.rend(); ++element) {
      if (element->size < n) continue;
      addUsage(static_cast<int64_t>(n));
      uint8_t* range;
      if (element->size == n) {
        range = element->pointer;
        block->freeList.erase(std::next(element).base());
      } else {
        element->size -= n;
        range = element->pointer + element->size;
      }
      block->usedList.push_back({range, n});
      return range;
    }
  }
  return nullptr;
}

uint8_t* MyMemoryAllocator::allocateFromBottom(uint64_t n) {
  if (n == 0) return nullptr;
  platform::MutexLock lock(hMutexList);
  for (MyMemoryBlock& block : blocks) {
    for (auto element = block.freeList.begin(); element != block.freeList.end(); ++element) {
      if (element->size < n) continue;
      addUsage(static_cast<int64_t>(n));
      uint8_t* range = element->pointer;
      if (element->size == n) {
        block.freeList.erase(element);
      } else {
        element->pointer += n;
        element->size -= n;
      }
      block.usedList.push_back({range, n});
      return range;
    }
  }
  return nullptr;
}

MyMemoryBlock* MyMemoryAllocator::blockHolding(const uint8_t* p) {
  for (auto block = blocks.rbegin(); block != blocks.rend(); ++block) {
    if (p >= block->address && p < block->address + blockSize) return &*block;
  }
  return nullptr;
}

void MyMemoryAllocator::shrink(uint8_t* p, uint64_t n) {
  uint64_t oldSize = 0;
  {
    platform::MutexLock lock(hMutexList);
    MyMemoryBlock* block = blockHolding(p);
    if (block == nullptr) return;
    for (MyMemoryElement& element : block->usedList) {
      if (element.pointer != p) continue;
      if (n >= element.size) return;
      oldSize = element.size;
      element.size = n;
      break;
    }
  }
  if (oldSize != 0) release(p + n, oldSize - n);
}

void MyMemoryAllocator::release(uint8_t* p, uint64_t n) {
  platform::MutexLock lock(hMutexList);
  MyMemoryBlock* block = blockHolding(p);
  if (block == nullptr) return;
  if (n == 0) {
    auto element = block->usedList.begin();
    while (element != block->usedList.end() && element->pointer != p) ++element;
    if (element == block->usedList.end()) return;
    n = element->size;
    block->usedList.erase(element);
  }
  addUsage(-static_cast<int64_t>(n));
  insertFree(*block, p, n);
}

void MyMemoryAllocator::insertFree(MyMemoryBlock& block, uint8_t* p, uint64_t n) {
  auto& freeList = block.freeList;
  if (freeList.empty()) {
    freeList.push_back({p, n});
    return;
  }
  // From the tail towards the head: released ranges are usually near the top.
  auto element = std::prev(freeList.end());
  for (;;) {
    if (p + n == element->pointer) {
      element->pointer = p;
      element->size += n;
      if (element != freeList.begin()) {
        auto before = std::prev(element);
        if (before->pointer + before->size == p) {
          before->size += element->size;
          freeList.erase(element);
        }
      }
      return;
    }
    if (element->pointer + element->size == p) {
      element->size += n;
      return;
    }
    if (p > element->pointer + element->size) {
      freeList.insert(std::next(element), {p, n});
      return;
    }
    if (element == freeList.begin()) {
      freeList.insert(element, {p, n});
      return;
    }
    --element;
  }
}

}  // namespace quorvane_capture
