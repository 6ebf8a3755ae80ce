// The interpreter loop: the decoded form of each segment, dispatched with
// computed goto, with fast paths for the common words and pairs of words;
// everything else runs the byte form's handlers with the registers loaded as
// the byte form loads them.
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <new>
#include <typeinfo>

#include "engine/app/VornApplication.h"
#include "engine/foundation/LittleEndian.h"
#include "engine/foundation/Number.h"
#include "engine/foundation/Output.h"
#include "engine/program/InstructionSet.h"
#include "engine/program/Segment.h"
#include "engine/values/Aggregate.h"
#include "engine/values/FunctionManager.h"
#include "engine/values/Variable.h"
#include "engine/values/VariableHash.h"
#include "engine/vm/ScriptOperators.h"
#include "engine/vm/VornVM.h"
#include "engine/vm/VornVMDecoded.h"

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
        FatalErrorWithoutMemory(dynamic_cast<const TextTooLong*>(&failure) ? failure.what() : kErrorOutOfMemory);
    }
    return 0;
}

KnownGlobals::~KnownGlobals() {
    std::free(table);
    std::free(filled);
}

Variable* KnownGlobals::Entry(int32_t i) const {
    return scope ? scope->PlainEntry(i) : nullptr;
}

Variable* KnownGlobals::Learn(int32_t i) {
    Variable* v = Entry(i);
    if (!v || !v->IsPlainScalar()) return nullptr;
    if (static_cast<uint32_t>(i) >= room) {
        // Room for every entry the scope has now: each is set at most once
        // between two Forgets, so filled needs no more.
        uint32_t wanted = static_cast<uint32_t>(scope->EntryCount());
        if (wanted < 64) wanted = 64;
        auto* t = static_cast<Variable**>(std::calloc(wanted, sizeof(Variable*)));
        auto* f = static_cast<int32_t*>(std::malloc(wanted * sizeof(int32_t)));
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
        room = wanted;
    }
    table[i] = v;
    filled[count++] = i;
    return v;
}

void KnownGlobals::ForgetAll() {
    for (int32_t k = 0; k < count; ++k) table[filled[k]] = nullptr;
    count = 0;
}

