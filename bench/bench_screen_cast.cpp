// The screen cast of Wayland desktops beside the X11 grab, at 1920x1080.
//
// BM_StreamPictureCopy: our work per picture the stream delivers, the copy out of the shared
// buffer (a memfd mapping, as PipeWire hands it over) into the cast's newest picture.
// BM_PortalGrab: the live path on a desktop with the screen-cast portal (run inside
// tests/wayland/portal_stack.sh, whose client then redraws without pause): the copy of each new
// picture into the capture bitmap, timed per picture; the counter pictures_per_s is what the
// desktop delivered while it ran. BM_X11Grab: the X11 grab of the root window (run with DISPLAY
// on a 1920x1080 X server). The live benchmarks say why they skip when their desktop is missing.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "linux/screen_portal.h"
#include "platform.h"
#include "quorvane_capture.h"

namespace {

using quorvane_capture::platform::ScreenGrabber;
constexpr int kWidth = 1920, kHeight = 1080;

void BM_StreamPictureCopy(benchmark::State& state) {
  const size_t bytes = size_t{kWidth} * kHeight * 4;
  const int fd = memfd_create("bench-picture", 0);
  if (fd < 0 || ftruncate(fd, static_cast<off_t>(bytes)) != 0) {
    state.SkipWithError("no memfd");
    return;
  }
  auto* shared =
      static_cast<uint8_t*>(mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
  for (size_t i = 0; i < bytes; ++i) shared[i] = static_cast<uint8_t>(i * 7 + (i >> 12));
  std::vector<uint8_t> newest(bytes);
  const bool swap = state.range(0) != 0;
  for (auto _ : state) {
    quorvane_capture::platform::copyStreamPicture(shared, kWidth * 4, kWidth, kHeight, swap,
                                                  newest.data());
    benchmark::DoNotOptimize(newest.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
  munmap(shared, bytes);
  close(fd);
}
BENCHMARK(BM_StreamPictureCopy)
    ->ArgName("swap_red_blue")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond);

void toggleAnimation() {
  if (const char* pid = std::getenv("QV_BANDS_PID")) kill(std::atoi(pid), SIGUSR2);
}

void BM_PortalGrab(benchmark::State& state) {
  if (std::getenv("WAYLAND_DISPLAY") == nullptr || probeScreenCast(nullptr) != QV_CAST_OK) {
    state.SkipWithError("no screen-cast portal (run inside tests/wayland/portal_stack.sh)");
    return;
  }
  if (openScreenCast(0) != QV_CAST_OK) {
    state.SkipWithError("the screen cast did not open");
    return;
  }
  ScreenGrabber grabber;
  if (!grabber.open(quorvane_capture::platform::desktopWindow(), true, kWidth, kHeight)) {
    closeScreenCast();
    state.SkipWithError("the cast is not 1920x1080");
    return;
  }
  toggleAnimation();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const uint64_t firstFrames = getScreenCastFrames();
  const auto start = std::chrono::steady_clock::now();
  uint64_t seen = firstFrames;
  for (auto _ : state) {
    state.PauseTiming();
    while (getScreenCastFrames() == seen)
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    seen = getScreenCastFrames();
    state.ResumeTiming();
    benchmark::DoNotOptimize(grabber.grab(0, 0));
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  state.counters["pictures_per_s"] =
      static_cast<double>(getScreenCastFrames() - firstFrames) / seconds;
  toggleAnimation();
  grabber.close();
  closeScreenCast();
}
BENCHMARK(BM_PortalGrab)->Unit(benchmark::kMicrosecond)->Iterations(120);

void BM_X11Grab(benchmark::State& state) {
  ScreenGrabber grabber;
  if (std::getenv("DISPLAY") == nullptr || !quorvane_capture::platform::displayAvailable() ||
      !grabber.open(quorvane_capture::platform::desktopWindow(), true, kWidth, kHeight)) {
    state.SkipWithError("no 1920x1080 X server (set DISPLAY)");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(grabber.grab(0, 0));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kWidth * kHeight * 4);
}
BENCHMARK(BM_X11Grab)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
