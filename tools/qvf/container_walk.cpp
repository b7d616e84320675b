#include "container_walk.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "console.h"

namespace qvf_tool {

namespace {

std::string u64(uint64_t v) { return std::to_string(v); }

uint64_t le(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// Largest payload read for the record of how the file was made; it holds a few texts.
constexpr uint64_t kMaxProvenanceBytes = 1 << 20;
// Largest index a writer makes: a few bytes for each of the list's 16.7 million frames.
constexpr uint64_t kMaxIndexBytes = uint64_t{1} << 30;

// Whether a record whose payload runs past the end of the file looks like one the writer was
// cut off in (a type it writes, a size it could have written) rather than a damaged header.
// A repeat record has no payload, so it can only be torn inside its header.
bool plausibleTornRecord(const qvf::RecordHeader& r, const qvf::FileHeader& h) {
  const uint64_t picture = qvf::pictureBytes(h.width, h.height);
  switch (qvf::isAudioTrackRecord(r.type) ? qvf::RECORD_AUDIO_TRACK : r.type) {
    case qvf::RECORD_KEY:
    case qvf::RECORD_DELTA:
      return r.payloadSize != 0 && r.payloadSize <= qvf::maxCompressedBytes(picture);
    case qvf::RECORD_AUDIO:
      return r.payloadSize % qvf::kAudioBlockBytes == 0 && r.payloadSize <= 176400 * 2;
    case qvf::RECORD_AUDIO_TRACK:
      return r.payloadSize >= qvf::kAudioTrackNumberSize &&
             (r.payloadSize - qvf::kAudioTrackNumberSize) % qvf::kAudioBlockBytes == 0 &&
             r.payloadSize <= qvf::kAudioTrackNumberSize + 192000 * 2;
    case qvf::RECORD_PROVENANCE:
      // The streaming writer's closing copy is the last record of a file that ended normally.
      return r.payloadSize >= qvf::kProvenancePreambleSize && r.payloadSize <= kMaxProvenanceBytes;
    case qvf::RECORD_INDEX:
      // The last record of a finished file; cut inside it, the records before it are whole.
      return r.payloadSize != 0 && r.payloadSize <= kMaxIndexBytes;
    default:
      return false;
  }
}

// Whether every byte from offset to end is zero (a read error counts as not).
bool onlyZerosFrom(FILE* f, uint64_t offset, uint64_t end) {
  if (qvtools::seek64(f, static_cast<int64_t>(offset), SEEK_SET) != 0) return false;
  std::vector<uint8_t> block(1 << 20);
  while (offset < end) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(block.size(), end - offset));
    if (std::fread(block.data(), 1, want, f) != want) return false;
    if (std::any_of(block.begin(), block.begin() + want, [](uint8_t b) { return b != 0; })) {
      return false;
    }
    offset += want;
  }
  return true;
}

}  // namespace

