// The video pipeline of the Windows DLL under Wine: a popup window painted with GDI shows a new
// numbered picture every 20 ms, the DLL records it through its exports as a host would, and
// every decoded picture of the file must be one of those drawings, in drawing order. Wine's
// screen grab is slow, so the window is small and the frame rate is not judged.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "kernels.h"
#include "quorvane_capture.h"
#include "qvf.h"
#include "qvf_decode.h"
#include "reference.h"

namespace {

using Bytes = std::vector<uint8_t>;
using ThreadProcedure = qv_thread_result (*)(void*);

constexpr int kWidth = 128, kHeight = 96, kFrameRate = 15;

// Drawing n: its number in 16 black and white bands along the top, gradients shifted by n below.
Bytes drawing(int n) {
  Bytes p(static_cast<size_t>(kWidth) * kHeight * 4);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      uint8_t* px = &p[(static_cast<size_t>(y) * kWidth + x) * 4];
      if (y < 12) {
        const uint8_t v = ((n >> (x * 16 / kWidth)) & 1) != 0 ? 255 : 0;
        px[0] = px[1] = px[2] = v;
      } else {
        px[0] = static_cast<uint8_t>(x * 2 + n * 3);
        px[1] = static_cast<uint8_t>(y * 2 + n * 5);
        px[2] = static_cast<uint8_t>(((x / 8) ^ (y / 8)) * 16 + n);
      }
      px[3] = 0;
    }
  }
  return p;
}

// A borderless window on its own thread, repainted with drawing 0, 1, 2 ... every period.
class DrawingWindow {
 public:
  explicit DrawingWindow(DWORD periodMs = 20) : periodMs_(periodMs) {
    thread_ = std::thread([this] { run(); });
    while (window_.load() == nullptr && !failed_)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ~DrawingWindow() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  HWND window() const { return window_.load(); }
  int lastDrawn() const { return drawn_.load(); }

 private:
  void draw(HWND window, int n) {
    const Bytes pixels = drawing(n);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = kWidth;
    info.bmiHeader.biHeight = -kHeight;  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    HDC dc = GetDC(window);
    SetDIBitsToDevice(dc, 0, 0, kWidth, kHeight, 0, 0, 0, kHeight, pixels.data(), &info,
                      DIB_RGB_COLORS);
    GdiFlush();
    ReleaseDC(window, dc);
    drawn_ = n;
  }
  void run() {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "QvPipelineDrawing";
    RegisterClassA(&windowClass);
    HWND window = CreateWindowExA(WS_EX_TOPMOST, "QvPipelineDrawing", "pipeline drawing",
                                  WS_POPUP | WS_VISIBLE, 60, 60, kWidth, kHeight, nullptr, nullptr,
                                  GetModuleHandleA(nullptr), nullptr);
    if (window == nullptr) {
      failed_ = true;
      return;
    }
    int n = 0;
    draw(window, n);
    window_ = window;
    DWORD next = GetTickCount();
    while (!stop_) {
      MSG message;
      while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
      next += periodMs_;
      const DWORD now = GetTickCount();
      if (static_cast<int32_t>(next - now) > 0) Sleep(next - now);
      draw(window, ++n);
    }
    DestroyWindow(window);
  }

  DWORD periodMs_;
  std::thread thread_;
  std::atomic<HWND> window_{nullptr};
  std::atomic<bool> failed_{false};
  std::atomic<bool> stop_{false};
  std::atomic<int> drawn_{0};
};

// The DLL's exports, found as a host finds them.
struct CaptureLibrary {
  CaptureLibrary() {
    module = LoadLibraryA("quorvane_capture.dll");
    if (module == nullptr) return;
    initialize = find<void (*)(const CaptureSetting*)>("Initialize");
    getInitializeStatus = find<int32_t (*)()>("getInitializeStatus");
    getCaptureSetting = find<const CaptureSetting* (*)()>("getCaptureSetting");
    getEncodeThreadCount = find<int32_t (*)()>("getEncodeThreadCount");
    getAffinityMask = find<uint64_t (*)()>("getAffinityMask");
    setTerminated = find<void (*)(int32_t)>("setTerminated");
    getProgress = find<double (*)()>("getProgress");
    finalize = find<void (*)()>("Finalize");
    captureThread = find<ThreadProcedure>("CaptureThread");
    encodeThread = find<ThreadProcedure>("EncodeThread");
    compressThread = find<ThreadProcedure>("CompressThread");
    outputThread = find<ThreadProcedure>("OutputThread");
    streamOutputThread = find<ThreadProcedure>("StreamOutputThread");
    audioCaptureThread = find<ThreadProcedure>("AudioCaptureThread");
    audioOutputThread = find<ThreadProcedure>("AudioOutputThread");
    getRecordingStatus = find<int32_t (*)()>("getRecordingStatus");
    setRepeatUnchanged = find<void (*)(int32_t)>("setRepeatUnchanged");
    getUnchangedFrameCount = find<int64_t (*)()>("getUnchangedFrameCount");
    setCaptureMethod = find<int32_t (*)(int32_t)>("setCaptureMethod");
    getGrabMethod = find<int32_t (*)()>("getGrabMethod");
    getDuplicationFailure = find<int32_t (*)()>("getDuplicationFailure");
    getRecordingWarnings = find<int32_t (*)()>("getRecordingWarnings");
    setWriteProvenance = find<void (*)(int32_t)>("setWriteProvenance");
    setClickDrawing = find<void (*)(int32_t)>("setClickDrawing");
    setClickEvents = find<void (*)(int32_t)>("setClickEvents");
    readClickEvents = find<int32_t (*)(QvClickEvent*, int32_t)>("readClickEvents");
  }
  ~CaptureLibrary() {
    if (module != nullptr) FreeLibrary(module);
  }
  template <typename F>
  F find(const char* name) {
    F f = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    if (f == nullptr) missing += std::string(name) + " ";
    return f;
  }

