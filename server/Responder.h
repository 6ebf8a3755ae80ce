// The FastCGI responder that stands in for the web server: it loads the
// extension, accepts the web server's connections, checks each request's
// opening records, maps the request to a control block and hands it to the
// extension, whose workers answer through the block's callbacks.
//
// One poller thread watches the listener and every open connection (kept
// ones included), reads each request's head and gathers its body, and hands
// the request to the extension once its input is all here, so that a script
// never waits on its sender; the extension's worker that ends a request gives
// its connection back to the poll set, so neither waits for the other. The
// connections (acceptors) bound the connections open at once, and so the
// requests in flight.
//
// The poller never waits on a client, and a worker does not once the
// script's answer is written: what is left of a request then (the answer's
// rest, a close that waits for the client's) is finished by the poller as
// the socket allows, each with a deadline. Each connection gets a bounded
// turn: one that keeps sending is come back to after the others. A
// connection that is not being answered gives way to a new one when all
// are taken.
//
// The records of a request are read and its answer's records written by
// the responder (libfcgi only opens the listening socket): the records are
// RecordStream's (FastCgi.h), the variables CgiVariables', the socket
// ClientSocket's, serving a request on a connection Connection's; here are
// the poller, the hand-off of connections between it and the threads that
// serve requests, and the deadlines.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

#include "platform/ISAPI.h"
#include "server/FastCgi.h"

namespace vorn::server {

struct Extension {
    void* module = nullptr;
    bool (*getVersion)(platform::ISAPIVersionInfo*) = nullptr;
    uint32_t (*httpProc)(platform::ISAPIControlBlock*) = nullptr;
    bool (*terminate)(uint32_t) = nullptr;

    // Loads the library and finds its three entry points; false with the
    // loader's message in *error.
    bool Load(const char* path, std::string* error);
    void Unload();
};

struct Connection;

// Connections with a deadline, soonest first: each list has one span, so a
// connection given a deadline anew goes last.
struct DeadlineList {
    Connection* first = nullptr;
    Connection* last = nullptr;
    int milliseconds = 0;
};

// A connection's place in a deadline list.
struct Deadline {
    DeadlineList* list = nullptr; // none: no deadline
    Connection* earlier = nullptr;
    Connection* later = nullptr;
    std::chrono::steady_clock::time_point at;
};

class Responder {
  public:
    // The body's first bytes handed to the extension with the request.
    static constexpr int32_t kPreRead = 48 * 1024;

    // listenSocket: a listening socket, shut down by Stop (made non-blocking);
    // acceptors: the connections open at once at most.
    Responder(Extension* extension, int listenSocket, int32_t acceptors);
    ~Responder();
    Responder(const Responder&) = delete;
    Responder& operator=(const Responder&) = delete;

    bool Start(std::string* error);
    // Stops accepting, stops the extension (running requests end first),
    // answers requests it left open with 503, closes the connections. False
    // when the extension could not stop: it must stay loaded then.
    bool Stop();

    // The acceptors that an open-file limit leaves room for, beside the
    // descriptors requests open (at least 1).
    static int32_t AcceptorsWithin(int32_t asked, uint64_t openFileLimit);

  private:
    friend struct Connection;
    void Poller();
    void AcceptAll();
    // Every connection is taken: frees one that is not being answered when
    // another waits to be accepted (someoneWaits: known to); false when none
    // is freed.
    bool MakeRoom(bool someoneWaits);
    // The connection that gives way first: a lingering one, else the one
    // that has waited longest for what a request needs, once it waited the
    // grace a web server needs to send it (else *retry: when it will have).
    Connection* Yielding(std::chrono::steady_clock::time_point now, std::chrono::steady_clock::time_point* retry);
    // The listener rests until a connection comes free, or until `retry`.
    void Pause(std::chrono::steady_clock::time_point retry);
    // The connection waits for its client while the listener rests: the
    // listener tries again once it may give way.
    void Candidate(Connection* connection);
    // The connection's socket is readable (or, events 0, may be): what the
    // poller has to do with it is done as far as it can be without waiting,
    // in one turn.
    void Ready(Connection* connection, uint32_t events);
    // Its next request's head, as far as it came.
    void ReadHead(Connection* connection, uint32_t events);
    // The request's input, gathered into its body; the request runs once it
    // is all here.
    void ReadBody(Connection* connection, uint32_t events);
    // Answers to records that are no request's go out as the socket takes
    // them; false (the connection dropped) when the client leaves too many
    // of them untaken.
    bool SendAnswers(Connection* connection);
    // No whole head yet: the socket tells when more comes.
    void WaitHead(Connection* connection, bool hungUp);
    // Its turn is over with bytes left: the poller comes back to it after
    // the others.
    void Post(Connection* connection);
    void RunPosted();
    // The client closed its end between requests.
    void Leave(Connection* connection);
    // A request turned away before it began, on a connection not kept.
    void Refuse(Connection* connection);
    // A request whose input broke (aborted, or broken: its records, or the
    // connection) before it ran.
    void EndUnserved(Connection* connection, Input input);
    void Serve(Connection* connection);
    // The poller's: the rest of an answer.
    void Progress(Connection* connection);
    // The poller's: a closed connection waits for the client's close.
    void Linger(Connection* connection);
    // The request has ended: the connection waits for the next one, or is
    // the poller's to finish, or free again when it was closed. Called by
    // whoever ended it.
    void AfterRequest(Connection* connection);
    // Puts a new connection in the poll set, where it stays until closed.
    bool Register(Connection* connection);
    // Whether the poller is told when the socket takes more output.
    void Watch(Connection* connection, bool output);
    // Marks the connection as served from now on (by the poller itself or
    // the extension's worker).
    void MarkServed(Connection* connection, uint32_t events);
    // The poller's: connections given back after an event came while they
    // were served, or with something left to finish, looked at now.
    void TakeReturned();
    void Close(Connection* connection);
    void Release(Connection* connection);
    // The resting listener takes connections again (idleMutex held).
    void Listen();
    // The poller's: the connection's deadline is the list's span from now
    // on, or it has none.
    void SetDeadline(Connection* connection, DeadlineList& list);
    void ClearDeadline(Connection* connection);
    // The poller's own: out of its deadline list, out of the poll set, closed.
    void Drop(Connection* connection);
    int PollTimeout() const;
    // Drops the connections whose deadline passed.
    void ExpireDeadlines();

    Extension* extension;
    int listenSocket;
    unsigned maxConnections; // told to a web server that asks
    int wakeSocket[2] = {-1, -1};
    int returnEvent = -1;
    std::mutex returnedMutex;
    std::vector<Connection*> returned;
    int pollSet = -1;
    std::vector<std::unique_ptr<Connection>> connections;
    std::thread poller;
    // Free connections; the listener rests while there are none.
    std::mutex idleMutex;
    std::vector<Connection*> idle;
    // Read by the workers that end requests: while the listener rests, a
    // connection they give back is looked at by the poller.
    std::atomic<bool> listenPaused{false};
    // The poller's: connections that must bring a head, bring more of their
    // body, make progress with what is left of a request, or close by their
    // deadline; and when the resting listener is to try again.
    DeadlineList heads;
    DeadlineList bodies;
    DeadlineList finishing;
    DeadlineList lingering;
    bool retryListen = false;
    std::chrono::steady_clock::time_point listenRetry;
    // The poller's: connections whose turn ended with bytes left.
    std::vector<Connection*> posted;
    std::vector<Connection*> turn;
    // Read by every thread on every request: a flag, not a lock they would
    // all queue on.
    std::atomic<bool> stopping{false};
};

} // namespace vorn::server
