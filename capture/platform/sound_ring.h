// The looping capture buffer for backends whose system delivers sound as a stream of packets
// (PulseAudio, WASAPI): the packets are appended to a ring of our own at a write position, and
// two auto-reset notifications are raised as that position passes their offsets, which is the
// shape the audio object drives. The stream's time line is kept too: a stop ends the sound at
// the moment it was asked for, and a source that delivers nothing while nothing plays has its
// gaps filled with silence, so that sound and picture stay the same length.
//
// Header-only: each backend compiles it with the rest of its sound code.
#ifndef QUORVANE_SOUND_RING_H
#define QUORVANE_SOUND_RING_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

namespace quorvane_capture {
namespace platform {

class SoundRing {
 public:
  using Clock = std::chrono::steady_clock;

  // A ring of `bytes` bytes of a format of `bytesPerSecond` and `blockAlign`.
  void create(uint32_t bytes, uint32_t bytesPerSecond, uint32_t blockAlign) {
    std::lock_guard<std::mutex> lock(ringMutex_);
    ring_.assign(bytes, 0);
    writePosition_ = 0;
    bytesPerSecond_ = bytesPerSecond;
    blockAlign_ = blockAlign == 0 ? 1 : blockAlign;
  }
  bool setPositions(const uint32_t positions[2]) {
    std::lock_guard<std::mutex> lock(ringMutex_);
    for (int i = 0; i < 2; ++i) {
      if (positions[i] >= ring_.size()) return false;
      positions_[i] = positions[i];
    }
    ready_ = true;
    return true;
  }
  bool ready() const {
    std::lock_guard<std::mutex> lock(ringMutex_);
    return ready_;
  }

  // The stream starts now, at offset 0.
  void begin() {
    {
      std::lock_guard<std::mutex> lock(ringMutex_);
      writePosition_ = 0;
      receivedBytes_ = 0;
      stopAt_ = UINT64_MAX;
      startTime_ = Clock::now();
      running_ = true;
    }
    std::lock_guard<std::mutex> lock(eventMutex_);
    raised_[0] = raised_[1] = false;
  }
  void abandon() {
    std::lock_guard<std::mutex> lock(ringMutex_);
    running_ = false;
  }
  bool running() const {
    std::lock_guard<std::mutex> lock(ringMutex_);
    return running_;
  }

  // Appends sound (null data: silence), up to the end a stop has set.
  void append(const uint8_t* data, size_t length) {
    bool crossed[2] = {false, false};
    {
      std::lock_guard<std::mutex> lock(ringMutex_);
      appendLocked(data, length, crossed);
    }
    raiseCrossed(crossed);
  }

  // Silence for a gap: when the stream is more than `tolerance` behind the clock (the source
  // delivered nothing), silence is appended up to `tolerance` behind it. Returns whether any
  // was.
  bool fillGap(std::chrono::milliseconds tolerance) {
    bool crossed[2] = {false, false};
    bool filled = false;
    {
      std::lock_guard<std::mutex> lock(ringMutex_);
      if (!running_ || !ready_) return false;
      const uint64_t due = bytesAt(Clock::now() - tolerance);
      const uint64_t late = bytesAt(Clock::now() - 2 * tolerance);
      if (receivedBytes_ < late) {
        appendLocked(nullptr, static_cast<size_t>(due - receivedBytes_), crossed);
        filled = true;
      }
    }
    raiseCrossed(crossed);
    return filled;
  }

  // Ends the sound at this moment: what the source recorded up to now but has not delivered
  // yet is still taken, waiting up to `wait` for it; then the position stands still. With
  // `fillSilence`, what is still missing after the wait is silence.
  void end(std::chrono::milliseconds wait, bool fillSilence) {
    bool crossed[2] = {false, false};
    {
      std::unique_lock<std::mutex> lock(ringMutex_);
      if (!running_) return;
      const auto now = Clock::now();
      stopAt_ = bytesAt(now);
      if (receivedBytes_ < stopAt_) {
        stopped_.wait_until(lock, now + wait, [this] { return !running_; });
      }
      if (fillSilence && running_ && receivedBytes_ < stopAt_) {
        appendLocked(nullptr, static_cast<size_t>(stopAt_ - receivedBytes_), crossed);
      }
      running_ = false;
    }
    raiseCrossed(crossed);
  }

  bool readPosition(uint32_t* position) const {
    std::lock_guard<std::mutex> lock(ringMutex_);
    if (ring_.empty()) return false;
    *position = writePosition_;
    return true;
  }

