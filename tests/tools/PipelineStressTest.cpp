// Random and damaged input through the whole pipeline: assembler, container
// and section loaders, the machine (through the runner's library entry), VrDO
// sub-programs, the expression compiler and the disassembler. Every case must
// end in a clean result or a clean error. Seeds are fixed; for longer local
// runs VORN_STRESS_ITERATIONS raises the counts and VORN_STRESS_SEED shifts
// the seeds.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#endif

#include "engine/program/InstructionSet.h"
#include "engine/program/TaggedFile.h"
#include "engine/values/Variable.h"
#include "engine/vm/ExpressionCompiler.h"
#include "tools/Assembler.h"
#include "engine/files/BufferFile.h"
#include "tools/CommandLineApplication.h"
#include "tools/Disassembler.h"

namespace vorn {
namespace {

using Bytes = std::vector<uint8_t>;
using Random = std::mt19937;

int Iterations(int fallback) {
    const char* text = std::getenv("VORN_STRESS_ITERATIONS");
    return text && std::atoi(text) > 0 ? std::atoi(text) : fallback;
}
uint32_t Seed(uint32_t base) {
    const char* text = std::getenv("VORN_STRESS_SEED");
    return base + (text ? static_cast<uint32_t>(std::strtoul(text, nullptr, 10)) : 0u);
}
uint32_t Pick(Random& r, uint32_t n) { return static_cast<uint32_t>(r() % n); }
template <class T, size_t N> const T& PickOf(Random& r, const T (&items)[N]) { return items[Pick(r, N)]; }

// The case running now, printed when a sanitizer ends the process or when a
// case runs so long that the time-out flag cannot have stopped it.
std::string currentCase;
void PrintCase() {
    (void)!write(2, "\nin case:\n", 10);
    (void)!write(2, currentCase.data(), currentCase.size());
}
void Begin(const std::string& what) {
    currentCase = what;
    alarm(60);
}
[[maybe_unused]] const bool kReporting = [] {
    signal(SIGALRM, [](int) {
        PrintCase();
        std::abort();
    });
#if defined(__SANITIZE_ADDRESS__)
    __sanitizer_set_death_callback(PrintCase);
#endif
    return true;
}();

// The output of the last run (its first 64 KB).
std::string output;
int32_t Capture(const char* bytes, int32_t length) {
    if (length > 0 && output.size() < 65536) output.append(bytes, static_cast<size_t>(length));
    return length;
}

// Times a run out after a few watchdog ticks rather than whole seconds, has
// languages, so that localised texts are read, and reads every logged field.
class StressApplication : public CommandLineApplication {
  public:
    explicit StressApplication(Output* output) : CommandLineApplication(output) {
        SetWatchdogInterval(1);
        SetLanguage("en", 2);
        SetDefaultLanguage("fr", 2);
    }
    void ResetTimeLimit() override {
        ticks = 0;
        CommandLineApplication::ResetTimeLimit();
    }
    void CheckTimeouts() override {
        CommandLineApplication::CheckTimeouts();
        if (++ticks >= tickLimit) TimedOutPlace()->store(1);
    }
    void Log(uint32_t, const LogField* fields) override {
        for (; fields && fields->kind != LogField::End; ++fields) {
            if (fields->kind == LogField::Text && fields->value.text && fields->length > 0)
                logged += std::string(fields->value.text, static_cast<size_t>(fields->length)).size();
            if (fields->kind == LogField::Var && fields->value.variable)
                logged += static_cast<size_t>(fields->value.variable->Value().Length());
        }
    }
    std::atomic<int32_t> ticks{0};
    // Programs whose output is checked get the whole global time-out: on a
    // loaded machine 20 ms may not see them through.
    int32_t tickLimit = 20;
    size_t logged = 0;
};

Bytes Assemble(const std::string& source, bool mustWork = true) {
    Assembler assembler;
    if (assembler.Assemble(source.data(), static_cast<int32_t>(source.size()), "s.vr"))
        return Bytes(assembler.Output(), assembler.Output() + assembler.OutputLength());
    EXPECT_FALSE(mustWork) << assembler.ErrorText().Text() << "\n" << source;
    return {};
}

// A string operand of the assembler ('|' escaped too: see Program).
std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        char hex[5];
        std::snprintf(hex, sizeof hex, "\\x%02x", c);
        bool plain = c >= 0x20 && c < 0x7f && c != '|' && c != '"' && c != '\\';
        out += plain ? std::string(1, static_cast<char>(c)) : std::string(hex);
    }
    return out + "\"";
}

