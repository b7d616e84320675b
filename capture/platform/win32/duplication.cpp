// Desktop Duplication: the acquisition loop and the search for the monitor's adapter.
#include "duplication.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "desktop_copy.h"

namespace quorvane_capture {
namespace platform {
namespace {

// Grabs in a row in which a lost duplication could not be made again (the secure desktop
// staying up, a full-screen program that keeps the output) before GDI takes over.
constexpr int kRegainAttempts = 300;

}  // namespace

bool DesktopDuplication::start(ID3D11Device* device, Duplicate duplicate) {
  close();
  if (device == nullptr || !duplicate) {
    fail("D3D11CreateDevice", E_POINTER);
    return false;
  }
  device->AddRef();
  device_.adopt(device);
  device_->GetImmediateContext(context_.put());
  duplicate_ = std::move(duplicate);
  const HRESULT result = duplicate_(duplication_.put());
  if (FAILED(result) || duplication_.get() == nullptr) {
    fail("DuplicateOutput", FAILED(result) ? result : E_POINTER);
    return false;
  }
  DXGI_OUTDUPL_DESC desc{};
  duplication_->GetDesc(&desc);
  rotation_ = desc.Rotation;
  return true;
}

void DesktopDuplication::close() {
  duplication_.reset();
  staging_.reset();
  context_.reset();
  device_.reset();
  duplicate_ = nullptr;
  stagingDesc_ = D3D11_TEXTURE2D_DESC{};
  havePicture_ = copied_ = false;
  recreations_ = failedRecreations_ = 0;
  failedCall_ = nullptr;
  failure_ = S_OK;
}

DesktopDuplication::Grab DesktopDuplication::fail(const char* call, HRESULT result) {
  if (failedCall_ == nullptr) {
    failedCall_ = call;
    failure_ = result;
  }
  duplication_.reset();
  return Grab::kFailed;
}

bool DesktopDuplication::transient(HRESULT result) {
  return result == DXGI_ERROR_ACCESS_LOST || result == E_ACCESSDENIED ||
         result == DXGI_ERROR_SESSION_DISCONNECTED || result == DXGI_ERROR_NOT_CURRENTLY_AVAILABLE;
}

bool DesktopDuplication::recreate() {
  duplication_.reset();
  const HRESULT result = duplicate_(duplication_.put());
  if (SUCCEEDED(result) && duplication_.get() != nullptr) {
    ++recreations_;
    failedRecreations_ = 0;
    DXGI_OUTDUPL_DESC desc{};
    duplication_->GetDesc(&desc);
    rotation_ = desc.Rotation;
    return true;
  }
  duplication_.reset();
  if (!transient(result) || ++failedRecreations_ >= kRegainAttempts) {
    fail("DuplicateOutput", FAILED(result) ? result : E_POINTER);
  }
  return false;
}

bool DesktopDuplication::keepFrame(IDXGIResource* resource) {
  ComRef<ID3D11Texture2D> texture;
  HRESULT result =
      resource->QueryInterface(__uuidof(ID3D11Texture2D), reinterpret_cast<void**>(texture.put()));
  if (FAILED(result)) {
    fail("QueryInterface(ID3D11Texture2D)", result);
    return false;
  }
  D3D11_TEXTURE2D_DESC desc{};
  texture->GetDesc(&desc);
  // The composed desktop is 8-bit BGRA; a high-dynamic-range output hands over 16-bit floats,
  // which this copy does not convert.
  if (desc.Format != DXGI_FORMAT_B8G8R8A8_UNORM && desc.Format != DXGI_FORMAT_B8G8R8A8_UNORM_SRGB) {
    fail("the frame's pixel format", DXGI_ERROR_UNSUPPORTED);
    return false;
  }
  if (staging_.get() == nullptr || desc.Width != stagingDesc_.Width ||
      desc.Height != stagingDesc_.Height || desc.Format != stagingDesc_.Format) {
    // One staging texture, made again only when the mode changes.
    D3D11_TEXTURE2D_DESC staging{};
    staging.Width = desc.Width;
    staging.Height = desc.Height;
    staging.MipLevels = 1;
    staging.ArraySize = 1;
    staging.Format = desc.Format;
    staging.SampleDesc.Count = 1;
    staging.Usage = D3D11_USAGE_STAGING;
    staging.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    result = device_->CreateTexture2D(&staging, nullptr, staging_.put());
    if (FAILED(result)) {
      fail("CreateTexture2D", result);
      return false;
    }
    stagingDesc_ = staging;
  }
  context_->CopyResource(staging_.get(), texture.get());
  havePicture_ = true;
  copied_ = false;
  return true;
}

DesktopDuplication::Grab DesktopDuplication::grab(int32_t left, int32_t top, uint8_t* pixels,
                                                  int32_t width, int32_t height,
                                                  uint32_t timeoutMilliseconds) {
  if (failedCall_ != nullptr || device_.get() == nullptr) return Grab::kFailed;
  if (duplication_.get() == nullptr && !recreate()) {
    return failedCall_ != nullptr ? Grab::kFailed : Grab::kUnchanged;
  }
  DXGI_OUTDUPL_FRAME_INFO info{};
  ComRef<IDXGIResource> resource;
  const HRESULT acquired =
      duplication_->AcquireNextFrame(timeoutMilliseconds, &info, resource.put());
  if (acquired == DXGI_ERROR_ACCESS_LOST) {
    // The documented answer: this duplication is done; a new one picks up the new mode.
    if (!recreate() && failedCall_ != nullptr) return Grab::kFailed;
  } else if (SUCCEEDED(acquired)) {
    // A frame that brings only a new pointer (LastPresentTime 0) leaves the picture as it was.
    const bool kept = info.LastPresentTime.QuadPart == 0 && havePicture_
                          ? true
                          : resource.get() != nullptr && keepFrame(resource.get());
    resource.reset();
    const HRESULT released = duplication_.get() != nullptr ? duplication_->ReleaseFrame() : S_OK;
    if (!kept) return Grab::kFailed;
    if (released == DXGI_ERROR_ACCESS_LOST) {
      duplication_.reset();  // made again on the next grab
    } else if (FAILED(released)) {
      return fail("ReleaseFrame", released);
    }
  } else if (acquired != DXGI_ERROR_WAIT_TIMEOUT) {
    return fail("AcquireNextFrame", acquired);
  }

  // The rectangle is copied again when a frame came and when it moved over the monitor.
  if (!havePicture_ || (copied_ && copiedLeft_ == left && copiedTop_ == top)) {
    return Grab::kUnchanged;
  }
  D3D11_MAPPED_SUBRESOURCE mapped{};
  const HRESULT result = context_->Map(staging_.get(), 0, D3D11_MAP_READ, 0, &mapped);
  if (FAILED(result)) return fail("Map", result);
  const bool quarter =
      rotation_ == DXGI_MODE_ROTATION_ROTATE90 || rotation_ == DXGI_MODE_ROTATION_ROTATE270;
  const int32_t mappedWidth = static_cast<int32_t>(stagingDesc_.Width);
  const int32_t mappedHeight = static_cast<int32_t>(stagingDesc_.Height);
  const MappedMonitor monitor{
      static_cast<const uint8_t*>(mapped.pData), static_cast<int64_t>(mapped.RowPitch),
      quarter ? mappedHeight : mappedWidth, quarter ? mappedWidth : mappedHeight,
      rotation_ == DXGI_MODE_ROTATION_UNSPECIFIED ? DesktopRotation::kIdentity
                                                  : static_cast<DesktopRotation>(rotation_)};
  copyMonitorRegion(monitor, left, top, pixels, width, height);
  context_->Unmap(staging_.get(), 0);
  copied_ = true;
  copiedLeft_ = left;
  copiedTop_ = top;
  return Grab::kPicture;
}

namespace {

// Loaded once for the process and kept: devices made from them may outlive any one grabber.
template <typename F>
F systemFunction(const char* dll, const char* name) {
  HMODULE module = LoadLibraryA(dll);
  return module != nullptr
             ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)))
             : nullptr;
}

