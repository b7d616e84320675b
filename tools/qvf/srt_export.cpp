#include "srt_export.h"

#include <cstdio>

namespace qvf_tool {

std::string srtTime(int64_t milliseconds) {
  char text[32];
  std::snprintf(text, sizeof(text), "%02lld:%02lld:%02lld,%03lld",
                static_cast<long long>(milliseconds / 3600000),
                static_cast<long long>(milliseconds / 60000 % 60),
                static_cast<long long>(milliseconds / 1000 % 60),
                static_cast<long long>(milliseconds % 1000));
  return text;
}

bool exportSrt(const std::vector<qvtools::EventLine>& lines, int64_t frameRate,
               const std::string& path, std::string* error) {
  if (frameRate < 1) {
    *error = "the recording has no frame rate";
    return false;
  }
  FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) {
    *error = path + ": cannot be created";
    return false;
  }
  int number = 0;
  bool ok = true;
  for (const qvtools::EventLine& line : lines) {
    if (line.event != "press") continue;
    // The frame's own time, so the text comes with the picture that shows the ring.
    const int64_t start = line.frame * 1000 / frameRate;
    ok &= std::fprintf(out, "%d\r\n%s --> %s\r\n%s\r\n\r\n", ++number, srtTime(start).c_str(),
                       srtTime(start + kClickSubtitleMilliseconds).c_str(),
                       line.button == "right" ? "right click" : "click") > 0;
  }
  ok &= std::fclose(out) == 0;
  if (!ok) *error = path + ": a write failed";
  return ok;
}

}  // namespace qvf_tool
