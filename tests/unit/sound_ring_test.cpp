// The ring the stream backends append their sound to: where a break of unknown length lies in
// it, and a device that goes away and comes back (but never after the stop).
#include "sound_ring.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

namespace quorvane_capture {
namespace platform {
namespace {

struct RingState {
  uint32_t position = 0;
  uint32_t discontinuities = 0;
  uint32_t bytesAfterBreak = 0;
};

RingState stateOf(const SoundRing& ring, uint64_t* lostFrames = nullptr) {
  RingState s;
  double age = 0;
  uint64_t lost = 0;
  EXPECT_TRUE(ring.readTiming(&s.position, &age, &lost, &s.discontinuities, &s.bytesAfterBreak));
  if (lostFrames != nullptr) *lostFrames = lost;
  return s;
}

// Takes what the ring holds from `offset` on, as the reader does; returns how much.
uint32_t readAll(SoundRing& ring, uint32_t* offset, uint32_t size) {
  const uint32_t position = stateOf(ring).position;
  const uint32_t n = (position + size - *offset) % size;
  void* region1 = nullptr;
  void* region2 = nullptr;
  uint32_t bytes1 = 0, bytes2 = 0;
  EXPECT_TRUE(ring.lock(*offset, n, &region1, &bytes1, &region2, &bytes2));
  ring.unlock();
  *offset = position;
  return n;
}

TEST(SoundRing, BreaksKeepTheirPlaceAndALostDeviceResumesWhereItStoodUntilTheStop) {
  SoundRing ring;
  ring.create(17640, 176400, 4);  // a tenth of a second of 44.1 kHz stereo
  const uint32_t positions[2] = {0, 8820};
  ASSERT_TRUE(ring.setPositions(positions));
  ring.begin();
  const std::vector<uint8_t> sound(400, 7);
  ring.append(sound.data(), 400);
  // A stream moved to another source after the first 400 bytes: the break lies there, however
  // much comes after it before the reader looks.
  ring.noteLost(0);
  ring.append(sound.data(), 100);
  RingState s = stateOf(ring);
  EXPECT_EQ(s.position, 500u);
  EXPECT_EQ(s.discontinuities, 1u);
  EXPECT_EQ(s.bytesAfterBreak, 100u);

  // The device goes away: nothing is appended; it comes back where the ring stood, with a break
  // there.
  ring.abandon();
  ring.append(sound.data(), 100);
  EXPECT_EQ(stateOf(ring).position, 500u);
  ASSERT_TRUE(ring.resume());
  ring.append(sound.data(), 40);
  s = stateOf(ring);
  EXPECT_EQ(s.position, 540u);
  EXPECT_EQ(s.discontinuities, 2u);
  EXPECT_EQ(s.bytesAfterBreak, 40u);
  // A break further back than the ring holds says so by the ring's size.
  uint32_t offset = 0;
  for (int i = 0; i < 50; ++i) {
    ring.append(sound.data(), 400);
    readAll(ring, &offset, 17640);
  }
  EXPECT_EQ(stateOf(ring).bytesAfterBreak, 17640u);

  // Gone again, then the stop: a device that appears after it does not start the ring again.
  ring.abandon();
  ring.end(std::chrono::milliseconds(0));
  EXPECT_FALSE(ring.resume());
  const uint32_t stoppedAt = stateOf(ring).position;
  ring.append(sound.data(), 100);
  EXPECT_EQ(stateOf(ring).position, stoppedAt);
}

// A burst larger than the room left is never written over sound not read yet: what does not
// fit is counted as lost frames at its place, and the ring takes sound again once read.
TEST(SoundRing, ABurstBeyondTheUnreadRoomIsCountedAsLostNotWrittenOverIt) {
  SoundRing ring;
  ring.create(17640, 176400, 4);
  const uint32_t positions[2] = {0, 8820};
  ASSERT_TRUE(ring.setPositions(positions));
  ring.begin();
  std::vector<uint8_t> first(10000, 1), second(12000, 2);
  ring.append(first.data(), first.size());
  ring.append(second.data(), second.size());  // 7636 bytes fit, less a frame
  uint64_t lost = 0;
  EXPECT_EQ(stateOf(ring, &lost).position, 17636u);
  EXPECT_EQ(lost, (12000u - 7636u) / 4);
  void* region1 = nullptr;
  void* region2 = nullptr;
  uint32_t bytes1 = 0, bytes2 = 0;
  ASSERT_TRUE(ring.lock(0, 17636, &region1, &bytes1, &region2, &bytes2));
  EXPECT_EQ(static_cast<uint8_t*>(region1)[0], 1) << "the oldest sound is still there";
  EXPECT_EQ(static_cast<uint8_t*>(region1)[9999], 1);
  EXPECT_EQ(static_cast<uint8_t*>(region1)[17635], 2);
  ring.unlock();
  ring.append(first.data(), 400);
  EXPECT_EQ(stateOf(ring, &lost).position, (17636u + 400u) % 17640u);
  EXPECT_EQ(lost, (12000u - 7636u) / 4) << "nothing more lost once read";
}

}  // namespace
}  // namespace platform
}  // namespace quorvane_capture
