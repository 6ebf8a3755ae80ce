// The assembler's bridge to the engine's section writers: it fills the
// engine's own tables (variable scopes, function table, localisation tables)
// from what the source declared and lets each table write its section.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/foundation/String.h"

namespace vorn {

class Dictionary;
class FunctionManager;
class LocalizedDictionary;
class LocalizedLanguages;
class TaggedFile;
class VariableHash;

struct PieceSource {
    uint32_t kind;
    int32_t text; // pool index
};

struct MessageSource {
    int32_t key; // pool index
    std::vector<PieceSource> pieces;
};

struct LanguageSource {
    std::string name; // the language table puts it into the pool itself
    std::vector<MessageSource> messages;
};

struct ParameterSource {
    int32_t name; // pool index
    uint32_t flags;
};

class SectionWriters {
public:
    // Names are pool indexes of the dictionary, which must already hold them.
    SectionWriters(Dictionary* dictionary, int32_t bitsSyst, int32_t bitsGlbl, int32_t bitsFunc, int32_t bitsLocl);
    ~SectionWriters();
    SectionWriters(const SectionWriters&) = delete;
    SectionWriters& operator=(const SectionWriters&) = delete;

    // Each entry takes the next index; false when it cannot.
    bool AddSystem(int32_t name);
    bool AddGlobal(int32_t name);
    // A function in the next slot; parameters take the first slots of its
    // locals, in order, and the locals follow.
    bool AddFunction(int32_t name, uint32_t flags, int32_t segment, int32_t offset,
                     const std::vector<ParameterSource>& parameters, const std::vector<int32_t>& locals);
    // A language in the next slot: its name goes into the pool, so languages
    // are added once every other text is there. False when it cannot be stored.
    bool AddLanguage(const LanguageSource& language);

    // Each writes its section(s); on failure why says why.
    bool WriteVariables(TaggedFile& file, uint32_t tag, String& why);
    bool WriteFunctions(TaggedFile& file, String& why);
    // "locl", every language's table, then "locd".
    bool WriteLocalisation(TaggedFile& file, String& why);

private:
    Dictionary* dictionary;
    VariableHash* system;
    VariableHash* globals;
    FunctionManager* functions;
    LocalizedLanguages* languages;
    LocalizedDictionary* pieces;
};

} // namespace vorn
