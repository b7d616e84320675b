// The window list against real X windows, with and without a window manager.
#include "window_list.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "quorvane_capture.h"
#include "x_test_windows.h"

namespace {

using qvtest::TestWindow;

struct Listed {
  uint64_t hwnd;
  int64_t windowWidth, windowHeight, clientWidth, clientHeight;
  std::string title, processName;
};

std::vector<Listed> listWindows() {
  std::vector<Listed> out;
  const uint64_t count = createWindowList();
  for (uint64_t i = 0; i < count; ++i) {
    const WindowInformationRecord* r = getWindowList(i);
    if (r == nullptr) break;
    out.push_back({r->hwnd, r->windowWidth, r->windowHeight, r->clientWidth, r->clientHeight,
                   r->title, r->processName});
  }
  return out;
}

int positionOf(const std::vector<Listed>& list, Window window) {
  for (size_t i = 0; i < list.size(); ++i) {
    if (list[i].hwnd == window) return static_cast<int>(i);
  }
  return -1;
}

bool validUtf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += n;
  }
  return true;
}

std::string ownComm() {
  std::ifstream file("/proc/self/comm");
  std::string name;
  std::getline(file, name);
  return name;
}

std::string repeat(const std::string& piece, int times) {
  std::string s;
  for (int i = 0; i < times; ++i) s += piece;
  return s;
}

// The windows both the managed and the unmanaged case are checked with.
struct WindowSet {
  TestWindow normal{320, 200};
  TestWindow utility{200, 100};
  TestWindow skipTaskbar{200, 100};
  TestWindow unmapped{200, 100};
  TestWindow longTitle{240, 120};
  TestWindow latin1{160, 90};
  TestWindow owned{180, 110};

  const std::string longName = repeat("\xC3\xA4", 300);  // 300 characters of two bytes

  WindowSet() {
    normal.setUtf8Name("qv normal");
    utility.setUtf8Name("qv utility");
    utility.setAtoms("_NET_WM_WINDOW_TYPE", {"_NET_WM_WINDOW_TYPE_UTILITY"});
    skipTaskbar.setUtf8Name("qv skip taskbar");
    skipTaskbar.setAtoms("_NET_WM_STATE", {"_NET_WM_STATE_SKIP_TASKBAR"});
    unmapped.setUtf8Name("qv unmapped");
    longTitle.setUtf8Name(longName);
    latin1.setLatin1Name("caf\xE9");
    owned.setUtf8Name("qv owned");
    owned.setCardinal("_NET_WM_PID", getpid());
    // Listed first choice decides: a normal window that also names a tool type later is normal.
    owned.setAtoms("_NET_WM_WINDOW_TYPE",
                   {"_NET_WM_WINDOW_TYPE_NORMAL", "_NET_WM_WINDOW_TYPE_DOCK"});
    for (TestWindow* w : {&normal, &utility, &skipTaskbar, &longTitle, &latin1, &owned}) w->map();
    unmapped.sync();
  }

  ::testing::AssertionResult waitAllViewable() {
    int index = 0;
    for (TestWindow* w : {&normal, &utility, &skipTaskbar, &longTitle, &latin1, &owned}) {
      if (!w->waitViewable()) return ::testing::AssertionFailure() << "window " << index;
      ++index;
    }
    return ::testing::AssertionSuccess();
  }

