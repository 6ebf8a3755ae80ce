// Outgoing HTTP: VrCALL requests per second (plain and HTTPS, a connection
// each), bodies of 8 and 64 MiB through the response stream (Content-Length,
// 1 KiB chunks, TLS), the reply tokeniser, and a 64 MiB upload. The peer is a
// loopback server thread (the library's server side for TLS) with
// certificates made by the openssl tool at start.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/ssl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <thread>

#include "engine/files/BufferFile.h"
#include "engine/foundation/Output.h"
#include "host/network/HTTPResponseStream.h"
#include "host/network/PosixNetwork.h"
#include "tools/Assembler.h"
#include "tools/CommandLineApplication.h"

namespace {

using namespace vorn;

std::string Scratch() {
    static std::string dir = [] {
        char pattern[] = "/tmp/vorn-network-bench-XXXXXX";
        std::string made = mkdtemp(pattern) ? pattern : "/tmp";
        std::string script = "cd " + made +
                             " && mkdir ca && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1"
                             " -nodes -keyout ca.key -out ca/ca.pem -subj /CN=BenchCA -days 2"
                             " && openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
                             " -keyout server.key -out server.csr -subj /CN=localhost"
                             " && printf 'subjectAltName=DNS:localhost\\n' > ext"
                             " && openssl x509 -req -in server.csr -CA ca/ca.pem -CAkey ca.key -CAcreateserial"
                             " -out server.pem -days 2 -extfile ext && openssl rehash ca";
        if (std::system(("( " + script + " ) >/dev/null 2>&1").c_str()) != 0) std::fprintf(stderr, "no certificates\n");
        return made;
    }();
    return dir;
}

std::string Head(const std::string& extra) {
    return "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n" + extra + "\r\n";
}

std::string LengthReply(size_t size) {
    std::string reply = Head("Content-Length: " + std::to_string(size) + "\r\n");
    reply.append(size, 'b');
    return reply;
}

std::string ChunkedReply(size_t size) {
    std::string reply = Head("Transfer-Encoding: chunked\r\n");
    std::string chunk = "400\r\n" + std::string(1024, 'c') + "\r\n";
    reply.reserve(reply.size() + size / 1024 * chunk.size() + 8);
    for (size_t n = 0; n < size; n += 1024) reply += chunk;
    return reply + "0\r\n\r\n";
}

// Table rows: five items per 37 bytes, the shape of a listing page.
std::string MarkupBody(size_t size) {
    std::string body;
    body.reserve(size + 64);
    while (body.size() < size) body += "<tr><td class=\"c\">cell 1234</td></tr>\n";
    return body;
}

// Answers each request with the reply of its path after reading its body.
class BenchServer {
  public:
    explicit BenchServer(bool tls) {
        if (tls) {
            context = SSL_CTX_new(TLS_server_method());
            SSL_CTX_use_certificate_file(context, (Scratch() + "/server.pem").c_str(), SSL_FILETYPE_PEM);
            SSL_CTX_use_PrivateKey_file(context, (Scratch() + "/server.key").c_str(), SSL_FILETYPE_PEM);
        }
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener, 128);
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        replies["/small"] = Head("Content-Length: 23\r\n") + "<p>a small page</p>\r\n\r\n";
        replies["/len8"] = LengthReply(8 << 20);
        replies["/len64"] = LengthReply(64 << 20);
        replies["/chunk8"] = ChunkedReply(8 << 20);
        replies["/chunk64"] = ChunkedReply(64 << 20);
        std::thread([this] {
            for (;;) {
                int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) std::thread([this, fd] { Serve(fd); }).detach();
            }
        }).detach();
    }
    std::string Url(const std::string& path) const {
        return std::string(context ? "https" : "http") + "://localhost:" + std::to_string(port) + path;
    }

  private:
    void Serve(int fd) {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        SSL* ssl = nullptr;
        if (context) {
            ssl = SSL_new(context);
            SSL_set_fd(ssl, fd);
            if (SSL_accept(ssl) != 1) {
                SSL_free(ssl);
                close(fd);
                return;
            }
        }
        auto receive = [&](char* buffer, int n) {
            return ssl ? SSL_read(ssl, buffer, n) : static_cast<int>(recv(fd, buffer, static_cast<size_t>(n), 0));
        };
        std::string head;
        static thread_local char buffer[1 << 16];
        size_t end;
        while ((end = head.find("\r\n\r\n")) == std::string::npos) {
            int n = receive(buffer, sizeof buffer);
            if (n <= 0) break;
            head.append(buffer, static_cast<size_t>(n));
        }
        if (end != std::string::npos) {
            size_t at = head.find("Content-Length: ");
            long long left = at == std::string::npos ? 0 : std::atoll(head.c_str() + at + 16);
            left -= static_cast<long long>(head.size() - end - 4);
            while (left > 0) {
                int n = receive(buffer, sizeof buffer);
                if (n <= 0) break;
                left -= n;
            }
            std::string path = head.substr(head.find(' ') + 1);
            path = path.substr(0, path.find(' '));
            auto found = replies.find(path);
            const std::string& reply = found != replies.end() ? found->second : replies["/small"];
            for (size_t sent = 0; sent < reply.size();) {
                int piece = static_cast<int>(std::min<size_t>(reply.size() - sent, 1 << 20));
                int n = ssl ? SSL_write(ssl, reply.data() + sent, piece)
                            : static_cast<int>(send(fd, reply.data() + sent, static_cast<size_t>(piece), MSG_NOSIGNAL));
                if (n <= 0) break;
                sent += static_cast<size_t>(n);
            }
            if (ssl) SSL_shutdown(ssl);
        }
        if (ssl) SSL_free(ssl);
        close(fd);
    }

    SSL_CTX* context = nullptr;
    int listener = -1;
    std::map<std::string, std::string> replies;

  public:
    int port = 0;
};

