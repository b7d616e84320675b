// The tags of one piece of a Snappy block, with the length a block starts with put in front,
// so that Snappy decompresses the piece in place without its bytes being copied. Included by
// each codec file, where `snappy` names that file's own build of the library.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qv_reader {
namespace {  // one class per codec file: each derives from its own build's Source

class PieceSource : public snappy::Source {
 public:
  PieceSource(const char* tags, size_t tagBytes, size_t length) : tags_(tags), left_(tagBytes) {
    do {
      uint8_t b = static_cast<uint8_t>(length & 0x7F);
      length >>= 7;
      if (length) b |= 0x80;
      header_[headerBytes_++] = static_cast<char>(b);
    } while (length);
  }
  size_t Available() const override { return headerBytes_ - headerAt_ + left_; }
  const char* Peek(size_t* length) override {
    if (headerAt_ < headerBytes_) {
      *length = headerBytes_ - headerAt_;
      return header_ + headerAt_;
    }
    *length = left_;
    return tags_;
  }
  void Skip(size_t n) override {
    const size_t fromHeader = n < headerBytes_ - headerAt_ ? n : headerBytes_ - headerAt_;
    headerAt_ += fromHeader;
    n -= fromHeader;
    tags_ += n;
    left_ -= n;
  }

 private:
  const char* tags_;
  size_t left_;
  char header_[10];
  size_t headerBytes_ = 0;
  size_t headerAt_ = 0;
};

bool uncompressPiece(const char* tags, size_t tagBytes, size_t length, char* out) {
  PieceSource source(tags, tagBytes, length);
  return snappy::RawUncompress(&source, out);
}

}  // namespace
}  // namespace qv_reader
