// Files that are damaged, cut short or built to hurt: the plug-in runs inside the editor, so
// it refuses or degrades, and never reads or writes outside its buffers.
#include <cstring>
#include <random>

#include "container_reader.h"
#include "qv_version.h"
#include "reader_test_support.h"

namespace qv_test {
namespace {

constexpr uint64_t kW = 8, kH = 4, kFrameBytes = kW * kH * 2;

std::string save(const ScratchDir& dir, const Bytes& bytes, const std::string& name = "f.qvf") {
  const std::string path = dir.file(name);
  EXPECT_TRUE(writeFile(path, bytes));
  return path;
}

Bytes readFrame(void* h, int frame, int* result = nullptr) {
  Bytes buf(kFrameBytes, 0xCC);
  const int r = table().func_read_video(h, frame, buf.data());
  if (result) *result = r;
  return buf;
}

TEST(ReaderHostile, FilesThatCannotBeOpenedOrReadGiveNull) {
  ScratchDir dir;
  EXPECT_FALSE(openQvf(dir.file("missing.qvf")));
  EXPECT_FALSE(openQvf(dir.file("")));  // the directory itself
  EXPECT_EQ(table().func_open(nullptr), nullptr);
  QvfWriter w(30, kW, kH);
  const Bytes full = w.bytes();
  for (size_t len = 0; len < qvf::kFileHeaderSize; ++len) {
    EXPECT_FALSE(openQvf(save(dir, Bytes(full.begin(), full.begin() + len)))) << len;
  }
  EXPECT_TRUE(openQvf(save(dir, full)));  // a header alone is an empty recording
}

TEST(ReaderHostile, HeadersThatCannotBeHonouredAreRefused) {
  ScratchDir dir;
  struct Case {
    size_t offset;
    uint64_t value;
    size_t offset2 = 8;  // by default the frame rate, rewritten unchanged
    uint64_t value2 = 30;
  } cases[] = {
      {0, 0},
      {0, 8},
      {0, 63},
      {0, 65},
      {0, ~0ull},  // header length other than 64
      {16, 0},
      {24, 0},                           // no picture
      {16, 0x10000, 24, 0x8000},         // 2^32 bytes per picture
      {16, 0x8000, 24, 0x8000},          // 2^31: beyond the editor's int
      {16, 1ull << 32, 24, 1ull << 32},  // wraps to 0 in 64 bits
      {16, 1ull << 40},
      {24, ~0ull},                  // wraps in 32 bits
      {32, 0x2020202020202020ull},  // codec tag of eight spaces
      {32, 0x2020797070616E73ull},  // "snappy  "
  };
  for (const Case& c : cases) {
    QvfWriter w(30, kW, kH);
    w.key(syntheticPicture(kW, kH, 0));
    setU64(w.bytes(), c.offset, c.value);
    setU64(w.bytes(), c.offset2, c.value2);
    EXPECT_FALSE(openQvf(save(dir, w.bytes()))) << c.offset << " = " << c.value;
  }
  // The largest picture the editor can take still opens (its buffers are reserved, not used).
  if (sizeof(void*) == 8) {
    QvfWriter w(30, 0x4000, 0xFFFF);
    EXPECT_TRUE(openQvf(save(dir, w.bytes())));
  }
}

TEST(ReaderHostile, OddRecordHeaderLengthEndsTheIndexThere) {
  ScratchDir dir;
  for (uint64_t bad : {0ull, 8ull, 16ull, 23ull, 25ull, 32ull, ~0ull}) {
    QvfWriter w(30, kW, kH);
    const Bytes p0 = syntheticPicture(kW, kH, 0), p1 = syntheticPicture(kW, kH, 1);
    w.key(p0);
    w.delta(p1, p0);
    w.record(qvf::RECORD_KEY, snappyBlock(p0), bad);
    w.key(p1);
    Handle h = openQvf(save(dir, w.bytes()));
    ASSERT_TRUE(h) << bad;
    EXPECT_EQ(infoOf(h.get()).n, 2) << bad;
    EXPECT_EQ(readFrame(h.get(), 1), p1);
    EXPECT_EQ(readFrame(h.get(), 0), p0);
  }
}

TEST(ReaderHostile, UnknownRecordTypesAreSkippedWithoutShiftingFrames) {
  ScratchDir dir;
  QvfWriter w(30, kW, kH);
  const Bytes p0 = syntheticPicture(kW, kH, 0), p1 = syntheticPicture(kW, kH, 1);
  w.record(3, Bytes(10, 1));
  w.key(p0);
  w.record(0x20000, Bytes(7, 2));
  w.record(0, {});
  w.record(qvf::RECORD_KEY | (1ull << 32), snappyBlock(p1));  // type compared in full
  w.delta(p1, p0);
  w.record(0x10001, pcm(0, 5));
  Handle h = openQvf(save(dir, w.bytes()));
  ASSERT_TRUE(h);
  INPUT_INFO info = infoOf(h.get());
  EXPECT_EQ(info.n, 2);
  EXPECT_EQ(info.audio_n, 0);
  EXPECT_EQ(readFrame(h.get(), 0), p0);
  EXPECT_EQ(readFrame(h.get(), 1), p1);
  EXPECT_FALSE(table().func_is_keyframe(h.get(), 1));
}

// A record that cannot be decoded fails, and so does every frame built on it, up to the next
// key record: they all show the last exact picture, whether reached in order or by a jump.
TEST(ReaderHostile, UndecodableRecordsFailUntilTheNextKey) {
  std::vector<Bytes> p;
  for (int i = 0; i < 7; ++i) p.push_back(syntheticPicture(kW, kH, i));
  Bytes corrupt = snappyBlock(difference(p[1], p[0]));
  corrupt[corrupt.size() / 2] ^= 0xFF;
  corrupt.resize(corrupt.size() - 1);
  Bytes tooLong = snappyBlock(Bytes(kFrameBytes + 2, 7));
  Bytes tooShort = snappyBlock(Bytes(kFrameBytes - 2, 7));
  Bytes huge(qvf::maxCompressedBytes(kFrameBytes) + 1, 0);
  huge[0] = static_cast<uint8_t>(kFrameBytes);  // a valid stated length in front of too much
  Bytes liar = snappyBlock(difference(p[1], p[0]));
  liar[0] = static_cast<uint8_t>(kFrameBytes + 64);  // states more than it holds
  Bytes noLength = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

  const int N = static_cast<int>(kFrameBytes);
  const std::vector<Bytes> shows = {p[0], p[0], p[0], p[0], p[0], p[5], p[6]};
  const std::vector<int> results = {N, 0, 0, 0, 0, N, N};
  ScratchDir dir;
  for (const Bytes& bad : {corrupt, tooLong, tooShort, huge, liar, noLength, Bytes{}}) {
    QvfWriter w(30, kW, kH);
    w.key(p[0]);
    w.record(qvf::RECORD_DELTA, bad);  // frame 1: broken
    w.repeat();                        // frame 2: repeats frame 1
    w.delta(p[3], p[1]);               // frames 3 and 4: differences on top of frame 1
    w.delta(p[4], p[3]);
    w.key(p[5]);
    w.delta(p[6], p[5]);
    const std::string path = save(dir, w.bytes());
    std::vector<int> order = {0, 1, 2, 3, 4, 5, 6, 4, 3, 6, 2, 1, 5, 0, 3};
    for (int first = 0; first < 7; ++first) {
      Handle h = openQvf(path);
      ASSERT_TRUE(h);
      for (size_t k = 0; k < order.size(); ++k) {
        const int f = order[(first + k) % order.size()];
        int result = -1;
        EXPECT_EQ(readFrame(h.get(), f, &result), shows[f]) << "frame " << f;
        EXPECT_EQ(result, results[f]) << "frame " << f << " after " << order[first];
      }
    }
  }
}

// A broken key record is never a starting point: the frames after it fail and show the last
// exact picture before it, the same way whatever was read before.
TEST(ReaderHostile, BrokenKeyRecordsFallBackToTheKeyBefore) {
  const Bytes p0 = syntheticPicture(kW, kH, 0), p1 = syntheticPicture(kW, kH, 1),
              p2 = syntheticPicture(kW, kH, 2), p3 = syntheticPicture(kW, kH, 3);
  Bytes broken = snappyBlock(p2);
  broken.resize(broken.size() / 2);
  ScratchDir dir;
  QvfWriter w(30, kW, kH);
  w.key(p0);
  w.delta(p1, p0);
  w.record(qvf::RECORD_KEY, broken);  // frame 2: shows p1
  w.delta(p3, p2);                    // frame 3: built on the broken key
  w.key(p2);                          // frame 4
  const std::string path = save(dir, w.bytes());
  const std::vector<Bytes> expected = {p0, p1, p1, p1, p2};
  const int N = static_cast<int>(kFrameBytes);
  const std::vector<int> results = {N, N, 0, 0, N};
  for (int first = 0; first < 5; ++first) {
    Handle h = openQvf(path);
    ASSERT_TRUE(h);
    readFrame(h.get(), 4);  // something else in the picture buffer first
    for (int k = 0; k < 5; ++k) {
      const int f = (first + k) % 5;
      int result = -1;
      EXPECT_EQ(readFrame(h.get(), f, &result), expected[f]) << "frame " << f << " from " << first;
      EXPECT_EQ(result, results[f]) << "frame " << f << " from " << first;
    }
  }
}

// Differences with no key record before them have nothing exact to build on.
TEST(ReaderHostile, FramesBeforeTheFirstKeyShowZerosAndFail) {
  const Bytes p0 = syntheticPicture(kW, kH, 0), p1 = syntheticPicture(kW, kH, 1);
  const Bytes zeros(kFrameBytes, 0);
  ScratchDir dir;
  QvfWriter w(30, kW, kH);
  w.repeat();
  w.delta(p0, zeros);
  w.delta(p1, p0);
  w.key(p1);
  Handle h = openQvf(save(dir, w.bytes()));
  ASSERT_TRUE(h);
  for (int f : {0, 3, 2, 1, 0, 3}) {
    int result = -1;
    EXPECT_EQ(readFrame(h.get(), f, &result), f == 3 ? p1 : zeros) << f;
    EXPECT_EQ(result, f == 3 ? static_cast<int>(kFrameBytes) : 0) << f;
  }
}

TEST(ReaderHostile, PayloadSizesThatPointPastTheFileOrWrap) {
  ScratchDir dir;
  const Bytes p0 = syntheticPicture(kW, kH, 0);
  for (uint64_t size : {1ull << 40, (1ull << 63) - 100, ~0ull - 10}) {
    QvfWriter w(30, kW, kH);
    w.key(p0);
    Bytes& b = w.bytes();
    putU64(b, 24);
    putU64(b, qvf::RECORD_DELTA);
    putU64(b, size);
    w.key(p0);  // never reached: it lies inside the huge payload
    Handle h = openQvf(save(dir, b));
    ASSERT_TRUE(h);
    // The record that claims more than the file holds is left out, and the index ends there.
    EXPECT_EQ(infoOf(h.get()).n, 1);
    EXPECT_EQ(readFrame(h.get(), 0), p0);
  }
  // So are sound records that claim more than the file holds.
  QvfWriter w(30, kW, kH);
  w.audio(pcm(0, 10));
  Bytes& b = w.bytes();
  putU64(b, 24);
  putU64(b, qvf::RECORD_AUDIO);
  putU64(b, 1ull << 40);
  const Bytes tail = pcm(10, 5);
  b.insert(b.end(), tail.begin(), tail.end());
  Handle h = openQvf(save(dir, b));
  ASSERT_TRUE(h);
  Bytes buf(100 * 4, 0xEE);
  EXPECT_EQ(table().func_read_audio(h.get(), 0, 100, buf.data()), 10);
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 40), pcm(0, 10));
  EXPECT_EQ(buf[40], 0xEE);
}

