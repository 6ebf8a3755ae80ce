// Flat files and capture at volume, through whole programs: VrIMPORT of a
// 100 MB file of 1M five-field records with an empty body (bytes per second,
// and how far the run raised the process's peak resident size), VrEXPORT of
// 1M such records (records per second, each opening, appending to and closing
// the file) and VrCAPTURE of 100 MB in 8 KiB writes (bytes per second).
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/foundation/Output.h"
#include "tools/Assembler.h"
#include "engine/files/BufferFile.h"
#include "tools/CommandLineApplication.h"

namespace {

using vorn::Assembler;
using vorn::BufferFile;
using vorn::CommandLineApplication;
using vorn::NullOutput;
using vorn::String;

constexpr int64_t kRecords = 1000000;

// A scratch data directory, removed with its files.
class DataDirectory {
  public:
    DataDirectory() {
        char pattern[] = "/tmp/vorn-bench-XXXXXX";
        if (mkdtemp(pattern)) path = pattern;
    }
    ~DataDirectory() {
        if (!path.empty()) std::system(("rm -rf " + path).c_str());
    }
    std::string path;
};

int64_t PeakResidentKilobytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Runs the program once per iteration in the data directory.
bool Run(benchmark::State& state, const std::string& source, const std::string& data) {
    Assembler assembler;
    if (!assembler.Assemble(source.data(), static_cast<int32_t>(source.size()), "bench.vr")) {
        state.SkipWithError(assembler.ErrorText().Text());
        return false;
    }
    NullOutput output(nullptr);
    for (auto _ : state) {
        CommandLineApplication application(&output);
        application.SetDataDirectory(data.c_str());
        String error;
        application.SetOption("globaltimeout=0", &error);
        auto* file = new BufferFile("bench.vrc", assembler.Output(), assembler.OutputLength());
        if (application.RunImage("bench.vrc", file, &error) != vorn::kRunCompleted) {
            state.SkipWithError(error.IsEmpty() ? "the program failed" : error.Text());
            return false;
        }
    }
    return true;
}

// Five fields, 100 bytes a record with its line end.
void BM_Import100MB(benchmark::State& state) {
    DataDirectory data;
    std::FILE* out = std::fopen((data.path + "/bench.txt").c_str(), "wb");
    if (!out) {
        state.SkipWithError("cannot write the data file");
        return;
    }
    char record[101];
    for (int64_t i = 0; i < kRecords; ++i) {
        std::snprintf(record, sizeof record, "%010lld;%-20s;%-20s;%-20s;%-24s\n", static_cast<long long>(i),
                      "alpha", "beta", "gamma", "delta");
        std::fputs(record, out);
    }
    std::fclose(out);
    const int64_t before = PeakResidentKilobytes();
    // The body is empty: import_loop jumps back onto itself.
    if (!Run(state,
             ".global a, b, c, d, e\n.segment main entry\n pushc \"bench.txt\"\n pushc \";\"\n"
             " pushc \"a, b, c, d, e\"\n import 6\n import_loop -6\n.end\n",
             data.path))
        return;
    state.SetBytesProcessed(state.iterations() * kRecords * 100);
    state.counters["peak_rss_growth_KiB"] = static_cast<double>(PeakResidentKilobytes() - before);
}

void BM_Export1MRecords(benchmark::State& state) {
    DataDirectory data;
    const std::string source =
        ".global i, a, b, c, d, e\n.segment main entry\n"
        " pushc \"0000000001\"\n popg a\n pushc \"alpha\"\n popg b\n pushc \"beta\"\n popg c\n"
        " pushc \"gamma\"\n popg d\n pushc \"delta\"\n popg e\n storegi i, 0\nagain:\n"
        " pushc \"out.txt\"\n pushc \";\"\n pushc \"a, b, c, d, e\"\n export\n incg i, 1\n"
        " cmpgi i, " +
        std::to_string(kRecords) + "\n jmp_lt again\n.end\n";
    if (!Run(state, source, data.path)) return;
    state.counters["records"] =
        benchmark::Counter(static_cast<double>(kRecords * state.iterations()), benchmark::Counter::kIsRate);
}

void BM_Capture100MBIn8KiBWrites(benchmark::State& state) {
    DataDirectory data;
    constexpr int64_t kWrites = 12800;
    const std::string source =
        ".global i, t, chunk\n.segment main entry\n pushc \"" + std::string(8192, 'x') +
        "\"\n popg chunk\n storegi i, 0\n pushg t\n capture\nagain:\n pushg chunk\n out\n"
        " incg i, 1\n cmpgi i, " +
        std::to_string(kWrites) + "\n jmp_lt again\n capture_end\n.end\n";
    if (!Run(state, source, data.path)) return;
    state.SetBytesProcessed(state.iterations() * kWrites * 8192);
}

// The yardstick of the capture: 100 MB written in 8 KiB pieces into a block
// that grows by doubling, as a capture's does. On machines where touching
// fresh memory is slow, this bounds what any capture can reach.
void BM_Baseline_FreshMemory100MB(benchmark::State& state) {
    constexpr size_t kWrites = 12800;
    static char chunk[8192];
    std::memset(chunk, 'x', sizeof chunk);
    for (auto _ : state) {
        size_t capacity = sizeof chunk, used = 0;
        char* block = static_cast<char*>(std::malloc(capacity));
        for (size_t i = 0; i < kWrites && block; ++i) {
            if (used + sizeof chunk + 1 > capacity) {
                capacity *= 2;
                char* grown = static_cast<char*>(std::realloc(block, capacity));
                if (!grown) break;
                block = grown;
            }
            std::memcpy(block + used, chunk, sizeof chunk);
            used += sizeof chunk;
        }
        benchmark::DoNotOptimize(block);
        std::free(block);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kWrites * sizeof chunk));
}

BENCHMARK(BM_Import100MB)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Export1MRecords)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_Capture100MBIn8KiBWrites)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Baseline_FreshMemory100MB)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace
BENCHMARK_MAIN();
