#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <climits>

#include "input_file.h"

static_assert(sizeof(off_t) == 8, "build with 64-bit file offsets (_FILE_OFFSET_BITS=64)");

namespace qv_reader {

bool InputFile::open(const char* path) {
  close();
  do {
    fd_ = ::open(path, O_RDONLY | O_CLOEXEC);
  } while (fd_ < 0 && errno == EINTR);
  return fd_ >= 0;
}

void InputFile::close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

bool InputFile::isOpen() const { return fd_ >= 0; }

size_t InputFile::readAt(uint64_t offset, void* buffer, size_t size) {
  if (fd_ < 0 || offset > uint64_t{INT64_MAX}) return 0;
  auto* out = static_cast<unsigned char*>(buffer);
  size_t done = 0;
  while (done < size) {
    const uint64_t at = offset + done;
    if (at > uint64_t{INT64_MAX}) break;
    size_t chunk = size - done;
    if (chunk > (1u << 30)) chunk = 1u << 30;
    const ssize_t got = ::pread(fd_, out + done, chunk, static_cast<off_t>(at));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
  return done;
}

}  // namespace qv_reader
