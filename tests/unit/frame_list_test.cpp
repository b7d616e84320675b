#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "capture_state.h"
#include "frame_list.h"

namespace quorvane_capture {
namespace {

TEST(FrameList, RecordsKeepTheirAddressWhileTheListGrows) {
  FrameList list;
  ASSERT_TRUE(list.push_back({0, nullptr, nullptr, 0, FRAME_CAPTURED}));
  frame* first = &list[0];
  for (int i = 1; i < 5000; ++i) ASSERT_TRUE(list.push_back({i, nullptr, nullptr, 0, FRAME_CAPTURED}));
  EXPECT_EQ(&list[0], first);
  EXPECT_EQ(list.size(), 5000u);
  EXPECT_EQ(list[4321].timeStamp, 4321);
  list.clear();
  EXPECT_TRUE(list.empty());
  ASSERT_TRUE(list.push_back({7, nullptr, nullptr, 0, FRAME_CAPTURED}));
  EXPECT_EQ(&list[0], first);  // the storage is kept for the next recording
  EXPECT_EQ(list[0].timeStamp, 7);
}

// The list protocol with real threads: one appender, two "encoders" that move records from 1 to
// 2 in their share, and one "compressor" that moves them to 4/5 strictly in order. Run under
// ThreadSanitizer this catches any access outside the two mutexes' protection.
TEST(FrameList, AppendWhileOthersInspectAndChangeRecords) {
  FrameList list;
  platform::Mutex add = platform::createMutex();
  platform::Mutex change = platform::createMutex();
  constexpr int kFrames = 6000;
  std::atomic<bool> appenderDone{false};

  auto count = [&]() {
    platform::MutexLock lock(add);
    return list.size();
  };
  std::thread appender([&]() {
    for (int i = 0; i < kFrames; ++i) {
      frame record{i, nullptr, nullptr, 0, FRAME_CAPTURED};
      platform::MutexLock lock(add);
      ASSERT_TRUE(list.push_back(record));
    }
    appenderDone = true;
  });
  auto encoder = [&](int k) {
    for (int index = k; index < kFrames;) {
      if (static_cast<size_t>(index) >= count()) {
        std::this_thread::yield();
        continue;
      }
      platform::MutexLock lock(change);
      frame& f = list[index];
      ASSERT_EQ(f.status, FRAME_CAPTURED);
      ASSERT_EQ(f.timeStamp, index);
      f.status = FRAME_ENCODED;
      index += 2;
    }
  };
  std::thread encoder0(encoder, 0), encoder1(encoder, 1);
  std::thread compressor([&]() {
    for (int index = 0; index < kFrames;) {
      if (static_cast<size_t>(index) >= count()) {
        std::this_thread::yield();
        continue;
      }
      platform::MutexLock lock(change);
      frame& f = list[index];
      if (f.status < FRAME_ENCODED || (index > 0 && list[index - 1].status < FRAME_ENCODED)) {
        continue;
      }
      f.status = index % 30 == 0 ? FRAME_KEY : FRAME_DELTA;
      f.compressedSize = static_cast<uint64_t>(index);
      ++index;
    }
  });
  appender.join();
  encoder0.join();
  encoder1.join();
  compressor.join();
  ASSERT_TRUE(appenderDone);
  ASSERT_EQ(list.size(), static_cast<size_t>(kFrames));
  for (int i = 0; i < kFrames; ++i) {
    ASSERT_EQ(list[i].status, i % 30 == 0 ? FRAME_KEY : FRAME_DELTA) << i;
    ASSERT_EQ(list[i].compressedSize, static_cast<uint64_t>(i));
  }
  platform::closeMutex(add);
  platform::closeMutex(change);
  EXPECT_EQ(add, nullptr);
}

TEST(RunControl, BitCountAddsPairsUpToSixtyFour) {
  EXPECT_EQ(bitCount(0), 0);
  EXPECT_EQ(bitCount(~uint64_t{0}), 64);
  EXPECT_EQ(bitCount(0x8000000000000001ULL), 2);
  EXPECT_EQ(bitCount(0x00000000FFFFFFFFULL), 32);
  EXPECT_EQ(bitCount(0xF0F0F0F0F0F0F0F0ULL), 32);
  uint64_t x = 0x123456789ABCDEF0ULL;
  int expected = 0;
  for (uint64_t y = x; y != 0; y &= y - 1) ++expected;
  EXPECT_EQ(bitCount(x), expected);
}

TEST(RunControl, AffinityKeepsOnlyProcessorsOfTheSystem) {
  const uint64_t system = getAffinityMask();
  ASSERT_NE(system, 0u);
  EXPECT_EQ(setAffinityMask(0), bitCount(system));  // no processor asked for: all of them
  uint64_t processMask = 0;
  ASSERT_TRUE(platform::getProcessAffinityMask(&processMask, nullptr));
  EXPECT_EQ(processMask, system);
  const uint64_t lowest = system & (~system + 1);
  // A bit outside the system mask is dropped, the one inside stays.
  EXPECT_EQ(setAffinityMask(lowest | 0x8000000000000000ULL),
            (system & 0x8000000000000000ULL) ? 2 : 1);
  ASSERT_TRUE(platform::getProcessAffinityMask(&processMask, nullptr));
  EXPECT_EQ(processMask & lowest, lowest);
  EXPECT_EQ(setAffinityMask(system), bitCount(system));  // restore for the other tests
}

TEST(RunControl, StopFlagAndProgressWithoutInitializeDoNoHarm) {
  setTerminated(1);
  EXPECT_TRUE(getTerminated());
  setTerminated(0);
  EXPECT_FALSE(getTerminated());
  EXPECT_EQ(waitCaptureAction(), 0);  // not initialised: refuses instead of waiting forever
  EXPECT_EQ(getEncodeThreadCount(), 0);
  Finalize();
  Finalize();
  EXPECT_EQ(getInitializeStatus(), QV_INIT_NOT_INITIALIZED);
}

}  // namespace
}  // namespace quorvane_capture
