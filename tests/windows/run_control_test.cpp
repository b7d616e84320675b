// The recording's one stop under Wine: a fault and many host stops at once, with every sound
// source (DirectSound capture, the loopback where the system has it, none).
#include <gtest/gtest.h>
#include <windows.h>

#include "concurrent_stop.h"

namespace quorvane_capture {
namespace {

TEST(WindowsRunControl, ManyStopsAtOnceEndTheSoundOnceWithEverySource) {
  for (const int32_t source : {QV_SOURCE_CAPTURE_DEVICE, QV_SOURCE_DESKTOP, QV_SOURCE_NONE}) {
    SCOPED_TRACE(source);
    qvtest::stopFromManyThreadsAtOnce(source);
  }
}

}  // namespace
}  // namespace quorvane_capture
