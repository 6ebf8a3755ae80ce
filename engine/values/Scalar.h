// A script value held without a Variable object: the 16 bytes a function's
// local takes in its frame slot. Every read answers exactly what a plain
// Variable holding the same value answers (Variable.h), and leaves the slot
// as the read would leave that variable, so a slot becomes a Variable (Box)
// only when something needs the object itself: a reference, a lookup by
// name, an aggregate, a plug-in.
//
// A variable of no type remembers which of its forms was read first: read
// as a number, its text is "0" from then on; read as text, it stays empty.
// The three empty states keep that apart.
#pragma once

#include <cstdint>

namespace vorn {

class Variable;

struct Scalar {
    enum : uint8_t {
        kAbsent,      // no variable made yet (a new call's locals)
        kEmpty,       // a new variable: type none, nothing read yet
        kEmptyText,   // type none, read as text: ""
        kEmptyNumber, // type none, read as a number first: 0, text "0"
        kInteger,
        kDouble,
        kText,
        kVariable, // boxed: the variable holds the value
    };
    union {
        int32_t integer;
        double number;
        char* text;         // malloc'ed, NUL-terminated
        Variable* variable; // one reference held
        uint64_t bits;      // the whole payload, for moves
    };
    int32_t length; // of a text
    uint8_t type;
    // A text grown in place has 1 << room bytes; 0: length + 1 of them.
    uint8_t room;

    bool IsValue() const { return type < kVariable; }
    // Whether the slot holds -0: its text "-0" is true where the number is
    // false, so a read of the text must stay with the local, which then
    // becomes a variable (VornVM_Stack::SlotText).
    bool IsNegativeZero() const { return type == kDouble && bits == uint64_t{1} << 63; }

    // --- Reads, as Variable's of a plain variable (a boxed one asks it) ---
    int32_t Integer();
    double Double();
    // *error (optional) is 1 when the value is not a number.
    double DoubleChecked(int32_t* error);
    bool Boolean();
    bool IsEmpty() const;
    int32_t Type() const;
    // The text: a text value's own bytes (borrowed while the slot keeps
    // them), a number formatted into a malloc'ed buffer (*owned set).
    const char* Text(int32_t* length, int32_t* size, bool* owned);
    // What a read as a number leaves in an empty slot.
    void ReadAsNumber() {
        if (type <= kEmpty) type = kEmptyNumber;
    }
    // What a read as text (or a copy) leaves in an empty slot.
    void ReadAsText() {
        if (type <= kEmpty) type = kEmptyText;
    }

    // --- Writes: the slot's old value goes first (a boxed variable is
    // released, not assigned: callers that must assign into it do so) ---
    void Clear();
    void SetInteger(int32_t value) {
        if (type >= kText) Clear();
        integer = value;
        type = kInteger;
    }
    void SetDouble(double value) {
        if (type >= kText) Clear();
        number = value;
        type = kDouble;
    }
    // Copies the bytes (which may be this slot's own).
    void SetText(const char* bytes, int32_t n);
    // Takes a malloc'ed buffer of size bytes holding n; copies when there is
    // no room for the terminator.
    void AdoptText(char* buffer, int32_t n, int32_t size);
    // Appends to a text value in place, growing the buffer geometrically;
    // the bytes may be this slot's own. Throws TextTooLong past 2 GB.
    void AppendText(const char* bytes, int32_t n);
    // The value of a plain scalar variable whose forms all follow from its
    // assigned one (Variable::PlainScalar), as assignment copies it; false,
    // nothing changed, for any other variable.
    bool CopyVariable(Variable* source);
    // The value of another value slot (its text copied), as assignment
    // copies it.
    void CopyValue(Scalar& source);
    // Takes value's value as it is (its text copied).
    void CopyRead(const Scalar& value);

    // Makes the slot hold a Variable of that name with its value (the text
    // buffer moves into it); a boxed slot gives its variable. The slot keeps
    // its reference.
    Variable* Box(const char* name, int32_t nameLength);
    // Gives a variable the slot's value as if assigned from a plain variable
    // holding it (for a value slot only).
    void AssignTo(Variable* target);
};

static_assert(sizeof(Scalar) == 16, "a slot is 16 bytes");

} // namespace vorn
