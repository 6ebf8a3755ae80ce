#include "SqlTestSupport.h"

#include "engine/foundation/Hash.h"
#include "sqllib/front/SqlVerifier.h"

#include <cstring>
#include <set>
#include <sstream>
#include <unordered_set>

using namespace vorn;

namespace sqltest {

namespace {

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(AsciiLower(static_cast<unsigned char>(c)));
    return s;
}

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(' '), e = s.find_last_not_of(' ');
    return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

std::vector<std::string> SplitOn(const std::string& s, char sep) {
    std::vector<std::string> out;
    std::stringstream in(s);
    for (std::string part; std::getline(in, part, sep);) out.push_back(Trim(part));
    return out;
}

} // namespace

SQLCatalogColumn FakeTable::Column(int32_t i) const {
    const auto& c = columns.at(static_cast<size_t>(i));
    return {c.name.c_str(), static_cast<int32_t>(c.name.size()), c.type, c.width, c.decimals};
}

int32_t FakeTable::FindColumn(const char* name, int32_t length) const {
    for (size_t i = 0; i < columns.size(); ++i)
        if (static_cast<int32_t>(columns[i].name.size()) == length &&
            CompareTextNoCase(columns[i].name.data(), name, length) == 0)
            return static_cast<int32_t>(i);
    return -1;
}

FakeCatalog::FakeCatalog(std::vector<std::string> tableSpecs, std::vector<std::string> indexSpecs) {
    for (const std::string& spec : tableSpecs) {
        auto table = std::make_unique<FakeTable>();
        size_t colon = spec.find(':');
        for (const std::string& column : SplitOn(spec.substr(colon + 1), ',')) {
            std::string name = column.substr(0, column.find(' '));
            std::string type = Trim(column.substr(column.find(' ')));
            int32_t code = std::string("CNDLM").find(type[0]);
            size_t point = type.find('.');
            int32_t width = std::stoi(type.substr(1, point - 1));
            int32_t decimals = point == std::string::npos ? 0 : std::stoi(type.substr(point + 1));
            table->columns.push_back({name, code, width, decimals});
        }
        tables[Lower(Trim(spec.substr(0, colon)))] = std::move(table);
    }
    for (std::string spec : indexSpecs) {
        auto index = std::make_unique<FakeIndex>();
        if (spec.rfind("UNIQUE ", 0) == 0) {
            index->flags |= kSqlIndexUnique;
            spec = spec.substr(7);
        }
        if (spec.size() > 5 && spec.substr(spec.size() - 5) == " DESC") {
            index->flags |= kSqlIndexDescending;
            spec = spec.substr(0, spec.size() - 5);
        }
        index->name = spec.substr(0, spec.find(' '));
        size_t on = spec.find(" ON ") + 4, open = spec.find('(');
        FakeTable& table = *tables.at(Lower(Trim(spec.substr(on, open - on))));
        for (const std::string& column : SplitOn(spec.substr(open + 1, spec.find(')') - open - 1), ','))
            index->keys.push_back(table.FindColumn(column.c_str(), static_cast<int32_t>(column.size())));
        table.indexes.push_back(std::move(index));
    }
}

SQLCatalogTable* FakeCatalog::FindTable(const char* name, int32_t length) {
    auto found = tables.find(Lower(std::string(name, static_cast<size_t>(length))));
    if (found != tables.end()) return found->second.get();
    error.Assign("Unknown table '");
    error.Append(name, length);
    error.AppendChar('\'');
    return nullptr;
}

void FakeCatalog::LogText(const char* text, int32_t length) {
    log.append(text, length < 0 ? std::strlen(text) : static_cast<size_t>(length));
}

FakeCatalog& StandardCatalog() {
    static FakeCatalog catalog({"t: a N5, b C10, c L1, d N8.2", "u: a N5, x C10, k N5", "w: a N5, b C10"},
                               {"t_a ON t (a)", "t_bd ON t (b, d)", "u_k ON u (k) DESC"});
    return catalog;
}

Compiled Compile(SQLCatalog& catalog, const std::string& sql, bool check) {
    Compiled out;
    SQLCodeGenerator generator(&catalog);
    SQLParser parser(generator);
    out.parsed = parser.Parse(sql.data(), static_cast<int32_t>(sql.size()));
    if (!out.parsed) {
        out.error = parser.ErrorText().Text();
        return out;
    }
    out.generated = generator.Generate();
    out.parameters = generator.ParameterCount();
    if (!out.generated) {
        out.error = generator.ErrorText().Text();
        return out;
    }
    for (int32_t i = 0; i < generator.InstructionCount(); ++i)
        out.code.push_back(Render(i, generator.Instructions()[i]));
    if (check) out.check = CheckProgram(generator.Instructions(), generator.InstructionCount(), generator.ParameterCount());
    return out;
}

