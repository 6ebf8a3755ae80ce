#include "SqlQueryGenerator.h"

namespace sqltest {

namespace {

struct TableShape {
    const char* name;
    const char* columns; // one type letter per column c1.. or n1..
    std::vector<std::string> names;
};

// t1 (c1, n1, n2), t2 (c1, c2, n1), t3 (n1, c1)
const TableShape kTables[] = {
    {"t1", "CNN", {"c1", "n1", "n2"}},
    {"t2", "CCN", {"c1", "c2", "n1"}},
    {"t3", "NC", {"n1", "c1"}},
};

const char* const kComparisons[] = {"=", "<>", "<", ">", "<=", ">="};

} // namespace

const std::vector<std::string>& SqlQueryGenerator::SqliteSchema() {
    static const std::vector<std::string> schema = {
        "CREATE TABLE t1 (c1 TEXT, n1 REAL, n2 REAL)", "CREATE TABLE t2 (c1 TEXT, c2 TEXT, n1 REAL)",
        "CREATE TABLE t3 (n1 REAL, c1 TEXT)",          "CREATE INDEX t1_n1 ON t1 (n1)",
        "CREATE INDEX t2_c1n1 ON t2 (c1, n1)",         "CREATE INDEX t3_n1 ON t3 (n1 DESC)",
    };
    return schema;
}

FakeCatalog& SqlQueryGenerator::Catalog() {
    static FakeCatalog catalog({"t1: c1 C10, n1 N12.2, n2 N10", "t2: c1 C10, c2 C10, n1 N10", "t3: n1 N12.2, c1 C10"},
                               {"t1_n1 ON t1 (n1)", "t2_c1n1 ON t2 (c1, n1)", "t3_n1 ON t3 (n1) DESC"});
    return catalog;
}

std::string SqlQueryGenerator::Column(const std::vector<Table>& tables, char type, bool bare) {
    for (int tries = 0; tries < 20; ++tries) {
        const Table& t = tables[static_cast<size_t>(Pick(static_cast<int>(tables.size())))];
        const TableShape& shape = kTables[t.table];
        int c = Pick(static_cast<int>(shape.names.size()));
        if (shape.columns[c] != type) continue;
        std::string name = (t.alias.empty() ? "" : t.alias + ".") + shape.names[static_cast<size_t>(c)];
        // Marked: SQLite reads a compared or computed column through COALESCE.
        return std::string("\x01") + (bare ? static_cast<char>(type + 32) : type) + name + "\x02";
    }
    return type == 'N' ? std::to_string(Pick(50)) : "'q'";
}

namespace {

std::string Render(const std::string& marked, bool sqlite) {
    std::string out;
    std::vector<char> open;
    for (size_t i = 0; i < marked.size(); ++i) {
        char c = marked[i];
        if (c == '\x01' || c == '\x03') {
            char type = marked[++i];
            open.push_back(type);
            if (sqlite && (type == 'C' || type == 'N')) out += "COALESCE(";
            if (sqlite && type == 'E') out += "NULLIF(";
        } else if (c == '\x02' || c == '\x04') {
            char type = open.back();
            open.pop_back();
            if (sqlite && (type == 'C' || type == 'N')) out += type == 'C' ? ", '')" : ", 0)";
            if (sqlite && type == 'E') out += ", '')";
        } else {
            out += c;
        }
    }
    return out;
}

} // namespace

std::string SqlQueryGenerator::Ours(const std::string& marked) { return Render(marked, false); }
std::string SqlQueryGenerator::Sqlite(const std::string& marked) { return Render(marked, true); }

std::string SqlQueryGenerator::Change(int table) {
    const TableShape& shape = kTables[table];
    std::vector<Table> self{{shape.name, table}};
    auto value = [&](char type, const std::string& column) {
        if (type == 'N') return Chance(50) ? std::to_string(Pick(60) - 10) : column + " + " + std::to_string(Pick(9));
        std::string word;
        for (int n = Pick(4); n > 0; --n) word += static_cast<char>((Chance(50) ? 'a' : 'A') + Pick(4));
        // Stored empty is NULL in SQLite.
        return std::string("\x03") + "E" + (Chance(60) ? "'" + word + "'" : "UPPER(" + column + ")") + "\x04";
    };
    switch (Pick(3)) {
    case 0: {
        std::string sql = std::string("INSERT INTO ") + shape.name + " VALUES (";
        for (size_t i = 0; i < shape.names.size(); ++i) {
            char type = shape.columns[i];
            sql += (i ? ", " : "") + (type == 'N' ? std::to_string(Pick(100) - 20) : "'" + std::string(1, "aBc%_"[Pick(5)]) + "'");
        }
        return sql + ")";
    }
    case 1: {
        int c = Pick(static_cast<int>(shape.names.size()));
        std::string column = shape.names[static_cast<size_t>(c)];
        std::string marked = std::string("\x01") + shape.columns[c] + column + "\x02";
        return std::string("UPDATE ") + shape.name + " SET " + column + " = " + value(shape.columns[c], marked) +
               (Chance(80) ? " WHERE " + Condition(1, self) : "");
    }
    default:
        return std::string("DELETE FROM ") + shape.name + " WHERE " + Condition(1, self);
    }
}

std::string SqlQueryGenerator::Numeric(int depth, const std::vector<Table>& tables) {
    switch (depth > 2 ? Pick(2) : Pick(7)) {
    case 0:
        return Column(tables, 'N');
    case 1:
        return Chance(70) ? std::to_string(Pick(100)) : std::to_string(Pick(100)) + "." + std::to_string(Pick(10));
    case 2:
        return Numeric(depth + 1, tables) + " " + "+-*"[Pick(3)] + " " + Numeric(depth + 1, tables);
    case 3:
        return Column(tables, 'N') + " / " + std::to_string(1 + Pick(9));
    case 4:
        return "LENGTH(" + Text(depth + 1, tables) + ")";
    case 5: // never "(" first: in a condition that opens a condition here
        return Column(tables, 'N') + " * (" + Numeric(depth + 1, tables) + " - 1)";
    default:
        return "-" + Column(tables, 'N');
    }
}

std::string SqlQueryGenerator::Text(int depth, const std::vector<Table>& tables) {
    switch (depth > 2 ? Pick(2) : Pick(4)) {
    case 0:
        return Column(tables, 'C');
    case 1: {
        std::string word(1 + Pick(3), 'a');
        for (char& c : word) c = static_cast<char>((Chance(50) ? 'a' : 'A') + Pick(4));
        return "'" + word + "'";
    }
    case 2:
        return "UPPER(" + Text(depth + 1, tables) + ")";
    default:
        return "LOWER(" + Text(depth + 1, tables) + ")";
    }
}

std::string SqlQueryGenerator::SubQuery(int depth, const std::vector<Table>& outer, bool scalar) {
    return "(" + Select(depth + 1, outer, 1, scalar) + ")";
}

// A sub-query compared with a number yields numbers: the empty text equals
// 0 here, but not in SQLite.
std::string SqlQueryGenerator::NumericSubQuery(int depth, const std::vector<Table>& outer, bool scalar) {
    ++numericItems;
    std::string sql = SubQuery(depth, outer, scalar);
    --numericItems;
    return sql;
}

std::string SqlQueryGenerator::Condition(int depth, const std::vector<Table>& tables) {
    bool numeric = Chance(60);
    auto value = [&] { return numeric ? Numeric(depth + 1, tables) : Text(depth + 1, tables); };
    switch (depth > 2 ? Pick(2) : Pick(12)) {
    case 0:
    case 1:
        return value() + " " + kComparisons[Pick(6)] + " " + value();
    case 2:
        return Text(depth + 1, tables) + (Chance(30) ? " NOT" : "") + " LIKE '" + "ab%_"[Pick(4)] + "%'";
    case 3:
        return Numeric(depth + 1, tables) + (Chance(30) ? " NOT" : "") + " BETWEEN " + std::to_string(Pick(30)) +
               " AND " + std::to_string(30 + Pick(60));
    case 4:
        return Column(tables, numeric ? 'N' : 'C') + (Chance(30) ? " NOT" : "") + " IN (" +
               (numeric ? "1, 2.5, 7" : "'a', 'B', 'cd'") + ")";
    case 5:
        return Column(tables, numeric ? 'N' : 'C', true) + (Chance(50) ? " IS NULL" : " IS NOT NULL");
    case 6:
        return "NOT " + Condition(depth + 1, tables);
    case 7:
        return "(" + Condition(depth + 1, tables) + " OR " + Condition(depth + 1, tables) + ")";
    case 8:
        return Condition(depth + 1, tables) + " AND " + Condition(depth + 1, tables);
    case 9:
        return std::string(Chance(30) ? "NOT " : "") + "EXISTS " + SubQuery(depth, tables, false);
    case 10:
        return Column(tables, 'N') + " " + kComparisons[Pick(6)] + " " + NumericSubQuery(depth, tables, true);
    default:
        return Column(tables, 'N') + (Chance(30) ? " NOT" : "") + " IN " + NumericSubQuery(depth, tables, false);
    }
}

// A query of the given number of columns; sub-queries (depth > 0) read outer
// tables through their aliases.
std::string SqlQueryGenerator::Select(int depth, const std::vector<Table>& outer, int columns, bool scalar) {
    std::vector<Table> visible = outer;
    std::vector<Table> own;
    std::string from;
    int count = depth > 0 ? 1 + Pick(2) : 1 + Pick(3);
    for (int i = 0; i < count; ++i) {
        Table t{"a" + std::to_string(aliases++), Pick(3)};
        own.push_back(t);
        visible.push_back(t);
        if (i == 0) {
            from = kTables[t.table].name + std::string(" ") + t.alias;
        } else if (Chance(30)) {
            from += std::string(" LEFT OUTER JOIN ") + kTables[t.table].name + " " + t.alias + " ON " +
                    Column(visible, 'N') + " = " + Column({t}, 'N');
        } else {
            from += std::string(", ") + kTables[t.table].name + " " + t.alias;
        }
    }
    bool grouped = scalar || Chance(25);
    std::vector<std::string> groupBy;
    if (grouped && !scalar && Chance(70))
        for (int i = 1 + Pick(2); i > 0; --i)
            groupBy.push_back(Column(own, Chance(50) || numericItems ? 'N' : 'C', true));
    std::string list;
    for (int i = 0; i < columns; ++i) {
        std::string item;
        if (grouped && (groupBy.empty() || Chance(50) || i >= static_cast<int>(groupBy.size()))) {
            switch (Pick(5)) {
            case 0:
                item = "COUNT(*)";
                break;
            case 1:
                item = "SUM(" + Column(own, 'N', true) + ")";
                break;
            case 2:
                item = "AVG(" + Column(own, 'N', true) + ")";
                break;
            case 3:
                item = "MIN(" + Column(own, Chance(50) || numericItems ? 'N' : 'C', true) + ")";
                break;
            default:
                item = "MAX(" + Column(own, Chance(50) || numericItems ? 'N' : 'C', true) + ")";
            }
        } else if (grouped) {
            item = groupBy[static_cast<size_t>(i)];
        } else {
            bool numeric = Chance(60) || numericItems > 0;
            item = numeric ? Numeric(depth + 1, visible) : Text(depth + 1, visible);
            // A sub-query's value is compared: its empty is the empty text.
            if (depth > 0) item = std::string("\x03") + (numeric ? 'N' : 'C') + item + "\x04";
        }
        if (depth > 0 && grouped)
            item = std::string("\x03") + (item.find("\x01c") != std::string::npos ? 'C' : 'N') + item + "\x04";
        // A column shown as it is: NULL in SQLite, the empty text here.
        if (depth == 0 && item.size() > 2 && item[0] == '\x01' && item.find('\x02') == item.size() - 1 &&
            (item[1] == 'C' || item[1] == 'N'))
            item[1] = static_cast<char>(item[1] + 32);
        list += (i ? ", " : "") + item + " AS r" + std::to_string(i);
    }
    std::string sql = std::string("SELECT ") + (!scalar && Chance(15) ? "DISTINCT " : "") + list + " FROM " + from;
    if (Chance(70)) sql += " WHERE " + Condition(depth, visible);
    if (!groupBy.empty()) {
        sql += " GROUP BY ";
        for (size_t i = 0; i < groupBy.size(); ++i) sql += (i ? ", " : "") + groupBy[i];
    }
    return sql;
}

std::string SqlQueryGenerator::Query() {
    aliases = 0;
    int columns = 1 + Pick(3);
    std::string sql = Select(0, {}, columns, false);
    for (int i = Pick(4) == 0 ? 1 + Pick(2) : 0; i > 0; --i)
        sql += std::string(Chance(50) ? " UNION " : " UNION ALL ") + Select(0, {}, columns, false);
    if (Chance(50)) {
        sql += " ORDER BY ";
        for (int i = 0; i < columns; ++i)
            sql += (i ? ", " : "") + std::string("r") + std::to_string(Pick(columns)) + (Chance(40) ? " DESC" : "");
    }
    return sql;
}

} // namespace sqltest
