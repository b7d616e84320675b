// Win32 side of the platform layer: mutexes, the clock, timers, affinity and composition.
#include <windows.h>

#include <ctime>

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
