// A small helper for the end-to-end tests of Quorvane.exe under Wine:
//
//   qv_app_probe window TITLE WIDTH HEIGHT   a window to record (client area WIDTH x HEIGHT,
//                                             a bar moving across it), until it is closed
//   qv_app_probe text TITLE ID               prints the text of control ID of window TITLE
//   qv_app_probe wait TITLE ID TEXT SECONDS  waits until that text contains TEXT; prints it
//   qv_app_probe controls TITLE              every control: id, enabled, text
//   qv_app_probe close TITLE                 asks window TITLE to close
//   qv_app_probe appdata                     the roaming application data folder
//   qv_app_probe endsession CLASS [TITLE]    tells the window of that class (and title) that
//                                             the session ends, as logging off does; returns
//                                             when it has answered both messages
//
// Texts are read with WM_GETTEXT, which the system carries across processes. Output is UTF-8.
// Exit codes: 0 done, 1 not found or timed out, 2 bad command line.
#include <windows.h>
// After windows.h, whose types they use.
#include <knownfolders.h>
#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string utf8(const std::wstring& text) {
  if (text.empty()) return "";
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr,
                      nullptr);
  return out;
}

std::wstring controlText(HWND control) {
  wchar_t buffer[4096] = L"";
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutW(control, WM_GETTEXT, sizeof(buffer) / sizeof(buffer[0]),
                           reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG, 5000, &copied)) {
    return L"";
  }
  return std::wstring(buffer, copied);
}

HWND topLevel(const wchar_t* title) { return FindWindowW(nullptr, title); }

int runWindow(const wchar_t* title, int width, int height) {
  WNDCLASSW wc{};
  wc.lpfnWndProc = [](HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) -> LRESULT {
    static int step = 0;
    switch (message) {
      case WM_TIMER:
        ++step;
        InvalidateRect(hwnd, nullptr, FALSE);
        return 0;
      case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(hwnd, &paint);
        RECT client;
        GetClientRect(hwnd, &client);
        FillRect(dc, &client, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
        const int width = client.right > 20 ? client.right - 20 : 1;
        RECT bar{step * 7 % width, 0, step * 7 % width + 20, client.bottom};
        HBRUSH brush = CreateSolidBrush(RGB(200, 40, 40));
        FillRect(dc, &bar, brush);
        DeleteObject(brush);
        EndPaint(hwnd, &paint);
        return 0;
      }
      case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
      default:
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
  };
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.lpszClassName = L"QvAppProbeWindow";
  RegisterClassW(&wc);
  RECT frame{0, 0, width, height};
  AdjustWindowRect(&frame, WS_OVERLAPPEDWINDOW, FALSE);
  HWND hwnd =
      CreateWindowW(wc.lpszClassName, title, WS_OVERLAPPEDWINDOW, 40, 40, frame.right - frame.left,
                    frame.bottom - frame.top, nullptr, nullptr, wc.hInstance, nullptr);
  if (hwnd == nullptr) return 1;
  ShowWindow(hwnd, SW_SHOWNOACTIVATE);
  SetTimer(hwnd, 1, 50, nullptr);
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
  return 0;
}

BOOL CALLBACK printControl(HWND control, LPARAM) {
  std::printf("%d\t%s\t%s\n", GetDlgCtrlID(control), IsWindowEnabled(control) ? "on" : "off",
              utf8(controlText(control)).c_str());
  return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring command = argc > 1 ? argv[1] : L"";
  if (command == L"window" && argc == 5) {
    return runWindow(argv[2], _wtoi(argv[3]), _wtoi(argv[4]));
  }
  if (command == L"appdata" && argc == 2) {
    wchar_t* path = nullptr;
    if (FAILED(SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &path))) return 1;
    std::printf("%s\n", utf8(path).c_str());
    CoTaskMemFree(path);
    return 0;
  }
  if (argc < 3) {
    std::fprintf(stderr, "usage: see the head of app_probe.cpp\n");
    return 2;
  }
  if (command == L"endsession" && (argc == 3 || argc == 4)) {
    HWND target = FindWindowW(argv[2], argc == 4 ? argv[3] : nullptr);
    if (target == nullptr) return 1;
    DWORD_PTR mayEnd = FALSE, ignored = 0;
    // The system gives a few seconds per window; a test gives a minute, so that a slow run is
    // not taken for a window that does not wait.
    if (!SendMessageTimeoutW(target, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_NORMAL, 60000,
                             &mayEnd) ||
        !SendMessageTimeoutW(target, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_NORMAL, 60000,
                             &ignored)) {
      return 1;
    }
    std::printf("%s\n", mayEnd ? "may end" : "refused");
    return 0;
  }
  HWND window = topLevel(argv[2]);
  if (command == L"close" && argc == 3) {
    return window != nullptr && PostMessageW(window, WM_CLOSE, 0, 0) ? 0 : 1;
  }
  if (command == L"controls" && argc == 3) {
    if (window == nullptr) return 1;
    EnumChildWindows(window, printControl, 0);
    return 0;
  }
  if (command == L"text" && argc == 4) {
    HWND control = window != nullptr ? GetDlgItem(window, _wtoi(argv[3])) : nullptr;
    if (control == nullptr) return 1;
    std::printf("%s\n", utf8(controlText(control)).c_str());
    return 0;
  }
  if (command == L"wait" && argc == 6) {
    const DWORD deadline = GetTickCount() + static_cast<DWORD>(_wtoi(argv[5])) * 1000;
    std::wstring text;
    do {
      window = topLevel(argv[2]);
      HWND control = window != nullptr ? GetDlgItem(window, _wtoi(argv[3])) : nullptr;
      text = control != nullptr ? controlText(control) : L"";
      if (control != nullptr && text.find(argv[4]) != std::wstring::npos) {
        std::printf("%s\n", utf8(text).c_str());
        return 0;
      }
      Sleep(100);
    } while (static_cast<int>(deadline - GetTickCount()) > 0);
    std::printf("%s\n", utf8(text).c_str());
    return 1;
  }
  std::fprintf(stderr, "usage: see the head of app_probe.cpp\n");
  return 2;
}
