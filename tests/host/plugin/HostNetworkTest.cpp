// The network functions of both families, against loopback peers: the
// in-process HTTP/HTTPS server, `openssl s_server`, and a manager that maps
// "*.test" names to 127.0.0.1.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "host/plugin/VornHost.h"
#include "tests/host/network/NetworkTestSupport.h"
#include "tests/host/plugin/HostInterfaceSupport.h"

namespace vorn {
namespace {

using test::LoopbackServer;
using test::Page;
using test::Raw;

// The host's application with a network manager and TLS that trusts the test CA.
class NetworkHostApplication : public test::WithTestOpenSSL<test::HostApplication> {
  public:
    NetworkHostApplication() {
        networkManager = &network;
        test::SetText(settings, kConfigCaDir, test::Certificates::Get().Path("ca"));
        settings.SetInteger(kConfigGlobalTimeout, 10);
    }
    test::TestNetworkManager network{this};
};
using NetworkRig = test::HostRigFor<NetworkHostApplication>;

// The connection functions of one family; their signatures are the same.
struct Family {
    const char* name;
    decltype(&vrNetwork_Connect) connect;
    decltype(&vrNetwork_Open_URL) openURL;
    decltype(&vrNetwork_Read) read;
    decltype(&vrNetwork_Read_Line) readLine;
    decltype(&vrNetwork_Write) write;
    decltype(&vrNetwork_Close) close;
    decltype(&vrNetwork_Error) error;
    decltype(&vrNetwork_Get_Host_Address) hostAddress;
    decltype(&vrNetwork_Is_IP_Address) isIPAddress;
};

const Family kFamilies[] = {
    {"vr", vrNetwork_Connect, vrNetwork_Open_URL, vrNetwork_Read, vrNetwork_Read_Line, vrNetwork_Write,
     vrNetwork_Close, vrNetwork_Error, vrNetwork_Get_Host_Address, vrNetwork_Is_IP_Address},
    {"vorn", vorn_network_connect, vorn_network_openurl, vorn_network_read, vorn_network_readline,
     vorn_network_write, vorn_network_close, vorn_network_error, vorn_network_gethostaddress,
     vorn_network_isipaddress},
};

std::string ReadToEnd(const Family& family, VornConnection* connection) {
    std::string text;
    char buffer[256];
    for (int32_t n; (n = family.read(connection, buffer, sizeof buffer, 5)) > 0;)
        text.append(buffer, static_cast<size_t>(n));
    return text;
}

std::string ReadBody(VornHTTPResponse* response) {
    std::string text;
    char buffer[256];
    for (int32_t n; (n = vrHTTPResponse_Read(response, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<size_t>(n));
    return text;
}

size_t OpenDescriptors() {
    size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++n;
    }
    return n;
}

int32_t Length(const char* text) {
    return static_cast<int32_t>(std::strlen(text));
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

TEST(HostNetworkTest, PlainConnectionsWriteReadAndReadLines) {
    LoopbackServer& server = LoopbackServer::Get(LoopbackServer::Plain);
    ASSERT_TRUE(server.ok);
    server.Route("/lines", Raw("HTTP/1.0 200 OK\r\n0123456789abcdefghi\nX-A: 1\r\n\r\ntail"));
    NetworkRig rig;
    for (const Family& family : kFamilies) {
        SCOPED_TRACE(family.name);
        VornConnection* connection = family.connect(rig.P(), "peer.test", server.port);
        ASSERT_NE(connection, nullptr) << family.error(rig.P(), nullptr);
        const char request[] = "GET /lines HTTP/1.0\r\n\r\n";
        EXPECT_EQ(family.write(connection, request, Length(request)), Length(request));
        EXPECT_EQ(family.write(connection, "", 0), 0);
        char buffer[64];
        EXPECT_EQ(family.readLine(connection, buffer, sizeof buffer, 5), 17);
        EXPECT_STREQ(buffer, "HTTP/1.0 200 OK\r\n");
        // A line of 20 bytes into 10: 9 copied and terminated, 9 returned, the rest of the line gone.
        std::memset(buffer, 'q', sizeof buffer);
        EXPECT_EQ(family.readLine(connection, buffer, 10, 5), 9);
        EXPECT_STREQ(buffer, "012345678");
        EXPECT_EQ(buffer[10], 'q');
        EXPECT_EQ(family.readLine(connection, buffer, 4, 0), 3);
        EXPECT_STREQ(buffer, "X-A");
        EXPECT_EQ(family.readLine(connection, buffer, sizeof buffer, -1), 2);
        EXPECT_EQ(ReadToEnd(family, connection), "tail");
        // At the end a line read fails and leaves the empty text.
        EXPECT_LT(family.readLine(connection, buffer, sizeof buffer, 5), 0);
        EXPECT_STREQ(buffer, "");
        EXPECT_STREQ(family.error(rig.P(), connection), "Read Error: Connection closed by remote host");
        EXPECT_EQ(server.Last().head, request);
        family.close(connection);
    }

    // Failed connects leave the manager's message.
    int unused = test::FreeLoopbackPort();
    const struct {
        const char* host;
        int32_t port;
        std::string error;
    } refused[] = {
        {"127.0.0.1", unused,
         "Error connecting to 127.0.0.1 on port " + std::to_string(unused) + ": Connection refused"},
        {"x.missing", 80, "Error looking up 'x.missing'"},
        {"peer.test", -1, "Error connecting to peer.test on port 4294967295: Invalid argument"},
        {"peer.test", 65536, "Error connecting to peer.test on port 65536: Invalid argument"},
    };
    for (const Family& family : kFamilies) {
        for (const auto& c : refused) {
            EXPECT_EQ(family.connect(rig.P(), c.host, c.port), nullptr) << c.host;
            EXPECT_EQ(family.error(rig.P(), nullptr), c.error) << family.name;
        }
    }
}

TEST(HostNetworkTest, HostAddressesAndAddressLiterals) {
    NetworkRig rig;
    const struct {
        const char* host;
        int32_t size;
        int32_t result;
        std::string buffer; // up to its NUL; "qqqq" when untouched
    } lookups[] = {
        {"peer.test", 32, 1, "127.0.0.1"}, {"peer.test", 4, 1, "127"},
        {"peer.test", 1, 1, ""},           {"::1", 16, 1, "::1"},
        {"x.missing", 32, -1, "qqqq"},
    };
    const struct {
        const char* text;
        int32_t literal;
    } literals[] = {{"127.0.0.1", 1}, {"::1", 1}, {"peer.test", 0}, {"", 0}, {"1.2.3.4 ", 0}};
    for (const Family& family : kFamilies) {
        SCOPED_TRACE(family.name);
        for (const auto& c : lookups) {
            char buffer[40];
            std::memset(buffer, 'q', sizeof buffer);
            buffer[4] = '\0';
            EXPECT_EQ(family.hostAddress(rig.P(), c.host, buffer, c.size), c.result) << c.host;
            EXPECT_EQ(buffer, c.buffer) << c.host;
        }
        EXPECT_STREQ(family.error(rig.P(), nullptr), "Error looking up 'x.missing'");
        for (const auto& c : literals)
            EXPECT_EQ(family.isIPAddress(rig.P(), c.text), c.literal) << c.text;
    }
}

TEST(HostNetworkTest, TlsReachesOpenSSLsServerAndAFailedStartLeavesNoDescriptor) {
    ASSERT_TRUE(test::Certificates::Get().ok);
    test::ScratchDir documents;
    std::ofstream(documents.Path() + "/page", std::ios::binary)
        << "HTTP/1.0 200 ok\r\nContent-type: text/plain\r\n\r\nfrom s_server\r\n";
    test::OpenSSLServer server({}, documents.Path());
    ASSERT_TRUE(server.ok);
    NetworkRig rig;
    VornConnection* connection = vrNetwork_Connect_SSL(rig.P(), "localhost", server.port);
    ASSERT_NE(connection, nullptr) << vrNetwork_Error(rig.P(), nullptr);
    const char request[] = "GET /page HTTP/1.0\r\n\r\n";
    EXPECT_EQ(vrNetwork_Write(connection, request, Length(request)), Length(request));
    char line[64];
    EXPECT_EQ(vrNetwork_Read_Line(connection, line, sizeof line, 5), 17);
    EXPECT_STREQ(line, "HTTP/1.0 200 ok\r\n");
    EXPECT_NE(ReadToEnd(kFamilies[0], connection).find("\r\n\r\nfrom s_server\r\n"), std::string::npos);
    vrNetwork_Close(connection);

    // A chain no trusted CA signed fails the handshake; a name the certificate
    // does not carry fails the identity check after it.
    const struct {
        const char* caDirectory;
        const char* host;
        const char* error;
    } failures[] = {
        {"ca2", "localhost", "Error establishing SSL connection: certificate verify failed"},
        {"ca", "nomatch.test", "Unable to verify server identity"},
    };
    for (const auto& c : failures) {
        SCOPED_TRACE(c.host);
        NetworkRig failing;
        test::SetText(failing.app.settings, kConfigCaDir, test::Certificates::Get().Path(c.caDirectory));
        // The first attempt loads what TLS keeps for the process.
        EXPECT_EQ(vrNetwork_Connect_SSL(failing.P(), c.host, server.port), nullptr);
        size_t before = OpenDescriptors();
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(vrNetwork_Connect_SSL(failing.P(), c.host, server.port), nullptr);
            EXPECT_STREQ(vrNetwork_Error(failing.P(), nullptr), c.error);
        }
        EXPECT_LE(OpenDescriptors(), before);
    }
}

TEST(HostNetworkTest, RequestsAndResponsesThroughBothFamilies) {
    LoopbackServer& plain = LoopbackServer::Get(LoopbackServer::Plain);
    LoopbackServer& tls = LoopbackServer::Get(LoopbackServer::Tls);
    ASSERT_TRUE(plain.ok && tls.ok);
    for (LoopbackServer* server : {&plain, &tls}) {
        server->Route("/page", Page("hello"));
        server->Route("/chunked", Raw("HTTP/1.1 201 Made\r\nTransfer-Encoding: chunked\r\n\r\n"
                                      "5\r\nhello\r\n6;x=y\r\n world\r\n0\r\n\r\n"));
        server->Route("/silent", Raw(""));
    }
    NetworkRig rig;
    const std::string port = std::to_string(plain.port);
    const struct {
        LoopbackServer* server;
        const char* method;
        std::string url;
        double version;
        const char* body;
        int32_t bodyLength;
        int32_t status;
        int64_t contentLength;
        std::string received;
        std::string head; // the request head, or the error when the request fails
    } requests[] = {
        {&plain, "GET", plain.Url("/page"), 1.1, nullptr, 0, 200, 5, "hello",
         "GET /page HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\nConnection: close\r\n\r\n"},
        {&plain, "POST", plain.Url("/page?q=1"), 1.0, "a=1&b=2", -1, 200, 5, "hello",
         "POST /page?q=1 HTTP/1.0\r\nHost: 127.0.0.1:" + port +
             "\r\nContent-Type: text/plain\r\nContent-Length: 7\r\n\r\n"},
        {&plain, "HEAD", plain.Url("/page"), 1.1, "", 0, 200, 5, "", ""},
        {&plain, "GET", plain.Url("/chunked"), 1.1, nullptr, 0, 201, -1, "hello world", ""},
        {&plain, "GET", plain.Url("/missing"), 1.1, nullptr, 0, 404, 4, "none", ""},
        {&tls, "GET", tls.Url("/chunked", "localhost"), 1.1, nullptr, 0, 201, -1, "hello world", ""},
        {&plain, "GET", plain.Url("/silent"), 1.1, nullptr, 0, -1, -1, "",
         "Read Error: Connection closed by remote host"},
        {&plain, "GET", "ftp://peer.test/", 1.1, nullptr, 0, -1, -1, "", "Unsupported protocol 'ftp'"},
        {&plain, "GET", "peer.test/page", 1.1, nullptr, 0, -1, -1, "", "Malformed URL"},
        {&tls, "GET", tls.Url("/page", "nomatch.test"), 1.1, nullptr, 0, -1, -1, "",
         "Unable to verify server identity"},
    };
    for (const auto& c : requests) {
        SCOPED_TRACE(c.url);
        VornHTTPResponse* response = vrNetwork_HTTP_Request(rig.P(), c.method, c.url.c_str(), c.version,
                                                            c.body, "text/plain", c.bodyLength);
        if (c.status < 0) {
            EXPECT_EQ(response, nullptr);
            EXPECT_EQ(vrHTTPResponse_Error(rig.P(), nullptr), c.head);
            continue;
        }
        ASSERT_NE(response, nullptr) << vrHTTPResponse_Error(rig.P(), nullptr);
        EXPECT_EQ(vrHTTPResponse_Status_Code(response), c.status);
        EXPECT_EQ(vrHTTPResponse_Content_Length(response), c.contentLength);
        EXPECT_EQ(ReadBody(response), c.received);
        EXPECT_EQ(vrHTTPResponse_Read(response, nullptr, 0), 0);
        EXPECT_STREQ(vrHTTPResponse_Error(rig.P(), response), "");
        vrHTTPResponse_Close(response);
        test::Recorded sent = c.server->Last();
        if (!c.head.empty()) {
            EXPECT_EQ(sent.head, c.head);
        }
        EXPECT_EQ(sent.body, c.body && c.bodyLength ? c.body : "");
    }

    // Opening a URL sends an HTTP/1.0 request and leaves the response to the caller.
    for (const Family& family : kFamilies) {
        SCOPED_TRACE(family.name);
        VornConnection* connection =
            family.openURL(rig.P(), "PUT", plain.Url("/page").c_str(), "x=1\0y", "text/plain", 5);
        ASSERT_NE(connection, nullptr) << family.error(rig.P(), nullptr);
        std::string response = ReadToEnd(family, connection);
        family.close(connection);
        EXPECT_TRUE(StartsWith(response, "HTTP/1.1 200 OK\r\n")) << response;
        EXPECT_EQ(plain.Last().head, "PUT /page HTTP/1.0\r\nHost: 127.0.0.1:" + port +
                                         "\r\nContent-Type: text/plain\r\nContent-Length: 5\r\n\r\n");
        EXPECT_EQ(plain.Last().body, std::string("x=1\0y", 5));
        EXPECT_EQ(family.openURL(rig.P(), "GET", "gopher://peer.test/", nullptr, nullptr, 0), nullptr);
        EXPECT_STREQ(family.error(rig.P(), nullptr), "Unsupported protocol 'gopher'");
    }
}

TEST(HostNetworkTest, HostileArgumentsGiveTheFailureValueAndTouchNothing) {
    LoopbackServer& server = LoopbackServer::Get(LoopbackServer::Plain);
    ASSERT_TRUE(server.ok);
    server.Route("/page", Page("hello"));
    NetworkRig rig;
    test::HostRig unconnected; // an application without a network manager
    const std::string url = server.Url("/page");
    VornConnection* connection = vrNetwork_Connect(rig.P(), "peer.test", server.port);
    VornHTTPResponse* response =
        vrNetwork_HTTP_Request(rig.P(), "GET", url.c_str(), 1.1, nullptr, nullptr, 0);
    ASSERT_TRUE(connection && response);
    size_t requests = server.Count();
    char buffer[8];
    std::memset(buffer, 'q', sizeof buffer);
    VornProgram* p = rig.P();
    VornProgram* none = unconnected.P();
    const std::function<bool()> refused[] = {
        // No program, or one whose application makes no connections.
        [&] { return vrNetwork_Connect(nullptr, "peer.test", server.port) == nullptr; },
        [&] { return vorn_network_connect(none, "peer.test", server.port) == nullptr; },
        [&] { return vrNetwork_Connect_SSL(none, "localhost", 443) == nullptr; },
        [&] { return vrNetwork_Open_URL(none, "GET", url.c_str(), nullptr, nullptr, 0) == nullptr; },
        [&] {
            return vrNetwork_HTTP_Request(nullptr, "GET", url.c_str(), 1.1, nullptr, nullptr, 0) == nullptr;
        },
        [&] { return vrNetwork_Get_Host_Address(none, "peer.test", buffer, 8) == -1; },
        [&] {
            return vrNetwork_Is_IP_Address(none, "127.0.0.1") == 0 &&
                   vorn_network_isipaddress(nullptr, "::1") == 0;
        },
        // Null texts and lengths that cannot be.
        [&] { return vrNetwork_Connect(p, nullptr, server.port) == nullptr; },
        [&] { return vrNetwork_Connect_SSL(p, nullptr, server.port) == nullptr; },
        [&] { return vrNetwork_Open_URL(p, "POST", url.c_str(), nullptr, "text/plain", 3) == nullptr; },
        [&] { return vorn_network_openurl(p, "POST", url.c_str(), "abc", "text/plain", -2) == nullptr; },
        [&] { return vrNetwork_HTTP_Request(p, "POST", url.c_str(), 1.1, nullptr, nullptr, -1) == nullptr; },
        [&] { return vrNetwork_Is_IP_Address(p, nullptr) == 0; },
        // Buffers without room are never written.
        [&] { return vrNetwork_Get_Host_Address(p, "peer.test", buffer, 0) == -1; },
        [&] { return vorn_network_gethostaddress(p, "peer.test", buffer, -1) == -1; },
        [&] { return vrNetwork_Get_Host_Address(p, "peer.test", nullptr, 8) == -1; },
        [&] { return vorn_network_gethostaddress(p, nullptr, buffer, 8) == -1; },
        [&] { return vrNetwork_Read_Line(connection, buffer, 0, 5) == -1; },
        [&] { return vorn_network_readline(connection, buffer, -4, 5) == -1; },
        [&] { return vrNetwork_Read_Line(connection, nullptr, 8, 5) == -1; },
        [&] { return vrNetwork_Read_Line(nullptr, buffer, 8, 5) == -1; },
        [&] { return vorn_network_read(connection, buffer, -1, 5) == -1; },
        [&] { return vrNetwork_Read(connection, nullptr, 4, 5) == -1; },
        [&] { return vrNetwork_Read(nullptr, buffer, 4, 5) == -1; },
        [&] { return vrNetwork_Write(connection, nullptr, 3) == -1; },
        [&] { return vorn_network_write(connection, "abc", -1) == -1; },
        [&] { return vorn_network_write(nullptr, "abc", 3) == -1; },
        [&] { return vrHTTPResponse_Read(response, buffer, -1) == -1; },
        [&] { return vrHTTPResponse_Read(response, nullptr, 4) == -1; },
        [&] { return vrHTTPResponse_Read(nullptr, buffer, 4) == -1; },
        [&] {
            return vrHTTPResponse_Status_Code(nullptr) == -1 && vrHTTPResponse_Content_Length(nullptr) == -1;
        },
    };
    for (size_t i = 0; i < std::size(refused); ++i)
        EXPECT_TRUE(refused[i]()) << i;
    EXPECT_EQ(std::string(buffer, sizeof buffer), "qqqqqqqq");
    EXPECT_EQ(server.Count(), requests);
    vrNetwork_Close(nullptr);
    vorn_network_close(nullptr);
    vrHTTPResponse_Close(nullptr);
    for (const char* text : {vrNetwork_Error(nullptr, nullptr), vorn_network_error(none, nullptr),
                             vrHTTPResponse_Error(none, nullptr)})
        EXPECT_STREQ(text, "Network connections are not available");

    // The live connection and response were left as they were.
    const char request[] = "GET /page HTTP/1.0\r\n\r\n";
    EXPECT_EQ(vrNetwork_Write(connection, request, Length(request)), Length(request));
    char line[64];
    EXPECT_EQ(vrNetwork_Read_Line(connection, line, sizeof line, 5), 17);
    EXPECT_EQ(ReadBody(response), "hello");
    vrNetwork_Close(connection);
    vrHTTPResponse_Close(response);
}

// A library's fetch through both families, called from a script in the test's
// host and in the runner.
constexpr char kFetchProgram[] = R"(
.extern hi_fetch(a, b)
.segment main entry
    pushc "vr"
    pushc "$URL"
    call hi_fetch
    out
    pushc "#"
    out
    pushc "vorn"
    pushc "$URL"
    call hi_fetch
    out
    pushc "#"
    out
    pushc "vr"
    pushc "$REFUSED"
    call hi_fetch
    out
    exit
.end
)";

TEST(HostNetworkTest, ALibraryFetchesThroughTheHostAndTheRunner) {
    LoopbackServer& server = LoopbackServer::Get(LoopbackServer::Plain);
    ASSERT_TRUE(server.ok);
    server.Route("/page", Page("hello"));
    int unused = test::FreeLoopbackPort();
    std::string source = kFetchProgram;
    for (size_t at; (at = source.find("$URL")) != std::string::npos;)
        source.replace(at, 4, server.Url("/page"));
    source.replace(source.find("$REFUSED"), 8, "http://127.0.0.1:" + std::to_string(unused) + "/");
    const std::string expected =
        "200|5|hello#HTTP/1.1 200 OK|hello#error:Error connecting to 127.0.0.1 on port " +
        std::to_string(unused) + ": Connection refused";

    NetworkRig rig(source, "sub/t.vrc", true);
    EXPECT_EQ(rig.Execute(), 1) << rig.sink.text;
    EXPECT_EQ(rig.sink.text, expected);

    int status = -1;
    std::string output = test::RunWithLibrary(rig.tree, source, &status);
    EXPECT_EQ(status, 0) << output;
    EXPECT_EQ(output, expected);
}

} // namespace
} // namespace vorn
