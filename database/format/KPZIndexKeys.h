// The order of index keys. Keys that both read as decimal numbers compare as
// numbers, any other pair as unsigned bytes, unless the index's string bit
// says text always; the descending bit reverses either order. Stored indexes
// rely on this mixed rule, so it stays even though it is not transitive.
//
// Format code: nothing here reaches past the standard library.
#pragma once

#include <cstdint>

namespace vorn {

// Index flag bits.
inline constexpr uint32_t kIndexUnique = 0x01;
inline constexpr uint32_t kIndexDescending = 0x02;
inline constexpr uint32_t kIndexString = 0x04;
inline constexpr uint32_t kIndexRange = 0x08;
// Set in an index file that a pack or a reindex has put a new file in place
// of, just before the old one goes: a holder of the old file reads it at
// its next walk and opens the files again.
inline constexpr uint32_t kIndexReplaced = 0x80000000u;
// Set while a change that writes several pages is under way: found set by
// a request holding the header lock, it tells that a writer stopped in the
// middle (killed), and the tree may have lost entries. Walks and changes
// refuse the file until it is rebuilt.
inline constexpr uint32_t kIndexChanging = 0x40000000u;
// Why a walk refuses a tree deeper than any this code makes.
inline constexpr char kIndexTooDeep[] = "the tree is too deep";
// How a walk or change refused for that mark ends its message.
inline constexpr char kIndexInterrupted[] =
    "index damaged, a change to it was interrupted; rebuild it with VrREINDEX";

// A text's value when it is a decimal number: optional leading white space,
// an optional sign, digits with at most one '.', at least one digit, and an
// optional exponent, with nothing after it; the empty text is the number 0.
// The grammar does not depend on the locale and takes no hexadecimal,
// infinity or NaN. A number too large for a double is not a number.
bool ParseKeyNumber(const char* text, int32_t length, double* out);

// -1, 0 or 1 when both texts are numbers, else -2.
int CompareNumericTexts(const char* a, int32_t aLength, const char* b, int32_t bLength);

// A search key, parsed once for all the entries it meets.
struct SearchKey {
    SearchKey(const char* text, int32_t length);
    const char* text;
    int32_t length;
    bool numeric;
    double number = 0.0;
    // Only digits, 1 to 15 of them: against an entry of as many digits the
    // bytes order as the numbers do.
    bool digits = false;
};

// The search key against an entry key: negative when the search key is
// ordered before, 0 when equal, positive when after. With exact 0 an entry
// that starts with the search key counts as equal (a byte comparison only).
int CompareKeys(const SearchKey& search, const char* entry, int32_t entryLength, int exact, uint32_t flags);
int CompareKeys(const char* search, int32_t searchLength, const char* entry, int32_t entryLength, int exact,
                uint32_t flags);

} // namespace vorn
