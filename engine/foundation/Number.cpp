#include "engine/foundation/Number.h"

#include "engine/foundation/Hash.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <new>
#include <cstring>
#include <limits>

namespace vorn {

namespace {

// Every exact decimal of a double fits in 1074 fractional digits; more
// requested decimals would only be padding zeros.
constexpr int32_t kMaxDecimals = 1100;

// A failure throws, as String's do: the interpreter ends the run, not the process.
char* Allocate(int64_t size) {
    if (size <= 0 || size > std::numeric_limits<int32_t>::max()) throw std::bad_alloc();
    char* p = static_cast<char*>(std::malloc(static_cast<size_t>(size)));
    if (!p) throw std::bad_alloc();
    return p;
}

// A malloc'ed copy of text's n bytes and its NUL; the length and size.
char* CopyOut(const char* text, int32_t n, int32_t* length, int32_t* size) {
    char* p = Allocate(n + 1);
    std::memcpy(p, text, static_cast<size_t>(n) + 1);
    if (length) *length = n;
    if (size) *size = n + 1;
    return p;
}

} // namespace

void ToDecimalDigits(double v, int32_t d, DecimalDigits& out) {
    if (v == 0) {
        out.text[0] = '0';
        out.k = 1;
        out.p = 1;
        return;
    }
    char buf[1500];
    // Shortest round-trip digits, read off the scientific form "d.ddde+XX".
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    int32_t k = 0;
    const char* q = buf;
    for (; q < r.ptr && *q != 'e'; ++q)
        if (*q != '.') out.text[k++] = *q;
    int32_t exponent = 0;
    std::from_chars(q + 1 + (q[1] == '+' ? 1 : 0), r.ptr, exponent);
    while (k > 1 && out.text[k - 1] == '0')
        --k;
    int32_t p = exponent + 1;
    if (k - p <= d) {
        out.k = k;
        out.p = p;
        return;
    }
    // Too many decimals: round correctly at d decimals instead.
    r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, d);
    k = 0;
    p = 0;
    bool seenPoint = false;
    for (q = buf; q < r.ptr; ++q) {
        if (*q == '.') {
            seenPoint = true;
            continue;
        }
        if (!seenPoint) ++p;
        if (k == 0 && *q == '0') {
            --p; // leading zero: the point moves one place right of the digits
            continue;
        }
        out.text[k++] = *q;
    }
    while (k > 0 && out.text[k - 1] == '0')
        --k;
    if (k == 0) p = -d;
    out.k = k;
    out.p = p;
}

namespace {

bool IsSpace(char c) { return AsciiIsSpace(static_cast<unsigned char>(c)); }
bool IsDigit(char c) { return AsciiIsDigit(static_cast<unsigned char>(c)); }

bool EqualsNoCase(const char* text, const char* word, int32_t n) {
    return CompareTextNoCase(text, word, n) == 0;
}

// The special words, chosen by the text's length.
bool SpecialWord(const char* s, int32_t n, double& value) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    switch (n) {
    case 3:
        if (EqualsNoCase(s, "NAN", 3)) return value = nan, true;
        if (EqualsNoCase(s, "INF", 3)) return value = inf, true;
        return false;
    case 4:
        if (s[0] != '-') return false;
        if (EqualsNoCase(s, "-NAN", 4)) return value = std::copysign(nan, -1.0), true;
        if (EqualsNoCase(s, "-INF", 4)) return value = -inf, true;
        return false;
    case 8:
        if (EqualsNoCase(s, "INFINITY", 8)) return value = inf, true;
        return false;
    case 9:
        if (s[0] != '-') return false;
        if (EqualsNoCase(s, "-INFINITY", 9)) return value = -inf, true;
        return false;
    default:
        return false;
    }
}

} // namespace

