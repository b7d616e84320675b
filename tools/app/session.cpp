#include "session.h"

#include <windows.h>

#include <cmath>
#include <cstdio>
#include <memory>

#include "console.h"
#include "quorvane_capture.h"
#include "resource.h"
#include "ui_text.h"
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

const SoundChoice kSoundChoices[] = {
    {SoundSource::kCaptureDevice, IDS_SOUND_DEVICE, "device", QV_SOURCE_CAPTURE_DEVICE},
    {SoundSource::kPlayback, IDS_SOUND_PLAYBACK, "playback", QV_SOURCE_DESKTOP},
    {SoundSource::kBoth, IDS_SOUND_BOTH, "both", QV_SOURCE_CAPTURE_AND_DESKTOP},
    {SoundSource::kNone, IDS_SOUND_NONE, "none", QV_SOURCE_NONE},
};
const size_t kSoundChoiceCount = sizeof(kSoundChoices) / sizeof(kSoundChoices[0]);

const SoundChoice& soundChoice(SoundSource source) {
  for (const SoundChoice& c : kSoundChoices) {
    if (c.source == source) return c;
  }
  return kSoundChoices[0];
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
  setSoundSource(soundChoice(request.sound).librarySource);
  setSoundRate(request.soundRate);
  setCaptureMethod(request.captureMethod);
  setClickDrawing(request.clicks ? 1 : 0);
  setClickEvents(request.eventsPath.empty() ? 0 : 1);
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
  run.minFreeBytes = request.minFreeBytes;
  run.eventsPath = request.eventsPath;
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
    status_.bothSources = request.sound == SoundSource::kBoth;
    status_.deviceStatus = getSoundSourceStatus(QV_SOURCE_CAPTURE_DEVICE);
    status_.playbackStatus = getSoundSourceStatus(QV_SOURCE_DESKTOP);
    status_.playbackSound = request.sound == SoundSource::kPlayback ||
                            (status_.bothSources && status_.deviceStatus == QV_SOURCE_READY);
  }
  control_ = std::thread(&RecordingSession::control, this);
  return QV_INIT_OK;
}

namespace {

// Why the library ended the recording, for the sentence "The recording stopped: ...".
std::string libraryStopReason(const qvtools::RunResult& r, bool streaming) {
  char seconds[32];
  std::snprintf(seconds, sizeof(seconds), "%.1f", r.recordedSeconds);
  const std::wstring when = tr(IDS_STOP_WHEN, {fromUtf8(seconds)});
  switch (r.stopStatus) {
    case QV_STATUS_WRITE_FAILED:
      return toUtf8(tr(IDS_STOP_WRITE_FAILED));
    case QV_STATUS_TARGET_LOST:
      return toUtf8(tr(IDS_STOP_TARGET_LOST, {when}));
    case QV_STATUS_TARGET_MINIMISED:
      return toUtf8(tr(IDS_STOP_TARGET_MINIMISED, {when}));
    case QV_STATUS_GRAB_FAILED:
      return toUtf8(tr(IDS_STOP_GRAB_FAILED, {when}));
    case QV_STATUS_SOUND_LOST:
      return toUtf8(tr(IDS_STOP_SOUND_LOST, {when}));
    default:
      // The capture ends by itself otherwise only when the memory pool is full.
      return toUtf8(tr(streaming ? IDS_STOP_BACKLOG_FULL : IDS_STOP_MEMORY_FULL));
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
    } else if (r.stopCause == qvtools::StopCause::kDiskFloor) {
      char seconds[32];
      std::snprintf(seconds, sizeof(seconds), "%.1f", r.recordedSeconds);
      status_.diskFloor = true;
      status_.stopReason =
          toUtf8(tr(IDS_STOP_DISK_FLOOR, {fromUtf8(qvtools::formatBytes(request_.minFreeBytes)),
                                          tr(IDS_STOP_WHEN, {fromUtf8(seconds)})}));
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
  status_.gdiFallback = (live.warnings & QV_WARNING_GDI_FALLBACK) != 0;
  status_.soundLost = (live.warnings & QV_WARNING_SOUND_LOST) != 0;
  status_.diskSecondsLeft = live.diskSecondsLeft;
  if (live.diskLow) status_.diskLow = true;
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
  status_.eventsFailed = !r.eventsWritten;
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
      return tr(IDS_REFUSED_FRAME_RATE);
    case QV_INIT_EMPTY_TARGET:
      return tr(IDS_REFUSED_EMPTY_TARGET);
    case QV_INIT_FRAME_TOO_LARGE:
      return tr(IDS_REFUSED_FRAME_TOO_LARGE);
    case QV_INIT_TOO_SMALL:
      return tr(IDS_REFUSED_TOO_SMALL);
    case QV_INIT_CAPTURE_FAILED:
      return tr(IDS_REFUSED_CAPTURE_FAILED);
    case QV_INIT_NO_DISPLAY:
      return tr(IDS_REFUSED_NO_DISPLAY);
    case QV_INIT_NO_MEMORY:
      return tr(IDS_REFUSED_NO_MEMORY);
    case QV_INIT_NOT_INITIALIZED:
      return tr(IDS_REFUSED_NOT_STARTED);
    default:
      return tr(IDS_REFUSED_OTHER, {std::to_wstring(status)});
  }
}

}  // namespace qvapp
