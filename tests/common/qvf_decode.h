// A test-side reader of .qvf files, written from the layout alone (byte offsets, not the
// format header's records), so that tests check what is on disk rather than trusting the
// writer's own structures. Header-only: any test binary that links Snappy can use it.
//
//   qvtest::QvfFile file;
//   std::string error;
//   if (!qvtest::readQvf(path, &file, &error)) FAIL() << error;
//   std::vector<std::vector<uint8_t>> pictures;   // one per video record, repeats included
//   if (!qvtest::decodePictures(file, &pictures, &error)) FAIL() << error;
#ifndef QUORVANE_TEST_QVF_DECODE_H
#define QUORVANE_TEST_QVF_DECODE_H

#include <snappy.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace qvtest {

constexpr uint64_t kQvfDelta = 1;
constexpr uint64_t kQvfKey = 2;
constexpr uint64_t kQvfRepeat = 4;
constexpr uint64_t kQvfAudio = 0x10000;
constexpr uint64_t kQvfIndex = 0x40000;

struct QvfRecord {
  uint64_t offset;      // of the record header in the file
  uint64_t headerSize;  // first field of the record
  uint64_t type;
  uint64_t payloadSize;
  uint64_t payloadOffset;
};

struct QvfFile {
  std::vector<uint8_t> bytes;
  uint64_t headerSize = 0;
  uint64_t frameRate = 0;
  uint64_t width = 0;
  uint64_t height = 0;
  std::string codecTag;
  uint64_t audioChannels = 0;
  uint64_t audioBitsPerSample = 0;
  uint64_t audioSampleRate = 0;
  std::vector<QvfRecord> records;  // every record in file order

  std::vector<QvfRecord> videoRecords() const {
    std::vector<QvfRecord> video;
    for (const QvfRecord& r : records) {
      if (r.type == kQvfDelta || r.type == kQvfKey || r.type == kQvfRepeat) video.push_back(r);
    }
    return video;
  }
  // "KDDR..." one letter per video record: K key, D delta, R repeat.
  std::string videoPattern() const {
    std::string s;
    for (const QvfRecord& r : videoRecords())
      s += r.type == kQvfKey ? 'K' : r.type == kQvfDelta ? 'D' : 'R';
    return s;
  }
  std::vector<uint8_t> audio() const {
    std::vector<uint8_t> pcm;
    for (const QvfRecord& r : records) {
      if (r.type != kQvfAudio) continue;
      pcm.insert(pcm.end(), bytes.begin() + static_cast<long>(r.payloadOffset),
                 bytes.begin() + static_cast<long>(r.payloadOffset + r.payloadSize));
    }
    return pcm;
  }
};

inline uint32_t readU32(const std::vector<uint8_t>& bytes, uint64_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | bytes[static_cast<size_t>(at) + i];
  return v;
}

inline uint64_t readU64(const std::vector<uint8_t>& bytes, uint64_t at) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | bytes[static_cast<size_t>(at) + i];
  return v;
}

