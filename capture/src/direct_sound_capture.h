// The recording's sound: each source's device (the default capture device, what the computer
// plays, or both) fills a one-second ring; every half second the audio capture thread moves
// what arrived into pool memory, converted to the recording's rate, and lists the chunk. With
// two sources each one's sound is also kept as a track of its own, and the listed chunks hold
// their mix. After the stop the chunks are written to WAV files and into the container.
//
// One object per recording, in the global dsc: Initialize creates it and hands it the pool,
// AudioCaptureThread runs the capture loop, the recording's one stop (run_control.h) stops it,
// Finalize deletes it.
// The chunk list has no lock: it is read only after the capture loop has ended.
#ifndef QUORVANE_DIRECT_SOUND_CAPTURE_H
#define QUORVANE_DIRECT_SOUND_CAPTURE_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "memory_pool.h"
#include "platform.h"
#include "quorvane_capture.h"
#include "resampler.h"
#include "sound_capture.h"
#include "sound_clock.h"
#include "sound_cuts.h"

namespace quorvane_capture {

// The 44-byte header of a PCM WAV file, little-endian.
constexpr uint32_t kWavHeaderSize = 44;
// The largest sample data a WAV header can describe, in whole sample frames.
constexpr uint64_t kMaxWavData = (0xFFFFFFFFull - 36) / 4 * 4;

// What SaveToWavFile and AudioOutputThread report (QV_WAV_* in the interface).
enum WavWriteResult : int32_t {
  WAV_WRITTEN = QV_WAV_WRITTEN,
  WAV_CANNOT_OPEN = QV_WAV_CANNOT_OPEN,
  WAV_WRITE_FAILED = QV_WAV_WRITE_FAILED,
  WAV_NOTHING_TO_WRITE = QV_WAV_NOT_INITIALIZED
};

// One source of the recording: its device's ring, the conversion to the recording's rate,
// where the loop stands in the ring, what pauses cut out of it, where its sound lies on the
// picture's clock, and (with several sources) its own track and the part of it not mixed yet.
struct SoundInput {
  explicit SoundInput(platform::SoundSource from) : source(from) {}
  platform::SoundSource source;
  platform::SoundCaptureBuffer buffer;
  bool ready = false;
  uint32_t bufferBytes = 0;              // one second of sound at the device's rate
  uint32_t notifyPositions[2] = {0, 0};  // 0 and the half of the ring
  platform::SoundFormat deviceFormat{};  // what the ring holds: the device's own rate
  std::unique_ptr<Resampler> resampler;  // to the recording's rate, when the two differ
  std::vector<int16_t> converted;        // the resampler's output, one transfer at most
  uint32_t readOffset = 0;
  SoundCuts cuts;
  std::vector<POINTER_AND_SIZE> chunks;  // the track (several sources only), guarded by hMutex
  size_t releasedChunks = 0;
  uint64_t trackBytes = 0;       // what the track holds
  std::vector<int16_t> unmixed;  // the track's sound not in the mix yet
  // Placement on the picture's clock, fed in StreamToFile (between the pause cuts and the
  // conversion) and by silenceWhileLost; guarded by the cuts' lock.
  SoundClock placement{44100, 44100};  // set for the device in SetFormat
  uint64_t lostFramesSeen = 0;
  uint32_t discontinuitiesSeen = 0;
  // The device went away while recording: its sound goes on as silence until it comes back
  // (reopened on a device there again), or up to the stop.
  std::atomic<bool> lost{false};
  // It went away at least once, whether it came back or not.
  std::atomic<bool> wentAway{false};
};

class DirectSoundCapture {
 public:
  // The sources and the rate of what it records are fixed for the object's life: the default
  // capture device at 44100 Hz unless asked. Each device runs at its own rate.
  explicit DirectSoundCapture(platform::SoundSource source = platform::SoundSource::kCaptureDevice,
                              uint32_t samplesPerSecond = 44100);
  // Several sources at once, each a track of its own, the listed chunks their mix. The sources
  // that cannot be opened are left out (sourceReady says which); with one left the recording is
  // like one of that source alone.
  DirectSoundCapture(const std::vector<platform::SoundSource>& sources, uint32_t samplesPerSecond);
  ~DirectSoundCapture();
  DirectSoundCapture(const DirectSoundCapture&) = delete;
  DirectSoundCapture& operator=(const DirectSoundCapture&) = delete;

