#include <gtest/gtest.h>

#include <thread>

#include "engine/foundation/KeptBlocks.h"

namespace vorn {
namespace {

using Kept = KeptBlocks<4096, 2>;

TEST(KeptBlocksTest, AThreadTakesBackWhatItGaveUpToItsLimit) {
    void* a = Kept::Take();
    void* b = Kept::Take();
    void* c = Kept::Take();
    ASSERT_TRUE(a && b && c);
    Kept::Give(a);
    Kept::Give(b);
    Kept::Give(c); // past the limit: freed
    void* first = Kept::Take();
    void* second = Kept::Take();
    EXPECT_EQ(first, b);
    EXPECT_EQ(second, a);
    std::memset(first, 1, 4096); // whole again once taken
    std::memset(second, 2, 4096);
    // Another thread keeps its own.
    void* other = nullptr;
    std::thread([&] {
        Kept::Give(Kept::Take());
        other = Kept::Take();
        Kept::Give(other);
    }).join();
    Kept::Give(first);
    EXPECT_EQ(Kept::Take(), first);
    Kept::Give(first);
    Kept::Give(second);
}

#if defined(__SANITIZE_ADDRESS__)
TEST(KeptBlocksDeathTest, AKeptBlockIsNotToBeUsed) {
    EXPECT_DEATH(
        {
            char* block = static_cast<char*>(Kept::Take());
            Kept::Give(block);
            block[100] = 1;
        },
        "use-after-poison");
}
#endif

} // namespace
} // namespace vorn
