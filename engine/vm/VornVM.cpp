#include "engine/vm/VornVM.h"

#include <cstring>

#include "engine/app/VornApplication.h"
#include "engine/files/File.h"
#include "engine/foundation/Config.h"
#include "engine/foundation/LittleEndian.h"
#include "engine/program/Dictionary.h"
#include "engine/program/InstructionSet.h"
#include "engine/program/Segment.h"
#include "engine/values/FunctionManager.h"
#include "engine/values/Variable.h"
#include "engine/values/VariableHash.h"
#include "engine/vm/ExternalFunctionSource.h"

namespace vorn {

namespace {

constexpr int32_t kTokenTableBits = 6;
constexpr int32_t kTokenTableCapacity = 16;

} // namespace

// ---- Construction ----------------------------------------------------------

RunState::~RunState() = default;

VornVM::VornVM(const char* programNameText, int32_t programNameLength, VornApplication* app, Dictionary* stringPool,
               VariableHash* system, VariableHash* global, SegmentManager* segmentManager,
               FunctionManager* functionTable, ExternalFunctionSource* externalCallManager,
               CommerceSource* commerce, DatabaseLibrarySource* databaseLibraryManager,
               LocalizedLanguages* languageTable, LocalizedDictionary* texts, std::atomic<uint32_t>* ticks,
               std::atomic<int32_t>* timedOutFlag, std::atomic<int32_t>* exitFlag, VornVM* parentVM,
               const TagErrorTable* tags)
    : programName(programNameText ? programNameText : "", programNameText ? programNameLength : 0),
      tickCounter(ticks),
      timedOut(timedOutFlag),
      exitRequested(exitFlag),
      application(app),
      pool(stringPool),
      systemScope(system),
      globalScope(global),
      segments(segmentManager),
      functions(functionTable),
      externalCalls(externalCallManager),
      commerceLibraries(commerce),
      databaseLibraries(databaseLibraryManager),
      languages(languageTable),
      localizedTexts(texts),
      parent(parentVM),
      root(parentVM ? parentVM->root : this) {
    lastError.Assign("");
    messagePrefix.Assign("");

    // Few programs set more than a handful of tokens.
    tokens = new VariableHash(pool, kTokenTableBits, kTokenTableCapacity);
    nullVariable = new NULLVariable();
    requestTags = tags ? tags : (parent ? parent->requestTags : nullptr);
    const TagErrorEntry* rows = requestTags ? requestTags->rows : BuiltInTagErrors();
    for (int32_t i = 0; i < kTagErrorRows; ++i) tagErrors[i] = rows[i];

    for (int32_t k = 0; k < kSpareLists; ++k) readySlots[k] = k + 1;
    VornVM_Frame* first = new VornVM_Frame;
    first->SetScope(globalScope, false);
    first->SetStack(new VornVM_Stack(this), true);
    SetCurrentFrame(first);

    if (segments) {
        segment = segments->CurrentSegment();
        if (segment) {
            code = segment->Code();
            codeLength = segment->Used();
            segmentIndex = loadedSegment = segment->Index();
        }
    }
    pc = 0;

    // The directory part of the program name, separator included.
    char separator = '/';
    if (application) {
        if (FileManager* files = application->GetFileManager()) separator = files->PathSeparator();
    }
    for (int32_t i = programName.Length() - 1; i >= 0; --i) {
        char c = programName.Text()[i];
        if (c == '/' || c == separator) {
            programDirectory = programName.Left(i + 1);
            break;
        }
    }
    if (programDirectory.IsNull()) programDirectory.Assign("");

    if (parent) {
        if (!tickCounter) tickCounter = parent->tickCounter;
        if (!timedOut) timedOut = parent->timedOut;
        if (!exitRequested) exitRequested = parent->exitRequested;
        ++parent->childCount;
    }
    if (!exitRequested) exitRequested = &ownExitFlag;
    if (tickCounter) lastTick = tickCounter->load(std::memory_order_relaxed);

    traceFlags = 0;
    if (!(pool && (pool->HeaderWord() & 1u)) && application) {
        if (Config* config = application->GetConfig()) {
            int32_t level = config->GetInteger(kConfigLogLevel);
            if (level > 0) traceFlags = static_cast<uint32_t>(level);
        }
    }
}

VornVM::~VornVM() {
    // Library data of the request goes while the program still works.
    if (!parent && externalCalls) externalCalls->ProgramEnding(this);
    // Frames first: their stacks may hold references into the scopes. A
    // ready frame in use goes with the chain (one that a failed call left
    // marked in use, off it, goes here).
    for (VornVM_FunctionFrame*& ready : readyFrames) {
        VornVM_Frame* in = ready && ready->previous ? frame : nullptr;
        while (in && in != ready) in = in->previous;
        if (ready && !in) delete ready;
        ready = nullptr;
    }
    while (frame) {
        VornVM_Frame* below = frame->previous;
        delete frame;
        frame = below;
    }
    for (VornVM_FunctionFrame*& spare : spareFrames)
        while (VornVM_FunctionFrame* f = spare) {
            spare = f->nextSpare;
            delete f;
        }
    stack = nullptr;
    delete dynamicStack;
    dynamicStack = nullptr;
    if (nullVariable) nullVariable->Release();
    nullVariable = nullptr;

    // Open features, top first; each is unlinked before it is deleted so a
    // destructor that looks at the stack sees a consistent one.
    while (Feature* top = features.Top()) {
        features.Unlink(top);
        delete top;
    }

    if (parent) {
        --parent->childCount;
    } else {
        // The slot stays set while its state is deleted: what that deletes
        // may still look the state up.
        for (RunState*& state : runStates) {
            delete state;
            state = nullptr;
        }
    }
    delete tokens;
    tokens = nullptr;
}

Variable* VornVM::NullVariable() const {
    return nullVariable;
}

bool VornVM::ExitRequested() const {
    return exitRequested->load(std::memory_order_relaxed) != 0;
}

void VornVM::RequestExit() {
    exitRequested->store(1, std::memory_order_relaxed);
}

// ---- Segments and runs -------------------------------------------------------

bool VornVM::LoadSegment(int32_t index) {
    Segment* s = segments ? segments->SegmentAt(index) : nullptr;
    if (!s) return false;
    segment = s;
    code = s->Code();
    codeLength = s->Used();
    loadedSegment = index;
    return true;
}

int VornVM::SelectSegment() {
    if (!LoadSegment(segmentIndex)) return FatalError(kErrorInvalidSegment);
    return 1;
}

bool VornVM::JumpBy(int32_t displacement) {
    int64_t target = static_cast<int64_t>(pc) + displacement;
    if (target < 0 || target > codeLength) {
        FatalError(kErrorInvalidJump);
        return false;
    }
    pc = static_cast<int32_t>(target);
    return true;
}

void VornVM::UnwindTo(VornVM_Frame* stop) {
    while (frame && frame != stop) {
        VornVM_Frame* below = frame->previous;
        ReleaseFrameFeatures(frame);
        DropFrame(frame);
        frame = below;
    }
    SetCurrentFrame(frame);
}

int VornVM::RunCurrentSegment() {
    Segment* s = segments ? segments->CurrentSegment() : nullptr;
    if (!s) return FatalError(kErrorInvalidSegment);
    VornVM_Frame* saved = frame;
    VornVM_Frame* run = new VornVM_Frame;
    run->returnSegment = segmentIndex;
    run->returnPc = pc;
    run->SetScope(globalScope, false);
    run->SetStack(new VornVM_Stack(this), true);
    run->outputMode = 0;
    SetCurrentFrame(run);
    segment = s;
    code = s->Code();
    codeLength = s->Used();
    segmentIndex = loadedSegment = s->Index();
    pc = 0;

    int result = Execute();

    UnwindTo(run);
    segmentIndex = loadedSegment = run->returnSegment;
    pc = run->returnPc;
    for (Feature* f = features.Top(); f; f = features.Next())
        if (f->frame == run) f->frame = nullptr;
    delete run;
    SetCurrentFrame(saved);
    if (!LoadSegment(segmentIndex)) {
        segment = nullptr;
        code = nullptr;
        codeLength = 0;
    }
    return result;
}

int VornVM::RunSegment(Segment* s, VornVM_Stack* onStack, VariableHash* inScope) {
    if (!s) return FatalError(kErrorInvalidSegment);
    VornVM_Frame* saved = frame;
    VornVM_Frame* run = new VornVM_Frame;
    run->returnSegment = segmentIndex;
    run->returnPc = pc;
    run->SetScope(inScope ? inScope : (saved ? ScopeOf(saved) : globalScope), false);
    run->SetStack(onStack ? onStack : stack, false);
    run->outputMode = saved ? saved->outputMode : 0;
    SetCurrentFrame(run);
    Segment* savedSegment = segment;
    const uint8_t* savedCode = code;
    int32_t savedLength = codeLength;
    int32_t savedLoaded = loadedSegment;
    segment = s;
    code = s->Code();
    codeLength = s->Used();
    segmentIndex = loadedSegment = s->Index();
    pc = 0;

    int result = Execute();

    UnwindTo(run);
    segmentIndex = run->returnSegment;
    pc = run->returnPc;
    for (Feature* f = features.Top(); f; f = features.Next())
        if (f->frame == run) f->frame = nullptr;
    delete run;
    SetCurrentFrame(saved);
    if (LoadSegment(segmentIndex)) {
        // reloaded from the manager
    } else if (savedLoaded == segmentIndex) {
        // A segment outside the manager (compiled at run time) was running.
        segment = savedSegment;
        code = savedCode;
        codeLength = savedLength;
        loadedSegment = savedLoaded;
    } else {
        segment = nullptr;
        code = nullptr;
        codeLength = 0;
        loadedSegment = segmentIndex;
    }
    return result;
}

int VornVM::EvaluateBoolean(Segment* s, VornVM_Stack* onStack, VariableHash* inScope, bool* result) {
    if (result) *result = false;
    VornVM_Stack* target = onStack ? onStack : stack;
    if (!RunSegment(s, onStack, inScope) || aborted) return 0;
    bool value = target->PopBoolean();
    if (aborted) return 0;
    if (result) *result = value;
    return 1;
}

int VornVM::EvaluateString(Segment* s, VornVM_Stack* onStack, VariableHash* inScope, const char** text,
                           int32_t* length, int32_t* size, bool* owned) {
    if (text) *text = "";
    if (length) *length = 0;
    if (size) *size = 0;
    if (owned) *owned = false;
    VornVM_Stack* target = onStack ? onStack : stack;
    if (!RunSegment(s, onStack, inScope) || aborted) return 0;
    int32_t n = 0;
    int32_t m = 0;
    bool own = false;
    const char* value = target->PopString(&n, &m, &own);
    if (aborted) {
        if (own) std::free(const_cast<char*>(value));
        return 0;
    }
    if (text) {
        *text = value;
    } else if (own) {
        std::free(const_cast<char*>(value));
        own = false;
    }
    if (length) *length = n;
    if (size) *size = m;
    if (owned) *owned = own;
    return 1;
}

// ---- Variable lookup ---------------------------------------------------------------

namespace {

// Whether a frame's locals may hold the variable a path starts with. A
// function's locals kept in slots hold only the names of its locals table;
// for any other name their scope by name is not built just to find nothing.
bool LocalsMayHold(VornVM_Frame* f, const char* path, int32_t length) {
    if (!f->usesSlots) return true;
    VariableHash* names = static_cast<VornVM_FunctionFrame*>(f)->function->Locals();
    if (!names) return true;
    int32_t p = 0;
    while (p < length && path[p] != ':' && path[p] != '[') ++p;
    return names->Find(nullptr, path, p, false);
}

} // namespace

bool VornVM::LookupVariable(Variable** out, const char* name, int32_t length, String* error) {
    Variable* dummy = nullptr;
    if (!out) out = &dummy;
    *out = nullptr;
    if (!name) name = "";
    if (length < 0) length = static_cast<int32_t>(std::strlen(name));
    const char* rest = nullptr;
    int32_t restLength = 0;
    const char* alias = nullptr;
    int32_t aliasLength = 0;
    int32_t scope = ParseScopePrefix(name, length, &rest, &restLength, &alias, &aliasLength);

    auto resolve = [&](VariableHash* table, bool create) -> int {
        // 1 found, 0 not found, -1 refused
        if (!table) return 0;
        if (!table->ResolvePath(out, rest, restLength, create)) {
            if (error) error->Assign(table->Label());
            *out = nullptr;
            return -1;
        }
        return *out ? 1 : 0;
    };
    auto* fields = static_cast<FieldNames*>(Shared(RunSlot::Databases));
    auto inDatabases = [&]() -> bool {
        Variable* v = fields ? fields->FindField(rest, restLength) : nullptr;
        if (v) *out = v;
        return v != nullptr;
    };

    switch (scope) {
    case kScopeLocal: return resolve(LocalScope(), true) >= 0;
    case kScopeGlobal: return resolve(globalScope, true) >= 0;
    case kScopeSystem: return resolve(systemScope, false) >= 0;
    case kScopeDatabase:
        if (alias) {
            *out = FindViewVariable(alias, aliasLength, rest, restLength);
            return true;
        }
        inDatabases();
        return true;
    default: break;
    }
    int r = resolve(systemScope, false);
    if (r != 0) return r > 0;
    if (frame && frame->previous && LocalsMayHold(frame, rest, restLength)) {
        r = resolve(LocalScope(), false);
        if (r != 0) return r > 0;
    }
    if (inDatabases()) return true;
    return resolve(globalScope, true) >= 0;
}

Variable* VornVM::FindViewVariable(const char* alias, int32_t aliasLength, const char* field, int32_t fieldLength) {
    auto* fields = static_cast<FieldNames*>(Shared(RunSlot::Databases));
    return fields ? fields->FindViewField(alias, aliasLength, field, fieldLength) : nullptr;
}

Variable* VornVM::LookupVariableOrFail(const char* name, int32_t length) {
    Variable* v = nullptr;
    String error;
    if (!LookupVariable(&v, name, length, &error)) {
        FatalError(error);
        return nullptr;
    }
    return v ? v : nullVariable;
}

Variable* VornVM::FindOrCreateGlobal(const char* name, int32_t length) {
    if (!globalScope || !name) return nullptr;
    if (length < 0) length = static_cast<int32_t>(std::strlen(name));
    Variable* v = nullptr;
    if (globalScope->Find(&v, name, length, true) && v) return v;
    v = new Variable(name, length);
    if (globalScope->Insert(v) < 0) return nullptr;
    return v;
}

const char* VornVM::PoolText(int32_t index, int32_t* length) {
    const char* text = pool ? pool->Get(index, length) : nullptr;
    if (!text) FatalError(kErrorInvalidDictionary);
    return text;
}

// ---- Features -------------------------------------------------------------------------

void VornVM::PushFeature(Feature* feature) {
    if (feature) features.Push(feature);
}

Feature* VornVM::FindFeature(int32_t kind) {
    for (Feature* f = features.Top(); f; f = features.Next())
        if (f->kind == kind) return f;
    return nullptr;
}

void VornVM::RemoveFeature(Feature* feature) {
    if (feature && features.Unlink(feature)) delete feature;
}

void VornVM::ReleaseFrameFeatures(VornVM_Frame* owner) {
    if (!owner) return;
    // Start over after every deletion: a feature's destructor may change the
    // stack (ending a capture, for instance).
    for (;;) {
        Feature* found = nullptr;
        for (Feature* f = features.Top(); f; f = features.Next()) {
            if (f->frame == owner) {
                found = f;
                break;
            }
        }
        if (!found) return;
        features.Unlink(found);
        delete found;
    }
}

void VornVM::ReleaseFeaturesAbove(int32_t mark) {
    if (mark < 0) mark = 0;
    while (features.Count() > mark) {
        Feature* top = features.Top();
        if (!top) return;
        features.Unlink(top);
        delete top;
    }
}

void VornVM::NotifyFeatures() {
    if (tickCounter) lastTick = tickCounter->load(std::memory_order_relaxed);
    if (parent) parent->NotifyFeatures();
    // By position, so a tick that opens or ends features cannot leave a
    // cursor on a freed node.
    for (int32_t i = 0; i < features.Count(); ++i) {
        if (Feature* f = features.At(i)) f->Tick();
    }
}

} // namespace vorn
