// The container writer on frame lists built by hand: the slot rule, the key rule, frames left
// in every state, failed writes followed by a good one, and repeated runs.
#include <gtest/gtest.h>
#include <snappy.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "capture_state.h"
#include "file_limit.h"
#include "frame_stages.h"
#include "kernels.h"
#include "pipeline.h"
#include "qvf.h"
#include "qvf_decode.h"
#include "reference.h"
#include "stream_output.h"

namespace {

using namespace quorvane_capture;
using Bytes = std::vector<uint8_t>;

// A picture that differs in every frame but compresses, at capture size.
Bytes rgbPicture(int64_t width, int64_t height, int n) {
  Bytes p(static_cast<size_t>(width * height * 4));
  for (int64_t y = 0; y < height; ++y) {
    for (int64_t x = 0; x < width; ++x) {
      uint8_t* px = &p[static_cast<size_t>((y * width + x) * 4)];
      px[0] = static_cast<uint8_t>(x * 16 + n * 3);
      px[1] = static_cast<uint8_t>(y * 40 + n * 7);
      px[2] = static_cast<uint8_t>((x ^ y) * 20 + n * 11);
      px[3] = 0;
    }
  }
  return p;
}

std::string tempPath(const std::string& name) {
#ifdef _WIN32
  return name + ".qvf";
#else
  return "/tmp/qv-pipeline-unit-" + std::to_string(getpid()) + "-" + name + ".qvf";
#endif
}

class OutputFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = captureSetting;
    savedFps_ = captureSettingInternal.fps;
    setSizes(16, 4, 16, 4, 10);
  }
  void TearDown() override {
    frameList.clear();
    captureSetting = saved_;
    captureSettingInternal.fps = savedFps_;
    for (const std::string& p : paths_) std::remove(p.c_str());
  }

  void setSizes(int64_t cw, int64_t ch, int64_t ow, int64_t oh, int64_t rate) {
    captureSetting.captureWidth = cw;
    captureSetting.captureHeight = ch;
    captureSetting.outputWidth = ow;
    captureSetting.outputHeight = oh;
    captureSetting.frameRate = rate;
    captureSettingInternal.fps = static_cast<int32_t>(rate);
  }

  // The YUY2 picture the pipeline makes of capture picture n.
  Bytes expectedYuy2(int n) {
    const CaptureSetting& s = captureSetting;
    Bytes rgb = rgbPicture(s.captureWidth, s.captureHeight, n);
    if (s.outputWidth != s.captureWidth || s.outputHeight != s.captureHeight) {
      Bytes scaled(static_cast<size_t>(s.outputWidth * s.outputHeight * 4));
      reference::zoomOutHeikin32(scaled.data(), s.outputWidth, s.outputHeight, rgb.data(),
                                 s.captureWidth, s.captureHeight);
      rgb = scaled;
    }
    Bytes yuy2(static_cast<size_t>(s.outputWidth * s.outputHeight * 2));
    reference::rgb32ToYUY2(yuy2.data(), rgb.data(), s.outputWidth, s.outputHeight,
                           reference::SumOrder::kSse2);
    return yuy2;
  }

  // Appends captured frames with the given time stamps; picture i is rgbPicture(i).
  void addCapturedFrames(const std::vector<int32_t>& stamps) {
    for (int32_t stamp : stamps) {
      const int n = static_cast<int>(frameList.size());
      pictures_.push_back(rgbPicture(captureSetting.captureWidth, captureSetting.captureHeight, n));
      frameList.push_back(frame{stamp, pictures_.back().data(), nullptr, 0, FRAME_CAPTURED});
    }
  }

  std::string write(const std::string& name, uint64_t* result) {
    const std::string path = tempPath(name);
    paths_.push_back(path);
    *result = writeOutputFile(path.c_str());
    return path;
  }

  qvtest::QvfFile read(const std::string& path) {
    qvtest::QvfFile file;
    std::string error;
    EXPECT_TRUE(qvtest::readQvf(path, &file, &error)) << error;
    return file;
  }

  // The file ends in an index that lists every record before it, as a walk finds them.
  void expectIndexed(const qvtest::QvfFile& file) {
    std::string error;
    EXPECT_TRUE(qvtest::indexMatchesWalk(file, &error)) << error;
  }

  void expectPictures(const qvtest::QvfFile& file, const std::vector<int>& frameOfRecord) {
    std::vector<Bytes> decoded;
    std::string error;
    ASSERT_TRUE(qvtest::decodePictures(file, &decoded, &error)) << error;
    ASSERT_EQ(decoded.size(), frameOfRecord.size());
    for (size_t k = 0; k < decoded.size(); ++k) {
      EXPECT_EQ(decoded[k], expectedYuy2(frameOfRecord[k])) << "video record " << k;
    }
  }

  // Encodes frames below `encoded` and compresses those below `compressed` as the recording
  // threads do; returns the compressed pieces the records point to.
  std::vector<Bytes> finishByHand(int encoded, int compressed) {
    const int64_t w = captureSetting.outputWidth, h = captureSetting.outputHeight;
    const size_t yuy2Bytes = static_cast<size_t>(w * h * 2);
    std::vector<Bytes> pieces(frameList.size());
    for (int i = 0; i < encoded; ++i) {
      frame& f = frameList[static_cast<size_t>(i)];
      RGB32ToYUY2(f.buffer, f.buffer, w, h);
      f.status = FRAME_ENCODED;
    }
    const PictureGeometry g = pictureGeometry();
    Bytes scratch(kDifferenceScratchBytes);
    for (int i = 0; i < compressed; ++i) {
      frame& f = frameList[static_cast<size_t>(i)];
      const bool key = i % captureSettingInternal.fps == 0;
      pieces[i].resize(snappy::MaxCompressedLength(yuy2Bytes));
      f.compressedSize = compressPicture(g, key, f.buffer, key ? nullptr : frameList[i - 1].buffer,
                                         scratch.data(), pieces[i].data());
      f.compressedBuffer = pieces[i].data();
      f.status = key ? FRAME_KEY : FRAME_DELTA;
      if (i > 0) {
        // A freed picture: anything reading it would see this poison.
        std::fill(pictures_[i - 1].begin(), pictures_[i - 1].end(), 0xEE);
        frameList[i - 1].buffer = nullptr;
      }
    }
    return pieces;
  }

  std::vector<Bytes> pictures_;  // each picture's bytes stay put when more are added
  std::vector<std::string> paths_;
  CaptureSetting saved_{};
  int32_t savedFps_ = 0;
};

