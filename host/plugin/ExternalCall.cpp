#include "host/plugin/ExternalCall.h"

#include <cstdlib>
#include <cstring>

#include "engine/app/ExternalLibrary.h"
#include "engine/app/VornApplication.h"
#include "engine/foundation/Hash.h"
#include "engine/foundation/Messages.h"
#include "engine/values/Variable.h"

namespace vorn {

namespace {

constexpr int32_t kLibraryGrowth = 16;
constexpr int32_t kPersistentReleaseRounds = 100000;

int32_t MeasuredLength(const char* text, int32_t length) {
    if (!text) return 0;
    if (length >= 0) return length;
    size_t n = std::strlen(text);
    return n > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(n);
}

} // namespace

void* ObjectAllocate(size_t size) {
    return std::malloc(size == 0 ? 1 : size);
}

void ObjectFree(void* block) {
    std::free(block);
}

// --- ExternalCall ---------------------------------------------------------------

ExternalCall::ExternalCall(ExternalFunctionEntry* functionEntry)
    : entry(functionEntry), result(new Variable()) {}

ExternalCall::~ExternalCall() {
    // Only a library that kept state hears about the end of the request.
    if (callData && entry->function) entry->function(nullptr, nullptr, nullptr, &callData);
    result->Release();
}

Variable* ExternalCall::Invoke(VornVM* program, VariableList* parameters) {
    // A result still held elsewhere (on a stack, in a script variable, by a
    // call of this function that is still running) keeps its value.
    if (result->ReferenceCount() > 1) {
        result->Release();
        result = new Variable();
    } else {
        result->Clear();
    }
    Variable* held = result;
    held->AddReference();
    if (entry->function) entry->function(program, parameters, held, &callData);
    return held;
}

int32_t ExternalCall::Call(VornVM* program, VariableList* parameters) {
    Invoke(program, parameters)->Release();
    return 1;
}

// --- ExternalCallPersistentData -----------------------------------------------------

ExternalCallPersistentData::ExternalCallPersistentData(const char* text, int32_t length, void* value,
                                                       PersistentDataRelease releaseFunction)
    : name(text ? text : "", MeasuredLength(text, length)), data(value), release(releaseFunction) {}

ExternalCallPersistentData::~ExternalCallPersistentData() {
    Release(nullptr);
}

void ExternalCallPersistentData::Release(VornVM* program) {
    if (released) return;
    released = true;
    if (release)
        release(program, data);
    else
        ObjectFree(data);
}

// --- ExternalCallManager -----------------------------------------------------------

ExternalCallManager::ExternalCallManager(VornApplication* owner)
    : application(owner), calls(true, true, 12, HashTable<ExternalCall>::kGrowth),
      persistent(true, true, 12, HashTable<ExternalCallPersistentData>::kGrowth) {}

ExternalCallManager::~ExternalCallManager() {
    // First, while every lookup still works: a release may call the host.
    ProgramEnding(nullptr);
    persistent.Clear();
    std::free(libraries);
    libraries = nullptr;
    libraryCount = libraryCapacity = 0;
    error.Free();
    calls.Clear();
}

int32_t ExternalCallManager::RegisterLibrary(const char* path) {
    ExternalLibraryManager* loader = application ? application->GetExternalLibraryManager() : nullptr;
    if (!loader) {
        error.Assign("No library manager");
        return 0;
    }
    ExternalLibrary* library = loader->Load(path);
    if (!library) {
        if (!loader->ErrorText().IsEmpty()) error.Assign(loader->ErrorText());
        return 0;
    }
    auto table = reinterpret_cast<FunctionTableEntry>(library->GetSymbol("vorn_function_table"));
    if (!table) {
        error.Assign(library->ErrorText());
        return 0;
    }
    FunctionLibraryDescriptor* descriptor = table();
    if (!descriptor) {
        error.Assign("Unable to retrieve function descriptor table");
        return 0;
    }
    if (libraryCount == libraryCapacity) {
        int32_t capacity = libraryCapacity + kLibraryGrowth;
        auto* grown = static_cast<LoadedFunctionLibrary*>(
            std::calloc(static_cast<size_t>(capacity), sizeof(LoadedFunctionLibrary)));
        if (!grown) {
            error.Assign(kOutOfMemory);
            return 0;
        }
        if (libraryCount > 0)
            std::memcpy(grown, libraries, static_cast<size_t>(libraryCount) * sizeof(LoadedFunctionLibrary));
        std::free(libraries);
        libraries = grown;
        libraryCapacity = capacity;
    }
    libraries[libraryCount].library = library;
    libraries[libraryCount].functions = descriptor->functions;
    ++libraryCount;
    return 1;
}

bool ExternalCallManager::ExternalParameter(ExternalFunctionCall* call, int32_t position, const char** name,
                                            int32_t* length, uint32_t* flags) {
    // Every call the engine hands back came from Lookup.
    auto* own = static_cast<ExternalCall*>(call);
    if (!own || position < 0 || position >= own->ParameterCount() || !own->Entry()->parameters) return false;
    const ExternalParameterEntry& parameter = own->Entry()->parameters[position];
    *name = parameter.name;
    *length = parameter.length;
    *flags = parameter.flags;
    return true;
}

ExternalCall* ExternalCallManager::Lookup(const char* name, int32_t length) {
    if (!name) return nullptr;
    length = MeasuredLength(name, length);
    if (ExternalCall* cached = calls.Find(name, length)) return cached;
    for (int32_t i = 0; i < libraryCount; ++i) {
        ExternalFunctionEntry* row = libraries[i].functions;
        if (!row) continue;
        for (; row->name; ++row) {
            if (row->length != length) continue;
            if (length > 0 && CompareTextNoCase(row->name, name, length) != 0) continue;
            auto* call = new ExternalCall(row);
            calls.Insert(call);
            return call;
        }
    }
    return nullptr;
}

void* ExternalCallManager::LookupPersistent(const char* name, int32_t length) {
    if (!name) return nullptr;
    ExternalCallPersistentData* record = persistent.Find(name, MeasuredLength(name, length));
    return record ? record->Data() : nullptr;
}

void ExternalCallManager::RegisterPersistent(VornVM* program, const char* name, int32_t length, void* data,
                                             PersistentDataRelease release) {
    length = MeasuredLength(name, length);
    // Out of the table before its release runs: the release may call back.
    ExternalCallPersistentData* old = persistent.Remove(name ? name : "", length);
    persistent.Insert(new ExternalCallPersistentData(name, length, data, release));
    if (old) old->Release(program);
    delete old;
}

void ExternalCallManager::ProgramEnding(VornVM* program) {
    // A release that registers again is let do so a bounded number of times.
    for (int32_t round = 0; round < kPersistentReleaseRounds; ++round) {
        ExternalCallPersistentData* record = nullptr;
        for (int32_t slot = 0; slot < persistent.Used() && !record; ++slot)
            record = persistent.ItemAt(slot);
        if (!record) return;
        persistent.Remove(record->Name().Text(), record->Name().Length());
        record->Release(program);
        delete record;
    }
}

} // namespace vorn
