// The payment gateway tests' rig: certificates made with the openssl tool, a
// fake gateway (a TLS server thread on loopback that records each request and
// answers as told) and Tobex loaded by the real host, running an assembled
// VrCOMMERCE block.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/app/PosixExternalLibrary.h"
#include "engine/values/SystemVariables.h"
#include "engine/vm/TagErrors.h"
#include "engine/vm/VornVM.h"
#include "host/base/OpenSSL.h"
#include "host/plugin/CommerceLibrary.h"
#include "platform/Modules.h"
#include "tests/engine/files/FileTestSupport.h"
#include "tests/engine/vm/VmCoreHarness.h"
#include "tests/support/ScriptRun.h"
#include "tests/tools/LoadedProgram.h"

namespace vorn::test {

// The certificates of this test program, made once in a directory that goes
// at exit: a CA and its rehashed directory, the gateway's certificate
// (localhost, 127.0.0.1, ::1), one from another CA, one for another name,
// and key files (certificate and key, PEM): the client's, a client of
// another CA, and the client's with an encrypted key.
class GatewayCertificates {
  public:
    static const GatewayCertificates& Get() {
        static GatewayCertificates made;
        return made;
    }
    std::string Path(const std::string& name) const { return dir + "/" + name; }
    ~GatewayCertificates() {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

  private:
    GatewayCertificates() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vorn-gateway-XXXXXX").string();
        EXPECT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        std::ofstream(dir + "/make.sh") << R"(set -e
new() { openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "$@" 2>/dev/null; }
new -keyout ca.key -out ca.pem -subj "/CN=Vorn Test CA"
new -keyout other-ca.key -out other-ca.pem -subj "/CN=Other CA"
san="subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1"
new -CA ca.pem -CAkey ca.key -keyout gateway.key -out gateway.pem -subj /CN=localhost -addext "$san"
new -CA other-ca.pem -CAkey other-ca.key -keyout stranger.key -out stranger.pem -subj /CN=localhost -addext "$san"
new -CA ca.pem -CAkey ca.key -keyout elsewhere.key -out elsewhere.pem -subj /CN=elsewhere.invalid \
    -addext subjectAltName=DNS:elsewhere.invalid
new -CA ca.pem -CAkey ca.key -keyout client.key -out client.crt -subj "/CN=Vorn Test Client"
new -CA other-ca.pem -CAkey other-ca.key -keyout rogue.key -out rogue.crt -subj "/CN=Rogue Client"
openssl pkey -in client.key -aes256 -passout pass:secret -out locked.key
mkdir -p commerce/LinkPoint cadir
cat client.crt client.key > commerce/LinkPoint/client.pem
cat rogue.crt rogue.key > commerce/LinkPoint/rogue.pem
cat client.crt locked.key > commerce/LinkPoint/locked.pem
echo not a key > commerce/LinkPoint/garbage.pem
cp ca.pem cadir/ && openssl rehash cadir
)";
        std::string command = "cd '" + dir + "' && sh make.sh";
        EXPECT_EQ(std::system(command.c_str()), 0) << "openssl could not make the certificates";
    }
    std::string dir;
};

// How the fake gateway treats the connections that follow.
struct Behaviour {
    enum Framing { kLength, kChunked, kToClose };
    enum Certificate { kGateway, kOtherCA, kOtherName };
    Framing framing = kLength;
    bool bareLF = false;     // head lines end in LF only
    bool raw = false;        // the answer is sent as given, head and all
    std::string splitInside; // sent in two writes, the first ending inside this text
    int cut = -1;            // only this many bytes of the answer are sent
    bool abrupt = false;     // closed without close_notify
    bool keepAlive = false;  // held open after the answer until the client closes
    bool answer = true;      // false: the request is read, then nothing is sent
    bool handshake = true;   // false: the TLS handshake never starts
    bool closeBeforeReading = false;
    bool tls12 = false;
    Certificate certificate = kGateway;
};

struct Request {
    std::string head;
    std::string document;
    std::string subject; // the client certificate's
    std::string sni;
};

inline std::string Approved(const std::string& extra = "") {
    return "<r_time>Mon Jan 01 10:00:00 "
           "2024</r_time><r_ref>0097820000</r_ref><r_approved>APPROVED</r_approved>"
           "<r_code>0097820000019564:YNAM:12345678901234567890123:</r_code><r_error></r_error>"
           "<r_ordernum>A-1</r_ordernum><r_authresponse>ok</r_authresponse><r_message>APPROVED</r_message>" +
           extra;
}

