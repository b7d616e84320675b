// A fault of the library and the host's reaction to it arriving at once: one thread stops the
// recording with a fault while many others stop it as a host would. Natively and under Wine.
#ifndef QUORVANE_CONCURRENT_STOP_H
#define QUORVANE_CONCURRENT_STOP_H

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "direct_sound_capture.h"
#include "run_control.h"
#include "sound_recording.h"

namespace qvtest {

// Records a moment of the given source (QV_SOURCE_*), then stops from 16 threads at once:
// every stop returns once the sound has ended, the sound device stops once, and the fault is
// the recording's status. Leaves the library finalised.
inline void stopFromManyThreadsAtOnce(int32_t source) {
  using quorvane_capture::dsc;
  ASSERT_EQ(setSoundSource(source), 1);
  initializeSoundRecording();
  ASSERT_EQ(getInitializeStatus(), QV_INIT_OK);
  const bool withSound = getSoundStatus() == QV_SOURCE_READY;
  qv_thread_result sound = 0;
  std::thread audio([&sound] { sound = AudioCaptureThread(nullptr); });
  if (withSound) {
    EXPECT_TRUE(waitUntilCapturing(std::chrono::seconds(10)));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  std::vector<std::thread> stops;
  stops.emplace_back([] { quorvane_capture::stopRecording(QV_STATUS_WRITE_FAILED); });
  for (int i = 0; i < 15; ++i) stops.emplace_back([] { setTerminated(1); });
  for (std::thread& t : stops) t.join();
  // Every stop has returned after the sound ended, whichever of them did the stopping.
  EXPECT_FALSE(dsc->isCapturing());
  audio.join();
  EXPECT_EQ(sound, withSound ? QV_SOUND_CAPTURED : QV_SOUND_NONE);
  EXPECT_EQ(getRecordingStatus(), QV_STATUS_WRITE_FAILED);
  setTerminated(1);  // a later stop changes nothing
  EXPECT_EQ(getRecordingStatus(), QV_STATUS_WRITE_FAILED);
  Finalize();
  setSoundSource(QV_SOURCE_CAPTURE_DEVICE);
}

}  // namespace qvtest

#endif
