// qvrec: records a window (or the whole screen) with its sound through the capture library.
//
//   qvrec list [--backend auto|x11|portal]
//   qvrec record [--window N|TEXT | --title TEXT | --process NAME] [--duration S] [-o FILE.qvf]
//                [--sound mic|desktop|mic+desktop|none] [--sound-rate 44100|48000] [--no-cursor]
//                [--backend auto|x11|portal] [--choose-again] [--method auto|duplication|gdi]
//
// On Wayland desktops (WAYLAND_DISPLAY set and a screen-cast portal answering) the screen is
// recorded through the portal: the desktop asks once what to share and remembers the grant;
// --choose-again asks again. X windows named by --window, --title or --process record through
// X11.
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
#include <map>
#include <string>

#include "console.h"
#include "cut_off_takes.h"
#include "disk_watch.h"
#include "quorvane_capture.h"
#include "qv_version.h"
#include "recorder.h"
#include "screen_path.h"
#include "settings_file.h"
#include "start_time.h"
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

// The record command's options as typed, before they are checked.
struct RecordArguments {
  WindowQuery query;
  int64_t fps = 30;
  std::string offset, size, outputSize, memory = "1G", affinity;
  std::string matrix = "auto", range = "tv", area = "client", sound = "mic", method = "auto";
  std::string startAt, minFree = "1G";
  bool reserveCpu = false, noComposition = false, noAvx = false, noAudio = false, noCursor = false;
  Backend backend = Backend::kAuto;
  bool chooseAgain = false;
  RecordOptions options;
};

const std::map<std::string, Backend> kBackendNames{
    {"auto", Backend::kAuto}, {"x11", Backend::kX11}, {"portal", Backend::kPortal}};

void addBackendOption(CLI::App* command, Backend* backend) {
  command
      ->add_option("--backend", *backend,
                   "how the screen is read: auto (the portal on Wayland when it answers, X11 "
                   "otherwise), x11, portal")
      ->transform(CLI::CheckedTransformer(kBackendNames, CLI::ignore_case));
}

void addRecordOptions(CLI::App* rec, RecordArguments* a) {
  addBackendOption(rec, &a->backend);
  rec->add_flag("--choose-again", a->chooseAgain,
                "portal: forget what the desktop's dialog was told last time and ask again");
  auto* windowOption =
      rec->add_option("-w,--window", a->query.window, "window index (see list) or title substring");
  auto* titleOption = rec->add_option("--title", a->query.title, "title substring (any case)");
  auto* processOption =
      rec->add_option("--process", a->query.process, "process name (any case, .exe optional)");
  windowOption->excludes(titleOption)->excludes(processOption);
  titleOption->excludes(processOption);
  rec->add_option("-r,--fps", a->fps, "frames per second")
      ->check(CLI::Range(int64_t{1}, int64_t{240}))
      ->capture_default_str();
  rec->add_option("--offset", a->offset, "X,Y: top-left corner of the recorded rectangle");
  rec->add_option("--size", a->size, "WxH: size of the recorded rectangle (default: all of it)");
  rec->add_option("--output-size", a->outputSize, "WxH: stored size, smaller means scaled down");
  rec->add_option("-m,--memory", a->memory,
                  "memory budget, bounds the recording (512M, 2G...); reserved in blocks of up to "
                  "100 MiB, at least one")
      ->capture_default_str();
  rec->add_option("--matrix", a->matrix, "colour matrix: auto (709 from 720 lines up), 601, 709")
      ->check(CLI::IsMember({"auto", "601", "709"}))
      ->capture_default_str();
  rec->add_option("--range", a->range, "value range: tv or full")
      ->check(CLI::IsMember({"tv", "full"}))
      ->capture_default_str();
  rec->add_option("--area", a->area, "client area or whole window")
      ->check(CLI::IsMember({"client", "window"}))
      ->capture_default_str();
  rec->add_flag("--reserve-cpu", a->reserveCpu, "leave one processor to other programs");
  rec->add_option("--affinity", a->affinity, "processor mask (hex 0x.. or decimal)");
  rec->add_flag("--no-composition", a->noComposition, "switch desktop composition off (Windows)");
  rec->add_flag("--no-avx", a->noAvx, "use the SSE2 kernels even where AVX is available");
  RecordOptions& options = a->options;
  auto* hotkeyFlag = rec->add_flag("--hotkey", options.hotkey, "start on F12 or Print Screen");
  auto* countdownOption =
      rec->add_option("--countdown", options.countdown,
                      "count this many seconds down on the console before the first frame")
          ->check(CLI::Range(0, 86400))
          ->excludes(hotkeyFlag);
  rec->add_option("--start-at", a->startAt,
                  "HH:MM[:SS]: wait until the clock shows this time (a time already past today "
                  "means tomorrow)")
      ->excludes(hotkeyFlag)
      ->excludes(countdownOption);
  rec->add_option("--min-free", a->minFree,
                  "stop with complete files when the disk being written has less free space "
                  "than this (512M, 2G...; 0: never)")
      ->capture_default_str();
  rec->add_flag("--clicks", options.clicks,
                "draw a ring around the pointer at each mouse button press (yellow left, blue "
                "right)");
  rec->add_flag("--events", options.events,
                "write the clicks and pauses to NAME.events.csv beside the .qvf (qvf export "
                "--srt makes subtitles of them)");
  rec->add_option("-d,--duration", options.duration,
                  "stop after this many seconds of recording (paused time does not count)")
      ->check(CLI::PositiveNumber);
  rec->add_option("-o,--output", options.qvfPath, "the .qvf file (default qvrec-DATE-TIME.qvf)");
  rec->add_option("--wav", options.wavPath, "the .wav file (default: beside the .qvf)");
  auto* noAudioFlag = rec->add_flag("--no-audio", a->noAudio, "record no sound and write no .wav");
  rec->add_option("--sound", a->sound,
                  "sound source: mic (the default capture device), desktop (what the computer "
                  "plays), mic+desktop (both: their mix in the .wav, each on a track of its own "
                  "in the .qvf and in NAME.mic.wav and NAME.desktop.wav), none (no sound, no .wav)")
      ->check(CLI::IsMember({"mic", "desktop", "mic+desktop", "none"}))
      ->capture_default_str()
      ->excludes(noAudioFlag);
  rec->add_option("--sound-rate", options.soundRate,
                  "samples per second of the recorded sound: 44100 or 48000 (an editor project "
                  "at 48 kHz wants 48000); each device is converted from its own rate")
      ->check(CLI::IsMember({44100, 48000}))
      ->capture_default_str();
  rec->add_flag("--no-cursor", a->noCursor, "leave the mouse pointer out of the pictures");
  rec->add_option("--method", a->method,
                  "how pictures are copied (Windows): auto (the screen through Desktop "
                  "Duplication, a window through its own device context), duplication (a window "
                  "too, as the part of the screen it covers: needed for windows drawn by the GPU, "
                  "which otherwise come out black), gdi (GDI everywhere)")
      ->check(CLI::IsMember({"auto", "duplication", "gdi"}))
      ->capture_default_str();
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
      "hold the recording up to that point; 8 the recorded window was closed or minimised, its "
      "picture could not be grabbed or the sound device went away: the recording stopped early "
      "and its files are complete up to then; 9 the free disk space fell under --min-free: the "
      "recording stopped there with complete files; 130 cancelled before the recording started "
      "(hot key, countdown or start time).");
}

