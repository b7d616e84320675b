// Sound from a device's own rate to the recording's: 16-bit stereo in and out, one stream per
// object (the filter keeps its state from call to call, so the pieces of a stream join without
// a seam). A small wrapper around the speexdsp resampler, so that nothing else knows it.
#ifndef QUORVANE_RESAMPLER_H
#define QUORVANE_RESAMPLER_H

#include <cstdint>

namespace quorvane_capture {

class Resampler {
 public:
  // The filter quality (0 to 10) the recording uses: at 48 -> 44.1 kHz the lowest that keeps
  // 20 kHz within half a decibel and folds nothing audible back (a 23 kHz tone comes out below
  // -90 dB); higher ones cost up to three times as much for no audible gain (qv_bench_sound).
  static constexpr int kQuality = 6;
  // The quality of each track when two sources record at once: flat to 18 kHz, 20 kHz down
  // 3 dB, a 23 kHz tone folded back 83 dB down (6: 0.5 dB and 92 dB), for less than 1 % of a
  // core for both tracks together (qv_bench_sound).
  static constexpr int kTrackQuality = 4;

  Resampler(uint32_t inRate, uint32_t outRate, int quality = kQuality);
  ~Resampler();
  Resampler(const Resampler&) = delete;
  Resampler& operator=(const Resampler&) = delete;

  // False when the filter could not be set up (an absurd rate): nothing is converted.
  bool ready() const { return state_ != nullptr; }
  // The most frames `inFrames` frames of input can give (the filter holds some back).
  uint32_t maxOutput(uint32_t inFrames) const;
  // Converts `inFrames` stereo frames into `out` (room for `outCapacity` frames) and returns
  // the frames written. All of the input is taken when outCapacity >= maxOutput(inFrames).
  uint32_t process(const int16_t* in, uint32_t inFrames, int16_t* out, uint32_t outCapacity);
  // Runs on at input frames per output frame of numerator / denominator from the next call on,
  // without a seam (a device whose clock is not quite its nominal rate). False when refused.
  bool setRatio(uint32_t numerator, uint32_t denominator);

 private:
  void* state_ = nullptr;
  uint32_t inRate_;
  uint32_t outRate_;
};

}  // namespace quorvane_capture

#endif
