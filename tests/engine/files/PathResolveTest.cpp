#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "engine/files/PosixFile.h"
#include "engine/files/PosixFilePath.h"
#include "tests/engine/files/FileTestSupport.h"

namespace vorn::test {
namespace {

std::string Components(const PosixFilePath& path) {
    std::string out;
    for (int32_t i = 0; i < path.ComponentCount(); ++i) out += std::string(path.Component(i).Text()) + "|";
    return out;
}

std::string Joined(PosixFilePath& path) {
    int32_t length = -1;
    int32_t size = -1;
    char* text = path.JoinedText(&length, &size);
    std::string out(text);
    EXPECT_EQ(length, static_cast<int32_t>(out.size()));
    EXPECT_GT(size, length);
    std::free(text);
    return out;
}

TEST(PosixFilePathTest, SplitsAtRunsOfEitherSeparator) {
    PosixFilePath mixed("a\\\\b//c/");
    EXPECT_EQ(Components(mixed), "a|b|c|");
    EXPECT_STREQ(mixed.Text(), "a\\\\b//c");
    EXPECT_FALSE(mixed.IsAbsolute());
    EXPECT_STREQ(mixed.SubPath(1, 2).Text(), "b/c");

    PosixFilePath rooted("\\a");
    EXPECT_TRUE(rooted.IsAbsolute());
    EXPECT_EQ(Components(rooted), "/|a|");
    EXPECT_STREQ(rooted.SubPath(0, 1).Text(), "/a");

    PosixFilePath root("///");
    EXPECT_TRUE(root.IsAbsolute());
    EXPECT_EQ(root.ComponentCount(), 1);
    EXPECT_STREQ(root.Text(), "/");
    EXPECT_STREQ(root.LastName().Text(), ".");

    PosixFilePath empty("");
    EXPECT_EQ(empty.ComponentCount(), 1);
    EXPECT_EQ(empty.SurvivorCount(), 0);
    EXPECT_EQ(Joined(empty), ".");
    PosixFilePath null(static_cast<const char*>(nullptr));
    EXPECT_STREQ(null.LastName().Text(), ".");

    // Around the number of components kept in place.
    for (int n : {14, 15, 16, 17, 40}) {
        std::string text = "/";
        std::string expected = "/|";
        for (int i = 0; i < n; ++i) {
            text += "c" + std::to_string(i) + (i % 3 ? "/" : "\\//");
            expected += "c" + std::to_string(i) + "|";
        }
        PosixFilePath path(text.c_str());
        EXPECT_EQ(Components(path), expected) << n;
    }
}

TEST(PosixFilePathTest, NormalisesDotsWithoutClimbingAboveTheRoot) {
    struct Case {
        const char* text;
        const char* joined;
        const char* last;
    } cases[] = {
        {"/a/./b/../c", "/a/c", "c"},   {"/../../x", "/x", "x"},      {"/a/..", "/", "."},
        {"a/../..", "..", "."},         {"../../a", "../../a", "a"},  {"a/b/../../..", "..", "."},
        {"./.", ".", "."},              {"/", "/", "."},              {"..a/...", "..a/...", "..."},
        {"a/../../b/..", "..", "."},    {"/x/y/", "/x/y", "y"},
    };
    for (const Case& c : cases) {
        PosixFilePath path(c.text);
        EXPECT_EQ(Joined(path), c.joined) << c.text;
        EXPECT_STREQ(path.LastName().Text(), c.last) << c.text;
        path.Rebuild();
        EXPECT_STREQ(path.Text(), c.joined) << c.text;
        EXPECT_STREQ(path.LastName().Text(), c.last) << c.text;
    }
}

// A rebuilt path is its joined text split again, whether or not the text was
// already in that form (many components included).
TEST(PosixFilePathTest, RebuildingGivesTheJoinedTextSplitAgain) {
    std::string deep;
    for (int i = 0; i < 40; ++i) deep += "/d" + std::to_string(i);
    for (std::string text : {std::string("/a/b"), std::string("a/b"), std::string("a//b"), std::string("a\\b"),
                             std::string("//a"), std::string("/a/"), std::string("a"), std::string(""),
                             std::string("/"), std::string("./a"), std::string("/a/b/.."), deep, deep + "/../x",
                             deep.substr(1), "\\" + deep}) {
        SCOPED_TRACE(text);
        PosixFilePath path(text.c_str());
        std::string joined = Joined(path);
        path.Rebuild();
        PosixFilePath split(joined.c_str());
        EXPECT_STREQ(path.Text(), split.Text());
        EXPECT_EQ(Components(path), Components(split));
        EXPECT_EQ(path.IsAbsolute(), split.IsAbsolute());
        EXPECT_EQ(path.SurvivorCount(), split.SurvivorCount());
        EXPECT_STREQ(path.LastName().Text(), split.LastName().Text());
        EXPECT_TRUE(path.IsPrefixOf(split) && split.IsPrefixOf(path));
    }
}

TEST(PosixFilePathTest, PrefixesCompareWholeComponentsWithCase) {
    PosixFilePath base("/srv/data");
    PosixFilePath inside("/srv/data/./x/../y");
    PosixFilePath upper("/srv/DATA/y");
    PosixFilePath longer("/srv/data2/y");
    PosixFilePath same("/srv//data/");
    PosixFilePath relative("srv/data/y");
    EXPECT_TRUE(base.IsPrefixOf(inside));
    EXPECT_FALSE(base.IsPrefixOf(upper));
    EXPECT_FALSE(base.IsPrefixOf(longer));
    EXPECT_TRUE(base.IsPrefixOf(same));
    EXPECT_FALSE(base.IsPrefixOf(relative));
    EXPECT_FALSE(inside.IsPrefixOf(base));
    PosixFilePath nothing(".");
    EXPECT_TRUE(nothing.IsPrefixOf(relative));
}

class PathResolveTest : public ::testing::Test {
protected:
    void SetUp() override { ConfigureRoots(app, tree, false); }

