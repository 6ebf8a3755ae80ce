// The extension's shell on POSIX threads: a fixed pool of request workers fed
// from a first-in first-out queue, and one watchdog thread that ticks the
// running requests' time limits. The web server's thread only queues a
// request; a worker builds its application, runs it, destroys it and tells
// the server the session is done.
#pragma once

#include <atomic>
#include <condition_variable>
#include <semaphore.h>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/ISAPI.h"

namespace vorn {

// What the pool needs of the application of one request.
class ServedRequest {
  public:
    virtual ~ServedRequest() = default;
    // Serves the request from start to end on the worker's thread.
    virtual int32_t Run() = 0;
    // Called by the watchdog, on its thread, once per tick while Run runs.
    virtual void CheckTimeouts() = 0;
};

// Makes the application of a request (null when it cannot be made: the
// request is then only reported done).
using RequestFactory = ServedRequest* (*)(void* context, platform::ISAPIControlBlock* controlBlock);

// A first-in first-out queue of words with a blocking take, in place of a
// completion port: each item carries a count (0 for a stop post) and a key.
class CompletionQueue {
  public:
    struct Item {
        uint32_t count;
        void* key;
    };
    CompletionQueue();
    ~CompletionQueue();
    CompletionQueue(const CompletionQueue&) = delete;
    CompletionQueue& operator=(const CompletionQueue&) = delete;

    void Post(uint32_t count, void* key);
    // Waits for the next item; false once the queue is closed and empty.
    bool Take(Item* item);
    // The next item without waiting; false when there is none.
    bool TryTake(Item* item);
    void Close();

  private:
    // Pops an item for a count taken from available; false (the count given
    // back) when there is none, which only the close's count can be.
    bool Pop(Item* item);

    std::mutex mutex;
    std::deque<Item> items;
    // A count per item, and one for the close: a worker sleeps on it and is
    // woken by exactly one post (a condition variable's bookkeeping cost a
    // further wake-up per request).
    sem_t available;
};

class RequestPool {
  public:
    static constexpr int32_t kDefaultTickMilliseconds = 5000;
    static constexpr int32_t kStopWaitMilliseconds = 120000;

    RequestPool(int32_t threads, RequestFactory factory, void* context,
                int32_t tickMilliseconds = kDefaultTickMilliseconds);
    // Stops the pool when Stop was not called, waiting as long as it takes:
    // a pool whose Stop failed must be left alone, not destroyed.
    ~RequestPool();
    RequestPool(const RequestPool&) = delete;
    RequestPool& operator=(const RequestPool&) = delete;

    // Starts the workers and the watchdog; false (with a message on standard
    // error) when a thread cannot be started.
    bool Start();
    // Queues a request (the server's thread returns at once).
    void Post(platform::ISAPIControlBlock* controlBlock);
    // Stops taking requests, waits up to waitMilliseconds for the workers
    // (requests queued behind the stop are dropped unserved), then ends the
    // watchdog, which keeps enforcing deadlines until the last worker ended.
    // False when a worker is still running: nothing it uses is freed then.
    // A negative wait has no limit.
    bool Stop(int32_t waitMilliseconds = kStopWaitMilliseconds);

    int32_t Threads() const { return threadCount; }
    // Requests dropped because they were taken after the stop began.
    int64_t Dropped() const;

  private:
    // What the watchdog knows of a worker: the application it runs (null
    // between requests), set and cleared under the worker's own lock, which
    // the watchdog holds while it calls the application; the worker destroys
    // its application under that lock too, so an application is never called
    // after its destruction, and workers never wait for one another.
    struct Running {
        std::mutex lock;
        ServedRequest* application = nullptr;
    };

    void Worker(uint32_t index);
    void Watchdog();
    void SetRunning(uint32_t worker, ServedRequest* application);

    const int32_t threadCount;
    const RequestFactory factory;
    void* const context;
    const int32_t tick;

    CompletionQueue requests;
    std::unique_ptr<Running[]> running;

    mutable std::mutex stateMutex;
    std::condition_variable stateChanged;
    // Requests taken from now on are dropped; read by every worker on every
    // request without the lock.
    std::atomic<bool> shuttingDown{false};
    bool watchdogStopping = false;
    int32_t workersRunning = 0;
    int64_t dropped = 0;

    std::vector<std::thread> workers;
    std::thread watchdog;
    bool started = false;
    bool stopped = false;
};

} // namespace vorn
