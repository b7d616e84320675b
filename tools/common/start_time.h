// When a recording starts: after a countdown, or at a time of day. The wait runs on a clock the
// caller hands in, so it can be driven without waiting; a console host blocks in waitFor, a
// window host looks at Countdown::remaining on its own timer.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

namespace qvtools {

// "HH:MM" or "HH:MM:SS", 24-hour clock; false for anything else.
bool parseTimeOfDay(const std::string& text, int* secondsOfDay);

// Seconds from `now` (local time) to the next moment the clock shows secondsOfDay; a time not
// after now means tomorrow (*tomorrow, when given, says so). Days of 23 or 25 hours count as
// they are.
int64_t secondsUntilTimeOfDay(std::time_t now, int secondsOfDay, bool* tomorrow);

// Seconds on a steady clock, and a sleep on it.
class WaitClock {
 public:
  virtual ~WaitClock() = default;
  virtual double now() = 0;
  virtual void sleep(double seconds) = 0;
};
WaitClock& steadyWaitClock();

class Countdown {
 public:
  Countdown(double seconds, WaitClock& clock) : clock_(clock), end_(clock.now() + seconds) {}
  double remaining() const;
  // Whole seconds left, rounded up: 3, 2, 1 during the last three seconds; 0 when due.
  int64_t shownSeconds() const;
  bool due() const { return remaining() <= 0.0; }
  // Blocks until due, calling show(shownSeconds()) whenever that changes (first at once);
  // false as soon as cancelled() says so (looked at at least every 100 ms).
  bool waitFor(const std::function<void(int64_t)>& show, const std::function<bool()>& cancelled);

 private:
  WaitClock& clock_;
  double end_;
};

}  // namespace qvtools
