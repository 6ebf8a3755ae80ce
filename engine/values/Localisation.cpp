#include "engine/values/Localisation.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/app/VornApplication.h"
#include "engine/foundation/LittleEndian.h"
#include "engine/program/Dictionary.h"
#include "engine/program/NameChains.h"
#include "engine/program/TaggedFile.h"
#include "engine/values/Variable.h"
#include "engine/values/VariableHash.h"

namespace vorn {

namespace {

constexpr int32_t kBucketRecordSize = 6;
constexpr int32_t kLanguageHeaderSize = 7;
constexpr int32_t kLanguageSlotSize = 8;
constexpr int32_t kMessageHeaderSize = 11;
constexpr int32_t kMessageSlotSize = 12;
constexpr int32_t kPieceSize = 12;
constexpr const char kTooLargeToSave[] = "Localisation table too large to save";

int32_t ClampBits(int32_t bits) {
    return bits < 0 ? 0 : (bits > kTableBucketBitsMax ? kTableBucketBitsMax : bits);
}

// The error text of a failed load: the file's, or the corrupt-file message
// when the file has none or the contents themselves are damaged.
String FileError(const TaggedFile& file) {
    return file.ErrorText().IsEmpty() ? String(kCorruptFileMessage) : file.ErrorText();
}

uint32_t FillLanguage(LocalizedLanguage& e, const uint8_t* p) {
    uint32_t key = GetU32(p);
    e.key = key > static_cast<uint32_t>(INT32_MAX) ? -1 : static_cast<int32_t>(key);
    e.index = nullptr;
    return GetU32(p + 4);
}

void PutLanguage(const LocalizedLanguage& e, uint32_t next, uint8_t* p) {
    PutU32(p, static_cast<uint32_t>(e.key));
    PutU32(p + 4, next);
}

uint32_t FillMessage(LocalizedMessage& e, const uint8_t* p) {
    uint32_t key = GetU32(p);
    e.key = key > static_cast<uint32_t>(INT32_MAX) ? -1 : static_cast<int32_t>(key);
    e.firstPiece = GetU32(p + 4);
    return GetU32(p + 8);
}

void PutMessage(const LocalizedMessage& e, uint32_t next, uint8_t* p) {
    PutU32(p, static_cast<uint32_t>(e.key));
    PutU32(p + 4, e.firstPiece);
    PutU32(p + 8, next);
}

// Reads a table's bucket records and slot records after its header has been
// checked against the section.
bool ReadTableBytes(TaggedFile& file, std::vector<uint8_t>& records, int32_t recordCount, std::vector<uint8_t>& slots,
                    int32_t slotCount, int32_t slotSize) {
    records.resize(static_cast<size_t>(recordCount) * kBucketRecordSize);
    slots.resize(static_cast<size_t>(slotCount) * static_cast<size_t>(slotSize));
    return ReadSectionBytes(file, records.data(), static_cast<int64_t>(records.size())) &&
           ReadSectionBytes(file, slots.data(), static_cast<int64_t>(slots.size()));
}

} // namespace

// --- PooledKeyTable --------------------------------------------------------------

template <class E>
PooledKeyTable<E>::PooledKeyTable(Dictionary* dictionary, int32_t bits, int32_t growth)
    : dictionary(dictionary), bits(ClampBits(bits)), growth(growth > 0 ? growth : 1) {
    bucketCount = static_cast<int32_t>(1u << this->bits);
    buckets = new int32_t[static_cast<size_t>(bucketCount)];
    for (int32_t b = 0; b < bucketCount; ++b) buckets[b] = -1;
    capacity = this->growth;
    next = new int32_t[static_cast<size_t>(capacity)];
    entries = new E[static_cast<size_t>(capacity)]();
    for (int32_t i = 0; i < capacity; ++i) next[i] = -1;
}

template <class E>
PooledKeyTable<E>::~PooledKeyTable() {
    delete[] buckets;
    delete[] next;
    delete[] entries;
}

template <class E>
const char* PooledKeyTable<E>::KeyText(int32_t slot, int32_t* length) const {
    if (!dictionary || slot < 0 || slot >= used) return nullptr;
    return dictionary->Get(entries[slot].key, length);
}

template <class E>
int32_t PooledKeyTable<E>::Insert(const E& entry) {
    int32_t n = 0;
    const char* text = dictionary ? dictionary->Get(entry.key, &n) : nullptr;
    if (!text) return -1;
    if (used == capacity) {
        if (capacity > INT32_MAX - growth) return -1;
        int32_t room = capacity + growth;
        auto* grownNext = new int32_t[static_cast<size_t>(room)];
        auto* grownEntries = new E[static_cast<size_t>(room)]();
        for (int32_t i = 0; i < room; ++i) grownNext[i] = i < capacity ? next[i] : -1;
        for (int32_t i = 0; i < capacity; ++i) grownEntries[i] = entries[i];
        delete[] next;
        delete[] entries;
        next = grownNext;
        entries = grownEntries;
        capacity = room;
    }
    int32_t s = used;
    entries[s] = entry;
    next[s] = -1;
    int32_t b = NameBucket(text, n, bits);
    int32_t prev = -1;
    int32_t e = buckets[b];
    if (e == -1) ++count;
    // Equal names keep their insertion order.
    while (e != -1) {
        int32_t elen = 0;
        const char* etext = KeyText(e, &elen);
        if (etext && CompareNameOrder(etext, elen, text, n) > 0) break;
        prev = e;
        e = next[e];
    }
    next[s] = e;
    if (prev == -1)
        buckets[b] = s;
    else
        next[prev] = s;
    ++used;
    return s;
}

template <class E>
int32_t PooledKeyTable<E>::FindSlot(const char* text, int32_t length) const {
    if (!text) return -1;
    if (length < 0) length = static_cast<int32_t>(std::strlen(text));
    for (int32_t e = buckets[NameBucket(text, length, bits)]; e != -1; e = next[e]) {
        int32_t elen = 0;
        const char* etext = KeyText(e, &elen);
        int c = etext ? CompareNameOrder(etext, elen, text, length) : -1;
        if (c == 0) return e;
        if (c > 0) break;
    }
    return -1;
}

template <class E>
bool PooledKeyTable<E>::LoadStored(int32_t newBits, const uint8_t* records, int32_t recordCount,
                                   const uint8_t* slotBytes, int32_t slots, int32_t slotSize,
                                   uint32_t (*fill)(E&, const uint8_t*)) {
    if (newBits < 0 || newBits > kStoredBucketBitsMax || slots < 0 || recordCount < 0) return false;
    int32_t newBucketCount = static_cast<int32_t>(1u << newBits);
    int32_t room = slots > 0 ? slots : 1;
    // Handed over to the table when the stored one passes every check.
    std::unique_ptr<int32_t[]> newBuckets(new int32_t[static_cast<size_t>(newBucketCount)]);
    std::fill_n(newBuckets.get(), newBucketCount, -1);
    std::vector<int32_t> newNext(static_cast<size_t>(room), -1);
    auto* newEntries = new E[static_cast<size_t>(room)]();
    int32_t poolCount = dictionary ? dictionary->Count() : 0;
    bool ok = true;
    for (int32_t i = 0; i < slots && ok; ++i) {
        uint32_t link = fill(newEntries[i], slotBytes + static_cast<size_t>(i) * static_cast<size_t>(slotSize));
        if (newEntries[i].key < 0 || newEntries[i].key >= poolCount) ok = false;
        if (link != kLocalizedEnd && link >= static_cast<uint32_t>(slots)) ok = false;
        newNext[static_cast<size_t>(i)] = link == kLocalizedEnd ? -1 : static_cast<int32_t>(link);
    }
    int32_t nonEmpty = ok ? ApplyBucketRecords(records, recordCount, newBuckets.get(), newBucketCount, slots) : -1;
    if (nonEmpty < 0 || !StoredChainsAreSound(records, recordCount, newBuckets.get(), newNext.data(), slots)) {
        delete[] newEntries;
        return false;
    }
    delete[] buckets;
    delete[] next;
    delete[] entries;
    buckets = newBuckets.release();
    next = new int32_t[static_cast<size_t>(room)];
    std::memcpy(next, newNext.data(), sizeof(int32_t) * static_cast<size_t>(room));
    entries = newEntries;
    bits = newBits;
    bucketCount = newBucketCount;
    count = nonEmpty;
    capacity = room;
    used = slots;
    return true;
}

template <class E>
bool PooledKeyTable<E>::Storable() const {
    int32_t nonEmpty = 0;
    for (int32_t b = 0; b < bucketCount; ++b)
        if (buckets[b] != -1) ++nonEmpty;
    return bits <= kStoredBucketBitsMax && nonEmpty <= 0xFFFF;
}

template <class E>
bool PooledKeyTable<E>::Write(TaggedFile& file, int32_t pad, int32_t slotSize,
                              void (*put)(const E&, uint32_t, uint8_t*)) const {
    int32_t nonEmpty = 0;
    for (int32_t b = 0; b < bucketCount; ++b)
        if (buckets[b] != -1) ++nonEmpty;
    int64_t size = 7 + static_cast<int64_t>(pad) + static_cast<int64_t>(nonEmpty) * kBucketRecordSize +
                   static_cast<int64_t>(used) * slotSize;
    if (size > INT32_MAX) return false;
    std::vector<uint8_t> out(static_cast<size_t>(size), 0);
    uint8_t* p = out.data();
    PutU16(p, static_cast<uint16_t>(nonEmpty));
    p[2] = static_cast<uint8_t>(bits);
    PutU32(p + 3, static_cast<uint32_t>(used));
    p += 7 + pad;
    for (int32_t b = 0; b < bucketCount; ++b) {
        if (buckets[b] == -1) continue;
        PutU16(p, static_cast<uint16_t>(b));
        PutU32(p + 2, static_cast<uint32_t>(buckets[b]));
        p += kBucketRecordSize;
    }
    for (int32_t s = 0; s < used; ++s) {
        put(entries[s], next[s] == -1 ? kLocalizedEnd : static_cast<uint32_t>(next[s]), p);
        p += slotSize;
    }
    return file.WriteAll(out.data(), static_cast<int32_t>(size));
}

template class PooledKeyTable<LocalizedMessage>;
template class PooledKeyTable<LocalizedLanguage>;

// --- LocalizedDictionary ------------------------------------------------------------

LocalizedDictionary::LocalizedDictionary() = default;

LocalizedDictionary::~LocalizedDictionary() { delete[] pieces; }

const String& LocalizedDictionary::ErrorText() const { return error; }

void LocalizedDictionary::SetError(const String& text) {
    if (!text.IsNull()) error.Assign(text);
}

bool LocalizedDictionary::Load(TaggedFile& file) {
    if (!file.SelectSection(kSectionLocd)) {
        SetError(FileError(file));
        return false;
    }
    uint8_t header[4];
    if (!ReadSectionBytes(file, header, 4)) {
        SetError(FileError(file));
        file.DeselectSection();
        return false;
    }
    uint32_t n = GetU32(header);
    if (static_cast<int64_t>(n) * kPieceSize > SectionBytesLeft(file)) {
        SetError(String(kCorruptFileMessage));
        file.DeselectSection();
        return false;
    }
    std::vector<uint8_t> raw(static_cast<size_t>(n) * kPieceSize);
    if (!ReadSectionBytes(file, raw.data(), static_cast<int64_t>(raw.size()))) {
        SetError(FileError(file));
        file.DeselectSection();
        return false;
    }
    file.DeselectSection();

    int32_t pieceCount = static_cast<int32_t>(n);
    auto* loaded = new LocalizedPiece[static_cast<size_t>(pieceCount > 0 ? pieceCount : 1)]();
    bool ok = true;
    for (int32_t i = 0; i < pieceCount; ++i) {
        const uint8_t* p = raw.data() + static_cast<size_t>(i) * kPieceSize;
        loaded[i] = {GetU32(p), GetU32(p + 4), GetU32(p + 8)};
        if (loaded[i].next != kLocalizedEnd && loaded[i].next >= n) ok = false;
    }
    // No chain may loop: each walk ends at the end mark or at a piece already
    // known to end there (texts may share their tails).
    std::vector<uint8_t> state(static_cast<size_t>(pieceCount), 0); // 0 new, 1 on this walk, 2 ends
    std::vector<uint32_t> walk;
    for (int32_t i = 0; i < pieceCount && ok; ++i) {
        walk.clear();
        uint32_t p = static_cast<uint32_t>(i);
        while (p != kLocalizedEnd && state[p] == 0) {
            state[p] = 1;
            walk.push_back(p);
            p = loaded[p].next;
        }
        if (p != kLocalizedEnd && state[p] == 1) ok = false;
        for (uint32_t w : walk) state[w] = 2;
    }
    if (!ok) {
        delete[] loaded;
        SetError(String(kCorruptFileMessage));
        return false;
    }
    delete[] pieces;
    pieces = loaded;
    count = pieceCount;
    capacity = pieceCount;
    return true;
}

const LocalizedPiece* LocalizedDictionary::EntryAt(uint32_t index) const {
    return index < static_cast<uint32_t>(count) ? &pieces[index] : nullptr;
}

bool LocalizedDictionary::AppendText(uint32_t first, const Dictionary& pool, VariableHash* tokens,
                                     String& out) const {
    bool ok = true;
    int64_t steps = 0;
    for (uint32_t p = first; p != kLocalizedEnd; ++steps) {
        const LocalizedPiece* piece = EntryAt(p);
        // Pieces added by the writer are not checked for loops; a walk never
        // takes more steps than there are pieces.
        if (!piece || steps >= count) break;
        int32_t n = 0;
        const char* text = piece->text <= static_cast<uint32_t>(INT32_MAX)
                               ? pool.Get(static_cast<int32_t>(piece->text), &n)
                               : nullptr;
        if (!text) {
            ok = false;
        } else if (piece->kind != kPieceToken) {
            if (n > 0) out.Append(text, n);
        } else if (tokens) {
            Variable* token = nullptr;
            if (tokens->Find(&token, text, n, false) && token) out.AppendString(token->Value());
        }
        p = piece->next;
    }
    return ok;
}

int32_t LocalizedDictionary::AddPiece(uint32_t kind, uint32_t text, uint32_t next) {
    if (count == capacity) {
        if (capacity > INT32_MAX / 2 - 64) return -1;
        int32_t room = capacity * 2 + 64;
        auto* grown = new LocalizedPiece[static_cast<size_t>(room)]();
        for (int32_t i = 0; i < count; ++i) grown[i] = pieces[i];
        delete[] pieces;
        pieces = grown;
        capacity = room;
    }
    pieces[count] = {kind, text, next};
    return count++;
}

uint32_t LocalizedDictionary::AddChain(const uint32_t* kinds, const uint32_t* texts, int32_t n) {
    if (n <= 0 || !kinds || !texts) return kLocalizedEnd;
    int32_t first = -1;
    int32_t previous = -1;
    for (int32_t i = 0; i < n; ++i) {
        int32_t at = AddPiece(kinds[i], texts[i], kLocalizedEnd);
        if (at < 0) return kLocalizedEnd;
        if (previous >= 0) pieces[previous].next = static_cast<uint32_t>(at);
        if (first < 0) first = at;
        previous = at;
    }
    return static_cast<uint32_t>(first);
}

bool LocalizedDictionary::Save(TaggedFile& file) {
    int64_t size = 4 + static_cast<int64_t>(count) * kPieceSize;
    if (size > INT32_MAX) {
        SetError(String(kTooLargeToSave));
        return false;
    }
    std::vector<uint8_t> out(static_cast<size_t>(size));
    PutU32(out.data(), static_cast<uint32_t>(count));
    for (int32_t i = 0; i < count; ++i) {
        uint8_t* p = out.data() + 4 + static_cast<size_t>(i) * kPieceSize;
        PutU32(p, pieces[i].kind);
        PutU32(p + 4, pieces[i].text);
        PutU32(p + 8, pieces[i].next);
    }
    file.BeginSection(kSectionLocd);
    if (!file.WriteAll(out.data(), static_cast<int32_t>(size))) {
        SetError(FileError(file));
        return false;
    }
    file.EndSection();
    return true;
}

// --- LocalizedIndex ------------------------------------------------------------------

LocalizedIndex::LocalizedIndex(Dictionary* dictionary, int32_t slot, int32_t bits, int32_t growth)
    : slot(slot), table(dictionary, bits, growth), dictionary(dictionary) {}

LocalizedIndex::~LocalizedIndex() = default;

int32_t LocalizedIndex::Count() const { return table.Used(); }

const String& LocalizedIndex::ErrorText() const { return error; }

void LocalizedIndex::SetError(const String& text) {
    if (!text.IsNull()) error.Assign(text);
}

bool LocalizedIndex::Load(TaggedFile& file, uint32_t tag) {
    if (!file.SelectSection(tag)) {
        if (tag == 0 || file.Version() >= kPerLanguageSectionsVersion || !file.SelectSection(0)) {
            SetError(FileError(file));
            return false;
        }
    }
    uint8_t header[kMessageHeaderSize];
    bool ok = ReadSectionBytes(file, header, kMessageHeaderSize);
    String why = ok ? String(kCorruptFileMessage) : FileError(file);
    std::vector<uint8_t> records;
    std::vector<uint8_t> slots;
    if (ok) {
        uint32_t recordCount = GetU16(header);
        int32_t bits = static_cast<int8_t>(header[2]);
        uint32_t slotCount = GetU32(header + 3);
        int64_t need = static_cast<int64_t>(recordCount) * kBucketRecordSize +
                       static_cast<int64_t>(slotCount) * kMessageSlotSize;
        ok = bits >= 0 && bits <= kStoredBucketBitsMax && need <= SectionBytesLeft(file);
        if (ok && !ReadTableBytes(file, records, static_cast<int32_t>(recordCount), slots,
                                  static_cast<int32_t>(slotCount), kMessageSlotSize)) {
            ok = false;
            why = FileError(file);
        }
        if (ok) {
            ok = table.LoadStored(bits, records.data(), static_cast<int32_t>(recordCount), slots.data(),
                                  static_cast<int32_t>(slotCount), kMessageSlotSize, FillMessage);
        }
    }
    file.DeselectSection();
    if (!ok) SetError(why);
    return ok;
}

const LocalizedMessage* LocalizedIndex::Find(int32_t key) const {
    int32_t n = 0;
    const char* text = dictionary ? dictionary->Get(key, &n) : nullptr;
    return text ? table.At(table.FindSlot(text, n)) : nullptr;
}

int32_t LocalizedIndex::Insert(int32_t key, uint32_t firstPiece) { return table.Insert({key, firstPiece}); }

bool LocalizedIndex::Save(TaggedFile& file, uint32_t tag) {
    if (!table.Storable()) {
        SetError(String(kTooLargeToSave));
        return false;
    }
    file.BeginSection(tag);
    if (!table.Write(file, kMessageHeaderSize - 7, kMessageSlotSize, PutMessage)) {
        SetError(FileError(file));
        return false;
    }
    file.EndSection();
    return true;
}

// --- LocalizedLanguages -----------------------------------------------------------

LocalizedLanguages::LocalizedLanguages(VornApplication* application, Dictionary* dictionary, TaggedFile* file,
                                       int32_t bits, int32_t growth)
    : table(dictionary, bits, growth), application(application), dictionary(dictionary), file(file) {}

LocalizedLanguages::~LocalizedLanguages() { DeleteTables(); }

void LocalizedLanguages::DeleteTables() {
    for (int32_t s = 0; s < table.Used(); ++s) {
        LocalizedLanguage* language = table.At(s);
        delete language->index;
        language->index = nullptr;
    }
}

int32_t LocalizedLanguages::Count() const { return table.Used(); }

const String& LocalizedLanguages::ErrorText() const { return error; }

void LocalizedLanguages::SetError(const String& text) {
    if (!text.IsNull()) error.Assign(text);
}

bool LocalizedLanguages::Load() {
    if (!file) {
        SetError(String(kInvalidSectionMessage));
        return false;
    }
    if (!file->SelectSection(kSectionLocl)) {
        SetError(FileError(*file));
        return false;
    }
    uint8_t header[kLanguageHeaderSize];
    bool ok = ReadSectionBytes(*file, header, kLanguageHeaderSize);
    String why = ok ? String(kCorruptFileMessage) : FileError(*file);
    if (ok) {
        uint32_t recordCount = GetU16(header);
        int32_t bits = static_cast<int8_t>(header[2]);
        uint32_t slotCount = GetU32(header + 3);
        int64_t need = static_cast<int64_t>(recordCount) * kBucketRecordSize +
                       static_cast<int64_t>(slotCount) * kLanguageSlotSize;
        ok = bits >= 0 && bits <= kStoredBucketBitsMax && need <= SectionBytesLeft(*file);
        std::vector<uint8_t> records;
        std::vector<uint8_t> slots;
        if (ok && !ReadTableBytes(*file, records, static_cast<int32_t>(recordCount), slots,
                                  static_cast<int32_t>(slotCount), kLanguageSlotSize)) {
            ok = false;
            why = FileError(*file);
        }
        if (ok) {
            // The old tables go only once the new languages are known to be sound.
            std::vector<LocalizedIndex*> old;
            for (int32_t s = 0; s < table.Used(); ++s) old.push_back(table.At(s)->index);
            ok = table.LoadStored(bits, records.data(), static_cast<int32_t>(recordCount), slots.data(),
                                  static_cast<int32_t>(slotCount), kLanguageSlotSize, FillLanguage);
            if (ok) {
                for (LocalizedIndex* index : old) delete index;
                currentCached = false;
                defaultCached = false;
                currentSlot = -1;
                defaultSlot = -1;
            }
        }
    }
    file->DeselectSection();
    if (!ok) SetError(why);
    return ok;
}

LocalizedIndex* LocalizedLanguages::Table(int32_t slot) {
    LocalizedLanguage* language = table.At(slot);
    if (!language) return nullptr;
    if (!language->index) {
        language->index = new LocalizedIndex(dictionary, slot, kMessageBits, kMessageGrowth);
        if (file && file->IsOpen()) {
            // A failed read leaves the table empty: the language has no texts.
            language->index->Load(*file, LanguageSectionTag(slot));
            file->ReleaseFile();
        }
    }
    return language->index;
}

int32_t LocalizedLanguages::FindLanguageSlot(const char* name, int32_t length) {
    int32_t slot = table.FindSlot(name, length);
    if (slot >= 0) Table(slot);
    return slot;
}

LocalizedLanguage* LocalizedLanguages::FindLanguage(const char* name, int32_t length) {
    return table.At(FindLanguageSlot(name, length));
}

const LocalizedMessage* LocalizedLanguages::Lookup(int32_t key) {
    if (!application) return nullptr;
    int32_t c = application->LanguageVersion();
    if (!currentCached || c != currentVersion) {
        const String& language = application->Language();
        currentSlot = FindLanguageSlot(language.Text(), language.Length());
        currentVersion = c;
        currentCached = true;
    }
    if (LocalizedLanguage* current = table.At(currentSlot)) {
        if (const LocalizedMessage* m = current->index ? current->index->Find(key) : nullptr) return m;
    }
    int32_t d = application->DefaultLanguageVersion();
    if (!defaultCached || d != defaultVersion) {
        const String& language = application->DefaultLanguage();
        defaultSlot = FindLanguageSlot(language.Text(), language.Length());
        defaultVersion = d;
        defaultCached = true;
    }
    LocalizedLanguage* fallback = table.At(defaultSlot);
    return fallback && fallback->index ? fallback->index->Find(key) : nullptr;
}

int32_t LocalizedLanguages::AddLanguage(const char* name, int32_t length) {
    if (!name || !dictionary) return -1;
    if (length < 0) length = static_cast<int32_t>(std::strlen(name));
    int32_t slot = table.FindSlot(name, length);
    if (slot >= 0) return slot;
    int32_t key = dictionary->Add(name, length);
    if (key < 0) return -1;
    return table.Insert({key, nullptr});
}

int32_t LocalizedLanguages::AddLanguageKey(int32_t key) {
    int32_t n = 0;
    const char* name = dictionary ? dictionary->Get(key, &n) : nullptr;
    if (!name) return -1;
    int32_t slot = table.FindSlot(name, n);
    return slot >= 0 ? slot : table.Insert({key, nullptr});
}

bool LocalizedLanguages::Save(TaggedFile& out) {
    // Every language needs a 16-bit slot number for its section tag.
    if (!table.Storable() || table.Used() > 0x10000) {
        SetError(String(kTooLargeToSave));
        return false;
    }
    // Tables not read yet are read before anything is written.
    for (int32_t s = 0; s < table.Used(); ++s) Table(s);
    out.BeginSection(kSectionLocl);
    if (!table.Write(out, 0, kLanguageSlotSize, PutLanguage)) {
        SetError(FileError(out));
        return false;
    }
    out.EndSection();
    for (int32_t s = 0; s < table.Used(); ++s) {
        LocalizedIndex* index = table.At(s)->index;
        if (!index->Save(out, LanguageSectionTag(s))) {
            SetError(index->ErrorText());
            return false;
        }
    }
    return true;
}

} // namespace vorn
