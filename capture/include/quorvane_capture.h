// The capture library's exported interface: plain C functions driven by a host program.
//
// Calling order: createWindowList/getWindowList (optional, to choose targetWindow);
// setRepeatUnchanged (optional); Initialize; getInitializeStatus (0 = ready); optionally
// waitCaptureAction; start on threads of the host's own CaptureThread, EncodeThread once for each
// index below getEncodeThreadCount(), CompressThread and AudioCaptureThread; getProgress at will;
// setTerminated(1); once all of them have returned, OutputThread and AudioOutputThread; finally
// Finalize. To record straight to disk, start StreamOutputThread with the recording threads instead
// of running the two output threads after them (see below).
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
  int64_t frameRate;      // frames per second, at least 1; also the key-frame interval
  uint64_t targetWindow;  // window handle (an X window id on Linux); the desktop records all
  int64_t sourceX;        // left edge of the recorded rectangle, relative to the window
  int64_t sourceY;        // top edge, same origin
  int64_t captureWidth;   // < 1 or wider than the window: the window's width
  int64_t captureHeight;  // < 1 or taller than the window: the window's height
  int64_t outputWidth;    // < 2 or > captureWidth: captureWidth. Made even, see Initialize
  int64_t outputHeight;   // < 2 or > captureHeight: captureHeight
  uint64_t memorySize;    // byte budget of the frame memory pool, see Initialize
  uint64_t affinityMask;  // requested processor affinity of the process
  int32_t colorMatrix;    // 0 automatic (BT.709 from 720 lines up), 2 BT.709, else BT.601
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
  QV_INIT_NOT_INITIALIZED = 1,  // Initialize never ran, or Finalize has run since
  QV_INIT_BAD_FRAME_RATE = 2,   // frameRate below 1
  QV_INIT_EMPTY_TARGET = 3,     // target rectangle empty or unreadable (closed, minimised)
  QV_INIT_FRAME_TOO_LARGE = 4,  // one capture frame above 104857600 bytes
  QV_INIT_TOO_SMALL = 5,        // fewer than 2 columns left to record
  QV_INIT_CAPTURE_FAILED = 6,   // the screen grabber could not be set up on the window
  QV_INIT_NO_DISPLAY = 7,       // no screen to record: no X server reachable ($DISPLAY unset
                                // or wrong), no desktop (Windows)
  QV_INIT_NO_MEMORY = 8         // the memory pool could not reserve a single block
};

// Thread procedures return this; it means nothing unless documented.
typedef uint64_t qv_thread_result;

// Start-up. Initialize copies and corrects *setting (read it back with getCaptureSetting).
// An odd output width would break the difference frames: when outputWidth equals captureWidth
// both lose their last column; otherwise outputWidth is rounded down to even.
// The pool takes memorySize bytes in blocks of at most 100 MiB (at least one block), but never
// more than half of the machine's physical memory, and fewer blocks when the system cannot
// supply them: any value, up to 2^64 - 1, initialises (getCaptureSetting keeps the value asked
// for), unless not even one block can be had (QV_INIT_NO_MEMORY). Settings that cannot run are
// refused: the library stays not initialised, every thread procedure returns at once,
// getEncodeThreadCount returns 0, and getInitializeStatus says why. A refusal leaves the process as
// it was: its processor affinity and desktop composition are only changed once nothing can fail any
// more.
QV_EXPORT void Initialize(const CaptureSetting* setting);
QV_EXPORT int32_t getInitializeStatus(void);
QV_EXPORT const CaptureSetting* getCaptureSetting(void);
QV_EXPORT void* Test(void);
QV_EXPORT void Finalize(void);
QV_EXPORT int32_t getEncodeThreadCount(void);

// Run control. waitCaptureAction returns QV_HOTKEY_PRESSED when F12 or Print Screen was pressed,
// QV_HOTKEY_STOPPED when setTerminated ended the wait.
enum { QV_HOTKEY_STOPPED = 0, QV_HOTKEY_PRESSED = 1 };
QV_EXPORT int32_t waitCaptureAction(void);
QV_EXPORT void setTerminated(int32_t flag);
QV_EXPORT double getProgress(void);
QV_EXPORT uint64_t getAffinityMask(void);
QV_EXPORT int32_t setAffinityMask(uint64_t mask);