LONGLONG overlap(const RECT& a, const RECT& b) {
  const LONGLONG w = std::min(a.right, b.right) - std::max(a.left, b.left);
  const LONGLONG h = std::min(a.bottom, b.bottom) - std::max(a.top, b.top);
  return w > 0 && h > 0 ? w * h : 0;
}

struct Candidate {
  UINT adapter;
  UINT output;
  RECT desktop;
  LONGLONG area;
};

}  // namespace

bool openMonitorDuplication(const RECT& region, DuplicatedMonitor* monitor,
                            DesktopDuplication* duplication) {
  using CreateFactory = HRESULT(WINAPI*)(REFIID, void**);
  static const CreateFactory createFactory =
      systemFunction<CreateFactory>("dxgi.dll", "CreateDXGIFactory1");
  static const PFN_D3D11_CREATE_DEVICE createDevice =
      systemFunction<PFN_D3D11_CREATE_DEVICE>("d3d11.dll", "D3D11CreateDevice");
  if (createFactory == nullptr || createDevice == nullptr) {
    duplication->markFailed(createFactory == nullptr ? "CreateDXGIFactory1" : "D3D11CreateDevice",
                            HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND));
    return false;
  }
  ComRef<IDXGIFactory1> factory;
  HRESULT result = createFactory(__uuidof(IDXGIFactory1), reinterpret_cast<void**>(factory.put()));
  if (FAILED(result)) {
    duplication->markFailed("CreateDXGIFactory1", result);
    return false;
  }
  // Every output that shows part of the rectangle, the one showing most of it first; adapters
  // in the system's order among equals.
  std::vector<Candidate> candidates;
  for (UINT a = 0;; ++a) {
    ComRef<IDXGIAdapter1> adapter;
    if (factory->EnumAdapters1(a, adapter.put()) == DXGI_ERROR_NOT_FOUND) break;
    for (UINT o = 0;; ++o) {
      ComRef<IDXGIOutput> output;
      if (adapter->EnumOutputs(o, output.put()) == DXGI_ERROR_NOT_FOUND) break;
      DXGI_OUTPUT_DESC desc{};
      if (FAILED(output->GetDesc(&desc))) continue;
      const LONGLONG area = overlap(desc.DesktopCoordinates, region);
      if (area > 0) candidates.push_back({a, o, desc.DesktopCoordinates, area});
    }
  }
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const Candidate& x, const Candidate& y) { return x.area > y.area; });
  const char* lastCall = "EnumOutputs";
  HRESULT lastResult = DXGI_ERROR_NOT_FOUND;
  for (const Candidate& c : candidates) {
    ComRef<IDXGIAdapter1> adapter;
    ComRef<IDXGIOutput> output;
    ComRef<IDXGIOutput1> output1;
    ComRef<ID3D11Device> device;
    if (FAILED(factory->EnumAdapters1(c.adapter, adapter.put())) ||
        FAILED(adapter->EnumOutputs(c.output, output.put()))) {
      continue;
    }
    result = createDevice(adapter.get(), D3D_DRIVER_TYPE_UNKNOWN, nullptr, 0, nullptr, 0,
                          D3D11_SDK_VERSION, device.put(), nullptr, nullptr);
    if (FAILED(result)) {
      lastCall = "D3D11CreateDevice";
      lastResult = result;
      continue;
    }
    result =
        output->QueryInterface(__uuidof(IDXGIOutput1), reinterpret_cast<void**>(output1.put()));
    if (FAILED(result)) {
      lastCall = "QueryInterface(IDXGIOutput1)";
      lastResult = result;
      continue;
    }
    // The duplicate function holds the output and the device for the re-creations.
    IDXGIOutput1* o1 = output1.get();
    ID3D11Device* d = device.get();
    o1->AddRef();
    d->AddRef();
    std::shared_ptr<void> keep(nullptr, [o1, d](void*) {
      o1->Release();
      d->Release();
    });
    if (duplication->start(device.get(), [o1, d, keep](IDXGIOutputDuplication** out) {
          return o1->DuplicateOutput(d, out);
        })) {
      monitor->desktop = c.desktop;
      return true;
    }
    lastCall = duplication->failedCall();
    lastResult = duplication->failure();
    duplication->close();
  }
  duplication->markFailed(lastCall, lastResult);
  return false;
}

}  // namespace platform
}  // namespace quorvane_capture
