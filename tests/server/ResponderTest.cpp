// The responder with an extension of the test's own: how requests become
// control blocks and what comes back for each way an extension answers.
#include <fcgiapp.h>
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "server/Responder.h"
#include "tests/platform/PlatformTestSupport.h"
#include "tests/server/ServerSupport.h"

namespace vorn::server::test {
namespace {

using Block = platform::ISAPIControlBlock;

// What the fake extension does with each request, and what it kept (on the
// responder's threads, looked at by the test's).
std::function<uint32_t(Block*)> gServe;
std::mutex gKeptMutex;
std::vector<Block*> gKept;
int gTerminated = 0;

uint32_t Keep(Block* b) {
    std::lock_guard<std::mutex> lock(gKeptMutex);
    gKept.push_back(b);
    return platform::kISAPIStatusPending;
}

// The blocks kept so far, once there are `count` or a second has passed.
std::vector<Block*> AwaitKept(size_t count) {
    for (int i = 0; i < 500; ++i) {
        {
            std::lock_guard<std::mutex> lock(gKeptMutex);
            if (gKept.size() >= count) return gKept;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::lock_guard<std::mutex> lock(gKeptMutex);
    return gKept;
}

// The extension's workers, where a test asks for them: requests are queued
// and served on these threads, as the extension's request pool does, and
// how long each held its worker is noted.
class Workers {
  public:
    explicit Workers(int count) {
        for (int i = 0; i < count; ++i) threads.emplace_back([this] { Run(); });
    }
    ~Workers() { Stop(); }
    void Post(Block* b) {
        std::lock_guard<std::mutex> lock(mutex);
        queue.push_back(b);
        posted.notify_one();
    }
    // Ends once the queued requests are served.
    void Stop() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        posted.notify_all();
        for (std::thread& t : threads) t.join();
        threads.clear();
    }
    // Once count requests were served (or 10 s passed).
    void AwaitFinished(int count) {
        std::unique_lock<std::mutex> lock(mutex);
        served.wait_for(lock, std::chrono::seconds(10), [&] { return finished >= count; });
    }
    // The longest a request held its worker since the last call.
    std::chrono::milliseconds Longest() {
        std::lock_guard<std::mutex> lock(mutex);
        auto held = std::chrono::duration_cast<std::chrono::milliseconds>(longest);
        longest = {};
        return held;
    }

  private:
    void Run() {
        for (;;) {
            Block* b = nullptr;
            {
                std::unique_lock<std::mutex> lock(mutex);
                posted.wait(lock, [this] { return stopping || !queue.empty(); });
                if (queue.empty()) return;
                b = queue.front();
                queue.erase(queue.begin());
            }
            auto start = std::chrono::steady_clock::now();
            gServe(b);
            auto held = std::chrono::steady_clock::now() - start;
            std::lock_guard<std::mutex> lock(mutex);
            longest = std::max(longest, held);
            ++finished;
            served.notify_all();
        }
    }
    std::mutex mutex;
    std::condition_variable posted;
    std::condition_variable served;
    int finished = 0;
    std::vector<Block*> queue;
    bool stopping = false;
    std::chrono::steady_clock::duration longest{};
    std::vector<std::thread> threads;
};
Workers* gWorkers = nullptr;

bool FakeVersion(platform::ISAPIVersionInfo*) { return true; }
uint32_t FakeProc(Block* block) {
    if (!gWorkers) return gServe(block);
    gWorkers->Post(block);
    return platform::kISAPIStatusPending;
}
bool FakeTerminate(uint32_t) {
    ++gTerminated;
    if (gWorkers) gWorkers->Stop();
    return true;
}

std::string Variable(Block* b, const char* name) {
    size_t size = 0;
    if (b->getServerVariable(b->connection, name, nullptr, &size) || errno != ERANGE) return "<none>";
    std::string value(size, '\0');
    if (!b->getServerVariable(b->connection, name, value.data(), &size)) return "<failed>";
    value.resize(size - 1);
    return value;
}

bool Head(Block* b, const char* status, const char* headers) {
    return b->serverSupportFunction(b->connection, platform::kISAPISendResponseHeader, const_cast<char*>(status),
                                    nullptr, const_cast<char*>(headers));
}

bool Write(Block* b, const std::string& text) {
    size_t n = text.size();
    return b->writeClient(b->connection, text.data(), &n, 0) && n == text.size();
}

void Done(Block* b) {
    b->serverSupportFunction(b->connection, platform::kISAPIDoneWithSession, nullptr, nullptr, nullptr);
}

// The STDOUT records of a reply, joined.
std::string Output(const std::string& reply) {
    std::string out;
    for (size_t at = 0; at + 8 <= reply.size();) {
        size_t length = static_cast<unsigned char>(reply[at + 4]) << 8 | static_cast<unsigned char>(reply[at + 5]);
        size_t padding = static_cast<unsigned char>(reply[at + 6]);
        if (reply[at + 1] == 6) out += reply.substr(at + 8, length);
        at += 8 + length + padding;
    }
    return out;
}

// The records of a reply: its output, and its end records ("id:status").
std::string Ends(const std::string& reply) {
    std::string ends;
    for (size_t at = 0; at + 8 <= reply.size();) {
        size_t length = static_cast<unsigned char>(reply[at + 4]) << 8 | static_cast<unsigned char>(reply[at + 5]);
        if (reply[at + 1] == 3 && at + 16 <= reply.size())
            ends += (ends.empty() ? "" : " ") +
                    std::to_string(static_cast<unsigned char>(reply[at + 2]) << 8 |
                                   static_cast<unsigned char>(reply[at + 3])) +
                    ":" + std::to_string(static_cast<unsigned char>(reply[at + 12]));
        at += 8 + length + static_cast<unsigned char>(reply[at + 6]);
    }
    return ends;
}

std::string EndRecord(int id, int protocolStatus) {
    return Record(3, std::string(4, '\0') + static_cast<char>(protocolStatus) + std::string(3, '\0'), id);
}

// The bytes of an answer of one record of output.
std::string Answered(const std::string& output, int id = 1) {
    return Record(6, output, id) + Record(6, "", id) + EndRecord(id, 0);
}

// Reads until count end records came (or the peer closed, or 5 s passed).
std::string ReadEnds(int fd, size_t count, bool* closed, int milliseconds = 5000) {
    std::string reply;
    *closed = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        size_t ends = 0;
        for (size_t at = 0; at + 8 <= reply.size();) {
            size_t end = at + 8 + (static_cast<unsigned char>(reply[at + 4]) << 8 |
                                   static_cast<unsigned char>(reply[at + 5])) +
                         static_cast<unsigned char>(reply[at + 6]);
            if (end > reply.size()) break;
            if (reply[at + 1] == 3) ++ends;
            at = end;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (ends >= count || *closed || left.count() <= 0) return reply;
        reply += ReadAll(fd, static_cast<int>(left.count()), closed, 1);
    }
}

struct Rig {
    // workers 0: the extension answers on the thread that hands it the request.
    explicit Rig(int32_t acceptors = 2, int workers = 0) {
        static int initialised = FCGX_Init();
        (void)initialised;
        path = dir / "s.sock";
        listener = FCGX_OpenSocket(path.c_str(), 256);
        extension.getVersion = &FakeVersion;
        extension.httpProc = &FakeProc;
        extension.terminate = &FakeTerminate;
        if (workers > 0) {
            pool = std::make_unique<Workers>(workers);
            gWorkers = pool.get();
        }
        responder = std::make_unique<Responder>(&extension, listener, acceptors);
        std::string error;
        EXPECT_TRUE(responder->Start(&error)) << error;
    }
    ~Rig() {
        responder.reset();
        gWorkers = nullptr;
        pool.reset();
        close(listener);
    }
    // One request on a connection of its own; the reply's output.
    std::string Ask(const std::vector<std::pair<std::string, std::string>>& params, const std::string& body = "",
                    int milliseconds = 10000) {
        int fd = Connect(path, 0);
        SendAll(fd, Request(params, body));
        std::string reply = ReadAll(fd, milliseconds);
        close(fd);
        return Output(reply);
    }

    platform::test::ScratchDir dir;
    std::string path;
    int listener = -1;
    Extension extension;
    std::unique_ptr<Workers> pool;
    std::unique_ptr<Responder> responder;
};

TEST(Responder, EachWayAnExtensionAnswers) {
    struct Case {
        const char* what;
        std::function<uint32_t(Block*)> serve;
        std::string body;
        std::string output;
    } cases[] = {
        {"a head and a body",
         [](Block* b) {
             EXPECT_FALSE(Write(b, "early")) << "no body before the head";
             EXPECT_TRUE(Head(b, "200 OK", "Content-Type: text/plain\r\n\r\n"));
             EXPECT_FALSE(Head(b, "200 OK", "X: 1\r\n\r\n")) << "one head only";
             EXPECT_TRUE(Write(b, "hi"));
             Done(b);
             return platform::kISAPIStatusPending;
         },
         "", "Status: 200 OK\r\nContent-Type: text/plain\r\n\r\nhi"},
        {"done without a head", [](Block* b) { Done(b); return platform::kISAPIStatusPending; }, "",
         "Status: 500 Internal Server Error\r\nContent-Type: text/plain\r\n\r\n500 Internal Server Error\n"},
        {"a head that would splice", [](Block* b) {
             EXPECT_FALSE(Head(b, "200 OK\r\nSet-Cookie: x=1", ""));
             EXPECT_FALSE(Head(b, "200 OK", "A: 1\r\nB: 2\nC: 3\r\n\r\n"));
             Done(b);
             return platform::kISAPIStatusPending;
         },
         "", "Status: 500 Internal Server Error\r\nContent-Type: text/plain\r\n\r\n500 Internal Server Error\n"},
        {"a request the extension refuses", [](Block*) { return platform::kISAPIStatusError; }, "",
         "Status: 500 Internal Server Error\r\nContent-Type: text/plain\r\n\r\n500 Internal Server Error\n"},
        {"the body: read ahead, then read", [](Block* b) {
             std::string body(reinterpret_cast<const char*>(b->data), b->availableBytes);
             EXPECT_EQ(b->availableBytes, static_cast<size_t>(Responder::kPreRead));
             char piece[4096];
             for (size_t n = sizeof piece; b->readClient(b->connection, piece, &n) && n > 0; n = sizeof piece)
                 body.append(piece, n);
             Head(b, "200 OK", "");
             Write(b, std::to_string(b->totalBytes) + " " + std::to_string(body.size()) + " " +
                          std::to_string(std::hash<std::string>()(body) % 1000));
             Done(b);
             return platform::kISAPIStatusPending;
         },
         std::string(100000, 'b'),
         "Status: 200 OK\r\n\r\n100000 100000 " +
             std::to_string(std::hash<std::string>()(std::string(100000, 'b')) % 1000)},
        {"server variables as the extension expects them", [](Block* b) {
             Head(b, "200 OK", "");
             for (const char* name : {"ALL_HTTP", "APPL_MD_PATH", "PATH_TRANSLATED", "SERVER_PORT_SECURE",
                                      "REMOTE_HOST", "QUERY_STRING", "MISSING"}) {
                 Write(b, std::string(name) + "=" + Variable(b, name) + ";");
                 // Lent, the same text.
                 size_t length = 99;
                 const char* lent = b->serverVariableText(b->connection, name, &length);
                 EXPECT_EQ(lent ? std::string(lent, length) : "<none>", Variable(b, name)) << name;
             }
             std::string headers;
             const char *name = nullptr, *value = nullptr;
             size_t nameLength = 0, valueLength = 0;
             for (size_t i = 0; b->requestHeader(b->connection, i, &name, &nameLength, &value, &valueLength); ++i)
                 headers += std::string(name, nameLength) + "=" + std::string(value, valueLength) + "|";
             EXPECT_EQ(headers, "HTTP_HOST=example|HTTP_X_TWO=a\r\n b|");
             EXPECT_TRUE(platform::HasOptionalCallbacks(b));
             Write(b, std::string(b->method) + " " + b->pathInfo + " " + b->pathTranslated);
             Done(b);
             return platform::kISAPIStatusPending;
         },
         "",
         "Status: 200 OK\r\n\r\nALL_HTTP=HTTP_HOST:example\nHTTP_X_TWO:a b\n;APPL_MD_PATH=/LM/W3SVC/1/ROOT;"
         "PATH_TRANSLATED=/srv/www/p.vrc;SERVER_PORT_SECURE=1;REMOTE_HOST=192.0.2.1;QUERY_STRING=;"
         "MISSING=<none>;POST /p.vrc /srv/www/p.vrc"},
    };
    Rig rig;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        gServe = c.serve;
        std::vector<std::pair<std::string, std::string>> params = {
            {"REQUEST_METHOD", "POST"},     {"PATH_INFO", "/p.vrc"},  {"DOCUMENT_ROOT", "/srv/www"},
            {"HTTP_HOST", "example"},        {"HTTP_X_TWO", "a\r\n b"}, {"HTTPS", "on"},
            {"REMOTE_ADDR", "192.0.2.1"},   {"QUERY_STRING", ""},
            {"CONTENT_LENGTH", std::to_string(c.body.size())}};
        EXPECT_EQ(rig.Ask(params, c.body), c.output);
    }
}

// An extension that answers with the body it read, or 400 when the read failed.
uint32_t Echo(Block* b) {
    std::string body(reinterpret_cast<const char*>(b->data), b->availableBytes);
    bool read = true;
    char piece[1000];
    while (body.size() < b->totalBytes) {
        size_t n = sizeof piece;
        if (!(read = b->readClient(b->connection, piece, &n)) || n == 0) break;
        body.append(piece, n);
    }
    Head(b, read ? "200 OK" : "400 Bad Request", "");
    Write(b, body);
    Done(b);
    return platform::kISAPIStatusPending;
}

// Random bytes after a good head end the connection, never the responder
// (the stream's own cases are FastCgi.ARequestsRecordsBothWays).
TEST(Responder, RandomBytesAfterAHeadEndTheConnectionNotTheResponder) {
    gServe = Echo;
    const std::string head = Begin(1, true) +
                             Record(4, Params({{"PATH_INFO", "/e"}, {"CONTENT_LENGTH", "8"}})) + Record(4, "");
    Rig rig;
    std::mt19937 random(11);
    for (int round = 0; round < 200; ++round) {
        std::string junk(random() % 64, '\0');
        for (char& ch : junk) ch = static_cast<char>(random() % 8 == 0 ? 5 : random());
        int fd = Connect(rig.path, 0);
        SendAll(fd, head + junk);
        shutdown(fd, SHUT_WR);
        ReadAll(fd, 5000);
        close(fd);
    }
    EXPECT_EQ(rig.Ask({{"PATH_INFO", "/after"}, {"CONTENT_LENGTH", "3"}}, "xyz"), "Status: 200 OK\r\n\r\nxyz");
}

TEST(Responder, ManyRequestsOnOneKeptConnection) {
    gServe = Echo;
    Rig rig;
    int fd = Connect(rig.path, 0);
    // The output of the next answer, read up to its end record.
    std::string reply;
    auto answer = [fd, &reply]() -> std::string {
        for (;;) {
            for (size_t at = 0; reply.size() - at >= 8;) {
                size_t total = 8 + (static_cast<unsigned char>(reply[at + 4]) << 8 |
                                    static_cast<unsigned char>(reply[at + 5])) +
                               static_cast<unsigned char>(reply[at + 6]);
                if (reply.size() - at < total) break;
                at += total;
                if (reply[at - total + 1] == 3) {
                    std::string output = Output(reply.substr(0, at));
                    reply.erase(0, at);
                    return output;
                }
            }
            std::string more = ReadAll(fd, 2000, nullptr, 1);
            if (more.empty()) return "<no end> " + Output(reply);
            reply += more;
        }
    };
    auto request = [](int n, const std::string& body) {
        return Begin(1, true) +
               Record(4, Params({{"PATH_INFO", "/r" + std::to_string(n)}, {"QUERY_STRING", std::string(200, 'q')},
                                 {"CONTENT_LENGTH", std::to_string(body.size())}})) +
               Record(4, "") + (body.empty() ? "" : Record(5, body)) + Record(5, "");
    };
    // Some 40 kilobytes of requests: bodies that come late among them, and
    // two requests in one write at the end.
    for (int n = 0; n < 120; ++n) {
        std::string body = n % 9 == 4 ? "late" + std::to_string(n) : n % 5 == 0 ? "b" + std::to_string(n) : "";
        std::string bytes = request(n, body);
        if (n % 9 == 4) {
            size_t cut = bytes.size() - 12;
            ASSERT_TRUE(SendAll(fd, bytes.substr(0, cut)));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            ASSERT_TRUE(SendAll(fd, bytes.substr(cut)));
        } else if (n == 118) {
            ASSERT_TRUE(SendAll(fd, bytes + request(119, "last")));
        } else if (n == 119) {
            continue;
        } else {
            ASSERT_TRUE(SendAll(fd, bytes));
        }
        ASSERT_EQ(answer(), "Status: 200 OK\r\n\r\n" + body) << n;
        if (n == 118) {
            ASSERT_EQ(answer(), "Status: 200 OK\r\n\r\nlast");
        }
    }
    close(fd);
}

TEST(Responder, ARequestLeftOpenByAStoppedExtensionGets503) {
    gKept.clear();
    gTerminated = 0;
    gServe = Keep;
    Rig rig;
    int fd = Connect(rig.path, 0);
    SendAll(fd, Request({{"PATH_INFO", "/kept.vrc"}}));
    ASSERT_EQ(AwaitKept(1).size(), 1u);
    // Read while the responder stops: libfcgi's close waits for the peer's.
    std::string reply;
    std::thread reader([&] {
        reply = ReadAll(fd, 5000);
        close(fd);
    });
    EXPECT_TRUE(rig.responder->Stop());
    reader.join();
    EXPECT_EQ(gTerminated, 1);
    EXPECT_EQ(Output(reply),
              "Status: 503 Service Unavailable\r\nContent-Type: text/plain\r\n\r\n503 Service Unavailable\n");
}

TEST(Responder, AHeadInPiecesStaysWithItsWorkerWhenTheClientHangsUp) {
    // The head comes in two pieces, so the poller watched the connection for
    // a hang-up while it waited for the rest; the hang-up that comes once the
    // worker has the request is the worker's to see, not the poller's.
    gKept.clear();
    gServe = Keep;
    Rig rig;
    int fd = Connect(rig.path, 0);
    std::string request = Request({{"PATH_INFO", "/pieces.vrc"}});
    SendAll(fd, request.substr(0, 20));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    SendAll(fd, request.substr(20));
    std::vector<Block*> kept = AwaitKept(1);
    ASSERT_EQ(kept.size(), 1u);
    close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    signal(SIGPIPE, SIG_IGN); // as vornfcgi does
    EXPECT_TRUE(Head(kept[0], "200 OK", ""));
    EXPECT_TRUE(kept[0]->serverSupportFunction(kept[0]->connection, platform::kISAPIDoneWithSession, nullptr,
                                               nullptr, nullptr))
        << "the request was still the worker's to end";
    // Both acceptors serve the next two connections at once, the one whose
    // answer failed too (clients that connect and send a moment later).
    gServe = [](Block* b) {
        Head(b, "200 OK", "");
        Write(b, b->pathInfo);
        Done(b);
        return platform::kISAPIStatusPending;
    };
    int first = Connect(rig.path, 0), second = Connect(rig.path, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    SendAll(first, Request({{"PATH_INFO", "/first"}}));
    SendAll(second, Request({{"PATH_INFO", "/second"}}));
    EXPECT_EQ(Output(ReadAll(first, 5000)), "Status: 200 OK\r\n\r\n/first");
    EXPECT_EQ(Output(ReadAll(second, 5000)), "Status: 200 OK\r\n\r\n/second");
    close(first);
    close(second);
}

// The reply to one request on a kept connection: records up to its end.
std::string ReplyOnKept(int fd, bool* closed) {
    std::string reply;
    *closed = false;
    for (;;) {
        std::string more = ReadAll(fd, 5000, closed, 1);
        if (more.empty()) return reply;
        reply += more;
        // Complete records only; the end-request record closes the reply.
        size_t at = 0;
        while (at + 8 <= reply.size()) {
            size_t length = static_cast<unsigned char>(reply[at + 4]) << 8 | static_cast<unsigned char>(reply[at + 5]);
            size_t end = at + 8 + length + static_cast<unsigned char>(reply[at + 6]);
            if (end > reply.size()) break;
            if (reply[at + 1] == 3) return reply;
            at = end;
        }
    }
}

// What comes on a kept connection while its request is served (the next
// request, or the client's hang-up) is acted on once the request ends.
TEST(Responder, WhatComesWhileARequestIsServedIsSeenWhenItEnds) {
    gKept.clear();
    gServe = Keep;
    Rig rig;
    auto kept = [](const std::string& path) {
        return Begin(1, true) + Record(4, Params({{"PATH_INFO", path}})) + Record(4, "") + Record(5, "");
    };
    auto answer = [](Block* b) {
        Head(b, "200 OK", "");
        Write(b, b->pathInfo);
        Done(b);
    };
    int next = Connect(rig.path, 0), hangUp = Connect(rig.path, 0);
    ASSERT_TRUE(SendAll(next, kept("/one")));
    ASSERT_TRUE(SendAll(hangUp, kept("/alone")));
    ASSERT_EQ(AwaitKept(2).size(), 2u);
    ASSERT_TRUE(SendAll(next, kept("/two")));
    shutdown(hangUp, SHUT_WR);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::vector<Block*> blocks = AwaitKept(2);
    for (Block* b : blocks) answer(b);
    bool closed = false;
    EXPECT_EQ(Output(ReplyOnKept(next, &closed)), "Status: 200 OK\r\n\r\n/one");
    ASSERT_EQ(AwaitKept(3).size(), 3u) << "the request sent while /one was served";
    answer(AwaitKept(3)[2]);
    EXPECT_EQ(Output(ReplyOnKept(next, &closed)), "Status: 200 OK\r\n\r\n/two");
    EXPECT_FALSE(closed);
    EXPECT_EQ(Output(ReplyOnKept(hangUp, &closed)), "Status: 200 OK\r\n\r\n/alone");
    ReadAll(hangUp, 5000, &closed);
    EXPECT_TRUE(closed) << "the hang-up closed the connection";
    close(next);
    close(hangUp);
}

TEST(Responder, KeptConnectionsServeRequestAfterRequest) {
    // Answers come late, from a thread of the extension's own, so the
    // acceptor is waiting on the connection when they end.
    std::vector<std::thread> answering;
    std::mutex answeringMutex;
    gServe = [&](Block* b) {
        std::lock_guard<std::mutex> lock(answeringMutex);
        answering.emplace_back([b] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            Head(b, "200 OK", "");
            Write(b, b->pathInfo);
            Done(b);
        });
        return platform::kISAPIStatusPending;
    };
    auto keptRequest = [](const std::string& path, const std::string& stdinRecords) {
        return Begin(1, true) + Record(4, Params({{"PATH_INFO", path}})) + Record(4, "") + stdinRecords;
    };
    {
        Rig rig;
        // Two connections at once, three requests each: both acceptors stay free
        // to take the next request of their own connection.
        int first = Connect(rig.path, 0), second = Connect(rig.path, 0);
        for (int i = 0; i < 3; ++i) {
            for (int fd : {first, second}) {
                std::string path = "/" + std::to_string(fd) + "/" + std::to_string(i);
                ASSERT_TRUE(SendAll(fd, keptRequest(path, Record(5, ""))));
                bool closed = false;
                EXPECT_EQ(Output(ReplyOnKept(fd, &closed)), "Status: 200 OK\r\n\r\n" + path);
                EXPECT_FALSE(closed) << "the connection is kept";
            }
        }
        // A body the length did not announce, arriving late and larger than
        // what is drained: the request's end closes the connection.
        ASSERT_TRUE(SendAll(first, keptRequest("/unannounced", "")));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::string body;
        for (int i = 0; i < 3; ++i) body += Record(5, std::string(40000, 'u'));
        SendAll(first, body);
        bool closed = false;
        std::string reply = ReplyOnKept(first, &closed);
        EXPECT_EQ(Output(reply), "Status: 200 OK\r\n\r\n/unannounced");
        ReadAll(first, 5000, &closed);
        EXPECT_TRUE(closed);
        close(first);
        // The acceptor that served it takes new connections again.
        int third = Connect(rig.path, 0);
        ASSERT_TRUE(SendAll(third, keptRequest("/third", Record(5, ""))));
        EXPECT_EQ(Output(ReplyOnKept(third, &closed)), "Status: 200 OK\r\n\r\n/third");
        close(second);
        // A client that stops reading: the answer fails and the worker closes
        // the connection while its acceptor waits on it, the client still
        // holding its end. That acceptor must come free for the next one.
        signal(SIGPIPE, SIG_IGN); // as vornfcgi does
        int deaf = Connect(rig.path, 0);
        ASSERT_TRUE(SendAll(deaf, keptRequest("/deaf", Record(5, ""))));
        shutdown(deaf, SHUT_RD);
        int next = Connect(rig.path, 0);
        ASSERT_TRUE(SendAll(next, keptRequest("/next", Record(5, ""))));
        EXPECT_EQ(Output(ReplyOnKept(next, &closed)), "Status: 200 OK\r\n\r\n/next");
        close(deaf);
        close(next);
        close(third);
        std::lock_guard<std::mutex> lock(answeringMutex);
        for (std::thread& t : answering) t.join();
        answering.clear();
    }
}

// A request on a kept connection whose body records have other records
// between them, and the next request in the same write: the next one is
// answered every time, though no event tells of its bytes once they were
// peeked at with the first.
TEST(Responder, ASecondRequestInTheSameWriteIsAlwaysAnswered) {
    gServe = Echo;
    const std::string between[] = {Record(5, "zz", 2), Record(9, "", 0),
                                   Record(4, Params({{"PATH_INFO", "/other"}}), 3)};
    const std::string next = Begin(1, true) + Record(4, Params({{"PATH_INFO", "/n"}})) + Record(4, "") + Record(5, "");
    Rig rig;
    int lost = 0;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const std::string first = Begin(1, true) +
                                  Record(4, Params({{"PATH_INFO", "/e"}, {"CONTENT_LENGTH", "4"}})) + Record(4, "") +
                                  Record(5, "ab") + between[attempt % 3] + Record(5, "cd") + Record(5, "");
        int fd = Connect(rig.path, 0);
        ASSERT_TRUE(SendAll(fd, first + next));
        bool closed = false;
        std::string reply = ReadEnds(fd, 2, &closed, 2000);
        close(fd);
        if (Ends(reply) != "1:0 1:0") ++lost;
        ASSERT_EQ(Output(reply).substr(0, 22), "Status: 200 OK\r\n\r\nabcd") << attempt;
    }
    EXPECT_EQ(lost, 0);
}

// A client that sends a head with a NUL parameter (or a length that is no
// number) and then nothing more gets its 400; nobody else waits for it.
TEST(Responder, AClientThatFallsSilentHoldsUpNoOther) {
    gServe = Echo;
    const std::string nul = Record(4, Params({{"PATH_INFO", "/nul"}, {"QUERY_STRING", std::string("a\0b", 3)}}));
    const struct {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"a NUL parameter, then nothing", Begin() + nul + Record(4, "")},
        {"a NUL parameter on a kept connection, then nothing", Begin(1, true) + nul + Record(4, "")},
        {"a NUL parameter and part of a body, then nothing",
         Begin(1, true) + nul + Record(4, "") + Record(5, "partial")},
        {"a length of digits and letters and part of a body, then nothing",
         Begin(1, true) + Record(4, Params({{"PATH_INFO", "/12abc"}, {"CONTENT_LENGTH", "12abc"}})) + Record(4, "") +
             Record(5, "partial")},
    };
    Rig rig(4);
    std::vector<int> silent;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        int fd = Connect(rig.path, 0);
        silent.push_back(fd);
        ASSERT_TRUE(SendAll(fd, c.bytes));
        bool closed = false;
        EXPECT_EQ(Output(ReadEnds(fd, 1, &closed)),
                  "Status: 400 Bad Request\r\nContent-Type: text/plain\r\n\r\n400 Bad Request\n");
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(rig.Ask({{"PATH_INFO", "/other"}, {"CONTENT_LENGTH", "1"}}, "x", 5000),
                  "Status: 200 OK\r\n\r\nx");
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    }
    for (int fd : silent) close(fd);
}

