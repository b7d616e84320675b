// Clicks made with xdotool on a recorded window: the rings in the decoded pictures and the
// events the host reads.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "pipeline_support.h"
#include "quorvane_capture.h"
#include "qvf_decode.h"
#include "test_servers.h"
#include "x_test_windows.h"

namespace {

using Bytes = std::vector<uint8_t>;

// TestWindow's place on the screen and its background colour (0x336699).
constexpr int kWindowX = 10, kWindowY = 10;
constexpr int kWidth = 320, kHeight = 240;  // recorded at half size

// The U and V of the output pixel (x, y) of a YUY2 picture.
void chroma(const Bytes& picture, int width, int x, int y, int* u, int* v) {
  const size_t at = (static_cast<size_t>(y) * width + (x & ~1)) * 2;
  *u = picture[at + 1];
  *v = picture[at + 3];
}

// A ring of the button's colour around (cx, cy): most of eight points on a circle inside the
// ring's width show it. Yellow has a low U, blue a low V; the window's blue-grey has neither.
bool ringAt(const Bytes& picture, int width, int height, int cx, int cy, int button) {
  static const int offsets[8][2] = {{15, 0},  {-15, 0},  {0, 15},   {0, -15},
                                    {11, 11}, {-11, 11}, {11, -11}, {-11, -11}};
  int hits = 0;
  for (const auto& o : offsets) {
    const int x = cx + o[0], y = cy + o[1];
    if (x < 0 || y < 0 || x >= width || y >= height) continue;
    int u = 0, v = 0;
    chroma(picture, width, x, y, &u, &v);
    if (button == QV_CLICK_LEFT ? u < 80 : v < 80) ++hits;
  }
  return hits >= 6;
}

bool xdotool(const std::string& arguments) {
  return qvtest::commandSucceeds("xdotool " + arguments + " >/dev/null 2>&1");
}

void sleepMs(double ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int>(ms * qvtest::kSlowdown)));
}

class ClicksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!qvtest::commandSucceeds("command -v xdotool >/dev/null")) GTEST_SKIP() << "no xdotool";
    ASSERT_TRUE(qvtest::sharedXvfb().running());
  }
  void TearDown() override {
    Finalize();
    setClickDrawing(0);
    setClickEvents(0);
    if (!path_.empty()) std::remove(path_.c_str());
  }
  std::string path_;
};

// A left click and then a right one, each at its own place, on a window recorded at half size
// without the pointer: no ring before a click; the first picture after it shows the ring of
// its button at its place (the place the event gives, in output pixels), which is gone 0.3 s
// later; the events name the frames where the rings appear.
TEST_F(ClicksTest, RingsAppearAtTheClickAfterItAndEventsNameTheirFrames) {
  qvtest::TestWindow window(kWidth, kHeight, true);
  window.map();
  ASSERT_TRUE(window.waitViewable());
  const int places[2][2] = {{100, 80}, {240, 170}};  // window pixels
  const int buttons[2] = {QV_CLICK_LEFT, QV_CLICK_RIGHT};
  ASSERT_TRUE(xdotool("mousemove " + std::to_string(kWindowX + places[0][0]) + " " +
                      std::to_string(kWindowY + places[0][1])));

  setClickDrawing(1);
  setClickEvents(1);
  CaptureSetting s{};
  s.frameRate = 20;
  s.targetWindow = window.id();
  s.outputWidth = kWidth / 2;
  s.outputHeight = kHeight / 2;
  s.memorySize = 64u << 20;
  s.affinityMask = getAffinityMask();
  s.useAVX = qvtest::pipelineUseAVX();
  s.clientArea = 1;
  Initialize(&s);
  ASSERT_EQ(getInitializeStatus(), QV_INIT_OK);
  std::vector<QvClickEvent> events;
  {
    qvtest::RecordingThreads threads;
    for (int k = 0; k < 2; ++k) {
      ASSERT_TRUE(xdotool("mousemove " + std::to_string(kWindowX + places[k][0]) + " " +
                          std::to_string(kWindowY + places[k][1])));
      sleepMs(500);
      // Held as long as a hand holds a button (50 to 150 ms): `xdotool click` releases it
      // after about a millisecond, which no polled button state can be relied on to see.
      const std::string button = k == 0 ? "1" : "3";
      ASSERT_TRUE(xdotool("mousedown " + button));
      sleepMs(80);
      ASSERT_TRUE(xdotool("mouseup " + button));
      sleepMs(600);
    }
    setTerminated(1);
  }
  QvClickEvent buffer[16];
  for (int n; (n = readClickEvents(buffer, 16)) > 0;)
    events.insert(events.end(), buffer, buffer + n);
  path_ = "/tmp/qv-clicks-" + std::to_string(getpid()) + ".qvf";
  ASSERT_NE(OutputThread(const_cast<char*>(path_.c_str())), QV_OUTPUT_FAILED);
  qvtest::QvfFile file;
  std::string error;
  std::vector<Bytes> pictures;
  ASSERT_TRUE(qvtest::readQvf(path_, &file, &error)) << error;
  ASSERT_TRUE(qvtest::decodePictures(file, &pictures, &error)) << error;
  const int w = static_cast<int>(file.width), h = static_cast<int>(file.height);

  // A press and a release per click, in order.
  ASSERT_EQ(events.size(), 4u);
  for (int k = 0; k < 2; ++k) {
    const QvClickEvent& press = events[2 * k];
    const QvClickEvent& release = events[2 * k + 1];
    EXPECT_EQ(press.pressed, 1);
    EXPECT_EQ(release.pressed, 0);
    EXPECT_EQ(press.button, buttons[k]);
    EXPECT_EQ(release.button, buttons[k]);
    EXPECT_EQ(press.x, places[k][0] / 2);
    EXPECT_EQ(press.y, places[k][1] / 2);
    EXPECT_NEAR(static_cast<double>(press.milliseconds), press.frame * 50.0, 60.0);
  }
  for (int k = 0; k < 2; ++k) {
    const QvClickEvent& press = events[2 * k];
    const int64_t first = press.frame;
    ASSERT_LT(first + 8, static_cast<int64_t>(pictures.size()));
    for (int64_t f = first - 6; f < first; ++f) {
      EXPECT_FALSE(ringAt(pictures[f], w, h, press.x, press.y, press.button))
          << "ring of click " << k << " in frame " << f << ", before the click (frame " << first
          << ")";
    }
    EXPECT_TRUE(ringAt(pictures[first], w, h, press.x, press.y, press.button))
        << "no ring of click " << k << " in frame " << first;
    // 0.3 s at 20 fps: six frames, then gone.
    EXPECT_FALSE(ringAt(pictures[first + 7], w, h, press.x, press.y, press.button));
    EXPECT_FALSE(ringAt(pictures[first], w, h, press.x, press.y,
                        press.button == QV_CLICK_LEFT ? QV_CLICK_RIGHT : QV_CLICK_LEFT));
  }
}

}  // namespace
