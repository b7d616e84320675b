// The session runner both hosts drive, on a real X server: the whole screen at 10 fps, no sound.
// It must end a recording on the duration and on a stop asked from another thread, and a write
// from memory that failed must leave the recording for a second write to another path.
#include "session_runner.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "quorvane_capture.h"
#include "x_test_windows.h"

namespace {

class SessionRunnerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(qvtest::sharedXvfb().running());
    ASSERT_GT(createWindowList(), 0u);
    CaptureSetting s{};
    s.frameRate = 10;
    s.targetWindow = getWindowList(0)->hwnd;  // the whole screen
    s.outputWidth = 320;
    s.outputHeight = 180;
    s.memorySize = 64ull << 20;
    s.affinityMask = getAffinityMask();
    s.useAVX = 1;
    setSoundSource(QV_SOURCE_NONE);
    Initialize(&s);
    ASSERT_EQ(getInitializeStatus(), QV_INIT_OK);
    dir_ = ::testing::TempDir();
  }
  void TearDown() override {
    Finalize();
    setSoundSource(QV_SOURCE_CAPTURE_DEVICE);
  }
  std::string dir_;
};

TEST_F(SessionRunnerTest, InMemoryWriteThatFailedIsWrittenAgainToAnotherPath) {
  qvtools::RunOptions options;
  options.streaming = false;
  options.sound = false;
  options.qvfPath = "/nonexistent-folder/runner.qvf";
  options.duration = 1.0;
  qvtools::SessionRunner runner(options);
  runner.start();
  int looks = 0;
  runner.record([&looks](const qvtools::LiveState&) { ++looks; });
  const qvtools::RunResult& first = runner.finish(nullptr);
  EXPECT_EQ(first.stopCause, qvtools::StopCause::kDuration);
  EXPECT_GE(first.recordedSeconds, 1.0);
  EXPECT_GT(looks, 5);
  ASSERT_GT(first.captured, 0u);
  EXPECT_FALSE(first.streamed);
  EXPECT_FALSE(first.videoWritten());
  EXPECT_FALSE(first.complete());

  const std::string again = dir_ + "/runner-again.qvf";
  std::remove(again.c_str());
  double lastProgress = 0;
  const qvtools::RunResult& second =
      runner.writeAgain(again, "", [&lastProgress](double f, bool) { lastProgress = f; });
  EXPECT_TRUE(second.complete());
  EXPECT_EQ(second.qvfPath, again);
  EXPECT_GE(second.records, second.captured);
  EXPECT_DOUBLE_EQ(lastProgress, 1.0);
  FILE* file = std::fopen(again.c_str(), "rb");
  ASSERT_NE(file, nullptr);
  std::fclose(file);
  std::remove(again.c_str());
}

TEST_F(SessionRunnerTest, StopAskedFromAnotherThreadEndsTheRecordingWithCompleteStreamedFiles) {
  qvtools::RunOptions options;
  options.sound = false;
  options.qvfPath = dir_ + "/runner-streamed.qvf";
  std::remove(options.qvfPath.c_str());
  qvtools::SessionRunner runner(options);
  runner.start();
  std::thread host([&runner] {
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    runner.requestStop();
  });
  const auto began = std::chrono::steady_clock::now();
  runner.record(nullptr);
  const double took =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  host.join();
  EXPECT_LT(took, 3.0);
  const qvtools::RunResult& r = runner.finish(nullptr);
  EXPECT_EQ(r.stopCause, qvtools::StopCause::kHost);
  EXPECT_EQ(r.stopStatus, QV_STATUS_OK);
  EXPECT_FALSE(r.sourceLost());
  EXPECT_TRUE(r.streamed);
  EXPECT_TRUE(r.complete());
  EXPECT_GT(r.records, 0u);
  // Written once: OutputThread has nothing left to write.
  EXPECT_EQ(OutputThread(const_cast<char*>(options.qvfPath.c_str())), QV_OUTPUT_ALREADY_WRITTEN);
  std::remove(options.qvfPath.c_str());
}

}  // namespace
