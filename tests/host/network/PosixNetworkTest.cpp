// Plain connections on loopback sockets: connects, lines, reads, writes,
// time-outs, stops and the texts of socket errors.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/network/HTTPResponseStream.h"
#include "host/network/PosixNetwork.h"
#include "platform/Sockets.h"
#include "tests/host/network/NetworkTestSupport.h"

namespace vorn {
namespace {

using test::Ending;
using test::LoopbackServer;
using test::NetworkApplication;
using test::Piece;
using test::Reply;

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

LoopbackServer& Server() {
    LoopbackServer& server = LoopbackServer::Get(LoopbackServer::Plain);
    EXPECT_TRUE(server.ok);
    return server;
}

// A connection to the server that has asked for path; its reply is next.
std::unique_ptr<NetworkConnection> Ask(NetworkApplication& app, const std::string& path) {
    std::unique_ptr<NetworkConnection> connection(app.network.Connect("127.0.0.1", Server().port, 5));
    EXPECT_TRUE(connection) << app.network.ErrorText().Text();
    if (!connection) return connection;
    std::string request = "GET " + path + " HTTP/1.1\r\n\r\n";
    EXPECT_EQ(connection->Write(request.data(), static_cast<int32_t>(request.size()), 5),
              static_cast<int32_t>(request.size()));
    return connection;
}

TEST(PosixNetwork, ConnectsOrSaysWhyNot) {
    NetworkApplication app;
    int closed = test::FreeLoopbackPort();
    std::string port = std::to_string(Server().port);
    struct Case {
        const char* host;
        uint32_t port;
        std::string message; // empty: connected
    } cases[] = {
        {"127.0.0.1", static_cast<uint32_t>(Server().port), ""},
        {"localhost.test", static_cast<uint32_t>(Server().port), ""},
        // The first address has no listener: the second is tried.
        {"two.test", static_cast<uint32_t>(Server().port), ""},
        {"127.0.0.1", static_cast<uint32_t>(closed),
         "Error connecting to 127.0.0.1 on port " + std::to_string(closed) + ": Connection refused"},
        {"two.test", static_cast<uint32_t>(closed),
         "Error connecting to two.test on port " + std::to_string(closed) + ": Connection refused"},
        {"gone.missing", 80, "Error looking up 'gone.missing'"},
        // Not wrapped onto another port.
        {"127.0.0.1", 65536 + static_cast<uint32_t>(Server().port),
         "Error connecting to 127.0.0.1 on port " + std::to_string(65536 + Server().port) + ": Invalid argument"},
        {"127.0.0.1", 4294967295u, "Error connecting to 127.0.0.1 on port 4294967295: Invalid argument"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.host) + ":" + std::to_string(c.port));
        std::unique_ptr<NetworkConnection> connection(app.network.Connect(c.host, c.port, 5));
        EXPECT_EQ(connection != nullptr, c.message.empty());
        if (!connection) {
            EXPECT_EQ(std::string(app.network.ErrorText().Text()), c.message);
        }
    }
    String address;
    EXPECT_EQ(app.network.LookupHost("two.test", address), 1);
    EXPECT_STREQ(address.Text(), "127.0.0.2");
    EXPECT_EQ(app.network.LookupHost("x.missing", address), -1);
    EXPECT_STREQ(app.network.ErrorText().Text(), "Error looking up 'x.missing'");
}

TEST(PosixNetwork, ConnectTimesOutOnAListenerThatNeverAccepts) {
    // A backlog of 0 that is full: later handshakes get no answer.
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    std::vector<int> fillers;
    bool full = false;
    for (int i = 0; i < 16 && !full; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        fillers.push_back(fd);
        pollfd entry{fd, POLLOUT, 0};
        full = poll(&entry, 1, 200) == 0;
    }
    ASSERT_TRUE(full) << "the listener kept accepting handshakes";

    NetworkApplication app;
    uint32_t port = ntohs(address.sin_port);
    Clock::time_point start = Clock::now();
    std::unique_ptr<NetworkConnection> connection(app.network.Connect("127.0.0.1", port, 1));
    double took = SecondsSince(start);
    EXPECT_EQ(connection, nullptr);
    EXPECT_EQ(std::string(app.network.ErrorText().Text()),
              "Error connecting to 127.0.0.1 on port " + std::to_string(port) + ": Connection timed out");
    EXPECT_GE(took, 0.9);
    EXPECT_LT(took, 3.0);
    for (int fd : fillers) close(fd);
    close(listener);
}

TEST(PosixNetwork, ReadsLinesAndBytes) {
    LoopbackServer& server = Server();
    server.Route("/lines", Reply{{Piece{"first li", 40}, Piece{"ne\r\nsecond\nre", 40}, Piece{"st", 0}}});
    server.Route("/unfinished", test::Raw("no line end"));
    server.Route("/long", test::Raw(std::string((1 << 20) + 10, 'x')));
    NetworkApplication app;

    std::unique_ptr<NetworkConnection> connection = Ask(app, "/lines");
    String line;
    EXPECT_EQ(connection->ReadLine(line, 5, 512), 12);
    EXPECT_STREQ(line.Text(), "first line\r\n");
    EXPECT_EQ(connection->ReadLine(line, 5, 4), 7); // a chunk size below the line's length changes nothing
    EXPECT_STREQ(line.Text(), "second\n");
    // Bytes read ahead for lines come first, then the socket's.
    char buffer[16];
    std::string rest;
    for (int32_t n; (n = connection->Read(buffer, sizeof buffer, 5)) > 0;) rest.append(buffer, static_cast<size_t>(n));
    EXPECT_EQ(rest, "rest");
    EXPECT_EQ(connection->Read(buffer, sizeof buffer, 5), 0);
    EXPECT_EQ(connection->Write("", 0, 5), 0);

    struct Case {
        const char* path;
        const char* message;
    } failures[] = {
        {"/unfinished", "Read Error: Connection closed by remote host"},
        {"/long", "Read Error: Line too long"},
    };
    for (const auto& c : failures) {
        SCOPED_TRACE(c.path);
        connection = Ask(app, c.path);
        line.Assign("stale");
        EXPECT_EQ(connection->ReadLine(line, 5, 512), -1);
        EXPECT_STREQ(line.Text(), "");
        EXPECT_STREQ(connection->ErrorText().Text(), c.message);
    }
}

TEST(PosixNetwork, WaitsEndAtTheirTimeOutOrWhenTheRequestStops) {
    LoopbackServer& server = Server();
    server.Route("/stall", Reply{{}, Ending::Stall});
    NetworkApplication app;

    // Signals do not cut a wait short: it goes on with the time left.
    struct sigaction quiet {};
    quiet.sa_handler = [](int) {};
    sigaction(SIGUSR1, &quiet, nullptr);
    pthread_t self = pthread_self();
    std::atomic<bool> waiting{true};
    std::thread interrupter([&] {
        while (waiting) {
            pthread_kill(self, SIGUSR1);
            platform::SleepMilliseconds(50);
        }
    });
    std::unique_ptr<NetworkConnection> connection = Ask(app, "/stall");
    char byte;
    Clock::time_point start = Clock::now();
    EXPECT_EQ(connection->Read(&byte, 1, 1), -1);
    double took = SecondsSince(start);
    waiting = false;
    interrupter.join();
    EXPECT_STREQ(connection->ErrorText().Text(), "Read Timeout");
    EXPECT_GE(took, 0.95);
    EXPECT_LT(took, 2.5);

    // No time-out anywhere: the wait has no limit but the request's stop.
    connection = Ask(app, "/stall");
    std::thread stopper([&] {
        platform::SleepMilliseconds(200);
        app.RequestStop();
    });
    start = Clock::now();
    String line;
    EXPECT_EQ(connection->ReadLine(line, 0, 512), -1);
    took = SecondsSince(start);
    stopper.join();
    EXPECT_STREQ(connection->ErrorText().Text(), "Read Timeout");
    EXPECT_LT(took, 2.0);
}

TEST(PosixNetwork, ADrippingPeerCannotOutlastTheGlobalTimeOut) {
    Reply drip;
    drip.pieces.push_back(Piece{"HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n", 0});
    for (int i = 0; i < 400; ++i) drip.pieces.push_back(Piece{"x", 25});
    Server().Route("/drip", drip);
    NetworkApplication app;
    app.settings.SetInteger(kConfigGlobalTimeout, 1);
    app.ResetTimeLimit();
    std::atomic<bool> running{true};
    std::thread watchdog([&] {
        while (running) {
            app.CheckTimeouts();
            platform::SleepMilliseconds(100);
        }
    });
    Clock::time_point start = Clock::now();
    NetworkConnection* connection =
        app.network.OpenURL("GET", Server().Url("/drip").c_str(), nullptr, nullptr, 0, nullptr, nullptr, nullptr,
                            nullptr, 0, 1.1, 30);
    ASSERT_NE(connection, nullptr);
    HTTPResponseStream stream(connection, 30);
    ASSERT_TRUE(stream.ReadHeaders());
    char buffer[64];
    int32_t n;
    int64_t total = 0;
    while ((n = stream.Read(buffer, sizeof buffer)) > 0) total += n;
    double took = SecondsSince(start);
    running = false;
    watchdog.join();
    stream.CloseConnection();
    EXPECT_EQ(n, -1);
    EXPECT_STREQ(stream.ErrorText().Text(), "Read Timeout");
    EXPECT_GT(total, 0);
    EXPECT_LT(took, 4.0);
}

TEST(PosixNetwork, ServesDescriptorsPastSelectsLimit) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < 1200 && limit.rlim_max >= 1200) {
        limit.rlim_cur = 1200;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < 1200) GTEST_SKIP() << "descriptor limit below 1200";
    std::vector<int> filler;
    int fd;
    while ((fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0 && fd < 1100) filler.push_back(fd);
    if (fd >= 0) filler.push_back(fd);
    Server().Route("/high", test::Raw("high\n"));
    NetworkApplication app;
    std::unique_ptr<NetworkConnection> connection = Ask(app, "/high");
    ASSERT_TRUE(connection);
    EXPECT_GT(static_cast<PosixNetworkConnection*>(connection.get())->Socket(), 1023);
    String line;
    EXPECT_EQ(connection->ReadLine(line, 5, 512), 5) << connection->ErrorText().Text();
    for (int f : filler) close(f);
}

