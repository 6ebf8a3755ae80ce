// Peers and seams of the network tests: certificates made with the openssl
// tool, a loopback HTTP/HTTPS server (the library's server side, linked in),
// an application that binds OpenSSL and hands out a network manager whose
// "*.test" names are loopback addresses, a scripted connection that serves
// bytes in chosen pieces, and runs of assembled VrCALL programs.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/files/PosixFile.h"
#include "engine/foundation/Config.h"
#include "engine/values/Variable.h"
#include "engine/values/VariableHash.h"
#include "engine/vm/TagErrors.h"
#include "engine/vm/VornVM.h"
#include "host/base/LogLine.h"
#include "host/base/OpenSSL.h"
#include "host/network/HTTPResponseStream.h"
#include "host/network/PosixNetwork.h"
#include "platform/Time.h"
#include "tests/engine/vm/VmCoreHarness.h"
#include "tests/host/base/HostServicesSupport.h"
#include "tests/support/ScriptRun.h"
#include "tests/tools/LoadedProgram.h"

namespace vorn::test {

// ---- Certificates -------------------------------------------------------------------------

// A CA (its directory hashed for "cadir"), a second CA that signs nothing,
// and leaves signed by the first: "server" (CN localhost; DNS localhost,
// *.wild.test, exact.test; IP 127.0.0.1 and ::1), "cnonly" (CN cn-only.test,
// no subjectAltName), "mismatch" (CN cnmatch.test, DNS other.test) and the
// client's: client.pem (certificate and key under the pass phrase "secret")
// and client.der (certificate then key). Made once per build directory.
class Certificates {
  public:
    static const Certificates& Get() {
        static Certificates made;
        return made;
    }
    std::string Path(const std::string& name) const { return dir + "/" + name; }

    bool ok = false;
    std::string dir;

