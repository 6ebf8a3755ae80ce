// The objects a parsed SQL statement lives in until code generation: the
// statement, its queries, their table references and selected columns, and
// expression trees. SQLCodeGenerator owns every one of them; a reset frees them.
#pragma once

#include "sqllib/front/SqlCatalog.h"
#include "sqllib/front/SqlCollections.h"
#include "sqllib/front/SqlColumnDefinition.h"

#include <cstdint>
#include <vector>

namespace vorn {

class SQLCodeGenerator;
class SQLComplexElement;
class SQLQuery;
class SQLReferenceManager;
struct SQLExpressionNode;
struct SQLTableReference;

// ---- Expressions -------------------------------------------------------------------

inline constexpr int32_t kSqlNodeEmpty = 0;
inline constexpr int32_t kSqlNodeLiteral = 1;
inline constexpr int32_t kSqlNodeColumn = 2;
inline constexpr int32_t kSqlNodeOperator = 3;
inline constexpr int32_t kSqlNodeComplex = 4;
inline constexpr int32_t kSqlNodeParameter = 5;
inline constexpr int32_t kSqlNodeInteger = 6; // the 0 under a leading "-"

// A column as an expression names it; bound to a table reference of its query
// (or of an enclosing one) before code generation.
struct SQLColumnReference {
    const char* name = nullptr;
    int32_t nameLength = 0;
    const char* qualifier = nullptr; // null when no table was written
    int32_t qualifierLength = 0;
    SQLReferenceManager* manager = nullptr;
    SQLExpressionNode* node = nullptr;  // the node that reads it
    SQLTableReference* table = nullptr; // once bound
    int32_t field = -1;                 // column number in the catalog table
    int32_t type = 0;
    int32_t cursor = -1;
    int32_t column = -1; // number among the columns its cursor opens
    bool needsBinding = true;
};

// Operators have one operand (first) or two; the leading "-" has an Integer 0
// as its first operand. BETWEEN and IN are operators (token 0) over the tested
// value whose element generates the test.
struct SQLExpressionNode {
    SQLExpressionNode* first = nullptr;
    SQLExpressionNode* second = nullptr;
    int32_t kind = kSqlNodeEmpty;
    int32_t op = 0;
    const char* text = nullptr; // literal
    int32_t length = 0;
    SQLColumnReference* column = nullptr;
    SQLComplexElement* element = nullptr;
    int32_t value = 0; // parameter index, or the Integer node's value
};

// ---- Complex elements -----------------------------------------------------------------

inline constexpr int32_t kSqlElementQuery = 0;
inline constexpr int32_t kSqlElementBetween = 1;
inline constexpr int32_t kSqlElementIn = 2;
inline constexpr int32_t kSqlElementOrderByReference = 3;
inline constexpr int32_t kSqlElementAggregate = 4;
inline constexpr int32_t kSqlElementAggregateCount = 5;
inline constexpr int32_t kSqlElementAggregateColumn = 6;

// An expression part that generates its own code.
class SQLComplexElement {
  public:
    explicit SQLComplexElement(int32_t kind) : elementKind(kind) {}
    virtual ~SQLComplexElement() = default;
    virtual int Generate(SQLCodeGenerator& generator) = 0;

    const int32_t elementKind;
};

class SQLBetween : public SQLComplexElement {
  public:
    SQLBetween() : SQLComplexElement(kSqlElementBetween) {}
    int Generate(SQLCodeGenerator& generator) override;

    SQLExpressionNode* lower = nullptr;
    SQLExpressionNode* upper = nullptr;
};

class SQLIn : public SQLComplexElement {
  public:
    SQLIn() : SQLComplexElement(kSqlElementIn) {}
    int Generate(SQLCodeGenerator& generator) override;

    std::vector<SQLExpressionNode*> literals; // or
    SQLQuery* query = nullptr;
};

// An ORDER BY item that stands for a result column.
class SQLOrderBySelectListReference : public SQLComplexElement {
  public:
    SQLOrderBySelectListReference() : SQLComplexElement(kSqlElementOrderByReference) {}
    int Generate(SQLCodeGenerator& generator) override;

    SQLQuery* query = nullptr; // whose temporary table holds the result column
    int32_t resultColumn = -1;
};

// AVG, COUNT(*), MAX, MIN, SUM over the query's group bucket; Generate reads
// the slot, Accumulate emits the update of one row.
class SQLAggregate : public SQLComplexElement {
  public:
    explicit SQLAggregate(int32_t token, int32_t kind = kSqlElementAggregate)
        : SQLComplexElement(kind), function(token) {}
    int Generate(SQLCodeGenerator& generator) override;
    virtual int Accumulate(SQLCodeGenerator& generator);

