// Snappy's own decoder, with a writer of ours in place of its flat array: the output is
// decoded into a piece buffer, and each full piece is added to the picture while it is still
// in the cache, instead of the whole difference going to memory and being read back. The
// library's source is included so that its decoder (a template over the writer) serves both.
#include "snappy_pieces.h"

#include <emmintrin.h>

#include "snappy.cc"

namespace snappy {
namespace {

// picture[k] += piece[k] (or -=), modulo 256.
void applyPiece(uint8_t* picture, const uint8_t* piece, size_t bytes, bool subtract) {
  size_t k = 0;
  if (subtract) {
    for (; k + 16 <= bytes; k += 16) {
      auto* p = reinterpret_cast<__m128i*>(picture + k);
      const auto* d = reinterpret_cast<const __m128i*>(piece + k);
      _mm_storeu_si128(p, _mm_sub_epi8(_mm_loadu_si128(p), _mm_loadu_si128(d)));
    }
    for (; k < bytes; ++k) picture[k] = static_cast<uint8_t>(picture[k] - piece[k]);
    return;
  }
  for (; k + 64 <= bytes; k += 64) {
    auto* p = reinterpret_cast<__m128i*>(picture + k);
    const auto* d = reinterpret_cast<const __m128i*>(piece + k);
    const __m128i a0 = _mm_add_epi8(_mm_loadu_si128(p), _mm_loadu_si128(d));
    const __m128i a1 = _mm_add_epi8(_mm_loadu_si128(p + 1), _mm_loadu_si128(d + 1));
    const __m128i a2 = _mm_add_epi8(_mm_loadu_si128(p + 2), _mm_loadu_si128(d + 2));
    const __m128i a3 = _mm_add_epi8(_mm_loadu_si128(p + 3), _mm_loadu_si128(d + 3));
    _mm_storeu_si128(p, a0);
    _mm_storeu_si128(p + 1, a1);
    _mm_storeu_si128(p + 2, a2);
    _mm_storeu_si128(p + 3, a3);
  }
  for (; k + 16 <= bytes; k += 16) {
    auto* p = reinterpret_cast<__m128i*>(picture + k);
    const auto* d = reinterpret_cast<const __m128i*>(piece + k);
    _mm_storeu_si128(p, _mm_add_epi8(_mm_loadu_si128(p), _mm_loadu_si128(d)));
  }
  for (; k < bytes; ++k) picture[k] = static_cast<uint8_t>(picture[k] + piece[k]);
}

// The shape of SnappyArrayWriter, over one piece at a time. The piece ends at the next
// kDifferencePieceBytes boundary of the output (or at the end): when a tag fills it, it is
// applied to the picture and the next piece starts at the front of the buffer. A copy from
// before the front of the buffer, or one that would run past the piece, is refused.
class PieceWriter {
 public:
  PieceWriter(char* piece, uint8_t* picture, size_t limit, bool subtract)
      : base_(piece), op_(piece), picture_(picture), limit_(limit), subtract_(subtract) {
    setPieceEnd();
  }

  void SetExpectedLength(size_t len) {
    total_ = len;
    setPieceEnd();
  }
  bool CheckLength() const { return done_ == total_ && op_ == base_; }
  size_t applied() const { return done_; }

  char* GetOutputPtr() { return op_; }
  char* GetBase(ptrdiff_t* op_limit_min_slop) {
    *op_limit_min_slop = op_limit_min_slop_ - base_;
    return base_;
  }
  void SetOutputPtr(char* op) { op_ = op; }

  // Literals may run across pieces: their bytes come from the input, not the output.
  bool Append(const char* ip, size_t len, char** op_p) {
    char* op = *op_p;
    for (;;) {
      // A literal that fills a whole piece (how the writer stores a piece that hardly
      // compresses) is added straight from the input, without passing through the buffer.
      const size_t whole = static_cast<size_t>(op_limit_ - base_);
      if (op == base_ && whole != 0 && len >= whole) {
        if (!applyBytes(ip, whole)) return false;
        ip += whole;
        len -= whole;
        if (len == 0) break;
        continue;
      }
      const size_t space = static_cast<size_t>(op_limit_ - op);
      const size_t n = len < space ? len : space;
      std::memcpy(op, ip, n);
      op += n;
      ip += n;
      len -= n;
      if (op == op_limit_ && !finishPiece(&op)) return false;
      if (len == 0) break;
      if (op_limit_ == base_) return false;  // more output than the block said it holds
    }
    *op_p = op;
    return true;
  }

  // Never fills a piece: that is left to Append, so a refused fast append is never repeated.
  bool TryFastAppend(const char* ip, size_t available, size_t len, char** op_p) {
    char* op = *op_p;
    const size_t space_left = op_limit_ - op;
    if (len <= 16 && available >= 16 + kMaximumTagLength && space_left > 16) {
      UnalignedCopy128(ip, op);
      *op_p = op + len;
      return true;
    }
    return false;
  }

  SNAPPY_ATTRIBUTE_ALWAYS_INLINE
  bool AppendFromSelf(size_t offset, size_t len, char** op_p) {
    char* op = *op_p;
    char* const op_end = op + len;
    if (SNAPPY_PREDICT_FALSE(static_cast<size_t>(op - base_) < offset)) return false;
    if (SNAPPY_PREDICT_FALSE(len > kSlopBytes || op >= op_limit_min_slop_ || offset < len)) {
      if (op_end > op_limit_ || offset == 0) return false;
      op = IncrementalCopy(op - offset, op, op_end, op_limit_);
    } else {
      std::memmove(op, op - offset, kSlopBytes);
      op = op_end;
    }
    if (op == op_limit_ && !finishPiece(&op)) return false;
    *op_p = op;
    return true;
  }

  void Flush() {}

 private:
  void setPieceEnd() {
    const size_t left = total_ - done_;
    const size_t n = left < kDifferencePieceBytes ? left : kDifferencePieceBytes;
    op_limit_ = base_ + n;
    op_limit_min_slop_ = op_limit_ - (n < kSlopBytes - 1 ? n : kSlopBytes - 1);
  }

  // Applies the full piece and starts the next at the front of the buffer; false once
  // `limit` bytes are applied and more would follow.
  bool finishPiece(char** op) {
    const size_t n = static_cast<size_t>(*op - base_);
    *op = base_;
    op_ = base_;
    return applyBytes(base_, n);
  }

  // Applies the next n bytes of output, from wherever they are, and sets the next piece's end.
  bool applyBytes(const char* from, size_t n) {
    const size_t room = limit_ - done_;
    const size_t take = n < room ? n : room;
    applyPiece(picture_ + done_, reinterpret_cast<const uint8_t*>(from), take, subtract_);
    done_ += take;
    setPieceEnd();
    return take == n && (done_ < limit_ || done_ == total_);
  }

  char* const base_;
  char* op_;
  char* op_limit_ = nullptr;
  char* op_limit_min_slop_ = nullptr;
  uint8_t* const picture_;
  const size_t limit_;
  const bool subtract_;
  size_t total_ = 0;
  size_t done_ = 0;
};

}  // namespace

bool ApplyDifferencePieces(const char* compressed, size_t compressedBytes, uint8_t* picture,
                           size_t limit, char* piece, bool subtract, size_t* applied) {
  ByteArraySource source(compressed, compressedBytes);
  PieceWriter writer(piece, picture, limit, subtract);
  const bool ok = InternalUncompress(&source, &writer);
  *applied = writer.applied();
  return ok && writer.applied() == limit;
}

}  // namespace snappy
