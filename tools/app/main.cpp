// Quorvane.exe: records a window (or the whole screen) with its sound through the capture
// library, for people who click rather than type. The window and every library call are in
// main_window.cpp and session.cpp; this starts them.
#include <windows.h>
// After windows.h, whose types they use.
#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>

#include <cwchar>

#include "main_window.h"
#include "qv_version.h"
#include "resource.h"
#include "ui_text.h"

namespace {

// `Quorvane.exe --version` answers scripts and installers on the console it was started from
// (a program without a console gets no standard output of its own), else in a message box.
bool answeredVersion() {
  int count = 0;
  LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count);
  bool asked = false;
  for (int i = 1; args != nullptr && i < count; ++i) {
    if (std::wcscmp(args[i], L"--version") == 0) asked = true;
  }
  LocalFree(args);
  if (!asked) return false;
  const char text[] = "Quorvane " QV_VERSION "\n";
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) {
    if (AttachConsole(ATTACH_PARENT_PROCESS)) out = GetStdHandle(STD_OUTPUT_HANDLE);
  }
  DWORD written = 0;
  if (out == nullptr || out == INVALID_HANDLE_VALUE ||
      !WriteFile(out, text, sizeof(text) - 1, &written, nullptr)) {
    MessageBoxW(nullptr, L"Quorvane " QV_WIDEN(QV_VERSION), L"Quorvane", MB_ICONINFORMATION);
  }
  return true;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
  if (answeredVersion()) return 0;
  // The folder picker is a COM object of the shell, which wants a single-threaded apartment.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  INITCOMMONCONTROLSEX controls{sizeof(controls),
                                ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  HWND window = qvapp::createMainWindow(instance, show);
  if (window == nullptr) {
    MessageBoxW(nullptr, qvapp::tr(IDS_NO_MAIN_WINDOW).c_str(), L"Quorvane", MB_ICONERROR);
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
