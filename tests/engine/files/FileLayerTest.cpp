#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "engine/files/BufferFile.h"
#include "engine/files/File.h"
#include "engine/files/PosixFile.h"
#include "platform/Files.h"
#include "tests/engine/files/FileTestSupport.h"

namespace vorn::test {
namespace {

class FileLayerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ConfigureRoots(app, tree);
        app.settings.SetInteger(kConfigFileDelay, 5);
    }

    File* OpenData(const char* name, int32_t mode = OpenRead | OpenWrite | OpenCreate) {
        File* file = app.files.Open(LocationData, name, mode);
        EXPECT_NE(file, nullptr) << name << ": " << app.files.ErrorText().Text();
        return file;
    }
    std::string DataPath(const char* name) const { return tree.Data() + "/" + name; }
    std::string ReadBack(File* file, int32_t n) {
        std::string out(static_cast<size_t>(n), '\0');
        int32_t got = file->Read(out.data(), n);
        EXPECT_GE(got, 0) << file->ErrorText().Text();
        out.resize(got < 0 ? 0 : static_cast<size_t>(got));
        return out;
    }

    ScratchTree tree;
    FileTestApplication app;
};

TEST(BufferFileTest, AViewOfSharedBytesIsCopiedOnItsFirstWrite) {
    auto shared = std::make_shared<const std::vector<uint8_t>>(std::vector<uint8_t>{'a', 'b', 'c', 'd'});
    BufferFile file("view", shared);
    EXPECT_EQ(file.Bytes(), shared->data()) << "read in place";
    EXPECT_EQ(file.Length(), 4);
    char read[8] = {};
    EXPECT_EQ(file.Seek(1), 1);
    EXPECT_EQ(file.Read(read, 8), 3);
    EXPECT_STREQ(read, "bcd");
    EXPECT_EQ(file.Seek(2), 2);
    EXPECT_EQ(file.Write("XYZ", 3), 3);
    EXPECT_EQ(std::string(shared->begin(), shared->end()), "abcd") << "the shared bytes stay as they were";
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(file.Bytes()), 5), "abXYZ");
    // Another view of the same bytes, outliving the cache's hold on them.
    auto* other = new BufferFile("view", shared);
    shared.reset();
    EXPECT_EQ(std::string(static_cast<const char*>(other->Map(0, 4)), 4), "abcd");
    delete other;
    BufferFile empty("view", std::make_shared<const std::vector<uint8_t>>());
    EXPECT_EQ(empty.Length(), 0);
    EXPECT_EQ(empty.Write("q", 1), 1);
    EXPECT_EQ(empty.Bytes()[0], 'q');
}

TEST_F(FileLayerTest, PoolOfThreeClosesTheOldestAndReopensAtItsPosition) {
    app.settings.SetInteger(kConfigMaxFiles, 3);
    app.files.SetMaxOpen(app.settings.GetInteger(kConfigMaxFiles));
    for (const char* name : {"a", "b", "c", "d"}) ScratchTree::WriteFile(DataPath(name), std::string(name) + "0123456789");

    File* a = OpenData("a", OpenRead);
    File* b = OpenData("b", OpenRead);
    File* c = OpenData("c", OpenRead);
    EXPECT_EQ(ReadBack(a, 3), "a01");
    EXPECT_EQ(app.files.ActiveCount(), 3);

    File* d = OpenData("d", OpenRead);
    EXPECT_TRUE(app.files.IsInactive(a));
    EXPECT_EQ(app.files.ActiveCount(), 3);
    EXPECT_EQ(app.files.InactiveCount(), 1);

    // Using a again reopens it where it stopped and closes b, now the oldest.
    EXPECT_EQ(ReadBack(a, 3), "234");
    EXPECT_TRUE(app.files.IsActive(a));
    EXPECT_TRUE(app.files.IsInactive(b));
    EXPECT_EQ(a->Tell(), 6);
    // Reading an active file does not move it up: c is the next to go.
    EXPECT_EQ(ReadBack(d, 2), "d0");
    File* e = OpenData("e");
    EXPECT_TRUE(app.files.IsInactive(c));
    EXPECT_TRUE(app.files.IsActive(d));

    // A request beyond the maximum fails and leaves every file alone.
    EXPECT_EQ(app.files.ActivateFiles(4), 0);
    EXPECT_STREQ(app.files.ErrorText().Text(),
                 "Simultaneous request for 4 file handles exceeds the maximum number of simultaneous file handles.");
    EXPECT_EQ(app.files.ActiveCount(), 3);
    EXPECT_EQ(app.files.InactiveCount(), 2);

    // Deleting a closed file takes it off the inactive list.
    delete b;
    EXPECT_EQ(app.files.InactiveCount(), 1);
    EXPECT_FALSE(app.files.Deactivate(b));
    delete a;
    delete c;
    delete d;
    delete e;
    EXPECT_EQ(app.files.ActiveCount(), 0);
    EXPECT_EQ(app.files.InactiveCount(), 0);
}