class FakeGateway {
  public:
    // Started once per test program.
    static FakeGateway& Get() {
        static FakeGateway gateway;
        return gateway;
    }
    int Port() const { return port; }
    // A port where nothing listens.
    int DeadPort() const { return deadPort; }
    bool HasIPv6() const { return listeners[1] >= 0; }

    // The behaviour and answers (the nth connection gets the nth, the last
    // repeats) of the connections that follow; what was recorded is dropped.
    void Serve(const Behaviour& next, std::vector<std::string> bodies = {Approved()}) {
        Idle();
        std::lock_guard<std::mutex> lock(mutex);
        behaviour = next;
        answers = std::move(bodies);
        requests.clear();
        connections = 0;
    }
    // What arrived, once every connection made so far has ended.
    std::vector<Request> Requests() {
        Idle();
        std::lock_guard<std::mutex> lock(mutex);
        return requests;
    }
    int Connections() {
        Idle();
        std::lock_guard<std::mutex> lock(mutex);
        return connections;
    }

  private:
    FakeGateway() {
        const GatewayCertificates& files = GatewayCertificates::Get();
        const char* names[][2] = {{"gateway.pem", "gateway.key"},
                                  {"stranger.pem", "stranger.key"},
                                  {"elsewhere.pem", "elsewhere.key"}};
        for (int i = 0; i < 3; ++i) {
            contexts[i] = SSL_CTX_new(TLS_server_method());
            SSL_CTX_use_certificate_file(contexts[i], files.Path(names[i][0]).c_str(), SSL_FILETYPE_PEM);
            SSL_CTX_use_PrivateKey_file(contexts[i], files.Path(names[i][1]).c_str(), SSL_FILETYPE_PEM);
            SSL_CTX_load_verify_locations(contexts[i], files.Path("ca.pem").c_str(), nullptr);
            SSL_CTX_set_verify(contexts[i], SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
        }
        listeners[0] = Listen(AF_INET, 0);
        listeners[1] = Listen(AF_INET6, port);
        deadSocket = Listen(AF_INET, 0, false);
        deadPort = LocalPort(deadSocket);
        EXPECT_EQ(pipe(wake), 0);
        thread = std::thread([this] { Run(); });
    }
    ~FakeGateway() {
        stopping = true;
        (void)!write(wake[1], "x", 1);
        thread.join();
        for (int fd : {listeners[0], listeners[1], deadSocket, wake[0], wake[1]})
            if (fd >= 0) close(fd);
        for (SSL_CTX* context : contexts)
            SSL_CTX_free(context);
    }

    static int LocalPort(int fd) {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    }
    // A loopback listener (the IPv6 one on the IPv4 one's port); -1 when none.
    int Listen(int family, int wanted, bool listening = true) {
        int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_storage address{};
        if (family == AF_INET) {
            auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
            v4->sin_family = AF_INET;
            v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        } else {
            auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
            v6->sin6_family = AF_INET6;
            v6->sin6_addr = in6addr_loopback;
            v6->sin6_port = htons(static_cast<uint16_t>(wanted));
        }
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            (listening && listen(fd, 16) != 0)) {
            if (fd >= 0) close(fd);
            EXPECT_EQ(family, AF_INET6) << "no IPv4 loopback listener";
            return -1;
        }
        if (family == AF_INET && listening) port = LocalPort(fd);
        return fd;
    }

    // Blocks until the server thread has found nothing left to accept.
    void Idle() {
        std::unique_lock<std::mutex> lock(mutex);
        int64_t wanted = idlePasses + 1;
        (void)!write(wake[1], "x", 1);
        idle.wait(lock, [&] { return idlePasses >= wanted; });
    }