// The settings record from the options; false (after saying why) for a value it cannot take.
bool readSettings(const RecordArguments& a, CaptureSetting* s) {
  s->frameRate = a.fps;
  if (!a.offset.empty() && !parsePair(a.offset, ",", &s->sourceX, &s->sourceY)) {
    fail("--offset wants X,Y, not \"" + a.offset + "\"");
    return false;
  }
  if (!a.size.empty() && (!parsePair(a.size, "xX", &s->captureWidth, &s->captureHeight) ||
                          s->captureWidth < 1 || s->captureHeight < 1)) {
    fail("--size wants WxH with positive numbers, not \"" + a.size + "\"");
    return false;
  }
  if (!a.outputSize.empty() && (!parsePair(a.outputSize, "xX", &s->outputWidth, &s->outputHeight) ||
                                s->outputWidth < 2 || s->outputHeight < 2)) {
    fail("--output-size wants WxH of at least 2x2, not \"" + a.outputSize + "\"");
    return false;
  }
  if (!parseBytes(a.memory, &s->memorySize)) {
    fail("--memory wants a size like 512M or 2G, not \"" + a.memory + "\"");
    return false;
  }
  s->affinityMask = getAffinityMask();
  if (!a.affinity.empty()) {
    try {
      size_t used = 0;
      s->affinityMask = std::stoull(a.affinity, &used, 0);
      if (used != a.affinity.size()) throw std::invalid_argument(a.affinity);
    } catch (const std::exception&) {
      fail("--affinity wants a processor mask such as 0x3, not \"" + a.affinity + "\"");
      return false;
    }
  }
  s->colorMatrix = a.matrix == "709" ? 2 : a.matrix == "601" ? 1 : 0;
  s->fullRange = a.range == "full" ? 1 : 0;
  s->clientArea = a.area == "client" ? 1 : 0;
  s->reserveOneProcessor = a.reserveCpu ? 1 : 0;
  s->disableDesktopComposition = a.noComposition ? 1 : 0;
  s->useAVX = a.noAvx ? 0 : 1;
  return true;
}

// When to start and how much disk to leave free; false (after saying why) for a bad value.
bool readHabits(const RecordArguments& a, RecordOptions* options) {
  if (!a.startAt.empty() && !qvtools::parseTimeOfDay(a.startAt, &options->startAt)) {
    fail("--start-at wants HH:MM or HH:MM:SS (24-hour clock), not \"" + a.startAt + "\"");
    return false;
  }
  if (!parseBytes(a.minFree, &options->minFree)) {
    fail("--min-free wants a size like 512M or 2G (0: no floor), not \"" + a.minFree + "\"");
    return false;
  }
  return true;
}

