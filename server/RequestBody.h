// A request's body as it came, gathered before the request runs, so that
// the script never waits on its sender: the first bytes in memory, the rest
// in a temporary file of its own (gone once closed).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace vorn::server {

class RequestBody {
  public:
    // Bytes kept in memory; past them the body goes to a file.
    static constexpr size_t kMemory = 256 * 1024;

    RequestBody() = default;
    ~RequestBody() { Clear(); }
    RequestBody(const RequestBody&) = delete;
    RequestBody& operator=(const RequestBody&) = delete;

    // Empty again (a new request); a file is closed, a large room given back.
    void Clear();
    // Where up to *room of the next bytes go (at most `wanted`), then Commit
    // of what was put there; false when the file could not be made or written.
    char* Space(size_t wanted, size_t* room);
    bool Commit(size_t length);
    size_t Size() const { return size; }

    // The bytes in memory (the body's first).
    const uint8_t* Front() const { return reinterpret_cast<const uint8_t*>(memory.data()); }
    size_t FrontSize() const { return size < kMemory ? size : kMemory; }
    // Reading starts past the first count bytes (those handed over at once).
    void Skip(size_t count) { position = count < size ? count : size; }
    // Up to length bytes from where reading is: 0 at the end, -1 when the
    // file cannot be read.
    ssize_t Read(char* to, size_t length);

  private:
    std::string memory;
    std::string scratch; // the next bytes for the file
    int file = -1;
    size_t size = 0;
    size_t position = 0;
};

} // namespace vorn::server
