// Sound devices that stop, change and go away under a recording, against a real PulseAudio
// daemon: the sound stays on the picture's clock (the frame clock) through all of it, with
// silence of the exact length where the device gave nothing, and the host is told when the
// device is gone for good.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "capture_state.h"
#include "direct_sound_capture.h"
#include "pause.h"
#include "sound_analysis.h"
#include "sound_recording.h"
#include "test_servers.h"
#include "x_test_windows.h"

namespace quorvane_capture {
namespace {

// One frame at 30 fps, the rate a tutorial is recorded at; the sound must land within it.
constexpr double kFrameMs = 1000.0 / 30.0;

// A recording of sound alone (a tiny picture), with the frame clock read at its start and stop.
class SoundDevicesTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(qvtest::sharedXvfb().running()); }
  void TearDown() override {
    if (audio_.joinable()) {
      setTerminated(1);
      audio_.join();
    }
    Finalize();
  }

  bool start() {
    qvtest::initializeSoundRecording();
    if (dsc == nullptr || getSoundStatus() != QV_SOURCE_READY) return false;
    audio_ = std::thread([] { AudioCaptureThread(nullptr); });
    if (!qvtest::waitUntilCapturing(std::chrono::seconds(10))) return false;
    startMs_ = frameClockMilliseconds();
    return true;
  }
  // Runs a command against the server and returns the frame clock half way through it.
  static double at(const std::string& command) {
    const double before = frameClockMilliseconds();
    EXPECT_EQ(std::system((command + " >/dev/null 2>&1").c_str()), 0) << command;
    return (before + frameClockMilliseconds()) / 2;
  }
  static void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
  // Stops the recording; the left channel of its sound and its length in ms.
  std::vector<double> stop(double* soundMs, double* spanMs) {
    const double stopMs = frameClockMilliseconds();
    setTerminated(1);
    audio_.join();
    std::vector<double> left;
    for (const POINTER_AND_SIZE& chunk : *dsc->getDataList()) {
      const std::vector<double> piece = qvtest::leftChannel(chunk.pointer, chunk.size);
      left.insert(left.end(), piece.begin(), piece.end());
    }
    *soundMs = left.size() * 1000.0 / getSoundRate();
    *spanMs = stopMs - startMs_;
    return left;
  }
  // The longest run of exact zeros (inserted silence; a playing tone has none) after the first
  // half second (a device may start delivering a little after the picture starts): where it
  // starts and how long it lasts, in ms.
  // The longest run of exact zeros from half a second in, leaving out the last `tailMs`.
  static void longestSilence(const std::vector<double>& left, double* startMs, double* lengthMs,
                             double tailMs = 0) {
    size_t best = 0, bestStart = 0, run = 0;
    const auto tail = static_cast<size_t>(tailMs / 1000 * getSoundRate());
    const size_t end = left.size() > tail ? left.size() - tail : 0;
    for (size_t i = static_cast<size_t>(getSoundRate() / 2); i < end; ++i) {
      run = left[i] == 0 ? run + 1 : 0;
      if (run > best) {
        best = run;
        bestStart = i + 1 - run;
      }
    }
    *startMs = bestStart * 1000.0 / getSoundRate();
    *lengthMs = best * 1000.0 / getSoundRate();
  }
  // The strongest tone in the second of sound from `fromMs` (0 when the sound ends first).
  static double toneIn(const std::vector<double>& left, double fromMs) {
    const auto rate = static_cast<size_t>(getSoundRate());
    const auto a = static_cast<size_t>(fromMs / 1000 * rate);
    if (a + rate > left.size()) return 0;
    return qvtest::dominantFrequency(left, a, rate);
  }

  std::thread audio_;
  double startMs_ = 0;
};

