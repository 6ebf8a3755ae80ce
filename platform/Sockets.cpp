#include "platform/Sockets.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/Errors.h"

namespace vorn::platform {

namespace {

// The longest single poll: stops are noticed within this time.
constexpr int64_t kWaitSlice = 100;

int64_t MonotonicMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

struct ErrorRow {
    int error;
    const char* text;
};

// The socket layer's own wording for the errors it names.
constexpr ErrorRow kErrorTexts[] = {
    {EINTR, "Interrupted function call"},
    {EACCES, "Permission denied"},
    {EFAULT, "Bad address"},
    {EINVAL, "Invalid argument"},
    {EMFILE, "Too many open files"},
    {EAGAIN, "Resource temporarily unavailable"},
    {EINPROGRESS, "Operation now in progress"},
    {EALREADY, "Operation already in progress"},
    {ENOTSOCK, "Socket operation on non-socket"},
    {EDESTADDRREQ, "Destination address required"},
    {EMSGSIZE, "Message too long"},
    {EPROTOTYPE, "Protocol wrong type for socket"},
    {ENOPROTOOPT, "Bad protocol option"},
    {EPROTONOSUPPORT, "Protocol not supported"},
    {ESOCKTNOSUPPORT, "Socket type not supported"},
    {EOPNOTSUPP, "Operation not supported"},
    {EPFNOSUPPORT, "Protocol family not supported"},
    {EAFNOSUPPORT, "Address family not supported by protocol family"},
    {EADDRINUSE, "Address already in use"},
    {EADDRNOTAVAIL, "Cannot assign requested address"},
    {ENETDOWN, "Network is down"},
    {ENETUNREACH, "Network is unreachable"},
    {ENETRESET, "Network dropped connection on reset"},
    {ECONNABORTED, "Software caused connection abort"},
    {ECONNRESET, "Connection reset by peer"},
    {ENOBUFS, "No buffer space available"},
    {EISCONN, "Socket is already connected"},
    {ENOTCONN, "Socket is not connected"},
    {ESHUTDOWN, "Cannot send after socket shutdown"},
    {ETIMEDOUT, "Connection timed out"},
    {ECONNREFUSED, "Connection refused"},
    {EHOSTDOWN, "Host is down"},
    {EHOSTUNREACH, "No route to host"},
    {EUSERS, "Too many processes"},
};

int Fail(int error) {
    SetLastError(error);
    return -1;
}

} // namespace

int ResolveHost(const char* host, bool numericOnly, int family, AddressList& out) {
    out.clear();
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    if (numericOnly) hints.ai_flags = AI_NUMERICHOST;
    addrinfo* list = nullptr;
    int result = getaddrinfo(host ? host : "", nullptr, &hints, &list);
    if (result == EAI_SYSTEM) SetLastError(errno);
    if (result != 0) return result;
    for (addrinfo* entry = list; entry; entry = entry->ai_next) {
        if (!entry->ai_addr || entry->ai_addrlen > sizeof(sockaddr_storage)) continue;
        SocketAddress address;
        std::memcpy(&address.storage, entry->ai_addr, entry->ai_addrlen);
        address.length = static_cast<uint32_t>(entry->ai_addrlen);
        address.family = entry->ai_family;
        out.push_back(address);
    }
    freeaddrinfo(list);
    return out.empty() ? EAI_NONAME : 0;
}

bool NumericAddressText(const SocketAddress& address, char* buffer, size_t size) {
    if (!buffer || size == 0) return false;
    int result = getnameinfo(reinterpret_cast<const sockaddr*>(&address.storage), address.length, buffer,
                             static_cast<socklen_t>(size), nullptr, 0, NI_NUMERICHOST);
    if (result != 0) buffer[0] = '\0';
    return result == 0;
}

bool AddressFromBytes(const uint8_t* bytes, int32_t count, SocketAddress& out) {
    out = SocketAddress();
    if (!bytes) return false;
    if (count == 4) {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&out.storage);
        v4->sin_family = AF_INET;
        std::memcpy(&v4->sin_addr, bytes, 4);
        out.length = sizeof(sockaddr_in);
        out.family = AF_INET;
        return true;
    }
    if (count == 16) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&out.storage);
        v6->sin6_family = AF_INET6;
        std::memcpy(&v6->sin6_addr, bytes, 16);
        out.length = sizeof(sockaddr_in6);
        out.family = AF_INET6;
        return true;
    }
    return false;
}

