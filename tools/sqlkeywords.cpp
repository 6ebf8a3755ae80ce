// Writes the SQL keyword table (sqllib/front/SqlKeywordTable.inc): the 240 rows in
// the slots of a minimal perfect hash, and the 256-byte scramble table that
// places them. A row's slot is scramble[h >> 24] ^ (h & 0x7f), h being the
// case-folded lookup2 hash of its name with the initial value 256.
//
//   sqlkeywords > sqllib/front/SqlKeywordTable.inc
//
// The search is deterministic, so the output only changes with the list.
#include "engine/foundation/Hash.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

struct Word {
    int32_t token;
    const char* name;
};

// Tokens 1-221 run alphabetically; 222-224 came later. "disconect" and the
// three "_disabled" words are spelled as the dialect has always spelled them.
const Word kWords[] = {
    {1, "absolute"}, {2, "add"}, {3, "all"}, {4, "allocate"}, {5, "alter"}, {6, "and"}, {7, "any"},
    {8, "are"}, {9, "as"}, {10, "asc"}, {11, "assertion"}, {12, "at"}, {13, "authorization"},
    {14, "avg"}, {15, "begin"}, {16, "between"}, {17, "bit"}, {18, "bit_length"}, {19, "by"},
    {20, "cascade"}, {21, "cascaded"}, {22, "case"}, {23, "cast"}, {24, "catalog"}, {25, "char"},
    {26, "char_length"}, {27, "character"}, {28, "character_length"}, {29, "check"}, {30, "close"},
    {31, "coalesce"}, {32, "collate"}, {33, "collation"}, {34, "column"}, {35, "commit"},
    {36, "connect"}, {37, "connection"}, {38, "constraint"}, {39, "constraints"}, {40, "continue"},
    {41, "convert"}, {42, "corresponding"}, {43, "count"}, {44, "create"}, {45, "current"},
    {46, "current_date"}, {47, "current_time"}, {48, "current_timestamp"}, {49, "cursor"},
    {50, "date"}, {51, "day"}, {52, "deallocate"}, {53, "dec"}, {54, "decimal"}, {55, "declare"},
    {56, "default"}, {57, "deferrable"}, {58, "deferred"}, {59, "delete"}, {60, "desc"},
    {61, "describe"}, {62, "descriptor"}, {63, "diagnostics"}, {64, "dictionary"}, {65, "disconect"},
    {66, "displacement"}, {67, "distinct"}, {68, "domain_disabled"}, {69, "double"}, {70, "drop"},
    {71, "else"}, {72, "end"}, {73, "end-exec"}, {74, "escape"}, {75, "except"}, {76, "exception"},
    {77, "exec"}, {78, "execute"}, {79, "exists"}, {80, "external"}, {81, "extract"}, {82, "false"},
    {83, "fetch"}, {84, "first"}, {85, "float"}, {86, "for"}, {87, "foreign"}, {88, "found"},
    {89, "from"}, {90, "full"}, {91, "get"}, {92, "global"}, {93, "go"}, {94, "goto"}, {95, "grant"},
    {96, "group"}, {97, "having"}, {98, "hour"}, {99, "identity"}, {100, "ignore"}, {101, "immediate"},
    {102, "in"}, {103, "include"}, {104, "index"}, {105, "indicator"}, {106, "initially"},
    {107, "inner"}, {108, "input"}, {109, "insensitive"}, {110, "insert"}, {111, "int"},
    {112, "integer"}, {113, "intersect"}, {114, "interval"}, {115, "into"}, {116, "is"},
    {117, "isolation"}, {118, "join"}, {119, "key"}, {120, "language"}, {121, "last"}, {122, "left"},
    {123, "level"}, {124, "like"}, {125, "local"}, {126, "lower"}, {127, "match"}, {128, "max"},
    {129, "min"}, {130, "minute"}, {131, "module_disabled"}, {132, "month"}, {133, "names"},
    {134, "national"}, {135, "nchar"}, {136, "next"}, {137, "not"}, {138, "null"}, {139, "nullif"},
    {140, "numeric"}, {141, "octet_length"}, {142, "of"}, {143, "off"}, {144, "on"}, {145, "only"},
    {146, "open"}, {147, "option"}, {148, "or"}, {149, "order"}, {150, "outer"}, {151, "output"},
    {152, "overlaps"}, {153, "partial"}, {154, "position"}, {155, "precision"}, {156, "prepare"},
    {157, "preserve"}, {158, "primary"}, {159, "prior"}, {160, "privileges"}, {161, "procedure"},
    {162, "public"}, {163, "read"}, {164, "real"}, {165, "references"}, {166, "restrict"},
    {167, "revoke"}, {168, "right"}, {169, "rollback"}, {170, "rows"}, {171, "schema"}, {172, "scroll"},
    {173, "second"}, {174, "section"}, {175, "select"}, {176, "set"}, {177, "size"}, {178, "smallint"},
    {179, "some"}, {180, "sql"}, {181, "sqlca"}, {182, "sqlcode"}, {183, "sqlerror"}, {184, "sqlstate"},
    {185, "sqlwarning"}, {186, "substring"}, {187, "sum"}, {188, "system"}, {189, "table"},
    {190, "temporary"}, {191, "then"}, {192, "time"}, {193, "timestamp"}, {194, "timezone_hour"},
    {195, "timezone_minute"}, {196, "to"}, {197, "transaction"}, {198, "translate"},
    {199, "translation"}, {200, "true"}, {201, "union"}, {202, "unique"}, {203, "unknown"},
    {204, "update"}, {205, "upper"}, {206, "usage"}, {207, "user"}, {208, "using"},
    {209, "value_disabled"}, {210, "values"}, {211, "varchar"}, {212, "varying"}, {213, "view"},
    {214, "when"}, {215, "whenever"}, {216, "where"}, {217, "with"}, {218, "work"}, {219, "write"},
    {220, "year"}, {221, "zone"}, {222, "memo"}, {223, "bool"}, {224, "boolean"},
    // Punctuation; the last three rows only carry names: the scanner makes <>, >= and <= itself.
    {1000, ","}, {1001, "("}, {1002, ")"}, {1003, "<"}, {1004, ">"}, {1005, "."}, {1006, ":"},
    {1007, "="}, {1008, "*"}, {1009, "+"}, {1010, "-"}, {1011, "?"}, {1012, "/"}, {1013, "<>"},
    {1014, ">_equal"}, {1015, "<_equal"},
};
constexpr int kRowCount = 240;
constexpr int kGroups = 256;
static_assert(sizeof(kWords) / sizeof(kWords[0]) == kRowCount);