TEST_F(FileLayerTest, UnlimitedPoolAndExplicitDeactivation) {
    File* files[8];
    for (int i = 0; i < 8; ++i) files[i] = OpenData(("f" + std::to_string(i)).c_str());
    EXPECT_EQ(app.files.ActiveCount(), 8);
    EXPECT_EQ(app.files.ActivateFiles(1000), 1);

    // An explicit deactivation goes to the tail of the inactive list; a
    // second one of the same file answers false.
    ASSERT_EQ(files[2]->Write("xyz", 3), 3);
    EXPECT_TRUE(app.files.Deactivate(files[2]));
    EXPECT_FALSE(app.files.Deactivate(files[2]));
    EXPECT_EQ(app.files.InactiveCount(), 1);
    // The position is kept without the handle; the next write reopens it.
    EXPECT_EQ(files[2]->Tell(), 3);
    EXPECT_FALSE(app.files.IsActive(files[2]));
    ASSERT_EQ(files[2]->Write("!", 1), 1);
    EXPECT_TRUE(app.files.IsActive(files[2]));
    EXPECT_EQ(ScratchTree::ReadFile(DataPath("f2")), "xyz!");

    // Unpooled files are on neither list.
    File* loose = OpenData("loose", OpenRead | OpenWrite | OpenCreate | OpenUnpooled);
    EXPECT_FALSE(app.files.IsActive(loose));
    EXPECT_FALSE(app.files.IsInactive(loose));
    delete loose;
    for (File* f : files) delete f;
}

TEST_F(FileLayerTest, ReopeningNeverTruncatesOrCreates) {
    app.files.SetMaxOpen(1);
    File* first = OpenData("t", OpenRead | OpenWrite | OpenCreate | OpenTruncate);
    ASSERT_EQ(first->Write("abc", 3), 3);
    File* second = OpenData("other");
    EXPECT_TRUE(app.files.IsInactive(first));
    ASSERT_EQ(first->Write("def", 3), 3);
    EXPECT_EQ(ScratchTree::ReadFile(DataPath("t")), "abcdef");

    // A file that vanished while closed fails to reopen, with the system's
    // reason, and stays inactive for a later try.
    EXPECT_TRUE(app.files.Deactivate(first));
    std::filesystem::remove(DataPath("t"));
    char byte;
    EXPECT_EQ(first->Read(&byte, 1), -1);
    EXPECT_FALSE(first->ErrorText().IsEmpty());
    EXPECT_TRUE(app.files.IsInactive(first));
    EXPECT_FALSE(ScratchTree::Exists(DataPath("t")));
    delete first;
    delete second;
}

TEST_F(FileLayerTest, LockedAndMappedFilesAreNeverClosedByThePool) {
    app.files.SetMaxOpen(3);
    for (const char* name : {"a", "b", "c", "d", "e"}) ScratchTree::WriteFile(DataPath(name), "0123456789");
    File* a = OpenData("a");
    File* b = OpenData("b");
    File* c = OpenData("c");
    ASSERT_TRUE(a->Lock(LockExclusive, 0, 4)) << a->ErrorText().Text();
    const void* view = b->Map(2, -1);
    ASSERT_NE(view, nullptr) << b->ErrorText().Text();
    EXPECT_EQ(std::memcmp(view, "23456789", 8), 0);

    // a is the oldest, but it holds a lock and b a mapping: c goes.
    File* d = OpenData("d");
    EXPECT_TRUE(app.files.IsActive(a));
    EXPECT_TRUE(app.files.IsActive(b));
    EXPECT_TRUE(app.files.IsInactive(c));
    EXPECT_FALSE(app.files.Deactivate(a));
    EXPECT_TRUE(app.files.IsActive(a));

    // With all three pinned nothing more can be opened, and nothing is closed.
    ASSERT_TRUE(d->Lock(LockShared, 0, 1));
    EXPECT_EQ(app.files.Open(LocationData, "e", OpenRead), nullptr);
    EXPECT_NE(std::string(app.files.ErrorText().Text()).find("lock or a mapping"), std::string::npos);
    EXPECT_EQ(app.files.ActiveCount(), 3);
    char byte;
    EXPECT_EQ(c->Read(&byte, 1), -1);

    // Releasing the lock and the mapping frees them for the pool again.
    ASSERT_TRUE(a->Unlock(0, 4));
    b->Close();
    File* e = OpenData("e", OpenRead);
    ASSERT_NE(e, nullptr);
    EXPECT_TRUE(app.files.IsActive(d));
    EXPECT_TRUE(app.files.IsInactive(a) || app.files.IsInactive(b));
    delete a;
    delete b;
    delete c;
    delete d;
    delete e;
}

