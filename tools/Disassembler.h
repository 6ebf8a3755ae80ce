// Turns a compiled .vrc program back into vrasm source, read through the
// engine's own loaders. A program that vrasm made comes back as text that
// assembles to the same bytes; anything the text cannot say (a shared or
// duplicated pool entry, parameters out of slot order, an unusual piece
// kind) is written as near as it can be, with a comment.
#pragma once

#include <cstdint>

#include "engine/foundation/String.h"

namespace vorn {

class Disassembler {
public:
    Disassembler();
    ~Disassembler();
    Disassembler(const Disassembler&) = delete;
    Disassembler& operator=(const Disassembler&) = delete;

    // The name is used in messages. On failure ErrorText says why.
    bool Disassemble(const uint8_t* bytes, int32_t length, const char* name);
    bool DisassembleFile(const char* path);

    const String& Text() const { return text; }
    const String& ErrorText() const { return error; }

private:
    String text;
    String error;
};

} // namespace vorn
