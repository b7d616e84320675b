#include "dpi_awareness.h"

namespace quorvane_capture {
namespace platform {
namespace {

using SetThreadContext = DPI_AWARENESS_CONTEXT(WINAPI*)(DPI_AWARENESS_CONTEXT);

// Looked up once: older systems lack the export, and a static import would keep the DLL from
// loading there.
SetThreadContext setThreadContext() {
  static const SetThreadContext function = [] {
    HMODULE user32 = GetModuleHandleA("user32.dll");
    if (user32 == nullptr) return static_cast<SetThreadContext>(nullptr);
    return reinterpret_cast<SetThreadContext>(
        reinterpret_cast<void*>(GetProcAddress(user32, "SetThreadDpiAwarenessContext")));
  }();
  return function;
}

}  // namespace

PhysicalPixelsScope::PhysicalPixelsScope() : previous_(nullptr) {
  const SetThreadContext set = setThreadContext();
  if (set == nullptr) return;
  // V2 came with Windows 10 1703 (and Wine may not know it): V1 is the same for what is read here.
  previous_ = set(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
  if (previous_ == nullptr) previous_ = set(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE);
}

PhysicalPixelsScope::~PhysicalPixelsScope() {
  if (previous_ != nullptr) setThreadContext()(previous_);
}

}  // namespace platform
}  // namespace quorvane_capture
