// A read-only file read at absolute 64-bit offsets.
//
// Reads never depend on a shared file position, so one open file serves interleaved video and
// audio requests, and 32-bit builds reach past 4 GiB. Reads may come from several threads at
// once.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qv_reader {

// A UTF-16 code unit as the system's wide interfaces take it.
#ifdef _WIN32
using WideChar = wchar_t;
#else
using WideChar = char16_t;
#endif

// What tells one file, as it stands now, from any other: the same file grown, cut or rewritten
// has another size or time.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t file = 0;
  uint64_t size = 0;
  uint64_t modified = 0;  // the system's own units
  bool operator==(const FileIdentity& o) const {
    return device == o.device && file == o.file && size == o.size && modified == o.modified;
  }
};

class InputFile {
 public:
  InputFile() = default;
  ~InputFile() { close(); }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Opens path (the system's narrow character set) for reading, sharing it with writers.
  bool open(const char* path);
  // The same for a UTF-16 path: any name the system can hold, long paths included. Unpaired
  // surrogates are refused.
  bool open(const WideChar* path);
  // A second, independent handle on the file `other` has open (not on its name, which may
  // have changed since): reads through it never wait for reads through `other`.
  bool reopen(const InputFile& other);
  // Idempotent.
  void close();
  bool isOpen() const;
  // The open file's identity and present size; false when the system cannot say.
  bool identify(FileIdentity* out) const;

  // Reads up to size bytes at offset into buffer; returns how many arrived (fewer only at the
  // end of the file or on a read error).
  size_t readAt(uint64_t offset, void* buffer, size_t size) const;

 private:
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
#endif
};

}  // namespace qv_reader
