#include "engine/values/VariableHash.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "engine/foundation/Hash.h"
#include "engine/foundation/LittleEndian.h"
#include "engine/program/Dictionary.h"
#include "engine/program/NameChains.h"
#include "engine/program/TaggedFile.h"
#include "engine/values/Aggregate.h"
#include "engine/values/Variable.h"
#include "engine/values/VariableList.h"

namespace vorn {

namespace {

constexpr int32_t kHeaderSize = 7;
constexpr int32_t kBucketRecordSize = 6;
constexpr int32_t kEntryRecordSize = 8;
constexpr uint32_t kEndOfChain = 0xFFFFFFFFu;
constexpr const char kTooLargeToSave[] = "Variable table too large to save";

int32_t ClampBits(int32_t bits) {
    return bits < 0 ? 0 : (bits > kTableBucketBitsMax ? kTableBucketBitsMax : bits);
}

// n empty buckets.
int32_t* EmptyBuckets(int32_t n) {
    auto* buckets = new int32_t[static_cast<size_t>(n)];
    std::fill_n(buckets, n, -1);
    return buckets;
}

// length -1 (any negative) means up to the NUL; a null text is empty.
int32_t Measure(const char* text, int32_t length) {
    if (!text) return 0;
    if (length >= 0) return length;
    size_t n = std::strlen(text);
    return n > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(n);
}

bool IsIndexSpace(char c) { return AsciiIsSpace(static_cast<unsigned char>(c)); }

bool IsDigit(char c) { return AsciiIsDigit(static_cast<unsigned char>(c)); }

bool WordIs(const char* text, int32_t length, const char* word) {
    int32_t n = static_cast<int32_t>(std::strlen(word));
    return length == n && CompareTextNoCase(text, word, n) == 0;
}

char Lower(char c) { return static_cast<char>(AsciiLower(static_cast<unsigned char>(c))); }

std::atomic<uint64_t> g_layoutStamps{0};

uint64_t NewLayoutStamp() { return g_layoutStamps.fetch_add(1, std::memory_order_relaxed) + 1; }

} // namespace

// --- Scope prefixes ------------------------------------------------------------

int32_t ParseScopePrefix(const char* text, int32_t length, const char** rest, int32_t* restLength,
                         const char** alias, int32_t* aliasLength) {
    int32_t n = Measure(text, length);
    if (!text) text = "";
    int32_t scope = kScopeNone;
    int32_t restAt = 0;
    int32_t aliasLen = 0;

    if (n >= 2 && text[1] == '.') {
        switch (Lower(text[0])) {
        case 'l': scope = kScopeLocal; break;
        case 'g': scope = kScopeGlobal; break;
        case 's': scope = kScopeSystem; break;
        case 'd': scope = kScopeDatabase; break;
        default: break;
        }
        if (scope != kScopeNone) restAt = 2;
        // A one-letter view alias: x.d.name or x.database.name.
        if (n >= 5 && Lower(text[2]) == 'd' && text[3] == '.') {
            scope = kScopeDatabase;
            aliasLen = 1;
            restAt = 4;
        } else if (n >= 12 && CompareTextNoCase(text + 2, "database", 8) == 0 && text[10] == '.') {
            scope = kScopeDatabase;
            aliasLen = 1;
            restAt = 11;
        }
    } else {
        const void* found = n > 0 ? std::memchr(text, '.', static_cast<size_t>(n)) : nullptr;
        if (found) {
            int32_t dot = static_cast<int32_t>(static_cast<const char*>(found) - text);
            if (WordIs(text, dot, "local")) {
                scope = kScopeLocal;
                restAt = dot + 1;
            } else if (WordIs(text, dot, "global")) {
                scope = kScopeGlobal;
                restAt = dot + 1;
            } else if (WordIs(text, dot, "system")) {
                scope = kScopeSystem;
                restAt = dot + 1;
            } else if (n - dot >= 3) {
                if (Lower(text[dot + 1]) == 'd' && text[dot + 2] == '.') {
                    scope = kScopeDatabase;
                    aliasLen = dot;
                    restAt = dot + 3;
                } else if (n - dot >= 10 && CompareTextNoCase(text + dot + 1, "database", 8) == 0 &&
                           text[dot + 9] == '.') {
                    scope = kScopeDatabase;
                    aliasLen = dot;
                    restAt = dot + 10;
                } else if (WordIs(text, dot, "database")) {
                    scope = kScopeDatabase;
                    restAt = dot + 1;
                }
            }
        }
    }
    if (rest) *rest = text + restAt;
    if (restLength) *restLength = n - restAt;
    if (alias) *alias = aliasLen > 0 ? text : nullptr;
    if (aliasLength) *aliasLength = aliasLen;
    return scope;
}

// --- VariableHash: construction ----------------------------------------------

VariableHash::VariableHash(Dictionary* names, int32_t bits, int32_t capacity)
    : names(names), layoutStamp(NewLayoutStamp()) {
    bucketBits = ClampBits(bits);
    bucketCount = static_cast<int32_t>(1u << bucketBits);
    buckets = EmptyBuckets(bucketCount);
    this->capacity = capacity > 0 ? capacity : 0;
    next = new int32_t[static_cast<size_t>(this->capacity)];
    entries = new VariableHashEntry[static_cast<size_t>(this->capacity)];
    for (int32_t i = 0; i < this->capacity; ++i) {
        next[i] = -1;
        entries[i] = {0, 0, nullptr};
    }
}

VariableHash::VariableHash(const VariableHash& other)
    : count(other.count), bucketBits(other.bucketBits), bucketCount(other.bucketCount),
      usedBuckets(other.usedBuckets), capacity(other.capacity), names(other.names),
      layoutStamp(other.layoutStamp) {
    buckets = new int32_t[static_cast<size_t>(bucketCount)];
    next = new int32_t[static_cast<size_t>(capacity)]();
    entries = new VariableHashEntry[static_cast<size_t>(capacity)]();
    CopyEntriesFrom(other);
}

void VariableHash::CopyLayoutFrom(const VariableHash& other) {
    ReleaseAll();
    if (&other == this) return;
    label.Free();
    names = other.names;
    if (layoutStamp == other.layoutStamp) {
        // Still the layout it was copied from: only the tags may differ.
        for (int32_t i = 0; i < count; ++i) entries[i].tag = other.entries[i].tag;
        return;
    }
    if (bucketCount != other.bucketCount) {
        delete[] buckets;
        buckets = new int32_t[static_cast<size_t>(other.bucketCount)];
    }
    if (capacity != other.capacity) {
        delete[] next;
        delete[] entries;
        next = new int32_t[static_cast<size_t>(other.capacity)]();
        entries = new VariableHashEntry[static_cast<size_t>(other.capacity)]();
    }
    count = other.count;
    bucketBits = other.bucketBits;
    bucketCount = other.bucketCount;
    usedBuckets = other.usedBuckets;
    capacity = other.capacity;
    layoutStamp = other.layoutStamp;
    CopyEntriesFrom(other);
}

void VariableHash::CopyEntriesFrom(const VariableHash& other) {
    std::memcpy(buckets, other.buckets, sizeof(int32_t) * static_cast<size_t>(bucketCount));
    // Only the used slots: the others are written before they are linked.
    for (int32_t i = 0; i < count; ++i) {
        next[i] = other.next[i];
        entries[i] = {other.entries[i].nameId, other.entries[i].tag, nullptr};
    }
}

VariableHash::~VariableHash() {
    ReleaseVariables();
    ReleaseArrays();
}

void VariableHash::HoldVariable(int32_t i, Variable* v) {
    if (i < 0 || i >= count || !v || entries[i].variable) return;
    v->AddReference();
    entries[i].variable = v;
    entries[i].tag = EntryTag();
}

void VariableHash::ReleaseArrays() {
    delete[] buckets;
    delete[] next;
    delete[] entries;
    buckets = nullptr;
    next = nullptr;
    entries = nullptr;
}

void VariableHash::ReleaseVariables() {
    for (int32_t i = 0; i < count; ++i) {
        Variable* v = entries[i].variable;
        entries[i].variable = nullptr;
        if (v) v->Release();
    }
}

// --- VariableHash: names and chains -------------------------------------------

const char* VariableHash::EntryName(int32_t i, int32_t* length) const {
    if (i < 0 || i >= count || !names) return nullptr;
    int32_t n = 0;
    const char* text = names->Get(entries[i].nameId, &n);
    if (text && length) *length = n;
    return text;
}

const char* VariableHash::NameText(int32_t nameId, const char* name, int32_t* length) const {
    if (name) {
        *length = Measure(name, *length);
        return name;
    }
    if (!names) return nullptr;
    return names->Get(nameId, length);
}

int32_t VariableHash::FindOwnIndex(const char* name, int32_t length) const {
    int32_t n = Measure(name, length);
    if (!name) name = "";
    for (int32_t e = buckets[NameBucket(name, n, bucketBits)]; e != -1; e = next[e]) {
        int32_t elen = 0;
        const char* etext = EntryName(e, &elen);
        int c = etext ? CompareNameOrder(etext, elen, name, n) : -1;
        if (c == 0) return e;
        if (c > 0) break;
    }
    return -1;
}

int32_t VariableHash::AddOwnEntry(int32_t nameId, const char* name, int32_t length, Variable* v) {
    int32_t n = length;
    const char* text = nullptr;
    if (name) {
        n = Measure(name, length);
        if (nameId == -1 && names) nameId = names->Add(name, n);
        if (nameId >= 0) text = name;
    } else {
        text = NameText(nameId, nullptr, &n);
    }
    if (!text) {
        if (v) v->Release();
        return -1;
    }
    if (count == capacity) {
        if (capacity == INT32_MAX) {
            if (v) v->Release();
            return -1;
        }
        // Half as much again once that beats the step: names added one by one
        // (request fields, popn in a loop) must not copy the arrays each time.
        int64_t wanted = static_cast<int64_t>(capacity) + std::max(kScopeGrowth, capacity / 2);
        GrowEntries(static_cast<int32_t>(std::min<int64_t>(wanted, INT32_MAX)));
    }
    if (growBuckets && count >= 2 * static_cast<int64_t>(bucketCount) && bucketBits < kTableBucketBitsMax)
        DoubleBuckets();
    int32_t i = count;
    entries[i] = {nameId, EntryTag(), v};
    LinkInOrder(i, text, n);
    ++count;
    layoutStamp = NewLayoutStamp();
    return i;
}

void VariableHash::LinkInOrder(int32_t i, const char* text, int32_t n) {
    int32_t b = text ? NameBucket(text, n, bucketBits) : 0;
    int32_t prev = -1;
    int32_t e = buckets[b];
    if (e == -1) ++usedBuckets;
    // Before the first entry that is longer, or as long and greater.
    while (e != -1) {
        int32_t elen = 0;
        const char* etext = EntryName(e, &elen);
        if (etext && text && CompareNameOrder(etext, elen, text, n) > 0) break;
        prev = e;
        e = next[e];
    }
    next[i] = e;
    if (prev == -1)
        buckets[b] = i;
    else
        next[prev] = i;
}

void VariableHash::GrowEntries(int32_t room) {
    auto* grownNext = new int32_t[static_cast<size_t>(room)];
    auto* grownEntries = new VariableHashEntry[static_cast<size_t>(room)];
    for (int32_t i = 0; i < room; ++i) {
        grownNext[i] = i < capacity ? next[i] : -1;
        grownEntries[i] = i < capacity ? entries[i] : VariableHashEntry{0, 0, nullptr};
    }
    delete[] next;
    delete[] entries;
    next = grownNext;
    entries = grownEntries;
    capacity = room;
}

void VariableHash::Reserve(int32_t wanted) {
    if (wanted < count) wanted = count;
    int32_t bits = 0;
    while (bits < kTableBucketBitsMax && (int64_t{1} << bits) < wanted) ++bits;
    if (wanted > capacity) GrowEntries(wanted);
    int32_t* fresh = EmptyBuckets(static_cast<int32_t>(1u << bits));
    delete[] buckets;
    buckets = fresh;
    bucketBits = bits;
    bucketCount = static_cast<int32_t>(1u << bits);
    usedBuckets = 0;
    // Linked again in entry order, each before the first longer or greater
    // name of its chain: the chains a table filled in this order would have.
    for (int32_t i = 0; i < count; ++i) {
        int32_t n = 0;
        const char* text = EntryName(i, &n);
        LinkInOrder(i, text, n);
    }
    layoutStamp = NewLayoutStamp();
}

void VariableHash::DoubleBuckets() {
    int32_t bits = bucketBits + 1;
    int32_t doubled = bucketCount * 2;
    int32_t* grown = EmptyBuckets(doubled);
    usedBuckets = 0;
    for (int32_t b = 0; b < bucketCount; ++b) {
        // The two tails: chains keep their order, so they stay sorted.
        int32_t tail[2] = {-1, -1};
        for (int32_t e = buckets[b]; e != -1;) {
            int32_t following = next[e];
            int32_t n = 0;
            const char* name = EntryName(e, &n);
            // The new bit alone decides, so an entry a damaged file put in
            // the wrong chain stays in a chain of its own old one.
            int32_t half = name && (NameBucket(name, n, bits) & bucketCount) ? 1 : 0;
            int32_t to = b + half * bucketCount;
            if (tail[half] == -1) {
                grown[to] = e;
                ++usedBuckets;
            } else {
                next[tail[half]] = e;
            }
            tail[half] = e;
            next[e] = -1;
            e = following;
        }
    }
    delete[] buckets;
    buckets = grown;
    bucketBits = bits;
    bucketCount = doubled;
    layoutStamp = NewLayoutStamp();
}

int32_t VariableHash::BucketHead(int32_t bucket) const {
    return bucket >= 0 && bucket < bucketCount ? buckets[bucket] : -1;
}

int32_t VariableHash::NextEntry(int32_t i) const { return i >= 0 && i < count ? next[i] : -1; }

const VariableHashEntry* VariableHash::EntryAt(int32_t i) const {
    return i >= 0 && i < count ? &entries[i] : nullptr;
}

bool VariableHash::CreateVariable(int32_t i) {
    if (entries[i].variable) return false;
    int32_t n = 0;
    const char* name = EntryName(i, &n);
    entries[i].variable = name ? new Variable(name, n) : new Variable();
    entries[i].tag = EntryTag();
    return true;
}

// --- VariableHash: the operations ----------------------------------------------

int32_t VariableHash::AddEntry(int32_t nameId, const char* name, int32_t length, Variable* v) {
    return AddOwnEntry(nameId, name, length, v);
}

int32_t VariableHash::AddName(int32_t nameId) { return AddEntry(nameId, nullptr, 0, nullptr); }

int32_t VariableHash::AddNameText(const char* text, int32_t length) {
    return AddEntry(-1, text ? text : "", text ? length : 0, nullptr);
}

int32_t VariableHash::Insert(Variable* v) {
    if (!v) return -1;
    const String& name = v->Name();
    return AddEntry(-1, name.Text(), name.Length(), v);
}

void VariableHash::ReplaceVariable(Variable* v) {
    if (!v) return;
    const String& name = v->Name();
    int32_t i = FindOwnIndex(name.Text(), name.Length());
    if (i < 0) {
        AddEntry(-1, name.Text(), name.Length(), v);
        return;
    }
    Variable* old = entries[i].variable;
    entries[i].variable = v;
    entries[i].tag = EntryTag();
    if (old) old->Release();
}

Variable* VariableHash::SetVariable(const char* name, int32_t length, const char* text, int32_t textLength) {
    int32_t n = Measure(name, length);
    if (!name) name = "";
    Variable* v = nullptr;
    if (!Find(&v, name, n, true)) {
        v = new Variable(name, n);
        if (Insert(v) < 0) return nullptr;
    }
    if (!v) return nullptr;
    v->SetValue(text, textLength);
    return v;
}

void VariableHash::SetReference(int32_t i, Variable* target) {
    if (i < 0 || i >= count || !target) return;
    Variable* old = entries[i].variable;
    if (old == target || (old && old->IsAlias() && old->Target() == target)) return;
    int32_t n = 0;
    const char* name = EntryName(i, &n);
    entries[i].variable = new ReferenceVariable(name ? name : "", name ? n : 0, target);
    entries[i].tag = EntryTag();
    if (old) old->Release();
}

void VariableHash::AppendValue(const char* name, int32_t length, const char* text, int32_t textLength,
                               bool multiple) {
    Variable* v = nullptr;
    if (!ResolvePath(&v, name, Measure(name, length), true) || !v) return;
    if (!multiple || (v->IsEmpty() && v->AggregateType() != kAggregateArray)) {
        v->SetValue(text, textLength);
        return;
    }
    Variable* value = new Variable("", 0, text ? text : "", text ? textLength : 0);
    if (v->AggregateType() == kAggregateScalar) {
        // The old value becomes element 1, the new one element 2.
        Variable* first = new Variable(v);
        first->SetName(String("", 0));
        v->SetElement(AggregateIndex::FromIndex(1), first);
        v->SetElement(AggregateIndex::FromIndex(2), value);
        first->Release();
    } else {
        // Past both the count and the greatest index, so no value is overwritten.
        int64_t used = v->ElementsUsed();
        int64_t max = v->ArrayMax();
        int64_t at = (used > max ? used : max) + 1;
        if (at <= INT32_MAX) v->SetElement(AggregateIndex::FromIndex(static_cast<int32_t>(at)), value);
    }
    value->Release();
}

int32_t VariableHash::FindIndex(int32_t nameId, const char* name, int32_t length, VariableHashEntry** outEntry) {
    int32_t n = length;
    const char* text = NameText(nameId, name, &n);
    int32_t i = text ? FindOwnIndex(text, n) : -1;
    if (outEntry) *outEntry = i >= 0 ? &entries[i] : nullptr;
    return i;
}

int32_t VariableHash::EntryTag() { return 0; }

int VariableHash::ClearVariable(const char* name, int32_t length) {
    Variable* v = nullptr;
    if (!Find(&v, name, length, false) || !v) return 0;
    v->Clear();
    return 1;
}

bool VariableHash::Find(Variable** out, const char* name, int32_t length, bool create) {
    int32_t i = FindOwnIndex(name, length);
    if (i < 0) {
        if (out) *out = nullptr;
        return false;
    }
    if (create) CreateVariable(i);
    if (out) *out = entries[i].variable;
    return true;
}

bool VariableHash::ResolvePath(Variable** out, const char* path, int32_t length, bool create) {
    Variable* dummy = nullptr;
    if (!out) out = &dummy;
    *out = nullptr;
    int32_t n = Measure(path, length);
    if (!path) path = "";
    auto indexError = [&]() {
        label.Assign(kArrayIndexMessage);
        *out = nullptr;
        return false;
    };

    int32_t p = 0;
    while (p < n && path[p] != ':' && path[p] != '[') ++p;
    Variable* v = nullptr;
    if (!Find(&v, path, p, create)) {
        if (!create) return true;
        v = new Variable(path, p);
        if (Insert(v) < 0) return true;
    }
    if (!v) return true;

    while (p < n) {
        if (path[p] == ':') {
            int32_t start = ++p;
            while (p < n && path[p] != ':' && path[p] != '[') ++p;
            v = v->Element(AggregateIndex::FromName(path + start, p - start), create);
            if (!v) return true;
            continue;
        }
        // '[' digits and white space ']': the first run of digits is the index.
        ++p;
        int64_t index = 0;
        bool inDigits = false;
        bool digitsDone = false;
        bool tooLarge = false;
        while (p < n && path[p] != ']') {
            char c = path[p];
            if (IsDigit(c)) {
                if (!digitsDone) {
                    inDigits = true;
                    if (!tooLarge) index = index * 10 + (c - '0');
                    if (index > INT32_MAX) tooLarge = true;
                }
            } else if (IsIndexSpace(c)) {
                if (inDigits) digitsDone = true;
            } else {
                return indexError();
            }
            ++p;
        }
        if (p >= n) return indexError();
        ++p;
        if (p < n && path[p] != ':' && path[p] != '[') return indexError();
        if (tooLarge) return indexError();
        v = v->Element(AggregateIndex::FromIndex(static_cast<int32_t>(index)), create);
        if (!v) return true;
    }
    *out = v;
    return true;
}

Variable* VariableHash::Index(int32_t i, bool create) {
    if (i < 0 || i >= count) return nullptr;
    if (create && !entries[i].variable) CreateVariable(i);
    return entries[i].variable;
}

int32_t VariableHash::Count() { return count; }

void VariableHash::VisitAll(VariableList* list) {
    if (!list) return;
    for (int32_t i = 0; i < count; ++i)
        if (entries[i].variable) list->Insert(entries[i].variable, kListTail);
}

// --- VariableHash: loading and saving ------------------------------------------

void VariableHash::Fail(const String& text) {
    if (text.IsEmpty())
        label.Assign(kCorruptFileMessage);
    else
        label.Assign(text);
}

bool VariableHash::Load(TaggedFile& file) {
    uint8_t header[kHeaderSize];
    if (!ReadSectionBytes(file, header, kHeaderSize)) {
        Fail(file.ErrorText());
        return false;
    }
    uint32_t recordCount = GetU16(header);
    uint32_t bits = header[2];
    uint32_t entryCount = GetU32(header + 3);
    String corrupt(kCorruptFileMessage);

    // Every count is checked against the section before it sizes anything.
    int64_t need = static_cast<int64_t>(recordCount) * kBucketRecordSize +
                   static_cast<int64_t>(entryCount) * kEntryRecordSize;
    if (bits > static_cast<uint32_t>(kStoredBucketBitsMax) || need > SectionBytesLeft(file)) {
        Fail(corrupt);
        return false;
    }
    std::vector<uint8_t> records(static_cast<size_t>(recordCount) * kBucketRecordSize);
    std::vector<uint8_t> raw(static_cast<size_t>(entryCount) * kEntryRecordSize);
    if (!ReadSectionBytes(file, records.data(), static_cast<int64_t>(records.size())) ||
        !ReadSectionBytes(file, raw.data(), static_cast<int64_t>(raw.size()))) {
        Fail(file.ErrorText());
        return false;
    }

    int32_t slots = static_cast<int32_t>(entryCount);
    int32_t newBucketCount = static_cast<int32_t>(1u << bits);
    int32_t* newBuckets = EmptyBuckets(newBucketCount);
    auto* newNext = new int32_t[static_cast<size_t>(slots)];
    auto* newEntries = new VariableHashEntry[static_cast<size_t>(slots)];
    int32_t poolCount = names ? names->Count() : 0;
    bool ok = true;
    for (int32_t i = 0; i < slots && ok; ++i) {
        uint32_t nameId = GetU32(raw.data() + static_cast<size_t>(i) * kEntryRecordSize);
        uint32_t link = GetU32(raw.data() + static_cast<size_t>(i) * kEntryRecordSize + 4);
        if (nameId >= static_cast<uint32_t>(poolCount) || (link != kEndOfChain && link >= entryCount)) ok = false;
        newEntries[i] = {static_cast<int32_t>(nameId), 0, nullptr};
        newNext[i] = link == kEndOfChain ? -1 : static_cast<int32_t>(link);
    }
    int32_t used = ok ? ApplyBucketRecords(records.data(), static_cast<int32_t>(recordCount), newBuckets,
                                           newBucketCount, slots)
                      : -1;
    if (used < 0 ||
        !StoredChainsAreSound(records.data(), static_cast<int32_t>(recordCount), newBuckets, newNext, slots)) {
        delete[] newBuckets;
        delete[] newNext;
        delete[] newEntries;
        Fail(corrupt);
        return false;
    }

    ReleaseAll();
    ReleaseArrays();
    buckets = newBuckets;
    bucketBits = static_cast<int32_t>(bits);
    bucketCount = newBucketCount;
    usedBuckets = used;
    next = newNext;
    entries = newEntries;
    capacity = slots;
    count = slots;
    layoutStamp = NewLayoutStamp();
    EntriesReplaced();
    return true;
}

bool VariableHash::LoadSection(TaggedFile& file, uint32_t tag) {
    if (!file.SelectSection(tag)) {
        Fail(file.ErrorText());
        return false;
    }
    bool ok = Load(file);
    file.DeselectSection();
    return ok;
}

bool VariableHash::Save(TaggedFile& file) {
    int32_t nonEmpty = 0;
    for (int32_t b = 0; b < bucketCount; ++b)
        if (buckets[b] != -1) ++nonEmpty;
    int64_t size = kHeaderSize + static_cast<int64_t>(nonEmpty) * kBucketRecordSize +
                   static_cast<int64_t>(count) * kEntryRecordSize;
    // Bucket indexes and the record count are 16-bit in the file.
    if (bucketBits > kStoredBucketBitsMax || nonEmpty > 0xFFFF || size > INT32_MAX) {
        label.Assign(kTooLargeToSave);
        return false;
    }
    std::vector<uint8_t> out(static_cast<size_t>(size));
    uint8_t* p = out.data();
    PutU16(p, static_cast<uint16_t>(nonEmpty));
    p[2] = static_cast<uint8_t>(bucketBits);
    PutU32(p + 3, static_cast<uint32_t>(count));
    p += kHeaderSize;
    for (int32_t b = 0; b < bucketCount; ++b) {
        if (buckets[b] == -1) continue;
        PutU16(p, static_cast<uint16_t>(b));
        PutU32(p + 2, static_cast<uint32_t>(buckets[b]));
        p += kBucketRecordSize;
    }
    for (int32_t i = 0; i < count; ++i) {
        PutU32(p, static_cast<uint32_t>(entries[i].nameId));
        PutU32(p + 4, next[i] == -1 ? kEndOfChain : static_cast<uint32_t>(next[i]));
        p += kEntryRecordSize;
    }
    if (!file.WriteAll(out.data(), static_cast<int32_t>(size))) {
        Fail(file.ErrorText());
        return false;
    }
    return true;
}

bool VariableHash::SaveSection(TaggedFile& file, uint32_t tag) {
    file.BeginSection(tag);
    if (!Save(file)) return false;
    file.EndSection();
    return true;
}

const String& VariableHash::Label() { return label; }

void VariableHash::SetLabel(const String& text) { label.Assign(text); }

void VariableHash::PushScope() {}

int VariableHash::PopScope() { return 0; }

VariableHash* VariableHash::Underlying() { return this; }

// --- UserVariableHash ------------------------------------------------------------

UserVariableHash::UserVariableHash() : VariableHash(new Dictionary(), kScopeBits, kScopeCapacity) {}

UserVariableHash::~UserVariableHash() {
    ReleaseAll();
    delete Names();
}

// --- SystemVariableHash --------------------------------------------------------

SystemVariableHash::SystemVariableHash(Dictionary* names, int32_t bits, int32_t capacity)
    : VariableHash(names, bits, capacity) {
    // Replies to VrCALL add names by the attribute and header.
    GrowBucketsWithEntries();
}

SystemVariableHash::~SystemVariableHash() {
    // What was deferred was never seen: nothing is made of it.
    deferred = nullptr;
    settle = false;
    DropScopes();
}

void SystemVariableHash::SettleDeferred() {
    DeferredSystemVariables* source = deferred;
    deferred = nullptr;
    settle = false;
    // Deferred only at depth 0 (a scope settles first), so added as then.
    if (source) source->AddTo(*this);
}

void SystemVariableHash::Record(int32_t index, int32_t tag, Variable* variable) {
    if (depth > 0 && current) current->Insert(new _SVH_Entry{index, tag, variable}, kListTail);
}

void SystemVariableHash::DropScopes() {
    while (depth > 0 && current) {
        for (_SVH_Entry* e = current->First(); e; e = current->Next()) {
            Variable* v = e->variable;
            e->variable = nullptr;
            if (v) v->Release();
        }
        scopes.Top();
        delete scopes.Pop();
        --depth;
        current = scopes.Top();
    }
    depth = 0;
    current = nullptr;
}

void SystemVariableHash::EntriesReplaced() { DropScopes(); }

int32_t SystemVariableHash::EntryTag() { return depth; }

int32_t SystemVariableHash::AddEntry(int32_t nameId, const char* name, int32_t length, Variable* v) {
    Settle();
    if (depth == 0) return AddOwnEntry(nameId, name, length, v);
    int32_t n = length;
    const char* text = NameText(nameId, name, &n);
    int32_t i = text ? FindOwnIndex(text, n) : -1;
    if (i >= 0) {
        Record(i, entries[i].tag, entries[i].variable);
        entries[i].variable = v;
        entries[i].tag = depth;
        return i;
    }
    i = AddOwnEntry(nameId, name, length, v);
    if (i >= 0) Record(i, 0, nullptr);
    return i;
}

void SystemVariableHash::ReplaceVariable(Variable* v) {
    Settle();
    if (depth == 0 || !v) return VariableHash::ReplaceVariable(v);
    const String& name = v->Name();
    int32_t i = FindOwnIndex(name.Text(), name.Length());
    if (i < 0) {
        AddEntry(-1, name.Text(), name.Length(), v);
        return;
    }
    Record(i, entries[i].tag, entries[i].variable);
    entries[i].variable = v;
    entries[i].tag = depth;
}

void SystemVariableHash::SetReference(int32_t i, Variable* target) {
    Settle();
    if (depth == 0) return VariableHash::SetReference(i, target);
    if (i < 0 || i >= count || !target) return;
    Variable* old = entries[i].variable;
    if (old == target || (old && old->IsAlias() && old->Target() == target)) return;
    int32_t n = 0;
    const char* name = EntryName(i, &n);
    Record(i, entries[i].tag, old);
    entries[i].variable = new ReferenceVariable(name ? name : "", name ? n : 0, target);
    entries[i].tag = depth;
}

void SystemVariableHash::AppendValue(const char* name, int32_t length, const char* text, int32_t textLength,
                                     bool) {
    Settle();
    VariableHash::AppendValue(name, length, text, textLength, false);
}

bool SystemVariableHash::Find(Variable** out, const char* name, int32_t length, bool create) {
    SettleFor(name, length);
    int32_t i = FindOwnIndex(name, length);
    if (i < 0) {
        if (out) *out = nullptr;
        return false;
    }
    if (create && !entries[i].variable) {
        Record(i, entries[i].tag, nullptr);
        CreateVariable(i);
    }
    if (out) *out = entries[i].variable;
    return true;
}

Variable* SystemVariableHash::Index(int32_t i, bool create) {
    if (i < 0) return nullptr;
    if (deferred) {
        // A position past the entries there are may be one of those deferred.
        int32_t n = 0;
        const char* name = i < count ? EntryName(i, &n) : nullptr;
        if (name)
            SettleFor(name, n);
        else
            Settle();
    }
    if (i >= count) return nullptr;
    if (create && !entries[i].variable) {
        Record(i, entries[i].tag, nullptr);
        CreateVariable(i);
    }
    return entries[i].variable;
}

int32_t SystemVariableHash::FindIndex(int32_t nameId, const char* name, int32_t length,
                                      VariableHashEntry** outEntry) {
    if (deferred) {
        // An entry handed out must be the one the settled table holds.
        int32_t n = length;
        const char* text = NameText(nameId, name, &n);
        if (outEntry || !text)
            Settle();
        else
            SettleFor(text, n);
    }
    return VariableHash::FindIndex(nameId, name, length, outEntry);
}

int32_t SystemVariableHash::Count() {
    Settle();
    return count;
}

void SystemVariableHash::VisitAll(VariableList* list) {
    Settle();
    VariableHash::VisitAll(list);
}

bool SystemVariableHash::Load(TaggedFile& file) {
    Settle();
    return VariableHash::Load(file);
}

bool SystemVariableHash::Save(TaggedFile& file) {
    Settle();
    return VariableHash::Save(file);
}

void SystemVariableHash::PushScope() {
    Settle();
    ++depth;
    current = new List<_SVH_Entry>(true);
    scopes.Push(current);
}

int SystemVariableHash::PopScope() {
    if (depth == 0 || !current) return 0;
    // Undone from the last change to the first, so each entry ends with what
    // it held when the scope was opened.
    for (_SVH_Entry* e = current->Last(); e; e = current->Previous()) {
        if (e->index < 0 || e->index >= count) continue;
        Variable* now = entries[e->index].variable;
        entries[e->index].variable = e->variable;
        entries[e->index].tag = e->tag;
        e->variable = nullptr;
        if (now) now->Release();
    }
    scopes.Top();
    delete scopes.Pop();
    --depth;
    current = scopes.Top();
    return 1;
}

// --- ReferenceVariableHash -------------------------------------------------------

ReferenceVariableHash::ReferenceVariableHash(Dictionary* names, VariableHash* source, int32_t bits,
                                             int32_t capacity)
    : VariableHash(names, bits, capacity), source(source ? source->Underlying() : nullptr) {}

int32_t ReferenceVariableHash::SourceIndex(int32_t i) {
    if (!source || i < 0 || i >= count) return -1;
    int32_t n = 0;
    const char* name = EntryName(i, &n);
    if (!name) return -1;
    int32_t tag = entries[i].tag;
    if (tag >= 0) {
        // A remembered index is used only while it still names this entry.
        int32_t sn = 0;
        const char* sname = source->EntryName(tag, &sn);
        if (sname && CompareNameOrder(sname, sn, name, n) == 0) return tag;
    }
    int32_t si = source->FindIndex(-1, name, n, nullptr);
    entries[i].tag = si;
    return si;
}

Variable* ReferenceVariableHash::SourceVariable(int32_t i, bool create) {
    int32_t si = SourceIndex(i);
    if (si >= 0) return source->Index(si, create);
    if (!create || !source || i < 0 || i >= count) return nullptr;
    int32_t n = 0;
    const char* name = EntryName(i, &n);
    if (!name) return nullptr;
    Variable* v = new Variable(name, n);
    si = source->AddEntry(-1, name, n, v);
    if (si < 0) return nullptr;
    entries[i].tag = si;
    return v;
}

int32_t ReferenceVariableHash::AddEntry(int32_t nameId, const char* name, int32_t length, Variable* v) {
    int32_t n = length;
    const char* text = NameText(nameId, name, &n);
    if (!text || !source) {
        if (v) v->Release();
        return -1;
    }
    return source->AddEntry(-1, text, n, v);
}

void ReferenceVariableHash::ReplaceVariable(Variable* v) {
    if (source)
        source->ReplaceVariable(v);
    else if (v)
        v->Release();
}

Variable* ReferenceVariableHash::SetVariable(const char* name, int32_t length, const char* text,
                                             int32_t textLength) {
    return source ? source->SetVariable(name, length, text, textLength) : nullptr;
}

void ReferenceVariableHash::SetReference(int32_t i, Variable* target) {
    if (!source || !target || i < 0 || i >= count) return;
    int32_t si = SourceIndex(i);
    if (si >= 0) {
        source->SetReference(si, target);
        return;
    }
    int32_t n = 0;
    const char* name = EntryName(i, &n);
    if (!name) return;
    si = source->AddEntry(-1, name, n, new ReferenceVariable(name, n, target));
    if (si >= 0) entries[i].tag = si;
}

void ReferenceVariableHash::AppendValue(const char* name, int32_t length, const char* text, int32_t textLength,
                                        bool multiple) {
    if (source) source->AppendValue(name, length, text, textLength, multiple);
}

int32_t ReferenceVariableHash::FindIndex(int32_t nameId, const char* name, int32_t length,
                                         VariableHashEntry** outEntry) {
    int32_t n = length;
    const char* text = NameText(nameId, name, &n);
    if (!text || !source) {
        if (outEntry) *outEntry = nullptr;
        return -1;
    }
    return source->FindIndex(-1, text, n, outEntry);
}

int32_t ReferenceVariableHash::EntryTag() { return source ? source->EntryTag() : 0; }

int ReferenceVariableHash::ClearVariable(const char* name, int32_t length) {
    return source ? source->ClearVariable(name, length) : 0;
}

bool ReferenceVariableHash::Find(Variable** out, const char* name, int32_t length, bool create) {
    int32_t own = FindOwnIndex(name, length);
    if (own < 0) {
        if (source) return source->Find(out, name, length, create);
        if (out) *out = nullptr;
        return false;
    }
    Variable* v = SourceVariable(own, create);
    if (out) *out = v;
    return true;
}

bool ReferenceVariableHash::ResolvePath(Variable** out, const char* path, int32_t length, bool create) {
    if (!source) {
        if (out) *out = nullptr;
        return true;
    }
    bool ok = source->ResolvePath(out, path, length, create);
    if (!ok) label.Assign(source->Label());
    return ok;
}

Variable* ReferenceVariableHash::Index(int32_t i, bool create) {
    if (i < 0 || i >= count) return nullptr;
    return SourceVariable(i, create);
}

int32_t ReferenceVariableHash::Count() { return source ? source->Count() : 0; }

void ReferenceVariableHash::VisitAll(VariableList* list) {
    if (source) source->VisitAll(list);
}

bool ReferenceVariableHash::Load(TaggedFile& file) {
    if (!VariableHash::Load(file)) return false;
    for (int32_t i = 0; i < count; ++i) entries[i].tag = -1;
    return true;
}

void ReferenceVariableHash::PushScope() {
    if (source) source->PushScope();
}

int ReferenceVariableHash::PopScope() { return source ? source->PopScope() : 0; }

VariableHash* ReferenceVariableHash::Underlying() { return source ? source : this; }

} // namespace vorn
