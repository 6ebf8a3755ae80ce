// VrCALL programs against scripted connections: the request of each mode,
// uploads, the walk over replies, the header and item variables, failures.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "engine/foundation/Base64.h"
#include "engine/values/Aggregate.h"
#include "host/network/Call.h"
#include "host/network/HTTPResponseStream.h"
#include "tests/host/network/NetworkTestSupport.h"

namespace vorn {
namespace {

using test::CallProgram;
using test::CallRig;

const std::string kEnd = "Connection: close\r\n\r\n";
const std::string kFields = ".global a b\n";
const std::string kSetFields = "    pushc \"1 2\"\n    popg a\n    pushc \"x&y\"\n    popg b\n";

std::string Reply(const std::string& body, const std::string& extra = "") {
    return "HTTP/1.1 200 OK\r\n" + extra + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

TEST(Call, SendsTheRequestOfEachMode) {
    struct Case {
        std::string url, method, fields, contentType, headers;
        std::string sent;  // the request's bytes (nothing sent: empty)
        std::string error; // VrCALL_Error
    } cases[] = {
        {"http://h/p", "GET", "a,b", "", "", "GET /p?a=1+2&b=x%26y HTTP/1.1\r\nHost: h\r\n" + kEnd, ""},
        {"http://h/p", "", "a", "", "", "GET /p?a=1+2 HTTP/1.1\r\nHost: h\r\n" + kEnd, ""},
        {"http://h/p", "foo", "", "", "", "GET /p HTTP/1.1\r\nHost: h\r\n" + kEnd, ""},
        // A query gets '&' (none after '?' or '&'), never a second '?'.
        {"http://h/p?q=1", "GET", "a", "", "", "GET /p?q=1&a=1+2 HTTP/1.1\r\nHost: h\r\n" + kEnd, ""},
        {"http://h/p?", "GET", "a", "", "", "GET /p?a=1+2 HTTP/1.1\r\nHost: h\r\n" + kEnd, ""},
        {"http://h/p?q=1&", "GET", "a", "", "", "GET /p?q=1&a=1+2 HTTP/1.1\r\nHost: h\r\n" + kEnd, ""},
        // POST sends a form whatever the content type says.
        {"http://h/p", "post", "a,b", "text/plain", "",
         "POST /p HTTP/1.1\r\nHost: h\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: 13\r\n" +
             kEnd + "a=1+2&b=x%26y",
         ""},
        {"http://h/p", "POST", "", "", "", "POST /p HTTP/1.1\r\nHost: h\r\n" + kEnd, ""},
        {"http://h/p", "xml", "a,b", "", "",
         "POST /p HTTP/1.1\r\nHost: h\r\nContent-Type: text/xml\r\nContent-Length: 6\r\n" + kEnd + "1 2x&y", ""},
        {"http://h/p", "XmL", "a", "application/soap+xml", "",
         "POST /p HTTP/1.1\r\nHost: h\r\nContent-Type: application/soap+xml\r\nContent-Length: 3\r\n" + kEnd + "1 2",
         ""},
        {"http://h/p", "raw", "b", "", "",
         "POST /p HTTP/1.1\r\nHost: h\r\nContent-Type: text/plain\r\nContent-Length: 3\r\n" + kEnd + "x&y", ""},
        {"http://h/p", "put", "a", "", "",
         "PUT /p HTTP/1.1\r\nHost: h\r\nContent-Type: text/plain\r\nContent-Length: 3\r\n" + kEnd + "1 2", ""},
        {"http://h/p", "Delete", "", "", "", "DELETE /p HTTP/1.1\r\nHost: h\r\n" + kEnd, ""},
        {"http://h/p", "options", "a", "x/y", "",
         "OPTIONS /p HTTP/1.1\r\nHost: h\r\nContent-Type: x/y\r\nContent-Length: 3\r\n" + kEnd + "1 2", ""},
        {"http://h/p", "HEAD", "a", "", "", "HEAD /p HTTP/1.1\r\nHost: h\r\n" + kEnd, ""},
        {"http://h:8/p", "GET", "", "", "X-A: 1", "GET /p HTTP/1.1\r\nHost: h:8\r\nX-A: 1\r\n" + kEnd, ""},
        {"http://h/p", "GET", "", "", "X-A: 1\r\n", "GET /p HTTP/1.1\r\nHost: h\r\nX-A: 1\r\n" + kEnd, ""},
        {"http://h/p", "GET", "", "", "X-A: 1\nX-B: 2", "", "Unable to open URL 'http://h/p': Invalid request headers"},
        {"http://h/p", "xml", "a", "a\r\nb", "", "",
         "Unable to open URL 'http://h/p': Invalid character in content type"},
        {"http://h/p", "xml", "a", std::string("a\0b", 3), "", "",
         "Unable to open URL 'http://h/p': Invalid character in content type"},
        {std::string("http://h/p\0x", 12), "GET", "", "", "", "",
         "Unable to open URL 'http://h/p" + std::string(1, '\0') + "x': Malformed URL"},
        {"ftp://h/p", "GET", "", "", "", "", "Unable to open URL 'ftp://h/p': Unsupported protocol 'ftp'"},
        {"http:h", "GET", "", "", "", "", "Unable to open URL 'http:h': Malformed URL"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.method + " " + c.url + " " + c.headers);
        CallRig rig;
        rig.scripted.responses.push_back(Reply("ok"));
        std::vector<std::string> operands = {c.url, c.method, c.fields, "", c.contentType};
        if (!c.headers.empty()) operands.insert(operands.end(), {"", "", c.headers});
        ASSERT_EQ(rig.Run(CallProgram(operands, kFields, kSetFields), 0), 1) << rig.lastError;
        if (c.sent.empty()) {
            for (const std::string& bytes : rig.scripted.sent) EXPECT_EQ(bytes, ""); // nothing reached the wire
            EXPECT_EQ(rig.sink.text, "|" + c.error);
        } else {
            ASSERT_EQ(rig.scripted.sent.size(), 1u);
            EXPECT_EQ(rig.scripted.sent[0], c.sent);
            EXPECT_EQ(rig.sink.text, c.method == "HEAD" ? "[|||]|" : "[text||ok|0]|");
        }
        EXPECT_EQ(rig.Global("VrCALL_Error"), c.error);
        EXPECT_EQ(rig.openFeatures, 0);
    }
}

TEST(Call, ChecksTheFormAndReportsConnectFailures) {
    CallRig rig;
    // Files need POST or PUT: the block is skipped with a runtime error.
    ASSERT_EQ(rig.Run(CallProgram({"http://h/p", "GET", "", "a", ""}), 0), 1);
    EXPECT_EQ(rig.Global("VrCALL_Error"),
              "VrCALL requires the METHOD attribute to be 'POST' or 'PUT' when the FILES attribute is specified");
    EXPECT_TRUE(rig.scripted.hosts.empty());
    // Counts other than 5, 8, 9 and 10 end the run.
    std::string wrong = CallProgram({"http://h/p", "GET", "", "", "", "", "", "", "0", "", ""});
    EXPECT_EQ(rig.Run(wrong, 0), 0);
    EXPECT_NE(rig.lastError.find("Invalid number of parameters to HTTPN"), std::string::npos) << rig.lastError;
    // No peer: the network's message after the call's.
    EXPECT_EQ(rig.Run(CallProgram({"http://h/p", "GET", "", "", ""}), 0), 1);
    EXPECT_EQ(rig.Global("VrCALL_Error"),
              "Unable to open URL 'http://h/p': Error connecting to h on port 80: Connection refused");
    // The loop and stop words need an open call.
    EXPECT_EQ(rig.Run(".segment main entry\n    op_http_loop 0\n.end\n", 0), 0);
    EXPECT_NE(rig.lastError.find("Invalid instruction"), std::string::npos);
    // The error variable holds only the latest call's error.
    rig.scripted.responses.push_back(Reply("fine"));
    ASSERT_EQ(rig.Run(CallProgram({"http://h/p", "GET", "", "", ""}, "", "    pushc \"old\"\n    popg VrCALL_Error\n"),
                      0),
              1);
    EXPECT_EQ(rig.sink.text, "[text||fine|0]|");
}

// A file whose length says 100 bytes more than it holds.
class LongerFile : public PosixFile {
  public:
    using PosixFile::PosixFile;
    int64_t Length() override { return PosixFile::Length() + 100; }
};

class ShrinkingFileManager : public PosixFileManager {
  public:
    ShrinkingFileManager(VornApplication* app, const std::string& root) : PosixFileManager(app), root(root) {
        CheckDataDirectory(root.c_str());
    }
    File* Open(int32_t kind, const char* path, int32_t mode) override {
        std::string name = path;
        if (name.size() < 6 || name.compare(name.size() - 6, 6, ".short") != 0)
            return PosixFileManager::Open(kind, path, mode);
        auto* file = new LongerFile(this, (root + "/" + name).c_str(), mode);
        if (!file->OpenHandle()) {
            delete file;
            return nullptr;
        }
        return Register(file);
    }
    std::string root;
};

TEST(Call, UploadsFilesAsMultipartForms) {
    test::ScratchDir data;
    std::ofstream(data.Path() + "/a.txt", std::ios::binary) << "alpha";
    mkdir((data.Path() + "/up").c_str(), 0700);
    std::ofstream(data.Path() + "/up/q\"t.txt", std::ios::binary) << "beta\r\n";
    std::ofstream(data.Path() + "/x.short", std::ios::binary) << "tiny";
    const std::string declarations = ".global a f1 f2 f3 f4 f5\n";
    const std::string prelude = "    pushc \"1 2\"\n    popg a\n    pushc \"a.txt\"\n    popg f1\n"
                                "    pushc \"up/q\\\"t.txt\"\n    popg f2\n    pushc \"missing.txt\"\n    popg f3\n"
                                "    pushc \"x.short\"\n    popg f4\n";

    std::vector<std::string> boundaries;
    for (int run = 0; run < 2; ++run) {
        CallRig rig;
        ShrinkingFileManager files(&rig.app, data.Path());
        rig.app.fileManager = &files;
        rig.scripted.responses.push_back(Reply("stored"));
        ASSERT_EQ(rig.Run(CallProgram({"http://h/up", "Put", "a, we\"ird", "f1, f2,", ""}, declarations, prelude), 0),
                  1);
        EXPECT_EQ(rig.Global("VrCALL_Error"), "");
        EXPECT_EQ(rig.sink.text, "[text||stored|0]|");
        ASSERT_EQ(rig.scripted.sent.size(), 1u);
        const std::string& sent = rig.scripted.sent[0];
        size_t at = sent.find("boundary=");
        ASSERT_NE(at, std::string::npos);
        std::string boundary = sent.substr(at + 9, sent.find("\r\n", at) - at - 9);
        EXPECT_EQ(boundary.substr(0, 20), std::string(20, '-'));
        EXPECT_GT(boundary.size(), 23u);
        boundaries.push_back(boundary);
        std::string part = "--" + boundary + "\r\nContent-Disposition: form-data; name=\"";
        std::string body = part + "a\"\r\n\r\n1 2\r\n" + part + "we%22ird\"\r\n\r\n\r\n" + part +
                           "f1\"; filename=\"a.txt\"\r\nContent-Type: unknown\r\n\r\nalpha\r\n" + part +
                           "f2\"; filename=\"q%22t.txt\"\r\nContent-Type: unknown\r\n\r\nbeta\r\n\r\n--" + boundary +
                           "--\r\n";
        EXPECT_EQ(sent, "POST /up HTTP/1.1\r\nHost: h\r\nContent-Type: multipart/form-data; boundary=" + boundary +
                            "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + kEnd + body);
    }
    EXPECT_NE(boundaries[0], boundaries[1]);

    // Writing stops at the first failed write; the reply (often the reason) is still walked.
    CallRig refused;
    ShrinkingFileManager files(&refused.app, data.Path());
    refused.app.fileManager = &files;
    refused.scripted.responses.push_back(Reply("too large"));
    refused.scripted.writeLimit = 200;
    ASSERT_EQ(refused.Run(CallProgram({"http://h/up", "POST", "a", "f1", ""}, declarations, prelude), 0), 1);
    EXPECT_EQ(refused.sink.text, "[text||too large|0]|");
    EXPECT_EQ(refused.scripted.refusedWrites, 1);

    struct Case {
        const char* files;
        std::string error;
        bool connected;
    } failures[] = {
        {"f5", "Empty filename", false},
        {"f1, ", "Empty filename", false},
        {"f3", "Unable to open 'missing.txt': ", false},
        // A file shorter than announced fails the call and drops the connection.
        {"f4", "Unable to read 'x.short': The file ended early", true},
    };
    for (const Case& c : failures) {
        SCOPED_TRACE(c.files);
        CallRig rig;
        ShrinkingFileManager files(&rig.app, data.Path());
        rig.app.fileManager = &files;
        rig.scripted.responses.push_back(Reply("never read"));
        ASSERT_EQ(rig.Run(CallProgram({"http://h/up", "POST", "", c.files, ""}, declarations, prelude), 0), 1);
        EXPECT_EQ(rig.Global("VrCALL_Error").substr(0, c.error.size()), c.error);
        EXPECT_EQ(rig.sink.text.substr(0, 1), "|");
        ASSERT_EQ(rig.scripted.sent.size(), c.connected ? 1u : 0u);
        if (c.connected) {
            EXPECT_EQ(rig.scripted.sent[0].find("tiny\r\n"), std::string::npos);
        }
    }
}

TEST(Call, WalksRepliesAsTextAndMarkup) {
    struct Case {
        std::string body;
        std::string output;
    } cases[] = {
        {"ab<b>c</b>", "[text||ab|0][tag|b|<b>|0][text||c|0][tag|/b|</b>|0]|"},
        {"", "[|||]|"}, // one pass, nothing published
        {" \n ", "[text|| \n |0]|"},
        {"<br/>", "[tag|br/|<br/>|0]|"},
        {"<input disabled />", "[tag|input|<input disabled >|1]|"},
        {"<input disabled/>", "[tag|input|<input disabled/>|1]|"},
        {"<a href='x y'>", "[tag|a|<a href='x y'>|1]|"},
        {"<a b=c d>", "[tag|a|<a b=c d>|2]|"},
        {"<x x=\"1\"y>", "[tag|x|<x x=\"1\"y>|2]|"},
        {"<a b = c\n>", "[tag|a|<a b = c\n>|1]|"},
        {"<a b=>c>", "[tag|a|<a b=>c>|1]|"},
        {"<a b=x\"y z\">", "[tag|a|<a b=x\"y z\">|1]|"},
        {"<!--a>b-->", "[tag|!--a|<!--a>|0][text||b-->|0]|"},
        {"<!-- a -- b -->t", "[tag|!--|<!-- a -- b -->|0][text||t|0]|"},
        {"<![CDATA[ a ]] > ]]>", "[tag|![CDATA[|<![CDATA[ a ]] > ]]>|0]|"},
        {"<!DOCTYPE html [ <!ENTITY x 'y'> ]>", "[tag|!DOCTYPE|<!DOCTYPE html [ <!ENTITY x 'y'> ]>|0]|"},
        {"<!x>", "[tag|!x|<!x>|0]|"},
        {"\xff<p>\xff", "[text||\xff|0][tag|p|<p>|0][text||\xff|0]|"},
        {"< b>", "[tag|b|< b>|0]|"},
        {"x<", "[text||x|0][tag||<|0]|"},
        {"< \n", "[tag||< \n|]|"},
        {"<a x=1 y=2><b>", "[tag|a|<a x=1 y=2>|2][tag|b|<b>|0]|"},
        // Malformed markup at the end ends the walk through the error variable.
        {"<a", "|Unexpected EOF in tag"},
        {"ok<a b", "[text||ok|0]|Unexpected EOF in tag"},
        {"<a b=", "|Unexpected EOF in tag"},
        {"<a b=\"x", "|Unexpected EOF in tag"},
        {"<a b/", "|Unexpected EOF in tag"},
        {"<a /x>", "|Found &quot;x&quot; in tag following /"},
        {"<a b /c>", "|Found &quot;c&quot; in tag following /"},
        {"<!-- x", "|Unexpected EOF in HTML comment or CDATA section"},
        {"<![CDATA[ x ]]", "|Unexpected EOF in HTML comment or CDATA section"},
        {"<!DOCTYPE x <y>", "|Unexpected EOF in DOCTYPE or other XML tag"},
    };
    for (const Case& c : cases) {
        for (size_t size : {size_t(1), size_t(4096)}) {
            SCOPED_TRACE(c.body + " in pieces of " + std::to_string(size));
            CallRig rig;
            rig.scripted.sizes = {size};
            rig.scripted.responses.push_back(Reply(c.body));
            ASSERT_EQ(rig.Run(CallProgram({"http://h/", "GET", "", "", ""}), 0), 1) << rig.lastError;
            EXPECT_EQ(rig.sink.text, c.output);
            EXPECT_EQ(rig.openFeatures, 0);
        }
    }
}

TEST(Call, PublishesHeadersAndAttributes) {
    CallRig rig;
    rig.scripted.responses.push_back(
        Reply("<a x=1 y='two'><b z=3>", "Server: scripted \r\nX-Empty:\r\n"));
    const std::string stop = ".system callreturnheader1 callnumberofheaders callobjectattribute1 callobjectvalue2\n";
    ASSERT_EQ(rig.Run(CallProgram({"http://h/", "GET", "", "", ""}, stop), 0), 1);
    EXPECT_EQ(rig.System("callnumberofheaders"), "4");
    EXPECT_EQ(rig.System("callreturnheader1"), "HTTP/1.1 200 OK");
    EXPECT_EQ(rig.System("callreturnheader2"), "Server: scripted");
    EXPECT_EQ(rig.System("callreturnheader3"), "X-Empty:");
    EXPECT_EQ(rig.System("callreturnheader4"), "Content-Length: 22");
    auto element = [&](const char* name, int32_t index) {
        Variable* base = nullptr;
        if (!rig.program->system.Find(&base, name, -1, false) || !base) return std::string("<none>");
        Variable* v = base->Element(AggregateIndex::FromIndex(index), false);
        return v ? std::string(v->Value().Text()) : std::string("<none>");
    };
    EXPECT_EQ(element("callreturnheader", 2), "Server: scripted");
    // The last tag's attributes; the earlier tag's second one is cleared.
    EXPECT_EQ(rig.System("callobjectattribute1"), "z");
    EXPECT_EQ(rig.System("callobjectvalue1"), "3");
    EXPECT_EQ(rig.System("callobjectattribute2"), "");
    EXPECT_EQ(rig.System("callobjectvalue2"), "");
    EXPECT_EQ(element("callobjectattribute", 1), "z");
    EXPECT_EQ(element("callobjectattribute", 2), "<none>");
    EXPECT_EQ(rig.System("callobjectnumattributes"), "1");
}

TEST(Call, EndsOnReadErrorsAndOversizedItems) {
    // A connection that fails once the head and "one<t" were read.
    class FailingManager : public test::ScriptedNetworkManager {
      public:
        using ScriptedNetworkManager::ScriptedNetworkManager;
        NetworkConnection* Connect(const char* host, uint32_t port, uint32_t timeout) override {
            auto* c = static_cast<test::ScriptedConnection*>(ScriptedNetworkManager::Connect(host, port, timeout));
            if (c) c->failAt = c->data.size() - 8;
            return c;
        }
    };
    CallRig failing;
    FailingManager manager(&failing.app);
    failing.app.networkManager = &manager;
    manager.responses.push_back(Reply("one<two>three"));
    manager.sizes = {1};
    ASSERT_EQ(failing.Run(CallProgram({"http://h/", "GET", "", "", ""}), 0), 1);
    EXPECT_EQ(failing.sink.text, "[text||one|0]|Read Error: Connection reset by peer");

    // An item past 64 MiB ends the walk instead of growing without bound.
    CallRig big;
    std::string huge = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kMaxCallItem + 4) + "\r\n\r\n<p>";
    huge.append(kMaxCallItem + 1, 'a');
    big.scripted.responses.push_back(std::move(huge));
    big.scripted.sizes = {1 << 20};
    ASSERT_EQ(big.Run(CallProgram({"http://h/", "GET", "", "", ""}), 0), 1);
    EXPECT_EQ(big.sink.text, "[tag|p|<p>|0]|Response item too large");
}

TEST(Call, BoundsTheAttributesOfATagAndTheHeaderLines) {
    auto tag = [](int attributes) {
        std::string body = "<a";
        for (int i = 0; i < attributes; ++i)
            body += " x";
        return body + ">";
    };
    CallRig atBound;
    atBound.scripted.responses.push_back(Reply(tag(kMaxCallAttributes)));
    ASSERT_EQ(atBound.Run(CallProgram({"http://h/", "GET", "", "", ""}), 0), 1);
    EXPECT_EQ(atBound.sink.text,
              "[tag|a|" + tag(kMaxCallAttributes) + "|" + std::to_string(kMaxCallAttributes) + "]|");
    CallRig past;
    past.scripted.responses.push_back(Reply(tag(kMaxCallAttributes + 1) + "<b>"));
    ASSERT_EQ(past.Run(CallProgram({"http://h/", "GET", "", "", ""}), 0), 1);
    EXPECT_EQ(past.sink.text, "|Too many attributes in tag");

    // Header lines besides the status line, Content-Length among them.
    auto head = [](int lines) {
        std::string extra;
        for (int i = 1; i < lines; ++i)
            extra += "X: " + std::to_string(i) + "\r\n";
        return Reply("ok", extra);
    };
    const std::string count = ".system callnumberofheaders\n";
    CallRig full;
    full.scripted.responses.push_back(head(kMaxResponseHeaders));
    ASSERT_EQ(full.Run(CallProgram({"http://h/", "GET", "", "", ""}, count), 0), 1);
    EXPECT_EQ(full.sink.text, "[text||ok|0]|");
    EXPECT_EQ(full.System("callnumberofheaders"), std::to_string(kMaxResponseHeaders + 1));
    CallRig over;
    over.scripted.responses.push_back(head(kMaxResponseHeaders + 1));
    ASSERT_EQ(over.Run(CallProgram({"http://h/", "GET", "", "", ""}, count), 0), 1);
    EXPECT_EQ(over.sink.text, "|Too many response headers");
}

TEST(Call, AReplyThatNeverEndsStopsWithTheRequest) {
    // The request is stopped (as its time-out does) once 64 KB of a comment
    // have come; the peer would go on for 8 MB without a pause.
    class StoppingManager : public test::ScriptedNetworkManager {
      public:
        StoppingManager(test::NetworkApplication* app) : ScriptedNetworkManager(app), app(app) {}
        NetworkConnection* Connect(const char* host, uint32_t port, uint32_t timeout) override {
            class Stopping : public test::ScriptedConnection {
              public:
                Stopping(test::ScriptedConnection* from, StoppingManager* owner)
                    : ScriptedConnection(from->data, {4096}), owner(owner) {}
                int32_t Read(void* buffer, int32_t length, uint32_t seconds) override {
                    int32_t n = ScriptedConnection::Read(buffer, length, seconds);
                    if (at >= 65536) owner->app->RequestStop();
                    owner->readTo = at;
                    return n;
                }
                StoppingManager* owner;
            };
            auto* scripted =
                static_cast<test::ScriptedConnection*>(ScriptedNetworkManager::Connect(host, port, timeout));
            if (!scripted) return nullptr;
            auto* stopping = new Stopping(scripted, this);
            delete scripted;
            return stopping;
        }
        test::NetworkApplication* app;
        size_t readTo = 0;
    };
    CallRig rig;
    StoppingManager manager(&rig.app);
    rig.app.networkManager = &manager;
    manager.responses.push_back(Reply("<!-- " + std::string(8 << 20, 'x') + " -->"));
    rig.Run(CallProgram({"http://h/", "GET", "", "", ""}), 0);
    EXPECT_EQ(rig.Global("VrCALL_Error"), "Read Timeout");
    EXPECT_LE(manager.readTo, 65536u + 8192u + 4096u); // one buffer past the stop
    EXPECT_NE(rig.sink.text.find("Application timed out"), std::string::npos) << rig.sink.text;
}

TEST(Call, TimeOutsOnlyShortenTheConfiguredOne) {
    struct Case {
        int32_t configured, tag, used;
    } cases[] = {{30, 10, 10}, {30, 60, 30}, {30, 0, 30}, {0, 7, 7}, {0, 0, 0}, {30, -5, 30}, {0, -5, 0}};
    test::NetworkApplication app;
    for (const Case& c : cases) {
        app.settings.SetInteger(kConfigCallTimeout, c.configured);
        CallOperands operands;
        operands.timeout = c.tag;
        Call call(&app, nullptr, nullptr, operands, &app.network);
        EXPECT_EQ(call.Timeout(), static_cast<uint32_t>(c.used)) << c.configured << " " << c.tag;
    }
}

TEST(Call, TracesItsTrafficWhenAsked) {
    CallRig rig;
    rig.traceFlags = LogCall;
    std::string reply = Reply("ok");
    rig.scripted.responses.push_back(reply);
    rig.scripted.sizes = {5};
    ASSERT_EQ(rig.Run(CallProgram({"http://h:81/t", "GET", "", "", ""}), 0), 1);
    auto base64 = [](const std::string& bytes) {
        std::string out((bytes.size() + 2) / 3 * 4, '\0');
        out.resize(Base64Encode(bytes.data(), bytes.size(), out.data()));
        return out;
    };
    const std::string prefix = "VrCALL\tt.vrc\t\t0\th\t81\t";
    ASSERT_FALSE(rig.app.logLines.empty());
    EXPECT_EQ(rig.app.logLines[0],
              prefix + "Sent\t" + base64("GET /t HTTP/1.1\r\nHost: h:81\r\n" + kEnd) + "\r\n");
    // One event per read that moved bytes: the head's lines, then the body.
    std::vector<std::string> expected = {"HTTP/1.1 200 OK\r\n", "Content-Length: 2\r\n", "\r\n", "ok"};
    ASSERT_EQ(rig.app.logLines.size(), 1 + expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(rig.app.logLines[1 + i], prefix + "Received\t" + base64(expected[i]) + "\r\n");
}

} // namespace
} // namespace vorn
