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
#include "server/Connection.h"

namespace vorn::server {

namespace {

// How long the opening records of a request may take to arrive, from the
// connection's open or from the first byte of a kept connection's next
// request (a kept connection idles as long as the web server keeps it).
constexpr int kHeadMilliseconds = 10000;
// A body is given up when none of it comes for this long.
constexpr int kBodyMilliseconds = ClientSocket::kStallSeconds * 1000;
// Once every connection is taken and another waits, one that has waited
// this long for what a request needs gives way (a web server sends a
// request's bytes at once).
constexpr int kGraceMilliseconds = 20;
// What the poller finishes for a request (its answer's rest) is given up
// when the client takes nothing for this long.
constexpr int kFinishMilliseconds = ClientSocket::kStallSeconds * 1000;
// How long a closing connection waits for the web server to close its end.
constexpr int kLingerMilliseconds = 2000;
// What one turn of a connection takes from its socket before the others
// have theirs.
constexpr size_t kTurnBytes = 256 * 1024;
// Answers to records that are no request's that the client leaves untaken:
// past this much the connection is closed.
constexpr size_t kAnswerAllowance = 64 * 1024;
// When accept finds no descriptor free and no connection gives way, the
// listener rests this long; while it rests for want of a free connection,
// it tries again at least this often.
constexpr int kDescriptorRetryMilliseconds = 100;
constexpr int kPausedRetryMilliseconds = 1000;
// Descriptors left for what requests open (scripts, tables, lock files,
// sockets, bodies kept in files) beside the connections.
constexpr uint64_t kReservedDescriptors = 128;

} // namespace

// --- Extension ----------------------------------------------------------------------------------

bool Extension::Load(const char* path, std::string* error) {
    module = platform::LoadModule(path);
    if (!module) {
        if (error) *error = platform::LastErrorText() ? platform::LastErrorText() : "cannot load the extension";
        return false;
    }
    getVersion = reinterpret_cast<bool (*)(platform::ISAPIVersionInfo*)>(
        platform::ModuleSymbol(module, "GetExtensionVersion"));
    httpProc = reinterpret_cast<uint32_t (*)(platform::ISAPIControlBlock*)>(
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

// --- Responder ---------------------------------------------------------------------------------

namespace {

// The poll set's keys of the descriptors that are not connections (those of
// connections are an accept's generation and an index).
constexpr uint64_t kListenKey = UINT64_MAX;
constexpr uint64_t kWakeKey = UINT64_MAX - 1;
constexpr uint64_t kReturnedKey = UINT64_MAX - 2;

constexpr uint32_t kHangUp = EPOLLRDHUP | EPOLLHUP | EPOLLERR;

using Owner = Connection::Owner;

} // namespace

Responder::Responder(Extension* ext, int socket, int32_t acceptors)
    : extension(ext), listenSocket(socket), maxConnections(static_cast<unsigned>(acceptors > 0 ? acceptors : 1)),
      heads{nullptr, nullptr, kHeadMilliseconds}, bodies{nullptr, nullptr, kBodyMilliseconds},
      finishing{nullptr, nullptr, kFinishMilliseconds}, lingering{nullptr, nullptr, kLingerMilliseconds} {
    for (unsigned i = 0; i < maxConnections; ++i) {
        auto connection = std::make_unique<Connection>();
        connection->responder = this;
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

int32_t Responder::AcceptorsWithin(int32_t asked, uint64_t openFileLimit) {
    uint64_t room = openFileLimit > kReservedDescriptors ? openFileLimit - kReservedDescriptors : 1;
    return static_cast<int32_t>(std::max<uint64_t>(1, std::min<uint64_t>(static_cast<uint64_t>(asked), room)));
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
    if (epoll_ctl(pollSet, EPOLL_CTL_ADD, c->Descriptor(), &event) != 0) return false;
    c->registered = true;
    return true;
}

void Responder::Watch(Connection* c, bool output) {
    // Told when the socket takes more only while an answer waits for it:
    // otherwise each read by the web server would wake the poller.
    if (c->watchingOutput == output) return;
    epoll_event event{EPOLLIN | EPOLLRDHUP | EPOLLET | (output ? EPOLLOUT : 0u), {}};
    event.data.u64 = c->Key();
    if (epoll_ctl(pollSet, EPOLL_CTL_MOD, c->Descriptor(), &event) == 0) c->watchingOutput = output;
}

void Responder::MarkServed(Connection* c, uint32_t events) {
    c->posted = false;
    // A hang-up that came with the request will not be told again: the
    // poller looks once the request ended.
    c->noticed = events & kHangUp ? events : 0;
    c->owner.store(c->noticed ? Owner::ServedNoticed : Owner::Served, std::memory_order_release);
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
        if (c->owner.load(std::memory_order_acquire) != Owner::Returned) continue;
        c->owner.store(Owner::Poller, std::memory_order_relaxed);
        uint32_t events = c->noticed;
        c->noticed = 0;
        Ready(c, events);
    }
}

void Responder::Close(Connection* c) {
    c->Forget(); // the descriptor leaves the poll set as it is closed
    Release(c);
}

void Responder::Release(Connection* c) {
    c->registered = false;
    {
        std::lock_guard<std::mutex> lock(c->mutex);
        c->inExtension = false;
    }
    c->owner.store(Owner::None, std::memory_order_release);
    std::lock_guard<std::mutex> lock(idleMutex);
    idle.push_back(c);
    Listen(); // a connection came free: new ones are taken again
}

void Responder::Listen() {
    if (!listenPaused.load(std::memory_order_relaxed) || stopping.load(std::memory_order_acquire)) return;
    epoll_event listen{EPOLLIN, {}};
    listen.data.u64 = kListenKey;
    if (epoll_ctl(pollSet, EPOLL_CTL_MOD, listenSocket, &listen) == 0)
        listenPaused.store(false, std::memory_order_release);
}

void Responder::AfterRequest(Connection* c) {
    if (c->Descriptor() < 0) {
        c->Forget();
        Release(c); // closed as the request ended
        return;
    }
    // Nothing of the connection is touched once it is given back: the
    // poller may have it at once. Bytes past the request that were peeked at
    // or taken already bring no event, nor does what the poller is to
    // finish; and while the listener rests the poller must know of a
    // connection that could give way.
    if (c->phase == Connection::Head && !c->peekedNext && !listenPaused.load(std::memory_order_acquire)) {
        Owner served = Owner::Served;
        if (c->owner.compare_exchange_strong(served, Owner::Poller, std::memory_order_acq_rel)) return;
    }
    c->owner.store(Owner::Returned, std::memory_order_release);
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
            if (MakeRoom(false)) continue;
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
            if (error == EAGAIN || error == EWOULDBLOCK || stopping.load(std::memory_order_acquire)) return;
            // Out of descriptors and the like: a connection that is not being
            // answered gives way, else the listener rests a while (a
            // level-triggered listener would be told again at once).
            auto now = std::chrono::steady_clock::now();
            auto retry = now + std::chrono::milliseconds(kDescriptorRetryMilliseconds);
            if (Connection* victim = Yielding(now, &retry)) {
                Drop(victim);
                continue;
            }
            std::lock_guard<std::mutex> lock(idleMutex);
            Pause(std::min(retry, now + std::chrono::milliseconds(kDescriptorRetryMilliseconds)));
            return;
        }
        c->socket.Open(fd);
        // Nothing of the slot's last connection carries over: a failed
        // output there would close this one at its first look.
        c->outputFailed = c->readFailed = false;
        c->registered = false;
        c->phase = Connection::Head;
        c->head.Reset();
        c->buffered = 0;
        c->watchingOutput = false;
        c->posted = false;
        c->noticed = 0;
        c->stream.DropOutput();
        ++c->generation;
        c->owner.store(Owner::Poller, std::memory_order_relaxed);
        SetDeadline(c, heads);
        if (!Register(c)) {
            Drop(c);
            continue;
        }
        // A new connection usually brings its request along.
        Ready(c, 0);
    }
}

Connection* Responder::Yielding(std::chrono::steady_clock::time_point now,
                                std::chrono::steady_clock::time_point* retry) {
    // Only when every connection is taken: a look at each is cheap beside
    // what a new connection waits for, and an idle kept connection, given
    // back by a worker without a word, is on no list of the poller's.
    Connection* oldest = nullptr;
    for (auto& connection : connections) {
        Connection* c = connection.get();
        if (c->owner.load(std::memory_order_acquire) != Owner::Poller) continue;
        if (c->phase == Connection::Lingering) return c; // its answer is out
        if ((c->phase == Connection::Head || c->phase == Connection::Body) && (!oldest || c->since < oldest->since))
            oldest = c;
    }
    if (!oldest) return nullptr;
    auto after = oldest->since + std::chrono::milliseconds(kGraceMilliseconds);
    if (now >= after) return oldest;
    *retry = std::min(*retry, after);
    return nullptr;
}

bool Responder::MakeRoom(bool someoneWaits) {
    auto now = std::chrono::steady_clock::now();
    auto retry = now + std::chrono::milliseconds(kPausedRetryMilliseconds);
    if (Connection* victim = Yielding(now, &retry)) {
        if (!someoneWaits) {
            pollfd waiting{listenSocket, POLLIN, 0};
            someoneWaits = poll(&waiting, 1, 0) > 0;
        }
        if (someoneWaits) {
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
    Pause(retry);
    return false;
}

void Responder::Pause(std::chrono::steady_clock::time_point retry) {
    // idleMutex held: a connection that comes free resumes the listener.
    if (!listenPaused.load(std::memory_order_relaxed)) {
        epoll_event none{0, {}};
        none.data.u64 = kListenKey;
        if (epoll_ctl(pollSet, EPOLL_CTL_MOD, listenSocket, &none) != 0) return;
        listenPaused.store(true, std::memory_order_release);
    }
    if (!retryListen || retry < listenRetry) listenRetry = retry;
    retryListen = true;
}

void Responder::Candidate(Connection* c) {
    if (!listenPaused.load(std::memory_order_acquire)) return;
    auto at = c->phase == Connection::Lingering ? std::chrono::steady_clock::now()
                                                 : c->since + std::chrono::milliseconds(kGraceMilliseconds);
    if (!retryListen || at < listenRetry) listenRetry = at;
    retryListen = true;
}

void Responder::SetDeadline(Connection* c, DeadlineList& list) {
    // Each list has one span, so appending keeps it in deadline order.
    ClearDeadline(c);
    Deadline& d = c->deadline;
    c->since = std::chrono::steady_clock::now();
    d.at = c->since + std::chrono::milliseconds(list.milliseconds);
    d.list = &list;
    d.earlier = list.last;
    d.later = nullptr;
    (list.last ? list.last->deadline.later : list.first) = c;
    list.last = c;
}

void Responder::ClearDeadline(Connection* c) {
    Deadline& d = c->deadline;
    if (!d.list) return;
    (d.earlier ? d.earlier->deadline.later : d.list->first) = d.later;
    (d.later ? d.later->deadline.earlier : d.list->last) = d.earlier;
    d.list = nullptr;
    d.earlier = d.later = nullptr;
}

void Responder::Drop(Connection* c) {
    ClearDeadline(c);
    c->posted = false;
    if (c->registered && c->Descriptor() >= 0) epoll_ctl(pollSet, EPOLL_CTL_DEL, c->Descriptor(), nullptr);
    Close(c);
}

void Responder::Post(Connection* c) {
    if (c->posted) return;
    c->posted = true;
    posted.push_back(c);
}

void Responder::RunPosted() {
    turn.swap(posted);
    for (Connection* c : turn) {
        if (!c->posted) continue; // closed, or served, meanwhile
        c->posted = false;
        if (c->owner.load(std::memory_order_acquire) == Owner::Poller) Ready(c, 0);
    }
    turn.clear();
}

void Responder::Ready(Connection* c, uint32_t events) {
    switch (c->phase) {
    case Connection::Finishing: return Progress(c);
    case Connection::Lingering: return Linger(c);
    case Connection::Body: return ReadBody(c, events);
    case Connection::Head: return ReadHead(c, events);
    }
}

bool Responder::SendAnswers(Connection* c) {
    if (c->Unsent()) c->Send();
    // A client that leaves them untaken is not read on for long.
    if (c->outputFailed || c->stream.UnsentLength() > kAnswerAllowance) {
        Drop(c);
        return false;
    }
    Watch(c, c->Unsent());
    return true;
}

void Responder::ReadHead(Connection* c, uint32_t events) {
    // The bytes first: a hang-up that came with a whole request leaves it
    // to be answered.
    bool hungUp = (events & kHangUp) != 0;
    unsigned char* bytes = c->stream.Buffer();
    size_t budget = kTurnBytes;
    for (;;) {
        // A head that came whole is served from the bytes peeked at: they
        // leave the socket with its answer. Any other is taken as it comes
        // and read on from where it stopped.
        bool peeked = c->buffered == 0;
        size_t length = c->buffered;
        if (peeked) {
            ssize_t n = c->socket.Peek(bytes, RecordStream::kCapacity);
            if (n == 0) return Leave(c);
            if (n < 0) return WouldBlock() ? WaitHead(c, hungUp) : Drop(c);
            length = static_cast<size_t>(n);
        }
        RequestHeadInfo info;
        RequestHead head = c->head.Parse(bytes, length, maxConnections, &info, c->variables.Params(), &c->replies);
        if (!c->replies.empty()) {
            c->stream.Append(c->replies);
            c->replies.clear();
        }
        switch (head) {
        case RequestHead::Record: {
            // A run of records of no request: answered, and passed over.
            size_t run = info.paramsEnd;
            bool passed = peeked ? c->socket.Skip(bytes, run) : true;
            if (!passed) return Drop(c);
            if (!peeked) {
                std::memmove(bytes, bytes + run, length - run);
                c->buffered = length - run;
            }
            c->head.Reset();
            if (!info.keepConnection) return Refuse(c);
            if (!SendAnswers(c)) return;
            if (budget <= run) return Post(c);
            budget -= run;
            continue;
        }
        case RequestHead::Malformed:
            return Drop(c);
        case RequestHead::Incomplete: {
            // Taken from the socket: the next bytes are read after them.
            if (peeked && !c->socket.Take(bytes, length)) return Drop(c);
            c->buffered = length;
            if (budget == 0) return Post(c);
            ssize_t n = c->socket.Receive(bytes + length, RecordStream::kCapacity - length);
            if (n < 0) return Leave(c); // its end closed: the head can no longer complete
            if (n == 0) return WaitHead(c, hungUp);
            c->buffered += static_cast<size_t>(n);
            budget -= std::min(budget, static_cast<size_t>(n));
            continue;
        }
        case RequestHead::BadParams:
            ClearDeadline(c);
            MarkServed(c, events);
            c->Start(info, length, peeked);
            c->Answer("400 Bad Request");
            c->Finish();
            return AfterRequest(c);
        case RequestHead::Complete:
            break;
        }
        ClearDeadline(c);
        c->Start(info, length, peeked);
        c->phase = Connection::Body;
        return ReadBody(c, events);
    }
}

void Responder::WaitHead(Connection* c, bool hungUp) {
    // A head that can no longer complete is closed at once.
    if (hungUp) return Leave(c);
    if (!SendAnswers(c)) return;
    // The rest is told by the edge-triggered socket; the deadline runs from
    // the head's first byte (or the accept), and an idle kept connection has
    // none.
    if (c->buffered > 0 && !c->deadline.list) SetDeadline(c, heads);
    Candidate(c);
}

void Responder::ReadBody(Connection* c, uint32_t events) {
    size_t budget = kTurnBytes;
    uint64_t moved = c->socket.Moved();
    int gathered = c->Gather(&budget);
    if (gathered != -1 && !SendAnswers(c)) return;
    if (gathered == 0) {
        if (budget == 0) return Post(c);
        // A body that stalls holds its connection until its deadline, or
        // until it gives way: never a worker.
        if (c->socket.Moved() != moved || c->deadline.list != &bodies) SetDeadline(c, bodies);
        return Candidate(c);
    }
    ClearDeadline(c);
    MarkServed(c, events);
    if (gathered == -2) {
        // The body could not be kept (no file could be written).
        c->readFailed = true;
        c->Answer("503 Service Unavailable");
        c->Finish();
        return AfterRequest(c);
    }
    // A client that closed its end before its input ended gets its refusal.
    if (gathered == -1) return EndUnserved(c, Input::Broken);
    Input input = c->stream.State();
    if (input == Input::Aborted || input == Input::Broken) return EndUnserved(c, input);
    return Serve(c);
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
    ClearDeadline(c);
    c->socket.ShutdownOutput();
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

void Responder::Progress(Connection* c) {
    uint64_t moved = c->socket.Moved();
    c->Send();
    if (!c->outputFailed && c->Unsent()) {
        Watch(c, true);
        if (c->socket.Moved() != moved || c->deadline.list != &finishing) SetDeadline(c, finishing);
        return;
    }
    Watch(c, false);
    c->Settle();
    if (c->Descriptor() < 0) {
        ClearDeadline(c);
        c->Forget();
        return Release(c);
    }
    if (c->phase == Connection::Lingering) return Linger(c);
    // Kept: it waits for its next request, which may be here already.
    ClearDeadline(c);
    Ready(c, 0);
}

void Responder::Linger(Connection* c) {
    if (!c->socket.Discard()) return Drop(c);
    if (c->deadline.list != &lingering) SetDeadline(c, lingering);
    Candidate(c);
}

int Responder::PollTimeout() const {
    // Only the soonest deadline wakes the poller.
    auto soonest = std::chrono::steady_clock::time_point::max();
    for (const DeadlineList* list : {&heads, &bodies, &finishing, &lingering})
        if (list->first) soonest = std::min(soonest, list->first->deadline.at);
    if (retryListen) soonest = std::min(soonest, listenRetry);
    if (soonest == std::chrono::steady_clock::time_point::max()) return -1;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(soonest - std::chrono::steady_clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(std::min<int64_t>(left, INT32_MAX));
}

void Responder::ExpireDeadlines() {
    auto now = std::chrono::steady_clock::now();
    for (DeadlineList* list : {&heads, &bodies, &finishing, &lingering})
        while (list->first && list->first->deadline.at <= now) Drop(list->first);
    if (retryListen && listenRetry <= now) {
        retryListen = false;
        if (!stopping.load(std::memory_order_acquire)) AcceptAll();
    }
}

void Responder::Poller() {
    onPoller = true;
    epoll_event events[64];
    for (;;) {
        // Connections whose turn ended with bytes left are come back to at
        // once, after the others' events.
        int n = epoll_wait(pollSet, events, 64, posted.empty() ? PollTimeout() : 0);
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
            Owner owner = c->owner.load(std::memory_order_acquire);
            for (;;) {
                if (owner == Owner::Poller) {
                    Ready(c, events[i].events);
                    break;
                }
                if (owner == Owner::Served) {
                    c->noticed |= events[i].events;
                    if (c->owner.compare_exchange_weak(owner, Owner::ServedNoticed, std::memory_order_acq_rel,
                                                       std::memory_order_acquire))
                        break;
                    continue; // given back meanwhile
                }
                // Noticed or returned: looked at once given back; None: closed.
                if (owner != Owner::None) c->noticed |= events[i].events;
                break;
            }
        }
        if (!posted.empty()) RunPosted();
        if (heads.first || bodies.first || finishing.first || lingering.first || retryListen) ExpireDeadlines();
    }
}

void Responder::Serve(Connection* c) {
    c->variables.Derive();
    platform::ISAPIControlBlock& block = c->block;
    block = platform::ISAPIControlBlock{};
    block.size = sizeof block;
    block.connection = c;
    c->variables.Fill(&block, c->stream.ContentLength());
    // The body came whole: its first bytes go with the request, the rest is
    // read from where they end.
    size_t handed = std::min(c->body.FrontSize(), static_cast<size_t>(kPreRead));
    block.availableBytes = handed;
    block.data = c->body.Front();
    c->body.Skip(handed);
    block.getServerVariable = &Connection::GetServerVariable;
    block.writeClient = &Connection::WriteClient;
    block.readClient = &Connection::ReadClient;
    block.serverSupportFunction = &Connection::ServerSupportFunction;
    // The variables are the connection's own until the request ends: lent, not copied.
    block.serverVariableText = &Connection::ServerVariableText;
    block.requestHeader = &Connection::RequestHeader;

    if (stopping.load(std::memory_order_acquire)) {
        c->Answer("503 Service Unavailable");
        c->Finish();
        return AfterRequest(c);
    }
    {
        std::lock_guard<std::mutex> lock(c->mutex);
        c->inExtension = true;
    }
    uint32_t status = extension->httpProc(&block);
    if (status == platform::kISAPIStatusPending) return; // the worker ends it
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
    // What the extension left open gets an answer; every connection closes.
    for (auto& connection : connections) {
        Connection* c = connection.get();
        c->EndInExtension("503 Service Unavailable");
        c->Forget();
    }
    return true;
}

} // namespace vorn::server
