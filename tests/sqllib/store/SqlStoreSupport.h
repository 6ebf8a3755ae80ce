// The SQL storage tests' rig: the library's binding unit bound once to the
// host fixture module, a program over a scratch data directory per test, a
// Schema on it, and readers of the written files apart from the code: the
// dBASE records, the index entries checked and compared with keys recomputed
// from the records, and the two Python dBASE readers.
#pragma once

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "sqllib/binding/HostBinding.h"
#include "sqllib/store/Schema.h"
#include "tests/database/format/KPZIndexChecker.h"

namespace vorn::test {

class SqlHost {
  public:
    static SqlHost& Get() {
        static SqlHost host;
        return host;
    }
    VornProgram* Open(const std::string& data) { return open ? open(data.c_str()) : nullptr; }
    void Close(VornProgram* program) {
        if (close) close(program);
    }
    void* Symbol(const char* name) const { return module ? dlsym(module, name) : nullptr; }

  private:
    SqlHost() {
        module = dlopen(VORN_FIXTURE_SQLTESTHOST, RTLD_NOW | RTLD_LOCAL);
        EXPECT_NE(module, nullptr) << dlerror();
        binding::Bind(module);
        open = reinterpret_cast<VornProgram* (*)(const char*)>(module ? dlsym(module, "sqltest_host_open")
                                                                      : nullptr);
        close =
            reinterpret_cast<void (*)(VornProgram*)>(module ? dlsym(module, "sqltest_host_close") : nullptr);
    }
    void* module = nullptr;
    VornProgram* (*open)(const char*) = nullptr;
    void (*close)(VornProgram*) = nullptr;
};

// A column of a test table: name, type letter, width, decimals.
struct Col {
    const char* name;
    char type;
    int32_t width;
    int32_t decimals;
};

inline int32_t TypeCode(char type) {
    switch (type) {
    case 'C':
        return kXBaseCharacter;
    case 'N':
        return kXBaseNumeric;
    case 'D':
        return kXBaseDate;
    case 'L':
        return kXBaseLogical;
    default:
        return kXBaseMemo;
    }
}

// One record as read from the file's bytes: deleted mark and values as the
// format stores them (character values without trailing blanks, numbers
// without leading ones).
struct DbfRecord {
    bool deleted = false;
    std::map<std::string, std::string> values;
};

struct DbfField {
    std::string name;
    char type;
    int width;
};

inline bool ReadDbf(const std::string& bytes, std::vector<DbfField>* fields,
                    std::vector<DbfRecord>* records) {
    if (bytes.size() < 33) return false;
    auto u8 = [&](size_t at) { return static_cast<uint8_t>(bytes[at]); };
    uint32_t count = u8(4) | u8(5) << 8 | u8(6) << 16 | static_cast<uint32_t>(u8(7)) << 24;
    size_t header = u8(8) | u8(9) << 8, length = u8(10) | u8(11) << 8;
    fields->clear();
    records->clear();
    for (size_t at = 32; at + 32 <= header - 1; at += 32) {
        const char* name = bytes.data() + at;
        fields->push_back({std::string(name, strnlen(name, 11)), bytes[at + 11], u8(at + 16)});
    }
    if (header + count * length > bytes.size()) return false;
    for (uint32_t r = 0; r < count; ++r) {
        size_t at = header + r * length;
        DbfRecord record;
        record.deleted = bytes[at] == '*';
        size_t offset = at + 1;
        for (const DbfField& f : *fields) {
            std::string v = bytes.substr(offset, static_cast<size_t>(f.width));
            offset += static_cast<size_t>(f.width);
            if (f.type == 'C') v.erase(v.find_last_not_of(' ') + 1);
            if (f.type == 'N' || f.type == 'M')
                v.erase(0,
                        v.find_first_not_of(' ') == std::string::npos ? v.size() : v.find_first_not_of(' '));
            record.values[f.name] = v;
        }
        records->push_back(record);
    }
    return true;
}

// The key of a record as the catalog's rules make it.
inline std::string OracleKey(const DbfRecord& record, const std::vector<DbfField>& fields,
                             const std::vector<std::string>& columns) {
    std::string key;
    for (size_t i = 0; i < columns.size(); ++i) {
        if (i) key += ':';
        std::string upper = columns[i];
        for (char& c : upper)
            c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        for (const DbfField& f : fields) {
            if (f.name != upper) continue;
            std::string v = record.values.at(f.name);
            if (f.type == 'N' && static_cast<int>(v.size()) < f.width)
                v.insert(0, static_cast<size_t>(f.width) - v.size(), '0');
            key += v;
        }
    }
    for (char& c : key)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return key.substr(0, 99);
}

class SqlStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "vorn-sql-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root = pattern;
        program = SqlHost::Get().Open(root);
        ASSERT_NE(program, nullptr);
        schema = std::make_unique<Schema>(program);
    }
    void TearDown() override {
        schema.reset();
        SqlHost::Get().Close(program);
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }

    std::string Path(const std::string& name) const { return root + "/" + name; }
    bool Exists(const std::string& name) const { return std::filesystem::exists(Path(name)); }
    std::string Bytes(const std::string& name) const {
        std::ifstream in(Path(name), std::ios::binary);
        std::stringstream out;
        out << in.rdbuf();
        return out.str();
    }
    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
            if (entry.is_regular_file()) names.push_back(entry.path().lexically_relative(root).string());
        std::sort(names.begin(), names.end());
        return names;
    }

    void CreateDatabase(const char* path = "db.dbf") {
        ASSERT_TRUE(schema->Create(path)) << schema->ErrorText().Text();
    }
    static void Columns(ColumnDefinitionList& list, const std::vector<Col>& columns) {
        for (const Col& c : columns)
            list.Append(new ColumnDefinition(c.name, -1, TypeCode(c.type), c.width, c.decimals));
    }
    int CreateTable(const char* name, const std::vector<Col>& columns) {
        ColumnDefinitionList list;
        Columns(list, columns);
        return schema->CreateTable(name, -1, list);
    }
    int CreateIndex(const char* table, const char* index, bool unique,
                    const std::vector<const char*>& columns, bool ascending = true) {
        std::vector<IndexColumn> list;
        for (const char* c : columns)
            list.emplace_back(c, -1, ascending ? 1 : 0);
        return schema->CreateIndex(table, -1, index, -1, unique ? 1 : 0, list);
    }
    static void Set(Table* table, const std::vector<std::pair<const char*, std::string>>& values) {
        for (const auto& [name, value] : values) {
            XBaseField* field = table->Data().Field(name);
            ASSERT_NE(field, nullptr) << name;
            ASSERT_TRUE(field->SetValue(value.data(), static_cast<int32_t>(value.size()))) << name;
        }
    }
    // Sets every field (those not given empty) and inserts.
    static int Insert(Table* table, const std::vector<std::pair<const char*, std::string>>& values) {
        for (int32_t i = 0; i < table->Data().FieldCount(); ++i)
            table->Data().FieldAt(i)->SetValue("", 0);
        for (const auto& [name, value] : values) {
            XBaseField* field = table->Data().Field(name);
            if (!field || !field->SetValue(value.data(), static_cast<int32_t>(value.size()))) return 0;
        }
        return table->Insert();
    }

    // Every index of the table in the catalog: a sound tree whose entries are
    // exactly the live records' keys.
    ::testing::AssertionResult IndexesAgree(const std::string& table,
                                            const std::string& database = "db.dbf") {
        std::vector<DbfField> catalogFields, fields;
        std::vector<DbfRecord> rows, records;
        if (!ReadDbf(Bytes(database), &catalogFields, &rows))
            return ::testing::AssertionFailure() << "catalog";
        std::string tableFile;
        std::string upper = table;
        for (char& c : upper)
            c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        std::string directory =
            database.find('/') == std::string::npos ? "" : database.substr(0, database.rfind('/') + 1);
        for (const DbfRecord& row : rows) {
            std::string t = row.values.at("TABLE");
            for (char& c : t)
                c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
            if (!row.deleted && row.values.at("TYPE") == "T" && t == upper) tableFile = row.values.at("FILE");
        }
        if (tableFile.empty() || !ReadDbf(Bytes(directory + tableFile), &fields, &records))
            return ::testing::AssertionFailure() << "table " << table;
        for (const DbfRecord& row : rows) {
            std::string t = row.values.at("TABLE");
            for (char& c : t)
                c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
            if (row.deleted || row.values.at("TYPE") != "I" || t != upper) continue;
            std::vector<std::string> columns;
            std::stringstream split(row.values.at("COLUMNS"));
            for (std::string c; std::getline(split, c, ':');)
                columns.push_back(c);
            std::multiset<std::pair<std::string, int32_t>> expected, found;
            for (size_t r = 0; r < records.size(); ++r)
                if (!records[r].deleted)
                    expected.insert({OracleKey(records[r], fields, columns), static_cast<int32_t>(r + 1)});
            std::vector<IndexEntry> entries;
            ::testing::AssertionResult sound = CheckIndex(Bytes(directory + row.values.at("FILE")), &entries);
            if (!sound) return sound << " in " << row.values.at("FILE");
            for (const IndexEntry& e : entries)
                found.insert({e.key, e.record});
            if (found != expected)
                return ::testing::AssertionFailure() << row.values.at("INDEX") << " holds " << found.size()
                                                     << " entries, the records give " << expected.size();
        }
        return ::testing::AssertionSuccess();
    }

    // Runs a script under the system Python with the data directory as its
    // first argument; its standard output.
    std::string Python(const std::string& script) const {
        std::string file = root + "/../" + std::filesystem::path(root).filename().string() + ".py";
        std::ofstream(file) << script;
        std::string command = "/usr/bin/python3 -W ignore " + file + " " + root + " 2>&1";
        std::string out;
        if (FILE* pipe = popen(command.c_str(), "r")) {
            char buffer[4096];
            size_t n;
            while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
                out.append(buffer, n);
            pclose(pipe);
        }
        std::filesystem::remove(file);
        return out;
    }

    std::string root;
    VornProgram* program = nullptr;
    std::unique_ptr<Schema> schema;
};

} // namespace vorn::test
