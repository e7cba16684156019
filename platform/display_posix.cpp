#include <cstdlib>
#include <initializer_list>

#include "platform/display.h"

namespace platform {

// An X11 or Wayland session names its display in the environment; without
// one, a dialog has nowhere to appear.
bool HasDisplay() {
  for (const char* var : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(var);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

}  // namespace platform
