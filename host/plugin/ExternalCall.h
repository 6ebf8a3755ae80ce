// Built-in function libraries: plug-ins that export "vorn_function_table", the
// functions found in them (one ExternalCall per name, with the call data the
// library keeps between calls and the variable that receives the result), and
// the named persistent data that libraries keep for the rest of a request.
//
// The records below are what a plug-in hands over in memory, so they are laid
// out as plain C structures; the host never frees or changes them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/foundation/HashTable.h"
#include "engine/foundation/String.h"
#include "engine/vm/ExternalFunctionSource.h"

namespace vorn {

class VornApplication;
class VornVM;
class Variable;
class VariableList;
class ExternalLibrary;

// A library function: (program, arguments in parameter order, result, address
// of the call-data word). Called once more with (null, null, null, address)
// at the end of the request when it left call data behind. The return value
// is not looked at.
using ExternalFunction = int32_t (*)(VornVM* program, VariableList* parameters, Variable* result,
                                     void** callData);
// Releases persistent data: (the program that registered it, the data).
using PersistentDataRelease = void (*)(VornVM* program, void* data);

// Flags of an ExternalParameterEntry.
inline constexpr uint32_t kExternalParameterByReference = 0x1;

struct ExternalParameterEntry {
    const char* name;
    int32_t length;
    uint32_t flags; // bit 0: by reference; the whole word is the passing type
};

// One row of a library's table; a row with a null name ends the table.
struct ExternalFunctionEntry {
    const char* name; // need not be NUL-terminated: length counts
    int32_t length;
    int32_t parameterCount;
    ExternalParameterEntry* parameters;
    ExternalFunction function;
};

// What "vorn_function_table" returns; owned by the library.
struct FunctionLibraryDescriptor {
    uint32_t version; // not read
    ExternalFunctionEntry* functions;
};

using FunctionTableEntry = FunctionLibraryDescriptor* (*)();

// The host's object allocation and its release: the host heap, the same as
// the plug-ins' vorn_alloc and vorn_free, so that blocks cross both ways.
// Persistent data registered without a release function is freed with
// ObjectFree.
void* ObjectAllocate(size_t size);
void ObjectFree(void* block);

// One function of a library, looked up once per request and shared by every
// call site of that name.
class ExternalCall : public ExternalFunctionCall {
  public:
    // Makes a new empty result variable.
    explicit ExternalCall(ExternalFunctionEntry* entry);
    // Tells the library to release its call data when it set some, then
    // releases the result variable.
    ~ExternalCall() override;
    ExternalCall(const ExternalCall&) = delete;
    ExternalCall& operator=(const ExternalCall&) = delete;

    // Calls the function; the result is left in Result(). Always 1.
    virtual int32_t Call(VornVM* program, VariableList* parameters);
    // Calls the function and hands back its result variable with one
    // reference that the caller now holds. While a call runs its result holds
    // that extra reference, so a nested call of the same function (a plug-in
    // calling back into a script) gets a fresh result of its own.
    Variable* Invoke(VornVM* program, VariableList* parameters) override;

    ExternalFunctionEntry* Entry() const { return entry; }
    // Parameter count and passing type of a position (0 past the last one).
    int32_t ParameterCount() const override { return entry->parameterCount; }
    uint32_t ParameterFlags(int32_t position) const override {
        if (position < 0 || position >= entry->parameterCount || !entry->parameters) return 0;
        return entry->parameters[position].flags;
    }
    Variable* Result() const { return result; }
    void* CallData() const { return callData; }
    // Calls of this function now running (more than one when re-entered).
    int32_t ActiveCalls() const override { return active; }
    void EnterCall() override { ++active; }
    void LeaveCall() override { --active; }

  private:
    ExternalFunctionEntry* entry;
    void* callData = nullptr;
    Variable* result;
    int32_t active = 0;
};

// Library data kept under a name for the rest of the request.
class ExternalCallPersistentData {
  public:
    // Copies the name (length -1: up to the NUL).
    ExternalCallPersistentData(const char* name, int32_t length, void* data, PersistentDataRelease release);
    // Releases the data (with a null program) unless Release did.
    virtual ~ExternalCallPersistentData();
    ExternalCallPersistentData(const ExternalCallPersistentData&) = delete;
    ExternalCallPersistentData& operator=(const ExternalCallPersistentData&) = delete;

    // release(program, data), or ObjectFree (data) without a release
    // function; only the first call does anything.
    void Release(VornVM* program);

    const String& Name() const { return name; }
    void* Data() const { return data; }

  private:
    String name;
    void* data;
    PersistentDataRelease release;
    bool released = false;
};

template <> struct HashTableKey<ExternalCall> {
    static HashKeyView Of(const ExternalCall* call) { return {call->Entry()->name, call->Entry()->length}; }
};

struct LoadedFunctionLibrary {
    ExternalLibrary* library; // owned by the ExternalLibraryManager
    ExternalFunctionEntry* functions;
};

// The built-in function libraries of one request.
class ExternalCallManager : public ExternalFunctionSource {
  public:
    explicit ExternalCallManager(VornApplication* application);
    // Releases what persistent data is left (with a null program), then the
    // calls (while the libraries are still loaded: the ExternalLibraryManager
    // goes after this manager).
    ~ExternalCallManager() override;
    ExternalCallManager(const ExternalCallManager&) = delete;
    ExternalCallManager& operator=(const ExternalCallManager&) = delete;

    // Loads the library through the application's ExternalLibraryManager and
    // appends its function table; 1, or 0 with ErrorText() set.
    virtual int32_t RegisterLibrary(const char* path);
    // The call of that name (any letter case; length -1: up to the NUL), made
    // and cached on first use; null when no library has it.
    ExternalCall* Lookup(const char* name, int32_t length) override;
    // The name, length and flags of a parameter of a call Lookup returned.
    bool ExternalParameter(ExternalFunctionCall* call, int32_t position, const char** name, int32_t* length,
                           uint32_t* flags) override;
    virtual void* LookupPersistent(const char* name, int32_t length);
    // Replaces data of the same name in any letter case; the old data is
    // released, handed the registering program, once the new is in place.
    virtual void RegisterPersistent(VornVM* program, const char* name, int32_t length, void* data,
                                    PersistentDataRelease release);
    // Releases every persistent data, handed the ending top program; data a
    // release function registers meanwhile goes too.
    void ProgramEnding(VornVM* program) override;

    const String& ErrorText() const { return error; }
    int32_t LibraryCount() const { return libraryCount; }

  private:
    VornApplication* application;
    HashTable<ExternalCall> calls;
    String error;
    LoadedFunctionLibrary* libraries = nullptr;
    int32_t libraryCapacity = 0;
    int32_t libraryCount = 0;
    HashTable<ExternalCallPersistentData> persistent;
};

} // namespace vorn