  private:
    Certificates() {
        const char* base = std::getenv("VORN_TEST_BINARY_DIR");
        dir = std::string(base ? base : "/tmp") + "/network-certificates-v1";
        mkdir(dir.c_str(), 0700);
        int lock = open((dir + ".lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
        if (lock >= 0) flock(lock, LOCK_EX);
        if (access(Path("done").c_str(), F_OK) != 0) {
            std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
            std::string leaf = "leaf() { openssl req" + key + " -keyout $1.key -out $1.csr -subj \"$2\";"
                               " printf '%s\\n' \"$3\" > $1.ext;"
                               " openssl x509 -req -in $1.csr -CA ca/ca.pem -CAkey ca.key -CAcreateserial"
                               " -out $1.pem -days 3650 -extfile $1.ext; };";
            std::string script =
                "set -e; cd " + dir + "; rm -rf ca ca2; mkdir ca ca2; " + leaf +
                " openssl req -x509" + key + " -keyout ca.key -out ca/ca.pem -subj '/CN=Vorn Test CA' -days 3650;" +
                " openssl req -x509" + key + " -keyout ca2.key -out ca2/ca.pem -subj '/CN=Vorn Other CA' -days 3650;" +
                " leaf server /CN=localhost"
                " 'subjectAltName=DNS:localhost,DNS:*.wild.test,DNS:exact.test,IP:127.0.0.1,IP:::1';"
                " leaf cnonly /CN=cn-only.test 'keyUsage=digitalSignature';"
                " leaf mismatch /CN=cnmatch.test 'subjectAltName=DNS:other.test';"
                " leaf client /CN=vorn-client 'extendedKeyUsage=clientAuth';"
                " openssl pkey -in client.key -aes256 -passout pass:secret -out client-locked.key;"
                " cat client.pem client-locked.key > client-bundle.pem;"
                " openssl x509 -in client.pem -outform DER -out client.cer;"
                " openssl pkey -in client.key -outform DER -out client.pk8;"
                " cat client.cer client.pk8 > client.der;"
                " cp client.key client-key-only.pem;"
                " openssl rehash ca ca2; touch done";
            std::system(("( " + script + " ) >/dev/null 2>&1").c_str());
        }
        ok = access(Path("done").c_str(), F_OK) == 0;
        if (lock >= 0) close(lock);
    }
};

inline X509* ReadCertificate(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f) return nullptr;
    X509* certificate = PEM_read_X509(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    return certificate;
}

// ---- The loopback server --------------------------------------------------------------------

struct Piece {
    std::string bytes;
    int pauseMilliseconds = 0;
};

// How the server leaves a connection after its reply: a close (with
// close_notify under TLS), a close without close_notify, waiting until the
// client goes, or a reset.
enum class Ending { Close, Abrupt, Stall, Reset };

struct Reply {
    std::vector<Piece> pieces;
    Ending ending = Ending::Close;
    bool readBody = true; // read the request's Content-Length body before replying
};

inline Reply Raw(const std::string& bytes, Ending ending = Ending::Close) {
    return Reply{{Piece{bytes, 0}}, ending, true};
}

inline Reply Page(const std::string& body, const std::string& status = "200 OK") {
    return Raw("HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) +
               "\r\nContent-Type: text/html\r\n\r\n" + body);
}

struct Recorded {
    std::string head;
    std::string body;
    std::string serverName; // SNI, empty when none was sent
    std::string clientName; // the client certificate's CN
};

inline int FreeLoopbackPort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

// A listener on 127.0.0.1 (and a thread per connection) that records each
// request and answers with the reply routed to its path (404 otherwise).
class LoopbackServer {
  public:
    enum Kind { Plain, Tls, TlsClientCertificate };

    static LoopbackServer& Get(Kind kind) {
        // At the end of the process the drain waits for the connections still
        // served, before the library's own exit handler frees the state of
        // their threads: made after the library started, its handler runs first.
        static const bool started = OPENSSL_init_ssl(0, nullptr) == 1;
        static Drain drain;
        (void)started;
        static LoopbackServer* servers[3] = {};
        static std::mutex made;
        std::lock_guard<std::mutex> lock(made);
        if (!servers[kind]) {
            servers[kind] = new LoopbackServer(kind); // lives to the end of the process
            drain.servers.push_back(servers[kind]);
        }
        return *servers[kind];
    }

    void Route(const std::string& path, Reply reply) {
        std::lock_guard<std::mutex> lock(mutex);
        routes[path] = std::move(reply);
    }
    Recorded Last() {
        std::lock_guard<std::mutex> lock(mutex);
        return requests.empty() ? Recorded{} : requests.back();
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(mutex);
        return requests.size();
    }
    std::string Url(const std::string& path, const std::string& host = "127.0.0.1") const {
        return std::string(kind == Plain ? "http" : "https") + "://" + host + ":" + std::to_string(port) + path;
    }

    int port = 0;
    bool ok = false;

  private:
    // Ends the connections still open when the process ends (shut down, so
    // that blocked reads return) and waits for their threads, so that nothing
    // they hold is left behind.
    struct Drain {
        ~Drain() {
            for (LoopbackServer* server : servers) server->Stop();
        }
        std::vector<LoopbackServer*> servers;
    };

    void Stop() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
            for (int fd : open) shutdown(fd, SHUT_RDWR);
        }
        for (int waited = 0; active.load() > 0 && waited < 5000; waited += 10) platform::SleepMilliseconds(10);
    }

    explicit LoopbackServer(Kind k) : kind(k) {
        if (kind != Plain && !MakeContexts()) return;
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(listener, 64) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        port = ntohs(address.sin_port);
        ok = true;
        std::thread([this] { Accept(); }).detach();
    }

