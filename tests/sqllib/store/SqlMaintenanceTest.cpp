// Record and index maintenance: UNIQUE on every path, keys as the catalog
// builds them, queued changes applied at the statement's end, and seeded runs
// against a model with the k-th read, write or lock failing.
#include <fstream>
#include <random>

#include "tests/sqllib/store/SqlStoreSupport.h"

namespace vorn::test {
namespace {

class SqlMaintenanceTest : public SqlStoreTest {
  protected:
    void SetUp() override {
        SqlStoreTest::SetUp();
        CreateDatabase();
        ASSERT_TRUE(CreateTable("t", {{"id", 'N', 6, 0}, {"code", 'C', 8, 0}, {"note", 'M', 10, 0}}))
            << schema->ErrorText().Text();
        ASSERT_TRUE(CreateIndex("t", "t_id", true, {"id"})) << schema->ErrorText().Text();
        ASSERT_TRUE(CreateIndex("t", "t_code", true, {"code", "id"})) << schema->ErrorText().Text();
        table = schema->GetTable("t");
        ASSERT_NE(table, nullptr);
    }
    // Reads record n and sets the values given, then updates.
    int Update(int32_t n, const std::vector<std::pair<const char*, std::string>>& values) {
        if (!table->Data().ReadRecord(n)) return 0;
        for (const auto& [name, value] : values)
            if (!table->Data().Field(name)->SetValue(value.data(), static_cast<int32_t>(value.size())))
                return 0;
        return table->Update();
    }
    int Delete(int32_t n) { return table->Data().ReadRecord(n) && table->Delete(); }

