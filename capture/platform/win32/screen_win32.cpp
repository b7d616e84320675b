// GDI side of the platform layer: the desktop, window rectangles, the screen grabber and keys.
#include <windows.h>

#include "dpi_awareness.h"
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
};

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
  impl.hdcWindow = clientArea ? GetDC(impl.window) : GetWindowDC(impl.window);
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
  return true;
}

bool ScreenGrabber::grab(int32_t sourceX, int32_t sourceY) {
  if (impl_ == nullptr) return false;
  Impl& impl = *impl_;
  PhysicalPixelsScope physical;
  impl.grabX = sourceX;
  impl.grabY = sourceY;
  if (!BitBlt(impl.hdcMemory, 0, 0, impl.width, impl.height, impl.hdcWindow, sourceX, sourceY,
              SRCCOPY)) {
    return false;
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
  if (impl.clientArea) {
    ScreenToClient(impl.window, &at);
  } else {
    RECT whole;
    if (!GetWindowRect(impl.window, &whole)) return true;
    at.x -= whole.left;
    at.y -= whole.top;
  }
  DrawIconEx(impl.hdcMemory, at.x - static_cast<LONG>(icon.xHotspot) - sourceX,
             at.y - static_cast<LONG>(icon.yHotspot) - sourceY, info.hCursor, 0, 0, 0, nullptr,
             DI_NORMAL);
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
  if (impl.hdcWindow != nullptr) ReleaseDC(impl.window, impl.hdcWindow);
  delete impl_;
  impl_ = nullptr;
}

}  // namespace platform
}  // namespace quorvane_capture