TEST_F(OutputFileTest, EmptyListWritesNothing) {
  setProgress(0.25);
  uint64_t result = 1;
  const std::string path = write("empty", &result);
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(std::fopen(path.c_str(), "rb"), nullptr);
  EXPECT_EQ(getProgress(), 0.25);
}

TEST_F(OutputFileTest, OneFrameIsHeaderAndOneKeyRecord) {
  addCapturedFrames({5000});
  uint64_t result = 0;
  const qvtest::QvfFile file = read(write("one", &result));
  EXPECT_EQ(result, 1u);
  EXPECT_EQ(file.headerSize, 64u);
  EXPECT_EQ(file.frameRate, 10u);
  EXPECT_EQ(file.width, 16u);
  EXPECT_EQ(file.height, 4u);
  EXPECT_EQ(file.codecTag, "Snappy  ");
  EXPECT_EQ(qvtest::readU64(file.bytes, 32), 0x2020797070616E53ULL);
  EXPECT_EQ(file.audioChannels, 2u);
  EXPECT_EQ(file.audioBitsPerSample, 16u);
  EXPECT_EQ(file.audioSampleRate, 44100u);
  ASSERT_EQ(file.records.size(), 2u);  // the picture, then the index of the file
  EXPECT_EQ(file.records[0].offset, 64u);
  EXPECT_EQ(file.videoPattern(), "K");
  expectIndexed(file);
  expectPictures(file, {0});
  EXPECT_EQ(getProgress(), 1.0);
}

