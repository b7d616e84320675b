// A full disk on demand: while a FileSizeLimit lives, no file of this process grows beyond the
// given size (writes past it fail as they would on a full disk) instead of the process being
// ended by the signal such a write raises.
#ifndef QUORVANE_TEST_FILE_LIMIT_H
#define QUORVANE_TEST_FILE_LIMIT_H

#ifndef _WIN32
#include <sys/resource.h>

#include <csignal>
#include <cstdint>

namespace qvtest {

class FileSizeLimit {
 public:
  explicit FileSizeLimit(uint64_t bytes) {
    previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &previous_);
    rlimit limit = previous_;
    limit.rlim_cur = static_cast<rlim_t>(bytes);
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &previous_);
    std::signal(SIGXFSZ, previousHandler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit previous_{};
  void (*previousHandler_)(int) = nullptr;
};

}  // namespace qvtest

#endif
#endif
