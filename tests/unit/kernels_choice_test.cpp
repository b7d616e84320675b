// Colour tables, their selection rule and the choice of kernel variants.
#include <gtest/gtest.h>

#include <cstring>

#include "kernels.h"

namespace {

using namespace quorvane_capture;

uint32_t bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}

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

const uint32_t kBT601Bits[12] = {0x3DEA747E, 0x3F162C13, 0x3E990ABB, 0,
                                 0x3F000000, 0xBEA99AE9, 0xBE2CCA2E, 0,
                                 0xBDA685DB, 0xBED65E89, 0x3F000000, 0};
const uint32_t kBT709Bits[12] = {0x3D93DD98, 0x3F371759, 0x3E59B3D0, 0,
                                 0x3F000000, 0xBEC55326, 0xBDEAB368, 0,
                                 0xBD3B98C8, 0xBEE88CE7, 0x3F000000, 0};

bool matrixIs(const uint32_t expected[12]) {
  for (int i = 0; i < 12; ++i) {
    if (bits(g_colorMatrix[i]) != expected[i]) return false;
  }
  return true;
}

TEST(KernelColour, SelectionRule) {
  ColourScope scope;
  struct Case {
    int32_t selector;
    int64_t height;
    bool bt709;
  };
  const Case cases[] = {{0, 720, true}, {0, 719, false}, {0, 1080, true},  {1, 1080, false},
                        {2, 480, true}, {2, 2, true},    {3, 1080, false}, {-1, 1080, false}};
  for (const Case& c : cases) {
    setupColor(c.selector, c.height, 1);
    EXPECT_TRUE(matrixIs(c.bt709 ? kBT709Bits : kBT601Bits))
        << "selector " << c.selector << " height " << c.height;
  }
}

TEST(KernelColour, RangesAndScaledBitPatterns) {
  ColourScope scope;
  setupColor(kColorMatrixBT601, 480, 1);
  EXPECT_EQ(bits(g_colorRange[0]), 0x3F000000u);
  EXPECT_EQ(bits(g_colorRange[1]), 0x43008000u);
  EXPECT_EQ(bits(g_colorRange[2]), 0x3F000000u);
  EXPECT_EQ(bits(g_colorRange[3]), 0x43008000u);
  EXPECT_TRUE(matrixIs(kBT601Bits)) << "full range leaves the matrix as loaded";

  setupColor(kColorMatrixBT601, 480, 0);
  EXPECT_EQ(bits(g_colorRange[0]), 0x41840000u);
  EXPECT_EQ(bits(g_colorRange[1]), 0x43008000u);
  EXPECT_EQ(bits(g_colorMatrix[0]), 0x3DC95B03u);  // 0.11448 * 219/255
  EXPECT_EQ(bits(g_colorMatrix[4]), 0x3EE0E0E1u);  // 0.5 * 224/255
  float expected[12];
  std::memcpy(expected, g_colorMatrix, sizeof(expected));
  // Each weight is the float product of the stored weight and the float factor.
  const float luma = 219.0f / 255.0f, chroma = 224.0f / 255.0f;
  EXPECT_EQ(bits(luma), 0x3F5BDBDCu);
  EXPECT_EQ(bits(chroma), 0x3F60E0E1u);
  for (int i = 0; i < 12; ++i) {
    float stored;
    const uint32_t b = kBT601Bits[i];
    std::memcpy(&stored, &b, 4);
    EXPECT_EQ(bits(expected[i]), bits(stored * (i < 4 ? luma : chroma))) << i;
  }

  // A second recording reloads before scaling: the same tables, not scaled twice.
  setupColor(kColorMatrixBT601, 480, 0);
  EXPECT_EQ(0, std::memcmp(expected, g_colorMatrix, sizeof(expected)));
  setTVRange();
  EXPECT_NE(0, std::memcmp(expected, g_colorMatrix, sizeof(expected)));
  setFullRange();
  EXPECT_EQ(bits(g_colorRange[0]), 0x3F000000u);
}

TEST(KernelChoice, InstallsTheVariantThatUseAVXReports) {
  const RGB32ToYUY2Function savedConvert = RGB32ToYUY2;
  const ZoomOutHeikin32Function savedZoom = ZoomOutHeikin32;

  EXPECT_EQ(chooseKernels(0), 0);
  EXPECT_EQ(RGB32ToYUY2, &RGB32ToYUY2_SSE2);
  EXPECT_EQ(ZoomOutHeikin32, &ZoomOutHeikin32_SSE2);

  const int32_t useAVX = chooseKernels(7);
  EXPECT_EQ(useAVX, supportAVX() ? 1 : 0);
  if (supportAVX2()) {
    EXPECT_EQ(RGB32ToYUY2, supportAVX512() ? &RGB32ToYUY2_AVX512 : &RGB32ToYUY2_AVX2);
    EXPECT_EQ(ZoomOutHeikin32, supportAVX512() ? &ZoomOutHeikin32_AVX512 : &ZoomOutHeikin32_AVX2);
  } else if (supportAVX()) {
    EXPECT_EQ(RGB32ToYUY2, &RGB32ToYUY2_AVX);
    EXPECT_EQ(ZoomOutHeikin32, &ZoomOutHeikin32_AVX);
  } else {
    EXPECT_EQ(RGB32ToYUY2, &RGB32ToYUY2_SSE2);
  }
  RGB32ToYUY2 = savedConvert;
  ZoomOutHeikin32 = savedZoom;
}

TEST(KernelChoice, ProcessorTestAgreesWithTheCompiler) {
  __builtin_cpu_init();
  EXPECT_EQ(supportAVX(), __builtin_cpu_supports("avx") != 0);
  EXPECT_EQ(supportAVX2(), __builtin_cpu_supports("avx2") != 0);
  EXPECT_EQ(supportAVX512(),
            __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512bw") != 0);
  if (supportAVX2()) {
    EXPECT_TRUE(supportAVX());
  }
}

}  // namespace
