// The choices made before Initialize, under Wine: the pointer drawn into the captured picture
// (compared with the same cursor drawn by DrawIconEx into a reference bitmap), and sound from
// what the output plays, which Wine's audio driver cannot capture: the clear status and a
// recording that goes on without sound are what is checked then.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "capture_state.h"
#include "direct_sound_capture.h"
#include "sound_analysis.h"
#include "sound_recording.h"
#include "win_messages.h"

namespace quorvane_capture {
namespace {

// AudioCaptureThread on a thread of its own; its result lands in *result when it ends.
HANDLE startSoundThread(qv_thread_result* result) {
  return CreateThread(
      nullptr, 0,
      [](void* out) -> DWORD {
        *static_cast<qv_thread_result*>(out) = AudioCaptureThread(nullptr);
        return 0;
      },
      result, 0, nullptr);
}

using qvtest::pumpMessages;

LRESULT CALLBACK paintGrey(HWND window, UINT message, WPARAM w, LPARAM l) {
  if (message == WM_PAINT) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    RECT client;
    GetClientRect(window, &client);
    HBRUSH grey = CreateSolidBrush(RGB(128, 128, 128));
    FillRect(dc, &client, grey);
    DeleteObject(grey);
    EndPaint(window, &paint);
    return 0;
  }
  return DefWindowProcA(window, message, w, l);
}

// A grey popup window at a known place whose class cursor is the standard I-beam: over it the
// system shows that cursor.
HWND makeGreyWindow(int x, int y, int width, int height) {
  WNDCLASSA windowClass{};
  windowClass.lpfnWndProc = paintGrey;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.lpszClassName = "QvPointerTest";
  windowClass.hCursor = LoadCursor(nullptr, IDC_IBEAM);
  RegisterClassA(&windowClass);
  HWND window =
      CreateWindowExA(WS_EX_TOPMOST, "QvPointerTest", "qv pointer", WS_POPUP | WS_VISIBLE, x, y,
                      width, height, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
  UpdateWindow(window);
  pumpMessages(400);
  return window;
}

using Pixels = std::vector<uint8_t>;

Pixels grabWindow(HWND window, int width, int height, bool cursor) {
  setCursorDrawing(cursor ? 1 : 0);
  CaptureSetting s{};
  s.frameRate = 10;
  s.targetWindow = reinterpret_cast<uint64_t>(window);
  s.memorySize = 16 << 20;
  s.affinityMask = getAffinityMask();
  s.clientArea = 1;
  Initialize(&s);
  setCursorDrawing(0);
  Pixels p;
  if (getInitializeStatus() == QV_INIT_OK && captureSettingInternal.grabber.grab(0, 0)) {
    p.assign(captureSettingInternal.pixels, captureSettingInternal.pixels + width * height * 4);
  }
  Finalize();
  return p;
}

TEST(WindowsPointer, DrawnAsDrawIconExDrawsItAtThePointersPlace) {
  constexpr int kX = 100, kY = 80, kWidth = 120, kHeight = 90;
  HWND window = makeGreyWindow(kX, kY, kWidth, kHeight);
  ASSERT_NE(window, nullptr);
  const POINT at{kX + 50, kY + 40};
  SetCursorPos(at.x, at.y);
  pumpMessages(300);
  CURSORINFO info{};
  info.cbSize = sizeof(info);
  ASSERT_TRUE(GetCursorInfo(&info));
  ASSERT_EQ(info.hCursor, LoadCursor(nullptr, IDC_IBEAM)) << "the window's cursor shows";
  ICONINFO icon{};
  ASSERT_TRUE(GetIconInfo(info.hCursor, &icon));
  if (icon.hbmMask != nullptr) DeleteObject(icon.hbmMask);
  if (icon.hbmColor != nullptr) DeleteObject(icon.hbmColor);

  const Pixels bare = grabWindow(window, kWidth, kHeight, false);
  const Pixels drawn = grabWindow(window, kWidth, kHeight, true);
  ASSERT_EQ(bare.size(), static_cast<size_t>(kWidth * kHeight * 4));
  ASSERT_EQ(drawn.size(), bare.size());

  // The reference: the bare picture with the cursor drawn by DrawIconEx at the pointer's place
  // in client coordinates, less its hot spot.
  BITMAPINFO bmi{};
  bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  bmi.bmiHeader.biWidth = kWidth;
  bmi.bmiHeader.biHeight = -kHeight;
  bmi.bmiHeader.biPlanes = 1;
  bmi.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(nullptr, &bmi, DIB_RGB_COLORS, &bits, nullptr, 0);
  ASSERT_NE(bitmap, nullptr);
  HDC dc = CreateCompatibleDC(nullptr);
  HGDIOBJ old = SelectObject(dc, bitmap);
  memcpy(bits, bare.data(), bare.size());
  DrawIconEx(dc, at.x - kX - static_cast<int>(icon.xHotspot),
             at.y - kY - static_cast<int>(icon.yHotspot), info.hCursor, 0, 0, 0, nullptr,
             DI_NORMAL);
  GdiFlush();
  const Pixels reference(static_cast<uint8_t*>(bits), static_cast<uint8_t*>(bits) + bare.size());
  SelectObject(dc, old);
  DeleteDC(dc);
  DeleteObject(bitmap);

  size_t changed = 0;
  for (size_t i = 0; i < bare.size(); i += 4) changed += memcmp(&bare[i], &reference[i], 3) != 0;
  EXPECT_GT(changed, 20u) << "the cursor shows in the reference";
  size_t differ = 0;
  for (size_t i = 0; i < bare.size(); i += 4) differ += memcmp(&drawn[i], &reference[i], 3) != 0;
  EXPECT_EQ(differ, 0u) << "pixels where the recorded picture and the reference differ";

  // The pointer elsewhere leaves the picture bare.
  SetCursorPos(kX + kWidth + 300, kY + kHeight + 200);
  pumpMessages(300);
  const Pixels away = grabWindow(window, kWidth, kHeight, true);
  ASSERT_EQ(away.size(), bare.size());
  size_t stray = 0;
  for (size_t i = 0; i < bare.size(); i += 4) stray += memcmp(&away[i], &bare[i], 3) != 0;
  EXPECT_EQ(stray, 0u);
  DestroyWindow(window);
}

// Wine's audio driver has no loopback capture: the status says so, nothing else is recorded in
// its place, and the recording's WAV file is valid and empty. Where the driver does offer it,
// the recording holds sound as long as the capture ran.
TEST(WindowsSoundSource, DesktopSoundIsLoopbackOrClearlyUnavailable) {
  ASSERT_EQ(setSoundSource(QV_SOURCE_DESKTOP), 1);
  qvtest::initializeSoundRecording();
  setSoundSource(QV_SOURCE_CAPTURE_DEVICE);
  ASSERT_EQ(getInitializeStatus(), QV_INIT_OK);
  const int32_t status = getSoundStatus();
  char path[MAX_PATH];
  GetTempPathA(MAX_PATH, path);
  const std::string wav =
      std::string(path) + "qv_loopback_" + std::to_string(GetCurrentProcessId());
  if (status == QV_SOURCE_READY) {
    std::printf("  this audio driver offers loopback capture\n");
    qv_thread_result captured = 0;
    HANDLE thread = startSoundThread(&captured);
    ASSERT_TRUE(qvtest::waitUntilCapturing(std::chrono::seconds(5)));
    Sleep(1500);
    setTerminated(1);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    EXPECT_EQ(captured, static_cast<qv_thread_result>(QV_SOUND_CAPTURED));
    EXPECT_EQ(AudioOutputThread(const_cast<char*>(wav.c_str())),
              static_cast<qv_thread_result>(QV_WAV_WRITTEN));
    EXPECT_GT(qvtest::readFile(wav).size(), kWavHeaderSize + 176400u) << "over a second of sound";
  } else {
    std::printf("  no loopback capture here: status %d\n", status);
    EXPECT_EQ(status, QV_SOURCE_NO_LOOPBACK);
    EXPECT_FALSE(dsc->hasDevice()) << "no other device in its place";
    EXPECT_EQ(AudioCaptureThread(nullptr), static_cast<qv_thread_result>(QV_SOUND_NONE));
    setTerminated(1);
    EXPECT_EQ(AudioOutputThread(const_cast<char*>(wav.c_str())),
              static_cast<qv_thread_result>(QV_WAV_WRITTEN));
    EXPECT_EQ(qvtest::readFile(wav).size(), kWavHeaderSize);
  }
  Finalize();
  DeleteFileA(wav.c_str());
}

// Both sources where the system offers no loopback (Wine): the desktop's status says so, and
// the capture device is recorded alone, as if chosen by itself: its sound in NAME.wav, no
// track files.
TEST(WindowsSoundSource, BothSourcesWithoutLoopbackRecordTheCaptureDeviceAlone) {
  ASSERT_EQ(setSoundSource(QV_SOURCE_CAPTURE_AND_DESKTOP), 1);
  qvtest::initializeSoundRecording();
  setSoundSource(QV_SOURCE_CAPTURE_DEVICE);
  ASSERT_EQ(getInitializeStatus(), QV_INIT_OK);
  if (getSoundSourceStatus(QV_SOURCE_DESKTOP) == QV_SOURCE_READY) {
    Finalize();
    GTEST_SKIP() << "this audio driver offers loopback capture: both sources record";
  }
  EXPECT_EQ(getSoundSourceStatus(QV_SOURCE_DESKTOP), QV_SOURCE_NO_LOOPBACK);
  EXPECT_EQ(getSoundStatus(), QV_SOURCE_NO_LOOPBACK) << "the missing source is what is said";
  const bool mic = getSoundSourceStatus(QV_SOURCE_CAPTURE_DEVICE) == QV_SOURCE_READY;
  EXPECT_EQ(dsc->hasDevice(), mic);
  EXPECT_EQ(dsc->trackCount(), 0u) << "one source: no tracks";
  char dir[MAX_PATH];
  GetTempPathA(MAX_PATH, dir);
  const std::string base = std::string(dir) + "qv_both_" + std::to_string(GetCurrentProcessId());
  const std::string wav = base + ".wav";
  qv_thread_result captured = 0;
  HANDLE thread = startSoundThread(&captured);
  if (mic) {
    ASSERT_TRUE(qvtest::waitUntilCapturing(std::chrono::seconds(5)));
  }
  Sleep(1000);
  setTerminated(1);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  EXPECT_EQ(captured, static_cast<qv_thread_result>(mic ? QV_SOUND_CAPTURED : QV_SOUND_NONE));
  EXPECT_EQ(AudioOutputThread(const_cast<char*>(wav.c_str())),
            static_cast<qv_thread_result>(QV_WAV_WRITTEN));
  if (mic) {
    EXPECT_GT(qvtest::readFile(wav).size(), kWavHeaderSize + 88200u) << "the mic's sound";
  }
  EXPECT_EQ(GetFileAttributesA((base + ".mic.wav").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetFileAttributesA((base + ".desktop.wav").c_str()), INVALID_FILE_ATTRIBUTES);
  Finalize();
  DeleteFileA(wav.c_str());
}

}  // namespace
}  // namespace quorvane_capture
