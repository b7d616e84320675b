// What both editors' info functions report about an open file, worked out in one place so the
// two tables cannot drift apart.
#pragma once

#include <climits>

#include "container_reader.h"
#include "editor_media.h"

namespace qv_reader {

constexpr DWORD kFourccYuy2 = 0x32595559;  // "YUY2"

// Counts and sizes as the editors' int fields can hold them.
inline int clampToInt(uint64_t v) { return v > uint64_t{INT_MAX} ? INT_MAX : static_cast<int>(v); }

struct StreamDescription {
  bool hasVideo = false;  // frame rate, width and height all known
  bool hasAudio = false;  // samples in a format the editor's record can state
  int rate = 0;
  int scale = 1;
  int frames = 0;               // every video record, repeats included
  int samples = 0;              // whole sample frames
  BITMAPINFOHEADER video = {};  // packed YUY2, rows top to bottom
  WAVEFORMATEX audio = {};      // PCM as stored
};

StreamDescription describe(const ContainerReader& reader);

}  // namespace qv_reader
