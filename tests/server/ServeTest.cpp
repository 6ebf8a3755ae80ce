// nginx in front of vornfcgi and the extension, started once for the whole
// program by server/serve.sh (as `make run` starts them), on free ports, and
// a raw-socket client.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <atomic>
#include <random>
#include <regex>
#include <string>
#include <thread>

#include "tests/database/format/KPZIndexChecker.h"
#include "tests/platform/PlatformTestSupport.h"
#include "tests/server/ServerSupport.h"
#include "tests/tools/LoadedProgram.h"

extern char** environ;

namespace vorn::server::test {
namespace {

using platform::test::ReadText;
using platform::test::ScratchDir;
using platform::test::WriteText;

// The scripts of the site, in the assembler's text.
const char kHello[] = ".segment main entry\n    pushc \"Hello\"\n    out\n.end\n";

const char kEcho[] = R"(.system REQUEST_METHOD callerid documenturl arg2
.global a b
.segment main entry
    pushs REQUEST_METHOD
    pushc "|"
    cat
    pushs callerid
    cat
    pushc "|"
    cat
    pushs documenturl
    cat
    pushc "|"
    cat
    pushs arg2
    cat
    pushc "|"
    cat
    out
    pushc "a,b"
    hide
.end
)";

// Notes each file: name|status|size, and its digest through the test library.
const char kUpload[] = R"(.global files note
.extern uploaddigest()
.segment main entry
    pushg files
    out
    exit
.function Vorn_ValidateFileUpload(field, file, type)
    pushi 0
    ret
.function Vorn_ProcessFileUpload(field, file, status, path, type, size)
    call uploaddigest
    pop
    pushg files
    pushl file
    cat
    pushc "|"
    cat
    pushl status
    cat
    pushc "|"
    cat
    pushl size
    cat
    pushc ";"
    cat
    popg files
    pushi 1
    ret
.end
)";

// crypt comes from libcrypt, which only the extension links.
const char kCrypt[] = ".segment main entry\n    pushc \"test\"\n    pushc \"aa\"\n    crypt\n    out\n.end\n";

const char kLoop[] = ".segment main entry\n    pushc \"looping \"\n    out\nagain:\n    jmp again\n.end\n";

// Writes without end, 64 KiB at a time.
const char kFlood[] = R"(.global chunk i
.segment main entry
    storegi i, 0
    pushc "0123456789abcdef"
    popg chunk
grow:
    pushg chunk
    pushg chunk
    cat
    popg chunk
    incg i, 1
    cmpgi i, 12
    jmp_lt grow
again:
    pushg chunk
    out
    jmp again
.end
)";


// An SQL database of the vornsql library, made by the first request: each
// request adds a row for the parameter who (its SQL in the shared log);
// sqlcount counts the rows whose who is like the parameter.
const char kSqlOpen[] = R"SQL(    tagerror 28, 0
    tagerror 42, 0
    tagerror 44, 0
    tagerror 46, 0
    pushc "s"
    pushc "visits"
    pushc ""
    pushc "vornsql"
    pushc ""
    pushc ""
    dbopen
    pushg VrOPEN_Error
    pushc ""
    eq
    jmp_ne opened
    pushc "s"
    pushc "visits"
    pushc "vornsql"
    pushc ""
    dbcreate
    pushc "s"
    pushc "CREATE TABLE visits (who CHAR(20), n NUMERIC(6))"
    pushc ""
    dbquery
    pushc "s"
    pushc "CREATE INDEX visits_who ON visits (who)"
    pushc ""
    dbquery
opened:
    pushc "s"
    pushc "log"
    pushc "sql.log"
    dbcommand
)SQL";

const std::string kSqlAdd = std::string(".global who VrOPEN_Error VrQUERY_Error\n.segment main entry\n") + kSqlOpen +
                            R"SQL(    pushc "s"
    pushc "INSERT INTO visits VALUES (?, 1)"
    pushc "who"
    dbquery
    pushc "added "
    pushg VrQUERY_Error
    cat
    out
.end
)SQL";

const std::string kSqlCount = std::string(".global who VrOPEN_Error VrOPENVIEW_Error\n.segment main entry\n") +
                              kSqlOpen + R"SQL(    pushc "s"
    pushc "v"
    pushc "SELECT COUNT(*) AS n, SUM(n) AS total FROM visits WHERE who LIKE ?"
    pushc "who"
    dbopenview
    pushc "count="
    pushdc "v", "n"
    cat
    pushc " total="
    cat
    pushdc "v", "total"
    cat
    pushg VrOPENVIEW_Error
    cat
    out
