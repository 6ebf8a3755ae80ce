// Variable scopes: tables of named Variables whose names live in a string pool
// and are referred to by pool index, so that a compiled program can ship its
// global and system tables pre-built ("glbl" and "syst" sections) and a
// function's local table can be copied per call without copying any text.
// Variables are made lazily: an entry may hold no Variable until its name is
// first used. Entries are never removed.
//
// Chains are ordered by name length, then CompareTextNoCase, and a name's
// bucket is HashLookup2NoCase (name, length, 0) masked to the bucket bits, so
// names match without regard to case and a failed lookup stops early.
//
// A table holds one reference on each Variable it stores; handing a Variable
// to a table passes the caller's reference to it.
#pragma once

#include <cstdint>

#include "engine/foundation/List.h"
#include "engine/foundation/Stack.h"
#include "engine/foundation/String.h"

namespace vorn {

class Dictionary;
class TaggedFile;
class Variable;
class VariableList;

// Scope codes of ParseScopePrefix.
inline constexpr int32_t kScopeLocal = 0;
inline constexpr int32_t kScopeGlobal = 1;
inline constexpr int32_t kScopeSystem = 2;
inline constexpr int32_t kScopeDatabase = 3;
inline constexpr int32_t kScopeNone = 5;

inline constexpr int32_t kScopeBits = 12;        // system and global tables
inline constexpr int32_t kScopeCapacity = 512;
inline constexpr int32_t kScopeGrowth = 512;     // the entry arrays grow by this much

inline constexpr const char kArrayIndexMessage[] = "Array index must be positive integer";

// Splits a script variable name into its scope, database alias and the rest:
// l. g. s. d. (any case) and local. global. system. for the three scopes,
// d. and database. for a field of any open database, X.d. and X.database.
// for a field of the view X. Returns the scope code; with none the rest is
// the whole text. length -1 means up to the first NUL.
int32_t ParseScopePrefix(const char* text, int32_t length, const char** rest, int32_t* restLength,
                         const char** alias, int32_t* aliasLength);

struct VariableHashEntry {
    int32_t nameId;     // index in the names pool
    int32_t tag;
    Variable* variable; // null until created
};

class VariableHash {
public:
    // An empty table of 2^bits buckets (bits held to 0..30) and room for
    // capacity entries. names must outlive the table.
    VariableHash(Dictionary* names, int32_t bits, int32_t capacity);
    // The same buckets, chains, names and tags, with no variables: each call
    // of a script function starts from such a copy of its local table.
    VariableHash(const VariableHash& other);
    VariableHash& operator=(const VariableHash&) = delete;
    // Releases every entry's variable.
    virtual ~VariableHash();

    // Adds an entry and returns its index, or -1 when the name cannot be
    // stored (v is then released). With a text, length -1 is measured and a
    // name id of -1 is replaced by the text's pool index; without one, the
    // name is the pool text of nameId. No check for an equal name is made.
    virtual int32_t AddEntry(int32_t nameId, const char* name, int32_t length, Variable* v);
    virtual int32_t AddName(int32_t nameId);
    virtual int32_t AddNameText(const char* text, int32_t length);
    // Adds v under its own name.
    virtual int32_t Insert(Variable* v);
    // Stores v in the entry of its name (releasing the old variable), or in
    // a new entry.
    virtual void ReplaceVariable(Variable* v);
    // Finds or makes the named variable and sets its text; returns it.
    virtual Variable* SetVariable(const char* name, int32_t length, const char* text, int32_t textLength);
    // Makes entry i a new alias of target.
    virtual void SetReference(int32_t i, Variable* target);
    // Stores a form value under a path; with multiple, repeated names collect
    // their values into an array in arrival order.
    virtual void AppendValue(const char* name, int32_t length, const char* text, int32_t textLength,
                             bool multiple);
    // The entry index of the name (by text, or by the pool text of nameId when
    // name is null), or -1. outEntry, when given, receives the entry.
    virtual int32_t FindIndex(int32_t nameId, const char* name, int32_t length, VariableHashEntry** outEntry);
    // The tag given to new entries.
    virtual int32_t EntryTag();
    // Clears the named variable; 1 when there was one, else 0.
    virtual int ClearVariable(const char* name, int32_t length);
    // False when the name has no entry. Otherwise *out is the entry's
    // variable, made first when create is set.
    virtual bool Find(Variable** out, const char* name, int32_t length, bool create);
    // Resolves base[:member][index]...; false (label set) only for a
    // malformed index. A missing name gives null with success.
    virtual bool ResolvePath(Variable** out, const char* path, int32_t length, bool create);
    // The variable of entry i (made when create is set), or null.
    virtual Variable* Index(int32_t i, bool create);
    virtual int32_t Count();
    // Appends every existing variable, in entry order, to the list.
    virtual void VisitAll(VariableList* list);
    // Replaces the table with the one at the read position of the selected
    // section. Nothing changes when the stored table is damaged.
    virtual bool Load(TaggedFile& file);
    virtual bool LoadSection(TaggedFile& file, uint32_t tag);
    virtual bool Save(TaggedFile& file);
    virtual bool SaveSection(TaggedFile& file, uint32_t tag);
    virtual const String& Label();
    virtual void SetLabel(const String& text);
    virtual void PushScope();
    // 1 when a scope was closed, else 0.
    virtual int PopScope();
    // The table at the end of a chain of reference tables.
    virtual VariableHash* Underlying();

