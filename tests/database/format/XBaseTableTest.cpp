// Tables and memo files: the bytes they are made of, records and their locks,
// and what becomes of hostile and damaged files.
#include <random>
#include <thread>

#include <unistd.h>

#include "tests/database/format/XBaseTestSupport.h"

namespace vorn::test {
namespace {

constexpr int64_t kFixedNow = 1700000000; // 2023-11-14 UTC

std::string Header(const std::string& bytes) { return bytes.substr(0, 32); }

class XBaseTableTest : public XBaseTest {
protected:
    void SetUp() override {
        XBaseTest::SetUp();
        opener.now = kFixedNow;
    }

    // Every kind of field.
    std::vector<FieldSpec> AllKinds() const {
        return {{"NAME", 'C', 10, 0}, {"AGE", 'N', 3, 0}, {"PRICE", 'N', 8, 2}, {"BORN", 'D', 8, 0},
                {"OK", 'L', 1, 0},    {"NOTES", 'M', 10, 0}};
    }
};

TEST_F(XBaseTableTest, CreatedTablesHaveTheFormatsBytes) {
    struct Case {
        const char* name;
        std::vector<FieldSpec> fields;
        int32_t headerLength;
        int32_t recordLength;
        uint8_t version;
    };
    std::vector<FieldSpec> many;
    for (int i = 0; i < 2046; ++i) many.push_back({"F", 'C', 1, 0});
    const Case cases[] = {
        {"empty.dbf", {}, 33, 1, 0x03},
        {"plain.dbf", {{"NAME", 'C', 20, 0}, {"N", 'N', 11, 2}, {"D", 'D', 8, 0}, {"L", 'L', 1, 0}}, 161, 41, 0x03},
        {"memo.dbf", {{"NAME", 'C', 5, 0}, {"NOTES", 'M', 10, 0}}, 97, 16, 0x83},
        {"wide.dbf", many, 65505, 2047, 0x03},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        XBaseTable table(&opener);
        Create(table, c.name, c.fields);
        std::string bytes = Bytes(c.name);
        ASSERT_EQ(bytes.size(), static_cast<size_t>(c.headerLength) + 1);
        const uint8_t* b = reinterpret_cast<const uint8_t*>(bytes.data());
        EXPECT_EQ(b[0], c.version);
        EXPECT_EQ(b[1], 123);
        EXPECT_EQ(b[2], 11);
        EXPECT_EQ(b[3], 14);
        EXPECT_EQ(GetU32(b + 4), 0u);
        EXPECT_EQ(GetU16(b + 8), c.headerLength);
        EXPECT_EQ(GetU16(b + 10), c.recordLength);
        EXPECT_EQ(bytes.substr(12, 20), std::string(20, '\0'));
        EXPECT_EQ(b[c.headerLength - 1], 0x0D);
        EXPECT_EQ(b[c.headerLength], 0x1A);
        for (size_t i = 0; i < c.fields.size(); ++i) {
            const uint8_t* d = b + 32 + 32 * i;
            std::string name(c.fields[i].name);
            ASSERT_EQ(std::string(reinterpret_cast<const char*>(d), name.size()), name);
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(d) + name.size(), 11 - name.size()),
                      std::string(11 - name.size(), '\0'));
            EXPECT_EQ(d[11], static_cast<uint8_t>(c.fields[i].type));
            EXPECT_EQ(d[16], c.fields[i].length);
            EXPECT_EQ(d[17], c.fields[i].decimals);
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(d) + 12, 4), std::string(4, '\0'));
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(d) + 18, 14), std::string(14, '\0'));
        }
        bool memo = c.version == 0x83;
        EXPECT_EQ(ScratchTree::Exists(DataPath("memo.dbt")), memo || ScratchTree::Exists(DataPath("memo.dbt")));
        if (memo) {
            std::string dbt = Bytes("memo.dbt");
            ASSERT_EQ(dbt.size(), 513u);
            EXPECT_EQ(dbt.substr(0, 4), std::string("\x01\0\0\0", 4));
            EXPECT_EQ(dbt.substr(4, 508), std::string(508, '\0'));
            EXPECT_EQ(dbt[512], '\x1a');
        }
    }
}

