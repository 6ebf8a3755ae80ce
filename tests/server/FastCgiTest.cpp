#include <gtest/gtest.h>

#include <random>
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

RequestHead Check(const std::string& bytes) {
    RequestHeadInfo info;
    std::string params;
    return ReadRequestHead(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &info, &params);
}

TEST(FastCgi, TheOpeningRecordsOfARequest) {
    const std::string params = Params({{"REQUEST_METHOD", "GET"}, {"PATH_INFO", std::string(300, 'p')}});
    const std::string good = Begin() + Record(4, params.substr(0, 100)) + Record(4, params.substr(100)) + Record(4, "");
    struct Case {
        const char* what;
        std::string bytes;
        RequestHead head;
    } cases[] = {
        {"begin and parameters in two records", good, RequestHead::Complete},
        {"with the body behind them", good + Record(5, "abc"), RequestHead::Complete},
        {"kept connection flag", Begin(1, true) + Record(4, params) + Record(4, ""), RequestHead::Complete},
        {"no parameters at all", Begin() + Record(4, ""), RequestHead::Complete},
        {"a NUL in a value", Begin() + Record(4, Params({{"QUERY_STRING", std::string("a\0b", 3)}})) + Record(4, ""),
         RequestHead::NulParam},
        {"a NUL in a name", Begin() + Record(4, Params({{std::string("A\0", 2), "b"}})) + Record(4, ""),
         RequestHead::NulParam},
        {"another role", Begin(2) + Record(4, ""), RequestHead::Malformed},
        {"another version", std::string(1, '\2') + Begin().substr(1), RequestHead::Malformed},
        {"a management record", Record(9, "", 0), RequestHead::Malformed},
        {"the body before the parameters end", Begin() + Record(5, "x"), RequestHead::Malformed},
        {"parameters before a begin", Record(4, ""), RequestHead::Malformed},
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
        EXPECT_EQ(Check(c.bytes), c.head);
    }
    // Every cut of a good head is only incomplete.
    for (size_t cut = 0; cut < good.size(); ++cut) ASSERT_EQ(Check(good.substr(0, cut)), RequestHead::Incomplete) << cut;
    // Random bytes are never taken for a request with a NUL, and never crash.
    std::mt19937 random(7);
    for (int round = 0; round < 2000; ++round) {
        std::string bytes = round % 2 ? Begin() : "";
        for (int n = static_cast<int>(random() % 64); n > 0; --n) bytes += static_cast<char>(random() % 256);
        RequestHead head = Check(bytes);
        ASSERT_TRUE(head == RequestHead::Malformed || head == RequestHead::Incomplete ||
                    head == RequestHead::Complete || head == RequestHead::NulParam);
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