    // The resolved text, or "!" followed by the error.
    std::string Resolve(int32_t kind, const char* relative) {
        PosixFilePath* path = nullptr;
        if (!app.files.ResolvePath(kind, relative, &path)) {
            EXPECT_EQ(path, nullptr);
            return std::string("!") + app.files.ErrorText().Text();
        }
        std::string out = path->Text();
        delete path;
        return out;
    }

    ScratchTree tree;
    FileTestApplication app;
};

TEST_F(PathResolveTest, ResolvesInsideTheDataRoot) {
    const std::string data = tree.Data();
    const std::string outside = "!The specified path references a path outside the configured data directory";
    const std::string stream = "!The specified path references an NTFS alternate data stream";
    const std::string reserved = "!The specified path references a Windows reserved device name";
    struct Case {
        const char* relative;
        std::string expected;
    } cases[] = {
        {"x", data + "/x"},
        {"a/../x", data + "/x"},
        {"a/../../x", outside},
        {"\\\\x", data + "/x"},
        {"//x", data + "/x"},
        {"a\\b/c", data + "/a/b/c"},
        {"../data/x", data + "/x"},
        {"../DATA/x", outside},
        {"../data2/x", outside},
        {"..", outside},
        {"", data},
        {"a/./b/", data + "/a/b"},
        {"x.txt:stream", stream},
        {"a:b/c", data + "/a:b/c"},
        {"nul.txt", reserved},
        {"Com1", reserved},
        {"LPT9.log", reserved},
        {"sub/con", reserved},
        {"con/sub", data + "/con/sub"},
        {"com10", data + "/com10"},
        {"CONSOLE", data + "/CONSOLE"},
        {"COM0", data + "/COM0"},
        {"LPT10", data + "/LPT10"},
        {"aux.", reserved},
        {"au", data + "/au"},
    };
    for (const Case& c : cases) EXPECT_EQ(Resolve(LocationData, c.relative), c.expected) << c.relative;
}

TEST_F(PathResolveTest, LocationsAndTheirMessages) {
    // Without a temporary directory, kind 2 is the data directory.
    EXPECT_EQ(Resolve(LocationTemporary, "t"), tree.Data() + "/t");
    EXPECT_EQ(Resolve(LocationTemporary, "../t"),
              "!The specified path references a path outside the configured data directory");
    EXPECT_EQ(Resolve(LocationScript, "s/index.vrc"), tree.Scripts() + "/s/index.vrc");
    EXPECT_EQ(Resolve(LocationScript, "../data/x"),
              "!The specified path references a path outside the configured script directory");
    EXPECT_EQ(Resolve(7, "x"), "!The specified location is not valid");

    ASSERT_TRUE(app.files.CheckTemporaryDirectory(tree.Temp().c_str()));
    EXPECT_EQ(Resolve(LocationTemporary, "t"), tree.Temp() + "/t");
    EXPECT_EQ(Resolve(LocationTemporary, "../t"),
              "!The specified path references a path outside the configured temporary directory");

    PosixFileManager bare(&app);
    PosixFilePath* path = nullptr;
    EXPECT_FALSE(bare.ResolvePath(LocationData, "x", &path));
    EXPECT_STREQ(bare.ErrorText().Text(), "There is no configured data directory");
    EXPECT_FALSE(bare.ResolvePath(LocationTemporary, "x", &path));
    EXPECT_STREQ(bare.ErrorText().Text(), "There is no configured data directory");
    EXPECT_FALSE(bare.ResolvePath(LocationScript, "x", &path));
    EXPECT_STREQ(bare.ErrorText().Text(), "There is no configured script directory");
    EXPECT_EQ(bare.Open(LocationData, "x", OpenRead), nullptr);

    char* made = app.files.MakePath("\\\\a\\b/../c", nullptr, nullptr);
    EXPECT_STREQ(made, "a/c");
    std::free(made);
    EXPECT_EQ(app.files.PathSeparator(), '/');
}

TEST_F(PathResolveTest, ChecksTheConfiguredRoots) {
    PosixFileManager& files = app.files;
    EXPECT_FALSE(files.CheckDataDirectory("relative/data"));
    EXPECT_STREQ(files.ErrorText().Text(), "The configured data directory is not an absolute path");
    EXPECT_EQ(files.DataDirectory(), nullptr); // a refusal leaves the location unset

    EXPECT_FALSE(files.CheckScriptDirectory((tree.root + "/missing").c_str()));
    EXPECT_STREQ(files.ErrorText().Text(), "The configured script directory does not exist, or is not a directory");
    ScratchTree::WriteFile(tree.root + "/plain", "x");
    EXPECT_FALSE(files.CheckTemporaryDirectory((tree.root + "/plain").c_str()));
    EXPECT_STREQ(files.ErrorText().Text(),
                 "The configured temporary directory does not exist, or is not a directory");
    std::filesystem::create_directory(tree.root + "/Prn.d");
    EXPECT_FALSE(files.CheckDataDirectory((tree.root + "/Prn.d").c_str()));
    EXPECT_STREQ(files.ErrorText().Text(), "The configured data directory references a reserved Windows device name");

    // Redundant parts are normalised away.
    ASSERT_TRUE(files.CheckDataDirectory((tree.root + "//./scripts/../data/").c_str()));
    EXPECT_EQ(std::string(files.DataDirectory()->Text()), tree.Data());
    EXPECT_EQ(Resolve(LocationData, "x"), tree.Data() + "/x");

    EXPECT_TRUE(files.IsReservedName("con"));
    EXPECT_TRUE(files.IsReservedName("CON.txt"));
    EXPECT_FALSE(files.IsReservedName("co"));
    EXPECT_FALSE(files.IsReservedName("LPT"));
    EXPECT_FALSE(files.IsReservedName("COMX"));
}

} // namespace
} // namespace vorn::test