TEST_F(XBaseTableTest, CreateRefusesWhatTheFormatCannotHoldBeforeTouchingTheDisk) {
    std::vector<FieldSpec> tooMany(2047, {"F", 'C', 1, 0});
    std::vector<FieldSpec> tooLong(258, {"F", 'C', 255, 0}); // 65791 bytes a record
    struct Case {
        std::vector<FieldSpec> fields;
        const char* message;
    };
    const Case cases[] = {
        {tooMany, "Error creating 'keep.dbf': too many fields (maximum 2046)"},
        {tooLong, "Error creating 'keep.dbf': the record is longer than 65535 bytes"},
        {{{"BIG", 'C', 256, 0}}, "Error creating 'keep.dbf': the field BIG has an invalid type, length or decimal count"},
        {{{"NEG", 'N', -3, 0}}, "Error creating 'keep.dbf': the field NEG has an invalid type, length or decimal count"},
    };
    ScratchTree::WriteFile(DataPath("keep.dbf"), "precious");
    for (const Case& c : cases) {
        XBaseTable table(&opener);
        List<XBaseField> list(true);
        AddFields(list, c.fields);
        EXPECT_FALSE(table.CreateFiles(LocationData, "keep.dbf", nullptr, list));
        EXPECT_STREQ(table.ErrorText().Text(), c.message);
        EXPECT_EQ(Bytes("keep.dbf"), "precious");
    }
    // Without files: the messages of an internal failure, the memo one as spelled.
    XBaseTable table(&opener);
    List<XBaseField> list(true);
    AddFields(list, {{"NOTES", 'M', 10, 0}});
    EXPECT_FALSE(table.Create(nullptr, "t.dbf", nullptr, "t.dbt", list));
    EXPECT_STREQ(table.ErrorText().Text(), "Internal error opening 't.dbf'");
    std::string bytes;
    MemoryFaults faults;
    MemoryStore store(&bytes, &faults);
    EXPECT_FALSE(table.Create(&store, "t.dbf", nullptr, "t.dbt", list));
    EXPECT_STREQ(table.ErrorText().Text(), "Internal errorl opening 't.dbt'");
}

