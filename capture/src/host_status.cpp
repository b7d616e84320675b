// What a host shows while recording, beyond the progress value.
#include "capture_state.h"
#include "frame_stages.h"
#include "quorvane_capture.h"

using namespace quorvane_capture;

extern "C" {

QV_EXPORT int64_t getCapturedFrameCount(void) {
  if (!isInitialized()) return 0;
  platform::MutexLock lock(hMutex_frameList_Add);
  return static_cast<int64_t>(frameList.size());
}

QV_EXPORT int64_t getUnchangedFrameCount(void) {
  if (!isInitialized()) return 0;
  return static_cast<int64_t>(unchangedFrameCount());
}

}  // extern "C"
