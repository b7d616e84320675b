// Area-average downscale: the reference against worked examples, every variant against it.
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
using kernels_test::ZoomVariant;

std::vector<ZoomVariant> allZoomVariants() {
  std::vector<ZoomVariant> variants = kernels_test::zoomVariants();
  variants.push_back({"AVX512", ZoomOutHeikin32_AVX512, supportAVX512});
  return variants;
}

// One-channel pictures: the value goes into all four bytes of each pixel.
std::vector<uint8_t> greyPicture(const std::vector<int>& values) {
  std::vector<uint8_t> out;
  for (int v : values) out.insert(out.end(), 4, static_cast<uint8_t>(v));
  return out;
}

std::vector<int> firstChannel(const std::vector<uint8_t>& picture) {
  std::vector<int> out;
  for (size_t i = 0; i < picture.size(); i += 4) out.push_back(picture[i]);
  return out;
}

template <typename Zoom>
std::vector<int> zoomGrey(Zoom zoom, const std::vector<int>& values, int64_t srcW, int64_t srcH,
                          int64_t dstW, int64_t dstH) {
  const std::vector<uint8_t> src = greyPicture(values);
  std::vector<uint8_t> dst(dstW * dstH * 4);
  zoom(dst.data(), dstW, dstH, src.data(), srcW, srcH);
  return firstChannel(dst);
}

void checkWorkedExamples(ZoomOutHeikin32Function zoom) {
  EXPECT_EQ(zoomGrey(zoom, {0, 90, 180}, 3, 1, 2, 1), (std::vector<int>{30, 150}));
  EXPECT_EQ(zoomGrey(zoom, {0, 90, 180, 30, 60, 90, 255, 255, 0}, 3, 3, 2, 2),
            (std::vector<int>{33, 127, 183, 83}));
  // Whole ratio: sums times 0.25, ties to even (2 -> 0.5 -> 0, 6 -> 1.5 -> 2, 10 -> 2.5 -> 2).
  EXPECT_EQ(zoomGrey(zoom, {0, 2, 1, 1, 0, 0, 2, 2, 3, 3, 255, 255, 1, 3, 255, 255}, 4, 4, 2, 2),
            (std::vector<int>{0, 2, 2, 255}));
  std::mt19937 rng(3);
  const std::vector<uint8_t> src = kernels_test::randomBytes(13 * 7 * 4, rng);
  std::vector<uint8_t> dst(src.size());
  zoom(dst.data(), 13, 7, src.data(), 13, 7);
  EXPECT_EQ(dst, src) << "equal sizes copy the picture";
}

TEST(KernelZoomOutReference, WorkedExamples) { checkWorkedExamples(reference::zoomOutHeikin32); }

TEST(KernelZoomOutReference, StepsStopShortOfTheSource) {
  EXPECT_EQ(reference::zoomStep(3, 2), 0x17FFFFFFFull);
  EXPECT_EQ(reference::zoomStep(1920, 960), 0x200000000ull);
  EXPECT_EQ(reference::zoomStep(1080, 720), 0x17FFFFFFFull);
  EXPECT_EQ(reference::zoomStep(5, 5), 0x100000000ull);
}

class KernelZoomOut : public testing::TestWithParam<ZoomVariant> {
 protected:
  void SetUp() override {
    if (!GetParam().supported()) GTEST_SKIP() << GetParam().name << " not supported here";
  }
  // Compares with the reference on a random picture, both buffers ending at a page boundary.
  void expectSameAsReference(int64_t srcW, int64_t srcH, int64_t dstW, int64_t dstH,
                             std::mt19937& rng) {
    GuardedBuffer src(srcW * srcH * 4);
    kernels_test::fillRandom(src.data(), src.size(), rng);
    GuardedBuffer got(dstW * dstH * 4);
    std::vector<uint8_t> want(dstW * dstH * 4);
    reference::zoomOutHeikin32(want.data(), dstW, dstH, src.data(), srcW, srcH);
    GetParam().function(got.data(), dstW, dstH, src.data(), srcW, srcH);
    ASSERT_EQ(0, std::memcmp(got.data(), want.data(), want.size()))
        << srcW << "x" << srcH << " -> " << dstW << "x" << dstH;
  }
};

