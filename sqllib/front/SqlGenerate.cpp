// Emission: expressions, scan loops, query bodies and the statements' programs.
#include "sqllib/front/SqlCodeGenerator.h"
#include "sqllib/front/SqlMessages.h"
#include "sqllib/front/SqlToken.h"

namespace vorn {

namespace {

const char kMoreThanOneRow[] = "Sub-query returns more than one row";

int32_t ComparisonOpcode(int32_t op) {
    switch (op) {
    case kSqlEqual:
        return SQL_Equal;
    case kSqlNotEqual:
        return SQL_NotEqual;
    case kSqlLess:
        return SQL_LessThan;
    case kSqlGreater:
        return SQL_GreaterThan;
    case kSqlLessEqual:
        return SQL_LessThanEqual;
    case kSqlGreaterEqual:
        return SQL_GreaterThanEqual;
    default:
        return -1;
    }
}

// Whether the node leaves 1 or 0 (a truth value) rather than a value.
bool YieldsTruth(const SQLExpressionNode* node) {
    if (node->kind == kSqlNodeComplex)
        return node->element->elementKind == kSqlElementQuery &&
               static_cast<const SQLQuery*>(node->element)->kind == kSqlQueryExists;
    if (node->kind != kSqlNodeOperator) return false;
    switch (node->op) {
    case kSqlAnd:
    case kSqlOr:
    case kSqlNot:
    case kSqlLike:
    case kSqlNull:
    case kSqlComplexTest:
        return true;
    default:
        return ComparisonOpcode(node->op) >= 0;
    }
}

// The selected expressions of a query, pushed in order.
class SelectedRow : public SQLRowSource {
  public:
    SelectedRow(SQLCodeGenerator& g, SQLQuery* q) : generator(g), query(q) {}
    int Push() override {
        for (SQLSelectedColumn* column : query->columns)
            if (!generator.GenerateExpression(column->value)) return 0;
        return 1;
    }

  private:
    SQLCodeGenerator& generator;
    SQLQuery* query;
};

// Slots 0..n-1 of a bucket's or a temporary table's current record.
class StoredRow : public SQLRowSource {
  public:
    StoredRow(SQLCodeGenerator& g, int32_t op, int32_t store, int32_t n) : generator(g), opcode(op), id(store), count(n) {}
    int Push() override {
        for (int32_t i = 0; i < count; ++i) generator.Emit(opcode, id, i);
        return 1;
    }

  private:
    SQLCodeGenerator& generator;
    int32_t opcode, id, count;
};

template <class F>
class SinkOf : public SQLRowSink {
  public:
    explicit SinkOf(F f) : row(f) {}
    int Row(SQLRowSource& source) override { return row(source); }