const uint8_t* AddressBytes(const SocketAddress& address, int32_t* count) {
    if (address.family == AF_INET) {
        *count = 4;
        return reinterpret_cast<const uint8_t*>(&reinterpret_cast<const sockaddr_in*>(&address.storage)->sin_addr);
    }
    if (address.family == AF_INET6) {
        *count = 16;
        return reinterpret_cast<const uint8_t*>(
            &reinterpret_cast<const sockaddr_in6*>(&address.storage)->sin6_addr);
    }
    *count = 0;
    return nullptr;
}

int OpenStreamSocket(int family) {
    int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) return Fail(errno);
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

int StartConnect(int socket, const SocketAddress& address, uint16_t port) {
    sockaddr_storage target = address.storage;
    socklen_t length = address.length;
    if (address.family == AF_INET && length >= sizeof(sockaddr_in))
        reinterpret_cast<sockaddr_in*>(&target)->sin_port = htons(port);
    else if (address.family == AF_INET6 && length >= sizeof(sockaddr_in6))
        reinterpret_cast<sockaddr_in6*>(&target)->sin6_port = htons(port);
    else
        return EAFNOSUPPORT;
    if (::connect(socket, reinterpret_cast<const sockaddr*>(&target), length) == 0) return 0;
    // An interrupted non-blocking connect goes on in the background.
    int error = errno == EINTR ? EINPROGRESS : errno;
    SetLastError(error);
    return error;
}

int PendingSocketError(int socket) {
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
    return error;
}

void CloseSocket(int socket) {
    if (socket >= 0) ::close(socket);
}

SocketWait WaitSocket(int socket, bool forWrite, int64_t timeoutMilliseconds, const StopCheck& stop) {
    int64_t deadline = timeoutMilliseconds >= 0 ? MonotonicMilliseconds() + timeoutMilliseconds : -1;
    for (;;) {
        if (stop()) return SocketWait::Stopped;
        int64_t slice = kWaitSlice;
        if (deadline >= 0) {
            int64_t left = deadline - MonotonicMilliseconds();
            if (left <= 0) return SocketWait::TimedOut;
            if (left < slice) slice = left;
        }
        pollfd entry{};
        entry.fd = socket;
        entry.events = forWrite ? POLLOUT : POLLIN;
        int result = ::poll(&entry, 1, static_cast<int>(slice));
        if (result < 0) {
            if (errno == EINTR) continue; // with the time that is left
            Fail(errno);
            return SocketWait::Failed;
        }
        if (result == 0) continue;
        if (entry.revents & POLLNVAL) {
            Fail(EBADF);
            return SocketWait::Failed;
        }
        // Errors and hang-ups count as ready: the next call reports them.
        return SocketWait::Ready;
    }
}

int64_t Receive(int socket, void* buffer, size_t length) {
    for (;;) {
        ssize_t n = ::recv(socket, buffer, length, 0);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        return Fail(errno == EWOULDBLOCK ? EAGAIN : errno);
    }
}

int64_t Send(int socket, const void* data, size_t length) {
    for (;;) {
        ssize_t n = ::send(socket, data, length, MSG_NOSIGNAL);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        return Fail(errno == EWOULDBLOCK ? EAGAIN : errno);
    }
}

const char* SocketErrorText(int error, char* buffer, size_t size) {
    if (!buffer || size == 0) return "";
    for (const ErrorRow& row : kErrorTexts) {
        if (row.error == error) {
            std::snprintf(buffer, size, "%s", row.text);
            return buffer;
        }
    }
    return ErrorText(error, buffer, size);
}

// --- SigpipeBlock -----------------------------------------------------------------

SigpipeBlock::SigpipeBlock() {
    sigset_t pipeOnly;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    wasPending = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous);
    wasBlocked = sigismember(&previous, SIGPIPE) == 1;
}

SigpipeBlock::~SigpipeBlock() {
    if (!wasPending) {
        sigset_t pending;
        sigemptyset(&pending);
        sigpending(&pending);
        if (sigismember(&pending, SIGPIPE) == 1) {
            sigset_t pipeOnly;
            sigemptyset(&pipeOnly);
            sigaddset(&pipeOnly, SIGPIPE);
            timespec none{0, 0};
            while (sigtimedwait(&pipeOnly, nullptr, &none) < 0 && errno == EINTR) {
            }
        }
    }
    if (!wasBlocked) pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

} // namespace vorn::platform
