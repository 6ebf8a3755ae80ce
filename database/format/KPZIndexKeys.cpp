#include "database/format/KPZIndexKeys.h"

#include <charconv>
#include <cstring>

namespace vorn {

namespace {

inline bool IsBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool AllDigits(const char* text, int32_t length) {
    for (int32_t i = 0; i < length; ++i)
        if (!IsDigit(text[i])) return false;
    return true;
}

int CompareBytes(const char* a, int32_t aLength, const char* b, int32_t bLength) {
    int32_t n = aLength < bLength ? aLength : bLength;
    int c = n > 0 ? std::memcmp(a, b, static_cast<size_t>(n)) : 0;
    if (c != 0) return c < 0 ? -1 : 1;
    return aLength < bLength ? -1 : aLength > bLength ? 1 : 0;
}

} // namespace

// The keys of number fields: blanks, a sign perhaps and up to 15 digits to the
// end, read as ParseKeyNumber reads them without its bookkeeping; false for
// anything else, which goes the whole way.
inline bool ParseWholeKey(const char* text, int32_t length, double* out) {
    const char* p = text;
    const char* end = text + length;
    while (p < end && IsBlank(*p)) ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    if (end - p < 1 || end - p > 15) return false;
    uint64_t whole = 0;
    for (; p < end; ++p) {
        auto digit = static_cast<unsigned>(static_cast<unsigned char>(*p) - '0');
        if (digit > 9) return false;
        whole = whole * 10 + digit;
    }
    *out = negative ? -static_cast<double>(whole) : static_cast<double>(whole);
    return true;
}

bool ParseKeyNumber(const char* text, int32_t length, double* out) {
    if (ParseWholeKey(text, length, out)) return true;
    if (length == 0) {
        *out = 0.0;
        return true;
    }
    const char* p = text;
    const char* end = text + length;
    while (p < end && IsBlank(*p)) ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    const char* number = p;
    int32_t digits = 0;
    // The decimal exponent of the first significant digit, to tell an
    // overflow from an underflow.
    int64_t magnitude = 0;
    bool significant = false;
    for (; p < end && IsDigit(*p); ++p, ++digits) {
        if (*p != '0') significant = true;
        if (significant) ++magnitude;
    }
    if (p < end && *p == '.') {
        for (++p; p < end && IsDigit(*p); ++p, ++digits) {
            if (significant) continue;
            if (*p != '0')
                significant = true;
            else
                --magnitude;
        }
    }
    if (digits == 0) return false;
    if (p < end && (*p == 'e' || *p == 'E')) {
        const char* q = p + 1;
        bool minus = false;
        if (q < end && (*q == '+' || *q == '-')) minus = *q++ == '-';
        if (q == end || !IsDigit(*q)) return false;
        int64_t exponent = 0;
        for (; q < end && IsDigit(*q); ++q)
            if (exponent < 100000) exponent = exponent * 10 + (*q - '0');
        magnitude += minus ? -exponent : exponent;
        p = q;
    }
    if (p != end) return false;
    double value = 0.0;
    auto result = std::from_chars(number, end, value, std::chars_format::general);
    if (result.ec == std::errc::result_out_of_range) {
        if (significant && magnitude > 0) return false; // beyond the largest double
        value = 0.0;
    } else if (result.ec != std::errc() || result.ptr != end) {
        return false;
    }
    *out = negative ? -value : value;
    return true;
}

int CompareNumericTexts(const char* a, int32_t aLength, const char* b, int32_t bLength) {
    double x, y;
    if (!ParseKeyNumber(a, aLength, &x) || !ParseKeyNumber(b, bLength, &y)) return -2;
    return x == y ? 0 : x > y ? 1 : -1;
}

SearchKey::SearchKey(const char* text, int32_t length) : text(text), length(length) {
    numeric = ParseKeyNumber(text, length, &number);
    digits = length > 0 && length <= 15 && AllDigits(text, length);
}

int CompareKeys(const SearchKey& search, const char* entry, int32_t entryLength, int exact, uint32_t flags) {
    int result;
    if (!exact) {
        // A prefix search: the entry's first bytes against the whole key.
        int32_t n = search.length < entryLength ? search.length : entryLength;
        int c = n > 0 ? std::memcmp(search.text, entry, static_cast<size_t>(n)) : 0;
        result = c != 0 ? (c < 0 ? -1 : 1) : search.length > entryLength ? 1 : 0;
    } else {
        double value;
        if (!(flags & kIndexString) && search.digits && entryLength == search.length &&
            AllDigits(entry, entryLength)) {
            int c = std::memcmp(search.text, entry, static_cast<size_t>(entryLength));
            result = c < 0 ? -1 : c > 0 ? 1 : 0;
        } else if (!(flags & kIndexString) && search.numeric && ParseKeyNumber(entry, entryLength, &value)) {
            result = search.number == value ? 0 : search.number > value ? 1 : -1;
        } else {
            result = CompareBytes(search.text, search.length, entry, entryLength);
        }
    }
    return (flags & kIndexDescending) ? -result : result;
}

int CompareKeys(const char* search, int32_t searchLength, const char* entry, int32_t entryLength, int exact,
                uint32_t flags) {
    return CompareKeys(SearchKey(search, searchLength), entry, entryLength, exact, flags);
}

} // namespace vorn
