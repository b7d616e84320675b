// The clicks of a recording's events file as subtitles the editor loads as text: "click" (or
// "right click") at the frame that first shows the press, for half a second.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "events_file.h"

namespace qvf_tool {

// How long each subtitle stays.
constexpr int64_t kClickSubtitleMilliseconds = 500;

// "HH:MM:SS,mmm".
std::string srtTime(int64_t milliseconds);
// Writes the subtitles of the presses among `lines` for a file of `frameRate` frames per
// second; false (with *error) when the file cannot be written.
bool exportSrt(const std::vector<qvtools::EventLine>& lines, int64_t frameRate,
               const std::string& path, std::string* error);

}  // namespace qvf_tool
