// X11 side of window enumeration for the window list.
//
// How the Win32 notions the list is built on map onto X11:
// - Top-level windows: the client windows the window manager lists in
//   _NET_CLIENT_LIST_STACKING (else _NET_CLIENT_LIST), trusted only while the manager named by
//   _NET_SUPPORTING_WM_CHECK is alive (a dead manager leaves a stale list on the root). Without
//   a manager: the children of the root window (XQueryTree), unmapped ones included, as
//   EnumWindows includes hidden windows; the visibility test leaves those out.
// - Order: top-most first, as EnumWindows reports them, so a host shows the same order on both
//   systems and the window in front comes first. Both X sources run bottom to top: reversed.
// - WS_EX_TOOLWINDOW: the first type in _NET_WM_WINDOW_TYPE that is known here is a utility,
//   toolbar, menu, splash, dock, desktop or notification type (or one of the popup types:
//   dropdown or popup menu, tooltip, combo, drag and drop), or _NET_WM_STATE holds
//   _NET_WM_STATE_SKIP_TASKBAR, or the window is override-redirect (menus and tooltips that
//   bypass the manager).
// - WS_EX_APPWINDOW: nothing on X11 forces a window onto a task bar, so it is never reported.
// - IsWindowVisible: the window itself is mapped (an unmapped frame or another desktop does not
//   hide it, as WS_VISIBLE ignores covering), or it is iconic (WM_STATE), since a minimised
//   Win32 window stays visible while its client window on X11 is unmapped.
// - GetWindowTextA: _NET_WM_NAME (UTF-8), else WM_NAME converted to UTF-8.
// - GetModuleBaseNameA: /proc/PID/comm of the process in _NET_WM_PID, when WM_CLIENT_MACHINE
//   is absent or names this host (a pid from another machine means another process).
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform.h"
#include "x11_display.h"

