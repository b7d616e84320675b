// The encode and compress threads on 60 real 1920x1080 desktop frames, fed to them exactly as
// the capture thread hands frames over (pool range, streaming copy, append as captured), beside
// memcpy, libyuv's conversion and Snappy alone for scale.
//
// Needs Xvfb (started here: Initialize wants a real screen) and zstd; the frames are unpacked
// once into <build>/data/.
#include <benchmark/benchmark.h>
#include <libyuv.h>
#include <snappy.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "../tests/common/test_servers.h"
#include "capture_state.h"
#include "kernels.h"
#include "quorvane_capture.h"
#include "stream_output.h"

// Last: Xlib's macros (None, Status, Bool) would break the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

using namespace quorvane_capture;

constexpr int kW = 1920, kH = 1080, kFrames = 60;
constexpr size_t kRgbBytes = size_t{kW} * kH * 4;
constexpr size_t kYuy2Bytes = size_t{kW} * kH * 2;

std::string directoryOf(const std::string& path) { return path.substr(0, path.rfind('/')); }

// The desktop frames, unpacked next to the build's bin directory on first use.
const std::vector<uint8_t>& desktopFrames() {
  static std::vector<uint8_t> frames = [] {
    char exe[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    const std::string buildDir = directoryOf(directoryOf(std::string(exe, n > 0 ? n : 0)));
    const std::string source = directoryOf(directoryOf(directoryOf(__FILE__))) +
                               "/shared/data/screen-desktop-1920x1080-bgra-60f.raw.zst";
    const std::string target = buildDir + "/data/screen-desktop-1920x1080-bgra-60f.raw";
    std::vector<uint8_t> bytes;
    if (!qvtest::commandSucceeds("test -s '" + target + "'")) {
      qvtest::commandSucceeds("mkdir -p '" + buildDir + "/data' && zstd -q -d -f '" + source +
                              "' -o '" + target + "'");
    }
    FILE* f = std::fopen(target.c_str(), "rb");
    if (f != nullptr) {
      bytes.resize(kRgbBytes * kFrames);
      if (std::fread(bytes.data(), 1, bytes.size(), f) != bytes.size()) bytes.clear();
      std::fclose(f);
    }
    if (bytes.empty())
      std::fprintf(stderr, "cannot read %s (from %s)\n", target.c_str(), source.c_str());
    return bytes;
  }();
  return frames;
}

const uint8_t* desktopFrame(int i) { return desktopFrames().data() + kRgbBytes * (i % kFrames); }

// Gives everything a pass took back to the pool and empties the list.
void resetRecording() {
  for (size_t i = 0; i < frameList.size(); ++i) {
    if (frameList[i].buffer != nullptr) mma->release(frameList[i].buffer);
    if (frameList[i].compressedBuffer != nullptr) mma->release(frameList[i].compressedBuffer);
  }
  frameList.clear();
  setTerminated(0);
  resetRecordingState();
}

// Processor time of the calling thread, in seconds.
double threadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// A real file on the build's disk for the streaming writer.
std::string streamPath() {
  char exe[4096] = {};
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  return directoryOf(directoryOf(std::string(exe, n > 0 ? n : 0))) + "/bench-stream.qvf";
}

bool initializeScreen(int64_t outputWidth, int64_t outputHeight) {
  static qvtest::XvfbServer xvfb(kW, kH);
  if (!xvfb.running() || desktopFrames().empty()) return false;
  CaptureSetting s{};
  s.frameRate = 60;
  s.targetWindow = platform::desktopWindow();
  s.outputWidth = outputWidth;
  s.outputHeight = outputHeight;
  s.memorySize = uint64_t{1600} << 20;
  s.affinityMask = getAffinityMask();
  s.useAVX = 1;
  Initialize(&s);
  if (getInitializeStatus() != QV_INIT_OK || captureSetting.captureWidth != kW ||
      captureSetting.captureHeight != kH) {
    std::fprintf(stderr, "Initialize: status %d, %lldx%lld\n", getInitializeStatus(),
                 static_cast<long long>(captureSetting.captureWidth),
                 static_cast<long long>(captureSetting.captureHeight));
    return false;
  }
  return true;
}

// Frames per iteration: ten passes over the 60 frames, so that the 100 ms polls at the start
// and end of a pass weigh as little as they do in a recording.
constexpr int kFramesPerPass = 600;

// streamed: the streaming writer writes every record to a real file as the frames are
// compressed; a pass then ends when the file is complete on disk.
void pipeline(benchmark::State& state, int64_t outputWidth, int64_t outputHeight,
              bool streamed = false) {
  if (!initializeScreen(outputWidth, outputHeight)) {
    state.SkipWithError("no Xvfb, zstd or frame data");
    return;
  }
  const int32_t encodeThreads = getEncodeThreadCount();
  uint64_t compressedBytes = 0, frames = 0;
  double writerSeconds = 0.0;
  const std::string path = streamPath();
  const QvStreamPaths paths{path.c_str(), nullptr};
  for (auto _ : state) {
    state.PauseTiming();
    resetRecording();
    state.ResumeTiming();
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    std::thread writer;
    if (streamed) {
      writer = std::thread([&paths, &writerSeconds] {
        const double begin = threadSeconds();
        StreamOutputThread(const_cast<QvStreamPaths*>(&paths));
        writerSeconds += threadSeconds() - begin;
      });
    }
    for (int32_t k = 0; k < encodeThreads; ++k) {
      threads.emplace_back(
          [k] { EncodeThread(reinterpret_cast<void*>(static_cast<intptr_t>(k))); });
    }
    threads.emplace_back([] { CompressThread(nullptr); });
    // The capture thread's hand-over, without its pacing: as fast as the pipeline takes it.
    // The feeder stays at most kAhead frames ahead of the compress thread, as a real capture
    // at the frame rate does: running further ahead would fill every block with pictures and
    // leave no room for a compressed one.
    constexpr int kAhead = 96;
    int finished = 0;
    for (int i = 0; i < kFramesPerPass; ++i) {
      for (;;) {
        {
          platform::MutexLock lock(hMutex_frameList_Change);
          while (finished < i && frameList[finished].status >= FRAME_KEY) ++finished;
        }
        if (i - finished <= kAhead) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      uint8_t* range;
      while ((range = mma->allocateFromTop(kRgbBytes)) == nullptr) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      memcpy_sse2(range, desktopFrame(i), static_cast<int64_t>(kRgbBytes));
      const frame record{i * 1000 / 60, range, nullptr, 0, FRAME_CAPTURED};
      platform::MutexLock lock(hMutex_frameList_Add);
      frameList.push_back(record);
    }
    for (;;) {
      {
        platform::MutexLock lock(hMutex_frameList_Change);
        if (frameList[kFramesPerPass - 1].status >= FRAME_KEY) break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (streamed) {
      setTerminated(1);
      writer.join();
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(seconds);
    setTerminated(1);
    for (std::thread& t : threads) t.join();
    for (int i = 0; i < kFramesPerPass; ++i) compressedBytes += frameList[i].compressedSize;
    frames += kFramesPerPass;
  }
  state.counters["frames/s"] =
      benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
  state.counters["bytes/frame"] =
      static_cast<double>(compressedBytes) / static_cast<double>(frames);
  state.counters["encode_threads"] = encodeThreads;
  if (streamed) {
    state.counters["writer_ms/frame"] = writerSeconds * 1000.0 / static_cast<double>(frames);
    std::remove(path.c_str());
  }
  resetRecording();
  Finalize();
}

void BM_Pipeline_1920x1080(benchmark::State& state) { pipeline(state, 0, 0); }
void BM_Pipeline_1920x1080_To_1280x720(benchmark::State& state) { pipeline(state, 1280, 720); }
void BM_Pipeline_1920x1080_Streamed(benchmark::State& state) { pipeline(state, 0, 0, true); }

// --- A whole recording: 1920x1080 at 60 fps for 10 s ---

// Replays the 60 desktop frames at 30 fps in a full-screen window, like a busy desktop.
class DesktopReplay {
 public:
  DesktopReplay() : thread_([this] { run(); }) {}
  ~DesktopReplay() {
    stop_ = true;
    thread_.join();
  }

 private:
  void run() {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) return;
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    const Window window = XCreateWindow(display, DefaultRootWindow(display), 0, 0, kW, kH, 0, 24,
                                        InputOutput, DefaultVisual(display, DefaultScreen(display)),
                                        CWOverrideRedirect, &attributes);
    XMapRaised(display, window);
    GC gc = XCreateGC(display, window, 0, nullptr);
    auto next = std::chrono::steady_clock::now();
    for (int i = 0; !stop_; ++i) {
      XImage* image = XCreateImage(
          display, DefaultVisual(display, DefaultScreen(display)), 24, ZPixmap, 0,
          const_cast<char*>(reinterpret_cast<const char*>(desktopFrame(i))), kW, kH, 32, kW * 4);
      XPutImage(display, window, gc, image, 0, 0, 0, 0, kW, kH);
      XSync(display, False);
      image->data = nullptr;
      XDestroyImage(image);
      next += std::chrono::milliseconds(33);
      std::this_thread::sleep_until(next);
    }
    XFreeGC(display, gc);
    XDestroyWindow(display, window);
    XCloseDisplay(display);
  }

  std::atomic<bool> stop_{false};
  std::thread thread_;
};

void BM_Recording_1920x1080_60fps_10s(benchmark::State& state) {
  if (!initializeScreen(0, 0)) {
    state.SkipWithError("no Xvfb, zstd or frame data");
    return;
  }
  for (auto _ : state) {
    state.PauseTiming();
    resetRecording();
    DesktopReplay replay;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    state.ResumeTiming();

    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    threads.emplace_back([] { CaptureThread(nullptr); });
    for (int32_t k = 0; k < getEncodeThreadCount(); ++k) {
      threads.emplace_back(
          [k] { EncodeThread(reinterpret_cast<void*>(static_cast<intptr_t>(k))); });
    }
    threads.emplace_back([] { CompressThread(nullptr); });
    std::this_thread::sleep_for(std::chrono::seconds(10));
    const uint64_t poolUsed = mma->getUsedSize();
    setTerminated(1);
    for (std::thread& t : threads) t.join();
    const double recorded =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    const size_t frames = frameList.size();
    size_t unfinished = 0, lateGaps = 0;
    int32_t largestGap = 0;
    for (size_t i = 0; i < frames; ++i) {
      if (frameList[i].status < FRAME_KEY) ++unfinished;
      if (i > 0) {
        const int32_t gap = frameList[i].timeStamp - frameList[i - 1].timeStamp;
        largestGap = std::max(largestGap, gap);
        if (gap >= 2 * 1000 / 60) ++lateGaps;
      }
    }
    const std::string path = "/tmp/qv-bench-recording-" + std::to_string(getpid()) + ".qvf";
    const auto outputStart = std::chrono::steady_clock::now();
    const uint64_t records = OutputThread(const_cast<char*>(path.c_str()));
    const double outputSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - outputStart).count();
    uint64_t payload = 0;
    for (size_t i = 0; i < frames; ++i) payload += frameList[i].compressedSize;
    std::remove(path.c_str());
    state.SetIterationTime(recorded);

    state.counters["captured"] = static_cast<double>(frames);
    state.counters["slots"] = static_cast<double>(records);
    state.counters["repeats"] = static_cast<double>(records - frames);
    state.counters["gaps>=2periods"] = static_cast<double>(lateGaps);
    state.counters["largest_gap_ms"] = largestGap;
    state.counters["unfinished_at_stop"] = static_cast<double>(unfinished);
    state.counters["pool_MB/s"] = static_cast<double>(poolUsed) / 1e6 / 10.0;
    state.counters["output_s"] = outputSeconds;
    // Frames the writer compressed itself have no stored size: count from the pipeline's.
    state.counters["bytes/frame"] =
        frames > unfinished
            ? static_cast<double>(payload) / static_cast<double>(frames - unfinished)
            : 0.0;
  }
  resetRecording();
  Finalize();
}

// --- Peers for scale, per frame ---

void BM_Memcpy_Frame(benchmark::State& state) {
  std::vector<uint8_t> dst(kRgbBytes);
  int i = 0;
  for (auto _ : state) {
    std::memcpy(dst.data(), desktopFrame(i++), kRgbBytes);
    benchmark::ClobberMemory();
  }
  state.counters["frames/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_Libyuv_ARGBToYUY2_Frame(benchmark::State& state) {
  std::vector<uint8_t> dst(kYuy2Bytes);
  int i = 0;
  for (auto _ : state) {
    libyuv::ARGBToYUY2(desktopFrame(i++), kW * 4, dst.data(), kW * 2, kW, kH);
    benchmark::ClobberMemory();
  }
  state.counters["frames/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// The per-frame work of the two stages on one core: conversion, difference, Snappy.
void BM_EncodeAndCompress_OneCore(benchmark::State& state) {
  chooseKernels(1);
  std::vector<uint8_t> current(kRgbBytes), previous(kYuy2Bytes), delta(kYuy2Bytes);
  std::vector<char> out(snappy::MaxCompressedLength(kYuy2Bytes));
  RGB32ToYUY2(previous.data(), desktopFrame(0), kW, kH);
  int i = 1;
  uint64_t bytes = 0;
  for (auto _ : state) {
    std::memcpy(current.data(), desktopFrame(i++), kRgbBytes);
    RGB32ToYUY2(current.data(), current.data(), kW, kH);
    CalcDeltaFrame_SSE2(delta.data(), current.data(), previous.data(), kW, kH);
    size_t length = 0;
    snappy::RawCompress(reinterpret_cast<const char*>(delta.data()), kYuy2Bytes, out.data(),
                        &length);
    bytes += length;
    std::memcpy(previous.data(), current.data(), kYuy2Bytes);
  }
  state.counters["frames/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["bytes/frame"] =
      static_cast<double>(bytes) / static_cast<double>(state.iterations());
}

BENCHMARK(BM_Pipeline_1920x1080)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Pipeline_1920x1080_Streamed)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Pipeline_1920x1080_To_1280x720)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Recording_1920x1080_60fps_10s)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK(BM_Memcpy_Frame)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Libyuv_ARGBToYUY2_Frame)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeAndCompress_OneCore)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
