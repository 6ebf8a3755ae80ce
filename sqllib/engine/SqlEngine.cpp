#include "sqllib/engine/SqlEngine.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "engine/foundation/Messages.h"
#include "sqllib/front/SqlMemory.h"

namespace vorn {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

} // namespace

void SQLEngine::TextValue::Free() {
    if (owned) std::free(const_cast<char*>(text));
    owned = false;
}

// ---- The engine --------------------------------------------------------------------------------

SQLEngine::SQLEngine(Schema* schema, VornDatabase* database)
    : schema(schema), database(database), catalog(schema), generator(&catalog), parser(generator),
      stack(new Entry[kStackSize]) {}

SQLEngine::~SQLEngine() {
    ReleaseHolds();
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
    // What the program named is gone: it may not run on.
    code = nullptr;
    count = 0;
    pc = 0;
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
    try {
        statementText.Assign(text ? text : "", length);
        compiles = 0;
        return Compile();
    } catch (const std::bad_alloc& failure) {
        return Abandon(failure);
    }
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
    return Admit();
}

int SQLEngine::Admit() {
    if (!verifier.Verify(code, count)) {
        code = nullptr;
        count = 0;
        return Invalid();
    }
    // Made at the sizes the program names, they are not grown as it runs.
    cursors.resize(static_cast<size_t>(verifier.Cursors()));
    results.resize(static_cast<size_t>(verifier.Results()));
    temporaries.resize(static_cast<size_t>(verifier.Temporaries()));
    buckets.resize(static_cast<size_t>(verifier.Buckets()));
    readOnly = !verifier.Writes();
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
    Admit();
}

int SQLEngine::Bind(VornVariableList* list) {
    try {
        return TakeParameters(list);
    } catch (const std::bad_alloc& failure) {
        return Abandon(failure);
    }
}

