// Queries that SQLite 3 runs must compile here into sound programs. (The SQL
// engine compares their rows with SQLite's.)
#include "SqlQueryGenerator.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

using namespace sqltest;

TEST(SqlDifferential, GeneratedQueriesRunOnSqliteAndCompileHere) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
    for (const std::string& create : SqlQueryGenerator::SqliteSchema())
        ASSERT_EQ(sqlite3_exec(db, create.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    const char* rows[] = {"INSERT INTO t1 VALUES ('ab', 1, 2), ('Ba', 3.5, 0), ('c', 50, 7)",
                          "INSERT INTO t2 VALUES ('ab', 'x', 1), ('dd', 'ab', 3)", "INSERT INTO t3 VALUES (1, 'ab')",
                          "PRAGMA case_sensitive_like = ON"};
    for (const char* row : rows) ASSERT_EQ(sqlite3_exec(db, row, nullptr, nullptr, nullptr), SQLITE_OK);

    SqlQueryGenerator generator(2021);
    int sorted = 0, unions = 0, grouped = 0, sub = 0, joined = 0;
    for (int i = 0; i < 300; ++i) {
        std::string marked = generator.Query();
        std::string sql = SqlQueryGenerator::Sqlite(marked);
        sqlite3_stmt* statement = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr), SQLITE_OK)
            << sql << "\n" << sqlite3_errmsg(db);
        int step;
        while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
        }
        sqlite3_finalize(statement);
        ASSERT_EQ(step, SQLITE_DONE) << sql << "\n" << sqlite3_errmsg(db);

        Compiled c = Compile(SqlQueryGenerator::Catalog(), SqlQueryGenerator::Ours(marked));
        ASSERT_TRUE(c.generated) << sql << "\n" << c.error;
        ASSERT_EQ(c.check, "") << sql;
        sorted += sql.find("ORDER BY") != std::string::npos;
        unions += sql.find("UNION") != std::string::npos;
        grouped += sql.find("GROUP BY") != std::string::npos;
        sub += sql.find("(SELECT") != std::string::npos;
        joined += sql.find("LEFT OUTER JOIN") != std::string::npos;
    }
    sqlite3_close(db);
    // The generator reaches every shape.
    EXPECT_GT(sorted, 50);
    EXPECT_GT(unions, 25);
    EXPECT_GT(grouped, 25);
    EXPECT_GT(sub, 50);
    EXPECT_GT(joined, 25);
}