    void Run() {
        // The gateway's own writes to a departed client must not end the tests.
        sigset_t pipeSignal;
        sigemptyset(&pipeSignal);
        sigaddset(&pipeSignal, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
        while (!stopping) {
            pollfd entries[3] = {{listeners[0], POLLIN, 0}, {listeners[1], POLLIN, 0}, {wake[0], POLLIN, 0}};
            if (poll(entries, 3, -1) <= 0) continue;
            bool accepted = false;
            for (int i = 0; i < 2; ++i) {
                if (!(entries[i].revents & POLLIN)) continue;
                int fd = accept4(listeners[i], nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) Handle(fd);
                accepted = true;
            }
            if (accepted || !(entries[2].revents & POLLIN)) continue;
            char drained[64];
            (void)!read(wake[0], drained, sizeof drained);
            std::lock_guard<std::mutex> lock(mutex);
            ++idlePasses;
            idle.notify_all();
        }
    }

    static void AwaitClose(int fd) {
        char scrap[4096];
        while (recv(fd, scrap, sizeof scrap, 0) > 0) {
        }
    }

    void Handle(int fd) {
        Behaviour b;
        std::string body;
        {
            std::lock_guard<std::mutex> lock(mutex);
            b = behaviour;
            body = answers.empty() ? "" : answers[std::min<size_t>(connections, answers.size() - 1)];
            ++connections;
        }
        timeval limit{10, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        SSL* ssl = b.handshake ? SSL_new(contexts[b.certificate]) : nullptr;
        if (ssl) {
            SSL_set_fd(ssl, fd);
            if (b.tls12) SSL_set_max_proto_version(ssl, TLS1_2_VERSION);
        }
        Request request;
        if (!ssl || SSL_accept(ssl) != 1) {
            // The client learns of the refusal by reading, not by a reset.
            AwaitClose(fd);
        } else if (b.closeBeforeReading) {
            int small = 4096;
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
            shutdown(fd, SHUT_WR);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        } else {
            if (const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name)) request.sni = name;
            if (X509* peer = SSL_get1_peer_certificate(ssl)) {
                char subject[256];
                request.subject = X509_NAME_oneline(X509_get_subject_name(peer), subject, sizeof subject);
                X509_free(peer);
            }
            if (ReadRequest(ssl, request)) {
                std::lock_guard<std::mutex> lock(mutex);
                requests.push_back(request);
            }
            if (b.answer) Answer(ssl, b, body);
            if (!b.answer || b.keepAlive) {
                char scrap[256];
                while (SSL_read(ssl, scrap, sizeof scrap) > 0) {
                }
            }
            if (!b.abrupt) SSL_shutdown(ssl);
        }
        if (ssl) SSL_free(ssl);
        close(fd);
        ERR_clear_error();
    }

    static bool ReadRequest(SSL* ssl, Request& request) {
        std::string bytes;
        char buffer[4096];
        size_t headEnd = std::string::npos;
        size_t wanted = 0;
        while (headEnd == std::string::npos || bytes.size() < headEnd + wanted) {
            int n = SSL_read(ssl, buffer, sizeof buffer);
            if (n <= 0) return false;
            bytes.append(buffer, static_cast<size_t>(n));
            if (headEnd == std::string::npos && (headEnd = bytes.find("\n\n")) != std::string::npos) {
                headEnd += 2;
                size_t at = bytes.find("Content-Length: ");
                wanted = at < headEnd ? std::strtoul(bytes.c_str() + at + 16, nullptr, 10) : 0;
            }
        }
        request.head = bytes.substr(0, headEnd);
        request.document = bytes.substr(headEnd);
        return true;
    }

    static std::string Framed(const Behaviour& b, const std::string& body) {
        if (b.raw) return body;
        const std::string eol = b.bareLF ? "\n" : "\r\n";
        std::string text = "HTTP/1.1 200 OK" + eol + "Content-Type: text/xml" + eol;
        if (b.framing == Behaviour::kLength) text += "Content-Length: " + std::to_string(body.size()) + eol;
        if (b.framing == Behaviour::kChunked) text += "Transfer-Encoding: chunked" + eol;
        if (!b.keepAlive) text += "Connection: close" + eol;
        text += eol;
        if (b.framing != Behaviour::kChunked) return text + body;
        for (size_t at = 0; at < body.size(); at += 7) {
            std::string piece = body.substr(at, 7);
            char size[32];
            std::snprintf(size, sizeof size, at == 0 ? "%zx;name=value\r\n" : "%zx\r\n", piece.size());
            text += size + piece + "\r\n";
        }
        return text + "0\r\nX-Trailer: end\r\n\r\n";
    }

    static void Answer(SSL* ssl, const Behaviour& b, const std::string& body) {
        std::string text = Framed(b, body);
        if (b.cut >= 0) text.resize(std::min(text.size(), static_cast<size_t>(b.cut)));
        size_t first = b.splitInside.empty() ? std::string::npos : text.find(b.splitInside);
        first = first == std::string::npos ? text.size() : first + b.splitInside.size() / 2;
        if (first > 0 && SSL_write(ssl, text.data(), static_cast<int>(first)) <= 0) return;
        if (first == text.size()) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        SSL_write(ssl, text.data() + first, static_cast<int>(text.size() - first));
    }

    SSL_CTX* contexts[3] = {};
    int listeners[2] = {-1, -1};
    int deadSocket = -1;
    int port = 0;
    int deadPort = 0;
    int wake[2] = {-1, -1};
    std::thread thread;
    std::atomic<bool> stopping{false};
    std::mutex mutex;
    std::condition_variable idle;
    int64_t idlePasses = 0;
    Behaviour behaviour;
    std::vector<std::string> answers{Approved()};
    std::vector<Request> requests;
    int connections = 0;
};

// The real host's commerce manager with OpenSSL as the web host binds it;
// one OpenSSL function can be withheld.
class GatewayApplication : public FileTestApplication {
  public:
    ~GatewayApplication() override { FreeOpenSSLContext(sslFunctions, &sslContext); }
    CommerceLibraryManager* GetCommerceLibraryManager() override { return commerce; }
    bool LoadOpenSSL(String* error) override {
        StartProcessOpenSSL();
        return BindOpenSSL(ProcessOpenSSL(), sslFunctions, &sslContext, nullptr, 0, error);
    }
    void* SSLFunction(const char* name) override {
        if (withheld == name) return nullptr;
        return EnsureOpenSSL(nullptr) ? ProcessOpenSSL().Find(name) : nullptr;
    }
    CommerceLibraryManager* commerce = nullptr;
    std::string withheld;
};

// Inputs: "name=value" items separated by ';', over the defaults; "-name"
// removes one; "name*N=text" is the text doubled N times by the program.
using Inputs = std::string;

struct Outcome {
    int result = -1;
    std::string body;  // what the block's body printed: "body" when it ran
    std::string error; // VrCOMMERCE_Error, "<none>" when unset
    std::map<std::string, std::string> outputs;
    int32_t openFeatures = 0;
    std::string Output(const std::string& name) const {
        auto found = outputs.find(name);
        return found == outputs.end() ? "<none>" : found->second;
    }
};

inline int OpenDescriptors() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir))
            ++count;
        closedir(dir);
    }
    return count;
}

