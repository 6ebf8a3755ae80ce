#include "host/web/HTTPOutput.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "engine/app/VornApplication.h"
#include "engine/foundation/Config.h"
#include "engine/foundation/KeptBlocks.h"

namespace vorn {

namespace {

// A NUL-terminated malloc'ed copy, or null when memory runs out.
MallocText CopyBytes(const char* bytes, int32_t length) {
    MallocText copy(static_cast<char*>(std::malloc(static_cast<size_t>(length) + 1)));
    if (!copy) return copy;
    if (length > 0) std::memcpy(copy.get(), bytes, static_cast<size_t>(length));
    copy.get()[length] = '\0';
    return copy;
}

void FreeOwned(const char* name, bool nameOwned, const char* value, bool valueOwned) {
    if (nameOwned) std::free(const_cast<char*>(name));
    // The same buffer handed over twice is freed once.
    if (valueOwned && !(nameOwned && value == name)) std::free(const_cast<char*>(value));
}

// A header name is a token: no separator, blank or control byte may split
// the header line or start another.
bool IsHeaderName(const char* name, int32_t length) {
    if (!name || length <= 0) return false;
    for (int32_t i = 0; i < length; ++i) {
        auto c = static_cast<unsigned char>(name[i]);
        if (c <= ' ' || c == ':' || c == 0x7f) return false;
    }
    return true;
}

// A value may not end the header line early.
bool IsHeaderValue(const char* value, int32_t length) {
    if (length < 0) return false;
    if (length == 0) return true;
    if (!value) return false;
    for (int32_t i = 0; i < length; ++i)
        if (value[i] == '\r' || value[i] == '\n' || value[i] == '\0') return false;
    return true;
}

int32_t Measure(const char* text, int32_t length) {
    if (!text) return length == -1 ? 0 : length;
    if (length != -1) return length;
    size_t n = std::strlen(text);
    return n > static_cast<size_t>(INT32_MAX) ? -2 : static_cast<int32_t>(n);
}

constexpr int32_t kDefaultChunkSize = 8192;
// A response has a handful of headers: a small table is made for each one.
constexpr int32_t kHeaderBits = 4;
constexpr int32_t kHeaderSlots = 16;
constexpr int32_t kDefaultFlushThreshold = 0x100000;

} // namespace

// --- HTTPOutput -------------------------------------------------------------------------------

struct HTTPOutput::Chunk {
    Chunk* next;
    int32_t capacity;
    int32_t used;
    char* Bytes() { return reinterpret_cast<char*>(this + 1); }

