// RGB32 to YUY2 with AVX: eight pixel pairs per step, floats in 256-bit vectors. Each weighted
// sum is (B*c0 + G*c1) + (R*c2 + A*c3), rounded to single precision after every operation.
// The A weight is always 0, so R*c2 + A*c3 equals R*c2 up to the sign of a zero, which the
// offset added next removes; the A product is therefore not formed.
#include <immintrin.h>

#include <cstring>

#include "kernels.h"

namespace quorvane_capture {
namespace {

// G and R weights divided by 2^8 and 2^16 so the masked pixel words need no shift; the
// products are unchanged because power-of-two scaling does not alter rounding.
struct Row {
  __m256 b, g, r;
};

Row loadRow(const float* c) {
  return Row{_mm256_set1_ps(c[0]), _mm256_set1_ps(c[1] * (1.0f / 256.0f)),
             _mm256_set1_ps(c[2] * (1.0f / 65536.0f))};
}

__m256i weigh(__m256 px, const Row& row, __m256 offset) {
  const __m256 b = _mm256_cvtepi32_ps(
      _mm256_castps_si256(_mm256_and_ps(px, _mm256_castsi256_ps(_mm256_set1_epi32(0xFF)))));
  const __m256 g = _mm256_cvtepi32_ps(
      _mm256_castps_si256(_mm256_and_ps(px, _mm256_castsi256_ps(_mm256_set1_epi32(0xFF00)))));
  const __m256 r = _mm256_cvtepi32_ps(
      _mm256_castps_si256(_mm256_and_ps(px, _mm256_castsi256_ps(_mm256_set1_epi32(0xFF0000)))));
  const __m256 bg = _mm256_add_ps(_mm256_mul_ps(b, row.b), _mm256_mul_ps(g, row.g));
  const __m256 sum = _mm256_add_ps(bg, _mm256_mul_ps(r, row.r));
  return _mm256_cvttps_epi32(_mm256_add_ps(sum, offset));
}

// Y of 8 pixels, U and V of the 4 pairs among them: 16 output bytes.
__m128i interleave(__m256i y, __m128i u, __m128i v) {
  const __m128i yw = _mm_packs_epi32(_mm256_castsi256_si128(y), _mm256_extractf128_si256(y, 1));
  const __m128i uvw = _mm_packs_epi32(_mm_unpacklo_epi32(u, v), _mm_unpackhi_epi32(u, v));
  return _mm_packus_epi16(_mm_unpacklo_epi16(yw, uvw), _mm_unpackhi_epi16(yw, uvw));
}

__m128i pairAverage(__m128i x0, __m128i x1) {
  const __m128 f0 = _mm_castsi128_ps(x0);
  const __m128 f1 = _mm_castsi128_ps(x1);
  const __m128i even = _mm_castps_si128(_mm_shuffle_ps(f0, f1, _MM_SHUFFLE(2, 0, 2, 0)));
  const __m128i odd = _mm_castps_si128(_mm_shuffle_ps(f0, f1, _MM_SHUFFLE(3, 1, 3, 1)));
  return _mm_avg_epu8(even, odd);
}

}  // namespace
}  // namespace quorvane_capture

using namespace quorvane_capture;

extern "C" QV_EXPORT void RGB32ToYUY2_AVX(uint8_t* dst, const uint8_t* src, int64_t width,
                                          int64_t height) {
  float m[12];
  float r[4];
  std::memcpy(m, g_colorMatrix, sizeof(m));
  std::memcpy(r, g_colorRange, sizeof(r));
  const Row rowY = loadRow(m);
  const Row rowU = loadRow(m + 4);
  const Row rowV = loadRow(m + 8);
  const __m256 offsetY = _mm256_setr_ps(r[0], r[2], r[0], r[2], r[0], r[2], r[0], r[2]);
  const __m256 offsetU = _mm256_set1_ps(r[1]);
  const __m256 offsetV = _mm256_set1_ps(r[3]);

  const int64_t pairs = width * height / 2;
  int64_t k = 0;
  // In place the 32 bytes written trail the 64 bytes already read.
  for (; k + 8 <= pairs; k += 8) {
    const uint8_t* in = src + 8 * k;
    readAhead(in);
    const __m128i x0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    const __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16));
    const __m128i x2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 32));
    const __m128i x3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 48));
    const __m256 avg = _mm256_castsi256_ps(_mm256_insertf128_si256(
        _mm256_castsi128_si256(pairAverage(x0, x1)), pairAverage(x2, x3), 1));
    const __m256 px0 =
        _mm256_castsi256_ps(_mm256_insertf128_si256(_mm256_castsi128_si256(x0), x1, 1));
    const __m256 px1 =
        _mm256_castsi256_ps(_mm256_insertf128_si256(_mm256_castsi128_si256(x2), x3, 1));

    const __m256i y0 = weigh(px0, rowY, offsetY);
    const __m256i y1 = weigh(px1, rowY, offsetY);
    const __m256i u = weigh(avg, rowU, offsetU);
    const __m256i v = weigh(avg, rowV, offsetV);

    const __m128i out0 = interleave(y0, _mm256_castsi256_si128(u), _mm256_castsi256_si128(v));
    const __m128i out1 =
        interleave(y1, _mm256_extractf128_si256(u, 1), _mm256_extractf128_si256(v, 1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * k), out0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * k + 16), out1);
  }
  RGB32ToYUY2Tail_AVX(dst + 4 * k, src + 8 * k, pairs - k);
}
