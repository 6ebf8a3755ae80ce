#include "engine/vm/VornVMStack.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

#include "engine/foundation/Hash.h"
#include "engine/foundation/KeptBlocks.h"
#include "engine/foundation/Messages.h"
#include "engine/foundation/Number.h"
#include "engine/values/Variable.h"
#include "engine/vm/VornVM.h"
#include "engine/vm/VornVMFrame.h"

namespace vorn {

namespace {

// A malloc'ed, NUL-terminated copy of n bytes. Running out of memory throws:
// the interpreter makes it a fatal error of the run.
char* CopyBytes(const char* text, int32_t n) {
    char* copy = static_cast<char*>(std::malloc(static_cast<size_t>(n) + 1));
    if (!copy) throw std::bad_alloc();
    if (n > 0) std::memcpy(copy, text, static_cast<size_t>(n));
    copy[n] = '\0';
    return copy;
}

} // namespace

Variable* VornVM_Stack::EntryVariable(const VornVMStackEntry& entry) {
    if (entry.type != kStackSlot) return entry.value.variable;
    Scalar* slot = entry.value.slot;
    if (slot->type == Scalar::kVariable) return slot->variable;
    VornVM_FunctionFrame* owner = VornVM_FunctionFrame::OwnerOf(slot, entry.length);
    return owner->SlotVariable(entry.length);
}

// ---- StackText -----------------------------------------------------------------

void StackText::Reset() {
    if (owned) std::free(const_cast<char*>(text));
    if (Variable* v = holder) {
        holder = nullptr;
        v->ReleaseReference();
    }
    text = "";
    length = 0;
    size = 0;
    owned = false;
}

char* StackText::Release() {
    if (!owned) return nullptr;
    char* buffer = const_cast<char*>(text);
    owned = false;
    text = "";
    length = 0;
    size = 0;
    return buffer;
}

// ---- The stack -------------------------------------------------------------------

namespace {

// Every run makes a stack of the usual size: its entries (12 KB) are kept by
// the thread for its next run.
static_assert(std::is_trivially_default_constructible_v<VornVMStackEntry> &&
              std::is_trivially_destructible_v<VornVMStackEntry>);
using KeptEntries = KeptBlocks<sizeof(VornVMStackEntry) * kVornVMStackCapacity, 2>;

} // namespace

VornVM_Stack::VornVM_Stack(VornVM* owner, int32_t entryCapacity)
    : vm(owner), capacity(entryCapacity > 0 ? entryCapacity : 0) {
    if (capacity == kVornVMStackCapacity) {
        entries = static_cast<VornVMStackEntry*>(KeptEntries::Take());
        if (!entries) throw std::bad_alloc();
    } else {
        entries = new VornVMStackEntry[static_cast<size_t>(capacity > 0 ? capacity : 1)];
    }
}

VornVM_Stack::VornVM_Stack(VornVM* owner, Window)
    : vm(owner), entries(nullptr), capacity(0), ownsEntries(false) {}

VornVM_Stack::~VornVM_Stack() {
    Clear();
    if (!ownsEntries) return;
    if (capacity == kVornVMStackCapacity) // an owning stack's capacity is its constructor's
        KeptEntries::Give(entries);
    else
        delete[] entries;
}

void VornVM_Stack::Fail(const char* message) {
    if (vm) vm->FatalError(message);
}

bool VornVM_Stack::Full() {
    if (depth < capacity) return false;
    Fail(kStackOverflow);
    return true;
}

void VornVM_Stack::Drop(VornVMStackEntry& entry) {
    if (!(entry.flags & kStackOwned)) return;
    entry.flags = 0;
    if (entry.type == kStackString)
        std::free(const_cast<char*>(entry.value.text));
    else if (entry.type == kStackVariable && entry.value.variable)
        entry.value.variable->ReleaseReference();
}

VornVMStackEntry* VornVM_Stack::Take() {
    if (depth <= 0) {
        Fail(kStackUnderflow);
        return nullptr;
    }
    return &entries[--depth];
}

void VornVM_Stack::Clear() {
    while (depth > 0) Drop(entries[--depth]);
}

const VornVMStackEntry* VornVM_Stack::Peek(int32_t at) const {
    if (at < 0 || at >= depth) return nullptr;
    return &entries[depth - 1 - at];
}

int VornVM_Stack::Overflow() {
    Fail(kStackOverflow);
    return 0;
}

int VornVM_Stack::PushString(const char* text, int32_t length, int32_t size, bool owned) {
    if (!text) {
        text = "";
        length = 0;
        size = 0;
        owned = false;
    }
    if (length < 0) length = static_cast<int32_t>(std::strlen(text));
    if (Full()) {
        if (owned) std::free(const_cast<char*>(text));
        return 0;
    }
    VornVMStackEntry& e = entries[depth++];
    e.type = kStackString;
    e.flags = owned ? kStackOwned : 0;
    e.value.text = text;
    e.length = length;
    e.size = size < length ? length : size;
    return 1;
}

int VornVM_Stack::PushVariable(Variable* variable, bool temporary) {
    if (!variable) {
        Fail(kInvalidVariable);
        return 0;
    }
    if (Full()) {
        if (temporary) variable->Release();
        return 0;
    }
    VornVMStackEntry& e = entries[depth++];
    e.type = kStackVariable;
    e.flags = temporary ? kStackOwned : 0;
    e.value.variable = variable;
    e.length = 0;
    e.size = 0;
    return 1;
}

int VornVM_Stack::Discard() {
    VornVMStackEntry* e = Take();
    if (!e) return 0;
    Drop(*e);
    return 1;
}

int32_t VornVM_Stack::PopIntegerConverted() {
    VornVMStackEntry* e = Take();
    if (!e) return 0;
    Dropping dropping{e};
    int32_t result = 0;
    switch (e->type) {
    case kStackInteger: result = e->value.integer; break;
    case kStackDouble: result = TruncateDouble(e->value.number); break;
    case kStackString: result = ParseInteger(e->value.text, e->length, nullptr); break;
    case kStackVariable: result = e->value.variable->ValueInteger(); break;
    case kStackSlot: result = e->value.slot->Integer(); break;
    default: break;
    }
    return result;
}

double VornVM_Stack::PopDouble() {
    VornVMStackEntry* e = Take();
    if (!e) return 0.0;
    Dropping dropping{e};
    double result = 0.0;
    switch (e->type) {
    case kStackInteger: result = e->value.integer; break;
    case kStackDouble: result = e->value.number; break;
    case kStackString: result = ParseDouble(e->value.text, e->length, e->size, nullptr); break;
    case kStackVariable: result = e->value.variable->ValueDouble(); break;
    case kStackSlot: result = e->value.slot->Double(); break;
    default: break;
    }
    return result;
}

bool VornVM_Stack::PopBoolean() {
    VornVMStackEntry* e = Take();
    if (!e) return false;
    Dropping dropping{e};
    bool result = false;
    switch (e->type) {
    case kStackInteger: result = e->value.integer != 0; break;
    case kStackDouble: result = e->value.number != 0.0; break;
    case kStackString: result = TextIsTrue(e->value.text, e->length); break;
    case kStackVariable: result = e->value.variable->Boolean(); break;
    case kStackSlot: result = e->value.slot->Boolean(); break;
    default: break;
    }
    return result;
}

const char* VornVM_Stack::PopString(int32_t* length, int32_t* size, bool* owned, Variable** holder) {
    if (holder) *holder = nullptr;
    int32_t n = 0;
    int32_t m = 0;
    bool own = false;
    const char* text = "";
    VornVMStackEntry* e = Take();
    Dropping dropping{e};
    if (e) {
        switch (e->type) {
        case kStackInteger:
        case kStackDouble: {
            char* formatted = e->type == kStackInteger ? FormatInteger(e->value.integer, &n, &m)
                                                       : FormatDouble(e->value.number, &n, &m);
            if (formatted) {
                text = formatted;
                own = true;
            } else {
                n = m = 0;
            }
            break;
        }
        case kStackString:
            text = e->value.text;
            n = e->length;
            m = e->size;
            own = (e->flags & kStackOwned) != 0;
            e->flags = 0; // ownership passes to the caller
            break;
        case kStackVariable: {
            Variable* v = e->value.variable;
            const String& value = v->Value();
            n = value.Length();
            if (holder && (e->flags & kStackOwned)) {
                *holder = v;
                e->flags = 0; // the reference passes to the caller
                text = value.Text();
                m = n;
            } else if ((e->flags & kStackOwned) && v->ReferenceCount() < 2) {
                // The release below frees the variable: hand out a copy.
                char* copy = CopyBytes(value.Text(), n);
                if (copy) {
                    text = copy;
                    m = n + 1;
                    own = true;
                } else {
                    n = 0;
                }
            } else {
                text = value.Text();
                m = n;
            }
            // The entry lets go of the variable as the pop ends, after the copy.
            break;
        }
        case kStackSlot:
            // The frame keeps a text value: it is lent.
            text = SlotText(*e, &n, &m, &own);
            break;
        default: break;
        }
    }
    if (length) *length = n;
    if (size) *size = m;
    if (owned) *owned = own;
    return text;
}

void VornVM_Stack::PopText(StackText& out) {
    out.Reset();
    out.text = PopString(&out.length, &out.size, &out.owned, &out.holder);
}

char* VornVM_Stack::PopCString(int32_t* length, int32_t* size) {
    int32_t n = 0;
    bool own = false;
    const char* text = PopString(&n, nullptr, &own);
    char* copy = static_cast<char*>(std::malloc(static_cast<size_t>(n) + 1));
    if (!copy) {
        if (own) std::free(const_cast<char*>(text));
        throw std::bad_alloc();
    }
    int32_t k = 0;
    if (copy) {
        for (int32_t i = 0; i < n; ++i)
            if (text[i] != '\0') copy[k++] = text[i];
        copy[k] = '\0';
    }
    if (own) std::free(const_cast<char*>(text));
    if (length) *length = copy ? k : 0;
    if (size) *size = copy ? n + 1 : 0;
    return copy;
}

int VornVM_Stack::PopVariable(Variable** variable, bool* temporary) {
    if (variable) *variable = nullptr;
    if (temporary) *temporary = false;
    VornVMStackEntry* e = Take();
    if (!e) return 0;
    if (e->type == kStackSlot) {
        // The local becomes a variable; the caller gets a reference of its
        // own, as a pushed local's entry holds one.
        Variable* v = EntryVariable(*e);
        v->AddReference();
        if (variable) {
            *variable = v;
            if (temporary) *temporary = true;
        } else {
            v->Release();
        }
        return 1;
    }
    if (e->type != kStackVariable) {
        Drop(*e);
        Fail(kExpectedVariable);
        return 0;
    }
    bool temp = (e->flags & kStackOwned) != 0;
    if (variable) {
        *variable = e->value.variable;
        if (temporary) *temporary = temp;
    } else if (temp) {
        e->value.variable->Release();
    }
    e->flags = 0;
    return 1;
}

int VornVM_Stack::PopIntoConverted(Variable* target) {
    VornVMStackEntry* e = Take();
    if (!e) return 0;
    Dropping dropping{e};
    if (!target) {
        Fail(kInvalidVariable);
        return 0;
    }
    switch (e->type) {
    case kStackInteger: target->SetValueInteger(e->value.integer); break;
    case kStackDouble: target->SetValueDouble(e->value.number); break;
    case kStackString: target->SetValue(e->value.text, e->length); break;
    case kStackVariable: target->SetValueVariable(e->value.variable); break;
    case kStackSlot: e->value.slot->AssignTo(target); break;
    default: break;
    }
    return 1;
}

bool VornVM_Stack::PopIsEmpty() {
    VornVMStackEntry* e = Take();
    if (!e) return false;
    Dropping dropping{e};
    bool empty = false;
    if (e->type == kStackString)
        empty = e->length == 0;
    else if (e->type == kStackVariable)
        empty = e->value.variable->IsEmpty();
    else if (e->type == kStackSlot)
        empty = e->value.slot->IsEmpty();
    return empty;
}

int32_t VornVM_Stack::PopPosition() {
    const VornVMStackEntry* top = Peek(0);
    const char* text = nullptr;
    int32_t n = 0;
    if (top && top->type == kStackVariable) {
        const String& value = top->value.variable->Value();
        text = value.Text();
        n = value.Length();
    } else if (top && top->type == kStackSlot) {
        Scalar* slot = top->value.slot;
        // The variable's text is read first.
        if (slot->IsNegativeZero()) EntryVariable(*top);
        slot->ReadAsText();
        if (slot->type == Scalar::kText) {
            text = slot->text;
            n = slot->length;
        } else if (slot->type == Scalar::kVariable) {
            const String& value = slot->variable->Value();
            text = value.Text();
            n = value.Length();
        }
    }
    if (text) {
        int32_t position = 0;
        if (n == 3 && CompareTextNoCase(text, "top", 3) == 0)
            position = -1;
        else if (n == 6 && CompareTextNoCase(text, "bottom", 6) == 0)
            position = -2;
        if (position != 0) {
            Discard();
            return position;
        }
    }
    return PopInteger();
}

int VornVM_Stack::Dup() {
    if (depth <= 0) {
        Fail(kStackUnderflow);
        return 0;
    }
    if (Full()) return 0;
    const VornVMStackEntry& top = entries[depth - 1];
    VornVMStackEntry copy = top;
    if (top.flags & kStackOwned) {
        if (top.type == kStackString) {
            char* bytes = CopyBytes(top.value.text, top.length);
            if (!bytes) {
                Fail(kStackOverflow);
                return 0;
            }
            copy.value.text = bytes;
            copy.size = top.length + 1;
        } else if (top.type == kStackVariable) {
            top.value.variable->AddReference();
        }
    }
    entries[depth++] = copy;
    return 1;
}

int VornVM_Stack::Swap(int32_t i, int32_t j) {
    if (depth <= 0) {
        Fail(kStackUnderflow);
        return 0;
    }
    if (i < 0 || j < 0 || i >= depth || j >= depth) {
        Fail(kInvalidStackReference);
        return 0;
    }
    if (i == j) return 1;
    VornVMStackEntry held = entries[depth - 1 - i];
    entries[depth - 1 - i] = entries[depth - 1 - j];
    entries[depth - 1 - j] = held;
    return 1;
}

int VornVM_Stack::MoveFrom(VornVM_Stack* source, int32_t count) {
    if (!source || count < 0) return 0;
    if (count > source->depth) {
        source->Fail(kStackUnderflow);
        return 0;
    }
    if (count > capacity - depth) {
        Fail(kStackOverflow);
        return 0;
    }
    int32_t from = source->depth - count;
    for (int32_t k = 0; k < count; ++k) {
        VornVMStackEntry e = source->entries[from + k];
        if (e.type == kStackSlot) {
            // A local outlives its frame only as a variable.
            e.value.variable = EntryVariable(e);
            e.type = kStackVariable;
            e.length = 0;
        }
        if (e.type == kStackVariable && !(e.flags & kStackOwned)) {
            e.value.variable->AddReference();
            e.flags |= kStackOwned;
        }
        entries[depth++] = e;
    }
    source->depth = from;
    return 1;
}

// ---- The store of windows ---------------------------------------------------------

VornVM_StackStore::~VornVM_StackStore() {
    for (int32_t i = 0; i < chunkCount; ++i) delete[] chunks[i];
    delete[] chunks;
}

VornVMStackEntry* VornVM_StackStore::PlaceInNext(VornVMStackEntry* at, int32_t* chunk) {
    int32_t c = at ? *chunk + 1 : 0;
    if (c < 0) c = 0;
    if (c >= chunkCount) {
        if (chunkCount == chunkRoom) {
            int32_t room = chunkRoom ? chunkRoom * 2 : 4;
            auto** grown = new VornVMStackEntry*[static_cast<size_t>(room)];
            for (int32_t i = 0; i < chunkCount; ++i) grown[i] = chunks[i];
            delete[] chunks;
            chunks = grown;
            chunkRoom = room;
        }
        chunks[chunkCount] = new VornVMStackEntry[kVornVMStoreChunkEntries];
        c = chunkCount++;
    }
    *chunk = c;
    return chunks[c];
}

} // namespace vorn