    bool MakeContexts() {
        const Certificates& certificates = Certificates::Get();
        if (!certificates.ok) return false;
        for (const char* name : {"server", "cnonly", "mismatch"}) {
            SSL_CTX* context = SSL_CTX_new(TLS_server_method());
            if (!context || SSL_CTX_use_certificate_file(context, certificates.Path(std::string(name) + ".pem").c_str(),
                                                         SSL_FILETYPE_PEM) != 1 ||
                SSL_CTX_use_PrivateKey_file(context, certificates.Path(std::string(name) + ".key").c_str(),
                                            SSL_FILETYPE_PEM) != 1)
                return false;
            if (kind == TlsClientCertificate) {
                SSL_CTX_load_verify_locations(context, certificates.Path("ca/ca.pem").c_str(), nullptr);
                SSL_CTX_set_verify(context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
            }
            contexts[name] = context;
        }
        SSL_CTX_set_tlsext_servername_callback(contexts["server"], &ChooseCertificate);
        SSL_CTX_set_tlsext_servername_arg(contexts["server"], this);
        return true;
    }

    // SNI picks the certificate: cn-only.test and cnmatch.test get theirs.
    static int ChooseCertificate(SSL* ssl, int*, void* arg) {
        auto* self = static_cast<LoopbackServer*>(arg);
        const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
        if (name && std::strcmp(name, "cn-only.test") == 0) SSL_set_SSL_CTX(ssl, self->contexts["cnonly"]);
        if (name && std::strcmp(name, "cnmatch.test") == 0) SSL_set_SSL_CTX(ssl, self->contexts["mismatch"]);
        return SSL_TLSEXT_ERR_OK;
    }

    void Accept() {
        for (;;) {
            int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EINTR || errno == ECONNABORTED) continue;
                return;
            }
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (stopping) {
                    close(fd);
                    continue;
                }
                open.insert(fd);
                ++active;
            }
            std::thread([this, fd] {
                Serve(fd);
                // Freed now, not as the thread ends: once the count below
                // reaches 0 the process may end before this thread does.
                OPENSSL_thread_stop();
                std::lock_guard<std::mutex> lock(mutex);
                open.erase(fd);
                close(fd);
                --active;
            }).detach();
        }
    }

    int Receive(SSL* ssl, int fd, char* buffer, int n) {
        return ssl ? SSL_read(ssl, buffer, n) : static_cast<int>(recv(fd, buffer, static_cast<size_t>(n), 0));
    }
    bool Send(SSL* ssl, int fd, const std::string& bytes) {
        if (bytes.empty()) return true;
        if (ssl) return SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size())) == static_cast<int>(bytes.size());
        size_t sent = 0;
        while (sent < bytes.size()) {
            ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return false;
            sent += static_cast<size_t>(n);
        }
        return true;
    }

    // Serves one connection; the caller closes it.
    void Serve(int fd) {
        // A client that went away must not kill the test with SIGPIPE.
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        timeval limit{20, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        SSL* ssl = nullptr;
        Recorded record;
        if (kind != Plain) {
            ssl = SSL_new(contexts["server"]);
            SSL_set_fd(ssl, fd);
            if (SSL_accept(ssl) != 1) {
                SSL_free(ssl);
                return;
            }
            if (const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name)) record.serverName = name;
            if (X509* peer = SSL_get1_peer_certificate(ssl)) {
                char name[256] = {};
                X509_NAME_get_text_by_NID(X509_get_subject_name(peer), NID_commonName, name, sizeof name);
                record.clientName = name;
                X509_free(peer);
            }
        }
        std::string data;
        char buffer[16384];
        size_t headEnd;
        while ((headEnd = data.find("\r\n\r\n")) == std::string::npos && data.size() < (2u << 20)) {
            int n = Receive(ssl, fd, buffer, sizeof buffer);
            if (n <= 0) break;
            data.append(buffer, static_cast<size_t>(n));
        }
        if (headEnd == std::string::npos) headEnd = data.size();
        else headEnd += 4;
        record.head = data.substr(0, headEnd);
        std::string path = record.head.substr(0, record.head.find("\r\n"));
        size_t space = path.find(' ');
        path = space == std::string::npos ? "" : path.substr(space + 1);
        path = path.substr(0, path.find_first_of(" ?"));
        Reply reply = Page("none", "404 Not Found");
        {
            std::lock_guard<std::mutex> lock(mutex);
            auto found = routes.find(path);
            if (found != routes.end()) reply = found->second;
        }
        record.body = data.substr(headEnd);
        size_t at = Lower(record.head).find("\r\ncontent-length:");
        if (reply.readBody && at != std::string::npos) {
            size_t length = std::strtoull(record.head.c_str() + at + 17, nullptr, 10);
            while (record.body.size() < length) {
                int n = Receive(ssl, fd, buffer, sizeof buffer);
                if (n <= 0) break;
                record.body.append(buffer, static_cast<size_t>(n));
            }
        }
        if (!record.head.empty()) { // a client that sent nothing asked for nothing
            std::lock_guard<std::mutex> lock(mutex);
            requests.push_back(record);
        }
        for (const Piece& piece : reply.pieces) {
            if (!Send(ssl, fd, piece.bytes)) break;
            if (piece.pauseMilliseconds > 0) platform::SleepMilliseconds(piece.pauseMilliseconds);
        }
        if (reply.ending == Ending::Stall) {
            pollfd entry{fd, POLLIN, 0};
            for (int waited = 0; waited < 30000 && !stopping; waited += 100) {
                if (poll(&entry, 1, 100) > 0) {
                    char byte;
                    if (recv(fd, &byte, 1, MSG_PEEK) <= 0) break;
                    if (ssl) Receive(ssl, fd, buffer, sizeof buffer); else recv(fd, buffer, sizeof buffer, 0);
                }
            }
        } else if (reply.ending == Ending::Reset) {
            linger hard{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        } else if (reply.ending == Ending::Close && ssl) {
            SSL_shutdown(ssl);
        }
        if (ssl) SSL_free(ssl);
    }

    static std::string Lower(std::string text) {
        for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return text;
    }

    Kind kind;
    int listener = -1;
    std::map<std::string, SSL_CTX*> contexts;
    std::mutex mutex;
    std::map<std::string, Reply> routes;
    std::vector<Recorded> requests;
    std::set<int> open;
    std::atomic<int> active{0};
    std::atomic<bool> stopping{false};
};

