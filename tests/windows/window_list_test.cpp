// The window list against real Win32 windows (run under Wine with a desktop).
#include "window_list.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "quorvane_capture.h"

namespace {

const char kClassName[] = "QvWindowListTest";

void registerClass() {
  static bool registered = false;
  if (registered) return;
  WNDCLASSA wc{};
  wc.lpfnWndProc = DefWindowProcA;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = kClassName;
  RegisterClassA(&wc);
  registered = true;
}

class Window {
 public:
  Window(DWORD exStyle, const std::string& title, bool visible, int width = 300, int height = 200) {
    registerClass();
    hwnd_ = CreateWindowExA(exStyle, kClassName, title.c_str(), WS_OVERLAPPEDWINDOW, 50, 50, width,
                            height, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    if (hwnd_ != nullptr && visible) ShowWindow(hwnd_, SW_SHOWNOACTIVATE);
  }
  ~Window() {
    if (hwnd_ != nullptr) DestroyWindow(hwnd_);
  }
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;
  HWND hwnd() const { return hwnd_; }
  uint64_t handle() const { return reinterpret_cast<uint64_t>(hwnd_); }

 private:
  HWND hwnd_ = nullptr;
};

// Index of the window in the list built by the last createWindowList, or -1.
int64_t find(uint64_t count, const Window& window) {
  for (uint64_t i = 0; i < count; ++i) {
    if (getWindowList(i)->hwnd == window.handle()) return static_cast<int64_t>(i);
  }
  return -1;
}

class WindowListTest : public ::testing::Test {
 protected:
  void TearDown() override { Finalize(); }
};

TEST_F(WindowListTest, ScreenEntryFirst) {
  const uint64_t count = createWindowList();
  ASSERT_GE(count, 1u);
  const WindowInformationRecord* screen = getWindowList(0);
  ASSERT_NE(screen, nullptr);
  EXPECT_EQ(screen->hwnd, reinterpret_cast<uint64_t>(GetDesktopWindow()));
  EXPECT_STREQ(screen->title, "**Desktop Screen**");
  EXPECT_STREQ(screen->processName, "");
  RECT r;
  GetWindowRect(GetDesktopWindow(), &r);
  EXPECT_EQ(screen->windowWidth, r.right - r.left);
  EXPECT_EQ(screen->windowHeight, r.bottom - r.top);
  EXPECT_EQ(screen->clientWidth, r.right - r.left);
  EXPECT_EQ(screen->clientHeight, r.bottom - r.top);
  EXPECT_EQ(getWindowList(count), nullptr);
}

TEST_F(WindowListTest, FilterTitlesProcessAndSizes) {
  Window plain(0, "qv plain", true, 320, 240);
  Window tool(WS_EX_TOOLWINDOW, "qv tool", true);
  Window hidden(0, "qv hidden", false);
  Window hiddenApp(WS_EX_APPWINDOW, "qv hidden app", false);
  Window toolApp(WS_EX_TOOLWINDOW | WS_EX_APPWINDOW, "qv tool app", true);
  std::string longTitle;
  for (int i = 0; i < 300; ++i) longTitle += static_cast<char>('a' + i % 26);
  Window longWindow(0, longTitle, true);
  ASSERT_NE(plain.hwnd(), nullptr);

  const uint64_t count = createWindowList();
  EXPECT_EQ(find(count, tool), -1) << "a visible tool window is not offered";
  EXPECT_EQ(find(count, hidden), -1) << "a hidden window is not offered";
  EXPECT_GE(find(count, hiddenApp), 1) << "an app window is offered even when hidden";
  EXPECT_GE(find(count, toolApp), 1) << "the app style wins over the tool style";

  const int64_t p = find(count, plain);
  ASSERT_GE(p, 1);
  const WindowInformationRecord* info = getWindowList(p);
  EXPECT_STREQ(info->title, "qv plain");
  char exe[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, exe, MAX_PATH);
  const std::string path = exe;
  EXPECT_STREQ(info->processName, path.substr(path.find_last_of("\\/") + 1).c_str());
  RECT w, c;
  GetWindowRect(plain.hwnd(), &w);
  GetClientRect(plain.hwnd(), &c);
  EXPECT_EQ(info->windowWidth, 320);
  EXPECT_EQ(info->windowHeight, 240);
  EXPECT_EQ(info->clientWidth, c.right - c.left);
  EXPECT_EQ(info->clientHeight, c.bottom - c.top);
  EXPECT_LT(info->clientHeight, info->windowHeight);

  const int64_t l = find(count, longWindow);
  ASSERT_GE(l, 1);
  EXPECT_EQ(std::string(getWindowList(l)->title), longTitle.substr(0, 127));
}

TEST_F(WindowListTest, FinalizeEmptiesTheList) {
  Window plain(0, "qv plain", true);
  const uint64_t count = createWindowList();
  ASSERT_GE(count, 2u);
  Finalize();
  EXPECT_TRUE(quorvane_capture::windowList.empty());
  EXPECT_EQ(getWindowList(0), nullptr);
  EXPECT_EQ(createWindowList(), count);
}

}  // namespace
