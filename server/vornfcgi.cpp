// vornfcgi: the FastCGI responder that stands in for the web server in front
// of the extension.
//
//     vornfcgi --extension FILE --socket PATH [--acceptors N]
//
// Runs until SIGINT or SIGTERM, then stops the extension (running requests
// end first) and removes the socket.
#include <fcgiapp.h>
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/base/ProductVersion.h"
#include "server/Responder.h"

namespace {

int Usage() {
    std::fprintf(stderr, "usage: vornfcgi --extension FILE --socket PATH [--acceptors N]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    const char* extensionPath = nullptr;
    const char* socketPath = nullptr;
    int acceptors = 32;
    for (int i = 1; i < argc; ++i) {
        if (i + 1 < argc && std::strcmp(argv[i], "--extension") == 0) {
            extensionPath = argv[++i];
        } else if (i + 1 < argc && std::strcmp(argv[i], "--socket") == 0) {
            socketPath = argv[++i];
        } else if (i + 1 < argc && std::strcmp(argv[i], "--acceptors") == 0) {
            acceptors = std::atoi(argv[++i]);
            if (acceptors < 1 || acceptors > 4096) return Usage();
        } else {
            return Usage();
        }
    }
    if (!extensionPath || !socketPath) return Usage();

    // Each acceptor holds a descriptor, beside those the requests open: as
    // many as the open-file limit allows, raised as far as it may be.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
        rlim_t wanted = static_cast<rlim_t>(acceptors) + 1024;
        if (files.rlim_cur != RLIM_INFINITY && files.rlim_cur < wanted) {
            rlimit raised = files;
            raised.rlim_cur = files.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, files.rlim_max);
            if (setrlimit(RLIMIT_NOFILE, &raised) == 0) files = raised;
        }
        uint64_t limit = files.rlim_cur == RLIM_INFINITY ? UINT64_MAX : static_cast<uint64_t>(files.rlim_cur);
        int32_t allowed = vorn::server::Responder::AcceptorsWithin(acceptors, limit);
        if (allowed < acceptors) {
            std::fprintf(stderr, "vornfcgi: %d acceptors asked for, %d taken: the open-file limit is %llu\n",
                         acceptors, allowed, static_cast<unsigned long long>(limit));
            acceptors = allowed;
        }
    }

    // A peer that went away fails the write instead of ending the process, and
    // the stop signals are taken by this thread alone: a blocked accept in
    // another thread would never see them.
    signal(SIGPIPE, SIG_IGN);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    // Every request builds and frees its tables: memory freed at the top of
    // the heap is kept for the next request instead of going back to the
    // system and faulting in again.
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    mallopt(M_MMAP_THRESHOLD, 16 << 20);
    // The C library read its tunables as the process started (serve.sh sizes
    // its per-thread cache there); scripts, and what they start, do not see them.
    unsetenv("GLIBC_TUNABLES");

    if (FCGX_Init() != 0) {
        std::fprintf(stderr, "vornfcgi: the FastCGI library did not start\n");
        return 1;
    }
    vorn::server::Extension extension;
    std::string error;
    if (!extension.Load(extensionPath, &error)) {
        std::fprintf(stderr, "vornfcgi: %s\n", error.c_str());
        return 1;
    }
    vorn::platform::ISAPIVersionInfo version{};
    if (!extension.getVersion(&version)) {
        std::fprintf(stderr, "vornfcgi: the extension did not start\n");
        return 1;
    }
    unlink(socketPath);
    int listenSocket = FCGX_OpenSocket(socketPath, 1024);
    if (listenSocket < 0) {
        std::fprintf(stderr, "vornfcgi: cannot listen on %s\n", socketPath);
        extension.terminate(0);
        return 1;
    }
    bool stopped = false;
    {
        vorn::server::Responder responder(&extension, listenSocket, acceptors);
        if (!responder.Start(&error)) {
            std::fprintf(stderr, "vornfcgi: %s\n", error.c_str());
            return 1;
        }
        std::fprintf(stderr, "vornfcgi: %s %s on %s\n", vorn::kProductName, vorn::kProductVersion, socketPath);
        int signalNumber = 0;
        while (sigwait(&stopSignals, &signalNumber) != 0) {
        }
        stopped = responder.Stop();
        close(listenSocket);
        unlink(socketPath);
        if (!stopped) {
            std::fprintf(stderr, "vornfcgi: a request did not end; the extension stays loaded\n");
            std::fflush(stderr);
            _exit(3);
        }
    }
    extension.Unload();
    return 0;
}