TEST_P(KernelZoomOut, WorkedExamples) { checkWorkedExamples(GetParam().function); }

// A recording's tables are prepared for its widths; calls with other widths (or heights) beside
// them must not pick them up.
TEST_P(KernelZoomOut, PreparedTablesServeOnlyTheirOwnWidths) {
  std::mt19937 rng(5);
  const ZoomOutHeikin32Function installed = ZoomOutHeikin32;
  const RGB32ToYUY2Function convert = RGB32ToYUY2;
  chooseKernels(1);  // prepares for the widest variant and those it hands shapes to
  prepareZoomTables(852, 1280);
  const int64_t shapes[][4] = {{1280, 720, 852, 480},
                               {1280, 720, 852, 250},
                               {1281, 720, 852, 480},
                               {1280, 720, 853, 480},
                               {1280, 720, 300, 200}};
  for (const auto& s : shapes) {
    expectSameAsReference(s[0], s[1], s[2], s[3], rng);
    if (HasFatalFailure()) break;
  }
  releaseZoomTables();
  ZoomOutHeikin32 = installed;
  RGB32ToYUY2 = convert;
}

TEST_P(KernelZoomOut, SmallSizesMatchReference) {
  std::mt19937 rng(11);
  for (int64_t srcW = 1; srcW <= 19; ++srcW) {
    for (int64_t dstW = 1; dstW <= srcW; ++dstW) {
      for (int64_t srcH : {1, 2, 3, 7}) {
        for (int64_t dstH = 1; dstH <= srcH; ++dstH) {
          expectSameAsReference(srcW, srcH, dstW, dstH, rng);
          if (HasFatalFailure()) return;
        }
      }
    }
  }
}

TEST_P(KernelZoomOut, ScreenSizesMatchReference) {
  std::mt19937 rng(12);
  const int64_t sizes[][4] = {
      {1920, 1080, 1280, 720}, {1920, 1080, 960, 720},   {1920, 1080, 960, 540},
      {1920, 1080, 1366, 768}, {1920, 1080, 1919, 1079}, {1920, 1080, 2, 2},
      {1920, 1080, 640, 360},  {801, 601, 67, 45},       {1000, 3, 999, 2},
      {3000, 4, 1, 1},         {67, 600, 67, 599},       {1280, 720, 1280, 720}};
  for (const auto& s : sizes) {
    expectSameAsReference(s[0], s[1], s[2], s[3], rng);
    if (HasFatalFailure()) return;
  }
}

// Widths 1 to 67 at ratios that give every remainder of four output pixels, one to three whole
// columns per pixel, up to five source rows per output row, and ratios just past where the wide
// variants hand over to narrower code.
TEST_P(KernelZoomOut, WidthsAndRatiosMatchReference) {
  std::mt19937 rng(14);
  for (int64_t dstW = 1; dstW <= 67; ++dstW) {
    for (int64_t srcW : {dstW, dstW + 1, dstW * 3 / 2 + 1, dstW * 2 + 1, dstW * 3 + 2, dstW * 4 - 1,
                         dstW * 4 + 1, dstW * 5 + 3}) {
      const int64_t heights[][2] = {{5, 3}, {9, 2}, {17, 4}, {8, 8}, {13, 5}};
      const auto& h = heights[(dstW + srcW) % 5];
      expectSameAsReference(srcW, h[0], dstW, h[1], rng);
      if (HasFatalFailure()) return;
    }
  }
  const int64_t shapes[][4] = {{4099, 3, 4097, 2},  {8200, 2, 4100, 1},  {4096, 9, 4096, 3},
                               {1366, 13, 1024, 3}, {2560, 31, 1920, 7}, {3840, 21, 2560, 9},
                               {63, 64, 16, 17},    {50, 49, 13, 12}};
  for (const auto& s : shapes) {
    expectSameAsReference(s[0], s[1], s[2], s[3], rng);
    if (HasFatalFailure()) return;
  }
}

