// Area-average downscale for AVX2 machines, byte-identical to the other variants. The general
// path works on two output pixels per 256-bit vector. What decides the bits is kept element
// by element: every output pixel gets the same float operations in the same order as the
// reference. Only independent work is regrouped: the column bookkeeping, the same for every
// output row, is computed once per call, and the carried share of a pixel's last column is
// formed before the next pixel's sum starts, as the reference's order requires.
//
// Ratios below four (the usual ones: 1080p to 720p, to 540p) take the grouped route: the source
// pixels a pair of output pixels needs are loaded as one run of at most eight and put in place by
// a dword permutation instead of being fetched one by one. Other shapes take the column table.
#include <immintrin.h>

#include <cstdint>
#include <cstdlib>
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

// kSingle: no output pixel covers more than one whole column, so a row sum is a single
// (possibly masked) pixel.
template <bool kSingle>
void zoomRow(uint8_t* out, const Column* columns, int64_t dstW, const uint8_t* const* rows,
             const float* weights, int rowCount, __m256 normV) {
  __m256 prevCarry = _mm256_setzero_ps();
  for (int64_t i = 0; i < dstW; i += 2) {
    const Column& a = columns[i];
    const Column& b = columns[i + 1];  // the table has one spare, empty column
    const __m256 fV = _mm256_setr_m128(_mm_set1_ps(a.f), _mm_set1_ps(b.f));
    __m256 products[kMaxFootprintRows];
    __m256 parts[kMaxFootprintRows];
    __m256 carry = _mm256_setzero_ps();
    for (int r = 0; r < rowCount; ++r) {
      const uint8_t* row = rows[r];
      const __m256 wV = _mm256_set1_ps(weights[r]);
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

// Fills the column table (dstW + 1 entries, the last one empty); false for shapes outside its
// limits.
bool buildColumns(Column* columns, bool* single, int64_t dstW, int64_t srcW, float xr,
                  uint64_t fx) {
  if (dstW > kMaxTableColumns || srcW > INT32_MAX / 4) return false;
  *single = true;
  const bool fits = forEachOutputColumn(
      dstW, xr, fx, kMaxExactColumns,
      [&](int64_t i, int64_t offset, int64_t whole, bool partial, float share) {
        columns[i] =
            Column{static_cast<int32_t>(offset), static_cast<int32_t>(whole),
                   partial ? static_cast<int32_t>(offset + whole) : 0, partial ? -1 : 0, share};
        if (whole > 1) *single = false;
        return true;
      });
  columns[dstW] = Column{0, 0, 0, 0, 0.0f};
  return fits;
}

void zoomGeneralWide(uint8_t* dst, int64_t dstW, int64_t dstH, const uint8_t* src, int64_t srcW,
                     float xr, float yr, uint64_t fy, const Column* columns, bool single) {
  const __m256 normV = _mm256_set1_ps(1.0f / (xr * yr));
  const int64_t stride = srcW * 4;
  forEachOutputRow<kMaxFootprintRows>(
      dst, dstW, dstH, src, stride, yr, fy,
      [&](uint8_t* out, const uint8_t* const* rows, const float* weights, int rowCount,
          const uint8_t*) {
        if (single) {
          zoomRow<true>(out, columns, dstW, rows, weights, rowCount, normV);
        } else {
          zoomRow<false>(out, columns, dstW, rows, weights, rowCount, normV);
        }
      });
}

// --- Grouped route: two output pixels per vector, their source pixels in one load -----------

constexpr int kGroup = 2;     // output pixels per vector
constexpr int kWindow = 8;    // source pixels one load brings
constexpr int kMaxWhole = 3;  // whole columns per output pixel
constexpr int kMaxRows = 5;   // source rows per output row
constexpr int64_t kMaxGroups = 2048;

// Per pair of output pixels: where its run of source pixels starts, how many it loads, which of
// them each output pixel takes, and the float share of the partial column that stays with the
// pixel. Pixel k of the pair uses dwords 4k..4k+3 of the permuted run: its first whole column,
// its partial column, its second and third whole columns. A pick of -1 takes nothing (zero,
// which adds exactly nothing).
struct GroupTable {
  alignas(32) int8_t pick[kMaxGroups][kWindow];
  alignas(32) float share[kMaxGroups][kGroup];
  int32_t start[kMaxGroups];
  uint8_t loadCount[kMaxGroups];
};

// Fills the table; returns the most whole columns any output pixel takes, or 0 when a pair
// needs more than one run or a pixel more whole columns than the route handles.
int buildGroups(GroupTable& t, int64_t dstW, float xr, uint64_t fx) {
  const int64_t groups = (dstW + kGroup - 1) / kGroup;
  std::memset(t.pick, -1, sizeof(t.pick[0]) * groups);
  std::memset(t.share, 0, sizeof(t.share[0]) * groups);
  int maxWhole = 1;
  const bool fits =
      forEachOutputColumn(dstW, xr, fx, kMaxWhole,
                          [&](int64_t i, int64_t offset, int64_t whole, bool partial, float share) {
                            const int64_t g = i / kGroup;
                            const int k = static_cast<int>(i % kGroup);
                            if (k == 0) t.start[g] = static_cast<int32_t>(offset);
                            const int64_t first = offset - t.start[g];
                            const int64_t end = first + whole + (partial ? 1 : 0);
                            if (end > kWindow) return false;
                            if (whole > maxWhole) maxWhole = static_cast<int>(whole);
                            static constexpr int kWholeSlot[kMaxWhole] = {0, 2, 3};
                            for (int64_t n = 0; n < whole; ++n) {
                              t.pick[g][4 * k + kWholeSlot[n]] = static_cast<int8_t>(first + n);
                            }
                            if (partial) {
                              t.pick[g][4 * k + 1] = static_cast<int8_t>(first + whole);
                              t.share[g][k] = share;
                            }
                            t.loadCount[g] = static_cast<uint8_t>(end);
                            return true;
                          });
  if (!fits) return 0;
  return maxWhole;
}

// Byte n of a lane's dword d goes to the low byte of the lane's dword n (zero-extension of one
// pixel to four channels) for the shuffle control of dword d.
__m256i spreadDword(int d) {
  alignas(32) int8_t c[32];
  for (int i = 0; i < 32; ++i) c[i] = (i % 4 == 0) ? static_cast<int8_t>(4 * d + (i % 16) / 4) : -1;
  return _mm256_load_si256(reinterpret_cast<const __m256i*>(c));
}

// Dwords 8-n..15-n of this are the load mask for a run of n pixels.
alignas(32) constexpr int32_t kLoadMasks[16] = {-1, -1, -1, -1, -1, -1, -1, -1,
                                                0,  0,  0,  0,  0,  0,  0,  0};

template <int kRows, int kWhole>
void groupedRow(uint8_t* out, const GroupTable& t, int64_t dstW, const uint8_t* const* rows,
                const float* weights, const uint8_t* ahead, int aheadRows, int64_t stride,
                __m256 normV) {
  const __m256i spreadWhole0 = spreadDword(0);
  const __m256i spreadPartial = spreadDword(1);
  const __m256i spreadWhole1 = spreadDword(2);
  const __m256i spreadWhole2 = spreadDword(3);
  __m256 w[kRows];
  for (int r = 0; r < kRows; ++r) w[r] = _mm256_set1_ps(weights[r]);

  __m256 prevCarry = _mm256_setzero_ps();
  // Output pixels 2g and 2g+1 as rounded integers, not yet clamped. Inlined by force, so that
  // the carry stays in a register.
  auto group = [&](int64_t g) __attribute__((always_inline)) {
    const __m256i pick =
        _mm256_cvtepi8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(t.pick[g])));
    const __m256i taken = _mm256_cmpgt_epi32(pick, _mm256_set1_epi32(-1));
    const __m128 share2 = _mm_castpd_ps(_mm_load_sd(reinterpret_cast<const double*>(t.share[g])));
    const __m256 share = _mm256_setr_m128(_mm_shuffle_ps(share2, share2, 0x00),
                                          _mm_shuffle_ps(share2, share2, 0x55));
    const __m256i loadMask =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kLoadMasks + kWindow - t.loadCount[g]));
    const int64_t offset = int64_t{t.start[g]} * 4;
    // The next output row's new source rows, fetched while this row computes. A prefetch never
    // faults, even past the end.
    for (int k = 0; k < aheadRows; ++k) {
      _mm_prefetch(reinterpret_cast<const char*>(ahead + k * stride + offset), _MM_HINT_T0);
    }
    __m256 products[kRows];
    __m256 parts[kRows];
    __m256 carry = _mm256_setzero_ps();  // set by the first row
    for (int r = 0; r < kRows; ++r) {
      // Masked-off dwords are not read, so the run never reaches past the row's last pixel.
      const __m256i run =
          _mm256_maskload_epi32(reinterpret_cast<const int*>(rows[r] + offset), loadMask);
      const __m256i picked = _mm256_and_si256(_mm256_permutevar8x32_epi32(run, pick), taken);
      // Up to three bytes' worth per channel: the integer sum is exact, as the float sum is.
      __m256i sum = _mm256_shuffle_epi8(picked, spreadWhole0);
      if (kWhole >= 2) sum = _mm256_add_epi32(sum, _mm256_shuffle_epi8(picked, spreadWhole1));
      if (kWhole >= 3) sum = _mm256_add_epi32(sum, _mm256_shuffle_epi8(picked, spreadWhole2));
      products[r] = _mm256_mul_ps(_mm256_cvtepi32_ps(sum), w[r]);
      const __m256 v =
          _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_shuffle_epi8(picked, spreadPartial)), w[r]);
      parts[r] = _mm256_mul_ps(v, share);
      // 0 + x is x but for the sign of a zero, which no output byte can show.
      carry =
          r == 0 ? _mm256_sub_ps(v, parts[r]) : _mm256_add_ps(carry, _mm256_sub_ps(v, parts[r]));
    }
    // Pixel 2g starts from the previous pair's second carry, pixel 2g+1 from pixel 2g's.
    __m256 acc = _mm256_permute2f128_ps(prevCarry, carry, 0x21);
    for (int r = 0; r < kRows; ++r) {
      acc = _mm256_add_ps(acc, products[r]);
      acc = _mm256_add_ps(acc, parts[r]);
    }
    prevCarry = carry;
    // Nearest with ties to even (the default rounding mode).
    return _mm256_cvtps_epi32(_mm256_mul_ps(acc, normV));
  };

  // Four pairs at a time, clamped to 0..255 by the two saturating packs; these leave the first
  // pixels of the four pairs in the low half, which one permutation puts back in order.
  const __m256i inOrder = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  const int64_t fullGroups = dstW / kGroup;
  int64_t g = 0;
  for (; g + 4 <= fullGroups; g += 4) {
    const __m256i r0 = group(g);
    const __m256i r1 = group(g + 1);
    const __m256i r2 = group(g + 2);
    const __m256i r3 = group(g + 3);
    const __m256i bytes =
        _mm256_packus_epi16(_mm256_packs_epi32(r0, r1), _mm256_packs_epi32(r2, r3));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + g * kGroup * 4),
                        _mm256_permutevar8x32_epi32(bytes, inOrder));
  }
  for (; g * kGroup < dstW; ++g) {
    const __m256i rounded = group(g);
    const __m128i words =
        _mm_packs_epi32(_mm256_castsi256_si128(rounded), _mm256_extracti128_si256(rounded, 1));
    const __m128i bytes = _mm_packus_epi16(words, words);
    uint8_t* p = out + g * kGroup * 4;
    if (g * kGroup + 1 < dstW) {
      _mm_storel_epi64(reinterpret_cast<__m128i*>(p), bytes);
    } else {
      const int32_t word = _mm_cvtsi128_si32(bytes);
      std::memcpy(p, &word, 4);
    }
  }
}

