#include "engine/vm/ExpressionCompiler.h"

#include <cstring>
#include <string>

#include "engine/foundation/Hash.h"
#include "engine/program/Dictionary.h"
#include "engine/program/InstructionSet.h"
#include "engine/program/Segment.h"
#include "engine/values/FunctionManager.h"
#include "engine/vm/ExternalFunctionSource.h"

namespace vorn {

namespace {

// Precedence and grouping of every operator; the row order is fixed.
const ExpressionOperator kOperators[kExpressionOperatorCount] = {
    {"+", 1, 3, 0x00, 1},      {"-", 1, 3, 0x01, 1},      {"$", 1, 3, 0x02, 1},      {"BITAND", 6, 3, 0x03, 1},
    {"BITOR", 5, 3, 0x04, 1},  {"BITXOR", 6, 3, 0x05, 1}, {"BITOC", 5, 3, 0x06, 0},  {"BITSL", 5, 3, 0x07, 1},
    {"BITSR", 5, 3, 0x08, 1},  {"/", 1, 4, 0x09, 1},      {"*", 1, 4, 0x0A, 1},      {"MOD", 3, 4, 0x1C, 1},
    {"AND", 3, 1, 0x0B, 1},    {"OR", 2, 1, 0x0C, 1},     {"IN", 2, 2, 0x0D, 1},     {"CIN", 3, 2, 0x0E, 1},
    {"EIN", 3, 2, 0x0F, 1},    {"ECIN", 4, 2, 0x10, 1},   {"EQ", 2, 2, 0x11, 1},     {"NE", 2, 2, 0x12, 1},
    {"GE", 2, 2, 0x13, 1},     {"LE", 2, 2, 0x14, 1},     {"LT", 2, 2, 0x15, 1},     {"GT", 2, 2, 0x16, 1},
    {"ROUNDS", 6, 5, 0x19, 1}, {"ROUNDF", 6, 5, 0x1A, 1}, {"CRYPT", 5, 5, 0x1B, 1},  {"POW", 3, 5, 0x1E, 1},
    {"NOT", 3, 6, 0x17, 0},    {"(", 1, 7, 0x20, 0},      {"ISNULL", 6, 6, 0x1F, 0}, {"++", 2, 8, 0x21, 0},
    {"--", 2, 8, 0x22, 0},     {"", 0, 0, 0x23, 1},
};

constexpr int32_t kRoundsRow = 24;

// The instruction an operator code compiles to, or -1 when it has none.
int32_t InstructionFor(uint8_t code) {
    switch (code) {
    case 0x00: return Op_add;
    case 0x01: return Op_sub;
    case 0x02: return Op_cat;
    case 0x03: return Op_bitand;
    case 0x04: return Op_bitor;
    case 0x05: return Op_bitxor;
    case 0x06: return Op_bitoc;
    case 0x07: return Op_bitsl;
    case 0x08: return Op_bitsr;
    case 0x09: return Op_div;
    case 0x0A: return Op_mul;
    case 0x1C: return Op_mod;
    case 0x0B: return Op_and;
    case 0x0C: return Op_or;
    case 0x0D: return Op_in;
    case 0x0E: return Op_cin;
    case 0x0F: return Op_ein;
    case 0x10: return Op_ecin;
    case 0x11: return Op_eq;
    case 0x12: return Op_ne;
    case 0x13: return Op_ge;
    case 0x14: return Op_le;
    case 0x15: return Op_lt;
    case 0x16: return Op_gt;
    case 0x19: return Op_rounds;
    case 0x1A: return Op_roundf;
    case 0x1B: return Op_crypt;
    case 0x1E: return Op_pow;
    case 0x17: return Op_not;
    case 0x1F: return Op_isnull;
    default: return -1;
    }
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsWordChar(char c) { return IsLetter(c) || IsDigit(c) || c == '_'; }
bool IsNameChar(char c) { return IsWordChar(c) || c == '.'; }
bool IsQuote(char c) { return c == '"' || c == '\''; }
bool IsOperatorChar(char c) {
    return c == '|' || c == '^' || c == '+' || c == '-' || c == '/' || c == '*' || c == '$' || c == '(';
}

bool SameNoCase(const char* a, const char* b, int32_t n) {
    for (int32_t i = 0; i < n; ++i)
        if (AsciiUpper(static_cast<unsigned char>(a[i])) != AsciiUpper(static_cast<unsigned char>(b[i]))) return false;
    return true;
}

// Whether text[0 .. n) begins with word followed by '.'.
bool StartsWithWordAndPoint(const char* t, int32_t n, const char* word) {
    int32_t w = static_cast<int32_t>(std::strlen(word));
    return n > w && t[w] == '.' && SameNoCase(t, word, w);
}

// Length of the database word (D or DATABASE) and its point at the start of
// t, or 0.
int32_t DatabaseWord(const char* t, int32_t n) {
    if (StartsWithWordAndPoint(t, n, "D")) return 2;
    if (StartsWithWordAndPoint(t, n, "DATABASE")) return 9;
    return 0;
}

} // namespace

// One pass of the scanner: the operand text before the next operator and the
// operator (null at the end of the range).
struct ExpressionCompiler::Scan {
    const ExpressionOperator* op;
    int32_t operandStart;
    int32_t operandEnd;
    int32_t operatorStart;
    int32_t next;
};

// A run of operands and operators inside one range; `op` is the operator met
// after the last operand, not yet consumed by any level.
struct ExpressionCompiler::Cursor {
    int32_t pos;
    int32_t end;
    const ExpressionOperator* op;
    int32_t opStart;
};

ExpressionCompiler::ExpressionCompiler(ExternalFunctionSource* externals, SegmentManager* segments, Dictionary* pool,
                                       FunctionManager* functions, FunctionManager* secondFunctions,
                                       const char* text, int32_t length, const char* databaseName, Segment* segment,
                                       int32_t position, const char* sourceFile, int32_t sourceFileLength,
                                       int32_t line, uint32_t fileVersion)
    : externals(externals), segments(segments), pool(pool), functions(functions), secondFunctions(secondFunctions),
      segment(segment), position(position < 0 ? 0 : position), text(text ? text : ""), length(length),
      databaseName(databaseName), line(line), fileVersion(fileVersion), sourceFileText(sourceFile),
      sourceFileLength(sourceFileLength) {
    if (this->length < 0) this->length = text && length == -1 ? static_cast<int32_t>(std::strlen(text)) : 0;
    if (sourceFileText && sourceFileLength < 0)
        this->sourceFileLength = sourceFileLength == -1 ? static_cast<int32_t>(std::strlen(sourceFileText)) : 0;
}

ExpressionCompiler::~ExpressionCompiler() = default;

int ExpressionCompiler::IsAllWhitespace(const char* t, int32_t n) {
    if (!t) return 1;
    for (int32_t i = 0; i < n; ++i)
        if (!IsBlank(t[i])) return 0;
    return 1;
}

const ExpressionOperator* ExpressionCompiler::OperatorTable() { return kOperators; }

const ExpressionOperator* ExpressionCompiler::FindOperator(const char* t, int32_t n) {
    if (!t || n <= 0) return nullptr;
    for (int32_t i = 0; i < kExpressionOperatorCount - 1; ++i) {
        const ExpressionOperator& row = kOperators[i];
        if (row.length == n && SameNoCase(row.name, t, n)) return &row;
    }
    if (n == 5 && SameNoCase(t, "ROUND", 5)) return &kOperators[kRoundsRow];
    return nullptr;
}

int32_t ExpressionCompiler::StoreText(const char* t, int32_t n) { return pool ? pool->Add(t, n) : -1; }

// --- Errors ----------------------------------------------------------------------

int ExpressionCompiler::Fail(const char* message) {
    if (!failed) {
        failed = true;
        error.Assign(message);
    }
    return 0;
}

int ExpressionCompiler::Fail(const String& message) {
    if (!failed) {
        failed = true;
        error.Assign(message);
    }
    return 0;
}

int ExpressionCompiler::FailCharacter(const char* before, char c, const char* after) {
    String message(before);
    message.AppendChar(c);
    message.Append(after);
    return Fail(message);
}

// --- Emitting ----------------------------------------------------------------------

int ExpressionCompiler::Emit(uint16_t word, int32_t a, int32_t b) {
    DecodedInstruction instruction{word, 0, nullptr, a, b, 0.0, 0.0};
    uint8_t bytes[2 + 8 + 8];
    int32_t n = EncodeInstruction(instruction, bytes);
    int32_t after = segment->WriteBytes(position, bytes, n);
    if (after < 0) return Fail(kExprCodeTooLarge);
    position = after;
    return 1;
}

int ExpressionCompiler::EmitLine() {
    if (sourceFile < 0 || (lastLineKnown && line == lastLine)) return 1;
    lastLine = line;
    lastLineKnown = true;
    return Emit(Op_lineno, line);
}

int ExpressionCompiler::EmitOperator(const ExpressionOperator& op) {
    int32_t word = InstructionFor(op.code);
    if (word < 0 || op.code == kOperatorEnd) {
        String message("Invalid Operator '");
        message.Append(op.name ? op.name : "", op.name ? op.length : 0);
        message.Append("' Found in Expression");
        return Fail(message);
    }
    if (!EmitLine()) return 0;
    ++operatorCount;
    return Emit(static_cast<uint16_t>(word));
}

// The variable reference is on the stack; the sequences leave the new value
// (prefix) or the old one (postfix) in its place and store the new one.
int ExpressionCompiler::EmitIncrement(const ExpressionOperator& op, bool prefix) {
    uint16_t arithmetic = op.code == kOperatorIncrement ? Op_add : Op_sub;
    if (!EmitLine()) return 0;
    ++operatorCount;
    if (prefix)
        return Emit(Op_dup) && Emit(Op_pushi, 1) && Emit(arithmetic) && Emit(Op_dup) && Emit(Op_swapn, 0, 2) &&
               Emit(Op_store);
    return Emit(Op_dup) && Emit(Op_pushi, 0) && Emit(Op_add) && Emit(Op_swap) && Emit(Op_dup) &&
           Emit(Op_pushi, 1) && Emit(arithmetic) && Emit(Op_swap) && Emit(Op_store);
}

// --- Scanning ----------------------------------------------------------------------

// The closing quote of the quoted text that starts at `at`: the same mark not
// preceded by a backslash; -1 when there is none before end.
int32_t ExpressionCompiler::SkipQuote(int32_t at, int32_t end) {
    char quote = text[at];
    for (int32_t i = at + 1; i < end; ++i)
        if (text[i] == quote && text[i - 1] != '\\') return i;
    Fail(kExprMismatchedQuotes);
    return -1;
}

// The closing character that balances the opening one at `at`, quoted texts
// skipped; -1 when the range ends first.
int32_t ExpressionCompiler::SkipBalanced(int32_t at, int32_t end, char open, char close) {
    int32_t level = 0;
    for (int32_t i = at; i < end; ++i) {
        char c = text[i];
        if (IsQuote(c)) {
            i = SkipQuote(i, end);
            if (i < 0) return -1;
        } else if (c == open) {
            ++level;
        } else if (c == close) {
            if (--level == 0) return i;
        }
    }
    Fail(kExprMismatchedParentheses);
    return -1;
}

bool ExpressionCompiler::FindNextOperator(int32_t from, int32_t end, Scan* out) {
    int32_t p = from;
    while (p < end && IsBlank(text[p])) ++p;
    out->op = nullptr;
    out->operandStart = p;
    out->operandEnd = p;
    out->operatorStart = end;
    out->next = end;
    while (p < end) {
        char c = text[p];
        int32_t unitEnd = p + 1;
        if (IsOperatorChar(c)) {
            bool sign = c == '+' || c == '-';
            if (sign && p + 1 < end && text[p + 1] == c) {
                out->op = FindOperator(text + p, 2);
                out->operatorStart = p;
                out->next = p + 2;
                return true;
            }
            bool numberSign = sign && p == out->operandStart && p + 1 < end &&
                              (IsDigit(text[p + 1]) || text[p + 1] == '.');
            if (!numberSign) {
                if (const ExpressionOperator* op = FindOperator(text + p, 1)) {
                    out->op = op;
                    out->operatorStart = p;
                    out->next = p + 1;
                    return true;
                }
            }
        } else if (IsLetter(c)) {
            int32_t q = p;
            while (q < end && IsWordChar(text[q])) ++q;
            const ExpressionOperator* op = FindOperator(text + p, q - p);
            if (op) {
                out->op = op;
                out->operatorStart = p;
                out->next = q;
                return true;
            }
            unitEnd = q;
            if (q < end && (text[q] == '(' || text[q] == '[')) {
                int32_t close = SkipBalanced(q, end, text[q], text[q] == '(' ? ')' : ']');
                if (close < 0) return false;
                unitEnd = close + 1;
            }
        } else if (IsQuote(c)) {
            int32_t close = SkipQuote(p, end);
            if (close < 0) return false;
            unitEnd = close + 1;
        }
        out->operandEnd = unitEnd;
        p = unitEnd;
        while (p < end && IsBlank(text[p])) ++p;
    }
    return true;
}

// --- Precedence climbing ---------------------------------------------------------------

int ExpressionCompiler::CompileRange(int32_t from, int32_t to) {
    Cursor c{from, to, nullptr, to};
    return Level(c, 0);
}

// Compiles an operand with the operators that bind tighter than `limit`;
// returns with the first operator that does not (or none) left in c.op.
int ExpressionCompiler::Level(Cursor& c, int32_t limit) {
    if (depth >= kExpressionMaxNesting) return Fail(kExprNestedTooDeeply);
    ++depth;
    int ok = CompileUnit(c);
    while (ok && c.op) {
        const ExpressionOperator& op = *c.op;
        if (op.precedence <= limit) break;
        if (op.binary) {
            // Only strictly higher operators extend the right operand, so
            // equal ones group from the left.
            ok = Level(c, op.precedence) && EmitOperator(op);
        } else if (op.code == kOperatorIncrement || op.code == kOperatorDecrement) {
            if (fileVersion < kIncrementFileVersion) {
                ok = Fail(kExprInvalidIncrement);
                break;
            }
            ok = EmitIncrement(op, false) && ContinueAfter(c, c.pos);
        } else {
            // A prefix operator right after a complete operand.
            ok = FailCharacter("Found additional argument '", text[c.opStart], "' while looking for operator");
        }
    }
    --depth;
    return ok;
}

// One operand, with the prefix operators in front of it.
int ExpressionCompiler::CompileUnit(Cursor& c) {
    Scan s;
    if (!FindNextOperator(c.pos, c.end, &s)) return 0;
    if (s.operandStart < s.operandEnd) {
        if (!CompileOperand(s.operandStart, s.operandEnd)) return 0;
        c.op = s.op;
        c.opStart = s.operatorStart;
        c.pos = s.next;
        return 1;
    }
    if (!s.op || s.op->binary) return Fail(kExprArgumentExpected);
    const ExpressionOperator& op = *s.op;
    if (op.code == kOperatorParenthesis) {
        int32_t level = 1;
        int32_t close = -1;
        for (int32_t i = s.next; i < c.end && close < 0; ++i) {
            if (IsQuote(text[i])) {
                i = SkipQuote(i, c.end);
                if (i < 0) return 0;
            } else if (text[i] == '(') {
                ++level;
            } else if (text[i] == ')' && --level == 0) {
                close = i;
            }
        }
        if (close < 0) return Fail(kExprMismatchedOperatorParenthesis);
        return CompileRange(s.next, close) && ContinueAfter(c, close + 1);
    }
    if (op.code == kOperatorIncrement || op.code == kOperatorDecrement) {
        if (fileVersion < kIncrementFileVersion) return Fail(kExprInvalidIncrement);
        c.pos = s.next;
        return Level(c, op.precedence - 1) && EmitIncrement(op, true);
    }
    // Operators of equal or higher precedence extend a prefix operator's operand.
    c.pos = s.next;
    return Level(c, op.precedence - 1) && EmitOperator(op);
}

// After a complete operand (a parenthesised one, or one with its postfix
// operator) only an operator may follow.
int ExpressionCompiler::ContinueAfter(Cursor& c, int32_t from) {
    Scan s;
    if (!FindNextOperator(from, c.end, &s)) return 0;
    if (s.operandStart < s.operandEnd)
        return FailCharacter("Found additional argument '", text[s.operandStart], "' while looking for operator");
    c.op = s.op;
    c.opStart = s.operatorStart;
    c.pos = s.next;
    return 1;
}

// --- Operands ----------------------------------------------------------------------------

int ExpressionCompiler::Trailing(int32_t from, int32_t end) {
    while (from < end && IsBlank(text[from])) ++from;
    if (from < end)
        return FailCharacter("Found additional argument '", text[from], "' while looking for operator");
    return 1;
}

int ExpressionCompiler::CompileOperand(int32_t start, int32_t end) {
    char c = text[start];
    if (IsDigit(c) || c == '+' || c == '-' || c == '.') return CompileConstant(start, end);
    if (IsQuote(c)) return CompileQuoted(start, end);
    if (IsLetter(c) || c == '_') {
        int32_t q = start;
        while (q < end && IsNameChar(text[q])) ++q;
        if (q < end && text[q] == '(') return CompileCall(start, q, end);
        return CompileVariable(start, q, end);
    }
    return FailCharacter("Invalid Argument '", c, "' Found in expression");
}

int ExpressionCompiler::CompileConstant(int32_t start, int32_t end) {
    int32_t q = start + 1;
    while (q < end && (IsDigit(text[q]) || text[q] == '.')) ++q;
    if (!EmitLine()) return 0;
    int32_t index = StoreText(text + start, q - start);
    if (index < 0) return Fail(kExprUnableToFindVariable);
    return Emit(Op_pushc, index) && Trailing(q, end);
}

int ExpressionCompiler::CompileQuoted(int32_t start, int32_t end) {
    int32_t close = SkipQuote(start, end);
    if (close < 0) return 0;
    // A backslash before either quotation mark stands for the mark alone.
    std::string value;
    value.reserve(static_cast<size_t>(close - start));
    for (int32_t i = start + 1; i < close; ++i) {
        if (text[i] == '\\' && i + 1 < close && IsQuote(text[i + 1])) continue;
        value.push_back(text[i]);
    }
    if (!EmitLine()) return 0;
    int32_t index = StoreText(value.data(), static_cast<int32_t>(value.size()));
    if (index < 0) return Fail(kExprUnableToFindVariable);
    return Emit(Op_pushc, index) && Trailing(close + 1, end);
}

int ExpressionCompiler::CompileVariable(int32_t start, int32_t nameEnd, int32_t end) {
    if (!EmitLine()) return 0;
    const char* name = text + start;
    int32_t n = nameEnd - start;

    // alias.D.field, alias.DATABASE.field, D.field, DATABASE.field
    const char* alias = nullptr;
    int32_t aliasLength = 0;
    int32_t fieldAt = -1;
    const char* point = static_cast<const char*>(std::memchr(name, '.', static_cast<size_t>(n)));
    if (point && point > name) {
        int32_t k = static_cast<int32_t>(point - name);
        int32_t word = DatabaseWord(point + 1, n - k - 1);
        if (word > 0 && k + 1 + word < n) {
            alias = name;
            aliasLength = k;
            fieldAt = k + 1 + word;
        }
    }
    if (fieldAt < 0) {
        int32_t word = DatabaseWord(name, n);
        if (word > 0 && word < n) fieldAt = word;
    }

    if (fieldAt >= 0 && (alias || databaseName)) {
        int32_t database = databaseIndex;
        if (alias) database = StoreText(alias, aliasLength);
        int32_t field = database < 0 ? -1 : StoreText(name + fieldAt, n - fieldAt);
        if (database < 0 || field < 0) return Fail(kExprUnableToStoreVariable);
        if (!Emit(Op_pushdc, database, field)) return 0;
    } else {
        int32_t index = StoreText(name, n);
        if (index < 0) return Fail(kExprUnableToStoreVariable);
        if (!Emit(Op_pushnc, index)) return 0;
    }

    int32_t p = nameEnd;
    while (p < end) {
        char c = text[p];
        if (c == '[') {
            int32_t close = SkipBalanced(p, end, '[', ']');
            if (close < 0) return 0;
            if (!CompileRange(p + 1, close) || !Emit(Op_elem)) return 0;
            p = close + 1;
        } else if (c == ':') {
            int32_t q = p + 1;
            while (q < end && IsNameChar(text[q])) ++q;
            if (q == p + 1) return FailCharacter("Invalid Argument '", c, "' in Expression");
            int32_t member = StoreText(text + p + 1, q - p - 1);
            if (member < 0) return Fail(kExprUnableToStoreVariable);
            if (!Emit(Op_pushc, member) || !Emit(Op_memb)) return 0;
            p = q;
        } else if (IsBlank(c)) {
            return Trailing(p, end);
        } else {
            return FailCharacter("Invalid Argument '", c, "' in Expression");
        }
    }
    return 1;
}

Function* ExpressionCompiler::ResolveFunction(const char* name, int32_t n) {
    if (!functions) return nullptr;
    if (Function* f = functions->Find(name, n)) return f;
    if (secondFunctions) {
        Function* other = secondFunctions->Find(name, n);
        if (other && (other->flags & kFunctionExternal)) return functions->AddCopy(*other);
    }
    if (!externals) return nullptr;
    ExternalFunctionCall* call = externals->Lookup(name, n);
    if (!call) return nullptr;
    // The parameter names are the library's: a length below -1 means
    // nothing, and the name need not end in a NUL to be measured by.
    const char* parameter;
    int32_t parameterLength;
    uint32_t flags;
    for (int32_t i = 0; externals->ExternalParameter(call, i, &parameter, &parameterLength, &flags); ++i) {
        if (parameterLength < -1) {
            Fail(String("Invalid text length ") + parameterLength + " for a parameter name of function '" +
                 String(name, n) + "' from its library");
            return nullptr;
        }
    }
    Function* f = functions->AddExternal(name, n, 0);
    if (!f) {
        Fail(kExprUnableToStoreVariable);
        return nullptr;
    }
    f->external = call;
    for (int32_t i = 0; externals->ExternalParameter(call, i, &parameter, &parameterLength, &flags); ++i) {
        if (!parameter) {
            parameter = "";
            parameterLength = 0;
        }
        if (parameterLength < 0) parameterLength = static_cast<int32_t>(std::strlen(parameter));
        if (f->AddParameter(flags, parameter, parameterLength) < 0) {
            Fail(kExprUnableToStoreVariable);
            return nullptr;
        }
    }
    if (secondFunctions) secondFunctions->AddCopy(*f);
    return f;
}

int ExpressionCompiler::CompileCall(int32_t start, int32_t nameEnd, int32_t end) {
    const char* name = text + start;
    int32_t n = nameEnd - start;
    int32_t close = SkipBalanced(nameEnd, end, '(', ')');
    if (close < 0) return 0;
    Function* function = ResolveFunction(name, n);
    if (!function) {
        if (failed) return 0;
        String message("Unable to find function '");
        message.Append(name, n);
        message.AppendChar('\'');
        return Fail(message);
    }

    // Arguments end at commas outside quotes and parentheses.
    int32_t count = 0;
    int32_t argument = nameEnd + 1;
    int32_t level = 0;
    int ok = 1;
    for (int32_t i = argument; ok && i < close; ++i) {
        char c = text[i];
        if (IsQuote(c)) {
            i = SkipQuote(i, close);
            if (i < 0) ok = 0;
        } else if (c == '(') {
            ++level;
        } else if (c == ')') {
            --level;
        } else if (c == ',' && level == 0) {
            ok = CompileRange(argument, i);
            ++count;
            argument = i + 1;
        }
    }
    if (ok && !IsAllWhitespace(text + argument, close - argument)) {
        ok = CompileRange(argument, close);
        ++count;
    }
    if (!ok) return 0;

    int32_t expected = function->Parameters().Count();
    if (count != expected) {
        String message("Function '");
        message.Append(name, n);
        message.Append("' is defined with ");
        message.AppendInteger(expected);
        message.Append(" parameters and was called with ");
        message.AppendInteger(count);
        return Fail(message);
    }
    if (!EmitLine() || !Emit(Op_call, function->index)) return 0;
    // The callee moves the machine's source position; the next item puts it back.
    if (sourceFile >= 0 && !Emit(Op_sourcefile, sourceFile)) return 0;
    lastLineKnown = false;
    return Trailing(close + 1, end);
}

// --- Entry -----------------------------------------------------------------------------------

int ExpressionCompiler::Compile() {
    if (failed) return 0;
    if (!prepared) {
        prepared = true;
        if (databaseName) {
            databaseIndex = StoreText(databaseName, static_cast<int32_t>(std::strlen(databaseName)));
            if (databaseIndex < 0) return Fail(kExprUnableToStoreVariable);
        }
        if (sourceFileText) {
            sourceFile = StoreText(sourceFileText, sourceFileLength);
            if (sourceFile < 0) return Fail(kExprUnableToStoreVariable);
        }
        if (!segment) segment = segments ? segments->AddSegment() : nullptr;
        if (!segment) return Fail(kExprNoSegment);
    }
    if (sourceFile >= 0 && !Emit(Op_sourcefile, sourceFile)) return 0;
    if (!CompileRange(0, length)) return 0;
    return failed ? 0 : 1;
}

} // namespace vorn
