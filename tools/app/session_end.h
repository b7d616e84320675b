// Logging off or shutting down while Quorvane.exe records: the main window stops the recording
// when the system asks whether the session may end, and holds the end up until the files are
// complete (as long as the system grants).
#pragma once

#include "session.h"

namespace qvapp {

// Waits, without a time limit of its own, until the session has no recording, stop or write
// under way, and returns its status then.
SessionStatus waitUntilSaved(RecordingSession& session);

}  // namespace qvapp