namespace {

// Doubles below this magnitude with no fraction are exact integers, whose
// shortest text is their decimal digits.
constexpr double kExactIntegers = 1e15;

// A whole number other than zero (whose sign a -0 would have to show) that
// is written as an integer; its text into out (room for 17 bytes).
bool WholeNumberText(double value, char* out, int32_t* length) {
    if (!(std::fabs(value) < kExactIntegers) || value == 0 || value != std::trunc(value)) return false;
    auto r = std::to_chars(out, out + 17, static_cast<int64_t>(value));
    *r.ptr = 0;
    *length = static_cast<int32_t>(r.ptr - out);
    return true;
}

// FormatDouble's text into fixed when it fits (fixedSize bytes), else into
// a malloc'ed buffer returned through heap; the length and the size of
// the buffer written.
void WriteDouble(double value, int32_t digits, char* fixed, int32_t fixedSize, char** heap, int32_t* length,
                 int32_t* size) {
    if (digits < 0) digits = -1;
    if (digits > kMaxDecimals) digits = kMaxDecimals;
    const int32_t d = digits == -1 ? 20 : digits;
    const bool negative = std::signbit(value);
    *heap = nullptr;

    if (std::isinf(value) || std::isnan(value)) {
        const char* word = std::isinf(value) ? (negative ? "-Infinity" : "Infinity") : (negative ? "-NaN" : "NaN");
        int32_t n = static_cast<int32_t>(std::strlen(word));
        char* out = fixedSize > n ? fixed : (*heap = Allocate(n + 1));
        std::memcpy(out, word, static_cast<size_t>(n) + 1);
        *length = n;
        *size = out == fixed ? fixedSize : n + 1;
        return;
    }

    DecimalDigits dig;
    ToDecimalDigits(std::fabs(value), d, dig);
    const int32_t k = dig.k;
    const int32_t p = dig.p;

    int64_t bufferSize = (p < k ? k + 3 : p + 3) + static_cast<int64_t>(d) + (p == 0 ? 1 : 0);
    // A negative value that rounds to zero with decimals ("-0.00") needs one
    // byte more than that rule gives; never size below what is written.
    int64_t fraction = (p < 0 ? -static_cast<int64_t>(p) : 0) + (k > p ? k - (p > 0 ? p : 0) : 0);
    if (digits > 0 && fraction < digits) fraction = digits;
    int64_t needed = (negative ? 1 : 0) + (p > 0 ? p : 1) + (fraction > 0 ? 1 + fraction : 0) + 1;
    if (bufferSize < needed) bufferSize = needed;

    char* out = needed <= fixedSize ? fixed : (*heap = Allocate(bufferSize));
    char* w = out;
    if (negative) *w++ = '-';
    int32_t next = 0;
    if (p > 0) {
        for (int32_t i = 0; i < p; ++i)
            *w++ = next < k ? dig.text[next++] : '0';
    } else {
        *w++ = '0';
    }
    int32_t decimals = 0;
    if (digits > 0 || next < k) {
        *w++ = '.';
        for (int32_t i = p; i < 0; ++i, ++decimals)
            *w++ = '0';
        for (; next < k; ++decimals)
            *w++ = dig.text[next++];
    }
    for (; decimals < digits; ++decimals)
        *w++ = '0';
    *w = 0;
    *length = static_cast<int32_t>(w - out);
    *size = out == fixed ? fixedSize : static_cast<int32_t>(bufferSize);
}

} // namespace

char* FormatDouble(double value, int32_t* length, int32_t* size, int32_t digits) {
    char whole[17];
    int32_t n = 0;
    if (digits < 0 && WholeNumberText(value, whole, &n)) return CopyOut(whole, n, length, size);
    char* heap = nullptr;
    int32_t written = 0;
    int32_t bytes = 0;
    WriteDouble(value, digits, nullptr, 0, &heap, &written, &bytes);
    if (length) *length = written;
    if (size) *size = bytes;
    return heap;
}

int32_t FormatDoubleTo(double value, char* out, int32_t size, int32_t digits) {
    int32_t n = 0;
    if (digits < 0 && size >= 17 && WholeNumberText(value, out, &n)) return n;
    char* heap = nullptr;
    int32_t bytes = 0;
    WriteDouble(value, digits, out, size, &heap, &n, &bytes);
    if (!heap) return n;
    std::free(heap);
    return -1;
}

char* FormatInteger(int32_t value, int32_t* length, int32_t* size) {
    char scratch[16];
    int32_t n = FormatIntegerTo(value, scratch);
    return CopyOut(scratch, n, length, size);
}

int32_t FormatIntegerTo(int32_t value, char* out) {
    auto r = std::to_chars(out, out + 11, value);
    *r.ptr = 0;
    return static_cast<int32_t>(r.ptr - out);
}