// Clients that stall once their request is answered (or never let it begin)
// hold no worker: four of each kind, with four workers, and the next request
// is answered at once.
TEST(Responder, ClientsThatStallHoldNoWorker) {
    signal(SIGPIPE, SIG_IGN); // as vornfcgi does
    gServe = [](Block* b) {
        Head(b, "200 OK", "");
        if (std::string(b->pathInfo) == "/large") {
            const std::string piece(64 * 1024, 'L');
            for (int i = 0; i < 80; ++i) Write(b, piece); // 5 MB
        } else {
            Write(b, b->pathInfo);
        }
        Done(b);
        return platform::kISAPIStatusPending;
    };
    // Before, each held its worker: 60 s (2 s for the close), the test's
    // bound being what writing the large answer may take on a loaded machine.
    const struct {
        const char* what;
        std::string bytes;
        bool readsAnswer;
        int boundMilliseconds;
        int runs; // requests of the kind that reach a worker
    } kinds[] = {
        {"never send their input", Begin() + Record(4, Params({{"PATH_INFO", "/silent"}})) + Record(4, ""), false,
         1000, 0},
        {"never read a large answer", Request({{"PATH_INFO", "/large"}}), false, 5000, 4},
        {"never close a connection not kept", Request({{"PATH_INFO", "/open"}}), true, 1000, 4},
        {"never send the rest of their body (their requests never begin)",
         Begin(1, true) + Record(4, Params({{"PATH_INFO", "/kept"}, {"CONTENT_LENGTH", "100000"}})) +
             Record(4, "") + Record(5, std::string(60000, 'b')),
         false, 1000, 0},
    };
    int runs = 0;
    Rig rig(24, 4);
    std::vector<int> stalled;
    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind.what);
        for (int i = 0; i < 4; ++i) {
            int fd = Connect(rig.path, 0);
            stalled.push_back(fd);
            ASSERT_TRUE(SendAll(fd, kind.bytes));
            if (kind.readsAnswer) {
                bool closed = false;
                EXPECT_EQ(Ends(ReadEnds(fd, 1, &closed)), "1:0");
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(rig.Ask({{"PATH_INFO", "/next"}}, "", 5000), "Status: 200 OK\r\n\r\n/next");
        // Each kind's requests are measured alone.
        runs += kind.runs + 1;
        rig.pool->AwaitFinished(runs);
        EXPECT_LT(rig.pool->Longest(), std::chrono::milliseconds(kind.boundMilliseconds)) << "a worker waited";
    }
    for (int fd : stalled) close(fd);
}

