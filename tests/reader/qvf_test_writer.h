// A small .qvf writer for the reader's tests: the layout of format/qvf.h, built in memory
// record by record, so tests can make both faithful recordings and hostile files.
#pragma once

#include <snappy.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "qvf.h"
#include "qvf_blocks.h"
#include "qvf_index.h"

namespace qv_test {

using Bytes = std::vector<uint8_t>;

inline void putU64(Bytes& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

inline void setU64(Bytes& out, size_t at, uint64_t v) {
  for (int i = 0; i < 8; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// A picture's block as the capture library stores it (format/qvf_blocks.h).
inline Bytes snappyBlock(const Bytes& raw) {
  Bytes out(snappy::MaxCompressedLength(raw.size()));
  std::vector<char> scratch(qvf::kSnappyPieceScratchBytes);
  out.resize(qvf::putSnappyBlock(reinterpret_cast<const char*>(raw.data()), raw.size(),
                                 reinterpret_cast<char*>(out.data()), scratch.data()));
  return out;
}

// The same bytes as Snappy's own compressor gives them, as another writer may store them.
inline Bytes plainSnappyBlock(const Bytes& raw) {
  std::string out;
  snappy::Compress(reinterpret_cast<const char*>(raw.data()), raw.size(), &out);
  return Bytes(out.begin(), out.end());
}

// (current - previous) modulo 256, byte by byte.
inline Bytes difference(const Bytes& current, const Bytes& previous) {
  Bytes d(current.size());
  for (size_t k = 0; k < d.size(); ++k) d[k] = static_cast<uint8_t>(current[k] - previous[k]);
  return d;
}

class QvfWriter {
 public:
  QvfWriter(uint64_t frameRate, uint64_t width, uint64_t height) {
    putU64(bytes_, qvf::kFileHeaderSize);
    putU64(bytes_, frameRate);
    putU64(bytes_, width);
    putU64(bytes_, height);
    bytes_.insert(bytes_.end(), qvf::kCodecTagSnappy, qvf::kCodecTagSnappy + 8);
    putU64(bytes_, qvf::kAudioChannels);
    putU64(bytes_, qvf::kAudioBitsPerSample);
    putU64(bytes_, qvf::kAudioSampleRate);
  }

  // Any record, as given: hostile files use other lengths and types.
  void record(uint64_t type, const Bytes& payload, uint64_t headerSize = qvf::kRecordHeaderSize) {
    putU64(bytes_, headerSize);
    putU64(bytes_, type);
    putU64(bytes_, payload.size());
    bytes_.insert(bytes_.end(), payload.begin(), payload.end());
    index_.add(type, payload.size());
  }
  // A record whose payload is never written: the file gets a hole of that size there (see
  // writeSparseFile), so tests reach far offsets without the disk space.
  void hole(uint64_t type, uint64_t payloadSize) {
    putU64(bytes_, qvf::kRecordHeaderSize);
    putU64(bytes_, type);
    putU64(bytes_, payloadSize);
    holes_.push_back({bytes_.size(), payloadSize});
    index_.add(type, payloadSize);
  }
  // The index of the records so far, as a finished recording ends.
  void index() {
    const Bytes record = index_.record();
    bytes_.insert(bytes_.end(), record.begin(), record.end());
  }
  void audio(const Bytes& pcm) { record(qvf::RECORD_AUDIO, pcm); }
  // One chunk of a source's own track: the track number, then the samples.
  void track(uint64_t number, const Bytes& pcm) {
    Bytes payload;
    putU64(payload, number);
    payload.insert(payload.end(), pcm.begin(), pcm.end());
    record(qvf::RECORD_AUDIO_TRACK + number, payload);
  }
  void key(const Bytes& picture) { record(qvf::RECORD_KEY, snappyBlock(picture)); }
  void delta(const Bytes& picture, const Bytes& previous) {
    record(qvf::RECORD_DELTA, snappyBlock(difference(picture, previous)));
  }
  void repeat() { record(qvf::RECORD_REPEAT, {}); }

  Bytes& bytes() { return bytes_; }
  struct Hole {
    size_t at;  // in bytes()
    uint64_t size;
  };
  const std::vector<Hole>& holes() const { return holes_; }

 private:
  Bytes bytes_;
  std::vector<Hole> holes_;
  qvf::IndexBuilder index_;
};

// A recording as the capture library lays it out: sound first, then one record per slot; a
// key record for every frameRate-th captured picture, differences in between, and
// repeatsBefore[i] repeat records ahead of captured picture i. Returns the picture each slot
// shows.
inline std::vector<Bytes> writeRecording(QvfWriter& w, uint64_t frameRate,
                                         const std::vector<Bytes>& pictures,
                                         const std::vector<Bytes>& audioChunks,
                                         const std::vector<int>& repeatsBefore = {}) {
  for (const Bytes& chunk : audioChunks) w.audio(chunk);
  std::vector<Bytes> slots;
  for (size_t i = 0; i < pictures.size(); ++i) {
    const int repeats = i < repeatsBefore.size() ? repeatsBefore[i] : 0;
    for (int r = 0; r < repeats; ++r) {
      w.repeat();
      slots.push_back(slots.back());
    }
    if (i % frameRate == 0) {
      w.key(pictures[i]);
    } else {
      w.delta(pictures[i], pictures[i - 1]);
    }
    slots.push_back(pictures[i]);
  }
  return slots;
}

inline bool writeFile(const std::string& path, const Bytes& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(f);
}

// The writer's file with its holes skipped over, not written: sparse where the system allows.
inline bool writeSparseFile(const std::string& path, QvfWriter& w) {
  const Bytes& bytes = w.bytes();
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  size_t from = 0;
  uint64_t position = 0;
  for (const QvfWriter::Hole& h : w.holes()) {
    f.write(reinterpret_cast<const char*>(bytes.data() + from),
            static_cast<std::streamsize>(h.at - from));
    position += h.at - from + h.size;
    f.seekp(static_cast<std::streamoff>(position));
    from = h.at;
  }
  f.write(reinterpret_cast<const char*>(bytes.data() + from),
          static_cast<std::streamsize>(bytes.size() - from));
  return static_cast<bool>(f);
}

// Deterministic pictures with flat areas, gradients, noise and a block that moves, so
// differences are neither empty nor incompressible.
inline Bytes syntheticPicture(uint64_t width, uint64_t height, int index) {
  Bytes p(width * height * 2);
  uint32_t seed = 0x9E3779B9u * static_cast<uint32_t>(index + 1);
  for (uint64_t y = 0; y < height; ++y) {
    for (uint64_t x = 0; x < width * 2; ++x) {
      uint8_t v = static_cast<uint8_t>(x + 3 * y);
      if (y % 7 == 3) {
        seed = seed * 1664525u + 1013904223u;
        v = static_cast<uint8_t>(seed >> 24);
      }
      const uint64_t bx = (static_cast<uint64_t>(index) * 3) % (width * 2);
      if (x >= bx && x < bx + 6 && y >= height / 3 && y < height / 3 + 4) v = 0xF0;
      p[y * width * 2 + x] = v;
    }
  }
  return p;
}

// Interleaved 16-bit stereo that names its own position, so any misplaced byte shows.
inline Bytes pcm(uint64_t firstSample, uint64_t samples) {
  Bytes out;
  for (uint64_t s = firstSample; s < firstSample + samples; ++s) {
    const uint32_t v = static_cast<uint32_t>(s * 2654435761u);
    for (int b = 0; b < 4; ++b) out.push_back(static_cast<uint8_t>(v >> (8 * b)));
  }
  return out;
}

// BGRA to packed YUY2 with BT.601 TV-range integer arithmetic: a plain, deterministic
// conversion, only so that tests and benchmarks use real screen pictures.
inline void bgraToYuy2(const uint8_t* bgra, uint8_t* yuy2, uint64_t pixels) {
  for (uint64_t i = 0; i + 1 < pixels; i += 2) {
    const uint8_t* a = bgra + 4 * i;
    const uint8_t* b = a + 4;
    auto luma = [](const uint8_t* p) {
      return static_cast<uint8_t>((66 * p[2] + 129 * p[1] + 25 * p[0] + 128) / 256 + 16);
    };
    const int r = (a[2] + b[2]) / 2, g = (a[1] + b[1]) / 2, bl = (a[0] + b[0]) / 2;
    yuy2[2 * i] = luma(a);
    yuy2[2 * i + 1] = static_cast<uint8_t>((-38 * r - 74 * g + 112 * bl + 128) / 256 + 128);
    yuy2[2 * i + 2] = luma(b);
    yuy2[2 * i + 3] = static_cast<uint8_t>((112 * r - 94 * g - 18 * bl + 128) / 256 + 128);
  }
}

// A recording of two sources: the mix in the classic sound records (samples 0..999), track 1
// (samples 5000..5999) and track 2 (samples 9000..9799) in track records between them and the
// pictures, the way the capture library writes them; and a track record too short for its
// number, which readers leave out. Ends in an index.
struct TrackRecording {
  Bytes mix = pcm(0, 1000);
  Bytes track1 = pcm(5000, 1000);
  Bytes track2 = pcm(9000, 800);
};
inline TrackRecording writeTrackRecording(QvfWriter& w, const std::vector<Bytes>& pictures) {
  TrackRecording t;
  w.audio(pcm(0, 600));
  w.track(1, pcm(5000, 600));
  w.track(2, pcm(9000, 500));
  w.audio(pcm(600, 400));
  w.track(2, pcm(9500, 300));
  w.track(1, pcm(5600, 400));
  w.record(qvf::RECORD_AUDIO_TRACK + 1, Bytes(5, 1));
  writeRecording(w, 5, pictures, {});
  w.index();
  return t;
}

}  // namespace qv_test
