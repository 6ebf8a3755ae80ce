// The gateway exchange: a TCP connection of its own, TLS with the client
// certificate through the host's OpenSSL, one POST of the order document and
// the whole answer read. One deadline ("req_read_timeout") covers the
// connect, the handshake, the writes and the read.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "gateway/Gateway.h"

namespace vorn::gateway {

namespace {

constexpr int32_t kMaxAnswer = 1 << 20;    // body bytes
constexpr int32_t kMaxPending = 64 * 1024; // a head or framing line not yet complete
constexpr int32_t kReadStep = 16 * 1024;

// "securityoptions" bits, the host's rules for its own TLS peers.
constexpr int32_t kNoChainCheck = 0x1000;
constexpr int32_t kNoHostNameCheck = 0x2000;
constexpr int32_t kCheckIPAddress = 0x4000;

constexpr char kClosedEarly[] = "Read error: Connection closed before the answer was complete";
constexpr char kTooLarge[] = "Read error: Answer too large";

int64_t NowMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// 1 ready; 0 the deadline passed (errno ETIMEDOUT); -1 failed (errno). A
// deadline of 0 waits without limit.
int WaitFor(int socket, short events, int64_t deadline) {
    for (;;) {
        int timeout = -1;
        if (deadline) {
            int64_t left = deadline - NowMilliseconds();
            if (left <= 0) {
                errno = ETIMEDOUT;
                return 0;
            }
            timeout = left > INT32_MAX ? INT32_MAX : static_cast<int>(left);
        }
        pollfd entry{socket, events, 0};
        int ready = poll(&entry, 1, timeout);
        if (ready > 0) return 1; // an error or hang-up shows in the next call
        if (ready < 0 && errno != EINTR) return -1;
    }
}

// OpenSSL's socket writes raise SIGPIPE when the gateway has gone, which
// would end the process: blocked in this thread while the exchange runs,
// and one raised meanwhile is taken before the old mask returns.
class SigpipeBlock {
  public:
    SigpipeBlock() {
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        wasPending = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipe, &previous);
    }
    ~SigpipeBlock() {
        int saved = errno;
        sigset_t pending;
        if (!wasPending && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
            const timespec zero{};
            while (sigtimedwait(&pipe, nullptr, &zero) < 0 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        errno = saved;
    }
    SigpipeBlock(const SigpipeBlock&) = delete;
    SigpipeBlock& operator=(const SigpipeBlock&) = delete;

  private:
    sigset_t pipe;
    sigset_t previous;
    bool wasPending;
};

void CloseSocket(GatewayTransaction* t) {
    if (t->socket >= 0) close(t->socket);
    t->socket = -1;
}

// The failure text of a TLS step: the error queue's reason, else the
// system's. Never null.
const char* Reason(GatewayTransaction* t, int error) {
    unsigned long code = TLS(t, ERR_get_error)();
    const char* reason = code ? TLS(t, ERR_reason_error_string)(code) : nullptr;
    if (reason) return reason;
    return error ? std::strerror(error) : "Connection closed";
}

constexpr int kWaitFailed = -2;

// Runs a TLS call until it no longer asks to wait: its positive result, 0 at
// the peer's close, -1 on failure, kWaitFailed when the socket wait failed
// or the deadline passed. *error is the errno to report.
template <class Call> int Drive(GatewayTransaction* t, int64_t deadline, int* error, Call call) {
    for (;;) {
        TLS(t, ERR_clear_error)();
        errno = 0;
        int result = call();
        *error = errno;
        if (result > 0) return result;
        int kind = TLS(t, SSL_get_error)(t->connection, result);
        if (kind == SSL_ERROR_ZERO_RETURN) return 0;
        if (kind != SSL_ERROR_WANT_READ && kind != SSL_ERROR_WANT_WRITE) return -1;
        if (WaitFor(t->socket, kind == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline) <= 0) {
            *error = errno;
            return kWaitFailed;
        }
    }
}

// The gateway's address and how the host is written in the request.
struct Endpoint {
    char name[NI_MAXHOST]; // req_host without IPv6 brackets
    bool literal;          // an IP address, looked up by nobody
    bool ipv6Literal;
    sockaddr_storage address;
    socklen_t addressLength;
};

bool ParseLiteral(const char* text, Endpoint* out, uint16_t port) {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&out->address);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&out->address);
    std::memset(&out->address, 0, sizeof out->address);
    if (inet_pton(AF_INET, text, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        out->addressLength = sizeof *v4;
        return true;
    }
    if (inet_pton(AF_INET6, text, &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        out->addressLength = sizeof *v6;
        return true;
    }
    return false;
}

// The host's lookup, else the resolver's (a host without a network layer).
bool LookUp(GatewayTransaction* t, Endpoint* endpoint) {
    if (t->hostLength <= 0 || t->hostLength >= static_cast<int32_t>(sizeof endpoint->name)) {
        Fail(t, "Error looking up host '%.100s': Invalid host name", t->host);
        return false;
    }
    // The name reaches the request head: no blank and no control byte.
    for (int32_t i = 0; i < t->hostLength; ++i) {
        auto c = static_cast<unsigned char>(t->host[i]);
        if (c <= ' ' || c == 0x7F) {
            Fail(t, "Error looking up host '%.100s': Invalid host name", t->host);
            return false;
        }
    }
    const char* name = t->host;
    int32_t length = t->hostLength;
    if (length >= 2 && name[0] == '[' && name[length - 1] == ']') {
        ++name;
        length -= 2;
    }
    std::memcpy(endpoint->name, name, static_cast<size_t>(length));
    endpoint->name[length] = '\0';
    uint16_t port = static_cast<uint16_t>(t->port);
    in6_addr scratch{};
    endpoint->ipv6Literal = inet_pton(AF_INET6, endpoint->name, &scratch) == 1;
    endpoint->literal = ParseLiteral(endpoint->name, endpoint, port);
    if (endpoint->literal) return true;

    char found[512] = "";
    if (vrNetwork_Get_Host_Address(t->program, endpoint->name, found, sizeof found) >= 0) {
        found[sizeof found - 1] = '\0';
        size_t n = std::strlen(found);
        if (n >= 2 && found[0] == '[' && found[n - 1] == ']') {
            found[n - 1] = '\0';
            std::memmove(found, found + 1, n - 1);
        }
        if (ParseLiteral(found, endpoint, port)) return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* results = nullptr;
    int status = getaddrinfo(endpoint->name, nullptr, &hints, &results);
    if (status == 0 && results && results->ai_addrlen <= sizeof endpoint->address) {
        std::memcpy(&endpoint->address, results->ai_addr, results->ai_addrlen);
        endpoint->addressLength = results->ai_addrlen;
        if (endpoint->address.ss_family == AF_INET)
            reinterpret_cast<sockaddr_in*>(&endpoint->address)->sin_port = htons(port);
        else
            reinterpret_cast<sockaddr_in6*>(&endpoint->address)->sin6_port = htons(port);
        freeaddrinfo(results);
        return true;
    }
    if (results) freeaddrinfo(results);
    const char* reason = vrNetwork_Error(t->program, nullptr);
    Fail(t, "Error looking up host '%.100s': %.200s", t->host,
         reason && reason[0] ? reason : gai_strerror(status ? status : EAI_FAIL));
    return false;
}

bool Connect(GatewayTransaction* t, const Endpoint& endpoint, int64_t deadline) {
    int error = EINVAL;
    if (t->port >= 1 && t->port <= 65535) {
        t->socket = socket(endpoint.address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        error = errno;
    }
    if (t->socket >= 0) {
        int result =
            connect(t->socket, reinterpret_cast<const sockaddr*>(&endpoint.address), endpoint.addressLength);
        error = errno;
        if (result != 0 && (error == EINPROGRESS || error == EINTR)) {
            if (WaitFor(t->socket, POLLOUT, deadline) > 0) {
                socklen_t size = sizeof error;
                if (getsockopt(t->socket, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
                result = error == 0 ? 0 : -1;
            } else {
                error = errno;
            }
        }
        if (result == 0) return true;
    }
    CloseSocket(t);
    Fail(t, "Error connecting to '%.100s': %.200s", t->host, std::strerror(error));
    return false;
}

// Encrypted keys are not supported: OpenSSL must never prompt for a phrase.
int NoPassPhrase(char*, int, int, void*) {
    return -1;
}

struct Identity {
    int32_t flags;
    int32_t sni;
    bool chain;
    bool checkName;
};

VornVariable* ConfigMember(VornVariable* config, const char* name) {
    return config ? vrVariable_Struct_Member(name, -1, config, 0) : nullptr;
}

// The context: TLS 1.2 or later; the gateway's chain checked against "cadir"
// (the system's store when empty) unless the security options say not to.
bool MakeConnection(GatewayTransaction* t, const Endpoint& endpoint, Identity* identity) {
    VornVariable* config = vrVariableHash_Find(vrProgram_System_VariableHash(t->program), "vorn_config", -1);
    VornVariable* flags = ConfigMember(config, "flags_security");
    VornVariable* sni = ConfigMember(config, "ssl_sni");
    identity->flags = flags ? vrVariable_Value_Integer(flags) : 0;
    identity->sni = sni ? vrVariable_Value_Integer(sni) : -1;
    identity->chain = (identity->flags & kNoChainCheck) == 0;
    identity->checkName = endpoint.literal ? (identity->flags & kCheckIPAddress) != 0
                                           : (identity->flags & kNoHostNameCheck) == 0;

    TLS(t, ERR_clear_error)();
    t->context = TLS(t, SSL_CTX_new)(TLS(t, TLS_client_method)());
    if (t->context) {
        TLS(t, SSL_CTX_ctrl)(t->context, SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr);
        // A close without close_notify reads as a close; the framing tells a cut answer.
        TLS(t, SSL_CTX_set_options)(t->context, SSL_OP_IGNORE_UNEXPECTED_EOF);
        if (identity->chain) {
            TLS(t, SSL_CTX_set_verify)(t->context, SSL_VERIFY_PEER, nullptr);
            VornVariable* directory = ConfigMember(config, "dir_ca");
            const char* path = directory ? vrVariable_Value(directory, nullptr) : nullptr;
            if (path && path[0])
                TLS(t, SSL_CTX_load_verify_locations)(t->context, nullptr, path);
            else
                TLS(t, SSL_CTX_set_default_verify_paths)(t->context);
        }
        TLS(t, ERR_clear_error)();
        t->connection = TLS(t, SSL_new)(t->context);
    }
    if (!t->connection) {
        Fail(t, "Error allocating an SSL handle: %.200s", Reason(t, errno));
        return false;
    }
    // Server Name Indication as the host sends it: for names, unless "ssl_sni" is 0.
    auto control = TLS(t, SSL_ctrl);
    if (!endpoint.literal && identity->sni != 0)
        control(t->connection, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                const_cast<char*>(endpoint.name));
    // OpenSSL 3 takes an IP address here as well.
    if (identity->chain && identity->checkName) TLS(t, SSL_set1_host)(t->connection, endpoint.name);
    return true;
}

// The client certificate and its key, both from the one key file.
bool ApplyClientKey(GatewayTransaction* t, BIO* keys) {
    TLS(t, ERR_clear_error)();
    t->certificate = TLS(t, PEM_read_bio_X509)(keys, nullptr, NoPassPhrase, nullptr);
    if (!t->certificate) {
        Fail(t, "Error reading certificate: %.200s", Reason(t, EINVAL));
        return false;
    }
    TLS(t, BIO_ctrl)(keys, BIO_CTRL_RESET, 0, nullptr);
    TLS(t, ERR_clear_error)();
    t->privateKey = TLS(t, PEM_read_bio_PrivateKey)(keys, nullptr, NoPassPhrase, nullptr);
    if (!t->privateKey) {
        Fail(t, "Error reading key: %.200s", Reason(t, EINVAL));
        return false;
    }
    TLS(t, ERR_clear_error)();
    if (TLS(t, SSL_use_certificate)(t->connection, t->certificate) != 1) {
        Fail(t, "Error applying certificate: %.200s", Reason(t, EINVAL));
        return false;
    }
    TLS(t, ERR_clear_error)();
    if (TLS(t, SSL_use_PrivateKey)(t->connection, t->privateKey) != 1) {
        Fail(t, "Error applying private key: %.200s", Reason(t, EINVAL));
        return false;
    }
    return true;
}

bool Handshake(GatewayTransaction* t, const Endpoint& endpoint, const Identity& identity, int64_t deadline) {
    TLS(t, SSL_set_fd)(t->connection, t->socket);
    int error = 0;
    int result = Drive(t, deadline, &error, [t] { return TLS(t, SSL_connect)(t->connection); });
    if (result != 1) {
        // A refused certificate says why in the verification result.
        long verification = identity.chain ? TLS(t, SSL_get_verify_result)(t->connection) : X509_V_OK;
        Fail(t, "Error establishing SSL connection to '%.100s': %.200s", t->host,
             verification != X509_V_OK ? TLS(t, X509_verify_cert_error_string)(verification)
                                       : Reason(t, error));
        return false;
    }
    if (identity.chain || !identity.checkName) return true;
    // Without the chain check OpenSSL checks no name either: the certificate's own.
    X509* peer = TLS(t, SSL_get1_peer_certificate)(t->connection);
    bool matches =
        peer && (endpoint.literal ? TLS(t, X509_check_ip_asc)(peer, endpoint.name, 0)
                                  : TLS(t, X509_check_host)(peer, endpoint.name, 0, 0, nullptr)) == 1;
    if (peer) TLS(t, X509_free)(peer);
    if (matches) return true;
    Fail(t, "Error establishing SSL connection to '%.100s': %.200s", t->host,
         TLS(t, X509_verify_cert_error_string)(endpoint.literal ? X509_V_ERR_IP_ADDRESS_MISMATCH
                                                                : X509_V_ERR_HOSTNAME_MISMATCH));
    return false;
}

bool Write(GatewayTransaction* t, const char* data, int32_t length, int64_t deadline, const char* what) {
    int error = 0;
    int result = Drive(t, deadline, &error,
                       [t, data, length] { return TLS(t, SSL_write)(t->connection, data, length); });
    if (result == length) return true;
    Fail(t, "%s '%.100s': %.200s", what, t->host, Reason(t, error));
    return false;
}

// --- Reading the answer ------------------------------------------------------------------

enum Phase { kHead, kBody, kChunkSize, kChunkEnd, kTrailer, kDone };

// The answer's bytes arrive at t->answer + t->answerLength; the body is
// decoded in place from the start of the buffer, behind the parse position.
struct Framing {
    Phase phase = kHead;
    Phase afterBody = kDone;
    bool toClose = false; // the body ends with the connection
    int64_t left = 0;     // bytes still to come of the body or the chunk
    int32_t scan = 0;     // the first byte not yet parsed
    int32_t body = 0;     // the end of the decoded body
};

// The next line from the parse position, without its LF (and CR); false
// when its end has not arrived.
bool NextLine(GatewayTransaction* t, Framing& f, const char** line, int32_t* length) {
    const char* start = t->answer + f.scan;
    const char* end = static_cast<const char*>(std::memchr(start, '\n', t->answerLength - f.scan));
    if (!end) return false;
    *line = start;
    *length = static_cast<int32_t>(end - start);
    if (*length > 0 && start[*length - 1] == '\r') --*length;
    f.scan = static_cast<int32_t>(end + 1 - t->answer);
    return true;
}

bool HeaderIs(const char* line, int32_t length, const char* name, const char** value, int32_t* valueLength) {
    size_t n = std::strlen(name);
    if (static_cast<size_t>(length) <= n || line[n] != ':' || strncasecmp(line, name, n) != 0) return false;
    int32_t at = static_cast<int32_t>(n) + 1;
    while (at < length && (line[at] == ' ' || line[at] == '\t'))
        ++at;
    int32_t end = length;
    while (end > at && (line[end - 1] == ' ' || line[end - 1] == '\t'))
        --end;
    *value = line + at;
    *valueLength = end - at;
    return true;
}

// The head from the start of the buffer: 1 read, 0 incomplete, -1 malformed.
int ReadHead(GatewayTransaction* t, Framing& f) {
    static const char kVersion[] = "HTTP/";
    int32_t prefix = t->answerLength < 5 ? t->answerLength : 5;
    if (std::memcmp(t->answer, kVersion, static_cast<size_t>(prefix)) != 0) {
        // No head: whatever comes up to the close is the answer.
        f.phase = kBody;
        f.toClose = true;
        return 1;
    }
    const char* line = nullptr;
    int32_t length = 0;
    f.scan = 0;
    if (!NextLine(t, f, &line, &length)) return 0;
    int64_t contentLength = -1;
    bool chunked = false;
    for (;;) {
        if (!NextLine(t, f, &line, &length)) return 0;
        if (length == 0) break;
        const char* value = nullptr;
        int32_t size = 0;
        if (HeaderIs(line, length, "Content-Length", &value, &size)) {
            int64_t parsed = 0;
            for (int32_t i = 0; i < size && parsed >= 0; ++i)
                parsed = value[i] >= '0' && value[i] <= '9' && parsed < INT64_MAX / 10 - 9
                             ? parsed * 10 + (value[i] - '0')
                             : -1;
            if (size == 0 || parsed < 0 || (contentLength >= 0 && contentLength != parsed)) {
                Fail(t, "Read error: Invalid Content-Length");
                return -1;
            }
            contentLength = parsed;
        } else if (HeaderIs(line, length, "Transfer-Encoding", &value, &size)) {
            chunked = size >= 7 && strncasecmp(value + size - 7, "chunked", 7) == 0;
        }
    }
    // The head is dropped: the body starts at the buffer's start.
    std::memmove(t->answer, t->answer + f.scan, static_cast<size_t>(t->answerLength - f.scan));
    t->answerLength -= f.scan;
    f.scan = 0;
    f.body = 0;
    if (chunked) {
        f.phase = kChunkSize;
    } else if (contentLength >= 0) {
        if (contentLength > kMaxAnswer) {
            Fail(t, "%s", kTooLarge);
            return -1;
        }
        f.phase = kBody;
        f.left = contentLength;
    } else {
        f.phase = kBody;
        f.toClose = true;
    }
    return 1;
}

// Parses what has arrived: 1 the answer is complete, 0 more is needed, -1
// failure with the error set.
int Parse(GatewayTransaction* t, Framing& f) {
    const char* line = nullptr;
    int32_t length = 0;
    for (;;) {
        switch (f.phase) {
        case kHead: {
            int read = ReadHead(t, f);
            if (read <= 0) return read;
            break;
        }
        case kBody: {
            int64_t available = t->answerLength - f.scan;
            int64_t n = f.toClose || available < f.left ? available : f.left;
            std::memmove(t->answer + f.body, t->answer + f.scan, static_cast<size_t>(n));
            f.body += static_cast<int32_t>(n);
            f.scan += static_cast<int32_t>(n);
            if (f.body > kMaxAnswer) {
                Fail(t, "%s", kTooLarge);
                return -1;
            }
            if (f.toClose) return 0;
            f.left -= n;
            if (f.left > 0) return 0;
            f.phase = f.afterBody;
            break;
        }
        case kChunkSize: {
            if (!NextLine(t, f, &line, &length)) return 0;
            // Hex digits (at most 15), blanks, then an extension after ';' or nothing.
            int64_t size = 0;
            int32_t i = 0;
            for (; i < length && i < 16 && std::isxdigit(static_cast<unsigned char>(line[i])); ++i)
                size = size * 16 + (line[i] <= '9' ? line[i] - '0' : (line[i] | 0x20) - 'a' + 10);
            int32_t digits = i;
            while (i < length && (line[i] == ' ' || line[i] == '\t'))
                ++i;
            if (digits == 0 || digits > 15 || (i < length && line[i] != ';')) {
                Fail(t, "Read error: Invalid chunk size");
                return -1;
            }
            if (size > kMaxAnswer) {
                Fail(t, "%s", kTooLarge);
                return -1;
            }
            f.left = size;
            f.afterBody = kChunkEnd;
            f.phase = size == 0 ? kTrailer : kBody;
            break;
        }
        case kChunkEnd:
            if (!NextLine(t, f, &line, &length)) return 0;
            if (length != 0) {
                Fail(t, "Read error: Invalid chunk");
                return -1;
            }
            f.phase = kChunkSize;
            break;
        case kTrailer:
            if (!NextLine(t, f, &line, &length)) return 0;
            if (length == 0) f.phase = kDone;
            break;
        case kDone:
            return 1;
        }
    }
}

bool MakeReadRoom(GatewayTransaction* t) {
    int64_t needed = static_cast<int64_t>(t->answerLength) + kReadStep;
    if (needed <= t->answerCapacity) return true;
    int64_t capacity = t->answerCapacity ? static_cast<int64_t>(t->answerCapacity) * 2 : 2 * kReadStep;
    if (capacity < needed) capacity = needed;
    auto* grown = static_cast<char*>(vrProgram_Allocate(t->program, capacity));
    if (!grown) return false;
    int32_t length = t->answerLength;
    if (length > 0) std::memcpy(grown, t->answer, static_cast<size_t>(length));
    FreeBlock(t, &t->answer, &t->answerCapacity, &t->answerLength);
    t->answer = grown;
    t->answerCapacity = static_cast<int32_t>(capacity);
    t->answerLength = length;
    return true;
}

// Reads the head, then the body by its length, its chunks or to the close.
bool ReadAnswer(GatewayTransaction* t, int64_t deadline) {
    Framing f;
    if (!MakeReadRoom(t)) {
        Fail(t, "Read error: Unable to allocate memory for the answer");
        return false;
    }
    for (;;) {
        int parsed = Parse(t, f);
        if (parsed < 0) return false;
        if (parsed > 0) break;
        // What is still unparsed moves down to the body's end.
        int32_t pending = t->answerLength - f.scan;
        std::memmove(t->answer + f.body, t->answer + f.scan, static_cast<size_t>(pending));
        t->answerLength = f.body + pending;
        f.scan = f.body;
        if (pending > kMaxPending) {
            Fail(t, "%s", kTooLarge);
            return false;
        }
        if (!MakeReadRoom(t)) {
            Fail(t, "Read error: Unable to allocate memory for the answer");
            return false;
        }
        int error = 0;
        int n = Drive(t, deadline, &error, [t] {
            return TLS(t, SSL_read)(t->connection, t->answer + t->answerLength, kReadStep);
        });
        if (n > 0) {
            t->answerLength += n;
        } else if (n == 0) {
            if (f.phase != kBody || !f.toClose) {
                Fail(t, "%s", kClosedEarly);
                return false;
            }
            break;
        } else if (n == kWaitFailed) {
            Fail(t, "Read error: %.200s", std::strerror(error));
            return false;
        } else {
            Fail(t, "%.200s", Reason(t, error));
            return false;
        }
    }
    t->answerLength = f.body;
    return true;
}

} // namespace

void ReleaseConnection(GatewayTransaction* t) {
    if (t->connection) TLS(t, SSL_free)(t->connection);
    if (t->context) TLS(t, SSL_CTX_free)(t->context);
    if (t->certificate) TLS(t, X509_free)(t->certificate);
    if (t->privateKey) TLS(t, EVP_PKEY_free)(t->privateKey);
    t->connection = nullptr;
    t->context = nullptr;
    t->certificate = nullptr;
    t->privateKey = nullptr;
    CloseSocket(t);
}

int32_t Exchange(GatewayTransaction* t) {
    ReleaseConnection(t);
    t->answerLength = 0;
    TLS(t, ERR_clear_error)();
    BIO* keys = TLS(t, BIO_new_mem_buf)(t->keyData, t->keyDataLength);
    if (!keys) return Fail(t, "Unable to create key data BIO");

    SigpipeBlock quiet;
    Endpoint endpoint{};
    Identity identity{};
    int64_t deadline =
        t->readTimeout > 0 ? NowMilliseconds() + static_cast<int64_t>(t->readTimeout) * 1000 : 0;
    bool done = LookUp(t, &endpoint) && Connect(t, endpoint, deadline) &&
                MakeConnection(t, endpoint, &identity) && ApplyClientKey(t, keys) &&
                Handshake(t, endpoint, identity, deadline);
    if (done) {
        char head[8192];
        const char* open = endpoint.ipv6Literal ? "[" : "";
        const char* shut = endpoint.ipv6Literal ? "]" : "";
        int length = std::snprintf(head, sizeof head,
                                   "POST /LSGSXML HTTP/1.1\nHost: %s%.100s%s:%d\nContent-Length: %d\n"
                                   "Content-Type: application/x-www-form-urlencoded\n\n",
                                   open, endpoint.name, shut, t->port, t->documentLength);
        done = Write(t, head, length, deadline, "Error writing header to") &&
               Write(t, t->document, t->documentLength, deadline, "Error writing to") &&
               ReadAnswer(t, deadline);
    }
    TLS(t, BIO_free)(keys);
    // The socket goes now; the TLS objects stay until the next exchange or cleanup.
    CloseSocket(t);
    if (!done) t->answerLength = 0;
    return done ? 0 : 1;
}

const char* FindElement(GatewayTransaction* t, const char* name, int32_t* length) {
    *length = 0;
    char open[32];
    char shut[32];
    int openLength = std::snprintf(open, sizeof open, "<%s>", name);
    int shutLength = std::snprintf(shut, sizeof shut, "</%s>", name);
    if (!t->answer || t->answerLength <= 0) return "";
    const char* end = t->answer + t->answerLength;
    auto* start = static_cast<const char*>(memmem(t->answer, t->answerLength, open, openLength));
    if (!start) return "";
    start += openLength;
    auto* stop = static_cast<const char*>(memmem(start, end - start, shut, shutLength));
    if (!stop) return "";
    *length = static_cast<int32_t>(stop - start);
    return start;
}

} // namespace vorn::gateway
