#include "server/Responder.h"

#include <fcgiapp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

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

enum HeadResult { kHeadComplete, kHeadNul, kHeadClose, kHeadStop };

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
    enum State { Idle, InExtension, Done };

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

    std::mutex mutex;
    std::condition_variable changed;
    State state = Idle;
    bool headerSent = false;
    // Set by a worker that closed the connection while the acceptor may be
    // polling it (an eventfd; -1 when none could be made).
    int closedEvent = -1;

    ~Connection() {
        if (closedEvent >= 0) close(closedEvent);
    }

    const char* Variable(const char* name) {
        if (std::strcmp(name, "ALL_HTTP") == 0) return allHttp.c_str();
        if (std::strcmp(name, "APPL_MD_PATH") == 0) return metabasePath.c_str();
        if (std::strcmp(name, "PATH_TRANSLATED") == 0) return pathTranslated.c_str();
        if (std::strcmp(name, "SERVER_PORT_SECURE") == 0) return portSecure.c_str();
        if (std::strcmp(name, "REMOTE_HOST") == 0) return remoteHost.c_str();
        return FCGX_GetParam(name, request.envp);
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
        FCGX_Finish_r(&request);
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
            {
                std::lock_guard<std::mutex> lock(c->mutex);
                if (c->state != InExtension) {
                    errno = EINVAL;
                    return false;
                }
                if (!c->headerSent) c->Answer("500 Internal Server Error");
                c->Finish();
                c->state = Done;
                if (c->request.ipcFd < 0 && c->closedEvent >= 0) {
                    uint64_t one = 1;
                    ssize_t written = write(c->closedEvent, &one, sizeof one);
                    (void)written; // a counter already set wakes the poll as well
                }
            }
            // Woken after the lock is free, the acceptor does not wait for it
            // again. The connection outlives the responder's threads, so a
            // late notify only wakes a waiter that checks its state anew.
            c->changed.notify_all();
            return true;
        }
        errno = EINVAL;
        return false;
    }
};

// --- Responder ---------------------------------------------------------------------------------

Responder::Responder(Extension* ext, int socket, int32_t acceptors) : extension(ext), listenSocket(socket) {
    for (int32_t i = 0; i < (acceptors > 0 ? acceptors : 1); ++i) {
        auto connection = std::make_unique<Connection>();
        connection->owner = this;
        connection->closedEvent = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        FCGX_InitRequest(&connection->request, -1, 0); // never accepts by itself
        connections.push_back(std::move(connection));
    }
}

Responder::~Responder() {
    Stop();
    for (int fd : wakeSocket)
        if (fd >= 0) close(fd);
}

bool Responder::Start(std::string* error) {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, wakeSocket) != 0) {
        if (error) *error = std::string("socketpair: ") + std::strerror(errno);
        return false;
    }
    try {
        for (auto& connection : connections) threads.emplace_back(&Responder::Acceptor, this, connection.get());
    } catch (const std::exception& failure) {
        if (error) *error = failure.what();
        Stop();
        return false;
    }
    return true;
}

int Responder::AcceptOne() {
    // A blocking accept wakes one acceptor per connection; the stop shuts the
    // listener, which ends every accept waiting on it.
    for (;;) {
        int fd = accept4(listenSocket, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            SetTimeouts(fd);
            return fd;
        }
        if (stopping.load(std::memory_order_acquire)) return -1;
        if (errno != EINTR && errno != ECONNABORTED && errno != EAGAIN) {
            // Out of descriptors and the like: let the others finish first.
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
}

int Responder::WaitForHead(Connection* c, bool idle) {
    int fd = c->request.ipcFd;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kHeadMilliseconds);
    bool waitingForMore = false;
    bool polled = false;
    for (;;) {
        int timeout = -1;
        if (!idle) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                              std::chrono::steady_clock::now());
            if (left.count() <= 0) return kHeadClose;
            // Bytes already waiting keep the socket readable: while more are
            // awaited only a hang-up is watched, and the bytes looked at again soon.
            timeout = waitingForMore ? 2 : static_cast<int>(left.count());
        }
        if (!idle && !waitingForMore && !polled) {
            // A new connection usually brings its request along: no need to
            // wait for it.
            polled = true;
            ssize_t n = recv(fd, c->head, sizeof c->head, MSG_PEEK | MSG_DONTWAIT);
            if (n > 0 && CheckRequestHead(c->head, static_cast<size_t>(n)) == RequestHead::Complete)
                return kHeadComplete;
        }
        pollfd fds[2] = {{wakeSocket[1], POLLIN, 0},
                         {fd, static_cast<short>(waitingForMore ? POLLRDHUP : POLLIN), 0}};
        int ready = poll(fds, 2, timeout);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return kHeadClose;
        }
        if (fds[0].revents != 0) return kHeadStop;
        if (waitingForMore && (fds[1].revents & (POLLRDHUP | POLLHUP | POLLERR))) return kHeadClose;
        if (ready == 0 && !waitingForMore) continue;
        ssize_t n = recv(fd, c->head, sizeof c->head, MSG_PEEK | MSG_DONTWAIT);
        if (n == 0) return kHeadClose;
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
            return kHeadClose;
        }
        if (idle) {
            // The request has begun: from now on it has a deadline.
            idle = false;
            deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kHeadMilliseconds);
        }
        switch (CheckRequestHead(c->head, static_cast<size_t>(n))) {
        case RequestHead::Complete:
            return kHeadComplete;
        case RequestHead::NulParam:
            return kHeadNul;
        case RequestHead::Malformed:
            return kHeadClose;
        case RequestHead::Incomplete:
            waitingForMore = true;
            break;
        }
    }
}

