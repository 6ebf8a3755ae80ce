#include "engine/foundation/String.h"

#include "engine/foundation/Base64.h"
#include "engine/foundation/Hash.h"

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace vorn {

namespace {

const char kEmptyText[1] = {0};

constexpr int64_t kMaxLength = kMaxTextLength;

// Failures throw rather than end the process: the interpreter turns them
// into a fatal error of the one run, and the worker goes on.
char* Allocate(int64_t capacity) {
    if (capacity <= 0 || capacity > INT32_MAX) throw TextTooLong();
    char* p = static_cast<char*>(std::malloc(static_cast<size_t>(capacity)));
    if (!p) throw std::bad_alloc();
    return p;
}

int32_t CheckedLength(int64_t n) {
    if (n < 0 || n > kMaxLength) throw TextTooLong();
    return static_cast<int32_t>(n);
}

// The capacity an append grows to: half as much again as now (so n appends
// cost O(n) copying), at least what is needed, rounded to the granularity.
int32_t GrownCapacity(int32_t capacity, int32_t needed) {
    int64_t grown = static_cast<int64_t>(capacity) + capacity / 2;
    if (grown < needed) grown = needed;
    if (grown > kMaxLength + 1) grown = kMaxLength + 1;
    return RoundUp24(static_cast<int32_t>(grown));
}

int32_t TextLength(const char* text) {
    return CheckedLength(static_cast<int64_t>(std::strlen(text)));
}

bool IsTrimmed(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

} // namespace

TextTooLong::TextTooLong(const char* text) {
    if (!text) return;
    size_t n = std::strlen(text);
    if (n >= sizeof message) n = sizeof message - 1;
    std::memcpy(message, text, n);
    message[n] = '\0';
}

// --- Construction ------------------------------------------------------------

String::String(const char* text, int32_t len) {
    Assign(text, len);
}

String::String(const char* cstr) {
    if (cstr)
        Assign(cstr, -1);
    else
        Assign("", 0);
}

String::String(const String& other) {
    Assign(other.data, other.length);
}

String& String::operator=(const String& other) {
    if (this != &other) Assign(other.data, other.length);
    return *this;
}

String::String(String&& other) noexcept : data(other.data), capacity(other.capacity), length(other.length) {
    other.data = nullptr;
    other.capacity = 0;
    other.length = 0;
}

String& String::operator=(String&& other) noexcept {
    if (this != &other) {
        std::free(data);
        data = other.data;
        capacity = other.capacity;
        length = other.length;
        other.data = nullptr;
        other.capacity = 0;
        other.length = 0;
    }
    return *this;
}

String::~String() {
    std::free(data);
}

String String::Adopted(char* buffer, int32_t len, int32_t cap) {
    String s;
    s.Adopt(buffer, len, cap);
    return s;
}

// --- Access ------------------------------------------------------------------

const char* String::Text() const {
    return data ? data : kEmptyText;
}

bool String::operator==(const String& other) const {
    return length == other.length && std::memcmp(Text(), other.Text(), static_cast<size_t>(length)) == 0;
}

bool String::Equals(const char* text, int32_t len) const {
    if (!text) return length == 0 && len <= 0;
    if (len == -1) len = TextLength(text);
    return len == length && std::memcmp(Text(), text, static_cast<size_t>(len)) == 0;
}

bool String::EqualsNoCase(const char* text, int32_t len) const {
    if (!text) return length == 0 && len <= 0;
    if (len == -1) len = TextLength(text);
    if (len != length) return false;
    return CompareTextNoCase(Text(), text, len) == 0;
}

// --- Assignment and ownership -----------------------------------------------

void String::Assign(const char* text, int32_t len) {
    if (!text || len == 0 || len < -1) {
        if (!data || capacity < 1) {
            std::free(data);
            data = Allocate(24);
            capacity = 24;
        }
        length = 0;
        data[0] = 0;
        return;
    }
    if (len == -1) len = TextLength(text);
    CheckedLength(len);
    if (len + 1 > capacity) {
        // Copy before freeing: the text may lie inside the old buffer.
        int32_t newCapacity = RoundUp24(len + 1);
        char* fresh = Allocate(newCapacity);
        std::memcpy(fresh, text, static_cast<size_t>(len));
        std::free(data);
        data = fresh;
        capacity = newCapacity;
    } else {
        std::memmove(data, text, static_cast<size_t>(len));
    }
    length = len;
    data[length] = 0;
}

void String::Assign(const String& other) {
    if (this != &other) Assign(other.data, other.length);
}

void String::Adopt(char* buffer, int32_t len, int32_t cap) {
    if (buffer != data) std::free(data); // re-adopting our own buffer keeps it
    data = nullptr;
    if (!buffer || len < 0) len = 0;
    CheckedLength(len);
    if (cap <= len) {
        int32_t newCapacity = RoundUp24(len + 1);
        char* fresh = Allocate(newCapacity);
        if (len > 0) std::memcpy(fresh, buffer, static_cast<size_t>(len));
        std::free(buffer);
        data = fresh;
        capacity = newCapacity;
    } else {
        data = buffer;
        capacity = cap;
    }
    length = len;
    data[length] = 0;
}

void String::AssignChar(char c) {
    if (!data || capacity < 2) {
        std::free(data);
        data = Allocate(24);
        capacity = 24;
    }
    data[0] = c;
    data[1] = 0;
    length = 1;
}

void String::Free() {
    std::free(data);
    data = nullptr;
    capacity = 0;
    length = 0;
}

char* String::Detach() {
    char* p = data;
    data = nullptr;
    capacity = 0;
    length = 0;
    return p;
}

// --- Appending ----------------------------------------------------------------

void String::AppendChar(char c) {
    if (!data) {
        AssignChar(c);
        return;
    }
    if (length + 2 < capacity) {
        data[length++] = c;
        data[length] = 0;
        return;
    }
    // A byte of slack stays free for the next append.
    CheckedLength(static_cast<int64_t>(length) + 1);
    int32_t newCapacity = GrownCapacity(capacity, length + 3);
    char* fresh = Allocate(newCapacity);
    std::memcpy(fresh, data, static_cast<size_t>(length));
    fresh[length++] = c;
    fresh[length] = 0;
    std::free(data);
    data = fresh;
    capacity = newCapacity;
}

void String::Append(const char* text, int32_t len) {
    if (!data) {
        Assign(text, len);
        return;
    }
    if (!text || len == 0 || len < -1) return;
    if (len == -1) len = TextLength(text);
    int32_t n = CheckedLength(static_cast<int64_t>(length) + len);
    if (n + 1 <= capacity) {
        std::memmove(data + length, text, static_cast<size_t>(len));
    } else {
        int32_t newCapacity = GrownCapacity(capacity, n + 1);
        char* fresh = Allocate(newCapacity);
        std::memcpy(fresh, data, static_cast<size_t>(length));
        std::memcpy(fresh + length, text, static_cast<size_t>(len)); // text may be in the old buffer
        std::free(data);
        data = fresh;
        capacity = newCapacity;
    }
    length = n;
    data[length] = 0;
}

void String::Reserve(int32_t n) {
    // The terminator and a byte of append slack.
    int64_t needed = static_cast<int64_t>(CheckedLength(n)) + 2;
    if (data && needed <= capacity) return;
    int32_t newCapacity = RoundUp24(static_cast<int32_t>(needed));
    char* fresh = Allocate(newCapacity);
    if (data) std::memcpy(fresh, data, static_cast<size_t>(length) + 1);
    else fresh[0] = 0;
    std::free(data);
    data = fresh;
    capacity = newCapacity;
}

void String::AppendString(const String& other) {
    if (!other.data) return;
    Append(other.data, other.length);
}

void String::AppendInteger(int32_t i) {
    char scratch[24];
    auto r = std::to_chars(scratch, scratch + sizeof scratch, i);
    Append(scratch, static_cast<int32_t>(r.ptr - scratch));
}

// --- Cutting and splitting -----------------------------------------------------

int32_t String::Shorten(int32_t n) {
    // A negative count would lengthen the string over stale or unallocated bytes.
    if (n < 0) return -1;
    int32_t rest = length - n;
    if (rest >= 0) {
        length = rest;
        // Terminate here too, or Trim and TextAfterPosition would bring the cut bytes back.
        if (data) data[length] = 0;
    }
    return rest;
}

String String::Left(int32_t n) const {
    if (n < 0) return String();
    if (n >= length) return String(*this);
    return String(Text(), n);
}

String String::TextBefore(const char* sep) const {
    int32_t i = Find(sep, 0);
    if (i < 0) return String(*this);
    return Left(i);
}

String String::TextAfter(const char* sep, int32_t start) const {
    int32_t i = Find(sep, start);
    if (i < 0) return String("", 0);
    int32_t from = i + TextLength(sep);
    return String(data + from, length - from);
}

String String::TextAfterPosition(int32_t p) const {
    int64_t from = static_cast<int64_t>(p) + 1;
    if (from < 0 || from > length || !data) return String("", 0);
    const char* start = data + from;
    size_t avail = static_cast<size_t>(length - from);
    const void* nul = std::memchr(start, 0, avail);
    size_t n = nul ? static_cast<size_t>(static_cast<const char*>(nul) - start) : avail;
    return String(start, static_cast<int32_t>(n));
}

int32_t String::Split(String* out, int32_t max, const char* sep) const {
    int32_t s = sep ? TextLength(sep) : 0;
    if (s == 0) {
        if (max < 1) return 0;
        if (data) out[0].Assign(data, length);
        return 1;
    }
    if (max < 1) return 0;
    int32_t stored = 0;
    int32_t p = 0;
    while (stored < max) {
        int32_t m = Find(sep, p);
        if (m < 0) break;
        out[stored++].Assign(Text() + p, m - p);
        p = m + s;
    }
    if (stored < max) {
        int32_t rest = length - p;
        out[stored].Assign(Text() + p, rest);
        if (rest > 0) ++stored;
    }
    return stored;
}

// --- Searching and testing -------------------------------------------------------

int32_t String::Find(const char* needle, int32_t start) const {
    if (!needle || !needle[0] || length == 0) return -1;
    if (start < 0) start = 0;
    if (start >= length) return -1;
    int32_t n = TextLength(needle);
    if (n > length) return -1;
    int32_t i = FindBytes(needle, n, data + start, length - start);
    return i < 0 ? -1 : i + start;
}

int32_t String::CountOccurrences(const char* needle) const {
    int32_t count = 0;
    for (int32_t i = Find(needle, 0); i >= 0; i = Find(needle, i + 1))
        ++count;
    return count;
}

int String::HasCharFrom(char c, int32_t p) const {
    if (p < 0) p = 0;
    if (p >= length) return 0;
    return std::memchr(data + p, static_cast<unsigned char>(c), static_cast<size_t>(length - p)) ? 1 : 0;
}

int String::MatchesAtNoCase(const char* text, int32_t p) const {
    if (p < 0 || p > length) return 0;
    int32_t n = text ? TextLength(text) : 0;
    if (n != length - p) return 0;
    const unsigned char* a = reinterpret_cast<const unsigned char*>(Text()) + p;
    const unsigned char* b = reinterpret_cast<const unsigned char*>(text);
    for (int32_t i = 0; i < n; ++i)
        if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return 0;
    return 1;
}

// --- Changing in place -------------------------------------------------------------

void String::ToUpper() {
    for (int32_t i = 0; i < length; ++i)
        data[i] = static_cast<char>(AsciiUpper(static_cast<unsigned char>(data[i])));
}

void String::Trim() {
    if (!data) return;
    const void* nul = std::memchr(data, 0, static_cast<size_t>(length));
    int32_t end = nul ? static_cast<int32_t>(static_cast<const char*>(nul) - data) : length;
    int32_t begin = 0;
    while (begin < end && IsTrimmed(data[begin]))
        ++begin;
    while (end > begin && IsTrimmed(data[end - 1]))
        --end;
    length = end - begin;
    std::memmove(data, data + begin, static_cast<size_t>(length));
    data[length] = 0;
}

// --- Encoding ------------------------------------------------------------------------

String String::Base64Decode() const {
    if (length == 0) return String("", 0);
    int32_t cap = CheckedLength(static_cast<int64_t>(length) + 1);
    char* out = Allocate(cap);
    size_t n = vorn::Base64Decode(data, static_cast<size_t>(length), out);
    return Adopted(out, static_cast<int32_t>(n), cap);
}

String String::Base64Encode() const {
    if (length == 0) return String("", 0);
    int32_t cap = CheckedLength(static_cast<int64_t>(length) / 3 * 4 + 5);
    char* out = Allocate(cap);
    size_t n = vorn::Base64Encode(data, static_cast<size_t>(length), out);
    return Adopted(out, static_cast<int32_t>(n), cap);
}

// --- Concatenation ------------------------------------------------------------------

String StringPlusString(const String& a, const String& b) {
    String r(a);
    r.AppendString(b);
    return r;
}

String StringPlusChar(const String& a, char c) {
    String r(a);
    r.AppendChar(c);
    return r;
}

String StringPlusCStr(const String& a, const char* text) {
    String r(a);
    if (text) r.Append(text, -1);
    return r;
}

String CStrPlusString(const char* text, const String& b) {
    String r(text);
    r.AppendString(b);
    return r;
}

String StringPlusInteger(const String& a, int32_t i) {
    String r(a);
    r.AppendInteger(i);
    return r;
}

// --- Byte searches ------------------------------------------------------------------

namespace {

// Resolves -1 lengths; false for lengths that cannot be searched.
bool Normalize(const char* needle, int32_t& m, const char* haystack, int32_t& n) {
    if (m == -1) m = needle ? TextLength(needle) : 0;
    if (n == -1) n = haystack ? TextLength(haystack) : 0;
    if (m < 0 || n < 0) return false;
    if ((!needle && m > 0) || (!haystack && n > 0)) return false;
    return m <= n;
}

struct Exact {
    static unsigned char At(const char* p, int32_t i) { return static_cast<unsigned char>(p[i]); }
};
struct Folded {
    static unsigned char At(const char* p, int32_t i) { return AsciiLower(static_cast<unsigned char>(p[i])); }
};

template <class Read> int32_t SimpleScan(const char* needle, int32_t m, const char* haystack, int32_t n) {
    if (!Normalize(needle, m, haystack, n) || n == 0) return -1;
    for (int32_t i = 0; i <= n - m; ++i) {
        int32_t j = 0;
        while (j < m && Read::At(haystack, i + j) == Read::At(needle, j))
            ++j;
        if (j == m) return i;
    }
    return -1;
}

thread_local int64_t lastSkipComparisons = 0;

// Left to right with the needle's borders (Knuth-Morris-Pratt): the scan
// never steps back, at most 2n + 2m comparisons.
template <class Read>
int32_t BorderScan(const char* needle, int32_t m, const char* haystack, int32_t n, int64_t& compared) {
    // Each comparison either advances or falls back to a shorter border,
    // which earlier advances paid for.
    auto extend = [&compared](int32_t& q, unsigned char c, const char* pattern, const int32_t* borders) {
        for (;;) {
            ++compared;
            if (c == Read::At(pattern, q)) {
                ++q;
                return;
            }
            if (q == 0) return;
            q = borders[q - 1];
        }
    };
    std::vector<int32_t> border(static_cast<size_t>(m));
    border[0] = 0;
    for (int32_t k = 1, b = 0; k < m; ++k) {
        extend(b, Read::At(needle, k), needle, border.data());
        border[k] = b;
    }
    for (int32_t i = 0, q = 0; i < n; ++i) {
        extend(q, Read::At(haystack, i), needle, border.data());
        if (q == m) return i - m + 1;
    }
    return -1;
}

template <class Read>
int32_t SkipScanCounted(const char* needle, int32_t m, const char* haystack, int32_t n, int64_t& compared) {
    if (!Normalize(needle, m, haystack, n)) return -1;
    if (m == 0) return 0;
    int32_t table[256];
    for (int32_t& t : table)
        t = m;
    for (int32_t k = 0; k < m; ++k)
        table[Read::At(needle, k)] = m - 1 - k;
    // Comparing from the right can pass over the same bytes again and again
    // (the needle b followed by many a, in a text of a): past twice the
    // haystack's length in comparisons the rest goes to the border scan,
    // from the first place not yet ruled out.
    const int64_t budget = 2 * static_cast<int64_t>(n) + m;
    int32_t i = m - 1;
    int32_t j = m - 1;
    while (j >= 0) {
        while (++compared, Read::At(haystack, i) != Read::At(needle, j)) {
            int32_t shift = table[Read::At(haystack, i)];
            if (m - j > shift) shift = m - j;
            if (static_cast<int64_t>(i) + shift >= n) return -1;
            i += shift;
            j = m - 1;
            if (compared > budget) {
                int32_t from = i - j;
                int32_t at = BorderScan<Read>(needle, m, haystack + from, n - from, compared);
                return at < 0 ? -1 : from + at;
            }
        }
        --i;
        --j;
    }
    return i + 1;
}

template <class Read> int32_t SkipScan(const char* needle, int32_t m, const char* haystack, int32_t n) {
    int64_t compared = 0;
    int32_t at = SkipScanCounted<Read>(needle, m, haystack, n, compared);
    lastSkipComparisons = compared;
    return at;
}

} // namespace

int32_t FindBytes(const char* needle, int32_t needleLength, const char* haystack, int32_t haystackLength) {
    return SimpleScan<Exact>(needle, needleLength, haystack, haystackLength);
}

int32_t FindBytesNoCase(const char* needle, int32_t needleLength, const char* haystack,
                        int32_t haystackLength) {
    return SimpleScan<Folded>(needle, needleLength, haystack, haystackLength);
}

int32_t FindBytesSkip(const char* needle, int32_t needleLength, const char* haystack,
                      int32_t haystackLength) {
    return SkipScan<Exact>(needle, needleLength, haystack, haystackLength);
}

int32_t FindBytesSkipNoCase(const char* needle, int32_t needleLength, const char* haystack,
                            int32_t haystackLength) {
    return SkipScan<Folded>(needle, needleLength, haystack, haystackLength);
}

int64_t LastSkipSearchComparisons() {
    return lastSkipComparisons;
}

} // namespace vorn
