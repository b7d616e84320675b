// Area-average downscale for AVX-512 machines, byte-identical to the other variants. The
// general path works on four output pixels per 512-bit vector: the source pixels a group of four
// needs are loaded as one run of at most sixteen and put in place by a dword permutation, so
// nothing is gathered pixel by pixel. Every output pixel still gets the reference's float
// operations in the reference's order; only independent work is regrouped, as in the AVX2
// variant: the column bookkeeping runs once per call, the row bookkeeping once per output row,
// and a pixel's carried share of its last column is formed before its right neighbour starts.
// Shapes outside this variant's limits (and the whole-ratio path) go to the AVX2 variant.
#include <immintrin.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "kernels.h"

namespace quorvane_capture {
namespace {

#include "zoom_walk.inc"

constexpr int kGroup = 4;     // output pixels per vector
constexpr int kWindow = 16;   // source pixels one load brings
constexpr int kMaxWhole = 3;  // whole columns per output pixel
constexpr int kMaxRows = 5;   // source rows per output row
constexpr int64_t kMaxGroups = 1024;

// Per group of four output pixels: where its run of source pixels starts, which of them each
// output pixel takes, and the float share of the partial column that stays with the pixel.
// Pixel k of the group uses dwords 4k..4k+3 of the permuted run: its first whole column, its
// partial column, its second and third whole columns; masked-off dwords read as zero, which
// adds exactly nothing. Kept compact (40 KiB at most) for the stack; widening it to vectors costs
// two shuffles a group, about 5% of the time.
struct GroupTable {
  alignas(64) uint8_t pick[kMaxGroups][kWindow];
  alignas(64) float share[kMaxGroups][kGroup];
  int32_t start[kMaxGroups];
  uint16_t loadMask[kMaxGroups];
  uint16_t pickMask[kMaxGroups];
};

// Fills the table; returns the most whole columns any output pixel takes, or 0 when a group
// needs more than one run or a pixel more whole columns than the kernel handles.
int buildGroups(GroupTable& t, int64_t dstW, float xr, uint64_t fx) {
  std::memset(t.pick, 0, sizeof(t.pick[0]) * ((dstW + kGroup - 1) / kGroup));
  std::memset(t.share, 0, sizeof(t.share[0]) * ((dstW + kGroup - 1) / kGroup));
  int maxWhole = 1;
  const bool fits =
      forEachOutputColumn(dstW, xr, fx, kMaxWhole,
                          [&](int64_t i, int64_t offset, int64_t whole, bool partial, float share) {
                            const int64_t g = i / kGroup;
                            const int k = static_cast<int>(i % kGroup);
                            if (k == 0) {
                              t.start[g] = static_cast<int32_t>(offset);
                              t.pickMask[g] = 0;
                            }
                            const int64_t first = offset - t.start[g];
                            const int64_t end = first + whole + (partial ? 1 : 0);
                            if (end > kWindow) return false;
                            if (whole > maxWhole) maxWhole = static_cast<int>(whole);
                            static constexpr int kWholeSlot[kMaxWhole] = {0, 2, 3};
                            for (int64_t n = 0; n < whole; ++n) {
                              t.pick[g][4 * k + kWholeSlot[n]] = static_cast<uint8_t>(first + n);
                              t.pickMask[g] |= static_cast<uint16_t>(1u << (4 * k + kWholeSlot[n]));
                            }
                            if (partial) {
                              t.pick[g][4 * k + 1] = static_cast<uint8_t>(first + whole);
                              t.pickMask[g] |= static_cast<uint16_t>(1u << (4 * k + 1));
                              t.share[g][k] = share;
                            }
                            t.loadMask[g] = static_cast<uint16_t>((1u << end) - 1);
                            return true;
                          });
  if (!fits) return 0;
  return maxWhole;
}

// Byte n of a lane's dword d goes to the low byte of the lane's dword n (zero-extension of one
// pixel to four channels) for the shuffle control of dword d.
__m512i spreadDword(int d) {
  alignas(64) int8_t c[64];
  for (int i = 0; i < 64; ++i) c[i] = (i % 4 == 0) ? static_cast<int8_t>(4 * d + (i % 16) / 4) : -1;
  return _mm512_load_si512(c);
}

template <int kRows, int kWhole>
void zoomRow(uint8_t* out, const GroupTable& t, int64_t dstW, const uint8_t* const* rows,
             const float* weights, const uint8_t* ahead, int aheadRows, int64_t stride,
             __m512 normV) {
  const __m512i spreadWhole0 = spreadDword(0);
  const __m512i spreadPartial = spreadDword(1);
  const __m512i spreadWhole1 = spreadDword(2);
  const __m512i spreadWhole2 = spreadDword(3);
  const __m512i laneOfShare = _mm512_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3);
  __m512 w[kRows];
  for (int r = 0; r < kRows; ++r) w[r] = _mm512_set1_ps(weights[r]);

