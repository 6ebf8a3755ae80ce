// The output of an HTTP response: headers in a case-insensitive table that
// keeps their order, the body in a chain of fixed-size chunks, the headers
// sent once before the first body byte (with a Content-Length when the whole
// body is known by then), and the body flushed whenever enough has piled up.
// ISAPIOutput sends through the web server's control block.
#pragma once

#include <cstdint>

#include "engine/foundation/HashTable.h"
#include "engine/foundation/MallocText.h"
#include "engine/foundation/Output.h"
#include "platform/ISAPI.h"

namespace vorn {

class Config;
class VornApplication;

class HTTPOutput : public Output {
  public:
    struct Header {
        MallocText name; // NUL-terminated
        int32_t nameLength;
        MallocText value; // NUL-terminated
        int32_t valueLength;
    };

    // chunkSize: the capacity of each body chunk; flushThreshold: the bytes
    // after which a write commits.
    HTTPOutput(int32_t chunkSize, int32_t flushThreshold);
    ~HTTPOutput() override;

    // Stores a header, replacing one of the same name (any letter case) and
    // moving it to the end. 0 (the owned texts freed) once the headers went
    // out, and for a name that is empty or holds ':', blanks or control bytes
    // CR, LF, NUL, or a value holding CR, LF or NUL: no header is spliced in.
    int32_t AddHeader(const char* name, int32_t nameLength, bool nameOwned, const char* value,
                      int32_t valueLength, bool valueOwned) override;
    int32_t Write(const char* bytes, int32_t length) override;
    // Sends the headers (the first time) and every chunk; returns the body
    // bytes sent by this commit.
    int32_t Commit(int32_t isFinal) override;
    int32_t Flush() override;
    int32_t Kind() override;

    // Adds "Content-Length" with the body bytes written when it is missing.
    virtual void AddContentLength();
    // The header block and a piece of body: bytes sent, negative on failure.
    virtual int32_t SendHeaders() = 0;
    virtual int32_t SendBody(const char* bytes, int32_t length) = 0;
    // The configuration the retry pause is read from (not owned).
    virtual void SetConfig(Config* configuration);
    // Called when a send took nothing: the client is not reading.
    virtual void SendStalled();

    // The chunk size and flush threshold of what is written from now on.
    void SetSizes(int32_t chunkSize, int32_t flushThreshold);

    bool HeadersSent() const { return headersSent; }
    // True once a send failed: later commits drop their bytes.
    bool SendFailed() const { return sendFailed; }
    int64_t BodyBytesWritten() const { return totalWritten; }
    // The value of a stored header (any letter case), or null.
    const char* HeaderValue(const char* name) const;
    // Calls visit(header) in the order the headers will go out.
    template <class Visit> void VisitHeaders(Visit&& visit) const {
        for (int32_t i = 0; i < headers.Used(); ++i)
            if (const Header* h = headers.ItemAt(i)) visit(*h);
    }

  private:
    struct Chunk;
    // The pause between retries of a partial send, microseconds ("filedelay").
    int32_t RetryPause();
    void EmptyChain();

    int32_t chunkSize;
    int32_t flushThreshold;
    bool headersSent = false;
    bool sendFailed = false;
    HashTable<Header> headers;
    Chunk* first;
    Chunk* current;
    int64_t totalWritten = 0;
    int64_t sinceCommit = 0;
    Config* config = nullptr;
    int32_t retryPause = -1;
};

template <>
struct HashTableKey<HTTPOutput::Header> {
    static HashKeyView Of(const HTTPOutput::Header* h) { return {h->name.get(), h->nameLength}; }
};

class ISAPIOutput : public HTTPOutput {
  public:
    // Neither is owned.
    ISAPIOutput(VornApplication* application, platform::ISAPIControlBlock* controlBlock);
    ~ISAPIOutput() override;

    // "Status" (any letter case) sets the status line instead of a header; a
    // value holding CR, LF or NUL is refused.
    int32_t AddHeader(const char* name, int32_t nameLength, bool nameOwned, const char* value,
                      int32_t valueLength, bool valueOwned) override;
    int32_t SendHeaders() override;
    int32_t SendBody(const char* bytes, int32_t length) override;
    void SendStalled() override;

    // "200 OK" until a "Status" header set another.
    const char* StatusLine() const { return statusLine ? statusLine.get() : "200 OK"; }

  private:
    VornApplication* application;
    platform::ISAPIControlBlock* controlBlock;
    MallocText statusLine;
};

} // namespace vorn
