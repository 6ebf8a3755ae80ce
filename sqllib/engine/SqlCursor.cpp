// The engine's cursors: the tables a statement opens (a writing one's all
// before its first step, in one order), the keys of an index search, the walk
// over rows, and the shared holds of the index files that reading walks take.
#include "sqllib/engine/SqlEngine.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "database/format/KPZIndexKeys.h"
#include "engine/foundation/Messages.h"
#include "sqllib/front/SqlMessages.h"

namespace vorn {

int SQLEngine::OpenForWriting() {
    // Every table the statement opens, in one order (by name) for every
    // statement, each held against rebuilds until the statement ends: two
    // statements never wait for each other's tables with a rebuild between.
    std::vector<int32_t> order;
    for (int32_t i = 0; i < count; ++i) {
        const SQLInstruction& in = code[i];
        if (in.opcode == SQL_Cursor_Open) order.push_back(i);
    }
    auto upper = [&](int32_t i) {
        String name(code[i].text1, code[i].length1);
        name.ToUpper();
        return name;
    };
    std::stable_sort(order.begin(), order.end(), [&](int32_t x, int32_t y) {
        String a = upper(x), b = upper(y);
        int32_t n = std::min(a.Length(), b.Length());
        int c = std::memcmp(a.Text(), b.Text(), static_cast<size_t>(n));
        return c != 0 ? c < 0 : a.Length() < b.Length();
    });
    for (size_t k = 0; k < order.size(); ++k) {
        const SQLInstruction& in = code[order[k]];
        if (CursorOpen(in) < 0) return -1;
        if (static_cast<size_t>(in.a) >= opened.size()) opened.resize(static_cast<size_t>(in.a) + 1, false);
        opened[static_cast<size_t>(in.a)] = true;
        bool first = k == 0 || !upper(order[k - 1]).EqualsNoCase(in.text1, in.length1);
        // Held, the table's files stay; whether they are still those of its
        // name (a rebuild may have finished since they were opened), the
        // host tells. A later cursor of the same table needs no hold of its
        // own.
        for (int attempt = 0;; ++attempt) {
            SQLCursor* cursor = CursorAt(in.a);
            VornSQLTable& data = cursor->table->Data();
            if (first && !cursor->Hold()) return Error(data.ErrorText());
            int current = data.Probe();
            if (current > 0) break;
            if (current == 0) return Error(data.ErrorText());
            if (attempt == kCompiles)
                return Error(String(kSqlNoCursor) + String(in.text1, in.length1) +
                             "': " + kFileRemovedOrReplaced);
            // The new files, at the counter they are read at; columns the
            // statement was compiled with and they lack compile it again.
            uint32_t counter = 0;
            if (!schema->CatalogCounter(&counter)) return Error(schema->ErrorText());
            Table* table = schema->LoadTable(in.text1, in.length1);
            if (!table)
                return Error(String(kSqlNoCursor) + String(in.text1, in.length1) +
                             "': " + schema->ErrorText());
            ReleaseHolds();
            Store(cursors, in.a, std::make_unique<SQLCursor>(schema, table, in.b != 0, false, counter));
        }
        SQLCursor* cursor = CursorAt(in.a);
        bool indexed = in.b != 0 || WalksIndex(in.a);
        if (indexed && !cursor->table->IndexesOpen() && !schema->OpenIndexes(cursor->table))
            return Error(schema->ErrorText());
    }
    return 1;
}

int SQLEngine::CursorOpen(const SQLInstruction& in) {
    // Opened (and held) before the statement's first step.
    if (static_cast<size_t>(in.a) < opened.size() && opened[static_cast<size_t>(in.a)]) {
        opened[static_cast<size_t>(in.a)] = false;
        if (CursorAt(in.a)) return kNext;
    }
    // Reading the catalog may wait for its header, which a pack holds while
    // it waits for index locks.
    ReleaseHolds();
    // The indexes of a walk open with the data file, at one counter: opened
    // later, a rebuild in between would pair new record numbers with the
    // old records.
    bool indexed = in.b != 0 || WalksIndex(in.a);
    uint32_t counter = 0;
    Table* table = nullptr;
    bool reused = false;
    for (int attempt = 0;; ++attempt) {
        // The statement's counter first; a table read again reads it afresh.
        if ((attempt > 0 || !catalog.StatementCounter(&counter)) && !schema->CatalogCounter(&counter))
            return Error(schema->ErrorText());
        table = schema->TakeIdleTable(in.text1, in.length1, counter);
        reused = table != nullptr;
        if (!table) table = schema->LoadTable(in.text1, in.length1);
        if (!table)
            return Error(String(kSqlNoCursor) + String(in.text1, in.length1) +
                         "': " + schema->ErrorText());
        if (indexed && !table->IndexesOpen() && !schema->OpenIndexes(table)) {
            delete table;
            return Error(schema->ErrorText());
        }
        // Indexes opened at a later counter than the data file: a rebuild
        // may have put new files in place between the two, and a walk of
        // new entries over old records would miss rows or find others.
        // Read again. A writing statement holds its tables before its
        // first step and then learns from the counter whether anything
        // changed since its compile.
        if (!indexed || !readOnly || table->IndexCounter() == counter) break;
        delete table;
        table = nullptr;
        if (attempt > 0) {
            // Rebuilds keep coming: opened while no rebuild can replace it.
            reused = false;
            table = OpenSteady(in.text1, in.length1, counter);
            if (!table) return -1;
            break;
        }
    }
    Store(cursors, in.a, std::make_unique<SQLCursor>(schema, table, in.b != 0, reused, counter));
    return kNext;
}

Table* SQLEngine::OpenSteady(const char* name, int32_t length, uint32_t& counter) {
    String shown(name, length);
    for (int attempt = 0; attempt < kCompiles; ++attempt) {
        Table* table = schema->LoadTable(name, length);
        if (!table) {
            Error(String(kSqlNoCursor) + shown + "': " + schema->ErrorText());
            return nullptr;
        }
        VornSQLTable& data = table->Data();
        int current = data.LockStatement() ? data.Probe() : 0;
        String failure(data.ErrorText());
        // Under the hold the indexes are those of the records opened.
        if (current > 0 && !schema->OpenIndexes(table)) {
            current = 0;
            failure.Assign(schema->ErrorText());
        }
        data.UnlockStatement();
        if (current > 0) {
            counter = table->IndexCounter();
            return table;
        }
        delete table;
        if (current == 0) {
            Error(failure);
            return nullptr;
        }
    }
    Error(String(kSqlNoCursor) + shown + "': " + kFileRemovedOrReplaced);
    return nullptr;
}

int SQLEngine::CursorIndex(const SQLInstruction& in) {
    SQLCursor* cursor = CursorAt(in.a);
    Table* table = cursor->table;
    Index* index = table->FindIndex(in.text1, in.length1);
    if (!index && !table->IndexesOpen()) {
        // The catalog's header may be waited for: no hold meanwhile.
        ReleaseHolds();
        if (!schema->OpenIndexes(table)) return Error(schema->ErrorText());
        // Newer than the records a reader has open: their numbers differ.
        if (!cursor->writing && table->IndexCounter() != cursor->openedAt)
            return Error(String(kSqlNoCursor) + table->Name() +
                         "': " + kFileRemovedOrReplaced);
        index = table->FindIndex(in.text1, in.length1);
    }
    if (!index) return Error(String("Index '") + String(in.text1, in.length1) + kSqlDoesNotExist);
    int32_t columns = index->ColumnCount();
    int32_t keys = in.b;
    bool range = in.c != 0;
    // The index is the catalog's: its columns are known only now.
    if (keys > columns || (range && keys >= columns)) return Invalid();
    int32_t popping = keys + (range ? 1 : 0);
    if (depth < popping) return Error(kStackUnderflow);
    // Values were pushed in index-column order: the top one is the last key
    // column's, the range start lies below the keys.
    Entry* values = &stack[depth - popping];
    char scratch[480];
    auto part = [&](String& out, int32_t column, Entry& value, bool* usable) {
        XBaseField* field = index->Column(column);
        if (field->Kind() == kXBaseLogical) {
            out.AppendChar(EntryBoolean(value) ? 'T' : 'F');
            return;
        }
        int32_t length = 0;
        const char* text = nullptr;
        char number[480];
        if (field->Kind() == kXBaseNumeric) {
            int error = 0;
            double x = EntryDouble(value, &error);
            if (usable) *usable = !error && !std::isnan(x) && x >= 0;
            if (!error && std::isfinite(x)) {
                if (x == 0) x = 0.0; // no "-0" key
                length = SQLFormatDouble(x, field->Decimals() > 0 ? field->Decimals() : 0, number);
                text = number;
            } else {
                text = EntryText(value, length, scratch);
            }
            for (int32_t pad = field->Length() - length; pad > 0; --pad) out.AppendChar('0');
        } else {
            text = EntryText(value, length, scratch);
        }
        out.Append(text, length);
    };
    cursor->index = index;
    cursor->key1.Assign("", 0);
    cursor->complete1 = columns == keys;
    for (int32_t k = 0; k < keys; ++k) {
        if (k > 0) cursor->key1.AppendChar(':');
        part(cursor->key1, k, values[range ? k + 1 : k], nullptr);
    }
    if (!cursor->complete1 && keys > 0) cursor->key1.AppendChar(':');
    cursor->key1.ToUpper();
    cursor->range = false;
    if (range) {
        bool usable = true;
        cursor->key2.Assign(cursor->key1);
        part(cursor->key2, keys, values[0], &usable);
        cursor->complete2 = columns == keys + 1;
        if (!cursor->complete2) cursor->key2.AppendChar(':');
        cursor->key2.ToUpper();
        // A start that is no number of at least 0 is not where its rows begin
        // in the index: the walk starts at the key's first entry instead.
        cursor->range = usable || index->Column(keys)->Kind() != kXBaseNumeric;
    }
    for (int32_t i = 0; i < popping; ++i) Drop(stack[--depth]);
    // Keys longer than the index keeps are compared as it keeps them.
    int32_t width = index->File().KeyWidth() - 1;
    if (width > 0 && cursor->key1.Length() > width) cursor->key1.Assign(String(cursor->key1.Text(), width));
    if (width > 0 && cursor->key2.Length() > width) cursor->key2.Assign(String(cursor->key2.Text(), width));
    return kNext;
}

[[gnu::always_inline]] inline bool SQLEngine::ReadWalked(SQLCursor* cursor, int32_t record, bool& live) {
    live = false;
    if (record < 1 || record > cursor->limit) return true;
    if (++steps % kSleepInterval == 0 && Stopped()) return false;
    VornSQLTable& data = cursor->table->Data();
    // Whole, as one write left it: under the batch's hold, or a read lock of
    // the record's own.
    bool batched = readOnly && view;
    if (batched && !HoldRecords(data)) {
        Error(data.ErrorText());
        return false;
    }
    if (!(batched ? data.ReadRecord(record) : data.ReadRecordLocked(record))) {
        Error(data.ErrorText());
        return false;
    }
    live = !data.Deleted();
    return true;
}

[[gnu::always_inline]] inline int SQLEngine::IndexStep(SQLCursor* cursor, bool first, bool& row) {
    Index* index = cursor->index;
    KPZIndexFile& file = index->File();
    uint32_t flags = file.Flags();
    bool keyed = !cursor->key1.IsEmpty();
    bool writing = cursor->writing;
    auto matches = [&](const char* key) {
        if (!keyed) return true;
        if (!key) return false;
        int32_t length = static_cast<int32_t>(strnlen(key, static_cast<size_t>(file.KeyWidth())));
        return CompareKeys(cursor->key1.Text(), cursor->key1.Length(), key, length, cursor->complete1 ? 1 : 0,
                           flags) == 0;
    };
    int32_t record = 0;
    const char* key = nullptr;
    // Where the walk begins: the first entry of its keys.
    auto begin = [&]() {
        int found = 0;
        key = nullptr;
        if (cursor->range) {
            if (!file.Find(cursor->key2.Text(), cursor->key2.Length(), cursor->complete2 ? 1 : 0, &record, &found, 1))
                return false;
            cursor->remakes = file.Remakes();
            if (!found && !file.Next(&record, &key, 1)) return false;
            if (!found && record && !matches(key)) record = 0;
        } else if (keyed) {
            if (!file.Find(cursor->key1.Text(), cursor->key1.Length(), cursor->complete1 ? 1 : 0, &record, &found,
                           1))
                return false;
            if (!found) record = 0;
        } else if (!file.First(&record, 1)) {
            return false;
        }
        if (!cursor->range) cursor->remakes = file.Remakes();
        return true;
    };
    // On from the first entry of the key the walk stood on: the entry is
    // gone (the index was made anew from the live records, without this
    // statement's deleted or changed rows), or equal keys may stand in
    // another order now. Rows handed out already are skipped below.
    auto resume = [&]() {
        int found = 0;
        if (!file.Find(cursor->position.Text(), cursor->position.Length(), 1, &record, &found, 1)) return false;
        cursor->remakes = file.Remakes();
        if (found) {
            record = file.StandingEntry(cursor->resumed);
            key = cursor->resumed.Text();
        } else if (!file.Next(&record, &key, 1)) {
            return false;
        }
        if (record && !matches(key)) record = 0;
        return true;
    };
    // Made anew in place since the walk last looked (the header each call
    // reads says so).
    auto remade = [&]() { return writing && file.Remakes() != cursor->remakes; };
    if (!Hold(*index)) return kWalkFailed;
    if (first) {
        cursor->visited.clear();
        if (!begin()) return kWalkFailed;
    } else {
        if (cursor->atEnd) return 0;
        // The table's own searches (unique checks of an update) move the walk.
        bool standing = !writing ||
                        file.Reposition(cursor->position.Text(), cursor->position.Length(), cursor->record, 1);
        if (!standing && !file.ErrorText().Equals(kRecordNotInIndex)) return kWalkFailed;
        if (standing && !remade()) {
            if (!file.Next(&record, &key, 1)) return kWalkFailed;
            if (record && !matches(key)) record = 0;
        } else if (!resume()) {
            return kWalkFailed;
        }
    }
    // Made anew while the calls above walked: from the start of the key again.
    while (remade())
        if (!(first ? begin() : resume())) return kWalkFailed;
    while (record != 0) {
        bool live = false;
        // A row this walk handed out already (an update enters its new
        // unique keys at once, so the walk may meet it again) is not read again.
        bool seen = writing && cursor->visited.count(record) != 0;
        if (!seen && !ReadWalked(cursor, record, live)) return -1;
        if (live && writing) {
            // An entry whose record holds another key now (a writer stopped
            // between its steps left it) is not the walk's.
            const String& real = index->BuildKey(false);
            int32_t width = file.KeyWidth() - 1;
            int32_t n = std::min(real.Length(), width);
            bool stale = key ? static_cast<int32_t>(strnlen(key, static_cast<size_t>(width))) != n ||
                                   std::memcmp(key, real.Text(), static_cast<size_t>(n)) != 0
                             : keyed && !matches(String(real.Text(), n).Text());
            if (stale) live = false;
        }
        if (live) {
            cursor->record = record;
            if (writing) {
                cursor->visited.insert(record);
                cursor->position.Assign(index->BuildKey(false));
            }
            row = true;
            return 0;
        }
        if (!file.Next(&record, &key, 1)) return kWalkFailed;
        if (remade()) {
            do {
                if (!(first ? begin() : resume())) return kWalkFailed;
            } while (remade());
            continue;
        }
        if (record && !matches(key)) record = 0;
    }
    return 0;
}

int SQLEngine::CursorStep(SQLCursor* cursor, bool first, bool& row) {
    row = false;
    VornSQLTable& data = cursor->table->Data();
    if (first && cursor->reused) {
        // Other requests may have appended since the table was last read.
        // No index lock is held while the header is waited for: a rebuild
        // holds the header while it waits for the index locks.
        ReleaseHolds();
        if (!data.RefreshHeader()) return Error(data.ErrorText());
        cursor->reused = false;
    }
    if (first) {
        cursor->limit = data.RecordCount();
        // A statement that changes nothing reads its records through pages
        // kept until it ends.
        if (readOnly && data.DataStore()) data.DataStore()->KeepBlocks(true);
    }
    if (!cursor->index) {
        int32_t record = first ? 1 : cursor->record + 1;
        for (; record <= cursor->limit; ++record) {
            bool live = false;
            if (!ReadWalked(cursor, record, live)) return -1;
            if (live) {
                cursor->record = record;
                row = true;
                return 0;
            }
        }
        cursor->record = cursor->limit;
        return 0;
    }
    int step = IndexStep(cursor, first, row);
    return step == kWalkFailed ? IndexStepFailed(cursor, first, row) : step;
}

// A writing walk that finds its index marked as half changed (a writer was
// killed inside a change) makes it anew, as the table's changes do, and goes
// on from the entry it stood on.
[[gnu::noinline, gnu::cold]] int SQLEngine::IndexStepFailed(SQLCursor* cursor, bool first, bool& row) {
    KPZIndexFile& file = cursor->index->File();
    for (int repairs = 0;; ++repairs) {
        if (!cursor->writing || repairs == kWalkRepairs || !file.Damaged() ||
            !cursor->table->RepairFound(cursor->index))
            return Error(file.ErrorText());
        int step = IndexStep(cursor, first, row);
        if (step != kWalkFailed) return step;
    }
}

// ---- Holds of index files -------------------------------------------------------------------------

bool SQLEngine::HoldsExpired() {
    // The clock every 16 steps (a step of a join's inner walk takes a few
    // microseconds), and whenever a hold begins.
    return (!holds.empty() || !recordHolds.empty()) && ++holdSteps % 16 == 0 &&
           NowMicroseconds() - holdSince > kHoldMicroseconds;
}

bool SQLEngine::HoldRecords(VornSQLTable& data) {
    if (HoldsExpired()) ReleaseHolds();
    if (data.RecordsHeld()) return true;
    if (!holds.empty()) {
        for (Index* index : holds) index->File().ReleaseHold();
        holds.clear();
    }
    if (!data.HoldRecords()) return false;
    if (recordHolds.empty()) {
        holdSince = NowMicroseconds();
        holdSteps = 0;
    }
    recordHolds.push_back(&data);
    return true;
}

bool SQLEngine::Hold(Index& index) {
    if (!readOnly || !view) return true;
    if (HoldsExpired()) ReleaseHolds();
    KPZIndexFile& file = index.File();
    if (file.Held()) return true;
    VornSQLTable& data = index.Owner()->Data();
    if (!data.RecordsHeld() && !HoldRecords(data)) {
        file.SetError(data.ErrorText());
        return false;
    }
    // A rebuild holds the indexes before this one while it waits for the
    // later ones: waiting here with a later one held (a join walking its
    // outer table by a later index) would wait for each other until the
    // time-out. Their walks take them again. The same index through another
    // cursor is the same key: shared holds of one file never wait for each
    // other.
    const String& order = index.LockOrder();
    for (Index* held : holds) {
        const String& other = held->LockOrder();
        int32_t n = std::min(other.Length(), order.Length());
        int c = std::memcmp(other.Text(), order.Text(), static_cast<size_t>(n));
        if (c > 0 || (c == 0 && other.Length() > order.Length())) {
            ReleaseHolds();
            break;
        }
    }
    // Refused (after the wait) or unreadable: the message is the walk's.
    if (!file.HoldShared()) return false;
    holds.push_back(&index);
    return true;
}

void SQLEngine::ReleaseHolds() {
    for (Index* index : holds) index->File().ReleaseHold();
    holds.clear();
    for (VornSQLTable* data : recordHolds) data->ReleaseRecords();
    recordHolds.clear();
}

bool SQLEngine::WalksIndex(int32_t cursor) const { return verifier.WalksIndex(cursor); }

} // namespace vorn
