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

// Seconds of sound in a PCM WAV file of the library's format (16-bit stereo at the given rate)
// of this many bytes, header included.
double wavSeconds(int64_t fileBytes, uint32_t samplesPerSecond = 44100);

// Repeat records among a recording's video records: "12 (0.4%), longest run 3".
std::string repeatSummary(uint64_t repeats, uint64_t videoRecords, uint64_t longestRun);
// Sound length minus picture length: "+0.012 s (sound longer)", "-0.040 s (sound shorter)";
// without the words in brackets when `words` is false.
std::string driftText(double soundSeconds, double pictureSeconds, bool words = true);

}  // namespace qvtools
