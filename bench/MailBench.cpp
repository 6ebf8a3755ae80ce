// Mail at volume: a 64 MiB body through SMTPOutput to a loopback sink, and
// VrPOP over a scripted POP3 server thread: one 64 MiB message, and a
// mailbox of 10,000 small ones (MB/s, and how far a run grows the resident
// memory beyond what the peer holds).
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "engine/files/BufferFile.h"
#include "host/network/POP3.h"
#include "host/network/PosixNetwork.h"
#include "host/network/SMTP.h"
#include "tools/Assembler.h"
#include "tools/CommandLineApplication.h"

namespace {

using namespace vorn;

std::string Scratch() {
    static std::string dir = [] {
        char pattern[] = "/tmp/vorn-mail-bench-XXXXXX";
        return std::string(mkdtemp(pattern) ? pattern : "/tmp");
    }();
    return dir;
}

// A loopback listener whose connections are each served by `serve` on a
// thread of their own.
template <typename Serve> int Listen(Serve serve) {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener, 16);
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    std::thread([listener, serve] {
        for (;;) {
            int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0)
                std::thread([fd, serve] {
                    serve(fd);
                    close(fd);
                }).detach();
        }
    }).detach();
    return ntohs(address.sin_port);
}

bool SendAll(int fd, const std::string& bytes) {
    for (size_t sent = 0; sent < bytes.size();) {
        ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

// Reads and drops everything.
int SinkPort() {
    static int port = Listen([](int fd) {
        static thread_local char buffer[1 << 16];
        while (recv(fd, buffer, sizeof buffer, 0) > 0) {
        }
    });
    return port;
}

// A mailbox of `count` messages of `message` (CR LF lines, dot-stuffed).
int Pop3Port(int count, const std::string& message) {
    // Built once, so the peer costs a send per reply and no copies.
    auto retrieved = std::make_shared<const std::string>("+OK\r\n" + message + ".\r\n");
    const size_t size = message.size();
    return Listen([count, size, retrieved](int fd) {
        std::string buffered;
        char chunk[4096];
        if (!SendAll(fd, "+OK ready\r\n")) return;
        for (;;) {
            size_t lf;
            while ((lf = buffered.find('\n')) == std::string::npos) {
                ssize_t n = recv(fd, chunk, sizeof chunk, 0);
                if (n <= 0) return;
                buffered.append(chunk, static_cast<size_t>(n));
            }
            std::string line = buffered.substr(0, lf + 1);
            buffered.erase(0, lf + 1);
            std::string reply = "+OK\r\n";
            if (line.rfind("STAT", 0) == 0) {
                reply = "+OK " + std::to_string(count) + " " + std::to_string(count * size) + "\r\n";
            } else if (line.rfind("LIST", 0) == 0) {
                for (int i = 1; i <= count; ++i)
                    reply += std::to_string(i) + " " + std::to_string(size) + "\r\n";
                reply += ".\r\n";
            }
            // One send per reply, as servers write: two small ones would
            // meet Nagle and a delayed ACK.
            const std::string& sent = line.rfind("RETR", 0) == 0 ? *retrieved : reply;
            if (!SendAll(fd, sent) || line.rfind("QUIT", 0) == 0) return;
        }
    });
}

std::string Message(size_t bodyBytes) {
    std::string text =
        "Subject: bench\r\nFrom: a@example.test\r\nDate: Mon, 1 Jan 2024 10:00:00 +0000\r\n\r\n";
    const std::string line = std::string(76, 'm') + "\r\n";
    text.reserve(text.size() + bodyBytes + line.size());
    for (size_t n = 0; n < bodyBytes; n += line.size())
        text += line;
    return text;
}

// The POP3 port (fixed in the client) mapped onto the bench server's.
class Pop3Manager : public PosixNetworkManager {
  public:
    Pop3Manager(VornApplication* app, int port)
        : PosixNetworkManager(app), port(static_cast<uint32_t>(port)) {}
    NetworkConnection* Connect(const char* host, uint32_t asked, uint32_t timeout) override {
        return PosixNetworkManager::Connect(host, asked == kPop3Port ? port : asked, timeout);
    }

  private:
    uint32_t port;
};

class BenchApplication : public CommandLineApplication {
  public:
    using CommandLineApplication::CommandLineApplication;
    NetworkManager* GetNetworkManager() override {
        return mapped ? mapped : CommandLineApplication::GetNetworkManager();
    }
    NetworkManager* mapped = nullptr;
};

// Keeps what the program writes.
class Collected : public NullOutput {
  public:
    Collected() : NullOutput(nullptr) {}
    int32_t Write(const char* bytes, int32_t length) override {
        if (length < 0) length = static_cast<int32_t>(std::strlen(bytes));
        text.append(bytes, static_cast<size_t>(length));
        return length;
    }
    int32_t WriteFiltered(const char* bytes, int32_t length) override { return Write(bytes, length); }
    std::string text;
};

// Resident MiB of this process ("VmRSS") or its peak since the last reset
// ("VmHWM").
double StatusMiB(const char* field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field, 0) == 0) return std::atof(line.c_str() + std::strlen(field) + 1) / 1024.0;
    return 0;
}

