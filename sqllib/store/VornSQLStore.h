// The SQL library's files: the xBase format code's store interface served by
// the host's file functions (vrFile_*), always in the data location, with the
// program handle of the database's Schema. Every file operation of the
// storage layer, the catalog and the schema changes goes through one
// VornSQLFiles, which can also be told to fail its k-th read, write, lock or
// rename, so that tests reach every failure path through the real host.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "database/format/XBaseStore.h"
#include "engine/foundation/Messages.h"
#include "engine/foundation/String.h"
#include "host/plugin/VornHost.h"

namespace vorn {

// The host's location of the data directory.
inline constexpr int32_t kSQLLocationData = 2;
// Open modes of the host's file manager (read 1, write 2, create 4,
// truncate 8, append 0x10, exclusive 0x20, every write at the end 0x80).
inline constexpr int32_t kSQLOpenReadWrite = 3;
inline constexpr int32_t kSQLOpenCreate = 15;
inline constexpr int32_t kSQLOpenCreateNew = 39;
inline constexpr int32_t kSQLOpenLog = 22 | 0x80;
// Whether the store's last failure was the host's refusal of a write lock on
// a file that was renamed over or removed while its handle was open.
inline bool FileReplaced(XBaseStore* store) {
    return store && std::strcmp(store->ErrorText(), kFileRemovedOrReplaced) == 0;
}

// Operations a test may make fail: the n-th of a kind (counted from 1 since
// the counters were last reset) fails as the host would have failed it.
struct VornSQLFaults {
    int32_t failRead = 0;
    int32_t failWrite = 0;
    int32_t failLock = 0;
    int32_t failRename = 0;
    int32_t reads = 0;
    int32_t writes = 0;
    int32_t locks = 0;
    int32_t renames = 0;
    void Reset() { *this = VornSQLFaults{}; }
};

// Every record byte of a table, present or future, from its header's end
// (the lock of a table as a whole, and a reading statement's hold).
inline constexpr int64_t kSQLAllRecordsLength = INT64_C(1) << 62;

class VornSQLFiles;

// One open host file.
class VornSQLStore : public XBaseStore {
  public:
    VornSQLStore(VornSQLFiles* files, VornFile* file) : files(files), file(file) {}
    ~VornSQLStore() override;

    int32_t ReadAt(int64_t offset, void* buffer, int32_t count) override;
    int32_t WriteAt(int64_t offset, const void* buffer, int32_t count) override;
    int64_t Length() override;
    bool Lock(bool exclusive, int64_t offset, int64_t length) override;
    bool Unlock(int64_t offset, int64_t length) override;
    const char* ErrorText() override;
    // Up to kKeptBlocks blocks of kKeptBlockSize bytes (8 MiB), replaced in
    // turn, once kKeptAfter reads have gone to the file: a statement that
    // reads a record or a few (a point select) reads them alone; one that
    // reads more (a range, a join's inner table) reads each page once, a
    // page costing a call as a record does.
    void KeepBlocks(bool on) override;

    VornFile* Handle() const { return file; }

  private:
    // Reads that continue where the last one ended (a scan) are served from
    // a block read ahead; any other read, a write or a lock drops it. The
    // first block is small (opening a table reads a header of a few hundred
    // bytes this way) and each next one of the same run doubles up to kBlock.
    static constexpr int32_t kBlock = 65536;
    static constexpr int32_t kFirstBlock = 4096;
    int32_t ReadThrough(int64_t offset, void* buffer, int32_t count);
    void Drop() { blockLength = 0; }
    // A write or a lock: the bytes kept may be old now.
    void DropAll() {
        blockLength = 0;
        for (KeptBlock& block : blocks) {
            if (block.number >= 0) slotOf[static_cast<size_t>(block.number)] = 0;
            block.number = -1;
        }
    }
    // A read inside one kept block (read whole when missing); -2 when the
    // read crosses a block's end.
    int32_t ReadKept(int64_t offset, void* buffer, int32_t count);
    void FreeKept();
    static constexpr int32_t kKeptBlocks = 512;
    static constexpr int32_t kKeptBlockSize = 16384;
    static constexpr int32_t kKeptAfter = 16;
    int32_t keptReads = 0;
    struct KeptBlock {
        int64_t number = -1;
        int32_t length = 0;
        uint8_t* bytes = nullptr;
    };
    bool keeping = false;
    std::vector<KeptBlock> blocks;
    // The kept blocks' bytes, in blocks of SqlMemory.h kept for the next statement.
    std::vector<uint8_t*> slabs;
    // Block number -> slot + 1 (0: not kept); blocks past kMaxKeptNumber
    // (64 GiB in) are read as they come.
    static constexpr int64_t kMaxKeptNumber = INT64_C(1) << 22;
    std::vector<int32_t> slotOf;
    int32_t nextSlot = 0;

    VornSQLFiles* files;
    VornFile* file;
    std::unique_ptr<uint8_t[]> block;
    int64_t blockStart = 0;
    int32_t blockLength = 0;
    int32_t ahead = kFirstBlock;
    int64_t sequential = -1;
    // The position the host file stands at after our last read or write, so
    // that sequential access needs no seek (-1: unknown).
    int64_t position = -1;
    const char* injected = nullptr;
    // The last lock taken was a reading statement's hold of every record.
    bool recordsHold = false;
};

// The host's file functions for one program, in the data location.
class VornSQLFiles : public XBaseStoreOpener {
  public:
    explicit VornSQLFiles(VornProgram* program) : program(program) {}

    // The location argument is ignored: the library only uses the data
    // location.
    XBaseStore* Open(int32_t location, const char* path, int32_t mode) override;
    XBaseStore* Open(const char* path, int32_t length, int32_t mode);
    const char* ErrorText() override;
    // The request was stopped (the host's wait of no time says so).
    bool Stopped() override { return program && vrProgram_Sleep(program, 0) == 0; }

    bool Exists(const char* path, int32_t length = -1);
    bool IsDirectory(const char* path, int32_t length = -1);
    bool MakeDirectory(const char* path, int32_t length = -1);
    bool RemoveDirectory(const char* path, int32_t length = -1);
    bool Delete(const char* path, int32_t length = -1);
    bool Rename(const char* from, const char* to);
    // A new file beside path (named after it), open with the mode; its name
    // in outName.
    XBaseStore* MakeTemporary(const char* path, int32_t mode, String& outName);
    // The host's error text of a file (null: of the program's file manager).
    const char* HostError(VornFile* file = nullptr);

    VornProgram* Program() const { return program; }
    VornSQLFaults& Faults() { return faults; }
    // True when the operation of that kind is the one to fail.
    bool Fails(int32_t VornSQLFaults::*counter, int32_t VornSQLFaults::*target);

  private:
    VornProgram* program;
    VornSQLFaults faults;
    const char* injectedError = nullptr;
};

inline constexpr char kSQLInjectedFailure[] = "Injected failure";

} // namespace vorn
