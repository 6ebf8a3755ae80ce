// A FastCGI responder that does nothing: each thread accepts and answers with
// the hello page's bytes. The web benchmark's floor.
//
//     null_fcgi --socket PATH [--threads N]
#include <fcgiapp.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
    const char* path = nullptr;
    int threads = 64;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--socket") == 0) path = argv[i + 1];
        if (std::strcmp(argv[i], "--threads") == 0) threads = std::atoi(argv[i + 1]);
    }
    if (!path || threads < 1) return 2;
    // Stopped by SIGINT or SIGTERM, taken here: a blocked accept never sees them.
    signal(SIGPIPE, SIG_IGN);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    FCGX_Init();
    unlink(path);
    int listener = FCGX_OpenSocket(path, 1024);
    if (listener < 0) return 1;
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([listener] {
            FCGX_Request request;
            FCGX_InitRequest(&request, listener, 0);
            while (FCGX_Accept_r(&request) >= 0) {
                FCGX_PutS("Status: 200 OK\r\nContent-Type: text/html\r\nContent-Length: 14\r\n\r\nHello, world!\n",
                          request.out);
                FCGX_Finish_r(&request);
            }
        });
    }
    int signalNumber = 0;
    sigwait(&stop, &signalNumber);
    unlink(path);
    _exit(0);
}