    int32_t function;     // token: 14 AVG, 43 COUNT, 128 MAX, 129 MIN, 187 SUM
    int32_t bucket = -1;
    int32_t slot = -1;
    SQLExpressionNode* argument = nullptr;
    SQLQuery* query = nullptr; // the query whose select list holds it
};

class SQLAggregateCount : public SQLAggregate {
  public:
    SQLAggregateCount() : SQLAggregate(43, kSqlElementAggregateCount) {}
    int Generate(SQLCodeGenerator& generator) override;
    int Accumulate(SQLCodeGenerator& generator) override;
};

// A grouped column kept per group: stored on each row, read per group.
class SQLAggregateColumn : public SQLAggregate {
  public:
    SQLAggregateColumn() : SQLAggregate(0, kSqlElementAggregateColumn) {}
    int Accumulate(SQLCodeGenerator& generator) override;

    SQLColumnReference* column = nullptr;
};

// ---- Queries -----------------------------------------------------------------------

struct SQLTableReference {
    int32_t cursor = -1;
    const char* name = nullptr;
    int32_t nameLength = 0;
    const char* alias = nullptr; // the name itself when none was written
    int32_t aliasLength = 0;
    SQLCatalogTable* table = nullptr;
    SQLTableReference* joinedTo = nullptr; // LEFT OUTER JOINed to this one
    SQLExpressionNode* on = nullptr;
    SQLReferenceManager* manager = nullptr;
    int32_t position = 0; // in FROM order
    int32_t write = 0;

    // Conjuncts of the WHERE (of the ON condition for a joined table) that this
    // table's loop tests; for a joined table, the rest of its ON condition too.
    std::vector<SQLExpressionNode*> filter;
    std::vector<SQLExpressionNode*> onRest;

    // The scan: index, equality keys in key order, range start and stop.
    const SQLCatalogIndex* index = nullptr;
    std::vector<SQLExpressionNode*> keys;
    SQLExpressionNode* rangeStart = nullptr;
    SQLExpressionNode* stopColumn = nullptr;
    SQLExpressionNode* stopValue = nullptr;
    int32_t stopOperator = 0;

    // Opened columns: catalog column -> column number, and back.
    std::vector<int32_t> columnOf;
    std::vector<int32_t> fields;

    // The column number of catalog column field, opened on first use.
    int32_t OpenColumn(int32_t field);
};

// The table references visible in one query, in FROM order, and the column
// references its expressions made.
class SQLReferenceManager {
  public:
    SQLTableReference* FindAlias(const char* alias, int32_t length) const;

    std::vector<SQLTableReference*> tables;
    std::vector<SQLColumnReference*> columns;
    std::vector<SQLReferenceManager*> children; // managers of the sub-queries inside
    SQLReferenceManager* parent = nullptr;
    SQLQuery* query = nullptr; // null for the managers of UPDATE, DELETE and VALUES
};

struct SQLSelectedColumn {
    int32_t id = -1;
    const char* name = nullptr;
    int32_t nameLength = 0;
    const char* qualifier = nullptr; // t of a t.* entry
    int32_t qualifierLength = 0;
    bool tableStar = false; // a t.* entry before the select lists are prepared
    SQLExpressionNode* value = nullptr;
};

struct SQLUnion {
    SQLQuery* query = nullptr;
    bool distinct = false;
};

// One ORDER BY item; the temporary table sorts on column columnId.
struct SQLOrderBy {
    int32_t columnId = -1;
    int32_t resultColumn = -1;
    SQLExpressionNode* value = nullptr;
    int32_t ascending = 1;
};

inline constexpr int32_t kSqlQueryStatement = 0;
inline constexpr int32_t kSqlQueryIn = 1;
inline constexpr int32_t kSqlQueryScalar = 2; // scalar and comparison sub-queries
inline constexpr int32_t kSqlQueryExists = 3;

class SQLQuery : public SQLComplexElement {
  public:
    explicit SQLQuery(int32_t queryKind) : SQLComplexElement(kSqlElementQuery), kind(queryKind) {}
    int Generate(SQLCodeGenerator& generator) override;

    bool Grouped() const { return !aggregates.empty() || !groupBy.empty(); }

    int32_t kind;
    SQLReferenceManager* manager = nullptr;
    SQLQuery* first = nullptr; // for a UNION member, the query it belongs to
    bool distinct = false;
    bool star = false;
    std::vector<SQLSelectedColumn*> columns;
    SQLExpressionNode* where = nullptr;
    std::vector<SQLExpressionNode*> groupBy;
    std::vector<SQLUnion> unions;
    CollList<SQLOrderBy> orderBy;
    std::vector<SQLAggregate*> aggregates; // with the kept columns
    int32_t groupBucket = -1;
    int32_t distinctBucket = -1;
    int32_t unionBucket = -1;
    int32_t temporaryTable = -1;
    int32_t nextSlot = 0;
    bool orderByNamesResults = false; // ORDER BY must name result columns
    std::vector<SQLExpressionNode*> remainder; // WHERE conjuncts the innermost loop tests
};

// ---- Statements --------------------------------------------------------------------

inline constexpr int32_t kSqlStatementCreateTable = 0;
inline constexpr int32_t kSqlStatementAlterTableAdd = 1;
inline constexpr int32_t kSqlStatementAlterTableDrop = 2;
inline constexpr int32_t kSqlStatementDropTable = 3;
inline constexpr int32_t kSqlStatementCreateIndex = 4;
inline constexpr int32_t kSqlStatementDropIndex = 5;
inline constexpr int32_t kSqlStatementSelect = 6;
inline constexpr int32_t kSqlStatementInsert = 7;
inline constexpr int32_t kSqlStatementUpdate = 8;
inline constexpr int32_t kSqlStatementDelete = 9;

class SQLStatement {
  public:
    virtual ~SQLStatement() = default;
    virtual int32_t Kind() const = 0;
    virtual int Generate(SQLCodeGenerator& generator) = 0;
    virtual int Resolve(SQLCodeGenerator&) { return 1; }
    virtual int Plan(SQLCodeGenerator&) { return 1; }
};

class SQLCreateTableStatement : public SQLStatement {
  public:
    int32_t Kind() const override { return kSqlStatementCreateTable; }
    int Generate(SQLCodeGenerator& generator) override;

