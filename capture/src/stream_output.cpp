// The streaming writer: the container and the WAV file grow while the recording runs. Each
// frame's record is written as soon as the compress thread has finished it, strictly in list
// order and on the same timeline as the in-memory output; sound records go between them as
// the chunks arrive. What is written goes back to the pool, so the pool holds only the
// backlog. At least every kDurableEveryMilliseconds the bytes go to the system and the WAV
// header's lengths are brought up to date, so an abrupt end loses about that much.
#include "stream_output.h"

#include <memory>
#include <string>
#include <vector>

#include "capture_state.h"
#include "direct_sound_capture.h"
#include "frame_stages.h"
#include "pause.h"
#include "pipeline.h"
#include "provenance.h"
#include "quorvane_capture.h"
#include "record_writer.h"

namespace quorvane_capture {

namespace {

// Waiting for the compress thread: short, so the backlog stays small.
constexpr uint32_t kStreamPollMilliseconds = 10;

// The writer's side of one recording.
class StreamWriter {
 public:
  StreamWriter()
      : geometry_(pictureGeometry()),
        finisher_(geometry_),
        records_(container_),
        wav_(wavFile_, dsc != nullptr ? dsc->getWavHeader() : nullptr),
        timeline_(captureSetting.frameRate) {}

  bool open(const char* containerPath, const char* wavPath) {
    if (!finisher_.ready() || geometry_.keyInterval < 1) return false;
    withWav_ = wavPath != nullptr && wavPath[0] != '\0' && dsc != nullptr;
    if (!container_.open(containerPath, false)) return false;
    if (withWav_ && !wavFile_.open(wavPath, false)) {
      container_.discard();
      return false;
    }
    // Each source's track beside the mix's file.
    const size_t trackCount = dsc != nullptr ? dsc->trackCount() : 0;
    for (size_t t = 0; t < trackCount; ++t) {
      tracks_.emplace_back(new Track(dsc->getWavHeader()));
      if (withWav_ &&
          !tracks_[t]->file.open(trackWavPath(wavPath, dsc->trackSource(t)).c_str(), false)) {
        for (size_t u = 0; u < t; ++u) tracks_[u]->file.discard();
        wavFile_.discard();
        container_.discard();
        return false;
      }
    }
    provenanceAtStart_ = records_.writeFileHeader(captureSetting);
    if (withWav_) {
      wav_.writeHeader(0);
      for (const std::unique_ptr<Track>& track : tracks_) track->wav.writeHeader(0);
    }
    return makeDurable();
  }

  bool good() const {
    if (!container_.good()) return false;
    if (!withWav_) return true;
    for (const std::unique_ptr<Track>& track : tracks_) {
      if (!track->file.good()) return false;
    }
    return wavFile_.good();
  }

  // Writes what is ready; true when there was anything.
  bool writeReady() {
    bool any = writeSound();
    while (frameListed(static_cast<int64_t>(next_))) {
      FrameRecord record;
      int64_t stamp;
      {
        platform::MutexLock lock(hMutex_frameList_Change);
        const frame& f = frameList[next_];
        if (!frameCompressed(f.status)) break;
        record = compressedRecord(f);
        stamp = f.timeStamp;
      }
      // The piece is the frame's until it is given back below; no other thread touches it.
      writeFrame(stamp, record);
      {
        platform::MutexLock lock(hMutex_frameList_Change);
        giveBackPiece(frameList[next_]);
      }
      ++next_;
      any = true;
    }
    return any;
  }

  // After the recording threads have ended: the frames they did not reach, then the end.
  bool finish() {
    writeSound();
    for (; next_ < frameList.size() && good(); ++next_) {
      writeFrame(frameList[next_].timeStamp, finisher_.recordOf(next_));
      giveBackPiece(frameList[next_]);
    }
    // The record at the start could not know what came after it (pauses, whether any sound
    // arrived): a changed one follows the last frame, and readers take the last.
    const std::vector<uint8_t> provenance = provenanceRecord();
    if (!provenance.empty() && provenance != provenanceAtStart_) {
      records_.writeWholeRecord(provenance);
    }
    records_.writeIndex();
    const bool durable = makeDurable() && syncToDisk();
    bool closed = container_.commit() & (!withWav_ || wavFile_.commit());
    for (const std::unique_ptr<Track>& track : tracks_) {
      closed = (!withWav_ || track->file.commit()) && closed;
    }
    return durable && closed;
  }

  // Each file on its own: after a failed container the WAV files are still brought up to date.
  bool makeDurable() {
    const bool container = container_.flush();
    bool wav = !withWav_ || wav_.updateLengths();
    for (const std::unique_ptr<Track>& track : tracks_) {
      wav = (!withWav_ || track->wav.updateLengths()) && wav;
    }
    return container && wav;
  }

