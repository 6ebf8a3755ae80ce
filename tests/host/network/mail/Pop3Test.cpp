// VrPOP against Dovecot (files, variables, deletes, stops) and a scripted
// server (commands byte for byte, hostile counts, lists and lines, failures
// of every step, injections, drips, stops, failed file writes).
#include <sys/resource.h>

#include "tests/host/network/mail/MailTestSupport.h"

namespace vorn {
namespace {

using test::Dovecot;
using test::MailRig;
using test::PopProgram;
using test::Answer;
using test::Script;
using test::ScriptedServer;

TEST(Pop3Dovecot, WalksTheMailboxIntoFilesAndVariables) {
    Dovecot& dovecot = Dovecot::Get();
    ASSERT_TRUE(dovecot.ok);
    const std::string user = dovecot.Mailbox({
        "Subject: first\r\nFrom: a@x\r\nDate: Mon, 1 Jan 2024 10:00:00 +0000\r\n\r\n"
        "line with bare\rCR inside\r\n.dot\r\n..two\r\n",
        "From: b@x\r\nReply-To: r@x\r\nSUBJECT: Upper\r\nSubject: second\r\nX-Folded: a\r\n b\r\n\r\nbody\r\n",
        "From: c@x\r\nSubject: \r\n\r\n",
    });
    MailRig rig;
    rig.network.pop3Port = static_cast<uint32_t>(dovecot.port);
    mkdir((rig.data / "mail").c_str(), 0700);
    ASSERT_EQ(rig.Run(PopProgram("pop.test", user, "wonder", std::string("ma\0il", 5))), 1) << rig.lastError;
    EXPECT_EQ(rig.sink.text, "[mail/VRPOPM.1.0|first|a@x|a@x|Mon, 1 Jan 2024 10:00:00 +0000]"
                             "[mail/VRPOPM.2.0|Upper|b@x|r@x|][mail/VRPOPM.3.0|(no subject)|c@x|c@x|]|");
    EXPECT_EQ(rig.File("mail/VRPOPM.1.0"), "Subject: first\nFrom: a@x\nDate: Mon, 1 Jan 2024 10:00:00 +0000\n\n"
                                           "line with bare\rCR inside\n.dot\n..two\n");
    EXPECT_EQ(rig.File("mail/VRPOPM.2.0"),
              "From: b@x\nReply-To: r@x\nSUBJECT: Upper\nSubject: second\nX-Folded: a\n b\n\nbody\n");
    EXPECT_EQ(rig.File("mail/VRPOPM.3.0"), "From: c@x\nSubject: \n\n");
    // The POP3 port is the fixed one; the test's manager maps it.
    EXPECT_EQ(rig.network.askedPorts, std::vector<uint32_t>{kPop3Port});

    // Files are kept: a second walk makes new ones beside them.
    ASSERT_EQ(rig.Run(PopProgram("pop.test", user, "wonder", "mail")), 1);
    EXPECT_NE(rig.sink.text.find("[mail/VRPOPM.1.1|first"), std::string::npos);
    EXPECT_EQ(rig.File("mail/VRPOPM.3.0"), "From: c@x\nSubject: \n\n");
    EXPECT_EQ(dovecot.Stored(user), 3u);
}

TEST(Pop3Dovecot, DeletesTakeEffectWhenTheLoopEndsHoweverItEnds) {
    Dovecot& dovecot = Dovecot::Get();
    ASSERT_TRUE(dovecot.ok);
    const struct {
        const char* loopCode;
        int messages;
        const char* password;
        size_t printed;
        size_t stored;
        const char* error;
    } cases[] = {
        {"    pop3delete\n", 2, "wonder", 2, 0, ""},
        {"    pop3delete\n    pop3stop done\n", 2, "wonder", 1, 1, ""},
        {"    pop3stop done\n", 2, "wonder", 1, 2, ""},
        {"    pop3delete\n    pushi 0\n    exit\n", 2, "wonder", 1, 1, ""},
        {"", 0, "wonder", 0, 0, ""},
        {"", 1, "wrong", 0, 1, "Error logging into 'pop.test': [AUTH] Authentication failed."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.loopCode);
        std::vector<std::string> messages;
        for (int i = 0; i < c.messages; ++i) messages.push_back("Subject: m" + std::to_string(i) + "\r\n\r\nx\r\n");
        const std::string user = dovecot.Mailbox(messages);
        MailRig rig;
        rig.network.pop3Port = static_cast<uint32_t>(dovecot.port);
        ASSERT_EQ(rig.Run(PopProgram("pop.test", user, c.password, "", c.loopCode)), 1) << rig.lastError;
        size_t printed = 0;
        for (size_t at = 0; (at = rig.sink.text.find("[VRPOPM.", at)) != std::string::npos; ++at) ++printed;
        EXPECT_EQ(printed, c.printed) << rig.sink.text;
        EXPECT_EQ(rig.Global("VrPOP_Error"), c.error);
        // An exit ends the wait for QUIT's reply; the server still commits.
        EXPECT_EQ(dovecot.Stored(user, c.stored), c.stored);
    }
}

const Answer kOk{"+OK\r\n"};

// A mailbox of two messages; `front` entries answer before these.
Script Mailbox(Script front) {
    const Script base = {
        {"USER", kOk},
        {"PASS", kOk},
        {"STAT", Answer{"+OK 2 40\r\n"}},
        {"LIST", Answer{"+OK 2 messages\r\n1 20\r\n2 20\r\n.\r\n"}},
        {"RETR 1", Answer{"+OK\r\nSubject: one\r\n\r\nhi\r\n.\r\n"}},
        {"RETR 2", Answer{"+OK\r\nSubject: two\r\nFrom: f@x\r\n\r\n..x\r\n.\r\n"}},
        {"DELE", kOk},
        {"QUIT", Answer{"+OK bye\r\n"}},
    };
    front.insert(front.end(), base.begin(), base.end());
    return front;
}

std::string LfOnly(std::string text) {
    for (size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
    return text;
}

TEST(Pop3Scripted, CommandsCountsListsRepliesAndStops) {
    ScriptedServer& server = ScriptedServer::Get();
    const std::string both = "[VRPOPM.1.0|one|||][VRPOPM.2.0|two|f@x|f@x|]";
    const std::vector<std::string> walk = {"USER u\r\n", "PASS p\r\n", "STAT\r\n", "LIST\r\n",
                                           "RETR 1\r\n", "RETR 2\r\n", "QUIT\r\n"};
    Script bareLf;
    for (const auto& entry : Mailbox({})) bareLf.push_back({entry.first, Answer{LfOnly(entry.second.bytes)}});
    const struct {
        Script script;
        const char* user;
        const char* loopCode;
        int mailTimeout, stopAfter;
        std::string output; // the messages printed
        const char* error;
        std::vector<std::string> lines; // empty: not checked
    } cases[] = {
        {Mailbox({}), "u", "", 5, 0, both, "", walk},
        {bareLf, "u", "", 5, 0, both, "", walk},
        // Nothing is made from the count: the list's entries are the messages.
        {Mailbox({{"STAT", Answer{"+OK 100000 40\r\n"}}}), "u", "", 5, 0, both, "", {}},
        {Mailbox({{"STAT", Answer{"+OK 0 0\r\n"}}, {"LIST", Answer{"+OK\r\n.\r\n"}}}), "u", "", 5, 0, "", "", {}},
        {Mailbox({{"STAT", Answer{"+OK -1 0\r\n"}}}), "u", "", 5, 0, "",
         "Error while checking status from 'pop.test': Invalid response from server",
         {"USER u\r\n", "PASS p\r\n", "STAT\r\n", "QUIT\r\n"}},
        {Mailbox({{"STAT", Answer{"+OK 2\r\n"}}}), "u", "", 5, 0, "",
         "Error while checking status from 'pop.test': Invalid response from server", {}},
        {Mailbox({{"STAT", Answer{"+OK 99999999999 0\r\n"}}}), "u", "", 5, 0, "",
         "Error while checking status from 'pop.test': Invalid response from server", {}},
        {Mailbox({{"LIST", Answer{"+OK\r\n1 20\r\n2 20\r\n3 20\r\n.\r\n"}}}), "u", "", 5, 0, "",
         "Error while retrieving list of messages from 'pop.test': More messages than expected returned from server",
         {}},
        {Mailbox({{"LIST", Answer{"+OK\r\n1\r\n.\r\n"}}}), "u", "", 5, 0, "",
         "Error while retrieving list of messages from 'pop.test': Invalid response from server", {}},
        {Mailbox({{"USER", Answer{"-ERR no such user\r\n"}}}), "u", "", 5, 0, "",
         "Error logging into 'pop.test': no such user", {"USER u\r\n", "QUIT\r\n"}},
        {Mailbox({{"PASS", Answer{"-ERR\r\n"}}}), "u", "", 5, 0, "",
         "Error logging into 'pop.test': Invalid response from server", {}},
        {Mailbox({{"RETR 2", Answer{"-ERR message gone\r\n"}}}), "u", "", 5, 0, "[VRPOPM.1.0|one|||]",
         "Error retrieving message: message gone", {}},
        // Deletes report the message's place counting from 0.
        {Mailbox({{"DELE 2", Answer{"-ERR locked\r\n"}}}), "u", "    pop3delete\n", 5, 0, both,
         "Error deleting message #1: locked",
         {"USER u\r\n", "PASS p\r\n", "STAT\r\n", "LIST\r\n", "RETR 1\r\n", "DELE 1\r\n", "RETR 2\r\n",
          "DELE 2\r\n", "QUIT\r\n"}},
        // A broken connection is not asked to QUIT.
        {Mailbox({{"RETR 1", Answer{"+OK\r\nSubject: ", std::string(65536, 'x')}}}), "u", "", 5, 0, "",
         "Error retrieving message: Read Error: Line too long",
         {"USER u\r\n", "PASS p\r\n", "STAT\r\n", "LIST\r\n", "RETR 1\r\n"}},
        {Mailbox({{"RETR 1", Answer{"+OK\r\nSubject: x\r\n", "", 0, true}}}), "u", "", 5, 0, "",
         "Error retrieving message: Read Error: Connection closed by remote host", {}},
        {Mailbox({{"RETR 1", Answer{"+OK\r\n", "", 1500}}}), "u", "", 1, 0, "",
         "Error retrieving message: Read Timeout", {}},
        {Mailbox({{"RETR 1", Answer{"+OK\r\n", "line\r\n"}}}), "u", "", 5, 300, "",
         "Error retrieving message: Read Timeout", {}},
        {Mailbox({{"RETR 1", Answer{"+OK\r\n", "l", 50}}}), "u", "", 1, 300, "",
         "Error retrieving message: Read Timeout", {}},
        // Nothing is sent for a user that would add a command.
        {Mailbox({}), "u\r\nDELE 1", "", 5, 0, "", "Error logging into 'pop.test': Invalid character in user name",
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        server.Play(Answer{"+OK ready\r\n"}, c.script);
        MailRig rig;
        rig.network.pop3Port = static_cast<uint32_t>(server.port);
        rig.app.settings.SetInteger(kConfigMailTimeout, c.mailTimeout);
        std::thread stopper;
        if (c.stopAfter) stopper = rig.StopAfter(c.stopAfter);
        rig.Run(PopProgram("pop.test", c.user, "p", "", c.loopCode));
        if (stopper.joinable()) stopper.join();
        EXPECT_EQ(rig.Global("VrPOP_Error"), c.error);
        EXPECT_EQ(rig.sink.text.substr(0, c.output.size()), c.output);
        if (c.user[0] != 'u' || c.user[1]) {
            EXPECT_TRUE(rig.network.askedPorts.empty());
            continue;
        }
        std::vector<std::string> lines = server.Lines();
        if (!c.lines.empty()) {
            EXPECT_EQ(lines, c.lines);
        }
        if (c.output == both) {
            EXPECT_EQ(rig.File("VRPOPM.1.0"), "Subject: one\n\nhi\n");
            EXPECT_EQ(rig.File("VRPOPM.2.0"), "Subject: two\nFrom: f@x\n\n.x\n");
        }
    }
}

TEST(Pop3Scripted, RandomBytesFromThePeerFailWithTheirStepsMessage) {
    ScriptedServer& server = ScriptedServer::Get();
    for (unsigned seed = 1; seed <= 12; ++seed) {
        // Without a dot no line can end the message: the close is what ends it.
        const std::string noise = test::RandomBytes(seed, 400, '.');
        const char* step = seed % 2 ? "Error retrieving message: " : "Error while retrieving list of messages from '";
        server.Play(Answer{"+OK ready\r\n"},
                    Mailbox({{seed % 2 ? "RETR 1" : "LIST", Answer{"+OK\r\n" + noise, "", 0, true}}}));
        MailRig rig;
        rig.network.pop3Port = static_cast<uint32_t>(server.port);
        rig.Run(PopProgram("pop.test", "u", "p", ""));
        const std::string error = rig.Global("VrPOP_Error");
        EXPECT_EQ(error.rfind(step, 0), 0u) << seed << ": " << error;
        if (seed % 2) {
            EXPECT_EQ(error, "Error retrieving message: Read Error: Connection closed by remote host") << seed;
        }
        EXPECT_EQ(rig.sink.text.find('['), std::string::npos) << seed;
    }
}

TEST(Pop3Scripted, AMessageFileThatCannotBeWrittenFailsItsRetrieval) {
    ScriptedServer& server = ScriptedServer::Get();
    std::string big = "+OK\r\nSubject: big\r\n\r\n";
    for (int i = 0; i < 4096; ++i) big += std::string(63, 'b') + "\r\n";
    server.Play(Answer{"+OK ready\r\n"}, Mailbox({{"RETR 1", Answer{big + ".\r\n"}}}));
    MailRig rig;
    rig.network.pop3Port = static_cast<uint32_t>(server.port);
    // A full disk, as far as this process can tell.
    signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 64 << 10;
    setrlimit(RLIMIT_FSIZE, &small);
    rig.Run(PopProgram("pop.test", "u", "p", ""));
    setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_EQ(rig.Global("VrPOP_Error"), "Error retrieving message: File too large");
    EXPECT_EQ(rig.sink.text, "|Error retrieving message: File too large");
    // The message was read to its end, so the session could still QUIT.
    std::vector<std::string> lines = server.Lines();
    EXPECT_EQ(lines.empty() ? "" : lines.back(), "QUIT\r\n");

    server.Play(Answer{"+OK ready\r\n"}, Mailbox({}));
    MailRig missing;
    missing.network.pop3Port = static_cast<uint32_t>(server.port);
    missing.Run(PopProgram("pop.test", "u", "p", "no/such/dir"));
    EXPECT_EQ(missing.Global("VrPOP_Error").rfind("Error retrieving message: ", 0), 0u);
    EXPECT_EQ(missing.sink.text.find('['), std::string::npos);
}

} // namespace
} // namespace vorn
