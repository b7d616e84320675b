// What pauses cut out of the sound, on pieces whose every 32-bit word holds its own position in
// the stream: short pauses inside one transfer, a cut across the two pieces of a wrapped ring, a
// pause still running, and pieces that go back to the pool.
#include "sound_cuts.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace quorvane_capture {
namespace {

constexpr uint32_t kRing = 4000;

// A piece from the pool holding stream positions [from, from + bytes).
POINTER_AND_SIZE piece(MyMemoryAllocator& pool, uint32_t from, uint32_t bytes) {
  uint8_t* p = pool.allocateFromBottom(bytes);
  for (uint32_t at = 0; at < bytes; at += 4) {
    const uint32_t position = from + at;
    std::memcpy(p + at, &position, 4);
  }
  return POINTER_AND_SIZE{p, bytes};
}

// The stream positions a piece still holds.
std::vector<uint32_t> positions(const POINTER_AND_SIZE& p) {
  std::vector<uint32_t> v(static_cast<size_t>(p.size / 4));
  if (!v.empty()) std::memcpy(v.data(), p.pointer, static_cast<size_t>(p.size));
  return v;
}

std::vector<uint32_t> range(uint32_t from, uint32_t to) {
  std::vector<uint32_t> v;
  for (uint32_t at = from; at < to; at += 4) v.push_back(at);
  return v;
}

std::vector<uint32_t> join(std::vector<uint32_t> a, const std::vector<uint32_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(SoundCuts, PausesComeOutOfThePiecesBeforeTheyAreListed) {
  MyMemoryAllocator pool(4096, 1 << 20);
  SoundCuts cuts;
  platform::MutexLock lock(cuts.mutex());

  // Two short pauses before the loop's first transfer: [100, 300) and [3700, 3800), the second
  // in the piece after the wrap of the ring.
  cuts.mark(true, 100, kRing, 4);
  cuts.mark(false, 300, kRing, 4);
  cuts.mark(true, 3700, kRing, 4);
  cuts.mark(false, 3800, kRing, 4);
  EXPECT_EQ(cuts.pendingKept(3900, kRing, 4), 3900u - 300u);
  POINTER_AND_SIZE first[2] = {piece(pool, 0, 3600), piece(pool, 3600, 400)};
  cuts.cutOut(first, &pool);
  EXPECT_EQ(positions(first[0]), join(range(0, 100), range(300, 3600)));
  EXPECT_EQ(positions(first[1]), join(range(3600, 3700), range(3800, 4000)));
  cuts.advance(kRing, 0);

  // A pause that is still running at the next transfer: everything from it on goes, and a
  // piece that lies wholly inside it goes back to the pool.
  cuts.mark(true, 500, kRing, 4);  // stream position 4500
  EXPECT_EQ(cuts.pendingKept(900, kRing, 4), 500u);
  const uint64_t usedBefore = pool.getUsedSize();
  POINTER_AND_SIZE second[2] = {piece(pool, 4000, 600), piece(pool, 4600, 300)};
  cuts.cutOut(second, &pool);
  EXPECT_EQ(positions(second[0]), range(4000, 4500));
  EXPECT_EQ(second[1].pointer, nullptr);
  EXPECT_EQ(second[1].size, 0u);
  EXPECT_EQ(pool.getUsedSize(), usedBefore + 500) << "the cut bytes went back to the pool";
  cuts.advance(900, 900);

  // The resume ends the cut where the device stands; what follows is kept whole.
  cuts.mark(false, 1000, kRing, 4);  // stream position 5000
  POINTER_AND_SIZE third[2] = {piece(pool, 4900, 400), POINTER_AND_SIZE{nullptr, 0}};
  cuts.cutOut(third, &pool);
  EXPECT_EQ(positions(third[0]), range(5000, 5300));

  for (const POINTER_AND_SIZE* p : {&first[0], &first[1], &second[0], &third[0]}) {
    pool.release(p->pointer);
  }
  EXPECT_EQ(pool.getUsedSize(), 0u);
}

}  // namespace
}  // namespace quorvane_capture