// A source suspended for two seconds: two seconds of silence where it was, the tone on both
// sides of it, and the sound as long as the picture.
TEST_F(SoundDevicesTest, ASuspendedSourceGivesSilenceOfItsLengthAtItsPlace) {
  qvtest::PulseServer pulse(true);
  ASSERT_TRUE(pulse.running());
  pulse.playTone(1000, 2.5, "mic_sink");
  ASSERT_TRUE(start());
  sleepMs(1500);
  const double suspended = at("pactl suspend-sink mic_sink 1");
  sleepMs(2000);
  const double resumed = at("pactl suspend-sink mic_sink 0");
  sleepMs(1500);
  double soundMs = 0, spanMs = 0;
  const std::vector<double> left = stop(&soundMs, &spanMs);
  double silenceAt = 0, silenceMs = 0;
  longestSilence(left, &silenceAt, &silenceMs);
  // The sound comes back where the source did. The silence may begin up to a few frames
  // before the suspension: the server drops what its source held but had not delivered.
  EXPECT_NEAR(silenceAt + silenceMs, resumed - startMs_, kFrameMs);
  EXPECT_NEAR(silenceAt, suspended - startMs_, 3 * kFrameMs);
  EXPECT_NEAR(silenceMs, resumed - suspended, 3 * kFrameMs);
  EXPECT_NEAR(soundMs, spanMs, kFrameMs);
  EXPECT_EQ(toneIn(left, 200), 1000.0);
  EXPECT_EQ(toneIn(left, silenceAt + silenceMs + 100), 1000.0);
  EXPECT_EQ(getRecordingWarnings() & QV_WARNING_SOUND_LOST, 0);
}

// The default source changes under the recording (a headset plugged in): the sound follows it
// and goes on, with no word to the host.
TEST_F(SoundDevicesTest, ANewDefaultSourceIsFollowed) {
  qvtest::PulseServer pulse(true);
  ASSERT_TRUE(pulse.running());
  pulse.playTone(450, 0, "mic_sink");
  pulse.playTone(1000, 2.5, "test_sink");
  ASSERT_TRUE(start());
  sleepMs(1500);
  const double switched = at("pactl set-default-source test_sink.monitor");
  sleepMs(2000);
  EXPECT_EQ(getSoundStatus(), QV_SOURCE_READY);
  double soundMs = 0, spanMs = 0;
  const std::vector<double> left = stop(&soundMs, &spanMs);
  const double switchedAt = switched - startMs_;
  EXPECT_LT(1200, switchedAt);
  EXPECT_EQ(toneIn(left, switchedAt - 1100), 450.0);
  EXPECT_EQ(toneIn(left, switchedAt + 300), 1000.0);
  EXPECT_NEAR(soundMs, spanMs, kFrameMs);
  // The last transfer may end in the silence that pads the sound to the stop (what the device
  // had not delivered yet): left out here.
  double silenceAt = 0, silenceMs = 0;
  longestSilence(left, &silenceAt, &silenceMs, 200);
  // The server gives nothing while it moves the stream: that moment is kept as silence of its
  // length (a few frames), so the sound after it stays on the picture, and it lies where the
  // stream moved (a short run of zeros elsewhere would be silence put into playing sound).
  // Its place is where the stream moved in most runs; when the server's word of the move comes
  // only after the sound of the transfer that holds it was taken (about one run in six, half
  // under ASan), it goes before that transfer: at most half a second early, never after.
  EXPECT_LT(silenceMs, 5 * kFrameMs);
  if (silenceMs > 1) {
    EXPECT_LT(silenceAt, switchedAt + 2 * kFrameMs) << "silence of " << silenceMs << " ms";
    EXPECT_GT(silenceAt, switchedAt - 500 - 2 * kFrameMs) << "silence of " << silenceMs << " ms";
  }
  EXPECT_EQ(getRecordingWarnings() & QV_WARNING_SOUND_LOST, 0);
  // Both devices named, in the order they were recorded from.
  const std::vector<std::string> names =
      dsc->sourceDeviceNames(platform::SoundSource::kCaptureDevice);
  EXPECT_EQ(names, (std::vector<std::string>{
                       std::string("Monitor of ") + qvtest::PulseServer::kMicDescription,
                       std::string("Monitor of ") + qvtest::PulseServer::kSinkDescription}));
}

