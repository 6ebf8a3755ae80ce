// Scripts of database tags run through the runner's application over a
// scratch data directory, written in a small line language that expands to
// vrasm source; and the checks every data-changing test ends with: both
// Python dBASE readers read the table as we do, and every index holds
// exactly the keys of the table's records in a sound tree.
//
// The line language, one statement per line ('#' starts a comment):
//   WORD ARG...            any instruction; each ARG is pushed in order:
//                          "text" pushc (vrasm escapes), 12 pushi, $name the
//                          variable name (pushnc), any other word pushc
//   open DB FILE [INDEXES] [TYPE]    dbopen with the two extra texts empty
//   create DB FILE SPEC [TYPE]       dbcreate (type "xbase3" by default)
//   set DB FIELD ARG       assigns a field (popdc)
//   let NAME ARG           assigns a global variable (declared for it)
//   print ARG...           prints its ARGs, DB.FIELD as a field (pushdc),
//                          then a newline
//   err TAG...             prints "TAG=<value of TAG_Error>" per tag, then a newline
//   walk DB FIELD          goes to the top and prints recno:FIELD of every
//                          record to the end, then eof
//   : TEXT                 TEXT as a vrasm line
// Every database tag starts silent and not fatal (tagerror ..., 0), so that
// scripts read the error variables; `loud` as the first line keeps the
// built-in settings.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "database/format/XBaseTable.h"
#include "database/xbase3/XBaseFileStore.h"
#include "engine/files/BufferFile.h"
#include "tests/database/format/XBaseTestSupport.h"
#include "tests/support/RecordingSink.h"
#include "tools/Assembler.h"
#include "tools/CommandLineApplication.h"

extern char** environ;

namespace vorn::test {

// The tag ids of the database tags.
inline const int kDatabaseTagIds[] = {28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39,
                                      40, 41, 42, 43, 44, 45, 46, 47, 52, 53, 55, 58};

inline std::vector<std::string> Tokens(const std::string& line) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < line.size()) {
        if (line[i] == ' ' || line[i] == '\t') {
            ++i;
            continue;
        }
        size_t start = i;
        if (line[i] == '"') {
            for (++i; i < line.size() && line[i] != '"'; ++i)
                if (line[i] == '\\') ++i;
            ++i;
        } else {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t')
                ++i;
        }
        out.push_back(line.substr(start, i - start));
    }
    return out;
}

inline bool IsInteger(const std::string& token) {
    size_t i = token[0] == '-' ? 1 : 0;
    return i < token.size() && token.find_first_not_of("0123456789", i) == std::string::npos;
}

inline std::string Quoted(const std::string& token) {
    return token[0] == '"' ? token : "\"" + token + "\"";
}

inline std::string Push(const std::string& token) {
    if (token[0] == '"') return "    pushc " + token + "\n";
    if (token[0] == '$') return "    pushnc \"" + token.substr(1) + "\"\n";
    if (IsInteger(token)) return "    pushi " + token + "\n";
    return "    pushc \"" + token + "\"\n";
}

