// The output thread: writes the container file of a finished recording in one forward pass,
// placing the frames on the constant-rate timeline and completing those the recording threads
// did not reach.
#include <snappy.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "capture_state.h"
#include "direct_sound_capture.h"
#include "kernels.h"
#include "pipeline.h"
#include "provenance.h"
#include "quorvane_capture.h"
#include "qvf.h"

namespace quorvane_capture {
namespace {

// A buffered file that remembers whether every byte so far reached it.
class OutputFile {
 public:
  explicit OutputFile(const char* path) : file_(std::fopen(path, "wb")) {
    if (file_ != nullptr) std::setvbuf(file_, nullptr, _IOFBF, kBufferBytes);
  }
  ~OutputFile() { close(); }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  bool good() const { return file_ != nullptr && good_; }
  void write(const void* data, size_t size) {
    if (!good() || size == 0) return;
    if (std::fwrite(data, 1, size, file_) != size) good_ = false;
  }
  void writeRecordHeader(uint64_t type, uint64_t payloadSize) {
    const qvf::RecordHeader header{qvf::kRecordHeaderSize, type, payloadSize};
    write(&header, sizeof(header));
  }
  // A full disk often shows only when the last buffered bytes are flushed here.
  bool close() {
    if (file_ == nullptr) return false;
    const bool flushed = std::fflush(file_) == 0;
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    good_ = good_ && flushed && closed;
    return good_;
  }

