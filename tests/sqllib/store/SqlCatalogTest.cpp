// The catalog: its files byte for byte, the messages of the schema changes,
// rows reused after a drop, file placement, the log and the allocation
// tracker.
#include <cstring>
#include <random>

#include "sqllib/store/AllocationTracker.h"
#include "tests/sqllib/store/SqlStoreSupport.h"

namespace vorn::test {
namespace {

std::string Hex(const std::string& bytes, size_t from, size_t count) {
    std::string out;
    char b[4];
    for (size_t i = from; i < from + count && i < bytes.size(); ++i) {
        std::snprintf(b, sizeof b, "%02X ", static_cast<uint8_t>(bytes[i]));
        out += b;
    }
    return out;
}

TEST_F(SqlStoreTest, NewCatalogFilesByteForByte) {
    CreateDatabase();
    EXPECT_EQ(Files(), (std::vector<std::string>{"db.dbf", "db.vrx", "dbi.vrx"}));
    std::string dbf = Bytes("db.dbf");
    ASSERT_EQ(dbf.size(), 226u);
    EXPECT_EQ(Hex(dbf, 0, 1) + Hex(dbf, 4, 8), "03 00 00 00 00 E1 00 91 02 ");
    const char* expected[][3] = {{"TYPE", "C", "1"},   {"TABLE", "C", "64"},    {"INDEX", "C", "64"},
                                 {"FILE", "C", "254"}, {"COLUMNS", "C", "254"}, {"INDEXFLAGS", "N", "19"}};
    for (int i = 0; i < 6; ++i) {
        size_t at = 32 + 32 * static_cast<size_t>(i);
        EXPECT_EQ(std::string(dbf.data() + at), expected[i][0]);
        EXPECT_EQ(dbf[at + 11], expected[i][1][0]);
        EXPECT_EQ(static_cast<uint8_t>(dbf[at + 16]), std::atoi(expected[i][2]));
    }
    EXPECT_EQ(Hex(dbf, 224, 2), "0D 1A ");
    struct {
        const char* file;
        const char* flags;
        const char* expression;
    } indexes[] = {{"db.vrx", "01 00 00 00 ", "toupper( d.TYPE $ ':' $ d.TABLE $ ':' $ d.INDEX )"},
                   {"dbi.vrx", "00 00 00 00 ", "toupper( d.INDEX )"}};
    for (const auto& index : indexes) {
        std::string vrx = Bytes(index.file);
        ASSERT_EQ(vrx.size(), 2048u) << index.file;
        EXPECT_EQ(Hex(vrx, 0, 23), "4B 50 5A 49 03 00 00 00 00 02 00 00 00 01 00 00 00 08 00 00 04 6C 00 ");
        EXPECT_EQ(Hex(vrx, 23, 4), index.flags);
        EXPECT_EQ(std::string(vrx.data() + 27), index.expression);
        EXPECT_EQ(vrx.substr(1024), std::string(1024, '\0'));
    }
    // Opened again, by any program.
    Schema again(program);
    ASSERT_TRUE(again.Open("db.dbf", -1)) << again.ErrorText().Text();
    EXPECT_EQ(again.Index1Path().Text(), std::string("db.vrx"));
}

TEST_F(SqlStoreTest, CatalogPathsAndOpenFailures) {
    struct Case {
        const char* path;
        const char* index1;
        const char* index2;
        const char* directory;
    } cases[] = {{"data/db.dbf", "data/db.vrx", "data/dbi.vrx", "data/"},
                 {"plain", "plain.vrx", "plaini.vrx", ""},
                 {"a.b/cat", "a.b/cat.vrx", "a.b/cati.vrx", "a.b/"}};
    std::filesystem::create_directories(Path("data"));
    std::filesystem::create_directories(Path("a.b"));
    for (const Case& c : cases) {
        Schema s(program);
        ASSERT_TRUE(s.Create(c.path, -1)) << s.ErrorText().Text();
        EXPECT_EQ(s.Index1Path().Text(), std::string(c.index1));
        EXPECT_EQ(s.Index2Path().Text(), std::string(c.index2));
        EXPECT_EQ(s.Directory().Text(), std::string(c.directory));
        EXPECT_TRUE(Exists(c.index2));
    }
    // A table without INDEXFLAGS is no catalog; missing files name the file.
    Schema s(program);
    {
        VornSQLFiles files(program);
        VornSQLTable plain(&files);
        List<XBaseField> fields(true);
        fields.Insert(new XBaseField(nullptr, "TYPE", kXBaseCharacter, 1, 0), kListTail);
        ASSERT_TRUE(plain.Create("other.dbf", -1, fields));
    }
    std::filesystem::copy_file(Path("plain.vrx"), Path("other.vrx"));
    std::filesystem::copy_file(Path("plaini.vrx"), Path("otheri.vrx"));
    EXPECT_FALSE(s.Open("other.dbf", -1));
    EXPECT_STREQ(s.ErrorText().Text(), "File 'other.dbf' is not a valid VornSQL schema database");
    EXPECT_FALSE(s.Open("missing.dbf", -1));
    EXPECT_EQ(std::string(s.ErrorText().Text())
                  .rfind("Error opening schema database: Error opening 'missing.dbf': ", 0),
              0u)
        << s.ErrorText().Text();
    std::filesystem::remove(Path("plaini.vrx"));
    EXPECT_FALSE(s.Open("plain", -1));
    EXPECT_EQ(std::string(s.ErrorText().Text())
                  .rfind("Error opening schema index: Error opening 'plaini.vrx': ", 0),
              0u)
        << s.ErrorText().Text();
    // Hostile catalog bytes: a clear error and nothing written.
    std::ofstream(Path("bad.dbf"), std::ios::binary)
        << std::string("\x30garbage", 8) << std::string(100, 'x');
    std::string before = Bytes("bad.dbf");
    EXPECT_FALSE(s.Open("bad.dbf", -1));
    EXPECT_STREQ(s.ErrorText().Text(),
                 "Error opening schema database: 'bad.dbf': Unsupported xBase file version (0x30)");
    EXPECT_EQ(Bytes("bad.dbf"), before);
    std::ofstream(Path("db2.dbf"), std::ios::binary) << Bytes("plain");
    std::ofstream(Path("db2.vrx"), std::ios::binary) << "ABCD" << std::string(2044, '\0');
    EXPECT_FALSE(s.Open("db2.dbf", -1));
    EXPECT_STREQ(s.ErrorText().Text(),
                 "Error opening schema index: 'db2.vrx' is either corrupt or is not a valid index file");
}

TEST_F(SqlStoreTest, SchemaChangeMessages) {
    CreateDatabase();
    ASSERT_TRUE(CreateTable("Orders", {{"id", 'N', 10, 0}, {"name", 'C', 12, 0}, {"note", 'M', 10, 0}}))
        << schema->ErrorText().Text();
    ASSERT_TRUE(CreateIndex("orders", "ByName", false, {"name"})) << schema->ErrorText().Text();
    ColumnDefinitionList twice, existing;
    Columns(twice, {{"a", 'C', 1, 0}, {"b", 'C', 1, 0}, {"A", 'N', 2, 0}});
    Columns(existing, {{"Name", 'C', 3, 0}});
    std::vector<IndexColumn> mixed = {{"id", -1, 1}, {"name", -1, 0}};
    std::vector<IndexColumn> unknown = {{"zz", -1, 1}};
    struct Case {
        std::function<int()> run;
        const char* message;
    } cases[] = {
        {[&] {
             return CreateTable("ORDERS", {{"x", 'C', 1, 0}});
         },
         "Table 'ORDERS' already exists"},
        {[&] { return schema->CreateTable("t2", -1, twice); },
         "A field named 'A' already exists in table 't2'"},
        {[&] { return schema->AlterTableAdd("orders", -1, existing); },
         "A field named 'Name' already exists in table 'orders'"},
        {[&] { return schema->AlterTableAdd("nope", -1, existing); }, "Table 'nope' does not exist"},
        {[&] { return schema->AlterTableDrop("orders", -1, "zz", -1); },
         "A field named 'zz' does not exist in table 'orders'"},
        {[&] { return schema->AlterTableDrop("orders", -1, "NAME", -1); },
         "Column 'NAME' is used on index 'ByName'"},
        {[&] { return CreateIndex("orders", "BYNAME", true, {"id"}); }, "Index 'BYNAME' already exists"},
        {[&] { return schema->CreateIndex("orders", -1, "i2", -1, 0, mixed); },
         "All columns in an VornSQL index must have the same ordering"},
        {[&] { return schema->CreateIndex("orders", -1, "i3", -1, 0, unknown); }, "Unknown column 'zz'"},
        {[&] { return CreateIndex("nope", "i4", false, {"id"}); }, "Unknown table 'nope'"},
        {[&] { return schema->DropIndex("nothere", -1); }, "Index name 'nothere' does not exist"},
        {[&] { return schema->DropTable("nothere", -1); }, "Table 'nothere' does not exist"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.run(), 0) << c.message;
        EXPECT_STREQ(schema->ErrorText().Text(), c.message);
    }
    // A file in the way of a new table or index.
    std::ofstream(Path("t3.dbf")) << "x";
    EXPECT_FALSE(CreateTable("T3", {{"a", 'C', 1, 0}}));
    EXPECT_EQ(schema->ErrorText().Text(),
              "Table 'T3' cannot be created because datafile '" + std::string("t3.dbf") + "' already exists");
    std::ofstream(Path("i5.vrx")) << "x";
    EXPECT_FALSE(CreateIndex("orders", "I5", false, {"id"}));
    EXPECT_STREQ(schema->ErrorText().Text(), "Index 'I5' already exists");
    // Too many fields, refused before a byte is written.
    auto columnsOf = [](ColumnDefinitionList& list, int count) {
        list.Clear();
        for (int i = 0; i < count; ++i) {
            std::string n = "F" + std::to_string(i);
            list.Append(new ColumnDefinition(n.c_str(), -1, kXBaseCharacter, 1, 0));
        }
    };
    ColumnDefinitionList wide;
    columnsOf(wide, 2047);
    EXPECT_FALSE(schema->CreateTable("wide", -1, wide));
    EXPECT_STREQ(schema->ErrorText().Text(), "Error creating table datafile: too many fields (maximum 2046)");
    EXPECT_FALSE(Exists("wide.dbf"));
    columnsOf(wide, 2046);
    EXPECT_TRUE(schema->CreateTable("wide", -1, wide)) << schema->ErrorText().Text();
    EXPECT_EQ(Bytes("wide.dbf").size(), 32u * 2046 + 33 + 1);
    EXPECT_TRUE(IndexesAgree("orders"));
    // Hostile table and index files: a clear error, nothing written.
    std::string good = Bytes("orders.dbf");
    std::mt19937 random(7);
    std::string noise(700, '\0');
    for (char& c : noise)
        c = static_cast<char>(random());
    std::string longer = good;
    longer[4] = '\x7f'; // more records than the file holds
    for (const std::string& bytes : {noise, good.substr(0, 10), longer}) {
        schema->EvictTable("orders", -1);
        std::ofstream(Path("orders.dbf"), std::ios::binary | std::ios::trunc) << bytes;
        EXPECT_EQ(schema->GetTable("orders", -1), nullptr);
        EXPECT_NE(std::string(schema->ErrorText().Text()).find("orders.dbf"), std::string::npos)
            << schema->ErrorText().Text();
        EXPECT_EQ(Bytes("orders.dbf"), bytes);
    }
    std::ofstream(Path("orders.dbf"), std::ios::binary | std::ios::trunc) << good;
    std::ofstream(Path("byname.vrx"), std::ios::binary | std::ios::trunc) << noise;
    Table* t = schema->GetTable("orders", -1);
    ASSERT_NE(t, nullptr);
    EXPECT_FALSE(Insert(t, {{"id", "1"}}));
    EXPECT_STREQ(t->ErrorText().Text(), "'byname.vrx' is either corrupt or is not a valid index file");
    EXPECT_EQ(Bytes("byname.vrx"), noise);
}

TEST_F(SqlStoreTest, DroppedRowsAreReusedAndFilesGo) {
    CreateDatabase();
    schema->SetSubdirChar('_');
    ASSERT_TRUE(CreateTable("app_Orders", {{"id", 'N', 5, 0}, {"note", 'M', 10, 0}}))
        << schema->ErrorText().Text();
    ASSERT_TRUE(CreateIndex("app_orders", "app_byid", true, {"id"})) << schema->ErrorText().Text();
    EXPECT_TRUE(Exists("app/orders.dbf") && Exists("app/orders.dbt") && Exists("app/byid.vrx"));
    Table* t = schema->GetTable("APP_ORDERS");
    ASSERT_NE(t, nullptr) << schema->ErrorText().Text();
    EXPECT_STREQ(t->Name().Text(), "app_Orders");
    ASSERT_TRUE(Insert(t, {{"id", "7"}, {"note", "hello"}})) << t->ErrorText().Text();
    int32_t rows = schema->Catalog()->Data().RecordCount();
    ASSERT_TRUE(schema->DropTable("app_orders", -1)) << schema->ErrorText().Text();
    EXPECT_EQ(Files(), (std::vector<std::string>{"db.dbf", "db.vrx", "dbi.vrx"}));
    // The same names again: the deleted rows come back, none is added.
    ASSERT_TRUE(CreateTable("app_orders", {{"id", 'N', 5, 0}})) << schema->ErrorText().Text();
    ASSERT_TRUE(CreateIndex("app_orders", "app_byid", true, {"id"})) << schema->ErrorText().Text();
    schema->Catalog()->Data().ReadHeader();
    EXPECT_EQ(schema->Catalog()->Data().RecordCount(), rows);
    // A deleted row of another table's index is not taken; a live one is
    // found behind deleted ones of the same name.
    ASSERT_TRUE(CreateTable("t2", {{"id", 'N', 5, 0}}));
    ASSERT_TRUE(schema->DropIndex("app_byid", -1)) << schema->ErrorText().Text();
    ASSERT_TRUE(CreateIndex("t2", "app_byid", false, {"id"})) << schema->ErrorText().Text();
    schema->Catalog()->Data().ReadHeader();
    EXPECT_EQ(schema->Catalog()->Data().RecordCount(), rows + 2);
    EXPECT_TRUE(schema->FindIndexRow("APP_BYID", -1));
    EXPECT_STREQ(schema->Catalog()->Data().Field("TABLE")->Value(), "t2");
    std::vector<IndexEntry> entries;
    EXPECT_TRUE(CheckIndex(Bytes("db.vrx"), &entries));
    EXPECT_TRUE(CheckIndex(Bytes("dbi.vrx"), &entries));
    EXPECT_EQ(entries.size(), 4u); // every row keeps its entry, deleted ones included
}

TEST_F(SqlStoreTest, LogLinesWholeAndAppended) {
    CreateDatabase();
    schema->Log("nothing while closed\n");
    ASSERT_TRUE(schema->OpenLog("sql.log", -1));
    std::string longLine(5000, 'x');
    schema->Log("%s|%d\n", longLine.c_str(), 42);
    schema->LogText("100%s\n", -1);
    Schema other(program);
    ASSERT_TRUE(other.Open("db.dbf", -1));
    ASSERT_TRUE(other.OpenLog("sql.log", -1));
    // Two writers of one log interleave lines, never overwrite them.
    schema->LogText("A\n");
    other.LogText("B\n");
    schema->LogText("C\n");
    ASSERT_TRUE(other.Pack()) << other.ErrorText().Text();
    EXPECT_EQ(Bytes("sql.log"), longLine + "|42\n100%s\nA\nB\nC\nStarting Packing\nPacking done\n");
    ASSERT_TRUE(schema->OpenLog("sql.log", -1));
    schema->LogText("D\n");
    EXPECT_EQ(Bytes("sql.log").substr(Bytes("sql.log").size() - 16), "\nPacking done\nD\n");
}

TEST(AllocationTrackerTest, TracksDumpsAndForgets) {
    ForgetAllocations();
    std::string longName(300, 'f');
    void* small = TrackedAllocate(10, longName.c_str(), 12);
    void* large = TrackedAllocate(200, "b.cpp", 34);
    std::memcpy(small,
                "ab\x01"
                "cdefghi",
                10);
    std::memset(large, 'z', 200);
    EXPECT_EQ(Allocations().Count(), 2);
    void* untracked = std::malloc(4);
    TrackedFree(untracked); // freed, table unchanged
    EXPECT_EQ(Allocations().Count(), 2);
    std::string path =
        (std::filesystem::temp_directory_path() / ("vorn-alloc-" + std::to_string(getpid()))).string();
    std::filesystem::remove(path);
    DumpAllocations(path.c_str());
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    std::filesystem::remove(path);
    std::string dump = text.str();
    EXPECT_EQ(dump.rfind("----------[Begin Session]----------\n", 0), 0u);
    EXPECT_NE(dump.find(std::string(127, 'f') + "( 12 ): 10 bytes @ "), std::string::npos);
    EXPECT_EQ(dump.find(std::string(128, 'f')), std::string::npos);
    EXPECT_NE(dump.find("\tab<0x01>cdefghi\n"), std::string::npos);
    EXPECT_NE(dump.find("b.cpp( 34 ): 200 bytes @ "), std::string::npos);
    EXPECT_NE(dump.find("\t" + std::string(50, 'z') + "\n"), std::string::npos);
    EXPECT_EQ(dump.find(std::string(51, 'z')), std::string::npos);
    EXPECT_TRUE(dump.size() > 34 && dump.substr(dump.size() - 34) == "----------[End Session]----------\n");
    TrackedFree(small);
    EXPECT_EQ(Allocations().Count(), 1);
    ForgetAllocations();
    EXPECT_EQ(Allocations().Count(), 0);
    std::free(large); // forgotten blocks stay the caller's
}

// A statement's kept pages serve every read after its first few (a record
// across a page's end, the short read at the file's end included), and a
// write through the store shows in the next read.
TEST_F(SqlStoreTest, KeptPagesServeReadsUntilAWrite) {
    std::string bytes(3 * 16384 + 100, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>('a' + i % 23);
    {
        std::ofstream out(Path("kept.bin"), std::ios::binary);
        out << bytes;
    }
    std::unique_ptr<XBaseStore> store(schema->Files().Open("kept.bin", -1, kSQLOpenReadWrite));
    ASSERT_NE(store, nullptr);
    store->KeepBlocks(true);
    char got[64];
    auto read = [&](int64_t at, int32_t count) {
        int32_t n = store->ReadAt(at, got, count);
        return n < 0 ? std::string("!") : std::string(got, static_cast<size_t>(n));
    };
    std::mt19937 random(5);
    for (int i = 0; i < 1200; ++i) {
        int64_t at = static_cast<int64_t>(random() % (bytes.size() - 38));
        ASSERT_EQ(read(at, 38), bytes.substr(static_cast<size_t>(at), 38)) << "read " << i << " at " << at;
    }
    EXPECT_EQ(read(16384 - 10, 38), bytes.substr(16384 - 10, 38));
    EXPECT_EQ(read(static_cast<int64_t>(bytes.size()) - 5, 38), bytes.substr(bytes.size() - 5));
    ASSERT_EQ(store->WriteAt(4100, "CHANGED", 7), 7);
    EXPECT_EQ(read(4096, 16), bytes.substr(4096, 4) + "CHANGED" + bytes.substr(4107, 5));
    store->KeepBlocks(false);
    EXPECT_EQ(read(4100, 7), "CHANGED");
}

// The block a scan reads ahead serves the scan only: a later read elsewhere
// in it (a catalog row looked up again, long after another request deleted
// it) goes to the file.
TEST_F(SqlStoreTest, ReadAheadServesOnlyTheScanThatMadeIt) {
    {
        std::ofstream out(Path("ahead.bin"), std::ios::binary);
        out << std::string(8192, 'a');
    }
    std::unique_ptr<XBaseStore> reader(schema->Files().Open("ahead.bin", -1, kSQLOpenReadWrite));
    std::unique_ptr<XBaseStore> writer(schema->Files().Open("ahead.bin", -1, kSQLOpenReadWrite));
    ASSERT_TRUE(reader && writer);
    char got[8];
    // The second read continues the first: the block ahead is read with it.
    ASSERT_EQ(reader->ReadAt(0, got, 8), 8);
    ASSERT_EQ(reader->ReadAt(8, got, 8), 8);
    ASSERT_EQ(writer->WriteAt(1000, "*", 1), 1);
    ASSERT_EQ(reader->ReadAt(1000, got, 1), 1);
    EXPECT_EQ(got[0], '*');
}

} // namespace
} // namespace vorn::test
