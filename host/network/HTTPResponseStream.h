// Reads the response to a request that NetworkManager::OpenURL sent: the
// status line and header lines, then the body, with the chunked framing
// taken off and the end found by the framing the response announced.
#pragma once

#include <cstdint>

#include "engine/foundation/List.h"
#include "engine/foundation/NetworkConnection.h"
#include "engine/foundation/String.h"

namespace vorn {

// Longest response head (interim responses and trailers count too).
inline constexpr int64_t kMaxResponseHead = 1 << 20;
// Most header lines a response may have besides its status line: each is
// kept, and VrCALL makes variables of it.
inline constexpr int32_t kMaxResponseHeaders = 10000;

// One received header line: the trimmed line, and its name and value (the
// text before and after the first ':', trimmed).
class HTTPResponseStream_Header {
  public:
    explicit HTTPResponseStream_Header(const String& trimmedLine);
    virtual ~HTTPResponseStream_Header() = default;

    String line;
    String name;
    String value;
};

class HTTPResponseStream {
  public:
    // The connection is not owned (see CloseConnection). method is the
    // request's: a HEAD response has no body (null: not HEAD).
    HTTPResponseStream(NetworkConnection* connection, uint32_t timeout, const char* method = nullptr);
    virtual ~HTTPResponseStream();
    HTTPResponseStream(const HTTPResponseStream&) = delete;
    HTTPResponseStream& operator=(const HTTPResponseStream&) = delete;

    // Reads the status line and the headers (interim 1xx responses are
    // skipped). False with the error set.
    bool ReadHeaders();
    // Body bytes: 0 at the end of the body, negative on failure (a body cut
    // short of its announced length or framing is a failure; a fault in the
    // framing after a chunk's bytes fails the read after the one that
    // delivered them).
    int32_t Read(void* buffer, int32_t length);
    // Deletes the connection and forgets it.
    void CloseConnection();

    int32_t StatusCode() const { return statusCode; }
    // -1 when the head gives none (or the body is chunked).
    int64_t ContentLength() const { return contentLength; }
    bool Chunked() const { return chunked; }
    List<HTTPResponseStream_Header>& Headers() { return headers; }
    NetworkConnection* Connection() const { return connection; }
    String& ErrorText() { return error; }
    void SetError(const String& message);

  private:
    bool ReadHeadLine(String& line);
    bool ReadChunkTerminator();
    bool ReadChunkSize();
    bool ReadTrailers();
    bool ReadExactly(char* buffer, int32_t length);
    void Fail(const char* message);
    void CopyConnectionError();

    List<HTTPResponseStream_Header> headers{true};
    int32_t statusCode = -1;
    int64_t contentLength = -1;
    NetworkConnection* connection;
    uint32_t timeout;
    bool chunked = false;
    bool headRequest = false;
    bool noBody = false;
    bool ended = false;
    bool framingFailed = false;
    int64_t chunkSize = 0;
    int64_t chunkRead = 0;
    int64_t bodyRead = 0;
    int64_t headBytes = 0;
    String error;
};

} // namespace vorn
