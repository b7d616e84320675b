// The encode threads: thread k of N turns frames k, k + N, k + 2N ... from captured RGB32 into
// YUY2 at output size, downscaling first when the output is smaller.
#include "capture_state.h"
#include "frame_stages.h"
#include "pipeline.h"
#include "quorvane_capture.h"
#include "stream_output.h"

using namespace quorvane_capture;

extern "C" {

QV_EXPORT qv_thread_result EncodeThread(void* parameter) {
  if (!isInitialized()) return 0;
  const RecordingThreadScope running;
  const int32_t threadIndex = static_cast<int32_t>(reinterpret_cast<intptr_t>(parameter));
  const int32_t threadCount = captureSettingInternal.encodeThreadCount;
  // An index outside 0..N-1 would share its frames with another thread.
  if (threadCount < 1 || threadIndex < 0 || threadIndex >= threadCount) return 0;

  const PictureGeometry g = pictureGeometry();
  uint64_t encoded = 0;

  for (int64_t index = threadIndex;;) {
    if (getTerminated()) break;
    if (!frameListed(index)) {
      platform::sleepMilliseconds(kPollMilliseconds);
      continue;
    }
    int64_t status;
    {
      platform::MutexLock lock(hMutex_frameList_Change);
      status = frameList[static_cast<size_t>(index)].status;
    }
    if (status <= 0) {
      platform::sleepMilliseconds(kPollMilliseconds);
      continue;
    }

    uint8_t* scaled = nullptr;
    if (g.needsScaling && status == FRAME_CAPTURED) {
      scaled = mma->allocateFromTop(g.rgbOutputBytes);
      if (scaled == nullptr) {
        // Not setTerminated: the sound goes on until the host stops the recording.
        reportRecordingStatus(QV_STATUS_POOL_FULL);
        platform::MutexLock lock(hMutex_terminated);
        terminated = true;
        break;
      }
    }
    {
      platform::MutexLock lock(hMutex_frameList_Change);
      frame& f = frameList[static_cast<size_t>(index)];
      // Only a captured picture is converted: converting a frame twice would destroy it.
      if (f.status == FRAME_CAPTURED) {
        if (g.needsScaling) {
          convertPicture(g, f.buffer, scaled, scaled);
          mma->shrink(scaled, g.yuy2Bytes);
          mma->release(f.buffer);
          f.buffer = scaled;
          scaled = nullptr;
        } else {
          convertPicture(g, f.buffer, nullptr, f.buffer);
          mma->shrink(f.buffer, g.yuy2Bytes);
        }
        f.compressedBuffer = nullptr;
        f.status = FRAME_ENCODED;
        ++encoded;
      }
      if (scaled != nullptr) mma->release(scaled);
    }
    index += threadCount;
  }
  return encoded;
}

}  // extern "C"
