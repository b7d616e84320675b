// RGB32 to YUY2: the reference against known colours, every variant against the reference.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>
#include <vector>

#include "kernels.h"
#include "kernels_support.h"
#include "reference.h"

namespace {

using namespace quorvane_capture;
using kernels_test::ConversionVariant;
using kernels_test::GuardedBuffer;
using reference::SumOrder;

struct Colour {
  int b, g, r;
};
struct Yuv {
  int y, u, v;
  bool operator==(const Yuv& o) const { return y == o.y && u == o.u && v == o.v; }
};
std::ostream& operator<<(std::ostream& os, const Yuv& c) {
  return os << "(" << c.y << ", " << c.u << ", " << c.v << ")";
}

enum Combination { kBT601Full, kBT601TV, kBT709Full, kBT709TV };

void selectColours(Combination c) {
  const bool bt709 = c == kBT709Full || c == kBT709TV;
  const bool full = c == kBT601Full || c == kBT709Full;
  setupColor(bt709 ? kColorMatrixBT709 : kColorMatrixBT601, 1080, full ? 1 : 0);
}

// Restores the load-time tables after each test, so tests do not leak their choice.
class ColourScope {
 public:
  ColourScope() {
    std::memcpy(matrix_, g_colorMatrix, sizeof(matrix_));
    std::memcpy(range_, g_colorRange, sizeof(range_));
  }
  ~ColourScope() {
    std::memcpy(g_colorMatrix, matrix_, sizeof(matrix_));
    std::memcpy(g_colorRange, range_, sizeof(range_));
  }

