// A read-only file read at absolute 64-bit offsets.
//
// Reads never depend on a shared file position, so one open file serves interleaved video and
// audio requests, and 32-bit builds reach past 4 GiB.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qv_reader {

class InputFile {
 public:
  InputFile() = default;
  ~InputFile() { close(); }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Opens path (the system's narrow character set) for reading, sharing it with writers.
  bool open(const char* path);
  // Idempotent.
  void close();
  bool isOpen() const;

  // Reads up to size bytes at offset into buffer; returns how many arrived (fewer only at the
  // end of the file or on a read error).
  size_t readAt(uint64_t offset, void* buffer, size_t size);

 private:
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
#endif
};

}  // namespace qv_reader