struct Placement {
    std::vector<std::vector<int>> members; // words by high hash byte
    std::vector<uint32_t> low;             // h & 0x7f per word
    int scramble[kGroups] = {};
    int slotOf[kRowCount];
    int wordIn[kRowCount];
};

// Places the groups in order (largest first) with backtracking.
bool Place(Placement& p, const std::vector<int>& order, size_t at) {
    if (at == order.size()) return true;
    int g = order[at];
    const std::vector<int>& words = p.members[static_cast<size_t>(g)];
    for (int v = 0; v < 256; ++v) {
        bool fits = true;
        for (size_t i = 0; i < words.size() && fits; ++i) {
            uint32_t slot = static_cast<uint32_t>(v) ^ p.low[static_cast<size_t>(words[i])];
            if (slot >= kRowCount || p.wordIn[slot] >= 0) fits = false;
            for (size_t j = 0; j < i && fits; ++j)
                if ((static_cast<uint32_t>(v) ^ p.low[static_cast<size_t>(words[j])]) == slot) fits = false;
        }
        if (!fits) continue;
        for (int w : words) p.wordIn[v ^ static_cast<int>(p.low[static_cast<size_t>(w)])] = w;
        p.scramble[g] = v;
        if (Place(p, order, at + 1)) return true;
        for (int w : words) p.wordIn[v ^ static_cast<int>(p.low[static_cast<size_t>(w)])] = -1;
    }
    return false;
}

} // namespace

int main() {
    Placement p;
    p.members.resize(kGroups);
    p.low.resize(kRowCount);
    for (int i = 0; i < kRowCount; ++i) {
        uint32_t h = vorn::HashLookup2NoCase(kWords[i].name, static_cast<uint32_t>(std::strlen(kWords[i].name)),
                                             256);
        p.members[h >> 24].push_back(i);
        p.low[static_cast<size_t>(i)] = h & 0x7f;
        p.wordIn[i] = -1;
    }
    std::vector<int> order;
    for (int g = 0; g < kGroups; ++g)
        if (!p.members[static_cast<size_t>(g)].empty()) order.push_back(g);
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        return p.members[static_cast<size_t>(a)].size() > p.members[static_cast<size_t>(b)].size();
    });
    if (!Place(p, order, 0)) {
        std::fprintf(stderr, "sqlkeywords: no placement found\n");
        return 1;
    }

    std::printf("// Generated by tools/sqlkeywords from its word list; do not edit.\n");
    std::printf("// slot = kSqlScramble[h >> 24] ^ (h & 0x7f), h = HashLookup2NoCase(name, length, 256)\n\n");
    std::printf("static const uint8_t kSqlScramble[256] = {\n");
    for (int g = 0; g < kGroups; ++g)
        std::printf("%s%3d,%s", g % 16 == 0 ? "    " : " ", p.scramble[g], g % 16 == 15 ? "\n" : "");
    std::printf("};\n\n");
    std::printf("static const SQLKeywordRow kSqlKeywordRows[%d] = {\n", kRowCount);
    for (int slot = 0; slot < kRowCount; ++slot) {
        const Word& w = kWords[p.wordIn[slot]];
        std::printf("    {%d, %d, \"%s\"}, // %d\n", w.token, static_cast<int>(std::strlen(w.name)), w.name, slot);
    }
    std::printf("};\n");
    return 0;
}
