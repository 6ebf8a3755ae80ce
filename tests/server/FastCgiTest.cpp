#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "server/FastCgi.h"
#include "tests/server/ServerSupport.h"

namespace vorn::server {
namespace {

using test::Begin;
using test::Params;
using test::Record;
using test::Request;

struct Head {
    RequestHead head;
    RequestHeadInfo info;
    std::string replies;
    ParamIndex params;
};

Head Check(const std::string& bytes) {
    Head h;
    h.head = ReadRequestHead(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), 4, &h.info, &h.params,
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
         RequestHead::BadParams},
        {"a NUL in a name", Begin() + Record(4, Params({{std::string("A\0", 2), "b"}})) + Record(4, ""),
         RequestHead::BadParams},
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
                    h.head == RequestHead::Complete || h.head == RequestHead::BadParams ||
                    h.head == RequestHead::Record);
        if (h.head == RequestHead::Record) {
            ASSERT_LE(h.info.paramsEnd, bytes.size());
        }
    }
}

// CONTENT_LENGTH is read once, with the head: digits only, up to 2^31-1; a
// request with anything else is refused (400), whatever comes after it.
TEST(FastCgi, TheAnnouncedLengthIsDigitsOnly) {
    const struct {
        std::vector<std::pair<std::string, std::string>> params;
        RequestHead head;
        size_t length;
    } cases[] = {
        {{{"CONTENT_LENGTH", "12"}}, RequestHead::Complete, 12},
        {{{"CONTENT_LENGTH", "0"}}, RequestHead::Complete, 0},
        {{{"CONTENT_LENGTH", "007"}}, RequestHead::Complete, 7},
        {{{"CONTENT_LENGTH", ""}}, RequestHead::Complete, 0},
        {{{"QUERY_STRING", "CONTENT_LENGTH=5"}}, RequestHead::Complete, 0},
        {{{"CONTENT_LENGTH", "2147483647"}}, RequestHead::Complete, 2147483647},
        {{{"CONTENT_LENGTH", "3"}, {"CONTENT_LENGTH", "x"}}, RequestHead::Complete, 3},
        {{{"CONTENT_LENGTHS", "x"}, {"CONTENT_LENGT", "y"}}, RequestHead::Complete, 0},
        {{{"CONTENT_LENGTH", "12abc"}}, RequestHead::BadParams, 0},
        {{{"CONTENT_LENGTH", "12a"}}, RequestHead::BadParams, 0},
        {{{"CONTENT_LENGTH", "-1"}}, RequestHead::BadParams, 0},
        {{{"CONTENT_LENGTH", "+1"}}, RequestHead::BadParams, 0},
        {{{"CONTENT_LENGTH", " 1"}}, RequestHead::BadParams, 0},
        {{{"CONTENT_LENGTH", "1 "}}, RequestHead::BadParams, 0},
        {{{"CONTENT_LENGTH", "0x10"}}, RequestHead::BadParams, 0},
        {{{"CONTENT_LENGTH", "1e3"}}, RequestHead::BadParams, 0},
        {{{"CONTENT_LENGTH", "2147483648"}}, RequestHead::BadParams, 0},
        {{{"CONTENT_LENGTH", "99999999999999999999999"}}, RequestHead::BadParams, 0},
        {{{"CONTENT_LENGTH", "x"}, {"CONTENT_LENGTH", "3"}}, RequestHead::BadParams, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.params[0].second);
        Head h = Check(Begin() + Record(4, Params(c.params)) + Record(4, "") + Record(5, "abc") + Record(5, ""));
        EXPECT_EQ(h.head, c.head);
        if (c.head == RequestHead::Complete) {
            EXPECT_EQ(h.info.contentLength, c.length);
        }
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

// A request through a RecordStream as the responder takes it from its
// socket, without one: pieces of `piece` bytes come at a time; its head is
// checked in all that came (peeked), its input received into the stream's
// room; the extension echoes the input up to the announced length, the rest
// is passed over on a kept connection (drained), and the answer ends.
struct Served {
    RequestHead head = RequestHead::Incomplete;
    std::string reply; // the records that go out
    Input state = Input::Open;
    size_t requestEnd = 0; // the bytes the socket gives up for the request
};

Served Serve(const std::string& bytes, size_t piece) {
    Served s;
    auto stream = std::make_unique<RecordStream>();
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    RequestHeadInfo info;
    ParamIndex params;
    std::string replies;
    size_t peeked = 0;
    while (s.head == RequestHead::Incomplete && peeked < bytes.size()) {
        peeked = std::min({bytes.size(), peeked + piece, RecordStream::kCapacity});
        std::memcpy(stream->Buffer(), data, peeked);
        replies.clear();
        s.head = ReadRequestHead(stream->Buffer(), peeked, 4, &info, &params, &replies);
    }
    if (s.head != RequestHead::Complete) return s;
    stream->Append(replies);
    stream->Begin(info, peeked, 4);
    // Served from the peeked bytes until more must come: those are consumed
    // then, and what comes after goes into the stream's room.
    bool onlyPeeked = true;
    size_t taken = peeked;
    auto receive = [&] {
        onlyPeeked = false;
        size_t room = 0;
        unsigned char* to = stream->Room(&room);
        size_t n = std::min({room, piece, bytes.size() - taken});
        std::memcpy(to, data + taken, n);
        stream->Received(n);
        taken += n;
        return n > 0;
    };
    auto read = [&](char* to, size_t room) {
        size_t got = 0;
        while (stream->State() == Input::Open) {
            got += stream->Read(to ? to + got : nullptr, room - got);
            if (stream->State() != Input::Open || (to && got == room)) break;
            if (!stream->Readable() && !receive()) break;
        }
        return got;
    };
    std::string output = "Status: 200 OK\r\n\r\n";
    std::string body(stream->ContentLength(), '\0');
    body.resize(read(body.data(), body.size()));
    output += body;
    for (size_t at = 0; at < output.size();) at += stream->Write(output.data() + at, output.size() - at);
    if (stream->KeepConnection()) read(nullptr, SIZE_MAX);
    stream->End(true);
    s.reply.assign(stream->Unsent(), stream->UnsentLength());
    s.state = stream->State();
    s.requestEnd = onlyPeeked ? stream->Consumed() : taken;
    return s;
}

// The bytes of an answer of one record of output.
std::string Answered(const std::string& output, int id = 1) {
    return Record(6, output, id) + Record(6, "", id) + EndRecord(id, 0);
}

TEST(FastCgi, ARequestsRecordsBothWays) {
    auto padded = [](int type, const std::string& content, int padding, int id = 1) {
        std::string r = Record(type, content, id) + std::string(static_cast<size_t>(padding), '\0');
        r[6] = static_cast<char>(padding);
        return r;
    };
    auto head = [](bool keep, size_t length) {
        return Begin(1, keep) + Record(4, Params({{"PATH_INFO", "/e"}, {"CONTENT_LENGTH", std::to_string(length)}})) +
               Record(4, "");
    };
    const std::string answer = "Status: 200 OK\r\n\r\n";
    const std::string noValues = Record(10, "", 0);
    // What follows on the connection: never taken with the request.
    const std::string next = Begin(1, true) + Record(4, "") + Record(5, "");
    struct Case {
        const char* what;
        std::string bytes;
        std::string reply;
        Input state; // Open: as far as it came
    } cases[] = {
        {"padded records", head(true, 5) + padded(5, "ab", 6) + padded(5, "cde", 5) + padded(5, "", 7),
         Answered(answer + "abcde"), Input::Ended},
        {"another request's records and a question in between",
         head(true, 4) + Record(5, "ab") + Record(5, "zz", 2) + Record(9, "x", 0) + Record(5, "cd") +
             Record(5, "", 2) + Record(5, ""),
         noValues + Answered(answer + "abcd"), Input::Ended},
        {"padded records of every size", head(true, 6) + padded(5, "abc", 5) + Record(5, "def") + padded(5, "", 3),
         Answered(answer + "abcdef"), Input::Ended},
        {"a body longer than its length", head(true, 2) + Record(5, "abcdef") + Record(5, ""),
         Answered(answer + "ab"), Input::Ended},
        {"another request's parameters and a question in between",
         head(true, 4) + Record(5, "ab") + Record(4, Params({{"PATH_INFO", "/other"}}), 3) + Record(9, "", 0) +
             Record(5, "cd") + Record(5, ""),
         noValues + Answered(answer + "abcd"), Input::Ended},
        {"a second request amid the body",
         head(true, 4) + Record(5, "ab") + Record(1, Begin().substr(8), 2) + Record(4, "", 2) + Record(5, "cd") +
             Record(5, ""),
         EndRecord(2, 1) + Answered(answer + "abcd"), Input::Ended},
        {"a body of many records", head(true, 200000) + Request({}, std::string(200000, 'm')).substr(32),
         Record(6, answer + std::string(65535 - answer.size(), 'm')) + Record(6, std::string(65535, 'm')) +
             Record(6, std::string(65535, 'm')) + Record(6, std::string(200000 - 3 * 65535 + answer.size(), 'm')) +
             Record(6, "") + EndRecord(1, 0),
         Input::Ended},
        {"not asked to keep", head(false, 1) + Record(5, "a") + Record(5, ""), Answered(answer + "a"), Input::Open},
        {"an abort", head(true, 4) + Record(5, "ab") + Record(2, ""), Answered(answer + "ab"), Input::Aborted},
    };
    for (const Case& c : cases) {
        for (size_t piece : {size_t{1}, size_t{3}, size_t{7}, size_t{1000}, SIZE_MAX / 2}) {
            SCOPED_TRACE(std::string(c.what) + ", pieces of " + std::to_string(piece));
            Served s = Serve(c.bytes + next, piece);
            ASSERT_EQ(s.head, RequestHead::Complete);
            EXPECT_EQ(s.reply, c.reply);
            if (c.state != Input::Open) {
                EXPECT_EQ(s.state, c.state);
            }
            if (c.state == Input::Ended) {
                EXPECT_EQ(s.requestEnd, c.bytes.size()) << "the next request was taken";
            }
            EXPECT_LE(s.requestEnd, c.bytes.size());
        }
    }
    // Random bytes after a good head, in random pieces: an answer always
    // ends, and nothing past the bytes is taken.
    std::mt19937 random(11);
    for (int round = 0; round < 2000; ++round) {
        std::string junk(random() % 64, '\0');
        for (char& ch : junk) ch = static_cast<char>(random() % 8 == 0 ? 5 : random());
        const std::string bytes = head(true, 8) + junk;
        Served s = Serve(bytes, 1 + random() % 9);
        ASSERT_EQ(s.head, RequestHead::Complete) << round;
        ASSERT_EQ(s.reply.substr(s.reply.size() - 16), EndRecord(1, 0)) << round;
        ASSERT_LE(s.requestEnd, bytes.size()) << round;
    }
}

// What the responder makes of a connection's bytes, given `piece` at a time
// into one stream's buffer as its poller takes them: heads read on from
// where the parser stopped, runs of records of no request answered and
// passed over, each request's input read to its end; the answers' records
// checked for framing as they come.
struct Through {
    std::vector<std::string> heads; // "complete /path content", "bad", "malformed", "closed"
    std::string answers;            // the records that are no request's output
    size_t records = 0;             // answer records, each well framed
    size_t mostBuffered = 0;
    bool framed = true;
};

void TakeAnswers(Through* t, const std::string& replies) {
    for (size_t at = 0; at < replies.size();) {
        size_t length = static_cast<unsigned char>(replies[at + 4]) << 8 | static_cast<unsigned char>(replies[at + 5]);
        if (replies.size() - at < 8 + length || replies[at] != 1) {
            t->framed = false;
            return;
        }
        ++t->records;
        at += 8 + length;
    }
    t->answers += replies;
}

Through Carry(const std::string& bytes, size_t piece) {
    Through t;
    auto stream = std::make_unique<RecordStream>();
    HeadParser parser;
    ParamIndex params;
    std::string replies;
    size_t given = 0, buffered = 0;
    unsigned char* buffer = stream->Buffer();
    auto more = [&](unsigned char* to, size_t room) {
        size_t n = std::min({room, piece, bytes.size() - given});
        std::memcpy(to, bytes.data() + given, n);
        given += n;
        return n;
    };
    for (;;) {
        RequestHeadInfo info;
        RequestHead head = parser.Parse(buffer, buffered, 4, &info, &params, &replies);
        TakeAnswers(&t, replies);
        replies.clear();
        t.mostBuffered = std::max(t.mostBuffered, buffered);
        if (head == RequestHead::Record) {
            std::memmove(buffer, buffer + info.paramsEnd, buffered - info.paramsEnd);
            buffered -= info.paramsEnd;
            parser.Reset();
            if (!info.keepConnection) {
                t.heads.push_back("closed");
                return t;
            }
            continue;
        }
        if (head == RequestHead::Incomplete) {
            size_t n = more(buffer + buffered, RecordStream::kCapacity - buffered);
            buffered += n;
            if (n == 0) return t;
            continue;
        }
        if (head != RequestHead::Complete) {
            t.heads.push_back(head == RequestHead::BadParams ? "bad" : "malformed");
            return t;
        }
        stream->Begin(info, buffered, 4);
        std::string content;
        char room[300];
        while (stream->State() == Input::Open) {
            content.append(room, stream->Read(room, sizeof room));
            if (stream->State() != Input::Open || stream->Readable()) continue;
            size_t length = 0;
            unsigned char* to = stream->Room(&length);
            size_t n = more(to, length);
            if (n == 0) break;
            stream->Received(n);
        }
        TakeAnswers(&t, std::string(stream->Unsent(), stream->UnsentLength()));
        stream->DropOutput();
        const char* path = params.Find("PATH_INFO");
        t.heads.push_back(std::string(stream->State() == Input::Ended     ? "complete "
                                      : stream->State() == Input::Aborted ? "aborted "
                                                                          : "open ") +
                          (path ? path : "") + " " + content);
        if (stream->State() != Input::Ended && stream->State() != Input::Aborted) return t;
        buffered = stream->KeepLeft();
        parser.Reset();
    }
}

// Records a client may send that no web server does: many management
// records, questions asked again and again, aborts of every kind. Each is
// answered in well-framed records, none takes more than the stream's buffer,
// and the requests around them are read as sent, whatever pieces they come in.
TEST(FastCgi, HostileRecordSequences) {
    auto request = [](const std::string& path, const std::string& body, const std::string& amid = "") {
        std::string r = Begin(1, true) +
                        Record(4, Params({{"PATH_INFO", path}, {"CONTENT_LENGTH", std::to_string(body.size())}})) +
                        Record(4, "");
        if (!body.empty()) r += Record(5, body.substr(0, 1)) + amid + Record(5, body.substr(1));
        else r += amid;
        return r + Record(5, "");
    };
    auto times = [](const std::string& record, size_t n) {
        std::string all;
        for (size_t i = 0; i < n; ++i) all += record;
        return all;
    };
    const std::string unknown = Record(42, "", 0);
    const std::string unknownAnswer = Record(11, std::string(1, '\x2a') + std::string(7, '\0'), 0);
    std::string askMany;
    for (int i = 0; i < 4095; ++i) askMany += Params({{"FCGI_MAX_CONNS", ""}});
    const std::string ask = Record(9, askMany.substr(0, 65535), 0);
    const std::string oneAnswer = Record(10, Params({{"FCGI_MAX_CONNS", "4"}}), 0);
    auto padded = [](std::string record, int padding) {
        record[6] = static_cast<char>(padding);
        return record + std::string(static_cast<size_t>(padding), '\0');
    };
    const struct {
        const char* what;
        std::string bytes;
        std::vector<std::string> heads;
        std::string answers;
    } cases[] = {
        {"twenty thousand unknown records between requests",
         request("/a", "") + times(unknown, 20000) + request("/b", "xy"), {"complete /a ", "complete /b xy"},
         times(unknownAnswer, 20000)},
        {"twenty thousand unknown records amid a body", request("/a", "body", times(unknown, 20000)),
         {"complete /a body"}, times(unknownAnswer, 20000)},
        {"a name asked 4,095 times, between requests and amid a body",
         ask + request("/a", "xy", ask), {"complete /a xy"}, oneAnswer + oneAnswer},
        {"an abort before the head is whole, on a kept connection",
         Begin(1, true) + Record(4, Params({{"PATH_INFO", "/gone"}})) + Record(2, "") + request("/b", ""),
         {"complete /b "}, EndRecord(1, 0)},
        {"an abort before the head is whole, on a connection not kept",
         Begin(1, false) + Record(4, Params({{"PATH_INFO", "/gone"}})) + Record(2, "") + request("/b", ""),
         {"closed"}, EndRecord(1, 0)},
        {"an abort of another request amid the parameters",
         Begin(1, true) + Record(2, "", 3) + Record(4, Params({{"PATH_INFO", "/a"}})) + Record(4, "") + Record(5, ""),
         {"complete /a "}, ""},
        {"an abort with content and padding amid a body, then a request",
         Begin(1, true) + Record(4, Params({{"PATH_INFO", "/a"}, {"CONTENT_LENGTH", "4"}})) + Record(4, "") +
             Record(5, "ab") + padded(Record(2, "xyz"), 5) + request("/b", "cd"),
         {"aborted /a ab", "complete /b cd"}, ""},
        {"a head of records that never ends", Begin(1, true) + times(Record(4, std::string(1000, 'p')), 70),
         {"malformed"}, ""},
    };
    for (const auto& c : cases) {
        for (size_t piece : {size_t{5}, size_t{4099}, SIZE_MAX / 2}) {
            SCOPED_TRACE(std::string(c.what) + ", pieces of " + std::to_string(piece));
            Through t = Carry(c.bytes, piece);
            EXPECT_EQ(t.heads, c.heads);
            EXPECT_TRUE(t.framed);
            EXPECT_EQ(t.answers.size(), c.answers.size());
            EXPECT_TRUE(t.answers == c.answers) << "the answers differ";
            EXPECT_LE(t.mostBuffered, RecordStream::kCapacity);
        }
    }
}

// The records an answer goes out in, from steps (n > 0: a write of n bytes;
// -1: an answer to another record, as one comes between input records) with
// a flush where one is due, as the responder writes; the socket takes at
// most `piece` bytes of what can go (never the open record) after each
// step, the rest at the end.
std::string Framed(const std::vector<int>& steps, size_t piece, std::string* content) {
    auto stream = std::make_unique<RecordStream>();
    RequestHeadInfo info;
    info.id = 1;
    stream->Begin(info, 0, 4);
    std::string sent;
    auto send = [&](size_t most) {
        size_t n = std::min(most, stream->UnsentLength());
        sent.append(stream->Unsent(), n);
        stream->Sent(n);
    };
    for (int step : steps) {
        if (step < 0) {
            stream->Append(EndRecord(7, 1));
        } else {
            std::string data;
            for (int i = 0; i < step; ++i) data += static_cast<char>('a' + (content->size() + data.size()) % 26);
            *content += data;
            for (size_t at = 0; at < data.size();) {
                at += stream->Write(data.data() + at, data.size() - at);
                if (stream->FlushDue()) {
                    stream->CloseRecord();
                    stream->Flushed();
                }
            }
        }
        send(piece);
    }
    stream->End(true);
    while (stream->UnsentLength() > 0) send(piece);
    return sent;
}

TEST(FastCgi, AnAnswerIsFramedIntoRecords) {
    const std::vector<int> cases[] = {
        {10}, {65535}, {65536}, {200000}, {100, -1, 100}, {70000, -1, 70000, 3}, std::vector<int>(300, 1000), {},
    };
    for (const auto& steps : cases) {
        std::string whole;
        const std::string expected = Framed(steps, SIZE_MAX, &whole);
        for (size_t piece : {size_t{7}, size_t{1000}, size_t{65536}, SIZE_MAX}) {
            SCOPED_TRACE(std::to_string(steps.size()) + " steps, pieces of " + std::to_string(piece));
            std::string content;
            const std::string sent = Framed(steps, piece, &content);
            ASSERT_EQ(sent, expected);
            // Whole records of request 1 whose output is the writes; the
            // answers in between stay whole; an empty output record and the
            // end record close it.
            std::string output;
            size_t answers = 0, records = 0;
            for (size_t at = 0; at < sent.size(); ++records) {
                ASSERT_GE(sent.size() - at, 8u);
                size_t length = static_cast<unsigned char>(sent[at + 4]) << 8 | static_cast<unsigned char>(sent[at + 5]);
                ASSERT_EQ(sent[at], 1);
                ASSERT_EQ(sent[at + 6], 0);
                ASSERT_LE(at + 8 + length, sent.size());
                std::string record = sent.substr(at, 8 + length);
                at += 8 + length;
                if (record == EndRecord(7, 1)) {
                    ++answers;
                } else if (at == sent.size()) {
                    EXPECT_EQ(record, EndRecord(1, 0));
                } else if (at == sent.size() - 16) {
                    EXPECT_EQ(record, Record(6, ""));
                } else {
                    ASSERT_EQ(record.substr(0, 4), Record(6, "").substr(0, 4));
                    ASSERT_GT(length, 0u) << "an empty record before the end";
                    output += record.substr(8);
                }
            }
            EXPECT_EQ(output, content);
            EXPECT_EQ(answers, static_cast<size_t>(std::count(steps.begin(), steps.end(), -1)));
            EXPECT_GE(records, 2u);
        }
    }
    // One large write goes out in full records.
    std::string content;
    EXPECT_EQ(Framed({200000}, SIZE_MAX, &content).size(), 200000 + 4 * 8 + 8 + 16);
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

} // namespace
} // namespace vorn::server
