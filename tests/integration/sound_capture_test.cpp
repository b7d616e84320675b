// Sound capture against a real PulseAudio daemon: a 1 kHz tone played into a null sink is
// recorded from its monitor through the exported threads, written as WAV and checked with sox
// and by analysing the samples. Also: no daemon at all, stops before and during the capture,
// and a pool that runs out while recording.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "capture_state.h"
#include "direct_sound_capture.h"
#include "qvf_decode.h"
#include "sound_analysis.h"
#include "sound_recording.h"
#include "test_servers.h"

namespace quorvane_capture {
namespace {

using qvtest::Clock;
using qvtest::dominantFrequency;
using qvtest::leftChannel;
using qvtest::readFile;
using qvtest::secondsSince;
using qvtest::sineBreaks;
using qvtest::sineHoldsAround;
using qvtest::u32;

// Output of a shell command (its error output too when asked), or "" when it failed.
std::string run(const std::string& command, bool withErrors = false) {
  std::string out;
  FILE* pipe = popen((command + (withErrors ? " 2>&1" : " 2>/dev/null")).c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[256];
  while (fgets(buffer, sizeof(buffer), pipe) != nullptr) out += buffer;
  return pclose(pipe) == 0 ? out : "";
}

std::string tempPath(const std::string& name) {
  return "/tmp/qv_sound_" + std::to_string(getpid()) + "_" + name;
}

class SoundCaptureTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    xvfb_ = new qvtest::XvfbServer(320, 240);
    pulse_ = new qvtest::PulseServer();
    if (!pulse_->running()) return;
    // A generous client latency keeps the tone itself from running dry on a busy machine, which
    // would put server-made silence into the recording. The idle null sink first delivers in
    // 2 s blocks, so the tone settles before any test records.
    tone_ = qvtest::spawn({"sh", "-c",
                           "sox -q -n -t raw -r 44100 -c 2 -b 16 -e signed-integer - synth 3600 "
                           "sine 1000 vol 0.5 | pacat --raw --format=s16le --rate=44100 "
                           "--channels=2 --latency-msec=250"});
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  }
  static void TearDownTestSuite() {
    qvtest::stopProcess(tone_);
    delete pulse_;
    delete xvfb_;
    pulse_ = nullptr;
    xvfb_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(xvfb_->running());
    ASSERT_TRUE(pulse_->running());
  }
  void TearDown() override { Finalize(); }