 private:
  float matrix_[12];
  float range_[4];
};

template <typename Convert>
Yuv convertEqualPair(Convert convert, Colour c, uint8_t alpha = 0) {
  const uint8_t in[8] = {uint8_t(c.b), uint8_t(c.g), uint8_t(c.r), alpha,
                         uint8_t(c.b), uint8_t(c.g), uint8_t(c.r), alpha};
  uint8_t out[4] = {};
  convert(out, in);
  EXPECT_EQ(out[0], out[2]) << "both pixels of an equal pair have the same luma";
  return Yuv{out[0], out[1], out[3]};
}

struct TableRow {
  Colour colour;
  Yuv expected[4];  // BT.601 full, BT.601 TV, BT.709 full, BT.709 TV
};

const TableRow kTable[] = {
    {{255, 255, 255}, {{255, 128, 128}, {235, 128, 128}, {255, 128, 128}, {235, 128, 128}}},
    {{0, 0, 0}, {{0, 128, 128}, {16, 128, 128}, {0, 128, 128}, {16, 128, 128}}},
    {{128, 128, 128}, {{128, 128, 128}, {126, 128, 128}, {128, 128, 128}, {126, 128, 128}}},
    {{0, 0, 255}, {{76, 85, 255}, {81, 90, 240}, {54, 99, 255}, {63, 102, 240}}},
    {{0, 255, 0}, {{150, 44, 21}, {144, 54, 34}, {182, 30, 12}, {173, 42, 26}}},
    {{255, 0, 0}, {{29, 255, 107}, {41, 240, 110}, {18, 255, 116}, {32, 240, 118}}},
};

TEST(KernelRGB32ToYUY2Reference, KnownColoursInBothOrders) {
  ColourScope scope;
  for (SumOrder order : {SumOrder::kSse2, SumOrder::kAvx}) {
    for (int combination = 0; combination < 4; ++combination) {
      selectColours(static_cast<Combination>(combination));
      for (const TableRow& row : kTable) {
        const Yuv got = convertEqualPair(
            [order](uint8_t* out, const uint8_t* in) {
              reference::rgb32ToYUY2(out, in, 2, 1, order);
            },
            row.colour);
        EXPECT_EQ(got, row.expected[combination])
            << "colour " << row.colour.b << "," << row.colour.g << "," << row.colour.r
            << " combination " << combination << " order " << static_cast<int>(order);
      }
    }
  }
}

TEST(KernelRGB32ToYUY2Reference, AssociationOrderDecidesBoundaryValues) {
  ColourScope scope;
  auto with = [](SumOrder order, Colour c) {
    return convertEqualPair(
        [order](uint8_t* out, const uint8_t* in) { reference::rgb32ToYUY2(out, in, 2, 1, order); },
        c);
  };
  selectColours(kBT601Full);
  EXPECT_EQ(with(SumOrder::kSse2, {202, 205, 205}).u, 126);
  EXPECT_EQ(with(SumOrder::kAvx, {202, 205, 205}).u, 127);
  selectColours(kBT709TV);
  EXPECT_EQ(with(SumOrder::kSse2, {130, 212, 171}).y, 186);
  EXPECT_EQ(with(SumOrder::kAvx, {130, 212, 171}).y, 185);
}

class KernelRGB32ToYUY2 : public testing::TestWithParam<ConversionVariant> {
 protected:
  void SetUp() override {
    if (!GetParam().supported()) GTEST_SKIP() << GetParam().name << " not supported here";
  }
  void convert(uint8_t* dst, const uint8_t* src, int64_t w, int64_t h) {
    GetParam().function(dst, src, w, h);
  }
  void convertReference(uint8_t* dst, const uint8_t* src, int64_t w, int64_t h) {
    reference::rgb32ToYUY2(dst, src, w, h, GetParam().order);
  }
  ColourScope scope_;
};

TEST_P(KernelRGB32ToYUY2, KnownColoursAndAssociationOrder) {
  for (int combination = 0; combination < 4; ++combination) {
    selectColours(static_cast<Combination>(combination));
    for (const TableRow& row : kTable) {
      for (uint8_t alpha : {0, 255}) {
        const Yuv got = convertEqualPair(
            [this](uint8_t* out, const uint8_t* in) { convert(out, in, 2, 1); }, row.colour, alpha);
        EXPECT_EQ(got, row.expected[combination]) << "combination " << combination;
      }
    }
  }
  const bool avxOrder = GetParam().order == SumOrder::kAvx;
  auto one = [this](Colour c) {
    return convertEqualPair([this](uint8_t* out, const uint8_t* in) { convert(out, in, 2, 1); }, c);
  };
  selectColours(kBT601Full);
  EXPECT_EQ(one({202, 205, 205}).u, avxOrder ? 127 : 126);
  selectColours(kBT709TV);
  EXPECT_EQ(one({130, 212, 171}).y, avxOrder ? 185 : 186);
}

TEST_P(KernelRGB32ToYUY2, PairAverageRoundsHalvesUpAndLumaStaysPerPixel) {
  selectColours(kBT601TV);
  const uint8_t whiteBlack[8] = {255, 255, 255, 0, 0, 0, 0, 0};
  uint8_t out[4] = {};
  convert(out, whiteBlack, 2, 1);
  EXPECT_EQ(out[0], 235);
  EXPECT_EQ(out[1], 128);
  EXPECT_EQ(out[2], 16);
  EXPECT_EQ(out[3], 128);

  // Red 255 and 254 average to 255, so V is the one of pure red.
  selectColours(kBT601Full);
  const uint8_t reds[8] = {0, 0, 255, 0, 0, 0, 254, 0};
  const uint8_t red[8] = {0, 0, 255, 0, 0, 0, 255, 0};
  uint8_t a[4] = {}, b[4] = {};
  convert(a, reds, 2, 1);
  convert(b, red, 2, 1);
  EXPECT_EQ(a[1], b[1]);
  EXPECT_EQ(a[3], b[3]);
}

TEST_P(KernelRGB32ToYUY2, OddPixelCountLeavesLastPixelAndWritesOnePairPerTwoPixels) {
  selectColours(kBT709Full);
  std::mt19937 rng(7);
  const std::vector<uint8_t> src = kernels_test::randomBytes(3 * 4, rng);
  std::vector<uint8_t> dst(3 * 2, 0xA5);
  convert(dst.data(), src.data(), 3, 1);
  EXPECT_EQ(dst[4], 0xA5);
  EXPECT_EQ(dst[5], 0xA5);
  std::vector<uint8_t> untouched(8, 0x5A);
  convert(untouched.data(), src.data(), 1, 1);
  convert(untouched.data(), src.data(), 0, 7);
  EXPECT_EQ(untouched, std::vector<uint8_t>(8, 0x5A));
}

// Every colour as an equal pair (so the chroma sees it unaveraged), in all four combinations:
// covers every value that sits on a rounding boundary.
TEST_P(KernelRGB32ToYUY2, EveryColourMatchesReference) {
  constexpr int kChunkColours = 1 << 16;
  std::vector<uint8_t> src(kChunkColours * 8);
  std::vector<uint8_t> got(kChunkColours * 4);
  std::vector<uint8_t> want(kChunkColours * 4);
  for (int combination = 0; combination < 4; ++combination) {
    selectColours(static_cast<Combination>(combination));
    for (uint32_t base = 0; base < (1u << 24); base += kChunkColours) {
      for (int i = 0; i < kChunkColours; ++i) {
        const uint32_t c = base + i;
        const uint8_t px[4] = {uint8_t(c), uint8_t(c >> 8), uint8_t(c >> 16), uint8_t(i)};
        std::memcpy(&src[8 * i], px, 4);
        std::memcpy(&src[8 * i + 4], px, 4);
      }
      convert(got.data(), src.data(), kChunkColours * 2, 1);
      convertReference(want.data(), src.data(), kChunkColours * 2, 1);
      if (got != want) {
        for (int i = 0; i < kChunkColours * 4; ++i) {
          ASSERT_EQ(got[i], want[i]) << "colour " << std::hex << (base + i / 4) << " byte " << i % 4
                                     << " combination " << combination;
        }
      }
    }
  }
}

TEST_P(KernelRGB32ToYUY2, RandomPicturesAtEverySizeAndAlignment) {
  std::mt19937 rng(1234);
  for (int combination = 0; combination < 4; ++combination) {
    selectColours(static_cast<Combination>(combination));
    for (int64_t w = 1; w <= 67; ++w) {
      for (int64_t h : {1, 2, 3, 5}) {
        const size_t srcBytes = static_cast<size_t>(w * h * 4);
        const size_t dstBytes = static_cast<size_t>(w * h * 2);
        for (int srcOffset = 0; srcOffset < 4; ++srcOffset) {
          const int dstOffset = (srcOffset * 3 + static_cast<int>(w)) % 16;
          std::vector<uint8_t> src(srcBytes + srcOffset);
          kernels_test::fillRandom(src.data() + srcOffset, srcBytes, rng);
          std::vector<uint8_t> got(dstBytes + dstOffset + 8, 0xCC);
          std::vector<uint8_t> want(dstBytes + dstOffset + 8, 0xCC);
          convert(got.data() + dstOffset, src.data() + srcOffset, w, h);
          convertReference(want.data() + dstOffset, src.data() + srcOffset, w, h);
          ASSERT_EQ(got, want) << w << "x" << h << " offsets " << srcOffset << "," << dstOffset;
        }
      }
    }
  }
}

TEST_P(KernelRGB32ToYUY2, FullHDFrameSeparateAndInPlace) {
  selectColours(kBT709TV);
  std::mt19937 rng(99);
  const int64_t w = 1920, h = 1080;
  std::vector<uint8_t> src = kernels_test::randomBytes(w * h * 4, rng);
  // Runs of equal pixels, like a real screen, beside the noise.
  for (size_t i = 0; i < src.size() / 2; i += 4) std::memcpy(&src[i], &src[i & ~size_t{255}], 4);
  std::vector<uint8_t> want(w * h * 2);
  convertReference(want.data(), src.data(), w, h);
  std::vector<uint8_t> got(w * h * 2);
  convert(got.data(), src.data(), w, h);
  ASSERT_EQ(got, want);
  std::vector<uint8_t> inPlace = src;
  convert(inPlace.data(), inPlace.data(), w, h);
  ASSERT_TRUE(std::equal(want.begin(), want.end(), inPlace.begin()));
}

TEST_P(KernelRGB32ToYUY2, InPlaceAndAtPageEndsForSmallSizes) {
  selectColours(kBT601Full);
  std::mt19937 rng(5);
  for (int64_t pixels = 1; pixels <= 80; ++pixels) {
    GuardedBuffer src(pixels * 4);
    GuardedBuffer dst(pixels * 2);
    kernels_test::fillRandom(src.data(), src.size(), rng);
    std::vector<uint8_t> want(pixels * 2, 0);
    std::memset(dst.data(), 0, dst.size());
    convertReference(want.data(), src.data(), pixels, 1);
    convert(dst.data(), src.data(), pixels, 1);
    ASSERT_EQ(0, std::memcmp(dst.data(), want.data(), want.size())) << pixels;

    std::vector<uint8_t> copy(src.data(), src.data() + src.size());
    convert(src.data(), src.data(), pixels, 1);
    ASSERT_EQ(0, std::memcmp(src.data(), want.data(), (pixels / 2) * 4)) << pixels;
    // In place, an odd last pixel keeps its input bytes beyond the converted pairs.
    ASSERT_EQ(0, std::memcmp(src.data() + (pixels / 2) * 4, copy.data() + (pixels / 2) * 4,
                             src.size() - (pixels / 2) * 4));
  }
}

INSTANTIATE_TEST_SUITE_P(Kernel, KernelRGB32ToYUY2,
                         testing::ValuesIn(kernels_test::conversionVariants()),
                         kernels_test::variantNameOf);

}  // namespace
