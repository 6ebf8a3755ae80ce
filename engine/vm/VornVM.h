// The virtual machine: runs one compiled program for one request (or one
// VrDO sub-program), interpreting its instruction words until the program
// ends, exits, fails fatally or times out.
//
// The VM owns its frames, operand stacks and open features. The program's
// tables (string pool, scopes, segments, functions, localisation) are handed
// in and stay with their owner. What the tag groups keep for a run (the
// open databases, the VrDO cache) is theirs, in the run's shared slots.
//
// Every word's handler is named in its row of the instruction table
// (VORN_INSTRUCTIONS): Op and the mnemonic's words in camel case, without
// the op_ of the tag words (OpAdd for add, OpJmpEq for jmp_eq, OpDbOpen for
// dbopen, OpDoFile for op_do_file). The core's handlers are members of this
// class; the tag groups' are functions of their own units taking the VM
// (TagGroups.h). They pop their operands from the current stack, read the
// decoded immediates (immA/immB, immADouble/immBDouble for double
// immediates; ImmA() and ImmB() in the groups) and push their results. A
// handler always completes its pops before it looks at whether the run is
// aborted.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/app/VornApplication.h"
#include "engine/foundation/Messages.h"
#include "engine/foundation/String.h"
#include "engine/vm/Feature.h"
#include "engine/vm/TagErrors.h"
#include "engine/vm/VornVMFrame.h"
#include "engine/vm/VornVMMessages.h"
#include "engine/vm/VornVMStack.h"

namespace vorn {

class CommerceSource;
class Dictionary;
struct DecodedOp;
class ExternalFunctionSource;
class DatabaseLibrarySource;
class Function;
class FunctionManager;
class LocalizedDictionary;
class LocalizedLanguages;
class NULLVariable;
class Segment;
class SegmentManager;
class Variable;
class VariableHash;
class VariableList;
class VornApplication;

// The global entries the interpreter loop found to be plain scalars
// (Variable::IsPlainScalar), so that its fast paths reach them without
// checking again: true until something runs that could make one an alias or
// an aggregate or put another variable in its entry (a handler, a call out
// of the loop, an assignment of any value, an element store that may turn a
// scalar into an array), which Forget()s them all, as every start of a run
// does. Kept by the VM: the decoded forms are shared.
class KnownGlobals {
public:
    KnownGlobals() = default;
    ~KnownGlobals();
    KnownGlobals(const KnownGlobals&) = delete;
    KnownGlobals& operator=(const KnownGlobals&) = delete;

