// Win32 files and the machine's memory size. Every write names its offset, so patching the
// header never moves the place where the next record goes.
#include <windows.h>

#include "files.h"

namespace quorvane_capture {
namespace platform {

namespace {

HANDLE asHandle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }
const intptr_t kClosed = reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE);

bool writeAll(HANDLE file, const uint8_t* p, size_t size, uint64_t offset) {
  while (size > 0) {
    const DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD written = 0;
    if (!WriteFile(file, p, chunk, &written, &at) || written == 0) return false;
    p += written;
    size -= written;
    offset += written;
  }
  return true;
}

}  // namespace

OutputFile::OutputFile() : handle_(kClosed), end_(0) {}

OutputFile::~OutputFile() { close(); }

bool OutputFile::create(const char* path) {
  close();
  if (path == nullptr || path[0] == '\0') return false;
  HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  handle_ = reinterpret_cast<intptr_t>(file);
  end_ = 0;
  return file != INVALID_HANDLE_VALUE;
}

bool OutputFile::isOpen() const { return handle_ != kClosed; }

bool OutputFile::write(const void* data, size_t size) {
  if (!isOpen()) return false;
  const bool written = writeAll(asHandle(handle_), static_cast<const uint8_t*>(data), size, end_);
  if (written) end_ += size;
  return written;
}

bool OutputFile::writeAt(uint64_t offset, const void* data, size_t size) {
  if (!isOpen() || offset + size > end_) return false;
  return writeAll(asHandle(handle_), static_cast<const uint8_t*>(data), size, offset);
}

bool OutputFile::sync() { return isOpen() && FlushFileBuffers(asHandle(handle_)) != 0; }

bool OutputFile::close() {
  if (!isOpen()) return false;
  const bool closed = CloseHandle(asHandle(handle_)) != 0;
  handle_ = kClosed;
  return closed;
}

bool replaceableByRename(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  }
  return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
}

bool renameFile(const char* from, const char* to) {
  return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool removeFile(const char* path) { return DeleteFileA(path) != 0; }

uint64_t physicalMemoryBytes() {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof(status);
  if (!GlobalMemoryStatusEx(&status)) return 0;
  return status.ullTotalPhys;
}

}  // namespace platform
}  // namespace quorvane_capture
