// TCP sockets for outgoing connections: name resolution, non-blocking,
// close-on-exec sockets, waits with poll (any descriptor number, unlike
// select), sends that never raise SIGPIPE, and the texts of socket errors.
//
// Failures return -1 (or false) with the error number in LastError()
// (Errors.h) unless a function says otherwise; EINTR is retried everywhere.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include <signal.h>

namespace vorn::platform {

// One address of a host, without a port.
struct SocketAddress {
    sockaddr_storage storage{};
    uint32_t length = 0;
    int family = 0; // AF_INET or AF_INET6 (others are kept as the resolver gave them)
};
using AddressList = std::vector<SocketAddress>;

// Resolver families.
inline constexpr int kAnyFamily = AF_UNSPEC;

// getaddrinfo for TCP: the addresses of host in the resolver's order.
// numericOnly asks for a literal address (AI_NUMERICHOST). 0 on success, else
// the resolver's code (EAI_*); out is emptied first.
int ResolveHost(const char* host, bool numericOnly, int family, AddressList& out);
// The address as numeric text (getnameinfo NI_NUMERICHOST). False when it has none.
bool NumericAddressText(const SocketAddress& address, char* buffer, size_t size);
// 4 bytes make an IPv4 address, 16 an IPv6 one; false for other counts.
bool AddressFromBytes(const uint8_t* bytes, int32_t count, SocketAddress& out);
// The 4 or 16 raw bytes of an address (null for other families); count set.
const uint8_t* AddressBytes(const SocketAddress& address, int32_t* count);

// A new TCP socket of the family, non-blocking and close-on-exec, with
// Nagle's delay off (requests are written as a few whole pieces).
int OpenStreamSocket(int family);
// Starts connecting to the address on port: 0 when connected at once,
// EINPROGRESS while it goes on, another error number when it failed.
// EAFNOSUPPORT for a family other than IPv4 and IPv6.
int StartConnect(int socket, const SocketAddress& address, uint16_t port);
// The socket's pending error (SO_ERROR): 0 once a connect succeeded. Linux
// reports a refused connect as writable, so a finished wait proves nothing.
int PendingSocketError(int socket);
void CloseSocket(int socket);

// Outcomes of WaitSocket.
enum class SocketWait { Ready, TimedOut, Stopped, Failed };

// Asked between slices of a wait: true ends it as Stopped.
struct StopCheck {
    bool (*stopped)(void* context) = nullptr;
    void* context = nullptr;
    bool operator()() const { return stopped && stopped(context); }
};

// Waits until the socket can be read (or written), has failed or hung up,
// at most timeoutMilliseconds (negative: no limit). The stop check is asked
// before the wait and at least every 100 ms. Failed sets LastError().
SocketWait WaitSocket(int socket, bool forWrite, int64_t timeoutMilliseconds, const StopCheck& stop);

// recv / send of at most length bytes: the count, or -1 with LastError()
// (EAGAIN when the call would block). Receive returns 0 at the peer's end.
// Send never raises SIGPIPE.
int64_t Receive(int socket, void* buffer, size_t length);
int64_t Send(int socket, const void* data, size_t length);

// The text of a socket error number: the fixed texts of the socket layer for
// the errors it names, else the system's message. Written into the buffer.
const char* SocketErrorText(int error, char* buffer, size_t size);

// Blocks SIGPIPE in this thread while it lives and takes back a SIGPIPE raised
// meanwhile (a library writing to a closed socket), leaving the process's
// disposition alone. One already pending before is left pending.
class SigpipeBlock {
  public:
    SigpipeBlock();
    ~SigpipeBlock();
    SigpipeBlock(const SigpipeBlock&) = delete;
    SigpipeBlock& operator=(const SigpipeBlock&) = delete;

  private:
    sigset_t previous;
    bool wasPending = false;
    bool wasBlocked = false;
};

} // namespace vorn::platform
