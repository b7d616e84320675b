// Processor tests and the choice of kernel variants for a recording.
#include <cpuid.h>

#include "kernels.h"

namespace quorvane_capture {

RGB32ToYUY2Function RGB32ToYUY2 = RGB32ToYUY2_SSE2;
ZoomOutHeikin32Function ZoomOutHeikin32 = ZoomOutHeikin32_SSE2;

namespace {

constexpr unsigned kOsxsaveBit = 1u << 27;
constexpr unsigned kAvxBit = 1u << 28;
constexpr unsigned kAvx2Bit = 1u << 5;       // leaf 7, EBX
constexpr unsigned kAvx512FBit = 1u << 16;   // leaf 7, EBX
constexpr unsigned kAvx512BWBit = 1u << 30;  // leaf 7, EBX
constexpr uint64_t kXcr0SseAndAvxState = 0x6;
constexpr uint64_t kXcr0Avx512State = 0xE6;  // SSE, AVX, opmask, upper ZMM halves, ZMM16-31

uint64_t readXcr0() {
  uint32_t eax = 0;
  uint32_t edx = 0;
  // XGETBV by its encoding, so that no -mxsave is needed in a file built for plain x86-64.
  __asm__ volatile(".byte 0x0f, 0x01, 0xd0" : "=a"(eax), "=d"(edx) : "c"(0));
  return (static_cast<uint64_t>(edx) << 32) | eax;
}

}  // namespace

bool supportAVX() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
  if ((ecx & kOsxsaveBit) == 0 || (ecx & kAvxBit) == 0) return false;
  return (readXcr0() & kXcr0SseAndAvxState) == kXcr0SseAndAvxState;
}

bool supportAVX2() {
  if (!supportAVX()) return false;
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
  return (ebx & kAvx2Bit) != 0;
}

bool supportAVX512() {
  if (!supportAVX2()) return false;
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
  if ((ebx & kAvx512FBit) == 0 || (ebx & kAvx512BWBit) == 0) return false;
  return (readXcr0() & kXcr0Avx512State) == kXcr0Avx512State;
}

int32_t chooseKernels(int32_t useAVX) {
  if (useAVX != 0 && supportAVX()) {
    if (supportAVX2()) {
      const bool avx512 = supportAVX512();
      RGB32ToYUY2 = avx512 ? RGB32ToYUY2_AVX512 : RGB32ToYUY2_AVX2;
      ZoomOutHeikin32 = avx512 ? ZoomOutHeikin32_AVX512 : ZoomOutHeikin32_AVX2;
    } else {
      RGB32ToYUY2 = RGB32ToYUY2_AVX;
      ZoomOutHeikin32 = ZoomOutHeikin32_AVX;
    }
    return 1;
  }
  RGB32ToYUY2 = RGB32ToYUY2_SSE2;
  ZoomOutHeikin32 = ZoomOutHeikin32_SSE2;
  return 0;
}

void prepareZoomTables(int64_t dstW, int64_t srcW) {
  releaseZoomTables();
  // The AVX-512 variant hands the shapes it does not take to the AVX2 one.
  if (ZoomOutHeikin32 == ZoomOutHeikin32_AVX512) prepareZoomTablesAVX512(dstW, srcW);
  if (ZoomOutHeikin32 == ZoomOutHeikin32_AVX512 || ZoomOutHeikin32 == ZoomOutHeikin32_AVX2) {
    prepareZoomTablesAVX2(dstW, srcW);
  }
}

void releaseZoomTables() {
  // Only what a processor with these instructions can have built.
  if (supportAVX2()) releaseZoomTablesAVX2();
  if (supportAVX512()) releaseZoomTablesAVX512();
}

}  // namespace quorvane_capture
