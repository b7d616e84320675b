// The WAV file of a recording: the 44-byte header, then every captured chunk in order.

#include "capture_state.h"
#include "direct_sound_capture.h"
#include "record_writer.h"

namespace quorvane_capture {

WavWriteResult DirectSoundCapture::SaveToWavFile(const char* path) {
  if (path == nullptr || path[0] == '\0') return WAV_CANNOT_OPEN;

  // The lengths come from the chunks actually held. After a StopWrite that is capturedBytes,
  // what it put into the header; after a capture that never ran or ended on an exhausted pool
  // the header was never completed, and this keeps the file valid all the same. The length
  // fields are 32-bit: sound beyond them is left out of this file (the container keeps it).
  uint64_t total = 0;
  for (const POINTER_AND_SIZE& chunk : dataList) total += chunk.size;
  if (total > kMaxWavData) total = kMaxWavData;

  // Written beside the path and renamed when complete: the path holds the whole file or none.
  BufferedFile file;
  if (!file.open(path, true)) return WAV_CANNOT_OPEN;
  WavWriter wav(file, wavHeader);
  wav.writeHeader(static_cast<uint32_t>(total));
  for (const POINTER_AND_SIZE& chunk : dataList) wav.writeSamples(chunk.pointer, chunk.size);
  return file.commit() ? WAV_WRITTEN : WAV_WRITE_FAILED;
}

}  // namespace quorvane_capture

using namespace quorvane_capture;

extern "C" {

QV_EXPORT qv_thread_result AudioOutputThread(void* path) {
  if (!isInitialized() || dsc == nullptr) return WAV_NOTHING_TO_WRITE;
  if (recordingStreamed()) return QV_WAV_ALREADY_WRITTEN;
  return static_cast<qv_thread_result>(dsc->SaveToWavFile(static_cast<const char*>(path)));
}

}  // extern "C"
