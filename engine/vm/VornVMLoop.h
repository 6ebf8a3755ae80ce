// The steps of the interpreter loop (RunDecoded, VornVMExecute.cpp): each
// case of the loop calls one or two of them, and each shared step is written
// once here or in the headers beside it (VornVMLoopCalls.h for calls and
// returns, VornVMLoopTexts.h for texts, VornVMLoopArrays.h for elements).
// Everything is inline into the loop, which keeps its registers
// (DecodedLoop) in machine registers; what runs out of line takes them as
// plain values.
//
// A step does what the byte form's handlers would do, or nothing at all and
// answers Flow::kGeneric, and the loop runs the (first) word's handler.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <typeinfo>

#include "engine/foundation/Number.h"
#include "engine/program/InstructionSet.h"
#include "engine/values/Aggregate.h"
#include "engine/values/FunctionManager.h"
#include "engine/values/Variable.h"
#include "engine/values/VariableHash.h"
#include "engine/vm/VornVM.h"
#include "engine/vm/VornVMDecoded.h"

namespace vorn {

// What the loop does after a step.
enum class Flow : uint8_t {
    kNext,    // the op after this one
    kGo,      // op, where the step left it
    kGeneric, // the handler of op's (first) word
    kPoll,    // op, where the step left it, after the checks
    kSlow,    // pc, through the checks and the form of its segment
    kMoved,   // pc, after a call or return the general way
};

// The work the fast paths do between two looks at the flags the byte form
// checks before every instruction (time-out and stop, watchdog tick, exit):
// a jump taken or a call counts one step, a text moved one step for each
// 4 KB (an append at once, its look at the next jump or call: appends in a
// row are bounded by the memory they keep). Whatever runs out of line (a
// handler, an assignment of any value, a call or return the general way) is
// followed by a look of its own, its work having no bound.
inline constexpr int32_t kQuietSteps = 255;
inline constexpr int32_t kStepShift = 12;

// ---- Entries and values ----------------------------------------------------------

// Whether a conditional jump is taken on a comparison result.
[[gnu::always_inline]] inline bool JumpTaken(const DecodedOp* jump, int32_t r) {
    return (jump->when >> ((r > 0) - (r < 0) + 1)) & 1;
}

inline bool IsPlainHash(const VariableHash* scope) {
    return scope && typeid(*scope) == typeid(VariableHash);
}

// A pool text, borrowed.
[[gnu::always_inline]] inline void SetTextEntry(VornVMStackEntry& e, const DecodedOperand& text) {
    e.type = kStackString;
    e.flags = 0;
    e.value.text = text.text;
    e.length = text.length;
    e.size = text.length;
}

// Frees an owned text or releases a temporary variable of an entry taken
// off the stack.
[[gnu::always_inline]] inline void ReleaseEntry(const VornVMStackEntry& e) {
    if (!(e.flags & kStackOwned)) return;
    if (e.type == kStackString)
        std::free(const_cast<char*>(e.value.text));
    else if (e.type == kStackVariable)
        e.value.variable->ReleaseReference();
}

// Drops an entry EntryDouble or EntryInteger accepted.
[[gnu::always_inline]] inline void DropNumberEntry(const VornVMStackEntry& e) {
    if (e.type == kStackVariable && (e.flags & kStackOwned)) e.value.variable->PlainRelease();
}

// A value slot's number, as arithmetic reads it: an empty one reads 0 (and
// is left read as a number); false for a text (whose conversion the handler
// does) and a boxed one.
[[gnu::always_inline]] inline bool SlotDouble(Scalar& slot, double* out) {
    switch (slot.type) {
    case Scalar::kInteger: *out = slot.integer; return true;
    case Scalar::kDouble: *out = slot.number; return true;
    case Scalar::kText:
    case Scalar::kVariable: return false;
    default:
        slot.ReadAsNumber();
        *out = 0.0;
        return true;
    }
}

// A number entry's value, or a plain scalar variable entry's double (as
// PopDouble reads it, caching the double); false for anything else (a text,
// whose conversion the handler does).
[[gnu::always_inline]] inline bool EntryDouble(VornVMStackEntry& e, double* out) {
    switch (e.type) {
    case kStackInteger: *out = e.value.integer; return true;
    case kStackDouble: *out = e.value.number; return true;
    case kStackVariable:
        if (!e.value.variable->IsPlainScalar()) return false;
        *out = e.value.variable->PlainDouble();
        return true;
    case kStackSlot: return SlotDouble(*e.value.slot, out);
    default: return false;
    }
}

// An integer entry's value, or a plain scalar variable entry's integer (as
// PopInteger gives it); false for anything else.
[[gnu::always_inline]] inline bool EntryInteger(const VornVMStackEntry& e, int32_t* out) {
    if (e.type == kStackInteger) {
        *out = e.value.integer;
        return true;
    }
    if (e.type == kStackSlot) {
        if (e.value.slot->type != Scalar::kInteger) return false;
        *out = e.value.slot->integer;
        return true;
    }
    if (e.type != kStackVariable || !e.value.variable->IsPlainScalar()) return false;
    *out = e.value.variable->PlainInteger();
    return true;
}

// A value slot a text grows in: its value, as cat reads it, made its text.
[[gnu::always_inline]] inline void MakeSlotText(Scalar* slot) {
    if (slot->type == Scalar::kText) return;
    int32_t n = 0, size = 0;
    bool owned = false;
    const char* text = slot->Text(&n, &size, &owned);
    if (owned)
        slot->AdoptText(const_cast<char*>(text), n, size);
    else
        slot->SetText(text, n);
}

// Local entry i of a frame whose locals live in a plain scope, for a fast
// path; null (the handler then runs) when there is none yet.
[[gnu::always_inline]] inline Variable* ScopeLocal(VornVM_Frame* frame, int32_t i) {
    VariableHash* scope = frame->scope;
    return scope && IsPlainHash(scope) ? scope->PlainEntry(i) : nullptr;
}

// Where a number goes the plain way: a value slot, a plain scalar variable,
// or (neither) a new entry on the stack.
struct NumberStore {
    Scalar* slot = nullptr;
    Variable* variable = nullptr;
    [[gnu::always_inline]] bool Put(double r) const {
        if (slot)
            slot->SetDouble(r);
        else if (variable)
            variable->PlainSetDouble(r);
        else
            return false;
        return true;
    }
};

// A number entry stored as a pop stores it into a value slot (that holds
// no text) or a plain scalar variable: an integer stays an integer.
[[gnu::always_inline]] inline void PutNumber(Scalar* slot, const VornVMStackEntry& number) {
    if (number.type == kStackInteger) {
        slot->integer = number.value.integer;
        slot->type = Scalar::kInteger;
    } else {
        slot->number = number.value.number;
        slot->type = Scalar::kDouble;
    }
}

[[gnu::always_inline]] inline void PutNumber(Variable* v, const VornVMStackEntry& number) {
    if (number.type == kStackInteger)
        v->PlainSetInteger(number.value.integer);
    else
        v->PlainSetDouble(number.value.number);
}

// The same for a double.
[[gnu::always_inline]] inline void PutNumber(Scalar* slot, double number) {
    slot->number = number;
    slot->type = Scalar::kDouble;
}

[[gnu::always_inline]] inline void PutNumber(Variable* v, double number) {
    v->PlainSetDouble(number);
}

[[gnu::always_inline]] inline bool IsNumber(const VornVMStackEntry& e) {
    return e.type <= kStackDouble;
}

[[gnu::always_inline]] inline bool IsNumber(double) {
    return true;
}

// The arithmetic of a fused run's add, sub or mul.
[[gnu::always_inline]] inline double Arithmetic(uint16_t word, double x, double y) {
    // A sum is the common case.
    if (word == Op_add) [[likely]]
        return x + y;
    return word == Op_sub ? x - y : x * y;
}

// ---- The loop's registers and steps --------------------------------------------

struct AppendedText;

struct DecodedLoop {
    explicit DecodedLoop(VornVM& machine) : vm(machine) {}

