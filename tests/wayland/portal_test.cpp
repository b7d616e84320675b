// qvrec on a Wayland desktop, through the screen-cast portal and PipeWire. Runs inside
// tests/wayland/portal_stack.sh, which starts the desktop, the portal, PipeWire with its
// PulseAudio server, the client drawing the bands (qv_bands_client) and a 1 kHz tone.
//
// One 5 s recording is checked several ways; a second one reuses the kept grant and records
// the capture device; a third lives through a mode change; the last one loses the portal.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bands.h"
#include "qvf.h"
#include "qvf_decode.h"
#include "sound_analysis.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kFps = 30;
constexpr double kWalkAfterSeconds = 0.8;

std::string binDir() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (n <= 0) return ".";
  std::string self(path, static_cast<size_t>(n));
  return self.substr(0, self.find_last_of('/'));
}

std::string workDir() {
  static const std::string dir = [] {
    char pattern[] = "/tmp/qv-portal-test.XXXXXX";
    return std::string(mkdtemp(pattern));
  }();
  return dir;
}

std::string tokenFile() {
  return std::string(std::getenv("XDG_STATE_HOME")) + "/quorvane/screen-cast-token";
}

std::string readText(const std::string& path) {
  std::vector<uint8_t> bytes;
  if (!qvtest::readFileBytes(path, &bytes)) return std::string();
  return std::string(bytes.begin(), bytes.end());
}

struct QvrecRun {
  int exitCode = -1;
  std::string output;
};

