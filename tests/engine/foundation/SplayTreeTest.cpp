#include "engine/foundation/SplayTree.h"

#include "engine/foundation/Hash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

using namespace vorn;

namespace {

struct Elem {
    static int live;
    int key;
    explicit Elem(int k) : key(k) { ++live; }
    Elem(const Elem& o) : key(o.key) { ++live; }
    virtual ~Elem() { --live; }
    const int& Key() const { return key; }
};
int Elem::live = 0;

using Tree = SplayTree<Elem, int>;

std::vector<int> Keys(const Tree& t) {
    List<Elem> list(false);
    t.Walk(list);
    std::vector<int> out;
    for (Elem* e = list.First(); e; e = list.Next()) out.push_back(e->key);
    return out;
}

// Exposes the shape for tests that need a particular one.
struct ShapedTree : Tree {
    ShapedTree() : Tree(true) {}
    Node* Make(int key, Node* left = nullptr, Node* right = nullptr) {
        Node* n = new Node;
        n->item = new Elem(key);
        n->left = left;
        n->right = right;
        ++count_;
        return n;
    }
    void SetRoot(Node* n) { root_ = n; }
    Node* Root() const { return root_; }
    int Visited() const {
        int n = 0;
        VisitSubtree(root_, [&](Node*) { ++n; });
        return n;
    }
};

} // namespace

TEST(SplayTree, RemoveTakesTheSuccessorFromDeepInTheRightSubtree) {
    Elem::live = 0;
    {
        ShapedTree t;
        // 50 is the root; its right child 70 has a left subtree 60 -> 65.
        t.SetRoot(t.Make(50, t.Make(30), t.Make(70, t.Make(60, nullptr, t.Make(65)), t.Make(80))));
        Elem* removed = t.Remove(50);
        ASSERT_NE(removed, nullptr);
        EXPECT_EQ(removed->key, 50);
        delete removed;
        EXPECT_EQ(t.Root()->item->key, 60);
        EXPECT_EQ(t.Count(), 5);
        EXPECT_EQ(Keys(t), (std::vector<int>{30, 60, 65, 70, 80}));
        for (int k : {30, 60, 65, 70, 80}) EXPECT_EQ(t.Find(k)->key, k);
        EXPECT_EQ(t.Remove(50), nullptr);
        EXPECT_EQ(t.Count(), 5);
    }
    EXPECT_EQ(Elem::live, 0);
}

TEST(SplayTree, RandomOperationsMatchAnOrderedSet) {
    Elem::live = 0;
    std::mt19937 rng(12345);
    Tree t(true);
    std::set<int> model;
    for (int step = 0; step < 20000; ++step) {
        int k = static_cast<int>(rng() % 500);
        switch (rng() % 4) {
        case 0:
        case 1:
            if (!t.Find(k)) {
                t.Insert(new Elem(k));
                model.insert(k);
            }
            break;
        case 2: {
            Elem* e = t.Remove(k);
            ASSERT_EQ(e != nullptr, model.erase(k) == 1);
            if (e) {
                EXPECT_EQ(e->key, k);
            }
            delete e;
            break;
        }
        default: {
            auto up = model.upper_bound(k);
            Elem* s = t.Successor(k);
            ASSERT_EQ(s ? s->key : -1, up == model.end() ? -1 : *up);
            auto low = model.lower_bound(k);
            Elem* p = t.Predecessor(k);
            ASSERT_EQ(p ? p->key : -1, low == model.begin() ? -1 : *std::prev(low));
        }
        }
        ASSERT_EQ(t.Count(), static_cast<int32_t>(model.size()));
    }
    EXPECT_EQ(Keys(t), std::vector<int>(model.begin(), model.end()));
    EXPECT_EQ(t.First()->key, *model.begin());
    EXPECT_EQ(t.Last()->key, *model.rbegin());
    EXPECT_EQ(Elem::live, static_cast<int>(model.size()));
    t.Clear();
    EXPECT_EQ(Elem::live, 0);
    EXPECT_EQ(t.Count(), 0);
    EXPECT_EQ(t.First(), nullptr);
    EXPECT_EQ(t.Find(1), nullptr);
    EXPECT_EQ(t.Successor(1), nullptr);
    EXPECT_EQ(Keys(t), std::vector<int>{});
}

TEST(SplayTree, WalkOrderIsTheSameFor99And100Items) {
    for (int n : {99, 100}) {
        Tree t(true);
        for (int i = 0; i < n; ++i) t.Insert(new Elem((i * 37) % n));
        std::vector<int> expected(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) expected[static_cast<size_t>(i)] = i;
        EXPECT_EQ(Keys(t), expected);
        Elem marker(-1); // the walk appends after what the list holds
        List<Elem> list(false);
        list.Insert(&marker, kListTail);
        t.Walk(list);
        EXPECT_EQ(list.First(), &marker);
        EXPECT_EQ(list.Last()->key, n - 1);
    }
}

TEST(SplayTree, DegenerateTreesNeedNoRecursion) {
    constexpr int kItems = 200000;
    Elem::live = 0;
    {
        auto* t = new Tree(true);
        for (int i = 0; i < kItems; ++i) t->Insert(new Elem(i)); // a chain kItems deep
        std::vector<int> keys = Keys(*t);
        ASSERT_EQ(keys.size(), static_cast<size_t>(kItems));
        EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
        Tree copy(*t); // an owning copy holds copies of the items
        EXPECT_EQ(copy.Count(), kItems);
        EXPECT_EQ(Elem::live, 2 * kItems);
        delete t;
        EXPECT_EQ(Elem::live, kItems);
        EXPECT_EQ(copy.Find(0)->key, 0); // splays the whole chain
        EXPECT_EQ(Keys(copy), keys);
        Tree shared(false);
        shared.Insert(copy.Find(5));
        EXPECT_EQ(Tree(shared).Find(5), copy.Find(5)); // a non-owning copy shares items
    }
    EXPECT_EQ(Elem::live, 0);

    ShapedTree deep;
    ShapedTree::Node* n = nullptr;
    for (int i = 0; i < kItems; ++i) n = deep.Make(i, nullptr, n);
    deep.SetRoot(n);
    EXPECT_EQ(deep.Visited(), kItems);
}

namespace {
// A key type with its own order: names compared without regard to case over
// the shorter length, then the shorter first.
struct Name {
    std::string text;
};
struct Member {
    Name name;
    const Name& Key() const { return name; }
};
} // namespace

namespace vorn {
template <>
struct SplayTreeKeyOrder<Name> {
    static int Compare(const Name& k, const Name& e) {
        size_t n = std::min(k.text.size(), e.text.size());
        int c = CompareTextNoCase(k.text.data(), e.text.data(), static_cast<int32_t>(n));
        if (c) return c;
        return k.text.size() < e.text.size() ? -1 : (k.text.size() > e.text.size() ? 1 : 0);
    }
};
} // namespace vorn

TEST(SplayTree, KeyOrderCanBeSpecialised) {
    Member zeta{{"Zeta"}}, alpha{{"alpha"}}, beta{{"Beta"}};
    SplayTree<Member, Name> t(false);
    for (Member* m : {&zeta, &alpha, &beta}) t.Insert(m);
    List<Member> list(false);
    t.Walk(list);
    std::vector<std::string> names;
    for (Member* m = list.First(); m; m = list.Next()) names.push_back(m->name.text);
    EXPECT_EQ(names, (std::vector<std::string>{"alpha", "Beta", "Zeta"}));
    EXPECT_EQ(t.Find(Name{"BETA"}), &beta);
    EXPECT_EQ(t.Find(Name{"Bet"}), nullptr);
}
