// Finalize: complete recordings one after another in one process, each file right and nothing
// left behind; Finalize called out of order does no harm.
#include <gtest/gtest.h>
// After gtest: Xlib's macros would break its headers.
#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "capture_state.h"
#include "direct_sound_capture.h"
#include "pipeline_support.h"
#include "quorvane_capture.h"
#include "qvf_decode.h"
#include "window_list.h"
#include "x_and_sound_test.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QV_TEST_ASAN 1
// The sanitizer's count of live heap bytes (its allocator does not report to mallinfo2).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace {

using namespace quorvane_capture;

constexpr uint64_t kPoolBytes = 300ull << 20;

// Bytes the C heap has handed out, the pool's large blocks included.
int64_t heapInUse() {
#ifdef QV_TEST_ASAN
  return static_cast<int64_t>(__sanitizer_get_current_allocated_bytes());
#else
  const struct mallinfo2 info = mallinfo2();
  return static_cast<int64_t>(info.uordblks + info.hblkhd);
#endif
}

int64_t residentBytes() {
  std::ifstream statm("/proc/self/statm");
  int64_t size = 0, resident = 0;
  statm >> size >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

uint32_t u32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

bool inNotInitialisedState() {
  return getInitializeStatus() == QV_INIT_NOT_INITIALIZED && mma == nullptr && dsc == nullptr &&
         frameList.empty() && windowList.empty() && !getTerminated() &&
         getRecordingStatus() == QV_STATUS_NOT_INITIALIZED && hMutex_frameList_Add == nullptr &&
         hMutex_frameList_Change == nullptr && getEncodeThreadCount() == 0;
}

using TeardownTest = qvtest::XAndSoundTest<440>;

TEST_F(TeardownTest, FinalizeOutOfOrderDoesNoHarm) {
  Finalize();
  Finalize();
  EXPECT_TRUE(inNotInitialisedState());

  CaptureSetting refused{};
  refused.frameRate = 0;
  refused.targetWindow = platform::desktopWindow();
  refused.memorySize = kPoolBytes;
  Initialize(&refused);
  EXPECT_EQ(getInitializeStatus(), QV_INIT_BAD_FRAME_RATE);
  Finalize();
  EXPECT_TRUE(inNotInitialisedState());
  Finalize();
  EXPECT_TRUE(inNotInitialisedState());
  // Nothing of a recording is left to run on.
  EXPECT_EQ(CaptureThread(nullptr), 0u);
  EXPECT_EQ(CompressThread(nullptr), 0u);
  EXPECT_EQ(AudioCaptureThread(nullptr), 0u);
  EXPECT_EQ(OutputThread(const_cast<char*>("/tmp/qv-teardown-never.qvf")), 0u);
  EXPECT_NE(access("/tmp/qv-teardown-never.qvf", F_OK), 0);
  // The window list and the affinity query need no recording.
  EXPECT_GE(createWindowList(), 1u);
  EXPECT_NE(getAffinityMask(), 0u);
}

// Initialize, the threads, both outputs and Finalize, three times: every file complete and
// consistent with what was captured, and after each Finalize the heap back where it started.
TEST_F(TeardownTest, ThreeCompleteRecordingsInARow) {
  qvtest::TestWindow window(320, 240);
  window.setUtf8Name("qv teardown");
  window.map();
  ASSERT_TRUE(window.waitViewable());
  Finalize();
  malloc_trim(0);
  const int64_t heapBefore = heapInUse();
  const int64_t residentBefore = residentBytes();

  int64_t heapAfterFirst = 0;
  const std::string base = "/tmp/qv-teardown-" + std::to_string(getpid());
  for (int run = 0; run < 3; ++run) {
    SCOPED_TRACE("recording " + std::to_string(run + 1));
    const uint64_t listed = createWindowList();
    ASSERT_GE(listed, 2u);

    CaptureSetting s{};
    s.frameRate = 10 + run * 5;
    s.targetWindow = window.id();
    s.clientArea = 1;
    s.memorySize = kPoolBytes;
    s.outputWidth = 160 + run * 32;
    s.outputHeight = 120;
    s.affinityMask = getAffinityMask();
    Initialize(&s);
    ASSERT_EQ(getInitializeStatus(), QV_INIT_OK);
    // The measure sees the pool: otherwise the comparison below would prove nothing.
    EXPECT_GE(heapInUse() - heapBefore, static_cast<int64_t>(kPoolBytes) * 9 / 10);

    {
      auto audio = std::async(std::launch::async, [] { return AudioCaptureThread(nullptr); });
      qvtest::RecordingThreads threads;
      threads.stopAfter(std::chrono::milliseconds(1500));
      audio.wait();
    }
    std::vector<int32_t> stamps;
    for (size_t i = 0; i < frameList.size(); ++i) stamps.push_back(frameList[i].timeStamp);
    ASSERT_GE(stamps.size(), 5u);

    const std::string video = base + "-" + std::to_string(run) + ".qvf";
    const std::string wav = base + "-" + std::to_string(run) + ".wav";
    std::thread wavThread(
        [&wav] { EXPECT_EQ(AudioOutputThread(const_cast<char*>(wav.c_str())), 0u); });
    const uint64_t records = OutputThread(const_cast<char*>(video.c_str()));
    wavThread.join();
    Finalize();
    EXPECT_TRUE(inNotInitialisedState());
    EXPECT_EQ(getWindowList(0), nullptr) << "the descriptions went with Finalize";

    qvtest::QvfFile file;
    std::string error;
    ASSERT_TRUE(qvtest::readQvf(video, &file, &error)) << error;
    EXPECT_EQ(file.frameRate, static_cast<uint64_t>(s.frameRate));
    EXPECT_EQ(file.width, static_cast<uint64_t>(s.outputWidth));
    EXPECT_EQ(file.height, static_cast<uint64_t>(s.outputHeight));
    EXPECT_EQ(file.videoPattern(), qvtest::expectedPattern(stamps, s.frameRate));
    EXPECT_EQ(file.videoRecords().size(), records);

    std::vector<uint8_t> wavBytes;
    ASSERT_TRUE(qvtest::readFileBytes(wav, &wavBytes));
    ASSERT_GE(wavBytes.size(), 44u);
    EXPECT_EQ(u32(wavBytes, 40), wavBytes.size() - 44);
    const std::vector<uint8_t> pcm = file.audio();
    EXPECT_GT(pcm.size(), 176400u) << "about 1.5 s of sound";
    EXPECT_TRUE(std::equal(pcm.begin(), pcm.end(), wavBytes.begin() + 44, wavBytes.end()))
        << "the same sound in both files";
    std::remove(video.c_str());
    std::remove(wav.c_str());

    malloc_trim(0);
    const int64_t heapAfter = heapInUse();
    const int64_t residentAfter = residentBytes();
    std::printf("recording %d: %zu frames, %llu records; heap %+lld bytes, resident %+lld KiB\n",
                run + 1, stamps.size(), static_cast<unsigned long long>(records),
                static_cast<long long>(heapAfter - heapBefore),
                static_cast<long long>((residentAfter - residentBefore) / 1024));
    // The first recording sets up what stays for the process (the sound client, the frame
    // list's first chunk); later ones must add nothing.
    EXPECT_LT(heapAfter - heapBefore, 4 << 20);
    if (run == 0) heapAfterFirst = heapAfter;
    EXPECT_LT(heapAfter - heapAfterFirst, 256 << 10);
#ifndef QV_TEST_ASAN
    // The sanitizer keeps freed memory in quarantine, so only a plain build can judge pages.
    EXPECT_LT(residentAfter - residentBefore, 24 << 20);
#endif
  }
}

}  // namespace
