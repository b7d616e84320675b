// One open .qvf file: its header, an index of its picture and sound records, and the picture
// reconstructed last.
//
// The index comes from the file's index record when it has a sound one, else from a walk over
// the record headers (same result). Handles on the same file as it stands (same device, file,
// size and time) in one process share one index; a handle's own memory is its picture
// buffers, taken at its first picture read.
//
// Picture reads change the reader and must come one at a time. Everything else (sound reads,
// the header, counts and record types) only reads what open() built, and may run on other
// threads at the same time as a picture read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "input_file.h"
#include "picture_codec.h"
#include "qvf.h"

namespace qv_reader {

// Largest picture accepted: the editor's frame result and sizes are ints.
constexpr uint64_t kMaxFrameBytes = 0x7FFFFFFF;

// 16 bytes: an hour at 60 fps is 216 000 of them, made at every first open.
struct VideoIndexEntry {
  uint64_t payloadPosition;
  // At most UINT32_MAX: a larger payload stands there as UINT32_MAX, which is still more than
  // any picture can compress to, so such a record is refused all the same.
  uint32_t payloadSize;
  uint32_t type;  // RECORD_DELTA, RECORD_KEY or RECORD_REPEAT
};
static_assert(sizeof(VideoIndexEntry) == 16, "picture entries stay small");

struct AudioIndexEntry {
  uint64_t payloadPosition;
  uint64_t payloadSize;
  uint64_t firstByte;  // offset of this payload in the concatenated sound
};

// The records of one source's own track (RECORD_AUDIO_TRACK); entries point past the track
// number, at the samples.
struct AudioTrackIndex {
  uint64_t number = 0;  // as in the records: 1 for the first source
  std::vector<AudioIndexEntry> audio;
  uint64_t audioBytes = 0;
};

// Where the picture and sound records of one file are; never changed once built, so any number
// of readers on any threads may share it.
struct RecordIndex {
  std::vector<VideoIndexEntry> video;
  std::vector<AudioIndexEntry> audio;
  uint64_t audioBytes = 0;
  std::vector<AudioTrackIndex> tracks;  // by track number, lowest first
  bool fromIndexRecord = false;         // false: built by walking the records
  uint64_t bytesRead = 0;               // read from the file to build it (header included)
  uint64_t reads = 0;                   // reads made to build it (the header's included)
};

class ContainerReader {
 public:
  explicit ContainerReader(const PictureCodec& codec = bestCodec()) : codec_(codec) { close(); }
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
  size_t frameCount() const { return video().size(); }
  const std::vector<VideoIndexEntry>& videoIndex() const { return video(); }
  const std::vector<AudioIndexEntry>& audioIndex() const { return index_->audio; }

  // Sound tracks: 0 is the sound every reader hears (with several sources, their mix), then
  // one per source's own track, lowest number first. The file's without tracks has only 0.
  size_t audioTrackCount() const { return 1 + index_->tracks.size(); }
  // The track the sound reads and counts below are of; false (nothing changed) for one the
  // file does not have. Choose before reading from other threads.
  bool selectAudioTrack(size_t track);
  size_t audioTrack() const { return audioTrack_; }
  // The number the chosen track's records carry (0 for the sound of RECORD_AUDIO).
  uint64_t audioTrackNumber() const {
    return audioTrack_ == 0 ? 0 : index_->tracks[audioTrack_ - 1].number;
  }
  // The index in use: shared with the other handles on the same file.
  const std::shared_ptr<const RecordIndex>& recordIndex() const { return index_; }

  // Bytes of one sound sample frame, or 0 when the header's sound format cannot be handed to
  // the editor (no channels, under 8 bits, or fields too large for its format record).
  uint32_t audioBlockBytes() const { return audioBlockBytes_; }
  uint64_t audioBytes() const {
    return audioTrack_ == 0 ? index_->audioBytes : index_->tracks[audioTrack_ - 1].audioBytes;
  }
  uint64_t audioSampleCount() const {
    return audioBlockBytes_ ? audioBytes() / audioBlockBytes_ : 0;
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
  bool readHeader();
  std::shared_ptr<const RecordIndex> buildIndex(uint64_t fileSize) const;
  bool readIndexRecord(uint64_t fileSize, RecordIndex* index) const;
  void walkRecords(uint64_t fileSize, RecordIndex* index) const;
  bool allocateBuffers();
  const std::vector<VideoIndexEntry>& video() const { return index_->video; }
  bool decodeRecord(size_t frame);
  bool decodePayload(const VideoIndexEntry& e);
  bool addDifference(const char* block, size_t size);
  size_t chooseStart(size_t frame, bool* restartedAtKey);
  void releaseBuffers();

  const PictureCodec& codec_;
  InputFile file_;
  InputFile soundFile_;
  qvf::FileHeader header_ = {};
  std::shared_ptr<const RecordIndex> index_;
  std::vector<bool> brokenKey_;  // key records that failed to decode: never a starting point
  uint32_t audioBlockBytes_ = 0;
  uint32_t frameBytes_ = 0;
  size_t compressedCapacity_ = 0;
  uint8_t* picture_ = nullptr;  // the picture of lastFrame_
  uint8_t* scratch_ = nullptr;
  uint8_t* compressed_ = nullptr;
  uint8_t* piece_ = nullptr;  // one piece of a difference being added
  int64_t lastFrame_ = -1;
  // picture_ is exactly the recorded picture of lastFrame_. Once it is not, differences are
  // no longer applied: the picture stays the last exact one until a key record decodes.
  bool exact_ = false;
  uint64_t recordsApplied_ = 0;
  size_t audioTrack_ = 0;
};

}  // namespace qv_reader
