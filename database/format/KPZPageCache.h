// The page cache of an index file. Pages stay valid as long as the header's
// change counter and page count read under the lock are those the pages were
// read at: every change of the tree moves the counter, a split the count.
// Pages are found by number through a table and replaced by the clock.
//
// A page is kept packed when that loses nothing: its entries' keys without
// the zeros that fill their fields, so that a tree of short keys in wide
// fields (a page of 1,024 bytes often holds some 200 of use) fits a few
// times over in the same memory. A page with other bytes than zeros past its
// keys or its last entry is kept as it is. Either way Get gives back the
// bytes Put was given.
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
    // The cache holds at most `pages` pages' worth of bytes (0: none).
    void SetLimit(int32_t pages) {
        Clear();
        limit = pages < 0 ? 0 : pages;
    }

    void Check(uint32_t newCounter, uint32_t newPages, int32_t newPageSize, int32_t newEntrySize) {
        if (tagged && newCounter == counter && newPages == pages && newPageSize == pageSize &&
            newEntrySize == entrySize)
            return;
        Clear();
        if (newPageSize != pageSize || newEntrySize != entrySize) {
            slots.clear();
            bytes = 0;
            pageSize = newPageSize;
            entrySize = newEntrySize;
        }
        Retag(newCounter, newPages);
    }

    void Retag(uint32_t newCounter, uint32_t newPages) {
        tagged = true;
        counter = newCounter;
        pages = newPages;
    }

    // The pages go; their buffers stay for the pages read next.
    void Clear() {
        for (Slot& slot : slots) {
            if (slot.page != kNone) slotOf[slot.page] = 0;
            slot.page = kNone;
        }
        hand = 0;
        firstFree = 0;
        tagged = false;
    }

    bool Get(uint32_t n, uint8_t* out) {
        if (n >= slotOf.size() || slotOf[n] == 0) return false;
        Slot& slot = slots[static_cast<size_t>(slotOf[n] - 1)];
        if (slot.packed)
            Unpack(slot.data.get(), out);
        else
            std::memcpy(out, slot.data.get(), static_cast<size_t>(pageSize));
        slot.used = 1;
        return true;
    }

    void Put(uint32_t n, const uint8_t* page) {
        if (limit == 0 || n >= kMaxMappedPage || pageSize <= 0) return;
        if (n >= slotOf.size()) {
            size_t size = slotOf.size() < 64 ? 64 : slotOf.size();
            while (size <= n) size *= 2;
            slotOf.resize(size < kMaxMappedPage ? size : kMaxMappedPage, 0);
        }
        if (packing.size() < static_cast<size_t>(pageSize)) {
            packing.resize(static_cast<size_t>(pageSize));
            zeros.assign(static_cast<size_t>(pageSize), 0);
        }
        int32_t packedSize = Pack(page, packing.data());
        bool packed = packedSize > 0;
        uint32_t size = static_cast<uint32_t>(packed ? packedSize : pageSize);
        int32_t s = slotOf[n] - 1;
        if (s >= 0) {
            Slot& slot = slots[static_cast<size_t>(s)];
            if (slot.capacity < size) {
                slotOf[n] = 0;
                slot.page = kNone;
                s = -1;
            }
        }
        if (s < 0) s = Place(size);
        if (s < 0) return;
        Slot& slot = slots[static_cast<size_t>(s)];
        std::memcpy(slot.data.get(), packed ? packing.data() : page, size);
        slot.packed = packed;
        slot.page = n;
        slot.used = 1;
        slotOf[n] = s + 1;
    }

    // The bytes the pages' buffers take.
    int64_t Bytes() const { return bytes; }

