// The operand stack of the virtual machine: a fixed array of typed entries
// (integer, double, text, variable) through which every instruction takes its
// operands and leaves its results.
//
// Ownership on the stack: a text entry with the owned bit holds a malloc'ed
// buffer that whoever consumes the entry frees; a variable entry with the
// owned bit holds one reference on the variable (a "temporary") that whoever
// consumes it releases. Pops hand ownership to the caller; Discard and the
// stack's destructor free what they drop.
//
// Every error of a stack operation is reported as a fatal error of the owning
// VM (which sets its abort flag); the operation then returns a neutral value
// (0, an empty text, a null variable) so handlers can finish their pops.
#pragma once

#include <cstdint>

#include "engine/values/Scalar.h"
#include "engine/values/Variable.h"

namespace vorn {

class VornVM;

inline constexpr int32_t kVornVMStackCapacity = 512;
// Entries of one chunk of the store that script function frames take their
// stack windows from: room for several windows of kVornVMStackCapacity.
inline constexpr int32_t kVornVMStoreChunkEntries = 8 * kVornVMStackCapacity;

// Entry types.
inline constexpr uint32_t kStackInteger = 0;
inline constexpr uint32_t kStackDouble = 1;
inline constexpr uint32_t kStackString = 2;
inline constexpr uint32_t kStackVariable = 3;
// A function's local in its frame slot (value.slot; length holds the local's
// entry index): read when the entry is used, as a variable entry is. It owns
// nothing and lives in the window of the frame whose slot it names, which
// turns it into a variable before it could outlive the frame (ret).
inline constexpr uint32_t kStackSlot = 4;

// Entry flags: the entry owns its text buffer or holds a reference on its
// variable.
inline constexpr uint8_t kStackOwned = 1;

struct VornVMStackEntry {
    uint32_t type;
    uint8_t flags;
    union {
        int32_t integer;
        double number;
        const char* text; // owned texts are malloc'ed
        Variable* variable;
        Scalar* slot;
    } value;
    int32_t length; // text length; 4 for an integer; a slot's entry index
    int32_t size;   // bytes allocated for the text (at least length); 4 for an integer
};

// Copies an entry field by field, as the fast paths write them: a copy of the
// whole in wider moves waits for those narrow writes to reach the cache.
inline void CopyEntry(VornVMStackEntry& to, const VornVMStackEntry& from) {
    to.type = from.type;
    to.flags = from.flags;
    to.value.number = from.value.number;
    to.length = from.length;
    to.size = from.size;
}

// Makes an entry a number, as the pushes of numbers make it.
[[gnu::always_inline]] inline void SetIntegerEntry(VornVMStackEntry& e, int32_t value) {
    e.type = kStackInteger;
    e.flags = 0;
    e.value.integer = value;
    e.length = 4;
    e.size = 4;
}

[[gnu::always_inline]] inline void SetDoubleEntry(VornVMStackEntry& e, double value) {
    e.type = kStackDouble;
    e.flags = 0;
    e.value.number = value;
    e.length = 8;
    e.size = 8;
}

// A popped text that frees itself when it owns its buffer. Handlers use it to
// keep their pops leak-free on every path:
//     StackText b; stack->PopText(b); StackText a; stack->PopText(a);
class StackText {
public:
    StackText() = default;
    ~StackText() { Reset(); }
    StackText(const StackText&) = delete;
    StackText& operator=(const StackText&) = delete;

    // Frees an owned buffer and becomes empty.
    void Reset();
    // Hands an owned buffer to the caller (malloc'ed; null when not owned,
    // the text then stays borrowed and must be copied).
    char* Release();

    const char* text = "";
    int32_t length = 0;
    int32_t size = 0;
    bool owned = false;
    // The temporary variable whose text is lent, with the entry's reference:
    // an entry popped after this one may have held its other references.
    Variable* holder = nullptr;
};

// A popped variable that releases the reference it holds, if any, when it
// goes: a handler's work between the pop and its end (a value read, an
// allocation) may throw.
//     StackVariable target; if (!stack->PopVariable(target)) return;
class StackVariable {
public:
    StackVariable() = default;
    ~StackVariable() { Reset(); }
    StackVariable(const StackVariable&) = delete;
    StackVariable& operator=(const StackVariable&) = delete;

    // Releases a held reference and becomes empty.
    void Reset() {
        if (temporary && variable) variable->Release();
        variable = nullptr;
        temporary = false;
    }

