#include "engine/vm/ScriptOperators.h"

#include <climits>
#include <cmath>
#include <cstring>

#include "engine/foundation/Number.h"
#include "engine/foundation/String.h"

namespace vorn {

int32_t ScriptRemainder(int32_t a, int32_t b) {
    if (b == 0 || b == -1) return 0; // x % -1 is 0 anyway, and INT_MIN % -1 would trap
    return a % b;
}

int32_t ScriptShiftLeft(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) << (static_cast<uint32_t>(b) & 31u));
}

int32_t ScriptShiftRight(int32_t a, int32_t b) {
    return a >> (static_cast<uint32_t>(b) & 31u);
}

int32_t ScriptWrappingAdd(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

int32_t CompareTextBytes(const char* a, int32_t aLength, const char* b, int32_t bLength) {
    int32_t n = aLength < bLength ? aLength : bLength;
    if (n > 0) {
        int r = std::memcmp(a, b, static_cast<size_t>(n));
        if (r != 0) return r < 0 ? -1 : 1;
    }
    return aLength < bLength ? -1 : (aLength == bLength ? 0 : 1);
}

int32_t ScriptSearch(const char* sought, int32_t soughtLength, const char* searched, int32_t searchedLength,
                     bool noCase, bool atEnd) {
    if (soughtLength <= 0) return atEnd ? 0 : 1;
    if (soughtLength > searchedLength) return 0;
    int32_t at;
    if (searchedLength < kSkipSearchThreshold)
        at = noCase ? FindBytesNoCase(sought, soughtLength, searched, searchedLength)
                    : FindBytes(sought, soughtLength, searched, searchedLength);
    else
        at = noCase ? FindBytesSkipNoCase(sought, soughtLength, searched, searchedLength)
                    : FindBytesSkip(sought, soughtLength, searched, searchedLength);
    if (at < 0) return 0;
    return atEnd ? at + soughtLength : at + 1;
}

namespace {

constexpr int32_t kRoundingDecimals = 20;

constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                   1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

} // namespace

double ScriptRound(double x, int32_t places) {
    if (!std::isfinite(x)) return x;
    if (places <= 0 || x == 0) return x;
    DecimalDigits d;
    ToDecimalDigits(std::fabs(x), kRoundingDecimals, d);
    if (d.k == 0) return 0.0;
    // At most `places` decimals already: nothing to round.
    if (d.k - d.p <= places) return x;
    // First significant digit beyond the (places+1)-th decimal: below half a
    // unit of the last kept place whatever follows.
    if (d.p < -places) return 0.0;
    // Here places < 20 (the digits never carry more than 20 decimals) and the
    // kept digits number fewer than k <= 20, so m fits 64 bits.
    const int32_t kept = d.p + places; // digits kept, 0 .. k-1
    uint64_t m = 0;
    for (int32_t i = 0; i < kept; ++i)
        m = m * 10 + static_cast<uint64_t>(d.text[i] - '0');
    const int dropped = d.text[kept] - '0';
    const bool more = d.k > kept + 1; // trailing zeros were stripped
    if (dropped > 5 || (dropped == 5 && (more || (m & 1))))
        ++m;
    double result = static_cast<double>(m) / kPowersOfTen[places];
    return std::signbit(x) ? -result : result;
}

} // namespace vorn
