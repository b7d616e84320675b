// The list of windows the host may choose to record, preceded by the whole screen.
#ifndef QUORVANE_WINDOW_LIST_H
#define QUORVANE_WINDOW_LIST_H

#include <cstdint>
#include <vector>

#include "platform.h"

namespace quorvane_capture {

struct WindowInformation {
  platform::WindowHandle hwnd;
  int64_t windowWidth;
  int64_t windowHeight;
  int64_t clientWidth;
  int64_t clientHeight;
  char title[128];        // zero-terminated; UTF-8 on Linux, the ANSI code page on Windows
  char processName[128];  // base name of the process's executable, empty when unknown
};

// Owns its entries; entry 0 is the screen once createWindowList has run.
extern std::vector<WindowInformation*> windowList;

// Deletes every entry; the vector keeps its storage.
void clearWindowList();
// Appends one window when the filter lets it through; always goes on enumerating.
bool EnumWindowsProc(platform::WindowHandle window, int64_t value);

}  // namespace quorvane_capture

#endif
