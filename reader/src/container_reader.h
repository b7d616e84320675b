// One open .qvf file: its header, an index of its picture and sound records, and the picture
// reconstructed last.
//
// Picture reads change the reader and must come one at a time. Everything else (sound reads,
// the header, counts and record types) only reads what open() built, and may run on other
// threads at the same time as a picture read.
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
  bool open(const WideChar* path);
  void close();

  // Gives sound reads a file handle of their own, so that they never wait for a picture
  // payload being read. Without it (or when the system cannot give one) both share a handle.
  void separateSoundReads() { soundFile_.reopen(file_); }

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
  bool isRepeat(int64_t frame) const;

  // Reconstructs picture `frame` and copies its frameBytes() bytes to buffer (when not null).
  // Returns frameBytes() when the picture is exactly the one recorded, 0 when it cannot be:
  // a record that cannot be decoded, every difference built on it, and every frame before
  // the first good key record. Such frames show the last exact picture before the fault (or
  // zeros), until the next key record that decodes. A repeat record returns what the frame it
  // repeats returned. Out of range: 0, and buffer is untouched.
  int readVideo(int64_t frame, void* buffer);

  // Copies sound samples [start, end) into buffer (room for (end - start) whole samples) and
  // returns how many whole samples arrived.
  uint64_t readAudio(int64_t start, int64_t end, void* buffer) const;

  // Records decompressed or applied so far; lets tests see what a request cost.
  uint64_t recordsApplied() const { return recordsApplied_; }

 private:
  template <typename Char>
  bool openPath(const Char* path);
  bool indexFile();
  bool allocateBuffers();
  bool decodeRecord(size_t frame);
  bool decodePayload(const VideoIndexEntry& e);
  size_t chooseStart(size_t frame, bool* restartedAtKey);
  void releaseBuffers();

  const PictureCodec& codec_;
  InputFile file_;
  InputFile soundFile_;
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
  // picture_ is exactly the recorded picture of lastFrame_. Once it is not, differences are
  // no longer applied: the picture stays the last exact one until a key record decodes.
  bool exact_ = false;
  uint64_t recordsApplied_ = 0;
};

}  // namespace qv_reader
