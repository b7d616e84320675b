// Pause and resume of a recording, and the frame clock that stands still while paused.
//
// The capture thread stamps pictures with the frame clock, so a pause leaves no gap in the
// file's timeline and no repeat records for it. The sound is cut at the same moments by the
// audio object (DirectSoundCapture::cutSound).
#ifndef QUORVANE_PAUSE_H
#define QUORVANE_PAUSE_H

#include <cstdint>
#include <vector>

namespace quorvane_capture {

// One pause: the frame clock when it began and how long it lasted (up to now while it runs).
struct PausePoint {
  double frameClock;
  double length;
  bool running;
};

// The platform clock since the recording was set up (Initialize) minus all paused time, in
// milliseconds; stands still while paused.
// *paused (when given) says whether a pause runs, read together with the clock.
double frameClockMilliseconds(bool* paused = nullptr);
bool isPaused();
// Every pause of this recording, the running one included.
std::vector<PausePoint> pausePoints();
// How many pauses there were and how long they lasted in all (ms), the running one included;
// for the host's counts, without building the list.
void pauseTotals(int32_t* count, double* milliseconds, bool* pausedNow);
// A new recording starts unpaused with no pauses behind it, and its frame clock at 0
// (Initialize).
void resetPauseState();
// Tests: the platform clock reads as if the process had run `milliseconds` longer (a process
// started weeks ago), from the next resetPauseState on.
void shiftClockForTests(double milliseconds);

}  // namespace quorvane_capture

#endif