TEST_F(XBaseTableTest, RecordsKeepEachKindsLayout) {
    XBaseTable table(&opener);
    Create(table, "people.dbf", AllKinds());
    Append(table, {{"NAME", "Ann"}, {"AGE", "42"}, {"PRICE", "12.50"}, {"BORN", "19800131"}, {"OK", "T"},
                   {"NOTES", "ten bytes!"}});
    Append(table, {{"NAME", "  Bo  "}, {"AGE", "7"}});
    EXPECT_EQ(table.RecordCount(), 2);
    EXPECT_EQ(table.CurrentRecord(), 2);
    std::string bytes = Bytes("people.dbf");
    int32_t h = table.HeaderLength();
    int32_t r = table.RecordLength();
    ASSERT_EQ(r, 1 + 10 + 3 + 8 + 8 + 1 + 10);
    ASSERT_EQ(bytes.size(), static_cast<size_t>(h + 2 * r + 1));
    EXPECT_EQ(bytes.substr(h, r), " Ann        42   12.5019800131T         1");
    EXPECT_EQ(bytes.substr(h + r, r), "   Bo        7                           ");
    EXPECT_EQ(bytes.back(), '\x1a');
    EXPECT_EQ(GetU32(reinterpret_cast<const uint8_t*>(bytes.data()) + 4), 2u);
    std::string memo = Bytes("people.dbt");
    EXPECT_EQ(memo.size(), 512u + 12u);
    EXPECT_EQ(memo.substr(512), "ten bytes!\x1a\x1a");
    EXPECT_EQ(memo.substr(0, 4), std::string("\x02\0\0\0", 4));

    // Read back: character fields lose trailing blanks, numbers leading ones.
    XBaseTable again(&opener);
    ASSERT_TRUE(again.Open(LocationData, "people.dbf", 3)) << again.ErrorText().Text();
    ASSERT_TRUE(again.ReadRecord(1));
    const std::pair<const char*, const char*> first[] = {
        {"NAME", "Ann"}, {"AGE", "42"}, {"PRICE", "12.50"}, {"BORN", "19800131"}, {"OK", "T"}, {"NOTES", "ten bytes!"}};
    for (const auto& [name, value] : first) EXPECT_EQ(Value(again, name), value) << name;
    ASSERT_TRUE(again.ReadRecord(2));
    EXPECT_EQ(Value(again, "NAME"), "  Bo");
    EXPECT_EQ(Value(again, "BORN"), "        ");
    EXPECT_EQ(Value(again, "NOTES"), "");

    // A rewrite changes the record in place and stamps the header; a delete
    // mark changes one byte.
    opener.now = kFixedNow + 86400 * 40; // 2023-12-24
    again.FindField("AGE")->SetValue("8", 1);
    ASSERT_TRUE(again.UpdateRecord()) << again.ErrorText().Text();
    ASSERT_TRUE(again.SetDeleted(1));
    bytes = Bytes("people.dbf");
    EXPECT_EQ(bytes.substr(h + r, r), "*  Bo        8                           ");
    EXPECT_EQ(Header(bytes).substr(1, 3), "\x7b\x0c\x18");
    ASSERT_TRUE(again.ReadRecord(2));
    EXPECT_EQ(again.Deleted(), 1);
    ASSERT_TRUE(again.SetDeleted(0));
    EXPECT_EQ(Bytes("people.dbf").substr(h + r, 1), " ");
}

TEST_F(XBaseTableTest, RecordNumbersFollowOtherWriters) {
    XBaseTable writer(&opener);
    Create(writer, "t.dbf", {{"A", 'C', 3, 0}});
    Append(writer, {{"A", "one"}});
    XBaseTable reader(&opener);
    ASSERT_TRUE(reader.Open(LocationData, "t.dbf", 3));
    for (int32_t n : {0, -1, 2}) {
        EXPECT_FALSE(reader.ReadRecord(n)) << n;
        EXPECT_STREQ(reader.ErrorText().Text(), "Invalid record number");
    }
    Append(writer, {{"A", "two"}});
    ASSERT_TRUE(reader.ReadRecord(2)) << reader.ErrorText().Text(); // the header is read again
    EXPECT_EQ(Value(reader, "A"), "two");
    EXPECT_EQ(reader.RecordCount(), 2);
    Append(reader, {{"A", "3"}});
    EXPECT_EQ(reader.CurrentRecord(), 3);
}

// Records another program cut off the file under an open table read as the
// file's end, never as zeros (a record across the new end included).
TEST_F(XBaseTableTest, RecordsCutOffUnderAnOpenTableAreNotReadAsZeros) {
    XBaseTable table(&opener);
    Create(table, "t.dbf", {{"A", 'C', 99, 0}});
    for (int i = 1; i <= 200; ++i) Append(table, {{"A", "row " + std::to_string(i)}});
    XBaseTable reader(&opener);
    ASSERT_TRUE(reader.Open(LocationData, "t.dbf", 3));
    for (int32_t n = 1; n <= 200; ++n) ASSERT_TRUE(reader.ReadRecord(n)) << reader.ErrorText().Text();
    const int64_t at51 = reader.HeaderLength() + 50 * 100;
    ASSERT_EQ(truncate(DataPath("t.dbf").c_str(), at51 + 60), 0);
    struct Case {
        int32_t record;
        bool read;
    } const cases[] = {{50, true}, {51, false}, {52, false}, {200, false}, {1, true}};
    for (const Case& c : cases) {
        EXPECT_EQ(reader.ReadRecord(c.record), c.read) << c.record;
        if (c.read)
            EXPECT_EQ(Value(reader, "A"), "row " + std::to_string(c.record));
        else
            EXPECT_STREQ(reader.ErrorText().Text(), "Error reading from 't.dbf': File is corrupt (unexpected end of file)");
    }
}

