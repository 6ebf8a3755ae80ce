// Seeded generator of SELECT statements that both this dialect and SQLite 3
// accept, over a fixed schema: C columns are TEXT, N columns REAL; text
// literals are letters only, no literal is divided by a literal, and scalar
// sub-queries aggregate, so they give at most one row.
#pragma once

#include "SqlTestSupport.h"

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace sqltest {

class SqlQueryGenerator {
  public:
    explicit SqlQueryGenerator(uint32_t seed) : random(seed) {}

    // A SELECT with marks around its columns: render it with Ours or Sqlite.
    std::string Query();
    // An INSERT, UPDATE or DELETE of table 0-2 (t1-t3), marked likewise.
    std::string Change(int table);
    static std::string Ours(const std::string& marked);
    // Compared and computed columns, and sub-query values, through COALESCE
    // (empty is NULL in SQLite, the empty text here).
    static std::string Sqlite(const std::string& marked);

    // The same tables and indexes, for SQLite and as an in-memory catalog.
    static const std::vector<std::string>& SqliteSchema();
    static FakeCatalog& Catalog();

  private:
    struct Table {
        std::string alias;
        int table;
    };
    std::string Select(int depth, const std::vector<Table>& outer, int columns, bool scalar);
    std::string Condition(int depth, const std::vector<Table>& tables);
    std::string Numeric(int depth, const std::vector<Table>& tables);
    std::string Text(int depth, const std::vector<Table>& tables);
    std::string Column(const std::vector<Table>& tables, char type, bool bare = false);
    std::string SubQuery(int depth, const std::vector<Table>& outer, bool scalar);
    std::string NumericSubQuery(int depth, const std::vector<Table>& outer, bool scalar);
    int Pick(int n) { return static_cast<int>(random() % static_cast<uint32_t>(n)); }
    bool Chance(int percent) { return Pick(100) < percent; }

    std::mt19937 random;
    int aliases = 0;
    int numericItems = 0;
};

} // namespace sqltest
