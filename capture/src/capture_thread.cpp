// The capture thread: grabs the recorded rectangle at the frame rate into pool memory and
// appends one frame per picture.
#include "capture_state.h"
#include "clicks.h"
#include "host_status.h"
#include "pause.h"
#include "pipeline.h"
#include "provenance.h"
#include "quorvane_capture.h"

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

// Failed grabs in a row that end the recording: one may be a window caught while it moves.
constexpr int kLostGrabs = 5;
// How often the target is asked whether it is minimised (a minimised window still grabs, as
// whatever the screen shows there) and its picture looked at for black.
constexpr double kLookEveryMilliseconds = 250.0;
// A window whose picture stays entirely black this long is drawn where the grab cannot see it.
constexpr double kBlackMilliseconds = 2000.0;

bool entirelyBlack(const uint8_t* pixels, uint64_t pixelCount) {
  for (uint64_t i = 0; i < pixelCount; ++i) {
    const uint8_t* p = pixels + i * 4;
    if ((p[0] | p[1] | p[2]) != 0) return false;
  }
  return true;
}

// What the capture thread learns of its target: a run of failed grabs ends the recording with
// its reason, and a window whose pictures stay black raises a warning (the recording goes on).
class TargetWatch {
 public:
  TargetWatch(platform::WindowHandle window, uint64_t pixelCount)
      : window_(window), isWindow_(window != platform::desktopWindow()), pixelCount_(pixelCount) {}

  // Before a grab: false when the target has no picture now (minimised).
  bool grabbable(double now) {
    if (!isWindow_) return true;
    if (now - lastLook_ >= kLookEveryMilliseconds || minimised_) {
      lastLook_ = now;
      minimised_ = platform::isWindowMinimised(window_);
    }
    return !minimised_;
  }

  // After each grab attempt: the status that ends the recording, or QV_STATUS_OK.
  int32_t grabbed(bool ok, const uint8_t* pixels, double now) {
    if (!ok) {
      if (++failedInARow_ < kLostGrabs) return QV_STATUS_OK;
      if (minimised_) return QV_STATUS_TARGET_MINIMISED;
      platform::Rect rect{};
      if (platform::getWindowRect(window_, &rect)) return QV_STATUS_GRAB_FAILED;
      return isWindow_ ? QV_STATUS_TARGET_LOST : QV_STATUS_SCREEN_ENDED;
    }
    failedInARow_ = 0;
    if (isWindow_ && !warned_ && now - lastBlackLook_ >= kLookEveryMilliseconds) {
      lastBlackLook_ = now;
      if (!entirelyBlack(pixels, pixelCount_)) {
        blackSince_ = -1.0;
      } else if (blackSince_ < 0.0) {
        blackSince_ = now;
      } else if (now - blackSince_ >= kBlackMilliseconds) {
        raiseRecordingWarning(QV_WARNING_BLACK_PICTURE);
        warned_ = true;
      }
    }
    return QV_STATUS_OK;
  }

 private:
  platform::WindowHandle window_;
  bool isWindow_;
  uint64_t pixelCount_;
  int failedInARow_ = 0;
  bool minimised_ = false;
  double lastLook_ = -kLookEveryMilliseconds;
  double lastBlackLook_ = -kLookEveryMilliseconds;
  double blackSince_ = -1.0;
  bool warned_ = false;
};

}  // namespace

void noteGrabMethod(double frameClock) {
  CaptureSettingInternal& c = captureSettingInternal;
  switch (c.grabber.method()) {
    case platform::ScreenGrabber::Method::kDuplication:
      c.grabMethod = QV_GRAB_DUPLICATION;
      break;
    case platform::ScreenGrabber::Method::kScreen:
      c.grabMethod = QV_GRAB_SCREEN;
      break;
    default:
      c.grabMethod = QV_GRAB_WINDOW;
      break;
  }
  const int32_t failure = c.grabber.duplicationFailure();
  if (failure == 0 || c.duplicationFailure.load() != 0) return;
  c.duplicationFailedCall = c.grabber.duplicationFailedCall();
  c.duplicationFellBackAt = frameClock;
  c.duplicationFailure = failure;
  raiseRecordingWarning(QV_WARNING_GDI_FALLBACK);
}

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
  TargetWatch target(s.targetWindow, frameBytes / 4);

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
      stopRecording(QV_STATUS_POOL_FULL);
      break;
    }
    // A failed grab leaves the last picture in place: it stands for its slot.
    const bool grabbed =
        target.grabbable(now) && captureSettingInternal.grabber.grab(sourceX, sourceY);
    noteGrabMethod(now);
    const int32_t lost = target.grabbed(grabbed, captureSettingInternal.pixels, now);
    if (lost != QV_STATUS_OK) {
      mma->release(range);
      stopRecording(lost);
      break;
    }
    memcpy_sse2(range, captureSettingInternal.pixels, static_cast<int64_t>(frameBytes));

    now = frameClockMilliseconds(&paused);
    if (paused) {
      // Paused during the grab: the picture belongs to the pause.
      mma->release(range);
      continue;
    }
    pollClicks(now);
    markClicks(range, now);
    const frame record{static_cast<int64_t>(now), range, nullptr, 0, FRAME_CAPTURED};
    due += interval;
    if (!appendFrame(record)) {
      // The list itself is full: the same as a full pool, the recording ends here.
      mma->release(range);
      stopRecording(QV_STATUS_POOL_FULL);
      break;
    }
    ++appended;
    clicksFramed(record.timeStamp);

    while (due > (now - origin) + 1.0 && !paused) {
      platform::sleepMilliseconds(kPaceSleepMilliseconds);
      now = frameClockMilliseconds(&paused);
      pollClicks(now);
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
