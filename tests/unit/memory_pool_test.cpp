#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include "memory_pool.h"

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
  for (uint64_t i = 0; i < pool.blockSize / frame; ++i) frames.push_back(pool.allocateFromTop(frame));
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
  pool.release(r1);  // touches r0 below and r2 above
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
