// The program's one window: choose a window and the settings, record, stop, see the files.
#pragma once

#include <windows.h>

namespace qvapp {

// Creates and shows the main window; null when it cannot be created.
HWND createMainWindow(HINSTANCE instance, int show);

}  // namespace qvapp
