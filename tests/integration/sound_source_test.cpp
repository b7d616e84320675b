// The sound source chosen before Initialize, against a real PulseAudio daemon whose default
// output and default capture device differ: tones are played into sinks (never into a source),
// and what the recording holds tells which one was recorded.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "capture_state.h"
#include "direct_sound_capture.h"
#include "sound_analysis.h"
#include "sound_recording.h"
#include "test_servers.h"

namespace quorvane_capture {
namespace {

class SoundSourceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { xvfb_ = new qvtest::XvfbServer(320, 240); }
  static void TearDownTestSuite() {
    delete xvfb_;
    xvfb_ = nullptr;
  }
  void TearDown() override {
    Finalize();
    setSoundSource(QV_SOURCE_CAPTURE_DEVICE);
    setSoundRate(44100);
    std::remove(path_.c_str());
  }

  // Records about `seconds` of the chosen source and returns the WAV file's samples (left
  // channel); *elapsed is the time from the device's start to the stop.
  std::vector<double> record(double seconds, double* elapsed) {
    qvtest::initializeSoundRecording();
    EXPECT_EQ(getSoundStatus(), QV_SOURCE_READY);
    qv_thread_result captured = 0;
    std::thread audio([&captured] { captured = AudioCaptureThread(nullptr); });
    EXPECT_TRUE(qvtest::waitUntilCapturing(std::chrono::seconds(5)));
    const auto start = qvtest::Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    *elapsed = qvtest::secondsSince(start);
    setTerminated(1);
    audio.join();
    EXPECT_EQ(captured, static_cast<qv_thread_result>(QV_SOUND_CAPTURED));
    EXPECT_EQ(AudioOutputThread(const_cast<char*>(path_.c_str())),
              static_cast<qv_thread_result>(QV_WAV_WRITTEN));
    const std::vector<uint8_t> wav = qvtest::readFile(path_);
    if (wav.size() < kWavHeaderSize) return {};
    return qvtest::leftChannel(wav.data() + kWavHeaderSize, wav.size() - kWavHeaderSize);
  }

  static qvtest::XvfbServer* xvfb_;
  std::string path_ = "/tmp/qv_sound_source_" + std::to_string(getpid()) + ".wav";
};
qvtest::XvfbServer* SoundSourceTest::xvfb_ = nullptr;

TEST_F(SoundSourceTest, DesktopRecordsWhatTheOutputPlaysAndTheDefaultStaysTheCaptureDevice) {
  qvtest::PulseServer pulse(true);
  ASSERT_TRUE(pulse.running());
  pulse.playTone(1000, 0.0, "test_sink");  // the default output
  pulse.playTone(600, 2.5, "mic_sink");    // what the default capture device hears
  double elapsed = 0;

  ASSERT_EQ(setSoundSource(QV_SOURCE_DESKTOP), 1);
  std::vector<double> left = record(2.0, &elapsed);
  ASSERT_GE(left.size(), 44100u + 4410u);
  EXPECT_EQ(qvtest::dominantFrequency(left, left.size() - 44100), 1000.0);
  Finalize();

  ASSERT_EQ(setSoundSource(QV_SOURCE_CAPTURE_DEVICE), 1);
  left = record(2.0, &elapsed);
  ASSERT_GE(left.size(), 44100u + 4410u);
  EXPECT_EQ(qvtest::dominantFrequency(left, left.size() - 44100), 600.0);
}

// Nothing plays into the default output: the recording is silence for the whole time, as long
// as the pictures would be, however little the sink delivers.
TEST_F(SoundSourceTest, DesktopSoundIsSilenceWhileNothingPlays) {
  qvtest::PulseServer pulse(true);
  ASSERT_TRUE(pulse.running());
  pulse.playTone(600, 2.5, "mic_sink");  // only the capture device hears anything
  ASSERT_EQ(setSoundSource(QV_SOURCE_DESKTOP), 1);
  double elapsed = 0;
  const std::vector<double> left = record(3.0, &elapsed);
  const double seconds = static_cast<double>(left.size()) / 44100.0;
  EXPECT_NEAR(seconds, elapsed, 0.3 * qvtest::kSlowdown) << "sound as long as the recording";
  double loudest = 0;
  for (double v : left) loudest = std::max(loudest, std::abs(v));
  EXPECT_EQ(loudest, 0.0);
}

// A device that runs at 48 kHz, recorded at either rate: the library converts, so the tone stays
// where it is, the sound is as long as the time it ran, and the WAV file says the rate.
TEST_F(SoundSourceTest, ADeviceAt48kHzIsConvertedToTheRecordingsRate) {
  qvtest::PulseServer pulse(false, 48000);
  ASSERT_TRUE(pulse.running());
  pulse.playTone(1000);
  EXPECT_EQ(setSoundRate(22050), 0) << "only the rates an editor project uses";
  for (const int rate : {44100, 48000}) {
    SCOPED_TRACE(rate);
    ASSERT_EQ(setSoundRate(rate), 1);
    double elapsed = 0;
    const std::vector<double> left = record(2.0, &elapsed);
    const std::vector<uint8_t> wav = qvtest::readFile(path_);
    ASSERT_GE(wav.size(), kWavHeaderSize);
    EXPECT_EQ(qvtest::u32(wav, 24), static_cast<uint32_t>(rate));
    EXPECT_NEAR(static_cast<double>(left.size()) / rate, elapsed, 0.3 * qvtest::kSlowdown);
    ASSERT_GE(left.size(), static_cast<size_t>(rate) + 4410u);
    EXPECT_EQ(qvtest::dominantFrequency(left, left.size() - rate, rate), 1000.0);
    Finalize();
  }
}

TEST_F(SoundSourceTest, NoneOpensNothingAndUnknownSourcesAreRefused) {
  qvtest::PulseServer pulse;
  ASSERT_TRUE(pulse.running());
  EXPECT_EQ(setSoundSource(7), 0);
  EXPECT_EQ(getSoundSource(), QV_SOURCE_CAPTURE_DEVICE) << "a refused value changes nothing";
  EXPECT_EQ(getSoundStatus(), QV_SOURCE_OFF) << "not initialised";

  ASSERT_EQ(setSoundSource(QV_SOURCE_NONE), 1);
  qvtest::initializeSoundRecording();
  ASSERT_EQ(getInitializeStatus(), QV_INIT_OK);
  EXPECT_EQ(getSoundStatus(), QV_SOURCE_OFF);
  EXPECT_EQ(AudioCaptureThread(nullptr), static_cast<qv_thread_result>(QV_SOUND_NONE));
  setTerminated(1);
  EXPECT_EQ(AudioOutputThread(const_cast<char*>(path_.c_str())),
            static_cast<qv_thread_result>(QV_WAV_WRITTEN));
  EXPECT_EQ(qvtest::readFile(path_).size(), kWavHeaderSize) << "a valid empty WAV file";
}

}  // namespace
}  // namespace quorvane_capture
