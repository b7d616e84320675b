#include "frame_list.h"

#include <new>

namespace quorvane_capture {

FrameList::FrameList() : chunks_{}, chunkCount_(0), count_(0) {}

FrameList::~FrameList() {
  for (size_t i = 0; i < chunkCount_; ++i) delete[] chunks_[i];
}

bool FrameList::push_back(const frame& record) {
  const size_t chunk = count_ >> kChunkShift;
  if (chunk >= kMaxChunks) return false;
  if (chunk == chunkCount_) {
    chunks_[chunk] = new (std::nothrow) frame[kChunkRecords];
    if (chunks_[chunk] == nullptr) return false;
    ++chunkCount_;
  }
  (*this)[count_] = record;
  ++count_;
  return true;
}

}  // namespace quorvane_capture
