#include "server/Responder.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/Errors.h"
#include "platform/Modules.h"
#include "server/FastCgi.h"

namespace vorn::server {

namespace {

// How long the opening records of a request may take to arrive once the
// connection is open (a kept connection may idle as long as the web server
// keeps it).
constexpr int kHeadMilliseconds = 30000;
// Socket reads and writes of a request that stall longer fail.
constexpr int kStallSeconds = 60;
// Unread body left when a request ends: up to this much is read so that the
// connection can be kept; more, and it is closed.
constexpr int kDrainLimit = 64 * 1024;
// An answer goes out once this much of it is gathered, and at its end.
constexpr size_t kOutputFlush = 64 * 1024;
// How long a closing connection waits for the web server to close its end.
constexpr int kLingerMilliseconds = 2000;
// Requests served are taken from the socket once this much of them gathered
// (where the socket can look past them).
constexpr size_t kStaleLimit = 8 * 1024;

void SetTimeouts(int fd) {
    timeval limit{kStallSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

bool HasParam(const char* value) {
    return value && value[0];
}

} // namespace

// --- Extension ----------------------------------------------------------------------------------

bool Extension::Load(const char* path, std::string* error) {
    module = platform::LoadModule(path);
    if (!module) {
        if (error) *error = platform::LastErrorText() ? platform::LastErrorText() : "cannot load the extension";
        return false;
    }
    getVersion = reinterpret_cast<bool (*)(platform::IsapiVersionInfo*)>(
        platform::ModuleSymbol(module, "GetExtensionVersion"));
    httpProc = reinterpret_cast<uint32_t (*)(platform::IsapiControlBlock*)>(
        platform::ModuleSymbol(module, "HttpExtensionProc"));
    terminate = reinterpret_cast<bool (*)(uint32_t)>(platform::ModuleSymbol(module, "TerminateExtension"));
    if (getVersion && httpProc && terminate) return true;
    if (error) *error = std::string(path) + ": not an extension (an entry point is missing)";
    Unload();
    return false;
}

void Extension::Unload() {
    if (module) platform::UnloadModule(module);
    module = nullptr;
    getVersion = nullptr;
    httpProc = nullptr;
    terminate = nullptr;
}

// --- Connection ---------------------------------------------------------------------------------

struct Connection {
    enum State { Free, Waiting, InExtension };

    Responder* owner = nullptr;
    int fd = -1;
    platform::IsapiControlBlock block{};
    std::string allHttp;
    std::string metabasePath;
    std::string pathTranslated;
    std::string portSecure;
    std::string remoteHost;
    // The request's bytes as read from the socket, head first: a request is
    // served from the bytes the poller looked at, still in the socket
    // (head[0, looked) while lookedOnly); input goes on at inPos. Taking
    // bytes from the socket frees room on the web server's side, which wakes
    // it when it sleeps:
    // where the socket looks past what it holds (SO_PEEK_OFF), served
    // requests stay in it until some kilobytes gathered (stale), and are then
    // taken at once, one read and one such wake-up for many.
    unsigned char head[kMaxRequestHead];
    uint8_t preRead[Responder::kPreRead];
    size_t inPos = 0;
    size_t inEnd = 0;
    bool lookedOnly = false;
    bool peekPast = false;
    size_t stale = 0;
    size_t requestEnd = 0; // where the request ends in head, when known at its start
    size_t looked = 0;
    uint32_t recordLeft = 0;
    uint32_t paddingLeft = 0;
    bool skipping = false; // the record is another request's: passed over
    bool inputEnded = false;
    bool inputFailed = false;
    uint16_t requestId = 0;
    bool keepConnection = false;
    // The answer's records, written when full and at the request's end.
    std::string out;
    size_t recordAt = std::string::npos;
    bool outputFailed = false;
    std::string params;
    std::string paramText;
    std::string responseHead;
    std::vector<char*> environment;

    // Guards state and the request's end between the extension's worker and
    // the responder's threads.
    std::mutex mutex;
    State state = Free;
    bool headerSent = false;
    // Between requests: a kept connection waits without a deadline until its
    // next request begins; a new one, or one whose head came in part, must
    // bring the rest by the deadline.
    bool idle = false;
    bool waitingForMore = false;
    bool registered = false; // the descriptor is in the poll set
    std::chrono::steady_clock::time_point deadline;
    // Whose the connection is. It stays in the poll set (edge-triggered) from
    // its accept to its close; the poller looks at its events only while it
    // is Polled. An event while a request is served is only noted (Noticed),
    // and whoever ends the request then gives the connection back through
    // the poller's list (Returned) rather than quietly (Polled), so that
    // nothing that came meanwhile goes unseen.
    enum Turn : uint8_t { Unused, Polled, Served, Noticed, Returned };
    std::atomic<uint8_t> turn{Unused};
    // The poller's: the events noticed while it was served, the index in the
    // responder's list, and the accept it belongs to (events of a closed
    // connection may still be in the poller's hands when its slot is reused).
    uint32_t noticed = 0;
    uint32_t index = 0;
    uint32_t generation = 0;
    uint64_t Key() const { return static_cast<uint64_t>(generation) << 32 | index; }

    // The request's parameters by name length, read once per request: the
    // extension asks for some thirty of them.
    struct Param {
        size_t length;
        const char* name;
        const char* value;
    };
    std::vector<Param> paramIndex;
    bool allHttpMade = false;

    // A request begins: its head, checked, is among head[0, bytes).
    void Start(const RequestHeadInfo& info, size_t bytes) {
        requestId = info.id;
        keepConnection = info.keepConnection;
        inPos = info.paramsEnd;
        inEnd = bytes;
        lookedOnly = true;
        looked = bytes;
        requestEnd = info.requestEnd;
        recordLeft = paddingLeft = 0;
        skipping = inputEnded = inputFailed = false;
        out.clear();
        recordAt = std::string::npos;
        outputFailed = false;
        headerSent = false;
    }

    // "NAME=value" entries for the parameters, as a CGI environment.
    void IndexParams() {
        paramText.clear();
        AppendParamEntries(params, &paramText);
        environment.clear();
        paramIndex.clear();
        allHttpMade = false;
        for (size_t at = 0; at < paramText.size();) {
            char* entry = paramText.data() + at;
            size_t length = std::strlen(entry);
            environment.push_back(entry);
            const char* equals = static_cast<const char*>(std::memchr(entry, '=', length));
            if (equals) paramIndex.push_back({static_cast<size_t>(equals - entry), entry, equals + 1});
            at += length + 1;
        }
        environment.push_back(nullptr);
    }

    // The first parameter of that name; null when there is none.
    const char* Find(const char* name) const {
        size_t length = std::strlen(name);
        for (const Param& p : paramIndex)
            if (p.length == length && std::memcmp(p.name, name, length) == 0) return p.value;
        return nullptr;
    }

    // A name holding '=': the first entry that begins with it and an '='.
    const char* FindEntry(const char* name) const {
        size_t length = std::strlen(name);
        for (char* const* entry = environment.data(); *entry; ++entry)
            if (std::strncmp(name, *entry, length) == 0 && (*entry)[length] == '=') return *entry + length + 1;
        return nullptr;
    }

    const char* Variable(const char* name) {
        if (std::strcmp(name, "ALL_HTTP") == 0) {
            // Made when first asked: most requests never ask.
            if (!allHttpMade) AllHttp(environment.data(), &allHttp);
            allHttpMade = true;
            return allHttp.c_str();
        }
        if (std::strcmp(name, "APPL_MD_PATH") == 0) return metabasePath.c_str();
        if (std::strcmp(name, "PATH_TRANSLATED") == 0) return pathTranslated.c_str();
        if (std::strcmp(name, "SERVER_PORT_SECURE") == 0) return portSecure.c_str();
        if (std::strcmp(name, "REMOTE_HOST") == 0) return remoteHost.c_str();
        if (const char* value = Find(name)) return value;
        return std::strchr(name, '=') ? FindEntry(name) : nullptr;
    }

    // --- input ---

    // Reads count bytes from the socket, waiting for them.
    bool ReadExactly(unsigned char* to, size_t count) {
        for (size_t taken = 0; taken < count;) {
            ssize_t n = read(fd, to + taken, count - taken);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            taken += static_cast<size_t>(n);
        }
        return true;
    }

    // Reads and drops the served requests still in the socket.
    bool TakeStale() {
        unsigned char scratch[4096];
        for (; stale > 0; stale -= std::min(stale, sizeof scratch))
            if (!ReadExactly(scratch, std::min(stale, sizeof scratch))) return false;
        return true;
    }

    // The socket looks from the next request's start on.
    bool LookFromStale() {
        int offset = static_cast<int>(stale);
        return setsockopt(fd, SOL_SOCKET, SO_PEEK_OFF, &offset, sizeof offset) == 0;
    }

    // A request was served from the bytes looked at: its count of them are
    // done with.
    bool DoneWith(size_t count) {
        if (!peekPast) return TakeLooked(count);
        lookedOnly = false;
        stale += count;
        bool past = count == looked || LookFromStale();
        return past && (stale < kStaleLimit || TakeStale());
    }

    // Takes the bytes looked at from the socket, up to count of them.
    bool TakeLooked(size_t count) {
        if ((stale && !TakeStale()) || !ReadExactly(head, count)) return false;
        lookedOnly = false;
        return true;
    }

    // At least need bytes at inPos, reading no more from the socket than
    // most (never past the request's end).
    bool Have(size_t need, size_t most) {
        if (inEnd - inPos >= need) return true;
        if (lookedOnly && !TakeLooked(looked)) return false;
        if (sizeof head - inPos < most) {
            std::memmove(head, head + inPos, inEnd - inPos);
            inEnd -= inPos;
            inPos = 0;
        }
        size_t limit = std::min(sizeof head, inPos + most);
        while (inEnd - inPos < need) {
            ssize_t n = read(fd, head + inEnd, limit - inEnd);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            inEnd += static_cast<size_t>(n);
        }
        return true;
    }

    // Up to size bytes of the request's input: fewer only at its end or
    // before a failure; -1 when the connection failed or broke the protocol.
    int64_t ReadInput(char* buffer, size_t size) {
        size_t got = 0;
        while (got < size && !inputEnded && !inputFailed) {
            if (recordLeft > 0 || paddingLeft > 0) {
                // The record's rest, and the next record's header with it.
                if (!Have(1, size_t{recordLeft} + paddingLeft + kRecordHeader)) break;
                size_t available = inEnd - inPos;
                if (recordLeft > 0) {
                    size_t take = std::min<size_t>(recordLeft, available);
                    if (!skipping) {
                        take = std::min(take, size - got);
                        std::memcpy(buffer + got, head + inPos, take);
                        got += take;
                    }
                    inPos += take;
                    recordLeft -= static_cast<uint32_t>(take);
                } else {
                    size_t skip = std::min<size_t>(paddingLeft, available);
                    inPos += skip;
                    paddingLeft -= static_cast<uint32_t>(skip);
                }
                continue;
            }
            if (!Have(kRecordHeader, kRecordHeader)) break;
            const unsigned char* record = head + inPos;
            inPos += kRecordHeader;
            unsigned id = unsigned{record[2]} << 8 | record[3];
            recordLeft = uint32_t{record[4]} << 8 | record[5];
            paddingLeft = record[6];
            skipping = id != requestId;
            if (record[0] != kVersion || (!skipping && record[1] != kStdin)) {
                inputFailed = true; // an abort, or records out of order
                break;
            }
            if (!skipping && recordLeft == 0) {
                if (paddingLeft > 0 && !Have(paddingLeft, paddingLeft)) break;
                inPos += paddingLeft;
                paddingLeft = 0;
                inputEnded = true;
            }
        }
        if (got < size && !inputEnded) inputFailed = true;
        // What came before a failure is given first; the failure, next time.
        return got > 0 || !inputFailed ? static_cast<int64_t>(got) : -1;
    }

    // --- output ---

    void CloseRecord() {
        if (recordAt == std::string::npos) return;
        size_t length = out.size() - recordAt - kRecordHeader;
        out[recordAt + 4] = static_cast<char>(length >> 8);
        out[recordAt + 5] = static_cast<char>(length & 0xff);
        recordAt = std::string::npos;
    }

    bool Flush() {
        CloseRecord();
        for (size_t sent = 0; sent < out.size() && !outputFailed;) {
            ssize_t n = write(fd, out.data() + sent, out.size() - sent);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) outputFailed = true;
            else sent += static_cast<size_t>(n);
        }
        out.clear();
        return !outputFailed;
    }

    bool Put(const char* data, size_t length) {
        if (outputFailed) return false;
        while (length > 0) {
            if (recordAt == std::string::npos) {
                recordAt = out.size();
                AppendRecordHeader(&out, kStdout, requestId, 0);
            }
            size_t take = std::min(length, kMaxRecordContent - (out.size() - recordAt - kRecordHeader));
            out.append(data, take);
            data += take;
            length -= take;
            if (out.size() - recordAt - kRecordHeader == kMaxRecordContent) CloseRecord();
            if (out.size() >= kOutputFlush && !Flush()) return false;
        }
        return true;
    }

    // A plain answer of the responder's own.
    void Answer(const char* status) {
        std::string text = "Status: ";
        text.append(status).append("\r\nContent-Type: text/plain\r\n\r\n").append(status).append("\n");
        Put(text.data(), text.size());
        headerSent = true;
    }

    // Waits a while for the web server to close its end, so that what was
    // written is not lost to a reset, then closes.
    void CloseGracefully() {
        if (shutdown(fd, SHUT_WR) == 0) {
            char trash[1024];
            pollfd readable{fd, POLLIN, 0};
            while (poll(&readable, 1, kLingerMilliseconds) > 0 && read(fd, trash, sizeof trash) > 0) {
            }
        }
        close(fd);
        fd = -1;
    }

    // Ends the request; the connection stays open when the web server asked
    // for that and the request's input was read to its end.
    void Finish() {
        if (!inputEnded && !inputFailed) {
            char scratch[4096];
            for (int drained = 0; drained < kDrainLimit && !inputEnded;) {
                int64_t n = ReadInput(scratch, sizeof scratch);
                if (n <= 0) break;
                drained += static_cast<int>(n);
            }
        }
        CloseRecord();
        AppendRecordHeader(&out, kStdout, requestId, 0);
        AppendRecordHeader(&out, kEndRequest, requestId, 8);
        out.append(8, '\0'); // application status 0, request complete
        bool written = Flush();
        bool keep = keepConnection && inputEnded && written;
        // The request leaves the socket only now (see head).
        if (keep && lookedOnly) keep = DoneWith(inPos);
        if (!keep && fd >= 0) CloseGracefully();
    }

    // Ends the request the extension holds, if it still does: answered with
    // status when nothing was sent; false when it was ended already.
    bool EndInExtension(const char* status) {
        std::lock_guard<std::mutex> lock(mutex);
        if (state != InExtension) return false;
        if (!headerSent) Answer(status);
        Finish();
        state = Waiting;
        return true;
    }

    // Frees what a request left and forgets the connection (closed by the caller).
    void Forget() {
        fd = -1;
        out.clear();
        peekPast = false;
        stale = 0;
    }

    static Connection* Of(platform::IsapiConnection handle) { return static_cast<Connection*>(handle); }

    static bool GetServerVariable(platform::IsapiConnection handle, const char* name, void* buffer, size_t* size) {
        Connection* c = Of(handle);
        const char* value = name ? c->Variable(name) : nullptr;
        if (!value) {
            errno = ENOENT;
            return false;
        }
        size_t needed = std::strlen(value) + 1;
        if (!buffer || *size < needed) {
            *size = needed;
            errno = ERANGE;
            return false;
        }
        std::memcpy(buffer, value, needed);
        *size = needed;
        return true;
    }

    static bool ReadClient(platform::IsapiConnection handle, void* buffer, size_t* size) {
        Connection* c = Of(handle);
        int64_t n = c->ReadInput(static_cast<char*>(buffer), *size);
        if (n < 0) {
            errno = EIO;
            return false;
        }
        *size = static_cast<size_t>(n);
        return true;
    }

    static bool WriteClient(platform::IsapiConnection handle, const void* buffer, size_t* size, uint32_t) {
        Connection* c = Of(handle);
        // The body follows the head: bytes before it would be read as headers.
        if (!c->headerSent) {
            errno = EPROTO;
            return false;
        }
        if (!c->Put(static_cast<const char*>(buffer), *size)) {
            errno = EPIPE;
            return false;
        }
        return true;
    }

    static bool ServerSupportFunction(platform::IsapiConnection handle, uint32_t code, void* buffer, size_t*,
                                      void* dataType) {
        Connection* c = Of(handle);
        if (code == platform::kIsapiSendResponseHeader) {
            std::string& head = c->responseHead;
            if (c->headerSent || !BuildResponseHead(static_cast<const char*>(buffer),
                                                    static_cast<const char*>(dataType), &head)) {
                errno = EINVAL;
                return false;
            }
            c->headerSent = true;
            if (!c->Put(head.data(), head.size())) {
                errno = EPIPE;
                return false;
            }
            return true;
        }
        if (code == platform::kIsapiDoneWithSession) {
            if (!c->EndInExtension("500 Internal Server Error")) {
                errno = EINVAL;
                return false;
            }
            // The worker goes back to its queue at once: the connection waits
            // for its next request in the poll set, and nobody was woken.
            c->owner->AfterRequest(c);
            return true;
        }
        errno = EINVAL;
        return false;
    }
};

// --- Responder ---------------------------------------------------------------------------------

namespace {

// The poll set's keys of the descriptors that are not connections (those of
// connections are an accept's generation and an index).
constexpr uint64_t kListenKey = UINT64_MAX;
constexpr uint64_t kWakeKey = UINT64_MAX - 1;
constexpr uint64_t kReturnedKey = UINT64_MAX - 2;

} // namespace

Responder::Responder(Extension* ext, int socket, int32_t acceptors) : extension(ext), listenSocket(socket) {
    for (int32_t i = 0; i < (acceptors > 0 ? acceptors : 1); ++i) {
        auto connection = std::make_unique<Connection>();
        connection->owner = this;
        connection->index = static_cast<uint32_t>(i);
        idle.push_back(connection.get());
        connections.push_back(std::move(connection));
    }
}

Responder::~Responder() {
    Stop();
    for (int fd : wakeSocket)
        if (fd >= 0) close(fd);
    if (returnEvent >= 0) close(returnEvent);
    if (pollSet >= 0) close(pollSet);
}

bool Responder::Start(std::string* error) {
    auto fail = [error](const char* what) {
        if (error) *error = std::string(what) + ": " + std::strerror(errno);
        return false;
    };
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, wakeSocket) != 0) return fail("socketpair");
    pollSet = epoll_create1(EPOLL_CLOEXEC);
    if (pollSet < 0) return fail("epoll_create1");
    returnEvent = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (returnEvent < 0) return fail("eventfd");
    // Accepted in a loop until none is left: the listener must not block.
    int flags = fcntl(listenSocket, F_GETFL);
    if (flags < 0 || fcntl(listenSocket, F_SETFL, flags | O_NONBLOCK) != 0) return fail("fcntl");
    epoll_event wake{EPOLLIN, {}};
    wake.data.u64 = kWakeKey;
    epoll_event listen{EPOLLIN, {}};
    listen.data.u64 = kListenKey;
    epoll_event back{EPOLLIN, {}};
    back.data.u64 = kReturnedKey;
    if (epoll_ctl(pollSet, EPOLL_CTL_ADD, wakeSocket[1], &wake) != 0 ||
        epoll_ctl(pollSet, EPOLL_CTL_ADD, listenSocket, &listen) != 0 ||
        epoll_ctl(pollSet, EPOLL_CTL_ADD, returnEvent, &back) != 0)
        return fail("epoll_ctl");
    try {
        poller = std::thread(&Responder::Poller, this);
    } catch (const std::exception& failure) {
        if (error) *error = failure.what();
        return false;
    }
    return true;
}

