// The one text type of the system: a counted, heap-allocated byte string that
// is always kept NUL-terminated so its bytes can go to C and OS calls as they are.
#pragma once

#include <cstdint>
#include <cstring>
#include <new>

#include "engine/foundation/Messages.h"

namespace vorn {

// n rounded up to the next multiple of 24: the allocation granularity of String.
inline constexpr int32_t RoundUp24(int32_t n) {
    return static_cast<int32_t>((static_cast<int64_t>(n) + 23) / 24 * 24);
}

// The longest text a String holds: its rounded buffer, plus a byte of append
// slack, still fits a signed 32-bit capacity.
inline constexpr int32_t kMaxTextLength = INT32_MAX - 48;

// Thrown when a text would pass the 2 GB limit; a failed allocation throws
// std::bad_alloc. Neither ends the process.
class TextTooLong : public std::bad_alloc {
  public:
    TextTooLong() = default;
    // A message that says where the text came from ("Text too long: ..."),
    // cut to fit: nothing is allocated on the way to the handler.
    explicit TextTooLong(const char* message);
    const char* what() const noexcept override { return message[0] ? message : kTextTooLong; }

  private:
    char message[192] = {};
};

// Holds arbitrary bytes; no character set is assumed. Buffers come from
// std::malloc and go back with std::free, so Adopt takes malloc'ed buffers.
//
// Two empty forms: the null form (data null, nothing allocated; made by the
// default constructor, Left with a negative count, Free and Detach) and the
// allocated empty form (a 24-byte buffer holding a single 0), made by every
// assignment of empty or null text. Both count as empty.
//
// Case operations change A-Z and a-z only; bytes 0x80-0xFF never change case,
// whatever the process locale says.
class String {
  public:
    String() = default;
    // Text with a length; -1 means up to the first NUL.
    String(const char* text, int32_t len);
    // NUL-terminated text; a null pointer gives the allocated empty form.
    explicit String(const char* cstr);
    // Copying a null-form string gives the allocated empty form.
    String(const String& other);
    String& operator=(const String& other);
    // Moves take the buffer and leave the source in the null form.
    String(String&& other) noexcept;
    String& operator=(String&& other) noexcept;
    ~String();

    // Takes ownership of a malloc'ed buffer (see Adopt).
    static String Adopted(char* buffer, int32_t len, int32_t capacity);

    // --- Access -----------------------------------------------------------
    // Never null: a shared empty text when nothing is allocated.
    const char* Text() const;
    // The raw buffer; null in the null form.
    char* Data() { return data; }
    const char* Data() const { return data; }
    int32_t Length() const { return length; }
    int32_t Capacity() const { return capacity; }
    bool IsEmpty() const { return length == 0; }
    bool IsNull() const { return data == nullptr; }
    // Byte equality; the two empty forms are equal.
    bool operator==(const String& other) const;
    // Byte equality with (text, len); len -1 means up to the first NUL.
    bool Equals(const char* text, int32_t len = -1) const;
    // Equality with A-Z folded to a-z.
    bool EqualsNoCase(const char* text, int32_t len = -1) const;

    // --- Assignment and ownership -----------------------------------------
    // Copies (text, len); len -1 means up to the first NUL. A null text or a
    // zero length gives the allocated empty form. The text may lie inside
    // this string's own buffer.
    void Assign(const char* text, int32_t len = -1);
    void Assign(const String& other);
    // Takes a malloc'ed buffer holding len bytes with capacity bytes
    // allocated. When there is no room for the terminator (capacity <= len)
    // the bytes are copied into a buffer of our own and the given one freed.
    void Adopt(char* buffer, int32_t len, int32_t capacity);
    void AssignChar(char c);
    // Frees the buffer and returns to the null form.
    void Free();
    // Hands the buffer (malloc'ed, may be null) to the caller; null form after.
    char* Detach();

