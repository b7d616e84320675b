// Recordings laid out as the capture library writes them decode, through the editor's table,
// to exactly the pictures and samples that went in.
#include <algorithm>
#include <cstring>
#include <random>
#include <thread>

#include "container_reader.h"
#include "reader_test_support.h"

namespace qv_test {
namespace {

constexpr uint64_t kFrameBytes = Recording::kFrameBytes;

TEST(ReaderRoundTrip, InfoDescribesTheRecording) {
  ScratchDir dir;
  Recording rec = makeRecording(dir);
  Handle h = openQvf(rec.path);
  ASSERT_TRUE(h);
  INPUT_INFO info = infoOf(h.get());
  EXPECT_EQ(info.flag, INPUT_INFO_FLAG_VIDEO | INPUT_INFO_FLAG_AUDIO);
  EXPECT_EQ(info.rate, 10);
  EXPECT_EQ(info.scale, 1);
  EXPECT_EQ(info.n, 39);  // 35 pictures and 4 repeats: one frame per slot
  EXPECT_EQ(info.audio_n, 3517);
  EXPECT_EQ(info.handler, 0x32595559u);
  ASSERT_NE(info.format, nullptr);
  EXPECT_EQ(info.format_size, 40);
  EXPECT_EQ(info.format->biSize, 40u);
  EXPECT_EQ(info.format->biWidth, 64);
  EXPECT_EQ(info.format->biHeight, 36);
  EXPECT_EQ(info.format->biPlanes, 1);
  EXPECT_EQ(info.format->biBitCount, 16);
  EXPECT_EQ(info.format->biCompression, 0x32595559u);
  EXPECT_EQ(info.format->biSizeImage, 0u);
  ASSERT_NE(info.audio_format, nullptr);
  EXPECT_EQ(info.audio_format_size, 18);
  EXPECT_EQ(info.audio_format->wFormatTag, 1);
  EXPECT_EQ(info.audio_format->nChannels, 2);
  EXPECT_EQ(info.audio_format->nSamplesPerSec, 44100u);
  EXPECT_EQ(info.audio_format->nAvgBytesPerSec, 176400u);
  EXPECT_EQ(info.audio_format->nBlockAlign, 4);
  EXPECT_EQ(info.audio_format->wBitsPerSample, 16);
  EXPECT_EQ(info.audio_format->cbSize, 0);
}

TEST(ReaderRoundTrip, SequentialReadsDecodeEveryFrameExactly) {
  ScratchDir dir;
  Recording rec = makeRecording(dir);
  Handle h = openQvf(rec.path);
  ASSERT_TRUE(h);
  Bytes buf(kFrameBytes);
  for (size_t f = 0; f < rec.slots.size(); ++f) {
    // A repeat fills the buffer with the picture it repeats and returns 0.
    const bool repeatSlot = rec.types[f] == qvf::RECORD_REPEAT;
    const int result = table().func_read_video(h.get(), static_cast<int>(f), buf.data());
    EXPECT_EQ(result, repeatSlot ? 0 : static_cast<int>(kFrameBytes)) << "frame " << f;
    EXPECT_EQ(buf, rec.slots[f]) << "frame " << f;
  }
}

TEST(ReaderRoundTrip, KeyFramesAreReportedExactly) {
  ScratchDir dir;
  Recording rec = makeRecording(dir);
  Handle h = openQvf(rec.path);
  ASSERT_TRUE(h);
  for (size_t f = 0; f < rec.types.size(); ++f) {
    const BOOL key = rec.types[f] == qvf::RECORD_KEY ? TRUE : FALSE;
    EXPECT_EQ(table().func_is_keyframe(h.get(), static_cast<int>(f)), key) << "frame " << f;
  }
  EXPECT_FALSE(table().func_is_keyframe(h.get(), -1));
  EXPECT_FALSE(table().func_is_keyframe(h.get(), static_cast<int>(rec.types.size())));
  EXPECT_FALSE(table().func_is_keyframe(h.get(), 0x7FFFFFFF));
}

TEST(ReaderRoundTrip, RandomJumpsGiveTheSamePictures) {
  ScratchDir dir;
  Recording rec = makeRecording(dir);
  Handle h = openQvf(rec.path);
  ASSERT_TRUE(h);
  std::vector<int> order;
  for (int round = 0; round < 3; ++round) {
    for (size_t f = 0; f < rec.slots.size(); ++f) order.push_back(static_cast<int>(f));
  }
  std::mt19937 rng(7);
  std::shuffle(order.begin(), order.end(), rng);
  Bytes buf(kFrameBytes);
  for (int f : order) {
    table().func_read_video(h.get(), f, buf.data());
    ASSERT_EQ(buf, rec.slots[f]) << "frame " << f;
    // Asking again for the frame just shown shows it again.
    table().func_read_video(h.get(), f, buf.data());
    ASSERT_EQ(buf, rec.slots[f]) << "frame " << f << " again";
  }
}

TEST(ReaderRoundTrip, OutOfRangeFramesLeaveTheBufferAlone) {
  ScratchDir dir;
  Recording rec = makeRecording(dir);
  Handle h = openQvf(rec.path);
  ASSERT_TRUE(h);
  Bytes buf(kFrameBytes, 0x5A);
  EXPECT_EQ(table().func_read_video(h.get(), static_cast<int>(rec.slots.size()), buf.data()), 0);
  EXPECT_EQ(table().func_read_video(h.get(), -1, buf.data()), 0);
  EXPECT_EQ(table().func_read_video(h.get(), INT32_MIN, buf.data()), 0);
  EXPECT_EQ(buf, Bytes(kFrameBytes, 0x5A));
}

// What a request costs: one record per frame in order; a jump restarts at the nearest key
// record at or before the frame, or carries on from the picture held when no key lies between.
TEST(ReaderRoundTrip, JumpsRestartFromTheNearestKeyRecord) {
  ScratchDir dir;
  Recording rec = makeRecording(dir);
  // Repeats sit at slots 3, 12, 13 and 23, keys at 0, 11, 24 and 34.
  std::vector<size_t> keySlots;
  for (size_t s = 0; s < rec.types.size(); ++s) {
    if (rec.types[s] == qvf::RECORD_KEY) keySlots.push_back(s);
  }
  ASSERT_EQ(keySlots, (std::vector<size_t>{0, 11, 24, 34}));

  qv_reader::ContainerReader r;
  ASSERT_TRUE(r.open(rec.path.c_str()));
  Bytes buf(kFrameBytes);
  auto cost = [&](int frame) {
    const uint64_t before = r.recordsApplied();
    r.readVideo(frame, buf.data());
    EXPECT_EQ(buf, rec.slots[frame]) << "frame " << frame;
    return r.recordsApplied() - before;
  };
  EXPECT_EQ(cost(0), 1u);
  EXPECT_EQ(cost(1), 1u);
  EXPECT_EQ(cost(2), 1u);
  EXPECT_EQ(cost(3), 0u);  // a repeat applies nothing
  EXPECT_EQ(cost(4), 1u);
  EXPECT_EQ(cost(5), 1u);
  EXPECT_EQ(cost(15), 3u);  // past key 11: 11, two repeats, 14, 15
  EXPECT_EQ(cost(20), 5u);  // same key run: carries on from 15
  EXPECT_EQ(cost(9), 9u);   // backwards: from key 0 again
  EXPECT_EQ(cost(11), 1u);  // a key record decodes directly
  EXPECT_EQ(cost(11), 0u);  // the frame held is not decoded again
  EXPECT_EQ(cost(34), 1u);
  EXPECT_EQ(cost(38), 4u);
  EXPECT_EQ(cost(23), 10u);  // back to key 11; slots 12, 13 and 23 are repeats
}

TEST(ReaderRoundTrip, NullBufferDecodesWithoutCopying) {
  ScratchDir dir;
  Recording rec = makeRecording(dir);
  Handle h = openQvf(rec.path);
  ASSERT_TRUE(h);
  EXPECT_EQ(table().func_read_video(h.get(), 5, nullptr), static_cast<int>(kFrameBytes));
  Bytes buf(kFrameBytes);
  table().func_read_video(h.get(), 6, buf.data());
  EXPECT_EQ(buf, rec.slots[6]);
}

TEST(ReaderRoundTrip, TwoHandlesOnOneFileDecodeIndependently) {
  ScratchDir dir;
  Recording rec = makeRecording(dir);
  Handle a = openQvf(rec.path);
  Handle b = openQvf(rec.path);
  ASSERT_TRUE(a && b);
  Bytes bufA(kFrameBytes), bufB(kFrameBytes);
  const size_t n = rec.slots.size();
  for (size_t i = 0; i < n; ++i) {
    const size_t fa = i, fb = n - 1 - i;
    table().func_read_video(a.get(), static_cast<int>(fa), bufA.data());
    table().func_read_video(b.get(), static_cast<int>(fb), bufB.data());
    EXPECT_EQ(bufA, rec.slots[fa]);
    EXPECT_EQ(bufB, rec.slots[fb]);
  }
  a.reset();
  table().func_read_video(b.get(), 7, bufB.data());
  EXPECT_EQ(bufB, rec.slots[7]);
}

TEST(ReaderRoundTrip, BothCodecBuildsDecodeAlike) {
  ScratchDir dir;
  Recording rec = makeRecording(dir);
  std::vector<const qv_reader::PictureCodec*> codecs = {&qv_reader::baselineCodec()};
  if (qv_reader::ssse3Codec() && qv_reader::processorHasSsse3()) {
    codecs.push_back(qv_reader::ssse3Codec());
  }
  for (const auto* codec : codecs) {
    qv_reader::ContainerReader r(*codec);
    ASSERT_TRUE(r.open(rec.path.c_str()));
    Bytes buf(kFrameBytes);
    for (size_t f = 0; f < rec.slots.size(); ++f) {
      r.readVideo(static_cast<int64_t>(f), buf.data());
      ASSERT_EQ(buf, rec.slots[f]) << codec->name << " frame " << f;
    }
  }
}

// The editor may call from several threads: calls on one handle must not trample each other.
TEST(ReaderRoundTrip, OverlappingCallsOnOneHandleAreSafe) {
  ScratchDir dir;
  Recording rec = makeRecording(dir);
  Handle h = openQvf(rec.path);
  ASSERT_TRUE(h);
  std::atomic<int> wrong{0};
  auto video = [&](unsigned seed) {
    std::mt19937 rng(seed);
    Bytes buf(kFrameBytes);
    for (int i = 0; i < 150; ++i) {
      const int f = static_cast<int>(rng() % rec.slots.size());
      table().func_read_video(h.get(), f, buf.data());
      if (buf != rec.slots[f]) ++wrong;
      if (table().func_is_keyframe(h.get(), f) != (rec.types[f] == qvf::RECORD_KEY)) ++wrong;
    }
  };
  auto audio = [&] {
    Bytes buf(400 * 4);
    for (int i = 0; i < 150; ++i) {
      const int start = (i * 37) % 3000;
      if (table().func_read_audio(h.get(), start, 400, buf.data()) != 400) ++wrong;
      if (std::memcmp(buf.data(), rec.audio.data() + start * 4, buf.size()) != 0) ++wrong;
      INPUT_INFO info = {};
      table().func_info_get(h.get(), &info);
      if (info.n != static_cast<int>(rec.slots.size())) ++wrong;
    }
  };
  std::thread t1(video, 1), t2(video, 2), t3(audio);
  t1.join();
  t2.join();
  t3.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace qv_test