    VornVM& vm;
    const DecodedOp* op = nullptr;
    DecodedSegment* form = nullptr;
    // The current stack (vm.stack) and frame's locals.
    VornVM_Stack* s = nullptr;
    FrameSlots locals;
    // Steps of work left before the next look at the checks (kQuietSteps).
    int32_t quiet = 0;
    // The value a fast return hands to the caller.
    VornVMStackEntry returned{};
    // After a call or return the general way: the op at pc, when known.
    const DecodedOp* resumeAt = nullptr;

    // ---- The loop's own steps (VornVMLoop.h) ----
    [[gnu::always_inline]] KnownGlobals& Globals() const { return vm.knownGlobals; }
    [[gnu::always_inline]] bool HasRoom(int32_t n) const { return s->depth + n <= s->capacity; }
    [[gnu::always_inline]] bool Holds(int32_t n) const { return s->depth >= n; }
    [[gnu::always_inline]] VornVMStackEntry& Top(int32_t below = 0) const {
        return s->entries[s->depth - 1 - below];
    }
    [[gnu::always_inline]] VornVMStackEntry& Push() const { return s->entries[s->depth++]; }
    // Where the words one by one would report: at op + k.
    [[gnu::always_inline]] void At(int32_t k) const {
        vm.instructionStart = op[k].pc;
        vm.pc = op[k].Next();
    }
    // The registers of the current frame, after a step that may have
    // changed it.
    [[gnu::always_inline]] void Reload() {
        s = vm.stack;
        locals.Load(vm.frame);
    }
    // op becomes `after`, a text of that many bytes moved: long texts count
    // toward the next look at the checks.
    [[gnu::always_inline]] Flow Advance(const DecodedOp* after, int64_t bytes) {
        op = after;
        if (bytes >= (1 << kStepShift)) [[unlikely]] {
            quiet -= static_cast<int32_t>(bytes >> kStepShift);
            if (quiet < 0) return Flow::kPoll;
        }
        return Flow::kGo;
    }
    // After a step that ran out of line, with no bound on its work: the
    // checks before the next op.
    [[gnu::always_inline]] Flow AfterGeneral(int32_t span) {
        Globals().Forget();
        if (vm.aborted) return Flow::kSlow;
        op += span;
        return Flow::kPoll;
    }
    // Everything the byte form checks before each instruction, then the
    // form of the segment at pc: -1 with *op to run from, else the run's
    // result. Out of line, with the loop's registers reloaded after it.
    [[gnu::noinline]] static int Resume(VornVM& vm, const void* const* labels, DecodedSegment** form,
                                        const DecodedOp** op);
    void LoadRegisters() const;
    Flow Generic();
    Flow Jump();
    bool Moved();
    bool PushVariable(bool global);
    Flow PopIntoSlot();
    Flow PopIntoVariable(bool global);
    bool ArithmeticOfTop();
    Variable* IncrementGlobal();
    bool StepGlobal(int32_t* value);
    bool CompareGlobal(int32_t* result);

