#include "session.h"

#include <windows.h>

#include <cmath>
#include <cstdio>
#include <memory>

#include "quorvane_capture.h"
#include "win_text.h"

namespace qvapp {

std::vector<ListedWindow> listWindows() {
  std::vector<ListedWindow> list;
  const uint64_t count = createWindowList();
  for (uint64_t i = 0; i < count; ++i) {
    const WindowInformationRecord* r = getWindowList(i);
    if (r == nullptr) break;
    ListedWindow w;
    w.handle = r->hwnd;
    w.windowWidth = r->windowWidth;
    w.windowHeight = r->windowHeight;
    w.clientWidth = r->clientWidth;
    w.clientHeight = r->clientHeight;
    // The library reads titles and program names with the ANSI functions.
    w.title = fromAnsi(r->title != nullptr ? r->title : "");
    w.processName = fromAnsi(r->processName != nullptr ? r->processName : "");
    w.wholeScreen = i == 0;
    list.push_back(std::move(w));
  }
  return list;
}

LibraryFeatures libraryFeatures() {
  LibraryFeatures features{};
  features.pause = true;
  features.pointer = true;
  features.playbackSound = true;
  return features;
}

RecordingSession::~RecordingSession() { discard(); }

int32_t RecordingSession::start(const RecordingRequest& request, UsedSettings* used) {
  discard();
  CaptureSetting s{};
  s.frameRate = request.frameRate;
  s.targetWindow = request.window;
  s.outputWidth = request.outputWidth;
  s.outputHeight = request.outputHeight;
  s.memorySize = request.memoryBytes;
  s.affinityMask = getAffinityMask();
  s.colorMatrix = request.colorMatrix;
  s.fullRange = request.fullRange ? 1 : 0;
  s.useAVX = 1;
  s.clientArea = request.clientArea ? 1 : 0;
  // Choices made beside the settings record, before Initialize. A still screen is stored as
  // repeat records rather than as differences of zeros, so it does not fill the disk.
  setCursorDrawing(request.pointer ? 1 : 0);
  setSoundSource(request.sound == SoundSource::kNone       ? QV_SOURCE_NONE
                 : request.sound == SoundSource::kPlayback ? QV_SOURCE_DESKTOP
                                                           : QV_SOURCE_CAPTURE_DEVICE);
  setRepeatUnchanged(1);
  Initialize(&s);
  // The file says how it was made: colours, sizes, window, start time, pauses.
  setWriteProvenance(1);
  const int32_t status = getInitializeStatus();
  if (status != QV_INIT_OK) {
    Finalize();
    return status;
  }
  const CaptureSetting* corrected = getCaptureSetting();
  used->frameRate = corrected->frameRate;
  used->outputWidth = corrected->outputWidth;
  used->outputHeight = corrected->outputHeight;

  request_ = request;
  request_.frameRate = corrected->frameRate;
  qvtools::RunOptions run;
  run.streaming = request.streaming;
  run.sound = request.sound != SoundSource::kNone;
  run.qvfPath = request.qvfPath;
  run.wavPath = request.wavPath;
  runner_ = std::make_unique<qvtools::SessionRunner>(run);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    initialized_ = true;
    stopRequested_ = false;
    status_ = SessionStatus{};
    status_.phase = request.waitForKey ? Phase::kWaitingForKey : Phase::kRecording;
    status_.streaming = request.streaming;
    status_.qvfPath = request.qvfPath;
    status_.wavPath = request.wavPath;
    status_.soundStatus = getSoundStatus();
    status_.playbackSound = request.sound == SoundSource::kPlayback;
  }
  control_ = std::thread(&RecordingSession::control, this);
  return QV_INIT_OK;
}

namespace {

// Why the library ended the recording, for the sentence "The recording stopped: ...".
std::string libraryStopReason(const qvtools::RunResult& r, bool streaming) {
  char when[48];
  std::snprintf(when, sizeof(when), ", %.1f s into the recording", r.recordedSeconds);
  switch (r.stopStatus) {
    case QV_STATUS_WRITE_FAILED:
      return "a write failed (is the disk full?)";
    case QV_STATUS_TARGET_LOST:
      return std::string("the recorded window was closed") + when;
    case QV_STATUS_TARGET_MINIMISED:
      return std::string("the recorded window was minimised (it has no picture then)") + when;
    case QV_STATUS_GRAB_FAILED:
      return std::string("the window's picture could not be captured any more") + when;
    case QV_STATUS_SOUND_LOST:
      return std::string("the sound device went away") + when;
    default:
      // The capture ends by itself otherwise only when the memory pool is full.
      return streaming ? "the disk could not keep up and the memory for the backlog is full"
                       : "the memory reserved for the recording is full";
  }
}

}  // namespace

void RecordingSession::control() {
  if (request_.waitForKey) {
    const bool pressed = waitCaptureAction() == QV_HOTKEY_PRESSED;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!pressed || stopRequested_) {
      status_.phase = Phase::kCancelled;
      return;
    }
    status_.phase = Phase::kRecording;
  }
  runner_->start();
  runner_->record([this](const qvtools::LiveState& live) { onLook(live); });
  const qvtools::RunResult& r = runner_->result();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    status_.elapsed = r.elapsedSeconds;
    status_.frames = r.stats.capturedFrames;
    status_.captured = r.captured;
    status_.soundCaptured = r.soundCaptured;
    status_.sourceLost = r.sourceLost();
    if (r.stopCause == qvtools::StopCause::kLibrary) {
      status_.stopReason = libraryStopReason(r, status_.streaming);
    }
    status_.phase = Phase::kWriting;
  }
  takeResult(runner_->finish([this](double f, bool fromMemory) { onProgress(f, fromMemory); }));
}

