#include "recording_names.h"

#include <algorithm>
#include <cctype>

namespace qvtools {

namespace {

std::string strftimeText(const char* format, const std::tm& time) {
  char text[64];
  const size_t n = std::strftime(text, sizeof(text), format, &time);
  return std::string(text, n);
}

// Windows opens a device instead of a file for these names, whatever the extension, the case
// or the spaces before the extension: CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM1-9 and LPT1-9
// (and COM or LPT with a superscript 1, 2 or 3).
bool isReservedName(const std::string& name) {
  std::string stem = name.substr(0, name.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  std::transform(stem.begin(), stem.end(), stem.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (stem == device) return true;
  }
  if (stem.compare(0, 3, "COM") != 0 && stem.compare(0, 3, "LPT") != 0) return false;
  const std::string number = stem.substr(3);
  return (number.size() == 1 && number[0] >= '1' && number[0] <= '9') || number == "\xC2\xB9" ||
         number == "\xC2\xB2" || number == "\xC2\xB3";
}

std::string cleanFileName(std::string name) {
  // Long titles make long names; whole UTF-8 characters only.
  constexpr size_t kMaxBytes = 120;
  if (name.size() > kMaxBytes) {
    size_t cut = kMaxBytes;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    name.resize(cut);
  }
  for (char& c : name) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || std::string("<>:\"/\\|?*").find(c) != std::string::npos) c = '_';
  }
  while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.pop_back();
  while (!name.empty() && name.front() == ' ') name.erase(0, 1);
  if (name.empty()) return "Quorvane";
  // In front: a character after the name would stand behind a dot the name may hold.
  if (isReservedName(name)) name.insert(0, "_");
  return name;
}

}  // namespace

std::string expandFileNamePattern(const std::string& pattern, const NameFields& fields) {
  std::string out;
  for (size_t i = 0; i < pattern.size();) {
    if (pattern[i] == '{') {
      const size_t close = pattern.find('}', i);
      if (close != std::string::npos) {
        const std::string field = pattern.substr(i + 1, close - i - 1);
        bool known = true;
        if (field == "date")
          out += strftimeText("%Y-%m-%d", fields.time);
        else if (field == "time")
          out += strftimeText("%H-%M-%S", fields.time);
        else if (field == "window")
          out += fields.windowTitle.empty() ? "Screen" : fields.windowTitle;
        else if (field == "process")
          out += fields.processName;
        else
          known = false;
        if (known) {
          i = close + 1;
          continue;
        }
      }
    }
    out += pattern[i++];
  }
  return cleanFileName(out);
}

bool checkFileNamePattern(const std::string& pattern, std::string* reason) {
  size_t open = pattern.find('{');
  while (open != std::string::npos) {
    const size_t close = pattern.find('}', open);
    if (close == std::string::npos) {
      *reason = "a { without its }";
      return false;
    }
    open = pattern.find('{', close);
  }
  return true;
}

PictureSize scaledSize(PictureSize captured, int64_t height) {
  if (captured.width < 1 || captured.height < 1 || height <= 0 || height >= captured.height) {
    return captured;
  }
  const int64_t width = std::max<int64_t>(
      2, (captured.width * height * 2 + captured.height * 2) / (captured.height * 4) * 2);
  return {std::min(width, captured.width), height};
}

std::vector<int64_t> smallerHeights(PictureSize captured) {
  std::vector<int64_t> heights;
  for (const int64_t h :
       {int64_t{2160}, int64_t{1440}, int64_t{1080}, int64_t{720}, int64_t{540}, int64_t{480},
        int64_t{360}, int64_t{240}, captured.height / 2, captured.height / 4}) {
    if (h >= 2 && h < captured.height) heights.push_back(h);
  }
  std::sort(heights.rbegin(), heights.rend());
  heights.erase(std::unique(heights.begin(), heights.end()), heights.end());
  return heights;
}

}  // namespace qvtools
