#include "server/Responder.h"

#include <fcgiapp.h>
#include <fcntl.h>
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
// What libfcgi reads of a request at once: bytes beyond it that were waiting
// when the request was taken may still be in the socket when it ends.
constexpr ssize_t kLibFcgiRead = 8192;

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
    FCGX_Request request{};
    platform::IsapiControlBlock block{};
    std::string allHttp;
    std::string metabasePath;
    std::string pathTranslated;
    std::string portSecure;
    std::string remoteHost;
    unsigned char head[kMaxRequestHead];
    uint8_t preRead[Responder::kPreRead];

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
    std::vector<Param> params;
    bool allHttpMade = false;

    void IndexParams() {
        params.clear();
        allHttpMade = false;
        for (char** entry = request.envp; entry && *entry; ++entry) {
            const char* equals = std::strchr(*entry, '=');
            if (equals) params.push_back({static_cast<size_t>(equals - *entry), *entry, equals + 1});
        }
    }

    // The first parameter of that name, as FCGX_GetParam finds it; null when
    // there is none.
    const char* Find(const char* name) const {
        size_t length = std::strlen(name);
        for (const Param& p : params)
            if (p.length == length && std::memcmp(p.name, name, length) == 0) return p.value;
        return nullptr;
    }

    const char* Variable(const char* name) {
        if (std::strcmp(name, "ALL_HTTP") == 0) {
            // Made when first asked: most requests never ask.
            if (!allHttpMade) AllHttp(request.envp, &allHttp);
            allHttpMade = true;
            return allHttp.c_str();
        }
        if (std::strcmp(name, "APPL_MD_PATH") == 0) return metabasePath.c_str();
        if (std::strcmp(name, "PATH_TRANSLATED") == 0) return pathTranslated.c_str();
        if (std::strcmp(name, "SERVER_PORT_SECURE") == 0) return portSecure.c_str();
        if (std::strcmp(name, "REMOTE_HOST") == 0) return remoteHost.c_str();
        if (const char* value = Find(name)) return value;
        return std::strchr(name, '=') ? FCGX_GetParam(name, request.envp) : nullptr;
    }

    // A plain answer of the responder's own.
    void Answer(const char* status) {
        FCGX_FPrintF(request.out, "Status: %s\r\nContent-Type: text/plain\r\n\r\n%s\n", status, status);
        headerSent = true;
    }

    // Ends the request; the connection stays open when the web server asked
    // for that and the request's body was read to its end.
    void Finish() {
        if (request.in && FCGX_HasSeenEOF(request.in) != EOF) {
            char scratch[4096];
            for (int drained = 0; drained < kDrainLimit;) {
                int n = FCGX_GetStr(scratch, sizeof scratch, request.in);
                if (n <= 0) break;
                drained += n;
            }
            if (FCGX_HasSeenEOF(request.in) != EOF) request.keepConnection = 0;
        }
        // FCGX_Finish_r, but a kept connection keeps the request's streams
        // until the poller reads the next request and frees them: the thread
        // that made them, which the allocator serves much faster.
        int close = !request.keepConnection;
        if (request.in) {
            close |= FCGX_FClose(request.err);
            close |= FCGX_FClose(request.out);
            close |= FCGX_GetError(request.in);
        }
        if (close) FCGX_Free(&request, 1); // closes the connection too
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
        request.ipcFd = -1;
        FCGX_Free(&request, 0);
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
        int wanted = *size > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(*size);
        int n = FCGX_GetStr(static_cast<char*>(buffer), wanted, c->request.in);
        if (n < 0 || FCGX_GetError(c->request.in) != 0) {
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
        int wanted = *size > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(*size);
        int n = FCGX_PutStr(static_cast<const char*>(buffer), wanted, c->request.out);
        if (n < 0) {
            errno = EPIPE;
            return false;
        }
        *size = static_cast<size_t>(n);
        return true;
    }

    static bool ServerSupportFunction(platform::IsapiConnection handle, uint32_t code, void* buffer, size_t*,
                                      void* dataType) {
        Connection* c = Of(handle);
        if (code == platform::kIsapiSendResponseHeader) {
            std::string head;
            if (c->headerSent || !BuildResponseHead(static_cast<const char*>(buffer),
                                                    static_cast<const char*>(dataType), &head)) {
                errno = EINVAL;
                return false;
            }
            c->headerSent = true;
            if (FCGX_PutStr(head.data(), static_cast<int>(head.size()), c->request.out) < 0) {
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
        FCGX_InitRequest(&connection->request, -1, 0); // never accepts by itself
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
    if (epoll_ctl(pollSet, EPOLL_CTL_ADD, c->request.ipcFd, &event) != 0) return false;
    c->registered = true;
    return true;
}

void Responder::Hand(Connection* c, uint32_t events, ssize_t peeked) {
    // A hang-up that came with the request, or bytes beyond what libfcgi
    // reads at once, will not be told again: the poller looks once the
    // request ended.
    bool again = (events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) || peeked > kLibFcgiRead;
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
    if (c->request.ipcFd >= 0) close(c->request.ipcFd); // leaves the poll set with it
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
    if (c->request.ipcFd < 0) {
        Release(c); // libfcgi closed it
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
        {
            std::lock_guard<std::mutex> lock(c->mutex);
            c->state = Connection::Waiting;
        }
        c->request.ipcFd = fd;
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
    if (c->registered && c->request.ipcFd >= 0) epoll_ctl(pollSet, EPOLL_CTL_DEL, c->request.ipcFd, nullptr);
    Close(c);
}

void Responder::Ready(Connection* c, uint32_t events) {
    if (c->waitingForMore && (events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR))) return Drop(c);
    ssize_t n = recv(c->request.ipcFd, c->head, sizeof c->head, MSG_PEEK | MSG_DONTWAIT);
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
    switch (CheckRequestHead(c->head, static_cast<size_t>(n))) {
    case RequestHead::Complete:
        Hand(c, events, n);
        return Begin(c, false);
    case RequestHead::NulParam:
        Hand(c, events, n);
        return Begin(c, true);
    case RequestHead::Malformed:
        return Drop(c);
    case RequestHead::Incomplete:
        // The bytes are looked at again when more come, and soon in any case.
        c->waitingForMore = true;
        return;
    }
}

void Responder::Begin(Connection* c, bool nulParam) {
    Untime(c);
    c->waitingForMore = false;
    // libfcgi ends the previous request first and would close a
    // connection it was not told to keep.
    c->request.keepConnection = 1;
    if (FCGX_Accept_r(&c->request) < 0) {
        c->request.ipcFd = -1; // libfcgi closed the connection
        return Release(c);
    }
    c->headerSent = false;
    if (nulParam) {
        c->Answer("400 Bad Request");
        c->Finish();
        return AfterRequest(c);
    }
    c->IndexParams();
    const char* length = c->Find("CONTENT_LENGTH");
    if (length && length[0] && !(length[0] == '0' && length[1] == '\0')) {
        // Reading a body may wait on its sender: a thread of its own does
        // that, and the poller goes on with the others.
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
        preRead = FCGX_GetStr(reinterpret_cast<char*>(c->preRead), wanted, c->request.in);
        if (preRead < 0) preRead = 0;
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
        if (c->request.ipcFd >= 0) close(c->request.ipcFd);
        c->Forget();
    }
    return true;
}

} // namespace vorn::server
