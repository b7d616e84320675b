#include "memory_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

namespace quorvane_capture {
namespace {

// Checks the pool's invariants: per block, free and used ranges tile the block exactly once,
// the free list is ascending and never touching, and usedSize adds up.
void expectConsistent(MyMemoryAllocator& pool) {
  uint64_t used = 0;
  for (const MyMemoryBlock& block : pool.blocks) {
    std::vector<std::pair<uint8_t*, uint64_t>> ranges;
    const MyMemoryElement* previous = nullptr;
    for (const MyMemoryElement& element : block.freeList) {
      if (previous != nullptr) {
        EXPECT_LT(previous->pointer + previous->size, element.pointer) << "free ranges touch";
      }
      previous = &element;
      ranges.emplace_back(element.pointer, element.size);
    }
    for (const MyMemoryElement& element : block.usedList) {
      used += element.size;
      ranges.emplace_back(element.pointer, element.size);
    }
    std::sort(ranges.begin(), ranges.end());
    uint8_t* at = block.address;
    for (const auto& range : ranges) {
      EXPECT_EQ(range.first, at) << "gap or overlap in a block";
      at = range.first + range.second;
    }
    EXPECT_EQ(at, block.address + pool.blockSize);
  }
  EXPECT_EQ(pool.getUsedSize(), used);
}

TEST(MemoryPool, BlocksHoldWholeFramesWithinTheBudget) {
  {
    MyMemoryAllocator pool(800 * 600 * 4, 1073741824);
    EXPECT_EQ(pool.blockSize, 103680000u);  // 54 frames
    EXPECT_EQ(pool.blockCount, 10u);
    EXPECT_EQ(pool.totalSize, 1036800000u);
    EXPECT_EQ(pool.blocks.size(), 10u);
  }
  {
    MyMemoryAllocator pool(1920 * 1080 * 4, 300000000);
    EXPECT_EQ(pool.blockSize, 99532800u);  // 12 frames
    EXPECT_EQ(pool.blockCount, 3u);
  }
  {
    MyMemoryAllocator pool(1920 * 1080 * 4, 1000);  // smaller than a block: still one
    EXPECT_EQ(pool.blockCount, 1u);
    EXPECT_EQ(pool.totalSize, pool.blockSize);
  }
}

TEST(MemoryPool, TopTakesHighEndsOfHighBlocksAndBottomTakesLowEndsOfLowBlocks) {
  const uint64_t frame = 1000000;
  MyMemoryAllocator pool(frame, 3 * 104000000);
  ASSERT_EQ(pool.blockCount, 3u);
  uint8_t* top = pool.allocateFromTop(frame);
  EXPECT_EQ(top, pool.blocks[2].address + pool.blockSize - frame);
  uint8_t* bottom = pool.allocateFromBottom(1000);
  EXPECT_EQ(bottom, pool.blocks[0].address);
  EXPECT_EQ(pool.getUsedSize(), frame + 1000);
  expectConsistent(pool);
}

TEST(MemoryPool, FullBlockSendsTopAllocationsToTheBlockBefore) {
  const uint64_t frame = 1000000;
  MyMemoryAllocator pool(frame, 2 * 104000000);
  std::vector<uint8_t*> frames;
  for (uint64_t i = 0; i < pool.blockSize / frame; ++i)
    frames.push_back(pool.allocateFromTop(frame));
  EXPECT_TRUE(pool.blocks[1].freeList.empty());
  uint8_t* next = pool.allocateFromTop(frame);
  EXPECT_EQ(next, pool.blocks[0].address + pool.blockSize - frame);
  expectConsistent(pool);
}

TEST(MemoryPool, ExhaustedPoolReturnsNullAndReleaseMakesRoomAgain) {
  const uint64_t frame = 52428800;  // two frames per block
  MyMemoryAllocator pool(frame, 104857600);
  uint8_t* a = pool.allocateFromTop(frame);
  uint8_t* b = pool.allocateFromTop(frame);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(pool.allocateFromTop(frame), nullptr);
  EXPECT_EQ(pool.allocateFromBottom(1), nullptr);
  pool.release(a);
  EXPECT_EQ(pool.allocateFromBottom(frame), a);
  expectConsistent(pool);
}

TEST(MemoryPool, ReleaseMergesWithNeighboursOnBothSides) {
  MyMemoryAllocator pool(1000, 1);
  uint8_t* r0 = pool.allocateFromBottom(100);
  uint8_t* r1 = pool.allocateFromBottom(100);
  uint8_t* r2 = pool.allocateFromBottom(100);
  uint8_t* r3 = pool.allocateFromBottom(100);
  ASSERT_EQ(r1, r0 + 100);
  pool.release(r0);
  pool.release(r2);
  EXPECT_EQ(pool.blocks[0].freeList.size(), 3u);  // r0, r2, the rest after r3
  pool.release(r1);                               // touches r0 below and r2 above
  ASSERT_EQ(pool.blocks[0].freeList.size(), 2u);
  EXPECT_EQ(pool.blocks[0].freeList.front().pointer, r0);
  EXPECT_EQ(pool.blocks[0].freeList.front().size, 300u);
  pool.release(r3);
  ASSERT_EQ(pool.blocks[0].freeList.size(), 1u);
  EXPECT_EQ(pool.blocks[0].freeList.front().size, pool.blockSize);
  EXPECT_EQ(pool.getUsedSize(), 0u);
  expectConsistent(pool);
}

TEST(MemoryPool, ReleaseBelowEveryFreeRangeBecomesTheNewHead) {
  MyMemoryAllocator pool(1000, 1);
  uint8_t* low = pool.allocateFromBottom(100);
  uint8_t* keep = pool.allocateFromBottom(100);
  uint8_t* high = pool.allocateFromTop(100);
  pool.release(high);
  pool.release(low);
  ASSERT_EQ(pool.blocks[0].freeList.size(), 2u);
  EXPECT_EQ(pool.blocks[0].freeList.front().pointer, low);
  EXPECT_EQ(pool.blocks[0].freeList.front().size, 100u);
  EXPECT_EQ(pool.blocks[0].freeList.back().pointer, keep + 100);
  expectConsistent(pool);
}

TEST(MemoryPool, ShrinkGivesBackTheTailOnlyWhenSmaller) {
  MyMemoryAllocator pool(1000, 1);
  uint8_t* p = pool.allocateFromTop(1000);
  pool.shrink(p, 1000);
  pool.shrink(p, 5000);
  EXPECT_EQ(pool.getUsedSize(), 1000u);
  pool.shrink(p, 400);
  EXPECT_EQ(pool.getUsedSize(), 400u);
  EXPECT_EQ(pool.blocks[0].usedList.front().size, 400u);
  expectConsistent(pool);
  pool.release(p);
  EXPECT_EQ(pool.getUsedSize(), 0u);
  expectConsistent(pool);
}

TEST(MemoryPool, RangesItDidNotHandOutChangeNothing) {
  MyMemoryAllocator pool(1000, 1);
  uint8_t* p = pool.allocateFromTop(1000);
  uint8_t outside = 0;
  pool.release(&outside);
  pool.shrink(&outside, 1);
  pool.release(p + 1);  // inside the block, but not the start of a handed-out range
  pool.shrink(p + 1, 10);
  EXPECT_EQ(pool.getUsedSize(), 1000u);
  expectConsistent(pool);
}

TEST(MemoryPool, ConcurrentUseKeepsTheListsConsistent) {
  MyMemoryAllocator pool(4096, 1);
  auto work = [&pool](bool fromTop) {
    std::vector<uint8_t*> held;
    for (int i = 0; i < 2000; ++i) {
      uint8_t* p = fromTop ? pool.allocateFromTop(4096) : pool.allocateFromBottom(300 + i % 200);
      if (p != nullptr) {
        memset(p, i, 100);
        if (!fromTop) pool.shrink(p, 100);
        held.push_back(p);
      }
      if (held.size() > 20) {
        pool.release(held.front());
        held.erase(held.begin());
      }
    }
    for (uint8_t* p : held) pool.release(p);
  };
  std::thread a(work, true), b(work, false), c(work, true);
  a.join();
  b.join();
  c.join();
  EXPECT_EQ(pool.getUsedSize(), 0u);
  ASSERT_EQ(pool.blocks[0].freeList.size(), 1u);
  expectConsistent(pool);
}

}  // namespace
}  // namespace quorvane_capture