class GatewayRig {
  public:
    static constexpr const char* kOutputs[] = {"ch_error", "ch_time",     "ch_ref",          "ch_approved",
                                               "ch_code",  "ch_ordernum", "ch_authresponse", "ch_message"};

    GatewayRig() {
        ConfigureRoots(app, tree);
        // The commerce directory lies in the data directory.
        std::filesystem::copy(GatewayCertificates::Get().Path("commerce"), tree.Data() + "/commerce",
                              std::filesystem::copy_options::recursive);
        app.settings.SetText(kConfigCommerceDir, "commerce", -1, false);
        app.settings.SetText(kConfigCaDir, caDir.c_str(), -1, false);
        app.libraryManager = &loader;
        app.commerce = &manager;
        app.output = &sink;
        manager.RegisterLibrary("LinkPoint", VORN_TOBEX);
    }
    ~GatewayRig() {
        vm.reset();
        app.commerce = nullptr;
        app.libraryManager = nullptr;
    }

    static Inputs Defaults() {
        return "req_keyfile=client.pem;req_host=localhost;req_port=" +
               std::to_string(FakeGateway::Get().Port()) + ";req_chargetype=sale;req_read_timeout=5";
    }

    // The defaults with the changes, as (name, value) pairs.
    static std::vector<std::pair<std::string, std::string>> Items(const Inputs& changes) {
        std::vector<std::pair<std::string, std::string>> inputs;
        for (const std::string& items : {Defaults(), changes}) {
            for (size_t at = 0, end; at < items.size(); at = end + 1) {
                end = std::min(items.find(';', at), items.size());
                Apply(inputs, items.substr(at, end - at));
            }
        }
        return inputs;
    }

