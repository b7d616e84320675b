// Start-up against real windows on a real X server.
#include <gtest/gtest.h>
// After gtest: Xlib defines macros (None, Bool) that clash with its names.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <sys/resource.h>

#include <chrono>
#include <fstream>
#include <future>
#include <string>
#include <thread>

#include "capture_state.h"
#include "test_servers.h"

namespace quorvane_capture {
namespace {

class InitializeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { xvfb_ = new qvtest::XvfbServer(1280, 720); }
  static void TearDownTestSuite() {
    delete xvfb_;
    xvfb_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(xvfb_->running());
    display_ = XOpenDisplay(nullptr);
    ASSERT_NE(display_, nullptr);
  }
  void TearDown() override {
    Finalize();
    if (display_ != nullptr) XCloseDisplay(display_);
  }

  // A mapped window whose top half is red and bottom half blue.
  Window makeWindow(int x, int y, unsigned width, unsigned height) {
    const int screen = DefaultScreen(display_);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = 0;
    Window window = XCreateWindow(display_, RootWindow(display_, screen), x, y, width, height, 0,
                                  CopyFromParent, InputOutput, CopyFromParent,
                                  CWOverrideRedirect | CWBackPixel, &attributes);
    XMapWindow(display_, window);
    XSync(display_, False);
    GC gc = XCreateGC(display_, window, 0, nullptr);
    XSetForeground(display_, gc, 0xFF0000);
    XFillRectangle(display_, window, gc, 0, 0, width, height / 2);
    XSetForeground(display_, gc, 0x0000FF);
    XFillRectangle(display_, window, gc, 0, height / 2, width, height - height / 2);
    XFreeGC(display_, gc);
    XSync(display_, False);
    return window;
  }

  CaptureSetting settingsFor(Window window) {
    CaptureSetting s{};
    s.frameRate = 30;
    s.targetWindow = window;
    s.memorySize = 64 << 20;
    s.affinityMask = getAffinityMask();
    s.clientArea = 1;
    s.useAVX = 1;
    return s;
  }

  static qvtest::XvfbServer* xvfb_;
  Display* display_ = nullptr;
};
qvtest::XvfbServer* InitializeTest::xvfb_ = nullptr;

// The process's mapped address space (VmSize), in KiB; 0 when it cannot be read.
uint64_t mappedKibibytes() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmSize:", 0) == 0) return std::stoull(line.substr(7));
  }
  return 0;
}

TEST_F(InitializeTest, SizesAreCorrectedAgainstTheWindow) {
  const Window window = makeWindow(50, 60, 640, 480);
  CaptureSetting s = settingsFor(window);
  Initialize(&s);
  ASSERT_EQ(getInitializeStatus(), QV_INIT_OK);
  EXPECT_EQ(captureSetting.captureWidth, 640);  // 0 records the whole client area
  EXPECT_EQ(captureSetting.captureHeight, 480);
  EXPECT_EQ(captureSetting.outputWidth, 640);
  EXPECT_EQ(captureSetting.outputHeight, 480);
  EXPECT_EQ(s.captureWidth, 0) << "the caller's record is not touched";
  Finalize();

  s.captureWidth = 2000;  // wider than the window: cut to it
  s.captureHeight = 300;
  s.outputWidth = 1;     // below 2: no scaling
  s.outputHeight = 301;  // above the capture height: no scaling
  Initialize(&s);
  ASSERT_EQ(getInitializeStatus(), QV_INIT_OK);
  EXPECT_EQ(captureSetting.captureWidth, 640);
  EXPECT_EQ(captureSetting.captureHeight, 300);
  EXPECT_EQ(captureSetting.outputWidth, 640);
  EXPECT_EQ(captureSetting.outputHeight, 300);
  Finalize();

  s.captureWidth = 0;
  s.outputWidth = 320;  // a real downscale keeps its size
  s.outputHeight = 240;
  Initialize(&s);
  EXPECT_EQ(captureSetting.outputWidth, 320);
  EXPECT_EQ(captureSetting.outputHeight, 240);
}

