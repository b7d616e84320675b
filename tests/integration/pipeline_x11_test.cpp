// The video pipeline end to end on a real X server: a window that draws a new, recognisable
// picture every few milliseconds is recorded, the file is written and every decoded picture is
// matched to the drawing the window showed at that moment.
#include <gtest/gtest.h>
// After gtest: Xlib's macros (None, Bool, Status) would break its headers.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xfixes.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "capture_state.h"
#include "kernels.h"
#include "pause.h"
#include "pipeline_support.h"
#include "quorvane_capture.h"
#include "qvf_decode.h"
#include "reference.h"
#include "test_servers.h"
#include "x_test_windows.h"

namespace {

using namespace quorvane_capture;
using qvtest::Bytes;

// Drawing n: its number in 16 black and white bands along the top, gradients shifted by n below.
Bytes drawing(int width, int height, int n) {
  Bytes p(static_cast<size_t>(width) * height * 4);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      uint8_t* px = &p[(static_cast<size_t>(y) * width + x) * 4];
      if (y < 16) {
        const int bit = x * 16 / width;
        const uint8_t v = ((n >> bit) & 1) != 0 ? 255 : 0;
        px[0] = px[1] = px[2] = v;
      } else {
        px[0] = static_cast<uint8_t>(x + n * 3);
        px[1] = static_cast<uint8_t>(y * 2 + n * 5);
        px[2] = static_cast<uint8_t>(((x / 8) ^ (y / 8)) * 16 + n);
      }
      px[3] = 0;
    }
  }
  return p;
}

// An override-redirect window at a fixed place that draws drawing 0, 1, 2 ... every period on
// its own connection. Each drawing is one XPutImage request (the window is small enough), so a
// grab sees either the whole of one drawing or the whole of the next.
class DrawingWindow {
 public:
  // noise: every drawing is random bytes, so no two pictures share anything and none compresses.
  DrawingWindow(int x, int y, int width, int height, int periodMs, bool noise = false)
      : width_(width), height_(height), periodMs_(periodMs), noise_(noise) {
    display_ = XOpenDisplay(nullptr);
    if (display_ == nullptr) return;
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    window_ = XCreateWindow(display_, DefaultRootWindow(display_), x, y,
                            static_cast<unsigned>(width), static_cast<unsigned>(height), 0, 24,
                            InputOutput, DefaultVisual(display_, DefaultScreen(display_)),
                            CWOverrideRedirect, &attributes);
    XMapRaised(display_, window_);
    gc_ = XCreateGC(display_, window_, 0, nullptr);
    draw(0);
    thread_ = std::thread([this] { run(); });
  }
  ~DrawingWindow() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (display_ == nullptr) return;
    XFreeGC(display_, gc_);
    XDestroyWindow(display_, window_);
    XCloseDisplay(display_);
  }
  DrawingWindow(const DrawingWindow&) = delete;
  DrawingWindow& operator=(const DrawingWindow&) = delete;

  bool ok() const { return display_ != nullptr; }
  Window id() const { return window_; }
  // The highest drawing number sent so far.
  int lastDrawn() const { return drawn_.load(); }
  // Frame-clock times at which drawing n was sent and known to be on the screen; valid for
  // n up to lastDrawn().
  double sentAt(int n) const { return sentAt_[static_cast<size_t>(n)]; }
  double shownAt(int n) const { return shownAt_[static_cast<size_t>(n)]; }
  // Holds the current drawing until resume().
  void pause() { paused_ = true; }
  void resume() { paused_ = false; }

 private:
  void draw(int n) {
    if (static_cast<size_t>(n) >= sentAt_.size()) return;
    Bytes pixels = noise_ ? noiseDrawing(n) : drawing(width_, height_, n);
    XImage* image =
        XCreateImage(display_, DefaultVisual(display_, DefaultScreen(display_)), 24, ZPixmap, 0,
                     reinterpret_cast<char*>(pixels.data()), static_cast<unsigned>(width_),
                     static_cast<unsigned>(height_), 32, width_ * 4);
    image->byte_order = LSBFirst;
    sentAt_[static_cast<size_t>(n)] = platform::clockMilliseconds();
    XPutImage(display_, window_, gc_, image, 0, 0, 0, 0, static_cast<unsigned>(width_),
              static_cast<unsigned>(height_));
    XSync(display_, False);
    shownAt_[static_cast<size_t>(n)] = platform::clockMilliseconds();
    image->data = nullptr;
    XDestroyImage(image);
    drawn_ = n;
  }
  void run() {
    auto next = std::chrono::steady_clock::now();
    int n = 0;
    while (!stop_) {
      next += std::chrono::milliseconds(periodMs_);
      std::this_thread::sleep_until(next);
      if (!paused_) draw(++n);
    }
  }

  Display* display_ = nullptr;
  Window window_ = None;
  GC gc_ = nullptr;
  Bytes noiseDrawing(int n) const {
    Bytes p(static_cast<size_t>(width_) * height_ * 4);
    uint64_t x = 0x9E3779B97F4A7C15ull * static_cast<uint64_t>(n + 1);
    for (size_t i = 0; i + 8 <= p.size(); i += 8) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      std::memcpy(&p[i], &x, 8);
    }
    return p;
  }

  int width_, height_, periodMs_;
  bool noise_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> paused_{false};
  std::atomic<int> drawn_{0};
  std::vector<double> sentAt_ = std::vector<double>(100000);
  std::vector<double> shownAt_ = std::vector<double>(100000);
};

