// The capture thread: grabs the recorded rectangle at the frame rate into pool memory and
// appends one frame per picture.
#include "capture_state.h"
#include "host_status.h"
#include "pause.h"
#include "pipeline.h"
#include "provenance.h"
#include "quorvane_capture.h"
#include "stream_output.h"

namespace quorvane_capture {
namespace {

// Appends under the list's length mutex. False when the list cannot take another record.
bool appendFrame(const frame& record) {
  bool appended;
  {
    platform::MutexLock lock(hMutex_frameList_Add);
    if (frameList.empty()) slotCounter.reset();
    appended = frameList.push_back(record);
    if (appended) slotCounter.add(record.timeStamp, captureSetting.frameRate);
  }
  if (appended) platform::notifySignal(frameListSignal);
  return appended;
}

}  // namespace
}  // namespace quorvane_capture

using namespace quorvane_capture;

extern "C" {

QV_EXPORT qv_thread_result CaptureThread(void* /*parameter*/) {
  if (!isInitialized()) return 0;
  const RecordingThreadScope running;
  // A 1 ms timer resolution makes each pacing sleep last about its 2 ms instead of a whole
  // system tick (15.6 ms by default on Windows), which would wreck rates above 30 fps.
  platform::timeBeginPeriod(kTimerPeriod);
  // The encode and compress threads may keep every processor busy: a grab must not wait for
  // them, or the file gets repeat records for slots the machine could have filled.
  platform::setCurrentThreadPriority(platform::ThreadPriority::kPaced);
  setProgress(0.0);

  const CaptureSetting& s = captureSetting;
  const uint64_t frameBytes =
      static_cast<uint64_t>(s.captureWidth) * static_cast<uint64_t>(s.captureHeight) * 4;
  const double interval = 1000.0 / static_cast<double>(s.frameRate);
  const double scale = mma->totalSize != 0 ? 1.0 / static_cast<double>(mma->totalSize) : 0.0;
  const int32_t sourceX = static_cast<int32_t>(s.sourceX);
  const int32_t sourceY = static_cast<int32_t>(s.sourceY);
  // Pacing and time stamps follow the frame clock, which stands still while paused: a pause
  // leaves no gap for repeat records to fill.
  double due = 0.0;
  double origin = frameClockMilliseconds();
  bool resumed = false;
  uint64_t appended = 0;
  noteRecordingStart();

  for (;;) {
    if (getTerminated()) break;
    bool paused = false;
    double now = frameClockMilliseconds(&paused);
    if (paused) {
      platform::sleepMilliseconds(kPaceSleepMilliseconds);
      resumed = true;
      continue;
    }
    // The first picture after a pause is taken at once, and the rhythm goes on from it.
    if (resumed) due = now - origin;
    resumed = false;

    uint8_t* range = mma->allocateFromTop(frameBytes);
    if (range == nullptr) {
      reportRecordingStatus(QV_STATUS_POOL_FULL);
      setTerminated(1);
      break;
    }
    captureSettingInternal.grabber.grab(sourceX, sourceY);
    memcpy_sse2(range, captureSettingInternal.pixels, static_cast<int64_t>(frameBytes));

    now = frameClockMilliseconds(&paused);
    if (paused) {
      // Paused during the grab: the picture belongs to the pause.
      mma->release(range);
      continue;
    }
    const frame record{static_cast<int32_t>(now), range, nullptr, 0, FRAME_CAPTURED};
    due += interval;
    if (!appendFrame(record)) {
      // The list itself is full: the same as a full pool, the recording ends here.
      mma->release(range);
      reportRecordingStatus(QV_STATUS_POOL_FULL);
      setTerminated(1);
      break;
    }
    ++appended;

    while (due > (now - origin) + 1.0 && !paused) {
      platform::sleepMilliseconds(kPaceSleepMilliseconds);
      now = frameClockMilliseconds(&paused);
    }
    // Only the last period of a backlog is made up; older lost time shows as a gap between
    // time stamps, which the output fills with repeat records.
    double lag = (now - origin) - due;
    while (lag > interval) {
      origin += interval;
      lag = (now - origin) - due;
    }

    setProgress(static_cast<double>(mma->getUsedSize()) * scale);
  }

  platform::setCurrentThreadPriority(platform::ThreadPriority::kNormal);
  platform::timeEndPeriod(kTimerPeriod);
  return appended;
}

}  // extern "C"
