// The interpreter loop's texts: cat, out and the appends in place (see
// VornVMLoop.h).
#pragma once

#include <charconv>
#include <cstring>

#include "engine/app/VornApplication.h"
#include "engine/foundation/Output.h"
#include "engine/vm/VornVMLoop.h"

namespace vorn {

// The most a cat result is allocated beyond its length, as cat's handler
// allocates it.
inline constexpr int64_t kCatSpare = 1 << 20;

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
        if ((slot->type != Scalar::kInteger && slot->type != Scalar::kDouble) || slot->IsNegativeZero())
            return false;
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

// A text read for an append, from a fused operand or an entry (as PopString
// reads it); a formatted number is freed with the holder, on every way out
// (an append may throw).
struct AppendedText {
    const char* text = "";
    int32_t length = 0;
    char* formatted = nullptr;
    char digits[32];
    AppendedText() = default;
    AppendedText(const AppendedText&) = delete;
    AppendedText& operator=(const AppendedText&) = delete;
    ~AppendedText() {
        if (formatted) std::free(formatted);
    }

    [[gnu::always_inline]] void Integer(int32_t value) {
        text = digits;
        length = static_cast<int32_t>(std::to_chars(digits, digits + sizeof digits, value).ptr - digits);
    }
    [[gnu::always_inline]] void Double(double value) {
        int32_t size = 0;
        formatted = FormatDouble(value, &length, &size);
        text = formatted;
    }
    // A slot's text: a number is formatted, -0 stays the local's (made a
    // variable: its text is "-0").
    [[gnu::always_inline]] void Slot(Scalar* slot) {
        bool owned = false;
        text = slot->Text(&length, nullptr, &owned);
        if (owned) formatted = const_cast<char*>(text);
    }
    // The entry may be the very variable or slot appended to (g $ g, l $
    // l): each append reads its text before it lets go of the old buffer.
    [[gnu::always_inline]] explicit AppendedText(const VornVMStackEntry& e) {
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
        case kStackInteger: Integer(e.value.integer); break;
        default: Double(e.value.number); break;
        }
    }
};

// The joined text in a new buffer with room to spare (size in *size), or
// null when there is no memory.
inline char* CatBuffer(const char* left, int32_t leftLength, const char* right, int32_t rightLength,
                       int32_t length, int32_t* size) {
    int64_t spare = length / 2;
    spare = spare < 16 ? 16 : (spare > kCatSpare ? kCatSpare : spare);
    const int64_t room = static_cast<int64_t>(length) + 1 + spare;
    *size = room > INT32_MAX ? INT32_MAX : static_cast<int32_t>(room);
    auto* buffer = static_cast<char*>(std::malloc(static_cast<size_t>(*size)));
    if (!buffer) return nullptr;
    if (leftLength > 0) std::memcpy(buffer, left, static_cast<size_t>(leftLength));
    if (rightLength > 0) std::memcpy(buffer + leftLength, right, static_cast<size_t>(rightLength));
    buffer[length] = 0;
    return buffer;
}

// cat: texts and numbers joined with no pop and push, in the left text's
// own buffer when it has room, else in a new one with room to spare.
[[gnu::always_inline]] inline Flow DecodedLoop::Cat() {
    if (!Holds(2)) return Flow::kGeneric;
    VornVMStackEntry& ea = Top(1);
    VornVMStackEntry& eb = Top();
    char leftDigits[32];
    char rightDigits[32];
    const char *left, *right;
    int32_t leftLength, rightLength;
    // The right operand is popped, so read, first.
    if (!CatOperand(eb, rightDigits, &right, &rightLength) || !CatOperand(ea, leftDigits, &left, &leftLength))
        return Flow::kGeneric;
    const int64_t total = static_cast<int64_t>(leftLength) + rightLength;
    if (total >= INT32_MAX) return Flow::kGeneric;
    const auto length = static_cast<int32_t>(total);
    if (ea.type == kStackString && (ea.flags & kStackOwned) && ea.size > length) {
        char* buffer = const_cast<char*>(ea.value.text);
        if (rightLength > 0) std::memcpy(buffer + leftLength, right, static_cast<size_t>(rightLength));
        buffer[length] = 0;
    } else {
        int32_t size = 0;
        char* buffer = CatBuffer(left, leftLength, right, rightLength, length, &size);
        if (!buffer) return Flow::kGeneric;
        // The left entry lets go of what it held once its text is copied.
        ReleaseEntry(ea);
        ea.type = kStackString;
        ea.flags = kStackOwned;
        ea.value.text = buffer;
        ea.size = size;
    }
    ea.length = length;
    ReleaseEntry(eb);
    --s->depth;
    return Advance(op + 1, length);
}

// out: a text or number written from where it is on the stack.
[[gnu::always_inline]] inline Flow DecodedLoop::Out() {
    if (!Holds(1) || !vm.application) return Flow::kGeneric;
    VornVMStackEntry& e = Top();
    char digits[32];
    const char* text;
    int32_t length;
    if (!CatOperand(e, digits, &text, &length)) return Flow::kGeneric;
    Output* output = vm.application->GetOutput();
    if (!output) return Flow::kGeneric;
    At(0);
    if (length > 0) output->Write(text, length);
    --s->depth;
    ReleaseEntry(e);
    if (vm.aborted || vm.exitRequested->load(std::memory_order_relaxed)) return Flow::kSlow;
    return Advance(op + 1, length);
}

