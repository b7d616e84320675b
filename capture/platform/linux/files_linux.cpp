// POSIX files and the machine's memory size.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "files.h"

namespace quorvane_capture {
namespace platform {

OutputFile::OutputFile() : handle_(-1), end_(0) {}

OutputFile::~OutputFile() { close(); }

bool OutputFile::create(const char* path) {
  close();
  if (path == nullptr || path[0] == '\0') return false;
  handle_ = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  end_ = 0;
  return handle_ >= 0;
}

bool OutputFile::isOpen() const { return handle_ >= 0; }

namespace {

bool writeAll(int fd, const uint8_t* p, size_t size, uint64_t offset) {
  while (size > 0) {
    const ssize_t n = ::pwrite(fd, p, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

}  // namespace

bool OutputFile::write(const void* data, size_t size) {
  if (handle_ < 0) return false;
  const bool written =
      writeAll(static_cast<int>(handle_), static_cast<const uint8_t*>(data), size, end_);
  // Whatever reached the file stays counted, so a later patch never lands beyond it.
  if (written) end_ += size;
  return written;
}

bool OutputFile::writeAt(uint64_t offset, const void* data, size_t size) {
  if (handle_ < 0 || offset + size > end_) return false;
  return writeAll(static_cast<int>(handle_), static_cast<const uint8_t*>(data), size, offset);
}

bool OutputFile::sync() { return handle_ >= 0 && ::fdatasync(static_cast<int>(handle_)) == 0; }

bool OutputFile::close() {
  if (handle_ < 0) return false;
  const bool closed = ::close(static_cast<int>(handle_)) == 0;
  handle_ = -1;
  return closed;
}

bool replaceableByRename(const char* path) {
  struct stat status {};
  if (::stat(path, &status) != 0) return errno == ENOENT;
  return S_ISREG(status.st_mode);
}

bool renameFile(const char* from, const char* to) {
  if (std::rename(from, to) != 0) return false;
  // The new name is an entry of the directory: until the directory reaches the disk, a crash
  // can leave the old name (or none). Some file systems refuse to sync a directory; the rename
  // itself has still happened.
  const std::string path(to);
  const size_t slash = path.find_last_of('/');
  const std::string folder =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const int directory = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory >= 0) {
    ::fsync(directory);
    ::close(directory);
  }
  return true;
}

bool removeFile(const char* path) { return ::unlink(path) == 0; }

uint64_t physicalMemoryBytes() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long pageSize = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || pageSize <= 0) return 0;
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize);
}

}  // namespace platform
}  // namespace quorvane_capture
