// Pause and resume, the frame clock, and the pause hot keys.
#include "pause.h"

#include "capture_state.h"
#include "direct_sound_capture.h"
#include "quorvane_capture.h"

namespace quorvane_capture {
namespace {

// Guards everything below. Taken alone by the capture thread; the host's pause and resume
// take the audio object's cut lock inside it.
platform::Mutex pauseMutex() {
  static const platform::Mutex mutex = platform::createMutex();
  return mutex;
}

bool paused = false;
// The platform clock when the recording was set up: the frame clock counts from it, so time
// stamps stay small however long the process has run.
double epoch = 0.0;
double clockShift = 0.0;   // tests only: the platform clock as if it had run this much longer
double pauseStart = 0.0;   // platform clock when the running pause began
double pausedTotal = 0.0;  // finished pauses, ms
std::vector<PausePoint> finished;

bool pauseKeyHeld = true;  // a key down when polling starts must be released first

double runningPause(double now) { return paused ? now - pauseStart : 0.0; }

double clockNow() { return platform::clockMilliseconds() + clockShift; }

}  // namespace

double frameClockMilliseconds(bool* pausedNow) {
  platform::MutexLock lock(pauseMutex());
  const double now = clockNow();
  if (pausedNow != nullptr) *pausedNow = paused;
  return now - epoch - pausedTotal - runningPause(now);
}

bool isPaused() {
  platform::MutexLock lock(pauseMutex());
  return paused;
}

std::vector<PausePoint> pausePoints() {
  platform::MutexLock lock(pauseMutex());
  std::vector<PausePoint> points = finished;
  if (paused) {
    points.push_back({pauseStart - pausedTotal - epoch, clockNow() - pauseStart, true});
  }
  return points;
}

void pauseTotals(int32_t* count, double* milliseconds, bool* pausedNow) {
  platform::MutexLock lock(pauseMutex());
  *count = static_cast<int32_t>(finished.size()) + (paused ? 1 : 0);
  *milliseconds = pausedTotal + runningPause(clockNow());
  *pausedNow = paused;
}

void resetPauseState() {
  platform::MutexLock lock(pauseMutex());
  paused = false;
  pauseStart = pausedTotal = 0.0;
  finished.clear();
  epoch = clockNow();
}

void shiftClockForTests(double milliseconds) {
  platform::MutexLock lock(pauseMutex());
  clockShift = milliseconds;
}

}  // namespace quorvane_capture

using namespace quorvane_capture;

extern "C" {

QV_EXPORT void setPaused(int32_t pause) {
  if (!isInitialized()) return;
  platform::MutexLock lock(pauseMutex());
  const bool wanted = pause != 0;
  if (wanted == paused) return;
  const double now = clockNow();
  if (wanted) {
    paused = true;
    pauseStart = now;
  } else {
    finished.push_back({pauseStart - pausedTotal - epoch, now - pauseStart, false});
    pausedTotal += now - pauseStart;
    paused = false;
  }
  // Under the pause lock, so that the sound's cuts come in the order of the pauses.
  if (dsc != nullptr) dsc->cutSound(wanted);
}

QV_EXPORT int32_t getPaused(void) { return isInitialized() && isPaused() ? QV_PAUSED : QV_RUNNING; }

QV_EXPORT int32_t pollPauseKey(void) {
  const bool down = (platform::getAsyncKeyState(platform::kKeyF11) & 0x8001) != 0 ||
                    (platform::getAsyncKeyState(platform::kKeyPause) & 0x8001) != 0;
  platform::MutexLock lock(pauseMutex());
  const bool fresh = down && !pauseKeyHeld;
  pauseKeyHeld = down;
  return fresh ? QV_PAUSE_KEY_PRESSED : QV_PAUSE_KEY_IDLE;
}

}  // extern "C"
