// The hosts' wait before a recording and their watch over the disk, on a clock and a disk of
// the test's own.
#include <gtest/gtest.h>

#include <ctime>
#include <vector>

#include "disk_watch.h"
#include "start_time.h"

namespace {

// Time passes only when the waiter sleeps.
class FakeClock : public qvtools::WaitClock {
 public:
  double now() override { return t; }
  void sleep(double seconds) override {
    t += seconds;
    ++sleeps;
  }
  double t = 1000.0;
  int sleeps = 0;
};

std::time_t localTime(int hour, int minute, int second) {
  std::tm t{};
  t.tm_year = 2024 - 1900;
  t.tm_mon = 5;  // June: no change of daylight saving time near
  t.tm_mday = 12;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_isdst = -1;
  return std::mktime(&t);
}

TEST(StartTime, ReadsHoursMinutesAndSecondsAndNothingElse) {
  int seconds = -1;
  EXPECT_TRUE(qvtools::parseTimeOfDay("09:30", &seconds));
  EXPECT_EQ(seconds, 9 * 3600 + 30 * 60);
  EXPECT_TRUE(qvtools::parseTimeOfDay("23:59:58", &seconds));
  EXPECT_EQ(seconds, 86398);
  for (const char* bad : {"9:30", "24:00", "12:60", "12:30:60", "12:30:5", "12-30", "", "12:30 "}) {
    EXPECT_FALSE(qvtools::parseTimeOfDay(bad, &seconds)) << bad;
  }
}

TEST(StartTime, ALaterTimeIsTodayAndOneNotAfterNowTomorrow) {
  const std::time_t now = localTime(14, 0, 0);
  bool tomorrow = true;
  EXPECT_EQ(qvtools::secondsUntilTimeOfDay(now, 15 * 3600 + 30 * 60, &tomorrow), 5400);
  EXPECT_FALSE(tomorrow);
  EXPECT_EQ(qvtools::secondsUntilTimeOfDay(now, 13 * 3600, &tomorrow), 23 * 3600);
  EXPECT_TRUE(tomorrow);
  EXPECT_EQ(qvtools::secondsUntilTimeOfDay(now, 14 * 3600, &tomorrow), 24 * 3600);
  EXPECT_TRUE(tomorrow);
}

TEST(StartTime, CountdownShowsEachSecondOnceAndEndsOnTime) {
  FakeClock clock;
  qvtools::Countdown countdown(3.0, clock);
  std::vector<int64_t> shown;
  EXPECT_TRUE(countdown.waitFor([&](int64_t left) { shown.push_back(left); }, nullptr));
  EXPECT_EQ(shown, (std::vector<int64_t>{3, 2, 1, 0}));
  EXPECT_NEAR(clock.t, 1003.0, 1e-6);
  EXPECT_TRUE(countdown.due());
}

TEST(StartTime, CancelEndsTheWaitWithinATenthOfASecond) {
  FakeClock clock;
  qvtools::Countdown countdown(3600.0, clock);
  EXPECT_FALSE(countdown.waitFor(nullptr, [&] { return clock.t >= 1001.0; }));
  EXPECT_LE(clock.t, 1001.1 + 1e-9);
  EXPECT_FALSE(countdown.due());
}

TEST(DiskWatch, TimeLeftIsTheRoomAboveTheFloorAtTheLastFiveSecondsRate) {
  constexpr uint64_t kMiB = 1 << 20;
  qvtools::DiskWatch disk(100 * kMiB);
  EXPECT_LT(disk.secondsLeft(), 0.0);  // no rate yet
  // 10 MiB/s for ten seconds after a fast start: the rate is the recent one.
  uint64_t written = 0;
  int64_t free = 5000 * static_cast<int64_t>(kMiB);
  for (int s = 0; s <= 10; ++s) {
    const uint64_t step = s < 5 ? 50 * kMiB : 10 * kMiB;
    written += step;
    free -= static_cast<int64_t>(step);
    disk.add(s, written, free);
  }
  EXPECT_NEAR(disk.bytesPerSecond(), 10.0 * kMiB, 1.0);
  EXPECT_NEAR(disk.secondsLeft(), static_cast<double>(free - 100 * kMiB) / (10.0 * kMiB), 1e-6);
  EXPECT_FALSE(disk.lowWarningDue());  // about 8 minutes left
  int warnings = 0;
  double leftAtWarning = -1;
  for (int s = 11; !disk.belowFloor(); ++s) {
    ASSERT_LT(s, 1000);
    const double before = disk.secondsLeft();
    written += 10 * kMiB;
    free -= 10 * kMiB;
    disk.add(s, written, free);
    if (disk.lowWarningDue()) {
      ++warnings;
      leftAtWarning = disk.secondsLeft();
      EXPECT_GE(before, 300.0);  // the first look under five minutes
    }
  }
  EXPECT_EQ(warnings, 1);
  EXPECT_LT(leftAtWarning, 300.0);
  EXPECT_LT(disk.freeBytes(), static_cast<int64_t>(100 * kMiB));
}

}  // namespace
