// One recording from after Initialize (and the wait for the start key) to its written files,
// the same for every host: the library's threads on threads of ours, the watch over its status,
// counts and warnings, the one stop, the join, and the files (finished by the streaming writer,
// or written from memory after the stop, and again to other paths when that failed). The host
// calls Initialize before and Finalize after, and keeps only its face: what it shows and says.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "disk_watch.h"
#include "events_file.h"
#include "quorvane_capture.h"
#include "worker_thread.h"

namespace qvtools {

struct RunOptions {
  // Write the files while recording (StreamOutputThread); false: from memory after the stop.
  bool streaming = true;
  bool sound = true;    // run AudioCaptureThread
  std::string qvfPath;  // narrow, as the library opens it
  std::string wavPath;  // empty: no sound file
  double duration = 0;  // seconds of recorded time (pauses do not count); 0: no limit
  int pollMs = 50;      // how often the recording is looked at
  // Streaming only: the recording stops, its files complete, when the free space of the disk
  // the .qvf file is on falls under this many bytes; 0: no floor.
  uint64_t minFreeBytes = 0;
  // The clicks (the host calls setClickEvents(1) before Initialize) and pauses, written here
  // as they come (events_file.h); empty: none.
  std::string eventsPath;
};

// Why the recording ended.
enum class StopCause {
  kNone,       // still running, or never started
  kHost,       // requestStop
  kDuration,   // RunOptions::duration reached
  kDiskFloor,  // the free disk space fell under RunOptions::minFreeBytes
  kLibrary     // the library stopped it: RunResult::stopStatus says why
};

// What the host sees on each look at a running recording.
struct LiveState {
  RecordingStats stats{};
  double elapsedSeconds = 0;   // since the threads started
  double recordedSeconds = 0;  // the same, paused time left out
  double fill = 0;             // getProgress: the pool in memory, the backlog when streaming
  int32_t status = QV_STATUS_OK;
  int32_t warnings = QV_WARNING_NONE;
  int32_t newWarnings = QV_WARNING_NONE;  // bits seen for the first time on this look
  bool streaming = false;  // the files are written while recording (false after CANNOT_OPEN)
  // Streaming: the disk's free bytes (-1 unknown) and the seconds until they reach the floor
  // (or, without one, run out) at the rate the files grew over the last five seconds (-1
  // while unknown).
  int64_t diskFreeBytes = -1;
  double diskSecondsLeft = -1;
  bool diskLow = false;  // the time left fell under five minutes on this look (once)
};

struct RunResult {
  StopCause stopCause = StopCause::kNone;
  // The library's status that ended the recording; QV_STATUS_OK for a stop of the host or
  // the duration. A capture that ended with the status still OK counts as a full pool.
  int32_t stopStatus = QV_STATUS_OK;
  int32_t status = QV_STATUS_OK;       // getRecordingStatus after the threads returned
  int32_t warnings = QV_WARNING_NONE;  // every warning the recording gave
  double recordedSeconds = 0;          // at the stop, paused time left out
  double elapsedSeconds = 0;
  RecordingStats stats{};  // the last counts, after the threads returned
  uint64_t captured = 0;   // CaptureThread's result
  bool soundCaptured = false;
  bool streamed = false;                // the writer made the files while recording
  bool cutShort = false;                // streamed, ended by a failed write: the files end there
  uint64_t records = QV_OUTPUT_FAILED;  // video records in the .qvf; QV_OUTPUT_FAILED: not written
  int wavResult = -1;                   // a QV_WAV_* value; -1 when no sound file was asked for
  std::string qvfPath, wavPath;         // where the files are (or were to be) written
  int64_t diskFreeBytes = -1;           // at the last look at the disk
  bool eventsWritten = true;            // false when the events file could not be written

  bool nothingRecorded() const { return captured == 0; }
  bool videoWritten() const { return records != QV_OUTPUT_FAILED; }
  bool soundWritten() const { return wavPath.empty() || wavResult == QV_WAV_WRITTEN; }
  // Both files are whole, to the end of the recording.
  bool complete() const { return !cutShort && videoWritten() && soundWritten(); }
  // The library ended the recording because its window or sound went away: the files are
  // complete up to that moment, but the recording is shorter than asked.
  bool sourceLost() const;
};

class SessionRunner {
 public:
  explicit SessionRunner(RunOptions options);
  // Stops and joins whatever still runs.
  ~SessionRunner();
  SessionRunner(const SessionRunner&) = delete;
  SessionRunner& operator=(const SessionRunner&) = delete;

  // Starts the recording threads (and the streaming writer, first, so it sees every frame).
  void start();
  // From any thread, also before start: the recording ends on the next look.
  void requestStop();
  bool stopRequested() const { return stopRequested_; }

  // Looks at the recording every pollMs, handing each look to `look`, until the host, the
  // duration or the library stops it; then stops it (setTerminated(1), once) and joins the
  // recording threads. `look` runs on this thread and may call requestStop.
  void record(const std::function<void(const LiveState&)>& look);
  // After record: the streaming writer completes the files, or (in memory, or when the
  // streamed files could not be created) both are written from memory. `progress` gets the
  // backlog left (streaming) or the share written (0 to 1) about every 100 ms.
  using Progress = std::function<void(double fraction, bool fromMemory)>;
  const RunResult& finish(const Progress& progress);
  // After a failed write from memory: writes the file(s) named again (empty: leave it), the
  // whole recording each time.
  const RunResult& writeAgain(const std::string& qvfPath, const std::string& wavPath,
                              const Progress& progress);

  const RunResult& result() const { return result_; }

 private:
  LiveState look();
  void stopAndJoin();
  void writeFromMemory(bool video, bool sound, const Progress& progress);
  double secondsSinceStart() const;
  void watchDisk(LiveState* live);
  void keepEvents(const LiveState& live);

  RunOptions options_;
  QvStreamPaths streamPaths_{};  // read by the streaming writer until it returns
  std::unique_ptr<Worker> writer_;
  std::unique_ptr<Worker> capture_;
  std::vector<std::unique_ptr<Worker>> stages_;
  std::unique_ptr<Worker> audio_;
  std::chrono::steady_clock::time_point started_{};
  std::atomic<bool> stopRequested_{false};
  std::mutex mutex_;
  std::condition_variable wake_;
  bool running_ = false;  // threads started, not yet terminated
  RunResult result_;
  std::unique_ptr<DiskWatch> disk_;
  double lastDiskLook_ = -1.0;
  EventsFile events_;
  int64_t frameRate_ = 1;
  int32_t eventsPaused_ = 0;
};

}  // namespace qvtools
