// Turns the statement objects that the parser fills into one instruction
// program: binds names to the catalog, plans each query (conditions pushed down
// to tables, an index per table, sorting) and emits the instructions.
#pragma once

#include "engine/foundation/String.h"
#include "sqllib/front/SqlCatalog.h"
#include "sqllib/front/SqlInstruction.h"
#include "sqllib/front/SqlStatement.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace vorn {

// A row whose values a stage of a query can push, in select-list order.
class SQLRowSource {
  public:
    virtual ~SQLRowSource() = default;
    virtual int Push() = 0;
};

// What becomes of each row a query produces.
class SQLRowSink {
  public:
    virtual ~SQLRowSink() = default;
    virtual int Row(SQLRowSource& row) = 0;
};

class SQLCodeGenerator {
  public:
    // Keys and de-duplicated rows generate their expressions twice, so nested
    // sub-queries can double a program per level: beyond this it is refused.
    static constexpr int32_t kMaxInstructions = 500000;

    explicit SQLCodeGenerator(SQLCatalog* catalog);
    SQLCodeGenerator(const SQLCodeGenerator&) = delete;
    SQLCodeGenerator& operator=(const SQLCodeGenerator&) = delete;
    ~SQLCodeGenerator();

    // Discards the previous statement's objects (not its instructions).
    void Reset();
    // 1 when the program is complete, else 0 with ErrorText() set.
    int Generate();

    const String& ErrorText() const { return error; }
    const SQLInstruction* Instructions() const { return program.Instructions(); }
    int32_t InstructionCount() const { return program.Count(); }
    SQLProgram& Program() { return program; }
    // Values Bind must supply: one more than the highest parameter index.
    int32_t ParameterCount() const { return parameterCount; }
    SQLCatalog* Catalog() const { return catalog; }
    SQLStatement* Statement() const { return statement; }
    const char* Text() const { return text; }
    int32_t TextLength() const { return textLength; }

    // ---- Building, for the parser ------------------------------------------------------
    void SetText(const char* statementText, int32_t length);
    void SetStatement(SQLStatement* made);
    template <class T>
    T* NewStatement() {
        T* made = new T;
        SetStatement(made);
        return made;
    }
    SQLExpressionNode* NewNode(int32_t kind);
    SQLExpressionNode* NewOperator(int32_t op, SQLExpressionNode* first, SQLExpressionNode* second = nullptr);
    SQLExpressionNode* NewLiteral(const char* literal, int32_t length);
    SQLExpressionNode* NewColumn(SQLReferenceManager* manager, const char* qualifier, int32_t qualifierLength,
                                 const char* name, int32_t nameLength);
    // index -1: the next "?"; else the parameter of that index.
    SQLExpressionNode* NewParameter(int32_t index);
    SQLExpressionNode* NewComplex(SQLComplexElement* element);
    template <class T, class... Args>
    T* NewElement(Args... args) {
        T* made = new T(args...);
        elements.emplace_back(made);
        return made;
    }
    SQLQuery* NewQuery(int32_t kind, SQLReferenceManager* parent);
    SQLReferenceManager* NewManager(SQLReferenceManager* parent, SQLQuery* query);
    SQLTableReference* NewTableReference(SQLReferenceManager* manager, const char* name, int32_t nameLength);
    SQLSelectedColumn* NewSelectedColumn(SQLQuery* query);

    // ---- For the statement objects ----------------------------------------------------------
    int Fail(const String& message);
    int Fail(const char* message);
    int32_t Emit(int32_t opcode, int32_t a = 0, int32_t b = 0, int32_t c = 0, const char* text1 = nullptr,
                 int32_t length1 = 0, const char* text2 = nullptr, int32_t length2 = 0, void* object = nullptr) {
        return program.Emit(opcode, a, b, c, text1, length1, text2, length2, object);
    }
    int32_t NextCursor() { return cursors++; }
    int32_t NextTemporaryTable() { return temporaryTables++; }
    int32_t NextBucket() { return buckets++; }