TEST_F(InitializeTest, OddOutputWidthsBecomeEven) {
  const Window window = makeWindow(0, 0, 641, 101);
  CaptureSetting s = settingsFor(window);
  Initialize(&s);
  ASSERT_EQ(getInitializeStatus(), QV_INIT_OK);
  EXPECT_EQ(captureSetting.captureWidth, 640) << "no scaling: both lose the last column";
  EXPECT_EQ(captureSetting.outputWidth, 640);
  EXPECT_EQ(captureSetting.captureHeight, 101) << "heights may stay odd";
  Finalize();
  s.outputWidth = 321;
  Initialize(&s);
  EXPECT_EQ(captureSetting.captureWidth, 641);
  EXPECT_EQ(captureSetting.outputWidth, 320);
}

TEST_F(InitializeTest, WholeWindowAndClientAreaOfAnUnmanagedWindowAgree) {
  const Window window = makeWindow(10, 20, 300, 200);
  CaptureSetting s = settingsFor(window);
  s.clientArea = 0;
  Initialize(&s);
  ASSERT_EQ(getInitializeStatus(), QV_INIT_OK);
  EXPECT_EQ(captureSetting.captureWidth, 300);
  EXPECT_EQ(captureSetting.captureHeight, 200);
}

TEST_F(InitializeTest, EncodeThreadsFollowTheAffinityMask) {
  const Window window = makeWindow(0, 0, 64, 64);
  CaptureSetting s = settingsFor(window);
  const int32_t processors = bitCount(getAffinityMask());
  Initialize(&s);
  EXPECT_EQ(getEncodeThreadCount(), processors);
  Finalize();
  s.reserveOneProcessor = 1;
  Initialize(&s);
  EXPECT_EQ(getEncodeThreadCount(), processors >= 2 ? processors - 1 : 1);
  Finalize();
  const uint64_t system = getAffinityMask();
  s.affinityMask = system & (~system + 1);  // one processor: reserving one still leaves one
  Initialize(&s);
  EXPECT_EQ(getEncodeThreadCount(), 1);
  Finalize();
  setAffinityMask(system);
}

TEST_F(InitializeTest, PicturesAreTopDownAndFollowTheSourceOffset) {
  const Window window = makeWindow(100, 100, 200, 100);
  CaptureSetting s = settingsFor(window);
  s.captureWidth = 100;
  s.captureHeight = 50;
  s.sourceX = 50;
  s.sourceY = 25;  // rows 25..74 of the window: red above row 50, blue from it
  Initialize(&s);
  ASSERT_EQ(getInitializeStatus(), QV_INIT_OK);
  ASSERT_TRUE(captureSettingInternal.grabber.grab(static_cast<int32_t>(s.sourceX),
                                                  static_cast<int32_t>(s.sourceY)));
  const uint8_t* pixels = captureSettingInternal.pixels;
  ASSERT_NE(pixels, nullptr);
  auto at = [&](int x, int y) { return pixels + (y * 100 + x) * 4; };
  EXPECT_EQ(at(0, 0)[2], 0xFF);  // red, bytes blue-green-red
  EXPECT_EQ(at(0, 0)[0], 0x00);
  EXPECT_EQ(at(99, 24)[2], 0xFF);
  EXPECT_EQ(at(0, 25)[0], 0xFF);  // blue
  EXPECT_EQ(at(0, 25)[2], 0x00);
  EXPECT_EQ(at(99, 49)[0], 0xFF);
}

