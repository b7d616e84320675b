#include "x11_display.h"

#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

namespace quorvane_capture {
namespace platform {
namespace {

std::mutex& queryMutex() {
  static std::mutex mutex;
  return mutex;
}

// Opened on first use and kept: reconnecting for every key poll would cost a round trip each
// millisecond. A process that moves to another X server (a new $DISPLAY) gets a new
// connection; the old one is kept, not closed, because closing a connection to a server that
// is gone would end the process in Xlib's I/O error handler.
struct SharedDisplay {
  Display* display = nullptr;
  std::string name;
  std::vector<Display*> retired;
};
// Never destroyed: connections outlive every static destructor that might still query.
SharedDisplay& sharedDisplay() {
  static SharedDisplay* shared = new SharedDisplay();
  return *shared;
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

// A server that went away (and perhaps came back under the same name) leaves the socket at
// its end of file. Seen before Xlib touches it, the connection can still be put aside quietly.
bool connectionAlive(Display* display) {
  pollfd descriptor{ConnectionNumber(display), POLLIN, 0};
  if (poll(&descriptor, 1, 0) <= 0) return true;
  if (descriptor.revents & (POLLHUP | POLLERR | POLLNVAL)) return false;
  char byte;
  return recv(descriptor.fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) != 0;
}

}  // namespace

QueryDisplay::QueryDisplay() : lock_(queryMutex()) {
  SharedDisplay& shared = sharedDisplay();
  const char* name = getenv("DISPLAY");
  const std::string current = name != nullptr ? name : "";
  if (shared.display != nullptr && (shared.name != current || !connectionAlive(shared.display))) {
    shared.retired.push_back(shared.display);
    shared.display = nullptr;
  }
  if (shared.display == nullptr) {
    shared.display = XOpenDisplay(nullptr);
    shared.name = current;
  }
  display_ = shared.display;
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
