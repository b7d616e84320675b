// Frame differencing, the YUY2/YV16 plane conversions and the streaming copy, for SSE2.
#include <emmintrin.h>

#include <cstring>

#include "kernels.h"

extern "C" {

QV_EXPORT void CalcDeltaFrame_SSE2(uint8_t* dst, const uint8_t* cur, const uint8_t* prev,
                                   int64_t width, int64_t height) {
  if (width % 2 != 0) return;
  const int64_t groups = width * height / 2;
  if (groups <= 0) return;
  const int64_t bytes = groups * 4;
  int64_t k = 0;
  for (; k + 64 <= bytes; k += 64) {
    quorvane_capture::readAhead(cur + k);
    quorvane_capture::readAhead(prev + k);
    for (int b = 0; b < 64; b += 16) {
      const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cur + k + b));
      const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(prev + k + b));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + k + b), _mm_sub_epi8(c, p));
    }
  }
  for (; k + 16 <= bytes; k += 16) {
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cur + k));
    const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(prev + k));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + k), _mm_sub_epi8(c, p));
  }
  for (; k < bytes; k += 4) {
    uint32_t c, p;
    std::memcpy(&c, cur + k, 4);
    std::memcpy(&p, prev + k, 4);
    const __m128i d = _mm_sub_epi8(_mm_cvtsi32_si128(static_cast<int32_t>(c)),
                                   _mm_cvtsi32_si128(static_cast<int32_t>(p)));
    const int32_t out = _mm_cvtsi128_si32(d);
    std::memcpy(dst + k, &out, 4);
  }
}

QV_EXPORT void YUY2ToYV16(uint8_t* dst, const uint8_t* src, int64_t width, int64_t height) {
  const int64_t pixels = width * height;
  const int64_t pairs = pixels / 2;
  if (pairs <= 0) return;
  uint8_t* yPlane = dst;
  uint8_t* vPlane = dst + pixels;
  uint8_t* uPlane = vPlane + pairs;
  const __m128i lowBytes = _mm_set1_epi16(0x00FF);
  int64_t k = 0;
  for (; k + 8 <= pairs; k += 8) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 4 * k));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 4 * k + 16));
    const __m128i luma = _mm_packus_epi16(_mm_and_si128(a, lowBytes), _mm_and_si128(b, lowBytes));
    // U, V alternate in the high bytes.
    const __m128i uv = _mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8));
    const __m128i u = _mm_packus_epi16(_mm_and_si128(uv, lowBytes), _mm_setzero_si128());
    const __m128i v = _mm_packus_epi16(_mm_srli_epi16(uv, 8), _mm_setzero_si128());
    _mm_storeu_si128(reinterpret_cast<__m128i*>(yPlane + 2 * k), luma);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(uPlane + k), u);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(vPlane + k), v);
  }
  for (; k < pairs; ++k) {
    yPlane[2 * k] = src[4 * k];
    uPlane[k] = src[4 * k + 1];
    yPlane[2 * k + 1] = src[4 * k + 2];
    vPlane[k] = src[4 * k + 3];
  }
}

QV_EXPORT void YV16ToYUY2(uint8_t* dst, const uint8_t* src, int64_t width, int64_t height) {
  if (width % 2 != 0) return;
  const int64_t pixels = width * height;
  const int64_t pairs = pixels / 2;
  if (pairs <= 0) return;
  const uint8_t* yPlane = src;
  const uint8_t* vPlane = src + pixels;
  const uint8_t* uPlane = vPlane + pairs;
  int64_t k = 0;
  for (; k + 8 <= pairs; k += 8) {
    const __m128i luma = _mm_loadu_si128(reinterpret_cast<const __m128i*>(yPlane + 2 * k));
    const __m128i u = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(uPlane + k));
    const __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(vPlane + k));
    const __m128i uv = _mm_unpacklo_epi8(u, v);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * k), _mm_unpacklo_epi8(luma, uv));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * k + 16), _mm_unpackhi_epi8(luma, uv));
  }
  for (; k < pairs; ++k) {
    dst[4 * k] = yPlane[2 * k];
    dst[4 * k + 1] = uPlane[k];
    dst[4 * k + 2] = yPlane[2 * k + 1];
    dst[4 * k + 3] = vPlane[k];
  }
}

QV_EXPORT void memcpy_sse2(void* dstVoid, const void* srcVoid, int64_t size) {
  if (size <= 0) return;
  uint8_t* dst = static_cast<uint8_t*>(dstVoid);
  const uint8_t* src = static_cast<const uint8_t*>(srcVoid);
  const int64_t misalign = static_cast<int64_t>(reinterpret_cast<uintptr_t>(dst) & 15);
  if (misalign != 0) {
    const int64_t head = 16 - misalign < size ? 16 - misalign : size;
    std::memcpy(dst, src, static_cast<size_t>(head));
    dst += head;
    src += head;
    size -= head;
  }
  const int64_t blocks = size / 32;
  for (int64_t b = 0; b < blocks; ++b) {
    const __m128i x0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
    const __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 16));
    _mm_stream_si128(reinterpret_cast<__m128i*>(dst), x0);
    _mm_stream_si128(reinterpret_cast<__m128i*>(dst + 16), x1);
    dst += 32;
    src += 32;
  }
  if (blocks > 0) {
    // Streaming stores are weakly ordered: make them visible before whatever the caller
    // publishes next.
    _mm_sfence();
  }
  const int64_t tail = size - blocks * 32;
  if (tail > 0) std::memcpy(dst, src, static_cast<size_t>(tail));
}

}  // extern "C"
