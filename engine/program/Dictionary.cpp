#include "engine/program/Dictionary.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "engine/foundation/LittleEndian.h"
#include "engine/program/TaggedFile.h"

namespace vorn {

namespace {

// Block size for a text of n bytes: whole 8 KB steps with room to spare,
// or -1 when that would not fit a signed 32-bit size.
int32_t BlockSizeFor(int64_t n) {
    int64_t size = (n / kDictionaryBlockSize + 1) * kDictionaryBlockSize;
    return size > INT32_MAX ? -1 : static_cast<int32_t>(size);
}

// Pieces of 4 and of 8 bytes, each kind in its own bit set: a text is
// checked with the longer kind when it can hold one, because names built
// from shared parts ("dyn_tm_sec" after "dyn_tm_usec" and "tm_sec") hold
// every short piece of one another.
constexpr int kPieceBits = 13;
constexpr int kPieceWords = (1 << kPieceBits) / 64;

template <class Word>
uint32_t PieceAt(const char* p) {
    Word w;
    std::memcpy(&w, p, sizeof w);
    return static_cast<uint32_t>((static_cast<uint64_t>(w) * 0x9E3779B97F4A7C15ull) >> (64 - kPieceBits));
}

template <class Word>
void AddPieces(uint64_t* set, const char* data, int32_t from, int32_t to) {
    constexpr int32_t n = sizeof(Word);
    // Pieces that start in the last indexed bytes end in the new ones.
    for (int32_t i = from >= n - 1 ? from - (n - 1) : 0; i + n <= to; ++i) {
        uint32_t h = PieceAt<Word>(data + i);
        set[h >> 6] |= uint64_t{1} << (h & 63);
    }
}

template <class Word>
bool HasAllPieces(const uint64_t* set, const char* bytes, int32_t m) {
    constexpr int32_t n = sizeof(Word);
    for (int32_t k = 0; k + n <= m; ++k) {
        uint32_t h = PieceAt<Word>(bytes + k);
        if (!(set[h >> 6] & (uint64_t{1} << (h & 63)))) return false;
    }
    return true;
}

} // namespace

bool DictionaryDataBlock::MayContain(const char* bytes, int32_t m) {
    if (m < 4) return true;
    if (!pieces) {
        pieces.reset(new uint64_t[kPieceWords * 2]());
        indexed = 0;
    }
    if (used > indexed) {
        AddPieces<uint32_t>(pieces.get(), data, indexed, used);
        AddPieces<uint64_t>(pieces.get() + kPieceWords, data, indexed, used);
        indexed = used;
    }
    return m >= 8 ? HasAllPieces<uint64_t>(pieces.get() + kPieceWords, bytes, m)
                  : HasAllPieces<uint32_t>(pieces.get(), bytes, m);
}

DictionaryDataBlock::DictionaryDataBlock(int32_t capacity)
    : data(static_cast<char*>(std::calloc(capacity > 0 ? static_cast<size_t>(capacity) : 1, 1))),
      capacity(capacity > 0 ? capacity : 0) {}

DictionaryDataBlock::~DictionaryDataBlock() { std::free(data); }

Dictionary::Dictionary() = default;

Dictionary::~Dictionary() { ReleaseEntries(); }

const String& Dictionary::ErrorText() const { return error; }

void Dictionary::SetError(const String& text) {
    if (!text.IsNull()) error.Assign(text);
}

void Dictionary::ReleaseEntries() {
    std::free(entries);
    entries = nullptr;
    count = 0;
    capacity = 0;
}

int32_t Dictionary::FindInBlock(DictionaryDataBlock* block, const char* bytes, int32_t m) {
    if (m < 0) return -1;
    if (m == 0) return 0;
    if (m <= block->Used() && block->MayContain(bytes, m)) {
        int32_t at = FindBytesSkip(bytes, m, block->Data(), block->Used());
        if (at >= 0) return at;
    }
    return AppendToBlock(block, bytes, m);
}

int32_t Dictionary::AppendToBlock(DictionaryDataBlock* block, const char* bytes, int32_t m) {
    if (m <= 0) return m == 0 ? 0 : -1;
    if (static_cast<int64_t>(block->Used()) + m > block->Capacity()) return -1;
    int32_t at = block->Used();
    std::memcpy(block->Data() + at, bytes, static_cast<size_t>(m));
    block->SetUsed(at + m);
    return at;
}

int32_t Dictionary::Add(const char* text, int32_t length) {
    if (length == -1) length = text ? static_cast<int32_t>(std::strlen(text)) : 0;
    if (length < 0 || (!text && length > 0)) return -1;
    if (!text) text = "";

    if (count == capacity) {
        // Half as much again each time: a long expression compiled at run
        // time adds an entry per constant, and fixed steps made that quadratic.
        int64_t wanted = static_cast<int64_t>(capacity) + std::max<int64_t>(kDictionaryEntryStep, capacity / 2);
        if (capacity == INT32_MAX) return -1;
        int32_t room = static_cast<int32_t>(std::min<int64_t>(wanted, INT32_MAX));
        auto* grown = static_cast<DictionaryEntry*>(std::malloc(sizeof(DictionaryEntry) * static_cast<size_t>(room)));
        if (!grown) return -1;
        if (count > 0) std::memcpy(grown, entries, sizeof(DictionaryEntry) * static_cast<size_t>(count));
        std::free(entries);
        entries = grown;
        capacity = room;
    }

    // A run's pool over a shared one takes its few texts as they come: looking
    // for equal bytes would cost more than it keeps.
    int32_t offset = !current ? -1 : searchBytes ? FindInBlock(current, text, length) : AppendToBlock(current, text, length);
    if (offset < 0) {
        int32_t size = BlockSizeFor(length);
        if (size < 0) return -1;
        auto* block = new DictionaryDataBlock(size);
        offset = searchBytes ? FindInBlock(block, text, length) : AppendToBlock(block, text, length);
        blocks.Insert(block, kListTail);
        current = block;
    }
    entries[count] = {current, offset, length};
    return count++;
}

const char* Dictionary::Get(int32_t index, int32_t* outLength) const {
    if (index < 0 || index >= count) return nullptr;
    const DictionaryEntry& e = entries[index];
    if (outLength) *outLength = e.length;
    return e.block->Data() + e.offset;
}

bool Dictionary::Fail(const char* message) {
    error.Assign(message);
    return false;
}

bool Dictionary::FailFromFile(TaggedFile& file) {
    SetError(file.ErrorText());
    if (error.IsEmpty()) error.Assign(kCorruptFileMessage);
    return false;
}

bool Dictionary::ReadChunk(TaggedFile& file) {
    ReleaseEntries();
    blocks.Clear();
    sharedBlocks.clear();
    searchBytes = true;
    current = nullptr;

    uint32_t sectionLength = 0;
    if (!file.SelectSection(kSectionDict, &sectionLength)) return FailFromFile(file);
    uint8_t header[12];
    if (file.Read(header, 12) != 12) return FailFromFile(file);
    uint32_t n = GetU32(header);
    uint32_t d = GetU32(header + 4);
    uint32_t word = GetU32(header + 8);

    // Every count is checked against the section before anything is sized by it.
    int64_t recordBytes = static_cast<int64_t>(n) * 8;
    if (12 + recordBytes + static_cast<int64_t>(d) > static_cast<int64_t>(sectionLength)) return Fail(kCorruptFileMessage);
    int32_t blockSize = BlockSizeFor(d);
    if (blockSize < 0) return Fail(kCorruptFileMessage);

    uint8_t* records = nullptr;
    if (n > 0) {
        records = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(recordBytes)));
        if (!records) return Fail(kCorruptFileMessage);
        if (file.Read(records, static_cast<int32_t>(recordBytes)) != recordBytes) {
            std::free(records);
            return FailFromFile(file);
        }
    }
    auto* block = new DictionaryDataBlock(blockSize);
    int32_t dataLength = static_cast<int32_t>(d);
    if (dataLength > 0 && file.Read(block->Data(), dataLength) != dataLength) {
        std::free(records);
        delete block;
        return FailFromFile(file);
    }
    block->SetUsed(dataLength);

    auto* loaded = static_cast<DictionaryEntry*>(std::malloc(sizeof(DictionaryEntry) * (n > 0 ? n : 1)));
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t offset = GetU32(records + 8 * i);
        uint32_t length = GetU32(records + 8 * i + 4);
        // Offsets are clamped into the text data and lengths cut at its end;
        // with no text data at all every entry is the empty text at 0.
        if (offset > static_cast<uint32_t>(INT32_MAX)) offset = 0;
        if (offset >= d) offset = d > 0 ? d - 1 : 0;
        if (length > d - offset) length = d - offset;
        loaded[i] = {block, static_cast<int32_t>(offset), static_cast<int32_t>(length)};
    }
    std::free(records);

    entries = loaded;
    count = static_cast<int32_t>(n);
    capacity = static_cast<int32_t>(n);
    headerWord = word;
    blocks.Insert(block, kListTail);
    return true;
}

