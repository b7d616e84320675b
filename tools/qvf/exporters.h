// qvf's exports: every picture and every sample comes from the plug-in.
#pragma once

#include <string>

#include "picture.h"
#include "plugin_loader.h"

namespace qvf_tool {

// Frames first..last (inclusive), every step-th one.
struct FrameSelection {
  int first = 0;
  int last = -1;  // -1: the last frame of the file
  int step = 1;
};

// "A:B", "A:", ":B", "A" (one frame); false with *error for anything else.
bool parseFrameRange(const std::string& text, FrameSelection* selection, std::string* error);
// Clamps the selection to the file; false with *error when nothing is left.
bool resolveSelection(const OpenedFile& file, FrameSelection* selection, std::string* error);

// Each returns false with *error set; a partly written output file is removed. "-" is stdout.
bool exportY4m(const OpenedFile& file, const std::string& out, Range range, std::string* error);
bool exportYuy2(const OpenedFile& file, const std::string& out, std::string* error);
bool exportWav(const OpenedFile& file, const std::string& out, std::string* error);
// One source's own track (its RECORD_AUDIO_TRACK records, `track` their number) of the file at
// path, read straight from the records.
bool exportTrackWav(const OpenedFile& file, const std::string& path, uint64_t track,
                    const std::string& out, std::string* error);
// Writes DIR/frame_NNNNNN.png for the selected frames; *written counts them.
bool exportPng(const OpenedFile& file, const std::string& dir, const FrameSelection& selection,
               const YuvToRgb& colour, int* written, std::string* error);
// One picture of count evenly spaced frames of the selection, columns wide, each thumbWidth
// pixels wide, labelled with its frame number and time.
bool exportSheet(const OpenedFile& file, const std::string& out, const FrameSelection& selection,
                 const YuvToRgb& colour, int count, int columns, int thumbWidth,
                 std::string* error);

}  // namespace qvf_tool
