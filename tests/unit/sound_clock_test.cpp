// The sound's placement on the picture's clock: a device whose clock runs fast or slow is pulled
// onto the picture by the resampler's ratio, slowly and without silence in playing sound, while
// real gaps (a suspended or lost device, sound the device says it lost) get silence of their
// exact length.
#include "sound_clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "resampler.h"

namespace quorvane_capture {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kFrameAt60Ms = 1000.0 / 60.0;

// A device of a nominal rate whose crystal runs `ppm` fast or slow, read by a capture loop every
// half second or so, with a notification that comes a few ms early or late. The frame clock is
// the truth; the time given with each chunk is when its last frame was recorded, as the device
// reports it (give or take a millisecond).
struct SimulatedDevice {
  double nominal;
  double ppm;
  std::mt19937 random{7};
  double frames = 0;  // recorded so far, fractional
  uint64_t delivered = 0;
  double now = 0;  // frame clock, ms

  double trueRate() const { return nominal * (1 + ppm * 1e-6); }
  // The next transfer: frames recorded since the last one and the time of the last of them.
  uint32_t next(double* recordedAtMs) {
    std::uniform_real_distribution<double> wake(-5.0, 5.0), report(-1.0, 1.0);
    now += 500.0 + wake(random);
    frames = now / 1000.0 * trueRate();
    const auto whole = static_cast<uint64_t>(frames);
    const auto n = static_cast<uint32_t>(whole - delivered);
    delivered = whole;
    *recordedAtMs = whole / trueRate() * 1000.0 + report(random);
    return n;
  }
};

// What a resampler at a whole-number ratio gives: one output frame per num/den input frames,
// its phase kept across calls and ratio changes (as speexdsp does). Two simulated hours through
// the real filter would take minutes; its counts are what matters for the clock.
struct CountingResampler {
  double consumed = 0;  // input frames the outputs so far stand on
  double input = 0;
  double step = 48000.0 / 44100.0;
  uint32_t process(uint32_t frames) {
    input += frames;
    const auto m = static_cast<uint32_t>(std::floor((input - consumed) / step));
    consumed += m * step;
    return m;
  }
};

struct DriftRun {
  double worstOffsetMs = 0;
  uint64_t silence = 0;
  double largestRatioStepPpm = 0;
  double worstSeam = 0;  // the sine's recurrence broken by a ratio change (real filter only)
};

// A 1 kHz tone from a device `ppm` off through the clock, 48 -> 44.1 kHz, for `seconds` of the
// frame clock: through the real resampler, or the counting one.
DriftRun runDevice(double ppm, double seconds, bool realFilter) {
  SimulatedDevice device{48000, ppm};
  SoundClock clock(48000, 44100);
  Resampler resampler(48000, 44100);
  CountingResampler counting;
  clock.begin(0);
  DriftRun run;
  std::vector<int16_t> in, out;
  std::vector<double> heard;
  uint64_t made = 0;
  uint64_t sample = 0;
  double ratio = 48000.0 / 44100.0;
  while (device.now < seconds * 1000.0) {
    double at = 0;
    const uint32_t n = device.next(&at);
    run.silence += clock.silenceBefore(n, 0, at, false);
    uint32_t m = 0;
    if (realFilter) {
      in.resize(2 * static_cast<size_t>(n));
      for (uint32_t i = 0; i < n; ++i) {
        const auto v = static_cast<int16_t>(
            std::lround(8000 * std::sin(2 * kPi * 1000.0 * (sample + i) / device.trueRate())));
        in[2 * i] = in[2 * i + 1] = v;
      }
      out.resize(2 * static_cast<size_t>(resampler.maxOutput(n)));
      m = resampler.process(in.data(), n, out.data(), resampler.maxOutput(n));
      for (uint32_t i = 0; i < m; ++i) heard.push_back(out[2 * i]);
      EXPECT_TRUE(resampler.setRatio(clock.ratioNumerator(), clock.ratioDenominator()));
    } else {
      m = counting.process(n);
    }
    sample += n;
    made += m;
    clock.placed(m);
    const double next = static_cast<double>(clock.ratioNumerator()) / clock.ratioDenominator();
    counting.step = next;
    run.largestRatioStepPpm = std::max(run.largestRatioStepPpm, std::abs(next / ratio - 1) * 1e6);
    ratio = next;
    // The last frame taken was recorded at sample / trueRate; it is heard at made / 44100.
    const double offset = made / 44.1 - sample / device.trueRate() * 1000.0;
    run.worstOffsetMs = std::max(run.worstOffsetMs, std::abs(offset));
  }
  const double c = 2.0 * std::cos(2.0 * kPi * 1000.0 / 44100.0);
  for (size_t k = 1000; k + 1 < heard.size(); ++k) {
    run.worstSeam = std::max(run.worstSeam, std::abs(heard[k + 1] - (c * heard[k] - heard[k - 1])));
  }
  return run;
}

TEST(SoundClock, ADeviceThreeHundredPpmOffStaysWithinAFrameForTwoHours) {
  for (double ppm : {300.0, -300.0}) {
    SCOPED_TRACE(ppm);
    const DriftRun run = runDevice(ppm, 2 * 3600, false);
    EXPECT_LT(run.worstOffsetMs, kFrameAt60Ms);
    EXPECT_EQ(run.silence, 0u) << "silence was put into playing sound";
    // Slow: no step of the ratio a listener could hear as a jump.
    EXPECT_LT(run.largestRatioStepPpm, 25.0);
  }
  // The real filter, while the ratio moves most (the first minute): the same placement, and no
  // seam in the tone where the ratio changed.
  const DriftRun run = runDevice(300.0, 60, true);
  EXPECT_LT(run.worstOffsetMs, 5.0);
  EXPECT_EQ(run.silence, 0u);
  EXPECT_LT(run.worstSeam, 40.0);
}

// Feeds `chunks` half seconds of a 48 kHz device delivering on time from `t` (ms); none may
// bring silence. Returns the time of the last.
double feedSteadily(SoundClock& clock, double t, int chunks) {
  for (int i = 0; i < chunks; ++i) {
    t += 500;
    EXPECT_EQ(clock.silenceBefore(24000, 0, t, false), 0u);
    clock.placed(24000);
  }
  return t;
}

// A source suspended for two seconds: the sound after it goes two seconds later, behind exactly
// that much silence, and a device that reports lost frames gets them back as silence.
TEST(SoundClock, RealGapsGetSilenceOfTheirLength) {
  SoundClock clock(48000, 48000);
  clock.begin(1000);
  double t = feedSteadily(clock, 1000, 20);
  // Nothing for two seconds, then the usual half second.
  t += 2000 + 500;
  const uint64_t gap = clock.silenceBefore(24000, 0, t, false);
  EXPECT_NEAR(static_cast<double>(gap), 96000.0, 48.0) << "2 s within a millisecond";
  clock.placed(24000);
  // The device says 480 frames (10 ms) went missing: put back, though below the clock's gap.
  t += 500;
  EXPECT_EQ(clock.silenceBefore(24000 - 480, 480, t, false), 480u);
  clock.placed(24000 - 480);
  // A late notification (40 ms) is no gap: the sound is there, just taken later.
  t += 540;
  EXPECT_EQ(clock.silenceBefore(24000, 0, t - 40, false), 0u);
  clock.placed(24000);
  // The device went away: silence up to the stop, to the frame.
  t -= 40;
  EXPECT_EQ(clock.silenceUntil(t + 3000), 144000u);
  EXPECT_EQ(clock.silenceUntil(t + 3010), 0u) << "no silence for a gap below a frame or so";
}

// The chunk taken after the stop falls 70 ms short of it (the server still holds its newest
// sound): nothing goes into the playing sound before it; the end is padded to the stop instead.
TEST(SoundClock, TheChunkAfterTheStopIsPaddedAtItsEnd) {
  SoundClock clock(48000, 48000);
  clock.begin(1000);
  double t = feedSteadily(clock, 1000, 4);
  t += 500;
  EXPECT_EQ(clock.silenceBefore(24000 - 3360, 0, t, false, true), 0u);
  clock.placed(24000 - 3360);
  EXPECT_NEAR(static_cast<double>(clock.silenceUntil(t)), 3360.0, 2.0);
}

}  // namespace
}  // namespace quorvane_capture
