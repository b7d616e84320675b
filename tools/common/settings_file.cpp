#include "settings_file.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace qvtools {

namespace {

std::string trim(const std::string& s) {
  const size_t first = s.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  const size_t last = s.find_last_not_of(" \t\r\n");
  return s.substr(first, last - first + 1);
}

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

bool parseInteger(const std::string& text, int64_t low, int64_t high, int64_t* value) {
  if (text.empty() || text.size() > 18) return false;
  if (text.find_first_not_of("0123456789") != std::string::npos) return false;
  const int64_t v = std::stoll(text);
  if (v < low || v > high) return false;
  *value = v;
  return true;
}

class Reader {
 public:
  Reader(const std::string& text, std::vector<std::string>* problems)
      : values_(parseIni(text)), problems_(problems) {}

  void text(const char* key, std::string* out) const {
    const auto it = values_.find(key);
    if (it != values_.end()) *out = it->second;
  }
  void oneOf(const char* key, std::initializer_list<const char*> allowed, std::string* out) const {
    const auto it = values_.find(key);
    if (it == values_.end()) return;
    const std::string v = lower(it->second);
    for (const char* a : allowed) {
      if (v == a) {
        *out = v;
        return;
      }
    }
    complain(key, it->second);
  }
  void integer(const char* key, int64_t low, int64_t high, int64_t* out) const {
    const auto it = values_.find(key);
    if (it != values_.end() && !parseInteger(it->second, low, high, out)) complain(key, it->second);
  }
  void flag(const char* key, bool* out) const {
    const auto it = values_.find(key);
    if (it == values_.end()) return;
    const std::string v = lower(it->second);
    if (v == "1" || v == "yes" || v == "true" || v == "on") {
      *out = true;
    } else if (v == "0" || v == "no" || v == "false" || v == "off") {
      *out = false;
    } else {
      complain(key, it->second);
    }
  }
  // zeroAllowed: "0" stands for none (a floor that is never reached).
  void bytes(const char* key, std::string* out, bool zeroAllowed = false) const {
    const auto it = values_.find(key);
    uint64_t ignored = 0;
    if (it == values_.end()) return;
    if (parseBytes(it->second, &ignored) || (zeroAllowed && it->second == "0")) {
      *out = it->second;
    } else {
      complain(key, it->second);
    }
  }

 private:
  void complain(const char* key, const std::string& value) const {
    if (problems_ != nullptr) problems_->push_back(std::string(key) + "=" + value);
  }

  std::map<std::string, std::string> values_;
  std::vector<std::string>* problems_;
};

}  // namespace

std::map<std::string, std::string> parseIni(const std::string& input) {
  std::string text = input;
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
  std::map<std::string, std::string> values;
  std::istringstream lines(text);
  std::string line, section;
  while (std::getline(lines, line)) {
    line = trim(line);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line.front() == '[' && line.back() == ']') {
      section = lower(trim(line.substr(1, line.size() - 2)));
      continue;
    }
    const size_t equals = line.find('=');
    if (equals == std::string::npos || equals == 0) continue;
    values[section + "." + lower(trim(line.substr(0, equals)))] = trim(line.substr(equals + 1));
  }
  return values;
}

HostSettings settingsFromIni(const std::string& text, std::vector<std::string>* problems) {
  HostSettings s;
  const Reader r(text, problems);
  r.text("recording.window", &s.windowTitle);
  r.text("recording.process", &s.windowProcess);
  r.integer("recording.framerate", 1, 240, &s.frameRate);
  r.integer("recording.outputheight", 0, 100000, &s.outputHeight);
  r.oneOf("recording.colormatrix", {"auto", "601", "709"}, &s.colorMatrix);
  r.oneOf("recording.range", {"tv", "full"}, &s.range);
  r.oneOf("recording.area", {"client", "window"}, &s.area);
  r.oneOf("recording.method", {"auto", "duplication", "gdi"}, &s.method);
  r.bytes("recording.memory", &s.memory);
  r.oneOf("recording.sound", {"device", "playback", "both", "none"}, &s.sound);
  std::string rate = std::to_string(s.soundRate);
  r.oneOf("recording.soundrate", {"44100", "48000"}, &rate);
  s.soundRate = std::stoll(rate);
  r.flag("recording.pointer", &s.pointer);
  r.flag("recording.clicks", &s.clicks);
  r.flag("recording.events", &s.events);
  r.integer("recording.countdown", 0, 86400, &s.countdown);
  r.flag("recording.startwithf12", &s.startWithF12);
  r.text("output.folder", &s.folder);
  r.flag("output.writewhilerecording", &s.writeWhileRecording);
  r.text("output.pattern", &s.pattern);
  r.bytes("output.minfree", &s.minFree, true);
  r.text("hotkeys.record", &s.recordKey);
  r.text("hotkeys.pause", &s.pauseKey);
  r.text("hotkeys.stop", &s.stopKey);
  r.oneOf("interface.language", {"auto", "en", "ja"}, &s.language);
  return s;
}

