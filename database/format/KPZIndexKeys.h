// The order of index keys. Keys that both read as decimal numbers compare as
// numbers, any other pair as unsigned bytes, unless the index's string bit
// says text always; the descending bit reverses either order. Stored indexes
// rely on this mixed rule, so it stays even though it is not transitive.
//
// Format code: nothing here reaches past the standard library.
#pragma once

#include <cstdint>
#include <cstring>

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
    // Decimal digits only, at most 15 (a whole number padded with zeros, as
    // numeric keys are stored): against an entry of as many digits the
    // numbers compare as the bytes do.
    bool digits = false;
};

// The search key against an entry key: negative when the search key is
// ordered before, 0 when equal, positive when after. With exact 0 an entry
// that starts with the search key counts as equal (a byte comparison only).
// Inline: a find compares every entry it passes.
int CompareNumericKeys(const SearchKey& search, const char* entry, int32_t entryLength);
inline int CompareKeyBytes(const char* a, int32_t aLength, const char* b, int32_t bLength) {
    int32_t n = aLength < bLength ? aLength : bLength;
    int c = n > 0 ? std::memcmp(a, b, static_cast<size_t>(n)) : 0;
    if (c != 0) return c < 0 ? -1 : 1;
    return aLength < bLength ? -1 : aLength > bLength ? 1 : 0;
}
inline bool AllDigits(const char* text, int32_t length) {
    for (int32_t i = 0; i < length; ++i)
        if (static_cast<unsigned char>(text[i] - '0') > 9) return false;
    return true;
}
inline int CompareKeys(const SearchKey& search, const char* entry, int32_t entryLength, int exact, uint32_t flags) {
    int result;
    if (!exact) {
        // A prefix search: the entry's first bytes against the whole key.
        int32_t n = search.length < entryLength ? search.length : entryLength;
        int c = n > 0 ? std::memcmp(search.text, entry, static_cast<size_t>(n)) : 0;
        result = c != 0 ? (c < 0 ? -1 : 1) : search.length > entryLength ? 1 : 0;
    } else if ((flags & kIndexString) || !search.numeric ||
               (search.digits && entryLength == search.length && AllDigits(entry, entryLength))) {
        result = CompareKeyBytes(search.text, search.length, entry, entryLength);
    } else {
        result = CompareNumericKeys(search, entry, entryLength);
    }
    return (flags & kIndexDescending) ? -result : result;
}
int CompareKeys(const char* search, int32_t searchLength, const char* entry, int32_t entryLength, int exact,
                uint32_t flags);

} // namespace vorn
