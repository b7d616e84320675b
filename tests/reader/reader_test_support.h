// Shared pieces of the reader's tests: a scratch directory and the plug-in table as the editor
// uses it.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "editor_input.h"
#include "qvf_test_writer.h"

namespace qv_test {

class ScratchDir {
 public:
  ScratchDir() {
    static std::atomic<int> counter{0};
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = "qv-reader-";
    name += info ? info->name() : "test";
    name += "-" + std::to_string(counter++) + "-" + std::to_string(std::random_device{}());
    path_ = std::filesystem::temp_directory_path() / name;
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

inline INPUT_PLUGIN_TABLE& table() { return *GetInputPluginTable(); }

struct HandleCloser {
  void operator()(void* h) const { table().func_close(h); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

inline Handle openQvf(const std::string& path) {
  return Handle(table().func_open(const_cast<char*>(path.c_str())));
}

inline INPUT_INFO infoOf(void* h) {
  INPUT_INFO info = {};
  EXPECT_TRUE(table().func_info_get(h, &info));
  return info;
}

// A small recording laid out as the capture library writes it: 35 captured pictures (keys at
// 0, 10, 20, 30), dropped slots filled with repeats, and three sound chunks of different sizes.
struct Recording {
  static constexpr uint64_t kRate = 10, kWidth = 64, kHeight = 36;
  static constexpr uint64_t kFrameBytes = kWidth * kHeight * 2;
  std::string path;
  std::vector<Bytes> slots;     // the picture of every video record
  Bytes audio;                  // the whole sound
  std::vector<uint64_t> types;  // the record type of every video record
};

inline Recording makeRecording(const ScratchDir& dir, const std::string& name = "rec.qvf",
                               bool indexed = false) {
  const uint64_t rate = Recording::kRate;
  std::vector<Bytes> pictures;
  for (int i = 0; i < 35; ++i) {
    pictures.push_back(syntheticPicture(Recording::kWidth, Recording::kHeight, i));
  }
  std::vector<int> repeats(35, 0);
  repeats[3] = 1;
  repeats[11] = 2;
  repeats[20] = 1;  // before a key: the key still follows the repeat
  std::vector<Bytes> chunks = {pcm(0, 1000), pcm(1000, 17), pcm(1017, 2500)};
  QvfWriter w(rate, Recording::kWidth, Recording::kHeight);
  Recording rec;
  rec.slots = writeRecording(w, rate, pictures, chunks, repeats);
  for (auto& c : chunks) rec.audio.insert(rec.audio.end(), c.begin(), c.end());
  for (size_t i = 0; i < pictures.size(); ++i) {
    for (int r = 0; r < repeats[i]; ++r) rec.types.push_back(qvf::RECORD_REPEAT);
    rec.types.push_back(i % rate == 0 ? qvf::RECORD_KEY : qvf::RECORD_DELTA);
  }
  if (indexed) w.index();
  rec.path = dir.file(name);
  EXPECT_TRUE(writeFile(rec.path, w.bytes()));
  return rec;
}

}  // namespace qv_test