// Every prefix of a small recording: refused while the header is incomplete, after that every
// complete record decodes as written and a record cut off by the end is left out.
TEST(ReaderHostile, FilesCutShortAtEveryByte) {
  const uint64_t w2 = 6, h2 = 2, fb = w2 * h2 * 2;
  std::vector<Bytes> pictures;
  for (int i = 0; i < 5; ++i) pictures.push_back(syntheticPicture(w2, h2, i));
  QvfWriter w(2, w2, h2);
  const std::vector<Bytes> slots =
      writeRecording(w, 2, pictures, {pcm(0, 3), pcm(3, 2)}, {0, 0, 1, 0, 0});
  const Bytes full = w.bytes();
  // Where each video record ends, from the layout: 64-byte header, sound records, then video.
  std::vector<size_t> recordEnd;
  size_t at = 64 + 2 * 24 + 5 * 4;
  const size_t audioEnd = at;
  while (at < full.size()) {
    uint64_t size = 0;
    std::memcpy(&size, full.data() + at + 16, 8);
    at += 24 + size;
    recordEnd.push_back(at);
  }
  ASSERT_EQ(recordEnd.size(), slots.size());

  ScratchDir dir;
  const std::string path = dir.file("cut.qvf");
  for (size_t len = 0; len <= full.size(); ++len) {
    ASSERT_TRUE(writeFile(path, Bytes(full.begin(), full.begin() + len)));
    Handle h = openQvf(path);
    if (len < 64) {
      EXPECT_FALSE(h) << len;
      continue;
    }
    ASSERT_TRUE(h) << len;
    INPUT_INFO info = infoOf(h.get());
    // A record cut off by the end of the file is left out, and the index ends there.
    size_t indexed = 0;
    while (indexed < recordEnd.size() && len >= recordEnd[indexed]) ++indexed;
    ASSERT_EQ(info.n, static_cast<int>(indexed)) << len;
    std::mt19937 rng(static_cast<unsigned>(len));
    for (size_t k = 0; k < 2 * indexed; ++k) {
      const int f = k < indexed ? static_cast<int>(k) : static_cast<int>(rng() % indexed);
      Bytes buf(fb, 0xCC);
      table().func_read_video(h.get(), f, buf.data());
      ASSERT_EQ(buf, slots[f]) << "length " << len << " frame " << f;
    }
    Bytes sound(5 * 4 + 4, 0xEE);
    const int got = table().func_read_audio(h.get(), 0, 5, sound.data());
    const int complete = len >= audioEnd ? 5 : len >= 64 + 24 + 12 ? 3 : 0;
    EXPECT_EQ(got, complete) << len;
    EXPECT_EQ(Bytes(sound.begin(), sound.begin() + got * 4), pcm(0, got)) << len;
  }
}

