// The index record at the end of a finished file, a file still being written, and handles that
// share one file's index.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <thread>

#include "container_reader.h"
#include "reader_test_support.h"

namespace qv_test {
namespace {

constexpr uint64_t kFrameBytes = Recording::kFrameBytes;

// Every picture and the whole sound, through the editor's table.
void expectReadsAs(const std::string& path, const std::vector<Bytes>& slots, const Bytes& audio) {
  Handle h = openQvf(path);
  ASSERT_TRUE(h);
  const INPUT_INFO info = infoOf(h.get());
  ASSERT_EQ(static_cast<size_t>(info.n), slots.size());
  Bytes picture(kFrameBytes);
  for (size_t i = 0; i < slots.size(); ++i) {
    table().func_read_video(h.get(), static_cast<int>(i), picture.data());
    EXPECT_EQ(picture, slots[i]) << "frame " << i;
  }
  const int samples = static_cast<int>(audio.size() / 4);
  ASSERT_EQ(info.audio_n, samples);
  Bytes sound(audio.size());
  EXPECT_EQ(table().func_read_audio(h.get(), 0, samples, sound.data()), samples);
  EXPECT_EQ(sound, audio);
}

bool usesIndexRecord(const std::string& path) {
  qv_reader::ContainerReader r;
  return r.open(path.c_str()) && r.recordIndex()->fromIndexRecord;
}

// The index record's payload checksum brought up to date after a deliberate change.
void rechecksum(Bytes& file) {
  const size_t start =
      static_cast<size_t>(qvf::index_detail::getU64(file.data() + file.size() - 24));
  const size_t payload = start + qvf::kRecordHeaderSize;
  const uint32_t crc = qvf::indexChecksum(file.data() + payload, file.size() - 8 - payload);
  for (int i = 0; i < 4; ++i) file[file.size() - 8 + i] = static_cast<uint8_t>(crc >> (8 * i));
}

// The checksum is CRC-32: files written by any build must check under any other, whatever
// the length and however the bytes lie in memory.
TEST(ReaderIndex, ChecksumIsCrc32AtAnyLengthAndAlignment) {
  const char* check = "123456789";
  EXPECT_EQ(qvf::indexChecksum(reinterpret_cast<const uint8_t*>(check), 9), 0xCBF43926u);
  Bytes data(300);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 131 + 7);
  for (size_t start = 0; start < 9; ++start) {
    for (size_t size : {0, 1, 7, 8, 9, 15, 16, 17, 290}) {
      uint32_t crc = 0xFFFFFFFFu;  // a bit at a time
      for (size_t i = start; i < start + size; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k) crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
      }
      EXPECT_EQ(qvf::indexChecksum(data.data() + start, size), crc ^ 0xFFFFFFFFu)
          << start << " " << size;
    }
  }
}

TEST(ReaderIndex, IndexedFileReadsAsItsWalkWithAFewReads) {
  ScratchDir dir;
  const Recording walked = makeRecording(dir, "walked.qvf");
  const Recording indexed = makeRecording(dir, "indexed.qvf", true);
  qv_reader::ContainerReader a, b;
  ASSERT_TRUE(a.open(walked.path.c_str()));
  ASSERT_TRUE(b.open(indexed.path.c_str()));
  EXPECT_FALSE(a.recordIndex()->fromIndexRecord);
  EXPECT_TRUE(b.recordIndex()->fromIndexRecord);
  ASSERT_EQ(a.videoIndex().size(), b.videoIndex().size());
  for (size_t i = 0; i < a.videoIndex().size(); ++i) {
    EXPECT_EQ(a.videoIndex()[i].payloadPosition, b.videoIndex()[i].payloadPosition);
    EXPECT_EQ(a.videoIndex()[i].payloadSize, b.videoIndex()[i].payloadSize);
    EXPECT_EQ(a.videoIndex()[i].type, b.videoIndex()[i].type);
  }
  ASSERT_EQ(a.audioIndex().size(), b.audioIndex().size());
  for (size_t i = 0; i < a.audioIndex().size(); ++i) {
    EXPECT_EQ(a.audioIndex()[i].payloadPosition, b.audioIndex()[i].payloadPosition);
    EXPECT_EQ(a.audioIndex()[i].firstByte, b.audioIndex()[i].firstByte);
  }
  // Header, trailer and the index record: nothing in between.
  const uint64_t fileSize = std::filesystem::file_size(indexed.path);
  const uint64_t indexStart =
      b.videoIndex().back().payloadPosition + b.videoIndex().back().payloadSize;
  EXPECT_EQ(b.recordIndex()->bytesRead,
            qvf::kFileHeaderSize + qvf::kIndexTrailerSize + (fileSize - indexStart));
  EXPECT_EQ(b.recordIndex()->reads, 3u);
  expectReadsAs(indexed.path, indexed.slots, indexed.audio);
}