using GroupedRowFunction = void (*)(uint8_t*, const GroupTable&, int64_t, const uint8_t* const*,
                                    const float*, const uint8_t*, int, int64_t, __m256);

template <int kWhole>
constexpr GroupedRowFunction kGroupedRowsFor[kMaxRows] = {
    groupedRow<1, kWhole>, groupedRow<2, kWhole>, groupedRow<3, kWhole>, groupedRow<4, kWhole>,
    groupedRow<5, kWhole>};

void zoomGrouped(uint8_t* dst, int64_t dstW, int64_t dstH, const uint8_t* src, int64_t srcW,
                 float xr, float yr, uint64_t fy, const GroupTable& table, int maxWhole) {
  const GroupedRowFunction* rowFunctions = maxWhole == 1   ? kGroupedRowsFor<1>
                                           : maxWhole == 2 ? kGroupedRowsFor<2>
                                                           : kGroupedRowsFor<3>;

  const __m256 normV = _mm256_set1_ps(1.0f / (xr * yr));
  const int64_t stride = srcW * 4;
  const int aheadRows = static_cast<int>((fy + kFractionMask) >> 32);
  forEachOutputRow<kMaxRows>(dst, dstW, dstH, src, stride, yr, fy,
                             [&](uint8_t* out, const uint8_t* const* rows, const float* weights,
                                 int rowCount, const uint8_t* ahead) {
                               rowFunctions[rowCount - 1](out, table, dstW, rows, weights, ahead,
                                                          aheadRows, stride, normV);
                             });
}