    // ---- Operands of fused runs (VornVMLoop.h) ----
    Variable* OperandVariable(const DecodedOperand& o, Scalar** slot);
    bool NumberTarget(const DecodedOperand& o, NumberStore* store);
    bool OperandNumber(const DecodedOperand& o, double* out);
    static bool SlotNumber(Scalar& slot, double* out);
    bool OperandInteger(const DecodedOperand& o, int32_t* out);
    Flow ArithmeticRun(bool stores);

    // ---- Calls and returns (VornVMLoopCalls.h) ----
    bool OperandArgument(const DecodedOperand& o, Scalar* out);
    template <int F> [[gnu::always_inline]] Flow Call();
    template <int F> [[gnu::always_inline]] Flow CallStacked(VornVM_FunctionFrame* called, VornVM_Frame* caller);
    bool HasCallRoom(int32_t fused);
    VornVM_FunctionFrame* OtherFrame(int32_t slot, VornVM_FunctionFrame* ready);
    VornVM_FunctionFrame* ReadyFrame(int32_t slot);
    void MakeReady(VornVM_FunctionFrame* called, int32_t slot);
    void ReturnsHere(VornVM_FunctionFrame* called);
    bool CallFits(const VornVM_Frame* caller) const;
    template <int F> [[gnu::always_inline]] bool BindFused(VornVM_FunctionFrame* called);
    Flow EnterCalled(VornVM_FunctionFrame* called, VornVM_Frame* caller, int32_t fused, bool stacked);
    static uint32_t EntryFlags(VornVM_FunctionFrame* called, const VornVM_Frame* caller, uint32_t bits);
    Flow CallGeneral(int32_t fused);
    VornVM_FunctionFrame* Returning(int32_t depth) const;
    VornVM_FunctionFrame* ReturningEntry() const;
    template <bool kLocals> [[gnu::always_inline]] Flow ArithmeticReturn(VornVM_FunctionFrame* f);
    template <class Value> [[gnu::always_inline]] Flow ReturnValue(VornVM_FunctionFrame* f, const Value& value);
    Flow ReturnGeneral();
    Flow ReturnFull(double value);
    Flow ReturnFull(const VornVMStackEntry& value);
    void LeaveFrame(VornVM_FunctionFrame* f, VornVM_Frame* caller, VornVM_Stack* to);
    template <class Value> [[gnu::always_inline]] bool StoreReturned(const DecodedOp* back, const Value& value);
    void PushValue(const VornVMStackEntry& value) const { CopyEntry(Push(), value); }
    void PushValue(double value) const { SetDoubleEntry(Push(), value); }