double ParseDouble(const char* text, int32_t length, int32_t size, int32_t* invalid) {
    // The text is read within [text, text + length) only, so it never needs a
    // NUL-terminated copy; size matters only to callers that pass no length.
    (void)size;
    int32_t dummy;
    if (!invalid) invalid = &dummy;
    *invalid = 0;
    if (!text) {
        *invalid = length > 0 ? 1 : 0;
        return 0.0;
    }
    if (length == -1) {
        size_t n = std::strlen(text);
        length = n > static_cast<size_t>(std::numeric_limits<int32_t>::max())
                     ? std::numeric_limits<int32_t>::max()
                     : static_cast<int32_t>(n);
    }
    if (length < 0) {
        *invalid = 1;
        return 0.0;
    }
    if (length == 0) return 0.0; // nothing to convert, and nothing left over

    double special;
    if (SpecialWord(text, length, special)) return special;

    // Decimal forms only, C locale: spaces, sign, digits with an optional
    // point (at least one digit), optional exponent with at least one digit.
    const char* s = text;
    const char* end = text + length;
    while (s < end && IsSpace(*s))
        ++s;
    bool negative = false;
    if (s < end && (*s == '+' || *s == '-')) negative = *s++ == '-';
    const char* number = s;
    int64_t intDigits = 0, fracDigits = 0;
    int64_t firstNonZero = -1; // index in the combined digit sequence
    while (s < end && IsDigit(*s)) {
        if (firstNonZero < 0 && *s != '0') firstNonZero = intDigits;
        ++intDigits;
        ++s;
    }
    if (s < end && *s == '.') {
        ++s;
        while (s < end && IsDigit(*s)) {
            if (firstNonZero < 0 && *s != '0') firstNonZero = intDigits + fracDigits;
            ++fracDigits;
            ++s;
        }
    }
    int64_t exponent = 0;
    bool ok = intDigits + fracDigits > 0;
    if (ok && s < end && (*s == 'e' || *s == 'E')) {
        ++s;
        bool negativeExponent = false;
        if (s < end && (*s == '+' || *s == '-')) negativeExponent = *s++ == '-';
        if (s == end || !IsDigit(*s)) ok = false;
        while (s < end && IsDigit(*s)) {
            if (exponent < 1000000000) exponent = exponent * 10 + (*s - '0');
            ++s;
        }
        if (negativeExponent) exponent = -exponent;
    }
    if (!ok || s != end) {
        *invalid = 1;
        return 0.0;
    }

    double value = 0.0;
    auto r = std::from_chars(number, end, value, std::chars_format::general);
    if (r.ec == std::errc::result_out_of_range) {
        // Only a zero or infinite result is reported: decide which by the
        // decimal exponent of the first significant digit.
        int64_t magnitude = intDigits - firstNonZero - 1 + exponent;
        if (firstNonZero >= 0 && magnitude >= 0) {
            *invalid = 1;
            value = std::numeric_limits<double>::infinity();
        } else {
            value = 0.0;
        }
    } else if (r.ec != std::errc() || r.ptr != end) {
        *invalid = 1;
        return 0.0;
    }
    return negative ? -value : value;
}

int32_t ParseInteger(const char* text, int32_t length, int32_t* invalid) {
    int32_t dummy;
    if (!invalid) invalid = &dummy;
    *invalid = 0;
    if (!text) {
        *invalid = 1;
        return 0;
    }
    if (length == -1) {
        size_t n = std::strlen(text);
        length = n > static_cast<size_t>(std::numeric_limits<int32_t>::max())
                     ? std::numeric_limits<int32_t>::max()
                     : static_cast<int32_t>(n);
    }
    if (length <= 0 || (text[0] != '-' && !IsDigit(text[0]))) {
        *invalid = 1;
        return 0;
    }
    const bool negative = text[0] == '-';
    const int32_t first = negative ? 1 : 0;
    // Wraps modulo 2^32 by design; unsigned arithmetic keeps that defined.
    uint32_t multiplier = negative ? 0xFFFFFFFFu : 1u;
    uint32_t sum = 0;
    for (int32_t i = length - 1; i >= first; --i) {
        if (!IsDigit(text[i])) {
            *invalid = 1;
            return 0;
        }
        sum += static_cast<uint32_t>(text[i] - '0') * multiplier;
        multiplier *= 10u;
    }
    return static_cast<int32_t>(sum);
}

double PowerBySquaring(double x, int32_t n) {
    uint32_t e = n < 0 ? 0u - static_cast<uint32_t>(n) : static_cast<uint32_t>(n);
    double result = 1.0;
    while (e) {
        if (e & 1u) result *= x;
        x *= x;
        e >>= 1;
    }
    return n < 0 ? 1.0 / result : result;
}

} // namespace vorn