// Sound. AudioCaptureThread records the default capture device (or the source chosen with
// setSoundSource, below) until setTerminated (which also stops it and waits for it) and returns
// QV_SOUND_CAPTURED after a capture, QV_SOUND_NONE when none ran: no capture device or source
// (the recording then simply has no sound, getSoundStatus says why), the library is not
// initialised, or the stop came before the capture started. AudioOutputThread writes the sound
// as a PCM WAV file (16-bit stereo at the recording's rate) at the path it is given (a
// NUL-terminated narrow string); run it after setTerminated has returned. It returns a QV_WAV_*
// value. The file is written as path + ".part" beside the path and renamed when complete, so after
// a failure the path holds what it held before (no file, or an older one), never a short file;
// devices and pipes are written in place.
enum { QV_SOUND_NONE = 0, QV_SOUND_CAPTURED = 1 };
enum {
  QV_WAV_WRITTEN = 0,          // the file is complete (without sound: a valid empty one)
  QV_WAV_CANNOT_OPEN = 1,      // the file could not be created (bad or unwritable path)
  QV_WAV_WRITE_FAILED = 2,     // a write, the close or the rename failed (disk full...)
  QV_WAV_NOT_INITIALIZED = 3,  // no recording: the library is not initialised
  QV_WAV_ALREADY_WRITTEN = 4   // StreamOutputThread wrote this recording's sound already
};
QV_EXPORT qv_thread_result AudioCaptureThread(void* parameter);
QV_EXPORT qv_thread_result AudioOutputThread(void* path);

// Video pipeline. CaptureThread grabs at the frame rate until the stop flag or a full pool
// and returns the number of frames it captured. EncodeThread takes its index (0 up to
// getEncodeThreadCount() - 1) as the integer value of its parameter; it and CompressThread
// return the number of frames they finished. A stage that finds the pool full stops the
// recording (getRecordingStatus then says QV_STATUS_POOL_FULL). OutputThread, run after all
// recording threads have returned, writes the .qvf file at the path it is given (a
// NUL-terminated narrow string). Its result: the number of video records written (frames plus
// repeat records); QV_OUTPUT_FAILED (0) when no frame was recorded (no file is made) or the file
// could not be written completely (bad path, a failed write or close: disk full...);
// QV_OUTPUT_ALREADY_WRITTEN when StreamOutputThread wrote this recording. Like the WAV file it
// is written as path + ".part" and renamed when complete: after a failure the path holds what
// it held before, never a short file that would open as a recording. A failed run loses
// nothing: running OutputThread again, to another path, writes the whole file, and two runs
// over the same recording write the same bytes. Progress (getProgress) runs from 0 to exactly 1
// with the records written; only the result says the file is complete.
#define QV_OUTPUT_FAILED ((qv_thread_result)0)
#define QV_OUTPUT_ALREADY_WRITTEN (~(qv_thread_result)0)
QV_EXPORT qv_thread_result CaptureThread(void* parameter);
QV_EXPORT qv_thread_result EncodeThread(void* parameter);
QV_EXPORT qv_thread_result CompressThread(void* parameter);
QV_EXPORT qv_thread_result OutputThread(void* path);

// Processors and threads. getEncodeThreadCount() is the number of processors the recording may
// use: those of the settings' affinityMask that the system has (all of them when that leaves
// none), one fewer with reserveOneProcessor (never fewer than one). The host starts that many
// EncodeThread and one CompressThread, as always; the library starts no thread of its own.
// The compress work is spread over them: while CompressThread runs, an encode thread with
// compress work ready takes it on before its own next frame, so up to getEncodeThreadCount() + 1
// frames are compressed at a time (the records still reach the file in list order). After the
// stop, CompressThread returns once every frame handed out is compressed, with the number that
// all of them compressed. A stage with nothing to do waits until another hands it work, and at
// most 100 ms, so a stop is seen at once.
//
// Unchanged pictures. setRepeatUnchanged(1) before Initialize (it holds for every Initialize
// after it until changed; off by default): a captured picture identical to the one before, when
// it is not due as a key record (those stay every frameRate-th captured frame), is written as a
// repeat record instead of a difference record, by every writer, and the memory its record
// would take goes back to the pool at once, so a still screen costs neither disk nor pool.
// Those repeat records stand for captured frames, unlike the ones that fill the slots the
// capture missed; getUnchangedFrameCount gives their number so far, from any thread while the
// recording runs and after it until Finalize (0 without Initialize).
QV_EXPORT void setRepeatUnchanged(int32_t enable);
QV_EXPORT int64_t getUnchangedFrameCount(void);

