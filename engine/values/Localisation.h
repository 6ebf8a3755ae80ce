// Localisation dictionaries of a compiled program. Each user-visible text is
// addressed by a message key (a string-pool text); every language has a table
// from keys to the text's first piece, and a text is a chain of pieces, each
// literal text or the name of a localisation token whose value is inserted
// when the text is produced.
//
// Sections: "locl" lists the languages, "locd" holds the pieces, and each
// language's table is a section of its own ("LX" and the slot as a 16-bit
// little-endian number), read only when the language is first asked for.
#pragma once

#include <cstdint>

#include "engine/foundation/String.h"

namespace vorn {

class Dictionary;
class LocalizedIndex;
class TaggedFile;
class VariableHash;
class VornApplication;

inline constexpr uint32_t kLocalizedEnd = 0xFFFFFFFFu; // ends a piece chain
inline constexpr uint32_t kPieceToken = 0;             // a piece that names a token
inline constexpr uint32_t kPieceText = 1;              // any other kind is literal text
inline constexpr int32_t kLanguageBits = 12;
inline constexpr int32_t kLanguageGrowth = 8;
inline constexpr int32_t kMessageBits = 12;
inline constexpr int32_t kMessageGrowth = 128;
// Files older than this may keep a single table under the tag value 0.
inline constexpr uint32_t kPerLanguageSectionsVersion = 0x10008;

// The section tag of a language's table: 'L', 'X', then the slot (low, high).
inline constexpr uint32_t LanguageSectionTag(int32_t slot) {
    return static_cast<uint32_t>('L') | (static_cast<uint32_t>('X') << 8) |
           ((static_cast<uint32_t>(slot) & 0xFFFFu) << 16);
}

struct LocalizedPiece {
    uint32_t kind; // 0: text names a token; otherwise literal text
    uint32_t text; // string-pool index
    uint32_t next; // following piece, kLocalizedEnd at the end
};

struct LocalizedMessage {
    int32_t key;         // the message key's pool index
    uint32_t firstPiece; // kLocalizedEnd for an empty text
};

struct LocalizedLanguage {
    int32_t key;            // the language name's pool index
    LocalizedIndex* index;  // null until the language is first used
};

// A hash table of pool indexes keyed by their texts: 2^bits buckets, chains
// ordered by length, then CompareTextNoCase, as in the function table.
template <class E>
class PooledKeyTable {
public:
    PooledKeyTable(Dictionary* dictionary, int32_t bits, int32_t growth);
    ~PooledKeyTable();
    PooledKeyTable(const PooledKeyTable&) = delete;
    PooledKeyTable& operator=(const PooledKeyTable&) = delete;

    // Appends the entry and links it into its chain; its slot, or -1 when
    // its key is not a pool index.
    int32_t Insert(const E& entry);
    // The slot whose key text equals the text without regard to case, or -1.
    int32_t FindSlot(const char* text, int32_t length) const;
    E* At(int32_t slot) const { return slot >= 0 && slot < used ? &entries[slot] : nullptr; }

    // Replaces the table with a stored one: recordCount bucket records of 6
    // bytes and slots records of slotSize bytes, each decoded by fill, which
    // returns its stored next link. Every bucket index, first slot, link and
    // key is checked and the chains must not loop or run together; when
    // anything fails the table is unchanged and the result false.
    bool LoadStored(int32_t bits, const uint8_t* records, int32_t recordCount, const uint8_t* slotBytes,
                    int32_t slots, int32_t slotSize, uint32_t (*fill)(E&, const uint8_t*));
    // True when bucket indexes and the bucket-record count fit their 16 bits.
    bool Storable() const;
    // Writes the header (u16 bucket records, 8-bit bits, u32 slots, then pad
    // zero bytes), the bucket records and the slots encoded by put.
    bool Write(TaggedFile& file, int32_t pad, int32_t slotSize, void (*put)(const E&, uint32_t, uint8_t*)) const;

    int32_t Used() const { return used; }
    int32_t Capacity() const { return capacity; }
    int32_t Bits() const { return bits; }
    int32_t BucketCount() const { return bucketCount; }
    int32_t NonEmptyBuckets() const { return count; }
    int32_t BucketHead(int32_t bucket) const { return bucket >= 0 && bucket < bucketCount ? buckets[bucket] : -1; }
    int32_t NextSlot(int32_t slot) const { return slot >= 0 && slot < used ? next[slot] : -1; }

private:
    const char* KeyText(int32_t slot, int32_t* length) const;

    Dictionary* dictionary;
    int32_t* buckets = nullptr;
    int32_t bits = 0;
    int32_t bucketCount = 0;
    int32_t count = 0; // non-empty buckets
    int32_t* next = nullptr;
    E* entries = nullptr;
    int32_t capacity = 0;
    int32_t used = 0;
    int32_t growth;
};

// The pieces of every localised text ("locd").
class LocalizedDictionary {
public:
    LocalizedDictionary();
    virtual ~LocalizedDictionary();
    LocalizedDictionary(const LocalizedDictionary&) = delete;
    LocalizedDictionary& operator=(const LocalizedDictionary&) = delete;

