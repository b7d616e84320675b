// The recording's one stop and the faults that end a recording by themselves, against a real X
// server and PulseAudio: stops from many threads at once, a window that closes or is minimised,
// a sound server that goes away (the recording goes on), a window whose picture is black, a
// process that has run for weeks.
#include "run_control.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "capture_state.h"
#include "concurrent_stop.h"
#include "direct_sound_capture.h"
#include "pause.h"
#include "pipeline.h"
#include "pipeline_support.h"
#include "sound_recording.h"
#include "test_servers.h"
#include "x_test_windows.h"

namespace quorvane_capture {
namespace {

using Clock = std::chrono::steady_clock;

class RunControlTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(qvtest::sharedXvfb().running()); }
  void TearDown() override {
    Finalize();
    setSoundSource(QV_SOURCE_CAPTURE_DEVICE);
    shiftClockForTests(0.0);
  }

  static void initializeOn(uint64_t window, int64_t frameRate = 30) {
    CaptureSetting s{};
    s.frameRate = frameRate;
    s.targetWindow = window;
    s.clientArea = 1;
    s.memorySize = 256 << 20;
    s.affinityMask = getAffinityMask();
    s.useAVX = qvtest::pipelineUseAVX();
    Initialize(&s);
    ASSERT_EQ(getInitializeStatus(), QV_INIT_OK);
  }

  // Runs the recording threads until they end by themselves (or `limit`, then stops them);
  // returns the seconds they ran.
  static double runUntilStopped(std::chrono::milliseconds limit) {
    const auto start = Clock::now();
    qvtest::RecordingThreads threads;
    while (!getTerminated() && Clock::now() - start < limit) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    setTerminated(1);
    threads.join();
    return seconds;
  }
};

// A fault of the library and the host's reaction to it, from many threads at once, with every
// sound source: the sound device stops once, every caller returns, the fault is the status.
TEST_F(RunControlTest, ManyStopsAtOnceEndTheSoundOnceWithEverySource) {
  qvtest::PulseServer pulse;
  ASSERT_TRUE(pulse.running());
  for (const int32_t source : {QV_SOURCE_CAPTURE_DEVICE, QV_SOURCE_DESKTOP, QV_SOURCE_NONE}) {
    SCOPED_TRACE(source);
    qvtest::stopFromManyThreadsAtOnce(source);
  }
}

// A window that closes, or is minimised, ends the recording within a few frames with the reason;
// the frames before it stay for the writer.
TEST_F(RunControlTest, AWindowThatClosesOrIsMinimisedEndsTheRecording) {
  for (const bool close : {true, false}) {
    SCOPED_TRACE(close ? "closed" : "minimised");
    qvtest::TestWindow window(160, 120);
    window.map();
    ASSERT_TRUE(window.waitViewable());
    initializeOn(window.id());
    std::thread closer([&window, close] {
      std::this_thread::sleep_for(std::chrono::milliseconds(1000));
      if (close) {
        window.destroy();
      } else {
        window.unmap();
      }
    });
    const double seconds = runUntilStopped(std::chrono::milliseconds(8000));
    closer.join();
    EXPECT_LT(seconds, 3.0);
    EXPECT_EQ(getRecordingStatus(), close ? QV_STATUS_TARGET_LOST : QV_STATUS_TARGET_MINIMISED);
    EXPECT_GE(frameList.size(), 15u);
    const std::string path = "/tmp/qv_run_control_" + std::to_string(getpid()) + ".qvf";
    EXPECT_GT(OutputThread(const_cast<char*>(path.c_str())), 0u);
    std::remove(path.c_str());
    Finalize();
  }
}

