// One recording, driven through the capture library's exports in the order it requires.
#pragma once

#include <cstdint>
#include <string>

#include "quorvane_capture.h"

namespace qvrec {

// Exit codes of qvrec.
enum ExitCode {
  kExitOk = 0,
  kExitWriteFailed = 1,  // the recording could not be written anywhere
  kExitUsage = 2,        // bad command line
  kExitNoWindow = 3,     // unknown or ambiguous window
  kExitRefused = 4,      // the library refused the settings
  kExitBadOutput = 5,    // an output path cannot be written (checked before recording)
  kExitNothingRecorded = 6,
  kExitStoppedByWriteFailure = 7,  // streaming: a write failed while recording (disk full...);
                                   // the files hold the recording up to that point
  kExitSourceLost = 8,  // the recorded window was closed or minimised, its picture could not be
                        // grabbed or the sound device went away: the files are complete up to
                        // then, but the recording is shorter than asked
  kExitDiskFloor = 9,   // the free disk space fell under --min-free: the recording stopped there
                        // with complete files
  kExitCancelled = 130  // interrupted while waiting for the hot key
};

struct RecordOptions {
  CaptureSetting setting{};
  std::string windowDescription;
  std::string windowTitle;  // the chosen window's title (empty for the screen)
  bool wholeScreen = false;
  std::string qvfPath;
  std::string wavPath;
  bool audio = true;
  int32_t soundSource = QV_SOURCE_CAPTURE_DEVICE;  // setSoundSource before Initialize
  int32_t soundRate = 44100;                       // setSoundRate before Initialize
  bool cursor = true;                              // setCursorDrawing before Initialize
  int32_t captureMethod = QV_METHOD_AUTO;          // setCaptureMethod before Initialize
  bool hotkey = false;
  double duration = 0;  // seconds; 0: until Ctrl+C or a full pool
  bool quiet = false;
  bool inMemory = false;       // keep the recording in memory and write the files after the stop
  bool keepUnchanged = false;  // store every picture, also one equal to the picture before
  int countdown = 0;           // seconds counted down before the first frame
  int startAt = -1;            // seconds of the day to start at (the next one); -1: at once
  uint64_t minFree = 0;        // streaming: stop when the disk has less free; 0: never
  bool clicks = false;         // setClickDrawing before Initialize
  bool events = false;         // NAME.events.csv beside the .qvf
};

// Installs the handler of Ctrl+C, SIGTERM and a closed console (SIGHUP): each ends the
// recording with complete files (idempotent).
void installStopHandler();

// Records and writes; returns an ExitCode.
int record(const RecordOptions& options);

// Why the chosen sound source (QV_SOURCE_*) cannot be recorded, for a getSoundStatus value.
std::string soundProblem(int32_t source, int32_t status);

// The words for a getInitializeStatus value.
std::string refusalReason(int32_t status);

}  // namespace qvrec
