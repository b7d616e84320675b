#include "memory_pool.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "files.h"

namespace quorvane_capture {

void RangeList::insertBefore(Node* at, Node* node) {
  node->next = at;
  node->previous = at != nullptr ? at->previous : tail;
  if (node->previous != nullptr) {
    node->previous->next = node;
  } else {
    head = node;
  }
  if (at != nullptr) {
    at->previous = node;
  } else {
    tail = node;
  }
  ++count;
}

void RangeList::unlink(Node* node) {
  if (node->previous != nullptr) {
    node->previous->next = node->next;
  } else {
    head = node->next;
  }
  if (node->next != nullptr) {
    node->next->previous = node->previous;
  } else {
    tail = node->previous;
  }
  node->previous = node->next = nullptr;
  --count;
}

uint64_t MyMemoryAllocator::cappedBudget(uint64_t memorySize, uint64_t machineBytes) {
  // A pool is zero-filled when it is built: a budget near the machine's size would push
  // everything else out of memory before the first frame. Half of it is the most we take.
  if (machineBytes != 0 && memorySize > machineBytes / 2) return machineBytes / 2;
  return memorySize;
}

MyMemoryAllocator::MyMemoryAllocator(uint64_t frameSize, uint64_t memorySize)
    : MyMemoryAllocator(frameSize, memorySize, platform::physicalMemoryBytes()) {}

MyMemoryAllocator::MyMemoryAllocator(uint64_t frameSize, uint64_t memorySize, uint64_t machineBytes)
    : hMutexList(nullptr),
      hMutexUsage(nullptr),
      usedSize(0),
      totalSize(0),
      blockSize(0),
      blockCount(0) {
  if (frameSize == 0 || frameSize > kMaxBlockSize) frameSize = kMaxBlockSize;
  blockSize = kMaxBlockSize - (kMaxBlockSize % frameSize);
  uint64_t wanted = cappedBudget(memorySize, machineBytes) / blockSize;
  if (wanted == 0) wanted = 1;
  hMutexList = platform::createMutex();
  hMutexUsage = platform::createMutex();
  // Nothing may throw out of here (Initialize runs under an exported function): storage that
  // cannot be had makes a smaller pool.
  try {
    blocks.reserve(static_cast<size_t>(wanted));
    for (uint64_t i = 0; i < wanted; ++i) {
      auto* address = static_cast<uint8_t*>(malloc(static_cast<size_t>(blockSize)));
      if (address == nullptr) break;
      // Touching every page now keeps page faults out of the recording.
      memset(address, 0, static_cast<size_t>(blockSize));
      blocks.push_back(MyMemoryBlock{address, {}, {}});
    }
    const size_t nodes = blocks.size() * static_cast<size_t>(blockSize / kBytesPerRangeNode + 2);
    nodeStore_.resize(nodes);
  } catch (const std::exception&) {
    for (MyMemoryBlock& block : blocks) free(block.address);
    blocks.clear();
    nodeStore_.clear();
  }
  for (RangeList::Node& node : nodeStore_) giveNode(&node);
  blockCount = blocks.size();
  totalSize = blockCount * blockSize;
  maxUsedRanges_ = (nodeStore_.size() - blocks.size()) / 2;
  for (MyMemoryBlock& block : blocks) {
    block.freeList.insertBefore(nullptr, takeNode(block.address, blockSize));
  }
}

MyMemoryAllocator::~MyMemoryAllocator() {
  for (MyMemoryBlock& block : blocks) free(block.address);
  platform::closeMutex(hMutexList);
  platform::closeMutex(hMutexUsage);
}

RangeList::Node* MyMemoryAllocator::takeNode(uint8_t* p, uint64_t n) {
  RangeList::Node* node = spareNodes_;
  spareNodes_ = node->next;
  *node = RangeList::Node{{p, n}, nullptr, nullptr};
  return node;
}

void MyMemoryAllocator::giveNode(RangeList::Node* node) {
  node->previous = nullptr;
  node->next = spareNodes_;
  spareNodes_ = node;
}

bool MyMemoryAllocator::roomForAnotherRange() const { return usedRanges_ < maxUsedRanges_; }

void MyMemoryAllocator::addUsage(int64_t delta) {
  platform::MutexLock lock(hMutexUsage);
  usedSize += static_cast<uint64_t>(delta);
}

uint64_t MyMemoryAllocator::getUsedSize() {
  platform::MutexLock lock(hMutexUsage);
  return usedSize;
}

uint8_t* MyMemoryAllocator::handOut(MyMemoryBlock& block, RangeList::Node* freeRange, uint64_t n,
                                    bool fromTop) {
  addUsage(static_cast<int64_t>(n));
  uint8_t* range;
  RangeList::Node* used;
  if (freeRange->element.size == n) {
    range = freeRange->element.pointer;
    block.freeList.unlink(freeRange);
    used = freeRange;
  } else {
    freeRange->element.size -= n;
    if (fromTop) {
      range = freeRange->element.pointer + freeRange->element.size;
    } else {
      range = freeRange->element.pointer;
      freeRange->element.pointer += n;
    }
    used = takeNode(range, n);
  }
  used->element = {range, n};
  block.usedList.insertBefore(nullptr, used);
  ++usedRanges_;
  return range;
}

uint8_t* MyMemoryAllocator::allocateFromTop(uint64_t n) {
  if (n == 0) return nullptr;
  platform::MutexLock lock(hMutexList);
  if (!roomForAnotherRange()) return nullptr;
  for (auto block = blocks.rbegin(); block != blocks.rend(); ++block) {
    for (RangeList::Node* f = block->freeList.tail; f != nullptr; f = f->previous) {
      if (f->element.size >= n) return handOut(*block, f, n, true);
    }
  }
  return nullptr;
}

uint8_t* MyMemoryAllocator::allocateFromBottom(uint64_t n) {
  if (n == 0) return nullptr;
  platform::MutexLock lock(hMutexList);
  if (!roomForAnotherRange()) return nullptr;
  for (MyMemoryBlock& block : blocks) {
    for (RangeList::Node* f = block.freeList.head; f != nullptr; f = f->next) {
      if (f->element.size >= n) return handOut(block, f, n, false);
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
    // Oldest first: the stages give ranges back in about the order they took them.
    RangeList::Node* used = block->usedList.head;
    while (used != nullptr && used->element.pointer != p) used = used->next;
    if (used == nullptr) return;
    n = used->element.size;
    block->usedList.unlink(used);
    giveNode(used);
    --usedRanges_;
  }
  addUsage(-static_cast<int64_t>(n));
  insertFree(*block, p, n);
}

void MyMemoryAllocator::insertFree(MyMemoryBlock& block, uint8_t* p, uint64_t n) {
  RangeList& freeList = block.freeList;
  // From the tail towards the head: released ranges are usually near the top.
  RangeList::Node* element = freeList.tail;
  while (element != nullptr && element->element.pointer > p) element = element->previous;
  // `element` is the last free range below p (or none); `after` the first above it.
  RangeList::Node* after = element != nullptr ? element->next : freeList.head;
  const bool joinsBelow =
      element != nullptr && element->element.pointer + element->element.size == p;
  const bool joinsAbove = after != nullptr && p + n == after->element.pointer;
  if (joinsBelow && joinsAbove) {
    element->element.size += n + after->element.size;
    freeList.unlink(after);
    giveNode(after);
  } else if (joinsBelow) {
    element->element.size += n;
  } else if (joinsAbove) {
    after->element.pointer = p;
    after->element.size += n;
  } else {
    freeList.insertBefore(after, takeNode(p, n));
  }
}

}  // namespace quorvane_capture