    // The global scope, when it is of the plain class (else none is known).
    VariableHash* scope = nullptr;
    // Room for entries 0 .. n - 1 (the entries a decoded form names), which
    // Plain then takes without a bounds check.
    void Reserve(int32_t n) {
        if (static_cast<uint32_t>(n) > room) Grow(static_cast<uint32_t>(n));
    }
    // Entry i's variable, whatever it is, or null.
    Variable* Entry(int32_t i) const;
    // Entry i's variable when it is a plain scalar, else null.
    [[gnu::always_inline]] Variable* Plain(int32_t i) {
        Variable* v = table[i];
        return v ? v : Learn(i);
    }
    [[gnu::always_inline]] void Forget() {
        if (count) ForgetAll();
    }

private:
    Variable* Learn(int32_t i);
    void Grow(uint32_t n);
    void ForgetAll();
    Variable** table = nullptr;
    uint32_t room = 0;
    // The entries set in table, to clear them again (each at most once
    // between two Forgets).
    int32_t* filled = nullptr;
    int32_t count = 0;
};

// What a tag group keeps for a whole run, shared by the top VM and every
// sub-program below it: made by the group on first use, deleted as the top
// VM ends.
class RunState {
public:
    RunState() = default;
    virtual ~RunState();
    RunState(const RunState&) = delete;
    RunState& operator=(const RunState&) = delete;
};

// The run's slots, deleted in this order: a database opened by a
// sub-program holds a use of that sub-program's VM, which the VrDO cache
// deletes.
enum class RunSlot : uint8_t { Databases, SubPrograms };
inline constexpr int32_t kRunSlots = 2;

// The state of the Databases slot as the name lookup sees it: the fields of
// the open databases' views.
class FieldNames : public RunState {
public:
    // The first field of that name among the open databases, or null.
    virtual Variable* FindField(const char* name, int32_t length) = 0;
    // The field of the view of that alias, or null.
    virtual Variable* FindViewField(const char* alias, int32_t aliasLength, const char* name, int32_t length) = 0;
};

class VornVM {
public:
    // programName (length -1: up to the NUL) names the compiled file. The
    // pointers to the tick counter and the time-out and exit flags may be
    // null: a sub-program takes its parent's, a top VM then has none. tags is
    // the request's copy of the tag table (null: the built-in table; a
    // sub-program given null copies the table its parent was built from).
    VornVM(const char* programName, int32_t programNameLength, VornApplication* application, Dictionary* pool,
           VariableHash* systemScope, VariableHash* globalScope, SegmentManager* segments,
           FunctionManager* functions, ExternalFunctionSource* externalCalls,
           CommerceSource* commerceLibraries, DatabaseLibrarySource* databaseLibraries,
           LocalizedLanguages* languages, LocalizedDictionary* localizedTexts,
           std::atomic<uint32_t>* tickCounter, std::atomic<int32_t>* timedOut,
           std::atomic<int32_t>* exitRequested, VornVM* parent, const TagErrorTable* tags = nullptr);
    virtual ~VornVM();
    VornVM(const VornVM&) = delete;
    VornVM& operator=(const VornVM&) = delete;

    // ==== Calls (VornVMCalls.cpp) ===========================================
    // The two call paths of the call instruction; each takes its arguments
    // from the current stack and leaves one result there. 1 on success.
    virtual int CallExternalFunction(Function* function);
    virtual int CallScriptFunction(Function* function);
    // Calls a script function by name from outside the interpreter; true
    // when it ran to its end without the VM being aborted.
    bool CallFunction(const char* name, int32_t length, VariableList* arguments, Variable* result);
    bool CallProcessFileUpload(const char* t1, int32_t l1, const char* t2, int32_t l2, const char* t3, int32_t l3,
                               const char* t4, int32_t l4, const char* t5, int32_t l5, int32_t number);
    bool CallValidateFileUpload(const char* t1, int32_t l1, const char* t2, int32_t l2, const char* t3,
                                int32_t l3, int32_t* result);

    // ==== Running (VornVM.cpp) ===============================================
    // Runs the program from the segment manager's current segment.
    int RunCurrentSegment();
    // Runs one segment to its end in a new frame; stack and scope may be null
    // for the current frame's.
    int RunSegment(Segment* segment, VornVM_Stack* onStack, VariableHash* inScope);
    // RunSegment, then the result popped as a truth value / as text (the
    // caller frees *text when *owned). 0 when the run failed.
    int EvaluateBoolean(Segment* segment, VornVM_Stack* onStack, VariableHash* inScope, bool* result);
    int EvaluateString(Segment* segment, VornVM_Stack* onStack, VariableHash* inScope, const char** text,
                       int32_t* length, int32_t* size, bool* owned);
    // RunSegment counted toward the bound on interpreter runs nested through
    // calls from outside (plug-ins running expressions that call plug-ins):
    // past it, "Function call nesting too deep" and 0.
    int RunNestedSegment(Segment* segment, VornVM_Stack* onStack, VariableHash* inScope);
    // The program's own stack for dynamic expressions run by plug-ins, made on
    // first use and deleted with the program.
    VornVM_Stack* DynamicExpressionStack();
    // Compiles expression text (length -1: up to the NUL) into a new segment
    // against this program's pool and functions and the request's libraries;
    // sourceFile (may be null) and line position its errors. Null, with
    // *error set, on failure.
    Segment* CompileExpression(const char* text, int32_t length, const char* sourceFile,
                               int32_t sourceFileLength, int32_t line, String* error);
    // The same for the keys and filters of a database: field references
    // without an alias (D.field) name databaseName (may be null).
    Segment* CompileDatabaseExpression(const char* text, int32_t length, const char* databaseName,
                                       String* error);
    // The interpreter loop: 1 when the run ended normally (segment end or
    // exit), 0 when aborted or timed out. Running out of memory is a fatal
    // error of the run ("Out of memory"), never the end of the process.
    int Execute();
    // The handler of an instruction word, or null for an illegal word
    // (InstructionHandlers.cpp).
    using Handler = void (*)(VornVM&);
    static Handler HandlerOf(uint16_t word);
    // Every handler is run through here, whatever form a handler takes.
    [[gnu::always_inline]] void RunHandler(Handler handler) { handler(*this); }
    // Makes the segment at segmentIndex current; "Invalid segment reference"
    // (and 0) when there is none.
    int SelectSegment();

