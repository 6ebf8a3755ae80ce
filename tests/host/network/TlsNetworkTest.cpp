// TLS connections against the loopback server and `openssl s_server`:
// chains, names, SNI, client certificates, the ends of a stream and failures.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "host/network/HTTPResponseStream.h"
#include "host/network/PosixNetwork.h"
#include "tests/host/network/NetworkTestSupport.h"

namespace vorn {
namespace {

using test::Certificates;
using test::Ending;
using test::LoopbackServer;
using test::NetworkApplication;
using test::OpenSSLServer;
using test::Reply;

struct Fetched {
    bool opened = false;
    std::string error; // the manager's message, or the stream's
    std::string body;
};

Fetched Fetch(NetworkApplication& app, const std::string& url, const char* certificate = nullptr,
              const char* type = nullptr, const char* passPhrase = nullptr, uint32_t timeout = 5) {
    Fetched out;
    NetworkConnection* connection = app.network.OpenURL("GET", url.c_str(), nullptr, nullptr, 0, certificate, type,
                                                        passPhrase, nullptr, 0, 1.1, timeout);
    out.opened = connection != nullptr;
    if (!connection) {
        out.error = app.network.ErrorText().Text();
        return out;
    }
    HTTPResponseStream stream(connection, timeout);
    if (stream.ReadHeaders()) {
        char buffer[4096];
        int32_t n;
        while ((n = stream.Read(buffer, sizeof buffer)) > 0) out.body.append(buffer, static_cast<size_t>(n));
        if (n < 0) out.error = stream.ErrorText().Text();
    } else {
        out.error = stream.ErrorText().Text();
    }
    stream.CloseConnection();
    return out;
}

std::string Url(int port, const std::string& host, const std::string& path) {
    return "https://" + host + ":" + std::to_string(port) + path;
}

TEST(TlsNetwork, ChecksChainsNamesAndSendsSni) {
    LoopbackServer& server = LoopbackServer::Get(LoopbackServer::Tls);
    ASSERT_TRUE(server.ok);
    server.Route("/tls", test::Page("secure"));
    const std::string unverified = "Unable to verify server identity";
    struct Case {
        const char* host;
        int32_t options;
        int32_t useSni;
        const char* caDirectory;
        std::string error; // empty: the page arrives
        const char* serverName;
    } cases[] = {
        {"localhost", 0, -1, "ca", "", "localhost"},
        {"exact.test", 0, -1, "ca", "", "exact.test"},
        {"a.wild.test", 0, -1, "ca", "", "a.wild.test"},
        {"nomatch.test", 0, -1, "ca", unverified, "nomatch.test"},
        {"nomatch.test", 0x2000, -1, "ca", "", "nomatch.test"},
        // SNI picks the certificate: its common name is all it has.
        {"cn-only.test", 0, -1, "ca", "", "cn-only.test"},
        {"cnmatch.test", 0, 1, "ca", "", "cnmatch.test"},
        {"cn-only.test", 0, 0, "ca", unverified, ""},
        // IP addresses get no SNI and are checked only with 0x4000.
        {"127.0.0.1", 0, 1, "ca", "", ""},
        {"127.0.0.1", 0x4000, -1, "ca", "", ""},
        // The chain: the other CA signed nothing here, unless chains go unchecked.
        {"localhost", 0, -1, "ca2", "Error establishing SSL connection: certificate verify failed", ""},
        {"localhost", 0x1000, -1, "ca2", "", "localhost"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.host) + " options " + std::to_string(c.options) + " sni " +
                     std::to_string(c.useSni) + " " + c.caDirectory);
        NetworkApplication app;
        app.settings.SetInteger(kConfigSecurityOptions, c.options);
        app.settings.SetInteger(kConfigUseSni, c.useSni);
        test::SetText(app.settings, kConfigCaDir, Certificates::Get().Path(c.caDirectory));
        size_t before = server.Count();
        Fetched got = Fetch(app, Url(server.port, c.host, "/tls"));
        EXPECT_EQ(got.error, c.error);
        if (c.error.empty()) {
            EXPECT_EQ(got.body, "secure");
            ASSERT_EQ(server.Count(), before + 1);
            EXPECT_EQ(server.Last().serverName, c.serverName);
        }
    }
}

TEST(TlsNetwork, PresentsClientCertificates) {
    LoopbackServer& server = LoopbackServer::Get(LoopbackServer::TlsClientCertificate);
    ASSERT_TRUE(server.ok);
    server.Route("/who", test::Page("known"));
    struct Case {
        const char* file;
        const char* type;
        const char* passPhrase;
        bool served;
    } cases[] = {
        {"client-bundle.pem", "PEM", "secret", true},
        {"client.der", "ASN1", nullptr, true},
        {nullptr, nullptr, nullptr, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file ? c.file : "none");
        NetworkApplication app;
        Fetched got = Fetch(app, Url(server.port, "localhost", "/who"), c.file, c.type, c.passPhrase);
        EXPECT_EQ(got.body == "known", c.served) << got.error;
        if (c.served)
            EXPECT_EQ(server.Last().clientName, "vorn-client");
        else
            EXPECT_NE(got.error, "");
    }
    NetworkApplication app;
    // Forms that carry the operands pass them empty: no certificate, not a failed load.
    LoopbackServer& open = LoopbackServer::Get(LoopbackServer::Tls);
    open.Route("/who", test::Page("anyone"));
    EXPECT_EQ(Fetch(app, Url(open.port, "localhost", "/who"), "", "", "").body, "anyone");
    Fetched got = Fetch(app, Url(server.port, "localhost", "/who"), "client-bundle.pem", "pem", "wrong");
    EXPECT_FALSE(got.opened);
    EXPECT_EQ(got.error.rfind("Error reading client key: ", 0), 0u) << got.error;
}

TEST(TlsNetwork, EndsStreamsAndReportsFailures) {
    LoopbackServer& server = LoopbackServer::Get(LoopbackServer::Tls);
    ASSERT_TRUE(server.ok);
    const std::string untilClose = "HTTP/1.0 200 OK\r\n\r\nuntil the close";
    server.Route("/notify", test::Raw(untilClose, Ending::Close));
    server.Route("/abrupt", test::Raw(untilClose, Ending::Abrupt));
    server.Route("/cut", test::Raw("HTTP/1.1 200 OK\r\nContent-Length: 50\r\n\r\nshort", Ending::Abrupt));
    server.Route("/stall", Reply{{}, Ending::Stall});
    server.Route("/refuse", Reply{{}, Ending::Reset, false});
    struct Case {
        const char* path;
        std::string body;
        std::string error;
    } cases[] = {
        // close_notify and a bare TCP close both end the stream; the framing shows a cut.
        {"/notify", "until the close", ""},
        {"/abrupt", "until the close", ""},
        {"/cut", "short", "Read Error: Connection closed by remote host"},
        {"/stall", "", "SSL Read Timeout"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        NetworkApplication app;
        Fetched got = Fetch(app, Url(server.port, "localhost", c.path), nullptr, nullptr, nullptr, 1);
        EXPECT_TRUE(got.opened);
        EXPECT_EQ(got.body, c.body);
        EXPECT_EQ(got.error, c.error);
    }

    // A failed or timed-out read is -1, never the 0 of an end.
    NetworkApplication app;
    std::unique_ptr<NetworkConnection> connection(app.network.OpenURL(
        "GET", Url(server.port, "localhost", "/stall").c_str(), nullptr, nullptr, 0, nullptr, nullptr, nullptr,
        nullptr, 0, 1.1, 1));
    ASSERT_TRUE(connection);
    char byte;
    EXPECT_EQ(connection->Read(&byte, 1, 1), -1);
    EXPECT_STREQ(connection->ErrorText().Text(), "SSL Read Timeout");

    // Lines: an end before the LF and a line past the limit.
    server.Route("/unfinished", test::Raw("no line end", Ending::Abrupt));
    server.Route("/long", test::Raw(std::string((1 << 20) + 10, 'y')));
    for (auto [path, message] : {std::pair<const char*, const char*>{"/unfinished",
                                                                      "SSL Read Error: The remote server closed the "
                                                                      "connection"},
                                 {"/long", "SSL Read Error: Line too long"}}) {
        SCOPED_TRACE(path);
        connection.reset(app.network.OpenURL("GET", Url(server.port, "localhost", path).c_str(), nullptr, nullptr, 0,
                                             nullptr, nullptr, nullptr, nullptr, 0, 1.1, 5));
        ASSERT_TRUE(connection);
        String line;
        EXPECT_EQ(connection->ReadLine(line, 5, 512), -1);
        EXPECT_STREQ(connection->ErrorText().Text(), message);
    }

    // A reset during an upload fails the write, without a SIGPIPE.
    std::string body(8 << 20, 'u');
    connection.reset(app.network.OpenURL("POST", Url(server.port, "localhost", "/refuse").c_str(), body.data(),
                                         "text/plain", static_cast<int64_t>(body.size()), nullptr, nullptr, nullptr,
                                         nullptr, 0, 1.1, 5));
    EXPECT_FALSE(connection);
    std::string message = app.network.ErrorText().Text();
    EXPECT_TRUE(message.rfind("SSL Write Error: ", 0) == 0 || message.rfind("Write Error: ", 0) == 0) << message;
}

TEST(TlsNetwork, DropsPlaintextLeftWhenTlsStarts) {
    ASSERT_TRUE(Certificates::Get().ok);
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    // A peer that greets in plaintext with bytes beyond the line, then speaks TLS.
    std::thread peer([listener] {
        int fd = accept(listener, nullptr, nullptr);
        std::string greeting = "ready\r\nleftover plaintext";
        send(fd, greeting.data(), greeting.size(), MSG_NOSIGNAL);
        SSL_CTX* context = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate_file(context, Certificates::Get().Path("server.pem").c_str(), SSL_FILETYPE_PEM);
        SSL_CTX_use_PrivateKey_file(context, Certificates::Get().Path("server.key").c_str(), SSL_FILETYPE_PEM);
        SSL* ssl = SSL_new(context);
        SSL_set_fd(ssl, fd);
        if (SSL_accept(ssl) == 1) {
            SSL_write(ssl, "secure line\n", 12);
            SSL_shutdown(ssl);
        }
        SSL_free(ssl);
        SSL_CTX_free(context);
        close(fd);
    });
    NetworkApplication app;
    std::unique_ptr<NetworkConnection> connection(app.network.Connect("127.0.0.1", ntohs(address.sin_port), 5));
    ASSERT_TRUE(connection);
    String line;
    ASSERT_EQ(connection->ReadLine(line, 5, 512), 7);
    EXPECT_STREQ(line.Text(), "ready\r\n");
    EXPECT_TRUE(app.network.StartSSL(connection.get(), "localhost", nullptr, nullptr, nullptr, 5))
        << app.network.ErrorText().Text();
    EXPECT_EQ(connection->ReadLine(line, 5, 512), 12);
    EXPECT_STREQ(line.Text(), "secure line\n");
    char byte;
    EXPECT_EQ(connection->Read(&byte, 1, 5), 0);
    connection.reset();
    peer.join();
    close(listener);
}

TEST(TlsNetwork, TalksToOpenSSLsOwnServer) {
    const Certificates& certificates = Certificates::Get();
    ASSERT_TRUE(certificates.ok);
    test::ScratchDir documents;
    std::ofstream(documents.Path() + "/page", std::ios::binary)
        << "HTTP/1.0 200 ok\r\nContent-type: text/plain\r\n\r\nfrom s_server\r\n";
    OpenSSLServer named({"-servername", "cn-only.test", "-cert2", certificates.Path("cnonly.pem"), "-key2",
                         certificates.Path("cnonly.key")},
                        documents.Path());
    OpenSSLServer verifying({"-Verify", "1", "-CAfile", certificates.Path("ca/ca.pem")}, documents.Path());
    ASSERT_TRUE(named.ok && verifying.ok);
    struct Case {
        int port;
        const char* host;
        int32_t useSni;
        const char* certificate;
        const char* type;
        bool served;
    } cases[] = {
        {named.port, "localhost", -1, nullptr, nullptr, true},
        {named.port, "cn-only.test", -1, nullptr, nullptr, true},
        {named.port, "cn-only.test", 0, nullptr, nullptr, false}, // without SNI: localhost's certificate
        {verifying.port, "localhost", -1, "client-bundle.pem", "pem", true},
        {verifying.port, "localhost", -1, "client.der", "asn1", true},
        {verifying.port, "localhost", -1, nullptr, nullptr, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.host) + " sni " + std::to_string(c.useSni) + " " +
                     (c.certificate ? c.certificate : "-"));
        NetworkApplication app;
        app.settings.SetInteger(kConfigUseSni, c.useSni);
        Fetched got = Fetch(app, Url(c.port, c.host, "/page"), c.certificate, c.type, "secret");
        EXPECT_EQ(got.body == "from s_server\r\n", c.served) << got.error;
        if (c.served)
            EXPECT_EQ(got.error, "");
        else
            EXPECT_NE(got.error, "");
    }
}

} // namespace
} // namespace vorn
