// Sound capture on Windows: WASAPI behind the ring's calls, in the endpoint's own mix, for the
// default capture device and for what the output plays (loopback). Where WASAPI capture cannot
// be opened (a system without it, an endpoint whose mix it cannot take), the capture device
// falls back to a DirectSound capture buffer on the default capture device, with two position
// notifications delivered through auto-reset events; it records the same way then, only with
// the system converting and without following a new default device.
#include <dsound.h>
#include <mmsystem.h>
#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "sound_capture.h"
#include "wasapi_stream.h"

namespace quorvane_capture {
namespace platform {

struct SoundCaptureBuffer::Impl {
  IDirectSoundCapture8* captureDevice = nullptr;
  IDirectSoundCaptureBuffer* captureBuffer = nullptr;
  IDirectSoundNotify* notify = nullptr;
  HANDLE notifyEvents[2] = {nullptr, nullptr};
  DSBPOSITIONNOTIFY notifyPositions[2] = {};
  WAVEFORMATEX waveFormat = {};
  DSCBUFFERDESC bufferDesc = {};
  bool ready = false;
  // WASAPI instead of DirectSound: the output's mix, or the capture device where it opens.
  std::unique_ptr<WasapiStream> wasapi;
  bool loopbackMissing = false;
  // The capture buffer stopped answering (the device was unplugged or its driver went away).
  std::atomic<bool> lost{false};
  bool loopbackFormatRefused = false;
  uint32_t deviceRate = 0;  // the rate the device records stereo 16-bit at by itself, 0: unknown
  // The names of the devices recorded from, kept past close; under namesMutex, which also
  // keeps `wasapi` from going while its names are asked for.
  mutable std::mutex namesMutex;
  std::vector<std::string> names;
};

namespace {

struct NameSearch {
  GUID device;
  std::string name;
};

BOOL CALLBACK findDescription(LPGUID guid, LPCWSTR description, LPCWSTR, LPVOID context) {
  auto* search = static_cast<NameSearch*>(context);
  if (guid == nullptr || description == nullptr || !IsEqualGUID(*guid, search->device)) {
    return TRUE;
  }
  search->name = wideToUtf8(description);
  return FALSE;
}

// The description DirectSound lists the default capture device under; empty when it does not
// say which one that is.
std::string defaultCaptureName() {
  NameSearch search{};
  if (FAILED(GetDeviceID(&DSDEVID_DefaultCapture, &search.device))) return std::string();
  DirectSoundCaptureEnumerateW(findDescription, &search);
  return search.name;
}

}  // namespace

SoundCaptureBuffer::SoundCaptureBuffer() : impl_(new Impl) {}

SoundCaptureBuffer::~SoundCaptureBuffer() {
  close();
  delete impl_;
}

bool SoundCaptureBuffer::openDevice(SoundSource source) {
  if (impl_->captureDevice != nullptr || impl_->wasapi != nullptr) return false;
  if (source == SoundSource::kNone) return false;
  const SoundFormat format{1, 2, 44100, 176400, 4, 16};
  if (source == SoundSource::kOutputMix) {
    std::unique_ptr<WasapiStream> loopback(new WasapiStream(WasapiStream::Flow::kOutputLoopback));
    if (!loopback->open(format, &impl_->loopbackMissing, &impl_->loopbackFormatRefused)) {
      return false;
    }
    std::lock_guard<std::mutex> lock(impl_->namesMutex);
    impl_->names.clear();
    impl_->wasapi = std::move(loopback);
    return true;
  }
  if (wasapiCaptureAllowed()) {
    std::unique_ptr<WasapiStream> capture(new WasapiStream(WasapiStream::Flow::kCaptureDevice));
    bool unused = false, refused = false;
    if (capture->open(format, &unused, &refused)) {
      std::lock_guard<std::mutex> lock(impl_->namesMutex);
      impl_->names.clear();
      impl_->wasapi = std::move(capture);
      return true;
    }
    // DirectSound then, which converts whatever the device has.
  }
  // Null device: the system's default capture device.
  if (DirectSoundCaptureCreate8(nullptr, &impl_->captureDevice, nullptr) != DS_OK) {
    impl_->captureDevice = nullptr;
    return false;
  }
  const std::string name = defaultCaptureName();
  std::lock_guard<std::mutex> lock(impl_->namesMutex);
  impl_->names.clear();
  if (!name.empty()) impl_->names.push_back(name);
  return true;
}

bool SoundCaptureBuffer::loopbackUnavailable() const { return impl_->loopbackMissing; }

bool SoundCaptureBuffer::formatRefused() const { return impl_->loopbackFormatRefused; }

bool SoundCaptureBuffer::queryCapabilities() {
  if (impl_->wasapi != nullptr) return true;  // the format was settled when it was opened
  if (impl_->captureDevice == nullptr) return false;
  DSCCAPS caps = {};
  caps.dwSize = sizeof(DSCCAPS);
  if (FAILED(impl_->captureDevice->GetCaps(&caps))) return false;
  // Today's devices (and the shared mix behind DirectSound) run at 48 kHz: taken at that rate,
  // the library's resampler makes the recording's rate, instead of the system's conversion.
  impl_->deviceRate = (caps.dwFormats & WAVE_FORMAT_48S16) != 0 ? 48000 : 0;
  return true;
}

bool SoundCaptureBuffer::createBuffer(const SoundFormat& format, uint32_t bufferBytes) {
  Impl& d = *impl_;
  if (d.wasapi != nullptr) return d.wasapi->createBuffer(format, bufferBytes);
  if (d.captureDevice == nullptr || d.captureBuffer != nullptr) return false;
  d.waveFormat.wFormatTag = format.formatTag;
  d.waveFormat.nChannels = format.channels;
  d.waveFormat.nSamplesPerSec = format.samplesPerSecond;
  d.waveFormat.nAvgBytesPerSec = format.averageBytesPerSecond;
  d.waveFormat.nBlockAlign = format.blockAlign;
  d.waveFormat.wBitsPerSample = format.bitsPerSample;
  d.waveFormat.cbSize = 0;
  d.bufferDesc = DSCBUFFERDESC{};
  d.bufferDesc.dwSize = sizeof(DSCBUFFERDESC);
  d.bufferDesc.dwFlags = 0;
  d.bufferDesc.dwBufferBytes = bufferBytes;
  d.bufferDesc.dwReserved = 0;
  d.bufferDesc.lpwfxFormat = &d.waveFormat;
  d.bufferDesc.dwFXCount = 0;
  d.bufferDesc.lpDSCFXDesc = nullptr;
  if (FAILED(d.captureDevice->CreateCaptureBuffer(&d.bufferDesc, &d.captureBuffer, nullptr))) {
    d.captureBuffer = nullptr;
    return false;
  }
  return true;
}

bool SoundCaptureBuffer::setupNotifications(const uint32_t positions[2]) {
  Impl& d = *impl_;
  if (d.wasapi != nullptr) return d.wasapi->setupNotifications(positions);
  if (d.captureBuffer == nullptr || d.notify != nullptr) return false;
  for (int i = 0; i < 2; ++i) {
    d.notifyEvents[i] = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (d.notifyEvents[i] == nullptr) return false;
    d.notifyPositions[i].dwOffset = positions[i];
    d.notifyPositions[i].hEventNotify = d.notifyEvents[i];
  }
  if (FAILED(d.captureBuffer->QueryInterface(IID_IDirectSoundNotify,
                                             reinterpret_cast<void**>(&d.notify)))) {
    d.notify = nullptr;
    return false;
  }
  if (FAILED(d.notify->SetNotificationPositions(2, d.notifyPositions))) {
    d.notify->Release();
    d.notify = nullptr;
    return false;
  }
  d.ready = true;
  return true;
}

bool SoundCaptureBuffer::isReady() const {
  return impl_->wasapi != nullptr ? impl_->wasapi->ready() : impl_->ready;
}

bool SoundCaptureBuffer::start() {
  if (impl_->wasapi != nullptr) return impl_->wasapi->start();
  if (!impl_->ready) return false;
  return SUCCEEDED(impl_->captureBuffer->Start(DSCBSTART_LOOPING));
}

void SoundCaptureBuffer::stop() {
  if (impl_->wasapi != nullptr) impl_->wasapi->stop();
  if (impl_->captureBuffer != nullptr) impl_->captureBuffer->Stop();
}

bool SoundCaptureBuffer::readPosition(uint32_t* position) {
  if (impl_->wasapi != nullptr) return impl_->wasapi->readPosition(position);
  if (impl_->captureBuffer == nullptr) return false;
  DWORD read = 0;
  const HRESULT result = impl_->captureBuffer->GetCurrentPosition(nullptr, &read);
  if (FAILED(result)) {
    if (result == DSERR_NODRIVER || result == DSERR_BUFFERLOST) impl_->lost = true;
    return false;
  }
  *position = read;
  return true;
}

bool SoundCaptureBuffer::readTiming(SoundTiming* timing) {
  if (impl_->wasapi != nullptr) return impl_->wasapi->readTiming(timing);
  if (impl_->captureBuffer == nullptr) return false;
  DWORD capture = 0, read = 0;
  const HRESULT result = impl_->captureBuffer->GetCurrentPosition(&capture, &read);
  if (FAILED(result)) {
    if (result == DSERR_NODRIVER || result == DSERR_BUFFERLOST) impl_->lost = true;
    return false;
  }
  // The device has recorded up to its capture position; what lies between it and the read
  // position was recorded after the frame before the read position.
  const DWORD ring = impl_->bufferDesc.dwBufferBytes;
  const DWORD ahead = ring != 0 ? (capture + ring - read) % ring : 0;
  const DWORD perSecond = impl_->waveFormat.nAvgBytesPerSec;
  *timing = SoundTiming{};
  timing->position = read;
  timing->ageMilliseconds = perSecond != 0 ? 1000.0 * ahead / perSecond : 0.0;
  return true;
}

bool SoundCaptureBuffer::lock(uint32_t offset, uint32_t bytes, void** region1, uint32_t* bytes1,
                              void** region2, uint32_t* bytes2) {
  if (impl_->wasapi != nullptr) {
    return impl_->wasapi->lock(offset, bytes, region1, bytes1, region2, bytes2);
  }
  if (impl_->captureBuffer == nullptr) return false;
  DWORD length1 = 0, length2 = 0;
  *region1 = *region2 = nullptr;
  if (FAILED(impl_->captureBuffer->Lock(offset, bytes, region1, &length1, region2, &length2, 0))) {
    return false;
  }
  *bytes1 = length1;
  *bytes2 = *region2 != nullptr ? length2 : 0;
  return true;
}

void SoundCaptureBuffer::unlock(void* region1, uint32_t bytes1, void* region2, uint32_t bytes2) {
  if (impl_->wasapi != nullptr) {
    impl_->wasapi->unlock();
    return;
  }
  if (impl_->captureBuffer != nullptr)
    impl_->captureBuffer->Unlock(region1, bytes1, region2, bytes2);
}

int SoundCaptureBuffer::waitNotification() {
  if (impl_->wasapi != nullptr) return impl_->wasapi->waitNotification();
  if (!impl_->ready) return kOtherWakeUp;
  const DWORD result =
      MsgWaitForMultipleObjects(2, impl_->notifyEvents, FALSE, INFINITE, QS_ALLINPUT);
  if (result == WAIT_OBJECT_0) return 0;
  if (result == WAIT_OBJECT_0 + 1) return 1;
  return kOtherWakeUp;
}

void SoundCaptureBuffer::signalFirst() {
  if (impl_->wasapi != nullptr) impl_->wasapi->signalFirst();
  if (impl_->notifyEvents[0] != nullptr) SetEvent(impl_->notifyEvents[0]);
}

bool SoundCaptureBuffer::nativeRate(uint32_t* samplesPerSecond) const {
  // WASAPI takes the mix as it is; DirectSound converts to any ring format, but its
  // device's own rate is taken where it says it has one.
  if (impl_->wasapi != nullptr) return impl_->wasapi->nativeRate(samplesPerSecond);
  if (impl_->deviceRate == 0) return false;
  *samplesPerSecond = impl_->deviceRate;
  return true;
}

std::vector<std::string> SoundCaptureBuffer::deviceNames() const {
  std::lock_guard<std::mutex> lock(impl_->namesMutex);
  if (impl_->wasapi != nullptr) return impl_->wasapi->deviceNames();
  return impl_->names;
}

bool SoundCaptureBuffer::deviceLost() const {
  if (impl_->wasapi != nullptr) return impl_->wasapi->deviceLost();
  return impl_->lost.load();
}

void SoundCaptureBuffer::close() {
  Impl& d = *impl_;
  stop();
  if (d.wasapi != nullptr) {
    std::vector<std::string> names = d.wasapi->deviceNames();
    std::lock_guard<std::mutex> lock(d.namesMutex);
    d.names = std::move(names);
    d.wasapi.reset();
  }
  d.ready = false;
  if (d.notify != nullptr) d.notify->Release();
  if (d.captureBuffer != nullptr) d.captureBuffer->Release();
  if (d.captureDevice != nullptr) d.captureDevice->Release();
  d.notify = nullptr;
  d.captureBuffer = nullptr;
  d.captureDevice = nullptr;
  for (HANDLE& event : d.notifyEvents) {
    if (event != nullptr) CloseHandle(event);
    event = nullptr;
  }
}

}  // namespace platform
}  // namespace quorvane_capture
