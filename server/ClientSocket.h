// A web server's connection as the responder reads and writes it, waiting
// only where a caller asks to. A request is served from the bytes peeked at,
// which stay in the socket until its answer went out: consuming bytes frees
// room on the web server's side, which wakes it when it sleeps. Where the
// socket peeks from an offset (SO_PEEK_OFF), the bytes of requests served
// stay in it, before the offset, until some kilobytes gathered, and are then
// consumed at once: one read and one such wake-up for many.
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace vorn::server {

// The last call failed only because it would have had to wait.
inline bool WouldBlock() {
    return errno == EAGAIN || errno == EWOULDBLOCK;
}

class ClientSocket {
  public:
    // A client that sends or takes nothing for this long is given up (the
    // poller's deadlines).
    static constexpr int kStallSeconds = 60;

    // A connection accepted.
    void Open(int fd);
    int Descriptor() const { return fd; }
    void ShutdownOutput();
    void Close();

    // --- Peeking ---
    // What came of the next request, without waiting: the bytes peeked; 0
    // when the client closed its end; -1 with errno (WouldBlock: nothing yet).
    ssize_t Peek(unsigned char* to, size_t length);
    // Takes the count bytes just peeked (into buffer, where they were
    // peeked: the same bytes): what comes next is received after them.
    bool Take(unsigned char* buffer, size_t count) { return Consume(buffer, count); }
    // count bytes at the start of those peeked (records answered that are no
    // request's) are done with: the next peek starts past them. The bytes
    // peeked are at buffer.
    bool Skip(unsigned char* buffer, size_t count);
    // The request at the start of the count bytes just peeked is served
    // from them.
    void ServeFromPeeked(size_t count);
    bool OnlyPeeked() const { return onlyPeeked; }
    // Bytes past the first count were peeked (no event will tell of them).
    bool PeekedPast(size_t count) const { return onlyPeeked && count < peeked; }
    // Consumes the bytes peeked (into buffer, where they were peeked: the
    // same bytes), so that the request's input can be received past them.
    bool ConsumePeeked(unsigned char* buffer);
    // The request served from the peeked bytes is done with count of them.
    bool DoneWith(unsigned char* buffer, size_t count);

    // --- Receiving and sending ---
    // Up to length bytes, without waiting: how many came; 0 when none has;
    // -1 when the connection failed or closed.
    ssize_t Receive(unsigned char* to, size_t length);
    // What the socket takes now of data: how much; 0 when it takes nothing
    // now; -1 when the connection failed.
    ssize_t Send(const char* data, size_t length);
    // Waits up to milliseconds for the socket to take output: false when it
    // does not.
    bool AwaitWritable(int milliseconds);
    // Reads and drops what the client sends (a closing connection): false
    // once it closed its end or failed.
    bool Discard();
    // Bytes received and sent so far: the progress of what the poller finishes.
    uint64_t Moved() const { return moved; }

  private:
    bool ConsumeExactly(unsigned char* to, size_t count);
    bool Consume(unsigned char* buffer, size_t count);
    // Consumes the served requests' bytes before the peek offset.
    bool ConsumeServed();
    bool SetPeekOffset();

    int fd = -1;
    bool peekOffset = false; // the socket peeks from an offset
    size_t served = 0;       // bytes of requests served still in it, before the offset
    bool onlyPeeked = false; // a request is served from bytes still in the socket
    size_t peeked = 0;       // how many were peeked with it
    uint64_t moved = 0;
};

} // namespace vorn::server
