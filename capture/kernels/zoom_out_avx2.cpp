// Area-average downscale for AVX2 machines, byte-identical to the other variants. The general
// path works on two output pixels per 256-bit vector. What decides the bits is kept element
// by element: every output pixel gets the same float operations in the same order as the
// reference. Only independent work is regrouped: the column bookkeeping, the same for every
// output row, is computed once per call, and the carried share of a pixel's last column is
// formed before the next pixel's sum starts, as the reference's order requires.
#include <immintrin.h>

#include <cstring>

#include "kernels.h"

namespace quorvane_capture {
#include "zoom_out_body.inc"

namespace {

constexpr int64_t kMaxTableColumns = 4096;
constexpr int kMaxFootprintRows = 6;

struct Column {
  int32_t wholeStart;    // first whole source column
  int32_t whole;         // whole source columns
  int32_t partialIndex;  // source column of the partial pixel (0 when there is none)
  int32_t partialMask;   // all ones when there is a partial pixel, else 0
  float f;               // the partial pixel's share that stays with this output pixel
};

int32_t loadWord(const uint8_t* p) {
  int32_t w;
  std::memcpy(&w, p, 4);
  return w;
}

__m256 wordsToFloats(int32_t a, int32_t b) {
  const __m128i x = _mm_insert_epi32(_mm_cvtsi32_si128(a), b, 1);
  return _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(x));
}

__m128i sumWhole(const uint8_t* p, int32_t n) {
  if (n == 1) return _mm_cvtepu8_epi32(_mm_cvtsi32_si128(loadWord(p)));
  __m128i s = _mm_setzero_si128();
  for (int32_t k = 0; k < n; ++k) {
    s = _mm_add_epi32(s, _mm_cvtepu8_epi32(_mm_cvtsi32_si128(loadWord(p + 4 * k))));
  }
  return s;
}

struct FootprintRow {
  const uint8_t* row;
  float w;
};

// kSingle: no output pixel covers more than one whole column, so a row sum is a single
// (possibly masked) pixel.
template <bool kSingle>
void zoomRow(uint8_t* out, const Column* columns, int64_t dstW, const FootprintRow* rows,
             int rowCount, __m256 normV) {
  __m256 prevCarry = _mm256_setzero_ps();
  for (int64_t i = 0; i < dstW; i += 2) {
    const Column& a = columns[i];
    const Column& b = columns[i + 1];  // the table has one spare, empty column
    const __m256 fV = _mm256_setr_m128(_mm_set1_ps(a.f), _mm_set1_ps(b.f));
    __m256 products[kMaxFootprintRows];
    __m256 parts[kMaxFootprintRows];
    __m256 carry = _mm256_setzero_ps();
    for (int r = 0; r < rowCount; ++r) {
      const uint8_t* row = rows[r].row;
      const __m256 wV = _mm256_set1_ps(rows[r].w);
      __m256 sum;
      if (kSingle) {
        sum = wordsToFloats(loadWord(row + 4 * a.wholeStart) & -a.whole,
                            loadWord(row + 4 * b.wholeStart) & -b.whole);
      } else {
        sum = _mm256_cvtepi32_ps(_mm256_setr_m128i(sumWhole(row + 4 * a.wholeStart, a.whole),
                                                   sumWhole(row + 4 * b.wholeStart, b.whole)));
      }
      products[r] = _mm256_mul_ps(sum, wV);
      const __m256 v =
          _mm256_mul_ps(wordsToFloats(loadWord(row + 4 * a.partialIndex) & a.partialMask,
                                      loadWord(row + 4 * b.partialIndex) & b.partialMask),
                        wV);
      const __m256 part = _mm256_mul_ps(v, fV);
      parts[r] = part;
      carry = _mm256_add_ps(carry, _mm256_sub_ps(v, part));
    }
    // Pixel i starts from pixel i-1's carry, pixel i+1 from pixel i's.
    __m256 acc = _mm256_permute2f128_ps(prevCarry, carry, 0x21);
    for (int r = 0; r < rowCount; ++r) {
      acc = _mm256_add_ps(acc, products[r]);
      acc = _mm256_add_ps(acc, parts[r]);
    }
    prevCarry = carry;
    const __m256i rounded = _mm256_cvtps_epi32(_mm256_mul_ps(acc, normV));
    const __m128i words =
        _mm_packs_epi32(_mm256_castsi256_si128(rounded), _mm256_extracti128_si256(rounded, 1));
    const __m128i bytes = _mm_packus_epi16(words, words);
    if (i + 1 < dstW) {
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 4 * i), bytes);
    } else {
      const int32_t word = _mm_cvtsi128_si32(bytes);
      std::memcpy(out + 4 * i, &word, 4);
    }
  }
}

