// The capture device under a real sound server (Wine's PulseAudio driver), through WASAPI and
// through DirectSound: the runner plays a 1 kHz tone into the default sink whose monitor is the
// default source. Also the recording
// without a capture device, in a child process for which Wine's audio driver is switched off.
#include <gtest/gtest.h>
#include <windows.h>
// After windows.h.
#include <mmdeviceapi.h>
#include <propidl.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <future>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "capture_state.h"
#include "direct_sound_capture.h"
#include "sound_analysis.h"
#include "sound_recording.h"
#include "win32/wasapi_stream.h"

namespace quorvane_capture {
namespace {

using qvtest::Clock;
using qvtest::dominantFrequency;
using qvtest::readFile;
using qvtest::secondsSince;
using qvtest::u32;

std::string tempPath(const std::string& name) {
  char dir[MAX_PATH];
  GetTempPathA(MAX_PATH, dir);
  return std::string(dir) + "qv_sound_" + std::to_string(GetCurrentProcessId()) + "_" + name;
}

bool childRun() { return std::getenv("QV_SOUND_CHILD") != nullptr; }

class SoundDirectSoundTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (childRun()) GTEST_SKIP() << "the child runs only the test without a device";
  }
  void TearDown() override { Finalize(); }
};

// The tone's frequency to a tenth of a hertz, from two seconds of sound at `rate`: a rate taken
// for another (48 kHz sound read as 44.1 kHz) is 88 Hz off, a resampler's ratio slightly wrong
// a few hertz.
double toneFrequency(const std::vector<double>& x, size_t begin, double rate) {
  const size_t count = static_cast<size_t>(2 * rate);
  double best = 0.0, bestPower = -1.0;
  for (double f = 990.0; f <= 1010.0; f += 0.1) {
    const double p = qvtest::powerAt(x, begin, count, f, rate);
    if (p > bestPower) {
      bestPower = p;
      best = f;
    }
  }
  return best;
}

// The capture device's way in (WASAPI in its own 48 kHz float mix, or DirectSound, which the
// system converts) and the recording's rate.
struct ToneCase {
  const char* name;
  bool wasapi;
  int32_t rate;
};

class CaptureDeviceTone : public SoundDirectSoundTest,
                          public ::testing::WithParamInterface<ToneCase> {
 protected:
  void TearDown() override {
    Finalize();
    platform::setWasapiCapture(true);
    setSoundRate(44100);
  }
};

