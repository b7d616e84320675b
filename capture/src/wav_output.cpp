// The WAV file of a recording: the 44-byte header, then every captured chunk in order.

#include <cctype>
#include <string>

#include "capture_state.h"
#include "direct_sound_capture.h"
#include "record_writer.h"

namespace quorvane_capture {

namespace {

WavWriteResult writeWav(const char* path, const uint8_t* wavHeader,
                        const std::vector<POINTER_AND_SIZE>& dataList) {
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

}  // namespace

WavWriteResult DirectSoundCapture::SaveToWavFile(const char* path) {
  return writeWav(path, wavHeader, dataList);
}

WavWriteResult DirectSoundCapture::SaveTrackToWavFile(size_t track, const char* path) {
  if (track >= tracks.size()) return WAV_NOTHING_TO_WRITE;
  return writeWav(path, wavHeader, tracks[track]->chunks);
}

std::string trackWavPath(const std::string& wavPath, platform::SoundSource source) {
  std::string base = wavPath;
  const size_t dot = base.size() >= 4 ? base.size() - 4 : std::string::npos;
  if (dot != std::string::npos) {
    std::string extension = base.substr(dot);
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (extension == ".wav") base.resize(dot);
  }
  return base + "." + trackName(source) + ".wav";
}

const char* trackName(platform::SoundSource source) {
  return source == platform::SoundSource::kOutputMix ? "desktop" : "mic";
}

}  // namespace quorvane_capture

using namespace quorvane_capture;

extern "C" {

QV_EXPORT qv_thread_result AudioOutputThread(void* path) {
  if (!isInitialized() || dsc == nullptr) return WAV_NOTHING_TO_WRITE;
  if (recordingStreamed()) return QV_WAV_ALREADY_WRITTEN;
  const auto* mixPath = static_cast<const char*>(path);
  WavWriteResult result = dsc->SaveToWavFile(mixPath);
  // Each source's track beside the mix: NAME.mic.wav and NAME.desktop.wav for NAME.wav. The
  // first failure is the one reported.
  for (size_t t = 0; t < dsc->trackCount() && result == WAV_WRITTEN; ++t) {
    result = dsc->SaveTrackToWavFile(t, trackWavPath(mixPath, dsc->trackSource(t)).c_str());
  }
  return static_cast<qv_thread_result>(result);
}

}  // extern "C"
