// Start-up and teardown of a recording's state.
#include <cstring>
#include <new>
#include <vector>

#include "capture_state.h"
#include "clicks.h"
#include "direct_sound_capture.h"
#include "frame_stages.h"
#include "kernels.h"
#include "pause.h"
#include "provenance.h"
#include "window_list.h"

namespace quorvane_capture {

CaptureSetting captureSetting{};
CaptureSettingInternal captureSettingInternal;
FrameList frameList;
MyMemoryAllocator* mma = nullptr;
platform::Mutex hMutex_frameList_Add = nullptr;
platform::Mutex hMutex_frameList_Change = nullptr;
platform::Signal frameListSignal = nullptr;

bool frameListed(int64_t index) {
  platform::MutexLock lock(hMutex_frameList_Add);
  return index >= 0 && static_cast<uint64_t>(index) < frameList.size();
}

namespace {

int32_t initializeStatus = QV_INIT_NOT_INITIALIZED;
int32_t cursorDrawing = 0;
int32_t captureMethod = QV_METHOD_AUTO;
int32_t soundSource = QV_SOURCE_CAPTURE_DEVICE;
int32_t captureSoundSource = QV_SOURCE_CAPTURE_DEVICE;  // the one this recording uses
int32_t soundRate = 44100;
int32_t captureSoundRate = 44100;  // the one this recording uses

// The devices a choice opens, in track order: the capture device first.
std::vector<platform::SoundSource> platformSoundSources(int32_t source) {
  switch (source) {
    case QV_SOURCE_DESKTOP:
      return {platform::SoundSource::kOutputMix};
    case QV_SOURCE_NONE:
      return {};
    case QV_SOURCE_CAPTURE_AND_DESKTOP:
      return {platform::SoundSource::kCaptureDevice, platform::SoundSource::kOutputMix};
    default:
      return {platform::SoundSource::kCaptureDevice};
  }
}

// Why one source asked for is not open, or that it went away; QV_SOURCE_READY when it records.
int32_t sourceStatus(platform::SoundSource source) {
  if (dsc->sourceReady(source)) {
    return dsc->sourceLost(source) ? QV_SOURCE_LOST : QV_SOURCE_READY;
  }
  if (dsc->sourceFormatRefused(source)) return QV_SOURCE_FORMAT_REFUSED;
  return dsc->sourceLoopbackUnavailable(source) ? QV_SOURCE_NO_LOOPBACK : QV_SOURCE_NO_DEVICE;
}

// What the next Initialize makes of unchanged pictures (setRepeatUnchanged).
bool repeatUnchangedRequested = false;

// The settings that cannot run, checked before anything is built, so a refusal leaves nothing
// behind. On success the corrected sizes are in captureSetting.
int32_t correctSettings(CaptureSetting& s) {
  if (s.frameRate < 1 || s.frameRate > INT32_MAX) return QV_INIT_BAD_FRAME_RATE;
  platform::Rect rect{};
  const bool readable = s.clientArea != 0 ? platform::getClientRect(s.targetWindow, &rect)
                                          : platform::getWindowRect(s.targetWindow, &rect);
  if (!readable) return platform::displayAvailable() ? QV_INIT_EMPTY_TARGET : QV_INIT_NO_DISPLAY;
  const int32_t w = rect.right - rect.left;
  const int32_t h = rect.bottom - rect.top;
  if (w < 1 || h < 1) return QV_INIT_EMPTY_TARGET;

  if (s.captureWidth < 1 || s.captureWidth > w) s.captureWidth = w;
  if (s.captureHeight < 1 || s.captureHeight > h) s.captureHeight = h;
  if (s.outputWidth > s.captureWidth || s.outputWidth < 2) s.outputWidth = s.captureWidth;
  if (s.outputHeight > s.captureHeight || s.outputHeight < 2) s.outputHeight = s.captureHeight;
  // YUY2 stores pixel pairs: an odd output width would leave every difference frame short of
  // its last column. Without scaling both sizes lose that column, so no resampling creeps in.
  if (s.outputWidth % 2 != 0) {
    if (s.outputWidth == s.captureWidth) --s.captureWidth;
    --s.outputWidth;
  }
  if (s.captureWidth < 2 || s.outputWidth < 2) return QV_INIT_TOO_SMALL;
  if (static_cast<uint64_t>(s.captureWidth) * static_cast<uint64_t>(s.captureHeight) * 4 >
      kMaxBlockSize) {
    return QV_INIT_FRAME_TOO_LARGE;
  }
  return QV_INIT_OK;
}

void releaseCaptureObjects() {
  captureSettingInternal.grabber.close();
  captureSettingInternal.pixels = nullptr;
  platform::closeMutex(hMutex_frameList_Add);
  platform::closeMutex(hMutex_frameList_Change);
  platform::closeSignal(frameListSignal);
}

void releasePool() {
  delete mma;
  mma = nullptr;
}

// Undoes what start-up built before it found it could not go on.
void refuse(int32_t status) {
  releaseCaptureObjects();
  releasePool();
  captureSettingInternal.encodeThreadCount = 0;
  initializeStatus = status;
}

}  // namespace

bool isInitialized() { return initializeStatus == QV_INIT_OK; }

int32_t recordedSoundSource() { return captureSoundSource; }

uint32_t recordingSoundRate() { return static_cast<uint32_t>(captureSoundRate); }

}  // namespace quorvane_capture

