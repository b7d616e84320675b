// How a picture, or the difference of two, becomes the payload of a key or difference record:
// one block in Snappy's raw format (its length as a varint, then its elements), compressed
// 64 KiB of input at a time, as Snappy itself does, so no copy reaches back past the start of
// its 64 KiB. A 64 KiB piece that Snappy hardly shrinks is written as one literal instead:
// every Snappy decoder reads it, and a reader copies or adds it straight from the file's bytes.
// "Hardly" is by less than an eighth, or by less than a quarter when that takes so many short
// elements that they save under two bytes each: moving pictures give such differences (a
// 64 KiB piece of about ten thousand elements saving 15 %), whose decoding costs more than
// reading the bytes they save from a solid-state disk. Such pieces decode several times faster
// stored whole; the file grows by at most a third of them.
//
// Used by the capture library's writer and by the tests' writer, so both store pictures alike.
#pragma once

#include <snappy.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qvf {

constexpr size_t kSnappyPieceBytes = 64 * 1024;
// Room for Snappy's output of one piece, which putSnappyPiece compresses into first.
constexpr size_t kSnappyPieceScratchBytes = 32 + kSnappyPieceBytes + kSnappyPieceBytes / 6;

// The block's first bytes: the length of what it holds, as Snappy's varint.
inline char* putSnappyLength(char* out, uint64_t n) {
  for (; n >= 0x80; n >>= 7) *out++ = static_cast<char>((n & 0x7F) | 0x80);
  *out++ = static_cast<char>(n);
  return out;
}

// How many elements (literals and copies) Snappy's output `elements` holds.
inline size_t countSnappyElements(const char* elements, size_t bytes) {
  size_t count = 0;
  for (size_t at = 0; at < bytes; ++count) {
    const unsigned tag = static_cast<unsigned char>(elements[at]);
    if ((tag & 3) == 0) {  // a literal: its length less one in the tag or the bytes after it
      size_t length = (tag >> 2) + 1;
      size_t extra = 0;
      if (length > 60) {
        extra = length - 60;
        length = 0;
        for (size_t k = 0; k < extra && at + 1 + k < bytes; ++k) {
          length |= size_t{static_cast<unsigned char>(elements[at + 1 + k])} << (8 * k);
        }
        ++length;
      }
      at += 1 + extra + length;
    } else {
      at += (tag & 3) == 1 ? 2 : (tag & 3) == 2 ? 3 : 5;
    }
  }
  return count;
}

// Whether Snappy's elements for n bytes are worth their decoding (see the top of this file).
inline bool keepCompressed(const char* elements, size_t elementBytes, size_t n) {
  if (elementBytes >= n) return false;
  const size_t saved = n - elementBytes;
  if (saved < n / 8) return false;
  if (saved >= n / 4) return true;
  return saved >= 2 * countSnappyElements(elements, elementBytes);
}

// Appends the elements of one piece (at most kSnappyPieceBytes bytes of `raw`) at `out` and
// returns the end. `scratch` holds kSnappyPieceScratchBytes. The whole block, length and every
// piece, stays within snappy::MaxCompressedLength of its input: a piece is at most 3 bytes
// longer than its input.
inline char* putSnappyPiece(const char* raw, size_t n, char* out, char* scratch) {
  size_t length = 0;
  snappy::RawCompress(raw, n, scratch, &length);
  const char* elements = scratch;
  while (static_cast<unsigned char>(*elements) & 0x80) ++elements;  // Snappy's own length
  ++elements;
  const size_t elementBytes = length - static_cast<size_t>(elements - scratch);
  if (n == 0 || keepCompressed(elements, elementBytes, n)) {
    std::memcpy(out, elements, elementBytes);
    return out + elementBytes;
  }
  const size_t m = n - 1;  // a literal's tag holds its length less one
  if (m < 60) {
    *out++ = static_cast<char>(m << 2);
  } else if (m < 0x100) {
    *out++ = static_cast<char>(60 << 2);
    *out++ = static_cast<char>(m);
  } else {
    *out++ = static_cast<char>(61 << 2);
    *out++ = static_cast<char>(m & 0xFF);
    *out++ = static_cast<char>(m >> 8);
  }
  std::memcpy(out, raw, n);
  return out + n;
}

// A whole block of `raw`, into `out` (snappy::MaxCompressedLength(n) bytes); returns its length.
inline size_t putSnappyBlock(const char* raw, size_t n, char* out, char* scratch) {
  char* op = putSnappyLength(out, n);
  for (size_t at = 0; at < n; at += kSnappyPieceBytes) {
    const size_t piece = n - at < kSnappyPieceBytes ? n - at : kSnappyPieceBytes;
    op = putSnappyPiece(raw + at, piece, op, scratch);
  }
  return static_cast<size_t>(op - out);
}

}  // namespace qvf
