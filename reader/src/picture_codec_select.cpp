#include <cpuid.h>

#include "picture_codec.h"

namespace qv_reader {

#ifndef QV_READER_HAVE_SSSE3
const PictureCodec* ssse3Codec() { return nullptr; }
#endif

bool processorHasSsse3() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  return (ecx & bit_SSSE3) != 0 && (edx & bit_SSE2) != 0;
}

const PictureCodec& bestCodec() {
  static const PictureCodec* const best = [] {
    const PictureCodec* fast = ssse3Codec();
    return fast && processorHasSsse3() ? fast : &baselineCodec();
  }();
  return *best;
}

}  // namespace qv_reader