    Table* table = nullptr;
};

TEST_F(SqlMaintenanceTest, UniqueKeysAcrossInsertsAndUpdates) {
    ASSERT_TRUE(Insert(table, {{"id", "5"}, {"code", "Abc"}}));
    ASSERT_TRUE(Insert(table, {{"id", "12"}, {"code", "x:y"}}));
    struct Case {
        std::function<int()> run;
        const char* message; // null: succeeds
    } cases[] = {
        {[&] {
             return Insert(table, {{"id", "5"}, {"code", "q"}});
         },
         "Inserted record violates UNIQUE constraint on index 't_id'"},
        // Keys are upper-cased and ':'-joined, as stored.
        {[&] {
             return Insert(table, {{"id", "5"}, {"code", "ABC"}});
         },
         "Inserted record violates UNIQUE constraint on index 't_code'"},
        {[&] {
             return Insert(table, {{"id", "000005"}, {"code", "n"}});
         },
         "Inserted record violates UNIQUE constraint on index 't_id'"},
        {[&] {
             int ok = Insert(table, {{"id", "1234567"}});
             table->SetError(table->Data().ErrorText());
             return ok;
         },
         "The value '1234567' is too wide for the numeric field 'ID' (width 6)"},
        {[&] {
             return Update(2, {{"id", "5"}});
         },
         "Updated record violates UNIQUE constraint on index 't_id'"},
        {[&] {
             return Update(1, {{"code", "abc"}});
         },
         nullptr}, // its own key, unchanged
        {[&] {
             return Update(1, {{"id", "7"}});
         },
         nullptr},
        // An earlier row of the statement moved to 9: not in the index yet.
        {[&] {
             return Update(2, {{"id", "9"}});
         },
         nullptr},
        {[&] {
             return Update(1, {{"id", "9"}});
         },
         "Updated record violates UNIQUE constraint on index 't_id'"},
    };
    for (const Case& c : cases) {
        int result = c.run();
        if (c.message) {
            EXPECT_EQ(result, 0) << c.message;
            EXPECT_STREQ(table->ErrorText().Text(), c.message);
        } else {
            EXPECT_EQ(result, 1) << table->ErrorText().Text();
        }
    }
    // Four key changes, and the row whose key stayed.
    EXPECT_EQ(table->PendingUpdates(), 5);
    ASSERT_TRUE(table->ApplyPending()) << table->ErrorText().Text();
    EXPECT_TRUE(IndexesAgree("t"));
    // An update that leaves every key as it is queues its row alone, for a
    // failed statement to put back, and applying it changes no entry.
    ASSERT_TRUE(Update(1, {{"note", "memo text"}}));
    EXPECT_EQ(table->PendingUpdates(), 1);
    ASSERT_TRUE(table->ApplyPending());
    EXPECT_TRUE(IndexesAgree("t"));
    ASSERT_TRUE(Delete(2));
    EXPECT_EQ(table->PendingDeletes(), 2);
    ASSERT_TRUE(table->ApplyPending());
    ASSERT_TRUE(Insert(table, {{"id", "9"}, {"code", "again"}})) << table->ErrorText().Text();
    EXPECT_TRUE(IndexesAgree("t"));
    std::string read = Python(R"(
import sys, dbfread
for r in dbfread.DBF(sys.argv[1] + '/t.dbf', load=True):
    print(r['ID'], r['CODE'], r['NOTE'])
)");
    EXPECT_EQ(read, "7 abc memo text\n9 again None\n") << read;
}

// Another request enters the key after this statement's check: the index
// file refuses it, and the statement still fails with its own message, its
// row or change undone. An update's new unique keys are entered with its
// record, before its other index changes wait for the statement's end.
TEST_F(SqlMaintenanceTest, KeyTakenAfterTheCheckGivesTheStatementsMessage) {
    ASSERT_TRUE(Insert(table, {{"id", "1"}, {"code", "a"}}));
    VornProgram* otherProgram = SqlHost::Get().Open(root);
    ASSERT_NE(otherProgram, nullptr);
    {
        Schema other(otherProgram);
        ASSERT_TRUE(other.Open("db.dbf"));
        Table* theirs = other.GetTable("t");
        ASSERT_NE(theirs, nullptr);
        // The update is checked and queued; the other request's insert of
        // the same id comes before the statement's end, and finds it taken.
        ASSERT_TRUE(Update(1, {{"id", "7"}}));
        EXPECT_FALSE(Insert(theirs, {{"id", "7"}, {"code", "b"}}));
        EXPECT_STREQ(theirs->ErrorText().Text(), "Inserted record violates UNIQUE constraint on index 't_id'");
        EXPECT_TRUE(table->ApplyPending()) << table->ErrorText().Text();
        ASSERT_TRUE(Insert(theirs, {{"id", "8"}, {"code", "b"}})) << theirs->ErrorText().Text();
        // A unique index made by the other request after this one opened its
        // indexes: the insert passes its check and meets the index only once
        // the record is written.
        std::vector<IndexColumn> code;
        code.emplace_back("code", -1, 1);
        ASSERT_TRUE(other.CreateIndex("t", -1, "t_code2", -1, 1, code)) << other.ErrorText().Text();
        EXPECT_FALSE(Insert(table, {{"id", "9"}, {"code", "B"}}));
        EXPECT_STREQ(table->ErrorText().Text(), "Inserted record violates UNIQUE constraint on index 't_code2'");
    }
    SqlHost::Get().Close(otherProgram);
    std::vector<DbfField> fields;
    std::vector<DbfRecord> records;
    ASSERT_TRUE(ReadDbf(Bytes("t.dbf"), &fields, &records));
    std::vector<std::string> live;
    for (const DbfRecord& r : records)
        if (!r.deleted) live.push_back(r.values.at("ID") + " " + r.values.at("CODE"));
    EXPECT_EQ(live, (std::vector<std::string>{"7 a", "8 b"}));
    EXPECT_TRUE(IndexesAgree("t"));
}

TEST_F(SqlMaintenanceTest, NumericKeysSortByValueWhenPadded) {
    for (const char* id : {"10", "9", "100", "0", "55"})
        ASSERT_TRUE(Insert(table, {{"id", id}, {"code", id}}));
    std::vector<IndexEntry> entries;
    ASSERT_TRUE(CheckIndex(Bytes("t_id.vrx"), &entries));
    std::vector<std::string> keys;
    for (const IndexEntry& e : entries)
        keys.push_back(e.key);
    EXPECT_EQ(keys, (std::vector<std::string>{"000000", "000009", "000010", "000055", "000100"}));
    ASSERT_TRUE(CheckIndex(Bytes("t_code.vrx"), &entries));
    EXPECT_EQ(entries.front().key, "0:000000");
    EXPECT_EQ(entries.back().key, "9:000009");
}

// Queued changes are applied when the statement ends, a failed one included:
// an UPDATE failing at its third row has rewritten the first two.
TEST_F(SqlMaintenanceTest, FailedStatementsKeepDataAndIndexesInStep) {
    for (int i = 1; i <= 4; ++i)
        ASSERT_TRUE(Insert(table, {{"id", std::to_string(i)}, {"code", "c"}}));
    ASSERT_TRUE(Update(1, {{"id", "11"}}));
    ASSERT_TRUE(Update(2, {{"id", "12"}}));
    EXPECT_FALSE(Update(3, {{"id", "4"}}));
    ASSERT_TRUE(table->ApplyPending()) << table->ErrorText().Text();
    EXPECT_TRUE(IndexesAgree("t"));
    // Another request takes a key between the check and the index step: the
    // insert takes its keys out again and marks its record deleted.
    Schema other(program);
    ASSERT_TRUE(other.Open("db.dbf", -1));
    Table* theirs = other.GetTable("t");
    ASSERT_NE(theirs, nullptr);
    ASSERT_TRUE(Insert(theirs, {{"id", "50"}, {"code", "z"}}));
    EXPECT_FALSE(Insert(table, {{"id", "50"}, {"code", "other"}}));
    EXPECT_STREQ(table->ErrorText().Text(), "Inserted record violates UNIQUE constraint on index 't_id'");
    // A write that fails in the index step after the checks.
    std::vector<IndexEntry> before;
    ASSERT_TRUE(CheckIndex(Bytes("t_id.vrx"), &before));
    schema->Files().Faults().Reset();
    schema->Files().Faults().failWrite = 5; // the record, its header, t_code's page and header, t_id's page
    EXPECT_FALSE(Insert(table, {{"id", "60"}, {"code", "y"}}));
    schema->Files().Faults().Reset();
    EXPECT_STREQ(table->ErrorText().Text(), "Error writing to 't_id.vrx': Injected failure");
    EXPECT_TRUE(IndexesAgree("t"));
    // An update whose index step cannot be applied puts the old key and the
    // old values back.
    ASSERT_TRUE(Update(4, {{"id", "40"}, {"code", "new"}}));
    schema->Files().Faults().Reset();
    schema->Files().Faults().failWrite = 3; // t_id's delete, then t_code's fails
    EXPECT_FALSE(table->ApplyPending());
    schema->Files().Faults().Reset();
    ASSERT_TRUE(table->Data().ReadRecord(4));
    EXPECT_STREQ(table->Data().Field("ID")->Value(), "4");
    EXPECT_STREQ(table->Data().Field("CODE")->Value(), "c");
    EXPECT_TRUE(IndexesAgree("t"));
}

// An index a killed writer left marked as half changed: the next insert,
// update or delete makes it anew from the records and succeeds.
TEST_F(SqlMaintenanceTest, AnIndexLeftMarkedIsMadeAnewByTheNextChange) {
    for (int i = 1; i <= 30; ++i)
        ASSERT_TRUE(Insert(table, {{"id", std::to_string(i)}, {"code", "c" + std::to_string(i % 7)}}));
    auto flags = [&] {
        std::string bytes = Bytes("t_code.vrx");
        return bytes.size() > 26 ? static_cast<uint8_t>(bytes[26]) : 0xff;
    };
    auto mark = [&] {
        std::fstream file(Path("t_code.vrx"), std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(26);
        file.put(static_cast<char>(flags() | 0x40)); // the changing mark, high byte of the flags
    };
    struct Case {
        const char* name;
        std::function<int()> change;
    } cases[] = {
        {"insert", [&] { return Insert(table, {{"id", "100"}, {"code", "new"}}); }},
        {"update", [&] { return Update(3, {{"id", "103"}, {"code", "moved"}}) && table->ApplyPending(); }},
        {"delete", [&] { return Delete(5) && table->ApplyPending(); }},
    };
    for (const Case& c : cases) {
        mark();
        int32_t record = 0, found = 0;
        // Walks are refused meanwhile, with the reason.
        ASSERT_NE(table->FindIndex("t_code"), nullptr);
        KPZIndexFile& file = table->FindIndex("t_code")->File();
        EXPECT_FALSE(file.Find("C1", 2, 0, &record, &found, 1)) << c.name;
        EXPECT_NE(file.ErrorText().Find(kIndexInterrupted), -1) << c.name << ": " << file.ErrorText().Text();
        EXPECT_TRUE(c.change()) << c.name << ": " << table->ErrorText().Text();
        EXPECT_EQ(flags() & 0x40, 0) << c.name;
        EXPECT_TRUE(IndexesAgree("t")) << c.name;
    }
}

// Seeded runs of inserts, updates and deletes against a model, with the
// k-th read, write or lock failing: whatever each statement reports, the
// files, their indexes and the model agree afterwards.
TEST_F(SqlMaintenanceTest, SeededRunsAgreeWithAModelUnderFaults) {
    std::mt19937 random(20261209);
    std::map<int32_t, std::pair<int, std::string>> model; // record -> (id, code)
    int32_t records = 0;
    for (int round = 0; round < 150; ++round) {
        VornSQLFaults& faults = schema->Files().Faults();
        faults.Reset();
        int kind = static_cast<int>(random() % 4);
        int32_t k = 1 + static_cast<int32_t>(random() % 6);
        if (kind == 1) faults.failRead = k;
        if (kind == 2) faults.failWrite = k;
        if (kind == 3) faults.failLock = k;
        int op = static_cast<int>(random() % 3);
        int id = static_cast<int>(random() % 40);
        std::string code = std::string(1, static_cast<char>('a' + random() % 5));
        int32_t target =
            model.empty() ? 0 : std::next(model.begin(), static_cast<long>(random() % model.size()))->first;
        if (op == 0 || target == 0) {
            bool clash = false;
            for (const auto& [r, row] : model)
                clash |= row.first == id || (row.second == code && row.first == id);
            int ok = Insert(table, {{"id", std::to_string(id)}, {"code", code}});
            table->Data().ReadHeader();
            if (table->Data().RecordCount() > records) {
                records = table->Data().RecordCount();
                if (ok) model[records] = {id, code};
            }
            if (ok) {
                EXPECT_FALSE(clash) << "round " << round;
            } else if (!clash && kind == 0) {
                ADD_FAILURE() << "round " << round << ": " << table->ErrorText().Text();
            }
        } else if (op == 1) {
            bool clash = false;
            for (const auto& [r, row] : model)
                clash |= r != target && row.first == id;
            int ok = Update(target, {{"id", std::to_string(id)}, {"code", code}});
            int applied = ok ? table->ApplyPending() : (table->ApplyPending(), 0);
            if (ok && applied) model[target] = {id, code};
            if (ok) {
                EXPECT_FALSE(clash) << "round " << round;
            }
        } else {
            int ok = Delete(target);
            int applied = table->ApplyPending();
            if (ok && applied) model.erase(target);
        }
        faults.Reset();
        // The model follows the file where a statement failed half-way.
        ASSERT_TRUE(table->Data().ReadHeader());
        for (int32_t r = 1; r <= table->Data().RecordCount(); ++r) {
            ASSERT_TRUE(table->Data().ReadRecord(r));
            if (table->Data().Deleted()) {
                model.erase(r);
            } else {
                model[r] = {std::atoi(table->Data().Field("ID")->Value()),
                            table->Data().Field("CODE")->Value()};
            }
        }
        ASSERT_TRUE(IndexesAgree("t")) << "round " << round << " op " << op << " fault " << kind << "@" << k;
    }
    std::set<int> ids;
    for (const auto& [r, row] : model)
        EXPECT_TRUE(ids.insert(row.first).second) << "id " << row.first << " twice";
    std::string read = Python(R"(
import sys, dbf
t = dbf.Table(sys.argv[1] + '/t.dbf')
t.open()
print(sum(1 for r in t if not dbf.is_deleted(r)))
t.close()
)");
    EXPECT_EQ(read, std::to_string(model.size()) + "\n");
}

} // namespace
} // namespace vorn::test
