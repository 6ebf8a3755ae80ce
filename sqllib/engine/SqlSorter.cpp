#include "sqllib/engine/SqlSorter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include "sqllib/front/SqlMemory.h"

namespace vorn {

namespace {

using Entry = SQLTemporaryTable::Entry;

// A packed value: its validity bits, then the integer (4 bytes), the double
// (8) and the text (its length in 7-bit groups, the bytes, a NUL), each only
// when valid.
size_t PackedSize(const SQLSavedValue& v) {
    size_t bytes = 1;
    if (v.valid & SQLResult::kInteger) bytes += sizeof(int32_t);
    if (v.valid & SQLResult::kDouble) bytes += sizeof(double);
    if (v.valid & SQLResult::kText) {
        for (uint32_t n = static_cast<uint32_t>(v.length); n >= 0x80; n >>= 7) ++bytes;
        bytes += 1 + static_cast<size_t>(v.length) + 1;
    }
    return bytes;
}

uint8_t* PackValue(uint8_t* at, const SQLSavedValue& v) {
    *at++ = static_cast<uint8_t>(v.valid);
    if (v.valid & SQLResult::kInteger) {
        std::memcpy(at, &v.integer, sizeof v.integer);
        at += sizeof v.integer;
    }
    if (v.valid & SQLResult::kDouble) {
        std::memcpy(at, &v.number, sizeof v.number);
        at += sizeof v.number;
    }
    if (v.valid & SQLResult::kText) {
        uint32_t n = static_cast<uint32_t>(v.length);
        for (; n >= 0x80; n >>= 7) *at++ = static_cast<uint8_t>(n | 0x80);
        *at++ = static_cast<uint8_t>(n);
        if (v.length > 0) std::memcpy(at, v.text, static_cast<size_t>(v.length));
        at += v.length;
        *at++ = 0;
    }
    return at;
}

const uint8_t* UnpackValue(const uint8_t* at, SQLSavedValue& v) {
    v.valid = *at++;
    if (v.valid & SQLResult::kInteger) {
        std::memcpy(&v.integer, at, sizeof v.integer);
        at += sizeof v.integer;
    }
    if (v.valid & SQLResult::kDouble) {
        std::memcpy(&v.number, at, sizeof v.number);
        at += sizeof v.number;
    }
    if (v.valid & SQLResult::kText) {
        uint32_t n = 0;
        for (int shift = 0;; shift += 7) {
            uint8_t b = *at++;
            n |= static_cast<uint32_t>(b & 0x7f) << shift;
            if (!(b & 0x80)) break;
        }
        v.text = reinterpret_cast<const char*>(at);
        v.length = static_cast<int32_t>(n);
        at += n + 1;
    }
    return at;
}

const uint8_t* SkipValues(const uint8_t* at, int32_t n) {
    SQLSavedValue skipped;
    while (n-- > 0) at = UnpackValue(at, skipped);
    return at;
}

// A total order: numbers by value before texts, texts by their bytes. NaN is
// no number here, so it cannot make equal what is not. A packed value is
// what SQLResult::ToDouble and Text would make of it (a NaN double is packed
// with its text).
struct OrderKey {
    bool numeric;
    double number;
    const char* text;
    int32_t length;
};

OrderKey KeyOf(const uint8_t* at) {
    SQLSavedValue v;
    UnpackValue(at, v);
    OrderKey key{true, 0.0, nullptr, 0};
    if (v.valid & SQLResult::kText) {
        int error = 0;
        key.number = SQLTextToDouble(v.text, v.length, &error);
        key.numeric = !error && !std::isnan(key.number);
        if (!key.numeric) {
            key.text = v.text;
            key.length = v.length;
        }
    } else if (v.valid & SQLResult::kDouble) {
        key.number = v.number;
    } else if (v.valid & SQLResult::kInteger) {
        key.number = v.integer;
    }
    return key;
}

// Words that order as the values do: a double's bits with the sign turned
// (negative ones inverted whole); a text's first seven bytes big-endian, then
// its length up to 8, so that equal words below 8 there are equal texts.
uint64_t NumberWord(double x) {
    if (x == 0) x = 0.0; // -0 and 0 are one value
    uint64_t bits = 0;
    std::memcpy(&bits, &x, sizeof bits);
    return (bits >> 63) ? ~bits : bits | (uint64_t{1} << 63);
}

constexpr int32_t kWordBytes = 7;

uint64_t TextWord(const char* text, int32_t length) {
    uint64_t word = 0;
    for (int32_t i = 0; i < kWordBytes; ++i)
        word = (word << 8) | (i < length ? static_cast<uint8_t>(text[i]) : 0u);
    return (word << 8) | static_cast<uint64_t>(std::min(length, kWordBytes + 1));
}

// LSD radix by the words' bytes, skipping bytes all words share; stable.
void RadixSort(Entry* a, Entry* scratch, size_t n) {
    size_t counts[8][256] = {};
    for (size_t i = 0; i < n; ++i) {
        uint64_t w = a[i].word;
        for (int b = 0; b < 8; ++b) ++counts[b][(w >> (8 * b)) & 0xff];
    }
    Entry* from = a;
    Entry* to = scratch;
    for (int b = 0; b < 8; ++b) {
        size_t* c = counts[b];
        if (c[(from[0].word >> (8 * b)) & 0xff] == n) continue;
        size_t at = 0;
        for (int v = 0; v < 256; ++v) {
            size_t k = c[v];
            c[v] = at;
            at += k;
        }
        for (size_t i = 0; i < n; ++i) to[c[(from[i].word >> (8 * b)) & 0xff]++] = from[i];
        std::swap(from, to);
    }
    if (from != a) std::memcpy(a, from, n * sizeof(Entry));
}

void SortWords(Entry* a, Entry* scratch, size_t n) {
    if (n < 2) return;
    if (n >= 256) return RadixSort(a, scratch, n);
    std::stable_sort(a, a + n, [](const Entry& x, const Entry& y) { return x.word < y.word; });
}

struct SortPlan {
    int32_t first;          // the first key's column
    int32_t keys;
    const uint8_t* ascending; // per key
    Entry* scratch;         // as many entries as the table has
};

OrderKey KeyAt(const SortPlan& plan, const Entry& e, int32_t k) {
    return KeyOf(SkipValues(e.row, plan.first + k));
}

// Sorts entries [a, a + n) of the base `base` by keys k.. (the rows are
// already in order by the keys before k, and tie on them here).
void SortRange(const SortPlan& plan, Entry* base, size_t lo, size_t n, int32_t k) {
    Entry* a = base + lo;
    Entry* scratch = plan.scratch + lo;
    bool up = plan.ascending[k] != 0;
    // Each entry's word for key k; numbers to the scratch, texts to the
    // front of the range, both in the order they stand.
    size_t numbers = 0, texts = 0;
    for (size_t i = 0; i < n; ++i) {
        OrderKey key = KeyAt(plan, a[i], k);
        uint64_t word = key.numeric ? NumberWord(key.number) : TextWord(key.text, key.length);
        Entry e{up ? word : ~word, a[i].row};
        if (key.numeric)
            scratch[numbers++] = e;
        else
            a[texts++] = e;
    }
    // Ascending, numbers come first; descending, texts.
    Entry* numberPart = up ? a : a + texts;
    Entry* textPart = up ? a + numbers : a;
    if (up && texts > 0 && numbers > 0) std::memmove(textPart, a, texts * sizeof(Entry));
    if (numbers > 0) std::memcpy(numberPart, scratch, numbers * sizeof(Entry));

    auto next = [&](size_t from, size_t to) {
        if (k + 1 < plan.keys && to - from > 1) SortRange(plan, base, from, to - from, k + 1);
    };
    for (int part = 0; part < 2; ++part) {
        bool isText = part == 1;
        Entry* p = isText ? textPart : numberPart;
        size_t m = isText ? texts : numbers;
        size_t offset = static_cast<size_t>(p - base);
        SortWords(p, plan.scratch + offset, m);
        for (size_t s = 0; s < m;) {
            size_t e = s + 1;
            while (e < m && p[e].word == p[s].word) ++e;
            uint64_t ascendingWord = up ? p[s].word : ~p[s].word;
            if (e - s > 1 && isText && (ascendingWord & 0xff) > static_cast<uint64_t>(kWordBytes)) {
                // Texts of eight bytes and more that share seven: whole.
                auto compare = [&](const Entry& x, const Entry& y) {
                    OrderKey kx = KeyAt(plan, x, k), ky = KeyAt(plan, y, k);
                    return SQLCompareBytes(kx.text, kx.length, ky.text, ky.length);
                };
                std::stable_sort(p + s, p + e, [&](const Entry& x, const Entry& y) {
                    int c = compare(x, y);
                    return up ? c < 0 : c > 0;
                });
                for (size_t t = s; t < e;) {
                    size_t u = t + 1;
                    while (u < e && compare(p[t], p[u]) == 0) ++u;
                    next(offset + t, offset + u);
                    t = u;
                }
            } else {
                next(offset + s, offset + e);
            }
            s = e;
        }
    }
}

constexpr size_t kFirstEntries = kSQLSmallestBlock / sizeof(Entry);
constexpr size_t kLaterBlock = size_t{2} << 20;

} // namespace

SQLTemporaryTable::SQLTemporaryTable(int32_t columns, SQLArenaBudget* budget)
    : columns(columns), arena(budget), budget(budget), rows(budget), shown(columns),
      values(new SQLResult[static_cast<size_t>(columns > 0 ? columns : 1)]) {}

SQLTemporaryTable::~SQLTemporaryTable() {
    if (entries) {
        SQLGiveBlock(entries, block);
        budget->used -= static_cast<int64_t>(block);
    }
}

bool SQLTemporaryTable::Reserve(size_t wanted) {
    if (wanted * sizeof(Entry) <= block) return true;
    size_t size = SQLBlockSize(std::max(wanted * sizeof(Entry), entries ? std::max(block * 2, kLaterBlock)
                                                                        : kFirstEntries * sizeof(Entry)));
    budget->limitReached = budget->used + static_cast<int64_t>(size) > budget->limit;
    void* made = budget->limitReached ? nullptr : SQLTakeBlock(size);
    if (!made) return false;
    if (entries) {
        std::memcpy(made, entries, count * sizeof(Entry));
        SQLGiveBlock(entries, block);
        budget->used -= static_cast<int64_t>(block);
    }
    entries = static_cast<Entry*>(made);
    block = size;
    budget->used += static_cast<int64_t>(size);
    return true;
}

bool SQLTemporaryTable::Pack() {
    if (!building) return true;
    size_t bytes = 0;
    for (int32_t i = 0; i < columns; ++i) {
        SQLResult& v = values[i];
        // Packed with its text, as the sort reads a NaN.
        if ((v.Valid() & (SQLResult::kDouble | SQLResult::kText)) == SQLResult::kDouble && std::isnan(v.Double()))
            v.MakeText();
        bytes += PackedSize(v.Forms());
    }
    if (!Reserve(count + 1)) return false;
    auto* row = reinterpret_cast<uint8_t*>(rows.Bytes(bytes > 0 ? bytes : 1));
    if (!row) return false;
    uint8_t* at = row;
    for (int32_t i = 0; i < columns; ++i) at = PackValue(at, values[i].Forms());
    entries[count++] = Entry{0, row};
    building = false;
    arena.Rewind();
    return true;
}

bool SQLTemporaryTable::Append() {
    if (!Pack()) return false;
    for (int32_t i = 0; i < columns; ++i) values[i].Restore(SQLSavedValue{});
    building = true;
    current = true;
    position = count;
    return true;
}

bool SQLTemporaryTable::Finish() { return Pack(); }

bool SQLTemporaryTable::Sort(const CollList<SQLOrderBy>& order) {
    if (!Pack()) return false;
    int32_t keys = order.Count();
    int32_t first = columns - keys;
    if (keys == 0 || first < 0 || count < 2) return true;
    std::vector<uint8_t> ascending(static_cast<size_t>(keys));
    for (int32_t i = 0; i < keys; ++i) ascending[static_cast<size_t>(i)] = order.At(i)->ascending;
    size_t size = SQLBlockSize(count * sizeof(Entry));
    budget->limitReached = budget->used + static_cast<int64_t>(size) > budget->limit;
    void* scratch = budget->limitReached ? nullptr : SQLTakeBlock(size);
    if (!scratch) return false;
    SortPlan plan{first, keys, ascending.data(), static_cast<Entry*>(scratch)};
    SortRange(plan, entries, 0, count, 0);
    SQLGiveBlock(scratch, size);
    current = false;
    // Nothing reads the keys once sorted: the walk unpacks the values before them.
    shown = first;
    for (int32_t i = first; i < columns; ++i) values[i].Restore(SQLSavedValue{});
    return true;
}

void SQLTemporaryTable::Unpack(const uint8_t* row) {
    SQLSavedValue v;
    for (int32_t i = 0; i < shown; ++i) {
        row = UnpackValue(row, v);
        values[i].Restore(v);
    }
}

bool SQLTemporaryTable::First() {
    position = 0;
    current = count > 0 && !building;
    if (current) Unpack(entries[0].row);
    return current;
}

bool SQLTemporaryTable::Next() {
    if (!current) return false;
    if (++position >= count) {
        current = false;
        return false;
    }
    // Sorted rows lie all over the chunks: fetch a few ahead.
    if (position + 8 < count) {
        const uint8_t* ahead = entries[position + 8].row;
        __builtin_prefetch(ahead);
        __builtin_prefetch(ahead + 64);
    }
    Unpack(entries[position].row);
    return true;
}

} // namespace vorn
