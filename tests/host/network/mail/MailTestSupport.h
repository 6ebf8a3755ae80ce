// Peers of the mail tests, each started once per test program: aiosmtpd
// (tests/host/network/mail/smtp_peer.py under /usr/bin/python3) on several loopback
// ports, Dovecot's POP3 server with a private configuration, and a scripted
// line server for what real servers never do. Plus a network manager that
// maps the POP3 port onto the peer's, and runs of assembled mail programs.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <grp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/network/POP3.h"
#include "host/network/SMTP.h"
#include "tests/host/network/NetworkTestSupport.h"

namespace vorn::test {

// ---- Processes ------------------------------------------------------------------------------

// A child process that dies with the test program; its standard output can
// be read line by line.
class PeerProcess {
  public:
    PeerProcess() = default;
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;
    ~PeerProcess() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        if (out >= 0) close(out);
    }

    bool Start(std::vector<std::string> args, const std::string& errorLog) {
        int pipeEnds[2];
        if (pipe2(pipeEnds, O_CLOEXEC) != 0) return false;
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            int null = open("/dev/null", O_RDONLY);
            int log = open(errorLog.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            dup2(null, 0);
            dup2(pipeEnds[1], 1);
            dup2(log, 2);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(pipeEnds[1]);
        out = pipeEnds[0];
        return pid > 0;
    }
    // The next line of the child's output, waiting up to the milliseconds.
    std::string ReadLine(int milliseconds) {
        std::string line;
        for (int waited = 0; waited < milliseconds; waited += 20) {
            pollfd entry{out, POLLIN, 0};
            if (poll(&entry, 1, 20) <= 0) continue;
            char c;
            while (read(out, &c, 1) == 1) {
                if (c == '\n') return line;
                line += c;
            }
            return line;
        }
        return line;
    }

  private:
    pid_t pid = -1;
    int out = -1;
};

inline bool WaitForPort(int port) {
    for (int i = 0; i < 250; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool up = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        close(fd);
        if (up) return true;
        platform::SleepMilliseconds(20);
    }
    return false;
}

// A directory the mail peers' own users may enter.
inline std::string SharedScratch(const char* name) {
    std::string pattern = std::string("/tmp/vorn-") + name + "-XXXXXX";
    if (!mkdtemp(pattern.data())) return "";
    chmod(pattern.c_str(), 0755);
    return pattern;
}

inline std::string FromHex(const std::string& hex) {
    if (hex == "-") return "";
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

// Bytes of a fixed seed, with line ends among them; never `avoid`.
inline std::string RandomBytes(unsigned seed, size_t size, char avoid = '\0') {
    std::mt19937 random(seed);
    std::string out;
    while (out.size() < size) {
        unsigned pick = random() % 300;
        char c = pick < 256 ? static_cast<char>(pick) : pick < 280 ? '\n' : '\r';
        if (c != avoid) out += c;
    }
    return out;
}

// ---- aiosmtpd -----------------------------------------------------------------------------------

struct SmtpRecord {
    std::string server, login, from, recipients, content, transcript;
};

// The servers of smtp_peer.py: "plain" (every mechanism), "cram" (no
// DIGEST-MD5), "plainonly", "login", "digest", "none" (no AUTH), "tls"
// (implicit TLS) and "starttls" (AUTH only after STARTTLS); the certificate
// is the test CA's "localhost".
class SmtpPeer {
  public:
    static SmtpPeer& Get() {
        static SmtpPeer peer;
        return peer;
    }
    int Port(const std::string& name) const {
        auto found = ports.find(name);
        return found == ports.end() ? 0 : found->second;
    }
    std::vector<SmtpRecord> Records() {
        std::vector<SmtpRecord> out;
        std::ifstream in(records);
        for (std::string line; std::getline(in, line);) {
            std::vector<std::string> fields;
            std::stringstream parts(line);
            for (std::string field; std::getline(parts, field, '\t');) fields.push_back(FromHex(field));
            if (fields.size() == 6) out.push_back({fields[0], fields[1], fields[2], fields[3], fields[4], fields[5]});
        }
        return out;
    }
    // The record of the first connection closed after `mark` records.
    SmtpRecord After(size_t mark) {
        for (int waited = 0; waited < 10000; waited += 20) {
            std::vector<SmtpRecord> all = Records();
            if (all.size() > mark) return all[mark];
            platform::SleepMilliseconds(20);
        }
        ADD_FAILURE() << "the SMTP peer recorded no session";
        return {};
    }

    bool ok = false;

  private:
    SmtpPeer() {
        if (!Certificates::Get().ok) return;
        dir = SharedScratch("smtp");
        records = dir + "/records";
        if (!process.Start({"/usr/bin/python3", VORN_MAIL_PEER_SCRIPT, Certificates::Get().dir, records},
                           dir + "/peer.log"))
            return;
        std::stringstream line(process.ReadLine(15000));
        for (std::string entry; line >> entry;) {
            size_t equals = entry.find('=');
            if (equals != std::string::npos) ports[entry.substr(0, equals)] = std::stoi(entry.substr(equals + 1));
        }
        ok = ports.size() == 8;
    }

    std::string dir;
    std::string records;
    PeerProcess process;
    std::map<std::string, int> ports;
};

// ---- Dovecot ----------------------------------------------------------------------------------

// Dovecot's POP3 on a free loopback port: any user with the password
// "wonder", each with a Maildir of its own, under a private configuration. Run as root,
// its helpers run as dovecot and dovenull and the mailboxes belong to nobody;
// otherwise everything runs as the current user.
class Dovecot {
  public:
    static Dovecot& Get() {
        static Dovecot server;
        return server;
    }

    // A new user holding the messages, in order; its name.
    std::string Mailbox(const std::vector<std::string>& messages) {
        std::string user = "u" + std::to_string(++users);
        std::string home = dir + "/home/" + user;
        for (const char* sub : {"", "/Maildir", "/Maildir/new", "/Maildir/cur", "/Maildir/tmp"})
            mkdir((home + sub).c_str(), 0700);
        for (size_t i = 0; i < messages.size(); ++i) {
            char name[48];
            std::snprintf(name, sizeof name, "/Maildir/new/%03zu.vorn", i + 1);
            std::ofstream(home + name, std::ios::binary) << messages[i];
        }
        if (geteuid() == 0) {
            std::string own = "chown -R nobody:nogroup " + home;
            EXPECT_EQ(std::system(own.c_str()), 0);
        }
        return user;
    }
    // The messages in the user's Maildir once it holds `expected` (the
    // server may still be finishing a session whose QUIT reply was not
    // awaited), or after two seconds.
    size_t Stored(const std::string& user, size_t expected) {
        size_t count = Stored(user);
        for (int waited = 0; count != expected && waited < 2000; waited += 20) {
            platform::SleepMilliseconds(20);
            count = Stored(user);
        }
        return count;
    }
    // The messages still in the user's Maildir.
    size_t Stored(const std::string& user) {
        size_t count = 0;
        for (const char* sub : {"/Maildir/new", "/Maildir/cur"}) {
            DIR* d = opendir((dir + "/home/" + user + sub).c_str());
            while (d) {
                dirent* entry = readdir(d);
                if (!entry) break;
                if (entry->d_name[0] != '.' && std::strncmp(entry->d_name, "dovecot", 7) != 0) ++count;
            }
            if (d) closedir(d);
        }
        return count;
    }

    bool ok = false;
    int port = 0;

  private:
    Dovecot() {
        dir = SharedScratch("dovecot");
        mkdir((dir + "/home").c_str(), 0755);
        port = FreeLoopbackPort();
        const bool root = geteuid() == 0;
        std::string self = root ? "" : passwd(getuid());
        std::string group = root ? "" : groupName(getgid());
        std::ofstream config(dir + "/dovecot.conf");
        config << "base_dir = " << dir << "/run\nstate_dir = " << dir << "/state\n"
               << "log_path = " << dir << "/dovecot.log\n"
               << "protocols = pop3\nlisten = 127.0.0.1\nssl = no\ndisable_plaintext_auth = no\n"
               << "auth_mechanisms = plain\nauth_failure_delay = 0\n"
               << "default_internal_user = " << (root ? "dovecot" : self) << "\n"
               << "default_internal_group = " << (root ? "dovecot" : group) << "\n"
               << "default_login_user = " << (root ? "dovenull" : self) << "\n"
               << "passdb {\n  driver = static\n  args = password=wonder\n}\n"
               << "userdb {\n  driver = static\n  args = uid=" << (root ? "nobody" : self)
               << " gid=" << (root ? "nogroup" : group) << " home=" << dir << "/home/%u\n}\n"
               << "mail_location = maildir:~/Maildir\n"
               << "service pop3-login {\n  chroot =\n  inet_listener pop3 {\n    address = 127.0.0.1\n    port = "
               << port << "\n  }\n  inet_listener pop3s {\n    port = 0\n  }\n}\n"
               << "service anvil {\n  chroot =\n}\n"
               << "pop3_uidl_format = %08Xu%08Xv\n";
        config.close();
        ok = process.Start({"/usr/sbin/dovecot", "-F", "-c", dir + "/dovecot.conf"}, dir + "/stderr.log") &&
             WaitForPort(port);
    }
    static std::string passwd(uid_t uid) {
        struct passwd* entry = getpwuid(uid);
        return entry ? entry->pw_name : "";
    }
    static std::string groupName(gid_t gid) {
        struct group* entry = getgrgid(gid);
        return entry ? entry->gr_name : "";
    }

    std::string dir;
    PeerProcess process;
    int users = 0;
};

// ---- A scripted line server --------------------------------------------------------------------

// What the scripted server sends: bytes once, then `repeat` until the client
// goes (when it has any), each byte after a pause when dripMilliseconds is
// set; then maybe a close. With readData it then takes a DATA body up to its
// "." line (recorded) and sends `then`, then maybe closes.
struct Answer {
    std::string bytes;
    std::string repeat = "";
    int dripMilliseconds = 0;
    bool close = false;
    bool readData = false;
    std::string then = "";
    bool closeAfterData = false;
};

// Commands answered by the first entry whose text starts the command line.
using Script = std::vector<std::pair<std::string, Answer>>;

// One conversation at a time on a loopback port: the greeting, then a reply
// per command line. Every line the client sends is recorded.
class ScriptedServer {
  public:
    static ScriptedServer& Get() {
        static ScriptedServer* server = new ScriptedServer; // its thread lives to the end
        return *server;
    }
    void Play(Answer greeting, Script script, Answer fallback = Answer{"-ERR unexpected\r\n"}) {
        std::lock_guard<std::mutex> lock(mutex);
        this->greeting = std::move(greeting);
        this->script = std::move(script);
        this->fallback = std::move(fallback);
        lines.clear();
    }
    // Every line received, once the conversation ended.
    std::vector<std::string> Lines() {
        for (int waited = 0; active.load() > 0 && waited < 10000; waited += 10) platform::SleepMilliseconds(10);
        std::lock_guard<std::mutex> lock(mutex);
        return lines;
    }

    int port = 0;

  private:
    ScriptedServer() {
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener, 16);
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        std::thread([this] {
            for (;;) {
                int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd < 0) continue;
                ++active;
                std::thread([this, fd] {
                    Serve(fd);
                    close(fd);
                    --active;
                }).detach();
            }
        }).detach();
    }