 private:
  static constexpr size_t kBufferBytes = size_t{1} << 20;
  std::FILE* file_;
  bool good_ = true;
};

struct WorkBuffers {
  explicit WorkBuffers(size_t pictureBytes, size_t differenceBytes)
      : picture(static_cast<uint8_t*>(calloc(pictureBytes, 1))),
        difference(static_cast<uint8_t*>(calloc(differenceBytes, 1))) {}
  ~WorkBuffers() {
    free(picture);
    free(difference);
  }
  WorkBuffers(const WorkBuffers&) = delete;
  WorkBuffers& operator=(const WorkBuffers&) = delete;
  uint8_t* picture;
  uint8_t* difference;
};

// The sound chunks go first, all of them, in capture order; the chunk list is complete once
// the audio capture has ended.
void writeSoundChunks(OutputFile& file) {
  if (dsc == nullptr) return;
  const std::vector<POINTER_AND_SIZE>* chunks = dsc->getDataList();
  if (chunks == nullptr) return;
  for (const POINTER_AND_SIZE& chunk : *chunks) {
    file.writeRecordHeader(qvf::RECORD_AUDIO, chunk.size);
    file.write(chunk.pointer, static_cast<size_t>(chunk.size));
  }
}

}  // namespace

uint64_t writeOutputFile(const char* path) {
  if (frameList.empty() || path == nullptr) return 0;
  setProgress(0.0);

  const CaptureSetting& s = captureSetting;
  const double period = 1000.0 / static_cast<double>(s.frameRate);
  const size_t rgbOutputBytes = static_cast<size_t>(s.outputWidth * s.outputHeight * 4);
  const size_t yuy2Bytes = rgbOutputBytes / 2;
  const bool needsScaling = s.outputWidth < s.captureWidth || s.outputHeight < s.captureHeight;
  const int64_t keyInterval = captureSettingInternal.fps;
  if (keyInterval < 1) return 0;

  const size_t pictureBytes = std::max(rgbOutputBytes, snappy::MaxCompressedLength(yuy2Bytes));
  WorkBuffers work(pictureBytes, yuy2Bytes);
  if (work.picture == nullptr || work.difference == nullptr) return 0;

  OutputFile file(path);
  if (!file.good()) return 0;

  qvf::FileHeader header{};
  header.headerSize = qvf::kFileHeaderSize;
  header.frameRate = static_cast<uint64_t>(s.frameRate);
  header.width = static_cast<uint64_t>(s.outputWidth);
  header.height = static_cast<uint64_t>(s.outputHeight);
  std::memcpy(header.codecTag, qvf::kCodecTagSnappy, sizeof(header.codecTag));
  header.audioChannels = qvf::kAudioChannels;
  header.audioBitsPerSample = qvf::kAudioBitsPerSample;
  header.audioSampleRate = qvf::kAudioSampleRate;
  file.write(&header, sizeof(header));
  writeProvenanceRecord(file);

  writeSoundChunks(file);

  const size_t frames = frameList.size();
  double expectedTotal = static_cast<double>(frames);
  double step = 1.0 / expectedTotal;
  double slotStart = frameList[0].timeStamp;
  double recordsDone = 0.0;

  for (size_t i = 0; i < frames && file.good(); ++i) {
    frame& f = frameList[i];
    while (static_cast<double>(f.timeStamp) - slotStart >= period) {
      file.writeRecordHeader(qvf::RECORD_REPEAT, 0);
      slotStart += period;
      expectedTotal += 1.0;
      step = 1.0 / expectedTotal;
      recordsDone += 1.0;
      setProgress(step * recordsDone);
    }

    if (f.status == FRAME_CAPTURED) {
      if (needsScaling) {
        ZoomOutHeikin32(work.picture, s.outputWidth, s.outputHeight, f.buffer, s.captureWidth,
                        s.captureHeight);
        RGB32ToYUY2(f.buffer, work.picture, s.outputWidth, s.outputHeight);
      } else {
        RGB32ToYUY2(f.buffer, f.buffer, s.outputWidth, s.outputHeight);
      }
      // The buffer now holds the YUY2 picture (at the start of the capture-size range).
      f.status = FRAME_ENCODED;
    }

    uint64_t type;
    const uint8_t* payload;
    uint64_t payloadSize;
    if (f.status == FRAME_ENCODED) {
      // Compressed into the work buffer and written from there; the record stays encoded, so
      // a later run finds it exactly as this one did.
      size_t length = 0;
      // The previous picture is always there (the compress thread frees a picture only after
      // compressing the frame that follows it); should it ever be missing, a key record keeps
      // the file decodable.
      const uint8_t* previous = i > 0 ? frameList[i - 1].buffer : nullptr;
      if (i % static_cast<size_t>(keyInterval) != 0 && previous != nullptr) {
        CalcDeltaFrame_SSE2(work.difference, f.buffer, previous, s.outputWidth, s.outputHeight);
        snappy::RawCompress(reinterpret_cast<const char*>(work.difference), yuy2Bytes,
                            reinterpret_cast<char*>(work.picture), &length);
        type = qvf::RECORD_DELTA;
      } else {
        snappy::RawCompress(reinterpret_cast<const char*>(f.buffer), yuy2Bytes,
                            reinterpret_cast<char*>(work.picture), &length);
        type = qvf::RECORD_KEY;
      }
      payload = work.picture;
      payloadSize = length;
    } else {
      type = f.status == FRAME_KEY ? qvf::RECORD_KEY : qvf::RECORD_DELTA;
      payload = f.compressedBuffer;
      payloadSize = f.compressedSize;
    }
    file.writeRecordHeader(type, payloadSize);
    file.write(payload, static_cast<size_t>(payloadSize));

    recordsDone += 1.0;
    setProgress(step * recordsDone);
    slotStart += period;
  }

  // A failed write ends the pass early; the frames stay as they are for another run.
  if (!file.good()) return 0;
  setProgress(1.0);
  if (!file.close()) return 0;
  return static_cast<uint64_t>(expectedTotal);
}

}  // namespace quorvane_capture

using namespace quorvane_capture;

extern "C" {

QV_EXPORT qv_thread_result OutputThread(void* parameter) {
  if (!isInitialized()) return 0;
  return writeOutputFile(static_cast<const char*>(parameter));
}

}  // extern "C"