TEST_F(XBaseTableTest, NumbersThatDoNotFitAreRefused) {
    XBaseTable table(&opener);
    Create(table, "n.dbf", {{"N", 'N', 3, 0}, {"C", 'C', 3, 0}});
    XBaseField* number = table.FindField("N");
    EXPECT_FALSE(number->SetValue("123456", 6));
    EXPECT_STREQ(table.ErrorText().Text(), "The value '123456' is too wide for the numeric field 'N' (width 3)");
    EXPECT_TRUE(number->SetValue("123", 3));
    XBaseField* text = table.FindField("C");
    EXPECT_TRUE(text->SetValue("abcdef", 6)); // text is cut
    EXPECT_STREQ(text->Value(), "abc");
}

TEST_F(XBaseTableTest, MemoTextsFillWholeBlocks) {
    struct Case {
        size_t length;
        uint32_t block;
        uint32_t next;
    };
    // One after another in one memo file: 10 bytes, 510 (one block with the
    // two end marks), 511 (two blocks), 0 (nothing appended).
    const Case cases[] = {{10, 1, 2}, {510, 2, 3}, {511, 3, 5}, {0, 0, 5}};
    XBaseTable table(&opener);
    Create(table, "m.dbf", {{"NOTES", 'M', 10, 0}});
    for (const Case& c : cases) {
        std::string text(c.length, 'x');
        Append(table, {{"NOTES", text}});
        XBaseMemoField* memo = static_cast<XBaseMemoField*>(table.FindField("NOTES"));
        EXPECT_EQ(std::string(memo->BlockText()), c.block ? std::to_string(c.block) : "");
        EXPECT_EQ(table.NextMemoBlock(), c.next);
        std::string bytes = Bytes("m.dbf");
        EXPECT_EQ(bytes.substr(bytes.size() - 11, 10),
                  c.block ? std::string(10 - std::to_string(c.block).size(), ' ') + std::to_string(c.block)
                          : std::string(10, ' '));
        if (c.block) {
            EXPECT_EQ(Bytes("m.dbt").substr(c.block * 512, c.length + 2), text + "\x1a\x1a");
        }
    }
    EXPECT_EQ(Bytes("m.dbt").size(), 3 * 512 + 513u);
    // The same record stored twice after one change appends the text twice.
    table.FindField("NOTES")->SetValue("again", 5);
    ASSERT_TRUE(table.UpdateRecord());
    ASSERT_TRUE(table.UpdateRecord());
    EXPECT_EQ(table.NextMemoBlock(), 7u);
    // Texts read back whole, the empty one without touching the memo file.
    XBaseTable reader(&opener);
    ASSERT_TRUE(reader.Open(LocationData, "m.dbf", 3));
    for (int32_t n = 1; n <= 4; ++n) {
        ASSERT_TRUE(reader.ReadRecord(n));
        EXPECT_EQ(Value(reader, "NOTES"), n == 4 ? "again" : std::string(cases[n - 1].length, 'x')) << n;
    }
    // A text without end mark runs to the end of the file.
    std::string memo = Bytes("m.dbt");
    ScratchTree::WriteFile(DataPath("m.dbt"), memo.substr(0, 6 * 512 + 3));
    ASSERT_TRUE(reader.ReadRecord(4));
    EXPECT_EQ(Value(reader, "NOTES"), "aga");
}

