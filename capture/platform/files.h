// Files the core writes (the container, the WAV file) and the machine's memory size. The core
// keeps its own buffering; these calls hand bytes straight to the operating system.
#ifndef QUORVANE_PLATFORM_FILES_H
#define QUORVANE_PLATFORM_FILES_H

#include <cstddef>
#include <cstdint>

namespace quorvane_capture {
namespace platform {

// A file written front to back, whose bytes already written may be patched in place.
// Paths are narrow strings: UTF-8 on Linux, the ANSI code page on Windows.
class OutputFile {
 public:
  OutputFile();
  ~OutputFile();  // closes
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates the file, or empties an existing one. False when it cannot be created.
  bool create(const char* path);
  bool isOpen() const;
  // Appends all `size` bytes; false when not all of them reached the system (disk full...).
  bool write(const void* data, size_t size);
  // Overwrites bytes already written; the next write() still appends at the end.
  bool writeAt(uint64_t offset, const void* data, size_t size);
  // Asks the system to put what it holds for this file on the disk.
  bool sync();
  // False when the file was not open or the system reported an error while closing.
  bool close();

 private:
  intptr_t handle_;
  uint64_t end_;
};

// True when nothing exists at the path or it is an ordinary file: a file written elsewhere
// may then take its place by a rename. Devices and pipes are written in place.
bool replaceableByRename(const char* path);
// Gives `from` the name `to`, replacing a file of that name; both in the same directory.
bool renameFile(const char* from, const char* to);
bool removeFile(const char* path);

// The machine's physical memory in bytes; 0 when the system does not say.
uint64_t physicalMemoryBytes();

}  // namespace platform
}  // namespace quorvane_capture

#endif
