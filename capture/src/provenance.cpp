// The record of how a file was made.
#include "provenance.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
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
  // Whoever reads the file later learns why a source's sound ends in silence.
  const std::string gone = " (the device went away; silence from then on)";
  if (dsc->trackCount() > 1) {
    std::string name = "capture device and what the computer played, mixed";
    if (dsc->sourceLost(platform::SoundSource::kCaptureDevice)) {
      name += "; the capture device went away, silence from then on";
    }
    if (dsc->sourceLost(platform::SoundSource::kOutputMix)) {
      name += "; the output device went away, silence from then on";
    }
    return name;
  }
  // Of two sources asked for, the one that could be opened.
  const bool desktop = dsc->sourceReady(platform::SoundSource::kOutputMix) &&
                       !dsc->sourceReady(platform::SoundSource::kCaptureDevice);
  std::string name = desktop ? "what the computer played" : "capture device";
  const platform::SoundSource recorded =
      desktop ? platform::SoundSource::kOutputMix : platform::SoundSource::kCaptureDevice;
  // The system's names of its devices where it gives them: "capture device: Headset, then USB".
  const std::vector<std::string> names = dsc->sourceDeviceNames(recorded);
  for (size_t k = 0; k < names.size(); ++k) name += (k == 0 ? ": " : ", then ") + names[k];
  if (dsc->sourceLost(recorded)) {
    name += gone;
  } else if (dsc->sourceWentAway(recorded)) {
    name += " (the device went away and came back; silence while it was away)";
  }
  if (source == QV_SOURCE_CAPTURE_AND_DESKTOP) {
    name += desktop ? " (the capture device could not be opened)"
                    : " (what the computer played could not be recorded)";
  }
  return name;
}

// How the pictures were copied; the one place that names the methods.
std::string captureMethodName(double firstFrame) {
  const CaptureSettingInternal& c = captureSettingInternal;
  const std::string ordinary = platform::ScreenGrabber::ordinaryCopyName();
  const bool screen = captureSetting.targetWindow == platform::desktopWindow();
  const char* what = screen ? "the screen" : "the part of the screen the window covers";
  std::string name;
  switch (c.grabMethod.load()) {
    case QV_GRAB_DUPLICATION:
      name = std::string("Desktop Duplication, ") + what;
      break;
    case QV_GRAB_SCREEN:
      name = ordinary + ", " + what;
      break;
    default:
      name = ordinary + ", the window's own picture";
      break;
  }
  const int32_t failure = c.duplicationFailure.load();
  if (failure == 0) return name;
  char text[200];
  const char* call = c.duplicationFailedCall.load();
  const double at = c.duplicationFellBackAt.load();
  if (at < 0.0) {
    std::snprintf(text, sizeof(text), " (Desktop Duplication could not be had: %s failed, 0x%08X)",
                  call != nullptr ? call : "?", static_cast<unsigned>(failure));
  } else {
    std::snprintf(text, sizeof(text), " after Desktop Duplication until %.3f s (%s failed, 0x%08X)",
                  std::max(0.0, at - firstFrame) / 1000.0, call != nullptr ? call : "?",
                  static_cast<unsigned>(failure));
  }
  return name + text;
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
  // PROVENANCE_SOUND_TRACKS: the recording's tracks, each with its source and device.
  void tracks(const std::vector<std::pair<uint32_t, std::string>>& list) {
    uint32_t size = 4;
    for (const auto& t : list) size += 12 + static_cast<uint32_t>(t.second.size());
    begin(qvf::PROVENANCE_SOUND_TRACKS, size);
    put(static_cast<uint32_t>(list.size()), 4);
    uint32_t number = 1;
    for (const auto& t : list) {
      put(number++, 4);
      put(t.first, 4);
      put(static_cast<uint32_t>(t.second.size()), 4);
      bytes_.insert(bytes_.end(), t.second.begin(), t.second.end());
    }
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
  // A recording with tracks always says which is which: readers find a source's track by it.
  const bool tracks = dsc != nullptr && dsc->trackCount() > 1;
  if (!provenanceWanted && points.empty() && !tracks) return {};
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
  if (dsc != nullptr && dsc->trackCount() > 1) {
    std::vector<std::pair<uint32_t, std::string>> tracks;
    for (size_t t = 0; t < dsc->trackCount(); ++t) {
      const bool desktop = dsc->trackSource(t) == platform::SoundSource::kOutputMix;
      std::string device =
          desktop ? "the default output device (loopback)" : "the default capture device";
      // The system's names where it gives them: "Headset, then Speakers (the default ...)".
      const std::vector<std::string> names = dsc->trackDeviceNames(t);
      if (!names.empty()) {
        std::string named;
        for (const std::string& name : names) named += (named.empty() ? "" : ", then ") + name;
        device = named + " (" + device + ")";
      }
      // A track that ends in silence because its device went away says so, and one that holds
      // silence for the time its device was away.
      if (dsc->sourceLost(dsc->trackSource(t))) {
        device += "; went away, silence from then on";
      } else if (dsc->sourceWentAway(dsc->trackSource(t))) {
        device += "; went away and came back, silence while it was away";
      }
      tracks.emplace_back(desktop ? qvf::kTrackSourceDesktop : qvf::kTrackSourceCaptureDevice,
                          device);
    }
    b.tracks(tracks);
  }
  b.u32(qvf::PROVENANCE_UNCHANGED_AS_REPEATS, {captureSettingInternal.repeatUnchanged ? 1u : 0u});
  // Windows: "duplication" while Desktop Duplication gave the pictures to the end.
  b.text(qvf::PROVENANCE_SCREEN_PATH,
         captureSettingInternal.grabMethod.load() == QV_GRAB_DUPLICATION
             ? "duplication"
             : platform::screenPathName());
  b.text(qvf::PROVENANCE_CAPTURE_METHOD, captureMethodName(first));
  return b.finish();
}

}  // namespace quorvane_capture

extern "C" {

QV_EXPORT const char* getScreenPath(void) { return quorvane_capture::platform::screenPathName(); }

QV_EXPORT void setWriteProvenance(int32_t write) {
  quorvane_capture::provenanceWanted = write != 0;
}

}  // extern "C"
