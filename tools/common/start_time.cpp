#include "start_time.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <thread>

namespace qvtools {

namespace {

bool twoDigits(const std::string& text, size_t at, int limit, int* value) {
  if (at + 2 > text.size() || !std::isdigit(static_cast<unsigned char>(text[at])) ||
      !std::isdigit(static_cast<unsigned char>(text[at + 1]))) {
    return false;
  }
  *value = (text[at] - '0') * 10 + (text[at + 1] - '0');
  return *value < limit;
}

class SteadyClock : public WaitClock {
 public:
  double now() override {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  void sleep(double seconds) override {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  }
};

}  // namespace

bool parseTimeOfDay(const std::string& text, int* secondsOfDay) {
  int hours = 0, minutes = 0, seconds = 0;
  if (text.size() != 5 && text.size() != 8) return false;
  if (!twoDigits(text, 0, 24, &hours) || text[2] != ':' || !twoDigits(text, 3, 60, &minutes)) {
    return false;
  }
  if (text.size() == 8 && (text[5] != ':' || !twoDigits(text, 6, 60, &seconds))) return false;
  *secondsOfDay = hours * 3600 + minutes * 60 + seconds;
  return true;
}

int64_t secondsUntilTimeOfDay(std::time_t now, int secondsOfDay, bool* tomorrow) {
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  for (int day = 0; day < 2; ++day) {
    std::tm target = local;
    target.tm_mday += day;
    target.tm_hour = secondsOfDay / 3600;
    target.tm_min = secondsOfDay / 60 % 60;
    target.tm_sec = secondsOfDay % 60;
    target.tm_isdst = -1;  // whatever holds on that day
    const std::time_t at = std::mktime(&target);
    if (at > now || day == 1) {
      if (tomorrow != nullptr) *tomorrow = day == 1;
      return static_cast<int64_t>(at - now);
    }
  }
  return 0;
}

WaitClock& steadyWaitClock() {
  static SteadyClock clock;
  return clock;
}

double Countdown::remaining() const { return std::max(0.0, end_ - clock_.now()); }

int64_t Countdown::shownSeconds() const {
  return static_cast<int64_t>(std::ceil(remaining() - 1e-9));
}

bool Countdown::waitFor(const std::function<void(int64_t)>& show,
                        const std::function<bool()>& cancelled) {
  int64_t shown = -1;
  for (;;) {
    if (cancelled && cancelled()) return false;
    const double left = remaining();
    const int64_t whole = shownSeconds();
    if (whole != shown) {
      shown = whole;
      if (show) show(whole);
    }
    if (left <= 0.0) return true;
    // To the next whole second, the end, or the next look at cancelled().
    const double toNextSecond = left - std::floor(left - 1e-9);
    clock_.sleep(std::min({0.1, left, std::max(toNextSecond, 0.001)}));
  }
}

}  // namespace qvtools
