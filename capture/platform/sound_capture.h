// Sound capture from the system's default capture device (or what its default output plays) into
// a looping ring buffer, in the shape the audio object drives: the device fills the ring without
// end, two notification positions wake the reader, and the reader locks the range it wants to
// take. Windows: WASAPI (loopback for the output; DirectSound where WASAPI capture cannot be
// opened). Linux: a PulseAudio record stream on the default source (the default sink's monitor
// for the output) that the backend copies into a ring of its own. What the output plays is silence while nothing plays, even
// where the system delivers nothing then.
#ifndef QUORVANE_SOUND_CAPTURE_H
#define QUORVANE_SOUND_CAPTURE_H

#include <cstdint>
#include <string>
#include <vector>

namespace quorvane_capture {
namespace platform {

// Where the sound comes from.
enum class SoundSource {
  kCaptureDevice,  // the system's default capture device
  kOutputMix,      // what the default output device plays (loopback)
  kNone            // no sound: nothing is opened
};

// The PCM format of the ring, as in a WAVEFORMATEX.
struct SoundFormat {
  uint16_t formatTag;  // 1: PCM
  uint16_t channels;
  uint32_t samplesPerSecond;
  uint32_t averageBytesPerSecond;
  uint16_t blockAlign;
  uint16_t bitsPerSample;
};

// What readTiming gives.
struct SoundTiming {
  uint32_t position = 0;
  double ageMilliseconds = 0;
  uint64_t lostFrames = 0;
  uint32_t discontinuities = 0;
  // Where the last of the discontinuities happened: this many bytes of the ring before
  // `position`. UINT32_MAX where the system does not say (the break is then taken to lie before
  // everything not read yet).
  uint32_t bytesAfterBreak = UINT32_MAX;
};

// Set-up runs in four steps so that the caller can tell which one failed: openDevice,
// queryCapabilities, createBuffer, setupNotifications. Every call is safe on an object whose
// set-up failed or that was never opened: it fails or does nothing. close() is idempotent.
class SoundCaptureBuffer {
 public:
  // What waitNotification returns when it woke for something other than a notification.
  static constexpr int kOtherWakeUp = 2;

  SoundCaptureBuffer();
  ~SoundCaptureBuffer();
  SoundCaptureBuffer(const SoundCaptureBuffer&) = delete;
  SoundCaptureBuffer& operator=(const SoundCaptureBuffer&) = delete;

  // Reaches the source's device. Bounded: without a sound server it fails within about a second
  // instead of waiting for one.
  bool openDevice(SoundSource source = SoundSource::kCaptureDevice);
  // After a failed openDevice for the output mix: the system has a device but offers no way to
  // capture what it plays.
  bool loopbackUnavailable() const;
  // After a failed set-up: the device is there but refused the format the library asked for
  // (Windows: the output's mix is in a rate or sample type the loopback cannot take).
  bool formatRefused() const;
  // Asks the device for its capabilities; false when it cannot answer (no default source).
  bool queryCapabilities();
  // After queryCapabilities: the rate the device records at by itself, for a ring that takes its
  // sound unconverted. False when the system does not say (the ring's rate is then converted by
  // the system).
  bool nativeRate(uint32_t* samplesPerSecond) const;
  // Creates the ring: bufferBytes of sound in the given format, filled in a loop once started.
  bool createBuffer(const SoundFormat& format, uint32_t bufferBytes);
  // Two auto-reset notifications, initially clear: the first is raised when the device's
  // position passes positions[0], the second when it passes positions[1].
  bool setupNotifications(const uint32_t positions[2]);
  // True once all four set-up steps have succeeded.
  bool isReady() const;

  // Starts filling the ring from offset 0, looping. False when the device does not start.
  bool start();
  // Stops filling; the position stays where the last sound was put. Harmless when stopped.
  void stop();
  // The offset in the ring up to which sound is complete and may be read.
  bool readPosition(uint32_t* position);
  // readPosition with the device's own account of the sound up to it, for placing the sound on
  // the picture's clock: how long ago (ms, on the clock of clockMilliseconds) the frame just
  // before the position was recorded; the frames the device's position says it skipped since
  // the start; and how many times it said sound was lost without saying how much. False when
  // the ring cannot be read.
  bool readTiming(SoundTiming* timing);
  // Hands out `bytes` bytes of the ring from `offset`: one region, or two when the range wraps
  // past the end (then the second starts at offset 0). The regions stay valid until unlock.
  bool lock(uint32_t offset, uint32_t bytes, void** region1, uint32_t* bytes1, void** region2,
            uint32_t* bytes2);
  void unlock(void* region1, uint32_t bytes1, void* region2, uint32_t bytes2);
  // Waits without a time-out: 0 or 1 for the notification that fired (the lower one first when
  // both did; that one is cleared), kOtherWakeUp when the wait ended for another reason
  // (Windows: input arriving for the thread).
  int waitNotification();
  // The device went away while capturing (unplugged, the sound server ended): nothing more
  // arrives until a device is there again. A waiting reader is woken when it happens. Where the
  // system can say so (Linux), the source is reopened on the new default once one appears: this
  // then says false again, and its sound goes on at the position where it stopped, the time
  // between counted as a discontinuity at that place.
  bool deviceLost() const;
  // The system's names of the devices this source recorded from, in the order it used them (a
  // second one after it followed a new default); empty where the system does not say. Safe to
  // call from any thread while capturing.
  std::vector<std::string> deviceNames() const;
  // Raises the first notification from outside, to wake a waiting reader.
  void signalFirst();
  // Stops the device and releases the notifications, the ring and the device, in this order.
  void close();

 private:
  struct Impl;
  Impl* impl_;
};

}  // namespace platform
}  // namespace quorvane_capture

#endif
