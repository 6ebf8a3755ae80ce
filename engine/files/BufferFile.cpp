#include "engine/files/BufferFile.h"

#include <cstdlib>
#include <cstring>

namespace vorn {

BufferFile::BufferFile(const char* path) : File(nullptr, path) {}

BufferFile::BufferFile(const char* path, const uint8_t* bytes, int32_t length) : File(nullptr, path) {
    if (bytes && length > 0 && Reserve(length)) {
        std::memcpy(data, bytes, static_cast<size_t>(length));
        size = length;
    }
}

BufferFile::BufferFile(const char* path, std::shared_ptr<const std::vector<uint8_t>> bytes) : File(nullptr, path) {
    if (!bytes || bytes->empty() || bytes->size() > INT32_MAX) return;
    data = const_cast<uint8_t*>(bytes->data()); // never written through while viewed
    size = room = static_cast<int32_t>(bytes->size());
    viewed = std::move(bytes);
}

BufferFile::~BufferFile() {
    if (!viewed) std::free(data);
}

bool BufferFile::Own() {
    if (!viewed) return true;
    auto* own = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(room)));
    if (!own) return false;
    std::memcpy(own, data, static_cast<size_t>(size));
    data = own;
    viewed.reset();
    return true;
}

bool BufferFile::OwnerID(int64_t* outId) {
    *outId = 0;
    return true;
}

bool BufferFile::GroupID(int64_t* outId) {
    *outId = 0;
    return true;
}

bool BufferFile::Reserve(int64_t needed) {
    if (!Own()) return false;
    if (needed <= room) return true;
    if (needed > INT32_MAX) return false;
    int64_t grown = room < 4096 ? 4096 : static_cast<int64_t>(room) * 2;
    if (grown < needed) grown = needed;
    if (grown > INT32_MAX) grown = INT32_MAX;
    auto* more = static_cast<uint8_t*>(std::realloc(data, static_cast<size_t>(grown)));
    if (!more) return false;
    data = more;
    room = static_cast<int32_t>(grown);
    return true;
}

int32_t BufferFile::Read(void* buffer, int32_t count) {
    if (count < 0) {
        SetError("Invalid read length");
        return -1;
    }
    int64_t left = static_cast<int64_t>(size) - position;
    int32_t n = left <= 0 ? 0 : (count < left ? count : static_cast<int32_t>(left));
    if (n > 0) std::memcpy(buffer, data + position, static_cast<size_t>(n));
    position += n;
    return n;
}

int32_t BufferFile::Write(const void* buffer, int32_t count) {
    if (count < 0) {
        SetError("Invalid write length");
        return -1;
    }
    int64_t end = position + count;
    if (!Reserve(end)) {
        SetError("File too large");
        return -1;
    }
    // A write beyond the end leaves a zeroed gap, as a sparse file would.
    if (position > size) std::memset(data + size, 0, static_cast<size_t>(position - size));
    if (count > 0) std::memcpy(data + position, buffer, static_cast<size_t>(count));
    position = end;
    if (end > size) size = static_cast<int32_t>(end);
    return count;
}

int64_t BufferFile::Seek(int64_t offset) {
    if (offset < 0 || offset > INT32_MAX) {
        SetError("Invalid seek");
        return -1;
    }
    position = offset;
    return position;
}

int64_t BufferFile::Tell() { return position; }

int64_t BufferFile::Length() { return size; }

bool BufferFile::IsDirectory(bool* outFlag) {
    *outFlag = false;
    return true;
}

bool BufferFile::Lock(int32_t, int64_t, int64_t) { return true; }

void BufferFile::Close() {}

bool BufferFile::Unlock(int64_t, int64_t) { return true; }

const void* BufferFile::Map(int64_t offset, int64_t length) {
    if (offset < 0 || offset > size) return nullptr;
    if (length >= 0 && offset + length > size) return nullptr;
    return data ? data + offset : nullptr;
}

bool BufferFile::Activate(String&) { return true; }

bool BufferFile::Deactivate() { return true; }

} // namespace vorn
