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

// How long the opening records of a request may take to arrive, from the
// connection's open or from the first byte of a kept connection's next
// request (a kept connection idles as long as the web server keeps it).
constexpr int kHeadMilliseconds = 10000;
// Once every connection is taken and another waits, one that has brought no
// whole request for this long gives way (a web server sends its head at once).
constexpr int kHeadGraceMilliseconds = 20;
// Reads of a request's body on a thread that may wait, stalling longer, fail.
constexpr int kStallSeconds = 60;
// What the poller finishes for a request (its answer's rest, the input it
// left) is given up when the client takes or sends nothing for this long.
constexpr int kFinishMilliseconds = kStallSeconds * 1000;
// Unread body left when a request ends: up to this much is read so that the
// connection can be kept; more, and it is closed.
constexpr int kDrainLimit = 64 * 1024;
// An answer goes out once this much of it is gathered, and at its end.
constexpr size_t kOutputFlush = 64 * 1024;
// Output the client has not taken yet waits in memory up to this much (the
// poller sends the rest once the request ended); past it the script waits
// for the client, at most this long without progress.
constexpr size_t kUnsentAllowance = 8 << 20;
constexpr int kWriteStallMilliseconds = 10000;
// How long a closing connection waits for the web server to close its end.
constexpr int kLingerMilliseconds = 2000;
// Requests served are taken from the socket once this much of them gathered
// (where the socket can look past them).
constexpr size_t kStaleLimit = 8 * 1024;

// Set on the poller's thread, which never waits on a client.
thread_local bool onPoller = false;

