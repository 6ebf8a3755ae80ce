#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/values/VariableList.h"
#include "host/features/FlatFile.h"
#include "tests/host/features/HostFeatureSupport.h"

namespace vorn::test {
namespace {

using Records = std::vector<std::vector<std::string>>;
constexpr size_t kFields = 3;

std::string Text(Variable* v) {
    return std::string(v->Value().Text(), static_cast<size_t>(v->Value().Length()));
}

// Every record of a data file through the import feature, three fields each.
Records ImportAll(FeatureRig& rig, const std::string& name, const std::string& delimiter, int32_t bufferSize,
                  std::string* error = nullptr) {
    rig.app.settings.SetInteger(kConfigImportBufferSize, bufferSize);
    Import import(&rig.app, nullptr);
    std::vector<Variable*> fields;
    for (size_t i = 0; i < kFields; ++i) {
        fields.push_back(new Variable());
        import.Fields()->InsertItem(fields.back(), kListTail, false);
    }
    import.SetDelimiter(delimiter.data(), static_cast<int32_t>(delimiter.size()));
    Records records;
    if (import.Open(name.data(), static_cast<int32_t>(name.size()))) {
        while (import.ReadRecord()) {
            records.emplace_back();
            for (Variable* v : fields)
                records.back().push_back(Text(v));
        }
    }
    if (error) *error = import.error.Text();
    return records;
}

// The format read in one piece, as a second opinion on the buffered reader.
Records ReferenceRecords(const std::string& file, const std::string& d) {
    std::vector<std::string> lines;
    std::string raw;
    for (size_t i = 0; i < file.size(); ++i) {
        if (file[i] == '\\' && i + 1 < file.size()) {
            raw += file.substr(i++, 2);
        } else if (file[i] == '\n' || file[i] == '\r') {
            if (file[i] == '\r' && i + 1 < file.size() && file[i + 1] == '\n') ++i;
            lines.push_back(raw);
            raw.clear();
        } else {
            raw += file[i];
        }
    }
    if (!raw.empty()) lines.push_back(raw);
    auto decode = [](const std::string& s) {
        std::string out;
        for (size_t i = 0; i < s.size(); ++i) {
            char c = s[i];
            if (c == '\\' && i + 1 < s.size()) c = s[++i] == 'n' ? '\n' : s[i] == 'r' ? '\r' : s[i];
            out += c;
        }
        return out;
    };
    const bool escapable = !d.empty() && std::string("nr\\\n\r").find(d[0]) == std::string::npos;
    Records records;
    for (const std::string& line : lines) {
        std::vector<std::string> fields;
        const std::string text = escapable ? line : decode(line);
        size_t start = 0;
        for (size_t i = 0; !d.empty() && i < text.size();) {
            if (escapable && text[i] == '\\') {
                i += 2;
            } else if (text.compare(i, d.size(), d) == 0) {
                fields.push_back(text.substr(start, i - start));
                start = i += d.size();
            } else {
                ++i;
            }
        }
        fields.push_back(text.substr(std::min(start, text.size())));
        if (!d.empty() && start > text.size()) fields.back().clear();
        for (std::string& f : fields)
            f = escapable ? decode(f) : f;
        fields.resize(kFields);
        records.push_back(fields);
    }
    return records;
}

const int32_t kBufferSizes[] = {1, 2, 3, 7, 16, 8192};

TEST(FlatFileTest, RecordsReadAlikeAtEveryBufferSize) {
    using S = std::string;
    struct Case {
        S file, delimiter;
        Records expected;
    };
    const Case cases[] = {
        {"a;b;c\nd;e\n", ";", {{"a", "b", "c"}, {"d", "e", ""}}},
        {"a;b;c;d\nx\n", ";", {{"a", "b", "c"}, {"x", "", ""}}}, // extra fields dropped
        {"x\r\ny\rz", ";", {{"x", "", ""}, {"y", "", ""}, {"z", "", ""}}},
        {"a\\nb\\rc\\\\d\\;e;f\n", ";", {{"a\nb\rc\\d;e", "f", ""}}}, // an escaped delimiter splits nothing
        {"a\\\nb;c\\\r\nd\n", ";", {{"a\nb", "c\r", ""}, {"d", "", ""}}}, // escaped line ends carry on
        {"q\\\\;end\\", ";", {{"q\\", "end\\", ""}}},                     // the last byte's backslash is kept
        {S("n\0l;\0\r\n", 7), ";", {{S("n\0l", 3), S("\0", 1), ""}}},
        {"\n\r\n", ";", {{"", "", ""}, {"", "", ""}}},
        {"", ";", {}},
        {"a;:b;c;:d;:", ";:", {{"a", "b;c", "d"}}},
        {"a;\\;:b;:c\n", ";:", {{"a;;:b", "c", ""}}},
        {"anbn c\\nd\n", "n", {{"a", "b", " c\nd"}}}, // a delimiter that cannot be escaped
        {"a;b\\nc\n", "", {{"a;b\nc", "", ""}}},
    };
    FeatureRig rig;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        rig.Write("in.txt", c.file);
        EXPECT_EQ(ReferenceRecords(c.file, c.delimiter), c.expected);
        // Sizes of 0 or less read with the default.
        for (int32_t size : kBufferSizes)
            EXPECT_EQ(ImportAll(rig, "in.txt", c.delimiter, size), c.expected) << size;
        for (int32_t size : {0, -1})
            EXPECT_EQ(ImportAll(rig, "in.txt", c.delimiter, size), c.expected) << size;
    }

