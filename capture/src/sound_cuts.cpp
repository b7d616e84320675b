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

uint64_t SoundCuts::afterTransfer(std::vector<POINTER_AND_SIZE>* chunks, size_t first,
                                  uint32_t taken, uint32_t ringOffset, MyMemoryAllocator* pool) {
  uint64_t position = streamBytes_;
  streamBytes_ += taken;
  ringOffset_ = ringOffset;
  if (cuts_.empty() || cutBytes(position, streamBytes_) == 0) return 0;

  uint64_t removed = 0;
  size_t kept = first;
  for (size_t i = first; i < chunks->size(); ++i) {
    POINTER_AND_SIZE chunk = (*chunks)[i];
    const uint64_t begin = position, end = position + chunk.size;
    position = end;
    // Keeps what lies outside every cut, moved together to the front of the chunk. Cuts are
    // in ascending order and do not overlap.
    uint64_t write = 0, from = begin;
    for (const auto& cut : cuts_) {
      if (cut.second <= from || cut.first >= end) continue;
      const uint64_t keepEnd = std::max(from, cut.first);
      if (keepEnd > from) {
        std::memmove(chunk.pointer + write, chunk.pointer + (from - begin), keepEnd - from);
        write += keepEnd - from;
      }
      from = std::min(end, cut.second);
    }
    if (from < end) {
      std::memmove(chunk.pointer + write, chunk.pointer + (from - begin), end - from);
      write += end - from;
    }
    removed += chunk.size - write;
    if (write == 0) {
      pool->release(chunk.pointer);
      continue;
    }
    if (write < chunk.size) pool->shrink(chunk.pointer, write);
    chunk.size = write;
    (*chunks)[kept++] = chunk;
  }
  chunks->resize(kept);
  return removed;
}

}  // namespace quorvane_capture
