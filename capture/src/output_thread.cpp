// The output thread: writes the container file of a finished recording in one forward pass,
// placing the frames on the constant-rate timeline and completing those the recording threads
// did not reach.
#include <vector>

#include "capture_state.h"
#include "direct_sound_capture.h"
#include "frame_stages.h"
#include "pipeline.h"
#include "quorvane_capture.h"
#include "record_writer.h"

namespace quorvane_capture {

uint64_t writeOutputFile(const char* path) {
  // The streaming writer gave back what it wrote: there is nothing left to write twice.
  if (recordingStreamed()) return QV_OUTPUT_ALREADY_WRITTEN;
  if (frameList.empty() || path == nullptr) return 0;
  setProgress(0.0);

  const CaptureSetting& s = captureSetting;
  const PictureGeometry geometry = pictureGeometry();
  if (geometry.keyInterval < 1) return 0;
  FrameFinisher finisher(geometry);
  if (!finisher.ready()) return 0;

  // Written beside the path and renamed at the end: a failed run leaves no short file that
  // would open as a valid recording.
  BufferedFile file;
  if (!file.open(path, true)) return 0;
  RecordWriter records(file);
  records.writeFileHeader(s);
  // The sound chunks go first, all of them, in capture order; the chunk list is complete once
  // the audio capture has ended.
  if (dsc != nullptr) {
    for (const POINTER_AND_SIZE& chunk : *dsc->getDataList()) {
      records.writeSound(chunk.pointer, chunk.size);
    }
    // Then each source's own track, numbered from 1.
    for (size_t t = 0; t < dsc->trackCount(); ++t) {
      for (const POINTER_AND_SIZE& chunk : dsc->trackChunks(t)) {
        records.writeTrackSound(t + 1, chunk.pointer, chunk.size);
      }
    }
  }

  const size_t frames = frameList.size();
  SlotTimeline timeline(s.frameRate);
  double expectedTotal = static_cast<double>(frames);
  double recordsDone = 0.0;
  for (size_t i = 0; i < frames && file.good(); ++i) {
    const FrameRecord record = finisher.recordOf(i);
    const uint64_t repeats = timeline.writeFrame(records, frameList[i].timeStamp, record.type,
                                                 record.payload, record.size);
    expectedTotal += static_cast<double>(repeats);
    recordsDone += static_cast<double>(repeats) + 1.0;
    setProgress(recordsDone / expectedTotal);
  }

  // A failed write ends the pass early; the frames stay as they are for another run.
  if (!file.good()) return 0;
  records.writeIndex();
  setProgress(1.0);
  if (!file.commit()) return 0;
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