    // A program that sets the inputs and runs a block over them whose body is
    // the given code.
    static std::string Source(const Inputs& changes, const std::string& body) {
        std::vector<std::pair<std::string, std::string>> inputs = Items(changes);
        std::string names;
        std::string source = ".global";
        std::string code;
        for (const auto& [key, value] : inputs) {
            size_t star = key.find('*');
            std::string name = key.substr(0, star);
            names += (names.empty() ? "" : ", ") + name;
            source += " " + name;
            code += "    pushc \"" + Escaped(value) + "\"\n    popg " + name + "\n";
            for (int i = star == std::string::npos ? 0 : std::atoi(key.c_str() + star + 1); i > 0; --i)
                code += "    pushg " + name + "\n    pushg " + name + "\n    cat\n    popg " + name + "\n";
        }
        return source + "\n.system ch_approved\n.segment main entry\n" + code +
               "    pushc \"LinkPoint\"\n    pushc \"\"\n    pushc \"" + names +
               "\"\n    op_commerce @done\nbody:\n" + body + "    op_commerce_loop @body\ndone:\n.end\n";
    }

    // Runs one block over the inputs; presets are system variables set first.
    Outcome Run(const Inputs& changes, const std::map<std::string, std::string>& presets = {}) {
        LoadedProgram program(Assembled(ResolveTagJumps(Source(changes, "    pushc \"body\"\n    out\n"))));
        Outcome outcome;
        if (!program.LoadAll()) {
            ADD_FAILURE() << "program did not load";
            return outcome;
        }
        AddApplicationSystemVariables(program.system, &app, nullptr);
        for (const auto& [name, value] : presets)
            program.system.SetVariable(name.c_str(), -1, value.c_str(), -1);
        sink.text.clear();
        TagErrorTable tags;
        tags.SetSetting(kTagCommerce, 0);
        {
            std::unique_ptr<VornVM> vm = NewVM(app, program, &tags, &manager);
            outcome.result = vm->Execute();
            outcome.openFeatures = vm->FeatureCount();
        }
        outcome.body = sink.text;
        outcome.error = VariableText(program.globals, "VrCOMMERCE_Error");
        for (const char* name : kOutputs) {
            std::string value = VariableText(program.system, name);
            if (value != "<none>") outcome.outputs[name] = value;
        }
        return outcome;
    }

    std::string caDir = GatewayCertificates::Get().Path("cadir");
    // A program for calling the library's entries directly, with the
    // configuration's system variables.
    VornVM* Program() {
        if (!vm) {
            direct = std::make_unique<LoadedProgram>(Assembled(".segment main entry\n    exit\n.end\n"));
            EXPECT_TRUE(direct->LoadAll());
            AddApplicationSystemVariables(direct->system, &app, nullptr);
            vm = NewVM(app, *direct, nullptr, &manager);
        }
        return vm.get();
    }

    ScratchTree tree;
    GatewayApplication app;
    RecordingSink sink;
    PosixExternalLibraryManager loader{&app, platform::HostModule()};
    CommerceLibraryManager manager{&app};
    std::unique_ptr<LoadedProgram> direct;
    std::unique_ptr<VornVM> vm;

  private:
    // The assembler's string escapes ('@' too: it marks a tag jump to resolve).
    static std::string Escaped(const std::string& value) {
        std::string out;
        for (unsigned char c : value) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            bool plain = c >= 0x20 && c < 0x7F && c != '\\' && c != '"' && c != '@';
            out += plain ? std::string(1, static_cast<char>(c)) : std::string(hex);
        }
        return out;
    }
    static void Apply(std::vector<std::pair<std::string, std::string>>& inputs, const std::string& item) {
        if (item.empty()) return;
        bool remove = item[0] == '-';
        std::string name = remove ? item.substr(1) : item.substr(0, item.find('='));
        auto found =
            std::find_if(inputs.begin(), inputs.end(), [&](const auto& p) { return p.first == name; });
        if (remove) {
            if (found != inputs.end()) inputs.erase(found);
        } else if (found != inputs.end()) {
            found->second = item.substr(name.size() + 1);
        } else {
            inputs.emplace_back(name, item.substr(name.size() + 1));
        }
    }
};

} // namespace vorn::test
