// The newer family's program and system-library functions: output, codecs,
// scopes, persistent data, dynamic expressions, script functions and the
// request's settings.
#include <cstdlib>
#include <cstring>

#include "engine/app/ExternalLibrary.h"
#include "engine/app/VornApplication.h"
#include "engine/foundation/Output.h"
#include "engine/program/Segment.h"
#include "engine/values/Variable.h"
#include "engine/values/VariableHash.h"
#include "engine/values/VariableList.h"
#include "engine/vm/ScriptOperators.h"
#include "engine/vm/VornVM.h"
#include "engine/vm/VornVMStack.h"
#include "host/plugin/ExternalCall.h"
#include "host/plugin/HostInterface.h"
#include "host/plugin/SystemLibrary.h"
#include "host/plugin/VornHost.h"

using namespace vorn;
using namespace vorn::hostapi;

namespace {

using Codec = char* (*)(const char*, int32_t, int32_t*, int32_t*);

char* RunCodec(Codec codec, const char* text, int32_t length, int32_t* outLength, int32_t* outSize) {
    Put(outLength, 0);
    Put(outSize, 0);
    if (!TextArgument(text, length)) return nullptr;
    return codec(text, length, outLength, outSize);
}

ExternalCallManager* CallsOf(VornVM* program) {
    return program ? dynamic_cast<ExternalCallManager*>(program->ExternalCalls()) : nullptr;
}

int32_t AppendScope(VariableHash* scope, VariableList* list) {
    if (!scope || !list) return -1;
    int32_t before = list->Count();
    scope->VisitAll(list);
    return list->Count() - before;
}

// A code handle is a segment of the program's own, compared by address only,
// so a bogus handle is never dereferenced.
Segment* CheckedCode(VornVM* program, void* code) {
    SegmentManager* segments = program->Segments();
    if (!code || !segments) return nullptr;
    for (int32_t i = segments->Count() - 1; i >= 0; --i) {
        Segment* candidate = segments->SegmentAt(i);
        if (candidate == code) return candidate;
    }
    return nullptr;
}

// Runs compiled code on the program's expression stack and leaves the value
// it computed on top, or returns false with the stack as it found it. A run
// may nest inside another one (expression, plug-in, expression): only what
// lies above the depth it started at is its own.
bool RunExpression(VornVM* program, void* code, VariableHash* locals, VornVM_Stack** stack, int32_t* depth) {
    if (!program) return false;
    Segment* segment = CheckedCode(program, code);
    if (!segment) return false;
    *stack = program->DynamicExpressionStack();
    *depth = (*stack)->Depth();
    int ran = program->RunNestedSegment(segment, *stack, locals);
    if (ran && !program->Aborted() && (*stack)->Depth() > *depth) return true;
    while ((*stack)->Depth() > *depth)
        (*stack)->Discard();
    return false;
}

void DropAbove(VornVM_Stack* stack, int32_t depth) {
    while (stack->Depth() > depth)
        stack->Discard();
}

int32_t SetApplicationText(VornVM* program, const char* text, int32_t length,
                           const String& (VornApplication::*set)(const char*, int32_t)) {
    VornApplication* application = ApplicationOf(program);
    if (!application || !TextArgument(text, length)) return -1;
    (application->*set)(text, length);
    return 0;
}

} // namespace

