// A test suite that records on the shared Xvfb with a PulseAudio daemon of its own, playing a
// tone of kToneHz into the default sink (whose monitor is the default source). Each test ends
// with Finalize.
#ifndef QUORVANE_X_AND_SOUND_TEST_H
#define QUORVANE_X_AND_SOUND_TEST_H

#include <gtest/gtest.h>

#include "quorvane_capture.h"
#include "test_servers.h"
#include "x_test_windows.h"

namespace qvtest {

template <int kToneHz>
class XAndSoundTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pulse_ = new PulseServer();
    if (pulse_->running()) pulse_->playTone(kToneHz);
  }
  static void TearDownTestSuite() {
    delete pulse_;
    pulse_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(sharedXvfb().running());
    ASSERT_TRUE(pulse_->running());
  }
  void TearDown() override { Finalize(); }

  static inline PulseServer* pulse_ = nullptr;
};

}  // namespace qvtest

#endif