using namespace quorvane_capture;

extern "C" {

QV_EXPORT void Initialize(const CaptureSetting* setting) {
  // What an earlier Initialize built would otherwise leak.
  if (isInitialized()) Finalize();
  initializeStatus = QV_INIT_NOT_INITIALIZED;
  captureSettingInternal.encodeThreadCount = 0;
  if (setting == nullptr) return;

  std::memcpy(&captureSetting, setting, sizeof(CaptureSetting));
  captureSetting.useAVX = chooseKernels(captureSetting.useAVX);

  const int32_t status = correctSettings(captureSetting);
  if (status != QV_INIT_OK) {
    initializeStatus = status;
    return;
  }
  captureSettingInternal.fps = static_cast<int32_t>(captureSetting.frameRate);
  captureSettingInternal.repeatUnchanged = repeatUnchangedRequested;
  captureSettingInternal.unchangedLength =
      repeatUnchangedRequested
          ? unchangedDifferenceLength(static_cast<uint64_t>(captureSetting.outputWidth) *
                                      static_cast<uint64_t>(captureSetting.outputHeight) * 2)
          : 0;

  // The screen goes through Desktop Duplication unless GDI is asked for; a window only when it
  // is to be recorded as the part of the screen it covers.
  const bool screen = captureSetting.targetWindow == platform::desktopWindow();
  captureSettingInternal.grabber.setScreenMethod(
      captureMethod == QV_METHOD_DUPLICATION,
      captureMethod == QV_METHOD_DUPLICATION || (captureMethod == QV_METHOD_AUTO && screen));
  captureSettingInternal.duplicationFailure = 0;
  captureSettingInternal.duplicationFailedCall = nullptr;
  captureSettingInternal.duplicationFellBackAt = -1.0;

  // What can fail comes before anything that reaches beyond the library (the process's
  // affinity, desktop composition): a refusal leaves the process as it found it.
  if (!captureSettingInternal.grabber.open(captureSetting.targetWindow,
                                           captureSetting.clientArea != 0,
                                           static_cast<int32_t>(captureSetting.captureWidth),
                                           static_cast<int32_t>(captureSetting.captureHeight))) {
    refuse(QV_INIT_CAPTURE_FAILED);
    return;
  }
  captureSettingInternal.pixels = captureSettingInternal.grabber.pixels();
  captureSettingInternal.grabber.setCursorDrawing(cursorDrawing != 0);

  mma = new (std::nothrow) MyMemoryAllocator(
      static_cast<uint64_t>(captureSetting.captureWidth * captureSetting.captureHeight * 4),
      captureSetting.memorySize);
  // A pool without a single block could not hold one picture.
  if (mma == nullptr || mma->blockCount == 0) {
    refuse(QV_INIT_NO_MEMORY);
    return;
  }

  // Off the encode threads' stacks: their host may have made them small.
  prepareZoomTables(captureSetting.outputWidth, captureSetting.captureWidth);
  // The colour set depends on the corrected output height.
  setupColor(captureSetting.colorMatrix, captureSetting.outputHeight, captureSetting.fullRange);

  const int32_t usable = setAffinityMask(captureSetting.affinityMask);
  captureSettingInternal.encodeThreadCount =
      (captureSetting.reserveOneProcessor != 0 && usable >= 2) ? usable - 1 : usable;

  resetRecordingState();
  resetPauseState();
  forgetRecordingStart();
  // A duplication that could not be had at all shows as the warning from the start.
  noteGrabMethod(-1.0);

  if (captureSetting.disableDesktopComposition != 0) disableComposition();

  hMutex_frameList_Add = platform::createMutex();
  hMutex_frameList_Change = platform::createMutex();
  frameListSignal = platform::createSignal();
  resetUnchangedFrameCount();
  resetClicks(captureSetting.captureWidth, captureSetting.captureHeight, captureSetting.outputWidth,
              captureSetting.outputHeight, captureSetting.frameRate);
  // Without a capture device the object exists all the same and the recording has no sound.
  captureSoundSource = soundSource;
  captureSoundRate = soundRate;
  dsc = new (std::nothrow)
      DirectSoundCapture(platformSoundSources(soundSource), static_cast<uint32_t>(soundRate));
  if (dsc != nullptr) dsc->setMyMemoryAllocator(mma);
  initializeStatus = QV_INIT_OK;
}

QV_EXPORT void setRepeatUnchanged(int32_t enable) { repeatUnchangedRequested = enable != 0; }

QV_EXPORT int32_t getInitializeStatus(void) { return initializeStatus; }

QV_EXPORT void setCursorDrawing(int32_t enabled) { cursorDrawing = enabled != 0 ? 1 : 0; }

QV_EXPORT int32_t getCursorDrawing(void) { return cursorDrawing; }

QV_EXPORT int32_t setCaptureMethod(int32_t method) {
  if (method != QV_METHOD_AUTO && method != QV_METHOD_DUPLICATION && method != QV_METHOD_GDI) {
    return 0;
  }
  captureMethod = method;
  return 1;
}

QV_EXPORT int32_t getCaptureMethod(void) { return captureMethod; }

QV_EXPORT int32_t getGrabMethod(void) {
  return isInitialized() ? captureSettingInternal.grabMethod.load() : QV_GRAB_NONE;
}

QV_EXPORT int32_t getDuplicationFailure(void) {
  return isInitialized() ? captureSettingInternal.duplicationFailure.load() : 0;
}

QV_EXPORT int32_t setSoundSource(int32_t source) {
  if (source != QV_SOURCE_CAPTURE_DEVICE && source != QV_SOURCE_DESKTOP &&
      source != QV_SOURCE_NONE && source != QV_SOURCE_CAPTURE_AND_DESKTOP) {
    return 0;
  }
  soundSource = source;
  return 1;
}

QV_EXPORT int32_t getSoundSource(void) { return soundSource; }

QV_EXPORT int32_t setSoundRate(int32_t samplesPerSecond) {
  if (samplesPerSecond != 44100 && samplesPerSecond != 48000) return 0;
  soundRate = samplesPerSecond;
  return 1;
}

QV_EXPORT int32_t getSoundRate(void) { return soundRate; }

QV_EXPORT int32_t getSoundStatus(void) {
  if (!isInitialized() || dsc == nullptr) return QV_SOURCE_OFF;
  // The sources recorded are the ones chosen at Initialize, not a later choice.
  if (captureSoundSource == QV_SOURCE_NONE) return QV_SOURCE_OFF;
  // The first source that is not open says why; READY when every one is.
  for (platform::SoundSource source : platformSoundSources(captureSoundSource)) {
    const int32_t status = sourceStatus(source);
    if (status != QV_SOURCE_READY) return status;
  }
  return QV_SOURCE_READY;
}

QV_EXPORT int32_t getSoundSourceStatus(int32_t source) {
  if (!isInitialized() || dsc == nullptr) return QV_SOURCE_OFF;
  if (source != QV_SOURCE_CAPTURE_DEVICE && source != QV_SOURCE_DESKTOP) return QV_SOURCE_OFF;
  const platform::SoundSource device = platformSoundSources(source).front();
  if (!dsc->sourceAsked(device)) return QV_SOURCE_OFF;
  return sourceStatus(device);
}

QV_EXPORT const CaptureSetting* getCaptureSetting(void) { return &captureSetting; }

QV_EXPORT void* Test(void) {
  CaptureSetting setting{};
  setting.frameRate = 30;
  setting.targetWindow = platform::desktopWindow();
  setting.sourceX = 400;
  setting.sourceY = 300;
  setting.captureWidth = 800;
  setting.captureHeight = 600;
  setting.outputWidth = 800;
  setting.outputHeight = 600;
  setting.memorySize = 1073741824;
  setting.affinityMask = getAffinityMask();
  setting.useAVX = 1;
  Initialize(&setting);
  return captureSettingInternal.pixels;
}

QV_EXPORT int32_t getEncodeThreadCount(void) {
  return isInitialized() ? captureSettingInternal.encodeThreadCount : 0;
}

QV_EXPORT void Finalize(void) {
  // A host that never stopped the recording: the sound device ends before its object goes.
  if (isInitialized()) stopRecording(QV_STATUS_OK);
  clearWindowList();
  frameList.clear();
  if (isInitialized()) releaseCaptureObjects();
  // Before the pool: it gives its sound chunks back to it.
  delete dsc;
  dsc = nullptr;
  releasePool();
  releaseZoomTables();
  closeClicks();
  resetRecordingState();
  initializeStatus = QV_INIT_NOT_INITIALIZED;
}

}  // extern "C"
