#include "engine/values/Localisation.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "engine/program/Dictionary.h"
#include "engine/values/VariableHash.h"
#include "tests/engine/app/TestApplication.h"
#include "tests/engine/program/SectionTestSupport.h"

namespace vorn {
namespace {

using test::Bytes;
using test::Container;
using test::U16;
using test::U32;
using test::U8;

constexpr uint32_t kEnd = kLocalizedEnd;

// A program with two languages: "greeting" in both, "farewell" only in en-US.
struct Program {
    Bytes bytes;
    int32_t greeting = -1;
    int32_t farewell = -1;
    int32_t missing = -1;
};

Program BuildProgram(uint32_t version = 0) {
    Program p;
    Dictionary pool;
    LocalizedDictionary pieces;
    LocalizedLanguages languages(nullptr, &pool, nullptr, kLanguageBits, kLanguageGrowth);
    p.greeting = pool.Add("greeting", -1);
    p.farewell = pool.Add("farewell", -1);
    p.missing = pool.Add("missing", -1);
    auto text = [&](const char* s) { return static_cast<uint32_t>(pool.Add(s, -1)); };
    uint32_t hello[] = {text("Hello, "), text("name")};
    uint32_t helloKinds[] = {kPieceText, kPieceToken};
    uint32_t hallo[] = {text("Hallo")};
    uint32_t bye[] = {text("Bye")};
    uint32_t textKind[] = {kPieceText};
    int32_t en = languages.AddLanguage("en-US", -1);
    int32_t de = languages.AddLanguage("de-DE", -1);
    EXPECT_EQ(languages.AddLanguage("EN-us", -1), en);
    EXPECT_EQ(languages.AddLanguageKey(pool.Add("de-de", -1)), de);
    EXPECT_EQ(languages.AddLanguageKey(-1), -1);
    languages.Table(en)->Insert(p.greeting, pieces.AddChain(helloKinds, hello, 2));
    languages.Table(en)->Insert(p.farewell, pieces.AddChain(textKind, bye, 1));
    languages.Table(de)->Insert(p.greeting, pieces.AddChain(textKind, hallo, 1));
    p.bytes = test::WriteContainer(
        [&](TaggedFile& tf) { return pool.WriteChunk(tf) && languages.Save(tf) && pieces.Save(tf); }, version);
    return p;
}

// The loaded side of a program: pool, languages and pieces over one file.
struct Loaded {
    explicit Loaded(const Bytes& bytes, VornApplication* app) : file(new test::MemoryFile(bytes)) {
        opened = tf.OpenRead("prog.vrc", file);
        if (!opened) delete file;
        languages = new LocalizedLanguages(app, &pool, &tf, kLanguageBits, kLanguageGrowth);
    }
    ~Loaded() { delete languages; }
    bool Load() { return opened && pool.ReadChunk(tf) && languages->Load() && pieces.Load(tf); }
    std::string Text(const LocalizedMessage* m, VariableHash* tokens = nullptr) {
        String out;
        if (m) pieces.AppendText(m->firstPiece, pool, tokens, out);
        return m ? std::string(out.Text(), out.Length()) : "<none>";
    }

