// What the default render endpoint plays, captured through WASAPI loopback (DirectSound has no
// loopback) into the same looping ring shape as the DirectSound capture buffer: a thread of its
// own takes the packets, converts them to the ring's 16-bit PCM and fills with silence what the
// endpoint does not deliver while nothing plays. It follows the default output: when the system
// names a new one (or the one in use goes away and another is there), the pump moves to it.
#ifndef QUORVANE_WASAPI_LOOPBACK_H
#define QUORVANE_WASAPI_LOOPBACK_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>

#include "sound_capture.h"
#include "sound_ring.h"

struct IMMDevice;
struct IMMDeviceEnumerator;
struct IAudioClient;
struct IAudioCaptureClient;

namespace quorvane_capture {
namespace platform {

class DefaultOutputWatch;

class WasapiLoopback {
 public:
  WasapiLoopback() = default;
  ~WasapiLoopback();
  WasapiLoopback(const WasapiLoopback&) = delete;
  WasapiLoopback& operator=(const WasapiLoopback&) = delete;

  // Reaches the default render endpoint and sets up loopback capture in the given format
  // (converted by the system where it can, else from the endpoint's own float or 16-bit mix at
  // the same rate). False on failure; *noLoopback then tells whether an endpoint was there but
  // could not be captured, *formatRefused whether it was there but took neither format.
  bool open(const SoundFormat& format, bool* noLoopback, bool* formatRefused);
  bool createBuffer(const SoundFormat& format, uint32_t bufferBytes);
  bool setupNotifications(const uint32_t positions[2]) { return ring_.setPositions(positions); }
  bool ready() const { return client_ != nullptr && ring_.ready(); }

  bool start();
  void stop();
  bool readPosition(uint32_t* position) { return ring_.readPosition(position); }
  bool readTiming(SoundTiming* t) {
    return ring_.readTiming(&t->position, &t->ageMilliseconds, &t->lostFrames, &t->discontinuities);
  }
  bool lock(uint32_t offset, uint32_t bytes, void** region1, uint32_t* bytes1, void** region2,
            uint32_t* bytes2) {
    return ring_.lock(offset, bytes, region1, bytes1, region2, bytes2);
  }
  void unlock() { ring_.unlock(); }
  int waitNotification() { return ring_.wait(std::chrono::milliseconds(0)); }
  void signalFirst() { ring_.raise(0); }
  bool deviceLost() const { return lost_.load(); }
  // The mix's rate, which the ring takes unconverted; known once open.
  bool nativeRate(uint32_t* samplesPerSecond) const {
    if (mixRate_ == 0) return false;
    *samplesPerSecond = mixRate_;
    return true;
  }
  void close();

 private:
  void pump();
  void takePackets();
  // The default endpoint's client, capture service and format facts, set up on device_.
  bool activate(bool* noLoopback, bool* formatRefused);
  // Moves to the system's present default output (the old one changed or went away), at the
  // same mix rate. False when there is none to move to.
  bool reopen();

  IMMDeviceEnumerator* enumerator_ = nullptr;
  IMMDevice* device_ = nullptr;
  // Raises defaultChanged_ when the default output changes; registered from open to close.
  DefaultOutputWatch* watch_ = nullptr;
  std::atomic<bool> defaultChanged_{false};
  IAudioClient* client_ = nullptr;
  IAudioCaptureClient* capture_ = nullptr;
  bool comInitialized_ = false;
  // How the endpoint's frames become the ring's: as they are (the system converts), or from the
  // endpoint's mix of sourceChannels_ float (32-bit) or 16-bit samples.
  bool converted_ = false;
  bool floatSamples_ = false;
  uint32_t sourceChannels_ = 2;
  uint32_t mixRate_ = 0;
  uint32_t sourceFrameBytes_ = 4;
  // The endpoint's position after the last packet taken, to see it jump.
  uint64_t nextDevicePosition_ = 0;
  bool positionKnown_ = false;
  SoundRing ring_;
  std::thread thread_;
  std::atomic<bool> pumping_{false};
  std::atomic<bool> lost_{false};
  // Held through a stop: two stops at once (a fault in the library and the host's stop) must
  // not both join the pump.
  std::mutex stopMutex_;
};

}  // namespace platform
}  // namespace quorvane_capture

#endif
