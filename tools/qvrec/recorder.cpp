#include "recorder.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "console.h"
#include "qvf.h"
#include "recording_summary.h"
#include "session_runner.h"
#ifdef _WIN32
#include "end_session.h"
#endif
#include "start_time.h"

namespace qvrec {

namespace {

volatile std::sig_atomic_t g_stopRequested = 0;

extern "C" void onStopSignal(int signal) { g_stopRequested = signal; }

#ifdef _WIN32
// Stop reason for a console that is going away (Windows has no SIGHUP).
constexpr std::sig_atomic_t kConsoleClosed = -1;
constexpr std::sig_atomic_t kSessionEnding = -2;
// Set once record() has completed its files (or written nothing).
HANDLE g_filesComplete = nullptr;

// Closing the console window, logging off and shutting down end the process as soon as this
// returns, and at the latest after about five seconds: it asks for the stop, as Ctrl+C does,
// and holds the process until the files are complete. Ctrl+C and Ctrl+Break stop as usual.
BOOL WINAPI onConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      g_stopRequested = SIGINT;
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      g_stopRequested = kConsoleClosed;
      if (g_filesComplete != nullptr) WaitForSingleObject(g_filesComplete, 4500);
      return TRUE;
    default:
      return FALSE;
  }
}
#endif

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// One status line: redrawn in place on a terminal, an occasional log line otherwise.
class StatusLine {
 public:
  explicit StatusLine(bool quiet) : quiet_(quiet), terminal_(qvtools::isTerminal(stderr)) {}
  void show(const std::string& text, bool force = false) {
    if (quiet_) return;
    if (terminal_) {
      std::string line = "\r" + text;
      // Padding instead of an escape sequence: not every console understands those.
      if (text.size() < width_) line += std::string(width_ - text.size(), ' ');
      width_ = std::max(width_, text.size());
      std::fputs(line.c_str(), stderr);
      std::fflush(stderr);
      open_ = true;
    } else if (force || secondsSince(last_) >= 5.0) {
      std::fprintf(stderr, "%s\n", text.c_str());
      last_ = std::chrono::steady_clock::now();
    }
  }
  void end() {
    if (open_) std::fputs("\n", stderr);
    open_ = false;
    width_ = 0;
  }

 private:
  bool quiet_;
  bool terminal_;
  bool open_ = false;
  size_t width_ = 0;
  std::chrono::steady_clock::time_point last_{};
};

std::string percent(double fraction) {
  char text[16];
  std::snprintf(text, sizeof(text), "%3.0f%%", fraction * 100.0);
  return text;
}

// Frames, repeat records and the difference of sound and picture length so far.
std::string liveCounts(const RecordingStats& stats, const CaptureSetting& used, bool audio) {
  const double share = stats.videoRecords == 0 ? 0.0
                                               : 100.0 * static_cast<double>(stats.repeatRecords) /
                                                     static_cast<double>(stats.videoRecords);
  char text[96];
  std::snprintf(text, sizeof(text), "frames %lld  repeats %lld (%.1f%%, run %lld)",
                static_cast<long long>(stats.capturedFrames),
                static_cast<long long>(stats.repeatRecords), share,
                static_cast<long long>(stats.longestRepeatRun));
  std::string counts = text;
  if (stats.unchangedFrames > 0) counts += "  unchanged " + std::to_string(stats.unchangedFrames);
  if (audio) {
    counts +=
        "  drift " +
        qvtools::driftText(
            static_cast<double>(stats.soundSamples) / getSoundRate(),
            static_cast<double>(stats.videoRecords) / static_cast<double>(used.frameRate), false);
  }
  return counts;
}

std::string temporaryDirectory() {
  for (const char* name : {"TMPDIR", "TEMP", "TMP"}) {
    const char* dir = std::getenv(name);
    if (dir != nullptr && *dir != '\0' && qvtools::isDirectory(dir)) return dir;
  }
#ifdef _WIN32
  return ".";
#else
  return "/tmp";
#endif
}

