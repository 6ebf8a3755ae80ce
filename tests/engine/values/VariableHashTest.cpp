#include "engine/values/VariableHash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <cctype>
#include <random>
#include <string>

#include "engine/foundation/Hash.h"
#include "engine/program/Dictionary.h"
#include "engine/program/NameChains.h"
#include "engine/values/Aggregate.h"
#include "engine/values/DatabaseVariableHash.h"
#include "engine/values/Variable.h"
#include "engine/values/VariableList.h"
#include "tests/engine/program/SectionTestSupport.h"

namespace vorn {
namespace {

using test::Bytes;
using test::Container;
using test::U16;
using test::U32;
using test::U8;

class VariableHashTest : public test::BalancedVariables {};

std::string Text(Variable* v) { return v ? std::string(v->Value().Text(), v->Value().Length()) : "<null>"; }

std::string NameOf(const VariableHash& t, int32_t i) {
    int32_t n = 0;
    const char* s = t.EntryName(i, &n);
    return s ? std::string(s, n) : "<none>";
}

TEST_F(VariableHashTest, NamesMatchWithoutCaseAndChainsAreOrdered) {
    Dictionary pool;
    VariableHash t(&pool, 12, 4);
    int32_t total = t.AddNameText("Total", -1);
    Variable* a = nullptr;
    Variable* b = nullptr;
    ASSERT_TRUE(t.Find(&a, "TOTAL", 5, true));
    ASSERT_TRUE(t.Find(&b, "total", -1, false));
    EXPECT_EQ(a, b);
    EXPECT_STREQ(a->Name().Text(), "Total"); // named as the entry, not as asked
    EXPECT_EQ(t.FindIndex(-1, "tOtAl", 5, nullptr), total);
    uint32_t h = HashLookup2NoCase("total", 5, 0) & 0xFFF;
    EXPECT_EQ(t.BucketHead(static_cast<int32_t>(h)), total);

    // One bucket: the chain runs by length, then CompareTextNoCase; equal
    // names keep their order. The arrays grow past the first 4 entries.
    VariableHash one(&pool, 0, 4);
    for (const char* n : {"bb", "a", "AB", "ccc", "aa", "Ab"}) one.AddNameText(n, -1);
    std::string chain;
    for (int32_t e = one.BucketHead(0); e != -1; e = one.NextEntry(e)) chain += NameOf(one, e) + " ";
    EXPECT_EQ(chain, "a aa AB Ab bb ccc ");
    EXPECT_EQ(one.Capacity(), 4 + kScopeGrowth);
    EXPECT_EQ(one.FindIndex(-1, "ab", 2, nullptr), 2); // the first of the equal names
    EXPECT_EQ(one.FindIndex(-1, "abd", 3, nullptr), -1);
    EXPECT_EQ(one.FindIndex(-1, "zzzz", 4, nullptr), -1);
}

TEST_F(VariableHashTest, VariablesAreMadeOnFirstUse) {
    Dictionary pool;
    VariableHash t(&pool, 8, 64);
    int32_t i = t.AddNameText("count", 5);
    Variable* v = reinterpret_cast<Variable*>(1);
    EXPECT_TRUE(t.Find(&v, "count", 5, false));
    EXPECT_EQ(v, nullptr);
    EXPECT_FALSE(t.Find(&v, "missing", -1, true));
    EXPECT_EQ(t.Index(i, false), nullptr);
    Variable* made = t.Index(i, true);
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(made->ReferenceCount(), 1);
    EXPECT_EQ(t.Index(i, true), made);
    EXPECT_EQ(t.Index(t.Count(), true), nullptr);
    EXPECT_EQ(t.Index(-1, true), nullptr);
    EXPECT_EQ(t.ClearVariable("missing", -1), 0);
    made->SetValue("7", 1);
    EXPECT_EQ(t.ClearVariable("COUNT", -1), 1);
    EXPECT_TRUE(made->IsEmpty());

    // A by-name id resolves through the pool.
    int32_t id = pool.Add("other", 5);
    int32_t j = t.AddName(id);
    EXPECT_EQ(t.FindIndex(id, nullptr, 0, nullptr), j);
    EXPECT_EQ(t.AddName(9999), -1); // not a pool index
}

TEST_F(VariableHashTest, ReplaceSetAndReferenceKeepCountsBalanced) {
    Dictionary pool;
    VariableHash t(&pool, 12, 512);
    Variable* first = t.SetVariable("name", -1, "one", -1);
    ASSERT_NE(first, nullptr);
    first->AddReference(); // our own hold, to watch the table let go
    t.ReplaceVariable(new Variable("NAME", -1, "two", -1));
    EXPECT_EQ(first->ReferenceCount(), 1);
    first->Release();
    Variable* now = nullptr;
    t.Find(&now, "name", -1, false);
    EXPECT_EQ(Text(now), "two");
    EXPECT_EQ(t.Count(), 1);

    Variable* target = new Variable("target", -1, "tv", -1);
    int32_t i = t.AddNameText("alias", -1);
    t.SetReference(i, target);
    EXPECT_EQ(target->ReferenceCount(), 2);
    t.SetReference(i, target); // already there: nothing changes
    EXPECT_EQ(target->ReferenceCount(), 2);
    Variable* alias = t.Index(i, false);
    EXPECT_EQ(alias->RealIdentity(), target);
    EXPECT_STREQ(alias->Name().Text(), "alias");
    alias->SetValue("changed", -1);
    EXPECT_EQ(Text(target), "changed");

    VariableList list;
    t.VisitAll(&list);
    EXPECT_EQ(list.Count(), 2);
    list.Clear();
    target->Release();
    t.ReleaseAll();
    EXPECT_EQ(t.Index(i, false), nullptr);
    EXPECT_EQ(t.Count(), 2); // entries stay
}

TEST_F(VariableHashTest, AppendValueCollectsRepeatedNames) {
    Dictionary pool;
    VariableHash t(&pool, 12, 512);
    for (const char* v : {"x", "y", "z"}) t.AppendValue("multi", -1, v, -1, true);
    for (const char* v : {"x", "y", "z"}) t.AppendValue("single", -1, v, -1, false);
    Variable* m = nullptr;
    t.Find(&m, "multi", -1, false);
    ASSERT_EQ(m->AggregateType(), kAggregateArray);
    EXPECT_EQ(m->ElementsUsed(), 3);
    EXPECT_EQ(Text(m->Element(AggregateIndex::FromIndex(1), false)), "x");
    EXPECT_EQ(Text(m->Element(AggregateIndex::FromIndex(3), false)), "z");
    Variable* s = nullptr;
    t.Find(&s, "single", -1, false);
    EXPECT_EQ(Text(s), "z");

    // A path addresses a member; a sparse array is never overwritten.
    t.AppendValue("form:field", -1, "f", -1, true);
    t.AppendValue("sparse[2]", -1, "two", -1, true);
    t.AppendValue("sparse", -1, "next", -1, true);
    Variable* sp = nullptr;
    t.Find(&sp, "sparse", -1, false);
    EXPECT_EQ(Text(sp->Element(AggregateIndex::FromIndex(2), false)), "two");
    EXPECT_EQ(Text(sp->Element(AggregateIndex::FromIndex(3), false)), "next");
    Variable* f = nullptr;
    EXPECT_TRUE(t.ResolvePath(&f, "form:field", 10, false));
    EXPECT_EQ(Text(f), "f");

    // A system table never builds arrays.
    SystemVariableHash sys(&pool, 12, 512);
    sys.AppendValue("v", -1, "a", -1, true);
    sys.AppendValue("v", -1, "b", -1, true);
    Variable* sv = nullptr;
    sys.Find(&sv, "v", -1, false);
    EXPECT_EQ(Text(sv), "b");
}

TEST_F(VariableHashTest, PathsResolveMembersAndIndexes) {
    Dictionary pool;
    VariableHash t(&pool, 12, 512);
    Variable* out = reinterpret_cast<Variable*>(1);
    EXPECT_TRUE(t.ResolvePath(&out, "a:b:c", 5, false));
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(t.Count(), 0);
    ASSERT_TRUE(t.ResolvePath(&out, "a:b:c", 5, true));
    ASSERT_NE(out, nullptr);
    out->SetValue("leaf", -1);
    Variable* a = nullptr;
    t.Find(&a, "A", 1, false);
    EXPECT_EQ(Text(a->Element(AggregateIndex::FromName("B", 1), false)->Element(AggregateIndex::FromName("c", 1), false)),
              "leaf");

    ASSERT_TRUE(t.ResolvePath(&out, "list[ 3 ]:name", -1, true));
    out->SetValue("n3", -1);
    Variable* again = nullptr;
    ASSERT_TRUE(t.ResolvePath(&again, "LIST[3]:NAME", -1, false));
    EXPECT_EQ(again, out);
    ASSERT_TRUE(t.ResolvePath(&again, "list[3 4]:name", -1, false)); // a later run of digits is ignored
    EXPECT_EQ(again, out);
    ASSERT_TRUE(t.ResolvePath(&out, "list[]", -1, true));
    Variable* list = nullptr;
    t.Find(&list, "list", -1, false);
    EXPECT_EQ(list->Element(AggregateIndex::FromIndex(0), false), out);
    EXPECT_EQ(list->ArrayMin(), 0);

    for (const char* bad : {"list[3x]", "list[3", "list[3]]", "list[3]x", "list[-1]", "list[99999999999]"}) {
        t.SetLabel(String(""));
        Variable* v = reinterpret_cast<Variable*>(1);
        EXPECT_FALSE(t.ResolvePath(&v, bad, -1, true)) << bad;
        EXPECT_EQ(v, nullptr) << bad;
        EXPECT_STREQ(t.Label().Text(), "Array index must be positive integer") << bad;
    }
    EXPECT_TRUE(t.ResolvePath(&out, "list[2147483647]", -1, true));
    EXPECT_NE(out, nullptr);
}

TEST(ScopePrefixTest, SplitsScopeAliasAndRest) {
    struct Case {
        const char* text;
        int32_t scope;
        const char* alias;
        const char* rest;
    } cases[] = {
        {"g.count", kScopeGlobal, "", "count"},
        {"GLOBAL.count", kScopeGlobal, "", "count"},
        {"l.x", kScopeLocal, "", "x"},
        {"Local.x", kScopeLocal, "", "x"},
        {"S.x", kScopeSystem, "", "x"},
        {"system.x", kScopeSystem, "", "x"},
        {"d.total", kScopeDatabase, "", "total"},
        {"database.total", kScopeDatabase, "", "total"},
        {"orders.d.total", kScopeDatabase, "orders", "total"},
        {"Orders.DATABASE.total", kScopeDatabase, "Orders", "total"},
        {"o.d.total", kScopeDatabase, "o", "total"},
        {"o.database.total", kScopeDatabase, "o", "total"},
        {"x.total", kScopeNone, "", "x.total"},
        {"plain", kScopeNone, "", "plain"},
        {"orders.total", kScopeNone, "", "orders.total"},
        {"", kScopeNone, "", ""},
    };
    for (const Case& c : cases) {
        const char* rest = nullptr;
        const char* alias = nullptr;
        int32_t restLength = -2;
        int32_t aliasLength = -2;
        EXPECT_EQ(ParseScopePrefix(c.text, -1, &rest, &restLength, &alias, &aliasLength), c.scope) << c.text;
        EXPECT_EQ(std::string(rest, restLength), c.rest) << c.text;
        EXPECT_EQ(aliasLength > 0 ? std::string(alias, aliasLength) : "", c.alias) << c.text;
    }
    // The given length counts, not the NUL.
    const char* rest = nullptr;
    int32_t restLength = 0;
    EXPECT_EQ(ParseScopePrefix("g.abc", 4, &rest, &restLength, nullptr, nullptr), kScopeGlobal);
    EXPECT_EQ(restLength, 2);
}

TEST_F(VariableHashTest, SystemScopesRestoreExactlyTheEarlierVariables) {
    Dictionary pool;
    SystemVariableHash sys(&pool, 12, 512);
    EXPECT_EQ(sys.PopScope(), 0);
    Variable* original = sys.SetVariable("status", -1, "200", -1);
    int32_t lazy = sys.AddNameText("lazy", -1);
    int32_t aliasSlot = sys.AddNameText("alias", -1);
    Variable* target = new Variable("t", -1, "target", -1);

    sys.PushScope();
    EXPECT_EQ(sys.EntryTag(), 1);
    sys.ReplaceVariable(new Variable("status", -1, "404", -1));
    sys.ReplaceVariable(new Variable("STATUS", -1, "500", -1));
    sys.Insert(new Variable("status", -1, "302", -1)); // an existing name: replaced, not duplicated
    sys.Index(lazy, true)->SetValue("made", -1);
    sys.SetReference(aliasSlot, target);
    sys.SetVariable("fresh", -1, "new", -1);
    sys.PushScope();
    sys.ReplaceVariable(new Variable("status", -1, "inner", -1));
    Variable* seen = nullptr;
    sys.Find(&seen, "status", -1, false);
    EXPECT_EQ(Text(seen), "inner");
    EXPECT_EQ(sys.Depth(), 2);
    EXPECT_EQ(sys.PopScope(), 1);
    sys.Find(&seen, "status", -1, false);
    EXPECT_EQ(Text(seen), "302");
    EXPECT_EQ(sys.PopScope(), 1);

    sys.Find(&seen, "status", -1, false);
    EXPECT_EQ(seen, original);
    EXPECT_EQ(Text(seen), "200");
    EXPECT_EQ(sys.Index(lazy, false), nullptr);
    EXPECT_EQ(sys.Index(aliasSlot, false), nullptr);
    EXPECT_EQ(target->ReferenceCount(), 1);
    Variable* fresh = reinterpret_cast<Variable*>(1);
    EXPECT_TRUE(sys.Find(&fresh, "fresh", -1, false)); // the name stays, without a variable
    EXPECT_EQ(fresh, nullptr);
    EXPECT_EQ(sys.EntryTag(), 0);
    EXPECT_EQ(sys.PopScope(), 0);
    target->Release();

    // Changes at depth 0 are plain, and open scopes die with the table.
    auto* open = new SystemVariableHash(&pool, 12, 512);
    open->SetVariable("a", -1, "1", -1);
    open->PushScope();
    open->ReplaceVariable(new Variable("a", -1, "2", -1));
    open->PushScope();
    open->SetVariable("b", -1, "3", -1);
    delete open;
}

TEST_F(VariableHashTest, SystemTablesGrowTheirBucketsAndKeepTheirOrder) {
    // A reply may add a name per attribute: chains must stay short, or each
    // new name costs a walk over all the others' share.
    Dictionary pool;
    SystemVariableHash sys(&pool, 0, 0);
    VariableHash plain(&pool, 12, 512);
    const int32_t names = 50000;
    for (int32_t i = 0; i < names; ++i) {
        std::string name = (i % 2 ? "callobjectvalue" : "callobjectattribute") + std::to_string(i);
        ASSERT_EQ(sys.AddNameText(name.data(), static_cast<int32_t>(name.size())), i);
        plain.AddNameText(name.data(), static_cast<int32_t>(name.size()));
        if (i == 4) sys.PushScope(); // names added inside a scope stay too
    }
    EXPECT_EQ(sys.PopScope(), 1);
    EXPECT_EQ(plain.BucketCount(), 4096); // tables that are saved keep what they were given
    EXPECT_GE(sys.BucketCount(), names / 2);
    int32_t reached = 0, longest = 0;
    for (int32_t b = 0; b < sys.BucketCount(); ++b) {
        int32_t length = 0;
        for (int32_t e = sys.BucketHead(b), before = -1; e != -1; before = e, e = sys.NextEntry(e)) {
            ++length;
            EXPECT_EQ(
                NameBucket(NameOf(sys, e).data(), static_cast<int32_t>(NameOf(sys, e).size()), sys.Bits()),
                b);
            if (before >= 0) {
                std::string a = NameOf(sys, before), z = NameOf(sys, e);
                EXPECT_LT(CompareNameOrder(a.data(), static_cast<int32_t>(a.size()), z.data(),
                                           static_cast<int32_t>(z.size())),
                          0);
            }
        }
        reached += length;
        longest = std::max(longest, length);
    }
    EXPECT_EQ(reached, names);
    EXPECT_LE(longest, 16);
    // Entries keep their indexes; lookups find them in any case.
    for (int32_t i = 0; i < names; i += 997) {
        std::string name = NameOf(sys, i);
        for (char& c : name)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        EXPECT_EQ(sys.FindIndex(-1, name.data(), static_cast<int32_t>(name.size()), nullptr), i);
    }
    sys.SetVariable("callobjectvalue49999", -1, "last", -1);
    VariableList all;
    sys.VisitAll(&all);
    EXPECT_EQ(all.Count(), 1);
}

TEST_F(VariableHashTest, CopiesShareNamesButNotVariables) {
    Dictionary pool;
    VariableHash locals(&pool, 8, 64);
    int32_t p = locals.AddNameText("param", -1);
    locals.AddNameText("local", -1);
    locals.Index(p, true)->SetValue("kept", -1);
    VariableHash call(locals);
    EXPECT_EQ(call.Count(), 2);
    EXPECT_EQ(call.Index(p, false), nullptr);
    EXPECT_EQ(call.FindIndex(-1, "LOCAL", -1, nullptr), 1);
    call.Index(p, true)->SetValue("mine", -1);
    call.AddNameText("extra", -1);
    EXPECT_EQ(Text(locals.Index(p, false)), "kept");
    EXPECT_EQ(locals.FindIndex(-1, "extra", -1, nullptr), -1);
}

TEST_F(VariableHashTest, ReusedCopiesStartAsFreshCopiesOfTheirTemplate) {
    Dictionary pool;
    VariableHash first(&pool, 8, 2);
    int32_t p = first.AddNameText("param", -1);
    first.AddNameText("local", -1);
    VariableHash second(&pool, 4, 8);
    second.AddNameText("zeta", -1);

    // Names added during a call, variables and aliases all go; the arrays
    // keep their size when it fits.
    VariableHash scope(first);
    Variable* outside = new Variable("outside", -1, "untouched", -1);
    scope.SetReference(p, outside);
    scope.Index(1, true)->SetValue("old", -1);
    scope.AddNameText("extra", -1);
    scope.AddNameText("more", -1); // grows past the template's capacity
    EXPECT_FALSE(scope.ResolvePath(nullptr, "local[x]", -1, true));
    scope.CopyLayoutFrom(first);
    EXPECT_EQ(scope.EntryCount(), 2);
    EXPECT_EQ(scope.Capacity(), 2);
    EXPECT_EQ(scope.FindIndex(-1, "extra", -1, nullptr), -1);
    EXPECT_EQ(scope.FindIndex(-1, "LOCAL", -1, nullptr), 1);
    EXPECT_EQ(scope.Index(p, false), nullptr);
    EXPECT_EQ(scope.Index(1, false), nullptr);
    EXPECT_TRUE(scope.Label().IsEmpty());
    scope.Index(p, true)->SetValue("new", -1);
    EXPECT_EQ(Text(outside), "untouched");
    outside->Release();

    // Unchanged since the last copy: only variables are dropped.
    scope.CopyLayoutFrom(first);
    EXPECT_EQ(scope.Index(p, false), nullptr);
    EXPECT_EQ(scope.FindIndex(-1, "param", -1, nullptr), p);

    // Another template of other sizes, then the first again after it grew.
    scope.CopyLayoutFrom(second);
    EXPECT_EQ(scope.Bits(), 4);
    EXPECT_EQ(scope.EntryCount(), 1);
    EXPECT_EQ(scope.FindIndex(-1, "zeta", -1, nullptr), 0);
    EXPECT_EQ(scope.FindIndex(-1, "param", -1, nullptr), -1);
    scope.CopyLayoutFrom(first);
    first.AddNameText("late", -1);
    scope.CopyLayoutFrom(first);
    EXPECT_EQ(scope.EntryCount(), 3);
    EXPECT_EQ(scope.FindIndex(-1, "late", -1, nullptr), 2);
    std::string chain;
    for (int32_t b = 0; b < scope.BucketCount(); ++b)
        for (int32_t e = scope.BucketHead(b); e != -1; e = scope.NextEntry(e)) chain += NameOf(scope, e) + " ";
    EXPECT_EQ(chain.size(), std::string("param local late ").size());
}

TEST_F(VariableHashTest, ReferenceTablesShowTheSourceThroughTheirOwnNames) {
    Dictionary callerPool;
    Dictionary subPool;
    SystemVariableHash caller(&callerPool, 12, 512);
    Variable* shared = caller.SetVariable("shared", -1, "caller", -1);

    // The sub-program's own table: names of its own pool, loaded from a section.
    VariableHash declared(&subPool, 12, 512);
    int32_t sharedSlot = declared.AddNameText("SHARED", -1);
    int32_t newSlot = declared.AddNameText("newname", -1);
    int32_t refSlot = declared.AddNameText("byref", -1);
    Bytes bytes = test::WriteContainer([&](TaggedFile& tf) { return declared.SaveSection(tf, kSectionSyst); });
    TaggedFile tf(nullptr);
    ASSERT_TRUE(test::OpenBytes(tf, bytes));
    ReferenceVariableHash sub(&subPool, &caller, 12, 512);
    ASSERT_TRUE(sub.LoadSection(tf, kSectionSyst));
    EXPECT_EQ(sub.EntryAt(sharedSlot)->tag, -1);

    EXPECT_EQ(sub.Index(sharedSlot, false), shared);
    EXPECT_EQ(sub.EntryAt(sharedSlot)->tag, caller.FindIndex(-1, "shared", -1, nullptr));
    EXPECT_EQ(sub.Index(newSlot, false), nullptr);
    Variable* made = sub.Index(newSlot, true);
    ASSERT_NE(made, nullptr);
    Variable* inCaller = nullptr;
    EXPECT_TRUE(caller.Find(&inCaller, "newname", -1, false));
    EXPECT_EQ(inCaller, made);
    Variable* other = nullptr;
    EXPECT_FALSE(sub.Find(&other, "unknown", -1, false)); // asked of the source
    sub.SetVariable("unknown", -1, "u", -1);
    EXPECT_TRUE(caller.Find(&other, "unknown", -1, false));
    EXPECT_EQ(sub.Count(), caller.Count());
    EXPECT_EQ(sub.Underlying(), &caller);

    Variable* target = new Variable("t", -1, "tv", -1);
    sub.SetReference(refSlot, target);
    Variable* byref = nullptr;
    ASSERT_TRUE(caller.Find(&byref, "byref", -1, false));
    EXPECT_EQ(byref->RealIdentity(), target);

    // Scopes are the source's.
    sub.PushScope();
    EXPECT_EQ(caller.Depth(), 1);
    sub.ReplaceVariable(new Variable("shared", -1, "scoped", -1));
    EXPECT_EQ(sub.PopScope(), 1);
    EXPECT_EQ(Text(sub.Index(sharedSlot, false)), "caller");
    target->Release();

    // A reference table over a reference table sees the end of the chain.
    ReferenceVariableHash deeper(&subPool, &sub, 12, 512);
    EXPECT_EQ(deeper.Underlying(), &caller);
}

TEST_F(VariableHashTest, UserTablesOwnTheirPool) {
    auto* user = new UserVariableHash();
    EXPECT_EQ(user->Bits(), 12);
    user->Insert(new Variable("Key", -1, "value", -1));
    Variable* v = nullptr;
    ASSERT_TRUE(user->Find(&v, "KEY", -1, false));
    EXPECT_EQ(Text(v), "value");
    EXPECT_EQ(user->Names()->Count(), 1);
    delete user;
}

// --- Loading and saving --------------------------------------------------------

// A table of one bucket (bits 0), so the bytes need no hashing: names 0 "a",
// 1 "bb", 2 "cc" chained 0 -> 1 -> 2.
Bytes OneBucketTable() {
    Bytes s;
    U16(s, 1);
    U8(s, 0);
    U32(s, 3);
    U16(s, 0);
    U32(s, 0);
    for (uint32_t e : {0u, 1u, 1u, 2u, 2u, 0xFFFFFFFFu}) U32(s, e);
    return s;
}

Bytes PoolSection(std::initializer_list<std::string> texts) {
    Bytes s;
    std::string data;
    Bytes records;
    for (const std::string& t : texts) {
        U32(records, static_cast<uint32_t>(data.size()));
        U32(records, static_cast<uint32_t>(t.size()));
        data += t;
    }
    U32(s, static_cast<uint32_t>(texts.size()));
    U32(s, static_cast<uint32_t>(data.size()));
    U32(s, 0);
    test::Append(s, records);
    test::Text(s, data);
    return s;
}

TEST_F(VariableHashTest, LoadsHandBuiltBytesAndRoundTrips) {
    Bytes file = Container({{"dict", PoolSection({"a", "bb", "cc"})}, {"glbl", OneBucketTable()}});
    TaggedFile tf(nullptr);
    ASSERT_TRUE(test::OpenBytes(tf, file));
    Dictionary pool;
    ASSERT_TRUE(pool.ReadChunk(tf));
    VariableHash t(&pool, 12, 512);
    ASSERT_TRUE(t.LoadSection(tf, kSectionGlbl));
    EXPECT_EQ(tf.Selected(), nullptr);
    EXPECT_EQ(t.Bits(), 0);
    EXPECT_EQ(t.Count(), 3);
    EXPECT_EQ(t.UsedBuckets(), 1);
    EXPECT_EQ(t.FindIndex(-1, "BB", -1, nullptr), 1);
    EXPECT_EQ(t.FindIndex(-1, "cc", -1, nullptr), 2);
    EXPECT_EQ(t.FindIndex(-1, "b", -1, nullptr), -1);
    Variable* v = t.Index(2, true);
    EXPECT_STREQ(v->Name().Text(), "cc");
    EXPECT_EQ(t.AddNameText("d", 1), 3); // a loaded table grows like any other

    // Saving gives the same bytes back for the stored part.
    VariableHash same(&pool, 12, 512);
    ASSERT_TRUE(same.LoadSection(tf, kSectionGlbl));
    Bytes saved = test::WriteContainer([&](TaggedFile& out) { return same.SaveSection(out, kSectionGlbl); });
    EXPECT_EQ(Bytes(saved.begin() + 32, saved.begin() + 32 + static_cast<long>(OneBucketTable().size())),
              OneBucketTable());

    // A table built in memory comes back with the same buckets, chains and ids.
    VariableHash built(&pool, 12, 512);
    for (int i = 0; i < 300; ++i) built.AddNameText(("name" + std::to_string(i)).c_str(), -1);
    built.Index(5, true);
    Bytes round = test::WriteContainer([&](TaggedFile& out) { return built.SaveSection(out, kSectionSyst); });
    TaggedFile rf(nullptr);
    ASSERT_TRUE(test::OpenBytes(rf, round));
    SystemVariableHash loaded(&pool, 0, 0);
    ASSERT_TRUE(loaded.LoadSection(rf, kSectionSyst));
    ASSERT_EQ(loaded.Count(), built.Count());
    EXPECT_EQ(loaded.UsedBuckets(), built.UsedBuckets());
    for (int32_t b = 0; b < built.BucketCount(); ++b) ASSERT_EQ(loaded.BucketHead(b), built.BucketHead(b));
    for (int32_t i = 0; i < built.Count(); ++i) {
        ASSERT_EQ(loaded.NextEntry(i), built.NextEntry(i));
        ASSERT_EQ(loaded.EntryAt(i)->nameId, built.EntryAt(i)->nameId);
        ASSERT_EQ(loaded.Index(i, false), nullptr);
    }
    EXPECT_EQ(loaded.FindIndex(-1, "NAME299", -1, nullptr), 299);
}

TEST_F(VariableHashTest, TablesReadSequentiallyInsideASection) {
    Dictionary pool;
    pool.Add("a", 1);
    pool.Add("bb", 2);
    pool.Add("cc", 3);
    Bytes two = OneBucketTable();
    test::Append(two, OneBucketTable());
    Bytes file = Container({{"func", two}});
    TaggedFile tf(nullptr);
    ASSERT_TRUE(test::OpenBytes(tf, file));
    ASSERT_TRUE(tf.SelectSection(kSectionFunc));
    VariableHash first(&pool, 8, 64);
    VariableHash second(&pool, 8, 64);
    ASSERT_TRUE(first.Load(tf));
    ASSERT_TRUE(second.Load(tf));
    EXPECT_EQ(second.FindIndex(-1, "a", 1, nullptr), 0);
    // Nothing is left for a third: the header read fails with the file's text.
    VariableHash third(&pool, 8, 64);
    EXPECT_FALSE(third.Load(tf));
    EXPECT_STREQ(third.Label().Text(), "Read past end of section boundary");

    VariableHash missing(&pool, 8, 64);
    EXPECT_FALSE(missing.LoadSection(tf, kSectionGlbl));
    EXPECT_STREQ(missing.Label().Text(), "Invalid section");
}

TEST_F(VariableHashTest, DamagedTablesAreRefusedAndLeaveTheTableAlone) {
    Dictionary pool;
    for (const char* n : {"a", "bb", "cc"}) pool.Add(n, -1);
    auto table = [](uint32_t records, uint32_t bits, uint32_t entries, std::vector<uint32_t> bucketPairs,
                    std::vector<uint32_t> entryPairs) {
        Bytes s;
        U16(s, records);
        U8(s, bits);
        U32(s, entries);
        for (size_t i = 0; i + 1 < bucketPairs.size(); i += 2) {
            U16(s, bucketPairs[i]);
            U32(s, bucketPairs[i + 1]);
        }
        for (uint32_t w : entryPairs) U32(s, w);
        return s;
    };
    const uint32_t end = 0xFFFFFFFFu;
    std::vector<std::pair<const char*, Bytes>> damaged = {
        {"bits 17", table(1, 17, 1, {0, 0}, {0, end})},
        {"bits 31", table(1, 31, 1, {0, 0}, {0, end})},
        {"bits 255", table(1, 255, 1, {0, 0}, {0, end})},
        {"bucket index past the buckets", table(1, 1, 1, {2, 0}, {0, end})},
        {"first slot past the entries", table(1, 0, 1, {0, 1}, {0, end})},
        {"first slot -1", table(1, 0, 1, {0, end}, {0, end})},
        {"next link past the entries", table(1, 0, 2, {0, 0}, {0, 5, 1, end})},
        {"cycle", table(1, 0, 2, {0, 0}, {0, 1, 1, 0})},
        {"self link", table(1, 0, 1, {0, 0}, {0, 0})},
        {"chains that run together", table(2, 1, 2, {0, 0, 1, 1}, {0, 1, 1, end})},
        {"name not in the pool", table(1, 0, 1, {0, 0}, {99, end})},
        {"entry count past the section", table(0, 0, 0xFFFFFFFFu, {}, {})},
        {"bucket records past the section", table(0xFFFF, 0, 0, {}, {})},
    };
    for (const auto& [what, bytes] : damaged) {
        TaggedFile tf(nullptr);
        ASSERT_TRUE(test::OpenBytes(tf, Container({{"glbl", bytes}})));
        VariableHash t(&pool, 4, 16);
        t.SetVariable("kept", -1, "k", -1);
        EXPECT_FALSE(t.LoadSection(tf, kSectionGlbl)) << what;
        EXPECT_STREQ(t.Label().Text(), kCorruptFileMessage) << what;
        EXPECT_EQ(t.Count(), 1) << what;
        EXPECT_EQ(t.Bits(), 4) << what;
        EXPECT_NE(t.Index(0, false), nullptr) << what;
    }
    // The sound neighbour of those: bits 16 and an entry at the far bucket.
    TaggedFile tf(nullptr);
    ASSERT_TRUE(test::OpenBytes(tf, Container({{"glbl", table(1, 16, 1, {65535, 0}, {0, end})}})));
    VariableHash t(&pool, 4, 16);
    EXPECT_TRUE(t.LoadSection(tf, kSectionGlbl));
    EXPECT_EQ(t.BucketHead(65535), 0);
}

TEST_F(VariableHashTest, SavingReportsWriteFailuresAndUnstorableTables) {
    Dictionary pool;
    VariableHash t(&pool, 12, 512);
    t.AddNameText("x", 1);
    TaggedFile tf(nullptr);
    auto* file = new test::MemoryFile();
    ASSERT_TRUE(tf.OpenWriteFile(file, nullptr, 0));
    file->failWrites = true;
    EXPECT_FALSE(t.SaveSection(tf, kSectionGlbl));
    EXPECT_STREQ(t.Label().Text(), "disk full");

    VariableHash wide(&pool, 20, 1);
    file->failWrites = false;
    EXPECT_FALSE(wide.Save(tf));
    EXPECT_STREQ(wide.Label().Text(), "Variable table too large to save");
}

// Every prefix of a sound table fails cleanly; random damage never crashes.
TEST_F(VariableHashTest, TruncatedAndFlippedFilesFailCleanly) {
    Dictionary names;
    VariableHash built(&names, 6, 8);
    for (int i = 0; i < 40; ++i) built.AddNameText(("v" + std::to_string(i)).c_str(), -1);
    Bytes good = test::WriteContainer([&](TaggedFile& out) {
        return names.WriteChunk(out) && built.SaveSection(out, kSectionSyst) && built.SaveSection(out, kSectionGlbl);
    });
    auto attempt = [](const Bytes& bytes) {
        TaggedFile tf(nullptr);
        if (!test::OpenBytes(tf, bytes)) return false;
        Dictionary pool;
        if (!pool.ReadChunk(tf)) return false;
        SystemVariableHash sys(&pool, 12, 512);
        VariableHash glbl(&pool, 12, 512);
        if (!sys.LoadSection(tf, kSectionSyst) || !glbl.LoadSection(tf, kSectionGlbl)) return false;
        for (int32_t i = 0; i < glbl.Count(); ++i) {
            int32_t n = 0;
            const char* name = glbl.EntryName(i, &n);
            Variable* v = nullptr;
            glbl.Find(&v, name, n, true);
            sys.Index(i, true);
        }
        glbl.AddNameText("added", -1);
        return true;
    };
    ASSERT_TRUE(attempt(good));
    // The section itself cut short, inside a sound container.
    TaggedFile whole(nullptr);
    ASSERT_TRUE(test::OpenBytes(whole, good));
    auto sectionBytes = [&](uint32_t tag) {
        uint32_t length = 0;
        EXPECT_TRUE(whole.SelectSection(tag, &length));
        Bytes b(length);
        EXPECT_EQ(whole.Read(b.data(), static_cast<int32_t>(length)), static_cast<int32_t>(length));
        return b;
    };
    Bytes dict = sectionBytes(kSectionDict);
    Bytes table = sectionBytes(kSectionGlbl);
    for (size_t n = 0; n <= table.size(); ++n) {
        Bytes cut(table.begin(), table.begin() + static_cast<long>(n));
        EXPECT_EQ(attempt(Container({{"dict", dict}, {"syst", table}, {"glbl", cut}})), n == table.size()) << n;
    }
    std::mt19937 random(1234);
    int survived = 0;
    for (int round = 0; round < 3000; ++round) {
        Bytes bad = good;
        int flips = 1 + static_cast<int>(random() % 4);
        for (int f = 0; f < flips; ++f) bad[random() % bad.size()] ^= static_cast<uint8_t>(1 + random() % 255);
        survived += attempt(bad) ? 1 : 0;
    }
    EXPECT_GT(survived, 0); // some damage loads and is then used
}

// --- Database field scopes -------------------------------------------------------

class FieldVariable : public Variable, public UnbindableVariable {
public:
    FieldVariable(const char* name, int* unbound) : Variable(name, -1, "row value", -1), unbound(unbound) {}
    void Unbind() override {
        ++*unbound;
        Clear();
    }
    int* unbound;
};

TEST_F(VariableHashTest, DatabaseFieldScopesLetGoOfTheirVariables) {
    int unbound = 0;
    auto* fields = new DatabaseVariableHash();
    auto* alone = new Variable("ALONE", -1, "a", -1);
    auto* held = new FieldVariable("Held", &unbound);
    auto* plain = new Variable("plain", -1, "p", -1);
    fields->Insert(alone);
    fields->Insert(held);
    fields->Insert(plain);
    EXPECT_EQ(fields->FindVariable("alone", -1), alone);
    EXPECT_EQ(fields->FindVariable("HELD", 4), held);
    held->AddReference();
    plain->AddReference();
    int64_t live = Variable::LiveCount();
    fields->Clear();
    EXPECT_EQ(Variable::LiveCount(), live - 1); // only the sole-held one went
    EXPECT_EQ(fields->FindVariable("held", -1), nullptr);
    EXPECT_EQ(unbound, 1);
    EXPECT_EQ(held->ReferenceCount(), 1);
    EXPECT_TRUE(held->IsEmpty());
    EXPECT_TRUE(plain->IsEmpty());
    fields->Insert(new Variable("again", -1));
    delete fields; // releases what it still holds
    held->Release();
    plain->Release();
}

// A template reserved for the names its copies will take, and copied into a
// run's own pool: the copy fills exactly as an unreserved one, and neither
// the template nor its pool sees a name of the run.
TEST_F(VariableHashTest, AReservedTemplateCopiedIntoARunsPoolFillsAsAPlainOne) {
    Dictionary shared, plainPool;
    // The template has a stored table's many buckets; reserved, as many as
    // the names call for.
    SystemVariableHash plain(&plainPool, 0, 0), reserved(&shared, 12, 0);
    for (const char* name : {"declared", "Zeta", "alpha", "ALPHA", "b"}) {
        plain.AddNameText(name, -1);
        reserved.AddNameText(name, -1);
    }
    reserved.Reserve(200);
    EXPECT_EQ(reserved.EntryCount(), 5);
    EXPECT_EQ(reserved.BucketCount(), 256);
    Dictionary run;
    run.ShareFrom(shared);
    SystemVariableHash copy(&run, 0, 0);
    copy.CopyLayoutFrom(reserved);
    copy.UseNames(&run);
    for (int i = 0; i < 150; ++i) {
        std::string name = "Name" + std::to_string(i * 7919 % 1000);
        plain.SetVariable(name.c_str(), -1, name.c_str(), -1);
        copy.SetVariable(name.c_str(), -1, name.c_str(), -1);
    }
    ASSERT_EQ(copy.EntryCount(), plain.EntryCount());
    for (int32_t i = 0; i < plain.EntryCount(); ++i) {
        EXPECT_EQ(NameOf(copy, i), NameOf(plain, i));
        int32_t n = 0;
        const char* name = plain.EntryName(i, &n);
        EXPECT_EQ(copy.FindIndex(-1, name, n, nullptr), plain.FindIndex(-1, name, n, nullptr));
    }
    EXPECT_EQ(reserved.EntryCount(), 5);
    EXPECT_EQ(shared.Count(), 5);
    EXPECT_EQ(run.Count(), copy.EntryCount());
    plain.ReleaseAll();
    copy.ReleaseAll();
}

} // namespace
} // namespace vorn

