// Run control: the stop flag, the progress value, the start hot key and processor affinity.
#include "capture_state.h"
#include "direct_sound_capture.h"

namespace quorvane_capture {

bool terminated = false;
double progress = 0.0;
platform::Mutex hMutex_terminated = nullptr;
platform::Mutex hMutex_progress = nullptr;

bool getTerminated() {
  platform::MutexLock lock(hMutex_terminated);
  return terminated;
}

void setProgress(double value) {
  platform::MutexLock lock(hMutex_progress);
  progress = value;
}

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
  {
    platform::MutexLock lock(hMutex_terminated);
    terminated = flag != 0;
  }
  // Stages waiting for work see the stop at once.
  platform::notifySignal(frameListSignal);
  // Whatever the flag: a running sound capture ends with the recording. Outside the mutex,
  // since this waits for the audio thread.
  if (dsc != nullptr) dsc->StopWrite();
}

QV_EXPORT double getProgress(void) {
  platform::MutexLock lock(hMutex_progress);
  return progress;
}

QV_EXPORT int32_t waitCaptureAction(void) {
  if (!isInitialized()) return 0;
  setTerminated(0);
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

QV_EXPORT int32_t setAffinityMask(uint64_t mask) {
  const uint64_t system = getAffinityMask();
  uint64_t m = mask & system;
  if (m == 0) m = system;
  platform::setProcessAffinityMask(m);
  return bitCount(m);
}

}  // extern "C"
