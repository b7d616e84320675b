// POSIX side of the platform layer: mutexes, the clock, sleeping and processor affinity.
#include <dirent.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "platform.h"

namespace quorvane_capture {
namespace platform {
namespace {
const std::chrono::steady_clock::time_point loadTime = std::chrono::steady_clock::now();
}

Mutex createMutex() { return new (std::nothrow) std::mutex(); }

void lockMutex(Mutex mutex) {
  if (mutex != nullptr) static_cast<std::mutex*>(mutex)->lock();
}

void unlockMutex(Mutex mutex) {
  if (mutex != nullptr) static_cast<std::mutex*>(mutex)->unlock();
}

void closeMutex(Mutex& mutex) {
  delete static_cast<std::mutex*>(mutex);
  mutex = nullptr;
}

namespace {
struct SignalState {
  std::mutex mutex;
  std::condition_variable changed;
  uint64_t count = 0;
};
}  // namespace

Signal createSignal() { return new (std::nothrow) SignalState(); }

uint64_t signalCount(Signal signal) {
  if (signal == nullptr) return 0;
  auto* s = static_cast<SignalState*>(signal);
  std::lock_guard<std::mutex> lock(s->mutex);
  return s->count;
}

void notifySignal(Signal signal) {
  if (signal == nullptr) return;
  auto* s = static_cast<SignalState*>(signal);
  {
    std::lock_guard<std::mutex> lock(s->mutex);
    ++s->count;
  }
  s->changed.notify_all();
}

void waitSignal(Signal signal, uint64_t seen, uint32_t timeoutMilliseconds) {
  if (signal == nullptr) {
    sleepMilliseconds(timeoutMilliseconds);
    return;
  }
  auto* s = static_cast<SignalState*>(signal);
  std::unique_lock<std::mutex> lock(s->mutex);
  s->changed.wait_for(lock, std::chrono::milliseconds(timeoutMilliseconds),
                      [s, seen] { return s->count != seen; });
}

void closeSignal(Signal& signal) {
  delete static_cast<SignalState*>(signal);
  signal = nullptr;
}

void setCurrentThreadPriority(ThreadPriority priority) {
  // Linux keeps a nice value per thread; the process's own (its first thread's) is the normal.
  const int normal = getpriority(PRIO_PROCESS, static_cast<id_t>(getpid()));
  const int wanted = priority == ThreadPriority::kPaced ? normal - 5 : normal;
  setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), wanted);
}

double clockMilliseconds() {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - loadTime)
      .count();
}

void sleepMilliseconds(uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void timeBeginPeriod(uint32_t) {}
void timeEndPeriod(uint32_t) {}

bool getProcessAffinityMask(uint64_t* processMask, uint64_t* systemMask) {
  uint64_t online = 0;
  const long count = sysconf(_SC_NPROCESSORS_CONF);
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) != 0) return false;
  uint64_t process = 0;
  for (int cpu = 0; cpu < 64 && cpu < count; ++cpu) {
    // A processor is online when the system lets any thread be placed on it; sysfs tells.
    const std::string path = "/sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/online";
    bool isOnline = true;
    if (FILE* file = fopen(path.c_str(), "r")) {
      isOnline = fgetc(file) == '1';
      fclose(file);
    }
    if (isOnline) online |= uint64_t{1} << cpu;
    if (CPU_ISSET(cpu, &set)) process |= uint64_t{1} << cpu;
  }
  if (processMask != nullptr) *processMask = process;
  if (systemMask != nullptr) *systemMask = online;
  return true;
}

void setProcessAffinityMask(uint64_t mask) {
  cpu_set_t set;
  CPU_ZERO(&set);
  for (int cpu = 0; cpu < 64; ++cpu) {
    if (mask & (uint64_t{1} << cpu)) CPU_SET(cpu, &set);
  }
  // Every thread of the process, like the Windows call: the threads the host starts later
  // inherit the calling thread's mask, the ones already running are moved one by one.
  sched_setaffinity(0, sizeof(set), &set);
  if (DIR* tasks = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(tasks)) {
      const pid_t tid = static_cast<pid_t>(atoi(entry->d_name));
      if (tid > 0) sched_setaffinity(tid, sizeof(set), &set);
    }
    closedir(tasks);
  }
}

void disableComposition() {}

}  // namespace platform
}  // namespace quorvane_capture
