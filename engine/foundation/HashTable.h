// Chained hash table keyed by a name (or other bytes) taken from each item.
//
// Items live in slots handed out in insertion order; a bucket holds the first
// slot of its chain and each slot links to the next. Slots are never reused
// until Clear (or CompactWhenSparse, which keeps the order), so walking slots
// 0..Used()-1 visits the items in insertion order (skipping the null slots
// that removals leave behind). Each chain is kept sorted by key (length
// first, then bytes) so that a miss ends early; equal keys stay in insertion
// order and Find returns the oldest.
#pragma once

#include "engine/foundation/Hash.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace vorn {

// A key as bytes; length -1 means up to the first NUL.
struct HashKeyView {
    const char* bytes;
    int32_t length;
};

// How a table finds the key of an item. By default the item's Name() gives
// either a const char* (NUL-terminated) or a reference to an object with
// Text() and Length(), such as String. Other element types specialise:
//   template <> struct HashTableKey<Foo> {
//       static HashKeyView Of(const Foo* f) { return {f->key, -1}; } };
// The bytes must stay valid, and unchanged, while the item is in a table.
template <class T>
struct HashTableKey {
    static HashKeyView Of(const T* item) {
        using Name = decltype(item->Name());
        if constexpr (std::is_convertible_v<Name, const char*>) {
            return {item->Name(), -1};
        } else {
            static_assert(std::is_reference_v<Name>,
                          "Name() must return a reference, or specialise HashTableKey");
            const auto& name = item->Name();
            return {name.Text(), name.Length()};
        }
    }
};

// Length of a key given as (bytes, length): -1 (any negative) means up to
// the NUL; a null pointer is the empty key.
inline int32_t HashKeyLength(const char* bytes, int32_t length) {
    if (!bytes) return 0;
    if (length >= 0) return length;
    size_t n = std::strlen(bytes);
    return n > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(n);
}

template <class T>
class HashTable {
public:
    // Slot arrays always grow by this many entries.
    static constexpr int32_t kGrowth = 512;
    static constexpr int32_t kMaxBits = 30;

    // 2^bits buckets (bits is held to 0..30); initialSlots is the first length
    // of the slot arrays. Most tables of the system ask for bits 12 and 512.
    //
    // Those are the table's nominal sizes, which HashKey and Capacity report.
    // Memory follows what the table holds: the buckets in use are a power of
    // two up to the nominal count, doubled while there are more items than
    // buckets, and the slot arrays double up to the nominal capacity. A
    // table made and dropped per request with a handful of items stays small.
    HashTable(bool owns, bool caseInsensitive, int32_t bits, int32_t initialSlots)
        : owns_(owns), caseInsensitive_(caseInsensitive) {
        bits_ = bits < 0 ? 0 : (bits > kMaxBits ? kMaxBits : bits);
        bucketCount_ = static_cast<int32_t>(1u << bits_);
        capacity_ = initialSlots > 0 ? initialSlots : 0;
    }
    HashTable(const HashTable&) = delete;
    HashTable& operator=(const HashTable&) = delete;

    virtual ~HashTable() {
        if (owns_) DeleteItems();
        delete[] buckets_;
        delete[] next_;
        delete[] items_;
        delete[] hashes_;
    }

    // Empties the table; the arrays keep their sizes and every slot is free again.
    virtual void Clear() {
        // Chains are cut first, so an item's destructor finds nothing half-freed.
        for (int32_t i = 0; i < activeCount_; ++i) buckets_[i] = -1;
        if (owns_) DeleteItems();
        for (int32_t i = 0; i < used_; ++i) {
            next_[i] = -1;
            items_[i] = nullptr;
        }
        count_ = 0;
        used_ = 0;
        live_ = 0;
    }

    // The bucket of the item's key.
    virtual int32_t HashItem(const T* item) const {
        HashKeyView k = HashTableKey<T>::Of(item);
        return HashKey(k.bytes, k.length);
    }

    // Order of the item's key against (key, length): -1, 0 or 1.
    virtual int CompareKey(const T* item, const char* key, int32_t length) const {
        HashKeyView k = HashTableKey<T>::Of(item);
        return CompareKeyBytes(k.bytes, k.length, key, length);
    }