// Recording straight to disk. Instead of OutputThread and AudioOutputThread after the stop, a
// host may start StreamOutputThread together with the recording threads, with a QvStreamPaths
// that stays valid until the thread returns (wavPath may be null or empty: no WAV file). It
// writes the .qvf file at once and each frame's record as soon as the compress thread has
// finished it (the same records OutputThread would write, with the sound records placed as the
// sound arrives), the WAV file as the sound arrives, and gives what it wrote back to the pool:
// the pool holds only the backlog, so the disk, not memorySize, bounds the length of a
// recording. At least every half second the bytes go to the system and the WAV header's
// lengths are brought up to date, and every second the system is asked to put them on the disk:
// a process ended at any moment (or a power cut) leaves a .qvf file readable up to about then
// (the last record may be torn) and a WAV file that players read. Both files are
// written under their own names, not renamed. After setTerminated it finishes the frames the
// recording threads left (as OutputThread does), completes both files and returns the number of
// video records, or QV_OUTPUT_FAILED when they could not be written completely. OutputThread
// and AudioOutputThread then return QV_OUTPUT_ALREADY_WRITTEN and QV_WAV_ALREADY_WRITTEN. A file
// that cannot be created makes it return QV_OUTPUT_FAILED at once with QV_STATUS_CANNOT_OPEN;
// the recording then goes on in memory for OutputThread and AudioOutputThread. A write that
// fails while recording stops the recording (QV_STATUS_WRITE_FAILED); what was written stays
// readable. A writer slower than the recording lets the backlog grow until the pool is full,
// which stops the recording as in memory (QV_STATUS_POOL_FULL).
typedef struct QvStreamPaths {
  const char* containerPath;  // the .qvf file
  const char* wavPath;        // the WAV file, or null
} QvStreamPaths;
QV_EXPORT qv_thread_result StreamOutputThread(void* paths);

// How the recording is going, readable from any thread while the threads run: the first fault
// that stopped it, or QV_STATUS_OK.
enum {
  QV_STATUS_OK = 0,
  QV_STATUS_NOT_INITIALIZED = 1,   // Initialize never ran, was refused, or Finalize has run
  QV_STATUS_POOL_FULL = 2,         // the memory pool is full: the recording stopped
  QV_STATUS_WRITE_FAILED = 3,      // streaming: a write failed (disk full, drive removed)
  QV_STATUS_CANNOT_OPEN = 4,       // streaming: a file could not be created; recording in memory
  QV_STATUS_TARGET_LOST = 5,       // the recorded window was closed: the recording stopped
  QV_STATUS_TARGET_MINIMISED = 6,  // the recorded window was minimised (it has no picture while it
                                   // is): the recording stopped
  QV_STATUS_GRAB_FAILED = 7,       // the picture could not be grabbed for several frames in a row
                                   // (the display went away): the recording stopped
  QV_STATUS_SOUND_LOST = 8,        // no longer given: a sound device that goes away no longer
                                   // stops the recording (its sound goes on as silence, with
                                   // QV_WARNING_SOUND_LOST and QV_SOURCE_LOST); the number stays
                                   // taken for hosts that still name it
  QV_STATUS_SCREEN_ENDED = 9       // the recorded screen is gone: the screen cast ended (the user
                                   // stopped sharing, the portal or PipeWire went away) or the
                                   // X server closed; the recording stopped
};
// A target whose picture cannot be had for five grabs in a row ends the recording with
// one of the three statuses above; a single failed grab keeps the last picture for its slot.
QV_EXPORT int32_t getRecordingStatus(void);

