// Desktop Duplication under Wine. Wine has no DuplicateOutput, so the acquisition loop runs
// against a duplication of the test's own, scripted frame by frame, whose frames are real
// textures of Wine's D3D11: everything after the acquisition (the staging texture, Map, the
// copy with pitch, rotation and offset) is the grabber's own code on a real device.
#include "win32/duplication.h"

#include <d3d11.h>
#include <dxgi1_2.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

namespace {

using quorvane_capture::platform::ComRef;
using quorvane_capture::platform::DesktopDuplication;
using Bytes = std::vector<uint8_t>;
using Grab = DesktopDuplication::Grab;

// A desktop picture: every pixel tells its place and the picture's number.
Bytes desktopPicture(int w, int h, int n) {
  Bytes p(static_cast<size_t>(w) * h * 4);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      uint8_t* px = &p[(static_cast<size_t>(y) * w + x) * 4];
      px[0] = static_cast<uint8_t>(x);
      px[1] = static_cast<uint8_t>(y);
      px[2] = static_cast<uint8_t>(n * 16 + (x >> 8) + (y >> 8) * 4);
      px[3] = static_cast<uint8_t>(0xFF - n);
    }
  }
  return p;
}

// The panel's picture of that desktop under a rotation (DXGI_MODE_ROTATION convention), as the
// texture a duplication hands over.
Bytes panelPicture(const Bytes& desktop, int w, int h, DXGI_MODE_ROTATION rotation) {
  const bool turned =
      rotation == DXGI_MODE_ROTATION_ROTATE90 || rotation == DXGI_MODE_ROTATION_ROTATE270;
  const int pw = turned ? h : w;
  Bytes p(desktop.size());
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      int px = x, py = y;
      if (rotation == DXGI_MODE_ROTATION_ROTATE90) px = y, py = w - 1 - x;
      if (rotation == DXGI_MODE_ROTATION_ROTATE180) px = w - 1 - x, py = h - 1 - y;
      if (rotation == DXGI_MODE_ROTATION_ROTATE270) px = h - 1 - y, py = x;
      std::memcpy(&p[(static_cast<size_t>(py) * pw + px) * 4],
                  &desktop[(static_cast<size_t>(y) * w + x) * 4], 4);
    }
  }
  return p;
}

// The rectangle (left, top, width, height) of a desktop picture w pixels wide.
Bytes cut(const Bytes& desktop, int w, int left, int top, int width, int height) {
  Bytes out(static_cast<size_t>(width) * height * 4);
  for (int y = 0; y < height; ++y) {
    std::memcpy(&out[static_cast<size_t>(y) * width * 4],
                &desktop[(static_cast<size_t>(top + y) * w + left) * 4],
                static_cast<size_t>(width) * 4);
  }
  return out;
}

class Device {
 public:
  Device() {
    // Loaded as the library loads it: the test programs import only what every Windows has.
    HMODULE d3d11 = LoadLibraryA("d3d11.dll");
    const auto create =
        d3d11 == nullptr ? nullptr
                         : reinterpret_cast<PFN_D3D11_CREATE_DEVICE>(
                               reinterpret_cast<void*>(GetProcAddress(d3d11, "D3D11CreateDevice")));
    if (create == nullptr) return;
    // Wine's D3D11 draws in software here; the hardware type is what it offers.
    for (D3D_DRIVER_TYPE type : {D3D_DRIVER_TYPE_HARDWARE, D3D_DRIVER_TYPE_WARP}) {
      if (SUCCEEDED(create(nullptr, type, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, device_.put(),
                           nullptr, nullptr))) {
        break;
      }
    }
  }
  ID3D11Device* get() const { return device_.get(); }
  // A texture like a duplication's frame (GPU memory, not mappable), holding the picture.
  ID3D11Texture2D* texture(const Bytes& pixels, int width, int height) const {
    D3D11_TEXTURE2D_DESC desc{};
    desc.Width = width;
    desc.Height = height;
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    desc.SampleDesc.Count = 1;
    desc.Usage = D3D11_USAGE_DEFAULT;
    desc.BindFlags = D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET;
    D3D11_SUBRESOURCE_DATA data{pixels.data(), static_cast<UINT>(width * 4), 0};
    ID3D11Texture2D* texture = nullptr;
    device_->CreateTexture2D(&desc, &data, &texture);
    return texture;
  }

