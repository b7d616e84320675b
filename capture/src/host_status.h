// What a host shows while recording: the counts behind getRecordingStats, kept by the capture
// thread as it appends frames.
#ifndef QUORVANE_HOST_STATUS_H
#define QUORVANE_HOST_STATUS_H

#include <cstdint>

namespace quorvane_capture {

// Places frames on the file's slots exactly as the output thread will, so the live counts of
// repeat records match the file written afterwards.
class SlotCounter {
 public:
  // Call with every frame's time stamp in list order; the first call starts a recording.
  void add(int32_t timeStamp, int64_t frameRate);
  void reset() { *this = SlotCounter(); }
  int64_t frames = 0;
  int64_t repeats = 0;
  int64_t longestRun = 0;

 private:
  double slotStart_ = 0.0;
};

// Under hMutex_frameList_Add, with the frame appended.
extern SlotCounter slotCounter;

}  // namespace quorvane_capture

#endif
