// Sound through WASAPI's shared mode, in the endpoint's own mix format, into the same looping
// ring shape as the DirectSound capture buffer: a thread of its own takes the packets, converts
// them to the ring's 16-bit PCM and fills with silence what the endpoint does not deliver. Two
// flows: what the default render endpoint plays (loopback; DirectSound has none), and the default
// capture endpoint (the microphone), taken unconverted where DirectSound would have the system
// convert it. Either follows its default: when the system names a new one (or the one in use
// goes away and another is there), the pump moves to it.
#ifndef QUORVANE_WASAPI_STREAM_H
#define QUORVANE_WASAPI_STREAM_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sound_capture.h"
#include "sound_ring.h"

struct IMMDevice;
struct IMMDeviceEnumerator;
struct IAudioClient;
struct IAudioCaptureClient;

namespace quorvane_capture {
namespace platform {

class DefaultEndpointWatch;

class WasapiStream {
 public:
  enum class Flow {
    kOutputLoopback,  // what the default output (render endpoint) plays
    kCaptureDevice    // the default capture endpoint
  };

  explicit WasapiStream(Flow flow) : flow_(flow) {}
  ~WasapiStream();
  WasapiStream(const WasapiStream&) = delete;
  WasapiStream& operator=(const WasapiStream&) = delete;

  // Reaches the flow's default endpoint and sets up shared-mode capture of its own mix (float or
  // 16-bit, at the mix's rate), which the pump makes the given 16-bit stereo of. False on
  // failure; *noLoopback then tells whether an output was there but could not be captured,
  // *formatRefused whether the endpoint was there but its mix is in no form the pump takes.
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
  // The friendly names of the endpoints recorded from, in order (one more after each move to
  // another endpoint). Any thread.
  std::vector<std::string> deviceNames() const {
    std::lock_guard<std::mutex> lock(namesMutex_);
    return names_;
  }
  void close();

 private:
  void pump();
  void takePackets();
  // The default endpoint's client, capture service and format facts, set up on device_.
  bool activate(bool* noLoopback, bool* formatRefused);
  // Notes device_'s name when it is another endpoint than the last one recorded from.
  void noteDevice();
  // After the system said the flow's default changed: whether it is now another endpoint than
  // the one recorded from.
  bool defaultMoved();
  // Moves to the system's present default endpoint of the flow (the old one changed or went
  // away), at the same mix rate. False when there is none to move to.
  bool reopen();

  const Flow flow_;
  IMMDeviceEnumerator* enumerator_ = nullptr;
  IMMDevice* device_ = nullptr;
  // Raises defaultChanged_ when the flow's default changes; registered from open to close.
  DefaultEndpointWatch* watch_ = nullptr;
  std::atomic<bool> defaultChanged_{false};
  IAudioClient* client_ = nullptr;
  IAudioCaptureClient* capture_ = nullptr;
  bool comInitialized_ = false;
  // How the endpoint's frames become the ring's: from the endpoint's mix of sourceChannels_
  // float (32-bit) or 16-bit samples.
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
  // The endpoints recorded from: their ids (the pump's only) and friendly names (any thread).
  std::wstring lastEndpointId_;
  mutable std::mutex namesMutex_;
  std::vector<std::string> names_;
  bool counted_ = false;  // in wasapiStreamsOpen
};

// Whether the capture device is taken through WASAPI (the default) or through DirectSound, the
// fall-back where WASAPI capture cannot be opened. For comparing the two paths; takes effect at
// the next openDevice.
void setWasapiCapture(bool allowed);
bool wasapiCaptureAllowed();
// How many WASAPI streams are open now (the loopback and the capture device each count).
int wasapiStreamsOpen();
// A device name as the system gives it (UTF-16) in UTF-8; empty for an empty or bad one.
std::string wideToUtf8(const wchar_t* text);

}  // namespace platform
}  // namespace quorvane_capture

#endif
