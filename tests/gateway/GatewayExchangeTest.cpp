// The exchange against every behaviour of the fake gateway: failures and
// their messages, the gateway's identity, answer framings and hostile
// answers; the entries called directly; a transaction run by vrrun.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <cstdio>
#include <random>
#include <string>

#include "host/plugin/CommerceLibrary.h"
#include "host/plugin/VornHost.h"
#include "tests/gateway/GatewaySupport.h"

namespace vorn {
namespace {

using test::Behaviour;
using test::FakeGateway;
using test::GatewayRig;
using test::Inputs;

std::string Body(const std::string& message) {
    return "<r_approved>APPROVED</r_approved><r_message>" + message + "</r_message>";
}

Behaviour Raw() {
    Behaviour b;
    b.raw = true;
    return b;
}

// What a failure leaves in the ch_ variables.
enum Results {
    kUnset,    // before the outputs were emptied
    kEmptied,  // emptied, the exchange not begun
    kExchange, // "ch_error" holds the message
};

// A failed block: its message (a trailing '*' matches any rest) in the
// error variable, the ch_ variables as the stage left them, the body
// skipped, nothing left open.
void ExpectFailure(const test::Outcome& outcome, const std::string& error, Results results) {
    if (!error.empty() && error.back() == '*') {
        std::string prefix = error.substr(0, error.size() - 1);
        EXPECT_EQ(outcome.error.substr(0, prefix.size()), prefix) << outcome.error;
        EXPECT_GT(outcome.error.size(), prefix.size());
    } else {
        EXPECT_EQ(outcome.error, error);
    }
    EXPECT_EQ(outcome.Output("ch_error"), results == kExchange  ? outcome.error
                                          : results == kEmptied ? ""
                                                                : "<none>");
    EXPECT_EQ(outcome.Output("ch_approved"), results == kUnset ? "<none>" : "");
    EXPECT_EQ(outcome.body, "");
    EXPECT_EQ(outcome.openFeatures, 0);
}

TEST(GatewayExchangeTest, FailuresReportTheirCauseAndLeaveNothingOpen) {
    struct Case {
        const char* title;
        Behaviour behaviour;
        Inputs inputs;
        std::string error;
        Results results;
        int connections; // that the gateway saw
        std::string answer = test::Approved();
    };
    const std::string closed = "Read error: Connection closed before the answer was complete";
    const std::string tooLarge = "Read error: Answer too large";
    const std::string dead = "req_port=" + std::to_string(FakeGateway::Get().DeadPort());
    const std::string longName = std::string(70, 'a') + ".invalid";
    const std::string verifying = "Error establishing SSL connection to 'localhost': ";
    Behaviour stall, silent, cut, cutAbrupt, cutChunk, chunked, toClose, otherCA, otherName, tls12, gone;
    stall.handshake = false;
    silent.answer = false;
    cut.cut = cutAbrupt.cut = cutChunk.cut = 100;
    cutAbrupt.abrupt = true;
    cutChunk.framing = chunked.framing = Behaviour::kChunked;
    toClose.framing = Behaviour::kToClose;
    otherCA.certificate = Behaviour::kOtherCA;
    otherName.certificate = Behaviour::kOtherName;
    tls12.tls12 = true;
    gone.closeBeforeReading = true;
    const std::string chunkedHead = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    const std::string huge = Body(std::string(1 << 20, 'm'));
    const Behaviour none, raw = Raw();
    const Case cases[] = {
        {"no listener", none, dead, "Error connecting to 'localhost': Connection refused", kExchange, 0},
        {"port 0", none, "req_port=0", "Error connecting to 'localhost': Invalid argument", kExchange, 0},
        {"port 65536", none, "req_port=65536", "Error connecting to 'localhost': Invalid argument", kExchange,
         0},
        {"a blank in the host", none, "req_host=local host",
         "Error looking up host 'local host': Invalid host name", kExchange, 0},
        {"a line break in the host", none, "req_host=localhost\r\nX: y",
         "Error looking up host 'localhost\r\nX: y': Invalid host name", kExchange, 0},
        {"an unknown host", none, "req_host=" + longName, "Error looking up host '" + longName + "': *",
         kExchange, 0},
        {"a handshake that never comes", stall, "req_read_timeout=1",
         "Error establishing SSL connection to 'localhost': Connection timed out", kExchange, 1},
        {"no answer", silent, "req_read_timeout=1", "Read error: Connection timed out", kExchange, 1},
        {"closed mid-answer", cut, "", closed, kExchange, 1},
        {"closed mid-answer without close_notify", cutAbrupt, "", closed, kExchange, 1},
        {"closed mid-chunk", cutChunk, "", closed, kExchange, 1},
        {"closed before the head", raw, "", closed, kExchange, 1, ""},
        {"over the cap", none, "", tooLarge, kExchange, 1, huge},
        {"over the cap, chunked", chunked, "", tooLarge, kExchange, 1, huge},
        {"over the cap, to the close", toClose, "", tooLarge, kExchange, 1, huge},
        {"a length that is no number", raw, "", "Read error: Invalid Content-Length", kExchange, 1,
         "HTTP/1.1 200 OK\r\nContent-Length: 1x\r\n\r\n1"},
        {"lengths that disagree", raw, "", "Read error: Invalid Content-Length", kExchange, 1,
         "HTTP/1.1 200 OK\r\nContent-Length: 3\r\ncontent-length: 4\r\n\r\nabcd"},
        {"a signed chunk size", raw, "", "Read error: Invalid chunk size", kExchange, 1,
         chunkedHead + "-5\r\n"},
        {"a chunk size of 16 digits", raw, "", "Read error: Invalid chunk size", kExchange, 1,
         chunkedHead + "1000000000000000\r\n"},
        {"a chunk size over the cap", raw, "", tooLarge, kExchange, 1, chunkedHead + "100001\r\n"},
        {"a chunk without its end", raw, "", "Read error: Invalid chunk", kExchange, 1,
         chunkedHead + "3\r\nabcX\r\n"},
        {"a gateway of another CA", otherCA, "", verifying + "unable to get local issuer certificate",
         kExchange, 1},
        {"a gateway of another name", otherName, "", verifying + "hostname mismatch", kExchange, 1},
        {"a client of another CA", none, "req_keyfile=rogue.pem", "tlsv1 alert unknown ca", kExchange, 1},
        {"a client of another CA, TLS 1.2", tls12, "req_keyfile=rogue.pem",
         verifying + "tlsv1 alert unknown ca", kExchange, 1},
        {"no key file", none, "req_keyfile=missing.pem", "No such file or directory", kEmptied, 0},
        {"a key file name that would be cut", none, "req_keyfile=" + std::string(5000, 'k'),
         "File name too long", kEmptied, 0},
        {"no key in the key file", none, "req_keyfile=garbage.pem", "Error reading certificate: *", kExchange,
         1},
        {"no req_host", none, "-req_host", "variable req_host not defined", kEmptied, 0},
        {"no req_port", none, "-req_port", "variable req_port not defined", kEmptied, 0},
        // Writes to a gateway that has gone raise SIGPIPE: the process lives on.
        {"a gateway gone before reading", gone, "order_comments*20=cccccc",
         "Error writing to 'localhost': Broken pipe", kExchange, 1},
    };
    GatewayRig rig;
    FakeGateway& gateway = FakeGateway::Get();
    gateway.Serve(none);
    ASSERT_EQ(rig.Run("").Output("ch_approved"), "APPROVED"); // what is opened once is open now
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        gateway.Serve(c.behaviour, {c.answer});
        int descriptors = test::OpenDescriptors();
        test::Outcome outcome = rig.Run(c.inputs);
        ExpectFailure(outcome, c.error, c.results);
        EXPECT_EQ(gateway.Connections(), c.connections);
        EXPECT_EQ(test::OpenDescriptors(), descriptors);
    }