    // ==== Names and scopes (VornVM.cpp) =========================================
    // Resolves a script variable name with its scope prefix. False (with the
    // scope's message in *error, when given) for a name the scope refuses; a
    // name that resolves to nothing gives true and a null *out.
    bool LookupVariable(Variable** out, const char* name, int32_t length, String* error);
    // LookupVariable reporting a refusal as a fatal error (null then). A name
    // that resolves to nothing gives the VM's NULL variable.
    Variable* LookupVariableOrFail(const char* name, int32_t length);
    // The global of that name, made when missing (null only when the name
    // cannot be stored).
    Variable* FindOrCreateGlobal(const char* name, int32_t length);
    // The field of the view of that alias among the open databases, or null.
    Variable* FindViewVariable(const char* alias, int32_t aliasLength, const char* field, int32_t fieldLength);
    // The pool text of index (length in *length), or null after reporting
    // "Invalid dictionary reference".
    const char* PoolText(int32_t index, int32_t* length);

    // ==== Errors (VornVMErrors.cpp) ===============================================
    // Each returns 0, so handlers can `return FatalError(...)`.
    int FatalError(const char* message);
    int FatalError(const String& message);
    // The same report when memory ran out: written without taking any.
    void FatalErrorWithoutMemory(const char* message);
    int RuntimeError(int32_t tagId, const char* message, int32_t length = -1);
    int RuntimeError(int32_t tagId, const String& message);
    // The message entity-encoded, then RuntimeError.
    int TagError(int32_t tagId, const char* message, int32_t length = -1);
    int TagError(int32_t tagId, const String& message);
    // Empties the tag's "_Error" global.
    void ClearTagError(int32_t tagId);
    // The row of a tag id, or null for ids of 76 and above.
    TagErrorEntry* TagErrorRow(int32_t tagId);
    // "[%08x:%08x]" of the current segment and instruction.
    void AppendPosition(String& out);
    // The current source-file name (empty when unknown), loaded from the pool
    // on first use after sourcefile.
    const char* SourceFileName(int32_t* length);
    // Whether the application's log filter takes an event at the current
    // source position.
    bool TraceAccepts();
    // Logs an event with program, source file and line and optional extra
    // text fields (null texts are left out).
    void LogEvent(uint32_t kind, const char* text1 = nullptr, int32_t length1 = 0, const char* text2 = nullptr,
                  int32_t length2 = 0);

    // ==== Features (VornVM.cpp) =====================================================
    void PushFeature(Feature* feature);
    // The innermost open feature of that kind, or null.
    Feature* FindFeature(int32_t kind);
    // Unlinks and deletes the feature; one not on the stack changes nothing.
    void RemoveFeature(Feature* feature);
    // Unlinks and deletes every feature that frame opened, top first; the
    // return of a script function calls it with its frame.
    void ReleaseFrameFeatures(VornVM_Frame* owner);
    // Unlinks and deletes features from the top until mark remain.
    void ReleaseFeaturesAbove(int32_t mark);
    int32_t FeatureCount() const { return features.Count(); }
    // The periodic tick: the parent's features first, then this VM's.
    void NotifyFeatures();
    VornVM_Frame* CurrentFrame() const { return frame; }

