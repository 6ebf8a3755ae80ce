// The "xbase3" driver through scripts: moves with and without an index and a
// filter, searches, record changes with two indexes, index management, pack,
// reindex and the structure reports. After every case that changes data both
// Python readers read the table and the index checker checks every index.
#include "tests/database/xbase3/DatabaseScriptSupport.h"

#include "platform/Files.h"

namespace vorn::test {
namespace {

// Five people, added in this order: record numbers 1 to 5.
const char* kPeople = R"(create t T.DBF "NAME CHAR(10), N NUMBER(3.1), NOTES MEMO"
set t NAME eve
set t N 5
set t NOTES "memo of eve"
dbadd t ""
set t NAME bob
set t N 2
set t NOTES ""
dbadd t ""
set t NAME dan
set t N 4
dbadd t ""
set t NAME amy
set t N 1
set t NOTES "memo of amy"
dbadd t ""
set t NAME cat
set t N 3
dbadd t ""
)";

struct Case {
    const char* name;
    std::string script;
    const char* output;
};

class XBaseDriverTest : public DatabaseScriptTest {
  protected:
    // Each case starts from a fresh directory with the five people, then
    // the table and its indexes are checked.
    void RunCases(const std::vector<Case>& cases,
                  const std::vector<std::pair<std::string, KeyOf>>& indexes = {}) {
        for (const Case& c : cases) {
            std::filesystem::remove_all(tree.Data());
            std::filesystem::create_directories(tree.Data());
            EXPECT_EQ(Run(std::string(kPeople) + c.script), c.output) << c.name;
            std::vector<std::pair<std::string, KeyOf>> present;
            for (const auto& index : indexes)
                if (std::filesystem::exists(DataPath(index.first))) present.push_back(index);
            Verify("T.DBF", present);
            if (testing::Test::HasFailure()) {
                ADD_FAILURE() << "in case: " << c.name;
                return;
            }
        }
    }
};

std::string NameKey(const std::vector<std::string>&, const std::vector<std::string>& v) {
    return v[0];
}
std::string NumberKey(const std::vector<std::string>&, const std::vector<std::string>& v) {
    return v[1];
}

TEST_F(XBaseDriverTest, MovesWithAndWithoutIndexes) {
    RunCases(
        {
            {"record order", "walk t NAME\nerr VrGO VrSKIP",
             "1:eve 2:bob 3:dan 4:amy 5:cat eof\nVrGO= VrSKIP=\n"},
            {"name order after VrMAKEINDEX, which stands on the first",
             "dbmakeindex t N.VRX NAME \"\"\nprint t.recno\nwalk t NAME",
             "4\n4:amy 2:bob 5:cat 3:dan 1:eve eof\n"},
            {"descending numbers", "dbmakeindex t V.VRX N \"descending\"\nwalk t N",
             "1:5.0 3:4.0 5:3.0 2:2.0 4:1.0 eof\n"},
            {"DESCENDING, ASCENDING is ascending",
             "dbmakeindex t V.VRX N \"DESCENDING, ASCENDING\"\nwalk t N",
             "4:1.0 2:2.0 5:3.0 3:4.0 1:5.0 eof\n"},
            {"off the end and back, in record order",
             "let p bottom\ndbgo t \"\" $p\ndbskip t \"\" 1\nprint t.eof t.recno\ndbskip t \"\" -1\nprint "
             "t.eof t.recno",
             "15\n04\n"},
            {"out-of-range positions are eof, not errors",
             "dbgo t \"\" 0\nprint t.eof\ndbgo t \"\" 2\ndbgo t \"\" -3\nprint t.eof t.recno\ndbgo t \"\" "
             "99\nprint t.eof\n"
             "dbskip t \"\" 0\nprint t.eof\nerr VrGO VrSKIP",
             "1\n12\n1\n0\nVrGO= VrSKIP=\n"},
            {"a go by number leaves the index cursor; a filtered one moves it",
             "dbmakeindex t N.VRX NAME \"\"\ndbgo t \"\" 5\ndbskip t \"\" 1\nprint t.NAME\n"
             "dbfilter t \"\" \"1\"\ndbgo t \"\" 5\ndbskip t \"\" 1\nprint t.NAME",
             "bob\ndan\n"},
            {"skips of several records",
             "dbmakeindex t N.VRX NAME \"\"\ndbskip t \"\" 3\nprint t.NAME\ndbskip t \"\" -2\nprint t.NAME\n"
             "dbskip t \"\" 9\nprint t.eof",
             "dan\nbob\n1\n"},
        },
        {{"N.VRX", NameKey}, {"V.VRX", NumberKey}});
}

TEST_F(XBaseDriverTest, FindsAndFilters) {
    RunCases(
        {
            {"no index", "dbfind t \"\" amy 1\nerr VrFIND", "VrFIND=Database has no open indexes\n"},
            {"exact and prefix",
             "dbmakeindex t N.VRX NAME \"\"\ndbfind t \"\" dan 1\nprint t.eof t.recno\ndbfind t \"\" da "
             "1\nprint t.eof\n"
             "dbfind t \"\" da 0\nprint t.eof t.recno t.NAME",
             "03\n1\n03dan\n"},
            {"a range index stands on the entry before",
             "dbmakeindex t N.VRX NAME \"range\"\ndbfind t \"\" bz 1\nprint t.eof t.NAME\ndbfind t \"\" a "
             "1\nprint t.eof",
             "1bob\n1\n"},
            {"numbers compare as numbers", "dbmakeindex t V.VRX N \"\"\ndbfind t \"\" \"4\" 1\nprint t.NAME",
             "dan\n"},
            {"a filter orders by the index and skips what fails",
             "dbmakeindex t N.VRX NAME \"\"\ndbfilter t \"\" \"N GT 2\"\nwalk t NAME\nlet p bottom\ndbgo t "
             "\"\" $p\nprint t.NAME\n"
             "dbgo t \"\" 2\nprint t.eof\ndbgo t \"\" 3\nprint t.eof t.NAME\nerr VrFILTER",
             "5:cat 3:dan 1:eve eof\neve\n1\n0dan\nVrFILTER=\n"},
            {"a filter in record order",
             "dbfilter t \"\" \"NAME LT 'c'\"\nwalk t NAME\nlet p bottom\ndbgo t \"\" $p\nprint t.NAME",
             "2:bob 4:amy eof\namy\n"},
            {"blanks remove the filter and go to the top",
             "dbfilter t \"\" \"N GT 3\"\ndbskip t \"\" 1\nprint t.NAME\ndbfilter t \"\" \"   \"\nprint "
             "t.recno\nwalk t NAME",
             "dan\n1\n1:eve 2:bob 3:dan 4:amy 5:cat eof\n"},
            {"a filter that does not compile keeps the old one",
             "dbfilter t \"\" \"N GT 3\"\ndbfilter t \"\" \"N GT\"\nerr VrFILTER\nwalk t NAME",
             "VrFILTER=Syntax error in filter: Argument expected in Expression\n1:eve 3:dan eof\n"},
            {"a filter nothing passes", "dbfilter t \"\" \"N GT 9\"\nprint t.eof\nerr VrFILTER",
             "1\nVrFILTER=\n"},
            {"the filtered find returns the first passing equal key",
             "set t NAME bob\nset t N 7\ndbadd t \"\"\nset t N 8\ndbadd t \"\"\ndbmakeindex t N.VRX NAME "
             "\"\"\n"
             "dbfilter t \"\" \"N GT 6\"\ndbfind t \"\" bob 1\nprint t.eof t.recno t.N\ndbfilter t \"\" \"N "
             "GT 7\"\ndbfind t \"\" b 0\n"
             "print t.eof t.recno\ndbfilter t \"\" \"N GT 8\"\ndbfind t \"\" bob 1\nprint t.eof",
             "078.0\n07\n1\n"},
            {"a filtered find with a key longer than the index keeps walking the equal entries",
             "set t NAME bob\nset t N 7\ndbadd t \"\"\nset t N 8\ndbadd t \"\"\n"
             "dbmakeindex t L.VRX \"NAME $ '" + std::string(100, 'x') + "'\" \"\"\n"
             "dbfilter t \"\" \"N LT 3\"\ndbfind t \"\" \"bob" + std::string(100, 'x') + "\" 1\n"
             "print t.eof t.recno",
             "02\n"},
            {"filter and key read the script's variables",
             "let limit 3\ndbfilter t \"\" \"N LT limit\"\nwalk t NAME", "2:bob 4:amy eof\n"},
        },
        {{"N.VRX", NameKey}, {"V.VRX", NumberKey}});
}

TEST_F(XBaseDriverTest, RecordChangesKeepTwoIndexesInStep) {
    RunCases(
        {
            {"add without an index keeps the assigned values",
             "set t NAME fay\ndbadd t \"\"\nprint t.recno t.totrec t.NAME\nerr VrADD", "66fay\nVrADD=\n"},
            {"add right after opening copies record 1",
             "dbclose t\nopen t T.DBF\ndbadd t \"\"\nprint t.recno t.NAME t.NOTES", "6evememo of eve\n"},
            {"add with two indexes",
             "dbmakeindex t V.VRX N \"\"\ndbmakeindex t N.VRX NAME \"\"\nset t NAME abe\nset t N 9.5\ndbadd "
             "t \"\"\n"
             "print t.recno t.totrec\nwalk t NAME\ndbprimary t \"\" V.VRX\nwalk t NAME",
             "66\n6:abe 4:amy 2:bob 5:cat 3:dan 1:eve eof\n4:amy 2:bob 5:cat 3:dan 1:eve 6:abe eof\n"},
            {"an update of an indexed field moves its entry and the cursor",
             "dbmakeindex t V.VRX N \"\"\ndbmakeindex t N.VRX NAME \"\"\ndbfind t \"\" bob 1\nset t NAME "
             "cay\ndbupdate t \"\"\n"
             "dbskip t \"\" 1\nprint t.NAME\nwalk t NAME\nerr VrUPDATE",
             "dan\n4:amy 5:cat 2:cay 3:dan 1:eve eof\nVrUPDATE=\n"},
            {"an update of another field leaves the keys",
             "dbmakeindex t N.VRX NAME \"\"\ndbfind t \"\" amy 1\nset t NOTES \"new memo\"\ndbupdate t \"\"\n"
             "dbgo t \"\" 4\nprint t.NOTES",
             "new memo\n"},
            {"delete and undelete keep the entries",
             "dbmakeindex t N.VRX NAME \"\"\ndbfind t \"\" dan 1\ndbdelete t \"\"\nprint t.deleted\ndbfind t "
             "\"\" dan 1\n"
             "print t.eof t.deleted\ndbundelete t \"\"\nprint t.deleted\ndbgo t \"\" 2\ndbdelete t \"\"\nerr "
             "VrDELETE VrUNDELETE",
             "1\n01\n0\nVrDELETE= VrUNDELETE=\n"},
            {"a number too wide for its field changes nothing",
             "set t N 12345.6\ndbadd t \"\"\nerr VrADD\nprint t.totrec\ndbgo t \"\" 1\nset t N "
             "99999\ndbupdate t \"\"\n"
             "err VrUPDATE\ndbgo t \"\" 1\nprint t.N",
             "VrADD=The value '12345.6' is too wide for the numeric field 'N' &#40;width 5&#41;\n5\n"
             "VrUPDATE=The value '99999.0' is too wide for the numeric field 'N' &#40;width 5&#41;\n5.0\n"},
        },
        {{"N.VRX", NameKey}, {"V.VRX", NumberKey}});
}

// A unique index refuses a key it holds before anything is written.
TEST_F(XBaseDriverTest, UniqueKeysAreRefusedBeforeAnyWrite) {
    RunCases({
        {"add",
         "dbmakeindex t V.VRX N \"\"\ndbmakeindex t N.VRX NAME \"unique\"\nset t NAME dan\nset t N 7\ndbadd "
         "t \"\"\n"
         "err VrADD\nprint t.totrec",
         "VrADD=Index 'N.VRX' was created with the UNIQUE flag and the key 'dan' already exists in the index "
         "file\n5\n"},
        {"update",
         "dbmakeindex t V.VRX N \"\"\ndbmakeindex t N.VRX NAME \"unique\"\ndbfind t \"\" bob 1\nset t N 6\n"
         "set t NAME eve\ndbupdate t \"\"\nerr VrUPDATE\ndbgo t \"\" 2\nprint t.NAME t.N\nset t N "
         "2.5\ndbupdate t \"\"\n"
         "err VrUPDATE\nprint t.N",
         "VrUPDATE=Index 'N.VRX' was created with the UNIQUE flag and the key 'eve' already exists in the "
         "index file\n"
         "bob2.0\nVrUPDATE=\n2.5\n"},
        {"a unique index over duplicates is not made",
         "set t NAME amy\ndbadd t \"\"\ndbmakeindex t N.VRX NAME \"UNIQUE\"\nerr VrMAKEINDEX\ndbfind t \"\" "
         "amy 1\nerr VrFIND",
         "VrMAKEINDEX=Index 'N.VRX' was created with the UNIQUE flag and the key 'amy' already exists in the "
         "index file\n"
         "VrFIND=Database has no open indexes\n"},
    });
}

TEST_F(XBaseDriverTest, IndexListsAndFlags) {
    RunCases(
        {
            {"one index for two spellings",
             "dbmakeindex t N.VRX NAME \"\"\ndbsetindex t \"\" \" N.VRX , n.vrx \"\nwalk t NAME\ndbprimary t "
             "\"\" other\n"
             "err VrSETINDEX VrPRIMARY",
             "4:amy 2:bob 5:cat 3:dan 1:eve eof\nVrSETINDEX= VrPRIMARY=Database has no index with that "
             "name\n"},
            {"a dangling comma after opening one",
             "dbmakeindex t N.VRX NAME \"\"\ndbgo t \"\" 3\ndbsetindex t \"\" \"N.VRX,\"\nerr "
             "VrSETINDEX\nprint t.recno",
             "VrSETINDEX=Dangling comma in index list\n4\n"},
            {"an empty list closes every index and leaves the view",
             "dbmakeindex t N.VRX NAME \"\"\ndbgo t \"\" 3\ndbsetindex t \"\" \"\"\nprint t.recno\ndbfind t "
             "\"\" a 0\nerr VrFIND",
             "3\nVrFIND=Database has no open indexes\n"},
            {"a missing index file", "dbsetindex t \"\" NONE.VRX\nerr VrSETINDEX",
             "VrSETINDEX=Error opening 'NONE.VRX': No such file or directory\n"},
            {"open with indexes",
             "dbmakeindex t N.VRX NAME \"\"\ndbclose t\nopen t T.DBF N.VRX\nprint t.recno", "4\n"},
            {"flag words",
             "dbmakeindex t A.VRX NAME \"UNIQUE ,STRING\"\ndbmakeindex t B.VRX NAME \"UNIQUE,\"\ndbmakeindex "
             "t C.VRX NAME \" \"\n"
             "err VrMAKEINDEX",
             "VrMAKEINDEX=Dangling comma in field\tspecification\n"},
            {"a key that does not compile leaves an empty index file",
             "dbmakeindex t BAD.VRX \"NAME +\" \"\"\nerr VrMAKEINDEX\ndbfind t \"\" a 0\nerr VrFIND",
             "VrMAKEINDEX=Syntax error in index expression: Argument expected in Expression\n"
             "VrFIND=Database has no open indexes\n"},
            {"making an open index again replaces it",
             "dbmakeindex t N.VRX NAME \"\"\ndbmakeindex t V.VRX N \"\"\ndbmakeindex t N.VRX NAME \"\"\nset "
             "t NAME fay\n"
             "dbadd t \"\"\nwalk t NAME",
             "4:amy 2:bob 5:cat 3:dan 1:eve 6:fay eof\n"},
            {"VrPRIMARY puts the cursor on the current record",
             "dbmakeindex t V.VRX N \"\"\ndbmakeindex t N.VRX NAME \"\"\ndbfind t \"\" cat 1\ndbprimary t "
             "\"\" v.vrx\n"
             "dbskip t \"\" 1\nprint t.NAME",
             "dan\n"},
        },
        {{"N.VRX", NameKey}, {"V.VRX", NumberKey}});
    // The flags as stored: 'UNIQUE ' with its blank is no keyword.
    std::filesystem::remove_all(tree.Data());
    std::filesystem::create_directories(tree.Data());
    Run(std::string(kPeople) +
        "dbmakeindex t A.VRX NAME \"UNIQUE ,STRING\"\ndbmakeindex t B.VRX NAME \"unique, descending\"\n"
        "dbmakeindex t C.VRX NAME \"range,NOUNIQUE\"");
    EXPECT_EQ(GetU32(reinterpret_cast<const uint8_t*>(Bytes("A.VRX").data()) + 23), kIndexString);
    EXPECT_EQ(GetU32(reinterpret_cast<const uint8_t*>(Bytes("B.VRX").data()) + 23),
              kIndexUnique | kIndexDescending);
    EXPECT_EQ(GetU32(reinterpret_cast<const uint8_t*>(Bytes("C.VRX").data()) + 23), kIndexRange);
}

TEST_F(XBaseDriverTest, PackAndReindex) {
    RunCases(
        {
            {"pack drops the deleted records with their memos and renumbers",
             "dbmakeindex t N.VRX NAME \"\"\ndbgo t \"\" 2\ndbdelete t \"\"\ndbgo t \"\" 4\ndbdelete t "
             "\"\"\ndbpack t\n"
             "err VrPACK\nprint t.totrec t.recno\nwalk t NOTES\nlet p 1\ndbsetindex t \"\" \"\"\nwalk t NAME",
             "VrPACK=\n33\n3:memo of amy 2: 1:memo of eve eof\n1:eve 2:dan 3:cat eof\n"},
            {"reindex keeps deleted records' entries and the list order",
             "dbmakeindex t V.VRX N \"\"\ndbmakeindex t N.VRX NAME \"\"\ndbgo t \"\" 1\ndbdelete t "
             "\"\"\ndbreindex t\n"
             "err VrREINDEX\nwalk t NAME",
             "VrREINDEX=\n4:amy 2:bob 5:cat 3:dan 1:eve eof\n"},
            {"pack without an index stands on record 1",
             "dbgo t \"\" 5\ndbdelete t \"\"\ndbpack t\nprint t.totrec t.recno t.NAME", "41eve\n"},
        },
        {{"N.VRX", NameKey}, {"V.VRX", NumberKey}});
}

// A reindex is the repair step after a writer was killed: a UNIQUE key that a
// deleted record and a live one both hold goes to the live one, whichever
// comes first; only two live records with one key fail it, and the message
// names the index file, not the temporary one it was building.
TEST_F(XBaseDriverTest, AReindexGivesAUniqueKeyToTheLiveRecord) {
    const std::string twice = "Index 'N.VRX' was created with the UNIQUE flag and the key 'amy' already exists "
                              "in the index file";
    const struct {
        const char* name;
        const char* changes; // through r, which has no index open
        std::string output;
        std::set<int32_t> entries; // the records the index holds afterwards
    } cases[] = {
        {"two live records", "", "VrREINDEX=" + twice + "\n", {1, 2, 3, 4, 5}},
        {"the deleted one first", "dbgo r \"\" 4\ndbdelete r \"\"\n", "VrREINDEX=\n", {1, 2, 3, 5, 6}},
        {"the deleted one last", "dbgo r \"\" 6\ndbdelete r \"\"\n", "VrREINDEX=\n", {1, 2, 3, 4, 5}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(tree.Data());
        std::filesystem::create_directories(tree.Data());
        ASSERT_EQ(Run(std::string(kPeople) + "dbmakeindex t N.VRX NAME \"unique\"\nerr VrMAKEINDEX"),
                  "VrMAKEINDEX=\n");
        EXPECT_EQ(Run(std::string("open r T.DBF\nset r NAME amy\ndbadd r \"\"\n") + c.changes +
                      "open t T.DBF N.VRX\ndbreindex t\nerr VrREINDEX"),
                  c.output);
        std::vector<Row> rows = ReadTable("T.DBF");
        std::vector<IndexEntry> entries;
        EXPECT_TRUE(CheckIndex(Bytes("N.VRX"), &entries));
        std::multiset<IndexEntry> expected;
        for (int32_t r : c.entries) expected.insert({rows[static_cast<size_t>(r - 1)].values[0], r});
        EXPECT_TRUE(std::multiset<IndexEntry>(entries.begin(), entries.end()) == expected);
    }
}

// A key that does not compile fails pack and reindex before any file is
// touched: every file is byte for byte as it was, and no temporary is left.
TEST_F(XBaseDriverTest, RebuildsThatFailLeaveTheFiles) {
    Run(std::string(kPeople) + "dbmakeindex t BAD.VRX \"NAME +\" \"\"\ndbmakeindex t N.VRX NAME \"\"\n"
                               "dbgo t \"\" 2\ndbdelete t \"\"");
    std::map<std::string, std::string> before;
    for (const auto& entry : std::filesystem::directory_iterator(tree.Data()))
        before[entry.path().filename().string()] = Bytes(entry.path().filename().string());
    std::string out =
        Run("open t T.DBF \"N.VRX, BAD.VRX\"\ndbpack t\ndbreindex t\nerr VrPACK VrREINDEX\nprint t.totrec");
    EXPECT_EQ(out, "VrPACK=Syntax error in index expression: Argument expected in Expression "
                   "VrREINDEX=Syntax error in index expression: Argument expected in Expression\n5\n");
    std::map<std::string, std::string> after;
    for (const auto& entry : std::filesystem::directory_iterator(tree.Data()))
        after[entry.path().filename().string()] = Bytes(entry.path().filename().string());
    EXPECT_TRUE(before == after) << before.size() << " files before, " << after.size() << " after";
}

// The second swap of a pack fails (another handle of this process holds the
// memo file open until the file time-out): the table's swap is undone, so
// the old set of files is whole and the temporaries are gone; without that
// handle the same pack succeeds.
TEST_F(XBaseDriverTest, AFailedSwapPutsTheOldFilesBack) {
    Run(std::string(kPeople) + "dbmakeindex t N.VRX NAME \"\"\ndbgo t \"\" 2\ndbdelete t \"\"");
    std::map<std::string, std::string> before;
    for (const auto& entry : std::filesystem::directory_iterator(tree.Data()))
        before[entry.path().filename().string()] = Bytes(entry.path().filename().string());
    {
        platform::FileHandle holder;
        ASSERT_TRUE(holder.Open(DataPath("T.DBT").c_str(), platform::kOpenRead));
        std::string out = Run("open t T.DBF N.VRX\ndbpack t\nerr VrPACK\nprint t.totrec", nullptr,
                              {"globaltimeout=0", "filetimeout=1", "filedelay=20"});
        EXPECT_EQ(out, "VrPACK=Timed out waiting to rename the file: Permission denied\n5\n");
    }
    std::map<std::string, std::string> after;
    for (const auto& entry : std::filesystem::directory_iterator(tree.Data()))
        after[entry.path().filename().string()] = Bytes(entry.path().filename().string());
    EXPECT_TRUE(before == after) << before.size() << " files before, " << after.size() << " after";
    EXPECT_EQ(Run("open t T.DBF N.VRX\ndbpack t\nerr VrPACK\nwalk t NAME"),
              "VrPACK=\n3:amy 4:cat 2:dan 1:eve eof\n");
    Verify("T.DBF", {{"N.VRX", NameKey}});
}

TEST_F(XBaseDriverTest, StructureReports) {
    RunCases({
        {"into a table and into a variable",
         "dbrevealstructuredb t \"\" S.DBF\nerr VrREVEALSTRUCTURE\nlet s \"\"\n"
         ": pushc \"x\"\n: popnc \"s[5]:FIELD_NAME\"\n"
         "dbrevealstructureagg t \"\" $s\n"
         "print $s[2]:FIELD_NAME \",\" $s[2]:FIELD_TYPE \",\" $s[2]:FIELD_LEN \",\" $s[2]:FIELD_DEC \",\" "
         "$s[3]:FIELD_TYPE "
         "\",\" $s[5]:FIELD_NAME",
         "VrREVEALSTRUCTURE=\nN,N,5,1,M,x\n"},
        {"a report file that cannot be made",
         "dbrevealstructuredb t \"\" \"no/such/dir/S.DBF\"\nerr VrREVEALSTRUCTURE",
         "VrREVEALSTRUCTURE=Error creating 'no/such/dir/S.DBF': No such file or directory\n"},
    });
    std::filesystem::remove_all(tree.Data());
    std::filesystem::create_directories(tree.Data());
    Run(std::string(kPeople) + "dbrevealstructuredb t \"\" S.DBF");
    std::vector<Row> rows = ReadTable("S.DBF");
    ASSERT_EQ(rows.size(), 3u);
    const char* expected[3][4] = {{"NAME", "C", "10", "0"}, {"N", "N", "5", "1"}, {"NOTES", "M", "10", "0"}};
    for (size_t r = 0; r < 3; ++r)
        for (size_t c = 0; c < 4; ++c)
            EXPECT_EQ(rows[r].values[c], expected[r][c]) << r << " " << c;
    Verify("S.DBF");
}

} // namespace
} // namespace vorn::test
