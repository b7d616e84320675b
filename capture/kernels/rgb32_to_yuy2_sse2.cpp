// RGB32 to YUY2 with SSE2: four pixel pairs per step. Each weighted sum is
// (B*c0 + R*c2) + G*c1, rounded to single precision after every operation.
#include <emmintrin.h>

#include <cstring>

#include "kernels.h"

namespace quorvane_capture {
namespace {

// One matrix row in the lanes, with the G and R weights divided by 2^8 and 2^16: the channels
// are then converted from the pixel word without shifting (G * 2^8, R * 2^16, both exact), and
// each product is the same float as the unscaled one because scaling by a power of two does
// not change the rounding.
struct Row {
  __m128 b, g, r;
};

Row loadRow(const float* c) {
  return Row{_mm_set1_ps(c[0]), _mm_set1_ps(c[1] * (1.0f / 256.0f)),
             _mm_set1_ps(c[2] * (1.0f / 65536.0f))};
}

struct Channels {
  __m128 b, g, r;
};

Channels splitChannels(__m128i px) {
  const __m128i maskB = _mm_set1_epi32(0x000000FF);
  const __m128i maskG = _mm_set1_epi32(0x0000FF00);
  const __m128i maskR = _mm_set1_epi32(0x00FF0000);
  return Channels{_mm_cvtepi32_ps(_mm_and_si128(px, maskB)),
                  _mm_cvtepi32_ps(_mm_and_si128(px, maskG)),
                  _mm_cvtepi32_ps(_mm_and_si128(px, maskR))};
}

__m128i weigh(const Channels& ch, const Row& row, __m128 offset) {
  const __m128 br = _mm_add_ps(_mm_mul_ps(ch.b, row.b), _mm_mul_ps(ch.r, row.r));
  const __m128 sum = _mm_add_ps(br, _mm_mul_ps(ch.g, row.g));
  return _mm_cvttps_epi32(_mm_add_ps(sum, offset));
}

}  // namespace
}  // namespace quorvane_capture

using namespace quorvane_capture;

extern "C" QV_EXPORT void RGB32ToYUY2_SSE2(uint8_t* dst, const uint8_t* src, int64_t width,
                                           int64_t height) {
  float m[12];
  float r[4];
  std::memcpy(m, g_colorMatrix, sizeof(m));
  std::memcpy(r, g_colorRange, sizeof(r));
  const Row rowY = loadRow(m);
  const Row rowU = loadRow(m + 4);
  const Row rowV = loadRow(m + 8);
  const __m128 offsetY = _mm_setr_ps(r[0], r[2], r[0], r[2]);
  const __m128 offsetU = _mm_set1_ps(r[1]);
  const __m128 offsetV = _mm_set1_ps(r[3]);

  const int64_t pairs = width * height / 2;
  int64_t k = 0;
  // In place the 16 bytes written trail the 32 bytes already read.
  for (; k + 4 <= pairs; k += 4) {
    // 32 bytes a step: one line ahead every other step.
    if ((k & 4) == 0) readAhead(src + 8 * k);
    const __m128i x0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 8 * k));
    const __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 8 * k + 16));
    const __m128 f0 = _mm_castsi128_ps(x0);
    const __m128 f1 = _mm_castsi128_ps(x1);
    const __m128i even = _mm_castps_si128(_mm_shuffle_ps(f0, f1, _MM_SHUFFLE(2, 0, 2, 0)));
    const __m128i odd = _mm_castps_si128(_mm_shuffle_ps(f0, f1, _MM_SHUFFLE(3, 1, 3, 1)));
    const Channels avg = splitChannels(_mm_avg_epu8(even, odd));

    const __m128i y0 = weigh(splitChannels(x0), rowY, offsetY);
    const __m128i y1 = weigh(splitChannels(x1), rowY, offsetY);
    const __m128i u = weigh(avg, rowU, offsetU);
    const __m128i v = weigh(avg, rowV, offsetV);

    const __m128i yw = _mm_packs_epi32(y0, y1);
    const __m128i uvw = _mm_packs_epi32(_mm_unpacklo_epi32(u, v), _mm_unpackhi_epi32(u, v));
    const __m128i out = _mm_packus_epi16(_mm_unpacklo_epi16(yw, uvw), _mm_unpackhi_epi16(yw, uvw));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * k), out);
  }
  RGB32ToYUY2Tail_SSE2(dst + 4 * k, src + 8 * k, pairs - k);
}
