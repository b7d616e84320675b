// The pixel pairs a vector loop leaves over, one pair at a time in the arithmetic of the vectors
// that came before: one scalar tail for each arithmetic, shared by every width of vector that
// uses it. Compiled without contraction, each operation rounds to single precision as the
// vector lanes do.
#include <cstring>

#include "kernels.h"

namespace quorvane_capture {
namespace {

// SSE2: (B*c0 + R*c2) + G*c1; the A channel is not weighed.
float sumSse2(float b, float g, float r, float /*a*/, const float* c) {
  const float br = b * c[0] + r * c[2];
  return br + g * c[1];
}

// AVX and wider: (B*c0 + G*c1) + (R*c2 + A*c3).
float sumAvx(float b, float g, float r, float a, const float* c) {
  const float bg = b * c[0] + g * c[1];
  const float ra = r * c[2] + a * c[3];
  return bg + ra;
}

uint8_t truncateToByte(float v) {
  const int32_t i = static_cast<int32_t>(v);
  return static_cast<uint8_t>(i < 0 ? 0 : (i > 255 ? 255 : i));
}

// Y0 and Y1 from each pixel, U and V from the pair's rounded average, with the matrix rows and
// offsets loaded.
template <float (*Sum)(float, float, float, float, const float*)>
void convertPairs(uint8_t* dst, const uint8_t* src, int64_t pairs) {
  const float* m = g_colorMatrix;
  const float* r = g_colorRange;
  for (int64_t k = 0; k < pairs; ++k) {
    uint8_t p[8];
    std::memcpy(p, src + 8 * k, 8);
    float a[4];
    for (int c = 0; c < 4; ++c) a[c] = static_cast<float>((p[c] + p[c + 4] + 1) >> 1);
    uint8_t* out = dst + 4 * k;
    out[0] = truncateToByte(Sum(p[0], p[1], p[2], p[3], m) + r[0]);
    out[1] = truncateToByte(Sum(a[0], a[1], a[2], a[3], m + 4) + r[1]);
    out[2] = truncateToByte(Sum(p[4], p[5], p[6], p[7], m) + r[2]);
    out[3] = truncateToByte(Sum(a[0], a[1], a[2], a[3], m + 8) + r[3]);
  }
}

}  // namespace

void RGB32ToYUY2Tail_SSE2(uint8_t* dst, const uint8_t* src, int64_t pairs) {
  convertPairs<sumSse2>(dst, src, pairs);
}

void RGB32ToYUY2Tail_AVX(uint8_t* dst, const uint8_t* src, int64_t pairs) {
  convertPairs<sumAvx>(dst, src, pairs);
}

}  // namespace quorvane_capture
