// Windows only: logging off or shutting down while a recording runs. A console program that
// loads user32 gets no logoff or shutdown console event, so a hidden window of its own, on a
// thread with a message loop, hears the session end: it asks for the stop, tells the system
// why the process holds the shutdown up, and keeps the process alive until the files are
// complete (as long as the system grants).
#pragma once

#include <windows.h>

#include <functional>

namespace qvtools {

// The hidden window's class, by which a test finds it.
constexpr const wchar_t* kEndSessionWindowClass = L"QuorvaneEndSession";
// What the system shows while the process holds the shutdown up.
constexpr const wchar_t* kEndSessionReason = L"The recording is being saved.";

// Starts the window's thread once per process. requestStop runs on that thread when the
// session asks to end; filesComplete is a manual-reset event the host sets when its files are
// complete (or nothing is to be written). False when the window could not be made.
bool watchEndOfSession(std::function<void()> requestStop, HANDLE filesComplete);

}  // namespace qvtools