std::string settingsToIni(const HostSettings& input, const IniComments& c) {
  // One line per value: a line break in a window title would end it early.
  HostSettings s = input;
  for (std::string* value : {&s.windowTitle, &s.windowProcess, &s.folder, &s.pattern}) {
    for (char& ch : *value) {
      if (ch == '\r' || ch == '\n') ch = ' ';
    }
  }
  // "; " before every line of a comment.
  auto note = [](const std::string& text) {
    std::string out = "; ";
    for (char ch : text) out += ch == '\n' ? std::string("\n; ") : std::string(1, ch);
    return out + "\n";
  };
  std::ostringstream out;
  auto flag = [](bool b) { return b ? "1" : "0"; };
  out << note(c.header) << "\n[Recording]\n"
      << note(c.window) << "window=" << s.windowTitle << "\nprocess=" << s.windowProcess << "\n"
      << note(c.frameRate) << "frameRate=" << s.frameRate << "\n"
      << note(c.outputHeight) << "outputHeight=" << s.outputHeight << "\n"
      << note(c.colour) << "colorMatrix=" << s.colorMatrix << "\nrange=" << s.range << "\n"
      << note(c.area) << "area=" << s.area << "\nmethod=" << s.method << "\n"
      << note(c.memory) << "memory=" << s.memory << "\n"
      << note(c.sound) << "sound=" << s.sound << "\nsoundRate=" << s.soundRate
      << "\npointer=" << flag(s.pointer) << "\nstartWithF12=" << flag(s.startWithF12) << "\n"
      << note(c.habits) << "clicks=" << flag(s.clicks) << "\nevents=" << flag(s.events)
      << "\ncountdown=" << s.countdown << "\n\n[Output]\nfolder=" << s.folder << "\n"
      << note(c.writeWhileRecording) << "writeWhileRecording=" << flag(s.writeWhileRecording)
      << "\n"
      << note(c.pattern) << "pattern=" << s.pattern << "\n"
      << note(c.minFree) << "minFree=" << s.minFree << "\n\n[HotKeys]\n"
      << note(c.hotKeys) << "record=" << s.recordKey << "\npause=" << s.pauseKey
      << "\nstop=" << s.stopKey << "\n\n[Interface]\n"
      << note(c.language) << "language=" << s.language << "\n";
  return out.str();
}

bool parseBytes(const std::string& text, uint64_t* bytes) {
  try {
    size_t used = 0;
    const double value = std::stod(text, &used);
    std::string unit = text.substr(used);
    for (char& c : unit) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (unit == "IB" || unit == "B") unit.clear();
    if (unit.size() == 3 && unit.compare(1, 2, "IB") == 0) unit = unit.substr(0, 1);
    if (unit.size() == 2 && unit[1] == 'B') unit = unit.substr(0, 1);
    double factor = 1;
    if (unit == "K")
      factor = 1024.0;
    else if (unit == "M")
      factor = 1024.0 * 1024;
    else if (unit == "G")
      factor = 1024.0 * 1024 * 1024;
    else if (!unit.empty())
      return false;
    if (!(value > 0) || value * factor > 1.8e19) return false;
    *bytes = static_cast<uint64_t>(value * factor);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace qvtools