    // Order of a's key against b's key: -1, 0 or 1.
    virtual int CompareItems(const T* a, const T* b) const {
        HashKeyView ka = HashTableKey<T>::Of(a);
        HashKeyView kb = HashTableKey<T>::Of(b);
        return CompareKeyBytes(ka.bytes, ka.length, kb.bytes, kb.length);
    }

    int32_t HashKey(const char* key, int32_t length) const {
        int32_t n = HashKeyLength(key, length);
        uint32_t h = caseInsensitive_ ? HashLookup2NoCase(key, static_cast<uint32_t>(n), 0)
                                      : HashLookup2(key, static_cast<uint32_t>(n), 0);
        return static_cast<int32_t>(h & (static_cast<uint32_t>(bucketCount_) - 1u));
    }

    T* Find(const char* key, int32_t length = -1) const {
        if (live_ == 0) return nullptr;
        length = HashKeyLength(key, length);
        int32_t h = HashKey(key, length);
        // Items of other buckets share a chain in use; only equal buckets can
        // hold an equal key, and the chain stays sorted by key as a whole.
        for (int32_t e = buckets_[h & (activeCount_ - 1)]; e != -1; e = next_[e]) {
            if (hashes_[e] != h) continue;
            int c = CompareKey(items_[e], key, length);
            if (c == 0) return items_[e];
            if (c > 0) break;
        }
        return nullptr;
    }

    // Never looks for an equal key: callers that replace remove first.
    void Insert(T* item) {
        if (used_ == capacity_) Grow();
        if (used_ == room_) GrowRoom();
        if (activeCount_ == 0)
            Rehash(kFirstBits);
        else if (live_ >= activeCount_ && activeBits_ < bits_)
            Rehash(activeBits_ + 1);
        int32_t s = used_;
        items_[s] = item;
        hashes_[s] = HashItem(item);
        if (!Link(s)) ++count_;
        ++used_;
        ++live_;
    }

    // Unlinks the oldest item with that key and returns it (not deleted).
    T* Remove(const char* key, int32_t length = -1) {
        if (live_ == 0) return nullptr;
        length = HashKeyLength(key, length);
        int32_t h = HashKey(key, length);
        int32_t b = h & (activeCount_ - 1);
        int32_t prev = -1;
        for (int32_t e = buckets_[b]; e != -1; prev = e, e = next_[e]) {
            if (hashes_[e] != h) continue;
            int c = CompareKey(items_[e], key, length);
            if (c > 0) break;
            if (c == 0) {
                if (prev == -1)
                    buckets_[b] = next_[e];
                else
                    next_[prev] = next_[e];
                T* item = items_[e];
                items_[e] = nullptr;
                next_[e] = -1;
                --count_;
                --live_;
                return item;
            }
        }
        return nullptr;
    }

    // Moves the items down over the slots that removals emptied, in their
    // order, once those outnumber the items by a growth step: a table whose
    // items come and go (the views a request opens and closes) stays the
    // size of what it holds, at a constant cost per removal. Slot numbers
    // change, so never during a walk over them.
    void CompactWhenSparse() {
        if (used_ - live_ <= live_ + kGrowth) return;
        int32_t to = 0;
        for (int32_t s = 0; s < used_; ++s) {
            if (!items_[s]) continue;
            items_[to] = items_[s];
            hashes_[to] = hashes_[s];
            ++to;
        }
        for (int32_t s = 0; s < used_; ++s) {
            next_[s] = -1;
            if (s >= to) items_[s] = nullptr;
        }
        used_ = to;
        for (int32_t i = 0; i < activeCount_; ++i) buckets_[i] = -1;
        // Relinked in slot order, equal keys keep their insertion order.
        count_ = 0;
        for (int32_t s = 0; s < used_; ++s)
            if (!Link(s)) ++count_;
    }

    // Slots in insertion order; ItemAt gives null for a removed item.
    int32_t Used() const { return used_; }
    int32_t Capacity() const { return capacity_; }
    T* ItemAt(int32_t slot) const { return slot >= 0 && slot < used_ ? items_[slot] : nullptr; }

