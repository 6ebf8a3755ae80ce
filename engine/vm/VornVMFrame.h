// Activation records of the virtual machine: one per running segment (a run
// entry's frame), per called script function, and per import filter. Frames
// form a singly linked chain from the current frame through `previous`.
#pragma once

#include <cstdint>

#include "engine/values/Scalar.h"
#include "engine/vm/VornVMStack.h"

namespace vorn {

class Function;
class FunctionParameter;
class Variable;
class VariableHash;
class VornVM;

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
    // A script function's frame keeps its locals in slots until something
    // asks for them by name (VornVM::LocalScope); scope stays null until then.
    VariableHash* scope = nullptr;
    bool ownsScope = false;
    // Set while the locals live in the function frame's slots.
    bool usesSlots = false;
    VornVM_Stack* stack = nullptr;
    bool ownsStack = false;
    uint32_t flags = kFrameDefaultFlags;
    uint32_t outputMode = 0;
    VornVM_Frame* previous = nullptr;
    // Script function frames in the chain up to and including this one: 0
    // for frames of other kinds only (a run entry's frame starts the count
    // again).
    int32_t callDepth = 0;
    // The interpreter's decoded form a function frame returns into the fast
    // way: set by the fast call (in the caller's form), null for frames of
    // other kinds, for calls made another way and once the locals have a
    // scope by name (the general return then ends the call).
    const void* returnForm = nullptr;
};

// The locals of a frame as the interpreter loop's fast paths see them: its
// slots, or none (limit 0) for a frame without slots.
struct FrameSlots {
    Scalar* slots = nullptr;
    uint32_t limit = 0;
    [[gnu::always_inline]] inline void Load(VornVM_Frame* frame);
    [[gnu::always_inline]] Scalar* At(int32_t i) const {
        return static_cast<uint32_t>(i) < limit ? &slots[i] : nullptr;
    }
};

// The frame of a called script function. Its locals are values in slots by
// entry index (Scalar), made Variables only when something needs the object;
// a scope by name is built from them only when something asks for one
// (VornVM::ScopeOf), and from then on the locals live there. The machine
// keeps returned frames for the next calls of the same function, so that a
// call allocates nothing.
class VornVM_FunctionFrame : public VornVM_Frame {
public:
    VornVM_FunctionFrame(VornVM* vm, Function* called);
    // Empties the window, then releases the locals.
    ~VornVM_FunctionFrame() override;
    int32_t AtSegmentEnd() override;

    // The slot of local entry i, or null for an entry the function's locals
    // do not have. Only while usesSlots is set.
    Scalar* SlotAt(int32_t i) {
        return static_cast<uint32_t>(i) < static_cast<uint32_t>(slotCount) ? &slots[i] : nullptr;
    }
    // The variable of local entry i (its slot boxed, made first when absent),
    // or null for an entry the function's locals do not have.
    Variable* SlotVariable(int32_t i);
    // The name of local entry i (empty when it has none).
    const char* SlotName(int32_t i, int32_t* length) const;
    // Entry i becomes a new alias of target, as VariableHash::SetReference.
    void SetSlotReference(int32_t i, Variable* target);
    // Sizes the slots for count locals of the frame's function, all absent.
    void PrepareSlots(int32_t count);
    // The scope of the locals by name: built on first use from the
    // function's locals table, holding the slots' variables (each made
    // now); from then on the locals are reached through it.
    VariableHash* BuildScope();
    // After a call: empties the window, drops the built scope's variables
    // and empties the slots.
    [[gnu::always_inline]] void Reset() {
        // The stack first, as its entries may hold the locals.
        if (window.Depth() > 0 || scope) ResetWindowAndScope();
        ResetSlots();
    }
    // Reset of a frame whose window is empty and whose locals have no scope.
    [[gnu::always_inline]] void ResetSlots() {
        ClearSlots();
        usesSlots = true;
    }
    // ResetSlots of a frame whose locals live in its slots already (a fast
    // call's frame, returning the fast way).
    [[gnu::always_inline]] void ClearSlots() {
        // Numbers own nothing: the first slot that owns something hands the
        // rest to the loop out of line. Most functions have few locals.
        Scalar* p = slots;
        if (slotCount == 2) [[likely]] {
            if (p[0].type >= Scalar::kText || p[1].type >= Scalar::kText) [[unlikely]]
                ClearSlotsFrom(p);
            p[0].type = Scalar::kAbsent;
            p[1].type = Scalar::kAbsent;
        } else if (slotCount == 1) {
            if (p[0].type >= Scalar::kText) [[unlikely]]
                p[0].Clear();
            p[0].type = Scalar::kAbsent;
        } else {
            for (Scalar* const end = slotsEnd; p < end; ++p) {
                if (p->type >= Scalar::kText) [[unlikely]] {
                    ClearSlotsFrom(p);
                    break;
                }
                p->type = Scalar::kAbsent;
            }
        }
        previous = nullptr;
    }
    // The frame whose slot i is at slot.
    static VornVM_FunctionFrame* OwnerOf(const Scalar* slot, int32_t i);