BenchServer& Server(bool tls) {
    static BenchServer* plain = new BenchServer(false);
    static BenchServer* secure = new BenchServer(true);
    return tls ? *secure : *plain;
}

// A reply held in memory, for the tokeniser alone.
class MemoryConnection : public NetworkConnection {
  public:
    explicit MemoryConnection(const std::string* bytes) : data(bytes) { error.Assign(""); }
    bool StartTLS(const char*, X509*, EVP_PKEY*, uint32_t) override { return false; }
    X509* PeerCertificate() override { return nullptr; }
    int32_t Read(void* buffer, int32_t length, uint32_t) override {
        size_t n = std::min(static_cast<size_t>(length), data->size() - at);
        std::memcpy(buffer, data->data() + at, n);
        at += n;
        return static_cast<int32_t>(n);
    }
    int32_t ReadLine(String& line, uint32_t, int32_t) override {
        size_t lf = data->find('\n', at);
        if (lf == std::string::npos) return -1;
        line.Assign(data->data() + at, static_cast<int32_t>(lf + 1 - at));
        at = lf + 1;
        return line.Length();
    }
    int32_t Write(const void*, int32_t length, uint32_t) override { return length; }
    String& ErrorText() override { return error; }
    void SetError(const String& message) override { error.Assign(message); }

  private:
    const std::string* data;
    size_t at = 0;
    String error;
};

class MemoryNetworkManager : public PosixNetworkManager {
  public:
    MemoryNetworkManager(VornApplication* app, const std::string* reply) : PosixNetworkManager(app), reply(reply) {}
    NetworkConnection* Connect(const char*, uint32_t, uint32_t) override { return new MemoryConnection(reply); }

  private:
    const std::string* reply;
};

class BenchApplication : public CommandLineApplication {
  public:
    using CommandLineApplication::CommandLineApplication;
    NetworkManager* GetNetworkManager() override {
        return memory ? memory : CommandLineApplication::GetNetworkManager();
    }
    NetworkManager* memory = nullptr;
};

// One VrCALL of url (files: a global naming an upload) with an empty loop body.
std::string CallSource(const std::string& url, const std::string& method, const std::string& files) {
    return ".global f\n.segment main entry\n    pushc \"" + files + "\"\n    popg f\n    pushc \"" + url +
           "\"\n    pushc \"" + method + "\"\n    pushc \"\"\n    pushc \"" + (files.empty() ? "" : "f") +
           "\"\n    pushc \"\"\n    op_http done\nbody:\n    op_http_loop body\ndone:\n.end\n";
}