std::string tempPath(const std::string& name) {
  return "/tmp/qv-pipeline-" + std::to_string(getpid()) + "-" + name + ".qvf";
}

class PipelineX11Test : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(qvtest::sharedXvfb().running()); }
  void TearDown() override {
    Finalize();
    for (const std::string& p : paths_) std::remove(p.c_str());
  }

  bool initialize(uint64_t window, int64_t frameRate, int64_t outputWidth, int64_t outputHeight,
                  uint64_t memorySize = 256u << 20) {
    CaptureSetting s{};
    s.frameRate = frameRate;
    s.targetWindow = window;
    s.outputWidth = outputWidth;
    s.outputHeight = outputHeight;
    s.memorySize = memorySize;
    s.affinityMask = getAffinityMask();
    s.useAVX = qvtest::pipelineUseAVX();
    s.clientArea = 1;
    Initialize(&s);
    // More encode threads than this machine's processors, and with them more frames compressed
    // at a time, when the run asks for them (scripts/test does under ThreadSanitizer).
    if (const char* threads = std::getenv("QV_TEST_ENCODE_THREADS")) {
      if (isInitialized()) captureSettingInternal.encodeThreadCount = std::atoi(threads);
    }
    return getInitializeStatus() == QV_INIT_OK;
  }

  // What the pipeline must make of an RGB32 picture at capture size.
  Bytes expectedYuy2(const Bytes& rgb) {
    const CaptureSetting& s = captureSetting;
    const Bytes* source = &rgb;
    Bytes scaled;
    if (s.outputWidth != s.captureWidth || s.outputHeight != s.captureHeight) {
      scaled.resize(static_cast<size_t>(s.outputWidth * s.outputHeight * 4));
      reference::zoomOutHeikin32(scaled.data(), s.outputWidth, s.outputHeight, rgb.data(),
                                 s.captureWidth, s.captureHeight);
      source = &scaled;
    }
    Bytes yuy2(static_cast<size_t>(s.outputWidth * s.outputHeight * 2));
    reference::rgb32ToYUY2(yuy2.data(), source->data(), s.outputWidth, s.outputHeight,
                           s.useAVX != 0 ? reference::SumOrder::kAvx : reference::SumOrder::kSse2);
    return yuy2;
  }

  std::vector<int32_t> stamps() {
    std::vector<int32_t> t;
    for (size_t i = 0; i < frameList.size(); ++i) t.push_back(frameList[i].timeStamp);
    return t;
  }

  std::string output(const std::string& name, uint64_t* result) {
    const std::string path = tempPath(name);
    paths_.push_back(path);
    *result = OutputThread(const_cast<char*>(path.c_str()));
    return path;
  }

  // Reads, checks the header and record order against the capture times (or against
  // `pattern` when given), and decodes.
  void readAndCheck(const std::string& path, uint64_t result, qvtest::QvfFile* file,
                    std::vector<Bytes>* pictures, const std::string* pattern = nullptr) {
    std::string error;
    ASSERT_TRUE(qvtest::readQvf(path, file, &error)) << error;
    EXPECT_EQ(file->frameRate, static_cast<uint64_t>(captureSetting.frameRate));
    EXPECT_EQ(file->width, static_cast<uint64_t>(captureSetting.outputWidth));
    EXPECT_EQ(file->height, static_cast<uint64_t>(captureSetting.outputHeight));
    EXPECT_EQ(file->codecTag, "Snappy  ");
    const std::string slots = qvtest::expectedPattern(stamps(), captureSetting.frameRate);
    EXPECT_EQ(file->videoPattern(), pattern != nullptr ? *pattern : slots);
    EXPECT_EQ(result, slots.size());
    ASSERT_TRUE(qvtest::decodePictures(*file, pictures, &error)) << error;
  }

  // The file the writer makes on its own, one frame after the other, from the same captured
  // pictures at the same times: frame i showed drawing shown[i].
  Bytes serialFile(const std::vector<int>& shown, const std::function<Bytes(int)>& picture,
                   const std::string& name) {
    const std::vector<int32_t> t = stamps();
    for (size_t i = 0; i < frameList.size(); ++i) {
      if (frameList[i].buffer != nullptr) mma->release(frameList[i].buffer);
      if (frameList[i].compressedBuffer != nullptr) mma->release(frameList[i].compressedBuffer);
    }
    frameList.clear();
    for (size_t i = 0; i < shown.size(); ++i) {
      const Bytes rgb = picture(shown[i]);
      uint8_t* range = mma->allocateFromTop(rgb.size());
      if (range == nullptr) return {};
      std::copy(rgb.begin(), rgb.end(), range);
      frameList.push_back(frame{t[i], range, nullptr, 0, FRAME_CAPTURED});
    }
    uint64_t result = 0;
    Bytes bytes;
    if (!qvtest::readFileBytes(output(name, &result), &bytes)) return {};
    return bytes;
  }

  // The container's sound records, placed among the video records as they arrived, hold
  // exactly the WAV file's samples, and the WAV header describes them: about as long as the
  // recording ran.
  void expectSoundAsInTheWav(const qvtest::QvfFile& file, const std::string& wavPath,
                             double elapsedMs) {
    Bytes wav;
    ASSERT_TRUE(qvtest::readFileBytes(wavPath, &wav));
    ASSERT_GE(wav.size(), 44u);
    EXPECT_TRUE(file.audio() == Bytes(wav.begin() + 44, wav.end()));
    EXPECT_EQ(qvtest::readU32(wav, 40), wav.size() - 44);
    EXPECT_EQ(qvtest::readU32(wav, 4), wav.size() - 8);
    EXPECT_NEAR((wav.size() - 44) / 176400.0, elapsedMs / 1000.0, 0.5);
    bool videoBefore = false, soundAfterVideo = false;
    for (const qvtest::QvfRecord& r : file.records) {
      if (r.type != qvtest::kQvfAudio) videoBefore = true;
      if (r.type == qvtest::kQvfAudio && videoBefore) soundAfterVideo = true;
    }
    EXPECT_TRUE(soundAfterVideo) << "sound records go between the pictures as they arrive";
  }

  std::vector<std::string> paths_;
};

