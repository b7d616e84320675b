#include "container_reader.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

#include "qvf_index.h"

namespace qv_reader {
namespace {

uint64_t loadU64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

qvf::FileHeader parseHeader(const uint8_t* bytes) {
  qvf::FileHeader h;
  h.headerSize = loadU64(bytes);
  h.frameRate = loadU64(bytes + 8);
  h.width = loadU64(bytes + 16);
  h.height = loadU64(bytes + 24);
  std::memcpy(h.codecTag, bytes + 32, sizeof h.codecTag);
  h.audioChannels = loadU64(bytes + 40);
  h.audioBitsPerSample = loadU64(bytes + 48);
  h.audioSampleRate = loadU64(bytes + 56);
  return h;
}

// The sample frame size the editor will be told, or 0 when the sound format does not fit the
// editor's 16- and 32-bit format fields: then reads and sizes could never agree.
uint32_t blockBytesFor(const qvf::FileHeader& h) {
  if (h.audioChannels == 0 || h.audioChannels > 0xFFFF) return 0;
  if (h.audioBitsPerSample < 8 || h.audioBitsPerSample > 0xFFFF) return 0;
  if (h.audioSampleRate == 0 || h.audioSampleRate > 0xFFFFFFFFu) return 0;
  const uint64_t block = (h.audioBitsPerSample >> 3) * h.audioChannels;
  if (block > 0xFFFF || block * h.audioSampleRate > 0xFFFFFFFFu) return 0;
  return static_cast<uint32_t>(block);
}

constexpr uint64_t kMaxFilePosition = uint64_t{INT64_MAX};

// The indexes of the files open in this process, by the file's identity. Entries hold no
// index alive: the last handle that closes a file frees its index.
class IndexCache {
 public:
  static IndexCache& instance() {
    static IndexCache cache;
    return cache;
  }

  std::shared_ptr<const RecordIndex> find(const FileIdentity& id) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Entry& e : entries_) {
      if (e.id == id) {
        if (std::shared_ptr<const RecordIndex> index = e.index.lock()) return index;
      }
    }
    return nullptr;
  }

  void add(const FileIdentity& id, const std::shared_ptr<const RecordIndex>& index) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                  [&](const Entry& e) { return e.index.expired() || e.id == id; }),
                   entries_.end());
    entries_.push_back({id, index});
  }

 private:
  struct Entry {
    FileIdentity id;
    std::weak_ptr<const RecordIndex> index;
  };
  std::mutex mutex_;
  std::vector<Entry> entries_;
};

const std::shared_ptr<const RecordIndex>& emptyIndex() {
  static const std::shared_ptr<const RecordIndex> empty = std::make_shared<RecordIndex>();
  return empty;
}

// Adds one record to an index being built; false when the index can take no more (frame
// numbers are ints, sound offsets must stay file positions): the records after it are left
// out, as after a damaged one.
// A track record's sound is listed under its track, which its type names.
bool addRecord(RecordIndex* index, uint64_t type, uint64_t payloadPosition, uint64_t payloadSize) {
  if (type == qvf::RECORD_DELTA || type == qvf::RECORD_KEY || type == qvf::RECORD_REPEAT) {
    if (index->video.size() >= static_cast<size_t>(INT_MAX)) return false;
    const uint32_t size =
        payloadSize > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(payloadSize);
    index->video.push_back({payloadPosition, size, static_cast<uint32_t>(type)});
  } else if (type == qvf::RECORD_AUDIO) {
    if (payloadSize > kMaxFilePosition - index->audioBytes) return false;
    index->audio.push_back({payloadPosition, payloadSize, index->audioBytes});
    index->audioBytes += payloadSize;
  } else if (qvf::isAudioTrackRecord(type)) {
    // The track is in the type: no read. A record too short for its number is not sound.
    constexpr uint64_t number = qvf::kAudioTrackNumberSize;
    if (payloadSize < number) return true;
    const uint64_t track = type - qvf::RECORD_AUDIO_TRACK;
    auto it =
        std::lower_bound(index->tracks.begin(), index->tracks.end(), track,
                         [](const AudioTrackIndex& t, uint64_t value) { return t.number < value; });
    if (it == index->tracks.end() || it->number != track) {
      AudioTrackIndex added;
      added.number = track;
      it = index->tracks.insert(it, added);
    }
    const uint64_t samples = payloadSize - number;
    if (samples > kMaxFilePosition - it->audioBytes) return false;
    it->audio.push_back({payloadPosition + number, samples, it->audioBytes});
    it->audioBytes += samples;
  }
  return true;
}

}  // namespace