std::string baseName(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A free name in the temporary directory (then the working directory) for a file that could
// not be written where asked.
std::string rescuePath(const std::string& original, int attempt) {
  std::string name = baseName(original);
  const size_t dot = name.find_last_of('.');
  const std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
  const std::string ext = dot == std::string::npos || dot == 0 ? "" : name.substr(dot);
  const std::string dir = attempt % 2 == 0 ? temporaryDirectory() : ".";
  for (int n = 1;; ++n) {
    const std::string candidate = dir + "/" + (stem.empty() ? "qvrec" : stem) + "-rescued" +
                                  (n > 1 ? "-" + std::to_string(n) : "") + ext;
    if (!qvtools::fileExists(candidate)) return candidate;
  }
}

// The first write of an output failed (why says why); the data is still in the library's
// memory, so asks for another path (on a terminal) or goes on to a fallback path it names.
// *written is where the file ended up; false when every attempt failed or the user gave up.
bool rescue(const char* what, const std::string& path, std::string why,
            const std::function<bool(const std::string&, std::string*)>& write,
            std::string* written) {
  const bool interactive = qvtools::isTerminal(stdin) && qvtools::isTerminal(stderr);
  std::string target = path;
  for (int attempt = 0; attempt < 6; ++attempt) {
    std::fprintf(stderr, "qvrec: could not write the %s to %s: %s\n", what, target.c_str(),
                 why.c_str());
    const std::string fallback = rescuePath(path, attempt);
    if (interactive) {
      std::fprintf(stderr,
                   "qvrec: nothing is lost yet, the recording is still in memory.\n"
                   "Write the %s to [Enter: %s; or type a path; q: give up and lose it]: ",
                   what, fallback.c_str());
      std::string answer;
      if (!std::getline(std::cin, answer)) answer.clear();
      if (answer == "q" || answer == "Q") return false;
      target = answer.empty() ? fallback : answer;
    } else {
      target = fallback;
      std::fprintf(stderr, "qvrec: writing the %s to %s instead\n", what, target.c_str());
    }
    if (write(target, &why)) {
      *written = target;
      return true;
    }
  }
  std::fprintf(stderr, "qvrec: could not write the %s to %s either: %s\n", what, target.c_str(),
               why.c_str());
  return false;
}

// The pool the library reserves: whole blocks of at most 100 MiB, each a whole number of
// captured pictures, as many as fit the budget and at least one.
uint64_t poolBytes(const CaptureSetting& s) {
  const uint64_t kMaxBlock = 104857600;
  const uint64_t frame = static_cast<uint64_t>(s.captureWidth * s.captureHeight * 4);
  if (frame == 0 || frame > kMaxBlock) return 0;
  const uint64_t block = kMaxBlock - kMaxBlock % frame;
  const uint64_t count = s.memorySize / block;
  return (count == 0 ? 1 : count) * block;
}

// Why a file could not be written, as far as can be told afterwards.
std::string writeFailure(const std::string& path) {
  std::string reason;
  if (!qvtools::canCreateFile(path, &reason)) return reason;
  return "a write failed (disk full?)";
}

}  // namespace

void installStopHandler() {
  std::signal(SIGINT, onStopSignal);
  std::signal(SIGTERM, onStopSignal);
#ifdef SIGHUP
  // A closed terminal: the recording ends with complete files, as on Ctrl+C.
  std::signal(SIGHUP, onStopSignal);
#endif
#ifdef _WIN32
  if (g_filesComplete == nullptr) {
    g_filesComplete = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
    qvtools::watchEndOfSession([] { g_stopRequested = kSessionEnding; }, g_filesComplete);
  }
#endif
#ifdef SIGXFSZ
  // A file-size limit shows as a failed write, like a full disk, instead of ending the process.
  std::signal(SIGXFSZ, SIG_IGN);
#endif
}

// Both sources were open at the start: the WAV files of their tracks are written beside the mix.
bool recordedTracks = false;

std::string soundProblem(int32_t source, int32_t status) {
  if (status == QV_SOURCE_FORMAT_REFUSED) {
    return source == QV_SOURCE_DESKTOP
               ? "the output device refused every sound format the recorder can take"
               : "the capture device refused every sound format the recorder can take";
  }
  if (status == QV_SOURCE_NO_LOOPBACK) {
    return "what the computer plays cannot be recorded here: the sound system offers no "
           "loopback capture of the output device (--sound mic records the capture device)";
  }
  if (source == QV_SOURCE_DESKTOP) {
    return "no output device to record what the computer plays (no sound server, or no default "
           "output)";
  }
  return "no sound capture device (no sound server, or no default input)";
}

