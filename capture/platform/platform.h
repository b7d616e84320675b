// What the capture core needs from the operating system, named for the need rather than for a
// system call. One backend per build: platform/win32 (Win32, GDI, DirectSound) or
// platform/linux (POSIX, X11 with MIT-SHM, PulseAudio).
//
// Objects follow one shape: create, use, close. close() is idempotent and leaves every handle
// null; wrappers cannot be copied.
#ifndef QUORVANE_PLATFORM_H
#define QUORVANE_PLATFORM_H

#include <cstddef>
#include <cstdint>

namespace quorvane_capture {
namespace platform {

// --- Synchronisation and time -------------------------------------------------------------

// An unnamed mutex, not initially owned, waited on without a time-out. Null when creation
// failed; lock/unlock/close accept null and do nothing with it.
using Mutex = void*;
Mutex createMutex();
void lockMutex(Mutex mutex);
void unlockMutex(Mutex mutex);
void closeMutex(Mutex& mutex);

// Holds a mutex for one scope.
class MutexLock {
 public:
  explicit MutexLock(Mutex mutex) : mutex_(mutex) { lockMutex(mutex_); }
  ~MutexLock() { unlockMutex(mutex_); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex mutex_;
};

// A wake-up for threads that wait for work, signalled by the thread that made the work.
// notifySignal wakes every waiting thread. A waiter reads signalCount before it looks for work
// and passes that count to waitSignal, which returns at once when a notification came after
// the read: none is lost between looking and waiting. The time-out bounds every wait. Null when
// creation failed: notifySignal then does nothing and waitSignal sleeps the time-out.
using Signal = void*;
Signal createSignal();
uint64_t signalCount(Signal signal);
void notifySignal(Signal signal);
void waitSignal(Signal signal, uint64_t seen, uint32_t timeoutMilliseconds);
void closeSignal(Signal& signal);

// The calling thread's priority among the process's threads. The capture thread runs kPaced
// while it grabs, so that the threads doing picture work (as many as there are processors) never
// delay a grab; kNormal puts it back. Raising needs no privilege on Windows; on Linux it needs
// one (CAP_SYS_NICE or RLIMIT_NICE) and is left as it was without.
enum class ThreadPriority { kNormal, kPaced };
void setCurrentThreadPriority(ThreadPriority priority);

// The clock of frame time stamps and capture pacing, in milliseconds since the library was
// loaded, steady whatever is done to the system time. Windows: the performance counter. Linux:
// a monotonic wall clock (clock() there counts processor time, which stands still while a
// thread sleeps).
double clockMilliseconds();
void sleepMilliseconds(uint32_t milliseconds);
// The system timer resolution while capturing; period 0 is refused by the system and changes
// nothing. No-ops on Linux, whose sleeps are already precise.
void timeBeginPeriod(uint32_t period);
void timeEndPeriod(uint32_t period);

// --- Processors and desktop ---------------------------------------------------------------

// The process's and the system's processor masks (Linux: the system mask is the set of online
// processors, up to 64). False when the system could not tell.
bool getProcessAffinityMask(uint64_t* processMask, uint64_t* systemMask);
void setProcessAffinityMask(uint64_t mask);
// Switches desktop composition off where the system has it; nothing to do on Linux.
void disableComposition();

// --- Windows ------------------------------------------------------------------------------

// A window handle (HWND on Windows, an X window id on Linux).
using WindowHandle = uint64_t;

struct Rect {
  int32_t left;
  int32_t top;
  int32_t right;
  int32_t bottom;
};

// Whether there is a screen to record at all: an X server that answers (Linux), a desktop
// (Windows).
bool displayAvailable();
// The window that stands for the whole screen (GetDesktopWindow; the root window on X11).
WindowHandle desktopWindow();
// False when the window does not exist or its rectangle cannot be read. The client rectangle
// starts at (0, 0).
bool getWindowRect(WindowHandle window, Rect* rect);
bool getClientRect(WindowHandle window, Rect* rect);

// Window enumeration for the window list: the top-level windows in the system's order.
// The callback returns true to go on.
using EnumWindowsCallback = bool (*)(WindowHandle window, int64_t value);
void enumWindows(EnumWindowsCallback callback, int64_t value);
// Extended-style facts the window filter needs.
constexpr uint32_t kWindowStyleToolWindow = 0x00000080;  // WS_EX_TOOLWINDOW
constexpr uint32_t kWindowStyleAppWindow = 0x00040000;   // WS_EX_APPWINDOW
uint32_t getWindowExtendedStyle(WindowHandle window);
bool isWindowVisible(WindowHandle window);
// The window exists and is minimised (iconic): it has no picture to grab while it stays so.
bool isWindowMinimised(WindowHandle window);
// Zero-terminated text of at most capacity bytes, cut so that no character is split; empty
// when it cannot be read.
void getWindowTitle(WindowHandle window, char* text, size_t capacity);
void getWindowProcessName(WindowHandle window, char* text, size_t capacity);

// --- Screen grabbing ----------------------------------------------------------------------

// Grabs a rectangle of a window into a top-down 32-bit picture (blue, green, red, fourth byte),
// rows exactly width x 4 bytes. Windows: a DIB section selected into a memory DC, filled with
// BitBlt from GetDC/GetWindowDC. X11: an MIT-SHM image, XGetImage where MIT-SHM is missing.
class ScreenGrabber {
 public:
  ScreenGrabber();
  ~ScreenGrabber();
  ScreenGrabber(const ScreenGrabber&) = delete;
  ScreenGrabber& operator=(const ScreenGrabber&) = delete;