// Recordings in the output folder that were cut off: said before a new one joins them, since
// they are found broken in the editor otherwise.
void hintAtCutOffTakes(const std::string& qvfPath) {
  for (const qvtools::CutOffTake& take :
       qvtools::findCutOffTakes(qvtools::parentDirectory(qvfPath))) {
    std::fprintf(stderr,
                 "qvrec: %s was cut off (whole up to %s); 'qvf repair %s%s%s' makes it whole\n",
                 take.path.c_str(), qvtools::formatClock(take.seconds).c_str(), take.path.c_str(),
                 take.wavPath.empty() ? "" : " ", take.wavPath.c_str());
  }
}

// The sound source and the two files, checked before anything is recorded: a recording that
// cannot be written is not worth starting. Returns an ExitCode.
int chooseOutputs(const RecordArguments& a, RecordOptions* options) {
  const std::string sound = a.noAudio ? "none" : a.sound;
  options->audio = sound != "none";
  options->soundSource = sound == "desktop"       ? QV_SOURCE_DESKTOP
                         : sound == "mic+desktop" ? QV_SOURCE_CAPTURE_AND_DESKTOP
                         : sound == "none"        ? QV_SOURCE_NONE
                                                  : QV_SOURCE_CAPTURE_DEVICE;
  options->cursor = !a.noCursor;
  options->captureMethod = a.method == "duplication" ? QV_METHOD_DUPLICATION
                           : a.method == "gdi"       ? QV_METHOD_GDI
                                                     : QV_METHOD_AUTO;
  if (options->qvfPath.empty()) options->qvfPath = defaultBaseName() + ".qvf";
  if (options->wavPath.empty()) options->wavPath = replaceExtension(options->qvfPath, ".wav");
  if (options->audio && options->wavPath == options->qvfPath) {
    fail("the .qvf and the .wav file cannot be the same file");
    return kExitUsage;
  }
  std::string reason;
  if (!qvtools::canCreateFile(options->qvfPath, &reason)) {
    fail("cannot write " + options->qvfPath + ": " + reason);
    return kExitBadOutput;
  }
  if (options->audio && !qvtools::canCreateFile(options->wavPath, &reason)) {
    fail("cannot write " + options->wavPath + ": " + reason);
    return kExitBadOutput;
  }
  return kExitOk;
}

// The window the query names; false (after saying why) when none or several do.
bool chooseTarget(const WindowQuery& query, RecordOptions* options) {
  WindowEntry chosen;
  std::string error;
  if (!chooseWindow(readWindowList(), query, &chosen, &error)) {
    fail(error);
    return false;
  }
  options->setting.targetWindow = chosen.handle;
  options->wholeScreen = chosen.index == 0;
  options->windowTitle = chosen.title;
  options->windowDescription =
      chosen.index == 0 ? std::string("the whole screen")
                        : "window " + std::to_string(chosen.index) + " \"" + chosen.title + "\"";
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"qvrec: record a window or the whole screen, with its sound, into a .qvf file"};
  app.set_version_flag("--version", "qvrec " QV_VERSION);
  app.require_subcommand(1);
  CLI::App* list = app.add_subcommand("list", "the windows that can be recorded (0: the screen)");
  CLI::App* rec = app.add_subcommand(
      "record", "record until Ctrl+C, a duration or a full pool; F11 or Pause pauses and resumes");
  RecordArguments arguments;
  addRecordOptions(rec, &arguments);
  Backend listBackend = Backend::kAuto;
  addBackendOption(list, &listBackend);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? kExitOk : kExitUsage;
  }
  if (list->parsed()) return listScreenAndWindows(listBackend);

  RecordOptions& options = arguments.options;
  if (!readSettings(arguments, &options.setting) || !readHabits(arguments, &options)) {
    return kExitUsage;
  }
  const int outputs = chooseOutputs(arguments, &options);
  if (outputs != kExitOk) return outputs;
  const int path =
      openScreenPath(arguments.backend, arguments.query, options.cursor, arguments.chooseAgain);
  if (path != kExitOk) return path;
  // The cast ends with the process; closed here so that the portal hears of it at once.
  struct CloseScreenPath {
    ~CloseScreenPath() { closeScreenPath(); }
  } closeAtEnd;
  if (!chooseTarget(arguments.query, &options)) return kExitNoWindow;
  if (!options.quiet) hintAtCutOffTakes(options.qvfPath);
  if (!options.inMemory && options.minFree > 0) {
    const int64_t free = qvtools::freeDiskBytes(options.qvfPath);
    if (free >= 0 && static_cast<uint64_t>(free) < options.minFree) {
      fail("only " + qvtools::formatBytes(static_cast<uint64_t>(free)) + " free where " +
           options.qvfPath + " would be written, under --min-free " +
           qvtools::formatBytes(options.minFree) + "; free some space or lower --min-free");
      return kExitBadOutput;
    }
  }
  return record(options);
}
