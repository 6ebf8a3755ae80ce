#include "host/web/ScriptCache.h"

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/files/BufferFile.h"
#include "engine/files/PosixFile.h"
#include "host/app/HostApplication.h"
#include "platform/Files.h"
#include "platform/Time.h"

namespace vorn {

namespace {

// A file changed this recently may change again within the granularity of
// its change time without that time moving: it is read afresh until it
// settles.
constexpr int64_t kSettleSeconds = 2;
// Larger scripts are read every time; the cache starts again when it would
// hold more than these.
constexpr int64_t kMostBytesEach = 4 << 20;
constexpr int64_t kMostBytes = 64 << 20;
constexpr size_t kMostScripts = 1024;

struct Identity {
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t size = 0;
    int64_t modifiedSeconds = 0;
    int32_t modifiedNanoseconds = 0;
    // A rewrite that keeps size and modification time (set back, as cp -p
    // and tar do) still moves this.
    int64_t changedSeconds = 0;
    int32_t changedNanoseconds = 0;

    bool operator==(const Identity&) const = default;
};

struct Kept {
    Identity identity;
    std::shared_ptr<const std::vector<uint8_t>> bytes;
    std::shared_ptr<const LoadedProgram> program;
    bool unloadable = false; // loaded once and failed: every request reports it itself
};

struct Cache {
    std::mutex mutex;
    std::unordered_map<std::string, Kept> scripts;
    int64_t bytes = 0;
};

Cache& TheCache() {
    static Cache* cache = new Cache; // lives as long as the process, as the extension's other tables
    return *cache;
}

bool Identify(const char* path, Identity* identity) {
    platform::FileInfo info;
    if (!platform::StatPathShared(path, info) || !info.isRegular) return false;
    *identity = {info.device,          info.inode,          info.size,
                 info.modifiedSeconds, info.modifiedNanoseconds, info.changedSeconds,
                 info.changedNanoseconds};
    return true;
}

File* InMemory(const std::string& path, std::shared_ptr<const std::vector<uint8_t>> bytes) {
    return new BufferFile(path.c_str(), std::move(bytes));
}

// The loaded program of the kept bytes, loaded outside the lock on first use
// (requests racing for it each load; the first one kept wins).
std::shared_ptr<const LoadedProgram> ProgramOf(PosixFileManager* files, const std::string& absolute,
                                               const Identity& identity,
                                               const std::shared_ptr<const std::vector<uint8_t>>& bytes) {
    auto loaded = std::make_shared<LoadedProgram>();
    bool ok = loaded->Load(files, absolute.c_str(), bytes->data(), static_cast<int32_t>(bytes->size()));
    Cache& cache = TheCache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    auto found = cache.scripts.find(absolute);
    if (found == cache.scripts.end() || !(found->second.identity == identity) || found->second.bytes != bytes)
        return ok ? loaded : nullptr;
    if (found->second.program) return found->second.program;
    if (!ok) {
        found->second.unloadable = true;
        return nullptr;
    }
    found->second.program = loaded;
    return loaded;
}

} // namespace

File* OpenScript(PosixFileManager* files, int32_t kind, const char* path,
                 std::shared_ptr<const LoadedProgram>* program) {
    if (program) program->reset();
    PosixFilePath* resolved = nullptr;
    Identity identity;
    bool known = files->ResolvePath(kind, path, &resolved) && Identify(resolved->Text(), &identity);
    std::string absolute = resolved ? resolved->Text() : "";
    delete resolved;
    // Anything unusual takes the file manager's own way, with its messages.
    if (!known || identity.size > kMostBytesEach) return files->Open(kind, path, OpenRead);

    Cache& cache = TheCache();
    std::shared_ptr<const std::vector<uint8_t>> kept;
    bool load = false;
    {
        std::lock_guard<std::mutex> lock(cache.mutex);
        auto found = cache.scripts.find(absolute);
        if (found != cache.scripts.end() && found->second.identity == identity) {
            kept = found->second.bytes;
            if (program) {
                *program = found->second.program;
                load = !*program && !found->second.unloadable;
            }
        }
    }
    if (kept) {
        if (load) *program = ProgramOf(files, absolute, identity, kept);
        return InMemory(absolute, kept);
    }

    File* file = files->Open(kind, path, OpenRead);
    if (!file) return nullptr;
    auto bytes = std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(identity.size));
    int32_t n = identity.size > 0 ? file->Read(bytes->data(), static_cast<int32_t>(identity.size)) : 0;
    char extra;
    // Changed while it was read: used as it is now, and not kept.
    if (n != identity.size || file->Read(&extra, 1) != 0 || file->Seek(0) != 0) {
        file->Seek(0);
        return file;
    }
    delete file;
    if (platform::NowSeconds() - identity.changedSeconds < kSettleSeconds) return InMemory(absolute, bytes);
    std::lock_guard<std::mutex> lock(cache.mutex);
    if (cache.scripts.size() >= kMostScripts || cache.bytes + identity.size > kMostBytes) {
        cache.scripts.clear();
        cache.bytes = 0;
    }
    auto& slot = cache.scripts[absolute];
    cache.bytes += identity.size - (slot.bytes ? static_cast<int64_t>(slot.bytes->size()) : 0);
    slot = Kept{identity, bytes, nullptr, false};
    return InMemory(absolute, bytes);
}

void ClearScriptCache() {
    Cache& cache = TheCache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    cache.scripts.clear();
    cache.bytes = 0;
}

} // namespace vorn
