// What a result code of the control means, in a few words, for people
// reading results at a terminal.
#ifndef KELO_HOST_RESULT_TEXT_H
#define KELO_HOST_RESULT_TEXT_H

#include <cstdint>

namespace kelo {

// Null when code is not one of the control's result codes.
const char* ResultCodeMeaning(std::int32_t code);

}  // namespace kelo

#endif
