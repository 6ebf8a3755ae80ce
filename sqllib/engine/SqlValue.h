// The SQL engine's values: conversions between numbers and text, the typed
// value SQLResult that result columns, temporary tables and buckets hold, the
// arena their copies live in, and the LIKE matcher.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/foundation/String.h"
#include "host/plugin/VornHost.h"

namespace vorn {

// Locale-free: blanks, a sign, digits with at most one '.', an exponent, all of
// the text; NAN, INF, INFINITY (signed) by name. Length -1: up to the NUL. A
// text that is not wholly a number gives 0 with *error set; an overflow the
// infinity with *error set; the empty text 0 without error.
double SQLTextToDouble(const char* text, int32_t length, int* error);
// '-' or digits only; wraps modulo 2^32. The empty text is an error, a lone '-' 0.
int32_t SQLTextToInteger(const char* text, int32_t length, int* error);
// New texts (malloc) that the caller frees; *size = length + 1. Null when
// no memory is left.
char* SQLIntegerToText(int32_t n, int32_t* length, int32_t* size);
// decimals -1: the shortest digits that read back as x, at most 20 places;
// else the shortest when they need at most decimals places, otherwise x
// rounded to decimals places, padded with '0' to exactly decimals places.
char* SQLDoubleToText(double x, int32_t decimals, int32_t* length, int32_t* size);
// Writes the same text into out (at least 350 bytes plus decimals); returns its length.
int32_t SQLFormatDouble(double x, int32_t decimals, char* out);
// False for the empty text and for '0's with at most one '.'.
bool SQLTextIsTrue(const char* text, int32_t length);
// LIKE: '%' any run, '_' any byte, others themselves; no escape. Linear in
// subject and pattern, but for a segment between two '%' longer than 16
// bytes that holds '_' (subject x segment / 64 then).
bool SQLLike(const char* subject, int32_t subjectLength, const char* pattern, int32_t patternLength);
// What a long match asks, every kSQLLikePollWork steps, whether to go on.
struct SQLLikeStop {
    bool (*stopped)(void* context);
    void* context;
};
inline constexpr int64_t kSQLLikePollWork = 1 << 16;
// 1 match, 0 none, -1 when the stop ended the match.
int SQLMatchLike(const char* subject, int32_t subjectLength, const char* pattern, int32_t patternLength,
                 const SQLLikeStop* stop);
// Bytes as unsigned, the shorter first on a common prefix.
int SQLCompareBytes(const char* a, int32_t aLength, const char* b, int32_t bLength);

// What the arenas of one statement may hold together.
struct SQLArenaBudget {
    int64_t used = 0;
    int64_t limit = INT64_C(256) << 20;
    // Whether the last allocation refused was refused for the limit (else
    // for want of memory).
    bool limitReached = false;
};

// Copies of one statement's stored values: chunks (blocks of SqlMemory.h)
// freed together. Past the budget an allocation gives null.
class SQLArena {
    // The first chunk is the smallest block; the next ones are 2 MiB (huge
    // pages where the kernel has them): a statement that keeps more than the
    // first holds many rows.
  public:
    explicit SQLArena(SQLArenaBudget* budget) : budget(budget) {}
    ~SQLArena() { Clear(); }
    SQLArena(const SQLArena&) = delete;
    SQLArena& operator=(const SQLArena&) = delete;
    // Aligned to 8 bytes.
    void* Allocate(size_t bytes) { return Take(bytes, 8); }
    // Unaligned: packed bytes.
    char* Bytes(size_t bytes) { return static_cast<char*>(Take(bytes, 1)); }
    // A NUL-terminated copy, or null past the budget.
    char* Copy(const char* text, int32_t length);
    void Clear();
    // Everything allocated is given up, the first chunk kept for what comes.
    void Rewind();

  private:
    void* Take(size_t bytes, size_t alignment) {
        size_t pad = (alignment - reinterpret_cast<uintptr_t>(next) % alignment) % alignment;
        if (bytes + pad > left) return Grow(bytes);
        void* at = next + pad;
        next += pad + bytes;
        left -= pad + bytes;
        return at;
    }
    void* Grow(size_t bytes);
    struct Chunk {
        char* bytes;
        size_t size;
    };
    std::vector<Chunk> chunks;
    char* next = nullptr;
    size_t left = 0;
    SQLArenaBudget* budget;
    int64_t mine = 0;
};

// A result's value as it stood, its text in an arena: a row worked out
// ahead of the one the view shows.
struct SQLSavedValue {
    int valid = 0;
    const char* text = nullptr;
    int32_t length = 0;
    int32_t integer = 0;
    double number = 0.0;
};

class SQLResult {
  public:
    static constexpr int kText = 1;
    static constexpr int kInteger = 2;
    static constexpr int kDouble = 4;

    SQLResult() = default;
    // A result column, registered with the view as a variable.
    SQLResult(const char* name, int32_t nameLength, int32_t column, VornDatabaseView* view);
    virtual ~SQLResult();
    SQLResult(const SQLResult&) = delete;
    SQLResult& operator=(const SQLResult&) = delete;

    // length -1: up to the NUL. With copy the text is copied (into the arena
    // when one is given, else a buffer this value owns) and a given owned
    // text freed; without, the pointer is kept with its ownership. 0 when the
    // arena is spent.
    int SetText(const char* text, int32_t length, int32_t size, bool owns, bool copy, SQLArena* arena = nullptr);
    void SetInteger(int32_t n);
    void SetDouble(double x);
    void MakeText();
    void MakeInteger();
    void MakeDouble();

    double ToDouble(int* error);
    double Double();
    int32_t Integer();
    // Throws std::bad_alloc when a number's text finds no memory.
    const char* Text(int32_t* length, int32_t* size = nullptr);
    bool IsNull() const;
    bool IsTrue() const;
    // With an arena the text is copied into it, else an owned text is copied
    // and a borrowed one shared.
    int CopyFrom(const SQLResult& other, SQLArena* arena = nullptr);
    void ShareFrom(const SQLResult& other);
    // 0 when the arena is spent.
    int SaveTo(SQLSavedValue& out, SQLArena& arena) const;
    // The saved text is borrowed: the arena must outlive this value's use.
    void Restore(const SQLSavedValue& saved);
    // The forms as they stand, the text borrowed (null unless valid).
    SQLSavedValue Forms() const {
        SQLSavedValue out;
        out.valid = valid;
        out.integer = integer;
        out.number = number;
        if ((valid & kText) && text) {
            out.text = text;
            out.length = length;
        } else {
            out.valid &= ~kText;
        }
        return out;
    }

    int32_t Column() const { return column; }
    const char* Name() const { return name; }
    int32_t NameLength() const { return nameLength; }
    VornDatabaseVariable* Variable() const { return variable; }
    int Valid() const { return valid; }

  private:
    void FreeText();
    void Dirty() {
        if (variable) vrDatabaseVariable_SetDirty(variable);
    }

    const char* name = nullptr;
    int32_t nameLength = 0;
    int32_t column = 0;
    char* text = nullptr;
    int32_t length = 0;
    int32_t size = 0;
    bool owns = false;
    int valid = 0;
    int32_t integer = 0;
    double number = 0.0;
    VornDatabaseVariable* variable = nullptr;
};

} // namespace vorn