// Records the drawing window for about 3 s and checks every picture of the file.
class PipelineDrawingTest : public PipelineX11Test {
 public:
  // streamed: with sound, written by the streaming writer while recording.
  void record(int outputWidth, int outputHeight, const char* name, bool streamed = false) {
    constexpr int kWidth = 256, kHeight = 200, kFrameRate = 30;
    DrawingWindow window(40, 30, kWidth, kHeight, 10);
    ASSERT_TRUE(window.ok());
    std::unique_ptr<qvtest::PulseServer> pulse;
    if (streamed) {
      pulse = std::make_unique<qvtest::PulseServer>();
      ASSERT_TRUE(pulse->running());
      pulse->playTone(1000);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(initialize(window.id(), kFrameRate, outputWidth, outputHeight));
    ASSERT_EQ(captureSetting.captureWidth, kWidth);
    ASSERT_EQ(captureSetting.captureHeight, kHeight);
    ASSERT_GE(getEncodeThreadCount(), 1);

    const std::string path = tempPath(name);
    const std::string wavPath = tempPath(std::string(name) + "-wav");
    paths_.push_back(path);
    paths_.push_back(wavPath);
    const QvStreamPaths streamPaths{path.c_str(), wavPath.c_str()};
    uint64_t result = 0;
    const double start = platform::clockMilliseconds();
    std::thread writer, audio;
    if (streamed) {
      writer = std::thread(
          [&] { result = StreamOutputThread(const_cast<QvStreamPaths*>(&streamPaths)); });
      audio = std::thread([] { AudioCaptureThread(nullptr); });
    }
    qvtest::RecordingThreads threads;
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const double midProgress = getProgress();
    threads.stopAfter(std::chrono::milliseconds(1500));
    const double elapsed = platform::clockMilliseconds() - start;
    // Frames are stamped from the recording's set-up; the drawings with the platform clock.
    const double clockOffset = platform::clockMilliseconds() - frameClockMilliseconds();
    const int lastDrawn = window.lastDrawn();
    if (streamed) {
      audio.join();
      writer.join();
    }

    EXPECT_GT(midProgress, 0.0);
    EXPECT_LT(midProgress, 1.0);
    const size_t frames = frameList.size();
    EXPECT_EQ(threads.captured, frames);
    EXPECT_GE(frames, 80u) << "3 s at 30 fps";
    EXPECT_LE(static_cast<double>(frames), elapsed * kFrameRate / 1000.0 + 1.0) << "paced";
    uint64_t encoded = 0;
    for (uint64_t e : threads.encoded) encoded += e;
    EXPECT_LE(encoded, frames);
    EXPECT_LE(threads.compressed, frames);

    if (!streamed) {
      result = OutputThread(const_cast<char*>(path.c_str()));
      EXPECT_EQ(getProgress(), 1.0);
    }
    qvtest::QvfFile file;
    std::vector<Bytes> pictures;
    readAndCheck(path, result, &file, &pictures);
    if (HasFatalFailure()) return;
    if (streamed) {
      expectSoundAsInTheWav(file, wavPath, elapsed);
    } else {
      // The pictures and the closing index: no sound records without a device.
      EXPECT_EQ(file.records.size(), pictures.size() + 1) << "no sound records without a device";
      EXPECT_EQ(file.records.back().type, qvtest::kQvfIndex);
    }

    std::string error;
    const std::vector<int> shown = qvtest::matchDrawings(
        pictures, file.videoPattern(), lastDrawn,
        [&](int n) { return expectedYuy2(drawing(kWidth, kHeight, n)); }, &error);
    ASSERT_EQ(shown.size(), frames) << error;
    // Each frame shows a drawing that was sent before the frame's time stamp, and no drawing
    // older than one that was already on the screen when the frame before it was stamped: a
    // frame that shows a stale or a future picture was mixed up somewhere.
    const std::vector<int32_t> t = stamps();
    size_t distinct = 1;
    for (size_t i = 0; i < frames; ++i) {
      EXPECT_LT(window.sentAt(shown[i]), t[i] + clockOffset + 1.0) << "frame " << i;
      if (i > 0 && shown[i] < lastDrawn) {
        EXPECT_GE(window.shownAt(shown[i] + 1), t[i - 1] + clockOffset)
            << "frame " << i << " is stale";
      }
      if (i > 0 && shown[i] != shown[i - 1]) ++distinct;
    }
    std::printf("  %zu frames in %.0f ms, %zu distinct drawings of %d\n", frames, elapsed, distinct,
                lastDrawn + 1);

    if (streamed) {
      // Nothing is written twice: the written pieces went back to the pool.
      EXPECT_EQ(OutputThread(const_cast<char*>(path.c_str())), QV_OUTPUT_ALREADY_WRITTEN);
      EXPECT_EQ(AudioOutputThread(const_cast<char*>(wavPath.c_str())),
                static_cast<qv_thread_result>(QV_WAV_ALREADY_WRITTEN));
      EXPECT_EQ(getRecordingStatus(), QV_STATUS_OK);
      return;
    }
    // A second run over the same frames writes the same bytes.
    uint64_t again = 0;
    Bytes first, second;
    ASSERT_TRUE(qvtest::readFileBytes(path, &first));
    ASSERT_TRUE(qvtest::readFileBytes(output(std::string(name) + "-again", &again), &second));
    EXPECT_EQ(again, result);
    EXPECT_TRUE(first == second);

    // The threads compressed frames side by side, in any order; the file is still the one the
    // writer makes alone from the same pictures.
    const Bytes serial = serialFile(
        shown, [&](int n) { return drawing(kWidth, kHeight, n); }, std::string(name) + "-serial");
    EXPECT_FALSE(serial.empty());
    EXPECT_TRUE(serial == first) << "the pipeline's file differs from the serial writer's";
  }
};

TEST_F(PipelineDrawingTest, RecordsEveryPictureAtCaptureSize) { record(0, 0, "full"); }

TEST_F(PipelineDrawingTest, RecordsEveryPictureDownscaled) { record(150, 94, "scaled"); }

TEST_F(PipelineDrawingTest, StreamsEveryPictureAndTheSoundWhileRecording) {
  record(150, 94, "streamed", true);
}

// The smallest pool (one block) and a window whose every picture is new noise: several MB/s of
// compressed frames, far more over 40 s than the pool holds. Streamed, what is written goes back
// to the pool, so the recording runs to the end; without that the pool fills within seconds.
// Its own suite: it tests the pool's reuse, not the kernels, so the SSE2 pass skips it.
using StreamingMemoryTest = PipelineX11Test;
TEST_F(StreamingMemoryTest, OneBlockPoolStreamsFortySecondsOfNoise) {
  DrawingWindow window(40, 30, 320, 240, 8, true);
  ASSERT_TRUE(window.ok());
  ASSERT_TRUE(initialize(window.id(), 60, 0, 0, 1));
  ASSERT_EQ(mma->blockCount, 1u);
  const std::string path = tempPath("noise");
  paths_.push_back(path);
  const QvStreamPaths streamPaths{path.c_str(), nullptr};
  uint64_t result = 0;
  std::thread writer(
      [&] { result = StreamOutputThread(const_cast<QvStreamPaths*>(&streamPaths)); });
  uint64_t peak = 0;
  {
    qvtest::RecordingThreads threads;
    for (int tenths = 0; tenths < 400 && !getTerminated(); ++tenths) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      peak = std::max(peak, mma->getUsedSize());
    }
    EXPECT_EQ(getRecordingStatus(), QV_STATUS_OK) << "the pool filled";
    threads.stopAfter(std::chrono::milliseconds(0));
  }
  writer.join();
  EXPECT_EQ(getRecordingStatus(), QV_STATUS_OK);
  qvtest::QvfFile file;
  std::string error;
  ASSERT_TRUE(qvtest::readQvf(path, &file, &error)) << error;
  EXPECT_EQ(file.videoPattern(), qvtest::expectedPattern(stamps(), 60));
  EXPECT_EQ(result, file.videoPattern().size());
  EXPECT_GT(file.bytes.size(), 2 * mma->totalSize) << "more than the pool could ever hold";
  EXPECT_GE(frameList.size(), 40u * 60u / 2u);
  std::printf("  %zu frames, %.0f MB written through a %.0f MB pool, backlog peak %.1f MB\n",
              frameList.size(), file.bytes.size() / 1e6, mma->totalSize / 1e6, peak / 1e6);
}

