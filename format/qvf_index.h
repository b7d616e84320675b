// The index record of a finished .qvf file (layout in qvf.h): built by the capture library's
// record writer and by `qvf repair`, read by the reader plug-in. Header-only so that the three
// share one encoder and one decoder without sharing a library.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "qvf.h"

namespace qvf {

// CRC-32 (the reflected 0xEDB88320 polynomial), eight bytes a step: an hour's index is some
// 760 KB, and a byte at a time made the checksum a third of the time of an indexed open.
inline uint32_t indexChecksum(const uint8_t* data, size_t size) {
  using Tables = std::array<std::array<uint32_t, 256>, 8>;
  static const Tables tables = [] {
    Tables t{};
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[0][n] = c;
    }
    // t[k][n]: the byte n followed by k zero bytes.
    for (size_t k = 1; k < 8; ++k) {
      for (uint32_t n = 0; n < 256; ++n) t[k][n] = t[0][t[k - 1][n] & 0xFF] ^ (t[k - 1][n] >> 8);
    }
    return t;
  }();
  uint32_t crc = 0xFFFFFFFFu;
  for (; size >= 8; size -= 8, data += 8) {
    const uint32_t low =
        crc ^ (static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
               static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24);
    crc = tables[7][low & 0xFF] ^ tables[6][(low >> 8) & 0xFF] ^ tables[5][(low >> 16) & 0xFF] ^
          tables[4][low >> 24] ^ tables[3][data[4]] ^ tables[2][data[5]] ^ tables[1][data[6]] ^
          tables[0][data[7]];
  }
  for (; size > 0; --size, ++data) crc = tables[0][(crc ^ *data) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

namespace index_detail {
inline void putU32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void putU64(std::vector<uint8_t>& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline uint64_t getU64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
inline uint32_t getU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
}  // namespace index_detail

// Collects the records of a file in the order they are written, then gives the index record.
// Any record type may be listed; a file with more kinds than an index holds, or a payload too
// large to code, gets no index (readers then walk it, as they walk any file without one).
class IndexBuilder {
 public:
  explicit IndexBuilder(uint64_t firstRecord = kFileHeaderSize)
      : first_(firstRecord), end_(firstRecord) {}

  void add(uint64_t type, uint64_t payloadSize) {
    if (!usable_) return;
    size_t kind = 0;
    while (kind < kinds_.size() && kinds_[kind] != type) ++kind;
    if (kind == kinds_.size()) {
      if (kinds_.size() == kIndexMaxKinds) usable_ = false;
      kinds_.push_back(type);
    }
    if (payloadSize > kIndexMaxPayload || !usable_) {
      usable_ = false;
      return;
    }
    uint64_t v = payloadSize << kIndexKindBits | kind;
    while (v >= 0x80) {
      entries_.push_back(static_cast<uint8_t>(v | 0x80));
      v >>= 7;
    }
    entries_.push_back(static_cast<uint8_t>(v));
    ++count_;
    end_ += kRecordHeaderSize + payloadSize;
  }

  // Where the next record starts, by the records listed so far.
  uint64_t end() const { return end_; }
  bool usable() const { return usable_; }

  // The whole index record, header included, for a file whose listed records end at
  // end(); empty when there can be none.
  std::vector<uint8_t> record() const {
    using namespace index_detail;
    std::vector<uint8_t> out;
    if (!usable_) return out;
    const uint64_t payload =
        kIndexPreambleSize + 8 * kinds_.size() + entries_.size() + kIndexTrailerSize;
    out.reserve(static_cast<size_t>(kRecordHeaderSize + payload));
    putU64(out, kRecordHeaderSize);
    putU64(out, RECORD_INDEX);
    putU64(out, payload);
    putU32(out, kIndexVersion);
    putU32(out, static_cast<uint32_t>(kinds_.size()));
    putU64(out, first_);
    putU64(out, count_);
    for (uint64_t type : kinds_) putU64(out, type);
    out.insert(out.end(), entries_.begin(), entries_.end());
    putU64(out, kIndexMagic);
    putU64(out, end_);
    putU64(out, end_ + kRecordHeaderSize + payload);
    putU32(out, indexChecksum(out.data() + kRecordHeaderSize, out.size() - kRecordHeaderSize));
    putU32(out, 0);
    return out;
  }

 private:
  std::vector<uint64_t> kinds_;
  std::vector<uint8_t> entries_;
  uint64_t first_;
  uint64_t end_;
  uint64_t count_ = 0;
  bool usable_ = true;
};

// Where the index record starts, when the last kIndexTrailerSize bytes of a file of fileSize
// bytes are a trailer that says so; 0 otherwise.
inline uint64_t indexStartFromTrailer(const uint8_t* trailer, uint64_t fileSize) {
  using namespace index_detail;
  if (getU64(trailer) != kIndexMagic || getU64(trailer + 16) != fileSize) return 0;
  const uint64_t start = getU64(trailer + 8);
  if (start < kFileHeaderSize || start > fileSize - kRecordHeaderSize - kIndexTrailerSize) return 0;
  return start;
}

// One listed record.
struct IndexedRecord {
  uint64_t type;
  uint64_t payloadPosition;
  uint64_t payloadSize;
};

// Checks an index record read whole (its record header first) that stands at indexStart in a
// file of fileSize bytes, then calls reserve(kinds, counts, kindCount) once with how many
// records of each type it lists (so a caller sizes its tables once), and visit(IndexedRecord)
// for each listed record in file order. False, having called neither, for anything that does
// not hold together: then the file is walked instead.
template <typename Reserve, typename Visit>
bool decodeIndex(const uint8_t* record, uint64_t recordSize, uint64_t indexStart, uint64_t fileSize,
                 uint64_t firstRecord, Reserve&& reserve, Visit&& visit) {
  using namespace index_detail;
  if (recordSize < kRecordHeaderSize + kIndexPreambleSize + kIndexTrailerSize) return false;
  if (indexStart + recordSize != fileSize) return false;
  if (getU64(record) != kRecordHeaderSize || getU64(record + 8) != RECORD_INDEX ||
      getU64(record + 16) != recordSize - kRecordHeaderSize) {
    return false;
  }
  const uint8_t* p = record + kRecordHeaderSize;
  const uint64_t size = recordSize - kRecordHeaderSize;
  const uint8_t* trailer = p + size - kIndexTrailerSize;
  if (indexStartFromTrailer(trailer, fileSize) != indexStart) return false;
  if (getU32(trailer + 24) != indexChecksum(p, static_cast<size_t>(size - 8))) return false;
  if (getU32(p) != kIndexVersion) return false;
  const uint32_t kindCount = getU32(p + 4);
  const uint64_t first = getU64(p + 8);
  const uint64_t count = getU64(p + 16);
  if (kindCount > kIndexMaxKinds || first != firstRecord) return false;
  const uint8_t* at = p + kIndexPreambleSize;
  const uint8_t* end = trailer;
  if (static_cast<uint64_t>(end - at) < 8 * uint64_t{kindCount}) return false;
  uint64_t kinds[kIndexMaxKinds];
  for (uint32_t k = 0; k < kindCount; ++k, at += 8) kinds[k] = getU64(at);
  // Every entry takes a byte at least: a count beyond the bytes left is a damaged index.
  if (count > static_cast<uint64_t>(end - at)) return false;

  // First check that the records tile the file from firstRecord to the index exactly, then
  // hand them out: a caller never sees half of a bad index.
  uint64_t perKind[kIndexMaxKinds] = {};
  for (int pass = 0; pass < 2; ++pass) {
    if (pass == 1)
      reserve(static_cast<const uint64_t*>(kinds), static_cast<const uint64_t*>(perKind),
              kindCount);
    const uint8_t* q = at;
    uint64_t position = first;
    for (uint64_t n = 0; n < count; ++n) {
      uint64_t v = 0;
      int shift = 0;
      for (;;) {
        if (q == end || shift > 63) return false;
        const uint8_t byte = *q++;
        v |= static_cast<uint64_t>(byte & 0x7F) << shift;
        if ((byte & 0x80) == 0) break;
        shift += 7;
      }
      const uint64_t kind = v & ((1u << kIndexKindBits) - 1);
      const uint64_t payloadSize = v >> kIndexKindBits;
      if (kind >= kindCount) return false;
      if (payloadSize > indexStart - kRecordHeaderSize ||
          position > indexStart - kRecordHeaderSize - payloadSize) {
        return false;
      }
      if (pass == 0) ++perKind[kind];
      if (pass == 1) visit(IndexedRecord{kinds[kind], position + kRecordHeaderSize, payloadSize});
      position += kRecordHeaderSize + payloadSize;
    }
    if (q != end || position != indexStart) return false;
  }
  return true;
}

// The same without sizing.
template <typename Visit>
bool decodeIndex(const uint8_t* record, uint64_t recordSize, uint64_t indexStart, uint64_t fileSize,
                 uint64_t firstRecord, Visit&& visit) {
  return decodeIndex(
      record, recordSize, indexStart, fileSize, firstRecord,
      [](const uint64_t*, const uint64_t*, uint32_t) {}, visit);
}

}  // namespace qvf