    // --- Appending ----------------------------------------------------------
    // A full buffer grows by half again, so appends cost amortised O(1).
    void AppendChar(char c);
    void Append(const char* text, int32_t len = -1);
    // Append of len (>= 0) bytes when they fit in the buffer as it is (the
    // common case of a loop of appends); false, nothing done, otherwise.
    [[gnu::always_inline]] bool AppendInPlace(const char* text, int32_t len) {
        if (!data || len < 0 || static_cast<int64_t>(length) + len + 1 > capacity) return false;
        char* to = data + length;
        if (len <= 8) {
            // The bytes may be this string's own: they lie before `to`.
            for (int32_t i = 0; i < len; ++i) to[i] = text[i];
        } else {
            std::memmove(to, text, static_cast<size_t>(len));
        }
        length += len;
        data[length] = 0;
        return true;
    }
    void AppendString(const String& other);
    void AppendInteger(int32_t i);
    // Room for n bytes in all, so appends up to that length allocate
    // nothing; a null-form string becomes the allocated empty form.
    void Reserve(int32_t n);

    // --- Cutting and splitting ---------------------------------------------
    // Cuts n bytes off the end when there are that many, writing the
    // terminator at the new length. Returns length - n either way (negative:
    // nothing changed).
    int32_t Shorten(int32_t n);
    // n >= length: a copy; 0 <= n < length: the first n bytes; n < 0: null form.
    String Left(int32_t n) const;
    // Text before the first occurrence of sep; the whole string when absent.
    String TextBefore(const char* sep) const;
    // Text after the first occurrence of sep at or after start; empty when absent.
    String TextAfter(const char* sep, int32_t start = 0) const;
    // Text from p + 1 up to the first NUL; empty when p + 1 > length or p < -1.
    String TextAfterPosition(int32_t p) const;
    // Splits at sep into at most max parts stored in out[0..]; returns the
    // number stored. Empty parts between separators count, a trailing empty
    // part does not. Size out as CountOccurrences(sep) + 1.
    int32_t Split(String* out, int32_t max, const char* sep) const;

    // --- Searching and testing ---------------------------------------------
    // Index of the first occurrence of needle at or after start (negative
    // start counts as 0), or -1 (also for an empty needle).
    int32_t Find(const char* needle, int32_t start = 0) const;
    // Occurrences of needle, overlapping ones included ('aaa' holds 'aa' twice).
    int32_t CountOccurrences(const char* needle) const;
    // 1 when c occurs at an index in [p, length), else 0.
    int HasCharFrom(char c, int32_t p) const;
    // 1 when the bytes from p to the end equal text (A-Z folded), else 0.
    int MatchesAtNoCase(const char* text, int32_t p) const;

    // --- Changing in place --------------------------------------------------
    void ToUpper();
    // Removes leading and trailing space, tab, CR and LF (works up to the first NUL).
    void Trim();

    // --- Encoding -----------------------------------------------------------
    String Base64Decode() const;
    String Base64Encode() const;

  private:
    char* data = nullptr;
    int32_t capacity = 0;
    int32_t length = 0;
};

// New strings built from two pieces. A null-form right-hand side appends
// nothing; a null text appends nothing.
String StringPlusString(const String& a, const String& b);
String StringPlusChar(const String& a, char c);
String StringPlusCStr(const String& a, const char* text);
String CStrPlusString(const char* text, const String& b);
String StringPlusInteger(const String& a, int32_t i);

inline String operator+(const String& a, const String& b) {
    return StringPlusString(a, b);
}
inline String operator+(const String& a, char c) {
    return StringPlusChar(a, c);
}
inline String operator+(const String& a, const char* text) {
    return StringPlusCStr(a, text);
}
inline String operator+(const char* text, const String& b) {
    return CStrPlusString(text, b);
}
inline String operator+(const String& a, int32_t i) {
    return StringPlusInteger(a, i);
}

// Byte searches over raw buffers: index of the first occurrence of the needle
// in the haystack, or -1. A length of -1 means up to the first NUL. The simple
// scans suit short haystacks, the skip-table searches long ones; all four give
// the same answers. NoCase variants fold A-Z only.
int32_t FindBytes(const char* needle, int32_t needleLength, const char* haystack, int32_t haystackLength);
int32_t FindBytesNoCase(const char* needle, int32_t needleLength, const char* haystack,
                        int32_t haystackLength);
int32_t FindBytesSkip(const char* needle, int32_t needleLength, const char* haystack, int32_t haystackLength);
int32_t FindBytesSkipNoCase(const char* needle, int32_t needleLength, const char* haystack,
                            int32_t haystackLength);
// The byte comparisons of the calling thread's last skip-table search: never
// more than about 4 x (haystack + needle), whatever the texts repeat.
int64_t LastSkipSearchComparisons();

} // namespace vorn
