// A thread procedure of the capture library on a thread of the host's, with its result and
// whether it has returned.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

namespace qvtools {

class Worker {
 public:
  using Procedure = uint64_t (*)(void*);
  Worker(Procedure procedure, void* parameter) {
    thread_ = std::thread([this, procedure, parameter] {
      result_ = procedure(parameter);
      done_ = true;
    });
  }
  ~Worker() {
    if (thread_.joinable()) thread_.join();
  }
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;
  bool done() const { return done_; }
  uint64_t join() {
    if (thread_.joinable()) thread_.join();
    return result_;
  }

 private:
  std::thread thread_;
  std::atomic<bool> done_{false};
  uint64_t result_ = 0;
};

}  // namespace qvtools
