// Runs one compiled SQL statement for an open SQL database or one of its
// views: prepare (compile to instructions), bind the script's parameters,
// run until a row is ready, the statement ends or it fails, release.
//
// Run keeps its place between calls, so a view resumes after the row it
// returned. Values of plain SELECTs stream: column texts are read in place
// and nothing is allocated per row; sorted, grouped and distinct rows are
// copied into arenas that the statement frees as a whole.
//
// SqlEngine.cpp holds the machine: the statement's run, the stack and the
// instructions' switch. The cursors' opening and walks are in SqlCursor.cpp,
// the sorter of ORDER BY in SqlSorter and the buckets of GROUP BY in SqlBucket.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "engine/foundation/Messages.h"
#include "engine/foundation/String.h"
#include "host/plugin/VornHost.h"
#include "sqllib/engine/SchemaCatalog.h"
#include "sqllib/engine/SqlBucket.h"
#include "sqllib/engine/SqlCursor.h"
#include "sqllib/engine/SqlSorter.h"
#include "sqllib/engine/SqlValue.h"
#include "sqllib/front/SqlCodeGenerator.h"
#include "sqllib/front/SqlParser.h"
#include "sqllib/front/SqlVerifier.h"
#include "sqllib/store/Schema.h"

namespace vorn {

class SQLEngine {
  public:
    static constexpr int32_t kStackSize = 2046;
    // How often a run asks the host whether its request is still going.
    static constexpr int32_t kSleepInterval = 4096;

    SQLEngine(Schema* schema, VornDatabase* database);
    ~SQLEngine();
    SQLEngine(const SQLEngine&) = delete;
    SQLEngine& operator=(const SQLEngine&) = delete;

    // 1 when the statement compiled, else -1.
    int Prepare(const char* text, int32_t length);
    void SetView(VornDatabaseView* view) { this->view = view; }
    // 1, or -1 when the list does not hold exactly the statement's parameters.
    int Bind(VornVariableList* list);
    // 1 a row is ready, 0 finished, -1 failed.
    int Run();
    void Release();
    // Records the failure and logs it; returns -1.
    int Error(const String& message);
    int Error(const char* message);

    const String& ErrorText() const { return error; }
    // Rows worked out ahead come first: the failure or the end that reading
    // ahead met shows once they are handed out.
    bool Failed() const { return failed && !Ahead(); }
    bool Finished() const { return pc >= count && !Ahead(); }
    VornDatabase* Database() const { return database; }
    Schema* OwnerSchema() const { return schema; }

    // Result columns by number (null where none stands).
    int32_t ResultCount() const { return static_cast<int32_t>(results.size()); }
    SQLResult* ResultAt(int32_t i) const {
        return i >= 0 && i < ResultCount() ? results[static_cast<size_t>(i)].get() : nullptr;
    }

    // Runs a program of the caller's (which must outlive the run) in place
    // of a compiled one, with parameters given as texts.
    void Load(const SQLInstruction* code, int32_t instructions, const std::vector<std::string>& values);
    // Stops a run once it has executed this many instructions (0: no bound).
    void SetInstructionLimit(int64_t limit) { instructionLimit = limit; }
    // What sorted, grouped and distinct rows may hold (256 MiB unless set).
    void SetMemoryLimit(int64_t bytes) { memory.limit = bytes; }

    // ---- Stack values ----------------------------------------------------------------
    enum Kind : int32_t { kInteger = 0, kDouble = 1, kText = 2, kColumn = 3, kResult = 4, kNull = 5 };
    struct Entry {
        int32_t kind;
        bool owns;
        union {
            int32_t integer;
            double number;
            const char* text;
            XBaseField* column;
            SQLResult* result;
        };
        int32_t length;
        int32_t size;
    };
    // A value's text as a pop hands it over: free it when owned.
    struct TextValue {
        const char* text = "";
        int32_t length = 0;
        bool owned = false;
        void Free();
    };

    // Reading ahead: at most this many rows, or this long, under one hold of
    // the index files' shared locks; a hold within a longer run lasts at
    // most kHoldMicroseconds before it is given back and taken anew.
    static constexpr int32_t kAheadRows = 256;
    static constexpr int64_t kHoldMicroseconds = 2000;
    static constexpr int64_t kAheadBytes = 1 << 20;

  private:
    // How often a statement is compiled again for tables changed under it.
    static constexpr int32_t kCompiles = 8;
    // What an instruction did: went on, jumped, made a row, or failed.
    enum Outcome : int { kNext = 0, kJumped = 1, kRow = 2, kFail = -1 };