void Responder::Acceptor(Connection* c) {
    for (;;) {
        if (stopping.load(std::memory_order_acquire)) break;
        bool kept = c->request.ipcFd >= 0;
        if (!kept) {
            int fd = AcceptOne();
            if (fd < 0) break;
            c->request.ipcFd = fd;
        }
        int head = WaitForHead(c, kept);
        if (head == kHeadStop) break;
        if (head == kHeadClose) {
            close(c->request.ipcFd);
            c->request.ipcFd = -1;
            continue;
        }
        // libfcgi ends the previous request first and would close a
        // connection it was not told to keep.
        c->request.keepConnection = 1;
        if (FCGX_Accept_r(&c->request) < 0) {
            // libfcgi closed the connection.
            c->request.ipcFd = -1;
            continue;
        }
        c->headerSent = false;
        if (head == kHeadNul) {
            c->Answer("400 Bad Request");
            c->Finish();
            continue;
        }
        Serve(c);
    }
    if (c->request.ipcFd >= 0) {
        close(c->request.ipcFd);
        c->request.ipcFd = -1;
    }
}

void Responder::Serve(Connection* c) {
    char** env = c->request.envp;
    c->allHttp = AllHttp(env);
    const char* metabase = FCGX_GetParam("APPL_MD_PATH", env);
    c->metabasePath = HasParam(metabase) ? metabase : "/LM/W3SVC/1/ROOT";
    const char* translated = FCGX_GetParam("PATH_TRANSLATED", env);
    if (HasParam(translated)) {
        c->pathTranslated = translated;
    } else {
        const char* root = FCGX_GetParam("DOCUMENT_ROOT", env);
        const char* info = FCGX_GetParam("PATH_INFO", env);
        c->pathTranslated = std::string(root ? root : "") + (info ? info : "");
    }
    const char* https = FCGX_GetParam("HTTPS", env);
    c->portSecure = https && strcasecmp(https, "on") == 0 ? "1" : "0";
    const char* remoteHost = FCGX_GetParam("REMOTE_HOST", env);
    const char* remoteAddress = FCGX_GetParam("REMOTE_ADDR", env);
    c->remoteHost = HasParam(remoteHost) ? remoteHost : (remoteAddress ? remoteAddress : "");

    int64_t announced = 0;
    if (const char* length = FCGX_GetParam("CONTENT_LENGTH", env)) {
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
    block.method = FCGX_GetParam("REQUEST_METHOD", env);
    block.queryString = FCGX_GetParam("QUERY_STRING", env);
    block.pathInfo = FCGX_GetParam("PATH_INFO", env);
    block.pathTranslated = c->pathTranslated.c_str();
    block.contentType = FCGX_GetParam("CONTENT_TYPE", env);
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
        return;
    }
    {
        std::lock_guard<std::mutex> lock(c->mutex);
        c->state = Connection::InExtension;
    }
    // A kept connection without a body is silent until the response has
    // ended: the acceptor then waits on the connection itself, so the worker
    // that ends the request need not wake it, and one wake-up serves both the
    // end and the next request. Anything else waits for the end as such.
    int fd = c->request.ipcFd;
    bool watch = announced == 0 && c->request.keepConnection && c->closedEvent >= 0;
    uint32_t status = extension->httpProc(&block);
    std::unique_lock<std::mutex> lock(c->mutex);
    if (status != platform::kIsapiStatusPending && c->state == Connection::InExtension) {
        if (!c->headerSent) c->Answer("500 Internal Server Error");
        c->Finish();
        c->state = Connection::Done;
    }
    if (watch && c->state != Connection::Done) {
        lock.unlock();
        // fd may be closed (and its number reused) by the worker meanwhile:
        // it is only polled, and the closed event ends that wait.
        pollfd fds[3] = {{wakeSocket[1], POLLIN, 0}, {fd, POLLIN | POLLRDHUP, 0}, {c->closedEvent, POLLIN, 0}};
        while (poll(fds, 3, -1) < 0 && errno == EINTR) {
        }
        uint64_t count = 0;
        ssize_t drained = read(c->closedEvent, &count, sizeof count);
        (void)drained;
        lock.lock();
    }
    c->changed.wait(lock, [c] { return c->state == Connection::Done; });
    c->state = Connection::Idle;
}

bool Responder::Stop() {
    if (stopping.exchange(true, std::memory_order_acq_rel)) return true;
    shutdown(listenSocket, SHUT_RD);                          // every accept ends
    if (wakeSocket[0] >= 0) shutdown(wakeSocket[0], SHUT_WR); // every poll on the other end wakes
    bool stopped = !extension || !extension->terminate || extension->terminate(0);
    if (!stopped) {
        // A worker still runs inside the extension: nothing it may touch is
        // released, and the threads waiting for it are left to the exit.
        for (std::thread& thread : threads) thread.detach();
        threads.clear();
        return false;
    }
    // What the extension left open gets an answer.
    for (auto& connection : connections) {
        std::lock_guard<std::mutex> lock(connection->mutex);
        if (connection->state != Connection::InExtension) continue;
        if (!connection->headerSent) connection->Answer("503 Service Unavailable");
        connection->Finish();
        connection->state = Connection::Done;
        connection->changed.notify_all();
    }
    for (std::thread& thread : threads) thread.join();
    threads.clear();
    return true;
}

} // namespace vorn::server