    // Releases every entry's variable; the entries and names stay.
    void ReleaseAll() {
        Settle();
        ReleaseVariables();
    }
    // Adds now whatever the table deferred: before it is handed to code that
    // may read it any way at all.
    void Settle() {
        if (settle) SettleDeferred();
    }
    // Empty entry i holds v too (one more reference on it): how a function
    // frame's locals come into the scope it builds for them.
    void HoldVariable(int32_t i, Variable* v);
    // Makes this table what the copy constructor makes of other, releasing
    // its variables first and keeping its arrays when their sizes fit: how a
    // function frame's scope by name is built again for another call.
    void CopyLayoutFrom(const VariableHash& other);

    // The variable of entry i as this class's Index(i, false) gives it; only
    // for a table of this very class (subclasses resolve entries otherwise).
    Variable* PlainEntry(int32_t i) const {
        return static_cast<uint32_t>(i) < static_cast<uint32_t>(count) ? entries[i].variable : nullptr;
    }

    // Room for that many entries, and about as many buckets (fewer than a
    // stored table may have): the shared template of a scope that every run
    // copies and fills with about that many names, so that the copies are
    // cheap to make and take the names without moving anything. Entries,
    // their order and every lookup stay as they are.
    void Reserve(int32_t entries);
    // The pool names are read from and added to from now on: a copy of a
    // shared program's table takes the run's own pool over the shared one,
    // which gives every name the same index.
    void UseNames(Dictionary* pool) { names = pool; }

    // --- Inspection --------------------------------------------------------
    Dictionary* Names() const { return names; }
    int32_t Bits() const { return bucketBits; }
    int32_t BucketCount() const { return bucketCount; }
    int32_t UsedBuckets() const { return usedBuckets; }
    int32_t Capacity() const { return capacity; }
    // Entries of this table itself (Count of a reference table is its source's).
    int32_t EntryCount() const { return count; }
    int32_t BucketHead(int32_t bucket) const;
    int32_t NextEntry(int32_t i) const;
    const VariableHashEntry* EntryAt(int32_t i) const;
    // The pool text of entry i's name (length in *length), or null.
    const char* EntryName(int32_t i, int32_t* length) const;

protected:
    // The base operations on this table's own arrays, whatever a subclass
    // forwards elsewhere.
    int32_t AddOwnEntry(int32_t nameId, const char* name, int32_t length, Variable* v);
    int32_t FindOwnIndex(const char* name, int32_t length) const;
    // Makes a missing variable of entry i; true when it was made.
    bool CreateVariable(int32_t i);
    // Called by Load once a table has replaced the old one.
    virtual void EntriesReplaced() {}
    // Adds what a subclass deferred (settle set); clears settle first.
    virtual void SettleDeferred() { settle = false; }
    void ReleaseVariables();
    // Doubles the buckets whenever the entries reach twice their number, so
    // that chains stay short however many names come: for tables that are
    // never saved, whose names a peer may multiply (the system scope).
    void GrowBucketsWithEntries() { growBuckets = true; }
    // The name text to look up for (nameId, name, length); null when none.
    const char* NameText(int32_t nameId, const char* name, int32_t* length) const;

    VariableHashEntry* entries = nullptr;
    int32_t count = 0;
    String label;
    // Entries are still to be added by SettleDeferred.
    bool settle = false;

private:
    void Fail(const String& text);
    void ReleaseArrays();
    // Copies other's buckets and used entries (without variables) into this
    // table's arrays, which already have other's sizes.
    void CopyEntriesFrom(const VariableHash& other);
    // Twice the buckets, each chain split in its order between its bucket
    // and the one of the next hash bit.
    void DoubleBuckets();
    // Room for room (> capacity) entries, those there are kept.
    void GrowEntries(int32_t room);
    // Links entry i (named text) into its bucket's chain before the first
    // longer or greater name, the order lookups rely on.
    void LinkInOrder(int32_t i, const char* text, int32_t n);

