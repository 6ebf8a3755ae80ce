// Instruction handlers: arithmetic, bit operations, rounding, comparison,
// logic, conditional jumps and the fused words on global variables.
#include <charconv>
#include <cmath>
#include <cstdlib>

#include "engine/foundation/Messages.h"
#include "engine/foundation/Number.h"
#include "engine/values/Scalar.h"
#include "engine/values/Variable.h"
#include "engine/values/VariableHash.h"
#include "engine/vm/ScriptOperators.h"
#include "engine/vm/VornVM.h"

namespace vorn {

namespace {

// A double or the text of one operand of a comparison. Texts of integers are
// spelled into the local buffer; texts of doubles are formatted into a
// malloc'ed buffer that the holder frees.
class ComparisonText {
public:
    ComparisonText() = default;
    ~ComparisonText() { std::free(allocated); }
    ComparisonText(const ComparisonText&) = delete;
    ComparisonText& operator=(const ComparisonText&) = delete;

    void FromInteger(int32_t value) {
        auto r = std::to_chars(digits, digits + sizeof digits, value);
        text = digits;
        length = static_cast<int32_t>(r.ptr - digits);
    }
    void FromDouble(double value) {
        allocated = FormatDouble(value, &length, nullptr);
        text = allocated;
    }
    void FromSlot(const VornVMStackEntry& entry) {
        bool owned = false;
        text = VornVM_Stack::SlotText(entry, &length, nullptr, &owned);
        if (owned) allocated = const_cast<char*>(text);
    }