    // ==== The run's shared slots and uses (VornVM.cpp) ================================
    // The top VM's slot: every sub-program below it sees the same one.
    RunState*& Shared(RunSlot slot) { return root->runStates[static_cast<int32_t>(slot)]; }
    // The use count held by databases, filters, the sub-programs loaded below
    // this one and the runs of this one as a sub-program.
    void AddUse() { ++useCount; }
    void ReleaseUse() { --useCount; }
    int32_t UseCount() const { return useCount; }

    // ==== What the tag groups' handlers use ============================================
    // The decoded immediates of the word being run.
    int32_t ImmA() const { return immA; }
    int32_t ImmB() const { return immB; }
    // Adds displacement to pc after checking that the target lies within the
    // segment (its end included); otherwise "Jump outside of the segment".
    bool JumpBy(int32_t displacement);
    // Goes on at pc of the segment at index (a jump into another segment).
    void GoTo(int32_t index, int32_t at) {
        segmentIndex = index;
        pc = at;
    }
    int32_t CodeLength() const { return codeLength; }
    // Makes f current (its stack with it).
    void SetCurrentFrame(VornVM_Frame* f) {
        frame = f;
        stack = f ? f->stack : nullptr;
    }
    void SetInstructionStart(int32_t at) { instructionStart = at; }
    // The next line is traced even when it is the line traced last.
    void RestartLineTrace() { lastTracedLine = 0; }
    // Ends this run with the failure of a sub-program's run.
    void AbortWith(const VornVM& failed) {
        lastError = failed.lastError;
        aborted = 1;
    }
    // Whether segments run in their decoded form (else from the bytes).
    bool DecodesSegments() const { return decodeSegments; }
    void SetDecodeSegments(bool decoded) { decodeSegments = decoded; }
    // The comma-separated names of text as references in list; the number of
    // items.
    int32_t BuildVariableList(VariableList* list, const char* text, int32_t length);
    // The fatal error of a word whose feature this build cannot serve.
    void NotSupported(const char* mnemonic);

