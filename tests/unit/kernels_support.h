// Helpers shared by the kernel tests: buffers that end at an inaccessible page, random pixels,
// and the list of kernel variants this processor can run.
#ifndef QUORVANE_TESTS_KERNELS_SUPPORT_H
#define QUORVANE_TESTS_KERNELS_SUPPORT_H

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "kernels.h"
#include "reference.h"

namespace kernels_test {

// size bytes whose last byte is the last byte before a page that faults on any access.
class GuardedBuffer {
 public:
  explicit GuardedBuffer(size_t size) : size_(size) {
    const size_t page = pageSize();
    const size_t dataPages = (size + page - 1) / page;
    mapped_ = (dataPages + 1) * page;
#ifdef _WIN32
    base_ = static_cast<uint8_t*>(
        VirtualAlloc(nullptr, mapped_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old = 0;
    VirtualProtect(base_ + dataPages * page, page, PAGE_NOACCESS, &old);
#else
    void* p = mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    base_ = p == MAP_FAILED ? nullptr : static_cast<uint8_t*>(p);
    if (base_ != nullptr) mprotect(base_ + dataPages * page, page, PROT_NONE);
#endif
    data_ = base_ + dataPages * page - size;
  }
  ~GuardedBuffer() {
#ifdef _WIN32
    VirtualFree(base_, 0, MEM_RELEASE);
#else
    munmap(base_, mapped_);
#endif
  }
  GuardedBuffer(const GuardedBuffer&) = delete;
  GuardedBuffer& operator=(const GuardedBuffer&) = delete;

  uint8_t* data() { return data_; }
  size_t size() const { return size_; }

 private:
  static size_t pageSize() {
#ifdef _WIN32
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
#else
    return static_cast<size_t>(sysconf(_SC_PAGESIZE));
#endif
  }
  size_t size_;
  size_t mapped_ = 0;
  uint8_t* base_ = nullptr;
  uint8_t* data_ = nullptr;
};

inline void fillRandom(uint8_t* p, size_t n, std::mt19937& rng) {
  for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(rng() >> 24);
}

inline std::vector<uint8_t> randomBytes(size_t n, std::mt19937& rng) {
  std::vector<uint8_t> v(n);
  fillRandom(v.data(), n, rng);
  return v;
}

struct ConversionVariant {
  std::string name;
  quorvane_capture::RGB32ToYUY2Function function;
  quorvane_capture::reference::SumOrder order;
  bool (*supported)();
};

struct ZoomVariant {
  std::string name;
  quorvane_capture::ZoomOutHeikin32Function function;
  bool (*supported)();
};

inline bool always() { return true; }

inline std::vector<ConversionVariant> conversionVariants() {
  using quorvane_capture::reference::SumOrder;
  return {
      {"SSE2", RGB32ToYUY2_SSE2, SumOrder::kSse2, always},
      {"AVX", RGB32ToYUY2_AVX, SumOrder::kAvx, quorvane_capture::supportAVX},
      {"AVX2", quorvane_capture::RGB32ToYUY2_AVX2, SumOrder::kAvx, quorvane_capture::supportAVX2},
      {"AVX512", quorvane_capture::RGB32ToYUY2_AVX512, SumOrder::kAvx,
       quorvane_capture::supportAVX512}};
}

inline std::vector<ZoomVariant> zoomVariants() {
  return {{"SSE2", ZoomOutHeikin32_SSE2, always},
          {"AVX", ZoomOutHeikin32_AVX, quorvane_capture::supportAVX},
          {"AVX2", quorvane_capture::ZoomOutHeikin32_AVX2, quorvane_capture::supportAVX2}};
}

inline std::string variantNameOf(const testing::TestParamInfo<ConversionVariant>& info) {
  return info.param.name;
}
inline std::string zoomNameOf(const testing::TestParamInfo<ZoomVariant>& info) {
  return info.param.name;
}

}  // namespace kernels_test

#endif
