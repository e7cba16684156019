// Whether a dialog can be shown at all, asked before anything graphical is
// loaded.
#ifndef KELO_PLATFORM_DISPLAY_H
#define KELO_PLATFORM_DISPLAY_H

namespace platform {

bool HasDisplay();

}  // namespace platform

#endif