bool ContainerReader::open(const char* path) { return openPath(path); }

bool ContainerReader::open(const WideChar* path) { return openPath(path); }

template <typename Char>
bool ContainerReader::openPath(const Char* path) {
  close();
  try {
    if (path && file_.open(path) && readHeader()) {
      FileIdentity id;
      const bool known = file_.identify(&id);
      // A file whose identity cannot be had is read to its end as it is now, and not shared.
      index_ = known ? IndexCache::instance().find(id) : nullptr;
      if (!index_) {
        index_ = buildIndex(known ? id.size : kMaxFilePosition);
        if (known) IndexCache::instance().add(id, index_);
      }
      return true;
    }
  } catch (...) {
    // Memory ran out while an index grew; the file is refused like any other bad one.
  }
  close();
  return false;
}

bool ContainerReader::readHeader() {
  uint8_t bytes[qvf::kFileHeaderSize];
  const size_t got = file_.readAt(0, bytes, sizeof bytes);
  if (got < 8 || loadU64(bytes) != qvf::kFileHeaderSize || got < sizeof bytes) return false;
  header_ = parseHeader(bytes);
  if (std::memcmp(header_.codecTag, qvf::kCodecTagSnappy, sizeof header_.codecTag) != 0) {
    return false;
  }
  if (header_.width == 0 || header_.height == 0 || header_.width > kMaxFrameBytes ||
      header_.height > kMaxFrameBytes ||
      qvf::pictureBytes(header_.width, header_.height) > kMaxFrameBytes) {
    return false;
  }
  frameBytes_ = static_cast<uint32_t>(qvf::pictureBytes(header_.width, header_.height));
  audioBlockBytes_ = blockBytesFor(header_);
  const uint64_t capacity = qvf::maxCompressedBytes(frameBytes_);
  return capacity <= SIZE_MAX;
}

// The records up to fileSize bytes (the file as it was when opened: a recording still being
// written grows behind the reader, and what it adds waits for the next open).
std::shared_ptr<const RecordIndex> ContainerReader::buildIndex(uint64_t fileSize) const {
  auto index = std::make_shared<RecordIndex>();
  index->bytesRead = qvf::kFileHeaderSize;
  index->reads = 1;
  if (!readIndexRecord(fileSize, index.get())) {
    const uint64_t bytesRead = index->bytesRead, reads = index->reads;
    *index = RecordIndex();
    // What the failed look for an index record cost is part of the open.
    index->bytesRead = bytesRead;
    index->reads = reads;
    walkRecords(fileSize, index.get());
  }
  index->video.shrink_to_fit();
  index->audio.shrink_to_fit();
  for (AudioTrackIndex& track : index->tracks) track.audio.shrink_to_fit();
  return index;
}

