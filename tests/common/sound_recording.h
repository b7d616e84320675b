// The sound side of a recording as the sound tests set it up, natively and under Wine alike.
#ifndef QUORVANE_SOUND_RECORDING_H
#define QUORVANE_SOUND_RECORDING_H

#include <chrono>
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

}  // namespace qvtest

#endif
