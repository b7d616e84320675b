// The looping capture buffer for backends whose system delivers sound as a stream of packets
// (PulseAudio, WASAPI): the packets are appended to a ring of our own at a write position, and
// two auto-reset notifications are raised as that position passes their offsets, which is the
// shape the audio object drives. The stream's time line is kept too, by the device's own
// account of when its sound was recorded: a stop ends the sound at the moment it was asked for,
// a source that delivers nothing while nothing plays has its gaps filled with silence of their
// length, and the reader learns how long ago the newest sound in the ring was recorded. Sound
// that arrives while the ring is full of sound not read yet (a device that delivers more than
// the ring holds in one burst, a reader held up) is not written over what is unread: it is
// counted as lost frames at its place, which the reader turns into silence of its length.
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
      lastRecorded_ = startTime_;
      lostFrames_ = 0;
      discontinuities_ = 0;
      breakBytes_ = 0;
      readBytes_ = 0;
      ended_ = false;
      running_ = true;
    }
    std::lock_guard<std::mutex> lock(eventMutex_);
    raised_[0] = raised_[1] = false;
  }
  // The device went away: nothing more is appended until it resumes.
  void abandon() {
    std::lock_guard<std::mutex> lock(ringMutex_);
    running_ = false;
    stopped_.notify_all();
  }
  // A device came back (reopened after it went away): the stream goes on at the position where
  // it stood, with a break there, since the time between held nothing. False once a stop has
  // ended the ring, or before it began.
  bool resume() {
    std::lock_guard<std::mutex> lock(ringMutex_);
    if (ended_ || ring_.empty() || !ready_) return false;
    running_ = true;
    ++discontinuities_;
    breakBytes_ = receivedBytes_;
    // Its gap is measured from now, not from the last sound of the device that went away.
    lastRecorded_ = Clock::now();
    return true;
  }
  bool running() const {
    std::lock_guard<std::mutex> lock(ringMutex_);
    return running_;
  }

  // Appends sound (null data: silence), up to the end a stop has set. `age`: how long ago the
  // last frame of it was recorded, as the device tells (0: just now).
  void append(const uint8_t* data, size_t length, Clock::duration age = Clock::duration::zero()) {
    bool crossed[2] = {false, false};
    {
      std::lock_guard<std::mutex> lock(ringMutex_);
      const auto recorded =
          Clock::now() - (age > Clock::duration::zero() ? age : Clock::duration::zero());
      // Never earlier than sound already in the ring: that would place it twice.
      if (recorded > lastRecorded_ || receivedBytes_ == 0) lastRecorded_ = recorded;
      appendLocked(data, length, crossed);
    }
    raiseCrossed(crossed);
  }

  // The device said that `frames` frames went missing before what it delivers next (its position
  // jumped), or that some did without saying how many (frames 0).
  // A break without a length is kept with its place: the write position it happened at.
  void noteLost(uint64_t frames) {
    std::lock_guard<std::mutex> lock(ringMutex_);
    if (frames == 0) {
      ++discontinuities_;
      breakBytes_ = receivedBytes_;
    } else {
      lostFrames_ += frames;
    }
  }

  // The write position with the device's account of the sound up to it: how long ago its last
  // frame was recorded (ms), the losses noted since the start, and how many bytes before the
  // position the last break lies (at most the ring's size: further back is as good as before
  // anything still unread).
  bool readTiming(uint32_t* position, double* ageMilliseconds, uint64_t* lostFrames,
                  uint32_t* discontinuities, uint32_t* bytesAfterBreak = nullptr) const {
    std::lock_guard<std::mutex> lock(ringMutex_);
    if (ring_.empty()) return false;
    *position = writePosition_;
    const auto now = Clock::now();
    *ageMilliseconds = receivedBytes_ == 0
                           ? 0.0
                           : std::chrono::duration<double, std::milli>(now - lastRecorded_).count();
    *lostFrames = lostFrames_;
    *discontinuities = discontinuities_;
    if (bytesAfterBreak != nullptr) {
      const uint64_t after = receivedBytes_ - breakBytes_;
      *bytesAfterBreak = static_cast<uint32_t>(after < ring_.size() ? after : ring_.size());
    }
    return true;
  }

  // Silence for a gap, called while the reader waits: a source that has delivered nothing for
  // twice `tolerance` gets silence from where its last sound was recorded up to `tolerance`
  // ago, and a stopping stream, `tolerance` after the stop, up to its end. The gap is measured
  // from the device's own last sound, never from the start: a device whose clock runs a little
  // slow is not a gap. No more than half the ring goes in at once, so the reader takes it all
  // before the next. Nothing before the first sound or `startGrace`: a device may take a while
  // to deliver at all. Returns whether any silence went in.
  bool fillGap(std::chrono::milliseconds tolerance, std::chrono::milliseconds startGrace) {
    bool crossed[2] = {false, false};
    bool filled = false;
    {
      std::lock_guard<std::mutex> lock(ringMutex_);
      const auto now = Clock::now();
      if (!running_ || !ready_) return false;
      if (receivedBytes_ == 0 && now - startTime_ < startGrace) return false;
      const bool stopping = stopAt_ != UINT64_MAX;
      const auto since = receivedBytes_ == 0 ? startTime_ : lastRecorded_;
      uint64_t target = receivedBytes_ + bytesFor(now - tolerance - since);
      if (stopping && now - stopTime_ >= tolerance) target = stopAt_;
      const bool behind = now - since > 2 * tolerance;
      if ((behind || stopping) && target > receivedBytes_) {
        const uint64_t half = ring_.size() / 2 / blockAlign_ * blockAlign_;
        const uint64_t n = target - receivedBytes_ < half ? target - receivedBytes_ : half;
        appendLocked(nullptr, static_cast<size_t>(n), crossed);
        // The silence stands for the time it fills.
        lastRecorded_ =
            since + std::chrono::duration_cast<Clock::duration>(
                        std::chrono::duration<double>(static_cast<double>(n) / bytesPerSecond_));
        filled = n != 0;
      }
    }
    raiseCrossed(crossed);
    return filled;
  }

  // Ends the sound at this moment: what the source recorded up to now but has not delivered
  // yet is still taken, waiting up to `wait` for it (where the reader fills gaps, that covers
  // the silence too); then the position stands still. A second stop changes nothing.
  void end(std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(ringMutex_);
    // A device gone at the stop does not come back after it.
    ended_ = true;
    if (!running_) return;
    const auto now = Clock::now();
    if (stopAt_ == UINT64_MAX) {
      // The device's own count up to now: what it delivered, and what it recorded since the
      // last of it at its rate (a device whose clock drifts ends where its sound ends).
      stopAt_ = receivedBytes_ == 0 ? bytesAt(now) : receivedBytes_ + bytesFor(now - lastRecorded_);
      stopTime_ = now;
    }
    if (receivedBytes_ < stopAt_) {
      stopped_.wait_until(lock, now + wait, [this] { return !running_; });
    }
    running_ = false;
    stopped_.notify_all();
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
    lockedEnd_ = static_cast<uint32_t>((offset + bytes) % size);
    return true;
  }
  // The reader has taken the locked range: the ring holds what lies after it unread.
  void unlock() {
    if (!regionLocked_) return;
    regionLocked_ = false;
    const uint64_t size = ring_.size();
    const uint64_t unread = (writePosition_ + size - lockedEnd_) % size;
    if (receivedBytes_ - unread > readBytes_) readBytes_ = receivedBytes_ - unread;
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
  uint64_t bytesAt(Clock::time_point t) const { return bytesFor(t - startTime_); }
  // Whole sample frames of a stretch of time.
  uint64_t bytesFor(Clock::duration d) const {
    const double seconds = std::chrono::duration<double>(d).count();
    if (seconds <= 0) return 0;
    return static_cast<uint64_t>(seconds * bytesPerSecond_ / blockAlign_) * blockAlign_;
  }

  void appendLocked(const uint8_t* data, size_t length, bool crossed[2]) {
    if (!running_ || ring_.empty() || !ready_) return;
    if (length > stopAt_ - receivedBytes_) length = static_cast<size_t>(stopAt_ - receivedBytes_);
    // Room up to the unread sound, less a frame: a full ring would read as an empty one.
    const uint64_t size = ring_.size();
    const uint64_t unread = receivedBytes_ - readBytes_;
    const uint64_t room =
        (size - blockAlign_ > unread ? size - blockAlign_ - unread : 0) / blockAlign_ * blockAlign_;
    if (length > room) {
      lostFrames_ += (length - room) / blockAlign_;
      length = static_cast<size_t>(room);
    }
    receivedBytes_ += length;
    if (receivedBytes_ >= stopAt_) {
      running_ = false;
      stopped_.notify_all();
    }
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
  uint32_t lockedEnd_ = 0;     // where the locked range ends
  uint64_t readBytes_ = 0;     // of receivedBytes_, what the reader has taken
  uint32_t bytesPerSecond_ = 0;
  uint32_t blockAlign_ = 1;
  Clock::time_point startTime_;
  Clock::time_point stopTime_;
  uint64_t receivedBytes_ = 0;
  uint64_t stopAt_ = UINT64_MAX;
  Clock::time_point lastRecorded_;  // when the newest frame in the ring was recorded
  uint64_t lostFrames_ = 0;
  uint32_t discontinuities_ = 0;
  uint64_t breakBytes_ = 0;  // receivedBytes_ when the last break was noted
  bool ended_ = false;       // a stop ended the stream: no resume after it
  std::condition_variable stopped_;

  std::mutex eventMutex_;
  std::condition_variable eventCondition_;
  bool raised_[2] = {false, false};
};

}  // namespace platform
}  // namespace quorvane_capture

#endif