std::string refusalReason(int32_t status) {
  switch (status) {
    case QV_INIT_OK:
      return "ready";
    case QV_INIT_NOT_INITIALIZED:
      return "the library was not initialised";
    case QV_INIT_BAD_FRAME_RATE:
      return "the frame rate must be at least 1";
    case QV_INIT_EMPTY_TARGET:
      return "the window has no area to record (closed or minimised?)";
    case QV_INIT_FRAME_TOO_LARGE:
      return "one captured picture would exceed 100 MiB (choose a smaller --size)";
    case QV_INIT_TOO_SMALL:
      return "fewer than 2 columns are left to record";
    case QV_INIT_CAPTURE_FAILED:
      return "the screen grabber could not be set up on the window";
    case QV_INIT_NO_DISPLAY:
#ifdef _WIN32
      return "there is no desktop to record: run qvrec in an interactive desktop session";
#else
      return "there is no display to record: no X server answers at DISPLAY=" +
             std::string(std::getenv("DISPLAY") != nullptr ? std::getenv("DISPLAY") : "(unset)") +
             "; start an X session (or Xvfb) or set DISPLAY to a running one, e.g. DISPLAY=:0";
#endif
    case QV_INIT_NO_MEMORY:
      return "the memory pool could not reserve a single block (try a smaller --memory, or free "
             "memory)";
    default:
      return "start-up status " + std::to_string(status);
  }
}

