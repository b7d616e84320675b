// qvrec: records a window (or the whole screen) with its sound through the capture library.
//
//   qvrec list
//   qvrec record [--window N|TEXT | --title TEXT | --process NAME] [--duration S] [-o FILE.qvf]
//                [--sound mic|desktop|none] [--no-cursor]
//
// While recording, F11 or Pause pauses and resumes (the file then holds no trace of the
// paused time); F12 and Print Screen start a recording made with --hotkey. The status line
// shows the repeat records so far and how far sound and pictures differ in length.
//
// Exit codes: see recorder.h.
#include <CLI/CLI.hpp>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <string>

#include "console.h"
#include "quorvane_capture.h"
#include "recorder.h"
#include "settings_file.h"
#include "window_choice.h"

namespace {

using namespace qvrec;
using qvtools::parseBytes;

bool parsePair(const std::string& text, const char* separators, int64_t* a, int64_t* b) {
  const size_t at = text.find_first_of(separators);
  if (at == std::string::npos || at == 0 || at + 1 >= text.size()) return false;
  try {
    size_t used = 0;
    const std::string first = text.substr(0, at), second = text.substr(at + 1);
    *a = std::stoll(first, &used);
    if (used != first.size()) return false;
    *b = std::stoll(second, &used);
    return used == second.size();
  } catch (const std::exception&) {
    return false;
  }
}

std::string defaultBaseName() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  char name[64];
  std::strftime(name, sizeof(name), "qvrec-%Y%m%d-%H%M%S", &local);
  return name;
}

std::string replaceExtension(const std::string& path, const std::string& ext) {
  const size_t slash = path.find_last_of("/\\");
  const size_t dot = path.find_last_of('.');
  const bool hasExt = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
  return (hasExt ? path.substr(0, dot) : path) + ext;
}

