// Shared pieces of the xBase file tests: a scratch data directory with an
// application and opener over it, field lists from short specifications, an
// in-memory store for hostile bytes and failing files, the two Python dBASE
// readers, and an index checker with a key order written apart from the code.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "database/format/KPZIndexFile.h"
#include "database/format/XBaseTable.h"
#include "database/xbase3/XBaseFileStore.h"
#include "engine/foundation/LittleEndian.h"
#include "tests/database/format/KPZIndexChecker.h"
#include "tests/engine/files/FileTestSupport.h"

namespace vorn::test {

// A field specification: name, type letter, length, decimals.
struct FieldSpec {
    const char* name;
    char type;
    int32_t length;
    int32_t decimals;
};

inline int32_t KindOf(char type) {
    switch (type) {
    case 'C': return kXBaseCharacter;
    case 'N': return kXBaseNumeric;
    case 'D': return kXBaseDate;
    case 'L': return kXBaseLogical;
    case 'M': return kXBaseMemo;
    default: return 9;
    }
}

// An opener whose clock a test may fix.
class TestOpener : public XBaseFileOpener {
public:
    using XBaseFileOpener::XBaseFileOpener;
    int64_t NowSeconds() override { return now ? now : XBaseFileOpener::NowSeconds(); }
    bool Stopped() override { return stopped; }
    int64_t now = 0;
    bool stopped = false;
};

// Switches shared by the MemoryStores of one opener: reads, writes or locks
// fail, and writes are counted.
struct MemoryFaults {
    bool failReads = false;
    bool failLocks = false;
    int32_t writeBudget = -1; // writes allowed before they fail; -1 no limit
    int32_t failWrite = -1;   // the number of the one write that fails
    int32_t writes = 0;
};

// Bytes in memory behind the store interface.
class MemoryStore : public XBaseStore {
public:
    MemoryStore(std::string* bytes, MemoryFaults* faults) : bytes(bytes), faults(faults) {}
    int32_t ReadAt(int64_t offset, void* buffer, int32_t count) override {
        if (faults->failReads) return -1;
        int64_t size = static_cast<int64_t>(bytes->size());
        int64_t n = offset >= size ? 0 : std::min<int64_t>(count, size - offset);
        if (n > 0) std::memcpy(buffer, bytes->data() + offset, static_cast<size_t>(n));
        return static_cast<int32_t>(n);
    }
    int32_t WriteAt(int64_t offset, const void* buffer, int32_t count) override {
        if (faults->writeBudget == 0) return -1;
        if (faults->writeBudget > 0) --faults->writeBudget;
        if (faults->writes++ == faults->failWrite) return -1;
        if (static_cast<size_t>(offset + count) > bytes->size()) bytes->resize(static_cast<size_t>(offset + count));
        std::memcpy(bytes->data() + offset, buffer, static_cast<size_t>(count));
        return count;
    }
    int64_t Length() override { return static_cast<int64_t>(bytes->size()); }
    bool Lock(bool, int64_t, int64_t) override { return !faults->failLocks; }
    bool Unlock(int64_t, int64_t) override { return true; }
    const char* ErrorText() override { return "memory store failure"; }

    std::string* bytes;
    MemoryFaults* faults;
};

// Opens MemoryStores over named byte strings.
class MemoryOpener : public XBaseStoreOpener {
public:
    XBaseStore* Open(int32_t, const char* path, int32_t mode) override {
        auto it = files.find(path);
        if (it == files.end()) {
            if (!(mode & 0x04)) return nullptr;
            it = files.emplace(path, std::string()).first;
        }
        if (mode & 0x08) it->second.clear();
        return new MemoryStore(&it->second, &faults);
    }
    const char* ErrorText() override { return "no such file"; }
    int64_t NowSeconds() override { return 1700000000; } // 2023-11-14

    std::map<std::string, std::string> files;
    MemoryFaults faults;
};

// A scratch data directory with an application, its file layer and an opener.
class XBaseTest : public ::testing::Test {
protected:
    void SetUp() override {
        ConfigureRoots(app, tree);
        app.settings.SetInteger(kConfigFileDelay, 5);
        app.settings.SetInteger(kConfigFileTimeout, 5);
    }

    std::string DataPath(const std::string& name) const { return tree.Data() + "/" + name; }
    std::string Bytes(const std::string& name) const { return ScratchTree::ReadFile(DataPath(name)); }

    // Fields for Create: the list owns them.
    static void AddFields(List<XBaseField>& list, const std::vector<FieldSpec>& specs) {
        for (const FieldSpec& s : specs) list.Insert(new XBaseField(nullptr, s.name, KindOf(s.type), s.length, s.decimals), kListTail);
    }

    // Creates a table file and leaves it open in table.
    void Create(XBaseTable& table, const std::string& name, const std::vector<FieldSpec>& specs) {
        List<XBaseField> list(true);
        AddFields(list, specs);
        ASSERT_TRUE(table.CreateFiles(LocationData, name.c_str(), nullptr, list)) << table.ErrorText().Text();
    }

    // Sets the fields by name and appends a record.
    static void Append(XBaseTable& table, const std::vector<std::pair<const char*, std::string>>& values) {
        for (XBaseField* field = table.Fields().First(); field; field = table.Fields().Next())
            field->SetValue("", 0);
        for (const auto& [name, value] : values) {
            XBaseField* field = table.FindField(name);
            ASSERT_NE(field, nullptr) << name;
            ASSERT_TRUE(field->SetValue(value.data(), static_cast<int32_t>(value.size()))) << name;
        }
        ASSERT_TRUE(table.AppendRecord()) << table.ErrorText().Text();
    }

    static std::string Value(XBaseTable& table, const char* name) {
        XBaseField* field = table.FindField(name);
        if (!field) return "<no field>";
        const char* text = field->Value();
        return text ? std::string(text, static_cast<size_t>(field->ValueLength())) : "<error>";
    }

    // Runs a script under the system Python (where Debian's modules are) with
    // the data directory as its first argument; its standard output.
    std::string Python(const std::string& script, int* status = nullptr) const {
        std::string file = tree.root + "/script.py";
        ScratchTree::WriteFile(file, script);
        std::string command = "/usr/bin/python3 -W ignore " + file + " " + tree.Data() + " 2>&1";
        FILE* pipe = popen(command.c_str(), "r");
        std::string out;
        if (!pipe) return out;
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
        int rc = pclose(pipe);
        if (status) *status = rc;
        return out;
    }

    ScratchTree tree;
    FileTestApplication app;
    TestOpener opener{&app};
};

} // namespace vorn::test
