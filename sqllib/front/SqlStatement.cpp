// The statements' and complex elements' own steps; the work is the generator's.
#include "sqllib/front/SqlStatement.h"

#include "engine/foundation/Hash.h"
#include "sqllib/front/SqlCodeGenerator.h"
#include "sqllib/front/SqlMessages.h"
#include "sqllib/front/SqlToken.h"

namespace vorn {

int SQLBetween::Generate(SQLCodeGenerator& generator) { return generator.GenerateBetween(this); }

int SQLIn::Generate(SQLCodeGenerator& generator) { return generator.GenerateIn(this); }

int SQLQuery::Generate(SQLCodeGenerator& generator) { return generator.GenerateSubQuery(this); }

int SQLOrderBySelectListReference::Generate(SQLCodeGenerator& generator) {
    generator.Emit(SQL_Push_Temporary, query->temporaryTable, resultColumn);
    return 1;
}

int SQLAggregate::Generate(SQLCodeGenerator& generator) {
    generator.Emit(SQL_Push_Bucket, bucket, slot);
    return 1;
}

int SQLAggregate::Accumulate(SQLCodeGenerator& generator) {
    int32_t opcode;
    switch (function) {
    case kSqlCount:
        generator.Emit(SQL_Bucket_Count, bucket, slot);
        return 1;
    case kSqlAvg:
        opcode = SQL_Bucket_Average;
        break;
    case kSqlSum:
        opcode = SQL_Bucket_Sum;
        break;
    case kSqlMin:
        opcode = SQL_Bucket_Min;
        break;
    case kSqlMax:
        opcode = SQL_Bucket_Max;
        break;
    default:
        return generator.Fail(kSqlUnknownOperator);
    }
    if (!generator.GenerateExpression(argument)) return 0;
    generator.Emit(opcode, bucket, slot);
    return 1;
}

int SQLAggregateCount::Generate(SQLCodeGenerator& generator) {
    return generator.Fail("COUNT with expression is unimplemented");
}

int SQLAggregateCount::Accumulate(SQLCodeGenerator& generator) {
    return generator.Fail("COUNT with expression is unimplemented");
}

int SQLAggregateColumn::Accumulate(SQLCodeGenerator& generator) {
    generator.Emit(column->type == kSqlTypeLogical ? SQL_Push_BoolColumn : SQL_Push_Column, column->cursor,
                   column->column);
    generator.Emit(SQL_Pop_Bucket, bucket, slot);
    return 1;
}

// ---- Schema statements: one instruction each; the catalog checks the names when it runs. ----

int SQLCreateTableStatement::Generate(SQLCodeGenerator& generator) {
    generator.Emit(SQL_Create_Table, 0, 0, 0, table, tableLength, nullptr, 0, &columns);
    return 1;
}

int SQLAlterTableAddStatement::Generate(SQLCodeGenerator& generator) {
    generator.Emit(SQL_Alter_Table_Add, 0, 0, 0, table, tableLength, nullptr, 0, &columns);
    return 1;
}

int SQLAlterTableDropStatement::Generate(SQLCodeGenerator& generator) {
    generator.Emit(SQL_Alter_Table_Drop, 0, 0, 0, table, tableLength, column, columnLength);
    return 1;
}

int SQLDropTableStatement::Generate(SQLCodeGenerator& generator) {
    generator.Emit(SQL_Drop_Table, 0, 0, 0, table, tableLength);
    return 1;
}

int SQLCreateIndexStatement::Generate(SQLCodeGenerator& generator) {
    generator.Emit(SQL_Create_Index, unique, 0, 0, table, tableLength, index, indexLength, &columns);
    return 1;
}

int SQLDropIndexStatement::Generate(SQLCodeGenerator& generator) {
    generator.Emit(SQL_Drop_Index, 0, 0, 0, index, indexLength);
    return 1;
}

// ---- SELECT -----------------------------------------------------------------------------------

int SQLSelectStatement::Resolve(SQLCodeGenerator&) { return 1; }

int SQLSelectStatement::Plan(SQLCodeGenerator&) { return 1; }

int SQLSelectStatement::Generate(SQLCodeGenerator& generator) { return generator.GenerateSelect(this); }

// ---- INSERT -----------------------------------------------------------------------------------

int SQLInsertStatement::Resolve(SQLCodeGenerator& generator) { return ResolveTable(generator); }

int SQLInsertStatement::ResolveTable(SQLCodeGenerator& generator) {
    SQLCatalog* catalog = generator.Catalog();
    table->table = catalog ? catalog->FindTable(table->name, table->nameLength) : nullptr;
    if (!table->table) {
        String message(kSqlUnknownTable);
        message.Append(table->name, table->nameLength);
        message.AppendChar('\'');
        return generator.Fail(message);
    }
    table->cursor = generator.NextCursor();
    SQLCatalogTable* catalogTable = table->table;
    int32_t count = catalogTable->ColumnCount();
    if (allColumns) {
        for (int32_t field = 0; field < count; ++field) {
            SQLCatalogColumn column = catalogTable->Column(field);
            targets.push_back({column.name, column.nameLength, field});
        }
        return 1;
    }
    std::vector<bool> named(static_cast<size_t>(count));
    for (Target& target : targets) {
        target.field = catalogTable->FindColumn(target.name, target.nameLength);
        if (target.field < 0) {
            String message("Field '");
            message.Append(target.name, target.nameLength);
            message.Append("' does not exist in table '");
            message.Append(table->name, table->nameLength);
            message.AppendChar('\'');
            return generator.Fail(message);
        }
        named[static_cast<size_t>(target.field)] = true;
    }
    // Columns the list leaves out get the empty text.
    for (int32_t field = 0; field < count; ++field) {
        if (named[static_cast<size_t>(field)]) continue;
        SQLCatalogColumn column = catalogTable->Column(field);
        targets.push_back({column.name, column.nameLength, field});
        if (!query) {
            values.push_back(generator.NewLiteral("", 0));
            continue;
        }
        for (size_t m = 0; m <= query->unions.size(); ++m) {
            SQLQuery* member = m == 0 ? query : query->unions[m - 1].query;
            SQLSelectedColumn* empty = generator.NewSelectedColumn(member);
            empty->id = static_cast<int32_t>(member->columns.size()) - 1;
            empty->name = column.name;
            empty->nameLength = column.nameLength;
            empty->value = generator.NewLiteral("", 0);
        }
    }
    return 1;
}

int SQLInsertStatement::Plan(SQLCodeGenerator& generator) {
    if (!query || query->temporaryTable >= 0) return 1;
    // Rows read from the table being filled are all read before the first is added.
    bool readsTarget = false;
    std::vector<SQLReferenceManager*> pending{query->manager};
    for (const SQLUnion& member : query->unions) pending.push_back(member.query->manager);
    while (!pending.empty() && !readsTarget) {
        SQLReferenceManager* manager = pending.back();
        pending.pop_back();
        for (SQLTableReference* read : manager->tables)
            readsTarget |= read->table == table->table ||
                           (read->nameLength == table->nameLength &&
                            CompareTextNoCase(read->name, table->name, table->nameLength) == 0);
        pending.insert(pending.end(), manager->children.begin(), manager->children.end());
    }
    if (readsTarget) query->temporaryTable = generator.NextTemporaryTable();
    return 1;
}

void SQLInsertStatement::EmitOpen(SQLCodeGenerator& generator) {
    generator.Emit(SQL_Cursor_Open, table->cursor, 1, 0, table->name, table->nameLength);
}

void SQLInsertStatement::EmitColumns(SQLCodeGenerator& generator) {
    for (size_t i = 0; i < targets.size(); ++i)
        generator.Emit(SQL_Cursor_Column, table->cursor, static_cast<int32_t>(i), 0, targets[i].name,
                       targets[i].nameLength);
}

void SQLInsertStatement::EmitRow(SQLCodeGenerator& generator) {
    // The values were pushed in order: the last is on top.
    for (size_t i = targets.size(); i-- > 0;)
        generator.Emit(SQL_Pop_Column, table->cursor, static_cast<int32_t>(i));
    generator.Emit(SQL_Cursor_Insert, table->cursor);
}

int SQLInsertStatement::GenerateValues(SQLCodeGenerator& generator) {
    if (values.size() < targets.size()) return generator.Fail("Not enough values");
    if (values.size() > targets.size()) return generator.Fail("Too many values");
    for (size_t i = 0; i < values.size(); ++i) {
        if (!generator.GenerateExpression(values[i])) return 0;
        generator.Emit(SQL_Pop_Column, table->cursor, static_cast<int32_t>(i));
    }
    generator.Emit(SQL_Cursor_Insert, table->cursor);
    return 1;
}

int SQLInsertStatement::GenerateQuery(SQLCodeGenerator& generator) {
    if (query->columns.size() < targets.size()) return generator.Fail("Not enough values");
    if (query->columns.size() > targets.size()) return generator.Fail("Too many values");
    class InsertRow : public SQLRowSink {
      public:
        InsertRow(SQLCodeGenerator& g, SQLInsertStatement& s) : generator(g), statement(s) {}
        int Row(SQLRowSource& row) override {
            if (!row.Push()) return 0;
            statement.EmitRow(generator);
            return 1;
        }

      private:
        SQLCodeGenerator& generator;
        SQLInsertStatement& statement;
    } sink(generator, *this);
    return generator.GenerateRows(query, sink);
}

int SQLInsertStatement::Generate(SQLCodeGenerator& generator) {
    EmitOpen(generator);
    EmitColumns(generator);
    return query ? GenerateQuery(generator) : GenerateValues(generator);
}

// ---- UPDATE and DELETE ---------------------------------------------------------------------

namespace {

// An index for the changed table when the WHERE has no OR.
void PlanChange(SQLCodeGenerator& generator, SQLTableReference* table, SQLExpressionNode* where) {
    if (!where || SQLCodeGenerator::ContainsOr(where)) return;
    std::vector<SQLExpressionNode*> conjuncts;
    SQLCodeGenerator::SplitConjuncts(where, conjuncts);
    generator.ChooseIndex(table, conjuncts, 0, false);
}

} // namespace

int SQLUpdateStatement::Plan(SQLCodeGenerator& generator) {
    PlanChange(generator, table, where);
    return 1;
}

int SQLUpdateStatement::Generate(SQLCodeGenerator& generator) {
    return generator.GenerateChange(table, &columns, where);
}

int SQLDeleteStatement::Plan(SQLCodeGenerator& generator) {
    PlanChange(generator, table, where);
    return 1;
}

int SQLDeleteStatement::Generate(SQLCodeGenerator& generator) {
    return generator.GenerateChange(table, nullptr, where);
}

} // namespace vorn
