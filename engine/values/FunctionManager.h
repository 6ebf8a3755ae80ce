// The function table of a program: script functions from the "func" section
// and plug-in functions added at run time, in a hash table keyed by name
// without regard to letter case. Chains are kept in a fixed order (name
// length, then CompareTextNoCase) so the section loads without rehashing.
#pragma once

#include <cstdint>

#include "engine/foundation/List.h"
#include "engine/foundation/String.h"

namespace vorn {

class Dictionary;
class ExternalFunctionCall;
class TaggedFile;
class VariableHash;

// Flags of a Function.
inline constexpr uint32_t kFunctionExternal = 0x1; // a plug-in function, no bytecode
// Flags of a FunctionParameter.
inline constexpr uint32_t kParameterByReference = 0x1;

inline constexpr int32_t kFunctionSlotStep = 64;
inline constexpr int32_t kFunctionLocalBits = 8;
inline constexpr int32_t kFunctionLocalCapacity = 64;

class FunctionParameter {
public:
    FunctionParameter(int32_t slot, int32_t nameIndex, const char* name, int32_t length, uint32_t flags);
    virtual ~FunctionParameter();

    int32_t nameIndex; // in the program's string pool
    String name;
    uint32_t flags;    // the passing type; bit 0: by reference
    int32_t slot;      // the parameter's entry in the function's locals
};

class Function {
public:
    // The locals table is built empty with the dictionary, 8 bits and 64 entries.
    Function(int32_t index, uint32_t flags, int32_t nameIndex, const char* name, int32_t length, int32_t segment,
             int32_t offset, Dictionary* dictionary);
    virtual ~Function();
    Function(const Function&) = delete;
    Function& operator=(const Function&) = delete;

    // Adds the name to the pool and to locals, and appends the parameter.
    // Returns its slot in locals, or -1 when the name cannot be stored.
    int32_t AddParameter(uint32_t flags, const char* name, int32_t length);

    bool IsExternal() const { return (flags & kFunctionExternal) != 0; }
    VariableHash* Locals() const { return locals; }
    List<FunctionParameter>& Parameters() { return parameters; }

    int32_t index;
    uint32_t flags;
    int32_t nameIndex;
    String name;
    int32_t segment; // -1 without bytecode
    int32_t offset;  // -1 without bytecode
    Dictionary* dictionary;
    ExternalFunctionCall* external = nullptr;

private:
    friend class FunctionManager;
    List<FunctionParameter> parameters{true};
    VariableHash* locals;
};

class FunctionManager {
public:
    // 2^bits empty buckets (bits 0 .. 30) and 64 empty slots.
    FunctionManager(Dictionary* dictionary, int32_t bits);
    virtual ~FunctionManager();
    FunctionManager(const FunctionManager&) = delete;
    FunctionManager& operator=(const FunctionManager&) = delete;

    // The function of that name in any letter case (length -1: up to the NUL).
    virtual Function* Find(const char* name, int32_t length);
    virtual const String& ErrorText() const;
    virtual void SetError(const String& text);

    int32_t HashKey(const char* name, int32_t length) const;
    // Puts the function in slot Used() and links it into its chain.
    void Insert(Function* function, const char* name, int32_t length);
    // A plug-in function: its name goes into the pool, bit 0 is added to
    // flags. The caller sets its external entry and adds its parameters.
    Function* AddExternal(const char* name, int32_t length, uint32_t flags);
    // A copy of another table's function, without bytecode.
    Function* AddCopy(Function& other);
    // A script function with bytecode at (segment, offset): its name goes
    // into the pool. The caller adds its parameters and locals.
    Function* AddFunction(const char* name, int32_t length, uint32_t flags, int32_t segment, int32_t offset);

    // Replaces the table with the "func" section; the "dict" section must be
    // loaded into the dictionary first.
    bool ReadChunk(TaggedFile& file);
    // Replaces the table with a copy of other's, chains and slots as they
    // are: each function with its parameters and the layout of its locals,
    // but no external entry (a run binds its own). Names come from this
    // table's dictionary, which must give them other's indexes. other is only
    // read, so several tables may copy it at once.
    void CopyFrom(const FunctionManager& other);
    // Writes the table as a "func" section, chains and slots as they are.
    bool WriteChunk(TaggedFile& file);

    // The function in a slot, or null.
    Function* At(int32_t slot) const {
        return static_cast<uint32_t>(slot) < static_cast<uint32_t>(used) ? items[slot] : nullptr;
    }
    int32_t Used() const { return used; }
    int32_t Capacity() const { return capacity; }
    int32_t Bits() const { return bits; }
    int32_t BucketCount() const { return bucketCount; }
    // Non-empty buckets.
    int32_t NonEmptyBuckets() const { return count; }
    // The first slot of a bucket's chain and the slot after a slot; -1 ends.
    int32_t BucketHead(int32_t bucket) const;
    int32_t NextSlot(int32_t slot) const;
    Dictionary* Names() const { return dictionary; }

private:
    void ReleaseArrays();
    bool Fail(const char* message);
    bool FailFromFile(TaggedFile& file);
    bool ReadExact(TaggedFile& file, void* buffer, int64_t n);
    bool ReadSlots(TaggedFile& file, uint32_t bucketRecords, uint32_t slots);

    String error;
    int32_t* buckets = nullptr;
    int32_t bits = 0;
    int32_t bucketCount = 0;
    int32_t count = 0;
    int32_t* next = nullptr;
    Function** items = nullptr;
    int32_t capacity = 0;
    int32_t used = 0;
    Dictionary* dictionary;
};

} // namespace vorn
