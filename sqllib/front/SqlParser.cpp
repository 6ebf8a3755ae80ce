#include "sqllib/front/SqlParser.h"

#include "engine/foundation/Hash.h"
#include "sqllib/front/SqlCodeGenerator.h"
#include "sqllib/front/SqlKeywords.h"
#include "sqllib/front/SqlMessages.h"
#include "sqllib/front/SqlToken.h"

#include <cstring>

namespace vorn {

namespace {

bool IsLetter(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsWordByte(unsigned char c) { return IsLetter(c) || AsciiIsDigit(c) || c == '_'; }

bool IsComparison(int32_t token) {
    return token == kSqlEqual || token == kSqlNotEqual || token == kSqlLess || token == kSqlGreater ||
           token == kSqlLessEqual || token == kSqlGreaterEqual;
}

// Integers in the text are read saturated, so widths never overflow int32.
constexpr int64_t kIntegerCap = 1000000000;

} // namespace

SQLParser::SQLParser(SQLCodeGenerator& codeGenerator) : generator(codeGenerator) {}

// ---- Scanner ----------------------------------------------------------------------------

void SQLParser::StartText(const char* sql, int32_t length) {
    if (!sql) length = 0;
    if (length < 0) length = static_cast<int32_t>(std::strlen(sql));
    text.Assign(sql, length);
    textLength = length;
    position = 0;
    token = -1;
    tokenStart = tokenLength = 0;
    previousStart = previousLength = 0;
    ringIndex = -1;
    ringFilled = ringBack = 0;
}

int32_t SQLParser::ReadToken() {
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text.Text());
    while (position < textLength) {
        unsigned char c = s[position];
        if (AsciiIsSpace(c)) {
            ++position;
            continue;
        }
        if (c == ':' || AsciiIsDigit(c)) {
            // A parameter's text starts after the ":"; both run over digits and ".".
            tokenStart = c == ':' ? position + 1 : position;
            position = tokenStart;
            while (position < textLength && (AsciiIsDigit(s[position]) || s[position] == '.')) ++position;
            tokenLength = position - tokenStart;
            return c == ':' ? kSqlParameter : kSqlLiteral;
        }
        if (c == '\'') {
            tokenStart = position + 1;
            const void* quote = std::memchr(s + tokenStart, '\'', static_cast<size_t>(textLength - tokenStart));
            int32_t end = quote ? static_cast<int32_t>(static_cast<const unsigned char*>(quote) - s) : textLength;
            tokenLength = end - tokenStart;
            position = quote ? end + 1 : end;
            return kSqlLiteral;
        }
        if (IsLetter(c) || c == '_') {
            tokenStart = position;
            while (position < textLength && IsWordByte(s[position])) ++position;
            tokenLength = position - tokenStart;
            const SQLKeywordRow* row = SQLKeywordLookup::Lookup(text.Text() + tokenStart, tokenLength);
            return row ? row->token : kSqlIdentifier;
        }
        if (position + 1 < textLength && (c == '<' || c == '>')) {
            unsigned char d = s[position + 1];
            int32_t pair = c == '<' ? (d == '>' ? kSqlNotEqual : d == '=' ? kSqlLessEqual : 0)
                                    : (d == '=' ? kSqlGreaterEqual : 0);
            if (pair) {
                tokenStart = position;
                tokenLength = 2;
                position += 2;
                return pair;
            }
        }
        // Anything the table lacks (bytes above 127 among them) is skipped.
        const SQLKeywordRow* row = SQLKeywordLookup::Lookup(text.Text() + position, 1);
        ++position;
        if (row) {
            tokenStart = position - 1;
            tokenLength = 1;
            return row->token;
        }
    }
    return kSqlEnd; // start and length stay as the token before set them
}

int32_t SQLParser::Scan() {
    if (ringBack > 0) {
        ringIndex = (ringIndex + 1) % 5;
        const RingEntry& e = ring[ringIndex];
        token = e.token;
        tokenStart = e.start;
        tokenLength = e.length;
        previousStart = e.previousStart;
        previousLength = e.previousLength;
        --ringBack;
        return token;
    }
    previousStart = tokenStart;
    previousLength = tokenLength;
    token = ReadToken();
    ringIndex = (ringIndex + 1) % 5;
    ring[ringIndex] = RingEntry{token, tokenStart, tokenLength, previousStart, previousLength};
    if (ringFilled < 5) ++ringFilled;
    return token;
}

void SQLParser::StepBack() {
    if (ringBack == ringFilled) return;
    ringIndex = ringIndex == 0 ? 4 : ringIndex - 1;
    const RingEntry& e = ring[ringIndex];
    token = e.token;
    tokenStart = e.start;
    tokenLength = e.length;
    previousStart = e.previousStart;
    previousLength = e.previousLength;
    ++ringBack;
}

// ---- Messages -----------------------------------------------------------------------------

int SQLParser::Fail(const String& message) {
    error.Assign(message);
    return 0;
}

int SQLParser::Fail(const char* message) {
    error.Assign(message);
    return 0;
}

String SQLParser::Quoted(const char* name, int32_t length) const {
    String out("'");
    out.Append(name, length);
    out.AppendChar('\'');
    return out;
}

int SQLParser::Expected(const char* what) {
    String message("Syntax Error: Expected ");
    message.Append(what);
    if (token == kSqlEnd) {
        message.Append(" at end of query");
    } else {
        message.Append(", found ");
        message.AppendString(Quoted(TokenText(), TokenTextLength()));
    }
    return Fail(message);
}

int SQLParser::Unexpected() {
    String message("Syntax Error: ");
    message.AppendString(Quoted(TokenText(), TokenTextLength()));
    message.Append(" unexpected");
    return Fail(message);
}

bool SQLParser::Enter() {
    if (++depth <= kMaxNesting) return true;
    String message("Syntax Error: Statement nested more than ");
    message.AppendInteger(kMaxNesting);
    message.Append(" levels deep");
    Fail(message);
    return false;
}

// An optional "-" and digits, read saturated.
bool SQLParser::TokenIsInteger(int32_t& value) const {
    if (token == kSqlEnd) return false;
    const char* p = TokenText();
    int32_t n = tokenLength, i = 0;
    bool negative = n > 0 && p[0] == '-';
    if (negative) ++i;
    if (i == n) return false;
    int64_t v = 0;
    for (; i < n; ++i) {
        if (!AsciiIsDigit(static_cast<unsigned char>(p[i]))) return false;
        if (v <= kIntegerCap) v = v * 10 + (p[i] - '0');
    }
    if (v > kIntegerCap) v = kIntegerCap + 1;
    value = static_cast<int32_t>(negative ? -v : v);
    return true;
}

// The table name of CREATE TABLE and ALTER TABLE: an identifier within the catalog's limit.
bool SQLParser::TableName(const char*& name, int32_t& length) {
    if (token != kSqlIdentifier) return Expected("identifier");
    SQLCatalog* catalog = generator.Catalog();
    int32_t limit = catalog ? catalog->TableNameLimit() : 64;
    if (tokenLength > limit) {
        String message("Table name ");
        message.AppendString(Quoted(TokenText(), tokenLength));
        message.Append(" exceeds the maximum length of ");
        message.AppendInteger(limit);
        message.Append(" characters");
        return Fail(message);
    }
    name = TokenText();
    length = tokenLength;
    return true;
}

// ---- Statements -------------------------------------------------------------------------

int SQLParser::Parse(const char* sql, int32_t length) {
    generator.Reset();
    StartText(sql, length);
    generator.SetText(text.Text(), textLength);
    error.Assign("");
    depth = 0;
    Scan();
    if (ParseStatement() && (token == kSqlEnd || Fail("Syntax Error: SQL command not properly ended"))) return 1;
    // A half-built statement must never reach code generation.
    generator.SetStatement(nullptr);
    return 0;
}

int SQLParser::ParseStatement() {
    switch (token) {
    case kSqlAlter:
        if (Scan() != kSqlTable) return Expected("TABLE");
        Scan();
        return ParseAlterTable();
    case kSqlCreate:
        Scan();
        if (token == kSqlIndex || token == kSqlUnique) return ParseCreateIndex();
        if (token != kSqlTable) return Expected("TABLE");
        Scan();
        return ParseCreateTable();
    case kSqlDelete:
        Scan();
        return ParseDelete();
    case kSqlInsert:
        Scan();
        return ParseInsert();
    case kSqlSelect:
        Scan();
        return ParseSelect();
    case kSqlUpdate:
        Scan();
        return ParseUpdate();
    case kSqlDrop: {
        int32_t what = Scan();
        if (what != kSqlIndex && what != kSqlTable) return Expected("TABLE or INDEX");
        // The name is taken whatever its kind, but it must be there.
        if (Scan() == kSqlEnd) return Expected("identifier");
        if (what == kSqlIndex) {
            auto* drop = generator.NewStatement<SQLDropIndexStatement>();
            drop->index = TokenText();
            drop->indexLength = tokenLength;
        } else {
            auto* drop = generator.NewStatement<SQLDropTableStatement>();
            drop->table = TokenText();
            drop->tableLength = tokenLength;
        }
        Scan();
        return 1;
    }
    default:
        return Fail("Syntax Error: Empty SQL Statement");
    }
}

int SQLParser::ParseAlterTable() {
    const char* name;
    int32_t length;
    if (!TableName(name, length)) return 0;
    Scan();
    if (token == kSqlAdd) {
        auto* alter = generator.NewStatement<SQLAlterTableAddStatement>();
        alter->table = name;
        alter->tableLength = length;
        if (Scan() != kSqlOpen) return ParseColumnDefinition(alter->columns);
        do {
            Scan();
            if (!ParseColumnDefinition(alter->columns)) return 0;
        } while (token == kSqlComma);
        if (token != kSqlClose) return Fail(kSqlMismatchedParentheses);
        Scan();
        return 1;
    }
    if (token == kSqlDrop) {
        auto* alter = generator.NewStatement<SQLAlterTableDropStatement>();
        alter->table = name;
        alter->tableLength = length;
        if (Scan() != kSqlColumn) return Expected("COLUMN");
        if (Scan() != kSqlIdentifier) return Expected("column name");
        alter->column = TokenText();
        alter->columnLength = tokenLength;
        Scan();
        return 1;
    }
    return Expected("ADD or DROP");
}

int SQLParser::ParseCreateTable() {
    auto* create = generator.NewStatement<SQLCreateTableStatement>();
    if (!TableName(create->table, create->tableLength)) return 0;
    if (Scan() != kSqlOpen) return Expected("open parenthesis");
    do {
        Scan();
        if (!ParseColumnDefinition(create->columns)) return 0;
    } while (token == kSqlComma);
    if (token != kSqlClose) return Fail(kSqlMismatchedParentheses);
    Scan();
    return 1;
}

int SQLParser::ParseColumnDefinition(ColumnDefinitionList& columns) {
    if (token != kSqlIdentifier) return Expected("column name");
    String name(TokenText(), tokenLength);
    if (tokenLength > ColumnDefinition::kMaxName) {
        String message("Column name ");
        message.AppendString(Quoted(TokenText(), tokenLength));
        message.Append(" exceeds the maximum length of 10 characters");
        return Fail(message);
    }
    auto* column = new ColumnDefinition;
    columns.Append(column);
    std::memcpy(column->name, TokenText(), static_cast<size_t>(tokenLength));
    column->nameLength = tokenLength;

    auto refuse = [&](const char* what) {
        String message("Column ");
        message.AppendString(Quoted(name.Text(), name.Length()));
        message.Append(what);
        return Fail(message);
    };
    switch (Scan()) {
    case kSqlChar:
    case kSqlCharacter:
    case kSqlVarchar: {
        bool required = token == kSqlVarchar;
        column->type = kSqlTypeCharacter;
        column->width = 1;
        if (Scan() != kSqlOpen) {
            if (required) return Expected("open parenthesis");
            break;
        }
        Scan();
        if (!TokenIsInteger(column->width)) return Expected("integer");
        if (Scan() != kSqlClose) {
            if (required) return Expected("close parenthesis");
            return Fail(kSqlMismatchedParentheses);
        }
        Scan();
        if (column->width < 1 || column->width > 254) return refuse(" must be 1 to 254 characters wide");
        break;
    }
    case kSqlDecimal:
    case kSqlNumeric: {
        column->type = kSqlTypeNumeric;
        int32_t precision = 19, scale = 0;
        if (Scan() == kSqlOpen) {
            Scan();
            if (!TokenIsInteger(precision)) return Expected("integer");
            if (Scan() == kSqlComma) {
                Scan();
                if (!TokenIsInteger(scale)) return Expected("integer");
                Scan();
            }
            if (token != kSqlClose) return Expected("close parenthesis");
            Scan();
        }
        if (precision < 1) return refuse(" must be at least 1 digit wide");
        if (scale < 0) return refuse(" cannot have fewer than 0 decimals");
        column->width = scale > 0 ? precision + scale + 1 : precision;
        column->decimals = scale;
        if (column->width >= 20) return Fail("NUMERIC fields may only be 19 digits, field is too many digits");
        break;
    }
    case kSqlInteger:
    case kSqlSmallint:
        column->type = kSqlTypeNumeric;
        column->width = 19;
        Scan();
        break;
    case kSqlMemo:
        column->type = kSqlTypeMemo;
        column->width = 10;
        Scan();
        break;
    case kSqlBool:
    case kSqlBoolean:
        column->type = kSqlTypeLogical;
        column->width = 1;
        Scan();
        break;
    default:
        return Fail("Unknown field type");
    }
    return 1;
}

int SQLParser::ParseCreateIndex() {
    auto* create = generator.NewStatement<SQLCreateIndexStatement>();
    if (token == kSqlUnique) {
        create->unique = 1;
        if (Scan() != kSqlIndex) return Expected("INDEX");
    }
    if (Scan() != kSqlIdentifier) return Expected("identifier");
    SQLCatalog* catalog = generator.Catalog();
    int32_t limit = catalog ? catalog->IndexNameLimit() : 64;
    if (tokenLength > limit) {
        String message("Index name ");
        message.AppendString(Quoted(TokenText(), tokenLength));
        message.Append(" exceeds the maximum length of ");
        message.AppendInteger(limit);
        message.Append(" characters");
        return Fail(message);
    }
    create->index = TokenText();
    create->indexLength = tokenLength;
    if (Scan() != kSqlOn) return Expected("ON");
    if (Scan() != kSqlIdentifier) return Expected("identifier");
    create->table = TokenText();
    create->tableLength = tokenLength;
    if (Scan() != kSqlOpen) return Expected("open parenthesis");
    for (;;) {
        if (Scan() != kSqlIdentifier) return Expected("column identifier");
        auto* column = new SQLIndexColumn;
        create->columns.Append(column);
        column->name = TokenText();
        column->nameLength = tokenLength;
        Scan();
        if (token == kSqlAsc || token == kSqlDesc) {
            column->ascending = token == kSqlAsc;
            Scan();
        }
        if (token == kSqlClose) break;
        if (token != kSqlComma) return Expected("close parenthesis");
    }
    Scan();
    return 1;
}

int SQLParser::ParseDelete() {
    auto* remove = generator.NewStatement<SQLDeleteStatement>();
    if (token != kSqlFrom) return Expected("FROM");
    if (Scan() != kSqlIdentifier) return Expected("identifier");
    remove->manager = generator.NewManager(nullptr, nullptr);
    remove->table = generator.NewTableReference(remove->manager, TokenText(), tokenLength);
    remove->table->write = 1;
    if (Scan() == kSqlWhere) {
        Scan();
        remove->where = ParseCondition(remove->manager);
        if (!remove->where) return 0;
    }
    return 1;
}

int SQLParser::ParseInsert() {
    auto* insert = generator.NewStatement<SQLInsertStatement>();
    if (token != kSqlInto) return Expected("INTO");
    if (Scan() != kSqlIdentifier) return Expected("identifier");
    insert->table = generator.NewTableReference(nullptr, TokenText(), tokenLength);
    insert->table->write = 1;
    if (Scan() == kSqlOpen) {
        for (;;) {
            if (Scan() != kSqlIdentifier) return Expected("identifier");
            insert->targets.push_back({TokenText(), tokenLength, -1});
            if (Scan() == kSqlClose) break;
            if (token != kSqlComma) return Expected("close parenthesis");
        }
        Scan();
    } else {
        insert->allColumns = 1;
    }
    if (token == kSqlValues) {
        if (Scan() != kSqlOpen) return Expected("open parenthesis");
        insert->valuesManager = generator.NewManager(nullptr, nullptr);
        for (;;) {
            Scan();
            SQLExpressionNode* value = ParseExpression(insert->valuesManager);
            if (!value) return 0;
            insert->values.push_back(value);
            if (token == kSqlClose) break;
            if (token != kSqlComma) return Expected("close parenthesis");
        }
        Scan();
        return 1;
    }
    if (token == kSqlSelect) {
        Scan();
        insert->query = ParseQuery(kSqlQueryStatement, nullptr);
        return insert->query != nullptr;
    }
    return Expected("VALUES or SELECT");
}

int SQLParser::ParseUpdate() {
    auto* update = generator.NewStatement<SQLUpdateStatement>();
    if (token != kSqlIdentifier) return Expected("identifier");
    update->manager = generator.NewManager(nullptr, nullptr);
    update->table = generator.NewTableReference(update->manager, TokenText(), tokenLength);
    update->table->write = 1;
    if (Scan() != kSqlSet) return Expected("SET");
    for (;;) {
        if (Scan() != kSqlIdentifier) return Expected("column identifier");
        SQLUpdatedColumn set;
        set.column = generator.NewColumn(update->manager, nullptr, 0, TokenText(), tokenLength)->column;
        if (Scan() != kSqlEqual) return Expected("=");
        if (Scan() == kSqlNull) {
            Scan();
        } else {
            set.value = ParseExpression(update->manager);
            if (!set.value) return 0;
        }
        update->columns.push_back(set);
        if (token == kSqlComma) continue;
        if (token == kSqlWhere) {
            Scan();
            update->where = ParseCondition(update->manager);
            if (!update->where) return 0;
        }
        return 1;
    }
}

int SQLParser::ParseSelect() {
    auto* select = generator.NewStatement<SQLSelectStatement>();
    select->query = ParseQuery(kSqlQueryStatement, nullptr);
    if (!select->query) return 0;
    if (token != kSqlOrder) return 1;
    if (Scan() != kSqlBy) return Expected("BY");
    do {
        Scan();
        auto* item = new SQLOrderBy;
        select->query->orderBy.Append(item);
        item->value = ParseExpression(select->query->manager);
        if (!item->value) return 0;
        if (token == kSqlAsc || token == kSqlDesc) {
            item->ascending = token == kSqlAsc;
            Scan();
        }
    } while (token == kSqlComma);
    return 1;
}

// ---- Queries ------------------------------------------------------------------------------

SQLQuery* SQLParser::ParseQuery(int32_t kind, SQLReferenceManager* parent) {
    SQLQuery* query = ParseQueryCore(kind, parent);
    if (!query) return nullptr;
    while (token == kSqlUnion) {
        SQLUnion member;
        member.distinct = true;
        if (Scan() == kSqlAll) {
            member.distinct = false;
            Scan();
        }
        if (token != kSqlSelect) {
            Expected("SELECT");
            return nullptr;
        }
        Scan();
        member.query = ParseQueryCore(kind, parent);
        if (!member.query) return nullptr;
        member.query->first = query;
        query->unions.push_back(member);
    }
    return query;
}

SQLQuery* SQLParser::ParseQueryCore(int32_t kind, SQLReferenceManager* parent) {
    SQLQuery* query = generator.NewQuery(kind, parent);
    if (token == kSqlAll) {
        Scan();
    } else if (token == kSqlDistinct) {
        query->distinct = true;
        Scan();
    }
    if (token == kSqlStar) {
        query->star = true;
        Scan();
    } else {
        for (;;) {
            if (!ParseSelectItem(query)) return nullptr;
            if (token != kSqlComma) break;
            Scan();
        }
    }
    if (token != kSqlFrom) {
        Expected("FROM");
        return nullptr;
    }
    do {
        Scan();
        if (!ParseTableReference(query)) return nullptr;
    } while (token == kSqlComma);
    if (token == kSqlWhere) {
        Scan();
        query->where = ParseCondition(query->manager);
        if (!query->where) return nullptr;
    }
    if (token == kSqlGroup) {
        if (Scan() != kSqlBy) {
            Expected("BY");
            return nullptr;
        }
        do {
            Scan();
            SQLExpressionNode* item = ParseExpression(query->manager);
            if (!item) return nullptr;
            query->groupBy.push_back(item);
        } while (token == kSqlComma);
    }
    return query;
}

int SQLParser::ParseSelectItem(SQLQuery* query) {
    if (token == kSqlIdentifier) {
        const char* table = TokenText();
        int32_t tableLength = tokenLength;
        if (Scan() == kSqlDot) {
            if (Scan() == kSqlStar) {
                SQLSelectedColumn* column = generator.NewSelectedColumn(query);
                column->tableStar = true;
                column->qualifier = table;
                column->qualifierLength = tableLength;
                Scan();
                return 1;
            }
            StepBack();
        }
        StepBack();
    }
    int32_t start = tokenStart;
    SQLExpressionNode* value = ParseExpression(query->manager);
    if (!value) return 0;
    SQLSelectedColumn* column = generator.NewSelectedColumn(query);
    column->value = value;
    if (token == kSqlAs) {
        if (Scan() != kSqlIdentifier) return Expected("identifier");
        column->name = TokenText();
        column->nameLength = tokenLength;
        Scan();
    } else if (value->kind == kSqlNodeColumn) {
        column->name = value->column->name;
        column->nameLength = value->column->nameLength;
    } else {
        column->name = text.Text() + start;
        column->nameLength = previousStart + previousLength - start;
    }
    return 1;
}

int SQLParser::ParseTableReference(SQLQuery* query) {
    SQLReferenceManager* manager = query->manager;
    if (token != kSqlIdentifier) return Expected("identifier");
    SQLTableReference* previous = generator.NewTableReference(manager, TokenText(), tokenLength);
    if (Scan() == kSqlIdentifier) {
        previous->alias = TokenText();
        previous->aliasLength = tokenLength;
        Scan();
    }
    while (token == kSqlLeft) {
        if (Scan() != kSqlOuter) return Expected("OUTER");
        if (Scan() != kSqlJoin) return Expected("JOIN");
        if (Scan() != kSqlIdentifier) return Expected("identifier");
        SQLTableReference* joined = generator.NewTableReference(manager, TokenText(), tokenLength);
        joined->joinedTo = previous;
        if (Scan() == kSqlIdentifier) {
            joined->alias = TokenText();
            joined->aliasLength = tokenLength;
            Scan();
        }
        if (token != kSqlOn) return Expected("ON");
        Scan();
        joined->on = ParseCondition(manager);
        if (!joined->on) return 0;
        previous = joined;
    }
    return 1;
}

// ---- Conditions ---------------------------------------------------------------------------
// OR and AND chains are read in loops and built left-deep, so a flat chain
// costs no recursion; only nesting recurses, and Enter() bounds it.

SQLExpressionNode* SQLParser::ParseCondition(SQLReferenceManager* manager) {
    SQLExpressionNode* left = ParseAndTerm(manager);
    while (left && token == kSqlOr) {
        Scan();
        SQLExpressionNode* right = ParseAndTerm(manager);
        if (!right) return nullptr;
        left = generator.NewOperator(kSqlOr, left, right);
    }
    return left;
}

SQLExpressionNode* SQLParser::ParseAndTerm(SQLReferenceManager* manager) {
    SQLExpressionNode* left = ParseNotTerm(manager);
    while (left && token == kSqlAnd) {
        Scan();
        SQLExpressionNode* right = ParseNotTerm(manager);
        if (!right) return nullptr;
        left = generator.NewOperator(kSqlAnd, left, right);
    }
    return left;
}

SQLExpressionNode* SQLParser::ParseNotTerm(SQLReferenceManager* manager) {
    int32_t nots = 0;
    while (token == kSqlNot) {
        ++nots;
        if (!Enter()) return nullptr;
        Scan();
    }
    SQLExpressionNode* node = ParseGroup(manager);
    depth -= nots;
    for (int32_t i = 0; node && i < nots; ++i) node = generator.NewOperator(kSqlNot, node);
    return node;
}

SQLExpressionNode* SQLParser::ParseGroup(SQLReferenceManager* manager) {
    if (token != kSqlOpen) return ParsePredicate(manager);
    if (!Enter()) return nullptr;
    Scan();
    SQLExpressionNode* node = ParseCondition(manager);
    if (!node) return nullptr;
    if (token != kSqlClose) {
        Fail(kSqlMismatchedParentheses);
        return nullptr;
    }
    Leave();
    Scan();
    // A parenthesised condition is no operand: an operator after it starts nothing.
    if (IsComparison(token) || token == kSqlLike || token == kSqlPlus || token == kSqlMinus ||
        token == kSqlStar || token == kSqlSlash) {
        Unexpected();
        return nullptr;
    }
    return node;
}

SQLExpressionNode* SQLParser::ParseSubQuery(int32_t kind, SQLReferenceManager* manager) {
    // Entered with SELECT current, after "(".
    if (!Enter()) return nullptr;
    Scan();
    SQLQuery* query = ParseQuery(kind, manager);
    if (!query) return nullptr;
    if (token != kSqlClose) {
        Fail(kSqlMismatchedParentheses);
        return nullptr;
    }
    Leave();
    Scan();
    return generator.NewComplex(query);
}

SQLExpressionNode* SQLParser::ParsePredicate(SQLReferenceManager* manager) {
    if (token == kSqlExists) {
        if (Scan() != kSqlOpen) {
            Expected("open parenthesis");
            return nullptr;
        }
        if (Scan() != kSqlSelect) {
            Expected("SELECT");
            return nullptr;
        }
        return ParseSubQuery(kSqlQueryExists, manager);
    }
    SQLExpressionNode* left = ParseExpression(manager);
    if (!left) return nullptr;
    if (token == kSqlIs) {
        bool negate = Scan() == kSqlNot;
        if (negate) Scan();
        if (token != kSqlNull) {
            Expected("NULL");
            return nullptr;
        }
        Scan();
        SQLExpressionNode* test = generator.NewOperator(kSqlNull, left);
        return negate ? generator.NewOperator(kSqlNot, test) : test;
    }
    bool negate = false;
    if (token == kSqlNot) {
        Scan();
        if (token != kSqlBetween && token != kSqlIn && token != kSqlLike) {
            Expected("one of BETWEEN, IN, or LIKE");
            return nullptr;
        }
        negate = true;
    }
    SQLExpressionNode* node;
    if (token == kSqlBetween) {
        auto* between = generator.NewElement<SQLBetween>();
        Scan();
        if (!(between->lower = ParseExpression(manager))) return nullptr;
        if (token != kSqlAnd) {
            Expected("AND");
            return nullptr;
        }
        Scan();
        if (!(between->upper = ParseExpression(manager))) return nullptr;
        node = generator.NewOperator(kSqlComplexTest, left);
        node->element = between;
    } else if (token == kSqlIn) {
        auto* in = generator.NewElement<SQLIn>();
        if (Scan() != kSqlOpen) {
            Expected("open parenthesis");
            return nullptr;
        }
        if (Scan() == kSqlSelect) {
            SQLExpressionNode* query = ParseSubQuery(kSqlQueryIn, manager);
            if (!query) return nullptr;
            in->query = static_cast<SQLQuery*>(query->element);
        } else {
            for (;;) {
                if (token != kSqlLiteral) {
                    Expected("literal");
                    return nullptr;
                }
                in->literals.push_back(generator.NewLiteral(TokenText(), tokenLength));
                if (Scan() == kSqlClose) break;
                if (token != kSqlComma) {
                    Fail(kSqlMismatchedParentheses);
                    return nullptr;
                }
                Scan();
            }
            Scan();
        }
        node = generator.NewOperator(kSqlComplexTest, left);
        node->element = in;
    } else if (token == kSqlLike || IsComparison(token)) {
        int32_t op = token;
        Scan();
        SQLExpressionNode* right = ParseRightSide(manager);
        if (!right) return nullptr;
        node = generator.NewOperator(op, left, right);
    } else {
        return left;
    }
    return negate ? generator.NewOperator(kSqlNot, node) : node;
}

SQLExpressionNode* SQLParser::ParseRightSide(SQLReferenceManager* manager) {
    if (token != kSqlOpen) return ParseExpression(manager);
    if (Scan() != kSqlSelect) {
        Expected("SELECT");
        return nullptr;
    }
    return ParseSubQuery(kSqlQueryScalar, manager);
}

// ---- Arithmetic --------------------------------------------------------------------------

bool SQLParser::StartsFactor() const {
    switch (token) {
    case kSqlAvg:
    case kSqlMax:
    case kSqlMin:
    case kSqlSum:
    case kSqlCount:
    case kSqlUpper:
    case kSqlLower:
    case kSqlIdentifier:
    case kSqlOpen:
    case kSqlQuestion:
    case kSqlParameter:
    case kSqlLiteral:
        return true;
    default:
        return false;
    }
}

SQLExpressionNode* SQLParser::ParseExpression(SQLReferenceManager* manager) {
    if (!StartsFactor() && token != kSqlPlus && token != kSqlMinus) {
        Unexpected();
        return nullptr;
    }
    SQLExpressionNode* left = ParseTerm(manager);
    while (left && (token == kSqlPlus || token == kSqlMinus)) {
        int32_t op = token;
        Scan();
        SQLExpressionNode* right = ParseTerm(manager);
        if (!right) return nullptr;
        left = generator.NewOperator(op, left, right);
    }
    return left;
}

SQLExpressionNode* SQLParser::ParseTerm(SQLReferenceManager* manager) {
    SQLExpressionNode* left = ParseSignedFactor(manager);
    while (left && (token == kSqlStar || token == kSqlSlash)) {
        int32_t op = token;
        Scan();
        SQLExpressionNode* right = ParseSignedFactor(manager);
        if (!right) return nullptr;
        left = generator.NewOperator(op, left, right);
    }
    return left;
}

SQLExpressionNode* SQLParser::ParseSignedFactor(SQLReferenceManager* manager) {
    // Any run of signs folds into one negation or none: "-" negates, "+" does nothing.
    bool negate = false, signed_ = false;
    while (token == kSqlPlus || token == kSqlMinus) {
        negate ^= token == kSqlMinus;
        signed_ = true;
        Scan();
    }
    if (signed_ && !StartsFactor()) {
        Fail("Syntax Error");
        return nullptr;
    }
    SQLExpressionNode* factor = ParseFactor(manager);
    if (!factor) return nullptr;
    // A name after a factor ends the expression; a value or "(" there lacks its operator.
    if (token == kSqlLiteral || token == kSqlParameter || token == kSqlQuestion || token == kSqlOpen) {
        Expected("operator");
        return nullptr;
    }
    if (!negate) return factor;
    SQLExpressionNode* zero = generator.NewNode(kSqlNodeInteger);
    return generator.NewOperator(kSqlMinus, zero, factor);
}

// "(" expression ")" of a function, entered with "(" current.
SQLExpressionNode* SQLParser::ParseFunctionArgument(SQLReferenceManager* manager) {
    if (token != kSqlOpen) {
        Expected("open parenthesis");
        return nullptr;
    }
    if (!Enter()) return nullptr;
    Scan();
    SQLExpressionNode* argument = ParseExpression(manager);
    if (!argument) return nullptr;
    if (token != kSqlClose) {
        Expected("close parenthesis");
        return nullptr;
    }
    Leave();
    Scan();
    return argument;
}

SQLExpressionNode* SQLParser::ParseFactor(SQLReferenceManager* manager) {
    switch (token) {
    case kSqlAvg:
    case kSqlMax:
    case kSqlMin:
    case kSqlSum: {
        auto* aggregate = generator.NewElement<SQLAggregate>(token);
        Scan();
        if (!(aggregate->argument = ParseFunctionArgument(manager))) return nullptr;
        return generator.NewComplex(aggregate);
    }
    case kSqlCount: {
        if (Scan() != kSqlOpen) {
            Expected("open parenthesis");
            return nullptr;
        }
        if (Scan() == kSqlStar) {
            if (Scan() != kSqlClose) {
                Expected("close parenthesis");
                return nullptr;
            }
            Scan();
            return generator.NewComplex(generator.NewElement<SQLAggregate>(kSqlCount));
        }
        StepBack();
        auto* count = generator.NewElement<SQLAggregateCount>();
        if (!(count->argument = ParseFunctionArgument(manager))) return nullptr;
        return generator.NewComplex(count);
    }
    case kSqlUpper:
    case kSqlLower: {
        int32_t op = token;
        Scan();
        SQLExpressionNode* argument = ParseFunctionArgument(manager);
        return argument ? generator.NewOperator(op, argument) : nullptr;
    }
    case kSqlIdentifier: {
        const char* name = TokenText();
        int32_t length = tokenLength;
        Scan();
        if (token == kSqlOpen) {
            if (length != 6 || CompareTextNoCase(name, "length", 6) != 0) {
                Fail("Syntax Error: Expected column name, found '('");
                return nullptr;
            }
            SQLExpressionNode* argument = ParseFunctionArgument(manager);
            return argument ? generator.NewOperator(kSqlLength, argument) : nullptr;
        }
        if (token != kSqlDot) return generator.NewColumn(manager, nullptr, 0, name, length);
        if (Scan() != kSqlIdentifier) {
            Expected("column name");
            return nullptr;
        }
        SQLExpressionNode* column = generator.NewColumn(manager, name, length, TokenText(), tokenLength);
        Scan();
        return column;
    }
    case kSqlOpen: {
        if (Scan() == kSqlSelect) return ParseSubQuery(kSqlQueryScalar, manager);
        if (!Enter()) return nullptr;
        SQLExpressionNode* inner = ParseExpression(manager);
        if (!inner) return nullptr;
        if (token != kSqlClose) {
            Fail(kSqlMismatchedParentheses);
            return nullptr;
        }
        Leave();
        Scan();
        return inner;
    }
    case kSqlQuestion:
        Scan();
        return generator.NewParameter(-1);
    case kSqlParameter: {
        // ":n" is parameter n, counted from 1; ":0" counts like "?".
        int32_t n = 0;
        if (tokenLength == 0 || TokenText()[0] == '-' || !TokenIsInteger(n) || n > kIntegerCap) {
            Expected("number");
            return nullptr;
        }
        Scan();
        return generator.NewParameter(n == 0 ? -1 : n - 1);
    }
    case kSqlLiteral: {
        SQLExpressionNode* literal = generator.NewLiteral(TokenText(), tokenLength);
        Scan();
        return literal;
    }
    default:
        Fail("Syntax Error");
        return nullptr;
    }
}

} // namespace vorn