    // ==== Accessors ===============================================================
    VornApplication* Application() const { return application; }
    Dictionary* Pool() const { return pool; }
    VariableHash* SystemScope() const { return systemScope; }
    VariableHash* GlobalScope() const { return globalScope; }
    // The current frame's scope; a script function's locals are given a
    // scope by name on first use here.
    VariableHash* LocalScope() { return frame ? ScopeOf(frame) : nullptr; }
    VariableHash* ScopeOf(VornVM_Frame* f) {
        return f->usesSlots ? static_cast<VornVM_FunctionFrame*>(f)->BuildScope() : f->scope;
    }
    VariableHash* Tokens() const { return tokens; }
    SegmentManager* Segments() const { return segments; }
    FunctionManager* Functions() const { return functions; }
    ExternalFunctionSource* ExternalCalls() const { return externalCalls; }
    CommerceSource* CommerceLibraries() const { return commerceLibraries; }
    DatabaseLibrarySource* DatabaseLibraries() const { return databaseLibraries; }
    LocalizedLanguages* Languages() const { return languages; }
    LocalizedDictionary* LocalizedTexts() const { return localizedTexts; }
    VornVM_Stack* CurrentStack() const { return stack; }
    Variable* NullVariable() const;
    VornVM* Parent() const { return parent; }
    uint32_t ChildCount() const { return childCount; }
    bool Aborted() const { return aborted != 0; }
    void SetAborted() { aborted = 1; }
    bool ExitRequested() const;
    void RequestExit();
    const String& LastError() const { return lastError; }
    const String& ProgramName() const { return programName; }
    const String& ProgramDirectory() const { return programDirectory; }
    const String& MessagePrefix() const { return messagePrefix; }
    void SetMessagePrefix(const char* text, int32_t length) { messagePrefix.Assign(text, length); }
    int32_t Line() const { return line; }
    void SetLine(int32_t value) { line = value; }
    int32_t SourceFile() const { return sourceFile; }
    int32_t SegmentIndex() const { return segmentIndex; }
    int32_t Pc() const { return pc; }
    int32_t InstructionStart() const { return instructionStart; }
    uint32_t TraceFlags() const { return traceFlags; }
    // Calls made the fast way while returns were not traced return the
    // general way from now on, and while calls are traced none is made.
    void SetTraceFlags(uint32_t flags);
    // The trace flags under which calls go the general way.
    static constexpr uint32_t kCallTraces =
        LogFunctionCall | LogFunctionParameter | LogFunctionReturnValue | LogFunctionReturn;
    TagErrorEntry* TagErrors() { return tagErrors; }
    const TagErrorTable* RequestTagTable() const { return requestTags; }

protected:
    // ==== The loop (VornVMExecute.cpp) =================================================
    // Its steps (VornVMLoop.h) work on the machine's state directly.
    friend struct DecodedLoop;
    // Runs the decoded form of the segments from pc on.
    int RunDecoded();
    // Whether the checks the loop makes before an instruction have anything
    // to do: the time-out (or a stop), a watchdog tick for the features, an
    // exit.
    bool ChecksDue() const {
        return (timedOut && timedOut->load(std::memory_order_relaxed)) ||
               (tickCounter && tickCounter->load(std::memory_order_relaxed) != lastTick) ||
               exitRequested->load(std::memory_order_relaxed);
    }
    // Runs the one instruction at pc from the bytes (a pc that is no decoded
    // instruction start, or a segment without a decoded form).
    void StepBytes();

