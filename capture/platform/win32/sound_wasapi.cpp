// WASAPI loopback capture of the default render endpoint.
#include <windows.h>
// After windows.h.
#include <audioclient.h>
#include <mmdeviceapi.h>
#include <mmreg.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <vector>

#include "wasapi_loopback.h"

namespace quorvane_capture {
namespace platform {
namespace {

// The format's GUIDs, spelt out: mingw-w64 declares them only with INITGUID.
const GUID kSubtypePcm = {
    0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
const GUID kSubtypeFloat = {
    0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

constexpr REFERENCE_TIME kBufferDuration = 10000000;  // one second, in 100 ns units
constexpr auto kPumpPeriod = std::chrono::milliseconds(10);
// The endpoint delivers no packets while nothing plays: silence goes in once the stream is this
// far behind the clock.
constexpr auto kGapTolerance = std::chrono::milliseconds(100);
constexpr auto kStopWait = std::chrono::milliseconds(2000);

template <typename T>
void releaseInterface(T*& p) {
  if (p != nullptr) p->Release();
  p = nullptr;
}

int16_t toSample(float v) {
  const float scaled = std::nearbyint(std::max(-1.0f, std::min(1.0f, v)) * 32767.0f);
  return static_cast<int16_t>(scaled);
}

}  // namespace

WasapiLoopback::~WasapiLoopback() { close(); }

// Told by the system when the default output changes (headphones plugged in, a Bluetooth set
// connecting): the pump then moves to the new default. Lives from open to close; the system
// calls it on threads of its own, so it only raises a flag.
class DefaultOutputWatch : public IMMNotificationClient {
 public:
  explicit DefaultOutputWatch(std::atomic<bool>* changed) : changed_(changed) {}
  virtual ~DefaultOutputWatch() = default;
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, __uuidof(IMMNotificationClient))) {
      *out = static_cast<IMMNotificationClient*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow flow, ERole role, LPCWSTR) override {
    if (flow == eRender && role == eConsole) *changed_ = true;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR, DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR, const PROPERTYKEY) override {
    return S_OK;
  }

 private:
  std::atomic<ULONG> references_{1};
  std::atomic<bool>* changed_;
};

bool WasapiLoopback::open(const SoundFormat& format, bool* noLoopback, bool* formatRefused) {
  *noLoopback = false;
  *formatRefused = false;
  if (client_ != nullptr || format.formatTag != 1 || format.bitsPerSample != 16 ||
      format.channels != 2) {
    return false;
  }
  const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  comInitialized_ = SUCCEEDED(com);  // a thread already in another apartment is fine as it is
  if (FAILED(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                              __uuidof(IMMDeviceEnumerator),
                              reinterpret_cast<void**>(&enumerator_)))) {
    enumerator_ = nullptr;
    close();
    return false;
  }
  if (!activate(noLoopback, formatRefused)) {
    close();
    return false;
  }
  watch_ = new DefaultOutputWatch(&defaultChanged_);
  if (FAILED(enumerator_->RegisterEndpointNotificationCallback(watch_))) {
    // Recorded all the same, only without following a new default.
    watch_->Release();
    watch_ = nullptr;
  }
  return true;
}

bool WasapiLoopback::activate(bool* noLoopback, bool* formatRefused) {
  *noLoopback = false;
  *formatRefused = false;
  const HRESULT found = enumerator_->GetDefaultAudioEndpoint(eRender, eConsole, &device_);
  if (FAILED(found) || FAILED(device_->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr,
                                                reinterpret_cast<void**>(&client_)))) {
    return false;
  }