// A library procedure on a thread with a stack of the given size, as hosts that start many
// threads make them.
class SmallStackThread {
 public:
  SmallStackThread(qv_thread_result (*procedure)(void*), void* parameter, size_t stackBytes)
      : procedure_(procedure), parameter_(parameter) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, stackBytes);
    // A guard wider than any frame: a function whose frame does not fit faults at once instead
    // of writing into whatever lies below the stack.
    pthread_attr_setguardsize(&attributes, 1 << 20);
    started_ = pthread_create(&thread_, &attributes, &SmallStackThread::run, this) == 0;
    pthread_attr_destroy(&attributes);
  }
  ~SmallStackThread() { join(); }
  SmallStackThread(const SmallStackThread&) = delete;
  SmallStackThread& operator=(const SmallStackThread&) = delete;
  bool started() const { return started_; }
  qv_thread_result join() {
    if (started_) pthread_join(thread_, nullptr);
    started_ = false;
    return result_;
  }

 private:
  static void* run(void* self) {
    auto* t = static_cast<SmallStackThread*>(self);
    t->result_ = t->procedure_(t->parameter_);
    return nullptr;
  }
  qv_thread_result (*procedure_)(void*);
  void* parameter_;
  pthread_t thread_{};
  bool started_ = false;
  qv_thread_result result_ = 0;
};