// A little-endian value of `bytes` bytes.
inline uint64_t readLe(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// The fields of a record of how the file was made, by tag; version 0 when the payload is too
// short or a field runs past its end.
struct QvfProvenance {
  uint32_t version = 0;
  std::map<uint32_t, std::vector<uint8_t>> fields;
  std::string text(uint32_t tag) const {
    auto it = fields.find(tag);
    return it == fields.end() ? std::string() : std::string(it->second.begin(), it->second.end());
  }
  uint64_t value(uint32_t tag, size_t at, int bytes) const {
    auto it = fields.find(tag);
    if (it == fields.end() || it->second.size() < at + bytes) return UINT64_MAX;
    return readLe(it->second.data() + at, bytes);
  }
};

inline QvfProvenance parseProvenance(const std::vector<uint8_t>& bytes, const QvfRecord& r) {
  QvfProvenance p;
  const uint8_t* at = bytes.data() + r.payloadOffset;
  const uint8_t* end = at + r.payloadSize;
  if (r.payloadSize < 8) return p;
  const uint64_t count = readLe(at + 4, 4);
  const uint8_t* f = at + 8;
  for (uint64_t n = 0; n < count; ++n) {
    if (end - f < 8 || static_cast<uint64_t>(end - f - 8) < readLe(f + 4, 4)) return p;
    const uint64_t length = readLe(f + 4, 4);
    p.fields[static_cast<uint32_t>(readLe(f, 4))].assign(f + 8, f + 8 + length);
    f += 8 + length;
  }
  if (f == end) p.version = static_cast<uint32_t>(readLe(at, 4));
  return p;
}

inline bool readFileBytes(const std::string& path, std::vector<uint8_t>* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

// Parses the header and the record chain; false (with a reason) on any inconsistency,
// including a record that runs past the end of the file.
inline bool parseQvf(std::vector<uint8_t> bytes, QvfFile* file, std::string* error) {
  *file = QvfFile{};
  file->bytes = std::move(bytes);
  const std::vector<uint8_t>& b = file->bytes;
  if (b.size() < 64) {
    *error = "file shorter than its 64-byte header: " + std::to_string(b.size());
    return false;
  }
  file->headerSize = readU64(b, 0);
  file->frameRate = readU64(b, 8);
  file->width = readU64(b, 16);
  file->height = readU64(b, 24);
  file->codecTag.assign(reinterpret_cast<const char*>(b.data()) + 32, 8);
  file->audioChannels = readU64(b, 40);
  file->audioBitsPerSample = readU64(b, 48);
  file->audioSampleRate = readU64(b, 56);
  if (file->headerSize != 64) {
    *error = "header size " + std::to_string(file->headerSize);
    return false;
  }
  uint64_t at = file->headerSize;
  while (at < b.size()) {
    if (b.size() - at < 24) {
      *error = "truncated record header at " + std::to_string(at);
      return false;
    }
    QvfRecord r{};
    r.offset = at;
    r.headerSize = readU64(b, at);
    r.type = readU64(b, at + 8);
    r.payloadSize = readU64(b, at + 16);
    r.payloadOffset = at + r.headerSize;
    if (r.headerSize != 24) {
      *error = "record header size " + std::to_string(r.headerSize) + " at " + std::to_string(at);
      return false;
    }
    if (r.payloadSize > b.size() - r.payloadOffset) {
      *error = "payload runs past the end of the file at " + std::to_string(at);
      return false;
    }
    file->records.push_back(r);
    at = r.payloadOffset + r.payloadSize;
  }
  return true;
}

// The records the file's closing index record lists (offset, type and payload size), decoded
// from the layout alone; false with a reason when the file does not end in one that holds
// together. The checksum is left to the reader's own tests.
inline bool indexedRecords(const QvfFile& file, std::vector<QvfRecord>* out, std::string* error) {
  out->clear();
  const std::vector<uint8_t>& b = file.bytes;
  if (file.records.empty() || file.records.back().type != kQvfIndex) {
    *error = "the last record is not an index";
    return false;
  }
  const QvfRecord& index = file.records.back();
  const uint64_t end = index.payloadOffset + index.payloadSize;
  if (end != b.size() || readU64(b, end - 32) != 0x5845444E49465651ull ||
      readU64(b, end - 24) != index.offset || readU64(b, end - 16) != b.size()) {
    *error = "the trailer does not locate the index";
    return false;
  }
  uint64_t at = index.payloadOffset;
  const uint32_t kinds = readU32(b, at + 4);
  uint64_t position = readU64(b, at + 8);
  const uint64_t count = readU64(b, at + 16);
  std::vector<uint64_t> types;
  at += 24;
  for (uint32_t k = 0; k < kinds; ++k, at += 8) types.push_back(readU64(b, at));
  for (uint64_t n = 0; n < count; ++n) {
    uint64_t v = 0;
    for (int shift = 0; at < end - 32; shift += 7) {
      const uint8_t byte = b[static_cast<size_t>(at++)];
      v |= static_cast<uint64_t>(byte & 0x7F) << shift;
      if (!(byte & 0x80)) break;
    }
    if ((v & 15) >= types.size()) {
      *error = "entry " + std::to_string(n) + " has no kind";
      return false;
    }
    const uint64_t size = v >> 4;
    out->push_back({position, 24, types[v & 15], size, position + 24});
    position += 24 + size;
  }
  if (at != end - 32 || position != index.offset) {
    *error = "the entries do not end where the index starts";
    return false;
  }
  return true;
}

// Every record before the index, as a walk finds them, is what the index lists.
inline bool indexMatchesWalk(const QvfFile& file, std::string* error) {
  std::vector<QvfRecord> listed;
  if (!indexedRecords(file, &listed, error)) return false;
  if (listed.size() + 1 != file.records.size()) {
    *error = "the index lists " + std::to_string(listed.size()) + " of " +
             std::to_string(file.records.size() - 1) + " records";
    return false;
  }
  for (size_t i = 0; i < listed.size(); ++i) {
    const QvfRecord& a = listed[i];
    const QvfRecord& w = file.records[i];
    if (a.offset != w.offset || a.type != w.type || a.payloadSize != w.payloadSize) {
      *error = "record " + std::to_string(i) + " differs from the walk";
      return false;
    }
  }
  return true;
}

inline bool readQvf(const std::string& path, QvfFile* file, std::string* error) {
  std::vector<uint8_t> bytes;
  if (!readFileBytes(path, &bytes)) {
    *error = "cannot read " + path;
    return false;
  }
  return parseQvf(std::move(bytes), file, error);
}

// The YUY2 picture of every video record: keys decompressed, deltas added back modulo 256 to
// the picture before, repeats copied.
inline bool decodePictures(const QvfFile& file, std::vector<std::vector<uint8_t>>* pictures,
                           std::string* error) {
  pictures->clear();
  const size_t pictureBytes = static_cast<size_t>(file.width * file.height * 2);
  std::vector<uint8_t> raw;
  for (const QvfRecord& r : file.videoRecords()) {
    const size_t k = pictures->size();
    if (r.type == kQvfRepeat) {
      if (r.payloadSize != 0 || k == 0) {
        *error = "bad repeat record at video record " + std::to_string(k);
        return false;
      }
      pictures->push_back(pictures->back());
      continue;
    }
    const char* payload = reinterpret_cast<const char*>(file.bytes.data() + r.payloadOffset);
    size_t length = 0;
    if (!snappy::GetUncompressedLength(payload, static_cast<size_t>(r.payloadSize), &length) ||
        length != pictureBytes) {
      *error = "payload of video record " + std::to_string(k) + " is not a picture-size block";
      return false;
    }
    raw.resize(length);
    if (!snappy::RawUncompress(payload, static_cast<size_t>(r.payloadSize),
                               reinterpret_cast<char*>(raw.data()))) {
      *error = "corrupt Snappy block in video record " + std::to_string(k);
      return false;
    }
    if (r.type == kQvfDelta) {
      if (k == 0) {
        *error = "the first video record is a delta";
        return false;
      }
      const std::vector<uint8_t>& previous = pictures->back();
      for (size_t i = 0; i < length; ++i) raw[i] = static_cast<uint8_t>(raw[i] + previous[i]);
    }
    pictures->push_back(raw);
  }
  return true;
}

}  // namespace qvtest

#endif
