// Sound by sample position across record boundaries, and requests that reach outside it.
#include <cstring>
#include <fstream>

#include "container_reader.h"
#include "reader_test_support.h"

namespace qv_test {
namespace {

// Records of 1000, 0, 17 and 2500 samples after a picture: positions count across all of
// them, in file order.
struct SoundFile {
  std::string path;
  Bytes audio;
};

SoundFile makeSoundFile(const ScratchDir& dir) {
  QvfWriter w(30, 4, 2);
  SoundFile f;
  for (auto chunk : {pcm(0, 1000), Bytes{}, pcm(1000, 17), pcm(1017, 2500)}) {
    w.audio(chunk);
    f.audio.insert(f.audio.end(), chunk.begin(), chunk.end());
  }
  w.key(syntheticPicture(4, 2, 0));
  f.path = dir.file("sound.qvf");
  EXPECT_TRUE(writeFile(f.path, w.bytes()));
  return f;
}

TEST(ReaderAudio, RangesInsideAcrossAndBeyondRecords) {
  ScratchDir dir;
  SoundFile f = makeSoundFile(dir);
  Handle h = openQvf(f.path);
  ASSERT_TRUE(h);
  EXPECT_EQ(infoOf(h.get()).audio_n, 3517);
  struct Case {
    int start, count, delivered;
  } cases[] = {
      {0, 1470, 1470},   // the editor's usual block: 5880 bytes
      {10, 20, 20},      // inside the first record
      {990, 20, 20},     // across the empty record into the 17-sample one
      {1000, 17, 17},    // exactly one record
      {1010, 100, 100},  // across into the last
      {0, 3517, 3517},   // everything
      {3500, 100, 17},   // beyond the end: what exists
      {3516, 1, 1},      // the last sample
      {3517, 10, 0},     // at the end
      {1 << 30, 10, 0},  // far past it
      {-5, 10, 0},       // before the start
  };
  for (const Case& c : cases) {
    Bytes buf(static_cast<size_t>(c.count) * 4 + 8, 0xEE);
    const int got = table().func_read_audio(h.get(), c.start, c.count, buf.data());
    EXPECT_EQ(got, c.delivered) << c.start << "+" << c.count;
    if (got > 0) {
      EXPECT_EQ(0, std::memcmp(buf.data(), f.audio.data() + c.start * 4, got * 4))
          << c.start << "+" << c.count;
    }
    for (size_t k = static_cast<size_t>(got) * 4; k < buf.size(); ++k) {
      ASSERT_EQ(buf[k], 0xEE) << "byte " << k << " written beyond the samples delivered";
    }
  }
}

TEST(ReaderAudio, NonPositiveCountsWriteNothing) {
  ScratchDir dir;
  SoundFile f = makeSoundFile(dir);
  Handle h = openQvf(f.path);
  ASSERT_TRUE(h);
  Bytes buf(64, 0xEE);
  EXPECT_EQ(table().func_read_audio(h.get(), 0, 0, buf.data()), 0);
  EXPECT_EQ(table().func_read_audio(h.get(), 100, -1, buf.data()), 0);
  EXPECT_EQ(table().func_read_audio(h.get(), 100, INT32_MIN, buf.data()), 0);
  // start + count beyond INT_MAX must not wrap into a negative end.
  EXPECT_EQ(table().func_read_audio(h.get(), INT32_MAX, INT32_MAX, buf.data()), 0);
  EXPECT_EQ(buf, Bytes(64, 0xEE));
}

// The reader's own sound values come from the header; the editor gets nothing it could
// mis-size its buffers by.
TEST(ReaderAudio, UnusableSoundFormatsMeanNoSound) {
  ScratchDir dir;
  struct Case {
    uint64_t channels, bits, rate;
  } cases[] = {{0, 16, 44100},       {2, 4, 44100},        {2, 0, 44100},      {2, 16, 0},
               {0x10002, 16, 44100}, {2, 1u << 20, 44100}, {2, 16, 1ull << 40}};
  for (const Case& c : cases) {
    QvfWriter w(30, 4, 2);
    setU64(w.bytes(), 40, c.channels);
    setU64(w.bytes(), 48, c.bits);
    setU64(w.bytes(), 56, c.rate);
    w.audio(pcm(0, 100));
    w.key(syntheticPicture(4, 2, 0));
    const std::string path = dir.file("fmt.qvf");
    ASSERT_TRUE(writeFile(path, w.bytes()));
    Handle h = openQvf(path);
    ASSERT_TRUE(h);
    INPUT_INFO info = infoOf(h.get());
    EXPECT_EQ(info.audio_n, 0) << c.channels << "/" << c.bits << "/" << c.rate;
    EXPECT_EQ(info.flag, INPUT_INFO_FLAG_VIDEO);
    EXPECT_EQ(info.n, 1);
    Bytes buf(400, 0xEE);
    EXPECT_EQ(table().func_read_audio(h.get(), 0, 100, buf.data()), 0);
    EXPECT_EQ(buf, Bytes(400, 0xEE));
  }
}

TEST(ReaderAudio, EightBitMonoUsesItsOwnBlockSize) {
  ScratchDir dir;
  QvfWriter w(30, 4, 2);
  setU64(w.bytes(), 40, 1);
  setU64(w.bytes(), 48, 8);
  setU64(w.bytes(), 56, 8000);
  w.audio(pcm(0, 25));  // 100 bytes: 100 one-byte samples
  const std::string path = dir.file("mono.qvf");
  ASSERT_TRUE(writeFile(path, w.bytes()));
  Handle h = openQvf(path);
  ASSERT_TRUE(h);
  INPUT_INFO info = infoOf(h.get());
  EXPECT_EQ(info.audio_n, 100);
  EXPECT_EQ(info.audio_format->nBlockAlign, 1);
  EXPECT_EQ(info.audio_format->nAvgBytesPerSec, 8000u);
  Bytes buf(10);
  EXPECT_EQ(table().func_read_audio(h.get(), 95, 10, buf.data()), 5);
}

// More than 2^32 bytes of sound (about 6 h 46 min at 176400 bytes/s): positions and sums
// need 64 bits. The file is sparse, so it costs no disk space.
TEST(ReaderAudio, SoundBeyondFourGibibytesReadsAtTrueOffsets) {
  ScratchDir dir;
  const std::string path = dir.file("long.qvf");
  const uint64_t chunk = 3ull << 30;  // two records of 3 GiB
  {
    QvfWriter w(30, 4, 2);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(w.bytes().data()), 64);
    Bytes header;
    for (int r = 0; r < 2; ++r) {
      header.clear();
      putU64(header, 24);
      putU64(header, qvf::RECORD_AUDIO);
      putU64(header, chunk);
      const uint64_t at = 64 + r * (24 + chunk);
      out.seekp(static_cast<std::streamoff>(at));
      out.write(reinterpret_cast<const char*>(header.data()), 24);
    }
    // Marks near the end of the second record, past 2^32 bytes of sound.
    const Bytes mark = pcm(1234567, 4);
    out.seekp(static_cast<std::streamoff>(64 + 24 + chunk + 24 + chunk - 16));
    out.write(reinterpret_cast<const char*>(mark.data()), 16);
    ASSERT_TRUE(out) << "no room for a sparse 6 GiB file";
  }
  Handle h = openQvf(path);
  ASSERT_TRUE(h);
  INPUT_INFO info = infoOf(h.get());
  const int64_t samples = static_cast<int64_t>(2 * chunk / 4);
  EXPECT_EQ(info.audio_n, samples);
  Bytes buf(16);
  ASSERT_EQ(table().func_read_audio(h.get(), static_cast<int>(samples - 4), 10, buf.data()), 4);
  EXPECT_EQ(buf, pcm(1234567, 4));
}

}  // namespace
}  // namespace qv_test