// Every stage on 128 KiB stacks, with downscales that take each route of the wide kernels
// (ratios below two, and above four).
TEST_F(PipelineX11Test, EveryStageRunsOnSmallThreadStacks) {
  const size_t stackBytes = static_cast<size_t>(64 * 1024 * qvtest::kSlowdown);
  DrawingWindow window(40, 30, 256, 200, 10);
  ASSERT_TRUE(window.ok());
  const int sizes[][2] = {{150, 120}, {60, 40}};
  for (const auto& size : sizes) {
    SCOPED_TRACE(std::to_string(size[0]) + "x" + std::to_string(size[1]));
    ASSERT_TRUE(initialize(window.id(), 30, size[0], size[1]));
    {
      std::vector<std::unique_ptr<SmallStackThread>> threads;
      threads.emplace_back(new SmallStackThread(CaptureThread, nullptr, stackBytes));
      for (int32_t k = 0; k < getEncodeThreadCount(); ++k) {
        threads.emplace_back(new SmallStackThread(
            EncodeThread, reinterpret_cast<void*>(static_cast<intptr_t>(k)), stackBytes));
      }
      threads.emplace_back(new SmallStackThread(CompressThread, nullptr, stackBytes));
      for (const auto& t : threads) ASSERT_TRUE(t->started());
      std::this_thread::sleep_for(std::chrono::milliseconds(600));
      setTerminated(1);
    }
    const std::string path = tempPath("small-stack");
    paths_.push_back(path);
    SmallStackThread writer(OutputThread, const_cast<char*>(path.c_str()), stackBytes);
    const uint64_t result = writer.join();
    qvtest::QvfFile file;
    std::vector<Bytes> pictures;
    readAndCheck(path, result, &file, &pictures);
    if (HasFatalFailure()) return;
    std::string error;
    const std::vector<int> shown = qvtest::matchDrawings(
        pictures, file.videoPattern(), window.lastDrawn(),
        [&](int n) { return expectedYuy2(drawing(256, 200, n)); }, &error);
    EXPECT_EQ(shown.size(), frameList.size()) << error;
    Finalize();
  }
}

// The plain window with the pointer's image (premultiplied ARGB, as the server gives it)
// blended over it at a root position, or without it when the position is null.
Bytes windowWithPointer(int width, int height, int windowX, int windowY,
                        const XFixesCursorImage& cursor, const int* pointer) {
  Bytes p(static_cast<size_t>(width) * height * 4);
  for (size_t i = 0; i < p.size(); i += 4) {
    p[i] = 0x99;  // the test window's background 0x336699, bytes B, G, R
    p[i + 1] = 0x66;
    p[i + 2] = 0x33;
  }
  if (pointer == nullptr) return p;
  for (int row = 0; row < cursor.height; ++row) {
    for (int column = 0; column < cursor.width; ++column) {
      const int x = pointer[0] - cursor.xhot + column - windowX;
      const int y = pointer[1] - cursor.yhot + row - windowY;
      const auto argb = static_cast<uint32_t>(cursor.pixels[row * cursor.width + column]);
      const uint32_t alpha = argb >> 24;
      if (x < 0 || y < 0 || x >= width || y >= height || alpha == 0) continue;
      uint8_t* px = &p[(static_cast<size_t>(y) * width + x) * 4];
      for (int c = 0; c < 3; ++c) {
        px[c] =
            static_cast<uint8_t>(((argb >> (8 * c)) & 0xFF) + (px[c] * (255 - alpha) + 127) / 255);
      }
    }
  }
  return p;
}

