// Loads an assembled program back with the engine's own loaders, in the
// order a request loads it.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "engine/program/Dictionary.h"
#include "engine/program/InstructionSet.h"
#include "engine/program/Segment.h"
#include "engine/program/TaggedFile.h"
#include "engine/values/FunctionManager.h"
#include "engine/values/VariableHash.h"
#include "tools/Assembler.h"
#include "engine/files/BufferFile.h"

namespace vorn::test {

using Bytes = std::vector<uint8_t>;

inline Bytes Assembled(const std::string& source) {
    Assembler assembler;
    bool ok = assembler.Assemble(source.data(), static_cast<int32_t>(source.size()), "t.vr");
    EXPECT_TRUE(ok) << assembler.ErrorText().Text();
    return Bytes(assembler.Output(), assembler.Output() + assembler.OutputLength());
}

// The error text, or "" when the source assembled.
inline std::string AssemblyError(const std::string& source) {
    Assembler assembler;
    if (assembler.Assemble(source.data(), static_cast<int32_t>(source.size()), "t.vr")) return "";
    EXPECT_EQ(assembler.OutputLength(), 0);
    return assembler.ErrorText().Text();
}

// vrasm takes labels only for the jump words, so the displacements of the tag
// words are written "@label" and resolved here from the instruction lengths
// (labels must be unique in the source; a segment starts at offset 0).
inline std::string ResolveTagJumps(const std::string& source) {
    std::vector<std::string> lines;
    std::stringstream in(source);
    for (std::string line; std::getline(in, line);) lines.push_back(line);

    std::map<std::string, int32_t> labels;
    std::vector<int32_t> ends(lines.size(), -1);
    int32_t offset = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string code;
        bool quoted = false;
        for (char c : lines[i]) {
            if (c == '"') quoted = !quoted;
            if (c == ';' && !quoted) break;
            code += c;
        }
        std::stringstream words(code);
        std::string word;
        while (words >> word && word.back() == ':') {
            labels[word.substr(0, word.size() - 1)] = offset;
            word.clear();
        }
        if (word.empty()) continue;
        if (word[0] == '.') {
            if (word == ".segment") offset = 0;
            continue;
        }
        const InstructionInfo* info = FindMnemonic(word.c_str(), -1);
        EXPECT_NE(info, nullptr) << word;
        if (!info) continue;
        offset += InstructionLength(info->word);
        if (code.find('@') != std::string::npos) ends[i] = offset;
    }
    std::string out;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string line = lines[i];
        size_t at = ends[i] >= 0 ? line.find('@') : std::string::npos;
        if (at != std::string::npos) {
            size_t stop = at + 1;
            auto inName = [&](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
            while (stop < line.size() && inName(line[stop])) ++stop;
            std::string name = line.substr(at + 1, stop - at - 1);
            EXPECT_EQ(labels.count(name), 1u) << "no label " << name;
            line.replace(at, stop - at, std::to_string(labels[name] - ends[i]));
        }
        out += line + "\n";
    }
    return out;
}

struct LoadedProgram {
    TaggedFile file{nullptr};
    Dictionary dictionary;
    VariableHash system{&dictionary, kScopeBits, kScopeCapacity};
    VariableHash globals{&dictionary, kScopeBits, kScopeCapacity};
    SegmentManager segments;
    FunctionManager functions{&dictionary, 8};
    bool opened = false;

    explicit LoadedProgram(const Bytes& bytes) {
        auto* f = new BufferFile("t.vrc", bytes.data(), static_cast<int32_t>(bytes.size()));
        opened = file.OpenRead("t.vrc", f);
        if (!opened) delete f;
    }

    // dict, syst, glbl, segs, func: true when every one loaded.
    bool LoadAll() {
        return opened && dictionary.ReadChunk(file) && system.LoadSection(file, kSectionSyst) &&
               globals.LoadSection(file, kSectionGlbl) && segments.Load(file) && functions.ReadChunk(file);
    }

    std::string Text(int32_t index) const {
        int32_t length = 0;
        const char* text = dictionary.Get(index, &length);
        return text ? std::string(text, static_cast<size_t>(length)) : std::string("<none>");
    }

    // The instructions of a segment, decoded in order.
    std::vector<DecodedInstruction> Code(int32_t segment) {
        std::vector<DecodedInstruction> out;
        Segment* s = segments.SegmentAt(segment);
        if (!s) return out;
        int32_t pc = 0;
        DecodedInstruction d;
        while (pc < s->Used() && DecodeInstruction(s->Code() + pc, s->Used() - pc, &d)) {
            out.push_back(d);
            pc += d.length;
        }
        EXPECT_EQ(pc, s->Used()) << "segment " << segment << " ends inside an instruction";
        return out;
    }
};

} // namespace vorn::test
