// Global hot keys as written in the settings file: "Ctrl+Alt+F9", "Win+Shift+R", "Pause".
#pragma once

#include <windows.h>

#include <string>

namespace qvapp {

struct HotKey {
  UINT modifiers = 0;  // MOD_CONTROL, MOD_ALT, MOD_SHIFT, MOD_WIN
  UINT key = 0;        // virtual-key code; 0: no hot key
};

// False for text that names no key (unknown names, modifiers alone). Empty text is no hot key.
bool parseHotKey(const std::string& text, HotKey* hotKey);

}  // namespace qvapp
