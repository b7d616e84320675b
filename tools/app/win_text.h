// Text at the program's edges: the window works in UTF-16, the settings file in UTF-8, and the
// capture library in the system's ANSI code page (window titles, program names, file paths).
#pragma once

#include <windows.h>

#include <string>

namespace qvapp {

std::wstring fromAnsi(const std::string& text);
std::wstring fromUtf8(const std::string& text);
std::string toUtf8(const std::wstring& text);

// The text in the given code page (GetACP() for the library's narrow strings); false when some
// character has no exact equivalent there. Code page 65001 (UTF-8 as the ANSI code page) holds
// every character.
bool toCodePageExactly(UINT codePage, const std::wstring& text, std::string* out);

// The path in the ANSI code page, for the library's narrow-path functions. A path with
// characters the code page lacks is tried through the short (8.3) name of its folder, which
// exists and is plain ASCII where the file system keeps short names; false when neither works.
bool ansiPath(const std::wstring& folder, const std::wstring& fileName, std::string* path);

// The file name with every character the ANSI code page lacks replaced by '_', so that the
// library can open it.
std::wstring ansiSafeFileName(const std::wstring& name);

// The system's message for an error code, without the closing full stop and line break.
std::wstring systemErrorText(DWORD error);

// Window text of a control or window.
std::wstring windowText(HWND window);

}  // namespace qvapp
