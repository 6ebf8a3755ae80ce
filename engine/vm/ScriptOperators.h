// The arithmetic of the script language's operators, free of the virtual
// machine: integer operations that never overflow or shift out of range,
// decimal rounding, the search and comparison rules. The instruction
// handlers compute through these, so the rules can be checked on their own.
#pragma once

#include <cstdint>

namespace vorn {

// Remainder of the truncating signed division (the sign of a); a zero divisor,
// and the one quotient that does not fit (-2147483648 by -1), give 0.
int32_t ScriptRemainder(int32_t a, int32_t b);
// a shifted left by (b AND 31) bits, bits shifted out dropped.
int32_t ScriptShiftLeft(int32_t a, int32_t b);
// a shifted right by (b AND 31) bits, the sign bit copied.
int32_t ScriptShiftRight(int32_t a, int32_t b);
// a + b modulo 2^32.
int32_t ScriptWrappingAdd(int32_t a, int32_t b);

// -1 when a < b, 0 when equal, 1 otherwise (so NaN on either side gives 1).
inline int32_t CompareDoubles(double a, double b) {
    return a < b ? -1 : (a == b ? 0 : 1);
}
// Bytes compared as unsigned over the shorter length; on equal prefixes the
// shorter text is smaller. Negative, 0 or positive.
int32_t CompareTextBytes(const char* a, int32_t aLength, const char* b, int32_t bLength);

// Text searches of in, cin, ein and ecin: where `sought` first occurs in
// `searched`. Without atEnd the 1-based position of its first byte (an empty
// sought text gives 1); with atEnd the 1-based position of its last byte (an
// empty sought text gives 0); 0 when absent. Texts of 300 bytes or more are
// searched with the skip-table searches.
inline constexpr int32_t kSkipSearchThreshold = 300;
int32_t ScriptSearch(const char* sought, int32_t soughtLength, const char* searched, int32_t searchedLength,
                     bool noCase, bool atEnd);

// Decimal rounding of roundf and rounds: x rounded to places digits after the
// point (a negative count counts as 0), ties to even, on x's shortest decimal
// digits (at most 20 decimals). With 0 places, or when x has no more decimals
// than asked for, x is returned unchanged; infinities and NaN are kept too.
double ScriptRound(double x, int32_t places);

} // namespace vorn
