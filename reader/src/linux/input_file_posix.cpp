#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "input_file.h"

static_assert(sizeof(off_t) == 8, "build with 64-bit file offsets (_FILE_OFFSET_BITS=64)");

namespace qv_reader {
namespace {

// UTF-16 to the UTF-8 names Linux file systems hold; false for an unpaired surrogate.
bool utf8FromUtf16(const char16_t* in, std::string* out) {
  for (; *in; ++in) {
    uint32_t c = *in;
    if (c >= 0xD800 && c <= 0xDBFF) {
      const uint32_t low = in[1];
      if (low < 0xDC00 || low > 0xDFFF) return false;
      c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
      ++in;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return false;
    }
    if (c < 0x80) {
      out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out->push_back(static_cast<char>(0xC0 | (c >> 6)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | (c >> 12)));
      out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | (c >> 18)));
      out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return true;
}

}  // namespace

bool InputFile::open(const char* path) {
  close();
  do {
    fd_ = ::open(path, O_RDONLY | O_CLOEXEC);
  } while (fd_ < 0 && errno == EINTR);
  return fd_ >= 0;
}

bool InputFile::open(const WideChar* path) {
  close();
  std::string name;
  return utf8FromUtf16(path, &name) && open(name.c_str());
}

bool InputFile::reopen(const InputFile& other) {
  close();
  if (other.fd_ < 0) return false;
  // pread never moves the shared offset, so a duplicate is as independent as a new open.
  fd_ = ::fcntl(other.fd_, F_DUPFD_CLOEXEC, 0);
  return fd_ >= 0;
}

void InputFile::close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

bool InputFile::isOpen() const { return fd_ >= 0; }

bool InputFile::identify(FileIdentity* out) const {
  struct stat st;
  if (fd_ < 0 || ::fstat(fd_, &st) != 0 || st.st_size < 0) return false;
  out->device = static_cast<uint64_t>(st.st_dev);
  out->file = static_cast<uint64_t>(st.st_ino);
  out->size = static_cast<uint64_t>(st.st_size);
  out->modified = static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000u +
                  static_cast<uint64_t>(st.st_mtim.tv_nsec);
  return true;
}

size_t InputFile::readAt(uint64_t offset, void* buffer, size_t size) const {
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
