// Win32 side of window enumeration for the window list. EnumWindows reports the top-level
// windows top-most first (Z order); the list keeps that order.
#include <windows.h>
// After windows.h, whose types it uses.
#include <psapi.h>

#include "platform.h"

namespace quorvane_capture {
namespace platform {
namespace {

struct EnumContext {
  EnumWindowsCallback callback;
  int64_t value;
};

BOOL CALLBACK enumTrampoline(HWND window, LPARAM parameter) {
  const auto* context = reinterpret_cast<const EnumContext*>(parameter);
  return context->callback(reinterpret_cast<WindowHandle>(window), context->value) ? TRUE : FALSE;
}

HWND toHwnd(WindowHandle window) { return reinterpret_cast<HWND>(window); }

// A text cut short by the buffer may end on the lead byte of a double-byte character.
void dropSplitCharacter(char* text) {
  size_t i = 0;
  while (text[i] != '\0') {
    if (IsDBCSLeadByte(static_cast<BYTE>(text[i]))) {
      if (text[i + 1] == '\0') {
        text[i] = '\0';
        return;
      }
      i += 2;
    } else {
      ++i;
    }
  }
}

}  // namespace

void enumWindows(EnumWindowsCallback callback, int64_t value) {
  EnumContext context{callback, value};
  EnumWindows(enumTrampoline, reinterpret_cast<LPARAM>(&context));
}

uint32_t getWindowExtendedStyle(WindowHandle window) {
  return static_cast<uint32_t>(GetWindowLongPtrA(toHwnd(window), GWL_EXSTYLE));
}

bool isWindowVisible(WindowHandle window) { return IsWindowVisible(toHwnd(window)) != FALSE; }

bool isWindowMinimised(WindowHandle window) {
  return IsWindow(toHwnd(window)) != FALSE && IsIconic(toHwnd(window)) != FALSE;
}

void getWindowTitle(WindowHandle window, char* text, size_t capacity) {
  if (text == nullptr || capacity == 0) return;
  text[0] = '\0';
  const int size = capacity > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(capacity);
  const int length = GetWindowTextA(toHwnd(window), text, size);
  text[length > 0 && length < size ? length : (length > 0 ? size - 1 : 0)] = '\0';
  dropSplitCharacter(text);
}

void getWindowProcessName(WindowHandle window, char* text, size_t capacity) {
  if (text == nullptr || capacity == 0) return;
  text[0] = '\0';
  DWORD processId = 0;
  GetWindowThreadProcessId(toHwnd(window), &processId);
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId);
  if (process == nullptr) return;
  const DWORD size = capacity > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(capacity);
  const DWORD length = GetModuleBaseNameA(process, nullptr, text, size);
  text[length < size ? length : size - 1] = '\0';
  dropSplitCharacter(text);
  CloseHandle(process);
}

}  // namespace platform
}  // namespace quorvane_capture
