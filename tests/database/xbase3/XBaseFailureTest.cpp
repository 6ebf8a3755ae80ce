// Failures scripts meet: hostile files, a lock that is refused, an unreadable
// memo during a pack, keys and filters of a VrDO sub-program, and another
// database type served by a library through the same tags.
#include <dlfcn.h>

#include "platform/Files.h"
#include "tests/database/library/DatabaseLibrarySupport.h"
#include "tests/database/xbase3/DatabaseScriptSupport.h"

namespace vorn::test {
namespace {

const char* kTable = "create t T.DBF \"NAME CHAR(10), N NUMBER(4), NOTES MEMO\"\n"
                     "set t NAME bob\nset t N 2\nset t NOTES \"first memo\"\ndbadd t \"\"\n"
                     "set t NAME amy\nset t N 1\nset t NOTES \"second memo\"\ndbadd t \"\"\n"
                     "set t NAME cat\nset t N 3\ndbadd t \"\"\n"
                     "dbmakeindex t I.VRX NAME \"\"\nerr VrADD VrMAKEINDEX\n";

class XBaseFailureTest : public DatabaseScriptTest {
  protected:
    void SetUp() override { ASSERT_EQ(Run(kTable), "VrADD= VrMAKEINDEX=\n"); }
    void Patch(const std::string& name, size_t at, const std::string& bytes) {
        std::string content = Bytes(name);
        content.replace(at, bytes.size(), bytes);
        ScratchTree::WriteFile(DataPath(name), content);
    }
};

std::string NameKey(const std::vector<std::string>&, const std::vector<std::string>& v) {
    return v[0];
}

// Damaged and foreign files: each open fails with the file layer's message
// as the tag's error, and the script goes on.
TEST_F(XBaseFailureTest, HostileFilesAreTagErrors) {
    std::string table = Bytes("T.DBF");
    std::string index = Bytes("I.VRX");
    std::string random;
    for (uint32_t seed = 7, i = 0; i < 700; ++i)
        random += static_cast<char>((seed = seed * 1103515245 + 12345) >> 16);
    struct Hostile {
        const char* file;
        std::string bytes;
        const char* open; // the open line
        const char* message;
    };
    const Hostile cases[] = {
        {"H.DBF", "", "open h H.DBF", "Error reading from 'H.DBF': File is corrupt (unexpected end of file)"},
        {"H.DBF", random, "open h H.DBF", "'H.DBF': Unsupported xBase file version"},
        {"H.DBF", table.substr(0, 40), "open h H.DBF",
         "Error reading from 'H.DBF': File is corrupt (unexpected end of file)"},
        {"H.DBF", table.substr(0, 4) + "\xff\xff\xff\x7f" + table.substr(8), "open h H.DBF",
         "Error reading from 'H.DBF': File is corrupt (the record count is larger than the file)"},
        {"H.DBF", table.substr(0, 8) + std::string("\xff\x00", 2) + table.substr(10), "open h H.DBF",
         "Error reading from 'H.DBF': File is corrupt"},
        {"H.VRX", random, "open h T.DBF H.VRX", "'H.VRX' is either corrupt or is not a valid index file"},
        {"H.VRX", index.substr(0, 100), "open h T.DBF H.VRX",
         "Error reading from 'H.VRX': File is corrupt (unexpected end of file)"},
        {"H.VRX", index.substr(0, 13) + std::string("\x09\x00\x00\x00", 4) + index.substr(17),
         "open h T.DBF H.VRX", "Error reading from 'H.VRX': File is corrupt (the root page is out of range)"},
        {"H.VRX", index.substr(0, 1024) + std::string("\xff\xff\xff\xff", 4) + index.substr(1028),
         "open h T.DBF H.VRX",
         "Error reading from 'H.VRX': File is corrupt (the number of entries is larger than the maximum "
         "entries "
         "possible)."},
    };
    for (const Hostile& h : cases) {
        ScratchTree::WriteFile(DataPath(h.file), h.bytes);
        int32_t status = 0;
        std::string out = Run(std::string(h.open) + "\nerr VrOPEN\nprint after", &status);
        EXPECT_EQ(status, kRunCompleted) << h.message;
        EXPECT_EQ(out.rfind("VrOPEN=", 0), 0u) << out;
        EXPECT_NE(out.find("after"), std::string::npos) << out;
        std::string expected = h.message;
        for (size_t at; (at = expected.find('(')) != std::string::npos;)
            expected.replace(at, 1, "&#40;");
        for (size_t at; (at = expected.find(')')) != std::string::npos;)
            expected.replace(at, 1, "&#41;");
        EXPECT_NE(out.find(expected), std::string::npos) << out << "\nwanted: " << expected;
    }
    // A table whose memo file is gone.
    std::filesystem::remove(DataPath("T.DBT"));
    EXPECT_EQ(Run("open h T.DBF\nerr VrOPEN"), "VrOPEN=Error opening 'T.DBT': No such file or directory\n");
}

// Another request holds the index header: moves that need it fail with the
// index's message once the file time-out passes.
TEST_F(XBaseFailureTest, ARefusedIndexLockFailsTheMove) {
    platform::FileHandle holder;
    ASSERT_TRUE(holder.Open(DataPath("I.VRX").c_str(), platform::kOpenRead | platform::kOpenWrite));
    ASSERT_TRUE(holder.Lock(0, 427, true));
    std::string out =
        Run("open t T.DBF\ndbsetindex t \"\" I.VRX\nerr VrSETINDEX\ndbskip t \"\" 1\nerr VrSKIP\n"
            "dbfind t \"\" amy 1\nerr VrFIND",
            nullptr, {"globaltimeout=0", "filetimeout=1", "filedelay=20"});
    // The lock's own reason follows the file's name.
    const std::string refused = "Error locking 'I.VRX' for read: Timed out waiting for lock\n";
    EXPECT_EQ(out, "VrSETINDEX=" + refused + "VrSKIP=" + refused + "VrFIND=" + refused);
}

// The second index fails (another request holds it past the file time-out):
// the add takes its first key out again and marks its record deleted, the
// update puts the first index back and leaves the record as it was.
TEST_F(XBaseFailureTest, AnIndexThatFailsMidwayIsUndone) {
    ASSERT_EQ(Run("open t T.DBF\ndbmakeindex t V.VRX N \"\"\nerr VrMAKEINDEX"), "VrMAKEINDEX=\n");
    platform::FileHandle holder;
    ASSERT_TRUE(holder.Open(DataPath("V.VRX").c_str(), platform::kOpenRead | platform::kOpenWrite));
    ASSERT_TRUE(holder.Lock(0, 427, true));
    EXPECT_EQ(Run("open t T.DBF \"I.VRX, V.VRX\"\nset t NAME zed\nset t N 9\ndbadd t \"\"\nerr VrADD\n"
                  "dbgo t \"\" 1\nset t NAME bab\nset t N 8\ndbupdate t \"\"\nerr VrUPDATE",
                  nullptr, {"globaltimeout=0", "filetimeout=1", "filedelay=20"}),
              "VrADD=Error locking 'V.VRX' for write: Timed out waiting for lock\n"
              "VrUPDATE=Error locking 'V.VRX' for write: Timed out waiting for lock\n");
    holder.Close();
    std::vector<Row> rows = ReadTable("T.DBF");
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_TRUE(rows[3].deleted);
    EXPECT_EQ(rows[3].values[0], "zed");
    EXPECT_EQ(rows[0].values[0], "bob");
    const std::pair<const char*, std::multiset<IndexEntry>> expected[] = {
        {"I.VRX", {{"amy", 2}, {"bob", 1}, {"cat", 3}}},
        {"V.VRX", {{"1", 2}, {"2", 1}, {"3", 3}}},
    };
    for (const auto& [index, entries] : expected) {
        std::vector<IndexEntry> tree;
        EXPECT_TRUE(CheckIndex(Bytes(index), &tree)) << index;
        EXPECT_TRUE(std::multiset<IndexEntry>(tree.begin(), tree.end()) == entries) << index;
    }
}

// A memo that cannot be read stops the pack instead of coming out empty: a
// block number out of range, and one past the end of the memo file.
TEST_F(XBaseFailureTest, PackStopsAtAnUnreadableMemo) {
    const std::string original = Bytes("T.DBF");
    int32_t header = static_cast<int32_t>(GetU16(reinterpret_cast<const uint8_t*>(original.data()) + 8));
    // Record 2's memo field: after the deleted mark, NAME (10) and N (4).
    const size_t at = static_cast<size_t>(header + 25 + 1 + 10 + 4);
    const std::pair<const char*, const char*> patches[] = {
        {"9999999999", "File is corrupt &#40;a memo block number is out of range&#41;"},
        {"    999999", "memo file damaged, a memo block lies past the end of the file"},
    };
    for (const auto& [digits, detail] : patches) {
        ScratchTree::WriteFile(DataPath("T.DBF"), original);
        Patch("T.DBF", at, digits);
        std::string before = Bytes("T.DBF");
        EXPECT_EQ(Run("open t T.DBF I.VRX\ndbpack t\nerr VrPACK"),
                  std::string("VrPACK=Error reading from 'T.DBT': ") + detail + "\n");
        EXPECT_EQ(Bytes("T.DBF"), before);
        for (const auto& entry : std::filesystem::directory_iterator(tree.Data()))
            EXPECT_EQ(entry.path().filename().string().find(".DBF."), std::string::npos) << entry.path();
    }
}

// A VrDO sub-program makes the index and installs the filter: its program
// stays while they do (the cache of one program would drop it otherwise),
// keys and filter run there with the caller's variables, and a filter that
// fails there leaves a message of its own in the tag's error variable.
TEST_F(XBaseFailureTest, KeysAndFiltersOfASubProgram) {
    WriteScript(
        "mk.vrc",
        ".segment main entry\n"
        " pushc \"t\"\n pushc \"K.VRX\"\n pushc \"NAME $ suffix\"\n pushc \"\"\n dbmakeindex\n.end\n");
    WriteScript("flt.vrc", ".segment main entry\n"
                           " pushc \"t\"\n pushc \"\"\n pushc \"check()\"\n dbfilter\n jmp done\n"
                           ".function check()\n pushnc \"mode\"\n pushi 1\n eq\n jmp_eq fine\n .word 0x020f\n"
                           "fine:\n pushi 1\n ret\ndone:\n.end\n");
    WriteScript("other.vrc", ".segment main entry\n pushc \"\"\n out\n.end\n");
    std::string out = Run(
        "let suffix \"-x\"\nlet mode 0\nopen t T.DBF\n: pushc \"mk.vrc\"\n: op_do_file\n"
        ": pushc \"flt.vrc\"\n: op_do_file\n: pushc \"other.vrc\"\n: op_do_file\nerr VrMAKEINDEX VrFILTER\n"
        "set t NAME dan\ndbadd t \"\"\nerr VrADD\nwalk t NAME\n"
        "dbfind t \"\" \"dan-x\" 1\nprint t.eof t.recno\n"
        "dbfind t \"\" \"dan\" 9\nlet mode 1\ndbskip t \"\" 1\nerr VrSKIP",
        nullptr, {"maxdocache=1"});
    EXPECT_EQ(out.substr(0, out.find("Fatal error")),
              "VrMAKEINDEX= VrFILTER=\nVrADD=\n2:amy 1:bob 3:cat 4:dan eof\n04\n");
    EXPECT_NE(out.find("Illegal Instruction"), std::string::npos) << out;
    EXPECT_EQ(out.substr(out.find("VrSKIP=")), "VrSKIP=Error evaluating the filter expression of 't'\n")
        << out;
    Verify("T.DBF", {{"K.VRX", [](const std::vector<std::string>& n, const std::vector<std::string>& v) {
                          return NameKey(n, v) + "-x";
                      }}});
}

// Another type through the same tags: VrOPEN of a type a library serves goes
// to the library, and so does "xbase3x".
TEST_F(XBaseFailureTest, OtherTypesGoToTheirLibraries) {
    void* module = dlopen(VORN_FIXTURE_DATABASEV6, RTLD_NOW);
    ASSERT_NE(module, nullptr) << dlerror();
    auto setHooks = reinterpret_cast<FixtureSetDatabaseHooks>(dlsym(module, "fixture_set_database_hooks"));
    auto log = reinterpret_cast<FixtureDatabaseLog>(dlsym(module, "fixture_database_log"));
    auto reset = reinterpret_cast<FixtureDatabaseReset>(dlsym(module, "fixture_database_reset"));
    ASSERT_TRUE(setHooks && log && reset);
    setHooks(DatabaseHooks());
    reset();
    libraries = {{"shop", VORN_FIXTURE_DATABASEV6}, {"xbase3x", VORN_FIXTURE_DATABASEV6}};
    std::string out =
        Run("let p1 \"one\"\nopen s SHOP.DB \"\" SHOP\nerr VrOPEN\ndbopenview s v \"list\" \"p1\"\n"
            "dbgo s v 2\nprint v.NAME\ndbfind s v cherry 1\nprint v.NAME v.ID\ndbfind s v kiwi 1\n"
            "err VrOPENVIEW VrFIND\ndbclose s\n"
            "create x X.DB \"ID NUMBER\" xbase3x\nerr VrCREATE\ndbpack x\nerr VrPACK");
    EXPECT_EQ(out, "VrOPEN=\nbanana\ncherry3\nVrOPENVIEW= VrFIND=No row for key 'kiwi'\nVrCREATE=\n"
                   "VrPACK=\n");
    std::string calls = log();
    EXPECT_NE(calls.find("open_database file=SHOP.DB name=s extra1= extra2= extra3="), std::string::npos)
        << calls;
    EXPECT_NE(calls.find("open_view name=v query=list params=one count=1"), std::string::npos) << calls;
    EXPECT_NE(calls.find("create_database file=X.DB name=x fields=ID NUMBER"), std::string::npos) << calls;
    EXPECT_FALSE(std::filesystem::exists(DataPath("X.DB")));
    dlclose(module);
}

// A library's text past the limit ends the run with a message naming the
// field, and the field that the stack held is released all the same; one
// below -1 reads as a failed text (the field then reads as a number).
TEST_F(XBaseFailureTest, LibraryTextLengthsOutsideTheContract) {
    void* module = dlopen(VORN_FIXTURE_DATABASEV6, RTLD_NOW);
    ASSERT_NE(module, nullptr) << dlerror();
    auto setHooks = reinterpret_cast<FixtureSetDatabaseHooks>(dlsym(module, "fixture_set_database_hooks"));
    auto reset = reinterpret_cast<FixtureDatabaseReset>(dlsym(module, "fixture_database_reset"));
    auto option = reinterpret_cast<FixtureDatabaseOption>(dlsym(module, "fixture_database_option"));
    ASSERT_TRUE(setHooks && reset && option);
    setHooks(DatabaseHooks());
    libraries = {{"shop", VORN_FIXTURE_DATABASEV6}};
    const struct {
        const char* length;
        int32_t status;
        const char* output;
    } cases[] = {
        {"2147483647", kRunFailed,
         "]: Text too long: 2147483647 bytes for field 'v.NAME' from the database library\n"},
        {"-7", kRunCompleted, "0\nafter\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        reset();
        option("length", c.length);
        const int64_t live = Variable::LiveCount();
        int32_t status = -1;
        std::string out = Run("let p1 \"one\"\nopen s SHOP.DB \"\" SHOP\ndbopenview s v \"list\" \"p1\"\n"
                              "print v.NAME\nprint after",
                              &status);
        EXPECT_EQ(status, c.status);
        EXPECT_NE(out.find(c.output), std::string::npos) << out;
        EXPECT_EQ(out.find("after") != std::string::npos, c.status == kRunCompleted) << out;
        EXPECT_EQ(Variable::LiveCount(), live);
    }
    dlclose(module);
}

} // namespace
} // namespace vorn::test
