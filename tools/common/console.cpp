#include "console.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cmath>
#include <cstring>

#ifdef _WIN32
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>
#endif

namespace qvtools {

std::string formatBytes(uint64_t bytes) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes);
  int unit = -1;
  while (value >= 1024.0 && unit < 3) {
    value /= 1024.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof(text),
                value < 10    ? "%.2f %s"
                : value < 100 ? "%.1f %s"
                              : "%.0f %s",
                value, kUnits[unit]);
  return text;
}

std::string formatClock(double seconds) {
  if (!(seconds >= 0)) seconds = 0;
  const int64_t tenths = static_cast<int64_t>(std::floor(seconds * 10.0 + 0.5));
  char text[40];
  std::snprintf(text, sizeof(text), "%02lld:%02lld:%02lld.%lld",
                static_cast<long long>(tenths / 36000), static_cast<long long>(tenths / 600 % 60),
                static_cast<long long>(tenths / 10 % 60), static_cast<long long>(tenths % 10));
  return text;
}

std::string progressBar(double fraction, int width) {
  if (!(fraction >= 0)) fraction = 0;
  if (fraction > 1) fraction = 1;
  const int filled = static_cast<int>(fraction * width + 0.5);
  return "[" + std::string(filled, '#') + std::string(width - filled, '-') + "]";
}

bool isTerminal(FILE* stream) {
#ifdef _WIN32
  return _isatty(_fileno(stream)) != 0;
#else
  return isatty(fileno(stream)) != 0;
#endif
}

std::string executableDirectory() {
#ifdef _WIN32
  char buffer[MAX_PATH * 4];
  const DWORD n = GetModuleFileNameA(nullptr, buffer, sizeof(buffer));
  if (n == 0 || n >= sizeof(buffer)) return "";
  std::string path(buffer, n);
#else
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  if (n <= 0) return "";
  std::string path(buffer, static_cast<size_t>(n));
#endif
  return parentDirectory(path);
}

std::string parentDirectory(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  if (slash == std::string::npos) return ".";
  if (slash == 0) return path.substr(0, 1);
  return path.substr(0, slash);
}

bool isDirectory(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool fileExists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

int64_t fileSize(const std::string& path) {
#ifdef _WIN32
  struct _stat64 st {};
  if (_stat64(path.c_str(), &st) != 0) return -1;
#else
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return -1;
#endif
  return static_cast<int64_t>(st.st_size);
}

bool makeDirectories(const std::string& path) {
  if (path.empty() || isDirectory(path)) return true;
  const std::string parent = parentDirectory(path);
  if (parent != path && parent != "." && !makeDirectories(parent)) return false;
#ifdef _WIN32
  const int rc = _mkdir(path.c_str());
#else
  const int rc = mkdir(path.c_str(), 0777);
#endif
  return rc == 0 || isDirectory(path);
}

std::string lastErrorText() { return std::strerror(errno); }

bool canCreateFile(const std::string& path, std::string* reason) {
  if (path.empty()) {
    *reason = "empty file name";
    return false;
  }
  if (isDirectory(path)) {
    *reason = "is a directory";
    return false;
  }
  const std::string dir = parentDirectory(path);
  if (!isDirectory(dir)) {
    *reason = "directory " + dir + " does not exist";
    return false;
  }
  if (fileExists(path)) {
    // Opening for append tells whether it may be replaced, and changes nothing.
    FILE* f = std::fopen(path.c_str(), "ab");
    if (f == nullptr) {
      *reason = lastErrorText();
      return false;
    }
    std::fclose(f);
    return true;
  }
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) {
    *reason = lastErrorText();
    return false;
  }
  std::fclose(f);
  std::remove(path.c_str());
  return true;
}

void setBinaryMode(FILE* stream) {
#ifdef _WIN32
  _setmode(_fileno(stream), _O_BINARY);
#else
  (void)stream;
#endif
}

int seek64(FILE* file, int64_t offset, int whence) {
#ifdef _WIN32
  return _fseeki64(file, offset, whence);
#else
  return fseeko(file, static_cast<off_t>(offset), whence);
#endif
}

int64_t tell64(FILE* file) {
#ifdef _WIN32
  return _ftelli64(file);
#else
  return static_cast<int64_t>(ftello(file));
#endif
}

}  // namespace qvtools
