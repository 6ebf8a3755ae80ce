// The page cache of an index file. Pages stay valid as long as the header's
// change counter and page count read under the lock are those the pages were
// read at: every change of the tree moves the counter, a split the count.
// Pages are found by number through a table and replaced by the clock.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace vorn {

// Up to 64 MB of pages, reached only by bulk work over a large index; a
// request that touches a few pages keeps a few.
inline constexpr int32_t kDefaultCachePages = 65536;

class KPZPageCache {
public:
    void SetLimit(int32_t pages) {
        Clear();
        limit = pages < 0 ? 0 : pages;
    }

    void Check(uint32_t newCounter, uint32_t newPages, int32_t newPageSize) {
        if (tagged && newCounter == counter && newPages == pages && newPageSize == pageSize) return;
        Clear();
        if (newPageSize != pageSize) {
            chunks.clear();
            pageSize = newPageSize;
        }
        Retag(newCounter, newPages);
    }

    void Retag(uint32_t newCounter, uint32_t newPages) {
        tagged = true;
        counter = newCounter;
        pages = newPages;
    }

    void Clear() {
        for (int32_t s = 0; s < slots; ++s) slotOf[pageOf[static_cast<size_t>(s)]] = 0;
        slots = 0;
        hand = 0;
        tagged = false;
    }

    bool Get(uint32_t n, uint8_t* out) {
        if (n >= slotOf.size() || slotOf[n] == 0) return false;
        int32_t s = slotOf[n] - 1;
        std::memcpy(out, SlotBytes(s), static_cast<size_t>(pageSize));
        used[static_cast<size_t>(s)] = 1;
        return true;
    }

    void Put(uint32_t n, const uint8_t* bytes) {
        if (limit == 0 || n >= kMaxMappedPage || pageSize <= 0) return;
        if (n >= slotOf.size()) {
            size_t size = slotOf.size() < 64 ? 64 : slotOf.size();
            while (size <= n) size *= 2;
            slotOf.resize(size < kMaxMappedPage ? size : kMaxMappedPage, 0);
        }
        int32_t s = slotOf[n] - 1;
        if (s < 0) {
            if (slots < limit) {
                s = slots++;
                if (static_cast<size_t>(s / kChunkPages) >= chunks.size())
                    chunks.emplace_back(new uint8_t[static_cast<size_t>(pageSize) * kChunkPages]);
                if (static_cast<size_t>(s) >= pageOf.size()) {
                    pageOf.resize(static_cast<size_t>(s) + kChunkPages);
                    used.resize(static_cast<size_t>(s) + kChunkPages);
                }
            } else {
                // The clock: the first page not used since the hand last passed.
                while (used[static_cast<size_t>(hand)]) {
                    used[static_cast<size_t>(hand)] = 0;
                    hand = (hand + 1) % slots;
                }
                s = hand;
                hand = (hand + 1) % slots;
                slotOf[pageOf[static_cast<size_t>(s)]] = 0;
            }
            slotOf[n] = s + 1;
            pageOf[static_cast<size_t>(s)] = n;
        }
        std::memcpy(SlotBytes(s), bytes, static_cast<size_t>(pageSize));
        used[static_cast<size_t>(s)] = 1;
    }

private:
    // Page numbers above this are read every time rather than mapped.
    static constexpr uint32_t kMaxMappedPage = 1u << 22;
    static constexpr int32_t kChunkPages = 64;

    uint8_t* SlotBytes(int32_t s) {
        return chunks[static_cast<size_t>(s / kChunkPages)].get() +
               static_cast<size_t>(s % kChunkPages) * static_cast<size_t>(pageSize);
    }

    int32_t limit = kDefaultCachePages;
    int32_t pageSize = 0;
    bool tagged = false;
    uint32_t counter = 0;
    uint32_t pages = 0;
    std::vector<int32_t> slotOf; // page number -> slot + 1
    std::vector<uint32_t> pageOf;
    std::vector<uint8_t> used;
    std::vector<std::unique_ptr<uint8_t[]>> chunks;
    int32_t slots = 0;
    int32_t hand = 0;
};

} // namespace vorn