    virtual const String& ErrorText() const;
    // A source in the null form changes nothing.
    virtual void SetError(const String& text);

    // Replaces the pieces with the "locd" section. Links out of range and
    // chains that loop make the file corrupt; the pieces are then unchanged.
    bool Load(TaggedFile& file);
    // The piece, or null when index is the count or more.
    const LocalizedPiece* EntryAt(uint32_t index) const;
    int32_t Count() const { return count; }

    // Appends the text that starts at first to out: literal pieces as they
    // are, token pieces as the value of that token in tokens (nothing when
    // undefined or tokens is null). False when a piece's pool index does not
    // resolve (the piece adds nothing; the caller reports it); a link out of
    // range ends the text.
    bool AppendText(uint32_t first, const Dictionary& pool, VariableHash* tokens, String& out) const;

    // --- Writing -------------------------------------------------------------
    // Appends a piece; its index, or -1 when the table is full.
    int32_t AddPiece(uint32_t kind, uint32_t text, uint32_t next);
    // Appends n pieces {kind, text} linked in order; the first one's index,
    // or kLocalizedEnd for n = 0 or a full table.
    uint32_t AddChain(const uint32_t* kinds, const uint32_t* texts, int32_t n);
    // Writes the pieces as the "locd" section.
    bool Save(TaggedFile& file);

private:
    String error;
    LocalizedPiece* pieces = nullptr;
    int32_t count = 0;
    int32_t capacity = 0;
};

// One language's table from message keys to the texts' first pieces.
class LocalizedIndex {
public:
    LocalizedIndex(Dictionary* dictionary, int32_t slot, int32_t bits, int32_t growth);
    virtual ~LocalizedIndex();
    LocalizedIndex(const LocalizedIndex&) = delete;
    LocalizedIndex& operator=(const LocalizedIndex&) = delete;

    virtual int32_t Count() const;
    virtual const String& ErrorText() const;
    virtual void SetError(const String& text);

    // Reads the table from the section of that tag; a file older than
    // kPerLanguageSectionsVersion falls back to the section of tag 0.
    bool Load(TaggedFile& file, uint32_t tag);
    // The entry of the key (a pool index), or null.
    const LocalizedMessage* Find(int32_t key) const;

    // --- Writing -------------------------------------------------------------
    // Adds a message; its slot, or -1 when key is not a pool index.
    int32_t Insert(int32_t key, uint32_t firstPiece);
    bool Save(TaggedFile& file, uint32_t tag);

    int32_t Slot() const { return slot; }
    const PooledKeyTable<LocalizedMessage>& Table() const { return table; }

private:
    int32_t slot;
    PooledKeyTable<LocalizedMessage> table;
    Dictionary* dictionary;
    String error;
};

// The languages of a program, and the lookup of a message in the request's
// current language with the default language behind it.
class LocalizedLanguages {
public:
    // file may be null for tables that are only written; application may be
    // null for them too (Lookup then finds nothing).
    LocalizedLanguages(VornApplication* application, Dictionary* dictionary, TaggedFile* file, int32_t bits,
                       int32_t growth);
    // Deletes every language table.
    virtual ~LocalizedLanguages();
    LocalizedLanguages(const LocalizedLanguages&) = delete;
    LocalizedLanguages& operator=(const LocalizedLanguages&) = delete;

    virtual int32_t Count() const;
    virtual const String& ErrorText() const;
    virtual void SetError(const String& text);

    // Replaces the languages with the "locl" section of the file.
    bool Load();
    // The language of that name (any case), with its table read on first
    // use (after which the file's handle is released), or null. A table
    // that fails to load stays empty.
    LocalizedLanguage* FindLanguage(const char* name, int32_t length);
    // The message in the current language, else in the default language.
    const LocalizedMessage* Lookup(int32_t key);

    // --- Writing -------------------------------------------------------------
    // The slot of the language, added (with its name put into the pool)
    // when missing; -1 when the name cannot be stored.
    int32_t AddLanguage(const char* name, int32_t length);
    // The same for a name already in the pool (by its index).
    int32_t AddLanguageKey(int32_t key);
    // The slot's table, read from the file on first use, or made empty when
    // there is no file; null for a slot out of range.
    LocalizedIndex* Table(int32_t slot);
    // Writes "locl" and every language's table section.
    bool Save(TaggedFile& file);

    LocalizedLanguage* At(int32_t slot) const { return table.At(slot); }
    const PooledKeyTable<LocalizedLanguage>& Languages() const { return table; }

private:
    void DeleteTables();
    // The slot of the language (its table read on first use), or -1.
    int32_t FindLanguageSlot(const char* name, int32_t length);

    PooledKeyTable<LocalizedLanguage> table;
    VornApplication* application;
    Dictionary* dictionary;
    TaggedFile* file;
    int32_t currentSlot = -1;
    int32_t currentVersion = 0;
    bool currentCached = false;
    int32_t defaultSlot = -1;
    int32_t defaultVersion = 0;
    bool defaultCached = false;
    String error;
};

} // namespace vorn