// ---- `openssl s_server -HTTP` --------------------------------------------------------------

// An independent TLS peer serving files of a directory as whole responses;
// extra arguments choose SNI certificates or client certificates.
class OpenSSLServer {
  public:
    OpenSSLServer(const std::vector<std::string>& extra, const std::string& documents) {
        const Certificates& certificates = Certificates::Get();
        if (!certificates.ok) return;
        port = FreeLoopbackPort();
        pid = fork();
        if (pid == 0) {
            if (chdir(documents.c_str()) != 0) _exit(126);
            int null = open("/dev/null", O_RDWR);
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
            std::vector<std::string> args = {"openssl", "s_server", "-HTTP", "-quiet",
                                             "-accept", "127.0.0.1:" + std::to_string(port),
                                             "-cert", certificates.Path("server.pem"),
                                             "-key", certificates.Path("server.key")};
            args.insert(args.end(), extra.begin(), extra.end());
            std::vector<char*> argv;
            for (std::string& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execvp("openssl", argv.data());
            _exit(127);
        }
        for (int i = 0; i < 200 && !ok; ++i) {
            int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(static_cast<uint16_t>(port));
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
            close(fd);
            if (!ok) platform::SleepMilliseconds(25);
        }
    }
    ~OpenSSLServer() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
    OpenSSLServer(const OpenSSLServer&) = delete;
    OpenSSLServer& operator=(const OpenSSLServer&) = delete;

    int port = 0;
    bool ok = false;

  private:
    pid_t pid = -1;
};

// ---- The application and its network manager -------------------------------------------------

// "*.test" names are 127.0.0.1, except two.test: 127.0.0.2 (nothing listens
// there) and then 127.0.0.1; "*.missing" names have no address.
class TestNetworkManager : public PosixNetworkManager {
  public:
    using PosixNetworkManager::PosixNetworkManager;

  protected:
    bool Resolve(const char* host, platform::AddressList& out) override {
        std::string name = host ? host : "";
        if (name.size() > 8 && name.compare(name.size() - 8, 8, ".missing") == 0) return false;
        if (name.size() > 5 && name.compare(name.size() - 5, 5, ".test") == 0) {
            out.clear();
            platform::AddressList one;
            if (name == "two.test") {
                platform::ResolveHost("127.0.0.2", true, AF_INET, one);
                out.insert(out.end(), one.begin(), one.end());
            }
            platform::ResolveHost("127.0.0.1", true, AF_INET, one);
            out.insert(out.end(), one.begin(), one.end());
            return true;
        }
        return PosixNetworkManager::Resolve(host, out);
    }
};

inline void SetText(Config& config, uint32_t id, const std::string& text) {
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    std::memcpy(copy, text.c_str(), text.size() + 1);
    config.SetText(id, copy, static_cast<int32_t>(text.size()), true);
}

// TLS bound as the runner binds it, with the application's "cadir" and
// "securityoptions".
template <class Base> class WithTestOpenSSL : public Base {
  public:
    ~WithTestOpenSSL() override { FreeOpenSSLContext(this->sslFunctions, &this->sslContext); }

    bool LoadOpenSSL(String* error) override {
        static bool started = [] {
            RegistryScratch empty;
            return StartProcessOpenSSL();
        }();
        (void)started;
        Config* settings = this->config;
        return BindOpenSSL(ProcessOpenSSL(), this->sslFunctions, &this->sslContext,
                           settings->GetText(kConfigCaDir), settings->GetInteger(kConfigSecurityOptions), error);
    }
    void* SSLFunction(const char* name) override {
        return this->EnsureOpenSSL(nullptr) ? ProcessOpenSSL().Find(name) : nullptr;
    }
    // Drops the TLS context, so that new settings take effect.
    void Rebind() { FreeOpenSSLContext(this->sslFunctions, &this->sslContext); }
};

// Files of the data directory (the certificates' directory unless a test
// says otherwise), TLS bound as the runner binds it, "cadir" the test CA, log
// events kept as lines.
class NetworkApplication : public WithTestOpenSSL<ConfiguredApplication> {
  public:
    explicit NetworkApplication(const std::string& dataDirectory = Certificates::Get().dir)
        : files(this), network(this) {
        files.CheckDataDirectory(dataDirectory.c_str());
        fileManager = &files;
        networkManager = &network;
        SetText(settings, kConfigCaDir, Certificates::Get().Path("ca"));
        settings.SetInteger(kConfigGlobalTimeout, 0);
    }

