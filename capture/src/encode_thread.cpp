// The encode threads: thread k of N turns frames k, k + N, k + 2N ... from captured RGB32 into
// YUY2 at output size, downscaling first when the output is smaller. A captured frame belongs to
// the thread whose share it is, so the conversion runs outside the list's mutex. While the
// compress thread runs, an encode thread also takes on compress work that is ready before it
// turns to its own next frame: the older frames go first, which keeps the pool's backlog small,
// and every processor the recording may use does whichever work there is.
#include "capture_state.h"
#include "frame_stages.h"
#include "pipeline.h"
#include "quorvane_capture.h"

namespace quorvane_capture {
namespace {

enum class EncodeStep { kEncoded, kPassed, kNotReady, kPoolFull };

EncodeStep encodeFrame(const PictureGeometry& g, int64_t index) {
  if (!frameListed(index)) return EncodeStep::kNotReady;
  uint8_t* captured;
  {
    platform::MutexLock lock(hMutex_frameList_Change);
    const frame& f = frameList[static_cast<size_t>(index)];
    if (f.status <= 0) return EncodeStep::kNotReady;
    // Only a captured picture is converted: converting a frame twice would destroy it.
    if (f.status != FRAME_CAPTURED) return EncodeStep::kPassed;
    captured = f.buffer;
  }
  uint8_t* picture = captured;
  if (g.needsScaling) {
    picture = mma->allocateFromTop(g.rgbOutputBytes);
    if (picture == nullptr) {
      stopRecording(QV_STATUS_POOL_FULL);
      return EncodeStep::kPoolFull;
    }
    convertPicture(g, captured, picture, picture);
  } else {
    convertPicture(g, captured, nullptr, picture);
  }
  mma->shrink(picture, g.yuy2Bytes);
  {
    platform::MutexLock lock(hMutex_frameList_Change);
    frame& f = frameList[static_cast<size_t>(index)];
    f.buffer = picture;
    f.compressedBuffer = nullptr;
    f.status = FRAME_ENCODED;
  }
  // The capture-size range of a downscaled frame is no longer referenced by anything.
  if (picture != captured) mma->release(captured);
  platform::notifySignal(frameListSignal);
  return EncodeStep::kEncoded;
}

}  // namespace
}  // namespace quorvane_capture

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
  // Scratch for the compress work; without it this thread only encodes.
  CompressScratch scratch(g);
  uint64_t encoded = 0;

  for (int64_t index = threadIndex;;) {
    if (getTerminated()) break;
    const uint64_t seen = platform::signalCount(frameListSignal);
    if (scratch.ready()) {
      const CompressStep step = compressNextFrame(g, scratch);
      if (step == CompressStep::kPoolFull) break;
      if (step == CompressStep::kCompressed) continue;
    }
    const EncodeStep step = encodeFrame(g, index);
    if (step == EncodeStep::kPoolFull) break;
    if (step == EncodeStep::kNotReady) {
      platform::waitSignal(frameListSignal, seen, kPollMilliseconds);
      continue;
    }
    if (step == EncodeStep::kEncoded) ++encoded;
    index += threadCount;
  }
  return encoded;
}

}  // extern "C"