// The column bookkeeping of one pair of widths, in heap memory: tens of kilobytes, too much for
// the stack of a host's thread. Either route's table is null where the shape is outside it.
// Plain data with no destructor: nothing built for AVX2 may run at the exit of a process on a
// processor without it.
struct ZoomTables {
  int64_t dstW;
  int64_t srcW;
  GroupTable* groups;
  int maxWhole;
  Column* columns;
  bool single;
};

void releaseTables(ZoomTables* t) {
  freeTable(t->groups);
  freeTable(t->columns);
  *t = ZoomTables{0, 0, nullptr, 0, nullptr, true};
}

void buildTables(ZoomTables* t, int64_t dstW, int64_t srcW, float xr, uint64_t fx, bool wantGroups,
                 bool wantColumns) {
  *t = ZoomTables{dstW, srcW, nullptr, 0, nullptr, true};
  if (wantGroups && dstW <= kMaxGroups * kGroup && srcW <= INT32_MAX) {
    t->groups = allocateTable<GroupTable>();
    if (t->groups != nullptr) t->maxWhole = buildGroups(*t->groups, dstW, xr, fx);
    if (t->maxWhole == 0) {
      freeTable(t->groups);
      t->groups = nullptr;
    }
  }
  if (wantColumns && dstW <= kMaxTableColumns) {
    t->columns = allocateTable<Column>(static_cast<size_t>(dstW) + 1);
    if (t->columns != nullptr && !buildColumns(t->columns, &t->single, dstW, srcW, xr, fx)) {
      freeTable(t->columns);
      t->columns = nullptr;
    }
  }
}

