// Sources made of random bytes or of random but plausible pieces must never
// crash the assembler: each either assembles to a file the engine's loaders
// read without harm, or fails with a "file:line: message" error.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "tests/tools/LoadedProgram.h"

namespace vorn {
namespace {

using test::Bytes;
using test::LoadedProgram;

void Check(const std::string& source) {
    Assembler assembler;
    if (assembler.Assemble(source.data(), static_cast<int32_t>(source.size()), "h.vr")) {
        ASSERT_GT(assembler.OutputLength(), 0);
        LoadedProgram p(Bytes(assembler.Output(), assembler.Output() + assembler.OutputLength()));
        p.LoadAll(); // may fail on purpose-made damage, but must not crash
    } else {
        ASSERT_EQ(std::string(assembler.ErrorText().Text()).rfind("h.vr:", 0), 0u) << assembler.ErrorText().Text();
        ASSERT_EQ(assembler.OutputLength(), 0);
    }
}

TEST(HostileSourceTest, RandomBytesNeverCrash) {
    std::mt19937 random(20240611);
    for (int round = 0; round < 1500; ++round) {
        std::string source(random() % 200, '\0');
        for (char& c : source) c = static_cast<char>(random() % 256);
        Check(source);
    }
}

TEST(HostileSourceTest, RandomPiecesOfTheFormatNeverCrash) {
    const char* pieces[] = {".segment", ".end", ".function", ".extern", ".local", ".global", ".system",
                            ".raw", ".language", ".message", ".bytes", ".u32", ".word", ".patch", ".truncate",
                            ".omit", ".bits", ".entry", ".string", ".version", ".block", ".endfunction",
                            "pushi", "jmp", "call", "pushg", "pushl", "pushc", "tagerror", "pushf", "cmpgi",
                            "x", "y:", "entry", "last", "at", "flags", "glbl", "segs", "func", "LX",
                            "0", "-1", "0xFFFFFFFF", "4294967296", "16", "1e308", "nan", "\"s\"", "\"\"",
                            "\"a\\x00b\"", "{t}", "(", ")", ",", "&p", "p:3", ";", "\"", "{", "}"};
    const size_t count = sizeof pieces / sizeof pieces[0];
    std::mt19937 random(77);
    for (int round = 0; round < 1500; ++round) {
        std::string source;
        int lines = 1 + static_cast<int>(random() % 12);
        for (int l = 0; l < lines; ++l) {
            int words = static_cast<int>(random() % 5);
            for (int w = 0; w < words; ++w) {
                source += pieces[random() % count];
                source += ' ';
            }
            source += '\n';
        }
        Check(source);
    }
}

TEST(HostileSourceTest, ValidProgramWithRandomEditsNeverCrash) {
    const std::string base = ".system s\n.global g\n.segment main entry\n.function f(&a, b)\n.local c\n"
                             "top: pushl a\n pushc \"x\"\n jmp_eq top\n call f\n pushg g\n pops s\n.end\n"
                             ".language en\n.message k \"v\" {t}\n.end\n";
    std::mt19937 random(5);
    for (int round = 0; round < 1500; ++round) {
        std::string source = base;
        int edits = 1 + static_cast<int>(random() % 4);
        for (int e = 0; e < edits; ++e) {
            size_t at = random() % source.size();
            switch (random() % 3) {
            case 0: source.erase(at, 1 + random() % 4); break;
            case 1: source.insert(at, 1, static_cast<char>(random() % 128)); break;
            default: source[at] = static_cast<char>(random() % 256); break;
            }
            if (source.empty()) source = "\n";
        }
        Check(source);
    }
}

} // namespace
} // namespace vorn
