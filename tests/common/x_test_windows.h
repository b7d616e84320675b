// X windows made by tests, on one Xvfb shared by the whole test program.
//
// Starting a server costs about a second: sharedXvfb() starts one on first use and keeps it
// until the program ends, for every test that needs nothing special of it.
#ifndef QUORVANE_X_TEST_WINDOWS_H
#define QUORVANE_X_TEST_WINDOWS_H

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "test_servers.h"

namespace qvtest {

inline XvfbServer& sharedXvfb() {
  static XvfbServer server(1280, 720);
  return server;
}

// A top-level window on its own connection. Properties are set before mapping, as toolkits do.
class TestWindow {
 public:
  TestWindow(int width, int height, bool overrideRedirect = false) {
    display_ = XOpenDisplay(nullptr);
    if (display_ == nullptr) return;
    XSetWindowAttributes attributes{};
    attributes.override_redirect = overrideRedirect ? True : False;
    attributes.background_pixel = 0x336699;
    window_ = XCreateWindow(display_, DefaultRootWindow(display_), 10, 10, width, height, 0,
                            CopyFromParent, InputOutput, CopyFromParent,
                            CWOverrideRedirect | CWBackPixel, &attributes);
    XSync(display_, False);
  }
  ~TestWindow() { destroy(); }
  // Closes the window as its program would, before the test ends.
  void destroy() {
    if (display_ == nullptr) return;
    XDestroyWindow(display_, window_);
    XCloseDisplay(display_);
    display_ = nullptr;
  }
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;

  Display* display() const { return display_; }
  Window id() const { return window_; }
  Atom atom(const char* name) const { return XInternAtom(display_, name, False); }

  void setUtf8Name(const std::string& name) {
    XChangeProperty(display_, window_, atom("_NET_WM_NAME"), atom("UTF8_STRING"), 8,
                    PropModeReplace, reinterpret_cast<const unsigned char*>(name.data()),
                    static_cast<int>(name.size()));
  }
  // WM_NAME as type STRING: ISO 8859-1 bytes.
  void setLatin1Name(const std::string& bytes) {
    XChangeProperty(display_, window_, XA_WM_NAME, XA_STRING, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(bytes.data()),
                    static_cast<int>(bytes.size()));
  }
  void setAtoms(const char* property, const std::vector<const char*>& values) {
    std::vector<long> atoms;
    for (const char* v : values) atoms.push_back(static_cast<long>(atom(v)));
    XChangeProperty(display_, window_, atom(property), XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(atoms.data()),
                    static_cast<int>(atoms.size()));
  }
  void setCardinal(const char* property, long value) {
    XChangeProperty(display_, window_, atom(property), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&value), 1);
  }
  void map() {
    XMapRaised(display_, window_);
    XSync(display_, False);
  }
  void sync() { XSync(display_, False); }
  void unmap() {
    XUnmapWindow(display_, window_);
    XSync(display_, False);
  }
  void fill(unsigned long pixel) {
    XSetWindowBackground(display_, window_, pixel);
    XClearWindow(display_, window_);
    XSync(display_, False);
  }

  // Waits until the window is viewable (a window manager maps it after reparenting; a manager
  // that has just started may first spend seconds loading its theme).
  bool waitViewable(int timeoutMs = 20000) {
    for (int waited = 0; waited < timeoutMs; waited += 20) {
      XWindowAttributes a;
      if (XGetWindowAttributes(display_, window_, &a) && a.map_state == IsViewable) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

 private:
  Display* display_ = nullptr;
  Window window_ = None;
};

}  // namespace qvtest

#endif
