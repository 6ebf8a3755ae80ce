// Where code compiled at run time finds the functions that a program does not
// define itself: the plug-in function libraries of the request. The engine
// sees only this interface; the host's call manager answers it.
#pragma once

#include <cstdint>

namespace vorn {

class ExternalCall;

class ExternalFunctionSource {
  public:
    virtual ~ExternalFunctionSource() = default;

    // The function of that name in any letter case (length -1: up to the
    // NUL), or null when no library has it. The result is opaque here: it
    // becomes the external entry of the program's function record.
    virtual ExternalCall* Lookup(const char* name, int32_t length) = 0;
    // Parameter `position` (0-based, in declaration order) of a function that
    // Lookup returned: its name, the name's length and its passing flags.
    // False past the last parameter.
    virtual bool ExternalParameter(ExternalCall* call, int32_t position, const char** name, int32_t* length,
                                   uint32_t* flags) = 0;
};

} // namespace vorn
