// How the screen is read on Windows, for the record of how a file was made.
#include "platform.h"

namespace quorvane_capture {
namespace platform {

const char* screenPathName() { return "gdi"; }

}  // namespace platform
}  // namespace quorvane_capture
