#include <snappy.h>

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
  for (size_t k = 0; k < bytes; ++k) picture[k] = static_cast<uint8_t>(picture[k] + difference[k]);
}

constexpr PictureCodec kBaseline = {"baseline", uncompressedLength, uncompress, addDifference};

}  // namespace

const PictureCodec& baselineCodec() { return kBaseline; }

}  // namespace qv_reader