// What the host should tell the user while the recording goes on, as bits; cleared when the
// recording starts. QV_WARNING_BLACK_PICTURE: a window (never the whole screen) gave two
// seconds of pictures in which every pixel is exactly black, which is what windows drawn by the
// GPU give on systems that compose the desktop; the screen (window 0) records them.
//
// QV_WARNING_GDI_FALLBACK: Desktop Duplication was to copy the screen (setCaptureMethod) but
// could not be had at the start, or failed during the recording in a way it cannot recover
// from: from then on the pictures come from GDI's copy of the screen (slower; windows drawn by
// the GPU may come out black). getGrabMethod and getDuplicationFailure say more; the record of
// how the file was made names both methods and when the change happened.
//
// QV_WARNING_SOUND_LOST: the sound device went away while recording and nothing took its place
// (a default that changes is followed without a word): the recording goes on, and its sound is
// silence of the exact length from then on; getSoundStatus says QV_SOURCE_LOST. With two
// sources only the one gone is silent (its track; the mix goes on with the other), and
// getSoundSourceStatus says which. Where the system tells when a device appears (Linux), a
// source is recorded again once a device is there again (a new default, the device plugged
// back in): its status is QV_SOURCE_READY again, the silence lasts exactly as long as it was
// away, and this bit stays set as the record that it happened.
enum {
  QV_WARNING_NONE = 0,
  QV_WARNING_BLACK_PICTURE = 1,
  QV_WARNING_GDI_FALLBACK = 2,
  QV_WARNING_SOUND_LOST = 4
};
QV_EXPORT int32_t getRecordingWarnings(void);

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

// The way the screen is read: "x11" (the X server), "portal" (a screen cast opened with
// openScreenCast, Linux) or "gdi" (Windows). The record of how the file was made names it.
QV_EXPORT const char* getScreenPath(void);

#if !defined(_WIN32)
// Wayland desktops (Linux): the desktop portal grants the screen as a PipeWire stream.
// probeScreenCast tells whether a portal answers on the session bus and which sources it offers
// (QV_CAST_SOURCE_* bits). openScreenCast runs the desktop's choice (a dialog, skipped when the
// grant of the last time is still valid: its restore token is kept in
// $XDG_STATE_HOME/quorvane/, by default ~/.local/state/quorvane/) and opens the stream; from
// then on the desktop window (window list entry 0, the screen) is the cast, at the size the
// stream had when it opened. A later size change of the stream is scaled into that size with an
// area average, its shape kept between black bars. Windows given by X window id still record
// through X11. closeScreenCast ends the cast (after Finalize or before the next openScreenCast).
// getScreenCastFrames counts the pictures the stream delivered (only changes of the screen
// bring one).
enum {
  QV_CAST_OK = 0,
  QV_CAST_NO_PORTAL = 1,  // no session bus, or no screen-cast portal on it
  QV_CAST_CANCELLED = 2,  // the user cancelled the desktop's choice
  QV_CAST_FAILED = 3,     // the portal refused or did not answer (see its log)
  QV_CAST_NO_STREAM = 4   // granted, but the PipeWire stream could not be opened
};
enum { QV_CAST_POINTER = 1, QV_CAST_CHOOSE_AGAIN = 2 };  // openScreenCast flags
enum { QV_CAST_SOURCE_MONITOR = 1, QV_CAST_SOURCE_WINDOW = 2 };
QV_EXPORT int32_t probeScreenCast(uint32_t* sourceTypes);
QV_EXPORT int32_t openScreenCast(int32_t flags);
QV_EXPORT void closeScreenCast(void);
QV_EXPORT uint64_t getScreenCastFrames(void);
#endif
// How the pictures are copied from the screen (Windows; on Linux the X11 copy of the window,
// the root window for the screen, whatever the choice). Returns 1 when the method was taken, 0
// for a value that names none (the choice is kept).
enum {
  QV_METHOD_AUTO = 0,         // the default: the whole screen through Desktop Duplication where
                              // the system offers it (Windows 8 and later; GDI elsewhere), a
                              // window through its own device context (GDI)
  QV_METHOD_DUPLICATION = 1,  // a window too is recorded as the part of the screen it covers,
                              // with whatever lies on top of it, as the user sees it, through
                              // Desktop Duplication (GDI's copy of the screen where it cannot be
                              // had). Windows drawn by the GPU need this: their own device
                              // context holds only black.
  QV_METHOD_GDI = 2           // GDI everywhere: the screen's device context for the screen, the
                              // window's own for a window
};
QV_EXPORT int32_t setCaptureMethod(int32_t method);
QV_EXPORT int32_t getCaptureMethod(void);
// After Initialize, from any thread: what the grabs use now (QV_GRAB_NONE when not initialised),
// and the system's error code (an HRESULT) that ended Desktop Duplication, 0 while it runs or
// when it was not used.
enum { QV_GRAB_NONE = 0, QV_GRAB_WINDOW = 1, QV_GRAB_SCREEN = 2, QV_GRAB_DUPLICATION = 3 };
QV_EXPORT int32_t getGrabMethod(void);
QV_EXPORT int32_t getDuplicationFailure(void);

