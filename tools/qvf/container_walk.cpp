#include "container_walk.h"

#include <cstdio>
#include <cstring>

#include "console.h"

namespace qvf_tool {

namespace {

std::string u64(uint64_t v) { return std::to_string(v); }

// Whether a record whose payload runs past the end of the file looks like one the writer was
// cut off in (a type it writes, a size it could have written) rather than a damaged header.
bool plausibleTornRecord(const qvf::RecordHeader& r, const qvf::FileHeader& h) {
  const uint64_t picture = qvf::pictureBytes(h.width, h.height);
  switch (r.type) {
    case qvf::RECORD_KEY:
    case qvf::RECORD_DELTA:
      return r.payloadSize != 0 && r.payloadSize <= qvf::maxCompressedBytes(picture);
    case qvf::RECORD_AUDIO:
      return r.payloadSize % qvf::kAudioBlockBytes == 0 && r.payloadSize <= 176400 * 2;
    default:
      return false;
  }
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
  while (offset < walk->fileBytes) {
    qvf::RecordHeader r{};
    if (qvtools::seek64(f, static_cast<int64_t>(offset), SEEK_SET) != 0 ||
        std::fread(&r, sizeof(r), 1, f) != 1) {
      // Fewer bytes than a record header: the writer was cut off here.
      walk->endsEarly = true;
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
    switch (r.type) {
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
          if (r.payloadSize != 0) {
            walk->problems.push_back("repeat record at byte " + u64(offset) + " has a payload");
          }
        }
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
      default:
        ++walk->unknownRecords;
        break;
    }
    offset = payloadStart + r.payloadSize;
  }
  walk->completeBytes = walk->endsEarly ? walk->tornOffset : walk->fileBytes;
  std::fclose(f);
  return true;
}

void checkKeyFramePlacement(ContainerWalk* walk) {
  const uint64_t rate = walk->header.frameRate;
  if (rate == 0) return;
  uint64_t captured = 0;
  for (size_t slot = 0; slot < walk->videoTypes.size(); ++slot) {
    const uint8_t type = walk->videoTypes[slot];
    if (type == qvf::RECORD_REPEAT) continue;
    const bool shouldBeKey = captured % rate == 0;
    if (shouldBeKey != (type == qvf::RECORD_KEY)) {
      walk->problems.push_back(
          "frame " + std::to_string(slot) + " (captured picture " + std::to_string(captured) +
          ") is a " + (type == qvf::RECORD_KEY ? "key" : "delta") + " record; every " +
          std::to_string(rate) + "th captured picture must be a key record and only those");
      return;
    }
    ++captured;
  }
}

}  // namespace qvf_tool
