// What the sound tests measure in recorded PCM and WAV files, natively and under Wine alike.
#ifndef QUORVANE_SOUND_ANALYSIS_H
#define QUORVANE_SOUND_ANALYSIS_H

#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace qvtest {

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A little-endian 32-bit field, as in a WAV header.
inline uint32_t u32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

inline std::vector<uint8_t> readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), {});
}

// The left channel of 16-bit stereo PCM.
inline std::vector<double> leftChannel(const uint8_t* pcm, size_t bytes) {
  std::vector<double> left(bytes / 4);
  for (size_t i = 0; i < left.size(); ++i) {
    left[i] = static_cast<int16_t>(pcm[4 * i] | (pcm[4 * i + 1] << 8));
  }
  return left;
}

// Power of one frequency over the samples (Goertzel), at 44100 Hz unless said.
inline double powerAt(const std::vector<double>& x, size_t begin, size_t count, double frequency,
                      double rate = 44100.0) {
  const double coefficient = 2.0 * std::cos(2.0 * 3.14159265358979323846 * frequency / rate);
  double s1 = 0.0, s2 = 0.0;
  for (size_t i = begin; i < begin + count; ++i) {
    const double s = x[i] + coefficient * s1 - s2;
    s2 = s1;
    s1 = s;
  }
  return s1 * s1 + s2 * s2 - coefficient * s1 * s2;
}

// The strongest frequency between 100 Hz and 5 kHz, in 50 Hz steps, over one second.
inline double dominantFrequency(const std::vector<double>& x, size_t begin, size_t rate = 44100) {
  double best = 0.0, bestPower = -1.0;
  for (double f = 100.0; f <= 5000.0; f += 50.0) {
    const double p = powerAt(x, begin, rate, f, static_cast<double>(rate));
    if (p > bestPower) {
      bestPower = p;
      best = f;
    }
  }
  return best;
}

// Whether a pure 1 kHz sine keeps its own recurrence x[n+1] = 2cos(w)x[n] - x[n-1] around
// sample n: a lost, repeated or reordered piece of sound breaks it; rounding alone stays below 10.
inline bool sineHoldsAround(const std::vector<double>& x, size_t n) {
  const double c = 2.0 * std::cos(2.0 * 3.14159265358979323846 * 1000.0 / 44100.0);
  for (size_t i = n < 3 ? 1 : n - 2; i <= n + 2 && i + 1 < x.size(); ++i) {
    if (std::fabs(x[i + 1] - c * x[i] + x[i - 1]) > 200.0) return false;
  }
  return true;
}

// The samples around which the sine breaks; a break shows at a few neighbouring samples, and
// only the first of each group of them is listed.
inline std::vector<size_t> sineBreaks(const std::vector<double>& x) {
  std::vector<size_t> breaks;
  for (size_t i = 2; i + 1 < x.size(); ++i) {
    if (sineHoldsAround(x, i)) continue;
    if (breaks.empty() || i > breaks.back() + 8) breaks.push_back(i);
  }
  return breaks;
}

}  // namespace qvtest

#endif
