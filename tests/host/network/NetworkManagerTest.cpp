// The protocol side of the network manager: URLs, request heads, host
// patterns, identity checks and client certificates.
#include <gtest/gtest.h>

#include <string>

#include "host/network/NetworkManager.h"
#include "tests/host/network/NetworkTestSupport.h"

namespace vorn {
namespace {

using test::Certificates;
using test::NetworkApplication;
using test::ScriptedNetworkManager;

std::string Part(const char* text, int32_t length) {
    return text ? std::string(text, static_cast<size_t>(length)) : "<null>";
}

TEST(NetworkManager, SplitsURLs) {
    struct Case {
        std::string url;
        bool ok;
        const char* protocol;
        const char* host;
        const char* port;
        const char* path;
    } cases[] = {
        {"http://example.com", true, "http", "example.com", "<null>", ""},
        {"http://example.com/", true, "http", "example.com", "<null>", ""},
        {"https://example.com/a/b?c=d#e", true, "https", "example.com", "<null>", "a/b?c=d#e"},
        // A '?' after the host without a port stays in the host; after a port it starts the path.
        {"http://example.com?x=1", true, "http", "example.com?x=1", "<null>", ""},
        {"http://example.com:8080?x=1", true, "http", "example.com", "8080", "?x=1"},
        {"http://[::1]:81/p", true, "http", "[::1]", "81", "p"},
        {"http://[::1", true, "http", "[::1", "<null>", ""},
        {"http://h:/p", true, "http", "h", "", "p"},
        {"http://h#f/x", true, "http", "h#f", "<null>", "x"},
        {"ftp://h/x", true, "ftp", "h", "<null>", "x"},
        {"http://h/a b", true, "http", "h", "<null>", "a b"},
        {"http:/h", false, "", "", "", ""},
        {"nocolon", false, "", "", "", ""},
        {"", false, "", "", "", ""},
        {"http://[::1]x", false, "", "", "", ""},
        // Bytes that would end or split the request line.
        {"http://h/a\rb", false, "", "", "", ""},
        {"http://h/a\nX: y", false, "", "", "", ""},
        {"http://h/\x7f", false, "", "", "", ""},
        {std::string("http://h/a\0b", 12), false, "", "", "", ""},
    };
    NetworkApplication app;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        const char *protocol, *host, *port, *path;
        int32_t protocolLength, hostLength, portLength, pathLength;
        bool ok = app.network.SplitURL(c.url.data(), static_cast<int32_t>(c.url.size()), &protocol, &protocolLength,
                                       &host, &hostLength, &port, &portLength, &path, &pathLength);
        ASSERT_EQ(ok, c.ok);
        if (!ok) {
            EXPECT_EQ(protocol, nullptr);
            continue;
        }
        EXPECT_EQ(Part(protocol, protocolLength), c.protocol);
        EXPECT_EQ(Part(host, hostLength), c.host);
        EXPECT_EQ(Part(port, portLength), c.port);
        EXPECT_EQ(Part(path, pathLength), c.path);
    }
}

TEST(NetworkManager, WritesRequestHeadsAndRefusesInjection) {
    const std::string end = "Connection: close\r\n\r\n";
    struct Case {
        const char* method;
        std::string url;
        const char* body;
        const char* contentType;
        int64_t bodyLength;
        std::string headers;
        double version;
        std::string expected; // the bytes sent, or the manager's message
        std::string connectedTo = "";
    } cases[] = {
        {"GET", "http://h", nullptr, "", 0, "", 1.1, "GET / HTTP/1.1\r\nHost: h\r\n" + end, "h:80"},
        {"GET", "http://h:8080/p?q", nullptr, "", 0, "", 1.1, "GET /p?q HTTP/1.1\r\nHost: h:8080\r\n" + end,
         "h:8080"},
        {"GET", "http://h?x", nullptr, "", 0, "", 1.1, "GET / HTTP/1.1\r\nHost: h?x\r\n" + end, "h?x:80"},
        {"GET", "http://h:81?x", nullptr, "", 0, "", 1.1, "GET /?x HTTP/1.1\r\nHost: h:81\r\n" + end},
        {"GET", "http://[::1]:81/p", nullptr, "", 0, "", 1.1, "GET /p HTTP/1.1\r\nHost: [::1]:81\r\n" + end,
         "::1:81"},
        {"GET", "http://h:/p", nullptr, "", 0, "", 1.1, "GET /p HTTP/1.1\r\nHost: h:0\r\n" + end, "h:0"},
        {"GET", "HTTP://h:007/", nullptr, "", 0, "", 1.1, "GET / HTTP/1.1\r\nHost: h:7\r\n" + end, "h:7"},
        {"GET", "http://h/", nullptr, "", 0, "", 1.0, "GET / HTTP/1.0\r\nHost: h\r\n\r\n"},
        {"GET", "http://h/", nullptr, "", 0, "", 0.9, "GET / HTTP/0.9\r\n\r\n"},
        {"GET", "http://h/", nullptr, "", 0, "", 10.0, "GET / HTTP/1.1\r\nHost: h\r\n" + end},
        {"GET", "http://h/", nullptr, "", 0, "", -1.0, "GET / HTTP/1.0\r\nHost: h\r\n\r\n"},
        {"POST", "http://h/f", "a=1", "x/y", 3, "", 1.1,
         "POST /f HTTP/1.1\r\nHost: h\r\nContent-Type: x/y\r\nContent-Length: 3\r\n" + end + "a=1"},
        {"POST", "http://h/f", "a=12", "x/y", -1, "", 1.1,
         "POST /f HTTP/1.1\r\nHost: h\r\nContent-Type: x/y\r\nContent-Length: 4\r\n" + end + "a=12"},
        {"POST", "http://h/f", "ignored", "x/y", 0, "", 1.1, "POST /f HTTP/1.1\r\nHost: h\r\n" + end},
        // Extra headers: whole CR LF lines; a missing last CR LF is added.
        {"GET", "http://h/", nullptr, "", 0, "X-A: 1\r\nX-B: 2", 1.1,
         "GET / HTTP/1.1\r\nHost: h\r\nX-A: 1\r\nX-B: 2\r\n" + end},
        {"GET", "http://h/", nullptr, "", 0, "X-A: 1\r\n", 1.1, "GET / HTTP/1.1\r\nHost: h\r\nX-A: 1\r\n" + end},
        {"GET", "http://h/", nullptr, "", 0, "X-A: 1\nX-B: 2", 1.1, "Invalid request headers"},
        {"GET", "http://h/", nullptr, "", 0, "X-A: 1\rX-B: 2", 1.1, "Invalid request headers"},
        {"GET", "http://h/", nullptr, "", 0, "X-A: 1\r\n\r\nGET /x HTTP/1.1", 1.1, "Invalid request headers"},
        {"GET", "http://h/", nullptr, "", 0, "\r\n", 1.1, "Invalid request headers"},
        {"GET", "http://h/", nullptr, "", 0, std::string("X-A: 1\0\r\n", 9), 1.1, "Invalid request headers"},
        {"GET /x HTTP/1.1\r\nX:", "http://h/", nullptr, "", 0, "", 1.1, "Invalid character in request method"},
        {"POST", "http://h/", "b", "a\r\nX-Evil: 1", 1, "", 1.1, "Invalid character in content type"},
        {"GET", "http://h/\r\nX-Evil: 1", nullptr, "", 0, "", 1.1, "Malformed URL"},
        {"GET", "http:h/", nullptr, "", 0, "", 1.1, "Malformed URL"},
        {"GET", "gopher://h/", nullptr, "", 0, "", 1.1, "Unsupported protocol 'gopher'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url + " " + c.headers);
        NetworkApplication app;
        ScriptedNetworkManager manager(&app);
        manager.responses.push_back("");
        NetworkConnection* connection =
            manager.OpenURL(c.method, c.url.c_str(), c.body, c.contentType, c.bodyLength, nullptr, nullptr, nullptr,
                            c.headers.data(), static_cast<int32_t>(c.headers.size()), c.version, 5);
        bool sent = connection != nullptr;
        delete connection;
        if (c.expected.rfind(c.method, 0) == 0 && c.expected.find(" HTTP/") != std::string::npos) {
            ASSERT_TRUE(sent) << manager.ErrorText().Text();
            ASSERT_EQ(manager.sent.size(), 1u);
            EXPECT_EQ(manager.sent[0], c.expected);
            if (!c.connectedTo.empty()) {
                EXPECT_EQ(manager.hosts.at(0), c.connectedTo);
            }
        } else {
            EXPECT_FALSE(sent);
            EXPECT_EQ(std::string(manager.ErrorText().Text()), c.expected);
            // Nothing reached a connection that was made.
            for (const std::string& bytes : manager.sent) EXPECT_EQ(bytes, "");
        }
    }
}

TEST(NetworkManager, MatchesHostPatterns) {
    struct Case {
        const char* host;
        std::string pattern;
        bool matches;
    } cases[] = {
        {"www.example.com", "www.example.com", true},
        {"WWW.Example.COM", "www.example.com", true},
        {"a.example.com", "*.example.com", true},
        {".example.com", "*.example.com", true}, // the '*' may stand for an empty label
        {"a.b.example.com", "*.example.com", false},
        {"example.com", "*.example.com", false},
        {"a.com", "*.com", false},               // fewer than two dots after the '*'
        {"a.b.com", "*.*.com", false},           // a second '*'
        {"a.b.com", "a.*.com", false},           // a '*' outside the first label
        {"ab.example.com", "*b.example.com", false},
        {"ab.example.com", "a*.example.com", true},
        {"a.example.com", "a*.example.com", true},
        {"b.example.com", "a*.example.com", false},
        {"xn--a.example.com", "x*.example.com", false}, // an A-label never matches a partial wildcard
        {"xn--a.example.com", "*.example.com", true},
        {"", "*.example.com", false},
        {"nodot", "*.example.com", false},
        {"www.example.com", std::string("www.example.com\0.evil", 21), false},
        {"a.example.com", std::string("*.example.com\0", 14), false},
    };
    NetworkApplication app;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.host) + " ~ " + c.pattern);
        EXPECT_EQ(app.network.MatchHostPattern(c.host, c.pattern.data(), static_cast<int32_t>(c.pattern.size())),
                  c.matches);
    }
}