    // ==== Core instruction handlers (VornVMOps*.cpp) ==================================
    // Words the loop itself handles.
    void OpNoop();      // 0x0000
    void OpJmp();       // 0x4025
    void OpExit();      // 0x0043
    void OpPushi();     // 0x4002
    void OpPushf();     // 0x8003
    // Stack and constants.
    void OpPop();       // 0x000b
    void OpDup();       // 0x003a
    void OpSwap();      // 0x005b
    void OpSwapn();     // 0x505c
    void OpPushc();     // 0x4001
    // Variables.
    void OpPushd();     // 0x0007
    void OpPushn();     // 0x0009
    void OpPopd();      // 0x000f
    void OpPopn();      // 0x0011
    void OpSpush();     // 0x0013
    void OpSpop();      // 0x0014
    void OpElem();      // 0x003e
    void OpElemr();     // 0x003f
    void OpMemb();      // 0x0040
    void OpMembr();     // 0x0041
    void OpStore();     // 0x0042
    void OpRefern();    // 0x0055
    void OpRefer();     // 0x0057
    void OpIsnull();    // 0x005a
    void OpPushs();     // 0x4004
    void OpPushg();     // 0x4005
    void OpPushl();     // 0x4006
    void OpPushnc();    // 0x400a
    void OpPops();      // 0x400c
    void OpPopg();      // 0x400d
    void OpPopl();      // 0x400e
    void OpPopnc();     // 0x4012
    void OpRefg();      // 0x4053
    void OpRefl();      // 0x4054
    void OpRefnc();     // 0x4056
    void OpPushdc();    // 0x5008
    void OpPopdc();     // 0x5010
    // Output.
    void OpOut();       // 0x0015
    void OpHide();      // 0x0047
    void OpOutComp();   // 0x0051
    void OpStdoutput(); // 0x4050
    // Arithmetic, bits, text.
    void OpAdd();       // 0x0016
    void OpSub();       // 0x0017
    void OpCat();       // 0x0018
    void OpBitand();    // 0x0019
    void OpBitor();     // 0x001a
    void OpBitxor();    // 0x001b
    void OpBitoc();     // 0x001c
    void OpBitsl();     // 0x001d
    void OpBitsr();     // 0x001e
    void OpDiv();       // 0x001f
    void OpMul();       // 0x0020
    void OpMod();       // 0x0021
    void OpRounds();    // 0x0022
    void OpCrypt();     // 0x0023
    void OpPow();       // 0x0024
    void OpRoundf();    // 0x0025
    // Comparison, logic, search.
    void OpCmp();       // 0x002c
    void OpAnd();       // 0x002d
    void OpOr();        // 0x002e
    void OpIn();        // 0x002f
    void OpCin();       // 0x0030
    void OpEin();       // 0x0031
    void OpEcin();      // 0x0032
    void OpEq();        // 0x0033
    void OpNe();        // 0x0034
    void OpGe();        // 0x0035
    void OpLe();        // 0x0036
    void OpLt();        // 0x0037
    void OpGt();        // 0x0038
    void OpNot();       // 0x0039
    // Conditional jumps (use JumpBy for the displacement).
    void OpJmpEq();     // 0x4026
    void OpJmpLt();     // 0x4027
    void OpJmpGt();     // 0x4028
    void OpJmpLe();     // 0x4029
    void OpJmpGe();     // 0x402a
    void OpJmpNe();     // 0x402b
    // Source position, errors, localisation.
    void OpPrefix();    // 0x0052
    void OpLineno();    // 0x4044
    void OpSourcefile();// 0x404a
    void OpErroutput(); // 0x404c
    void OpTagerror();  // 0x504b
    void OpPoplvnc();   // 0x404d
    void OpLocalize();  // 0x404e
    void OpLocalizev(); // 0x404f
    // Fused global words.
    void OpCmpgg();     // 0x5301
    void OpCmpgi();     // 0x5302
    void OpIncg();      // 0x5303
    void OpModgg();     // 0x5304
    void OpStoregi();   // 0x5305
    // Helper of the handlers: three-way comparison of the two top entries
    // (popped).
    int32_t CompareTop();

