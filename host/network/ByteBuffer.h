// A malloc'ed byte buffer that doubles as it grows, for lines, runs, items
// and request texts of any length (String grows in small steps, which turns
// byte-by-byte collection of megabytes quadratic). Its bytes end up in a
// String without a copy. Appends past its cap fail and add nothing.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "engine/foundation/String.h"

namespace vorn {

class ByteBuffer {
  public:
    // Appends fail beyond this many bytes (String lengths are 32-bit).
    static constexpr int64_t kLimit = INT32_MAX - 1;

    ByteBuffer() = default;
    // Capped at most bytes (kLimit at the most).
    explicit ByteBuffer(int64_t most) : most(most < kLimit ? most : kLimit) {}
    ~ByteBuffer() { std::free(data); }
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;

    bool Append(const void* bytes, int64_t n) {
        if (n <= 0) return true;
        if (n > most - length) return false;
        if (length + n > capacity - 1 && !Grow(length + n + 1)) return false;
        std::memcpy(data + length, bytes, static_cast<size_t>(n));
        length += n;
        return true;
    }
    bool Append(const char* text) { return Append(text, static_cast<int64_t>(std::strlen(text))); }
    bool Append(const String& text) { return Append(text.Text(), text.Length()); }
    bool AppendByte(char c) {
        if (length >= most) return false;
        if (length + 1 > capacity - 1 && !Grow(length + 2)) return false;
        data[length++] = c;
        return true;
    }
    bool AppendDecimal(int64_t value) {
        char digits[24];
        int n = 0;
        uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
        do {
            digits[n++] = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude);
        if (value < 0) digits[n++] = '-';
        for (int i = 0; i < n / 2; ++i) {
            char c = digits[i];
            digits[i] = digits[n - 1 - i];
            digits[n - 1 - i] = c;
        }
        return Append(digits, n);
    }

    const char* Data() const { return data ? data : ""; }
    int64_t Length() const { return length; }
    bool IsEmpty() const { return length == 0; }
    void Clear() { length = 0; }
    // Keeps the first n bytes.
    void Truncate(int64_t n) {
        if (n >= 0 && n < length) length = n;
    }
    char Last() const { return length > 0 ? data[length - 1] : '\0'; }

    // Hands the bytes to out (NUL-terminated) and starts empty again.
    void MoveTo(String& out) {
        if (!data) {
            out.Assign("", 0);
            return;
        }
        data[length] = '\0';
        out.Adopt(data, static_cast<int32_t>(length), static_cast<int32_t>(capacity));
        data = nullptr;
        length = capacity = 0;
    }
    // The malloc'ed bytes (NUL-terminated) for the caller to free; empty after.
    char* Detach(int32_t* outLength, int32_t* outCapacity) {
        if (!data && !Grow(1)) return nullptr;
        data[length] = '\0';
        if (outLength) *outLength = static_cast<int32_t>(length);
        if (outCapacity) *outCapacity = static_cast<int32_t>(capacity);
        char* bytes = data;
        data = nullptr;
        length = capacity = 0;
        return bytes;
    }

  private:
    bool Grow(int64_t needed) {
        if (needed > kLimit + 1) return false;
        int64_t grown = capacity < 64 ? 64 : capacity;
        while (grown < needed)
            grown *= 2;
        if (grown > kLimit + 1) grown = kLimit + 1;
        char* bigger = static_cast<char*>(std::realloc(data, static_cast<size_t>(grown)));
        if (!bigger) return false;
        data = bigger;
        capacity = grown;
        return true;
    }

    char* data = nullptr;
    int64_t length = 0;
    int64_t capacity = 0;
    int64_t most = kLimit;
};

} // namespace vorn
