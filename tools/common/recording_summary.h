// One-line descriptions of a finished recording, the same in every host.
#pragma once

#include <cstdint>
#include <string>

namespace qvtools {

struct VideoFacts {
  uint64_t records = 0;   // video records written: captured frames plus repeat records
  uint64_t captured = 0;  // frames the capture took
  int64_t frameRate = 0;
  int64_t width = 0;
  int64_t height = 0;
};

// "3.000 s: 90 frames at 30 fps (88 captured, 2 repeat records), 640x480".
std::string videoSummary(const VideoFacts& facts);

// Seconds of sound in a PCM WAV file of the library's format (16-bit stereo 44100 Hz) of this
// many bytes, header included.
double wavSeconds(int64_t fileBytes);

}  // namespace qvtools