    // An encrypted key: no prompt, although standard input holds the phrase.
    int saved = dup(0);
    int phrase[2];
    ASSERT_EQ(pipe(phrase), 0);
    ASSERT_EQ(write(phrase[1], "secret\n", 7), 7);
    dup2(phrase[0], 0);
    gateway.Serve(none);
    test::Outcome outcome = rig.Run("req_keyfile=locked.pem");
    dup2(saved, 0);
    for (int fd : {saved, phrase[0], phrase[1]})
        close(fd);
    ExpectFailure(outcome, "Error reading key: *", kExchange);
}

TEST(GatewayExchangeTest, TheGatewayIsCheckedByTheHostsRules) {
    struct Case {
        const char* title;
        Behaviour::Certificate certificate;
        int32_t flags; // "securityoptions"
        std::string host;
        std::string error; // empty: approved
        std::string sni = "";
        int32_t useSni = -1;
        bool caDirectory = true;
    };
    const std::string mismatch = "Error establishing SSL connection to '127.0.0.1': IP address mismatch";
    const Case cases[] = {
        {"the gateway", Behaviour::kGateway, 0, "localhost", "", "localhost"},
        {"no SNI when told so", Behaviour::kGateway, 0, "localhost", "", "", 0},
        {"another CA, chain unchecked", Behaviour::kOtherCA, 0x1000, "localhost", "", "localhost"},
        {"another name, name unchecked", Behaviour::kOtherName, 0x2000, "localhost", "", "localhost"},
        {"another name, chain unchecked", Behaviour::kOtherName, 0x1000, "localhost",
         "Error establishing SSL connection to 'localhost': hostname mismatch"},
        {"another name, nothing checked", Behaviour::kOtherName, 0x3000, "localhost", "", "localhost"},
        {"an IP address on the chain alone", Behaviour::kOtherName, 0, "127.0.0.1", ""},
        {"an IP address checked", Behaviour::kOtherName, 0x4000, "127.0.0.1", mismatch},
        {"an IP address checked, chain unchecked", Behaviour::kOtherName, 0x5000, "127.0.0.1", mismatch},
        {"an IP address that matches", Behaviour::kGateway, 0x4000, "127.0.0.1", ""},
        {"an IPv6 address that matches", Behaviour::kGateway, 0x4000, "::1", ""},
        {"the system's store", Behaviour::kGateway, 0, "localhost",
         "Error establishing SSL connection to 'localhost': self-signed certificate in certificate chain", "",
         -1, false},
    };
    GatewayRig rig;
    FakeGateway& gateway = FakeGateway::Get();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        if (c.host == "::1" && !gateway.HasIPv6()) continue;
        Behaviour behaviour;
        behaviour.certificate = c.certificate;
        gateway.Serve(behaviour);
        rig.app.settings.SetInteger(kConfigSecurityOptions, c.flags);
        rig.app.settings.SetInteger(kConfigUseSni, c.useSni);
        rig.app.settings.SetText(kConfigCaDir, c.caDirectory ? rig.caDir.c_str() : "", -1, false);
        test::Outcome outcome = rig.Run({"req_host=" + c.host});
        if (!c.error.empty()) {
            ExpectFailure(outcome, c.error, kExchange);
            continue;
        }
        EXPECT_EQ(outcome.error, "<none>");
        EXPECT_EQ(outcome.Output("ch_approved"), "APPROVED");
        std::vector<test::Request> requests = gateway.Requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].sni, c.sni);
    }
}