 private:
  ComRef<ID3D11Device> device_;
};

// One device for the tests: making it is most of their time under Wine.
const Device& sharedDevice() {
  static const Device device;
  return device;
}

// What the scripted duplication does on each AcquireNextFrame.
struct Step {
  HRESULT result;                      // S_OK: hands over texture
  ID3D11Texture2D* texture = nullptr;  // owned by the script
  bool presented = true;               // false: only the pointer changed (LastPresentTime 0)
};

// Shared by every duplication made from it, so that a re-created one goes on where the lost
// one stopped. Counts the frames acquired and released.
struct Script {
  std::deque<Step> steps;
  DXGI_MODE_ROTATION rotation = DXGI_MODE_ROTATION_IDENTITY;
  int acquired = 0;
  int released = 0;
  int acquiresWhileHeld = 0;
  int acquiresAfterEnd = 0;
  int duplications = 0;
  bool holding = false;
  std::vector<ID3D11Texture2D*> textures;
  ~Script() {
    for (ID3D11Texture2D* t : textures) t->Release();
  }
  void frame(ID3D11Texture2D* texture, bool presented = true) {
    textures.push_back(texture);
    steps.push_back({S_OK, texture, presented});
  }
  void error(HRESULT result) { steps.push_back({result}); }
};

class ScriptedDuplication : public IDXGIOutputDuplication {
 public:
  explicit ScriptedDuplication(Script* script) : script_(script) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IDXGIObject) ||
        iid == __uuidof(IDXGIOutputDuplication)) {
      AddRef();
      *out = this;
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE SetPrivateData(REFGUID, UINT, const void*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SetPrivateDataInterface(REFGUID, const IUnknown*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetPrivateData(REFGUID, UINT*, void*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetParent(REFIID, void**) override { return E_NOTIMPL; }
  void STDMETHODCALLTYPE GetDesc(DXGI_OUTDUPL_DESC* desc) override {
    *desc = DXGI_OUTDUPL_DESC{};
    desc->Rotation = script_->rotation;
  }
  HRESULT STDMETHODCALLTYPE AcquireNextFrame(UINT, DXGI_OUTDUPL_FRAME_INFO* info,
                                             IDXGIResource** resource) override {
    *info = DXGI_OUTDUPL_FRAME_INFO{};
    *resource = nullptr;
    if (script_->holding) {
      ++script_->acquiresWhileHeld;
      return DXGI_ERROR_INVALID_CALL;
    }
    if (script_->steps.empty()) {
      ++script_->acquiresAfterEnd;
      return DXGI_ERROR_WAIT_TIMEOUT;
    }
    const Step step = script_->steps.front();
    script_->steps.pop_front();
    if (FAILED(step.result)) return step.result;
    step.texture->QueryInterface(__uuidof(IDXGIResource), reinterpret_cast<void**>(resource));
    info->LastPresentTime.QuadPart = step.presented ? ++presents_ : 0;
    info->AccumulatedFrames = step.presented ? 1 : 0;
    ++script_->acquired;
    script_->holding = true;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetFrameDirtyRects(UINT, RECT*, UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetFrameMoveRects(UINT, DXGI_OUTDUPL_MOVE_RECT*, UINT*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetFramePointerShape(UINT, void*, UINT*,
                                                 DXGI_OUTDUPL_POINTER_SHAPE_INFO*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE MapDesktopSurface(DXGI_MAPPED_RECT*) override {
    return DXGI_ERROR_UNSUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE UnMapDesktopSurface() override { return DXGI_ERROR_INVALID_CALL; }
  HRESULT STDMETHODCALLTYPE ReleaseFrame() override {
    if (!script_->holding) return DXGI_ERROR_INVALID_CALL;
    script_->holding = false;
    ++script_->released;
    return S_OK;
  }

 private:
  virtual ~ScriptedDuplication() = default;
  Script* script_;
  ULONG references_ = 1;
  LONGLONG presents_ = 0;
};

DesktopDuplication::Duplicate scripted(Script* script) {
  return [script](IDXGIOutputDuplication** out) {
    ++script->duplications;
    *out = new ScriptedDuplication(script);
    return S_OK;
  };
}

TEST(DuplicationUnderWine, EveryRotationAndPitchGivesTheRecordedRectangle) {
  const Device& device = sharedDevice();
  ASSERT_NE(device.get(), nullptr) << "no D3D11 device";
  // Widths whose rows the driver pads differently; the rectangle lies inside the monitor.
  const int sizes[][2] = {{64, 40}, {37, 23}, {130, 77}};
  const int left = 5, top = 3, width = 20, height = 11;
  for (const auto& size : sizes) {
    const int w = size[0], h = size[1];
    const Bytes desktop = desktopPicture(w, h, 1);
    for (DXGI_MODE_ROTATION rotation :
         {DXGI_MODE_ROTATION_IDENTITY, DXGI_MODE_ROTATION_ROTATE90, DXGI_MODE_ROTATION_ROTATE180,
          DXGI_MODE_ROTATION_ROTATE270}) {
      const bool turned =
          rotation == DXGI_MODE_ROTATION_ROTATE90 || rotation == DXGI_MODE_ROTATION_ROTATE270;
      Script script;
      script.rotation = rotation;
      script.frame(
          device.texture(panelPicture(desktop, w, h, rotation), turned ? h : w, turned ? w : h));
      DesktopDuplication duplication;
      ASSERT_TRUE(duplication.start(device.get(), scripted(&script)));
      Bytes out(static_cast<size_t>(width) * height * 4);
      ASSERT_EQ(duplication.grab(left, top, out.data(), width, height, 0), Grab::kPicture)
          << duplication.failedCall() << " " << std::hex << duplication.failure();
      EXPECT_TRUE(out == cut(desktop, w, left, top, width, height))
          << w << "x" << h << ", rotation " << rotation;
      // The whole monitor too.
      Bytes whole(desktop.size());
      script.frame(
          device.texture(panelPicture(desktop, w, h, rotation), turned ? h : w, turned ? w : h));
      ASSERT_EQ(duplication.grab(0, 0, whole.data(), w, h, 0), Grab::kPicture);
      EXPECT_TRUE(whole == desktop) << w << "x" << h << ", rotation " << rotation;
      EXPECT_EQ(script.acquired, script.released);
    }
  }
}

TEST(DuplicationUnderWine, AcquisitionLoopKeepsPicturesRegainsAccessAndGivesUpOnAFatalError) {
  const Device& device = sharedDevice();
  ASSERT_NE(device.get(), nullptr) << "no D3D11 device";
  const int w = 48, h = 32, left = 8, top = 4, width = 16, height = 12;
  const Bytes a = desktopPicture(w, h, 1), b = desktopPicture(w, h, 2);
  Script script;
  script.frame(device.texture(a, w, h));
  script.error(DXGI_ERROR_WAIT_TIMEOUT);
  script.frame(device.texture(b, w, h), false);  // only the pointer moved: b is not shown
  script.error(DXGI_ERROR_WAIT_TIMEOUT);         // the rectangle moves meanwhile
  script.error(DXGI_ERROR_ACCESS_LOST);
  script.frame(device.texture(b, w, h));
  script.error(DXGI_ERROR_DEVICE_REMOVED);

  DesktopDuplication duplication;
  ASSERT_TRUE(duplication.start(device.get(), scripted(&script)));
  Bytes out(static_cast<size_t>(width) * height * 4);
  EXPECT_EQ(duplication.grab(left, top, out.data(), width, height, 5), Grab::kPicture);
  EXPECT_TRUE(out == cut(a, w, left, top, width, height));
  EXPECT_EQ(duplication.grab(left, top, out.data(), width, height, 5), Grab::kUnchanged);
  EXPECT_EQ(duplication.grab(left, top, out.data(), width, height, 5), Grab::kUnchanged);
  EXPECT_TRUE(out == cut(a, w, left, top, width, height));
  // No frame, but the rectangle moved over the monitor: copied again from the last frame.
  EXPECT_EQ(duplication.grab(left + 3, top + 1, out.data(), width, height, 5), Grab::kPicture);
  EXPECT_TRUE(out == cut(a, w, left + 3, top + 1, width, height));
  // Access lost: the last picture stands and a new duplication is made.
  EXPECT_EQ(duplication.grab(left, top, out.data(), width, height, 5), Grab::kPicture);
  EXPECT_TRUE(out == cut(a, w, left, top, width, height));
  EXPECT_EQ(duplication.recreations(), 1);
  EXPECT_EQ(script.duplications, 2);
  EXPECT_EQ(duplication.grab(left, top, out.data(), width, height, 5), Grab::kPicture);
  EXPECT_TRUE(out == cut(b, w, left, top, width, height));
  // A removed device cannot come back: the grab says so, and later grabs do not try again.
  EXPECT_EQ(duplication.grab(left, top, out.data(), width, height, 5), Grab::kFailed);
  EXPECT_STREQ(duplication.failedCall(), "AcquireNextFrame");
  EXPECT_EQ(duplication.failure(), DXGI_ERROR_DEVICE_REMOVED);
  EXPECT_TRUE(out == cut(b, w, left, top, width, height));
  EXPECT_EQ(duplication.grab(left, top, out.data(), width, height, 5), Grab::kFailed);
  EXPECT_EQ(script.duplications, 2);
  EXPECT_EQ(script.acquiresAfterEnd, 0);
  // Every frame acquired was released, and none was asked for while one was held.
  EXPECT_EQ(script.acquired, 3);
  EXPECT_EQ(script.released, 3);
  EXPECT_EQ(script.acquiresWhileHeld, 0);
}

// A duplication that cannot be made again (the monitor went away) ends it; one that is only
// refused for now (the secure desktop) is tried again on the next grabs.
TEST(DuplicationUnderWine, LostAccessThatCannotBeRegainedEndsIt) {
  const Device& device = sharedDevice();
  ASSERT_NE(device.get(), nullptr) << "no D3D11 device";
  Script script;
  script.frame(device.texture(desktopPicture(8, 8, 1), 8, 8));
  script.error(DXGI_ERROR_ACCESS_LOST);
  int made = 0;
  DesktopDuplication duplication;
  ASSERT_TRUE(duplication.start(device.get(), [&](IDXGIOutputDuplication** out) -> HRESULT {
    ++made;
    if (made == 1) {
      *out = new ScriptedDuplication(&script);
      return S_OK;
    }
    return made == 2 ? E_ACCESSDENIED : DXGI_ERROR_UNSUPPORTED;
  }));
  Bytes out(8 * 8 * 4);
  EXPECT_EQ(duplication.grab(0, 0, out.data(), 8, 8, 0), Grab::kPicture);
  EXPECT_EQ(duplication.grab(0, 0, out.data(), 8, 8, 0), Grab::kUnchanged);  // E_ACCESSDENIED
  EXPECT_EQ(duplication.grab(0, 0, out.data(), 8, 8, 0), Grab::kFailed);
  EXPECT_STREQ(duplication.failedCall(), "DuplicateOutput");
  EXPECT_EQ(duplication.failure(), DXGI_ERROR_UNSUPPORTED);
  EXPECT_EQ(script.acquired, script.released);
}

// What Wine offers: a device on the monitor's adapter, and DuplicateOutput not implemented.
TEST(DuplicationUnderWine, MonitorSearchReachesDuplicateOutput) {
  RECT region{0, 0, 64, 64};
  quorvane_capture::platform::DuplicatedMonitor monitor;
  DesktopDuplication duplication;
  EXPECT_FALSE(quorvane_capture::platform::openMonitorDuplication(region, &monitor, &duplication));
  EXPECT_STREQ(duplication.failedCall(), "DuplicateOutput");
  EXPECT_EQ(duplication.failure(), E_NOTIMPL);
}

}  // namespace