    // Expressions: post-order, without recursion per operator.
    int GenerateExpression(SQLExpressionNode* node);
    // A condition that jumps test: leaves 1 or 0.
    int GenerateCondition(SQLExpressionNode* node);
    int GenerateConditions(const std::vector<SQLExpressionNode*>& conjuncts);
    // All rows of a query (with its UNION members) into the sink.
    int GenerateRows(SQLQuery* query, SQLRowSink& sink);
    int GenerateSubQuery(SQLQuery* query);
    int GenerateBetween(SQLBetween* between);
    int GenerateIn(SQLIn* in);
    int GenerateSelect(SQLSelectStatement* select);
    int GenerateChange(SQLTableReference* table, const std::vector<SQLUpdatedColumn>* set,
                       SQLExpressionNode* where);

    // Planning shared with the statements.
    void ChooseIndex(SQLTableReference* table, const std::vector<SQLExpressionNode*>& conjuncts,
                     int preferredDirection, bool joined);
    static void SplitConjuncts(SQLExpressionNode* node, std::vector<SQLExpressionNode*>& out);
    static bool ContainsOr(SQLExpressionNode* node);
    // FROM position of the last table of query's manager that the node reads
    // (its sub-queries included), or -1.
    int32_t RequiredPosition(SQLExpressionNode* node, SQLReferenceManager* manager);
    // Calls visit on every column reference made inside a query, its UNION
    // members and their sub-queries.
    template <class F>
    void ForEachReferenceIn(SQLQuery* query, F&& visit);

  private:
    int ResolveTables();
    int PrepareSelectLists();
    int PrepareSelectList(SQLQuery* query);
    int ResolveOrderBy(SQLQuery* query);
    int BindColumns();
    int PlanQuery(SQLQuery* query);
    int CheckGroupBy(SQLQuery* query);
    void PlanOrderBy(SQLQuery* query);
    void EmitCursorOpens();
    int GenerateMember(SQLQuery* query, SQLRowSink& sink);
    int GenerateThroughTemporary(SQLQuery* query, SQLRowSink& sink);
    int DistinctRecord(SQLQuery* query, SQLRowSource& row);
    int GenerateLeaf(SQLExpressionNode* node);
    int EmitOperator(SQLExpressionNode* node);
    void Log(const char* text);
    int TooLarge();

    struct Loop {
        SQLTableReference* table;
        int32_t first;     // SQL_Cursor_First
        int32_t top;       // where SQL_Cursor_Next loops to
        int32_t stopJump;  // -1 when none
        std::vector<int32_t> toNext; // jumps to the closing SQL_Cursor_Next
    };
    int OpenLoop(SQLTableReference* table, Loop& loop);
    void CloseLoop(Loop& loop);
    int EmitIndexSetup(SQLTableReference* table);
    int EmitStopTest(SQLTableReference* table, Loop& loop);

    SQLCatalog* catalog;
    SQLStatement* statement = nullptr;
    bool generated = false;
    const char* text = nullptr;
    int32_t textLength = 0;
    int32_t cursors = 0;
    int32_t temporaryTables = 0;
    int32_t buckets = 0;
    int32_t nextParameter = 0;
    int32_t parameterCount = 0;
    String error;
    SQLProgram program;

    std::vector<SQLQuery*> queries;
    std::vector<SQLReferenceManager*> managers;
    std::vector<std::unique_ptr<SQLComplexElement>> elements;
    std::vector<std::unique_ptr<SQLReferenceManager>> ownedManagers;
    std::vector<std::unique_ptr<SQLTableReference>> ownedTables;
    std::vector<std::unique_ptr<SQLColumnReference>> ownedColumns;
    std::vector<std::unique_ptr<SQLSelectedColumn>> ownedSelected;
    std::unique_ptr<SQLStatement> ownedStatement;

    // Nodes come from chunks that a reset keeps for the next statement.
    static constexpr int32_t kNodeChunk = 256;
    std::vector<std::unique_ptr<SQLExpressionNode[]>> nodeChunks;
    int32_t nodesUsed = 0;
};

template <class F>
void SQLCodeGenerator::ForEachReferenceIn(SQLQuery* query, F&& visit) {
    std::vector<SQLReferenceManager*> pending;
    pending.push_back(query->manager);
    for (const SQLUnion& member : query->unions) pending.push_back(member.query->manager);
    while (!pending.empty()) {
        SQLReferenceManager* manager = pending.back();
        pending.pop_back();
        for (SQLColumnReference* reference : manager->columns) visit(reference);
        for (SQLReferenceManager* child : manager->children) pending.push_back(child);
    }
}

} // namespace vorn
