// NAME.events.csv beside a recording: the clicks and pauses, for the edit. One line each:
//   time_ms,frame,x,y,button,event
// time_ms on the file's timeline (pauses left out), frame the video record that first shows
// it, x and y in output pixels; button "left" or "right" and event "press" or "release" for a
// click, empty fields and "pause" or "resume" for a pause.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "quorvane_capture.h"

namespace qvtools {

// The events file of a recording: NAME.qvf -> NAME.events.csv.
std::string eventsPathFor(const std::string& qvfPath);

class EventsFile {
 public:
  EventsFile() = default;
  ~EventsFile() { close(); }
  EventsFile(const EventsFile&) = delete;
  EventsFile& operator=(const EventsFile&) = delete;

  // Creates the file with its heading line; false when it cannot be created.
  bool open(const std::string& path);
  void click(const QvClickEvent& event);
  void pause(bool paused, int64_t frame, int64_t milliseconds);
  // False when a write failed.
  bool close();
  bool isOpen() const { return file_ != nullptr; }

 private:
  FILE* file_ = nullptr;
  bool failed_ = false;
};

// One line of an events file, as read back.
struct EventLine {
  int64_t milliseconds = 0;
  int64_t frame = 0;
  int32_t x = 0, y = 0;
  std::string button;  // "left", "right", empty for a pause
  std::string event;   // "press", "release", "pause", "resume"
};
// Reads an events file; false (with *error) when it cannot be read or a line is not one.
bool readEventsFile(const std::string& path, std::vector<EventLine>* lines, std::string* error);

}  // namespace qvtools