TEST_F(InitializeTest, BadSettingsAreRefusedAndLeaveNothingBehind) {
  const Window window = makeWindow(0, 0, 64, 64);
  CaptureSetting s = settingsFor(window);
  s.frameRate = 0;
  Initialize(&s);
  EXPECT_EQ(getInitializeStatus(), QV_INIT_BAD_FRAME_RATE);
  EXPECT_EQ(getEncodeThreadCount(), 0);
  EXPECT_EQ(mma, nullptr);
  EXPECT_EQ(hMutex_frameList_Add, nullptr);
  EXPECT_EQ(waitCaptureAction(), 0);
  Finalize();

  s.frameRate = -5;
  Initialize(&s);
  EXPECT_EQ(getInitializeStatus(), QV_INIT_BAD_FRAME_RATE);

  s.frameRate = 30;
  Window gone = makeWindow(0, 0, 32, 32);
  XDestroyWindow(display_, gone);
  XSync(display_, False);
  s.targetWindow = gone;
  Initialize(&s);
  EXPECT_EQ(getInitializeStatus(), QV_INIT_EMPTY_TARGET);
  EXPECT_FALSE(captureSettingInternal.grabber.isOpen());
  EXPECT_EQ(mma, nullptr);
  Finalize();
  Finalize();

  const Window narrow = makeWindow(0, 0, 1, 40);
  s.targetWindow = narrow;
  Initialize(&s);
  EXPECT_EQ(getInitializeStatus(), QV_INIT_TOO_SMALL);

  s.targetWindow = window;  // and a good one afterwards works
  Initialize(&s);
  EXPECT_EQ(getInitializeStatus(), QV_INIT_OK);
  EXPECT_NE(mma, nullptr);
}

uint64_t processAffinity() {
  uint64_t process = 0, system = 0;
  platform::getProcessAffinityMask(&process, &system);
  return process;
}

// The last refusal start-up can meet, a pool without memory, comes after the grabber was set
// up: the process's address space is capped so that not one pool block can be had.
TEST_F(InitializeTest, ARefusalForWantOfMemoryLeavesTheAffinityAsItWas) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers' allocators do not map blocks on demand";
#endif
  const uint64_t before = processAffinity();
  if (bitCount(before) < 2) GTEST_SKIP() << "needs two processors to tell a change";
  const Window window = makeWindow(0, 0, 64, 64);
  CaptureSetting s = settingsFor(window);
  s.affinityMask = before & (~before + 1);  // one processor

  const uint64_t mappedKiB = mappedKibibytes();
  ASSERT_GT(mappedKiB, 0u);
  rlimit saved{};
  getrlimit(RLIMIT_AS, &saved);
  rlimit capped = saved;
  capped.rlim_cur = (mappedKiB << 10) + (48u << 20);  // far below one 100 MB block
  ASSERT_EQ(setrlimit(RLIMIT_AS, &capped), 0);
  Initialize(&s);
  setrlimit(RLIMIT_AS, &saved);

  EXPECT_EQ(getInitializeStatus(), QV_INIT_NO_MEMORY);
  EXPECT_EQ(processAffinity(), before);
  EXPECT_EQ(mma, nullptr);
  EXPECT_FALSE(captureSettingInternal.grabber.isOpen());
  EXPECT_EQ(getEncodeThreadCount(), 0);
}

// Any budget, up to 2^64 - 1, starts a recording without throwing: it is cut to half of the
// machine's memory, then to the blocks the system supplies (the address space is capped here so
// that only a few can be had).
TEST_F(InitializeTest, AnyMemoryBudgetInitialisesWithWhatCanBeHad) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers' allocators do not map blocks on demand";
#endif
  CaptureSetting s = settingsFor(makeWindow(0, 0, 64, 64));
  const uint64_t mappedKiB = mappedKibibytes();
  ASSERT_GT(mappedKiB, 0u);
  rlimit saved{};
  getrlimit(RLIMIT_AS, &saved);
  rlimit capped = saved;
  capped.rlim_cur = (mappedKiB << 10) + (360u << 20);  // room for about three blocks
  for (const uint64_t budget : {uint64_t{0}, uint64_t{1}, uint64_t{1} << 63, ~uint64_t{0}}) {
    SCOPED_TRACE(budget);
    s.memorySize = budget;
    ASSERT_EQ(setrlimit(RLIMIT_AS, &capped), 0);
    Initialize(&s);
    setrlimit(RLIMIT_AS, &saved);
    ASSERT_EQ(getInitializeStatus(), QV_INIT_OK);
    EXPECT_GE(mma->blockCount, 1u);
    EXPECT_LE(mma->totalSize, 360u << 20);
    EXPECT_EQ(getCaptureSetting()->memorySize, budget);
    Finalize();
  }
}