  static qvtest::XvfbServer* xvfb_;
  static qvtest::PulseServer* pulse_;
  static pid_t tone_;
};
pid_t SoundCaptureTest::tone_ = -1;
qvtest::XvfbServer* SoundCaptureTest::xvfb_ = nullptr;
qvtest::PulseServer* SoundCaptureTest::pulse_ = nullptr;

TEST_F(SoundCaptureTest, RecordsTheToneIntoAValidWavFile) {
  const auto initStart = Clock::now();
  qvtest::initializeSoundRecording();
  const double initSeconds = secondsSince(initStart);
  ASSERT_EQ(getInitializeStatus(), QV_INIT_OK);
  ASSERT_NE(dsc, nullptr);
  ASSERT_TRUE(dsc->hasDevice());
  EXPECT_LT(initSeconds, 1.0 * qvtest::kSlowdown);

  // Pictures too, so that the container gets written: the output thread finishes them.
  auto video = std::async(std::launch::async, [] { return CaptureThread(nullptr); });
  auto audio = std::async(std::launch::async, [] { return AudioCaptureThread(nullptr); });
  // The wall clock starts with the device, not with the thread, which a loaded machine may
  // start late.
  ASSERT_TRUE(qvtest::waitUntilCapturing(std::chrono::seconds(1)));
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(3));
  const double wall = secondsSince(start);
  setTerminated(1);
  // setTerminated returns only once the loop has ended; the thread returns right after it.
  EXPECT_TRUE(dsc->getDone());
  ASSERT_EQ(audio.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(audio.get(), 1u);
  ASSERT_GT(video.get(), 0u);

  // The chunks: about two per second, whole sample frames, adding up to what was counted.
  const std::vector<POINTER_AND_SIZE>& chunks = *dsc->getDataList();
  uint64_t total = 0;
  for (const POINTER_AND_SIZE& c : chunks) {
    EXPECT_EQ(c.size % 4, 0u);
    total += c.size;
  }
  EXPECT_GE(chunks.size(), 6u);
  EXPECT_LE(chunks.size(), 12u);
  EXPECT_EQ(total, dsc->getCapturedBytes());

  // Both writers at once, as the host may run them.
  const std::string path = tempPath("tone.wav");
  const std::string container = tempPath("tone.qvf");
  auto wav = std::async(std::launch::async,
                        [&path] { return AudioOutputThread(const_cast<char*>(path.c_str())); });
  EXPECT_GT(OutputThread(const_cast<char*>(container.c_str())), 0u);
  ASSERT_EQ(wav.get(), 0u);
  const std::vector<uint8_t> b = readFile(path);

  // The container's sound records hold exactly the WAV file's samples, chunk by chunk.
  qvtest::QvfFile qvf;
  std::string error;
  ASSERT_TRUE(qvtest::readQvf(container, &qvf, &error)) << error;
  std::remove(container.c_str());
  EXPECT_EQ(qvf.audioChannels, 2u);
  EXPECT_EQ(qvf.audioBitsPerSample, 16u);
  EXPECT_EQ(qvf.audioSampleRate, 44100u);
  size_t audioRecords = 0;
  for (const qvtest::QvfRecord& r : qvf.records) audioRecords += r.type == qvtest::kQvfAudio;
  EXPECT_EQ(audioRecords, chunks.size());
  ASSERT_GE(b.size(), 44u);
  EXPECT_TRUE(qvf.audio() == std::vector<uint8_t>(b.begin() + 44, b.end()));
  ASSERT_GE(b.size(), 44u);
  const uint32_t data = u32(b, 40);
  EXPECT_EQ(data, b.size() - 44);
  EXPECT_EQ(u32(b, 4), b.size() - 8);
  EXPECT_EQ(data, total);
  // The object's own header was completed by the stop and says the same.
  const uint8_t* header = dsc->getWavHeader();
  EXPECT_EQ(std::vector<uint8_t>(header, header + 44),
            std::vector<uint8_t>(b.begin(), b.begin() + 44));

  const double duration = data / 176400.0;
  EXPECT_NEAR(duration, wall, 0.1);
  std::printf("Initialize %.3f s; recorded %.3f s of sound in %.3f s; %zu chunks\n", initSeconds,
              duration, wall, chunks.size());

  // sox reads it as what it claims to be.
  EXPECT_EQ(run("sox --i -r '" + path + "'"), "44100\n");
  EXPECT_EQ(run("sox --i -c '" + path + "'"), "2\n");
  EXPECT_NEAR(std::atof(run("sox --i -D '" + path + "'").c_str()), duration, 0.001);
  // sox decodes every sample and finds a sound at about -9 dBFS RMS (a half-scale sine).
  const std::string stats = run("sox '" + path + "' -n stats", true);
  const size_t rmsAt = stats.find("RMS lev dB");
  ASSERT_NE(rmsAt, std::string::npos) << "sox could not decode the samples: " << stats;
  EXPECT_NEAR(std::atof(stats.c_str() + rmsAt + 10), -9.0, 1.0) << stats;

  const std::vector<double> left = leftChannel(b.data() + 44, data);
  ASSERT_GE(left.size(), 2u * 44100u);
  // Skip the first 0.1 s: the stream may open on a partial fragment.
  EXPECT_EQ(dominantFrequency(left, 4410), 1000.0);
  EXPECT_EQ(dominantFrequency(left, left.size() - 44100), 1000.0);
  double square = 0.0;
  for (size_t i = 4410; i < left.size(); ++i) square += left[i] * left[i];
  const double rms = std::sqrt(square / (left.size() - 4410));
  EXPECT_GT(rms, 9000.0);  // a half-scale sine: 11585
  EXPECT_LT(rms, 12000.0);
  // Where one transfer ends and the next begins (the ring's wrap included) the sine runs on
  // unbroken: nothing was lost or taken twice between transfers. Elsewhere the server may
  // have had to fill in silence when the tone ran dry; that is counted, not blamed on us.
  // The silence that pads the sound to the stop's moment (what the server had not delivered
  // yet) follows the last transfer: its start is no break.
  size_t soundEnd = left.size();
  while (soundEnd > 0 && left[soundEnd - 1] == 0) --soundEnd;
  size_t boundary = 0;
  for (const POINTER_AND_SIZE& c : chunks) {
    boundary += c.size / 4;
    if (boundary >= 4410 && boundary + 3 < soundEnd) {
      EXPECT_TRUE(sineHoldsAround(left, boundary))
          << "break at the transfer ending at sample " << boundary;
    }
  }
  std::printf("tone RMS %.0f, %zu places where the sine breaks\n", rms, sineBreaks(left).size());
  if (!HasFailure()) std::remove(path.c_str());
}

// The device is stopped before the loop is asked to end: the last transfer takes the sound up
// to the device's final position, also when a notification arrives during the stop.
TEST_F(SoundCaptureTest, TheStopTakesTheSoundUpToTheDevicesFinalPosition) {
  for (int round = 0; round < 12; ++round) {
    const qvtest::StopResult r = qvtest::recordAndStop(0.502 + 0.002 * round);
    ASSERT_TRUE(r.ran) << "round " << round;
    EXPECT_EQ(r.unread, 0u) << "round " << round;
    EXPECT_NEAR(r.soundSeconds, r.wallSeconds, 0.1) << "round " << round;
  }
}

TEST_F(SoundCaptureTest, StopBeforeTheThreadStartsKeepsItFromRunning) {
  qvtest::initializeSoundRecording();
  ASSERT_TRUE(dsc->hasDevice());
  setTerminated(1);
  auto audio = std::async(std::launch::async, [] { return AudioCaptureThread(nullptr); });
  ASSERT_EQ(audio.wait_for(std::chrono::seconds(2)), std::future_status::ready)
      << "the loop ran although the recording was already stopped";
  EXPECT_EQ(audio.get(), 0u);
  EXPECT_TRUE(dsc->getDataList()->empty());

  const std::string path = tempPath("nothing.wav");
  ASSERT_EQ(AudioOutputThread(const_cast<char*>(path.c_str())), 0u);
  const std::vector<uint8_t> b = readFile(path);
  ASSERT_EQ(b.size(), 44u);
  EXPECT_EQ(u32(b, 4), 36u);
  EXPECT_EQ(u32(b, 40), 0u);
  EXPECT_EQ(run("sox --i -s '" + path + "'"), "0\n");
  std::remove(path.c_str());
}

// The host's stop and the audio thread's start race: whichever wins, the thread ends.
TEST_F(SoundCaptureTest, StopRacingTheStartNeverLeavesTheLoopRunning) {
  for (int round = 0; round < 8; ++round) {
    qvtest::initializeSoundRecording();
    ASSERT_TRUE(dsc->hasDevice());
    auto audio = std::async(std::launch::async, [] { return AudioCaptureThread(nullptr); });
    if (round % 2 == 1) std::this_thread::sleep_for(std::chrono::microseconds(200 * round));
    setTerminated(1);
    ASSERT_EQ(audio.wait_for(std::chrono::seconds(3)), std::future_status::ready)
        << "round " << round;
    audio.get();
    Finalize();
  }
}

TEST_F(SoundCaptureTest, ClearingTheFlagAlsoStopsAndASecondStopChangesNothing) {
  qvtest::initializeSoundRecording();
  auto audio = std::async(std::launch::async, [] { return AudioCaptureThread(nullptr); });
  // A loaded machine may take a while to start the thread; the stop must meet a running loop.
  ASSERT_TRUE(qvtest::waitUntilCapturing(std::chrono::seconds(10)));
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  setTerminated(0);
  EXPECT_TRUE(dsc->getDone());
  ASSERT_EQ(audio.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(audio.get(), 1u);
  const uint32_t captured = dsc->getCapturedBytes();
  EXPECT_NEAR(captured / 176400.0, 1.2, 0.1);
  const std::vector<uint8_t> header(dsc->getWavHeader(), dsc->getWavHeader() + 44);
  EXPECT_EQ(u32(header, 40), captured);
  EXPECT_EQ(u32(header, 4), captured + 36);

  EXPECT_FALSE(dsc->StopWrite());
  setTerminated(1);
  EXPECT_EQ(dsc->getCapturedBytes(), captured);
  EXPECT_EQ(std::vector<uint8_t>(dsc->getWavHeader(), dsc->getWavHeader() + 44), header);
  // No restart on the same recording, even with the flag cleared again.
  setTerminated(0);
  auto again = std::async(std::launch::async, [] { return AudioCaptureThread(nullptr); });
  ASSERT_EQ(again.wait_for(std::chrono::seconds(1)), std::future_status::ready);
  EXPECT_EQ(again.get(), 0u);
}

TEST_F(SoundCaptureTest, FinalizeWithoutACaptureIsQuick) {
  qvtest::initializeSoundRecording();
  ASSERT_TRUE(dsc->hasDevice());
  const auto start = Clock::now();
  Finalize();
  EXPECT_EQ(dsc, nullptr);
  EXPECT_LT(secondsSince(start), 0.5 * qvtest::kSlowdown);
  Finalize();  // twice is harmless
}

// The pool runs out during the capture: the loop ends by itself, keeps what it took, the video
// side's flag is left alone, and the WAV file describes exactly the chunks held.
TEST_F(SoundCaptureTest, AnExhaustedPoolEndsTheCaptureKeepingItsChunks) {
  MyMemoryAllocator pool(1 << 20, 1 << 20);
  ASSERT_GT(pool.totalSize, 200000u);
  // Leaves room for a little over two transfers.
  ASSERT_NE(pool.allocateFromBottom(pool.totalSize - 200000), nullptr);
  {
    DirectSoundCapture capture;
    ASSERT_TRUE(capture.hasDevice());
    capture.setMyMemoryAllocator(&pool);
    auto loop = std::async(std::launch::async, [&capture] { return capture.StartWrite(); });
    ASSERT_EQ(loop.wait_for(std::chrono::seconds(5)), std::future_status::ready)
        << "the loop did not end on an exhausted pool";
    EXPECT_TRUE(loop.get());
    EXPECT_TRUE(capture.getDone());
    // The picture stops with the sound, which would otherwise be silently shorter.
    EXPECT_TRUE(getTerminated());
    EXPECT_EQ(recordingStatus(), QV_STATUS_POOL_FULL);
    resetRecordingState();

    uint64_t total = 0;
    for (const POINTER_AND_SIZE& c : *capture.getDataList()) total += c.size;
    EXPECT_GT(total, 100000u);
    EXPECT_LE(total, 200000u);
    EXPECT_EQ(total, capture.getCapturedBytes());

    EXPECT_FALSE(capture.StopWrite());
    EXPECT_EQ(u32(std::vector<uint8_t>(capture.getWavHeader(), capture.getWavHeader() + 44), 40),
              0u)
        << "the header is completed only by a stop";
    const std::string path = tempPath("exhausted.wav");
    ASSERT_EQ(capture.SaveToWavFile(path.c_str()), WAV_WRITTEN);
    const std::vector<uint8_t> b = readFile(path);
    std::remove(path.c_str());
    EXPECT_EQ(b.size(), 44 + total);
    EXPECT_EQ(u32(b, 40), total);
    EXPECT_EQ(u32(b, 4), total + 36);
  }
  EXPECT_EQ(pool.getUsedSize(), pool.totalSize - 200000) << "the chunks went back to the pool";
}

// Without any sound server the recording goes on without sound. (The daemon of the suite is
// still running, but the library is pointed elsewhere.)
TEST_F(SoundCaptureTest, WithoutAServerTheRecordingCarriesOnWithoutSound) {
  const char* previous = std::getenv("PULSE_SERVER");
  const std::string saved = previous != nullptr ? previous : "";
  setenv("PULSE_SERVER", ("unix:" + tempPath("no_server_here")).c_str(), 1);

  const auto start = Clock::now();
  qvtest::initializeSoundRecording();
  EXPECT_LT(secondsSince(start), 1.0 * qvtest::kSlowdown)
      << "Initialize waited for a server that is not there";
  ASSERT_EQ(getInitializeStatus(), QV_INIT_OK);
  ASSERT_NE(dsc, nullptr);
  EXPECT_FALSE(dsc->hasDevice());

  auto audio = std::async(std::launch::async, [] { return AudioCaptureThread(nullptr); });
  ASSERT_EQ(audio.wait_for(std::chrono::seconds(1)), std::future_status::ready);
  EXPECT_EQ(audio.get(), 0u);
  setTerminated(1);
  EXPECT_FALSE(dsc->StopWrite());
  EXPECT_FALSE(dsc->StopWrite());

  const std::string path = tempPath("silent.wav");
  ASSERT_EQ(AudioOutputThread(const_cast<char*>(path.c_str())), 0u);
  const std::vector<uint8_t> b = readFile(path);
  ASSERT_EQ(b.size(), 44u);
  EXPECT_EQ(u32(b, 40), 0u);
  EXPECT_EQ(run("sox --i -s '" + path + "'"), "0\n");
  std::remove(path.c_str());
  Finalize();

  if (saved.empty()) {
    unsetenv("PULSE_SERVER");
  } else {
    setenv("PULSE_SERVER", saved.c_str(), 1);
  }
}

}  // namespace
}  // namespace quorvane_capture
