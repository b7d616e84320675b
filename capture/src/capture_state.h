// The capture library's shared state: globals of one namespace, created by Initialize and
// released by Finalize.
#ifndef QUORVANE_CAPTURE_STATE_H
#define QUORVANE_CAPTURE_STATE_H

#include <atomic>
#include <cstdint>

#include "frame_list.h"
#include "memory_pool.h"
#include "platform.h"
#include "quorvane_capture.h"
#include "run_control.h"

namespace quorvane_capture {

// Derived capture state. The grabber stands for the bitmap header, the two device contexts,
// the DIB section and the object it replaced: the platform layer owns those.
struct CaptureSettingInternal {
  platform::ScreenGrabber grabber;
  uint8_t* pixels = nullptr;  // top-down RGB32, captureWidth x captureHeight
  int32_t encodeThreadCount = 0;
  int32_t fps = 0;
  // A picture equal to the one before, not due as a key, becomes a repeat record.
  bool repeatUnchanged = false;
  // The Snappy length of an all-zero difference: a difference of any other length is not one.
  uint64_t unchangedLength = 0;
  // What the grabs use (QV_GRAB_*) and, once Desktop Duplication gave way to GDI, why and when
  // (on the frame clock; -1 at the start): written by Initialize and the capture thread, read
  // by the host and the writers.
  std::atomic<int32_t> grabMethod{0};
  std::atomic<int32_t> duplicationFailure{0};
  std::atomic<const char*> duplicationFailedCall{nullptr};
  std::atomic<double> duplicationFellBackAt{-1.0};
};

// After a grab (and at the start): takes over what the grabber now uses, and raises
// QV_WARNING_GDI_FALLBACK the first time Desktop Duplication is found given up.
void noteGrabMethod(double frameClock);

extern CaptureSetting captureSetting;
extern CaptureSettingInternal captureSettingInternal;
extern FrameList frameList;
extern MyMemoryAllocator* mma;
extern platform::Mutex hMutex_frameList_Add;
extern platform::Mutex hMutex_frameList_Change;
// Notified whenever a frame becomes ready for the next stage (appended, encoded, compressed)
// and when the stop flag is set: the stages wait on it instead of sleeping.
extern platform::Signal frameListSignal;

// True between an Initialize that was not refused and the next Finalize.
bool isInitialized();

// The sound source (QV_SOURCE_*) the current recording was initialised with.
int32_t recordedSoundSource();

// The sound rate (samples per second) the current recording was initialised with.
uint32_t recordingSoundRate();

// Whether the capture thread has listed frame `index` yet (read under hMutex_frameList_Add).
bool frameListed(int64_t index);

int32_t bitCount(uint64_t x);
void disableComposition();

}  // namespace quorvane_capture

#endif
