// The compress thread: takes the encoded frames strictly in list order, compresses every
// fps-th one whole and the others as their difference from the frame before, and gives each
// picture back to the pool once the next frame no longer needs it.
#include <snappy.h>

#include <cstdlib>

#include "capture_state.h"
#include "pipeline.h"
#include "quorvane_capture.h"

using namespace quorvane_capture;

extern "C" {

QV_EXPORT qv_thread_result CompressThread(void* /*parameter*/) {
  if (!isInitialized()) return 0;
  const CaptureSetting& s = captureSetting;
  const size_t yuy2Bytes = static_cast<size_t>(s.outputWidth * s.outputHeight * 2);
  const size_t capacity = snappy::MaxCompressedLength(yuy2Bytes);
  const int64_t keyInterval = captureSettingInternal.fps;
  auto* work = static_cast<uint8_t*>(calloc(yuy2Bytes, 1));
  if (work == nullptr || keyInterval < 1) {
    // Without a work buffer nothing can be compressed now; the output thread does it later.
    free(work);
    return 0;
  }
  uint64_t compressed = 0;

  for (int64_t index = 0;;) {
    if (getTerminated()) break;
    if (!frameListed(index)) {
      platform::sleepMilliseconds(kPollMilliseconds);
      continue;
    }
    bool ready;
    {
      platform::MutexLock lock(hMutex_frameList_Change);
      ready = frameList[static_cast<size_t>(index)].status >= FRAME_ENCODED &&
              (index == 0 || frameList[static_cast<size_t>(index - 1)].status >= FRAME_ENCODED);
    }
    if (!ready) {
      platform::sleepMilliseconds(kPollMilliseconds);
      continue;
    }

    uint8_t* piece = mma->allocateFromBottom(capacity);
    if (piece == nullptr) {
      setTerminated(1);
      break;
    }
    {
      platform::MutexLock lock(hMutex_frameList_Change);
      frame& f = frameList[static_cast<size_t>(index)];
      size_t length = 0;
      if (index % keyInterval != 0) {
        const frame& previous = frameList[static_cast<size_t>(index - 1)];
        CalcDeltaFrame_SSE2(work, f.buffer, previous.buffer, s.outputWidth, s.outputHeight);
        snappy::RawCompress(reinterpret_cast<const char*>(work), yuy2Bytes,
                            reinterpret_cast<char*>(piece), &length);
        f.status = FRAME_DELTA;
      } else {
        snappy::RawCompress(reinterpret_cast<const char*>(f.buffer), yuy2Bytes,
                            reinterpret_cast<char*>(piece), &length);
        f.status = FRAME_KEY;
      }
      f.compressedBuffer = piece;
      f.compressedSize = length;
      if (length < capacity) mma->shrink(piece, length);
      if (index > 0) {
        frame& previous = frameList[static_cast<size_t>(index - 1)];
        mma->release(previous.buffer);
        previous.buffer = nullptr;
      }
      ++compressed;
    }
    ++index;
  }
  free(work);
  return compressed;
}

}  // extern "C"