bool Responder::Register(Connection* c) {
    // Edge-triggered: a request's end needs no call to watch the connection
    // again; what comes while it is served is noticed by the poller.
    epoll_event event{EPOLLIN | EPOLLRDHUP | EPOLLET, {}};
    event.data.u64 = c->Key();
    if (epoll_ctl(pollSet, EPOLL_CTL_ADD, c->fd, &event) != 0) return false;
    c->registered = true;
    return true;
}

void Responder::Hand(Connection* c, uint32_t events, size_t looked, size_t requestEnd) {
    // A hang-up that came with the request, or bytes of a next request that
    // were there already, will not be told again: the poller looks once the
    // request ended. (Bytes of a request whose end is still to come are all
    // its own.)
    bool again = (events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) || (requestEnd && looked > requestEnd);
    c->noticed = again ? events | EPOLLIN : 0;
    c->turn.store(again ? Connection::Noticed : Connection::Served, std::memory_order_release);
}

void Responder::TakeReturned() {
    uint64_t count;
    while (read(returnEvent, &count, sizeof count) < 0 && errno == EINTR) {
    }
    std::vector<Connection*> taken;
    {
        std::lock_guard<std::mutex> lock(returnedMutex);
        taken.swap(returned);
    }
    for (Connection* c : taken) {
        uint8_t turn = c->turn.load(std::memory_order_acquire);
        if (turn != Connection::Returned) continue;
        c->turn.store(Connection::Polled, std::memory_order_relaxed);
        uint32_t events = c->noticed;
        c->noticed = 0;
        Ready(c, events);
    }
}

