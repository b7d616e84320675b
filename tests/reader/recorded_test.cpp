// Real pictures: the desktop frames in bench/data written as a recording, and recordings made by
// the capture library (QV_RECORDED_QVF=path, set by the suite that records one).
#include <cstdio>
#include <cstdlib>
#include <random>

#include "container_reader.h"
#include "reader_test_support.h"

namespace qv_test {
namespace {

#ifndef _WIN32
// The first `count` 1920x1080 desktop frames as YUY2, or none when they cannot be had.
std::vector<Bytes> screenFrames(int count) {
  std::vector<Bytes> frames;
  const char* zst = std::getenv("QV_SCREEN_FRAMES_ZST");
  const std::string cmd =
      std::string("zstd -dc '") + (zst ? zst : QV_SCREEN_FRAMES_ZST) + "' 2>/dev/null";
  FILE* in = popen(cmd.c_str(), "r");
  if (!in) return frames;
  std::vector<uint8_t> bgra(1920 * 1080 * 4);
  while (static_cast<int>(frames.size()) < count &&
         std::fread(bgra.data(), 1, bgra.size(), in) == bgra.size()) {
    Bytes yuy2(1920 * 1080 * 2);
    bgraToYuy2(bgra.data(), yuy2.data(), 1920 * 1080);
    frames.push_back(std::move(yuy2));
  }
  // Drain what we did not want so the decompressor ends quietly.
  while (std::fread(bgra.data(), 1, bgra.size(), in) > 0) {
  }
  pclose(in);
  return frames;
}

TEST(ReaderRecorded, ScreenContentDecodesExactly) {
  const std::vector<Bytes> pictures = screenFrames(7);
  ASSERT_EQ(pictures.size(), 7u) << "cannot unpack " << QV_SCREEN_FRAMES_ZST
                                 << " (is zstd installed?)";
  ScratchDir dir;
  QvfWriter w(3, 1920, 1080);
  const std::vector<Bytes> slots = writeRecording(w, 3, pictures, {pcm(0, 44100)}, {0, 0, 1});
  const std::string path = dir.file("screen.qvf");
  ASSERT_TRUE(writeFile(path, w.bytes()));
  Handle h = openQvf(path);
  ASSERT_TRUE(h);
  ASSERT_EQ(infoOf(h.get()).n, static_cast<int>(slots.size()));
  Bytes buf(1920 * 1080 * 2);
  for (int f : {0, 1, 2, 3, 4, 5, 6, 7, 7, 5, 2, 0, 6, 3}) {
    table().func_read_video(h.get(), f, buf.data());
    ASSERT_TRUE(buf == slots[f]) << "frame " << f;
  }
}
#endif

// A file recorded by the capture library: whatever it holds, every jump shows what reading
// in order shows, key frames are where decoding can start, and all of its sound reads back.
TEST(ReaderRecorded, RecordingFromTheCaptureLibraryIsConsistent) {
  const char* path = std::getenv("QV_RECORDED_QVF");
  if (!path || !*path) GTEST_SKIP() << "QV_RECORDED_QVF not set";
  Handle h = openQvf(path);
  ASSERT_TRUE(h) << path;
  INPUT_INFO info = infoOf(h.get());
  ASSERT_GT(info.n, 0);
  EXPECT_TRUE(info.flag & INPUT_INFO_FLAG_VIDEO);
  EXPECT_TRUE(table().func_is_keyframe(h.get(), 0));
  const size_t bytes = static_cast<size_t>(info.format->biWidth) * info.format->biHeight * 2;
  std::vector<Bytes> inOrder;
  for (int f = 0; f < info.n; ++f) {
    Bytes buf(bytes);
    table().func_read_video(h.get(), f, buf.data());
    inOrder.push_back(std::move(buf));
  }
  std::mt19937 rng(1);
  for (int k = 0; k < std::min(info.n, 200); ++k) {
    const int f = static_cast<int>(rng() % info.n);
    Bytes buf(bytes);
    table().func_read_video(h.get(), f, buf.data());
    ASSERT_TRUE(buf == inOrder[f]) << "frame " << f;
  }
  if (info.audio_n > 0) {
    EXPECT_EQ(info.audio_format->nBlockAlign, 4);
    Bytes buf(1470 * 4);
    int64_t total = 0;
    for (int s = 0; s < info.audio_n; s += 1470) {
      total += table().func_read_audio(h.get(), s, 1470, buf.data());
    }
    EXPECT_EQ(total, info.audio_n);
  }
}

}  // namespace
}  // namespace qv_test