  void expectFiltered(const std::vector<Listed>& list) {
    EXPECT_GE(positionOf(list, normal.id()), 1);
    EXPECT_EQ(positionOf(list, utility.id()), -1) << "utility windows are tool windows";
    EXPECT_EQ(positionOf(list, skipTaskbar.id()), -1) << "skip-taskbar windows are tool windows";
    EXPECT_EQ(positionOf(list, unmapped.id()), -1) << "hidden windows are not offered";

    const int n = positionOf(list, normal.id());
    ASSERT_GE(n, 1);
    EXPECT_EQ(list[n].title, "qv normal");
    EXPECT_EQ(list[n].clientWidth, 320);
    EXPECT_EQ(list[n].clientHeight, 200);
    EXPECT_GE(list[n].windowWidth, 320);
    EXPECT_GE(list[n].windowHeight, 200);
    EXPECT_EQ(list[n].processName, "") << "no _NET_WM_PID, no process";

    const int l = positionOf(list, longTitle.id());
    ASSERT_GE(l, 1);
    EXPECT_EQ(list[l].title, longName.substr(0, 126)) << "cut before a split character";
    EXPECT_TRUE(validUtf8(list[l].title));

    const int c = positionOf(list, latin1.id());
    ASSERT_GE(c, 1);
    EXPECT_EQ(list[c].title, "caf\xC3\xA9");

    const int o = positionOf(list, owned.id());
    ASSERT_GE(o, 1);
    EXPECT_EQ(list[o].title, "qv owned");
    EXPECT_EQ(list[o].processName, ownComm());
  }
};

class WindowListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(qvtest::sharedXvfb().running());
    Finalize();
  }
  void TearDown() override { Finalize(); }
};

TEST_F(WindowListTest, ScreenEntryAloneOnAnEmptyDesktopAndRecordReuse) {
  ASSERT_EQ(createWindowList(), 1u);
  const WindowInformationRecord* screen = getWindowList(0);
  ASSERT_NE(screen, nullptr);
  Display* display = XOpenDisplay(nullptr);
  ASSERT_NE(display, nullptr);
  EXPECT_EQ(screen->hwnd, DefaultRootWindow(display));
  XCloseDisplay(display);
  EXPECT_STREQ(screen->title, "**Desktop Screen**");
  EXPECT_STREQ(screen->processName, "");
  EXPECT_EQ(screen->windowWidth, 1280);
  EXPECT_EQ(screen->windowHeight, 720);
  EXPECT_EQ(screen->clientWidth, 1280);
  EXPECT_EQ(screen->clientHeight, 720);
  EXPECT_EQ(getWindowList(1), nullptr);
  EXPECT_EQ(getWindowList(UINT64_MAX), nullptr);

  TestWindow window(100, 60);
  window.setUtf8Name("qv second");
  window.map();
  ASSERT_EQ(createWindowList(), 2u);
  const WindowInformationRecord* first = getWindowList(0);
  const std::string firstTitle = first->title;
  const WindowInformationRecord* second = getWindowList(1);
  EXPECT_EQ(first, second) << "one record, reused";
  EXPECT_EQ(firstTitle, "**Desktop Screen**");
  EXPECT_EQ(second->hwnd, window.id());
  EXPECT_STREQ(second->title, "qv second");
  EXPECT_EQ(second->clientWidth, 100);
}

TEST_F(WindowListTest, WithoutWindowManagerTopLevelChildrenOfTheRoot) {
  WindowSet set;
  TestWindow menu(100, 100, /*overrideRedirect=*/true);
  menu.map();
  ASSERT_TRUE(set.waitAllViewable());
  const std::vector<Listed> list = listWindows();
  ASSERT_FALSE(list.empty());
  EXPECT_EQ(list[0].title, "**Desktop Screen**");
  set.expectFiltered(list);
  EXPECT_EQ(positionOf(list, menu.id()), -1) << "override-redirect popups are tool windows";
  // Without a frame the window rectangle is the client rectangle.
  const int n = positionOf(list, set.normal.id());
  EXPECT_EQ(list[n].windowWidth, 320);
  EXPECT_EQ(list[n].windowHeight, 200);
  // Top-most first: the window raised last comes before the ones below it.
  EXPECT_LT(positionOf(list, set.owned.id()), positionOf(list, set.normal.id()));
  XRaiseWindow(set.normal.display(), set.normal.id());
  set.normal.sync();
  const std::vector<Listed> raised = listWindows();
  EXPECT_EQ(positionOf(raised, set.normal.id()), 1);
}