// Viewed reads show what a read would: other handles' writes at once, bytes
// added past the view, a file cut short; and the view pins nothing.
TEST_F(FileLayerTest, ViewedReadsShowWhatAReadWould) {
    ScratchTree::WriteFile(DataPath("v"), "0123456789");
    File* writer = OpenData("v");
    File* reader = OpenData("v", OpenRead);
    auto viewed = [&](int64_t at, int32_t n) {
        std::string out(static_cast<size_t>(n), '?');
        int32_t got = reader->ReadViewed(at, out.data(), n);
        out.resize(got < 0 ? 0 : static_cast<size_t>(got));
        return out;
    };
    struct Step {
        const char* write; // written at writeAt first, unless null
        int64_t writeAt;
        int64_t at;
        int32_t count;
        const char* expected;
    } const steps[] = {
        {nullptr, 0, 2, 4, "2345"}, {"ab", 3, 2, 4, "2ab5"}, {"XYZ", 10, 8, 5, "89XYZ"},
        {nullptr, 0, 11, 4, "YZ"},  {nullptr, 0, 13, 1, ""},
    };
    for (const Step& step : steps) {
        if (step.write) {
            const auto n = static_cast<int32_t>(std::strlen(step.write));
            ASSERT_EQ(writer->WriteAt(step.writeAt, step.write, n), n);
        }
        EXPECT_EQ(viewed(step.at, step.count), step.expected) << step.at;
    }
    // Past the view a while, the file grown: a new view shows the new bytes too.
    ASSERT_EQ(writer->WriteAt(13, "!", 1), 1);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(viewed(12, 2), "Z!") << i;
    ASSERT_EQ(writer->WriteAt(12, "z", 1), 1);
    EXPECT_EQ(viewed(12, 2), "z!");
    EXPECT_TRUE(app.files.Deactivate(reader)) << "a view pins nothing";
    for (int i = 0; i < 20; ++i) ASSERT_EQ(viewed(0, 3), "012") << i;
    ASSERT_EQ(truncate(DataPath("v").c_str(), 0), 0);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(viewed(0, 3), "") << "the end of a file cut short, as a read finds it";
    delete reader;
    delete writer;
}

TEST_F(FileLayerTest, OpenModesAndFileOperations) {
    ScratchTree::WriteFile(DataPath("x"), "hello");
    EXPECT_EQ(app.files.Open(LocationData, "x", OpenWrite | OpenExclusive), nullptr);
    EXPECT_EQ(app.files.Open(LocationData, "missing", OpenRead), nullptr);
    std::filesystem::create_directory(DataPath("dir"));
    EXPECT_EQ(app.files.Open(LocationData, "dir", OpenRead), nullptr);

    File* append = OpenData("x", OpenWrite | OpenAppend);
    EXPECT_EQ(append->Tell(), 5);
    ASSERT_EQ(append->Write(" world", 6), 6);
    EXPECT_EQ(append->Seek(1), 1);
    EXPECT_EQ(append->Length(), 11);
    EXPECT_EQ(append->Tell(), 1);
    bool isDirectory = true;
    EXPECT_TRUE(append->IsDirectory(&isDirectory));
    EXPECT_FALSE(isDirectory);
    delete append;
    EXPECT_EQ(ScratchTree::ReadFile(DataPath("x")), "hello world");

    File* reader = OpenData("x", OpenRead);
    EXPECT_EQ(reader->Map(8, 10), nullptr); // past the end of the file
    EXPECT_EQ(reader->Map(0, 0), nullptr);
    const void* tail = reader->Map(6, -1);
    ASSERT_NE(tail, nullptr);
    EXPECT_EQ(std::memcmp(tail, "world", 5), 0);
    EXPECT_EQ(reader->Write("x", 1), -1);
    EXPECT_FALSE(reader->ErrorText().IsEmpty());
    delete reader;
}

