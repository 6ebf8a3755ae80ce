// The temporary table's sort against a plain std::stable_sort of the same
// rows by the order rule written out here (numbers by value before texts,
// texts by their bytes, NULL as 0, ties in arrival order), over value pools
// made to meet the sort's shortcuts: texts that share seven bytes or more,
// that are prefixes of others, of lengths 7, 8 and 9, with bytes past 0x7f;
// numbers that differ past a word's bits; texts that read as numbers; NaN.
// Sizes either side of where the sort turns to radix, one to three keys in
// both directions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "sqllib/engine/SqlSorter.h"

namespace vorn {
namespace {

// A value as a row is given it: text, integer, double, a number with its
// text beside, or NULL.
struct Value {
    enum Kind { kNull, kText, kInteger, kDouble, kDoubleWithText } kind = kNull;
    std::string text;
    int32_t integer = 0;
    double number = 0;
};

void Put(SQLResult& into, const Value& v, SQLArena& arena) {
    switch (v.kind) {
    case Value::kNull:
        break;
    case Value::kText:
        ASSERT_EQ(into.SetText(v.text.data(), static_cast<int32_t>(v.text.size()),
                               static_cast<int32_t>(v.text.size()) + 1, false, true, &arena),
                  1);
        break;
    case Value::kInteger:
        into.SetInteger(v.integer);
        break;
    case Value::kDouble:
        into.SetDouble(v.number);
        break;
    case Value::kDoubleWithText:
        into.SetDouble(v.number);
        into.MakeText();
        break;
    }
}

// The rule, from the value's public forms.
struct Key {
    bool numeric;
    double number;
    std::string text;
};

Key KeyOf(const Value& v) {
    SQLArenaBudget budget;
    SQLArena arena(&budget);
    SQLResult r;
    Put(r, v, arena);
    int error = 0;
    Key key{true, r.ToDouble(&error), ""};
    key.numeric = !error && !std::isnan(key.number);
    if (!key.numeric) {
        int32_t length = 0;
        const char* text = r.Text(&length);
        key.text.assign(text, static_cast<size_t>(length));
    }
    return key;
}

int Order(const Key& a, const Key& b) {
    if (a.numeric != b.numeric) return a.numeric ? -1 : 1;
    if (a.numeric) return a.number < b.number ? -1 : (a.number > b.number ? 1 : 0);
    // Bytes as unsigned; a prefix first.
    size_t n = std::min(a.text.size(), b.text.size());
    for (size_t i = 0; i < n; ++i) {
        auto x = static_cast<unsigned char>(a.text[i]), y = static_cast<unsigned char>(b.text[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    return a.text.size() < b.text.size() ? -1 : (a.text.size() > b.text.size() ? 1 : 0);
}

// Each pool a kind of trouble; a row's keys draw from one pool each.
std::vector<Value> Pool(const std::string& name) {
    auto text = [](std::string t) { return Value{Value::kText, std::move(t)}; };
    auto integer = [](int32_t n) { return Value{Value::kInteger, "", n}; };
    auto number = [](double x) { return Value{Value::kDouble, "", 0, x}; };
    std::vector<Value> out;
    if (name == "prefixes") {
        // Lengths 0..10 over seven shared bytes, and others past them.
        for (std::string base : {"abcdefg", "abcdefh", "abcdef"})
            for (size_t length = 0; length <= base.size() + 3; ++length) {
                std::string t = base.substr(0, std::min(length, base.size()));
                if (length > base.size()) t += std::string("a\xff" "b").substr(0, length - base.size());
                out.push_back(text(t));
            }
        for (const char* t : {"abcdefg\x01", "abcdefg\x80zz", "abcdefgh", "abcdefghi", "abcdefgi", "abcdefg\xff",
                              "shared-by-many-rows-long-prefix-a", "shared-by-many-rows-long-prefix-b",
                              "shared-by-many-rows-long-prefix-", "\xc3\xa9t\xc3\xa9", "Z", "~", "a"})
            out.push_back(text(t));
    } else if (name == "numbers") {
        const double tiny = std::numeric_limits<double>::denorm_min();
        const double huge = std::numeric_limits<double>::max();
        const double inf = std::numeric_limits<double>::infinity();
        for (double x : {0.0, -0.0, 1.0, -1.0, 0.5, -0.5, 1e300, -1e300, tiny, -tiny, huge, -huge, inf, -inf,
                         0.1 + 0.2, 0.3, 1.0 + 1e-15, 123456789012.25, -2.5})
            out.push_back(number(x));
        for (int32_t n : {0, 1, -1, 2, 7, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()})
            out.push_back(integer(n));
        out.push_back(Value{Value::kDoubleWithText, "", 0, 2.5});
        out.push_back(Value{Value::kDoubleWithText, "", 0, -1e-7});
    } else if (name == "mixed") {
        // Texts that read as numbers sort among the numbers; NaN and the
        // rest as texts; NULL and the empty text as 0.
        for (const char* t : {"12", " 12", "9", "-3", "1e3", "1000", "0", "-0", "12.50", "", "abc", "12abc", "nan",
                              "NaN", "inf", "1e", "+2", ".5", "0x10", " "})
            out.push_back(text(t));
        out.push_back(Value{});
        out.push_back(integer(12));
        out.push_back(number(12.5));
        out.push_back(number(std::numeric_limits<double>::quiet_NaN()));
        out.push_back(number(-std::numeric_limits<double>::quiet_NaN()));
        out.push_back(Value{Value::kDoubleWithText, "", 0, std::numeric_limits<double>::quiet_NaN()});
    } else if (name == "few") {
        // Long runs of ties for the next key.
        out = {integer(1), integer(2), text("same-long-text-of-ties")};
    }
    return out;
}

struct Case {
    size_t rows;
    std::vector<std::string> pools; // one per key
    std::vector<int32_t> ascending; // one per key
};

TEST(SqlSorter, SortsAsAStableSortByTheRuleDoes) {
    const Case cases[] = {
        {0, {"mixed"}, {1}},
        {1, {"mixed"}, {0}},
        {2, {"prefixes"}, {1}},
        {40, {"mixed"}, {1}},
        {255, {"prefixes"}, {0}},
        {256, {"prefixes"}, {1}},
        {257, {"numbers"}, {0}},
        {3000, {"prefixes"}, {1}},
        {3000, {"prefixes"}, {0}},
        {3000, {"numbers"}, {1}},
        {3000, {"mixed"}, {0}},
        {3000, {"mixed"}, {1}},
        {3000, {"few", "prefixes"}, {1, 0}},
        {3000, {"few", "mixed"}, {0, 1}},
        {200, {"few", "numbers"}, {1, 1}},
        {5000, {"few", "few", "prefixes"}, {0, 1, 0}},
        {5000, {"prefixes", "few", "mixed"}, {1, 0, 1}},
        {600, {"mixed", "mixed"}, {0, 0}},
    };
    std::mt19937 random(20261211);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.rows << " rows, first pool " << c.pools[0] << ", "
                                        << c.pools.size() << " keys");
        const auto keys = static_cast<int32_t>(c.pools.size());
        std::vector<std::vector<Value>> pools;
        for (const std::string& name : c.pools) pools.push_back(Pool(name));
        // Columns: the row's number, a payload text, then the keys.
        std::vector<std::vector<Value>> rows(c.rows);
        for (size_t r = 0; r < c.rows; ++r)
            for (const auto& pool : pools) rows[r].push_back(pool[random() % pool.size()]);

        SQLArenaBudget budget;
        SQLTemporaryTable table(2 + keys, &budget);
        for (size_t r = 0; r < c.rows; ++r) {
            ASSERT_TRUE(table.Append());
            table.Value(0)->SetInteger(static_cast<int32_t>(r));
            std::string payload = "row " + std::to_string(r);
            ASSERT_EQ(table.Value(1)->SetText(payload.data(), static_cast<int32_t>(payload.size()),
                                              static_cast<int32_t>(payload.size()) + 1, false, true, &table.arena),
                      1);
            for (int32_t k = 0; k < keys; ++k) ASSERT_NO_FATAL_FAILURE(Put(*table.Value(2 + k), rows[r][k], table.arena));
        }
        CollList<SQLOrderBy> order;
        for (int32_t k = 0; k < keys; ++k) {
            auto* by = new SQLOrderBy;
            by->ascending = c.ascending[static_cast<size_t>(k)];
            order.Append(by);
        }
        ASSERT_TRUE(table.Sort(order));

        std::vector<std::vector<Key>> made(c.rows);
        for (size_t r = 0; r < c.rows; ++r)
            for (const Value& v : rows[r]) made[r].push_back(KeyOf(v));
        std::vector<size_t> expected(c.rows);
        for (size_t r = 0; r < c.rows; ++r) expected[r] = r;
        std::stable_sort(expected.begin(), expected.end(), [&](size_t a, size_t b) {
            for (int32_t k = 0; k < keys; ++k) {
                int o = Order(made[a][static_cast<size_t>(k)], made[b][static_cast<size_t>(k)]);
                if (o != 0) return c.ascending[static_cast<size_t>(k)] ? o < 0 : o > 0;
            }
            return false;
        });

        std::vector<size_t> got;
        for (bool more = table.First(); more; more = table.Next()) {
            SQLResult* id = table.Value(0);
            SQLResult* payload = table.Value(1);
            ASSERT_NE(id, nullptr);
            ASSERT_NE(payload, nullptr);
            auto r = static_cast<size_t>(id->Integer());
            int32_t length = 0;
            const char* text = payload->Text(&length);
            ASSERT_EQ(std::string(text, static_cast<size_t>(length)), "row " + std::to_string(r));
            got.push_back(r);
        }
        ASSERT_EQ(got.size(), expected.size());
        for (size_t i = 0; i < got.size(); ++i) {
            if (got[i] == expected[i]) continue;
            ADD_FAILURE() << "place " << i << ": row " << got[i] << " where row " << expected[i] << " belongs";
            break;
        }
    }
}

TEST(SqlSorter, RefusesPastItsBudgetAndKeepsWhatItHad) {
    // The rows fit; the sort's scratch array does not.
    SQLArenaBudget budget;
    SQLTemporaryTable table(2, &budget);
    for (int32_t r = 0; r < 5000; ++r) {
        ASSERT_TRUE(table.Append());
        table.Value(0)->SetInteger(r);
        table.Value(1)->SetInteger(-r);
    }
    ASSERT_TRUE(table.Finish());
    budget.limit = budget.used + 1;
    CollList<SQLOrderBy> order;
    order.Append(new SQLOrderBy);
    EXPECT_FALSE(table.Sort(order));
    EXPECT_TRUE(budget.limitReached);
    // Unsorted, whole.
    int32_t expected = 0;
    for (bool more = table.First(); more; more = table.Next()) ASSERT_EQ(table.Value(0)->Integer(), expected++);
    EXPECT_EQ(expected, 5000);
}

} // namespace
} // namespace vorn
