// The WAV file of a recording: the 44-byte header, then every captured chunk in order.
#include <cstring>
#include <fstream>

#include "capture_state.h"
#include "direct_sound_capture.h"

namespace quorvane_capture {

WavWriteResult DirectSoundCapture::SaveToWavFile(const char* path) {
  if (path == nullptr || path[0] == '\0') return WAV_CANNOT_OPEN;

  // The lengths come from the chunks actually held. After a StopWrite that is capturedBytes,
  // what it put into the header; after a capture that never ran or ended on an exhausted pool
  // the header was never completed, and this keeps the file valid all the same. The length
  // fields are 32-bit: sound beyond them is left out of this file (the container keeps it).
  constexpr uint64_t kMaxData = (0xFFFFFFFFull - 36) / 4 * 4;
  uint64_t total = 0;
  for (const POINTER_AND_SIZE& chunk : dataList) total += chunk.size;
  if (total > kMaxData) total = kMaxData;

  uint8_t header[kWavHeaderSize];
  std::memcpy(header, wavHeader, kWavHeaderSize);
  const auto dataLength = static_cast<uint32_t>(total);
  for (int i = 0; i < 4; ++i) {
    header[4 + i] = static_cast<uint8_t>((dataLength + 36) >> (8 * i));
    header[40 + i] = static_cast<uint8_t>(dataLength >> (8 * i));
  }

  std::ofstream file(path, std::ios::binary | std::ios::out | std::ios::trunc);
  if (!file.is_open()) return WAV_CANNOT_OPEN;
  file.write(reinterpret_cast<const char*>(header), kWavHeaderSize);
  uint64_t left = total;
  for (const POINTER_AND_SIZE& chunk : dataList) {
    if (left == 0 || !file) break;
    const uint64_t n = chunk.size < left ? chunk.size : left;
    file.write(reinterpret_cast<const char*>(chunk.pointer), static_cast<std::streamsize>(n));
    left -= n;
  }
  // close() flushes: a full disk often shows only here.
  const bool written = static_cast<bool>(file);
  file.close();
  return written && !file.fail() ? WAV_WRITTEN : WAV_WRITE_FAILED;
}

}  // namespace quorvane_capture

using namespace quorvane_capture;

extern "C" {

QV_EXPORT qv_thread_result AudioOutputThread(void* path) {
  if (!isInitialized() || dsc == nullptr) return WAV_NOTHING_TO_WRITE;
  return static_cast<qv_thread_result>(dsc->SaveToWavFile(static_cast<const char*>(path)));
}

}  // extern "C"
