// vornconfig [--port N] [--registry FILE]: serves the configuration tool on
// 127.0.0.1 and prints the address to open, with its token. SIGINT or SIGTERM
// stop it.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <pthread.h>
#include <sys/stat.h>

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

// A registry file that is not there yet is no error (every setting has its
// default), but the administrator may have meant another one.
void SayWhenMissing(const std::string& file) {
    struct stat info {};
    if (stat(file.c_str(), &info) == 0 || errno != ENOENT) return;
    std::string folder = file.find('/') == std::string::npos ? "." : file.substr(0, file.rfind('/'));
    if (folder.empty()) folder = "/";
    if (stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
        std::fprintf(stderr, "vornconfig: the registry file %s does not exist yet; the first save makes it\n",
                     file.c_str());
    else
        std::fprintf(stderr, "vornconfig: the registry file %s does not exist, nor does the folder %s: saving fails "
                     "until the folder is made (or give --registry FILE)\n", file.c_str(), folder.c_str());
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
    SayWhenMissing(vorn::platform::RegistryFilePath());

    int received = 0;
    sigwait(&stops, &received);
    server.Stop();
    return 0;
}