namespace vorn {
namespace {

// Adds "Alpha" (replacing the compiled entry), "beta" and "GAMMA", counting
// how often it is asked to.
struct ThreeNames : DeferredSystemVariables {
    int added = 0;
    bool MayHold(const char* name, int32_t length) override {
        if (length < 0) length = static_cast<int32_t>(std::strlen(name));
        for (const char* n : {"alpha", "beta", "gamma"})
            if (static_cast<size_t>(length) == std::strlen(n) && CompareTextNoCase(name, n, length) == 0) return true;
        return false;
    }
    void AddTo(VariableHash& table) override {
        ++added;
        table.ReplaceVariable(new Variable("Alpha", -1, "1", 1));
        table.ReplaceVariable(new Variable("beta", -1, "2", 1));
        table.SetVariable("GAMMA", -1, "3", 1);
    }
};

// The entries (name=value, in entry order) of a table.
std::string Listing(SystemVariableHash& t) {
    VariableList list;
    t.VisitAll(&list);
    std::string out;
    for (Variable* v = list.First(); v; v = list.Next())
        out += std::string(v->Name().Text()) + "=" + Text(v) + " ";
    return out;
}

TEST_F(VariableHashTest, DeferredSystemVariablesAreAddedAsSoonAsAnythingCouldSeeThem) {
    // Each case runs its steps on a table the variables were added to at
    // once and on one that deferred them: both end alike, and the deferred
    // one added them only when the steps asked (or never).
    struct Case {
        const char* what;
        std::function<void(SystemVariableHash&)> steps;
        bool settles;
    } cases[] = {
        {"a name it cannot hold", [](SystemVariableHash& t) { EXPECT_FALSE(t.Find(nullptr, "delta", -1, true)); },
         false},
        {"the compiled entry of another name",
         [](SystemVariableHash& t) { EXPECT_EQ(Text(t.Index(1, true)), ""); }, false},
        {"a path below another name",
         [](SystemVariableHash& t) {
             Variable* v = nullptr;
             EXPECT_TRUE(t.ResolvePath(&v, "other:m[2]", -1, false));
             EXPECT_EQ(v, nullptr);
         },
         false},
        {"one of its names, in any case",
         [](SystemVariableHash& t) {
             Variable* v = nullptr;
             ASSERT_TRUE(t.Find(&v, "BETA", -1, false));
             EXPECT_EQ(Text(v), "2");
         },
         true},
        {"its name compiled into the program", [](SystemVariableHash& t) { EXPECT_EQ(Text(t.Index(0, false)), "1"); },
         true},
        {"a new name comes after them", [](SystemVariableHash& t) { t.SetVariable("delta", -1, "4", 1); }, true},
        {"a scope opened first keeps them past its end",
         [](SystemVariableHash& t) {
             t.PushScope();
             t.SetVariable("beta", -1, "9", 1);
             EXPECT_EQ(t.PopScope(), 1);
         },
         true},
        {"a count", [](SystemVariableHash& t) { EXPECT_EQ(t.Count(), 4); }, true},
        {"a listing", [](SystemVariableHash& t) { EXPECT_EQ(Listing(t), "Alpha=1 beta=2 GAMMA=3 "); }, true},
        {"a position past the compiled entries", [](SystemVariableHash& t) { EXPECT_EQ(Text(t.Index(3, true)), "3"); },
         true},
        {"a walk by position after a name it cannot hold",
         [](SystemVariableHash& t) {
             EXPECT_FALSE(t.Find(nullptr, "delta", -1, false));
             std::string walked;
             for (int32_t i = 0; i < 400; ++i)
                 if (Variable* v = t.Index(i, false)) walked += Text(v);
             EXPECT_EQ(walked, "123");
         },
         true},
        {"a release of every variable", [](SystemVariableHash& t) { t.ReleaseAll(); }, true},
        {"an entry handed out", [](SystemVariableHash& t) {
             VariableHashEntry* entry = nullptr;
             EXPECT_EQ(t.FindIndex(-1, "other", -1, &entry), 1);
         },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Dictionary pool;
        SystemVariableHash eager(&pool, 4, 8), deferred(&pool, 4, 8);
        for (SystemVariableHash* t : {&eager, &deferred}) {
            t->AddNameText("alpha", -1);
            t->AddNameText("other", -1);
        }
        ThreeNames now, later;
        now.AddTo(eager);
        deferred.Defer(&later);
        c.steps(eager);
        c.steps(deferred);
        EXPECT_EQ(later.added, c.settles ? 1 : 0);
        EXPECT_EQ(deferred.HasDeferred(), !c.settles);
        deferred.Settle();
        EXPECT_EQ(Listing(deferred), Listing(eager));
        for (int32_t i = 0; i < eager.EntryCount(); ++i) EXPECT_EQ(NameOf(deferred, i), NameOf(eager, i));
        EXPECT_EQ(later.added, 1);
    }
    // Never looked at: nothing is made, and nothing is left behind.
    Dictionary pool;
    ThreeNames unseen;
    {
        SystemVariableHash t(&pool, 4, 8);
        t.Defer(&unseen);
    }
    EXPECT_EQ(unseen.added, 0);
}

} // namespace
} // namespace vorn