    const char* table = nullptr;
    int32_t tableLength = 0;
    ColumnDefinitionList columns;
};

class SQLAlterTableStatement : public SQLStatement {
  public:
    const char* table = nullptr;
    int32_t tableLength = 0;
};

class SQLAlterTableAddStatement : public SQLAlterTableStatement {
  public:
    int32_t Kind() const override { return kSqlStatementAlterTableAdd; }
    int Generate(SQLCodeGenerator& generator) override;

    ColumnDefinitionList columns;
};

class SQLAlterTableDropStatement : public SQLAlterTableStatement {
  public:
    int32_t Kind() const override { return kSqlStatementAlterTableDrop; }
    int Generate(SQLCodeGenerator& generator) override;

    const char* column = nullptr;
    int32_t columnLength = 0;
};

class SQLDropTableStatement : public SQLStatement {
  public:
    int32_t Kind() const override { return kSqlStatementDropTable; }
    int Generate(SQLCodeGenerator& generator) override;

    const char* table = nullptr;
    int32_t tableLength = 0;
};

struct SQLIndexColumn {
    const char* name = nullptr;
    int32_t nameLength = 0;
    int32_t ascending = 1; // 0 for DESC
};

class SQLCreateIndexStatement : public SQLStatement {
  public:
    int32_t Kind() const override { return kSqlStatementCreateIndex; }
    int Generate(SQLCodeGenerator& generator) override;

    int32_t unique = 0;
    const char* index = nullptr;
    int32_t indexLength = 0;
    const char* table = nullptr;
    int32_t tableLength = 0;
    CollList<SQLIndexColumn> columns;
};

class SQLDropIndexStatement : public SQLStatement {
  public:
    int32_t Kind() const override { return kSqlStatementDropIndex; }
    int Generate(SQLCodeGenerator& generator) override;

    const char* index = nullptr;
    int32_t indexLength = 0;
};

class SQLSelectStatement : public SQLStatement {
  public:
    int32_t Kind() const override { return kSqlStatementSelect; }
    int Generate(SQLCodeGenerator& generator) override;
    int Resolve(SQLCodeGenerator& generator) override;
    int Plan(SQLCodeGenerator& generator) override;

    SQLQuery* query = nullptr;
};

class SQLInsertStatement : public SQLStatement {
  public:
    int32_t Kind() const override { return kSqlStatementInsert; }
    int Generate(SQLCodeGenerator& generator) override;
    int Resolve(SQLCodeGenerator& generator) override;
    int Plan(SQLCodeGenerator& generator) override;
    virtual int ResolveTable(SQLCodeGenerator& generator);
    virtual void EmitOpen(SQLCodeGenerator& generator);
    virtual void EmitColumns(SQLCodeGenerator& generator);
    virtual void EmitRow(SQLCodeGenerator& generator);
    virtual int GenerateValues(SQLCodeGenerator& generator);
    virtual int GenerateQuery(SQLCodeGenerator& generator);

    SQLTableReference* table = nullptr; // in no manager: only written
    int32_t allColumns = 0;
    struct Target {
        const char* name;
        int32_t nameLength;
        int32_t field;
    };
    std::vector<Target> targets;
    std::vector<SQLExpressionNode*> values;
    SQLReferenceManager* valuesManager = nullptr;
    SQLQuery* query = nullptr;
};

struct SQLUpdatedColumn {
    SQLColumnReference* column = nullptr;
    SQLExpressionNode* value = nullptr; // null: SET column = NULL
};

class SQLUpdateStatement : public SQLStatement {
  public:
    int32_t Kind() const override { return kSqlStatementUpdate; }
    int Generate(SQLCodeGenerator& generator) override;
    int Plan(SQLCodeGenerator& generator) override;

    SQLTableReference* table = nullptr;
    SQLReferenceManager* manager = nullptr;
    std::vector<SQLUpdatedColumn> columns;
    SQLExpressionNode* where = nullptr;
};

class SQLDeleteStatement : public SQLStatement {
  public:
    int32_t Kind() const override { return kSqlStatementDelete; }
    int Generate(SQLCodeGenerator& generator) override;
    int Plan(SQLCodeGenerator& generator) override;

    SQLTableReference* table = nullptr;
    SQLReferenceManager* manager = nullptr;
    SQLExpressionNode* where = nullptr;
};

} // namespace vorn
