// Activation records of the virtual machine: one per running segment (a run
// entry's frame), per called script function, and per import filter. Frames
// form a singly linked chain from the current frame through `previous`.
#pragma once

#include <cstdint>

namespace vorn {

class Function;
class VariableHash;
class VornVM;
class VornVM_Stack;

// Answers of AtSegmentEnd.
inline constexpr int32_t kFrameEndsRun = 0;
inline constexpr int32_t kFrameEndsFunction = 1;
inline constexpr int32_t kFrameEndsFilter = 2;

// The flags word every run entry's frame starts with; bit 4 lets runtime
// errors be shown.
inline constexpr uint32_t kFrameDefaultFlags = 7;
inline constexpr uint32_t kFrameShowErrors = 4;

class VornVM_Frame {
public:
    VornVM_Frame() = default;
    // Deletes the scope and the stack when owned.
    virtual ~VornVM_Frame();
    VornVM_Frame(const VornVM_Frame&) = delete;
    VornVM_Frame& operator=(const VornVM_Frame&) = delete;

    // What the interpreter does when this frame's segment ends.
    virtual int32_t AtSegmentEnd();
    // Deletes the present scope (stack) when owned, then takes the new one.
    virtual void SetScope(VariableHash* newScope, bool owns);
    virtual void SetStack(VornVM_Stack* newStack, bool owns);

    int32_t returnSegment = -1;
    int32_t returnPc = -1;
    VariableHash* scope = nullptr;
    bool ownsScope = false;
    VornVM_Stack* stack = nullptr;
    bool ownsStack = false;
    uint32_t flags = kFrameDefaultFlags;
    uint32_t outputMode = 0;
    VornVM_Frame* previous = nullptr;
};

// The frame of a called script function.
class VornVM_FunctionFrame : public VornVM_Frame {
public:
    explicit VornVM_FunctionFrame(Function* called) : function(called) {}
    int32_t AtSegmentEnd() override;

    Function* function;
};

// The frame of an import filter: when its segment ends the interpreter pops a
// truth value and hands it to the callback, then carries on.
class VornVM_FilterFrame : public VornVM_Frame {
public:
    using Callback = void (VornVM::*)(int32_t);
    explicit VornVM_FilterFrame(Callback onEnd) : callback(onEnd) {}
    int32_t AtSegmentEnd() override;

    Callback callback;
};

} // namespace vorn
