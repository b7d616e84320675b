// Compiled with -mssse3 and with Snappy's namespace renamed (see reader/CMakeLists.txt): only
// called once the processor has been seen to support SSSE3.
#include <emmintrin.h>

#include "picture_codec.h"
#include "snappy.h"
#include "snappy_pieces.h"

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
  for (; k + 32 <= bytes; k += 32) {
    auto* p = reinterpret_cast<__m128i*>(picture + k);
    auto* d = reinterpret_cast<const __m128i*>(difference + k);
    _mm_storeu_si128(p, _mm_add_epi8(_mm_loadu_si128(p), _mm_loadu_si128(d)));
    _mm_storeu_si128(p + 1, _mm_add_epi8(_mm_loadu_si128(p + 1), _mm_loadu_si128(d + 1)));
  }
  for (; k < bytes; ++k) picture[k] = static_cast<uint8_t>(picture[k] + difference[k]);
}

bool applyDifferencePieces(const char* block, size_t blockBytes, uint8_t* picture, size_t limit,
                           uint8_t* piece, bool subtract, size_t* applied) {
  return snappy::ApplyDifferencePieces(block, blockBytes, picture, limit,
                                       reinterpret_cast<char*>(piece), subtract, applied);
}

static_assert(kPieceBufferBytes >= snappy::kDifferencePieceCapacity, "piece buffer too small");

constexpr PictureCodec kSsse3 = {"ssse3", uncompressedLength, uncompress, addDifference,
                                 applyDifferencePieces};

}  // namespace

const PictureCodec* ssse3Codec() { return &kSsse3; }

}  // namespace qv_reader
