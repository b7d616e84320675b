// Pause and resume on a real X server and sound server: 2 s recorded, 2 s paused, 2 s recorded
// of a window and a 1 kHz tone. The file must hold about 4 s of pictures and of sound, no
// repeat records for the pause, sound and pictures of the same length, the window's change made
// during the pause in the first picture after it, and the sound cut where the pause began.
#include <gtest/gtest.h>
// After gtest: Xlib's macros would break its headers.
#include <X11/Xlib.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <thread>

#include "capture_state.h"
#include "direct_sound_capture.h"
#include "pause.h"
#include "pipeline_support.h"
#include "quorvane_capture.h"
#include "qvf.h"
#include "qvf_decode.h"
#include "sound_analysis.h"
#include "sound_recording.h"
#include "x_and_sound_test.h"

namespace {

using namespace quorvane_capture;

constexpr int kFrameRate = 20;
constexpr double kPeriodMs = 1000.0 / kFrameRate;

// Paints the whole window in one colour (0xRRGGBB) and waits until the server has done it.
void paint(qvtest::TestWindow& window, unsigned long colour) {
  XSetWindowBackground(window.display(), window.id(), colour);
  XClearWindow(window.display(), window.id());
  window.sync();
}

// Whether a YUY2 picture is mostly red (V above U) rather than blue, judged at its centre.
bool isRed(const qvtest::Bytes& yuy2, uint64_t width, uint64_t height) {
  const size_t at = static_cast<size_t>((height / 2) * width * 2 + (width / 2 / 2) * 4);
  return yuy2[at + 3] > yuy2[at + 1];
}

class PauseTest : public qvtest::XAndSoundTest<1000> {
 protected:
  void TearDown() override {
    XAndSoundTest::TearDown();
    std::remove(path_.c_str());
  }
  std::string path_ = "/tmp/qv-pause-" + std::to_string(getpid()) + ".qvf";
};

TEST_F(PauseTest, PausedTimeLeavesNoTraceInPicturesOrSound) {
  qvtest::TestWindow window(160, 120, true);
  ASSERT_NE(window.display(), nullptr);
  window.map();
  paint(window, 0x0000FF);
  CaptureSetting s{};
  s.frameRate = kFrameRate;
  s.targetWindow = window.id();
  s.memorySize = 256u << 20;
  s.affinityMask = getAffinityMask();
  s.clientArea = 1;
  Initialize(&s);
  ASSERT_EQ(getInitializeStatus(), QV_INIT_OK);
  ASSERT_TRUE(dsc->hasDevice());

  // The sound first, so that where the pause falls in it can be told from the clock.
  auto audio = std::async(std::launch::async, [] { return AudioCaptureThread(nullptr); });
  ASSERT_TRUE(qvtest::waitUntilCapturing(std::chrono::seconds(2)));
  const double soundStart = frameClockMilliseconds();
  qvtest::RecordingThreads threads;
  using std::chrono::milliseconds;
  std::this_thread::sleep_for(milliseconds(2250));
  setPaused(QV_PAUSED);
  const double pauseClock = pausePoints().at(0).frameClock;
  EXPECT_EQ(getPaused(), QV_PAUSED);
  // A picture stamped just before the pause may still be on its way into the list.
  std::this_thread::sleep_for(milliseconds(100));
  RecordingStats atPause{};
  ASSERT_EQ(getRecordingStats(&atPause), QV_STATS_FILLED);
  std::this_thread::sleep_for(milliseconds(1900));
  RecordingStats beforeResume{};
  getRecordingStats(&beforeResume);
  paint(window, 0xFF0000);
  setPaused(QV_RUNNING);
  std::this_thread::sleep_for(milliseconds(1750));
  setTerminated(1);
  threads.join();
  ASSERT_EQ(audio.get(), 1u);

  // Nothing at all was recorded while paused.
  EXPECT_EQ(beforeResume.capturedFrames, atPause.capturedFrames);
  EXPECT_EQ(beforeResume.repeatRecords, atPause.repeatRecords);
  EXPECT_EQ(beforeResume.paused, 1);
  EXPECT_GE(beforeResume.pausedMilliseconds, 1900);
  RecordingStats end{};
  getRecordingStats(&end);
  EXPECT_EQ(end.paused, 0);
  EXPECT_EQ(end.pauseCount, 1);

  const uint64_t records = OutputThread(const_cast<char*>(path_.c_str()));
  ASSERT_GT(records, 0u);
  EXPECT_EQ(static_cast<int64_t>(records), end.videoRecords) << "the live count is the file's";
  qvtest::QvfFile file;
  std::string error;
  ASSERT_TRUE(qvtest::readQvf(path_, &file, &error)) << error;
  const std::string pattern = file.videoPattern();
  const double pictureSeconds = static_cast<double>(pattern.size()) / kFrameRate;
  const std::vector<uint8_t> pcm = file.audio();
  const double soundSeconds = static_cast<double>(pcm.size()) / 176400.0;
  EXPECT_EQ(static_cast<int64_t>(pcm.size() / 4), end.soundSamples);
  std::printf("  %.3f s of pictures (%zu repeat records), %.3f s of sound\n", pictureSeconds,
              std::count(pattern.begin(), pattern.end(), 'R'), soundSeconds);
  EXPECT_NEAR(pictureSeconds, 4.0, 0.4);
  EXPECT_NEAR(soundSeconds, 4.0, 0.4);
  // Within a frame, and the sound server's delivery jitter on a loaded machine (which moves the
  // device's position at the two cuts): 0.005 to 0.055 s were seen idle, 0.101 s under load.
  EXPECT_LE(std::abs(soundSeconds - pictureSeconds), kPeriodMs / 1000.0 + 0.1)
      << "sound and pictures stay the same length";
  EXPECT_EQ(pattern.find(std::string(kFrameRate / 2, 'R')), std::string::npos)
      << "no run of repeat records stands for the pause";

  // The first picture after the resume shows what was drawn during the pause; the last one
  // before the pause does not.
  std::vector<qvtest::Bytes> pictures;
  ASSERT_TRUE(qvtest::decodePictures(file, &pictures, &error)) << error;
  // Every frame listed two seconds into the pause came before it.
  const size_t firstAfter = static_cast<size_t>(beforeResume.capturedFrames);
  ASSERT_GT(firstAfter, 0u);
  ASSERT_LT(firstAfter, frameList.size());
  size_t record = 0, captured = 0;
  for (; record < pattern.size(); ++record) {
    if (pattern[record] != 'R' && captured++ == firstAfter) break;
  }
  ASSERT_LT(record, pictures.size());
  EXPECT_TRUE(isRed(pictures[record], file.width, file.height));
  EXPECT_FALSE(isRed(pictures[record - 1], file.width, file.height));

  // The record of how the file was made comes first and holds the pause where it fell.
  ASSERT_FALSE(file.records.empty());
  const qvtest::QvfRecord& first = file.records[0];
  ASSERT_EQ(first.type, qvf::RECORD_PROVENANCE) << "written because the recording paused";
  const qvtest::QvfProvenance made = qvtest::parseProvenance(file.bytes, first);
  EXPECT_EQ(made.version, qvf::kProvenanceVersion);
  const uint64_t pauses = made.value(qvf::PROVENANCE_PAUSES, 0, 4);
  const uint64_t pausePosition = made.value(qvf::PROVENANCE_PAUSES, 4, 8);
  const uint64_t pauseLength = made.value(qvf::PROVENANCE_PAUSES, 12, 8);
  ASSERT_EQ(pauses, 1u);
  EXPECT_NEAR(static_cast<double>(pausePosition), 2250.0, 300.0);
  EXPECT_NEAR(static_cast<double>(pauseLength), 2000.0, 300.0);

  // The sound was cut at the pause: the tone breaks there, early by at most the device's latency
  // (the position lags what is being recorded), never later as a cut at the next half-second
  // notification would (at 2.5 s).
  const std::vector<double> left = qvtest::leftChannel(pcm.data(), pcm.size());
  const std::vector<size_t> breaks = qvtest::sineBreaks(left);
  const double expected = (pauseClock - soundStart) * 44.1;
  bool found = false;
  for (size_t b : breaks) {
    const double early = expected - static_cast<double>(b);
    found = found || (early > -kPeriodMs * 44.1 && early < 200 * 44.1);
  }
  EXPECT_TRUE(found) << breaks.size() << " breaks, none near sample " << expected;
  std::printf("  the tone breaks at");
  for (size_t b : breaks) std::printf(" %.0f ms", static_cast<double>(b) / 44.1);
  std::printf("; paused at %.0f ms of sound\n", pauseClock - soundStart);
}

}  // namespace
