#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/web/HTTPOutput.h"
#include "tests/host/web/WebHostSupport.h"

namespace vorn {
namespace {

using test::ConfiguredApplication;
using test::MemoryRequest;

struct Header {
    const char* name;
    const char* value;
};

TEST(HttpOutput, TheResponseHeadFollowsWhatWasWritten) {
    struct Case {
        const char* what;
        std::vector<Header> headers;
        std::vector<std::string> writes;
        int32_t chunkSize, threshold;
        const char* status;
        const char* headerBlock;
        int bodyWrites; // WriteClient calls
    } cases[] = {
        {"a short body gets its length", {{"Content-Type", "text/html"}}, {"0123456789"}, 8192, 1 << 20,
         "200 OK", "Content-Type: text/html\r\nContent-Length: 10\r\n\r\n", 1},
        {"a name set again keeps the last value, moved to the end",
         {{"Content-Type", "text/html"}, {"X-A", "1"}, {"content-type", "text/plain"}}, {"x"}, 8192, 1 << 20,
         "200 OK", "X-A: 1\r\ncontent-type: text/plain\r\nContent-Length: 1\r\n\r\n", 1},
        {"Status becomes the status line", {{"Status", "302 Found"}, {"Location", "/next"}}, {}, 8192, 1 << 20,
         "302 Found", "Location: /next\r\nContent-Length: 0\r\n\r\n", 0},
        {"a flush before the end sends no length", {}, {"0123456789", "0123456789", "abc"}, 8192, 16, "200 OK",
         "\r\n", 2},
        {"a write longer than a chunk goes out chunk by chunk", {}, {std::string(10000, 'x')}, 4096, 1 << 20,
         "200 OK", "Content-Length: 10000\r\n\r\n", 2},
        {"an explicit length is kept", {{"Content-Length", "3"}}, {"abc"}, 8192, 1 << 20, "200 OK",
         "Content-Length: 3\r\n\r\n", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ConfiguredApplication app;
        MemoryRequest request;
        ISAPIOutput output(&app, &request.block);
        output.SetSizes(c.chunkSize, c.threshold);
        std::string body;
        for (const Header& h : c.headers) EXPECT_EQ(output.AddHeaderText(h.name, h.value), 1);
        for (const std::string& w : c.writes) {
            output.Write(w.data(), static_cast<int32_t>(w.size()));
            body += w;
        }
        output.Commit(1);
        EXPECT_EQ(request.status, c.status);
        EXPECT_EQ(request.headers, c.headerBlock);
        EXPECT_EQ(request.response, body);
        EXPECT_EQ(request.headerCalls, 1);
        EXPECT_EQ(request.writes, c.bodyWrites);
        EXPECT_EQ(output.AddHeaderText("X-Late", "1"), 0) << "headers are closed once sent";
        EXPECT_EQ(app.TimedOut(), 0);
    }
}

TEST(HttpOutput, NothingCanBeSplicedIntoTheHead) {
    struct Case {
        std::string name, value;
        int32_t stored;
    } cases[] = {
        {"X-Ok", "a value: with colons, tabs\tand (parentheses)", 1},
        {"X-Empty", "", 1},
        {"", "v", 0},
        {"X:Y", "v", 0},
        {"X Y", "v", 0},
        {"X\tY", "v", 0},
        {"X\r\nSet-Cookie", "v", 0},
        {std::string("X\0Y", 3), "v", 0},
        {"X-Bad", "v\r\nSet-Cookie: stolen=1", 0},
        {"X-Bad", "v\nInjected: 1", 0},
        {"X-Bad", std::string("v\0w", 3), 0},
        {"Status", "200 OK\r\nInjected: 1", 0},
        {"status", std::string("404\0Not Found", 13), 0},
        {"STATUS", "404 Not Found", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name + " / " + c.value);
        ConfiguredApplication app;
        MemoryRequest request;
        ISAPIOutput output(&app, &request.block);
        // Owned texts are freed whatever the answer (the sanitizer watches).
        char* name = static_cast<char*>(std::malloc(c.name.size() + 1));
        char* value = static_cast<char*>(std::malloc(c.value.size() + 1));
        std::memcpy(name, c.name.data(), c.name.size() + 1);
        std::memcpy(value, c.value.data(), c.value.size() + 1);
        EXPECT_EQ(output.AddHeader(name, static_cast<int32_t>(c.name.size()), true, value,
                                   static_cast<int32_t>(c.value.size()), true),
                  c.stored);
        output.Commit(1);
        EXPECT_EQ(request.headers.find("Injected"), std::string::npos);
        EXPECT_EQ(request.headers.find("stolen"), std::string::npos);
        EXPECT_EQ(request.status, c.stored && c.name == "STATUS" ? "404 Not Found" : "200 OK");
    }
}

TEST(HttpOutput, ShortAndFailedSends) {
    struct Case {
        const char* what;
        size_t writePiece;
        int64_t writeLimit;
        bool failAtLimit, refuseHeader;
        const char* delivered;
        bool stopped;
    } cases[] = {
        {"a partial send is retried until the chunk is out", 3, -1, false, false, "0123456789abcdef", false},
        {"a send that takes nothing ends the response and the request", SIZE_MAX, 5, false, false, "01234", true},
        {"a failed send stops the request", 4, 6, true, false, "012345", true},
        {"a refused head stops the request", SIZE_MAX, -1, false, true, "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ConfiguredApplication app;
        app.settings.SetInteger(kConfigFileDelay, 1);
        MemoryRequest request;
        request.writePiece = c.writePiece;
        request.writeLimit = c.writeLimit;
        request.failAtLimit = c.failAtLimit;
        request.refuseHeader = c.refuseHeader;
        ISAPIOutput output(&app, &request.block);
        output.SetConfig(&app.settings);
        output.SetSizes(8, 1 << 20);
        output.Write("0123456789abcdef", 16);
        output.Commit(1);
        EXPECT_EQ(request.response, c.delivered);
        EXPECT_EQ(app.TimedOut(), c.stopped ? 1 : 0);
        EXPECT_EQ(output.SendFailed(), c.stopped);
        // A response that cannot arrive keeps nothing and sends nothing more.
        int writes = request.writes;
        output.Write("more", 4);
        output.Flush();
        if (c.stopped) EXPECT_EQ(request.writes, writes);
        else EXPECT_EQ(request.response, std::string(c.delivered) + "more");
        EXPECT_EQ(output.BodyBytesWritten(), 20);
    }
}

} // namespace
} // namespace vorn
