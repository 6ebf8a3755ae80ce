// VrCALL through the runner: plain and HTTPS peers, the trace log, errors
// and the request's time-out against a dripping peer.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/host/network/NetworkTestSupport.h"
#include "tools/Assembler.h"
#include "tools/Runner.h"

namespace vorn {
namespace {

using test::CallProgram;
using test::Certificates;
using test::LoopbackServer;

struct Ran {
    int32_t status;
    std::string output;
    std::string messages;
    double seconds;
};

Ran RunCall(const std::string& url, std::vector<std::string> options) {
    test::ScratchDir dir;
    Assembler assembler;
    std::string source = CallProgram({url, "GET", "", "", ""});
    EXPECT_TRUE(assembler.Assemble(source.data(), static_cast<int32_t>(source.size()), "call.vr"))
        << assembler.ErrorText().Text();
    std::string program = dir.Path() + "/call.vrc";
    std::ofstream(program, std::ios::binary)
        .write(reinterpret_cast<const char*>(assembler.Output()), assembler.OutputLength());
    options.insert(options.begin(), "vrrun");
    options.push_back(program);
    std::vector<const char*> argv;
    for (const std::string& a : options) argv.push_back(a.c_str());
    test::RecordingSink sink;
    Ran ran;
    auto start = std::chrono::steady_clock::now();
    ran.status = RunnerMain(static_cast<int>(argv.size()), argv.data(), &sink, &ran.messages);
    ran.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ran.output = sink.text;
    return ran;
}

TEST(RunnerCall, FetchesOverHttpAndHttpsAndTracesTheTraffic) {
    LoopbackServer& plain = LoopbackServer::Get(LoopbackServer::Plain);
    LoopbackServer& secure = LoopbackServer::Get(LoopbackServer::Tls);
    ASSERT_TRUE(plain.ok && secure.ok);
    test::ScratchDir logs;
    for (LoopbackServer* server : {&plain, &secure}) {
        server->Route("/page", test::Page("<p class=x>hi</p>"));
        std::string log = logs.Path() + "/" + std::to_string(server->port) + ".log";
        Ran ran = RunCall(server->Url("/page", "localhost"), {"-c", "cadir=" + Certificates::Get().Path("ca"), "-c",
                                                               "logfile=" + log, "-c", "loglevel=1048576"});
        EXPECT_EQ(ran.status, 0) << ran.messages << ran.output;
        EXPECT_EQ(ran.output, "[tag|p|<p class=x>|1][text||hi|0][tag|/p|</p>|0]|");
        EXPECT_EQ(server->Last().head,
                  "GET /page HTTP/1.1\r\nHost: localhost:" + std::to_string(server->port) +
                      "\r\nConnection: close\r\n\r\n");
        // One event per write and per read that moved bytes, on the program's behalf.
        std::ifstream in(log, std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::string peer = "\tVrCALL\t";
        EXPECT_NE(text.find(peer), std::string::npos) << text;
        EXPECT_NE(text.find("\tlocalhost\t" + std::to_string(server->port) + "\tSent\tR0VUIC9wYWdl"),
                  std::string::npos)
            << text; // "GET /page"
        EXPECT_NE(text.find("\tReceived\tSFRUUC8xLjEgMjAwIE9L"), std::string::npos) << text; // "HTTP/1.1 200 OK"
    }
}

TEST(RunnerCall, ReportsFailuresThroughTheTagsError) {
    int closed = test::FreeLoopbackPort();
    std::string url = "http://127.0.0.1:" + std::to_string(closed) + "/";
    // VrCALL's errors are shown and fatal unless the configuration says otherwise.
    Ran ran = RunCall(url, {});
    EXPECT_EQ(ran.status, 1);
    std::string message = "Unable to open URL '" + url + "': Error connecting to 127.0.0.1 on port " +
                          std::to_string(closed) + ": Connection refused";
    EXPECT_NE(ran.output.find(message), std::string::npos) << ran.output;
}

TEST(RunnerCall, ADrippingPeerEndsWithTheRequestsTimeOut) {
    LoopbackServer& server = LoopbackServer::Get(LoopbackServer::Plain);
    test::Reply drip;
    drip.pieces.push_back(test::Piece{"HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n", 0});
    for (int i = 0; i < 400; ++i) drip.pieces.push_back(test::Piece{"x", 20});
    server.Route("/drip", drip);
    Ran ran = RunCall(server.Url("/drip"), {"-c", "globaltimeout=1", "-c", "calltimeout=30"});
    EXPECT_EQ(ran.status, 1);
    EXPECT_LT(ran.seconds, 5.0);
}

} // namespace
} // namespace vorn
