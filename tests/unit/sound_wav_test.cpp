// The WAV writer over chunks placed in the object's list by hand: layout, lengths taken from
// the chunks, replacing files and reporting files that cannot be written.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "capture_state.h"
#include "direct_sound_capture.h"
#include "file_limit.h"

namespace quorvane_capture {
namespace {

uint32_t u32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
uint16_t u16(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}

std::vector<uint8_t> readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), {});
}

bool fileExists(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return file.is_open();
}

std::string tempPath(const char* name) {
  const char* dir = std::getenv("TMPDIR");
#ifdef _WIN32
  if (dir == nullptr) dir = std::getenv("TEMP");
  const std::string base = dir != nullptr ? dir : ".";
  return base + "\\qv_sound_" + name;
#else
  const std::string base = dir != nullptr ? dir : "/tmp";
  return base + "/qv_sound_" + std::to_string(getpid()) + "_" + name;
#endif
}

class SoundWavTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pool_ = new MyMemoryAllocator(1 << 20, 1 << 20);
    capture_ = new DirectSoundCapture();
    capture_->setMyMemoryAllocator(pool_);
  }
  void TearDown() override {
    delete capture_;  // gives the chunks back to the pool
    EXPECT_EQ(pool_->getUsedSize(), 0u);
    delete pool_;
  }

  // Appends a chunk of pool memory holding bytes that count up from `first`.
  void addChunk(uint32_t length, uint8_t first) {
    uint8_t* p = pool_->allocateFromBottom(length);
    ASSERT_NE(p, nullptr);
    for (uint32_t i = 0; i < length; ++i) p[i] = static_cast<uint8_t>(first + i);
    capture_->getDataList()->push_back({p, length});
  }

  MyMemoryAllocator* pool_ = nullptr;
  DirectSoundCapture* capture_ = nullptr;
};

TEST_F(SoundWavTest, HeaderAndChunksInOrder) {
  addChunk(88200, 0);
  addChunk(40000, 7);  // a wrapped transfer gives two regions
  addChunk(48200, 200);
  const std::string path = tempPath("layout.wav");
  ASSERT_EQ(capture_->SaveToWavFile(path.c_str()), WAV_WRITTEN);
  const std::vector<uint8_t> b = readFile(path);
  std::remove(path.c_str());

  const uint32_t data = 88200 + 40000 + 48200;
  ASSERT_EQ(b.size(), 44u + data);
  EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "RIFF");
  EXPECT_EQ(u32(b, 4), data + 36);
  EXPECT_EQ(std::string(b.begin() + 8, b.begin() + 16), "WAVEfmt ");
  EXPECT_EQ(u32(b, 16), 16u);
  EXPECT_EQ(u16(b, 20), 1u);
  EXPECT_EQ(u16(b, 22), 2u);
  EXPECT_EQ(u32(b, 24), 44100u);
  EXPECT_EQ(u32(b, 28), 176400u);
  EXPECT_EQ(u16(b, 32), 4u);
  EXPECT_EQ(u16(b, 34), 16u);
  EXPECT_EQ(std::string(b.begin() + 36, b.begin() + 40), "data");
  EXPECT_EQ(u32(b, 40), data);
  EXPECT_EQ(b[44], 0);
  EXPECT_EQ(b[44 + 88199], static_cast<uint8_t>(88199));
  EXPECT_EQ(b[44 + 88200], 7);
  EXPECT_EQ(b[44 + 88200 + 39999], static_cast<uint8_t>(7 + 39999));
  EXPECT_EQ(b[44 + 128200], 200);
  EXPECT_EQ(b.back(), static_cast<uint8_t>(200 + 48199));
  // Writing leaves the chunks alone: the container gets the same ones.
  EXPECT_EQ(capture_->getDataList()->size(), 3u);
}

TEST_F(SoundWavTest, NoSoundGivesAValidEmptyFileAndReplacesAnOldOne) {
  const std::string path = tempPath("empty.wav");
  {
    std::ofstream old(path, std::ios::binary);
    old << std::string(100000, 'x');
  }
  ASSERT_EQ(capture_->SaveToWavFile(path.c_str()), WAV_WRITTEN);
  const std::vector<uint8_t> b = readFile(path);
  ASSERT_EQ(b.size(), 44u);
  EXPECT_EQ(u32(b, 4), 36u);
  EXPECT_EQ(u32(b, 40), 0u);

  // Written twice, as the host may: same bytes.
  ASSERT_EQ(capture_->SaveToWavFile(path.c_str()), WAV_WRITTEN);
  EXPECT_EQ(readFile(path), b);
  std::remove(path.c_str());
}

TEST_F(SoundWavTest, UnwritablePathsAreReportedAndLeaveNoFile) {
  addChunk(1000, 1);
  const std::string missingDir = tempPath("no_such_dir") + "/sub/out.wav";
  EXPECT_EQ(capture_->SaveToWavFile(missingDir.c_str()), WAV_CANNOT_OPEN);
  EXPECT_FALSE(fileExists(missingDir));
  EXPECT_EQ(capture_->SaveToWavFile(""), WAV_CANNOT_OPEN);
  EXPECT_EQ(capture_->SaveToWavFile(nullptr), WAV_CANNOT_OPEN);
#ifndef _WIN32
  // A full disk: every write fails.
  EXPECT_EQ(capture_->SaveToWavFile("/dev/full"), WAV_WRITE_FAILED);
#endif
}

#ifndef _WIN32
// A write that fails half-way leaves the path as it was: an old file stays whole, no short file
// appears, and nothing is left beside it.
TEST_F(SoundWavTest, AFailedWriteLeavesThePathAsItWas) {
  addChunk(50000, 1);
  const std::string path = tempPath("interrupted.wav");
  const std::string fresh = tempPath("interrupted-fresh.wav");
  std::ofstream(path) << "an earlier take";
  {
    qvtest::FileSizeLimit limit(20000);
    EXPECT_EQ(capture_->SaveToWavFile(path.c_str()), WAV_WRITE_FAILED);
    EXPECT_EQ(capture_->SaveToWavFile(fresh.c_str()), WAV_WRITE_FAILED);
  }
  const std::vector<uint8_t> kept = readFile(path);
  EXPECT_EQ(std::string(kept.begin(), kept.end()), "an earlier take");
  EXPECT_FALSE(fileExists(fresh));
  EXPECT_FALSE(fileExists(path + ".part"));
  EXPECT_FALSE(fileExists(fresh + ".part"));
  ASSERT_EQ(capture_->SaveToWavFile(path.c_str()), WAV_WRITTEN);
  EXPECT_EQ(readFile(path).size(), 44u + 50000u);
  std::remove(path.c_str());
}
#endif

TEST(SoundOutputThread, RefusesWithoutARecording) {
  ASSERT_FALSE(isInitialized());
  const std::string path = tempPath("uninitialised.wav");
  EXPECT_EQ(AudioOutputThread(const_cast<char*>(path.c_str())), 3u);
  EXPECT_FALSE(fileExists(path));
  EXPECT_EQ(AudioCaptureThread(nullptr), 0u);
}

}  // namespace
}  // namespace quorvane_capture
