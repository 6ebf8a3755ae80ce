// An in-memory File for container tests: bytes in a vector, with switches
// that make seeks, reads or writes fail, and a count of live objects.
#pragma once

#include <cstring>
#include <vector>

#include "engine/files/File.h"

namespace vorn::test {

class MemoryFile : public File {
public:
    explicit MemoryFile(std::vector<uint8_t> bytes = {}) : File(nullptr, "memory"), bytes(std::move(bytes)) { ++live; }
    ~MemoryFile() override { --live; }

    bool OwnerID(int64_t*) override { return false; }
    bool GroupID(int64_t*) override { return false; }
    int32_t Read(void* buffer, int32_t count) override {
        if (failReads) {
            SetError("read failed");
            return -1;
        }
        int64_t left = static_cast<int64_t>(bytes.size()) - position;
        int32_t n = left <= 0 ? 0 : count < left ? count : static_cast<int32_t>(left);
        if (n > 0) std::memcpy(buffer, bytes.data() + position, static_cast<size_t>(n));
        position += n;
        return n;
    }
    int32_t Write(const void* buffer, int32_t count) override {
        if (failWrites || (writeLimit >= 0 && position + count > writeLimit)) {
            SetError("disk full");
            return -1;
        }
        if (static_cast<size_t>(position + count) > bytes.size()) bytes.resize(static_cast<size_t>(position + count));
        if (count > 0) std::memcpy(bytes.data() + position, buffer, static_cast<size_t>(count));
        position += count;
        return count;
    }
    int64_t Seek(int64_t offset) override {
        if (failSeeks || offset < 0) {
            SetError("seek failed");
            return -1;
        }
        position = offset;
        return position;
    }
    int64_t Tell() override { return position; }
    int64_t Length() override { return static_cast<int64_t>(bytes.size()); }
    bool IsDirectory(bool* flag) override {
        *flag = false;
        return true;
    }
    bool Lock(int32_t, int64_t, int64_t) override { return true; }
    void Close() override {}
    bool Unlock(int64_t, int64_t) override { return true; }
    const void* Map(int64_t, int64_t) override { return nullptr; }
    bool Activate(String&) override { return true; }
    bool Deactivate() override { return true; }

    std::vector<uint8_t> bytes;
    int64_t position = 0;
    bool failReads = false;
    bool failWrites = false;
    bool failSeeks = false;
    int64_t writeLimit = -1; // writes that would pass this offset fail
    static inline int live = 0;
};

} // namespace vorn::test
