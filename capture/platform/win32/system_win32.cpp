// Win32 side of the platform layer: mutexes, the clock, timers, affinity and composition.
#include <windows.h>

#include <new>

#include "platform.h"

namespace quorvane_capture {
namespace platform {

Mutex createMutex() { return CreateMutexA(nullptr, FALSE, nullptr); }

void lockMutex(Mutex mutex) {
  if (mutex != nullptr) WaitForSingleObject(mutex, INFINITE);
}

void unlockMutex(Mutex mutex) {
  if (mutex != nullptr) ReleaseMutex(mutex);
}

void closeMutex(Mutex& mutex) {
  if (mutex != nullptr) CloseHandle(mutex);
  mutex = nullptr;
}

namespace {
struct SignalState {
  CRITICAL_SECTION lock;
  CONDITION_VARIABLE changed;
  uint64_t count;
};
}  // namespace

Signal createSignal() {
  auto* s = new (std::nothrow) SignalState();
  if (s == nullptr) return nullptr;
  InitializeCriticalSection(&s->lock);
  InitializeConditionVariable(&s->changed);
  s->count = 0;
  return s;
}

uint64_t signalCount(Signal signal) {
  if (signal == nullptr) return 0;
  auto* s = static_cast<SignalState*>(signal);
  EnterCriticalSection(&s->lock);
  const uint64_t count = s->count;
  LeaveCriticalSection(&s->lock);
  return count;
}

void notifySignal(Signal signal) {
  if (signal == nullptr) return;
  auto* s = static_cast<SignalState*>(signal);
  EnterCriticalSection(&s->lock);
  ++s->count;
  LeaveCriticalSection(&s->lock);
  WakeAllConditionVariable(&s->changed);
}

void waitSignal(Signal signal, uint64_t seen, uint32_t timeoutMilliseconds) {
  if (signal == nullptr) {
    Sleep(timeoutMilliseconds);
    return;
  }
  auto* s = static_cast<SignalState*>(signal);
  const ULONGLONG deadline = GetTickCount64() + timeoutMilliseconds;
  EnterCriticalSection(&s->lock);
  // A wake-up may come without a notification: wait again for what is left of the time.
  while (s->count == seen) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) break;
    if (!SleepConditionVariableCS(&s->changed, &s->lock, static_cast<DWORD>(deadline - now)) &&
        GetLastError() == ERROR_TIMEOUT) {
      break;
    }
  }
  LeaveCriticalSection(&s->lock);
}

void closeSignal(Signal& signal) {
  if (signal != nullptr) {
    auto* s = static_cast<SignalState*>(signal);
    DeleteCriticalSection(&s->lock);
    delete s;
  }
  signal = nullptr;
}

void setCurrentThreadPriority(ThreadPriority priority) {
  SetThreadPriority(GetCurrentThread(), priority == ThreadPriority::kPaced
                                            ? THREAD_PRIORITY_ABOVE_NORMAL
                                            : THREAD_PRIORITY_NORMAL);
}

namespace {
// The performance counter runs steadily whatever is done to the system time (the C run-time
// clock() may follow it). Read once when the library is loaded, as the origin of its times.
struct PerformanceClock {
  LARGE_INTEGER origin{};
  double millisecondsPerTick = 0.0;
  PerformanceClock() {
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&origin);
    millisecondsPerTick = 1000.0 / static_cast<double>(frequency.QuadPart);
  }
};
const PerformanceClock performanceClock;
}  // namespace

double clockMilliseconds() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart - performanceClock.origin.QuadPart) *
         performanceClock.millisecondsPerTick;
}

void sleepMilliseconds(uint32_t milliseconds) { Sleep(milliseconds); }

void timeBeginPeriod(uint32_t period) { ::timeBeginPeriod(period); }
void timeEndPeriod(uint32_t period) { ::timeEndPeriod(period); }

bool getProcessAffinityMask(uint64_t* processMask, uint64_t* systemMask) {
  DWORD_PTR process = 0, system = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) return false;
  if (processMask != nullptr) *processMask = process;
  if (systemMask != nullptr) *systemMask = system;
  return true;
}

void setProcessAffinityMask(uint64_t mask) {
  SetProcessAffinityMask(GetCurrentProcess(), static_cast<DWORD_PTR>(mask));
}

void disableComposition() {
  HMODULE dwm = LoadLibraryA("Dwmapi.dll");
  if (dwm == nullptr) return;
  using EnableComposition = HRESULT(WINAPI*)(UINT);
  auto enable = reinterpret_cast<EnableComposition>(
      reinterpret_cast<void*>(GetProcAddress(dwm, "DwmEnableComposition")));
  if (enable != nullptr) enable(0);
  FreeLibrary(dwm);
}

}  // namespace platform
}  // namespace quorvane_capture
