// The interpreter loop's calls and returns (see VornVMLoop.h).
//
// The common call, as CallScriptFunction makes it: the function's ready
// frame (VornVM::readyFrames; while that one runs, a kept frame) readied
// for this form (by value into its slots, its entry here), nothing traced.
// Anything else goes the general way. Only a script
// function has frames. The common return, as ReturnFromFunction makes it:
// the value alone on the window, nothing traced, no feature open, no scope
// built, and the call made the fast way from this form.
#pragma once

#include "engine/vm/VornVMLoop.h"

namespace vorn {

// What a push operand leaves as a number argument of a call, as binding
// copies it into a parameter's slot: an integer, a double or an empty value;
// false for anything else.
[[gnu::always_inline]] inline bool DecodedLoop::OperandArgument(const DecodedOperand& o, Scalar* out) {
    if (o.kind == DecodedOperand::kGlobal) {
        Variable* v = Globals().Plain(o.entry);
        if (!v) return false;
        if (v->PlainNumberOf(out)) return true;
        out->bits = 0;
        return v->PlainScalar(out) && out->type <= Scalar::kDouble;
    }
    if (o.kind == DecodedOperand::kInteger) {
        out->bits = static_cast<uint32_t>(o.integer);
        out->type = Scalar::kInteger;
        return true;
    }
    if (o.kind == DecodedOperand::kDouble) {
        out->number = o.number;
        out->type = Scalar::kDouble;
        return true;
    }
    if (o.kind != DecodedOperand::kLocal) return false;
    out->bits = 0;
    Scalar* slot;
    Variable* v = OperandVariable(o, &slot);
    if (slot) {
        // pushl makes the local; binding copies it, reading an empty one's
        // text.
        slot->ReadAsText();
        if (slot->type > Scalar::kDouble) return false;
        out->type = slot->type;
        out->bits = slot->bits;
        return true;
    }
    return v && (v->PlainNumberScalar(out) || (v->PlainScalar(out) && out->type <= Scalar::kDouble));
}

// call (F = 0), and push x (, push y), call (F = 1, 2): the F fused
// operands are not on the stack, the run binds them where the call would
// pop them.
template <int F> [[gnu::always_inline]] inline Flow DecodedLoop::Call() {
    const int32_t slot = op->rest.callee;
    const int32_t place = slot & (VornVM::kSpareLists - 1);
    VornVM_FunctionFrame* called;
    if (vm.readySlots[place] != slot || (called = vm.readyFrames[place])->entryForm != form ||
        called->previous) [[unlikely]]
        called = OtherFrame(slot, vm.readyFrames[place]);
    VornVM_Frame* caller = vm.frame;
    if (!called || !HasCallRoom(F) || !CallFits(caller)) return CallGeneral(F);
    if (called->parameterCount != F) [[unlikely]]
        return CallStacked<F>(called, caller);
    if (!BindFused<F>(called)) return CallGeneral(F);
    return EnterCalled(called, caller, F, false);
}

// The same with arguments on the stack too: the entries it pops must be
// there (a negative count is past any depth).
template <int F>
[[gnu::always_inline]] inline Flow DecodedLoop::CallStacked(VornVM_FunctionFrame* called, VornVM_Frame* caller) {
    if (static_cast<uint32_t>(called->parameterCount - F) > static_cast<uint32_t>(s->depth) ||
        !BindFused<F>(called))
        return CallGeneral(F);
    return EnterCalled(called, caller, F, true);
}

// Room on the stack for the fused operands, which would have been pushed,
// and for the value returned. A fast call's window not placed yet has none:
// it is placed now.
[[gnu::always_inline]] inline bool DecodedLoop::HasCallRoom(int32_t fused) {
    const int32_t need = fused > 0 ? fused : 1;
    if (s->depth + need <= s->capacity) [[likely]]
        return true;
    if (s->entries) return false;
    vm.PlaceLazyWindow();
    s = vm.stack;
    return s->depth + need <= s->capacity;
}

// The frame for a call of the function in slot when the ready one does not
// serve. A call while it is in use (a function calling itself) takes the
// kept frame at the head of its list when that is readied too.
[[gnu::always_inline]] inline VornVM_FunctionFrame* DecodedLoop::OtherFrame(int32_t slot,
                                                                            VornVM_FunctionFrame* ready) {
    if (ready && ready->functionSlot == slot && ready->entryForm == form) {
        VornVM_FunctionFrame* kept = vm.spareFrames[ready->spareList];
        if (kept && kept->function == ready->function && kept->entryForm == form) return kept;
    }
    return ReadyFrame(slot);
}

// The same, found from the function: its idle ready frame, else the kept
// frame at the head of its list, readied for this form (once: its bindings
// by value into its slots, its function's code this segment's) and made the
// function's ready frame when that place is free. Null when there is none.
[[gnu::always_inline]] inline VornVM_FunctionFrame* DecodedLoop::ReadyFrame(int32_t slot) {
    if (vm.traceFlags & VornVM::kCallTraces) return nullptr;
    Function* function = vm.functions ? vm.functions->At(slot) : nullptr;
    if (!function || function->IsExternal() || function->segment != vm.segmentIndex) return nullptr;
    VornVM_FunctionFrame*& ready = vm.readyFrames[slot & (VornVM::kSpareLists - 1)];
    VornVM_FunctionFrame* called = ready;
    const bool idle = called && !called->previous;
    if (!called || called->function != function || !idle) {
        called = vm.spareFrames[VornVM::SpareList(function)];
        if (!called || called->function != function) return nullptr;
    }
    if (called->entryForm != form) {
        const DecodedOp* entry = called->plainBindings ? form->At(function->offset) : nullptr;
        if (!entry) return nullptr;
        called->entryForm = form;
        called->entryOp = entry;
        called->entryFlags = function->flags & 0x1e;
        if (called->ready) ReturnsHere(called);
    }
    if (called != ready && (!ready || !ready->previous)) MakeReady(called, slot);
    return called;
}

// A kept frame (the head of its list) becomes the ready frame of slot; the
// idle one there before goes back to its list.
[[gnu::always_inline]] inline void DecodedLoop::MakeReady(VornVM_FunctionFrame* called, int32_t slot) {
    vm.spareFrames[called->spareList] = called->nextSpare;
    --vm.spareCounts[called->spareList];
    VornVM_FunctionFrame*& ready = vm.readyFrames[slot & (VornVM::kSpareLists - 1)];
    if (VornVM_FunctionFrame* old = ready) {
        old->ready = false;
        vm.KeepFunctionFrame(old);
    }
    called->ready = true;
    called->functionSlot = slot;
    ready = called;
    vm.readySlots[slot & (VornVM::kSpareLists - 1)] = slot;
    ReturnsHere(called);
}

// Where a call of a frame the fast way returns: this form, in this segment
// (the function's). A ready frame keeps that between its calls (a general
// return gives it back), a kept one has it set at each call.
[[gnu::always_inline]] inline void DecodedLoop::ReturnsHere(VornVM_FunctionFrame* called) {
    called->returnSegment = vm.segmentIndex;
    called->returnForm = form;
}

// Whether the call may go the fast way: the chain is not too deep. (No
// frame is readied while calls are traced, and a script function's locals
// table is complete once its program is loaded: the slots the frame was
// readied with are all it has.)
[[gnu::always_inline]] inline bool DecodedLoop::CallFits(const VornVM_Frame* caller) const {
    return caller->callDepth < VornVM::kMaxCallDepth;
}

// The F fused operands (y, then x: the last argument first) straight into
// their slots. The slots of a kept frame are absent, two parameters may
// share one, and the operands are the caller's, never one of these slots.
// When one does not bind the plain way, the slots go back to absent (an
// operand may have left another kind there) and false.
template <int F> [[gnu::always_inline]] inline bool DecodedLoop::BindFused(VornVM_FunctionFrame* called) {
    if constexpr (F == 0) {
        return true;
    } else {
        const DecodedRun* run = op->Record<DecodedRun>();
        if ((F < 2 || OperandArgument(run->y, called->argumentSlots[0])) &&
            OperandArgument(run->x, called->argumentSlots[F - 1]))
            return true;
        for (int32_t k = 0; k < F; ++k) called->argumentSlots[k]->type = Scalar::kAbsent;
        return false;
    }
}

// The called frame made current (a kept one taken off its list: a frame in
// use is on none; its nextSpare is not read): only what every call needs.
// With arguments on the stack too, those are bound before.
[[gnu::always_inline]] inline Flow DecodedLoop::EnterCalled(VornVM_FunctionFrame* called, VornVM_Frame* caller,
                                                            int32_t fused, bool stacked) {
    if (!called->ready) [[unlikely]] {
        vm.spareFrames[called->spareList] = called->nextSpare;
        --vm.spareCounts[called->spareList];
        ReturnsHere(called);
    }
    called->previous = caller;
    called->callDepth = caller->callDepth + 1;
    // The return point is returnOp's offset (see ReturnFromFunction).
    called->returnOp = op + fused + 1;
    called->flags = caller->flags;
    uint32_t mode = 0;
    if (uint32_t bits = called->entryFlags) [[unlikely]]
        mode = EntryFlags(called, caller, bits);
    called->outputMode = mode;
    // A call counts one step, and an argument copied the general way all
    // that is left.
    if (stacked && vm.BindStackArguments(called, fused, op + fused)) quiet = 0;
    // The window is placed when something needs it (PlaceLazyWindow).
    if (static_cast<int32_t>(mode) != vm.outputModeKnown) [[unlikely]] {
        vm.SetOutputMode(mode);
        vm.outputModeKnown = static_cast<int32_t>(mode);
    }
    called->callerLocals = locals;
    vm.frame = called;
    vm.stack = s = &called->window;
    locals.slots = called->slots;
    locals.limit = static_cast<uint32_t>(called->slotCount);
    // (pc is set by whatever leaves the fast paths.)
    op = static_cast<const DecodedOp*>(called->entryOp);
    return --quiet < 0 ? Flow::kPoll : Flow::kGo;
}

// The function's flags that change the error display (into the frame's
// flags) and the output mode (the answer), as CallScriptFunction reads them.
[[gnu::always_inline]] inline uint32_t DecodedLoop::EntryFlags(VornVM_FunctionFrame* called,
                                                              const VornVM_Frame* caller, uint32_t bits) {
    if (bits & 0x4) called->flags |= kFrameShowErrors;
    if (bits & 0x8) called->flags &= ~kFrameShowErrors;
    if ((bits & 0x10) && (caller->outputMode & 3)) return 2;
    return (bits & 0x2) ? 1 : 0;
}

// The call the general way: from a fused run, its first push's handler and
// then the rest one by one.
[[gnu::always_inline]] inline Flow DecodedLoop::CallGeneral(int32_t fused) {
    Function* function = fused == 0 && vm.functions ? vm.functions->At(op->a) : nullptr;
    if (!function || function->IsExternal()) return Flow::kGeneric;
    At(0);
    vm.immA = op->a;
    vm.CallScriptFunction(function);
    return Flow::kMoved;
}

// The current frame when it can return the fast way with `depth` entries
// on its window (ret's conditions but the value's), else null: only a
// function frame that the fast call made from this form has its returnForm
// set to it, and only while its locals have no scope by name and it owns no
// feature (a feature forgets it). No fast call is made while returns are
// traced (SetTraceFlags forgets the calls made before).
[[gnu::always_inline]] inline VornVM_FunctionFrame* DecodedLoop::Returning(int32_t depth) const {
    VornVM_Frame* f = vm.frame;
    return s->depth == depth && f->returnForm == form ? static_cast<VornVM_FunctionFrame*>(f) : nullptr;
}

// ret's: the value alone on the window, a value its own (no local's slot,
// no variable it holds no reference on).
[[gnu::always_inline]] inline VornVM_FunctionFrame* DecodedLoop::ReturningEntry() const {
    VornVM_FunctionFrame* f = Returning(1);
    if (!f) return nullptr;
    const VornVMStackEntry& e = s->entries[0];
    return e.type != kStackSlot && (e.type != kStackVariable || (e.flags & kStackOwned)) ? f : nullptr;
}

// push, push, add/sub/mul, ret: the result returned without an entry
// (with kLocals, of two locals).
template <bool kLocals>
[[gnu::always_inline]] inline Flow DecodedLoop::ArithmeticReturn(VornVM_FunctionFrame* f) {
    const DecodedRun* run = op->Record<DecodedRun>();
    double x, y;
    if constexpr (kLocals) {
        // The call made the fast way keeps its locals in slots.
        if (run->highestLocal >= locals.limit ||
            !SlotNumber(locals.slots[static_cast<uint32_t>(run->x.entry)], &x) ||
            !SlotNumber(locals.slots[static_cast<uint32_t>(run->y.entry)], &y))
            return Flow::kGeneric;
    } else {
        if (!OperandNumber(run->x, &x) || !OperandNumber(run->y, &y)) return Flow::kGeneric;
    }
    return ReturnValue(f, Arithmetic(run->operation, x, y));
}

// The fast return of a value (returned, or a number): into the pop after
// the call, else onto the caller's stack.
template <class Value>
[[gnu::always_inline]] inline Flow DecodedLoop::ReturnValue(VornVM_FunctionFrame* f, const Value& value) {
    VornVM_Frame* caller = f->previous;
    VornVM_Stack* to = caller->stack;
    if (to->depth >= to->capacity) [[unlikely]]
        return ReturnFull(value);
    const auto* back = static_cast<const DecodedOp*>(f->returnOp);
    LeaveFrame(f, caller, to);
    op = back;
    if (StoreReturned(back, value))
        ++op;
    else
        PushValue(value);
    return Flow::kGo;
}

// ret the general way. A frame the fast call made returns to its op in this
// form (unless the return failed), which the loop takes up again from there.
[[gnu::always_inline]] inline Flow DecodedLoop::ReturnGeneral() {
    const VornVM_Frame* f = vm.frame;
    const auto* back = f->returnForm == form ? static_cast<const DecodedOp*>(
                                                   static_cast<const VornVM_FunctionFrame*>(f)->returnOp)
                                             : nullptr;
    At(0);
    vm.ReturnFromFunction(true);
    resumeAt = back;
    return Flow::kMoved;
}

// No room for the value: the general return reports it, from ret, with the
// value on the window.
[[gnu::always_inline]] inline Flow DecodedLoop::ReturnFull(double value) {
    SetDoubleEntry(returned, value);
    return ReturnFull(returned);
}

[[gnu::always_inline]] inline Flow DecodedLoop::ReturnFull(const VornVMStackEntry& value) {
    if (!s->entries) {
        vm.PlaceLazyWindow();
        s = vm.stack;
    }
    CopyEntry(Push(), value);
    if (op->kind != kDecodedRet) op += op->span;
    return ReturnGeneral();
}

// The returning frame kept and the caller made current. Its window is empty
// and its locals have no scope (Returning). The segment is the call's (its
// code is this form's), the caller's locals what they were at the call.
[[gnu::always_inline]] inline void DecodedLoop::LeaveFrame(VornVM_FunctionFrame* f, VornVM_Frame* caller,
                                                           VornVM_Stack* to) {
    // The stack apart from the frame: stored together, the two become one
    // costlier vector store.
    vm.stack = s = to;
    locals = f->callerLocals;
    f->ClearSlots();
    // (Which may delete it.)
    vm.KeepFunctionFrame(f);
    vm.frame = caller;
    if (static_cast<int32_t>(caller->outputMode) != vm.outputModeKnown) [[unlikely]] {
        vm.SetOutputMode(caller->outputMode);
        vm.outputModeKnown = static_cast<int32_t>(caller->outputMode);
    }
}

// A number returned to a pop goes straight where the pop puts it; false
// where the pop runs.
template <class Value>
[[gnu::always_inline]] inline bool DecodedLoop::StoreReturned(const DecodedOp* back, const Value& value) {
    if (!IsNumber(value)) return false;
    if (back->kind == kDecodedPopg) {
        Variable* v = Globals().Plain(back->a);
        if (v) PutNumber(v, value);
        return v != nullptr;
    }
    Scalar* slot = back->kind == kDecodedPopl ? locals.At(back->a) : nullptr;
    if (!slot || slot->type >= Scalar::kText) return false;
    PutNumber(slot, value);
    return true;
}

} // namespace vorn