const char kDeclarations[] = ".system REMOTE_ADDR QUERY_STRING\n.global g0 g1 g2 g3\n.extern ext(x)\n";
// Runtime errors of these tags are only shown, so a run goes on after them.
const char kKeepGoing[] = " tagerror 2, 1\n tagerror 19, 1\n tagerror 22, 0\n tagerror 62, 1\n";

// A program with these declarations and f0(a, &b), f1(a); '|' ends a line.
std::string Program(const std::string& prefix, const std::string& main, const std::string& f0) {
    std::string source = kDeclarations + prefix + ".segment main entry\n" + main + "\n.end\n" +
                         ".segment helpers\n.function f0(a, &b)\n.local c\n" + f0 +
                         "\n.function f1(a)\n retn\n.end\n";
    std::replace(source.begin(), source.end(), '|', '\n');
    return source;
}

// Whether this build has a handler for the word (the others end a run).
bool Runs(uint16_t word) {
    if (word >= Op_op_commerce && word <= Op_op_commerce_stop) return true;
    return InstructionGroupOf(word) != GroupDatabase && InstructionGroupOf(word) != GroupTags &&
           (word < Op_lockfile || word > Op_lockfile_end) && word != Op_capture && word != Op_capture_end;
}

// An instruction with operands valid where it stands: declared names, raw
// scope indexes that exist, the labels L0..L3 of its segment.
std::string Line(Random& r, const InstructionInfo* row) {
    static const std::vector<std::string> choices[] = { // by OperandKind
        {},
        {"0", "1", "2", "3", "-1", "7", "31", "64", "75", "76", "255", "65536", "2147483647", "-2147483648"},
        {"0", "1.5", "-2.5", "1e300", "-1e300", "nan", "inf", "-inf", "4294967296", "-2147483649"},
        {"", "x", "g0", "12", "-3.5", "1e400", "a,b", "g0,g1", "G:g1", "L:c", "S:REMOTE_ADDR", "D.f",
         "lib.vrc", "/lib.vrc", "nosuch.vrc", "greeting", "g0[1]", "name", "\x01\xff", "1e9"},
        {"L0", "L1", "L2", "L3"},
        {"REMOTE_ADDR", "QUERY_STRING"},
        {"g0", "g1", "g2", "g3"},
        {"0", "1", "2"},
        {"f0", "f1", "ext"}};
    std::string out = std::string(" ") + row->mnemonic;
    for (OperandKind kind : {row->a, row->b}) {
        const std::vector<std::string>& some = choices[static_cast<int>(kind)];
        if (some.empty()) continue;
        const std::string& operand = some[Pick(r, static_cast<uint32_t>(some.size()))];
        out += " " + (kind == OperandKind::String ? Quoted(operand) : operand);
    }
    return out + "\n";
}

// Words of the table, each after a few pushes so that most find operands.
std::string RandomCode(Random& r, int count) {
    static const char* const pushes[] = {"pushi", "pushc", "pushg", "pushf", "pushs", "pushl", "pushnc",
                                         "dup"};
    uint32_t at[4];
    for (uint32_t& a : at) a = Pick(r, static_cast<uint32_t>(count + 1));
    std::string out;
    for (int i = 0; i <= count; ++i) {
        for (int k = 0; k < 4; ++k)
            if (at[k] == static_cast<uint32_t>(i)) out += "L" + std::to_string(k) + ":\n";
        if (i == count) break;
        auto any = [&] { return InstructionAt(static_cast<int32_t>(Pick(r, kInstructionCount))); };
        const InstructionInfo* row = any();
        while (!Runs(row->word) && Pick(r, 8)) row = any();
        for (uint32_t k = Pick(r, 8) ? 2 + Pick(r, 2) : Pick(r, 2); k > 0; --k)
            out += Line(r, FindMnemonic(PickOf(r, pushes), -1));
        out += Line(r, row);
    }
    return out;
}

