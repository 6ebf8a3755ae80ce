// Files and directories of both families, on a scratch tree.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <thread>

#include "engine/files/File.h"
#include "engine/foundation/Config.h"
#include "host/plugin/VornHost.h"
#include "platform/Files.h"
#include "tests/host/plugin/HostInterfaceSupport.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
using test::HostRig;
using test::Take;
using test::TextOf;

std::string ErrorText(VornProgram* program) {
    int32_t length = 0;
    const char* text = vrFile_Error(program, nullptr, &length);
    return text ? std::string(text, static_cast<size_t>(length)) : std::string();
}

int32_t WriteText(VornProgram* program, int32_t location, const char* path, const std::string& text) {
    VornFile* file = vrFile_Open(program, location, path, -1, 0x02 | 0x08);
    if (!file) return -1;
    int32_t written = vrFile_Write(file, text.data(), static_cast<int32_t>(text.size()));
    vrFile_Close(file);
    return written;
}

TEST(HostFilesTest, LocationsPutPathsUnderTheirRoots) {
    HostRig rig; // the program is "sub/t.vrc"
    struct Case {
        int32_t location;
        const char* path;
        const char* commerce; // configured commerce directory, or null
        std::string where;    // relative to the scratch root
    };
    const Case cases[] = {
        {1, "a.txt", nullptr, "scripts/sub/a.txt"}, // next to the running script
        {1, "/b.txt", nullptr, "scripts/b.txt"},    // from the script root
        {1, "deep/../c.txt", nullptr, "scripts/sub/c.txt"},
        {0, "d.txt", nullptr, "data/d.txt"},
        {2, "e.txt", nullptr, "data/e.txt"},
        {7, "/f.txt", nullptr, "data/f.txt"},
        {3, "g.txt", nullptr, "data/g.txt"}, // no commerce directory
        {3, "h.txt", "", "data/h.txt"},      // an empty one counts as none
        {3, "i.txt", "shop", "data/shop/i.txt"},
        {3, "j.txt", "shop/", "data/shop/j.txt"},
        {3, "/k.txt", "shop", "data/shop/k.txt"},
    };
    fs::create_directories(rig.tree.Data() + "/shop");
    fs::create_directories(rig.tree.Scripts() + "/sub/deep");
    for (const Case& c : cases) {
        if (c.commerce) {
            rig.app.settings.SetText(kConfigCommerceDir, c.commerce, -1, false);
        } else {
            rig.app.settings.SetText(kConfigCommerceDir, nullptr, 0, false);
        }
        EXPECT_EQ(WriteText(rig.P(), c.location, c.path, c.path), static_cast<int32_t>(strlen(c.path)))
            << c.path << ": " << ErrorText(rig.P());
        EXPECT_EQ(test::ScratchTree::ReadFile(rig.tree.root + "/" + c.where), c.path) << c.path;
        EXPECT_EQ(vrFile_Exists(rig.P(), c.location, c.path, -1), 1) << c.path;
    }
    // The older family: 1 is the script root, anything else the data root.
    EXPECT_EQ(vorn_file_exists(rig.P(), 1, "b.txt"), 1);
    EXPECT_EQ(vorn_file_exists(rig.P(), 1, "sub/a.txt"), 1);
    EXPECT_EQ(vorn_file_exists(rig.P(), 3, "d.txt"), 1);
    EXPECT_EQ(vorn_file_exists(rig.P(), 0, "shop/i.txt"), 1);
}