TEST_P(CaptureDeviceTone, RecordsTheToneAtTheRecordingsRate) {
  const ToneCase c = GetParam();
  platform::setWasapiCapture(c.wasapi);
  ASSERT_EQ(setSoundRate(c.rate), 1);
  const auto initStart = Clock::now();
  qvtest::initializeSoundRecording();
  const double initSeconds = secondsSince(initStart);
  ASSERT_EQ(getInitializeStatus(), QV_INIT_OK);
  ASSERT_NE(dsc, nullptr);
  ASSERT_TRUE(dsc->hasDevice()) << "no capture device (PULSE_SERVER="
                                << (std::getenv("PULSE_SERVER") ? std::getenv("PULSE_SERVER")
                                                                : "unset")
                                << ")";
  EXPECT_EQ(platform::wasapiStreamsOpen(), c.wasapi ? 1 : 0) << "the way the device was opened";

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

  uint64_t total = 0;
  for (const POINTER_AND_SIZE& chunk : *dsc->getDataList()) {
    EXPECT_EQ(chunk.size % 4, 0u);
    total += chunk.size;
  }
  EXPECT_EQ(total, dsc->getCapturedBytes());
  EXPECT_FALSE(dsc->StopWrite()) << "a second stop has nothing to stop";

  const std::string path = tempPath("tone.wav");
  ASSERT_EQ(AudioOutputThread(const_cast<char*>(path.c_str())), 0u);
  const std::vector<uint8_t> b = readFile(path);
  std::remove(path.c_str());
  ASSERT_GE(b.size(), 44u);
  EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "RIFF");
  EXPECT_EQ(u32(b, 4), b.size() - 8);
  EXPECT_EQ(u32(b, 40), b.size() - 44);
  EXPECT_EQ(u32(b, 40), total);
  EXPECT_EQ(u32(b, 24), static_cast<uint32_t>(c.rate));
  EXPECT_EQ(u32(b, 28), static_cast<uint32_t>(c.rate) * 4);

  const double duration = total / (c.rate * 4.0);
  std::printf("Initialize %.3f s; recorded %.3f s of sound in %.3f s; %zu chunks\n", initSeconds,
              duration, wall, dsc->getDataList()->size());
  // Never more sound than time. Wine's audio driver passes the sound on in periods of 10 ms
  // and keeps up to a few of them when the device starts and stops (20 to 70 ms were seen on
  // a loaded machine); a lost or doubled half-buffer would be 0.5 s.
  EXPECT_LE(duration, wall + 0.05);
  EXPECT_GE(duration, wall - 0.15);

  const std::vector<double> left = qvtest::leftChannel(b.data() + 44, b.size() - 44);
  ASSERT_GE(left.size(), static_cast<size_t>(c.rate) * 5 / 2);
  const double early = toneFrequency(left, c.rate / 10, c.rate);
  const double late = toneFrequency(left, left.size() - 2 * c.rate, c.rate);
  std::printf("tone measured %.1f Hz, then %.1f Hz\n", early, late);
  EXPECT_NEAR(early, 1000.0, 0.5);
  EXPECT_NEAR(late, 1000.0, 0.5);
}

INSTANTIATE_TEST_SUITE_P(Wine, CaptureDeviceTone,
                         ::testing::Values(ToneCase{"Wasapi44100", true, 44100},
                                           ToneCase{"Wasapi48000", true, 48000},
                                           ToneCase{"DirectSound44100", false, 44100}),
                         [](const ::testing::TestParamInfo<ToneCase>& info) {
                           return std::string(info.param.name);
                         });

// The device's name as the system gives it, the same through WASAPI's endpoint and through
// DirectSound's list, kept after the device is closed.
TEST_F(SoundDirectSoundTest, NamesTheCaptureDeviceEitherWay) {
  std::vector<std::string> names[2];
  for (int wasapi = 0; wasapi < 2; ++wasapi) {
    platform::setWasapiCapture(wasapi == 1);
    platform::SoundCaptureBuffer buffer;
    ASSERT_TRUE(buffer.openDevice(platform::SoundSource::kCaptureDevice));
    EXPECT_EQ(platform::wasapiStreamsOpen(), wasapi);
    names[wasapi] = buffer.deviceNames();
    buffer.close();
    EXPECT_EQ(buffer.deviceNames(), names[wasapi]);
  }
  platform::setWasapiCapture(true);
  ASSERT_EQ(names[1].size(), 1u);
  std::printf("the capture device: \"%s\"\n", names[1][0].c_str());
  EXPECT_FALSE(names[1][0].empty());
  EXPECT_EQ(names[0], names[1]);
}

TEST_F(SoundDirectSoundTest, TheStopTakesTheSoundUpToTheDevicesFinalPosition) {
  for (int round = 0; round < 12; ++round) {
    const qvtest::StopResult r = qvtest::recordAndStop(0.502 + 0.002 * round);
    ASSERT_TRUE(r.ran) << "round " << round;
    EXPECT_EQ(r.unread, 0u) << "round " << round;
    // Wine's driver keeps a few 10 ms periods at the start and stop (see above).
    EXPECT_NEAR(r.soundSeconds, r.wallSeconds, 0.15) << "round " << round;
  }
}

