// The monitor's mapped picture into the recorded rectangle.
#include "desktop_copy.h"

#include <algorithm>
#include <cstring>

namespace quorvane_capture {
namespace {

inline uint32_t load(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// Desktop rows copied together in a quarter turn: 16 pixels, one cache line of a mapped row.
constexpr int64_t kBand = 16;
constexpr int64_t kTile = 64;

}  // namespace

void copyMonitorRegion(const MappedMonitor& m, int32_t left, int32_t top, uint8_t* dst,
                       int32_t width, int32_t height) {
  if (m.pixels == nullptr || dst == nullptr || width < 1 || height < 1) return;
  // The part of the rectangle that lies on the monitor, in desktop coordinates.
  const int64_t x0 = std::max<int64_t>(left, 0);
  const int64_t y0 = std::max<int64_t>(top, 0);
  const int64_t x1 = std::min<int64_t>(static_cast<int64_t>(left) + width, m.desktopWidth);
  const int64_t y1 = std::min<int64_t>(static_cast<int64_t>(top) + height, m.desktopHeight);
  if (x0 >= x1 || y0 >= y1) return;
  const int64_t dstPitch = static_cast<int64_t>(width) * 4;
  const int64_t w = m.desktopWidth, h = m.desktopHeight;
  const bool quarter =
      m.rotation == DesktopRotation::kRotate90 || m.rotation == DesktopRotation::kRotate270;
  if (quarter) {
    // A desktop row is a mapped column: a band of desktop rows is read as short runs of
    // neighbouring bytes of each mapped row, instead of one pixel per mapped row.
    for (int64_t band = y0; band < y1; band += kBand) {
      const int64_t rows = std::min<int64_t>(kBand, y1 - band);
      // Tiles of kBand x kTile: the mapped rows a tile reads stay in the caches and the TLB.
      for (int64_t tile = x0; tile < x1; tile += kTile) {
        const int64_t tileEnd = std::min<int64_t>(tile + kTile, x1);
        for (int64_t x = tile; x < tileEnd; ++x) {
          const uint8_t* in = m.rotation == DesktopRotation::kRotate90
                                  ? m.pixels + (w - 1 - x) * m.pitch + band * 4
                                  : m.pixels + x * m.pitch + (h - band - rows) * 4;
          uint8_t* out = dst + (band - top) * dstPitch + (x - left) * 4;
          for (int64_t k = 0; k < rows; ++k, out += dstPitch) {
            // Rotate90 reads the band top to bottom, Rotate270 bottom to top.
            const int64_t at = m.rotation == DesktopRotation::kRotate90 ? k : rows - 1 - k;
            std::memcpy(out, in + at * 4, 4);
          }
        }
      }
    }
    return;
  }
  for (int64_t y = y0; y < y1; ++y) {
    uint8_t* out = dst + (y - top) * dstPitch + (x0 - left) * 4;
    if (m.rotation == DesktopRotation::kRotate180) {
      const uint8_t* row = m.pixels + (h - 1 - y) * m.pitch;
      for (int64_t x = x0; x < x1; ++x, out += 4) {
        const uint32_t v = load(row + (w - 1 - x) * 4);
        std::memcpy(out, &v, 4);
      }
    } else {
      std::memcpy(out, m.pixels + y * m.pitch + x0 * 4, static_cast<size_t>((x1 - x0) * 4));
    }
  }
}

}  // namespace quorvane_capture
