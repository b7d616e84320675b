// The AVX variant's arithmetic, (B*c0 + G*c1) + R*c2 in single precision (see
// rgb32_to_yuy2_avx.cpp), with the integer steps in 256-bit vectors too: sixteen pixel pairs
// per step.
#include <immintrin.h>

#include <cstring>

#include "kernels.h"

namespace quorvane_capture {
namespace {

struct Row {
  __m256 b, g, r;
};

Row loadRow(const float* c) {
  return Row{_mm256_set1_ps(c[0]), _mm256_set1_ps(c[1] * (1.0f / 256.0f)),
             _mm256_set1_ps(c[2] * (1.0f / 65536.0f))};
}

__m256i weigh(__m256i px, const Row& row, __m256 offset) {
  const __m256 b = _mm256_cvtepi32_ps(_mm256_and_si256(px, _mm256_set1_epi32(0xFF)));
  const __m256 g = _mm256_cvtepi32_ps(_mm256_and_si256(px, _mm256_set1_epi32(0xFF00)));
  const __m256 r = _mm256_cvtepi32_ps(_mm256_and_si256(px, _mm256_set1_epi32(0xFF0000)));
  const __m256 bg = _mm256_add_ps(_mm256_mul_ps(b, row.b), _mm256_mul_ps(g, row.g));
  const __m256 sum = _mm256_add_ps(bg, _mm256_mul_ps(r, row.r));
  return _mm256_cvttps_epi32(_mm256_add_ps(sum, offset));
}

// Sixteen pixels p0..p15 in two vectors give 32 output bytes. The lane-wise shuffles leave the
// pairs in the order 0,1,4,5 | 2,3,6,7; luma and chroma meet in matching order and the final
// 64-bit permutation restores memory order.
__m256i convertBlock(__m256i x0, __m256i x1, const Row& rowY, const Row& rowU, const Row& rowV,
                     __m256 offsetY, __m256 offsetU, __m256 offsetV) {
  const __m256 f0 = _mm256_castsi256_ps(x0);
  const __m256 f1 = _mm256_castsi256_ps(x1);
  const __m256i even = _mm256_castps_si256(_mm256_shuffle_ps(f0, f1, _MM_SHUFFLE(2, 0, 2, 0)));
  const __m256i odd = _mm256_castps_si256(_mm256_shuffle_ps(f0, f1, _MM_SHUFFLE(3, 1, 3, 1)));
  const __m256i avg = _mm256_avg_epu8(even, odd);
  const __m256i y0 = weigh(x0, rowY, offsetY);
  const __m256i y1 = weigh(x1, rowY, offsetY);
  const __m256i u = weigh(avg, rowU, offsetU);
  const __m256i v = weigh(avg, rowV, offsetV);
  const __m256i yw = _mm256_packs_epi32(y0, y1);
  const __m256i uvw = _mm256_packs_epi32(_mm256_unpacklo_epi32(u, v), _mm256_unpackhi_epi32(u, v));
  const __m256i bytes =
      _mm256_packus_epi16(_mm256_unpacklo_epi16(yw, uvw), _mm256_unpackhi_epi16(yw, uvw));
  return _mm256_permute4x64_epi64(bytes, _MM_SHUFFLE(3, 1, 2, 0));
}

}  // namespace

void RGB32ToYUY2_AVX2(uint8_t* dst, const uint8_t* src, int64_t width, int64_t height) {
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
  // In place the bytes written trail the bytes already read.
  for (; k + 16 <= pairs; k += 16) {
    const __m256i* in = reinterpret_cast<const __m256i*>(src + 8 * k);
    readAhead(in);
    readAhead(in + 2);
    const __m256i x0 = _mm256_loadu_si256(in);
    const __m256i x1 = _mm256_loadu_si256(in + 1);
    const __m256i x2 = _mm256_loadu_si256(in + 2);
    const __m256i x3 = _mm256_loadu_si256(in + 3);
    const __m256i out0 = convertBlock(x0, x1, rowY, rowU, rowV, offsetY, offsetU, offsetV);
    const __m256i out1 = convertBlock(x2, x3, rowY, rowU, rowV, offsetY, offsetU, offsetV);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 4 * k), out0);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 4 * k + 32), out1);
  }
  for (; k + 8 <= pairs; k += 8) {
    const __m256i* in = reinterpret_cast<const __m256i*>(src + 8 * k);
    const __m256i out = convertBlock(_mm256_loadu_si256(in), _mm256_loadu_si256(in + 1), rowY, rowU,
                                     rowV, offsetY, offsetU, offsetV);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 4 * k), out);
  }
  RGB32ToYUY2Tail_AVX(dst + 4 * k, src + 8 * k, pairs - k);
}

}  // namespace quorvane_capture
