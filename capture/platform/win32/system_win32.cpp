// Win32 side of the platform layer: mutexes, the clock, timers, affinity and composition.
#include <windows.h>

#include <ctime>
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

// The C run-time clock counts milliseconds of wall time since the process started here.
double clockMilliseconds() { return static_cast<double>(clock()) * 1000.0 / CLOCKS_PER_SEC; }

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
