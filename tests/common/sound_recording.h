// The sound side of a recording as the sound tests set it up, natively and under Wine alike.
#ifndef QUORVANE_SOUND_RECORDING_H
#define QUORVANE_SOUND_RECORDING_H

#include <chrono>
#include <future>
#include <thread>

#include "capture_state.h"
#include "direct_sound_capture.h"
#include "quorvane_capture.h"

namespace qvtest {

// A recording of a small part of the screen: the sound side needs nothing else.
inline void initializeSoundRecording() {
  CaptureSetting s{};
  s.frameRate = 10;
  s.targetWindow = quorvane_capture::platform::desktopWindow();
  s.captureWidth = 64;
  s.captureHeight = 64;
  s.memorySize = 64 << 20;
  s.affinityMask = getAffinityMask();
  Initialize(&s);
}

// Waits for the audio thread's device to run, up to `limit`: a loaded machine may start the
// thread late. True once it runs.
inline bool waitUntilCapturing(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!quorvane_capture::dsc->isCapturing()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// A short recording stopped `afterSeconds` (a little over half a second) after its device
// started, when the sound of that half second may not all be delivered yet: the notification
// for it then arrives while the device stops, which is where a loop woken early would end too
// soon. Returns the sound the device still held beyond the last transfer (0 when the stop took
// everything), and the sound and wall time in seconds.
struct StopResult {
  uint32_t unread = 0;
  double soundSeconds = 0.0;
  double wallSeconds = 0.0;
  bool ran = false;
};
inline StopResult recordAndStop(double afterSeconds) {
  using quorvane_capture::dsc;
  StopResult r;
  initializeSoundRecording();
  if (dsc == nullptr || !dsc->hasDevice()) return r;
  auto audio = std::async(std::launch::async, [] { return AudioCaptureThread(nullptr); });
  if (!waitUntilCapturing(std::chrono::seconds(10))) {
    setTerminated(1);
    return r;
  }
  const auto start = std::chrono::steady_clock::now();
  auto wall = [&start] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  while (wall() < afterSeconds) std::this_thread::sleep_for(std::chrono::microseconds(200));
  r.wallSeconds = wall();
  setTerminated(1);
  r.ran = audio.get() == 1;
  r.unread = dsc->unreadBytes();
  r.soundSeconds = dsc->getCapturedBytes() / 176400.0;
  Finalize();
  return r;
}

}  // namespace qvtest

#endif
