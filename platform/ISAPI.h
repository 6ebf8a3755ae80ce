// The web server's extension interface, declared for ourselves: the version
// record the extension fills at start-up, the control block of one request
// with its four callbacks, and the codes that cross between them. The server
// side (server/) fills and serves these; the extension reads through them.
//
// Callbacks return true on success; on failure false with errno set. A
// buffer too small for a server variable fails with ERANGE (the system's
// "insufficient buffer", error 122) and the size needed in *size.
// Handles and byte counts are pointer-sized words.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn::platform {

// The connection handle of one request, as the server hands it out.
using ISAPIConnection = void*;

// Returned by the extension's request entry: the session stays open until
// the extension reports it done.
inline constexpr uint32_t kISAPIStatusPending = 3;
// Returned when the extension cannot take the request: the server ends it.
inline constexpr uint32_t kISAPIStatusError = 4;
// ServerSupportFunction requests.
inline constexpr uint32_t kISAPISendResponseHeader = 3; // buffer: status line; data type: header block
inline constexpr uint32_t kISAPIDoneWithSession = 4;
// The system's error number for "insufficient buffer", for messages that name it.
inline constexpr uint32_t kISAPIInsufficientBuffer = 122;

inline constexpr size_t kISAPIDescriptionSize = 256;

struct ISAPIVersionInfo {
    uint32_t extensionVersion;
    char description[kISAPIDescriptionSize]; // NUL-terminated
};

struct ISAPIControlBlock {
    size_t size; // of this structure
    ISAPIConnection connection;
    const char* method;
    const char* queryString;    // QUERY_STRING
    const char* pathInfo;       // PATH_INFO
    const char* pathTranslated; // PATH_TRANSLATED
    const char* contentType;
    size_t totalBytes;     // the announced body length
    size_t availableBytes; // body bytes already read, at data
    const uint8_t* data;

    // Copies a server variable with its NUL into buffer; a null buffer or
    // *size too small fails with ERANGE and the bytes needed in *size; a
    // variable the request does not have fails with ENOENT.
    bool (*getServerVariable)(ISAPIConnection connection, const char* name, void* buffer, size_t* size);
    // Sends *size bytes; *size becomes the bytes sent. flags: 0 (synchronous).
    bool (*writeClient)(ISAPIConnection connection, const void* buffer, size_t* size, uint32_t flags);
    // Reads up to *size body bytes; *size becomes the bytes read (0 at the end).
    bool (*readClient)(ISAPIConnection connection, void* buffer, size_t* size);
    // A service of the server: one of the request codes above.
    bool (*serverSupportFunction)(ISAPIConnection connection, uint32_t request, void* buffer, size_t* size,
                                  void* dataType);

    // Optional: a server that fills them says so with a size that reaches
    // them; null when it has none.
    // A server variable's text as the server keeps it (NUL-ended, lasting
    // as long as the request), its length in *length; null when the request
    // does not have it. Nothing is copied.
    const char* (*serverVariableText)(ISAPIConnection connection, const char* name, size_t* length);
    // The request's header at index (0 first) as ALL_HTTP would list it:
    // its name (HTTP_...) and value as the server keeps them; false past
    // the last.
    bool (*requestHeader)(ISAPIConnection connection, size_t index, const char** name, size_t* nameLength,
                          const char** value, size_t* valueLength);
};

// Whether the block reaches its optional callbacks (each may still be null).
inline bool HasOptionalCallbacks(const ISAPIControlBlock* block) {
    return block->size >= sizeof(ISAPIControlBlock);
}

} // namespace vorn::platform