void Responder::Close(Connection* c) {
    if (c->fd >= 0) close(c->fd); // leaves the poll set with it
    c->Forget();
    Release(c);
}

void Responder::Release(Connection* c) {
    c->registered = false;
    c->waitingForMore = false;
    {
        std::lock_guard<std::mutex> lock(c->mutex);
        c->state = Connection::Free;
    }
    c->turn.store(Connection::Unused, std::memory_order_release);
    std::lock_guard<std::mutex> lock(idleMutex);
    idle.push_back(c);
    if (listenPaused && !stopping.load(std::memory_order_acquire)) {
        // A connection came free: new ones are taken again.
        epoll_event listen{EPOLLIN, {}};
        listen.data.u64 = kListenKey;
        if (epoll_ctl(pollSet, EPOLL_CTL_MOD, listenSocket, &listen) == 0) listenPaused = false;
    }
}

void Responder::AfterRequest(Connection* c) {
    if (c->fd < 0) {
        Release(c); // closed as the request ended
        return;
    }
    c->idle = true;
    c->waitingForMore = false;
    // Nothing of the connection is touched once it is given back: the
    // poller may have it at once.
    uint8_t turn = Connection::Served;
    if (c->turn.compare_exchange_strong(turn, Connection::Polled, std::memory_order_acq_rel)) return;
    // Something came while it was served (Noticed).
    c->turn.store(Connection::Returned, std::memory_order_release);
    {
        std::lock_guard<std::mutex> lock(returnedMutex);
        returned.push_back(c);
    }
    uint64_t one = 1;
    while (write(returnEvent, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void Responder::AcceptAll() {
    for (;;) {
        Connection* c = nullptr;
        {
            std::lock_guard<std::mutex> lock(idleMutex);
            if (idle.empty()) {
                // Every connection is taken: the listener rests until one is free.
                epoll_event none{0, {}};
                none.data.u64 = kListenKey;
                if (epoll_ctl(pollSet, EPOLL_CTL_MOD, listenSocket, &none) == 0) listenPaused = true;
                return;
            }
            c = idle.back();
            idle.pop_back();
        }
        int fd = accept4(listenSocket, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            int error = errno;
            {
                std::lock_guard<std::mutex> lock(idleMutex);
                idle.push_back(c);
            }
            if (error == EINTR || error == ECONNABORTED) continue;
            if (error != EAGAIN && error != EWOULDBLOCK && !stopping.load(std::memory_order_acquire)) {
                // Out of descriptors and the like: let the others finish first.
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            return;
        }
        SetTimeouts(fd);
        int start = 0;
        c->peekPast = setsockopt(fd, SOL_SOCKET, SO_PEEK_OFF, &start, sizeof start) == 0;
        c->stale = 0;
        {
            std::lock_guard<std::mutex> lock(c->mutex);
            c->state = Connection::Waiting;
        }
        c->fd = fd;
        c->registered = false;
        c->idle = false;
        c->waitingForMore = false;
        c->noticed = 0;
        ++c->generation;
        c->turn.store(Connection::Polled, std::memory_order_relaxed);
        Time(c);
        if (!Register(c)) {
            Drop(c);
            continue;
        }
        // A new connection usually brings its request along.
        Ready(c, 0);
    }
}

void Responder::Time(Connection* c) {
    c->deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kHeadMilliseconds);
    timed.push_back(c);
}

void Responder::Untime(Connection* c) {
    auto found = std::find(timed.begin(), timed.end(), c);
    if (found != timed.end()) timed.erase(found);
}

void Responder::Drop(Connection* c) {
    Untime(c);
    if (c->registered && c->fd >= 0) epoll_ctl(pollSet, EPOLL_CTL_DEL, c->fd, nullptr);
    Close(c);
}

void Responder::Ready(Connection* c, uint32_t events) {
    if (c->waitingForMore && (events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR))) return Drop(c);
    ssize_t n = recv(c->fd, c->head, sizeof c->head, MSG_PEEK | MSG_DONTWAIT);
    if (n == 0) return Drop(c);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return; // still watched
        return Drop(c);
    }
    if (c->idle) {
        // The request has begun: from now on it has a deadline.
        c->idle = false;
        Time(c);
    }
    RequestHeadInfo info;
    switch (ReadRequestHead(c->head, static_cast<size_t>(n), &info, &c->params)) {
    case RequestHead::Complete:
        Hand(c, events, static_cast<size_t>(n), info.requestEnd);
        c->Start(info, static_cast<size_t>(n));
        return Begin(c, false);
    case RequestHead::NulParam:
        Hand(c, events, static_cast<size_t>(n), info.requestEnd);
        c->Start(info, static_cast<size_t>(n));
        return Begin(c, true);
    case RequestHead::Malformed:
        return Drop(c);
    case RequestHead::Incomplete:
        // The bytes are looked at again when more come, and soon in any case.
        if (c->peekPast && !c->LookFromStale()) return Drop(c);
        c->waitingForMore = true;
        return;
    }
}

void Responder::Begin(Connection* c, bool nulParam) {
    Untime(c);
    c->waitingForMore = false;
    if (nulParam) {
        c->Answer("400 Bad Request");
        c->Finish();
        return AfterRequest(c);
    }
    c->IndexParams();
    const char* length = c->Find("CONTENT_LENGTH");
    if (!c->requestEnd && length && length[0] && !(length[0] == '0' && length[1] == '\0')) {
        // Reading a body that is not all here may wait on its sender: a
        // thread of its own does that, and the poller goes on with the others.
        std::lock_guard<std::mutex> lock(lanesMutex);
        try {
            std::thread([this, c] {
                Serve(c);
                std::lock_guard<std::mutex> done(lanesMutex);
                if (--lanes == 0) lanesEnded.notify_all();
            }).detach();
            ++lanes;
            return;
        } catch (const std::exception&) {
            // No thread to be had: read it here.
        }
    }
    Serve(c);
}

int Responder::PollTimeout() const {
    // A head that came in part is looked at again soon; otherwise the
    // soonest deadline of a connection that has not sent its head wakes us.
    auto now = std::chrono::steady_clock::now();
    int64_t soonest = -1;
    for (Connection* c : timed) {
        if (c->waitingForMore) return 2;
        int64_t left = std::chrono::duration_cast<std::chrono::milliseconds>(c->deadline - now).count();
        if (left < 0) left = 0;
        if (soonest < 0 || left < soonest) soonest = left;
    }
    return soonest < 0 ? -1 : static_cast<int>(soonest + 1);
}

void Responder::CheckTimed() {
    auto now = std::chrono::steady_clock::now();
    for (size_t i = 0; i < timed.size();) {
        Connection* c = timed[i];
        if (now >= c->deadline) {
            Drop(c); // takes it off the list
            continue;
        }
        // A head that came in part is looked at again; one that is complete
        // or hopeless now takes the connection off the list.
        if (c->waitingForMore) Ready(c, 0);
        if (i < timed.size() && timed[i] == c) ++i;
    }
}

void Responder::Poller() {
    epoll_event events[64];
    for (;;) {
        int n = epoll_wait(pollSet, events, 64, PollTimeout());
        if (n < 0 && errno != EINTR) break;
        for (int i = 0; i < n; ++i) {
            uint64_t key = events[i].data.u64;
            if (key == kWakeKey) return;
            if (key == kListenKey) {
                if (!stopping.load(std::memory_order_acquire)) AcceptAll();
                continue;
            }
            if (key == kReturnedKey) {
                TakeReturned();
                continue;
            }
            uint32_t index = static_cast<uint32_t>(key);
            if (index >= connections.size()) continue;
            Connection* c = connections[index].get();
            if (c->generation != static_cast<uint32_t>(key >> 32)) continue; // of a connection since closed
            uint8_t turn = c->turn.load(std::memory_order_acquire);
            for (;;) {
                if (turn == Connection::Polled) {
                    Ready(c, events[i].events);
                    break;
                }
                if (turn == Connection::Served) {
                    c->noticed |= events[i].events;
                    if (c->turn.compare_exchange_weak(turn, Connection::Noticed, std::memory_order_acq_rel,
                                                      std::memory_order_acquire))
                        break;
                    continue; // given back meanwhile
                }
                // Noticed or Returned: looked at once given back; Unused: closed.
                if (turn != Connection::Unused) c->noticed |= events[i].events;
                break;
            }
        }
        if (!timed.empty()) CheckTimed();
    }
}

void Responder::Serve(Connection* c) {
    const char* metabase = c->Find("APPL_MD_PATH");
    c->metabasePath = HasParam(metabase) ? metabase : "/LM/W3SVC/1/ROOT";
    const char* translated = c->Find("PATH_TRANSLATED");
    if (HasParam(translated)) {
        c->pathTranslated = translated;
    } else {
        const char* root = c->Find("DOCUMENT_ROOT");
        const char* info = c->Find("PATH_INFO");
        c->pathTranslated.assign(root ? root : "");
        c->pathTranslated.append(info ? info : "");
    }
    const char* https = c->Find("HTTPS");
    c->portSecure = https && strcasecmp(https, "on") == 0 ? "1" : "0";
    const char* remoteHost = c->Find("REMOTE_HOST");
    const char* remoteAddress = c->Find("REMOTE_ADDR");
    c->remoteHost = HasParam(remoteHost) ? remoteHost : (remoteAddress ? remoteAddress : "");

    int64_t announced = 0;
    if (const char* length = c->Find("CONTENT_LENGTH")) {
        for (const char* p = length; *p >= '0' && *p <= '9' && announced <= INT32_MAX; ++p)
            announced = announced * 10 + (*p - '0');
    }
    int preRead = 0;
    if (announced > 0) {
        int wanted = announced < kPreRead ? static_cast<int>(announced) : kPreRead;
        int64_t n = c->ReadInput(reinterpret_cast<char*>(c->preRead), static_cast<size_t>(wanted));
        preRead = n < 0 ? 0 : static_cast<int>(n);
    }

    platform::IsapiControlBlock& block = c->block;
    block = platform::IsapiControlBlock{};
    block.size = sizeof block;
    block.connection = c;
    block.method = c->Find("REQUEST_METHOD");
    block.queryString = c->Find("QUERY_STRING");
    block.pathInfo = c->Find("PATH_INFO");
    block.pathTranslated = c->pathTranslated.c_str();
    block.contentType = c->Find("CONTENT_TYPE");
    block.totalBytes = static_cast<size_t>(announced);
    block.availableBytes = static_cast<size_t>(preRead);
    block.data = c->preRead;
    block.getServerVariable = &Connection::GetServerVariable;
    block.writeClient = &Connection::WriteClient;
    block.readClient = &Connection::ReadClient;
    block.serverSupportFunction = &Connection::ServerSupportFunction;

    if (stopping.load(std::memory_order_acquire)) {
        c->Answer("503 Service Unavailable");
        c->Finish();
        return AfterRequest(c);
    }
    {
        std::lock_guard<std::mutex> lock(c->mutex);
        c->state = Connection::InExtension;
    }
    uint32_t status = extension->httpProc(&block);
    if (status == platform::kIsapiStatusPending) return; // the worker ends it
    if (c->EndInExtension("500 Internal Server Error")) AfterRequest(c);
}

bool Responder::Stop() {
    if (stopping.exchange(true, std::memory_order_acq_rel)) return true;
    shutdown(listenSocket, SHUT_RD);                          // no more accepts
    if (wakeSocket[0] >= 0) shutdown(wakeSocket[0], SHUT_WR); // the poller ends
    if (poller.joinable()) poller.join();
    bool stopped = !extension || !extension->terminate || extension->terminate(0);
    if (!stopped) {
        // A worker still runs inside the extension: nothing it may touch is
        // released.
        return false;
    }
    {
        // Bodies still being read end with their requests.
        std::unique_lock<std::mutex> lock(lanesMutex);
        lanesEnded.wait(lock, [this] { return lanes == 0; });
    }
    // What the extension left open gets an answer; every connection closes.
    for (auto& connection : connections) {
        Connection* c = connection.get();
        c->EndInExtension("503 Service Unavailable");
        if (c->fd >= 0) close(c->fd);
        c->Forget();
    }
    return true;
}

} // namespace vorn::server