TEST_F(FileLayerTest, PathQueriesUseStat) {
    ScratchTree::WriteFile(DataPath("ro"), "12345");
    chmod(DataPath("ro").c_str(), 0444);
    uint32_t size = 0;
    EXPECT_TRUE(app.files.Size(LocationData, "ro", &size));
    EXPECT_EQ(size, 5u);
    ASSERT_TRUE(platform::SetModifiedTime(DataPath("ro").c_str(), 1234567890));
    int64_t when = 0;
    EXPECT_TRUE(app.files.Time(LocationData, "ro", &when));
    EXPECT_EQ(when, 1234567890);
    int32_t mode = 0;
    EXPECT_TRUE(app.files.Mode(LocationData, "ro", &mode));
    EXPECT_EQ(mode, 0444);
    EXPECT_TRUE(app.files.ChangeMode(LocationData, "ro", 0640));
    EXPECT_TRUE(app.files.Mode(LocationData, "ro", &mode));
    EXPECT_EQ(mode, 0640);
    // No handle was taken for any of these.
    EXPECT_FALSE(platform::IsOpenInProcess(DataPath("ro").c_str()));

    bool flag = true;
    EXPECT_TRUE(app.files.Exists(LocationData, "nothing/here", &flag));
    EXPECT_FALSE(flag);
    EXPECT_FALSE(app.files.Size(LocationData, "nothing", &size));
    EXPECT_TRUE(app.files.Touch(LocationData, "made"));
    EXPECT_TRUE(app.files.Exists(LocationData, "made", &flag));
    EXPECT_TRUE(flag);
    EXPECT_TRUE(app.files.MakeDirectory(LocationData, "sub"));
    EXPECT_TRUE(app.files.IsDirectory(LocationData, "sub", &flag));
    EXPECT_TRUE(flag);
    EXPECT_TRUE(app.files.Copy(LocationData, "ro", LocationData, "sub/copy"));
    ScratchTree::WriteFile(DataPath("sub/copy2"), "old old old");
    EXPECT_TRUE(app.files.Copy(LocationData, "ro", LocationData, "sub/copy2"));
    EXPECT_EQ(ScratchTree::ReadFile(DataPath("sub/copy2")), "12345");
    EXPECT_FALSE(app.files.RemoveDirectory(LocationData, "sub"));
    EXPECT_FALSE(app.files.MakeSymbolicLink(LocationData, "ro", LocationData, "link"));

    List<String> names(true);
    ASSERT_TRUE(app.files.ListDirectory(LocationData, "sub", names));
    std::string seen;
    for (String* name = names.First(); name; name = names.Next()) seen += std::string(name->Text()) + "|";
    EXPECT_EQ(names.Count(), 4);
    for (const char* expected : {".|", "..|", "copy|", "copy2|"}) EXPECT_NE(seen.find(expected), std::string::npos);
    EXPECT_FALSE(app.files.ListDirectory(LocationData, "nothing", names));
    EXPECT_TRUE(app.files.Delete(LocationData, "sub/copy"));
    EXPECT_FALSE(app.files.Delete(LocationData, "sub/copy"));
}

TEST_F(FileLayerTest, OperationsOnTheRootItselfAreRefused) {
    EXPECT_FALSE(app.files.RemoveDirectory(LocationData, ""));
    EXPECT_FALSE(app.files.Rename(LocationData, "a/..", LocationData, "x"));
    EXPECT_FALSE(app.files.Delete(LocationData, "."));
    String name;
    EXPECT_EQ(app.files.MakeTemporary(LocationData, "", name, OpenWrite), nullptr);
    EXPECT_STREQ(app.files.ErrorText().Text(), "The specified path names the configured directory itself");
    EXPECT_TRUE(std::filesystem::is_directory(tree.Data()));
    // Reading the root is fine.
    bool flag = false;
    EXPECT_TRUE(app.files.IsDirectory(LocationData, "", &flag));
    EXPECT_TRUE(flag);
}

