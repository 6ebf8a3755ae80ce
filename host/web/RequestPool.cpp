#include "host/web/RequestPool.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <exception>

namespace vorn {

namespace {

// Where the system would show a message box: nobody sits at a server's
// screen, so the message goes to its error log.
void ReportStartFailure(const char* what) {
    std::fprintf(stderr, "Error in ISAPIServer: %s\n", what);
}

} // namespace

// --- CompletionQueue ----------------------------------------------------------------------------

CompletionQueue::CompletionQueue() { sem_init(&available, 0, 0); }

CompletionQueue::~CompletionQueue() { sem_destroy(&available); }

void CompletionQueue::Post(uint32_t count, void* key) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        items.push_back({count, key});
    }
    sem_post(&available);
}

bool CompletionQueue::Pop(Item* item) {
    std::lock_guard<std::mutex> lock(mutex);
    if (items.empty()) {
        sem_post(&available); // the close's count, for the next taker
        return false;
    }
    *item = items.front();
    items.pop_front();
    return true;
}

bool CompletionQueue::Take(Item* item) {
    while (sem_wait(&available) != 0) {
        if (errno != EINTR) return false;
    }
    return Pop(item);
}

bool CompletionQueue::TryTake(Item* item) {
    while (sem_trywait(&available) != 0) {
        if (errno != EINTR) return false;
    }
    return Pop(item);
}

void CompletionQueue::Close() { sem_post(&available); }

// --- RequestPool ------------------------------------------------------------------------------------

RequestPool::RequestPool(int32_t threads, RequestFactory make, void* makeContext, int32_t tickMilliseconds)
    : threadCount(threads > 0 ? threads : 1), factory(make), context(makeContext),
      tick(tickMilliseconds > 0 ? tickMilliseconds : kDefaultTickMilliseconds),
      running(new Running[static_cast<size_t>(threadCount)]) {}

RequestPool::~RequestPool() {
    Stop(-1);
}

bool RequestPool::Start() {
    if (started) return true;
    started = true;
    try {
        workers.reserve(static_cast<size_t>(threadCount));
        for (int32_t i = 0; i < threadCount; ++i) {
            {
                std::lock_guard<std::mutex> lock(stateMutex);
                ++workersRunning;
            }
            try {
                workers.emplace_back(&RequestPool::Worker, this, static_cast<uint32_t>(i));
            } catch (...) {
                std::lock_guard<std::mutex> lock(stateMutex);
                --workersRunning;
                throw;
            }
        }
        watchdog = std::thread(&RequestPool::Watchdog, this);
    } catch (const std::exception& failure) {
        ReportStartFailure(failure.what());
        Stop(kStopWaitMilliseconds);
        return false;
    }
    return true;
}

void RequestPool::Post(platform::ISAPIControlBlock* controlBlock) {
    requests.Post(1, controlBlock);
}

int64_t RequestPool::Dropped() const {
    std::lock_guard<std::mutex> lock(stateMutex);
    return dropped;
}

void RequestPool::SetRunning(uint32_t worker, ServedRequest* application) {
    std::lock_guard<std::mutex> lock(running[worker].lock);
    running[worker].application = application;
}

void RequestPool::Worker(uint32_t index) {
    CompletionQueue::Item item{};
    while (requests.Take(&item) && item.count != 0) {
        auto* controlBlock = static_cast<platform::ISAPIControlBlock*>(item.key);
        if (shuttingDown.load(std::memory_order_acquire)) {
            std::lock_guard<std::mutex> lock(stateMutex);
            ++dropped;
            break;
        }
        ServedRequest* application = nullptr;
        try {
            application = factory ? factory(context, controlBlock) : nullptr;
            if (application) {
                SetRunning(index, application);
                application->Run();
            }
        } catch (...) {
            // Nothing may escape a worker; the request still ends.
        }
        if (application) {
            // Known finished and destroyed under the lock the watchdog holds
            // while it calls this worker's application.
            std::lock_guard<std::mutex> lock(running[index].lock);
            running[index].application = nullptr;
            delete application;
        }
        if (controlBlock && controlBlock->serverSupportFunction)
            controlBlock->serverSupportFunction(controlBlock->connection, platform::kISAPIDoneWithSession, nullptr,
                                                nullptr, nullptr);
    }
    std::lock_guard<std::mutex> lock(stateMutex);
    --workersRunning;
    stateChanged.notify_all();
}

void RequestPool::Watchdog() {
    auto next = std::chrono::steady_clock::now() + std::chrono::milliseconds(tick);
    std::unique_lock<std::mutex> state(stateMutex);
    for (;;) {
        stateChanged.wait_until(state, next, [this] { return watchdogStopping; });
        if (watchdogStopping) break;
        next += std::chrono::milliseconds(tick);
        state.unlock();
        for (int32_t i = 0; i < threadCount; ++i) {
            std::lock_guard<std::mutex> lock(running[i].lock);
            if (!running[i].application) continue;
            try {
                running[i].application->CheckTimeouts();
            } catch (...) {
            }
        }
        state.lock();
    }
}

bool RequestPool::Stop(int32_t waitMilliseconds) {
    if (!started || stopped) return true;
    shuttingDown.store(true, std::memory_order_release);
    for (size_t i = 0; i < workers.size(); ++i) requests.Post(0, nullptr);
    {
        std::unique_lock<std::mutex> lock(stateMutex);
        auto allEnded = [this] { return workersRunning == 0; };
        if (waitMilliseconds < 0)
            stateChanged.wait(lock, allEnded);
        else if (!stateChanged.wait_for(lock, std::chrono::milliseconds(waitMilliseconds), allEnded))
            return false;
    }
    for (std::thread& worker : workers) worker.join();
    {
        // Deadlines were enforced until the last worker ended.
        std::lock_guard<std::mutex> lock(stateMutex);
        watchdogStopping = true;
    }
    stateChanged.notify_all();
    if (watchdog.joinable()) watchdog.join();
    requests.Close();
    CompletionQueue::Item item{};
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        while (requests.TryTake(&item))
            if (item.count != 0) ++dropped;
    }
    stopped = true;
    return true;
}

} // namespace vorn