    const char* text = "";
    int32_t length = 0;

private:
    char digits[16];
    char* allocated = nullptr;
};

// The numeric value of an entry for a comparison; false when the entry is a
// text (or a variable's text) that is not wholly a number.
bool EntryNumber(const VornVMStackEntry* e, double* out) {
    switch (e->type) {
    case kStackInteger: *out = e->value.integer; return true;
    case kStackDouble: *out = e->value.number; return true;
    case kStackString: {
        int32_t invalid = 0;
        *out = ParseDouble(e->value.text, e->length, e->size, &invalid);
        return invalid == 0;
    }
    case kStackSlot: {
        int32_t error = 0;
        *out = e->value.slot->DoubleChecked(&error);
        return error == 0;
    }
    default: {
        int32_t error = 0;
        *out = e->value.variable ? e->value.variable->ValueDoubleChecked(&error) : 0.0;
        return error == 0 && e->value.variable;
    }
    }
}

void EntryText(const VornVMStackEntry* e, ComparisonText& out) {
    switch (e->type) {
    case kStackInteger: out.FromInteger(e->value.integer); break;
    case kStackDouble: out.FromDouble(e->value.number); break;
    case kStackString:
        out.text = e->value.text ? e->value.text : "";
        out.length = e->value.text ? e->length : 0;
        break;
    case kStackSlot: out.FromSlot(*e); break;
    default:
        if (e->value.variable) {
            const String& s = e->value.variable->Value();
            out.text = s.Text();
            out.length = s.Length();
        }
        break;
    }
}

// Both variables numerically when both are numbers, else their texts.
int32_t CompareVariables(Variable* a, Variable* b) {
    int32_t errorA = 0, errorB = 0;
    double x = a->ValueDoubleChecked(&errorA);
    double y = b->ValueDoubleChecked(&errorB);
    if (!errorA && !errorB) return CompareDoubles(x, y);
    // Value of one variable never disturbs the text of another, so both
    // texts can be held at once.
    const String& ta = a->Value();
    const String& tb = b->Value();
    return CompareTextBytes(ta.Text(), ta.Length(), tb.Text(), tb.Length());
}

} // namespace

// ---- Arithmetic ---------------------------------------------------------------

void VornVM::OpAdd() {
    double b = stack->PopDouble();
    double a = stack->PopDouble();
    stack->PushDouble(a + b);
}

void VornVM::OpSub() {
    double b = stack->PopDouble();
    double a = stack->PopDouble();
    stack->PushDouble(a - b);
}

void VornVM::OpMul() {
    double b = stack->PopDouble();
    double a = stack->PopDouble();
    stack->PushDouble(a * b);
}

void VornVM::OpDiv() {
    double b = stack->PopDouble();
    double a = stack->PopDouble();
    // A zero dividend gives 0 without dividing, so 0 / 0 is 0 rather than NaN.
    stack->PushDouble(a == 0 ? 0.0 : a / b);
}

void VornVM::OpPow() {
    double b = stack->PopDouble();
    double a = stack->PopDouble();
    stack->PushDouble(std::pow(a, b));
}

void VornVM::OpMod() {
    int32_t b = stack->PopInteger();
    int32_t a = stack->PopInteger();
    stack->PushInteger(ScriptRemainder(a, b));
}

// ---- Bit operations -------------------------------------------------------------

void VornVM::OpBitand() {
    int32_t b = stack->PopInteger();
    int32_t a = stack->PopInteger();
    stack->PushInteger(a & b);
}

void VornVM::OpBitor() {
    int32_t b = stack->PopInteger();
    int32_t a = stack->PopInteger();
    stack->PushInteger(a | b);
}

void VornVM::OpBitxor() {
    int32_t b = stack->PopInteger();
    int32_t a = stack->PopInteger();
    stack->PushInteger(a ^ b);
}

void VornVM::OpBitoc() {
    stack->PushInteger(~stack->PopInteger());
}

void VornVM::OpBitsl() {
    int32_t b = stack->PopInteger();
    int32_t a = stack->PopInteger();
    stack->PushInteger(ScriptShiftLeft(a, b));
}

void VornVM::OpBitsr() {
    int32_t b = stack->PopInteger();
    int32_t a = stack->PopInteger();
    stack->PushInteger(ScriptShiftRight(a, b));
}

// ---- Rounding -----------------------------------------------------------------------

void VornVM::OpRoundf() {
    int32_t places = stack->PopInteger();
    double x = stack->PopDouble();
    if (aborted) return;
    stack->PushDouble(ScriptRound(x, places < 0 ? 0 : places));
}

void VornVM::OpRounds() {
    int32_t places = stack->PopInteger();
    double x = stack->PopDouble();
    if (aborted) return;
    if (places < 0) places = 0;
    if (std::isnan(x)) {
        stack->PushString("NaN", 3, 4, false);
        return;
    }
    if (std::isinf(x)) {
        if (x < 0)
            stack->PushString("-Infinity", 9, 10, false);
        else
            stack->PushString("Infinity", 8, 9, false);
        return;
    }
    int32_t length = 0, size = 0;
    char* text = FormatDouble(ScriptRound(x, places), &length, &size, places);
    stack->PushString(text, length, size, true);
}

// ---- Comparison and logic ---------------------------------------------------------

int32_t VornVM::CompareTop() {
    if (stack->Depth() < 2) {
        FatalError(kStackUnderflow);
        return 0;
    }
    const VornVMStackEntry* b = stack->Peek(0);
    const VornVMStackEntry* a = stack->Peek(1);
    int32_t result;
    double x, y;
    // Integers, the common case, compare without any conversion.
    if (a->type == kStackInteger && b->type == kStackInteger) {
        result = a->value.integer < b->value.integer ? -1 : (a->value.integer == b->value.integer ? 0 : 1);
    } else if (EntryNumber(a, &x) && EntryNumber(b, &y)) {
        result = CompareDoubles(x, y);
    } else {
        ComparisonText ta, tb;
        EntryText(a, ta);
        EntryText(b, tb);
        result = CompareTextBytes(ta.text, ta.length, tb.text, tb.length);
    }
    stack->Discard();
    stack->Discard();
    return result;
}

void VornVM::OpCmp() {
    int32_t r = CompareTop();
    stack->PushInteger(r);
}

void VornVM::OpEq() {
    int32_t r = CompareTop();
    stack->PushInteger(r == 0 ? 1 : 0);
}

void VornVM::OpNe() {
    int32_t r = CompareTop();
    stack->PushInteger(r != 0 ? 1 : 0);
}

void VornVM::OpGe() {
    int32_t r = CompareTop();
    stack->PushInteger(r >= 0 ? 1 : 0);
}

void VornVM::OpLe() {
    int32_t r = CompareTop();
    stack->PushInteger(r <= 0 ? 1 : 0);
}

void VornVM::OpLt() {
    int32_t r = CompareTop();
    stack->PushInteger(r < 0 ? 1 : 0);
}

void VornVM::OpGt() {
    int32_t r = CompareTop();
    stack->PushInteger(r > 0 ? 1 : 0);
}

void VornVM::OpAnd() {
    // Both operands are always popped: the word never short-circuits.
    bool b = stack->PopBoolean();
    bool a = stack->PopBoolean();
    stack->PushInteger(a && b ? 1 : 0);
}

void VornVM::OpOr() {
    bool b = stack->PopBoolean();
    bool a = stack->PopBoolean();
    stack->PushInteger(a || b ? 1 : 0);
}

void VornVM::OpNot() {
    stack->PushInteger(stack->PopBoolean() ? 0 : 1);
}

// ---- Conditional jumps ---------------------------------------------------------------

void VornVM::OpJmpEq() {
    if (stack->PopInteger() == 0) JumpBy(immA);
}

void VornVM::OpJmpLt() {
    if (stack->PopInteger() < 0) JumpBy(immA);
}

void VornVM::OpJmpGt() {
    if (stack->PopInteger() > 0) JumpBy(immA);
}

void VornVM::OpJmpLe() {
    if (stack->PopInteger() <= 0) JumpBy(immA);
}

void VornVM::OpJmpGe() {
    if (stack->PopInteger() >= 0) JumpBy(immA);
}

void VornVM::OpJmpNe() {
    if (stack->PopInteger() != 0) JumpBy(immA);
}

// ---- Fused words on global variables ---------------------------------------------------

namespace {

// The global of entry i, made when missing; null for an index the scope
// does not hold.
inline Variable* GlobalAt(VariableHash* scope, int32_t i) {
    return scope ? scope->Index(i, true) : nullptr;
}

} // namespace

void VornVM::OpCmpgg() {
    Variable* a = GlobalAt(globalScope, immA);
    Variable* b = GlobalAt(globalScope, immB);
    if (!a || !b) {
        FatalError(kInvalidVariable);
        return;
    }
    stack->PushInteger(CompareVariables(a, b));
}

void VornVM::OpCmpgi() {
    Variable* a = GlobalAt(globalScope, immA);
    if (!a) {
        FatalError(kInvalidVariable);
        return;
    }
    int32_t error = 0;
    double x = a->ValueDoubleChecked(&error);
    int32_t result;
    if (!error) {
        result = CompareDoubles(x, static_cast<double>(immB));
    } else {
        char digits[16];
        auto r = std::to_chars(digits, digits + sizeof digits, immB);
        const String& text = a->Value();
        result = CompareTextBytes(text.Text(), text.Length(), digits, static_cast<int32_t>(r.ptr - digits));
    }
    stack->PushInteger(result);
}

void VornVM::OpIncg() {
    Variable* a = GlobalAt(globalScope, immA);
    if (!a) {
        FatalError(kInvalidVariable);
        return;
    }
    // Wraps at 32 bits rather than overflowing.
    a->SetValueInteger(ScriptWrappingAdd(a->ValueInteger(), immB));
}

void VornVM::OpModgg() {
    Variable* a = GlobalAt(globalScope, immA);
    Variable* b = GlobalAt(globalScope, immB);
    if (!a || !b) {
        FatalError(kInvalidVariable);
        return;
    }
    stack->PushInteger(ScriptRemainder(a->ValueInteger(), b->ValueInteger()));
}

void VornVM::OpStoregi() {
    Variable* a = GlobalAt(globalScope, immA);
    if (!a) {
        FatalError(kInvalidVariable);
        return;
    }
    a->SetValueInteger(immB);
}

} // namespace vorn