void fail(const std::string& text) { std::fprintf(stderr, "qvrec: %s\n", text.c_str()); }

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"qvrec: record a window or the whole screen, with its sound, into a .qvf file"};
  app.require_subcommand(1);

  CLI::App* list = app.add_subcommand("list", "the windows that can be recorded (0: the screen)");

  CLI::App* rec = app.add_subcommand(
      "record", "record until Ctrl+C, a duration or a full pool; F11 or Pause pauses and resumes");
  WindowQuery query;
  auto* windowOption =
      rec->add_option("-w,--window", query.window, "window index (see list) or title substring");
  auto* titleOption = rec->add_option("--title", query.title, "title substring (any case)");
  auto* processOption =
      rec->add_option("--process", query.process, "process name (any case, .exe optional)");
  windowOption->excludes(titleOption)->excludes(processOption);
  titleOption->excludes(processOption);
  int64_t fps = 30;
  rec->add_option("-r,--fps", fps, "frames per second")
      ->check(CLI::Range(int64_t{1}, int64_t{240}))
      ->capture_default_str();
  std::string offset, size, outputSize, memory = "1G", affinity;
  rec->add_option("--offset", offset, "X,Y: top-left corner of the recorded rectangle");
  rec->add_option("--size", size, "WxH: size of the recorded rectangle (default: all of it)");
  rec->add_option("--output-size", outputSize, "WxH: stored size, smaller means scaled down");
  rec->add_option("-m,--memory", memory,
                  "memory budget, bounds the recording (512M, 2G...); reserved in blocks of up to "
                  "100 MiB, at least one")
      ->capture_default_str();
  std::string matrix = "auto", range = "tv", area = "client";
  rec->add_option("--matrix", matrix, "colour matrix: auto (709 from 720 lines up), 601, 709")
      ->check(CLI::IsMember({"auto", "601", "709"}))
      ->capture_default_str();
  rec->add_option("--range", range, "value range: tv or full")
      ->check(CLI::IsMember({"tv", "full"}))
      ->capture_default_str();
  rec->add_option("--area", area, "client area or whole window")
      ->check(CLI::IsMember({"client", "window"}))
      ->capture_default_str();
  bool reserveCpu = false, noComposition = false, noAvx = false;
  rec->add_flag("--reserve-cpu", reserveCpu, "leave one processor to other programs");
  rec->add_option("--affinity", affinity, "processor mask (hex 0x.. or decimal)");
  rec->add_flag("--no-composition", noComposition, "switch desktop composition off (Windows)");
  rec->add_flag("--no-avx", noAvx, "use the SSE2 kernels even where AVX is available");
  RecordOptions options;
  rec->add_flag("--hotkey", options.hotkey, "start on F12 or Print Screen");
  rec->add_option("-d,--duration", options.duration,
                  "stop after this many seconds of recording (paused time does not count)")
      ->check(CLI::PositiveNumber);
  rec->add_option("-o,--output", options.qvfPath, "the .qvf file (default qvrec-DATE-TIME.qvf)");
  rec->add_option("--wav", options.wavPath, "the .wav file (default: beside the .qvf)");
  bool noAudio = false;
  auto* noAudioFlag = rec->add_flag("--no-audio", noAudio, "record no sound and write no .wav");
  std::string sound = "mic";
  rec->add_option("--sound", sound,
                  "sound source: mic (the default capture device), desktop (what the computer "
                  "plays), none (no sound, no .wav)")
      ->check(CLI::IsMember({"mic", "desktop", "none"}))
      ->capture_default_str()
      ->excludes(noAudioFlag);
  bool noCursor = false;
  rec->add_flag("--no-cursor", noCursor, "leave the mouse pointer out of the pictures");
  rec->add_flag("-q,--quiet", options.quiet, "only the summary and errors");
  rec->add_flag("--keep-unchanged", options.keepUnchanged,
                "store every picture; by default a picture equal to the one before is stored as "
                "a repeat record");
  rec->add_flag("--in-memory", options.inMemory,
                "keep the recording in memory (bounded by --memory) and write the files after "
                "the stop, instead of writing them while recording");
  rec->footer(
      "Exit codes: 0 written; 1 the recording could not be written anywhere; 2 bad command "
      "line; 3 no such window; 4 settings refused; 5 an output path cannot be written; 6 "
      "nothing recorded; 7 a write failed while recording (disk full, drive removed): the files "
      "hold the recording up to that point; 130 cancelled while waiting for the hot key.");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? kExitOk : kExitUsage;
  }

  if (list->parsed()) {
    const std::vector<WindowEntry> windows = readWindowList();
    if (windows.empty()) {
      fail("no window list (is a display reachable?)");
      return kExitNoWindow;
    }
    printWindowTable(windows, stdout);
    return kExitOk;
  }

  CaptureSetting& s = options.setting;
  s.frameRate = fps;
  if (!offset.empty() && !parsePair(offset, ",", &s.sourceX, &s.sourceY)) {
    fail("--offset wants X,Y, not \"" + offset + "\"");
    return kExitUsage;
  }
  if (!size.empty() && (!parsePair(size, "xX", &s.captureWidth, &s.captureHeight) ||
                        s.captureWidth < 1 || s.captureHeight < 1)) {
    fail("--size wants WxH with positive numbers, not \"" + size + "\"");
    return kExitUsage;
  }
  if (!outputSize.empty() && (!parsePair(outputSize, "xX", &s.outputWidth, &s.outputHeight) ||
                              s.outputWidth < 2 || s.outputHeight < 2)) {
    fail("--output-size wants WxH of at least 2x2, not \"" + outputSize + "\"");
    return kExitUsage;
  }
  if (!parseBytes(memory, &s.memorySize)) {
    fail("--memory wants a size like 512M or 2G, not \"" + memory + "\"");
    return kExitUsage;
  }
  s.affinityMask = getAffinityMask();
  if (!affinity.empty()) {
    try {
      size_t used = 0;
      s.affinityMask = std::stoull(affinity, &used, 0);
      if (used != affinity.size()) throw std::invalid_argument(affinity);
    } catch (const std::exception&) {
      fail("--affinity wants a processor mask such as 0x3, not \"" + affinity + "\"");
      return kExitUsage;
    }
  }
  s.colorMatrix = matrix == "709" ? 2 : matrix == "601" ? 1 : 0;
  s.fullRange = range == "full" ? 1 : 0;
  s.clientArea = area == "client" ? 1 : 0;
  s.reserveOneProcessor = reserveCpu ? 1 : 0;
  s.disableDesktopComposition = noComposition ? 1 : 0;
  s.useAVX = noAvx ? 0 : 1;

  // Outputs first: a recording that cannot be written is not worth starting.
  if (noAudio) sound = "none";
  options.audio = sound != "none";
  options.soundSource = sound == "desktop" ? QV_SOURCE_DESKTOP
                        : sound == "none"  ? QV_SOURCE_NONE
                                           : QV_SOURCE_CAPTURE_DEVICE;
  options.cursor = !noCursor;
  if (options.qvfPath.empty()) options.qvfPath = defaultBaseName() + ".qvf";
  if (options.wavPath.empty()) options.wavPath = replaceExtension(options.qvfPath, ".wav");
  if (options.audio && options.wavPath == options.qvfPath) {
    fail("the .qvf and the .wav file cannot be the same file");
    return kExitUsage;
  }
  std::string reason;
  if (!qvtools::canCreateFile(options.qvfPath, &reason)) {
    fail("cannot write " + options.qvfPath + ": " + reason);
    return kExitBadOutput;
  }
  if (options.audio && !qvtools::canCreateFile(options.wavPath, &reason)) {
    fail("cannot write " + options.wavPath + ": " + reason);
    return kExitBadOutput;
  }

  const std::vector<WindowEntry> windows = readWindowList();
  WindowEntry chosen;
  std::string error;
  if (!chooseWindow(windows, query, &chosen, &error)) {
    fail(error);
    return kExitNoWindow;
  }
  s.targetWindow = chosen.handle;
  options.windowDescription =
      chosen.index == 0 ? std::string("the whole screen")
                        : "window " + std::to_string(chosen.index) + " \"" + chosen.title + "\"";
  return record(options);
}