TEST(ReaderHostile, NullHandlesAreRefusedQuietly) {
  INPUT_INFO info = {};
  EXPECT_TRUE(table().func_close(nullptr));
  EXPECT_FALSE(table().func_info_get(nullptr, &info));
  EXPECT_EQ(table().func_read_video(nullptr, 0, nullptr), 0);
  EXPECT_EQ(table().func_read_audio(nullptr, 0, 10, nullptr), 0);
  EXPECT_FALSE(table().func_is_keyframe(nullptr, 0));
}

TEST(ReaderHostile, TableMatchesWhatTheEditorExpects) {
  INPUT_PLUGIN_TABLE& t = table();
  EXPECT_EQ(t.flag, INPUT_PLUGIN_FLAG_VIDEO | INPUT_PLUGIN_FLAG_AUDIO);
  EXPECT_STREQ(t.name, "QuorvaneVideoFormat Reader");
  EXPECT_STREQ(t.information, "QuorvaneVideoFormat Reader " QV_VERSION);
  // Exactly one filter pair, then the empty string that ends the list.
  const char* p = t.filefilter;
  EXPECT_STREQ(p, "QuorvaneVideoFormat (*.qvf)");
  p += std::strlen(p) + 1;
  EXPECT_STREQ(p, "*.qvf");
  p += std::strlen(p) + 1;
  EXPECT_EQ(*p, '\0');
  EXPECT_TRUE(t.func_init());
  EXPECT_TRUE(t.func_exit());
  EXPECT_EQ(t.func_config, nullptr);
  for (int r : t.reserve) EXPECT_EQ(r, 0);
}

}  // namespace
}  // namespace qv_test
