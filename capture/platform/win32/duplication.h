// Desktop Duplication (DXGI 1.2, Windows 8 and later): the composed picture of one monitor,
// copied from the GPU each capture tick. Used by the screen grabber for the whole screen and
// for a window recorded as the screen region it covers; GDI stands in where it cannot be had.
#ifndef QUORVANE_PLATFORM_WIN32_DUPLICATION_H
#define QUORVANE_PLATFORM_WIN32_DUPLICATION_H

#include <d3d11.h>
#include <dxgi1_2.h>
#include <windows.h>

#include <cstdint>
#include <functional>

namespace quorvane_capture {
namespace platform {

// A COM reference with one owner.
template <typename T>
class ComRef {
 public:
  ComRef() = default;
  ~ComRef() { reset(); }
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  // For the out parameter of a call that hands over a reference.
  T** put() {
    reset();
    return &p_;
  }
  void reset() {
    if (p_ != nullptr) p_->Release();
    p_ = nullptr;
  }
  void adopt(T* p) {
    reset();
    p_ = p;
  }

 private:
  T* p_ = nullptr;
};

// The acquisition loop of one duplication. Each grab asks for the next frame with a short
// time-out; a new frame is copied into one staging texture, mapped, and the recorded rectangle's
// rows go into the capture bitmap. Every frame acquired is released before the grab returns.
class DesktopDuplication {
 public:
  // Makes a new IDXGIOutputDuplication on the device (IDXGIOutput1::DuplicateOutput, or a
  // stand-in in the tests): S_OK with *duplication set, or the system's error.
  using Duplicate = std::function<HRESULT(IDXGIOutputDuplication** duplication)>;

  enum class Grab {
    kPicture,    // the rectangle holds the newest picture
    kUnchanged,  // no new frame (time-out, only the pointer moved, access being regained): the
                 // rectangle holds the last picture
    kFailed      // an error it cannot recover from: failedCall() and failure() say which
  };

  DesktopDuplication() = default;
  ~DesktopDuplication() { close(); }
  DesktopDuplication(const DesktopDuplication&) = delete;
  DesktopDuplication& operator=(const DesktopDuplication&) = delete;

  // Takes a reference to the device and makes the first duplication; false (failedCall(),
  // failure()) when that fails.
  bool start(ID3D11Device* device, Duplicate duplicate);
  // (left, top): the rectangle's corner relative to the monitor's top-left corner; parts of it
  // off the monitor keep what pixels held. timeoutMilliseconds bounds the wait for a frame.
  Grab grab(int32_t left, int32_t top, uint8_t* pixels, int32_t width, int32_t height,
            uint32_t timeoutMilliseconds);
  void close();

  // Marks the duplication as failed before it started (no monitor, no device...).
  void markFailed(const char* call, HRESULT result) { fail(call, result); }
  const char* failedCall() const { return failedCall_; }
  HRESULT failure() const { return failure_; }
  // Duplications made again after access was lost.
  int recreations() const { return recreations_; }

 private:
  Grab fail(const char* call, HRESULT result);
  // Whether a lost duplication may come back (a mode change, a full-screen program, the secure
  // desktop): it is then made again on a later grab.
  static bool transient(HRESULT result);
  // Makes a new duplication after the last was lost; false when it cannot be had now.
  bool recreate();
  // The frame into the staging texture; false after fail().
  bool keepFrame(IDXGIResource* resource);

  ComRef<ID3D11Device> device_;
  ComRef<ID3D11DeviceContext> context_;
  ComRef<IDXGIOutputDuplication> duplication_;
  ComRef<ID3D11Texture2D> staging_;
  D3D11_TEXTURE2D_DESC stagingDesc_{};
  DXGI_MODE_ROTATION rotation_ = DXGI_MODE_ROTATION_IDENTITY;
  Duplicate duplicate_;
  bool havePicture_ = false;  // the staging texture holds a frame
  bool copied_ = false;       // the rectangle was copied from it at (copiedLeft_, copiedTop_)
  int32_t copiedLeft_ = 0;
  int32_t copiedTop_ = 0;
  int failedRecreations_ = 0;
  int recreations_ = 0;
  const char* failedCall_ = nullptr;
  HRESULT failure_ = S_OK;
};

// The monitor showing a desktop rectangle (the one it overlaps most) and its duplication: the
// adapters are tried in the system's order, each output of one that overlaps, until
// DuplicateOutput succeeds (on a machine with two GPUs only the one driving the monitor can).
// d3d11.dll and dxgi.dll are loaded when first needed, so the library also loads where they
// are missing. False when none could be had: failedCall() and failure() of *duplication say why.
struct DuplicatedMonitor {
  RECT desktop{};  // the monitor's rectangle in desktop coordinates
};
bool openMonitorDuplication(const RECT& region, DuplicatedMonitor* monitor,
                            DesktopDuplication* duplication);

}  // namespace platform
}  // namespace quorvane_capture

#endif
