// Dynamic expressions: text compiled at run time into a new segment of this
// program, against its pool, its functions and the request's libraries.
#include "engine/ExpressionCompiler.h"
#include "engine/ExternalFunctionSource.h"
#include "engine/VornVM.h"
#include "host/ExternalCall.h"

namespace vorn {

namespace {

// The request's function libraries, as the compiler asks for them. Only
// inline members of the call manager's records are used, so the engine needs
// none of the host's symbols.
class LibraryFunctions final : public ExternalFunctionSource {
  public:
    explicit LibraryFunctions(ExternalCallManager* calls) : calls(calls) {}
    ExternalCall* Lookup(const char* name, int32_t length) override {
        return calls ? calls->Lookup(name, length) : nullptr;
    }
    bool ExternalParameter(ExternalCall* call, int32_t position, const char** name, int32_t* length,
                           uint32_t* flags) override {
        if (!call || position < 0 || position >= call->ParameterCount() || !call->Entry()->parameters)
            return false;
        const ExternalParameterEntry& parameter = call->Entry()->parameters[position];
        *name = parameter.name;
        *length = parameter.length;
        *flags = parameter.flags;
        return true;
    }

  private:
    ExternalCallManager* calls;
};

} // namespace

Segment* VornVM::CompileExpression(const char* text, int32_t length, const char* sourceFile,
                                   int32_t sourceFileLength, int32_t line, String* error) {
    LibraryFunctions libraries(externalCalls);
    ExpressionCompiler compiler(&libraries, segments, pool, functions, nullptr, text, length, nullptr, nullptr, 0,
                                sourceFile, sourceFileLength, line, kExpressionFileVersion);
    if (!compiler.Compile()) {
        if (error) *error = compiler.ErrorText();
        return nullptr;
    }
    return compiler.CodeSegment();
}

} // namespace vorn