    bool SendBytes(int fd, const std::string& bytes, int drip) {
        if (drip <= 0)
            return bytes.empty() ||
                   send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
        for (char c : bytes) {
            platform::SleepMilliseconds(drip);
            if (send(fd, &c, 1, MSG_NOSIGNAL) != 1) return false;
        }
        return true;
    }
    bool Send(int fd, const Answer& reply) {
        if (!SendBytes(fd, reply.bytes, reply.dripMilliseconds)) return false;
        while (!reply.repeat.empty())
            if (!SendBytes(fd, reply.repeat, reply.dripMilliseconds)) return false;
        return !reply.close;
    }
    bool ReadLine(int fd, std::string& buffered, std::string& line) {
        for (;;) {
            size_t lf = buffered.find('\n');
            if (lf != std::string::npos) {
                line = buffered.substr(0, lf + 1);
                buffered.erase(0, lf + 1);
                std::lock_guard<std::mutex> lock(mutex);
                lines.push_back(line);
                return true;
            }
            char chunk[4096];
            ssize_t n = recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) return false;
            buffered.append(chunk, static_cast<size_t>(n));
        }
    }
    void Serve(int fd) {
        timeval limit{10, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        Answer first, otherwise;
        Script replies;
        {
            std::lock_guard<std::mutex> lock(mutex);
            first = greeting;
            replies = script;
            otherwise = fallback;
        }
        std::string buffered, line;
        if (!Send(fd, first)) return;
        while (ReadLine(fd, buffered, line)) {
            const Answer* reply = &otherwise;
            for (const auto& entry : replies)
                if (line.compare(0, entry.first.size(), entry.first) == 0) {
                    reply = &entry.second;
                    break;
                }
            if (!Send(fd, *reply)) return;
            if (reply->readData) {
                while (ReadLine(fd, buffered, line) && line != ".\r\n") {
                }
                if (!Send(fd, Answer{reply->then, "", 0, reply->closeAfterData})) return;
            }
        }
    }

    int listener = -1;
    std::mutex mutex;
    Answer greeting, fallback;
    Script script;
    std::vector<std::string> lines;
    std::atomic<int> active{0};
};

