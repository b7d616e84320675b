// Run control: the recording's shared state and its one stop, the start hot key and processor
// affinity.
#include "run_control.h"

#include <atomic>

#include "capture_state.h"
#include "direct_sound_capture.h"

namespace quorvane_capture {

namespace {

std::atomic<bool> terminated{false};
std::atomic<int32_t> status{QV_STATUS_OK};
std::atomic<int32_t> warnings{QV_WARNING_NONE};
std::atomic<double> progress{0.0};
std::atomic<bool> streamed{false};
std::atomic<int> threadsRunning{0};

// The sound device's stop: the first stop performs it, the others wait for it to be done.
enum SoundStop : int { kSoundRunning, kSoundStopping, kSoundStopped };
std::atomic<int> soundStop{kSoundRunning};
thread_local bool onSoundThread = false;

void stopSound() {
  if (onSoundThread) {
    // The loop sees the request at its next wake-up and ends by itself.
    if (dsc != nullptr) dsc->setTerminated(true);
    return;
  }
  int expected = kSoundRunning;
  if (soundStop.compare_exchange_strong(expected, kSoundStopping)) {
    if (dsc != nullptr) dsc->StopWrite();
    soundStop = kSoundStopped;
    return;
  }
  while (soundStop.load() != kSoundStopped) platform::sleepMilliseconds(1);
}

}  // namespace

void noteRecordingFault(int32_t fault) {
  int32_t ok = QV_STATUS_OK;
  status.compare_exchange_strong(ok, fault);
}

void stopRecording(int32_t reason) {
  if (reason != QV_STATUS_OK) noteRecordingFault(reason);
  terminated = true;
  // Stages waiting for work see the stop at once.
  platform::notifySignal(frameListSignal);
  stopSound();
}

bool getTerminated() { return terminated.load(); }

void clearStopRequest() { terminated = false; }

int32_t recordingStatus() { return status.load(); }

void raiseRecordingWarning(int32_t bits) { warnings.fetch_or(bits); }

int32_t recordingWarnings() { return warnings.load(); }

void resetRecordingState() {
  terminated = false;
  status = QV_STATUS_OK;
  warnings = QV_WARNING_NONE;
  progress = 0.0;
  streamed = false;
  soundStop = kSoundRunning;
}

void setProgress(double value) { progress = value; }

double progressValue() { return progress.load(); }

bool claimRecordingForStream() {
  bool expected = false;
  return streamed.compare_exchange_strong(expected, true);
}

void returnRecordingFromStream() { streamed = false; }

bool recordingStreamed() { return streamed.load(); }

RecordingThreadScope::RecordingThreadScope() { ++threadsRunning; }
RecordingThreadScope::~RecordingThreadScope() { --threadsRunning; }
int recordingThreadsRunning() { return threadsRunning.load(); }

SoundThreadScope::SoundThreadScope() { onSoundThread = true; }
SoundThreadScope::~SoundThreadScope() { onSoundThread = false; }

int32_t bitCount(uint64_t x) {
  x = (x & 0x5555555555555555ULL) + ((x >> 1) & 0x5555555555555555ULL);
  x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
  x = (x & 0x0F0F0F0F0F0F0F0FULL) + ((x >> 4) & 0x0F0F0F0F0F0F0F0FULL);
  x = (x & 0x00FF00FF00FF00FFULL) + ((x >> 8) & 0x00FF00FF00FF00FFULL);
  x = (x & 0x0000FFFF0000FFFFULL) + ((x >> 16) & 0x0000FFFF0000FFFFULL);
  x = (x & 0x00000000FFFFFFFFULL) + (x >> 32);
  return static_cast<int32_t>(x);
}

void disableComposition() { platform::disableComposition(); }

}  // namespace quorvane_capture

using namespace quorvane_capture;

extern "C" {

QV_EXPORT void setTerminated(int32_t flag) {
  if (flag != 0) {
    stopRecording(QV_STATUS_OK);
    return;
  }
  // Whatever the flag: a running sound capture ends with it.
  clearStopRequest();
  stopSound();
}

QV_EXPORT double getProgress(void) { return progressValue(); }

QV_EXPORT int32_t waitCaptureAction(void) {
  if (!isInitialized()) return 0;
  clearStopRequest();
  bool held = true;
  for (;;) {
    if (getTerminated()) return 0;
    // Both keys are queried every pass, so a press of one is not hidden by the other.
    const bool f12 = (platform::getAsyncKeyState(platform::kKeyF12) & 0x8001) != 0;
    const bool print = (platform::getAsyncKeyState(platform::kKeyPrintScreen) & 0x8001) != 0;
    if (!f12 && !print) {
      held = false;
    } else if (!held) {
      return 1;
    }
    platform::sleepMilliseconds(1);
  }
}

QV_EXPORT uint64_t getAffinityMask(void) {
  uint64_t processMask = 0, systemMask = 0;
  platform::getProcessAffinityMask(&processMask, &systemMask);
  return systemMask;
}

QV_EXPORT int32_t getRecordingStatus(void) {
  return isInitialized() ? recordingStatus() : QV_STATUS_NOT_INITIALIZED;
}

QV_EXPORT int32_t getRecordingWarnings(void) {
  return isInitialized() ? recordingWarnings() : QV_WARNING_NONE;
}

QV_EXPORT int32_t setAffinityMask(uint64_t mask) {
  const uint64_t system = getAffinityMask();
  uint64_t m = mask & system;
  if (m == 0) m = system;
  platform::setProcessAffinityMask(m);
  return bitCount(m);
}

}  // extern "C"
