// The record of how a file was made (RECORD_PROVENANCE in qvf.h): built from the settings in
// use, what the capture thread noted at the start, the sound source and the pause points.
#ifndef QUORVANE_PROVENANCE_H
#define QUORVANE_PROVENANCE_H

#include <cstdint>
#include <vector>

namespace quorvane_capture {

// The start time and the window's title and program, noted once per recording while the
// window surely exists: by the capture thread as it starts, or by a writer that needs the
// record before that. Initialize forgets them.
void noteRecordingStart();
void forgetRecordingStart();

// The whole record, its 24-byte header included; empty when the host did not ask for it and
// the recording was not paused.
std::vector<uint8_t> provenanceRecord();

}  // namespace quorvane_capture

#endif