    int Compile();
    int TakeParameters(VornVariableList* list);
    // Run's work; an allocation that fails in it throws.
    int Advance();
    // Fails the statement for an allocation that threw; returns -1.
    int Abandon(const std::bad_alloc& failure);
    // Runs to the next row (1), the end (0) or a failure (-1).
    int Step();
    // Compiles the statement again and starts it over (nothing was handed
    // out or written yet): -1 when it may not.
    int Restart();
    // A writing statement's tables, opened and held in name order before its
    // first step; compiled again while a change came in since its compile.
    int OpenForWriting();
    // Applies a failed statement's index changes and gives up its holds.
    void EndStatement();
    // The table opened under its statement hold, so that its indexes are
    // those of its records; counter gets their catalog counter.
    Table* OpenSteady(const char* name, int32_t length, uint32_t& counter);
    bool Ahead() const { return aheadNext < aheadRows || aheadEnd; }
    // Verifies the program about to run: -1 (failed) when it is unsound.
    int Admit();
    // Works out rows after the one just made, keeping their values.
    void ReadAhead();
    bool SaveRow();
    void RestoreRow(size_t row);
    void ClearAhead();
    // The statement's walks use the index file under one shared lock until
    // the hold's time is up or the run returns. Holds are taken in the order
    // rebuilds lock index headers in: one that comes before a hold already
    // taken is waited for only once those are given back.
    // False when the lock is refused or the header unreadable.
    bool Hold(Index& index);
    // A statement that changes nothing holds its tables' records for read
    // over the same batch, so that a record is read as one write left it
    // without a lock of its own; taken before the table's index holds, as
    // writers take a record before an index header (index holds taken
    // already are given back first, and their walks take them again).
    bool HoldRecords(VornSQLTable& data);
    // Whether the batch has run its time (looked at every 16 steps).
    bool HoldsExpired();
    void ReleaseHolds();
    // Whether the program walks the cursor by an index.
    bool WalksIndex(int32_t cursor) const;
    int Execute(const SQLInstruction& in);
    [[gnu::always_inline]] int Jump(int32_t target) {
        pc = target;
        return kJumped;
    }
    // A First that found a row and a Next that found none go on; the others
    // jump to their target.
    [[gnu::always_inline]] int Walked(bool first, bool row, int32_t target) {
        return row == first ? kNext : Jump(target);
    }
    // A column the compiled statement names that its table lacks.
    [[gnu::cold, gnu::noinline]] int MissingColumn(const SQLInstruction& in);
    int Invalid() { return Error(kInvalidInstruction); }
    int Stopped();
    // A copy that found no room: the statement's limit, or no memory at all.
    int OutOfMemory();
    void ApplyWrites();
    static int64_t NowMicroseconds();
    template <class T>
    static void Store(std::vector<std::unique_ptr<T>>& array, int32_t at, std::unique_ptr<T> made) {
        if (static_cast<size_t>(at) >= array.size()) array.resize(static_cast<size_t>(at) + 1);
        array[static_cast<size_t>(at)] = std::move(made);
    }

    // Stack.
    // An entry of that kind that owns nothing; length and size both size.
    static Entry Borrowed(int32_t kind, int32_t size);
    bool Push(const Entry& entry);
    bool PushInteger(int32_t n);
    bool PushDouble(double x);
    bool PushText(const char* text, int32_t length, int32_t size, bool owns);
    // The field, read where the entry is used.
    bool PushColumn(XBaseField* field);
    bool PushResult(SQLResult* value);
    bool Pop(Entry& out);
    void Drop(Entry& entry);
    bool PopInteger(int32_t& out);
    bool PopDouble(double& out);
    bool PopBoolean(bool& out);
    bool PopText(TextValue& out);
    static int32_t EntryInteger(Entry& entry);
    static double EntryDouble(Entry& entry, int* error);
    static bool EntryBoolean(Entry& entry);
    static bool EntryIsNull(Entry& entry);
    // The entry's text, borrowed (into scratch for numbers, 480 bytes).
    static const char* EntryText(Entry& entry, int32_t& length, char* scratch);
    // -1, 0 or 1 for the two top entries; keep of them stay.
    bool Compare(int32_t keep, int& result);
    int PopIntoResult(SQLResult* result, bool copy, SQLArena* arena);
    int PopIntoField(SQLCursor* cursor, XBaseField* field);

    // Operands of a verified program: a load or two each, on every
    // instruction's path. Cursors and their columns are there; a temporary
    // table or bucket may not be (null) where the run took a path that
    // did not make it.
    [[gnu::always_inline]] SQLCursor* CursorAt(int32_t i) const;
    [[gnu::always_inline]] XBaseField* ColumnOf(int32_t cursor, int32_t column) const;
    [[gnu::always_inline]] SQLTemporaryTable* TemporaryAt(int32_t i) const;
    [[gnu::always_inline]] SQLBucket* BucketAt(int32_t i) const;
    [[gnu::always_inline]] SQLResult* SlotOf(int32_t bucket, int32_t slot) const;
    [[gnu::always_inline]] SQLResult* TemporaryValue(int32_t table, int32_t column) const;