.end
)SQL";

class Server : public ::testing::Environment {
  public:
    void SetUp() override {
        chmod(base.Path().c_str(), 0755);
        root = base / "www";
        data = base / "data";
        mkdir(root.c_str(), 0755);
        mkdir(data.c_str(), 0755);
        mkdir((root + "/dir").c_str(), 0755);
        for (auto [name, source] : {std::pair{"hello.vrc", kHello}, std::pair{"dir/index.vrc", kHello},
                                    std::pair{"echo.vrc", kEcho}, std::pair{"upload.vrc", kUpload},
                                    std::pair{"loop.vrc", kLoop}, std::pair{"flood.vrc", kFlood},
                                    std::pair{"crypt.vrc", kCrypt}}) {
            vorn::test::Bytes bytes = vorn::test::Assembled(source);
            WriteText(root + "/" + name, std::string(bytes.begin(), bytes.end()));
        }
        for (auto [name, source] : {std::pair{"sqladd.vrc", &kSqlAdd}, std::pair{"sqlcount.vrc", &kSqlCount}}) {
            vorn::test::Bytes bytes = vorn::test::Assembled(source->c_str());
            WriteText(root + "/" + name, std::string(bytes.begin(), bytes.end()));
        }
        // Outside the root: never served.
        vorn::test::Bytes secret = vorn::test::Assembled(".segment main entry\n pushc \"SECRET\"\n out\n.end\n");
        WriteText(base / "secret.vrc", std::string(secret.begin(), secret.end()));
        WriteText(base / "registry.conf",
                  "[SOFTWARE\\Vorn\\Vorn Tevrona NT]\nThreads = dword:1\n"
                  "[SOFTWARE\\Vorn\\Vorn Tevrona NT\\Configuration]\nvornroot = " + root + "\ndatadir = " + data +
                      "\nlibraries[] = b,," VORN_FIXTURE_UPLOADDIGEST "\nlibraries[] = d,vornsql," VORN_VORNSQL "\n"
                      "[SOFTWARE\\Vorn\\Vorn Tevrona NT\\Configuration\\1\\ROOT\\loop.vrc]\nglobaltimeout = dword:1\n");
        setenv("VORN_TEST_UPLOADS", data.c_str(), 1);
        setenv("VORN_TEST_DIGESTS", (base / "digests").c_str(), 1);

        port = FreePort();
        std::string portText = std::to_string(port);
        std::string state = base / "state";
        std::string registry = base / "registry.conf";
        const char* argv[] = {"bash",        VORN_SERVE_SCRIPT, "--build",    VORN_BUILD_ROOT,   "--root",
                              root.c_str(), "--state",         state.c_str(), "--port", portText.c_str(),
                              "--registry", registry.c_str(),  "--acceptors", "9",      nullptr};
        ASSERT_EQ(posix_spawn(&serve, "/bin/bash", nullptr, nullptr, const_cast<char**>(argv), environ), 0);
        socket = state + "/vornfcgi.sock";
        for (int i = 0; i < 400; ++i) {
            int fd = Connect("", port);
            if (fd >= 0) {
                close(fd);
                ready = true;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        FAIL() << "nginx did not come up";
    }

    void TearDown() override {
        if (serve <= 0) return;
        kill(serve, SIGTERM);
        int status = 0;
        waitpid(serve, &status, 0);
        // vornfcgi stopped cleanly: no request left running, nothing leaked.
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "serve.sh ended with " << status;
    }

    ScratchDir base;
    std::string root, data, socket;
    int port = 0;
    pid_t serve = 0;
    bool ready = false;
};

Server* server = nullptr;

class Serving : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(server && server->ready); }
    int Port() const { return server->port; }
};

uint64_t Fnv(const std::string& bytes) {
    uint64_t digest = 14695981039346656037ull;
    for (unsigned char c : bytes) digest = (digest ^ c) * 1099511628211ull;
    return digest;
}