    Function* function;
    // The function's parameters in binding order (the last one first).
    FunctionParameter** parameters = nullptr;
    int32_t parameterCount = 0;
    // Their slots in the same order, each shifted left by one with bit 0 set
    // for a parameter by reference; and whether none is by reference.
    int32_t* bindings = nullptr;
    bool byValueOnly = true;
    // By value only, every slot within the slots: the interpreter's fast
    // call binds without checks.
    bool plainBindings = false;
    // Then the slots of the first two in binding order (where a fused run's
    // operands go), else null.
    Scalar* argumentSlots[2] = {};
    Scalar* slots = nullptr;
    int32_t slotCount = 0;
    Scalar* slotsEnd = nullptr; // slots + slotCount
    // The operand stack: a window of the machine's store.
    VornVM_Stack window;
    // The window top of the machine before this call, given back at return.
    VornVMStackEntry* savedTop = nullptr;
    int32_t savedTopChunk = -1;
    // The next kept frame in the same spare list, and the list.
    VornVM_FunctionFrame* nextSpare = nullptr;
    int32_t spareList = 0;
    // The interpreter's decoded form: the op of the function's entry in a
    // form (kept between calls; set only while the frame binds by value into
    // its slots and its function's code is that form's), and the op to
    // return to in the caller's form (for this call only).
    const void* entryForm = nullptr;
    const void* entryOp = nullptr;
    // The function's flags that change a call's error display and output
    // mode (0x1e), read when the entry is set.
    uint32_t entryFlags = 0;
    const void* returnOp = nullptr;
    // The caller's locals as the loop saw them at a fast call, given back
    // at its fast return.
    FrameSlots callerLocals;
    // The machine's ready frame of its function (VornVM::readyFrames), whose
    // slot it is then; a frame in use has a previous one, a ready frame
    // between its calls none.
    bool ready = false;
    int32_t functionSlot = -1;

private:
    void ResetWindowAndScope();
    [[gnu::noinline]] void ClearSlotsFrom(Scalar* p);

    // The slots follow a header that leads back to their frame.
    struct SlotHeader {
        VornVM_FunctionFrame* frame;
        int64_t unused;
    };
    static_assert(sizeof(SlotHeader) == sizeof(Scalar), "the header takes one slot's room");

    int32_t slotRoom = 0;
    VariableHash* builtScope = nullptr;
};

[[gnu::always_inline]] inline void FrameSlots::Load(VornVM_Frame* frame) {
    if (frame->usesSlots) {
        auto* f = static_cast<VornVM_FunctionFrame*>(frame);
        slots = f->slots;
        limit = static_cast<uint32_t>(f->slotCount);
    } else {
        slots = nullptr;
        limit = 0;
    }
}

// The frame of a filter (an import's): when its segment ends the interpreter
// pops a truth value and hands it to the callback, then carries on. It
// borrows the stack and scope of the frame below.
class VornVM_FilterFrame : public VornVM_Frame {
public:
    using Callback = void (*)(VornVM&, int32_t truth);
    explicit VornVM_FilterFrame(Callback onEnd) : callback(onEnd) {}
    int32_t AtSegmentEnd() override;

    Callback callback;
};

} // namespace vorn