TEST_F(XBaseTableTest, MemoMendsRefuseWhatWouldCorruptOrCutTexts) {
    XBaseTable table(&opener);
    Create(table, "m.dbf", {{"ID", 'N', 2, 0}, {"NOTES", 'M', 10, 0}});
    XBaseField* notes = table.FindField("NOTES");
    EXPECT_FALSE(notes->SetValue("cut\x1ahere", 8));
    EXPECT_STREQ(table.ErrorText().Text(),
                 "The text for the memo field 'NOTES' holds the byte 0x1A, which would end it in the memo file");
    EXPECT_EQ(table.AppendMemo("a\x1a", 2), -1);
    Append(table, {{"ID", "1"}, {"NOTES", "fine"}});
    std::string dbf = Bytes("m.dbf");
    int32_t at = table.HeaderLength() + 3;
    // Block numbers a record may not hold.
    const std::pair<const char*, const char*> blocks[] = {
        {"        -5", "Error reading from 'm.dbt': File is corrupt (a memo block number is out of range)"},
        {"9999999999", "Error reading from 'm.dbt': File is corrupt (a memo block number is out of range)"},
    };
    for (const auto& [block, message] : blocks) {
        std::string bad = dbf;
        bad.replace(static_cast<size_t>(at), 10, block);
        ScratchTree::WriteFile(DataPath("m.dbf"), bad);
        XBaseTable reader(&opener);
        ASSERT_TRUE(reader.Open(LocationData, "m.dbf", 3));
        ASSERT_TRUE(reader.ReadRecord(1));
        EXPECT_EQ(reader.FindField("NOTES")->Value(), nullptr) << block;
        EXPECT_STREQ(reader.ErrorText().Text(), message);
    }
    ScratchTree::WriteFile(DataPath("m.dbf"), dbf);
    // A next free block of 0 would put the next text over the header.
    std::string dbt = Bytes("m.dbt");
    ScratchTree::WriteFile(DataPath("m.dbt"), std::string(4, '\0') + dbt.substr(4));
    XBaseTable reader(&opener);
    EXPECT_FALSE(reader.Open(LocationData, "m.dbf", 3));
    EXPECT_STREQ(reader.ErrorText().Text(), "Error reading from 'm.dbt': File is corrupt (the next free block is 0)");
}

// A memo header whose next free block lies past the end of the file is
// damage: an append writes nothing (it would have made a file of that size),
// and says so with the file's name. A text that needs long reads ends when
// the request is stopped.
TEST_F(XBaseTableTest, DamagedMemoHeadersWriteNothingAndLongReadsStop) {
    XBaseTable table(&opener);
    Create(table, "m.dbf", {{"ID", 'N', 2, 0}, {"NOTES", 'M', 10, 0}});
    Append(table, {{"ID", "1"}, {"NOTES", "first"}});
    const std::string dbf = Bytes("m.dbf");
    const std::string dbt = Bytes("m.dbt"); // the header, then "first" and its marks in block 1
    const struct {
        uint32_t next;
        bool damaged;
    } cases[] = {{2, false}, {3, true}, {824188960u, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.next);
        std::string header(4, '\0');
        PutU32(reinterpret_cast<uint8_t*>(header.data()), c.next);
        ScratchTree::WriteFile(DataPath("m.dbf"), dbf);
        ScratchTree::WriteFile(DataPath("m.dbt"), header + dbt.substr(4));
        XBaseTable writer(&opener);
        ASSERT_TRUE(writer.Open(LocationData, "m.dbf", 3)) << writer.ErrorText().Text();
        writer.FindField("ID")->SetValue("2", 1);
        writer.FindField("NOTES")->SetValue("second", 6);
        EXPECT_EQ(writer.AppendRecord(), c.damaged ? 0 : 1);
        if (c.damaged) {
            EXPECT_STREQ(writer.ErrorText().Text(),
                         "Error writing to 'm.dbt': memo file damaged, its next free block lies past the end of "
                         "the file");
            // Nothing written: not the 421 GB file that block would give.
            ASSERT_EQ(std::filesystem::file_size(DataPath("m.dbt")), dbt.size());
            EXPECT_EQ(Bytes("m.dbt"), header + dbt.substr(4));
            EXPECT_EQ(Bytes("m.dbf"), dbf);
        } else {
            EXPECT_EQ(Bytes("m.dbt").size(), 2 * 512 + 8u);
        }
    }
    // A text of 200 KB reads whole, and not once the request is stopped.
    XBaseTable writer(&opener);
    Create(writer, "long.dbf", {{"NOTES", 'M', 10, 0}});
    Append(writer, {{"NOTES", std::string(200000, 'x')}});
    Append(writer, {{"NOTES", "short"}});
    XBaseTable reader(&opener);
    ASSERT_TRUE(reader.Open(LocationData, "long.dbf", 3));
    ASSERT_TRUE(reader.ReadRecord(1));
    EXPECT_EQ(Value(reader, "NOTES").size(), 200000u);
    opener.stopped = true;
    ASSERT_TRUE(reader.ReadRecord(1));
    EXPECT_EQ(reader.FindField("NOTES")->Value(), nullptr);
    EXPECT_STREQ(reader.ErrorText().Text(), "Error reading from 'long.dbt': the request was stopped");
    ASSERT_TRUE(reader.ReadRecord(2));
    EXPECT_EQ(Value(reader, "NOTES"), "short");
    opener.stopped = false;
}

