// Colour matrices and ranges read by the conversion kernels.
#include <cstring>

#include "kernels.h"

namespace quorvane_capture {

namespace {

// Rows Y, U, V; columns B, G, R, A. The decimals are the shortest readings of the floats used.
const float kBT601[12] = {
    0.11448f,  0.58661f,  0.29891f,  0.0f,  // Y
    0.5f,      -0.33126f, -0.16874f, 0.0f,  // U
    -0.08131f, -0.41869f, 0.5f,      0.0f,  // V
};
const float kBT709[12] = {
    0.0722f,  0.7152f,  0.2126f,  0.0f,  // Y
    0.5f,     -0.3854f, -0.1146f, 0.0f,  // U
    -0.0458f, -0.4542f, 0.5f,     0.0f,  // V
};
const float kTVRange[4] = {16.5f, 128.5f, 16.5f, 128.5f};
const float kFullRange[4] = {0.5f, 128.5f, 0.5f, 128.5f};
const float kLumaFactor = 219.0f / 255.0f;
const float kChromaFactor = 224.0f / 255.0f;

}  // namespace

// BT.709 full range until the first Initialize chooses.
alignas(32) float g_colorMatrix[12] = {
    0.0722f,  0.7152f,  0.2126f,  0.0f,  //
    0.5f,     -0.3854f, -0.1146f, 0.0f,  //
    -0.0458f, -0.4542f, 0.5f,     0.0f,  //
};
alignas(16) float g_colorRange[4] = {0.5f, 128.5f, 0.5f, 128.5f};

void setTVRange() {
  std::memcpy(g_colorRange, kTVRange, sizeof(g_colorRange));
  for (int i = 0; i < 4; ++i) g_colorMatrix[i] = g_colorMatrix[i] * kLumaFactor;
  for (int i = 4; i < 12; ++i) g_colorMatrix[i] = g_colorMatrix[i] * kChromaFactor;
}

void setFullRange() { std::memcpy(g_colorRange, kFullRange, sizeof(g_colorRange)); }

void setupColor(int32_t colorMatrix, int64_t outputHeight, int32_t fullRange) {
  const bool bt709 =
      colorMatrix == kColorMatrixBT709 || (colorMatrix == kColorMatrixAuto && outputHeight >= 720);
  std::memcpy(g_colorMatrix, bt709 ? kBT709 : kBT601, sizeof(g_colorMatrix));
  if (fullRange == 0) {
    setTVRange();
  } else {
    setFullRange();
  }
}

}  // namespace quorvane_capture
