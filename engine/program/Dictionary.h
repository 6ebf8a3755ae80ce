// The string pool of a loaded program: every name and literal text the
// bytecode refers to, by index. Texts live in fixed blocks that never move,
// so a pointer handed out by Get stays valid for the pool's lifetime.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/foundation/List.h"
#include "engine/foundation/String.h"

namespace vorn {

class TaggedFile;

inline constexpr int32_t kDictionaryBlockSize = 8192;
inline constexpr int32_t kDictionaryEntryStep = 128;

class DictionaryDataBlock {
public:
    // Allocates capacity zeroed bytes with none used.
    explicit DictionaryDataBlock(int32_t capacity);
    virtual ~DictionaryDataBlock();
    DictionaryDataBlock(const DictionaryDataBlock&) = delete;
    DictionaryDataBlock& operator=(const DictionaryDataBlock&) = delete;

    char* Data() { return data; }
    const char* Data() const { return data; }
    int32_t Capacity() const { return capacity; }
    int32_t Used() const { return used; }
    void SetUsed(int32_t n) { used = n; }

    // False when the run cannot occur in the used bytes: one of its pieces
    // (4 or 8 bytes) occurs nowhere in them. True says only that it may.
    bool MayContain(const char* bytes, int32_t m);

private:
    char* data;
    int32_t capacity;
    int32_t used = 0;
    // A bit per hashed piece of data[0, indexed), made on the first
    // question and extended as bytes are appended (they never change once
    // used): a name missing from the pool is then known missing without a
    // scan, which the many names added per request would otherwise cost.
    std::unique_ptr<uint64_t[]> pieces;
    int32_t indexed = 0;
};

struct DictionaryEntry {
    DictionaryDataBlock* block;
    int32_t offset;
    int32_t length;
};

class Dictionary {
public:
    Dictionary();
    virtual ~Dictionary();
    Dictionary(const Dictionary&) = delete;
    Dictionary& operator=(const Dictionary&) = delete;

    virtual const String& ErrorText() const;
    virtual void SetError(const String& text);

    // A new entry for the text (length -1: up to the NUL), even when an equal
    // text is already in the pool; only the bytes may be shared. Returns its
    // index, or -1 for a text too long to store.
    int32_t Add(const char* text, int32_t length);
    // The entry's first byte and length, or null (length untouched) for an
    // index outside the pool.
    const char* Get(int32_t index, int32_t* outLength = nullptr) const;
    int32_t Count() const { return count; }

    // Replaces the pool with the "dict" section. On failure the pool is empty
    // and the error text says why.
    bool ReadChunk(TaggedFile& file);
    // Replaces the pool with another's entries, whose text bytes are read in
    // place: the other pool must outlive this one and never change again.
    // Texts added later go to blocks of this pool's own (appended, without
    // looking for equal bytes), so one loaded program's pool serves any
    // number of runs, each adding its own.
    void ShareFrom(const Dictionary& other);
    // Writes the pool as a "dict" section: every block's used bytes in block
    // order form the text data, so bytes shared within a block stay shared.
    bool WriteChunk(TaggedFile& file);

    // The uninterpreted word of the "dict" header, written back as read.
    uint32_t HeaderWord() const { return headerWord; }
    void SetHeaderWord(uint32_t word) { headerWord = word; }

    // Finds the run in the block's used bytes or appends it; -1 when it
    // does not fit.
    static int32_t FindInBlock(DictionaryDataBlock* block, const char* bytes, int32_t m);
    // Appends the run to the block; -1 when it does not fit.
    static int32_t AppendToBlock(DictionaryDataBlock* block, const char* bytes, int32_t m);

private:
    void ReleaseEntries();
    bool Fail(const char* message);
    bool FailFromFile(TaggedFile& file);

    String error;
    DictionaryEntry* entries = nullptr;
    int32_t count = 0;
    int32_t capacity = 0;
    List<DictionaryDataBlock> blocks{true};
    // Blocks of the pool shared from, in its order; not owned.
    std::vector<const DictionaryDataBlock*> sharedBlocks;
    DictionaryDataBlock* current = nullptr;
    uint32_t headerWord = 0;
    bool searchBytes = true; // equal bytes of the current block are shared
};

} // namespace vorn