// The sound server goes away under a recording: the recording goes on (the host is told), the
// sound taken before stays, and silence follows it to the stop.
TEST_F(RunControlTest, ASoundServerThatGoesAwayLeavesTheRecordingRunning) {
  qvtest::PulseServer pulse;
  ASSERT_TRUE(pulse.running());
  pulse.playTone(440);
  initializeOn(platform::desktopWindow(), 10);
  ASSERT_EQ(getSoundStatus(), QV_SOURCE_READY);
  qv_thread_result sound = 0;
  std::thread audio([&sound] { sound = AudioCaptureThread(nullptr); });
  ASSERT_TRUE(qvtest::waitUntilCapturing(std::chrono::seconds(10)));
  std::thread killer([&pulse] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    pulse.stop();
  });
  const double seconds = runUntilStopped(std::chrono::milliseconds(3500));
  killer.join();
  audio.join();
  EXPECT_GE(seconds, 3.5);
  EXPECT_EQ(getRecordingStatus(), QV_STATUS_OK);
  EXPECT_EQ(getSoundStatus(), QV_SOURCE_LOST);
  EXPECT_EQ(getRecordingWarnings(), QV_WARNING_SOUND_LOST);
  EXPECT_EQ(sound, QV_SOUND_CAPTURED);
  // Sound and silence together reach the stop.
  EXPECT_GT(dsc->getCapturedBytes(), 176400u * 3);
}

// A window whose pictures stay entirely black for two seconds is warned about, and the
// recording goes on; the whole screen, black as well, never is.
TEST_F(RunControlTest, ABlackWindowIsWarnedAboutButNotABlackScreen) {
  qvtest::TestWindow window(160, 120);
  window.map();
  ASSERT_TRUE(window.waitViewable());
  window.fill(0x000000);
  initializeOn(window.id());
  runUntilStopped(std::chrono::milliseconds(3000));
  EXPECT_EQ(getRecordingWarnings(), QV_WARNING_BLACK_PICTURE);
  EXPECT_EQ(getRecordingStatus(), QV_STATUS_OK);
  Finalize();

  window.destroy();
  qvtest::TestWindow grey(160, 120);
  grey.map();
  ASSERT_TRUE(grey.waitViewable());
  grey.fill(0x000001);  // one step from black: not a picture the grab failed to see
  initializeOn(grey.id());
  runUntilStopped(std::chrono::milliseconds(3000));
  EXPECT_EQ(getRecordingWarnings(), QV_WARNING_NONE);
  Finalize();

  initializeOn(platform::desktopWindow());
  runUntilStopped(std::chrono::milliseconds(2600));
  EXPECT_EQ(getRecordingWarnings(), QV_WARNING_NONE);
}

// A process that has run for weeks (its clock past 2^31 ms during the take) records the same
// timeline as a fresh one: one video record per slot, no burst of repeats.
TEST_F(RunControlTest, AClockPastTwoToTheThirtyFirstMillisecondsKeepsTheTimeline) {
  shiftClockForTests(2147483647.0 - 1000.0 - platform::clockMilliseconds());
  initializeOn(platform::desktopWindow(), 10);
  runUntilStopped(std::chrono::milliseconds(2500));
  RecordingStats stats{};
  ASSERT_EQ(getRecordingStats(&stats), QV_STATS_FILLED);
  EXPECT_GE(stats.capturedFrames, 20);
  EXPECT_LE(stats.videoRecords, 27);
  EXPECT_LE(stats.longestRepeatRun, 2);
}

// Hours of sound (past 2^32 bytes) go on counting in the live counts instead of starting again.
TEST_F(RunControlTest, SoundCountsGoOnPastFourGigabytes) {
  qvtest::PulseServer pulse;
  ASSERT_TRUE(pulse.running());
  pulse.playTone(440);
  qvtest::initializeSoundRecording();
  ASSERT_EQ(getSoundStatus(), QV_SOURCE_READY);
  dsc->countFromForTests(0xFFFFFFFFull - 4 * 100);
  std::thread audio([] { AudioCaptureThread(nullptr); });
  ASSERT_TRUE(qvtest::waitUntilCapturing(std::chrono::seconds(10)));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  RecordingStats stats{};
  ASSERT_EQ(getRecordingStats(&stats), QV_STATS_FILLED);
  EXPECT_GT(stats.soundSamples, int64_t{0xFFFFFFFF} / 4);
  setTerminated(1);
  audio.join();
}

}  // namespace
}  // namespace quorvane_capture
