#include <gtest/gtest.h>

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#include <malloc.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/foundation/List.h"
#include "engine/values/Aggregate.h"
#include "engine/values/Variable.h"
#include "engine/values/VariableList.h"

namespace vorn {
namespace {

using Model = std::map<int64_t, std::string>;

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

// The elements of an aggregate in walking order, with their texts.
std::vector<std::pair<AggregateIndex, std::string>> Walk(Variable* v) {
    std::vector<std::pair<AggregateIndex, std::string>> out;
    if (!v->Tree()) return out;
    List<AggregateElement> list(false);
    v->Tree()->Walk(list);
    for (AggregateElement* e = list.First(); e; e = list.Next()) out.emplace_back(e->Key(), Text(e->Value()));
    return out;
}

// An array's elements as a model; also checks that the walk is strictly ascending.
Model Dump(Variable* v) {
    Model m;
    int64_t previous = -1;
    for (auto& [key, text] : Walk(v)) {
        EXPECT_GT(key.Index(), previous) << "walk out of order";
        previous = key.Index();
        m[key.Index()] = text;
    }
    return m;
}

Variable* Text(const std::string& s) { return new Variable("", 0, s.c_str(), static_cast<int32_t>(s.size())); }

void Set(Variable* array, int32_t index, const std::string& s) {
    Variable* v = Text(s);
    array->SetElement(AggregateIndex::FromIndex(index), v);
    v->Release();
}

Variable* MakeArray(const std::vector<std::string>& values) {
    Variable* a = new Variable("a", -1);
    a->SetAggregateKind(kAggregateArray);
    for (size_t i = 0; i < values.size(); ++i) Set(a, static_cast<int32_t>(i + 1), values[i]);
    return a;
}

Model ModelOf(const std::vector<std::string>& values) {
    Model m;
    for (size_t i = 0; i < values.size(); ++i) m[static_cast<int64_t>(i + 1)] = values[i];
    return m;
}

// --- The model: what each array operation does, written plainly -------------

int64_t Max(const Model& m) { return m.empty() ? 0 : m.rbegin()->first; }
int64_t Min(const Model& m) { return m.empty() ? 0 : m.begin()->first; }

void Move(Model& m, int64_t from, int64_t delta) {
    Model out;
    for (auto& [k, v] : m) out[k >= from ? k + delta : k] = v;
    m = out;
}

void ModelDeleteElement(Model& m, int64_t index, bool shift) {
    m.erase(index);
    if (shift) Move(m, index + 1, -1);
}

void ModelInsert(Model& m, int64_t index, const std::string& value) {
    if (index <= 0) {
        m[Max(m) + 1] = value;
    } else {
        Move(m, index, 1);
        m[index] = value;
    }
}

void ModelDeleteRange(Model& m, int64_t start, int64_t count, bool shift) {
    if (count == -1) {
        for (auto it = m.begin(); it != m.end();) it = it->first >= start ? m.erase(it) : std::next(it);
        return;
    }
    if (count <= 0) return;
    int64_t low = std::max<int64_t>(start, 0), high = start + count - 1;
    if (high < low) return;
    for (auto it = m.begin(); it != m.end();) it = (it->first >= low && it->first <= high) ? m.erase(it) : std::next(it);
    if (shift) Move(m, high + 1, -(high - low + 1));
}

Model Range(const Model& src, int64_t s, int64_t n) {
    Model r;
    for (auto& [k, v] : src)
        if (k >= s && k < s + n) r[k] = v;
    return r;
}

void ModelCopy(Model& dst, const Model& srcIn, int64_t s, int64_t n, int64_t d, bool same, bool copy) {
    Model src = srcIn;
    if (s <= 0) s = Min(src);
    if (s <= 0) return;
    if (n < 0) {
        if (Max(src) <= 0) return;
        n = Max(src) + 1 - s;
    }
    if (n <= 0) return;
    if (d <= 0) d = Max(dst) + 1;
    if (same && s == d && !copy) return;
    for (auto& [k, v] : Range(src, s, n))
        if (k - s + d <= INT32_MAX) dst[k - s + d] = v;
}

void ModelMerge(Model& dst, const Model& srcIn, int64_t s, int64_t n, int64_t d) {
    Model src = srcIn;
    if (s <= 0) {
        s = Min(src);
        if (s <= 0) s = 1;
    }
    if (n < 0) n = Max(src) > 0 ? std::max<int64_t>(Max(src) + 1 - s, 0) : 0;
    if (d <= 0) d = Max(dst) + 1;
    if (n == 0) return;
    Model range = Range(src, s, n);  // what the range held before the gap
    Move(dst, d, n);
    for (auto& [k, v] : range) dst[k - s + d] = v;
}

// --- Keys and members -----------------------------------------------------------

TEST(AggregateTest, KeysOrderMembersWithoutCaseAndIndexesByNumber) {
    LiveCountGuard guard;
    Variable s("s", -1);
    for (const char* name : {"Zeta", "alpha", "Beta", "ab", "a", "abc"}) {
        Variable* v = Text(std::string(name));
        s.SetElement(AggregateIndex::FromName(name, -1), v);
        v->Release();
    }
    std::vector<std::string> order;
    for (auto& [key, text] : Walk(&s)) order.emplace_back(key.Name().Text());
    EXPECT_EQ(order, (std::vector<std::string>{"a", "ab", "abc", "alpha", "Beta", "Zeta"}));
    Variable* beta = s.Element(AggregateIndex::FromName("BETA", -1), false);
    ASSERT_NE(beta, nullptr);
    EXPECT_EQ(Text(beta), "Beta");
    EXPECT_EQ(s.Element(AggregateIndex::FromName("bet", -1), false), nullptr);
    EXPECT_EQ(s.AggregateType(), kAggregateStructure);
    EXPECT_EQ(s.ArrayMax(), -1);  // members carry index -1
    EXPECT_EQ(s.ArrayNext(0), -1);

    // Storing under a differently cased name replaces the value, not the key.
    Variable* v = Text("new");
    s.SetElement(AggregateIndex::FromName("ZETA", -1), v);
    v->Release();
    EXPECT_EQ(s.ElementsUsed(), 6);
    EXPECT_STREQ(Walk(&s).back().first.Name().Text(), "Zeta");
    AggregateIndex spelled = AggregateIndex::FromIndex(120);
    spelled.SpellIndex();
    EXPECT_TRUE(spelled.Name().Equals("120"));
    EXPECT_EQ(AggregateIndex::FromIndex(-5).Index(), 0);
}

TEST(AggregateTest, ElementAccessConvertsOnlyWithCreate) {
    LiveCountGuard guard;
    Variable* a = MakeArray({"x", "y"});
    EXPECT_EQ(a->Element(AggregateIndex::FromName("m", -1), false), nullptr);
    EXPECT_EQ(a->ElementsUsed(), 2);
    // Asking an array for a member with create makes it a structure holding
    // only that member.
    Variable* m = a->Element(AggregateIndex::FromName("m", -1), true);
    ASSERT_NE(m, nullptr);
    EXPECT_TRUE(m->IsEmpty());
    EXPECT_EQ(a->AggregateType(), kAggregateStructure);
    EXPECT_EQ(a->ElementsUsed(), 1);

    // The same kind keeps the contents; another kind discards them.
    a->SetAggregateKind(kAggregateStructure);
    EXPECT_EQ(a->ElementsUsed(), 1);
    a->SetAggregateKind(kAggregateArray);
    EXPECT_EQ(a->ElementsUsed(), 0);
    a->Release();
}

TEST(AggregateTest, ElementsShareValuesAndHoldReferences) {
    LiveCountGuard guard;
    Variable* shared = new Variable("v", -1, "s", -1);
    Variable* a = new Variable("a", -1);
    a->SetElement(AggregateIndex::FromIndex(1), shared);
    a->InsertElement(0, shared);
    EXPECT_EQ(shared->ReferenceCount(), 3);
    shared->SetValue("changed", -1);
    EXPECT_EQ(Text(a), "changed,changed");

    Variable* b = new Variable("b", -1);
    b->ArrayCopy(a, 1, 2, 1, false);  // shares
    EXPECT_EQ(shared->ReferenceCount(), 5);
    b->ArrayCopy(a, 1, 2, 3, true);   // copies
    EXPECT_EQ(shared->ReferenceCount(), 5);
    shared->SetValue("again", -1);
    EXPECT_EQ(Text(b), "again,again,changed,changed");

    // An element stored over itself keeps its value alive.
    Variable* first = b->Element(AggregateIndex::FromIndex(3), false);
    b->SetElement(AggregateIndex::FromIndex(3), first);
    EXPECT_EQ(Text(b->Element(AggregateIndex::FromIndex(3), false)), "changed");

    // An element may be stored into the variable under another kind of key:
    // the old contents go, the value stays.
    Variable* kept = b->Element(AggregateIndex::FromIndex(4), false);
    b->SetElement(AggregateIndex::FromName("k", -1), kept);
    EXPECT_EQ(b->AggregateType(), kAggregateStructure);
    EXPECT_EQ(Text(b), "changed");

    // An array may merge one of its own members after becoming an array.
    Variable* holder = new Variable("h", -1);
    Variable* inner = holder->Element(AggregateIndex::FromName("in", -1), true);
    Set(inner, 1, "p");
    Set(inner, 2, "q");
    holder->ArrayMerge(inner, -1, -1, -1, false);
    EXPECT_EQ(holder->AggregateType(), kAggregateArray);
    EXPECT_EQ(Dump(holder), ModelOf({"p", "q"}));

    holder->Release();
    b->Release();
    a->Release();
    EXPECT_EQ(shared->ReferenceCount(), 1);
    shared->Release();
}

TEST(AggregateTest, ArrayOperationsOfTheEdgeCaseList) {
    LiveCountGuard guard;
    Variable* v = Text("v");

    Variable* a = MakeArray({"1", "2", "3"});
    a->InsertElement(2, v);
    EXPECT_EQ(Dump(a), ModelOf({"1", "v", "2", "3"}));
    a->InsertElement(0, v);
    EXPECT_EQ(Dump(a), ModelOf({"1", "v", "2", "3", "v"}));
    a->Release();

    // A scalar becomes an array; index 0 then means 1.
    Variable* s = new Variable("s", -1, "old", -1);
    s->InsertElement(0, v);
    EXPECT_EQ(Dump(s), ModelOf({"v"}));
    s->InsertElement(7, v);
    EXPECT_EQ(s->ArrayMax(), 7);
    s->Release();

    a = MakeArray({"1", "2", "3", "4"});
    a->DeleteElement(AggregateIndex::FromIndex(2), true);
    EXPECT_EQ(Dump(a), ModelOf({"1", "3", "4"}));
    a->DeleteElement(AggregateIndex::FromIndex(9), true);  // missing: still shifts (nothing above)
    a->DeleteElement(AggregateIndex::FromName("1", -1), true);  // wrong kind: nothing
    EXPECT_EQ(Dump(a), ModelOf({"1", "3", "4"}));
    a->Release();

    a = MakeArray({"1", "2", "3", "4", "5"});
    a->DeleteArrayElements(3, -1, true);
    EXPECT_EQ(Dump(a), ModelOf({"1", "2"}));
    a->Release();
    a = MakeArray({"1", "2", "3", "4", "5"});
    a->DeleteArrayElements(2, 2, true);
    EXPECT_EQ(Dump(a), ModelOf({"1", "4", "5"}));
    a->Release();

    a = MakeArray({"a", "b", "c", "d"});
    a->ArrayCopy(a, 1, 3, 2, false);
    EXPECT_EQ(Dump(a), ModelOf({"a", "a", "b", "c"}));
    a->Release();
    a = MakeArray({"a", "b", "c", "d"});
    a->ArrayCopy(a, 2, 3, 1, true);
    EXPECT_EQ(Dump(a), ModelOf({"b", "c", "d", "d"}));
    a->Release();

    a = MakeArray({"a", "b", "c"});
    Variable* xy = MakeArray({"x", "y"});
    a->ArrayMerge(xy, 0, -1, 2, true);
    EXPECT_EQ(Dump(a), ModelOf({"a", "x", "y", "b", "c"}));

    // A negative count from a structure or a scalar opens no gap.
    Variable structure("st", -1);
    structure.Element(AggregateIndex::FromName("m", -1), true);
    Variable scalar("sc", -1, "z", -1);
    a->ArrayMerge(&structure, 0, -1, 2, true);
    a->ArrayMerge(&scalar, 0, -1, 2, true);
    EXPECT_EQ(Dump(a), ModelOf({"a", "x", "y", "b", "c"}));
    // A positive count opens the gap even when nothing fills it.
    a->ArrayMerge(&scalar, 1, 2, 2, true);
    Model expected = ModelOf({"a", "x", "y", "b", "c"});
    Move(expected, 2, 2);
    EXPECT_EQ(Dump(a), expected);
    a->Release();
    xy->Release();

    // Merging a range of an array into itself, split by the gap.
    a = MakeArray({"a", "b", "c", "d", "e"});
    a->ArrayMerge(a, 2, 3, 3, false);
    EXPECT_EQ(Dump(a), ModelOf({"a", "b", "b", "c", "d", "c", "d", "e"}));
    a->Release();

    a = MakeArray({"a", "b", "c"});
    EXPECT_EQ(a->ArrayMin(), 1);
    EXPECT_EQ(a->ArrayNext(-4), 1);
    EXPECT_EQ(a->ArrayNext(1), 2);
    EXPECT_EQ(a->ArrayNext(3), 0);
    EXPECT_EQ(a->ArrayPrevious(3), 2);
    EXPECT_EQ(a->ArrayPrevious(1), 0);
    EXPECT_EQ(a->ArrayPrevious(100), 3);
    a->Release();
    v->Release();
}

TEST(AggregateTest, TextJoinsLeavesDepthFirst) {
    LiveCountGuard guard;
    Variable* a = MakeArray({"a", ""});
    Variable* st = a->Element(AggregateIndex::FromIndex(3), true);
    st->Element(AggregateIndex::FromName("q", -1), true)->SetValue("c", -1);
    st->Element(AggregateIndex::FromName("p", -1), true)->SetValue("b", -1);
    EXPECT_EQ(Text(a), "a,,b,c");
    String out("pre", -1);
    a->AppendText(out);
    EXPECT_TRUE(out.Equals("pre,a,,b,c"));

    // An empty aggregate adds nothing; an alias adds its target's whole text
    // as one field, even an empty one.
    Variable* onlyEmpty = new Variable("e", -1);
    onlyEmpty->Element(AggregateIndex::FromIndex(1), true)->SetAggregateKind(kAggregateStructure);
    EXPECT_EQ(Text(onlyEmpty), "");
    Set(onlyEmpty, 2, "x");
    EXPECT_EQ(Text(onlyEmpty), "x");
    Variable* alias = onlyEmpty->Element(AggregateIndex::FromIndex(3), true);
    Variable* emptyTarget = new Variable("t", -1);
    emptyTarget->SetAggregateKind(kAggregateArray);
    alias->MakeReference(emptyTarget);
    EXPECT_EQ(Text(onlyEmpty), "x,");
    Set(emptyTarget, 1, "y");
    Set(emptyTarget, 2, "z");
    EXPECT_EQ(Text(onlyEmpty), "x,y,z");
    Variable* leafAlias = onlyEmpty->Element(AggregateIndex::FromIndex(4), true);
    leafAlias->MakeReference(a);
    EXPECT_EQ(Text(onlyEmpty), "x,y,z,a,,b,c");

    // An empty leaf adds a comma only after text is already there.
    Variable* lead = MakeArray({"", "b"});
    EXPECT_EQ(Text(lead), "b");
    lead->Release();
    emptyTarget->Release();
    onlyEmpty->Release();
    a->Release();
}

// --- Random operations against the model --------------------------------------

TEST(AggregateTest, RandomArrayOperationsMatchTheModel) {
    LiveCountGuard guard;
    std::mt19937 rng(20240611);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    Variable* vars[2] = {MakeArray({}), MakeArray({})};
    Model models[2];
    int serial = 0;
    for (int step = 0; step < 6000; ++step) {
        int di = pick(0, 1), si = pick(0, 1);
        Variable* dst = vars[di];
        Model& m = models[di];
        std::string value = "v" + std::to_string(++serial);
        int op = pick(0, 7);
        SCOPED_TRACE("step " + std::to_string(step) + " op " + std::to_string(op));
        switch (op) {
        case 0:
        case 1: {
            int k = pick(0, 30);
            Set(dst, k, value);
            m[k] = value;
            break;
        }
        case 2: {
            int k = pick(0, 32);
            bool shift = pick(0, 1);
            dst->DeleteElement(AggregateIndex::FromIndex(k), shift);
            ModelDeleteElement(m, k, shift);
            break;
        }
        case 3: {
            int k = pick(-2, 30);
            Variable* v = Text(value);
            dst->InsertElement(k, v);
            v->Release();
            ModelInsert(m, k, value);
            break;
        }
        case 4: {
            int start = pick(-3, 30), count = pick(-1, 6);
            bool shift = pick(0, 1);
            dst->DeleteArrayElements(start, count, shift);
            ModelDeleteRange(m, start, count, shift);
            break;
        }
        case 5: {
            int s = pick(-1, 30), n = pick(-1, 9), d = pick(-1, 30);
            bool copy = pick(0, 1);
            dst->ArrayCopy(vars[si], s, n, d, copy);
            ModelCopy(m, models[si], s, n, d, di == si, copy);
            break;
        }
        case 6: {
            int s = pick(-1, 30), n = pick(-1, 6), d = pick(-1, 30);
            bool copy = pick(0, 1);
            dst->ArrayMerge(vars[si], s, n, d, copy);
            ModelMerge(m, models[si], s, n, d);
            break;
        }
        case 7: {
            // Reads splay the tree into other shapes.
            int k = pick(0, 35);
            Variable* e = dst->Element(AggregateIndex::FromIndex(k), false);
            EXPECT_EQ(e != nullptr, m.count(k) == 1);
            dst->ArrayNext(pick(-1, 35));
            dst->ArrayPrevious(pick(0, 40));
            break;
        }
        }
        // Keep the arrays small enough to collide often.
        for (int i = 0; i < 2; ++i) {
            if (Max(models[i]) > 60) {
                vars[i]->DeleteArrayElements(40, -1, false);
                ModelDeleteRange(models[i], 40, -1, false);
            }
        }
        for (int i = 0; i < 2; ++i) {
            ASSERT_EQ(Dump(vars[i]), models[i]);
            ASSERT_EQ(vars[i]->ElementsUsed(), static_cast<int32_t>(models[i].size()));
            ASSERT_EQ(vars[i]->ArrayMax(), Max(models[i]));
            ASSERT_EQ(vars[i]->ArrayMin(), Min(models[i]));
        }
    }
    vars[0]->Release();
    vars[1]->Release();
}

// --- Size, range and lists ------------------------------------------------------

TEST(AggregateTest, LargeAggregatesWorkWithoutRecursion) {
    LiveCountGuard guard;
    const int32_t n = 100000;
    Variable* a = new Variable("a", -1);
    // Ascending inserts give the most lopsided tree.
    for (int32_t i = 1; i <= n; ++i) a->Element(AggregateIndex::FromIndex(i), true)->SetValueInteger(i);
    EXPECT_EQ(a->ElementsUsed(), n);
    int32_t count = 0;
    for (int32_t i = a->ArrayMin(); i != 0; i = a->ArrayNext(i)) ++count;
    EXPECT_EQ(count, n);

    a->InsertElement(1, a->Element(AggregateIndex::FromIndex(n), false));
    EXPECT_EQ(a->ArrayMax(), n + 1);
    EXPECT_EQ(a->Element(AggregateIndex::FromIndex(2), false)->ValueInteger(), 1);
    EXPECT_EQ(a->Element(AggregateIndex::FromIndex(1), false)->ValueInteger(), n);

    Variable* copy = new Variable(a);
    EXPECT_EQ(copy->ElementsUsed(), n + 1);
    EXPECT_EQ(Dump(copy), Dump(a));

    AggregateElementTree* tree = a->Tree();
    AggregateElementTree treeCopy(*tree);
    EXPECT_EQ(treeCopy.Count(), n + 1);
    EXPECT_NE(treeCopy.First()->Value(), tree->First()->Value());

    a->DeleteArrayElements(1, 10, true);
    EXPECT_EQ(a->ArrayMax(), n + 1 - 10);
    EXPECT_EQ(a->Element(AggregateIndex::FromIndex(1), false)->ValueInteger(), 10);
    a->DeleteElement(AggregateIndex::FromIndex(1), true);
    EXPECT_EQ(a->ArrayMax(), n - 10);

    copy->ArrayMerge(copy, 1, -1, 0, false);  // doubles it, sharing the values
    EXPECT_EQ(copy->ElementsUsed(), 2 * (n + 1));
    copy->SetValue("scalar", -1);  // drops the whole tree
    EXPECT_EQ(copy->ElementsUsed(), 0);
    copy->Release();
    a->Release();
}

TEST(AggregateTest, IndexesStayInTheThirtyTwoBitRange) {
    LiveCountGuard guard;
    Variable* a = new Variable("a", -1);
    Set(a, INT32_MAX, "top");
    Variable* v = Text("v");
    a->InsertElement(0, v);  // no index above the top one
    a->InsertElement(5, v);  // the top element cannot move up
    EXPECT_EQ(a->ElementsUsed(), 1);
    Variable* two = MakeArray({"x", "y"});
    a->ArrayMerge(two, 1, 2, 5, true);
    EXPECT_EQ(a->ElementsUsed(), 1);
    a->ArrayMerge(two, 1, 2, 0, true);
    EXPECT_EQ(a->ElementsUsed(), 1);
    a->ArrayCopy(two, 1, 2, INT32_MAX, true);  // y would land past the top
    EXPECT_EQ((Model{{INT32_MAX, "x"}}), Dump(a));
    a->DeleteArrayElements(INT32_MAX - 1, 5, true);
    EXPECT_EQ(a->ElementsUsed(), 0);

    Variable* b = MakeArray({});
    for (int i = 0; i <= 4; ++i) Set(b, i, std::to_string(i));
    b->DeleteArrayElements(-5, 7, true);  // removes 0 and 1
    EXPECT_EQ((Model{{0, "2"}, {1, "3"}, {2, "4"}}), Dump(b));
    b->DeleteArrayElements(-5, 3, true);  // the range holds no index
    EXPECT_EQ(b->ElementsUsed(), 3);
    b->DeleteArrayElements(0, -7, true);  // a negative count other than -1
    EXPECT_EQ(b->ElementsUsed(), 3);
    b->DeleteArrayElements(2, INT32_MAX, true);
    EXPECT_EQ(b->ElementsUsed(), 2);
    EXPECT_EQ(b->ArrayNext(INT32_MAX), 0);

    b->Release();
    two->Release();
    v->Release();
    a->Release();
}

TEST(AggregateTest, VariableListsHoldOneReferenceEach) {
    LiveCountGuard guard;
    Variable* alpha = new Variable("Alpha", -1, "1", -1);
    Variable* beta = new Variable("beta", -1, "2", -1);
    VariableList* list = new VariableList();
    list->Insert(alpha, kListTail);
    list->InsertItem(beta, kListTail, false);  // takes over our reference
    EXPECT_EQ(alpha->ReferenceCount(), 2);
    EXPECT_EQ(beta->ReferenceCount(), 1);
    EXPECT_EQ(list->Count(), 2);
    EXPECT_EQ(list->FindByName("ALPHA", -1), alpha);
    EXPECT_EQ(list->Current(), alpha);
    EXPECT_EQ(list->FindByName("bet", -1), nullptr);

    list->Clear();
    EXPECT_EQ(alpha->ReferenceCount(), 1);
    list->Insert(alpha, kListHead);
    list->InsertItem(alpha, kListHead, true);
    EXPECT_EQ(alpha->ReferenceCount(), 3);
    list->Delete();
    EXPECT_EQ(alpha->ReferenceCount(), 1);
    alpha->Release();
}

TEST(AggregateTest, ShiftIndexesMovesOnlyTheUpperElements) {
    LiveCountGuard guard;
    AggregateElementTree tree;
    for (int k = 1; k <= 150; ++k) tree.Insert(new AggregateElement(AggregateIndex::FromIndex(k)));
    EXPECT_EQ(tree.ShiftIndexes(100, 5), 1);
    EXPECT_EQ(tree.Find(AggregateIndex::FromIndex(100)), nullptr);
    EXPECT_NE(tree.Find(AggregateIndex::FromIndex(155)), nullptr);
    EXPECT_NE(tree.Find(AggregateIndex::FromIndex(99)), nullptr);
    EXPECT_EQ(tree.ShiftIndexes(1, -2), 0);  // would go below 0
    EXPECT_EQ(tree.First()->Key().Index(), 1);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizer's allocator (its header does not come with g++).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

// Bytes the allocator has handed out and not had back.
size_t HeapInUse() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return __sanitizer_get_current_allocated_bytes();
#else
    struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
#endif
}

// A compact array of integers that takes one element of another kind keeps
// every element and takes at most twice the memory it took.
TEST(AggregateTest, ACompactArrayWidenedByOneElementAtMostDoubles) {
    LiveCountGuard guard;
    // Room for more in its block, so that no store below grows it.
    constexpr int32_t kCount = (1 << 18) - 1000;
    char word[] = "widened";
    DenseValue text;
    text.type = DenseValue::kText;
    text.text = word;
    text.length = 7;
    DenseValue number;
    number.type = DenseValue::kDouble;
    number.number = -0.25;
    struct Case {
        const char* name;
        int32_t index;
        DenseValue value;
    };
    const Case cases[] = {
        {"a text inside", 5, text},
        {"a double as the last", kCount, number},
        {"a text after the last", kCount + 1, text},
        {"a text as the first", 1, text},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto* v = new Variable("a", 1);
        for (int32_t i = 1; i <= kCount; ++i) {
            DenseValue d;
            d.type = DenseValue::kInteger;
            d.integer = i * 3 - 2000000; // negatives too
            ASSERT_TRUE(v->PlainDenseStore(i, d));
        }
        const size_t before = HeapInUse();
        ASSERT_TRUE(v->PlainDenseStore(c.index, c.value));
        const size_t grown = HeapInUse() - before;
        EXPECT_LE(grown, (size_t{1} << 18) * sizeof(int32_t) + 64) << "the integers took 1 MB";
        int32_t wrong = 0;
        for (int32_t i = 1; i <= kCount + 1; ++i) {
            DenseValue got;
            ASSERT_TRUE(v->PlainDenseRead(i, &got));
            if (i == c.index) {
                EXPECT_EQ(got.type, c.value.type);
                if (got.type == DenseValue::kText) {
                    EXPECT_EQ(std::string(got.text, 7), word);
                } else {
                    EXPECT_EQ(got.number, -0.25);
                }
            } else if (i > kCount) {
                EXPECT_EQ(got.type, DenseValue::kMissing);
            } else if (got.type != DenseValue::kInteger || got.integer != i * 3 - 2000000) {
                ++wrong;
            }
        }
        EXPECT_EQ(wrong, 0);
        // The tree made of it holds the same.
        EXPECT_EQ(Text(v->Element(AggregateIndex::FromIndex(c.index), false)),
                  c.value.type == DenseValue::kText ? "widened" : "-0.25");
        EXPECT_EQ(Text(v->Element(AggregateIndex::FromIndex(3), false)), "-1999991");
        v->Release();
    }
    // A NaN whose bits are a cell's tag is no compact element: refused, with
    // nothing changed (the element operations then store it).
    auto* v = new Variable("a", 1);
    DenseValue d;
    d.type = DenseValue::kDouble;
    d.number = 1.5;
    ASSERT_TRUE(v->PlainDenseStore(1, d));
    const uint64_t tagged = 0xFFFA000000000001u;
    std::memcpy(&d.number, &tagged, sizeof d.number);
    EXPECT_FALSE(v->PlainDenseStore(2, d));
    EXPECT_FALSE(v->PlainDenseStore(1, d));
    DenseValue got;
    ASSERT_TRUE(v->PlainDenseRead(1, &got));
    EXPECT_EQ(got.number, 1.5);
    EXPECT_EQ(v->ElementsUsed(), 1);
    v->Release();
}

} // namespace
} // namespace vorn