TEST_F(Serving, PagesFormsAndCookies) {
    struct Case {
        const char* what;
        std::string method, target, headers, body;
        int status;
        std::string response; // a text the body must hold
    } cases[] = {
        {"a page", "GET", "/hello.vrc", "", "", 200, "Hello"},
        {"a folder's index", "GET", "/dir/", "", "", 200, "Hello"},
        {"a query", "GET", "/echo.vrc?x%20y+z", "", "", 200,
         "|http://localhost:" + std::to_string(server->port) + "/echo.vrc?|x y|"},
        {"a form with a repeated name", "POST", "/echo.vrc", "Content-Type: application/x-www-form-urlencoded\r\n",
         "a=1&a=%3Cb%3E&b=two+words", 200,
         "<input type=\"hidden\" name=\"a[1]\" value=\"1\"><input type=\"hidden\" name=\"a[2]\" "
         "value=\"&lt;b&gt;\"><input type=\"hidden\" name=\"b\" value=\"two words\">"},
        {"our caller id comes back", "GET", "/echo.vrc", "Cookie: kpzcallerid=0123456789abcdef0123456789abcdef\r\n", "",
         200, "|0123456789abcdef0123456789abcdef|"},
        {"crypt", "GET", "/crypt.vrc", "", "", 200, "aaqPiZY5xR5l."},
        {"a missing script", "GET", "/none.vrc", "", "", 200, "Unable to execute '/none.vrc'"},
        {"a backslash escape stays in the root", "GET", "/..%5Csecret.vrc", "", "", 200,
         "is not contained in the configured script directory"},
        {"escapes in a folder stay in the root", "GET", "/dir%5C..%5C..%5Csecret.vrc", "", "", 200,
         "is not contained in the configured script directory"},
        {"dot segments stay in the root", "GET", "/../secret.vrc", "", "", 400, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HttpResponse r = Http(Port(), c.method, c.target, c.headers, c.body);
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE(r.body.find(c.response), std::string::npos) << r.body;
        EXPECT_EQ(r.body.find("SECRET"), std::string::npos);
        if (r.status == 200) {
            EXPECT_EQ(r.Header("Content-Type"), "text/html");
            EXPECT_EQ(r.Header("Set-Cookie").substr(0, 12), "kpzcallerid=");
        }
    }
}

TEST_F(Serving, AFiveMegabyteUploadArrivesWhole) {
    std::string file(5 * 1024 * 1024, '\0');
    std::mt19937 random(3);
    for (char& c : file) c = static_cast<char>(random());
    std::string body = "--b0undary\r\nContent-Disposition: form-data; name=\"f\"; filename=\"big.bin\"\r\n"
                       "Content-Type: application/octet-stream\r\n\r\n" +
                       file + "\r\n--b0undary--\r\n";
    std::remove((server->base / "digests").c_str());
    HttpResponse r = Http(Port(), "POST", "/upload.vrc", "Content-Type: multipart/form-data; boundary=b0undary\r\n",
                          body, 60000);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "big.bin|COMPLETE|5242880;");
    char expected[64];
    std::snprintf(expected, sizeof expected, "5242880 %016llx\n", static_cast<unsigned long long>(Fnv(file)));
    EXPECT_EQ(ReadText(server->base / "digests"), expected);
    EXPECT_EQ(ReadText(server->base / "digests").size(), std::string(expected).size());
}