extern "C" {

VORN_HOST_API VornVariable* vrProgram_Lookup_Variable(VornProgram* program, const char* name,
                                                      int32_t length) {
    if (!program || !TextArgument(name, length)) return nullptr;
    Variable* found = nullptr;
    if (!program->LookupVariable(&found, name, length, nullptr)) return nullptr;
    return found;
}

VORN_HOST_API int32_t vrProgram_Local_Variables(VornProgram* program, VornVariableList* list) {
    return program ? AppendScope(program->LocalScope(), list) : -1;
}

VORN_HOST_API int32_t vrProgram_System_Variables(VornProgram* program, VornVariableList* list) {
    return program ? AppendScope(program->SystemScope(), list) : -1;
}

VORN_HOST_API int32_t vrProgram_Global_Variables(VornProgram* program, VornVariableList* list) {
    return program ? AppendScope(program->GlobalScope(), list) : -1;
}

VORN_HOST_API int32_t vrProgram_Compare(VornProgram*, VornVariable* a, VornVariable* b) {
    if (!a || !b) return 0;
    int32_t aError = 0, bError = 0;
    double x = a->ValueDoubleChecked(&aError);
    double y = b->ValueDoubleChecked(&bError);
    if (!aError && !bError) return CompareDoubles(x, y);
    const String& ta = a->Value();
    const String& tb = b->Value();
    int32_t order = CompareTextBytes(ta.Text(), ta.Length(), tb.Text(), tb.Length());
    return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

VORN_HOST_API int32_t vrProgram_SetLanguage(VornProgram* program, const char* text, int32_t length) {
    return SetApplicationText(program, text, length, &VornApplication::SetLanguage);
}

VORN_HOST_API int32_t vrProgram_SetDefaultLanguage(VornProgram* program, const char* text, int32_t length) {
    return SetApplicationText(program, text, length, &VornApplication::SetDefaultLanguage);
}

VORN_HOST_API int32_t vrProgram_SetDefaultDatabase(VornProgram* program, const char* text, int32_t length) {
    return SetApplicationText(program, text, length, &VornApplication::SetDefaultDatabase);
}

VORN_HOST_API int32_t vrProgram_Output_Header(VornProgram* program, char* name, int32_t nameLength,
                                              int32_t nameOwned, char* value, int32_t valueLength,
                                              int32_t valueOwned) {
    VornApplication* application = ApplicationOf(program);
    Output* output = application ? application->GetOutput() : nullptr;
    const char* nameText = name;
    const char* valueText = value;
    // A refused call leaves the buffers with the caller.
    if (!output || !TextArgument(nameText, nameLength) || !TextArgument(valueText, valueLength)) return -1;
    return output->AddHeader(nameText, nameLength, name && nameOwned, valueText, valueLength,
                             value && valueOwned);
}

VORN_HOST_API int32_t vrProgram_Output(VornProgram* program, const char* text, int32_t length) {
    VornApplication* application = ApplicationOf(program);
    Output* output = application ? application->GetOutput() : nullptr;
    if (!output || !TextArgument(text, length)) return -1;
    return output->Write(text, length);
}

VORN_HOST_API int32_t vrProgram_Output_Flush(VornProgram* program) {
    VornApplication* application = ApplicationOf(program);
    Output* output = application ? application->GetOutput() : nullptr;
    return output ? output->Flush() : -1;
}

VORN_HOST_API char* vrProgram_Attribute_Encode(VornProgram*, const char* text, int32_t length,
                                               int32_t* outLength, int32_t* outSize) {
    return RunCodec(AttributeEncode, text, length, outLength, outSize);
}

VORN_HOST_API char* vrProgram_Attribute_Decode(VornProgram*, const char* text, int32_t length,
                                               int32_t* outLength, int32_t* outSize) {
    return RunCodec(AttributeDecode, text, length, outLength, outSize);
}

VORN_HOST_API char* vrProgram_Entity_Encode(VornProgram*, const char* text, int32_t length,
                                            int32_t* outLength, int32_t* outSize) {
    return RunCodec(EntityEncode, text, length, outLength, outSize);
}

VORN_HOST_API char* vrProgram_Entity_Decode(VornProgram*, const char* text, int32_t length,
                                            int32_t* outLength, int32_t* outSize) {
    return RunCodec(EntityDecode, text, length, outLength, outSize);
}

VORN_HOST_API void* vrProgram_Lookup_Persistent(VornProgram* program, const char* name, int32_t length) {
    ExternalCallManager* calls = CallsOf(program);
    if (!calls || !TextArgument(name, length)) return nullptr;
    return calls->LookupPersistent(name, length);
}

VORN_HOST_API int32_t vrProgram_Register_Persistent(VornProgram* program, const char* name, int32_t length,
                                                    void* data, VornPersistentRelease release) {
    ExternalCallManager* calls = CallsOf(program);
    if (!calls || !TextArgument(name, length)) return -1;
    calls->RegisterPersistent(program, name, length, data, release);
    return 0;
}

VORN_HOST_API void* vrProgram_SSL_Function(VornProgram* program, const char* name) {
    VornApplication* application = ApplicationOf(program);
    if (!application || !name) return nullptr;
    if (!application->EnsureOpenSSL(nullptr)) return nullptr;
    return application->SSLFunction(name);
}

VORN_HOST_API VornSystemLibrary* vrProgram_SystemLibrary(VornProgram* program, const char* name) {
    VornApplication* application = ApplicationOf(program);
    SystemLibraryManager* libraries = application ? application->GetSystemLibraryManager() : nullptr;
    if (!libraries || !name) return nullptr;
    return libraries->Find(name, -1);
}

VORN_HOST_API char* vrProgram_MakeSessionID(VornProgram* program, int32_t* outLength) {
    Put(outLength, 0);
    VornApplication* application = ApplicationOf(program);
    return application ? application->MakeSessionID(outLength) : nullptr;
}

VORN_HOST_API int32_t vrProgram_RunFunction(VornProgram* program, const char* name, int32_t length,
                                            VornVariableList* parameters, VornVariable* result) {
    if (!program || !TextArgument(name, length)) return 0;
    return program->CallFunction(name, length, parameters, result) ? 1 : 0;
}

VORN_HOST_API void* vrProgram_Compile_Dynamic_Expression(VornProgram* program, const char* text,
                                                         int32_t length, char** outError,
                                                         int32_t* outErrorLength) {
    Put<char*>(outError, nullptr);
    Put(outErrorLength, 0);
    if (!program || !TextArgument(text, length)) return nullptr;
    String error;
    Segment* code = program->CompileExpression(text, length, nullptr, 0, 0, &error);
    if (code) return code;
    if (outError) *outError = HeapCopy(error.Text(), error.Length(), outErrorLength);
    return nullptr;
}

VORN_HOST_API int32_t vrProgram_Execute_Dynamic_Expression(VornProgram* program, void* code,
                                                           VornVariableHash* locals, VornVariable* result) {
    VornVM_Stack* stack = nullptr;
    int32_t depth = 0;
    if (!result || !RunExpression(program, code, locals, &stack, &depth)) return 0;
    bool stored = stack->PopInto(result) != 0 && !program->Aborted();
    DropAbove(stack, depth);
    return stored ? 1 : 0;
}

VORN_HOST_API int32_t vrProgram_Execute_Dynamic_Expression_Boolean(VornProgram* program, void* code,
                                                                   VornVariableHash* locals,
                                                                   int32_t* outFlag) {
    VornVM_Stack* stack = nullptr;
    int32_t depth = 0;
    if (!outFlag || !RunExpression(program, code, locals, &stack, &depth)) return 0;
    bool value = stack->PopBoolean();
    DropAbove(stack, depth);
    if (program->Aborted()) return 0;
    *outFlag = value ? 1 : 0;
    return 1;
}

VORN_HOST_API VornVariableHash* vrProgram_Global_VariableHash(VornProgram* program) {
    return program ? program->GlobalScope() : nullptr;
}

VORN_HOST_API VornVariableHash* vrProgram_System_VariableHash(VornProgram* program) {
    VariableHash* scope = program ? program->SystemScope() : nullptr;
    // What the plug-in does with it next (a walk by position, a count of its
    // own) need not pass through anything that would add what was deferred.
    if (scope) scope->Underlying()->Settle();
    return scope;
}

VORN_HOST_API int32_t vrProgram_ResetGlobalTimeout(VornProgram* program) {
    VornApplication* application = ApplicationOf(program);
    if (!application) return -1;
    application->ResetTimeLimit();
    return 0;
}

VORN_HOST_API int32_t vrProgram_Sleep(VornProgram* program, int32_t milliseconds) {
    VornApplication* application = ApplicationOf(program);
    if (!application) return -1;
    return application->WaitForStop(milliseconds < 0 ? 0 : milliseconds);
}

VORN_HOST_API int32_t vrProgram_FatalError(VornProgram* program, const char* text, int32_t length) {
    if (!program || !TextArgument(text, length)) return -1;
    return program->FatalError(String(text, length));
}

VORN_HOST_API VornExternalFunction* vrProgram_Lookup_ExternalFunction(VornProgram* program, const char* name,
                                                                      int32_t length) {
    ExternalCallManager* calls = CallsOf(program);
    if (!calls || !TextArgument(name, length)) return nullptr;
    ExternalCall* call = calls->Lookup(name, length);
    return call ? call->Entry() : nullptr;
}

VORN_HOST_API void* vrSystemLibrary_GetFunction(VornSystemLibrary* library, const char* name) {
    if (!library || !name) return nullptr;
    void* address = library->GetFunction(name);
    // The loaded file's message becomes the library's, where plug-ins read it.
    if (!address && library->Library()) library->SetError(library->Library()->ErrorText());
    return address;
}

VORN_HOST_API const char* vrSystemLibrary_Error(VornProgram* program, VornSystemLibrary* library,
                                                int32_t* outLength) {
    Put(outLength, 0);
    const String* text = nullptr;
    if (library) {
        text = &library->ErrorText();
    } else if (VornApplication* application = ApplicationOf(program)) {
        if (SystemLibraryManager* libraries = application->GetSystemLibraryManager())
            text = &libraries->ErrorText();
    }
    if (!text) return nullptr;
    Put(outLength, text->Length());
    return text->IsNull() ? nullptr : text->Text();
}

} // extern "C"
