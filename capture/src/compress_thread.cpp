// The compress work: the encoded frames are handed out strictly in list order, each to one
// thread, which compresses every fps-th one whole and the others as their difference from the
// frame before, outside the list's mutex. Several frames may be compressed at once: the compress
// thread does this work, and the encode threads help it whenever they have nothing of their
// own to do. A picture goes back to the pool once its frame and the next one are compressed.
#include <cstdlib>
#include <cstring>

#include "capture_state.h"
#include "frame_stages.h"
#include "pipeline.h"
#include "quorvane_capture.h"

namespace quorvane_capture {
namespace {

// The compress thread's run, under hMutex_frameList_Change.
struct CompressShare {
  bool open = false;  // a compress thread runs: frames are handed out
  int64_t next = 0;   // the next frame to hand out
  int busy = 0;       // frames being compressed now
  uint64_t done = 0;  // frames compressed in this run
};
CompressShare share;

// Frame `index` for the caller to compress, if it is ready and nobody has it yet.
bool takeFrame(int64_t* index, uint8_t** picture, const uint8_t** previous) {
  for (;;) {
    int64_t candidate;
    {
      platform::MutexLock lock(hMutex_frameList_Change);
      if (!share.open) return false;
      candidate = share.next;
    }
    // Once listed, always listed; the length mutex is never held with the change mutex.
    if (!frameListed(candidate)) return false;
    platform::MutexLock lock(hMutex_frameList_Change);
    if (!share.open) return false;
    // Another thread took it meanwhile: its successor may be ready.
    if (share.next != candidate) continue;
    frame& f = frameList[static_cast<size_t>(candidate)];
    if (frameCompressed(f.status)) {
      // Compressed by an earlier run: compressing it again would lose its piece.
      ++share.next;
      continue;
    }
    if (f.status != FRAME_ENCODED) return false;
    *index = candidate;
    *picture = f.buffer;
    // Frame index - 1 is compressed or being compressed; its picture stays until this one is.
    *previous = candidate > 0 ? frameList[static_cast<size_t>(candidate - 1)].buffer : nullptr;
    ++share.next;
    ++share.busy;
    return true;
  }
}

}  // namespace

CompressScratch::CompressScratch(const PictureGeometry& g)
    : difference(static_cast<uint8_t*>(malloc(kDifferenceScratchBytes))),
      out(static_cast<uint8_t*>(malloc(static_cast<size_t>(g.compressedCapacity)))) {}

CompressScratch::~CompressScratch() {
  free(difference);
  free(out);
}

CompressStep compressNextFrame(const PictureGeometry& g, CompressScratch& scratch) {
  int64_t index;
  uint8_t* picture;
  const uint8_t* previous;
  if (!takeFrame(&index, &picture, &previous)) return CompressStep::kNothingReady;

  const bool key = isKeyFrame(g, index);
  const CompressedPicture c =
      compressFrame(g, key, picture, previous, scratch.difference, scratch.out);
  uint8_t* piece = nullptr;
  if (c.length != 0) {
    piece = mma->allocateFromBottom(c.length);
    if (piece == nullptr) {
      // The frame stays encoded for the writer, with both pictures it needs.
      {
        platform::MutexLock lock(hMutex_frameList_Change);
        --share.busy;
      }
      platform::notifySignal(frameListSignal);
      stopRecording(QV_STATUS_POOL_FULL);
      return CompressStep::kPoolFull;
    }
    std::memcpy(piece, scratch.out, c.length);
  }

  // Pictures nobody needs any more: the previous one once this frame is done (and it is), this
  // one once the next frame is done too.
  uint8_t* unused[2] = {nullptr, nullptr};
  {
    platform::MutexLock lock(hMutex_frameList_Change);
    frame& f = frameList[static_cast<size_t>(index)];
    f.compressedBuffer = piece;
    f.compressedSize = c.length;
    f.status = compressedStatus(c);
    if (index > 0) {
      frame& before = frameList[static_cast<size_t>(index - 1)];
      if (frameCompressed(before.status)) {
        unused[0] = before.buffer;
        before.buffer = nullptr;
      }
    }
    if (share.next > index + 1 &&
        frameCompressed(frameList[static_cast<size_t>(index + 1)].status)) {
      unused[1] = f.buffer;
      f.buffer = nullptr;
    }
    --share.busy;
    ++share.done;
  }
  for (uint8_t* p : unused) {
    if (p != nullptr) mma->release(p);
  }
  platform::notifySignal(frameListSignal);
  return CompressStep::kCompressed;
}

}  // namespace quorvane_capture

using namespace quorvane_capture;

extern "C" {

QV_EXPORT qv_thread_result CompressThread(void* /*parameter*/) {
  if (!isInitialized()) return 0;
  const RecordingThreadScope running;
  const PictureGeometry g = pictureGeometry();
  CompressScratch scratch(g);
  // Without its scratch nothing can be compressed now; the output thread does it later.
  if (!scratch.ready() || g.keyInterval < 1) return 0;
  {
    platform::MutexLock lock(hMutex_frameList_Change);
    if (share.open) {
      // One compress thread per recording: a second one would hand out the frames again.
      return 0;
    }
    share = CompressShare{};
    share.open = true;
  }

  for (;;) {
    if (getTerminated()) break;
    const uint64_t seen = platform::signalCount(frameListSignal);
    const CompressStep step = compressNextFrame(g, scratch);
    if (step == CompressStep::kPoolFull) break;
    if (step == CompressStep::kNothingReady) {
      platform::waitSignal(frameListSignal, seen, kPollMilliseconds);
    }
  }

  // No frame is handed out any more; the frames other threads are compressing are waited for,
  // so that when this returns the compress work of the recording is over.
  {
    platform::MutexLock lock(hMutex_frameList_Change);
    share.open = false;
  }
  uint64_t compressed;
  for (;;) {
    const uint64_t seen = platform::signalCount(frameListSignal);
    {
      platform::MutexLock lock(hMutex_frameList_Change);
      compressed = share.done;
      if (share.busy == 0) break;
    }
    platform::waitSignal(frameListSignal, seen, kPollMilliseconds);
  }
  return compressed;
}

}  // extern "C"
