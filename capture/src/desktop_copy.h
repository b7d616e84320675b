// A picture of a whole monitor, as a screen copy hands it over (rows `pitch` bytes apart, 32 bits
// per pixel, possibly in the panel's own orientation), cut down to the recorded rectangle. No
// system call: the Desktop Duplication grabber maps its staging texture and calls this, and the
// tests and benchmarks call it on memory of their own.
#ifndef QUORVANE_DESKTOP_COPY_H
#define QUORVANE_DESKTOP_COPY_H

#include <cstdint>

namespace quorvane_capture {

// How the monitor's picture is turned against the desktop, with the values of
// DXGI_MODE_ROTATION (0, unspecified, counts as identity). With a quarter turn the mapped
// picture is desktopHeight wide and desktopWidth tall.
enum class DesktopRotation : int32_t {
  kIdentity = 1,
  kRotate90 = 2,   // desktop (x, y) is mapped (y, desktopWidth - 1 - x)
  kRotate180 = 3,  // desktop (x, y) is mapped (desktopWidth - 1 - x, desktopHeight - 1 - y)
  kRotate270 = 4,  // desktop (x, y) is mapped (desktopHeight - 1 - y, x)
};

struct MappedMonitor {
  const uint8_t* pixels;  // the mapped picture's first row
  int64_t pitch;          // bytes from one mapped row to the next (at least its width x 4)
  int32_t desktopWidth;   // the monitor's size as the desktop shows it
  int32_t desktopHeight;
  DesktopRotation rotation;
};

// Copies the desktop rectangle of width x height at (left, top), relative to the monitor's
// top-left corner, into dst (top-down, rows exactly width x 4 bytes). Pixels of the rectangle
// outside the monitor keep what dst held. The fourth byte is copied as it is.
void copyMonitorRegion(const MappedMonitor& monitor, int32_t left, int32_t top, uint8_t* dst,
                       int32_t width, int32_t height);

}  // namespace quorvane_capture

#endif
