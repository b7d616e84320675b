// Which way qvrec reads the screen: X11, or on Wayland desktops the screen-cast portal.
#pragma once

#include <string>

#include "window_choice.h"

namespace qvrec {

enum class Backend { kAuto, kX11, kPortal };

// The path for a recording of the query's target: the portal when forced, or (automatic) when
// WAYLAND_DISPLAY is set, the screen is recorded and a portal answers; X11 otherwise. Opens the
// cast for the portal (with the pointer embedded when cursor, the last grant forgotten when
// chooseAgain). Returns an ExitCode; says why on failure.
int openScreenPath(Backend backend, const WindowQuery& query, bool cursor, bool chooseAgain);
// Ends what openScreenPath opened (idempotent).
void closeScreenPath();

// "qvrec list": the path the screen would be read by, the sources the desktop offers, then the
// window table. Returns an ExitCode.
int listScreenAndWindows(Backend backend);

}  // namespace qvrec