namespace {

// Whether a conditional jump is taken on a comparison result.
[[gnu::always_inline]] inline bool JumpTaken(const DecodedOp* jump, int32_t r) {
    return (jump->when >> ((r > 0) - (r < 0) + 1)) & 1;
}

inline bool IsPlainHash(const VariableHash* scope) {
    return scope && typeid(*scope) == typeid(VariableHash);
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

// A number entry's value, or a plain scalar variable entry's double; false
// for anything else (a text, whose conversion the handler does).
[[gnu::always_inline]] inline bool EntryDouble(VornVMStackEntry& e, double* out) {
    switch (e.type) {
    case kStackInteger:
        *out = e.value.integer;
        return true;
    case kStackDouble:
        *out = e.value.number;
        return true;
    case kStackVariable:
        // As PopDouble reads it: ValueDouble, caching the double.
        if (!e.value.variable->IsPlainScalar()) return false;
        *out = e.value.variable->PlainDouble();
        return true;
    case kStackSlot:
        return SlotDouble(*e.value.slot, out);
    default:
        return false;
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

// The compact-array form of a slot holding a number or a text.
[[gnu::always_inline]] inline bool ScalarDenseValue(const Scalar* from, DenseValue* value) {
    if (from->type == Scalar::kInteger) {
        value->type = DenseValue::kInteger;
        value->integer = from->integer;
    } else if (from->type == Scalar::kDouble) {
        value->type = DenseValue::kDouble;
        value->number = from->number;
    } else if (from->type == Scalar::kText) {
        value->type = DenseValue::kText;
        value->text = from->text;
        value->length = from->length;
    } else {
        return false;
    }
    return true;
}

// What a store of entry e into array keeps in the compact form; false where
// the store goes the handler's way (not a plain value, or the array itself).
[[gnu::always_inline]] inline bool EntryDenseValue(const VornVMStackEntry& e, const Variable* array,
                                                   DenseValue* value) {
    switch (e.type) {
    case kStackInteger:
        value->type = DenseValue::kInteger;
        value->integer = e.value.integer;
        return true;
    case kStackDouble:
        value->type = DenseValue::kDouble;
        value->number = e.value.number;
        return true;
    case kStackString:
        value->type = DenseValue::kText;
        value->text = const_cast<char*>(e.value.text);
        value->length = e.length;
        return true;
    case kStackSlot: {
        const Scalar* from = e.value.slot;
        if (ScalarDenseValue(from, value)) return true;
        return from->type == Scalar::kVariable && from->variable != array &&
               from->variable->PlainDenseValue(value);
    }
    default:
        return e.value.variable != array && e.value.variable->PlainDenseValue(value);
    }
}

// The most a cat result is allocated beyond its length, as cat's handler
// allocates it.
constexpr int64_t kCatSpare = 1 << 20;

// The work the fast paths do between two looks at the flags the byte form
// checks before every instruction (time-out and stop, watchdog tick, exit):
// a jump taken or a call counts one step, a text moved one step for each
// 4 KB (an append at once, its look at the next jump or call: appends in a
// row are bounded by the memory they keep). Whatever runs out of line (a
// handler, an assignment of any value, a call or return the general way) is
// followed by a look of its own, its work having no bound.
constexpr int32_t kQuietSteps = 255;
constexpr int32_t kStepShift = 12;

// A cat operand's text, as cat's handler reads it: a text, a number
// (formatted into digits, 32 bytes), a plain scalar variable, a local's
// number or text; false for anything else (and a local's -0, which the
// handler makes a variable).
[[gnu::always_inline]] inline bool CatOperand(const VornVMStackEntry& e, char* digits, const char** text,
                                              int32_t* length) {
    Scalar value;
    switch (e.type) {
    case kStackString:
        *text = e.value.text;
        *length = e.length;
        return true;
    case kStackInteger:
        value.type = Scalar::kInteger;
        value.integer = e.value.integer;
        break;
    case kStackDouble:
        value.type = Scalar::kDouble;
        value.number = e.value.number;
        break;
    case kStackSlot: {
        const Scalar* slot = e.value.slot;
        if (slot->type == Scalar::kText) {
            *text = slot->text;
            *length = slot->length;
            return true;
        }
        if ((slot->type != Scalar::kInteger && slot->type != Scalar::kDouble) || slot->IsNegativeZero()) return false;
        value.type = slot->type;
        value.bits = slot->bits;
        break;
    }
    case kStackVariable: {
        Variable* v = e.value.variable;
        if (!v->IsPlainScalar()) return false;
        // A number's text is built and kept, as the pop reads it.
        const String& s = v->PlainValue();
        *text = s.Text();
        *length = s.Length();
        return true;
    }
    default: return false;
    }
    if (value.type == Scalar::kInteger) {
        *length = FormatIntegerTo(value.integer, digits);
    } else {
        *length = FormatDoubleTo(value.number, digits, 32);
        if (*length < 0) return false;
    }
    *text = digits;
    return true;
}

// Local entry i of a frame whose locals live in a plain scope, for a fast
// path; null (the handler then runs) when there is none yet.
[[gnu::always_inline]] inline Variable* ScopeLocal(VornVM_Frame* frame, int32_t i) {
    VariableHash* scope = frame->scope;
    return scope && IsPlainHash(scope) ? scope->PlainEntry(i) : nullptr;
}

// Drops an entry EntryDouble accepted.
[[gnu::always_inline]] inline void DropNumberEntry(VornVMStackEntry& e) {
    if (e.type == kStackVariable && (e.flags & kStackOwned)) e.value.variable->PlainRelease();
}

// A value slot a text grows in: its value, as cat reads it, made its text.
[[gnu::always_inline]] inline void MakeSlotText(Scalar* slot) {
    if (slot->type != Scalar::kText) {
        int32_t n = 0, size = 0;
        bool owned = false;
        const char* text = slot->Text(&n, &size, &owned);
        if (owned)
            slot->AdoptText(const_cast<char*>(text), n, size);
        else
            slot->SetText(text, n);
    }
}

// Makes e a number entry.
[[gnu::always_inline]] inline void SetDoubleEntry(VornVMStackEntry& e, double r) {
    e.type = kStackDouble;
    e.flags = 0;
    e.value.number = r;
    e.length = 8;
    e.size = 8;
}

// The locals of the current frame as the fast paths see them: its slots,
// or none (limit 0) for a frame without slots.
struct FrameSlots {
    Scalar* slots = nullptr;
    uint32_t limit = 0;
    [[gnu::always_inline]] void Load(VornVM_Frame* frame) {
        if (frame->usesSlots) {
            auto* f = static_cast<VornVM_FunctionFrame*>(frame);
            slots = f->slots;
            limit = static_cast<uint32_t>(f->slotCount);
        } else {
            slots = nullptr;
            limit = 0;
        }
    }
};

// The variable behind a variable operand of a fused run, or null where the
// run must go the handlers' way: a local kept as a value in its slot (slot
// is then set), a variable not made yet, a scope of another class.
[[gnu::always_inline]] inline Variable* OperandVariable(const DecodedOperand& o, VornVM_Frame* frame, const FrameSlots& locals,
                                 KnownGlobals& globals, Scalar** slot) {
    *slot = nullptr;
    if (o.kind == DecodedOperand::kGlobal) return globals.Entry(o.index);
    if (static_cast<uint32_t>(o.index) < locals.limit) {
        Scalar* s = &locals.slots[o.index];
        if (s->type == Scalar::kVariable) return s->variable;
        *slot = s;
        return nullptr;
    }
    return frame->usesSlots ? nullptr : ScopeLocal(frame, o.index);
}

// Where a fused run's pop stores a number the plain way: a value slot
// (*slot), or a plain scalar variable (*store); false where the handlers
// must run.
[[gnu::always_inline]] inline bool NumberTarget(const DecodedOperand& o, VornVM_Frame* frame, const FrameSlots& locals,
                                                KnownGlobals& globals, Scalar** slot, Variable** store) {
    if (o.kind == DecodedOperand::kGlobal) {
        *slot = nullptr;
        *store = globals.Plain(o.index);
        return *store != nullptr;
    }
    *store = OperandVariable(o, frame, locals, globals, slot);
    return *slot || (*store && (*store)->IsPlainScalar());
}

// The number a push operand leaves for arithmetic (as PopDouble reads it);
// false where the handlers must run. A local read is made, as pushl makes it.
[[gnu::always_inline]] inline bool OperandNumber(const DecodedOperand& o, VornVM_Frame* frame, const FrameSlots& locals,
                          KnownGlobals& globals, double* out) {
    if (o.kind == DecodedOperand::kLocal && static_cast<uint32_t>(o.index) < locals.limit) {
        Scalar& slot = locals.slots[o.index];
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
        case Scalar::kVariable: break;
        default:
            // pushl makes it, the arithmetic reads it as a number.
            slot.ReadAsNumber();
            *out = 0.0;
            return true;
        }
    }
    switch (o.kind) {
    case DecodedOperand::kInteger: *out = o.index; return true;
    case DecodedOperand::kDouble: *out = o.number; return true;
    case DecodedOperand::kText: return false;
    case DecodedOperand::kGlobal: {
        Variable* v = globals.Plain(o.index);
        if (!v) return false;
        *out = v->PlainDouble();
        return true;
    }
    default: break;
    }
    Scalar* slot;
    Variable* v = OperandVariable(o, frame, locals, globals, &slot);
    if (!v || !v->IsPlainScalar()) return false;
    *out = v->PlainDouble();
    return true;
}

// The integer a push operand leaves for an index (as PopInteger reads it).
[[gnu::always_inline]] inline bool OperandInteger(const DecodedOperand& o, VornVM_Frame* frame, const FrameSlots& locals,
                           KnownGlobals& globals, int32_t* out) {
    if (o.kind == DecodedOperand::kInteger) {
        *out = o.index;
        return true;
    }
    if (o.kind == DecodedOperand::kGlobal) {
        Variable* v = globals.Plain(o.index);
        if (!v) return false;
        *out = v->PlainInteger();
        return true;
    }
    Scalar* slot;
    Variable* v = OperandVariable(o, frame, locals, globals, &slot);
    if (slot) {
        if (slot->type != Scalar::kInteger) return false;
        *out = slot->integer;
        return true;
    }
    if (!v || !v->IsPlainScalar()) return false;
    *out = v->PlainInteger();
    return true;
}

// What a push operand leaves as a number argument of a call, as binding
// copies it into a parameter's slot: an integer, a double or an empty value
// (kind in *type); false for anything else.
[[gnu::always_inline]] inline bool OperandArgument(const DecodedOperand& o, VornVM_Frame* frame, const FrameSlots& locals,
                            KnownGlobals& globals, Scalar* out) {
    out->bits = 0;
    // Variables first, then the constants.
    if (o.kind > DecodedOperand::kGlobal) {
        if (o.kind == DecodedOperand::kInteger) {
            out->type = Scalar::kInteger;
            out->integer = o.index;
            return true;
        }
        if (o.kind != DecodedOperand::kDouble) return false;
        out->type = Scalar::kDouble;
        out->number = o.number;
        return true;
    }
    if (o.kind == DecodedOperand::kGlobal) {
        Variable* v = globals.Plain(o.index);
        return v && (v->PlainNumberOf(out) || (v->PlainScalar(out) && out->type <= Scalar::kDouble));
    }
    Scalar* slot;
    Variable* v = OperandVariable(o, frame, locals, globals, &slot);
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

// The text a push operand leaves for cat (as PopString reads it); a
// formatted number is freed with the holder.
struct OperandText {
    const char* text = "";
    int32_t length = 0;
    char* formatted = nullptr;
    char digits[16];
    OperandText() = default;
    OperandText(const OperandText&) = delete;
    OperandText& operator=(const OperandText&) = delete;
    ~OperandText() { std::free(formatted); }

    bool Read(const DecodedOperand& o, VornVM_Frame* frame, const FrameSlots& locals, KnownGlobals& globals) {
        switch (o.kind) {
        case DecodedOperand::kText:
            text = o.text;
            length = o.length;
            return true;
        case DecodedOperand::kInteger:
            text = digits;
            length = static_cast<int32_t>(std::to_chars(digits, digits + sizeof digits, o.index).ptr - digits);
            return true;
        case DecodedOperand::kDouble: {
            int32_t size = 0;
            formatted = FormatDouble(o.number, &length, &size);
            text = formatted;
            return true;
        }
        default: break;
        }
        Scalar* slot;
        Variable* v = OperandVariable(o, frame, locals, globals, &slot);
        if (slot) {
            if (slot->type == Scalar::kAbsent) slot->type = Scalar::kEmpty;
            if (slot->IsNegativeZero()) static_cast<VornVM_FunctionFrame*>(frame)->SlotVariable(o.index);
            bool owned = false;
            text = slot->Text(&length, nullptr, &owned);
            if (owned) formatted = const_cast<char*>(text);
            return true;
        }
        if (!v) return false;
        const String& value = v->Value();
        text = value.Text();
        length = value.Length();
        return true;
    }
};

// The text of the right operand of an in-place cat, an entry on the stack
// (as PopString reads it); a formatted number is freed with the holder, on
// every way out (an append may throw). The entry may be the very variable
// or slot appended to (g $ g, l $ l): each append reads its text before it
// lets go of the old buffer.
struct EntryText {
    const char* text;
    int32_t length = 0;
    char* formatted = nullptr;
    char digits[32];
    [[gnu::always_inline]] explicit EntryText(const VornVMStackEntry& e) {
        switch (e.type) {
        case kStackString:
            text = e.value.text;
            length = e.length;
            break;
        case kStackVariable: {
            const String& value = e.value.variable->Value();
            text = value.Text();
            length = value.Length();
            break;
        }
        case kStackSlot: {
            bool owned = false;
            text = VornVM_Stack::SlotText(e, &length, nullptr, &owned);
            if (owned) formatted = const_cast<char*>(text);
            break;
        }
        case kStackInteger:
            text = digits;
            length = static_cast<int32_t>(std::to_chars(digits, digits + sizeof digits, e.value.integer).ptr - digits);
            break;
        default: {
            int32_t size = 0;
            formatted = FormatDouble(e.value.number, &length, &size);
            text = formatted;
            break;
        }
        }
    }
    EntryText(const EntryText&) = delete;
    EntryText& operator=(const EntryText&) = delete;
    ~EntryText() {
        if (formatted) std::free(formatted);
    }
};

} // namespace

bool VornVM::BindStackArguments(VornVM_FunctionFrame* called, int32_t k, const DecodedOp* callWord) {
    VornVM_Stack* s = stack;
    bool general = false;
    Scalar* slots = called->slots;
    const int32_t* bindings = called->bindings;
    for (; k < called->parameterCount; ++k) {
        int32_t slot = bindings[k] >> 1;
        Scalar& target = slots[slot];
        VornVMStackEntry& e = s->entries[s->depth - 1];
        Scalar value;
        if (e.type <= kStackDouble) {
            if (target.type >= Scalar::kText) target.Clear();
            target.bits = static_cast<uint64_t>(0);
            if (e.type == kStackInteger) {
                target.integer = e.value.integer;
                target.type = Scalar::kInteger;
            } else {
                target.number = e.value.number;
                target.type = Scalar::kDouble;
            }
        } else if (e.type == kStackVariable &&
                   (e.value.variable->PlainNumberScalar(&value) ||
                    (e.value.variable->PlainScalar(&value) && value.type <= Scalar::kDouble))) {
            if (target.type >= Scalar::kText) target.Clear();
            target.bits = value.bits;
            target.type = value.type;
            if (e.flags & kStackOwned) e.value.variable->PlainRelease();
        } else {
            instructionStart = callWord->pc;
            pc = callWord->next;
            PopIntoLocal(called, slot);
            // As after any assignment of another value.
            knownGlobals.Forget();
            general = true;
            continue;
        }
        --s->depth;
    }
    return general;
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
#define DISPATCH() goto* op->label
#define NEXT()                                                                                               \
    do {                                                                                                     \
        ++op;                                                                                                \
        DISPATCH();                                                                                          \
    } while (0)
// Something the fast path does not cover: the handler of the (first) word.
#define GENERIC() goto op_handler
// A fast path that moved a text of that many bytes, to go on at op `after`:
// long texts count toward the next look at the flags.
#define CHARGE(bytes, after)                                                                                 \
    do {                                                                                                     \
        if ((bytes) >= (1 << kStepShift)) [[unlikely]] {                                                     \
            quiet -= static_cast<int32_t>((bytes) >> kStepShift);                                            \
            if (quiet < 0) {                                                                                 \
                op = (after);                                                                                \
                goto poll;                                                                                   \
            }                                                                                                \
        }                                                                                                    \
    } while (0)
// Whether the current frame can return the fast way (ret's conditions but
// the value's): only a function frame that the fast call made from this form
// has its returnForm set to it, and only while its locals have no scope by
// name and it owns no feature (a feature forgets it). No fast call is made
// while returns are traced (SetTraceFlags forgets the calls made before).
#define FAST_RETURN() (frame->returnForm == form)
// A fused sum's result r into its value slot (target), its plain variable
// (store) or a new entry; then the op after the run.
#define SUM_DONE(r)                                                                                          \
    do {                                                                                                     \
        if (target)                                                                                          \
            target->SetDouble(r);                                                                            \
        else if (store)                                                                                      \
            store->PlainSetDouble(r);                                                                        \
        else                                                                                                 \
            SetDoubleEntry(s->entries[s->depth++], r);                                                       \
        op += op->span;                                                                                      \
        DISPATCH();                                                                                          \
    } while (0)

    const DecodedOp* op = nullptr;
    DecodedSegment* form = nullptr;
    VornVM_Stack* s = nullptr;
    KnownGlobals& globals = knownGlobals;
    globals.scope = IsPlainHash(globalScope) ? globalScope : nullptr;
    FrameSlots locals;
    // The value a fast return hands to the caller.
    VornVMStackEntry returned{};
    // Steps of work left before the next look at the time-out, tick and exit
    // flags (kQuietSteps).
    int32_t quiet = 0;

slow:
    // Whatever ran before may have changed the output.
    outputModeKnown = -1;
    if (stack && !stack->entries) PlaceLazyWindow();
    // Everything the byte form checks before each instruction.
    if (timedOut && timedOut->load(std::memory_order_relaxed)) {
        if (!aborted) {
            aborted = 1;
            if (application) application->WriteText(kErrorTimedOut);
            if ((traceFlags & LogTimedOut) && TraceAccepts()) LogEvent(LogTimedOut);
        }
        return 0;
    }
    if (tickCounter && tickCounter->load(std::memory_order_relaxed) != lastTick) NotifyFeatures();
    if (aborted) return 0;
    if (exitRequested->load(std::memory_order_relaxed)) return 1;
    if (segmentIndex != loadedSegment && !LoadSegment(segmentIndex)) {
        FatalError(kErrorInvalidSegment);
        return 0;
    }
    instructionStart = pc;
    if (pc < 0) {
        FatalError(kErrorInvalidJump);
        return 0;
    }
    if (static_cast<int64_t>(pc) + 1 >= codeLength) {
        if (frame && frame->AtSegmentEnd() == kFrameEndsFilter) {
            int32_t truth = stack->PopBoolean() ? 1 : 0;
            VornVM_FilterFrame::Callback onEnd = static_cast<VornVM_FilterFrame*>(frame)->callback;
            if (onEnd) onEnd(*this, truth);
        } else {
            return 1;
        }
        goto slow;
    }
    {
        form = decodeSegments && segment && code == segment->Code()
                   ? DecodedSegment::Of(segment, code, codeLength, pool)
                   : nullptr;
        op = form ? form->At(pc) : nullptr;
        if (!op) {
            StepBytes();
            goto slow;
        }
        form->Thread(kLabels);
    }
    // Whatever ran before may have changed the globals.
    globals.Forget();
    s = stack;
    locals.Load(frame);
    DISPATCH();

op_handler:
    if (!s->entries) [[unlikely]] {
        // A fast call's window, placed now: the op again, with room.
        PlaceLazyWindow();
        s = stack;
        if (s->entries) DISPATCH();
    }
    instructionStart = op->pc;
    pc = op->next;
    if (op->loads) {
        if (op->loads & kLoadsA) immA = op->a;
        if (op->loads & kLoadsADouble) immADouble = op->aDouble;
        if (op->loads & kLoadsB) immB = op->b;
        if (op->loads & kLoadsBDouble) immBDouble = op->bDouble;
    }
    {
        const uint8_t* before = code;
        RunHandler(op->handler);
        outputModeKnown = -1;
        // A handler may have made a known global an alias or an aggregate,
        // or put another variable in its entry.
        globals.Forget();
        // A handler may have built the locals' scope.
        locals.Load(frame);
        // A handler that moved elsewhere, ended the run or ran other code
        // (a call, a sub-program) hands back to the checks above.
        if (aborted || pc != op->next || segmentIndex != loadedSegment || code != before || stack != s)
            goto slow;
    }
    // A handler's work has no bound (a search through a long text, a copy
    // of an array): the checks are made after each.
    ++op;
    goto poll;

poll:
    // op is the next instruction, and the checks before it are due.
    quiet = kQuietSteps;
    if (ChecksDue()) {
        pc = op->pc;
        goto slow;
    }
    DISPATCH();

op_end:
    pc = op->pc;
    goto slow;

op_truncated:
    instructionStart = pc = op->pc;
    FatalError(kErrorTruncatedInstruction);
    return 0;

op_illegal:
    instructionStart = op->pc;
    pc = op->next;
    if (op->loads & kLoadsA) immA = op->a;
    if (op->loads & kLoadsADouble) immADouble = op->aDouble;
    if (op->loads & kLoadsB) immB = op->b;
    if (op->loads & kLoadsBDouble) immBDouble = op->bDouble;
    FatalError(kErrorIllegalInstruction);
    goto slow;

op_noop:
    NEXT();

op_exit:
    instructionStart = op->pc;
    exitRequested->store(1, std::memory_order_relaxed);
    pc = codeLength;
    goto slow;

op_jcc : {
    if (s->depth <= 0 || s->entries[s->depth - 1].type != kStackInteger) GENERIC();
    int32_t r = s->entries[--s->depth].value.integer;
    if (!JumpTaken(op, r)) NEXT();
    goto take_jump;
}

op_jmp:
take_jump:
    // op is the jump. Every jump taken counts a step: a loop's jump back
    // among them, and a count is cheaper than telling which go back.
    if (const DecodedOp* to = op->jumpTo) {
        op = to;
        if (--quiet < 0) goto poll;
        DISPATCH();
    }
    if (op->target == kDecodedJumpUnindexed) {
        pc = op->targetPc;
        goto slow;
    }
    instructionStart = op->pc;
    pc = op->next;
    FatalError(kErrorInvalidJump);
    goto slow;

op_pushi:
    if (s->depth >= s->capacity) GENERIC();
    {
        VornVMStackEntry& e = s->entries[s->depth++];
        e.type = kStackInteger;
        e.flags = 0;
        e.value.integer = op->a;
        e.length = 4;
        e.size = 4;
    }
    NEXT();

op_pushf:
    if (s->depth >= s->capacity) GENERIC();
    SetDoubleEntry(s->entries[s->depth++], op->aDouble);
    NEXT();

op_pushc:
    if (s->depth >= s->capacity) GENERIC();
    {
        VornVMStackEntry& e = s->entries[s->depth++];
        e.type = kStackString;
        e.flags = 0;
        e.value.text = op->text;
        e.length = op->textLength;
        e.size = op->textLength;
    }
    NEXT();

op_pushl:
    if (static_cast<uint32_t>(op->a) < locals.limit) {
        if (s->depth >= s->capacity) GENERIC();
        Scalar* slot = &locals.slots[op->a];
        if (slot->type == Scalar::kAbsent) slot->type = Scalar::kEmpty;
        VornVMStackEntry& e = s->entries[s->depth++];
        e.type = kStackSlot;
        e.flags = 0;
        e.value.slot = slot;
        e.length = op->a;
        NEXT();
    }
    if (frame->usesSlots) GENERIC();
    // fall through
op_pushg : {
    if (s->depth >= s->capacity) GENERIC();
    Variable* v = op->kind == kDecodedPushg ? globals.Entry(op->a) : ScopeLocal(frame, op->a);
    if (!v) GENERIC();
    // The entry holds a reference of its own, as the handler's push does.
    if (!v->IsAlias() && v->IsPlainClass())
        v->PlainAddReference();
    else
        v->AddReference();
    VornVMStackEntry& e = s->entries[s->depth++];
    e.type = kStackVariable;
    e.flags = kStackOwned;
    e.value.variable = v;
    e.length = 0;
    e.size = 0;
    NEXT();
}

op_popl:
    if (static_cast<uint32_t>(op->a) < locals.limit) {
        if (s->depth <= 0) GENERIC();
        Scalar* slot = &locals.slots[op->a];
        VornVMStackEntry& e = s->entries[s->depth - 1];
        if (slot->type < Scalar::kText && e.type <= kStackDouble) {
            if (e.type == kStackInteger) {
                slot->integer = e.value.integer;
                slot->type = Scalar::kInteger;
            } else {
                slot->number = e.value.number;
                slot->type = Scalar::kDouble;
            }
            --s->depth;
            NEXT();
        }
        instructionStart = op->pc;
        pc = op->next;
        // Into an alias, the value may make its target an aggregate.
        PopIntoLocal(static_cast<VornVM_FunctionFrame*>(frame), op->a);
        globals.Forget();
        if (aborted) goto slow;
        // Any value: an array's copy has no bound.
        ++op;
        goto poll;
    }
    if (frame->usesSlots) GENERIC();
    // fall through
op_popg : {
    if (s->depth <= 0) GENERIC();
    VornVMStackEntry& e = s->entries[s->depth - 1];
    if (op->kind == kDecodedPopg && e.type <= kStackDouble) {
        if (Variable* plain = globals.Plain(op->a)) {
            if (e.type == kStackInteger)
                plain->PlainSetInteger(e.value.integer);
            else
                plain->PlainSetDouble(e.value.number);
            --s->depth;
            NEXT();
        }
    }
    Variable* v = op->kind == kDecodedPopg ? globals.Entry(op->a) : ScopeLocal(frame, op->a);
    if (!v) GENERIC();
    if (v->IsPlainScalar() && e.type == kStackInteger) {
        v->PlainSetInteger(e.value.integer);
        --s->depth;
        NEXT();
    }
    if (v->IsPlainScalar() && e.type == kStackDouble) {
        v->PlainSetDouble(e.value.number);
        --s->depth;
        NEXT();
    }
    instructionStart = op->pc;
    pc = op->next;
    // Any value: it may make the variable (or an alias's target) an
    // aggregate.
    s->PopInto(v);
    globals.Forget();
    if (aborted) goto slow;
    ++op;
    goto poll;
}

op_pop : {
    if (s->depth <= 0) GENERIC();
    VornVMStackEntry& e = s->entries[s->depth - 1];
    if (e.flags & kStackOwned) GENERIC();
    --s->depth;
    NEXT();
}

op_arith : {
    if (s->depth < 2) GENERIC();
    VornVMStackEntry& eb = s->entries[s->depth - 1];
    VornVMStackEntry& ea = s->entries[s->depth - 2];
    double x, y;
    // The right operand converts first, as the handler pops it first.
    if (!EntryDouble(eb, &y) || !EntryDouble(ea, &x)) GENERIC();
    DropNumberEntry(eb);
    DropNumberEntry(ea);
    double r = op->kind == kDecodedAdd ? x + y : (op->kind == kDecodedSub ? x - y : x * y);
    --s->depth;
    SetDoubleEntry(ea, r);
    NEXT();
}

op_incg : {
    Variable* v = globals.Plain(op->a);
    if (!v) GENERIC();
    // Wraps at 32 bits, as the handler's add does.
    v->PlainSetInteger(
        static_cast<int32_t>(static_cast<uint32_t>(v->PlainInteger()) + static_cast<uint32_t>(op->b)));
    NEXT();
}

op_storegi : {
    Variable* v = globals.Plain(op->a);
    if (!v) GENERIC();
    v->PlainSetInteger(op->b);
    NEXT();
}

op_cmpgi:
op_cmpgi_jump : {
    Variable* v = globals.Plain(op->a);
    double x;
    if (!v || s->depth >= s->capacity || !v->PlainNumber(&x)) GENERIC();
    int32_t r = CompareDoubles(x, static_cast<double>(op->b));
    if (op->kind == kDecodedCmpgi) {
        VornVMStackEntry& e = s->entries[s->depth++];
        e.type = kStackInteger;
        e.flags = 0;
        e.value.integer = r;
        e.length = 4;
        e.size = 4;
        NEXT();
    }
    ++op; // the jump
    if (!JumpTaken(op, r)) NEXT();
    goto take_jump;
}

op_call:
op_call_run : {
    // callArguments of the call's operands (x, then y) are not on the stack:
    // the fused run binds them where the call would pop them.
    const int32_t callArguments = op->span - 1;
    Function* function = functions ? functions->At(op->callee) : nullptr;
    // The common call, as CallScriptFunction makes it: a kept frame of the
    // function readied for this form (by value into its slots, its entry
    // here), nothing traced. Anything else goes the general way. Only a
    // script function has frames.
    VornVM_FunctionFrame* called = spareFrames[SpareList(function)];
    if (!called || called->function != function || called->entryForm != form) goto call_prepare;
call_ready : {
    if (!s->entries) {
        // The value returned comes back to this stack.
        PlaceLazyWindow();
        s = stack;
    }
    // The entries the call pops; the fused operands must have fitted.
    // (A negative count is past any depth.)
    const int32_t popped = called->parameterCount - callArguments;
    if (static_cast<uint32_t>(popped) > static_cast<uint32_t>(s->depth) ||
        s->depth + callArguments > s->capacity || frame->callDepth >= kMaxCallDepth ||
        (traceFlags & (LogFunctionCall | LogFunctionParameter | LogFunctionReturnValue | LogFunctionReturn)) ||
        called->slotCount != function->Locals()->EntryCount())
        goto call_general;
    // The last argument first: the operands a fused run would push (y, then
    // x) straight into their slots, then the entries on the stack. The slots
    // of a kept frame are absent, two parameters may share one, and the
    // operands are the caller's, never one of these slots.
    Scalar* slots = called->slots;
    const int32_t* bindings = called->bindings;
    if (callArguments > 1 && !OperandArgument(op->y, frame, locals, globals, &slots[bindings[0] >> 1]))
        goto call_unbind;
    if (callArguments > 0 &&
        !OperandArgument(op->x, frame, locals, globals, &slots[bindings[callArguments - 1] >> 1]))
        goto call_unbind;
    // Off its list (a frame in use is on none; its nextSpare is not read).
    spareFrames[called->spareList] = called->nextSpare;
    --spareCounts[called->spareList];
    VornVM_Frame* caller = frame;
    called->previous = caller;
    called->callDepth = caller->callDepth + 1;
    // The return point is returnOp's offset (see ReturnFromFunction).
    called->returnSegment = segmentIndex;
    called->returnForm = form;
    called->returnOp = op->back;
    uint32_t flags = caller->flags;
    uint32_t mode = 0;
    if (uint32_t bits = called->entryFlags) [[unlikely]] {
        if (bits & 0x4) flags |= kFrameShowErrors;
        if (bits & 0x8) flags &= ~kFrameShowErrors;
        if ((bits & 0x10) && (caller->outputMode & 3))
            mode = 2;
        else if (bits & 0x2)
            mode = 1;
    }
    called->flags = flags;
    called->outputMode = mode;
    // A call counts one step, and an argument copied the general way all
    // that is left.
    if (callArguments < called->parameterCount && BindStackArguments(called, callArguments, op->callWord))
        quiet = 0;
    // The window is placed when something needs it (PlaceLazyWindow).
    if (static_cast<int32_t>(mode) != outputModeKnown) [[unlikely]] {
        SetOutputMode(mode);
        outputModeKnown = static_cast<int32_t>(mode);
    }
    frame = called;
    stack = s = &called->window;
    locals.slots = slots;
    locals.limit = static_cast<uint32_t>(called->slotCount);
    op = static_cast<const DecodedOp*>(called->entryOp);
    pc = op->pc;
    if (--quiet < 0) goto poll;
    DISPATCH();
}
call_unbind:
    // The general way binds them again: the kept frame's slots go back to
    // absent (an operand may have left another kind there).
    {
        Scalar* slots = called->slots;
        const int32_t* bindings = called->bindings;
        for (int32_t k = 0; k < callArguments; ++k) slots[bindings[k] >> 1].type = Scalar::kAbsent;
    }
    goto call_general;
call_prepare:
    // The kept frame at the head of the function's list is readied for this
    // form once: its bindings by value into its slots, its function's code
    // this segment's.
    if (called && called->function == function && called->plainBindings && !function->IsExternal() &&
        function->segment == segmentIndex) {
        if (const DecodedOp* entry = form->At(function->offset)) {
            called->entryForm = form;
            called->entryOp = entry;
            called->entryFlags = function->flags & 0x1e;
            goto call_ready;
        }
    }
call_general:
    if (callArguments > 0 || !function || function->IsExternal()) GENERIC(); // the first push's handler, then the rest
    instructionStart = op->pc;
    pc = op->next;
    immA = op->a;
    CallScriptFunction(function);
    goto moved;
}

op_ret:
    // The common return, as ReturnFromFunction makes it: the value alone on
    // the window, nothing traced, no feature open, no scope built, and the
    // call made by the fast path from this form.
    if (s->depth != 1 || !FAST_RETURN() || s->entries[0].type == kStackSlot ||
        (s->entries[0].type == kStackVariable && !(s->entries[0].flags & kStackOwned)))
        goto ret_general;
    CopyEntry(returned, s->entries[0]);
    s->depth = 0;
fast_return : {
    auto* f = static_cast<VornVM_FunctionFrame*>(frame);
    VornVM_Frame* caller = f->previous;
    if (caller->stack->depth >= caller->stack->capacity) [[unlikely]] {
        // No room for the value: the general return reports it, from ret,
        // with the value on the window.
        if (!s->entries) {
            PlaceLazyWindow();
            s = stack;
        }
        CopyEntry(s->entries[s->depth++], returned);
        if (op->kind == kDecodedArithReturn) op += op->span;
        goto ret_general;
    }
    const DecodedOp* back = static_cast<const DecodedOp*>(f->returnOp);
    // Its window is empty and its locals have no scope (FAST_RETURN). The
    // segment is the call's (its code is this form's); pc is set where the
    // caller goes on.
    f->ClearSlots();
    KeepFunctionFrame(f);
    frame = caller;
    stack = s = caller->stack;
    locals.Load(caller);
    if (static_cast<int32_t>(caller->outputMode) != outputModeKnown) [[unlikely]] {
        SetOutputMode(caller->outputMode);
        outputModeKnown = static_cast<int32_t>(caller->outputMode);
    }
    // A number returned to a pop goes straight where the pop puts it.
    if (returned.type <= kStackDouble) {
        if (back->kind == kDecodedPopg) {
            if (Variable* v = globals.Plain(back->a)) {
                if (returned.type == kStackInteger)
                    v->PlainSetInteger(returned.value.integer);
                else
                    v->PlainSetDouble(returned.value.number);
                pc = back->next;
                op = back + 1;
                DISPATCH();
            }
        } else if (back->kind == kDecodedPopl && static_cast<uint32_t>(back->a) < locals.limit &&
                   locals.slots[back->a].type < Scalar::kText) {
            Scalar& slot = locals.slots[back->a];
            if (returned.type == kStackInteger) {
                slot.integer = returned.value.integer;
                slot.type = Scalar::kInteger;
            } else {
                slot.number = returned.value.number;
                slot.type = Scalar::kDouble;
            }
            pc = back->next;
            op = back + 1;
            DISPATCH();
        }
    }
    CopyEntry(s->entries[s->depth++], returned);
    pc = back->pc;
    op = back;
    DISPATCH();
}
ret_general:
    instructionStart = op->pc;
    pc = op->next;
    ReturnFromFunction(true);
    goto moved;

moved:
    outputModeKnown = -1;
    globals.Forget();
    // A call or return within the same code goes on from its form, after the
    // checks.
    if (aborted || segmentIndex != loadedSegment || ChecksDue()) goto slow;
    op = form->At(pc);
    if (!op) goto slow;
    s = stack;
    locals.Load(frame);
    DISPATCH();

op_elem_store : {
    // elem then store: the value goes straight into a compact array.
    if (s->depth < 3) GENERIC();
    VornVMStackEntry& ei = s->entries[s->depth - 1];
    VornVMStackEntry& ea = s->entries[s->depth - 2];
    VornVMStackEntry& ev = s->entries[s->depth - 3];
    int32_t index;
    if (!EntryInteger(ei, &index) || index < 1 || ea.type != kStackVariable) GENERIC();
    Variable* array = ea.value.variable;
    DenseValue value;
    if (!EntryDenseValue(ev, array, &value)) GENERIC();
    // Where the words one by one would run out of memory: at the store.
    instructionStart = (op + 1)->pc;
    pc = (op + 1)->next;
    // A scalar given its first element becomes an array.
    if (index == 1) globals.Forget();
    if (!array->PlainDenseStore(index, value)) GENERIC();
    s->depth -= 3;
    DropNumberEntry(ei);
    if (ea.flags & kStackOwned) array->PlainRelease();
    const int32_t copied = value.length;
    if (ev.flags & kStackOwned) {
        if (ev.type == kStackString)
            std::free(const_cast<char*>(ev.value.text));
        else if (ev.type == kStackVariable)
            ev.value.variable->Release();
    }
    CHARGE(copied, op + 2);
    op += 2;
    DISPATCH();
}

op_elemr_add : {
    // elemr then add: a compact array's element read in place.
    if (s->depth < 3) GENERIC();
    VornVMStackEntry& ei = s->entries[s->depth - 1];
    VornVMStackEntry& ea = s->entries[s->depth - 2];
    VornVMStackEntry& ex = s->entries[s->depth - 3];
    int32_t index;
    if (!EntryInteger(ei, &index) || index < 1 || ea.type != kStackVariable) GENERIC();
    DenseValue element;
    if (!ea.value.variable->PlainDenseRead(index, &element) || element.type == DenseValue::kText) GENERIC();
    double x;
    if (!EntryDouble(ex, &x)) GENERIC();
    // A missing element reads as the null value: 0.
    double y = element.type == DenseValue::kInteger
                   ? element.integer
                   : (element.type == DenseValue::kDouble ? element.number : 0.0);
    s->depth -= 2;
    DropNumberEntry(ei);
    if (ea.flags & kStackOwned) ea.value.variable->PlainRelease();
    DropNumberEntry(ex);
    SetDoubleEntry(ex, x + y);
    op += 2;
    DISPATCH();
}

op_elemr_pop : {
    // elemr then popg/popl: a compact array's element copied straight into a
    // plain variable or a value slot, as the pop copies the element
    // variable elemr would have made (the array keeps its compact form).
    if (s->depth < 2) GENERIC();
    VornVMStackEntry& ei = s->entries[s->depth - 1];
    VornVMStackEntry& ea = s->entries[s->depth - 2];
    int32_t index;
    if (!EntryInteger(ei, &index) || index < 1) GENERIC();
    Variable* array;
    if (ea.type == kStackVariable)
        array = ea.value.variable;
    else if (ea.type == kStackSlot && ea.value.slot->type == Scalar::kVariable)
        array = ea.value.slot->variable;
    else
        GENERIC();
    DenseValue element;
    // A missing element is the null variable's value: the handlers' way.
    if (!array->PlainDenseRead(index, &element) || element.type == DenseValue::kMissing) GENERIC();
    const DecodedOp* store = op + 1;
    Scalar* slot = nullptr;
    Variable* target = nullptr;
    if (store->kind == kDecodedPopg) {
        // Made now if need be, as popg makes it.
        target = globals.Entry(store->a);
        if (!target && globals.scope) target = globals.scope->Index(store->a, true);
    } else if (static_cast<uint32_t>(store->a) < locals.limit) {
        slot = &locals.slots[store->a];
        if (slot->type == Scalar::kVariable) {
            target = slot->variable;
            slot = nullptr;
        }
    } else if (!frame->usesSlots) {
        target = ScopeLocal(frame, store->a);
    }
    // An alias, an aggregate or a variable of another class takes the value
    // its own way. A plain scalar is never the array, so the element's text
    // stays where it is while it is copied.
    if (!slot && (!target || !target->IsPlainScalar())) GENERIC();
    instructionStart = op->pc;
    pc = op->next;
    switch (element.type) {
    case DenseValue::kInteger:
        if (slot)
            slot->SetInteger(element.integer);
        else
            target->PlainSetInteger(element.integer);
        break;
    case DenseValue::kDouble:
        if (slot)
            slot->SetDouble(element.number);
        else
            target->PlainSetDouble(element.number);
        break;
    default:
        if (slot)
            slot->SetText(element.text, element.length);
        else
            target->Variable::SetValue(element.text, element.length);
        break;
    }
    s->depth -= 2;
    DropNumberEntry(ei);
    if (ea.type == kStackVariable && (ea.flags & kStackOwned)) array->PlainRelease();
    CHARGE(element.length, op + 2);
    op += 2;
    DISPATCH();
}

op_cat : {
    // Texts and numbers joined with no pop and push: in the left text's own
    // buffer when it has room, else in a new one with room to spare.
    if (s->depth < 2) GENERIC();
    VornVMStackEntry& ea = s->entries[s->depth - 2];
    VornVMStackEntry& eb = s->entries[s->depth - 1];
    char leftDigits[32];
    char rightDigits[32];
    const char* left;
    const char* right;
    int32_t leftLength;
    int32_t rightLength;
    // The right operand is popped, so read, first.
    if (!CatOperand(eb, rightDigits, &right, &rightLength) || !CatOperand(ea, leftDigits, &left, &leftLength))
        GENERIC();
    const int64_t total = static_cast<int64_t>(leftLength) + rightLength;
    if (total >= INT32_MAX) GENERIC();
    const int32_t length = static_cast<int32_t>(total);
    if (ea.type == kStackString && (ea.flags & kStackOwned) && ea.size > length) {
        char* buffer = const_cast<char*>(ea.value.text);
        if (rightLength > 0) std::memcpy(buffer + leftLength, right, static_cast<size_t>(rightLength));
        buffer[length] = 0;
    } else {
        int64_t spare = length / 2;
        spare = spare < 16 ? 16 : (spare > kCatSpare ? kCatSpare : spare);
        const int64_t room = static_cast<int64_t>(length) + 1 + spare;
        const int32_t size = room > INT32_MAX ? INT32_MAX : static_cast<int32_t>(room);
        auto* buffer = static_cast<char*>(std::malloc(static_cast<size_t>(size)));
        if (!buffer) GENERIC();
        if (leftLength > 0) std::memcpy(buffer, left, static_cast<size_t>(leftLength));
        if (rightLength > 0) std::memcpy(buffer + leftLength, right, static_cast<size_t>(rightLength));
        buffer[length] = 0;
        // The left entry lets go of what it held once its text is copied.
        if (ea.flags & kStackOwned) {
            if (ea.type == kStackString)
                std::free(const_cast<char*>(ea.value.text));
            else if (ea.type == kStackVariable)
                ea.value.variable->Release();
        }
        ea.type = kStackString;
        ea.flags = kStackOwned;
        ea.value.text = buffer;
        ea.size = size;
    }
    ea.length = length;
    if (eb.flags & kStackOwned) {
        if (eb.type == kStackString)
            std::free(const_cast<char*>(eb.value.text));
        else if (eb.type == kStackVariable)
            eb.value.variable->Release();
    }
    --s->depth;
    CHARGE(length, op + 1);
    NEXT();
}

op_out : {
    // A text or number written from where it is on the stack.
    if (s->depth < 1 || !application) GENERIC();
    VornVMStackEntry& e = s->entries[s->depth - 1];
    char digits[32];
    const char* text;
    int32_t length;
    if (!CatOperand(e, digits, &text, &length)) GENERIC();
    Output* output = application->GetOutput();
    if (!output) GENERIC();
    instructionStart = op->pc;
    pc = op->next;
    if (length > 0) output->Write(text, length);
    --s->depth;
    if (e.flags & kStackOwned) {
        if (e.type == kStackString)
            std::free(const_cast<char*>(e.value.text));
        else if (e.type == kStackVariable)
            e.value.variable->Release();
    }
    if (aborted || exitRequested->load(std::memory_order_relaxed)) goto slow;
    CHARGE(length, op + 1);
    NEXT();
}

op_cat_pop : {
    // cat whose left operand is the variable that the store after it
    // writes: the text grows in that variable's own buffer.
    const DecodedOp* store = op + 1;
    if (s->depth < 2) GENERIC();
    if (op->kind == kDecodedCatPopl && frame->usesSlots) goto cat_popl_slot;
    Variable* v = op->kind == kDecodedCatPopg ? globals.Entry(store->a) : ScopeLocal(frame, store->a);
    VornVMStackEntry& ea = s->entries[s->depth - 2];
    VornVMStackEntry& eb = s->entries[s->depth - 1];
    if (!v || ea.type != kStackVariable || ea.value.variable != v) GENERIC();
    Variable* real = v->IsAlias() ? v->RealIdentity() : v;
    if (!real->IsPlainScalar()) GENERIC();
    instructionStart = op->pc;
    pc = op->next;
    {
        const String& left = real->Value();
        EntryText right(eb);
        if (right.length >= (1 << kStepShift) || static_cast<int64_t>(left.Length()) + right.length >= INT32_MAX)
            [[unlikely]] {
            if (static_cast<int64_t>(left.Length()) + right.length >= INT32_MAX) {
                s->Discard();
                s->Discard();
                FatalError(kErrorTextTooLong);
                goto slow;
            }
            quiet -= right.length >> kStepShift;
        }
        real->PlainAppend(right.text, right.length);
    }
    if (eb.type == kStackString && (eb.flags & kStackOwned)) std::free(const_cast<char*>(eb.value.text));
    if (eb.type == kStackVariable && (eb.flags & kStackOwned)) eb.value.variable->Release();
    s->depth -= 2;
    if (ea.flags & kStackOwned) v->Release();
    op += 2;
    DISPATCH();
}

op_arith_run : {
    // push, push, add/sub/mul (and a pop): no entry for the operands.
    double x, y;
    if (s->depth + 2 > s->capacity) GENERIC();
    Scalar* target = nullptr;
    Variable* store = nullptr;
    if (op->kind == kDecodedArithStore) {
        // Where the result goes must take it the plain way.
        if (!NumberTarget(op->z, frame, locals, globals, &target, &store)) GENERIC();
    }
    // The right operand is popped, so converted, first.
    if (!OperandNumber(op->x, frame, locals, globals, &x) || !OperandNumber(op->y, frame, locals, globals, &y)) GENERIC();
    double r = op->operation == Op_add ? x + y : (op->operation == Op_sub ? x - y : x * y);
    SUM_DONE(r);
}

op_arith_return : {
    // push, push, add/sub/mul, ret: the result returned without an entry,
    // as fast_return returns a number.
    if (s->depth != 0 || !FAST_RETURN()) goto op_arith_run;
    double x, y;
    if (!OperandNumber(op->x, frame, locals, globals, &x) || !OperandNumber(op->y, frame, locals, globals, &y)) GENERIC();
    const double r = op->operation == Op_add ? x + y : (op->operation == Op_sub ? x - y : x * y);
    auto* f = static_cast<VornVM_FunctionFrame*>(frame);
    VornVM_Frame* caller = f->previous;
    if (caller->stack->depth >= caller->stack->capacity) [[unlikely]] {
        SetDoubleEntry(returned, r);
        goto fast_return;
    }
    const DecodedOp* back = static_cast<const DecodedOp*>(f->returnOp);
    // The stack apart from the frame: stored together, the two become one
    // costlier vector store.
    stack = s = caller->stack;
    f->ClearSlots();
    KeepFunctionFrame(f);
    frame = caller;
    locals.Load(caller);
    if (static_cast<int32_t>(caller->outputMode) != outputModeKnown) [[unlikely]] {
        SetOutputMode(caller->outputMode);
        outputModeKnown = static_cast<int32_t>(caller->outputMode);
    }
    if (back->kind == kDecodedPopg) {
        if (Variable* v = globals.Plain(back->a)) {
            v->PlainSetDouble(r);
            pc = back->next;
            op = back + 1;
            DISPATCH();
        }
    } else if (back->kind == kDecodedPopl && static_cast<uint32_t>(back->a) < locals.limit &&
               locals.slots[back->a].type < Scalar::kText) {
        Scalar& slot = locals.slots[back->a];
        slot.number = r;
        slot.type = Scalar::kDouble;
        pc = back->next;
        op = back + 1;
        DISPATCH();
    }
    SetDoubleEntry(s->entries[s->depth++], r);
    pc = back->pc;
    op = back;
    DISPATCH();
}

op_inc_cmp_jump : {
    // incg, then cmpgi of the same global, then the jump: a loop's step.
    Variable* v = globals.Plain(op->a);
    if (!v || s->depth >= s->capacity) GENERIC();
    // Wraps at 32 bits, as the handler's add does.
    int32_t value = static_cast<int32_t>(static_cast<uint32_t>(v->PlainInteger()) + static_cast<uint32_t>(op->b));
    v->PlainSetInteger(value);
    int32_t bound = (op + 1)->b;
    op += 2; // the jump
    if (!((op->when >> ((value >= bound) + (value > bound))) & 1)) NEXT();
    goto take_jump;
}

op_append_run : {
    // push v, push y, cat, pop v: y's text grows v in place.
    if (s->depth + 2 > s->capacity) GENERIC();
    Scalar* slot;
    if (op->y.kind == DecodedOperand::kLocal || op->y.kind == DecodedOperand::kGlobal) {
        // A right operand not made yet: the words run one by one.
        if (!OperandVariable(op->y, frame, locals, globals, &slot) && !slot) GENERIC();
    }
    Variable* v = OperandVariable(op->x, frame, locals, globals, &slot);
    Variable* real = nullptr;
    if (!slot) {
        if (!v) GENERIC();
        real = v->IsAlias() ? v->RealIdentity() : v;
        if (!real->IsPlainScalar()) GENERIC();
    }
    // What fails here (a text too long, no memory) fails at the cat, as the
    // words one by one fail: its operands popped, nothing stored.
    instructionStart = (op + 2)->pc;
    pc = (op + 2)->next;
    if (slot) {
        if (slot->type == Scalar::kAbsent) slot->type = Scalar::kEmpty;
        // The left operand's text, as cat reads it, becomes the slot's.
        MakeSlotText(slot);
    }
    {
        // After the left text is in place: the right one may be the same.
        OperandText right;
        right.Read(op->y, frame, locals, globals);
        int32_t left = slot ? slot->length : real->PlainTextLength();
        if (left < 0) left = real->Value().Length();
        if (right.length >= (1 << kStepShift) || static_cast<int64_t>(left) + right.length >= INT32_MAX)
            [[unlikely]] {
            if (static_cast<int64_t>(left) + right.length >= INT32_MAX) {
                FatalError(kErrorTextTooLong);
                goto slow;
            }
            quiet -= right.length >> kStepShift;
        }
        if (slot)
            slot->AppendText(right.text, right.length);
        else
            real->PlainAppend(right.text, right.length);
    }
    op += op->span;
    DISPATCH();
}

op_elem_store_run : {
    // push a, push i, elem, store: the value below goes into a compact array.
    if (s->depth < 1 || s->depth + 2 > s->capacity) GENERIC();
    Scalar* slot;
    Variable* array = OperandVariable(op->x, frame, locals, globals, &slot);
    int32_t index;
    if (!array || !OperandInteger(op->y, frame, locals, globals, &index) || index < 1) GENERIC();
    VornVMStackEntry& ev = s->entries[s->depth - 1];
    DenseValue value;
    if (!EntryDenseValue(ev, array, &value)) GENERIC();
    // Where the words one by one would run out of memory: at the store.
    instructionStart = (op + 3)->pc;
    pc = (op + 3)->next;
    // A scalar given its first element becomes an array.
    if (index == 1) globals.Forget();
    if (!array->PlainDenseStore(index, value)) GENERIC();
    --s->depth;
    const int32_t copied = value.length;
    if (ev.flags & kStackOwned) {
        if (ev.type == kStackString)
            std::free(const_cast<char*>(ev.value.text));
        else if (ev.type == kStackVariable)
            ev.value.variable->ReleaseReference();
    }
    CHARGE(copied, op + op->span);
    op += op->span;
    DISPATCH();
}

op_elemr_add_run : {
    // push a, push i, elemr, add: a compact array's element added in place.
    if (s->depth < 1 || s->depth + 2 > s->capacity) GENERIC();
    Scalar* slot;
    Variable* array = OperandVariable(op->x, frame, locals, globals, &slot);
    int32_t index;
    if (!array || !OperandInteger(op->y, frame, locals, globals, &index) || index < 1) GENERIC();
    DenseValue element;
    if (!array->PlainDenseRead(index, &element) || element.type == DenseValue::kText) GENERIC();
    VornVMStackEntry& ex = s->entries[s->depth - 1];
    double x;
    if (!EntryDouble(ex, &x)) GENERIC();
    // A missing element reads as the null value: 0.
    double y = element.type == DenseValue::kInteger
                   ? element.integer
                   : (element.type == DenseValue::kDouble ? element.number : 0.0);
    DropNumberEntry(ex);
    SetDoubleEntry(ex, x + y);
    op += op->span;
    DISPATCH();
}

op_elem_store_value : {
    // push v, push a, push i, elem, store: v goes into a compact array.
    if (s->depth + 3 > s->capacity) GENERIC();
    Scalar* slot;
    Variable* array = OperandVariable(op->y, frame, locals, globals, &slot);
    int32_t index;
    if (!array || !OperandInteger(op->z, frame, locals, globals, &index) || index < 1) GENERIC();
    DenseValue value;
    switch (op->x.kind) {
    case DecodedOperand::kInteger:
        value.type = DenseValue::kInteger;
        value.integer = op->x.index;
        break;
    case DecodedOperand::kDouble:
        value.type = DenseValue::kDouble;
        value.number = op->x.number;
        break;
    case DecodedOperand::kText:
        value.type = DenseValue::kText;
        value.text = const_cast<char*>(op->x.text);
        value.length = op->x.length;
        break;
    default: {
        Scalar* from;
        Variable* v = OperandVariable(op->x, frame, locals, globals, &from);
        if (from) {
            if (!ScalarDenseValue(from, &value)) GENERIC();
        } else if (!v || v == array) {
            // a[i] = a: the store reads the array it made of a.
            GENERIC();
        } else if (v->PlainAssignedInteger(&value.integer)) {
            value.type = DenseValue::kInteger;
        } else if (!v->PlainDenseValue(&value)) {
            GENERIC();
        }
        break;
    }
    }
    // Where the words one by one would run out of memory: at the store.
    instructionStart = (op + 4)->pc;
    pc = (op + 4)->next;
    // A scalar given its first element becomes an array.
    if (index == 1) globals.Forget();
    if (!array->PlainDenseStore(index, value)) GENERIC();
    CHARGE(value.length, op + op->span);
    op += op->span;
    DISPATCH();
}

op_elemr_add_value : {
    // push x, push a, push i, elemr, add (, pop w): x plus a compact array's
    // element.
    if (s->depth + 3 > s->capacity) GENERIC();
    Scalar* target = nullptr;
    Variable* store = nullptr;
    if (op->span == 6) {
        if (!NumberTarget(op->w, frame, locals, globals, &target, &store)) GENERIC();
    }
    Scalar* slot;
    Variable* array = OperandVariable(op->y, frame, locals, globals, &slot);
    int32_t index;
    if (!array || !OperandInteger(op->z, frame, locals, globals, &index) || index < 1) GENERIC();
    DenseValue element;
    if (!array->PlainDenseRead(index, &element) || element.type == DenseValue::kText) GENERIC();
    double x;
    if (store && op->operation) {
        // x is the variable stored into, found and found plain already.
        x = store->PlainDouble();
    } else if (!OperandNumber(op->x, frame, locals, globals, &x)) {
        GENERIC();
    }
    // A missing element reads as the null value: 0.
    double r = x + (element.type == DenseValue::kInteger
                        ? element.integer
                        : (element.type == DenseValue::kDouble ? element.number : 0.0));
    SUM_DONE(r);
}

cat_popl_slot : {
    // The same for a local kept in its slot: the text grows in the slot.
    Scalar* slot = static_cast<uint32_t>((op + 1)->a) < locals.limit ? &locals.slots[(op + 1)->a] : nullptr;
    VornVMStackEntry& ea = s->entries[s->depth - 2];
    VornVMStackEntry& eb = s->entries[s->depth - 1];
    if (!slot || ea.type != kStackSlot || ea.value.slot != slot || !slot->IsValue()) GENERIC();
    instructionStart = op->pc;
    pc = op->next;
    // The left operand's text, as cat reads it, becomes the slot's.
    MakeSlotText(slot);
    {
        EntryText right(eb);
        if (right.length >= (1 << kStepShift) || static_cast<int64_t>(slot->length) + right.length >= INT32_MAX)
            [[unlikely]] {
            if (static_cast<int64_t>(slot->length) + right.length >= INT32_MAX) {
                s->Discard();
                s->Discard();
                FatalError(kErrorTextTooLong);
                goto slow;
            }
            quiet -= right.length >> kStepShift;
        }
        slot->AppendText(right.text, right.length);
    }
    if (eb.type == kStackString && (eb.flags & kStackOwned)) std::free(const_cast<char*>(eb.value.text));
    if (eb.type == kStackVariable && (eb.flags & kStackOwned)) eb.value.variable->Release();
    s->depth -= 2;
    op += 2;
    DISPATCH();
}

#undef CHARGE
#undef SUM_DONE
#undef FAST_RETURN
#undef GENERIC
#undef NEXT
#undef DISPATCH
}

} // namespace vorn