    static Chunk* Make(int32_t capacity);
    static void Free(Chunk* chunk);
};

// Chunks of the usual size are kept by the thread that freed them for its
// next response.
HTTPOutput::Chunk* HTTPOutput::Chunk::Make(int32_t capacity) {
    using KeptChunks = KeptBlocks<sizeof(Chunk) + kDefaultChunkSize, 8>;
    void* block = capacity == kDefaultChunkSize ? KeptChunks::Take()
                                                : std::malloc(sizeof(Chunk) + static_cast<size_t>(capacity));
    if (!block) return nullptr;
    auto* chunk = static_cast<Chunk*>(block);
    chunk->next = nullptr;
    chunk->capacity = capacity;
    chunk->used = 0;
    return chunk;
}

void HTTPOutput::Chunk::Free(Chunk* chunk) {
    using KeptChunks = KeptBlocks<sizeof(Chunk) + kDefaultChunkSize, 8>;
    if (chunk && chunk->capacity == kDefaultChunkSize)
        KeptChunks::Give(chunk);
    else
        std::free(chunk);
}

HTTPOutput::HTTPOutput(int32_t size, int32_t threshold)
    : chunkSize(size > 0 ? size : kDefaultChunkSize), flushThreshold(threshold >= 0 ? threshold : kDefaultFlushThreshold),
      headers(true, true, kHeaderBits, kHeaderSlots), first(Chunk::Make(chunkSize)), current(first) {}

HTTPOutput::~HTTPOutput() {
    EmptyChain();
    Chunk::Free(first);
}

void HTTPOutput::SetSizes(int32_t size, int32_t threshold) {
    if (size > 0) chunkSize = size;
    if (threshold >= 0) flushThreshold = threshold;
}

void HTTPOutput::SetConfig(Config* configuration) {
    config = configuration;
}

void HTTPOutput::SendStalled() {}

int32_t HTTPOutput::Kind() {
    return kKindHttp;
}

const char* HTTPOutput::HeaderValue(const char* name) const {
    const Header* h = headers.Find(name, -1);
    return h ? h->value.get() : nullptr;
}

int32_t HTTPOutput::AddHeader(const char* name, int32_t nameLength, bool nameOwned, const char* value,
                              int32_t valueLength, bool valueOwned) {
    int32_t nl = Measure(name, nameLength);
    int32_t vl = Measure(value, valueLength);
    if (headersSent || !IsHeaderName(name, nl) || !IsHeaderValue(value, vl)) {
        FreeOwned(name, nameOwned, value, valueOwned);
        return 0;
    }
    MallocText nameCopy = CopyBytes(name, nl);
    MallocText valueCopy = CopyBytes(value, vl);
    FreeOwned(name, nameOwned, value, valueOwned);
    if (!nameCopy || !valueCopy) return 0;
    delete headers.Remove(nameCopy.get(), nl);
    headers.Insert(new Header{std::move(nameCopy), nl, std::move(valueCopy), vl});
    return 1;
}

int32_t HTTPOutput::Write(const char* bytes, int32_t length) {
    int32_t n = ResolveLength(bytes, length);
    if (n <= 0) return 0;
    totalWritten += n;
    sinceCommit += n;
    // A response that can no longer be delivered keeps nothing.
    for (int32_t taken = 0; !sendFailed && taken < n;) {
        if (current->used == current->capacity) {
            Chunk* next = Chunk::Make(chunkSize);
            if (!next) {
                sendFailed = true;
                break;
            }
            current->next = next;
            current = next;
        }
        int32_t room = current->capacity - current->used;
        int32_t piece = room < n - taken ? room : n - taken;
        std::memcpy(current->Bytes() + current->used, bytes + taken, static_cast<size_t>(piece));
        current->used += piece;
        taken += piece;
    }
    NoteLastByte(bytes[n - 1]);
    if (sinceCommit >= flushThreshold) {
        Commit(0);
        sinceCommit = 0;
    }
    return n;
}

int32_t HTTPOutput::RetryPause() {
    if (retryPause < 0) {
        int32_t configured = config ? config->GetInteger(kConfigFileDelay) : -1;
        retryPause = configured >= 0 ? configured : 0;
    }
    return retryPause;
}

int32_t HTTPOutput::Commit(int32_t isFinal) {
    if (!headersSent) {
        if (isFinal) AddContentLength();
        headersSent = true;
        if (!sendFailed && SendHeaders() < 0) sendFailed = true;
    }
    int64_t sent = 0;
    for (Chunk* chunk = first; chunk && !sendFailed; chunk = chunk->next) {
        int32_t offset = 0;
        while (offset < chunk->used) {
            int32_t wanted = chunk->used - offset;
            int32_t n = SendBody(chunk->Bytes() + offset, wanted);
            if (n < 0) {
                sendFailed = true;
                break;
            }
            if (n == 0) {
                // Nothing taken: the rest of the response cannot arrive whole.
                sendFailed = true;
                SendStalled();
                break;
            }
            if (n > wanted) n = wanted;
            offset += n;
            sent += n;
            // The pause is microseconds: a partial send is retried soon.
            if (offset < chunk->used) std::this_thread::sleep_for(std::chrono::microseconds(RetryPause()));
        }
    }
    EmptyChain();
    return sent > INT32_MAX ? INT32_MAX : static_cast<int32_t>(sent);
}

int32_t HTTPOutput::Flush() {
    return Commit(0);
}

void HTTPOutput::EmptyChain() {
    if (!first) return;
    Chunk* chunk = first->next;
    while (chunk) {
        Chunk* next = chunk->next;
        Chunk::Free(chunk);
        chunk = next;
    }
    first->next = nullptr;
    first->used = 0;
    current = first;
}

void HTTPOutput::AddContentLength() {
    if (headers.Find("Content-Length", 14)) return;
    char number[24];
    int n = std::snprintf(number, sizeof number, "%lld", static_cast<long long>(totalWritten));
    AddHeader("Content-Length", 14, false, number, n, false);
}

// --- ISAPIOutput ----------------------------------------------------------------------------------

ISAPIOutput::ISAPIOutput(VornApplication* app, platform::ISAPIControlBlock* block)
    : HTTPOutput(kDefaultChunkSize, kDefaultFlushThreshold), application(app), controlBlock(block) {}

ISAPIOutput::~ISAPIOutput() = default;

int32_t ISAPIOutput::AddHeader(const char* name, int32_t nameLength, bool nameOwned, const char* value,
                               int32_t valueLength, bool valueOwned) {
    int32_t nl = Measure(name, nameLength);
    if (nl != 6 || !name || CompareTextNoCase(name, "Status", 6) != 0)
        return HTTPOutput::AddHeader(name, nameLength, nameOwned, value, valueLength, valueOwned);
    int32_t vl = Measure(value, valueLength);
    MallocText line = !HeadersSent() && IsHeaderValue(value, vl) ? CopyBytes(value, vl) : nullptr;
    FreeOwned(name, nameOwned, value, valueOwned);
    if (!line) return 0;
    statusLine = std::move(line);
    return 1;
}

int32_t ISAPIOutput::SendHeaders() {
    if (!controlBlock || !controlBlock->serverSupportFunction) return -1;
    size_t size = 3;
    VisitHeaders([&](const Header& h) { size += static_cast<size_t>(h.nameLength) + h.valueLength + 4; });
    MallocText text(static_cast<char*>(std::malloc(size)));
    if (!text) return -1;
    size_t at = 0;
    auto put = [&](const char* bytes, size_t n) {
        std::memcpy(text.get() + at, bytes, n);
        at += n;
    };
    VisitHeaders([&](const Header& h) {
        put(h.name.get(), static_cast<size_t>(h.nameLength));
        put(": ", 2);
        put(h.value.get(), static_cast<size_t>(h.valueLength));
        put("\r\n", 2);
    });
    put("\r\n", 3); // with the NUL
    bool sent = controlBlock->serverSupportFunction(controlBlock->connection, platform::kISAPISendResponseHeader,
                                                    const_cast<char*>(StatusLine()), nullptr, text.get());
    if (sent) return 0;
    if (application) application->RequestStop();
    return -1;
}

int32_t ISAPIOutput::SendBody(const char* bytes, int32_t length) {
    if (!controlBlock || !controlBlock->writeClient) return -1;
    size_t n = static_cast<size_t>(length);
    if (!controlBlock->writeClient(controlBlock->connection, bytes, &n, 0)) {
        if (application) application->RequestStop();
        return -1;
    }
    return n > static_cast<size_t>(length) ? length : static_cast<int32_t>(n);
}

void ISAPIOutput::SendStalled() {
    if (application) application->RequestStop();
}

} // namespace vorn