// 10 fps: one slot is 100 ms. Frames place themselves by their time stamps.
TEST_F(OutputFileTest, RepeatRecordsFillOnlyMissedSlots) {
  struct Case {
    const char* name;
    std::vector<int32_t> stamps;
    std::string pattern;
  };
  const std::vector<Case> cases = {
      {"exact", {1000, 1100, 1200, 1300}, "KDDD"},
      // 3.5 periods after a frame written in its own slot: two repeats; 1.9 periods: none.
      {"three-and-a-half", {1000, 1350, 1450}, "KRRDD"},
      {"one-point-nine", {1000, 1190, 1290}, "KDD"},
      // 2.5 periods after the start of the current slot: two repeats.
      {"two-and-a-half", {1000, 1100, 1450}, "KDRRD"},
      // Frames captured early still get a slot each; the later gap is measured from there.
      {"early", {1000, 1010, 1020, 1300}, "KDDD"},
      {"early-then-late", {1000, 1010, 1500}, "KDRRRD"},
      // A whole second lost at once.
      {"second", {1000, 1100, 2150}, "KDRRRRRRRRRD"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    frameList.clear();
    pictures_.clear();
    addCapturedFrames(c.stamps);
    uint64_t result = 0;
    const qvtest::QvfFile file = read(write(c.name, &result));
    EXPECT_EQ(file.videoPattern(), c.pattern);
    EXPECT_EQ(result, c.pattern.size());
    std::vector<int> shown;
    int n = -1;
    for (char r : c.pattern) shown.push_back(r == 'R' ? n : ++n);
    expectPictures(file, shown);
    EXPECT_EQ(getProgress(), 1.0);
  }
}

TEST_F(OutputFileTest, KeyRecordsFallOnEveryFrameRateThCapturedFrame) {
  setSizes(16, 4, 16, 4, 3);
  // 3 fps: 333.3 ms slots. Gaps shift the slots but not which captured frames are keys.
  addCapturedFrames({0, 333, 1400, 1733, 2066, 2400, 3800, 4133});
  uint64_t result = 0;
  const qvtest::QvfFile file = read(write("keys", &result));
  EXPECT_EQ(file.videoPattern(), "KDRRDKDDRRRKD");
  EXPECT_EQ(result, 13u);
  expectPictures(file, {0, 1, 1, 1, 2, 3, 4, 5, 5, 5, 5, 6, 7});
}

TEST_F(OutputFileTest, UnfinishedFramesGiveTheSameFileAsFinishedOnes) {
  const int count = 25;  // keys at 0, 10, 20
  std::vector<int32_t> stamps;
  for (int i = 0; i < count; ++i) stamps.push_back(1000 + i * 100 + (i == 12 ? 250 : 0));

  // Reference: every frame captured, the writer finishes them all.
  addCapturedFrames(stamps);
  uint64_t allCaptured = 0;
  const std::string referencePath = write("reference", &allCaptured);
  Bytes reference;
  ASSERT_TRUE(qvtest::readFileBytes(referencePath, &reference));

  // Frames 0..13 compressed as the compress thread does, 14..19 encoded, 20..24 captured.
  frameList.clear();
  pictures_.clear();
  addCapturedFrames(stamps);
  std::vector<Bytes> compressed = finishByHand(20, 14);
  uint64_t mixed = 0;
  const std::string mixedPath = write("mixed", &mixed);
  Bytes first;
  ASSERT_TRUE(qvtest::readFileBytes(mixedPath, &first));
  EXPECT_EQ(mixed, allCaptured);
  EXPECT_EQ(mixed, 27u);  // frame 12 comes 3.5 slots after frame 11: two repeats
  EXPECT_TRUE(first == reference) << "a stopped pipeline must give the same file";

  // The frames the writer finished are encoded now, the others untouched.
  for (int i = 0; i < count; ++i) {
    const frame& f = frameList[static_cast<size_t>(i)];
    if (i < 14) {
      EXPECT_EQ(f.status, i % 10 == 0 ? FRAME_KEY : FRAME_DELTA) << i;
      EXPECT_EQ(f.compressedBuffer, compressed[i].data()) << i;
    } else {
      EXPECT_EQ(f.status, FRAME_ENCODED) << i;
      EXPECT_EQ(f.compressedBuffer, nullptr) << i;
    }
  }

  // A second run reads the same frames the same way.
  uint64_t again = 0;
  Bytes second;
  ASSERT_TRUE(qvtest::readFileBytes(write("again", &again), &second));
  EXPECT_EQ(again, mixed);
  EXPECT_TRUE(second == first) << "a second run must write the same bytes";
}

TEST_F(OutputFileTest, DownscaledCapturedFrames) {
  setSizes(24, 6, 10, 4, 10);
  addCapturedFrames({0, 100, 200, 300});
  uint64_t result = 0;
  const std::string path = write("scaled", &result);
  const qvtest::QvfFile file = read(path);
  EXPECT_EQ(result, 4u);
  EXPECT_EQ(file.width, 10u);
  EXPECT_EQ(file.height, 4u);
  expectPictures(file, {0, 1, 2, 3});
  // The YUY2 picture now sits at the start of each frame's capture-size range.
  EXPECT_EQ(Bytes(frameList[3].buffer, frameList[3].buffer + 10 * 4 * 2), expectedYuy2(3));
  uint64_t again = 0;
  Bytes first, second;
  ASSERT_TRUE(qvtest::readFileBytes(path, &first));
  ASSERT_TRUE(qvtest::readFileBytes(write("scaled-again", &again), &second));
  EXPECT_TRUE(first == second);
}

TEST_F(OutputFileTest, FailedWritesReportZeroAndLoseNothing) {
  addCapturedFrames({0, 100, 300, 400});
  std::vector<std::string> badPaths = {tempPath("no-such-dir/x")};
#ifndef _WIN32
  badPaths.push_back("/dev/full");  // opens, but every flushed byte fails: a full disk
#endif
  for (const std::string& bad : badPaths) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(writeOutputFile(bad.c_str()), 0u);
  }
  EXPECT_EQ(writeOutputFile(nullptr), 0u);
#ifndef _WIN32
  {
    // A disk that fills half-way: the path keeps what it held, no short recording appears.
    const std::string kept = tempPath("kept");
    const std::string fresh = tempPath("fresh");
    paths_.push_back(kept);
    std::FILE* old = std::fopen(kept.c_str(), "wb");
    std::fputs("an earlier take", old);
    std::fclose(old);
    qvtest::FileSizeLimit limit(100);
    EXPECT_EQ(writeOutputFile(kept.c_str()), 0u);
    EXPECT_EQ(writeOutputFile(fresh.c_str()), 0u);
    Bytes bytes;
    ASSERT_TRUE(qvtest::readFileBytes(kept, &bytes));
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "an earlier take");
    EXPECT_FALSE(qvtest::readFileBytes(fresh, &bytes));
    EXPECT_FALSE(qvtest::readFileBytes(fresh + ".part", &bytes));
  }
