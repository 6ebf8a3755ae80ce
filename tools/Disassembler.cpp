#include "tools/Disassembler.h"

#include <charconv>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/foundation/Hash.h"
#include "engine/program/Dictionary.h"
#include "engine/program/InstructionSet.h"
#include "engine/program/Segment.h"
#include "engine/program/TaggedFile.h"
#include "engine/values/FunctionManager.h"
#include "engine/values/Localisation.h"
#include "engine/values/VariableHash.h"
#include "engine/files/BufferFile.h"

namespace vorn {

namespace {

std::string Quote(const char* p, int32_t n) {
    std::string out = "\"";
    for (int32_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(p[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out + "\"";
}

// A name as a bare word when the assembler would read it back as that name.
std::string NameToken(const char* p, int32_t n) {
    bool plain = n > 0 && !(p[0] >= '0' && p[0] <= '9') && p[0] != '-' && p[0] != '+' && p[0] != '.' &&
                 p[0] != '&' && p[n - 1] != ':';
    for (int32_t i = 0; plain && i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(p[i]);
        plain = c > 0x20 && c < 0x7F && c != ';' && c != ',' && c != '(' && c != ')' && c != '{' && c != '}' &&
                c != '"' && c != ':';
    }
    return plain ? std::string(p, static_cast<size_t>(n)) : Quote(p, n);
}

std::string Hex(uint32_t v) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%x", v);
    return buffer;
}

std::string Real(double d) {
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, d);
    std::string out = ec == std::errc() ? std::string(buffer, end) : "0";
    // A number the assembler reads as a double either way, but keep it visibly one.
    if (out.find_first_of(".eEna") == std::string::npos) out += ".0";
    return out;
}

std::string TagToken(uint32_t tag) {
    char bytes[4] = {static_cast<char>(tag), static_cast<char>(tag >> 8), static_cast<char>(tag >> 16),
                     static_cast<char>(tag >> 24)};
    bool plain = true;
    for (char c : bytes)
        plain = plain && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'));
    if (plain && !(bytes[0] >= '0' && bytes[0] <= '9')) return std::string(bytes, 4);
    return Quote(bytes, 4);
}

std::string Lower(const char* p, int32_t n) {
    std::string out(p, static_cast<size_t>(n));
    for (char& c : out) c = static_cast<char>(AsciiLower(static_cast<unsigned char>(c)));
    return out;
}

bool IsStandard(uint32_t tag) {
    return tag == kSectionDict || tag == kSectionSyst || tag == kSectionGlbl || tag == kSectionLocl ||
           tag == kSectionLocd || tag == kSectionSegs || tag == kSectionFunc;
}

struct Writer {
    std::string out;
    void Line(const std::string& text) { out += text + "\n"; }
};

class Program {
public:
    explicit Program(const char* name) : name(name) {}

    bool Open(const uint8_t* bytes, int32_t length) {
        auto* f = new BufferFile(name.c_str(), bytes, length);
        if (!file.OpenRead(name.c_str(), f)) {
            delete f;
            return Fail(file.ErrorText());
        }
        for (int32_t i = 0; i < file.EntryCount(); ++i) present.insert(file.EntryAt(i)->tag);
        if (Has(kSectionDict) && !dictionary.ReadChunk(file)) return Fail("dict", dictionary.ErrorText());
        if (Has(kSectionSyst) && !system.LoadSection(file, kSectionSyst)) return Fail("syst", system.Label());
        if (Has(kSectionGlbl) && !globals.LoadSection(file, kSectionGlbl)) return Fail("glbl", globals.Label());
        if (Has(kSectionLocl) && !languages.Load()) return Fail("locl", languages.ErrorText());
        if (Has(kSectionLocd) && !pieces.Load(file)) return Fail("locd", pieces.ErrorText());
        if (Has(kSectionSegs) && !segments.Load(file)) return Fail("segs", segments.ErrorText());
        if (Has(kSectionFunc) && !functions.ReadChunk(file)) return Fail("func", functions.ErrorText());
        return true;
    }

    std::string Source() {
        Writer w;
        w.Line("; vrasm source of " + name);
        Header(w);
        Pool(w);
        Variables(w, ".system", system);
        Variables(w, ".global", globals);
        Functions(w);
        if (Has(kSectionSegs))
            for (int32_t i = 0; i < segments.Count(); ++i) Code(w, i);
        Languages(w);
        Extras(w);
        return w.out;
    }

    std::string error;

private:
    bool Has(uint32_t tag) const { return present.count(tag) != 0; }

    bool Fail(const String& why) {
        error = name + ": " + why.Text();
        return false;
    }
    bool Fail(const char* section, const String& why) {
        error = name + ": section '" + section + "': " + why.Text();
        return false;
    }

    std::string PoolText(int32_t index) const {
        int32_t length = 0;
        const char* text = dictionary.Get(index, &length);
        return text ? std::string(text, static_cast<size_t>(length)) : std::string();
    }

    // The pool entry as "text" when the assembler would give that text this
    // very index, else the raw index.
    std::string StringOperand(int32_t index) const {
        int32_t length = 0;
        const char* text = dictionary.Get(index, &length);
        if (text) {
            auto found = firstIndex.find(std::string(text, static_cast<size_t>(length)));
            if (found != firstIndex.end() && found->second == index) return Quote(text, length);
        }
        return std::to_string(index);
    }

    void Header(Writer& w) {
        w.Line(".version " + Hex(file.Version()));
        const uint8_t* block = file.HeaderBlock();
        bool zero = true;
        for (int i = 0; i < 16; ++i) zero = zero && block[i] == 0;
        if (!zero) {
            std::string line = ".block";
            for (int i = 0; i < 16; ++i) line += " " + Hex(block[i]);
            w.Line(line);
        }
        if (dictionary.HeaderWord() != 0) w.Line(".dictword " + Hex(dictionary.HeaderWord()));
        if (Has(kSectionSyst) && system.Bits() != kScopeBits) w.Line(".bits syst " + std::to_string(system.Bits()));
        if (Has(kSectionGlbl) && globals.Bits() != kScopeBits) w.Line(".bits glbl " + std::to_string(globals.Bits()));
        if (Has(kSectionFunc) && functions.Bits() != 8) w.Line(".bits func " + std::to_string(functions.Bits()));
        if (Has(kSectionLocl) && languages.Languages().Bits() != kLanguageBits)
            w.Line(".bits locl " + std::to_string(languages.Languages().Bits()));
        const uint32_t standard[] = {kSectionDict, kSectionSyst, kSectionGlbl, kSectionLocl,
                                     kSectionLocd, kSectionSegs, kSectionFunc};
        for (uint32_t tag : standard)
            if (!Has(tag)) w.Line(".omit " + TagToken(tag));
        for (int32_t s = 0; s < languages.Count(); ++s)
            if (!Has(LanguageSectionTag(s))) w.Line(".omit " + TagToken(LanguageSectionTag(s)));
    }

    // Every pool text in index order, so that the assembler hands out the
    // same indexes; language names come last, added by the language table.
    void Pool(Writer& w) {
        std::set<int32_t> languageNames;
        for (int32_t s = 0; s < languages.Count(); ++s)
            if (LocalizedLanguage* l = languages.At(s)) languageNames.insert(l->key);
        for (int32_t i = 0; i < dictionary.Count(); ++i) {
            if (languageNames.count(i)) continue;
            std::string text = PoolText(i);
            std::string line = ".string " + Quote(text.data(), static_cast<int32_t>(text.size()));
            auto [at, added] = firstIndex.emplace(text, i);
            line += "  ; " + std::to_string(i);
            if (!added) line += " (same text as " + std::to_string(at->second) + ": not reproduced)";
            w.Line(line);
        }
    }

    void Variables(Writer& w, const char* directive, VariableHash& table) {
        auto& names = &table == &system ? systemNames : globalNames;
        for (int32_t i = 0; i < table.EntryCount(); ++i) {
            int32_t length = 0;
            const char* text = table.EntryName(i, &length);
            if (!text) {
                w.Line(std::string("; entry ") + std::to_string(i) + " of " + (directive + 1) + " has no name");
                continue;
            }
            names.emplace(Lower(text, length), i);
            w.Line(std::string(directive) + " " + NameToken(text, length) + "  ; " + std::to_string(i));
        }
    }

    static std::string Reference(const std::unordered_map<std::string, int32_t>& names, const char* text,
                                 int32_t length, int32_t index) {
        if (text) {
            auto found = names.find(Lower(text, length));
            if (found != names.end() && found->second == index) return NameToken(text, length);
        }
        return std::to_string(index);
    }

    void Functions(Writer& w) {
        for (int32_t slot = 0; slot < functions.Used(); ++slot) {
            Function* f = functions.At(slot);
            if (!f) continue;
            functionNames.emplace(Lower(f->name.Text(), f->name.Length()), slot);
            std::string params;
            int32_t expectedSlot = 0;
            bool inOrder = true;
            for (FunctionParameter* p = f->Parameters().First(); p; p = f->Parameters().Next()) {
                if (!params.empty()) params += ", ";
                std::string item = NameToken(p->name.Text(), p->name.Length());
                if (item[0] == '"') {
                    if (p->flags) inOrder = false; // a quoted name carries no '&' or flags
                } else {
                    if (p->flags & kParameterByReference) item = "&" + item;
                    if (p->flags & ~kParameterByReference) item += ":" + Hex(p->flags & ~kParameterByReference);
                }
                params += item;
                if (p->slot != expectedSlot++) inOrder = false;
            }
            bool external = f->IsExternal() && f->segment == -1 && f->offset == -1;
            std::string line = std::string(external ? ".extern " : ".function ") +
                               NameToken(f->name.Text(), f->name.Length()) + "(" + params + ")";
            uint32_t flags = external ? f->flags & ~kFunctionExternal : f->flags;
            if (flags) line += " flags " + Hex(flags);
            if (!external) line += " at " + std::to_string(f->segment) + " " + std::to_string(f->offset);
            line += "  ; slot " + std::to_string(slot);
            if (!inOrder) line += " (parameters not reproduced exactly)";
            w.Line(line);
            VariableHash* locals = f->Locals();
            if (external) {
                if (locals->EntryCount() > f->Parameters().Count())
                    w.Line("; locals of an external function are not reproduced");
                continue;
            }
            for (int32_t i = f->Parameters().Count(); i < locals->EntryCount(); ++i) {
                int32_t length = 0;
                const char* text = locals->EntryName(i, &length);
                if (text) w.Line(".local " + NameToken(text, length) + "  ; " + std::to_string(i));
            }
        }
    }

    // The function whose code covers this place, for naming locals.
    Function* FunctionAt(int32_t segment, int32_t pc) const {
        Function* best = nullptr;
        for (int32_t slot = 0; slot < functions.Used(); ++slot) {
            Function* f = functions.At(slot);
            if (f && !f->IsExternal() && f->segment == segment && f->offset <= pc && (!best || f->offset > best->offset))
                best = f;
        }
        return best;
    }

    std::string Operand(OperandKind kind, int32_t value, double number, int64_t end, int32_t segment, int32_t pc,
                        const std::set<int64_t>& starts, std::string& comment) {
        switch (kind) {
        case OperandKind::Double: return Real(number);
        case OperandKind::String: return StringOperand(value);
        case OperandKind::Jump: {
            int64_t target = end + value;
            if (starts.count(target)) return "L" + std::to_string(target);
            return std::to_string(value);
        }
        case OperandKind::System:
        case OperandKind::Global: {
            bool isSystem = kind == OperandKind::System;
            int32_t length = 0;
            const char* text = (isSystem ? system : globals).EntryName(value, &length);
            return Reference(isSystem ? systemNames : globalNames, text, length, value);
        }
        case OperandKind::Function: {
            Function* f = functions.At(value);
            if (!f) return std::to_string(value);
            return Reference(functionNames, f->name.Text(), f->name.Length(), value);
        }
        case OperandKind::Local: {
            // Written as a number: the assembler names locals only inside a
            // function body, and these functions are declared up front.
            Function* f = FunctionAt(segment, pc);
            int32_t length = 0;
            const char* text = f ? f->Locals()->EntryName(value, &length) : nullptr;
            if (text) comment += " " + std::string(text, static_cast<size_t>(length));
            return std::to_string(value);
        }
        default: return std::to_string(value);
        }
    }

    void Code(Writer& w, int32_t index) {
        Segment* s = segments.SegmentAt(index);
        w.Line("");
        w.Line(".segment s" + std::to_string(index) + (index == segments.Current() ? " entry" : ""));
        const uint8_t* code = s ? s->Code() : nullptr;
        int32_t used = s ? s->Used() : 0;
        std::set<int64_t> starts;
        std::vector<DecodedInstruction> decoded;
        int32_t pc = 0;
        DecodedInstruction d;
        while (pc < used && DecodeInstruction(code + pc, used - pc, &d)) {
            starts.insert(pc);
            decoded.push_back(d);
            pc += d.length;
        }
        int32_t tail = pc;
        starts.insert(tail);
        std::set<int64_t> targets;
        pc = 0;
        for (const DecodedInstruction& i : decoded) {
            pc += i.length;
            if (i.info && i.info->a == OperandKind::Jump && starts.count(static_cast<int64_t>(pc) + i.immA))
                targets.insert(static_cast<int64_t>(pc) + i.immA);
        }
        pc = 0;
        for (const DecodedInstruction& i : decoded) {
            for (int32_t slot = 0; slot < functions.Used(); ++slot) {
                Function* f = functions.At(slot);
                if (f && !f->IsExternal() && f->segment == index && f->offset == pc)
                    w.Line("; function " + std::string(f->name.Text()));
            }
            if (targets.count(pc)) w.Line("L" + std::to_string(pc) + ":");
            int64_t end = static_cast<int64_t>(pc) + i.length;
            std::string line;
            std::string comment;
            if (i.info) {
                line = std::string("    ") + i.info->mnemonic;
                if (i.info->a != OperandKind::None)
                    line += " " + Operand(i.info->a, i.immA, i.immADouble, end, index, pc, targets, comment);
                if (i.info->b != OperandKind::None)
                    line += ", " + Operand(i.info->b, i.immB, i.immBDouble, end, index, pc, targets, comment);
            } else {
                line = "    .word " + Hex(i.word);
                ImmediateKind a = ImmediateKindA(i.word);
                ImmediateKind b = ImmediateKindB(i.word);
                if (a == ImmediateKind::Integer) line += " " + std::to_string(i.immA);
                if (a == ImmediateKind::Double) line += " " + Real(i.immADouble);
                if (b == ImmediateKind::Integer) line += " " + std::to_string(i.immB);
                if (b == ImmediateKind::Double) line += " " + Real(i.immBDouble);
                comment = " illegal word";
            }
            if (!comment.empty()) line += "  ;" + comment;
            w.Line(line);
            pc += i.length;
        }
        if (targets.count(tail)) w.Line("L" + std::to_string(tail) + ":");
        if (tail < used) {
            std::string line = "    .bytes";
            for (int32_t k = tail; k < used; ++k) line += " " + Hex(code[k]);
            w.Line(line + "  ; an incomplete instruction");
        }
        w.Line(".end");
    }

    void Languages(Writer& w) {
        for (int32_t s = 0; s < languages.Count(); ++s) {
            LocalizedLanguage* language = languages.At(s);
            std::string languageName = PoolText(language->key);
            w.Line("");
            w.Line(".language " + NameToken(languageName.data(), static_cast<int32_t>(languageName.size())));
            LocalizedIndex* index = languages.Table(s);
            const PooledKeyTable<LocalizedMessage>& table = index->Table();
            for (int32_t m = 0; m < table.Used(); ++m) {
                const LocalizedMessage* message = table.At(m);
                std::string key = PoolText(message->key);
                std::string line = ".message " + StringOperand(message->key);
                if (line.back() != '"') line = ".message " + Quote(key.data(), static_cast<int32_t>(key.size()));
                std::string comment;
                uint32_t piece = message->firstPiece;
                for (int32_t guard = 0; piece != kLocalizedEnd && guard <= pieces.Count(); ++guard) {
                    const LocalizedPiece* p = pieces.EntryAt(piece);
                    if (!p) break;
                    std::string text = PoolText(static_cast<int32_t>(p->text));
                    if (p->kind == kPieceToken && text.find_first_of("}\n") == std::string::npos) {
                        line += " {" + text + "}";
                    } else {
                        line += " " + StringOperand(static_cast<int32_t>(p->text));
                        if (p->kind != kPieceText) comment += " piece kind " + std::to_string(p->kind);
                    }
                    piece = p->next;
                }
                if (!comment.empty()) line += "  ;" + comment + " not reproduced";
                w.Line(line);
            }
            w.Line(".end");
        }
    }

    // Sections the loaders do not read, kept as raw data before or after
    // the others, where they were.
    void Extras(Writer& w) {
        std::set<uint32_t> seen;
        bool afterStandard = false;
        for (int32_t i = 0; i < file.EntryCount(); ++i) {
            const TaggedFileEntry* e = file.EntryAt(i);
            bool language = (e->tag & 0xFFFF) == (LanguageSectionTag(0) & 0xFFFF) &&
                            static_cast<int32_t>(e->tag >> 16) < languages.Count();
            if (!seen.insert(e->tag).second) {
                w.Line("; a second section " + TagToken(e->tag) + " is hidden by the first and not reproduced");
                continue;
            }
            if (IsStandard(e->tag) || language) {
                afterStandard = true;
                continue;
            }
            if (e->length > 0x40000000) {
                w.Line("; section " + TagToken(e->tag) + " is too long to list");
                continue;
            }
            w.Line("");
            w.Line(".raw " + TagToken(e->tag) + (afterStandard ? " last" : ""));
            std::vector<uint8_t> bytes(e->length);
            int32_t got = e->length ? file.ReadAt(e->tag, 0, bytes.data(), static_cast<int32_t>(e->length)) : 0;
            for (int32_t k = 0; k < got; k += 16) {
                std::string line = "    .bytes";
                for (int32_t j = k; j < got && j < k + 16; ++j) line += " " + Hex(bytes[static_cast<size_t>(j)]);
                w.Line(line);
            }
            w.Line(".end");
        }
    }

    std::string name;
    TaggedFile file{nullptr};
    Dictionary dictionary;
    VariableHash system{&dictionary, kScopeBits, kScopeCapacity};
    VariableHash globals{&dictionary, kScopeBits, kScopeCapacity};
    LocalizedLanguages languages{nullptr, &dictionary, &file, kLanguageBits, kLanguageGrowth};
    LocalizedDictionary pieces;
    SegmentManager segments;
    FunctionManager functions{&dictionary, 8};
    std::set<uint32_t> present;
    std::map<std::string, int32_t> firstIndex;
    std::unordered_map<std::string, int32_t> systemNames;
    std::unordered_map<std::string, int32_t> globalNames;
    std::unordered_map<std::string, int32_t> functionNames;
};

} // namespace

Disassembler::Disassembler() = default;

Disassembler::~Disassembler() = default;

bool Disassembler::Disassemble(const uint8_t* bytes, int32_t length, const char* name) {
    text.Assign("");
    error.Assign("");
    Program program(name ? name : "<program>");
    if (!program.Open(bytes, length < 0 ? 0 : length)) {
        error.Assign(program.error.data(), static_cast<int32_t>(program.error.size()));
        return false;
    }
    std::string source = program.Source();
    text.Assign(source.data(), static_cast<int32_t>(source.size()));
    return true;
}

bool Disassembler::DisassembleFile(const char* path) {
    std::FILE* in = std::fopen(path, "rb");
    if (!in) {
        error.Assign((std::string(path) + ": cannot open").c_str());
        return false;
    }
    std::vector<uint8_t> bytes;
    uint8_t buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, in)) > 0 && bytes.size() < 0x40000000)
        bytes.insert(bytes.end(), buffer, buffer + got);
    bool failed = std::ferror(in) != 0 || bytes.size() >= 0x40000000;
    std::fclose(in);
    if (failed) {
        error.Assign((std::string(path) + ": cannot read").c_str());
        return false;
    }
    return Disassemble(bytes.data(), static_cast<int32_t>(bytes.size()), path);
}

} // namespace vorn