  // What the system holds goes to the disk too, so that a power cut loses no more.
  bool syncToDisk() {
    bool synced = container_.sync() && (!withWav_ || wavFile_.sync());
    for (const std::unique_ptr<Track>& track : tracks_) {
      synced = synced && (!withWav_ || track->file.sync());
    }
    return synced;
  }

  uint64_t videoRecords() const { return videoRecords_; }

 private:
  bool writeSound() {
    if (dsc == nullptr) return false;
    const size_t count = dsc->chunkCount();
    bool any = count != chunks_;
    for (; chunks_ < count; ++chunks_) {
      const POINTER_AND_SIZE chunk = dsc->chunkAt(chunks_);
      records_.writeSound(chunk.pointer, chunk.size);
      if (withWav_) wav_.writeSamples(chunk.pointer, chunk.size);
    }
    dsc->releaseChunks(count);
    for (size_t t = 0; t < tracks_.size(); ++t) {
      Track& track = *tracks_[t];
      const size_t listed = dsc->trackChunkCount(t);
      any = any || listed != track.chunks;
      for (; track.chunks < listed; ++track.chunks) {
        const POINTER_AND_SIZE chunk = dsc->trackChunkAt(t, track.chunks);
        records_.writeTrackSound(t + 1, chunk.pointer, chunk.size);
        if (withWav_) track.wav.writeSamples(chunk.pointer, chunk.size);
      }
      dsc->releaseTrackChunks(t, listed);
    }
    return any;
  }

  void writeFrame(int64_t stamp, const FrameRecord& record) {
    videoRecords_ +=
        timeline_.writeFrame(records_, stamp, record.type, record.payload, record.size) + 1;
  }

  // A compressed piece that is written is not needed again.
  static void giveBackPiece(frame& f) {
    if (f.compressedBuffer != nullptr && mma != nullptr) mma->release(f.compressedBuffer);
    f.compressedBuffer = nullptr;
  }

  // A source's own track: its WAV file and how far it is written.
  struct Track {
    explicit Track(const uint8_t* header) : wav(file, header) {}
    BufferedFile file;
    WavWriter wav;
    size_t chunks = 0;
  };

  PictureGeometry geometry_;
  FrameFinisher finisher_;
  BufferedFile container_;
  BufferedFile wavFile_;
  RecordWriter records_;
  WavWriter wav_;
  SlotTimeline timeline_;
  bool withWav_ = false;
  std::vector<std::unique_ptr<Track>> tracks_;
  std::vector<uint8_t> provenanceAtStart_;  // the record as the file header's part wrote it
  size_t next_ = 0;
  size_t chunks_ = 0;
  uint64_t videoRecords_ = 0;
};

// The recording is over for the writer once the stop flag is set, no recording thread runs
// (one started after the stop sees the flag before it touches a frame) and the sound has ended.
bool recordingOver() {
  return getTerminated() && recordingThreadsRunning() == 0 &&
         (dsc == nullptr || !dsc->isCapturing());
}

}  // namespace

uint64_t streamRecording(const char* containerPath, const char* wavPath) {
  if (!claimRecordingForStream()) return 0;  // one writer per recording
  StreamWriter writer;
  if (!writer.open(containerPath, wavPath)) {
    // Nothing was written or given back: the recording goes on in memory, and the in-memory
    // writers may still write it after the stop.
    returnRecordingFromStream();
    // Not a stop: the recording goes on in memory.
    noteRecordingFault(QV_STATUS_CANNOT_OPEN);
    return 0;
  }
  double lastDurable = platform::clockMilliseconds();
  double lastSync = lastDurable;
  bool failed = false;
  for (;;) {
    const bool over = recordingOver();  // read before the last pass, so that pass sees all
    const bool any = writer.writeReady();
    const double now = platform::clockMilliseconds();
    bool good = writer.good();
    if (good && now - lastDurable >= kDurableEveryMilliseconds) {
      good = writer.makeDurable();
      lastDurable = now;
    }
    if (good && now - lastSync >= kSyncEveryMilliseconds) {
      good = writer.syncToDisk();
      lastSync = now;
    }
    if (!good) {
      failed = true;
      break;
    }
    if (over) break;
    if (!any) platform::sleepMilliseconds(kStreamPollMilliseconds);
  }
  if (failed) {
    // A full disk or a removed drive: the recording stops, and what reached the files stays
    // readable (the reader ignores a torn last record).
    stopRecording(QV_STATUS_WRITE_FAILED);
    writer.makeDurable();
    return 0;
  }
  if (!writer.finish()) {
    stopRecording(QV_STATUS_WRITE_FAILED);
    return 0;
  }
  return writer.videoRecords();
}

}  // namespace quorvane_capture

using namespace quorvane_capture;

extern "C" {

QV_EXPORT qv_thread_result StreamOutputThread(void* paths) {
  if (!isInitialized() || paths == nullptr) return 0;
  const auto* p = static_cast<const QvStreamPaths*>(paths);
  return streamRecording(p->containerPath, p->wavPath);
}

}  // extern "C"
