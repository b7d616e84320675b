// The capture library's exported interface: plain C functions driven by a host program.
//
// Calling order: createWindowList/getWindowList (optional, to choose targetWindow);
// Initialize; getInitializeStatus (0 = ready); optionally waitCaptureAction; start on threads of
// the host's own CaptureThread, EncodeThread once for each index below getEncodeThreadCount(),
// CompressThread and AudioCaptureThread; getProgress at will; setTerminated(1); once all of them
// have returned, OutputThread and AudioOutputThread; finally Finalize.
#ifndef QUORVANE_CAPTURE_H
#define QUORVANE_CAPTURE_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#if defined(QUORVANE_CAPTURE_BUILD)
#define QV_EXPORT __declspec(dllexport)
#else
#define QV_EXPORT __declspec(dllimport)
#endif
#else
#define QV_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

// The settings record: 112 bytes, fourteen little-endian 64-bit words.
typedef struct CaptureSetting {
  int64_t frameRate;       // frames per second, at least 1; also the key-frame interval
  uint64_t targetWindow;   // window handle (an X window id on Linux); the desktop records all
  int64_t sourceX;         // left edge of the recorded rectangle, relative to the window
  int64_t sourceY;         // top edge, same origin
  int64_t captureWidth;    // < 1 or wider than the window: the window's width
  int64_t captureHeight;   // < 1 or taller than the window: the window's height
  int64_t outputWidth;     // < 2 or > captureWidth: captureWidth. Made even, see Initialize
  int64_t outputHeight;    // < 2 or > captureHeight: captureHeight
  uint64_t memorySize;     // byte budget of the frame memory pool
  uint64_t affinityMask;   // requested processor affinity of the process
  int32_t colorMatrix;     // 0 automatic (BT.709 from 720 lines up), 2 BT.709, else BT.601
  int32_t reserved1;
  int32_t reserved2;
  int32_t reserveOneProcessor;  // non-zero: one encode thread fewer than usable processors
  int32_t fullRange;            // 0 TV range, else full range
  int32_t useAVX;               // 0 SSE2, else AVX if present; rewritten to the one in use
  int32_t clientArea;           // non-zero: client area; 0: the whole window
  int32_t disableDesktopComposition;
} CaptureSetting;

// What getWindowList returns: 56 bytes, seven 64-bit fields.
typedef struct WindowInformationRecord {
  uint64_t hwnd;
  int64_t windowWidth;
  int64_t windowHeight;
  int64_t clientWidth;
  int64_t clientHeight;
  const char* title;        // UTF-8 on Linux, the ANSI code page on Windows
  const char* processName;  // base name of the process's executable, may be empty
} WindowInformationRecord;

#ifdef __cplusplus
static_assert(sizeof(CaptureSetting) == 112, "CaptureSetting is 112 bytes");
static_assert(offsetof(CaptureSetting, frameRate) == 0, "");
static_assert(offsetof(CaptureSetting, targetWindow) == 8, "");
static_assert(offsetof(CaptureSetting, sourceX) == 16, "");
static_assert(offsetof(CaptureSetting, sourceY) == 24, "");
static_assert(offsetof(CaptureSetting, captureWidth) == 32, "");
static_assert(offsetof(CaptureSetting, captureHeight) == 40, "");
static_assert(offsetof(CaptureSetting, outputWidth) == 48, "");
static_assert(offsetof(CaptureSetting, outputHeight) == 56, "");
static_assert(offsetof(CaptureSetting, memorySize) == 64, "");
static_assert(offsetof(CaptureSetting, affinityMask) == 72, "");
static_assert(offsetof(CaptureSetting, colorMatrix) == 80, "");
static_assert(offsetof(CaptureSetting, reserved1) == 84, "");
static_assert(offsetof(CaptureSetting, reserved2) == 88, "");
static_assert(offsetof(CaptureSetting, reserveOneProcessor) == 92, "");
static_assert(offsetof(CaptureSetting, fullRange) == 96, "");
static_assert(offsetof(CaptureSetting, useAVX) == 100, "");
static_assert(offsetof(CaptureSetting, clientArea) == 104, "");
static_assert(offsetof(CaptureSetting, disableDesktopComposition) == 108, "");
static_assert(sizeof(WindowInformationRecord) == 56, "WindowInformationRecord is 56 bytes");
static_assert(offsetof(WindowInformationRecord, title) == 40, "");
static_assert(offsetof(WindowInformationRecord, processName) == 48, "");
#endif

