// The expression compiler: turns one expression of the script language into
// stack code appended to a code segment, for dynamic expressions and import
// filters that only exist at run time. A hand-written scanner finds the next
// operator, precedence climbing orders them, and code comes out postfix:
// operands first, then their operator. Names and constants go into the
// program's string pool; calls resolve against the program's function table
// and the plug-in function libraries.
#pragma once

#include <cstdint>

#include "engine/foundation/String.h"

namespace vorn {

class Dictionary;
class ExternalFunctionSource;
class Function;
class FunctionManager;
class Segment;
class SegmentManager;

// The compiled-file version whose code callers generate, and the first one
// whose machines know the increment and decrement sequences.
inline constexpr uint32_t kExpressionFileVersion = 0x1000A;
inline constexpr uint32_t kIncrementFileVersion = 0x10009;

// Deeper nesting of parentheses, calls, indexes or unary operators than this
// is refused, so hostile text cannot exhaust the stack.
inline constexpr int32_t kExpressionMaxNesting = 200;

// Operator codes with a meaning of their own.
inline constexpr uint8_t kOperatorParenthesis = 0x20;
inline constexpr uint8_t kOperatorIncrement = 0x21;
inline constexpr uint8_t kOperatorDecrement = 0x22;
inline constexpr uint8_t kOperatorEnd = 0x23;

struct ExpressionOperator {
    const char* name;
    int32_t length;
    int32_t precedence;
    uint8_t code;
    uint8_t binary; // 0: takes only the operand after it
};

// Messages of a failed compilation.
inline constexpr const char kExprUnableToStoreVariable[] = "Unable to store variable";
inline constexpr const char kExprUnableToFindVariable[] = "Unable to find variable";
inline constexpr const char kExprInvalidIncrement[] = "Invalid operator found in expression";
inline constexpr const char kExprMismatchedOperatorParenthesis[] = "Mismatched Parenetheses in Expression";
inline constexpr const char kExprMismatchedParentheses[] = "Mismatched Parentheses found in Expression";
inline constexpr const char kExprMismatchedQuotes[] = "Mismatched Quotes found in Expression";
inline constexpr const char kExprArgumentExpected[] = "Argument expected in Expression";
inline constexpr const char kExprNestedTooDeeply[] = "Expression nested too deeply";
inline constexpr const char kExprCodeTooLarge[] = "Expression code too large";
inline constexpr const char kExprNoSegment[] = "No code segment for the expression";

class ExpressionCompiler {
  public:
    // text (length -1: up to the NUL) is not copied and must outlive Compile.
    // databaseName (may be null) is the database that field references
    // without an alias use. A null segment takes a new one from the segment
    // manager; code is written from `position` on. sourceFile (may be null;
    // length -1: up to the NUL) makes the code carry source-file and line
    // instructions. secondFunctions and externals may be null.
    ExpressionCompiler(ExternalFunctionSource* externals, SegmentManager* segments, Dictionary* pool,
                       FunctionManager* functions, FunctionManager* secondFunctions, const char* text,
                       int32_t length, const char* databaseName, Segment* segment, int32_t position,
                       const char* sourceFile, int32_t sourceFileLength, int32_t line, uint32_t fileVersion);
    virtual ~ExpressionCompiler();
    ExpressionCompiler(const ExpressionCompiler&) = delete;
    ExpressionCompiler& operator=(const ExpressionCompiler&) = delete;

    // Compiles the whole text; 1 on success, 0 with ErrorText set. The value
    // of the expression is left on the stack where the code ends. Code
    // written before a failure stays in the segment and must not be run.
    int Compile();
    String ErrorText() const { return error; }

    // The segment the code went to and the position after the code.
    Segment* CodeSegment() const { return segment; }
    int32_t Position() const { return position; }
    int32_t OperatorCount() const { return operatorCount; }

    // 1 when the first n bytes are all space, TAB, CR or LF (also for n < 1).
    static int IsAllWhitespace(const char* text, int32_t n);

    // The operator table, kExpressionOperatorCount rows, the end marker last.
    static const ExpressionOperator* OperatorTable();
    // The row of an operator written as text (words in any letter case,
    // "ROUND" for ROUNDS), or null. The end marker is never found.
    static const ExpressionOperator* FindOperator(const char* text, int32_t length);

  protected:
    // Where every name and constant enters the pool; -1 when it cannot.
    virtual int32_t StoreText(const char* text, int32_t length);
    // Emits an operator's instruction after its operands.
    int EmitOperator(const ExpressionOperator& op);

  private:
    struct Cursor;
    struct Scan;

    int Fail(const char* message);
    int Fail(const String& message);
    int FailCharacter(const char* before, char c, const char* after);

    bool FindNextOperator(int32_t from, int32_t end, Scan* out);
    int32_t SkipQuote(int32_t at, int32_t end);
    int32_t SkipBalanced(int32_t at, int32_t end, char open, char close);

    int CompileRange(int32_t from, int32_t to);
    int Level(Cursor& c, int32_t limit);
    int CompileUnit(Cursor& c);
    int ContinueAfter(Cursor& c, int32_t from);
    int CompileOperand(int32_t start, int32_t end);
    int CompileConstant(int32_t start, int32_t end);
    int CompileQuoted(int32_t start, int32_t end);
    int CompileVariable(int32_t start, int32_t nameEnd, int32_t end);
    int CompileCall(int32_t start, int32_t nameEnd, int32_t end);
    Function* ResolveFunction(const char* name, int32_t length);
    int Trailing(int32_t from, int32_t end);

    int EmitLine();
    int EmitIncrement(const ExpressionOperator& op, bool prefix);
    int Emit(uint16_t word, int32_t a = 0, int32_t b = 0);

    ExternalFunctionSource* externals;
    SegmentManager* segments;
    Dictionary* pool;
    FunctionManager* functions;
    FunctionManager* secondFunctions;
    Segment* segment;
    int32_t position;
    const char* text;
    int32_t length;
    const char* databaseName;
    int32_t databaseIndex = -1;
    int32_t operatorCount = 0;
    int32_t sourceFile = -1;
    int32_t line;
    int32_t lastLine = 0;
    bool lastLineKnown = true;
    uint32_t fileVersion;
    String error;

    int32_t depth = 0;
    bool failed = false;
    bool prepared = false;
    const char* sourceFileText;
    int32_t sourceFileLength;
};

inline constexpr int32_t kExpressionOperatorCount = 34;

} // namespace vorn
