// The pixel kernels' internal interface: the installed variants, the colour tables they read,
// and the start-up steps that choose and fill them.
#ifndef QUORVANE_KERNELS_H
#define QUORVANE_KERNELS_H

#include <xmmintrin.h>

#include <cstdint>

#include "quorvane_capture.h"

namespace quorvane_capture {

using RGB32ToYUY2Function = void (*)(uint8_t* dst, const uint8_t* src, int64_t width,
                                     int64_t height);
using ZoomOutHeikin32Function = void (*)(uint8_t* dst, int64_t dstW, int64_t dstH,
                                         const uint8_t* src, int64_t srcW, int64_t srcH);

// Pictures are read once, from memory another thread wrote (often with streaming stores), so
// the loops ask for their input this far ahead of the loads: the processor's own read-ahead
// leaves them waiting for memory for much of the time (bench/bench_pipeline.cpp, the stages
// benchmarks). A hint only: addresses past the end of a buffer are never touched.
constexpr int64_t kReadAheadBytes = 2048;
// Asks for the 64-byte line kReadAheadBytes after `p`.
inline void readAhead(const void* p) {
  _mm_prefetch(static_cast<const char*>(p) + kReadAheadBytes, _MM_HINT_T0);
}

// The variants in use, set by chooseKernels. Before the first Initialize they hold the SSE2
// variants, which every x86-64 processor runs.
extern RGB32ToYUY2Function RGB32ToYUY2;
extern ZoomOutHeikin32Function ZoomOutHeikin32;

// Rows Y, U, V of four weights each, in pixel byte order B, G, R, A (the A weight is always 0).
alignas(32) extern float g_colorMatrix[12];
// Offsets added to Y0, U, Y1, V before truncation; each includes the rounding half.
alignas(16) extern float g_colorRange[4];

enum ColorMatrixSelector : int32_t {
  kColorMatrixAuto = 0,
  kColorMatrixBT601 = 1,
  kColorMatrixBT709 = 2
};

// Scales the loaded matrix to TV range (luma by 219/255, chroma by 224/255) and writes the
// TV-range offsets. Apply once per load of the matrix.
void setTVRange();
void setFullRange();
// Loads BT.709 for selector 2, or selector 0 from 720 lines up; BT.601 otherwise. Then TV range
// when fullRange is 0, else full range.
void setupColor(int32_t colorMatrix, int64_t outputHeight, int32_t fullRange);

// Processor and operating system both support the instruction set.
bool supportAVX();
bool supportAVX2();
// AVX-512 Foundation and Byte/Word instructions, with the ZMM and mask state enabled.
bool supportAVX512();

// Installs the kernels for a recording and returns the value useAVX is rewritten to: 1 when
// AVX variants are in use, 0 for SSE2. AVX needs useAVX non-zero and supportAVX(); where the
// processor also has AVX2 (or AVX-512) a wider build of the same arithmetic is installed. The
// choice depends on the settings and the processor alone: useAVX 0 is how SSE2 is asked for.
int32_t chooseKernels(int32_t useAVX);

// The area downscale's column tables (tens of kilobytes) live in memory the library owns, never
// on the stack of a host's thread: prepareZoomTables builds them for the recording's widths
// (Initialize, after chooseKernels), releaseZoomTables gives them back (Finalize). A call with
// other widths builds its tables on the heap for that call.
void prepareZoomTables(int64_t dstW, int64_t srcW);
void releaseZoomTables();
void prepareZoomTablesAVX2(int64_t dstW, int64_t srcW);
void releaseZoomTablesAVX2();
void prepareZoomTablesAVX512(int64_t dstW, int64_t srcW);
void releaseZoomTablesAVX512();

// The pairs a vector loop leaves over, one at a time in the same arithmetic as the vectors
// (the colour tables loaded): one scalar tail for the SSE2 variant, one for AVX and wider.
void RGB32ToYUY2Tail_SSE2(uint8_t* dst, const uint8_t* src, int64_t pairs);
void RGB32ToYUY2Tail_AVX(uint8_t* dst, const uint8_t* src, int64_t pairs);

// Faster builds of the AVX variants' arithmetic (byte-identical results); need supportAVX2().
void RGB32ToYUY2_AVX2(uint8_t* dst, const uint8_t* src, int64_t width, int64_t height);
void ZoomOutHeikin32_AVX2(uint8_t* dst, int64_t dstW, int64_t dstH, const uint8_t* src,
                          int64_t srcW, int64_t srcH);
// Needs supportAVX512().
void RGB32ToYUY2_AVX512(uint8_t* dst, const uint8_t* src, int64_t width, int64_t height);
void ZoomOutHeikin32_AVX512(uint8_t* dst, int64_t dstW, int64_t dstH, const uint8_t* src,
                            int64_t srcW, int64_t srcH);

}  // namespace quorvane_capture

#endif
