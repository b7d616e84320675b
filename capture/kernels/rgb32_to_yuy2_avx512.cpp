// The AVX variant's arithmetic, (B*c0 + G*c1) + R*c2 in single precision (see
// rgb32_to_yuy2_avx.cpp), in 512-bit vectors: sixteen pixel pairs per step.
#include <immintrin.h>

#include <cstring>

#include "kernels.h"

namespace quorvane_capture {
namespace {

// G and R weights divided by 2^8 and 2^16 so the masked pixel words need no shift; the
// products are unchanged because power-of-two scaling does not alter rounding.
struct Row {
  __m512 b, g, r;
};

Row loadRow(const float* c) {
  return Row{_mm512_set1_ps(c[0]), _mm512_set1_ps(c[1] * (1.0f / 256.0f)),
             _mm512_set1_ps(c[2] * (1.0f / 65536.0f))};
}

__m512i weigh(__m512i px, const Row& row, __m512 offset) {
  const __m512 b = _mm512_cvtepi32_ps(_mm512_and_si512(px, _mm512_set1_epi32(0xFF)));
  const __m512 g = _mm512_cvtepi32_ps(_mm512_and_si512(px, _mm512_set1_epi32(0xFF00)));
  const __m512 r = _mm512_cvtepi32_ps(_mm512_and_si512(px, _mm512_set1_epi32(0xFF0000)));
  const __m512 bg = _mm512_add_ps(_mm512_mul_ps(b, row.b), _mm512_mul_ps(g, row.g));
  const __m512 sum = _mm512_add_ps(bg, _mm512_mul_ps(r, row.r));
  return _mm512_cvttps_epi32(_mm512_add_ps(sum, offset));
}

// Thirty-two pixels in two vectors give 64 output bytes. The 128-bit-lane shuffles leave lane
// k holding pairs 2k, 2k+1 and 8+2k, 9+2k; luma and chroma meet in matching order and a
// 64-bit permutation restores memory order.
__m512i convertBlock(__m512i x0, __m512i x1, const Row& rowY, const Row& rowU, const Row& rowV,
                     __m512 offsetY, __m512 offsetU, __m512 offsetV) {
  const __m512 f0 = _mm512_castsi512_ps(x0);
  const __m512 f1 = _mm512_castsi512_ps(x1);
  const __m512i even = _mm512_castps_si512(_mm512_shuffle_ps(f0, f1, _MM_SHUFFLE(2, 0, 2, 0)));
  const __m512i odd = _mm512_castps_si512(_mm512_shuffle_ps(f0, f1, _MM_SHUFFLE(3, 1, 3, 1)));
  const __m512i avg = _mm512_avg_epu8(even, odd);
  const __m512i y0 = weigh(x0, rowY, offsetY);
  const __m512i y1 = weigh(x1, rowY, offsetY);
  const __m512i u = weigh(avg, rowU, offsetU);
  const __m512i v = weigh(avg, rowV, offsetV);
  const __m512i yw = _mm512_packs_epi32(y0, y1);
  const __m512i uvw = _mm512_packs_epi32(_mm512_unpacklo_epi32(u, v), _mm512_unpackhi_epi32(u, v));
  const __m512i bytes =
      _mm512_packus_epi16(_mm512_unpacklo_epi16(yw, uvw), _mm512_unpackhi_epi16(yw, uvw));
  return _mm512_permutexvar_epi64(_mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7), bytes);
}

}  // namespace

void RGB32ToYUY2_AVX512(uint8_t* dst, const uint8_t* src, int64_t width, int64_t height) {
  float m[12];
  float r[4];
  std::memcpy(m, g_colorMatrix, sizeof(m));
  std::memcpy(r, g_colorRange, sizeof(r));
  const Row rowY = loadRow(m);
  const Row rowU = loadRow(m + 4);
  const Row rowV = loadRow(m + 8);
  const __m512 offsetY = _mm512_setr_ps(r[0], r[2], r[0], r[2], r[0], r[2], r[0], r[2], r[0], r[2],
                                        r[0], r[2], r[0], r[2], r[0], r[2]);
  const __m512 offsetU = _mm512_set1_ps(r[1]);
  const __m512 offsetV = _mm512_set1_ps(r[3]);

  const int64_t pairs = width * height / 2;
  int64_t k = 0;
  // In place the 64 bytes written trail the 128 bytes already read.
  for (; k + 16 <= pairs; k += 16) {
    const uint8_t* in = src + 8 * k;
    readAhead(in);
    readAhead(in + 64);
    const __m512i x0 = _mm512_loadu_si512(in);
    const __m512i x1 = _mm512_loadu_si512(in + 64);
    _mm512_storeu_si512(dst + 4 * k,
                        convertBlock(x0, x1, rowY, rowU, rowV, offsetY, offsetU, offsetV));
  }
  RGB32ToYUY2Tail_AVX(dst + 4 * k, src + 8 * k, pairs - k);
}

}  // namespace quorvane_capture
