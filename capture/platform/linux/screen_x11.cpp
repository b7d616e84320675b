// X11 side of the platform layer: the desktop, window rectangles, the screen grabber and keys.
//
// A window handle is an X window id; the desktop window is the root window of the default
// screen. The "whole window" of a client window is its top-level ancestor below the root (the
// window manager's frame when there is one); its client area is the window itself. Pictures
// are taken from the root window at the window's current place on the screen, as a screen
// device context does on a desktop without composition: what covers the window is recorded.
#include <X11/XKBlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xfixes.h>
#include <X11/keysym.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform.h"
#include "screen_portal.h"
#include "x11_display.h"

namespace quorvane_capture {
namespace platform {
namespace {

// The top-level ancestor of a window below the root; the window itself without a window
// manager. None when the window does not exist.
Window topLevelOf(Display* display, Window window) {
  Window current = window;
  for (int depth = 0; depth < 64; ++depth) {
    Window root = 0, parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display, current, &root, &parent, &children, &count)) return None;
    if (children != nullptr) XFree(children);
    if (parent == root || parent == None) return current;
    current = parent;
  }
  return current;
}

bool readRect(WindowHandle handle, bool wholeWindow, Rect* rect) {
  if (handle == kPortalScreen) {
    int32_t width = 0, height = 0;
    if (rect == nullptr || !portalCastSize(&width, &height)) return false;
    *rect = {0, 0, width, height};
    return true;
  }
  QueryDisplay query;
  Display* display = query.get();
  if (display == nullptr || rect == nullptr) return false;
  X11ErrorTrap trap(display);
  Window window = static_cast<Window>(handle);
  if (wholeWindow && window != DefaultRootWindow(display)) window = topLevelOf(display, window);
  XWindowAttributes attributes;
  if (window == None || !XGetWindowAttributes(display, window, &attributes) || trap.failed()) {
    return false;
  }
  if (wholeWindow) {
    const int border = attributes.border_width;
    *rect = {attributes.x, attributes.y, attributes.x + attributes.width + 2 * border,
             attributes.y + attributes.height + 2 * border};
  } else {
    *rect = {0, 0, attributes.width, attributes.height};
  }
  return true;
}

}  // namespace

// While a screen cast is open the screen is the cast's, whether or not an X server answers.
bool displayAvailable() {
  if (portalCastOpen()) return true;
  QueryDisplay query;
  return query.get() != nullptr;
}

WindowHandle desktopWindow() {
  if (portalCastOpen()) return kPortalScreen;
  QueryDisplay query;
  return query.get() ? static_cast<WindowHandle>(DefaultRootWindow(query.get())) : 0;
}

bool getWindowRect(WindowHandle window, Rect* rect) { return readRect(window, true, rect); }
bool getClientRect(WindowHandle window, Rect* rect) { return readRect(window, false, rect); }

uint16_t getAsyncKeyState(int virtualKey) {
  KeySym symbol = 0;
  if (virtualKey == kKeyF12) symbol = XK_F12;
  if (virtualKey == kKeyPrintScreen) symbol = XK_Print;
  if (virtualKey == kKeyF11) symbol = XK_F11;
  if (virtualKey == kKeyPause) symbol = XK_Pause;
  if (symbol == 0) return 0;
  QueryDisplay query;
  Display* display = query.get();
  if (display == nullptr) return 0;
  const KeyCode code = XKeysymToKeycode(display, symbol);
  if (code == 0) return 0;
  char keys[32];
  XQueryKeymap(display, keys);
  return (keys[code / 8] & (1 << (code % 8))) ? 0x8000 : 0;
}