    void Log(uint32_t event, const LogField* fields) override {
        String line;
        FormatLogLine(line, LogEventName(event), fields);
        std::string text(line.Text(), static_cast<size_t>(line.Length()));
        logLines.push_back(text.substr(text.find('\t', text.find('\t') + 1) + 1)); // after the stamp and ids
    }

    PosixFileManager files;
    TestNetworkManager network;
    std::vector<std::string> logLines;
};

// ---- A scripted connection ----------------------------------------------------------------------

// Serves a byte string in pieces of the given sizes (the last size repeats)
// and records what is written. A piece ends every read, as a packet would.
class ScriptedConnection : public NetworkConnection {
  public:
    ScriptedConnection(std::string bytes, std::vector<size_t> sizes) : data(std::move(bytes)), pieces(std::move(sizes)) {
        error.Assign("");
        if (pieces.empty()) pieces.push_back(data.size() ? data.size() : 1);
    }
    bool StartTLS(const char*, X509*, EVP_PKEY*, uint32_t) override { return false; }
    X509* PeerCertificate() override { return nullptr; }
    int32_t Read(void* buffer, int32_t length, uint32_t) override {
        if (failAt != std::string::npos && at >= failAt) {
            error.Assign("Read Error: Connection reset by peer");
            return -1;
        }
        size_t n = std::min<size_t>({static_cast<size_t>(length), PieceLeft(), data.size() - at});
        std::memcpy(buffer, data.data() + at, n);
        Advance(n);
        return static_cast<int32_t>(n);
    }
    int32_t ReadLine(String& line, uint32_t, int32_t) override {
        std::string collected;
        for (;;) {
            if (at >= data.size() || (failAt != std::string::npos && at >= failAt)) {
                line.Assign("", 0);
                error.Assign(at >= data.size() ? "Read Error: Connection closed by remote host"
                                                : "Read Error: Connection reset by peer");
                return -1;
            }
            size_t n = std::min(PieceLeft(), data.size() - at);
            size_t lf = data.find('\n', at);
            if (lf != std::string::npos && lf < at + n) n = lf - at + 1;
            collected.append(data, at, n);
            Advance(n);
            if (collected.size() > static_cast<size_t>(kMaxLineLength)) {
                line.Assign("", 0);
                error.Assign("Read Error: Line too long");
                return -1;
            }
            if (collected.back() == '\n') break;
        }
        line.Assign(collected.data(), static_cast<int32_t>(collected.size()));
        return line.Length();
    }
    int32_t Write(const void* bytes, int32_t length, uint32_t) override {
        if (length <= 0) return 0;
        if (written.size() + static_cast<size_t>(length) > writeLimit) {
            ++refusedWrites;
            error.Assign("Write Error: Connection reset by peer");
            return -1;
        }
        written.append(static_cast<const char*>(bytes), static_cast<size_t>(length));
        return length;
    }
    String& ErrorText() override { return error; }
    void SetError(const String& message) override {
        if (!message.IsNull()) error.Assign(message);
    }

    std::string data;
    std::vector<size_t> pieces;
    size_t at = 0;
    size_t failAt = std::string::npos; // reads at or past this offset fail
    size_t writeLimit = std::string::npos; // writes past this many bytes fail
    int refusedWrites = 0;
    std::string written;
    String error;

