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

}  // namespace qv_test
