// The record of how a file was made.
#include "provenance.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>

#include "capture_state.h"
#include "direct_sound_capture.h"
#include "kernels.h"
#include "pause.h"
#include "quorvane_capture.h"
#include "qvf.h"

#ifndef QV_LIBRARY_VERSION
#define QV_LIBRARY_VERSION "unknown"
#endif

namespace quorvane_capture {
namespace {

std::atomic<bool> provenanceWanted{false};

// Noted by the capture thread as it starts; read by the output thread after the recording.
struct RecordingStart {
  int64_t utcMilliseconds = 0;
  std::string title;
  std::string process;
};
RecordingStart recordingStart;
bool startNoted = false;

platform::Mutex startMutex() {
  static const platform::Mutex mutex = platform::createMutex();
  return mutex;
}

// Where the sound came from. The one place that names the source.
std::string soundSourceName() {
  const int32_t source = recordedSoundSource();
  if (source == QV_SOURCE_NONE) return "none (none was asked for)";
  if (dsc == nullptr || !dsc->hasDevice()) {
    const int32_t status = getSoundStatus();
    if (status == QV_SOURCE_FORMAT_REFUSED) return "none (the device refused the sound format)";
    return status == QV_SOURCE_NO_LOOPBACK ? "none (no capture of the output here)"
                                           : "none (no capture device)";
  }
  // The chunk count under the list's lock: the streaming writer asks while the sound arrives.
  if (dsc->chunkCount() == 0) return "none (no sound was recorded)";
  const std::string name =
      source == QV_SOURCE_DESKTOP ? "what the computer played" : "capture device";
  // Whoever reads the file later learns why its sound ends in silence.
  return dsc->deviceWasLost() ? name + " (the device went away; silence from then on)" : name;
}

class PayloadBuilder {
 public:
  PayloadBuilder() { bytes_.resize(qvf::kProvenancePreambleSize); }
  void u32(uint32_t tag, std::initializer_list<uint32_t> values) {
    begin(tag, static_cast<uint32_t>(values.size() * 4));
    for (uint32_t v : values) put(v, 4);
  }
  void i64(uint32_t tag, int64_t value) {
    begin(tag, 8);
    put(static_cast<uint64_t>(value), 8);
  }
  void text(uint32_t tag, const std::string& value) {
    begin(tag, static_cast<uint32_t>(value.size()));
    bytes_.insert(bytes_.end(), value.begin(), value.end());
  }
  void pauses(const std::vector<std::pair<uint64_t, uint64_t>>& points) {
    begin(qvf::PROVENANCE_PAUSES,
          static_cast<uint32_t>(4 + points.size() * qvf::kProvenancePauseSize));
    put(points.size(), 4);
    for (const auto& p : points) {
      put(p.first, 8);
      put(p.second, 8);
    }
  }
  // The record: its header, then the payload with the version and the field count.
  std::vector<uint8_t> finish() {
    std::vector<uint8_t> record;
    const uint64_t header[3] = {qvf::kRecordHeaderSize, qvf::RECORD_PROVENANCE, bytes_.size()};
    for (uint64_t v : header) putInto(&record, v, 8);
    size_t at = record.size();
    record.insert(record.end(), bytes_.begin(), bytes_.end());
    for (uint32_t v : {qvf::kProvenanceVersion, fields_}) {
      for (int i = 0; i < 4; ++i) record[at++] = static_cast<uint8_t>(v >> (8 * i));
    }
    return record;
  }

 private:
  static void putInto(std::vector<uint8_t>* out, uint64_t v, int size) {
    for (int i = 0; i < size; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  void put(uint64_t v, int size) { putInto(&bytes_, v, size); }
  void begin(uint32_t tag, uint32_t length) {
    put(tag, 4);
    put(length, 4);
    ++fields_;
  }
  std::vector<uint8_t> bytes_;
  uint32_t fields_ = 0;
};

}  // namespace

void forgetRecordingStart() {
  platform::MutexLock lock(startMutex());
  startNoted = false;
  recordingStart = RecordingStart();
}

void noteRecordingStart() {
  platform::MutexLock lock(startMutex());
  if (startNoted) return;
  startNoted = true;
  const CaptureSetting& s = captureSetting;
  RecordingStart start;
  start.utcMilliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
  if (s.targetWindow == platform::desktopWindow()) {
    start.title = "**Desktop Screen**";
  } else {
    char text[1024];
    platform::getWindowTitle(s.targetWindow, text, sizeof(text));
    start.title = text;
    platform::getWindowProcessName(s.targetWindow, text, sizeof(text));
    start.process = text;
  }
  recordingStart = start;
}

std::vector<uint8_t> provenanceRecord() {
  const std::vector<PausePoint> points = pausePoints();
  if (!provenanceWanted && points.empty()) return {};
  noteRecordingStart();
  RecordingStart start;
  {
    platform::MutexLock lock(startMutex());
    start = recordingStart;
  }
  const CaptureSetting& s = captureSetting;
  const bool bt709 = s.colorMatrix == kColorMatrixBT709 ||
                     (s.colorMatrix == kColorMatrixAuto && s.outputHeight >= 720);

  // Pauses on the file's timeline: the frame clock counted from the first picture.
  // The first frame is read only once it is listed: the streaming writer asks while the capture
  // thread appends.
  const double first = frameListed(0) ? static_cast<double>(frameList[0].timeStamp) : 0.0;
  std::vector<std::pair<uint64_t, uint64_t>> pauses;
  for (const PausePoint& p : points) {
    // A pause the recording ended in has no length on the file's timeline; 0 also keeps a
    // second run of the output the same bytes as the first.
    pauses.emplace_back(static_cast<uint64_t>(std::max(0.0, p.frameClock - first) + 0.5),
                        p.running ? 0 : static_cast<uint64_t>(p.length + 0.5));
  }

  PayloadBuilder b;
  b.u32(qvf::PROVENANCE_COLOR_MATRIX, {bt709 ? 709u : 601u});
  b.u32(qvf::PROVENANCE_COLOR_RANGE, {s.fullRange != 0 ? 1u : 0u});
  b.u32(qvf::PROVENANCE_CAPTURE_SIZE,
        {static_cast<uint32_t>(s.captureWidth), static_cast<uint32_t>(s.captureHeight)});
  b.u32(qvf::PROVENANCE_OUTPUT_SIZE,
        {static_cast<uint32_t>(s.outputWidth), static_cast<uint32_t>(s.outputHeight)});
  b.text(qvf::PROVENANCE_WINDOW_TITLE, start.title);
  b.text(qvf::PROVENANCE_PROCESS_NAME, start.process);
  b.i64(qvf::PROVENANCE_START_TIME, start.utcMilliseconds);
  b.text(qvf::PROVENANCE_SOUND_SOURCE, soundSourceName());
  b.text(qvf::PROVENANCE_LIBRARY_VERSION, "quorvane_capture " QV_LIBRARY_VERSION);
  b.pauses(pauses);
  b.u32(qvf::PROVENANCE_UNCHANGED_AS_REPEATS, {captureSettingInternal.repeatUnchanged ? 1u : 0u});
  return b.finish();
}

}  // namespace quorvane_capture

extern "C" {

QV_EXPORT void setWriteProvenance(int32_t write) {
  quorvane_capture::provenanceWanted = write != 0;
}

}  // extern "C"
