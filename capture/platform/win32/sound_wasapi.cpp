// WASAPI shared-mode capture: the default render endpoint through loopback, or the default
// capture endpoint.
#include <windows.h>
// After windows.h.
#include <audioclient.h>
#include <mmdeviceapi.h>
#include <mmreg.h>
#include <propidl.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <vector>

#include "wasapi_stream.h"

namespace quorvane_capture {
namespace platform {
namespace {

// The format's GUIDs, spelt out: mingw-w64 declares them only with INITGUID.
const GUID kSubtypePcm = {
    0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
const GUID kSubtypeFloat = {
    0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
// The endpoint's name as the system shows it ("Microphone (USB Headset)").
const PROPERTYKEY kFriendlyName = {
    {0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 14};
// Not in every SDK's headers: the system converts a capture stream to the format asked for.
constexpr DWORD kStreamAutoConvertPcm = 0x80000000;
constexpr DWORD kStreamSrcDefaultQuality = 0x08000000;

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

// The endpoint's id, empty when the system does not give it.
std::wstring endpointId(IMMDevice* device) {
  LPWSTR id = nullptr;
  if (device == nullptr || FAILED(device->GetId(&id)) || id == nullptr) return std::wstring();
  std::wstring out(id);
  CoTaskMemFree(id);
  return out;
}

// WASAPI capture set aside for DirectSound (setWasapiCapture).
std::atomic<bool> capturingRefused{false};
// The streams open now (wasapiStreamsOpen).
std::atomic<int> streamsOpen{0};

}  // namespace

std::string wideToUtf8(const wchar_t* text) {
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 1) return std::string();
  std::string out(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], bytes, nullptr, nullptr);
  out.resize(static_cast<size_t>(bytes) - 1);
  return out;
}

void setWasapiCapture(bool allowed) { capturingRefused = !allowed; }

int wasapiStreamsOpen() { return streamsOpen.load(); }

bool wasapiCaptureAllowed() { return !capturingRefused; }

WasapiStream::~WasapiStream() { close(); }

// Told by the system when the default endpoint of a flow changes (headphones plugged in, a
// Bluetooth set connecting): the pump then moves to the new default. Lives from open to close;
// the system calls it on threads of its own, so it only raises a flag.
class DefaultEndpointWatch : public IMMNotificationClient {
 public:
  DefaultEndpointWatch(EDataFlow flow, std::atomic<bool>* changed)
      : flow_(flow), changed_(changed) {}
  virtual ~DefaultEndpointWatch() = default;
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
    if (flow == flow_ && role == eConsole) *changed_ = true;
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
  const EDataFlow flow_;
  std::atomic<bool>* changed_;
};

bool WasapiStream::open(const SoundFormat& format, bool* noLoopback, bool* formatRefused) {
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
  noteDevice();
  counted_ = true;
  ++streamsOpen;
  watch_ = new DefaultEndpointWatch(flow_ == Flow::kCaptureDevice ? eCapture : eRender,
                                    &defaultChanged_);
  if (FAILED(enumerator_->RegisterEndpointNotificationCallback(watch_))) {
    // Recorded all the same, only without following a new default.
    watch_->Release();
    watch_ = nullptr;
  }
  return true;
}

bool WasapiStream::activate(bool* noLoopback, bool* formatRefused) {
  *noLoopback = false;
  *formatRefused = false;
  const bool loopback = flow_ == Flow::kOutputLoopback;
  const HRESULT found =
      enumerator_->GetDefaultAudioEndpoint(loopback ? eRender : eCapture, eConsole, &device_);
  if (FAILED(found) || FAILED(device_->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr,
                                                reinterpret_cast<void**>(&client_)))) {
    return false;
  }

