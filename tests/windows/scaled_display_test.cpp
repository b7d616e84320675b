// A scaled display (run by tests/windows/scaled_display_under_wine.sh at 144 DPI; skipped at
// 96): a host thread that is not DPI aware still gets physical pixels from the library, the
// window's full size in the window list and at Initialize, and the pointer drawn where it is.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "capture_state.h"
#include "win_messages.h"

namespace quorvane_capture {
namespace {

LRESULT CALLBACK paintGreen(HWND window, UINT message, WPARAM w, LPARAM l) {
  if (message == WM_PAINT) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    RECT client;
    GetClientRect(window, &client);
    HBRUSH green = CreateSolidBrush(RGB(40, 160, 80));
    FillRect(dc, &client, green);
    DeleteObject(green);
    EndPaint(window, &paint);
    return 0;
  }
  return DefWindowProcA(window, message, w, l);
}

using Pixels = std::vector<uint8_t>;

struct SeenUnaware {
  int32_t unawareClientWidth = 0;  // what the thread itself sees: proves it is unaware
  int64_t listedWidth = 0, listedHeight = 0, listedClientWidth = 0;
  int64_t captureWidth = 0, captureHeight = 0;
  Pixels bare, drawn;
};

Pixels grab(bool cursor, int width, int height) {
  captureSettingInternal.grabber.setCursorDrawing(cursor);
  Pixels p;
  if (captureSettingInternal.grabber.grab(0, 0)) {
    p.assign(captureSettingInternal.pixels, captureSettingInternal.pixels + width * height * 4);
  }
  return p;
}

TEST(WindowsScaledDisplay, AnUnawareHostThreadGetsPhysicalPixels) {
  if (GetDpiForSystem() <= 96) GTEST_SKIP() << "needs a scaled display";
  constexpr int kX = 120, kY = 90, kWidth = 240, kHeight = 180;
  WNDCLASSA windowClass{};
  windowClass.lpfnWndProc = paintGreen;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.lpszClassName = "QvScaledTest";
  windowClass.hCursor = LoadCursor(nullptr, IDC_IBEAM);
  RegisterClassA(&windowClass);
  // Made by this (per-monitor aware) thread: its sizes are physical pixels.
  HWND window =
      CreateWindowExA(WS_EX_TOPMOST, "QvScaledTest", "qv scaled", WS_POPUP | WS_VISIBLE, kX, kY,
                      kWidth, kHeight, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
  ASSERT_NE(window, nullptr);
  UpdateWindow(window);
  const POINT at{kX + 100, kY + 70};
  SetCursorPos(at.x, at.y);
  qvtest::pumpMessages(400);
  CURSORINFO info{};
  info.cbSize = sizeof(info);
  ASSERT_TRUE(GetCursorInfo(&info));
  ASSERT_EQ(info.hCursor, LoadCursor(nullptr, IDC_IBEAM)) << "the window's cursor shows";

  SeenUnaware seen;
  std::atomic<bool> hostDone{false};
  std::thread host([&seen, &hostDone, window] {
    struct Done {
      std::atomic<bool>& flag;
      ~Done() { flag = true; }
    } done{hostDone};
    ASSERT_NE(SetThreadDpiAwarenessContext(DPI_AWARENESS_CONTEXT_UNAWARE), nullptr);
    RECT client{};
    GetClientRect(window, &client);
    seen.unawareClientWidth = client.right;
    const uint64_t count = createWindowList();
    for (uint64_t i = 0; i < count; ++i) {
      const WindowInformationRecord* r = getWindowList(i);
      if (r != nullptr && r->hwnd == reinterpret_cast<uint64_t>(window)) {
        seen.listedWidth = r->windowWidth;
        seen.listedHeight = r->windowHeight;
        seen.listedClientWidth = r->clientWidth;
      }
    }
    CaptureSetting s{};
    s.frameRate = 10;
    s.targetWindow = reinterpret_cast<uint64_t>(window);
    s.memorySize = 16 << 20;
    s.affinityMask = getAffinityMask();
    s.clientArea = 1;
    Initialize(&s);
    if (getInitializeStatus() == QV_INIT_OK) {
      seen.captureWidth = getCaptureSetting()->captureWidth;
      seen.captureHeight = getCaptureSetting()->captureHeight;
      if (seen.captureWidth == kWidth && seen.captureHeight == kHeight) {
        seen.bare = grab(false, kWidth, kHeight);
        seen.drawn = grab(true, kWidth, kHeight);
      }
    }
    Finalize();
  });
  // The window list reads the title with a message to this thread: it keeps answering.
  while (!hostDone) qvtest::pumpMessages(20);
  host.join();
  ASSERT_LT(seen.unawareClientWidth, kWidth) << "the host thread sees scaled sizes";
  EXPECT_EQ(seen.listedWidth, kWidth);
  EXPECT_EQ(seen.listedHeight, kHeight);
  EXPECT_EQ(seen.listedClientWidth, kWidth);
  EXPECT_EQ(seen.captureWidth, kWidth);
  EXPECT_EQ(seen.captureHeight, kHeight);
  const size_t bytes = static_cast<size_t>(kWidth * kHeight * 4);
  ASSERT_EQ(seen.bare.size(), bytes);
  ASSERT_EQ(seen.drawn.size(), bytes);

  // The reference: the bare picture with the cursor drawn at the pointer's physical place.
  ICONINFO icon{};
  ASSERT_TRUE(GetIconInfo(info.hCursor, &icon));
  if (icon.hbmMask != nullptr) DeleteObject(icon.hbmMask);
  if (icon.hbmColor != nullptr) DeleteObject(icon.hbmColor);
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
  std::memcpy(bits, seen.bare.data(), bytes);
  DrawIconEx(dc, at.x - kX - static_cast<int>(icon.xHotspot),
             at.y - kY - static_cast<int>(icon.yHotspot), info.hCursor, 0, 0, 0, nullptr,
             DI_NORMAL);
  GdiFlush();
  const Pixels reference(static_cast<uint8_t*>(bits), static_cast<uint8_t*>(bits) + bytes);
  SelectObject(dc, old);
  DeleteDC(dc);
  DeleteObject(bitmap);
  size_t shown = 0, differ = 0;
  for (size_t i = 0; i < bytes; i += 4) {
    shown += std::memcmp(&seen.bare[i], &reference[i], 3) != 0;
    differ += std::memcmp(&seen.drawn[i], &reference[i], 3) != 0;
  }
  EXPECT_GT(shown, 20u) << "the cursor shows in the reference";
  EXPECT_EQ(differ, 0u) << "pixels where the recorded pointer and the reference differ";
  DestroyWindow(window);
}

}  // namespace
}  // namespace quorvane_capture