namespace quorvane_capture {
namespace platform {
namespace {

Atom atom(Display* display, const char* name) { return XInternAtom(display, name, False); }

// Reads a whole property of the given type (AnyPropertyType: whatever it holds). Empty when
// it is missing, of another type or the window is gone.
struct Property {
  Atom type = None;
  int format = 0;
  std::vector<unsigned char> bytes;  // format 32 items are longs, as Xlib hands them out
  unsigned long items = 0;
};

bool readProperty(Display* display, Window window, Atom name, Atom type, Property* out) {
  Atom actualType = None;
  int actualFormat = 0;
  unsigned long items = 0, after = 0;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(display, window, name, 0, 1 << 20, False, type, &actualType, &actualFormat,
                         &items, &after, &data) != Success) {
    return false;
  }
  const bool found = actualType != None && (type == AnyPropertyType || actualType == type);
  if (found) {
    const size_t itemSize = actualFormat == 32 ? sizeof(long) : actualFormat / 8;
    out->type = actualType;
    out->format = actualFormat;
    out->items = items;
    out->bytes.assign(data, data + items * itemSize);
  }
  if (data != nullptr) XFree(data);
  return found;
}

// A list of 32-bit values (cardinals, atoms, window ids); *present tells an empty list from a
// missing one.
std::vector<unsigned long> readCardinals(Display* display, Window window, Atom name, Atom type,
                                         bool* present = nullptr) {
  Property p;
  const bool found = readProperty(display, window, name, type, &p) && p.format == 32;
  if (present != nullptr) *present = found;
  if (!found) return {};
  std::vector<unsigned long> values(p.items);
  if (p.items != 0) std::memcpy(values.data(), p.bytes.data(), p.items * sizeof(long));
  return values;
}

// The manager named on the root must name itself on its check window; otherwise it has gone.
bool windowManagerAlive(Display* display, Window root, X11ErrorTrap& trap) {
  const Atom check = atom(display, "_NET_SUPPORTING_WM_CHECK");
  const std::vector<unsigned long> named = readCardinals(display, root, check, XA_WINDOW);
  if (named.size() != 1) return false;
  const std::vector<unsigned long> self =
      readCardinals(display, static_cast<Window>(named[0]), check, XA_WINDOW);
  return !trap.failed() && self.size() == 1 && self[0] == named[0];
}

// Bottom to top.
std::vector<Window> stackedWindows(Display* display, X11ErrorTrap& trap) {
  const Window root = DefaultRootWindow(display);
  if (windowManagerAlive(display, root, trap)) {
    for (const char* name : {"_NET_CLIENT_LIST_STACKING", "_NET_CLIENT_LIST"}) {
      bool present = false;
      const std::vector<unsigned long> ids =
          readCardinals(display, root, atom(display, name), XA_WINDOW, &present);
      if (present) return std::vector<Window>(ids.begin(), ids.end());
    }
  }
  Window rootReturn = None, parent = None;
  Window* children = nullptr;
  unsigned int count = 0;
  std::vector<Window> windows;
  if (XQueryTree(display, root, &rootReturn, &parent, &children, &count) && children != nullptr) {
    windows.assign(children, children + count);
  }
  if (children != nullptr) XFree(children);
  return windows;
}

bool isToolType(Display* display, Window window) {
  static const char* const kToolTypes[] = {
      "_NET_WM_WINDOW_TYPE_UTILITY",      "_NET_WM_WINDOW_TYPE_TOOLBAR",
      "_NET_WM_WINDOW_TYPE_MENU",         "_NET_WM_WINDOW_TYPE_SPLASH",
      "_NET_WM_WINDOW_TYPE_DOCK",         "_NET_WM_WINDOW_TYPE_DESKTOP",
      "_NET_WM_WINDOW_TYPE_NOTIFICATION", "_NET_WM_WINDOW_TYPE_DROPDOWN_MENU",
      "_NET_WM_WINDOW_TYPE_POPUP_MENU",   "_NET_WM_WINDOW_TYPE_TOOLTIP",
      "_NET_WM_WINDOW_TYPE_COMBO",        "_NET_WM_WINDOW_TYPE_DND"};
  static const char* const kAppTypes[] = {"_NET_WM_WINDOW_TYPE_NORMAL",
                                          "_NET_WM_WINDOW_TYPE_DIALOG"};
  // The list is in the client's order of preference: the first type known here decides.
  for (unsigned long type :
       readCardinals(display, window, atom(display, "_NET_WM_WINDOW_TYPE"), XA_ATOM)) {
    for (const char* name : kToolTypes) {
      if (type == atom(display, name)) return true;
    }
    for (const char* name : kAppTypes) {
      if (type == atom(display, name)) return false;
    }
  }
  return false;
}

bool skipsTaskbar(Display* display, Window window) {
  const Atom skip = atom(display, "_NET_WM_STATE_SKIP_TASKBAR");
  for (unsigned long state :
       readCardinals(display, window, atom(display, "_NET_WM_STATE"), XA_ATOM)) {
    if (state == skip) return true;
  }
  return false;
}

// Copies at most capacity - 1 bytes and a zero, stopping at an embedded zero and never ending
// inside a UTF-8 sequence.
void copyUtf8(const std::string& text, char* out, size_t capacity) {
  if (capacity == 0) return;
  size_t length = std::min(std::strlen(text.c_str()), capacity - 1);
  if (length < text.size()) {
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
  }
  std::memcpy(out, text.data(), length);
  out[length] = '\0';
}

std::string latin1ToUtf8(const unsigned char* text, size_t length) {
  std::string utf8;
  for (size_t i = 0; i < length; ++i) {
    if (text[i] < 0x80) {
      utf8 += static_cast<char>(text[i]);
    } else {
      utf8 += static_cast<char>(0xC0 | (text[i] >> 6));
      utf8 += static_cast<char>(0x80 | (text[i] & 0x3F));
    }
  }
  return utf8;
}

std::string readTitle(Display* display, Window window) {
  const Atom utf8 = atom(display, "UTF8_STRING");
  Property p;
  if (readProperty(display, window, atom(display, "_NET_WM_NAME"), utf8, &p) && p.format == 8) {
    return std::string(p.bytes.begin(), p.bytes.end());
  }
  if (!readProperty(display, window, XA_WM_NAME, AnyPropertyType, &p) || p.format != 8) return {};
  if (p.type == utf8) return std::string(p.bytes.begin(), p.bytes.end());
  if (p.type == XA_STRING) return latin1ToUtf8(p.bytes.data(), p.bytes.size());
  // COMPOUND_TEXT and the like: Xlib converts.
  XTextProperty property;
  property.value = p.bytes.data();
  property.encoding = p.type;
  property.format = p.format;
  property.nitems = p.items;
  char** list = nullptr;
  int count = 0;
  std::string title;
  if (Xutf8TextPropertyToTextList(display, &property, &list, &count) >= Success && count > 0 &&
      list != nullptr) {
    title = list[0];
  }
  if (list != nullptr) XFreeStringList(list);
  return title;
}

bool fromThisHost(Display* display, Window window) {
  Property machine;
  if (!readProperty(display, window, XA_WM_CLIENT_MACHINE, AnyPropertyType, &machine) ||
      machine.format != 8 || machine.bytes.empty()) {
    return true;
  }
  char host[256] = {};
  if (gethostname(host, sizeof(host) - 1) != 0) return true;
  const std::string named(machine.bytes.begin(), machine.bytes.end());
  return std::strcmp(named.c_str(), host) == 0;
}

}  // namespace

// The list is read under the display lock, and the callback runs after the lock is given back:
// the callback queries the same display.
void enumWindows(EnumWindowsCallback callback, int64_t value) {
  std::vector<Window> windows;
  {
    QueryDisplay query;
    Display* display = query.get();
    if (display == nullptr) return;
    X11ErrorTrap trap(display);
    windows = stackedWindows(display, trap);
  }
  for (auto it = windows.rbegin(); it != windows.rend(); ++it) {
    if (!callback(static_cast<WindowHandle>(*it), value)) return;
  }
}

uint32_t getWindowExtendedStyle(WindowHandle handle) {
  QueryDisplay query;
  Display* display = query.get();
  if (display == nullptr) return 0;
  X11ErrorTrap trap(display);
  const Window window = static_cast<Window>(handle);
  XWindowAttributes attributes;
  if (!XGetWindowAttributes(display, window, &attributes) || trap.failed()) return 0;
  if (attributes.override_redirect || isToolType(display, window) ||
      skipsTaskbar(display, window)) {
    return kWindowStyleToolWindow;
  }
  return 0;
}

namespace {

// A window's map state, and for one that is not viewable, its window manager's WM_STATE.
struct MapState {
  bool known = false;  // the window exists and could be asked
  int mapState = IsUnmapped;
  bool managed = false;  // it has a WM_STATE
  bool iconic = false;
};

MapState readMapState(WindowHandle handle) {
  MapState m;
  QueryDisplay query;
  Display* display = query.get();
  if (display == nullptr) return m;
  X11ErrorTrap trap(display);
  const Window window = static_cast<Window>(handle);
  XWindowAttributes attributes;
  if (!XGetWindowAttributes(display, window, &attributes) || trap.failed()) return m;
  m.mapState = attributes.map_state;
  if (m.mapState != IsViewable) {
    const Atom wmState = atom(display, "WM_STATE");
    const std::vector<unsigned long> state = readCardinals(display, window, wmState, wmState);
    if (trap.failed()) return m;
    m.managed = !state.empty();
    m.iconic = m.managed && state[0] == IconicState;
  }
  m.known = true;
  return m;
}

}  // namespace

bool isWindowVisible(WindowHandle handle) {
  const MapState m = readMapState(handle);
  return m.known && (m.mapState != IsUnmapped || m.iconic);
}

bool isWindowMinimised(WindowHandle handle) {
  const MapState m = readMapState(handle);
  // Without a window manager an unmapped window counts too: it has no picture either.
  return m.known && m.mapState != IsViewable && (!m.managed || m.iconic);
}

void getWindowTitle(WindowHandle handle, char* text, size_t capacity) {
  if (text == nullptr || capacity == 0) return;
  text[0] = '\0';
  QueryDisplay query;
  Display* display = query.get();
  if (display == nullptr) return;
  X11ErrorTrap trap(display);
  const std::string title = readTitle(display, static_cast<Window>(handle));
  if (!trap.failed()) copyUtf8(title, text, capacity);
}

void getWindowProcessName(WindowHandle handle, char* text, size_t capacity) {
  if (text == nullptr || capacity == 0) return;
  text[0] = '\0';
  unsigned long pid = 0;
  {
    QueryDisplay query;
    Display* display = query.get();
    if (display == nullptr) return;
    X11ErrorTrap trap(display);
    const Window window = static_cast<Window>(handle);
    const std::vector<unsigned long> pids =
        readCardinals(display, window, atom(display, "_NET_WM_PID"), XA_CARDINAL);
    const bool local = fromThisHost(display, window);
    if (trap.failed() || pids.size() != 1 || !local) return;
    pid = pids[0] & 0xFFFFFFFFUL;
  }
  if (pid == 0) return;
  const std::string path = "/proc/" + std::to_string(pid) + "/comm";
  FILE* file = std::fopen(path.c_str(), "re");
  if (file == nullptr) return;
  char name[256] = {};
  const bool read = std::fgets(name, sizeof(name), file) != nullptr;
  std::fclose(file);
  if (!read) return;
  name[std::strcspn(name, "\n")] = '\0';
  copyUtf8(name, text, capacity);
}

}  // namespace platform
}  // namespace quorvane_capture