// ---- Runs of mail programs ----------------------------------------------------------------------

// Connections counted, and port 110 (POP3's, which VrPOP cannot change)
// mapped onto the peer's.
class MailNetworkManager : public TestNetworkManager {
  public:
    using TestNetworkManager::TestNetworkManager;
    NetworkConnection* Connect(const char* host, uint32_t port, uint32_t timeout) override {
        askedPorts.push_back(port);
        return TestNetworkManager::Connect(host, port == kPop3Port ? pop3Port : port, timeout);
    }
    uint32_t pop3Port = 0;
    std::vector<uint32_t> askedPorts;
};

inline std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02x", c);
        out += c == '"' || c == '\\' || c < 0x20 || c >= 0x7F ? std::string(hex) : std::string(1, static_cast<char>(c));
    }
    return out + "\"";
}

struct SmtpArgs {
    std::string to = "bob@example.test", from = "alice@example.test", host = "localhost", cc = "",
                subject = "Greetings";
    int port = 0;
    std::string flags = "", user = "", password = "";
};

// VrSMTP with all nine operands around `body` (code lines), then "|" and
// VrSMTP_Error.
inline std::string SmtpProgram(const SmtpArgs& a, const std::string& body = "    pushc \"Hello\"\n    out\n") {
    std::string source = ".global VrSMTP_Error\n.segment main entry\n";
    for (const std::string& text : {a.to, a.from, a.host, a.cc, a.subject}) source += "    pushc " + Quoted(text) + "\n";
    source += "    pushi " + std::to_string(a.port) + "\n";
    for (const std::string& text : {a.flags, a.user, a.password}) source += "    pushc " + Quoted(text) + "\n";
    return source + "    op_smtpn done, 9\n" + body + "    op_smtp_end\ndone:\n    pushc \"|\"\n    out\n" +
           "    pushg VrSMTP_Error\n    out\n.end\n";
}

