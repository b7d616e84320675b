// Pixel kernels beside their peers on 1080p frames: libyuv's conversion and box scaling,
// swscale's area scaling, memcpy, and the scalar reference.
#include <benchmark/benchmark.h>
#include <libyuv.h>

#include <cstring>
#include <random>
#include <vector>

#ifdef QV_HAVE_SWSCALE
extern "C" {
#include <libswscale/swscale.h>
}
#endif

#include "kernels.h"
#include "quorvane_capture.h"
#include "reference.h"

namespace {

using namespace quorvane_capture;

constexpr int kW = 1920, kH = 1080, kOutW = 1280, kOutH = 720;
constexpr size_t kRgbBytes = size_t{kW} * kH * 4;
constexpr size_t kYuy2Bytes = size_t{kW} * kH * 2;

std::vector<uint8_t> randomFrame(size_t bytes, uint32_t seed) {
  std::vector<uint8_t> v(bytes);
  std::mt19937 rng(seed);
  for (auto& b : v) b = static_cast<uint8_t>(rng() >> 24);
  return v;
}

const std::vector<uint8_t>& rgbFrame() {
  static const std::vector<uint8_t> frame = randomFrame(kRgbBytes, 1);
  return frame;
}

void setBytes(benchmark::State& state, size_t bytes) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

// --- RGB32 to YUY2, 1920x1080 ---

void convertWith(benchmark::State& state, RGB32ToYUY2Function f) {
  const auto& src = rgbFrame();
  std::vector<uint8_t> dst(kYuy2Bytes);
  for (auto _ : state) {
    f(dst.data(), src.data(), kW, kH);
    benchmark::ClobberMemory();
  }
  setBytes(state, kRgbBytes);
}

void BM_RGB32ToYUY2_Installed(benchmark::State& state) {
  chooseKernels(1);
  convertWith(state, RGB32ToYUY2);
}
void BM_RGB32ToYUY2_SSE2(benchmark::State& state) { convertWith(state, RGB32ToYUY2_SSE2); }
void BM_RGB32ToYUY2_AVX(benchmark::State& state) {
  if (!supportAVX()) return state.SkipWithError("no AVX");
  convertWith(state, RGB32ToYUY2_AVX);
}
void BM_RGB32ToYUY2_AVX2(benchmark::State& state) {
  if (!supportAVX2()) return state.SkipWithError("no AVX2");
  convertWith(state, RGB32ToYUY2_AVX2);
}
void BM_RGB32ToYUY2_AVX512(benchmark::State& state) {
  if (!supportAVX512()) return state.SkipWithError("no AVX-512");
  convertWith(state, RGB32ToYUY2_AVX512);
}
void BM_RGB32ToYUY2_ScalarReference(benchmark::State& state) {
  convertWith(state, [](uint8_t* d, const uint8_t* s, int64_t w, int64_t h) {
    reference::rgb32ToYUY2(d, s, w, h, reference::SumOrder::kSse2);
  });
}
void BM_Peer_libyuv_ARGBToYUY2(benchmark::State& state) {
  const auto& src = rgbFrame();
  std::vector<uint8_t> dst(kYuy2Bytes);
  for (auto _ : state) {
    libyuv::ARGBToYUY2(src.data(), kW * 4, dst.data(), kW * 2, kW, kH);
    benchmark::ClobberMemory();
  }
  setBytes(state, kRgbBytes);
}

// --- Area downscale 1920x1080 -> 1280x720 (the general path) ---

void zoomWith(benchmark::State& state, ZoomOutHeikin32Function f) {
  const auto& src = rgbFrame();
  std::vector<uint8_t> dst(size_t{kOutW} * kOutH * 4);
  for (auto _ : state) {
    f(dst.data(), kOutW, kOutH, src.data(), kW, kH);
    benchmark::ClobberMemory();
  }
  setBytes(state, kRgbBytes);
}

// As a recording runs it: the column tables prepared once, as Initialize does. The variants
// below build theirs on every call.
void BM_ZoomOutHeikin32_Installed(benchmark::State& state) {
  chooseKernels(1);
  prepareZoomTables(kOutW, kW);
  zoomWith(state, ZoomOutHeikin32);
  releaseZoomTables();
}
void BM_ZoomOutHeikin32_SSE2(benchmark::State& state) { zoomWith(state, ZoomOutHeikin32_SSE2); }
void BM_ZoomOutHeikin32_AVX(benchmark::State& state) {
  if (!supportAVX()) return state.SkipWithError("no AVX");
  zoomWith(state, ZoomOutHeikin32_AVX);
}
void BM_ZoomOutHeikin32_AVX2(benchmark::State& state) {
  if (!supportAVX2()) return state.SkipWithError("no AVX2");
  zoomWith(state, ZoomOutHeikin32_AVX2);
}
void BM_ZoomOutHeikin32_AVX512(benchmark::State& state) {
  if (!supportAVX512()) return state.SkipWithError("no AVX-512F/BW");
  zoomWith(state, ZoomOutHeikin32_AVX512);
}
void BM_Peer_libyuv_ARGBScaleBox(benchmark::State& state) {
  const auto& src = rgbFrame();
  std::vector<uint8_t> dst(size_t{kOutW} * kOutH * 4);
  for (auto _ : state) {
    libyuv::ARGBScale(src.data(), kW * 4, kW, kH, dst.data(), kOutW * 4, kOutW, kOutH,
                      libyuv::kFilterBox);
    benchmark::ClobberMemory();
  }
  setBytes(state, kRgbBytes);
}

#ifdef QV_HAVE_SWSCALE
void BM_Peer_swscale_Area(benchmark::State& state) {
  const auto& src = rgbFrame();
  std::vector<uint8_t> dst(size_t{kOutW} * kOutH * 4);
  SwsContext* ctx = sws_getContext(kW, kH, AV_PIX_FMT_BGRA, kOutW, kOutH, AV_PIX_FMT_BGRA, SWS_AREA,
                                   nullptr, nullptr, nullptr);
  const uint8_t* srcPlanes[1] = {src.data()};
  const int srcStrides[1] = {kW * 4};
  uint8_t* dstPlanes[1] = {dst.data()};
  const int dstStrides[1] = {kOutW * 4};
  for (auto _ : state) {
    sws_scale(ctx, srcPlanes, srcStrides, 0, kH, dstPlanes, dstStrides);
    benchmark::ClobberMemory();
  }
  sws_freeContext(ctx);
  setBytes(state, kRgbBytes);
}
#endif

// --- Frame differences and copies on 1080p frames ---

void BM_CalcDeltaFrame_SSE2(benchmark::State& state) {
  const std::vector<uint8_t> cur = randomFrame(kYuy2Bytes, 2);
  const std::vector<uint8_t> prev = randomFrame(kYuy2Bytes, 3);
  std::vector<uint8_t> dst(kYuy2Bytes);
  for (auto _ : state) {
    CalcDeltaFrame_SSE2(dst.data(), cur.data(), prev.data(), kW, kH);
    benchmark::ClobberMemory();
  }
  setBytes(state, kYuy2Bytes);
}

// Copies of one RGB32 frame. Warm: the same buffers every time. Cold: a ring of frames larger
// than the last-level cache, like the capture thread's copies into the pool.
template <typename Copy>
void copyFrames(benchmark::State& state, Copy copy, bool cold) {
  const size_t frames = cold ? 12 : 1;
  std::vector<std::vector<uint8_t>> src, dst;
  for (size_t i = 0; i < frames; ++i) {
    src.push_back(randomFrame(kRgbBytes, 10 + static_cast<uint32_t>(i)));
    dst.emplace_back(kRgbBytes, 0);
  }
  size_t i = 0;
  for (auto _ : state) {
    copy(dst[i].data(), src[i].data(), kRgbBytes);
    benchmark::ClobberMemory();
    i = (i + 1) % frames;
  }
  setBytes(state, kRgbBytes);
}

void BM_memcpy_sse2_Warm(benchmark::State& state) {
  copyFrames(
      state, [](uint8_t* d, const uint8_t* s, size_t n) { memcpy_sse2(d, s, n); }, false);
}
void BM_memcpy_sse2_Cold(benchmark::State& state) {
  copyFrames(
      state, [](uint8_t* d, const uint8_t* s, size_t n) { memcpy_sse2(d, s, n); }, true);
}
void BM_Peer_memcpy_Warm(benchmark::State& state) {
  copyFrames(
      state, [](uint8_t* d, const uint8_t* s, size_t n) { std::memcpy(d, s, n); }, false);
}
void BM_Peer_memcpy_Cold(benchmark::State& state) {
  copyFrames(
      state, [](uint8_t* d, const uint8_t* s, size_t n) { std::memcpy(d, s, n); }, true);
}
// The byte count the difference writes, for comparison with CalcDeltaFrame_SSE2.
void BM_Peer_memcpy_YUY2Frame(benchmark::State& state) {
  const std::vector<uint8_t> src = randomFrame(kYuy2Bytes, 4);
  std::vector<uint8_t> dst(kYuy2Bytes);
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), kYuy2Bytes);
    benchmark::ClobberMemory();
  }
  setBytes(state, kYuy2Bytes);
}

}  // namespace