  // The endpoint's mix as it is (usually 48 kHz float): the system's own conversion for
  // loopback (AUTOCONVERTPCM) is undocumented, silent on some devices and rings on others. The
  // pump makes 16-bit stereo of it at the mix's rate, and the library converts the rate.
  WAVEFORMATEX* mix = nullptr;
  if (FAILED(client_->GetMixFormat(&mix)) || mix == nullptr) return false;
  bool usable = mix->nSamplesPerSec >= 8000 && mix->nSamplesPerSec <= 384000 && mix->nChannels >= 1;
  // A new default must run at the rate the recording was set up for.
  if (mixRate_ != 0 && mix->nSamplesPerSec != mixRate_) usable = false;
  floatSamples_ = mix->wFormatTag == WAVE_FORMAT_IEEE_FLOAT && mix->wBitsPerSample == 32;
  bool pcm16 = mix->wFormatTag == WAVE_FORMAT_PCM && mix->wBitsPerSample == 16;
  if (mix->wFormatTag == WAVE_FORMAT_EXTENSIBLE && mix->cbSize >= 22) {
    const auto* extensible = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(mix);
    floatSamples_ = IsEqualGUID(extensible->SubFormat, kSubtypeFloat) && mix->wBitsPerSample == 32;
    pcm16 = IsEqualGUID(extensible->SubFormat, kSubtypePcm) && mix->wBitsPerSample == 16;
  }
  usable = usable && (floatSamples_ || pcm16);
  sourceChannels_ = mix->nChannels;
  sourceFrameBytes_ = mix->nBlockAlign;
  mixRate_ = mix->nSamplesPerSec;
  HRESULT initialized = E_FAIL;
  if (usable) {
    initialized = client_->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_LOOPBACK,
                                      kBufferDuration, 0, mix, nullptr);
  }
  CoTaskMemFree(mix);
  if (!usable || FAILED(initialized)) {
    *formatRefused = !usable || initialized == AUDCLNT_E_UNSUPPORTED_FORMAT;
    return false;
  }
  converted_ = true;
  // Systems without loopback capture refuse here (AUDCLNT_E_WRONG_ENDPOINT_TYPE).
  if (FAILED(client_->GetService(__uuidof(IAudioCaptureClient),
                                 reinterpret_cast<void**>(&capture_)))) {
    *noLoopback = true;
    return false;
  }
  return true;
}

bool WasapiLoopback::reopen() {
  // On the pump's thread, the only one that uses the client while it runs.
  if (client_ != nullptr) client_->Stop();
  releaseInterface(capture_);
  releaseInterface(client_);
  releaseInterface(device_);
  positionKnown_ = false;
  bool noLoopback = false, refused = false;
  if (enumerator_ == nullptr || !activate(&noLoopback, &refused) || FAILED(client_->Start())) {
    releaseInterface(capture_);
    releaseInterface(client_);
    releaseInterface(device_);
    return false;
  }
  // What played while the endpoints changed is not known: the clock fills the gap.
  ring_.noteLost(0);
  return true;
}

bool WasapiLoopback::createBuffer(const SoundFormat& format, uint32_t bufferBytes) {
  if (capture_ == nullptr || bufferBytes == 0 || bufferBytes % format.blockAlign != 0 ||
      format.samplesPerSecond != mixRate_) {
    return false;
  }
  ring_.create(bufferBytes, format.averageBytesPerSecond, format.blockAlign);
  return true;
}

bool WasapiLoopback::start() {
  if (!ready() || pumping_) return false;
  ring_.begin();
  if (FAILED(client_->Start())) {
    ring_.abandon();
    return false;
  }
  pumping_ = true;
  lost_ = false;
  positionKnown_ = false;
  thread_ = std::thread([this] { pump(); });
  return true;
}

void WasapiLoopback::pump() {
  const bool com = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  while (pumping_) {
    if (defaultChanged_.exchange(false) && !reopen()) {
      lost_ = true;
      ring_.abandon();
      ring_.raise(0);
    }
    if (lost_) break;
    takePackets();
    ring_.fillGap(kGapTolerance, std::chrono::milliseconds(0));
    std::this_thread::sleep_for(kPumpPeriod);
  }
  if (com) CoUninitialize();
}

