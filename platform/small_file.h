// Reading a small regular file, refusing whatever else a path can name
// (devices, pipes, FIFOs, sockets, directories) without blocking on it.
// One sibling implementation per OS.
#ifndef KELO_PLATFORM_SMALL_FILE_H
#define KELO_PLATFORM_SMALL_FILE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// Reads the whole file at path. False, with bytes empty, when the path names
// no regular file, it cannot be opened, it is larger than maxSize, or fewer
// bytes can be read than its size.
bool ReadSmallFile(const std::string& path, std::size_t maxSize, std::vector<std::uint8_t>& bytes);

}  // namespace platform

#endif