TEST(HostFilesTest, TraversalAndHostilePathsAreRefusedEverywhere) {
    HostRig rig;
    test::ScratchTree::WriteFile(rig.tree.root + "/outside", "secret");
    test::ScratchTree::WriteFile(rig.tree.Data() + "/in", "in");
    // Each leaves every root, the script directory's "sub" folder included.
    const char* paths[] = {"../../outside", "/../outside", "a/../../../outside", "../../../outside"};
    for (int32_t location : {0, 1, 2, 3}) {
        for (const char* path : paths) {
            SCOPED_TRACE(std::to_string(location) + " " + path);
            VornVariableList* list = vrVariableList_Allocate();
            char* name = nullptr;
            int32_t length = 0;
            EXPECT_EQ(vrFile_Open(rig.P(), location, path, -1, 1), nullptr);
            EXPECT_EQ(vrFile_Exists(rig.P(), location, path, -1), 0);
            EXPECT_EQ(vrFile_Size(rig.P(), location, path, -1), -1);
            EXPECT_EQ(vrFile_Time(rig.P(), location, path, -1), -1);
            EXPECT_EQ(vrFile_Delete(rig.P(), location, path, -1), -1);
            EXPECT_EQ(vrFile_Change_Mode(rig.P(), location, path, -1, 0777), -1);
            EXPECT_EQ(vrFile_Copy(rig.P(), location, path, -1, 0, "copy", -1), -1);
            EXPECT_EQ(vrFile_Copy(rig.P(), 0, "in", -1, location, path, -1), -1);
            EXPECT_EQ(vrFile_Rename(rig.P(), 0, "in", -1, location, path, -1), -1);
            EXPECT_EQ(vrFile_MakeSymbolicLink(rig.P(), location, path, -1, 0, "link", -1), -1);
            EXPECT_EQ(vrFile_MakeDirectory(rig.P(), location, path, -1), -1);
            EXPECT_EQ(vrFile_LockFile(rig.P(), location, path, -1), -1);
            EXPECT_EQ(vrFile_MakeTemporary(rig.P(), location, path, -1, 3, &name, &length), nullptr);
            EXPECT_EQ(vrDirectory_Listing(rig.P(), location, path, -1, list), -1);
            EXPECT_EQ(vorn_file_open(rig.P(), location, path, 1), nullptr);
            EXPECT_EQ(vorn_file_size(rig.P(), location, path), -1);
            EXPECT_EQ(vorn_file_delete(rig.P(), location, path), -1);
            EXPECT_EQ(vrVariableList_Entries(list), 0);
            vrVariableList_Free(list);
        }
    }
    EXPECT_EQ(test::ScratchTree::ReadFile(rig.tree.root + "/outside"), "secret");
    EXPECT_FALSE(fs::exists(rig.tree.Data() + "/copy"));
    // A NUL inside the path would cut it short: refused.
    test::ScratchTree::WriteFile(rig.tree.Data() + "/safe", "x");
    EXPECT_EQ(vrFile_Exists(rig.P(), 0, "safe\0../../outside", 18), 0);
    EXPECT_EQ(vrFile_Delete(rig.P(), 0, "safe\0x", 6), -1);
    EXPECT_TRUE(fs::exists(rig.tree.Data() + "/safe"));
    // Bad text arguments and a missing program.
    EXPECT_EQ(vrFile_Open(rig.P(), 0, nullptr, 4, 1), nullptr);
    EXPECT_EQ(vrFile_Open(rig.P(), 0, "safe", -2, 1), nullptr);
    EXPECT_EQ(vrFile_Open(nullptr, 0, "safe", -1, 1), nullptr);
    EXPECT_EQ(vorn_file_open(rig.P(), 0, nullptr, 1), nullptr);
    EXPECT_EQ(vrFile_Exists(nullptr, 0, "safe", -1), 0);
}

TEST(HostFilesTest, OpenFilesReadWriteSeekAndTell) {
    HostRig rig;
    VornFile* file = vrFile_Open(rig.P(), 0, "f", -1, 0x01 | 0x02 | 0x04);
    ASSERT_NE(file, nullptr) << ErrorText(rig.P());
    EXPECT_EQ(vrFile_Write(file, "hello world", 11), 11);
    EXPECT_EQ(vrFile_Tell(file), 11);
    EXPECT_EQ(vrFile_Length(file), 11);
    EXPECT_EQ(vrFile_Seek(file, 6), 6);
    char buffer[16] = {};
    EXPECT_EQ(vrFile_Read(file, buffer, 15), 5);
    EXPECT_STREQ(buffer, "world");
    EXPECT_EQ(vrFile_Read(file, buffer, 15), 0);
    EXPECT_EQ(vrFile_OwnerID(file), static_cast<int64_t>(getuid()));
    EXPECT_EQ(vrFile_GroupID(file), static_cast<int64_t>(getgid()));
    const std::function<bool()> refused[] = {
        [&] { return vrFile_Read(file, nullptr, 4) == -1; },
        [&] { return vrFile_Read(file, buffer, -1) == -1; },
        [&] { return vrFile_Write(file, nullptr, 2) == -1; },
        [&] { return vrFile_Read(nullptr, buffer, 1) == -1 && vrFile_Write(nullptr, "x", 1) == -1; },
        [&] { return vrFile_Seek(nullptr, 0) == -1 && vrFile_Tell(nullptr) == -1; },
        [&] { return vrFile_Length(nullptr) == -1 && vrFile_OwnerID(nullptr) == -1; },
        [&] { return vrFile_Lock(nullptr, 2, 0, 1) == -1 && vrFile_Release(nullptr, 0, 1) == -1; },
        [&] { return vorn_file_read(nullptr, buffer, 1) == -1 && vorn_file_length(nullptr) == -1; },
    };
    for (size_t i = 0; i < std::size(refused); ++i)
        EXPECT_TRUE(refused[i]()) << i;
    vrFile_Close(file);
    vrFile_Close(nullptr);

    VornFile* older = vorn_file_open(rig.P(), 0, "f", 1);
    ASSERT_NE(older, nullptr);
    EXPECT_EQ(vorn_file_seek(older, 6), 6);
    EXPECT_EQ(vorn_file_read(older, buffer, 3), 3);
    EXPECT_EQ(vorn_file_tell(older), 9);
    EXPECT_EQ(vorn_file_length(older), 11);
    EXPECT_EQ(vorn_file_write(older, "x", 1), -1); // opened for reading
    EXPECT_STRNE(vorn_file_error(rig.P(), older), "");
    vorn_file_close(older);
    vorn_file_close(nullptr);
}

