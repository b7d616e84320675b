#include "events_file.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace qvtools {

std::string eventsPathFor(const std::string& qvfPath) {
  const size_t slash = qvfPath.find_last_of("/\\");
  const size_t dot = qvfPath.find_last_of('.');
  const bool hasExt = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
  return (hasExt ? qvfPath.substr(0, dot) : qvfPath) + ".events.csv";
}

bool EventsFile::open(const std::string& path) {
  close();
  failed_ = false;
  file_ = std::fopen(path.c_str(), "w");
  if (file_ == nullptr) return false;
  failed_ = std::fputs("time_ms,frame,x,y,button,event\n", file_) < 0;
  return true;
}

void EventsFile::click(const QvClickEvent& e) {
  if (file_ == nullptr) return;
  failed_ |= std::fprintf(file_, "%lld,%lld,%d,%d,%s,%s\n", static_cast<long long>(e.milliseconds),
                          static_cast<long long>(e.frame), e.x, e.y,
                          e.button == QV_CLICK_RIGHT ? "right" : "left",
                          e.pressed != 0 ? "press" : "release") < 0;
  // Each line reaches the system at once: a recording cut off keeps its events up to then.
  failed_ |= std::fflush(file_) != 0;
}

void EventsFile::pause(bool paused, int64_t frame, int64_t milliseconds) {
  if (file_ == nullptr) return;
  failed_ |= std::fprintf(file_, "%lld,%lld,,,,%s\n", static_cast<long long>(milliseconds),
                          static_cast<long long>(frame), paused ? "pause" : "resume") < 0;
  failed_ |= std::fflush(file_) != 0;
}

bool EventsFile::close() {
  if (file_ == nullptr) return !failed_;
  failed_ |= std::fclose(file_) != 0;
  file_ = nullptr;
  return !failed_;
}

bool readEventsFile(const std::string& path, std::vector<EventLine>* lines, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = path + ": cannot be read";
    return false;
  }
  std::string text;
  int number = 0;
  while (std::getline(in, text)) {
    ++number;
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (number == 1 || text.empty()) continue;  // the heading
    std::vector<std::string> fields;
    std::stringstream split(text);
    for (std::string field; std::getline(split, field, ',');) fields.push_back(field);
    if (text.back() == ',') fields.emplace_back();
    EventLine line;
    try {
      if (fields.size() != 6) throw std::invalid_argument(text);
      line.milliseconds = std::stoll(fields[0]);
      line.frame = std::stoll(fields[1]);
      if (!fields[2].empty()) line.x = std::stoi(fields[2]);
      if (!fields[3].empty()) line.y = std::stoi(fields[3]);
    } catch (const std::exception&) {
      *error = path + ": line " + std::to_string(number) + " is not an event";
      return false;
    }
    line.button = fields[4];
    line.event = fields[5];
    lines->push_back(line);
  }
  return true;
}

}  // namespace qvtools