    test::MemoryFile* file;
    TaggedFile tf{nullptr};
    bool opened = false;
    Dictionary pool;
    LocalizedLanguages* languages;
    LocalizedDictionary pieces;
};

TEST(LocalisationTest, LooksUpTheCurrentLanguageThenTheDefault) {
    Program p = BuildProgram();
    test::TestApplication app;
    app.SetLanguage("de-DE", -1);
    app.SetDefaultLanguage("en-US", -1);
    Loaded l(p.bytes, &app);
    ASSERT_TRUE(l.Load());
    EXPECT_EQ(l.languages->Count(), 2);
    EXPECT_EQ(l.Text(l.languages->Lookup(p.greeting)), "Hallo");
    EXPECT_EQ(l.Text(l.languages->Lookup(p.farewell)), "Bye");
    EXPECT_EQ(l.languages->Lookup(p.missing), nullptr);
    EXPECT_EQ(l.languages->Lookup(-1), nullptr);
    EXPECT_EQ(l.languages->Lookup(9999), nullptr);

    // A default changed after a lookup is used by the next one.
    app.SetDefaultLanguage("de-DE", -1);
    EXPECT_EQ(l.languages->Lookup(p.farewell), nullptr);
    app.SetDefaultLanguage("en-us", -1);
    EXPECT_EQ(l.Text(l.languages->Lookup(p.farewell)), "Bye");
    // A language the program does not carry falls back for every key.
    app.SetLanguage("fr-FR", -1);
    EXPECT_EQ(l.Text(l.languages->Lookup(p.greeting)), "Hello, ");
    EXPECT_EQ(l.languages->FindLanguage("fr-FR", -1), nullptr);
    ASSERT_NE(l.languages->FindLanguage("DE-de", -1), nullptr);
}

TEST(LocalisationTest, LanguageTablesAreReadOnceOnFirstUse) {
    Program p = BuildProgram();
    test::TestApplication app;
    app.SetLanguage("de-DE", -1);
    app.SetDefaultLanguage("en-US", -1);
    Loaded l(p.bytes, &app);
    ASSERT_TRUE(l.Load());
    EXPECT_EQ(l.languages->At(0)->index, nullptr);
    EXPECT_EQ(l.languages->At(1)->index, nullptr);
    EXPECT_EQ(l.Text(l.languages->Lookup(p.greeting)), "Hallo");
    LocalizedIndex* de = l.languages->FindLanguage("de-DE", -1)->index;
    ASSERT_NE(de, nullptr);
    EXPECT_EQ(de->Count(), 1);
    EXPECT_EQ(l.languages->At(0)->index, nullptr); // en-US: not needed yet

    // From now on the file cannot be read: the loaded table still answers,
    // and a table read now fails and stays empty.
    l.file->failReads = true;
    EXPECT_EQ(l.Text(l.languages->Lookup(p.greeting)), "Hallo");
    EXPECT_EQ(l.languages->FindLanguage("de-DE", -1)->index, de);
    EXPECT_EQ(l.languages->Lookup(p.farewell), nullptr);
    LocalizedIndex* en = l.languages->FindLanguage("en-US", -1)->index;
    ASSERT_NE(en, nullptr);
    EXPECT_EQ(en->Count(), 0);
    EXPECT_FALSE(en->ErrorText().IsEmpty());
}

TEST(LocalisationTest, PiecesAssembleTextAndTokens) {
    Program p = BuildProgram();
    test::TestApplication app;
    Loaded l(p.bytes, &app);
    ASSERT_TRUE(l.Load());
    const LocalizedMessage* m = l.languages->Lookup(p.greeting);
    ASSERT_NE(m, nullptr);
    VariableHash tokens(&l.pool, 12, 512);
    EXPECT_EQ(l.Text(m, &tokens), "Hello, ");
    tokens.SetVariable("NAME", -1, "Ada", -1);
    EXPECT_EQ(l.Text(m, &tokens), "Hello, Ada");
    EXPECT_EQ(l.pieces.EntryAt(static_cast<uint32_t>(l.pieces.Count())), nullptr);
    EXPECT_EQ(l.pieces.EntryAt(kEnd), nullptr);

    // A pool index that does not resolve adds nothing and is reported.
    LocalizedDictionary bad;
    uint32_t kinds[] = {kPieceText, kPieceText, kPieceText};
    uint32_t texts[] = {static_cast<uint32_t>(l.pool.Add("a", 1)), 99999, 0x80000000u};
    uint32_t first = bad.AddChain(kinds, texts, 3);
    String out;
    EXPECT_FALSE(bad.AppendText(first, l.pool, nullptr, out));
    EXPECT_STREQ(out.Text(), "a");
    String none;
    EXPECT_TRUE(bad.AppendText(kEnd, l.pool, nullptr, none));
    EXPECT_TRUE(bad.AppendText(12345, l.pool, nullptr, none)); // a link out of range ends the text
    EXPECT_TRUE(none.IsEmpty());
}

// Hand-built bytes (bits 0, so no hashing is involved).
Bytes LanguageSection(uint32_t bits, std::vector<uint32_t> slots, uint32_t first = 0) {
    Bytes s;
    U16(s, 1);
    U8(s, bits);
    U32(s, static_cast<uint32_t>(slots.size() / 2));
    U16(s, 0);
    U32(s, first);
    for (uint32_t w : slots) U32(s, w);
    return s;
}

Bytes MessageSection(uint32_t bits, std::vector<uint32_t> slots, uint32_t first = 0) {
    Bytes s;
    U16(s, 1);
    U8(s, bits);
    U32(s, static_cast<uint32_t>(slots.size() / 3));
    U32(s, 0xDEADBEEF); // not read
    U16(s, 0);
    U32(s, first);
    for (uint32_t w : slots) U32(s, w);
    return s;
}

Bytes PieceSection(std::vector<uint32_t> words) {
    Bytes s;
    U32(s, static_cast<uint32_t>(words.size() / 3));
    for (uint32_t w : words) U32(s, w);
    return s;
}

Bytes Pool() {
    // 0 "de-DE", 1 "en-US", 2 "key", 3 "text"
    Bytes s;
    U32(s, 4);
    U32(s, 18);
    U32(s, 0);
    for (uint32_t w : {0u, 5u, 5u, 5u, 10u, 3u, 13u, 4u}) U32(s, w);
    test::Text(s, "de-DEen-USkeytext");
    s.push_back('!');
    return s;
}

TEST(LocalisationTest, OldFilesFallBackToTheSingleTable) {
    Bytes locl = LanguageSection(0, {0, 1, 1, kEnd});
    Bytes locd = PieceSection({1, 3, kEnd});
    Bytes single = MessageSection(0, {2, 0, kEnd});
    test::TestApplication app;
    for (uint32_t version : {0x10007u, 0x10008u}) {
        Bytes file = Container({{"dict", Pool()}, {"locl", locl}, {"locd", locd}, {std::string(4, '\0'), single}},
                               version);
        Loaded l(file, &app);
        ASSERT_TRUE(l.Load());
        EXPECT_EQ(l.Text(l.languages->Lookup(2)), version < 0x10008 ? "text" : "<none>") << std::hex << version;
    }
    // The per-language section wins when present.
    Bytes both = Container({{"dict", Pool()},
                            {"locl", locl},
                            {"locd", PieceSection({1, 3, kEnd, 1, 2, kEnd})},
                            {std::string(4, '\0'), single},
                            {std::string("LX\x01\x00", 4), MessageSection(0, {2, 1, kEnd})}},
                           0x10007);
    Loaded l(both, &app);
    ASSERT_TRUE(l.Load());
    EXPECT_EQ(l.Text(l.languages->Lookup(2)), "key");
}

TEST(LocalisationTest, DamagedTablesAreRefused) {
    test::TestApplication app;
    Bytes goodLocl = LanguageSection(0, {0, 1, 1, kEnd});
    Bytes goodLocd = PieceSection({1, 3, kEnd});
    Bytes goodLx = MessageSection(0, {2, 0, kEnd});
    auto file = [&](const Bytes& locl, const Bytes& locd, const Bytes& lx) {
        return Container({{"dict", Pool()}, {"locl", locl}, {"locd", locd}, {std::string("LX\x01\x00", 4), lx}});
    };
    {
        Loaded l(file(goodLocl, goodLocd, goodLx), &app);
        ASSERT_TRUE(l.Load());
        EXPECT_EQ(l.Text(l.languages->Lookup(2)), "text");
    }
    Bytes badLocl[] = {
        LanguageSection(0xFF, {0, 1, 1, kEnd}),       // bits -1
        LanguageSection(17, {0, 1, 1, kEnd}),         // more buckets than a record can name
        LanguageSection(0, {0, 1, 1, kEnd}, 2),       // first slot past the slots
        LanguageSection(0, {0, 7, 1, kEnd}),          // slot link out of range
        LanguageSection(0, {0, 1, 1, 0}),             // slot links loop
        LanguageSection(0, {0, 0}),                   // a slot linked to itself
        LanguageSection(0, {9, kEnd}),                // name not in the pool
    };
    Bytes bucketPast = LanguageSection(0, {0, kEnd});
    bucketPast[7] = 1; // bucket index 1 of a one-bucket table
    Bytes slotsPast = LanguageSection(0, {0, kEnd});
    slotsPast[3] = 0xFF; // slot count far past the section
    for (const Bytes& locl : {badLocl[0], badLocl[1], badLocl[2], badLocl[3], badLocl[4], badLocl[5], badLocl[6],
                              bucketPast, slotsPast}) {
        Loaded l(file(locl, goodLocd, goodLx), &app);
        EXPECT_FALSE(l.Load());
        EXPECT_STREQ(l.languages->ErrorText().Text(), kCorruptFileMessage);
        EXPECT_EQ(l.languages->Count(), 0);
    }
    for (const Bytes& locd : {PieceSection({1, 3, 1}), PieceSection({1, 3, 1, 1, 3, 0}), PieceSection({1, 3, 0}),
                              Bytes{0xFF, 0xFF, 0xFF, 0x0F}}) {
        Loaded l(file(goodLocl, locd, goodLx), &app);
        EXPECT_FALSE(l.Load());
        EXPECT_STREQ(l.pieces.ErrorText().Text(), kCorruptFileMessage);
        EXPECT_EQ(l.pieces.Count(), 0);
    }
    // Shared tails are fine: two texts ending in the same piece.
    {
        Loaded l(file(goodLocl, PieceSection({1, 3, 2, 1, 2, 2, 1, 0, kEnd}), goodLx), &app);
        EXPECT_TRUE(l.Load());
        EXPECT_EQ(l.pieces.Count(), 3);
    }
    // A damaged language table leaves that language without texts.
    for (const Bytes& lx : {MessageSection(0, {2, 0, 5}), MessageSection(0, {2, 0, 0}), MessageSection(0, {77, 0, kEnd}),
                            MessageSection(0, {2, 0, kEnd}, 1), MessageSection(31, {2, 0, kEnd})}) {
        Loaded l(file(goodLocl, goodLocd, lx), &app);
        ASSERT_TRUE(l.Load());
        EXPECT_EQ(l.languages->Lookup(2), nullptr);
        LocalizedIndex* en = l.languages->FindLanguage("en-US", -1)->index;
        EXPECT_EQ(en->Count(), 0);
        EXPECT_STREQ(en->ErrorText().Text(), kCorruptFileMessage);
    }
}

TEST(LocalisationTest, SavedTablesLoadBackByteForByte) {
    Program p = BuildProgram();
    test::TestApplication app;
    Loaded l(p.bytes, &app);
    ASSERT_TRUE(l.Load());
    Bytes again = test::WriteContainer(
        [&](TaggedFile& tf) { return l.pool.WriteChunk(tf) && l.languages->Save(tf) && l.pieces.Save(tf); });
    EXPECT_EQ(again, p.bytes);
}

TEST(LocalisationTest, TruncatedAndFlippedFilesFailCleanly) {
    Program p = BuildProgram();
    test::TestApplication app;
    app.SetLanguage("de-DE", -1);
    auto attempt = [&](const Bytes& bytes) {
        Loaded l(bytes, &app);
        if (!l.Load()) return false;
        VariableHash tokens(&l.pool, 4, 4);
        tokens.SetVariable("name", -1, "x", -1);
        for (int32_t key = -1; key < l.pool.Count() + 1; ++key) l.Text(l.languages->Lookup(key), &tokens);
        for (int32_t s = 0; s < l.languages->Count(); ++s) l.languages->Table(s);
        return true;
    };
    ASSERT_TRUE(attempt(p.bytes));
    // Each section cut short inside a sound container.
    TaggedFile whole(nullptr);
    ASSERT_TRUE(test::OpenBytes(whole, p.bytes));
    std::vector<test::Section> sections;
    for (int32_t i = 0; i < whole.EntryCount(); ++i) {
        const TaggedFileEntry* e = whole.EntryAt(i);
        std::string tag(reinterpret_cast<const char*>(&e->tag), 4);
        sections.push_back({tag, Bytes(p.bytes.begin() + e->offset, p.bytes.begin() + e->offset + e->length)});
    }
    int cutSections = 0;
    for (size_t victim = 1; victim < sections.size(); ++victim) {
        for (size_t n = 0; n < sections[victim].bytes.size(); ++n) {
            std::vector<test::Section> cut = sections;
            cut[victim].bytes.resize(n);
            bool loaded = attempt(Container(cut));
            // A cut language table only empties that language.
            if (sections[victim].tag.substr(0, 2) != "LX") {
                EXPECT_FALSE(loaded) << sections[victim].tag << " " << n;
            }
        }
        ++cutSections;
    }
    EXPECT_EQ(cutSections, 4); // locl, two language tables, locd
    std::mt19937 random(99);
    int survived = 0;
    for (int round = 0; round < 3000; ++round) {
        Bytes bad = p.bytes;
        int flips = 1 + static_cast<int>(random() % 3);
        for (int f = 0; f < flips; ++f) bad[random() % bad.size()] ^= static_cast<uint8_t>(1 + random() % 255);
        survived += attempt(bad) ? 1 : 0;
    }
    EXPECT_GT(survived, 0); // some damage loads and is then looked up
}

} // namespace
} // namespace vorn