TEST(PosixNetwork, WritesToAResetPeerFailWithoutASignal) {
    Server().Route("/refuse", Reply{{}, Ending::Reset, false});
    NetworkApplication app;
    std::string body(8 << 20, 'b');
    NetworkConnection* connection =
        app.network.OpenURL("POST", Server().Url("/refuse").c_str(), body.data(), "text/plain",
                            static_cast<int64_t>(body.size()), nullptr, nullptr, nullptr, nullptr, 0, 1.1, 5);
    EXPECT_EQ(connection, nullptr);
    std::string message = app.network.ErrorText().Text();
    EXPECT_TRUE(message == "Write Error: Connection reset by peer" || message == "Write Error: Broken pipe")
        << message;
}

// A line-protocol client whose greeting is an HTTP status line.
class StatusService : public NetworkService {
  public:
    using NetworkService::NetworkService;
    bool CheckResponse() override {
        String line;
        const char request[] = "GET /greet HTTP/1.1\r\n\r\n";
        if (connection->Write(request, sizeof request - 1, timeout) != sizeof request - 1 ||
            connection->ReadLine(line, timeout, 512) < 0) {
            SetError(connection->ErrorText());
            return false;
        }
        greeting = line.Text();
        return true;
    }
    std::string greeting;
};

TEST(PosixNetwork, ServicesConnectThroughTheApplicationsManager) {
    Server().Route("/greet", test::Page("hello"));
    NetworkApplication app;
    // The service takes the caller's buffer when it may.
    char* host = static_cast<char*>(std::malloc(16));
    std::strcpy(host, "127.0.0.1");
    bool adopt = true;
    StatusService service(&app, host, 9, 16, &adopt, static_cast<uint32_t>(Server().port), 5);
    EXPECT_FALSE(adopt);
    EXPECT_EQ(service.Connection(), nullptr);
    ASSERT_TRUE(service.Connect()) << service.ErrorText().Text();
    EXPECT_NE(service.Connection(), nullptr);
    EXPECT_EQ(service.greeting, "HTTP/1.1 200 OK\r\n");

    int closed = test::FreeLoopbackPort();
    bool copy = false;
    char name[] = "127.0.0.1";
    StatusService refused(&app, name, 9, 10, &copy, static_cast<uint32_t>(closed), 5);
    EXPECT_FALSE(refused.Connect());
    EXPECT_EQ(std::string(refused.ErrorText().Text()), "Error connecting to '127.0.0.1': Error connecting to 127.0.0.1 on port " +
                                                          std::to_string(closed) + ": Connection refused");
    EXPECT_EQ(refused.Connection(), nullptr);
}

