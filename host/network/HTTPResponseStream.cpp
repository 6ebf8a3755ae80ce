#include "host/network/HTTPResponseStream.h"

#include <cstring>

#include "host/network/NetworkMessages.h"

namespace vorn {

namespace {

constexpr int32_t kLineChunk = 512;

bool IsCrLf(const String& line) {
    return line.Length() == 2 && line.Text()[0] == '\r' && line.Text()[1] == '\n';
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The status code: the number at the start of the text after the first
// space (white space and a sign allowed before it, as atoi reads it); 0 when
// there is no space or no number. Saturates instead of overflowing.
int32_t StatusOf(const String& line) {
    const char* text = line.Text();
    const char* space = std::strchr(text, ' ');
    if (!space) return 0;
    const char* p = space + 1;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    int64_t value = 0;
    while (*p >= '0' && *p <= '9') {
        value = value * 10 + (*p++ - '0');
        if (value > INT32_MAX) value = INT32_MAX;
    }
    return static_cast<int32_t>(negative ? -value : value);
}

// A Content-Length value: digits only, at most 63 bits; -1 otherwise.
int64_t ContentLengthOf(const String& value) {
    if (value.IsEmpty()) return -1;
    int64_t n = 0;
    for (int32_t i = 0; i < value.Length(); ++i) {
        char c = value.Text()[i];
        if (c < '0' || c > '9') return -1;
        if (n > (INT64_MAX - (c - '0')) / 10) return -1;
        n = n * 10 + (c - '0');
    }
    return n;
}

// A chunk-size line: hex digits (at most 63 bits), an optional extension
// after ';' (white space before it allowed), CR LF. -1 otherwise.
int64_t ChunkSizeOf(const String& line) {
    const char* p = line.Text();
    int32_t n = line.Length();
    if (n < 3 || p[n - 2] != '\r' || p[n - 1] != '\n') return -1;
    n -= 2;
    int32_t i = 0;
    int64_t value = 0;
    for (; i < n; ++i) {
        int digit = HexDigit(p[i]);
        if (digit < 0) break;
        if (value > (INT64_MAX >> 4)) return -1;
        value = value * 16 + digit;
    }
    if (i == 0) return -1;
    int32_t digitsEnd = i;
    while (i < n && (p[i] == ' ' || p[i] == '\t'))
        ++i;
    if (i == n) return digitsEnd == n ? value : -1;
    if (p[i] != ';') return -1;
    for (; i < n; ++i)
        if (p[i] == '\r' || p[i] == '\0') return -1;
    return value;
}

} // namespace

// --- HTTPResponseStream_Header --------------------------------------------------------------

HTTPResponseStream_Header::HTTPResponseStream_Header(const String& trimmedLine) : line(trimmedLine) {
    int32_t colon = line.Find(":");
    if (colon < 0) {
        name.Assign(line);
        value.Assign("");
    } else {
        name.Assign(line.Text(), colon);
        value.Assign(line.Text() + colon + 1, line.Length() - colon - 1);
    }
    name.Trim();
    value.Trim();
}

// --- HTTPResponseStream ---------------------------------------------------------------------

HTTPResponseStream::HTTPResponseStream(NetworkConnection* source, uint32_t seconds, const char* method)
    : connection(source), timeout(seconds) {
    headRequest = method && std::strcmp(method, "HEAD") == 0;
    error.Assign("");
}

HTTPResponseStream::~HTTPResponseStream() = default;

void HTTPResponseStream::SetError(const String& message) {
    if (!message.IsNull()) error.Assign(message);
}

void HTTPResponseStream::Fail(const char* message) {
    error.Assign(message);
}

void HTTPResponseStream::CopyConnectionError() {
    if (connection) SetError(connection->ErrorText());
}

void HTTPResponseStream::CloseConnection() {
    delete connection;
    connection = nullptr;
}

bool HTTPResponseStream::ReadHeadLine(String& line) {
    if (!connection) {
        Fail(kConnectionClosed);
        return false;
    }
    int32_t n = connection->ReadLine(line, timeout, kLineChunk);
    if (n < 0) {
        CopyConnectionError();
        return false;
    }
    headBytes += n;
    if (headBytes > kMaxResponseHead) {
        Fail("Response head too large");
        return false;
    }
    return true;
}

bool HTTPResponseStream::ReadHeaders() {
    headers.Clear();
    statusCode = -1;
    contentLength = -1;
    chunked = false;
    noBody = ended = framingFailed = false;
    chunkSize = chunkRead = bodyRead = headBytes = 0;

    String line;
    for (;;) {
        if (!ReadHeadLine(line)) return false;
        line.Trim();
        statusCode = StatusOf(line);
        headers.Insert(new HTTPResponseStream_Header(line), kListTail);
        int64_t announced = -1;
        for (;;) {
            if (!ReadHeadLine(line)) return false;
            if (IsCrLf(line)) break;
            if (headers.Count() > kMaxResponseHeaders) {
                Fail("Too many response headers");
                return false;
            }
            line.Trim();
            auto* header = new HTTPResponseStream_Header(line);
            headers.Insert(header, kListTail);
            if (header->name.EqualsNoCase("Transfer-Encoding")) {
                chunked = header->value.EqualsNoCase("chunked");
                contentLength = -1;
            } else if (header->name.EqualsNoCase("Content-Length")) {
                int64_t length = ContentLengthOf(header->value);
                if (length < 0 || (announced >= 0 && length != announced)) {
                    Fail("Invalid Content-Length");
                    return false;
                }
                announced = length;
                if (!chunked) contentLength = length;
            }
        }
        // An interim response: the final one follows.
        if (statusCode >= 100 && statusCode < 200 && statusCode != 101) {
            headers.Clear();
            contentLength = -1;
            chunked = false;
            continue;
        }
        break;
    }
    noBody = headRequest || (statusCode >= 100 && statusCode < 200) || statusCode == 204 || statusCode == 304;
    if (chunked && !noBody) return ReadChunkSize();
    return true;
}

bool HTTPResponseStream::ReadExactly(char* buffer, int32_t length) {
    for (int32_t got = 0; got < length;) {
        int32_t n = connection ? connection->Read(buffer + got, length - got, timeout) : 0;
        if (n < 0) {
            CopyConnectionError();
            return false;
        }
        if (n == 0) {
            Fail(kConnectionClosed);
            return false;
        }
        got += n;
    }
    return true;
}

bool HTTPResponseStream::ReadChunkTerminator() {
    char bytes[2];
    if (!ReadExactly(bytes, 2)) return false;
    if (bytes[0] != '\r' || bytes[1] != '\n') {
        Fail("Invalid chunk terminator");
        return false;
    }
    return true;
}

bool HTTPResponseStream::ReadChunkSize() {
    String line;
    int32_t n = connection ? connection->ReadLine(line, timeout, kLineChunk) : -1;
    if (n < 0) {
        if (connection)
            CopyConnectionError();
        else
            Fail(kConnectionClosed);
        return false;
    }
    int64_t size = ChunkSizeOf(line);
    if (size < 0) {
        Fail("Invalid chunk size");
        return false;
    }
    chunkSize = size;
    chunkRead = 0;
    return size > 0 || ReadTrailers();
}

bool HTTPResponseStream::ReadTrailers() {
    String line;
    for (;;) {
        if (!ReadHeadLine(line)) return false;
        if (IsCrLf(line)) return true;
    }
}

int32_t HTTPResponseStream::Read(void* buffer, int32_t length) {
    if (framingFailed) return -1;
    if (length <= 0 || noBody || ended) return 0;
    if (!connection) {
        Fail(kConnectionClosed);
        return -1;
    }
    int64_t want = length;
    if (chunked) {
        if (chunkSize == 0) return 0;
        if (chunkSize - chunkRead < want) want = chunkSize - chunkRead;
    } else if (contentLength >= 0) {
        int64_t missing = contentLength - bodyRead;
        if (missing == 0) return 0;
        if (missing < want) want = missing;
    }
    int32_t n = connection->Read(buffer, static_cast<int32_t>(want), timeout);
    if (n < 0) {
        CopyConnectionError();
        return n;
    }
    if (n == 0) {
        // The end of the stream is the end of the body only when nothing framed it.
        if (chunked || contentLength >= 0) {
            Fail(kConnectionClosed);
            return -1;
        }
        ended = true;
        return 0;
    }
    bodyRead += n;
    if (!chunked) return n;
    chunkRead += n;
    if (chunkRead < chunkSize) return n;
    // The chunk's bytes are good: a fault in the framing after them is the
    // next read's result.
    if (!ReadChunkTerminator() || !ReadChunkSize()) framingFailed = true;
    return n;
}

} // namespace vorn
