// The stretches of a recording's sound that pauses cut out. Positions count the bytes the
// capture loop has taken from the device's ring since it started, so a pause longer than the
// ring is no different from a short one.
#ifndef QUORVANE_SOUND_CUTS_H
#define QUORVANE_SOUND_CUTS_H

#include <cstdint>
#include <utility>
#include <vector>

#include "memory_pool.h"
#include "platform.h"

namespace quorvane_capture {

// Every method but mutex() is called with mutex() held, so that a transfer of the capture loop
// and the counts and cuts made from other threads see one another whole.
class SoundCuts {
 public:
  SoundCuts();
  ~SoundCuts();
  SoundCuts(const SoundCuts&) = delete;
  SoundCuts& operator=(const SoundCuts&) = delete;

  // A pause (true) or a resume (false) at the ring offset the device has reached now, in a
  // ring of ringBytes; sound is cut from a pause up to the resume after it (or to the end).
  void mark(bool pausing, uint32_t devicePosition, uint32_t ringBytes, uint32_t blockAlign);
  // Cuts what falls in a pause out of the two pieces of one transfer, which start where the
  // loop stands and follow each other, in place and before they are listed: a piece cut short
  // gives its tail back to the pool, an emptied one goes back whole (its pointer becomes null).
  void cutOut(POINTER_AND_SIZE pieces[2], MyMemoryAllocator* pool) const;
  // After each transfer: `taken` bytes left the ring (listed or skipped), and the loop now
  // reads at `ringOffset`.
  void advance(uint32_t taken, uint32_t ringOffset);
  // Bytes the device holds beyond what the loop took, less what pauses cut out of them.
  uint64_t pendingKept(uint32_t devicePosition, uint32_t ringBytes, uint32_t blockAlign) const;
  platform::Mutex mutex() const { return mutex_; }

 private:
  // Bytes of [begin, end) that fall in a cut.
  uint64_t cutBytes(uint64_t begin, uint64_t end) const;
  // The stream position of a ring offset the device has reached.
  uint64_t streamPosition(uint32_t devicePosition, uint32_t ringBytes, uint32_t blockAlign) const;

  platform::Mutex mutex_;
  uint64_t streamBytes_ = 0;                         // taken by the loop so far
  uint32_t ringOffset_ = 0;                          // where the loop reads, matching streamBytes_
  std::vector<std::pair<uint64_t, uint64_t>> cuts_;  // [begin, end); UINT64_MAX while paused
};

}  // namespace quorvane_capture

#endif