struct ScreenGrabber::Impl {
  Display* display = nullptr;
  Window root = None;
  Window source = None;  // the window whose origin the source rectangle is relative to
  XImage* image = nullptr;
  XShmSegmentInfo shm{};
  bool useShm = false;
  int32_t width = 0;
  int32_t height = 0;
  int screenWidth = 0;
  int screenHeight = 0;
  uint8_t* heapPixels = nullptr;  // the picture when MIT-SHM is missing
  bool xfixes = false;            // the server can hand out the pointer's image
  bool drawCursor = false;
  int64_t grabX = 0;  // the last grab's top-left corner on the root window
  int64_t grabY = 0;
  PortalFrames* portal = nullptr;  // the screen cast's pictures (heapPixels), instead of X
};

namespace {

// Blends the pointer's image (premultiplied ARGB, as XFixes gives it) over the picture whose
// top-left corner is at (left, top) on the root window.
void blendCursor(const XFixesCursorImage& cursor, uint8_t* picture, int32_t width, int32_t height,
                 int64_t left, int64_t top) {
  const int64_t cursorLeft = int64_t{cursor.x} - cursor.xhot - left;
  const int64_t cursorTop = int64_t{cursor.y} - cursor.yhot - top;
  for (int64_t row = 0; row < cursor.height; ++row) {
    const int64_t y = cursorTop + row;
    if (y < 0 || y >= height) continue;
    for (int64_t column = 0; column < cursor.width; ++column) {
      const int64_t x = cursorLeft + column;
      if (x < 0 || x >= width) continue;
      const auto argb = static_cast<uint32_t>(cursor.pixels[row * cursor.width + column]);
      const uint32_t alpha = argb >> 24;
      if (alpha == 0) continue;
      uint8_t* p = picture + (y * width + x) * 4;
      for (int channel = 0; channel < 3; ++channel) {
        const uint32_t source = (argb >> (8 * channel)) & 0xFF;
        const uint32_t kept = (p[channel] * (255 - alpha) + 127) / 255;
        p[channel] = static_cast<uint8_t>(std::min<uint32_t>(source + kept, 255));
      }
    }
  }
}

}  // namespace

void ScreenGrabber::setCursorDrawing(bool enabled) {
  if (impl_ != nullptr) impl_->drawCursor = enabled && impl_->xfixes;
}

ScreenGrabber::ScreenGrabber() : impl_(nullptr) {}
ScreenGrabber::~ScreenGrabber() { close(); }

uint8_t* ScreenGrabber::pixels() const {
  if (impl_ != nullptr && impl_->portal != nullptr) return impl_->heapPixels;
  return impl_ && impl_->image ? reinterpret_cast<uint8_t*>(impl_->image->data) : nullptr;
}

bool ScreenGrabber::isOpen() const { return impl_ != nullptr; }

// X11 has one way to copy a picture: the window's, which for the root window is the screen.
const char* ScreenGrabber::ordinaryCopyName() { return "X11"; }

void ScreenGrabber::setScreenMethod(bool screenRegion, bool duplication) {
  screenRegion_ = screenRegion;
  duplication_ = duplication;
}

ScreenGrabber::Method ScreenGrabber::method() const {
  return impl_ != nullptr && impl_->source == impl_->root ? Method::kScreen : Method::kWindow;
}

const char* ScreenGrabber::duplicationFailedCall() const { return nullptr; }

int32_t ScreenGrabber::duplicationFailure() const { return 0; }

