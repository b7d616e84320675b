// Every call the program makes into the capture library lives here: the window list, and one
// recording from start-up to its written files. The window uses only the records and the class
// below.
//
// The recording follows the library's order: Initialize, (waitCaptureAction), the shared
// session runner (the recording threads, the stop, the files), Finalize. A control thread of the
// session does the waiting and drives the runner, so the window never blocks.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "quorvane_capture.h"
#include "session_runner.h"

namespace qvapp {

struct ListedWindow {
  uint64_t handle = 0;
  int64_t windowWidth = 0, windowHeight = 0;
  int64_t clientWidth = 0, clientHeight = 0;
  std::wstring title;
  std::wstring processName;
  bool wholeScreen = false;
};

// The library's list: the whole screen first, then the windows worth offering.
std::vector<ListedWindow> listWindows();

enum class SoundSource { kCaptureDevice, kPlayback, kBoth, kNone };

// The sound choices as the window offers them, in order: a new source is one more line in
// kSoundChoices (session.cpp).
struct SoundChoice {
  SoundSource source;
  unsigned label;         // IDS_SOUND_*
  const char* setting;    // its value of [Recording] sound in the settings file
  int32_t librarySource;  // QV_SOURCE_*
};
extern const SoundChoice kSoundChoices[];
extern const size_t kSoundChoiceCount;
const SoundChoice& soundChoice(SoundSource source);

struct RecordingRequest {
  uint64_t window = 0;
  int64_t frameRate = 30;
  int64_t outputWidth = 0;  // 0: as captured
  int64_t outputHeight = 0;
  int32_t colorMatrix = 0;  // 0 automatic, 1 BT.601, 2 BT.709
  bool fullRange = false;
  bool clientArea = true;
  int32_t captureMethod = 0;  // QV_METHOD_*: a window as the screen region it covers, ...
  uint64_t memoryBytes = 1ull << 30;
  SoundSource sound = SoundSource::kCaptureDevice;
  int32_t soundRate = 44100;  // 44100 or 48000
  bool pointer = false;
  bool clicks = false;     // a ring drawn at each click
  std::string eventsPath;  // the clicks and pauses written here; empty: none
  // Streaming: the recording stops cleanly when the disk's free space falls under this; 0: never.
  uint64_t minFreeBytes = 0;
  bool waitForKey = false;  // start on the library's hot keys (F12, Print Screen)
  // Write the files while recording (the disk bounds the length); false: from memory after the
  // stop (the memory bounds it).
  bool streaming = true;
  // Where the files go, in the system's ANSI code page: the library opens narrow paths.
  std::string qvfPath;
  std::string wavPath;  // empty: no sound file
};

// What the library itself supports today. The pause, pointer and sound source features get
// wired in RecordingSession (start, pause, resume) once the library exports them.
struct LibraryFeatures {
  bool pause = false;
  bool pointer = false;
  bool playbackSound = false;
};
LibraryFeatures libraryFeatures();

enum class Phase {
  kIdle,
  kWaitingForKey,  // initialised, waiting for F12 or Print Screen
  kRecording,
  kStopping,     // the threads are being ended
  kWriting,      // from memory, or (streaming) the last frames and the files' completion
  kWritten,      // both files complete (or sound off)
  kWriteFailed,  // some file is incomplete; the recording is still in memory
  kCancelled,    // stopped while waiting for the key: nothing was recorded
  kNothingRecorded
};

struct SessionStatus {
  Phase phase = Phase::kIdle;
  double elapsed = 0;       // seconds since the recording threads started
  int64_t frames = 0;       // captured so far
  int64_t missedSlots = 0;  // frame slots without a capture so far: repeat records to come
  double poolFill = 0;      // share of the memory pool in use: the backlog when streaming
  double writeProgress = 0;
  bool streaming = false;     // the files are written while recording
  bool cutShort = false;      // a write failed while streaming: the files end where it failed
  bool blackPicture = false;  // the window's picture comes out black (QV_WARNING_BLACK_PICTURE)
  bool gdiFallback = false;   // Desktop Duplication gave way to GDI (QV_WARNING_GDI_FALLBACK)
  bool soundLost = false;     // a sound device went away: silence from then (QV_WARNING_SOUND_LOST)
  // The library ended the recording because the window or the sound went away: the files are
  // complete up to then, the recording is shorter than asked.
  bool sourceLost = false;
  bool diskFloor = false;       // ended because the disk's free space fell under the floor
  double diskSecondsLeft = -1;  // streaming with a floor: at the current rate; -1 unknown
  bool diskLow = false;         // the time left has fallen under five minutes (stays set)
  bool eventsFailed = false;    // the events file could not be written
  std::string stopReason;
  // After writing.
  uint64_t records = 0;   // video records in the file (0: the .qvf was not written)
  uint64_t captured = 0;  // frames captured
  bool soundCaptured = false;
  int32_t soundStatus = 0;     // getSoundStatus() after Initialize: why a source could not open
  bool playbackSound = false;  // the source is what the computer plays
  // With both sources: each one's status (getSoundSourceStatus), to say which one is missing.
  bool bothSources = false;
  int32_t deviceStatus = 0;
  int32_t playbackStatus = 0;
  int wavResult = -1;  // the library's result for the .wav, -1 when none was asked for
  std::string qvfPath, wavPath;

  bool videoWritten() const { return records != QV_OUTPUT_FAILED; }
  bool soundWritten() const { return wavResult == QV_WAV_WRITTEN; }
  bool soundWriteFailed() const { return wavResult == QV_WAV_WRITE_FAILED; }
};

// The used settings after Initialize corrected them.
struct UsedSettings {
  int64_t frameRate = 0;
  int64_t outputWidth = 0, outputHeight = 0;
};

class RecordingSession {
 public:
  RecordingSession() = default;
  ~RecordingSession();
  RecordingSession(const RecordingSession&) = delete;
  RecordingSession& operator=(const RecordingSession&) = delete;

  // Initialises the library and starts recording (or waiting for the key). Returns the
  // library's start-up status: 0 when running; otherwise the settings were refused and the
  // library is finalised again.
  int32_t start(const RecordingRequest& request, UsedSettings* used);
  // Ends the recording (or the wait for the key); the files are written in the background.
  void stop(const std::string& reason);
  void pause();
  void resume();
  // After kWriteFailed: writes what failed again, to these paths (ANSI; empty: keep the old).
  void writeAgain(const std::string& qvfPath, const std::string& wavPath);
  // Ends what runs, releases the library. Safe in every phase.
  void discard();

  SessionStatus poll();

 private:
  void control();
  void onLook(const qvtools::LiveState& live);
  void onProgress(double fraction, bool fromMemory);
  // Brings the status up to date with the runner's result after a write.
  void takeResult(const qvtools::RunResult& result);

  RecordingRequest request_;
  std::unique_ptr<qvtools::SessionRunner> runner_;
  std::thread control_;
  mutable std::mutex mutex_;
  bool stopRequested_ = false;
  bool initialized_ = false;
  SessionStatus status_;
};

// The words for a refused start-up status, for a person.
std::wstring refusalText(int32_t status);

}  // namespace qvapp
