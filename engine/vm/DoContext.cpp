#include "engine/vm/DoContext.h"

#include <cstdlib>
#include <cstring>

#include "engine/app/VornApplication.h"
#include "engine/files/File.h"
#include "engine/foundation/Config.h"
#include "engine/foundation/Messages.h"
#include "engine/program/Dictionary.h"
#include "engine/program/Segment.h"
#include "engine/program/TaggedFile.h"
#include "engine/values/FunctionManager.h"
#include "engine/values/Localisation.h"
#include "engine/values/VariableHash.h"

namespace vorn {

namespace {

constexpr int32_t kDoFunctionBits = 8;
constexpr int32_t kDoLanguageBits = 12;
constexpr int32_t kDoLanguageGrowth = 8;

} // namespace

// ---- DoExpression -------------------------------------------------------------------

DoExpression::DoExpression(const char* source, int32_t length, Segment* code, const String& message)
    : text(source ? source : "", source ? length : 0), segment(code), error(message) {}

DoExpression::~DoExpression() = default;

// ---- DoContext -----------------------------------------------------------------------

DoContext::DoContext(const char* nameText, int32_t nameLength, VornVM* callingVM, VariableHash* globals,
                     VariableHash* system, VornApplication* app, ExternalFunctionSource* calls,
                     CommerceSource* commerce, DatabaseLibrarySource* databaseLibraryManager)
    : caller(callingVM), callerGlobals(globals), callerSystem(system), application(app), externalCalls(calls),
      commerceLibraries(commerce), databaseLibraries(databaseLibraryManager),
      name(nameText ? nameText : "", nameText ? nameLength : 0) {
    path.Assign("");
    error.Assign("");
    expressions = new HashTable<DoExpression>(true, false, kDoTableBits, kDoTableGrowth);
}

DoContext::~DoContext() {
    // The VM refers to every table below, and its parent holds a use for it.
    if (vm) {
        VornVM* parent = vm->Parent();
        delete vm;
        vm = nullptr;
        if (parent) parent->ReleaseUse();
    }
    delete expressions;
    delete functions;
    delete segments;
    delete globalScope;
    delete systemScope;
    delete localizedTexts;
    delete languages; // reads through the reader and the pool
    delete pool;
    delete reader;
}

bool DoContext::Fail(const String& reason) {
    error.Assign(kUnableToOpen);
    error.AppendString(path);
    error.Append("': ");
    if (reason.IsEmpty())
        error.Append(kCorruptFileMessage);
    else
        error.AppendString(reason);
    return false;
}

bool DoContext::InUse() const {
    return vm && (vm->ChildCount() != 0 || vm->UseCount() != 0);
}

bool DoContext::Load(const char* absolutePath, File* file) {
    path.Assign(absolutePath ? absolutePath : "");
    FileManager* files = application ? application->GetFileManager() : nullptr;
    reader = new TaggedFile(files);
    if (!reader->OpenRead(path.Text(), file)) {
        delete file; // not taken by the reader
        return Fail(reader->ErrorText());
    }
    pool = new Dictionary();
    if (!pool->ReadChunk(*reader)) return Fail(pool->ErrorText());

    segments = new SegmentManager();
    functions = new FunctionManager(pool, kDoFunctionBits);
    localizedTexts = new LocalizedDictionary();
    languages = new LocalizedLanguages(application, pool, reader, kDoLanguageBits, kDoLanguageGrowth);
    systemScope = new ReferenceVariableHash(pool, callerSystem, kScopeBits, kScopeCapacity);
    globalScope = new ReferenceVariableHash(pool, callerGlobals, kScopeBits, kScopeCapacity);

    // The order a request loads its own program in.
    if (!systemScope->LoadSection(*reader, kSectionSyst)) return Fail(systemScope->Label());
    if (!globalScope->LoadSection(*reader, kSectionGlbl)) return Fail(globalScope->Label());
    if (!languages->Load()) return Fail(languages->ErrorText());
    if (!localizedTexts->Load(*reader)) return Fail(localizedTexts->ErrorText());
    if (!segments->Load(*reader)) return Fail(segments->ErrorText());
    if (!functions->ReadChunk(*reader)) return Fail(functions->ErrorText());

    // Null tick, time-out and exit places: the sub-program shares its parent's.
    vm = new VornVM(name.Text(), name.Length(), application, pool, systemScope, globalScope, segments,
                    functions, externalCalls, commerceLibraries, databaseLibraries, languages, localizedTexts,
                    nullptr, nullptr, nullptr, caller);
    if (caller) caller->AddUse();
    reader->ReleaseFile();
    return true;
}

// ---- The cache --------------------------------------------------------------------------

DoCache& DoCache::Of(VornVM& vm) {
    RunState*& slot = vm.Shared(RunSlot::SubPrograms);
    if (!slot) slot = new DoCache;
    return *static_cast<DoCache*>(slot);
}

DoCache::~DoCache() {
    // A context's VM may be the parent of another's: each pass deletes the
    // contexts nothing depends on, which frees their parents for the next
    // pass.
    bool progress = true;
    while (byUse.Count() > 0 && progress) {
        progress = false;
        DoContext* c = byUse.First();
        while (c) {
            if (c->InUse()) {
                c = byUse.Next();
                continue;
            }
            byUse.Remove(kListCurrent);
            DoContext* after = byUse.Current();
            contexts.Remove(c->Name().Text(), c->Name().Length());
            delete c;
            progress = true;
            c = after;
            if (c) byUse.Find(c);
        }
    }
    // What is still held would be freed under its holder's feet; it goes
    // with the process instead.
    byUse.RemoveAll();
}

void DoCache::Evict(VornApplication* application) {
    int32_t limit = 0;
    if (application) {
        if (Config* config = application->GetConfig()) limit = config->GetInteger(kConfigMaxDoCache);
    }
    if (limit <= 0 || byUse.Count() < limit) return;
    // Least recently used first; running contexts stay.
    DoContext* c = byUse.Last();
    while (c && byUse.Count() >= limit) {
        byUse.Find(c);
        DoContext* before = byUse.Previous();
        if (!c->InUse()) {
            byUse.Find(c);
            byUse.Remove(kListCurrent);
            contexts.Remove(c->Name().Text(), c->Name().Length());
            delete c;
        }
        c = before;
    }
}

DoContext* DoCache::Get(VornVM& vm, const char* name, int32_t length) {
    if (!name) {
        name = "";
        length = 0;
    }
    if (length < 0) length = static_cast<int32_t>(std::strlen(name));
    VornApplication* application = vm.Application();
    FileManager* files = application ? application->GetFileManager() : nullptr;
    if (!files) {
        vm.TagError(kTagDo, kNoFileManager);
        return nullptr;
    }

    // Relative names start from the caller's directory; the file manager's
    // rules then keep the result inside the script directory.
    String joined;
    char separator = files->PathSeparator();
    if (length > 0 && (name[0] == '/' || name[0] == separator)) {
        joined.Assign(name, length);
    } else {
        joined.Assign(vm.ProgramDirectory());
        joined.Append(name, length);
    }
    int32_t keyLength = 0;
    int32_t keySize = 0;
    char* keyText = files->MakePath(joined.Text(), &keyLength, &keySize);
    if (!keyText) {
        vm.TagError(kTagDo, kOutOfMemory);
        return nullptr;
    }
    String key(keyText, keyLength);
    std::free(keyText);

    if (DoContext* cached = contexts.Find(key.Text(), key.Length())) {
        if (byUse.First() != cached && byUse.Find(cached)) {
            byUse.Remove(kListCurrent);
            byUse.Insert(cached, kListHead);
        }
        return cached;
    }

    Evict(application);

    File* file = files->Open(LocationScript, key.Text(), OpenRead);
    if (!file) {
        vm.TagError(kTagDo, files->ErrorText());
        return nullptr;
    }
    auto* context =
        new DoContext(key.Text(), key.Length(), &vm, vm.GlobalScope(), vm.SystemScope(), application,
                      vm.ExternalCalls(), vm.CommerceLibraries(), vm.DatabaseLibraries());
    if (!context->Load(file->Path(), file)) {
        vm.TagError(kTagDo, context->error);
        delete context;
        return nullptr;
    }
    contexts.Insert(context);
    byUse.Insert(context, kListHead);
    return context;
}

} // namespace vorn
