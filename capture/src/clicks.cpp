#include "clicks.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "capture_state.h"
#include "host_status.h"
#include "quorvane_capture.h"

namespace quorvane_capture {
namespace {

// How long a ring stays, fading, after its press.
constexpr double kRingMilliseconds = 300.0;
// Outer radius and width of a ring on a picture that is not scaled down; a scaled-down
// recording gets a ring as much larger, so that it keeps its size in the stored picture.
constexpr double kRingRadius = 18.0;
constexpr double kRingWidth = 5.0;
// Left and right button, B, G, R.
constexpr uint8_t kLeftColour[3] = {0, 220, 255};   // yellow
constexpr uint8_t kRightColour[3] = {255, 140, 0};  // blue
constexpr int kRings = 8;
constexpr int kPending = 64;
constexpr int kQueue = 4096;

struct Press {
  double time;
  int32_t x, y;
  uint32_t button;
};

int32_t drawRequested = 0;
int32_t eventsRequested = 0;

struct ClickState {
  bool draw = false;
  bool events = false;
  int64_t width = 0, height = 0;
  double scaleX = 1.0, scaleY = 1.0;  // capture pixels per output pixel
  double ringScale = 1.0;
  int64_t frameRate = 1;
  uint32_t buttons = 0;  // held at the last read
  Press rings[kRings]{};
  int ringCount = 0;
  QvClickEvent pending[kPending]{};
  double pendingTime[kPending]{};
  int pendingCount = 0;
  bool haveOrigin = false;
  double origin = 0.0;  // the first frame's time stamp: 0 on the file's timeline
  // Read by the host, under the mutex.
  QvClickEvent queue[kQueue]{};
  int queueCount = 0;
  platform::Mutex mutex = nullptr;
};

ClickState* state = nullptr;

void noteEdge(ClickState& s, uint32_t button, bool pressed, int32_t x, int32_t y, double now) {
  if (pressed && s.draw) {
    // The oldest ring makes room.
    if (s.ringCount == kRings) {
      std::rotate(s.rings, s.rings + 1, s.rings + kRings);
      --s.ringCount;
    }
    s.rings[s.ringCount++] = Press{now, x, y, button};
  }
  if (s.events && s.pendingCount < kPending) {
    QvClickEvent& e = s.pending[s.pendingCount];
    e = QvClickEvent{};
    e.x = static_cast<int32_t>(std::lround(x / s.scaleX));
    e.y = static_cast<int32_t>(std::lround(y / s.scaleY));
    e.button = button == platform::kPointerRight ? QV_CLICK_RIGHT : QV_CLICK_LEFT;
    e.pressed = pressed ? 1 : 0;
    s.pendingTime[s.pendingCount++] = now;
  }
}

void drawRing(ClickState& s, uint8_t* picture, const Press& press, double alpha) {
  const double outer = kRingRadius * s.ringScale;
  const double inner = outer - kRingWidth * s.ringScale;
  const uint8_t* colour = press.button == platform::kPointerRight ? kRightColour : kLeftColour;
  const auto a = static_cast<uint32_t>(std::lround(alpha * 256.0));
  const int64_t reach = static_cast<int64_t>(std::ceil(outer));
  const int64_t top = std::max<int64_t>(0, press.y - reach);
  const int64_t bottom = std::min<int64_t>(s.height - 1, press.y + reach);
  const int64_t left = std::max<int64_t>(0, press.x - reach);
  const int64_t right = std::min<int64_t>(s.width - 1, press.x + reach);
  for (int64_t y = top; y <= bottom; ++y) {
    for (int64_t x = left; x <= right; ++x) {
      const double dx = static_cast<double>(x - press.x), dy = static_cast<double>(y - press.y);
      const double d = std::sqrt(dx * dx + dy * dy);
      if (d > outer || d < inner) continue;
      uint8_t* p = picture + (y * s.width + x) * 4;
      for (int c = 0; c < 3; ++c) {
        p[c] = static_cast<uint8_t>((colour[c] * a + p[c] * (256 - a)) >> 8);
      }
    }
  }
}

}  // namespace

void resetClicks(int64_t captureWidth, int64_t captureHeight, int64_t outputWidth,
                 int64_t outputHeight, int64_t frameRate) {
  closeClicks();
  if (drawRequested == 0 && eventsRequested == 0) return;
  auto* s = new (std::nothrow) ClickState();
  if (s == nullptr) return;
  s->draw = drawRequested != 0;
  s->events = eventsRequested != 0;
  s->width = captureWidth;
  s->height = captureHeight;
  s->scaleX =
      static_cast<double>(captureWidth) / static_cast<double>(std::max<int64_t>(outputWidth, 1));
  s->scaleY =
      static_cast<double>(captureHeight) / static_cast<double>(std::max<int64_t>(outputHeight, 1));
  s->ringScale = std::max(1.0, std::max(s->scaleX, s->scaleY));
  s->frameRate = std::max<int64_t>(frameRate, 1);
  s->mutex = platform::createMutex();
  state = s;
}

void closeClicks() {
  if (state == nullptr) return;
  platform::closeMutex(state->mutex);
  delete state;
  state = nullptr;
}

void pollClicks(double now) {
  if (state == nullptr) return;
  ClickState& s = *state;
  int32_t x = 0, y = 0;
  uint32_t buttons = 0;
  if (!captureSettingInternal.grabber.readPointer(&x, &y, &buttons)) return;
  for (uint32_t button : {platform::kPointerLeft, platform::kPointerRight}) {
    const bool was = (s.buttons & button) != 0, is = (buttons & button) != 0;
    if (was != is) noteEdge(s, button, is, x, y, now);
  }
  s.buttons = buttons;
}

void markClicks(uint8_t* picture, double now) {
  if (state == nullptr || !state->draw || picture == nullptr) return;
  ClickState& s = *state;
  for (int i = 0; i < s.ringCount; ++i) {
    const double age = now - s.rings[i].time;
    if (age < 0.0 || age >= kRingMilliseconds) continue;
    drawRing(s, picture, s.rings[i], 1.0 - age / kRingMilliseconds);
  }
}

void clicksFramed(int64_t timeStamp) {
  if (state == nullptr || !state->events) return;
  ClickState& s = *state;
  if (!s.haveOrigin) {
    s.haveOrigin = true;
    s.origin = static_cast<double>(timeStamp);
  }
  if (s.pendingCount == 0) return;
  int64_t slot = 0;
  {
    platform::MutexLock lock(hMutex_frameList_Add);
    slot = slotCounter.frames + slotCounter.repeats - 1;
  }
  platform::MutexLock lock(s.mutex);
  for (int i = 0; i < s.pendingCount && s.queueCount < kQueue; ++i) {
    QvClickEvent e = s.pending[i];
    e.frame = std::max<int64_t>(slot, 0);
    e.milliseconds = std::max<int64_t>(0, std::llround(s.pendingTime[i] - s.origin));
    s.queue[s.queueCount++] = e;
  }
  s.pendingCount = 0;
}

}  // namespace quorvane_capture

using namespace quorvane_capture;

extern "C" {

QV_EXPORT void setClickDrawing(int32_t enabled) { drawRequested = enabled != 0 ? 1 : 0; }
QV_EXPORT int32_t getClickDrawing(void) { return drawRequested; }
QV_EXPORT void setClickEvents(int32_t enabled) { eventsRequested = enabled != 0 ? 1 : 0; }

QV_EXPORT int32_t readClickEvents(QvClickEvent* events, int32_t capacity) {
  if (state == nullptr || events == nullptr || capacity <= 0) return 0;
  ClickState& s = *state;
  platform::MutexLock lock(s.mutex);
  const int taken = std::min(capacity, s.queueCount);
  std::copy(s.queue, s.queue + taken, events);
  std::copy(s.queue + taken, s.queue + s.queueCount, s.queue);
  s.queueCount -= taken;
  return taken;
}

}  // extern "C"
