// The settings a recording host remembers between runs, and the text of the file that holds
// them: an INI file in UTF-8 with [sections] and key=value lines.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace qvtools {

struct HostSettings {
  // The window chosen last, found again by title (then process) when the list is rebuilt;
  // an empty title means the whole screen.
  std::string windowTitle;
  std::string windowProcess;
  int64_t frameRate = 30;
  int64_t outputHeight = 0;          // 0: as captured; else scaled to this many lines
  std::string colorMatrix = "auto";  // auto, 601, 709
  std::string range = "tv";          // tv, full
  std::string area = "client";       // client, window
  std::string method = "auto";       // auto, duplication (a window as its screen region), gdi
  std::string memory = "1G";         // the pool's byte budget, as parseBytes reads it
  std::string sound = "device";      // device, playback, none
  int64_t soundRate = 44100;         // 44100 or 48000 samples per second
  bool pointer = false;
  bool clicks = false;    // a ring drawn at each mouse click
  bool events = false;    // the clicks and pauses written to NAME.events.csv
  int64_t countdown = 0;  // seconds counted down before the first frame
  std::string minFree =
      "1G";  // streaming stops when the disk's free space falls under it; 0: never
  bool startWithF12 = false;
  std::string folder;               // empty: the host's default
  bool writeWhileRecording = true;  // false: the files are written from memory after the stop
  std::string pattern = "Quorvane {date} {time}";
  std::string recordKey = "Ctrl+Shift+F9";
  std::string pauseKey = "Ctrl+Shift+F10";
  std::string stopKey = "Ctrl+Shift+F11";
  std::string language = "auto";  // the Windows program's texts: auto (the system's), en, ja
};

// "section.key" -> value, keys lower case; lines that are neither sections nor key=value
// pairs (comments with ; or #, blank lines) are skipped. A UTF-8 byte order mark is ignored.
std::map<std::string, std::string> parseIni(const std::string& text);

// Settings from the file's text: missing keys keep their defaults; a value that cannot be
// used keeps the default too and adds a line to *problems (may be null) naming key and value.
HostSettings settingsFromIni(const std::string& text, std::vector<std::string>* problems);

// The comments that document the keys in the file, in UTF-8. A host that speaks another
// language (the Windows program in Japanese) replaces them; each may span several lines.
struct IniComments {
  std::string header =
      "Quorvane's settings, written when the program closes and when a recording starts.\n"
      "Edit them while the program is not running.";
  std::string window = "The window chosen last (by title, then process); empty: the whole screen.";
  std::string frameRate = "Frames per second, 1 to 240.";
  std::string outputHeight =
      "Stored picture height in lines, the width keeping the aspect; 0: as captured.";
  std::string colour = "auto (BT.709 from 720 lines up), 601 or 709; range tv or full.";
  std::string area =
      "client: the window's content; window: with its frame. method: auto, duplication (a\n"
      "window recorded as the screen region it covers, what lies on top too) or gdi.";
  std::string memory = "Memory reserved for the recording; it bounds the recording's length.";
  std::string sound =
      "device (the default capture device), playback, both (a track each) or none; soundRate 44100 "
      "or 48000 samples\n"
      "per second.";
  std::string habits =
      "clicks=1 draws a ring at each mouse click; events=1 writes the clicks and pauses to\n"
      "NAME.events.csv; countdown: seconds counted down before the first frame.";
  std::string minFree =
      "While writing, the recording stops cleanly when the disk's free space falls under this\n"
      "(512M, 1G, ...); 0: no floor.";
  std::string writeWhileRecording =
      "1: the files are written while recording (the disk bounds the length); 0: from\n"
      "memory after Stop (the memory bounds it).";
  std::string pattern =
      "{date} 2026-01-31, {time} 14-05-09, {window} the window's title, {process} its\n"
      "program; .qvf and .wav are added.";
  std::string hotKeys =
      "Keys that work in every program: modifiers Ctrl, Alt, Shift, Win joined with + to\n"
      "one key (A-Z, 0-9, F1-F24, Pause, Insert, Home, End, PageUp, PageDown, Space,\n"
      "NumPad0-NumPad9). Empty: no hot key. F12 and Print Screen also start a recording\n"
      "when startWithF12=1.";
  std::string language = "The language of the program's window: auto (the system's), en or ja.";
};

// The file's text, with comments that document the keys (hot keys in particular).
std::string settingsToIni(const HostSettings& settings, const IniComments& comments = {});

// "512M", "2G", "1073741824", "1.5G" (K, M, G in powers of 1024; a trailing B or iB allowed).
bool parseBytes(const std::string& text, uint64_t* bytes);

}  // namespace qvtools
