#include "screen_path.h"

#include <cstdio>
#include <cstdlib>

#include "quorvane_capture.h"
#include "recorder.h"

namespace qvrec {

namespace {

#if !defined(_WIN32)
bool wholeScreen(const WindowQuery& query) {
  return query.title.empty() && query.process.empty() &&
         (query.window.empty() || query.window == "0");
}

bool onWayland() {
  const char* display = std::getenv("WAYLAND_DISPLAY");
  return display != nullptr && display[0] != '\0';
}

const char* castProblem(int32_t status) {
  switch (status) {
    case QV_CAST_NO_PORTAL:
      return "no screen-cast portal answers on the session bus (is xdg-desktop-portal and a "
             "backend for this desktop installed and running?)";
    case QV_CAST_CANCELLED:
      return "the choice of what to share was cancelled";
    case QV_CAST_FAILED:
      return "the screen-cast portal refused the recording or did not answer (see its log)";
    case QV_CAST_NO_STREAM:
      return "the screen was granted but its PipeWire stream could not be opened (is PipeWire "
             "running?)";
    default:
      return "the screen cast could not be opened";
  }
}
#endif

}  // namespace

int openScreenPath(Backend backend, const WindowQuery& query, bool cursor, bool chooseAgain) {
#if defined(_WIN32)
  (void)query;
  (void)cursor;
  (void)chooseAgain;
  if (backend == Backend::kPortal) {
    std::fprintf(stderr, "qvrec: --backend portal exists on Linux only\n");
    return kExitUsage;
  }
  return kExitOk;
#else
  if (backend == Backend::kX11) return kExitOk;
  if (backend == Backend::kAuto) {
    // Windows given by X id, title or program are X windows: X11 records them.
    if (!onWayland() || !wholeScreen(query)) return kExitOk;
    if (probeScreenCast(nullptr) != QV_CAST_OK) return kExitOk;
  } else if (!wholeScreen(query)) {
    std::fprintf(stderr,
                 "qvrec: through the portal the desktop's dialog chooses what is recorded; "
                 "--window, --title and --process pick X windows (use --backend x11)\n");
    return kExitUsage;
  }
  const int32_t status =
      openScreenCast((cursor ? QV_CAST_POINTER : 0) | (chooseAgain ? QV_CAST_CHOOSE_AGAIN : 0));
  if (status != QV_CAST_OK) {
    std::fprintf(stderr, "qvrec: %s\n", castProblem(status));
    return status == QV_CAST_CANCELLED ? kExitCancelled : kExitRefused;
  }
  return kExitOk;
#endif
}

void closeScreenPath() {
#if !defined(_WIN32)
  closeScreenCast();
#endif
}

int listScreenAndWindows(Backend backend) {
#if !defined(_WIN32)
  uint32_t types = 0;
  const bool portal = backend != Backend::kX11 && (backend == Backend::kPortal || onWayland()) &&
                      probeScreenCast(&types) == QV_CAST_OK;
  if (portal) {
    std::printf("screen: portal (the desktop's screen cast; it offers %s)\n",
                (types & QV_CAST_SOURCE_WINDOW) != 0
                    ? "monitors and windows: the desktop's dialog lists both"
                    : "monitors only: record X programs by window id with --backend x11");
  } else if (backend == Backend::kPortal) {
    std::fprintf(stderr, "qvrec: %s\n", castProblem(QV_CAST_NO_PORTAL));
    return kExitRefused;
  } else {
    std::printf("screen: x11\n");
  }
  const std::vector<WindowEntry> windows = readWindowList();
  if (windows.empty() && portal) {
    std::printf("(no X server: the screen is recorded through the portal, entry 0)\n");
    return kExitOk;
  }
#else
  (void)backend;
  const std::vector<WindowEntry> windows = readWindowList();
#endif
  if (windows.empty()) {
    std::fprintf(stderr, "qvrec: no window list (is a display reachable?)\n");
    return kExitNoWindow;
  }
  printWindowTable(windows, stdout);
  return kExitOk;
}

}  // namespace qvrec
