// Helpers for tests that record through the real pipeline: the recording threads started and
// stopped like a host does, and matching of decoded pictures against the pictures a test drew.
#ifndef QUORVANE_TEST_PIPELINE_SUPPORT_H
#define QUORVANE_TEST_PIPELINE_SUPPORT_H

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "quorvane_capture.h"

namespace qvtest {

using Bytes = std::vector<uint8_t>;

// The useAVX setting the pipeline tests record with: AVX where the processor has it, SSE2 when
// the run sets QV_TEST_KERNELS=sse2 (scripts/test runs the pipeline suites both ways).
inline int32_t pipelineUseAVX() {
  const char* kernels = std::getenv("QV_TEST_KERNELS");
  return kernels != nullptr && std::string(kernels) == "sse2" ? 0 : 1;
}

// The recording threads as a host starts them: capture, one encode thread per index, compress.
class RecordingThreads {
 public:
  explicit RecordingThreads(bool capture = true, bool encode = true, bool compress = true) {
    if (capture) threads_.emplace_back([this] { captured = CaptureThread(nullptr); });
    if (encode) {
      const int32_t count = getEncodeThreadCount();
      encoded.assign(static_cast<size_t>(count), 0);
      for (int32_t k = 0; k < count; ++k) {
        threads_.emplace_back([this, k] {
          encoded[static_cast<size_t>(k)] =
              EncodeThread(reinterpret_cast<void*>(static_cast<intptr_t>(k)));
        });
      }
    }
    if (compress) threads_.emplace_back([this] { compressed = CompressThread(nullptr); });
  }
  ~RecordingThreads() { join(); }
  RecordingThreads(const RecordingThreads&) = delete;
  RecordingThreads& operator=(const RecordingThreads&) = delete;

  void join() {
    for (std::thread& t : threads_) {
      if (t.joinable()) t.join();
    }
  }
  // Stops the recording after the given time and waits for every thread.
  void stopAfter(std::chrono::milliseconds duration) {
    std::this_thread::sleep_for(duration);
    setTerminated(1);
    join();
  }

  uint64_t captured = 0;
  std::vector<uint64_t> encoded;
  uint64_t compressed = 0;

 private:
  std::vector<std::thread> threads_;
};

// The video records the slot rule gives for these capture times: K key, D delta, R repeat.
inline std::string expectedPattern(const std::vector<int32_t>& stamps, int64_t frameRate) {
  const double period = 1000.0 / static_cast<double>(frameRate);
  std::string pattern;
  double slot = stamps.empty() ? 0.0 : stamps[0];
  for (size_t i = 0; i < stamps.size(); ++i) {
    while (stamps[i] - slot >= period) {
      pattern += 'R';
      slot += period;
    }
    pattern += i % static_cast<size_t>(frameRate) == 0 ? 'K' : 'D';
    slot += period;
  }
  return pattern;
}

// Finds, for every decoded picture of a captured frame (repeats skipped), the drawn picture it
// shows: candidates are tried from the one matched last, so they must appear in drawing order.
// expected(n) is the YUY2 picture that drawing n must give. Returns the drawing numbers, or an
// empty vector with a reason in *error.
inline std::vector<int> matchDrawings(const std::vector<Bytes>& decoded, const std::string& pattern,
                                      int lastDrawing, const std::function<Bytes(int)>& expected,
                                      std::string* error) {
  std::map<int, Bytes> cache;
  auto picture = [&](int n) -> const Bytes& {
    auto it = cache.find(n);
    if (it == cache.end()) it = cache.emplace(n, expected(n)).first;
    return it->second;
  };
  std::vector<int> shown;
  int from = 0;
  for (size_t k = 0; k < decoded.size(); ++k) {
    if (pattern[k] == 'R') continue;
    int found = -1;
    for (int n = from; n <= lastDrawing; ++n) {
      if (picture(n) == decoded[k]) {
        found = n;
        break;
      }
    }
    if (found < 0) {
      *error = "video record " + std::to_string(k) + " shows no drawing from " +
               std::to_string(from) + " to " + std::to_string(lastDrawing);
      return {};
    }
    shown.push_back(found);
    from = found;
    // Drawings before 'from' are never needed again.
    cache.erase(cache.begin(), cache.lower_bound(from));
  }
  return shown;
}

}  // namespace qvtest

#endif