// Why the last Initialize did not leave the library ready (getInitializeStatus).
enum {
  QV_INIT_OK = 0,
  QV_INIT_NOT_INITIALIZED = 1,   // Initialize never ran, or Finalize has run since
  QV_INIT_BAD_FRAME_RATE = 2,    // frameRate below 1
  QV_INIT_EMPTY_TARGET = 3,      // target rectangle empty or unreadable (closed, minimised)
  QV_INIT_FRAME_TOO_LARGE = 4,   // one capture frame above 104857600 bytes
  QV_INIT_TOO_SMALL = 5,         // fewer than 2 columns left to record
  QV_INIT_CAPTURE_FAILED = 6,    // the screen grabber could not be set up on the window
  QV_INIT_NO_DISPLAY = 7,        // no screen to record: no X server reachable ($DISPLAY unset
                                 // or wrong), no desktop (Windows)
  QV_INIT_NO_MEMORY = 8          // the memory pool could not reserve a single block
};

// Thread procedures return this; it means nothing unless documented.
typedef uint64_t qv_thread_result;

// Start-up. Initialize copies and corrects *setting (read it back with getCaptureSetting).
// An odd output width would break the difference frames: when outputWidth equals captureWidth
// both lose their last column; otherwise outputWidth is rounded down to even.
// Settings that cannot run are refused: the library stays not initialised, every thread
// procedure returns at once, getEncodeThreadCount returns 0, and getInitializeStatus says why.
// A refusal leaves the process as it was: its processor affinity and desktop composition are
// only changed once nothing can fail any more.
QV_EXPORT void Initialize(const CaptureSetting* setting);
QV_EXPORT int32_t getInitializeStatus(void);
QV_EXPORT const CaptureSetting* getCaptureSetting(void);
QV_EXPORT void* Test(void);
QV_EXPORT void Finalize(void);
QV_EXPORT int32_t getEncodeThreadCount(void);

// Run control.
QV_EXPORT int32_t waitCaptureAction(void);
QV_EXPORT void setTerminated(int32_t flag);
QV_EXPORT double getProgress(void);
QV_EXPORT uint64_t getAffinityMask(void);
QV_EXPORT int32_t setAffinityMask(uint64_t mask);

// Sound. AudioCaptureThread records the default capture device until setTerminated (which also
// stops it and waits for it) and returns 1 after a capture, 0 when none ran: no capture device
// (the recording then simply has no sound), the library is not initialised, or the stop came
// before the capture started. AudioOutputThread writes the sound as a PCM WAV file (16-bit
// stereo 44100 Hz) at the path it is given (a NUL-terminated narrow string); run it after
// setTerminated has returned. Its result: 0 the file is complete (without sound: a valid empty
// one); 1 the file could not be created (bad or unwritable path), none was made; 2 a write or
// the close failed (disk full...), the file is incomplete; 3 the library is not initialised.
QV_EXPORT qv_thread_result AudioCaptureThread(void* parameter);
QV_EXPORT qv_thread_result AudioOutputThread(void* path);

// Video pipeline. CaptureThread grabs at the frame rate until the stop flag or a full pool
// and returns the number of frames it captured. EncodeThread takes its index (0 up to
// getEncodeThreadCount() - 1) as the integer value of its parameter; it and CompressThread
// return the number of frames they finished. A stage that finds the pool full stops the
// recording. OutputThread, run after all recording threads have returned, writes the .qvf file
// at the path it is given (a NUL-terminated narrow string). Its result: the number of video
// records written (frames plus repeat records); 0 when no frame was recorded (no file is made)
// or the file could not be written completely (bad path, a failed write or close: disk full...).
// A failed run loses nothing: running OutputThread again, to another path, writes the whole
// file, and two runs over the same recording write the same bytes. Progress (getProgress) runs
// from 0 to exactly 1 with the records written; only the result says the file is complete.
QV_EXPORT qv_thread_result CaptureThread(void* parameter);
QV_EXPORT qv_thread_result EncodeThread(void* parameter);
QV_EXPORT qv_thread_result CompressThread(void* parameter);
QV_EXPORT qv_thread_result OutputThread(void* path);

