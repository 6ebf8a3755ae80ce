#include "tools/Disassembler.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "tests/tools/LoadedProgram.h"

namespace vorn {
namespace {

using test::Assembled;
using test::Bytes;

std::string Listing(const Bytes& bytes) {
    Disassembler d;
    EXPECT_TRUE(d.Disassemble(bytes.data(), static_cast<int32_t>(bytes.size()), "t.vrc")) << d.ErrorText().Text();
    return d.Text().Text();
}

// A whole line, or one followed by a comment.
bool HasLine(const std::string& listing, const std::string& line) {
    for (size_t at = listing.find(line); at != std::string::npos; at = listing.find(line, at + 1)) {
        bool starts = at == 0 || listing[at - 1] == '\n';
        size_t end = at + line.size();
        bool ends = end == listing.size() || listing[end] == '\n' || listing.compare(end, 3, "  ;") == 0;
        if (starts && ends) return true;
    }
    return false;
}

// Assembling the listing of an assembled program gives the same bytes.
void ExpectRoundTrip(const std::string& source) {
    Bytes first = Assembled(source);
    std::string listing = Listing(first);
    Bytes second = Assembled(listing);
    EXPECT_EQ(first, second) << listing;
}

TEST(DisassemblerTest, ListingNamesWhatTheProgramUses) {
    std::string listing = Listing(Assembled(R"(.system HOST
.global total
.segment main entry
again:
    pushc "a \"quoted\"\n text"
    pushs HOST
    incg total, 1
    jmp again
    call helper
.function helper(&v, n:4)
.local tmp
    pushl tmp
    pushf 0.1
    .word 0xC000
    retn
    .bytes 0x40
.end
)"));
    for (const char* line : {".system HOST", ".global total", ".segment s0 entry", "L0:",
                             "    pushc \"a \\\"quoted\\\"\\x0a text\"", "    pushs HOST", "    incg total, 1",
                             "    jmp L0", "    call helper", ".function helper(&v, n:0x4) at 0 34",
                             ".local tmp", "    pushl 2  ; tmp", "    pushf 0.1", "    .word 0xc000  ; illegal word",
                             "; function helper", "    .bytes 0x40  ; an incomplete instruction"})
        EXPECT_TRUE(HasLine(listing, line)) << line << "\n" << listing;
}

TEST(DisassemblerTest, ListingsAssembleToTheSameBytes) {
    ExpectRoundTrip(R"(.system REMOTE_ADDR, HTTP_HOST
.global count "odd name"
.extern Plugin(a, &b, c:6) flags 0x10
.segment helpers
.function twice(&value, times) flags 4
.local result
    pushl value
    pushl times
    mul
    ret
.end
.segment main entry
back:
    pushc "Hello"
    pushg "odd name"
    jmp_ne back
    jmp 1000
    pushf -1e300
    pushdc "db", "field"
    call 77
    pushnc 999
.end
)");
    ExpectRoundTrip(R"(.version 0x10005
.block 1 2 3
.dictword 0x10
.bits syst 3
.bits glbl 0
.bits func 2
.bits locl 1
.global a b c d e
.function nowhere at -1 -1
.language en
.message hello "Hello, " {who} "!"
.message nothing
.end
.language "de DE"
.message hello "Hallo"
.end
.raw zzzz
    .ascii "extra"
.end
.raw "\x00\x01\x02\x03" last
.end
)");
    // An omitted section's bytes stay in the file, unreachable: an empty
    // table comes back the same.
    ExpectRoundTrip(".omit syst\n.segment a\n exit\n.end\n.segment b entry\n.end\n");
    // Every word of the table, legal and not.
    std::string all = ".string \"s\"\n.global g\n.segment m\n";
    for (int32_t i = 0; i < kInstructionCount; ++i) {
        const InstructionInfo* row = InstructionAt(i);
        all += std::string("    .word ") + std::to_string(row->word);
        for (int k = 0; k < 2; ++k) {
            ImmediateKind kind = k == 0 ? ImmediateKindA(row->word) : ImmediateKindB(row->word);
            if (kind == ImmediateKind::Integer) all += " 0";
            if (kind == ImmediateKind::Double) all += " 0.5";
        }
        all += "\n";
    }
    all += "    .word 0xF0F0\n    .word 0x1234 9\n.end\n";
    ExpectRoundTrip(all);
}

TEST(DisassemblerTest, DamagedFilesFailCleanlyOrList) {
    Bytes good = Assembled(R"(.global g
.segment m
    pushg g
    call f
.function f(&x)
    retn
.end
.language en
.message k "v" {t}
.end
)");
    // Every prefix, and random byte changes: never a crash.
    for (size_t n = 0; n < good.size(); ++n) {
        Bytes cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n));
        Disassembler d;
        if (!d.Disassemble(cut.data(), static_cast<int32_t>(cut.size()), "t.vrc")) {
            EXPECT_EQ(std::string(d.ErrorText().Text()).rfind("t.vrc: ", 0), 0u);
        }
    }
    std::mt19937 random(99);
    for (int round = 0; round < 1000; ++round) {
        Bytes bad = good;
        for (int k = 0; k < 3; ++k) bad[random() % bad.size()] = static_cast<uint8_t>(random());
        Disassembler d;
        if (d.Disassemble(bad.data(), static_cast<int32_t>(bad.size()), "t.vrc")) {
            // Whatever is listed assembles again, or fails with a located message.
            Assembler again;
            const String& text = d.Text();
            if (!again.Assemble(text.Text(), text.Length(), "l.vr")) {
                EXPECT_EQ(std::string(again.ErrorText().Text()).rfind("l.vr:", 0), 0u);
            }
        }
    }
    Disassembler none;
    EXPECT_FALSE(none.Disassemble(nullptr, 0, "t.vrc"));
    EXPECT_STREQ(none.ErrorText().Text(), "t.vrc: File is either corrupt or not a valid compiled Vorn Script file");
}

} // namespace
} // namespace vorn
