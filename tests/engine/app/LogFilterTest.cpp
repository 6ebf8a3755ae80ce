#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/app/VornApplication.h"
#include "tests/engine/app/TestApplication.h"

namespace vorn {
namespace {

struct Entry {
    std::string name;
    int32_t low;
    int32_t high;
    bool operator==(const Entry&) const = default;
};

std::vector<Entry> Entries(List<LogFilterEntry>& list) {
    std::vector<Entry> out;
    for (LogFilterEntry* e = list.First(); e; e = list.Next())
        out.push_back({std::string(e->Name() ? e->Name() : "", static_cast<size_t>(e->NameLength())),
                       e->Low(), e->High()});
    return out;
}

void PrintTo(const Entry& e, std::ostream* os) {
    *os << "{" << e.name << ", " << e.low << ", " << e.high << "}";
}

TEST(LogFilterParseTest, WellFormedFilters) {
    test::TestApplication app;
    app.ParseLogFilter("orders:10-20, !other, third:5");
    EXPECT_EQ(Entries(app.Inclusions()), (std::vector<Entry>{{"orders", 10, 20}, {"third", 5, 5}}));
    EXPECT_EQ(Entries(app.Exclusions()), (std::vector<Entry>{{"other", 0, 0}}));

    app.ParseLogFilter("  a.vs : 7 - 9 ,\t! b.vs:3-\n, c:-4");
    EXPECT_EQ(Entries(app.Inclusions()), (std::vector<Entry>{{"a.vs", 7, 9}, {"c", 0, 4}}));
    EXPECT_EQ(Entries(app.Exclusions()), (std::vector<Entry>{{"b.vs", 3, 0}}));
}

TEST(LogFilterParseTest, MalformedFiltersNeverFail) {
    test::TestApplication app;
    const struct {
        const char* text;
        std::vector<Entry> inclusions;
        std::vector<Entry> exclusions;
    } table[] = {
        {"", {}, {}},
        {" , ,,, ", {}, {}},
        {"!", {}, {}},
        {"! ,x", {{"x", 0, 0}}, {}},
        {"a:", {{"a", 0, 0}}, {}},
        {"a:-", {{"a", 0, 0}}, {}},
        {"a:x7", {{"a", 0, 0}}, {}},
        {"a:7junk more, b", {{"a", 7, 7}, {"b", 0, 0}}, {}},
        {"a b c", {{"a", 0, 0}}, {}},
        {":5", {{"", 5, 5}}, {}},
        {"!!x", {}, {{"!x", 0, 0}}},
        {"a:99999999999999999999-5", {{"a", INT32_MAX, 5}}, {}},
        {"a:-99999999999999999999", {{"a", 0, INT32_MAX}}, {}},
        {"\xff\x80:1", {{"\xff\x80", 1, 1}}, {}},
    };
    for (const auto& row : table) {
        app.ParseLogFilter(row.text);
        EXPECT_EQ(Entries(app.Inclusions()), row.inclusions) << row.text;
        EXPECT_EQ(Entries(app.Exclusions()), row.exclusions) << row.text;
    }
    app.ParseLogFilter(nullptr);
    EXPECT_EQ(app.Inclusions().Count(), 0);
    EXPECT_EQ(app.Exclusions().Count(), 0);
}

TEST(LogFilterAcceptTest, ExclusionsInclusionsAndRanges) {
    test::TestApplication app;
    EXPECT_TRUE(app.LogFilterAccepts("any", -1, 1)); // no filter: everything passes

    app.ParseLogFilter("!x");
    EXPECT_FALSE(app.LogFilterAccepts("x", 1, 10));
    EXPECT_TRUE(app.LogFilterAccepts("y", 1, 10));
    EXPECT_TRUE(app.LogFilterAccepts("xx", 2, 10));

    app.ParseLogFilter("y");
    EXPECT_TRUE(app.LogFilterAccepts("y", 1, 0));
    EXPECT_TRUE(app.LogFilterAccepts("y", 1, 123456));
    EXPECT_FALSE(app.LogFilterAccepts("x", 1, 10));
    EXPECT_FALSE(app.LogFilterAccepts("Y", 1, 10)); // names are case-sensitive

    app.ParseLogFilter("f:7");
    EXPECT_FALSE(app.LogFilterAccepts("f", 1, 6));
    EXPECT_TRUE(app.LogFilterAccepts("f", 1, 7));
    EXPECT_FALSE(app.LogFilterAccepts("f", 1, 8));

    app.ParseLogFilter("f:7-");
    EXPECT_FALSE(app.LogFilterAccepts("f", 1, 6));
    EXPECT_TRUE(app.LogFilterAccepts("f", 1, 7));
    EXPECT_TRUE(app.LogFilterAccepts("f", 1, INT32_MAX));

    app.ParseLogFilter("orders:10-20, !orders:15, third:5");
    EXPECT_FALSE(app.LogFilterAccepts("orders", 6, 9));
    EXPECT_TRUE(app.LogFilterAccepts("orders", 6, 10));
    EXPECT_FALSE(app.LogFilterAccepts("orders", 6, 15)); // exclusion wins
    EXPECT_TRUE(app.LogFilterAccepts("orders", 6, 20));
    EXPECT_FALSE(app.LogFilterAccepts("orders", 6, 21));
    EXPECT_TRUE(app.LogFilterAccepts("third", -1, 5));
    EXPECT_FALSE(app.LogFilterAccepts("thir", -1, 5));
    EXPECT_FALSE(app.LogFilterAccepts(nullptr, 5, 5));

    app.SetLoggingSuppressed(true);
    EXPECT_FALSE(app.LogFilterAccepts("third", -1, 5));
    app.ParseLogFilter("");
    EXPECT_FALSE(app.LogFilterAccepts("third", -1, 5));
    app.SetLoggingSuppressed(false);
    EXPECT_TRUE(app.LogFilterAccepts("third", -1, 5));
}

TEST(LogFilterAcceptTest, EmptyNameEntryMatchesOnlyNamelessSources) {
    test::TestApplication app;
    app.ParseLogFilter("!:3");
    EXPECT_FALSE(app.LogFilterAccepts("", 0, 3));
    EXPECT_FALSE(app.LogFilterAccepts(nullptr, -1, 3));
    EXPECT_TRUE(app.LogFilterAccepts("a", 1, 3));
    EXPECT_TRUE(app.LogFilterAccepts("", 0, 4));
}

} // namespace
} // namespace vorn
