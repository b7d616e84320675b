// Area-average downscale built for SSE2.
#include <emmintrin.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "kernels.h"

namespace quorvane_capture {
#include "zoom_out_body.inc"
}  // namespace quorvane_capture

extern "C" QV_EXPORT void ZoomOutHeikin32_SSE2(uint8_t* dst, int64_t dstW, int64_t dstH,
                                               const uint8_t* src, int64_t srcW, int64_t srcH) {
  quorvane_capture::zoomOut(dst, dstW, dstH, src, srcW, srcH);
}
