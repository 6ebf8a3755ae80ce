// Interpreter speed over small assembled programs. Each benchmark runs a whole
// program (load, build the machine, execute) per iteration; the programs run
// long loops, so the load is noise. The "instructions" counter is the number
// of instructions one run executes (counted from the loop shapes below), as a
// rate: instructions per second.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
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

struct Program {
    std::string source;
    int64_t instructions; // executed by one run
};

std::string Replace(std::string text, const std::string& key, int64_t value) {
    for (size_t at = text.find(key); at != std::string::npos; at = text.find(key))
        text.replace(at, key.size(), std::to_string(value));
    return text;
}

// storegi; then per iteration incg, cmpgi, jmp_lt.
Program CountingLoop(int64_t n) {
    return {Replace(R"(
.global i
.segment main entry
    storegi i, 0
again:
    incg i, 1
    cmpgi i, N
    jmp_lt again
.end
)",
                    "N", n),
            1 + 3 * n};
}

// Three set-up words; per iteration pushg pushf mul pushf add popg incg cmpgi jmp_lt.
Program DoubleLoop(int64_t n) {
    return {Replace(R"(
.global i, x
.segment main entry
    storegi i, 0
    pushf 0.5
    popg x
again:
    pushg x
    pushf 0.999
    mul
    pushf 1.5
    add
    popg x
    incg i, 1
    cmpgi i, N
    jmp_lt again
.end
)",
                    "N", n),
            3 + 9 * n};
}

// Per iteration: pushc pushg cat pushc cat popg incg cmpgi jmp_lt.
Program ConcatLoop(int64_t n) {
    return {Replace(R"(
.global i, s
.segment main entry
    storegi i, 0
again:
    pushc "item "
    pushg i
    cat
    pushc ";"
    cat
    popg s
    incg i, 1
    cmpgi i, N
    jmp_lt again
.end
)",
                    "N", n),
            1 + 9 * n};
}

// Per iteration: pushg call pushl ret pop incg cmpgi jmp_lt; storegi and exit.
Program CallLoop(int64_t n) {
    return {Replace(R"(
.global i
.segment main entry
    storegi i, 0
again:
    pushg i
    call identity
    pop
    incg i, 1
    cmpgi i, N
    jmp_lt again
    exit
.function identity(x)
    pushl x
    ret
.end
)",
                    "N", n),
            2 + 8 * n};
}

// Fill: pushg pushg pushg elem store incg cmpgi jmp_le (8 per element); read:
// pushg pushg pushg elemr add popg incg cmpgi jmp_le (9); four set-up words.
Program ArrayLoop(int64_t n) {
    return {Replace(R"(
.global i, a, sum
.segment main entry
    storegi i, 1
fill:
    pushg i
    pushg a
    pushg i
    elem
    store
    incg i, 1
    cmpgi i, N
    jmp_le fill
    storegi i, 1
    storegi sum, 0
read:
    pushg sum
    pushg a
    pushg i
    elemr
    add
    popg sum
    incg i, 1
    cmpgi i, N
    jmp_le read
.end
)",
                    "N", n),
            3 + 17 * n};
}

void RunProgram(benchmark::State& state, const Program& program) {
    Assembler assembler;
    if (!assembler.Assemble(program.source.data(), static_cast<int32_t>(program.source.size()), "bench.vr")) {
        state.SkipWithError(assembler.ErrorText().Text());
        return;
    }
    NullOutput output(nullptr);
    for (auto _ : state) {
        CommandLineApplication application(&output);
        auto* file = new BufferFile("bench.vrc", assembler.Output(), assembler.OutputLength());
        String error;
        int32_t status = application.RunImage("bench.vrc", file, &error);
        if (status != vorn::kRunCompleted) {
            state.SkipWithError(error.IsEmpty() ? "the program failed" : error.Text());
            return;
        }
    }
    state.counters["instructions"] = benchmark::Counter(static_cast<double>(program.instructions) *
                                                            static_cast<double>(state.iterations()),
                                                        benchmark::Counter::kIsRate);
}

void BM_CountingLoopFusedGlobals(benchmark::State& state) {
    RunProgram(state, CountingLoop(1000000));
}
void BM_DoubleArithmeticLoop(benchmark::State& state) {
    RunProgram(state, DoubleLoop(1000000));
}
void BM_StringConcatenationLoop(benchmark::State& state) {
    RunProgram(state, ConcatLoop(200000));
}
void BM_MillionScriptFunctionCalls(benchmark::State& state) {
    RunProgram(state, CallLoop(1000000));
}
void BM_ArrayElementWritesAndReads(benchmark::State& state) {
    RunProgram(state, ArrayLoop(100000));
}

BENCHMARK(BM_CountingLoopFusedGlobals)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DoubleArithmeticLoop)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StringConcatenationLoop)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MillionScriptFunctionCalls)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ArrayElementWritesAndReads)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
