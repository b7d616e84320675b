// Snappy decompression and difference adding, in one build per instruction set.
//
// Debian's Snappy is built for the x86 baseline and decodes a 1080p difference several times
// slower than the same source built with SSSE3. The plug-in carries both and picks one per
// processor, so it runs at full speed where it can and never faults where it cannot.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qv_reader {

struct PictureCodec {
  const char* name;
  // The length a Snappy raw block says it decompresses to; false when it cannot be read.
  bool (*uncompressedLength)(const char* block, size_t blockBytes, size_t* length);
  // Decompresses a whole raw block into out, which holds its stated length; false on corrupt
  // input (out may then hold anything up to that length).
  bool (*uncompress)(const char* block, size_t blockBytes, char* out);
  // picture[k] = picture[k] + difference[k] modulo 256, for every byte.
  void (*addDifference)(uint8_t* picture, const uint8_t* difference, size_t bytes);
  // Decompresses a raw block a piece at a time into piece (kPieceBufferBytes) and adds each
  // piece to picture (subtracts it, when subtract) while it is in the cache, stopping after
  // limit bytes; *applied is how many leading bytes of picture changed. True when the whole
  // block held exactly limit bytes and all were applied; false for a bad block, and for a valid
  // one whose copies reach across pieces, which must then be decompressed whole. Null when this
  // codec cannot decode by pieces.
  bool (*applyDifferencePieces)(const char* block, size_t blockBytes, uint8_t* picture,
                                size_t limit, uint8_t* piece, bool subtract, size_t* applied);
};

// The piece buffer applyDifferencePieces needs: 64 KiB of output and room beyond it.
constexpr size_t kPieceBufferBytes = 64 * 1024 + 128;

// Runs on every x86 processor.
const PictureCodec& baselineCodec();
// Needs SSSE3; null when this build has no such variant.
const PictureCodec* ssse3Codec();
bool processorHasSsse3();
// The fastest codec this processor can run.
const PictureCodec& bestCodec();

}  // namespace qv_reader