// The vrasm program of a script.
inline std::string ExpandScript(const std::string& script) {
    std::string body;
    std::set<std::string> globals{"walk_at"};
    bool loud = false;
    int labels = 0;
    std::stringstream in(script);
    for (std::string line; std::getline(in, line);) {
        size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;
        if (line[first] == ':') {
            body += "    " + line.substr(first + 1) + "\n";
            continue;
        }
        std::vector<std::string> t = Tokens(line);
        const std::string& word = t[0];
        auto arg = [&](size_t i, const char* fallback) {
            return i < t.size() ? t[i] : std::string(fallback);
        };
        if (word == "loud") {
            loud = true;
        } else if (word == "open") {
            for (const std::string& a : {arg(1, ""), arg(2, ""), arg(3, "\"\""), arg(4, "xbase3"),
                                         std::string("\"\""), std::string("\"\"")})
                body += Push(a);
            body += "    dbopen\n";
        } else if (word == "create") {
            for (const std::string& a : {arg(1, ""), arg(2, ""), arg(4, "xbase3"), arg(3, "\"\"")})
                body += Push(a);
            body += "    dbcreate\n";
        } else if (word == "set") {
            body += Push(t[3]) + "    popdc " + Quoted(t[1]) + ", " + Quoted(t[2]) + "\n";
        } else if (word == "let") {
            globals.insert(t[1]);
            body += Push(t[2]) + "    popnc " + Quoted(t[1]) + "\n";
        } else if (word == "print") {
            for (size_t i = 1; i < t.size(); ++i) {
                size_t dot = t[i].find('.');
                if (t[i][0] != '"' && t[i][0] != '$' && dot != std::string::npos)
                    body += "    pushdc " + Quoted(t[i].substr(0, dot)) + ", " +
                            Quoted(t[i].substr(dot + 1)) + "\n";
                else
                    body += Push(t[i]);
                body += "    out\n";
            }
            body += "    pushc \"\\n\"\n    out\n";
        } else if (word == "err") {
            for (size_t i = 1; i < t.size(); ++i)
                body += "    pushc \"" + std::string(i > 1 ? " " : "") + t[i] +
                        "=\"\n    out\n    pushnc \"" + t[i] + "_Error\"\n    out\n";
            body += "    pushc \"\\n\"\n    out\n";
        } else if (word == "walk") {
            std::string n = std::to_string(++labels);
            std::string db = Quoted(t[1]);
            body += "    pushc " + db +
                    "\n    pushc \"\"\n    pushc \"top\"\n    popnc \"walk_at\"\n"
                    "    pushnc \"walk_at\"\n    dbgo\nwalk" +
                    n +
                    ":\n"
                    "    pushdc " +
                    db + ", \"eof\"\n    pushi 0\n    eq\n    jmp_eq walked" + n +
                    "\n"
                    "    pushdc " +
                    db +
                    ", \"recno\"\n    out\n    pushc \":\"\n    out\n"
                    "    pushdc " +
                    db + ", " + Quoted(t[2]) +
                    "\n    out\n    pushc \" \"\n    out\n"
                    "    pushc " +
                    db + "\n    pushc \"\"\n    pushi 1\n    dbskip\n    jmp walk" + n +
                    "\n"
                    "walked" +
                    n + ":\n    pushc \"eof\\n\"\n    out\n";
        } else {
            for (size_t i = 1; i < t.size(); ++i)
                body += Push(t[i]);
            body += "    " + word + "\n";
        }
    }
    std::string prologue;
    if (!loud)
        for (int id : kDatabaseTagIds)
            prologue += "    tagerror " + std::to_string(id) + ", 0\n";
    std::string declarations = ".global";
    for (const std::string& name : globals)
        declarations += " " + name;
    return declarations + "\n.segment main entry\n" + prologue + body + ".end\n";
}

inline std::vector<uint8_t> AssembleScript(const std::string& source) {
    Assembler assembler;
    bool ok = assembler.Assemble(source.data(), static_cast<int32_t>(source.size()), "t.vr");
    EXPECT_TRUE(ok) << assembler.ErrorText().Text() << "\n" << source;
    if (!ok) return {};
    return std::vector<uint8_t>(assembler.Output(), assembler.Output() + assembler.OutputLength());
}

// The vrasm source of a writer: a loop over the table "c" that the function
// open() opens. It declares GLOBALS (n among them), silences the tags SILENT,
// opens the table, sets n to 0 and runs START; then STEP, from the label
// next, goes on to the label advance when it is done, which counts n up to
// LIMIT. A step that fails starts over with kReopen. OPEN is the body of
// open() up to its retn.
struct WriterLoop {
    std::string globals;
    std::vector<int> silent;
    std::string start;
    std::string step;
    int limit = 0;
    std::string open;
};

// Closes "c" and opens it again.
inline const std::string kReopen = "    pushc \"c\"\n    dbclose\n    call open\n    pop\n";

// Opens FILE with INDEXES as "c" (dbopen's result left on the stack).
inline std::string OpenTable(const std::string& file, const std::string& indexes) {
    return "    pushc \"c\"\n    pushc \"" + file + "\"\n    pushc \"" + indexes +
           "\"\n    pushc \"xbase3\"\n    pushc \"\"\n    pushc \"\"\n    dbopen\n";
}

inline std::string WriterLoopSource(const WriterLoop& loop) {
    std::string source = ".global " + loop.globals + "\n.segment main entry\n";
    for (int id : loop.silent)
        source += "    tagerror " + std::to_string(id) + ", 0\n";
    return source + "    call open\n    pop\n    storegi n, 0\n" + loop.start + "next:\n" + loop.step +
           "advance:\n    incg n, 1\n    cmpgi n, " + std::to_string(loop.limit) +
           "\n    jmp_lt next\n    exit\n\n.function open()\n" + loop.open + "    retn\n.end\n";
}