  __m512 prevCarry = _mm512_setzero_ps();
  // Output pixels 4g..4g+3 as rounded integers, not yet clamped. Inlined by force: called out of
  // line, the carry goes through memory and the kernel runs at a third of the speed.
  auto group = [&](int64_t g) __attribute__((always_inline)) {
    const __m512i pick =
        _mm512_cvtepu8_epi32(_mm_load_si128(reinterpret_cast<const __m128i*>(t.pick[g])));
    const __m512 share =
        _mm512_permutexvar_ps(laneOfShare, _mm512_broadcast_f32x4(_mm_load_ps(t.share[g])));
    const __mmask16 loadMask = t.loadMask[g];
    const __mmask16 pickMask = t.pickMask[g];
    const int64_t offset = int64_t{t.start[g]} * 4;
    // The next output row's new source rows, fetched while this row computes: without it the
    // loads wait on memory for most of the time. A prefetch never faults, even past the end.
    for (int k = 0; k < aheadRows; ++k) {
      _mm_prefetch(reinterpret_cast<const char*>(ahead + k * stride + offset), _MM_HINT_T0);
    }
    __m512 products[kRows];
    __m512 parts[kRows];
    __m512 carry;
    for (int r = 0; r < kRows; ++r) {
      const __m512i run = _mm512_maskz_loadu_epi32(loadMask, rows[r] + offset);
      const __m512i picked = _mm512_maskz_permutexvar_epi32(pickMask, pick, run);
      // Up to three bytes' worth per channel: the integer sum is exact, as the float sum is.
      __m512i sum = _mm512_shuffle_epi8(picked, spreadWhole0);
      if (kWhole >= 2) sum = _mm512_add_epi32(sum, _mm512_shuffle_epi8(picked, spreadWhole1));
      if (kWhole >= 3) sum = _mm512_add_epi32(sum, _mm512_shuffle_epi8(picked, spreadWhole2));
      products[r] = _mm512_mul_ps(_mm512_cvtepi32_ps(sum), w[r]);
      const __m512 v =
          _mm512_mul_ps(_mm512_cvtepi32_ps(_mm512_shuffle_epi8(picked, spreadPartial)), w[r]);
      parts[r] = _mm512_mul_ps(v, share);
      // 0 + x is x but for the sign of a zero, which no output byte can show.
      carry =
          r == 0 ? _mm512_sub_ps(v, parts[r]) : _mm512_add_ps(carry, _mm512_sub_ps(v, parts[r]));
    }
    // Each pixel starts from its left neighbour's carry: the last lane of the previous group's
    // carries, then this group's first three.
    __m512 acc = _mm512_castsi512_ps(
        _mm512_alignr_epi32(_mm512_castps_si512(carry), _mm512_castps_si512(prevCarry), 12));
    for (int r = 0; r < kRows; ++r) {
      acc = _mm512_add_ps(acc, products[r]);
      acc = _mm512_add_ps(acc, parts[r]);
    }
    prevCarry = carry;
    // Nearest with ties to even (the default rounding mode).
    return _mm512_cvtps_epi32(_mm512_mul_ps(acc, normV));
  };

  // Four groups at a time, clamped to 0..255 by the two saturating packs; these leave 128-bit
  // lane L holding pixel L of each group, which one permutation puts back in order.
  const __m512i inOrder = _mm512_setr_epi32(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
  const int64_t fullGroups = dstW / kGroup;
  int64_t g = 0;
  for (; g + 4 <= fullGroups; g += 4) {
    const __m512i r0 = group(g);
    const __m512i r1 = group(g + 1);
    const __m512i r2 = group(g + 2);
    const __m512i r3 = group(g + 3);
    const __m512i bytes =
        _mm512_packus_epi16(_mm512_packs_epi32(r0, r1), _mm512_packs_epi32(r2, r3));
    _mm512_storeu_si512(out + g * kGroup * 4, _mm512_permutexvar_epi32(inOrder, bytes));
  }
  for (; g * kGroup < dstW; ++g) {
    const __m512i rounded = _mm512_max_epi32(group(g), _mm512_setzero_si512());
    uint8_t* p = out + g * kGroup * 4;
    const int64_t left = dstW - g * kGroup;
    if (left >= kGroup) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm512_cvtusepi32_epi8(rounded));
    } else {
      _mm512_mask_cvtusepi32_storeu_epi8(p, static_cast<__mmask16>((1u << (4 * left)) - 1),
                                         rounded);
    }
  }
}

