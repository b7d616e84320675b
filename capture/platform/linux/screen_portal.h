// The screen on Wayland desktops: a screen cast granted by the desktop portal (D-Bus) and
// delivered as a PipeWire video stream. The X11 side of the platform layer hands the desktop,
// its rectangle and its grabber over to this file while a cast is open.
#ifndef QUORVANE_SCREEN_PORTAL_H
#define QUORVANE_SCREEN_PORTAL_H

#include <cstdint>

#include "platform.h"

namespace quorvane_capture {
namespace platform {

// The handle that stands for the cast screen while a cast is open (no X window has it).
constexpr WindowHandle kPortalScreen = ~WindowHandle{0} - 1;

// Whether a cast is open (it may have ended since: see portalCastSize).
bool portalCastOpen();
// The stream's picture size when the cast was opened; false when no cast is open or the
// cast has ended (the user stopped sharing, the portal or PipeWire went away).
bool portalCastSize(int32_t* width, int32_t* height);

// Copies a stream picture (rows `stride` bytes apart) into a tight BGRx picture, red and blue
// swapped for RGBx/RGBA streams: the PipeWire thread's work for each picture.
void copyStreamPicture(const uint8_t* from, int32_t stride, int32_t width, int32_t height,
                       bool swapRedBlue, uint8_t* to);

// A grabber's view of the open cast: the newest picture the stream delivered, copied into a
// width x height picture of the cast's first size seen through (sourceX, sourceY). A later
// size is scaled into the first one with an area average, its shape kept (bars of black where
// it differs). False once the cast has ended.
class PortalFrames {
 public:
  PortalFrames() = default;
  PortalFrames(const PortalFrames&) = delete;
  PortalFrames& operator=(const PortalFrames&) = delete;
  bool copyNewest(uint8_t* picture, int32_t width, int32_t height, int32_t sourceX,
                  int32_t sourceY);

 private:
  uint64_t seen_ = 0;
  int32_t lastX_ = INT32_MIN;
  int32_t lastY_ = INT32_MIN;
};

}  // namespace platform
}  // namespace quorvane_capture

#endif