// Whatever is wrong with the index, the file opens by walking it, with the same frames.
TEST(ReaderIndex, DamagedStaleOrCutIndexFallsBackToTheWalk) {
  ScratchDir dir;
  const Recording rec = makeRecording(dir, "rec.qvf", true);
  Bytes good;
  {
    std::ifstream in(rec.path, std::ios::binary);
    good.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  const size_t indexStart =
      static_cast<size_t>(qvf::index_detail::getU64(good.data() + good.size() - 24));
  const size_t entries = indexStart + qvf::kRecordHeaderSize + qvf::kIndexPreambleSize + 8 * 4;
  const Bytes later = syntheticPicture(Recording::kWidth, Recording::kHeight, 99);
  struct Case {
    const char* name;
    std::function<void(Bytes&)> change;
    bool grown;
  };
  const std::vector<Case> cases = {
      {"entry changed", [&](Bytes& f) { f[entries + 2] ^= 0x10; }, false},
      {"entry changed, checksum made to match",
       [&](Bytes& f) {
         f[entries + 2] ^= 0x10;
         rechecksum(f);
       },
       false},
      {"count changed, checksum made to match",
       [&](Bytes& f) {
         f[indexStart + qvf::kRecordHeaderSize + 16] -= 1;
         rechecksum(f);
       },
       false},
      {"trailer points elsewhere", [&](Bytes& f) { f[f.size() - 24] ^= 0x08; }, false},
      {"size in trailer wrong", [&](Bytes& f) { f[f.size() - 16] ^= 0x01; }, false},
      {"cut inside the index", [&](Bytes& f) { f.resize(f.size() - 1); }, false},
      {"no index", [&](Bytes& f) { f.resize(indexStart); }, false},
      {"grown after the index",
       [&](Bytes& f) {
         QvfWriter w(Recording::kRate, Recording::kWidth, Recording::kHeight);
         w.key(later);
         f.insert(f.end(), w.bytes().begin() + qvf::kFileHeaderSize, w.bytes().end());
       },
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes f = good;
    c.change(f);
    const std::string path = dir.file(std::string(c.name) + ".qvf");
    ASSERT_TRUE(writeFile(path, f));
    EXPECT_FALSE(usesIndexRecord(path));
    std::vector<Bytes> slots = rec.slots;
    if (c.grown) slots.push_back(later);
    expectReadsAs(path, slots, rec.audio);
  }
}

// A recording being written: each open shows the records complete at that moment, a torn one
// is left out, and a handle already open keeps what it saw while the file grows.
TEST(ReaderIndex, FileBeingWrittenOpensAndGrowsBetweenOpens) {
  ScratchDir dir;
  const Recording rec = makeRecording(dir, "whole.qvf");
  Bytes whole;
  {
    std::ifstream in(rec.path, std::ios::binary);
    whole.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  qv_reader::ContainerReader full;
  ASSERT_TRUE(full.open(rec.path.c_str()));
  const auto& video = full.videoIndex();
  const std::string path = dir.file("growing.qvf");
  std::ofstream out(path, std::ios::binary);
  std::vector<Handle> handles;
  size_t written = 0;
  size_t lastCount = 0;
  // Stops in the middle of record payloads (the last byte of a picture missing) and at ends.
  for (size_t frame : {size_t{4}, size_t{12}, size_t{25}, video.size() - 1}) {
    const size_t end = static_cast<size_t>(video[frame].payloadPosition + video[frame].payloadSize);
    const size_t upTo = end - (frame % 2 ? 0 : 1);
    out.write(reinterpret_cast<const char*>(whole.data() + written),
              static_cast<std::streamsize>(upTo - written));
    out.flush();
    written = upTo;
    const size_t complete = frame % 2 ? frame + 1 : frame;
    handles.push_back(openQvf(path));
    ASSERT_TRUE(handles.back());
    EXPECT_EQ(static_cast<size_t>(infoOf(handles.back().get()).n), complete);
    EXPECT_GT(complete, lastCount);
    lastCount = complete;
  }
  Bytes picture(kFrameBytes);
  EXPECT_EQ(table().func_read_video(handles.front().get(), 2, picture.data()),
            static_cast<int>(kFrameBytes));
  EXPECT_EQ(picture, rec.slots[2]);
  EXPECT_EQ(table().func_read_video(handles.front().get(), 5, picture.data()), 0);
}

// Handles on one file share its index, and read on several threads at once as separate ones
// do (run under ThreadSanitizer too).
TEST(ReaderIndex, HandlesOnOneFileShareItsIndex) {
  ScratchDir dir;
  const Recording rec = makeRecording(dir, "rec.qvf", true);
  const Recording other = makeRecording(dir, "other.qvf", true);
  qv_reader::ContainerReader a, b, c;
  ASSERT_TRUE(a.open(rec.path.c_str()) && b.open(rec.path.c_str()) && c.open(other.path.c_str()));
  EXPECT_EQ(a.recordIndex(), b.recordIndex());
  EXPECT_NE(a.recordIndex(), c.recordIndex());

  constexpr int kHandles = 4;
  std::vector<Handle> handles;
  for (int k = 0; k < kHandles; ++k) handles.push_back(openQvf(rec.path));
  std::vector<std::thread> threads;
  std::vector<int> wrong(kHandles, 0);
  for (int k = 0; k < kHandles; ++k) {
    threads.emplace_back([&, k] {
      Bytes picture(kFrameBytes);
      const size_t n = rec.slots.size();
      for (size_t i = 0; i < n; ++i) {
        const size_t frame = (i * (2 * k + 1) + static_cast<size_t>(k)) % n;
        table().func_read_video(handles[k].get(), static_cast<int>(frame), picture.data());
        if (picture != rec.slots[frame]) ++wrong[k];
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (int k = 0; k < kHandles; ++k) EXPECT_EQ(wrong[k], 0) << "handle " << k;
}

}  // namespace
}  // namespace qv_test
