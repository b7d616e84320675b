#include "session_runner.h"

#include <algorithm>
#include <thread>
#include <utility>

#include "console.h"

namespace qvtools {

namespace {

void* indexParameter(int index) { return reinterpret_cast<void*>(static_cast<intptr_t>(index)); }

char* pathParameter(const std::string& path) { return const_cast<char*>(path.c_str()); }

// Waits for a writer, reporting progress as it goes.
uint64_t waitForWriter(Worker& writer, bool fromMemory, const SessionRunner::Progress& progress) {
  while (!writer.done()) {
    if (progress) progress(getProgress(), fromMemory);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  const uint64_t result = writer.join();
  if (progress) progress(getProgress(), fromMemory);
  return result;
}

}  // namespace

bool RunResult::sourceLost() const {
  return stopCause == StopCause::kLibrary &&
         (stopStatus == QV_STATUS_TARGET_LOST || stopStatus == QV_STATUS_TARGET_MINIMISED ||
          stopStatus == QV_STATUS_GRAB_FAILED || stopStatus == QV_STATUS_SOUND_LOST ||
          stopStatus == QV_STATUS_SCREEN_ENDED);
}

SessionRunner::SessionRunner(RunOptions options) : options_(std::move(options)) {
  result_.qvfPath = options_.qvfPath;
  result_.wavPath = options_.wavPath;
}

SessionRunner::~SessionRunner() {
  requestStop();
  stopAndJoin();
  if (writer_ != nullptr) writer_->join();
}

void SessionRunner::start() {
  if (running_ || capture_ != nullptr) return;
  started_ = std::chrono::steady_clock::now();
  if (options_.streaming) {
    streamPaths_.containerPath = options_.qvfPath.c_str();
    streamPaths_.wavPath = options_.wavPath.empty() ? nullptr : options_.wavPath.c_str();
    writer_ = std::make_unique<Worker>(StreamOutputThread, &streamPaths_);
  }
  // The time the disk lasts is watched whenever the files grow on it; the floor only when set.
  if (options_.streaming) disk_ = std::make_unique<DiskWatch>(options_.minFreeBytes);
  if (const CaptureSetting* used = getCaptureSetting())
    frameRate_ = std::max<int64_t>(used->frameRate, 1);
  if (!options_.eventsPath.empty()) result_.eventsWritten = events_.open(options_.eventsPath);
  capture_ = std::make_unique<Worker>(CaptureThread, nullptr);
  const int encodeThreads = getEncodeThreadCount();
  for (int i = 0; i < encodeThreads; ++i) {
    stages_.push_back(std::make_unique<Worker>(EncodeThread, indexParameter(i)));
  }
  stages_.push_back(std::make_unique<Worker>(CompressThread, nullptr));
  if (options_.sound) audio_ = std::make_unique<Worker>(AudioCaptureThread, nullptr);
  running_ = true;
}

void SessionRunner::requestStop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopRequested_ = true;
  }
  wake_.notify_all();
}

double SessionRunner::secondsSinceStart() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
}

LiveState SessionRunner::look() {
  LiveState live;
  getRecordingStats(&live.stats);
  live.elapsedSeconds = secondsSinceStart();
  live.recordedSeconds = std::max(
      0.0, live.elapsedSeconds - static_cast<double>(live.stats.pausedMilliseconds) / 1000.0);
  live.fill = getProgress();
  live.status = getRecordingStatus();
  live.warnings = getRecordingWarnings();
  live.newWarnings = live.warnings & ~result_.warnings;
  result_.warnings |= live.warnings;
  live.streaming = options_.streaming && live.status != QV_STATUS_CANNOT_OPEN;
  watchDisk(&live);
  keepEvents(live);
  return live;
}

void SessionRunner::watchDisk(LiveState* live) {
  if (disk_ == nullptr || !live->streaming) return;
  // The file system is asked four times a second, not on every look.
  if (lastDiskLook_ < 0.0 || live->elapsedSeconds - lastDiskLook_ >= 0.25) {
    lastDiskLook_ = live->elapsedSeconds;
    const auto size = [](const std::string& path) {
      const int64_t bytes = path.empty() ? 0 : fileSize(path);
      return static_cast<uint64_t>(bytes < 0 ? 0 : bytes);
    };
    disk_->add(live->elapsedSeconds, size(options_.qvfPath) + size(options_.wavPath),
               freeDiskBytes(options_.qvfPath));
    live->diskLow = disk_->lowWarningDue();
  }
  live->diskFreeBytes = disk_->freeBytes();
  live->diskSecondsLeft = disk_->secondsLeft();
  result_.diskFreeBytes = disk_->freeBytes();
}

