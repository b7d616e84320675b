#include "resampler.h"

#include <speex/speex_resampler.h>

namespace quorvane_capture {

Resampler::Resampler(uint32_t inRate, uint32_t outRate, int quality)
    : inRate_(inRate), outRate_(outRate) {
  if (inRate == 0 || outRate == 0) return;
  int error = 0;
  SpeexResamplerState* state = speex_resampler_init(2, inRate, outRate, quality, &error);
  if (state == nullptr || error != RESAMPLER_ERR_SUCCESS) {
    if (state != nullptr) speex_resampler_destroy(state);
    return;
  }
  // The filter's own delay is skipped, so the first sound of the device is the first sound of
  // the recording, not half a filter of silence before it.
  speex_resampler_skip_zeros(state);
  state_ = state;
}

Resampler::~Resampler() {
  if (state_ != nullptr) speex_resampler_destroy(static_cast<SpeexResamplerState*>(state_));
}

uint32_t Resampler::maxOutput(uint32_t inFrames) const {
  // A steered ratio (SoundClock: 2000 ppm at most) gives a little more than the nominal rates.
  const uint64_t frames = static_cast<uint64_t>(inFrames) * outRate_ / inRate_;
  return static_cast<uint32_t>(frames + frames / 400) + 2;
}

bool Resampler::setRatio(uint32_t numerator, uint32_t denominator) {
  if (state_ == nullptr || numerator == 0 || denominator == 0) return false;
  return speex_resampler_set_rate_frac(static_cast<SpeexResamplerState*>(state_), numerator,
                                       denominator, inRate_, outRate_) == RESAMPLER_ERR_SUCCESS;
}

uint32_t Resampler::process(const int16_t* in, uint32_t inFrames, int16_t* out,
                            uint32_t outCapacity) {
  if (state_ == nullptr) return 0;
  auto* state = static_cast<SpeexResamplerState*>(state_);
  uint32_t written = 0;
  // The filter may stop short of the input when the output is full; it is called again for the
  // rest while there is room.
  while (inFrames > 0 && written < outCapacity) {
    spx_uint32_t taken = inFrames;
    spx_uint32_t made = outCapacity - written;
    speex_resampler_process_interleaved_int(state, in, &taken, out + 2 * written, &made);
    if (taken == 0 && made == 0) break;
    in += 2 * taken;
    inFrames -= taken;
    written += made;
  }
  return written;
}

}  // namespace quorvane_capture
