// What a host shows while recording: the counts behind getRecordingStats, kept by the capture
// thread as it appends frames.
#ifndef QUORVANE_HOST_STATUS_H
#define QUORVANE_HOST_STATUS_H

#include <cstdint>

#include "slot_rule.h"

namespace quorvane_capture {

// The live counts of the file's slots, placed by the writers' own rule.
class SlotCounter {
 public:
  // Call with every frame's time stamp in list order; the first call starts a recording.
  void add(int64_t timeStamp, int64_t frameRate);
  void reset() { *this = SlotCounter(); }
  int64_t frames = 0;
  int64_t repeats = 0;
  int64_t longestRun = 0;

 private:
  SlotRule rule_{1};
};

// Under hMutex_frameList_Add, with the frame appended.
extern SlotCounter slotCounter;

}  // namespace quorvane_capture

#endif
