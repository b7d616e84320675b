// Per-monitor DPI awareness for the calls that read window rectangles, grab and find the
// pointer. A host that declares no awareness (or runs an unaware thread) would otherwise see
// every rectangle and the pointer scaled down on a scaled display, and grab a scaled picture:
// the library works in physical pixels whatever its host declares.
#ifndef QUORVANE_PLATFORM_WIN32_DPI_AWARENESS_H
#define QUORVANE_PLATFORM_WIN32_DPI_AWARENESS_H

#include <windows.h>

namespace quorvane_capture {
namespace platform {

// Sets the calling thread per-monitor aware (V2, else V1) for one scope and puts the thread's
// previous context back after it. A guard on each call rather than once on the capture thread,
// because the host's threads call these functions too (the window list, Initialize). Does
// nothing where the system lacks SetThreadDpiAwarenessContext (before Windows 10 1607).
class PhysicalPixelsScope {
 public:
  PhysicalPixelsScope();
  ~PhysicalPixelsScope();
  PhysicalPixelsScope(const PhysicalPixelsScope&) = delete;
  PhysicalPixelsScope& operator=(const PhysicalPixelsScope&) = delete;

 private:
  DPI_AWARENESS_CONTEXT previous_;
};

}  // namespace platform
}  // namespace quorvane_capture

#endif
