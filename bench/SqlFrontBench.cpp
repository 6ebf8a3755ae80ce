// Preparing a statement: scan, parse and generate here, beside SQLite's
// sqlite3_prepare_v2 + sqlite3_finalize of the same text over the same tables.
#include "tests/sqllib/front/SqlTestSupport.h"

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdlib>

namespace {

const char* const kSchema[] = {
    "CREATE TABLE orders (id REAL, customer REAL, placed TEXT, total REAL, state TEXT)",
    "CREATE TABLE customers (id REAL, name TEXT, city REAL, since TEXT)",
    "CREATE TABLE cities (id REAL, name TEXT, region REAL)",
    "CREATE TABLE regions (id REAL, name TEXT, country REAL)",
    "CREATE TABLE countries (id REAL, name TEXT)",
    "CREATE INDEX orders_customer ON orders (customer)",
    "CREATE INDEX customers_id ON customers (id)",
    "CREATE INDEX cities_id ON cities (id)",
    "CREATE INDEX regions_id ON regions (id)",
    "CREATE INDEX countries_id ON countries (id)",
};

sqltest::FakeCatalog& Catalog() {
    static sqltest::FakeCatalog catalog(
        {"orders: id N10, customer N10, placed C8, total N12.2, state C1", "customers: id N10, name C40, city N10, since C8",
         "cities: id N10, name C40, region N10", "regions: id N10, name C40, country N10", "countries: id N10, name C40"},
        {"orders_customer ON orders (customer)", "customers_id ON customers (id)", "cities_id ON cities (id)",
         "regions_id ON regions (id)", "countries_id ON countries (id)"});
    return catalog;
}

const char* const kStatements[] = {
    // Two tables with ORDER BY.
    "SELECT c.name, o.total FROM customers c, orders o WHERE o.customer = c.id AND o.state = 'O' "
    "ORDER BY o.total DESC",
    // Five tables.
    "SELECT o.id, c.name, ci.name, r.name, co.name FROM orders o, customers c, cities ci, regions r, countries co "
    "WHERE c.id = o.customer AND ci.id = c.city AND r.id = ci.region AND co.id = r.country AND o.total > 100",
    // Grouping.
    "SELECT customer, COUNT(*), SUM(total) FROM orders WHERE placed >= ? GROUP BY customer",
    // A change.
    "UPDATE orders SET state = 'C', total = total * 1.1 WHERE customer = ? AND state = 'O'",
};

void Front(benchmark::State& state) {
    const char* sql = kStatements[state.range(0)];
    vorn::SQLCodeGenerator generator(&Catalog());
    vorn::SQLParser parser(generator);
    for (auto _ : state) {
        if (!parser.Parse(sql, -1) || !generator.Generate()) std::abort();
        benchmark::DoNotOptimize(generator.Instructions());
    }
}

void Sqlite(benchmark::State& state) {
    sqlite3* db = nullptr;
    sqlite3_open(":memory:", &db);
    for (const char* create : kSchema) sqlite3_exec(db, create, nullptr, nullptr, nullptr);
    const char* sql = kStatements[state.range(0)];
    for (auto _ : state) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) std::abort();
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
}

} // namespace

BENCHMARK(Front)->DenseRange(0, 3);
BENCHMARK(Sqlite)->DenseRange(0, 3);

BENCHMARK_MAIN();
