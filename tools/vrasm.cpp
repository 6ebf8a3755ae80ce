// vrasm: assembles a text program into a compiled .vrc file, or lists a
// compiled file as assembler text.
//
//   vrasm [-o OUTPUT] SOURCE     assemble
//   vrasm -d [-o OUTPUT] FILE    disassemble (to standard output without -o)
//
// Without -o the output of assembling is SOURCE with its extension replaced
// by .vrc. Errors go to standard error as "file:line: message"; the exit
// status is 0 on success, 1 for an error in the input or in writing, 2 for
// bad usage.
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/Assembler.h"
#include "tools/Disassembler.h"

namespace {

int Usage() {
    std::fputs("usage: vrasm [-o OUTPUT] SOURCE\n       vrasm -d [-o OUTPUT] FILE.vrc\n", stderr);
    return 2;
}

std::string DefaultOutput(const std::string& source) {
    size_t slash = source.find_last_of('/');
    size_t dot = source.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return source + ".vrc";
    return source.substr(0, dot) + ".vrc";
}

int Disassemble(const char* input, const char* output) {
    vorn::Disassembler disassembler;
    if (!disassembler.DisassembleFile(input)) {
        std::fprintf(stderr, "%s\n", disassembler.ErrorText().Text());
        return 1;
    }
    std::FILE* out = output ? std::fopen(output, "wb") : stdout;
    if (!out) {
        std::fprintf(stderr, "%s: cannot write\n", output);
        return 1;
    }
    const vorn::String& text = disassembler.Text();
    bool ok = std::fwrite(text.Text(), 1, static_cast<size_t>(text.Length()), out) ==
              static_cast<size_t>(text.Length());
    if (output && std::fclose(out) != 0) ok = false;
    if (!ok) {
        std::fprintf(stderr, "%s: cannot write\n", output ? output : "standard output");
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const char* source = nullptr;
    const char* output = nullptr;
    bool disassemble = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-o") == 0) {
            if (++i == argc || output) return Usage();
            output = argv[i];
        } else if (std::strcmp(argv[i], "-d") == 0) {
            disassemble = true;
        } else if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
            Usage();
            return 0;
        } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
            return Usage();
        } else if (source) {
            return Usage();
        } else {
            source = argv[i];
        }
    }
    if (!source) return Usage();
    if (disassemble) return Disassemble(source, output);
    std::string target = output ? output : DefaultOutput(source);
    if (target == source) {
        std::fprintf(stderr, "%s: the output would overwrite the source\n", source);
        return 2;
    }
    vorn::Assembler assembler;
    if (!assembler.AssembleFile(source, target.c_str())) {
        std::fprintf(stderr, "%s\n", assembler.ErrorText().Text());
        return 1;
    }
    return 0;
}
