#include "window_choice.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "quorvane_capture.h"

namespace qvrec {

namespace {

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

std::string withoutExe(const std::string& name) {
  const std::string l = lower(name);
  return l.size() > 4 && l.compare(l.size() - 4, 4, ".exe") == 0 ? l.substr(0, l.size() - 4) : l;
}

bool isIndex(const std::string& s) {
  return !s.empty() && s.size() < 10 && s.find_first_not_of("0123456789") == std::string::npos;
}

std::string size(int64_t w, int64_t h) { return std::to_string(w) + "x" + std::to_string(h); }

std::string describe(const WindowEntry& e) {
  return "  " + std::to_string(e.index) + ": \"" + e.title + "\"" +
         (e.processName.empty() ? "" : " (" + e.processName + ")");
}

}  // namespace

std::vector<WindowEntry> readWindowList() {
  std::vector<WindowEntry> list;
  const uint64_t count = createWindowList();
  for (uint64_t i = 0; i < count; ++i) {
    const WindowInformationRecord* r = getWindowList(i);
    if (r == nullptr) break;
    WindowEntry e;
    e.index = i;
    e.handle = r->hwnd;
    e.windowWidth = r->windowWidth;
    e.windowHeight = r->windowHeight;
    e.clientWidth = r->clientWidth;
    e.clientHeight = r->clientHeight;
    e.title = r->title != nullptr ? r->title : "";
    e.processName = r->processName != nullptr ? r->processName : "";
    list.push_back(e);
  }
  return list;
}

bool chooseWindow(const std::vector<WindowEntry>& list, const WindowQuery& query,
                  WindowEntry* chosen, std::string* error) {
  if (list.empty()) {
    *error = "the window list is empty (no display?)";
    return false;
  }
  if (query.window.empty() && query.title.empty() && query.process.empty()) {
    *chosen = list.front();
    return true;
  }
  if (isIndex(query.window)) {
    const uint64_t index = std::stoull(query.window);
    if (index >= list.size()) {
      *error = "there is no window " + query.window + " (the list has entries 0 to " +
               std::to_string(list.size() - 1) + "; see qvrec list)";
      return false;
    }
    *chosen = list[index];
    return true;
  }
  const std::string title = lower(query.window.empty() ? query.title : query.window);
  const std::string process = withoutExe(query.process);
  std::vector<const WindowEntry*> matches;
  for (const WindowEntry& e : list) {
    if (e.index == 0) continue;  // The screen entry is chosen by index only.
    const bool hit = !process.empty() ? withoutExe(e.processName) == process
                                      : lower(e.title).find(title) != std::string::npos;
    if (hit) matches.push_back(&e);
  }
  const std::string what = !process.empty() ? "of the process \"" + query.process + "\""
                                            : "whose title contains \"" + title + "\"";
  if (matches.empty()) {
    *error = "no window " + what + " (see qvrec list)";
    return false;
  }
  if (matches.size() > 1) {
    *error = std::to_string(matches.size()) + " windows " + what +
             "; choose one by its index (--window N):";
    for (const WindowEntry* e : matches) *error += "\n" + describe(*e);
    return false;
  }
  *chosen = *matches.front();
  return true;
}

void printWindowTable(const std::vector<WindowEntry>& list, FILE* out) {
  size_t processWidth = 7;
  for (const WindowEntry& e : list) processWidth = std::max(processWidth, e.processName.size());
  processWidth = std::min<size_t>(processWidth, 24);
  std::fprintf(out, "%5s  %-11s  %-11s  %-*s  %s\n", "index", "size", "client",
               static_cast<int>(processWidth), "process", "title");
  for (const WindowEntry& e : list) {
    std::string process = e.processName.substr(0, processWidth);
    std::fprintf(out, "%5llu  %-11s  %-11s  %-*s  %s\n", static_cast<unsigned long long>(e.index),
                 size(e.windowWidth, e.windowHeight).c_str(),
                 size(e.clientWidth, e.clientHeight).c_str(), static_cast<int>(processWidth),
                 process.c_str(), e.title.c_str());
  }
}

}  // namespace qvrec
