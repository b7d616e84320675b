// The X connection that the Linux backend uses for queries (rectangles, keys, window lists).
// Xlib connections must not be used by two threads at once: hold the lock while using it.
// The screen grabber opens a connection of its own, so capturing never waits for a query.
#ifndef QUORVANE_X11_DISPLAY_H
#define QUORVANE_X11_DISPLAY_H

#include <X11/Xlib.h>

#include <mutex>

namespace quorvane_capture {
namespace platform {

class QueryDisplay {
 public:
  QueryDisplay();
  QueryDisplay(const QueryDisplay&) = delete;
  QueryDisplay& operator=(const QueryDisplay&) = delete;
  // Null when no X server can be reached ($DISPLAY unset or the server gone).
  Display* get() const { return display_; }

 private:
  std::unique_lock<std::mutex> lock_;
  Display* display_;
};

// Translates X protocol errors into results instead of ending the process (Xlib's default),
// for as long as it lives: a window may vanish between two requests.
class X11ErrorTrap {
 public:
  explicit X11ErrorTrap(Display* display);
  ~X11ErrorTrap();
  X11ErrorTrap(const X11ErrorTrap&) = delete;
  X11ErrorTrap& operator=(const X11ErrorTrap&) = delete;
  // Waits for the server to answer everything sent so far, then tells whether any request
  // failed since the trap was set.
  bool failed();

 private:
  Display* display_;
  XErrorHandler previous_;
};

}  // namespace platform
}  // namespace quorvane_capture

#endif
