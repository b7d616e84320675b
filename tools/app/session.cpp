#include "session.h"

#include <windows.h>

#include <chrono>
#include <cmath>
#include <memory>

#include "quorvane_capture.h"
#include "win_text.h"
#include "worker_thread.h"

namespace qvapp {

namespace {

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void* indexParameter(int index) { return reinterpret_cast<void*>(static_cast<intptr_t>(index)); }

char* pathParameter(const std::string& path) { return const_cast<char*>(path.c_str()); }

}  // namespace

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
  }
  startedMs_ = nowMs();
  control_ = std::thread(&RecordingSession::control, this);
  return QV_INIT_OK;
}

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
  startedMs_ = nowMs();
  // Every stage on a thread of ours, as the library expects; the streaming writer first, so it
  // takes the frames from the start.
  std::unique_ptr<qvtools::Worker> writer;
  if (request_.streaming) {
    streamPaths_.containerPath = request_.qvfPath.c_str();
    streamPaths_.wavPath = request_.wavPath.empty() ? nullptr : request_.wavPath.c_str();
    writer = std::make_unique<qvtools::Worker>(StreamOutputThread, &streamPaths_);
  }
  std::vector<std::unique_ptr<qvtools::Worker>> stages;
  stages.push_back(std::make_unique<qvtools::Worker>(CaptureThread, nullptr));
  qvtools::Worker* capture = stages.front().get();
  const int encodeThreads = getEncodeThreadCount();
  for (int i = 0; i < encodeThreads; ++i) {
    stages.push_back(std::make_unique<qvtools::Worker>(EncodeThread, indexParameter(i)));
  }
  stages.push_back(std::make_unique<qvtools::Worker>(CompressThread, nullptr));
  std::unique_ptr<qvtools::Worker> audio;
  if (request_.sound != SoundSource::kNone) {
    audio = std::make_unique<qvtools::Worker>(AudioCaptureThread, nullptr);
  }
  waitForStop(*capture);
  setTerminated(1);
  const uint64_t captured = capture->join();
  for (auto& stage : stages) stage->join();
  const bool gotSound = audio != nullptr && audio->join() == QV_SOUND_CAPTURED;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    status_.captured = captured;
    status_.soundCaptured = gotSound;
    if (writer != nullptr) status_.phase = Phase::kWriting;
  }
  if (writer != nullptr) {
    // It finishes the frames the threads left and completes both files.
    const uint64_t records = writer->join();
    const int32_t fault = getRecordingStatus();
    if (fault != QV_STATUS_CANNOT_OPEN) {
      std::lock_guard<std::mutex> lock(mutex_);
      status_.cutShort = records == QV_OUTPUT_FAILED || fault == QV_STATUS_WRITE_FAILED;
      status_.records = status_.cutShort ? 0 : records;
      if (!request_.wavPath.empty()) status_.wavResult = QV_WAV_WRITTEN;
      status_.writeProgress = 1.0;
      status_.phase = captured == 0 ? Phase::kNothingRecorded : Phase::kWritten;
      return;
    }
    // The files could not be created: the recording went on in memory, written below.
    std::lock_guard<std::mutex> lock(mutex_);
    status_.streaming = false;
  }
  if (captured == 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    status_.phase = Phase::kNothingRecorded;
    return;
  }
  writeFiles(true, !request_.wavPath.empty());
}

void RecordingSession::waitForStop(const qvtools::Worker& capture) {
  for (;;) {
    const int32_t fault = getRecordingStatus();
    const bool captureEnded = capture.done();
    std::unique_lock<std::mutex> lock(mutex_);
    if (!stopRequested_) {
      if (fault == QV_STATUS_WRITE_FAILED) {
        status_.stopReason = "a write failed (is the disk full?)";
      } else if (fault == QV_STATUS_POOL_FULL || captureEnded) {
        // The capture ends by itself only when the memory pool is full.
        status_.stopReason = request_.streaming && fault != QV_STATUS_CANNOT_OPEN
                                 ? "the disk could not keep up and the memory for the backlog is "
                                   "full"
                                 : "the memory reserved for the recording is full";
      } else {
        wake_.wait_for(lock, std::chrono::milliseconds(50));
        continue;
      }
    }
    status_.elapsed = static_cast<double>(nowMs() - startedMs_) / 1000.0;
    status_.frames = getCapturedFrameCount();
    status_.phase = Phase::kStopping;
    return;
  }
}

void RecordingSession::writeFiles(bool video, bool sound) {
  std::string qvfPath, wavPath;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    status_.phase = Phase::kWriting;
    qvfPath = status_.qvfPath;
    wavPath = status_.wavPath;
  }
  // Both only read what was recorded, so they run together.
  std::unique_ptr<qvtools::Worker> wav;
  if (sound) wav = std::make_unique<qvtools::Worker>(AudioOutputThread, pathParameter(wavPath));
  uint64_t records = 0;
  if (video) records = OutputThread(pathParameter(qvfPath));
  const int wavResult = wav != nullptr ? static_cast<int>(wav->join()) : -1;
  std::lock_guard<std::mutex> lock(mutex_);
  if (video) status_.records = records;
  if (sound) status_.wavResult = wavResult;
  const bool videoOk = status_.records != QV_OUTPUT_FAILED;
  const bool soundOk = status_.wavPath.empty() || status_.wavResult == QV_WAV_WRITTEN;
  status_.writeProgress = 1.0;
  status_.phase = videoOk && soundOk ? Phase::kWritten : Phase::kWriteFailed;
}

void RecordingSession::stop(const std::string& reason) {
  Phase phase;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    phase = status_.phase;
    if (phase != Phase::kWaitingForKey && phase != Phase::kRecording) return;
    stopRequested_ = true;
    if (status_.stopReason.empty()) status_.stopReason = reason;
  }
  wake_.notify_all();
  // Ends waitCaptureAction; poll() repeats it in case the wait had not begun yet.
  if (phase == Phase::kWaitingForKey) setTerminated(1);
}

void RecordingSession::pause() { setPaused(QV_PAUSED); }

void RecordingSession::resume() { setPaused(QV_RUNNING); }

void RecordingSession::writeAgain(const std::string& qvfPath, const std::string& wavPath) {
  bool video = false, sound = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (status_.phase != Phase::kWriteFailed) return;
    video = status_.records == QV_OUTPUT_FAILED;
    sound = !status_.wavPath.empty() && status_.wavResult != QV_WAV_WRITTEN;
    if (video && !qvfPath.empty()) status_.qvfPath = qvfPath;
    if (sound && !wavPath.empty()) status_.wavPath = wavPath;
    status_.phase = Phase::kWriting;
    status_.writeProgress = 0;
  }
  if (control_.joinable()) control_.join();
  control_ = std::thread(&RecordingSession::writeFiles, this, video, sound);
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
  if (s.phase == Phase::kRecording) {
    s.elapsed = static_cast<double>(nowMs() - startedMs_) / 1000.0;
    s.frames = getCapturedFrameCount();
    s.poolFill = getProgress();
    const int64_t slots =
        static_cast<int64_t>(std::floor(s.elapsed * static_cast<double>(request_.frameRate)));
    s.missedSlots = slots > s.frames ? slots - s.frames : 0;
    // Files that could not be created leave the recording in memory.
    if (s.streaming && getRecordingStatus() == QV_STATUS_CANNOT_OPEN) s.streaming = false;
  } else if (s.phase == Phase::kWriting) {
    // Streaming: the backlog still to write; in memory: the share written.
    s.poolFill = getProgress();
    s.writeProgress = s.streaming ? 1.0 - s.poolFill : s.poolFill;
  }
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
