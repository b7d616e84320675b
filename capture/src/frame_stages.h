// The stages of a picture, each written once and used by every thread that performs it:
//   convert     RGB32 at capture size -> (area-average downscale) -> YUY2 at output size
//               (encode threads; the writers for frames the encode threads did not reach);
//   key or difference, then compress: every keyInterval-th frame whole, the others as their
//               byte difference from the frame before, Snappy into a compressed piece
//               (compress thread; the writers for frames it did not reach);
//   record      the frame's record on the constant-rate timeline, after the repeat records its
//               capture time calls for (record_writer.h: both writers).
//
// Who owns which buffer, by frame state. Every picture and compressed piece is pool memory
// owned by its frame record; a thread changes a record only under hMutex_frameList_Change,
// except a writer that runs after the recording threads have ended.
//   FRAME_CAPTURED  buffer: RGB32 picture, capture size, taken by the capture thread.
//                   compressedBuffer: null.
//   FRAME_ENCODED   buffer: YUY2 picture. From an encode thread a range of exactly the YUY2
//                   size (a downscaled frame's capture-size range went back to the pool); from a
//                   writer the capture-size range with the YUY2 picture at its start.
//                   compressedBuffer: null.
//   FRAME_KEY/DELTA compressedBuffer: compressedSize bytes of Snappy output, until a streaming
//                   writer has written the record, gives the piece back and sets it null (the
//                   in-memory writer leaves it for Finalize). buffer: the YUY2 picture while the
//                   next frame still needs it for its difference; it goes back (buffer null) as
//                   soon as both this frame and the next one are compressed.
//   FRAME_UNCHANGED as FRAME_DELTA, but compressedBuffer null and compressedSize 0: the picture
//                   equals the previous one and is written as a repeat record.
// While recording, the picture work runs outside hMutex_frameList_Change: the mutex guards only
// the state changes, and the state says who owns a frame. FRAME_CAPTURED: the encode thread
// whose share the index is. FRAME_ENCODED: the compress work, which hands each frame in list
// order to exactly one compressing thread (the compress thread or an encode thread helping it);
// that thread also reads the previous frame's picture, which stays until both are compressed.
// Compressed: the writer. A frame being compressed stays FRAME_ENCODED until its result is
// stored; pieces of several frames may be compressed at once, in any order of completion.
// A writer's work buffers (downscale scratch, difference, compressed output) are its own, from
// the C heap, for the whole run.
#ifndef QUORVANE_FRAME_STAGES_H
#define QUORVANE_FRAME_STAGES_H

#include <cstddef>
#include <cstdint>

#include "frame_list.h"
#include "qvf_blocks.h"

namespace quorvane_capture {

// The sizes every stage works with, from the corrected settings.
struct PictureGeometry {
  int64_t captureWidth = 0;
  int64_t captureHeight = 0;
  int64_t outputWidth = 0;
  int64_t outputHeight = 0;
  uint64_t rgbOutputBytes = 0;      // outputWidth x outputHeight x 4
  uint64_t yuy2Bytes = 0;           // outputWidth x outputHeight x 2
  uint64_t compressedCapacity = 0;  // the largest Snappy output of a YUY2 picture
  bool needsScaling = false;        // output smaller than the capture in either direction
  int64_t keyInterval = 0;          // captureSettingInternal.fps
  bool repeatUnchanged = false;     // unchanged pictures become repeat records
  uint64_t unchangedLength = 0;     // Snappy length of an all-zero difference
};
PictureGeometry pictureGeometry();

// Convert. Without scaling: RGB32ToYUY2 from `captured` into `yuy2` (may be the same range).
// With scaling: downscale `captured` into `scaled` (rgbOutputBytes), then RGB32ToYUY2 from
// `scaled` into `yuy2` (may be `scaled` or `captured`).
void convertPicture(const PictureGeometry& g, const uint8_t* captured, uint8_t* scaled,
                    uint8_t* yuy2);

// Key or difference: frame `index` of the list is a key frame every keyInterval frames.
bool isKeyFrame(const PictureGeometry& g, int64_t index);

// The scratch a compressor gives compressPicture: a piece of the difference being formed,
// and Snappy's output of that piece before it is stored (see format/qvf_blocks.h).
constexpr size_t kDifferenceScratchBytes = qvf::kSnappyPieceBytes + qvf::kSnappyPieceScratchBytes;

// Compress a key frame's `picture`, or a difference frame's `picture` minus `previous`
// (formed piece by piece in `difference`, kDifferenceScratchBytes), into `out`
// (compressedCapacity bytes) as format/qvf_blocks.h stores pictures. Returns its length.
size_t compressPicture(const PictureGeometry& g, bool key, const uint8_t* picture,
                       const uint8_t* previous, uint8_t* difference, uint8_t* out);

// Key, difference or unchanged, then compress: as compressPicture, except that with
// g.repeatUnchanged a difference frame whose difference is all zero (its picture equals the
// previous one) gives RECORD_REPEAT and length 0. The record type is qvf's.
struct CompressedPicture {
  uint64_t type;
  size_t length;
};
CompressedPicture compressFrame(const PictureGeometry& g, bool key, const uint8_t* picture,
                                const uint8_t* previous, uint8_t* difference, uint8_t* out);

// The Snappy length of an all-zero difference of yuy2Bytes; 0 when it cannot be worked out.
uint64_t unchangedDifferenceLength(uint64_t yuy2Bytes);

// Whether a frame in this state is compressed (its record is known).
inline bool frameCompressed(int64_t status) { return status >= FRAME_KEY; }

// The frame state a compressed picture leaves, counting the unchanged ones.
int64_t compressedStatus(const CompressedPicture& c);
// Pictures found unchanged since the count was last reset (Initialize).
uint64_t unchangedFrameCount();
void resetUnchangedFrameCount();

// A record's type and payload.
struct FrameRecord {
  uint64_t type;
  const uint8_t* payload;
  uint64_t size;
};

// The record of a frame the compress thread finished: its compressed piece.
FrameRecord compressedRecord(const frame& f);

// What a writer needs to finish the frames the recording threads did not reach: converted in
// place and compressed into its own buffer. Use only once the recording threads have ended.
class FrameFinisher {
 public:
  explicit FrameFinisher(const PictureGeometry& g);
  ~FrameFinisher();
  FrameFinisher(const FrameFinisher&) = delete;
  FrameFinisher& operator=(const FrameFinisher&) = delete;

  bool ready() const { return picture_ != nullptr && difference_ != nullptr; }
  // The record of frame `index`. A frame left captured is converted and becomes
  // FRAME_ENCODED; an encoded one is compressed into this object's buffer, valid until the
  // next call, and stays FRAME_ENCODED, so another run finds it as this one did.
  FrameRecord recordOf(size_t index);

 private:
  PictureGeometry g_;
  uint8_t* picture_;     // downscale scratch, then the compressed output
  uint8_t* difference_;  // the difference picture
};

}  // namespace quorvane_capture

#endif
