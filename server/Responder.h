// The FastCGI responder that stands in for the web server: it loads the
// extension, accepts the web server's connections, checks each request's
// opening records, maps the request to a control block and hands it to the
// extension, whose workers answer through the block's callbacks.
//
// Each acceptor serves one connection at a time (kept connections included)
// and waits while the extension holds its request, so the acceptors bound
// the requests in flight.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
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

    // listenSocket: a listening socket, shut down by Stop; acceptors: the
    // requests in flight at most.
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
    void Acceptor(Connection* connection);
    int AcceptOne();
    // Waits for the opening records of the connection's next request.
    int WaitForHead(Connection* connection, bool idle);
    void Serve(Connection* connection);

    Extension* extension;
    int listenSocket;
    int wakeSocket[2] = {-1, -1};
    std::vector<std::unique_ptr<Connection>> connections;
    std::vector<std::thread> threads;
    // Read by every acceptor on every request: a flag, not a lock they would
    // all queue on.
    std::atomic<bool> stopping{false};
};

} // namespace vorn::server
