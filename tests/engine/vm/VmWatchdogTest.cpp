#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "engine/vm/Feature.h"
#include "tests/engine/vm/AssembledRun.h"

namespace vorn::test {
namespace {

using Clock = std::chrono::steady_clock;

// Counts the watchdog's ticks that reach it.
class CountingFeature : public Feature {
  public:
    CountingFeature(VornVM* vm, std::atomic<int>* count)
        : Feature(vm->Application(), vm, kFeatureCall), ticks(count) {}
    void Tick() override { ticks->fetch_add(1); }
    std::atomic<int>* ticks;
};

// The long text every loop below works on: 64 MB, made by doubling.
const std::string kLongText = ".global s, t, a, r, i\n"
                              ".segment main entry\n"
                              " pushc \"x\"\n popg s\n storegi i, 0\n"
                              "grow:\n pushg s\n pushg s\n cat\n popg s\n incg i, 1\n cmpgi i, 26\n jmp_lt grow\n";

struct Case {
    const char* name;
    std::string source; // never ends by itself, or ends with "end" minutes later
};

const Case kCases[] = {
    {"calls and returns in one segment",
     ".segment main entry\n pushi 40\n call fib\n pop\n pushc \"end\"\n out\n exit\n"
     ".function fib(n)\n pushl n\n pushi 2\n cmp\n jmp_lt small\n"
     " pushl n\n pushi 1\n sub\n call fib\n pushl n\n pushi 2\n sub\n call fib\n add\n ret\n"
     "small:\n pushl n\n ret\n.end\n"},
    {"a search through the long text, again and again",
     kLongText + "again:\n pushc \"y\"\n pushg s\n in\n popg r\n jmp again\n.end\n"},
    {"the long text stored as an element, again and again",
     kLongText + "again:\n pushg s\n pushg a\n pushi 1\n elem\n store\n jmp again\n.end\n"},
    {"the long text assigned, again and again", kLongText + "again:\n pushg s\n popg t\n jmp again\n.end\n"},
};

// A stop (what a time-out does to a run) and the watchdog's ticks reach the
// run whatever it spends its time on, as they reach it before every
// instruction of the byte form.
TEST(VmWatchdogTest, TheStopAndTheTicksReachEveryKindOfWork) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        AssembledRun<> run(c.source);
        ASSERT_TRUE(run.loaded);
        std::atomic<int> ticks{0};
        run.vm->PushFeature(new CountingFeature(run.vm.get(), &ticks));
        Clock::time_point stopped;
        std::thread watchdog([&] {
            // Ticks until one reached the run (a while at most), then the stop.
            const Clock::time_point giveUp = Clock::now() + std::chrono::seconds(5);
            while (ticks.load() == 0 && Clock::now() < giveUp) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                run.app.CheckTimeouts();
            }
            stopped = Clock::now();
            run.app.RequestStop();
        });
        const int result = run.Execute();
        const Clock::time_point ended = Clock::now();
        watchdog.join();
        EXPECT_EQ(result, 0);
        EXPECT_EQ(run.sink.text, "Application timed out");
        EXPECT_GT(ticks.load(), 0);
        // Well before the program's own end, minutes away or never.
        EXPECT_LT(ended - stopped, std::chrono::seconds(5));
    }
}

} // namespace
} // namespace vorn::test