TEST(InitializeLargeScreen, AFrameAboveTheBlockSizeIsRefused) {
  qvtest::XvfbServer xvfb(5200, 5100);  // 106 MB per picture
  ASSERT_TRUE(xvfb.running());
  CaptureSetting s{};
  s.frameRate = 30;
  s.targetWindow = platform::desktopWindow();
  s.memorySize = 1 << 20;
  Initialize(&s);
  EXPECT_EQ(getInitializeStatus(), QV_INIT_FRAME_TOO_LARGE);
  EXPECT_EQ(mma, nullptr);
  Finalize();
  s.captureWidth = 5000;  // a part of it fits
  s.captureHeight = 5000;
  Initialize(&s);
  EXPECT_EQ(getInitializeStatus(), QV_INIT_OK);
  EXPECT_EQ(mma->blockSize, 100000000u);
  Finalize();
}

TEST_F(InitializeTest, TestRecordsTheExampleRectangleOfTheScreen) {
  EXPECT_NE(::Test(), nullptr);
  EXPECT_EQ(getInitializeStatus(), QV_INIT_OK);
  EXPECT_EQ(captureSetting.captureWidth, 800);
  EXPECT_EQ(captureSetting.outputHeight, 600);
  EXPECT_EQ(mma->blockCount, 10u);
}

// The hot key, pressed for real through the X server.
class HotKeyTest : public InitializeTest {
 protected:
  void SetUp() override {
    InitializeTest::SetUp();
    if (!qvtest::commandSucceeds("command -v xdotool")) GTEST_SKIP() << "xdotool missing";
    const Window window = makeWindow(0, 0, 64, 64);
    CaptureSetting s = settingsFor(window);
    Initialize(&s);
    ASSERT_EQ(getInitializeStatus(), QV_INIT_OK);
  }
  void TearDown() override {
    qvtest::commandSucceeds("xdotool keyup F12 keyup Print");
    InitializeTest::TearDown();
  }
  static bool returnsWithin(std::future<int32_t>& wait, int ms) {
    return wait.wait_for(std::chrono::milliseconds(ms)) == std::future_status::ready;
  }
};

TEST_F(HotKeyTest, F12StartsAndPrintScreenToo) {
  auto wait = std::async(std::launch::async, waitCaptureAction);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(returnsWithin(wait, 0));
  // Held as a person holds a key: the wait reads the keys' state every millisecond or so, and
  // a press and release sent in one go can fall between two readings on a busy machine.
  ASSERT_TRUE(qvtest::commandSucceeds("xdotool keydown F12 sleep 0.1 keyup F12"));
  ASSERT_TRUE(returnsWithin(wait, 2000));
  EXPECT_EQ(wait.get(), 1);

  auto second = std::async(std::launch::async, waitCaptureAction);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_TRUE(qvtest::commandSucceeds("xdotool keydown Print sleep 0.1 keyup Print"));
  ASSERT_TRUE(returnsWithin(second, 2000));
  EXPECT_EQ(second.get(), 1);
}

TEST_F(HotKeyTest, AKeyHeldAtTheStartMustBeReleasedAndPressedAgain) {
  ASSERT_TRUE(qvtest::commandSucceeds("xdotool keydown F12"));
  auto wait = std::async(std::launch::async, waitCaptureAction);
  EXPECT_FALSE(returnsWithin(wait, 300)) << "a key already down does not start";
  ASSERT_TRUE(qvtest::commandSucceeds("xdotool keyup F12"));
  EXPECT_FALSE(returnsWithin(wait, 100));
  ASSERT_TRUE(qvtest::commandSucceeds("xdotool keydown F12"));
  ASSERT_TRUE(returnsWithin(wait, 2000));
  EXPECT_EQ(wait.get(), 1);
}

TEST_F(HotKeyTest, StopFromAnotherThreadEndsTheWait) {
  auto wait = std::async(std::launch::async, waitCaptureAction);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto before = std::chrono::steady_clock::now();
  setTerminated(1);
  ASSERT_TRUE(returnsWithin(wait, 1000));
  EXPECT_EQ(wait.get(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - before,
            std::chrono::milliseconds(static_cast<int>(100 * qvtest::kSlowdown)));
}

}  // namespace
}  // namespace quorvane_capture