// The lock a second, independent handle sees over a byte range.
short LockSeen(const std::string& path, off_t start, off_t length) {
    int fd = ::open(path.c_str(), O_RDWR);
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = start;
    probe.l_len = length;
    short type = -1;
    if (fd >= 0 && fcntl(fd, F_OFD_GETLK, &probe) == 0) type = probe.l_type;
    if (fd >= 0) ::close(fd);
    return type;
}

TEST(HostFilesTest, LockModeTwoIsExclusiveEveryOtherShared) {
    HostRig rig;
    test::ScratchTree::WriteFile(rig.tree.Data() + "/locked", std::string(100, 'x'));
    std::string path = rig.tree.Data() + "/locked";
    VornFile* file = vrFile_Open(rig.P(), 0, "locked", -1, 0x03);
    ASSERT_NE(file, nullptr);
    struct Case {
        int32_t mode;
        short seen;
    };
    const Case cases[] = {{2, F_WRLCK}, {1, F_RDLCK}, {0, F_RDLCK}, {3, F_RDLCK}, {-1, F_RDLCK}};
    int64_t offset = 0;
    for (const Case& c : cases) {
        EXPECT_EQ(vrFile_Lock(file, c.mode, offset, 10), 0) << c.mode;
        EXPECT_EQ(LockSeen(path, offset, 10), c.seen) << c.mode;
        EXPECT_EQ(vrFile_Release(file, offset, 10), 0);
        EXPECT_EQ(LockSeen(path, offset, 10), F_UNLCK);
        offset += 10;
    }
    EXPECT_EQ(vorn_file_lock(file, 2, 50, 5), 0);
    EXPECT_EQ(LockSeen(path, 50, 5), F_WRLCK);
    EXPECT_EQ(vorn_file_release(file, 50, 5), 0);
    EXPECT_EQ(vorn_file_lock(file, 1, 60, 5), 0);
    EXPECT_EQ(LockSeen(path, 60, 5), F_RDLCK);
    EXPECT_EQ(vorn_file_release(file, 60, 5), 0);
    EXPECT_EQ(vrFile_Release(file, 90, 5), -1); // never locked
    vrFile_Close(file);
}

TEST(HostFilesTest, LockFileOutcomes) {
    HostRig rig;
    rig.app.settings.SetInteger(kConfigFileTimeout, 1);
    rig.app.settings.SetInteger(kConfigFileDelay, 20);
    EXPECT_EQ(vrFile_LockFile(rig.P(), 0, "job.lck", -1), 1);  // taken
    EXPECT_EQ(vrFile_LockFile(rig.P(), 0, "job.lck", -1), -1); // ours already: refused
    test::ScratchTree::WriteFile(rig.tree.Data() + "/other.lck", "1!1:elsewhere");
    EXPECT_EQ(vrFile_LockFile(rig.P(), 0, "other.lck", -1), 0); // held elsewhere: timed out
    EXPECT_EQ(ErrorText(rig.P()), "Timed out waiting for lock");
    EXPECT_EQ(vrFile_LockFile(rig.P(), 0, "missing/dir.lck", -1), -1);
    EXPECT_EQ(vrFile_Delete(rig.P(), 0, "job.lck", -1), 0); // deleting releases
    EXPECT_EQ(vrFile_LockFile(rig.P(), 0, "job.lck", -1), 1);
}