std::string RandomProgram(Random& r) {
    std::string prefix;
    for (const char* table : {"syst", "glbl", "func", "locl"})
        if (Pick(r, 4) == 0) prefix += ".bits " + (table + (" " + std::to_string(Pick(r, 17)))) + "|";
    if (Pick(r, 3) == 0) prefix += ".language en|.message greeting \"Hi \" {name}|.message x {x} \"-\"|.end|";
    std::string main = (Pick(r, 4) ? kKeepGoing : "") + RandomCode(r, 4 + static_cast<int>(Pick(r, 40)));
    return Program(prefix, main, RandomCode(r, static_cast<int>(Pick(r, 16))) + " ret");
}

// Programs that reach what random code rarely gets right, with their output:
// a loop, aggregates, recursion with a by-reference parameter; localised
// texts and VrDO; VrCOMMERCE without libraries, arithmetic and text words.
const std::pair<std::string, const char*> kKnown[] = {
    {Program("",
             "storegi g0, 1|again:|pushg g0|out|incg g0, 1|cmpgi g0, 5|jmp_le again|pushc \"x\"|pushg g1|"
             "pushi 2|elem|store|pushc \"y\"|pushg g2|pushc \"m\"|memb|store|pushg g1|pushi 2|elemr|pushg g2|"
             "pushc \"m\"|membr|cat|out|pushi 6|pushg g3|call f0|out|pushg g3|out",
             "pushl b|pushi 1|add|pushl b|store|pushl a|pushi 1|le|jmp_eq deeper|pushi 1|ret|deeper:|"
             "pushl a|pushl a|pushi 1|sub|pushl b|call f0|mul|ret"),
     "12345xy7206"},
    {Program(".language en\n.message greeting \"Hello, \" {name} \"!\"\n.end\n"
             ".language fr\n.message greeting \"Salut \" {name}\n.message other \"Autre\"\n.end\n",
             "pushc \"Ann\"|poplvnc \"name\"|localize \"greeting\"|localizev \"other\"|out|pushc \"lib.vrc\"|"
             "op_do_file|pushc \"lib.vrc\"|pushc \"f0(3, g1) $ g0\"|op_do_function|out|tagerror 22, 1|"
             "pushc \"nosuch.vrc\"|op_do_file",
             "retn"),
     "Hello, Ann!Autre1Hi31"},
    {Program("",
             "erroutput 0|tagerror 19, 1|pushc \"card\"|pushc \"amount=1\"|pushc \"g0,g1\"|op_commerce 20|"
             "pushg g0|out|op_commerce_loop -14|op_commerce_stop 0|pushi 2|pushf 0.5|pow|pushi 3|rounds|"
             "pushc \"b\"|pushc \"ab\"|in|cat|pushi 7|pushi -2|mod|cat|out|pushi 1|pushc \"a\"|pushg g1|"
             "pushf 2.5|swapn 3, 1|out|out|out|out|call ext",
             "retn"),
     "1.414212.51a"},
};

const char kLibrary[] = ".global g0 g1\n.language en\n.message greeting \"Hi\"\n.end\n"
                        ".segment main entry\n incg g0, 1\n pushg g0\n out\n localize \"greeting\"\n.end\n"
                        ".segment helpers\n.function f0(a, &b)\n pushl a\n pushl b\n add\n ret\n"
                        ".function f1(a)\n pushl a\n call f1\n ret\n.end\n";

class PipelineStressTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/vorn-stress-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        WriteFile("lib.vrc", Assemble(kLibrary));
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    void WriteFile(const std::string& name, const Bytes& bytes) {
        std::ofstream(dir + "/" + name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }

    // Runs the image through the runner's library entry; its exit status.
    int32_t Run(const Bytes& bytes, const std::string& what, bool checked = false) {
        Begin(what);
        output.clear();
        NullOutput sink(Capture);
        StressApplication application(&sink);
        if (checked) application.tickLimit = INT32_MAX;
        application.SetScriptDirectory(dir.c_str());
        application.SetDataDirectory(dir.c_str());
        String error;
        // Deadlines count whole seconds: one second may end at once, so the
        // programs whose output is checked get ten.
        EXPECT_TRUE(application.SetOption(checked ? "globaltimeout=10" : "globaltimeout=1", &error));
        // Every other run logs every event.
        EXPECT_TRUE(application.SetOption(++runs % 2 ? "loglevel=2147483647" : "loglevel=0", &error));
        auto* file = new BufferFile("stress.vrc", bytes.data(), static_cast<int32_t>(bytes.size()));
        int32_t status = application.RunImage("stress.vrc", file, &error);
        alarm(0);
        bool clean = status == kRunCompleted || status == kRunFailed;
        EXPECT_TRUE(clean || (status == kRunNotLoaded && !error.IsEmpty())) << status << " " << what;
        return status;
    }

    // A listing of any bytes is made or refused with a reason; that of a
    // file the assembler made assembles to the same bytes.
    void CheckListing(const Bytes& bytes, bool exact, const std::string& what) {
        Begin("listing of " + what);
        Disassembler listing;
        bool listed = listing.Disassemble(bytes.data(), static_cast<int32_t>(bytes.size()), "s.vrc");
        alarm(0);
        bool refused = !exact && !listing.ErrorText().IsEmpty();
        EXPECT_TRUE(listed || refused) << what << listing.ErrorText().Text();
        if (listed && exact) {
            EXPECT_EQ(Assemble(listing.Text().Text()), bytes) << what << listing.Text().Text();
        }
    }

    std::string dir;
    int runs = 0;
};

TEST_F(PipelineStressTest, WellFormedProgramsRunToACleanEnd) {
    for (const auto& [source, expected] : kKnown) {
        Bytes bytes = Assemble(source);
        Run(bytes, source, true);
        EXPECT_EQ(output.substr(0, std::strlen(expected)), expected) << output;
        CheckListing(bytes, true, source);
    }
    Random r(Seed(1234));
    for (int i = Iterations(300); i > 0; --i) {
        std::string source = RandomProgram(r);
        Bytes bytes = Assemble(source);
        EXPECT_NE(Run(bytes, source), kRunNotLoaded);
        CheckListing(bytes, true, source);
    }
}

// Every operator word on pairs of edge operands, a third below them for the
// words that take three. Each pair runs in a function of its own, whose stack
// goes with its return whatever the word left; the pairs come shuffled, as a
// fatal error ends the rest.
TEST_F(PipelineStressTest, OperatorWordsOnEdgeOperands) {
    static const char* const operands[] = {
        "pushi 0", "pushi -1", "pushi -2147483648", "pushi 2147483647", "pushi 31", "pushi 64", "pushf nan",
        "pushf -inf", "pushf 1e300", "pushf -2147483649", "pushf 0.5", "pushc \"\"", "pushc \"abc\"",
        "pushc \"-2147483648\"", "pushc \"1e400\"", "pushg g0", "pushg g1", "pushs REMOTE_ADDR",
        "pushnc \"g2\""};
    Random r(Seed(7));
    for (int32_t i = 0; i < kInstructionCount; ++i) {
        const InstructionInfo* row = InstructionAt(i);
        if (row->a != OperandKind::None || !Runs(row->word) || row->word == Op_exit || row->word == Op_noop ||
            row->word == Op_ret || row->word == Op_retn)
            continue;
        for (int k = std::max(1, Iterations(1) / 50); k > 0; --k) {
            std::vector<std::string> pairs;
            for (const char* a : operands)
                for (const char* b : operands)
                    pairs.push_back(std::string(a) + "|" + b + "|" + row->mnemonic);
            std::shuffle(pairs.begin(), pairs.end(), r);
            std::string main = std::string(kKeepGoing) + "pushc \"x\"|pushg g1|pushi 2|elem|store";
            std::string functions;
            for (size_t n = 0; n < pairs.size(); ++n) {
                main += "|call p" + std::to_string(n) + "|pop";
                functions += "|.function p" + std::to_string(n) + "()|pushc \"x\"|" + pairs[n] + "|retn";
            }
            EXPECT_NE(Run(Assemble(Program("", main, "retn" + functions)), row->mnemonic), kRunNotLoaded);
        }
    }
}

