#include "sqllib/engine/SqlEngine.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unordered_set>

#include "database/format/KPZIndexKeys.h"
#include "engine/foundation/Hash.h"

namespace vorn {

namespace {

// Operand numbers above this name no entry a compiler would make.
constexpr int32_t kMaxOperand = 1 << 20;

enum Step { kNext = 0, kJumped = 1, kRow = 2, kFail = -1 };

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

} // namespace

// ---- Cursors, temporary tables and buckets -----------------------------------------------------

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
};

class SQLTemporaryTable {
  public:
    SQLTemporaryTable(int32_t columns, SQLArenaBudget* budget) : columns(columns), arena(budget) {}
    ~SQLTemporaryTable() {
        for (SQLResult* record : records)
            for (int32_t i = 0; i < columns; ++i) record[i].~SQLResult();
    }
    SQLTemporaryTable(const SQLTemporaryTable&) = delete;
    SQLTemporaryTable& operator=(const SQLTemporaryTable&) = delete;

    bool Append() {
        size_t bytes = sizeof(SQLResult) * static_cast<size_t>(columns > 0 ? columns : 1);
        void* at = arena.Allocate(bytes);
        if (!at) return false;
        auto* record = static_cast<SQLResult*>(at);
        for (int32_t i = 0; i < columns; ++i) new (&record[i]) SQLResult();
        records.push_back(record);
        current = record;
        position = records.size() - 1;
        return true;
    }
    void Sort(const CollList<SQLOrderBy>& order);

    int32_t columns;
    SQLArena arena;
    std::vector<SQLResult*> records;
    SQLResult* current = nullptr;
    size_t position = 0;
};

namespace {

// A total order: numbers by value before texts, texts by their bytes. NaN is
// no number here, so it cannot make equal what is not. A value's number is
// taken once before the sort rather than parsed again at every comparison,
// and so is the text of one that is no number.
struct OrderKey {
    double number = 0;
    bool numeric = false;
    const char* text = nullptr;
    int32_t length = 0;
};

OrderKey MakeOrderKey(SQLResult& value) {
    int error = 0;
    OrderKey key;
    key.number = value.ToDouble(&error);
    key.numeric = !error && !std::isnan(key.number);
    if (!key.numeric) key.text = value.Text(&key.length);
    return key;
}

// Words that order as the values do: a double's bits with the sign turned
// (negative ones inverted whole), a text's first eight bytes big-endian.
uint64_t NumberWord(double x) {
    if (x == 0) x = 0.0; // -0 and 0 are one value
    uint64_t bits = 0;
    std::memcpy(&bits, &x, sizeof bits);
    return (bits >> 63) ? ~bits : bits | (uint64_t{1} << 63);
}

uint64_t TextWord(const char* text, int32_t length) {
    uint64_t word = 0;
    for (int32_t i = 0; i < 8; ++i)
        word = (word << 8) | (i < length ? static_cast<uint8_t>(text[i]) : 0u);
    return word;
}

int OrderValues(const OrderKey& a, const OrderKey& b) {
    if (a.numeric && b.numeric) return a.number < b.number ? -1 : (a.number > b.number ? 1 : 0);
    if (a.numeric != b.numeric) return a.numeric ? -1 : 1;
    return SQLCompareBytes(a.text, a.length, b.text, b.length);
}

} // namespace

void SQLTemporaryTable::Sort(const CollList<SQLOrderBy>& order) {
    int32_t keys = order.Count();
    int32_t first = columns - keys;
    if (keys == 0 || first < 0) return;
    size_t n = records.size();
    std::vector<OrderKey> made(n * static_cast<size_t>(keys));
    std::vector<bool> ascending(static_cast<size_t>(keys));
    for (int32_t i = 0; i < keys; ++i) ascending[static_cast<size_t>(i)] = order.At(i)->ascending;
    for (size_t r = 0; r < n; ++r)
        for (int32_t i = 0; i < keys; ++i)
            made[r * static_cast<size_t>(keys) + static_cast<size_t>(i)] = MakeOrderKey(records[r][first + i]);
    // The first key in a word each, compared in place: most comparisons end
    // there; equal words go on to the whole keys, then to the arrival order,
    // which keeps the sort stable.
    struct Item {
        uint64_t word;
        uint32_t row;
        uint32_t kind; // 0 a number, 1 a text
    };
    std::vector<Item> items(n);
    for (size_t r = 0; r < n; ++r) {
        const OrderKey& k = made[r * static_cast<size_t>(keys)];
        items[r] = Item{k.numeric ? NumberWord(k.number) : TextWord(k.text, k.length), static_cast<uint32_t>(r),
                        k.numeric ? 0u : 1u};
    }
    bool up = ascending[0];
    std::sort(items.begin(), items.end(), [&](const Item& a, const Item& b) {
        if (a.kind != b.kind) return up ? a.kind < b.kind : a.kind > b.kind;
        if (a.word != b.word) return up ? a.word < b.word : a.word > b.word;
        const OrderKey* ka = &made[a.row * static_cast<size_t>(keys)];
        const OrderKey* kb = &made[b.row * static_cast<size_t>(keys)];
        for (int32_t i = 0; i < keys; ++i) {
            int c = OrderValues(ka[i], kb[i]);
            if (c != 0) return ascending[static_cast<size_t>(i)] ? c < 0 : c > 0;
        }
        return a.row < b.row;
    });
    std::vector<size_t> rank(n);
    for (size_t r = 0; r < n; ++r) rank[r] = items[r].row;
    std::vector<SQLResult*> sorted(n);
    for (size_t r = 0; r < n; ++r) sorted[r] = records[rank[r]];
    records.swap(sorted);
    current = records.empty() ? nullptr : records[0];
    position = 0;
}

struct SQLBucketEntry {
    SQLResult value;
    int32_t count = 0;
    double total = 0.0;
};

struct SQLBucketRecord {
    const char* key;
    int32_t keyLength;
    SQLBucketRecord* next;
    SQLBucketEntry* slots;
};

class SQLBucket {
  public:
    static constexpr int32_t kChains = 4096;

    SQLBucket(int32_t slots, SQLArenaBudget* budget) : slots(slots), arena(budget), chains(new SQLBucketRecord*[kChains]()) {}
    ~SQLBucket() {
        for (SQLBucketRecord* record : order)
            for (int32_t i = 0; i < slots; ++i) record->slots[i].~SQLBucketEntry();
    }
    SQLBucket(const SQLBucket&) = delete;
    SQLBucket& operator=(const SQLBucket&) = delete;