// The pointer, moved with xdotool over a plain window, half off its edge and away from it:
// every decoded picture is the window with the pointer's image at the pointer's place, or the
// bare window while the pointer is elsewhere, and each of these shows up.
TEST_F(PipelineX11Test, PicturesShowThePointerAtItsPlace) {
  if (!qvtest::commandSucceeds("command -v xdotool")) GTEST_SKIP() << "xdotool missing";
  constexpr int kWidth = 160, kHeight = 120, kWindowX = 10, kWindowY = 10;  // TestWindow's place
  qvtest::TestWindow window(kWidth, kHeight, true);
  window.map();
  ASSERT_TRUE(window.waitViewable());
  auto movePointer = [](const int* at) {
    return qvtest::commandSucceeds("xdotool mousemove " + std::to_string(at[0]) + " " +
                                   std::to_string(at[1]));
  };
  const int positions[][2] = {{50, 40}, {130, 100}, {kWindowX + kWidth - 4, 60}, {700, 500}};
  ASSERT_TRUE(movePointer(positions[0]));
  std::unique_ptr<XFixesCursorImage, int (*)(void*)> cursor(XFixesGetCursorImage(window.display()),
                                                            XFree);
  ASSERT_NE(cursor, nullptr);

  // Off unless asked for: the pointer over the window is not in the picture.
  ASSERT_TRUE(initialize(window.id(), 10, 0, 0));
  ASSERT_TRUE(captureSettingInternal.grabber.grab(0, 0));
  const Bytes bare = windowWithPointer(kWidth, kHeight, kWindowX, kWindowY, *cursor, nullptr);
  EXPECT_TRUE(Bytes(captureSettingInternal.pixels, captureSettingInternal.pixels + bare.size()) ==
              bare);
  Finalize();

  setCursorDrawing(1);
  ASSERT_TRUE(initialize(window.id(), 10, 0, 0));
  setCursorDrawing(0);  // taken at Initialize
  {
    qvtest::RecordingThreads threads;
    for (const auto& at : positions) {
      ASSERT_TRUE(movePointer(at));
      std::this_thread::sleep_for(
          std::chrono::milliseconds(static_cast<int>(400 * qvtest::kSlowdown)));
    }
    setTerminated(1);
  }
  uint64_t result = 0;
  const std::string path = output("pointer", &result);
  qvtest::QvfFile file;
  std::vector<Bytes> pictures;
  readAndCheck(path, result, &file, &pictures);
  if (HasFatalFailure()) return;

  std::vector<Bytes> expected;
  for (const auto& at : positions) {
    // Clipped to the window: the last position leaves the bare window.
    expected.push_back(
        expectedYuy2(windowWithPointer(kWidth, kHeight, kWindowX, kWindowY, *cursor, at)));
  }
  std::vector<int> seen(expected.size(), 0);
  const std::string pattern = file.videoPattern();
  for (size_t k = 0; k < pictures.size(); ++k) {
    if (pattern[k] == 'R') continue;
    size_t which = 0;
    while (which < expected.size() && pictures[k] != expected[which]) ++which;
    ASSERT_LT(which, expected.size()) << "picture " << k << " shows the pointer nowhere expected";
    ++seen[which];
  }
  for (size_t i = 0; i < seen.size(); ++i) EXPECT_GT(seen[i], 0) << "position " << i;
}

// Frames left captured (the output thread finishes them) and frames the pipeline finished
// give the same file.
TEST_F(PipelineX11Test, StoppedRecordingGivesTheSameFileAsAFinishedOne) {
  DrawingWindow window(40, 30, 256, 200, 10);
  ASSERT_TRUE(window.ok());
  ASSERT_TRUE(initialize(window.id(), 30, 0, 0));
  {
    qvtest::RecordingThreads captureOnly(true, false, false);
    captureOnly.stopAfter(std::chrono::milliseconds(700));
  }
  const size_t frames = frameList.size();
  ASSERT_GE(frames, 10u);
  const size_t rgbBytes = static_cast<size_t>(256 * 200 * 4);
  std::vector<Bytes> captured;
  for (size_t i = 0; i < frames; ++i) {
    ASSERT_EQ(frameList[i].status, FRAME_CAPTURED);
    captured.emplace_back(frameList[i].buffer, frameList[i].buffer + rgbBytes);
  }
  uint64_t stoppedResult = 0;
  Bytes stopped;
  ASSERT_TRUE(qvtest::readFileBytes(output("stopped", &stoppedResult), &stopped));
  ASSERT_GT(stoppedResult, 0u);

  // Back to the captured pictures (the writer converted them in place), then let the encode and
  // compress threads finish them.
  for (size_t i = 0; i < frames; ++i) {
    std::copy(captured[i].begin(), captured[i].end(), frameList[i].buffer);
    frameList[i].status = FRAME_CAPTURED;
  }
  setTerminated(0);
  {
    qvtest::RecordingThreads pipeline(false, true, true);
    for (int waited = 0; waited < 100; ++waited) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      platform::MutexLock lock(hMutex_frameList_Change);
      if (frameList[frames - 1].status >= FRAME_KEY) break;
    }
    setTerminated(1);
    pipeline.join();
  }
  for (size_t i = 0; i < frames; ++i) {
    EXPECT_EQ(frameList[i].status, i % 30 == 0 ? FRAME_KEY : FRAME_DELTA) << i;
    EXPECT_EQ(frameList[i].buffer == nullptr, i + 1 < frames) << i;
  }
  uint64_t finishedResult = 0;
  Bytes finished;
  ASSERT_TRUE(qvtest::readFileBytes(output("finished", &finishedResult), &finished));
  EXPECT_EQ(finishedResult, stoppedResult);
  EXPECT_TRUE(finished == stopped);
}

