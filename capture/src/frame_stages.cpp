#include "frame_stages.h"

#include <snappy.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "capture_state.h"
#include "kernels.h"
#include "qvf.h"
#include "qvf_blocks.h"

namespace quorvane_capture {

PictureGeometry pictureGeometry() {
  const CaptureSetting& s = captureSetting;
  PictureGeometry g;
  g.captureWidth = s.captureWidth;
  g.captureHeight = s.captureHeight;
  g.outputWidth = s.outputWidth;
  g.outputHeight = s.outputHeight;
  g.rgbOutputBytes =
      static_cast<uint64_t>(s.outputWidth) * static_cast<uint64_t>(s.outputHeight) * 4;
  g.yuy2Bytes = g.rgbOutputBytes / 2;
  g.compressedCapacity = snappy::MaxCompressedLength(static_cast<size_t>(g.yuy2Bytes));
  g.needsScaling = s.outputWidth < s.captureWidth || s.outputHeight < s.captureHeight;
  g.keyInterval = captureSettingInternal.fps;
  g.repeatUnchanged = captureSettingInternal.repeatUnchanged;
  g.unchangedLength = captureSettingInternal.unchangedLength;
  return g;
}

void convertPicture(const PictureGeometry& g, const uint8_t* captured, uint8_t* scaled,
                    uint8_t* yuy2) {
  if (g.needsScaling) {
    ZoomOutHeikin32(scaled, g.outputWidth, g.outputHeight, captured, g.captureWidth,
                    g.captureHeight);
    RGB32ToYUY2(yuy2, scaled, g.outputWidth, g.outputHeight);
  } else {
    RGB32ToYUY2(yuy2, captured, g.outputWidth, g.outputHeight);
  }
}

bool isKeyFrame(const PictureGeometry& g, int64_t index) {
  return g.keyInterval < 1 || index % g.keyInterval == 0;
}

size_t compressPicture(const PictureGeometry& g, bool key, const uint8_t* picture,
                       const uint8_t* previous, uint8_t* difference, uint8_t* out) {
  // A difference is formed one piece at a time in a buffer that stays in the processor's cache
  // while Snappy compresses it, instead of a whole difference picture written to memory and
  // read back.
  const size_t bytes = static_cast<size_t>(g.yuy2Bytes);
  char* const scratch = reinterpret_cast<char*>(difference + qvf::kSnappyPieceBytes);
  char* op = qvf::putSnappyLength(reinterpret_cast<char*>(out), bytes);
  for (size_t at = 0; at < bytes; at += qvf::kSnappyPieceBytes) {
    // Piece lengths stay multiples of four (a YUY2 pair), as the kernel works in pairs.
    const size_t n = std::min(qvf::kSnappyPieceBytes, bytes - at);
    const uint8_t* raw = picture + at;
    if (!key) {
      CalcDeltaFrame_SSE2(difference, picture + at, previous + at, static_cast<int64_t>(n / 2), 1);
      raw = difference;
    }
    op = qvf::putSnappyPiece(reinterpret_cast<const char*>(raw), n, op, scratch);
  }
  return static_cast<size_t>(op - reinterpret_cast<char*>(out));
}

namespace {

std::atomic<uint64_t> unchangedFrames{0};
}  // namespace

CompressedPicture compressFrame(const PictureGeometry& g, bool key, const uint8_t* picture,
                                const uint8_t* previous, uint8_t* difference, uint8_t* out) {
  const size_t length = compressPicture(g, key, picture, previous, difference, out);
  if (key) return {qvf::RECORD_KEY, length};
  // Only a difference of exactly the length zeros compress to can be all zero, so a changed
  // picture costs one comparison; comparing the two pictures settles the rare equal length.
  if (g.repeatUnchanged && length == g.unchangedLength &&
      std::memcmp(picture, previous, static_cast<size_t>(g.yuy2Bytes)) == 0) {
    return {qvf::RECORD_REPEAT, 0};
  }
  return {qvf::RECORD_DELTA, length};
}

uint64_t unchangedDifferenceLength(uint64_t yuy2Bytes) {
  PictureGeometry g;
  g.yuy2Bytes = yuy2Bytes;
  auto* zeros = static_cast<uint8_t*>(calloc(static_cast<size_t>(yuy2Bytes), 1));
  auto* scratch = static_cast<uint8_t*>(malloc(kDifferenceScratchBytes));
  auto* out =
      static_cast<uint8_t*>(malloc(snappy::MaxCompressedLength(static_cast<size_t>(yuy2Bytes))));
  size_t length = 0;
  if (zeros != nullptr && scratch != nullptr && out != nullptr) {
    length = compressPicture(g, true, zeros, nullptr, scratch, out);
  }
  free(zeros);
  free(scratch);
  free(out);
  return length;
}

int64_t compressedStatus(const CompressedPicture& c) {
  if (c.type == qvf::RECORD_KEY) return FRAME_KEY;
  if (c.type == qvf::RECORD_DELTA) return FRAME_DELTA;
  ++unchangedFrames;
  return FRAME_UNCHANGED;
}

uint64_t unchangedFrameCount() { return unchangedFrames.load(); }
void resetUnchangedFrameCount() { unchangedFrames = 0; }

FrameRecord compressedRecord(const frame& f) {
  if (f.status == FRAME_UNCHANGED) return {qvf::RECORD_REPEAT, nullptr, 0};
  return {f.status == FRAME_KEY ? qvf::RECORD_KEY : qvf::RECORD_DELTA, f.compressedBuffer,
          f.compressedSize};
}

FrameFinisher::FrameFinisher(const PictureGeometry& g)
    : g_(g),
      picture_(static_cast<uint8_t*>(
          calloc(static_cast<size_t>(std::max(g.rgbOutputBytes, g.compressedCapacity)), 1))),
      difference_(static_cast<uint8_t*>(malloc(kDifferenceScratchBytes))) {}

FrameFinisher::~FrameFinisher() {
  free(picture_);
  free(difference_);
}

FrameRecord FrameFinisher::recordOf(size_t index) {
  frame& f = frameList[index];
  if (f.status == FRAME_CAPTURED) {
    // The YUY2 picture goes to the start of the frame's own capture-size range.
    convertPicture(g_, f.buffer, picture_, f.buffer);
    f.status = FRAME_ENCODED;
  }
  if (f.status != FRAME_ENCODED) return compressedRecord(f);
  // The previous picture is always there (the compress thread frees a picture only after
  // compressing the frame that follows it); should it ever be missing, a key record keeps the
  // file decodable.
  const uint8_t* previous = index > 0 ? frameList[index - 1].buffer : nullptr;
  const bool key = isKeyFrame(g_, static_cast<int64_t>(index)) || previous == nullptr;
  const CompressedPicture c = compressFrame(g_, key, f.buffer, previous, difference_, picture_);
  if (c.type == qvf::RECORD_REPEAT) {
    // Known for good: another run writes the same repeat record without looking again.
    f.status = compressedStatus(c);
    f.compressedSize = 0;
    return compressedRecord(f);
  }
  return {c.type, picture_, c.length};
}

}  // namespace quorvane_capture
