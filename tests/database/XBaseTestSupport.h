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

#include "database/KPZIndexFile.h"
#include "database/XBaseFileStore.h"
#include "database/XBaseTable.h"
#include "engine/foundation/LittleEndian.h"
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
    int64_t now = 0;
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

// --- The index checker ------------------------------------------------------------------

// The key order, from the rules alone: numbers when both keys read as decimal
// numbers (a C-locale grammar, overflow being text), bytes otherwise, prefix
// matching for inexact searches, reversed for descending indexes.
inline bool OracleNumber(const std::string& text, double* value) {
    if (text.empty()) {
        *value = 0.0;
        return true;
    }
    static const std::regex grammar(R"(^[ \t\n\v\f\r]*[+-]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?$)");
    if (!std::regex_match(text, grammar)) return false;
    errno = 0;
    double v = std::strtod(text.c_str(), nullptr);
    if (errno == ERANGE && std::isinf(v)) return false;
    *value = v;
    return true;
}

inline int OracleCompare(const std::string& a, const std::string& b, uint32_t flags) {
    int result;
    double x, y;
    if (!(flags & kIndexString) && OracleNumber(a, &x) && OracleNumber(b, &y))
        result = x < y ? -1 : x > y ? 1 : 0;
    else
        result = a < b ? -1 : a > b ? 1 : 0; // std::string compares bytes unsigned
    return (flags & kIndexDescending) ? -result : result;
}

struct IndexEntry {
    std::string key;
    int32_t record;
    bool operator<(const IndexEntry& o) const { return key != o.key ? key < o.key : record < o.record; }
    bool operator==(const IndexEntry& o) const { return key == o.key && record == o.record; }
};

// Walks an index file's bytes from the root: every page reached once, the
// leaves at one depth, counts within the maximum and, below the root, the
// minimum, and every entry in order after the one before it. The entries in
// tree order, or a failure message.
inline ::testing::AssertionResult CheckIndex(const std::string& bytes, std::vector<IndexEntry>* out) {
    auto u32 = [&](size_t at) { return GetU32(reinterpret_cast<const uint8_t*>(bytes.data()) + at); };
    auto u16 = [&](size_t at) { return GetU16(reinterpret_cast<const uint8_t*>(bytes.data()) + at); };
    if (bytes.size() < 427 || bytes.compare(0, 4, "KPZI") != 0) return ::testing::AssertionFailure() << "header";
    uint32_t pages = u32(9), root = u32(13), flags = u32(23);
    size_t maxEntries = u16(17), pageSize = u16(19), entrySize = u16(21);
    size_t minEntries = maxEntries / 2 - 1;
    std::vector<bool> seen(pages, false);
    int leafDepth = -1;
    std::string failure;
    out->clear();
    // Recursive in-order walk.
    std::function<void(uint32_t, int)> walk = [&](uint32_t page, int depth) {
        if (!failure.empty()) return;
        if (page < 1 || page >= pages) {
            failure = "page number " + std::to_string(page) + " out of range";
            return;
        }
        if (seen[page]) {
            failure = "page " + std::to_string(page) + " reached twice";
            return;
        }
        seen[page] = true;
        size_t base = page * pageSize;
        if (base + pageSize > bytes.size()) {
            failure = "page past the end";
            return;
        }
        size_t n = u32(base);
        if (n > maxEntries) failure = "page " + std::to_string(page) + " holds too many entries";
        if (page != root && n < minEntries) failure = "page " + std::to_string(page) + " is underfull";
        bool leaf = u32(base + 4) == 0;
        for (size_t i = 0; i <= n && failure.empty(); ++i) {
            uint32_t child = u32(base + 4 + i * entrySize);
            if ((child == 0) != leaf) failure = "page " + std::to_string(page) + " mixes leaf and inner children";
            if (!leaf) walk(child, depth + 1);
            if (i == n || !failure.empty()) break;
            const char* key = bytes.data() + base + 12 + i * entrySize;
            IndexEntry entry{std::string(key, strnlen(key, entrySize - 8)),
                             static_cast<int32_t>(u32(base + 8 + i * entrySize))};
            if (!out->empty() && OracleCompare(out->back().key, entry.key, flags) > 0)
                failure = "'" + out->back().key + "' stands before '" + entry.key + "'";
            out->push_back(entry);
        }
        if (leaf) {
            if (leafDepth < 0) leafDepth = depth;
            if (leafDepth != depth) failure = "leaves at different depths";
        }
    };
    walk(root, 0);
    if (!failure.empty()) return ::testing::AssertionFailure() << failure;
    return ::testing::AssertionSuccess();
}

} // namespace vorn::test
