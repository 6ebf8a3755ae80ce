#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>
#include <string>

#include "server/FastCgi.h"
#include "tests/server/ServerSupport.h"

namespace vorn::server {
namespace {

using test::Begin;
using test::Params;
using test::Record;

std::string AllHttpOf(char** environment) {
    std::string all = "room kept from before";
    AllHttp(environment, &all);
    return all;
}

struct Head {
    RequestHead head;
    RequestHeadInfo info;
    std::string replies;
};

Head Check(const std::string& bytes) {
    Head h;
    std::string params;
    h.head = ReadRequestHead(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), 4, &h.info, &params,
                             &h.replies);
    return h;
}

std::string EndRecord(int id, int protocolStatus) {
    return Record(3, std::string(4, '\0') + static_cast<char>(protocolStatus) + std::string(3, '\0'), id);
}

// A web server's question for the three values, and one we do not know.
const std::string kAskValues =
    Record(9, Params({{"FCGI_MAX_CONNS", ""}, {"FCGI_MAX_REQS", ""}, {"FCGI_MPXS_CONNS", ""}, {"X_OTHER", ""}}), 0);
const std::string kValues =
    Record(10, Params({{"FCGI_MAX_CONNS", "4"}, {"FCGI_MAX_REQS", "4"}, {"FCGI_MPXS_CONNS", "0"}}), 0);

TEST(FastCgi, TheOpeningRecordsOfARequest) {
    const std::string params = Params({{"REQUEST_METHOD", "GET"}, {"PATH_INFO", std::string(300, 'p')}});
    const std::string good = Begin() + Record(4, params.substr(0, 100)) + Record(4, params.substr(100)) + Record(4, "");
    const std::string version2 = std::string(1, '\2') + Record(5, "cd").substr(1);
    struct Case {
        const char* what;
        std::string bytes;
        RequestHead head;
        Input input = Input::Open;
        std::string replies = "";
    } cases[] = {
        {"begin and parameters in two records", good, RequestHead::Complete},
        {"with its input behind them", good + Record(5, "abc") + Record(5, ""), RequestHead::Complete, Input::Ended},
        {"another request's records and a question among its input",
         good + Record(5, "ab") + Record(5, "zz", 2) + kAskValues + Record(4, "p", 3) + Record(5, ""),
         RequestHead::Complete, Input::Ended},
        {"an aborted input", good + Record(5, "ab") + Record(2, ""), RequestHead::Complete, Input::Aborted},
        {"parameters among its input", good + Record(5, "ab") + Record(4, "x"), RequestHead::Complete, Input::Broken},
        {"another version among its input", good + Record(5, "ab") + version2, RequestHead::Complete, Input::Broken},
        {"an unknown type among its input", good + Record(12, "x"), RequestHead::Complete, Input::Broken},
        {"kept connection flag", Begin(1, true) + Record(4, params) + Record(4, ""), RequestHead::Complete},
        {"no parameters at all", Begin() + Record(4, ""), RequestHead::Complete},
        {"a second request and a question among the parameters",
         Begin() + Record(4, params.substr(0, 100)) + Record(1, Begin().substr(8), 2) + kAskValues +
             Record(4, params.substr(100)) + Record(4, ""),
         RequestHead::Complete, Input::Open, EndRecord(2, 1) + kValues},
        {"a NUL in a value", Begin() + Record(4, Params({{"QUERY_STRING", std::string("a\0b", 3)}})) + Record(4, ""),
         RequestHead::NulParam},
        {"a NUL in a name", Begin() + Record(4, Params({{std::string("A\0", 2), "b"}})) + Record(4, ""),
         RequestHead::NulParam},
        {"another role", Begin(2) + Record(4, ""), RequestHead::Record, Input::Open, EndRecord(1, 3)},
        {"a question", kAskValues + good, RequestHead::Record, Input::Open, kValues},
        {"a question of nothing", Record(9, "", 0), RequestHead::Record, Input::Open, Record(10, "", 0)},
        {"a management record of an unknown type", Record(99, "xyz", 0), RequestHead::Record, Input::Open,
         Record(11, std::string(1, '\x63') + std::string(7, '\0'), 0)},
        {"parameters of no request", Record(4, ""), RequestHead::Record},
        {"another version", std::string(1, '\2') + Begin().substr(1), RequestHead::Malformed},
        {"the body before the parameters end", Begin() + Record(5, "x"), RequestHead::Malformed},
        {"a begin record of the wrong size", Record(1, std::string(7, '\0')), RequestHead::Malformed},
        {"a pair longer than its parameters", Begin() + Record(4, params.substr(0, params.size() - 1)) + Record(4, ""),
         RequestHead::Malformed},
        {"an empty name", Begin() + Record(4, Params({{"", "v"}})) + Record(4, ""), RequestHead::Malformed},
        {"a head past its limit", Begin() + [] {
             std::string many;
             while (many.size() < kMaxRequestHead) many += Record(4, std::string(60000, 'x'));
             return many;
         }(),
         RequestHead::Malformed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Head h = Check(c.bytes);
        EXPECT_EQ(h.head, c.head);
        EXPECT_EQ(h.replies, c.replies);
        if (h.head == RequestHead::Complete) {
            EXPECT_EQ(h.info.input, c.input);
            EXPECT_EQ(h.info.requestEnd, c.input == Input::Ended ? c.bytes.size() : 0);
        }
    }
    // A record that is no request's ends where the next begins.
    Head question = Check(kAskValues + good);
    EXPECT_EQ(question.info.paramsEnd, kAskValues.size());
    EXPECT_TRUE(question.info.keepConnection);
    // Every cut of a good head is only incomplete.
    for (size_t cut = 0; cut < good.size(); ++cut)
        ASSERT_EQ(Check(good.substr(0, cut)).head, RequestHead::Incomplete) << cut;
    // Random bytes are never taken for a request with a NUL, and never crash.
    std::mt19937 random(7);
    for (int round = 0; round < 2000; ++round) {
        std::string bytes = round % 2 ? Begin() : "";
        for (int n = static_cast<int>(random() % 64); n > 0; --n) bytes += static_cast<char>(random() % 256);
        Head h = Check(bytes);
        ASSERT_TRUE(h.head == RequestHead::Malformed || h.head == RequestHead::Incomplete ||
                    h.head == RequestHead::Complete || h.head == RequestHead::NulParam ||
                    h.head == RequestHead::Record);
        if (h.head == RequestHead::Record) ASSERT_LE(h.info.paramsEnd, bytes.size());
    }
}

// What a reader of a request's input gets from the bytes, given in pieces of
// at most `piece` bytes (each call with at least what Need asks) into room
// of `room` bytes at a time.
struct Read {
    std::string content;
    Input state = Input::Open;
    std::string replies;
    size_t consumed = 0;
    size_t given = 0; // what the reader took from the stream
};

Read ReadAllInput(const std::string& bytes, size_t piece, size_t room) {
    InputRecords input;
    input.Begin(1, 4);
    Read r;
    std::string pending;
    std::vector<char> to(room);
    while (input.State() == Input::Open) {
        size_t got = 0;
        size_t used = input.Consume(reinterpret_cast<const unsigned char*>(pending.data()), pending.size(), to.data(),
                                    room, &got, &r.replies);
        r.content.append(to.data(), got);
        pending.erase(0, used);
        r.consumed += used;
        if (input.State() != Input::Open) break;
        if (used > 0 || got > 0) continue;
        // More is needed: never more than the reader may take, the rest of
        // the record and the next header.
        size_t most = std::max(input.Most(), input.Need());
        if (pending.size() >= most) {
            ADD_FAILURE() << "no progress with " << pending.size() << " bytes";
            break;
        }
        size_t n = std::min({piece, bytes.size() - r.given, most - pending.size()});
        if (n == 0) break;
        pending.append(bytes, r.given, n);
        r.given += n;
    }
    r.state = input.State();
    return r;
}

TEST(FastCgi, TheInputRecordsOfARequest) {
    auto padded = [](int type, const std::string& content, int padding, int id = 1) {
        std::string r = Record(type, content, id) + std::string(static_cast<size_t>(padding), '\0');
        r[6] = static_cast<char>(padding);
        return r;
    };
    // The next request's records follow each stream: never consumed.
    const std::string next = Begin() + Record(4, "");
    struct Case {
        const char* what;
        std::string bytes;
        std::string content;
        Input state;
        std::string replies;
    } cases[] = {
        {"padded records", padded(5, "ab", 6) + padded(5, "cde", 5) + padded(5, "", 7), "abcde", Input::Ended, ""},
        {"a long record", Record(5, std::string(3000, 'l')) + Record(5, ""), std::string(3000, 'l'), Input::Ended,
         ""},
        {"others' records and questions between",
         Record(5, "ab") + Record(5, "zz", 2) + padded(4, "pp", 3, 2) + kAskValues + Record(1, Begin().substr(8), 3) +
             Record(7, "?", 0) + Record(5, "cd") + Record(5, ""),
         "abcd", Input::Ended,
         kValues + EndRecord(3, 1) + Record(11, std::string(1, '\7') + std::string(7, '\0'), 0)},
        {"an abort", Record(5, "ab") + Record(2, "") + Record(5, "cd"), "ab", Input::Aborted, ""},
        {"parameters again", Record(5, "ab") + Record(4, "x"), "ab", Input::Broken, ""},
        {"another version", Record(5, "ab") + std::string(1, '\2') + Record(5, "cd").substr(1), "ab", Input::Broken,
         ""},
        {"an unknown type", Record(5, "ab") + Record(12, "cd"), "ab", Input::Broken, ""},
        {"cut short", Record(5, "ab") + Record(5, "cdef").substr(0, 10), "abcd", Input::Open, ""},
    };
    for (const Case& c : cases) {
        for (size_t piece : {size_t{1}, size_t{3}, size_t{8}, size_t{1000}, size_t{1} << 20}) {
            for (size_t room : {size_t{1}, size_t{5}, size_t{1} << 17}) {
                SCOPED_TRACE(std::string(c.what) + ", pieces of " + std::to_string(piece) + ", room " +
                             std::to_string(room));
                Read r = ReadAllInput(c.bytes + (c.state == Input::Open ? "" : next), piece, room);
                EXPECT_EQ(r.content, c.content);
                EXPECT_EQ(r.state, c.state);
                EXPECT_EQ(r.replies, c.replies);
                if (c.state == Input::Ended) {
                    EXPECT_EQ(r.consumed, c.bytes.size());
                    EXPECT_EQ(r.given, c.bytes.size()) << "read past its end";
                }
            }
        }
    }
    // Random bytes, in random pieces: the same as when given whole, and never
    // past what was given.
    std::mt19937 random(5);
    for (int round = 0; round < 3000; ++round) {
        std::string bytes;
        for (int records = static_cast<int>(random() % 6); records > 0; --records) {
            std::string content(random() % 20, 'c');
            int type = random() % 4 == 0 ? static_cast<int>(random() % 14) : 5;
            bytes += padded(type, content, static_cast<int>(random() % 4), static_cast<int>(random() % 3));
        }
        for (int n = static_cast<int>(random() % 12); n > 0; --n) {
            size_t at = random() % (bytes.size() + 1);
            bytes.insert(at, 1, static_cast<char>(random()));
        }
        Read whole = ReadAllInput(bytes, bytes.size() + 1, 1 << 17);
        Read pieces = ReadAllInput(bytes, 1 + random() % 9, 1 + random() % 7);
        ASSERT_EQ(pieces.content, whole.content) << round;
        ASSERT_EQ(pieces.state, whole.state) << round;
        ASSERT_EQ(pieces.replies, whole.replies) << round;
        ASSERT_LE(whole.consumed, bytes.size());
    }
}

TEST(FastCgi, OnlyAWellFormedHeadGoesOut) {
    struct Case {
        const char* status;
        const char* headers;
        bool built;
        const char* head;
    } cases[] = {
        {"200 OK", "Content-Type: text/html\r\nContent-Length: 2\r\n\r\n", true,
         "Status: 200 OK\r\nContent-Type: text/html\r\nContent-Length: 2\r\n\r\n"},
        {"302 Found", "Location: /x\r\n", true, "Status: 302 Found\r\nLocation: /x\r\n\r\n"},
        {"204", "", true, "Status: 204\r\n\r\n"},
        {"200 OK", "\r\n", true, "Status: 200 OK\r\n\r\n"},
        {"20 OK", "", false, ""},
        {"OK 200", "", false, ""},
        {"2000 OK", "", false, ""},
        {"200 OK\r\nX-Injected: 1", "", false, ""},
        {"200 OK", "X-A: 1\nX-B: 2\r\n\r\n", false, ""},
        {"200 OK", "X-A 1\r\n\r\n", false, ""},
        {"200 OK", "X-A:1\r\n\r\n", false, ""},
        {"200 OK", ": 1\r\n\r\n", false, ""},
        {"200 OK", "X A: 1\r\n\r\n", false, ""},
        {"200 OK", "X-A: 1\r\n\r\nbody", false, ""},
        {"200 OK", "X-A: 1", false, ""},
        {"200 OK", "X-A: 1\rX-B: 2\r\n", false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.status) + " / " + c.headers);
        std::string head = "untouched";
        EXPECT_EQ(BuildResponseHead(c.status, c.headers, &head), c.built);
        EXPECT_EQ(head, c.built ? c.head : "untouched");
    }
    std::string head;
    EXPECT_FALSE(BuildResponseHead(nullptr, "", &head));
    EXPECT_FALSE(BuildResponseHead("200 OK", nullptr, &head));
}

TEST(FastCgi, AllHttpFromTheHeaderParameters) {
    char a[] = "HTTP_USER_AGENT=agent 1.0";
    char b[] = "SERVER_NAME=www";
    char c[] = "HTTP_X_SPLIT=one\r\ntwo: x";
    char d[] = "HTTP_EMPTY=";
    char* environment[] = {a, b, c, d, nullptr};
    EXPECT_EQ(AllHttpOf(environment), "HTTP_USER_AGENT:agent 1.0\nHTTP_X_SPLIT:onetwo: x\nHTTP_EMPTY:\n");
    EXPECT_EQ(AllHttpOf(nullptr), "");
}

} // namespace
} // namespace vorn::server