    bool Owns() const { return owns_; }
    bool CaseInsensitive() const { return caseInsensitive_; }
    int32_t Bits() const { return bits_; }
    // Buckets allocated now (a power of two, at most 2^Bits()).
    int32_t BucketsInUse() const { return activeCount_; }

protected:
    // Key order: the shorter key first, then the bytes (case folded when the
    // table is case-insensitive).
    int CompareKeyBytes(const char* a, int32_t alen, const char* b, int32_t blen) const {
        alen = HashKeyLength(a, alen);
        blen = HashKeyLength(b, blen);
        if (alen != blen) return alen < blen ? -1 : 1;
        if (alen == 0) return 0;
        if (caseInsensitive_) return CompareTextNoCase(a, b, alen);
        int r = std::memcmp(a, b, static_cast<size_t>(alen));
        return (r > 0) - (r < 0);
    }

    bool owns_;
    bool caseInsensitive_;
    // Heads of the chains in use (activeCount_ of them, null before the first insert).
    int32_t* buckets_ = nullptr;
    int32_t bits_ = 0;
    int32_t bucketCount_ = 0;
    // Raised only when an item enters an empty bucket (of the nominal
    // 2^bits), lowered by every removal; nothing reads it.
    int32_t count_ = 0;
    int32_t* next_ = nullptr;
    T** items_ = nullptr;
    int32_t capacity_ = 0;
    int32_t used_ = 0;

private:
    static constexpr int32_t kFirstBits = 3;
    static constexpr int32_t kFirstRoom = 8;

    void DeleteItems() {
        for (int32_t i = 0; i < used_; ++i) {
            T* item = items_[i];
            items_[i] = nullptr;
            delete item;
        }
    }

    // Links slot s into its chain before the first greater key, so equal keys
    // keep their insertion order. True when the nominal bucket already held
    // an item.
    bool Link(int32_t s) {
        int32_t h = hashes_[s];
        int32_t b = h & (activeCount_ - 1);
        T* item = items_[s];
        bool occupied = false;
        int32_t prev = -1;
        int32_t e = buckets_[b];
        while (e != -1 && CompareItems(item, items_[e]) >= 0) {
            occupied = occupied || hashes_[e] == h;
            prev = e;
            e = next_[e];
        }
        next_[s] = e;
        if (prev == -1)
            buckets_[b] = s;
        else
            next_[prev] = s;
        for (; e != -1 && !occupied; e = next_[e]) occupied = hashes_[e] == h;
        return occupied;
    }

    void Rehash(int32_t bits) {
        if (bits > bits_) bits = bits_;
        int32_t count = static_cast<int32_t>(1u << bits);
        delete[] buckets_;
        buckets_ = new int32_t[static_cast<size_t>(count)];
        for (int32_t i = 0; i < count; ++i) buckets_[i] = -1;
        activeBits_ = bits;
        activeCount_ = count;
        // Slot order is insertion order: relinking in it rebuilds the chains
        // exactly as the inserts made them.
        for (int32_t s = 0; s < used_; ++s)
            if (items_[s]) Link(s);
    }

    void Grow() {
        // Slot indexes are signed 32-bit; running out of them is not survivable.
        if (capacity_ > INT32_MAX - kGrowth) std::abort();
        capacity_ += kGrowth;
    }

    void GrowRoom() {
        int64_t wanted = room_ < kFirstRoom ? kFirstRoom : static_cast<int64_t>(room_) * 2;
        int32_t room = static_cast<int32_t>(wanted < capacity_ ? wanted : capacity_);
        int32_t* next = new int32_t[static_cast<size_t>(room)];
        T** items = new T*[static_cast<size_t>(room)];
        int32_t* hashes = new int32_t[static_cast<size_t>(room)];
        for (int32_t i = 0; i < room; ++i) {
            next[i] = i < room_ ? next_[i] : -1;
            items[i] = i < room_ ? items_[i] : nullptr;
            hashes[i] = i < room_ ? hashes_[i] : 0;
        }
        delete[] next_;
        delete[] items_;
        delete[] hashes_;
        next_ = next;
        items_ = items;
        hashes_ = hashes;
        room_ = room;
    }

    int32_t activeBits_ = 0;
    int32_t activeCount_ = 0;
    // Nominal bucket of each slot's item.
    int32_t* hashes_ = nullptr;
    // Length of the slot arrays as allocated (at most capacity_).
    int32_t room_ = 0;
    // Items linked now.
    int32_t live_ = 0;
};

} // namespace vorn