void WasapiLoopback::takePackets() {
  std::vector<int16_t> converted;
  UINT32 packet = 0;
  for (;;) {
    const HRESULT size = capture_->GetNextPacketSize(&packet);
    if (size == AUDCLNT_E_DEVICE_INVALIDATED || size == AUDCLNT_E_SERVICE_NOT_RUNNING) {
      // The endpoint is gone (unplugged, disabled, the audio service ended): the new default
      // takes its place where there is one; otherwise no more sound.
      if (size == AUDCLNT_E_DEVICE_INVALIDATED && reopen()) return;
      lost_ = true;
      ring_.abandon();
      ring_.raise(0);
      return;
    }
    if (FAILED(size) || packet == 0) break;
    BYTE* data = nullptr;
    UINT32 frames = 0;
    DWORD flags = 0;
    UINT64 devicePosition = 0;
    UINT64 qpcPosition = 0;  // when the packet's first frame was recorded, in 100 ns units
    if (FAILED(capture_->GetBuffer(&data, &frames, &flags, &devicePosition, &qpcPosition))) return;
    // The device's own account: a position that jumped says how much went missing, the flag
    // that something did.
    if (positionKnown_ && devicePosition > nextDevicePosition_) {
      ring_.noteLost(devicePosition - nextDevicePosition_);
    } else if ((flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY) != 0 && positionKnown_) {
      ring_.noteLost(0);
    }
    nextDevicePosition_ = devicePosition + frames;
    positionKnown_ = true;
    // How long ago the packet's last frame was recorded, on the performance counter that the
    // system's clocks (and so the frame clock) run on.
    std::chrono::steady_clock::duration age{};
    LARGE_INTEGER now{}, frequency{};
    if (qpcPosition != 0 && QueryPerformanceCounter(&now) &&
        QueryPerformanceFrequency(&frequency) && frequency.QuadPart > 0) {
      const double nowUnits = static_cast<double>(now.QuadPart) * 1e7 / frequency.QuadPart;
      const double lastFrame = static_cast<double>(qpcPosition) + frames * 1e7 / mixRate_;
      age = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
          std::chrono::duration<double>(std::max(0.0, (nowUnits - lastFrame) / 1e7)));
    }
    if ((flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0 || data == nullptr) {
      ring_.append(nullptr, static_cast<size_t>(frames) * 4, age);
    } else if (!converted_) {
      ring_.append(data, static_cast<size_t>(frames) * 4, age);
    } else {
      // The first two channels (one channel twice), as 16-bit samples.
      converted.resize(static_cast<size_t>(frames) * 2);
      for (UINT32 i = 0; i < frames; ++i) {
        const BYTE* frame = data + static_cast<size_t>(i) * sourceFrameBytes_;
        for (uint32_t c = 0; c < 2; ++c) {
          const uint32_t channel = sourceChannels_ >= 2 ? c : 0;
          if (floatSamples_) {
            float v;
            std::memcpy(&v, frame + channel * 4, 4);
            converted[2 * i + c] = toSample(v);
          } else {
            std::memcpy(&converted[2 * i + c], frame + channel * 2, 2);
          }
        }
      }
      ring_.append(reinterpret_cast<const uint8_t*>(converted.data()),
                   converted.size() * sizeof(int16_t), age);
    }
    capture_->ReleaseBuffer(frames);
  }
}

void WasapiLoopback::stop() {
  std::lock_guard<std::mutex> lock(stopMutex_);
  if (!pumping_) return;
  // The pump goes on until the sound reaches the stop's moment (silence where nothing played).
  ring_.end(kStopWait);
  pumping_ = false;
  if (thread_.joinable()) thread_.join();
  if (client_ != nullptr) client_->Stop();
}

void WasapiLoopback::close() {
  stop();
  if (watch_ != nullptr && enumerator_ != nullptr) {
    // No call comes after this returns.
    enumerator_->UnregisterEndpointNotificationCallback(watch_);
  }
  if (watch_ != nullptr) watch_->Release();
  watch_ = nullptr;
  releaseInterface(capture_);
  releaseInterface(client_);
  releaseInterface(device_);
  releaseInterface(enumerator_);
  ring_.release();
  if (comInitialized_) CoUninitialize();
  comInitialized_ = false;
  converted_ = false;
}

}  // namespace platform
}  // namespace quorvane_capture
