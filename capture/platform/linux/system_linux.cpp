// POSIX side of the platform layer: mutexes, the clock, sleeping and processor affinity.
#include <dirent.h>
#include <sched.h>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <new>
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