TEST(GatewayExchangeTest, AnswersAreReadWholeInEveryFraming) {
    struct Case {
        const char* title;
        Behaviour behaviour;
        std::string message; // of r_message
    };
    Behaviour split, keepAlive, chunked, toClose, toCloseAbrupt, bareLF, raw = Raw();
    split.splitInside = "<r_approved>";
    keepAlive.keepAlive = true;
    toClose.framing = toCloseAbrupt.framing = Behaviour::kToClose;
    chunked.framing = Behaviour::kChunked;
    toCloseAbrupt.abrupt = true;
    bareLF.bareLF = true;
    const std::string large(3000, 'm');
    const Case cases[] = {
        {"an element name cut between reads", split, "split"},
        {"over 2048 bytes", {}, large},
        {"the cap exactly", {}, std::string((1 << 20) - Body("").size(), 'm')},
        {"kept alive", keepAlive, "kept"},
        {"chunked", chunked, large},
        {"to the close", toClose, large},
        {"to a close without close_notify", toCloseAbrupt, "abrupt"},
        {"a head of bare line feeds", bareLF, "bare"},
        {"no head at all", raw, "raw"},
    };
    GatewayRig rig;
    FakeGateway& gateway = FakeGateway::Get();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        gateway.Serve(c.behaviour, {Body(c.message)});
        test::Outcome outcome = rig.Run({});
        EXPECT_EQ(outcome.error, "<none>");
        EXPECT_EQ(outcome.Output("ch_approved"), "APPROVED");
        EXPECT_EQ(outcome.Output("ch_message"), c.message);
    }
}

// Random bytes, and valid answers cut and flipped at random: every run ends
// orderly, a failure with its text in both places.
TEST(GatewayExchangeTest, HostileAnswersEndOrderly) {
    GatewayRig rig;
    FakeGateway& gateway = FakeGateway::Get();
    std::mt19937 random(23);
    const std::string valid[] = {
        "HTTP/1.1 200 OK\r\nContent-Length: 40\r\n\r\n" + Body("0123456"),
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: "
        "chunked\r\n\r\n5;x=y\r\n<r_ap\r\n1b\r\nproved>APPROVED</r_approved>\r\n0\r\n\r\n",
    };
    for (int round = 0; round < 24; ++round) {
        std::string answer;
        if (round % 3 == 0) {
            answer.resize(random() % 300);
            for (char& c : answer)
                c = static_cast<char>(random());
        } else {
            answer = valid[round % 2];
            for (int flips = random() % 4; flips > 0; --flips)
                answer[random() % answer.size()] = static_cast<char>(random());
            answer.resize(random() % (answer.size() + 1));
        }
        SCOPED_TRACE(round);
        gateway.Serve(Raw(), {answer});
        test::Outcome outcome = rig.Run({});
        EXPECT_EQ(outcome.result, 1);
        if (outcome.error == "<none>") {
            EXPECT_EQ(outcome.body, "body");
        } else {
            ExpectFailure(outcome, outcome.error, kExchange);
        }
    }
}

