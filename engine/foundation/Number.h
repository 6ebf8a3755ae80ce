// Conversions between doubles, 32-bit integers and decimal text.
#pragma once

#include <cstdint>

namespace vorn {

// Decimal text of value, never with an exponent. digits -1: the shortest text
// that reads back as the value, with at most 20 decimals and no trailing zeros;
// digits n >= 0: exactly n decimals, correctly rounded. Infinities and NaNs
// give "Infinity", "-Infinity", "NaN", "-NaN". Returns a malloc'ed,
// NUL-terminated buffer (ready for String::Adopt); length (characters) and
// size (bytes allocated) are optional.
char* FormatDouble(double value, int32_t* length, int32_t* size, int32_t digits = -1);

// FormatDouble's text written into out (size bytes), NUL-terminated; its
// length, or -1 (nothing usable written) when it does not fit.
int32_t FormatDoubleTo(double value, char* out, int32_t size, int32_t digits = -1);

// Decimal text of value; the buffer is malloc'ed with size = length + 1.
char* FormatInteger(int32_t value, int32_t* length, int32_t* size);
// The same into out (kIntegerTextSize bytes), NUL-terminated; its length.
inline constexpr int32_t kIntegerTextSize = 12;
int32_t FormatIntegerTo(int32_t value, char* out);

// Reads a decimal number (leading white space, optional sign, digits with an
// optional '.', optional exponent) or one of the words NAN, INF, INFINITY,
// -NAN, -INF, -INFINITY (any case), always in the C locale. length -1 means
// up to the first NUL; size is the byte count of the text's buffer (it tells
// whether a NUL follows the text). A bad text gives 0.0 with *invalid = 1;
// overflow gives the signed infinity with *invalid = 1. invalid is optional.
double ParseDouble(const char* text, int32_t length, int32_t size, int32_t* invalid);

// Reads an optional '-' and decimal digits, nothing else; the value wraps
// modulo 2^32. A bad text gives 0 with *invalid = 1; a lone "-" gives 0.
int32_t ParseInteger(const char* text, int32_t length, int32_t* invalid);

// x to the power n by repeated squaring.
double PowerBySquaring(double x, int32_t n);

// Decimal digits of a finite, non-negative value, as a correctly rounded
// conversion gives them with at most d fractional digits, preferring the
// shortest digits that read back as the value: text[0..k) without leading or
// trailing zeros and the decimal-point position p (value = 0.text x 10^p).
// A value that rounds to zero gives no digits and p = -d; zero gives "0", p = 1.
struct DecimalDigits {
    char text[1500];
    int32_t k = 0;
    int32_t p = 0;
};
void ToDecimalDigits(double v, int32_t d, DecimalDigits& out);

} // namespace vorn
