// Windows tests: the thread's window messages handled for a while, so that windows it made are
// painted and shown before they are captured.
#ifndef QV_TEST_WIN_MESSAGES_H
#define QV_TEST_WIN_MESSAGES_H

#include <windows.h>

namespace qvtest {

inline void pumpMessages(int milliseconds) {
  const DWORD end = GetTickCount() + milliseconds;
  do {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
    Sleep(5);
  } while (GetTickCount() < end);
}

}  // namespace qvtest

#endif
