// What tells the two builds apart. The 64-bit build shares one registry of
// three token modules across the process, registers its type library as
// win64 and converts result strings with the calling thread's code page; the
// 32-bit build keeps the older behaviour in each of these places.
#ifndef KELO_COMMON_BUILD_H
#define KELO_COMMON_BUILD_H

namespace kelo {

inline constexpr bool kWideBuild = sizeof(void*) == 8;

}  // namespace kelo

#endif