    // ==== Call and return (VornVMCalls.cpp) =========================================
    void OpCall();      // 0x403d
    void OpRet();       // 0x003b
    void OpRetn();      // 0x003c
    // Their helpers: the return of ret/retn, and one run of a function
    // called from outside the interpreter.
    int ReturnFromFunction(bool withValue);
    int RunCalledFunction(Function* function);
    // Local variable i of the current frame (made when create is set), by
    // slot or through the frame's scope; null where there is none.
    Variable* LocalVariable(int32_t i, bool create);
    // popl into local i of a function frame that keeps its locals in slots:
    // the top is assigned as PopInto assigns it to a variable.
    int PopIntoLocal(VornVM_FunctionFrame* f, int32_t i);
    // The fast call's binding of the arguments on the stack, from parameter
    // k on (the fused operands are bound): each as CallScriptFunction binds
    // it, its errors reported at the call word. True when one went the
    // general way (a text or an aggregate copied: work without a bound).
    [[gnu::noinline]] bool BindStackArguments(VornVM_FunctionFrame* called, int32_t k, const DecodedOp* callWord);
    bool BindStackArgumentsFrom(VornVM_FunctionFrame* called, int32_t k, const DecodedOp* callWord);
    // CallScriptFunction's binding of the arguments into the frame it took
    // (tracing the call): false, with the error reported, when one fails.
    bool BindArguments(VornVM_FunctionFrame* called, Function* function);
    // A frame for a call of function, its slots ready and its window top
    // saved: a kept one of the same function, or a new one.
    VornVM_FunctionFrame* TakeFunctionFrame(Function* function);
    // Gives the frame its window, from the top of the caller's stack (from)
    // when that is the highest window, else from the highest window's end.
    void PlaceWindow(VornVM_FunctionFrame* f, VornVM_Stack* from);
    // The fast call leaves the window of its frame unplaced until something
    // needs the stack (a handler, a push, a call, the checks of the loop):
    // this places the current frame's window then, where the call would
    // have placed it (nothing moved in between: the caller's entries are
    // its own, and calls made meanwhile gave their windows back).
    void PlaceLazyWindow();
    // PlaceWindow where the window does not fit at `at` (null: no window in
    // use yet): the next chunk, or the store's start.
    void PlaceWindowElsewhere(VornVM_FunctionFrame* f, VornVMStackEntry* at, int32_t chunk);
    // A function frame leaving the chain (its features gone): the window top
    // goes back to where it was before the call, and the frame is kept for
    // the next call of its function, or deleted.
    void RetireFunctionFrame(VornVM_FunctionFrame* f);
    // The part after the frame's reset: its window given back, the frame
    // kept or deleted.
    void KeepFunctionFrame(VornVM_FunctionFrame* f);
    // Ends a frame taken off the chain, whatever its kind.
    void DropFrame(VornVM_Frame* f);
    // Deletes a frame (out of line, for the inline paths).
    static void DeleteFrame(VornVM_Frame* f);
    // Gives the output the white-space mode of a frame.
    void SetOutputMode(uint32_t mode);
    // Script function frames one chain may hold, so that endless recursion
    // ends as a fatal error instead of exhausting memory.
    static constexpr int32_t kMaxCallDepth = 10000;
    static int32_t SpareList(const Function* function) {
        return static_cast<int32_t>((reinterpret_cast<uintptr_t>(function) >> 6) & (kSpareLists - 1));
    }

    // ==== Machine helpers for handlers (VornVM.cpp) =====================================
    // Pops frames above `stop` (not stop itself), releasing their features;
    // used when a run ends with frames left open.
    void UnwindTo(VornVM_Frame* stop);
    // Loads segment/code/codeLength for an index; false (nothing changed)
    // when there is no such segment.
    bool LoadSegment(int32_t index);

    // ==== State ================================================================
    uint32_t childCount = 0;
    String lastError;
    int32_t line = 0;
    int32_t lastTracedLine = 0;
    int32_t sourceFile = -1;
    const char* sourceFileName = nullptr; // null until loaded from the pool
    int32_t sourceFileNameLength = 0;
    String programName;
    String programDirectory;
    String messagePrefix;
    TagErrorEntry tagErrors[kTagErrorRows];
    const TagErrorTable* requestTags = nullptr;

    // Instruction registers: the immediates of the word being executed.
    int32_t immA = 0;
    int32_t immB = 0;
    double immADouble = 0.0;
    double immBDouble = 0.0;

    Segment* segment = nullptr;
    const uint8_t* code = nullptr;
    int32_t codeLength = 0;
    VornVM_Frame* frame = nullptr;
    VornVM_Stack* stack = nullptr;
    int32_t segmentIndex = 0;
    int32_t pc = 0;
    int32_t loadedSegment = -1;
    int32_t instructionStart = 0;

    // False runs every instruction from the bytes: the reference the decoded
    // form is tested against.
    bool decodeSegments = true;

    // Scratch registers of one handler; meaningless between instructions.
    int32_t scratchInt[2] = {0, 0};
    double scratchDouble[2] = {0.0, 0.0};
    Variable* scratchVar[2] = {nullptr, nullptr};

    uint32_t aborted = 0;
    uint32_t traceFlags = 0;
    std::atomic<uint32_t>* tickCounter = nullptr;
    uint32_t lastTick = 0;
    std::atomic<int32_t>* timedOut = nullptr;
    std::atomic<int32_t>* exitRequested = nullptr;
    // Used when neither the caller nor a parent gives an exit flag.
    std::atomic<int32_t> ownExitFlag{0};

