#include "host/web/FieldBuffer.h"

#include <cstdlib>
#include <cstring>

namespace vorn {

FieldBuffer::~FieldBuffer() {
    std::free(data);
}

bool FieldBuffer::Append(const char* bytes, int64_t n) {
    if (n <= 0) return true;
    if (length + n + 1 > capacity) {
        int64_t grown = capacity < 64 ? 64 : capacity;
        while (grown < length + n + 1) grown *= 2;
        auto* bigger = static_cast<char*>(std::realloc(data, static_cast<size_t>(grown)));
        if (!bigger) return false;
        data = bigger;
        capacity = grown;
    }
    std::memcpy(data + length, bytes, static_cast<size_t>(n));
    length += n;
    data[length] = '\0';
    return true;
}

bool FieldBuffer::Equals(const char* text, int64_t n) const {
    return length == n && (n == 0 || std::memcmp(data, text, static_cast<size_t>(n)) == 0);
}

} // namespace vorn