std::string Render(int32_t index, const SQLInstruction& in) {
    std::string line = std::to_string(index) + ": ";
    const char* name = SQLProgram::OpcodeName(in.opcode);
    line += name ? name + 4 : "Length";
    int32_t operands[3] = {in.a, in.b, in.c};
    int last = in.c ? 3 : in.b ? 2 : in.a ? 1 : 0;
    for (int i = 0; i < last; ++i) line.append(" ").append(std::to_string(operands[i]));
    if (in.text1) line.append(" '").append(in.text1, static_cast<size_t>(in.length1)).append("'");
    if (in.text2) line.append(" '").append(in.text2, static_cast<size_t>(in.length2)).append("'");
    if (in.object) line += " *";
    return line;
}

// ---- The checker --------------------------------------------------------------------------

namespace {

constexpr int64_t kUnknown = INT64_MIN;

struct State {
    int32_t pc = 0;
    std::vector<int64_t> stack;           // integers of SQL_Push_Integer, else kUnknown
    std::set<int32_t> open, positioned;   // cursors
    std::set<std::pair<int32_t, int32_t>> columns;
    std::set<int32_t> results;
    std::map<int32_t, int32_t> buckets, temporaries; // slots or columns
    std::set<int32_t> bucketCurrent, temporaryCurrent;

    std::string Key() const {
        std::string k;
        auto put = [&](int64_t v) { k.append(reinterpret_cast<const char*>(&v), sizeof v); };
        put(pc);
        put(static_cast<int64_t>(stack.size()));
        for (int64_t v : stack) put(v);
        put(-1);
        for (int32_t c : positioned) put(c);
        put(-2);
        for (auto& b : buckets) put((int64_t(b.first) << 33) | (int64_t(b.second) << 1) | bucketCurrent.count(b.first));
        put(-3);
        for (auto& t : temporaries)
            put((int64_t(t.first) << 33) | (int64_t(t.second) << 1) | temporaryCurrent.count(t.first));
        put(-4);
        for (int32_t r : results) put(r);
        put(-5);
        for (auto& c : columns) put((int64_t(c.first) << 32) | uint32_t(c.second));
        return k;
    }
};

bool IsJump(int32_t op, int& which) {
    switch (op) {
    case SQL_Jump:
        which = 1;
        return true;
    case SQL_Jump_EQ:
    case SQL_Jump_NE:
    case SQL_Cursor_First:
    case SQL_Cursor_Next:
    case SQL_Temporary_First:
    case SQL_Temporary_Next:
    case SQL_Bucket_First:
    case SQL_Bucket_Next:
        which = 2;
        return true;
    default:
        return false;
    }
}

} // namespace