private:
    // Page numbers above this are read every time rather than mapped.
    static constexpr uint32_t kMaxMappedPage = 1u << 22;
    static constexpr uint32_t kNone = ~0u;

    struct Slot {
        std::unique_ptr<uint8_t[]> data;
        uint32_t capacity = 0;
        uint32_t page = kNone;
        bool packed = false;
        uint8_t used = 0;
    };

    int64_t Budget() const { return static_cast<int64_t>(limit) * pageSize; }

    // A slot with room for size bytes: a free one, a new one within the
    // budget, or one the clock takes from a page not used since the hand last
    // passed (others then give their bytes up while the budget is passed);
    // -1 when none can be had.
    int32_t Place(uint32_t size) {
        for (; firstFree < slots.size(); ++firstFree) {
            Slot& slot = slots[firstFree];
            if (slot.page == kNone && slot.capacity >= size) return static_cast<int32_t>(firstFree++);
        }
        if (bytes + size <= Budget()) {
            Slot slot;
            slot.data.reset(new uint8_t[size]);
            slot.capacity = size;
            bytes += size;
            slots.push_back(std::move(slot));
            return static_cast<int32_t>(slots.size() - 1);
        }
        int32_t taken = Victim(-1);
        if (taken < 0) return -1;
        Slot& slot = slots[static_cast<size_t>(taken)];
        if (slot.capacity < size) {
            bytes += static_cast<int64_t>(size) - slot.capacity;
            slot.data.reset(new uint8_t[size]);
            slot.capacity = size;
            while (bytes > Budget()) {
                int32_t other = Victim(taken);
                if (other < 0) break;
                Slot& freed = slots[static_cast<size_t>(other)];
                bytes -= freed.capacity;
                freed.data.reset();
                freed.capacity = 0;
            }
        }
        return taken;
    }

    // The clock's next slot (other than `except`), its page dropped; -1 when
    // two rounds find none.
    int32_t Victim(int32_t except) {
        for (size_t steps = 0; steps < 2 * slots.size(); ++steps) {
            size_t at = hand;
            hand = (hand + 1) % slots.size();
            Slot& slot = slots[at];
            if (static_cast<int32_t>(at) == except || (except >= 0 && slot.capacity == 0)) continue;
            if (slot.used && slot.page != kNone) {
                slot.used = 0;
                continue;
            }
            if (slot.page != kNone) slotOf[slot.page] = 0;
            slot.page = kNone;
            return static_cast<int32_t>(at);
        }
        return -1;
    }

    // count (2 bytes), then per entry the child, the record, the key's
    // length (2 bytes) and its bytes, then the last child; 0 when the page
    // holds bytes this would lose.
    int32_t Pack(const uint8_t* page, uint8_t* out) const {
        uint32_t count = Load32(page);
        int32_t width = entrySize - 8;
        if (width < 1 || count > static_cast<uint32_t>((pageSize - 8) / entrySize)) return 0;
        uint8_t* at = out;
        Store16(at, static_cast<uint16_t>(count));
        at += 2;
        const uint8_t* entry = page + 4;
        for (uint32_t i = 0; i < count; ++i, entry += entrySize) {
            const uint8_t* key = entry + 8;
            size_t length = strnlen(reinterpret_cast<const char*>(key), static_cast<size_t>(width));
            if (!Zeros(key + length, static_cast<size_t>(width) - length)) return 0;
            if (at + 10 + length > out + pageSize) return 0;
            std::memcpy(at, entry, 8);
            Store16(at + 8, static_cast<uint16_t>(length));
            std::memcpy(at + 10, key, length);
            at += 10 + length;
        }
        if (!Zeros(entry + 4, static_cast<size_t>(page + pageSize - (entry + 4)))) return 0;
        if (at + 4 > out + pageSize) return 0;
        std::memcpy(at, entry, 4);
        at += 4;
        return static_cast<int32_t>(at - out);
    }

    // Whether the n bytes are all 0: compared against the zeros of a page.
    bool Zeros(const uint8_t* at, size_t n) const {
        return n == 0 || (at[0] == 0 && std::memcmp(at, zeros.data(), n) == 0);
    }

    void Unpack(const uint8_t* in, uint8_t* page) const {
        std::memset(page, 0, static_cast<size_t>(pageSize));
        uint16_t count = Load16(in);
        in += 2;
        Store32(page, count);
        uint8_t* entry = page + 4;
        for (uint16_t i = 0; i < count; ++i, entry += entrySize) {
            uint16_t length = Load16(in + 8);
            std::memcpy(entry, in, 8);
            std::memcpy(entry + 8, in + 10, length);
            in += 10 + length;
        }
        std::memcpy(entry, in, 4);
    }

    static uint32_t Load32(const uint8_t* p) {
        return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
               static_cast<uint32_t>(p[3]) << 24;
    }
    static void Store32(uint8_t* p, uint32_t v) {
        for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
    static uint16_t Load16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
    static void Store16(uint8_t* p, uint16_t v) {
        p[0] = static_cast<uint8_t>(v);
        p[1] = static_cast<uint8_t>(v >> 8);
    }

    int32_t limit = kDefaultCachePages;
    int32_t pageSize = 0;
    int32_t entrySize = 0;
    bool tagged = false;
    uint32_t counter = 0;
    uint32_t pages = 0;
    std::vector<int32_t> slotOf; // page number -> slot + 1
    std::vector<Slot> slots;
    std::vector<uint8_t> packing;
    std::vector<uint8_t> zeros;
    int64_t bytes = 0;
    size_t hand = 0;
    size_t firstFree = 0;
};

} // namespace vorn
