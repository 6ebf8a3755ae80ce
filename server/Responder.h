// The FastCGI responder that stands in for the web server: it loads the
// extension, accepts the web server's connections, checks each request's
// opening records, maps the request to a control block and hands it to the
// extension, whose workers answer through the block's callbacks.
//
// One poller thread watches the listener and every open connection (kept
// ones included) and hands each complete request to the extension; the
// extension's worker that ends a request gives its connection back to the
// poll set, so neither waits for the other. A request whose body has not all
// come yet is read on a thread of its own. The connections (acceptors) bound
// the connections open at once, and so the requests in flight.
//
// The records of a request are read and its answer's records written here
// (libfcgi only opens the listening socket): a request is served from the
// bytes looked at, which stay in the socket until its answer went out.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

#include "platform/Isapi.h"

namespace vorn::server {

struct Extension {
    void* module = nullptr;
    bool (*getVersion)(platform::IsapiVersionInfo*) = nullptr;
    uint32_t (*httpProc)(platform::IsapiControlBlock*) = nullptr;
    bool (*terminate)(uint32_t) = nullptr;

    // Loads the library and finds its three entry points; false with the
    // loader's message in *error.
    bool Load(const char* path, std::string* error);
    void Unload();
};

struct Connection;

class Responder {
  public:
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

  private:
    friend struct Connection;
    void Poller();
    void AcceptAll();
    // The connection's socket is readable (or, events 0, may be): its next
    // request's head is looked at.
    void Ready(Connection* connection, uint32_t events);
    // Reads the complete head and serves the request (or answers 400).
    void Begin(Connection* connection, bool nulParam);
    void Serve(Connection* connection);
    // The request has ended: the connection waits for the next one, or is
    // free again when it was closed. Called by whoever ended it.
    void AfterRequest(Connection* connection);
    // Puts a new connection in the poll set, where it stays until closed.
    bool Register(Connection* connection);
    // Marks the connection as served from now on (by the poller itself, a
    // body's thread or the extension's worker).
    void Hand(Connection* connection, uint32_t events, size_t looked, size_t requestEnd);
    // The poller's: connections given back after an event came while they
    // were served, looked at as if the event came now.
    void TakeReturned();
    void Close(Connection* connection);
    void Release(Connection* connection);
    // The poller's: a head is due from the connection by the deadline from
    // now on, or no longer.
    void Time(Connection* connection);
    void Untime(Connection* connection);
    // The poller's own: out of the deadline list, out of the poll set, closed.
    void Drop(Connection* connection);
    int PollTimeout() const;
    void CheckTimed();

    Extension* extension;
    int listenSocket;
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
    bool listenPaused = false;
    // The poller's: connections that must bring a head by their deadline.
    std::vector<Connection*> timed;
    // Threads reading a request's body.
    std::mutex lanesMutex;
    std::condition_variable lanesEnded;
    int32_t lanes = 0;
    // Read by every thread on every request: a flag, not a lock they would
    // all queue on.
    std::atomic<bool> stopping{false};
};

} // namespace vorn::server
