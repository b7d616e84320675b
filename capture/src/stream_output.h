// Recording straight to disk, and the state a recording shares with its writers.
#ifndef QUORVANE_STREAM_OUTPUT_H
#define QUORVANE_STREAM_OUTPUT_H

#include <cstdint>

namespace quorvane_capture {

// The first fault of the recording (QV_STATUS_*); later ones do not replace it.
void reportRecordingStatus(int32_t status);
int32_t recordingStatus();
// A new recording: no fault, nothing streamed.
void resetRecordingState();
// True once a streaming writer has taken the recording: what it wrote went back to the pool,
// so the in-memory writers have nothing left to write.
bool recordingStreamed();

// Counts the capture, encode and compress threads while they run: a streaming writer finishes
// the frames they left only once none of them runs.
class RecordingThreadScope {
 public:
  RecordingThreadScope();
  ~RecordingThreadScope();
  RecordingThreadScope(const RecordingThreadScope&) = delete;
  RecordingThreadScope& operator=(const RecordingThreadScope&) = delete;
};
int recordingThreadsRunning();

// Writes the container (and the WAV file, when wavPath is given) while the recording runs and
// finishes both after the stop. Returns the number of video records, or 0 when the files could
// not be written completely.
uint64_t streamRecording(const char* containerPath, const char* wavPath);

// How often at least the bytes written are handed to the system and the WAV header is brought
// up to date.
constexpr double kDurableEveryMilliseconds = 500.0;
// How often at least the system is asked to put the files on the disk.
constexpr double kSyncEveryMilliseconds = 1000.0;

}  // namespace quorvane_capture

#endif
