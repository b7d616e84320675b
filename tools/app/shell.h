// What the program asks of the Windows shell: known folders, the folder picker, showing files
// in a folder window, and the settings file under the user's application data.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "settings_file.h"

namespace qvapp {

// The user's Videos folder (then Documents, then the profile); empty when none is known.
std::wstring defaultOutputFolder();

// The folder picker, starting at initial; false when the user cancelled.
bool pickFolder(HWND owner, const std::wstring& initial, std::wstring* folder);

// Opens a folder window with the file selected (or the folder itself when file is empty).
void showInFolder(const std::wstring& folder, const std::wstring& file);

// %APPDATA%\Quorvane\Quorvane.ini (the roaming application data folder).
std::wstring settingsPath();

// Reads the settings file; a missing file gives the defaults. *problems lists values that
// could not be used.
qvtools::HostSettings loadSettings(std::vector<std::string>* problems);
// Writes it, creating its folder; false with *error when it cannot be written.
bool saveSettings(const qvtools::HostSettings& settings, std::wstring* error);

bool folderExists(const std::wstring& folder);
// Creates the folder and its missing parents; false with *error when it does not exist after.
bool makeFolder(const std::wstring& folder, std::wstring* error);
bool fileExistsW(const std::wstring& path);
// Size in bytes, or -1 when the file cannot be examined.
int64_t fileSizeW(const std::wstring& path);
// Bytes free for this user on the folder's disk, or -1 when unknown.
int64_t freeBytes(const std::wstring& folder);

}  // namespace qvapp
