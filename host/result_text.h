// Text for people reading at a terminal: what a result code of the control
// means, in a few words, and strings from tokens, files or the environment
// made safe to print.
#ifndef KELO_HOST_RESULT_TEXT_H
#define KELO_HOST_RESULT_TEXT_H

#include <cstdint>
#include <string>
#include <string_view>

namespace kelo {

// Null when code is not one of the control's result codes.
const char* ResultCodeMeaning(std::int32_t code);

// True when `text` is valid UTF-8 without control characters (C0, DEL, C1).
bool IsPrintableUtf8(std::string_view text);

// `text` with every control character (C0, DEL, C1) and every byte that is
// not part of valid UTF-8 written as \xHH, so that a token label or a path
// cannot move the cursor, retitle the window or hide what follows.
std::string TerminalSafe(std::string_view text);

}  // namespace kelo

#endif
