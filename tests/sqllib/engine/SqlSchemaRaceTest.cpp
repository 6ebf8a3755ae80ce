// Schema statements of one table beside each other in two processes: CREATE
// and DROP INDEX, ALTER TABLE and pack each wait for the others and succeed,
// and a dropped index leaves no file behind whatever rebuild ran beside it.
#include <filesystem>
#include <set>
#include <unistd.h>
#include <string>
#include <vector>

#include "tests/sqllib/engine/SqlEngineSupport.h"

namespace vorn::test {
namespace {

class SqlSchemaRaceTest : public SqlEngineTest {
  protected:
    void SetUp() override {
        SqlEngineTest::SetUp();
        ASSERT_TRUE(CreateTable("t1", {{"id", 'N', 8, 0}, {"name", 'C', 12, 0}}));
        ASSERT_TRUE(CreateIndex("t1", "t1_id", true, {"id"}));
        for (int i = 1; i <= 300; ++i)
            ASSERT_EQ(Exec("INSERT INTO t1 (id, name) VALUES (" + std::to_string(i) + ", 'n" +
                           std::to_string(i % 17) + "')"),
                      "");
        // Tables this request keeps open would hold up the other's rebuilds.
        schema->DropIdleTables();
        schema->EmptyCache();
    }

    static std::string Outcome(int ok, Schema& schema) { return ok ? "" : schema.ErrorText().Text(); }

    // The k-th of a round of schema statements on t1: an index made and
    // dropped, a column added and dropped (names of the process's own).
    static std::string Change(int k, Schema& schema, const char* own) {
        std::string name = own + std::to_string(k / 4), column = std::string(own) + "extra";
        ColumnDefinitionList added;
        Columns(added, {{column.c_str(), 'N', 3, 0}});
        switch (k % 4) {
        case 0:
            return Outcome(schema.CreateIndex("t1", -1, name.c_str(), -1, 0, {IndexColumn("name", -1, 1)}),
                           schema);
        case 1:
            return Outcome(schema.AlterTableAdd("t1", -1, added), schema);
        case 2:
            return Outcome(schema.DropIndex(name.c_str(), -1), schema);
        default:
            return Outcome(schema.AlterTableDrop("t1", -1, column.c_str(), -1), schema);
        }
    }

    // The index files in the folder and the indexes the catalog lists agree,
    // and every index holds exactly the live rows' keys.
    void ExpectFilesAsListed(const char* when) {
        std::vector<DbfField> fields;
        std::vector<DbfRecord> rows;
        ASSERT_TRUE(ReadDbf(Bytes("db.dbf"), &fields, &rows));
        std::set<std::string> listed, found;
        for (const DbfRecord& row : rows)
            if (!row.deleted && row.values.at("TYPE") == "I") listed.insert(row.values.at("FILE"));
        for (const auto& entry : std::filesystem::directory_iterator(root)) {
            std::string file = entry.path().filename().string();
            if (file.size() > 4 && file.substr(file.size() - 4) == ".vrx" && file.rfind("db", 0) != 0)
                found.insert(file);
        }
        EXPECT_EQ(found, listed) << when;
        EXPECT_TRUE(IndexesAgree("t1")) << when;
    }
};

// One process makes and drops indexes, the other alters the table (and then
// packs it). Before, a rebuild that listed an index before its drop put the
// index's new file in place after it: the DROP succeeded, the file stayed,
// and the name could be neither made nor dropped again; ALTER failed with
// "Error locking 'ixN.vrx' for write" when the file went meanwhile.
TEST_F(SqlSchemaRaceTest, IndexesMadeAndDroppedBesideRebuildsStayAsTheCatalogSays) {
    for (bool pack : {false, true}) {
        const char* prefix = pack ? "p" : "a";
        Beside other(root, [&](int k, Schema& theirs) {
            // Each statement as a request of its own makes it.
            theirs.EmptyCache();
            std::string name = std::string(prefix) + "x";
            return Outcome(k % 2 == 0 ? theirs.CreateIndex("t1", -1, name.c_str(), -1, 0,
                                                            {IndexColumn("name", -1, 1)})
                                      : theirs.DropIndex(name.c_str(), -1),
                           theirs);
        });
        std::vector<std::string> mine;
        for (int k = 0; k < 40; ++k) {
            ColumnDefinitionList added;
            Columns(added, {{"extra", 'N', 3, 0}});
            int ok = pack ? schema->Pack()
                          : k % 2 == 0 ? schema->AlterTableAdd("t1", -1, added)
                                       : schema->AlterTableDrop("t1", -1, "extra", -1);
            mine.push_back(Outcome(ok, *schema));
            schema->DropIdleTables();
            schema->EmptyCache();
            // Room for the other's catalog rows: a pack holds the catalog throughout.
            usleep(2000);
        }
        std::vector<std::string> theirs = other.Stop();
        for (size_t i = 0; i < mine.size(); ++i) EXPECT_EQ(mine[i], "") << prefix << " rebuild " << i;
        for (size_t i = 0; i < theirs.size(); ++i) EXPECT_EQ(theirs[i], "") << prefix << " index change " << i;
        EXPECT_GT(theirs.size(), 4u) << prefix;
        ExpectFilesAsListed(prefix);
        // The name is free or taken as the catalog says, and can be made and dropped again.
        std::string name = std::string(prefix) + "x";
        schema->EmptyCache();
        if (theirs.size() % 2 == 1) {
            EXPECT_TRUE(schema->DropIndex(name.c_str(), -1)) << schema->ErrorText().Text();
        }
        EXPECT_TRUE(CreateIndex("t1", name.c_str(), false, {"name"})) << schema->ErrorText().Text();
        EXPECT_TRUE(schema->DropIndex(name.c_str(), -1)) << schema->ErrorText().Text();
        EXPECT_FALSE(Exists(name + ".vrx")) << prefix;
    }
}

// Two processes run rounds of CREATE INDEX, ALTER TABLE ADD, DROP INDEX and
// ALTER TABLE DROP on one table, one of them packing between its rounds:
// each statement waits for the others and succeeds.
TEST_F(SqlSchemaRaceTest, SchemaStatementsOfOneTableWaitForEachOtherAndSucceed) {
    Beside other(root, [&](int k, Schema& theirs) {
        theirs.EmptyCache();
        if (k % 5 == 4) return Outcome(theirs.Pack(), theirs);
        return Change(k - k / 5, theirs, "o");
    });
    std::vector<std::string> mine;
    for (int k = 0; k < 48; ++k) {
        mine.push_back(Change(k, *schema, "m"));
        schema->DropIdleTables();
        schema->EmptyCache();
    }
    std::vector<std::string> theirs = other.Stop();
    for (size_t i = 0; i < mine.size(); ++i) EXPECT_EQ(mine[i], "") << "mine " << i;
    for (size_t i = 0; i < theirs.size(); ++i) EXPECT_EQ(theirs[i], "") << "theirs " << i;
    EXPECT_GT(theirs.size(), 8u);
    ExpectFilesAsListed("after both");
}

} // namespace
} // namespace vorn::test