  // How the next open() grabs; by default the window's own picture (GDI: its device context).
  // screenRegion: the screen at the rectangle the window covers, with whatever lies on top of it
  // as the user sees it, following the window as it moves (the desktop window is the screen
  // either way). duplication: the screen through Desktop Duplication where the system offers it
  // (Windows 8 and later), the GDI copy of the screen where it does not and, after an error it
  // cannot recover from, for the rest of the recording. Linux: both are ignored, the X11 grab of
  // the window is used.
  void setScreenMethod(bool screenRegion, bool duplication);
  enum class Method {
    kWindow,       // the window's own picture
    kScreen,       // the ordinary copy of the screen (GDI, X11)
    kDuplication,  // Desktop Duplication
  };
  // What the grabs use now (kWindow while closed).
  Method method() const;
  // Why Desktop Duplication, asked for, is not used (any more): the call that failed and the
  // system's code for it; null and 0 while it is used, or when it was not asked for.
  const char* duplicationFailedCall() const;
  int32_t duplicationFailure() const;

  // The name of the system's ordinary copy ("GDI", "X11"), for the record of how a file was made.
  static const char* ordinaryCopyName();

  bool open(WindowHandle window, bool clientArea, int32_t width, int32_t height);
  // The picture memory; null while closed.
  uint8_t* pixels() const;
  // Copies the rectangle at (sourceX, sourceY) of the window into pixels(). Parts of the
  // rectangle outside the window keep what the picture held. False when nothing was copied.
  bool grab(int32_t sourceX, int32_t sourceY);
  // Whether grab() also draws the mouse pointer, at its place with its hot spot, over the
  // picture (off when opened). Windows: the cursor the system shows, drawn with DrawIconEx.
  // X11: the XFixes cursor image, blended; nothing where the server lacks XFixes.
  void setCursorDrawing(bool enabled);
  // The pointer against the last grab's rectangle: its hot spot relative to the picture's
  // top-left corner (outside the picture too) and the buttons down (kPointerLeft,
  // kPointerRight, as the user sees them, swapped buttons swapped back). False when the system
  // could not tell. X11: the pointer query's position and mask. Windows: GetCursorPos and
  // GetAsyncKeyState, whose "pressed since the last query" bit counts as down, so a click
  // shorter than the time between two reads is seen all the same.
  bool readPointer(int32_t* x, int32_t* y, uint32_t* buttons);
  void close();
  bool isOpen() const;

 private:
  struct Impl;
  Impl* impl_;
  bool screenRegion_ = false;
  bool duplication_ = false;
};

// How the screen is read, for the record of how a file was made: "x11", "portal" (Linux, a
// screen cast is open), "gdi" (Windows).
const char* screenPathName();

constexpr uint32_t kPointerLeft = 1;
constexpr uint32_t kPointerRight = 2;

// --- Hot keys -----------------------------------------------------------------------------

constexpr int kKeyPrintScreen = 44;  // VK_SNAPSHOT
constexpr int kKeyF12 = 123;         // VK_F12
constexpr int kKeyF11 = 122;         // VK_F11: pause key
constexpr int kKeyPause = 19;        // VK_PAUSE: pause key
// Key state in the shape of GetAsyncKeyState: bit 0x8000 down now, bit 0x0001 pressed since the
// previous query (X11 reports only the first).
uint16_t getAsyncKeyState(int virtualKey);

}  // namespace platform
}  // namespace quorvane_capture

#endif