TEST(NetworkManager, ChecksServerIdentitiesAsConfigured) {
    const Certificates& certificates = Certificates::Get();
    ASSERT_TRUE(certificates.ok);
    NetworkApplication app;
    ASSERT_EQ(app.EnsureOpenSSL(nullptr), 1);
    X509* server = test::ReadCertificate(certificates.Path("server.pem"));
    X509* cnOnly = test::ReadCertificate(certificates.Path("cnonly.pem"));
    X509* mismatch = test::ReadCertificate(certificates.Path("mismatch.pem"));
    ASSERT_TRUE(server && cnOnly && mismatch);
    struct Case {
        X509* certificate;
        const char* host;
        int32_t options;
        bool accepted;
    } cases[] = {
        {server, "localhost", 0, true},
        {server, "a.wild.test", 0, true},
        {server, "exact.test", 0, true},
        {server, "other.test", 0, false},
        {server, "other.test", 0x2000, true},
        {nullptr, "localhost", 0, false},
        {cnOnly, "cn-only.test", 0, true}, // no subjectAltName: the common name
        {mismatch, "cnmatch.test", 0, true}, // DNS names miss, the first common name matches
        {mismatch, "other.test", 0, true},
        {mismatch, "x.test", 0, false},
        // IP-address hosts: accepted on the chain alone unless 0x4000, then IP names only.
        {server, "127.0.0.1", 0, true},
        {cnOnly, "127.0.0.1", 0, true},
        {server, "127.0.0.1", 0x4000, true},
        {server, "127.0.0.2", 0x4000, false},
        {server, "::1", 0x4000, true},
        {server, "0:0::1", 0x4000, true},
        {server, "::2", 0x4000, false},
        {cnOnly, "127.0.0.1", 0x4000, false},
        {nullptr, "127.0.0.1", 0x4000, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.host) + " options " + std::to_string(c.options));
        app.settings.SetInteger(kConfigSecurityOptions, c.options);
        bool accepted = app.network.IsIPAddress(c.host) ? app.network.VerifyIPAddress(c.certificate, c.host)
                                                        : app.network.VerifyHostName(c.certificate, c.host);
        EXPECT_EQ(accepted, c.accepted);
    }
    X509_free(server);
    X509_free(cnOnly);
    X509_free(mismatch);
}

