#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "engine/app/TimeHelpers.h"
#include "engine/foundation/Config.h"
#include "engine/program/Dictionary.h"
#include "engine/values/Aggregate.h"
#include "engine/values/SystemVariables.h"
#include "engine/values/VariableHash.h"
#include "tests/engine/app/TestApplication.h"

namespace vorn {
namespace {

std::string Text(Variable* v) {
    const String& s = v->Value();
    return std::string(s.Text(), static_cast<size_t>(s.Length()));
}

class LiveCountGuard {
public:
    LiveCountGuard() : start_(Variable::LiveCount()) {}
    ~LiveCountGuard() { EXPECT_EQ(start_, Variable::LiveCount()) << "Variables leaked or freed twice"; }

private:
    int64_t start_;
};

platform::TimeValue g_now;
platform::TimeValue FixedClock() { return g_now; }

// Freezes the wall clock and sets the time zone for one test; both are put
// back afterwards.
class ClockAndZone {
public:
    ClockAndZone(int64_t seconds, int32_t microseconds, const char* zone) {
        const char* old = std::getenv("TZ");
        hadZone_ = old != nullptr;
        if (old) oldZone_ = old;
        Set(seconds, microseconds);
        SetZone(zone);
        platform::SetWallClock(FixedClock);
    }
    ~ClockAndZone() {
        platform::SetWallClock(nullptr);
        if (hadZone_)
            setenv("TZ", oldZone_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    static void Set(int64_t seconds, int32_t microseconds = 0) { g_now = {seconds, microseconds}; }
    static void SetZone(const char* zone) {
        setenv("TZ", zone, 1);
        tzset();
    }

private:
    bool hadZone_ = false;
    std::string oldZone_;
};

// The fourteen time variables, released together.
struct TimeVariables {
    TimeVariables() {
        for (int32_t i = 0; i < kTimeFieldCount; ++i) v[i] = new DynamicTimeVariable(i);
    }
    ~TimeVariables() {
        for (Variable* x : v) x->Release();
    }
    Variable* v[kTimeFieldCount];
};

constexpr const char* kCet = "CET-1CEST,M3.5.0,M10.5.0/3";
constexpr const char* kUsEastern = "EST5EDT,M3.2.0,M11.1.0";

TEST(SystemVariablesTest, TimeFieldsReadTheClockInTheirFormats) {
    LiveCountGuard guard;
    ClockAndZone clock(1709993107, 123456, "UTC0"); // Sat 2024-03-09 14:05:07 UTC
    TimeVariables t;
    const char* texts[kTimeFieldCount] = {"1709993107", "123456", "7", "5", "14", "9", "3",
                                          "Mar", "2024", "7", "Sat", "69", "0", "UTC"};
    const int32_t integers[kTimeFieldCount] = {1709993107, 123456, 7, 5, 14, 9, 3, 0, 2024, 7, 0, 69, 0, 0};
    for (int32_t i = 0; i < kTimeFieldCount; ++i) {
        SCOPED_TRACE(i);
        EXPECT_STREQ(DynamicTimeVariableName(i), t.v[i]->Name().Text());
        EXPECT_EQ(texts[i], Text(t.v[i]));
        EXPECT_EQ(integers[i], t.v[i]->ValueInteger());
        bool name = i == 7 || i == 10 || i == 13;
        int32_t error = -1;
        double d = t.v[i]->ValueDoubleChecked(&error);
        EXPECT_EQ(name ? 1 : 0, error);
        EXPECT_EQ(name ? 0.0 : static_cast<double>(integers[i]), d);
        EXPECT_EQ(name ? kStorageComputedText : kStorageComputedInteger, t.v[i]->StorageKind());
    }
    EXPECT_STREQ("dyn_time_t", DynamicTimeVariableName(0));
    EXPECT_STREQ("dyn_stm_zone", DynamicTimeVariableName(13));
    EXPECT_EQ(nullptr, DynamicTimeVariableName(14));

    // Every read takes a fresh reading of the clock.
    ClockAndZone::Set(1709993107 + 3600 * 24 * 30 + 1, 9); // Mon 2024-04-08 14:05:08
    EXPECT_EQ("8", Text(t.v[2]));
    EXPECT_EQ("Apr", Text(t.v[7]));
    EXPECT_EQ("Mon", Text(t.v[10]));
    EXPECT_EQ(2, t.v[9]->ValueInteger());
    EXPECT_EQ(9, t.v[1]->ValueInteger());

    // Assignment copies an integer field as an integer, a name as text.
    Variable copy;
    copy.SetValueVariable(t.v[8]);
    EXPECT_EQ(kTypeInteger, copy.Type());
    EXPECT_EQ(2024, copy.ValueInteger());
    copy.SetValueVariable(t.v[7]);
    EXPECT_EQ(kTypeText, copy.Type());
    EXPECT_EQ("Apr", Text(&copy));

    // An index outside 0-13 is unnamed and empty.
    DynamicTimeVariable outside(14);
    DynamicTimeVariable negative(-1);
    for (Variable* v : {static_cast<Variable*>(&outside), static_cast<Variable*>(&negative)}) {
        EXPECT_TRUE(v->Name().IsEmpty());
        EXPECT_EQ("", Text(v));
        EXPECT_TRUE(v->IsEmpty());
        EXPECT_FALSE(v->Boolean());
        EXPECT_EQ(0, v->ValueInteger());
    }
}

TEST(SystemVariablesTest, TimeFieldsFollowTheLocalZone) {
    LiveCountGuard guard;
    ClockAndZone clock(1719876600, 0, kCet); // 2024-07-01 23:30 UTC
    TimeVariables t;
    struct Row {
        const char* zone;
        int64_t seconds;
        const char* expected[kTimeFieldCount - 2]; // fields 2-13
    };
    const Row rows[] = {
        // Summer time across midnight: already the next day, week day and year day.
        {kCet, 1719876600, {"0", "30", "1", "2", "7", "Jul", "2024", "3", "Tue", "184", "1", "CEST"}},
        {kUsEastern, 1719876600, {"0", "30", "19", "1", "7", "Jul", "2024", "2", "Mon", "183", "1", "EDT"}},
        {kCet, 1705320000, {"0", "0", "13", "15", "1", "Jan", "2024", "2", "Mon", "15", "0", "CET"}},
        // Past 2038: a leap day in UTC is already 1 March in Central Europe.
        {kCet, 2214172799, {"59", "59", "0", "1", "3", "Mar", "2040", "5", "Thu", "61", "0", "CET"}},
        {"UTC0", 2214172799, {"59", "59", "23", "29", "2", "Feb", "2040", "4", "Wed", "60", "0", "UTC"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.zone) + " " + std::to_string(row.seconds));
        ClockAndZone::SetZone(row.zone);
        ClockAndZone::Set(row.seconds);
        for (int32_t i = 2; i < kTimeFieldCount; ++i) EXPECT_EQ(row.expected[i - 2], Text(t.v[i])) << i;
    }
}

TEST(SystemVariablesTest, SecondsBeyondThirtyTwoBitsStayExact) {
    LiveCountGuard guard;
    ClockAndZone clock(2214172799, 0, "UTC0");
    DynamicTimeVariable seconds(kTimeFieldSeconds);
    EXPECT_EQ("2214172799", Text(&seconds));
    EXPECT_EQ(2214172799.0, seconds.ValueDouble());
    int32_t error = -1;
    EXPECT_EQ(2214172799.0, seconds.ValueDoubleChecked(&error));
    EXPECT_EQ(0, error);
    // The 32-bit integer form saturates rather than wrapping negative, and a
    // copy keeps the exact text.
    EXPECT_EQ(INT32_MAX, seconds.ValueInteger());
    EXPECT_EQ(kStorageComputedText, seconds.StorageKind());
    Variable copy;
    copy.SetValueVariable(&seconds);
    EXPECT_EQ("2214172799", Text(&copy));
    EXPECT_EQ(2214172799.0, copy.ValueDouble());

    // Up to the last 32-bit second it is an integer; before 1970 it is signed.
    ClockAndZone::Set(INT32_MAX);
    EXPECT_EQ(kStorageComputedInteger, seconds.StorageKind());
    EXPECT_EQ(INT32_MAX, seconds.ValueInteger());
    ClockAndZone::Set(-1);
    EXPECT_EQ("-1", Text(&seconds));
    EXPECT_EQ(-1, seconds.ValueInteger());
    DynamicTimeVariable year(kTimeFieldYear);
    EXPECT_EQ("1969", Text(&year));

    // The time record the helpers give for the same clock.
    ClockAndZone::Set(2214172799, 77);
    TimeRecord r;
    LocalTimeNow(&r);
    EXPECT_EQ(2214172799, r.seconds);
    EXPECT_EQ(77, r.microseconds);
    EXPECT_EQ(2, r.month);
    EXPECT_STREQ("Feb", r.monthName);
    EXPECT_STREQ("Wed", r.weekdayName);
    BrokenDownTime gm;
    GmTime(2214172799, &gm);
    EXPECT_EQ(140, gm.year);
    EXPECT_EQ(59, gm.yearDay);
    GmTime(INT64_MAX, &gm); // not convertible: all fields 0
    EXPECT_EQ(0, gm.year);
    EXPECT_EQ(0, gm.day);
}

TEST(SystemVariablesTest, TruthIsTakenAfreshOnEveryTest) {
    LiveCountGuard guard;
    ClockAndZone clock(1709993100, 0, "UTC0"); // second 0
    DynamicTimeVariable second(kTimeFieldSecond);
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(second.Boolean());
    ClockAndZone::Set(1709993101);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(second.Boolean());
    ClockAndZone::Set(1709993160);
    EXPECT_FALSE(second.Boolean());
    EXPECT_FALSE(second.IsEmpty());
    DynamicTimeVariable month(kTimeFieldMonthName);
    EXPECT_TRUE(month.Boolean());
}

TEST(SystemVariablesTest, ComputedVariablesIgnoreWrites) {
    LiveCountGuard guard;
    ClockAndZone clock(1709993107, 0, "UTC0");
    test::TestApplication app;
    Config config;
    app.config = &config;
    DynamicTimeVariable seconds(kTimeFieldSeconds);
    TimeRemainingVariable remaining(&app);
    ConfigurationVariable item(&app, kConfigGlobalTimeout);
    ConfigurationAggregateVariable all(&app, nullptr);
    Variable source("x", 1, "99", 2);
    Variable* targets[] = {&seconds, &remaining, &item, &all};
    for (Variable* v : targets) {
        SCOPED_TRACE(v->Name().Text());
        std::string before = Text(v);
        EXPECT_EQ(1, v->SetValue("5", 1));
        EXPECT_EQ(1, v->SetValueInteger(5));
        EXPECT_EQ(1, v->SetValueDouble(5.5));
        EXPECT_EQ(1, v->SetValueVariable(&source));
        char* buffer = static_cast<char*>(std::malloc(8));
        std::memcpy(buffer, "5", 2);
        EXPECT_EQ(1, v->SetValueNocopy(buffer, 1, 8)); // the buffer is freed
        v->Clear();
        v->SetAggregateKind(kAggregateArray);
        v->MakeReference(&source);
        v->SetElement(AggregateIndex::FromName("timeout_global", -1), &source);
        v->DeleteElement(AggregateIndex::FromName("timeout_global", -1), false);
        EXPECT_EQ(before, Text(v));
        EXPECT_FALSE(v->IsAlias());
    }
    EXPECT_EQ("90", Text(all.Element(AggregateIndex::FromName("timeout_global", -1), false)));
    EXPECT_EQ(kAggregateStructure, all.AggregateType());
    EXPECT_EQ(1, source.ReferenceCount());
}

TEST(SystemVariablesTest, TimeRemainingAsksTheApplicationEachTime) {
    LiveCountGuard guard;
    ClockAndZone clock(1000000, 0, "UTC0");
    test::TestApplication app;
    TimeRemainingVariable remaining(&app);
    EXPECT_STREQ("dyn_time_remaining", remaining.Name().Text());
    EXPECT_EQ("-1", Text(&remaining)); // no deadline
    Config config;
    config.SetInteger(kConfigGlobalTimeout, 120);
    app.config = &config;
    app.ResetTimeLimit();
    EXPECT_EQ("120", Text(&remaining));
    ClockAndZone::Set(1000000 + 45);
    EXPECT_EQ(75, remaining.ValueInteger());
    EXPECT_EQ(75.0, remaining.ValueDouble());
    ClockAndZone::Set(1000000 + 120);
    EXPECT_FALSE(remaining.Boolean());
    ClockAndZone::Set(1000000 + 125);
    EXPECT_EQ("-5", Text(&remaining));
    int32_t error = 1;
    EXPECT_EQ(-5.0, remaining.ValueDoubleChecked(&error));
    EXPECT_EQ(0, error);
    Variable copy;
    copy.SetValueVariable(&remaining);
    EXPECT_EQ(kTypeInteger, copy.Type());
    EXPECT_EQ(-5, copy.ValueInteger());
}

// Counts the TLS checks and normalises language settings, as a host may.
class SettingsApplication : public test::TestApplication {
public:
    int32_t EnsureOpenSSL(String*) override {
        ++sslChecks;
        return sslAnswer;
    }
    const String& SetLanguage(const char* text, int32_t length) override {
        ++languageSets;
        lastSet.assign(text, static_cast<size_t>(length < 0 ? std::strlen(text) : length));
        std::string lower = lastSet;
        for (char& c : lower)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        return VornApplication::SetLanguage(lower.c_str(), static_cast<int32_t>(lower.size()));
    }
    const String& SetDefaultDatabase(const char* text, int32_t length) override {
        lastSet.assign(text, static_cast<size_t>(length));
        return VornApplication::SetDefaultDatabase(text, length);
    }

    int32_t sslChecks = 0;
    int32_t sslAnswer = 1;
    int32_t languageSets = 0;
    std::string lastSet;
};

TEST(SystemVariablesTest, TlsAvailabilityIsAskedOncePerForm) {
    LiveCountGuard guard;
    SettingsApplication app;
    SSLAvailableVariable ssl(&app);
    EXPECT_STREQ("vorn_sslavailable", ssl.Name().Text());
    EXPECT_FALSE(ssl.IsEmpty());
    EXPECT_EQ("1", Text(&ssl));
    EXPECT_EQ(1, app.sslChecks);
    app.sslAnswer = 0; // later answers are not asked for the text again
    EXPECT_EQ("1", Text(&ssl));
    EXPECT_TRUE(ssl.Boolean());
    EXPECT_EQ(1, app.sslChecks);
    EXPECT_EQ(0, ssl.ValueInteger()); // the integer form is asked once, now
    EXPECT_EQ(0, ssl.ValueInteger());
    EXPECT_EQ(2, app.sslChecks);
    int32_t error = 1;
    EXPECT_EQ(0.0, ssl.ValueDoubleChecked(&error));
    EXPECT_EQ(0, error);
    EXPECT_EQ(0.0, ssl.ValueDouble());
    EXPECT_EQ(3, app.sslChecks);

    // The test application has no TLS library.
    test::TestApplication plain;
    SSLAvailableVariable none(&plain);
    Variable copy;
    copy.SetValueVariable(&none);
    EXPECT_EQ("0", Text(&copy));
    EXPECT_FALSE(copy.Boolean());
}

TEST(SystemVariablesTest, LanguageWritesReachTheApplication) {
    LiveCountGuard guard;
    SettingsApplication app;
    LanguageVariable language(&app);
    DefaultLanguageVariable defaultLanguage(&app);
    DefaultDatabaseVariable database(&app);
    EXPECT_STREQ("vorn_language", language.Name().Text());
    EXPECT_STREQ("vorn_defaultlanguage", defaultLanguage.Name().Text());
    EXPECT_STREQ("vorn_defaultdatabase", database.Name().Text());
    EXPECT_EQ("en-US", Text(&language));
    EXPECT_EQ("xbase3", Text(&database));
    EXPECT_FALSE(database.IsEmpty());

    // A write calls the setter once; the next read shows what it stored.
    EXPECT_EQ(1, language.SetValue("EN-us", -1));
    EXPECT_EQ(1, app.languageSets);
    EXPECT_EQ("EN-us", app.lastSet);
    EXPECT_EQ("en-us", Text(&language));
    EXPECT_EQ("en-us", std::string(app.Language().Text()));

    // Changes made by the application show on the next read, also through a
    // copy and the number forms.
    app.VornApplication::SetLanguage("12", 2);
    Variable copy;
    copy.SetValueVariable(&language);
    EXPECT_EQ("12", Text(&copy));
    app.VornApplication::SetLanguage("7", 1);
    EXPECT_EQ(7, language.ValueInteger());
    EXPECT_EQ(7.0, language.ValueDouble());
    EXPECT_TRUE(language.Boolean());

    // Numbers are set as their text, variables through their text.
    EXPECT_EQ(1, database.SetValueInteger(5));
    EXPECT_EQ("5", app.lastSet);
    EXPECT_EQ("5", Text(&database));
    EXPECT_EQ(1, database.SetValueDouble(2.5));
    EXPECT_EQ("2.5", app.lastSet);
    Variable source("s", 1, "pgsql", 5);
    EXPECT_EQ(1, database.SetValueVariable(&source));
    EXPECT_EQ("pgsql", std::string(app.DefaultDatabase().Text()));
    char* buffer = static_cast<char*>(std::malloc(16));
    std::memcpy(buffer, "mysql", 6);
    EXPECT_EQ(1, database.SetValueNocopy(buffer, 5, 16));
    EXPECT_EQ("mysql", Text(&database));
    EXPECT_EQ(1, defaultLanguage.SetValue("de", 2));
    EXPECT_EQ("de", std::string(app.DefaultLanguage().Text()));

    // A variable assigned from itself keeps its text; Clear does nothing.
    EXPECT_EQ(1, language.SetValueVariable(&language));
    EXPECT_EQ("7", Text(&language));
    language.Clear();
    EXPECT_EQ("7", Text(&language));
    EXPECT_EQ(2, app.languageSets);
    app.VornApplication::SetLanguage("", 0);
    EXPECT_TRUE(language.IsEmpty());
    EXPECT_FALSE(language.Boolean());
}

// A library manager with a fixed list that counts how it is asked.
class FakeLibraries : public ConfiguredLibraries {
public:
    explicit FakeLibraries(std::vector<std::string> names) : names_(std::move(names)) {}
    int32_t ConfiguredLibraryCount() override {
        ++countCalls;
        return static_cast<int32_t>(names_.size());
    }
    const char* ConfiguredLibraryName(int32_t index, int32_t* length) override {
        if (index < 0 || index >= static_cast<int32_t>(names_.size())) return nullptr;
        *length = static_cast<int32_t>(names_[static_cast<size_t>(index)].size());
        return names_[static_cast<size_t>(index)].data();
    }
    bool IsLibraryConfigured(const char* name, int32_t length) override {
        ++lookups;
        for (const std::string& n : names_)
            if (String(n.c_str()).EqualsNoCase(name, length)) return true;
        return false;
    }

    int32_t countCalls = 0;
    int32_t lookups = 0;

private:
    std::vector<std::string> names_;
};

class FakeSource : public ConfiguredLibrarySource {
public:
    ConfiguredLibraries* ConfiguredLibrariesOf(int32_t family) override {
        switch (family) {
        case kLibraryFamilyCommerce: return &commerce;
        case kLibraryFamilyDatabase: return &database;
        default: return nullptr; // no system library manager
        }
    }
    FakeLibraries commerce{{"alpha", "beta"}};
    FakeLibraries database{{"pgsql", "odbc", "sqlite"}};
};

TEST(SystemVariablesTest, LibraryListsAndLookups) {
    LiveCountGuard guard;
    FakeSource source;
    ConfigurationLibraryListVariable list(&source, kLibraryFamilyDatabase);
    EXPECT_FALSE(list.Filled());
    EXPECT_EQ(0, source.database.countCalls);
    EXPECT_EQ(3, list.ArrayMax());
    EXPECT_TRUE(list.Filled());
    EXPECT_EQ(1, list.ArrayMin());
    EXPECT_EQ(3, list.ElementsUsed());
    EXPECT_EQ(2, list.ArrayNext(1));
    EXPECT_EQ("pgsql,odbc,sqlite", Text(&list));
    Variable* first = list.Element(AggregateIndex::FromIndex(1), false);
    ASSERT_NE(nullptr, first);
    EXPECT_EQ("pgsql", Text(first));
    first->SetValue("changed", -1); // the names are read-only
    EXPECT_EQ("pgsql", Text(first));
    EXPECT_EQ(nullptr, list.Element(AggregateIndex::FromIndex(4), false));
    EXPECT_EQ(1, source.database.countCalls);

    // Each family fills on its own first use, whichever operation comes first.
    ConfigurationLibraryListVariable commerce(&source, kLibraryFamilyCommerce);
    EXPECT_EQ(2, commerce.ElementsUsed());
    ConfigurationLibraryListVariable system(&source, kLibraryFamilySystem);
    EXPECT_EQ(0, system.ElementsUsed());
    EXPECT_EQ(kAggregateArray, system.AggregateType());
    ConfigurationLibraryListVariable noSource(nullptr, kLibraryFamilyCommerce);
    EXPECT_EQ("", Text(&noSource));

    // Lookups ask the manager once per name and keep the answer.
    ConfigurationLibraryLookupVariable lookup(&source, kLibraryFamilyDatabase);
    Variable* yes = lookup.Element(AggregateIndex::FromName("ODBC", -1), false);
    ASSERT_NE(nullptr, yes);
    EXPECT_EQ(1, yes->ValueInteger());
    EXPECT_STREQ("ODBC", yes->Name().Text());
    EXPECT_EQ(0, lookup.Element(AggregateIndex::FromName("oracle", -1), true)->ValueInteger());
    EXPECT_EQ(yes, lookup.Element(AggregateIndex::FromName("odbc", -1), false));
    EXPECT_EQ(2, source.database.lookups);
    EXPECT_EQ(2, lookup.ElementsUsed());
    yes->SetValueInteger(0);
    EXPECT_EQ("1", Text(yes));
    // Array keys find nothing; asked with create they give the null element.
    EXPECT_EQ(nullptr, lookup.Element(AggregateIndex::FromIndex(1), false));
    Variable* null = lookup.Element(AggregateIndex::FromIndex(1), true);
    ASSERT_NE(nullptr, null);
    EXPECT_EQ(kStorageNull, null->StorageKind());
    ConfigurationLibraryLookupVariable none(&source, kLibraryFamilySystem);
    EXPECT_EQ("0", Text(none.Element(AggregateIndex::FromName("pgsql", -1), false)));
}

TEST(SystemVariablesTest, ConfigurationAggregateShowsEveryItem) {
    LiveCountGuard guard;
    test::TestApplication app;
    Config config;
    config.SetText(kConfigVornRoot, "/srv/vorn", -1, false);
    config.SetInteger(kConfigGlobalTimeout, 120);
    app.config = &config;
    FakeSource source;
    ConfigurationAggregateVariable all(&app, &source);
    EXPECT_STREQ("vorn_config", all.Name().Text());
    EXPECT_FALSE(all.Filled());

    // Members in key order; texts of the empty items leave empty fields.
    EXPECT_EQ("8192,8192,8192,8192,1048576,8192,8192,alpha,beta,1,pgsql,odbc,sqlite,index.vrc,100,,,,,,"
              "public_kpz,/srv/vorn,0,webmaster@localhost,90,,,,,0,0,0,2000,1048576,libcrypto.so.3,"
              "libssl.so.3,-1,30,30,120,30,30",
              Text(&all));
    EXPECT_EQ(kConfigItemCount + 6, all.ElementsUsed());

    for (const ConfigItemInfo& item : kConfigItems) {
        SCOPED_TRACE(item.memberName);
        auto* v = dynamic_cast<ConfigurationVariable*>(all.Element(AggregateIndex::FromName(item.memberName, -1), false));
        ASSERT_NE(nullptr, v);
        EXPECT_EQ(item.id, v->Id());
        EXPECT_STREQ(item.memberName, v->Name().Text());
        int32_t error = -1;
        double d = v->ValueDoubleChecked(&error);
        if (IsConfigIntegerItem(item.id)) {
            EXPECT_EQ(kStorageComputedInteger, v->StorageKind());
            int32_t expected = item.id == kConfigGlobalTimeout ? 120 : item.defaultInteger;
            EXPECT_EQ(expected, v->ValueInteger());
            EXPECT_EQ(std::to_string(expected), Text(v));
            EXPECT_EQ(0, error);
            EXPECT_EQ(static_cast<double>(expected), d);
        } else {
            EXPECT_EQ(kStorageComputedText, v->StorageKind());
            const char* expected = item.id == kConfigVornRoot ? "/srv/vorn" : item.defaultText;
            EXPECT_EQ(expected ? expected : "", Text(v));
            EXPECT_EQ(expected == nullptr, v->IsEmpty());
            EXPECT_EQ(0, v->ValueInteger());
            EXPECT_EQ(1, error);
        }
    }

    // Items are read afresh; a copy of the structure is a snapshot.
    Variable snapshot;
    snapshot.SetValueVariable(&all);
    config.SetInteger(kConfigGlobalTimeout, 0);
    Variable* live = all.Element(AggregateIndex::FromName("timeout_global", -1), false);
    EXPECT_FALSE(live->Boolean());
    EXPECT_EQ(0, live->ValueInteger());
    Variable* copied = snapshot.Element(AggregateIndex::FromName("TIMEOUT_GLOBAL", -1), false);
    ASSERT_NE(nullptr, copied);
    EXPECT_EQ(kTypeInteger, copied->Type());
    EXPECT_EQ(120, copied->ValueInteger());
    Variable* copiedList = snapshot.Element(AggregateIndex::FromName("commerce_list", -1), false);
    ASSERT_NE(nullptr, copiedList);
    EXPECT_EQ("alpha,beta", Text(copiedList));

    // A missing member is the null element with create, nothing without.
    EXPECT_EQ(nullptr, all.Element(AggregateIndex::FromName("nonesuch", -1), false));
    EXPECT_EQ(kStorageNull, all.Element(AggregateIndex::FromName("nonesuch", -1), true)->StorageKind());
    EXPECT_EQ(kConfigItemCount + 6, all.ElementsUsed());

    // Without a configuration the items read as 0 and empty.
    test::TestApplication bare;
    ConfigurationVariable item(&bare, kConfigServerAdmin);
    EXPECT_EQ("", Text(&item));
    ConfigurationVariable number(&bare, kConfigGlobalTimeout);
    EXPECT_EQ("0", Text(&number));
}

TEST(SystemVariablesTest, RegistrationFillsTheSystemTable) {
    LiveCountGuard guard;
    ClockAndZone clock(1709993107, 0, "UTC0");
    SettingsApplication app;
    Config config;
    app.config = &config;
    FakeSource source;
    Dictionary pool;
    {
        SystemVariableHash table(&pool, 12, 512);
        // A variable already under one of the names is replaced.
        Variable* old = new Variable("vorn_language", -1, "old", -1);
        table.Insert(old);
        AddComputedSystemVariables(table, &app, &source);
        EXPECT_EQ(kTimeFieldCount + 6, table.Count());

        for (int32_t i = 0; i < kTimeFieldCount; ++i) {
            Variable* v = nullptr;
            ASSERT_TRUE(table.Find(&v, DynamicTimeVariableName(i), -1, false));
            auto* time = dynamic_cast<DynamicTimeVariable*>(v);
            ASSERT_NE(nullptr, time);
            EXPECT_EQ(i, time->Field());
        }
        Variable* v = nullptr;
        ASSERT_TRUE(table.Find(&v, "vorn_language", -1, false));
        EXPECT_NE(nullptr, dynamic_cast<LanguageVariable*>(v));
        v->SetValue("FR", -1);
        EXPECT_EQ("fr", std::string(app.Language().Text()));
        ASSERT_TRUE(table.Find(&v, "DYN_TIME_REMAINING", -1, false));
        EXPECT_NE(nullptr, dynamic_cast<TimeRemainingVariable*>(v));
        ASSERT_TRUE(table.Find(&v, "vorn_defaultlanguage", -1, false));
        EXPECT_NE(nullptr, dynamic_cast<DefaultLanguageVariable*>(v));
        ASSERT_TRUE(table.Find(&v, "vorn_defaultdatabase", -1, false));
        EXPECT_NE(nullptr, dynamic_cast<DefaultDatabaseVariable*>(v));
        ASSERT_TRUE(table.Find(&v, "vorn_sslavailable", -1, false));
        EXPECT_NE(nullptr, dynamic_cast<SSLAvailableVariable*>(v));

        // Script paths reach the members.
        ASSERT_TRUE(table.ResolvePath(&v, "vorn_config:timeout_global", -1, false));
        ASSERT_NE(nullptr, v);
        EXPECT_EQ(90, v->ValueInteger());
        ASSERT_TRUE(table.ResolvePath(&v, "vorn_config:info_serveradmin", -1, false));
        EXPECT_EQ("webmaster@localhost", Text(v));
        ASSERT_TRUE(table.ResolvePath(&v, "vorn_config:database_list[2]", -1, false));
        ASSERT_NE(nullptr, v);
        EXPECT_EQ("odbc", Text(v));
        ASSERT_TRUE(table.ResolvePath(&v, "vorn_config:database_lookup:sqlite", -1, false));
        ASSERT_NE(nullptr, v);
        EXPECT_EQ("1", Text(v));
        ASSERT_TRUE(table.ResolvePath(&v, "vorn_config:commerce_lookup:sqlite", -1, false));
        EXPECT_EQ("0", Text(v));
        ASSERT_TRUE(table.ResolvePath(&v, "vorn_config:systemlib_list[1]", -1, false));
        EXPECT_EQ(nullptr, v);
    }
}

} // namespace
} // namespace vorn