void RecordingSession::onLook(const qvtools::LiveState& live) {
  std::lock_guard<std::mutex> lock(mutex_);
  status_.elapsed = live.elapsedSeconds;
  status_.frames = live.stats.capturedFrames;
  status_.poolFill = live.fill;
  const int64_t slots = static_cast<int64_t>(
      std::floor(live.elapsedSeconds * static_cast<double>(request_.frameRate)));
  status_.missedSlots = slots > status_.frames ? slots - status_.frames : 0;
  // Files that could not be created leave the recording in memory.
  status_.streaming = live.streaming;
  status_.blackPicture = (live.warnings & QV_WARNING_BLACK_PICTURE) != 0;
}

void RecordingSession::onProgress(double fraction, bool fromMemory) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Streaming: the backlog still to write; in memory: the share written.
  if (fromMemory) status_.streaming = false;
  status_.poolFill = fraction;
  status_.writeProgress = fromMemory ? fraction : 1.0 - fraction;
}

void RecordingSession::takeResult(const qvtools::RunResult& r) {
  std::lock_guard<std::mutex> lock(mutex_);
  status_.records = r.videoWritten() ? r.records : QV_OUTPUT_FAILED;
  status_.cutShort = r.cutShort;
  status_.wavResult = r.wavPath.empty() ? -1 : r.wavResult;
  status_.qvfPath = r.qvfPath;
  status_.wavPath = r.wavPath;
  status_.writeProgress = 1.0;
  if (r.nothingRecorded()) {
    status_.phase = Phase::kNothingRecorded;
  } else if (r.streamed || r.complete()) {
    status_.phase = Phase::kWritten;
  } else {
    status_.phase = Phase::kWriteFailed;
  }
}

void RecordingSession::stop(const std::string& reason) {
  Phase phase;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    phase = status_.phase;
    if (phase != Phase::kWaitingForKey && phase != Phase::kRecording) return;
    stopRequested_ = true;
    if (status_.stopReason.empty()) status_.stopReason = reason;
    if (phase == Phase::kRecording) status_.phase = Phase::kStopping;
  }
  if (runner_ != nullptr) runner_->requestStop();
  // Ends waitCaptureAction; poll() repeats it in case the wait had not begun yet.
  if (phase == Phase::kWaitingForKey) setTerminated(1);
}

void RecordingSession::pause() { setPaused(QV_PAUSED); }

void RecordingSession::resume() { setPaused(QV_RUNNING); }

void RecordingSession::writeAgain(const std::string& qvfPath, const std::string& wavPath) {
  std::string video, sound;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (status_.phase != Phase::kWriteFailed) return;
    if (status_.records == QV_OUTPUT_FAILED) video = qvfPath.empty() ? status_.qvfPath : qvfPath;
    if (!status_.wavPath.empty() && status_.wavResult != QV_WAV_WRITTEN) {
      sound = wavPath.empty() ? status_.wavPath : wavPath;
    }
    status_.phase = Phase::kWriting;
    status_.writeProgress = 0;
  }
  if (control_.joinable()) control_.join();
  control_ = std::thread([this, video, sound] {
    takeResult(runner_->writeAgain(
        video, sound, [this](double f, bool fromMemory) { onProgress(f, fromMemory); }));
  });
}

void RecordingSession::discard() {
  stop("the program was closed");
  // The wait for the key clears the stop flag when it begins: repeat it until the thread ends.
  while (control_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (status_.phase != Phase::kWaitingForKey) break;
    }
    setTerminated(1);
    Sleep(10);
  }
  if (control_.joinable()) control_.join();
  // Every thread of the recording has returned before the library is released.
  runner_.reset();
  std::lock_guard<std::mutex> lock(mutex_);
  if (initialized_) Finalize();
  initialized_ = false;
  status_ = SessionStatus{};
}

SessionStatus RecordingSession::poll() {
  std::unique_lock<std::mutex> lock(mutex_);
  SessionStatus s = status_;
  const bool stopping = stopRequested_;
  lock.unlock();
  if (s.phase == Phase::kWaitingForKey && stopping) setTerminated(1);
  return s;
}

std::wstring refusalText(int32_t status) {
  switch (status) {
    case QV_INIT_BAD_FRAME_RATE:
      return L"The frame rate must be at least 1 frame per second.";
    case QV_INIT_EMPTY_TARGET:
      return L"The window has nothing to record: it was closed or is minimised. Restore it, or "
             L"refresh the list and choose another.";
    case QV_INIT_FRAME_TOO_LARGE:
      return L"One picture of this window would take more than 100 MiB. Choose a smaller "
             L"window.";
    case QV_INIT_TOO_SMALL:
      return L"The window is too narrow to record: at least 2 columns are needed.";
    case QV_INIT_CAPTURE_FAILED:
      return L"The window's picture could not be captured, or the memory for the recording "
             L"could not be reserved. Try less memory, or another window.";
    case QV_INIT_NO_DISPLAY:
      return L"There is no screen to record: the desktop cannot be reached.";
    case QV_INIT_NO_MEMORY:
      return L"The memory for the recording could not be reserved. Choose less memory.";
    case QV_INIT_NOT_INITIALIZED:
      return L"The capture library did not start.";
    default:
      return L"The capture library refused the settings (status " + std::to_wstring(status) + L").";
  }
}

}  // namespace qvapp