void SessionRunner::keepEvents(const LiveState& live) {
  if (!events_.isOpen()) return;
  QvClickEvent batch[64];
  for (int32_t n; (n = readClickEvents(batch, 64)) > 0;) {
    for (int32_t i = 0; i < n; ++i) events_.click(batch[i]);
  }
  if (live.stats.paused != eventsPaused_) {
    // The next picture after the pause takes the next video record.
    eventsPaused_ = live.stats.paused;
    const int64_t frame = live.stats.videoRecords;
    events_.pause(eventsPaused_ != 0, frame, frame * 1000 / frameRate_);
  }
}

void SessionRunner::record(const std::function<void(const LiveState&)>& onLook) {
  if (!running_) return;
  for (;;) {
    const LiveState live = look();
    if (onLook) onLook(live);
    StopCause cause = StopCause::kNone;
    int32_t stopStatus = QV_STATUS_OK;
    if (stopRequested_) {
      cause = StopCause::kHost;
    } else if (options_.duration > 0 && live.recordedSeconds >= options_.duration) {
      cause = StopCause::kDuration;
    } else if (disk_ != nullptr && live.streaming && disk_->belowFloor()) {
      cause = StopCause::kDiskFloor;
    } else if (live.status != QV_STATUS_OK && live.status != QV_STATUS_CANNOT_OPEN) {
      // Files that could not be created only move the recording into memory.
      cause = StopCause::kLibrary;
      stopStatus = live.status;
    } else if (capture_->done()) {
      // The capture ends by itself only when the library stopped the recording; without a
      // status for it, that was a full pool (or frame list).
      const int32_t status = getRecordingStatus();
      cause = StopCause::kLibrary;
      stopStatus =
          status == QV_STATUS_OK || status == QV_STATUS_CANNOT_OPEN ? QV_STATUS_POOL_FULL : status;
    }
    if (cause != StopCause::kNone) {
      result_.stopCause = cause;
      result_.stopStatus = stopStatus;
      result_.recordedSeconds = live.recordedSeconds;
      result_.elapsedSeconds = live.elapsedSeconds;
      break;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock, std::chrono::milliseconds(options_.pollMs),
                   [this] { return stopRequested_.load(); });
  }
  stopAndJoin();
}

void SessionRunner::stopAndJoin() {
  if (!running_) return;
  setTerminated(1);
  result_.captured = capture_->join();
  for (auto& stage : stages_) stage->join();
  result_.soundCaptured = audio_ != nullptr && audio_->join() == QV_SOUND_CAPTURED;
  capture_.reset();
  stages_.clear();
  audio_.reset();
  running_ = false;
  result_.status = getRecordingStatus();
  result_.warnings |= getRecordingWarnings();
  getRecordingStats(&result_.stats);
  if (events_.isOpen()) {
    // The presses of the last frames.
    keepEvents(LiveState{result_.stats});
    result_.eventsWritten = events_.close() && result_.eventsWritten;
  }
}

const RunResult& SessionRunner::finish(const Progress& progress) {
  stopAndJoin();
  if (writer_ != nullptr) {
    // It finishes the frames the threads left and completes both files.
    const uint64_t records = waitForWriter(*writer_, false, progress);
    writer_.reset();
    result_.status = getRecordingStatus();
    if (result_.status != QV_STATUS_CANNOT_OPEN) {
      result_.streamed = true;
      result_.cutShort = records == QV_OUTPUT_FAILED || result_.status == QV_STATUS_WRITE_FAILED;
      result_.records = result_.cutShort ? QV_OUTPUT_FAILED : records;
      if (!result_.wavPath.empty()) result_.wavResult = QV_WAV_WRITTEN;
      return result_;
    }
    // The files could not be created: the recording went on in memory.
  }
  if (result_.nothingRecorded()) return result_;
  writeFromMemory(true, !result_.wavPath.empty(), progress);
  return result_;
}

const RunResult& SessionRunner::writeAgain(const std::string& qvfPath, const std::string& wavPath,
                                           const Progress& progress) {
  if (result_.streamed || result_.nothingRecorded()) return result_;
  const bool video = !qvfPath.empty() && !result_.videoWritten();
  const bool sound = !wavPath.empty() && !result_.wavPath.empty() && !result_.soundWritten();
  if (video) result_.qvfPath = qvfPath;
  if (sound) result_.wavPath = wavPath;
  writeFromMemory(video, sound, progress);
  return result_;
}

void SessionRunner::writeFromMemory(bool video, bool sound, const Progress& progress) {
  // Both only read what was recorded, so they run together.
  std::unique_ptr<Worker> wav;
  if (sound) wav = std::make_unique<Worker>(AudioOutputThread, pathParameter(result_.wavPath));
  if (video) {
    Worker out(OutputThread, pathParameter(result_.qvfPath));
    result_.records = waitForWriter(out, true, progress);
  }
  if (wav != nullptr) result_.wavResult = static_cast<int>(wav->join());
}

}  // namespace qvtools