namespace {

// Words for a getRecordingStatus value that stopped the recording.
const char* statusReason(int32_t status) {
  switch (status) {
    case QV_STATUS_POOL_FULL:
      return "memory pool full";
    case QV_STATUS_WRITE_FAILED:
      return "a write failed while recording (disk full or drive removed?)";
    case QV_STATUS_CANNOT_OPEN:
      return "the files could not be created";
    case QV_STATUS_TARGET_LOST:
      return "the recorded window was closed";
    case QV_STATUS_TARGET_MINIMISED:
      return "the recorded window was minimised";
    case QV_STATUS_GRAB_FAILED:
      return "the picture could not be grabbed any more";
    case QV_STATUS_SOUND_LOST:
      return "the sound device went away";
    case QV_STATUS_SCREEN_ENDED:
      return "the screen went away (sharing stopped, or the portal or display went away)";
    default:
      return nullptr;
  }
}

// Initialize and the line that says what will be recorded; false when refused.
bool startLibrary(const RecordOptions& options,
                  const std::function<void(const std::string&)>& say) {
  setCursorDrawing(options.cursor ? 1 : 0);
  setCaptureMethod(options.captureMethod);
  setClickDrawing(options.clicks ? 1 : 0);
  setClickEvents(options.events ? 1 : 0);
  setSoundSource(options.soundSource);
  setSoundRate(options.soundRate);
  // A still screen then costs a few bytes per frame instead of a compressed picture of zeros.
  setRepeatUnchanged(options.keepUnchanged ? 0 : 1);
  Initialize(&options.setting);
  const int32_t initStatus = getInitializeStatus();
  if (initStatus != QV_INIT_OK) {
    std::fprintf(stderr, "qvrec: the settings were refused: %s\n",
                 refusalReason(initStatus).c_str());
    Finalize();
    return false;
  }
  const CaptureSetting& used = *getCaptureSetting();
  const int encodeThreads = getEncodeThreadCount();
  char text[400];
  std::snprintf(
      text, sizeof(text),
      "qvrec: recording %s: %lldx%lld at (%lld,%lld) -> %lldx%lld, %lld fps, %s %s, "
      "%s kernels, %d encode thread%s, pool %s, %s",
      options.windowDescription.c_str(), static_cast<long long>(used.captureWidth),
      static_cast<long long>(used.captureHeight), static_cast<long long>(used.sourceX),
      static_cast<long long>(used.sourceY), static_cast<long long>(used.outputWidth),
      static_cast<long long>(used.outputHeight), static_cast<long long>(used.frameRate),
      used.colorMatrix == 2 || (used.colorMatrix == 0 && used.outputHeight >= 720) ? "BT.709"
                                                                                   : "BT.601",
      used.fullRange != 0 ? "full range" : "TV range", used.useAVX != 0 ? "AVX" : "SSE2",
      encodeThreads, encodeThreads == 1 ? "" : "s", qvtools::formatBytes(poolBytes(used)).c_str(),
      options.inMemory ? "written after the stop" : "written while recording");
  say(text);
  say(std::string("qvrec: sound from ") +
      (options.soundSource == QV_SOURCE_DESKTOP ? "what the computer plays"
       : options.soundSource == QV_SOURCE_NONE  ? "nowhere (none)"
       : options.soundSource == QV_SOURCE_CAPTURE_AND_DESKTOP
           ? "the capture device and what the computer plays, each on its own track"
           : "the capture device") +
      ", pointer " + (options.cursor ? "drawn" : "left out") + ", pictures from " +
      (getGrabMethod() == QV_GRAB_DUPLICATION ? "Desktop Duplication"
       : getGrabMethod() == QV_GRAB_SCREEN    ? "the screen's ordinary copy"
                                              : "the window's own picture"));
  const int32_t soundStatus = getSoundStatus();
  recordedTracks = options.soundSource == QV_SOURCE_CAPTURE_AND_DESKTOP && options.audio &&
                   soundStatus == QV_SOURCE_READY;
  if (options.soundSource == QV_SOURCE_CAPTURE_AND_DESKTOP && soundStatus != QV_SOURCE_READY) {
    // One of the two may still be recorded, alone, as if it had been chosen by itself.
    const bool mic = getSoundSourceStatus(QV_SOURCE_CAPTURE_DEVICE) == QV_SOURCE_READY;
    const bool desktop = getSoundSourceStatus(QV_SOURCE_DESKTOP) == QV_SOURCE_READY;
    const int32_t missing = mic ? QV_SOURCE_DESKTOP : QV_SOURCE_CAPTURE_DEVICE;
    const int32_t why = getSoundSourceStatus(missing);
    if (mic || desktop) {
      std::fprintf(stderr, "qvrec: %s; recording %s only (into the .wav, no tracks)\n",
                   soundProblem(missing, why).c_str(),
                   mic ? "the capture device" : "what the computer plays");
    } else {
      std::fprintf(
          stderr, "qvrec: %s; %s; recording without sound (the .wav stays empty)\n",
          soundProblem(QV_SOURCE_CAPTURE_DEVICE, getSoundSourceStatus(QV_SOURCE_CAPTURE_DEVICE))
              .c_str(),
          soundProblem(QV_SOURCE_DESKTOP, getSoundSourceStatus(QV_SOURCE_DESKTOP)).c_str());
    }
  } else if (options.audio && soundStatus != QV_SOURCE_READY) {
    // Said before the recording starts, on every run: a tutorial without its sound is found
    // out too late otherwise.
    std::fprintf(stderr, "qvrec: %s; recording without sound (the .wav stays empty)\n",
                 soundProblem(options.soundSource, soundStatus).c_str());
  }
  return true;
}

// Waits for the start hot key; false when cancelled.
bool waitForHotkey(const std::function<void(const std::string&)>& say) {
  say("qvrec: press F12 or Print Screen to start (Ctrl+C to cancel)");
  // waitCaptureAction blocks this thread; Ctrl+C reaches it through the stop flag.
  std::atomic<bool> waiting{true};
  std::thread watcher([&waiting] {
    while (waiting) {
      if (g_stopRequested) setTerminated(1);
      sleepMs(20);
    }
  });
  const bool pressed = waitCaptureAction() == QV_HOTKEY_PRESSED;
  waiting = false;
  watcher.join();
  return pressed;
}

// The countdown or the wait for the start time; false when Ctrl+C cancelled it.
bool waitForStart(const RecordOptions& options, StatusLine& status,
                  const std::function<void(const std::string&)>& say) {
  double seconds = options.countdown;
  if (options.startAt >= 0) {
    bool tomorrow = false;
    seconds = static_cast<double>(
        qvtools::secondsUntilTimeOfDay(std::time(nullptr), options.startAt, &tomorrow));
    char at[16];
    std::snprintf(at, sizeof(at), "%02d:%02d:%02d", options.startAt / 3600,
                  options.startAt / 60 % 60, options.startAt % 60);
    say(std::string("qvrec: recording starts at ") + at + (tomorrow ? " tomorrow" : " today") +
        (tomorrow ? " (that time has passed today)" : "") + ", in " +
        qvtools::formatClock(seconds) + " (Ctrl+C cancels)");
  }
  if (seconds <= 0) return true;
  qvtools::Countdown countdown(seconds, qvtools::steadyWaitClock());
  const bool started = countdown.waitFor(
      [&](int64_t left) {
        if (left > 0) {
          status.show("starting in " +
                          (options.startAt >= 0 ? qvtools::formatClock(static_cast<double>(left))
                                                : std::to_string(left)) +
                          "  (Ctrl+C cancels)",
                      options.startAt < 0 || left <= 10);
        }
      },
      [] { return g_stopRequested != 0; });
  status.end();
  return started;
}

qvtools::RunOptions runOptions(const RecordOptions& options) {
  qvtools::RunOptions run;
  run.streaming = !options.inMemory;
  run.sound = options.audio;
  run.qvfPath = options.qvfPath;
  run.wavPath = options.audio ? options.wavPath : std::string();
  run.duration = options.duration;
  run.minFreeBytes = options.minFree;
  if (options.events) run.eventsPath = qvtools::eventsPathFor(options.qvfPath);
  return run;
}

// The words for how the recording ended, as the summary and the last status line say it.
std::string stopReason(const qvtools::RunResult& r) {
  switch (r.stopCause) {
    case qvtools::StopCause::kHost:
      if (g_stopRequested == SIGINT) return "stopped by Ctrl+C";
      if (g_stopRequested == SIGTERM) return "stopped by SIGTERM";
#ifdef _WIN32
      if (g_stopRequested == kSessionEnding) return "stopped: the session is ending";
#endif
      return "stopped: the console was closed";
    case qvtools::StopCause::kDuration:
      return "duration reached";
    case qvtools::StopCause::kDiskFloor:
      return "stopped: the disk's free space fell under --min-free (" +
             qvtools::formatBytes(static_cast<uint64_t>(std::max<int64_t>(r.diskFreeBytes, 0))) +
             " free)";
    default: {
      const char* reason = statusReason(r.stopStatus);
      return reason != nullptr
                 ? reason
                 : "stopped by the library (status " + std::to_string(r.stopStatus) + ")";
    }
  }
}

// Which window (or the screen) went away and when, for a recording the library ended early.
std::string sourceLostMessage(const RecordOptions& options, const qvtools::RunResult& r) {
  char id[32];
  std::snprintf(id, sizeof(id), "0x%llx",
                static_cast<unsigned long long>(options.setting.targetWindow));
  const std::string window =
      options.wholeScreen ? std::string("the screen")
                          : "the recorded window \"" + options.windowTitle + "\" (id " + id + ")";
  char when[64];
  std::snprintf(when, sizeof(when), "%.1f s into the recording", r.recordedSeconds);
  std::string what;
  switch (r.stopStatus) {
    case QV_STATUS_TARGET_LOST:
      what = window + " was closed " + when;
      break;
    case QV_STATUS_TARGET_MINIMISED:
      what = window + " was minimised " + when + " (a minimised window has no picture)";
      break;
    case QV_STATUS_GRAB_FAILED:
      what = "the picture of " + window + " could not be grabbed any more " + when +
             " (did the display go away?)";
      break;
    case QV_STATUS_SCREEN_ENDED:
      what = std::string("the screen stopped being shared ") + when +
             " (sharing was stopped, or the portal, PipeWire or the display went away)";
      break;
    default:
      what = std::string("the sound device went away ") + when;
      break;
  }
  return what + "; the recording stopped there";
}

// Starts the threads and shows the status line until something ends the recording. F11 or
// Pause pauses and resumes; the duration counts recorded time, which pauses do not use up.
// *peakFill is the largest pool fill seen (streamed: the largest backlog).
void recordUntilStopped(const RecordOptions& options, const CaptureSetting& used,
                        qvtools::SessionRunner& runner, StatusLine& status, double* peakFill) {
  auto say = [&options](const std::string& text) {
    if (!options.quiet) std::fprintf(stderr, "%s\n", text.c_str());
  };
  runner.start();
  say("qvrec: F11 or Pause pauses and resumes; Ctrl+C stops");
  int32_t shownPaused = 0;
  runner.record([&](const qvtools::LiveState& live) {
    if (pollPauseKey() == QV_PAUSE_KEY_PRESSED) {
      setPaused(getPaused() == QV_PAUSED ? QV_RUNNING : QV_PAUSED);
    }
    if (g_stopRequested) {
      runner.requestStop();
      return;
    }
    if ((live.newWarnings & QV_WARNING_BLACK_PICTURE) != 0) {
      // Said once; the recording goes on, since the sound may be what matters.
      status.end();
      std::fprintf(stderr,
                   "qvrec: this window's picture comes out black; record the screen (window 0) "
                   "or switch off hardware acceleration in that program\n");
    }
    if ((live.newWarnings & QV_WARNING_GDI_FALLBACK) != 0) {
      status.end();
      std::fprintf(stderr,
                   "qvrec: Desktop Duplication cannot be used here (error 0x%08X); the screen is "
                   "copied with GDI from now on, which is slower\n",
                   static_cast<unsigned>(getDuplicationFailure()));
    }
    if ((live.newWarnings & QV_WARNING_SOUND_LOST) != 0) {
      // Said once; the picture goes on, and the sound is silence from here to the stop (on
      // Linux, until a sound device is there again: it is then recorded again).
      status.end();
#ifdef _WIN32
      std::fprintf(stderr,
                   "qvrec: the sound device went away; recording goes on with silence (plug it "
                   "back in or choose another default to start a new recording with sound)\n");
#else
      std::fprintf(stderr,
                   "qvrec: the sound device went away; recording goes on with silence until a "
                   "sound device is there again\n");
#endif
    }
    if (live.diskLow) {
      status.end();
      std::fprintf(stderr,
                   "qvrec: less than five minutes of disk left at this rate (%s free); the "
                   "recording stops when %s are left (--min-free)\n",
                   qvtools::formatBytes(static_cast<uint64_t>(live.diskFreeBytes)).c_str(),
                   qvtools::formatBytes(options.minFree).c_str());
    }
    *peakFill = std::max(*peakFill, live.fill);
    const RecordingStats& stats = live.stats;
    std::string line = std::string(stats.paused != 0 ? "paused " : "REC ") +
                       qvtools::formatClock(live.recordedSeconds) + "  " +
                       liveCounts(stats, used, options.audio) +
                       (options.inMemory ? "  pool " : "  backlog ") + percent(live.fill);
    if (!options.inMemory) {
      const int64_t written = qvtools::fileSize(options.qvfPath);
      line += "  written " + qvtools::formatBytes(static_cast<uint64_t>(written < 0 ? 0 : written));
      if (live.diskSecondsLeft >= 0) line += "  disk " + qvtools::formatClock(live.diskSecondsLeft);
    }
    if (stats.paused != 0) line += "  F11 resumes";
    // While a device is gone; one that came back records again (the warning stays set).
    if ((live.warnings & QV_WARNING_SOUND_LOST) != 0 && getSoundStatus() == QV_SOURCE_LOST) {
      line += "  SOUND LOST (silence)";
    }
    if (live.fill >= 0.9)
      line += options.inMemory ? "  POOL NEARLY FULL" : "  WRITER FALLING BEHIND";
    // A pause or a resume shows at once, in a log too.
    status.show(line, stats.paused != shownPaused);
    shownPaused = stats.paused;
  });
  const qvtools::RunResult& r = runner.result();
  status.show("REC " + qvtools::formatClock(r.recordedSeconds) + "  " +
                  liveCounts(r.stats, used, options.audio) + "  " + stopReason(r),
              true);
  status.end();
}

std::string writingLine(const std::string& path, double fraction) {
  return "writing " + path + " " + qvtools::progressBar(fraction, 30) + " " + percent(fraction);
}

// The files: the streaming writer completes them, or they are written from memory (also when
// the streamed files could not be created).
void finishFiles(const RecordOptions& options, qvtools::SessionRunner& runner, StatusLine& status) {
  bool toldMemory = false;
  const qvtools::RunResult& r = runner.finish([&](double fraction, bool fromMemory) {
    if (!fromMemory) {
      status.show("finishing " + options.qvfPath + "  backlog " + percent(fraction));
      return;
    }
    if (!options.inMemory && !toldMemory) {
      toldMemory = true;
      status.end();
      std::fprintf(stderr, "qvrec: %s could not be created while recording; writing from memory\n",
                   options.qvfPath.c_str());
    }
    status.show(writingLine(options.qvfPath, fraction));
  });
  if (!r.streamed) status.show(writingLine(options.qvfPath, getProgress()), true);
  status.end();
}

// After a write from memory failed: each lost file to a fallback path. False when one is lost.
bool rescueFiles(const RecordOptions& options, qvtools::SessionRunner& runner) {
  const qvtools::RunResult& r = runner.result();
  std::string written;
  bool qvfOk = true;
  if (!r.videoWritten()) {
    qvfOk = rescue(
        "recording", options.qvfPath, writeFailure(options.qvfPath),
        [&runner](const std::string& path, std::string* why) {
          const bool ok = runner.writeAgain(path, "", nullptr).videoWritten();
          if (!ok) *why = writeFailure(path);
          return ok;
        },
        &written);
  }
  if (!options.audio || (r.wavResult != QV_WAV_CANNOT_OPEN && r.wavResult != QV_WAV_WRITE_FAILED)) {
    return qvfOk;
  }
  const auto why = [](int wavResult, const std::string& path) {
    return wavResult == QV_WAV_WRITE_FAILED ? std::string("a write failed (disk full?)")
                                            : writeFailure(path);
  };
  const bool wavOk = rescue(
      "sound", options.wavPath, why(r.wavResult, options.wavPath),
      [&runner, &why](const std::string& path, std::string* reason) {
        const int result = runner.writeAgain("", path, nullptr).wavResult;
        if (result == QV_WAV_CANNOT_OPEN || result == QV_WAV_WRITE_FAILED) {
          *reason = why(result, path);
        }
        return result == QV_WAV_WRITTEN;
      },
      &written);
  return qvfOk && wavOk;
}

void printSummary(const RecordOptions& options, const CaptureSetting& used,
                  const qvtools::RunResult& r, bool wavOk, const RecordingStats& stats) {
  const uint64_t captured = r.captured;
  const uint64_t records = r.videoWritten() ? r.records : 0;
  const uint64_t repeats = records > captured ? records - captured : 0;
  std::printf("recorded   %s (%s)\n", qvtools::formatClock(r.recordedSeconds).c_str(),
              stopReason(r).c_str());
  if (r.cutShort) {
    std::printf("qvf        %s (%s, up to the failed write)\n", r.qvfPath.c_str(),
                qvtools::formatBytes(static_cast<uint64_t>(qvtools::fileSize(r.qvfPath))).c_str());
  } else if (r.videoWritten()) {
    std::printf(
        "video      %.3f s: %llu frames at %lld fps (%llu captured, %llu repeat records), "
        "%lldx%lld\n",
        static_cast<double>(records) / static_cast<double>(used.frameRate),
        static_cast<unsigned long long>(records), static_cast<long long>(used.frameRate),
        static_cast<unsigned long long>(captured), static_cast<unsigned long long>(repeats),
        static_cast<long long>(used.outputWidth), static_cast<long long>(used.outputHeight));
    std::printf("qvf        %s (%s)\n", r.qvfPath.c_str(),
                qvtools::formatBytes(static_cast<uint64_t>(qvtools::fileSize(r.qvfPath))).c_str());
  } else {
    std::printf("qvf        NOT WRITTEN: the pictures are lost\n");
  }
  if (options.audio && wavOk) {
    const int64_t bytes = qvtools::fileSize(r.wavPath);
    std::printf("wav        %s (%s, %.3f s of sound)\n", r.wavPath.c_str(),
                qvtools::formatBytes(static_cast<uint64_t>(bytes < 0 ? 0 : bytes)).c_str(),
                qvtools::wavSeconds(bytes, static_cast<uint32_t>(getSoundRate())));
    // Each source's own track beside it, when both were recorded.
    if (recordedTracks) {
      // As the library names them: NAME.mic.wav for NAME.wav.
      std::string base = r.wavPath;
      if (base.size() >= 4) {
        std::string extension = base.substr(base.size() - 4);
        for (char& c : extension)
          c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (extension == ".wav") base.resize(base.size() - 4);
      }
      for (const char* name : {".mic.wav", ".desktop.wav"}) {
        const std::string path = base + name;
        const int64_t trackBytes = qvtools::fileSize(path);
        std::printf(
            "wav        %s (%s, %.3f s of sound)\n", path.c_str(),
            qvtools::formatBytes(static_cast<uint64_t>(trackBytes < 0 ? 0 : trackBytes)).c_str(),
            qvtools::wavSeconds(trackBytes, static_cast<uint32_t>(getSoundRate())));
      }
    }
  } else if (options.audio) {
    std::printf("wav        NOT WRITTEN: the sound is lost\n");
  }
  const uint64_t slots = r.videoWritten() ? records : static_cast<uint64_t>(stats.videoRecords);
  std::printf("repeats    %s\n",
              qvtools::repeatSummary(repeats, slots, static_cast<uint64_t>(stats.longestRepeatRun))
                  .c_str());
  if (options.audio) {
    std::printf("drift      %s\n",
                qvtools::driftText(static_cast<double>(stats.soundSamples) / getSoundRate(),
                                   static_cast<double>(slots) / static_cast<double>(used.frameRate))
                    .c_str());
  }
  // Repeat records for unchanged pictures stand for captured frames: they are not missed slots.
  if (options.keepUnchanged) {
    std::printf("unchanged  not looked for: every picture stored (--keep-unchanged)\n");
  } else {
    std::printf(
        "unchanged  %lld captured pictures equal to the one before, stored as repeat "
        "records\n",
        static_cast<long long>(stats.unchangedFrames));
  }
  if (stats.pauseCount > 0) {
    std::printf("pauses     %d, %.1f s in all\n", stats.pauseCount,
                static_cast<double>(stats.pausedMilliseconds) / 1000.0);
  }
  if (options.events && r.eventsWritten) {
    std::printf("events     %s\n", qvtools::eventsPathFor(r.qvfPath).c_str());
  }
}

int recordAndWrite(const RecordOptions& options) {
  StatusLine status(options.quiet);
  auto say = [&options](const std::string& text) {
    if (!options.quiet) std::fprintf(stderr, "%s\n", text.c_str());
  };
  if (!startLibrary(options, say)) return kExitRefused;
  const CaptureSetting used = *getCaptureSetting();
  // The file says how it was made: colours, sizes, window, start time, pauses.
  setWriteProvenance(1);
  if ((options.hotkey && !waitForHotkey(say)) || !waitForStart(options, status, say)) {
    say("qvrec: cancelled before the recording started; nothing was recorded");
    Finalize();
    return kExitCancelled;
  }

  qvtools::SessionRunner runner(runOptions(options));
  double peakFill = 0.0;
  recordUntilStopped(options, used, runner, status, &peakFill);
  const qvtools::RunResult& r = runner.result();
  if (r.sourceLost()) std::fprintf(stderr, "qvrec: %s\n", sourceLostMessage(options, r).c_str());
  if (r.nothingRecorded()) {
    runner.finish(nullptr);
    std::fprintf(stderr, "qvrec: no frame was captured; nothing to write\n");
    Finalize();
    return kExitNothingRecorded;
  }
  if (options.audio && getSoundStatus() == QV_SOURCE_READY && !r.soundCaptured) {
    say("qvrec: no sound was captured (the sound device did not start)");
  }

  finishFiles(options, runner, status);
  int code = kExitOk;
  bool wavOk = true;
  if (r.cutShort) {
    std::fprintf(stderr,
                 "qvrec: %s; %s and %s hold the recording up to that point (qvf verify tells "
                 "where it ends, qvf repair tidies the end)\n",
                 statusReason(QV_STATUS_WRITE_FAILED), options.qvfPath.c_str(),
                 options.audio ? options.wavPath.c_str() : "(no WAV)");
    code = kExitStoppedByWriteFailure;
  } else if (!r.streamed) {
    const bool ok = rescueFiles(options, runner);
    wavOk =
        !options.audio || (r.wavResult != QV_WAV_CANNOT_OPEN && r.wavResult != QV_WAV_WRITE_FAILED);
    code = ok ? kExitOk : kExitWriteFailed;
  }
  // Complete files of a recording shorter than asked: never plain success.
  if (code == kExitOk && r.sourceLost()) code = kExitSourceLost;
  if (code == kExitOk && r.stopCause == qvtools::StopCause::kDiskFloor) code = kExitDiskFloor;
  if (options.events && !r.eventsWritten) {
    std::fprintf(stderr, "qvrec: the events file %s could not be written\n",
                 qvtools::eventsPathFor(options.qvfPath).c_str());
  }
  RecordingStats stats{};
  getRecordingStats(&stats);
  Finalize();
  printSummary(options, used, r, wavOk, stats);
  if (r.streamed) {
    const double pool = static_cast<double>(poolBytes(used));
    std::printf("backlog    at most %s (%.1f%% of the %s pool)\n",
                qvtools::formatBytes(static_cast<uint64_t>(peakFill * pool)).c_str(),
                peakFill * 100.0, qvtools::formatBytes(static_cast<uint64_t>(pool)).c_str());
  }
  return code;
}

}  // namespace

int record(const RecordOptions& options) {
  installStopHandler();
  const int code = recordAndWrite(options);
#ifdef _WIN32
  // A console being closed waits for this before the process ends.
  std::fflush(stdout);
  std::fflush(stderr);
  SetEvent(g_filesComplete);
#endif
  return code;
}

}  // namespace qvrec
