#include "sqllib/engine/SqlValue.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "sqllib/front/SqlMemory.h"

namespace vorn {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

bool WordIs(const char* text, int32_t length, const char* word) {
    if (static_cast<int32_t>(std::strlen(word)) != length) return false;
    for (int32_t i = 0; i < length; ++i) {
        char c = text[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != word[i]) return false;
    }
    return true;
}

} // namespace

double SQLTextToDouble(const char* text, int32_t length, int* error) {
    *error = 0;
    if (!text) return 0.0;
    if (length < 0) length = static_cast<int32_t>(std::strlen(text));
    if (length == 0) return 0.0;
    if (length == 3 || length == 4 || length == 8 || length == 9) {
        if (WordIs(text, length, "NAN")) return std::numeric_limits<double>::quiet_NaN();
        if (WordIs(text, length, "-NAN")) return -std::numeric_limits<double>::quiet_NaN();
        if (WordIs(text, length, "INF") || WordIs(text, length, "INFINITY"))
            return std::numeric_limits<double>::infinity();
        if (WordIs(text, length, "-INF") || WordIs(text, length, "-INFINITY"))
            return -std::numeric_limits<double>::infinity();
    }
    const char* p = text;
    const char* end = text + length;
    while (p < end && IsBlank(*p)) ++p;
    bool negative = false;
    if (p < end && (*p == '-' || *p == '+')) negative = *p++ == '-';
    // from_chars would take "inf" and "nan"; the grammar here is digits only.
    if (p >= end || !((*p >= '0' && *p <= '9') || *p == '.')) {
        *error = 1;
        return 0.0;
    }
    {
        // Up to 15 digits with at most one '.': the digits are exact as an
        // integer and a power of ten up to 1e15 as a double, so one division
        // rounds as from_chars does. Column values are mostly such.
        static constexpr double kTens[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                           1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
        uint64_t digits = 0;
        int count = 0, fraction = -1;
        const char* q = p;
        for (; q < end && count <= 15; ++q) {
            if (*q >= '0' && *q <= '9') {
                digits = digits * 10 + static_cast<uint64_t>(*q - '0');
                ++count;
                if (fraction >= 0) ++fraction;
            } else if (*q == '.' && fraction < 0) {
                fraction = 0;
            } else {
                break;
            }
        }
        if (q == end && count > 0 && count <= 15) {
            double x = static_cast<double>(digits);
            if (fraction > 0) x /= kTens[fraction];
            return negative ? -x : x;
        }
    }
    double value = 0.0;
    auto [stop, status] = std::from_chars(p, end, value, std::chars_format::general);
    if (stop != end || status == std::errc::invalid_argument) {
        *error = 1;
        return 0.0;
    }
    if (status == std::errc::result_out_of_range) {
        // Too small is 0 without error; too large the infinity with it.
        bool tiny = false;
        const char* e = p;
        while (e < end && *e != 'e' && *e != 'E') ++e;
        if (e < end) tiny = e + 1 < end && e[1] == '-';
        if (tiny) {
            value = 0.0;
        } else {
            value = std::numeric_limits<double>::infinity();
            *error = 1;
        }
    }
    return negative ? -value : value;
}

int32_t SQLTextToInteger(const char* text, int32_t length, int* error) {
    *error = 0;
    if (!text) {
        *error = 1;
        return 0;
    }
    if (length < 0) length = static_cast<int32_t>(std::strlen(text));
    if (length == 0) {
        *error = 1;
        return 0;
    }
    int32_t i = 0;
    bool negative = text[0] == '-';
    if (negative) i = 1;
    uint32_t value = 0;
    for (; i < length; ++i) {
        char c = text[i];
        if (c < '0' || c > '9') {
            *error = 1;
            return 0;
        }
        value = value * 10u + static_cast<uint32_t>(c - '0');
    }
    if (negative) value = 0u - value;
    return static_cast<int32_t>(value);
}

char* SQLIntegerToText(int32_t n, int32_t* length, int32_t* size) {
    char buffer[16];
    auto [end, status] = std::to_chars(buffer, buffer + sizeof buffer, n);
    (void)status;
    int32_t used = static_cast<int32_t>(end - buffer);
    char* text = static_cast<char*>(SQLAllocate(static_cast<size_t>(used) + 1));
    if (!text) {
        *length = *size = 0;
        return nullptr;
    }
    std::memcpy(text, buffer, static_cast<size_t>(used));
    text[used] = '\0';
    *length = used;
    *size = used + 1;
    return text;
}

int32_t SQLFormatDouble(double x, int32_t decimals, char* out) {
    if (std::isnan(x)) {
        const char* word = std::signbit(x) ? "-NaN" : "NaN";
        std::strcpy(out, word);
        return static_cast<int32_t>(std::strlen(word));
    }
    if (std::isinf(x)) {
        const char* word = x < 0 ? "-Infinity" : "Infinity";
        std::strcpy(out, word);
        return static_cast<int32_t>(std::strlen(word));
    }
    int32_t places = decimals < 0 ? 20 : decimals;
    if (places > 60) places = 60;
    char* end = out + 400;
    auto shortest = std::to_chars(out, end, x, std::chars_format::fixed);
    int32_t used = static_cast<int32_t>(shortest.ptr - out);
    const char* point = static_cast<const char*>(std::memchr(out, '.', static_cast<size_t>(used)));
    int32_t needed = point ? static_cast<int32_t>(out + used - point - 1) : 0;
    if (needed > places) {
        used = static_cast<int32_t>(std::to_chars(out, end, x, std::chars_format::fixed, places).ptr - out);
        point = static_cast<const char*>(std::memchr(out, '.', static_cast<size_t>(used)));
        needed = point ? places : 0;
    }
    if (decimals > 0) {
        if (!point) out[used++] = '.';
        for (; needed < decimals; ++needed) out[used++] = '0';
    } else if (point) {
        while (used > 0 && out[used - 1] == '0') --used;
        if (used > 0 && out[used - 1] == '.') --used;
    }
    // Negative zero keeps its sign, as a rounded small negative does.
    if (std::signbit(x) && out[0] != '-') {
        std::memmove(out + 1, out, static_cast<size_t>(used));
        out[0] = '-';
        ++used;
    }
    out[used] = '\0';
    return used;
}

char* SQLDoubleToText(double x, int32_t decimals, int32_t* length, int32_t* size) {
    char buffer[480];
    int32_t used = SQLFormatDouble(x, decimals, buffer);
    char* text = static_cast<char*>(SQLAllocate(static_cast<size_t>(used) + 1));
    if (!text) {
        *length = *size = 0;
        return nullptr;
    }
    std::memcpy(text, buffer, static_cast<size_t>(used) + 1);
    *length = used;
    *size = used + 1;
    return text;
}

bool SQLTextIsTrue(const char* text, int32_t length) {
    if (!text || length <= 0) return false;
    int points = 0;
    for (int32_t i = 0; i < length; ++i) {
        if (text[i] == '.') {
            if (++points > 1) return true;
        } else if (text[i] != '0') {
            return true;
        }
    }
    return false;
}

// ---- LIKE -----------------------------------------------------------------------------------------

namespace {

// Counts the matcher's steps (bytes scanned, words shifted) and asks the
// caller's stop every kSQLLikePollWork of them.
class LikeWork {
  public:
    explicit LikeWork(const SQLLikeStop* stop) : stop(stop) {}
    // False once the stop said so.
    bool Spend(int64_t units) {
        done += units;
        if (done < kSQLLikePollWork) return true;
        done %= kSQLLikePollWork;
        stopped = stopped || (stop && stop->stopped && stop->stopped(stop->context));
        return !stopped;
    }

  private:
    const SQLLikeStop* stop;
    int64_t done = 0;
    bool stopped = false;
};

constexpr int32_t kNotFound = -1;
constexpr int32_t kStopped = -2;
// Segments with '_' up to this long are tried at each start; longer ones
// go through the piece search below.
constexpr int32_t kShortSegment = 16;
// Starts examined per round of the '_' search: its bit set and how much work
// lies between two looks at the stop.
constexpr int32_t kWindow = 1 << 15;

bool SegmentAt(const char* text, const char* segment, int32_t m) {
    for (int32_t k = 0; k < m; ++k)
        if (segment[k] != '_' && segment[k] != text[k]) return false;
    return true;
}

int32_t FindShort(LikeWork& work, const char* text, int32_t n, const char* segment, int32_t m) {
    for (int32_t s = 0; s + m <= n; ++s) {
        if (s > 0 && (s & (kWindow - 1)) == 0 && !work.Spend(static_cast<int64_t>(kWindow) * m))
            return kStopped;
        if (SegmentAt(text + s, segment, m)) return s;
    }
    return kNotFound;
}

// Knuth-Morris-Pratt: each text byte is looked at a bounded number of times
// (amortised), whatever the segment repeats.
int32_t FindLiteral(LikeWork& work, const char* text, int32_t n, const char* segment, int32_t m) {
    int32_t small[64];
    std::vector<int32_t> large;
    int32_t* border = small;
    if (m > 64) {
        large.resize(static_cast<size_t>(m));
        border = large.data();
    }
    border[0] = 0;
    for (int32_t k = 1, b = 0; k < m; ++k) {
        while (b > 0 && segment[k] != segment[b])
            b = border[b - 1];
        if (segment[k] == segment[b]) ++b;
        border[k] = b;
    }
    if (!work.Spend(m)) return kStopped;
    int32_t q = 0;
    int32_t counted = 0;
    for (int32_t i = 0; i < n; ++i) {
        if (i - counted >= kWindow) {
            if (!work.Spend(i - counted)) return kStopped;
            counted = i;
        }
        if (q == 0) {
            // Nothing matched yet: on to the next place of the segment's first byte.
            const void* at =
                std::memchr(text + i, static_cast<unsigned char>(segment[0]), static_cast<size_t>(n - i));
            if (!at) return kNotFound;
            i = static_cast<int32_t>(static_cast<const char*>(at) - text);
        }
        while (q > 0 && text[i] != segment[q])
            q = border[q - 1];
        if (text[i] == segment[q] && ++q == m) return i - m + 1;
    }
    return kNotFound;
}

// With '_' in a long segment: shift-and over 64-byte pieces of the segment.
// For a window of starts, each piece marks the starts at which it matches
// (its offset added); a start that every piece marks is a match. A window
// whose marks all die ends early, so the usual case looks at one or two
// pieces; the worst is (n x m) / 64 word steps.
int32_t FindWild(LikeWork& work, const char* text, int32_t n, const char* segment, int32_t m) {
    int32_t starts = n - m + 1;
    if (starts <= 0) return kNotFound;
    std::vector<uint64_t> marks(kWindow / 64), piece(kWindow / 64);
    uint64_t table[256];
    // Windows grow from 64 starts, so that a match near the front is found
    // without running every piece over a whole window.
    int32_t window = 64;
    for (int32_t from = 0; from < starts; from += window, window = std::min(window * 2, kWindow)) {
        int32_t count = std::min(window, starts - from);
        int32_t words = (count + 63) / 64;
        std::fill(marks.begin(), marks.begin() + words, ~uint64_t{0});
        bool alive = true;
        for (int32_t offset = 0; offset < m && alive; offset += 64) {
            int32_t length = std::min(64, m - offset);
            uint64_t wild = 0;
            for (int32_t k = 0; k < length; ++k)
                if (segment[offset + k] == '_') wild |= uint64_t{1} << k;
            std::fill(std::begin(table), std::end(table), wild);
            for (int32_t k = 0; k < length; ++k)
                table[static_cast<unsigned char>(segment[offset + k])] |= uint64_t{1} << k;
            std::fill(piece.begin(), piece.begin() + words, 0);
            // The piece ends at byte r of the scan when it starts at start r - (length - 1).
            const uint64_t last = uint64_t{1} << (length - 1);
            const char* scan = text + from + offset;
            int32_t bytes = count + length - 1;
            uint64_t state = 0;
            for (int32_t r = 0; r < bytes; ++r) {
                state = ((state << 1) | 1) & table[static_cast<unsigned char>(scan[r])];
                if (state & last) {
                    int32_t start = r - (length - 1);
                    piece[static_cast<size_t>(start >> 6)] |= uint64_t{1} << (start & 63);
                }
            }
            alive = false;
            for (int32_t w = 0; w < words; ++w) {
                marks[static_cast<size_t>(w)] &= piece[static_cast<size_t>(w)];
                alive = alive || marks[static_cast<size_t>(w)] != 0;
            }
            if (!work.Spend(bytes + 256)) return kStopped;
        }
        if (!alive) continue;
        for (int32_t w = 0; w < words; ++w) {
            uint64_t bits = marks[static_cast<size_t>(w)];
            if (w == words - 1 && (count & 63)) bits &= (uint64_t{1} << (count & 63)) - 1;
            if (bits) return from + w * 64 + std::countr_zero(bits);
        }
    }
    return kNotFound;
}

// The first place in text (n bytes) where the segment matches.
int32_t FindSegment(LikeWork& work, const char* text, int32_t n, const char* segment, int32_t m) {
    if (m > n) return kNotFound;
    if (!std::memchr(segment, '_', static_cast<size_t>(m))) return FindLiteral(work, text, n, segment, m);
    if (m <= kShortSegment) return FindShort(work, text, n, segment, m);
    return FindWild(work, text, n, segment, m);
}

} // namespace

int SQLMatchLike(const char* subject, int32_t subjectLength, const char* pattern, int32_t patternLength,
                 const SQLLikeStop* stop) {
    // Between the first and the last '%' the segments are found left to
    // right, each at its first place: a later place could only leave less
    // room for the rest. The part before the first '%' is tied to the
    // start, the part after the last one to the end.
    const char* firstStar =
        patternLength > 0
            ? static_cast<const char*>(std::memchr(pattern, '%', static_cast<size_t>(patternLength)))
            : nullptr;
    if (!firstStar)
        return subjectLength == patternLength && SegmentAt(subject, pattern, patternLength) ? 1 : 0;
    int32_t head = static_cast<int32_t>(firstStar - pattern);
    int32_t tailStart = patternLength;
    while (pattern[tailStart - 1] != '%')
        --tailStart;
    int32_t tail = patternLength - tailStart;
    if (head + tail > subjectLength) return 0;
    if (!SegmentAt(subject, pattern, head) ||
        !SegmentAt(subject + subjectLength - tail, pattern + tailStart, tail))
        return 0;
    LikeWork work(stop);
    if (!work.Spend(static_cast<int64_t>(head) + tail)) return -1;
    int32_t s = head;
    int32_t end = subjectLength - tail;
    int32_t p = head;
    while (p < tailStart) {
        while (p < tailStart && pattern[p] == '%')
            ++p;
        int32_t q = p;
        while (q < tailStart && pattern[q] != '%')
            ++q;
        if (q == p) break;
        int32_t at = FindSegment(work, subject + s, end - s, pattern + p, q - p);
        if (at == kStopped) return -1;
        if (at == kNotFound) return 0;
        s += at + (q - p);
        p = q;
    }
    return 1;
}

bool SQLLike(const char* subject, int32_t subjectLength, const char* pattern, int32_t patternLength) {
    return SQLMatchLike(subject, subjectLength, pattern, patternLength, nullptr) == 1;
}

int SQLCompareBytes(const char* a, int32_t aLength, const char* b, int32_t bLength) {
    int32_t n = aLength < bLength ? aLength : bLength;
    int c = n > 0 ? std::memcmp(a, b, static_cast<size_t>(n)) : 0;
    if (c != 0) return c < 0 ? -1 : 1;
    return aLength == bLength ? 0 : (aLength < bLength ? -1 : 1);
}

// ---- Arena --------------------------------------------------------------------------------------

void* SQLArena::Grow(size_t bytes) {
    constexpr size_t kLaterChunk = size_t{2} << 20;
    size_t chunk = SQLBlockSize(std::max(bytes, chunks.empty() ? kSQLSmallestBlock : kLaterChunk));
    // Near the limit, only what this allocation needs.
    if (budget->used + static_cast<int64_t>(chunk) > budget->limit) chunk = SQLBlockSize(bytes);
    budget->limitReached = budget->used + static_cast<int64_t>(chunk) > budget->limit;
    char* made = budget->limitReached ? nullptr : static_cast<char*>(SQLTakeBlock(chunk));
    if (!made) return nullptr;
    try {
        chunks.push_back({made, chunk});
    } catch (const std::bad_alloc&) {
        SQLGiveBlock(made, chunk);
        return nullptr;
    }
    budget->used += static_cast<int64_t>(chunk);
    mine += static_cast<int64_t>(chunk);
    // Blocks are aligned beyond any alignment asked.
    next = made + bytes;
    left = chunk - bytes;
    return made;
}

char* SQLArena::Copy(const char* text, int32_t length) {
    char* copy = static_cast<char*>(Allocate(static_cast<size_t>(length) + 1));
    if (!copy) return nullptr;
    if (length > 0) std::memcpy(copy, text, static_cast<size_t>(length));
    copy[length] = '\0';
    return copy;
}

void SQLArena::Clear() {
    for (const Chunk& chunk : chunks) SQLGiveBlock(chunk.bytes, chunk.size);
    chunks.clear();
    next = nullptr;
    left = 0;
    budget->used -= mine;
    mine = 0;
}

void SQLArena::Rewind() {
    if (chunks.empty()) return;
    for (size_t i = 1; i < chunks.size(); ++i) {
        SQLGiveBlock(chunks[i].bytes, chunks[i].size);
        budget->used -= static_cast<int64_t>(chunks[i].size);
        mine -= static_cast<int64_t>(chunks[i].size);
    }
    chunks.resize(1);
    next = chunks[0].bytes;
    left = chunks[0].size;
}

// ---- SQLResult ----------------------------------------------------------------------------------

SQLResult::SQLResult(const char* name, int32_t nameLength, int32_t column, VornDatabaseView* view)
    : name(name), nameLength(nameLength), column(column) {
    if (view) variable = vrDatabaseView_AddVariable(view, name, nameLength, this);
}

SQLResult::~SQLResult() {
    FreeText();
    // The host may still hold the variable: it must not reach this value.
    if (variable) vrDatabaseVariable_SetData(variable, nullptr);
}

void SQLResult::FreeText() {
    if (owns) std::free(text);
    owns = false;
    text = nullptr;
}

int SQLResult::SetText(const char* given, int32_t givenLength, int32_t givenSize, bool givenOwns, bool copy,
                       SQLArena* arena) {
    if (!given) {
        given = "";
        givenLength = 0;
        givenSize = 1;
        givenOwns = false;
    }
    if (givenLength < 0) givenLength = static_cast<int32_t>(std::strlen(given));
    if (given == text) {
        // The same buffer again: keep it whole.
        if (givenOwns && !owns) owns = true;
        length = givenLength;
        valid = kText;
        Dirty();
        return 1;
    }
    FreeText();
    if (copy) {
        char* made = arena ? arena->Copy(given, givenLength)
                           : static_cast<char*>(SQLAllocate(static_cast<size_t>(givenLength) + 1));
        if (givenOwns) std::free(const_cast<char*>(given));
        if (!made) {
            valid = 0;
            return 0;
        }
        if (!arena) {
            if (givenLength > 0) std::memcpy(made, given, static_cast<size_t>(givenLength));
            made[givenLength] = '\0';
        }
        text = made;
        owns = !arena;
        size = givenLength + 1;
    } else {
        text = const_cast<char*>(given);
        owns = givenOwns;
        size = givenSize < 0 ? givenLength : givenSize;
    }
    length = givenLength;
    valid = kText;
    Dirty();
    return 1;
}

int SQLResult::SaveTo(SQLSavedValue& out, SQLArena& arena) const {
    out.valid = valid;
    out.integer = integer;
    out.number = number;
    out.length = 0;
    out.text = nullptr;
    if ((valid & kText) && text) {
        char* made = arena.Copy(text, length);
        if (!made) return 0;
        out.text = made;
        out.length = length;
    } else {
        out.valid &= ~kText;
    }
    return 1;
}

void SQLResult::Restore(const SQLSavedValue& saved) {
    FreeText();
    valid = saved.valid;
    integer = saved.integer;
    number = saved.number;
    if (valid & kText) {
        text = const_cast<char*>(saved.text);
        length = saved.length;
        size = saved.length + 1;
    }
    Dirty();
}

void SQLResult::SetInteger(int32_t n) {
    FreeText();
    integer = n;
    valid = kInteger;
    Dirty();
}

void SQLResult::SetDouble(double x) {
    FreeText();
    number = x;
    valid = kDouble;
    Dirty();
}

void SQLResult::MakeText() {
    FreeText();
    if (valid & (kDouble | kInteger)) {
        text = (valid & kDouble) ? SQLDoubleToText(number, -1, &length, &size)
                                 : SQLIntegerToText(integer, &length, &size);
        // No text to hand out: the statement (or the host's read) fails.
        if (!text) throw std::bad_alloc();
        owns = true;
    } else {
        text = const_cast<char*>("");
        length = 0;
        size = 1;
    }
    valid |= kText;
}

void SQLResult::MakeInteger() {
    int error = 0;
    if (valid & kText)
        integer = SQLTextToInteger(text, length, &error);
    else if (valid & kDouble)
        integer = std::isfinite(number) && std::fabs(number) < 2147483648.0 ? static_cast<int32_t>(number) : 0;
    else
        integer = 0;
    valid |= kInteger;
}

void SQLResult::MakeDouble() {
    int error = 0;
    if (valid & kText)
        number = SQLTextToDouble(text, length, &error);
    else if (valid & kInteger)
        number = integer;
    else
        number = 0.0;
    valid |= kDouble;
}

double SQLResult::ToDouble(int* error) {
    *error = 0;
    if (valid & kText) {
        double x = SQLTextToDouble(text, length, error);
        if (!*error) {
            number = x;
            valid |= kDouble;
        }
        return x;
    }
    if (valid & kDouble) return number;
    if (valid & kInteger) {
        number = integer;
        valid |= kDouble;
        return number;
    }
    return 0.0;
}

double SQLResult::Double() {
    if (!(valid & kDouble)) MakeDouble();
    return number;
}

int32_t SQLResult::Integer() {
    if (!(valid & kInteger)) MakeInteger();
    return integer;
}

const char* SQLResult::Text(int32_t* outLength, int32_t* outSize) {
    if (!(valid & kText)) MakeText();
    *outLength = length;
    if (outSize) *outSize = size;
    return text;
}

bool SQLResult::IsNull() const {
    if (valid & kText) return length == 0;
    return (valid & (kInteger | kDouble)) == 0;
}

bool SQLResult::IsTrue() const {
    if (valid & kText) return SQLTextIsTrue(text, length);
    if (valid & kInteger) return integer != 0;
    if (valid & kDouble) return number != 0.0;
    return false;
}

int SQLResult::CopyFrom(const SQLResult& other, SQLArena* arena) {
    if (&other == this) return 1;
    FreeText();
    valid = other.valid;
    integer = other.integer;
    number = other.number;
    length = other.length;
    size = other.size;
    if (other.valid & kText) {
        if (arena) {
            text = arena->Copy(other.text, other.length);
            if (!text) {
                valid = 0;
                return 0;
            }
            size = length + 1;
        } else if (other.owns) {
            text = static_cast<char*>(SQLAllocate(static_cast<size_t>(other.length) + 1));
            if (!text) {
                valid = 0;
                return 0;
            }
            std::memcpy(text, other.text, static_cast<size_t>(other.length));
            text[other.length] = '\0';
            owns = true;
            size = length + 1;
        } else {
            text = other.text;
        }
    }
    Dirty();
    return 1;
}

void SQLResult::ShareFrom(const SQLResult& other) {
    if (&other == this) return;
    FreeText();
    valid = other.valid;
    integer = other.integer;
    number = other.number;
    length = other.length;
    size = other.size;
    text = (other.valid & kText) ? other.text : nullptr;
    Dirty();
}

} // namespace vorn
