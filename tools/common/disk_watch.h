// The disk a recording is streamed to: how long its free space lasts at the rate the files
// grow, and when it has fallen under the floor the recording must not go below.
//
// Free space is the hosts' own question, not the library's: the library writes where it is
// told and reports a failed write; how much room to keep for the rest of the system, and when
// to stop, is the host's policy. So it comes from the tools' small platform file
// (free_space_posix.cpp / free_space_win32.cpp), not from the capture library.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <utility>

namespace qvtools {

// Bytes free for the calling user on the file system that holds path (a file that may not
// exist yet: its folder is asked); -1 when the system cannot tell. statvfs; GetDiskFreeSpaceExW.
int64_t freeDiskBytes(const std::string& path);

// Five minutes: the warning comes once when the time left falls under it.
constexpr double kDiskLowSeconds = 300.0;

class DiskWatch {
 public:
  // minFree: the floor in bytes (0: none). The rate is taken over the last windowSeconds.
  explicit DiskWatch(uint64_t minFree, double windowSeconds = 5.0)
      : minFree_(minFree), window_(windowSeconds) {}
  // One look: a steady clock in seconds, the bytes the recording's files hold, the free bytes
  // (-1 unknown).
  void add(double seconds, uint64_t written, int64_t freeBytes);
  // Bytes per second over the window; 0 before it holds two looks.
  double bytesPerSecond() const;
  // Seconds until the free space reaches the floor at that rate; -1 while there is no rate or
  // the free space is unknown.
  double secondsLeft() const;
  int64_t freeBytes() const { return free_; }
  uint64_t minFree() const { return minFree_; }
  bool belowFloor() const { return minFree_ > 0 && free_ >= 0 && uint64_t(free_) < minFree_; }
  // True on the first look whose time left is under kDiskLowSeconds, never again.
  bool lowWarningDue();

 private:
  uint64_t minFree_;
  double window_;
  std::deque<std::pair<double, uint64_t>> samples_;
  int64_t free_ = -1;
  bool warned_ = false;
};

}  // namespace qvtools