// Runs a shell command line (qvrec with its arguments), its output kept; `during` runs while
// it does, after `delaySeconds`.
template <typename During>
QvrecRun runQvrec(const std::string& arguments, double delaySeconds, During during) {
  const std::string log = workDir() + "/qvrec.log";
  const std::string command = binDir() + "/qvrec " + arguments + " >" + log + " 2>&1";
  const pid_t pid = fork();
  if (pid == 0) {
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  // The square walks in every recording: this desktop sends the first picture of a cast only
  // once the screen changes.
  std::this_thread::sleep_for(std::chrono::duration<double>(kWalkAfterSeconds));
  kill(static_cast<pid_t>(std::atoi(std::getenv("QV_BANDS_PID"))), SIGUSR1);
  std::this_thread::sleep_for(
      std::chrono::duration<double>(std::max(0.0, delaySeconds - kWalkAfterSeconds)));
  during();
  int status = 0;
  waitpid(pid, &status, 0);
  QvrecRun run;
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.output = readText(log);
  return run;
}

QvrecRun runQvrec(const std::string& arguments) {
  return runQvrec(arguments, 0.0, [] {});
}

// The YUY2 values BT.709 TV range gives a colour (the library's choice from 720 lines up).
void expectedYuv(uint32_t rgb, double* y, double* u, double* v) {
  const double r = ((rgb >> 16) & 0xFF) / 255.0, g = ((rgb >> 8) & 0xFF) / 255.0,
               b = (rgb & 0xFF) / 255.0;
  const double luma = 0.2126 * r + 0.7152 * g + 0.0722 * b;
  *y = 16 + 219 * luma;
  *u = 128 + 224 * (b - luma) / 1.8556;
  *v = 128 + 224 * (r - luma) / 1.5748;
}

bool pixelIs(const std::vector<uint8_t>& picture, int x, int y, uint32_t rgb) {
  double ey, eu, ev;
  expectedYuv(rgb, &ey, &eu, &ev);
  const size_t row = static_cast<size_t>(y) * kWidth * 2;
  const size_t pair = row + static_cast<size_t>(x & ~1) * 2;
  return std::fabs(picture[row + x * 2] - ey) <= 4 && std::fabs(picture[pair + 1] - eu) <= 4 &&
         std::fabs(picture[pair + 3] - ev) <= 4;
}

// Every band at its middle, on a row the square never crosses and on the square's rows left
// of it; "" when all hold.
std::string bandsProblem(const std::vector<uint8_t>& picture) {
  for (int band = 0; band < kBands; ++band) {
    const int x = (2 * band + 1) * kWidth / (2 * kBands);
    for (int y : {10, 600, kHeight - 10}) {
      if (!pixelIs(picture, x, y, qvBandColour(x, kWidth))) {
        return "band " + std::to_string(band) + " wrong at " + std::to_string(x) + "," +
               std::to_string(y);
      }
    }
  }
  return std::string();
}

// The square's step from its left edge on its middle row; -1 when no square is there.
int squareStep(const std::vector<uint8_t>& picture) {
  const int y = kSquareTop + kSquareSize / 2;
  for (int x = 0; x + kSquareSize <= kWidth; ++x) {
    if (!pixelIs(picture, x, y, 0xFFFFFF)) continue;
    for (int k = 0; k < kSquareSize; k += 8) {
      if (!pixelIs(picture, x + k, y, 0xFFFFFF)) return -1;
    }
    const int offset = x - kSquareFirstLeft;
    return offset % kSquareStep == 0 ? offset / kSquareStep : -1;
  }
  return -1;
}

std::string wavOf(const std::string& qvf) { return qvf.substr(0, qvf.size() - 4) + ".wav"; }

// The left channel of a 16-bit PCM WAV file, from its data chunk.
std::vector<double> wavLeft(const std::string& path) {
  const std::vector<uint8_t> bytes = qvtest::readFile(path);
  for (size_t at = 12; at + 8 <= bytes.size();) {
    const uint32_t size = qvtest::u32(bytes, at + 4);
    if (std::string(bytes.begin() + at, bytes.begin() + at + 4) == "data") {
      return qvtest::leftChannel(bytes.data() + at + 8,
                                 std::min<size_t>(size, bytes.size() - at - 8));
    }
    at += 8 + size + (size & 1);
  }
  return {};
}

void expectTone(const std::string& wav) {
  const std::vector<double> left = wavLeft(wav);
  ASSERT_GE(left.size(), 44100u) << wav;
  double sum = 0;
  for (size_t i = left.size() / 2; i < left.size() / 2 + 22050; ++i) sum += left[i] * left[i];
  EXPECT_GT(std::sqrt(sum / 22050), 3000.0) << wav << ": silent";
  EXPECT_NEAR(qvtest::dominantFrequency(left, (left.size() - 44100) / 2), 1000.0, 20.0) << wav;
}

class PortalRecording : public ::testing::Test {
 protected:
  // The first recording: a fresh grant, what the computer plays, the square walking for its
  // first half and standing still for the rest.
  static void SetUpTestSuite() {
    unlink(tokenFile().c_str());
    first_ = new QvrecRun(runQvrec("record --duration 5 --no-cursor --sound desktop -q -o " +
                                   workDir() + "/first.qvf"));
    std::string error;
    file_ = new qvtest::QvfFile();
    pictures_ = new std::vector<std::vector<uint8_t>>();
    if (!qvtest::readQvf(workDir() + "/first.qvf", file_, &error) ||
        !qvtest::decodePictures(*file_, pictures_, &error)) {
      decodeError_ = new std::string(error.empty() ? "no file" : error);
    }
  }
  static void TearDownTestSuite() {
    delete first_;
    delete file_;
    delete pictures_;
    delete decodeError_;
  }
  void SetUp() override {
    ASSERT_EQ(first_->exitCode, 0) << first_->output;
    ASSERT_EQ(decodeError_, nullptr) << *decodeError_;
  }

  static QvrecRun* first_;
  static qvtest::QvfFile* file_;
  static std::vector<std::vector<uint8_t>>* pictures_;
  static std::string* decodeError_;
};

QvrecRun* PortalRecording::first_ = nullptr;
qvtest::QvfFile* PortalRecording::file_ = nullptr;
std::vector<std::vector<uint8_t>>* PortalRecording::pictures_ = nullptr;
std::string* PortalRecording::decodeError_ = nullptr;

TEST_F(PortalRecording, ListNamesThePortalAndX11IsForcedOnRequest) {
  const QvrecRun list = runQvrec("list");
  EXPECT_EQ(list.exitCode, 0) << list.output;
  EXPECT_NE(list.output.find("screen: portal"), std::string::npos) << list.output;
  // The wlr backend offers monitors only.
  EXPECT_NE(list.output.find("monitors only"), std::string::npos) << list.output;

  // Forced to X11 on a desktop without an X server: refused, with the reason.
  const QvrecRun x11 =
      runQvrec("record --backend x11 --duration 1 --sound none -o " + workDir() + "/x11.qvf");
  EXPECT_EQ(x11.exitCode, 4) << x11.output;
  EXPECT_NE(x11.output.find("no display to record"), std::string::npos) << x11.output;
}

// Every picture holds exactly the bands; the square stands where the client drew it, walking
// right and never back.
TEST_F(PortalRecording, PicturesAreTheBandsWithTheWalkingSquare) {
  EXPECT_EQ(file_->width, static_cast<uint64_t>(kWidth));
  EXPECT_EQ(file_->height, static_cast<uint64_t>(kHeight));
  // A constant rate: a record for every slot of the 5 s (a loaded machine may start late).
  ASSERT_GE(pictures_->size(), 4.5 * kFps);
  ASSERT_LE(pictures_->size(), 5.0 * kFps + 2);
  int last = -1;
  std::vector<int> seen;
  for (size_t i = 0; i < pictures_->size(); ++i) {
    const std::vector<uint8_t>& picture = (*pictures_)[i];
    ASSERT_EQ(bandsProblem(picture), "") << "picture " << i;
    const int step = squareStep(picture);
    ASSERT_GE(step, 0) << "no square where the client draws it, picture " << i;
    ASSERT_LE(step, kSteps);
    ASSERT_GE(step, last) << "the square went back, picture " << i;
    if (step != last) seen.push_back(step);
    last = step;
  }
  EXPECT_GE(seen.size(), 10u) << "the square's walk was not followed";
  EXPECT_EQ(last, kSteps);
}

// Once the square stands still no picture comes; the last one stands, stored as repeats (key
// frames aside).
TEST_F(PortalRecording, StillScreenIsStoredAsRepeats) {
  size_t still = 0;
  while (still < pictures_->size() && squareStep((*pictures_)[still]) != kSteps) ++still;
  const std::string tail = file_->videoPattern().substr(still + 1);
  EXPECT_GE(tail.size(), static_cast<size_t>(kFps)) << "the square's walk took the recording";
  EXPECT_EQ(tail.find('D'), std::string::npos) << file_->videoPattern();
}

TEST_F(PortalRecording, RecordOfHowItWasMadeNamesThePortal) {
  bool found = false;
  for (const qvtest::QvfRecord& r : file_->records) {
    if (r.type != qvf::RECORD_PROVENANCE) continue;
    found = true;
    EXPECT_EQ(qvtest::parseProvenance(file_->bytes, r).text(qvf::PROVENANCE_SCREEN_PATH), "portal");
  }
  EXPECT_TRUE(found);
}

TEST_F(PortalRecording, SoundOfWhatTheComputerPlaysThroughPipewire) {
  expectTone(wavOf(workDir() + "/first.qvf"));
}

// The grant of the first recording is kept and offered again; the capture device records
// through pipewire-pulse too.
TEST_F(PortalRecording, SecondRecordingReusesTheGrantAndRecordsTheCaptureDevice) {
  const std::string token = readText(tokenFile());
  ASSERT_FALSE(token.empty()) << "no restore token kept";
  const QvrecRun second =
      runQvrec("record --duration 2 --no-cursor --sound mic -q -o " + workDir() + "/second.qvf");
  ASSERT_EQ(second.exitCode, 0) << second.output;
  EXPECT_FALSE(readText(tokenFile()).empty());
  expectTone(wavOf(workDir() + "/second.qvf"));

  // Choosing again forgets the grant: the portal makes a new one.
  const QvrecRun again =
      runQvrec("record --duration 1 --choose-again --sound none -q -o " + workDir() + "/again.qvf");
  EXPECT_EQ(again.exitCode, 0) << again.output;
  const std::string fresh = readText(tokenFile());
  EXPECT_FALSE(fresh.empty());
  EXPECT_NE(fresh, token);
}

// The output's mode changes mid-recording: the recording keeps its size, the new picture
// scaled into it (same shape: the bands stay where they were).
TEST_F(PortalRecording, ModeChangeMidRecordingIsScaledIntoTheSize) {
  const QvrecRun changed =
      runQvrec("record --duration 5 --no-cursor --sound none -q -o " + workDir() + "/mode.qvf", 2.0,
               [] { std::system("swaymsg output HEADLESS-1 mode 1280x720 >/dev/null 2>&1"); });
  std::system("swaymsg output HEADLESS-1 mode 1920x1080 >/dev/null 2>&1");
  ASSERT_EQ(changed.exitCode, 0) << changed.output;
  qvtest::QvfFile file;
  std::vector<std::vector<uint8_t>> pictures;
  std::string error;
  ASSERT_TRUE(qvtest::readQvf(workDir() + "/mode.qvf", &file, &error) &&
              qvtest::decodePictures(file, &pictures, &error))
      << error;
  EXPECT_EQ(file.width, static_cast<uint64_t>(kWidth));
  ASSERT_GE(pictures.size(), 4u * kFps);
  // While the client has not yet redrawn for the new size, the screen shows its old picture cut
  // to the new size: a few pictures of that are what the screen showed.
  std::vector<size_t> others;
  for (size_t i = 0; i < pictures.size(); ++i) {
    if (!bandsProblem(pictures[i]).empty()) others.push_back(i);
  }
  EXPECT_LE(others.size(), 5u) << "from picture " << others.front();
  EXPECT_EQ(bandsProblem(pictures.front()), "");
  EXPECT_EQ(bandsProblem(pictures.back()), "");
  // After the change the client draws on the smaller output; its square comes back scaled by
  // 1.5 (the middle of its last place, 896,160, lands at 1344,240).
  const std::vector<uint8_t>& last = pictures.back();
  const int y = (kSquareTop + kSquareSize / 2) * 3 / 2;
  const int x = (qvSquareLeft(kSteps) + kSquareSize / 2) * 3 / 2;
  EXPECT_TRUE(pixelIs(last, x, y, 0xFFFFFF)) << "the scaled square is not in the last picture";
}

// The portal goes away mid-recording: the recording stops with its status, files complete.
TEST_F(PortalRecording, PortalGoneEndsTheRecordingWithCompleteFiles) {
  const char* backend = std::getenv("QV_PORTAL_PID");
  ASSERT_NE(backend, nullptr);
  const QvrecRun lost =
      runQvrec("record --duration 10 --no-cursor --sound desktop -q -o " + workDir() + "/lost.qvf",
               1.5, [backend] { kill(static_cast<pid_t>(std::atoi(backend)), SIGTERM); });
  EXPECT_EQ(lost.exitCode, 8) << lost.output;  // the source was lost, the files are complete
  EXPECT_NE(lost.output.find("stopped being shared"), std::string::npos) << lost.output;
  qvtest::QvfFile file;
  std::string error;
  ASSERT_TRUE(qvtest::readQvf(workDir() + "/lost.qvf", &file, &error)) << error;
  EXPECT_TRUE(qvtest::indexMatchesWalk(file, &error)) << error;
  EXPECT_LT(file.videoRecords().size(), 8u * kFps);
  EXPECT_GE(wavLeft(wavOf(workDir() + "/lost.qvf")).size(), 44100u);
}

}  // namespace