// A window manager for one test, stopped however the test ends.
class Openbox {
 public:
  Openbox() : pid_(qvtest::spawn({"openbox", "--sm-disable"})) {}
  ~Openbox() { stop(); }
  void stop() { qvtest::stopProcess(pid_); }
  // The manager announces itself before it handles requests, and a map request that comes in
  // between is lost: ready once a probe window has been managed. The probe lives as long as
  // the manager, so that no test window reuses its id while the manager still knows it.
  bool ready() {
    if (!qvtest::waitFor("xprop -display " + qvtest::sharedXvfb().display() +
                             " -root _NET_SUPPORTING_WM_CHECK | grep -q 'window id'",
                         10000)) {
      return false;
    }
    for (int attempt = 0; attempt < 10; ++attempt) {
      probe_.map();
      if (probe_.waitViewable(2000)) return true;
      XUnmapWindow(probe_.display(), probe_.id());
      probe_.sync();
    }
    return false;
  }

 private:
  pid_t pid_;
  TestWindow probe_{20, 20};
};

TEST_F(WindowListTest, WithOpenboxTheManagersClientList) {
  Openbox openbox;
  ASSERT_TRUE(openbox.ready());
  {
    WindowSet set;
    ASSERT_TRUE(set.waitAllViewable());
    const std::vector<Listed> list = listWindows();
    set.expectFiltered(list);
    // The listed handle is the client window, its window rectangle the frame around it.
    const int n = positionOf(list, set.normal.id());
    ASSERT_GE(n, 1);
    EXPECT_GT(list[n].windowHeight, list[n].clientHeight) << "the frame's title bar counts";

    // A minimised window stays on offer, as it does on Windows.
    XIconifyWindow(set.latin1.display(), set.latin1.id(), DefaultScreen(set.latin1.display()));
    set.latin1.sync();
    bool unmapped = false;
    for (int i = 0; i < 250 && !unmapped; ++i) {
      XWindowAttributes a;
      XGetWindowAttributes(set.latin1.display(), set.latin1.id(), &a);
      unmapped = a.map_state != IsViewable;
      if (!unmapped) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(unmapped);
    EXPECT_GE(positionOf(listWindows(), set.latin1.id()), 1);
  }
  openbox.stop();
  // A manager that has gone leaves its client list on the root; it must not be trusted.
  TestWindow after(90, 90);
  after.setUtf8Name("qv after");
  after.map();
  EXPECT_GE(positionOf(listWindows(), after.id()), 1);
}

// Windows come and go while the list is built: their errors must not end the process.
TEST_F(WindowListTest, WindowsVanishingWhileListing) {
  std::atomic<bool> stop{false};
  std::thread churn([&stop] {
    while (!stop.load()) {
      std::vector<std::unique_ptr<TestWindow>> windows;
      for (int i = 0; i < 8; ++i) {
        windows.push_back(std::make_unique<TestWindow>(50, 50));
        windows.back()->setUtf8Name("qv churn");
        windows.back()->setCardinal("_NET_WM_PID", getpid());
        windows.back()->map();
      }
    }
  });
  for (int i = 0; i < 100; ++i) {
    const uint64_t count = createWindowList();
    ASSERT_GE(count, 1u);
    for (uint64_t k = 0; k < count; ++k) ASSERT_NE(getWindowList(k), nullptr);
  }
  stop = true;
  churn.join();
}

TEST_F(WindowListTest, FinalizeEmptiesTheList) {
  TestWindow window(100, 60);
  window.setUtf8Name("qv listed");
  window.map();
  ASSERT_EQ(createWindowList(), 2u);
  Finalize();
  EXPECT_TRUE(quorvane_capture::windowList.empty());
  EXPECT_EQ(getWindowList(0), nullptr);
  EXPECT_EQ(getWindowList(1), nullptr);
  EXPECT_EQ(createWindowList(), 2u);
  EXPECT_STREQ(getWindowList(1)->title, "qv listed");
}

}  // namespace
