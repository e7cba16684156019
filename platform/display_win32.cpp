#include "platform/display.h"

namespace platform {

// The control runs in the user's desktop session, where the system's own
// dialogs can always be shown.
bool HasDisplay() { return true; }

}  // namespace platform
