#include "session_end.h"

#include <windows.h>

namespace qvapp {

SessionStatus waitUntilSaved(RecordingSession& session) {
  for (;;) {
    const SessionStatus s = session.poll();
    // The session's own thread stops and writes: this one only watches.
    if (s.phase != Phase::kWaitingForKey && s.phase != Phase::kRecording &&
        s.phase != Phase::kStopping && s.phase != Phase::kWriting) {
      return s;
    }
    Sleep(50);
  }
}

}  // namespace qvapp
