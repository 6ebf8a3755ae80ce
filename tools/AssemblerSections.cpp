#include "tools/AssemblerSections.h"

#include "engine/program/Dictionary.h"
#include "engine/program/TaggedFile.h"
#include "engine/values/FunctionManager.h"
#include "engine/values/Localisation.h"
#include "engine/values/VariableHash.h"

namespace vorn {

SectionWriters::SectionWriters(Dictionary* dictionary, int32_t bitsSyst, int32_t bitsGlbl, int32_t bitsFunc,
                               int32_t bitsLocl)
    : dictionary(dictionary),
      system(new VariableHash(dictionary, bitsSyst, kScopeCapacity)),
      globals(new VariableHash(dictionary, bitsGlbl, kScopeCapacity)),
      functions(new FunctionManager(dictionary, bitsFunc)),
      languages(new LocalizedLanguages(nullptr, dictionary, nullptr, bitsLocl, kLanguageGrowth)),
      pieces(new LocalizedDictionary) {}

SectionWriters::~SectionWriters() {
    delete pieces;
    delete languages;
    delete functions;
    delete globals;
    delete system;
}

// Entries are numbered in the order they are added; the bytecode already
// holds those numbers, so anything else is a failure.
bool SectionWriters::AddSystem(int32_t name) {
    int32_t expected = system->EntryCount();
    return system->AddName(name) == expected;
}

bool SectionWriters::AddGlobal(int32_t name) {
    int32_t expected = globals->EntryCount();
    return globals->AddName(name) == expected;
}

bool SectionWriters::AddFunction(int32_t name, uint32_t flags, int32_t segment, int32_t offset,
                                 const std::vector<ParameterSource>& parameters, const std::vector<int32_t>& locals) {
    int32_t length = 0;
    const char* text = dictionary->Get(name, &length);
    if (!text) return false;
    // Built by hand rather than with AddFunction/AddParameter, which would
    // add each name to the pool again: the assembler keeps one entry per text.
    auto* function = new Function(functions->Used(), flags, name, text, length, segment, offset, dictionary);
    functions->Insert(function, text, length);
    for (const ParameterSource& p : parameters) {
        int32_t nameLength = 0;
        const char* parameterName = dictionary->Get(p.name, &nameLength);
        int32_t expected = function->Locals()->EntryCount();
        int32_t slot = function->Locals()->AddName(p.name);
        if (!parameterName || slot != expected) return false;
        function->Parameters().Insert(new FunctionParameter(slot, p.name, parameterName, nameLength, p.flags),
                                      kListTail);
    }
    for (int32_t local : locals) {
        int32_t expected = function->Locals()->EntryCount();
        if (function->Locals()->AddName(local) != expected) return false;
    }
    return true;
}

bool SectionWriters::AddLanguage(const LanguageSource& language) {
    int32_t slot = languages->AddLanguage(language.name.data(), static_cast<int32_t>(language.name.size()));
    LocalizedIndex* table = slot < 0 ? nullptr : languages->Table(slot);
    if (!table) return false;
    for (const MessageSource& message : language.messages) {
        std::vector<uint32_t> kinds;
        std::vector<uint32_t> texts;
        for (const PieceSource& piece : message.pieces) {
            kinds.push_back(piece.kind);
            texts.push_back(static_cast<uint32_t>(piece.text));
        }
        uint32_t first = pieces->AddChain(kinds.data(), texts.data(), static_cast<int32_t>(kinds.size()));
        if (first == kLocalizedEnd && !kinds.empty()) return false;
        if (table->Insert(message.key, first) < 0) return false;
    }
    return true;
}

bool SectionWriters::WriteVariables(TaggedFile& file, uint32_t tag, String& why) {
    VariableHash* table = tag == kSectionSyst ? system : globals;
    if (table->SaveSection(file, tag)) return true;
    why = table->Label();
    return false;
}

bool SectionWriters::WriteFunctions(TaggedFile& file, String& why) {
    if (functions->WriteChunk(file)) return true;
    why = functions->ErrorText();
    return false;
}

bool SectionWriters::WriteLocalisation(TaggedFile& file, String& why) {
    if (!languages->Save(file)) {
        why = languages->ErrorText();
        return false;
    }
    if (!pieces->Save(file)) {
        why = pieces->ErrorText();
        return false;
    }
    return true;
}

} // namespace vorn
