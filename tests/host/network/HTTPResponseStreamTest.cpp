// The response reader over a scripted connection that serves each reply in
// every split, and over hostile replies.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "host/network/HTTPResponseStream.h"
#include "tests/host/network/NetworkTestSupport.h"

namespace vorn {
namespace {

using test::ScriptedConnection;

struct Outcome {
    bool head = false;
    int32_t status = -1;
    int64_t contentLength = -1;
    std::string firstHeader;
    std::string body;
    std::string error;
};

Outcome ReadAll(const std::string& reply, std::vector<size_t> sizes, const char* method = "GET",
                int32_t readSize = 7) {
    auto* connection = new ScriptedConnection(reply, std::move(sizes));
    HTTPResponseStream stream(connection, 5, method);
    Outcome out;
    out.head = stream.ReadHeaders();
    out.status = stream.StatusCode();
    out.contentLength = stream.ContentLength();
    if (HTTPResponseStream_Header* first = stream.Headers().First()) out.firstHeader = first->line.Text();
    if (out.head) {
        std::vector<char> buffer(static_cast<size_t>(readSize));
        // Bounded: a reader that never ends would fail here, not hang.
        for (size_t rounds = 0; rounds <= reply.size() + 1; ++rounds) {
            int32_t n = stream.Read(buffer.data(), readSize);
            if (n <= 0) {
                if (n < 0) out.error = stream.ErrorText().Text();
                break;
            }
            out.body.append(buffer.data(), static_cast<size_t>(n));
        }
    } else {
        out.error = stream.ErrorText().Text();
    }
    stream.CloseConnection();
    return out;
}

const std::string kOk = "HTTP/1.1 200 OK\r\n";
const std::string kChunked = kOk + "Transfer-Encoding: chunked\r\n\r\n";
const std::string kEarly = "Read Error: Connection closed by remote host";

TEST(HTTPResponseStream, FramesBodiesInEverySplit) {
    const std::string alphabet = "abcdefghijklmnopqrstuvwxyz";
    struct Case {
        const char* name;
        std::string reply;
        const char* method;
        bool head;
        int32_t status;
        int64_t contentLength;
        std::string body;
        std::string error;
    } cases[] = {
        {"length", kOk + "Content-Length: 5\r\n\r\nhelloEXTRA", "GET", true, 200, 5, "hello", ""},
        {"length 0", kOk + "Content-Length: 0\r\n\r\nzzz", "GET", true, 200, 0, "", ""},
        {"until close", "HTTP/1.0 200 OK\r\nServer: x\r\n\r\nall of it", "GET", true, 200, -1, "all of it", ""},
        {"chunk extension", kChunked + "1a;name=value\r\n" + alphabet + "\r\n0\r\n\r\n", "GET", true, 200, -1,
         alphabet, ""},
        {"white space before extension", kChunked + "3 ;x\r\nabc\r\n0\r\n\r\n", "GET", true, 200, -1, "abc", ""},
        {"chunks", kChunked + "0A\r\n0123456789\r\n1\r\n!\r\n0\r\n\r\n", "GET", true, 200, -1, "0123456789!", ""},
        {"chunked after length", kOk + "Content-Length: 99\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n",
         "GET", true, 200, -1, "ok", ""},
        {"chunked before length", kOk + "Transfer-Encoding: Chunked\r\nContent-Length: 99\r\n\r\n2\r\nok\r\n0\r\n\r\n",
         "GET", true, 200, -1, "ok", ""},
        {"trailers", kChunked + "5\r\nhello\r\n0\r\nX-T: 1\r\nY: 2\r\n\r\n", "GET", true, 200, -1, "hello", ""},
        {"empty chunked", kChunked + "0\r\n\r\n", "GET", true, 200, -1, "", ""},
        {"cut in length", kOk + "Content-Length: 10\r\n\r\nabc", "GET", true, 200, 10, "abc", kEarly},
        {"cut in chunk", kChunked + "5\r\nab", "GET", true, 200, -1, "ab", kEarly},
        {"cut before terminator", kChunked + "5\r\nhello", "GET", true, 200, -1, "hello", kEarly},
        {"cut in terminator", kChunked + "5\r\nhello\r", "GET", true, 200, -1, "hello", kEarly},
        {"cut before last chunk", kChunked + "5\r\nhello\r\n", "GET", true, 200, -1, "hello", kEarly},
        {"cut in trailers", kChunked + "5\r\nhello\r\n0\r\nX: 1\r\n", "GET", true, 200, -1, "hello", kEarly},
        {"bad terminator", kChunked + "5\r\nhelloXX0\r\n\r\n", "GET", true, 200, -1, "hello", "Invalid chunk terminator"},
        // 2^32 is a chunk like any other, not the last one.
        {"big chunk", kChunked + "100000000\r\nabc", "GET", true, 200, -1, "abc", kEarly},
        {"signed size", kChunked + "-5\r\nhello\r\n0\r\n\r\n", "GET", false, 200, -1, "", "Invalid chunk size"},
        {"plus size", kChunked + "+5\r\nhello\r\n0\r\n\r\n", "GET", false, 200, -1, "", "Invalid chunk size"},
        {"0x size", kChunked + "0x5\r\nhello\r\n0\r\n\r\n", "GET", false, 200, -1, "", "Invalid chunk size"},
        {"empty size", kChunked + "\r\nhello\r\n0\r\n\r\n", "GET", false, 200, -1, "", "Invalid chunk size"},
        {"bare LF size", kChunked + "5\nhello\r\n0\r\n\r\n", "GET", false, 200, -1, "", "Invalid chunk size"},
        {"junk after size", kChunked + "5 x\r\nhello\r\n0\r\n\r\n", "GET", false, 200, -1, "", "Invalid chunk size"},
        {"64-bit size", kChunked + "8000000000000000\r\nx", "GET", false, 200, -1, "", "Invalid chunk size"},
        {"later bad size", kChunked + "1\r\na\r\nzz\r\n", "GET", true, 200, -1, "a", "Invalid chunk size"},
        {"letters length", kOk + "Content-Length: abc\r\n\r\n", "GET", false, 200, -1, "", "Invalid Content-Length"},
        {"negative length", kOk + "Content-Length: -1\r\n\r\n", "GET", false, 200, -1, "", "Invalid Content-Length"},
        {"listed length", kOk + "Content-Length: 5, 5\r\n\r\nhello", "GET", false, 200, -1, "",
         "Invalid Content-Length"},
        {"empty length", kOk + "Content-Length:\r\n\r\n", "GET", false, 200, -1, "", "Invalid Content-Length"},
        {"lengths disagree", kOk + "Content-Length: 5\r\nContent-Length: 6\r\n\r\nhello!", "GET", false, 200, 5, "",
         "Invalid Content-Length"},
        {"lengths agree", kOk + "Content-Length: 5\r\nContent-length: 5\r\n\r\nhello", "GET", true, 200, 5, "hello",
         ""},
        {"over 63 bits", kOk + "Content-Length: 9223372036854775808\r\n\r\n", "GET", false, 200, -1, "",
         "Invalid Content-Length"},
        {"largest length", kOk + "Content-Length: 9223372036854775807\r\n\r\nab", "GET", true, 200,
         INT64_MAX, "ab", kEarly},
        // Responses without a body, whatever their head says.
        {"HEAD", kOk + "Content-Length: 5\r\n\r\n", "HEAD", true, 200, 5, "", ""},
        {"HEAD chunked", kChunked, "HEAD", true, 200, -1, "", ""},
        {"204", "HTTP/1.1 204 No Content\r\nContent-Length: 5\r\n\r\nhello", "GET", true, 204, 5, "", ""},
        {"304", "HTTP/1.1 304 Not Modified\r\nTransfer-Encoding: chunked\r\n\r\n", "GET", true, 304, -1, "", ""},
        {"interim", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: x\r\n\r\n" + kOk +
                        "Content-Length: 2\r\n\r\nok",
         "GET", true, 200, 2, "ok", ""},
        {"no space in status", "HTTP/1.1\r\nContent-Length: 1\r\n\r\nx", "GET", true, 0, 1, "x", ""},
        {"huge status", "HTTP/1.1 99999999999 Big\r\nContent-Length: 1\r\n\r\nx", "GET", true, INT32_MAX, 1, "x", ""},
        // Only CR LF ends the head.
        {"bare LF head", "HTTP/1.1 200 OK\nX: 1\n\nbody", "GET", false, 200, -1, "", kEarly},
        {"no head end", kOk + "X: 1\r\n", "GET", false, 200, -1, "", kEarly},
        {"nothing", "", "GET", false, -1, -1, "", kEarly},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Every piece size, so each boundary falls everywhere once.
        for (size_t size = 1; size <= c.reply.size() + 1; ++size) {
            SCOPED_TRACE(size);
            Outcome out = ReadAll(c.reply, {size}, c.method);
            ASSERT_EQ(out.head, c.head) << out.error;
            EXPECT_EQ(out.status, c.status);
            if (c.head) {
                EXPECT_EQ(out.contentLength, c.contentLength);
            }
            EXPECT_EQ(out.body, c.body);
            ASSERT_EQ(out.error, c.error);
        }
    }
}

TEST(HTTPResponseStream, KeepsHeaderLines) {
    Outcome out = ReadAll("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 201 Made\r\n", {3});
    EXPECT_FALSE(out.head);
    auto* connection = new ScriptedConnection(
        "HTTP/1.1 200 OK  \r\nX-Name :  spaced value \r\nNoColon\r\nEmpty:\r\n\t\r\n\r\n", {});
    HTTPResponseStream stream(connection, 5);
    ASSERT_TRUE(stream.ReadHeaders());
    std::vector<std::string> lines, names, values;
    for (HTTPResponseStream_Header* h = stream.Headers().First(); h; h = stream.Headers().Next()) {
        lines.push_back(h->line.Text());
        names.push_back(h->name.Text());
        values.push_back(h->value.Text());
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"HTTP/1.1 200 OK", "X-Name :  spaced value", "NoColon", "Empty:", ""}));
    EXPECT_EQ(names, (std::vector<std::string>{"HTTP/1.1 200 OK", "X-Name", "NoColon", "Empty", ""}));
    EXPECT_EQ(values, (std::vector<std::string>{"", "spaced value", "", "", ""}));
    stream.CloseConnection();
    EXPECT_EQ(stream.Connection(), nullptr);
}

