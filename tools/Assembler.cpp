#include "tools/Assembler.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/foundation/Hash.h"
#include "engine/foundation/LittleEndian.h"
#include "engine/program/Dictionary.h"
#include "engine/program/InstructionSet.h"
#include "engine/program/Segment.h"
#include "engine/program/TaggedFile.h"
#include "engine/values/FunctionManager.h"
#include "engine/values/Localisation.h"
#include "engine/vm/ExpressionCompiler.h"
#include "tools/AssemblerSections.h"
#include "engine/files/BufferFile.h"

namespace vorn {

namespace {

using Bytes = std::vector<uint8_t>;

// Bucket bits above 16 cannot be stored: bucket records hold a 16-bit index.
constexpr int32_t kMaxBucketBits = 16;
// Keeps every offset comfortably inside the container's signed 32-bit range.
constexpr size_t kMaxBytes = 0x40000000;

struct Token {
    enum Kind { Word, Text, Comma, Open, Close, Brace };
    Kind kind;
    std::string text;
};

std::string Lower(const std::string& s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(AsciiLower(static_cast<unsigned char>(c)));
    return out;
}

// A name or word as it appears in a message: printable and not too long.
std::string Shown(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size() && i < 40; ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    if (s.size() > 40) out += "...";
    return out;
}

bool IsDelimiter(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v' || c == ';' || c == ',' || c == '(' ||
           c == ')' || c == '{' || c == '}' || c == '"';
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool Tokenize(const char* p, const char* end, std::vector<Token>& out, std::string& error) {
    while (p < end) {
        char c = *p;
        if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
            ++p;
        } else if (c == ';') {
            break;
        } else if (c == ',') {
            out.push_back({Token::Comma, ","});
            ++p;
        } else if (c == '(') {
            out.push_back({Token::Open, "("});
            ++p;
        } else if (c == ')') {
            out.push_back({Token::Close, ")"});
            ++p;
        } else if (c == '{') {
            const char* q = p + 1;
            while (q < end && *q != '}') ++q;
            if (q == end) {
                error = "unterminated '{'";
                return false;
            }
            out.push_back({Token::Brace, std::string(p + 1, q)});
            p = q + 1;
        } else if (c == '}') {
            error = "unexpected '}'";
            return false;
        } else if (c == '"') {
            std::string text;
            ++p;
            for (;;) {
                if (p == end) {
                    error = "unterminated string";
                    return false;
                }
                char d = *p++;
                if (d == '"') break;
                if (d != '\\') {
                    text += d;
                    continue;
                }
                if (p == end) {
                    error = "unterminated string";
                    return false;
                }
                char e = *p++;
                switch (e) {
                case '\\': text += '\\'; break;
                case '"': text += '"'; break;
                case 'n': text += '\n'; break;
                case 'r': text += '\r'; break;
                case 't': text += '\t'; break;
                case '0': text += '\0'; break;
                case 'x': {
                    int hi = p < end ? HexDigit(p[0]) : -1;
                    int lo = p + 1 < end ? HexDigit(p[1]) : -1;
                    if (hi < 0 || lo < 0) {
                        error = "'\\x' needs two hex digits";
                        return false;
                    }
                    text += static_cast<char>(hi * 16 + lo);
                    p += 2;
                    break;
                }
                default:
                    error = "unknown escape '\\" + Shown(std::string(1, e)) + "'";
                    return false;
                }
            }
            out.push_back({Token::Text, std::move(text)});
        } else {
            const char* q = p;
            while (q < end && !IsDelimiter(*q)) ++q;
            out.push_back({Token::Word, std::string(p, q)});
            p = q;
        }
    }
    return true;
}

// Decimal or 0x hexadecimal, with an optional sign; false when the word is
// not a number or its magnitude passes 2^40.
bool ParseInteger(const std::string& w, int64_t* out) {
    size_t i = 0;
    bool negative = false;
    if (i < w.size() && (w[i] == '-' || w[i] == '+')) negative = w[i++] == '-';
    int base = 10;
    if (i + 1 < w.size() && w[i] == '0' && (w[i + 1] == 'x' || w[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i == w.size()) return false;
    int64_t value = 0;
    for (; i < w.size(); ++i) {
        int d = HexDigit(w[i]);
        if (d < 0 || d >= base) return false;
        value = value * base + d;
        if (value > (int64_t{1} << 40)) return false;
    }
    *out = negative ? -value : value;
    return true;
}

bool LooksNumeric(const std::string& w) {
    size_t i = (!w.empty() && (w[0] == '-' || w[0] == '+')) ? 1 : 0;
    return i < w.size() && w[i] >= '0' && w[i] <= '9';
}

bool ParseDouble(const std::string& w, double* out) {
    const char* begin = w.data();
    const char* end = begin + w.size();
    if (begin < end && *begin == '+') ++begin;
    if (begin == end) return false;
    auto [ptr, ec] = std::from_chars(begin, end, *out);
    return ec == std::errc() && ptr == end;
}

// Tag words whose integer is the distance to the end of their block (or back
// to its body), counted from the end of the word as a jump's is.
bool CarriesDistance(uint16_t word) {
    switch (word) {
    case Op_import:
    case Op_importf:
    case Op_import_loop:
    case Op_import_stop:
    case Op_op_commerce:
    case Op_op_commerce_loop:
    case Op_op_commerce_stop: return true;
    default: return false;
    }
}

enum class Block { None, Segment, Raw, Language };

struct Param {
    std::string name;
    int32_t pool;
    uint32_t flags;
};

struct FunctionDecl {
    std::string name;
    int32_t pool = -1;
    uint32_t flags = 0;
    int32_t segment = -1;
    int32_t offset = -1;
    std::string atSegment; // a segment named by 'at', resolved at the end
    std::vector<Param> params;
    std::vector<std::string> locals;
    std::vector<int32_t> localPools;
    std::unordered_map<std::string, int32_t> slots; // lowered name -> slot in locals
    int line = 0;
};

struct SegmentDecl {
    std::string name;
    Bytes code;
    std::unordered_map<std::string, int32_t> labels;
    int line = 0;
};

// A symbolic immediate resolved once the whole text has been read.
struct Fixup {
    int32_t segment;
    int32_t at;  // offset of the immediate in the segment
    int32_t end; // offset after the instruction, for jumps
    OperandKind kind;
    std::string name;
    int32_t function;
    int line;
};

struct RawSection {
    uint32_t tag;
    bool last;
    Bytes bytes;
};

struct Patch {
    int64_t offset;
    Bytes bytes;
    int line;
};

struct NameTable {
    std::vector<std::string> names;
    std::vector<int32_t> pools;
    std::unordered_map<std::string, int32_t> index; // lowered
};

} // namespace

struct Assembler::State {
    // Results.
    String error;
    Bytes output;

    // The source being read.
    std::string fileName;
    int line = 0;
    Block block = Block::None;
    int32_t current = -1;  // the open segment, raw section or language
    int32_t function = -1; // the function whose locals .local extends

    // Header.
    uint32_t version = 0;
    uint8_t headerBlock[16] = {};
    uint32_t dictWord = 0;
    int32_t bitsSyst = 12;
    int32_t bitsGlbl = 12;
    int32_t bitsFunc = 8;
    int32_t bitsLocl = kLanguageBits;

    // Declarations.
    std::vector<std::string> pool;
    std::map<std::string, int32_t> poolIndex;
    NameTable system;
    NameTable globals;
    std::vector<FunctionDecl> functions;
    std::unordered_map<std::string, int32_t> functionIndex;
    std::vector<SegmentDecl> segments;
    std::unordered_map<std::string, int32_t> segmentIndex;
    std::string entryName;
    int entryLine = 0;
    std::vector<Fixup> fixups;
    std::vector<LanguageSource> languages;
    std::unordered_map<std::string, int32_t> languageIndex;
    std::vector<std::unordered_map<std::string, int32_t>> messageKeys;
    std::vector<RawSection> raws;
    std::vector<uint32_t> omitted;
    std::vector<Patch> patches;
    int64_t truncateTo = -1;
    int truncateLine = 0;

    // ------------------------------------------------------------------------

    bool Fail(int atLine, const std::string& message) {
        std::string text = fileName + ":" + std::to_string(atLine) + ": " + message;
        error.Assign(text.data(), static_cast<int32_t>(text.size()));
        return false;
    }
    bool Fail(const std::string& message) { return Fail(line, message); }

    int32_t Intern(const std::string& text) {
        auto found = poolIndex.find(text);
        if (found != poolIndex.end()) return found->second;
        int32_t index = static_cast<int32_t>(pool.size());
        pool.push_back(text);
        poolIndex.emplace(text, index);
        return index;
    }

    bool Omitted(uint32_t tag) const {
        for (uint32_t t : omitted)
            if (t == tag) return true;
        return false;
    }

    // --- Operand helpers --------------------------------------------------------

    bool Number(const Token& t, int64_t low, int64_t high, int64_t* out, const char* what) {
        int64_t value;
        if (t.kind != Token::Word || !ParseInteger(t.text, &value))
            return Fail(std::string("expected ") + what + ", found '" + Shown(t.text) + "'");
        if (value < low || value > high) return Fail(std::string(what) + " out of range: " + Shown(t.text));
        *out = value;
        return true;
    }

    // A 32-bit field: signed or unsigned values are both accepted.
    bool Word32(const Token& t, uint32_t* out, const char* what = "a number") {
        int64_t value;
        if (!Number(t, INT32_MIN, UINT32_MAX, &value, what)) return false;
        *out = static_cast<uint32_t>(value);
        return true;
    }

    bool Name(const Token& t, std::string* out, const char* what) {
        if (t.kind == Token::Text || (t.kind == Token::Word && !LooksNumeric(t.text))) {
            if (t.text.empty()) return Fail(std::string("empty ") + what);
            *out = t.text;
            return true;
        }
        return Fail(std::string("expected ") + what + ", found '" + Shown(t.text) + "'");
    }

    bool Tag(const Token& t, uint32_t* out) {
        if (t.kind == Token::Word && LooksNumeric(t.text)) return Word32(t, out, "a section tag");
        if ((t.kind == Token::Word || t.kind == Token::Text) && t.text.size() == 4) {
            *out = SectionTag(t.text[0], t.text[1], t.text[2], t.text[3]);
            return true;
        }
        return Fail("a section tag is four characters or a number, found '" + Shown(t.text) + "'");
    }

    // Values of one data kind ("bytes", "u16", "u32", "f64", "ascii") appended to out.
    bool Data(const std::string& kind, const std::vector<Token>& t, size_t i, Bytes& out) {
        if (i >= t.size()) return Fail("'" + kind + "' needs at least one value");
        for (; i < t.size(); ++i) {
            if (t[i].kind == Token::Comma) continue;
            uint8_t buffer[8];
            if (kind == "ascii") {
                if (t[i].kind != Token::Text) return Fail("'ascii' takes quoted strings");
                out.insert(out.end(), t[i].text.begin(), t[i].text.end());
            } else if (kind == "f64") {
                double d;
                if (t[i].kind != Token::Word || !ParseDouble(t[i].text, &d))
                    return Fail("expected a floating-point number, found '" + Shown(t[i].text) + "'");
                PutDouble(buffer, d);
                out.insert(out.end(), buffer, buffer + 8);
            } else {
                int64_t value;
                if (kind == "bytes") {
                    if (!Number(t[i], -128, 255, &value, "a byte")) return false;
                    out.push_back(static_cast<uint8_t>(value));
                } else if (kind == "u16") {
                    if (!Number(t[i], -32768, 65535, &value, "a 16-bit value")) return false;
                    PutU16(buffer, static_cast<uint16_t>(value));
                    out.insert(out.end(), buffer, buffer + 2);
                } else if (kind == "u32") {
                    uint32_t v;
                    if (!Word32(t[i], &v, "a 32-bit value")) return false;
                    PutU32(buffer, v);
                    out.insert(out.end(), buffer, buffer + 4);
                } else {
                    return Fail("unknown data kind '" + Shown(kind) + "'");
                }
            }
            if (out.size() > kMaxBytes) return Fail("too many bytes");
        }
        return true;
    }

    // .word W [A] [B]: any 16-bit word, its immediates as its kind bits say.
    bool RawWord(const std::vector<Token>& t, size_t i, Bytes& out) {
        std::vector<const Token*> values;
        for (; i < t.size(); ++i)
            if (t[i].kind != Token::Comma) values.push_back(&t[i]);
        if (values.empty()) return Fail("'.word' needs an instruction word");
        int64_t word;
        if (!Number(*values[0], 0, 0xFFFF, &word, "an instruction word")) return false;
        DecodedInstruction d{static_cast<uint16_t>(word), 0, nullptr, 0, 0, 0.0, 0.0};
        ImmediateKind kinds[2] = {ImmediateKindA(d.word), ImmediateKindB(d.word)};
        size_t wanted = 1;
        for (int k = 0; k < 2; ++k) {
            if (ImmediateSize(kinds[k]) == 0) continue;
            if (wanted >= values.size()) return Fail("'.word' needs a value for each immediate of the word");
            const Token& v = *values[wanted++];
            if (kinds[k] == ImmediateKind::Double) {
                double x;
                if (v.kind != Token::Word || !ParseDouble(v.text, &x))
                    return Fail("expected a floating-point number, found '" + Shown(v.text) + "'");
                (k == 0 ? d.immADouble : d.immBDouble) = x;
            } else {
                uint32_t x;
                if (!Word32(v, &x)) return false;
                (k == 0 ? d.immA : d.immB) = static_cast<int32_t>(x);
            }
        }
        if (wanted != values.size()) return Fail("too many values for word " + Shown(values[0]->text));
        size_t at = out.size();
        out.resize(at + static_cast<size_t>(InstructionLength(d.word)));
        EncodeInstruction(d, out.data() + at);
        return true;
    }

    // --- Lines ------------------------------------------------------------------

    bool Line(const std::vector<Token>& t) {
        size_t i = 0;
        while (i < t.size() && t[i].kind == Token::Word && t[i].text.size() > 1 && t[i].text.back() == ':') {
            if (!Label(t[i].text.substr(0, t[i].text.size() - 1))) return false;
            ++i;
        }
        if (i == t.size()) return true;
        if (t[i].kind != Token::Word) return Fail("expected an instruction or a directive, found '" + Shown(t[i].text) + "'");
        if (t[i].text[0] == '.') return Directive(t, i);
        return Instruction(t, i);
    }

    bool Label(const std::string& name) {
        if (block != Block::Segment) return Fail("label '" + Shown(name) + "' outside a segment");
        if (LooksNumeric(name)) return Fail("a label name cannot be a number: '" + Shown(name) + "'");
        SegmentDecl& s = segments[static_cast<size_t>(current)];
        if (!s.labels.emplace(name, static_cast<int32_t>(s.code.size())).second)
            return Fail("label '" + Shown(name) + "' defined twice in segment '" + Shown(s.name) + "'");
        return true;
    }

    bool Instruction(const std::vector<Token>& t, size_t i) {
        const std::string& mnemonic = t[i].text;
        if (Lower(mnemonic) == "expr") return Expression(t, i + 1);
        if (block != Block::Segment) return Fail("instruction '" + Shown(mnemonic) + "' outside a segment");
        const InstructionInfo* info = FindMnemonic(mnemonic.data(), static_cast<int32_t>(mnemonic.size()));
        if (!info) return Fail("unknown instruction '" + Shown(mnemonic) + "'");
        std::vector<const Token*> operands;
        for (size_t k = i + 1; k < t.size(); ++k) {
            if (t[k].kind == Token::Comma) continue;
            if (t[k].kind != Token::Word && t[k].kind != Token::Text)
                return Fail("unexpected '" + Shown(t[k].text) + "' in operands of '" + info->mnemonic + "'");
            operands.push_back(&t[k]);
        }
        size_t expected = (info->a != OperandKind::None ? 1 : 0) + (info->b != OperandKind::None ? 1 : 0);
        if (operands.size() != expected) {
            return Fail(std::string("'") + info->mnemonic + "' takes " +
                        (expected == 0 ? "no operands" : expected == 1 ? "1 operand" : "2 operands") + ", found " +
                        std::to_string(operands.size()));
        }
        SegmentDecl& s = segments[static_cast<size_t>(current)];
        size_t start = s.code.size();
        int32_t length = InstructionLength(info->word);
        if (start + static_cast<size_t>(length) > kMaxBytes) return Fail("segment too large");
        int32_t end = static_cast<int32_t>(start) + length;
        DecodedInstruction d{info->word, length, info, 0, 0, 0.0, 0.0};
        int32_t atA = static_cast<int32_t>(start) + 2;
        int32_t atB = atA + ImmediateSize(ImmediateKindA(info->word));
        // The block words of VrIMPORT and VrCOMMERCE carry a jump distance in
        // an integer: a label there is resolved as a jump's is.
        OperandKind a = info->a;
        if (CarriesDistance(info->word) && operands[0]->kind == Token::Word && !LooksNumeric(operands[0]->text))
            a = OperandKind::Jump;
        if (expected >= 1 && !Operand(a, *operands[0], atA, end, &d.immA, &d.immADouble)) return false;
        if (expected == 2 && !Operand(info->b, *operands[1], atB, end, &d.immB, &d.immBDouble)) return false;
        s.code.resize(static_cast<size_t>(end));
        EncodeInstruction(d, s.code.data() + start);
        return true;
    }

    // expr "TEXT" [database NAME] [source "FILE" LINE]: the engine's
    // expression compiler writes the code. It sees the pool and the functions
    // declared so far, in tables numbered as this file numbers them, so its
    // calls need no fixing; the texts it stores join the pool like any other.
    bool Expression(const std::vector<Token>& t, size_t i) {
        const char* usage = "usage: expr \"EXPRESSION\" [database NAME] [source \"FILE\" LINE]";
        if (block != Block::Segment) return Fail("'expr' outside a segment");
        std::vector<const Token*> args;
        for (; i < t.size(); ++i)
            if (t[i].kind != Token::Comma) args.push_back(&t[i]);
        if (args.empty() || args[0]->kind != Token::Text) return Fail(usage);
        std::string database;
        bool hasDatabase = false;
        std::string source;
        bool hasSource = false;
        uint32_t sourceLine = 0;
        for (size_t k = 1; k < args.size();) {
            std::string word = args[k]->kind == Token::Word ? Lower(args[k]->text) : std::string();
            if (word == "database" && k + 1 < args.size()) {
                if (!Name(*args[k + 1], &database, "a database name")) return false;
                hasDatabase = true;
                k += 2;
            } else if (word == "source" && k + 2 < args.size() && args[k + 1]->kind == Token::Text) {
                source = args[k + 1]->text;
                if (!Word32(*args[k + 2], &sourceLine, "a line number")) return false;
                hasSource = true;
                k += 3;
            } else {
                return Fail(usage);
            }
        }
        const std::string& text = args[0]->text;
        if (text.size() > kMaxBytes) return Fail("expression too long");

        Dictionary dictionary;
        for (size_t k = 0; k < pool.size(); ++k)
            if (dictionary.Add(pool[k].data(), static_cast<int32_t>(pool[k].size())) != static_cast<int32_t>(k))
                return Fail("string too long for the pool: \"" + Shown(pool[k]) + "\"");
        int32_t known = dictionary.Count();
        FunctionManager table(&dictionary, bitsFunc);
        for (const FunctionDecl& f : functions) {
            Function* record = table.AddFunction(f.name.data(), static_cast<int32_t>(f.name.size()), f.flags,
                                                 f.segment, f.offset);
            if (!record) return Fail("function '" + Shown(f.name) + "' cannot be stored");
            for (const Param& p : f.params)
                if (record->AddParameter(p.flags, p.name.data(), static_cast<int32_t>(p.name.size())) < 0)
                    return Fail("function '" + Shown(f.name) + "' cannot be stored");
        }
        SegmentManager scratch;
        ExpressionCompiler compiler(nullptr, &scratch, &dictionary, &table, nullptr, text.data(),
                                    static_cast<int32_t>(text.size()), hasDatabase ? database.c_str() : nullptr,
                                    nullptr, 0, hasSource ? source.data() : nullptr,
                                    static_cast<int32_t>(source.size()), static_cast<int32_t>(sourceLine),
                                    version == 0 ? kExpressionFileVersion : version);
        if (!compiler.Compile()) {
            const String& why = compiler.ErrorText();
            return Fail(std::string(why.Text() ? why.Text() : "", static_cast<size_t>(why.Length())));
        }

        // Texts the compiler added are stored once, as every other text is.
        Bytes code(compiler.CodeSegment()->Code(), compiler.CodeSegment()->Code() + compiler.Position());
        for (int32_t at = 0; at < static_cast<int32_t>(code.size());) {
            DecodedInstruction d;
            if (!DecodeInstruction(code.data() + at, static_cast<int32_t>(code.size()) - at, &d) || !d.info)
                return Fail("the expression compiled to code that does not decode");
            int32_t atB = at + 2 + ImmediateSize(ImmediateKindA(d.word));
            const std::pair<OperandKind, int32_t> operands[2] = {{d.info->a, at + 2}, {d.info->b, atB}};
            for (const auto& [kind, offset] : operands) {
                if (kind != OperandKind::String) continue;
                int32_t index = static_cast<int32_t>(GetU32(code.data() + offset));
                if (index < known) continue;
                int32_t n = 0;
                const char* added = dictionary.Get(index, &n);
                if (!added) return Fail("the expression compiled to a reference outside the pool");
                PutU32(code.data() + offset, static_cast<uint32_t>(Intern(std::string(added, static_cast<size_t>(n)))));
            }
            at += d.length;
        }
        Bytes& out = segments[static_cast<size_t>(current)].code;
        if (out.size() + code.size() > kMaxBytes) return Fail("segment too large");
        out.insert(out.end(), code.begin(), code.end());
        return true;
    }

    bool Operand(OperandKind kind, const Token& t, int32_t at, int32_t end, int32_t* integer, double* number) {
        bool numeric = t.kind == Token::Word && LooksNumeric(t.text);
        switch (kind) {
        case OperandKind::Double:
            if (t.kind != Token::Word || !ParseDouble(t.text, number))
                return Fail("expected a floating-point number, found '" + Shown(t.text) + "'");
            return true;
        case OperandKind::Integer: {
            uint32_t v;
            if (!Word32(t, &v, "an integer")) return false;
            *integer = static_cast<int32_t>(v);
            return true;
        }
        case OperandKind::String:
            if (t.kind == Token::Text) {
                *integer = Intern(t.text);
                return true;
            }
            if (!numeric) return Fail("expected a quoted string or a pool index, found '" + Shown(t.text) + "'");
            break;
        case OperandKind::Jump:
            if (t.kind == Token::Text) return Fail("expected a label or a displacement, found \"" + Shown(t.text) + "\"");
            break;
        default:
            break;
        }
        if (numeric) {
            uint32_t v;
            if (!Word32(t, &v)) return false;
            *integer = static_cast<int32_t>(v);
            return true;
        }
        fixups.push_back({current, at, end, kind, t.text, function, line});
        return true;
    }

    bool Directive(const std::vector<Token>& t, size_t i) {
        std::string name = Lower(t[i].text);
        size_t a = i + 1; // first argument
        size_t n = t.size() - a;
        auto argument = [&](size_t k) -> const Token* { return a + k < t.size() ? &t[a + k] : nullptr; };
        auto needs = [&](size_t count, const char* usage) {
            if (n == count) return true;
            return Fail("usage: " + std::string(usage));
        };
        auto topLevel = [&]() {
            if (block == Block::None) return true;
            return Fail("'" + name + "' inside a block; close it with .end first");
        };
        auto inCode = [&]() -> Bytes* {
            if (block == Block::Segment) return &segments[static_cast<size_t>(current)].code;
            if (block == Block::Raw) return &raws[static_cast<size_t>(current)].bytes;
            Fail("'" + name + "' outside a segment or raw section");
            return nullptr;
        };

        if (name == ".version") {
            if (!needs(1, ".version NUMBER")) return false;
            return Word32(*argument(0), &version, "a version number");
        }
        if (name == ".block") {
            Bytes bytes;
            if (n == 1 && argument(0)->kind == Token::Text)
                bytes.assign(argument(0)->text.begin(), argument(0)->text.end());
            else if (!Data("bytes", t, a, bytes))
                return false;
            if (bytes.size() > 16) return Fail("the header block holds 16 bytes");
            std::memset(headerBlock, 0, sizeof headerBlock);
            if (!bytes.empty()) std::memcpy(headerBlock, bytes.data(), bytes.size());
            return true;
        }
        if (name == ".dictword") {
            if (!needs(1, ".dictword NUMBER")) return false;
            return Word32(*argument(0), &dictWord);
        }
        if (name == ".bits") {
            if (!needs(2, ".bits syst|glbl|func|locl NUMBER")) return false;
            int64_t bits;
            if (!Number(*argument(1), 0, kMaxBucketBits, &bits, "bucket bits")) return false;
            std::string table = Lower(argument(0)->text);
            int32_t* target = table == "syst"   ? &bitsSyst
                              : table == "glbl" ? &bitsGlbl
                              : table == "func" ? &bitsFunc
                              : table == "locl" ? &bitsLocl
                                                : nullptr;
            if (!target) return Fail("unknown table '" + Shown(argument(0)->text) + "' for .bits");
            *target = static_cast<int32_t>(bits);
            return true;
        }
        if (name == ".string") {
            if (n == 0) return Fail("usage: .string \"TEXT\" ...");
            for (size_t k = a; k < t.size(); ++k) {
                if (t[k].kind == Token::Comma) continue;
                if (t[k].kind != Token::Text) return Fail("'.string' takes quoted strings");
                Intern(t[k].text);
            }
            return true;
        }
        if (name == ".system" || name == ".global") {
            NameTable& table = name == ".system" ? system : globals;
            const char* what = name == ".system" ? "system variable" : "global";
            if (n == 0) return Fail("usage: " + name + " NAME ...");
            for (size_t k = a; k < t.size(); ++k) {
                if (t[k].kind == Token::Comma) continue;
                std::string variable;
                if (!Name(t[k], &variable, "a variable name")) return false;
                std::string key = Lower(variable);
                if (table.index.count(key)) return Fail(std::string(what) + " '" + Shown(variable) + "' declared twice");
                table.index.emplace(key, static_cast<int32_t>(table.names.size()));
                table.names.push_back(variable);
                table.pools.push_back(Intern(variable));
            }
            return true;
        }
        if (name == ".function" || name == ".extern") return FunctionDirective(t, a, name == ".extern");
        if (name == ".local") {
            if (function < 0) return Fail("'.local' outside a function");
            if (n == 0) return Fail("usage: .local NAME ...");
            FunctionDecl& f = functions[static_cast<size_t>(function)];
            for (size_t k = a; k < t.size(); ++k) {
                if (t[k].kind == Token::Comma) continue;
                std::string local;
                if (!Name(t[k], &local, "a local name")) return false;
                if (!AddSlot(f, local)) return false;
                f.locals.push_back(local);
                f.localPools.push_back(Intern(local));
            }
            return true;
        }
        if (name == ".endfunction") {
            if (!needs(0, ".endfunction")) return false;
            if (function < 0) return Fail("'.endfunction' without a function");
            function = -1;
            return true;
        }
        if (name == ".segment") {
            if (!topLevel()) return false;
            if (n < 1 || n > 2) return Fail("usage: .segment NAME [entry]");
            std::string segment;
            if (!Name(*argument(0), &segment, "a segment name")) return false;
            if (segmentIndex.count(segment)) return Fail("segment '" + Shown(segment) + "' defined twice");
            if (n == 2) {
                if (Lower(argument(1)->text) != "entry") return Fail("usage: .segment NAME [entry]");
                if (!SetEntry(segment)) return false;
            }
            current = static_cast<int32_t>(segments.size());
            segmentIndex.emplace(segment, current);
            segments.push_back({segment, {}, {}, line});
            block = Block::Segment;
            function = -1;
            return true;
        }
        if (name == ".entry") {
            if (!needs(1, ".entry SEGMENT")) return false;
            return SetEntry(argument(0)->text);
        }
        if (name == ".raw") {
            if (!topLevel()) return false;
            if (n < 1 || n > 2) return Fail("usage: .raw TAG [last]");
            uint32_t tag;
            if (!Tag(*argument(0), &tag)) return false;
            bool last = false;
            if (n == 2) {
                if (Lower(argument(1)->text) != "last") return Fail("usage: .raw TAG [last]");
                last = true;
            }
            current = static_cast<int32_t>(raws.size());
            raws.push_back({tag, last, {}});
            block = Block::Raw;
            function = -1;
            return true;
        }
        if (name == ".language") {
            if (!topLevel()) return false;
            if (!needs(1, ".language NAME")) return false;
            std::string language;
            if (!Name(*argument(0), &language, "a language name")) return false;
            std::string key = Lower(language);
            if (languageIndex.count(key)) return Fail("language '" + Shown(language) + "' defined twice");
            current = static_cast<int32_t>(languages.size());
            languageIndex.emplace(key, current);
            languages.push_back({language, {}});
            messageKeys.emplace_back();
            block = Block::Language;
            function = -1;
            return true;
        }
        if (name == ".message") return MessageDirective(t, a);
        if (name == ".end") {
            if (!needs(0, ".end")) return false;
            if (block == Block::None) return Fail("'.end' without an open block");
            block = Block::None;
            current = -1;
            function = -1;
            return true;
        }
        if (name == ".bytes" || name == ".u16" || name == ".u32" || name == ".f64" || name == ".ascii") {
            Bytes* out = inCode();
            return out && Data(name.substr(1), t, a, *out);
        }
        if (name == ".word") {
            Bytes* out = inCode();
            return out && RawWord(t, a, *out);
        }
        if (name == ".omit") {
            if (n == 0) return Fail("usage: .omit TAG ...");
            for (size_t k = a; k < t.size(); ++k) {
                if (t[k].kind == Token::Comma) continue;
                uint32_t tag;
                if (!Tag(t[k], &tag)) return false;
                omitted.push_back(tag);
            }
            return true;
        }
        if (name == ".patch") {
            if (n < 3) return Fail("usage: .patch OFFSET bytes|u16|u32|f64|ascii VALUE ...");
            int64_t offset;
            if (!Number(*argument(0), 0, INT32_MAX, &offset, "a file offset")) return false;
            Patch patch{offset, {}, line};
            if (!Data(Lower(argument(1)->text), t, a + 2, patch.bytes)) return false;
            patches.push_back(std::move(patch));
            return true;
        }
        if (name == ".truncate") {
            if (!needs(1, ".truncate LENGTH")) return false;
            truncateLine = line;
            return Number(*argument(0), 0, INT32_MAX, &truncateTo, "a file length");
        }
        return Fail("unknown directive '" + Shown(t[i].text) + "'");
    }

    bool SetEntry(const std::string& segment) {
        if (!entryName.empty()) return Fail("the entry segment is given twice");
        entryName = segment;
        entryLine = line;
        return true;
    }

    bool AddSlot(FunctionDecl& f, const std::string& local) {
        std::string key = Lower(local);
        if (f.slots.count(key)) return Fail("'" + Shown(local) + "' declared twice in function '" + Shown(f.name) + "'");
        f.slots.emplace(key, static_cast<int32_t>(f.slots.size()));
        return true;
    }

    // .function NAME [(PARAMS)] [flags N] [at SEGMENT OFFSET]
    // .extern NAME [(PARAMS)] [flags N]
    bool FunctionDirective(const std::vector<Token>& t, size_t i, bool external) {
        const char* usage = external ? "usage: .extern NAME [(PARAMETERS)] [flags N]"
                                     : "usage: .function NAME [(PARAMETERS)] [flags N] [at SEGMENT OFFSET]";
        if (i >= t.size()) return Fail(usage);
        FunctionDecl f;
        f.line = line;
        if (!Name(t[i], &f.name, "a function name")) return false;
        std::string key = Lower(f.name);
        if (functionIndex.count(key)) return Fail("function '" + Shown(f.name) + "' defined twice");
        f.pool = Intern(f.name);
        ++i;
        if (i < t.size() && t[i].kind == Token::Open) {
            ++i;
            bool expectName = true;
            for (;;) {
                if (i >= t.size()) return Fail("missing ')' after the parameters");
                const Token& p = t[i++];
                if (p.kind == Token::Close) {
                    if (expectName && !f.params.empty()) return Fail("missing parameter after ','");
                    break;
                }
                if (p.kind == Token::Comma) {
                    if (expectName) return Fail("missing parameter before ','");
                    expectName = true;
                    continue;
                }
                if (!expectName) return Fail("missing ',' between parameters");
                expectName = false;
                if (!Parameter(f, p)) return false;
            }
        }
        bool explicitPlace = false;
        while (i < t.size()) {
            std::string word = t[i].kind == Token::Word ? Lower(t[i].text) : std::string();
            if (word == "flags" && i + 1 < t.size()) {
                if (!Word32(t[i + 1], &f.flags, "function flags")) return false;
                i += 2;
            } else if (word == "at" && !external && i + 2 < t.size()) {
                const Token& s = t[i + 1];
                uint32_t value;
                if (s.kind == Token::Word && LooksNumeric(s.text)) {
                    if (!Word32(s, &value, "a segment index")) return false;
                    f.segment = static_cast<int32_t>(value);
                } else {
                    if (!Name(s, &f.atSegment, "a segment name")) return false;
                }
                if (!Word32(t[i + 2], &value, "a code offset")) return false;
                f.offset = static_cast<int32_t>(value);
                explicitPlace = true;
                i += 3;
            } else {
                return Fail(usage);
            }
        }
        if (external) {
            f.flags |= kFunctionExternal;
        } else if (!explicitPlace) {
            if (block != Block::Segment)
                return Fail("function '" + Shown(f.name) + "' needs an open segment or 'at SEGMENT OFFSET'");
            f.segment = current;
            f.offset = static_cast<int32_t>(segments[static_cast<size_t>(current)].code.size());
        }
        int32_t slot = static_cast<int32_t>(functions.size());
        functionIndex.emplace(key, slot);
        functions.push_back(std::move(f));
        function = external ? -1 : slot;
        return true;
    }

    // [&]NAME[:FLAGS] or a quoted name.
    bool Parameter(FunctionDecl& f, const Token& p) {
        Param param{{}, -1, 0};
        if (p.kind == Token::Text) {
            param.name = p.text;
        } else if (p.kind == Token::Word) {
            std::string w = p.text;
            if (!w.empty() && w[0] == '&') {
                param.flags |= kParameterByReference;
                w.erase(0, 1);
            }
            size_t colon = w.rfind(':');
            if (colon != std::string::npos) {
                Token flags{Token::Word, w.substr(colon + 1)};
                uint32_t value;
                if (!Word32(flags, &value, "parameter flags")) return false;
                param.flags |= value;
                w.erase(colon);
            }
            param.name = w;
        }
        if (param.name.empty() || (p.kind == Token::Word && LooksNumeric(param.name)))
            return Fail("expected a parameter name, found '" + Shown(p.text) + "'");
        if (!AddSlot(f, param.name)) return false;
        param.pool = Intern(param.name);
        f.params.push_back(std::move(param));
        return true;
    }

    // .message KEY PIECE ...: "literal text" or {token}.
    bool MessageDirective(const std::vector<Token>& t, size_t i) {
        if (block != Block::Language) return Fail("'.message' outside a language");
        if (i >= t.size()) return Fail("usage: .message KEY \"TEXT\" {TOKEN} ...");
        std::string key;
        if (!Name(t[i], &key, "a message key")) return false;
        auto& keys = messageKeys[static_cast<size_t>(current)];
        LanguageSource& language = languages[static_cast<size_t>(current)];
        if (!keys.emplace(Lower(key), static_cast<int32_t>(language.messages.size())).second)
            return Fail("message '" + Shown(key) + "' defined twice in this language");
        MessageSource message{Intern(key), {}};
        for (++i; i < t.size(); ++i) {
            if (t[i].kind == Token::Comma) continue;
            if (t[i].kind == Token::Text)
                message.pieces.push_back({kPieceText, Intern(t[i].text)});
            else if (t[i].kind == Token::Brace)
                message.pieces.push_back({kPieceToken, Intern(t[i].text)});
            else
                return Fail("a message piece is \"text\" or {token}, found '" + Shown(t[i].text) + "'");
        }
        language.messages.push_back(std::move(message));
        return true;
    }

    // --- Resolution and output ---------------------------------------------------

    bool Resolve() {
        for (const Fixup& f : fixups) {
            int32_t value = 0;
            std::string key = Lower(f.name);
            switch (f.kind) {
            case OperandKind::Jump: {
                const SegmentDecl& s = segments[static_cast<size_t>(f.segment)];
                auto found = s.labels.find(f.name);
                if (found == s.labels.end())
                    return Fail(f.line, "unknown label '" + Shown(f.name) + "' in segment '" + Shown(s.name) + "'");
                value = found->second - f.end;
                break;
            }
            case OperandKind::System:
            case OperandKind::Global: {
                const NameTable& table = f.kind == OperandKind::System ? system : globals;
                auto found = table.index.find(key);
                if (found == table.index.end())
                    return Fail(f.line, std::string("unknown ") + (f.kind == OperandKind::System ? "system variable" : "global") +
                                            " '" + Shown(f.name) + "'");
                value = found->second;
                break;
            }
            case OperandKind::Local: {
                if (f.function < 0) return Fail(f.line, "local '" + Shown(f.name) + "' used outside a function");
                const FunctionDecl& fn = functions[static_cast<size_t>(f.function)];
                auto found = fn.slots.find(key);
                if (found == fn.slots.end())
                    return Fail(f.line, "unknown local '" + Shown(f.name) + "' in function '" + Shown(fn.name) + "'");
                value = found->second;
                break;
            }
            case OperandKind::Function: {
                auto found = functionIndex.find(key);
                if (found == functionIndex.end()) return Fail(f.line, "unknown function '" + Shown(f.name) + "'");
                value = found->second;
                break;
            }
            default:
                return Fail(f.line, "operand '" + Shown(f.name) + "' must be a number");
            }
            PutU32(segments[static_cast<size_t>(f.segment)].code.data() + f.at, static_cast<uint32_t>(value));
        }
        for (FunctionDecl& f : functions) {
            if (f.atSegment.empty()) continue;
            auto found = segmentIndex.find(f.atSegment);
            if (found == segmentIndex.end()) return Fail(f.line, "unknown segment '" + Shown(f.atSegment) + "'");
            f.segment = found->second;
        }
        return true;
    }

    int32_t EntrySegment(bool* ok) {
        *ok = true;
        if (entryName.empty()) return 0;
        auto found = segmentIndex.find(entryName);
        if (found != segmentIndex.end()) return found->second;
        *ok = Fail(entryLine, "unknown entry segment '" + Shown(entryName) + "'");
        return 0;
    }

    bool WriteRaw(TaggedFile& file, bool last) {
        for (const RawSection& raw : raws) {
            if (raw.last != last) continue;
            file.BeginSection(raw.tag);
            if (!raw.bytes.empty() && !file.WriteAll(raw.bytes.data(), static_cast<int32_t>(raw.bytes.size())))
                return false;
            file.EndSection();
        }
        return true;
    }

    bool Build() {
        if (!Resolve()) return false;
        bool ok;
        int32_t entry = EntrySegment(&ok);
        if (!ok) return false;

        Dictionary dictionary;
        dictionary.SetHeaderWord(dictWord);
        for (size_t k = 0; k < pool.size(); ++k) {
            if (pool[k].size() > kMaxBytes ||
                dictionary.Add(pool[k].data(), static_cast<int32_t>(pool[k].size())) != static_cast<int32_t>(k))
                return Fail(0, "string too long for the pool: \"" + Shown(pool[k]) + "\"");
        }

        SectionWriters writers(&dictionary, bitsSyst, bitsGlbl, bitsFunc, bitsLocl);
        for (int32_t name : system.pools)
            if (!writers.AddSystem(name)) return Fail(0, "the system variables cannot be stored");
        for (int32_t name : globals.pools)
            if (!writers.AddGlobal(name)) return Fail(0, "the globals cannot be stored");
        for (const FunctionDecl& f : functions) {
            std::vector<ParameterSource> params;
            for (const Param& p : f.params) params.push_back({p.pool, p.flags});
            if (!writers.AddFunction(f.pool, f.flags, f.segment, f.offset, params, f.localPools))
                return Fail(f.line, "function '" + Shown(f.name) + "' cannot be stored");
        }
        for (const LanguageSource& language : languages)
            if (!writers.AddLanguage(language))
                return Fail(0, "language '" + Shown(language.name) + "' cannot be stored");

        SegmentManager segmentManager;
        for (size_t k = 0; k < segments.size(); ++k) {
            Segment* s = k == 0 ? segmentManager.CurrentSegment() : segmentManager.AddSegment();
            const Bytes& code = segments[k].code;
            if (!code.empty() && s->WriteBytes(0, code.data(), static_cast<int32_t>(code.size())) < 0)
                return Fail(segments[k].line, "segment '" + Shown(segments[k].name) + "' too large");
        }
        segmentManager.SetCurrent(entry);

        auto* sink = new BufferFile(fileName.c_str());
        TaggedFile file(nullptr);
        // The container owns the sink from here on, failed or not.
        if (!file.OpenWriteFile(sink, headerBlock, version)) return FailWriting(file.ErrorText());
        if (!WriteRaw(file, false)) return FailWriting(file.ErrorText());
        String why;
        if (!dictionary.WriteChunk(file)) return FailWriting(dictionary.ErrorText());
        if (!writers.WriteVariables(file, kSectionSyst, why)) return FailWriting(why);
        if (!writers.WriteVariables(file, kSectionGlbl, why)) return FailWriting(why);
        if (!writers.WriteLocalisation(file, why)) return FailWriting(why);
        if (!segmentManager.Save(file)) return FailWriting(segmentManager.ErrorText());
        if (!writers.WriteFunctions(file, why)) return FailWriting(why);
        if (!WriteRaw(file, true)) return FailWriting(file.ErrorText());
        if (!file.Finish()) return FailWriting(file.ErrorText());

        output.assign(sink->Bytes(), sink->Bytes() + sink->Size());
        DropOmitted();
        for (const Patch& patch : patches) {
            if (static_cast<uint64_t>(patch.offset) + patch.bytes.size() > output.size())
                return Fail(patch.line, "patch reaches past the end of the file (" + std::to_string(output.size()) +
                                            " bytes)");
            std::memcpy(output.data() + patch.offset, patch.bytes.data(), patch.bytes.size());
        }
        if (truncateTo >= 0) {
            if (static_cast<uint64_t>(truncateTo) > output.size())
                return Fail(truncateLine, "cannot truncate to more than the file's " + std::to_string(output.size()) + " bytes");
            output.resize(static_cast<size_t>(truncateTo));
        }
        return true;
    }

    // Takes the directory entries of omitted tags out of the finished file;
    // their bytes stay where they are, unreachable. The directory is the
    // last thing the container writes, so the file shrinks by the entries.
    void DropOmitted() {
        if (omitted.empty() || output.size() < static_cast<size_t>(kTaggedFileHeaderSize)) return;
        uint32_t directory = GetU32(output.data() + 24);
        uint32_t entries = GetU32(output.data() + 28);
        if (static_cast<uint64_t>(directory) + uint64_t{12} * entries != output.size()) return;
        uint32_t kept = 0;
        for (uint32_t k = 0; k < entries; ++k) {
            const uint8_t* entry = output.data() + directory + 12 * k;
            if (Omitted(GetU32(entry))) continue;
            std::memmove(output.data() + directory + 12 * kept, entry, 12);
            ++kept;
        }
        PutU32(output.data() + 28, kept);
        output.resize(directory + size_t{12} * kept);
    }

    bool FailWriting(const String& why) {
        return Fail(0, std::string("cannot write the program: ") + (why.IsEmpty() ? "unknown error" : why.Text()));
    }

    bool Run(const char* source, size_t length) {
        const char* p = source;
        const char* end = source + length;
        line = 0;
        while (p < end) {
            ++line;
            const char* eol = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
            if (!eol) eol = end;
            std::vector<Token> tokens;
            std::string why;
            if (!Tokenize(p, eol, tokens, why)) return Fail(why);
            if (!Line(tokens)) return false;
            p = eol < end ? eol + 1 : end;
        }
        if (block == Block::Segment) return Fail("segment '" + Shown(segments[static_cast<size_t>(current)].name) + "' has no .end");
        if (block == Block::Raw) return Fail("raw section has no .end");
        if (block == Block::Language) return Fail("language has no .end");
        return Build();
    }
};

Assembler::Assembler() : state(new State) {}

Assembler::~Assembler() { delete state; }

bool Assembler::Assemble(const char* source, int32_t length, const char* fileName) {
    delete state;
    state = new State;
    state->fileName = fileName ? fileName : "<source>";
    if (!source) source = "";
    size_t n = length < 0 ? std::strlen(source) : static_cast<size_t>(length);
    if (state->Run(source, n)) return true;
    state->output.clear();
    return false;
}

bool Assembler::AssembleFile(const char* sourcePath, const char* outputPath) {
    std::FILE* in = std::fopen(sourcePath, "rb");
    if (!in) {
        std::string text = std::string(sourcePath) + ": cannot open: " + std::strerror(errno);
        state->error.Assign(text.data(), static_cast<int32_t>(text.size()));
        return false;
    }
    std::string source;
    char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, in)) > 0) {
        source.append(buffer, got);
        if (source.size() > kMaxBytes) break;
    }
    bool readFailed = std::ferror(in) != 0 || source.size() > kMaxBytes;
    std::fclose(in);
    if (readFailed) {
        std::string text = std::string(sourcePath) + ": cannot read the source";
        state->error.Assign(text.data(), static_cast<int32_t>(text.size()));
        return false;
    }
    if (!Assemble(source.data(), static_cast<int32_t>(source.size()), sourcePath)) return false;
    std::FILE* out = std::fopen(outputPath, "wb");
    bool written = out && std::fwrite(state->output.data(), 1, state->output.size(), out) == state->output.size();
    if (out && std::fclose(out) != 0) written = false;
    if (!written) {
        std::string text = std::string(outputPath) + ": cannot write: " + std::strerror(errno);
        state->error.Assign(text.data(), static_cast<int32_t>(text.size()));
        return false;
    }
    return true;
}

const String& Assembler::ErrorText() const { return state->error; }

const uint8_t* Assembler::Output() const { return state->output.data(); }

int32_t Assembler::OutputLength() const { return static_cast<int32_t>(state->output.size()); }

int32_t Assembler::PoolIndex(const char* text, int32_t length) const {
    if (!text) return -1;
    std::string key(text, length < 0 ? std::strlen(text) : static_cast<size_t>(length));
    auto found = state->poolIndex.find(key);
    return found == state->poolIndex.end() ? -1 : found->second;
}

int32_t Assembler::GlobalIndex(const char* name) const {
    auto found = state->globals.index.find(Lower(name ? name : ""));
    return found == state->globals.index.end() ? -1 : found->second;
}

int32_t Assembler::SystemIndex(const char* name) const {
    auto found = state->system.index.find(Lower(name ? name : ""));
    return found == state->system.index.end() ? -1 : found->second;
}

int32_t Assembler::FunctionSlot(const char* name) const {
    auto found = state->functionIndex.find(Lower(name ? name : ""));
    return found == state->functionIndex.end() ? -1 : found->second;
}

int32_t Assembler::SegmentIndex(const char* name) const {
    auto found = state->segmentIndex.find(name ? name : "");
    return found == state->segmentIndex.end() ? -1 : found->second;
}

int32_t Assembler::LabelOffset(const char* segment, const char* label) const {
    int32_t s = SegmentIndex(segment);
    if (s < 0) return -1;
    const auto& labels = state->segments[static_cast<size_t>(s)].labels;
    auto found = labels.find(label ? label : "");
    return found == labels.end() ? -1 : found->second;
}

} // namespace vorn
