// The encode and compress threads on 60 real 1920x1080 desktop frames (and on 3840x2160 frames
// tiled from them), fed to them exactly as the capture thread hands frames over (pool range,
// streaming copy, append as captured), beside the same work on one core, memcpy, libyuv's
// conversion and Snappy alone for scale; a still screen with and without repeat records for
// unchanged pictures; and whole recordings of a busy Xvfb screen.
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
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "../tests/common/pipeline_support.h"
#include "../tests/common/test_servers.h"
#include "capture_state.h"
#include "frame_stages.h"
#include "kernels.h"
#include "quorvane_capture.h"
#include "stream_output.h"

// Last: Xlib's macros (None, Status, Bool) would break the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

using namespace quorvane_capture;

constexpr int kW = 1920, kH = 1080, kFrames = 60;
// The screen: room for the 3840x2160 pictures; the 1920x1080 ones are its top left corner.
constexpr int kScreenW = 3840, kScreenH = 2160;
constexpr size_t kRgbBytes = size_t{kW} * kH * 4;
constexpr size_t kYuy2Bytes = size_t{kW} * kH * 2;

std::string directoryOf(const std::string& path) { return path.substr(0, path.rfind('/')); }

// The desktop frames, unpacked next to the build's bin directory on first use.
const std::vector<uint8_t>& desktopFrames() {
  static std::vector<uint8_t> frames = [] {
    char exe[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    const std::string buildDir = directoryOf(directoryOf(std::string(exe, n > 0 ? n : 0)));
    const std::string source = QV_SCREEN_FRAMES_ZST;
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

// 3840x2160 pictures: four different desktop frames, the right ones mirrored and the lower ones
// upside down, so that no quarter repeats another within Snappy's reach. Consecutive pictures
// change as consecutive desktop frames do.
constexpr int kFrames4K = 8;
const uint8_t* tiledFrame(int i) {
  static std::vector<uint8_t> frames = [] {
    std::vector<uint8_t> bytes;
    if (desktopFrames().empty()) return bytes;
    const size_t frameBytes = kRgbBytes * 4;
    bytes.resize(frameBytes * kFrames4K);
    for (int j = 0; j < kFrames4K; ++j) {
      uint8_t* out = bytes.data() + frameBytes * j;
      for (int y = 0; y < kScreenH; ++y) {
        for (int x = 0; x < kScreenW; ++x) {
          const int tile = (y >= kH ? 2 : 0) + (x >= kW ? 1 : 0);
          const int sx = x >= kW ? kScreenW - 1 - x : x;
          const int sy = y >= kH ? kScreenH - 1 - y : y;
          std::memcpy(out + (static_cast<size_t>(y) * kScreenW + x) * 4,
                      desktopFrame(j + 15 * tile) + (static_cast<size_t>(sy) * kW + sx) * 4, 4);
        }
      }
    }
    return bytes;
  }();
  return frames.empty() ? nullptr : frames.data() + kRgbBytes * 4 * (i % kFrames4K);
}

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

// The picture size and the unchanged-picture option of a run.
struct Recording {
  int width = kW;
  int height = kH;
  bool repeatUnchanged = false;
  int outputWidth = 0;
  int outputHeight = 0;
  // The streaming writer writes every record to a real file as the frames are compressed; a
  // pass then ends when the file is complete on disk.
  bool streamed = false;
};

bool initializeScreen(const Recording& r) {
  static qvtest::XvfbServer xvfb(kScreenW, kScreenH);
  if (!xvfb.running() || desktopFrames().empty()) return false;
  CaptureSetting s{};
  s.frameRate = 60;
  s.targetWindow = platform::desktopWindow();
  s.captureWidth = r.width;
  s.captureHeight = r.height;
  s.outputWidth = r.outputWidth;
  s.outputHeight = r.outputHeight;
  s.memorySize = uint64_t{1600} << 20;
  s.affinityMask = getAffinityMask();
  s.useAVX = 1;
  setRepeatUnchanged(r.repeatUnchanged ? 1 : 0);
  Initialize(&s);
  if (getInitializeStatus() != QV_INIT_OK || captureSetting.captureWidth != r.width ||
      captureSetting.captureHeight != r.height) {
    std::fprintf(stderr, "Initialize: status %d, %lldx%lld\n", getInitializeStatus(),
                 static_cast<long long>(captureSetting.captureWidth),
                 static_cast<long long>(captureSetting.captureHeight));
    return false;
  }
  return true;
}

// Frames from the front of the list that are compressed; `from` is where the last count ended.
size_t compressedRun(size_t from, size_t listed) {
  platform::MutexLock lock(hMutex_frameList_Change);
  while (from < listed && frameList[from].status >= FRAME_KEY) ++from;
  return from;
}

// Frames per iteration: ten passes over the 60 frames, so that the 100 ms polls at the start
// and end of a pass weigh as little as they do in a recording.
constexpr int kFramesPerPass = 600;

// Feeds kFramesPerPass pictures to the encode and compress threads as fast as the pool takes
// them and times until every one is compressed.
void pipeline(benchmark::State& state, const Recording& r,
              const std::function<const uint8_t*(int)>& picture) {
  if (!initializeScreen(r) || picture(0) == nullptr) {
    state.SkipWithError("no Xvfb, zstd or frame data");
    return;
  }
  const size_t rgbBytes = static_cast<size_t>(r.width) * r.height * 4;
  const int32_t encodeThreads = getEncodeThreadCount();
  uint64_t compressedBytes = 0, frames = 0, unchanged = 0;
  double writerSeconds = 0.0;
  const std::string path = streamPath();
  const QvStreamPaths paths{path.c_str(), nullptr};
  for (auto _ : state) {
    state.PauseTiming();
    resetRecording();
    const uint64_t unchangedBefore = static_cast<uint64_t>(getUnchangedFrameCount());
    state.ResumeTiming();
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    std::thread writer;
    if (r.streamed) {
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
    // The capture thread's hand-over, without its pacing: as fast as the stages take the
    // frames, with a backlog of at most a quarter of the pool (a full pool would stop the
    // recording).
    const size_t backlog = std::max<size_t>(2, mma->totalSize / 4 / rgbBytes);
    size_t done = 0;
    for (int i = 0; i < kFramesPerPass; ++i) {
      while (static_cast<size_t>(i) - (done = compressedRun(done, static_cast<size_t>(i))) >=
             backlog) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
      uint8_t* range;
      while ((range = mma->allocateFromTop(rgbBytes)) == nullptr) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      memcpy_sse2(range, picture(i), static_cast<int64_t>(rgbBytes));
      const frame record{i * 1000 / 60, range, nullptr, 0, FRAME_CAPTURED};
      {
        platform::MutexLock lock(hMutex_frameList_Add);
        frameList.push_back(record);
      }
      platform::notifySignal(frameListSignal);
    }
    // Frames may finish out of order: done when the whole list is.
    while ((done = compressedRun(done, kFramesPerPass)) < kFramesPerPass) {
      if (getTerminated()) {
        std::fprintf(stderr, "stopped with status %d at frame %zu\n", getRecordingStatus(), done);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (r.streamed) {
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
    unchanged += static_cast<uint64_t>(getUnchangedFrameCount()) - unchangedBefore;
  }
  state.counters["frames/s"] =
      benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
  state.counters["bytes/frame"] =
      static_cast<double>(compressedBytes) / static_cast<double>(frames);
  // The container's size per minute at 60 fps: each record's 24-byte header and payload.
  state.counters["file_MB/min"] =
      (static_cast<double>(compressedBytes) / static_cast<double>(frames) + 24.0) * 3600.0 / 1e6;
  state.counters["unchanged"] = static_cast<double>(unchanged) / static_cast<double>(frames);
  state.counters["encode_threads"] = encodeThreads;
  if (r.streamed) {
    state.counters["writer_ms/frame"] = writerSeconds * 1000.0 / static_cast<double>(frames);
    std::remove(path.c_str());
  }
  resetRecording();
  Finalize();
  setRepeatUnchanged(0);
}

// The encode and compress stages alone: half a pool of captured frames is listed before the
// threads start, and the time runs until all of them are compressed. The hand-over above is one
// thread's streaming copy per frame, which on a busy machine can be slower than the stages.
void stages(benchmark::State& state, const Recording& r,
            const std::function<const uint8_t*(int)>& picture) {
  if (!initializeScreen(r) || picture(0) == nullptr) {
    state.SkipWithError("no Xvfb, zstd or frame data");
    return;
  }
  const size_t rgbBytes = static_cast<size_t>(r.width) * r.height * 4;
  const size_t listed = mma->totalSize / 2 / rgbBytes;
  uint64_t frames = 0;
  for (auto _ : state) {
    state.PauseTiming();
    resetRecording();
    for (size_t i = 0; i < listed; ++i) {
      uint8_t* range = mma->allocateFromTop(rgbBytes);
      memcpy_sse2(range, picture(static_cast<int>(frames + i)), static_cast<int64_t>(rgbBytes));
      frameList.push_back(
          frame{static_cast<int32_t>(i * 1000 / 60), range, nullptr, 0, FRAME_CAPTURED});
    }
    state.ResumeTiming();
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int32_t k = 0; k < getEncodeThreadCount(); ++k) {
      threads.emplace_back(
          [k] { EncodeThread(reinterpret_cast<void*>(static_cast<intptr_t>(k))); });
    }
    threads.emplace_back([] { CompressThread(nullptr); });
    for (size_t done = 0; (done = compressedRun(done, listed)) < listed && !getTerminated();) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    setTerminated(1);
    for (std::thread& t : threads) t.join();
    frames += listed;
  }
  state.counters["frames/s"] =
      benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
  resetRecording();
  Finalize();
}

void BM_Pipeline_1920x1080(benchmark::State& state) { pipeline(state, {}, desktopFrame); }
void BM_PipelineStages_1920x1080(benchmark::State& state) { stages(state, {}, desktopFrame); }
void BM_PipelineStages_3840x2160(benchmark::State& state) {
  stages(state, {kScreenW, kScreenH, false}, tiledFrame);
}
void BM_Pipeline_1920x1080_RepeatUnchanged(benchmark::State& state) {
  pipeline(state, {kW, kH, true}, desktopFrame);
}
void BM_Pipeline_1920x1080_Streamed(benchmark::State& state) {
  Recording r;
  r.streamed = true;
  pipeline(state, r, desktopFrame);
}
void BM_Pipeline_1920x1080_To_1280x720(benchmark::State& state) {
  pipeline(state, {kW, kH, false, 1280, 720}, desktopFrame);
}
void BM_Pipeline_3840x2160(benchmark::State& state) {
  pipeline(state, {kScreenW, kScreenH, false}, tiledFrame);
}
// A still screen: the same picture every frame.
void BM_StillScreen_1920x1080(benchmark::State& state) {
  pipeline(state, {}, [](int) { return desktopFrame(0); });
}
void BM_StillScreen_1920x1080_RepeatUnchanged(benchmark::State& state) {
  pipeline(state, {kW, kH, true}, [](int) { return desktopFrame(0); });
}

// --- Whole recordings: 1920x1080 at 60 fps ---

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

// What a recording of the replayed desktop gave.
struct RecordingFigures {
  size_t frames = 0;
  size_t repeats = 0;  // slots the capture missed
  int32_t largestGap = 0;
  size_t largestBacklog = 0;  // frames captured and not yet compressed
  double largestPoolMB = 0;
  bool poolFull = false;
};

// Records the replayed desktop for `seconds` at 60 fps. With `ownStages` the encode and compress
// threads process the frames; without, a stand-in gives every frame back as soon as it is listed,
// which shows what the capture achieves on this machine when our processing costs nothing.
RecordingFigures recordDesktop(double seconds, bool ownStages) {
  resetRecording();
  RecordingFigures r;
  DesktopReplay replay;
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  std::vector<std::thread> threads;
  threads.emplace_back([] { CaptureThread(nullptr); });
  if (ownStages) {
    for (int32_t k = 0; k < getEncodeThreadCount(); ++k) {
      threads.emplace_back(
          [k] { EncodeThread(reinterpret_cast<void*>(static_cast<intptr_t>(k))); });
    }
    threads.emplace_back([] { CompressThread(nullptr); });
  } else {
    threads.emplace_back([] {
      for (size_t next = 0; !getTerminated();) {
        const size_t listed = static_cast<size_t>(getCapturedFrameCount());
        for (; next < listed; ++next) {
          platform::MutexLock lock(hMutex_frameList_Change);
          mma->release(frameList[next].buffer);
          frameList[next].buffer = nullptr;
          frameList[next].status = FRAME_KEY;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
  }
  const auto start = std::chrono::steady_clock::now();
  size_t done = 0;
  while (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() <
             seconds &&
         !getTerminated()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const size_t listed = static_cast<size_t>(getCapturedFrameCount());
    done = compressedRun(done, listed);
    r.largestBacklog = std::max(r.largestBacklog, listed - done);
    r.largestPoolMB = std::max(r.largestPoolMB, static_cast<double>(mma->getUsedSize()) / 1e6);
  }
  r.poolFull = getTerminated();
  setTerminated(1);
  for (std::thread& t : threads) t.join();

  std::vector<int32_t> stamps;
  for (size_t i = 0; i < frameList.size(); ++i) {
    stamps.push_back(frameList[i].timeStamp);
    if (i > 0) r.largestGap = std::max(r.largestGap, stamps[i] - stamps[i - 1]);
  }
  const std::string pattern = qvtest::expectedPattern(stamps, 60);
  r.frames = stamps.size();
  r.repeats = static_cast<size_t>(std::count(pattern.begin(), pattern.end(), 'R'));
  return r;
}

// Arguments: seconds, and 1 when a busy loop in another process occupies one core. The capture
// alone is recorded first under the same load: the repeats it needs too are not ours.
void BM_Recording_1920x1080_60fps(benchmark::State& state) {
  if (!initializeScreen({})) {
    state.SkipWithError("no Xvfb, zstd or frame data");
    return;
  }
  const double seconds = static_cast<double>(state.range(0));
  pid_t busy = state.range(1) != 0 ? qvtest::spawn({"sh", "-c", "while :; do :; done"}) : -1;
  for (auto _ : state) {
    state.PauseTiming();
    const RecordingFigures alone = recordDesktop(seconds, false);
    state.ResumeTiming();
    const RecordingFigures r = recordDesktop(seconds, true);
    state.SetIterationTime(seconds);
    state.counters["captured"] = static_cast<double>(r.frames);
    state.counters["repeats"] = static_cast<double>(r.repeats);
    state.counters["repeats_capture_alone"] = static_cast<double>(alone.repeats);
    state.counters["repeats_ours"] =
        r.repeats > alone.repeats ? static_cast<double>(r.repeats - alone.repeats) : 0.0;
    state.counters["largest_gap_ms"] = r.largestGap;
    state.counters["largest_backlog_frames"] = static_cast<double>(r.largestBacklog);
    state.counters["largest_pool_MB"] = r.largestPoolMB;
    state.counters["pool_full"] = r.poolFull ? 1 : 0;
  }
  qvtest::stopProcess(busy);
  resetRecording();
  Finalize();
}

// --- Peers for scale, per frame ---

// The desktop frames, unpacked before the timing starts; false (the run skipped) without them.
bool framesLoaded(benchmark::State& state) {
  if (!desktopFrames().empty()) return true;
  state.SkipWithError("no zstd or frame data");
  return false;
}

void BM_Memcpy_Frame(benchmark::State& state) {
  if (!framesLoaded(state)) return;
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
  if (!framesLoaded(state)) return;
  std::vector<uint8_t> dst(kYuy2Bytes);
  int i = 0;
  for (auto _ : state) {
    libyuv::ARGBToYUY2(desktopFrame(i++), kW * 4, dst.data(), kW * 2, kW, kH);
    benchmark::ClobberMemory();
  }
  state.counters["frames/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// The per-frame work of the stages on one core, with the functions the threads run: the
// capture's copy into a picture, conversion, then the difference and Snappy.
void BM_EncodeAndCompress_OneCore(benchmark::State& state) {
  chooseKernels(1);
  if (!framesLoaded(state)) return;
  PictureGeometry g;
  g.captureWidth = g.outputWidth = kW;
  g.captureHeight = g.outputHeight = kH;
  g.rgbOutputBytes = kRgbBytes;
  g.yuy2Bytes = kYuy2Bytes;
  g.compressedCapacity = snappy::MaxCompressedLength(kYuy2Bytes);
  std::vector<uint8_t> current(kRgbBytes), previous(kYuy2Bytes), piece(kDifferenceScratchBytes);
  std::vector<uint8_t> out(g.compressedCapacity);
  RGB32ToYUY2(previous.data(), desktopFrame(0), kW, kH);
  int i = 1;
  uint64_t bytes = 0;
  for (auto _ : state) {
    std::memcpy(current.data(), desktopFrame(i++), kRgbBytes);
    convertPicture(g, current.data(), nullptr, current.data());
    bytes += compressPicture(g, false, current.data(), previous.data(), piece.data(), out.data());
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
BENCHMARK(BM_Pipeline_1920x1080_RepeatUnchanged)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Pipeline_1920x1080_To_1280x720)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Pipeline_3840x2160)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PipelineStages_1920x1080)
    ->UseManualTime()
    ->Iterations(6)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PipelineStages_3840x2160)
    ->UseManualTime()
    ->Iterations(8)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StillScreen_1920x1080)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StillScreen_1920x1080_RepeatUnchanged)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Recording_1920x1080_60fps)
    ->Args({10, 0})
    ->Args({60, 1})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK(BM_Memcpy_Frame)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Libyuv_ARGBToYUY2_Frame)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeAndCompress_OneCore)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
