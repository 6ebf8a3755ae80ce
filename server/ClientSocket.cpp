#include "server/ClientSocket.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace vorn::server {

namespace {

// Served requests are consumed once this much of them gathered (where the
// socket peeks from an offset).
constexpr size_t kServedLimit = 8 * 1024;

} // namespace

void ClientSocket::Open(int descriptor) {
    fd = descriptor;
    int start = 0;
    peekOffset = setsockopt(fd, SOL_SOCKET, SO_PEEK_OFF, &start, sizeof start) == 0;
    served = 0;
    onlyPeeked = false;
}

void ClientSocket::ShutdownOutput() {
    shutdown(fd, SHUT_WR);
}

void ClientSocket::Close() {
    if (fd >= 0) close(fd);
    fd = -1;
    peekOffset = false;
    served = 0;
    onlyPeeked = false;
}

ssize_t ClientSocket::Peek(unsigned char* to, size_t length) {
    for (;;) {
        ssize_t n = recv(fd, to, length, MSG_PEEK | MSG_DONTWAIT);
        if (n >= 0 || errno != EINTR) return n;
    }
}

bool ClientSocket::SetPeekOffset() {
    int offset = static_cast<int>(served);
    return setsockopt(fd, SOL_SOCKET, SO_PEEK_OFF, &offset, sizeof offset) == 0;
}

bool ClientSocket::Skip(unsigned char* buffer, size_t count) {
    if (!peekOffset) return ConsumeExactly(buffer, count);
    served += count;
    return SetPeekOffset() && (served < kServedLimit || ConsumeServed());
}

void ClientSocket::ServeFromPeeked(size_t count) {
    onlyPeeked = true;
    peeked = count;
}

bool ClientSocket::ConsumePeeked(unsigned char* buffer) {
    return Consume(buffer, peeked);
}

bool ClientSocket::DoneWith(unsigned char* buffer, size_t count) {
    if (!peekOffset) return Consume(buffer, count);
    onlyPeeked = false;
    served += count;
    // The peek moved the offset past all it saw: set it back when the
    // request ended before that.
    bool past = count == peeked || SetPeekOffset();
    return past && (served < kServedLimit || ConsumeServed());
}

bool ClientSocket::Consume(unsigned char* buffer, size_t count) {
    if ((served && !ConsumeServed()) || !ConsumeExactly(buffer, count)) return false;
    onlyPeeked = false;
    return true;
}

bool ClientSocket::ConsumeExactly(unsigned char* to, size_t count) {
    for (size_t taken = 0; taken < count;) {
        ssize_t n = recv(fd, to + taken, count - taken, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        taken += static_cast<size_t>(n);
    }
    return true;
}

bool ClientSocket::ConsumeServed() {
    unsigned char scratch[4096];
    for (; served > 0; served -= std::min(served, sizeof scratch))
        if (!ConsumeExactly(scratch, std::min(served, sizeof scratch))) return false;
    return true;
}

ssize_t ClientSocket::Receive(unsigned char* to, size_t length) {
    for (;;) {
        ssize_t n = recv(fd, to, length, MSG_DONTWAIT);
        if (n > 0) {
            moved += static_cast<size_t>(n);
            return n;
        }
        if (n < 0 && errno == EINTR) continue;
        return n < 0 && WouldBlock() ? 0 : -1;
    }
}

ssize_t ClientSocket::Send(const char* data, size_t length) {
    for (;;) {
        ssize_t n = send(fd, data, length, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            moved += static_cast<size_t>(n);
            return n;
        }
        if (n < 0 && errno == EINTR) continue;
        return n < 0 && WouldBlock() ? 0 : -1;
    }
}

bool ClientSocket::AwaitWritable(int milliseconds) {
    pollfd writable{fd, POLLOUT, 0};
    for (;;) {
        int ready = poll(&writable, 1, milliseconds);
        if (ready < 0 && errno == EINTR) continue;
        return ready > 0;
    }
}

bool ClientSocket::Discard() {
    char trash[4096];
    for (int reads = 0; reads < 16; ++reads) {
        ssize_t n = recv(fd, trash, sizeof trash, MSG_DONTWAIT);
        if (n > 0) continue;
        if (n < 0 && errno == EINTR) continue;
        return n < 0 && WouldBlock();
    }
    return true;
}

} // namespace vorn::server
