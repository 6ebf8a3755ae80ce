// VrSMTP: the body's line ends and dots, the flags, the SASL computations
// against the RFCs' answers, sessions with aiosmtpd, and what only a scripted
// server does (odd replies, endless lines, drips, stops).
#include "tests/host/network/mail/MailTestSupport.h"

namespace vorn {
namespace {

using test::MailRig;
using test::Answer;
using test::Script;
using test::ScriptedServer;
using test::SmtpArgs;
using test::SmtpPeer;
using test::SmtpProgram;
using test::SmtpRecord;

const std::string kHeaders = "Date: Thu, 01 Jan 1970 00:00:00 -0000\r\nFrom: alice@example.test\r\n"
                             "To: bob@example.test\r\nX-Mailer: Vorn v5.20\r\nSubject: Greetings\r\n\r\n";

std::string Wire(const std::vector<std::string>& writes) {
    test::ScriptedConnection connection("", {});
    SMTPOutput body(nullptr, &connection, 4, 1);
    for (const std::string& w : writes) body.Write(w.data(), static_cast<int32_t>(w.size()));
    EXPECT_TRUE(body.FinishMessage());
    return connection.written;
}

TEST(SmtpBody, EveryLineEndLeavesAsCrLfAndLineStartDotsAreDoubled) {
    const struct {
        std::string body, wire;
    } cases[] = {
        {"", ".\r\n"},
        {"\r\n", ".\r\n"},
        {"\n\r", ".\r\n"},
        {"\r\nHello", "Hello\r\n.\r\n"},
        {"Hello", "Hello\r\n.\r\n"},
        {"Hello\n", "Hello\r\n.\r\n"},
        {"a\rb\nc\r\nd\n\re", "a\r\nb\r\nc\r\nd\r\ne\r\n.\r\n"},
        {"a\n\nb\r\rc", "a\r\n\r\nb\r\n\r\nc\r\n.\r\n"},
        {"a\n\r\nb", "a\r\n\r\nb\r\n.\r\n"},
        {".", "..\r\n.\r\n"},
        {"\r\n.\r\n", "..\r\n.\r\n"},
        {"a\n.\nb", "a\r\n..\r\nb\r\n.\r\n"},
        {"a\n..b.", "a\r\n...b.\r\n.\r\n"},
        {"\n\n.x", "\r\n..x\r\n.\r\n"},
    };
    for (const auto& c : cases) {
        // Every split into three writes gives the same bytes.
        for (size_t a = 0; a <= c.body.size(); ++a)
            for (size_t b = a; b <= c.body.size(); ++b)
                ASSERT_EQ(Wire({c.body.substr(0, a), c.body.substr(a, b - a), c.body.substr(b)}), c.wire)
                    << testing::PrintToString(c.body) << " split at " << a << ", " << b;
    }
    // After a failed send nothing more is tried; the end reports it.
    test::ScriptedConnection refusing("", {});
    refusing.writeLimit = 0;
    SMTPOutput body(nullptr, &refusing, 4, 1);
    body.Write("0123456789\n", 11);
    EXPECT_FALSE(body.FinishMessage());
    EXPECT_EQ(refusing.refusedWrites, 1);
    EXPECT_STREQ(body.ErrorText().Text(), "Write Error: Connection reset by peer");
}

TEST(SmtpFlags, WordsOfAnyCaseBetweenSpacesAndCommas) {
    const struct {
        const char* text;
        uint32_t flags;
        const char* error;
    } cases[] = {
        {"", 0, ""},
        {"TLS, noheaders", kSmtpTls | kSmtpNoHeaders, ""},
        {" ,StartTLS,,", kSmtpStartTls, ""},
        {"tls starttls", 0, "Only one of the \"tls\" or \"starttls\" flags may be specified"},
        {"ssl", 0, "Unsupported flag \"ssl\""},
        {"noheaders\tTLSX", 0, "Unsupported flag \"TLSX\""},
    };
    for (const auto& c : cases) {
        uint32_t flags = 0;
        String error("");
        EXPECT_EQ(SMTP::ParseFlags(c.text, static_cast<int32_t>(std::strlen(c.text)), &flags, &error), !c.error[0]);
        if (!c.error[0]) {
            EXPECT_EQ(flags, c.flags) << c.text;
        }
        EXPECT_STREQ(error.Text(), c.error) << c.text;
    }
}

TEST(SmtpHello, AddressesGoAsAddressLiterals) {
    MailRig rig;
    const struct {
        const char *address, *name;
    } cases[] = {
        {"127.0.0.1", "[127.0.0.1]"}, {"::1", "[IPv6:::1]"}, {"fe80::1:2", "[IPv6:fe80::1:2]"},
        {"client.example.test", "client.example.test"}, {"", ""}, {nullptr, ""},
    };
    for (const auto& c : cases)
        EXPECT_STREQ(SMTPService::ClientName(&rig.network, c.address).Text(), c.name) << c.name;
}

TEST(SmtpDigest, KnownAnswersOfRfc2831TakeTheDigestUri) {
    const struct {
        const char *uri, *nonce, *cnonce, *response, *rspauth;
    } cases[] = {
        {"imap/elwood.innosoft.com", "OA6MG9tEQGm2hh", "OA6MHXh6VqTrRk", "d388dad90d4bbd760a152321f2143af7",
         "ea40f60335c427b5527b84dbabcdfffd"},
        {"acap/elwood.innosoft.com", "OA9BSXrbuRhWay", "OA9BSuZWMSpW8m", "6084c6db3fede7352c551284490fd0fc",
         "2f0b3d7c3c2e486600ef710726aa2eae"},
    };
    for (const auto& c : cases) {
        const String nonce(c.nonce), cnonce(c.cnonce), uri(c.uri), nc("00000001");
        String ha1 = SMTPService::DigestHA1(String("chris"), String("elwood.innosoft.com"), String("secret"), nonce,
                                            cnonce);
        EXPECT_STREQ(SMTPService::DigestResponse(ha1, nonce, nc, cnonce, SMTPService::DigestHA2(uri)).Text(),
                     c.response);
        EXPECT_STREQ(SMTPService::DigestResponse(ha1, nonce, nc, cnonce, SMTPService::DigestRspauthHA2(uri)).Text(),
                     c.rspauth);
    }
}

TEST(SmtpDigest, ParsesChallengesAndNamesEachFault) {
    const struct {
        const char* challenge;
        const char *realm, *nonce;
        bool charset;
        const char* error;
    } cases[] = {
        {"realm=\"elwood.innosoft.com\",nonce=\"OA6MG9tEQGm2hh\",qop=\"auth\",algorithm=md5-sess,charset=utf-8",
         "elwood.innosoft.com", "OA6MG9tEQGm2hh", true, ""},
        {" Nonce = abc , qop=\"auth-int, auth\" ,realm=\"r1\",REALM=\"r2\",stale", "r1", "abc", false, ""},
        {"junk,nonce=n,algorithm=MD5-Sess", "", "n", false, ""},
        {"realm=\"x\"", "", "", false, "Unable to determine nonce during DIGEST-MD5 authentication"},
        {"nonce=\"a\",nonce=\"b\"", "", "", false,
         "Server returned multiple nonce values during DIGEST-MD5 authentication"},
        {"nonce=\"a\",qop=\"auth-int\"", "", "", false,
         "Server does not support required qop \"auth\" during DIGEST-MD5 authentication"},
        {"nonce=\"a\",charset=latin1", "", "", false,
         "Server specified unrecognized charset during DIGEST-MD5 authentication"},
        {"nonce=\"a\",algorithm=md5", "", "", false,
         "Server returned an unrecognized algorithm during DIGEST-MD5 authentication"},
        {"nonce=\"a\",algorithm=md5-sess,algorithm=md5-sess", "", "", false,
         "Server returned multiple algorithm values in challenge during DIGEST-MD5 authentication"},
    };
    for (const auto& c : cases) {
        DigestChallenge challenge;
        String error("");
        bool ok = SMTPService::ParseDigestChallenge(c.challenge, static_cast<int32_t>(std::strlen(c.challenge)),
                                                    &challenge, &error);
        EXPECT_STREQ(error.Text(), c.error) << c.challenge;
        if (!ok) continue;
        EXPECT_STREQ(challenge.realm.Text(), c.realm) << c.challenge;
        EXPECT_STREQ(challenge.nonce.Text(), c.nonce) << c.challenge;
        EXPECT_EQ(challenge.charset, c.charset) << c.challenge;
    }
    // Random challenges: each parses or names one of the faults above.
    for (unsigned seed = 1; seed <= 200; ++seed) {
        std::string text = test::RandomBytes(seed, seed % 97);
        if (seed % 2) text = "nonce=\"n\"," + text;
        DigestChallenge challenge;
        String error("");
        bool ok = SMTPService::ParseDigestChallenge(text.data(), static_cast<int32_t>(text.size()), &challenge, &error);
        bool named = ok;
        for (const auto& c : cases) named |= c.error[0] && error.Equals(c.error);
        EXPECT_TRUE(named && ok == error.IsEmpty()) << seed << ": " << error.Text();
    }
}

struct Sent {
    std::string output;    // what the program wrote outside the block, then "|" and VrSMTP_Error
    SmtpRecord record;     // what the server recorded (empty when no session was expected)
    std::vector<uint32_t> ports; // the connections asked for
};

Sent SendWithPeer(const std::string& server, SmtpArgs args, const std::string& body = "    pushc \"Hello\"\n    out\n",
                  bool connects = true, uint32_t traceFlags = 0, MailRig* into = nullptr) {
    SmtpPeer& peer = SmtpPeer::Get();
    MailRig own;
    MailRig& rig = into ? *into : own;
    if (!args.port) args.port = peer.Port(server);
    size_t mark = peer.Records().size();
    EXPECT_EQ(rig.Run(SmtpProgram(args, body), traceFlags), 1) << rig.lastError;
    Sent sent{rig.sink.text, {}, rig.network.askedPorts};
    if (connects) sent.record = peer.After(mark);
    EXPECT_EQ(rig.app.GetOutput(), &rig.sink);
    return sent;
}

TEST(SmtpSession, AuthenticatesWithTheFirstOfferedMechanismAndChecksTheServer) {
    ASSERT_TRUE(SmtpPeer::Get().ok);
    const std::string helo = "HELO [127.0.0.1]\r\n", ehlo = "EHLO [127.0.0.1]\r\n";
    const struct {
        const char *server, *flags, *user, *password, *host;
        std::string transcriptStart; // the client's first lines
        const char* error;
    } cases[] = {
        {"plain", "", "", "", "localhost", helo + "MAIL FROM: alice@example.test\r\n", ""},
        {"plain", "", "alice", "wonder", "localhost", ehlo + "AUTH DIGEST-MD5\r\n", ""},
        {"cram", "", "alice", "wonder", "localhost", ehlo + "AUTH CRAM-MD5\r\n", ""},
        {"plainonly", "", "alice", "wonder", "localhost", ehlo + "AUTH PLAIN YWxpY2UAYWxpY2UAd29uZGVy\r\n", ""},
        // aiosmtpd prompts "User Name\0" and "Password\0".
        {"login", "", "alice", "wonder", "localhost", ehlo + "AUTH LOGIN\r\nYWxpY2U=\r\nd29uZGVy\r\n", ""},
        {"digest", "", "alice", "wonder", "localhost", ehlo + "AUTH DIGEST-MD5\r\n", ""},
        {"tls", "TLS", "alice", "wonder", "localhost", ehlo + "AUTH DIGEST-MD5\r\n", ""},
        // AUTH is offered only after STARTTLS: the capabilities are read again.
        {"starttls", "starttls", "alice", "wonder", "localhost", ehlo + "STARTTLS\r\n" + ehlo + "AUTH DIGEST-MD5\r\n",
         ""},
        {"starttls", "starttls", "", "", "localhost", ehlo + "STARTTLS\r\n" + ehlo + "MAIL FROM: ", ""},
        {"plain", "", "alice", "wrong", "localhost", ehlo + "AUTH DIGEST-MD5\r\n",
         "5.7.8 Authentication credentials invalid"},
        {"digest", "", "badrsp", "wonder", "localhost", ehlo + "AUTH DIGEST-MD5\r\n",
         "rspauth mismatch during DIGEST-MD5 authentication"},
        {"none", "", "alice", "wonder", "localhost", ehlo + "QUIT\r\n",
         "No supported authentication methods are allowed by the server"},
        // Never on in plain when STARTTLS was asked for.
        {"plain", "starttls", "alice", "wonder", "localhost", ehlo + "QUIT\r\n", "Server does not support STARTTLS"},
        // The identity is checked after either handshake, and nothing more is said.
        {"tls", "tls", "", "", "nomatch.test", "", "Unable to verify server identity"},
        {"starttls", "starttls", "", "", "nomatch.test", ehlo + "STARTTLS\r\n", "Unable to verify server identity"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.server) + " " + c.flags + " " + c.user + " " + c.host);
        SmtpArgs args;
        args.flags = c.flags;
        args.user = c.user;
        args.password = c.password;
        args.host = c.host;
        Sent sent = SendWithPeer(c.server, args);
        EXPECT_EQ(sent.output, std::string("|") + c.error);
        EXPECT_EQ(sent.record.transcript.substr(0, c.transcriptStart.size()), c.transcriptStart);
        if (c.error[0]) {
            EXPECT_EQ(sent.record.content, "");
            continue;
        }
        EXPECT_EQ(sent.record.login, c.user);
        EXPECT_EQ(sent.record.content, kHeaders + "Hello\r\n");
    }
}

TEST(SmtpSession, SendsEnvelopeHeadersAndBodyByteForByte) {
    ASSERT_TRUE(SmtpPeer::Get().ok);
    // The whole conversation of the simplest message.
    Sent sent = SendWithPeer("plain", SmtpArgs{});
    EXPECT_EQ(sent.record.transcript, "HELO [127.0.0.1]\r\nMAIL FROM: alice@example.test\r\n"
                                      "RCPT TO: bob@example.test\r\nDATA\r\n" +
                                          kHeaders + "Hello\r\n.\r\nQUIT\r\n");
    EXPECT_EQ(sent.record.from, "alice@example.test");

    // CC parts keep their spaces; noheaders writes none; the body's dots
    // and line ends arrive as the script wrote them.
    SmtpArgs cc;
    cc.cc = "carol@example.test, dave@example.test";
    sent = SendWithPeer("plain", cc);
    EXPECT_NE(sent.record.transcript.find("RCPT TO: bob@example.test\r\nRCPT TO: carol@example.test\r\n"
                                          "RCPT TO:  dave@example.test\r\nDATA\r\n"),
              std::string::npos);
    EXPECT_EQ(sent.record.recipients, "bob@example.test,carol@example.test,dave@example.test");
    EXPECT_NE(sent.record.content.find("To: bob@example.test\r\nCC: carol@example.test, dave@example.test\r\n"),
              std::string::npos);

    SmtpArgs bare;
    bare.flags = "noheaders";
    sent = SendWithPeer("plain", bare, "    pushc \"\\r\\n.\\nline\\rend.\"\n    out\n");
    EXPECT_EQ(sent.record.content, ".\r\nline\r\nend.\r\n");
    EXPECT_NE(sent.record.transcript.find("DATA\r\n..\r\nline\r\nend.\r\n.\r\nQUIT\r\n"), std::string::npos);
}

TEST(SmtpSession, RefusalsAndInjectionsEndTheBlockBeforeItsBody) {
    ASSERT_TRUE(SmtpPeer::Get().ok);
    SmtpArgs refused;
    refused.cc = "refuse@example.test";
    Sent sent = SendWithPeer("plain", refused);
    EXPECT_EQ(sent.output, "|5.1.1 &lt;refuse@example.test&gt;: Recipient address rejected");
    EXPECT_EQ(sent.record.transcript.find("DATA"), std::string::npos);
    EXPECT_EQ(sent.record.transcript.substr(sent.record.transcript.size() - 6), "QUIT\r\n");

    // Nothing is sent, not even a connection, for a text that would add a
    // header, a recipient or a command.
    const struct {
        std::string SmtpArgs::*field;
        std::string text;
        const char* name;
    } injections[] = {
        {&SmtpArgs::subject, "Hi\r\nBcc: eve@example.test", "Subject"},
        {&SmtpArgs::from, "a@example.test\r\nRCPT TO: eve@example.test", "From"},
        {&SmtpArgs::to, "bob@example.test\nx", "To"},
        {&SmtpArgs::cc, std::string("c@example.test\0x", 16), "CC"},
        {&SmtpArgs::host, "localhost\r", "host"},
        {&SmtpArgs::user, "alice\nQUIT", "user name"},
        {&SmtpArgs::password, std::string("won\0der", 7), "password"},
    };
    for (const auto& c : injections) {
        SmtpArgs args;
        args.*c.field = c.text;
        sent = SendWithPeer("plain", args, "    pushc \"Hello\"\n    out\n", false);
        EXPECT_EQ(sent.output, std::string("|Invalid character in ") + c.name);
        EXPECT_TRUE(sent.ports.empty()) << c.name;
    }

    SmtpArgs closed;
    closed.port = test::FreeLoopbackPort();
    closed.host = "127.0.0.1";
    sent = SendWithPeer("plain", closed, "", false);
    EXPECT_EQ(sent.output, "|Error connecting to '127.0.0.1': Error connecting to 127.0.0.1 on port " +
                               std::to_string(closed.port) + ": Connection refused");
}

TEST(SmtpSession, AnEndedRunClosesTheSessionWithoutQuitOrMessage) {
    ASSERT_TRUE(SmtpPeer::Get().ok);
    // Inside DATA a QUIT would be body text the server never answers.
    MailRig rig;
    rig.app.settings.SetInteger(kConfigMailTimeout, 30);
    Sent sent = SendWithPeer("plain", SmtpArgs{}, "    pushc \"partial body\"\n    out\n    pushi 0\n    exit\n",
                             true, 0, &rig);
    EXPECT_EQ(sent.output, "");
    EXPECT_EQ(sent.record.content, "");
    EXPECT_NE(sent.record.transcript.find("DATA\r\n"), std::string::npos);
    EXPECT_EQ(sent.record.transcript.find("partial"), std::string::npos);
    EXPECT_EQ(sent.record.transcript.find("QUIT"), std::string::npos);

    // The trace shows the session's bytes.
    MailRig traced;
    SendWithPeer("plain", SmtpArgs{}, "    pushc \"Hello\"\n    out\n", true, LogSmtp, &traced);
    bool quitLogged = false;
    for (const std::string& line : traced.app.logLines)
        quitLogged |= line.find("VrSMTP") != std::string::npos && line.find("Sent\tUVVJVA0K") != std::string::npos;
    EXPECT_TRUE(quitLogged);
}

TEST(SmtpScripted, OddRepliesEndlessLinesDripsAndStops) {
    ScriptedServer& server = ScriptedServer::Get();
    const Answer ok{"250 ok\r\n"};
    const Script delivery = {{"HELO", ok}, {"MAIL", ok}, {"RCPT", ok}, {"DATA", Answer{"354 go\r\n", "", 0, false, true, "250 ok\r\n"}},
                             {"QUIT", Answer{"221 bye\r\n"}}};
    auto with = [&](Script front) {
        front.insert(front.end(), delivery.begin(), delivery.end());
        return front;
    };
    const Answer greeting{"220 ready\r\n"};
    const struct {
        Answer greeting;
        Script script;
        const char *user, *password, *flags;
        int mailTimeout, stopAfter;
        const char* error;
        std::string mustSend; // a line the client sent ("" none)
        int quit;             // 1: QUIT was sent, 0: it was not
    } cases[] = {
        // RFC 2195's known answer.
        {greeting,
         with({{"EHLO", Answer{"250-x\r\n250 AUTH CRAM-MD5\r\n"}},
               {"AUTH CRAM-MD5", Answer{"334 PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+\r\n"}},
               {"dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw\r\n", Answer{"235 ok\r\n"}}}),
         "tim", "tanstaaftanstaaf", "", 5, 0, "", "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw\r\n", 1},
        // The first line is not examined; AUTH words count in exact case.
        {greeting, with({{"EHLO", Answer{"250-AUTH DIGEST-MD5\r\n250-AUTH cram-md5\r\n250 AUTH PLAIN\r\n"}},
                         {"AUTH PLAIN", Answer{"235 ok\r\n"}}}),
         "tim", "x", "", 5, 0, "", "AUTH PLAIN dGltAHRpbQB4\r\n", 1},
        {greeting, with({{"EHLO", Answer{"250-x\r\n250 AUTH login plain\r\n"}}}), "tim", "x", "", 5, 0,
         "No supported authentication methods are allowed by the server", "", 1},
        {greeting,
         with({{"EHLO", Answer{"250-x\r\n250 AUTH LOGIN\r\n"}}, {"AUTH LOGIN", Answer{"334 VXNlcm5hbWU6\r\n"}},
               {"dGlt", Answer{"334 UGFzc3dvcmQ6\r\n"}}, {"eA==", Answer{"235 ok\r\n"}}}),
         "tim", "x", "", 5, 0, "", "eA==\r\n", 1},
        {greeting, with({{"EHLO", Answer{"250-x\r\n250 AUTH LOGIN\r\n"}}, {"AUTH LOGIN", Answer{"334 TG9naW46\r\n"}}}),
         "tim", "x", "", 5, 0, "Invalid AUTH LOGIN handshake", "", 1},
        {greeting,
         with({{"EHLO", Answer{"250-x\r\n250 AUTH DIGEST-MD5\r\n"}},
               {"AUTH DIGEST-MD5", Answer{"334 bm9uY2U9Im4iLHFvcD0iYXV0aCI=\r\n"}}, {"dXNlcm5hbWU9", Answer{"334 Zm9v\r\n"}}}),
         "tim", "x", "", 5, 0, "Invalid rspauth during DIGEST-MD5 authentication", "", 1},
        // The verdict at the end word; a server that never gives one.
        {greeting, with({{"DATA", Answer{"354 go\r\n", "", 0, false, true, "554 5.7.1 refused\r\n"}}}), "", "", "",
         5, 0, "5.7.1 refused", "", 1},
        {greeting, with({{"DATA", Answer{"354 go\r\n", "", 0, false, true, ""}}}), "", "", "", 1, 0, "Read Timeout",
         "", 0},
        {Answer{"22\r\n"}, {}, "", "", "", 5, 0, "Failed to read SMTP status", "", 1},
        {Answer{"220 ready", "", 0, true}, {}, "", "", "", 5, 0, "Read Error: Connection closed by remote host", "",
         0},
        {Answer{"220 ", std::string(65536, 'x')}, {}, "", "", "", 5, 0, "Read Error: Line too long", "", 0},
        {Answer{"", "220-more\r\n"}, {}, "", "", "", 5, 300, "Read Timeout", "", 0},
        {Answer{"220 ready\r\n", "", 1500}, {}, "", "", "", 1, 0, "Read Timeout", "", 0},
        {Answer{"", "2", 50}, {}, "", "", "", 1, 300, "Read Timeout", "", 0},
        // A server that closes inside DATA's verdict.
        {greeting, with({{"DATA", Answer{"354 go\r\n", "", 0, false, true, "25", true}}}),
         "", "", "", 5, 0, "Read Error: Connection closed by remote host", "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.error) + " / " + c.mustSend);
        server.Play(c.greeting, c.script, Answer{"500 unexpected\r\n"});
        MailRig rig;
        rig.app.settings.SetInteger(kConfigMailTimeout, c.mailTimeout);
        SmtpArgs args;
        args.host = "127.0.0.1";
        args.port = server.port;
        args.user = c.user;
        args.password = c.password;
        args.flags = c.flags;
        std::thread stopper;
        if (c.stopAfter) stopper = rig.StopAfter(c.stopAfter);
        rig.Run(SmtpProgram(args));
        if (stopper.joinable()) stopper.join();
        EXPECT_EQ(rig.Global("VrSMTP_Error"), c.error);
        std::vector<std::string> lines = server.Lines();
        if (!c.mustSend.empty()) {
            EXPECT_NE(std::find(lines.begin(), lines.end(), c.mustSend), lines.end());
        }
        EXPECT_EQ(std::find(lines.begin(), lines.end(), "QUIT\r\n") != lines.end(), c.quit == 1);
    }

    // Random replies at every step: each session fails with a message, and
    // no message reaches the server.
    for (unsigned seed = 1; seed <= 12; ++seed) {
        const Answer noise{"250-" + test::RandomBytes(seed, 200), "", 0, true};
        Script script = {{"EHLO", seed % 3 == 0 ? noise : Answer{"250-x\r\n250 AUTH DIGEST-MD5 CRAM-MD5\r\n"}},
                         {"AUTH", noise}};
        server.Play(seed % 3 == 1 ? Answer{test::RandomBytes(seed, 300), "", 0, true} : greeting,
                    with(script));
        MailRig rig;
        SmtpArgs args;
        args.host = "127.0.0.1";
        args.port = server.port;
        args.user = "tim";
        args.password = "x";
        rig.Run(SmtpProgram(args));
        EXPECT_NE(rig.Global("VrSMTP_Error"), "") << seed;
        std::vector<std::string> lines = server.Lines();
        EXPECT_EQ(std::find(lines.begin(), lines.end(), "DATA\r\n"), lines.end()) << seed;
    }
}

} // namespace
} // namespace vorn