#define QV_BENCH(f) BENCHMARK(f)->Unit(benchmark::kMillisecond)->UseRealTime()
QV_BENCH(BM_RGB32ToYUY2_Installed);
QV_BENCH(BM_RGB32ToYUY2_SSE2);
QV_BENCH(BM_RGB32ToYUY2_AVX);
QV_BENCH(BM_RGB32ToYUY2_AVX2);
QV_BENCH(BM_RGB32ToYUY2_AVX512);
QV_BENCH(BM_RGB32ToYUY2_ScalarReference);
QV_BENCH(BM_Peer_libyuv_ARGBToYUY2);
QV_BENCH(BM_ZoomOutHeikin32_Installed);
QV_BENCH(BM_ZoomOutHeikin32_SSE2);
QV_BENCH(BM_ZoomOutHeikin32_AVX);
QV_BENCH(BM_ZoomOutHeikin32_AVX2);
QV_BENCH(BM_ZoomOutHeikin32_AVX512);
QV_BENCH(BM_Peer_libyuv_ARGBScaleBox);
#ifdef QV_HAVE_SWSCALE
QV_BENCH(BM_Peer_swscale_Area);
#endif
QV_BENCH(BM_CalcDeltaFrame_SSE2);
QV_BENCH(BM_Peer_memcpy_YUY2Frame);
QV_BENCH(BM_memcpy_sse2_Warm);
QV_BENCH(BM_Peer_memcpy_Warm);
QV_BENCH(BM_memcpy_sse2_Cold);
QV_BENCH(BM_Peer_memcpy_Cold);

BENCHMARK_MAIN();
