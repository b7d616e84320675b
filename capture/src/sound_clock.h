// Where one device's sound goes on the picture's timeline. The device keeps its own clock: a
// chunk of its sound is placed by the moment its last frame was recorded (on the frame clock,
// which the pictures are stamped with), not by when the capture loop happened to take it.
//
// One object per source device, fed once per transfer, on the sound thread only. It answers
// two things:
// - how much silence goes before a chunk: only for a real gap (the device said it lost sound,
//   its position jumped, or it delivered nothing for a while: a suspended or lost source), and
//   then exactly as long as the gap;
// - the resampler's ratio: the device's true rate is measured against the frame clock and the
//   ratio follows it slowly (a few ppm per second at most), so that a device some hundred ppm
//   fast or slow stays on the picture for hours without a jump and without silence put into
//   playing sound.
// No system call: the caller reads the device's position and the clock.
#ifndef QUORVANE_SOUND_CLOCK_H
#define QUORVANE_SOUND_CLOCK_H

#include <cstdint>

namespace quorvane_capture {

class SoundClock {
 public:
  // A gap shorter than this is absorbed by the rate instead (no silence in playing sound for
  // a late notification, or for the jitter of a device's own timing: about 20 ms seen with
  // PulseAudio's timing reports, up to 60 ms when the capture thread runs late on a loaded
  // machine); longer ones, or any the device reports, are filled.
  static constexpr double kGapMilliseconds = 100.0;
  // A device that delivers nothing any more (gone, or the recording has stopped) is padded with
  // silence to the moment asked for once it is behind by more than this.
  static constexpr double kPadMilliseconds = 20.0;
  // How far the measured rate may stray from the device's nominal one: beyond it the device is
  // not what it says, and its sound is placed by gaps alone.
  static constexpr double kMaxCorrection = 2000e-6;
  // How fast the ratio may move, per second of sound: far below what an ear hears.
  static constexpr double kMaxSlewPerSecond = 40e-6;

  SoundClock(uint32_t deviceRate, uint32_t outputRate);

  // The device started at this moment of the frame clock: its first frame belongs there.
  void begin(double frameClockMs);

  // One chunk of `frames` device frames that the device recorded one after the other, the last
  // of them at `frameClockMs`. `lostFrames`: frames the device's own position says went missing
  // just before the chunk; `discontinuity`: the device says sound was lost before it without
  // saying how much. Returns the frames of silence (at the output rate) that go before the
  // chunk. Chunks of 0 frames (all of a transfer cut out by a pause) move nothing.
  // `closing`: the last chunk, taken after the stop. The device still holds its newest sound
  // then (a server's latency), so what the chunk falls short of the stop is no gap before it:
  // only what the device reports goes before it, and silenceUntil pads the end.
  uint64_t silenceBefore(uint32_t frames, uint64_t lostFrames, double frameClockMs,
                         bool discontinuity, bool closing = false);
  // After the chunk went through the resampler: `outputFrames` came out (the silence above not
  // counted). The measurement is made here, and the ratio for the next chunk set.
  void placed(uint64_t outputFrames);

  // The device delivers nothing (lost, or the recording ends while it is silent): the silence
  // that brings the output to `frameClockMs`, when it is behind by more than kPadMilliseconds.
  uint64_t silenceUntil(double frameClockMs);

  // The ratio the resampler should run at now, device frames per output frame, as a fraction
  // of whole numbers of at most 65535 each.
  uint32_t ratioNumerator() const { return ratioNumerator_; }
  uint32_t ratioDenominator() const { return ratioDenominator_; }
  // The device's rate as measured (frames per second of the frame clock).
  double measuredRate() const;
  // How far the sound placed so far lies from the picture, in ms: positive when the sound would
  // be heard after the picture it belongs to. Taken at the last chunk.
  double offsetMilliseconds() const { return offsetMs_; }
  // Silence put in for gaps so far, in output frames.
  uint64_t silenceFrames() const { return silenceTotal_; }

 private:
  double expectedOutput(double frameClockMs) const;
  void setRatio();

  double deviceRate_;
  double outputRate_;
  double startMs_ = 0;
  bool begun_ = false;
  double output_ = 0;     // output frames placed, silence included
  double pendingMs_ = 0;  // when the last frame of the chunk being placed was recorded
  uint32_t pendingFrames_ = 0;
  double lastMs_ = 0;  // the last chunk measured
  bool measured_ = false;
  double filtered_ = 0;    // the offset, smoothed (s)
  double integral_ = 0;    // the loop's estimate of the device's rate error
  double correction_ = 0;  // what the ratio runs at: device rate = nominal * (1 + correction)
  double offsetMs_ = 0;
  uint64_t silenceTotal_ = 0;
  uint32_t ratioNumerator_ = 0;
  uint32_t ratioDenominator_ = 0;
};

}  // namespace quorvane_capture

#endif
