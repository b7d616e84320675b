// The sound path's cost: one second of a device's stereo sound at 48 kHz converted to the
// recording's 44.1 kHz, at every quality from 3 to 10, so that the library's choice can be
// weighed; and a recording of two sources: both stereo devices at 48 kHz converted at the
// library's quality and mixed, as the capture loop does it. An iteration is one second of
// sound: 10 ms per iteration is 1 % of one core.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "resampler.h"
#include "sound_mix.h"

namespace {

// The level (dB) of a half-scale tone of `hz` after one second through the resampler at
// `quality`, measured over its last three quarters: what the filter keeps of 18 and 20 kHz, and
// how far a 23 kHz tone, which 44.1 kHz cannot hold, is folded back down.
double levelAfter(int quality, double hz) {
  quorvane_capture::Resampler r(48000, 44100, quality);
  std::vector<int16_t> in(2 * 48000), out(2 * r.maxOutput(48000));
  for (size_t i = 0; i < 48000; ++i) {
    in[2 * i] = in[2 * i + 1] = static_cast<int16_t>(16000 * std::sin(2 * M_PI * hz * i / 48000));
  }
  const uint32_t n = r.process(in.data(), 48000, out.data(), r.maxOutput(48000));
  double sum = 0;
  for (uint32_t i = n / 4; i < n; ++i) sum += static_cast<double>(out[2 * i]) * out[2 * i];
  return 20 * std::log10(std::sqrt(sum / (n - n / 4)) / (16000 / std::sqrt(2.0)));
}

void BM_Resample48To44(benchmark::State& state) {
  const int quality = static_cast<int>(state.range(0));
  std::vector<int16_t> in(2 * 48000);
  for (size_t i = 0; i < 48000; ++i) {
    const auto v = static_cast<int16_t>(12000 * std::sin(0.1309 * i) + 3000 * std::sin(0.9 * i));
    in[2 * i] = in[2 * i + 1] = v;
  }
  quorvane_capture::Resampler r(48000, 44100, quality);
  std::vector<int16_t> out(2 * r.maxOutput(48000));
  for (auto _ : state) {
    // As the capture loop sees it: half-second transfers.
    for (int half = 0; half < 2; ++half) {
      benchmark::DoNotOptimize(
          r.process(in.data() + half * 48000, 24000, out.data(), r.maxOutput(24000)));
    }
  }
  state.counters["dB_18k"] = levelAfter(quality, 18000);
  state.counters["dB_20k"] = levelAfter(quality, 20000);
  state.counters["dB_23k"] = levelAfter(quality, 23000);
  state.SetLabel(quality == quorvane_capture::Resampler::kQuality        ? "the library's"
                 : quality == quorvane_capture::Resampler::kTrackQuality ? "each of two tracks"
                                                                         : "");
}
BENCHMARK(BM_Resample48To44)->DenseRange(3, 10)->Unit(benchmark::kMicrosecond);

// Two sources, one second: each device's sound converted by its own resampler in half-second
// transfers, then the two mixed into the recording's sound. The goal is below 1 % of a core.
void BM_TwoTracks48To44AndMix(benchmark::State& state) {
  std::vector<int16_t> in(2 * 48000);
  for (size_t i = 0; i < 48000; ++i) {
    const auto v = static_cast<int16_t>(12000 * std::sin(0.1309 * i) + 3000 * std::sin(0.9 * i));
    in[2 * i] = in[2 * i + 1] = v;
  }
  quorvane_capture::Resampler mic(48000, 44100, quorvane_capture::Resampler::kTrackQuality);
  quorvane_capture::Resampler desktop(48000, 44100, quorvane_capture::Resampler::kTrackQuality);
  std::vector<int16_t> micOut(2 * mic.maxOutput(24000));
  std::vector<int16_t> desktopOut(2 * desktop.maxOutput(24000));
  std::vector<int16_t> mix(micOut.size());
  const std::vector<const std::vector<int16_t>*> sources = {&micOut, &desktopOut};
  for (auto _ : state) {
    for (int half = 0; half < 2; ++half) {
      const uint32_t a =
          mic.process(in.data() + half * 48000, 24000, micOut.data(), mic.maxOutput(24000));
      const uint32_t b = desktop.process(in.data() + half * 48000, 24000, desktopOut.data(),
                                         desktop.maxOutput(24000));
      quorvane_capture::mixSources(sources, 2 * std::min(a, b), mix.data());
      benchmark::DoNotOptimize(mix.data());
    }
  }
}
BENCHMARK(BM_TwoTracks48To44AndMix)->Unit(benchmark::kMicrosecond);

// One source at the library's quality once the sound clock steers the ratio (a device 300 ppm
// fast: 48014 device frames per 44100): the filter is interpolated rather than tabled, and the
// ratio is set again with every transfer, as the capture loop does.
void BM_Resample48To44Steered(benchmark::State& state) {
  std::vector<int16_t> in(2 * 48000);
  for (size_t i = 0; i < 48000; ++i) {
    const auto v = static_cast<int16_t>(12000 * std::sin(0.1309 * i) + 3000 * std::sin(0.9 * i));
    in[2 * i] = in[2 * i + 1] = v;
  }
  quorvane_capture::Resampler r(48000, 44100);
  std::vector<int16_t> out(2 * r.maxOutput(48000));
  uint32_t numerator = 48014;
  for (auto _ : state) {
    for (int half = 0; half < 2; ++half) {
      benchmark::DoNotOptimize(
          r.process(in.data() + half * 48000, 24000, out.data(), r.maxOutput(24000)));
      // The loop dithers between two neighbouring ratios.
      numerator = numerator == 48014 ? 48015 : 48014;
      r.setRatio(numerator, 44100);
    }
  }
  state.SetLabel("the library's, steered");
}
BENCHMARK(BM_Resample48To44Steered)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