TEST_F(XBaseTableTest, MemoNamesFollowTheTablesCase) {
    const std::pair<const char*, const char*> names[] = {
        {"CUST.DBF", "CUST.DBT"}, {"cust.dbf", "cust.dbt"}, {"Cust.Dbf", "Cust.dbt"}, {"dir.x/cust", "dir.x/cust.dbt"},
        {"cust", "cust.dbt"},     {"", ""},                 {"A.B.DBF", "A.B.DBT"},   {"n.123", "n.dbt"}};
    for (const auto& [table, memo] : names) EXPECT_STREQ(XBaseTable::MemoFileName(table).Text(), memo) << table;
    XBaseTable table(&opener);
    Create(table, "CUST.DBF", {{"NOTES", 'M', 10, 0}});
    Append(table, {{"NOTES", "upper"}});
    EXPECT_TRUE(ScratchTree::Exists(DataPath("CUST.DBT")));
    // A memo file of the other case is found too.
    std::rename(DataPath("CUST.DBT").c_str(), DataPath("CUST.dbt").c_str());
    XBaseTable reader(&opener);
    ASSERT_TRUE(reader.Open(LocationData, "CUST.DBF", 3)) << reader.ErrorText().Text();
    EXPECT_STREQ(reader.MemoName().Text(), "CUST.dbt");
    ASSERT_TRUE(reader.ReadRecord(1));
    EXPECT_EQ(Value(reader, "NOTES"), "upper");
    std::remove(DataPath("CUST.dbt").c_str());
    EXPECT_FALSE(reader.Open(LocationData, "CUST.DBF", 3));
    EXPECT_EQ(std::string(reader.ErrorText().Text()).rfind("Error opening 'CUST.DBT': ", 0), 0u);
}

