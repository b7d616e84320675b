#include "shell.h"

#include <knownfolders.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <cstdio>

#include "resource.h"
#include "ui_text.h"
#include "win_text.h"

namespace qvapp {

namespace {

std::wstring knownFolder(REFKNOWNFOLDERID id) {
  wchar_t* path = nullptr;
  std::wstring result;
  if (SUCCEEDED(SHGetKnownFolderPath(id, KF_FLAG_DEFAULT, nullptr, &path)) && path != nullptr) {
    result = path;
  }
  CoTaskMemFree(path);
  return result;
}

// Releases a COM interface when it goes out of scope.
template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() {
    if (p_ != nullptr) p_->Release();
  }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  T** out() { return &p_; }
  T* operator->() const { return p_; }
  T* get() const { return p_; }

 private:
  T* p_ = nullptr;
};

}  // namespace

std::wstring defaultOutputFolder() {
  for (REFKNOWNFOLDERID id : {FOLDERID_Videos, FOLDERID_Documents, FOLDERID_Profile}) {
    const std::wstring folder = knownFolder(id);
    if (!folder.empty() && folderExists(folder)) return folder;
  }
  return L"";
}

bool pickFolder(HWND owner, const std::wstring& initial, std::wstring* folder) {
  ComPtr<IFileOpenDialog> dialog;
  if (FAILED(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER,
                              IID_IFileOpenDialog, reinterpret_cast<void**>(dialog.out())))) {
    return false;
  }
  DWORD options = 0;
  dialog->GetOptions(&options);
  dialog->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM | FOS_PATHMUSTEXIST);
  dialog->SetTitle(tr(IDS_FOLDER_DIALOG_TITLE).c_str());
  if (!initial.empty()) {
    ComPtr<IShellItem> start;
    if (SUCCEEDED(SHCreateItemFromParsingName(initial.c_str(), nullptr, IID_IShellItem,
                                              reinterpret_cast<void**>(start.out())))) {
      dialog->SetFolder(start.get());
    }
  }
  if (dialog->Show(owner) != S_OK) return false;
  ComPtr<IShellItem> item;
  if (FAILED(dialog->GetResult(item.out()))) return false;
  wchar_t* path = nullptr;
  if (FAILED(item->GetDisplayName(SIGDN_FILESYSPATH, &path)) || path == nullptr) return false;
  *folder = path;
  CoTaskMemFree(path);
  return true;
}

void showInFolder(const std::wstring& folder, const std::wstring& file) {
  if (file.empty()) {
    ShellExecuteW(nullptr, L"open", folder.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    return;
  }
  const std::wstring arguments = L"/select,\"" + file + L"\"";
  ShellExecuteW(nullptr, L"open", L"explorer.exe", arguments.c_str(), nullptr, SW_SHOWNORMAL);
}

std::wstring settingsPath() {
  const std::wstring appData = knownFolder(FOLDERID_RoamingAppData);
  if (appData.empty()) return L"";
  return appData + L"\\Quorvane\\Quorvane.ini";
}

qvtools::HostSettings loadSettings(std::vector<std::string>* problems) {
  const std::wstring path = settingsPath();
  std::string text;
  if (FILE* file = path.empty() ? nullptr : _wfopen(path.c_str(), L"rb")) {
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), file)) > 0) text.append(buffer, n);
    std::fclose(file);
  }
  qvtools::HostSettings settings = qvtools::settingsFromIni(text, problems);
  if (settings.folder.empty()) settings.folder = toUtf8(defaultOutputFolder());
  return settings;
}

namespace {

// The settings file documents itself in the program's language.
qvtools::IniComments iniComments() {
  qvtools::IniComments c;
  const std::pair<std::string*, UINT> texts[] = {
      {&c.header, IDS_INI_HEADER},
      {&c.window, IDS_INI_WINDOW},
      {&c.frameRate, IDS_INI_FRAME_RATE},
      {&c.outputHeight, IDS_INI_OUTPUT_HEIGHT},
      {&c.colour, IDS_INI_COLOUR},
      {&c.area, IDS_INI_AREA},
      {&c.memory, IDS_INI_MEMORY},
      {&c.sound, IDS_INI_SOUND},
      {&c.habits, IDS_INI_HABITS},
      {&c.minFree, IDS_INI_MIN_FREE},
      {&c.writeWhileRecording, IDS_INI_WRITE_WHILE_RECORDING},
      {&c.pattern, IDS_INI_PATTERN},
      {&c.hotKeys, IDS_INI_HOTKEYS},
      {&c.language, IDS_INI_LANGUAGE}};
  for (const auto& [field, id] : texts) *field = toUtf8(tr(id));
  return c;
}

}  // namespace

bool saveSettings(const qvtools::HostSettings& settings, std::wstring* error) {
  const std::wstring path = settingsPath();
  if (path.empty()) {
    *error = tr(IDS_NO_APPDATA);
    return false;
  }
  const std::wstring folder = path.substr(0, path.find_last_of(L'\\'));
  if (!makeFolder(folder, error)) return false;
  // Written beside it and moved over it, so a failed write leaves the old file whole.
  const std::wstring temporary = path + L".new";
  FILE* file = _wfopen(temporary.c_str(), L"wb");
  if (file == nullptr) {
    *error = systemErrorText(GetLastError());
    return false;
  }
  const std::string text = qvtools::settingsToIni(settings, iniComments());
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  if (std::fclose(file) != 0 || !written ||
      !MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    *error = systemErrorText(GetLastError());
    DeleteFileW(temporary.c_str());
    return false;
  }
  return true;
}

bool folderExists(const std::wstring& folder) {
  const DWORD attributes = GetFileAttributesW(folder.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool makeFolder(const std::wstring& folder, std::wstring* error) {
  if (folderExists(folder)) return true;
  const int made = SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
  if (folderExists(folder)) return true;
  *error = systemErrorText(static_cast<DWORD>(made));
  return false;
}

bool fileExistsW(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

int64_t fileSizeW(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
  return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

int64_t freeBytes(const std::wstring& folder) {
  ULARGE_INTEGER available{};
  if (!GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) return -1;
  return static_cast<int64_t>(available.QuadPart);
}

}  // namespace qvapp