// Unwritable places report 0; the same frames then go whole into a good file.
TEST_F(PipelineX11Test, FailedOutputThenASuccessfulOne) {
  DrawingWindow window(40, 30, 256, 200, 10);
  ASSERT_TRUE(window.ok());
  ASSERT_TRUE(initialize(window.id(), 30, 128, 100));
  qvtest::RecordingThreads threads;
  threads.stopAfter(std::chrono::milliseconds(800));
  const int lastDrawn = window.lastDrawn();
  EXPECT_EQ(OutputThread(const_cast<char*>("/nonexistent-dir/x.qvf")), 0u);
  EXPECT_EQ(OutputThread(const_cast<char*>("/dev/full")), 0u);
  // A streamed pair whose WAV file cannot be created leaves no empty container behind.
  const std::string orphan = tempPath("orphan");
  const QvStreamPaths badWav{orphan.c_str(), "/nonexistent-dir/x.wav"};
  EXPECT_EQ(StreamOutputThread(const_cast<QvStreamPaths*>(&badWav)), QV_OUTPUT_FAILED);
  EXPECT_EQ(getRecordingStatus(), QV_STATUS_CANNOT_OPEN);
  EXPECT_FALSE(qvtest::commandSucceeds("test -e '" + orphan + "'")) << orphan;
  std::remove(orphan.c_str());
  uint64_t result = 0;
  const std::string path = output("after-failures", &result);
  qvtest::QvfFile file;
  std::vector<Bytes> pictures;
  readAndCheck(path, result, &file, &pictures);
  if (HasFatalFailure()) return;
  std::string error;
  const std::vector<int> shown = qvtest::matchDrawings(
      pictures, file.videoPattern(), lastDrawn,
      [&](int n) { return expectedYuy2(drawing(256, 200, n)); }, &error);
  EXPECT_EQ(shown.size(), frameList.size()) << error;
}

// Pictures equal to the one before become repeat records when the host asks for it.
class UnchangedPicturesTest : public PipelineX11Test {
 protected:
  void TearDown() override {
    setRepeatUnchanged(0);
    PipelineX11Test::TearDown();
  }

  // Records `window` for `duration` at 30 fps and writes the file.
  std::string recordWindow(const DrawingWindow& window, bool repeatUnchanged,
                           std::chrono::milliseconds duration, const char* name, uint64_t* result) {
    setRepeatUnchanged(repeatUnchanged ? 1 : 0);
    EXPECT_TRUE(initialize(window.id(), 30, 0, 0));
    qvtest::RecordingThreads threads;
    threads.stopAfter(duration);
    return output(name, result);
  }
};

TEST_F(UnchangedPicturesTest, StillWindowIsKeyRecordsAndRepeats) {
  DrawingWindow window(40, 30, 256, 200, 10);
  ASSERT_TRUE(window.ok());
  window.pause();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  for (const bool repeatUnchanged : {true, false}) {
    SCOPED_TRACE(repeatUnchanged ? "unchanged pictures as repeats" : "every picture stored");
    uint64_t result = 0;
    const std::string path = recordWindow(window, repeatUnchanged, std::chrono::seconds(5),
                                          repeatUnchanged ? "still" : "still-kept", &result);
    // Key records stay on captured frames 0, 30, 60 ...; with the option every other frame is
    // a repeat, like the slots the capture missed.
    std::string pattern = qvtest::expectedPattern(stamps(), 30);
    if (repeatUnchanged) std::replace(pattern.begin(), pattern.end(), 'D', 'R');
    qvtest::QvfFile file;
    std::vector<Bytes> pictures;
    readAndCheck(path, result, &file, &pictures, &pattern);
    if (HasFatalFailure()) return;
    const Bytes still = expectedYuy2(drawing(256, 200, window.lastDrawn()));
    for (size_t k = 0; k < pictures.size(); ++k) EXPECT_TRUE(pictures[k] == still) << k;

    const size_t frames = frameList.size();
    const size_t keys = (frames + 29) / 30;
    EXPECT_EQ(static_cast<size_t>(getUnchangedFrameCount()), repeatUnchanged ? frames - keys : 0);
    // Nothing of an unchanged frame stays in the pool but the picture the next one needs.
    for (size_t i = 1; i < frames && repeatUnchanged; ++i) {
      if (i % 30 != 0) {
        EXPECT_EQ(frameList[i].compressedBuffer, nullptr) << i;
      }
    }
    Finalize();
  }
}

TEST_F(UnchangedPicturesTest, ChangedFramesAreDifferencesAndUnchangedOnesRepeats) {
  // A new drawing about every other frame at 30 fps.
  DrawingWindow window(40, 30, 256, 200, 67);
  ASSERT_TRUE(window.ok());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  uint64_t result = 0;
  const std::string path =
      recordWindow(window, true, std::chrono::seconds(3), "alternate", &result);
  const std::string slots = qvtest::expectedPattern(stamps(), 30);
  qvtest::QvfFile file;
  std::string error;
  ASSERT_TRUE(qvtest::readQvf(path, &file, &error)) << error;
  std::vector<Bytes> pictures;
  ASSERT_TRUE(qvtest::decodePictures(file, &pictures, &error)) << error;
  ASSERT_EQ(pictures.size(), slots.size());
  // Every captured frame decodes to the drawing it showed, whatever its record.
  const std::vector<int> shown = qvtest::matchDrawings(
      pictures, slots, window.lastDrawn(),
      [&](int n) { return expectedYuy2(drawing(256, 200, n)); }, &error);
  ASSERT_EQ(shown.size(), frameList.size()) << error;

  std::string expected;
  size_t frame = 0, changed = 0, unchanged = 0;
  for (char slot : slots) {
    if (slot == 'R') {
      expected += 'R';
      continue;
    }
    char record = 'K';
    if (frame % 30 != 0) record = shown[frame] == shown[frame - 1] ? 'R' : 'D';
    changed += record == 'D';
    unchanged += record == 'R';
    expected += record;
    ++frame;
  }
  EXPECT_EQ(file.videoPattern(), expected);
  EXPECT_GT(changed, 10u);
  EXPECT_GT(unchanged, 10u);
  EXPECT_EQ(static_cast<size_t>(getUnchangedFrameCount()), unchanged);
}

