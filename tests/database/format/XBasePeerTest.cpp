// Independent dBASE readers as peers: python3-dbfread and python3-dbf read
// the tables and memo files written here, and python3-dbf writes tables that
// are read here. Index files are checked against keys recomputed from
// dbfread's rows.
#include "tests/database/format/XBaseTestSupport.h"

namespace vorn::test {
namespace {

// Prints every record of a table as "deleted-mark|value|value..." with
// dbfread and then with python3-dbf, memo texts as <length:first letter>.
const char* kReadBoth = R"PY(
import datetime, os, sys
import dbf, dbfread
path = os.path.join(sys.argv[1], sys.argv[2] if len(sys.argv) > 2 else 'PEER.DBF')
def show(v):
    if v is None: return 'None'
    if isinstance(v, bool): return 'T' if v else 'F'
    if hasattr(v, 'strftime'): return v.strftime('%Y%m%d') if v else 'None'
    if isinstance(v, str):
        v = v.rstrip()
        return v if len(v) < 20 else '<%d:%s>' % (len(v), v[0])
    if v is dbf.Null or v is dbf.NoneType: return 'None'
    return str(v)
table = dbfread.DBF(path, load=True)
for deleted, rows in ((' ', table.records), ('*', table.deleted)):
    for r in rows: print('dbfread ' + deleted + '|'.join(show(v) for v in r.values()))
t = dbf.Table(path)
t.open(dbf.READ_ONLY)
for r in t:
    print('dbf ' + ('*' if dbf.is_deleted(r) else ' ') + '|'.join(show(r[i]) for i in range(len(t.field_names))))
t.close()
)PY";

class XBasePeerTest : public XBaseTest {};

TEST_F(XBasePeerTest, BothReadersReadOurTablesAndMemos) {
    XBaseTable table(&opener);
    Create(table, "PEER.DBF",
           {{"NAME", 'C', 10, 0}, {"AGE", 'N', 3, 0}, {"PRICE", 'N', 8, 2}, {"BORN", 'D', 8, 0}, {"OK", 'L', 1, 0},
            {"NOTES", 'M', 10, 0}});
    Append(table, {{"NAME", "Ann"}, {"AGE", "42"}, {"PRICE", "12.50"}, {"BORN", "19800131"}, {"OK", "T"},
                   {"NOTES", std::string(510, 'x')}});
    Append(table, {{"NAME", "Bo"}, {"AGE", "7"}, {"PRICE", "1.25"}, {"OK", "F"}, {"NOTES", std::string(511, 'y')}});
    ASSERT_TRUE(table.SetDeleted(1));
    Append(table, {{"NAME", "Cy"}, {"OK", "?"}});
    Append(table, {{"NAME", "Dee Dee"}, {"AGE", "-5"}, {"PRICE", "-0.75"}, {"BORN", "20240229"}, {"OK", "Y"},
                   {"NOTES", "short memo"}});
    table.Close();
    EXPECT_TRUE(ScratchTree::Exists(DataPath("PEER.DBT")));
    int status = 0;
    std::string out = Python(kReadBoth, &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(out,
              "dbfread  Ann|42|12.5|19800131|T|<510:x>\n"
              "dbfread  Cy|None|None|None|None|None\n" // dbfread: a blank memo is None
              "dbfread  Dee Dee|-5|-0.75|20240229|T|short memo\n"
              "dbfread *Bo|7|1.25|None|F|<511:y>\n"
              "dbf  Ann|42|12.5|19800131|T|<510:x>\n"
              "dbf *Bo|7|1.25|None|F|<511:y>\n"
              "dbf  Cy|None|None|None|None|\n"
              "dbf  Dee Dee|-5|-0.75|20240229|T|short memo\n");
}

TEST_F(XBasePeerTest, WideAndEmptyTablesReadTheSame) {
    std::vector<FieldSpec> wide;
    std::vector<std::string> names;
    for (int i = 0; i < 2046; ++i) names.push_back("F" + std::to_string(i));
    for (int i = 0; i < 2046; ++i) wide.push_back({names[static_cast<size_t>(i)].c_str(), 'C', 1, 0});
    XBaseTable table(&opener);
    Create(table, "WIDE.DBF", wide);
    Append(table, {{"F0", "a"}, {"F2045", "z"}});
    table.Close();
    XBaseTable empty(&opener);
    Create(empty, "NONE.DBF", {});
    Append(empty, {});
    empty.Close();
    const char* script = R"PY(
import os, sys
import dbf, dbfread
for name in ('WIDE.DBF', 'NONE.DBF'):
    path = os.path.join(sys.argv[1], name)
    t = dbfread.DBF(path, load=True)
    values = [list(r.values()) for r in t.records]
    print('dbfread', name, len(t.field_names), len(values), ''.join(v for v in values[0] if v))
    try:
        d = dbf.Table(path)
        d.open(dbf.READ_ONLY)
        print('dbf', name, len(d.field_names), len(d))
        d.close()
    except Exception as e:
        print('dbf', name, 'refused:', type(e).__name__)
)PY";
    std::string out = Python(script);
    EXPECT_EQ(out,
              "dbfread WIDE.DBF 2046 1 az\n"
              "dbf WIDE.DBF 2046 1\n"
              "dbfread NONE.DBF 0 1 \n"
              "dbf NONE.DBF 0 1\n");
}

TEST_F(XBasePeerTest, WeReadTablesThatPythonDbfWrote) {
    const char* script = R"PY(
import datetime, os, sys
import dbf
t = dbf.Table(os.path.join(sys.argv[1], 'their.dbf'), 'NAME C(10); AGE N(3,0); PRICE N(8,2); BORN D; OK L; NOTES M', dbf_type='db3')
t.open(dbf.READ_WRITE)
t.append(('Ann', 42, 12.5, datetime.date(1980, 1, 31), True, 'x' * 510))
t.append(('Bo', 7, 1.25, None, False, 'y' * 511))
t.append(('Cy', None, None, None, None, ''))
dbf.delete(t[1])
t.close()
w = dbf.Table(os.path.join(sys.argv[1], 'wide.dbf'), '; '.join('F%d C(2)' % i for i in range(255)), dbf_type='db3')
w.open(dbf.READ_WRITE)
w.append(tuple('%02d' % (i % 100) for i in range(255)))
w.close()
)PY";
    std::string out = Python(script);
    ASSERT_EQ(out, "");
    XBaseTable table(&opener);
    ASSERT_TRUE(table.Open(LocationData, "their.dbf", 3)) << table.ErrorText().Text();
    EXPECT_EQ(table.Version(), 0x83);
    ASSERT_EQ(table.RecordCount(), 3);
    struct Row {
        int deleted;
        const char* values[6];
        size_t memo;
    };
    const Row rows[] = {{0, {"Ann", "42", "12.50", "19800131", "T", nullptr}, 510},
                        {1, {"Bo", "7", "1.25", "        ", "F", nullptr}, 511},
                        {0, {"Cy", "", "", "        ", "?", ""}, 0}};
    const char* names[] = {"NAME", "AGE", "PRICE", "BORN", "OK", "NOTES"};
    for (int32_t n = 1; n <= 3; ++n) {
        const Row& row = rows[n - 1];
        ASSERT_TRUE(table.ReadRecord(n)) << table.ErrorText().Text();
        EXPECT_EQ(table.Deleted(), row.deleted) << n;
        for (int i = 0; i < 6; ++i) {
            std::string value = Value(table, names[i]);
            if (row.values[i])
                EXPECT_EQ(value, row.values[i]) << n << " " << names[i];
            else
                EXPECT_EQ(value, std::string(row.memo, n == 1 ? 'x' : 'y')) << n << " " << names[i];
        }
    }
    // Appending to their table keeps it readable by them.
    Append(table, {{"NAME", "Ours"}, {"AGE", "1"}, {"NOTES", "appended"}});
    table.Close();
    XBaseTable wide(&opener);
    ASSERT_TRUE(wide.Open(LocationData, "wide.dbf", 1)) << wide.ErrorText().Text();
    ASSERT_TRUE(wide.ReadRecord(1));
    EXPECT_EQ(wide.Fields().Count(), 255);
    EXPECT_EQ(Value(wide, "F254"), "54");
    std::string check = Python(R"PY(
import os, sys, dbf
t = dbf.Table(os.path.join(sys.argv[1], 'their.dbf'))
t.open(dbf.READ_ONLY)
print(len(t), t[3][0].rstrip(), t[3][5])
t.close()
)PY");
    EXPECT_EQ(check, "4 Ours appended\n");
}

