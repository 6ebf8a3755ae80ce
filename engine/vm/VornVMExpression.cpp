// Dynamic expressions: text compiled at run time into a new segment of this
// program, against its pool, its functions and the request's libraries.
#include "engine/vm/ExpressionCompiler.h"
#include "engine/vm/ExternalFunctionSource.h"
#include "engine/vm/VornVM.h"

namespace vorn {

Segment* VornVM::CompileExpression(const char* text, int32_t length, const char* sourceFile,
                                   int32_t sourceFileLength, int32_t line, String* error) {
    ExpressionCompiler compiler(externalCalls, segments, pool, functions, nullptr, text, length, nullptr, nullptr, 0,
                                sourceFile, sourceFileLength, line, kExpressionFileVersion);
    if (!compiler.Compile()) {
        if (error) *error = compiler.ErrorText();
        return nullptr;
    }
    return compiler.CodeSegment();
}

Segment* VornVM::CompileDatabaseExpression(const char* text, int32_t length, const char* databaseName,
                                           String* error) {
    ExpressionCompiler compiler(externalCalls, segments, pool, functions, nullptr, text, length, databaseName,
                                nullptr, 0, nullptr, 0, 0, kExpressionFileVersion);
    if (!compiler.Compile()) {
        if (error) *error = compiler.ErrorText();
        return nullptr;
    }
    return compiler.CodeSegment();
}

} // namespace vorn