// The pool runs out in each stage in turn. The whole screen is recorded so that one pool block
// holds only a few dozen frames; the capture copies are kept to know what each frame showed.
class PoolExhaustionTest : public PipelineX11Test {
 protected:
  void SetUp() override {
    PipelineX11Test::SetUp();
    window_ = std::make_unique<DrawingWindow>(100, 100, 256, 200, 5);
    ASSERT_TRUE(window_->ok());
  }
  void TearDown() override {
    window_.reset();
    PipelineX11Test::TearDown();
  }

  // Captures until the pool is full; returns the captured RGB pictures.
  std::vector<Bytes> captureUntilFull() {
    qvtest::RecordingThreads captureOnly(true, false, false);
    captureOnly.join();
    EXPECT_TRUE(getTerminated());
    const uint64_t frameBytes =
        static_cast<uint64_t>(captureSetting.captureWidth * captureSetting.captureHeight * 4);
    EXPECT_EQ(captureOnly.captured, mma->totalSize / frameBytes);
    EXPECT_EQ(frameList.size(), captureOnly.captured);
    EXPECT_EQ(getProgress(), 1.0);
    EXPECT_EQ(getRecordingStatus(), QV_STATUS_POOL_FULL);
    std::vector<Bytes> captured;
    for (size_t i = 0; i < frameList.size(); ++i) {
      captured.emplace_back(frameList[i].buffer, frameList[i].buffer + frameBytes);
    }
    return captured;
  }

  void expectFileShows(const std::vector<Bytes>& captured, const char* name) {
    uint64_t result = 0;
    const std::string path = output(name, &result);
    qvtest::QvfFile file;
    std::vector<Bytes> pictures;
    readAndCheck(path, result, &file, &pictures);
    if (HasFatalFailure()) return;
    size_t frame = 0;
    const std::string pattern = file.videoPattern();
    for (size_t k = 0; k < pictures.size(); ++k) {
      if (pattern[k] == 'R') continue;
      ASSERT_LT(frame, captured.size());
      EXPECT_TRUE(pictures[k] == expectedYuy2(captured[frame])) << "frame " << frame;
      ++frame;
    }
    EXPECT_EQ(frame, captured.size());
  }

  // Frames of the list not yet in `state` or beyond.
  size_t framesBefore(int64_t state) {
    platform::MutexLock lock(hMutex_frameList_Change);
    size_t unfinished = 0;
    for (size_t i = 0; i < frameList.size(); ++i) unfinished += frameList[i].status < state;
    return unfinished;
  }

  std::unique_ptr<DrawingWindow> window_;
};

TEST_F(PoolExhaustionTest, CaptureStage) {
  ASSERT_TRUE(initialize(platform::desktopWindow(), 60, 0, 0, 1));
  const std::vector<Bytes> captured = captureUntilFull();
  ASSERT_GE(captured.size(), 2u);
  expectFileShows(captured, "capture-full");
}

TEST_F(PoolExhaustionTest, EncodeStage) {
  // Downscaling needs a new range for every frame, and the capture left none.
  ASSERT_TRUE(initialize(platform::desktopWindow(), 60, 640, 360, 1));
  const std::vector<Bytes> captured = captureUntilFull();
  setTerminated(0);
  qvtest::RecordingThreads encodeOnly(false, true, false);
  encodeOnly.join();
  EXPECT_TRUE(getTerminated());
  for (uint64_t e : encodeOnly.encoded) EXPECT_EQ(e, 0u);
  EXPECT_EQ(frameList[0].status, FRAME_CAPTURED);
  expectFileShows(captured, "encode-full");
}

TEST_F(PoolExhaustionTest, CompressStage) {
  ASSERT_TRUE(initialize(platform::desktopWindow(), 60, 0, 0, 1));
  const std::vector<Bytes> captured = captureUntilFull();
  // Encoded in place, every frame gives half its range back; something else then takes it, so
  // not even the smallest compressed piece finds room.
  setTerminated(0);
  {
    qvtest::RecordingThreads encodeOnly(false, true, false);
    while (framesBefore(FRAME_ENCODED) != 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    setTerminated(1);
  }
  for (uint64_t size = mma->totalSize; size != 0; size /= 2) {
    while (mma->allocateFromBottom(size) != nullptr) {
    }
  }
  setTerminated(0);
  qvtest::RecordingThreads encodeAndCompress(false, true, true);
  encodeAndCompress.join();
  EXPECT_TRUE(getTerminated());
  EXPECT_EQ(encodeAndCompress.compressed, 0u);
  expectFileShows(captured, "compress-full");
}

}  // namespace
