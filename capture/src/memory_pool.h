// The frame memory pool: all picture and sound data of a recording lives in a few large heap
// blocks reserved before the recording starts. The lists that track the ranges take their
// nodes from a store sized with the blocks, so handing out and giving back a range never calls
// the heap: neither does the capture loop nor any other stage.
#ifndef QUORVANE_MEMORY_POOL_H
#define QUORVANE_MEMORY_POOL_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform.h"

namespace quorvane_capture {

struct MyMemoryElement {
  uint8_t* pointer;
  uint64_t size;
};

// A doubly linked list of ranges whose nodes belong to the pool's node store.
class RangeList {
 public:
  struct Node {
    MyMemoryElement element;
    Node* previous;
    Node* next;
  };
  class Iterator {
   public:
    explicit Iterator(Node* node) : node_(node) {}
    MyMemoryElement& operator*() const { return node_->element; }
    MyMemoryElement* operator->() const { return &node_->element; }
    Iterator& operator++() {
      node_ = node_->next;
      return *this;
    }
    bool operator!=(const Iterator& other) const { return node_ != other.node_; }
    bool operator==(const Iterator& other) const { return node_ == other.node_; }

   private:
    Node* node_;
  };

  Iterator begin() const { return Iterator(head); }
  Iterator end() const { return Iterator(nullptr); }
  bool empty() const { return head == nullptr; }
  size_t size() const { return count; }
  MyMemoryElement& front() const { return head->element; }
  MyMemoryElement& back() const { return tail->element; }

  // Links `node` in before `at` (at the end when `at` is null).
  void insertBefore(Node* at, Node* node);
  void unlink(Node* node);

  Node* head = nullptr;
  Node* tail = nullptr;
  size_t count = 0;
};

struct MyMemoryBlock {
  uint8_t* address;
  RangeList freeList;  // ascending addresses, never touching or overlapping
  RangeList usedList;  // in the order handed out
};

// A sound chunk (or any pool range) with its length.
struct POINTER_AND_SIZE {
  uint8_t* pointer;
  uint64_t size;
};

// Largest block: frames never straddle blocks, so a block holds a whole number of them.
constexpr uint64_t kMaxBlockSize = 104857600;
// One list node is reserved for every this many bytes of the pool. Ranges average far more
// (the smallest compressed frames and sound chunks are tens of kilobytes); a pool whose nodes
// run out answers like a full one.
constexpr uint64_t kBytesPerRangeNode = 4096;

class MyMemoryAllocator {
 public:
  // frameSize must be between 1 and kMaxBlockSize. The budget is cut to half of the machine's
  // memory (machineBytes; 0: unknown, no cut), and blocks the heap cannot supply are left out,
  // so any budget gives a pool of at least zero blocks and nothing throws.
  MyMemoryAllocator(uint64_t frameSize, uint64_t memorySize, uint64_t machineBytes);
  // The same on this machine.
  MyMemoryAllocator(uint64_t frameSize, uint64_t memorySize);
  ~MyMemoryAllocator();
  MyMemoryAllocator(const MyMemoryAllocator&) = delete;
  MyMemoryAllocator& operator=(const MyMemoryAllocator&) = delete;

  // The budget a pool may take on a machine of this memory size.
  static uint64_t cappedBudget(uint64_t memorySize, uint64_t machineBytes);

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
  RangeList::Node* takeNode(uint8_t* p, uint64_t n);
  void giveNode(RangeList::Node* node);
  bool roomForAnotherRange() const;
  uint8_t* handOut(MyMemoryBlock& block, RangeList::Node* freeRange, uint64_t n, bool fromTop);

  // Nodes not in any list, linked through `next`. Free ranges never outnumber used ones by
  // more than one per block, so with used ranges capped at half the store the nodes that
  // releases and shrinks need are always there.
  std::vector<RangeList::Node> nodeStore_;
  RangeList::Node* spareNodes_ = nullptr;
  size_t usedRanges_ = 0;
  size_t maxUsedRanges_ = 0;
};

}  // namespace quorvane_capture

#endif