bool ScreenGrabber::open(WindowHandle window, bool clientArea, int32_t width, int32_t height) {
  close();
  if (width < 1 || height < 1) return false;
  Impl* impl = new Impl();
  impl_ = impl;
  if (window == kPortalScreen) {
    // The pointer is the compositor's to draw (or not): it was chosen when the cast opened.
    impl->width = width;
    impl->height = height;
    impl->heapPixels = static_cast<uint8_t*>(calloc(static_cast<size_t>(width) * height, 4));
    if (impl->heapPixels == nullptr || !portalCastOpen()) {
      close();
      return false;
    }
    impl->portal = new PortalFrames();
    return true;
  }
  impl->display = XOpenDisplay(nullptr);
  if (impl->display == nullptr) {
    close();
    return false;
  }
  Display* display = impl->display;
  const int screen = DefaultScreen(display);
  impl->root = RootWindow(display, screen);
  impl->screenWidth = DisplayWidth(display, screen);
  impl->screenHeight = DisplayHeight(display, screen);
  impl->width = width;
  impl->height = height;
  Visual* visual = DefaultVisual(display, screen);
  const int depth = DefaultDepth(display, screen);
  {
    X11ErrorTrap trap(display);
    Window source = static_cast<Window>(window);
    if (!clientArea && source != impl->root) source = topLevelOf(display, source);
    XWindowAttributes attributes;
    if (source == None || !XGetWindowAttributes(display, source, &attributes) || trap.failed()) {
      close();
      return false;
    }
    impl->source = source;
  }

  int fixesEvent = 0, fixesError = 0;
  impl->xfixes = XFixesQueryExtension(display, &fixesEvent, &fixesError) != False;

  if (XShmQueryExtension(display)) {
    X11ErrorTrap trap(display);
    impl->image = XShmCreateImage(display, visual, depth, ZPixmap, nullptr, &impl->shm,
                                  static_cast<unsigned>(width), static_cast<unsigned>(height));
    if (impl->image != nullptr && impl->image->bits_per_pixel == 32 &&
        impl->image->bytes_per_line == width * 4) {
      impl->shm.shmid =
          shmget(IPC_PRIVATE, static_cast<size_t>(width) * height * 4, IPC_CREAT | 0600);
      if (impl->shm.shmid >= 0) {
        impl->shm.shmaddr = static_cast<char*>(shmat(impl->shm.shmid, nullptr, 0));
        if (impl->shm.shmaddr != reinterpret_cast<char*>(-1)) {
          impl->image->data = impl->shm.shmaddr;
          impl->shm.readOnly = False;
          const bool attached = XShmAttach(display, &impl->shm) && !trap.failed();
          // Marked for removal at once: the segment goes away with the last detach, even if
          // the process dies.
          shmctl(impl->shm.shmid, IPC_RMID, nullptr);
          if (attached) {
            impl->useShm = true;
          } else {
            shmdt(impl->shm.shmaddr);
          }
        } else {
          shmctl(impl->shm.shmid, IPC_RMID, nullptr);
        }
      }
    }
    if (!impl->useShm && impl->image != nullptr) {
      impl->image->data = nullptr;
      XDestroyImage(impl->image);
      impl->image = nullptr;
    }
  }
  if (!impl->useShm) {
    impl->heapPixels = static_cast<uint8_t*>(calloc(static_cast<size_t>(width) * height, 4));
    if (impl->heapPixels == nullptr) {
      close();
      return false;
    }
    impl->image =
        XCreateImage(display, visual, depth, ZPixmap, 0, reinterpret_cast<char*>(impl->heapPixels),
                     width, height, 32, width * 4);
    if (impl->image == nullptr || impl->image->bits_per_pixel != 32) {
      close();
      return false;
    }
  } else {
    memset(impl->image->data, 0, static_cast<size_t>(width) * height * 4);
  }
  return true;
}