    // Random files over the bytes the format cares about.
    std::mt19937 random(19);
    const char alphabet[] = {'a', 'n', 'r', ';', ':', '\\', '\\', '\n', '\r', '\r', '\0'};
    for (int round = 0; round < 60; ++round) {
        std::string file(random() % 300, ' ');
        for (char& c : file)
            c = alphabet[random() % sizeof alphabet];
        rig.Write("random.txt", file);
        for (const char* d : {";", ";:", "n", ""}) {
            Records expected = ReferenceRecords(file, d);
            for (int32_t size : kBufferSizes)
                ASSERT_EQ(ImportAll(rig, "random.txt", d, size), expected)
                    << round << " " << d << " " << size;
        }
    }
}

TEST(FlatFileTest, FailuresEndTheRecordsWithTheirReason) {
    FeatureRig rig;
    // A 64 MB line reads whole.
    {
        const std::string chunk(1 << 20, 'x');
        std::ofstream out(rig.Path("huge.txt"), std::ios::binary);
        for (int i = 0; i < 64; ++i)
            out << chunk;
        out << ";y";
    }
    Import import(&rig.app, nullptr);
    Variable* fields[2] = {new Variable(), new Variable()};
    for (Variable* v : fields)
        import.Fields()->InsertItem(v, kListTail, false);
    import.SetDelimiter(";", 1);
    ASSERT_TRUE(import.Open("huge.txt", 8));
    ASSERT_TRUE(import.ReadRecord()) << import.error.Text();
    const String& huge = fields[0]->Value();
    EXPECT_EQ(huge.Length(), 64 << 20);
    EXPECT_TRUE(huge.Text()[0] == 'x' && std::memcmp(huge.Text(), huge.Text() + 1, huge.Length() - 1) == 0);
    EXPECT_EQ(Text(fields[1]), "y");
    EXPECT_FALSE(import.ReadRecord());

    struct Case {
        int64_t failAt;
        int32_t longest;
        int32_t lines;
        const char* failure;
    };
    for (Case c : {Case{1000, 5, 2, "Record is longer than 5 bytes"}, Case{3, 100, 1, "read failed"}}) {
        BrokenFile file({'a', '\n', 'b', '\n', 'l', 'o', 'n', 'g', 'e', 'r', '\n'}, c.failAt);
        FlatFileReader reader(&file, 2, c.longest);
        const char* text = nullptr;
        int32_t length = 0, lines = 0;
        while (reader.NextLine(&text, &length))
            ++lines;
        EXPECT_EQ(lines, c.lines);
        EXPECT_STREQ(reader.Failure().Text(), c.failure);
        EXPECT_EQ(reader.NextLine(&text, &length), 0);
    }

    // Names resolve in the data directory, through the file manager.
    std::string error;
    EXPECT_TRUE(ImportAll(rig, "../outside", ";", 0, &error).empty());
    EXPECT_EQ(error,
              "Error opening '../outside': The specified path references a path outside the configured "
              "data directory");
    String message;
    VariableList none;
    EXPECT_EQ(ExportRecord(&rig.app.injecting, "a/../../x", 9, ";", 1, &none, &message), 0);
    EXPECT_STREQ(message.Text(), "Unable to create file 'a/../../x': The specified path references a path "
                                 "outside the configured data directory");
}

// Appends one record of these values.
void Export(FeatureRig& rig, const std::string& name, const std::string& d,
            const std::vector<std::string>& values) {
    VariableList list;
    for (const std::string& v : values)
        list.InsertItem(new Variable("", 0, v.data(), static_cast<int32_t>(v.size())), kListTail, false);
    String error;
    ASSERT_EQ(ExportRecord(&rig.app.injecting, name.data(), static_cast<int32_t>(name.size()), d.data(),
                           static_cast<int32_t>(d.size()), &list, &error),
              1)
        << error.Text();
}

TEST(FlatFileTest, ExportedValuesReadBackUnchanged) {
    using S = std::string;
    FeatureRig rig;
    Export(rig, "one.txt", ";", {"a\nb", "c;d", "e\\"});
    Export(rig, "one.txt", ";", {"second"}); // appends
    EXPECT_EQ(rig.Read("one.txt"), "a\\nb;c\\;d;e\\\\\nsecond\n");

    const std::vector<std::string> values = {
        "plain", "line\nbreak", "cr\r", "back\\slash", std::string("n\0l", 3), "has;delim",
        "x;:y",  "\\",          "",     "n;r\\"};
    // A backslash delimiter cannot work at all: every one starts an escape.
    int round = 0;
    for (std::string d : {S(";"), S(";:"), S("\t"), S("\0", 1), S("n")}) {
        const std::string name = "round" + std::to_string(round++) + ".txt";
        Records expected;
        for (size_t i = 0; i + kFields <= values.size(); ++i) {
            std::vector<std::string> record(values.begin() + i, values.begin() + i + kFields);
            // Where the delimiter cannot be escaped, values holding it still split.
            bool splits = false;
            for (const std::string& v : record)
                splits |= !DelimiterEscapable(d.data(), 1) && v.find(d) != v.npos;
            if (splits) continue;
            Export(rig, name, d, record);
            expected.push_back(record);
        }
        EXPECT_FALSE(expected.empty());
        for (int32_t size : {1, 8192})
            EXPECT_EQ(ImportAll(rig, name, d, size), expected) << int(d[0]);
    }

    // Exporters that share a file lose nothing and mix nothing.
    constexpr int kWriters = 4, kRecords = 150;
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            FeatureApplication app;
            app.injecting.CheckDataDirectory(rig.tree.Data().c_str());
            app.settings.SetInteger(kConfigMaxFiles, 1); // the pool reopens files between writes
            for (int r = 0; r < kRecords; ++r) {
                VariableList list;
                std::string value = std::to_string(w) + ":" + std::to_string(r) + std::string(3000, 'a' + w);
                list.InsertItem(new Variable("", 0, value.data(), static_cast<int32_t>(value.size())),
                                kListTail, false);
                String error;
                EXPECT_EQ(ExportRecord(&app.injecting, "shared.txt", 10, ";", 1, &list, &error), 1);
            }
        });
    }
    for (std::thread& t : writers)
        t.join();
    std::vector<int> seen(kWriters, 0);
    for (const auto& record : ImportAll(rig, "shared.txt", ";", 8192)) {
        int w = record[0][0] - '0';
        ASSERT_TRUE(w >= 0 && w < kWriters) << record[0].substr(0, 20);
        EXPECT_EQ(record[0],
                  std::to_string(w) + ":" + std::to_string(seen[w]++) + std::string(3000, 'a' + w));
    }
    EXPECT_EQ(seen, std::vector<int>(kWriters, kRecords));
}

