// Internal entry points of the video pipeline's threads, shared by the exported thread
// procedures and by tests that build a frame list themselves.
#ifndef QUORVANE_PIPELINE_H
#define QUORVANE_PIPELINE_H

#include <cstdint>

#include "frame_stages.h"

namespace quorvane_capture {

// Consumers that find nothing ready wait for frameListSignal, at most this long, before looking
// again (a stop is seen within it even without a notification).
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

// A compressing thread's own scratch, from the C heap for the whole run: a piece of the difference
// and the Snappy output, which then goes into a pool piece of exactly its length (pieces of the
// largest possible size, taken by several threads at once, would leave the pool in holes).
class CompressScratch {
 public:
  explicit CompressScratch(const PictureGeometry& g);
  ~CompressScratch();
  CompressScratch(const CompressScratch&) = delete;
  CompressScratch& operator=(const CompressScratch&) = delete;
  bool ready() const { return difference != nullptr && out != nullptr; }

  uint8_t* difference;
  uint8_t* out;
};

// The compress work of a recording, handed out one frame at a time in list order while the
// compress thread runs, to the compress thread and to encode threads that have nothing of their
// own to do. Compresses the next frame when it is ready. kPoolFull: no piece could be had; the
// recording has been stopped.
enum class CompressStep { kCompressed, kNothingReady, kPoolFull };
CompressStep compressNextFrame(const PictureGeometry& g, CompressScratch& scratch);

}  // namespace quorvane_capture

#endif