// The peak is reset before a run so that the run's growth can be told
// apart from what the peer holds.
void ResetPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

// A 64 MiB body written in 8 KiB pieces with LF line ends, so every line
// end is rewritten and every piece goes through the state machine.
void BM_SmtpBody(benchmark::State& state) {
    NullOutput output(nullptr);
    CommandLineApplication application(&output);
    NetworkManager* network = application.GetNetworkManager();
    std::string piece;
    while (piece.size() < 8192)
        piece += std::string(63, 'b') + "\n" + ".dot\n";
    const int64_t total = int64_t{64} << 20;
    for (auto _ : state) {
        NetworkConnection* connection = network->Connect("127.0.0.1", static_cast<uint32_t>(SinkPort()), 30);
        if (!connection) {
            state.SkipWithError(network->ErrorText().Text());
            return;
        }
        {
            SMTPOutput body(nullptr, connection, 8192, 30);
            for (int64_t written = 0; written < total; written += static_cast<int64_t>(piece.size()))
                body.Write(piece.data(), static_cast<int32_t>(piece.size()));
            if (!body.FinishMessage()) state.SkipWithError("the body was not sent");
        }
        delete connection;
    }
    state.SetBytesProcessed(state.iterations() * total);
}
BENCHMARK(BM_SmtpBody)->Unit(benchmark::kMillisecond)->UseRealTime();

// VrPOP over `count` messages of `bodyBytes`, each into a file of a fresh
// directory (the file names are probed from the first).
void BM_Pop3(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    const std::string message = Message(static_cast<size_t>(state.range(1)));
    const int port = Pop3Port(count, message);
    int iteration = 0;
    double growth = 0;
    for (auto _ : state) {
        const std::string directory = "run" + std::to_string(++iteration);
        mkdir((Scratch() + "/" + directory).c_str(), 0700);
        const std::string program =
            ".global VrPOP_Error\n.segment main entry\n    pushc \"127.0.0.1\"\n    pushc \"u\"\n"
            "    pushc \"p\"\n    pushc \"" +
            directory +
            "\"\n    pop3 done\n"
            "body:\n    pushc \"+\"\n    out\n    pop3loop body\ndone:\n"
            "    pushg VrPOP_Error\n    out\n.end\n";
        Assembler assembler;
        if (!assembler.Assemble(program.data(), static_cast<int32_t>(program.size()), "bench.vr")) {
            state.SkipWithError(assembler.ErrorText().Text());
            return;
        }
        Collected output;
        BenchApplication application(&output);
        Pop3Manager network(&application, port);
        application.mapped = &network;
        application.SetDataDirectory(Scratch().c_str());
        String error;
        application.SetOption("globaltimeout=0", &error);
        auto* file = new BufferFile("bench.vrc", assembler.Output(), assembler.OutputLength());
        ResetPeak();
        const double before = StatusMiB("VmRSS:");
        const bool ran = application.RunImage("bench.vrc", file, &error) == kRunCompleted;
        growth = std::max(growth, StatusMiB("VmHWM:") - before);
        if (!ran || output.text != std::string(static_cast<size_t>(count), '+')) {
            state.SkipWithError(
                ("the walk failed: " + output.text.substr(output.text.find_last_of('+') + 1)).c_str());
            return;
        }
        state.PauseTiming();
        std::system(("rm -rf " + Scratch() + "/" + directory).c_str());
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * count * static_cast<int64_t>(message.size()));
    state.counters["run_peak_MiB"] = growth;
}
BENCHMARK(BM_Pop3)
    ->ArgNames({"messages", "bytes"})
    ->Args({1, int64_t{64} << 20})
    ->Args({1000, 1024})
    ->Args({10000, 1024})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace

BENCHMARK_MAIN();