bool parseProvenance(const uint8_t* payload, size_t size, Provenance* out) {
  if (size < qvf::kProvenancePreambleSize || le(payload, 4) != qvf::kProvenanceVersion) {
    return false;
  }
  Provenance p;
  p.present = true;
  const uint64_t fields = le(payload + 4, 4);
  size_t at = qvf::kProvenancePreambleSize;
  for (uint64_t n = 0; n < fields && size - at >= qvf::kProvenanceFieldHeaderSize; ++n) {
    const uint32_t tag = static_cast<uint32_t>(le(payload + at, 4));
    const uint64_t length = le(payload + at + 4, 4);
    at += qvf::kProvenanceFieldHeaderSize;
    if (length > size - at) break;
    const uint8_t* f = payload + at;
    const std::string text(reinterpret_cast<const char*>(f), static_cast<size_t>(length));
    switch (tag) {
      case qvf::PROVENANCE_COLOR_MATRIX:
        if (length >= 4) p.colorMatrix = static_cast<uint32_t>(le(f, 4));
        break;
      case qvf::PROVENANCE_COLOR_RANGE:
        if (length >= 4) p.colorRange = le(f, 4) != 0 ? 1 : 0;
        break;
      case qvf::PROVENANCE_CAPTURE_SIZE:
        if (length >= 8) {
          p.captureWidth = static_cast<uint32_t>(le(f, 4));
          p.captureHeight = static_cast<uint32_t>(le(f + 4, 4));
        }
        break;
      case qvf::PROVENANCE_OUTPUT_SIZE:
        if (length >= 8) {
          p.outputWidth = static_cast<uint32_t>(le(f, 4));
          p.outputHeight = static_cast<uint32_t>(le(f + 4, 4));
        }
        break;
      case qvf::PROVENANCE_WINDOW_TITLE:
        p.windowTitle = text;
        break;
      case qvf::PROVENANCE_PROCESS_NAME:
        p.processName = text;
        break;
      case qvf::PROVENANCE_START_TIME:
        if (length >= 8) {
          p.hasStartTime = true;
          p.startTimeUtcMs = static_cast<int64_t>(le(f, 8));
        }
        break;
      case qvf::PROVENANCE_SOUND_SOURCE:
        p.soundSource = text;
        break;
      case qvf::PROVENANCE_LIBRARY_VERSION:
        p.libraryVersion = text;
        break;
      case qvf::PROVENANCE_SCREEN_PATH:
        p.screenPath = text;
        break;
      case qvf::PROVENANCE_CAPTURE_METHOD:
        p.captureMethod = text;
        break;
      case qvf::PROVENANCE_UNCHANGED_AS_REPEATS:
        if (length >= 4) p.unchangedAsRepeats = le(f, 4) != 0 ? 1 : 0;
        break;
      case qvf::PROVENANCE_PAUSES:
        if (length >= 4) {
          const uint64_t count =
              std::min<uint64_t>(le(f, 4), (length - 4) / qvf::kProvenancePauseSize);
          for (uint64_t k = 0; k < count; ++k) {
            const uint8_t* q = f + 4 + k * qvf::kProvenancePauseSize;
            p.pauses.emplace_back(le(q, 8), le(q + 8, 8));
          }
        }
        break;
      case qvf::PROVENANCE_SOUND_TRACKS:
        if (length >= 4) {
          const uint64_t count = le(f, 4);
          uint64_t t = 4;
          for (uint64_t k = 0; k < count && length - t >= 12; ++k) {
            Provenance::Track track;
            track.number = static_cast<uint32_t>(le(f + t, 4));
            track.source = static_cast<uint32_t>(le(f + t + 4, 4));
            const uint64_t nameLength = le(f + t + 8, 4);
            t += 12;
            if (nameLength > length - t) break;
            track.device.assign(reinterpret_cast<const char*>(f + t),
                                static_cast<size_t>(nameLength));
            t += nameLength;
            p.tracks.push_back(track);
          }
        }
        break;
      default:
        break;
    }
    at += static_cast<size_t>(length);
  }
  *out = p;
  return true;
}

namespace {

// An index record read whole, checked against the file; f stands at its payload.
ContainerWalk::Index checkIndex(std::FILE* f, uint64_t offset, const qvf::RecordHeader& r,
                                ContainerWalk* walk) {
  constexpr uint64_t kMaxIndexBytes = uint64_t{1} << 30;
  if (offset + qvf::kRecordHeaderSize + r.payloadSize != walk->fileBytes) {
    return ContainerWalk::Index::kStale;
  }
  if (r.payloadSize > kMaxIndexBytes) return ContainerWalk::Index::kDamaged;
  std::vector<uint8_t> record(static_cast<size_t>(qvf::kRecordHeaderSize + r.payloadSize));
  std::memcpy(record.data(), &r, sizeof r);
  if (std::fread(record.data() + sizeof r, 1, static_cast<size_t>(r.payloadSize), f) !=
      r.payloadSize) {
    return ContainerWalk::Index::kDamaged;
  }
  uint64_t listed = 0;
  const bool sound =
      qvf::decodeIndex(record.data(), record.size(), offset, walk->fileBytes,
                       walk->header.headerSize, [&](const qvf::IndexedRecord&) { ++listed; });
  walk->indexedRecords = sound ? listed : 0;
  return sound ? ContainerWalk::Index::kSound : ContainerWalk::Index::kDamaged;
}

}  // namespace

