#include "x11_display.h"

#include <atomic>

namespace quorvane_capture {
namespace platform {
namespace {

std::mutex& queryMutex() {
  static std::mutex mutex;
  return mutex;
}

// Opened on first use and kept: reconnecting for every key poll would cost a round trip each
// millisecond.
Display*& sharedDisplay() {
  static Display* display = nullptr;
  return display;
}

std::mutex& trapMutex() {
  static std::mutex mutex;
  return mutex;
}
std::atomic<int> trappedErrors{0};

int countError(Display*, XErrorEvent*) {
  trappedErrors.fetch_add(1);
  return 0;
}

// Xlib's default I/O error handler exits the process; a library must not.
struct ThreadsInit {
  ThreadsInit() { XInitThreads(); }
} threadsInit;

}  // namespace

QueryDisplay::QueryDisplay() : lock_(queryMutex()) {
  Display*& display = sharedDisplay();
  if (display == nullptr) display = XOpenDisplay(nullptr);
  display_ = display;
}

// Error handlers are process-wide in Xlib, so traps are taken one at a time.
X11ErrorTrap::X11ErrorTrap(Display* display) : display_(display) {
  trapMutex().lock();
  if (display_ != nullptr) XSync(display_, False);
  trappedErrors.store(0);
  previous_ = XSetErrorHandler(countError);
}

X11ErrorTrap::~X11ErrorTrap() {
  if (display_ != nullptr) XSync(display_, False);
  XSetErrorHandler(previous_);
  trapMutex().unlock();
}

bool X11ErrorTrap::failed() {
  if (display_ != nullptr) XSync(display_, False);
  return trappedErrors.load() != 0;
}

}  // namespace platform
}  // namespace quorvane_capture