TEST(HTTPResponseStream, SurvivesHostileReplies) {
    // A head of more than 1 MiB ends the read, however its lines come (long
    // ones here: more than 10,000 lines fail before).
    std::string many = kOk;
    while (many.size() < (1u << 20) + 100)
        many += "X-Filler: " + std::string(190, 'f') + "\r\n";
    Outcome out = ReadAll(many + "\r\n", {65536});
    EXPECT_FALSE(out.head);
    EXPECT_EQ(out.error, "Response head too large");
    // So do endless trailers.
    out = ReadAll(kChunked + "1\r\na\r\n0\r\n" + many.substr(kOk.size()) + "\r\n", {65536});
    EXPECT_EQ(out.body, "a");
    EXPECT_EQ(out.error, "Response head too large");

    // Random bytes and damaged replies: every read ends, with a message when it failed.
    std::mt19937 random(17);
    const std::string valid[] = {kOk + "Content-Length: 5\r\n\r\nhello", kChunked + "3;x\r\nabc\r\n0\r\nT: 1\r\n\r\n",
                                 "HTTP/1.1 100 Continue\r\n\r\n" + kOk + "\r\nrest"};
    for (int round = 0; round < 600; ++round) {
        std::string reply;
        if (round % 3 == 0) {
            reply.resize(random() % 300);
            for (char& c : reply) c = static_cast<char>(random() % 256);
        } else {
            reply = valid[round % 3];
            for (int k = 0; k < 3; ++k) reply[random() % reply.size()] = static_cast<char>(random() % 256);
            if (round % 2) reply.resize(random() % (reply.size() + 1));
        }
        Outcome result = ReadAll(reply, {1 + random() % 9}, round % 5 == 0 ? "HEAD" : "GET", 1 + random() % 16);
        EXPECT_TRUE(result.head || !result.error.empty());
        EXPECT_LE(result.body.size(), reply.size());
    }
}

} // namespace
} // namespace vorn
