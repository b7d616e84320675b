// The frame record and the list shared by the video threads.
//
// Protocol: the capture thread appends under hMutex_frameList_Add; consumers read the count
// under hMutex_frameList_Add and read or change records under hMutex_frameList_Change. Records
// live in fixed chunks that never move, so an append never disturbs a record another thread is
// working on, and an index below a count read under the mutex stays valid.
#ifndef QUORVANE_FRAME_LIST_H
#define QUORVANE_FRAME_LIST_H

#include <cstddef>
#include <cstdint>

namespace quorvane_capture {

enum FrameStatus : int64_t {
  FRAME_CAPTURED = 1,   // buffer: RGB32 picture at capture size
  FRAME_ENCODED = 2,    // buffer: YUY2 picture at output size
  FRAME_KEY = 4,        // compressed whole picture
  FRAME_DELTA = 5,      // compressed difference against the previous frame
  FRAME_UNCHANGED = 6,  // the previous frame's picture again: a repeat record, nothing stored
};

struct frame {
  int64_t
      timeStamp;  // capture time in milliseconds of the frame clock (from the recording's set-up)
  uint8_t* buffer;
  uint8_t* compressedBuffer;
  uint64_t compressedSize;
  int64_t status;
};

class FrameList {
 public:
  static constexpr size_t kChunkShift = 10;
  static constexpr size_t kChunkRecords = size_t{1} << kChunkShift;
  static constexpr size_t kMaxChunks = 16384;  // 16.7 million frames: 77 hours at 60 fps

  FrameList();
  ~FrameList();
  FrameList(const FrameList&) = delete;
  FrameList& operator=(const FrameList&) = delete;

  // False when the list is full or no memory is left for a new chunk.
  bool push_back(const frame& record);
  size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  frame& operator[](size_t index) {
    return chunks_[index >> kChunkShift][index & (kChunkRecords - 1)];
  }
  const frame& operator[](size_t index) const {
    return chunks_[index >> kChunkShift][index & (kChunkRecords - 1)];
  }
  // Empties the list; the chunks stay for the next recording.
  void clear() { count_ = 0; }

 private:
  frame* chunks_[kMaxChunks];
  size_t chunkCount_;
  size_t count_;
};

}  // namespace quorvane_capture

#endif