bool RunCall(benchmark::State& state, const std::string& source, NetworkManager* memory = nullptr) {
    Assembler assembler;
    if (!assembler.Assemble(source.data(), static_cast<int32_t>(source.size()), "bench.vr")) {
        state.SkipWithError(assembler.ErrorText().Text());
        return false;
    }
    NullOutput output(nullptr);
    BenchApplication application(&output);
    String error;
    application.SetOption(("cadir=" + Scratch() + "/ca").c_str(), &error);
    application.SetDataDirectory(Scratch().c_str());
    application.memory = memory;
    auto* file = new BufferFile("bench.vrc", assembler.Output(), assembler.OutputLength());
    if (application.RunImage("bench.vrc", file, &error) != kRunCompleted) {
        state.SkipWithError("the call failed");
        return false;
    }
    return true;
}

// A request, its reply of one small page and its walk; a connection each.
void BM_CallGet(benchmark::State& state) {
    std::string source = CallSource(Server(state.range(0) != 0).Url("/small"), "GET", "");
    for (auto _ : state)
        if (!RunCall(state, source)) return;
    state.counters["calls"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_CallGet)->ArgName("tls")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// A body through HTTPResponseStream::Read in 64 KiB reads.
void BM_ResponseStreamRead(benchmark::State& state) {
    int64_t mebibytes = state.range(0);
    int64_t kind = state.range(1); // 0 Content-Length, 1 chunks of 1 KiB, 2 Content-Length over TLS
    std::string path = std::string(kind == 1 ? "/chunk" : "/len") + std::to_string(mebibytes);
    NullOutput output(nullptr);
    CommandLineApplication application(&output);
    String error;
    application.SetOption(("cadir=" + Scratch() + "/ca").c_str(), &error);
    NetworkManager* network = application.GetNetworkManager();
    std::string url = Server(kind == 2).Url(path);
    static char buffer[1 << 16];
    for (auto _ : state) {
        NetworkConnection* connection =
            network->OpenURL("GET", url.c_str(), nullptr, nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0, 1.1, 30);
        if (!connection) {
            state.SkipWithError(network->ErrorText().Text());
            return;
        }
        HTTPResponseStream stream(connection, 30);
        int64_t total = 0;
        int32_t n = -1;
        if (stream.ReadHeaders())
            while ((n = stream.Read(buffer, sizeof buffer)) > 0) total += n;
        stream.CloseConnection();
        if (n < 0 || total != mebibytes << 20) {
            state.SkipWithError("short body");
            return;
        }
    }
    state.SetBytesProcessed(state.iterations() * (mebibytes << 20));
}
BENCHMARK(BM_ResponseStreamRead)
    ->ArgNames({"MiB", "kind"})
    ->ArgsProduct({{8, 64}, {0, 1, 2}})
    ->Unit(benchmark::kMillisecond)->UseRealTime();

// The walk over a markup reply held in memory: text runs and tags, each
// published as variables.
void BM_ReplyTokeniser(benchmark::State& state) {
    std::string body = MarkupBody(static_cast<size_t>(state.range(0)) << 20);
    std::string reply = Head("Content-Length: " + std::to_string(body.size()) + "\r\n") + body;
    std::string source = CallSource("http://memory/", "GET", "");
    MemoryNetworkManager memory(nullptr, &reply);
    for (auto _ : state)
        if (!RunCall(state, source, &memory)) return;
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(body.size()));
}
BENCHMARK(BM_ReplyTokeniser)->ArgName("MiB")->Arg(8)->Arg(64)->Unit(benchmark::kMillisecond)->UseRealTime();

// A 64 MiB file uploaded as a multipart form.
void BM_Upload(benchmark::State& state) {
    std::string name = "upload.bin";
    {
        std::ofstream out(Scratch() + "/" + name, std::ios::binary);
        std::string block(1 << 20, 'u');
        for (int i = 0; i < 64; ++i) out << block;
    }
    std::string source = CallSource(Server(false).Url("/small"), "POST", name);
    for (auto _ : state)
        if (!RunCall(state, source)) return;
    state.SetBytesProcessed(state.iterations() * (int64_t{64} << 20));
}
BENCHMARK(BM_Upload)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
