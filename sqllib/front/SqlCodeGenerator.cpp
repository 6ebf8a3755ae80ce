// Building the statement objects, binding names, and planning each query.
#include "sqllib/front/SqlCodeGenerator.h"

#include "engine/foundation/Hash.h"
#include "engine/foundation/Number.h"
#include "sqllib/front/SqlMemory.h"
#include "sqllib/front/SqlMessages.h"
#include "sqllib/front/SqlToken.h"

#include <cstdio>

namespace vorn {

namespace {

// Nodes of one query level under root: BETWEEN bounds and IN lists belong to
// the level; sub-queries are handed to onQuery; aggregate arguments are
// entered only when asked.
template <class N, class Q>
void VisitLevel(SQLExpressionNode* root, bool enterAggregates, N&& onNode, Q&& onQuery) {
    std::vector<SQLExpressionNode*> pending;
    if (root) pending.push_back(root);
    while (!pending.empty()) {
        SQLExpressionNode* node = pending.back();
        pending.pop_back();
        onNode(node);
        if (node->second) pending.push_back(node->second);
        if (node->first) pending.push_back(node->first);
        SQLComplexElement* element = node->element;
        if (!element) continue;
        switch (element->elementKind) {
        case kSqlElementBetween: {
            auto* between = static_cast<SQLBetween*>(element);
            pending.push_back(between->upper);
            pending.push_back(between->lower);
            break;
        }
        case kSqlElementIn: {
            auto* in = static_cast<SQLIn*>(element);
            for (SQLExpressionNode* literal : in->literals) pending.push_back(literal);
            if (in->query) onQuery(in->query);
            break;
        }
        case kSqlElementQuery:
            onQuery(static_cast<SQLQuery*>(element));
            break;
        case kSqlElementAggregate:
        case kSqlElementAggregateCount:
            if (enterAggregates && static_cast<SQLAggregate*>(element)->argument)
                pending.push_back(static_cast<SQLAggregate*>(element)->argument);
            break;
        default:
            break;
        }
    }
}

bool SameName(const char* a, int32_t aLength, const char* b, int32_t bLength) {
    return aLength == bLength && CompareTextNoCase(a, b, aLength) == 0;
}

bool IsLowerBound(int32_t op) { return op == kSqlGreater || op == kSqlGreaterEqual; }
bool IsUpperBound(int32_t op) { return op == kSqlLess || op == kSqlLessEqual; }

// The operator with its operands swapped: 5 < a is a > 5.
int32_t Mirror(int32_t op) {
    switch (op) {
    case kSqlLess:
        return kSqlGreater;
    case kSqlGreater:
        return kSqlLess;
    case kSqlLessEqual:
        return kSqlGreaterEqual;
    case kSqlGreaterEqual:
        return kSqlLessEqual;
    default:
        return op;
    }
}

String Quote(const char* prefix, const char* name, int32_t length, const char* suffix) {
    String out(prefix);
    out.Append(name, length);
    out.Append(suffix);
    return out;
}

} // namespace

int32_t SQLTableReference::OpenColumn(int32_t field) {
    if (columnOf[static_cast<size_t>(field)] < 0) {
        columnOf[static_cast<size_t>(field)] = static_cast<int32_t>(fields.size());
        fields.push_back(field);
    }
    return columnOf[static_cast<size_t>(field)];
}

SQLTableReference* SQLReferenceManager::FindAlias(const char* alias, int32_t length) const {
    for (SQLTableReference* table : tables)
        if (SameName(table->alias, table->aliasLength, alias, length)) return table;
    return nullptr;
}

// ---- Building ---------------------------------------------------------------------------

SQLCodeGenerator::SQLCodeGenerator(SQLCatalog* schema) : catalog(schema) { program.Start(); }

SQLCodeGenerator::~SQLCodeGenerator() = default;

void SQLCodeGenerator::Reset() {
    statement = nullptr;
    generated = false;
    ownedStatement.reset();
    queries.clear();
    managers.clear();
    elements.clear();
    ownedManagers.clear();
    ownedTables.clear();
    ownedColumns.clear();
    ownedSelected.clear();
    // Keep node storage for the next statement, unless a huge one grew it.
    if (nodeChunks.size() > 64) nodeChunks.resize(64);
    nodesUsed = 0;
    cursors = temporaryTables = buckets = 0;
    nextParameter = parameterCount = 0;
    text = nullptr;
    textLength = 0;
    error.Assign("");
}

void SQLCodeGenerator::SetText(const char* statementText, int32_t length) {
    text = statementText;
    textLength = length;
}

void SQLCodeGenerator::SetStatement(SQLStatement* made) {
    ownedStatement.reset(made);
    statement = made;
    generated = false;
}

SQLExpressionNode* SQLCodeGenerator::NewNode(int32_t kind) {
    size_t chunk = static_cast<size_t>(nodesUsed / kNodeChunk);
    if (chunk == nodeChunks.size()) nodeChunks.emplace_back(new SQLExpressionNode[kNodeChunk]);
    SQLExpressionNode* node = &nodeChunks[chunk][nodesUsed % kNodeChunk];
    *node = SQLExpressionNode{};
    node->kind = kind;
    ++nodesUsed;
    return node;
}

SQLExpressionNode* SQLCodeGenerator::NewOperator(int32_t op, SQLExpressionNode* first, SQLExpressionNode* second) {
    SQLExpressionNode* node = NewNode(kSqlNodeOperator);
    node->op = op;
    node->first = first;
    node->second = second;
    return node;
}

SQLExpressionNode* SQLCodeGenerator::NewLiteral(const char* literal, int32_t length) {
    SQLExpressionNode* node = NewNode(kSqlNodeLiteral);
    node->text = literal;
    node->length = length;
    return node;
}

SQLExpressionNode* SQLCodeGenerator::NewColumn(SQLReferenceManager* manager, const char* qualifier,
                                               int32_t qualifierLength, const char* name, int32_t nameLength) {
    auto* reference = new SQLColumnReference;
    ownedColumns.emplace_back(reference);
    reference->name = name;
    reference->nameLength = nameLength;
    reference->qualifier = qualifier;
    reference->qualifierLength = qualifierLength;
    reference->manager = manager;
    manager->columns.push_back(reference);
    SQLExpressionNode* node = NewNode(kSqlNodeColumn);
    node->column = reference;
    reference->node = node;
    return node;
}

SQLExpressionNode* SQLCodeGenerator::NewParameter(int32_t index) {
    if (index < 0) index = nextParameter++;
    if (index >= parameterCount) parameterCount = index + 1;
    SQLExpressionNode* node = NewNode(kSqlNodeParameter);
    node->value = index;
    return node;
}

SQLExpressionNode* SQLCodeGenerator::NewComplex(SQLComplexElement* element) {
    SQLExpressionNode* node = NewNode(kSqlNodeComplex);
    node->element = element;
    return node;
}

SQLReferenceManager* SQLCodeGenerator::NewManager(SQLReferenceManager* parent, SQLQuery* query) {
    auto* manager = new SQLReferenceManager;
    ownedManagers.emplace_back(manager);
    manager->parent = parent;
    manager->query = query;
    if (parent) parent->children.push_back(manager);
    managers.push_back(manager);
    return manager;
}

SQLQuery* SQLCodeGenerator::NewQuery(int32_t kind, SQLReferenceManager* parent) {
    SQLQuery* query = NewElement<SQLQuery>(kind);
    query->manager = NewManager(parent, query);
    queries.push_back(query);
    return query;
}

SQLTableReference* SQLCodeGenerator::NewTableReference(SQLReferenceManager* manager, const char* name,
                                                       int32_t nameLength) {
    auto* table = new SQLTableReference;
    ownedTables.emplace_back(table);
    table->name = table->alias = name;
    table->nameLength = table->aliasLength = nameLength;
    table->manager = manager;
    if (manager) {
        table->position = static_cast<int32_t>(manager->tables.size());
        manager->tables.push_back(table);
    }
    return table;
}

SQLSelectedColumn* SQLCodeGenerator::NewSelectedColumn(SQLQuery* query) {
    auto* column = new SQLSelectedColumn;
    ownedSelected.emplace_back(column);
    query->columns.push_back(column);
    return column;
}

int SQLCodeGenerator::Fail(const String& message) {
    error.Assign(message);
    return 0;
}

int SQLCodeGenerator::Fail(const char* message) {
    error.Assign(message);
    return 0;
}

void SQLCodeGenerator::Log(const char* line) {
    if (catalog) catalog->LogText(line, -1);
}

// ---- Generate ---------------------------------------------------------------------------

int SQLCodeGenerator::Generate() {
    // A statement generates once: its objects are bound and planned in place.
    if (!statement || generated) return Fail("No SQL statement");
    generated = true;
    program.Start();
    if (!ResolveTables() || !PrepareSelectLists() || !statement->Resolve(*this) || !BindColumns() ||
        !statement->Plan(*this))
        return 0;
    for (SQLQuery* query : queries)
        if (!PlanQuery(query)) return 0;
    EmitCursorOpens();
    int generated = statement->Generate(*this);
    // Instructions that found no room were dropped: the program is not whole.
    if (program.OutOfMemory()) return Fail(kOutOfMemory);
    return generated;
}

int SQLCodeGenerator::ResolveTables() {
    for (SQLReferenceManager* manager : managers) {
        for (SQLTableReference* table : manager->tables) {
            table->table = catalog ? catalog->FindTable(table->name, table->nameLength) : nullptr;
            if (!table->table) {
                if (!catalog) return Fail(Quote(kSqlUnknownTable, table->name, table->nameLength, "'"));
                return Fail(catalog->CatalogError());
            }
            table->cursor = NextCursor();
            table->columnOf.assign(static_cast<size_t>(table->table->ColumnCount()), -1);
        }
    }
    return 1;
}

int SQLCodeGenerator::PrepareSelectLists() {
    for (SQLQuery* query : queries)
        if (!PrepareSelectList(query)) return 0;
    for (const auto& element : elements) {
        if (element->elementKind != kSqlElementAggregate && element->elementKind != kSqlElementAggregateCount)
            continue;
        if (!static_cast<SQLAggregate*>(element.get())->query)
            return Fail("Aggregate functions are only allowed in a select list");
    }
    return 1;
}

int SQLCodeGenerator::PrepareSelectList(SQLQuery* query) {
    SQLReferenceManager* manager = query->manager;
    // "*" and t.* become one selected column per column, bound to their table.
    auto expand = [&](SQLTableReference* table, std::vector<SQLSelectedColumn*>& out) {
        for (int32_t field = 0; field < table->table->ColumnCount(); ++field) {
            SQLCatalogColumn column = table->table->Column(field);
            auto* selected = new SQLSelectedColumn;
            ownedSelected.emplace_back(selected);
            selected->name = column.name;
            selected->nameLength = column.nameLength;
            selected->value = NewColumn(manager, table->alias, table->aliasLength, column.name, column.nameLength);
            selected->value->column->table = table;
            selected->value->column->field = field;
            out.push_back(selected);
        }
    };
    std::vector<SQLSelectedColumn*> columns;
    if (query->star) {
        for (SQLTableReference* table : manager->tables) expand(table, columns);
    } else {
        for (SQLSelectedColumn* selected : query->columns) {
            if (!selected->tableStar) {
                columns.push_back(selected);
                continue;
            }
            SQLTableReference* table = manager->FindAlias(selected->qualifier, selected->qualifierLength);
            if (!table)
                return Fail(Quote("Unspecified correlation '", selected->qualifier, selected->qualifierLength, "'"));
            expand(table, columns);
        }
    }
    query->columns.swap(columns);
    for (size_t i = 0; i < query->columns.size(); ++i) query->columns[i]->id = static_cast<int32_t>(i);

    if ((query->kind == kSqlQueryIn || query->kind == kSqlQueryScalar) && query->columns.size() > 1)
        return Fail("Sub-query returns more than one column");
    if (query->first && query->columns.size() != query->first->columns.size())
        return Fail("UNIONed queries have a different number of result columns");

    for (SQLSelectedColumn* selected : query->columns) {
        VisitLevel(
            selected->value, false,
            [&](SQLExpressionNode* node) {
                if (node->kind != kSqlNodeComplex) return;
                int32_t kind = node->element->elementKind;
                if (kind != kSqlElementAggregate && kind != kSqlElementAggregateCount) return;
                auto* aggregate = static_cast<SQLAggregate*>(node->element);
                if (query->groupBucket < 0) query->groupBucket = NextBucket();
                aggregate->bucket = query->groupBucket;
                aggregate->slot = query->nextSlot++;
                aggregate->query = query;
                query->aggregates.push_back(aggregate);
            },
            [](SQLQuery*) {});
    }
    if (query->groupBucket < 0 && !query->groupBy.empty()) query->groupBucket = NextBucket();
    if (!query->unions.empty() || (query->orderBy.Count() > 0 && query->Grouped()))
        query->temporaryTable = NextTemporaryTable();
    if (query->orderBy.Count() > 0 && !ResolveOrderBy(query)) return 0;
    if (query->distinct) query->distinctBucket = NextBucket();
    return 1;
}

int SQLCodeGenerator::ResolveOrderBy(SQLQuery* query) {
    int32_t n = static_cast<int32_t>(query->columns.size());
    bool restricted = query->temporaryTable >= 0 || query->distinct;
    query->orderByNamesResults = restricted;
    for (int32_t i = 0; i < query->orderBy.Count(); ++i) {
        SQLOrderBy* item = query->orderBy.At(i);
        item->columnId = n + i;
        SQLExpressionNode* node = item->value;
        int32_t match = -1;
        if (node->kind == kSqlNodeColumn && !node->column->qualifier) {
            for (int32_t j = 0; j < n && match < 0; ++j) {
                const SQLSelectedColumn* selected = query->columns[static_cast<size_t>(j)];
                if (SameName(selected->name, selected->nameLength, node->column->name, node->column->nameLength))
                    match = j;
            }
        }
        if (match < 0) {
            if (restricted) return Fail("ORDER BY must be by result column name");
            continue;
        }
        item->resultColumn = match;
        node->column->needsBinding = false;
        SQLExpressionNode* value = query->columns[static_cast<size_t>(match)]->value;
        if (!restricted && value->kind == kSqlNodeColumn) {
            item->value = value;
        } else {
            auto* reference = NewElement<SQLOrderBySelectListReference>();
            reference->query = query;
            reference->resultColumn = match;
            item->value = NewComplex(reference);
        }
    }
    if (query->temporaryTable < 0) {
        bool sort = query->distinct;
        for (int32_t i = 0; i < query->orderBy.Count(); ++i) {
            const SQLOrderBy* item = query->orderBy.At(i);
            if (item->ascending != query->orderBy.At(0)->ascending || item->value->kind != kSqlNodeColumn)
                sort = true;
        }
        if (sort) query->temporaryTable = NextTemporaryTable();
    }
    return 1;
}

int SQLCodeGenerator::BindColumns() {
    for (SQLReferenceManager* manager : managers) {
        for (SQLColumnReference* reference : manager->columns) {
            if (!reference->needsBinding) continue;
            SQLTableReference* found = reference->table;
            int32_t field = reference->field;
            if (found) {
                // Bound when "*" was expanded.
            } else if (!reference->qualifier) {
                for (SQLTableReference* table : manager->tables) {
                    int32_t f = table->table->FindColumn(reference->name, reference->nameLength);
                    if (f < 0) continue;
                    // Two references of one table count as two tables.
                    if (found)
                        return Fail(Quote(kSqlColumnNamed, reference->name, reference->nameLength, "' ambiguously defined"));
                    found = table;
                    field = f;
                }
                if (!found) return Fail(Quote(kSqlUnknownField, reference->name, reference->nameLength, "'"));
            } else {
                for (SQLReferenceManager* m = manager; m && !found; m = m->parent)
                    found = m->FindAlias(reference->qualifier, reference->qualifierLength);
                if (found) field = found->table->FindColumn(reference->name, reference->nameLength);
                if (!found || field < 0) {
                    String message(kSqlUnknownField);
                    message.Append(reference->qualifier, reference->qualifierLength);
                    message.AppendChar('.');
                    message.Append(reference->name, reference->nameLength);
                    message.AppendChar('\'');
                    return Fail(message);
                }
            }
            reference->table = found;
            reference->field = field;
            reference->type = found->table->Column(field).type;
            reference->cursor = found->cursor;
            reference->column = found->OpenColumn(field);
            reference->needsBinding = false;
        }
    }
    return 1;
}

// ---- Planning -----------------------------------------------------------------------------

void SQLCodeGenerator::SplitConjuncts(SQLExpressionNode* node, std::vector<SQLExpressionNode*>& out) {
    std::vector<SQLExpressionNode*> pending;
    if (node) pending.push_back(node);
    while (!pending.empty()) {
        SQLExpressionNode* n = pending.back();
        pending.pop_back();
        if (n->kind == kSqlNodeOperator && n->op == kSqlAnd) {
            pending.push_back(n->second);
            pending.push_back(n->first);
        } else {
            out.push_back(n);
        }
    }
}

bool SQLCodeGenerator::ContainsOr(SQLExpressionNode* node) {
    bool found = false;
    VisitLevel(
        node, true, [&](SQLExpressionNode* n) { found |= n->kind == kSqlNodeOperator && n->op == kSqlOr; },
        [](SQLQuery*) {});
    return found;
}

int32_t SQLCodeGenerator::RequiredPosition(SQLExpressionNode* node, SQLReferenceManager* manager) {
    int32_t position = -1;
    auto see = [&](const SQLColumnReference* reference) {
        if (reference && reference->table && reference->table->manager == manager &&
            reference->table->position > position)
            position = reference->table->position;
    };
    VisitLevel(
        node, true,
        [&](SQLExpressionNode* n) {
            if (n->kind == kSqlNodeColumn) see(n->column);
            if (n->kind == kSqlNodeComplex && n->element->elementKind == kSqlElementAggregateColumn)
                see(static_cast<SQLAggregateColumn*>(n->element)->column);
        },
        [&](SQLQuery* query) { ForEachReferenceIn(query, see); });
    return position;
}

int SQLCodeGenerator::PlanQuery(SQLQuery* query) {
    if (query->Grouped() && !CheckGroupBy(query)) return 0;
    int preferred = query->orderBy.Count() > 0 ? (query->orderBy.At(0)->ascending ? 1 : 2) : 0;

    // Each table tests the conjuncts of the WHERE that need no later table;
    // a LEFT OUTER JOINed table tests its ON condition instead.
    SQLReferenceManager* manager = query->manager;
    std::vector<SQLExpressionNode*> conjuncts;
    SplitConjuncts(query->where, conjuncts);
    std::vector<int32_t> needs(conjuncts.size());
    std::vector<bool> taken(conjuncts.size());
    for (size_t k = 0; k < conjuncts.size(); ++k)
        needs[k] = ContainsOr(conjuncts[k]) ? INT32_MAX : RequiredPosition(conjuncts[k], manager);
    for (SQLTableReference* table : manager->tables) {
        if (table->joinedTo) {
            std::vector<SQLExpressionNode*> on;
            SplitConjuncts(table->on, on);
            for (SQLExpressionNode* part : on) {
                bool mine = !ContainsOr(part) && RequiredPosition(part, manager) <= table->position;
                (mine ? table->filter : table->onRest).push_back(part);
            }
        } else {
            for (size_t k = 0; k < conjuncts.size(); ++k) {
                if (taken[k] || needs[k] > table->position) continue;
                table->filter.push_back(conjuncts[k]);
                taken[k] = true;
            }
        }
        if (!table->filter.empty()) ChooseIndex(table, table->filter, preferred, table->joinedTo != nullptr);
    }
    for (size_t k = 0; k < conjuncts.size(); ++k)
        if (!taken[k]) query->remainder.push_back(conjuncts[k]);

    PlanOrderBy(query);
    for (const SQLUnion& member : query->unions)
        if (member.distinct && query->unionBucket < 0) query->unionBucket = NextBucket();
    return 1;
}

int SQLCodeGenerator::CheckGroupBy(SQLQuery* query) {
    // Columns read outside aggregates, by the select list or by a sub-query in it.
    std::vector<SQLColumnReference*> kept;
    for (SQLSelectedColumn* selected : query->columns) {
        VisitLevel(
            selected->value, false,
            [&](SQLExpressionNode* node) {
                if (node->kind == kSqlNodeColumn) kept.push_back(node->column);
            },
            [&](SQLQuery* inner) {
                ForEachReferenceIn(inner, [&](SQLColumnReference* reference) {
                    if (reference->table && reference->table->manager == query->manager &&
                        reference->node->kind == kSqlNodeColumn)
                        kept.push_back(reference);
                });
            });
    }
    for (SQLColumnReference* reference : kept) {
        bool grouped = false;
        for (SQLExpressionNode* item : query->groupBy)
            grouped |= item->kind == kSqlNodeColumn && item->column->cursor == reference->cursor &&
                       item->column->column == reference->column;
        if (!grouped)
            return Fail("Non aggregate column in select list does not exist in the GROUP BY clause (or no GROUP "
                        "BY clause)");
        auto* column = NewElement<SQLAggregateColumn>();
        column->column = reference;
        column->bucket = query->groupBucket;
        column->slot = query->nextSlot++;
        column->query = query;
        query->aggregates.push_back(column);
        reference->node->kind = kSqlNodeComplex;
        reference->node->element = column;
    }
    return 1;
}

void SQLCodeGenerator::ChooseIndex(SQLTableReference* table, const std::vector<SQLExpressionNode*>& conjuncts,
                                   int preferredDirection, bool joined) {
    // Comparisons that every accepted row satisfies: a bare column of this
    // table against a value known before its loop starts.
    struct Comparison {
        int32_t op;
        int32_t field;
        SQLExpressionNode* column;
        SQLExpressionNode* value;
    };
    std::vector<Comparison> found;
    for (SQLExpressionNode* c : conjuncts) {
        if (c->kind != kSqlNodeOperator ||
            !(c->op == kSqlEqual || IsLowerBound(c->op) || IsUpperBound(c->op)))
            continue;
        SQLExpressionNode* left = c->first;
        SQLExpressionNode* right = c->second;
        auto mine = [&](SQLExpressionNode* n) { return n->kind == kSqlNodeColumn && n->column->table == table; };
        if (mine(left) && RequiredPosition(right, table->manager) < table->position)
            found.push_back({c->op, left->column->field, left, right});
        else if (mine(right) && RequiredPosition(left, table->manager) < table->position)
            found.push_back({Mirror(c->op), right->column->field, right, left});
    }
    if (found.empty()) return;

    // Index order is upper-cased, zero-padded text: only numeric columns may
    // take a range, and only a literal of at least 0 may end one.
    auto stopsAt = [&](const Comparison& c) {
        if (joined || c.value->kind != kSqlNodeLiteral || c.value->length == 0) return false;
        int32_t invalid = 0;
        double v = ParseDouble(c.value->text, c.value->length, c.value->length, &invalid);
        return !invalid && v >= 0;
    };
    struct Range {
        const Comparison* start = nullptr;
        const Comparison* stop = nullptr;
    };
    auto range = [&](int32_t field, bool descending) {
        Range r;
        if (table->table->Column(field).type != kSqlTypeNumeric) return r;
        for (const Comparison& c : found) {
            if (c.field != field || c.op == kSqlEqual) continue;
            bool lower = IsLowerBound(c.op);
            if (lower != descending) {
                if (!r.start) r.start = &c;
            } else if (!r.stop && stopsAt(c)) {
                r.stop = &c;
            }
        }
        return r;
    };
    auto equality = [&](int32_t field) -> const Comparison* {
        for (const Comparison& c : found)
            if (c.field == field && c.op == kSqlEqual) return &c;
        return nullptr;
    };
    auto score = [&](const SQLCatalogIndex* index) {
        int32_t total = 0;
        bool descending = index->IndexFlags() & kSqlIndexDescending;
        for (int32_t k = 0; k < index->KeyColumnCount(); ++k) {
            int32_t field = index->KeyColumn(k);
            if (equality(field)) {
                ++total;
                continue;
            }
            Range r = range(field, descending);
            if (r.start || r.stop) total += r.start && r.stop ? 2 : 1;
            break;
        }
        return total;
    };

    const SQLCatalogIndex* best = nullptr;
    int32_t bestScore = 0, previousDirection = 0;
    for (int32_t i = 0; i < table->table->IndexCount(); ++i) {
        const SQLCatalogIndex* index = table->table->IndexAt(i);
        int32_t s = score(index);
        int32_t direction = index->IndexFlags() & kSqlIndexDescending ? 2 : 1;
        if (s > bestScore) {
            best = index;
            bestScore = s;
        } else if (s == bestScore && s > 0 && direction == preferredDirection && direction != previousDirection) {
            best = index;
        }
        previousDirection = direction;
    }
    if (!best) return;

    table->index = best;
    bool descending = best->IndexFlags() & kSqlIndexDescending;
    for (int32_t k = 0; k < best->KeyColumnCount(); ++k) {
        int32_t field = best->KeyColumn(k);
        if (const Comparison* eq = equality(field)) {
            table->keys.push_back(eq->value);
            continue;
        }
        Range r = range(field, descending);
        if (r.start) table->rangeStart = r.start->value;
        if (r.stop) {
            table->stopColumn = r.stop->column;
            table->stopValue = r.stop->value;
            table->stopOperator = r.stop->op;
        }
        break;
    }
}

void SQLCodeGenerator::PlanOrderBy(SQLQuery* query) {
    // ORDER BY always sorts: keys are upper-cased and padded, comparisons are
    // not, so index order may differ. The notes still tell when no index fits.
    if (query->orderBy.Count() == 0 || query->temporaryTable >= 0) return;
    query->temporaryTable = NextTemporaryTable();
    SQLTableReference* first = query->manager->tables.front();
    std::vector<int32_t> fields;
    for (int32_t i = 0; i < query->orderBy.Count(); ++i) {
        const SQLExpressionNode* value = query->orderBy.At(i)->value;
        if (value->kind != kSqlNodeColumn || value->column->table != first) return;
        fields.push_back(value->column->field);
    }
    bool descending = !query->orderBy.At(0)->ascending;
    auto fits = [&](const SQLCatalogIndex* index, int32_t skip) {
        if (((index->IndexFlags() & kSqlIndexDescending) != 0) != descending) return false;
        if (index->KeyColumnCount() - skip < static_cast<int32_t>(fields.size())) return false;
        for (size_t j = 0; j < fields.size(); ++j)
            if (index->KeyColumn(skip + static_cast<int32_t>(j)) != fields[j]) return false;
        return true;
    };
    if (first->index) {
        int32_t skip = 0;
        while (skip < static_cast<int32_t>(first->keys.size()) &&
               (first->keys[static_cast<size_t>(skip)]->kind == kSqlNodeLiteral ||
                first->keys[static_cast<size_t>(skip)]->kind == kSqlNodeParameter))
            ++skip;
        if (!fits(first->index, skip)) {
            char line[200];
            std::snprintf(line, sizeof line,
                          "Unable to use index '%.100s' selected by search condition optimization for ORDER BY\n",
                          first->index->IndexName());
            Log(line);
        }
        return;
    }
    for (int32_t i = 0; i < first->table->IndexCount(); ++i)
        if (fits(first->table->IndexAt(i), 0)) return;
    Log("No index found appropriate for ORDER BY optimization\n");
}

void SQLCodeGenerator::EmitCursorOpens() {
    for (SQLReferenceManager* manager : managers) {
        for (SQLTableReference* table : manager->tables) {
            Emit(SQL_Cursor_Open, table->cursor, table->write, 0, table->name, table->nameLength);
            for (size_t k = 0; k < table->fields.size(); ++k) {
                SQLCatalogColumn column = table->table->Column(table->fields[k]);
                Emit(SQL_Cursor_Column, table->cursor, static_cast<int32_t>(k), 0, column.name, column.nameLength);
            }
        }
    }
}

} // namespace vorn