    // In SqlCursor.cpp, with OpenForWriting, OpenSteady, Hold and WalksIndex.
    int CursorOpen(const SQLInstruction& in);
    int CursorIndex(const SQLInstruction& in);
    int CursorStep(SQLCursor* cursor, bool first, bool& row);
    // A step of a walk by the cursor's index: 0 (a row, or none left), -1
    // failed with the message set, or kWalkFailed when the index file
    // refused it (its message is the file's).
    int IndexStep(SQLCursor* cursor, bool first, bool& row);
    int IndexStepFailed(SQLCursor* cursor, bool first, bool& row);
    static constexpr int kWalkFailed = -2;
    // Times a writing walk makes its index anew before it gives up.
    static constexpr int kWalkRepairs = 3;
    // Reads a record the walk met, whole: false with the message set.
    bool ReadWalked(SQLCursor* cursor, int32_t record, bool& live);
    // Instructions too long for their case.
    int CursorWrite(const SQLInstruction& in);
    int CopyColumn();
    int Like();
    int ChangeCase(bool upper);
    int BucketRecord(const SQLInstruction& in);
    int BucketAggregate(const SQLInstruction& in);
    int SchemaChange(const SQLInstruction& in);

    Schema* schema;
    VornDatabase* database;
    VornProgram* program = nullptr;
    VornDatabaseView* view = nullptr;
    SchemaCatalog catalog;
    SQLCodeGenerator generator;
    SQLParser parser;
    SQLVerifier verifier;

    std::unique_ptr<Entry[]> stack;
    int32_t depth = 0;

    String error;
    bool failed = false;
    // The text compiled, for compiling it again.
    String statementText;
    int32_t compiles = 0;
    bool begun = false;
    bool restart = false;
    // A row was handed out: the statement can no longer start over.
    bool output = false;
    // Cursors opened before the first step.
    std::vector<bool> opened;
    int32_t pc = 0;
    const SQLInstruction* code = nullptr;
    int32_t count = 0;
    int32_t expectedParameters = 0;
    int64_t steps = 0;
    int64_t instructionLimit = 0;

    std::vector<String> parameters;
    std::vector<std::unique_ptr<SQLResult>> results;
    std::vector<std::unique_ptr<SQLCursor>> cursors;
    std::vector<std::unique_ptr<SQLTemporaryTable>> temporaries;
    std::vector<std::unique_ptr<SQLBucket>> buckets;
    // What the statement's arenas hold, and may.
    SQLArenaBudget memory;
    String key;

    // A view's SELECT that changes nothing reads ahead.
    bool readOnly = false;
    // Two arenas in turn: the results point into one batch's texts while
    // the next batch is made in the other.
    SQLArenaBudget aheadBudget;
    SQLArena aheadArenas[2]{SQLArena(&aheadBudget), SQLArena(&aheadBudget)};
    int aheadArena = 0;
    std::vector<SQLSavedValue> aheadValues;
    size_t aheadRows = 0;
    size_t aheadNext = 0;
    // Reading ahead met the end (0) or a failure (-1).
    bool aheadEnd = false;
    bool aheadEndSaved = false;
    int aheadResult = 0;
    std::vector<Index*> holds;
    std::vector<VornSQLTable*> recordHolds;
    int64_t holdSince = 0;
    int64_t holdSteps = 0;
};

inline SQLCursor* SQLEngine::CursorAt(int32_t i) const { return cursors[static_cast<size_t>(i)].get(); }

inline XBaseField* SQLEngine::ColumnOf(int32_t cursor, int32_t column) const {
    return CursorAt(cursor)->columns[static_cast<size_t>(column)];
}

// Their arrays are as long as the program's numbers (Admit).
inline SQLTemporaryTable* SQLEngine::TemporaryAt(int32_t i) const { return temporaries[static_cast<size_t>(i)].get(); }

inline SQLBucket* SQLEngine::BucketAt(int32_t i) const { return buckets[static_cast<size_t>(i)].get(); }

inline SQLResult* SQLEngine::SlotOf(int32_t bucket, int32_t slot) const {
    SQLBucket* b = BucketAt(bucket);
    SQLBucketEntry* entry = b ? b->Slot(slot) : nullptr;
    return entry ? &entry->value : nullptr;
}

inline SQLResult* SQLEngine::TemporaryValue(int32_t table, int32_t column) const {
    SQLTemporaryTable* t = TemporaryAt(table);
    return t ? t->Value(column) : nullptr;
}

} // namespace vorn
