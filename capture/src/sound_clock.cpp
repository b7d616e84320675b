#include "sound_clock.h"

#include <algorithm>
#include <cmath>

namespace quorvane_capture {
namespace {

// The loop that pulls the sound onto the picture: a second-order loop (proportional plus
// integral) on the smoothed offset, critically damped with a time constant of 20 s. A step of
// 300 ppm then costs about 2 ms of offset before it is learnt, and the timing noise of a
// chunk (a few ms) moves the ratio by a few ppm only.
constexpr double kLoopSeconds = 20.0;
constexpr double kProportional = 2.0 / kLoopSeconds;
constexpr double kIntegral = 1.0 / (kLoopSeconds * kLoopSeconds);
// The offset is smoothed over this long before the loop sees it.
constexpr double kSmoothingSeconds = 2.0;
// A gap the device itself reports is filled down to this.
constexpr double kReportedGapMilliseconds = 1.0;

}  // namespace

SoundClock::SoundClock(uint32_t deviceRate, uint32_t outputRate)
    : deviceRate_(deviceRate == 0 ? 1 : deviceRate), outputRate_(outputRate == 0 ? 1 : outputRate) {
  setRatio();
}

void SoundClock::begin(double frameClockMs) {
  startMs_ = frameClockMs;
  begun_ = true;
}

double SoundClock::expectedOutput(double frameClockMs) const {
  return (frameClockMs - startMs_) / 1000.0 * outputRate_;
}

double SoundClock::measuredRate() const { return deviceRate_ * (1.0 + correction_); }

uint64_t SoundClock::silenceBefore(uint32_t frames, uint64_t lostFrames, double frameClockMs,
                                   bool discontinuity, bool closing) {
  if (!begun_) begin(frameClockMs - frames * 1000.0 / deviceRate_);
  pendingMs_ = frameClockMs;
  pendingFrames_ = frames;
  if (frames == 0 && lostFrames == 0) return 0;
  const double perDeviceFrame = static_cast<double>(ratioDenominator_) / ratioNumerator_;
  // What the device says it lost is put back first, at its length; what the clock still finds
  // missing after that is a gap the device did not report (suspended, or delivering nothing).
  double silence = static_cast<double>(lostFrames) * perDeviceFrame;
  const double deficit =
      expectedOutput(frameClockMs) - (output_ + silence + frames * perDeviceFrame);
  const double threshold = discontinuity ? kReportedGapMilliseconds : kGapMilliseconds;
  if (!closing && deficit * 1000.0 / outputRate_ > threshold) silence += deficit;
  const auto whole = static_cast<uint64_t>(std::llround(silence));
  output_ += static_cast<double>(whole);
  silenceTotal_ += whole;
  return whole;
}

void SoundClock::placed(uint64_t outputFrames) {
  output_ += static_cast<double>(outputFrames);
  if (pendingFrames_ == 0) return;
  pendingFrames_ = 0;
  const double offset = (output_ - expectedOutput(pendingMs_)) / outputRate_;
  offsetMs_ = offset * 1000.0;
  if (!measured_) {
    measured_ = true;
    filtered_ = offset;
    lastMs_ = pendingMs_;
    return;
  }
  const double dt = (pendingMs_ - lastMs_) / 1000.0;
  lastMs_ = pendingMs_;
  if (dt <= 0) return;
  filtered_ += (offset - filtered_) * std::min(1.0, dt / kSmoothingSeconds);
  // Sound placed late (positive) means more output than time: the device runs faster than the
  // ratio assumes, so the assumed rate goes up.
  integral_ =
      std::max(-kMaxCorrection, std::min(kMaxCorrection, integral_ + kIntegral * filtered_ * dt));
  const double target =
      std::max(-kMaxCorrection, std::min(kMaxCorrection, integral_ + kProportional * filtered_));
  const double step = kMaxSlewPerSecond * dt;
  correction_ += std::max(-step, std::min(step, target - correction_));
  setRatio();
}

uint64_t SoundClock::silenceUntil(double frameClockMs) {
  if (!begun_) begin(frameClockMs);
  const double deficit = expectedOutput(frameClockMs) - output_;
  if (deficit * 1000.0 / outputRate_ <= kPadMilliseconds) return 0;
  const auto whole = static_cast<uint64_t>(std::llround(deficit));
  output_ += static_cast<double>(whole);
  silenceTotal_ += whole;
  return whole;
}

void SoundClock::setRatio() {
  // Whole frames per second over the output rate: the resampler rescales its phase by the new
  // denominator times the old one in 32 bits, so neither may pass 65535. Steps of one frame
  // per second (about 21 ppm) are far below hearing, and the loop dithers between two of them
  // to keep the offset at its mean.
  ratioNumerator_ = static_cast<uint32_t>(std::llround(measuredRate()));
  ratioDenominator_ = static_cast<uint32_t>(outputRate_);
}

}  // namespace quorvane_capture
