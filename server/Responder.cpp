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
// Once every connection is taken and another waits, one that has brought no
// whole request for this long gives way (a web server sends its head at once).
constexpr int kHeadGraceMilliseconds = 20;
// What the poller finishes for a request (its answer's rest, the input it
// left) is given up when the client takes or sends nothing for this long.
constexpr int kFinishMilliseconds = ClientSocket::kStallSeconds * 1000;
// How long a closing connection waits for the web server to close its end.
constexpr int kLingerMilliseconds = 2000;

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
      heads{nullptr, nullptr, kHeadMilliseconds}, finishing{nullptr, nullptr, kFinishMilliseconds},
      lingering{nullptr, nullptr, kLingerMilliseconds} {
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
    if (!listenPaused || stopping.load(std::memory_order_acquire)) return;
    epoll_event listen{EPOLLIN, {}};
    listen.data.u64 = kListenKey;
    if (epoll_ctl(pollSet, EPOLL_CTL_MOD, listenSocket, &listen) == 0) listenPaused = false;
}

void Responder::AfterRequest(Connection* c) {
    if (c->Descriptor() < 0) {
        c->Forget();
        Release(c); // closed as the request ended
        return;
    }
    // Nothing of the connection is touched once it is given back: the
    // poller may have it at once. Bytes past the request that were peeked at
    // already bring no event, nor does what the poller is to finish.
    if (c->phase == Connection::Head && !c->peekedNext) {
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
        c->socket.Open(fd);
        c->registered = false;
        c->phase = Connection::Head;
        c->watchingOutput = false;
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

bool Responder::MakeRoom() {
    // Every connection is taken. If another waits to be accepted, one that
    // holds a connection without a request gives way: one lingering after
    // its answer, else the one whose head has been awaited longest, once it
    // had the grace a web server needs to send it.
    auto now = std::chrono::steady_clock::now();
    Connection* victim = lingering.first;
    auto since = [](Connection* c) { return c->deadline.at - std::chrono::milliseconds(kHeadMilliseconds); };
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

void Responder::SetDeadline(Connection* c, DeadlineList& list) {
    // Each list has one span, so appending keeps it in deadline order.
    ClearDeadline(c);
    Deadline& d = c->deadline;
    d.at = std::chrono::steady_clock::now() + std::chrono::milliseconds(list.milliseconds);
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
    if (c->registered && c->Descriptor() >= 0) epoll_ctl(pollSet, EPOLL_CTL_DEL, c->Descriptor(), nullptr);
    Close(c);
}

void Responder::Ready(Connection* c, uint32_t events) {
    if (c->phase == Connection::Finishing) return Progress(c);
    if (c->phase == Connection::Lingering) return Linger(c);
    // The bytes first: a hang-up that came with a whole request leaves it
    // to be answered.
    bool hungUp = (events & kHangUp) != 0;
    unsigned char* bytes = c->stream.Buffer();
    for (;;) {
        ssize_t n = c->socket.Peek(bytes, RecordStream::kCapacity);
        if (n == 0) return Leave(c);
        if (n < 0) return WouldBlock() ? Wait(c, hungUp, false) : Drop(c);
        size_t peeked = static_cast<size_t>(n);
        RequestHeadInfo info;
        // Answers to records among a head are given once it is whole.
        std::string replies;
        RequestHead head = ReadRequestHead(bytes, peeked, maxConnections, &info, c->variables.Params(), &replies);
        switch (head) {
        case RequestHead::Record:
            c->stream.Append(replies);
            if (!c->socket.Skip(bytes, info.paramsEnd)) return Drop(c);
            if (!info.keepConnection) return Refuse(c);
            continue; // what follows it
        case RequestHead::Malformed:
            return Drop(c);
        case RequestHead::Incomplete:
            return Wait(c, hungUp, true);
        case RequestHead::BadParams:
            c->stream.Append(replies);
            ClearDeadline(c);
            MarkServed(c, events);
            c->Start(info, peeked);
            c->Answer("400 Bad Request");
            c->Finish();
            return AfterRequest(c);
        case RequestHead::Complete:
            break;
        }
        // A request without a body is served once its input ended, so that
        // one whose input breaks is never run: until then it waits here (a
        // hang-up or a full buffer ends the wait).
        if (info.input == Input::Open && info.contentLength == 0 && !hungUp && peeked < RecordStream::kCapacity)
            return Wait(c, false, true);
        c->stream.Append(replies);
        c->variables.Index();
        ClearDeadline(c);
        MarkServed(c, events);
        c->Start(info, peeked);
        if (info.input == Input::Aborted || info.input == Input::Broken) return EndUnserved(c, info.input);
        if (info.input == Input::Open && info.contentLength > 0) return ServeAside(c);
        return Serve(c);
    }
}

void Responder::Wait(Connection* c, bool hungUp, bool partial) {
    // A head that can no longer complete is closed at once.
    if (hungUp) return Leave(c);
    // The bytes peeked at stay in the socket: the next peek starts at them.
    if (partial && !c->socket.PeekAgain()) return Drop(c);
    if (c->Unsent()) {
        // Answers to records that came alone: a client that does not take
        // them is not served.
        c->Send();
        if (c->Unsent() || c->outputFailed) return Drop(c);
    }
    // The rest is told by the edge-triggered socket; the deadline runs from
    // the head's first byte (or the accept).
    if (partial && !c->deadline.list) SetDeadline(c, heads);
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

void Responder::ServeAside(Connection* c) {
    // Reading a body that is not all here may wait on its sender: a thread of
    // its own does that, and the poller goes on with the others.
    {
        std::lock_guard<std::mutex> lock(bodyThreadsMutex);
        try {
            std::thread([this, c] {
                Serve(c);
                std::lock_guard<std::mutex> done(bodyThreadsMutex);
                if (--bodyThreads == 0) bodyThreadsEnded.notify_all();
            }).detach();
            ++bodyThreads;
            return;
        } catch (const std::exception&) {
            // No thread to be had: the poller reads what is here, and no more.
        }
    }
    Serve(c);
}

void Responder::Progress(Connection* c) {
    uint64_t moved = c->socket.Moved();
    c->Send();
    if (c->Draining()) c->Drain(false);
    if (!c->outputFailed && (c->Unsent() || c->Draining())) {
        Watch(c, c->Unsent());
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
}

int Responder::PollTimeout() const {
    // Only the soonest deadline wakes the poller.
    auto soonest = std::chrono::steady_clock::time_point::max();
    for (const DeadlineList* list : {&heads, &finishing, &lingering})
        if (list->first) soonest = std::min(soonest, list->first->deadline.at);
    if (retryListen) soonest = std::min(soonest, listenRetry);
    if (soonest == std::chrono::steady_clock::time_point::max()) return -1;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(soonest - std::chrono::steady_clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(std::min<int64_t>(left, INT32_MAX));
}

void Responder::ExpireDeadlines() {
    auto now = std::chrono::steady_clock::now();
    for (DeadlineList* list : {&heads, &finishing, &lingering})
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
        if (heads.first || finishing.first || lingering.first || retryListen) ExpireDeadlines();
    }
}

void Responder::Serve(Connection* c) {
    c->variables.Derive();
    size_t announced = c->stream.ContentLength();
    size_t preRead = 0;
    if (announced > 0) {
        // The poller reads only what it peeked at (it never waits).
        bool wait = !onPoller;
        size_t wanted = std::min(announced, static_cast<size_t>(kPreRead));
        int64_t n = c->ReadInput(reinterpret_cast<char*>(c->preRead), wanted, wait);
        preRead = n < 0 ? 0 : static_cast<size_t>(n);
        // A body that fits is read to its input's end before the request runs:
        // one that breaks never runs.
        if (announced <= kPreRead && preRead == announced) c->Drain(wait);
        if (c->InputFailed()) return EndUnserved(c, c->stream.State());
    }

    platform::ISAPIControlBlock& block = c->block;
    block = platform::ISAPIControlBlock{};
    block.size = sizeof block;
    block.connection = c;
    c->variables.Fill(&block, announced);
    block.availableBytes = preRead;
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
    {
        // Bodies still being read end with their requests.
        std::unique_lock<std::mutex> lock(bodyThreadsMutex);
        bodyThreadsEnded.wait(lock, [this] { return bodyThreads == 0; });
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