  // Reaches the default capture device and builds the ring and its notifications. False
  // without a device: the object then captures nothing, and StartWrite refuses to run.
  bool Initialise();
  bool SetFormat(SoundInput& in);
  bool CreateBuffer(SoundInput& in);
  bool SetupNotifications(SoundInput& in);

  void setMyMemoryAllocator(MyMemoryAllocator* pool);
  MyMemoryAllocator* getMyMemoryAllocator();
  // The captured chunks in capture order. Read it only after the capture loop has ended.
  std::vector<POINTER_AND_SIZE>* getDataList();
  // The chunk list while the loop runs (a streaming writer): its length and one chunk, and
  // giving the chunks before `end` back to the pool once they are written (their pointers
  // become null).
  size_t chunkCount();
  POINTER_AND_SIZE chunkAt(size_t index);
  void releaseChunks(size_t end);

  void setTerminated(bool value);
  bool getTerminated();
  void setDone(bool value);
  bool getDone();

  // Starts the device and runs the capture loop until it ends. False when nothing ran: no
  // device, the device did not start, or a stop came first.
  bool StartWrite();
  void Run();
  bool StreamToFile();
  // Stops a running capture and waits for its loop to end, then completes the WAV header.
  // False when no capture was running; a capture that has not started yet will not start.
  bool StopWrite();
  WavWriteResult SaveToWavFile(const char* path);
  // The track's sound as a WAV file of its own.
  WavWriteResult SaveTrackToWavFile(size_t track, const char* path);
  bool Release();

  // The tracks: none when the recording has one source (its sound is the listed chunks), else
  // one per source in the order asked for. Track t is number t + 1 in the container.
  size_t trackCount() const { return tracks.size(); }
  platform::SoundSource trackSource(size_t track) const { return tracks[track]->source; }
  // The system's names of the devices the track recorded from, in order (empty: not said).
  std::vector<std::string> trackDeviceNames(size_t track) const {
    return tracks[track]->buffer.deviceNames();
  }
  // The track's chunks, as chunkCount, chunkAt and releaseChunks do for the mix.
  size_t trackChunkCount(size_t track);
  POINTER_AND_SIZE trackChunkAt(size_t track, size_t index);
  void releaseTrackChunks(size_t track, size_t end);
  // After the capture loop has ended.
  const std::vector<POINTER_AND_SIZE>& trackChunks(size_t track) const {
    return tracks[track]->chunks;
  }
  // Whether a source asked for is open, and why not.
  bool sourceAsked(platform::SoundSource source) const;
  bool sourceReady(platform::SoundSource source) const;
  bool sourceLoopbackUnavailable(platform::SoundSource source) const;
  bool sourceFormatRefused(platform::SoundSource source) const;
  // An open source whose device went away while recording: silence from then on.
  bool sourceLost(platform::SoundSource source) const;
  // An open source whose device went away at some moment of the recording, back since or not.
  bool sourceWentAway(platform::SoundSource source) const;
  // The system's names of the devices an open source recorded from, in order.
  std::vector<std::string> sourceDeviceNames(platform::SoundSource source) const;

  // The header as it stands: lengths completed by StopWrite, zero before.
  const uint8_t* getWavHeader() const { return wavHeader; }
  uint64_t getCapturedBytes() const { return capturedBytes; }
  // Tests: the sound counted as if this much had been captured before the start.
  void countFromForTests(uint64_t bytes) { countStart = bytes; }
  bool hasDevice() const { return deviceReady; }
  // Without a device because the system cannot capture what its output plays (any source
  // asked for).
  bool loopbackUnavailable() const;
  bool formatRefused() const;
  // True while the capture loop runs.
  bool isCapturing();
  // Sound the device holds beyond what has been taken: 0 after a stop whose last transfer
  // reached the device's final position. Read it only after the capture loop has ended.
  uint32_t unreadBytes();
  // Pause (true) or resume (false) now: the sound is cut at the device's present position, not
  // at the next transfer. Callable from any thread, before, during and after the capture.
  void cutSound(bool pausing);
  // The sound kept so far, up to the device's present position: what the host's counts show.
  uint64_t liveSoundBytes();

