#include "engine/foundation/Stack.h"

#include <gtest/gtest.h>

using namespace vorn;

namespace {
struct Item {
    static int live;
    int value;
    explicit Item(int v) : value(v) { ++live; }
    virtual ~Item() { --live; }
};
int Item::live = 0;
} // namespace

TEST(Stack, PopTakesTheCursorAndDropsWhatIsAboveIt) {
    Item::live = 0;
    {
        Stack<Item> s(true);
        EXPECT_EQ(s.Pop(), nullptr);
        for (int i = 1; i <= 5; ++i) s.Push(new Item(i));
        Item* top = s.Pop();
        EXPECT_EQ(top->value, 5);
        delete top;
        EXPECT_EQ(s.Top()->value, 4);
        EXPECT_EQ(s.Next()->value, 3);
        EXPECT_EQ(s.Next()->value, 2);
        Item* popped = s.Pop(); // 4 and 3 are deleted first
        EXPECT_EQ(popped->value, 2);
        EXPECT_EQ(Item::live, 2);
        delete popped;
        EXPECT_EQ(s.Count(), 1);
        EXPECT_EQ(s.Top()->value, 1);
        // A cursor walked past the bottom counts as the top.
        s.Push(new Item(6));
        s.Next();
        EXPECT_EQ(s.Next(), nullptr);
        popped = s.Pop();
        EXPECT_EQ(popped->value, 6);
        delete popped;
        s.Push(new Item(7));
        s.Clear();
        EXPECT_EQ(Item::live, 0);
        EXPECT_EQ(s.Count(), 0);
        EXPECT_EQ(s.Top(), nullptr);
        for (int i = 0; i < 3; ++i) s.Push(new Item(i));
    }
    EXPECT_EQ(Item::live, 0); // the destructor deleted the rest once
    Item kept(1);
    {
        Stack<Item> s(false);
        s.Push(&kept);
    }
    EXPECT_EQ(Item::live, 1);
}
