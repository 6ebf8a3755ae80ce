// The interpreter loop: the decoded form of each segment, dispatched with
// computed goto. Each case runs the steps of VornVMLoop.h, a fast path for
// the common words and runs of words; everything else runs the byte form's
// handlers with the registers loaded as the byte form loads them.
#include <cstdlib>
#include <cstring>
#include <new>

#include "engine/app/VornApplication.h"
#include "engine/foundation/LittleEndian.h"
#include "engine/program/InstructionSet.h"
#include "engine/program/Segment.h"
#include "engine/values/Variable.h"
#include "engine/values/VariableHash.h"
#include "engine/vm/ScriptOperators.h"
#include "engine/vm/VornVM.h"
#include "engine/vm/VornVMDecoded.h"
#include "engine/vm/VornVMLoop.h"

namespace vorn {

void VornVM::OpNoop() {}

void VornVM::OpJmp() {
    JumpBy(immA);
}

void VornVM::OpExit() {
    exitRequested->store(1, std::memory_order_relaxed);
    pc = codeLength;
}

void VornVM::OpPushi() {
    stack->PushInteger(immA);
}

void VornVM::OpPushf() {
    stack->PushDouble(immADouble);
}

void VornVM::StepBytes() {
    const uint8_t* p = code + pc;
    uint16_t word = GetU16(p);
    int32_t length = InstructionLength(word);
    if (length > codeLength - pc) {
        FatalError(kErrorTruncatedInstruction);
        return;
    }
    ReadImmediates(word, p + 2, &immA, &immADouble, &immB, &immBDouble);
    pc += length;
    Handler handler = HandlerOf(word);
    if (handler)
        RunHandler(handler);
    else
        FatalError(kErrorIllegalInstruction);
}

int VornVM::Execute() {
    // Whatever a handler had allocated is freed as the exception passes; the
    // position is still that of the instruction that failed.
    try {
        return RunDecoded();
    } catch (const std::bad_alloc& failure) {
        // A text too long may say where it came from.
        FatalErrorWithoutMemory(dynamic_cast<const TextTooLong*>(&failure) ? failure.what()
                                                                           : kOutOfMemory);
    }
    return 0;
}

KnownGlobals::~KnownGlobals() {
    std::free(table);
    std::free(filled);
}

void KnownGlobals::Grow(uint32_t n) {
    if (n < 64) n = 64;
    auto* t = static_cast<Variable**>(std::calloc(n, sizeof(Variable*)));
    auto* f = static_cast<int32_t*>(std::malloc(n * sizeof(int32_t)));
    if (!t || !f) {
        std::free(t);
        std::free(f);
        throw std::bad_alloc();
    }
    for (int32_t k = 0; k < count; ++k) t[filled[k]] = table[filled[k]];
    if (count) std::memcpy(f, filled, static_cast<size_t>(count) * sizeof(int32_t));
    std::free(table);
    std::free(filled);
    table = t;
    filled = f;
    room = n;
}

Variable* KnownGlobals::Entry(int32_t i) const {
    return scope ? scope->PlainEntry(i) : nullptr;
}

Variable* KnownGlobals::Learn(int32_t i) {
    Variable* v = Entry(i);
    if (!v || !v->IsPlainScalar()) return nullptr;
    table[i] = v;
    filled[count++] = i;
    return v;
}

void KnownGlobals::ForgetAll() {
    for (int32_t k = 0; k < count; ++k) table[filled[k]] = nullptr;
    count = 0;
}

int DecodedLoop::Resume(VornVM& vm, const void* const* labels, DecodedSegment** form, const DecodedOp** op) {
    for (;;) {
        // Whatever ran before may have changed the output.
        vm.outputModeKnown = -1;
        if (vm.stack && !vm.stack->entries) vm.PlaceLazyWindow();
        // Everything the byte form checks before each instruction.
        if (vm.timedOut && vm.timedOut->load(std::memory_order_relaxed)) {
            if (!vm.aborted) {
                vm.aborted = 1;
                if (vm.application) vm.application->WriteText(kErrorTimedOut);
                if ((vm.traceFlags & LogTimedOut) && vm.TraceAccepts()) vm.LogEvent(LogTimedOut);
            }
            return 0;
        }
        if (vm.tickCounter && vm.tickCounter->load(std::memory_order_relaxed) != vm.lastTick)
            vm.NotifyFeatures();
        if (vm.aborted) return 0;
        if (vm.exitRequested->load(std::memory_order_relaxed)) return 1;
        if (vm.segmentIndex != vm.loadedSegment && !vm.LoadSegment(vm.segmentIndex)) {
            vm.FatalError(kErrorInvalidSegment);
            return 0;
        }
        vm.instructionStart = vm.pc;
        if (vm.pc < 0) {
            vm.FatalError(kErrorInvalidJump);
            return 0;
        }
        if (static_cast<int64_t>(vm.pc) + 1 >= vm.codeLength) {
            if (!vm.frame || vm.frame->AtSegmentEnd() != kFrameEndsFilter) return 1;
            int32_t truth = vm.stack->PopBoolean() ? 1 : 0;
            VornVM_FilterFrame::Callback onEnd = static_cast<VornVM_FilterFrame*>(vm.frame)->callback;
            if (onEnd) onEnd(vm, truth);
            continue;
        }
        *form = vm.decodeSegments && vm.segment && vm.code == vm.segment->Code()
                    ? DecodedSegment::Of(vm.segment, vm.code, vm.codeLength, vm.pool)
                    : nullptr;
        *op = *form ? (*form)->At(vm.pc) : nullptr;
        if (*op) {
            (*form)->Thread(labels);
            vm.knownGlobals.Reserve((*form)->Globals());
            return -1;
        }
        vm.StepBytes();
    }
}

int VornVM::RunDecoded() {
    // One entry per DecodedKind, from the tables that make its order.
    static const void* const kLabels[] = {
#define VORN_DECODED_LABEL(kind, label) &&op_##label,
#define VORN_DECODED_WORD_LABEL(word, mnemonic, a, b, handler, fast) &&op_##fast,
        VORN_DECODED_KINDS(VORN_DECODED_LABEL) VORN_INSTRUCTIONS(VORN_DECODED_WORD_LABEL)
#undef VORN_DECODED_LABEL
#undef VORN_DECODED_WORD_LABEL
    };
    static_assert(sizeof kLabels / sizeof kLabels[0] == kDecodedKindCount);
#define DISPATCH() goto* r.op->label
#define NEXT()                                                                                               \
    do {                                                                                                     \
        ++r.op;                                                                                              \
        DISPATCH();                                                                                          \
    } while (0)
// Something the fast path does not cover: the handler of the (first) word.
#define GENERIC() goto op_handler
#define FLOW(step)                                                                                           \
    do {                                                                                                     \
        switch (step) {                                                                                      \
        case Flow::kNext: NEXT();                                                                            \
        case Flow::kGo: DISPATCH();                                                                          \
        case Flow::kGeneric: GENERIC();                                                                      \
        case Flow::kPoll: goto poll;                                                                         \
        case Flow::kSlow: goto slow;                                                                         \
        case Flow::kMoved: goto moved;                                                                       \
        }                                                                                                    \
        __builtin_unreachable();                                                                             \
    } while (0)

    DecodedLoop r(*this);
    r.Globals().scope = IsPlainHash(globalScope) ? globalScope : nullptr;

slow : {
    DecodedSegment* form;
    const DecodedOp* op;
    if (int result = DecodedLoop::Resume(*this, kLabels, &form, &op); result >= 0) return result;
    r.form = form;
    r.op = op;
    // Whatever ran before may have changed the Globals().
    r.Globals().Forget();
    r.Reload();
    DISPATCH();
}

op_handler:
    FLOW(r.Generic());

poll:
    // op is the next instruction, and the checks before it are due.
    r.quiet = kQuietSteps;
    if (ChecksDue()) {
        pc = r.op->pc;
        goto slow;
    }
    DISPATCH();

moved:
    if (!r.Moved()) goto slow;
    DISPATCH();

op_end:
    pc = r.op->pc;
    goto slow;

op_truncated:
    instructionStart = pc = r.op->pc;
    FatalError(kErrorTruncatedInstruction);
    return 0;

op_illegal:
    r.At(0);
    r.LoadRegisters();
    FatalError(kErrorIllegalInstruction);
    goto slow;

op_noop:
    NEXT();

op_exit:
    instructionStart = r.op->pc;
    exitRequested->store(1, std::memory_order_relaxed);
    pc = codeLength;
    goto slow;

op_jcc:
    if (!r.Holds(1) || r.Top().type != kStackInteger) GENERIC();
    if (!JumpTaken(r.op, r.s->entries[--r.s->depth].value.integer)) NEXT();
    FLOW(r.Jump());

op_jmp:
    FLOW(r.Jump());

op_pushi:
    if (!r.HasRoom(1)) GENERIC();
    SetIntegerEntry(r.Push(), r.op->a);
    NEXT();

op_pushf:
    if (!r.HasRoom(1)) GENERIC();
    SetDoubleEntry(r.Push(), r.op->Record<DecodedOperand>()->number);
    NEXT();

op_pushc:
    if (!r.HasRoom(1)) GENERIC();
    SetTextEntry(r.Push(), *r.op->Record<DecodedOperand>());
    NEXT();

op_pushl:
    if (Scalar* slot = r.locals.At(r.op->a)) {
        if (!r.HasRoom(1)) GENERIC();
        r.s->PushSlot(slot, r.op->a);
        NEXT();
    }
    if (frame->usesSlots || !r.PushVariable(false)) GENERIC();
    NEXT();

op_pushg:
    if (!r.PushVariable(true)) GENERIC();
    NEXT();

op_popl:
    if (r.locals.At(r.op->a)) FLOW(r.PopIntoSlot());
    if (frame->usesSlots) GENERIC();
    FLOW(r.PopIntoVariable(false));

op_popg:
    FLOW(r.PopIntoVariable(true));

op_pop:
    if (!r.Holds(1) || (r.Top().flags & kStackOwned)) GENERIC();
    --r.s->depth;
    NEXT();

op_arith:
    if (!r.ArithmeticOfTop()) GENERIC();
    NEXT();

op_incg:
    if (!r.IncrementGlobal()) GENERIC();
    NEXT();

op_storegi:
    if (Variable* v = r.Globals().Plain(r.op->a)) {
        v->PlainSetInteger(r.op->B());
        NEXT();
    }
    GENERIC();

op_cmpgi : {
    int32_t result;
    if (!r.CompareGlobal(&result)) GENERIC();
    SetIntegerEntry(r.Push(), result);
    NEXT();
}

op_cmpgi_jump : {
    int32_t result;
    if (!r.CompareGlobal(&result)) GENERIC();
    ++r.op;
    if (!JumpTaken(r.op, result)) NEXT();
    FLOW(r.Jump());
}

op_inc_cmp_jump : {
    // incg, then cmpgi of the same global, then the jump: a loop's step.
    int32_t value;
    if (!r.StepGlobal(&value)) GENERIC();
    const int32_t bound = r.op[-1].B();
    if (!((r.op->when >> ((value >= bound) + (value > bound))) & 1)) NEXT();
    FLOW(r.Jump());
}

op_inc_cmp_jump_lt : {
    int32_t value;
    if (!r.StepGlobal(&value)) GENERIC();
    if (value >= r.op[-1].B()) NEXT();
    FLOW(r.Jump());
}

op_inc_cmp_jump_le : {
    int32_t value;
    if (!r.StepGlobal(&value)) GENERIC();
    if (value > r.op[-1].B()) NEXT();
    FLOW(r.Jump());
}

op_arith_run:
    FLOW(r.ArithmeticRun(false));

op_arith_store:
    FLOW(r.ArithmeticRun(true));

op_call:
    FLOW(r.Call<0>());

op_call_run1:
    FLOW(r.Call<1>());

op_call_run2:
    FLOW(r.Call<2>());

op_ret:
    if (VornVM_FunctionFrame* f = r.ReturningEntry()) {
        CopyEntry(r.returned, r.s->entries[0]);
        r.s->depth = 0;
        FLOW(r.ReturnValue(f, r.returned));
    }
    FLOW(r.ReturnGeneral());

op_arith_return:
    if (VornVM_FunctionFrame* f = r.Returning(0)) FLOW(r.ArithmeticReturn<false>(f));
    // Without the fast return, the run and the ret after it.
    FLOW(r.ArithmeticRun(false));

op_arith_return_locals:
    if (VornVM_FunctionFrame* f = r.Returning(0)) FLOW(r.ArithmeticReturn<true>(f));
    FLOW(r.ArithmeticRun(false));

op_cat:
    FLOW(r.Cat());

op_out:
    FLOW(r.Out());

op_cat_popg:
    FLOW(r.CatPop(true));

op_cat_popl:
    FLOW(r.CatPop(false));

op_append_run:
    FLOW(r.Append());

op_elem_store:
    FLOW(r.ElemStore());

op_elemr_add:
    if (!r.ElemrAdd()) GENERIC();
    DISPATCH();

op_elemr_pop:
    FLOW(r.ElemrPop());

op_elem_store_run:
    FLOW(r.ElemStoreRun());

op_elemr_add_run:
    if (!r.ElemrAddRun()) GENERIC();
    DISPATCH();

op_elem_store_value:
    FLOW(r.ElemStoreValue());

op_elemr_add_value:
    FLOW(r.ElemrAddValue());

#undef FLOW
#undef GENERIC
#undef NEXT
#undef DISPATCH
}

} // namespace vorn
