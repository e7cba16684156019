// `kelo-ca demo`: the typical signing request on the first token found, one
// line per step.
#ifndef KELO_HOST_DEMO_H
#define KELO_HOST_DEMO_H

#include <string>

namespace kelo {

// Writes `prompt` to `out` and reads one line from the terminal `in` with
// echo off; the terminal's settings are put back afterwards, also when a
// SIGINT or SIGTERM ends the process meanwhile. False when `in` is not a
// terminal or the input ends before a line.
bool ReadHiddenLine(int in, int out, const char* prompt, std::string& line);

// argv holds the arguments after "demo": [--pin PIN] [--data TEXT] [--out DIR].
// Returns 0 when every step succeeded, 1 when one failed, 2 for bad arguments.
int RunDemo(int argc, char** argv);

}  // namespace kelo

#endif
