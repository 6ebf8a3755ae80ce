// A malloc'ed byte buffer that grows geometrically and always ends in a NUL:
// the names, values, boundary and header texts the body parsers collect.
// (Not host/network's ByteBuffer, whose bytes carry no NUL and whose size is
// capped.)
#pragma once

#include <cstdint>

namespace vorn {

class FieldBuffer {
  public:
    FieldBuffer() = default;
    ~FieldBuffer();
    FieldBuffer(const FieldBuffer&) = delete;
    FieldBuffer& operator=(const FieldBuffer&) = delete;

    // False when memory runs out (the buffer keeps what it had).
    bool Append(const char* bytes, int64_t length);
    bool AppendByte(char c) {
        if (length + 1 >= capacity) return Append(&c, 1);
        data[length++] = c;
        data[length] = '\0';
        return true;
    }
    void Clear() {
        length = 0;
        if (data) data[0] = '\0';
    }
    const char* Data() const { return data ? data : ""; }
    int64_t Length() const { return length; }
    bool Equals(const char* text, int64_t n) const;

  private:
    char* data = nullptr;
    int64_t length = 0;
    int64_t capacity = 0;
};

} // namespace vorn
