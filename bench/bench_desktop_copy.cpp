// The Desktop Duplication grabber's copy of a mapped monitor picture into the capture bitmap, at
// 1920x1080 and 3840x2160, beside a plain memcpy of the same bytes. The mapped rows carry a
// pitch wider than the picture, as a GPU's staging texture does.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "desktop_copy.h"

namespace {

using quorvane_capture::DesktopRotation;

void copyAt(benchmark::State& state, DesktopRotation rotation) {
  const int32_t width = static_cast<int32_t>(state.range(0));
  const int32_t height = static_cast<int32_t>(state.range(1));
  const bool turned =
      rotation == DesktopRotation::kRotate90 || rotation == DesktopRotation::kRotate270;
  const int64_t mappedWidth = turned ? height : width;
  const int64_t mappedHeight = turned ? width : height;
  const int64_t pitch = (mappedWidth * 4 + 255) / 256 * 256 + 256;
  std::vector<uint8_t> mapped(static_cast<size_t>(pitch * mappedHeight));
  for (size_t k = 0; k < mapped.size(); ++k) mapped[k] = static_cast<uint8_t>(k * 7);
  std::vector<uint8_t> bitmap(static_cast<size_t>(width) * height * 4);
  const quorvane_capture::MappedMonitor monitor{mapped.data(), pitch, width, height, rotation};
  for (auto _ : state) {
    quorvane_capture::copyMonitorRegion(monitor, 0, 0, bitmap.data(), width, height);
    benchmark::DoNotOptimize(bitmap.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * width * height * 4);
}

void BM_DesktopCopy_Identity(benchmark::State& state) { copyAt(state, DesktopRotation::kIdentity); }
void BM_DesktopCopy_Rotate90(benchmark::State& state) { copyAt(state, DesktopRotation::kRotate90); }
void BM_DesktopCopy_Rotate180(benchmark::State& state) {
  copyAt(state, DesktopRotation::kRotate180);
}

// The floor: the same bytes in one memcpy.
void BM_Peer_memcpy(benchmark::State& state) {
  const size_t bytes = static_cast<size_t>(state.range(0) * state.range(1) * 4);
  std::vector<uint8_t> from(bytes, 1), to(bytes);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), bytes);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

#define QV_SIZES ->Args({1920, 1080})->Args({3840, 2160})->Unit(benchmark::kMillisecond)
BENCHMARK(BM_DesktopCopy_Identity) QV_SIZES;
BENCHMARK(BM_DesktopCopy_Rotate90) QV_SIZES;
BENCHMARK(BM_DesktopCopy_Rotate180) QV_SIZES;
BENCHMARK(BM_Peer_memcpy) QV_SIZES;

}  // namespace

BENCHMARK_MAIN();
