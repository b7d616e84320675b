// Internal entry points of the video pipeline's threads, shared by the exported thread
// procedures and by tests that build a frame list themselves.
#ifndef QUORVANE_PIPELINE_H
#define QUORVANE_PIPELINE_H

#include <cstdint>

namespace quorvane_capture {

// Consumers that find nothing ready sleep this long before looking again.
constexpr uint32_t kPollMilliseconds = 100;
// The capture pacing sleeps in steps of this length, under a timer of kTimerPeriod resolution.
constexpr uint32_t kPaceSleepMilliseconds = 2;
constexpr uint32_t kTimerPeriod = 1;

// Writes the container file from frameList (and the sound chunks) with the sizes and frame
// rate in captureSetting and captureSettingInternal. Needs no mutex: only the caller touches
// the frame list while it runs. Returns the number of video records written, or 0 when the
// list is empty or the file could not be written completely; QV_OUTPUT_ALREADY_WRITTEN after a
// streamed recording.
//
// Frames not yet compressed are compressed into a work buffer and written from there; their
// records keep the state they had (a captured frame becomes an encoded one, which is what it
// then holds), so a second run over the same list writes the same bytes.
uint64_t writeOutputFile(const char* path);

}  // namespace quorvane_capture

#endif
