#include "engine/values/Scalar.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

#include "engine/foundation/Number.h"
#include "engine/foundation/String.h"
#include "engine/values/Variable.h"

namespace vorn {

namespace {

char* CopyText(const char* bytes, int32_t n) {
    char* copy = static_cast<char*>(std::malloc(static_cast<size_t>(n) + 1));
    if (!copy) throw std::bad_alloc();
    if (n > 0) std::memcpy(copy, bytes, static_cast<size_t>(n));
    copy[n] = '\0';
    return copy;
}

} // namespace

// --- Reads ----------------------------------------------------------------------

int32_t Scalar::Integer() {
    switch (type) {
    case kInteger: return integer;
    case kDouble: return TruncateDouble(number);
    case kText: {
        // As Variable::ComputeInteger: the strict integer form, else the
        // double form truncated.
        int32_t invalid = 0;
        int32_t value = ParseInteger(text, length, &invalid);
        return invalid ? TruncateDouble(ParseDouble(text, length, length + 1, nullptr)) : value;
    }
    case kVariable: return variable->ValueInteger();
    default: ReadAsNumber(); return 0;
    }
}

double Scalar::Double() {
    switch (type) {
    case kInteger: return integer;
    case kDouble: return number;
    case kText: return ParseDouble(text, length, length + 1, nullptr);
    case kVariable: return variable->ValueDouble();
    default: ReadAsNumber(); return 0.0;
    }
}

double Scalar::DoubleChecked(int32_t* error) {
    int32_t ignored = 0;
    if (!error) error = &ignored;
    *error = 0;
    switch (type) {
    case kInteger: return integer;
    case kDouble: return number;
    case kText: return ParseDouble(text, length, length + 1, error);
    case kVariable: return variable->ValueDoubleChecked(error);
    default: return 0.0; // caches nothing
    }
}

bool Scalar::Boolean() {
    switch (type) {
    case kInteger: return integer != 0;
    case kDouble: return number != 0.0; // NaN is true
    case kText: return TextIsTrue(text, length);
    case kVariable: return variable->Boolean();
    default: ReadAsText(); return false;
    }
}

bool Scalar::IsEmpty() const {
    switch (type) {
    case kEmptyNumber:
    case kInteger:
    case kDouble: return false;
    case kText: return length == 0;
    case kVariable: return variable->IsEmpty();
    default: return true;
    }
}

int32_t Scalar::Type() const {
    switch (type) {
    case kInteger: return kTypeInteger;
    case kDouble: return kTypeDouble;
    case kText: return kTypeText;
    case kVariable: return variable->Type();
    default: return kTypeNone;
    }
}

const char* Scalar::Text(int32_t* n, int32_t* size, bool* owned) {
    *owned = false;
    switch (type) {
    case kInteger:
    case kDouble: {
        int32_t m = 0;
        char* formatted = type == kInteger ? FormatInteger(integer, n, &m) : FormatDouble(number, n, &m, -1);
        if (!formatted) throw std::bad_alloc();
        *owned = true;
        if (size) *size = m;
        return formatted;
    }
    case kText:
        *n = length;
        if (size) *size = length;
        return text;
    case kVariable: {
        const String& value = variable->Value();
        *n = value.Length();
        if (size) *size = *n;
        return value.Text();
    }
    case kEmptyNumber:
        *n = 1;
        if (size) *size = 1;
        return "0";
    default:
        ReadAsText();
        *n = 0;
        if (size) *size = 0;
        return "";
    }
}

// --- Writes ---------------------------------------------------------------------

void Scalar::Clear() {
    if (type == kText)
        std::free(text);
    else if (type == kVariable)
        variable->Release();
    type = kAbsent;
}

void Scalar::SetText(const char* bytes, int32_t n) {
    char* copy = CopyText(bytes, n);
    Clear();
    text = copy;
    length = n;
    room = 0;
    type = kText;
}

void Scalar::AdoptText(char* buffer, int32_t n, int32_t size) {
    if (size <= n) {
        // No room for the terminator.
        SetText(buffer, n);
        std::free(buffer);
        return;
    }
    Clear();
    buffer[n] = '\0';
    text = buffer;
    length = n;
    room = 0;
    type = kText;
}

void Scalar::AppendText(const char* bytes, int32_t n) {
    int64_t total = static_cast<int64_t>(length) + n;
    if (total >= INT32_MAX) throw TextTooLong();
    size_t capacity = room ? size_t{1} << room : static_cast<size_t>(length) + 1;
    if (static_cast<size_t>(total) + 1 > capacity) {
        uint8_t grown = 4;
        while ((size_t{1} << grown) < static_cast<size_t>(total) + 1) ++grown;
        // The bytes may be this text's own: they are read after the move.
        std::ptrdiff_t inside = bytes >= text && bytes <= text + length ? bytes - text : -1;
        auto* moved = static_cast<char*>(std::realloc(text, size_t{1} << grown));
        if (!moved) throw std::bad_alloc();
        text = moved;
        room = grown;
        if (inside >= 0) bytes = text + inside;
    }
    if (n > 0) std::memmove(text + length, bytes, static_cast<size_t>(n));
    length = static_cast<int32_t>(total);
    text[length] = '\0';
}

void Scalar::CopyRead(const Scalar& value) {
    if (value.type == kText) {
        SetText(value.text, value.length);
        return;
    }
    if (type >= kText) Clear();
    bits = value.bits;
    type = value.type;
}

bool Scalar::CopyVariable(Variable* source) {
    Scalar value;
    if (!source->PlainScalar(&value)) return false;
    CopyRead(value);
    return true;
}

void Scalar::CopyValue(Scalar& source) {
    if (&source == this) return;
    // A copy reads the source's text first.
    source.ReadAsText();
    CopyRead(source);
}

Variable* Scalar::Box(const char* name, int32_t nameLength) {
    if (type == kVariable) return variable;
    auto* v = new Variable(name ? name : "", name ? nameLength : 0);
    switch (type) {
    case kInteger: v->SetValueInteger(integer); break;
    case kDouble: v->SetValueDouble(number); break;
    case kText: {
        size_t capacity = room ? size_t{1} << room : static_cast<size_t>(length) + 1;
        v->SetValueNocopy(text, length, static_cast<int32_t>(capacity));
        break;
    }
    // An empty variable in the state its reads left it.
    case kEmptyText: v->Value(); break;
    case kEmptyNumber: v->ValueDouble(); break;
    default: break;
    }
    variable = v;
    type = kVariable;
    return v;
}

void Scalar::AssignTo(Variable* target) {
    if (type == kVariable) {
        target->SetValueVariable(variable);
        return;
    }
    if (!target->IsAlias() && target->IsPlainClass()) {
        // What a copy from a plain variable holding the value leaves.
        switch (type) {
        case kInteger: target->SetValueInteger(integer); return;
        case kDouble: target->SetValueDouble(number); return;
        case kText: target->SetValue(text, length); return;
        default: break;
        }
    }
    // Through a variable holding the value: a variable of another class (or
    // the one an alias leads to) takes a variable in its own way. The copy
    // reads an empty source's text.
    ReadAsText();
    Variable holder;
    switch (type) {
    case kInteger: holder.SetValueInteger(integer); break;
    case kDouble: holder.SetValueDouble(number); break;
    case kText: holder.SetValue(text, length); break;
    case kEmptyText: holder.Value(); break;
    case kEmptyNumber: holder.ValueDouble(); break;
    default: break;
    }
    target->SetValueVariable(&holder);
}

} // namespace vorn