std::string Hex(const std::string& bytes) {
    std::string out;
    char two[3];
    for (unsigned char c : bytes) {
        std::snprintf(two, sizeof two, "%02x", c);
        out += two;
    }
    return out;
}

// Python as an independent writer and reader of the format: records cross as
// comma-separated hexadecimal fields, one record a line.
TEST(FlatFileTest, PythonReadsAndWritesTheSameFormat) {
    const char* script = R"(import sys
mode, path, d = sys.argv[1], sys.argv[2], bytes.fromhex(sys.argv[3])
esc = {b'\n': b'\\n', b'\r': b'\\r', b'\\': b'\\\\'}
if mode == 'write':
    with open(path, 'ab') as f:
        for record in sys.argv[4:]:
            fields = [bytes.fromhex(h) for h in record.split(',')]
            out = []
            for v in fields:
                e = b''.join(esc.get(v[i:i+1], b'\\' + v[i:i+1] if v[i:i+1] == d[:1] else v[i:i+1])
                             for i in range(len(v)))
                out.append(e)
            f.write(d.join(out) + b'\n')
    sys.exit(0)
data = open(path, 'rb').read()
lines, raw, i = [], b'', 0
while i < len(data):
    c = data[i:i+1]
    if c == b'\\' and i + 1 < len(data):
        raw += data[i:i+2]; i += 2
    elif c in (b'\n', b'\r'):
        lines.append(raw); raw = b''
        i += 2 if data[i:i+2] == b'\r\n' else 1
    else:
        raw += c; i += 1
if raw: lines.append(raw)
def dec(s):
    out, i = b'', 0
    while i < len(s):
        if s[i:i+1] == b'\\' and i + 1 < len(s):
            out += {b'n': b'\n', b'r': b'\r'}.get(s[i+1:i+2], s[i+1:i+2]); i += 2
        else:
            out += s[i:i+1]; i += 1
    return out
for line in lines:
    fields, start, i = [], 0, 0
    while i < len(line):
        if line[i:i+1] == b'\\': i += 2
        elif line.startswith(d, i): fields.append(line[start:i]); i += len(d); start = i
        else: i += 1
    fields.append(line[start:])
    print(','.join(dec(f).hex() for f in fields))
)";
    FeatureRig rig;
    rig.Write("format.py", script);
    const std::string d = ";:";
    const Records records = {{"a\nb", "c;:d", "e\\"}, {std::string("\0\r", 2), "", ";"}, {"plain", "n", "r"}};
    std::string hexRecords, expected;
    for (const auto& record : records) {
        hexRecords += " " + Hex(record[0]) + "," + Hex(record[1]) + "," + Hex(record[2]);
        expected += Hex(record[0]) + "," + Hex(record[1]) + "," + Hex(record[2]) + "\n";
        Export(rig, "ours.txt", d, record);
    }
    const std::string python = "/usr/bin/python3 " + rig.Path("format.py");
    ASSERT_EQ(
        std::system(
            (python + " read " + rig.Path("ours.txt") + " " + Hex(d) + " > " + rig.Path("read.out")).c_str()),
        0);
    EXPECT_EQ(rig.Read("read.out"), expected);
    ASSERT_EQ(std::system((python + " write " + rig.Path("theirs.txt") + " " + Hex(d) + hexRecords).c_str()),
              0);
    EXPECT_EQ(ImportAll(rig, "theirs.txt", d, 3), records);
}

