// The SQL scanner and recursive-descent parser. The parser reads one
// statement and fills the statement objects of its code generator as it goes;
// names are checked against the catalog later, when the program is generated.
#pragma once

#include "engine/foundation/String.h"
#include "sqllib/front/SqlStatement.h"

#include <cstdint>

namespace vorn {

class SQLCodeGenerator;

class SQLParser {
  public:
    // Parentheses, sub-queries, function calls and NOTs nested deeper than
    // this fail before recursion could exhaust a worker's stack.
    static constexpr int32_t kMaxNesting = 100;

    explicit SQLParser(SQLCodeGenerator& generator);
    SQLParser(const SQLParser&) = delete;
    SQLParser& operator=(const SQLParser&) = delete;

    // 1 when the whole text is one valid statement, now held by the code
    // generator (which this resets first); 0 with ErrorText() set. length -1
    // means up to the NUL.
    int Parse(const char* text, int32_t length);
    const String& ErrorText() const { return error; }

    // ---- Scanner ------------------------------------------------------------------
    // Starts scanning a text of the parser's own (as Parse does).
    void StartText(const char* sql, int32_t length);
    // Reads the next token (or takes it again after StepBack) and returns it.
    int32_t Scan();
    // Makes the token before the current one current again (up to five).
    void StepBack();
    int32_t Token() const { return token; }
    int32_t TokenStart() const { return tokenStart; }
    int32_t TokenLength() const { return tokenLength; }
    // The current token's text (empty for the end of the text).
    const char* TokenText() const { return text.Text() + tokenStart; }
    int32_t TokenTextLength() const { return token == -1 ? 0 : tokenLength; }

  private:
    int32_t ReadToken();

    int ParseStatement();
    int ParseAlterTable();
    int ParseCreateTable();
    int ParseCreateIndex();
    int ParseColumnDefinition(ColumnDefinitionList& columns);
    int ParseDelete();
    int ParseInsert();
    int ParseUpdate();
    int ParseSelect();
    SQLQuery* ParseQuery(int32_t kind, SQLReferenceManager* parent);
    SQLQuery* ParseQueryCore(int32_t kind, SQLReferenceManager* parent);
    int ParseSelectItem(SQLQuery* query);
    int ParseTableReference(SQLQuery* query);
    SQLExpressionNode* ParseCondition(SQLReferenceManager* manager);
    SQLExpressionNode* ParseAndTerm(SQLReferenceManager* manager);
    SQLExpressionNode* ParseNotTerm(SQLReferenceManager* manager);
    SQLExpressionNode* ParseGroup(SQLReferenceManager* manager);
    SQLExpressionNode* ParsePredicate(SQLReferenceManager* manager);
    SQLExpressionNode* ParseRightSide(SQLReferenceManager* manager);
    SQLExpressionNode* ParseSubQuery(int32_t kind, SQLReferenceManager* manager);
    SQLExpressionNode* ParseExpression(SQLReferenceManager* manager);
    SQLExpressionNode* ParseTerm(SQLReferenceManager* manager);
    SQLExpressionNode* ParseSignedFactor(SQLReferenceManager* manager);
    SQLExpressionNode* ParseFactor(SQLReferenceManager* manager);
    SQLExpressionNode* ParseFunctionArgument(SQLReferenceManager* manager);

    bool StartsFactor() const;
    bool Enter();
    void Leave() { --depth; }
    bool TokenIsInteger(int32_t& value) const;
    bool TableName(const char*& name, int32_t& length);
    int Fail(const String& message);
    int Fail(const char* message);
    int Expected(const char* what);
    int Unexpected();
    String Quoted(const char* name, int32_t length) const;

    SQLCodeGenerator& generator;
    String text;
    int32_t textLength = 0;
    int32_t position = 0;
    int32_t token = -1;
    int32_t tokenStart = 0;
    int32_t tokenLength = 0;
    int32_t previousStart = 0;
    int32_t previousLength = 0;

    struct RingEntry {
        int32_t token;
        int32_t start;
        int32_t length;
        int32_t previousStart;
        int32_t previousLength;
    };
    RingEntry ring[5] = {};
    int32_t ringIndex = -1;
    int32_t ringFilled = 0;
    int32_t ringBack = 0;

    int32_t depth = 0;
    String error;
};

} // namespace vorn
