// Shared fixtures of the SQL front-end tests: an in-memory catalog, a compile
// helper, a compact program rendering, and a checker run on every program.
#pragma once

#include "sqllib/front/SqlCatalog.h"
#include "sqllib/front/SqlCodeGenerator.h"
#include "sqllib/front/SqlParser.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace sqltest {

struct FakeIndex : vorn::SQLCatalogIndex {
    std::string name;
    int32_t flags = 0;
    std::vector<int32_t> keys;
    const char* IndexName() const override { return name.c_str(); }
    int32_t IndexNameLength() const override { return static_cast<int32_t>(name.size()); }
    int32_t IndexFlags() const override { return flags; }
    int32_t KeyColumnCount() const override { return static_cast<int32_t>(keys.size()); }
    int32_t KeyColumn(int32_t i) const override { return keys.at(static_cast<size_t>(i)); }
};

struct FakeTable : vorn::SQLCatalogTable {
    struct Column {
        std::string name;
        int32_t type, width, decimals;
    };
    std::vector<Column> columns;
    std::vector<std::unique_ptr<FakeIndex>> indexes;

    int32_t ColumnCount() const override { return static_cast<int32_t>(columns.size()); }
    vorn::SQLCatalogColumn Column(int32_t i) const override;
    int32_t FindColumn(const char* name, int32_t length) const override;
    int32_t IndexCount() const override { return static_cast<int32_t>(indexes.size()); }
    const vorn::SQLCatalogIndex* IndexAt(int32_t i) const override { return indexes.at(static_cast<size_t>(i)).get(); }
};

// Tables described as "t: a N5, b C10, c L1, d N8.2, m M10" (type letter, width,
// decimals after a point); indexes as "t_a ON t (a, b)" with an optional leading
// "UNIQUE" and a trailing "DESC".
class FakeCatalog : public vorn::SQLCatalog {
  public:
    FakeCatalog(std::vector<std::string> tables, std::vector<std::string> indexes = {});
    vorn::SQLCatalogTable* FindTable(const char* name, int32_t length) override;
    const vorn::String& CatalogError() const override { return error; }
    int32_t TableNameLimit() const override { return tableLimit; }
    int32_t IndexNameLimit() const override { return indexLimit; }
    void LogText(const char* text, int32_t length) override;

    std::string log;
    int32_t tableLimit = 64;
    int32_t indexLimit = 64;

  private:
    std::map<std::string, std::unique_ptr<FakeTable>> tables; // by lower-case name
    vorn::String error;
};

// The catalog most tests share:
//   t: a N5, b C10, c L1, d N8.2      indexes t_a (a), t_bd (b, d)
//   u: a N5, x C10, k N5              index u_k (k) DESC
//   w: a N5, b C10                    no index
FakeCatalog& StandardCatalog();

struct Compiled {
    int parsed = 0;
    int generated = 0;
    std::string error;            // the parser's or the generator's
    std::vector<std::string> code; // Render() of each instruction
    std::string check;            // CheckProgram(): empty when sound
    int32_t parameters = 0;
};

// Parses and generates with a fresh parser and generator, and checks the program
// (the checker follows the flags of each nesting level: 2^depth states).
Compiled Compile(vorn::SQLCatalog& catalog, const std::string& sql, bool check = true);

// "12: Cursor_First 0 15" - the index, the name without "SQL_", the operands up
// to the last non-zero one, then 'text1' and 'text2' when present.
std::string Render(int32_t index, const vorn::SQLInstruction& instruction);

// The library's SQLVerifier first; then an abstract stack run over every path
// of the program: cursors, columns, results, buckets and temporary tables
// made before use and records current where read; no underflow, at most 2046
// entries, an empty stack at SQL_Output and at the end. Returns the first
// fault, or "".
std::string CheckProgram(const vorn::SQLInstruction* code, int32_t count, int32_t parameters);

} // namespace sqltest
