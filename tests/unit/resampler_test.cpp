// The resampler between a device's rate and the recording's: a tone keeps its pitch and the
// stream its length, pieces of any size join without a seam, and what lies above the new
// rate's band does not fold back into it.
#include "resampler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "sound_analysis.h"

namespace quorvane_capture {
namespace {

constexpr double kPi = 3.14159265358979323846;

std::vector<int16_t> stereoSine(double frequency, double rate, size_t frames, double amplitude) {
  std::vector<int16_t> s(frames * 2);
  for (size_t i = 0; i < frames; ++i) {
    const auto v =
        static_cast<int16_t>(std::lround(amplitude * std::sin(2 * kPi * frequency * i / rate)));
    s[2 * i] = s[2 * i + 1] = v;
  }
  return s;
}

// Converts in pieces of the given sizes, in turn, as transfers of a capture would come.
std::vector<double> convert(Resampler& r, const std::vector<int16_t>& in,
                            const std::vector<uint32_t>& pieces) {
  std::vector<double> left;
  std::vector<int16_t> out;
  size_t at = 0;
  for (size_t k = 0; at < in.size() / 2; ++k) {
    const uint32_t n =
        std::min<uint32_t>(pieces[k % pieces.size()], static_cast<uint32_t>(in.size() / 2 - at));
    out.resize(2 * r.maxOutput(n));
    const uint32_t made = r.process(in.data() + 2 * at, n, out.data(), r.maxOutput(n));
    for (uint32_t i = 0; i < made; ++i) left.push_back(out[2 * i]);
    at += n;
  }
  return left;
}

TEST(Resampler, FortyEightToFortyFourOneKeepsPitchAndLengthAcrossPieces) {
  Resampler r(48000, 44100);
  ASSERT_TRUE(r.ready());
  const std::vector<double> left =
      convert(r, stereoSine(1000, 48000, 3 * 48000, 16000), {24000, 1, 4799, 17, 12000});
  // The filter holds back a few dozen frames of its delay until more input comes.
  EXPECT_NEAR(static_cast<double>(left.size()), 3 * 44100.0, 100.0);
  EXPECT_EQ(qvtest::dominantFrequency(left, 44100), 1000.0);
  // No seam where one piece ends and the next begins: the sine's own recurrence holds.
  const double c = 2.0 * std::cos(2.0 * kPi * 1000.0 / 44100.0);
  double worst = 0;
  for (size_t n = 1000; n + 1 < left.size() - 1000; ++n) {
    worst = std::max(worst, std::abs(left[n + 1] - (c * left[n] - left[n - 1])));
  }
  EXPECT_LT(worst, 40.0) << "a gap or a repeated piece breaks the sine";
}

TEST(Resampler, WhatLiesAboveTheNewBandIsFilteredOut) {
  Resampler r(48000, 44100);
  // 23 kHz exists at 48 kHz but not at 44.1 kHz, where it would fold back to 21.1 kHz.
  const std::vector<double> left = convert(r, stereoSine(23000, 48000, 48000, 16000), {4800});
  double energy = 0;
  for (size_t i = 4410; i < left.size(); ++i) energy += left[i] * left[i];
  const double rms = std::sqrt(energy / static_cast<double>(left.size() - 4410));
  EXPECT_LT(20 * std::log10(rms / (16000 / std::sqrt(2.0))), -80.0);
}

}  // namespace
}  // namespace quorvane_capture