// The index record at the end of a finished file: the trailer, then the record it points to.
bool ContainerReader::readIndexRecord(uint64_t fileSize, RecordIndex* index) const {
  const uint64_t smallest = qvf::kFileHeaderSize + qvf::kRecordHeaderSize +
                            qvf::kIndexPreambleSize + qvf::kIndexTrailerSize;
  if (fileSize == kMaxFilePosition || fileSize < smallest) return false;
  uint8_t trailer[qvf::kIndexTrailerSize];
  index->bytesRead += sizeof trailer;
  ++index->reads;
  if (file_.readAt(fileSize - sizeof trailer, trailer, sizeof trailer) != sizeof trailer) {
    return false;
  }
  const uint64_t start = qvf::indexStartFromTrailer(trailer, fileSize);
  const uint64_t recordSize = fileSize - start;
  if (start < header_.headerSize || recordSize > SIZE_MAX) return false;
  std::vector<uint8_t> record(static_cast<size_t>(recordSize));
  index->bytesRead += recordSize;
  ++index->reads;
  if (file_.readAt(start, record.data(), record.size()) != record.size()) return false;
  bool full = false;
  const bool sound = qvf::decodeIndex(
      record.data(), recordSize, start, fileSize, header_.headerSize,
      [&](const uint64_t* kinds, const uint64_t* counts, uint32_t kindCount) {
        // The tables take their final size at once: no regrowth, no copy.
        uint64_t video = 0, audio = 0;
        for (uint32_t k = 0; k < kindCount; ++k) {
          if (kinds[k] == qvf::RECORD_AUDIO) audio += counts[k];
          if (kinds[k] == qvf::RECORD_DELTA || kinds[k] == qvf::RECORD_KEY ||
              kinds[k] == qvf::RECORD_REPEAT) {
            video += counts[k];
          }
        }
        index->video.reserve(
            static_cast<size_t>(std::min<uint64_t>(video, static_cast<uint64_t>(INT_MAX))));
        index->audio.reserve(static_cast<size_t>(audio));
      },
      [&](const qvf::IndexedRecord& r) {
        if (!full) {
          full = !addRecord(index, r.type, r.payloadPosition, r.payloadSize);
        }
      });
  index->fromIndexRecord = sound;
  return sound;
}

// One pass over the record headers; payloads are skipped, only their last byte is probed.
// Whatever cannot be read in full ends the scan, and what was indexed before it stays usable.
void ContainerReader::walkRecords(uint64_t fileSize, RecordIndex* index) const {
  uint64_t position = header_.headerSize;
  for (;;) {
    uint8_t record[qvf::kRecordHeaderSize];
    index->bytesRead += sizeof record;
    ++index->reads;
    if (file_.readAt(position, record, sizeof record) < sizeof record) break;
    if (loadU64(record) != qvf::kRecordHeaderSize) break;
    const uint64_t type = loadU64(record + 8);
    const uint64_t payloadSize = loadU64(record + 16);
    const uint64_t payloadPosition = position + qvf::kRecordHeaderSize;
    if (payloadSize > kMaxFilePosition - payloadPosition) break;
    // A record cut off by the end of the file (a recording that ended while it was written)
    // is left out, like anything else that cannot be read in full.
    if (payloadPosition + payloadSize > fileSize) break;
    uint8_t last;
    if (payloadSize != 0) {
      ++index->bytesRead;
      ++index->reads;
      if (file_.readAt(payloadPosition + payloadSize - 1, &last, 1) != 1) break;
    }
    if (!addRecord(index, type, payloadPosition, payloadSize)) break;
    position = payloadPosition + payloadSize;
  }
}

bool ContainerReader::allocateBuffers() {
  if (picture_) return true;
  const uint64_t capacity = qvf::maxCompressedBytes(frameBytes_);
  compressedCapacity_ = static_cast<size_t>(capacity);
  // Zero-filled: a file whose first picture record cannot be decoded shows black-ish zeros,
  // never earlier contents of the heap.
  picture_ = static_cast<uint8_t*>(std::calloc(frameBytes_, 1));
  scratch_ = static_cast<uint8_t*>(std::malloc(frameBytes_));
  compressed_ = static_cast<uint8_t*>(std::malloc(compressedCapacity_));
  piece_ = static_cast<uint8_t*>(std::malloc(kPieceBufferBytes));
  if (picture_ && scratch_ && compressed_ && piece_) {
    try {
      brokenKey_.assign(video().size(), false);
      return true;
    } catch (...) {
    }
  }
  releaseBuffers();
  return false;
}