  private:
    size_t PieceLeft() const { return pieces[std::min(piece, pieces.size() - 1)] - inPiece; }
    void Advance(size_t n) {
        at += n;
        inPiece += n;
        if (inPiece >= pieces[std::min(piece, pieces.size() - 1)]) {
            ++piece;
            inPiece = 0;
        }
    }
    size_t piece = 0;
    size_t inPiece = 0;
};

// A manager whose connections are scripted: each Connect takes the next
// scripted response (or fails when none is left) and keeps what was sent.
class ScriptedNetworkManager : public PosixNetworkManager {
  public:
    using PosixNetworkManager::PosixNetworkManager;
    NetworkConnection* Connect(const char* host, uint32_t port, uint32_t) override {
        hosts.push_back(std::string(host) + ":" + std::to_string(port));
        if (responses.empty()) {
            Refuse("Error connecting to " + std::string(host) + " on port " + std::to_string(port) +
                   ": Connection refused");
            return nullptr;
        }
        auto* connection = new Recording(this, std::move(responses.front()), sizes);
        connection->writeLimit = writeLimit;
        responses.pop_front();
        return connection;
    }
    void Refuse(const std::string& text) { NetworkManager::SetError(String(text.c_str())); }

    std::deque<std::string> responses;
    std::vector<size_t> sizes; // the pieces every response is served in
    size_t writeLimit = std::string::npos;
    std::vector<std::string> sent;
    int refusedWrites = 0;
    std::vector<std::string> hosts;

  private:
    class Recording : public ScriptedConnection {
      public:
        Recording(ScriptedNetworkManager* owner, std::string bytes, std::vector<size_t> sizes)
            : ScriptedConnection(std::move(bytes), std::move(sizes)), manager(owner) {}
        ~Recording() override {
            manager->sent.push_back(written);
            manager->refusedWrites += refusedWrites;
        }
        ScriptedNetworkManager* manager;
    };
};

// ---- Runs of VrCALL programs -------------------------------------------------------------------

// Assembles and runs programs against an application (the scripted manager
// unless a test hands out another); reads variables after the run.
class CallRig : public ScriptRig {
  public:
    explicit CallRig(NetworkSource* source = nullptr) : scripted(&app) {
        app.networkManager = source ? source : &scripted;
        app.output = &sink;
    }
    int Run(const std::string& source, uint32_t setting = kTagErrorDisplay) {
        return ScriptRig::Run(app, source, {{kTagCall, setting}}, nullptr, traceFlags);
    }
    std::string Global(const std::string& name) { return VariableText(program->globals, name); }
    std::string System(const std::string& name) { return VariableText(program->system, name); }

    NetworkApplication app;
    ScriptedNetworkManager scripted;
    uint32_t traceFlags = 0;
};

// A program that runs prelude (lines of code), then VrCALL with the operands
// (each a pool text but the time-out), printing "[type|element|value|count]"
// per pass and then "|" and VrCALL_Error.
inline std::string CallProgram(const std::vector<std::string>& operands, const std::string& declarations = "",
                               const std::string& prelude = "") {
    auto quoted = [](const std::string& text) {
        std::string out = "\"";
        for (unsigned char c : text) {
            if (c == '"' || c == '\\') out += '\\';
            if (c < 0x20 || c >= 0x7F) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02x", c);
                out += hex;
            } else {
                out += static_cast<char>(c);
            }
        }
        return out + "\"";
    };
    std::string source = ".system callvalue callobjecttype callobjectelement callobjectnumattributes\n"
                         ".global VrCALL_Error\n" + declarations + ".segment main entry\n" + prelude;
    for (size_t i = 0; i < operands.size(); ++i)
        source += i == 8 ? "    pushi " + operands[i] + "\n" : "    pushc " + quoted(operands[i]) + "\n";
    size_t count = operands.size();
    source += count == 5 ? "    op_http done\n" : count == 8 ? "    op_http8 done\n"
                                                           : "    op_httpn done, " + std::to_string(count) + "\n";
    source += "body:\n"
              "    pushc \"[\"\n    out\n    pushs callobjecttype\n    out\n    pushc \"|\"\n    out\n"
              "    pushs callobjectelement\n    out\n    pushc \"|\"\n    out\n    pushs callvalue\n    out\n"
              "    pushc \"|\"\n    out\n    pushs callobjectnumattributes\n    out\n    pushc \"]\"\n    out\n"
              "    op_http_loop body\n"
              "done:\n"
              "    pushc \"|\"\n    out\n    pushg VrCALL_Error\n    out\n"
              ".end\n";
    return source;
}

} // namespace vorn::test