// The only source goes away and another appears later (a device plugged in): the host is told
// while nothing is there, the sound goes on once a device is, and the time between is silence of
// its exact length at its place; the warning stays as the record that it happened.
TEST_F(SoundDevicesTest, ASourceThatComesBackIsRecordedAgain) {
  qvtest::PulseServer pulse;
  ASSERT_TRUE(pulse.running());
  pulse.playTone(1000);
  ASSERT_TRUE(start());
  sleepMs(1000);
  const double gone = at("pactl unload-module module-null-sink");
  sleepMs(800);
  EXPECT_EQ(getSoundStatus(), QV_SOURCE_LOST);
  const double back = at("pactl load-module module-null-sink sink_name=back_sink");
  pulse.playTone(500, 0, "back_sink");
  for (int i = 0; i < 100 && getSoundStatus() != QV_SOURCE_READY; ++i) sleepMs(10);
  EXPECT_EQ(getSoundStatus(), QV_SOURCE_READY) << "recording again";
  sleepMs(2600);
  EXPECT_EQ(getRecordingWarnings() & QV_WARNING_SOUND_LOST, QV_WARNING_SOUND_LOST);
  EXPECT_EQ(dsc->sourceDeviceNames(platform::SoundSource::kCaptureDevice).size(), 2u);
  double soundMs = 0, spanMs = 0;
  const std::vector<double> left = stop(&soundMs, &spanMs);
  EXPECT_NEAR(soundMs, spanMs, kFrameMs);
  // Silence from where the first source's sound ended, the new one's tone after it (a new null
  // sink's monitor delivers its first sound late and in large blocks, so where it begins is
  // not checked here).
  const auto rate = static_cast<size_t>(getSoundRate());
  size_t end = rate / 2, run = 0;
  while (end < left.size() && run < rate / 500) run = left[end++] == 0 ? run + 1 : 0;
  end -= run;
  // As when it is gone for good: what the source held but had not delivered is lost with it.
  EXPECT_NEAR(end * 1000.0 / rate, gone - startMs_, 3 * kFrameMs) << "where the sound ended";
  EXPECT_EQ(toneIn(left, 0), 1000.0);
  const auto from = static_cast<size_t>((back - startMs_) / 1000 * rate);
  ASSERT_GT(left.size(), from + rate);
  const double tone = qvtest::powerAt(left, from, left.size() - from, 500, rate);
  EXPECT_GT(tone, 0);
  EXPECT_GT(tone, 100 * qvtest::powerAt(left, from, left.size() - from, 1000, rate));
}

// The only source goes away: the recording goes on, the host is told, and the sound is silence
// from then to the stop, as long as the picture; the WAV file is complete.
TEST_F(SoundDevicesTest, ASourceGoneForGoodGivesSilenceToTheStopAndAStatus) {
  qvtest::PulseServer pulse;
  ASSERT_TRUE(pulse.running());
  pulse.playTone(1000);
  ASSERT_TRUE(start());
  sleepMs(1500);
  const double gone = at("pactl unload-module module-null-sink");
  sleepMs(1500);
  EXPECT_EQ(getSoundStatus(), QV_SOURCE_LOST);
  EXPECT_EQ(getRecordingWarnings() & QV_WARNING_SOUND_LOST, QV_WARNING_SOUND_LOST);
  EXPECT_FALSE(getTerminated()) << "the recording must go on";
  EXPECT_EQ(getRecordingStatus(), QV_STATUS_OK);
  double soundMs = 0, spanMs = 0;
  const std::vector<double> left = stop(&soundMs, &spanMs);
  EXPECT_NEAR(soundMs, spanMs, kFrameMs);
  double silenceAt = 0, silenceMs = 0;
  longestSilence(left, &silenceAt, &silenceMs);
  EXPECT_NEAR(silenceAt, gone - startMs_, 3 * kFrameMs);
  EXPECT_NEAR(silenceAt + silenceMs, soundMs, 1.0) << "silence up to the stop";
  const std::string wav = "/tmp/qv_sound_devices_" + std::to_string(getpid()) + ".wav";
  EXPECT_EQ(AudioOutputThread(const_cast<char*>(wav.c_str())), QV_WAV_WRITTEN);
  const std::vector<uint8_t> bytes = qvtest::readFile(wav);
  ASSERT_GE(bytes.size(), 44u);
  EXPECT_EQ(qvtest::u32(bytes, 40), bytes.size() - 44);
  EXPECT_EQ(bytes.size() - 44, left.size() * 4);
  std::remove(wav.c_str());
}

}  // namespace
}  // namespace quorvane_capture