// Damaged tables: each mutation either opens (and reads) or is refused with
// a message, never crashes and never writes.
TEST_F(XBaseTableTest, HostileTablesAreRefusedAtOpen) {
    XBaseTable table(&opener);
    Create(table, "h.dbf", AllKinds());
    Append(table, {{"NAME", "a"}, {"NOTES", "memo text"}});
    Append(table, {{"NAME", "b"}});
    table.Close();
    const std::string good = Bytes("h.dbf");
    auto put16 = [](std::string s, size_t at, uint16_t v) {
        PutU16(reinterpret_cast<uint8_t*>(s.data()) + at, v);
        return s;
    };
    auto put32 = [](std::string s, size_t at, uint32_t v) {
        PutU32(reinterpret_cast<uint8_t*>(s.data()) + at, v);
        return s;
    };
    auto set = [](std::string s, size_t at, char c) {
        s[at] = c;
        return s;
    };
    struct Case {
        const char* what;
        std::string bytes;
        const char* message;
    };
    const Case cases[] = {
        {"header length 32", put16(good, 8, 32),
         "Error reading from 'h.dbf': File is corrupt (the header length is out of range)"},
        {"header length past the file", put16(good, 8, 4000),
         "Error reading from 'h.dbf': File is corrupt (unexpected end of file)"},
        {"field past the record", put16(good, 10, 30),
         "Error reading from 'h.dbf': File is corrupt (a field ends past the record)"},
        {"record length 0", put16(put16(good, 8, 33), 10, 0),
         "Error reading from 'h.dbf': File is corrupt (the record length is 0)"},
        {"count 2^31", put32(good, 4, 0x80000000u),
         "Error reading from 'h.dbf': File is corrupt (the record count is out of range)"},
        {"count past the end", put32(good, 4, 3),
         "Error reading from 'h.dbf': File is corrupt (the record count is larger than the file)"},
        {"version 0x30", set(good, 0, 0x30), "'h.dbf': Unsupported xBase file version (0x30)"},
        {"type F", set(good, 32 + 11, 'F'), "'h.dbf' contains an unsupported field (NAME) of type 'F'"},
    };
    for (const Case& c : cases) {
        ScratchTree::WriteFile(DataPath("h.dbf"), c.bytes);
        XBaseTable reader(&opener);
        EXPECT_FALSE(reader.Open(LocationData, "h.dbf", 3)) << c.what;
        EXPECT_STREQ(reader.ErrorText().Text(), c.message) << c.what;
        EXPECT_EQ(Bytes("h.dbf"), c.bytes) << c.what;
    }
    // A memo field behind a 0x03 byte still makes a memo table.
    ScratchTree::WriteFile(DataPath("h.dbf"), set(good, 0, 0x03));
    XBaseTable memoTable(&opener);
    ASSERT_TRUE(memoTable.Open(LocationData, "h.dbf", 3));
    EXPECT_EQ(memoTable.Version(), 0x83);

    // Every truncation and random damage, in memory: a clear error or a
    // working table, and no write.
    std::mt19937 random(13);
    const std::string memo = Bytes("h.dbt");
    MemoryOpener memory;
    for (size_t round = 0; round < good.size() + 2000; ++round) {
        std::string& bytes = memory.files["h.dbf"] = good;
        std::string& memoBytes = memory.files["h.dbt"] = memo;
        if (round < good.size()) {
            bytes.resize(round);
        } else {
            for (int f = 0; f < 3; ++f) {
                std::string& target = random() % 4 ? bytes : memoBytes;
                target[random() % target.size()] ^= static_cast<char>(1 + random() % 255);
            }
        }
        XBaseTable reader(&memory);
        if (reader.Open(0, "h.dbf", 1)) {
            for (int32_t n = 1; n <= reader.RecordCount(); ++n) {
                if (!reader.ReadRecord(n)) break;
                for (XBaseField* f = reader.Fields().First(); f; f = reader.Fields().Next()) f->Value();
            }
        } else {
            EXPECT_FALSE(reader.ErrorText().IsEmpty()) << round;
        }
        ASSERT_EQ(memory.faults.writes, 0) << round;
    }
}

