#include <snappy.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "picture_codec.h"

namespace qv_reader {
namespace {

bool uncompressedLength(const char* block, size_t blockBytes, size_t* length) {
  return snappy::GetUncompressedLength(block, blockBytes, length);
}

bool uncompress(const char* block, size_t blockBytes, char* out) {
  return snappy::RawUncompress(block, blockBytes, out);
}

void addDifference(uint8_t* picture, const uint8_t* difference, size_t bytes) {
  size_t k = 0;
#ifdef __SSE2__
  // Part of the baseline wherever the compiler targets it (every x86-64).
  for (; k + 16 <= bytes; k += 16) {
    auto* p = reinterpret_cast<__m128i*>(picture + k);
    const auto* d = reinterpret_cast<const __m128i*>(difference + k);
    _mm_storeu_si128(p, _mm_add_epi8(_mm_loadu_si128(p), _mm_loadu_si128(d)));
  }
#endif
  for (; k < bytes; ++k) picture[k] = static_cast<uint8_t>(picture[k] + difference[k]);
}

constexpr PictureCodec kBaseline = {"baseline", uncompressedLength, uncompress, addDifference,
                                    nullptr};

}  // namespace

const PictureCodec& baselineCodec() { return kBaseline; }

}  // namespace qv_reader
