// The recording's sound: the default capture device fills a one-second ring; every half second
// the audio capture thread moves what arrived into pool memory and lists the chunk. After the
// stop the chunks are written to a WAV file and into the container.
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

class DirectSoundCapture {
 public:
  // The source and the rate of what it records are fixed for the object's life: the default
  // capture device at 44100 Hz unless asked. The device itself runs at its own rate.
  explicit DirectSoundCapture(platform::SoundSource source = platform::SoundSource::kCaptureDevice,
                              uint32_t samplesPerSecond = 44100);
  ~DirectSoundCapture();
  DirectSoundCapture(const DirectSoundCapture&) = delete;
  DirectSoundCapture& operator=(const DirectSoundCapture&) = delete;

  // Reaches the default capture device and builds the ring and its notifications. False
  // without a device: the object then captures nothing, and StartWrite refuses to run.
  bool Initialise();
  bool SetFormat();
  bool CreateBuffer();
  bool SetupNotifications();

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
  bool Release();

  // The header as it stands: lengths completed by StopWrite, zero before.
  const uint8_t* getWavHeader() const { return wavHeader; }
  uint64_t getCapturedBytes() const { return capturedBytes; }
  // Tests: the sound counted as if this much had been captured before the start.
  void countFromForTests(uint64_t bytes) { countStart = bytes; }
  bool hasDevice() const { return deviceReady; }
  // Without a device because the system cannot capture what its output plays.
  bool loopbackUnavailable() const { return captureBuffer.loopbackUnavailable(); }
  bool formatRefused() const { return captureBuffer.formatRefused(); }
  // The device went away while recording: the sound goes on as silence up to the stop.
  bool deviceWasLost() const { return lost.load(); }
  // How far the sound placed so far lies from the picture (ms) and the device's measured rate.
  double soundOffsetMilliseconds();
  double measuredDeviceRate();
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
  // StreamToFile, with the pauses' cuts kept in step with the sound it took.
  bool transfer();
  // The pieces of one transfer, at the device's rate, converted to the recording's in new
  // pool chunks (the old ones go back). False when the pool had no room.
  bool convertPieces(POINTER_AND_SIZE pieces[2], bool room);
  // Lists `frames` frames of silence at the recording's rate, in chunks of a second at most.
  // False when the pool had no room.
  bool listSilence(uint64_t frames);
  // The device is gone: silence from where its sound ended up to now (the frame clock), and
  // then up to the stop.
  bool silenceWhileLost();

  // --- Placement on the picture's clock: one SoundClock per device buffer. It is fed in
  // StreamToFile (the hook between the pause cuts and the conversion) and by silenceWhileLost.
  SoundClock placement{44100, 44100};  // set for the device in SetFormat
  uint64_t lostFramesSeen = 0;
  uint32_t discontinuitiesSeen = 0;
  std::atomic<bool> lost{false};
  double transferClock = 0;  // the frame clock as the transfer began
  // The frame clock when the stop was asked for: the sound ends there.
  std::atomic<double> stopFrameClock{-1.0};

  // Stands for the device, the capture buffer, the notification interface and the two events.
  platform::SoundCaptureBuffer captureBuffer;
  platform::SoundSource source;
  uint32_t bufferBytes;                  // one second of sound
  uint32_t notifyPositions[2];           // 0 and the half of the ring
  platform::SoundFormat waveFormat;      // what the recording holds
  platform::SoundFormat deviceFormat;    // what the ring holds: the device's own rate
  std::unique_ptr<Resampler> resampler;  // between the two, when their rates differ
  std::vector<int16_t> converted;        // the resampler's output, one transfer at most
  std::atomic<uint64_t> capturedBytes;   // read live by the host's counts; hours of sound
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
  uint32_t readOffset;
  MyMemoryAllocator* allocator;  // not owned
  std::vector<POINTER_AND_SIZE> dataList;
  size_t releasedChunks = 0;
  SoundCuts cuts;
};

extern DirectSoundCapture* dsc;

}  // namespace quorvane_capture

#endif
