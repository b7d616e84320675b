// Real servers for integration tests: an Xvfb display and a PulseAudio daemon, started by the
// test itself and stopped when it ends. Header-only so that every test binary can use it.
//
//   XvfbServer x(1280, 720);          // sets DISPLAY for this process
//   PulseServer pa; pa.playTone(1000); // sets PULSE_SERVER, null sink as default
#ifndef QUORVANE_TEST_SERVERS_H
#define QUORVANE_TEST_SERVERS_H

#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace qvtest {

// How much longer than plain code the instrumented builds may take for the same work.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr double kSlowdown = 4.0;
#else
constexpr double kSlowdown = 1.0;
#endif

inline bool commandSucceeds(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// Starts a program without a shell; returns its pid, or -1.
inline pid_t spawn(const std::vector<std::string>& argv, const std::string& logFile = "/dev/null") {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  FILE* log = fopen(logFile.c_str(), "a");
  if (log != nullptr) {
    dup2(fileno(log), 1);
    dup2(fileno(log), 2);
  }
  setpgid(0, 0);
  execvp(args[0], args.data());
  _exit(127);
}

inline void stopProcess(pid_t& pid) {
  if (pid <= 0) return;
  kill(-pid, SIGTERM);
  kill(pid, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) {
      pid = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(-pid, SIGKILL);
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  pid = -1;
}

inline bool waitFor(const std::string& command, int timeoutMs) {
  for (int waited = 0; waited < timeoutMs; waited += 50) {
    if (commandSucceeds(command)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

inline std::string makeTempDir(const char* prefix) {
  std::string pattern = std::string("/tmp/") + prefix + "XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  const char* dir = mkdtemp(buffer.data());
  return dir ? dir : "";
}

// An Xvfb server on a display number of its own. DISPLAY points at it while it lives.
class XvfbServer {
 public:
  explicit XvfbServer(int width = 1280, int height = 720) {
    previous_ = getenv("DISPLAY") ? getenv("DISPLAY") : "";
    // The server picks a free display number itself and tells it through a pipe, so two test
    // processes never end up on one server.
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0",
                  std::to_string(width) + "x" + std::to_string(height) + "x24", "-nolisten", "tcp",
                  "-ac"});
    close(fds[1]);
    std::string number;
    char c;
    while (read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (number.empty()) {
      stopProcess(pid_);
      return;
    }
    display_ = ":" + number;
    setenv("DISPLAY", display_.c_str(), 1);
  }
  ~XvfbServer() {
    stopProcess(pid_);
    if (previous_.empty()) {
      unsetenv("DISPLAY");
    } else {
      setenv("DISPLAY", previous_.c_str(), 1);
    }
  }
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;
  bool running() const { return pid_ > 0; }
  const std::string& display() const { return display_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
  std::string previous_;
};

// A PulseAudio daemon with a null sink as default sink and its monitor as default source.
// PULSE_SERVER points at it while it lives. playTone() feeds a sine into the sink.
// With a separate capture device, the default source is the monitor of a second null sink
// ("mic_sink"), so that what the output plays and what the capture device hears differ.
class PulseServer {
 public:
  // What the server calls its two sinks; their monitors are "Monitor of" these.
  static constexpr const char* kSinkDescription = "Speakers";
  static constexpr const char* kMicDescription = "Headset";
  // The null sinks run at `rate` (a machine mixing at 48 kHz, say).
  explicit PulseServer(bool separateCaptureDevice = false, int rate = 44100) {
    dir_ = makeTempDir("qv-pulse-");
    const std::string runtime = dir_ + "/run";
    mkdir(runtime.c_str(), 0700);
    mkdir((dir_ + "/home").c_str(), 0700);
    socket_ = runtime + "/native";
    std::ofstream script(dir_ + "/pa.pa");
    script << "load-module module-native-protocol-unix socket=" << socket_ << " auth-anonymous=1\n"
           << "load-module module-null-sink sink_name=test_sink rate=" << rate
           << " channels=2 sink_properties=device.description=" << kSinkDescription << "\n"
           << "set-default-sink test_sink\n";
    if (separateCaptureDevice) {
      script << "load-module module-null-sink sink_name=mic_sink rate=" << rate
             << " channels=2 sink_properties=device.description=" << kMicDescription << "\n"
             << "set-default-source mic_sink.monitor\n";
    } else {
      script << "set-default-source test_sink.monitor\n";
    }
    script.close();
    previousServer_ = getenv("PULSE_SERVER") ? getenv("PULSE_SERVER") : "";
    setenv("PULSE_SERVER", ("unix:" + socket_).c_str(), 1);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    pid_ =
        spawn({"pulseaudio", "-n", "-F", dir_ + "/pa.pa", "--daemonize=no", "--exit-idle-time=-1",
               "--use-pid-file=no", "--log-target=file:" + dir_ + "/pa.log"});
    if (!waitFor("pactl info", 10000)) stopProcess(pid_);
  }
  ~PulseServer() {
    for (pid_t& tone : tonePids_) stopProcess(tone);
    stopProcess(pid_);
    if (previousServer_.empty()) {
      unsetenv("PULSE_SERVER");
    } else {
      setenv("PULSE_SERVER", previousServer_.c_str(), 1);
    }
    commandSucceeds("rm -rf '" + dir_ + "'");
  }
  PulseServer(const PulseServer&) = delete;
  PulseServer& operator=(const PulseServer&) = delete;
  bool running() const { return pid_ > 0; }
  const std::string& directory() const { return dir_; }
  // The server goes away, as when the sound system is restarted under a recording.
  void stop() {
    for (pid_t& tone : tonePids_) stopProcess(tone);
    stopProcess(pid_);
  }

  // Plays a sine of the given frequency into the null sink until the server stops. The idle
  // null sink first delivers in 2 s blocks, so this waits until the stream has settled.
  void playTone(int frequency, double settleSeconds = 2.5, const std::string& sink = "") {
    tonePids_.push_back(
        spawn({"sh", "-c",
               "sox -q -n -t raw -r 44100 -c 2 -b 16 -e signed-integer - synth 3600 sine " +
                   std::to_string(frequency) +
                   " vol 0.5 | pacat --raw --format=s16le --rate=44100 --channels=2 "
                   "--latency-msec=250" +
                   (sink.empty() ? "" : " --device=" + sink)}));
    std::this_thread::sleep_for(std::chrono::duration<double>(settleSeconds));
  }

 private:
  pid_t pid_ = -1;
  std::vector<pid_t> tonePids_;
  std::string dir_;
  std::string socket_;
  std::string previousServer_;
};

}  // namespace qvtest

#endif
