// The windows the library offers, and which of them the user meant.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qvrec {

struct WindowEntry {
  uint64_t index = 0;
  uint64_t handle = 0;
  int64_t windowWidth = 0, windowHeight = 0;
  int64_t clientWidth = 0, clientHeight = 0;
  std::string title;
  std::string processName;
};

// createWindowList/getWindowList, copied (the library reuses its record).
std::vector<WindowEntry> readWindowList();

// How the user named the window: at most one of these is set.
struct WindowQuery {
  std::string window;   // an index, or else a title substring
  std::string title;    // title substring, case-insensitive
  std::string process;  // process name, case-insensitive, ".exe" optional
};

// The one entry the query names. False with *error (the candidates when several match).
bool chooseWindow(const std::vector<WindowEntry>& list, const WindowQuery& query,
                  WindowEntry* chosen, std::string* error);

// The table printed by `qvrec list`.
void printWindowTable(const std::vector<WindowEntry>& list, FILE* out);

}  // namespace qvrec
