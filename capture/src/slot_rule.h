// The constant-rate timeline of the video records: which slot a frame falls into, and how many
// repeat records stand before it. One rule for the live counts (host_status) and every writer
// (record_writer), so what a host shows is what the file gets.
#ifndef QUORVANE_SLOT_RULE_H
#define QUORVANE_SLOT_RULE_H

#include <cstdint>

namespace quorvane_capture {

// The first frame's capture time starts the first slot; before each frame, one repeat record
// for every whole frame period between the start of the current slot and the frame's capture
// time; every video record moves the slot on by one period. No frame is left out; one captured
// early still takes the next slot.
class SlotRule {
 public:
  explicit SlotRule(int64_t frameRate) : period_(1000.0 / static_cast<double>(frameRate)) {}
  // The repeat records due before a frame captured at `timeStamp` (milliseconds of the frame
  // clock since the recording started); the frame then takes the next slot.
  uint64_t place(int64_t timeStamp) {
    const double stamp = static_cast<double>(timeStamp);
    if (!started_) slotStart_ = stamp;
    started_ = true;
    uint64_t repeats = 0;
    while (stamp - slotStart_ >= period_) {
      slotStart_ += period_;
      ++repeats;
    }
    slotStart_ += period_;
    return repeats;
  }

 private:
  double period_;
  double slotStart_ = 0.0;
  bool started_ = false;
};

}  // namespace quorvane_capture

#endif