void SetTimeouts(int fd) {
    timeval limit{kStallSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

bool HasParam(const char* value) {
    return value && value[0];
}

bool WouldBlock() {
    return errno == EAGAIN || errno == EWOULDBLOCK;
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
    size_t looked = 0;
    InputRecords input;
    std::string answers; // to records between the input's, before they join out
    bool readFailed = false;
    size_t drained = 0;
    uint16_t requestId = 0;
    bool keepConnection = false;
    // The answer's records, sent as they gather and at the request's end;
    // out[0, sent) went out already.
    std::string out;
    size_t sent = 0;
    size_t nextFlush = kOutputFlush;
    size_t recordAt = std::string::npos;
    bool outputFailed = false;
    uint64_t moved = 0; // bytes sent and read: progress of what the poller finishes
    std::string params;
    std::string paramText;
    std::string responseHead;
    std::vector<char*> environment;

    // Guards state and the request's end between the extension's worker and
    // the responder's threads.
    std::mutex mutex;
    State state = Free;
    bool headerSent = false;
    // Where the connection is between its requests. Head: it waits for the
    // next request's head (with a deadline once any of it came, or from its
    // accept; a kept one idles without). Finishing: the poller sends the rest
    // of an answer and takes the input the request left, without waiting on
    // the client. Lingering: closed on our side, the poller waits a while for
    // the client to close its end.
    enum Phase : uint8_t { Head, Finishing, Lingering };
    Phase phase = Head;
    bool keep = false;      // the request ended with its input: the connection serves a next one
    bool lookAgain = false; // bytes past the request were looked at: no new event tells of them
    bool watchingOutput = false;
    bool registered = false; // the descriptor is in the poll set
    // The poller's deadline lists (see Deadlines) hold it from timedOn.
    Deadlines* timedOn = nullptr;
    Connection* timedPrev = nullptr;
    Connection* timedNext = nullptr;
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

    // A request begins: its head, checked, is among head[0, bytes); out may
    // hold answers to records that came before it.
    void Start(const RequestHeadInfo& info, size_t bytes) {
        requestId = info.id;
        keepConnection = info.keepConnection;
        inPos = info.paramsEnd;
        inEnd = bytes;
        lookedOnly = true;
        looked = bytes;
        input.Begin(info.id, owner->maxConnections);
        answers.clear();
        readFailed = false;
        drained = 0;
        sent = 0;
        nextFlush = out.size() + kOutputFlush;
        recordAt = std::string::npos;
        outputFailed = false;
        headerSent = false;
        phase = Head;
        keep = lookAgain = false;
    }

    // The announced length of the body (0 when none is).
    int64_t Announced() const {
        int64_t announced = 0;
        if (const char* length = Find("CONTENT_LENGTH")) {
            for (const char* p = length; *p >= '0' && *p <= '9' && announced <= INT32_MAX; ++p)
                announced = announced * 10 + (*p - '0');
        }
        return announced;
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

    // Takes count bytes known to be in the socket (looked at before).
    bool TakeExactly(unsigned char* to, size_t count) {
        for (size_t taken = 0; taken < count;) {
            ssize_t n = recv(fd, to + taken, count - taken, MSG_DONTWAIT);
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
            if (!TakeExactly(scratch, std::min(stale, sizeof scratch))) return false;
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

    // Records at the start of the bytes looked at that are no request's:
    // count bytes of them are done with, and the socket looks past them.
    bool Pass(size_t count) {
        if (!peekPast) return TakeExactly(head, count);
        stale += count;
        return LookFromStale() && (stale < kStaleLimit || TakeStale());
    }

    // Takes the bytes looked at from the socket, up to count of them.
    bool TakeLooked(size_t count) {
        if ((stale && !TakeStale()) || !TakeExactly(head, count)) return false;
        lookedOnly = false;
        return true;
    }

    // At least need bytes at inPos, reading no more from the socket than
    // most (never past the request's end): 1, or 0 when they are not there
    // and may not be waited for, or -1 when the connection failed.
    int Have(size_t need, size_t most, bool wait) {
        if (inEnd - inPos >= need) return 1;
        if (lookedOnly && !TakeLooked(looked)) return -1;
        if (sizeof head - inPos < most) {
            std::memmove(head, head + inPos, inEnd - inPos);
            inEnd -= inPos;
            inPos = 0;
        }
        size_t limit = std::min(sizeof head, inPos + most);
        while (inEnd - inPos < need) {
            ssize_t n = recv(fd, head + inEnd, limit - inEnd, wait ? 0 : MSG_DONTWAIT);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && !wait && WouldBlock()) return 0;
            if (n <= 0) return -1;
            inEnd += static_cast<size_t>(n);
            moved += static_cast<size_t>(n);
        }
        return 1;
    }

    bool InputEnded() const { return input.State() == Input::Ended; }
    // Aborted, broken, or the connection failed.
    bool InputFailed() const { return readFailed || (input.State() != Input::Open && !InputEnded()); }
    // Input the request left that is still to be taken before the connection
    // can serve another (one that closes after it needs none).
    bool Draining() const { return keepConnection && Drainable(); }
    bool Drainable() const { return input.State() == Input::Open && !readFailed && drained < kDrainLimit; }

    // Up to size bytes of the request's input (buffer null: passed over):
    // fewer only at its end, before a failure, or (wait false) when no more
    // has come; -1 when the connection failed or broke the protocol.
    int64_t ReadInput(char* buffer, size_t size, bool wait) {
        size_t got = 0;
        while (input.State() == Input::Open && !readFailed) {
            size_t taken = 0;
            inPos += input.Consume(head + inPos, inEnd - inPos, buffer ? buffer + got : nullptr, size - got, &taken,
                                   &answers);
            got += taken;
            if (!answers.empty()) {
                CloseRecord();
                out += answers;
                answers.clear();
            }
            if (input.State() != Input::Open || got == size) break;
            int more = Have(input.Need(), input.Most(), wait);
            if (more < 0) readFailed = true;
            if (more <= 0) break;
        }
        // What came before a failure is given first; the failure, next time.
        return got > 0 || !InputFailed() ? static_cast<int64_t>(got) : -1;
    }

    // Takes (and drops) the input the request left, up to the limit.
    void Drain(bool wait) {
        while (Drainable()) {
            int64_t n = ReadInput(nullptr, static_cast<size_t>(kDrainLimit) - drained, wait);
            if (n <= 0) break;
            drained += static_cast<size_t>(n);
        }
    }

    // Reads and drops what the client sends (a closing connection): false
    // once it closed its end or failed.
    bool Discard() {
        char trash[4096];
        for (int reads = 0; reads < 16; ++reads) {
            ssize_t n = recv(fd, trash, sizeof trash, MSG_DONTWAIT);
            if (n > 0) continue;
            if (n < 0 && errno == EINTR) continue;
            return n < 0 && WouldBlock();
        }
        return true;
    }

    // --- output ---

    void CloseRecord() {
        if (recordAt == std::string::npos) return;
        size_t length = out.size() - recordAt - kRecordHeader;
        out[recordAt + 4] = static_cast<char>(length >> 8);
        out[recordAt + 5] = static_cast<char>(length & 0xff);
        recordAt = std::string::npos;
    }

    // Sends what the socket takes now; false when the connection failed.
    bool Send() {
        while (sent < out.size() && !outputFailed) {
            ssize_t n = send(fd, out.data() + sent, out.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) {
                sent += static_cast<size_t>(n);
                moved += static_cast<size_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && WouldBlock()) {
                break;
            } else {
                outputFailed = true;
            }
        }
        if (sent == out.size() || outputFailed) {
            DropOutput();
        } else if (sent >= kOutputFlush && sent >= out.size() / 2) {
            out.erase(0, sent);
            sent = 0;
        }
        return !outputFailed;
    }

    // Everything was sent (or cannot be): a large answer's room is given back.
    void DropOutput() {
        if (out.capacity() > 4 * kOutputFlush) std::string().swap(out);
        out.clear();
        sent = 0;
    }

    bool Unsent() const { return sent < out.size(); }

    // Sends what is gathered; a thread that may wait does when the client
    // leaves too much unread.
    bool Flush() {
        CloseRecord();
        Send();
        while (!outputFailed && !onPoller && out.size() - sent > kUnsentAllowance) {
            pollfd writable{fd, POLLOUT, 0};
            int ready = poll(&writable, 1, kWriteStallMilliseconds);
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) outputFailed = true; // the client takes nothing
            else Send();
        }
        nextFlush = out.size() + kOutputFlush;
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
            if (out.size() >= nextFlush && !Flush()) return false;
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

    void CloseNow() {
        close(fd);
        fd = -1;
        DropOutput();
    }

    // Ends the request without waiting on the client: the input it left is
    // taken as far as it has come, its end records (output false: the end
    // record alone) go out as far as the socket takes them. What is left
    // then is the poller's (phase Finishing), else the connection is settled.
    void Finish(bool output = true) {
        if (keepConnection) Drain(false);
        CloseRecord();
        if (output) AppendRecordHeader(&out, kStdout, requestId, 0);
        AppendEndRequest(&out, requestId, kRequestComplete);
        Send();
        keep = keepConnection && InputEnded() && !readFailed;
        phase = Finishing;
        if (!outputFailed && (Unsent() || Draining())) return;
        Settle();
    }

    // The answer is out (or cannot go) and the input done with: the
    // connection waits for its next request (phase Head), or is closed at
    // once (fd -1), or lingers for the poller (phase Lingering).
    void Settle() {
        if (outputFailed) return CloseNow();
        if (keep) {
            lookAgain = lookedOnly && inPos < looked;
            // The request leaves the socket only now (see head).
            if (lookedOnly && !DoneWith(inPos)) return CloseNow();
            phase = Head;
            return;
        }
        // Closed at once when the client sent all it had to and nothing of it
        // is left unread (no reset can cost it the answer); else the poller
        // waits for its close.
        shutdown(fd, SHUT_WR);
        phase = Lingering;
        if (!Discard() || InputEnded()) CloseNow();
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
        DropOutput();
        peekPast = false;
        stale = 0;
        phase = Head;
        watchingOutput = false;
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
        int64_t n = c->ReadInput(static_cast<char*>(buffer), *size, !onPoller);
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

constexpr uint32_t kHangUp = EPOLLRDHUP | EPOLLHUP | EPOLLERR;

} // namespace

Responder::Responder(Extension* ext, int socket, int32_t acceptors)
    : extension(ext), listenSocket(socket), maxConnections(static_cast<unsigned>(acceptors > 0 ? acceptors : 1)),
      heads{nullptr, nullptr, kHeadMilliseconds}, finishing{nullptr, nullptr, kFinishMilliseconds},
      lingering{nullptr, nullptr, kLingerMilliseconds} {
    for (unsigned i = 0; i < maxConnections; ++i) {
        auto connection = std::make_unique<Connection>();
        connection->owner = this;
        connection->index = i;
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

void Responder::Watch(Connection* c, bool output) {
    // Told when the socket takes more only while an answer waits for it:
    // otherwise each read by the web server would wake the poller.
    if (c->watchingOutput == output) return;
    epoll_event event{EPOLLIN | EPOLLRDHUP | EPOLLET | (output ? EPOLLOUT : 0u), {}};
    event.data.u64 = c->Key();
    if (epoll_ctl(pollSet, EPOLL_CTL_MOD, c->fd, &event) == 0) c->watchingOutput = output;
}

void Responder::Hand(Connection* c, uint32_t events) {
    // A hang-up that came with the request will not be told again: the
    // poller looks once the request ended.
    c->noticed = events & kHangUp ? events : 0;
    c->turn.store(c->noticed ? Connection::Noticed : Connection::Served, std::memory_order_release);
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
    {
        std::lock_guard<std::mutex> lock(c->mutex);
        c->state = Connection::Free;
    }
    c->turn.store(Connection::Unused, std::memory_order_release);
    std::lock_guard<std::mutex> lock(idleMutex);
    idle.push_back(c);
    Listen(); // a connection came free: new ones are taken again
}

void Responder::Listen() {
    if (!listenPaused || stopping.load(std::memory_order_acquire)) return;
    epoll_event listen{EPOLLIN, {}};
    listen.data.u64 = kListenKey;
    if (epoll_ctl(pollSet, EPOLL_CTL_MOD, listenSocket, &listen) == 0) listenPaused = false;
}

void Responder::AfterRequest(Connection* c) {
    if (c->fd < 0) {
        c->Forget();
        Release(c); // closed as the request ended
        return;
    }
    // Nothing of the connection is touched once it is given back: the
    // poller may have it at once. Bytes past the request that were looked at
    // already bring no event, nor does what the poller is to finish.
    if (c->phase == Connection::Head && !c->lookAgain) {
        uint8_t turn = Connection::Served;
        if (c->turn.compare_exchange_strong(turn, Connection::Polled, std::memory_order_acq_rel)) return;
    }
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
            if (!idle.empty()) {
                c = idle.back();
                idle.pop_back();
            }
        }
        if (!c) {
            if (MakeRoom()) continue;
            return;
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
        c->phase = Connection::Head;
        c->watchingOutput = false;
        c->noticed = 0;
        c->DropOutput();
        ++c->generation;
        c->turn.store(Connection::Polled, std::memory_order_relaxed);
        Time(c, heads);
        if (!Register(c)) {
            Drop(c);
            continue;
        }
        // A new connection usually brings its request along.
        Ready(c, 0);
    }
}

bool Responder::MakeRoom() {
    // Every connection is taken. If another waits to be accepted, one that
    // holds a connection without a request gives way: one lingering after
    // its answer, else the one whose head has been awaited longest, once it
    // had the grace a web server needs to send it.
    auto now = std::chrono::steady_clock::now();
    Connection* victim = lingering.first;
    auto since = [](Connection* c) { return c->deadline - std::chrono::milliseconds(kHeadMilliseconds); };
    if (!victim && heads.first && now >= since(heads.first) + std::chrono::milliseconds(kHeadGraceMilliseconds))
        victim = heads.first;
    if (victim) {
        pollfd waiting{listenSocket, POLLIN, 0};
        if (poll(&waiting, 1, 0) > 0) {
            Drop(victim);
            return true;
        }
        // Nobody waits: the listener tells when someone does.
        std::lock_guard<std::mutex> lock(idleMutex);
        Listen();
        return false;
    }
    std::lock_guard<std::mutex> lock(idleMutex);
    if (!idle.empty()) return true; // one came free meanwhile
    // The listener rests until a connection is free, or a head's grace is over.
    epoll_event none{0, {}};
    none.data.u64 = kListenKey;
    if (epoll_ctl(pollSet, EPOLL_CTL_MOD, listenSocket, &none) == 0) listenPaused = true;
    retryListen = heads.first != nullptr;
    if (retryListen) listenRetry = since(heads.first) + std::chrono::milliseconds(kHeadGraceMilliseconds);
    return false;
}

void Responder::Time(Connection* c, Deadlines& list) {
    // Each list has one span, so appending keeps it in deadline order.
    Untime(c);
    c->deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(list.milliseconds);
    c->timedOn = &list;
    c->timedPrev = list.last;
    c->timedNext = nullptr;
    (list.last ? list.last->timedNext : list.first) = c;
    list.last = c;
}

void Responder::Untime(Connection* c) {
    Deadlines* list = c->timedOn;
    if (!list) return;
    (c->timedPrev ? c->timedPrev->timedNext : list->first) = c->timedNext;
    (c->timedNext ? c->timedNext->timedPrev : list->last) = c->timedPrev;
    c->timedOn = nullptr;
    c->timedPrev = c->timedNext = nullptr;
}

void Responder::Drop(Connection* c) {
    Untime(c);
    if (c->registered && c->fd >= 0) epoll_ctl(pollSet, EPOLL_CTL_DEL, c->fd, nullptr);
    Close(c);
}

void Responder::Ready(Connection* c, uint32_t events) {
    if (c->phase == Connection::Finishing) return Progress(c);
    if (c->phase == Connection::Lingering) return Linger(c);
    // The bytes first: a hang-up that came with a whole request leaves it
    // to be answered.
    bool hungUp = (events & kHangUp) != 0;
    for (;;) {
        ssize_t n = recv(c->fd, c->head, sizeof c->head, MSG_PEEK | MSG_DONTWAIT);
        if (n == 0) return Leave(c);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (!WouldBlock()) return Drop(c);
            return Wait(c, hungUp, false);
        }
        size_t looked = static_cast<size_t>(n);
        size_t answered = c->out.size();
        RequestHeadInfo info;
        RequestHead head = ReadRequestHead(c->head, looked, maxConnections, &info, &c->params, &c->out);
        switch (head) {
        case RequestHead::Record:
            if (!c->Pass(info.paramsEnd)) return Drop(c);
            if (!info.keepConnection) return Refuse(c);
            continue; // what follows it
        case RequestHead::Malformed:
            return Drop(c);
        case RequestHead::Incomplete:
            // Answers to records among a head are given once it is whole.
            c->out.resize(answered);
            return Wait(c, hungUp, true);
        case RequestHead::NulParam:
            Untime(c);
            Hand(c, events);
            c->Start(info, looked);
            c->Answer("400 Bad Request");
            c->Finish();
            return AfterRequest(c);
        case RequestHead::Complete:
            break;
        }
        c->IndexParams();
        int64_t announced = c->Announced();
        // A request without a body is served once its input ended, so that
        // one whose input breaks is never run: until then it waits here (a
        // hang-up or a full buffer ends the wait).
        if (info.input == Input::Open && announced == 0 && !hungUp && looked < sizeof c->head) {
            c->out.resize(answered);
            return Wait(c, false, true);
        }
        Untime(c);
        Hand(c, events);
        c->Start(info, looked);
        if (info.input == Input::Aborted || info.input == Input::Broken) return EndUnserved(c, info.input);
        if (info.input == Input::Open && announced > 0) return ServeAside(c);
        return Serve(c);
    }
}

void Responder::Wait(Connection* c, bool hungUp, bool partial) {
    // A head that can no longer complete is closed at once.
    if (hungUp) return Leave(c);
    // The bytes looked at stay in the socket: the next look starts before them.
    if (partial && c->peekPast && !c->LookFromStale()) return Drop(c);
    if (c->Unsent()) {
        // Answers to records that came alone: a client that does not take
        // them is not served.
        c->Send();
        if (c->Unsent() || c->outputFailed) return Drop(c);
    }
    // The rest is told by the edge-triggered socket; the deadline runs from
    // the head's first byte (or the accept).
    if (partial && !c->timedOn) Time(c, heads);
}

void Responder::Leave(Connection* c) {
    // The client is done sending: what was answered goes out before the close.
    c->Send();
    Drop(c);
}

void Responder::Refuse(Connection* c) {
    // A request turned away that asked to close the connection: its answer,
    // then the close.
    c->Send();
    if (c->Unsent() || c->outputFailed) return Drop(c);
    Untime(c);
    shutdown(c->fd, SHUT_WR);
    c->phase = Connection::Lingering;
    Linger(c);
}

void Responder::EndUnserved(Connection* c, Input input) {
    // Its input broke before the request ran: it never does. The web server
    // that aborted it is told that it ended; anything else broke the records.
    if (input == Input::Aborted) {
        c->Finish(false);
    } else {
        c->Answer("400 Bad Request");
        c->Finish();
    }
    AfterRequest(c);
}

void Responder::ServeAside(Connection* c) {
    // Reading a body that is not all here may wait on its sender: a thread of
    // its own does that, and the poller goes on with the others.
    {
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
            // No thread to be had: the poller reads what is here, and no more.
        }
    }
    Serve(c);
}

void Responder::Progress(Connection* c) {
    uint64_t moved = c->moved;
    c->Send();
    if (c->Draining()) c->Drain(false);
    if (!c->outputFailed && (c->Unsent() || c->Draining())) {
        Watch(c, c->Unsent());
        if (c->moved != moved || c->timedOn != &finishing) Time(c, finishing);
        return;
    }
    Watch(c, false);
    c->Settle();
    if (c->fd < 0) {
        Untime(c);
        c->Forget();
        return Release(c);
    }
    if (c->phase == Connection::Lingering) return Linger(c);
    // Kept: it waits for its next request, which may be here already.
    Untime(c);
    Ready(c, 0);
}

void Responder::Linger(Connection* c) {
    if (!c->Discard()) return Drop(c);
    if (c->timedOn != &lingering) Time(c, lingering);
}

int Responder::PollTimeout() const {
    // Only the soonest deadline wakes the poller.
    auto soonest = std::chrono::steady_clock::time_point::max();
    for (const Deadlines* list : {&heads, &finishing, &lingering})
        if (list->first) soonest = std::min(soonest, list->first->deadline);
    if (retryListen) soonest = std::min(soonest, listenRetry);
    if (soonest == std::chrono::steady_clock::time_point::max()) return -1;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(soonest - std::chrono::steady_clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(std::min<int64_t>(left, INT32_MAX));
}

void Responder::CheckTimed() {
    auto now = std::chrono::steady_clock::now();
    for (Deadlines* list : {&heads, &finishing, &lingering})
        while (list->first && list->first->deadline <= now) Drop(list->first);
    if (retryListen && listenRetry <= now) {
        retryListen = false;
        if (!stopping.load(std::memory_order_acquire)) AcceptAll();
    }
}

void Responder::Poller() {
    onPoller = true;
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
        if (heads.first || finishing.first || lingering.first || retryListen) CheckTimed();
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

    int64_t announced = c->Announced();
    int preRead = 0;
    if (announced > 0) {
        // The poller reads only what it looked at (it never waits).
        bool wait = !onPoller;
        int wanted = announced < kPreRead ? static_cast<int>(announced) : kPreRead;
        int64_t n = c->ReadInput(reinterpret_cast<char*>(c->preRead), static_cast<size_t>(wanted), wait);
        preRead = n < 0 ? 0 : static_cast<int>(n);
        // A body that fits is read to its input's end before the request runs:
        // one that breaks never runs.
        if (announced <= kPreRead && preRead == announced) c->Drain(wait);
        if (c->InputFailed()) return EndUnserved(c, c->input.State());
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