    Variable* variable = nullptr;
    bool temporary = false; // holds one reference on variable
};

class VornVM_Stack {
public:
    // vm receives the stack's error reports; it may be null (errors are then
    // only counted by the return values).
    explicit VornVM_Stack(VornVM* vm, int32_t capacity = kVornVMStackCapacity);
    // A window: kVornVMStackCapacity entries of a VornVM_StackStore, given to
    // it by the machine for each call (empty and of no capacity until then).
    struct Window {};
    VornVM_Stack(VornVM* vm, Window);
    // Frees owned texts and releases temporaries still on the stack.
    virtual ~VornVM_Stack();
    VornVM_Stack(const VornVM_Stack&) = delete;
    VornVM_Stack& operator=(const VornVM_Stack&) = delete;

    // --- Pushes: 1 when pushed; 0 on "Stack overflow" ----------------------
    // (Numbers are pushed and popped on nearly every instruction: their
    // common cases are inline.)
    int PushInteger(int32_t value) {
        if (depth >= capacity) return Overflow();
        SetIntegerEntry(entries[depth++], value);
        return 1;
    }
    int PushDouble(double value) {
        if (depth >= capacity) return Overflow();
        SetDoubleEntry(entries[depth++], value);
        return 1;
    }
    // owned: text is malloc'ed and the stack takes it (freed even when the
    // push fails). size below length is taken as length.
    int PushString(const char* text, int32_t length, int32_t size, bool owned);
    // A view of local entry index of a function frame (its slot, made when
    // absent).
    int PushSlot(Scalar* slot, int32_t index) {
        if (depth >= capacity) return Overflow();
        if (slot->type == Scalar::kAbsent) slot->type = Scalar::kEmpty;
        VornVMStackEntry& e = entries[depth++];
        e.type = kStackSlot;
        e.flags = 0;
        e.value.slot = slot;
        e.length = index;
        e.size = 0;
        return 1;
    }
    // temporary: the entry takes over one reference the caller holds (released
    // even when the push fails). A null variable is "Invalid variable
    // reference" and nothing is pushed.
    int PushVariable(Variable* variable, bool temporary);

    // --- Pops ----------------------------------------------------------------
    // Drops the top. 0 on underflow.
    int Discard();
    // An integer entry owns nothing, so it simply goes.
    int32_t PopInteger() {
        if (depth > 0 && entries[depth - 1].type == kStackInteger) return entries[--depth].value.integer;
        return PopIntegerConverted();
    }
    double PopDouble();
    bool PopBoolean();
    // The top as text. The result is never null: on underflow it is an empty,
    // unowned text. When *owned comes back true the caller frees the buffer
    // with std::free. A borrowed text must not be written to and is valid only
    // while its owner (pool, variable) lives. size may be null. With holder,
    // a temporary variable's text is lent, not copied, and *holder takes the
    // entry's reference (null when there is none), which the caller releases
    // once done with the text: the text then outlives whatever is popped
    // after it.
    const char* PopString(int32_t* length, int32_t* size, bool* owned, Variable** holder = nullptr);
    // PopString into a self-freeing holder, which keeps a lent text's
    // temporary variable.
    void PopText(StackText& out);
    // PopString copied without NUL bytes: always a malloc'ed buffer that the
    // caller frees (never null).
    char* PopCString(int32_t* length, int32_t* size);
    // The top must be a variable: *variable and *temporary receive it (the
    // caller releases a temporary). Otherwise "Expected variable, found
    // constant" (the entry is dropped) and 0.
    int PopVariable(Variable** variable, bool* temporary);
    // PopVariable into a self-releasing holder.
    int PopVariable(StackVariable& out) {
        out.Reset();
        return PopVariable(&out.variable, &out.temporary);
    }
    // Assigns the top to target. A null target is "Invalid variable
    // reference" (the entry is still dropped).
    int PopInto(Variable* target) {
        // Numbers and plain variables into a plain variable, the common
        // case of stores and arguments, without the virtual assignments.
        if (depth > 0 && target && target->IsPlainScalar()) {
            VornVMStackEntry& e = entries[depth - 1];
            if (e.type == kStackInteger) {
                target->PlainSetInteger(e.value.integer);
                --depth;
                return 1;
            }
            if (e.type == kStackDouble) {
                target->PlainSetDouble(e.value.number);
                --depth;
                return 1;
            }
            if (e.type == kStackVariable && target->PlainCopyFrom(e.value.variable)) {
                --depth;
                // PlainCopyFrom took only a plain scalar.
                if (e.flags & kStackOwned) e.value.variable->PlainRelease();
                return 1;
            }
        }
        return PopIntoConverted(target);
    }
    bool PopIsEmpty();
    // PopInteger, except that a variable reading "top" or "bottom" (any case)
    // gives -1 or -2.
    int32_t PopPosition();