// The tags: operands, "recno", filters and the failures a script sees.
TEST(FlatFileTest, ImportAndExportTagsInAScript) {
    const std::string head =
        ".global a, b, recno, seen, VrIMPORT_Error, VrEXPORT_Error\n.segment main entry\n";
    // Each body appends "recno:a," to seen.
    auto block = [](const std::string& file, const std::string& filter) {
        return "    pushc \"" + file + "\"\n    pushc \";\"\n    pushc \"a, b\"\n" +
               (filter.empty() ? "    import @done\n" : "    pushc \"" + filter + "\"\n    importf @done\n") +
               "body:\n    pushg seen\n    pushg recno\n    cat\n    pushc \":\"\n    cat\n    pushg a\n    "
               "cat\n"
               "    pushc \",\"\n    cat\n    popg seen\n    import_loop @body\ndone:\n";
    };
    struct Case {
        std::string file, filter, seen, error;
    };
    const Case cases[] = {
        {"data.txt", "", "1:x,2:y,3:z,4:w,", ""},
        {"data.txt", "  \t", "1:x,2:y,3:z,4:w,", ""}, // blank: no filter
        {"data.txt", "b GE 2", "1:y,2:z,3:w,", ""},   // recno counts passing records
        {"data.txt", "b EQ 9", "", ""},
        {"empty.txt", "", "", ""},             // no record: recno untouched
        {"da\\0ta.txt", "b EQ 1", "1:x,", ""}, // NUL bytes of the name go
        {"nothere.txt", "", "", "Error opening 'nothere.txt': No such file or directory"},
        {"data.txt", "b EQ (", "", "Syntax error in filter: "},
        {"broken", "", "1:1,2:2,", "Error reading from 'broken': read failed"},
    };
    FeatureRig rig;
    rig.Write("data.txt", "x;1\ny;2\nz;3\nw;4\n");
    rig.Write("empty.txt", "");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file + " " + c.filter);
        ASSERT_EQ(rig.Run(head + "    pushc \"-\"\n    popg recno\n    pushc \"\"\n    popg seen\n" +
                          block(c.file, c.filter) + ".end\n"),
                  1)
            << rig.lastError;
        EXPECT_EQ(rig.Global("seen"), c.seen);
        EXPECT_EQ(rig.Global("VrIMPORT_Error").substr(0, c.error.size()), c.error);
        if (c.seen.empty()) {
            EXPECT_EQ(rig.Global("recno"), "-");
        }
        EXPECT_EQ(rig.openFeatures, 0);
    }

    // A million records a filter rejects in a row: one frame, rerun.
    std::string many;
    for (int i = 0; i < 1000000; ++i)
        many += "r\n";
    rig.Write("many.txt", many + "last\n");
    ASSERT_EQ(rig.Run(head + block("many.txt", "a EQ 'last'") + ".end\n"), 1) << rig.lastError;
    EXPECT_EQ(rig.Global("seen"), "1:last,");

    // Export: the values' texts, escaped, appended; a file it cannot create is
    // the tag's error. The stop word leaves the block at once.
    ASSERT_EQ(rig.Run(head +
                      "    pushc \"A;\\n\"\n    popg a\n    storegi b, 7\n"
                      "    pushc \"ou\\0t.txt\"\n    pushc \";\"\n    pushc \"a, b\"\n    export\n"
                      "    pushc \"no/such/dir.txt\"\n    pushc \";\"\n    pushc \"a\"\n    export\n" +
                      block("out.txt", "") +
                      "    pushc \"data.txt\"\n    pushc \";\"\n    pushc \"a\"\n"
                      "    import @past\n    import_stop @past\n    pushc \"not here\"\n    popg a\npast:\n"
                      ".end\n"),
              1)
        << rig.lastError;
    EXPECT_EQ(rig.Read("out.txt"), "A\\;\\n;7\n");
    EXPECT_EQ(rig.Global("seen"), "1:A;\n,");
    EXPECT_EQ(rig.Global("a"), "x");
    EXPECT_EQ(rig.Global("VrEXPORT_Error"),
              "Unable to create file 'no/such/dir.txt': No such file or directory");

    // Loop and stop words without an open import, and a block whose end lies
    // outside its segment, end the run.
    const std::pair<std::string, std::string> fatal[] = {
        {"    import_loop 0\n", "Invalid instruction"},
        {"    import_stop 0\n", "Invalid instruction"},
        {"    pushc \"data.txt\"\n    pushc \";\"\n    pushc \"a\"\n    pushc \"b EQ 2\"\n    importf "
         "2147483647\n",
         "Jump outside of the segment"},
    };
    for (const auto& [code, message] : fatal) {
        EXPECT_EQ(rig.Run(head + code + ".end\n"), 0);
        EXPECT_NE(rig.lastError.find(message), std::string::npos) << code;
    }
}

} // namespace
} // namespace vorn::test
