// What a host needs to name and size a recording before it starts: file names from a pattern,
// and the smaller output sizes it may offer for a captured picture.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace qvtools {

// What the pattern's fields stand for. Text is UTF-8.
struct NameFields {
  std::tm time{};           // local time of the recording's start
  std::string windowTitle;  // empty for the whole screen
  std::string processName;
};

// The pattern with {date} (2026-01-31), {time} (14-05-09), {window} and {process} filled in,
// made a valid file name on every system: characters no file system takes (< > : " / \ | ? *
// and control characters) become '_', trailing dots and spaces go, names the system reserves
// for devices (CON, NUL, COM1, CONIN$..., with any extension) get a '_' in front, a name longer
// than 120 bytes is cut (between UTF-8 characters), and an empty result becomes "Quorvane". The
// name carries no extension. Unknown {fields} stay as written.
std::string expandFileNamePattern(const std::string& pattern, const NameFields& fields);

// False with *reason when the pattern cannot make a name (an unclosed {).
bool checkFileNamePattern(const std::string& pattern, std::string* reason);

struct PictureSize {
  int64_t width = 0;
  int64_t height = 0;
};

// The capture scaled to the given number of lines, keeping the aspect; the width is rounded to
// the nearest even number (at least 2). Heights at or above the captured one give the capture.
PictureSize scaledSize(PictureSize captured, int64_t height);

// The common heights (2160, 1440, 1080, 720, 540, 480, 360, 240) and the half and quarter of the
// capture that are smaller than the capture, largest first, without duplicates.
std::vector<int64_t> smallerHeights(PictureSize captured);

}  // namespace qvtools
