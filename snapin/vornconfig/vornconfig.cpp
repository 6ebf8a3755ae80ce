// vornconfig [--port N] [--registry FILE]: serves the configuration tool on
// 127.0.0.1 and prints the address to open, with its token. SIGINT or SIGTERM
// stop it.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <pthread.h>

#include "platform/Registry.h"
#include "snapin/vornconfig/ConfigServer.h"

namespace {

int Usage() {
    std::fprintf(stderr, "usage: vornconfig [--port N] [--registry FILE]\n");
    return 2;
}

bool ParsePort(const char* text, uint16_t* port) {
    char* end = nullptr;
    errno = 0;
    unsigned long value = std::strtoul(text, &end, 10);
    if (errno || end == text || *end || value > 65535 || text[0] == '-') return false;
    *port = static_cast<uint16_t>(value);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    uint16_t port = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
            if (!ParsePort(argv[++i], &port)) return Usage();
        } else if (std::strcmp(argv[i], "--registry") == 0 && i + 1 < argc) {
            // The registry stand-in reads its file's name from the environment.
            setenv(vorn::platform::kRegistryPathVariable, argv[++i], 1);
        } else {
            return Usage();
        }
    }

    // The server's thread inherits the mask, so the signals reach only sigwait.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);

    vorn::web::ConfigServer server;
    std::string reason;
    if (!server.Start(port, &reason)) {
        std::fprintf(stderr, "vornconfig: %s\n", reason.c_str());
        return 1;
    }
    std::printf("%s\n", server.Url().c_str());
    std::fflush(stdout);

    int received = 0;
    sigwait(&stops, &received);
    server.Stop();
    return 0;
}