// The index of a table, checked by the tree checker and against keys that
// dbfread's rows give: every (key, record number) once.
TEST_F(XBasePeerTest, IndexEntriesMatchKeysFromTheRowsDbfreadReads) {
    XBaseTable table(&opener);
    Create(table, "KEYED.DBF", {{"CODE", 'C', 12, 0}, {"N", 'N', 6, 1}});
    KPZIndexFile byCode(&opener);
    ASSERT_TRUE(byCode.CreateFile(LocationData, "code.vrx", "CODE", 0));
    KPZIndexFile byNumber(&opener);
    ASSERT_TRUE(byNumber.CreateFile(LocationData, "n.vrx", "N", kIndexDescending));
    uint32_t seed = 99;
    for (int i = 0; i < 300; ++i) {
        seed = seed * 1103515245 + 12345;
        std::string code = "C" + std::to_string(seed % 97) + "-" + std::to_string(i % 13);
        std::string number = std::to_string(static_cast<int>(seed % 2000) - 1000) + "." + std::to_string(i % 10);
        Append(table, {{"CODE", code}, {"N", number}});
        ASSERT_TRUE(byCode.Insert(table.CurrentRecord(), code.c_str(), -1));
        ASSERT_TRUE(byNumber.Insert(table.CurrentRecord(), Value(table, "N").c_str(), -1));
    }
    // Re-key a few records as an update would.
    for (int32_t n : {5, 77, 300}) {
        ASSERT_TRUE(table.ReadRecord(n));
        std::string old = Value(table, "CODE");
        table.FindField("CODE")->SetValue("REKEYED", -1);
        ASSERT_TRUE(table.UpdateRecord());
        ASSERT_TRUE(byCode.Delete(n, old.c_str(), -1));
        ASSERT_TRUE(byCode.Insert(n, "REKEYED", -1));
    }
    std::string out = Python(R"PY(
import os, sys, dbfread
for i, r in enumerate(dbfread.DBF(os.path.join(sys.argv[1], 'KEYED.DBF'), load=True).records, 1):
    print('%d\t%s\t%s' % (i, r['CODE'], ('%.1f' % r['N'])))
)PY");
    std::multiset<IndexEntry> codes, numbers;
    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        std::string line = out.substr(start, end - start);
        start = end + 1;
        size_t a = line.find('\t'), b = line.find('\t', a + 1);
        ASSERT_NE(b, std::string::npos) << line;
        int32_t record = std::stoi(line.substr(0, a));
        codes.insert({line.substr(a + 1, b - a - 1), record});
        numbers.insert({line.substr(b + 1), record});
    }
    ASSERT_EQ(codes.size(), 300u);
    for (const auto& [file, expected] : {std::make_pair("code.vrx", &codes), std::make_pair("n.vrx", &numbers)}) {
        std::vector<IndexEntry> tree;
        ASSERT_TRUE(CheckIndex(Bytes(file), &tree)) << file;
        EXPECT_TRUE(std::multiset<IndexEntry>(tree.begin(), tree.end()) == *expected) << file;
    }
}

} // namespace
} // namespace vorn::test
