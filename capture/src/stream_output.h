// Recording straight to disk.
#ifndef QUORVANE_STREAM_OUTPUT_H
#define QUORVANE_STREAM_OUTPUT_H

#include <cstdint>

namespace quorvane_capture {

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
