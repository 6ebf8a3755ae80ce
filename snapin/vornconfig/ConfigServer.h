// vornconfig's web server: the tree of nodes and each node's property sheet
// as HTML forms, on 127.0.0.1 only, for the one who holds the token printed at
// start. One polling thread serves one request at a time, so the sessions and
// their sheets need no locks.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "snapin/ConfigSheet.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace vorn::web {

inline constexpr size_t kMaxBody = 1024 * 1024;

struct Reply {
    unsigned status = 200;
    std::string body;
    std::string location;  // a redirect's target
    std::string setCookie; // a Set-Cookie header's value
};

class ConfigServer {
  public:
    ConfigServer() = default;
    ConfigServer(const ConfigServer&) = delete;
    ConfigServer& operator=(const ConfigServer&) = delete;
    ~ConfigServer();

    // Listens on 127.0.0.1:port (0: a free port); false with the reason.
    bool Start(uint16_t port, std::string* reason);
    void Stop();
    uint16_t Port() const { return port.load(std::memory_order_acquire); }
    // The address to open, with the token.
    std::string Url() const;

    // One request, once its body is complete (the HTTP layer calls this).
    Reply Handle(MHD_Connection* connection, const std::string& method, const std::string& url,
                 const std::string& body);
    // The checks that need only the request line and headers; false with the reply.
    bool Admit(MHD_Connection* connection, const std::string& method, Reply* reply);

  private:
    struct OpenSheet {
        std::unique_ptr<ConfigSheet> sheet;
        uint64_t view = 0; // submissions accepted; a form of an older view is stale
        uint64_t used = 0;
    };
    struct Session {
        std::string formToken;
        std::map<std::string, OpenSheet> sheets; // by lower-case node path
        uint64_t used = 0;
    };

    Session* FindSession(MHD_Connection* connection);
    Reply Login(MHD_Connection* connection, Session* current);
    Reply ShowNode(Session& session, const std::string& path);
    Reply PostNode(Session& session, const std::string& path, const std::string& body);
    Reply RenderSheet(Session& session, const std::string& path, OpenSheet& open, unsigned status);
    OpenSheet& SheetOf(Session& session, const std::string& path);
    std::string CookieName() const;

    MHD_Daemon* daemon = nullptr;
    // Known once the daemon's thread already runs: a connection may come in
    // before it is set (and is then refused as another host's).
    std::atomic<uint16_t> port{0};
    std::string token;
    std::map<std::string, Session> sessions; // by session id
    uint64_t clock = 0;                      // orders sessions and sheets by last use
};

} // namespace vorn::web
