// The scalar definitions of the pixel kernels. Every float operation is written out singly, in
// the order that decides the rounding, and this file is built without contraction or fast-math.
#include "reference.h"

#include <cmath>
#include <cstring>

#include "kernels.h"

namespace quorvane_capture {
namespace reference {

namespace {

constexpr uint64_t kOne = uint64_t{1} << 32;
constexpr uint64_t kFractionMask = kOne - 1;

uint8_t clampToByte(int32_t v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

// Truncation toward zero, then 0..255: with the offsets' 0.5 this rounds halves up.
uint8_t truncateToByte(float v) { return clampToByte(static_cast<int32_t>(v)); }

// Nearest integer, ties to even, then 0..255.
uint8_t roundToByte(float v) {
  const float r = std::nearbyint(v);
  if (!(r > 0.0f)) return 0;
  if (r > 255.0f) return 255;
  return static_cast<uint8_t>(r);
}

float weightedSum(const float p[4], const float* c, SumOrder order) {
  if (order == SumOrder::kSse2) {
    const float br = p[0] * c[0] + p[2] * c[2];
    return br + p[1] * c[1];
  }
  const float bg = p[0] * c[0] + p[1] * c[1];
  const float ra = p[2] * c[2] + p[3] * c[3];
  return bg + ra;
}

}  // namespace

uint64_t zoomStep(int64_t srcSize, int64_t dstSize) {
  const double ratio = static_cast<double>(srcSize) / static_cast<double>(dstSize);
  uint64_t step = static_cast<uint64_t>(4294967296.0 * ratio);
  // Slightly short of the true footprint, so the last one never reaches past the source.
  if ((step & kFractionMask) != 0) step -= 1;
  return step;
}

void rgb32ToYUY2(uint8_t* dst, const uint8_t* src, int64_t width, int64_t height, SumOrder order) {
  float m[12];
  float r[4];
  std::memcpy(m, g_colorMatrix, sizeof(m));
  std::memcpy(r, g_colorRange, sizeof(r));
  const int64_t pairs = width * height / 2;
  for (int64_t k = 0; k < pairs; ++k) {
    uint8_t p0[4];
    uint8_t p1[4];
    std::memcpy(p0, src + 8 * k, 4);
    std::memcpy(p1, src + 8 * k + 4, 4);
    float f0[4];
    float f1[4];
    float fa[4];
    for (int c = 0; c < 4; ++c) {
      f0[c] = static_cast<float>(p0[c]);
      f1[c] = static_cast<float>(p1[c]);
      fa[c] = static_cast<float>((p0[c] + p1[c] + 1) >> 1);
    }
    const float y0 = weightedSum(f0, m + 0, order) + r[0];
    const float u = weightedSum(fa, m + 4, order) + r[1];
    const float y1 = weightedSum(f1, m + 0, order) + r[2];
    const float v = weightedSum(fa, m + 8, order) + r[3];
    uint8_t* out = dst + 4 * k;
    out[0] = truncateToByte(y0);
    out[1] = truncateToByte(u);
    out[2] = truncateToByte(y1);
    out[3] = truncateToByte(v);
  }
}

void zoomOutHeikin32(uint8_t* dst, int64_t dstW, int64_t dstH, const uint8_t* src, int64_t srcW,
                     int64_t srcH) {
  if (dstW < 1 || dstH < 1 || srcW < dstW || srcH < dstH) return;
  const float xr = static_cast<float>(srcW) / static_cast<float>(dstW);
  const float yr = static_cast<float>(srcH) / static_cast<float>(dstH);
  const uint64_t fx = zoomStep(srcW, dstW);
  const uint64_t fy = zoomStep(srcH, dstH);

  if ((fx & kFractionMask) == 0 && (fy & kFractionMask) == 0) {
    const int64_t kx = static_cast<int64_t>(fx >> 32);
    const int64_t ky = static_cast<int64_t>(fy >> 32);
    const float recip = 1.0f / (static_cast<float>(kx) * static_cast<float>(ky));
    for (int64_t j = 0; j < dstH; ++j) {
      for (int64_t i = 0; i < dstW; ++i) {
        int32_t sum[4] = {0, 0, 0, 0};
        for (int64_t y = j * ky; y < j * ky + ky; ++y) {
          for (int64_t x = i * kx; x < i * kx + kx; ++x) {
            const uint8_t* p = src + (y * srcW + x) * 4;
            for (int c = 0; c < 4; ++c) sum[c] += p[c];
          }
        }
        uint8_t* out = dst + (j * dstW + i) * 4;
        for (int c = 0; c < 4; ++c) out[c] = roundToByte(static_cast<float>(sum[c]) * recip);
      }
    }
    return;
  }

  const float norm = 1.0f / (xr * yr);
  const uint8_t* srcRow = src;
  uint64_t yAcc = 0;
  uint64_t rowCarryFix = 0;
  float rowCarryW = 0.0f;
  for (int64_t j = 0; j < dstH; ++j) {
    int64_t columnOffset = 0;
    float colCarry[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    uint64_t xCarryFix = 0;
    float xCarryW = 0.0f;
    yAcc += fy;
    const uint64_t rowsToAdvance = yAcc >> 32;
    const uint64_t yAccNext = yAcc & kFractionMask;
    float remYf = 0.0f;
    uint64_t newRowCarryFix = 0;
    bool lastRowPartial = false;
    for (int64_t i = 0; i < dstW; ++i) {
      float acc[4];
      std::memcpy(acc, colCarry, sizeof(acc));
      for (float& c : colCarry) c = 0.0f;
      uint64_t remY = fy;
      remYf = yr;
      const uint8_t* row = srcRow;
      bool firstPending = rowCarryFix != 0;
      lastRowPartial = false;
      uint64_t remX = 0;
      float remXf = 0.0f;
      int64_t consumed = 0;
      while (remY != 0) {
        float w;
        bool stepRow = true;
        if (firstPending) {
          w = rowCarryW;
          remYf = remYf - rowCarryW;
          remY = remY - rowCarryFix;
          firstPending = false;
        } else if (remY >= kOne) {
          w = 1.0f;
          remY = remY - kOne;
          remYf = remYf - 1.0f;
        } else {
          w = remYf;
          newRowCarryFix = kOne - remY;
          remY = 0;
          stepRow = false;
          lastRowPartial = true;
        }
        remX = fx - xCarryFix;
        remXf = xr - xCarryW;
        const uint8_t* p = row + columnOffset * 4;
        float rowSum[4] = {0.0f, 0.0f, 0.0f, 0.0f};
        consumed = 0;
        while (remX >= kOne) {
          for (int c = 0; c < 4; ++c) rowSum[c] = rowSum[c] + static_cast<float>(p[c]);
          p += 4;
          ++consumed;
          remX = remX - kOne;
          remXf = remXf - 1.0f;
        }
        for (int c = 0; c < 4; ++c) acc[c] = acc[c] + rowSum[c] * w;
        if ((remX & kFractionMask) != 0) {
          for (int c = 0; c < 4; ++c) {
            const float v = static_cast<float>(p[c]) * w;
            const float part = v * remXf;
            acc[c] = acc[c] + part;
            colCarry[c] = colCarry[c] + (v - part);
          }
          remXf = 1.0f - remXf;
          ++consumed;
        }
        if (stepRow) row += srcW * 4;
      }
      xCarryFix = (kOne - remX) & kFractionMask;
      xCarryW = remXf;
      uint8_t* out = dst + (j * dstW + i) * 4;
      for (int c = 0; c < 4; ++c) out[c] = roundToByte(acc[c] * norm);
      columnOffset += consumed;
    }
    rowCarryW = 1.0f - remYf;
    rowCarryFix = lastRowPartial ? newRowCarryFix : 0;
    srcRow += static_cast<int64_t>(rowsToAdvance) * srcW * 4;
    yAcc = yAccNext;
  }
}

void calcDeltaFrame(uint8_t* dst, const uint8_t* cur, const uint8_t* prev, int64_t width,
                    int64_t height) {
  if (width % 2 != 0) return;
  const int64_t bytes = width * height * 2;
  for (int64_t k = 0; k < bytes; ++k) dst[k] = static_cast<uint8_t>(cur[k] - prev[k]);
}

void yuy2ToYV16(uint8_t* dst, const uint8_t* src, int64_t width, int64_t height) {
  const int64_t pixels = width * height;
  const int64_t pairs = pixels / 2;
  uint8_t* yPlane = dst;
  uint8_t* vPlane = dst + pixels;
  uint8_t* uPlane = vPlane + pairs;
  for (int64_t k = 0; k < pairs; ++k) {
    yPlane[2 * k] = src[4 * k];
    uPlane[k] = src[4 * k + 1];
    yPlane[2 * k + 1] = src[4 * k + 2];
    vPlane[k] = src[4 * k + 3];
  }
}

void yv16ToYUY2(uint8_t* dst, const uint8_t* src, int64_t width, int64_t height) {
  if (width % 2 != 0) return;
  const int64_t pixels = width * height;
  const int64_t pairs = pixels / 2;
  const uint8_t* yPlane = src;
  const uint8_t* vPlane = src + pixels;
  const uint8_t* uPlane = vPlane + pairs;
  for (int64_t k = 0; k < pairs; ++k) {
    dst[4 * k] = yPlane[2 * k];
    dst[4 * k + 1] = uPlane[k];
    dst[4 * k + 2] = yPlane[2 * k + 1];
    dst[4 * k + 3] = vPlane[k];
  }
}

}  // namespace reference
}  // namespace quorvane_capture