  HMODULE module = nullptr;
  std::string missing;
  void (*initialize)(const CaptureSetting*) = nullptr;
  int32_t (*getInitializeStatus)() = nullptr;
  const CaptureSetting* (*getCaptureSetting)() = nullptr;
  int32_t (*getEncodeThreadCount)() = nullptr;
  uint64_t (*getAffinityMask)() = nullptr;
  void (*setTerminated)(int32_t) = nullptr;
  double (*getProgress)() = nullptr;
  void (*finalize)() = nullptr;
  ThreadProcedure captureThread = nullptr, encodeThread = nullptr, compressThread = nullptr,
                  outputThread = nullptr, streamOutputThread = nullptr,
                  audioCaptureThread = nullptr, audioOutputThread = nullptr;
  int32_t (*getRecordingStatus)() = nullptr;
  void (*setRepeatUnchanged)(int32_t) = nullptr;
  int64_t (*getUnchangedFrameCount)() = nullptr;
  int32_t (*setCaptureMethod)(int32_t) = nullptr;
  int32_t (*getGrabMethod)() = nullptr;
  int32_t (*getDuplicationFailure)() = nullptr;
  int32_t (*getRecordingWarnings)() = nullptr;
  void (*setWriteProvenance)(int32_t) = nullptr;
  void (*setClickDrawing)(int32_t) = nullptr;
  void (*setClickEvents)(int32_t) = nullptr;
  int32_t (*readClickEvents)(QvClickEvent*, int32_t) = nullptr;
};

// A press of the left button held as a hand holds it, through the system's input queue.
void clickLeft() {
  INPUT input{};
  input.type = INPUT_MOUSE;
  input.mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
  SendInput(1, &input, sizeof(input));
  Sleep(100);
  input.mi.dwFlags = MOUSEEVENTF_LEFTUP;
  SendInput(1, &input, sizeof(input));
}

// Records the drawing window for 3 s and checks the file. streamed: with DirectSound sound,
// written by the streaming writer while recording. repeatUnchanged: pictures equal to the one
// before are to be repeat records; the window then changes only every few frames.
// duplication: the window recorded as the part of the screen it covers, through Desktop
// Duplication, which Wine does not have (DuplicateOutput is E_NOTIMPL): GDI's copy of the screen
// takes over from the start, and the library says so. clicks: rings drawn at clicks, and kept
// as events; a left click at (kClickX, kClickY) of the window a second into the recording: the
// pictures that show no drawing exactly are those of the ring, after the press and for about
// 0.3 s, and differ from their drawing only around the click.
constexpr int kClickX = 40, kClickY = 50;
void recordAndCheck(int64_t outputWidth, int64_t outputHeight, const char* fileName,
                    bool streamed = false, bool repeatUnchanged = false, bool duplication = false,
                    bool clicks = false) {
  CaptureLibrary library;
  ASSERT_NE(library.module, nullptr) << "quorvane_capture.dll not found beside the test";
  ASSERT_TRUE(library.missing.empty()) << "missing exports: " << library.missing;
  DrawingWindow window(repeatUnchanged ? 300 : 20);
  ASSERT_NE(window.window(), nullptr);
  Sleep(300);

  CaptureSetting s{};
  s.frameRate = kFrameRate;
  s.targetWindow = reinterpret_cast<uint64_t>(window.window());
  s.outputWidth = outputWidth;
  s.outputHeight = outputHeight;
  s.memorySize = 64 << 20;
  s.affinityMask = library.getAffinityMask();
  s.clientArea = 1;
  s.useAVX = 1;
  library.setRepeatUnchanged(repeatUnchanged ? 1 : 0);
  library.setCaptureMethod(duplication ? QV_METHOD_DUPLICATION : QV_METHOD_AUTO);
  library.setWriteProvenance(duplication ? 1 : 0);
  library.setClickDrawing(clicks ? 1 : 0);
  library.setClickEvents(clicks ? 1 : 0);
  if (clicks) SetCursorPos(60 + kClickX, 60 + kClickY);
  library.initialize(&s);
  library.setCaptureMethod(QV_METHOD_AUTO);
  ASSERT_EQ(library.getInitializeStatus(), 0);
  if (duplication) {
    EXPECT_EQ(library.getGrabMethod(), QV_GRAB_SCREEN);
    EXPECT_EQ(static_cast<uint32_t>(library.getDuplicationFailure()), 0x80004001u);  // E_NOTIMPL
    EXPECT_EQ(library.getRecordingWarnings(), QV_WARNING_GDI_FALLBACK);
  } else {
    EXPECT_EQ(library.getGrabMethod(), QV_GRAB_WINDOW);
  }
  const CaptureSetting used = *library.getCaptureSetting();
  ASSERT_EQ(used.captureWidth, kWidth);
  ASSERT_EQ(used.captureHeight, kHeight);
  const int32_t encodeThreads = library.getEncodeThreadCount();
  ASSERT_GE(encodeThreads, 1);

  const std::string path = fileName;
  const std::string wavPath = path + ".wav";
  QvStreamPaths paths{path.c_str(), wavPath.c_str()};
  uint64_t records = 0;
  uint64_t captured = 0;
  std::vector<std::thread> threads;
  if (streamed) {
    threads.emplace_back([&] { records = library.streamOutputThread(&paths); });
    threads.emplace_back([&] { library.audioCaptureThread(nullptr); });
  }
  threads.emplace_back([&] { captured = library.captureThread(nullptr); });
  for (int32_t k = 0; k < encodeThreads; ++k) {
    threads.emplace_back(
        [&, k] { library.encodeThread(reinterpret_cast<void*>(static_cast<intptr_t>(k))); });
  }
  threads.emplace_back([&] { library.compressThread(nullptr); });
  if (clicks) {
    Sleep(1000);
    clickLeft();
    Sleep(1900);
  } else {
    Sleep(3000);
  }
  library.setTerminated(1);
  for (std::thread& t : threads) t.join();
  std::vector<QvClickEvent> events(8);
  events.resize(static_cast<size_t>(library.readClickEvents(events.data(), 8)));
  const int lastDrawn = window.lastDrawn();

  Bytes wav;
  if (streamed) {
    EXPECT_EQ(library.getRecordingStatus(), QV_STATUS_OK);
    EXPECT_EQ(library.outputThread(const_cast<char*>(path.c_str())), QV_OUTPUT_ALREADY_WRITTEN);
    EXPECT_EQ(library.audioOutputThread(const_cast<char*>(wavPath.c_str())),
              static_cast<qv_thread_result>(QV_WAV_ALREADY_WRITTEN));
    ASSERT_TRUE(qvtest::readFileBytes(wavPath, &wav));
    std::remove(wavPath.c_str());
  } else {
    records = library.outputThread(const_cast<char*>(path.c_str()));
    EXPECT_EQ(library.getProgress(), 1.0);
  }
  const uint64_t unchanged = static_cast<uint64_t>(library.getUnchangedFrameCount());
  // Said while it ran, and still after the stop.
  EXPECT_EQ(library.getRecordingWarnings(), duplication ? QV_WARNING_GDI_FALLBACK : 0);
  library.setRepeatUnchanged(0);
  library.setWriteProvenance(0);
  library.setClickDrawing(0);
  library.setClickEvents(0);
  library.finalize();
  ASSERT_GE(captured, 5u);

  qvtest::QvfFile file;
  std::string error;
  ASSERT_TRUE(qvtest::readQvf(path, &file, &error)) << error;
  std::remove(path.c_str());
  EXPECT_EQ(file.frameRate, static_cast<uint64_t>(kFrameRate));
  EXPECT_EQ(file.width, static_cast<uint64_t>(used.outputWidth));
  EXPECT_EQ(file.height, static_cast<uint64_t>(used.outputHeight));
  EXPECT_EQ(file.codecTag, "Snappy  ");
  if (streamed) {
    // The sound went into both files as it arrived: the same samples, about 3 s of them.
    ASSERT_GE(wav.size(), 44u);
    EXPECT_TRUE(file.audio() == Bytes(wav.begin() + 44, wav.end()));
    EXPECT_EQ(qvtest::readU32(wav, 40), wav.size() - 44);
    EXPECT_NEAR((wav.size() - 44) / 176400.0, 3.0, 0.5);
  }
  if (duplication) {
    // The record of how the file was made names the copy used and why duplication was not.
    std::string method;
    for (const qvtest::QvfRecord& r : file.records) {
      if (r.type == qvf::RECORD_PROVENANCE) {
        method = qvtest::parseProvenance(file.bytes, r).text(qvf::PROVENANCE_CAPTURE_METHOD);
      }
    }
    EXPECT_EQ(method,
              "GDI, the part of the screen the window covers (Desktop Duplication could not be "
              "had: DuplicateOutput failed, 0x80004001)");
  }
  const std::string pattern = file.videoPattern();
  EXPECT_EQ(records, pattern.size());
  std::vector<Bytes> pictures;
  ASSERT_TRUE(qvtest::decodePictures(file, &pictures, &error)) << error;
  if (repeatUnchanged) {
    // Repeats fill the missed slots and stand for the unchanged pictures; a difference record
    // always changes the picture.
    const size_t repeats = static_cast<size_t>(std::count(pattern.begin(), pattern.end(), 'R'));
    EXPECT_EQ(repeats, records - captured + unchanged);
    EXPECT_GE(unchanged, 2u);
    size_t differences = 0;
    for (size_t k = 1; k < pattern.size(); ++k) {
      if (pattern[k] != 'D') continue;
      ++differences;
      EXPECT_FALSE(pictures[k] == pictures[k - 1]) << "video record " << k;
    }
    EXPECT_GE(differences, 2u);
  } else {
    // Captured frame i is a key exactly when i is a multiple of the frame rate.
    size_t frame = 0;
    for (char r : pattern) {
      if (r == 'R') continue;
      EXPECT_EQ(r, frame % kFrameRate == 0 ? 'K' : 'D') << "captured frame " << frame;
      ++frame;
    }
    EXPECT_EQ(frame, captured);
    EXPECT_EQ(unchanged, 0u);
  }
  // The test's own copy of the kernels, set up with the colours the DLL chose.
  quorvane_capture::setupColor(used.colorMatrix, used.outputHeight, used.fullRange);
  const auto order = used.useAVX != 0 ? quorvane_capture::reference::SumOrder::kAvx
                                      : quorvane_capture::reference::SumOrder::kSse2;
  auto expected = [&](int n) {
    Bytes rgb = drawing(n);
    if (used.outputWidth != kWidth || used.outputHeight != kHeight) {
      Bytes scaled(static_cast<size_t>(used.outputWidth * used.outputHeight * 4));
      quorvane_capture::reference::zoomOutHeikin32(scaled.data(), used.outputWidth,
                                                   used.outputHeight, rgb.data(), kWidth, kHeight);
      rgb = scaled;
    }
    Bytes yuy2(static_cast<size_t>(used.outputWidth * used.outputHeight * 2));
    quorvane_capture::reference::rgb32ToYUY2(yuy2.data(), rgb.data(), used.outputWidth,
                                             used.outputHeight, order);
    return yuy2;
  };
  int from = 0;
  std::vector<size_t> marked;  // pictures with a ring: no drawing exactly
  for (size_t k = 0; k < pictures.size(); ++k) {
    if (pattern[k] == 'R') continue;
    int found = -1;
    for (int n = from; n <= lastDrawn && found < 0; ++n) {
      if (expected(n) == pictures[k]) found = n;
    }
    if (clicks && found < 0) {
      marked.push_back(k);
      continue;
    }
    ASSERT_GE(found, 0) << "video record " << k << " shows no drawing from " << from;
    from = found;
  }
  if (clicks) {
    ASSERT_EQ(events.size(), 2u) << "a press and a release";
    const QvClickEvent& press = events[0];
    EXPECT_EQ(press.button, QV_CLICK_LEFT);
    EXPECT_EQ(press.pressed, 1);
    EXPECT_EQ(events[1].pressed, 0);
    EXPECT_EQ(press.x, kClickX);
    EXPECT_EQ(press.y, kClickY);
    ASSERT_FALSE(marked.empty()) << "no ring in any picture";
    EXPECT_EQ(marked.front(), static_cast<size_t>(press.frame)) << "the ring from the press on";
    EXPECT_LE(marked.back(), static_cast<size_t>(press.frame) + kFrameRate * 4 / 10)
        << "the ring gone after about 0.3 s";
    // Around the click only: the ring's picture against the drawing nearest to it.
    const Bytes& ring = pictures[marked.front()];
    size_t fewest = ring.size();
    Bytes nearest;
    for (int n = 0; n <= lastDrawn; ++n) {
      const Bytes e = expected(n);
      const size_t differ = static_cast<size_t>(
          std::inner_product(e.begin(), e.end(), ring.begin(), size_t{0}, std::plus<size_t>(),
                             [](uint8_t a, uint8_t b) { return a != b ? 1u : 0u; }));
      if (differ < fewest) {
        fewest = differ;
        nearest = e;
      }
    }
    for (size_t at = 0; at < ring.size(); ++at) {
      if (nearest[at] == ring[at]) continue;
      const int x = static_cast<int>(at / 2 % used.outputWidth);
      const int y = static_cast<int>(at / 2 / used.outputWidth);
      EXPECT_LE(std::abs(x - kClickX) + std::abs(y - kClickY), 80)
          << "changed far from the click at " << x << "," << y;
    }
  }
  std::printf("  %llu frames captured, %zu video records, drawings up to %d\n",
              static_cast<unsigned long long>(captured), pattern.size(), lastDrawn);
}

TEST(PipelineUnderWine, RecordsAGdiWindowAtCaptureSize) {
  recordAndCheck(0, 0, "qv-pipeline-wine-full.qvf");
}

TEST(PipelineUnderWine, RecordsAGdiWindowDownscaled) {
  recordAndCheck(80, 60, "qv-pipeline-wine-scaled.qvf");
}

TEST(PipelineUnderWine, StreamsAGdiWindowWithDirectSoundSound) {
  recordAndCheck(80, 60, "qv-pipeline-wine-streamed.qvf", true);
}

TEST(PipelineUnderWine, RecordsAWindowAsItsScreenRegionWithGdiWhereDuplicationFails) {
  recordAndCheck(0, 0, "qv-pipeline-wine-duplication.qvf", false, false, true);
}

TEST(PipelineUnderWine, AClickDrawsItsRingAroundItForAMomentAndIsKeptAsAnEvent) {
  recordAndCheck(0, 0, "qv-pipeline-wine-clicks.qvf", false, false, false, true);
}

TEST(PipelineUnderWine, UnchangedPicturesBecomeRepeatRecords) {
  recordAndCheck(0, 0, "qv-pipeline-wine-unchanged.qvf", false, true);
}

}  // namespace