TEST(HostFilesTest, SizesAndTimesAreSixtyFourBits) {
    HostRig rig;
    // A sparse file past 4 GiB, and one between 2 and 4 GiB.
    const int64_t big = 5LL << 30;
    const int64_t middle = 3LL << 30;
    for (auto [name, size] : {std::pair{"big", big}, std::pair{"middle", middle}}) {
        std::string path = rig.tree.Data() + "/" + name;
        int fd = ::open(path.c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, size), 0);
        ::close(fd);
        EXPECT_EQ(vrFile_Size(rig.P(), 0, name, -1), size) << name;
        EXPECT_EQ(vorn_file_size(rig.P(), 0, name), size) << name;
    }
    VornFile* file = vrFile_Open(rig.P(), 0, "big", -1, 0x01);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(vrFile_Length(file), big);
    EXPECT_EQ(vrFile_Seek(file, big - 1), big - 1);
    EXPECT_EQ(vrFile_Tell(file), big - 1);
    vrFile_Close(file);

    // A modification time after 2038.
    const int64_t in2040 = 2208988800; // 2040-01-01T00:00:00Z
    test::ScratchTree::WriteFile(rig.tree.Data() + "/future", "x");
    ASSERT_TRUE(platform::SetModifiedTime((rig.tree.Data() + "/future").c_str(), in2040));
    EXPECT_EQ(vrFile_Time(rig.P(), 0, "future", -1), in2040);
    EXPECT_EQ(vrFile_Time(rig.P(), 0, "none", -1), -1);
    EXPECT_EQ(vrFile_Size(rig.P(), 0, "none", -1), -1);
    EXPECT_EQ(vorn_file_size(rig.P(), 0, "none"), -1);
}

TEST(HostFilesTest, FileManagerOperations) {
    HostRig rig;
    test::ScratchTree::WriteFile(rig.tree.Data() + "/a", "abc");
    EXPECT_EQ(vrFile_Copy(rig.P(), 0, "a", -1, 1, "/copied", -1), 0);
    EXPECT_EQ(test::ScratchTree::ReadFile(rig.tree.Scripts() + "/copied"), "abc");
    EXPECT_EQ(vrFile_Rename(rig.P(), 1, "/copied", -1, 0, "moved", -1), 0);
    EXPECT_EQ(vrFile_Exists(rig.P(), 1, "/copied", -1), 0);
    // The file layer makes no symbolic links; its refusal comes through.
    EXPECT_EQ(vrFile_MakeSymbolicLink(rig.P(), 0, "moved", -1, 0, "link", -1), -1);
    EXPECT_EQ(ErrorText(rig.P()), "PosixFileManager::MakeSymbolicLink is not implemented");
    EXPECT_EQ(vrFile_Change_Mode(rig.P(), 0, "moved", -1, 0640), 0);
    EXPECT_EQ(vrFile_Mode(rig.P(), 0, "moved", -1), 0640);
    EXPECT_EQ(vorn_file_changemode(rig.P(), 0, "moved", 0600), 0);
    EXPECT_EQ(vorn_file_mode(rig.P(), 0, "moved"), 0600);
    EXPECT_EQ(vrFile_Mode(rig.P(), 0, "none", -1), -1);
    EXPECT_EQ(vrFile_MakeDirectory(rig.P(), 0, "dir", -1), 0);
    EXPECT_EQ(vrFile_IsDirectory(rig.P(), 0, "dir", -1), 1);
    EXPECT_EQ(vrFile_IsDirectory(rig.P(), 0, "moved", -1), 0);
    EXPECT_EQ(vorn_file_isdirectory(rig.P(), 0, "dir"), 1);
    EXPECT_EQ(vrFile_RemoveDirectory(rig.P(), 0, "dir", -1), 0);
    EXPECT_EQ(vorn_file_makedirectory(rig.P(), 0, "older"), 0);
    EXPECT_EQ(vorn_file_removedirectory(rig.P(), 0, "older"), 0);
    EXPECT_EQ(vorn_file_rename(rig.P(), 0, "moved", 1, "back"), 0);
    EXPECT_EQ(vorn_file_delete(rig.P(), 1, "back"), 0);
    EXPECT_EQ(vorn_file_exists(rig.P(), 1, "back"), 0);
    EXPECT_EQ(vrFile_Delete(rig.P(), 0, "none", -1), -1);
    EXPECT_FALSE(ErrorText(rig.P()).empty());
    EXPECT_EQ(vrFile_Path_Separator(rig.P()), '/');
    EXPECT_EQ(vorn_file_pathseparator(rig.P()), '/');

    EXPECT_EQ(vrFile_Resolve(rig.P()), 0);
    EXPECT_EQ(ErrorText(rig.P()), "vrFile_Resolve is no longer supported");
    EXPECT_EQ(vorn_file_resolve(rig.P()), 0);
    EXPECT_STREQ(vorn_file_error(rig.P(), nullptr), "vorn_file_resolve is no longer supported");
    EXPECT_STREQ(vorn_file_error(nullptr, nullptr), "");
    EXPECT_EQ(vrFile_Error(nullptr, nullptr, nullptr), nullptr);
}

