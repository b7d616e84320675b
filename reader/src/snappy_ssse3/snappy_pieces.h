// Snappy's decoder driven a piece at a time into a small buffer, each piece added to (or taken
// from) a picture while it is in the cache. Built into the reader's SSSE3 copy of Snappy (the
// same translation unit as the library, see snappy_pieces.cc), where `snappy` is renamed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace snappy {

// Bytes of output decoded before a piece is added: the size of the blocks Snappy's compressor
// works in, whose copies never reach into an earlier block.
constexpr size_t kDifferencePieceBytes = 64 * 1024;
// The piece buffer a caller gives: a piece and the room Snappy's fast path writes beyond it.
constexpr size_t kDifferencePieceCapacity = kDifferencePieceBytes + 128;

// Decompresses the raw block `compressed` piece by piece into `piece` (kDifferencePieceCapacity
// bytes) and adds every piece, modulo 256, to the bytes of picture it stands for (subtracts
// it when `subtract`), stopping after `limit` bytes. *applied says how many leading bytes of
// picture were changed. True when the whole block was valid and applied; false for a block
// that is not valid, one that is longer than `limit`, or one with a copy that reaches into an
// earlier piece or across the end of one (valid Snappy that cannot be decoded piecewise).
bool ApplyDifferencePieces(const char* compressed, size_t compressedBytes, uint8_t* picture,
                           size_t limit, char* piece, bool subtract, size_t* applied);

}  // namespace snappy
