#include "sqllib/engine/SqlSorter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

namespace vorn {

SQLTemporaryTable::~SQLTemporaryTable() {
    for (SQLResult* record : records)
        for (int32_t i = 0; i < columns; ++i) record[i].~SQLResult();
}

bool SQLTemporaryTable::Append() {
    size_t bytes = sizeof(SQLResult) * static_cast<size_t>(columns > 0 ? columns : 1);
    void* at = arena.Allocate(bytes);
    if (!at) return false;
    auto* record = static_cast<SQLResult*>(at);
    for (int32_t i = 0; i < columns; ++i) new (&record[i]) SQLResult();
    records.push_back(record);
    current = record;
    position = records.size() - 1;
    return true;
}

bool SQLTemporaryTable::Next() {
    if (!SQLRecordWalk::Next()) return false;
    // Sorted records lie all over the arena: fetch a few rows ahead, whole.
    if (position + 8 < records.size()) {
        const char* ahead = reinterpret_cast<const char*>(records[position + 8]);
        size_t bytes = sizeof(SQLResult) * static_cast<size_t>(columns);
        for (size_t at = 0; at < bytes; at += 64) __builtin_prefetch(ahead + at);
    }
    return true;
}

namespace {

// A total order: numbers by value before texts, texts by their bytes. NaN is
// no number here, so it cannot make equal what is not. A value's number is
// taken once before the sort rather than parsed again at every comparison,
// and so is the text of one that is no number.
struct OrderKey {
    double number = 0;
    bool numeric = false;
    const char* text = nullptr;
    int32_t length = 0;
};

OrderKey MakeOrderKey(SQLResult& value) {
    int error = 0;
    OrderKey key;
    key.number = value.ToDouble(&error);
    key.numeric = !error && !std::isnan(key.number);
    if (!key.numeric) key.text = value.Text(&key.length);
    return key;
}

// Words that order as the values do: a double's bits with the sign turned
// (negative ones inverted whole), a text's first eight bytes big-endian.
uint64_t NumberWord(double x) {
    if (x == 0) x = 0.0; // -0 and 0 are one value
    uint64_t bits = 0;
    std::memcpy(&bits, &x, sizeof bits);
    return (bits >> 63) ? ~bits : bits | (uint64_t{1} << 63);
}

uint64_t TextWord(const char* text, int32_t length) {
    uint64_t word = 0;
    for (int32_t i = 0; i < 8; ++i)
        word = (word << 8) | (i < length ? static_cast<uint8_t>(text[i]) : 0u);
    return word;
}

int OrderValues(const OrderKey& a, const OrderKey& b) {
    if (a.numeric && b.numeric) return a.number < b.number ? -1 : (a.number > b.number ? 1 : 0);
    if (a.numeric != b.numeric) return a.numeric ? -1 : 1;
    return SQLCompareBytes(a.text, a.length, b.text, b.length);
}

} // namespace

void SQLTemporaryTable::Sort(const CollList<SQLOrderBy>& order) {
    int32_t keys = order.Count();
    int32_t first = columns - keys;
    if (keys == 0 || first < 0) return;
    size_t n = records.size();
    std::vector<OrderKey> made(n * static_cast<size_t>(keys));
    std::vector<bool> ascending(static_cast<size_t>(keys));
    for (int32_t i = 0; i < keys; ++i) ascending[static_cast<size_t>(i)] = order.At(i)->ascending;
    for (size_t r = 0; r < n; ++r)
        for (int32_t i = 0; i < keys; ++i)
            made[r * static_cast<size_t>(keys) + static_cast<size_t>(i)] = MakeOrderKey(records[r][first + i]);
    // The first key in a word each, compared in place: most comparisons end
    // there; equal words go on to the whole keys, then to the arrival order,
    // which keeps the sort stable.
    struct Item {
        uint64_t word;
        uint32_t row;
        uint32_t kind; // 0 a number, 1 a text
    };
    std::vector<Item> items(n);
    for (size_t r = 0; r < n; ++r) {
        const OrderKey& k = made[r * static_cast<size_t>(keys)];
        items[r] = Item{k.numeric ? NumberWord(k.number) : TextWord(k.text, k.length), static_cast<uint32_t>(r),
                        k.numeric ? 0u : 1u};
    }
    bool up = ascending[0];
    std::sort(items.begin(), items.end(), [&](const Item& a, const Item& b) {
        if (a.kind != b.kind) return up ? a.kind < b.kind : a.kind > b.kind;
        if (a.word != b.word) return up ? a.word < b.word : a.word > b.word;
        const OrderKey* ka = &made[a.row * static_cast<size_t>(keys)];
        const OrderKey* kb = &made[b.row * static_cast<size_t>(keys)];
        for (int32_t i = 0; i < keys; ++i) {
            int c = OrderValues(ka[i], kb[i]);
            if (c != 0) return ascending[static_cast<size_t>(i)] ? c < 0 : c > 0;
        }
        return a.row < b.row;
    });
    std::vector<size_t> rank(n);
    for (size_t r = 0; r < n; ++r) rank[r] = items[r].row;
    std::vector<SQLResult*> sorted(n);
    for (size_t r = 0; r < n; ++r) sorted[r] = records[rank[r]];
    records.swap(sorted);
    current = records.empty() ? nullptr : records[0];
    position = 0;
}

} // namespace vorn
