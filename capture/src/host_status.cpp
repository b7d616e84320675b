// What a host shows while recording, beyond the progress value.
#include "host_status.h"

#include <algorithm>
#include <cstring>

#include "capture_state.h"
#include "direct_sound_capture.h"
#include "frame_stages.h"
#include "pause.h"
#include "quorvane_capture.h"

namespace quorvane_capture {

SlotCounter slotCounter;

void SlotCounter::add(int64_t timeStamp, int64_t frameRate) {
  if (frames == 0) rule_ = SlotRule(frameRate);
  const auto run = static_cast<int64_t>(rule_.place(timeStamp));
  repeats += run;
  longestRun = std::max(longestRun, run);
  ++frames;
}

}  // namespace quorvane_capture

using namespace quorvane_capture;

extern "C" {

QV_EXPORT int64_t getCapturedFrameCount(void) {
  if (!isInitialized()) return 0;
  platform::MutexLock lock(hMutex_frameList_Add);
  return static_cast<int64_t>(frameList.size());
}

QV_EXPORT int32_t getRecordingStats(RecordingStats* stats) {
  if (stats == nullptr) return QV_STATS_NONE;
  std::memset(stats, 0, sizeof(*stats));
  if (!isInitialized()) return QV_STATS_NONE;
  {
    platform::MutexLock lock(hMutex_frameList_Add);
    // The counter may still hold an earlier recording until this one's first frame.
    if (!frameList.empty()) {
      stats->capturedFrames = slotCounter.frames;
      stats->repeatRecords = slotCounter.repeats;
      stats->longestRepeatRun = slotCounter.longestRun;
      stats->videoRecords = slotCounter.frames + slotCounter.repeats;
    }
  }
  stats->unchangedFrames = static_cast<int64_t>(unchangedFrameCount());
  if (dsc != nullptr) stats->soundSamples = static_cast<int64_t>(dsc->liveSoundBytes() / 4);
  double pausedMs = 0.0;
  bool pausedNow = false;
  pauseTotals(&stats->pauseCount, &pausedMs, &pausedNow);
  stats->pausedMilliseconds = static_cast<int64_t>(pausedMs);
  stats->paused = pausedNow ? 1 : 0;
  return QV_STATS_FILLED;
}

QV_EXPORT int64_t getUnchangedFrameCount(void) {
  if (!isInitialized()) return 0;
  return static_cast<int64_t>(unchangedFrameCount());
}

}  // extern "C"
