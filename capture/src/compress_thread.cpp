// The compress thread: takes the encoded frames strictly in list order, compresses every
// fps-th one whole and the others as their difference from the frame before, and gives each
// picture back to the pool once the next frame no longer needs it.
#include <cstdlib>

#include "capture_state.h"
#include "frame_stages.h"
#include "pipeline.h"
#include "quorvane_capture.h"
#include "stream_output.h"

using namespace quorvane_capture;

extern "C" {

QV_EXPORT qv_thread_result CompressThread(void* /*parameter*/) {
  if (!isInitialized()) return 0;
  const RecordingThreadScope running;
  const PictureGeometry g = pictureGeometry();
  auto* work = static_cast<uint8_t*>(calloc(static_cast<size_t>(g.yuy2Bytes), 1));
  if (work == nullptr || g.keyInterval < 1) {
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

    uint8_t* piece = mma->allocateFromBottom(g.compressedCapacity);
    if (piece == nullptr) {
      reportRecordingStatus(QV_STATUS_POOL_FULL);
      setTerminated(1);
      break;
    }
    {
      platform::MutexLock lock(hMutex_frameList_Change);
      frame& f = frameList[static_cast<size_t>(index)];
      const bool key = isKeyFrame(g, index);
      const uint8_t* previous = key ? nullptr : frameList[static_cast<size_t>(index - 1)].buffer;
      const size_t length = compressPicture(g, key, f.buffer, previous, work, piece);
      f.status = key ? FRAME_KEY : FRAME_DELTA;
      f.compressedBuffer = piece;
      f.compressedSize = length;
      if (length < g.compressedCapacity) mma->shrink(piece, length);
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