// Returns false, having written nothing, for shapes outside the table's limits.
bool zoomGeneralWide(uint8_t* dst, int64_t dstW, int64_t dstH, const uint8_t* src, int64_t srcW,
                     float xr, float yr, uint64_t fx, uint64_t fy) {
  if (dstW > kMaxTableColumns || static_cast<int64_t>(fy >> 32) + 2 > kMaxFootprintRows ||
      srcW > INT32_MAX / 4) {
    return false;
  }
  Column columns[kMaxTableColumns + 1];
  bool single = true;
  {
    uint64_t xCarryFix = 0;
    float xCarryW = 0.0f;
    int64_t offset = 0;
    for (int64_t i = 0; i < dstW; ++i) {
      const uint64_t remX = fx - xCarryFix;
      const int64_t whole = static_cast<int64_t>(remX >> 32);
      if (whole > kMaxExactColumns) return false;
      const bool partial = (remX & kFractionMask) != 0;
      float remXf = xr - xCarryW;
      for (int64_t k = 0; k < whole; ++k) remXf = remXf - 1.0f;
      columns[i] =
          Column{static_cast<int32_t>(offset), static_cast<int32_t>(whole),
                 partial ? static_cast<int32_t>(offset + whole) : 0, partial ? -1 : 0, remXf};
      if (whole > 1) single = false;
      xCarryFix = partial ? kOne - (remX & kFractionMask) : 0;
      xCarryW = partial ? 1.0f - remXf : remXf;
      offset += whole + (partial ? 1 : 0);
    }
    columns[dstW] = Column{0, 0, 0, 0, 0.0f};
  }

  const __m256 normV = _mm256_set1_ps(1.0f / (xr * yr));
  const int64_t stride = srcW * 4;
  const uint8_t* srcRow = src;
  uint64_t yAcc = 0;
  uint64_t rowCarryFix = 0;
  float rowCarryW = 0.0f;
  FootprintRow rows[kMaxFootprintRows];
  for (int64_t j = 0; j < dstH; ++j) {
    yAcc += fy;
    const uint64_t rowsToAdvance = yAcc >> 32;
    const uint64_t yAccNext = yAcc & kFractionMask;

    int rowCount = 0;
    const uint8_t* p = srcRow;
    float remYf = yr;
    uint64_t remY = fy;
    if (rowCarryFix != 0) {
      rows[rowCount++] = FootprintRow{p, rowCarryW};
      p += stride;
      remYf = remYf - rowCarryW;
      remY = remY - rowCarryFix;
    }
    while (remY >= kOne) {
      rows[rowCount++] = FootprintRow{p, 1.0f};
      p += stride;
      remY = remY - kOne;
      remYf = remYf - 1.0f;
    }
    uint64_t newRowCarryFix = 0;
    if (remY != 0) {
      rows[rowCount++] = FootprintRow{p, remYf};
      newRowCarryFix = kOne - remY;
    }

    uint8_t* out = dst + j * dstW * 4;
    if (single) {
      zoomRow<true>(out, columns, dstW, rows, rowCount, normV);
    } else {
      zoomRow<false>(out, columns, dstW, rows, rowCount, normV);
    }

    rowCarryW = 1.0f - remYf;
    rowCarryFix = newRowCarryFix;
    srcRow += static_cast<int64_t>(rowsToAdvance) * stride;
    yAcc = yAccNext;
  }
  return true;
}

}  // namespace

void ZoomOutHeikin32_AVX2(uint8_t* dst, int64_t dstW, int64_t dstH, const uint8_t* src,
                          int64_t srcW, int64_t srcH) {
  if (dstW < 1 || dstH < 1 || srcW < dstW || srcH < dstH) return;
  const float xr = static_cast<float>(srcW) / static_cast<float>(dstW);
  const float yr = static_cast<float>(srcH) / static_cast<float>(dstH);
  const uint64_t fx = zoomStep(srcW, dstW);
  const uint64_t fy = zoomStep(srcH, dstH);
  if ((fx & kFractionMask) == 0 && (fy & kFractionMask) == 0) {
    zoomWhole(dst, dstW, dstH, src, srcW, static_cast<int64_t>(fx >> 32),
              static_cast<int64_t>(fy >> 32));
  } else if (!zoomGeneralWide(dst, dstW, dstH, src, srcW, xr, yr, fx, fy)) {
    zoomGeneral(dst, dstW, dstH, src, srcW, xr, yr, fx, fy);
  }
}

}  // namespace quorvane_capture
