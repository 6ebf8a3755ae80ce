#include "host/plugin/CommerceLibrary.h"

#include <cstdlib>
#include <cstring>

#include "engine/app/ExternalLibrary.h"
#include "engine/app/VornApplication.h"
#include "engine/values/VariableHash.h"
#include "engine/values/VariableList.h"

namespace vorn {

namespace {

// A NUL-terminated malloc'ed copy (length -1: up to the NUL); never null
// unless memory runs out.
char* CopyText(const char* text, int32_t length, int32_t* outLength) {
    if (!text) {
        text = "";
        length = 0;
    }
    if (length < 0) length = static_cast<int32_t>(std::strlen(text));
    auto* copy = static_cast<char*>(std::malloc(static_cast<size_t>(length) + 1));
    if (!copy) {
        *outLength = 0;
        return nullptr;
    }
    if (length > 0) std::memcpy(copy, text, static_cast<size_t>(length));
    copy[length] = '\0';
    *outLength = length;
    return copy;
}

template <class Entry> Entry SymbolAs(ExternalLibrary* library, const char* name) {
    return reinterpret_cast<Entry>(library->GetSymbol(name));
}

} // namespace

// --- CommerceLibrary -----------------------------------------------------------------

CommerceLibrary::CommerceLibrary(const char* methodName, const char* libraryPath)
    : method(methodName ? methodName : ""), path(libraryPath ? libraryPath : "") {}

CommerceLibrary::~CommerceLibrary() = default;

int32_t CommerceLibrary::Init(VornVM* program, void** state, const char* methodName, const char* request,
                              VariableList* fields, VariableHash* systemScope) {
    return init ? init(program, state, methodName, request, fields, systemScope) : 1;
}

int32_t CommerceLibrary::Loop(VornVM* program, void** state, const char* methodName, const char* request,
                              VariableList* fields, VariableHash* systemScope, int32_t pass) {
    return loop ? loop(program, state, methodName, request, fields, systemScope, pass) : 1;
}

void CommerceLibrary::Cleanup(VornVM* program, void** state, const char* methodName, const char* request,
                              VariableList* fields) {
    if (cleanup) cleanup(program, state, methodName, request, fields);
}

const char* CommerceLibrary::Error(VornVM* program, void** state, const char* methodName, const char* request,
                                   VariableList* fields) {
    return errorEntry ? errorEntry(program, state, methodName, request, fields) : nullptr;
}

const String& CommerceLibrary::ErrorText() {
    return error;
}

void CommerceLibrary::SetError(const String& text) {
    if (!text.IsEmpty()) error.Assign(text);
}

int32_t CommerceLibrary::Bind(ExternalLibrary* library) {
    bound = 0;
    init = nullptr;
    loop = nullptr;
    cleanup = nullptr;
    errorEntry = nullptr;
    if (library) {
        if (auto table = SymbolAs<CommerceDescriptorEntry>(library, "vorn_commerce_library")) {
            if (CommerceLibraryDescriptor* descriptor = table()) {
                init = descriptor->init;
                loop = descriptor->loop;
                cleanup = descriptor->cleanup;
                errorEntry = descriptor->error;
            }
        } else if ((init = SymbolAs<CommerceInitEntry>(library, "vorn_commerce_init")) &&
                   (loop = SymbolAs<CommerceLoopEntry>(library, "vorn_commerce_loop")) &&
                   (cleanup = SymbolAs<CommerceCleanupEntry>(library, "vorn_commerce_cleanup"))) {
            errorEntry = SymbolAs<CommerceErrorEntry>(library, "vorn_commerce_error");
        }
    }
    // A descriptor with an empty entry would be called through a null
    // pointer later: it cannot be bound either.
    if (init && loop && cleanup && errorEntry) {
        bound = 1;
        return 1;
    }
    init = nullptr;
    loop = nullptr;
    cleanup = nullptr;
    errorEntry = nullptr;
    SetError(String(kCommerceBindError));
    return 0;
}

// --- CommerceLibraryManager ------------------------------------------------------------

CommerceLibraryManager::CommerceLibraryManager(VornApplication* owner)
    : application(owner), libraries(true, true, 12, HashTable<CommerceLibrary>::kGrowth) {}

CommerceLibraryManager::~CommerceLibraryManager() = default;

int32_t CommerceLibraryManager::RegisterLibrary(const char* method, const char* path) {
    libraries.Insert(new CommerceLibrary(method, path));
    return 1;
}

CommerceLibrary* CommerceLibraryManager::FindForMethod(const char* name, int32_t length) {
    if (!name) {
        name = "";
        length = 0;
    }
    if (length < 0) length = static_cast<int32_t>(std::strlen(name));
    CommerceLibrary* library = libraries.Find(name, length);
    if (!library) {
        SetError(CommerceMethodNotConfigured(name, length));
        return nullptr;
    }
    if (library->Bound()) return library;

    String reason;
    ExternalLibrary* loaded = LoadConfiguredLibrary(application, library->Path(), "commerce", reason);
    if (!loaded) {
        SetError(reason);
        return nullptr;
    }
    if (!library->Bind(loaded)) {
        SetError(library->ErrorText());
        return nullptr;
    }
    return library;
}

void CommerceLibraryManager::SetError(const String& text) {
    error.Assign(text);
}

const String& CommerceLibraryManager::ErrorText() {
    return error;
}

int32_t CommerceLibraryManager::ConfiguredLibraryCount() {
    return libraries.Used();
}

const char* CommerceLibraryManager::ConfiguredLibraryName(int32_t index, int32_t* length) {
    CommerceLibrary* library = libraries.ItemAt(index);
    if (!library) return nullptr;
    if (length) *length = library->Method().Length();
    return library->Method().Text();
}

bool CommerceLibraryManager::IsLibraryConfigured(const char* name, int32_t length) {
    return libraries.Find(name, length) != nullptr;
}

// --- Commerce ---------------------------------------------------------------------------

CommerceTransaction* CommerceLibraryManager::NewTransaction(VornApplication* app, VornVM* program,
                                                           VariableHash* systemScope) {
    return new Commerce(app, program, this, systemScope);
}

Commerce::Commerce(VornApplication* app, VornVM* vm, CommerceLibraryManager* libraries, VariableHash* scope)
    : CommerceTransaction(app, vm, kFeatureCommerce), program(vm), manager(libraries), systemScope(scope),
      fields(new VariableList) {}

Commerce::~Commerce() {
    // Whatever init left in the state word (even after a failure) is the
    // library's to release.
    if (initCalled && library) library->Cleanup(program, &state, Method(), Request(), fields);
    delete fields;
    std::free(request);
    std::free(method);
}

void Commerce::SetMethod(const char* text, int32_t length) {
    std::free(method);
    method = CopyText(text, length, &methodLength);
}

void Commerce::SetRequest(const char* text, int32_t length) {
    std::free(request);
    request = CopyText(text, length, &requestLength);
}

int32_t Commerce::Start() {
    library = manager ? manager->FindForMethod(Method(), method ? methodLength : 0) : nullptr;
    if (!library) {
        if (manager) {
            SetError(manager->ErrorText());
        } else {
            SetError(CommerceMethodNotConfigured(Method(), -1));
        }
        return 0;
    }
    initCalled = true;
    // The library may walk the table by position.
    if (systemScope) systemScope->Underlying()->Settle();
    ++busy;
    int32_t result = library->Init(program, &state, Method(), Request(), fields, systemScope);
    --busy;
    if (result != 0) {
        FetchError();
        systemScope = nullptr;
        return 0;
    }
    return 1;
}

int32_t Commerce::Pass() {
    if (!library) return kCommercePassFinished;
    ++busy;
    int32_t result = library->Loop(program, &state, Method(), Request(), fields, systemScope, passes);
    --busy;
    if (passes < INT32_MAX) ++passes;
    if (result == 0) return kCommercePassBody;
    if (result == 1) {
        loopFailed = true;
        FetchError();
    }
    return kCommercePassFinished;
}

void Commerce::FetchError() {
    ++busy;
    const char* text = library ? library->Error(program, &state, Method(), Request(), fields) : nullptr;
    --busy;
    if (text && text[0]) {
        SetError(String(text));
        return;
    }
    // A failure must never read as success to a script that tests the
    // error variable.
    String fallback("Commerce method '");
    fallback.Append(Method());
    fallback.Append("' failed");
    SetError(fallback);
}

} // namespace vorn
