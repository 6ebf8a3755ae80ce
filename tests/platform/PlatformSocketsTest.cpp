// The socket layer's waits and its SIGPIPE guard, on socket pairs.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "platform/Errors.h"
#include "platform/Sockets.h"

namespace vorn::platform {
namespace {

bool SigpipePending() {
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    return sigismember(&pending, SIGPIPE) == 1;
}

TEST(PlatformSockets, WaitsEndReadyTimedOutStoppedOrFailed) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    bool stop = false;
    StopCheck check{[](void* flag) { return *static_cast<bool*>(flag); }, &stop};
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitSocket(pair[0], false, 150, check), SocketWait::TimedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(140));
    EXPECT_EQ(WaitSocket(pair[0], true, 150, check), SocketWait::Ready);
    ASSERT_EQ(write(pair[1], "x", 1), 1);
    EXPECT_EQ(WaitSocket(pair[0], false, -1, check), SocketWait::Ready);
    stop = true;
    EXPECT_EQ(WaitSocket(pair[0], false, -1, check), SocketWait::Stopped);
    stop = false;
    // A hang-up is ready: the next receive tells the end.
    char byte;
    ASSERT_EQ(Receive(pair[0], &byte, 1), 1);
    close(pair[1]);
    EXPECT_EQ(WaitSocket(pair[0], false, 1000, check), SocketWait::Ready);
    EXPECT_EQ(Receive(pair[0], &byte, 1), 0);
    close(pair[0]);
    EXPECT_EQ(WaitSocket(pair[0], false, 100, check), SocketWait::Failed);
    EXPECT_EQ(LastError(), EBADF);
}

TEST(PlatformSockets, SigpipeRaisedUnderTheGuardIsTakenBack) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    close(pair[1]);
    ASSERT_FALSE(SigpipePending());
    {
        SigpipeBlock block;
        // A plain write, as a library's socket layer makes it: EPIPE and a SIGPIPE.
        EXPECT_EQ(write(pair[0], "x", 1), -1);
        EXPECT_EQ(errno, EPIPE);
        EXPECT_TRUE(SigpipePending());
    }
    EXPECT_FALSE(SigpipePending());
    EXPECT_EQ(Send(pair[0], "x", 1), -1); // never raises one
    EXPECT_EQ(LastError(), EPIPE);

    // One that was pending before the guard is left pending (and blocked).
    sigset_t pipe, previous;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, &previous);
    raise(SIGPIPE);
    {
        SigpipeBlock block;
        EXPECT_EQ(write(pair[0], "x", 1), -1);
    }
    EXPECT_TRUE(SigpipePending());
    timespec none{0, 0};
    EXPECT_EQ(sigtimedwait(&pipe, nullptr, &none), SIGPIPE);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    close(pair[0]);
}

} // namespace
} // namespace vorn::platform
