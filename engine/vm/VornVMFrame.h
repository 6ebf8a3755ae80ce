// Activation records of the virtual machine: one per running segment (a run
// entry's frame), per called script function, and per import filter. Frames
// form a singly linked chain from the current frame through `previous`.
#pragma once

#include <cstdint>

namespace vorn {

class Function;
class ImportFeature;
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
    // Script function frames in the chain up to and including this one.
    int32_t callDepth = 0;
};

// Frames of returned script function calls, each keeping its emptied operand
// stack and local scope, so that the next calls allocate none of the three.
// Only frames whose stack and scope the frame owns are kept.
class VornVM_FrameSpares {
public:
    // Enough for the recursion depth of ordinary scripts; each costs a stack.
    static constexpr int32_t kCapacity = 64;

    VornVM_FrameSpares() = default;
    // Deletes the kept frames (with their stacks and scopes).
    ~VornVM_FrameSpares();
    VornVM_FrameSpares(const VornVM_FrameSpares&) = delete;
    VornVM_FrameSpares& operator=(const VornVM_FrameSpares&) = delete;

    // The most recently kept frame, or null.
    VornVM_FunctionFrame* Take() { return count > 0 ? frames[--count] : nullptr; }
    // Empties the frame's stack, releases its scope's variables (stack first,
    // as deletion does) and keeps it; deletes it instead when the spares are
    // full or the frame is not one a call can reuse.
    void Recycle(VornVM_FunctionFrame* frame);
    int32_t Count() const { return count; }

private:
    VornVM_FunctionFrame* frames[kCapacity] = {};
    int32_t count = 0;
};

// The frame of an import filter: when its segment ends the interpreter pops a
// truth value and hands it to the callback, then carries on. It borrows the
// stack and scope of the frame below.
class VornVM_FilterFrame : public VornVM_Frame {
public:
    using Callback = void (VornVM::*)(int32_t);
    explicit VornVM_FilterFrame(Callback onEnd) : callback(onEnd) {}
    // Unlinks itself from its import.
    ~VornVM_FilterFrame() override;
    int32_t AtSegmentEnd() override;

    Callback callback;
    // Where a passing record runs the body (returnSegment and returnPc are
    // where the block ends), and the import whose record is tested (null once
    // it is gone).
    int32_t bodySegment = -1;
    int32_t bodyPc = 0;
    ImportFeature* import = nullptr;
};

} // namespace vorn