// The tables for the recording's widths: built by Initialize, read by every encode thread,
// released by Finalize.
ZoomTables prepared = {0, 0, nullptr, 0, nullptr, true};

}  // namespace

void prepareZoomTablesAVX2(int64_t dstW, int64_t srcW) {
  releaseTables(&prepared);
  if (dstW < 1 || srcW < dstW) return;
  const float xr = static_cast<float>(srcW) / static_cast<float>(dstW);
  buildTables(&prepared, dstW, srcW, xr, zoomStep(srcW, dstW), true, true);
}

void releaseZoomTablesAVX2() { releaseTables(&prepared); }

void ZoomOutHeikin32_AVX2(uint8_t* dst, int64_t dstW, int64_t dstH, const uint8_t* src,
                          int64_t srcW, int64_t srcH) {
  ZoomShape z;
  if (!zoomShape(dstW, dstH, srcW, srcH, &z)) return;
  if (z.whole()) {
    zoomWhole(dst, dstW, dstH, src, srcW, static_cast<int64_t>(z.fx >> 32),
              static_cast<int64_t>(z.fy >> 32));
    return;
  }
  const int64_t footprintRows = static_cast<int64_t>(z.fy >> 32) + 2;
  const bool groupedRows = footprintRows <= kMaxRows;
  const bool tableRows = footprintRows <= kMaxFootprintRows;
  const ZoomTables* tables = nullptr;
  ZoomTables own = {0, 0, nullptr, 0, nullptr, true};
  if (prepared.dstW == dstW && prepared.srcW == srcW) {
    tables = &prepared;
  } else if (groupedRows || tableRows) {
    buildTables(&own, dstW, srcW, z.xr, z.fx, groupedRows, tableRows);
    tables = &own;
  }
  if (tables != nullptr && groupedRows && tables->groups != nullptr) {
    zoomGrouped(dst, dstW, dstH, src, srcW, z.xr, z.yr, z.fy, *tables->groups, tables->maxWhole);
  } else if (tables != nullptr && tableRows && tables->columns != nullptr) {
    zoomGeneralWide(dst, dstW, dstH, src, srcW, z.xr, z.yr, z.fy, tables->columns, tables->single);
  } else {
    zoomGeneral(dst, dstW, dstH, src, srcW, z.xr, z.yr, z.fx, z.fy);
  }
  releaseTables(&own);
}

}  // namespace quorvane_capture