    VornApplication* application;
    Dictionary* pool;
    VariableHash* systemScope;
    VariableHash* globalScope;
    SegmentManager* segments;
    FunctionManager* functions;
    ExternalFunctionSource* externalCalls;
    CommerceSource* commerceLibraries;
    DatabaseLibrarySource* databaseLibraries;
    LocalizedLanguages* languages;
    LocalizedDictionary* localizedTexts;

    FeatureStack features;
    VariableHash* tokens = nullptr;
    NULLVariable* nullVariable = nullptr;
    VornVM* parent;
    // The VM without a parent above this one (itself for a top VM), whose
    // run slots this one shares.
    VornVM* root;
    RunState* runStates[kRunSlots] = {};
    int32_t useCount = 0;

    // Windows of the script function frames, and the end of the highest one
    // in use (where a call from a stack that is no such window places its
    // frame).
    VornVM_StackStore windowStore;
    VornVMStackEntry* windowTop = nullptr;
    int32_t windowTopChunk = -1;
    // Returned frames, kept for the next calls, in lists by function address.
    static constexpr int32_t kSpareLists = 64;
    static constexpr int32_t kSparesPerList = 16;
    VornVM_FunctionFrame* spareFrames[kSpareLists] = {};
    int32_t spareCounts[kSpareLists] = {};
    // The frame the interpreter loop's fast call takes for a function, by
    // function slot: readied for one form, on no list, and kept here between
    // its calls (a call while it is in use takes one off the lists).
    VornVM_FunctionFrame* readyFrames[kSpareLists] = {};
    // The slot of each one (its functionSlot), read without the frame: at a
    // place without one, a slot no call names there (its low bits another
    // place's).
    int32_t readySlots[kSpareLists];
    VornVM_Stack* dynamicStack = nullptr;
    KnownGlobals knownGlobals;
    // The mode the current output was last given by a call or return of the
    // interpreter loop's fast paths, while nothing but fast paths ran since
    // (any handler may change the output or its mode); -1 when unknown.
    int32_t outputModeKnown = -1;
};

[[gnu::always_inline]] inline void VornVM::PlaceWindow(VornVM_FunctionFrame* f, VornVM_Stack* from) {
    // Only the highest window may lend the room above its entries; else the
    // new window goes where the highest one ends. One that fits in that
    // chunk is the common case.
    VornVMStackEntry* at;
    int32_t chunk;
    VornVMStackEntry* end;
    if (from->storeEnd && from->entries + from->capacity == windowTop) {
        at = from->entries + from->depth;
        chunk = from->storeChunk;
        end = from->storeEnd;
    } else {
        at = windowTop;
        chunk = windowTopChunk;
        end = at ? windowStore.ChunkEnd(chunk) : nullptr;
    }
    if (!at || at + kVornVMStackCapacity > end) {
        PlaceWindowElsewhere(f, at, chunk);
        return;
    }
    f->window.Attach(at, chunk, end);
    windowTop = at + kVornVMStackCapacity;
    windowTopChunk = chunk;
}

[[gnu::always_inline]] inline void VornVM::RetireFunctionFrame(VornVM_FunctionFrame* f) {
    f->Reset();
    // A ready frame returns the fast way again after a call that could not.
    if (f->ready) f->returnForm = f->entryForm;
    KeepFunctionFrame(f);
}

[[gnu::always_inline]] inline void VornVM::KeepFunctionFrame(VornVM_FunctionFrame* f) {
    if (f->window.entries) {
        windowTop = f->savedTop;
        windowTopChunk = f->savedTopChunk;
        f->window.Detach();
    }
    // A ready frame stays where it is.
    if (f->ready) return;
    int32_t list = f->spareList;
    if (spareCounts[list] >= kSparesPerList) {
        DeleteFrame(f);
        return;
    }
    f->nextSpare = spareFrames[list];
    spareFrames[list] = f;
    ++spareCounts[list];
}

} // namespace vorn