// Mouse clicks: setClickDrawing(1) draws a ring around the pointer's hot spot into the captured
// pictures for about 0.3 s after each press of a mouse button, fading, yellow for the left
// button and blue for the right one, with or without the pointer drawn. It is drawn on the
// picture as captured, before any downscale, and as much larger as the picture is scaled down.
// setClickEvents(1) keeps every press and release for readClickEvents. Both are off by default.
// The buttons are read with each grab and while the capture thread waits for the next one.
QV_EXPORT void setClickDrawing(int32_t enabled);
QV_EXPORT int32_t getClickDrawing(void);
QV_EXPORT void setClickEvents(int32_t enabled);
enum { QV_CLICK_LEFT = 1, QV_CLICK_RIGHT = 2 };
// One press or release: 32 bytes.
typedef struct QvClickEvent {
  int64_t milliseconds;  // on the file's timeline: 0 is the first picture, pauses left out
  int64_t frame;         // the video record of the first picture that can show it
  int32_t x;             // the hot spot in output pixels (may lie outside the picture)
  int32_t y;
  int32_t button;   // QV_CLICK_LEFT or QV_CLICK_RIGHT
  int32_t pressed;  // 1 press, 0 release
} QvClickEvent;
#ifdef __cplusplus
static_assert(sizeof(QvClickEvent) == 32, "QvClickEvent is 32 bytes");
#endif
// While recording (setClickEvents(1) before Initialize), from any thread: moves up to capacity
// of the events not read yet, oldest first, into events and returns how many; 0 without
// events, without the choice, or for a null pointer or capacity below 1. Up to 4096 events wait
// to be read; later ones are dropped until the host reads.
QV_EXPORT int32_t readClickEvents(QvClickEvent* events, int32_t capacity);

// The sound source. The format is 16-bit stereo at the recording's rate (setSoundRate) whatever
// the source: each device is opened at its own rate and converted by the library.
enum {
  QV_SOURCE_CAPTURE_DEVICE = 0,  // the default capture device (microphone, line in): the default
  QV_SOURCE_DESKTOP = 1,         // what the default output device plays (PulseAudio: the monitor
                                 // of the default sink; Windows: loopback of the default render
                                 // endpoint). Silence while nothing plays.
  QV_SOURCE_NONE = 2,            // no sound: AudioCaptureThread returns QV_SOUND_NONE at once
  // Both at once. The sound (the container's classic sound records, the WAV file, the counts)
  // is then their mix: the plain sum of the two at their own levels, clipped where it leaves
  // the 16-bit range. Each source is also kept on a track of its own: track 1 the capture
  // device, track 2 what the computer played (RECORD_AUDIO_TRACK records in the container,
  // and beside the WAV file NAME.wav the files NAME.mic.wav and NAME.desktop.wav, written by
  // AudioOutputThread or StreamOutputThread with it). When only one of the two can be opened
  // the recording holds that one alone, as if it had been chosen by itself, and
  // getSoundStatus says why the other is missing.
  QV_SOURCE_CAPTURE_AND_DESKTOP = 3
};
// Returns 1 when the source was taken, 0 for a value that names none (the choice is kept).
QV_EXPORT int32_t setSoundSource(int32_t source);
QV_EXPORT int32_t getSoundSource(void);

// The recording's sound rate, chosen before Initialize like the source: 44100 (the default) or
// 48000 samples per second, written into the container's header and the WAV file. Returns 1
// when the rate was taken, 0 for any other value (the choice is kept).
QV_EXPORT int32_t setSoundRate(int32_t samplesPerSecond);
QV_EXPORT int32_t getSoundRate(void);