    // --- Shuffling -------------------------------------------------------------
    // Pushes a copy of the top that owns its own share: an owned text is
    // copied into a new buffer and a temporary variable gains a reference, so
    // neither copy can outlive what it points to whatever happens to the
    // other (swap, ret, discard in any order).
    int Dup();
    // Exchanges the entries at depths i and j (0 = top).
    int Swap(int32_t i, int32_t j);
    // Moves the top count entries of source onto this stack, keeping their
    // order and ownership; a variable entry without a reference gains one (it
    // becomes temporary), so it survives the scope it came from. 0 when
    // source holds fewer entries or this stack lacks room (nothing moves).
    int MoveFrom(VornVM_Stack* source, int32_t count);
    // Drops every entry.
    void Clear();

    // --- Inspection --------------------------------------------------------------
    int32_t Depth() const { return depth; }
    int32_t Capacity() const { return capacity; }
    // Whether the entries belong to a store (a frame's window).
    bool IsWindow() const { return !ownsEntries; }
    // The entry at that depth (0 = top), or null.
    const VornVMStackEntry* Peek(int32_t at) const;
    VornVM* Owner() const { return vm; }
    // The variable of a variable entry, or of a slot entry's local (its slot
    // boxed: the local becomes a Variable, which gains no reference).
    static Variable* EntryVariable(const VornVMStackEntry& entry);
    // The text of a slot entry's local, read as its variable's is: a negative
    // zero's is kept by the local, made a variable for it (as Scalar::Text
    // otherwise).
    static const char* SlotText(const VornVMStackEntry& entry, int32_t* length, int32_t* size, bool* owned) {
        if (entry.value.slot->IsNegativeZero()) EntryVariable(entry);
        return entry.value.slot->Text(length, size, owned);
    }

private:
    // The interpreter's fast paths work on the entries directly.
    friend class VornVM;
    friend struct DecodedLoop;

    // The top entry, removed; null (with "Stack underflow") when empty.
    VornVMStackEntry* Take();
    // Frees what an entry owns.
    static void Drop(VornVMStackEntry& entry);
    // Drops a taken entry when the pop ends, however it ends: reading a
    // variable's value can throw (a text past the limit, memory running
    // out), and the entry, off the stack by then, would keep its reference.
    struct Dropping {
        VornVMStackEntry* entry;
        ~Dropping() {
            if (entry) Drop(*entry);
        }
    };
    bool Full();
    void Fail(const char* message);
    // Reports "Stack overflow"; 0.
    int Overflow();
    // PopInteger of any other entry, or of an empty stack.
    int32_t PopIntegerConverted();
    // PopInto of any other entry.
    int PopIntoConverted(Variable* target);

    // Makes the stack a window over store entries from base on (in chunk
    // chunk of the store); the stack must be empty.
    void Attach(VornVMStackEntry* base, int32_t chunk, VornVMStackEntry* chunkEnd) {
        entries = base;
        capacity = kVornVMStackCapacity;
        depth = 0;
        storeChunk = chunk;
        storeEnd = chunkEnd;
    }

    // A window given back: no entries until the machine places it again.
    void Detach() {
        entries = nullptr;
        capacity = 0;
        storeChunk = -1;
        storeEnd = nullptr;
    }

    VornVM* vm;
    VornVMStackEntry* entries;
    int32_t depth = 0;
    int32_t capacity;
    bool ownsEntries = true;
    int32_t storeChunk = -1; // a window's chunk in its store
    VornVMStackEntry* storeEnd = nullptr; // a window's chunk's end
};

// Where the operand stacks of script function frames live: chunks of entries
// that never move. A called function's window starts where its caller's
// entries end (the arguments were popped there), so deep recursion costs the
// entries in use rather than a whole stack per frame.
class VornVM_StackStore {
public:
    VornVM_StackStore() = default;
    ~VornVM_StackStore();
    VornVM_StackStore(const VornVM_StackStore&) = delete;
    VornVM_StackStore& operator=(const VornVM_StackStore&) = delete;

    // The start of a window: at, in chunk *chunk, when a whole window fits
    // there, else the start of the next chunk (made on first use; *chunk
    // then names it). A null at means the start of the store. Windows are
    // placed and given back last in, first out.
    // The end of a chunk Place gave out.
    VornVMStackEntry* ChunkEnd(int32_t chunk) const { return chunks[chunk] + kVornVMStoreChunkEntries; }
    VornVMStackEntry* Place(VornVMStackEntry* at, int32_t* chunk) {
        int32_t c = *chunk;
        if (!at && chunkCount > 0) {
            *chunk = 0;
            return chunks[0];
        }
        if (at && c >= 0 && c < chunkCount && at >= chunks[c] &&
            at + kVornVMStackCapacity <= chunks[c] + kVornVMStoreChunkEntries)
            return at;
        return PlaceInNext(at, chunk);
    }

private:
    VornVMStackEntry* PlaceInNext(VornVMStackEntry* at, int32_t* chunk);

    VornVMStackEntry** chunks = nullptr;
    int32_t chunkCount = 0;
    int32_t chunkRoom = 0;
};

} // namespace vorn