// Many clients that send their heads a byte at a time hold the connections
// only until others need them, and the poller sleeps between their bytes.
TEST(Responder, SlowHeadsShutNoClientOut) {
    gServe = [](Block* b) {
        Head(b, "200 OK", "");
        Write(b, b->pathInfo);
        Done(b);
        return platform::kISAPIStatusPending;
    };
    Rig rig(32);
    std::vector<int> slow;
    for (int i = 0; i < 100; ++i) slow.push_back(Connect(rig.path, 0));
    std::atomic<bool> stop{false};
    std::thread trickle([&] {
        const std::string head = Begin() + Record(4, Params({{"PATH_INFO", std::string(3000, 's')}}));
        for (size_t at = 0; !stop && at < head.size(); ++at) {
            for (int fd : slow) send(fd, &head[at], 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    for (int i = 0; i < 5; ++i) {
        auto asked = std::chrono::steady_clock::now();
        EXPECT_EQ(rig.Ask({{"PATH_INFO", "/normal"}}, "", 3000), "Status: 200 OK\r\n\r\n/normal") << i;
        EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(3));
    }
    std::this_thread::sleep_for(start + std::chrono::seconds(3) - std::chrono::steady_clock::now());
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    double cpu = seconds(after.ru_utime) - seconds(before.ru_utime) + seconds(after.ru_stime) -
                 seconds(before.ru_stime);
    // The trickle and the poller take some 15 percent of a core; a poller
    // that looked again at every partial head on every pass took all of it.
    EXPECT_LT(cpu, 0.5 * wall) << cpu << " s of CPU in " << wall << " s";
    stop = true;
    trickle.join();
    for (int fd : slow) close(fd);
}

// Every connection holds a partial head, and nobody else is waiting when
// their grace is over: a client that comes later still takes the place of one.
TEST(Responder, AClientThatComesWhenAllHoldPartialHeadsIsTaken) {
    gServe = Echo;
    Rig rig(2);
    int first = Connect(rig.path, 0), second = Connect(rig.path, 0);
    ASSERT_TRUE(SendAll(first, Begin()));
    ASSERT_TRUE(SendAll(second, Begin()));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(rig.Ask({{"PATH_INFO", "/later"}}, "", 3000), "Status: 200 OK\r\n\r\n");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    close(first);
    close(second);
}

// A hang-up that comes with the last bytes of a request: the request is
// answered; a head that can no longer complete is closed at once.
TEST(Responder, AHangUpWithTheLastBytesLeavesTheRequestAnswered) {
    gServe = Echo;
    const std::string request = Request({{"PATH_INFO", "/h"}, {"CONTENT_LENGTH", "2"}}, "hi");
    Rig rig(4);
    for (int attempt = 0; attempt < 20; ++attempt) {
        int fd = Connect(rig.path, 0);
        ASSERT_TRUE(SendAll(fd, request.substr(0, 20)));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_TRUE(SendAll(fd, request.substr(20)));
        shutdown(fd, SHUT_WR);
        bool closed = false;
        EXPECT_EQ(Output(ReadAll(fd, 5000, &closed)), "Status: 200 OK\r\n\r\nhi") << attempt;
        EXPECT_TRUE(closed);
        close(fd);
    }
    for (size_t cut : {size_t{0}, size_t{30}, request.size() - 12}) {
        int fd = Connect(rig.path, 0);
        ASSERT_TRUE(SendAll(fd, request.substr(0, 20)));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_TRUE(SendAll(fd, request.substr(20, cut > 20 ? cut - 20 : 0)));
        shutdown(fd, SHUT_WR);
        auto start = std::chrono::steady_clock::now();
        bool closed = false;
        std::string reply = ReadAll(fd, 3000, &closed);
        EXPECT_TRUE(closed) << cut;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << cut;
        EXPECT_EQ(Output(reply), cut > 40 ? "Status: 400 Bad Request\r\nContent-Type: text/plain\r\n\r\n400 Bad "
                                            "Request\n"
                                          : "")
            << cut;
        close(fd);
    }
}

// A request whose input breaks (an abort, a record no input may hold) is
// ended without being run, whether its input came with its head or later;
// a kept connection goes on after an abort, and closes after broken records.
TEST(Responder, ABodyThatBreaksIsNeverRun) {
    std::atomic<int> runs{0};
    gServe = [&runs](Block* b) {
        ++runs;
        return Echo(b);
    };
    auto head = [](size_t length) {
        return Begin(1, true) +
               Record(4, Params({{"PATH_INFO", "/b"}, {"CONTENT_LENGTH", std::to_string(length)}})) + Record(4, "");
    };
    const std::string refused = "Status: 400 Bad Request\r\nContent-Type: text/plain\r\n\r\n400 Bad Request\n";
    const struct {
        const char* what;
        std::string bytes;
        std::string output;
    } cases[] = {
        {"an abort amid the body", head(4) + Record(5, "ab") + Record(2, ""), ""},
        {"an abort after the whole body", head(2) + Record(5, "ab") + Record(2, ""), ""},
        {"an abort of a request without a body", head(0) + Record(2, ""), ""},
        {"an abort amid the parameters",
         Begin(1, true) + Record(4, Params({{"PATH_INFO", "/b"}})) + Record(2, ""), ""},
        {"an abort with content and padding", head(4) + Record(5, "ab") + [] {
             std::string abort = Record(2, "xy") + std::string(2, '\0');
             abort[6] = 2;
             return abort;
         }(),
         ""},
        {"an unknown type amid the body", head(4) + Record(5, "ab") + Record(12, "cd"), refused},
        {"another version amid the body", head(4) + Record(5, "ab") + std::string(1, '\2') + Record(5, "cd").substr(1),
         refused},
        {"parameters amid the body", head(4) + Record(5, "ab") + Record(4, "x"), refused},
    };
    Rig rig(4);
    for (const auto& c : cases) {
        for (size_t piece : {size_t{0}, size_t{7}}) {
            SCOPED_TRACE(std::string(c.what) + (piece ? ", in pieces" : ", at once"));
            int fd = Connect(rig.path, 0);
            if (piece == 0) {
                ASSERT_TRUE(SendAll(fd, c.bytes));
            } else {
                for (size_t at = 0; at < c.bytes.size(); at += piece) {
                    ASSERT_TRUE(SendAll(fd, c.bytes.substr(at, piece)));
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            }
            bool closed = false;
            std::string reply = ReadEnds(fd, 1, &closed);
            EXPECT_EQ(Output(reply), c.output);
            EXPECT_EQ(Ends(reply), "1:0");
            if (c.output.empty()) {
                // Aborted: the next request on the connection is served.
                int before = runs;
                ASSERT_TRUE(SendAll(fd, Begin(1, true) + Record(4, Params({{"PATH_INFO", "/next"}})) +
                                            Record(4, "") + Record(5, "")));
                reply = ReadEnds(fd, 1, &closed);
                EXPECT_EQ(Output(reply), "Status: 200 OK\r\n\r\n");
                EXPECT_FALSE(closed);
                runs = before;
            } else {
                ReadAll(fd, 5000, &closed);
                EXPECT_TRUE(closed);
            }
            close(fd);
        }
    }
    EXPECT_EQ(runs, 0);
}

// Records that are no request served here get the answers FastCGI gives, and
// the connection goes on as it was asked to.
TEST(Responder, RecordsOfNoRequestAreAnsweredAsFastCgiDoes) {
    gServe = Echo;
    const std::string request = Begin(1, true) + Record(4, Params({{"PATH_INFO", "/r"}})) + Record(4, "") +
                                Record(5, "");
    const std::string role = Record(4, Params({{"PATH_INFO", "/role"}})) + Record(4, "") + Record(5, "");
    const std::string answer = Answered("Status: 200 OK\r\n\r\n");
    const struct {
        const char* what;
        std::string bytes;
        std::string reply;
        size_t ends;
        bool closed;
    } cases[] = {
        {"a question, then a request",
         Record(9, Params({{"FCGI_MAX_CONNS", ""}, {"FCGI_MAX_REQS", ""}, {"FCGI_MPXS_CONNS", ""}}), 0) + request,
         Record(10, Params({{"FCGI_MAX_CONNS", "3"}, {"FCGI_MAX_REQS", "3"}, {"FCGI_MPXS_CONNS", "0"}}), 0) + answer, 1,
         false},
        {"a management record of an unknown type, then a request", Record(42, "?", 0) + request,
         Record(11, std::string(1, '\x2a') + std::string(7, '\0'), 0) + answer, 1, false},
        {"another role on a kept connection, then a request", Begin(2, true) + role + request,
         EndRecord(1, 3) + answer, 2, false},
        {"another role", Begin(2, false) + role, EndRecord(1, 3), 1, true},
        {"a second request amid the first's body",
         Begin(1, true) + Record(4, Params({{"PATH_INFO", "/one"}, {"CONTENT_LENGTH", "4"}})) + Record(4, "") +
             Record(5, "ab") + Record(1, Begin().substr(8), 2) + Record(4, "", 2) + Record(5, "cd") + Record(5, ""),
         EndRecord(2, 1) + Answered("Status: 200 OK\r\n\r\nabcd"), 2, false},
        {"a second request amid the first's parameters",
         Begin(1, true) + Record(1, Begin().substr(8), 2) + Record(4, Params({{"PATH_INFO", "/one"}})) +
             Record(4, "") + Record(5, ""),
         EndRecord(2, 1) + answer, 2, false},
    };
    Rig rig(3);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        int fd = Connect(rig.path, 0);
        ASSERT_TRUE(SendAll(fd, c.bytes));
        bool closed = false;
        std::string reply = ReadEnds(fd, c.ends, &closed);
        if (c.closed) reply += ReadAll(fd, 5000, &closed);
        EXPECT_EQ(reply, c.reply);
        EXPECT_EQ(closed, c.closed);
        close(fd);
    }
    // A question alone is answered at once.
    int fd = Connect(rig.path, 0);
    ASSERT_TRUE(SendAll(fd, Record(9, Params({{"FCGI_MPXS_CONNS", ""}}), 0)));
    const std::string values = Record(10, Params({{"FCGI_MPXS_CONNS", "0"}}), 0);
    EXPECT_EQ(ReadAll(fd, 5000, nullptr, values.size()), values);
    close(fd);
}

// A client that sends records of no request without end, between requests
// or amid a body, reading their answers or not: the others are answered all
// the while, the responder stops at once, and a client that leaves the
// answers untaken is closed before they pile up.
TEST(Responder, AClientThatKeepsSendingRecordsHoldsUpNoOther) {
    signal(SIGPIPE, SIG_IGN); // as vornfcgi does
    gServe = Echo;
    const std::string body = Begin(1, true) +
                             Record(4, Params({{"PATH_INFO", "/slow"}, {"CONTENT_LENGTH", "10"}})) + Record(4, "") +
                             Record(5, "a");
    const struct {
        const char* what;
        std::string opening;
        bool reads;
    } cases[] = {
        {"between requests, answers read", "", true},
        {"between requests, answers never read", "", false},
        {"amid a body, answers read", body, true},
        {"amid a body, answers never read", body, false},
    };
    std::string records;
    for (int i = 0; i < 8192; ++i) records += Record(42, "", 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Rig rig(4);
        int fd = Connect(rig.path, 0);
        ASSERT_TRUE(SendAll(fd, c.opening));
        std::atomic<bool> stop{false};
        std::atomic<bool> refused{false};
        std::thread sender([&] {
            while (!stop)
                if (!SendAll(fd, records)) {
                    refused = true;
                    return;
                }
        });
        std::thread reader([&] {
            while (c.reads && !stop) ReadAll(fd, 50);
        });
        for (int i = 0; i < 10; ++i) {
            auto asked = std::chrono::steady_clock::now();
            EXPECT_EQ(rig.Ask({{"PATH_INFO", "/other"}, {"CONTENT_LENGTH", "1"}}, "x", 3000),
                      "Status: 200 OK\r\n\r\nx")
                << i;
            EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(2)) << i;
        }
        if (!c.reads) {
            for (int i = 0; i < 500 && !refused; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            EXPECT_TRUE(refused) << "the connection was left open";
        }
        auto stopping = std::chrono::steady_clock::now();
        EXPECT_TRUE(rig.responder->Stop());
        EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::seconds(2));
        stop = true;
        shutdown(fd, SHUT_RDWR);
        sender.join();
        reader.join();
        close(fd);
    }
}

// Every acceptor is held by a connection that is not being answered: a
// body that stopped halfway, an idle kept connection, a partial head, a
// connection that sent nothing, one whose answer is out but whose client
// keeps its end open. A new client is answered all the same, and the
// answered ones that were not kept are closed at once.
TEST(Responder, ConnectionsNotBeingAnsweredGiveWay) {
    gServe = Echo;
    const std::string kept = Begin(1, true) + Record(4, Params({{"PATH_INFO", "/kept"}})) + Record(4, "") +
                             Record(5, "");
    const struct {
        const char* what;
        std::string bytes;
        bool answered;
    } kinds[] = {
        {"a body that stopped halfway",
         Begin(1, true) + Record(4, Params({{"PATH_INFO", "/b"}, {"CONTENT_LENGTH", "200000"}})) + Record(4, "") +
             Record(5, std::string(50000, 'b')) + Record(5, std::string(50000, 'b')),
         false},
        {"an idle kept connection", kept, true},
        {"a partial head", Begin(1, true) + Record(4, Params({{"PATH_INFO", "/p"}})), false},
        {"nothing sent", "", false},
        {"answered, not kept, its end left open", Request({{"PATH_INFO", "/closing"}}), true},
    };
    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind.what);
        Rig rig(4, 2);
        std::vector<int> holders;
        for (int i = 0; i < 4; ++i) {
            int fd = Connect(rig.path, 0);
            holders.push_back(fd);
            ASSERT_TRUE(SendAll(fd, kind.bytes));
            if (kind.answered) {
                bool closed = false;
                EXPECT_EQ(Ends(ReadEnds(fd, 1, &closed)), "1:0");
            }
        }
        for (int round = 0; round < 3; ++round) {
            auto asked = std::chrono::steady_clock::now();
            EXPECT_EQ(rig.Ask({{"PATH_INFO", "/new"}, {"CONTENT_LENGTH", "1"}}, "n", 5000),
                      "Status: 200 OK\r\n\r\nn")
                << round;
            EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(2)) << round;
        }
        if (std::string(kind.what).find("not kept") != std::string::npos) {
            for (int fd : holders) {
                bool closed = false;
                ReadAll(fd, 1000, &closed);
                EXPECT_TRUE(closed) << "closed once its answer was out";
            }
        }
        for (int fd : holders) close(fd);
    }
}

} // namespace
} // namespace vorn::server::test