uint32_t U32(const Bytes& b, size_t at) {
    return at + 4 <= b.size() ? (b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t{b[at + 3]} << 24) : 0u;
}
void PutU32(Bytes& b, size_t at, uint32_t value) {
    for (size_t k = 0; k < 4 && at + k < b.size(); ++k) b[at + k] = static_cast<uint8_t>(value >> (8 * k));
}

// Flips, new bytes, truncations, inserted and deleted bytes, counts and
// offsets set to extremes, and words of the table written into code.
Bytes Mutate(Random& r, Bytes bytes) {
    static const uint32_t counts[] = {0xFFFFFFFFu, 0x7FFFFFFFu, 0x80000000u, 0, 1, 0xFFFF, 0x10000};
    static const int32_t immediates[] = {0, 1, 2, 3, 5, 8, -1, -2, -6, -8, 12, 100, INT32_MAX, INT32_MIN};
    for (int m = static_cast<int>(Pick(r, 3)); m >= 0 && bytes.size() > 32; --m) {
        size_t at = Pick(r, static_cast<uint32_t>(bytes.size()));
        std::vector<size_t> entries; // of the directory
        for (uint32_t i = 0; i < U32(bytes, 28) && U32(bytes, 24) + 12 * (i + 1) <= bytes.size(); ++i)
            entries.push_back(U32(bytes, 24) + 12 * i);
        size_t entry = entries.empty() ? 24 : entries[Pick(r, static_cast<uint32_t>(entries.size()))];
        size_t start = U32(bytes, entry + 4), segs = 0;
        for (size_t e : entries)
            if (U32(bytes, e) == kSectionSegs) segs = U32(bytes, e + 4);
        size_t code = segs + 8 * (size_t{U32(bytes, segs)} + 1);
        switch (Pick(r, 10)) {
        case 0: bytes[at] ^= static_cast<uint8_t>(1u << Pick(r, 8)); break;
        case 1: case 2: bytes[at] = static_cast<uint8_t>(r()); break;
        case 3: bytes.resize(at); break;
        case 4: bytes.insert(bytes.begin() + static_cast<long>(at), 1 + Pick(r, 8), uint8_t(r())); break;
        case 5:
            bytes.erase(bytes.begin() + static_cast<long>(at),
                        bytes.begin() + static_cast<long>(std::min(bytes.size(), at + 1 + Pick(r, 8))));
            break;
        case 6: case 7: {
            const size_t places[] = {24, 28, entry + 4, entry + 8, start, start + 3, start + 4, start + 8};
            PutU32(bytes, PickOf(r, places), PickOf(r, counts));
            break;
        }
        default: // a word with plausible immediates somewhere in the code
            if (!segs || code + 2 > bytes.size()) break;
            at = code + Pick(r, static_cast<uint32_t>(bytes.size() - code - 1));
            uint16_t word = InstructionAt(static_cast<int32_t>(Pick(r, kInstructionCount)))->word;
            bytes[at] = static_cast<uint8_t>(word);
            bytes[at + 1] = static_cast<uint8_t>(word >> 8);
            PutU32(bytes, at + 2, static_cast<uint32_t>(PickOf(r, immediates)));
            PutU32(bytes, at + 6, static_cast<uint32_t>(PickOf(r, immediates)));
        }
    }
    return bytes;
}