TEST(GatewayEntryTest, EntriesCloseOnlyTheirOwnDescriptors) {
    GatewayRig rig;
    FakeGateway::Get().Serve({});
    ExternalLibrary* library = rig.loader.Load(VORN_TOBEX);
    ASSERT_NE(library, nullptr) << rig.loader.ErrorText().Text();
    auto table = reinterpret_cast<CommerceDescriptorEntry>(library->GetSymbol("vorn_commerce_library"));
    auto reregister = reinterpret_cast<VornRegisterLibrary>(library->GetSymbol("vorn_register_library"));
    ASSERT_TRUE(table && reregister);
    CommerceLibraryDescriptor* entries = table();
    EXPECT_EQ(entries->version, 1);
    for (const char* fallback :
         {"vorn_commerce_init", "vorn_commerce_loop", "vorn_commerce_cleanup", "vorn_commerce_error"})
        EXPECT_EQ(library->GetSymbol(fallback), nullptr) << fallback;

    VornVM* program = rig.Program();
    VornVariableList* inputs = vrVariableList_Allocate();
    VornVariableHash* outputs = vrVariableHash_Allocate();
    if (fcntl(0, F_GETFD) < 0) {
        ASSERT_EQ(open("/dev/null", O_RDONLY), 0);
    }

    // An early failure leaves standard input alone.
    void* state = nullptr;
    EXPECT_EQ(entries->init(program, &state, "LinkPoint", "", inputs, outputs), 1);
    EXPECT_STREQ(entries->error(program, &state, "LinkPoint", "", inputs),
                 "variable req_chargetype not defined");
    entries->cleanup(program, &state, "LinkPoint", "", inputs);
    EXPECT_EQ(state, nullptr);
    EXPECT_NE(fcntl(0, F_GETFD), -1);

    // A descriptor that takes the number of the closed connection survives cleanup.
    for (const auto& [name, value] : GatewayRig::Items(""))
        vrVariableList_SetVariable(inputs, name.c_str(), -1, value.c_str(), -1);
    EXPECT_EQ(entries->init(program, &state, "LinkPoint", "", inputs, outputs), 0);
    EXPECT_STREQ(entries->error(program, &state, "LinkPoint", "", inputs), "");
    EXPECT_EQ(entries->loop(program, &state, "LinkPoint", "", inputs, outputs, 0), 0);
    EXPECT_EQ(entries->loop(program, &state, "LinkPoint", "", inputs, outputs, 1), 2);
    int other = open("/dev/null", O_RDONLY);
    entries->cleanup(program, &state, "LinkPoint", "", inputs);
    EXPECT_NE(fcntl(other, F_GETFD), -1);
    close(other);

    // No memory for the record: a failure with a text of its own.
    reregister(nullptr);
    EXPECT_EQ(entries->init(program, &state, "LinkPoint", "", inputs, outputs), 1);
    EXPECT_EQ(state, nullptr);
    EXPECT_STREQ(entries->error(program, &state, "LinkPoint", "", inputs),
                 "Unable to allocate memory for transaction");
    entries->cleanup(program, &state, "LinkPoint", "", inputs);
    reregister(platform::HostModule());
    vrVariableList_Free(inputs);
    vrVariableHash_Free(outputs);

    // An OpenSSL function the host cannot give.
    for (const char* name : {"TLS_client_method", "X509_check_ip_asc"}) {
        rig.app.withheld = name;
        ExpectFailure(rig.Run({}), std::string("Unable to load ") + name, kUnset);
    }
}

TEST(GatewayRunnerTest, VrrunRunsATransaction) {
    test::ScratchTree tree;
    std::filesystem::copy(test::GatewayCertificates::Get().Path("commerce"), tree.Data() + "/commerce",
                          std::filesystem::copy_options::recursive);
    FakeGateway& gateway = FakeGateway::Get();
    gateway.Serve({});
    const std::string source = GatewayRig::Source("", "    pushs ch_approved\n    out\n");
    test::Bytes bytes = test::Assembled(test::ResolveTagJumps(source));
    std::ofstream(tree.Scripts() + "/pay.vrc", std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    std::string command = std::string(VORN_VRRUN) + " -s " + tree.Scripts() + " -d " + tree.Data() +
                          " -c commercedir=commerce -c cadir=" + test::GatewayCertificates::Get().Path("cadir") +
                          " -m LinkPoint=" + VORN_TOBEX + " pay.vrc 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[256];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe))
        output.append(buffer, n);
    EXPECT_EQ(pclose(pipe), 0) << output;
    EXPECT_EQ(output, "APPROVED");
    std::vector<test::Request> requests = gateway.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].subject, "/CN=Vorn Test Client");
}

} // namespace
} // namespace vorn