TEST(NetworkManager, LoadsClientCertificates) {
    ASSERT_TRUE(Certificates::Get().ok);
    struct Case {
        const char* file;
        const char* type;
        const char* passPhrase;
        std::string message; // empty: loaded; else the beginning of the message
    } cases[] = {
        {"client-bundle.pem", "PEM", "secret", ""},
        {"client-bundle.pem", "", "secret", ""},
        {"client-bundle.pem", "pem", "wrong", "Error reading client key: "},
        {"client-bundle.pem", "pem", nullptr, "Error reading client key: "},
        {"client.der", "ASN1", nullptr, ""}, // the key right after the certificate
        {"client.der", "asn1", "ignored", ""},
        {"client.der", "pem", nullptr, "Error reading client certificate: "},
        {"client-key-only.pem", "pem", nullptr, "Error reading client certificate: "},
        {"client.pem", "x509", nullptr, "Unsupported certificate type 'x509'"},
        {"missing.pem", "pem", nullptr, "Unable to load client certificate: "},
        {"../outside.pem", "pem", nullptr, "Unable to load client certificate: "},
    };
    NetworkApplication app;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " " + c.type);
        X509* certificate = nullptr;
        EVP_PKEY* key = nullptr;
        bool ok = app.network.LoadClientCertificate(c.file, c.type, c.passPhrase, &certificate, &key);
        EXPECT_EQ(ok, c.message.empty()) << app.network.ErrorText().Text();
        if (ok) {
            ASSERT_TRUE(certificate && key);
            EXPECT_EQ(X509_check_private_key(certificate, key), 1);
            X509_free(certificate);
            EVP_PKEY_free(key);
        } else {
            EXPECT_EQ(certificate, nullptr);
            EXPECT_EQ(key, nullptr);
            EXPECT_EQ(std::string(app.network.ErrorText().Text()).substr(0, c.message.size()), c.message);
        }
    }
}

} // namespace
} // namespace vorn