    // 1 found, 0 made, -1 out of memory; either way the record is current.
    int Record(const char* key, int32_t length) {
        uint32_t chain = HashLookup2NoCase(key, static_cast<uint32_t>(length), 0) & (kChains - 1);
        SQLBucketRecord** link = &chains[chain];
        for (; *link; link = &(*link)->next) {
            SQLBucketRecord* at = *link;
            int c = at->keyLength != length ? (at->keyLength < length ? -1 : 1)
                                            : std::memcmp(at->key, key, static_cast<size_t>(length));
            if (c == 0) {
                current = at;
                return 1;
            }
            if (c > 0) break;
        }
        auto* made = static_cast<SQLBucketRecord*>(arena.Allocate(sizeof(SQLBucketRecord)));
        char* copy = made ? arena.Copy(key, length) : nullptr;
        void* entries = copy ? arena.Allocate(sizeof(SQLBucketEntry) * static_cast<size_t>(slots > 0 ? slots : 1))
                             : nullptr;
        if (!entries) return -1;
        made->key = copy;
        made->keyLength = length;
        made->slots = static_cast<SQLBucketEntry*>(entries);
        for (int32_t i = 0; i < slots; ++i) new (&made->slots[i]) SQLBucketEntry();
        made->next = *link;
        *link = made;
        order.push_back(made);
        current = made;
        return 0;
    }

    int32_t slots;
    SQLArena arena;
    std::unique_ptr<SQLBucketRecord*[]> chains;
    std::vector<SQLBucketRecord*> order;
    SQLBucketRecord* current = nullptr;
    size_t position = 0;
};

void SQLEngine::TextValue::Free() {
    if (owned) std::free(const_cast<char*>(text));
    owned = false;
}

template <class T>
static void Store(std::vector<std::unique_ptr<T>>& array, int32_t at, T* made) {
    if (static_cast<size_t>(at) >= array.size()) array.resize(static_cast<size_t>(at) + 1);
    array[static_cast<size_t>(at)].reset(made);
}

// ---- The engine --------------------------------------------------------------------------------

SQLEngine::SQLEngine(Schema* schema, VornDatabase* database)
    : schema(schema), database(database), catalog(schema), generator(&catalog), parser(generator),
      stack(new Entry[kStackSize]) {}

SQLEngine::~SQLEngine() {
    ApplyWrites();
    while (depth > 0) Drop(stack[--depth]);
    // Results first: their view variables must stop pointing at them.
    results.clear();
    cursors.clear();
    temporaries.clear();
    buckets.clear();
}

void SQLEngine::Release() {
    ReleaseHolds();
    ClearAhead();
    while (depth > 0) Drop(stack[--depth]);
    parameters.clear();
    results.clear();
    cursors.clear();
    temporaries.clear();
    buckets.clear();
}

int SQLEngine::Error(const char* message) { return Error(String(message ? message : "")); }

int SQLEngine::Error(const String& message) {
    failed = true;
    error.Assign(message);
    if (schema && schema->LogOpen()) schema->Log("Error: %.200s\n--------------------\n", error.Text());
    return -1;
}

int SQLEngine::Prepare(const char* text, int32_t length) {
    if (!text) length = 0;
    if (length < 0) length = static_cast<int32_t>(std::strlen(text));
    statementText.Assign(text ? text : "", length);
    compiles = 0;
    return Compile();
}

int SQLEngine::Compile() {
    const char* text = statementText.Text();
    int32_t length = statementText.Length();
    ReleaseHolds();
    ClearAhead();
    readOnly = false;
    while (depth > 0) Drop(stack[--depth]);
    results.clear();
    cursors.clear();
    temporaries.clear();
    buckets.clear();
    failed = false;
    error.Assign("", 0);
    code = nullptr;
    count = 0;
    pc = 0;
    steps = 0;
    begun = false;
    restart = false;
    output = false;
    opened.clear();
    catalog.Reset();
    // The statement's block (its text, the planner's notes, then the listing
    // or the error) goes out in one write: requests sharing the log keep it
    // together.
    struct HeldLog {
        Schema* schema;
        explicit HeldLog(Schema* s) : schema(s) { schema->HoldLog(); }
        ~HeldLog() { schema->WriteHeldLog(); }
    } held(schema);
    if (schema->LogOpen()) {
        String header("SQL Prepare:\n");
        header.Append(text ? text : "", length);
        header.Append("\n--------------------\n");
        schema->LogText(header.Text(), header.Length());
    }
    if (!parser.Parse(text ? text : "", length)) return Error(parser.ErrorText());
    if (!generator.Generate()) return Error(generator.ErrorText());
    if (schema->LogOpen()) {
        String listing;
        generator.Program().List(listing);
        schema->LogText(listing.Text(), listing.Length());
    }
    code = generator.Instructions();
    count = generator.InstructionCount();
    expectedParameters = generator.ParameterCount();
    readOnly = ChangesNothing(code, count);
    return 1;
}

void SQLEngine::Load(const SQLInstruction* program, int32_t instructions, const std::vector<std::string>& values) {
    Release();
    catalog.Reset();
    failed = false;
    error.Assign("", 0);
    statementText.Assign("", 0);
    code = program;
    count = instructions;
    pc = 0;
    steps = 0;
    begun = false;
    restart = false;
    output = false;
    opened.clear();
    for (const std::string& value : values) parameters.emplace_back(value.data(), static_cast<int32_t>(value.size()));
    expectedParameters = static_cast<int32_t>(values.size());
    readOnly = ChangesNothing(code, count);
}

int SQLEngine::Bind(VornVariableList* list) {
    int32_t found = list ? vrVariableList_Entries(list) : 0;
    if (found != expectedParameters) {
        String message("Input parameter count mismatch: Found ");
        message.AppendInteger(found);
        message.Append(" expected ");
        message.AppendInteger(expectedParameters);
        return Error(message);
    }
    parameters.clear();
    if (found == 0) return 1;
    for (VornVariable* variable = vrVariableList_First(list); variable; variable = vrVariableList_Next(list)) {
        int32_t length = 0;
        const char* text = vrVariable_Value(variable, &length);
        parameters.emplace_back(text ? text : "", text ? length : 0);
    }
    return 1;
}

void SQLEngine::ApplyWrites() {
    for (auto& cursor : cursors)
        if (cursor && cursor->table->HasPending()) cursor->table->ApplyPending();
}

int SQLEngine::OutOfMemory() {
    String message("Statement needs more than ");
    message.AppendInteger(static_cast<int32_t>(memory.limit >> 20));
    message.Append(" MiB of memory");
    return Error(message);
}

int SQLEngine::Stopped() {
    if (instructionLimit > 0 && steps > instructionLimit) {
        String message("Statement stopped after ");
        message.AppendInteger(static_cast<int32_t>(std::min<int64_t>(instructionLimit, INT32_MAX)));
        message.Append(" instructions");
        return Error(message);
    }
    if (program && vrProgram_Sleep(program, 0) == 0) return Error("Statement stopped: the request has ended");
    return 0;
}

int SQLEngine::Run() {
    if (aheadNext < aheadRows) {
        RestoreRow(aheadNext++);
        return 1;
    }
    if (aheadEnd) {
        // The results as the end (or the failure) left them, after the rows.
        if (aheadEndSaved) RestoreRow(aheadRows);
        aheadRows = aheadNext = 0;
        aheadEnd = aheadEndSaved = false;
        return aheadResult;
    }
    // The results may still show the last row ahead: its texts stay.
    aheadRows = aheadNext = 0;
    if (failed) return -1;
    if (!program && database) program = vrDatabase_Program(database);
    if (!begun) {
        begun = true;
        if (!readOnly && OpenForWriting() < 0) {
            EndStatement();
            return -1;
        }
    }
    int result = Step();
    if (result == 1 && readOnly && view) ReadAhead();
    ReleaseHolds();
    return result;
}

