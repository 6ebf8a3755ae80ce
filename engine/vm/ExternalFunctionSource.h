// Where the machine finds the functions a program does not define itself: the
// plug-in function libraries of the request. The engine sees only these
// interfaces; the host's call manager and its call records answer them.
#pragma once

#include <cstdint>

namespace vorn {

class Variable;
class VariableList;
class VornVM;

// One library function, looked up once per request and shared by every call
// site of that name.
class ExternalFunctionCall {
  public:
    virtual ~ExternalFunctionCall() = default;

    virtual int32_t ParameterCount() const = 0;
    // The passing flags of a parameter (0-based; 0 past the last one).
    virtual uint32_t ParameterFlags(int32_t position) const = 0;
    // Calls of this function now running (more than one when re-entered).
    virtual int32_t ActiveCalls() const = 0;
    virtual void EnterCall() = 0;
    virtual void LeaveCall() = 0;
    // Calls the function and hands back its result variable with one
    // reference that the caller now holds.
    virtual Variable* Invoke(VornVM* program, VariableList* parameters) = 0;
};

class ExternalFunctionSource {
  public:
    virtual ~ExternalFunctionSource() = default;

    // The function of that name in any letter case (length -1: up to the
    // NUL), or null when no library has it.
    virtual ExternalFunctionCall* Lookup(const char* name, int32_t length) = 0;
    // Parameter `position` (0-based, in declaration order) of a function that
    // Lookup returned: its name, the name's length and its passing flags.
    // False past the last parameter.
    virtual bool ExternalParameter(ExternalFunctionCall* call, int32_t position, const char** name,
                                   int32_t* length, uint32_t* flags) = 0;
    // Called by a program without a parent as its destruction begins, while
    // it and everything it uses still work: what the libraries kept for the
    // request is released then, handed this program.
    virtual void ProgramEnding(VornVM* program) { (void)program; }
};

} // namespace vorn