// Whether a text of right bytes may be appended to one of left: a long one
// counts toward the next checks; false past the longest text.
[[gnu::always_inline]] inline bool DecodedLoop::MayAppend(int64_t left, int32_t right) {
    if (right >= (1 << kStepShift) || left + right >= INT32_MAX) [[unlikely]] {
        if (left + right >= INT32_MAX) return false;
        quiet -= right >> kStepShift;
    }
    return true;
}

// A cat and its pop whose result would be longer than any text: the
// operands dropped, the run's fatal error.
[[gnu::always_inline]] inline Flow DecodedLoop::CatTooLong() {
    s->Discard();
    s->Discard();
    vm.FatalError(kTextTooLong);
    return Flow::kSlow;
}

// A cat and its pop done in place: the right operand (the top) let go, both
// entries off the stack, the op after the pop next.
[[gnu::always_inline]] inline Flow DecodedLoop::CatPopped(const VornVMStackEntry& right) {
    ReleaseEntry(right);
    s->depth -= 2;
    op += 2;
    return Flow::kGo;
}

// cat whose left operand is the variable that the store after it writes:
// the text grows in that variable's own buffer.
[[gnu::always_inline]] inline Flow DecodedLoop::CatPop(bool global) {
    const DecodedOp* store = op + 1;
    if (!Holds(2)) return Flow::kGeneric;
    if (!global && vm.frame->usesSlots) return CatPopSlot();
    Variable* v = global ? Globals().Entry(store->a) : ScopeLocal(vm.frame, store->a);
    VornVMStackEntry& ea = Top(1);
    VornVMStackEntry& eb = Top();
    if (!v || ea.type != kStackVariable || ea.value.variable != v) return Flow::kGeneric;
    Variable* real = v->IsAlias() ? v->RealIdentity() : v;
    if (!real->IsPlainScalar()) return Flow::kGeneric;
    At(0);
    {
        const String& left = real->Value();
        AppendedText right(eb);
        if (!MayAppend(left.Length(), right.length)) return CatTooLong();
        real->PlainAppend(right.text, right.length);
    }
    const Flow next = CatPopped(eb);
    if (ea.flags & kStackOwned) v->Release();
    return next;
}

// The same for a local kept in its slot: the text grows in the slot.
[[gnu::always_inline]] inline Flow DecodedLoop::CatPopSlot() {
    Scalar* slot = locals.At(op[1].a);
    VornVMStackEntry& ea = Top(1);
    VornVMStackEntry& eb = Top();
    if (!slot || ea.type != kStackSlot || ea.value.slot != slot || !slot->IsValue()) return Flow::kGeneric;
    At(0);
    // The left operand's text, as cat reads it, becomes the slot's.
    MakeSlotText(slot);
    {
        AppendedText right(eb);
        if (!MayAppend(slot->length, right.length)) return CatTooLong();
        slot->AppendText(right.text, right.length);
    }
    return CatPopped(eb);
}

// The text a push operand leaves for cat (as PopString reads it).
[[gnu::always_inline]] inline bool DecodedLoop::OperandText(const DecodedOperand& o, AppendedText* out) {
    switch (o.kind) {
    case DecodedOperand::kText:
        out->text = o.text;
        out->length = o.length;
        return true;
    case DecodedOperand::kInteger: out->Integer(o.integer); return true;
    case DecodedOperand::kDouble: out->Double(o.number); return true;
    default: break;
    }
    Scalar* slot;
    Variable* v = OperandVariable(o, &slot);
    if (slot) {
        if (slot->type == Scalar::kAbsent) slot->type = Scalar::kEmpty;
        if (slot->IsNegativeZero()) static_cast<VornVM_FunctionFrame*>(vm.frame)->SlotVariable(o.entry);
        out->Slot(slot);
        return true;
    }
    if (!v) return false;
    const String& value = v->Value();
    out->text = value.Text();
    out->length = value.Length();
    return true;
}

// push v, push y, cat, pop v: y's text grows v in place.
[[gnu::always_inline]] inline Flow DecodedLoop::Append() {
    const DecodedRun* run = op->Record<DecodedRun>();
    if (!HasRoom(2)) return Flow::kGeneric;
    Scalar* slot;
    // A right operand not made yet: the words run one by one.
    if ((run->y.kind == DecodedOperand::kLocal || run->y.kind == DecodedOperand::kGlobal) &&
        !OperandVariable(run->y, &slot) && !slot)
        return Flow::kGeneric;
    Variable* v = OperandVariable(run->x, &slot);
    Variable* real = nullptr;
    if (!slot) {
        if (!v) return Flow::kGeneric;
        real = v->IsAlias() ? v->RealIdentity() : v;
        if (!real->IsPlainScalar()) return Flow::kGeneric;
    }
    // What fails here (a text too long, no memory) fails at the cat, as the
    // words one by one fail: its operands popped, nothing stored.
    At(2);
    if (slot) {
        if (slot->type == Scalar::kAbsent) slot->type = Scalar::kEmpty;
        // The left operand's text, as cat reads it, becomes the slot's.
        MakeSlotText(slot);
    }
    // After the left text is in place: the right one may be the same.
    AppendedText right;
    OperandText(run->y, &right);
    int32_t left = slot ? slot->length : real->PlainTextLength();
    if (left < 0) left = real->Value().Length();
    if (!MayAppend(left, right.length)) {
        vm.FatalError(kTextTooLong);
        return Flow::kSlow;
    }
    if (slot)
        slot->AppendText(right.text, right.length);
    else
        real->PlainAppend(right.text, right.length);
    op += op->span;
    return Flow::kGo;
}

} // namespace vorn
