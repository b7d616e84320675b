// The mix of a recording's sources: the plain sum of their 16-bit samples at their own levels,
// as a mixer with every fader at unity gives it, clipped where it leaves the 16-bit range
// (never wrapped around). A source shorter than `samples` counts as silence beyond its end.
// `out` may have any alignment (the pool hands out byte addresses).
#ifndef QUORVANE_SOUND_MIX_H
#define QUORVANE_SOUND_MIX_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace quorvane_capture {

inline void mixSources(const std::vector<const std::vector<int16_t>*>& sources, size_t samples,
                       void* out) {
  // In blocks, source by source, so that the compiler's vector instructions do the sums.
  constexpr size_t kBlock = 1024;
  int32_t sum[kBlock];
  int16_t mixed[kBlock];
  for (size_t begin = 0; begin < samples; begin += kBlock) {
    const size_t n = std::min(kBlock, samples - begin);
    std::fill(sum, sum + n, 0);
    for (const std::vector<int16_t>* source : sources) {
      const size_t have = source->size() > begin ? std::min(n, source->size() - begin) : 0;
      const int16_t* from = source->data() + begin;
      for (size_t i = 0; i < have; ++i) sum[i] += from[i];
    }
    for (size_t i = 0; i < n; ++i) {
      mixed[i] = static_cast<int16_t>(std::min<int32_t>(32767, std::max<int32_t>(-32768, sum[i])));
    }
    std::memcpy(static_cast<uint8_t*>(out) + begin * sizeof(int16_t), mixed, n * sizeof(int16_t));
  }
}

}  // namespace quorvane_capture

#endif
