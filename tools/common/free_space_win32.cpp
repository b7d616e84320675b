// Free space on Windows.
#include <windows.h>

#include <string>

#include "console.h"
#include "disk_watch.h"

namespace qvtools {

int64_t freeDiskBytes(const std::string& path) {
  const std::string where = isDirectory(path) ? path : parentDirectory(path);
  // The tools hold paths in the ANSI code page, as the library opens them.
  const int length = MultiByteToWideChar(CP_ACP, 0, where.c_str(), -1, nullptr, 0);
  if (length <= 0) return -1;
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, where.c_str(), -1, &wide[0], length);
  // The free bytes the calling user may use (quotas included); GetDiskFreeSpaceExW takes any
  // folder on the volume.
  ULARGE_INTEGER available{};
  if (!GetDiskFreeSpaceExW(wide.c_str(), &available, nullptr, nullptr)) return -1;
  return static_cast<int64_t>(available.QuadPart);
}

}  // namespace qvtools
