// Unpredictable bytes from the operating system, one sibling file per OS.
#ifndef KELO_PLATFORM_RANDOM_H
#define KELO_PLATFORM_RANDOM_H

#include <cstddef>

namespace platform {

// Fills n bytes from the system's random source; false if it failed.
bool RandomBytes(void* out, std::size_t n);

}  // namespace platform

#endif
