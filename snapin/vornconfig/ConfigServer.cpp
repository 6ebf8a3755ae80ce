#include "snapin/vornconfig/ConfigServer.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>

#include "platform/Random.h"
#include "snapin/ConfigNodes.h"
#include "snapin/vornconfig/Html.h"

namespace vorn::web {

namespace {

constexpr size_t kMaxSessions = 16;
constexpr size_t kMaxSheets = 32; // per session

const char* const kHeaders[][2] = {
    {"Content-Type", "text/html; charset=utf-8"},
    {"Content-Security-Policy", "default-src 'none'; frame-ancestors 'none'; form-action 'self'"},
    {"X-Content-Type-Options", "nosniff"},
    {"Cache-Control", "no-store"},
    {"Referrer-Policy", "no-referrer"},
    {"X-Frame-Options", "DENY"},
};

std::string RandomHex() {
    unsigned char bytes[16];
    if (!platform::RandomBytes(bytes, sizeof bytes)) return {};
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char byte : bytes) {
        hex += kHex[byte >> 4];
        hex += kHex[byte & 15];
    }
    return hex;
}

// Compares without stopping at the first difference.
bool SameSecret(const std::string& given, const std::string& secret) {
    if (secret.empty() || given.size() != secret.size()) return false;
    unsigned char difference = 0;
    for (size_t i = 0; i < secret.size(); ++i)
        difference |= static_cast<unsigned char>(given[i] ^ secret[i]);
    return difference == 0;
}

bool EqualNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] + 32) : a[i];
        char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] + 32) : b[i];
        if (x != y) return false;
    }
    return true;
}

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return text;
}

// A header, query argument or cookie with its length; false when absent.
bool Lookup(MHD_Connection* connection, MHD_ValueKind kind, const char* name, std::string* value) {
    const char* text = nullptr;
    size_t length = 0;
    if (MHD_lookup_connection_value_n(connection, kind, name, std::strlen(name), &text, &length) != MHD_YES ||
        !text)
        return false;
    value->assign(text, length);
    return true;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool DecodeFormText(const std::string& text, size_t begin, size_t end, std::string* out) {
    out->clear();
    for (size_t i = begin; i < end; ++i) {
        if (text[i] == '+') {
            *out += ' ';
        } else if (text[i] != '%') {
            *out += text[i];
        } else {
            int high = i + 2 < end ? HexValue(text[i + 1]) : -1;
            int low = i + 2 < end ? HexValue(text[i + 2]) : -1;
            if (high < 0 || low < 0) return false;
            *out += static_cast<char>(high * 16 + low);
            i += 2;
        }
    }
    return true;
}

// An application/x-www-form-urlencoded body; false when it is not one.
bool ParseFormBody(const std::string& body, PostedValues* posted) {
    size_t start = 0;
    while (start < body.size()) {
        size_t end = body.find('&', start);
        if (end == std::string::npos) end = body.size();
        if (end > start) {
            size_t equals = body.find('=', start);
            if (equals == std::string::npos || equals > end) equals = end;
            std::string name, value;
            if (!DecodeFormText(body, start, equals, &name) ||
                !DecodeFormText(body, equals < end ? equals + 1 : end, end, &value))
                return false;
            posted->Add(std::move(name), std::move(value));
        }
        start = end + 1;
    }
    return true;
}

Reply Notice(unsigned status, const std::string& title, const std::string& text) {
    return {status, RenderNotice(title, text), {}, {}};
}

Reply Redirect(const std::string& location, std::string cookie = {}) {
    return {303, RenderNotice("See Other", location), location, std::move(cookie)};
}

MHD_Result Send(MHD_Connection* connection, const Reply& reply) {
    MHD_Response* response = MHD_create_response_from_buffer(
        reply.body.size(), const_cast<char*>(reply.body.data()), MHD_RESPMEM_MUST_COPY);
    if (!response) return MHD_NO;
    for (const auto& header : kHeaders)
        MHD_add_response_header(response, header[0], header[1]);
    if (!reply.location.empty()) MHD_add_response_header(response, "Location", reply.location.c_str());
    if (!reply.setCookie.empty()) MHD_add_response_header(response, "Set-Cookie", reply.setCookie.c_str());
    if (reply.status == 405) MHD_add_response_header(response, "Allow", "GET, HEAD, POST");
    MHD_Result queued = MHD_queue_response(connection, reply.status, response);
    MHD_destroy_response(response);
    return queued;
}

// What a connection's request collects between the calls of the access handler.
struct Exchange {
    std::string body;
    bool tooLarge = false;
    bool answered = false;
};

MHD_Result Access(void* server, MHD_Connection* connection, const char* url, const char* method, const char*,
                  const char* upload, size_t* uploadSize, void** state) {
    auto* self = static_cast<ConfigServer*>(server);
    auto* exchange = static_cast<Exchange*>(*state);
    if (!exchange) {
        exchange = new Exchange;
        *state = exchange;
        Reply refusal;
        if (!self->Admit(connection, method, &refusal)) {
            exchange->answered = true;
            return Send(connection, refusal);
        }
        if (std::strcmp(method, MHD_HTTP_METHOD_POST) == 0) return MHD_YES;
        exchange->answered = true;
        return Send(connection, self->Handle(connection, method, url, {}));
    }
    if (*uploadSize > 0) {
        // The request is read to its end either way, so that the answer reaches the client.
        if (!exchange->tooLarge && exchange->body.size() + *uploadSize > kMaxBody) {
            exchange->tooLarge = true;
            std::string().swap(exchange->body);
        }
        if (!exchange->tooLarge) exchange->body.append(upload, *uploadSize);
        *uploadSize = 0;
        return MHD_YES;
    }
    if (exchange->answered) return MHD_YES;
    exchange->answered = true;
    if (exchange->tooLarge)
        return Send(connection, Notice(413, "Content Too Large", "The form is too large."));
    return Send(connection, self->Handle(connection, method, url, exchange->body));
}

void Completed(void*, MHD_Connection*, void** state, MHD_RequestTerminationCode) {
    delete static_cast<Exchange*>(*state);
    *state = nullptr;
}

} // namespace

