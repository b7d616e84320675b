/* What the test client draws, shared with the test that checks the recordings. */
#ifndef QUORVANE_TEST_BANDS_H
#define QUORVANE_TEST_BANDS_H

#include <stdint.h>

enum {
  kBands = 8,
  kSquareTop = 128,
  kSquareSize = 64,
  kSteps = 15,
  kStepMilliseconds = 100,
  kSquareFirstLeft = 64,
  kSquareStep = 32
};

/* 0xRRGGBB of the band that column x of a picture `width` wide falls in. */
static inline uint32_t qvBandColour(int x, int width) {
  static const uint32_t colours[kBands] = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFF00,
                                           0x00FFFF, 0xFF00FF, 0x808080, 0x000000};
  return colours[(int64_t)x * kBands / width];
}

static inline int qvSquareLeft(int step) { return kSquareFirstLeft + kSquareStep * step; }

#endif
