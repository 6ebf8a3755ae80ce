// A File held in memory: the assembler writes its containers into one, and
// tools and tests read compiled programs back from one without touching disk.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/files/File.h"

namespace vorn {

class BufferFile : public File {
public:
    // Starts empty, or with a copy of the given bytes, positioned at 0.
    explicit BufferFile(const char* path = "memory");
    BufferFile(const char* path, const uint8_t* bytes, int32_t length);
    // Reads the shared bytes in place (kept alive while the file is); the
    // first write copies them.
    BufferFile(const char* path, std::shared_ptr<const std::vector<uint8_t>> bytes);
    ~BufferFile() override;

    bool OwnerID(int64_t* outId) override;
    bool GroupID(int64_t* outId) override;
    int32_t Read(void* buffer, int32_t count) override;
    int32_t Write(const void* buffer, int32_t count) override;
    int64_t Seek(int64_t offset) override;
    int64_t Tell() override;
    int64_t Length() override;
    bool IsDirectory(bool* outFlag) override;
    bool Lock(int32_t mode, int64_t offset, int64_t length) override;
    void Close() override;
    bool Unlock(int64_t offset, int64_t length) override;
    const void* Map(int64_t offset, int64_t length) override;
    bool Activate(String& error) override;
    bool Deactivate() override;

    const uint8_t* Bytes() const { return data; }
    int32_t Size() const { return size; }

private:
    bool Reserve(int64_t needed);
    // The bytes become the file's own (after a view).
    bool Own();

    uint8_t* data = nullptr;
    int32_t size = 0;
    int32_t room = 0;
    int64_t position = 0;
    std::shared_ptr<const void> viewed; // holds the bytes data points into, when viewing
};

} // namespace vorn
