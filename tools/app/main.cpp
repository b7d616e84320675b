// Quorvane.exe: records a window (or the whole screen) with its sound through the capture
// library, for people who click rather than type. The window and every library call are in
// main_window.cpp and session.cpp; this starts them.
#include <windows.h>
// After windows.h, whose types they use.
#include <commctrl.h>
#include <objbase.h>

#include "main_window.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
  // The folder picker is a COM object of the shell, which wants a single-threaded apartment.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  INITCOMMONCONTROLSEX controls{sizeof(controls),
                                ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  HWND window = qvapp::createMainWindow(instance, show);
  if (window == nullptr) {
    MessageBoxW(nullptr, L"The main window could not be created.", L"Quorvane", MB_ICONERROR);
    return 1;
  }
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    // The dialog manager gives the window its keyboard: Tab, mnemonics, Enter.
    if (IsDialogMessageW(window, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  if (SUCCEEDED(com)) CoUninitialize();
  return static_cast<int>(message.wParam);
}