  // The endpoint's mix as it is (usually 48 kHz float): the system's own conversion for
  // loopback (AUTOCONVERTPCM) is undocumented, silent on some devices and rings on others, and
  // behind DirectSound a capture device is converted no better. The pump makes 16-bit stereo of
  // it at the mix's rate, and the library converts the rate.
  WAVEFORMATEX* mix = nullptr;
  if (FAILED(client_->GetMixFormat(&mix)) || mix == nullptr) return false;
  bool usable = mix->nSamplesPerSec >= 8000 && mix->nSamplesPerSec <= 384000 && mix->nChannels >= 1;
  bool floatSamples = mix->wFormatTag == WAVE_FORMAT_IEEE_FLOAT && mix->wBitsPerSample == 32;
  bool pcm16 = mix->wFormatTag == WAVE_FORMAT_PCM && mix->wBitsPerSample == 16;
  if (mix->wFormatTag == WAVE_FORMAT_EXTENSIBLE && mix->cbSize >= 22) {
    const auto* extensible = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(mix);
    floatSamples = IsEqualGUID(extensible->SubFormat, kSubtypeFloat) && mix->wBitsPerSample == 32;
    pcm16 = IsEqualGUID(extensible->SubFormat, kSubtypePcm) && mix->wBitsPerSample == 16;
  }
  usable = usable && (floatSamples || pcm16);
  DWORD flags = loopback ? AUDCLNT_STREAMFLAGS_LOOPBACK : 0;
  const WAVEFORMATEX* asked = mix;
  WAVEFORMATEXTENSIBLE atOurRate{};
  if (usable && mixRate_ != 0 && mix->nSamplesPerSec != mixRate_) {
    // A new default must run at the rate the recording was set up for. A capture stream may
    // have the system convert it (documented there, unlike for loopback): the new device's
    // channels as float at the first device's rate.
    usable = !loopback;
    const WORD channels = static_cast<WORD>(std::min<UINT>(mix->nChannels, 2));
    atOurRate.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    atOurRate.Format.nChannels = channels;
    atOurRate.Format.nSamplesPerSec = mixRate_;
    atOurRate.Format.wBitsPerSample = 32;
    atOurRate.Format.nBlockAlign = static_cast<WORD>(channels * 4);
    atOurRate.Format.nAvgBytesPerSec = mixRate_ * channels * 4;
    atOurRate.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    atOurRate.Samples.wValidBitsPerSample = 32;
    atOurRate.dwChannelMask =
        channels == 2 ? (SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT) : SPEAKER_FRONT_CENTER;
    atOurRate.SubFormat = kSubtypeFloat;
    asked = &atOurRate.Format;
    floatSamples = true;
    flags |= kStreamAutoConvertPcm | kStreamSrcDefaultQuality;
  }
  floatSamples_ = floatSamples;
  sourceChannels_ = asked->nChannels;
  sourceFrameBytes_ = asked->nBlockAlign;
  if (mixRate_ == 0) mixRate_ = mix->nSamplesPerSec;
  HRESULT initialized = E_FAIL;
  if (usable) {
    initialized =
        client_->Initialize(AUDCLNT_SHAREMODE_SHARED, flags, kBufferDuration, 0, asked, nullptr);
  }
  CoTaskMemFree(mix);
  if (!usable || FAILED(initialized)) {
    *formatRefused = !usable || initialized == AUDCLNT_E_UNSUPPORTED_FORMAT;
    return false;
  }
  // Systems without loopback capture refuse here (AUDCLNT_E_WRONG_ENDPOINT_TYPE).
  if (FAILED(client_->GetService(__uuidof(IAudioCaptureClient),
                                 reinterpret_cast<void**>(&capture_)))) {
    *noLoopback = loopback;
    return false;
  }
  return true;
}

void WasapiStream::noteDevice() {
  const std::wstring id = endpointId(device_);
  if (!id.empty() && id == lastEndpointId_) return;
  lastEndpointId_ = id;
  IPropertyStore* store = nullptr;
  if (device_ == nullptr || FAILED(device_->OpenPropertyStore(STGM_READ, &store))) return;
  PROPVARIANT value;
  PropVariantInit(&value);
  std::string name;
  if (SUCCEEDED(store->GetValue(kFriendlyName, &value)) && value.vt == VT_LPWSTR &&
      value.pwszVal != nullptr) {
    name = wideToUtf8(value.pwszVal);
  }
  PropVariantClear(&value);
  store->Release();
  if (name.empty()) return;
  std::lock_guard<std::mutex> lock(namesMutex_);
  names_.push_back(name);
}

bool WasapiStream::defaultMoved() {
  // The system also says so when the same endpoint is named again (its settings changed):
  // the stream then goes on untouched.
  IMMDevice* present = nullptr;
  const EDataFlow flow = flow_ == Flow::kCaptureDevice ? eCapture : eRender;
  if (enumerator_ == nullptr ||
      FAILED(enumerator_->GetDefaultAudioEndpoint(flow, eConsole, &present))) {
    return true;  // none now: reopen finds none and says the device is lost
  }
  const std::wstring id = endpointId(present);
  present->Release();
  return id.empty() || id != endpointId(device_);
}

bool WasapiStream::reopen() {
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
  noteDevice();
  // What the endpoints delivered while they changed is not known: the clock fills the gap.
  ring_.noteLost(0);
  return true;
}

bool WasapiStream::createBuffer(const SoundFormat& format, uint32_t bufferBytes) {
  if (capture_ == nullptr || bufferBytes == 0 || bufferBytes % format.blockAlign != 0 ||
      format.samplesPerSecond != mixRate_) {
    return false;
  }
  ring_.create(bufferBytes, format.averageBytesPerSecond, format.blockAlign);
  return true;
}

bool WasapiStream::start() {
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

void WasapiStream::pump() {
  const bool com = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  while (pumping_) {
    if (defaultChanged_.exchange(false) && defaultMoved() && !reopen()) {
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

void WasapiStream::takePackets() {
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

void WasapiStream::stop() {
  std::lock_guard<std::mutex> lock(stopMutex_);
  if (!pumping_) return;
  // The pump goes on until the sound reaches the stop's moment (silence where nothing played).
  ring_.end(kStopWait);
  pumping_ = false;
  if (thread_.joinable()) thread_.join();
  if (client_ != nullptr) client_->Stop();
}

void WasapiStream::close() {
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
  if (counted_) --streamsOpen;
  counted_ = false;
}

}  // namespace platform
}  // namespace quorvane_capture