// VrPOP printing "[file|subject|sender|reply-to|date]" per message, with
// `extra` code in the loop body, then "|" and VrPOP_Error.
inline std::string PopProgram(const std::string& host, const std::string& user, const std::string& password,
                              const std::string& directory, const std::string& extra = "") {
    std::string source = ".system messagebody messagesubject messagesender messagereplyto messagedate\n"
                         ".global VrPOP_Error\n.segment main entry\n";
    for (const std::string& text : {host, user, password, directory}) source += "    pushc " + Quoted(text) + "\n";
    source += "    pop3 done\nbody:\n    pushc \"[\"\n    out\n";
    const char* names[] = {"messagebody", "messagesubject", "messagesender", "messagereplyto", "messagedate"};
    for (int i = 0; i < 5; ++i)
        source += std::string(i ? "    pushc \"|\"\n    out\n" : "") + "    pushs " + names[i] + "\n    out\n";
    return source + "    pushc \"]\"\n    out\n" + extra + "    pop3loop body\ndone:\n    pushc \"|\"\n    out\n" +
           "    pushg VrPOP_Error\n    out\n.end\n";
}

// An application with its own data directory whose network manager is a
// MailNetworkManager; runs programs and reads the data directory's files.
class MailRig : public ScriptRig {
  public:
    MailRig() : app(data.Path()), network(&app) {
        app.networkManager = &network;
        app.output = &sink;
        app.settings.SetInteger(kConfigMailTimeout, 5);
    }
    int Run(const std::string& source, uint32_t traceFlags = 0) {
        return ScriptRig::Run(app, source, {{kTagSmtp, 0}, {kTagPop, 0}}, nullptr, traceFlags);
    }
    std::string Global(const std::string& name) { return program ? VariableText(program->globals, name, "") : ""; }
    std::string File(const std::string& name) { return platform::test::ReadText(data / name); }
    // Asks for a stop after the milliseconds, as the watchdog would.
    std::thread StopAfter(int milliseconds) {
        return std::thread([this, milliseconds] {
            platform::SleepMilliseconds(milliseconds);
            app.RequestStop();
        });
    }

    ScratchDir data;
    NetworkApplication app;
    MailNetworkManager network;
};

} // namespace vorn::test