TEST(PosixNetwork, NamesAddressesAndErrors) {
    NetworkApplication app;
    struct Case {
        const char* text;
        bool any, v4, v6;
    } cases[] = {
        {"127.0.0.1", true, true, false}, {"::1", true, false, true},   {"fe80::1%1", true, false, true},
        {"localhost", false, false, false}, {"1.2.3", true, true, false}, {"", false, false, false},
        {"[::1]", false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(app.network.IsIPAddress(c.text), c.any);
        EXPECT_EQ(app.network.IsIPv4Address(c.text), c.v4);
        EXPECT_EQ(app.network.IsIPv6Address(c.text), c.v6);
    }
    EXPECT_TRUE(app.network.NetworkManager::IsIPAddress("")); // the base: digits and dots only
    EXPECT_FALSE(app.network.NetworkManager::IsIPAddress("::1"));
    EXPECT_TRUE(app.network.SameIPv6Address("::1", "0:0:0::1"));
    EXPECT_FALSE(app.network.SameIPv6Address("::1", "::2"));
    EXPECT_FALSE(app.network.SameIPv6Address("::1", "127.0.0.1"));
    char text[64];
    const uint8_t v4[4] = {10, 0, 0, 7};
    EXPECT_TRUE(app.network.IPv4AddressText(v4, text, sizeof text));
    EXPECT_STREQ(text, "10.0.0.7");
    const uint8_t v6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    EXPECT_TRUE(app.network.IPv6AddressText(v6, text, sizeof text));
    EXPECT_STREQ(text, "2001:db8::1");
    EXPECT_FALSE(app.network.IPv6AddressText(v6, text, 4));
    EXPECT_STREQ(app.network.ErrorText().Text(), "Invalid IP address");

    char buffer[128];
    EXPECT_STREQ(platform::SocketErrorText(ETIMEDOUT, buffer, sizeof buffer), "Connection timed out");
    EXPECT_STREQ(platform::SocketErrorText(ECONNREFUSED, buffer, sizeof buffer), "Connection refused");
    EXPECT_STREQ(platform::SocketErrorText(EAFNOSUPPORT, buffer, sizeof buffer),
                 "Address family not supported by protocol family");
    EXPECT_STREQ(platform::SocketErrorText(ENOENT, buffer, sizeof buffer), "No such file or directory");
}

} // namespace
} // namespace vorn
