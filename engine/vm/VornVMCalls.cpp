// Calls: the call instruction, script and external functions, the return
// instructions, and calls of script functions from outside the interpreter.
#include <cstdlib>
#include <new>

#include "engine/app/VornApplication.h"
#include "engine/foundation/Messages.h"
#include "engine/foundation/Number.h"
#include "engine/foundation/Output.h"
#include "engine/values/FunctionManager.h"
#include "engine/values/Variable.h"
#include "engine/values/VariableHash.h"
#include "engine/values/VariableList.h"
#include "engine/vm/ExternalFunctionSource.h"
#include "engine/vm/VornVM.h"
#include "engine/vm/VornVMDecoded.h"

namespace vorn {

namespace {

// Interpreter loops nested through calls from outside (a plug-in calling back
// into the script): each nests the native stack.
constexpr int32_t kMaxOutsideNesting = 100;

// Function bits that shape the new frame.
constexpr uint32_t kFunctionShowErrors = 0x4;
constexpr uint32_t kFunctionHideErrors = 0x8;
constexpr uint32_t kFunctionTrimOutput = 0x2;
constexpr uint32_t kFunctionInheritOutput = 0x10;

thread_local int32_t outsideNesting = 0;

// The text of a stack entry, for the trace.
void EntryText(const VornVMStackEntry* entry, String& out) {
    if (!entry) return;
    switch (entry->type) {
    case kStackInteger:
    case kStackDouble: {
        int32_t length = 0, size = 0;
        char* text = entry->type == kStackInteger ? FormatInteger(entry->value.integer, &length, &size)
                                                  : FormatDouble(entry->value.number, &length, &size);
        if (text) out.Assign(text, length);
        std::free(text);
        break;
    }
    case kStackString:
        out.Assign(entry->value.text, entry->length);
        break;
    case kStackVariable:
        if (entry->value.variable) out.Assign(entry->value.variable->Value());
        break;
    case kStackSlot: {
        int32_t length = 0;
        bool owned = false;
        const char* text = entry->value.slot->Text(&length, nullptr, &owned);
        out.Assign(text, length);
        if (owned) std::free(const_cast<char*>(text));
        break;
    }
    default:
        break;
    }
}

} // namespace

// ---- call, ret, retn ----------------------------------------------------------

void VornVM::OpCall() {
    Function* function = functions ? functions->At(immA) : nullptr;
    if (!function) {
        FatalError(kInvalidFunctionCall);
        return;
    }
    if (function->IsExternal())
        CallExternalFunction(function);
    else
        CallScriptFunction(function);
}

int VornVM::CallScriptFunction(Function* function) {
    if (!frame || !stack) return FatalError(kInvalidFunctionCall);
    // The value returned comes back to this stack.
    if (!stack->entries) PlaceLazyWindow();
    // A function without an entry point would run from before its segment.
    if (function->segment < 0 || function->offset < 0) return FatalError(kInvalidFunctionCall);
    int32_t depth = frame->callDepth + 1;
    if (depth > VornVM::kMaxCallDepth) return FatalError(kNestingTooDeep);

    VornVM_FunctionFrame* called = TakeFunctionFrame(function);
    called->callDepth = depth;
    called->returnSegment = segmentIndex;
    called->returnPc = pc;
    called->returnForm = nullptr;
    called->returnOp = nullptr;

    uint32_t flags = frame->flags;
    if (function->flags & kFunctionShowErrors) flags |= kFrameShowErrors;
    if (function->flags & kFunctionHideErrors) flags &= ~kFrameShowErrors;
    called->flags = flags;

    uint32_t mode = 0;
    if ((function->flags & kFunctionInheritOutput) && (frame->outputMode & 3))
        mode = 2;
    else if (function->flags & kFunctionTrimOutput)
        mode = 1;
    called->outputMode = mode;
    called->previous = frame;

    // Until it is current the frame is on no list and in no chain: running
    // out of memory while the arguments are bound keeps it as a failed
    // binding does.
    bool bound;
    try {
        bound = BindArguments(called, function);
        // The window starts where the arguments were.
        if (bound) PlaceWindow(called, stack);
    } catch (const std::bad_alloc&) {
        RetireFunctionFrame(called);
        throw;
    }
    if (!bound) {
        RetireFunctionFrame(called);
        return 0;
    }
    SetOutputMode(mode);
    SetCurrentFrame(called);
    segmentIndex = function->segment;
    pc = function->offset;
    return 1;
}

bool VornVM::BindArguments(VornVM_FunctionFrame* called, Function* function) {
    if ((traceFlags & LogFunctionCall) && TraceAccepts())
        LogEvent(LogFunctionCall, function->name.Text(), function->name.Length());

    // The last argument is on top.
    bool bound = true;
    VornVM_Stack* from = stack;
    for (int32_t k = 0; k < called->parameterCount && bound; ++k) {
        FunctionParameter* parameter = called->parameters[k];
        int32_t slot = parameter->slot;
        if (slot < 0 || slot >= called->slotCount) {
            FatalError(kInvalidParameterReference);
            bound = false;
            break;
        }
        // Numbers by value, the common case, straight into the slot.
        if (!(parameter->flags & kParameterByReference) && from->depth > 0 && !(traceFlags & LogFunctionParameter)) {
            VornVMStackEntry& e = from->entries[from->depth - 1];
            Scalar& target = called->slots[slot];
            if (e.type == kStackInteger) {
                target.SetInteger(e.value.integer);
                --from->depth;
                continue;
            }
            if (e.type == kStackDouble) {
                target.SetDouble(e.value.number);
                --from->depth;
                continue;
            }
            Scalar value;
            if (e.type == kStackVariable && e.value.variable->PlainScalar(&value) && value.type != Scalar::kText) {
                if (value.type == Scalar::kInteger) {
                    target.SetInteger(value.integer);
                } else if (value.type == Scalar::kDouble) {
                    target.SetDouble(value.number);
                } else {
                    if (target.type >= Scalar::kText) target.Clear();
                    target.type = value.type;
                }
                --from->depth;
                if (e.flags & kStackOwned) e.value.variable->PlainRelease();
                continue;
            }
        }
        if (parameter->flags & kParameterByReference) {
            StackVariable target;
            if (!stack->PopVariable(target)) {
                SetAborted();
                bound = false;
                break;
            }
            called->SetSlotReference(slot, target.variable);
        } else {
            if (!PopIntoLocal(called, slot)) bound = false;
        }
        if (bound && (traceFlags & LogFunctionParameter) && TraceAccepts()) {
            int32_t length = 0;
            bool owned = false;
            const char* text = called->slots[slot].Text(&length, nullptr, &owned);
            LogEvent(LogFunctionParameter, parameter->name.Text(), parameter->name.Length(), text, length);
            if (owned) std::free(const_cast<char*>(text));
        }
    }
    return bound;
}

bool VornVM::BindStackArguments(VornVM_FunctionFrame* called, int32_t k, const DecodedOp* callWord) {
    try {
        return BindStackArgumentsFrom(called, k, callWord);
    } catch (const std::bad_alloc&) {
        // The frame is not current yet (and a kept one is off its list).
        RetireFunctionFrame(called);
        throw;
    }
}

bool VornVM::BindStackArgumentsFrom(VornVM_FunctionFrame* called, int32_t k, const DecodedOp* callWord) {
    VornVM_Stack* s = stack;
    bool general = false;
    Scalar* slots = called->slots;
    const int32_t* bindings = called->bindings;
    for (; k < called->parameterCount; ++k) {
        int32_t slot = bindings[k] >> 1;
        Scalar& target = slots[slot];
        VornVMStackEntry& e = s->entries[s->depth - 1];
        Scalar value;
        if (e.type <= kStackDouble) {
            if (target.type >= Scalar::kText) target.Clear();
            target.bits = static_cast<uint64_t>(0);
            if (e.type == kStackInteger) {
                target.integer = e.value.integer;
                target.type = Scalar::kInteger;
            } else {
                target.number = e.value.number;
                target.type = Scalar::kDouble;
            }
        } else if (e.type == kStackVariable &&
                   (e.value.variable->PlainNumberScalar(&value) ||
                    (e.value.variable->PlainScalar(&value) && value.type <= Scalar::kDouble))) {
            if (target.type >= Scalar::kText) target.Clear();
            target.bits = value.bits;
            target.type = value.type;
            if (e.flags & kStackOwned) e.value.variable->PlainRelease();
        } else {
            instructionStart = callWord->pc;
            pc = callWord->Next();
            PopIntoLocal(called, slot);
            // As after any assignment of another value.
            knownGlobals.Forget();
            general = true;
            continue;
        }
        --s->depth;
    }
    return general;
}

VornVM_FunctionFrame* VornVM::TakeFunctionFrame(Function* function) {
    int32_t list = SpareList(function);
    // Functions that share a list take turns: the list holds frames of both.
    VornVM_FunctionFrame** link = &spareFrames[list];
    while (*link && (*link)->function != function) link = &(*link)->nextSpare;
    VornVM_FunctionFrame* f = *link;
    if (f) {
        *link = f->nextSpare;
        --spareCounts[list];
        f->nextSpare = nullptr;
    } else {
        f = new VornVM_FunctionFrame(this, function);
        f->spareList = list;
    }
    // The locals table may have grown since the frame was last used.
    int32_t count = function->Locals()->EntryCount();
    if (count != f->slotCount || !f->usesSlots) {
        try {
            f->PrepareSlots(count);
        } catch (const std::bad_alloc&) {
            // On no list now: it goes.
            delete f;
            throw;
        }
    }
    f->savedTop = windowTop;
    f->savedTopChunk = windowTopChunk;
    return f;
}

void VornVM::PlaceWindowElsewhere(VornVM_FunctionFrame* f, VornVMStackEntry* at, int32_t chunk) {
    VornVMStackEntry* base = windowStore.Place(at, &chunk);
    if (!at && f->savedTop == windowTop) {
        // No window was in use: the store's start stands for that from now
        // on, so that the next call places its window without coming here.
        f->savedTop = base;
        f->savedTopChunk = chunk;
    }
    f->window.Attach(base, chunk, windowStore.ChunkEnd(chunk));
    windowTop = base + kVornVMStackCapacity;
    windowTopChunk = chunk;
}

void VornVM::PlaceLazyWindow() {
    if (!frame || !frame->previous || frame->AtSegmentEnd() != kFrameEndsFunction) return;
    auto* f = static_cast<VornVM_FunctionFrame*>(frame);
    if (stack != &f->window || f->window.entries) return;
    f->savedTop = windowTop;
    f->savedTopChunk = windowTopChunk;
    PlaceWindow(f, f->previous->stack);
}

void VornVM::SetTraceFlags(uint32_t flags) {
    traceFlags = flags;
    for (VornVM_Frame* f = frame; f; f = f->previous) f->returnForm = nullptr;
    // The fast call takes no ready frame, and readies none, while calls are
    // traced.
    if (flags & kCallTraces)
        for (VornVM_FunctionFrame* f : readyFrames)
            if (f) f->entryForm = nullptr;
}

void VornVM::DeleteFrame(VornVM_Frame* f) {
    delete f;
}

void VornVM::DropFrame(VornVM_Frame* f) {
    if (f->AtSegmentEnd() == kFrameEndsFunction)
        RetireFunctionFrame(static_cast<VornVM_FunctionFrame*>(f));
    else
        delete f;
}

void VornVM::SetOutputMode(uint32_t mode) {
    // Every call and return sets it: setting the mode an output has changes
    // nothing, so that is skipped.
    Output* output = application ? application->GetOutput() : nullptr;
    if (output && output->ModeSet() != static_cast<int32_t>(mode)) output->SetMode(static_cast<int32_t>(mode));
}

Variable* VornVM::LocalVariable(int32_t i, bool create) {
    if (!frame) return nullptr;
    if (frame->usesSlots) {
        auto* f = static_cast<VornVM_FunctionFrame*>(frame);
        Scalar* slot = f->SlotAt(i);
        if (!slot || (!create && slot->type == Scalar::kAbsent)) return nullptr;
        return f->SlotVariable(i);
    }
    return frame->scope ? frame->scope->Index(i, create) : nullptr;
}

int VornVM::PopIntoLocal(VornVM_FunctionFrame* f, int32_t i) {
    Scalar* slot = f->SlotAt(i);
    if (!slot) return stack->PopInto(nullptr);
    if (slot->type == Scalar::kVariable) return stack->PopInto(slot->variable);
    VornVMStackEntry* e = stack->Take();
    if (!e) return 0;
    // Frees an owned text or releases a temporary whatever happens below.
    struct Dropper {
        VornVMStackEntry* e;
        ~Dropper() { VornVM_Stack::Drop(*e); }
    } dropper{e};
    Variable* source = nullptr;
    switch (e->type) {
    case kStackInteger: slot->SetInteger(e->value.integer); return 1;
    case kStackDouble: slot->SetDouble(e->value.number); return 1;
    case kStackString:
        if (e->flags & kStackOwned) {
            e->flags = 0;
            slot->AdoptText(const_cast<char*>(e->value.text), e->length, e->size);
        } else {
            slot->SetText(e->value.text, e->length);
        }
        return 1;
    case kStackSlot:
        if (e->value.slot == slot) return 1;
        if (e->value.slot->type != Scalar::kVariable) {
            slot->CopyValue(*e->value.slot);
            return 1;
        }
        source = e->value.slot->variable;
        break;
    default: source = e->value.variable; break;
    }
    Variable* real = source->IsAlias() ? source->RealIdentity() : source;
    if (slot->CopyVariable(real)) return 1;
    if (real->StorageKind() == kStorageNull) {
        // What the copy of the null value leaves: a variable of no type.
        slot->Clear();
        slot->type = Scalar::kEmpty;
        return 1;
    }
    f->SlotVariable(i)->SetValueVariable(source);
    return 1;
}

void VornVM::OpRet() {
    ReturnFromFunction(true);
}

void VornVM::OpRetn() {
    ReturnFromFunction(false);
}

int VornVM::ReturnFromFunction(bool withValue) {
    VornVM_Frame* returning = frame;
    if (!returning || !returning->previous) return FatalError(kFrameUnderflow);
    if (returning->callDepth == 0) return FatalError(kReturnOutsideFunction);
    auto* functionFrame = static_cast<VornVM_FunctionFrame*>(returning);
    Function* function = functionFrame->function;

    // Every feature the function left open goes with it.
    if (features.Count() > 0) ReleaseFrameFeatures(returning);

    segmentIndex = returning->returnSegment;
    // The fast call leaves the offset to its op.
    pc = functionFrame->returnOp ? static_cast<const DecodedOp*>(functionFrame->returnOp)->pc : returning->returnPc;
    VornVM_Frame* caller = returning->previous;
    VornVM_Stack* from = returning->stack;
    VornVM_Stack* to = caller->stack;
    int ok = 1;
    if (withValue) {
        if (from->depth < 1) {
            ok = FatalError(kStackUnderflow);
        } else if (to->depth >= to->capacity) {
            ok = FatalError(kStackOverflow);
        } else {
            VornVMStackEntry* value = &from->entries[--from->depth];
            if (value->type == kStackSlot) {
                // A local leaves its frame as the variable it becomes.
                value->value.variable = VornVM_Stack::EntryVariable(*value);
                value->type = kStackVariable;
                value->flags = 0;
                value->length = 0;
            }
            if (value->type == kStackVariable && !(value->flags & kStackOwned)) {
                value->value.variable->AddReference();
                value->flags |= kStackOwned;
            }
            if (from->depth > 0) {
                // The caller's next entry may be the window's first one: the
                // value leaves the window before the rest of it is emptied.
                VornVMStackEntry e = *value;
                from->Clear();
                to->entries[to->depth++] = e;
            } else {
                CopyEntry(to->entries[to->depth++], *value);
            }
            if ((traceFlags & LogFunctionReturnValue) && TraceAccepts()) {
                String text;
                EntryText(to->Peek(0), text);
                LogEvent(LogFunctionReturnValue, function->name.Text(), function->name.Length(), text.Text(),
                         text.Length());
            }
        }
    } else {
        from->Clear();
        to->PushString("", 0, 0, false);
    }
    if ((traceFlags & LogFunctionReturn) && TraceAccepts())
        LogEvent(LogFunctionReturn, function->name.Text(), function->name.Length());

    RetireFunctionFrame(functionFrame);
    SetCurrentFrame(caller);
    SetOutputMode(caller->outputMode);
    return ok;
}

// ---- External functions --------------------------------------------------------------

int VornVM::CallExternalFunction(Function* function) {
    ExternalFunctionCall* call = function->external;
    if (!call) {
        call =
            externalCalls ? externalCalls->Lookup(function->name.Text(), function->name.Length()) : nullptr;
        if (!call) {
            String message("Unresolved call to external function '");
            message.AppendString(function->name);
            message.Append("'");
            return FatalError(message);
        }
        function->external = call;
    }
    List<FunctionParameter>& parameters = function->Parameters();
    if (call->ParameterCount() != parameters.Count()) return FatalError(kParameterCountMismatch);

    if ((traceFlags & LogExternalFunctionCall) && TraceAccepts())
        LogEvent(LogExternalFunctionCall, function->name.Text(), function->name.Length());

    // The function's own locals take the arguments, unless a call of it is
    // still running further out (a plug-in that called back into the
    // script): then this call binds into a copy, so the outer call's
    // arguments stay as they were.
    VariableHash* locals = function->Locals();
    VariableHash* scope = call->ActiveCalls() > 0 ? new VariableHash(*locals) : locals;
    auto finish = [&]() {
        if (scope == locals)
            scope->ReleaseAll();
        else
            delete scope;
    };

    int32_t position = parameters.Count();
    for (FunctionParameter* parameter = parameters.Last(); parameter; parameter = parameters.Previous()) {
        --position;
        if (parameter->flags != call->ParameterFlags(position)) {
            FatalError(kParameterTypeMismatch);
            finish();
            return 0;
        }
        if (parameter->slot < 0 || parameter->slot >= scope->EntryCount()) {
            FatalError(kInvalidParameterReference);
            finish();
            return 0;
        }
        if (parameter->flags & kParameterByReference) {
            StackVariable target;
            if (!stack->PopVariable(target)) {
                SetAborted();
                finish();
                return 0;
            }
            scope->SetReference(parameter->slot, target.variable);
        } else {
            Variable* slot = scope->Index(parameter->slot, true);
            if (!slot) {
                FatalError(kInvalidParameterReference);
                finish();
                return 0;
            }
            if (!stack->PopInto(slot)) {
                finish();
                return 0;
            }
        }
        if ((traceFlags & LogExternalFunctionParameter) && TraceAccepts()) {
            Variable* value = scope->Index(parameter->slot, false);
            LogEvent(LogExternalFunctionParameter, parameter->name.Text(), parameter->name.Length(),
                     value ? value->Value().Text() : nullptr, value ? value->Value().Length() : 0);
        }
    }

    VariableList arguments;
    for (FunctionParameter* parameter = parameters.First(); parameter; parameter = parameters.Next()) {
        Variable* argument = scope->Index(parameter->slot, true);
        arguments.Insert(argument ? argument : NullVariable(), kListTail);
    }

    call->EnterCall();
    Variable* result = call->Invoke(this, &arguments);
    call->LeaveCall();
    stack->PushVariable(result, true);

    if ((traceFlags & LogExternalFunctionReturnValue) && TraceAccepts())
        LogEvent(LogExternalFunctionReturnValue, function->name.Text(), function->name.Length(),
                 result->Value().Text(), result->Value().Length());
    if ((traceFlags & LogExternalFunctionReturn) && TraceAccepts())
        LogEvent(LogExternalFunctionReturn, function->name.Text(), function->name.Length());

    arguments.Clear();
    finish();
    return 1;
}

// ---- Calls from outside the interpreter -------------------------------------------

namespace {

// Counts one nested interpreter loop while it runs.
class OutsideCall {
  public:
    OutsideCall() { ++outsideNesting; }
    ~OutsideCall() { --outsideNesting; }
    OutsideCall(const OutsideCall&) = delete;
    OutsideCall& operator=(const OutsideCall&) = delete;
};

} // namespace

int VornVM::RunCalledFunction(Function* function) {
    if (outsideNesting >= kMaxOutsideNesting) {
        // The arguments were pushed; they must not stay behind.
        for (int32_t n = function->Parameters().Count(); n > 0 && stack->Depth() > 0; --n)
            stack->Discard();
        return FatalError(kNestingTooDeep);
    }
    OutsideCall nesting;
    VornVM_Frame* outer = frame;
    int32_t savedSegment = segmentIndex;
    int32_t savedPc = pc;
    int32_t savedStart = instructionStart;

    // Returning to the end of the segment ends the nested loop right after
    // the function returns.
    pc = codeLength;
    int ran = CallScriptFunction(function) && SelectSegment() ? Execute() : 0;

    // exit, an abort or a function that never returned leave its frames.
    if (frame != outer) UnwindTo(outer);
    SetCurrentFrame(outer);
    segmentIndex = savedSegment;
    if (savedSegment != loadedSegment) LoadSegment(savedSegment);
    pc = savedPc;
    instructionStart = savedStart;
    return ran && !aborted ? 1 : 0;
}

int VornVM::RunNestedSegment(Segment* s, VornVM_Stack* onStack, VariableHash* inScope) {
    if (outsideNesting >= kMaxOutsideNesting) return FatalError(kNestingTooDeep);
    OutsideCall nesting;
    return RunSegment(s, onStack, inScope);
}

VornVM_Stack* VornVM::DynamicExpressionStack() {
    if (!dynamicStack) dynamicStack = new VornVM_Stack(this);
    return dynamicStack;
}

bool VornVM::CallFunction(const char* name, int32_t length, VariableList* arguments, Variable* result) {
    Function* function = functions ? functions->Find(name, length) : nullptr;
    if (!function || function->IsExternal() || aborted || !stack) return false;
    int32_t count = arguments ? arguments->Count() : 0;
    if (count != function->Parameters().Count()) return false;

    int32_t depth = stack->Depth();
    if (arguments)
        for (Variable* item = arguments->First(); item; item = arguments->Next())
            stack->PushVariable(item, false);
    bool ran = RunCalledFunction(function) != 0;
    if (ran && stack->Depth() > depth) {
        if (result)
            stack->PopInto(result);
        else
            stack->Discard();
    }
    while (stack->Depth() > depth)
        stack->Discard();
    return ran && !aborted;
}

bool VornVM::CallProcessFileUpload(const char* t1, int32_t l1, const char* t2, int32_t l2, const char* t3,
                                   int32_t l3, const char* t4, int32_t l4, const char* t5, int32_t l5,
                                   int32_t number) {
    Function* function = functions ? functions->Find("Vorn_ProcessFileUpload", -1) : nullptr;
    if (!function || function->IsExternal()) return true;
    if (function->Parameters().Count() != 6 || aborted || !stack) return false;
    int32_t depth = stack->Depth();
    const char* texts[5] = {t1, t2, t3, t4, t5};
    int32_t lengths[5] = {l1, l2, l3, l4, l5};
    for (int i = 0; i < 5; ++i) {
        const char* text = texts[i] ? texts[i] : "";
        int32_t n = texts[i] ? lengths[i] : 0;
        stack->PushString(text, n, n, false);
    }
    stack->PushInteger(number);
    bool ran = RunCalledFunction(function) != 0;
    while (stack->Depth() > depth)
        stack->Discard();
    return ran && !aborted;
}

bool VornVM::CallValidateFileUpload(const char* t1, int32_t l1, const char* t2, int32_t l2, const char* t3,
                                    int32_t l3, int32_t* result) {
    if (result) *result = -1;
    Function* function = functions ? functions->Find("Vorn_ValidateFileUpload", -1) : nullptr;
    if (!function || function->IsExternal()) return true;
    if (function->Parameters().Count() != 3 || aborted || !stack) return false;
    int32_t depth = stack->Depth();
    const char* texts[3] = {t1, t2, t3};
    int32_t lengths[3] = {l1, l2, l3};
    for (int i = 0; i < 3; ++i) {
        const char* text = texts[i] ? texts[i] : "";
        int32_t n = texts[i] ? lengths[i] : 0;
        stack->PushString(text, n, n, false);
    }
    bool ran = RunCalledFunction(function) != 0;
    if (ran && stack->Depth() > depth) {
        int32_t value = stack->PopInteger();
        if (result && !aborted) *result = value;
    }
    while (stack->Depth() > depth)
        stack->Discard();
    return ran && !aborted;
}

} // namespace vorn
