// The vrasm assembler: turns a small line-oriented text into a compiled .vrc
// program. The text names pool strings, variables, functions, segments,
// labels and localised messages; the bytes are produced by the engine's own
// section writers, so an assembled file is exactly what the loaders expect.
// The format is described in tools/README.md.
#pragma once

#include <cstdint>

#include "engine/foundation/String.h"

namespace vorn {

class Assembler {
public:
    Assembler();
    ~Assembler();
    Assembler(const Assembler&) = delete;
    Assembler& operator=(const Assembler&) = delete;

    // Assembles the text (length -1: up to the NUL). The file name is used
    // only in error messages. On failure ErrorText is "file:line: message"
    // and there is no output.
    bool Assemble(const char* source, int32_t length, const char* fileName);
    // Reads the source file and writes the compiled program to outputPath.
    bool AssembleFile(const char* sourcePath, const char* outputPath);

    const String& ErrorText() const;
    // The compiled program of the last successful Assemble.
    const uint8_t* Output() const;
    int32_t OutputLength() const;

    // What the last assembly handed out, for listings and tests; -1 when the
    // name is unknown.
    int32_t PoolIndex(const char* text, int32_t length) const;
    int32_t GlobalIndex(const char* name) const;
    int32_t SystemIndex(const char* name) const;
    int32_t FunctionSlot(const char* name) const;
    int32_t SegmentIndex(const char* name) const;
    // The offset of a label in a segment.
    int32_t LabelOffset(const char* segment, const char* label) const;

private:
    struct State;
    State* state;
};

} // namespace vorn
