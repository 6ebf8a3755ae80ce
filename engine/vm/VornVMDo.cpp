// VrDO: running another compiled file, whole (op_do_file) or one call
// expression in it (op_do_function), through the request's context cache.
#include <cstdlib>
#include <cstring>

#include "engine/app/VornApplication.h"
#include "engine/files/File.h"
#include "engine/foundation/Config.h"
#include "engine/foundation/Output.h"
#include "engine/program/Dictionary.h"
#include "engine/program/Segment.h"
#include "engine/program/TaggedFile.h"
#include "engine/values/FunctionManager.h"
#include "engine/values/Localisation.h"
#include "engine/values/VariableHash.h"
#include "engine/vm/DoContext.h"
#include "engine/vm/VornVM.h"

namespace vorn {

namespace {

constexpr int32_t kDoFunctionBits = 8;
constexpr int32_t kDoLanguageBits = 12;
constexpr int32_t kDoLanguageGrowth = 8;

constexpr char kNoFileManager[] = "There is no file manager";

// VrDO runs nested on this thread: each nests the interpreter loop.
thread_local int32_t doNesting = 0;

} // namespace

// ---- DoExpression -------------------------------------------------------------------

DoExpression::DoExpression(const char* source, int32_t length, Segment* code, const String& message)
    : text(source ? source : "", source ? length : 0), segment(code), error(message) {}

DoExpression::~DoExpression() = default;

// ---- DoContext -----------------------------------------------------------------------

DoContext::DoContext(const char* nameText, int32_t nameLength, VornVM* callingVM, VariableHash* globals,
                     VariableHash* system, VornApplication* app, ExternalFunctionSource* calls,
                     CommerceSource* commerce, DatabaseLibrarySource* databaseLibraryManager)
    : caller(callingVM),
      callerGlobals(globals),
      callerSystem(system),
      application(app),
      externalCalls(calls),
      commerceLibraries(commerce),
      databaseLibraries(databaseLibraryManager),
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
    error.Assign("Unable to open '");
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
    vm = new VornVM(name.Text(), name.Length(), application, pool, systemScope, globalScope, segments, functions,
                    externalCalls, commerceLibraries, databaseLibraries, languages, localizedTexts, nullptr, nullptr,
                    nullptr, caller);
    if (caller) caller->AddUse();
    reader->ReleaseFile();
    return true;
}

// ---- The cache --------------------------------------------------------------------------

void VornVM::CreateDoContainers() {
    // Keys are paths of a case-sensitive file system.
    doContexts = new HashTable<DoContext>(false, false, kDoTableBits, kDoTableGrowth);
    doContextList = new List<DoContext>(false);
    doExpressions = new HashTable<DoExpression>(true, true, kDoTableBits, kDoTableGrowth);
}

void VornVM::DeleteDoContainers() {
    if (doContextList) {
        // A context's VM may be the parent of another's: each pass deletes
        // the contexts nothing depends on, which frees their parents for the
        // next pass.
        bool progress = true;
        while (doContextList->Count() > 0 && progress) {
            progress = false;
            DoContext* c = doContextList->First();
            while (c) {
                if (c->InUse()) {
                    c = doContextList->Next();
                    continue;
                }
                doContextList->Remove(kListCurrent);
                DoContext* after = doContextList->Current();
                if (doContexts) doContexts->Remove(c->Name().Text(), c->Name().Length());
                delete c;
                progress = true;
                c = after;
                if (c) doContextList->Find(c);
            }
        }
        // What is still held would be freed under its holder's feet; it goes
        // with the process instead.
        doContextList->RemoveAll();
    }
    delete doContexts;
    doContexts = nullptr;
    delete doContextList;
    doContextList = nullptr;
    delete doExpressions;
    doExpressions = nullptr;
}

void VornVM::EvictDoContexts() {
    int32_t limit = 0;
    if (application) {
        if (Config* config = application->GetConfig()) limit = config->GetInteger(kConfigMaxDoCache);
    }
    if (limit <= 0 || !doContextList || doContextList->Count() < limit) return;
    // Least recently used first; running contexts stay.
    DoContext* c = doContextList->Last();
    while (c && doContextList->Count() >= limit) {
        doContextList->Find(c);
        DoContext* before = doContextList->Previous();
        if (!c->InUse()) {
            doContextList->Find(c);
            doContextList->Remove(kListCurrent);
            if (doContexts) doContexts->Remove(c->Name().Text(), c->Name().Length());
            delete c;
        }
        c = before;
    }
}