    // ---- Texts (VornVMLoopTexts.h) ----
    Flow Cat();
    Flow Out();
    bool MayAppend(int64_t left, int32_t right);
    Flow CatTooLong();
    Flow CatPopped(const VornVMStackEntry& right);
    Flow CatPop(bool global);
    Flow CatPopSlot();
    bool OperandText(const DecodedOperand& o, AppendedText* out);
    Flow Append();

    // ---- Elements (VornVMLoopArrays.h) ----
    Flow ElemStore();
    bool ElemrAdd();
    Flow ElemrPop();
    Flow ElemStoreRun();
    bool ElemrAddRun();
    Flow ElemStoreValue();
    Flow ElemrAddValue();
    bool ValueOperand(const DecodedOperand& o, const Variable* array, DenseValue* value);
    bool StoreElement(Variable* array, int32_t index, const DenseValue& value, int32_t storeAt);
    bool ReadElement(Variable* array, int32_t index, double* out) const;
};

// ---- The loop's own steps ------------------------------------------------------

// Each row's handler, looked up once.
inline const struct HandlerRows {
    HandlerRows() {
        for (int32_t i = 0; i < kInstructionCount; ++i) at[i] = VornVM::HandlerOf(InstructionAt(i)->word);
    }
    VornVM::Handler at[kInstructionCount];
} kHandlerRows;

// The immediates of op's word into the registers, as the byte form loads
// them.
[[gnu::always_inline]] inline void DecodedLoop::LoadRegisters() const {
    if (!op->loads) return;
    if (op->loads & kLoadsA) vm.immA = op->a;
    if (op->loads & kLoadsADouble) vm.immADouble = op->Record<DecodedOperand>()[0].number;
    if (op->loads & kLoadsB) vm.immB = op->B();
    if (op->loads & kLoadsBDouble) vm.immBDouble = op->Record<DecodedOperand>()[1].number;
}

// The handler of op's word with the registers loaded as the byte form loads
// them; what it changed sends the loop through its checks.
[[gnu::always_inline]] inline Flow DecodedLoop::Generic() {
    if (!s->entries) [[unlikely]] {
        // A fast call's window, placed now: the op again, with room.
        vm.PlaceLazyWindow();
        s = vm.stack;
        if (s->entries) return Flow::kGo;
    }
    At(0);
    LoadRegisters();
    const uint8_t* before = vm.code;
    vm.RunHandler(kHandlerRows.at[op->row]);
    vm.outputModeKnown = -1;
    // A handler may have made a known global an alias or an aggregate, put
    // another variable in its entry, or built the locals' scope.
    Globals().Forget();
    locals.Load(vm.frame);
    // A handler that moved elsewhere, ended the run or ran other code (a
    // call, a sub-program) hands back to the checks.
    if (vm.aborted || vm.pc != op->Next() || vm.segmentIndex != vm.loadedSegment || vm.code != before ||
        vm.stack != s)
        return Flow::kSlow;
    // A handler's work has no bound (a search through a long text, a copy
    // of an array): the checks are made after each.
    ++op;
    return Flow::kPoll;
}

// A jump taken (op is the jump). Every jump taken counts a step: a loop's
// jump back among them, and a count is cheaper than telling which go back.
[[gnu::always_inline]] inline Flow DecodedLoop::Jump() {
    if (const DecodedOp* to = op->target) [[likely]] {
        op = to;
        return --quiet < 0 ? Flow::kPoll : Flow::kGo;
    }
    // Inside the segment but at no decoded instruction: from the bytes.
    const int64_t to = static_cast<int64_t>(op->Next()) + op->a;
    if (to >= 0 && to <= vm.codeLength) {
        vm.pc = static_cast<int32_t>(to);
        return Flow::kSlow;
    }
    At(0);
    vm.FatalError(kErrorInvalidJump);
    return Flow::kSlow;
}

// After a call or return the general way: within the same code the loop
// goes on from its form, after the checks; false where it goes the slow way.
[[gnu::always_inline]] inline bool DecodedLoop::Moved() {
    vm.outputModeKnown = -1;
    Globals().Forget();
    if (vm.aborted || vm.segmentIndex != vm.loadedSegment || vm.ChecksDue()) return false;
    op = resumeAt && resumeAt->pc == vm.pc ? resumeAt : form->At(vm.pc);
    resumeAt = nullptr;
    if (!op) return false;
    Reload();
    return true;
}

// pushg, and pushl of a frame whose locals have a scope: the entry holds a
// reference of its own, as the handler's push does.
[[gnu::always_inline]] inline bool DecodedLoop::PushVariable(bool global) {
    if (!HasRoom(1)) return false;
    Variable* v = global ? Globals().Entry(op->a) : ScopeLocal(vm.frame, op->a);
    if (!v) return false;
    if (!v->IsAlias() && v->IsPlainClass())
        v->PlainAddReference();
    else
        v->AddReference();
    VornVMStackEntry& e = Push();
    e.type = kStackVariable;
    e.flags = kStackOwned;
    e.value.variable = v;
    e.length = 0;
    e.size = 0;
    return true;
}

// popl into a value slot: a number stays a value, anything else is
// assigned the general way.
[[gnu::always_inline]] inline Flow DecodedLoop::PopIntoSlot() {
    if (!Holds(1)) return Flow::kGeneric;
    Scalar* slot = &locals.slots[op->a];
    VornVMStackEntry& e = Top();
    if (slot->type < Scalar::kText && e.type <= kStackDouble) {
        PutNumber(slot, e);
        --s->depth;
        return Flow::kNext;
    }
    At(0);
    // Into an alias, the value may make its target an aggregate; an array's
    // copy has no bound.
    vm.PopIntoLocal(static_cast<VornVM_FunctionFrame*>(vm.frame), op->a);
    return AfterGeneral(1);
}

// popg, and popl of a frame whose locals have a scope.
[[gnu::always_inline]] inline Flow DecodedLoop::PopIntoVariable(bool global) {
    if (!Holds(1)) return Flow::kGeneric;
    VornVMStackEntry& e = Top();
    if (global && e.type <= kStackDouble) {
        if (Variable* plain = Globals().Plain(op->a)) {
            PutNumber(plain, e);
            --s->depth;
            return Flow::kNext;
        }
    }
    Variable* v = global ? Globals().Entry(op->a) : ScopeLocal(vm.frame, op->a);
    if (!v) return Flow::kGeneric;
    if (v->IsPlainScalar() && e.type <= kStackDouble) {
        PutNumber(v, e);
        --s->depth;
        return Flow::kNext;
    }
    At(0);
    // Any value: it may make the variable (or an alias's target) an
    // aggregate.
    s->PopInto(v);
    return AfterGeneral(1);
}

// add, sub, mul of the two top entries.
[[gnu::always_inline]] inline bool DecodedLoop::ArithmeticOfTop() {
    if (!Holds(2)) return false;
    VornVMStackEntry& eb = Top();
    VornVMStackEntry& ea = Top(1);
    double x, y;
    // The right operand converts first, as the handler pops it first.
    if (!EntryDouble(eb, &y) || !EntryDouble(ea, &x)) return false;
    DropNumberEntry(eb);
    DropNumberEntry(ea);
    --s->depth;
    SetDoubleEntry(ea, Arithmetic(op->word, x, y));
    return true;
}

// incg: a plain global's integer, wrapped at 32 bits as the handler's add
// wraps it; null where the handler runs.
[[gnu::always_inline]] inline Variable* DecodedLoop::IncrementGlobal() {
    Variable* v = Globals().Plain(op->a);
    if (!v) return nullptr;
    const uint32_t sum = static_cast<uint32_t>(v->PlainInteger()) + static_cast<uint32_t>(op->B());
    v->PlainSetInteger(static_cast<int32_t>(sum));
    return v;
}

// incg and cmpgi of the same global, where the jump after them reads the
// comparison: the new value, op then at the jump. (cmpgi needs room for its
// result, as the handlers would run it.)
[[gnu::always_inline]] inline bool DecodedLoop::StepGlobal(int32_t* value) {
    Variable* v;
    if (!HasRoom(1) || !(v = IncrementGlobal())) return false;
    *value = v->PlainInteger();
    op += 2;
    return true;
}

// cmpgi: a plain global against the integer.
[[gnu::always_inline]] inline bool DecodedLoop::CompareGlobal(int32_t* result) {
    Variable* v = Globals().Plain(op->a);
    double x;
    if (!v || !HasRoom(1) || !v->PlainNumber(&x)) return false;
    *result = CompareDoubles(x, static_cast<double>(op->B()));
    return true;
}

// ---- Operands of fused runs -----------------------------------------------------

// The variable behind a variable operand of a fused run, or null where the
// run must go the handlers' way: a local kept as a value in its slot (slot
// is then set), a variable not made yet, a scope of another class.
[[gnu::always_inline]] inline Variable* DecodedLoop::OperandVariable(const DecodedOperand& o, Scalar** slot) {
    *slot = nullptr;
    if (o.kind == DecodedOperand::kGlobal) return Globals().Entry(o.entry);
    if (Scalar* s = locals.At(o.entry)) {
        if (s->type == Scalar::kVariable) return s->variable;
        *slot = s;
        return nullptr;
    }
    return vm.frame->usesSlots ? nullptr : ScopeLocal(vm.frame, o.entry);
}

// Where a fused run's pop stores a number the plain way; false where the
// handlers must run.
[[gnu::always_inline]] inline bool DecodedLoop::NumberTarget(const DecodedOperand& o, NumberStore* store) {
    if (o.kind == DecodedOperand::kGlobal) {
        store->variable = Globals().Plain(o.entry);
        return store->variable != nullptr;
    }
    store->variable = OperandVariable(o, &store->slot);
    return store->slot || (store->variable && store->variable->IsPlainScalar());
}

// The number a push operand leaves for arithmetic (as PopDouble reads it);
// false where the handlers must run. A local read is made, as pushl makes it.
[[gnu::always_inline]] inline bool DecodedLoop::OperandNumber(const DecodedOperand& o, double* out) {
    if (o.kind == DecodedOperand::kLocal && static_cast<uint32_t>(o.entry) < locals.limit &&
        SlotNumber(locals.slots[static_cast<uint32_t>(o.entry)], out))
        return true;
    switch (o.kind) {
    case DecodedOperand::kInteger: *out = o.integer; return true;
    case DecodedOperand::kDouble: *out = o.number; return true;
    case DecodedOperand::kText: return false;
    case DecodedOperand::kGlobal: {
        Variable* v = Globals().Plain(o.entry);
        if (!v) return false;
        *out = v->PlainDouble();
        return true;
    }
    default: break;
    }
    Scalar* slot;
    Variable* v = OperandVariable(o, &slot);
    if (!v || !v->IsPlainScalar()) return false;
    *out = v->PlainDouble();
    return true;
}

// OperandNumber of a local in its slot; false for a boxed one.
[[gnu::always_inline]] inline bool DecodedLoop::SlotNumber(Scalar& slot, double* out) {
    // The common kinds first.
    if (slot.type == Scalar::kInteger) [[likely]] {
        *out = slot.integer;
        return true;
    }
    if (slot.type == Scalar::kDouble) [[likely]] {
        *out = slot.number;
        return true;
    }
    switch (slot.type) {
    case Scalar::kText: *out = slot.Double(); return true;
    case Scalar::kVariable: return false;
    default:
        // pushl makes it, the arithmetic reads it as a number.
        slot.ReadAsNumber();
        *out = 0.0;
        return true;
    }
}

// The integer a push operand leaves for an index (as PopInteger reads it).
[[gnu::always_inline]] inline bool DecodedLoop::OperandInteger(const DecodedOperand& o, int32_t* out) {
    if (o.kind == DecodedOperand::kInteger) {
        *out = o.integer;
        return true;
    }
    if (o.kind == DecodedOperand::kGlobal) {
        Variable* v = Globals().Plain(o.entry);
        if (!v) return false;
        *out = v->PlainInteger();
        return true;
    }
    Scalar* slot;
    Variable* v = OperandVariable(o, &slot);
    if (slot) {
        if (slot->type != Scalar::kInteger) return false;
        *out = slot->integer;
        return true;
    }
    if (!v || !v->IsPlainScalar()) return false;
    *out = v->PlainInteger();
    return true;
}

// push x, push y, add/sub/mul (and a pop into z): no entry for the operands.
[[gnu::always_inline]] inline Flow DecodedLoop::ArithmeticRun(bool stores) {
    const DecodedRun* run = op->Record<DecodedRun>();
    if (!HasRoom(2)) return Flow::kGeneric;
    NumberStore store;
    // Where the result goes must take it the plain way.
    if (stores && !NumberTarget(run->z, &store)) return Flow::kGeneric;
    double x, y;
    if (!OperandNumber(run->x, &x) || !OperandNumber(run->y, &y)) return Flow::kGeneric;
    const double r = Arithmetic(run->operation, x, y);
    if (!store.Put(r)) SetDoubleEntry(Push(), r);
    op += op->span;
    return Flow::kGo;
}

} // namespace vorn

#include "engine/vm/VornVMLoopArrays.h"
#include "engine/vm/VornVMLoopCalls.h"
#include "engine/vm/VornVMLoopTexts.h"