TEST_F(XBaseTableTest, AppendsNeverWritePastTheEndOrCountPartialRecords) {
    MemoryOpener memory;
    XBaseTable table(&memory);
    List<XBaseField> list(true);
    AddFields(list, {{"A", 'C', 4, 0}, {"NOTES", 'M', 10, 0}});
    ASSERT_TRUE(table.CreateFiles(0, "t.dbf", nullptr, list));
    Append(table, {{"A", "one"}});
    // Another writer's header claims a record the file does not hold.
    std::string& bytes = memory.files["t.dbf"];
    PutU32(reinterpret_cast<uint8_t*>(bytes.data()) + 4, 5);
    std::string before = bytes;
    table.FindField("A")->SetValue("two", 3);
    EXPECT_FALSE(table.AppendRecord());
    EXPECT_STREQ(table.ErrorText().Text(), "Error reading from 't.dbf': File is corrupt (the record count is larger than the file)");
    EXPECT_EQ(bytes, before);
    PutU32(reinterpret_cast<uint8_t*>(bytes.data()) + 4, 1);

    // Refused locks and failing writes leave the count as it was.
    struct Case {
        bool failLocks;
        int32_t writeBudget;
        const char* memoText;
        const char* message;
    };
    const Case cases[] = {
        {true, -1, "", "Error locking 't.dbf' for write: memory store failure"},
        {false, 0, "", "Error writing to 't.dbf': memory store failure"},
        {false, 0, "text", "Error writing to 't.dbt': memory store failure"},
        {false, 1, "", "Error writing to 't.dbf': memory store failure"}, // the record, not the header
    };
    for (const Case& c : cases) {
        XBaseTable other(&memory);
        ASSERT_TRUE(other.Open(0, "t.dbf", 3));
        other.FindField("A")->SetValue("x", 1);
        other.FindField("NOTES")->SetValue(c.memoText, -1);
        memory.faults.failLocks = c.failLocks;
        memory.faults.writeBudget = c.writeBudget;
        EXPECT_FALSE(other.AppendRecord()) << c.message;
        EXPECT_STREQ(other.ErrorText().Text(), c.message);
        EXPECT_EQ(GetU32(reinterpret_cast<const uint8_t*>(bytes.data()) + 4), 1u) << c.message;
        memory.faults.failLocks = false;
        memory.faults.writeBudget = -1;
    }
    // A refused record lock stops an update or a delete mark before it writes.
    XBaseTable locked(&memory);
    ASSERT_TRUE(locked.Open(0, "t.dbf", 3));
    ASSERT_TRUE(locked.ReadRecord(1));
    memory.faults.failLocks = true;
    before = bytes;
    EXPECT_FALSE(locked.UpdateRecord());
    EXPECT_FALSE(locked.SetDeleted(1));
    EXPECT_STREQ(locked.ErrorText().Text(), "Error locking 't.dbf' for write: memory store failure");
    EXPECT_EQ(bytes, before);
}

// A lock held by another request is waited for and taken once released; a
// wait ends with the run, as a refusal with the lock message.
TEST_F(XBaseTableTest, LocksWaitForTheirHolderAndEndWithTheRun) {
    XBaseTable table(&opener);
    Create(table, "w.dbf", {{"A", 'C', 3, 0}, {"NOTES", 'M', 10, 0}});
    File* other = app.files.Open(LocationData, "w.dbf", OpenRead | OpenWrite);
    ASSERT_NE(other, nullptr);
    // The append rereads the header meanwhile: its length is taken first.
    int64_t headerLength = table.HeaderLength();
    ASSERT_TRUE(other->Lock(LockExclusive, 0, headerLength));
    std::thread release([other, headerLength] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        other->Unlock(0, headerLength);
    });
    Append(table, {{"A", "one"}, {"NOTES", "waited"}});
    release.join();
    EXPECT_EQ(table.RecordCount(), 1);

    FileTestApplication stopped;
    ConfigureRoots(stopped, tree);
    stopped.RequestStop();
    XBaseFileOpener stoppedOpener(&stopped);
    XBaseTable late(&stoppedOpener);
    ASSERT_TRUE(late.Open(LocationData, "w.dbf", 3));
    ASSERT_TRUE(other->Lock(LockExclusive, 0, late.HeaderLength()));
    EXPECT_FALSE(late.AppendRecord());
    EXPECT_STREQ(late.ErrorText().Text(), "Error locking 'w.dbf' for write: Timed out waiting for lock");
    ASSERT_TRUE(late.ReadRecord(1));
    late.FindField("NOTES")->SetValue("new", 3);
    ASSERT_TRUE(other->Unlock(0, late.HeaderLength()));
    File* memo = app.files.Open(LocationData, "w.dbt", OpenRead | OpenWrite);
    ASSERT_TRUE(memo->Lock(LockExclusive, 0, 512));
    EXPECT_FALSE(late.UpdateRecord());
    EXPECT_STREQ(late.ErrorText().Text(), "Error locking 'w.dbt' for write: Timed out waiting for lock");
    delete memo;
    delete other;
}

} // namespace
} // namespace vorn::test
