// Two sources at once against a real PulseAudio daemon at 48 kHz: the default output plays
// 1 kHz, the default capture device (the monitor of a second sink) hears 440 Hz. One recording
// at 44.1 kHz written from memory and one at 48 kHz written while recording: each source's
// track holds its own tone only, the mix both, every track is as long as the picture, and the
// 64-bit editor's table reads each track as qvf exports it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "container_walk.h"
#include "direct_sound_capture.h"
#include "editor2_plugin.h"
#include "quorvane_capture.h"
#include "session_runner.h"
#include "sound_analysis.h"
#include "test_servers.h"
#include "x_test_windows.h"

namespace {

constexpr int kFrameRate = 10;
constexpr double kRecordSeconds = 2.0;

// The tone's frequency from its rising zero crossings over `count` samples from `begin`.
double crossingFrequency(const std::vector<double>& x, size_t begin, size_t count, int rate) {
  size_t first = 0, last = 0, crossings = 0;
  for (size_t i = begin + 1; i < begin + count && i < x.size(); ++i) {
    if (x[i - 1] < 0 && x[i] >= 0) {
      if (crossings == 0) first = i;
      last = i;
      ++crossings;
    }
  }
  if (crossings < 2) return 0;
  return (crossings - 1) * static_cast<double>(rate) / static_cast<double>(last - first);
}

std::vector<uint8_t> wavData(const std::string& path, uint32_t* rate) {
  const std::vector<uint8_t> wav = qvtest::readFile(path);
  if (wav.size() < quorvane_capture::kWavHeaderSize) return {};
  *rate = qvtest::u32(wav, 24);
  return std::vector<uint8_t>(wav.begin() + quorvane_capture::kWavHeaderSize, wav.end());
}

// Every sample of one sound track through the 64-bit editor's table.
std::vector<uint8_t> readTrack(const std::string& path, int track, int* tracks) {
  editor2::INPUT_PLUGIN_TABLE& t = *qv_reader::editor2Table();
  const std::u16string wide(path.begin(), path.end());
  editor2::INPUT_HANDLE ih = t.func_open(reinterpret_cast<LPCWSTR>(wide.c_str()));
  if (ih == nullptr) return {};
  *tracks = t.func_set_track(ih, editor2::kTrackAudio, -1);
  std::vector<uint8_t> bytes;
  editor2::INPUT_INFO info{};
  if (t.func_set_track(ih, editor2::kTrackAudio, track) == track && t.func_info_get(ih, &info)) {
    bytes.resize(static_cast<size_t>(info.audio_n) * 4);
    const int got = t.func_read_audio(ih, 0, info.audio_n, bytes.data());
    bytes.resize(static_cast<size_t>(got) * 4);
  }
  t.func_close(ih);
  return bytes;
}

class SoundTracksTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pulse_ = new qvtest::PulseServer(true, 48000);
    if (!pulse_->running()) return;
    pulse_->playTone(1000, 0.0, "test_sink");  // what the computer plays
    pulse_->playTone(440, 2.5, "mic_sink");    // what the capture device hears
  }
  static void TearDownTestSuite() {
    delete pulse_;
    pulse_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(qvtest::sharedXvfb().running());
    ASSERT_TRUE(pulse_->running());
    dir_ = ::testing::TempDir() + "qv_tracks_" + std::to_string(getpid());
  }
  void TearDown() override {
    Finalize();
    setSoundSource(QV_SOURCE_CAPTURE_DEVICE);
    setSoundRate(44100);
    for (const char* suffix : {".qvf", ".wav", ".mic.wav", ".desktop.wav", ".export.wav"}) {
      std::remove((dir_ + suffix).c_str());
    }
  }

  // Records both sources for kRecordSeconds at `rate` and checks everything written.
  void recordAndCheck(int rate, bool streaming) {
    ASSERT_EQ(setSoundSource(QV_SOURCE_CAPTURE_AND_DESKTOP), 1);
    ASSERT_EQ(setSoundRate(rate), 1);
    ASSERT_GT(createWindowList(), 0u);
    CaptureSetting s{};
    s.frameRate = kFrameRate;
    s.targetWindow = getWindowList(0)->hwnd;  // the whole screen
    s.outputWidth = 160;
    s.outputHeight = 120;
    s.memorySize = 64ull << 20;
    s.affinityMask = getAffinityMask();
    Initialize(&s);
    ASSERT_EQ(getInitializeStatus(), QV_INIT_OK);
    ASSERT_EQ(getSoundStatus(), QV_SOURCE_READY);
    EXPECT_EQ(getSoundSourceStatus(QV_SOURCE_CAPTURE_DEVICE), QV_SOURCE_READY);
    EXPECT_EQ(getSoundSourceStatus(QV_SOURCE_DESKTOP), QV_SOURCE_READY);
    EXPECT_EQ(getSoundSourceStatus(QV_SOURCE_NONE), QV_SOURCE_OFF);

    qvtools::RunOptions options;
    options.streaming = streaming;
    options.qvfPath = dir_ + ".qvf";
    options.wavPath = dir_ + ".wav";
    options.duration = kRecordSeconds;
    qvtools::SessionRunner runner(options);
    runner.start();
    runner.record(nullptr);
    const qvtools::RunResult& r = runner.finish(nullptr);
    ASSERT_TRUE(r.complete());
    EXPECT_EQ(r.streamed, streaming);
    Finalize();

    // The container: two tracks beside the mix, listed by the index and named by the record
    // of how the file was made.
    qvf_tool::ContainerWalk walk;
    ASSERT_TRUE(qvf_tool::walkContainer(options.qvfPath, &walk));
    EXPECT_TRUE(walk.problems.empty()) << walk.problems.front();
    EXPECT_EQ(walk.index, qvf_tool::ContainerWalk::Index::kSound);
    EXPECT_EQ(walk.unknownRecords, 0u);
    EXPECT_EQ(walk.header.audioSampleRate, static_cast<uint64_t>(rate));
    ASSERT_EQ(walk.tracks.size(), 2u);
    ASSERT_EQ(walk.provenance.tracks.size(), 2u);
    EXPECT_EQ(walk.provenance.tracks[0].number, 1u);
    EXPECT_EQ(walk.provenance.tracks[0].source, qvf::kTrackSourceCaptureDevice);
    EXPECT_EQ(walk.provenance.tracks[1].number, 2u);
    EXPECT_EQ(walk.provenance.tracks[1].source, qvf::kTrackSourceDesktop);
    // Each named by the device it recorded from, as the server describes it.
    EXPECT_EQ(walk.provenance.tracks[0].device.rfind(
                  std::string("Monitor of ") + qvtest::PulseServer::kMicDescription + " (", 0),
              0u)
        << walk.provenance.tracks[0].device;
    EXPECT_EQ(walk.provenance.tracks[1].device.rfind(
                  std::string("Monitor of ") + qvtest::PulseServer::kSinkDescription + " (", 0),
              0u)
        << walk.provenance.tracks[1].device;
    const double picture = static_cast<double>(walk.videoTypes.size()) / kFrameRate;
    EXPECT_NEAR(picture, kRecordSeconds, 0.5);

    // The WAV files at the recording's rate, each as long as the picture within a frame, and
    // their sound the container's.
    struct Track {
      const char* suffix;
      int index;         // for the editor: 0 the mix
      const char* name;  // for qvf export --track
    };
    std::vector<std::vector<double>> left;
    for (const Track& track : {Track{".wav", 0, "mix"}, Track{".mic.wav", 1, "mic"},
                               Track{".desktop.wav", 2, "desktop"}}) {
      SCOPED_TRACE(track.suffix);
      uint32_t wavRate = 0;
      const std::vector<uint8_t> samples = wavData(dir_ + track.suffix, &wavRate);
      EXPECT_EQ(wavRate, static_cast<uint32_t>(rate));
      // The picture's last frame fills its whole period past the stop, while the sound, placed
      // by the device's clock, ends at the stop: padded there when it falls short by more than
      // the stop's padding threshold. (The picture's and the sound's stops lie a few ms apart,
      // more in the instrumented builds.)
      const double seconds = static_cast<double>(samples.size() / 4) / rate;
      const double apart = 0.01 * qvtest::kSlowdown;
      EXPECT_LE(seconds, picture + apart);
      EXPECT_GE(seconds, picture - 1.0 / kFrameRate -
                             quorvane_capture::SoundClock::kPadMilliseconds / 1000 - apart);
      // No silence inside the playing sound: from its first sound to its last, no run of exact
      // zeros of a millisecond (a tone has single zero samples at most).
      const std::vector<double> x = qvtest::leftChannel(samples.data(), samples.size());
      size_t first = 0, last = x.size(), run = 0, longest = 0;
      while (first < last && x[first] == 0) ++first;
      while (last > first && x[last - 1] == 0) --last;
      for (size_t i = first; i < last; ++i) {
        run = x[i] == 0 ? run + 1 : 0;
        longest = std::max(longest, run);
      }
      EXPECT_LT(longest, static_cast<size_t>(rate / 1000)) << "silence in playing sound";
      int tracks = 0;
      const std::vector<uint8_t> read = readTrack(options.qvfPath, track.index, &tracks);
      EXPECT_EQ(tracks, 3);
      EXPECT_TRUE(read == samples) << "the editor's track " << track.index;
#ifdef QV_QVF_BINARY  // a build without the tools (the sanitizer builds) has no qvf
      const std::string exported = dir_ + ".export.wav";
      ASSERT_TRUE(qvtest::commandSucceeds(std::string(QV_QVF_BINARY) + " export -q '" +
                                          options.qvfPath + "' --wav '" + exported + "' --track " +
                                          track.name));
      uint32_t exportedRate = 0;
      EXPECT_TRUE(wavData(exported, &exportedRate) == read) << "qvf export --track " << track.name;
      EXPECT_EQ(exportedRate, static_cast<uint32_t>(rate));
#endif
      left.push_back(qvtest::leftChannel(samples.data(), samples.size()));
    }

    // Each track its own tone only, the mix both: over the last second but a tenth.
    const size_t count = static_cast<size_t>(rate);
    for (const std::vector<double>& x : left) ASSERT_GT(x.size(), count + count / 10);
    auto power = [&](const std::vector<double>& x, double f) {
      return qvtest::powerAt(x, x.size() - count - count / 10, count, f, rate);
    };
    const std::vector<double>& mix = left[0];
    const std::vector<double>& mic = left[1];
    const std::vector<double>& desktop = left[2];
    EXPECT_NEAR(crossingFrequency(mic, mic.size() - count - count / 10, count, rate), 440.0, 2.0);
    EXPECT_NEAR(crossingFrequency(desktop, desktop.size() - count - count / 10, count, rate),
                1000.0, 2.0);
    EXPECT_LT(power(mic, 1000), power(mic, 440) * 1e-4) << "the mic track holds no 1 kHz";
    EXPECT_LT(power(desktop, 440), power(desktop, 1000) * 1e-4) << "the desktop track no 440 Hz";
    EXPECT_GT(power(mix, 440), power(mic, 440) * 0.5);
    EXPECT_GT(power(mix, 1000), power(desktop, 1000) * 0.5);
  }

  static qvtest::PulseServer* pulse_;
  std::string dir_;
};
qvtest::PulseServer* SoundTracksTest::pulse_ = nullptr;

TEST_F(SoundTracksTest, BothSourcesAt44100FromMemoryEachOnItsOwnTrackAndMixed) {
  recordAndCheck(44100, false);
}

TEST_F(SoundTracksTest, BothSourcesAt48000WhileRecordingEachOnItsOwnTrackAndMixed) {
  recordAndCheck(48000, true);
}

}  // namespace
