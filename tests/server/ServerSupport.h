// Fixtures of the serving tests: FastCGI records made by hand, and raw
// socket clients for HTTP (through nginx) and FastCGI (straight to vornfcgi).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace vorn::server::test {

// One FastCGI record: version 1, type, request id, content, no padding.
inline std::string Record(int type, const std::string& content, int requestId = 1) {
    std::string r;
    r += static_cast<char>(1);
    r += static_cast<char>(type);
    r += static_cast<char>(requestId >> 8);
    r += static_cast<char>(requestId & 0xff);
    r += static_cast<char>(content.size() >> 8);
    r += static_cast<char>(content.size() & 0xff);
    r += '\0';
    r += '\0';
    return r + content;
}

inline std::string Begin(int role = 1, bool keep = false) {
    std::string body(8, '\0');
    body[0] = static_cast<char>(role >> 8);
    body[1] = static_cast<char>(role & 0xff);
    body[2] = keep ? 1 : 0;
    return Record(1, body);
}

inline void PutLength(std::string& out, size_t n) {
    if (n < 128) {
        out += static_cast<char>(n);
        return;
    }
    out += static_cast<char>(0x80 | (n >> 24));
    out += static_cast<char>((n >> 16) & 0xff);
    out += static_cast<char>((n >> 8) & 0xff);
    out += static_cast<char>(n & 0xff);
}

inline std::string Params(const std::vector<std::pair<std::string, std::string>>& pairs) {
    std::string body;
    for (const auto& [name, value] : pairs) {
        PutLength(body, name.size());
        PutLength(body, value.size());
        body += name + value;
    }
    return body;
}

// A whole responder request: begin, the parameters in one record, their end,
// the body and its end.
inline std::string Request(const std::vector<std::pair<std::string, std::string>>& pairs,
                           const std::string& body = "") {
    std::string r = Begin() + Record(4, Params(pairs)) + Record(4, "");
    for (size_t at = 0; at < body.size(); at += 65535) r += Record(5, body.substr(at, 65535));
    return r + Record(5, "");
}

inline int Connect(const std::string& unixPath, int port) {
    int fd = -1;
    if (!unixPath.empty()) {
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, unixPath.c_str(), sizeof address.sun_path - 1);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close(fd);
            return -1;
        }
    } else {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close(fd);
            return -1;
        }
    }
    return fd;
}

// A loopback port nobody listens on now.
inline int FreePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    close(fd);
    return ntohs(address.sin_port);
}

inline bool SendAll(int fd, const std::string& bytes) {
    for (size_t at = 0; at < bytes.size();) {
        ssize_t n = send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (n <= 0) return false;
        at += static_cast<size_t>(n);
    }
    return true;
}

// Reads until the peer closes or the time runs out; *closed tells which.
inline std::string ReadAll(int fd, int milliseconds, bool* closed = nullptr, size_t most = SIZE_MAX) {
    std::string out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    if (closed) *closed = false;
    while (out.size() < most) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char buffer[65536];
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            if (closed) *closed = true;
            break;
        }
        out.append(buffer, static_cast<size_t>(n));
    }
    return out;
}

struct HttpResponse {
    int status = 0;
    std::string headers; // the head as sent, lines ending in CR LF
    std::string body;    // with chunks joined

    std::string Header(const std::string& name) const {
        std::string needle = "\r\n" + name + ": ";
        size_t at = headers.find(needle);
        if (at == std::string::npos) return "";
        at += needle.size();
        return headers.substr(at, headers.find("\r\n", at) - at);
    }
};

inline HttpResponse ParseHttp(const std::string& raw) {
    HttpResponse r;
    size_t end = raw.find("\r\n\r\n");
    if (raw.compare(0, 9, "HTTP/1.1 ") != 0 || end == std::string::npos) return r;
    r.status = std::atoi(raw.c_str() + 9);
    r.headers = raw.substr(0, end + 2);
    std::string body = raw.substr(end + 4);
    if (r.Header("Transfer-Encoding") != "chunked") {
        r.body = body;
        return r;
    }
    for (size_t at = 0; at < body.size();) {
        size_t line = body.find("\r\n", at);
        if (line == std::string::npos) break;
        size_t n = std::stoul(body.substr(at, line - at), nullptr, 16);
        if (n == 0) break;
        r.body += body.substr(line + 2, n);
        at = line + 2 + n + 2;
    }
    return r;
}

// One HTTP/1.1 request on a connection of its own.
inline HttpResponse Http(int port, const std::string& method, const std::string& target,
                         const std::string& headers = "", const std::string& body = "", int milliseconds = 20000) {
    int fd = Connect("", port);
    if (fd < 0) return {};
    std::string request = method + " " + target + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n" + headers;
    if (!body.empty() || method == "POST") request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    request += "\r\n" + body;
    SendAll(fd, request);
    std::string raw = ReadAll(fd, milliseconds);
    close(fd);
    return ParseHttp(raw);
}

} // namespace vorn::server::test