// Pixel kernels. Pictures are packed without row padding: RGB32 is B, G, R, A per pixel
// (width x height x 4 bytes), YUY2 is Y0, U, Y1, V per pixel pair (width x height x 2 bytes).
// No alignment is required. The conversion reads the colour set chosen by the last Initialize
// (BT.709 full range before the first one). RGB32ToYUY2 converts the picture as one run of
// width x height pixels, in pairs; dst may equal src. ZoomOutHeikin32 averages areas and needs
// 1 <= dstW <= srcW, 1 <= dstH <= srcH and no overlap.
QV_EXPORT void RGB32ToYUY2_SSE2(uint8_t* dst, const uint8_t* src, int64_t width, int64_t height);
QV_EXPORT void RGB32ToYUY2_AVX(uint8_t* dst, const uint8_t* src, int64_t width, int64_t height);
QV_EXPORT void ZoomOutHeikin32_SSE2(uint8_t* dst, int64_t dstW, int64_t dstH, const uint8_t* src,
                                    int64_t srcW, int64_t srcH);
QV_EXPORT void ZoomOutHeikin32_AVX(uint8_t* dst, int64_t dstW, int64_t dstH, const uint8_t* src,
                                   int64_t srcW, int64_t srcH);
// dst = cur - prev, byte by byte modulo 256; nothing is written when width is odd.
QV_EXPORT void CalcDeltaFrame_SSE2(uint8_t* dst, const uint8_t* cur, const uint8_t* prev,
                                   int64_t width, int64_t height);
// YV16: Y plane (width x height), then V and U planes of (width x height) / 2 bytes each.
QV_EXPORT void YUY2ToYV16(uint8_t* dst, const uint8_t* src, int64_t width, int64_t height);
// The inverse of YUY2ToYV16; nothing is written when width is odd.
QV_EXPORT void YV16ToYUY2(uint8_t* dst, const uint8_t* src, int64_t width, int64_t height);
// Copies size bytes between ranges that do not overlap, bypassing the cache for the bulk.
QV_EXPORT void memcpy_sse2(void* dst, const void* src, int64_t size);

// Window list, usable before Initialize. createWindowList rebuilds the list and returns its
// length: entry 0 is the whole screen ("**Desktop Screen**"), then the windows worth offering,
// top-most first. getWindowList fills one record reused by every call and returns it, or null
// for an index at or beyond that length; its strings stay valid until the next
// createWindowList or Finalize, which empties the list.
QV_EXPORT uint64_t createWindowList(void);
QV_EXPORT const WindowInformationRecord* getWindowList(uint64_t index);

// Host status: the number of frames captured so far in this recording (0 when the library is
// not initialised). Safe to call from any thread while the recording runs.
QV_EXPORT int64_t getCapturedFrameCount(void);

// Choices made before Initialize, beside the settings record (whose layout stays as it is).
// Each stays in force for every later Initialize until it is changed; with none of them called
// the library records exactly as before.
//
// The mouse pointer: setCursorDrawing(1) draws it into every captured picture, at its place
// with its hot spot, in colour with its alpha (monochrome pointers inverting where they
// invert), whenever it is over the recorded rectangle; 0 (the default) records the screen
// without it.
QV_EXPORT void setCursorDrawing(int32_t enabled);
QV_EXPORT int32_t getCursorDrawing(void);

// The sound source. The format is 16-bit stereo 44100 Hz whatever the source.
enum {
  QV_SOUND_CAPTURE_DEVICE = 0,  // the default capture device (microphone, line in): the default
  QV_SOUND_DESKTOP = 1,         // what the default output device plays (PulseAudio: the monitor
                                // of the default sink; Windows: loopback of the default render
                                // endpoint). Silence while nothing plays.
  QV_SOUND_NONE = 2             // no sound: AudioCaptureThread returns 0 at once
};
// Returns 1 when the source was taken, 0 for a value that names none (the choice is kept).
QV_EXPORT int32_t setSoundSource(int32_t source);
QV_EXPORT int32_t getSoundSource(void);

// After Initialize: whether the chosen source could be opened. Without it the recording goes
// on without sound (AudioCaptureThread returns 0, the WAV file is empty): another source is
// never substituted behind the host's back.
enum {
  QV_SOUND_READY = 0,         // the source is open; AudioCaptureThread will record it
  QV_SOUND_OFF = 1,           // QV_SOUND_NONE was chosen, or the library is not initialised
  QV_SOUND_NO_DEVICE = 2,     // no sound server or device, or it has no default source / sink
  QV_SOUND_NO_LOOPBACK = 3    // the system offers no capture of what the output plays
};
QV_EXPORT int32_t getSoundStatus(void);

#ifdef __cplusplus
}
#endif

#endif