bool walkContainer(const std::string& path, ContainerWalk* walk) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    walk->problems.push_back("cannot open: " + qvtools::lastErrorText());
    return false;
  }
  const int64_t size = qvtools::fileSize(path);
  walk->fileBytes = size > 0 ? static_cast<uint64_t>(size) : 0;

  if (std::fread(&walk->header, sizeof(walk->header), 1, f) != 1) {
    walk->problems.push_back("shorter than the 64-byte file header (" + u64(walk->fileBytes) +
                             " bytes)");
    std::fclose(f);
    return true;
  }
  walk->headerRead = true;
  const qvf::FileHeader& h = walk->header;
  if (h.headerSize != qvf::kFileHeaderSize) {
    walk->problems.push_back("file header size is " + u64(h.headerSize) + ", not 64");
  }
  if (std::memcmp(h.codecTag, qvf::kCodecTagSnappy, 8) != 0) {
    walk->problems.push_back("codec tag is not \"Snappy  \"");
  }
  if (h.frameRate == 0) walk->problems.push_back("frame rate is 0");
  if (h.width == 0 || h.height == 0) walk->problems.push_back("picture size is 0");
  if (h.width % 2 != 0) walk->problems.push_back("picture width " + u64(h.width) + " is odd");
  if (!walk->problems.empty()) {
    std::fclose(f);
    return true;
  }

  uint64_t offset = h.headerSize;
  bool sawVideo = false;
  uint64_t repeatRun = 0;
  while (offset < walk->fileBytes) {
    qvf::RecordHeader r{};
    if (qvtools::seek64(f, static_cast<int64_t>(offset), SEEK_SET) != 0 ||
        std::fread(&r, sizeof(r), 1, f) != 1) {
      // Fewer bytes than a record header: the writer was cut off here.
      walk->endsEarly = true;
      walk->endsInZeros = onlyZerosFrom(f, offset, walk->fileBytes);
      walk->tornOffset = offset;
      break;
    }
    if (r.headerSize == 0 && onlyZerosFrom(f, offset, walk->fileBytes)) {
      walk->endsEarly = walk->endsInZeros = true;
      walk->tornOffset = offset;
      break;
    }
    if (r.headerSize != qvf::kRecordHeaderSize) {
      walk->problems.push_back("record at byte " + u64(offset) + " has header size " +
                               u64(r.headerSize) + ", not 24; the rest cannot be read");
      break;
    }
    const uint64_t payloadStart = offset + r.headerSize;
    if (r.payloadSize > walk->fileBytes - payloadStart && plausibleTornRecord(r, h)) {
      walk->endsEarly = true;
      walk->tornOffset = offset;
      break;
    }
    if (r.payloadSize > walk->fileBytes - payloadStart) {
      walk->problems.push_back("record at byte " + u64(offset) + " claims " + u64(r.payloadSize) +
                               " payload bytes, only " + u64(walk->fileBytes - payloadStart) +
                               " remain (truncated file)");
      break;
    }
    switch (qvf::isAudioTrackRecord(r.type) ? qvf::RECORD_AUDIO_TRACK : r.type) {
      case qvf::RECORD_KEY:
      case qvf::RECORD_DELTA:
      case qvf::RECORD_REPEAT:
        if (!sawVideo && r.type != qvf::RECORD_KEY) {
          walk->problems.push_back("the first video record is not a key record");
        }
        sawVideo = true;
        walk->videoTypes.push_back(static_cast<uint8_t>(r.type));
        walk->videoPayload.push_back(r.payloadSize);
        if (r.type == qvf::RECORD_KEY) {
          ++walk->keyCount;
          walk->keyBytes += r.payloadSize;
        } else if (r.type == qvf::RECORD_DELTA) {
          ++walk->deltaCount;
          walk->deltaBytes += r.payloadSize;
        } else {
          ++walk->repeatCount;
          walk->longestRepeatRun = std::max(walk->longestRepeatRun, ++repeatRun);
          if (r.payloadSize != 0) {
            walk->problems.push_back("repeat record at byte " + u64(offset) + " has a payload");
          }
        }
        if (r.type != qvf::RECORD_REPEAT) repeatRun = 0;
        if ((r.type == qvf::RECORD_KEY || r.type == qvf::RECORD_DELTA) && r.payloadSize == 0) {
          walk->problems.push_back("picture record at byte " + u64(offset) + " is empty");
        }
        break;
      case qvf::RECORD_AUDIO:
        ++walk->audioRecords;
        walk->audioBytes += r.payloadSize;
        walk->audioChunks.emplace_back(payloadStart, r.payloadSize);
        if (r.payloadSize % qvf::kAudioBlockBytes != 0) {
          walk->problems.push_back("audio record at byte " + u64(offset) + " holds " +
                                   u64(r.payloadSize) + " bytes, not whole sample frames");
        }
        break;
      case qvf::RECORD_AUDIO_TRACK: {
        uint8_t number[qvf::kAudioTrackNumberSize];
        if (r.payloadSize < sizeof number ||
            std::fread(number, 1, sizeof number, f) != sizeof number) {
          walk->problems.push_back("sound track record at byte " + u64(offset) +
                                   " is too short for its track number");
          break;
        }
        const uint64_t track = r.type - qvf::RECORD_AUDIO_TRACK;
        const uint64_t samples = r.payloadSize - sizeof number;
        if (le(number, 8) != track) {
          walk->problems.push_back("sound track record at byte " + u64(offset) + " of track " +
                                   u64(track) + " names track " + u64(le(number, 8)));
          break;
        }
        auto it = std::lower_bound(
            walk->tracks.begin(), walk->tracks.end(), track,
            [](const ContainerWalk::AudioTrack& t, uint64_t value) { return t.number < value; });
        if (it == walk->tracks.end() || it->number != track) {
          ContainerWalk::AudioTrack added;
          added.number = track;
          it = walk->tracks.insert(it, added);
        }
        ++it->records;
        it->bytes += samples;
        it->chunks.emplace_back(payloadStart + sizeof number, samples);
        if (samples % qvf::kAudioBlockBytes != 0) {
          walk->problems.push_back("sound track record at byte " + u64(offset) + " holds " +
                                   u64(samples) + " bytes, not whole sample frames");
        }
        break;
      }
      case qvf::RECORD_PROVENANCE: {
        std::vector<uint8_t> payload(
            static_cast<size_t>(std::min<uint64_t>(r.payloadSize, kMaxProvenanceBytes)));
        if (std::fread(payload.data(), 1, payload.size(), f) != payload.size()) {
          walk->problems.push_back("the record of how the file was made at byte " + u64(offset) +
                                   " cannot be read");
        } else if (!parseProvenance(payload.data(), payload.size(), &walk->provenance)) {
          ++walk->unknownRecords;  // a later version of it: skipped like any unknown record
        }
        break;
      }
      case qvf::RECORD_INDEX:
        walk->indexOffset = offset;
        walk->index = checkIndex(f, offset, r, walk);
        break;
      default:
        ++walk->unknownRecords;
        break;
    }
    if (r.type != qvf::RECORD_INDEX && walk->index != ContainerWalk::Index::kNone) {
      walk->index = ContainerWalk::Index::kStale;
    }
    walk->records.add(r.type, r.payloadSize);
    ++walk->wholeRecords;
    offset = payloadStart + r.payloadSize;
  }
  walk->completeBytes = walk->endsEarly ? walk->tornOffset : walk->fileBytes;
  std::fclose(f);
  return true;
}

void checkKeyFramePlacement(ContainerWalk* walk) {
  const uint64_t rate = walk->header.frameRate;
  if (rate == 0) return;
  const std::string rule =
      "every " + std::to_string(rate) + "th captured picture must be a key record and only those";
  bool seenKey = false;
  uint64_t deltas = 0, repeats = 0;
  for (size_t slot = 0; slot < walk->videoTypes.size(); ++slot) {
    const uint8_t type = walk->videoTypes[slot];
    if (type == qvf::RECORD_REPEAT) {
      ++repeats;
    } else if (type == qvf::RECORD_DELTA) {
      ++deltas;
      if (!seenKey || deltas > rate - 1) {
        walk->problems.push_back("frame " + std::to_string(slot) + " is a delta record " +
                                 (seenKey ? "where a key record is due" : "before any key record") +
                                 "; " + rule);
        return;
      }
    } else {
      if (seenKey && deltas + repeats < rate - 1) {
        walk->problems.push_back("frame " + std::to_string(slot) + " is a key record only " +
                                 std::to_string(deltas + repeats) +
                                 " frames after the one before; " + rule);
        return;
      }
      seenKey = true;
      deltas = repeats = 0;
    }
  }
}

}  // namespace qvf_tool