// --- Starting and stopping -----------------------------------------------------------------------------

ConfigServer::~ConfigServer() {
    Stop();
}

bool ConfigServer::Start(uint16_t wanted, std::string* reason) {
    token = RandomHex();
    if (token.empty()) {
        *reason = std::string("no random source: ") + std::strerror(errno);
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(wanted);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    daemon = MHD_start_daemon(MHD_USE_INTERNAL_POLLING_THREAD, wanted, nullptr, nullptr, &Access, this,
                              MHD_OPTION_SOCK_ADDR, &address, MHD_OPTION_NOTIFY_COMPLETED, &Completed,
                              nullptr, MHD_OPTION_CONNECTION_LIMIT, 64u, MHD_OPTION_CONNECTION_TIMEOUT, 60u,
                              MHD_OPTION_END);
    if (!daemon) {
        *reason =
            std::string("cannot listen on 127.0.0.1:") + std::to_string(wanted) + ": " + std::strerror(errno);
        return false;
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_BIND_PORT);
    port.store(info ? info->port : wanted, std::memory_order_release);
    return true;
}

void ConfigServer::Stop() {
    if (daemon) MHD_stop_daemon(daemon);
    daemon = nullptr;
}

std::string ConfigServer::Url() const {
    return "http://127.0.0.1:" + std::to_string(Port()) + "/?token=" + token;
}

std::string ConfigServer::CookieName() const {
    return "vornconfig-" + std::to_string(Port());
}

// --- Requests
// --------------------------------------------------------------------------------------------------

bool ConfigServer::Admit(MHD_Connection* connection, const std::string& method, Reply* reply) {
    bool post = method == MHD_HTTP_METHOD_POST;
    if (!post && method != MHD_HTTP_METHOD_GET && method != MHD_HTTP_METHOD_HEAD) {
        *reply = Notice(405, "Method Not Allowed", "This tool takes GET and POST only.");
        return false;
    }
    // A page reached under another name may be a rebound address of another site.
    std::string host, self = ":" + std::to_string(Port());
    if (!Lookup(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST, &host) ||
        !(EqualNoCase(host, "127.0.0.1" + self) || EqualNoCase(host, "localhost" + self))) {
        *reply = Notice(403, "Forbidden",
                        "This tool answers to 127.0.0.1" + self + " and localhost" + self + " only.");
        return false;
    }
    if (!post) return true;
    // Under "no-referrer" a browser sends its own forms with the Origin "null",
    // and tells that they are its own through Sec-Fetch-Site.
    std::string origin, site;
    bool fetchSite = Lookup(connection, MHD_HEADER_KIND, "Sec-Fetch-Site", &site);
    bool sameOrigin = fetchSite && EqualNoCase(site, "same-origin");
    bool foreign = Lookup(connection, MHD_HEADER_KIND, "Origin", &origin) &&
                   !(EqualNoCase(origin, "http://127.0.0.1" + self) ||
                     EqualNoCase(origin, "http://localhost" + self) || (origin == "null" && sameOrigin));
    if (foreign || (fetchSite && !sameOrigin && !EqualNoCase(site, "none"))) {
        *reply = Notice(403, "Forbidden", "Forms of other sites are not taken.");
        return false;
    }
    if (!FindSession(connection)) {
        *reply = Notice(403, "Forbidden", "Open the address that vornconfig printed when it started.");
        return false;
    }
    std::string length, type;
    if (Lookup(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH, &length) &&
        (length.size() > 7 || std::strtoull(length.c_str(), nullptr, 10) > kMaxBody)) {
        *reply = Notice(413, "Content Too Large", "The form is too large.");
        return false;
    }
    const std::string kForm = "application/x-www-form-urlencoded";
    if (!Lookup(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_TYPE, &type) ||
        !EqualNoCase(type.substr(0, kForm.size()), kForm) ||
        (type.size() > kForm.size() && type[kForm.size()] != ';' && type[kForm.size()] != ' ')) {
        *reply = Notice(415, "Unsupported Media Type", "Forms are posted URL-encoded.");
        return false;
    }
    return true;
}

ConfigServer::Session* ConfigServer::FindSession(MHD_Connection* connection) {
    std::string id;
    if (!Lookup(connection, MHD_COOKIE_KIND, CookieName().c_str(), &id)) return nullptr;
    auto found = sessions.find(id);
    if (found == sessions.end()) return nullptr;
    found->second.used = ++clock;
    return &found->second;
}

Reply ConfigServer::Login(MHD_Connection* connection, Session* current) {
    std::string given;
    Lookup(connection, MHD_GET_ARGUMENT_KIND, "token", &given);
    if (!SameSecret(given, token))
        return Notice(403, "Forbidden", "This is not the address vornconfig printed.");
    if (current) return Redirect("/");
    if (sessions.size() >= kMaxSessions) {
        auto oldest = sessions.begin();
        for (auto it = sessions.begin(); it != sessions.end(); ++it)
            if (it->second.used < oldest->second.used) oldest = it;
        sessions.erase(oldest);
    }
    std::string id = RandomHex(), formToken = RandomHex();
    if (id.empty() || formToken.empty()) return Notice(500, "Internal Server Error", "No random source.");
    Session& session = sessions[id];
    session.formToken = formToken;
    session.used = ++clock;
    return Redirect("/", CookieName() + "=" + id + "; Path=/; HttpOnly; SameSite=Strict");
}

Reply ConfigServer::Handle(MHD_Connection* connection, const std::string& method, const std::string& url,
                           const std::string& body) {
    Session* session = FindSession(connection);
    bool post = method == MHD_HTTP_METHOD_POST;
    std::string given;
    if (!post && url == "/" && Lookup(connection, MHD_GET_ARGUMENT_KIND, "token", &given))
        return Login(connection, session);
    if (!session)
        return Notice(403, "Forbidden", "Open the address that vornconfig printed when it started.");
    if (url == "/" && !post) return {200, RenderNodeTree(ListConfigNodes(), {}, {}), {}, {}};
    if (url != "/node") return Notice(404, "Not Found", "There is no such page.");

    // Links name a key exactly; a typed path may separate with '/' as well.
    std::string typed, path, reason;
    bool exact = Lookup(connection, MHD_GET_ARGUMENT_KIND, "key", &typed);
    if (!exact && !Lookup(connection, MHD_GET_ARGUMENT_KIND, "path", &typed)) {
        reason = "No node was named.";
    } else if (NormalizeNodePath(typed, !exact, &path, &reason)) {
        return post ? PostNode(*session, path, body) : ShowNode(*session, path);
    }
    return {400, RenderNodeTree(ListConfigNodes(), reason, typed), {}, {}};
}

ConfigServer::OpenSheet& ConfigServer::SheetOf(Session& session, const std::string& path) {
    std::string key = Lower(path);
    auto found = session.sheets.find(key);
    if (found == session.sheets.end()) {
        if (session.sheets.size() >= kMaxSheets) {
            auto oldest = session.sheets.begin();
            for (auto it = session.sheets.begin(); it != session.sheets.end(); ++it)
                if (it->second.used < oldest->second.used) oldest = it;
            session.sheets.erase(oldest);
        }
        found = session.sheets.emplace(key, OpenSheet{std::make_unique<ConfigSheet>(path.c_str())}).first;
    }
    found->second.used = ++clock;
    return found->second;
}

Reply ConfigServer::RenderSheet(Session& session, const std::string& path, OpenSheet& open, unsigned status) {
    HiddenFields hidden{{"token", session.formToken}, {"view", std::to_string(open.view)}};
    std::string heading = path.empty() ? "Configuration" : "Configuration\\" + path;
    return {status, RenderForm(open.sheet->Describe(), heading, NodeUrl(path), hidden), {}, {}};
}

Reply ConfigServer::ShowNode(Session& session, const std::string& path) {
    return RenderSheet(session, path, SheetOf(session, path), 200);
}

Reply ConfigServer::PostNode(Session& session, const std::string& path, const std::string& body) {
    PostedValues posted;
    if (!ParseFormBody(body, &posted))
        return Notice(400, "Bad Request", "The form could not be read; nothing was changed.");
    const std::string* formToken = posted.Find("token");
    if (!formToken || !SameSecret(*formToken, session.formToken))
        return Notice(403, "Forbidden", "The form does not carry this session's token; nothing was changed.");
    auto found = session.sheets.find(Lower(path));
    const std::string* view = posted.Find("view");
    if (found == session.sheets.end() || !view || *view != std::to_string(found->second.view))
        return Notice(409, "Conflict", "The form is out of date; nothing was changed.");
    OpenSheet& open = found->second;
    open.used = ++clock;
    if (!open.sheet->Post(posted))
        return Notice(400, "Bad Request",
                      "The form was incomplete or not one of this page's; nothing was changed.");
    ++open.view;
    if (!open.sheet->Closed()) return Redirect(NodeUrl(path));
    session.sheets.erase(found);
    return Redirect("/");
}

} // namespace vorn::web
