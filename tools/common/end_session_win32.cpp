#include <thread>

#include "end_session.h"

namespace qvtools {
namespace {

struct Watch {
  std::function<void()> requestStop;
  HANDLE filesComplete = nullptr;
};

Watch* g_watch = nullptr;

bool filesAreComplete() { return WaitForSingleObject(g_watch->filesComplete, 0) == WAIT_OBJECT_0; }

LRESULT CALLBACK endSessionProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_QUERYENDSESSION:
      // The end is not refused: the recording stops now and its files are finished while the
      // system waits, with the reason shown on its "programs are still running" screen.
      if (!filesAreComplete()) {
        ShutdownBlockReasonCreate(window, kEndSessionReason);
        g_watch->requestStop();
      }
      return TRUE;
    case WM_ENDSESSION:
      // After this returns the process may end at any moment.
      if (wParam != FALSE) WaitForSingleObject(g_watch->filesComplete, INFINITE);
      ShutdownBlockReasonDestroy(window);
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

}  // namespace

bool watchEndOfSession(std::function<void()> requestStop, HANDLE filesComplete) {
  if (g_watch != nullptr || filesComplete == nullptr) return g_watch != nullptr;
  // Lives as long as the process: the thread is never joined.
  g_watch = new Watch{std::move(requestStop), filesComplete};
  HANDLE created = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (created == nullptr) return false;
  bool made = false;
  std::thread([created, &made] {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = endSessionProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kEndSessionWindowClass;
    RegisterClassW(&windowClass);
    // A top-level window (not message-only): only those are told that the session ends.
    HWND window = CreateWindowExW(0, kEndSessionWindowClass, L"Quorvane recording", WS_POPUP, 0, 0,
                                  0, 0, nullptr, nullptr, windowClass.hInstance, nullptr);
    made = window != nullptr;
    SetEvent(created);
    if (window == nullptr) return;
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
  }).detach();
  WaitForSingleObject(created, INFINITE);
  CloseHandle(created);
  return made;
}

}  // namespace qvtools
