#include "sqllib/store/VornSQLStore.h"

#include <algorithm>
#include <cstring>

#include "sqllib/front/SqlMemory.h"

namespace vorn {

bool VornSQLFiles::Fails(int32_t VornSQLFaults::*counter, int32_t VornSQLFaults::*target) {
    int32_t n = ++(faults.*counter);
    if (faults.*target <= 0 || n != faults.*target) return false;
    injectedError = kSQLInjectedFailure;
    return true;
}

VornSQLStore::~VornSQLStore() {
    FreeKept();
    vrFile_Close(file);
}

void VornSQLStore::FreeKept() {
    blocks.clear();
    slotOf.clear();
    nextSlot = 0;
    for (uint8_t* slab : slabs) SQLGiveBlock(slab, kSQLSmallestBlock);
    slabs.clear();
}

int32_t VornSQLStore::ReadAt(int64_t offset, void* buffer, int32_t count) {
    injected = nullptr;
    if (files->Fails(&VornSQLFaults::reads, &VornSQLFaults::failRead)) {
        injected = kSQLInjectedFailure;
        return -1;
    }
    if (keeping && count > 0 && offset >= 0 && ++keptReads > kKeptAfter) {
        int32_t got = ReadKept(offset, buffer, count);
        if (got != -2) return got;
    }
    // Only the scan that read the block ahead: a read elsewhere in it may
    // be of bytes another request has since rewritten.
    if (blockLength > 0 && offset == sequential && offset >= blockStart &&
        offset + count <= blockStart + blockLength) {
        std::memcpy(buffer, block.get() + (offset - blockStart), static_cast<size_t>(count));
        sequential = offset + count;
        return count;
    }
    Drop();
    if (offset != sequential) ahead = kFirstBlock;
    if (offset == sequential && count > 0 && count <= kBlock / 4) {
        if (!block) block.reset(new uint8_t[kBlock]);
        int32_t size = count > ahead ? kBlock : ahead;
        ahead = size < kBlock ? size * 2 : kBlock;
        int32_t got = ReadThrough(offset, block.get(), size);
        if (got < 0) return -1;
        blockStart = offset;
        blockLength = got;
        int32_t n = got < count ? got : count;
        std::memcpy(buffer, block.get(), static_cast<size_t>(n));
        sequential = offset + n;
        return n;
    }
    int32_t got = ReadThrough(offset, buffer, count);
    sequential = got >= 0 ? offset + got : -1;
    return got;
}

void VornSQLStore::KeepBlocks(bool on) {
    if (on == keeping) return;
    keeping = on;
    keptReads = 0;
    if (!on) FreeKept();
}

int32_t VornSQLStore::ReadKept(int64_t offset, void* buffer, int32_t count) {
    int64_t number = offset / kKeptBlockSize;
    int32_t at = static_cast<int32_t>(offset % kKeptBlockSize);
    if (at + count > kKeptBlockSize || number >= kMaxKeptNumber) return -2;
    size_t index = static_cast<size_t>(number);
    if (index >= slotOf.size()) slotOf.resize(std::max(index + 1, slotOf.size() * 2), 0);
    KeptBlock* block = nullptr;
    if (slotOf[index] > 0) {
        block = &blocks[static_cast<size_t>(slotOf[index] - 1)];
    } else {
        if (blocks.size() < static_cast<size_t>(kKeptBlocks)) {
            constexpr size_t kPerSlab = kSQLSmallestBlock / kKeptBlockSize;
            if (blocks.size() == slabs.size() * kPerSlab) {
                auto* slab = static_cast<uint8_t*>(SQLTakeBlock(kSQLSmallestBlock));
                // No room to keep it: read as it comes.
                if (!slab) return -2;
                slabs.push_back(slab);
            }
            blocks.emplace_back();
            blocks.back().bytes = slabs[(blocks.size() - 1) / kPerSlab] + (blocks.size() - 1) % kPerSlab * kKeptBlockSize;
            nextSlot = static_cast<int32_t>(blocks.size()) - 1;
        }
        block = &blocks[static_cast<size_t>(nextSlot)];
        if (block->number >= 0) slotOf[static_cast<size_t>(block->number)] = 0;
        block->number = -1;
        int32_t got = ReadThrough(number * kKeptBlockSize, block->bytes, kKeptBlockSize);
        if (got < 0) return -1;
        block->number = number;
        block->length = got;
        slotOf[index] = nextSlot + 1;
        nextSlot = (nextSlot + 1) % kKeptBlocks;
    }
    int32_t n = block->length - at;
    if (n <= 0) return 0;
    if (n > count) n = count;
    std::memcpy(buffer, block->bytes + at, static_cast<size_t>(n));
    sequential = offset + n;
    return n;
}

int32_t VornSQLStore::ReadThrough(int64_t offset, void* buffer, int32_t count) {
    if (position != offset && vrFile_Seek(file, offset) != offset) {
        position = -1;
        return -1;
    }
    int32_t got = vrFile_Read(file, buffer, count);
    position = got >= 0 ? offset + got : -1;
    return got;
}

int32_t VornSQLStore::WriteAt(int64_t offset, const void* buffer, int32_t count) {
    injected = nullptr;
    DropAll();
    sequential = -1;
    if (files->Fails(&VornSQLFaults::writes, &VornSQLFaults::failWrite)) {
        injected = kSQLInjectedFailure;
        return -1;
    }
    if (position != offset && vrFile_Seek(file, offset) != offset) {
        position = -1;
        return -1;
    }
    int32_t wrote = vrFile_Write(file, buffer, count);
    position = wrote >= 0 ? offset + wrote : -1;
    return wrote;
}

int64_t VornSQLStore::Length() {
    injected = nullptr;
    return vrFile_Length(file);
}

bool VornSQLStore::Lock(bool exclusive, int64_t offset, int64_t length) {
    injected = nullptr;
    // A reading statement's hold of every record keeps its pages: each was
    // read whole under a hold, and the statement may see a change made while
    // it runs or not. Any other lock may be a header's, read again after it.
    recordsHold = !exclusive && length == kSQLAllRecordsLength;
    if (!recordsHold) {
        DropAll();
        sequential = -1;
    }
    if (files->Fails(&VornSQLFaults::locks, &VornSQLFaults::failLock)) {
        injected = kSQLInjectedFailure;
        return false;
    }
    return vrFile_Lock(file, exclusive ? 2 : 1, offset, length) == 0;
}

bool VornSQLStore::Unlock(int64_t offset, int64_t length) {
    if (!recordsHold || length != kSQLAllRecordsLength) {
        DropAll();
        sequential = -1;
    }
    recordsHold = false;
    return vrFile_Release(file, offset, length) == 0;
}

const char* VornSQLStore::ErrorText() {
    return injected ? injected : files->HostError(file);
}

XBaseStore* VornSQLFiles::Open(int32_t, const char* path, int32_t mode) {
    return Open(path, -1, mode);
}

XBaseStore* VornSQLFiles::Open(const char* path, int32_t length, int32_t mode) {
    injectedError = nullptr;
    VornFile* file = vrFile_Open(program, kSQLLocationData, path, length, mode);
    return file ? new VornSQLStore(this, file) : nullptr;
}

const char* VornSQLFiles::ErrorText() {
    return injectedError ? injectedError : HostError(nullptr);
}

const char* VornSQLFiles::HostError(VornFile* file) {
    const char* text = vrFile_Error(program, file, nullptr);
    return text ? text : "";
}

bool VornSQLFiles::Exists(const char* path, int32_t length) {
    return vrFile_Exists(program, kSQLLocationData, path, length) == 1;
}

bool VornSQLFiles::IsDirectory(const char* path, int32_t length) {
    return vrFile_IsDirectory(program, kSQLLocationData, path, length) == 1;
}

bool VornSQLFiles::MakeDirectory(const char* path, int32_t length) {
    injectedError = nullptr;
    return vrFile_MakeDirectory(program, kSQLLocationData, path, length) == 0;
}

bool VornSQLFiles::RemoveDirectory(const char* path, int32_t length) {
    injectedError = nullptr;
    return vrFile_RemoveDirectory(program, kSQLLocationData, path, length) == 0;
}

bool VornSQLFiles::Delete(const char* path, int32_t length) {
    injectedError = nullptr;
    return vrFile_Delete(program, kSQLLocationData, path, length) == 0;
}

bool VornSQLFiles::Rename(const char* from, const char* to) {
    injectedError = nullptr;
    if (Fails(&VornSQLFaults::renames, &VornSQLFaults::failRename)) return false;
    return vrFile_Rename(program, kSQLLocationData, from, -1, kSQLLocationData, to, -1) == 0;
}

XBaseStore* VornSQLFiles::MakeTemporary(const char* path, int32_t mode, String& outName) {
    injectedError = nullptr;
    char* name = nullptr;
    int32_t nameLength = 0;
    VornFile* file = vrFile_MakeTemporary(program, kSQLLocationData, path, -1, mode, &name, &nameLength);
    if (!file) return nullptr;
    outName.Assign(name, nameLength);
    vrProgram_Free(program, name);
    return new VornSQLStore(this, file);
}

} // namespace vorn