// Screen content: flat areas, hard edges and the values that sit on rounding boundaries, where
// any change in the order of the float steps shows.
TEST_P(KernelZoomOut, RoundingBoundaryColoursMatchReference) {
  std::mt19937 rng(15);
  const uint8_t palette[] = {0, 1, 2, 127, 128, 129, 253, 254, 255};
  const int64_t sizes[][4] = {
      {1920, 1080, 1280, 720}, {1920, 1080, 1366, 768}, {301, 203, 200, 150}};
  for (const auto& s : sizes) {
    GuardedBuffer src(s[0] * s[1] * 4);
    for (size_t i = 0; i < src.size(); ++i) src.data()[i] = palette[(rng() >> 8) % 9];
    std::vector<uint8_t> want(s[2] * s[3] * 4);
    GuardedBuffer got(want.size());
    reference::zoomOutHeikin32(want.data(), s[2], s[3], src.data(), s[0], s[1]);
    GetParam().function(got.data(), s[2], s[3], src.data(), s[0], s[1]);
    ASSERT_EQ(0, std::memcmp(got.data(), want.data(), want.size()))
        << s[0] << "x" << s[1] << " -> " << s[2] << "x" << s[3];
  }
}

TEST_P(KernelZoomOut, UnalignedPointers) {
  std::mt19937 rng(13);
  const int64_t srcW = 37, srcH = 23, dstW = 25, dstH = 16;
  for (int offset = 1; offset < 4; ++offset) {
    std::vector<uint8_t> src(srcW * srcH * 4 + offset);
    kernels_test::fillRandom(src.data(), src.size(), rng);
    std::vector<uint8_t> want(dstW * dstH * 4);
    std::vector<uint8_t> got(dstW * dstH * 4 + offset + 1);
    reference::zoomOutHeikin32(want.data(), dstW, dstH, src.data() + offset, srcW, srcH);
    GetParam().function(got.data() + offset + 1, dstW, dstH, src.data() + offset, srcW, srcH);
    ASSERT_EQ(0, std::memcmp(got.data() + offset + 1, want.data(), want.size()));
  }
}

TEST_P(KernelZoomOut, OneColourStaysThatColourAtEverySize) {
  const uint8_t colour[4] = {7, 128, 254, 255};
  const int64_t srcW = 37, srcH = 29;
  std::vector<uint8_t> src(srcW * srcH * 4);
  for (size_t i = 0; i < src.size(); i += 4) std::memcpy(&src[i], colour, 4);
  std::vector<uint8_t> dst(srcW * srcH * 4);
  for (int64_t dstH = 1; dstH <= srcH; ++dstH) {
    for (int64_t dstW = 1; dstW <= srcW; ++dstW) {
      GetParam().function(dst.data(), dstW, dstH, src.data(), srcW, srcH);
      for (int64_t i = 0; i < dstW * dstH; ++i) {
        ASSERT_EQ(0, std::memcmp(&dst[i * 4], colour, 4)) << dstW << "x" << dstH << " pixel " << i;
      }
    }
  }
  std::vector<uint8_t> big(1920 * 1080 * 4);
  for (size_t i = 0; i < big.size(); i += 4) std::memcpy(&big[i], colour, 4);
  std::vector<uint8_t> out(1280 * 720 * 4);
  GetParam().function(out.data(), 1280, 720, big.data(), 1920, 1080);
  for (size_t i = 0; i < out.size(); i += 4) ASSERT_EQ(0, std::memcmp(&out[i], colour, 4)) << i;
}

INSTANTIATE_TEST_SUITE_P(Kernel, KernelZoomOut, testing::ValuesIn(allZoomVariants()),
                         kernels_test::zoomNameOf);

}  // namespace
