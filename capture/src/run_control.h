// The recording's shared state and its one stop. The stages and the sound include this; the
// writers sit above the stages, and nothing here knows a writer.
//
// A recording's life, as this state sees it:
//   resetRecordingState (Initialize, Finalize): running, status OK, no warning, no writer has it,
//     progress 0, the sound not stopped.
//   stopRecording(reason), from any thread, any number of times, also at once: the stop flag is
//     set, the first fault given is kept as the status (QV_STATUS_OK, the host's stop, keeps
//     none), every stage waiting for work is woken, and the sound device is stopped exactly once;
//     every caller but the sound's own thread returns only after the sound has ended.
//   clearStopRequest (setTerminated(0), waitCaptureAction): the flag alone is withdrawn; a sound
//     that was stopped stays stopped (one recording records its sound once).
//   claimRecordingForStream: the streaming writer takes the recording (once); the in-memory
//     writers then have nothing left to write.
#ifndef QUORVANE_RUN_CONTROL_H
#define QUORVANE_RUN_CONTROL_H

#include <cstdint>

namespace quorvane_capture {

// The one way a recording ends. reason: QV_STATUS_OK for a host's stop, otherwise the fault.
void stopRecording(int32_t reason);
// Whether a stop was requested (the stages' and the sound's loop condition).
bool getTerminated();
void clearStopRequest();

// A fault that does not end the recording (a streamed file that could not be created: the
// recording goes on in memory); kept as the status when it is the first.
void noteRecordingFault(int32_t status);
// The first fault of the recording (QV_STATUS_*), QV_STATUS_OK without one.
int32_t recordingStatus();
// Warnings (QV_WARNING_* bits) the host should show while the recording goes on.
void raiseRecordingWarning(int32_t bits);
int32_t recordingWarnings();

// A new recording, or none: every value above back to its start.
void resetRecordingState();

// getProgress's value: the pool's fill while recording, the share written while writing.
void setProgress(double value);
double progressValue();

// The streaming writer takes the recording: true for the first claim of a recording only.
bool claimRecordingForStream();
// A writer that could not open its files gives the recording back to the in-memory writers.
void returnRecordingFromStream();
// True once a streaming writer holds the recording: what it wrote went back to the pool.
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

// Marks the calling thread as the sound's own (AudioCaptureThread) for its lifetime: a stop it
// makes asks the sound loop to end instead of waiting for it, which would wait for itself.
class SoundThreadScope {
 public:
  SoundThreadScope();
  ~SoundThreadScope();
  SoundThreadScope(const SoundThreadScope&) = delete;
  SoundThreadScope& operator=(const SoundThreadScope&) = delete;
};

}  // namespace quorvane_capture

#endif
