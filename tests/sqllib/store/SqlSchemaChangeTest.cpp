// Schema changes and pack: ALTER TABLE and pack rebuild under temporary names
// and leave one whole set of files whichever step fails; and requests in
// threads and another process writing a table while it is packed, altered
// and indexed lose nothing reported done.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <regex>
#include <thread>

#include "tests/sqllib/store/SqlStoreSupport.h"

namespace vorn::test {
namespace {

class SqlSchemaChangeTest : public SqlStoreTest {
  protected:
    void SetUp() override {
        SqlStoreTest::SetUp();
        CreateDatabase();
        ASSERT_TRUE(CreateTable("t", {{"id", 'N', 8, 0}, {"name", 'C', 12, 0}, {"note", 'M', 10, 0}}))
            << schema->ErrorText().Text();
        ASSERT_TRUE(CreateIndex("t", "t_id", true, {"id"})) << schema->ErrorText().Text();
        ASSERT_TRUE(CreateIndex("t", "t_name", false, {"name"}, false)) << schema->ErrorText().Text();
        Table* t = schema->GetTable("t");
        for (int i = 1; i <= 30; ++i)
            ASSERT_TRUE(Insert(t, {{"id", std::to_string(i)},
                                   {"name", "n" + std::to_string(i % 7)},
                                   {"note", i % 3 ? "memo " + std::to_string(i) : ""}}))
                << t->ErrorText().Text();
        for (int r : {3, 10, 11, 30}) {
            ASSERT_TRUE(t->Data().ReadRecord(r));
            ASSERT_TRUE(t->Delete());
        }
        ASSERT_TRUE(t->ApplyPending());
        ASSERT_TRUE(IndexesAgree("t"));
        original = Snapshot();
    }
    std::map<std::string, std::string> Snapshot() const {
        std::map<std::string, std::string> bytes;
        for (const std::string& name : Files())
            if (name.rfind("t", 0) == 0) bytes[name] = Bytes(name);
        return bytes;
    }
    std::string Dump() {
        return Python(R"(
import sys, dbfread
for r in dbfread.DBF(sys.argv[1] + '/t.dbf', load=True):
    print(*[r[k] for k in r])
)");
    }
    std::map<std::string, std::string> original;
};

TEST_F(SqlSchemaChangeTest, AlterAndPackKeepOneWholeSetAtEveryFailure) {
    std::string before = Dump();
    // Each ALTER adds a column of its own.
    auto alter = [&](int k) {
        ColumnDefinitionList added;
        std::string name = "E" + std::to_string(k);
        added.Append(new ColumnDefinition(name.c_str(), -1, kXBaseNumeric, 4, 0));
        return schema->AlterTableAdd("t", -1, added);
    };
    struct Step {
        const char* what;
        std::function<int(int)> run;
    } steps[] = {
        {"alter add", alter},
        {"pack", [&](int) { return schema->Pack(); }},
    };
    for (const Step& step : steps) {
        // Renames: the data, the memo, then each index.
        for (int k = 1; k <= 4; ++k) {
            std::map<std::string, std::string> set = Snapshot();
            schema->Files().Faults().Reset();
            schema->Files().Faults().failRename = k;
            EXPECT_FALSE(step.run(k)) << step.what << " " << k;
            schema->Files().Faults().Reset();
            std::string message = schema->ErrorText().Text();
            if (k == 1) {
                EXPECT_NE(message.find("Failed to rename datafile 't.dbf' for table 't': Injected failure"),
                          std::string::npos)
                    << message;
                EXPECT_EQ(Snapshot(), set) << step.what << ": the old set stays, the temporaries go";
                continue;
            }
            // The new set is whole: what is not in place is named.
            std::smatch kept;
            std::string rest = message;
            int named = 0;
            while (std::regex_search(rest, kept, std::regex("'(t[^' ]*\\.[^' ]*)'"))) {
                std::string temporary = kept[1];
                rest = kept.suffix();
                if (temporary == "t.dbf" || temporary == "t.dbt" || temporary == "t_id.vrx" ||
                    temporary == "t_name.vrx")
                    continue;
                ASSERT_TRUE(Exists(temporary)) << message;
                std::string target = temporary.substr(0, temporary.find('.') + 4);
                std::filesystem::rename(Path(temporary), Path(target));
                ++named;
            }
            EXPECT_EQ(named, 5 - k) << message;
            EXPECT_TRUE(IndexesAgree("t")) << step.what << " " << k;
        }
        schema->EmptyCache();
        ASSERT_TRUE(step.run(0)) << schema->ErrorText().Text();
        EXPECT_TRUE(IndexesAgree("t"));
    }
    // Nothing left behind; the rows read back by an independent reader.
    EXPECT_EQ(Files(), (std::vector<std::string>{"db.dbf", "db.vrx", "dbi.vrx", "t.dbf", "t.dbt", "t_id.vrx",
                                                 "t_name.vrx"}));
    std::string after = Dump();
    EXPECT_EQ(std::count(after.begin(), after.end(), '\n'), 26);
    EXPECT_NE(after.find("2 n2 memo 2 None None None None\n"), std::string::npos) << after;
    EXPECT_EQ(before.find("3 n3 None\n"), std::string::npos);
    // A write failing while the copy is made leaves the old set.
    std::map<std::string, std::string> set = Snapshot();
    for (int k : {1, 5, 40}) {
        schema->Files().Faults().Reset();
        schema->Files().Faults().failWrite = k;
        EXPECT_FALSE(schema->Pack());
        schema->Files().Faults().Reset();
        EXPECT_EQ(Snapshot(), set) << k << ": " << schema->ErrorText().Text();
    }
}

// A CREATE TABLE failing at any write or rename leaves neither a file nor a
// row (before the mend a failed write left the data file, which every later
// CREATE TABLE of the name then reported), and then succeeds.
TEST_F(SqlSchemaChangeTest, ACreateTableFailingAtAnyStepLeavesNothing) {
    ColumnDefinitionList columns;
    Columns(columns, {{"id", 'N', 4, 0}, {"note", 'M', 10, 0}});
    const std::vector<std::string> before = Files();
    int failed = 0;
    for (int32_t VornSQLFaults::*target : {&VornSQLFaults::failRename, &VornSQLFaults::failWrite}) {
        for (int k = 1;; ++k) {
            ASSERT_LT(k, 60);
            schema->Files().Faults().Reset();
            schema->Files().Faults().*target = k;
            int made = schema->CreateTable("n", -1, columns);
            schema->Files().Faults().Reset();
            if (made) {
                ASSERT_TRUE(schema->DropTable("n", -1)) << schema->ErrorText().Text();
                break;
            }
            ++failed;
            EXPECT_EQ(Files(), before) << k << ": " << schema->ErrorText().Text();
            EXPECT_FALSE(schema->FindTableRow("n", -1)) << k;
        }
    }
    EXPECT_GE(failed, 5);
    EXPECT_EQ(Files(), before);
}

TEST_F(SqlSchemaChangeTest, DroppingColumnsAndTables) {
    ASSERT_TRUE(schema->AlterTableDrop("t", -1, "note", -1)) << schema->ErrorText().Text();
    EXPECT_FALSE(Exists("t.dbt"));
    EXPECT_EQ(Bytes("t.dbf")[0], '\x03');
    EXPECT_TRUE(IndexesAgree("t"));
    EXPECT_EQ(Dump().substr(0, 6), "1 n1\n2");
    ASSERT_TRUE(schema->DropIndex("t_name", -1)) << schema->ErrorText().Text();
    ASSERT_TRUE(schema->AlterTableDrop("t", -1, "NAME", -1)) << schema->ErrorText().Text();
    EXPECT_EQ(Dump().substr(0, 4), "1\n2\n");
    schema->Files().Faults().failWrite = 1;
    ASSERT_TRUE(schema->Pack());
    ASSERT_TRUE(schema->DropTable("t", -1)) << schema->ErrorText().Text();
    EXPECT_EQ(Files(), (std::vector<std::string>{"db.dbf", "db.vrx", "dbi.vrx"}));
    ASSERT_TRUE(schema->OpenLog("sql.log", -1));
    ASSERT_TRUE(schema->Pack());
    EXPECT_EQ(Bytes("sql.log"), "Starting Packing\nPacking done\n");
}

// One writer: requests of five inserts each, every one with a program and a
// Schema of its own, as a web request has, with ids from start. Returns the
// ids reported done.
std::vector<int> Write(const std::string& root, int start, int count) {
    std::vector<int> done;
    for (int i = 0; i < count;) {
        VornProgram* program = SqlHost::Get().Open(root);
        if (!program) return done;
        {
            Schema schema(program);
            if (!schema.Open("db.dbf", -1)) break;
            for (int n = 0; n < 5 && i < count; ++n, ++i) {
                Table* table = schema.GetTable("t");
                if (!table) break;
                int id = start + i;
                for (int32_t f = 0; f < table->Data().FieldCount(); ++f)
                    table->Data().FieldAt(f)->SetValue("", 0);
                std::string text = std::to_string(id);
                table->Data().Field("id")->SetValue(text.data(), static_cast<int32_t>(text.size()));
                table->Data().Field("name")->SetValue("w", 1);
                if (table->Insert())
                    done.push_back(id);
                else
                    schema.EvictTable("t", -1);
            }
        }
        SqlHost::Get().Close(program);
    }
    return done;
}

TEST_F(SqlSchemaChangeTest, WritersLoseNothingWhilePackedAlteredAndIndexed) {
    int channel[2];
    ASSERT_EQ(pipe(channel), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(channel[0]);
        std::vector<int> done = Write(root, 100000, 100);
        for (int id : done)
            (void)!write(channel[1], &id, sizeof id);
        close(channel[1]);
        _exit(0);
    }
    close(channel[1]);
    std::vector<int> threadDone;
    std::thread writer([&] { threadDone = Write(root, 200000, 100); });
    ColumnDefinitionList added;
    Columns(added, {{"extra", 'C', 3, 0}});
    // A change may find the table held by the writer of this process and
    // give up when its rename waited too long: it then leaves the old set.
    auto tolerate = [&](int ok) {
        if (!ok) {
            EXPECT_NE(std::string(schema->ErrorText().Text()).find("Timed out waiting to rename"),
                      std::string::npos)
                << schema->ErrorText().Text();
        }
        schema->EmptyCache();
    };
    tolerate(schema->Pack());
    tolerate(schema->AlterTableAdd("t", -1, added));
    EXPECT_TRUE(CreateIndex("t", "t_both", false, {"name", "id"})) << schema->ErrorText().Text();
    tolerate(schema->Pack());
    writer.join();
    std::vector<int> childDone;
    int id;
    while (read(channel[0], &id, sizeof id) == sizeof id)
        childDone.push_back(id);
    close(channel[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_GT(childDone.size(), 0u);
    EXPECT_GT(threadDone.size(), 0u);
    schema->EmptyCache();
    ASSERT_TRUE(schema->Pack()) << schema->ErrorText().Text();

    std::vector<DbfField> fields;
    std::vector<DbfRecord> records;
    ASSERT_TRUE(ReadDbf(Bytes("t.dbf"), &fields, &records));
    std::map<int, int> present;
    for (const DbfRecord& r : records)
        if (!r.deleted) ++present[std::atoi(r.values.at("ID").c_str())];
    for (const std::vector<int>* done : {&childDone, &threadDone})
        for (int written : *done)
            EXPECT_EQ(present[written], 1) << written;
    for (const auto& [written, times] : present)
        EXPECT_EQ(times, 1) << written;
    EXPECT_TRUE(IndexesAgree("t"));
}

// An update whose indexes are reopened after its write (the catalog changed
// since they were opened) still moves its entries from the old keys.
TEST_F(SqlSchemaChangeTest, AnUpdateWhoseIndexesAreReopenedMovesItsEntries) {
    Table* t = schema->GetTable("t");
    ASSERT_TRUE(CreateTable("other", {{"id", 'N', 8, 0}}));
    ASSERT_TRUE(t->Data().ReadRecord(1));
    Set(t, {{"name", "moved"}});
    ASSERT_TRUE(t->Update()) << t->ErrorText().Text();
    ASSERT_TRUE(t->ApplyPending()) << t->ErrorText().Text();
    EXPECT_TRUE(IndexesAgree("t"));
}

// A writer that must reopen its indexes (an index came since it opened them)
// while a pack holds the catalog: neither waits for the other. The writer is
// held at the catalog's index until the pack has taken the catalog.
TEST_F(SqlSchemaChangeTest, APackAndAWriterReopeningItsIndexesNeverWaitForEachOther) {
    int ready[2], go[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(go), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        VornProgram* own = SqlHost::Get().Open(root);
        int ok = 0;
        {
            Schema writer(own);
            Table* t = writer.Open("db.dbf", -1) ? writer.GetTable("t") : nullptr;
            ok = t && Insert(t, {{"id", "500"}, {"name", "a"}});
            (void)!write(ready[1], &ok, sizeof ok);
            char c;
            (void)!read(go[0], &c, 1);
            ok = t && Insert(t, {{"id", "501"}, {"name", "b"}});
            char message[160] = {};
            if (!ok && t) std::snprintf(message, sizeof message, "%s", t->ErrorText().Text());
            (void)!write(ready[1], &ok, sizeof ok);
            (void)!write(ready[1], message, sizeof message);
        }
        SqlHost::Get().Close(own);
        _exit(0);
    }
    int first = 0;
    ASSERT_EQ(read(ready[0], &first, sizeof first), static_cast<ssize_t>(sizeof first));
    ASSERT_TRUE(first);
    ASSERT_TRUE(CreateIndex("t", "t_both", false, {"name", "id"})) << schema->ErrorText().Text();
    VornProgram* holding = SqlHost::Get().Open(root);
    {
        Schema holder(holding);
        ASSERT_TRUE(holder.Open("db.dbf", -1));
        XBaseStore* index = holder.CatalogIndex1()->File().Store();
        ASSERT_TRUE(index->Lock(true, 0, kIndexHeaderSize));
        (void)!write(go[1], "g", 1);
        usleep(200000);
        schema->EmptyCache();
        int packed = -1;
        std::thread packer([&] { packed = schema->Pack(); });
        usleep(200000);
        index->Unlock(0, kIndexHeaderSize);
        packer.join();
        EXPECT_EQ(packed, 1) << schema->ErrorText().Text();
    }
    SqlHost::Get().Close(holding);
    int second = -1;
    char message[160] = {};
    ASSERT_EQ(read(ready[0], &second, sizeof second), static_cast<ssize_t>(sizeof second));
    ASSERT_EQ(read(ready[0], message, sizeof message), static_cast<ssize_t>(sizeof message));
    // Neither waited for the other until its time ran out.
    EXPECT_EQ(std::strstr(message, "Timed out"), nullptr) << message;
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    // The insert that met the pack may fail (the table it had open was
    // replaced), but then without a trace.
    std::vector<DbfField> fields;
    std::vector<DbfRecord> records;
    ASSERT_TRUE(ReadDbf(Bytes("t.dbf"), &fields, &records));
    int rows = 0;
    for (const DbfRecord& r : records)
        if (!r.deleted && r.values.at("ID") == "501") ++rows;
    EXPECT_EQ(rows, second ? 1 : 0);
    EXPECT_TRUE(IndexesAgree("t"));
}

} // namespace
} // namespace vorn::test