std::string CheckProgram(const SQLInstruction* code, int32_t count, int32_t parameters) {
    auto at = [](int32_t pc, const std::string& what) { return "at " + std::to_string(pc) + ": " + what; };
    // What the engine relies on first: the library's own check.
    SQLVerifier verifier;
    if (!verifier.Verify(code, count)) return at(verifier.At(), verifier.Fault());
    for (int32_t pc = 0; pc < count; ++pc) {
        const SQLInstruction& in = code[pc];
        if (in.opcode == SQL_Add_View || in.opcode == SQL_Temporary_Result || in.opcode == SQL_Dupe ||
            in.opcode == SQL_Inc || in.opcode == SQL_Or)
            return at(pc, "opcode the generator never emits");
    }

    // Paths meet only where jumps land: states are remembered there.
    std::vector<bool> meets(static_cast<size_t>(count) + 1);
    for (int32_t pc = 0; pc < count; ++pc) {
        const SQLInstruction& in = code[pc];
        int which = 0;
        if (IsJump(in.opcode, which)) meets[static_cast<size_t>(which == 1 ? in.a : in.b)] = true;
        if (in.opcode == SQL_Bucket_Record && in.c > 0) meets[static_cast<size_t>(in.c)] = true;
    }
    std::vector<State> pending(1);
    std::unordered_set<std::string> seen;
    size_t explored = 0;
    while (!pending.empty()) {
        State s = std::move(pending.back());
        pending.pop_back();
        for (;;) {
            if (s.pc == count) {
                if (!s.stack.empty()) return "stack not empty at the end";
                break;
            }
            if (meets[static_cast<size_t>(s.pc)] && !seen.insert(s.Key()).second) break;
            if (++explored > 400000) return "too many states";
            const SQLInstruction& in = code[s.pc];
            int32_t pc = s.pc;
            auto pop = [&](int32_t n) -> bool {
                if (static_cast<int32_t>(s.stack.size()) < n) return false;
                s.stack.resize(s.stack.size() - static_cast<size_t>(n));
                return true;
            };
            auto push = [&](int64_t v) { s.stack.push_back(v); };
            auto bucketSlot = [&](int32_t b, int32_t slot) {
                return s.buckets.count(b) && s.bucketCurrent.count(b) && slot >= 0 && slot < s.buckets[b];
            };
            auto temporaryColumn = [&](int32_t t, int32_t column) {
                return s.temporaries.count(t) && s.temporaryCurrent.count(t) && column >= 0 &&
                       column < s.temporaries[t];
            };
            std::string fault;
            int32_t jump = -1;      // a second path
            bool ends = false, taken = false;
            switch (in.opcode) {
            case SQL_Result:
                s.results.insert(in.a);
                break;
            case SQL_Cursor_Open:
                if (!in.text1) fault = "cursor without table";
                s.open.insert(in.a);
                break;
            case SQL_Cursor_Column:
                if (!s.open.count(in.a)) fault = "column of an unopened cursor";
                s.columns.insert({in.a, in.b});
                break;
            case SQL_Cursor_Index:
                if (!s.open.count(in.a) || !in.text1) fault = "index of an unopened cursor";
                if (!pop(in.b + in.c)) fault = "underflow";
                break;
            case SQL_Cursor_First:
                if (!s.open.count(in.a)) fault = "first of an unopened cursor";
                s.positioned.insert(in.a);
                jump = in.b;
                break;
            case SQL_Cursor_Next:
                if (!s.positioned.count(in.a)) fault = "next of an unpositioned cursor";
                jump = in.b;
                break;
            case SQL_Cursor_Insert:
            case SQL_Cursor_Update:
            case SQL_Cursor_Update_Indexes:
            case SQL_Cursor_Delete:
            case SQL_Cursor_Delete_Indexes:
                if (!s.open.count(in.a)) fault = "change through an unopened cursor";
                break;
            case SQL_Temporary_Table:
                s.temporaries[in.a] = in.b;
                s.temporaryCurrent.erase(in.a);
                break;
            case SQL_Temporary_Record:
                if (!s.temporaries.count(in.a)) fault = "record of an unmade temporary table";
                s.temporaryCurrent.insert(in.a);
                break;
            case SQL_Temporary_Sort: {
                if (!s.temporaries.count(in.a) || !in.object) fault = "sort of an unmade temporary table";
                auto* items = static_cast<const CollList<SQLOrderBy>*>(in.object);
                for (int32_t i = 0; fault.empty() && items && i < items->Count(); ++i)
                    if (items->At(i)->columnId < 0 || items->At(i)->columnId >= s.temporaries[in.a])
                        fault = "sort key outside the record";
                break;
            }
            case SQL_Temporary_First:
            case SQL_Temporary_Next:
                if (!s.temporaries.count(in.a)) fault = "walk of an unmade temporary table";
                jump = in.b;
                break;
            case SQL_Bucket:
                s.buckets[in.a] = in.b;
                s.bucketCurrent.erase(in.a);
                break;
            case SQL_Bucket_Record:
                if (!s.buckets.count(in.a)) fault = "record of an unmade bucket";
                if (!pop(in.b)) fault = "underflow";
                s.bucketCurrent.insert(in.a);
                if (in.c) jump = in.c;
                break;
            case SQL_Bucket_First:
            case SQL_Bucket_Next:
                if (!s.buckets.count(in.a)) fault = "walk of an unmade bucket";
                jump = in.b;
                break;
            case SQL_Bucket_Count:
                if (!bucketSlot(in.a, in.b)) fault = "count without a current record";
                break;
            case SQL_Bucket_Average:
            case SQL_Bucket_Sum:
            case SQL_Bucket_Min:
            case SQL_Bucket_Max:
                if (!bucketSlot(in.a, in.b)) fault = "aggregate without a current record";
                if (!pop(1)) fault = "underflow";
                break;
            case SQL_Push_BoolColumn:
            case SQL_Push_Column:
                if (!s.columns.count({in.a, in.b}) || !s.positioned.count(in.a)) fault = "column not opened";
                push(kUnknown);
                break;
            case SQL_Push_Literal:
            case SQL_Push_Null:
                push(kUnknown);
                break;
            case SQL_Push_Dynamic:
                if (in.a < 0 || in.a >= parameters) fault = "parameter beyond the count";
                push(kUnknown);
                break;
            case SQL_Push_Integer:
                push(in.a);
                break;
            case SQL_Push_Temporary:
                if (!temporaryColumn(in.a, in.b)) fault = "temporary column without a record";
                push(kUnknown);
                break;
            case SQL_Push_Bucket:
                if (!bucketSlot(in.a, in.b)) fault = "bucket slot without a record";
                push(kUnknown);
                break;
            case SQL_Pop:
                if (!pop(1)) fault = "underflow";
                break;
            case SQL_Pop_Column:
                if (!s.columns.count({in.a, in.b})) fault = "column not opened";
                if (!pop(1)) fault = "underflow";
                break;
            case SQL_Pop_Result:
                if (!s.results.count(in.a)) fault = "undeclared result";
                if (!pop(1)) fault = "underflow";
                break;
            case SQL_Pop_Temporary:
                if (!temporaryColumn(in.a, in.b)) fault = "temporary column without a record";
                if (!pop(1)) fault = "underflow";
                break;
            case SQL_Pop_Bucket:
                if (!bucketSlot(in.a, in.b)) fault = "bucket slot without a record";
                if (!pop(1)) fault = "underflow";
                break;
            case SQL_Copy:
                if (s.stack.empty()) fault = "underflow";
                if (!s.stack.empty()) s.stack.back() = kUnknown;
                break;
            case SQL_Add:
            case SQL_Subtract:
            case SQL_Multiply:
            case SQL_Divide:
            case SQL_And:
            case SQL_Like:
                if (!pop(2)) fault = "underflow";
                push(kUnknown);
                break;
            case SQL_Not:
            case SQL_IsNull:
            case SQL_Upper:
            case SQL_Lower:
            case SQL_Length:
                if (!pop(1)) fault = "underflow";
                push(kUnknown);
                break;
            case SQL_Equal:
            case SQL_NotEqual:
            case SQL_LessThan:
            case SQL_GreaterThan:
            case SQL_LessThanEqual:
            case SQL_GreaterThanEqual:
                if (in.a != 0 && in.a != 1) fault = "comparison keeps neither 0 nor 1";
                if (!pop(2)) fault = "underflow";
                if (in.a == 1) push(kUnknown);
                push(kUnknown);
                break;
            case SQL_Jump_EQ:
            case SQL_Jump_NE: {
                if (s.stack.empty()) {
                    fault = "underflow";
                    break;
                }
                int64_t v = s.stack.back();
                s.stack.pop_back();
                if (v == kUnknown) {
                    jump = in.b;
                } else {
                    taken = (v == in.a) == (in.opcode == SQL_Jump_EQ);
                }
                break;
            }
            case SQL_Jump:
                taken = true;
                break;
            case SQL_Output:
                if (!s.stack.empty()) fault = "stack not empty at output";
                break;
            case SQL_Create_Table:
            case SQL_Alter_Table_Add:
            case SQL_Create_Index:
                if (!in.object || !in.text1) fault = "schema change without its object";
                break;
            case SQL_Alter_Table_Drop:
            case SQL_Drop_Table:
            case SQL_Drop_Index:
                if (!in.text1) fault = "schema change without a name";
                break;
            case SQL_NOOP:
                break;
            case SQL_Error:
                ends = true;
                break;
            default:
                fault = "opcode the generator never emits";
            }
            if (!fault.empty()) return at(pc, fault);
            if (s.stack.size() > 2046) return at(pc, "stack beyond 2046 entries");
            if (ends) break;
            int which = 0;
            int32_t target = IsJump(in.opcode, which) ? (which == 1 ? in.a : in.b) : in.c;
            if (taken) {
                s.pc = target;
                continue;
            }
            if (jump >= 0) {
                State other = s;
                other.pc = jump;
                // What a taken branch learns: a walk that jumps has a record (Next),
                // or none (First); a bucket record that jumps exists.
                if (in.opcode == SQL_Bucket_First) other.bucketCurrent.erase(in.a);
                if (in.opcode == SQL_Temporary_First) other.temporaryCurrent.erase(in.a);
                if (in.opcode == SQL_Bucket_Next) other.bucketCurrent.insert(in.a);
                if (in.opcode == SQL_Temporary_Next) other.temporaryCurrent.insert(in.a);
                pending.push_back(std::move(other));
            }
            if (in.opcode == SQL_Bucket_First) s.bucketCurrent.insert(in.a);
            if (in.opcode == SQL_Temporary_First) s.temporaryCurrent.insert(in.a);
            if (in.opcode == SQL_Bucket_Next) s.bucketCurrent.erase(in.a);
            if (in.opcode == SQL_Temporary_Next) s.temporaryCurrent.erase(in.a);
            ++s.pc;
        }
    }
    return "";
}

} // namespace sqltest