#endif
  uint64_t result = 0;
  const qvtest::QvfFile file = read(write("after-failures", &result));
  EXPECT_EQ(result, 5u);
  EXPECT_EQ(file.videoPattern(), "KDRDD");
  expectPictures(file, {0, 1, 1, 2, 3});
}

}  // namespace

namespace {

// The streaming writer, given the same frames, writes exactly the file the output thread
// writes: frames the compress thread finished while it ran, and after the stop the frames the
// recording threads left. Each written piece is given up.
TEST_F(OutputFileTest, StreamedFileEqualsTheOneWrittenAfterTheRecording) {
  std::vector<int32_t> stamps;
  for (int i = 0; i < 25; ++i) stamps.push_back(1000 + i * 100 + (i == 12 ? 250 : 0));
  addCapturedFrames(stamps);
  uint64_t expected = 0;
  Bytes reference;
  ASSERT_TRUE(qvtest::readFileBytes(write("reference", &expected), &reference));

  frameList.clear();
  pictures_.clear();
  addCapturedFrames(stamps);
  const std::vector<Bytes> pieces = finishByHand(20, 14);
  resetRecordingState();
  const std::string path = tempPath("streamed");
  paths_.push_back(path);
  uint64_t result = 0;
  std::thread writer([&] { result = streamRecording(path.c_str(), nullptr); });
  // Within the durability period the finished frames are in the file, before the stop.
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  Bytes early;
  ASSERT_TRUE(qvtest::readFileBytes(path, &early));
  EXPECT_GT(early.size(), 64u + 14 * 24u);
  setTerminated(1);
  writer.join();
  setTerminated(0);

  Bytes streamed;
  ASSERT_TRUE(qvtest::readFileBytes(path, &streamed));
  EXPECT_EQ(result, expected);
  EXPECT_TRUE(streamed == reference);
  ASSERT_LE(early.size(), streamed.size());
  EXPECT_TRUE(std::equal(early.begin(), early.end(), streamed.begin())) << "the file only grows";
  expectIndexed(read(path));
  for (size_t i = 0; i < frameList.size(); ++i) EXPECT_EQ(frameList[i].compressedBuffer, nullptr);
  EXPECT_EQ(writeOutputFile(tempPath("after").c_str()), QV_OUTPUT_ALREADY_WRITTEN);
  resetRecordingState();
}

// Asked for, the record of how the file was made comes right after the header and holds the
// settings in use; every other byte is the same as without it, and without the request (and
// without pauses) nothing of it is written.
TEST_F(OutputFileTest, RecordOfHowTheFileWasMadeOnlyWhenAskedAndChangesNothingElse) {
  setSizes(16, 4, 8, 2, 10);
  captureSetting.colorMatrix = 2;
  captureSetting.fullRange = 1;
  addCapturedFrames({0, 100, 350});
  uint64_t result = 0;
  const qvtest::QvfFile plain = read(write("plain", &result));
  ASSERT_EQ(plain.records.size(), 5u);
  EXPECT_EQ(plain.records[0].type, qvtest::kQvfKey);

  setWriteProvenance(1);
  const qvtest::QvfFile made = read(write("made", &result));
  setWriteProvenance(0);
  ASSERT_EQ(made.records.size(), 6u);
  const qvtest::QvfRecord& record = made.records[0];
  EXPECT_EQ(record.offset, 64u);
  EXPECT_EQ(record.type, qvf::RECORD_PROVENANCE);
  expectIndexed(made);
  // The index differs by the record it lists; the pictures and repeats do not.
  const size_t rest = static_cast<size_t>(record.payloadOffset + record.payloadSize);
  const auto indexAt = [](const qvtest::QvfFile& f) {
    return f.bytes.begin() + static_cast<long>(f.records.back().offset);
  };
  EXPECT_TRUE(Bytes(made.bytes.begin() + static_cast<long>(rest), indexAt(made)) ==
              Bytes(plain.bytes.begin() + 64, indexAt(plain)));
  EXPECT_EQ(result, 4u);

  const qvtest::QvfProvenance p = qvtest::parseProvenance(made.bytes, record);
  EXPECT_EQ(p.version, qvf::kProvenanceVersion);
  EXPECT_EQ(p.value(qvf::PROVENANCE_COLOR_MATRIX, 0, 4), 709u);
  EXPECT_EQ(p.value(qvf::PROVENANCE_COLOR_RANGE, 0, 4), 1u);
  EXPECT_EQ(p.value(qvf::PROVENANCE_CAPTURE_SIZE, 0, 4), 16u);
  EXPECT_EQ(p.value(qvf::PROVENANCE_CAPTURE_SIZE, 4, 4), 4u);
  EXPECT_EQ(p.value(qvf::PROVENANCE_OUTPUT_SIZE, 0, 4), 8u);
  EXPECT_EQ(p.value(qvf::PROVENANCE_OUTPUT_SIZE, 4, 4), 2u);
  EXPECT_EQ(p.text(qvf::PROVENANCE_LIBRARY_VERSION).rfind("quorvane_capture ", 0), 0u);
#ifdef _WIN32
  EXPECT_EQ(p.text(qvf::PROVENANCE_SCREEN_PATH), "gdi");
#else
  EXPECT_EQ(p.text(qvf::PROVENANCE_SCREEN_PATH), "x11");
#endif
  EXPECT_FALSE(p.text(qvf::PROVENANCE_SOUND_SOURCE).empty());
  EXPECT_EQ(p.value(qvf::PROVENANCE_PAUSES, 0, 4), 0u);

  const qvtest::QvfFile again = read(write("again", &result));
  EXPECT_TRUE(again.bytes == plain.bytes) << "the request was withdrawn";
}

// The difference is compressed piece by piece: where every piece compresses, the output is
// Snappy's output for the whole difference; noise is stored as one literal per piece; either
// way Snappy's own decoder gives the difference back. Pictures of several pieces with a short
// last one.
TEST(CompressPictureTest, DifferenceIsSnappysOutputOrLiteralPiecesOfIt) {
  for (const bool allNoise : {false, true}) {
    for (const int64_t width : {int64_t{2}, int64_t{1000}, int64_t{1920}}) {
      SCOPED_TRACE(std::to_string(width) + (allNoise ? " wide, noise" : " wide"));
      PictureGeometry g;
      g.outputWidth = width;
      g.outputHeight = width == 2 ? 1 : 70;
      g.yuy2Bytes = static_cast<uint64_t>(g.outputWidth * g.outputHeight * 2);
      g.compressedCapacity = snappy::MaxCompressedLength(static_cast<size_t>(g.yuy2Bytes));
      const size_t bytes = static_cast<size_t>(g.yuy2Bytes);
      Bytes previous(bytes), picture(bytes);
      uint32_t noise = 12345;
      for (size_t i = 0; i < bytes; ++i) {
        previous[i] = static_cast<uint8_t>(i * 7 + i / 4096);
        noise = noise * 1103515245u + 12345u;
        // Runs unchanged, runs shifted and a noisy stretch across a piece boundary.
        const bool noisy = allNoise || (i >= 60000 && i < 70000);
        picture[i] = noisy ? static_cast<uint8_t>(noise >> 16)
                           : static_cast<uint8_t>(previous[i] + ((i / 20000) % 2 ? 3 : 0));
      }
      Bytes whole(bytes);
      CalcDeltaFrame_SSE2(whole.data(), picture.data(), previous.data(), g.outputWidth,
                          g.outputHeight);
      Bytes piece(kDifferenceScratchBytes), out(static_cast<size_t>(g.compressedCapacity));
      const size_t length =
          compressPicture(g, false, picture.data(), previous.data(), piece.data(), out.data());
      out.resize(length);
      Bytes decoded(bytes);
      ASSERT_TRUE(snappy::RawUncompress(reinterpret_cast<const char*>(out.data()), length,
                                        reinterpret_cast<char*>(decoded.data())));
      EXPECT_TRUE(decoded == whole);
      if (allNoise) {
        const size_t pieces = (bytes + qvf::kSnappyPieceBytes - 1) / qvf::kSnappyPieceBytes;
        const size_t varint = bytes < 0x80 ? 1 : bytes < 0x4000 ? 2 : 3;
        const size_t tag = bytes < 61 ? 1 : bytes <= 256 ? 2 : 3;
        EXPECT_EQ(length, varint + bytes + (pieces == 1 ? tag : 3 * pieces)) << "literals";
      } else {
        Bytes expected(static_cast<size_t>(g.compressedCapacity));
        size_t expectedLength = 0;
        snappy::RawCompress(reinterpret_cast<const char*>(whole.data()), bytes,
                            reinterpret_cast<char*>(expected.data()), &expectedLength);
        expected.resize(expectedLength);
        EXPECT_TRUE(out == expected) << length << " vs " << expectedLength;
      }
    }
  }
}

}  // namespace
