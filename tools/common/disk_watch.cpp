#include "disk_watch.h"

namespace qvtools {

void DiskWatch::add(double seconds, uint64_t written, int64_t freeBytes) {
  free_ = freeBytes;
  samples_.emplace_back(seconds, written);
  // Keep one look at or before the window's start, so the rate spans the whole window.
  while (samples_.size() > 2 && samples_[1].first <= seconds - window_) samples_.pop_front();
}

double DiskWatch::bytesPerSecond() const {
  if (samples_.size() < 2) return 0.0;
  const double span = samples_.back().first - samples_.front().first;
  if (span <= 0.0 || samples_.back().second < samples_.front().second) return 0.0;
  return static_cast<double>(samples_.back().second - samples_.front().second) / span;
}

double DiskWatch::secondsLeft() const {
  const double rate = bytesPerSecond();
  if (free_ < 0 || rate <= 0.0) return -1.0;
  const double room = static_cast<double>(free_) - static_cast<double>(minFree_);
  return room > 0.0 ? room / rate : 0.0;
}

bool DiskWatch::lowWarningDue() {
  const double left = secondsLeft();
  if (warned_ || left < 0.0 || left >= kDiskLowSeconds) return false;
  warned_ = true;
  return true;
}

}  // namespace qvtools
