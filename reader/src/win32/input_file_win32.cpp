#include <windows.h>

#include <cwchar>
#include <string>

#include "input_file.h"

namespace qv_reader {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Names of MAX_PATH characters and more open only in the \\?\ form, which takes a full path
// with backslashes and no "." or ".." (GetFullPathNameW makes one). Shorter names are passed
// as given, so relative names and the system's own rules for them keep working.
std::wstring longPathForm(const wchar_t* path) {
  const size_t length = std::wcslen(path);
  if (length < MAX_PATH - 12 || std::wcsncmp(path, L"\\\\?\\", 4) == 0 ||
      std::wcsncmp(path, L"\\\\.\\", 4) == 0) {
    return path;
  }
  const DWORD needed = GetFullPathNameW(path, 0, nullptr, nullptr);
  if (needed == 0) return path;
  std::wstring full(needed, L'\0');
  const DWORD got = GetFullPathNameW(path, needed, &full[0], nullptr);
  if (got == 0 || got >= needed) return path;
  full.resize(got);
  if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

}  // namespace

bool InputFile::open(const char* path) {
  close();
  // The editor's narrow path is in the system code page (CP932 on Japanese systems): the
  // A function converts it the same way the editor made it.
  // Share everything: the editor may open the same file twice, and a recording may still be
  // looked at by other tools.
  HANDLE h = CreateFileA(path, GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  handle_ = h;
  return true;
}

bool InputFile::open(const WideChar* path) {
  close();
  const std::wstring name = longPathForm(path);
  HANDLE h = CreateFileW(name.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  handle_ = h;
  return true;
}

bool InputFile::reopen(const InputFile& other) {
  close();
  if (!other.handle_) return false;
  // A handle of its own: reads on one synchronous handle are carried out one after another.
  // Looked up at run time, so the 32-bit plug-in keeps loading on systems older than the call.
  using ReOpen = HANDLE(WINAPI*)(HANDLE, DWORD, DWORD, DWORD);
  static const auto reOpenFile = reinterpret_cast<ReOpen>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "ReOpenFile")));
  if (!reOpenFile) return false;
  HANDLE h = reOpenFile(static_cast<HANDLE>(other.handle_), GENERIC_READ, kShareAll, 0);
  if (h == INVALID_HANDLE_VALUE) return false;
  handle_ = h;
  return true;
}

void InputFile::close() {
  if (handle_) {
    CloseHandle(static_cast<HANDLE>(handle_));
    handle_ = nullptr;
  }
}

bool InputFile::isOpen() const { return handle_ != nullptr; }

bool InputFile::identify(FileIdentity* out) const {
  BY_HANDLE_FILE_INFORMATION info;
  if (!handle_ || !GetFileInformationByHandle(static_cast<HANDLE>(handle_), &info)) return false;
  out->device = info.dwVolumeSerialNumber;
  out->file = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  out->size = (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  out->modified =
      (uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) | info.ftLastWriteTime.dwLowDateTime;
  return true;
}

size_t InputFile::readAt(uint64_t offset, void* buffer, size_t size) const {
  if (!handle_) return 0;
  auto* out = static_cast<unsigned char*>(buffer);
  size_t done = 0;
  while (done < size) {
    const uint64_t at = offset + done;
    if (at > uint64_t{INT64_MAX}) break;
    DWORD chunk = static_cast<DWORD>(size - done > (1u << 30) ? (1u << 30) : size - done);
    // An offset in OVERLAPPED makes ReadFile positional on a synchronous handle.
    OVERLAPPED ov = {};
    ov.Offset = static_cast<DWORD>(at);
    ov.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD got = 0;
    if (!ReadFile(static_cast<HANDLE>(handle_), out + done, chunk, &got, &ov) || got == 0) break;
    done += got;
  }
  return done;
}

}  // namespace qv_reader