TEST_F(Serving, MalformedRequestsLeaveTheResponderServing) {
    // nginx answers what is not HTTP; the responder never sees it.
    int fd = Connect("", Port());
    SendAll(fd, "NOT HTTP AT ALL\r\n\r\n");
    EXPECT_EQ(ParseHttp(ReadAll(fd, 5000)).status, 400);
    close(fd);

    // Records that are no request get FastCGI's answers; what cannot become
    // a request is dropped unanswered. Each client hangs up once it sent its
    // bytes: the responder lets go of it too, having answered what it could.
    struct Case {
        const char* what;
        std::string bytes;
        std::string answer; // "" when the connection is closed unanswered
    } cases[] = {
        {"garbage", "\x07garbage that is no record at all", ""},
        {"a truncated begin record", Begin().substr(0, 5), ""},
        {"parameters cut short", Begin() + Record(4, Params({{"PATH_INFO", "/hello.vrc"}})).substr(0, 12), ""},
        {"a management record", Record(9, Params({{"FCGI_MAX_CONNS", ""}}), 0),
         Record(10, Params({{"FCGI_MAX_CONNS", "9"}}), 0)},
        {"another role", Begin(3) + Record(4, "") + Record(5, ""),
         Record(3, std::string(4, '\0') + "\x03" + std::string(3, '\0'))},
        {"a NUL in a parameter",
         Request({{"PATH_INFO", std::string("/hello.vrc\0x", 12)}, {"REQUEST_METHOD", "GET"}}), "Status: 400"},
        {"a request of our own",
         Request({{"PATH_INFO", "/hello.vrc"}, {"PATH_TRANSLATED", server->root + "/hello.vrc"},
                  {"REQUEST_METHOD", "GET"}, {"SERVER_NAME", "raw"}, {"SERVER_PORT", "80"}}),
         "Hello"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        int raw = Connect(server->socket, 0);
        ASSERT_GE(raw, 0);
        SendAll(raw, c.bytes);
        shutdown(raw, SHUT_WR);
        bool closed = false;
        std::string reply = ReadAll(raw, 35000, &closed);
        close(raw);
        EXPECT_TRUE(closed);
        if (c.answer.empty())
            EXPECT_EQ(reply, "");
        else
            EXPECT_NE(reply.find(c.answer), std::string::npos) << reply;
        EXPECT_EQ(Http(Port(), "GET", "/hello.vrc").body, "Hello") << "the responder still serves";
    }
}

// nginx waits longer for a page than the registry lets a script run (90 s
// by default; 1 s for loop.vrc here): the runtime's time-out comes first.
TEST_F(Serving, NginxWaitsLongerThanAnyScriptMayRun) {
    std::string conf = ReadText(server->base / "state/nginx.conf");
    std::smatch found;
    ASSERT_TRUE(std::regex_search(conf, found, std::regex(R"(fastcgi_read_timeout (\d+)s;)"))) << conf;
    EXPECT_GT(std::stoi(found[1]), 95);
}

// A responder started by hand under a low open-file limit takes no more
// acceptors than the limit leaves room for, says so, and serves beside
// hundreds of silent clients.
TEST_F(Serving, AcceptorsStayWithinTheOpenFileLimit) {
    std::string socket = server->base / "limited.sock";
    std::string log = server->base / "limited.log";
    std::string command = "ulimit -n 256 && VORN_REGISTRY='" + server->base / "registry.conf" + "' exec '" +
                          VORN_BUILD_ROOT + "/server/vornfcgi' --extension '" + VORN_BUILD_ROOT +
                          "/host/libVornVMIIS.so' --socket '" + socket + "' --acceptors 1000 2>'" + log + "'";
    const char* argv[] = {"bash", "-c", command.c_str(), nullptr};
    pid_t responder = 0;
    ASSERT_EQ(posix_spawn(&responder, "/bin/bash", nullptr, nullptr, const_cast<char**>(argv), environ), 0);
    int probe = -1;
    for (int i = 0; i < 400 && (probe = Connect(socket, 0)) < 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    ASSERT_GE(probe, 0) << ReadText(log);
    close(probe);
    EXPECT_NE(ReadText(log).find("vornfcgi: 1000 acceptors asked for, 128 taken: the open-file limit is 256\n"),
              std::string::npos)
        << ReadText(log);
    std::vector<int> silent;
    for (int i = 0; i < 400; ++i) silent.push_back(Connect(socket, 0));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    for (int round = 0; round < 3; ++round) {
        int fd = Connect(socket, 0);
        ASSERT_GE(fd, 0);
        SendAll(fd, Request({{"PATH_INFO", "/hello.vrc"}, {"PATH_TRANSLATED", server->root + "/hello.vrc"},
                             {"REQUEST_METHOD", "GET"}, {"SERVER_NAME", "raw"}, {"SERVER_PORT", "80"}}));
        std::string reply = ReadAll(fd, 10000);
        close(fd);
        EXPECT_NE(reply.find("Hello"), std::string::npos) << round;
    }
    for (int fd : silent) close(fd);
    kill(responder, SIGTERM);
    int status = 0;
    waitpid(responder, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(Serving, AClientThatLeavesFreesTheWorker) {
    // The flood never ends by itself; with one worker, the next request is
    // served only if the flood was stopped when its client went away.
    int fd = Connect("", Port());
    SendAll(fd, "GET /flood.vrc HTTP/1.1\r\nHost: localhost\r\n\r\n");
    std::string start = ReadAll(fd, 10000, nullptr, 200000);
    EXPECT_GE(start.size(), 200000u);
    close(fd);
    HttpResponse r = Http(Port(), "GET", "/hello.vrc", "", "", 30000);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "Hello");
}

TEST_F(Serving, AScriptPastItsDeadlineIsStopped) {
    auto started = std::chrono::steady_clock::now();
    HttpResponse r = Http(Port(), "GET", "/loop.vrc", "", "", 20000);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "looping Application timed out");
    // A one-second deadline, seen at the watchdog's next five-second tick.
    EXPECT_LT(seconds, 15.0);
}

// One response on a kept-alive connection: the head, then its length's worth
// or its chunks up to the last.
std::string ReadResponse(int fd, int milliseconds) {
    std::string raw;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        size_t head = raw.find("\r\n\r\n");
        if (head != std::string::npos) {
            HttpResponse r = ParseHttp(raw);
            std::string length = r.Header("Content-Length");
            if (!length.empty() && raw.size() >= head + 4 + std::stoul(length)) return raw;
            if (length.empty() && raw.size() >= 5 && raw.compare(raw.size() - 5, 5, "0\r\n\r\n") == 0) return raw;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return raw;
        char buffer[4096];
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return raw;
        raw.append(buffer, static_cast<size_t>(n));
    }
}

TEST_F(Serving, TwoThousandKeptAliveClientsAreHeld) {
    constexpr int kClients = 2000;
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlimit before = limit;
    limit.rlim_cur = limit.rlim_max;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    ASSERT_GT(limit.rlim_cur, static_cast<rlim_t>(kClients + 64)) << "too few file descriptors for the clients";
    std::vector<int> clients;
    auto hello = [&](int fd) {
        SendAll(fd, "GET /hello.vrc HTTP/1.1\r\nHost: localhost\r\n\r\n");
        return ParseHttp(ReadResponse(fd, 20000)).body;
    };
    // Each client is served, then stays connected and idle beside the others.
    for (int i = 0; i < kClients; ++i) {
        int fd = Connect("", Port());
        if (fd >= 0) clients.push_back(fd);
        std::string body = fd < 0 ? "no connection" : hello(fd);
        if (body != "Hello") {
            ADD_FAILURE() << "client " << i << " was not served: " << body;
            break;
        }
    }
    if (clients.size() == kClients) {
        EXPECT_EQ(hello(clients.front()), "Hello") << "the longest idle client is still held";
        EXPECT_EQ(hello(clients.back()), "Hello");
    }
    for (int fd : clients) close(fd);
    setrlimit(RLIMIT_NOFILE, &before);
}

// Run in a process of its own (see tests/CMakeLists.txt), so the load runs
// beside the other serving tests rather than after them.
TEST_F(Serving, SqlPagesInsertConcurrentlyAndCount) {
    HttpResponse first = Http(Port(), "GET", "/sqladd.vrc?who=first");
    ASSERT_EQ(first.body, "added ");
    constexpr int kClients = 4, kRequests = 200;
    std::vector<std::thread> clients;
    std::atomic<int> added{0};
    for (int c = 0; c < kClients; ++c)
        clients.emplace_back([&, c] {
            for (int i = 0; i < kRequests; ++i)
                if (Http(Port(), "GET", "/sqladd.vrc?who=client" + std::to_string(c)).body == "added ") ++added;
        });
    for (std::thread& t : clients) t.join();
    EXPECT_EQ(added.load(), kClients * kRequests);
    EXPECT_EQ(Http(Port(), "GET", "/sqlcount.vrc?who=client%25").body,
              "count=" + std::to_string(kClients * kRequests) + " total=" + std::to_string(kClients * kRequests));
    EXPECT_EQ(Http(Port(), "GET", "/sqlcount.vrc?who=client2").body,
              "count=" + std::to_string(kRequests) + " total=" + std::to_string(kRequests));
    EXPECT_EQ(Http(Port(), "GET", "/sqlcount.vrc?who=first").body, "count=1 total=1");
    // The index holds one sound entry per row.
    std::vector<vorn::test::IndexEntry> entries;
    ASSERT_TRUE(vorn::test::CheckIndex(ReadText(server->data + "/visits_who.vrx"), &entries));
    EXPECT_EQ(entries.size(), static_cast<size_t>(kClients * kRequests + 1));
    // Requests shared the log: every line is whole.
    std::string log = ReadText(server->data + "/sql.log");
    std::regex line(R"(SQL Prepare:|INSERT INTO visits VALUES \(\?, 1\)|SELECT COUNT.*|CREATE .*|-{20}|\d{4} SQL_\w+ .*)");
    size_t start = 0, lines = 0;
    for (size_t end; (end = log.find('\n', start)) != std::string::npos; start = end + 1, ++lines)
        ASSERT_TRUE(std::regex_match(log.substr(start, end - start), line)) << log.substr(start, end - start);
    EXPECT_GT(lines, static_cast<size_t>(kClients * kRequests * 3));
}

} // namespace
} // namespace vorn::server::test

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    vorn::server::test::server = new vorn::server::test::Server;
    ::testing::AddGlobalTestEnvironment(vorn::server::test::server);
    return RUN_ALL_TESTS();
}