int SQLEngine::TakeParameters(VornVariableList* list) {
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
    if (!memory.limitReached) return Error(kOutOfMemory);
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

int SQLEngine::Abandon(const std::bad_alloc& failure) {
    // Where the instruction stopped its values may stand half made: the
    // statement ends as a failed one does, its rows as they were. The
    // results keep the texts of the row they show.
    Error(dynamic_cast<const TextTooLong*>(&failure) ? failure.what() : kOutOfMemory);
    EndStatement();
    ReleaseHolds();
    aheadRows = aheadNext = 0;
    aheadEnd = aheadEndSaved = false;
    return -1;
}

int SQLEngine::Run() {
    try {
        return Advance();
    } catch (const std::bad_alloc& failure) {
        return Abandon(failure);
    }
}

int SQLEngine::Advance() {
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
    if (statementText.IsEmpty() || output || ++compiles > kCompiles) return Error(String(kFileRemovedOrReplaced));
    if (Compile() < 0) return -1;
    begun = true;
    return 1;
}

// ---- Reading ahead ---------------------------------------------------------------------------------

int64_t SQLEngine::NowMicroseconds() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
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
            error.Assign(kOutOfMemory);
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

// ---- Stack -------------------------------------------------------------------------------------

bool SQLEngine::Push(const Entry& entry) {
    if (depth >= kStackSize) {
        Entry copy = entry;
        Drop(copy);
        Error(kStackOverflow);
        return false;
    }
    stack[depth++] = entry;
    return true;
}

SQLEngine::Entry SQLEngine::Borrowed(int32_t kind, int32_t size) {
    Entry e;
    e.kind = kind;
    e.owns = false;
    e.length = e.size = size;
    return e;
}

bool SQLEngine::PushInteger(int32_t n) {
    Entry e = Borrowed(kInteger, 4);
    e.integer = n;
    return Push(e);
}

bool SQLEngine::PushDouble(double x) {
    Entry e = Borrowed(kDouble, 8);
    e.number = x;
    return Push(e);
}

bool SQLEngine::PushText(const char* text, int32_t length, int32_t size, bool owns) {
    Entry e = Borrowed(kText, size);
    e.owns = owns;
    e.text = text;
    e.length = length;
    return Push(e);
}

bool SQLEngine::PushColumn(XBaseField* field) {
    Entry e = Borrowed(kColumn, 32);
    e.column = field;
    return Push(e);
}

bool SQLEngine::PushResult(SQLResult* value) {
    Entry e = Borrowed(kResult, 56);
    e.result = value;
    return Push(e);
}

bool SQLEngine::Pop(Entry& out) {
    if (depth <= 0) {
        Error(kStackUnderflow);
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
        char* copy = static_cast<char*>(SQLAllocate(static_cast<size_t>(length) + 1));
        if (!copy) {
            Error(kOutOfMemory);
            return false;
        }
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
        Error(kStackUnderflow);
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

// ---- Buckets -------------------------------------------------------------------------------------

int SQLEngine::BucketRecord(const SQLInstruction& in) {
    SQLBucket* bucket = BucketAt(in.a);
    if (!bucket) return Invalid();
    if (depth < in.b) return Error(kStackUnderflow);
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
    return found && in.c != 0 ? Jump(in.c) : kNext;
}

int SQLEngine::BucketAggregate(const SQLInstruction& in) {
    SQLBucket* bucket = BucketAt(in.a);
    SQLBucketEntry* slot = bucket ? bucket->Slot(in.b) : nullptr;
    if (!slot) return Invalid();
    if (in.opcode == SQL_Bucket_Count) {
        slot->Count();
        return kNext;
    }
    if (depth < 1) return Error(kStackUnderflow);
    if (EntryIsNull(stack[depth - 1])) {
        Drop(stack[--depth]);
        return kNext;
    }
    if (in.opcode == SQL_Bucket_Average || in.opcode == SQL_Bucket_Sum) {
        double x = 0;
        if (!PopDouble(x)) return kFail;
        if (in.opcode == SQL_Bucket_Sum)
            slot->Sum(x);
        else
            slot->Average(x);
        return kNext;
    }
    // The first value stays until a smaller (greater) one comes.
    if (!slot->value.IsNull()) {
        int c = 0;
        if (!PushResult(&slot->value) || !Compare(1, c)) return kFail;
        if (in.opcode == SQL_Bucket_Min ? c >= 0 : c <= 0) {
            Drop(stack[--depth]);
            return kNext;
        }
    }
    return PopIntoResult(&slot->value, true, &bucket->arena) < 0 ? kFail : kNext;
}

// ---- Schema changes ------------------------------------------------------------------------------

int SQLEngine::SchemaChange(const SQLInstruction& in) {
    // Files kept open for later statements would stand in the change's way.
    schema->DropIdleTables();
    int ok = 0;
    switch (in.opcode) {
    case SQL_Create_Table:
        ok = schema->CreateTable(in.text1, in.length1, *static_cast<ColumnDefinitionList*>(in.object));
        break;
    case SQL_Alter_Table_Add:
        ok = schema->AlterTableAdd(in.text1, in.length1, *static_cast<ColumnDefinitionList*>(in.object));
        break;
    case SQL_Alter_Table_Drop:
        ok = schema->AlterTableDrop(in.text1, in.length1, in.text2, in.length2);
        break;
    case SQL_Drop_Table:
        ok = schema->DropTable(in.text1, in.length1);
        break;
    case SQL_Create_Index: {
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

int SQLEngine::CursorWrite(const SQLInstruction& in) {
    SQLCursor* cursor = CursorAt(in.a);
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
        ok = table->ApplyUpdates(true);
        break;
    case SQL_Cursor_Delete:
        if (cursor->atEnd) return Invalid();
        ok = table->Delete();
        if (!ok) table->RevertPending();
        break;
    default:
        ok = table->ApplyDeletes(true);
        break;
    }
    return ok ? kNext : Error(table->ErrorText());
}

int SQLEngine::CopyColumn() {
    if (depth < 1) return Error(kStackUnderflow);
    Entry& top = stack[depth - 1];
    if (top.kind != kColumn) return kNext;
    int32_t length = top.column->ValueLength();
    char* copy = static_cast<char*>(SQLAllocate(static_cast<size_t>(length) + 1));
    if (!copy) return Error(kOutOfMemory);
    std::memcpy(copy, top.column->Value(), static_cast<size_t>(length));
    copy[length] = '\0';
    top.kind = kText;
    top.owns = true;
    top.text = copy;
    top.length = length;
    top.size = length + 1;
    return kNext;
}

int SQLEngine::Like() {
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
    return PushInteger(match) ? kNext : kFail;
}

int SQLEngine::ChangeCase(bool upper) {
    TextValue value;
    if (!PopText(value)) return kFail;
    // An owned text changes in place.
    char* out = value.owned ? const_cast<char*>(value.text)
                            : static_cast<char*>(SQLAllocate(static_cast<size_t>(value.length) + 1));
    if (!out) return Error(kOutOfMemory);
    for (int32_t i = 0; i < value.length; ++i) {
        char c = value.text[i];
        if (upper && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (!upper && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        out[i] = c;
    }
    out[value.length] = '\0';
    return PushText(out, value.length, value.length + 1, true) ? kNext : kFail;
}

// The operands of each instruction are listed with VORN_SQL_INSTRUCTIONS.
int SQLEngine::Execute(const SQLInstruction& in) {
    auto done = [](bool ok) { return ok ? static_cast<int>(kNext) : static_cast<int>(kFail); };
    switch (in.opcode) {
    // ---- Results and cursors
    case SQL_Add_View:
        return view ? kNext : Error("SELECT is not valid in this context");
    case SQL_Result:
        if (!view) return Error("Queries that return results are not valid in this context");
        Store(results, in.a, std::make_unique<SQLResult>(in.text1, in.length1, in.b, view));
        return kNext;
    case SQL_Cursor_Open:
        return CursorOpen(in);
    case SQL_Cursor_Column: {
        SQLCursor* cursor = CursorAt(in.a);
        XBaseField* field = cursor->table->Data().Field(in.text1, in.length1);
        if (!field) return MissingColumn(in);
        // At the first, as many as the program binds of any cursor.
        if (static_cast<size_t>(in.b) >= cursor->columns.size())
            cursor->columns.resize(static_cast<size_t>(verifier.Columns()), nullptr);
        cursor->columns[static_cast<size_t>(in.b)] = field;
        return kNext;
    }
    case SQL_Cursor_Index:
        return CursorIndex(in);
    case SQL_Cursor_First:
    case SQL_Cursor_Next: {
        SQLCursor* cursor = CursorAt(in.a);
        bool first = in.opcode == SQL_Cursor_First;
        bool row = false;
        if (CursorStep(cursor, first, row) < 0) return kFail;
        cursor->atEnd = !row;
        return Walked(first, row, in.b);
    }
    case SQL_Cursor_Insert:
    case SQL_Cursor_Update:
    case SQL_Cursor_Update_Indexes:
    case SQL_Cursor_Delete:
    case SQL_Cursor_Delete_Indexes:
        return CursorWrite(in);

    // ---- Temporary tables (ORDER BY)
    case SQL_Temporary_Table:
        Store(temporaries, in.a, std::make_unique<SQLTemporaryTable>(in.b, &memory));
        return kNext;
    case SQL_Temporary_Record: {
        SQLTemporaryTable* table = TemporaryAt(in.a);
        if (!table) return Invalid();
        return table->Append() ? kNext : OutOfMemory();
    }
    case SQL_Temporary_Sort: {
        SQLTemporaryTable* table = TemporaryAt(in.a);
        if (!table) return Invalid();
        return table->Sort(*static_cast<CollList<SQLOrderBy>*>(in.object)) ? kNext : OutOfMemory();
    }
    case SQL_Temporary_Result: {
        SQLResult* value = TemporaryValue(in.a, in.b);
        if (!value) return Invalid();
        SQLResult* result = results[static_cast<size_t>(in.c)].get();
        // The column shows the stored value itself from now on.
        result->ShareFrom(*value);
        return kNext;
    }
    case SQL_Temporary_First:
    case SQL_Temporary_Next: {
        SQLTemporaryTable* table = TemporaryAt(in.a);
        if (!table) return Invalid();
        bool first = in.opcode == SQL_Temporary_First;
        if (first && !table->Finish()) return OutOfMemory();
        return Walked(first, first ? table->First() : table->Next(), in.b);
    }

    // ---- Buckets (GROUP BY, DISTINCT, aggregates)
    case SQL_Bucket:
        Store(buckets, in.a, std::make_unique<SQLBucket>(in.b, &memory));
        return kNext;
    case SQL_Bucket_Record:
        return BucketRecord(in);
    case SQL_Bucket_First:
    case SQL_Bucket_Next: {
        SQLBucket* bucket = BucketAt(in.a);
        if (!bucket) return Invalid();
        bool first = in.opcode == SQL_Bucket_First;
        return Walked(first, first ? bucket->First() : bucket->Next(), in.b);
    }
    case SQL_Bucket_Count:
    case SQL_Bucket_Average:
    case SQL_Bucket_Sum:
    case SQL_Bucket_Min:
    case SQL_Bucket_Max:
        return BucketAggregate(in);

    // ---- Pushes
    case SQL_Push_BoolColumn:
    case SQL_Push_Column: {
        SQLCursor* cursor = CursorAt(in.a);
        XBaseField* field = ColumnOf(in.a, in.b);
        if (cursor->atEnd) return done(PushText("", 0, 1, false));
        if (in.opcode == SQL_Push_Column) return done(PushColumn(field));
        const char* value = field->Value();
        return done(PushInteger(value && value[0] == 'T' ? 1 : 0));
    }
    case SQL_Push_Literal:
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
        SQLResult* value = in.opcode == SQL_Push_Temporary ? TemporaryValue(in.a, in.b) : SlotOf(in.a, in.b);
        if (!value) return Invalid();
        return done(PushResult(value));
    }

    // ---- Pops
    case SQL_Pop: {
        Entry e;
        if (!Pop(e)) return kFail;
        Drop(e);
        return kNext;
    }
    case SQL_Pop_Column: {
        XBaseField* field = ColumnOf(in.a, in.b);
        return PopIntoField(CursorAt(in.a), field) < 0 ? kFail : kNext;
    }
    case SQL_Pop_Result: {
        SQLResult* result = results[static_cast<size_t>(in.a)].get();
        return PopIntoResult(result, false, nullptr) < 0 ? kFail : kNext;
    }
    case SQL_Pop_Temporary:
    case SQL_Pop_Bucket: {
        SQLResult* value = in.opcode == SQL_Pop_Temporary ? TemporaryValue(in.a, in.b) : SlotOf(in.a, in.b);
        if (!value) return Invalid();
        SQLArena* arena = in.opcode == SQL_Pop_Temporary ? &TemporaryAt(in.a)->arena : &BucketAt(in.a)->arena;
        return PopIntoResult(value, true, arena) < 0 ? kFail : kNext;
    }

    // ---- Stack and arithmetic
    case SQL_Copy:
        return CopyColumn();
    case SQL_Dupe: {
        if (depth < 1) return Error(kStackUnderflow);
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
    case SQL_Like:
        return Like();
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
    case SQL_Lower:
        return ChangeCase(in.opcode == SQL_Upper);
    case SQL_Length: {
        TextValue value;
        if (!PopText(value)) return kFail;
        int32_t length = value.length;
        value.Free();
        return done(PushInteger(length));
    }

    // ---- Control
    case SQL_Jump_EQ:
    case SQL_Jump_NE: {
        int32_t n = 0;
        if (!PopInteger(n)) return kFail;
        bool taken = in.opcode == SQL_Jump_EQ ? n == in.a : n != in.a;
        return taken ? Jump(in.b) : kNext;
    }
    case SQL_Jump:
        return Jump(in.a);
    case SQL_Output:
        return kRow;
    case SQL_NOOP:
        return kNext;
    case SQL_Error:
        return Error(in.length1 > 0 ? String(in.text1, in.length1) : String(in.text1));

    // ---- Schema changes
    case SQL_Create_Table:
    case SQL_Alter_Table_Add:
    case SQL_Alter_Table_Drop:
    case SQL_Drop_Table:
    case SQL_Create_Index:
    case SQL_Drop_Index:
        return SchemaChange(in);
    default:
        // The verifier let in no other opcode.
        __builtin_unreachable();
    }
}

} // namespace vorn
