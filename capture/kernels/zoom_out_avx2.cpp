// Area-average downscale built for AVX2 machines; byte-identical to the other variants.
#include <immintrin.h>

#include <cstring>

#include "kernels.h"

namespace quorvane_capture {
#include "zoom_out_body.inc"

void ZoomOutHeikin32_AVX2(uint8_t* dst, int64_t dstW, int64_t dstH, const uint8_t* src,
                          int64_t srcW, int64_t srcH) {
  zoomOut(dst, dstW, dstH, src, srcW, srcH);
}

}  // namespace quorvane_capture
