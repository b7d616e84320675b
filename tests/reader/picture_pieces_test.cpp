// Differences larger than one 64 KiB piece: added piece by piece, whatever way the block was
// compressed, and a bad block leaves the picture as it was.
#include <gtest/gtest.h>

#include <random>

#include "reader_test_support.h"

namespace qv_test {
namespace {

constexpr uint64_t kWidth = 256, kHeight = 160;  // 81920 bytes: a piece and a quarter
constexpr size_t kPiece = 64 * 1024;

// A valid Snappy block unlike the writer's: one literal of the first 64 KiB, then copies that
// reach back across it into the previous piece. d repeats with a period of 64 KiB.
Bytes reachingBackBlock(const Bytes& d) {
  Bytes out;
  for (uint64_t v = d.size();; v >>= 7) {
    out.push_back(static_cast<uint8_t>((v & 0x7F) | (v >= 0x80 ? 0x80 : 0)));
    if (v < 0x80) break;
  }
  out.insert(out.end(), {0xF4, 0xFF, 0xFF});  // a literal of 65536 bytes
  out.insert(out.end(), d.begin(), d.begin() + kPiece);
  for (size_t k = kPiece; k < d.size(); k += 64) out.insert(out.end(), {0xFF, 0, 0, 1, 0});
  return out;
}

// A valid block unlike the writer's: the whole of d as one literal, across every piece.
Bytes oneLiteralBlock(const Bytes& d) {
  Bytes out;
  for (uint64_t v = d.size();; v >>= 7) {
    out.push_back(static_cast<uint8_t>((v & 0x7F) | (v >= 0x80 ? 0x80 : 0)));
    if (v < 0x80) break;
  }
  const uint64_t n = d.size() - 1;
  out.insert(out.end(), {0xF8, static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8),
                         static_cast<uint8_t>(n >> 16)});  // a literal with a 3-byte length
  out.insert(out.end(), d.begin(), d.end());
  return out;
}

TEST(ReaderPictures, DifferencesOfSeveralPiecesAddExactlyOrNotAtAll) {
  std::mt19937 rng(5);
  const Bytes p0 = syntheticPicture(kWidth, kHeight, 0);
  const Bytes p1 = syntheticPicture(kWidth, kHeight, 1);
  Bytes repeating(p0.size());
  for (size_t k = 0; k < repeating.size(); ++k) {
    repeating[k] = k < kPiece ? static_cast<uint8_t>(rng()) : repeating[k - kPiece];
  }
  Bytes p2(p1.size());
  for (size_t k = 0; k < p2.size(); ++k) p2[k] = static_cast<uint8_t>(p1[k] + repeating[k]);
  const Bytes reaching = reachingBackBlock(repeating);
  {
    Bytes check(repeating.size());
    ASSERT_TRUE(snappy::RawUncompress(reinterpret_cast<const char*>(reaching.data()),
                                      reaching.size(), reinterpret_cast<char*>(check.data())));
    ASSERT_EQ(check, repeating);
  }
  const Bytes writers = snappyBlock(difference(p2, p1));
  // Noise as Snappy compresses it: nearly all literals, and pieces that end inside runs of them.
  Bytes noisy(p1.size());
  for (uint8_t& b : noisy) b = static_cast<uint8_t>(rng() % 5 == 0 ? 0 : rng());
  Bytes p3(p1.size());
  for (size_t k = 0; k < p3.size(); ++k) p3[k] = static_cast<uint8_t>(p1[k] + noisy[k]);
  const Bytes noisyBlock = plainSnappyBlock(noisy);
  Bytes noisyCut = noisyBlock;
  noisyCut.resize(noisyCut.size() - 100);
  // The writer stores noise as one literal per piece, added straight from the file's bytes.
  const Bytes literalPieces = snappyBlock(noisy);
  const Bytes literalPiecesCut(literalPieces.begin(), literalPieces.end() - 5);
  const Bytes writersCut(writers.begin(), writers.end() - 7);
  Bytes reachingCut = reaching;
  reachingCut.resize(reachingCut.size() - 3);

  struct Case {
    const char* name;
    Bytes block;  // the difference after p1
    Bytes shows;
    bool exact;
  };
  const std::vector<Case> cases = {
      {"blocks of the writer", writers, p2, true},
      {"copies across pieces", reaching, p2, true},
      {"noise", noisyBlock, p3, true},
      {"one literal across pieces", oneLiteralBlock(noisy), p3, true},
      {"the writer's literal pieces", literalPieces, p3, true},
      {"the writer's literal pieces cut short", literalPiecesCut, p1, false},
      {"noise cut short in its last piece", noisyCut, p1, false},
      {"writer's block cut short", writersCut, p1, false},
      {"block with copies across pieces cut short", reachingCut, p1, false},
  };
  ScratchDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QvfWriter w(10, kWidth, kHeight);
    w.key(p0);
    w.delta(p1, p0);
    w.record(qvf::RECORD_DELTA, c.block);
    const std::string path = dir.file("pieces.qvf");
    ASSERT_TRUE(writeFile(path, w.bytes()));
    Handle h = openQvf(path);
    ASSERT_TRUE(h);
    Bytes picture(p0.size());
    // In order, so the last difference is added to the picture the one before left.
    for (int f = 0; f < 3; ++f) {
      const int got = table().func_read_video(h.get(), f, picture.data());
      const bool exact = f < 2 || c.exact;
      EXPECT_EQ(got, exact ? static_cast<int>(picture.size()) : 0) << "frame " << f;
      EXPECT_EQ(picture, f == 0 ? p0 : f == 1 ? p1 : c.shows) << "frame " << f;
    }
  }
}

}  // namespace
}  // namespace qv_test