// A scratch data directory and the runs of scripts on it.
class DatabaseScriptTest : public ::testing::Test {
  protected:
    std::string DataPath(const std::string& name) const { return tree.Data() + "/" + name; }
    std::string Bytes(const std::string& name) const { return ScratchTree::ReadFile(DataPath(name)); }

    // Runs a script (the line language) and gives its output; *status gets
    // the runner's exit status. options are "name=value" settings.
    std::string Run(const std::string& script, int32_t* status = nullptr,
                    const std::vector<std::string>& options = {}) {
        return RunSource(ExpandScript(script), status, options);
    }
    std::string RunSource(const std::string& source, int32_t* status = nullptr,
                          const std::vector<std::string>& options = {}) {
        return RunImage(AssembleScript(source), status, options);
    }
    // Runs an assembled program.
    std::string RunImage(std::vector<uint8_t> bytes, int32_t* status = nullptr,
                         const std::vector<std::string>& options = {}) {
        RecordingSink output;
        CommandLineApplication application(&output);
        application.SetScriptDirectory(tree.Scripts().c_str());
        application.SetDataDirectory(tree.Data().c_str());
        for (const auto& [type, path] : libraries)
            application.AddDatabaseLibrary(type.c_str(), path.c_str());
        String error;
        for (const std::string& option : options)
            EXPECT_TRUE(application.SetOption(option.c_str(), &error));
        auto* file = new BufferFile("t.vrc", bytes.data(), static_cast<int32_t>(bytes.size()));
        int32_t result = application.RunImage("t.vrc", file, &error);
        if (status) *status = result;
        EXPECT_NE(result, kRunNotLoaded) << error.Text();
        return output.text;
    }
    // Starts vrrun on an assembled program (vrasm source); its output goes
    // to the file <root>/<output>.out.
    pid_t StartVrrun(const std::string& program, const std::string& output) {
        std::vector<uint8_t> bytes = AssembleScript(program);
        std::string path = tree.Scripts() + "/" + output + ".vrc";
        ScratchTree::WriteFile(path, std::string(bytes.begin(), bytes.end()));
        std::string out = tree.root + "/" + output + ".out";
        std::string data = tree.Data();
        std::vector<std::string> args = {VORN_VRRUN, "-c", "globaltimeout=60", "-d", data, path};
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid = 0;
        EXPECT_EQ(posix_spawn(&pid, VORN_VRRUN, &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }
    // Waits for a vrrun started so and gives its output.
    std::string Finish(pid_t pid, const std::string& output) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output << " status " << status;
        return ScratchTree::ReadFile(tree.root + "/" + output + ".out");
    }

    // Writes an assembled script into the script directory (for VrDO).
    void WriteScript(const std::string& name, const std::string& source) {
        std::vector<uint8_t> bytes = AssembleScript(source);
        ScratchTree::WriteFile(tree.Scripts() + "/" + name, std::string(bytes.begin(), bytes.end()));
    }

    // Our own reading of a table: per record its deleted mark and field texts.
    struct Row {
        bool deleted;
        std::vector<std::string> values;
    };
    std::vector<Row> ReadTable(const std::string& name, std::vector<std::string>* fieldNames = nullptr,
                               std::vector<char>* types = nullptr) {
        FileTestApplication app;
        EXPECT_TRUE(app.files.CheckDataDirectory(tree.Data().c_str()));
        XBaseFileOpener opener(&app);
        XBaseTable table(&opener);
        std::vector<Row> rows;
        if (!table.Open(LocationData, name.c_str(), 1)) {
            ADD_FAILURE() << table.ErrorText().Text();
            return rows;
        }
        for (XBaseField* f = table.Fields().First(); f; f = table.Fields().Next()) {
            if (fieldNames) fieldNames->push_back(f->Name());
            if (types) types->push_back(XBaseTypeLetter(f->Kind()));
        }
        for (int32_t r = 1; r <= table.RecordCount(); ++r) {
            EXPECT_TRUE(table.ReadRecord(r)) << table.ErrorText().Text();
            Row row{table.Deleted() != 0, {}};
            for (XBaseField* f = table.Fields().First(); f; f = table.Fields().Next()) {
                const char* v = f->Value();
                row.values.push_back(v ? std::string(v, static_cast<size_t>(f->ValueLength()))
                                       : "<unreadable>");
            }
            rows.push_back(row);
        }
        return rows;
    }

    // Checks a table with both Python readers and each index with the tree
    // checker against keys made from our reading: key(row) gives the key of
    // a record for the index of that position.
    using KeyOf = std::string (*)(const std::vector<std::string>& names,
                                  const std::vector<std::string>& values);
    void Verify(const std::string& table, const std::vector<std::pair<std::string, KeyOf>>& indexes = {}) {
        std::vector<std::string> names;
        std::vector<char> types;
        std::vector<Row> rows = ReadTable(table, &names, &types);
        // Both readers in a common form: numbers as %g, blanks as empty.
        auto canonical = [&](const Row& row) {
            std::string line = row.deleted ? "*" : " ";
            for (size_t i = 0; i < row.values.size(); ++i) {
                std::string v = row.values[i];
                if (types[i] == 'C' || types[i] == 'M') v.erase(v.find_last_not_of(' ') + 1);
                if (types[i] == 'N' && v.find_first_not_of(' ') != std::string::npos) {
                    char text[64];
                    std::snprintf(text, sizeof text, "%g", std::strtod(v.c_str(), nullptr));
                    v = text;
                } else if (v.find_first_not_of(' ') == std::string::npos) {
                    v.clear();
                }
                if (types[i] == 'L')
                    v = v == "T" || v == "t" || v == "Y" || v == "y" ? "T" : v.empty() ? "" : "F";
                line += (i ? "|" : "") + v;
            }
            return line;
        };
        std::string ours, oursSorted;
        std::vector<std::string> lines;
        for (const Row& row : rows)
            lines.push_back(canonical(row));
        for (const std::string& l : lines)
            ours += l + "\n";
        std::vector<std::string> sorted = lines;
        std::sort(sorted.begin(), sorted.end());
        for (const std::string& l : sorted)
            oursSorted += l + "\n";
        const char* script = R"PY(
import os, sys
import dbf, dbfread
path = os.path.join(sys.argv[1], sys.argv[2])
def show(v):
    if v is None or v is dbf.Null: return ''
    if isinstance(v, bool): return 'T' if v else 'F'
    if hasattr(v, 'strftime'): return v.strftime('%Y%m%d') if v else ''
    if isinstance(v, (int, float)): return '%g' % v
    return str(v).rstrip(' ')
t = dbfread.DBF(path, load=True)
lines = sorted([' ' + '|'.join(show(v) for v in r.values()) for r in t.records] +
               ['*' + '|'.join(show(v) for v in r.values()) for r in t.deleted])
print('\n'.join(lines + ['--']))
d = dbf.Table(path)
d.open(dbf.READ_ONLY)
for r in d:
    print(('*' if dbf.is_deleted(r) else ' ') + '|'.join(show(r[i]) for i in range(len(d.field_names))))
d.close()
)PY";
        std::string file = tree.root + "/readers.py";
        ScratchTree::WriteFile(file, script);
        std::string command =
            "/usr/bin/python3 -W ignore " + file + " " + tree.Data() + " " + table + " 2>&1";
        std::string out;
        if (FILE* pipe = popen(command.c_str(), "r")) {
            char buffer[4096];
            size_t n;
            while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
                out.append(buffer, n);
            pclose(pipe);
        }
        // An empty table prints an empty line before the separator.
        if (rows.empty()) oursSorted = "\n";
        EXPECT_EQ(out, oursSorted + "--\n" + ours) << table;

        for (const auto& [index, key] : indexes) {
            std::vector<IndexEntry> tree;
            EXPECT_TRUE(CheckIndex(Bytes(index), &tree)) << index;
            std::multiset<IndexEntry> expected;
            for (size_t r = 0; r < rows.size(); ++r)
                expected.insert({key(names, rows[r].values), static_cast<int32_t>(r + 1)});
            EXPECT_TRUE(std::multiset<IndexEntry>(tree.begin(), tree.end()) == expected)
                << index << ": " << tree.size() << " entries for " << rows.size() << " records";
        }
    }

    // The key of an index on one field: its text as a field variable reads it.
    template <int Field>
    static std::string FieldKey(const std::vector<std::string>&, const std::vector<std::string>& values) {
        return values[Field];
    }

    ScratchTree tree;
    std::vector<std::pair<std::string, std::string>> libraries;
};

} // namespace vorn::test
