// Start-up and the hot key against real Win32 windows (run under Wine with an X desktop).
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "capture_state.h"
#include "win_messages.h"

namespace quorvane_capture {
namespace {

LRESULT CALLBACK paintRedOverBlue(HWND window, UINT message, WPARAM w, LPARAM l) {
  if (message == WM_PAINT) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    RECT client;
    GetClientRect(window, &client);
    RECT top = client, bottom = client;
    top.bottom = client.bottom / 2;
    bottom.top = client.bottom / 2;
    HBRUSH red = CreateSolidBrush(RGB(255, 0, 0));
    HBRUSH blue = CreateSolidBrush(RGB(0, 0, 255));
    FillRect(dc, &top, red);
    FillRect(dc, &bottom, blue);
    DeleteObject(red);
    DeleteObject(blue);
    EndPaint(window, &paint);
    return 0;
  }
  return DefWindowProcA(window, message, w, l);
}

using qvtest::pumpMessages;

// A visible overlapped window with the given client size.
HWND makeWindow(const char* title, int clientWidth, int clientHeight) {
  static bool registered = false;
  if (!registered) {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = paintRedOverBlue;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "QvInitializeTest";
    windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
    RegisterClassA(&windowClass);
    registered = true;
  }
  RECT rect{0, 0, clientWidth, clientHeight};
  AdjustWindowRect(&rect, WS_OVERLAPPEDWINDOW, FALSE);
  HWND window = CreateWindowExA(0, "QvInitializeTest", title, WS_OVERLAPPEDWINDOW, 40, 40,
                                rect.right - rect.left, rect.bottom - rect.top, nullptr, nullptr,
                                GetModuleHandleA(nullptr), nullptr);
  ShowWindow(window, SW_SHOW);
  UpdateWindow(window);
  pumpMessages(300);
  return window;
}

CaptureSetting settingsFor(HWND window) {
  CaptureSetting s{};
  s.frameRate = 30;
  s.targetWindow = reinterpret_cast<uint64_t>(window);
  s.memorySize = 64 << 20;
  s.affinityMask = getAffinityMask();
  s.clientArea = 1;
  s.useAVX = 1;
  return s;
}

TEST(WindowsInitialize, SizesAreCorrectedAgainstTheClientArea) {
  HWND window = makeWindow("qv initialize", 321, 240);
  ASSERT_NE(window, nullptr);
  CaptureSetting s = settingsFor(window);
  Initialize(&s);
  ASSERT_EQ(getInitializeStatus(), QV_INIT_OK);
  EXPECT_EQ(captureSetting.captureWidth, 320) << "odd width without scaling loses a column";
  EXPECT_EQ(captureSetting.captureHeight, 240);
  EXPECT_EQ(captureSetting.outputWidth, 320);
  EXPECT_GE(getEncodeThreadCount(), 1);
  Finalize();

  s.captureWidth = 5000;
  s.outputWidth = 161;
  s.outputHeight = 120;
  Initialize(&s);
  ASSERT_EQ(getInitializeStatus(), QV_INIT_OK);
  EXPECT_EQ(captureSetting.captureWidth, 321);
  EXPECT_EQ(captureSetting.outputWidth, 160);
  EXPECT_EQ(captureSetting.outputHeight, 120);
  Finalize();

  s = settingsFor(window);
  s.clientArea = 0;  // the whole window is larger than its client area
  Initialize(&s);
  ASSERT_EQ(getInitializeStatus(), QV_INIT_OK);
  RECT whole;
  GetWindowRect(window, &whole);
  EXPECT_EQ(captureSetting.captureHeight, whole.bottom - whole.top);
  Finalize();
  DestroyWindow(window);
}

uint64_t processAffinity() {
  DWORD_PTR process = 0, system = 0;
  GetProcessAffinityMask(GetCurrentProcess(), &process, &system);
  return process;
}

// A grabber that cannot be set up (the process has used up its GDI handles) is met after the
// window's rectangle was read; the refusal leaves the process's affinity as it was.
TEST(WindowsInitialize, ARefusalLeavesTheAffinityAsItWas) {
  const uint64_t before = processAffinity();
  if (bitCount(before) < 2) GTEST_SKIP() << "needs two processors to tell a change";
  HWND window = makeWindow("qv refusal", 64, 64);
  CaptureSetting s = settingsFor(window);
  s.affinityMask = before & (~before + 1);  // one processor

  std::vector<HBITMAP> hoard;
  for (int i = 0; i < 200000; ++i) {
    HBITMAP bitmap = CreateBitmap(1, 1, 1, 32, nullptr);
    if (bitmap == nullptr) break;
    hoard.push_back(bitmap);
  }
  Initialize(&s);
  const int32_t status = getInitializeStatus();
  for (HBITMAP bitmap : hoard) DeleteObject(bitmap);
  ASSERT_LT(hoard.size(), 200000u) << "the GDI handles never ran out";

  EXPECT_EQ(status, QV_INIT_CAPTURE_FAILED);
  EXPECT_EQ(processAffinity(), before);
  EXPECT_EQ(mma, nullptr);
  Finalize();
  DestroyWindow(window);
}

TEST(WindowsInitialize, TheDibSectionIsTopDownAndHoldsTheClientPixels) {
  HWND window = makeWindow("qv pixels", 200, 100);
  CaptureSetting s = settingsFor(window);
  Initialize(&s);
  ASSERT_EQ(getInitializeStatus(), QV_INIT_OK);
  pumpMessages(100);
  ASSERT_TRUE(captureSettingInternal.grabber.grab(0, 0));
  const uint8_t* pixels = captureSettingInternal.pixels;
  ASSERT_NE(pixels, nullptr);
  auto at = [&](int x, int y) { return pixels + (y * 200 + x) * 4; };
  EXPECT_EQ(at(10, 10)[2], 255);  // red on top
  EXPECT_EQ(at(10, 10)[0], 0);
  EXPECT_EQ(at(10, 90)[0], 255);  // blue below
  EXPECT_EQ(at(10, 90)[2], 0);
  Finalize();
  DestroyWindow(window);
}

TEST(WindowsInitialize, BadSettingsAreRefused) {
  HWND window = makeWindow("qv refused", 64, 64);
  CaptureSetting s = settingsFor(window);
  s.frameRate = 0;
  Initialize(&s);
  EXPECT_EQ(getInitializeStatus(), QV_INIT_BAD_FRAME_RATE);
  EXPECT_EQ(getEncodeThreadCount(), 0);
  EXPECT_EQ(mma, nullptr);
  Finalize();
  s.frameRate = 30;
  DestroyWindow(window);
  Initialize(&s);  // a closed window
  EXPECT_EQ(getInitializeStatus(), QV_INIT_EMPTY_TARGET);
  EXPECT_EQ(mma, nullptr);
  Finalize();
  Finalize();
}

TEST(WindowsRunControl, AffinityAndStopFlag) {
  const uint64_t system = getAffinityMask();
  ASSERT_NE(system, 0u);
  EXPECT_EQ(setAffinityMask(0), bitCount(system));
  EXPECT_EQ(setAffinityMask(system | 0x8000000000000000ULL),
            bitCount(system | (system & 0x8000000000000000ULL)));
  HWND window = makeWindow("qv stop", 64, 64);
  CaptureSetting s = settingsFor(window);
  Initialize(&s);
  ASSERT_EQ(getInitializeStatus(), QV_INIT_OK);
  std::atomic<int> result{-1};
  std::thread waiter([&] { result = waitCaptureAction(); });
  Sleep(100);
  EXPECT_EQ(result.load(), -1);
  setTerminated(1);
  waiter.join();
  EXPECT_EQ(result.load(), 0);
  Finalize();
  DestroyWindow(window);
}

// Real key presses come from xdotool, run by tests/windows/hotkey_under_wine.sh, which hands
// over through files in QV_HOTKEY_DIR: the test writes "ready-N", the driver answers "go-N"
// after pressing keys. Without the driver the test skips.
bool waitForFile(const std::string& path, int milliseconds) {
  for (int waited = 0; waited < milliseconds; waited += 20) {
    if (FILE* file = fopen(path.c_str(), "r")) {
      fclose(file);
      return true;
    }
    pumpMessages(20);
  }
  return false;
}

void touch(const std::string& path) {
  if (FILE* file = fopen(path.c_str(), "w")) fclose(file);
}

TEST(WindowsHotKey, XdotoolKeysStartTheRecording) {
  const char* dir = getenv("QV_HOTKEY_DIR");
  if (dir == nullptr) GTEST_SKIP() << "needs tests/windows/hotkey_under_wine.sh";
  const std::string base = dir;
  HWND window = makeWindow("qv-hotkey-window", 200, 100);
  CaptureSetting s = settingsFor(window);
  Initialize(&s);
  ASSERT_EQ(getInitializeStatus(), QV_INIT_OK);

  // 1: a press of F12 while waiting.
  std::atomic<int> result{-1};
  std::thread waiter([&] { result = waitCaptureAction(); });
  pumpMessages(200);
  touch(base + "/ready-1");
  ASSERT_TRUE(waitForFile(base + "/go-1", 20000));
  for (int i = 0; i < 200 && result.load() == -1; ++i) pumpMessages(10);
  EXPECT_EQ(result.load(), 1);
  if (result.load() == -1) setTerminated(1);
  waiter.join();

  // 2: F12 already held when the wait starts (the driver pressed it before "go-2").
  touch(base + "/ready-2");
  ASSERT_TRUE(waitForFile(base + "/go-2", 20000));
  result = -1;
  std::thread held([&] { result = waitCaptureAction(); });
  pumpMessages(400);
  EXPECT_EQ(result.load(), -1) << "a key already down must be released and pressed again";
  touch(base + "/ready-3");  // the driver now releases and presses F12 again
  ASSERT_TRUE(waitForFile(base + "/go-3", 20000));
  for (int i = 0; i < 200 && result.load() == -1; ++i) pumpMessages(10);
  EXPECT_EQ(result.load(), 1);
  if (result.load() == -1) setTerminated(1);
  held.join();

  // 4: the pause key, held for half a second, is reported once.
  pollPauseKey();  // with the key up: the next press is a fresh one
  touch(base + "/ready-4");
  ASSERT_TRUE(waitForFile(base + "/go-4", 20000));
  int presses = 0;
  for (int i = 0; i < 40; ++i) {
    pumpMessages(10);
    presses += pollPauseKey();
  }
  EXPECT_EQ(presses, 1);
  Finalize();
  DestroyWindow(window);
}

}  // namespace
}  // namespace quorvane_capture
