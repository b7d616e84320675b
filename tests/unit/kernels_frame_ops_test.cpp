// Frame differences, YUY2/YV16 plane conversions and the streaming copy.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "kernels.h"
#include "kernels_support.h"
#include "reference.h"

namespace {

using namespace quorvane_capture;
using kernels_test::GuardedBuffer;

TEST(KernelFrameOps, DeltaWrapsAndUndoes) {
  const uint8_t cur[4] = {0x05, 0x00, 0xFF, 0x80};
  const uint8_t prev[4] = {0xFA, 0x01, 0xFF, 0x00};
  uint8_t delta[4] = {};
  CalcDeltaFrame_SSE2(delta, cur, prev, 2, 1);
  EXPECT_EQ(delta[0], 0x0B);
  EXPECT_EQ(delta[1], 0xFF);
  EXPECT_EQ(delta[2], 0x00);
  EXPECT_EQ(delta[3], 0x80);
  for (int k = 0; k < 4; ++k) EXPECT_EQ(static_cast<uint8_t>(prev[k] + delta[k]), cur[k]);
}

TEST(KernelFrameOps, DeltaMatchesReferenceAtEverySizeAndPageEnd) {
  std::mt19937 rng(21);
  for (int64_t w = 2; w <= 70; w += 2) {
    for (int64_t h : {1, 3, 4}) {
      const size_t bytes = static_cast<size_t>(w * h * 2);
      for (int offset : {0, 1, 7}) {
        GuardedBuffer cur(bytes), prev(bytes), got(bytes);
        kernels_test::fillRandom(cur.data(), bytes, rng);
        kernels_test::fillRandom(prev.data(), bytes, rng);
        std::vector<uint8_t> want(bytes);
        reference::calcDeltaFrame(want.data(), cur.data(), prev.data(), w, h);
        // The page-end buffers fix the end; an offset start moves the alignment.
        std::vector<uint8_t> shifted(bytes + offset);
        CalcDeltaFrame_SSE2(got.data(), cur.data(), prev.data(), w, h);
        CalcDeltaFrame_SSE2(shifted.data() + offset, cur.data(), prev.data(), w, h);
        ASSERT_EQ(0, std::memcmp(got.data(), want.data(), bytes)) << w << "x" << h;
        ASSERT_EQ(0, std::memcmp(shifted.data() + offset, want.data(), bytes)) << w << "x" << h;
      }
    }
  }
  // Identical frames give zeros; 1080p covers the 32-byte blocks.
  std::vector<uint8_t> frame = kernels_test::randomBytes(1920 * 1080 * 2, rng);
  std::vector<uint8_t> delta(frame.size(), 1);
  CalcDeltaFrame_SSE2(delta.data(), frame.data(), frame.data(), 1920, 1080);
  EXPECT_EQ(delta, std::vector<uint8_t>(frame.size(), 0));
}

TEST(KernelFrameOps, OddWidthLeavesDestinationUntouched) {
  std::vector<uint8_t> a(3 * 2 * 2, 1), b(3 * 2 * 2, 2), dst(3 * 2 * 2, 0x77);
  CalcDeltaFrame_SSE2(dst.data(), a.data(), b.data(), 3, 2);
  EXPECT_EQ(dst, std::vector<uint8_t>(dst.size(), 0x77));
  YV16ToYUY2(dst.data(), a.data(), 3, 2);
  EXPECT_EQ(dst, std::vector<uint8_t>(dst.size(), 0x77));
}

TEST(KernelFrameOps, PlaneLayoutAndRoundTrip) {
  // Two pairs: Y0 U Y1 V.
  const uint8_t yuy2[8] = {10, 20, 11, 30, 12, 21, 13, 31};
  uint8_t yv16[8] = {};
  YUY2ToYV16(yv16, yuy2, 4, 1);
  const uint8_t expected[8] = {10, 11, 12, 13, 30, 31, 20, 21};  // Y plane, V plane, U plane
  EXPECT_EQ(0, std::memcmp(yv16, expected, 8));

  std::mt19937 rng(22);
  for (int64_t w = 2; w <= 66; w += 2) {
    for (int64_t h : {1, 2, 5}) {
      const size_t bytes = static_cast<size_t>(w * h * 2);
      GuardedBuffer src(bytes), planes(bytes), back(bytes);
      kernels_test::fillRandom(src.data(), bytes, rng);
      std::vector<uint8_t> want(bytes);
      reference::yuy2ToYV16(want.data(), src.data(), w, h);
      YUY2ToYV16(planes.data(), src.data(), w, h);
      ASSERT_EQ(0, std::memcmp(planes.data(), want.data(), bytes)) << w << "x" << h;
      YV16ToYUY2(back.data(), planes.data(), w, h);
      ASSERT_EQ(0, std::memcmp(back.data(), src.data(), bytes)) << w << "x" << h;
    }
  }
}

TEST(KernelFrameOps, OddWidthStillSplitsTheLinearRun) {
  std::mt19937 rng(23);
  const int64_t w = 5, h = 3;  // 15 pixels: 7 pairs, the last pixel has no chroma
  const std::vector<uint8_t> src = kernels_test::randomBytes(w * h * 2, rng);
  std::vector<uint8_t> got(w * h * 2, 0xEE), want(w * h * 2, 0xEE);
  YUY2ToYV16(got.data(), src.data(), w, h);
  reference::yuy2ToYV16(want.data(), src.data(), w, h);
  EXPECT_EQ(got, want);
  EXPECT_EQ(got[14], 0xEE) << "the unpaired last luma byte is not written";
}

TEST(KernelFrameOps, StreamingCopyIsExactForEveryHeadAndTail) {
  std::mt19937 rng(24);
  const std::vector<uint8_t> src = kernels_test::randomBytes(4096 + 64, rng);
  for (int dstOffset = 0; dstOffset < 17; ++dstOffset) {
    for (int64_t size : {0, 1, 5, 15, 16, 17, 31, 32, 33, 47, 100, 1000, 4096}) {
      std::vector<uint8_t> dst(size + 64, 0x3C);
      memcpy_sse2(dst.data() + dstOffset, src.data() + 3, size);
      for (int i = 0; i < dstOffset; ++i) ASSERT_EQ(dst[i], 0x3C);
      ASSERT_EQ(0, std::memcmp(dst.data() + dstOffset, src.data() + 3, size))
          << "offset " << dstOffset << " size " << size;
      for (size_t i = dstOffset + size; i < dst.size(); ++i) ASSERT_EQ(dst[i], 0x3C) << i;
    }
  }
  // Source and destination ending at page boundaries.
  for (int64_t size : {100, 4095, 8192 + 33}) {
    GuardedBuffer from(size), to(size);
    kernels_test::fillRandom(from.data(), size, rng);
    memcpy_sse2(to.data(), from.data(), size);
    ASSERT_EQ(0, std::memcmp(to.data(), from.data(), size));
  }
}

}  // namespace
