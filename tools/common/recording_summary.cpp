#include "recording_summary.h"

#include <cstdio>

#include "qvf.h"

namespace qvtools {

std::string videoSummary(const VideoFacts& f) {
  const uint64_t repeats = f.records > f.captured ? f.records - f.captured : 0;
  const double seconds =
      f.frameRate > 0 ? static_cast<double>(f.records) / static_cast<double>(f.frameRate) : 0.0;
  char text[200];
  std::snprintf(text, sizeof(text),
                "%.3f s: %llu frames at %lld fps (%llu captured, %llu repeat records), %lldx%lld",
                seconds, static_cast<unsigned long long>(f.records),
                static_cast<long long>(f.frameRate), static_cast<unsigned long long>(f.captured),
                static_cast<unsigned long long>(repeats), static_cast<long long>(f.width),
                static_cast<long long>(f.height));
  return text;
}

double wavSeconds(int64_t fileBytes, uint32_t samplesPerSecond) {
  const int64_t kHeader = 44;
  if (fileBytes <= kHeader || samplesPerSecond == 0) return 0.0;
  return static_cast<double>(fileBytes - kHeader) /
         static_cast<double>(uint64_t{samplesPerSecond} * qvf::kAudioBlockBytes);
}

std::string repeatSummary(uint64_t repeats, uint64_t videoRecords, uint64_t longestRun) {
  char text[96];
  const double share =
      videoRecords == 0 ? 0.0
                        : 100.0 * static_cast<double>(repeats) / static_cast<double>(videoRecords);
  std::snprintf(text, sizeof(text), "%llu (%.1f%%), longest run %llu",
                static_cast<unsigned long long>(repeats), share,
                static_cast<unsigned long long>(longestRun));
  return text;
}

std::string driftText(double soundSeconds, double pictureSeconds, bool words) {
  const double drift = soundSeconds - pictureSeconds;
  char text[64];
  std::snprintf(text, sizeof(text), "%+.3f s%s", drift,
                !words            ? ""
                : drift > 0.0005  ? " (sound longer)"
                : drift < -0.0005 ? " (sound shorter)"
                                  : "");
  return text;
}

}  // namespace qvtools
