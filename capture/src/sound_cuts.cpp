#include "sound_cuts.h"

#include <algorithm>
#include <cstring>

namespace quorvane_capture {

SoundCuts::SoundCuts() : mutex_(platform::createMutex()) {}

SoundCuts::~SoundCuts() { platform::closeMutex(mutex_); }

uint64_t SoundCuts::streamPosition(uint32_t devicePosition, uint32_t ringBytes,
                                   uint32_t blockAlign) const {
  uint64_t at = streamBytes_;
  if (ringBytes != 0) at += (devicePosition + ringBytes - ringOffset_ % ringBytes) % ringBytes;
  if (blockAlign > 1) at -= at % blockAlign;
  return std::max(at, streamBytes_);
}

uint64_t SoundCuts::pendingKept(uint32_t devicePosition, uint32_t ringBytes,
                                uint32_t blockAlign) const {
  const uint64_t at = streamPosition(devicePosition, ringBytes, blockAlign);
  return at - streamBytes_ - cutBytes(streamBytes_, at);
}

void SoundCuts::mark(bool pausing, uint32_t devicePosition, uint32_t ringBytes,
                     uint32_t blockAlign) {
  const uint64_t at = streamPosition(devicePosition, ringBytes, blockAlign);
  if (pausing) {
    cuts_.emplace_back(at, UINT64_MAX);
  } else if (!cuts_.empty() && cuts_.back().second == UINT64_MAX) {
    cuts_.back().second = std::max(at, cuts_.back().first);
  }
}

uint64_t SoundCuts::cutBytes(uint64_t begin, uint64_t end) const {
  uint64_t bytes = 0;
  for (const auto& cut : cuts_) {
    const uint64_t b = std::max(begin, cut.first), e = std::min(end, cut.second);
    if (b < e) bytes += e - b;
  }
  return bytes;
}

void SoundCuts::cutOut(POINTER_AND_SIZE pieces[2], MyMemoryAllocator* pool) const {
  uint64_t position = streamBytes_;
  for (int k = 0; k < 2; ++k) {
    POINTER_AND_SIZE& piece = pieces[k];
    const uint64_t begin = position, end = position + piece.size;
    position = end;
    if (piece.pointer == nullptr || cutBytes(begin, end) == 0) continue;
    // Keeps what lies outside every cut, moved together to the front of the piece. Cuts are
    // in ascending order and do not overlap.
    uint64_t kept = 0, from = begin;
    for (const auto& cut : cuts_) {
      if (cut.second <= from || cut.first >= end) continue;
      const uint64_t keepEnd = std::max(from, cut.first);
      std::memmove(piece.pointer + kept, piece.pointer + (from - begin), keepEnd - from);
      kept += keepEnd - from;
      from = std::min(end, cut.second);
    }
    std::memmove(piece.pointer + kept, piece.pointer + (from - begin), end - from);
    kept += end - from;
    if (kept == 0) {
      pool->release(piece.pointer);
      piece.pointer = nullptr;
    } else {
      pool->shrink(piece.pointer, kept);
    }
    piece.size = kept;
  }
}

void SoundCuts::advance(uint32_t taken, uint32_t ringOffset) {
  streamBytes_ += taken;
  ringOffset_ = ringOffset;
}

}  // namespace quorvane_capture