int SQLEngine::Step() {
    while (pc < count) {
        if (++steps % kSleepInterval == 0 && Stopped()) break;
        int step = Execute(code[pc]);
        if (step == kFail || failed) {
            if (!restart) break;
            // Compiled against a table that changed since: compiled again.
            restart = false;
            if (Restart() < 0 || (!readOnly && OpenForWriting() < 0)) break;
            continue;
        }
        if (step == kNext) ++pc;
        if (step == kRow) {
            ++pc;
            output = true;
            return 1;
        }
    }
    EndStatement();
    return failed ? -1 : 0;
}

void SQLEngine::EndStatement() {
    // A failed statement's rows go back to what they were, before a rebuild
    // may copy them.
    for (auto& cursor : cursors)
        if (failed && cursor && cursor->table->HasPending()) cursor->table->RevertPending();
    for (auto& cursor : cursors)
        if (cursor) cursor->Unhold();
}

int SQLEngine::Restart() {
    if (statementText.IsEmpty() || output || ++compiles > kCompiles) return Error(String(kSQLFileReplaced));
    if (Compile() < 0) return -1;
    begun = true;
    return 1;
}

int SQLEngine::OpenForWriting() {
    // Every table the statement opens, in one order (by name) for every
    // statement, each held against rebuilds until the statement ends: two
    // statements never wait for each other's tables with a rebuild between.
    std::vector<int32_t> order;
    for (int32_t i = 0; i < count; ++i) {
        const SQLInstruction& in = code[i];
        if (in.opcode == SQL_Cursor_Open && in.a >= 0 && in.a < kMaxOperand && in.text1 && in.length1 >= 0)
            order.push_back(i);
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
                return Error(String("Unable to create cursor for table '") + String(in.text1, in.length1) +
                             "': " + kSQLFileReplaced);
            // The new files, at the counter they are read at; columns the
            // statement was compiled with and they lack compile it again.
            uint32_t counter = 0;
            if (!schema->CatalogCounter(&counter)) return Error(schema->ErrorText());
            Table* table = schema->LoadTable(in.text1, in.length1);
            if (!table)
                return Error(String("Unable to create cursor for table '") + String(in.text1, in.length1) +
                             "': " + schema->ErrorText());
            Store(cursors, in.a, new SQLCursor(schema, table, in.b != 0, false, counter));
        }
        SQLCursor* cursor = CursorAt(in.a);
        bool indexed = in.b != 0 || WalksIndex(in.a);
        if (indexed && !cursor->table->IndexesOpen() && !schema->OpenIndexes(cursor->table))
            return Error(schema->ErrorText());
    }
    return 1;
}

// ---- Reading ahead ---------------------------------------------------------------------------------

