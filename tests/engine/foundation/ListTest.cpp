#include "engine/foundation/List.h"

#include <gtest/gtest.h>

#include <strings.h>
#include <vector>

using namespace vorn;

namespace {

struct Counted {
    static int live;
    int value;
    explicit Counted(int v = 0) : value(v) { ++live; }
    virtual ~Counted() { --live; }
};
int Counted::live = 0;

struct Derived : Counted {
    static int destroyed;
    using Counted::Counted;
    ~Derived() override { ++destroyed; }
};
int Derived::destroyed = 0;

std::vector<int> Forward(List<Counted>& l) {
    std::vector<int> out;
    for (Counted* c = l.First(); c; c = l.Next()) out.push_back(c->value);
    return out;
}
std::vector<int> Backward(List<Counted>& l) {
    std::vector<int> out;
    for (Counted* c = l.Last(); c; c = l.Previous()) out.push_back(c->value);
    return out;
}

} // namespace

TEST(List, InsertModesLinkBothWaysAndMoveTheCursor) {
    Counted c1(1), c2(2), c3(3), c4(4), c5(5), c6(6);
    for (int mode : {kListHead, kListCurrent, kListTail}) { // empty list: same for every mode
        List<Counted> one(false);
        one.Insert(&c1, mode);
        EXPECT_EQ(Forward(one), std::vector<int>{1});
        EXPECT_EQ(Backward(one), std::vector<int>{1});
    }
    List<Counted> l(false);
    l.Insert(&c3, kListTail);
    l.Insert(&c5, kListTail);
    l.Insert(&c1, kListHead);
    EXPECT_EQ(l.Current(), &c1);
    l.Last();
    l.Insert(&c4, kListCurrent); // before 5
    EXPECT_EQ(l.Current(), &c4);
    l.First();
    l.Insert(&c2, kListCurrent); // before the head: becomes the head
    EXPECT_EQ(Forward(l), (std::vector<int>{2, 1, 3, 4, 5}));
    EXPECT_EQ(Backward(l), (std::vector<int>{5, 4, 3, 1, 2}));
    // Walking off the end clears the cursor; inserting before no cursor appends.
    EXPECT_EQ(l.Current(), nullptr);
    l.Insert(&c6, kListCurrent);
    EXPECT_EQ(Backward(l).front(), 6);
    EXPECT_EQ(l.Count(), 6);
    EXPECT_EQ(l.Find(&c3), &c3);
    EXPECT_EQ(l.Previous(), &c1);
    Counted absent(9);
    EXPECT_EQ(l.Find(&absent), nullptr);
    EXPECT_EQ(l.Current(), nullptr);
}

TEST(List, RemoveModesAndCursorRules) {
    Counted c[5] = {Counted(0), Counted(1), Counted(2), Counted(3), Counted(4)};
    List<Counted> l(false);
    EXPECT_EQ(l.Remove(kListCurrent), nullptr);
    EXPECT_EQ(l.Remove(kListTail), nullptr);
    EXPECT_EQ(l.Count(), 0);
    for (auto& x : c) l.Insert(&x, kListTail);
    l.First();
    EXPECT_EQ(l.Remove(kListHead), &c[0]); // cursor on the head moves to the new head
    EXPECT_EQ(l.Current(), &c[1]);
    l.Last();
    EXPECT_EQ(l.Remove(kListTail), &c[4]); // cursor on the tail moves to the new tail
    EXPECT_EQ(l.Current(), &c[3]);
    l.First();
    EXPECT_EQ(l.Remove(kListTail), &c[3]); // a cursor elsewhere stays
    EXPECT_EQ(l.Current(), &c[1]);
    EXPECT_EQ(l.Remove(kListCurrent), &c[1]); // the cursor goes to the successor
    EXPECT_EQ(l.Current(), &c[2]);
    EXPECT_EQ(l.Remove(kListCurrent), &c[2]); // the last node: all null
    EXPECT_EQ(l.Current(), nullptr);
    EXPECT_EQ(l.First(), nullptr);
    EXPECT_EQ(l.Last(), nullptr);
    EXPECT_EQ(l.Count(), 0);

    for (int i = 0; i < 3; ++i) l.Insert(&c[i], kListTail);
    l.First();
    l.Next();
    EXPECT_EQ(l.Remove(kListCurrent), &c[1]); // the middle: both neighbours relinked
    EXPECT_EQ(Forward(l), (std::vector<int>{0, 2}));
    EXPECT_EQ(Backward(l), (std::vector<int>{2, 0}));
    // Mode 1 without a cursor, and unknown modes, change nothing.
    EXPECT_EQ(l.Remove(kListCurrent), nullptr);
    EXPECT_EQ(l.Remove(7), nullptr);
    EXPECT_EQ(l.Count(), 2);
}

namespace {
struct Releasing : List<Counted> {
    int released = 0;
    Releasing() : List<Counted>(true) {}
    ~Releasing() override { Clear(); }
    void DeleteItem(Counted*) override { ++released; }
};
} // namespace

TEST(List, OwnedItemsAreDeletedOnceThroughDeleteItem) {
    Counted::live = 0;
    Derived::destroyed = 0;
    {
        List<Counted> l(true);
        for (int i = 0; i < 4; ++i) l.Insert(new Derived(i), kListTail);
        delete l.Remove(kListHead); // handed back, not deleted by the list
        EXPECT_EQ(Counted::live, 3);
        l.Clear();
        EXPECT_EQ(Derived::destroyed, 4);
        for (int i = 0; i < 3; ++i) l.Insert(new Derived(i), kListHead);
    }
    EXPECT_EQ(Counted::live, 0);
    EXPECT_EQ(Derived::destroyed, 7);

    Counted kept(1);
    {
        List<Counted> l(true);
        l.Insert(&kept, kListTail);
        l.RemoveAll(); // nodes only
        EXPECT_EQ(l.Count(), 0);
        Releasing r;
        r.Insert(&kept, kListTail);
        r.Insert(&kept, kListTail);
        r.Clear();
        EXPECT_EQ(r.released, 2);
        r.Insert(&kept, kListTail);
    }
    EXPECT_EQ(Counted::live, 1);
}

namespace {
struct Index {
    const char* name;
};
struct IndexList : SearchableList<Index, const char*> {
    IndexList() : SearchableList<Index, const char*>(false) {}
    int Compare(const char* key, const Index* item) const override {
        return strcasecmp(key, item->name ? item->name : "");
    }
};
} // namespace

TEST(SearchableList, FindByKeyLeavesTheCursorOnTheFirstMatch) {
    Index a{"Primary"}, b{nullptr}, c{"second"}, d{"SECOND"};
    IndexList l;
    for (Index* x : {&a, &b, &c, &d}) l.Insert(x, kListTail);
    EXPECT_EQ(l.Find("SECOND"), &c);
    EXPECT_EQ(l.Current(), &c);
    EXPECT_EQ(l.Find(""), &b); // no name counts as the empty text
    EXPECT_EQ(l.Find("missing"), nullptr);
    EXPECT_EQ(l.Current(), nullptr);
    EXPECT_EQ(l.Find(&d), &d);
}
