// One table of a running statement (its cursor): the table's files, the
// columns the statement reads, the keys of an index search and the place of
// the walk over its rows. The engine opens cursors and walks them
// (SqlCursor.cpp).
#pragma once

#include <cstdint>
#include <unordered_set>
#include <vector>

#include "engine/foundation/String.h"
#include "sqllib/store/Schema.h"

namespace vorn {

class SQLCursor {
  public:
    SQLCursor(Schema* schema, Table* table, bool writing, bool reused, uint32_t openedAt)
        : schema(schema), table(table), writing(writing), reused(reused), openedAt(openedAt) {}
    // The table stays open for the next statement; what its store kept of
    // this one's records does not.
    ~SQLCursor() {
        Unhold();
        if (XBaseStore* store = table->Data().DataStore()) store->KeepBlocks(false);
        schema->GiveIdleTable(table, openedAt);
    }
    // The writing statement's hold on the table against rebuilds.
    bool Hold() {
        held = table->Data().LockStatement() != 0;
        return held;
    }
    void Unhold() {
        if (held) table->Data().UnlockStatement();
        held = false;
    }
    SQLCursor(const SQLCursor&) = delete;
    SQLCursor& operator=(const SQLCursor&) = delete;

    Schema* schema;
    Table* table;
    bool writing;
    // Kept from an earlier statement: its header is read again at the first row.
    bool reused;
    uint32_t openedAt;
    bool held = false;
    Index* index = nullptr;
    std::vector<XBaseField*> columns;
    String key1;
    String key2;
    bool complete1 = false;
    bool complete2 = false;
    bool range = false;
    bool atEnd = true;
    // Records appended after the walk began are not read by it.
    int32_t limit = 0;
    int32_t record = 0;
    // The entry a writing cursor stands on, to find it again after the
    // table's own index searches moved the walk.
    String position;
    // The records a writing walk by an index handed out.
    std::unordered_set<int32_t> visited;
    // The index's count of times made anew in place, as the walk last saw it.
    uint32_t remakes = 0;
    // The key of the entry a writing walk went on from.
    String resumed;
};

} // namespace vorn
