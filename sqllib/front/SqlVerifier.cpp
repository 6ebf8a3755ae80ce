#include "sqllib/front/SqlVerifier.h"

#include <algorithm>

// A new instruction needs its case below.
#pragma GCC diagnostic error "-Wswitch-enum"

namespace vorn {

namespace {

bool IsNumber(int32_t value) { return value >= 0 && value < kSqlMaxOperand; }

// Small cursor and column numbers (all but the widest statements') in the
// Numbers' bits, the others above them. Both are numbers (IsNumber).
uint64_t ColumnKey(int32_t cursor, int32_t column) {
    if (cursor < 4 && column < 64) return static_cast<uint64_t>(column) * 4 + static_cast<uint64_t>(cursor);
    return 256 + ((static_cast<uint64_t>(cursor) << 20) | static_cast<uint64_t>(column));
}

bool Makes(int32_t opcode) {
    return opcode == SQL_Cursor_Open || opcode == SQL_Cursor_Column || opcode == SQL_Result;
}

} // namespace

void SQLVerifier::Numbers::Clear() {
    small[0] = small[1] = small[2] = small[3] = 0;
    large.clear();
}

bool SQLVerifier::Numbers::HasLarge(uint64_t n) const { return std::binary_search(large.begin(), large.end(), n); }

void SQLVerifier::Numbers::AddLarge(uint64_t n) {
    if (large.empty() || large.back() < n) {
        large.push_back(n);
        return;
    }
    auto at = std::lower_bound(large.begin(), large.end(), n);
    if (*at != n) large.insert(at, n);
}

bool SQLVerifier::Refuse(int32_t pc, const char* what) {
    at = pc;
    fault = what;
    return false;
}

bool SQLVerifier::Verify(const SQLInstruction* code, int32_t count) {
    fault = nullptr;
    at = -1;
    cursorCount = resultCount = columnCount = 0;
    cursors.Clear();
    results.Clear();
    walked.Clear();
    columns.Clear();
    temporaries.clear();
    buckets.clear();
    writes = false;
    if (count < 0 || (count > 0 && !code)) return Refuse(-1, "no program");
    bool writing = false;
    // The prologue, which every run passes in order, ends at the first jump
    // target or after the first instruction that may jump or ends the run.
    int32_t prologue = count;
    int32_t lastMade = -1;
    for (int32_t pc = 0; pc < count; ++pc) {
        const SQLInstruction& in = code[pc];
        if (static_cast<uint32_t>(in.opcode) >= static_cast<uint32_t>(kSqlOpcodeCount))
            return Refuse(pc, "opcode outside the set");
        writing |= kSqlWrites[in.opcode];
        // Each operand the engine reads, as VORN_SQL_INSTRUCTIONS describes it.
        auto target = [&](int32_t value) {
            if (value < 0 || value > count) return Refuse(pc, "jump target outside the program");
            prologue = std::min({prologue, value, pc + 1});
            return true;
        };
        auto number = [&](int32_t value) { return IsNumber(value) || Refuse(pc, "number out of range"); };
        auto cursor = [&](int32_t value) {
            return (IsNumber(value) && cursors.Has(static_cast<uint64_t>(value))) ||
                   Refuse(pc, "cursor not opened before");
        };
        auto result = [&](int32_t value) {
            return (IsNumber(value) && results.Has(static_cast<uint64_t>(value))) ||
                   Refuse(pc, "result not made before");
        };
        auto text = [&](const char* text, int32_t length, const char* what) {
            return (text && length >= 0) || Refuse(pc, what);
        };
        auto object = [&]() { return in.object || Refuse(pc, "object missing"); };
        // A temporary table (bucket) made before, and a column (slot) of it.
        auto made = [&](const std::vector<int32_t>& widths) {
            return (in.a >= 0 && static_cast<size_t>(in.a) < widths.size() && widths[static_cast<size_t>(in.a)] >= 0) ||
                   Refuse(pc, "temporary table or bucket not made before");
        };
        auto within = [&](const std::vector<int32_t>& widths, int32_t value) {
            return made(widths) &&
                   ((value >= 0 && value < widths[static_cast<size_t>(in.a)]) || Refuse(pc, "column or slot out of range"));
        };
        auto make = [&](std::vector<int32_t>& widths) {
            if (!number(in.a) || !number(in.b)) return false;
            if (static_cast<size_t>(in.a) >= widths.size()) widths.resize(static_cast<size_t>(in.a) + 1, -1);
            int32_t& width = widths[static_cast<size_t>(in.a)];
            if (width >= 0 && width != in.b) return Refuse(pc, "made again with another width");
            width = in.b;
            return true;
        };
        bool ok = true;
        switch (static_cast<SQLOpcode>(in.opcode)) {
        case SQL_Result:
            ok = number(in.a) && text(in.text1, in.length1, "text missing");
            if (!ok) return false;
            results.Add(static_cast<uint64_t>(in.a));
            resultCount = std::max(resultCount, in.a + 1);
            lastMade = pc;
            break;
        case SQL_Cursor_Open:
            ok = number(in.a) && text(in.text1, in.length1, "text missing") &&
                 (!cursors.Has(static_cast<uint64_t>(in.a)) || Refuse(pc, "cursor opened twice"));
            if (!ok) return false;
            cursors.Add(static_cast<uint64_t>(in.a));
            cursorCount = std::max(cursorCount, in.a + 1);
            writing |= in.b != 0;
            lastMade = pc;
            break;
        case SQL_Cursor_Column:
            if (!cursor(in.a) || !number(in.b) || !text(in.text1, in.length1, "text missing")) return false;
            columns.Add(ColumnKey(in.a, in.b));
            columnCount = std::max(columnCount, in.b + 1);
            lastMade = pc;
            break;
        case SQL_Cursor_Index:
            ok = cursor(in.a) &&
                 ((in.b >= 0 && in.b + (in.c != 0 ? 1 : 0) <= kSqlMaxKeyParts) || Refuse(pc, "keys out of range")) &&
                 text(in.text1, in.length1, "text missing");
            if (ok) walked.Add(static_cast<uint64_t>(in.a));
            break;
        case SQL_Cursor_First:
        case SQL_Cursor_Next:
            ok = cursor(in.a) && target(in.b);
            break;
        case SQL_Cursor_Insert:
        case SQL_Cursor_Update:
        case SQL_Cursor_Update_Indexes:
        case SQL_Cursor_Delete:
        case SQL_Cursor_Delete_Indexes:
            ok = cursor(in.a);
            break;
        case SQL_Temporary_Table:
            ok = make(temporaries);
            break;
        case SQL_Temporary_Record:
            ok = made(temporaries);
            break;
        case SQL_Temporary_Sort:
            ok = made(temporaries) && object();
            break;
        case SQL_Temporary_Result:
            ok = within(temporaries, in.b) && result(in.c);
            break;
        case SQL_Temporary_First:
        case SQL_Temporary_Next:
            ok = made(temporaries) && target(in.b);
            break;
        case SQL_Bucket:
            ok = make(buckets);
            break;
        case SQL_Bucket_Record:
            ok = made(buckets) && number(in.b) && (in.c == 0 || target(in.c));
            break;
        case SQL_Bucket_First:
        case SQL_Bucket_Next:
            ok = made(buckets) && target(in.b);
            break;
        case SQL_Bucket_Count:
        case SQL_Bucket_Average:
        case SQL_Bucket_Sum:
        case SQL_Bucket_Min:
        case SQL_Bucket_Max:
        case SQL_Push_Bucket:
        case SQL_Pop_Bucket:
            ok = within(buckets, in.b);
            break;
        case SQL_Push_BoolColumn:
        case SQL_Push_Column:
        case SQL_Pop_Column:
            ok = cursor(in.a) && ((IsNumber(in.b) && columns.Has(ColumnKey(in.a, in.b))) ||
                                  Refuse(pc, "column not bound before"));
            break;
        case SQL_Push_Literal:
            ok = text(in.text1, in.length1, "text missing");
            break;
        case SQL_Push_Temporary:
        case SQL_Pop_Temporary:
            ok = within(temporaries, in.b);
            break;
        case SQL_Pop_Result:
            ok = result(in.a);
            break;
        case SQL_Equal:
        case SQL_NotEqual:
        case SQL_LessThan:
        case SQL_GreaterThan:
        case SQL_LessThanEqual:
        case SQL_GreaterThanEqual:
            ok = (in.a >= 0 && in.a <= 2) || Refuse(pc, "values kept neither 0, 1 nor 2");
            break;
        case SQL_Jump_EQ:
        case SQL_Jump_NE:
            ok = target(in.b);
            break;
        case SQL_Jump:
            ok = target(in.a);
            break;
        case SQL_Create_Table:
        case SQL_Alter_Table_Add:
            ok = text(in.text1, in.length1, "text missing") && object();
            break;
        case SQL_Alter_Table_Drop:
            ok = text(in.text1, in.length1, "text missing") && text(in.text2, in.length2, "second text missing");
            break;
        case SQL_Drop_Table:
        case SQL_Drop_Index:
            ok = text(in.text1, in.length1, "text missing");
            break;
        case SQL_Create_Index:
            ok = text(in.text1, in.length1, "text missing") && text(in.text2, in.length2, "second text missing") &&
                 object();
            break;
        case SQL_Error:
            ok = text(in.text1, in.length1, "text missing") && (in.text1[0] || Refuse(pc, "empty message"));
            prologue = std::min(prologue, pc + 1);
            break;
        // Nothing read but the stack, or any integer.
        case SQL_Add_View:
        case SQL_Push_Integer:
        case SQL_Push_Dynamic:
        case SQL_Push_Null:
        case SQL_Pop:
        case SQL_Copy:
        case SQL_Dupe:
        case SQL_Add:
        case SQL_Subtract:
        case SQL_Multiply:
        case SQL_Divide:
        case SQL_And:
        case SQL_Or:
        case SQL_Like:
        case SQL_Not:
        case SQL_IsNull:
        case SQL_Inc:
        case SQL_Upper:
        case SQL_Lower:
        case SQL_Length:
        case SQL_Output:
        case SQL_NOOP:
            break;
        default:
            // Outside the set, refused above.
            __builtin_unreachable();
        }
        if (!ok) return false;
    }
    if (lastMade >= prologue) {
        // Uses were checked against what came before them; what made them
        // must also come before the prologue's end.
        for (int32_t pc = prologue;; ++pc)
            if (Makes(code[pc].opcode)) return Refuse(pc, "cursor, column or result made after a jump");
    }
    writes = writing;
    return true;
}

} // namespace vorn