  // The ring stays locked until unlock: the copy out takes microseconds, and the writer then
  // cannot write into a region while it is being read, however far it got.
  bool lock(uint32_t offset, uint32_t bytes, void** region1, uint32_t* bytes1, void** region2,
            uint32_t* bytes2) {
    ringMutex_.lock();
    const uint64_t size = ring_.size();
    if (size == 0 || offset >= size || bytes > size) {
      ringMutex_.unlock();
      return false;
    }
    const uint32_t first = static_cast<uint32_t>(size - offset < bytes ? size - offset : bytes);
    *region1 = ring_.data() + offset;
    *bytes1 = first;
    *region2 = bytes > first ? ring_.data() : nullptr;
    *bytes2 = bytes - first;
    regionLocked_ = true;
    return true;
  }
  void unlock() {
    if (!regionLocked_) return;
    regionLocked_ = false;
    ringMutex_.unlock();
  }

  // Waits for a notification: 0 or 1 (the lower one first when both fired; that one is
  // cleared), or -1 when `timeout` passed first (a zero timeout waits without end).
  int wait(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(eventMutex_);
    auto raised = [this] { return raised_[0] || raised_[1]; };
    if (timeout.count() == 0) {
      eventCondition_.wait(lock, raised);
    } else if (!eventCondition_.wait_for(lock, timeout, raised)) {
      return -1;
    }
    const int index = raised_[0] ? 0 : 1;
    raised_[index] = false;
    return index;
  }
  void raise(int index) {
    {
      std::lock_guard<std::mutex> lock(eventMutex_);
      raised_[index] = true;
    }
    eventCondition_.notify_all();
  }

  void release() {
    std::lock_guard<std::mutex> lock(ringMutex_);
    ready_ = false;
    running_ = false;
    std::vector<uint8_t>().swap(ring_);
    writePosition_ = 0;
  }

 private:
  // Whole sample frames of the time line from the start to `t`.
  uint64_t bytesAt(Clock::time_point t) const {
    const double seconds = std::chrono::duration<double>(t - startTime_).count();
    if (seconds <= 0) return 0;
    return static_cast<uint64_t>(seconds * bytesPerSecond_ / blockAlign_) * blockAlign_;
  }

  void appendLocked(const uint8_t* data, size_t length, bool crossed[2]) {
    if (!running_ || ring_.empty() || !ready_) return;
    if (length > stopAt_ - receivedBytes_) length = static_cast<size_t>(stopAt_ - receivedBytes_);
    receivedBytes_ += length;
    if (receivedBytes_ >= stopAt_) {
      running_ = false;
      stopped_.notify_all();
    }
    const uint64_t size = ring_.size();
    while (length > 0) {
      const uint64_t start = writePosition_;
      const size_t n = static_cast<size_t>(size - start < length ? size - start : length);
      if (data != nullptr) {
        std::memcpy(ring_.data() + start, data, n);
        data += n;
      } else {
        std::memset(ring_.data() + start, 0, n);
      }
      const uint64_t end = start + n;
      for (int i = 0; i < 2; ++i) {
        // Offset 0 is passed when the position wraps to the start again.
        const uint64_t p = positions_[i] == 0 ? size : positions_[i];
        if (start < p && p <= end) crossed[i] = true;
      }
      writePosition_ = static_cast<uint32_t>(end == size ? 0 : end);
      length -= n;
    }
  }

  void raiseCrossed(const bool crossed[2]) {
    for (int i = 0; i < 2; ++i) {
      if (crossed[i]) raise(i);
    }
  }

  mutable std::mutex ringMutex_;
  std::vector<uint8_t> ring_;
  uint32_t writePosition_ = 0;
  uint32_t positions_[2] = {0, 0};
  bool ready_ = false;
  bool running_ = false;
  bool regionLocked_ = false;  // the reader holds ringMutex_ between lock and unlock
  uint32_t bytesPerSecond_ = 0;
  uint32_t blockAlign_ = 1;
  Clock::time_point startTime_;
  uint64_t receivedBytes_ = 0;
  uint64_t stopAt_ = UINT64_MAX;
  std::condition_variable stopped_;

  std::mutex eventMutex_;
  std::condition_variable eventCondition_;
  bool raised_[2] = {false, false};
};

}  // namespace platform
}  // namespace quorvane_capture

#endif