void ContainerReader::releaseBuffers() {
  std::free(picture_);
  std::free(scratch_);
  std::free(compressed_);
  std::free(piece_);
  picture_ = scratch_ = compressed_ = piece_ = nullptr;
  compressedCapacity_ = 0;
  brokenKey_.clear();
  brokenKey_.shrink_to_fit();
  lastFrame_ = -1;
  exact_ = false;
}

void ContainerReader::close() {
  file_.close();
  soundFile_.close();
  releaseBuffers();
  index_ = emptyIndex();
  header_ = {};
  audioBlockBytes_ = 0;
  frameBytes_ = 0;
  audioTrack_ = 0;
}

bool ContainerReader::selectAudioTrack(size_t track) {
  if (track >= audioTrackCount()) return false;
  audioTrack_ = track;
  return true;
}

bool ContainerReader::isKeyFrame(int64_t frame) const {
  return frame >= 0 && static_cast<uint64_t>(frame) < video().size() &&
         video()[static_cast<size_t>(frame)].type == qvf::RECORD_KEY;
}

bool ContainerReader::isRepeat(int64_t frame) const {
  return frame >= 0 && static_cast<uint64_t>(frame) < video().size() &&
         video()[static_cast<size_t>(frame)].type == qvf::RECORD_REPEAT;
}

// Applies record `frame` to the picture. A record that cannot be read or decoded in full
// changes nothing, so the picture before it stays on screen, and leaves the picture inexact:
// the differences after it describe a picture we do not have, so they are skipped until a key
// record decodes. A repeat record keeps the picture and its exactness. False only for a key
// record that cannot be decoded.
bool ContainerReader::decodeRecord(size_t frame) {
  const VideoIndexEntry& e = video()[frame];
  if (e.type == qvf::RECORD_REPEAT) return true;
  if (e.type != qvf::RECORD_KEY) {
    exact_ = exact_ && decodePayload(e);
    return true;
  }
  exact_ = !brokenKey_[frame] && decodePayload(e);
  brokenKey_[frame] = !exact_;
  return exact_;
}

bool ContainerReader::decodePayload(const VideoIndexEntry& e) {
  if (e.payloadSize > compressedCapacity_) return false;
  const size_t size = static_cast<size_t>(e.payloadSize);
  if (file_.readAt(e.payloadPosition, compressed_, size) != size) return false;
  const char* block = reinterpret_cast<const char*>(compressed_);
  size_t stated = 0;
  if (!codec_.uncompressedLength(block, size, &stated) || stated != frameBytes_) return false;
  if (e.type == qvf::RECORD_KEY) {
    if (!codec_.uncompress(block, size, reinterpret_cast<char*>(scratch_))) return false;
    // Decoded aside and swapped in, so a failure above never leaves half a picture.
    std::swap(picture_, scratch_);
  } else if (!addDifference(block, size)) {
    return false;
  }
  ++recordsApplied_;
  return true;
}

// Adds a difference block to the picture, a piece at a time where the codec can (each piece
// is added while it is in the cache), else whole. A block whose copies reach across pieces is
// decompressed whole and added from where the pieces stopped; one that turns out bad has what
// was added taken off again, so the picture is left as it was.
bool ContainerReader::addDifference(const char* block, size_t size) {
  size_t applied = 0;
  if (codec_.applyDifferencePieces &&
      codec_.applyDifferencePieces(block, size, picture_, frameBytes_, piece_, false, &applied)) {
    return true;
  }
  if (codec_.uncompress(block, size, reinterpret_cast<char*>(scratch_))) {
    codec_.addDifference(picture_ + applied, scratch_ + applied, frameBytes_ - applied);
    return true;
  }
  if (applied != 0) {
    size_t undone = 0;
    codec_.applyDifferencePieces(block, size, picture_, applied, piece_, true, &undone);
  }
  return false;
}