// After Initialize: whether the chosen source could be opened. Without it the recording goes
// on without sound (AudioCaptureThread returns QV_SOUND_NONE, the WAV file is empty): another
// source is never substituted behind the host's back.
enum {
  QV_SOURCE_READY = 0,           // the source is open; AudioCaptureThread will record it
  QV_SOURCE_OFF = 1,             // QV_SOURCE_NONE was chosen, or the library is not initialised
  QV_SOURCE_NO_DEVICE = 2,       // no sound server or device, or it has no default source / sink
  QV_SOURCE_NO_LOOPBACK = 3,     // the system offers no capture of what the output plays
  QV_SOURCE_FORMAT_REFUSED = 4,  // the device is there but refused every format the library
                                 // can take from it
  QV_SOURCE_LOST = 5  // the source was open but went away while recording (unplugged, the sound
                      // server ended): the recording goes on, its sound silence from then on,
                      // until a device is there again (then QV_SOURCE_READY again)
};
// With two sources: QV_SOURCE_READY when both are open and recording, else the status of the
// first that is not (the capture device before the desktop); getSoundSourceStatus tells each.
QV_EXPORT int32_t getSoundStatus(void);
// After Initialize: the status of one source (QV_SOURCE_CAPTURE_DEVICE or QV_SOURCE_DESKTOP)
// of the recording; QV_SOURCE_OFF for a source the recording did not ask for or another value.
QV_EXPORT int32_t getSoundSourceStatus(int32_t source);

// Pause, the live counts and the record of how the file was made. None of them changes a
// recording that does not use them.
//
// setPaused(1) pauses the recording at once, at any moment after Initialize: no picture, no
// repeat record and no sound is recorded until setPaused(0). The file's timeline then goes on
// as if the pause had not been: the frame clock (the time stamps of the pictures) stands still
// while paused, and the sound is cut at the device's position at both moments. Pausing twice
// or resuming a running recording changes nothing; a stop while paused ends the recording as
// it stands. getPaused says whether the recording is paused (QV_RUNNING when not initialised).
enum { QV_RUNNING = 0, QV_PAUSED = 1 };
QV_EXPORT void setPaused(int32_t paused);
QV_EXPORT int32_t getPaused(void);

// The pause hot keys: F11 and Pause. pollPauseKey returns QV_PAUSE_KEY_PRESSED once for each
// fresh press of either (a key held down counts once), QV_PAUSE_KEY_IDLE otherwise; the host
// polls it (every 50 ms or so) and decides what a press means. F12 and Print Screen stay the
// start keys of waitCaptureAction.
enum { QV_PAUSE_KEY_IDLE = 0, QV_PAUSE_KEY_PRESSED = 1 };
QV_EXPORT int32_t pollPauseKey(void);

// Counts of the recording so far, cheap enough to read several times a second. Video records
// are the file's slots: captured pictures plus the repeat records that will fill the slots the
// capture missed (counted as the output thread will write them). Picture length is
// videoRecords / frameRate seconds; sound length is soundSamples / getSoundRate() seconds.
typedef struct RecordingStats {
  int64_t capturedFrames;
  int64_t videoRecords;
  int64_t repeatRecords;
  int64_t longestRepeatRun;    // the most repeat records in a row
  int64_t soundSamples;        // sample frames of sound kept so far (pauses cut out)
  int64_t pausedMilliseconds;  // total time paused, a running pause included
  int32_t paused;              // 1 while paused
  int32_t pauseCount;          // pauses so far, a running one included
  int64_t unchangedFrames;     // captured pictures equal to the one before, stored as repeat
                               // records (setRepeatUnchanged); not among repeatRecords
} RecordingStats;
#ifdef __cplusplus
static_assert(sizeof(RecordingStats) == 64, "RecordingStats is 64 bytes");
static_assert(offsetof(RecordingStats, paused) == 48, "");
static_assert(offsetof(RecordingStats, unchangedFrames) == 56, "");
#endif
// Fills *stats and returns QV_STATS_FILLED; QV_STATS_NONE (with *stats zeroed) when the library
// is not initialised, and for a null pointer.
enum { QV_STATS_NONE = 0, QV_STATS_FILLED = 1 };
QV_EXPORT int32_t getRecordingStats(RecordingStats* stats);

// setWriteProvenance(1) asks OutputThread to put a record of how the file was made right after
// the file header (colour matrix and range, sizes, window title and program, start time, sound
// source, library version, pause points); readers that do not know it skip it. Without the
// request the file is written exactly as before, unless the recording was paused: then the
// record is written all the same, since only it tells where the pauses fell, and likewise for a
// recording with sound tracks (QV_SOURCE_CAPTURE_AND_DESKTOP), since only it tells which track
// holds which source and device. The choice holds
// for every later recording until changed; 0 withdraws it.
QV_EXPORT void setWriteProvenance(int32_t write);

#ifdef __cplusplus
}
#endif

#endif
