// GDI side of the platform layer: the desktop, window rectangles, the screen grabber and keys.
#include <windows.h>

#include "dpi_awareness.h"
#include "duplication.h"
#include "platform.h"

namespace quorvane_capture {
namespace platform {

bool displayAvailable() {
  PhysicalPixelsScope physical;
  return GetDesktopWindow() != nullptr && GetSystemMetrics(SM_CXSCREEN) > 0;
}

WindowHandle desktopWindow() { return reinterpret_cast<WindowHandle>(GetDesktopWindow()); }

bool getWindowRect(WindowHandle window, Rect* rect) {
  PhysicalPixelsScope physical;
  RECT r;
  if (rect == nullptr || !GetWindowRect(reinterpret_cast<HWND>(window), &r)) return false;
  *rect = {r.left, r.top, r.right, r.bottom};
  return true;
}

bool getClientRect(WindowHandle window, Rect* rect) {
  PhysicalPixelsScope physical;
  RECT r;
  if (rect == nullptr || !GetClientRect(reinterpret_cast<HWND>(window), &r)) return false;
  *rect = {r.left, r.top, r.right, r.bottom};
  return true;
}

uint16_t getAsyncKeyState(int virtualKey) {
  return static_cast<uint16_t>(GetAsyncKeyState(virtualKey));
}

struct ScreenGrabber::Impl {
  BITMAPINFO bmi{};
  HWND window = nullptr;
  HDC hdcWindow = nullptr;
  HDC hdcMemory = nullptr;
  HBITMAP hBitmap = nullptr;
  HGDIOBJ hOldObject = nullptr;
  void* pixels = nullptr;
  int32_t width = 0;
  int32_t height = 0;
  bool clientArea = false;
  bool drawCursor = false;
  int32_t grabX = 0;  // the last grab's source rectangle, in the device context's coordinates
  int32_t grabY = 0;
  // A window recorded as the part of the screen it covers: the device context is the screen's
  // and each grab reads where the window is now.
  bool screenRegion = false;
  bool duplicating = false;  // the grabs go through the duplication
  DesktopDuplication duplication;
  DuplicatedMonitor monitor;
  const char* duplicationFailedCall = nullptr;  // why it was given up, kept after its close
  HRESULT duplicationFailure = S_OK;
};

namespace {

// How long a grab waits for the next composed frame: the desktop presents every 16 ms or so at
// 60 Hz, and a still desktop presents nothing, so the wait is short and the capture thread's
// pacing stays its own. A time-out keeps the last picture.
constexpr uint32_t kAcquireMilliseconds = 5;

// The screen position of the window's origin in the device context the grabs read: its client
// area or its whole rectangle; the desktop's is the origin of the screen.
bool windowOrigin(HWND window, bool clientArea, POINT* origin) {
  *origin = POINT{0, 0};
  if (window == GetDesktopWindow()) return true;
  if (clientArea) return ClientToScreen(window, origin) != FALSE;
  RECT whole;
  if (!GetWindowRect(window, &whole)) return false;
  *origin = POINT{whole.left, whole.top};
  return true;
}

}  // namespace

const char* ScreenGrabber::ordinaryCopyName() { return "GDI"; }

void ScreenGrabber::setScreenMethod(bool screenRegion, bool duplication) {
  screenRegion_ = screenRegion;
  duplication_ = duplication;
}

ScreenGrabber::Method ScreenGrabber::method() const {
  if (impl_ == nullptr) return Method::kWindow;
  if (impl_->duplicating) return Method::kDuplication;
  return impl_->screenRegion || impl_->window == GetDesktopWindow() ? Method::kScreen
                                                                    : Method::kWindow;
}

const char* ScreenGrabber::duplicationFailedCall() const {
  return impl_ != nullptr ? impl_->duplicationFailedCall : nullptr;
}

int32_t ScreenGrabber::duplicationFailure() const {
  return impl_ != nullptr ? static_cast<int32_t>(impl_->duplicationFailure) : 0;
}

void ScreenGrabber::setCursorDrawing(bool enabled) {
  if (impl_ != nullptr) impl_->drawCursor = enabled;
}

ScreenGrabber::ScreenGrabber() : impl_(nullptr) {}
ScreenGrabber::~ScreenGrabber() { close(); }

uint8_t* ScreenGrabber::pixels() const {
  return impl_ ? static_cast<uint8_t*>(impl_->pixels) : nullptr;
}

bool ScreenGrabber::isOpen() const { return impl_ != nullptr; }

bool ScreenGrabber::open(WindowHandle window, bool clientArea, int32_t width, int32_t height) {
  close();
  if (width < 1 || height < 1) return false;
  // The window's device context keeps the awareness of the thread that got it.
  PhysicalPixelsScope physical;
  impl_ = new Impl();
  Impl& impl = *impl_;
  impl.window = reinterpret_cast<HWND>(window);
  impl.clientArea = clientArea;
  impl.width = width;
  impl.height = height;
  BITMAPINFOHEADER& header = impl.bmi.bmiHeader;
  header.biSize = sizeof(BITMAPINFOHEADER);
  header.biWidth = width;
  header.biHeight = -height;  // top-down: row 0 is the top row
  header.biPlanes = 1;
  header.biBitCount = 32;
  header.biCompression = BI_RGB;
  impl.hBitmap = CreateDIBSection(nullptr, &impl.bmi, DIB_RGB_COLORS, &impl.pixels, nullptr, 0);
  const bool desktop = impl.window == GetDesktopWindow();
  impl.screenRegion = screenRegion_ && !desktop;
  if (impl.screenRegion) {
    // The screen's device context, released to no window.
    impl.hdcWindow = GetDC(nullptr);
  } else {
    impl.hdcWindow = clientArea ? GetDC(impl.window) : GetWindowDC(impl.window);
  }
  if (impl.hBitmap == nullptr || impl.pixels == nullptr || impl.hdcWindow == nullptr) {
    close();
    return false;
  }
  impl.hdcMemory = CreateCompatibleDC(impl.hdcWindow);
  if (impl.hdcMemory == nullptr) {
    close();
    return false;
  }
  impl.hOldObject = SelectObject(impl.hdcMemory, impl.hBitmap);
  if (duplication_ && (desktop || impl.screenRegion)) {
    // The monitor that shows most of the window now; the GDI copy of the screen stands in
    // where there is no duplication.
    POINT origin{};
    RECT region{0, 0, width, height};
    if (windowOrigin(impl.window, impl.clientArea, &origin))
      OffsetRect(&region, origin.x, origin.y);
    impl.duplicating = openMonitorDuplication(region, &impl.monitor, &impl.duplication);
    if (!impl.duplicating) {
      impl.duplicationFailedCall = impl.duplication.failedCall();
      impl.duplicationFailure = impl.duplication.failure();
      impl.duplication.close();
    }
  }
  return true;
}

bool ScreenGrabber::grab(int32_t sourceX, int32_t sourceY) {
  if (impl_ == nullptr) return false;
  Impl& impl = *impl_;
  PhysicalPixelsScope physical;
  impl.grabX = sourceX;
  impl.grabY = sourceY;
  // Where the picture's top-left corner is on the screen, for the grabs that read the screen.
  POINT origin{};
  const bool screen = impl.screenRegion || impl.duplicating;
  if (screen) {
    if (!windowOrigin(impl.window, impl.clientArea, &origin)) return false;
    origin.x += sourceX;
    origin.y += sourceY;
  }
  if (impl.duplicating) {
    GdiFlush();  // the bitmap is written by the processor next
    const DesktopDuplication::Grab result = impl.duplication.grab(
        origin.x - impl.monitor.desktop.left, origin.y - impl.monitor.desktop.top,
        static_cast<uint8_t*>(impl.pixels), impl.width, impl.height, kAcquireMilliseconds);
    if (result == DesktopDuplication::Grab::kFailed) {
      // GDI for the rest of the recording, starting with this picture.
      impl.duplicationFailedCall = impl.duplication.failedCall();
      impl.duplicationFailure = impl.duplication.failure();
      impl.duplication.close();
      impl.duplicating = false;
    }
  }
  if (!impl.duplicating) {
    const POINT from = impl.screenRegion ? origin : POINT{sourceX, sourceY};
    if (!BitBlt(impl.hdcMemory, 0, 0, impl.width, impl.height, impl.hdcWindow, from.x, from.y,
                SRCCOPY)) {
      return false;
    }
  }
  if (!impl.drawCursor) return true;
  // BitBlt copies what the screen holds, without the pointer: it is drawn over the copy, at its
  // place less its hot spot, in the coordinates of the window's device context. DrawIconEx
  // draws colour cursors with their alpha and monochrome ones through their masks (inverting
  // where they invert), and clips to the bitmap: a pointer off the rectangle leaves no trace.
  CURSORINFO info{};
  info.cbSize = sizeof(info);
  if (!GetCursorInfo(&info) || (info.flags & CURSOR_SHOWING) == 0 || info.hCursor == nullptr) {
    return true;
  }
  ICONINFO icon{};
  if (!GetIconInfo(info.hCursor, &icon)) return true;
  if (icon.hbmMask != nullptr) DeleteObject(icon.hbmMask);
  if (icon.hbmColor != nullptr) DeleteObject(icon.hbmColor);
  POINT at = info.ptScreenPos;
  if (screen) {
    at.x -= origin.x;
    at.y -= origin.y;
  } else {
    if (impl.clientArea) {
      ScreenToClient(impl.window, &at);
    } else {
      RECT whole;
      if (!GetWindowRect(impl.window, &whole)) return true;
      at.x -= whole.left;
      at.y -= whole.top;
    }
    at.x -= sourceX;
    at.y -= sourceY;
  }
  DrawIconEx(impl.hdcMemory, at.x - static_cast<LONG>(icon.xHotspot),
             at.y - static_cast<LONG>(icon.yHotspot), info.hCursor, 0, 0, 0, nullptr, DI_NORMAL);
  GdiFlush();  // the core reads the DIB's memory next
  return true;
}

bool ScreenGrabber::readPointer(int32_t* x, int32_t* y, uint32_t* buttons) {
  if (impl_ == nullptr || x == nullptr || y == nullptr || buttons == nullptr) return false;
  PhysicalPixelsScope physical;
  POINT at{};
  if (!GetCursorPos(&at)) return false;
  if (impl_->clientArea) {
    ScreenToClient(impl_->window, &at);
  } else {
    RECT whole;
    if (!GetWindowRect(impl_->window, &whole)) return false;
    at.x -= whole.left;
    at.y -= whole.top;
  }
  *x = static_cast<int32_t>(at.x) - impl_->grabX;
  *y = static_cast<int32_t>(at.y) - impl_->grabY;
  // The button state at the moment of reading, polled by the capture thread: a low-level mouse
  // hook would need a message loop on the thread that set it and would sit in the path of every
  // mouse event of the desktop, slowing all of them when a grab takes long. GetAsyncKeyState
  // reports physical buttons; with swapped buttons the primary one is VK_RBUTTON.
  const bool swapped = GetSystemMetrics(SM_SWAPBUTTON) != 0;
  const auto down = [](int key) { return (GetAsyncKeyState(key) & 0x8001) != 0; };
  *buttons = (down(swapped ? VK_RBUTTON : VK_LBUTTON) ? kPointerLeft : 0u) |
             (down(swapped ? VK_LBUTTON : VK_RBUTTON) ? kPointerRight : 0u);
  return true;
}

void ScreenGrabber::close() {
  if (impl_ == nullptr) return;
  Impl& impl = *impl_;
  if (impl.hdcMemory != nullptr) {
    SelectObject(impl.hdcMemory, impl.hOldObject);
    DeleteDC(impl.hdcMemory);
  }
  if (impl.hBitmap != nullptr) DeleteObject(impl.hBitmap);
  if (impl.hdcWindow != nullptr)
    ReleaseDC(impl.screenRegion ? nullptr : impl.window, impl.hdcWindow);
  impl.duplication.close();
  delete impl_;
  impl_ = nullptr;
}

}  // namespace platform
}  // namespace quorvane_capture