TEST_F(PipelineStressTest, DamagedFilesLoadOrFailCleanly) {
    std::vector<Bytes> seeds = {Assemble(kLibrary)};
    for (const auto& known : kKnown) seeds.push_back(Assemble(known.first));
    Random r(Seed(99));
    for (int i = 0; i < 6; ++i) seeds.push_back(Assemble(RandomProgram(r)));
    // Every fourth damaged file runs as a VrDO sub-program of this one.
    Bytes caller = Assemble(Program(
        "", "pushc \"m.vrc\"|op_do_file|pushc \"m.vrc\"|pushc \"f0(1, g0)\"|op_do_function|out", "retn"));
    for (int i = 0, rounds = Iterations(1500); i < rounds; ++i) {
        size_t seed = Pick(r, static_cast<uint32_t>(seeds.size()));
        Bytes damaged = Mutate(r, seeds[seed]);
        std::string what = "damage round " + std::to_string(i) + " of seed " + std::to_string(seed);
        CheckListing(damaged, false, what);
        if (i % 4 == 3) {
            WriteFile("m.vrc", damaged);
            EXPECT_NE(Run(caller, what + " (VrDO)"), kRunNotLoaded);
        } else {
            Run(damaged, what);
        }
    }
}

// An expression of the language nested up to depth, damaged one time in four.
std::string RandomExpression(Random& r, int depth = 4) {
    static const char* const operands[] = {"1", "0", "-3", "2.5", "1e308", "g0", "g1", "G:g1", "L:x", "D.f",
                                           "S:REMOTE_ADDR", "a.b", "'text'", "\"q\"", "''", "99999999999"};
    static const char* const noise[] = {"(", ")", "[", "]", ",", "'", "\"", "++", "$", "f0(", "ext(3)", "x"};
    const ExpressionOperator& op = ExpressionCompiler::OperatorTable()[Pick(r, kExpressionOperatorCount - 1)];
    auto inner = [&] { return RandomExpression(r, depth - 1); };
    std::string text;
    switch (depth > 0 ? Pick(r, 8) : 0) {
    case 0: case 1: text = PickOf(r, operands); break;
    case 2: text = "(" + inner() + ")"; break;
    case 3: text = "g" + std::to_string(Pick(r, 2)) + "[" + inner() + "]"; break;
    case 4: text = "f0(" + inner() + ", " + inner() + ")"; break;
    case 5: text = Pick(r, 2) ? "++g1" : "g0--"; break;
    default:
        if (op.code == kOperatorParenthesis) text = "f1(" + inner() + ")";
        else if (!op.binary) text = op.name + (" " + inner());
        else text = inner() + " " + op.name + " " + inner();
    }
    if (depth == 4 && Pick(r, 4) == 0)
        text.insert(Pick(r, static_cast<uint32_t>(text.size() + 1)),
                    Pick(r, 3) ? PickOf(r, noise) : std::string(1, static_cast<char>(1 + Pick(r, 255))));
    return text;
}

TEST_F(PipelineStressTest, RandomExpressionsCompileAndRunOrFailCleanly) {
    std::vector<std::string> texts = {std::string(300, '(') + "1" + std::string(300, ')'),
                                      std::string(199, '(') + "1" + std::string(199, ')'),
                                      std::string(300, '-') + "1", "f0(" + std::string(250, '[') + "1",
                                      "'" + std::string(20000, 'x'), "1" + std::string(3000, '+') + "1",
                                      "g0"};
    for (int i = 0; i < 3000; ++i) texts.back() += i % 2 ? " $ 'a'" : " * 2";
    Random r(Seed(4242));
    for (int i = Iterations(400); i > 0; --i) texts.push_back(RandomExpression(r));
    for (const std::string& text : texts) {
        // Compiled at run time in a VrDO sub-program's context, twice (the
        // second time from its cache), and ahead of time by the assembler.
        std::string twice = "|pushc \"lib.vrc\"|pushc " + Quoted(text) + "|op_do_function|out";
        Bytes dynamic = Assemble(Program("", kKeepGoing + twice + twice, "retn"));
        EXPECT_NE(Run(dynamic, "dynamic: " + text), kRunNotLoaded);
        Bytes ahead = Assemble(Program("", kKeepGoing + ("expr " + Quoted(text)) + "|out", "retn"), false);
        if (!ahead.empty()) {
            EXPECT_NE(Run(ahead, "ahead: " + text), kRunNotLoaded);
        }
    }
}

} // namespace
} // namespace vorn