TEST_F(FileLayerTest, RenameOfAFileOpenElsewhereWaitsForItsRelease) {
    ScratchTree::WriteFile(DataPath("from"), "new");
    ScratchTree::WriteFile(DataPath("to"), "old");

    // Open elsewhere in the process: refused until the time-out flag ends the wait.
    auto* elsewhere = new platform::FileHandle;
    ASSERT_TRUE(elsewhere->Open(DataPath("to").c_str(), platform::kOpenRead));
    app.RequestStop();
    EXPECT_FALSE(app.files.Rename(LocationData, "from", LocationData, "to"));
    EXPECT_NE(std::string(app.files.ErrorText().Text()).find("Timed out"), std::string::npos);
    EXPECT_EQ(ScratchTree::ReadFile(DataPath("to")), "old");
    app.ResetTimeLimit();

    // The same without a global limit: "filetimeout" bounds the wait.
    app.settings.SetInteger(kConfigGlobalTimeout, 0);
    app.settings.SetInteger(kConfigFileTimeout, 1);
    app.ResetTimeLimit();
    EXPECT_FALSE(app.files.Rename(LocationData, "from", LocationData, "to"));
    EXPECT_TRUE(ScratchTree::Exists(DataPath("from")));
    delete elsewhere;

    // A file only this request holds is renamed over at once; the holder's
    // handle then knows its file was replaced.
    File* held = OpenData("to", OpenRead);
    EXPECT_FALSE(held->Replaced());
    EXPECT_TRUE(app.files.Rename(LocationData, "from", LocationData, "to")) << app.files.ErrorText().Text();
    EXPECT_EQ(ScratchTree::ReadFile(DataPath("to")), "new");
    EXPECT_TRUE(held->Replaced());
    delete held;

    // A holder elsewhere in the process that lets go during the wait.
    app.settings.SetInteger(kConfigFileTimeout, 30);
    ScratchTree::WriteFile(DataPath("from"), "newer");
    auto* other = new platform::FileHandle;
    ASSERT_TRUE(other->Open(DataPath("from").c_str(), platform::kOpenRead));
    std::atomic<bool> started{false};
    std::thread closer([&] {
        started = true;
        platform::SleepMilliseconds(50);
        other->Close();
    });
    while (!started) std::this_thread::yield();
    EXPECT_TRUE(app.files.Rename(LocationData, "from", LocationData, "to")) << app.files.ErrorText().Text();
    closer.join();
    delete other;
    EXPECT_EQ(ScratchTree::ReadFile(DataPath("to")), "newer");

    // Failures other than a refusal are reported at once.
    EXPECT_FALSE(app.files.Rename(LocationData, "missing", LocationData, "to"));
}

TEST_F(FileLayerTest, TemporaryNamesCountInHexadecimal) {
    File* files[12];
    for (int i = 0; i < 12; ++i) {
        String name;
        files[i] = app.files.TemporaryName(LocationData, "", "VORN_FUP", name, OpenWrite);
        ASSERT_NE(files[i], nullptr) << app.files.ErrorText().Text();
        char expected[32];
        std::snprintf(expected, sizeof expected, "VORN_FUP.%x", i);
        EXPECT_STREQ(name.Text(), expected);
        EXPECT_TRUE(ScratchTree::Exists(DataPath(expected)));
    }
    for (File* f : files) delete f;

    String name;
    std::filesystem::create_directory(DataPath("up"));
    File* inDirectory = app.files.TemporaryName(LocationData, "up", "p", name, OpenWrite);
    ASSERT_NE(inDirectory, nullptr);
    EXPECT_STREQ(name.Text(), "up/p.0");
    delete inDirectory;
    File* trailing = app.files.TemporaryName(LocationData, "up/", "p", name, OpenWrite);
    ASSERT_NE(trailing, nullptr);
    EXPECT_STREQ(name.Text(), "up/p.1");
    delete trailing;

    EXPECT_EQ(app.files.TemporaryName(LocationData, "", "a/b", name, OpenWrite), nullptr);
    EXPECT_STREQ(app.files.ErrorText().Text(), "Invalid temporary filename prefix");
    EXPECT_EQ(app.files.TemporaryName(LocationData, "", "a\\b", name, OpenWrite), nullptr);

    // The temporary location, and absolute prefixes.
    File* temp = app.files.MakeTemporary(LocationTemporary, "t", name, OpenWrite);
    ASSERT_NE(temp, nullptr);
    EXPECT_STREQ(name.Text(), "t.0");
    EXPECT_TRUE(ScratchTree::Exists(tree.Temp() + "/t.0"));
    delete temp;
    File* absolute = app.files.MakeTemporaryPath((tree.Temp() + "/t").c_str(), name, OpenWrite);
    ASSERT_NE(absolute, nullptr);
    EXPECT_EQ(std::string(name.Text()), tree.Temp() + "/t.1");
    delete absolute;
}

TEST_F(FileLayerTest, FilesOutliveTheirManagerSafely) {
    auto* other = new FileTestApplication;
    ASSERT_TRUE(other->files.CheckDataDirectory(tree.Data().c_str()));
    other->files.SetMaxOpen(1);
    File* a = other->files.Open(LocationData, "a", OpenRead | OpenWrite | OpenCreate);
    File* b = other->files.Open(LocationData, "b", OpenRead | OpenWrite | OpenCreate);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    delete other;
    char byte;
    EXPECT_EQ(a->Read(&byte, 1), -1); // closed by the pool, and no manager to reopen it
    EXPECT_EQ(b->Write("x", 1), 1);   // still open
    delete a;
    delete b;
}

} // namespace
} // namespace vorn::test
