// The Desktop Duplication copy: a monitor's mapped picture, in any of the four orientations and
// with a pitch wider than its rows, cut down to the recorded rectangle.
#include "desktop_copy.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

using quorvane_capture::copyMonitorRegion;
using quorvane_capture::DesktopRotation;
using quorvane_capture::MappedMonitor;
using Bytes = std::vector<uint8_t>;

// What the panel holds for a desktop picture: the mapped texture with the given rotation and
// pitch (the bytes past each row are 0xEE, which must never reach the copy).
struct Mapped {
  Bytes bytes;
  int64_t pitch;
};
Mapped panelPicture(const Bytes& desktop, int32_t w, int32_t h, DesktopRotation rotation,
                    int64_t extraPitch) {
  const bool turned =
      rotation == DesktopRotation::kRotate90 || rotation == DesktopRotation::kRotate270;
  const int64_t mw = turned ? h : w, mh = turned ? w : h;
  Mapped m{Bytes(static_cast<size_t>((mw * 4 + extraPitch) * mh), 0xEE), mw * 4 + extraPitch};
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < w; ++x) {
      int64_t mx = x, my = y;
      if (rotation == DesktopRotation::kRotate90) mx = y, my = w - 1 - x;
      if (rotation == DesktopRotation::kRotate180) mx = w - 1 - x, my = h - 1 - y;
      if (rotation == DesktopRotation::kRotate270) mx = h - 1 - y, my = x;
      std::memcpy(&m.bytes[static_cast<size_t>(my * m.pitch + mx * 4)],
                  &desktop[(static_cast<size_t>(y) * w + x) * 4], 4);
    }
  }
  return m;
}

Bytes randomPicture(int32_t w, int32_t h, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes p(static_cast<size_t>(w) * h * 4);
  for (uint8_t& b : p) b = static_cast<uint8_t>(random());
  return p;
}

TEST(DesktopCopy, EveryRotationAndPitchGivesTheDesktopRectangle) {
  const int32_t w = 37, h = 23;  // odd sizes: a swapped width and height shows at once
  const Bytes desktop = randomPicture(w, h, 7);
  for (DesktopRotation rotation : {DesktopRotation::kIdentity, DesktopRotation::kRotate90,
                                   DesktopRotation::kRotate180, DesktopRotation::kRotate270}) {
    for (int64_t extra : {0, 4, 60, 256}) {
      const Mapped m = panelPicture(desktop, w, h, rotation, extra);
      const MappedMonitor monitor{m.bytes.data(), m.pitch, w, h, rotation};
      // The whole monitor, and a rectangle inside it.
      for (const auto& r : {std::vector<int32_t>{0, 0, w, h}, std::vector<int32_t>{5, 3, 20, 11}}) {
        Bytes out(static_cast<size_t>(r[2]) * r[3] * 4, 0);
        copyMonitorRegion(monitor, r[0], r[1], out.data(), r[2], r[3]);
        for (int32_t y = 0; y < r[3]; ++y) {
          ASSERT_EQ(0, std::memcmp(&out[static_cast<size_t>(y) * r[2] * 4],
                                   &desktop[(static_cast<size_t>(r[1] + y) * w + r[0]) * 4],
                                   static_cast<size_t>(r[2]) * 4))
              << "rotation " << static_cast<int>(rotation) << ", pitch +" << extra << ", row " << y
              << " of " << r[2] << "x" << r[3] << " at " << r[0] << "," << r[1];
        }
      }
    }
  }
}

// The orientation as DXGI states it: a desktop turned a quarter clockwise shows its top-left
// pixel at the panel's bottom-left.
TEST(DesktopCopy, QuarterTurnFollowsTheSystemsConvention) {
  // Desktop 3 x 2 (pixels 1..6, row by row); the panel is 2 wide and 3 tall.
  const uint32_t panel90[6] = {3, 6, 2, 5, 1, 4};
  const uint32_t panel270[6] = {4, 1, 5, 2, 6, 3};
  uint32_t out[6];
  copyMonitorRegion(
      {reinterpret_cast<const uint8_t*>(panel90), 8, 3, 2, DesktopRotation::kRotate90}, 0, 0,
      reinterpret_cast<uint8_t*>(out), 3, 2);
  EXPECT_EQ(std::vector<uint32_t>(out, out + 6), (std::vector<uint32_t>{1, 2, 3, 4, 5, 6}));
  copyMonitorRegion(
      {reinterpret_cast<const uint8_t*>(panel270), 8, 3, 2, DesktopRotation::kRotate270}, 0, 0,
      reinterpret_cast<uint8_t*>(out), 3, 2);
  EXPECT_EQ(std::vector<uint32_t>(out, out + 6), (std::vector<uint32_t>{1, 2, 3, 4, 5, 6}));
}

TEST(DesktopCopy, PartsOffTheMonitorKeepWhatThePictureHeld) {
  const int32_t w = 16, h = 10;
  const Bytes desktop = randomPicture(w, h, 3);
  const Mapped m = panelPicture(desktop, w, h, DesktopRotation::kRotate180, 32);
  const MappedMonitor monitor{m.bytes.data(), m.pitch, w, h, DesktopRotation::kRotate180};
  // 8 x 6 at (-3, 7): columns 0-2 and rows 3-5 lie off the monitor.
  Bytes out(8 * 6 * 4, 0x5A);
  copyMonitorRegion(monitor, -3, 7, out.data(), 8, 6);
  for (int32_t y = 0; y < 6; ++y) {
    for (int32_t x = 0; x < 8; ++x) {
      const uint8_t* got = &out[(static_cast<size_t>(y) * 8 + x) * 4];
      const int32_t dx = x - 3, dy = y + 7;
      if (dx < 0 || dy >= h) {
        EXPECT_EQ(got[0], 0x5A) << x << "," << y;
      } else {
        EXPECT_EQ(0, std::memcmp(got, &desktop[(static_cast<size_t>(dy) * w + dx) * 4], 4))
            << x << "," << y;
      }
    }
  }
  // Wholly off the monitor: nothing is touched.
  copyMonitorRegion(monitor, w, 0, out.data(), 8, 6);
  EXPECT_EQ(out[0], 0x5A);
}

}  // namespace
