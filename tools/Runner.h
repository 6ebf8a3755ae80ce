// The command line of `vrrun`, separate from main so tests can drive it.
#pragma once

#include <cstdint>
#include <string>

namespace vorn {

class Output;

// vrrun [-c name=value]... [-s DIR] [-d DIR] [-l LIB]... [-m METHOD=LIB]... [-y NAME=LIB]...
//       [-t TYPE=LIB]... FILE.vrc
// Runs the program with its output going to output; messages about the run
// itself (usage, load failures) are appended to *messages. Returns the exit
// status: 0 normal end, 1 fatal error, abort or time-out, 2 when the program
// cannot be loaded or the command line is wrong.
int32_t RunnerMain(int argc, const char* const* argv, Output* output, std::string* messages);

} // namespace vorn