TEST_F(SoundDirectSoundTest, StopBeforeTheThreadStartsKeepsItFromRunning) {
  qvtest::initializeSoundRecording();
  ASSERT_TRUE(dsc->hasDevice());
  setTerminated(1);
  auto audio = std::async(std::launch::async, [] { return AudioCaptureThread(nullptr); });
  ASSERT_EQ(audio.wait_for(std::chrono::seconds(2)), std::future_status::ready);
  EXPECT_EQ(audio.get(), 0u);
  const std::string path = tempPath("nothing.wav");
  ASSERT_EQ(AudioOutputThread(const_cast<char*>(path.c_str())), 0u);
  const std::vector<uint8_t> b = readFile(path);
  std::remove(path.c_str());
  ASSERT_EQ(b.size(), 44u);
  EXPECT_EQ(u32(b, 4), 36u);
}

// A pause cuts the sound out at the device's position: 1.25 s are missing, where a cut at the
// half-second notifications would miss 1 s or 1.5 s. (The tone cannot show where: Wine moves
// the position in periods of 441 samples, ten whole periods of the 1 kHz tone.)
TEST_F(SoundDirectSoundTest, PauseCutsTheSoundAtTheDevicePosition) {
  qvtest::initializeSoundRecording();
  ASSERT_TRUE(dsc->hasDevice());
  auto audio = std::async(std::launch::async, [] { return AudioCaptureThread(nullptr); });
  ASSERT_TRUE(qvtest::waitUntilCapturing(std::chrono::seconds(1)));
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  setPaused(QV_PAUSED);
  const double pausedAt = secondsSince(start);
  std::this_thread::sleep_for(std::chrono::milliseconds(1250));
  setPaused(QV_RUNNING);
  const double resumedAt = secondsSince(start);
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  const double wall = secondsSince(start);
  setTerminated(1);
  ASSERT_EQ(audio.get(), 1u);

  uint64_t total = 0;
  for (const POINTER_AND_SIZE& c : *dsc->getDataList()) total += c.size;
  EXPECT_EQ(total, dsc->getCapturedBytes());
  const double duration = total / 176400.0;
  std::printf("kept %.3f s of %.3f s, paused %.3f s\n", duration, wall, resumedAt - pausedAt);
  EXPECT_NEAR(duration, wall - (resumedAt - pausedAt), 0.15);
}

// Runs in the child, which has no audio driver and so no capture device.
TEST(SoundNoDevice, RecordingGoesOnWithoutSound) {
  if (!childRun()) GTEST_SKIP() << "run by SoundNoDeviceChild";
  const auto start = Clock::now();
  qvtest::initializeSoundRecording();
  EXPECT_LT(secondsSince(start), 2.0);
  ASSERT_EQ(getInitializeStatus(), QV_INIT_OK);
  ASSERT_NE(dsc, nullptr);
  ASSERT_FALSE(dsc->hasDevice()) << "a capture device was found after all";
  auto audio = std::async(std::launch::async, [] { return AudioCaptureThread(nullptr); });
  ASSERT_EQ(audio.wait_for(std::chrono::seconds(1)), std::future_status::ready);
  EXPECT_EQ(audio.get(), 0u);
  setTerminated(1);
  EXPECT_FALSE(dsc->StopWrite());
  const std::string path = tempPath("silent.wav");
  ASSERT_EQ(AudioOutputThread(const_cast<char*>(path.c_str())), 0u);
  const std::vector<uint8_t> b = readFile(path);
  std::remove(path.c_str());
  ASSERT_EQ(b.size(), 44u);
  EXPECT_EQ(u32(b, 40), 0u);
  Finalize();
}

