// Conversion between the system's narrow strings and UTF-16 automation
// strings. Windows only: there the narrow strings are in an ANSI code page;
// the Linux hosts speak UTF-8 and convert nothing.
#ifndef KELO_PLATFORM_CODEPAGE_H
#define KELO_PLATFORM_CODEPAGE_H

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// Which ANSI code page narrow text is in: the system's, or the calling
// thread's.
enum class AnsiCodePage { System, Thread };

// UTF-16 text (n units at most) up to its first NUL, in the system's ANSI
// code page; characters it lacks become the code page's default character.
// Throws std::bad_alloc when memory (or the size limit of the conversion)
// runs out.
std::string WideToAnsi(const wchar_t* text, std::size_t n);

// UTF-16 units needed for the whole of text, embedded NULs included.
std::size_t AnsiToWideLength(std::string_view text, AnsiCodePage cp);
// Converts the whole of text into out (capacity units); returns the units
// written, 0 when text is empty or does not fit.
std::size_t AnsiToWide(std::string_view text, AnsiCodePage cp, wchar_t* out, std::size_t capacity);

}  // namespace platform

#endif