namespace {

int64_t NowMicroseconds() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

bool SQLEngine::ChangesNothing(const SQLInstruction* program, int32_t instructions) {
    for (int32_t i = 0; i < instructions; ++i) {
        const SQLInstruction& in = program[i];
        switch (in.opcode) {
        case SQL_Cursor_Open:
            if (in.b != 0) return false;
            break;
        case SQL_Cursor_Insert:
        case SQL_Cursor_Update:
        case SQL_Cursor_Update_Indexes:
        case SQL_Cursor_Delete:
        case SQL_Cursor_Delete_Indexes:
        case SQL_Create_Table:
        case SQL_Alter_Table_Add:
        case SQL_Alter_Table_Drop:
        case SQL_Drop_Table:
        case SQL_Create_Index:
        case SQL_Drop_Index:
            return false;
        default:
            break;
        }
    }
    return true;
}

void SQLEngine::ReadAhead() {
    aheadArena ^= 1;
    aheadArenas[aheadArena].Clear();
    // The row just made is handed out first, the rest as the view skips.
    if (!SaveRow()) {
        aheadRows = 0;
        return;
    }
    int64_t start = NowMicroseconds();
    while (aheadRows < static_cast<size_t>(kAheadRows)) {
        // The clock every 16 rows: a row takes a few microseconds.
        if ((aheadRows % 16 == 0 && NowMicroseconds() - start > kHoldMicroseconds) || aheadBudget.used > kAheadBytes)
            break;
        int result = Step();
        if (result != 1) {
            aheadEnd = true;
            aheadResult = result;
            // Kept past the rows: the end sets values too (eof).
            aheadEndSaved = SaveRow();
            if (aheadEndSaved) --aheadRows;
            break;
        }
        if (!SaveRow()) {
            // No room to keep it: it is the last row ahead, and it stands in
            // the results already, so the others cannot be shown before it.
            // Never reached with the budget far above the bytes bound.
            failed = true;
            error.Assign("Out of memory");
            aheadEnd = true;
            aheadResult = -1;
            break;
        }
    }
    RestoreRow(0);
    aheadNext = 1;
}

bool SQLEngine::SaveRow() {
    size_t n = results.size();
    size_t at = aheadRows * n;
    if (aheadValues.size() < at + n) aheadValues.resize(at + n);
    for (size_t i = 0; i < n; ++i)
        if (results[i] && !results[i]->SaveTo(aheadValues[at + i], aheadArenas[aheadArena])) return false;
    ++aheadRows;
    return true;
}

void SQLEngine::RestoreRow(size_t row) {
    size_t n = results.size();
    for (size_t i = 0; i < n; ++i)
        if (results[i]) results[i]->Restore(aheadValues[row * n + i]);
}

void SQLEngine::ClearAhead() {
    aheadRows = aheadNext = 0;
    aheadEnd = aheadEndSaved = false;
    aheadResult = 0;
    aheadArenas[0].Clear();
    aheadArenas[1].Clear();
}

bool SQLEngine::Hold(Index& index) {
    if (!readOnly || !view) return true;
    // The clock every 16 steps (a step of a join's inner walk takes a few
    // microseconds), and whenever a hold begins.
    if (!holds.empty() && ++holdSteps % 16 == 0 && NowMicroseconds() - holdSince > kHoldMicroseconds)
        ReleaseHolds();
    KPZIndexFile& file = index.File();
    if (file.Held()) return true;
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
    if (holds.empty()) {
        holdSince = NowMicroseconds();
        holdSteps = 0;
    }
    holds.push_back(&index);
    return true;
}

void SQLEngine::ReleaseHolds() {
    for (Index* index : holds) index->File().ReleaseHold();
    holds.clear();
}

bool SQLEngine::WalksIndex(int32_t cursor) const {
    for (int32_t i = 0; i < count; ++i)
        if (code[i].opcode == SQL_Cursor_Index && code[i].a == cursor) return true;
    return false;
}

// ---- Stack -------------------------------------------------------------------------------------

bool SQLEngine::Push(const Entry& entry) {
    if (depth >= kStackSize) {
        Entry copy = entry;
        Drop(copy);
        Error("Stack overflow");
        return false;
    }
    stack[depth++] = entry;
    return true;
}

bool SQLEngine::PushInteger(int32_t n) {
    Entry e;
    e.kind = kInteger;
    e.owns = false;
    e.integer = n;
    e.length = e.size = 4;
    return Push(e);
}

bool SQLEngine::PushDouble(double x) {
    Entry e;
    e.kind = kDouble;
    e.owns = false;
    e.number = x;
    e.length = e.size = 8;
    return Push(e);
}

bool SQLEngine::PushText(const char* text, int32_t length, int32_t size, bool owns) {
    Entry e;
    e.kind = kText;
    e.owns = owns;
    e.text = text;
    e.length = length;
    e.size = size;
    return Push(e);
}

bool SQLEngine::Pop(Entry& out) {
    if (depth <= 0) {
        Error("Stack underflow");
        return false;
    }
    out = stack[--depth];
    return true;
}

void SQLEngine::Drop(Entry& entry) {
    if (entry.kind == kText && entry.owns) std::free(const_cast<char*>(entry.text));
    entry.owns = false;
}

int32_t SQLEngine::EntryInteger(Entry& e) {
    int error = 0;
    switch (e.kind) {
    case kInteger:
        return e.integer;
    case kDouble:
        return std::isfinite(e.number) && std::fabs(e.number) < 2147483648.0 ? static_cast<int32_t>(e.number) : 0;
    case kText:
        return SQLTextToInteger(e.text, e.length, &error);
    case kColumn:
        return SQLTextToInteger(e.column->Value(), e.column->ValueLength(), &error);
    case kResult:
        return e.result->Integer();
    default:
        return 0;
    }
}

double SQLEngine::EntryDouble(Entry& e, int* error) {
    *error = 0;
    switch (e.kind) {
    case kInteger:
        return e.integer;
    case kDouble:
        return e.number;
    case kText:
        return SQLTextToDouble(e.text, e.length, error);
    case kColumn:
        return SQLTextToDouble(e.column->Value(), e.column->ValueLength(), error);
    case kResult:
        return e.result->ToDouble(error);
    default:
        return 0.0;
    }
}

bool SQLEngine::EntryBoolean(Entry& e) {
    switch (e.kind) {
    case kInteger:
        return e.integer != 0;
    case kDouble:
        return e.number != 0.0;
    case kText:
        return SQLTextIsTrue(e.text, e.length);
    case kColumn:
        return SQLTextIsTrue(e.column->Value(), e.column->ValueLength());
    case kResult:
        return e.result->IsTrue();
    default:
        return false;
    }
}

bool SQLEngine::EntryIsNull(Entry& e) {
    switch (e.kind) {
    case kInteger:
    case kDouble:
        return false;
    case kText:
        return e.length == 0;
    case kColumn:
        return e.column->ValueLength() == 0;
    case kResult:
        return e.result->IsNull();
    default:
        return true;
    }
}

const char* SQLEngine::EntryText(Entry& e, int32_t& length, char* scratch) {
    switch (e.kind) {
    case kInteger:
        length = static_cast<int32_t>(std::to_chars(scratch, scratch + 16, e.integer).ptr - scratch);
        scratch[length] = '\0';
        return scratch;
    case kDouble:
        length = SQLFormatDouble(e.number, -1, scratch);
        return scratch;
    case kText:
        length = e.length;
        return e.text ? e.text : "";
    case kColumn:
        length = e.column->ValueLength();
        return e.column->Value() ? e.column->Value() : "";
    case kResult:
        return e.result->Text(&length);
    default:
        length = 0;
        return "";
    }
}

bool SQLEngine::PopInteger(int32_t& out) {
    Entry e;
    if (!Pop(e)) return false;
    out = EntryInteger(e);
    Drop(e);
    return true;
}

bool SQLEngine::PopDouble(double& out) {
    Entry e;
    if (!Pop(e)) return false;
    int error = 0;
    out = EntryDouble(e, &error);
    Drop(e);
    return true;
}

bool SQLEngine::PopBoolean(bool& out) {
    Entry e;
    if (!Pop(e)) return false;
    out = EntryBoolean(e);
    Drop(e);
    return true;
}

bool SQLEngine::PopText(TextValue& out) {
    Entry e;
    if (!Pop(e)) return false;
    if (e.kind == kInteger || e.kind == kDouble) {
        char scratch[480];
        int32_t length = 0;
        const char* text = EntryText(e, length, scratch);
        char* copy = static_cast<char*>(std::malloc(static_cast<size_t>(length) + 1));
        std::memcpy(copy, text, static_cast<size_t>(length) + 1);
        out.text = copy;
        out.length = length;
        out.owned = true;
        return true;
    }
    char unused[1];
    out.text = EntryText(e, out.length, unused);
    out.owned = e.kind == kText && e.owns;
    return true;
}

bool SQLEngine::Compare(int32_t keep, int& result) {
    if (depth < 2) {
        Error("Stack underflow");
        return false;
    }
    Entry& left = stack[depth - 2];
    Entry& right = stack[depth - 1];
    int el = 0, er = 0;
    double l = EntryDouble(left, &el);
    double r = EntryDouble(right, &er);
    // NaN equals nothing as a number; as text it is itself.
    if (!el && !er && !std::isnan(l) && !std::isnan(r)) {
        result = l < r ? -1 : (l > r ? 1 : 0);
    } else {
        char sl[480], sr[480];
        int32_t ll = 0, lr = 0;
        const char* tl = EntryText(left, ll, sl);
        const char* tr = EntryText(right, lr, sr);
        result = SQLCompareBytes(tl, ll, tr, lr);
    }
    for (int32_t i = keep; i < 2; ++i) Drop(stack[--depth]);
    return true;
}

int SQLEngine::PopIntoResult(SQLResult* result, bool copy, SQLArena* arena) {
    Entry e;
    if (!Pop(e)) return -1;
    int ok = 1;
    switch (e.kind) {
    case kInteger:
        result->SetInteger(e.integer);
        break;
    case kDouble:
        result->SetDouble(e.number);
        break;
    case kText:
        // A stored value's own text goes into the arena, under its budget.
        ok = result->SetText(e.text, e.length, e.size, e.owns, arena && e.owns, arena);
        break;
    case kColumn:
        ok = result->SetText(e.column->Value(), e.column->ValueLength(), e.column->ValueLength() + 1, false, copy,
                             arena);
        break;
    case kResult:
        if (copy)
            ok = result->CopyFrom(*e.result, arena);
        else
            result->ShareFrom(*e.result);
        break;
    default:
        break;
    }
    return ok ? 0 : OutOfMemory();
}

int SQLEngine::PopIntoField(SQLCursor* cursor, XBaseField* field) {
    Entry e;
    if (!Pop(e)) return -1;
    if (e.kind == kColumn && e.column == field) return 0;
    int32_t kind = field->Kind();
    int32_t decimals = field->Decimals();
    char scratch[480];
    char formatted[480];
    const char* text = nullptr;
    int32_t length = 0;
    if (e.kind == kInteger || e.kind == kDouble) {
        double x = e.kind == kInteger ? e.integer : e.number;
        if (kind == kXBaseLogical) {
            text = x != 0.0 ? "T" : "F";
            length = 1;
        } else {
            int32_t places = kind == kXBaseNumeric || e.kind == kInteger ? decimals : -1;
            length = SQLFormatDouble(x, places, formatted);
            text = formatted;
        }
    } else {
        text = EntryText(e, length, scratch);
        if (kind == kXBaseLogical) {
            text = SQLTextIsTrue(text, length) ? "T" : "F";
            length = 1;
        } else if (kind == kXBaseNumeric) {
            // An empty value stays empty: NULL is not 0.
            if (length > 0) {
                int error = 0;
                double x = SQLTextToDouble(text, length, &error);
                if (error) {
                    Drop(e);
                    return Error("Data type mismatch");
                }
                length = SQLFormatDouble(x, decimals, formatted);
                text = formatted;
            }
        } else if (kind != kXBaseMemo) {
            while (length > 0 && IsBlank(text[length - 1])) --length;
        }
    }
    int ok = field->SetValue(text, length);
    Drop(e);
    if (!ok) return Error(cursor->table->Data().ErrorText());
    return 0;
}

// ---- Operands ------------------------------------------------------------------------------------

inline SQLCursor* SQLEngine::CursorAt(int32_t i) const {
    return i >= 0 && i < static_cast<int32_t>(cursors.size()) ? cursors[static_cast<size_t>(i)].get() : nullptr;
}

inline XBaseField* SQLEngine::ColumnOf(int32_t cursor, int32_t column) const {
    SQLCursor* c = CursorAt(cursor);
    if (!c || column < 0 || column >= static_cast<int32_t>(c->columns.size())) return nullptr;
    return c->columns[static_cast<size_t>(column)];
}

inline SQLTemporaryTable* SQLEngine::TemporaryAt(int32_t i) const {
    return i >= 0 && i < static_cast<int32_t>(temporaries.size()) ? temporaries[static_cast<size_t>(i)].get()
                                                                   : nullptr;
}

inline SQLBucket* SQLEngine::BucketAt(int32_t i) const {
    return i >= 0 && i < static_cast<int32_t>(buckets.size()) ? buckets[static_cast<size_t>(i)].get() : nullptr;
}

inline SQLResult* SQLEngine::SlotOf(int32_t bucket, int32_t slot) const {
    SQLBucket* b = BucketAt(bucket);
    if (!b || !b->current || slot < 0 || slot >= b->slots) return nullptr;
    return &b->current->slots[slot].value;
}

inline SQLResult* SQLEngine::TemporaryValue(int32_t table, int32_t column) const {
    SQLTemporaryTable* t = TemporaryAt(table);
    if (!t || !t->current || column < 0 || column >= t->columns) return nullptr;
    return &t->current[column];
}


// ---- Cursors -------------------------------------------------------------------------------------

int SQLEngine::CursorOpen(const SQLInstruction& in) {
    if (in.a < 0 || in.a >= kMaxOperand || !in.text1 || in.length1 < 0) return Invalid();
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
            return Error(String("Unable to create cursor for table '") + String(in.text1, in.length1) +
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
    Store(cursors, in.a, new SQLCursor(schema, table, in.b != 0, reused, counter));
    return kNext;
}

Table* SQLEngine::OpenSteady(const char* name, int32_t length, uint32_t& counter) {
    String shown(name, length);
    for (int attempt = 0; attempt < kCompiles; ++attempt) {
        Table* table = schema->LoadTable(name, length);
        if (!table) {
            Error(String("Unable to create cursor for table '") + shown + "': " + schema->ErrorText());
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
    Error(String("Unable to create cursor for table '") + shown + "': " + kSQLFileReplaced);
    return nullptr;
}

int SQLEngine::CursorIndex(const SQLInstruction& in) {
    SQLCursor* cursor = CursorAt(in.a);
    if (!cursor || !in.text1 || in.length1 < 0) return Invalid();
    Table* table = cursor->table;
    Index* index = table->FindIndex(in.text1, in.length1);
    if (!index && !table->IndexesOpen()) {
        // The catalog's header may be waited for: no hold meanwhile.
        ReleaseHolds();
        if (!schema->OpenIndexes(table)) return Error(schema->ErrorText());
        // Newer than the records a reader has open: their numbers differ.
        if (!cursor->writing && table->IndexCounter() != cursor->openedAt)
            return Error(String("Unable to create cursor for table '") + table->Name() +
                         "': " + kSQLFileReplaced);
        index = table->FindIndex(in.text1, in.length1);
    }
    if (!index) return Error(String("Index '") + String(in.text1, in.length1) + "' does not exist");
    int32_t columns = index->ColumnCount();
    int32_t keys = in.b;
    bool range = in.c != 0;
    if (keys < 0 || keys > columns || (range && keys >= columns)) return Invalid();
    constexpr int32_t kMaxParts = 64;
    int32_t popping = keys + (range ? 1 : 0);
    if (popping > kMaxParts) return Invalid();
    if (depth < popping) return Error("Stack underflow");
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
    auto read = [&](int32_t record, bool& live) {
        live = false;
        if (record < 1 || record > cursor->limit) return true;
        if (++steps % kSleepInterval == 0 && Stopped()) return false;
        if (!data.ReadRecord(record)) {
            Error(data.ErrorText());
            return false;
        }
        live = !data.Deleted();
        return true;
    };
    if (!cursor->index) {
        int32_t record = first ? 1 : cursor->record + 1;
        for (; record <= cursor->limit; ++record) {
            bool live = false;
            if (!read(record, live)) return -1;
            if (live) {
                cursor->record = record;
                row = true;
                return 0;
            }
        }
        cursor->record = cursor->limit;
        return 0;
    }
    Index* index = cursor->index;
    KPZIndexFile& file = index->File();
    uint32_t flags = file.Flags();
    bool keyed = !cursor->key1.IsEmpty();
    auto matches = [&](const char* key) {
        if (!keyed) return true;
        if (!key) return false;
        int32_t length = static_cast<int32_t>(strnlen(key, static_cast<size_t>(file.KeyWidth())));
        return CompareKeys(cursor->key1.Text(), cursor->key1.Length(), key, length, cursor->complete1 ? 1 : 0,
                           flags) == 0;
    };
    auto fail = [&]() {
        Error(file.ErrorText());
        return -1;
    };
    int32_t record = 0;
    const char* key = nullptr;
    if (!Hold(*index)) return fail();
    if (first) {
        cursor->visited.clear();
        int found = 0;
        if (cursor->range) {
            if (!file.Find(cursor->key2.Text(), cursor->key2.Length(), cursor->complete2 ? 1 : 0, &record, &found, 1))
                return fail();
            if (!found && !file.Next(&record, &key, 1)) return fail();
            if (!found && record && !matches(key)) record = 0;
        } else if (keyed) {
            if (!file.Find(cursor->key1.Text(), cursor->key1.Length(), cursor->complete1 ? 1 : 0, &record, &found,
                           1))
                return fail();
            if (!found) record = 0;
        } else if (!file.First(&record, 1)) {
            return fail();
        }
    } else {
        if (cursor->atEnd) return 0;
        // The table's own searches (unique checks of an update) move the walk.
        if (cursor->writing &&
            !file.Reposition(cursor->position.Text(), cursor->position.Length(), cursor->record, 1))
            return 0;
        if (!file.Next(&record, &key, 1)) return fail();
        if (record && !matches(key)) record = 0;
    }
    while (record != 0) {
        bool live = false;
        if (!read(record, live)) return -1;
        if (live && cursor->writing) {
            // A row this walk handed out already (an update enters its new
            // unique keys at once, so the walk may meet it again), or an
            // entry whose record holds another key now (a writer stopped
            // between its steps left it): neither is the walk's.
            const String& real = index->BuildKey(false);
            int32_t width = file.KeyWidth() - 1;
            int32_t n = std::min(real.Length(), width);
            bool stale = key ? static_cast<int32_t>(strnlen(key, static_cast<size_t>(width))) != n ||
                                   std::memcmp(key, real.Text(), static_cast<size_t>(n)) != 0
                             : keyed && !matches(String(real.Text(), n).Text());
            if (stale || !cursor->visited.insert(record).second) live = false;
        }
        if (live) {
            cursor->record = record;
            if (cursor->writing) cursor->position.Assign(index->BuildKey(false));
            row = true;
            return 0;
        }
        if (!file.Next(&record, &key, 1)) return fail();
        if (record && !matches(key)) record = 0;
    }
    return 0;
}

// ---- Buckets -------------------------------------------------------------------------------------

int SQLEngine::BucketRecord(const SQLInstruction& in) {
    SQLBucket* bucket = BucketAt(in.a);
    if (!bucket || in.b < 0) return Invalid();
    if (depth < in.b) return Error("Stack underflow");
    // Each part carries its length: ('a', 'c:b') and ('b:a', 'c') differ.
    key.Assign("", 0);
    char scratch[480];
    for (int32_t i = 0; i < in.b; ++i) {
        Entry& e = stack[depth - 1 - i];
        int32_t length = 0;
        const char* text = EntryText(e, length, scratch);
        key.AppendInteger(length);
        key.AppendChar(':');
        key.Append(text, length);
    }
    for (int32_t i = 0; i < in.b; ++i) Drop(stack[--depth]);
    int found = bucket->Record(key.Text() ? key.Text() : "", key.Length());
    if (found < 0) return OutOfMemory();
    if (found && in.c != 0) {
        if (in.c < 0 || in.c > count) return Invalid();
        pc = in.c;
        return kJumped;
    }
    return kNext;
}

int SQLEngine::BucketAggregate(const SQLInstruction& in) {
    SQLBucket* bucket = BucketAt(in.a);
    if (!bucket || !bucket->current || in.b < 0 || in.b >= bucket->slots) return Invalid();
    SQLBucketEntry& slot = bucket->current->slots[in.b];
    if (in.opcode == SQL_Bucket_Count) {
        slot.value.SetInteger(slot.value.Integer() + 1);
        return kNext;
    }
    if (depth < 1) return Error("Stack underflow");
    if (EntryIsNull(stack[depth - 1])) {
        Drop(stack[--depth]);
        return kNext;
    }
    switch (in.opcode) {
    case SQL_Bucket_Average:
    case SQL_Bucket_Sum: {
        double x = 0;
        if (!PopDouble(x)) return -1;
        slot.total += x;
        if (in.opcode == SQL_Bucket_Sum) {
            slot.value.SetDouble(slot.total);
        } else {
            slot.count += 1;
            slot.value.SetDouble(slot.total / slot.count);
        }
        return kNext;
    }
    default: {
        if (slot.value.IsNull()) return PopIntoResult(&slot.value, true, &bucket->arena) < 0 ? -1 : kNext;
        Entry e;
        e.kind = kResult;
        e.owns = false;
        e.result = &slot.value;
        e.length = e.size = 56;
        if (!Push(e)) return -1;
        int c = 0;
        if (!Compare(1, c)) return -1;
        bool replace = in.opcode == SQL_Bucket_Min ? c < 0 : c > 0;
        if (replace) return PopIntoResult(&slot.value, true, &bucket->arena) < 0 ? -1 : kNext;
        Drop(stack[--depth]);
        return kNext;
    }
    }
}

// ---- Schema changes ------------------------------------------------------------------------------

int SQLEngine::SchemaChange(const SQLInstruction& in) {
    if (!in.text1 || in.length1 < 0) return Invalid();
    // Files kept open for later statements would stand in the change's way.
    schema->DropIdleTables();
    int ok = 0;
    switch (in.opcode) {
    case SQL_Create_Table:
        if (!in.object) return Invalid();
        ok = schema->CreateTable(in.text1, in.length1, *static_cast<ColumnDefinitionList*>(in.object));
        break;
    case SQL_Alter_Table_Add:
        if (!in.object) return Invalid();
        ok = schema->AlterTableAdd(in.text1, in.length1, *static_cast<ColumnDefinitionList*>(in.object));
        break;
    case SQL_Alter_Table_Drop:
        if (!in.text2 || in.length2 < 0) return Invalid();
        ok = schema->AlterTableDrop(in.text1, in.length1, in.text2, in.length2);
        break;
    case SQL_Drop_Table:
        ok = schema->DropTable(in.text1, in.length1);
        break;
    case SQL_Create_Index: {
        if (!in.object || !in.text2 || in.length2 < 0) return Invalid();
        const auto& list = *static_cast<CollList<SQLIndexColumn>*>(in.object);
        std::vector<IndexColumn> columns;
        for (int32_t i = 0; i < list.Count(); ++i)
            columns.emplace_back(list.At(i)->name, list.At(i)->nameLength, list.At(i)->ascending);
        ok = schema->CreateIndex(in.text1, in.length1, in.text2, in.length2, in.a, columns);
        break;
    }
    case SQL_Drop_Index:
        ok = schema->DropIndex(in.text1, in.length1);
        break;
    default:
        return Invalid();
    }
    return ok ? kNext : Error(schema->ErrorText());
}

// ---- One instruction -----------------------------------------------------------------------------

int SQLEngine::MissingColumn(const SQLInstruction& in) {
    // The table was altered after the statement was compiled: compiled
    // again, unless rows went out already.
    if (!statementText.IsEmpty() && !output) {
        restart = true;
        return kFail;
    }
    return Error(String("Invalid column reference '") + String(in.text1, in.length1) + "'");
}

int SQLEngine::Execute(const SQLInstruction& in) {
    auto jump = [&](int32_t target) {
        if (target < 0 || target > count) return Invalid();
        pc = target;
        return static_cast<int>(kJumped);
    };
    auto done = [&](bool ok) { return ok ? static_cast<int>(kNext) : static_cast<int>(kFail); };
    switch (in.opcode) {
    case SQL_Add_View:
        return view ? kNext : Error("SELECT is not valid in this context");
    case SQL_Result:
        if (!view) return Error("Queries that return results are not valid in this context");
        if (in.a < 0 || in.a >= kMaxOperand || !in.text1 || in.length1 < 0) return Invalid();
        Store(results, in.a, new SQLResult(in.text1, in.length1, in.b, view));
        return kNext;
    case SQL_Cursor_Open:
        return CursorOpen(in);
    case SQL_Cursor_Column: {
        SQLCursor* cursor = CursorAt(in.a);
        if (!cursor || in.b < 0 || in.b >= kMaxOperand || !in.text1 || in.length1 < 0) return Invalid();
        XBaseField* field = cursor->table->Data().Field(in.text1, in.length1);
        if (!field) return MissingColumn(in);
        if (static_cast<size_t>(in.b) >= cursor->columns.size())
            cursor->columns.resize(static_cast<size_t>(in.b) + 1, nullptr);
        cursor->columns[static_cast<size_t>(in.b)] = field;
        return kNext;
    }
    case SQL_Cursor_Index:
        return CursorIndex(in);
    case SQL_Cursor_First:
    case SQL_Cursor_Next: {
        SQLCursor* cursor = CursorAt(in.a);
        if (!cursor) return Invalid();
        bool first = in.opcode == SQL_Cursor_First;
        bool row = false;
        if (CursorStep(cursor, first, row) < 0) return kFail;
        cursor->atEnd = !row;
        if (first) return row ? kNext : jump(in.b);
        return row ? jump(in.b) : kNext;
    }
    case SQL_Cursor_Insert:
    case SQL_Cursor_Update:
    case SQL_Cursor_Update_Indexes:
    case SQL_Cursor_Delete:
    case SQL_Cursor_Delete_Indexes: {
        SQLCursor* cursor = CursorAt(in.a);
        if (!cursor) return Invalid();
        Table* table = cursor->table;
        int ok = 0;
        switch (in.opcode) {
        case SQL_Cursor_Insert:
            ok = table->Insert();
            break;
        case SQL_Cursor_Update:
            if (cursor->atEnd) return Invalid();
            ok = table->Update();
            if (!ok) table->RevertPending();
            break;
        case SQL_Cursor_Update_Indexes:
            ok = table->ApplyUpdates();
            break;
        case SQL_Cursor_Delete:
            if (cursor->atEnd) return Invalid();
            ok = table->Delete();
            if (!ok) table->RevertPending();
            break;
        default:
            ok = table->ApplyDeletes();
            break;
        }
        return ok ? kNext : Error(table->ErrorText());
    }
    case SQL_Temporary_Table:
        if (in.a < 0 || in.a >= kMaxOperand || in.b < 0 || in.b >= kMaxOperand) return Invalid();
        Store(temporaries, in.a, new SQLTemporaryTable(in.b, &memory));
        return kNext;
    case SQL_Temporary_Record: {
        SQLTemporaryTable* table = TemporaryAt(in.a);
        if (!table) return Invalid();
        return table->Append() ? kNext : OutOfMemory();
    }
    case SQL_Temporary_Sort: {
        SQLTemporaryTable* table = TemporaryAt(in.a);
        if (!table || !in.object) return Invalid();
        table->Sort(*static_cast<CollList<SQLOrderBy>*>(in.object));
        return kNext;
    }
    case SQL_Temporary_Result: {
        SQLResult* value = TemporaryValue(in.a, in.b);
        SQLResult* result = in.c >= 0 && in.c < ResultCount() ? results[static_cast<size_t>(in.c)].get() : nullptr;
        if (!value || !result) return Invalid();
        // The column shows the stored value itself from now on.
        result->ShareFrom(*value);
        return kNext;
    }
    case SQL_Temporary_First:
    case SQL_Temporary_Next: {
        SQLTemporaryTable* table = TemporaryAt(in.a);
        if (!table) return Invalid();
        if (in.opcode == SQL_Temporary_First) {
            table->position = 0;
            table->current = table->records.empty() ? nullptr : table->records[0];
            return table->current ? kNext : jump(in.b);
        }
        if (!table->current) return kNext;
        ++table->position;
        table->current = table->position < table->records.size() ? table->records[table->position] : nullptr;
        // Sorted records lie all over the arena: fetch a few rows ahead, whole.
        if (table->position + 8 < table->records.size()) {
            const char* ahead = reinterpret_cast<const char*>(table->records[table->position + 8]);
            size_t bytes = sizeof(SQLResult) * static_cast<size_t>(table->columns);
            for (size_t at = 0; at < bytes; at += 64) __builtin_prefetch(ahead + at);
        }
        return table->current ? jump(in.b) : kNext;
    }
    case SQL_Bucket:
        if (in.a < 0 || in.a >= kMaxOperand || in.b < 0 || in.b >= kMaxOperand) return Invalid();
        Store(buckets, in.a, new SQLBucket(in.b, &memory));
        return kNext;
    case SQL_Bucket_Record:
        return BucketRecord(in);
    case SQL_Bucket_First:
    case SQL_Bucket_Next: {
        SQLBucket* bucket = BucketAt(in.a);
        if (!bucket) return Invalid();
        if (in.opcode == SQL_Bucket_First) {
            bucket->position = 0;
            bucket->current = bucket->order.empty() ? nullptr : bucket->order[0];
            return bucket->current ? kNext : jump(in.b);
        }
        if (!bucket->current) return kNext;
        ++bucket->position;
        bucket->current = bucket->position < bucket->order.size() ? bucket->order[bucket->position] : nullptr;
        return bucket->current ? jump(in.b) : kNext;
    }
    case SQL_Bucket_Count:
    case SQL_Bucket_Average:
    case SQL_Bucket_Sum:
    case SQL_Bucket_Min:
    case SQL_Bucket_Max:
        return BucketAggregate(in);
    case SQL_Push_BoolColumn:
    case SQL_Push_Column: {
        SQLCursor* cursor = CursorAt(in.a);
        XBaseField* field = ColumnOf(in.a, in.b);
        if (!field) return Invalid();
        if (cursor->atEnd) return done(PushText("", 0, 1, false));
        if (in.opcode == SQL_Push_BoolColumn) {
            const char* value = field->Value();
            return done(PushInteger(value && value[0] == 'T' ? 1 : 0));
        }
        Entry e;
        e.kind = kColumn;
        e.owns = false;
        e.column = field;
        e.length = e.size = 32;
        return done(Push(e));
    }
    case SQL_Push_Literal:
        if (!in.text1 || in.length1 < 0) return Invalid();
        return done(PushText(in.text1, in.length1, in.length1, false));
    case SQL_Push_Integer:
        return done(PushInteger(in.a));
    case SQL_Push_Dynamic: {
        if (in.a < 0 || in.a >= static_cast<int32_t>(parameters.size())) return Error("Invalid parameter");
        const String& value = parameters[static_cast<size_t>(in.a)];
        return done(PushText(value.Text() ? value.Text() : "", value.Length(), value.Length(), false));
    }
    case SQL_Push_Null:
        return done(PushText("", 0, 1, false));
    case SQL_Push_Temporary:
    case SQL_Push_Bucket: {
        SQLResult* value =
            in.opcode == SQL_Push_Temporary ? TemporaryValue(in.a, in.b) : SlotOf(in.a, in.b);
        if (!value) return Invalid();
        Entry e;
        e.kind = kResult;
        e.owns = false;
        e.result = value;
        e.length = e.size = 56;
        return done(Push(e));
    }
    case SQL_Pop: {
        Entry e;
        if (!Pop(e)) return kFail;
        Drop(e);
        return kNext;
    }
    case SQL_Pop_Column: {
        XBaseField* field = ColumnOf(in.a, in.b);
        if (!field) return Invalid();
        return PopIntoField(CursorAt(in.a), field) < 0 ? kFail : kNext;
    }
    case SQL_Pop_Result: {
        SQLResult* result = in.a >= 0 && in.a < ResultCount() ? results[static_cast<size_t>(in.a)].get() : nullptr;
        if (!result) return Invalid();
        return PopIntoResult(result, false, nullptr) < 0 ? kFail : kNext;
    }
    case SQL_Pop_Temporary:
    case SQL_Pop_Bucket: {
        SQLResult* value = in.opcode == SQL_Pop_Temporary ? TemporaryValue(in.a, in.b) : SlotOf(in.a, in.b);
        if (!value) return Invalid();
        SQLArena* arena = in.opcode == SQL_Pop_Temporary ? &TemporaryAt(in.a)->arena : &BucketAt(in.a)->arena;
        return PopIntoResult(value, true, arena) < 0 ? kFail : kNext;
    }
    case SQL_Copy: {
        if (depth < 1) return Error("Stack underflow");
        Entry& top = stack[depth - 1];
        if (top.kind == kColumn) {
            int32_t length = top.column->ValueLength();
            char* copy = static_cast<char*>(std::malloc(static_cast<size_t>(length) + 1));
            std::memcpy(copy, top.column->Value(), static_cast<size_t>(length));
            copy[length] = '\0';
            top.kind = kText;
            top.owns = true;
            top.text = copy;
            top.length = length;
            top.size = length + 1;
        }
        return kNext;
    }
    case SQL_Dupe: {
        if (depth < 1) return Error("Stack underflow");
        Entry copy = stack[depth - 1];
        copy.owns = false;
        return done(Push(copy));
    }
    case SQL_Add:
    case SQL_Subtract:
    case SQL_Multiply:
    case SQL_Divide: {
        double right = 0, left = 0;
        if (!PopDouble(right) || !PopDouble(left)) return kFail;
        double value = in.opcode == SQL_Add        ? left + right
                       : in.opcode == SQL_Subtract ? left - right
                       : in.opcode == SQL_Multiply ? left * right
                                                   : left / right;
        return done(PushDouble(value));
    }
    case SQL_And:
    case SQL_Or: {
        bool right = false, left = false;
        if (!PopBoolean(right) || !PopBoolean(left)) return kFail;
        bool value = in.opcode == SQL_And ? (left && right) : (left || right);
        return done(PushInteger(value ? 1 : 0));
    }
    case SQL_Like: {
        TextValue pattern, subject;
        if (!PopText(pattern)) return kFail;
        if (!PopText(subject)) {
            pattern.Free();
            return kFail;
        }
        // A long match asks now and then whether the statement may go on.
        SQLLikeStop stop{[](void* engine) { return static_cast<SQLEngine*>(engine)->Stopped() != 0; }, this};
        int match = SQLMatchLike(subject.text, subject.length, pattern.text, pattern.length, &stop);
        pattern.Free();
        subject.Free();
        if (match < 0) return kFail;
        return done(PushInteger(match));
    }
    case SQL_Not: {
        bool value = false;
        if (!PopBoolean(value)) return kFail;
        return done(PushInteger(value ? 0 : 1));
    }
    case SQL_Equal:
    case SQL_NotEqual:
    case SQL_LessThan:
    case SQL_GreaterThan:
    case SQL_LessThanEqual:
    case SQL_GreaterThanEqual: {
        if (in.a < 0 || in.a > 2) return Invalid();
        int c = 0;
        if (!Compare(in.a, c)) return kFail;
        bool value = in.opcode == SQL_Equal         ? c == 0
                     : in.opcode == SQL_NotEqual    ? c != 0
                     : in.opcode == SQL_LessThan    ? c < 0
                     : in.opcode == SQL_GreaterThan ? c > 0
                     : in.opcode == SQL_LessThanEqual ? c <= 0
                                                      : c >= 0;
        return done(PushInteger(value ? 1 : 0));
    }
    case SQL_IsNull: {
        Entry e;
        if (!Pop(e)) return kFail;
        bool null = EntryIsNull(e);
        Drop(e);
        return done(PushInteger(null ? 1 : 0));
    }
    case SQL_Inc: {
        int32_t n = 0;
        if (!PopInteger(n)) return kFail;
        return done(PushInteger(static_cast<int32_t>(static_cast<uint32_t>(n) + static_cast<uint32_t>(in.a))));
    }
    case SQL_Upper:
    case SQL_Lower: {
        TextValue value;
        if (!PopText(value)) return kFail;
        char* out = value.owned ? const_cast<char*>(value.text)
                                : static_cast<char*>(std::malloc(static_cast<size_t>(value.length) + 1));
        for (int32_t i = 0; i < value.length; ++i) {
            char c = value.text[i];
            if (in.opcode == SQL_Upper && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
            if (in.opcode == SQL_Lower && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            out[i] = c;
        }
        out[value.length] = '\0';
        return done(PushText(out, value.length, value.length + 1, true));
    }
    case SQL_Length: {
        TextValue value;
        if (!PopText(value)) return kFail;
        int32_t length = value.length;
        value.Free();
        return done(PushInteger(length));
    }
    case SQL_Jump_EQ:
    case SQL_Jump_NE: {
        int32_t n = 0;
        if (!PopInteger(n)) return kFail;
        bool taken = in.opcode == SQL_Jump_EQ ? n == in.a : n != in.a;
        return taken ? jump(in.b) : kNext;
    }
    case SQL_Jump:
        return jump(in.a);
    case SQL_Output:
        return kRow;
    case SQL_NOOP:
        return kNext;
    case SQL_Error:
        if (!in.text1 || !in.text1[0]) return Invalid();
        return Error(in.length1 > 0 ? String(in.text1, in.length1) : String(in.text1));
    case SQL_Create_Table:
    case SQL_Alter_Table_Add:
    case SQL_Alter_Table_Drop:
    case SQL_Drop_Table:
    case SQL_Create_Index:
    case SQL_Drop_Index:
        return SchemaChange(in);
    default:
        return Invalid();
    }
}

} // namespace vorn