using RowFunction = void (*)(uint8_t*, const GroupTable&, int64_t, const uint8_t* const*,
                             const float*, const uint8_t*, int, int64_t, __m512);

template <int kWhole>
constexpr RowFunction kRowFunctionsFor[kMaxRows] = {zoomRow<1, kWhole>, zoomRow<2, kWhole>,
                                                    zoomRow<3, kWhole>, zoomRow<4, kWhole>,
                                                    zoomRow<5, kWhole>};

void zoomGrouped(uint8_t* dst, int64_t dstW, int64_t dstH, const uint8_t* src, int64_t srcW,
                 float xr, float yr, uint64_t fy, const GroupTable& table, int maxWhole) {
  const RowFunction* rowFunctions = maxWhole == 1   ? kRowFunctionsFor<1>
                                    : maxWhole == 2 ? kRowFunctionsFor<2>
                                                    : kRowFunctionsFor<3>;

  const __m512 normV = _mm512_set1_ps(1.0f / (xr * yr));
  const int64_t stride = srcW * 4;
  const int aheadRows = static_cast<int>((fy + kFractionMask) >> 32);
  forEachOutputRow<kMaxRows>(dst, dstW, dstH, src, stride, yr, fy,
                             [&](uint8_t* out, const uint8_t* const* rows, const float* weights,
                                 int rowCount, const uint8_t* ahead) {
                               rowFunctions[rowCount - 1](out, table, dstW, rows, weights, ahead,
                                                          aheadRows, stride, normV);
                             });
}

// The group table of one pair of widths, in heap memory rather than on the stack of a host's
// thread. Null where the shape is outside this kernel's limits.
// Plain data with no destructor: nothing built for AVX-512 may run at the exit of a process on
// a processor without it.
struct ZoomTables {
  int64_t dstW;
  int64_t srcW;
  GroupTable* groups;
  int maxWhole;
};

void releaseTables(ZoomTables* t) {
  freeTable(t->groups);
  *t = ZoomTables{0, 0, nullptr, 0};
}

void buildTables(ZoomTables* t, int64_t dstW, int64_t srcW, float xr, uint64_t fx) {
  *t = ZoomTables{dstW, srcW, nullptr, 0};
  if (dstW <= kMaxGroups * kGroup && srcW <= INT32_MAX) {
    t->groups = allocateTable<GroupTable>();
    if (t->groups != nullptr) t->maxWhole = buildGroups(*t->groups, dstW, xr, fx);
    if (t->maxWhole == 0) {
      freeTable(t->groups);
      t->groups = nullptr;
    }
  }
}

// The tables for the recording's widths: built by Initialize, read by every encode thread,
// released by Finalize.
ZoomTables prepared = {0, 0, nullptr, 0};

}  // namespace

void prepareZoomTablesAVX512(int64_t dstW, int64_t srcW) {
  releaseTables(&prepared);
  if (dstW < 1 || srcW < dstW) return;
  const float xr = static_cast<float>(srcW) / static_cast<float>(dstW);
  buildTables(&prepared, dstW, srcW, xr, zoomStep(srcW, dstW));
}

void releaseZoomTablesAVX512() { releaseTables(&prepared); }

void ZoomOutHeikin32_AVX512(uint8_t* dst, int64_t dstW, int64_t dstH, const uint8_t* src,
                            int64_t srcW, int64_t srcH) {
  ZoomShape z;
  if (!zoomShape(dstW, dstH, srcW, srcH, &z)) return;
  const bool rowsFit = static_cast<int64_t>(z.fy >> 32) + 2 <= kMaxRows;
  const ZoomTables* tables = nullptr;
  ZoomTables own = {0, 0, nullptr, 0};
  if (!z.whole() && rowsFit) {
    if (prepared.dstW == dstW && prepared.srcW == srcW) {
      tables = &prepared;
    } else {
      buildTables(&own, dstW, srcW, z.xr, z.fx);
      tables = &own;
    }
  }
  if (tables != nullptr && tables->groups != nullptr) {
    zoomGrouped(dst, dstW, dstH, src, srcW, z.xr, z.yr, z.fy, *tables->groups, tables->maxWhole);
  } else {
    ZoomOutHeikin32_AVX2(dst, dstW, dstH, src, srcW, srcH);
  }
  releaseTables(&own);
}

}  // namespace quorvane_capture