void Dictionary::ShareFrom(const Dictionary& other) {
    ReleaseEntries();
    blocks.Clear();
    current = nullptr;
    sharedBlocks = other.sharedBlocks;
    // The other pool's block list is only read through its nodes' order,
    // never its cursor: several pools may share from it at once.
    other.blocks.Visit([this](const DictionaryDataBlock* b) { sharedBlocks.push_back(b); });
    if (other.count > 0) {
        entries = static_cast<DictionaryEntry*>(std::malloc(sizeof(DictionaryEntry) * static_cast<size_t>(other.count)));
        std::memcpy(entries, other.entries, sizeof(DictionaryEntry) * static_cast<size_t>(other.count));
    }
    count = capacity = other.count;
    headerWord = other.headerWord;
    searchBytes = false;
}

bool Dictionary::WriteChunk(TaggedFile& file) {
    // Each block's used bytes follow the previous block's in the text data.
    std::unordered_map<const DictionaryDataBlock*, int64_t> base;
    int64_t total = 0;
    for (const DictionaryDataBlock* b : sharedBlocks) {
        base[b] = total;
        total += b->Used();
    }
    for (DictionaryDataBlock* b = blocks.First(); b; b = blocks.Next()) {
        base[b] = total;
        total += b->Used();
    }
    if (total > INT32_MAX || static_cast<int64_t>(count) * 8 + 12 + total > INT32_MAX) return Fail("String pool too large to save");

    size_t recordBytes = 12 + static_cast<size_t>(count) * 8;
    auto* out = static_cast<uint8_t*>(std::malloc(recordBytes));
    if (!out) return Fail("String pool too large to save");
    PutU32(out, static_cast<uint32_t>(count));
    PutU32(out + 4, static_cast<uint32_t>(total));
    PutU32(out + 8, headerWord);
    for (int32_t i = 0; i < count; ++i) {
        PutU32(out + 12 + 8 * i, static_cast<uint32_t>(base[entries[i].block] + entries[i].offset));
        PutU32(out + 16 + 8 * i, static_cast<uint32_t>(entries[i].length));
    }

    file.BeginSection(kSectionDict);
    bool ok = file.WriteAll(out, static_cast<int32_t>(recordBytes));
    std::free(out);
    for (const DictionaryDataBlock* b : sharedBlocks)
        if (ok && b->Used() > 0) ok = file.WriteAll(b->Data(), b->Used());
    for (DictionaryDataBlock* b = blocks.First(); ok && b; b = blocks.Next())
        if (b->Used() > 0) ok = file.WriteAll(b->Data(), b->Used());
    if (!ok) return FailFromFile(file);
    file.EndSection();
    return true;
}

} // namespace vorn
