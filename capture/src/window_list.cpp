// The window list: what the host offers the user to record. It needs no other state of the
// library and may be built before Initialize.
#include "window_list.h"

#include <cstring>
#include <new>

#include "quorvane_capture.h"

namespace quorvane_capture {

std::vector<WindowInformation*> windowList;

namespace {

constexpr char kDesktopTitle[] = "**Desktop Screen**";

WindowInformation* newEntry(platform::WindowHandle window) {
  auto* entry = new (std::nothrow) WindowInformation();
  if (entry != nullptr) entry->hwnd = window;
  return entry;
}

// The differences are taken in 32 bits, as the rectangles are, then widened with their sign.
int64_t extent(int32_t low, int32_t high) {
  return static_cast<int64_t>(
      static_cast<int32_t>(static_cast<uint32_t>(high) - static_cast<uint32_t>(low)));
}

// No exception may cross the exported interface: without memory the window is left out.
void appendEntry(WindowInformation* entry) {
  try {
    windowList.push_back(entry);
  } catch (const std::bad_alloc&) {
    delete entry;
  }
}

}  // namespace

void clearWindowList() {
  for (WindowInformation* entry : windowList) delete entry;
  windowList.clear();
}

bool EnumWindowsProc(platform::WindowHandle window, int64_t /*value*/) {
  const uint32_t style = platform::getWindowExtendedStyle(window);
  if ((style & platform::kWindowStyleAppWindow) == 0 &&
      ((style & platform::kWindowStyleToolWindow) != 0 || !platform::isWindowVisible(window))) {
    return true;
  }
  // A window that closed while the list was being built has no rectangle left: offering it
  // would only lead to a refused Initialize.
  platform::Rect windowRect{}, clientRect{};
  if (!platform::getWindowRect(window, &windowRect)) return true;
  platform::getClientRect(window, &clientRect);

  WindowInformation* entry = newEntry(window);
  if (entry == nullptr) return true;
  platform::getWindowTitle(window, entry->title, sizeof(entry->title));
  platform::getWindowProcessName(window, entry->processName, sizeof(entry->processName));
  entry->windowWidth = extent(windowRect.left, windowRect.right);
  entry->windowHeight = extent(windowRect.top, windowRect.bottom);
  entry->clientWidth = extent(clientRect.left, clientRect.right);
  entry->clientHeight = extent(clientRect.top, clientRect.bottom);
  appendEntry(entry);
  return true;
}

}  // namespace quorvane_capture

using namespace quorvane_capture;

extern "C" {

QV_EXPORT uint64_t createWindowList(void) {
  clearWindowList();
  WindowInformation* screen = newEntry(platform::desktopWindow());
  if (screen == nullptr) return 0;
  platform::Rect rect{};
  platform::getWindowRect(screen->hwnd, &rect);
  screen->windowWidth = screen->clientWidth = extent(rect.left, rect.right);
  screen->windowHeight = screen->clientHeight = extent(rect.top, rect.bottom);
  std::memcpy(screen->title, kDesktopTitle, sizeof(kDesktopTitle));
  appendEntry(screen);
  platform::enumWindows(EnumWindowsProc, 0);
  return windowList.size();
}

QV_EXPORT const WindowInformationRecord* getWindowList(uint64_t index) {
  static WindowInformationRecord wir;
  if (index >= windowList.size()) return nullptr;
  const WindowInformation& entry = *windowList[index];
  wir.hwnd = entry.hwnd;
  wir.windowWidth = entry.windowWidth;
  wir.windowHeight = entry.windowHeight;
  wir.clientWidth = entry.clientWidth;
  wir.clientHeight = entry.clientHeight;
  wir.title = entry.title;
  wir.processName = entry.processName;
  return &wir;
}

}  // extern "C"