// Sets a value under HKCU\\Software\\Wine\\Drivers (or a key below it) for as long as it lives,
// and puts back what was there.
class WineDriverSetting {
 public:
  WineDriverSetting(const std::string& key, const char* name, const std::string& value)
      : name_(name) {
    if (RegCreateKeyExA(HKEY_CURRENT_USER, ("Software\\Wine\\Drivers" + key).c_str(), 0, nullptr, 0,
                        KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key_,
                        nullptr) != ERROR_SUCCESS) {
      key_ = nullptr;
      return;
    }
    char previous[512];
    DWORD size = sizeof(previous), type = 0;
    if (RegQueryValueExA(key_, name, nullptr, &type, reinterpret_cast<BYTE*>(previous), &size) ==
            ERROR_SUCCESS &&
        type == REG_SZ) {
      had_ = true;
      previous_.assign(previous, size > 0 ? size - 1 : 0);
    }
    ok_ = RegSetValueExA(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                         static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
  }
  ~WineDriverSetting() {
    if (key_ == nullptr) return;
    if (had_) {
      RegSetValueExA(key_, name_, 0, REG_SZ, reinterpret_cast<const BYTE*>(previous_.c_str()),
                     static_cast<DWORD>(previous_.size() + 1));
    } else {
      RegDeleteValueA(key_, name_);
    }
    RegCloseKey(key_);
  }
  bool ok() const { return ok_; }

 private:
  const char* name_;
  HKEY key_ = nullptr;
  bool had_ = false;
  bool ok_ = false;
  std::string previous_;
};

// The id of the capture endpoint the system names `name`, empty when there is none.
std::string captureEndpointId(const wchar_t* name) {
  const PROPERTYKEY friendlyName = {
      {0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 14};
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  std::string found;
  IMMDeviceEnumerator* enumerator = nullptr;
  IMMDeviceCollection* devices = nullptr;
  UINT count = 0;
  if (SUCCEEDED(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                 __uuidof(IMMDeviceEnumerator),
                                 reinterpret_cast<void**>(&enumerator))) &&
      SUCCEEDED(enumerator->EnumAudioEndpoints(eCapture, DEVICE_STATE_ACTIVE, &devices)) &&
      SUCCEEDED(devices->GetCount(&count))) {
    for (UINT i = 0; i < count && found.empty(); ++i) {
      IMMDevice* device = nullptr;
      IPropertyStore* store = nullptr;
      if (FAILED(devices->Item(i, &device))) continue;
      PROPVARIANT value;
      PropVariantInit(&value);
      LPWSTR id = nullptr;
      if (SUCCEEDED(device->OpenPropertyStore(STGM_READ, &store)) &&
          SUCCEEDED(store->GetValue(friendlyName, &value)) && value.vt == VT_LPWSTR &&
          std::wcscmp(value.pwszVal, name) == 0 && SUCCEEDED(device->GetId(&id))) {
        for (const wchar_t* c = id; *c != 0; ++c) found += static_cast<char>(*c);
        CoTaskMemFree(id);
      }
      PropVariantClear(&value);
      if (store != nullptr) store->Release();
      device->Release();
    }
  }
  if (devices != nullptr) devices->Release();
  if (enumerator != nullptr) enumerator->Release();
  CoUninitialize();
  return found;
}

// The default capture device changes while recording (Wine names it under its PulseAudio
// driver's key and tells every endpoint watcher): the sound moves to the new one, from the
// runner's 1 kHz to the second sink's 440 Hz, and goes on without a gap in the timeline; the
// source names both devices.
TEST_F(SoundDirectSoundTest, FollowsANewDefaultCaptureDevice) {
  const std::string second = captureEndpointId(L"Monitor of Second");
  ASSERT_FALSE(second.empty()) << "the runner gives PulseAudio a second null sink, \"Second\", "
                                  "playing 440 Hz";
  qvtest::initializeSoundRecording();
  ASSERT_TRUE(dsc->hasDevice());
  // Beside the recording, a device of its own whose names are asked for at the end.
  platform::SoundCaptureBuffer watcher;
  uint32_t rate = 0;
  ASSERT_TRUE(watcher.openDevice(platform::SoundSource::kCaptureDevice) &&
              watcher.queryCapabilities() && watcher.nativeRate(&rate));
  const uint32_t positions[2] = {0, rate * 2};
  ASSERT_TRUE(watcher.createBuffer(platform::SoundFormat{1, 2, rate, rate * 4, 4, 16}, rate * 4) &&
              watcher.setupNotifications(positions) && watcher.start());

  auto audio = std::async(std::launch::async, [] { return AudioCaptureThread(nullptr); });
  ASSERT_TRUE(qvtest::waitUntilCapturing(std::chrono::seconds(1)));
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  double switchedAt = 0;
  {
    WineDriverSetting moved("\\winepulse.drv", "DefaultInput", second);
    ASSERT_TRUE(moved.ok());
    switchedAt = secondsSince(start);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const double wall = secondsSince(start);
    setTerminated(1);
    ASSERT_EQ(audio.get(), 1u);
    watcher.stop();
    const double duration = dsc->getCapturedBytes() / 176400.0;
    std::printf("moved at %.3f s; recorded %.3f s of sound in %.3f s\n", switchedAt, duration,
                wall);
    EXPECT_NEAR(duration, wall, 0.15) << "the move costs no time on the timeline";
  }
  EXPECT_FALSE(dsc->sourceLost(platform::SoundSource::kCaptureDevice));
  EXPECT_EQ(getSoundStatus(), QV_SOURCE_READY);
  const std::vector<std::string> names = watcher.deviceNames();
  watcher.close();
  EXPECT_EQ(names, (std::vector<std::string>{"PulseAudio", "Monitor of Second"}));

  const std::string path = tempPath("moved.wav");
  ASSERT_EQ(AudioOutputThread(const_cast<char*>(path.c_str())), 0u);
  const std::vector<uint8_t> b = readFile(path);
  std::remove(path.c_str());
  const std::vector<double> left = qvtest::leftChannel(b.data() + 44, b.size() - 44);
  ASSERT_GE(left.size(), 44100u * 5 / 2);
  // The gap the move left, filled with silence (the tones pass near zero only briefly).
  size_t quiet = 0;
  for (size_t i = 1; i < left.size(); ++i)
    quiet += std::fabs(left[i]) + std::fabs(left[i - 1]) < 50;
  std::printf("about %.0f ms of silence at the move\n", quiet / 44.1);
  // Half a second before the move, and the last half second.
  const size_t before = static_cast<size_t>((switchedAt - 0.7) * 44100);
  const size_t after = left.size() - 22050;
  EXPECT_GT(qvtest::powerAt(left, before, 22050, 1000.0),
            100 * qvtest::powerAt(left, before, 22050, 440.0));
  EXPECT_GT(qvtest::powerAt(left, after, 22050, 440.0),
            100 * qvtest::powerAt(left, after, 22050, 1000.0));
}

// Starts this program again with only the test above, without an audio driver.
TEST(SoundNoDeviceChild, RecordingWithoutACaptureDevice) {
  if (childRun()) GTEST_SKIP();
  char exe[MAX_PATH];
  ASSERT_NE(GetModuleFileNameA(nullptr, exe, MAX_PATH), 0u);
  std::string commandLine = std::string("\"") + exe + "\" --gtest_filter=SoundNoDevice.*";
  SetEnvironmentVariableA("QV_SOUND_CHILD", "1");

  // Switches Wine's audio driver off for the processes started while it lives. A child process
  // is needed: Wine keeps the driver it loaded, and the server's address is taken from the
  // environment Wine was started with, not from a child's environment block.
  WineDriverSetting noDriver("", "Audio", "");
  ASSERT_TRUE(noDriver.ok());
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  std::vector<char> line(commandLine.begin(), commandLine.end());
  line.push_back('\0');
  const BOOL created = CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                      nullptr, &startup, &process);
  SetEnvironmentVariableA("QV_SOUND_CHILD", nullptr);
  ASSERT_TRUE(created);
  const DWORD waited = WaitForSingleObject(process.hProcess, 60000);
  DWORD exitCode = 1;
  GetExitCodeProcess(process.hProcess, &exitCode);
  if (waited != WAIT_OBJECT_0) TerminateProcess(process.hProcess, 1);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  ASSERT_EQ(waited, WAIT_OBJECT_0) << "the child did not finish";
  EXPECT_EQ(exitCode, 0u) << "the recording without a device failed in the child";
}

}  // namespace
}  // namespace quorvane_capture