TEST(HostFilesTest, TemporaryFilesNeedBothOutPointers) {
    HostRig rig;
    auto count = [&] {
        return std::distance(fs::directory_iterator(rig.tree.Data()), fs::directory_iterator{});
    };
    char* name = nullptr;
    int32_t length = 0;
    EXPECT_EQ(vrFile_MakeTemporary(rig.P(), 0, "tmp", -1, 0x03, nullptr, &length), nullptr);
    EXPECT_EQ(vrFile_MakeTemporary(rig.P(), 0, "tmp", -1, 0x03, &name, nullptr), nullptr);
    EXPECT_EQ(count(), 0); // failed before making a file

    VornFile* first = vrFile_MakeTemporary(rig.P(), 0, "tmp", -1, 0x03, &name, &length);
    ASSERT_NE(first, nullptr) << ErrorText(rig.P());
    std::string firstName = Take(name, length);
    VornFile* second = vrFile_MakeTemporary(rig.P(), 0, "tmp", 3, 0x03, &name, &length);
    ASSERT_NE(second, nullptr);
    std::string secondName = Take(name, length);
    EXPECT_NE(firstName, secondName);
    EXPECT_EQ(firstName.rfind("tmp", 0), 0u);
    EXPECT_EQ(vrFile_Write(first, "t", 1), 1);
    vrFile_Close(first);
    vrFile_Close(second);
    EXPECT_EQ(test::ScratchTree::ReadFile(rig.tree.Data() + "/" + firstName), "t");
    EXPECT_EQ(count(), 2);
    EXPECT_EQ(vrFile_MakeTemporary(rig.P(), 0, "none/tmp", -1, 0x03, &name, &length), nullptr);
    EXPECT_EQ(name, nullptr);
    EXPECT_EQ(length, 0);
}

TEST(HostFilesTest, DirectoryListingsLeaveOutDotEntries) {
    HostRig rig;
    fs::create_directories(rig.tree.Data() + "/empty");
    fs::create_directories(rig.tree.Data() + "/full/inner");
    test::ScratchTree::WriteFile(rig.tree.Data() + "/full/one", "1");
    test::ScratchTree::WriteFile(rig.tree.Scripts() + "/script", "s");
    VornVariableList* list = vrVariableList_Allocate();
    EXPECT_EQ(vrDirectory_Listing(rig.P(), 0, "empty", -1, list), 0);
    EXPECT_EQ(vrVariableList_Entries(list), 0);
    EXPECT_EQ(vrDirectory_Listing(rig.P(), 0, "missing", -1, list), -1);
    EXPECT_EQ(vrVariableList_Entries(list), 0);
    EXPECT_EQ(vrDirectory_Listing(rig.P(), 2, "full", -1, list), 2);
    std::set<std::string> names;
    for (VornVariable* v = vrVariableList_First(list); v; v = vrVariableList_Next(list)) {
        int32_t length = -1;
        vrVariable_Name(v, &length);
        EXPECT_EQ(length, 0);
        names.insert(TextOf(v));
    }
    EXPECT_EQ(names, (std::set<std::string>{"inner", "one"}));
    // Location 1 is the script root here, the path taken as it is.
    EXPECT_EQ(vrDirectory_Listing(rig.P(), 1, "", 0, list), 2); // sub and script, appended
    EXPECT_EQ(vrDirectory_Listing(rig.P(), 0, "empty", -1, nullptr), -1);
    EXPECT_EQ(vrDirectory_Listing(nullptr, 0, "empty", -1, list), -1);
    vrVariableList_Free(list);
}

} // namespace
} // namespace vorn