bool ScreenGrabber::grab(int32_t sourceX, int32_t sourceY) {
  if (impl_ != nullptr && impl_->portal != nullptr) {
    return impl_->portal->copyNewest(impl_->heapPixels, impl_->width, impl_->height, sourceX,
                                     sourceY);
  }
  if (impl_ == nullptr || impl_->image == nullptr) return false;
  Impl& impl = *impl_;
  X11ErrorTrap trap(impl.display);
  int originX = 0, originY = 0;
  Window child = None;
  if (impl.source != impl.root && !XTranslateCoordinates(impl.display, impl.source, impl.root, 0, 0,
                                                         &originX, &originY, &child)) {
    return false;
  }
  const int64_t x = int64_t{originX} + sourceX;
  const int64_t y = int64_t{originY} + sourceY;
  impl.grabX = x;
  impl.grabY = y;
  auto copy = [&]() -> bool {
    const bool inside = x >= 0 && y >= 0 && x + impl.width <= impl.screenWidth &&
                        y + impl.height <= impl.screenHeight;
    if (inside && impl.useShm) {
      return XShmGetImage(impl.display, impl.root, impl.image, static_cast<int>(x),
                          static_cast<int>(y), AllPlanes) &&
             !trap.failed();
    }
    // Only the part on the screen can be read; the rest keeps what it held.
    const int64_t left = std::max<int64_t>(x, 0);
    const int64_t top = std::max<int64_t>(y, 0);
    const int64_t right = std::min<int64_t>(x + impl.width, impl.screenWidth);
    const int64_t bottom = std::min<int64_t>(y + impl.height, impl.screenHeight);
    if (left >= right || top >= bottom) return false;
    XImage* part = XGetImage(impl.display, impl.root, static_cast<int>(left), static_cast<int>(top),
                             static_cast<unsigned>(right - left),
                             static_cast<unsigned>(bottom - top), AllPlanes, ZPixmap);
    if (part == nullptr || trap.failed()) {
      if (part != nullptr) XDestroyImage(part);
      return false;
    }
    const size_t rowBytes = static_cast<size_t>(right - left) * 4;
    for (int64_t row = 0; row < bottom - top; ++row) {
      uint8_t* to = reinterpret_cast<uint8_t*>(impl.image->data) +
                    static_cast<size_t>(top - y + row) * impl.width * 4 +
                    static_cast<size_t>(left - x) * 4;
      memcpy(to, part->data + row * part->bytes_per_line, rowBytes);
    }
    XDestroyImage(part);
    return true;
  };
  if (!copy()) return false;
  if (impl.drawCursor) {
    // The pointer is not part of the screen's contents: it is drawn where the server shows it.
    if (XFixesCursorImage* cursor = XFixesGetCursorImage(impl.display)) {
      blendCursor(*cursor, reinterpret_cast<uint8_t*>(impl.image->data), impl.width, impl.height, x,
                  y);
      XFree(cursor);
    }
  }
  return true;
}

bool ScreenGrabber::readPointer(int32_t* x, int32_t* y, uint32_t* buttons) {
  if (impl_ == nullptr || x == nullptr || y == nullptr || buttons == nullptr) return false;
  // A screen cast tells nothing of the pointer outside its pictures.
  if (impl_->portal != nullptr) return false;
  Window root = None, child = None;
  int rootX = 0, rootY = 0, windowX = 0, windowY = 0;
  unsigned int mask = 0;
  X11ErrorTrap trap(impl_->display);
  if (!XQueryPointer(impl_->display, impl_->root, &root, &child, &rootX, &rootY, &windowX, &windowY,
                     &mask) ||
      trap.failed()) {
    return false;
  }
  *x = static_cast<int32_t>(rootX - impl_->grabX);
  *y = static_cast<int32_t>(rootY - impl_->grabY);
  // The mask names logical buttons: a left-handed mapping is already undone.
  *buttons = ((mask & Button1Mask) != 0 ? kPointerLeft : 0u) |
             ((mask & Button3Mask) != 0 ? kPointerRight : 0u);
  return true;
}

void ScreenGrabber::close() {
  if (impl_ == nullptr) return;
  Impl* impl = impl_;
  impl_ = nullptr;
  if (impl->useShm) {
    XShmDetach(impl->display, &impl->shm);
    XSync(impl->display, False);
    shmdt(impl->shm.shmaddr);
  }
  if (impl->image != nullptr) {
    impl->image->data = nullptr;  // owned by the segment or by heapPixels
    XDestroyImage(impl->image);
  }
  free(impl->heapPixels);
  delete impl->portal;
  if (impl->display != nullptr) XCloseDisplay(impl->display);
  delete impl;
}

}  // namespace platform
}  // namespace quorvane_capture