// Where decoding must begin to reach `frame`: the next record when the picture is the one
// just before it, else the nearest usable key record at or before it, or the current picture
// when that key lies before the picture held (same result, fewer records). Without any usable
// key the picture restarts from zeros at record 0, so every frame always shows the same
// picture whatever was read before.
size_t ContainerReader::chooseStart(size_t frame, bool* restartedAtKey) {
  *restartedAtKey = false;
  if (lastFrame_ >= 0 && static_cast<uint64_t>(lastFrame_) + 1 == frame) return frame;
  size_t k = frame + 1;
  for (size_t i = frame + 1; i-- > 0;) {
    if (video()[i].type == qvf::RECORD_KEY && !brokenKey_[i]) {
      k = i;
      break;
    }
  }
  const bool haveKey = k <= frame;
  const size_t base = haveKey ? k : 0;
  if (lastFrame_ >= 0 && static_cast<uint64_t>(lastFrame_) >= base &&
      static_cast<uint64_t>(lastFrame_) < frame) {
    return static_cast<size_t>(lastFrame_) + 1;
  }
  if (haveKey) {
    *restartedAtKey = true;
    return k;
  }
  std::memset(picture_, 0, frameBytes_);
  exact_ = false;
  return 0;
}

int ContainerReader::readVideo(int64_t frame, void* buffer) {
  if (frame < 0 || static_cast<uint64_t>(frame) >= video().size()) return 0;
  if (!allocateBuffers()) return 0;
  const size_t target = static_cast<size_t>(frame);
  bool done = lastFrame_ == frame;
  while (!done) {
    bool restartedAtKey = false;
    const size_t start = chooseStart(target, &restartedAtKey);
    done = true;
    for (size_t j = start; j <= target; ++j) {
      const bool ok = decodeRecord(j);
      lastFrame_ = static_cast<int64_t>(j);
      if (!ok && j == start && restartedAtKey) {
        // The picture under this key belongs to some other frame: start again further back.
        // Each round marks one more key broken, so this ends.
        lastFrame_ = -1;
        done = false;
        break;
      }
    }
  }
  if (buffer) std::memcpy(buffer, picture_, frameBytes_);
  return exact_ ? static_cast<int>(frameBytes_) : 0;
}

uint64_t ContainerReader::readAudio(int64_t start, int64_t end, void* buffer) const {
  const uint64_t block = audioBlockBytes_;
  if (block == 0 || start < 0 || end <= start || !buffer) return 0;
  const uint64_t first = static_cast<uint64_t>(start);
  const std::vector<AudioIndexEntry>& audio =
      audioTrack_ == 0 ? index_->audio : index_->tracks[audioTrack_ - 1].audio;
  const uint64_t audioBytes = this->audioBytes();
  if (first >= audioBytes / block + 1) return 0;
  uint64_t offset = first * block;
  if (offset >= audioBytes) return 0;
  const uint64_t count = static_cast<uint64_t>(end) - first;
  const uint64_t available = audioBytes - offset;
  uint64_t wanted = count > available / block ? available : count * block;
  if (wanted > SIZE_MAX) wanted = SIZE_MAX;

  // The first record that ends after the offset.
  auto it = std::upper_bound(
      audio.begin(), audio.end(), offset,
      [](uint64_t value, const AudioIndexEntry& e) { return value < e.firstByte + e.payloadSize; });
  const InputFile& file = soundFile_.isOpen() ? soundFile_ : file_;
  auto* out = static_cast<uint8_t*>(buffer);
  uint64_t delivered = 0;
  for (; it != audio.end() && wanted > 0; ++it) {
    const uint64_t inRecord = offset - it->firstByte;
    const uint64_t n = std::min(it->payloadSize - inRecord, wanted);
    const size_t got =
        file.readAt(it->payloadPosition + inRecord, out + delivered, static_cast<size_t>(n));
    delivered += got;
    // A short read (a file cut short) ends the request: later bytes would land in the wrong
    // place of the editor's buffer.
    if (got != n) break;
    wanted -= n;
    offset += n;
  }
  return delivered / block;
}

}  // namespace qv_reader
