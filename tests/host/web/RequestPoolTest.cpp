#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/vm/VornVM.h"
#include "host/web/ISAPIApplication.h"
#include "host/web/ISAPIExtension.h"
#include "host/web/RequestPool.h"
#include "tests/host/web/WebHostSupport.h"

namespace vorn {
namespace {

using test::MemoryRequest;

// A request that notes the order it ran in and, when asked to, runs until the
// watchdog has ticked it a given number of times.
struct Probes {
    std::mutex mutex;
    std::vector<int> order;
    int ticksToEnd = 0;
    std::atomic<int> alive{0};
    std::atomic<int> made{0};
    std::atomic<bool> release{false}; // ends every probe that waits for it
    bool waitForRelease = false;
};

class Probe : public ServedRequest {
  public:
    Probe(Probes* all, int index) : probes(all), number(index) { ++probes->alive; }
    ~Probe() override { --probes->alive; }
    int32_t Run() override {
        {
            std::lock_guard<std::mutex> lock(probes->mutex);
            probes->order.push_back(number);
        }
        while ((probes->waitForRelease && !probes->release) || ticks.load() < probes->ticksToEnd)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        return 0;
    }
    void CheckTimeouts() override { ++ticks; }

  private:
    Probes* probes;
    int number;
    std::atomic<int> ticks{0};
};

struct Requests {
    explicit Requests(int n) {
        for (int i = 0; i < n; ++i) {
            items.push_back(std::make_unique<MemoryRequest>());
            items.back()->variables["N"] = std::to_string(i);
        }
    }
    std::vector<std::unique_ptr<MemoryRequest>> items;
};

ServedRequest* MakeProbe(void* context, platform::ISAPIControlBlock* block) {
    auto* probes = static_cast<Probes*>(context);
    ++probes->made;
    auto* request = static_cast<MemoryRequest*>(block->connection);
    return new Probe(probes, std::stoi(request->variables["N"]));
}

TEST(RequestPool, OneWorkerServesInArrivalOrder) {
    Probes probes;
    Requests requests(20);
    RequestPool pool(1, &MakeProbe, &probes, 100);
    ASSERT_TRUE(pool.Start());
    for (auto& r : requests.items) pool.Post(&r->block);
    // Every request is reported done before the pool can stop.
    for (auto& r : requests.items)
        while (r->done == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(pool.Stop());
    std::vector<int> expected;
    for (int i = 0; i < 20; ++i) expected.push_back(i);
    EXPECT_EQ(probes.order, expected);
    for (auto& r : requests.items) EXPECT_EQ(r->done.load(), 1);
    EXPECT_EQ(probes.alive.load(), 0);
}

TEST(RequestPool, ManyShortDeadlinesOnFourWorkers) {
    // Each request ends only once the watchdog ticked it twice, so the
    // watchdog calls into applications while workers destroy others.
    Probes probes;
    probes.ticksToEnd = 2;
    Requests requests(200);
    RequestPool pool(4, &MakeProbe, &probes, 1);
    ASSERT_TRUE(pool.Start());
    for (auto& r : requests.items) pool.Post(&r->block);
    for (auto& r : requests.items)
        while (r->done == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(pool.Stop());
    EXPECT_EQ(probes.order.size(), 200u);
    for (auto& r : requests.items) EXPECT_EQ(r->done.load(), 1);
    EXPECT_EQ(probes.alive.load(), 0);
}

TEST(RequestPool, AStopWaitsForRunningRequestsWhileDeadlinesHold) {
    // The running request ends only through the watchdog: the watchdog must
    // outlive the workers for the stop to finish.
    Probes probes;
    probes.ticksToEnd = 5;
    Requests requests(2);
    RequestPool pool(2, &MakeProbe, &probes, 20);
    ASSERT_TRUE(pool.Start());
    for (auto& r : requests.items) pool.Post(&r->block);
    while (probes.made < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(pool.Stop(5000));
    for (auto& r : requests.items) EXPECT_EQ(r->done.load(), 1);
    EXPECT_EQ(probes.alive.load(), 0);
}

TEST(RequestPool, AStopDropsQueuedRequestsUnserved) {
    Probes probes;
    probes.waitForRelease = true;
    Requests requests(6);
    RequestPool pool(1, &MakeProbe, &probes, 100);
    ASSERT_TRUE(pool.Start());
    for (auto& r : requests.items) pool.Post(&r->block);
    while (probes.made < 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::thread stopper([&] { EXPECT_TRUE(pool.Stop()); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    probes.release = true;
    stopper.join();
    EXPECT_EQ(requests.items[0]->done.load(), 1);
    for (size_t i = 1; i < requests.items.size(); ++i) EXPECT_EQ(requests.items[i]->done.load(), 0) << i;
    EXPECT_EQ(pool.Dropped(), 5);
    EXPECT_EQ(probes.made.load(), 1);
}

TEST(RequestPool, AStopGivesUpOnARequestThatNeverEnds) {
    Probes probes;
    probes.waitForRelease = true;
    Requests requests(1);
    auto* pool = new RequestPool(1, &MakeProbe, &probes, 100);
    ASSERT_TRUE(pool->Start());
    pool->Post(&requests.items[0]->block);
    while (probes.made < 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_FALSE(pool->Stop(50)) << "a worker is still running";
    // The pool is left alone until its worker ends; then it stops for good.
    probes.release = true;
    EXPECT_TRUE(pool->Stop(5000));
    delete pool;
    EXPECT_EQ(requests.items[0]->done.load(), 1);
}

// The real application: an endless script stopped by its deadline.
ServedRequest* MakeApplication(void*, platform::ISAPIControlBlock* block) {
    return new ISAPIApplication(platform::HostModule(), block, nullptr);
}

TEST(RequestPool, AnEndlessScriptIsStoppedAtTheTickAfterItsDeadline) {
    test::Site site;
    site.Script("loop.vrc", ".segment main entry\n    pushc \"started \"\n    out\nagain:\n    jmp again\n.end\n");
    site.Registry("globaltimeout = dword:1\n");
    MemoryRequest request(site.Request("/loop.vrc"));
    RequestPool pool(2, &MakeApplication, nullptr, 100);
    ASSERT_TRUE(pool.Start());
    auto start = std::chrono::steady_clock::now();
    pool.Post(&request.block);
    while (request.done == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(pool.Stop());
    EXPECT_EQ(request.response, std::string("started ") + kErrorTimedOut);
    // A deadline of one whole second is passed within two; one tick later it stops.
    EXPECT_LT(seconds, 5.0);
}

} // namespace
} // namespace vorn

namespace vorn {
namespace {

TEST(Extension, StartsOnceServesAndStops) {
    test::Site site;
    site.Script("hello.vrc", ".segment main entry\n    pushc \"hi\"\n    out\n.end\n");
    site.registry.Write("[SOFTWARE\\Vorn\\Vorn Tevrona NT]\nThreads = dword:3\n"
                        "[SOFTWARE\\Vorn\\Vorn Tevrona NT\\Configuration]\nvornroot = " + site.root +
                        "\ndatadir = " + site.data + "\n");
    for (int start = 0; start < 2; ++start) {
        platform::ISAPIVersionInfo info{};
        ASSERT_TRUE(ExtensionGetVersion(&info));
        EXPECT_EQ(info.extensionVersion, 0x00010002u);
        EXPECT_STREQ(info.description, "Vorn");
    }
    std::vector<std::unique_ptr<MemoryRequest>> requests;
    for (int i = 0; i < 6; ++i) {
        requests.push_back(std::make_unique<MemoryRequest>(site.Request("/hello.vrc")));
        EXPECT_EQ(ExtensionHttpProc(&requests.back()->block), platform::kISAPIStatusPending);
    }
    for (auto& r : requests)
        while (r->done == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(ExtensionTerminate(0));
    for (auto& r : requests) EXPECT_EQ(r->response, "hi");
    // Stopped: requests are refused until it starts again.
    MemoryRequest late(site.Request("/hello.vrc"));
    EXPECT_EQ(ExtensionHttpProc(&late.block), platform::kISAPIStatusError);
    EXPECT_TRUE(ExtensionTerminate(0));
}

} // namespace
} // namespace vorn