DoContext* VornVM::GetDoContext(const char* name, int32_t length) {
    if (!name) {
        name = "";
        length = 0;
    }
    if (length < 0) length = static_cast<int32_t>(std::strlen(name));
    FileManager* files = application ? application->GetFileManager() : nullptr;
    if (!files || !doContexts || !doContextList) {
        TagError(kTagDo, kNoFileManager);
        return nullptr;
    }

    // Relative names start from the caller's directory; the file manager's
    // rules then keep the result inside the script directory.
    String joined;
    char separator = files->PathSeparator();
    if (length > 0 && (name[0] == '/' || name[0] == separator)) {
        joined.Assign(name, length);
    } else {
        joined.Assign(programDirectory);
        joined.Append(name, length);
    }
    int32_t keyLength = 0;
    int32_t keySize = 0;
    char* keyText = files->MakePath(joined.Text(), &keyLength, &keySize);
    if (!keyText) {
        TagError(kTagDo, "Out of memory");
        return nullptr;
    }
    String key(keyText, keyLength);
    std::free(keyText);

    if (DoContext* cached = doContexts->Find(key.Text(), key.Length())) {
        if (doContextList->First() != cached && doContextList->Find(cached)) {
            doContextList->Remove(kListCurrent);
            doContextList->Insert(cached, kListHead);
        }
        return cached;
    }

    EvictDoContexts();

    File* file = files->Open(LocationScript, key.Text(), OpenRead);
    if (!file) {
        TagError(kTagDo, files->ErrorText());
        return nullptr;
    }
    auto* context = new DoContext(key.Text(), key.Length(), this, globalScope, systemScope, application,
                                  externalCalls, commerceLibraries, databaseLibraries);
    if (!context->Load(file->Path(), file)) {
        TagError(kTagDo, context->error);
        delete context;
        return nullptr;
    }
    doContexts->Insert(context);
    doContextList->Insert(context, kListHead);
    return context;
}

// ---- Running a context --------------------------------------------------------------------

int VornVM::RunDoContext(DoContext* context, Segment* expression) {
    VornVM* sub = context->vm;
    int32_t mark = sub->FeatureCount();
    // The sub-program runs its code the way its caller does.
    sub->decodeSegments = decodeSegments;
    ++sub->childCount;
    ++doNesting;
    int result = expression ? sub->RunSegment(expression, stack, frame ? ScopeOf(frame) : nullptr)
                            : sub->RunCurrentSegment();
    --doNesting;
    // Whatever the run left open ends with it, not with the request.
    sub->ReleaseFeaturesAbove(mark);
    --sub->childCount;
    if (!result) {
        lastError = sub->lastError;
        aborted = 1;
        return 0;
    }
    if (Output* output = application ? application->GetOutput() : nullptr)
        output->SetMode(static_cast<int32_t>(frame ? frame->outputMode : 0));
    return 1;
}

int VornVM::PopDoContext(DoContext** context) {
    *context = nullptr;
    int32_t length = 0;
    int32_t size = 0;
    char* name = stack->PopCString(&length, &size);
    if (aborted) {
        std::free(name);
        return 0;
    }
    ClearTagError(kTagDo);
    if (doNesting >= kDoMaxNesting) {
        std::free(name);
        FatalError(kDoNestingTooDeep);
        return 0;
    }
    *context = GetDoContext(name, length);
    std::free(name);
    return 1;
}

void VornVM::OpDoFile() {
    DoContext* context;
    if (!PopDoContext(&context) || !context) return;

    if ((traceFlags & LogDoEnter) && TraceAccepts())
        LogEvent(LogDoEnter, context->path.Text(), context->path.Length());
    if (!RunDoContext(context, nullptr)) return;
    if ((traceFlags & LogDoExit) && TraceAccepts())
        LogEvent(LogDoExit, context->path.Text(), context->path.Length());
    lastTracedLine = 0;
}

void VornVM::OpDoFunction() {
    StackText expression;
    stack->PopText(expression);
    DoContext* context;
    if (!PopDoContext(&context)) return;
    if (!context) {
        stack->PushVariable(NullVariable(), false);
        return;
    }

    DoExpression* compiled = context->expressions->Find(expression.text, expression.length);
    if (!compiled) {
        String message;
        int32_t fileLength = 0;
        const char* file = SourceFileName(&fileLength);
        // Positioned at the caller's source line.
        Segment* code = context->vm->CompileExpression(expression.text, expression.length,
                                                       fileLength > 0 ? file : nullptr, fileLength, line, &message);
        compiled = new DoExpression(expression.text, expression.length, code, message);
        context->expressions->Insert(compiled);
    }
    if (!compiled->segment) {
        TagError(kTagDo, compiled->error);
        stack->PushVariable(NullVariable(), false);
        return;
    }

    if (!RunDoContext(context, compiled->segment)) {
        stack->PushVariable(NullVariable(), false);
        return;
    }
    lastTracedLine = 0;
}

} // namespace vorn
