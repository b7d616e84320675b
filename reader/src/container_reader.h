// One open .qvf file: its header, an index of its picture and sound records, and the picture
// reconstructed last.
//
// Not thread-safe: the plug-in serialises the calls on one handle.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "input_file.h"
#include "picture_codec.h"
#include "qvf.h"

namespace qv_reader {

// Largest picture accepted: the editor's frame result and sizes are ints.
constexpr uint64_t kMaxFrameBytes = 0x7FFFFFFF;

struct VideoIndexEntry {
  uint64_t payloadPosition;
  uint64_t payloadSize;
  uint32_t type;           // RECORD_DELTA, RECORD_KEY or RECORD_REPEAT
  bool brokenKey = false;  // a key record that failed to decode: never a starting point
};

struct AudioIndexEntry {
  uint64_t payloadPosition;
  uint64_t payloadSize;
  uint64_t firstByte;  // offset of this payload in the concatenated sound
};

class ContainerReader {
 public:
  explicit ContainerReader(const PictureCodec& codec = bestCodec()) : codec_(codec) {}
  ~ContainerReader() { close(); }
  ContainerReader(const ContainerReader&) = delete;
  ContainerReader& operator=(const ContainerReader&) = delete;

  // Reads the header and indexes the records. False (and nothing kept) when the file cannot
  // be read, is not a Snappy .qvf file, or memory runs out. Never throws.
  bool open(const char* path);
  void close();

  const qvf::FileHeader& header() const { return header_; }
  uint32_t frameBytes() const { return frameBytes_; }
  size_t frameCount() const { return video_.size(); }
  const std::vector<VideoIndexEntry>& videoIndex() const { return video_; }
  const std::vector<AudioIndexEntry>& audioIndex() const { return audio_; }

  // Bytes of one sound sample frame, or 0 when the header's sound format cannot be handed to
  // the editor (no channels, under 8 bits, or fields too large for its format record).
  uint32_t audioBlockBytes() const { return audioBlockBytes_; }
  uint64_t audioBytes() const { return audioBytes_; }
  uint64_t audioSampleCount() const {
    return audioBlockBytes_ ? audioBytes_ / audioBlockBytes_ : 0;
  }

  bool isKeyFrame(int64_t frame) const;

  // Reconstructs picture `frame` and copies its frameBytes() bytes to buffer (when not null).
  // Returns the record's stated length (frameBytes()), and 0 when the record cannot be
  // decoded (the picture before it is handed over instead). A repeat record returns what the
  // frame it repeats returned. Out of range: 0, and buffer is untouched.
  int readVideo(int64_t frame, void* buffer);

  // Copies sound samples [start, end) into buffer (room for (end - start) whole samples) and
  // returns how many whole samples arrived.
  uint64_t readAudio(int64_t start, int64_t end, void* buffer);

  // Records decompressed or applied so far; lets tests see what a request cost.
  uint64_t recordsApplied() const { return recordsApplied_; }

 private:
  bool openFile(const char* path);
  bool allocateBuffers();
  bool decodeRecord(size_t frame, int* result);
  size_t chooseStart(size_t frame, bool* restartedAtKey);
  void releaseBuffers();

  const PictureCodec& codec_;
  InputFile file_;
  qvf::FileHeader header_ = {};
  std::vector<VideoIndexEntry> video_;
  std::vector<AudioIndexEntry> audio_;
  uint64_t audioBytes_ = 0;
  uint32_t audioBlockBytes_ = 0;
  uint32_t frameBytes_ = 0;
  size_t compressedCapacity_ = 0;
  uint8_t* picture_ = nullptr;  // the picture of lastFrame_
  uint8_t* scratch_ = nullptr;
  uint8_t* compressed_ = nullptr;
  int64_t lastFrame_ = -1;
  int lastResult_ = 0;
  uint64_t recordsApplied_ = 0;
};

}  // namespace qv_reader