namespace quorvane_capture {
namespace {

// Any budget gives a pool or an empty one, never an exception; on a machine of 1 GB a budget
// above half of it is cut to that half.
TEST(MemoryPool, AnyBudgetIsCutToWhatTheMachineCanSpare) {
  const uint64_t machine = 1ull << 30;
  const uint64_t frame = 1920 * 1080 * 4;
  struct Case {
    uint64_t budget;
    uint64_t blocks;
  };
  for (const Case& c : {Case{0, 1}, Case{1, 1}, Case{1ull << 63, 5}, Case{~0ull, 5}}) {
    SCOPED_TRACE(c.budget);
    MyMemoryAllocator pool(frame, c.budget, machine);
    EXPECT_EQ(pool.blockCount, c.blocks);
    EXPECT_LE(pool.totalSize, machine / 2);
    EXPECT_NE(pool.allocateFromTop(frame), nullptr);
  }
  EXPECT_EQ(MyMemoryAllocator::cappedBudget(~0ull, 0), ~0ull) << "unknown machine: no cut";
}

// An hour of a streamed 60 fps recording in the smallest pool: pictures taken from the top,
// cut to their YUY2 half, compressed pieces of varying size and sound chunks from the bottom,
// each given back a few frames later as the writer catches up, with the backlog varying. The
// free ranges keep merging: nothing ever fails to fit and at the end the block is whole again.
TEST(MemoryPool, AnHourOfStreamedUseLeavesNoFragments) {
  const uint64_t picture = 640 * 360 * 4;
  MyMemoryAllocator pool(picture, 1);
  std::vector<uint8_t*> pictures, pieces;
  uint64_t seed = 12345;
  auto random = [&seed](uint64_t below) {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    return (seed >> 33) % below;
  };
  for (int frame = 0; frame < 60 * 3600; ++frame) {
    uint8_t* p = pool.allocateFromTop(picture);
    ASSERT_NE(p, nullptr) << "frame " << frame;
    pool.shrink(p, picture / 2);
    pictures.push_back(p);
    uint8_t* c = pool.allocateFromBottom(picture / 2 + picture / 12 + 32);
    ASSERT_NE(c, nullptr) << "frame " << frame;
    pool.shrink(c, 1000 + random(picture / 2));
    pieces.push_back(c);
    if (frame % 30 == 0) {
      uint8_t* sound = pool.allocateFromBottom(88200 - 4 * random(100));
      ASSERT_NE(sound, nullptr) << "frame " << frame;
      pieces.push_back(sound);
    }
    // The compress thread keeps one picture; the writer lags by a varying number of records.
    while (pictures.size() > 1) {
      pool.release(pictures.front());
      pictures.erase(pictures.begin());
    }
    const size_t lag = (frame / 600) % 2 == 0 ? random(4) : 20 + random(20);
    while (pieces.size() > lag) {
      pool.release(pieces.front());
      pieces.erase(pieces.begin());
    }
  }
  for (uint8_t* p : pictures) pool.release(p);
  for (uint8_t* p : pieces) pool.release(p);
  EXPECT_EQ(pool.getUsedSize(), 0u);
  ASSERT_EQ(pool.blocks[0].freeList.size(), 1u);
  expectConsistent(pool);
}

// Counts the heap calls this thread makes while `counting` is set.
thread_local bool counting = false;
thread_local int heapCalls = 0;

// Handing out and giving back ranges takes list nodes from the pool's own store: the stages
// (the capture loop among them) never call the heap.
TEST(MemoryPool, HandingOutAndGivingBackNeverCallsTheHeap) {
  MyMemoryAllocator pool(4096, 1);
  std::vector<uint8_t*> held;
  held.reserve(64);
  counting = true;
  for (int i = 0; i < 1000; ++i) {
    uint8_t* p = i % 2 == 0 ? pool.allocateFromTop(4096) : pool.allocateFromBottom(100 + i);
    if (i % 3 == 0) pool.shrink(p, 50);
    held.push_back(p);
    if (held.size() == 64) {
      for (size_t k = 0; k < held.size(); k += 2) pool.release(held[k]);
      for (size_t k = 1; k < held.size(); k += 2) pool.release(held[k]);
      held.clear();
    }
  }
  counting = false;
  EXPECT_EQ(heapCalls, 0);
  for (uint8_t* p : held) pool.release(p);
  expectConsistent(pool);
}

// Nodes run out only with ranges far smaller than anything a recording stores; the pool then
// answers like a full one and stays whole.
TEST(MemoryPool, RunningOutOfNodesAnswersLikeAFullPool) {
  MyMemoryAllocator pool(1000, 1);
  std::vector<uint8_t*> held;
  for (uint8_t* p; (p = pool.allocateFromBottom(1)) != nullptr;) held.push_back(p);
  EXPECT_GE(held.size(), pool.blockSize / kBytesPerRangeNode / 2);
  EXPECT_EQ(pool.allocateFromTop(1), nullptr);
  for (size_t k = 0; k < held.size(); k += 2) pool.release(held[k]);  // a free range each
  for (size_t k = 1; k < held.size(); k += 2) pool.release(held[k]);
  EXPECT_EQ(pool.getUsedSize(), 0u);
  ASSERT_EQ(pool.blocks[0].freeList.size(), 1u);
  expectConsistent(pool);
}

}  // namespace
}  // namespace quorvane_capture

// Every form of the global allocation functions, so that no allocation of this program pairs
// one of these with a sanitizer's own.
namespace {
void* counted(size_t size) {
  if (quorvane_capture::counting) ++quorvane_capture::heapCalls;
  return malloc(size == 0 ? 1 : size);
}
}  // namespace
void* operator new(size_t size) {
  void* p = counted(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return counted(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return counted(size); }
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }
void operator delete[](void* p, size_t) noexcept { free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { free(p); }