 private:
  void setHeaderLengths(uint32_t dataLength);
  // Stops the device once; a second caller waits for the first's stop to be complete.
  void stopDevice();
  // StreamToFile of every source, with the pauses' cuts kept in step with the sound taken;
  // `last` after the stop: the mix takes what only some tracks hold.
  bool transfer(bool last = false);
  // One source's transfer: its pieces converted to the recording's rate, cut by the pauses,
  // listed (as the sound, or as its track). False when the pool had no room.
  bool StreamToFile(SoundInput& in);
  // `n` bytes of the ring from where the loop stands, the last frame of them recorded at
  // `recordedAt` on the frame clock, placed after what the device said it lost before them.
  bool takeSound(SoundInput& in, uint32_t n, double recordedAt, uint64_t lostFrames,
                 bool discontinuity);
  // The pieces of one transfer, at the device's rate, converted to the recording's in new
  // pool chunks (the old ones go back). False when the pool had no room.
  bool convertPieces(SoundInput& in, POINTER_AND_SIZE pieces[2], bool room);
  // Lists the pieces as the source's sound: its track with several sources, else the sound.
  void listPieces(SoundInput& in, const POINTER_AND_SIZE* pieces, size_t count);
  // Lists `frames` frames of silence at the recording's rate as the source's sound, in chunks
  // of a second at most. False when the pool had no room.
  bool listSilence(SoundInput& in, uint64_t frames);
  // The source delivers nothing (gone, or silent at the stop): silence from where its sound
  // ended up to `until` on the frame clock, or to the stop once there is one. Under its cuts'
  // lock.
  bool silenceWhileLost(SoundInput& in, double until);
  // The open source that paces the loop: the first whose device is still there.
  SoundInput* pacingInput();
  // Lists as the sound what every track holds beyond the mix so far: their saturating sum.
  // With `all`, up to the longest track, the shorter ones counting as silence. False when the
  // pool had no room.
  bool mixTracks(bool all);
  bool multiTrack() const { return !tracks.empty(); }

  double transferClock = 0;      // the frame clock as the transfer began
  bool closingTransfer = false;  // a transfer after the stop: what is short of it goes after
  // The frame clock when the stop was asked for: the sound ends there.
  std::atomic<double> stopFrameClock{-1.0};

  std::vector<std::unique_ptr<SoundInput>> asked;  // every source asked for, open or not
  std::vector<SoundInput*> inputs;                 // the open ones; the first paces the loop
  std::vector<SoundInput*> tracks;                 // the open ones when several, else none
  platform::SoundFormat waveFormat;                // what the recording holds
  std::atomic<uint64_t> capturedBytes;             // read live by the host's counts; hours of sound
  uint64_t countStart = 0;
  bool isDone;
  bool isTerminated;
  bool isWriting;
  bool deviceReady;
  uint8_t wavHeader[kWavHeaderSize];
  platform::Mutex hMutex;  // guards isDone, isTerminated, the start of the loop, dataList's growth
  // Held through the device's one stop, which the loop (ending by itself) and StopWrite may
  // both ask for at once.
  platform::Mutex hMutex_device;
  bool deviceStopped;
  MyMemoryAllocator* allocator;  // not owned
  std::vector<POINTER_AND_SIZE> dataList;
  size_t releasedChunks = 0;
};

extern DirectSoundCapture* dsc;

// The name of a source's track in file names and listings: "mic" or "desktop".
const char* trackName(platform::SoundSource source);
// Where a track's WAV file goes beside the mix's: NAME.mic.wav for NAME.wav (any other path
// gets the suffix added).
std::string trackWavPath(const std::string& wavPath, platform::SoundSource source);

}  // namespace quorvane_capture

#endif
