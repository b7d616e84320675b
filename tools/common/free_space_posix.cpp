// Free space on POSIX systems.
#include <sys/statvfs.h>

#include "console.h"
#include "disk_watch.h"

namespace qvtools {

int64_t freeDiskBytes(const std::string& path) {
  const std::string where = isDirectory(path) ? path : parentDirectory(path);
  struct statvfs fs {};
  if (statvfs(where.c_str(), &fs) != 0) return -1;
  // f_bavail: what an unprivileged writer may still use (the reserve for root left out).
  return static_cast<int64_t>(fs.f_bavail) * static_cast<int64_t>(fs.f_frsize);
}

}  // namespace qvtools