  private:
    F row;
};
template <class F>
SinkOf<F> MakeSink(F f) {
    return SinkOf<F>(f);
}

} // namespace

// ---- Expressions --------------------------------------------------------------------------

int SQLCodeGenerator::GenerateLeaf(SQLExpressionNode* node) {
    switch (node->kind) {
    case kSqlNodeLiteral:
        Emit(SQL_Push_Literal, 0, 0, 0, node->text, node->length);
        return 1;
    case kSqlNodeColumn: {
        const SQLColumnReference* column = node->column;
        Emit(column->type == kSqlTypeLogical ? SQL_Push_BoolColumn : SQL_Push_Column, column->cursor, column->column);
        return 1;
    }
    case kSqlNodeParameter:
        Emit(SQL_Push_Dynamic, node->value);
        return 1;
    case kSqlNodeInteger:
        Emit(SQL_Push_Integer, node->value);
        return 1;
    case kSqlNodeComplex:
        return node->element->Generate(*this);
    default:
        return Fail(kSqlUnknownOperator);
    }
}

int SQLCodeGenerator::EmitOperator(SQLExpressionNode* node) {
    int32_t opcode;
    switch (node->op) {
    case kSqlComplexTest:
        return node->element->Generate(*this);
    case kSqlAnd:
        opcode = SQL_And;
        break;
    case kSqlNot:
        opcode = SQL_Not;
        break;
    case kSqlLike:
        opcode = SQL_Like;
        break;
    case kSqlNull:
        opcode = SQL_IsNull;
        break;
    case kSqlUpper:
        opcode = SQL_Upper;
        break;
    case kSqlLower:
        opcode = SQL_Lower;
        break;
    case kSqlLength:
        opcode = SQL_Length;
        break;
    case kSqlPlus:
        opcode = SQL_Add;
        break;
    case kSqlMinus:
        opcode = SQL_Subtract;
        break;
    case kSqlStar:
        opcode = SQL_Multiply;
        break;
    case kSqlSlash:
        opcode = SQL_Divide;
        break;
    default:
        opcode = ComparisonOpcode(node->op);
        if (opcode < 0) return Fail(kSqlUnknownOperator);
        break;
    }
    Emit(opcode);
    return 1;
}

int SQLCodeGenerator::GenerateExpression(SQLExpressionNode* root) {
    // Post-order with an explicit stack: a chain of any length costs no recursion.
    struct Frame {
        SQLExpressionNode* node;
        int stage;
        int32_t skip; // OR: the jump over the constant 1
    };
    std::vector<Frame> stack;
    stack.push_back({root, 0, -1});
    while (!stack.empty()) {
        if (program.Count() > kMaxInstructions) return TooLarge();
        Frame& frame = stack.back();
        SQLExpressionNode* node = frame.node;
        if (node->kind != kSqlNodeOperator) {
            stack.pop_back();
            if (!GenerateLeaf(node)) return 0;
            continue;
        }
        if (frame.stage == 0) {
            frame.stage = 1;
            if (node->first) stack.push_back({node->first, 0, -1});
            continue;
        }
        if (frame.stage == 1) {
            frame.stage = 2;
            if (node->op == kSqlOr) {
                // Short cut: a true first operand gives 1 without the second.
                if (!YieldsTruth(node->first)) {
                    Emit(SQL_Not);
                    Emit(SQL_Not);
                }
                int32_t toSecond = Emit(SQL_Jump_EQ, 0, -1);
                Emit(SQL_Push_Integer, 1);
                frame.skip = Emit(SQL_Jump, -1);
                program.LabelAndPatch(toSecond, 2);
            }
            if (node->second) stack.push_back({node->second, 0, -1});
            continue;
        }
        int32_t skip = frame.skip;
        stack.pop_back();
        if (node->op == kSqlOr) {
            if (!YieldsTruth(node->second)) {
                Emit(SQL_Not);
                Emit(SQL_Not);
            }
            program.LabelAndPatch(skip, 1);
        } else if (!EmitOperator(node)) {
            return 0;
        }
    }
    return 1;
}

int SQLCodeGenerator::GenerateCondition(SQLExpressionNode* node) {
    if (!GenerateExpression(node)) return 0;
    // Jumps read a truth value as an integer: a bare value is made one first.
    if (!YieldsTruth(node)) {
        Emit(SQL_Not);
        Emit(SQL_Not);
    }
    return 1;
}

int SQLCodeGenerator::GenerateConditions(const std::vector<SQLExpressionNode*>& conjuncts) {
    if (conjuncts.size() == 1) return GenerateCondition(conjuncts[0]);
    for (size_t i = 0; i < conjuncts.size(); ++i) {
        if (!GenerateExpression(conjuncts[i])) return 0;
        if (i > 0) Emit(SQL_And);
    }
    return 1;
}

int SQLCodeGenerator::GenerateBetween(SQLBetween* between) {
    // The tested value is on the stack; each bound test keeps it below its result.
    int32_t overFalse = Emit(SQL_Jump, -1);
    int32_t toFalse = Emit(SQL_Jump, -1);
    program.LabelAndPatch(overFalse, 1);
    if (!GenerateExpression(between->lower)) return 0;
    Emit(SQL_LessThan, 1);
    Emit(SQL_Jump_EQ, 1, toFalse);
    if (!GenerateExpression(between->upper)) return 0;
    Emit(SQL_GreaterThan, 1);
    Emit(SQL_Jump_EQ, 1, toFalse);
    Emit(SQL_Pop);
    Emit(SQL_Push_Integer, 1);
    int32_t toEnd = Emit(SQL_Jump, -1);
    program.LabelAndPatch(toFalse, 1);
    Emit(SQL_Pop);
    Emit(SQL_Push_Integer, 0);
    program.LabelAndPatch(toEnd, 1);
    return 1;
}

int SQLCodeGenerator::GenerateIn(SQLIn* in) {
    std::vector<int32_t> toTrue;
    if (in->query) {
        auto sink = MakeSink([&](SQLRowSource& row) {
            if (!row.Push()) return 0;
            Emit(SQL_Equal, 1);
            toTrue.push_back(Emit(SQL_Jump_EQ, 1, -1));
            return 1;
        });
        if (!GenerateRows(in->query, sink)) return 0;
    } else {
        int32_t overTrue = Emit(SQL_Jump, -1);
        int32_t trueJump = Emit(SQL_Jump, -1);
        program.LabelAndPatch(overTrue, 1);
        for (SQLExpressionNode* literal : in->literals) {
            if (!GenerateLeaf(literal)) return 0;
            Emit(SQL_Equal, 1);
            Emit(SQL_Jump_EQ, 1, trueJump);
        }
        toTrue.push_back(trueJump);
    }
    Emit(SQL_Pop);
    Emit(SQL_Push_Integer, 0);
    int32_t toEnd = Emit(SQL_Jump, -1);
    int32_t isTrue = program.Label();
    for (int32_t jump : toTrue) program.PatchJump(jump, isTrue);
    Emit(SQL_Pop);
    Emit(SQL_Push_Integer, 1);
    program.LabelAndPatch(toEnd, 1);
    return 1;
}

int SQLCodeGenerator::GenerateSubQuery(SQLQuery* query) {
    if (query->kind == kSqlQueryIn) return Fail(kSqlUnknownOperator); // reached through its IN only
    if (query->kind == kSqlQueryExists) {
        // True at the first row, whatever the select list.
        std::vector<int32_t> toEnd;
        Emit(SQL_Push_Integer, 0);
        auto sink = MakeSink([&](SQLRowSource&) {
            Emit(SQL_Pop);
            Emit(SQL_Push_Integer, 1);
            toEnd.push_back(Emit(SQL_Jump, -1));
            return 1;
        });
        if (!GenerateRows(query, sink)) return 0;
        int32_t end = program.Label();
        for (int32_t jump : toEnd) program.Patch(jump, 1, end);
        return 1;
    }
    // A value: NULL without rows, an error at a second row.
    Emit(SQL_Push_Integer, 0);
    auto sink = MakeSink([&](SQLRowSource& row) {
        int32_t ok = Emit(SQL_Jump_NE, 1, -1);
        Emit(SQL_Error, 0, 0, 0, kMoreThanOneRow, 0);
        program.LabelAndPatch(ok, 2);
        if (!row.Push()) return 0;
        Emit(SQL_Copy);
        Emit(SQL_Push_Integer, 1);
        return 1;
    });
    if (!GenerateRows(query, sink)) return 0;
    int32_t found = Emit(SQL_Jump_NE, 0, -1);
    Emit(SQL_Push_Null);
    program.LabelAndPatch(found, 2);
    return 1;
}

// ---- Scan loops -----------------------------------------------------------------------------

int SQLCodeGenerator::EmitIndexSetup(SQLTableReference* table) {
    if (!table->index) return 1;
    if (table->rangeStart && !GenerateExpression(table->rangeStart)) return 0;
    for (SQLExpressionNode* key : table->keys)
        if (!GenerateExpression(key)) return 0;
    Emit(SQL_Cursor_Index, table->cursor, static_cast<int32_t>(table->keys.size()), table->rangeStart ? 1 : 0,
         table->index->IndexName(), table->index->IndexNameLength());
    return 1;
}

int SQLCodeGenerator::EmitStopTest(SQLTableReference* table, Loop& loop) {
    if (!table->stopColumn) return 1;
    if (!GenerateExpression(table->stopColumn) || !GenerateExpression(table->stopValue)) return 0;
    Emit(ComparisonOpcode(table->stopOperator));
    loop.stopJump = Emit(SQL_Jump_EQ, 0, -1);
    return 1;
}

int SQLCodeGenerator::OpenLoop(SQLTableReference* table, Loop& loop) {
    loop.table = table;
    loop.stopJump = -1;
    if (!EmitIndexSetup(table)) return 0;
    loop.first = Emit(SQL_Cursor_First, table->cursor, -1);
    if (!table->joinedTo) {
        loop.top = loop.first + 1;
        if (!EmitStopTest(table, loop)) return 0;
        if (!table->filter.empty()) {
            if (!GenerateConditions(table->filter)) return 0;
            loop.toNext.push_back(Emit(SQL_Jump_NE, 1, -1));
        }
        return 1;
    }
    // A LEFT OUTER JOINed table: phase one finds the first match, or enters the
    // body once on no row; phase two tests the rows after it.
    std::vector<SQLExpressionNode*> test(table->filter);
    test.insert(test.end(), table->onRest.begin(), table->onRest.end());
    int32_t phaseOne = program.Count();
    if (!GenerateConditions(test)) return 0;
    int32_t matched = Emit(SQL_Jump_EQ, 1, -1);
    Emit(SQL_Cursor_Next, table->cursor, phaseOne);
    int32_t none = Emit(SQL_Jump, -1);
    loop.top = program.Count();
    if (!GenerateConditions(test)) return 0;
    loop.toNext.push_back(Emit(SQL_Jump_NE, 1, -1));
    int32_t body = program.LabelAndPatch(loop.first, 2);
    program.Patch(matched, 2, body);
    program.Patch(none, 1, body);
    return 1;
}

void SQLCodeGenerator::CloseLoop(Loop& loop) {
    int32_t next = Emit(SQL_Cursor_Next, loop.table->cursor, loop.top);
    for (int32_t jump : loop.toNext) program.Patch(jump, 2, next);
    if (loop.table->joinedTo) return;
    int32_t exit = program.LabelAndPatch(loop.first, 2);
    if (loop.stopJump >= 0) program.Patch(loop.stopJump, 2, exit);
}

// ---- Query bodies -----------------------------------------------------------------------------

int SQLCodeGenerator::TooLarge() {
    String message("Statement too complex: more than ");
    message.AppendInteger(kMaxInstructions);
    message.Append(" instructions");
    return Fail(message);
}

int SQLCodeGenerator::GenerateRows(SQLQuery* query, SQLRowSink& sink) {
    if (program.Count() > kMaxInstructions) return TooLarge();
    return query->temporaryTable >= 0 ? GenerateThroughTemporary(query, sink) : GenerateMember(query, sink);
}

int SQLCodeGenerator::DistinctRecord(SQLQuery* query, SQLRowSource& row) {
    int32_t bucket = query->distinctBucket;
    int32_t n = static_cast<int32_t>(query->columns.size());
    if (!row.Push()) return 0;
    int32_t seen = Emit(SQL_Bucket_Record, bucket, n, -1);
    for (int32_t i = 0; i < n; ++i) {
        if (!GenerateExpression(query->columns[static_cast<size_t>(i)]->value)) return 0;
        Emit(SQL_Pop_Bucket, bucket, i);
    }
    program.LabelAndPatch(seen, 3);
    return 1;
}

int SQLCodeGenerator::GenerateMember(SQLQuery* query, SQLRowSink& sink) {
    bool grouped = query->Grouped();
    int32_t group = query->groupBucket;
    int32_t n = static_cast<int32_t>(query->columns.size());
    SelectedRow selected(*this, query);
    if (grouped) {
        Emit(SQL_Bucket, group, query->nextSlot);
        if (query->groupBy.empty()) {
            // One group even over no rows, its counts starting at 0.
            Emit(SQL_Bucket_Record, group, 0, 0);
            for (SQLAggregate* aggregate : query->aggregates) {
                if (aggregate->elementKind != kSqlElementAggregate || aggregate->function != kSqlCount) continue;
                Emit(SQL_Push_Integer, 0);
                Emit(SQL_Pop_Bucket, group, aggregate->slot);
            }
        }
    }
    if (query->distinct) Emit(SQL_Bucket, query->distinctBucket, n);

    std::vector<SQLTableReference*>& tables = query->manager->tables;
    std::vector<Loop> loops(tables.size());
    for (size_t i = 0; i < tables.size(); ++i)
        if (!OpenLoop(tables[i], loops[i])) return 0;
    if (!query->remainder.empty()) {
        if (!GenerateConditions(query->remainder)) return 0;
        loops.back().toNext.push_back(Emit(SQL_Jump_EQ, 0, -1));
    }
    if (grouped) {
        if (!query->groupBy.empty()) {
            for (SQLExpressionNode* item : query->groupBy)
                if (!GenerateExpression(item)) return 0;
            Emit(SQL_Bucket_Record, group, static_cast<int32_t>(query->groupBy.size()), 0);
        }
        for (SQLAggregate* aggregate : query->aggregates)
            if (!aggregate->Accumulate(*this)) return 0;
    } else if (query->distinct) {
        if (!DistinctRecord(query, selected)) return 0;
    } else if (!sink.Row(selected)) {
        return 0;
    }
    for (size_t i = loops.size(); i-- > 0;) CloseLoop(loops[i]);

    if (grouped) {
        int32_t none = Emit(SQL_Bucket_First, group, -1);
        int32_t loop = program.Count();
        if (query->distinct ? !DistinctRecord(query, selected) : !sink.Row(selected)) return 0;
        Emit(SQL_Bucket_Next, group, loop);
        program.LabelAndPatch(none, 2);
    }
    if (query->distinct) {
        int32_t none = Emit(SQL_Bucket_First, query->distinctBucket, -1);
        int32_t loop = program.Count();
        StoredRow slots(*this, SQL_Push_Bucket, query->distinctBucket, n);
        if (!sink.Row(slots)) return 0;
        Emit(SQL_Bucket_Next, query->distinctBucket, loop);
        program.LabelAndPatch(none, 2);
    }
    return 1;
}

int SQLCodeGenerator::GenerateThroughTemporary(SQLQuery* query, SQLRowSink& sink) {
    int32_t table = query->temporaryTable;
    int32_t n = static_cast<int32_t>(query->columns.size());
    int32_t keys = query->orderBy.Count();
    Emit(SQL_Temporary_Table, table, n + keys);
    // UNION without ALL reads left to right: every member up to the last such
    // UNION is de-duplicated together, the UNION ALL members after it are not.
    size_t lastDistinct = 0;
    for (size_t i = 0; i < query->unions.size(); ++i)
        if (query->unions[i].distinct) lastDistinct = i + 1;
    if (query->unionBucket >= 0) Emit(SQL_Bucket, query->unionBucket, 0);

    for (size_t m = 0; m <= query->unions.size(); ++m) {
        SQLQuery* member = m == 0 ? query : query->unions[m - 1].query;
        bool dedup = query->unionBucket >= 0 && m <= lastDistinct;
        auto store = MakeSink([&](SQLRowSource& row) {
            int32_t seen = -1;
            if (dedup) {
                if (!row.Push()) return 0;
                seen = Emit(SQL_Bucket_Record, query->unionBucket, n, -1);
            }
            if (!row.Push()) return 0;
            Emit(SQL_Temporary_Record, table);
            for (int32_t i = n; i-- > 0;) Emit(SQL_Pop_Temporary, table, i);
            for (int32_t i = 0; i < keys; ++i) {
                if (!GenerateExpression(query->orderBy.At(i)->value)) return 0;
                Emit(SQL_Pop_Temporary, table, n + i);
            }
            if (dedup) program.LabelAndPatch(seen, 3);
            return 1;
        });
        if (!GenerateMember(member, store)) return 0;
    }
    if (keys > 0) Emit(SQL_Temporary_Sort, table, 0, 0, nullptr, 0, nullptr, 0, &query->orderBy);
    int32_t none = Emit(SQL_Temporary_First, table, -1);
    int32_t loop = program.Count();
    StoredRow row(*this, SQL_Push_Temporary, table, n);
    if (!sink.Row(row)) return 0;
    Emit(SQL_Temporary_Next, table, loop);
    program.LabelAndPatch(none, 2);
    return 1;
}

// ---- Statements ------------------------------------------------------------------------------

int SQLCodeGenerator::GenerateSelect(SQLSelectStatement* select) {
    SQLQuery* query = select->query;
    int32_t n = static_cast<int32_t>(query->columns.size());
    for (SQLSelectedColumn* column : query->columns)
        Emit(SQL_Result, column->id, 1, 0, column->name, column->nameLength);
    Emit(SQL_Result, n, 0, 0, "eof", 3);
    Emit(SQL_Push_Integer, 0);
    Emit(SQL_Pop_Result, n);
    auto sink = MakeSink([&](SQLRowSource& row) {
        if (!row.Push()) return 0;
        for (int32_t i = n; i-- > 0;) Emit(SQL_Pop_Result, i);
        Emit(SQL_Output);
        return 1;
    });
    if (!GenerateRows(query, sink)) return 0;
    Emit(SQL_Push_Integer, 1);
    Emit(SQL_Pop_Result, n);
    return 1;
}

int SQLCodeGenerator::GenerateChange(SQLTableReference* table, const std::vector<SQLUpdatedColumn>* set,
                                     SQLExpressionNode* where) {
    Loop loop;
    loop.table = table;
    loop.stopJump = -1;
    if (!EmitIndexSetup(table)) return 0;
    loop.first = Emit(SQL_Cursor_First, table->cursor, -1);
    loop.top = loop.first + 1;
    if (!EmitStopTest(table, loop)) return 0;
    if (where) {
        if (!GenerateCondition(where)) return 0;
        loop.toNext.push_back(Emit(SQL_Jump_EQ, 0, -1));
    }
    if (set) {
        // A value that reads a column an earlier SET changed must see the old
        // value: then every value is taken (copied) before any is stored.
        bool together = false;
        for (size_t j = 1; j < set->size() && !together; ++j) {
            if (!(*set)[j].value) continue;
            auto readsChanged = [&](const SQLColumnReference* reference) {
                if (!reference || reference->table != table) return;
                for (size_t i = 0; i < j; ++i)
                    together |= (*set)[i].column->field == reference->field;
            };
            std::vector<SQLExpressionNode*> pending{(*set)[j].value};
            while (!pending.empty()) {
                SQLExpressionNode* node = pending.back();
                pending.pop_back();
                if (node->kind == kSqlNodeColumn) readsChanged(node->column);
                if (node->first) pending.push_back(node->first);
                if (node->second) pending.push_back(node->second);
                if (!node->element) continue;
                if (node->element->elementKind == kSqlElementBetween) {
                    pending.push_back(static_cast<SQLBetween*>(node->element)->lower);
                    pending.push_back(static_cast<SQLBetween*>(node->element)->upper);
                } else if (node->element->elementKind == kSqlElementQuery) {
                    ForEachReferenceIn(static_cast<SQLQuery*>(node->element), readsChanged);
                } else if (node->element->elementKind == kSqlElementIn && static_cast<SQLIn*>(node->element)->query) {
                    ForEachReferenceIn(static_cast<SQLIn*>(node->element)->query, readsChanged);
                }
            }
        }
        for (const SQLUpdatedColumn& column : *set) {
            if (!column.value)
                Emit(SQL_Push_Null);
            else if (!GenerateExpression(column.value))
                return 0;
            if (together)
                Emit(SQL_Copy);
            else
                Emit(SQL_Pop_Column, table->cursor, column.column->column);
        }
        if (together)
            for (size_t i = set->size(); i-- > 0;) Emit(SQL_Pop_Column, table->cursor, (*set)[i].column->column);
        Emit(SQL_Cursor_Update, table->cursor);
    } else {
        Emit(SQL_Cursor_Delete, table->cursor);
    }
    int32_t next = Emit(SQL_Cursor_Next, table->cursor, loop.top);
    for (int32_t jump : loop.toNext) program.Patch(jump, 2, next);
    int32_t exit = program.LabelAndPatch(loop.first, 2);
    if (loop.stopJump >= 0) program.Patch(loop.stopJump, 2, exit);
    Emit(set ? SQL_Cursor_Update_Indexes : SQL_Cursor_Delete_Indexes, table->cursor);
    program.Label();
    return 1;
}

} // namespace vorn
