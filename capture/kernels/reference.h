// Plain scalar definitions of the pixel kernels: one operation at a time, in the order that
// fixes every bit of the result. The vector variants must match them byte for byte.
#ifndef QUORVANE_KERNELS_REFERENCE_H
#define QUORVANE_KERNELS_REFERENCE_H

#include <cstdint>

namespace quorvane_capture {
namespace reference {

// How a row of the colour matrix is applied to a pixel (B, G, R, A) -> c0..c3. The SSE2
// variant sums (B*c0 + R*c2) + G*c1; the AVX variant (B*c0 + G*c1) + (R*c2 + A*c3).
enum class SumOrder { kSse2, kAvx };

void rgb32ToYUY2(uint8_t* dst, const uint8_t* src, int64_t width, int64_t height, SumOrder order);
void zoomOutHeikin32(uint8_t* dst, int64_t dstW, int64_t dstH, const uint8_t* src, int64_t srcW,
                     int64_t srcH);
void calcDeltaFrame(uint8_t* dst, const uint8_t* cur, const uint8_t* prev, int64_t width,
                    int64_t height);
void yuy2ToYV16(uint8_t* dst, const uint8_t* src, int64_t width, int64_t height);
void yv16ToYUY2(uint8_t* dst, const uint8_t* src, int64_t width, int64_t height);

// The fixed-point footprint of one output pixel along one axis: 2^32 is one source pixel.
uint64_t zoomStep(int64_t srcSize, int64_t dstSize);

}  // namespace reference
}  // namespace quorvane_capture

#endif