    int32_t* buckets = nullptr;
    int32_t bucketBits = 0;
    int32_t bucketCount = 0;
    int32_t usedBuckets = 0;
    int32_t* next = nullptr;
    int32_t capacity = 0;
    Dictionary* names;
    // Names this table's layout (count, capacity, buckets, chains, name ids):
    // a copy shares its source's stamp, and every change of a layout takes a
    // stamp never given out before, so equal stamps mean equal layouts.
    uint64_t layoutStamp;
    bool growBuckets = false;
};

// A table with a string pool of its own: the variable tables that plug-ins
// build through the host interface.
class UserVariableHash : public VariableHash {
public:
    UserVariableHash();
    ~UserVariableHash() override;
    UserVariableHash(const UserVariableHash&) = delete;
};

// Variables a host adds to a system table only once something may see them:
// a run that never looks at them never makes them.
class DeferredSystemVariables {
public:
    // False only when name is surely not among them (length -1: up to the NUL).
    virtual bool MayHold(const char* name, int32_t length) = 0;
    // Adds them to the table through its own operations, as they would have
    // been added when they were deferred.
    virtual void AddTo(VariableHash& table) = 0;

protected:
    ~DeferredSystemVariables() = default;
};

// One change made inside a system scope, undone when the scope is left.
struct _SVH_Entry {
    int32_t index;
    int32_t tag;
    Variable* variable; // the entry's earlier variable; this record holds its reference
};

// The system variables: nested scopes whose changes to entries are undone on
// leaving them.
class SystemVariableHash : public VariableHash {
public:
    SystemVariableHash(Dictionary* names, int32_t bits, int32_t capacity);
    // Releases the variables saved in every open scope.
    ~SystemVariableHash() override;
    SystemVariableHash(const SystemVariableHash&) = delete;

    // Inside a scope, a name that has an entry gets the new variable in that
    // entry, and the old one is kept for the undo.
    int32_t AddEntry(int32_t nameId, const char* name, int32_t length, Variable* v) override;
    void ReplaceVariable(Variable* v) override;
    void SetReference(int32_t i, Variable* target) override;
    // Never builds arrays: multiple is taken as off.
    void AppendValue(const char* name, int32_t length, const char* text, int32_t textLength,
                     bool multiple) override;
    // The depth.
    int32_t EntryTag() override;
    bool Find(Variable** out, const char* name, int32_t length, bool create) override;
    Variable* Index(int32_t i, bool create) override;
    void PushScope() override;
    int PopScope() override;

    int32_t Depth() const { return depth; }

    // From now on the table behaves as if source had added its variables:
    // they are added on the first operation that could tell, before it (an
    // operation on a name source may hold, a new entry, a scope, a listing).
    // The source (not owned) must outlive the table or be settled first.
    void Defer(DeferredSystemVariables* source) {
        deferred = source;
        settle = source != nullptr;
    }
    bool HasDeferred() const { return deferred != nullptr; }

    int32_t FindIndex(int32_t nameId, const char* name, int32_t length, VariableHashEntry** outEntry) override;
    int32_t Count() override;
    void VisitAll(VariableList* list) override;
    bool Load(TaggedFile& file) override;
    bool Save(TaggedFile& file) override;

protected:
    // Open scopes record entry indexes of the old table; they go with it.
    void EntriesReplaced() override;
    void SettleDeferred() override;

private:
    // Settles when the deferred variables may include that name.
    void SettleFor(const char* name, int32_t length) {
        if (deferred && deferred->MayHold(name, length)) SettleDeferred();
    }

    // Records an entry's state before a change, when a scope is open.
    void Record(int32_t index, int32_t tag, Variable* variable);
    void DropScopes();

    int32_t depth = 0;
    DeferredSystemVariables* deferred = nullptr;
    Stack<List<_SVH_Entry>> scopes{true};
    List<_SVH_Entry>* current = nullptr;
};

// A table that shows another table through names of its own: a VrDO
// sub-program's global and system scopes over its caller's. Its own entries
// come from the sub-program's sections, and each remembers in its tag the
// index of the same-named entry of the source (-1 until looked up). The
// source must outlive this table.
class ReferenceVariableHash : public VariableHash {
public:
    ReferenceVariableHash(Dictionary* names, VariableHash* source, int32_t bits, int32_t capacity);
    ReferenceVariableHash(const ReferenceVariableHash&) = delete;

    int32_t AddEntry(int32_t nameId, const char* name, int32_t length, Variable* v) override;
    void ReplaceVariable(Variable* v) override;
    Variable* SetVariable(const char* name, int32_t length, const char* text, int32_t textLength) override;
    void SetReference(int32_t i, Variable* target) override;
    void AppendValue(const char* name, int32_t length, const char* text, int32_t textLength,
                     bool multiple) override;
    int32_t FindIndex(int32_t nameId, const char* name, int32_t length, VariableHashEntry** outEntry) override;
    int32_t EntryTag() override;
    int ClearVariable(const char* name, int32_t length) override;
    bool Find(Variable** out, const char* name, int32_t length, bool create) override;
    bool ResolvePath(Variable** out, const char* path, int32_t length, bool create) override;
    Variable* Index(int32_t i, bool create) override;
    int32_t Count() override;
    void VisitAll(VariableList* list) override;
    bool Load(TaggedFile& file) override;
    void PushScope() override;
    int PopScope() override;
    VariableHash* Underlying() override;

    VariableHash* Source() const { return source; }

private:
    // The source index of own entry i, looked up and remembered on first use;
    // -1 when the source has no such name.
    int32_t SourceIndex(int32_t i);
    // Resolves own entry i in the source, adding the name there when create
    // is set; null when absent.
    Variable* SourceVariable(int32_t i, bool create);

    VariableHash* source;
};

} // namespace vorn
