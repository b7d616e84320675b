#include <windows.h>

#include "input_file.h"

namespace qv_reader {

bool InputFile::open(const char* path) {
  close();
  // Share everything: the editor may open the same file twice, and a recording may still be
  // looked at by other tools.
  HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
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

size_t InputFile::readAt(uint64_t offset, void* buffer, size_t size) {
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
