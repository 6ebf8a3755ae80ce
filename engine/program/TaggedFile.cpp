#include "engine/program/TaggedFile.h"

#include <cstdlib>
#include <cstring>

#include "engine/files/File.h"
#include "engine/foundation/LittleEndian.h"

namespace vorn {

namespace {

constexpr int32_t kDirectoryStep = 16;
constexpr const char kNoFileMessage[] = "No compiled file is open";
constexpr const char kShortWriteMessage[] = "Unable to write compiled file";
constexpr const char kTooLargeMessage[] = "Compiled file too large";

// Reads until n bytes arrived or the file ends; -1 when the first read fails.
int32_t ReadFully(File* file, uint8_t* buffer, int32_t n) {
    int32_t got = 0;
    while (got < n) {
        int32_t r = file->Read(buffer + got, n - got);
        if (r < 0) return got > 0 ? got : -1;
        if (r == 0) break;
        got += r;
    }
    return got;
}

} // namespace

TaggedFile::TaggedFile(FileManager* manager) : manager(manager) {}

TaggedFile::~TaggedFile() {
    CloseFile();
    ReleaseDirectory();
}

const String& TaggedFile::ErrorText() const { return error; }

void TaggedFile::SetError(const String& text) {
    if (!text.IsNull()) error.Assign(text);
}

void TaggedFile::SetError(const char* text) { error.Assign(text); }

void TaggedFile::ReleaseDirectory() {
    std::free(directory);
    directory = nullptr;
    entryCount = 0;
    directoryRoom = 0;
    selected = nullptr;
}

const TaggedFileEntry* TaggedFile::EntryAt(int32_t i) const {
    if (i < 0 || i >= entryCount) return nullptr;
    return &directory[i];
}

const TaggedFileEntry* TaggedFile::FindEntry(uint32_t tag) const {
    for (int32_t i = 0; i < entryCount; ++i)
        if (directory[i].tag == tag) return &directory[i];
    return nullptr;
}

bool TaggedFile::SeekTo(int64_t offset) {
    if (!file || offset < 0) return false;
    int64_t at = file->Seek(offset);
    filePosition = at == offset ? offset : -1;
    return at == offset;
}

// --- Reading ---------------------------------------------------------------

bool TaggedFile::OpenRead(const char* path, File* opened) {
    CloseFile();
    ReleaseDirectory();
    writing = false;
    name.Assign(path);
    file = opened;
    filePosition = -1;
    if (file && ReadHeader() && ReadDirectory()) return true;
    if (!file) SetError(kCorruptFileMessage);
    file = nullptr;
    name.Assign("");
    ReleaseDirectory();
    return false;
}

bool TaggedFile::ReadHeader() {
    uint8_t header[kTaggedFileHeaderSize];
    if (!SeekTo(0) || ReadFully(file, header, kTaggedFileHeaderSize) != kTaggedFileHeaderSize) {
        filePosition = -1;
        SetError(kCorruptFileMessage);
        return false;
    }
    filePosition = kTaggedFileHeaderSize;
    magic = GetU32(header);
    version = GetU32(header + 4);
    std::memcpy(block, header + 8, sizeof block);
    directoryOffset = GetU32(header + 24);
    uint32_t count = GetU32(header + 28);
    // The count is trusted only once ReadDirectory has checked it.
    rawEntryCount = count;
    if (magic != kTaggedFileMagic) {
        SetError(kCorruptFileMessage);
        return false;
    }
    if (version < kTaggedFileOldestVersion || version > kTaggedFileCurrentVersion) {
        SetError(kIncompatibleVersionMessage);
        return false;
    }
    return true;
}

bool TaggedFile::ReadDirectory() {
    ReleaseDirectory();
    int64_t fileLength = file ? file->Length() : -1;
    // The whole directory must lie inside the file before anything is sized by
    // its count, and every section inside the 2 GB a position can address.
    int64_t bytes = static_cast<int64_t>(rawEntryCount) * kTaggedFileEntrySize;
    if (fileLength < 0 || static_cast<int64_t>(directoryOffset) + bytes > fileLength || bytes > INT32_MAX) {
        SetError(kDirectoryEndMessage);
        return false;
    }
    auto* entries = static_cast<TaggedFileEntry*>(std::malloc(sizeof(TaggedFileEntry) * (rawEntryCount ? rawEntryCount : 1)));
    auto* raw = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(bytes ? bytes : 1)));
    bool ok = SeekTo(directoryOffset) && ReadFully(file, raw, static_cast<int32_t>(bytes)) == bytes;
    if (!ok) {
        std::free(entries);
        std::free(raw);
        filePosition = -1;
        SetError(kDirectoryEndMessage);
        return false;
    }
    filePosition = static_cast<int64_t>(directoryOffset) + bytes;
    int64_t limit = fileLength < INT32_MAX ? fileLength : INT32_MAX;
    for (uint32_t i = 0; i < rawEntryCount; ++i) {
        const uint8_t* p = raw + static_cast<size_t>(i) * kTaggedFileEntrySize;
        entries[i] = {GetU32(p), GetU32(p + 4), GetU32(p + 8)};
        if (static_cast<int64_t>(entries[i].offset) + entries[i].length > limit) ok = false;
    }
    std::free(raw);
    if (!ok) {
        std::free(entries);
        SetError(kCorruptFileMessage);
        return false;
    }
    directory = entries;
    entryCount = static_cast<int32_t>(rawEntryCount);
    directoryRoom = entryCount;
    return true;
}

bool TaggedFile::SelectSection(uint32_t tag, uint32_t* outLength) {
    if (!selected || selected->tag != tag) selected = FindEntry(tag);
    if (!selected || !file) {
        selected = nullptr;
        SetError(kInvalidSectionMessage);
        return false;
    }
    if (!SeekTo(selected->offset)) {
        selected = nullptr;
        SetError(kUnexpectedEndMessage);
        return false;
    }
    position = 0;
    if (outLength) *outLength = selected->length;
    return true;
}

// Reads up to n bytes at an offset of the selected section; a count running
// past the section is cut short with the message set.
int32_t TaggedFile::ReadInSection(int64_t offset, void* buffer, int32_t n) {
    int64_t length = selected->length;
    if (n < 0 || offset > length) {
        SetError(kPastSectionEndMessage);
        return -1;
    }
    if (offset + static_cast<int64_t>(n) > length) {
        // A short count; the message says why should the caller need all n.
        n = static_cast<int32_t>(length - offset);
        SetError(kPastSectionEndMessage);
    }
    // Keep the file where the offset says, whatever another read did meanwhile.
    int64_t at = static_cast<int64_t>(selected->offset) + offset;
    if (filePosition != at && !SeekTo(at)) {
        SetError(kUnexpectedEndMessage);
        return -1;
    }
    int32_t got = ReadFully(file, static_cast<uint8_t*>(buffer), n);
    if (got < 0) {
        filePosition = -1;
        SetError(file->ErrorText().IsEmpty() ? String(kUnexpectedEndMessage) : file->ErrorText());
        return -1;
    }
    if (got < n) SetError(kUnexpectedEndMessage);
    filePosition = at + got;
    return got;
}

int32_t TaggedFile::Read(void* buffer, int32_t n) {
    if (!selected || !file) {
        SetError(kInvalidSectionMessage);
        return -1;
    }
    int32_t got = ReadInSection(position, buffer, n);
    if (got > 0) position += got;
    return got;
}

int32_t TaggedFile::ReadAt(uint32_t tag, uint32_t offset, void* buffer, int32_t n) {
    if (!selected || selected->tag != tag) selected = FindEntry(tag);
    if (!selected || !file) {
        selected = nullptr;
        SetError(kInvalidSectionMessage);
        return -1;
    }
    return ReadInSection(offset, buffer, n);
}

void TaggedFile::DeselectSection() { selected = nullptr; }

void TaggedFile::ReleaseFile() {
    if (file && manager) manager->Deactivate(file);
    filePosition = -1;
}

void TaggedFile::CloseFile() {
    delete file;
    file = nullptr;
    filePosition = -1;
}

// --- Writing ---------------------------------------------------------------

bool TaggedFile::OpenWrite(const char* path, const uint8_t* headerBlock, uint32_t headerVersion) {
    CloseFile();
    if (!manager) {
        SetError(kNoFileMessage);
        return false;
    }
    File* opened = manager->OpenPath(path, ::vorn::OpenWrite | ::vorn::OpenTruncate);
    if (!opened) {
        SetError(manager->ErrorText());
        return false;
    }
    if (!OpenWriteFile(opened, headerBlock, headerVersion)) return false;
    name.Assign(path);
    return true;
}

bool TaggedFile::OpenWriteFile(File* opened, const uint8_t* headerBlock, uint32_t headerVersion) {
    CloseFile();
    ReleaseDirectory();
    file = opened;
    name.Assign(opened ? opened->Path() : "");
    magic = kTaggedFileMagic;
    version = headerVersion ? headerVersion : kTaggedFileCurrentVersion;
    if (headerBlock)
        std::memcpy(block, headerBlock, sizeof block);
    else
        std::memset(block, 0, sizeof block);
    directoryOffset = 0;
    directory = static_cast<TaggedFileEntry*>(std::malloc(sizeof(TaggedFileEntry) * kDirectoryStep));
    directoryRoom = kDirectoryStep;
    writing = false;
    position = kTaggedFileHeaderSize;
    if (!file) {
        SetError(kNoFileMessage);
        return false;
    }
    return WriteHeader();
}

bool TaggedFile::WriteHeader() {
    uint8_t header[kTaggedFileHeaderSize];
    PutU32(header, magic);
    PutU32(header + 4, version);
    std::memcpy(header + 8, block, sizeof block);
    PutU32(header + 24, directoryOffset);
    PutU32(header + 28, static_cast<uint32_t>(entryCount));
    if (!SeekTo(0)) {
        SetError(file->ErrorText().IsEmpty() ? String(kShortWriteMessage) : file->ErrorText());
        return false;
    }
    int32_t written = file->Write(header, kTaggedFileHeaderSize);
    filePosition = written == kTaggedFileHeaderSize ? kTaggedFileHeaderSize : -1;
    if (written != kTaggedFileHeaderSize) {
        SetError(file->ErrorText().IsEmpty() ? String(kShortWriteMessage) : file->ErrorText());
        return false;
    }
    return true;
}

void TaggedFile::BeginSection(uint32_t tag) {
    if (writing) EndSection();
    sectionTag = tag;
    sectionStart = position;
    sectionLength = 0;
    writing = true;
}

int32_t TaggedFile::Write(const void* buffer, int32_t n) {
    if (!file) {
        SetError(kNoFileMessage);
        return -1;
    }
    if (n < 0 || static_cast<int64_t>(position) + n > INT32_MAX) {
        SetError(kTooLargeMessage);
        return -1;
    }
    if (filePosition != position && !SeekTo(position)) {
        SetError(file->ErrorText().IsEmpty() ? String(kShortWriteMessage) : file->ErrorText());
        return -1;
    }
    int32_t written = n > 0 ? file->Write(buffer, n) : 0;
    if (written < 0) {
        filePosition = -1;
        SetError(file->ErrorText().IsEmpty() ? String(kShortWriteMessage) : file->ErrorText());
        return written;
    }
    position += written;
    filePosition = position;
    if (writing) sectionLength += written;
    return written;
}

bool TaggedFile::WriteAll(const void* buffer, int32_t n) {
    int32_t written = Write(buffer, n);
    if (written == n) return true;
    if (written >= 0) SetError(file->ErrorText().IsEmpty() ? String(kShortWriteMessage) : file->ErrorText());
    return false;
}

bool TaggedFile::AppendEntry(const TaggedFileEntry& entry) {
    if (entryCount == directoryRoom) {
        int32_t room = directoryRoom + kDirectoryStep;
        auto* grown = static_cast<TaggedFileEntry*>(std::malloc(sizeof(TaggedFileEntry) * static_cast<size_t>(room)));
        if (entryCount > 0) std::memcpy(grown, directory, sizeof(TaggedFileEntry) * static_cast<size_t>(entryCount));
        std::free(directory);
        directory = grown;
        directoryRoom = room;
    }
    directory[entryCount++] = entry;
    return true;
}

void TaggedFile::EndSection() {
    if (!writing) return;
    AppendEntry({sectionTag, static_cast<uint32_t>(sectionStart), static_cast<uint32_t>(sectionLength)});
    writing = false;
}

bool TaggedFile::Finish() {
    if (!file) {
        SetError(kNoFileMessage);
        return false;
    }
    // A section still open belongs in the directory like any other.
    EndSection();
    int64_t bytes = static_cast<int64_t>(entryCount) * kTaggedFileEntrySize;
    if (position + bytes > INT32_MAX) {
        SetError(kTooLargeMessage);
        return false;
    }
    directoryOffset = static_cast<uint32_t>(position);
    auto* raw = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(bytes ? bytes : 1)));
    for (int32_t i = 0; i < entryCount; ++i) {
        uint8_t* p = raw + static_cast<size_t>(i) * kTaggedFileEntrySize;
        PutU32(p, directory[i].tag);
        PutU32(p + 4, directory[i].offset);
        PutU32(p + 8, directory[i].length);
    }
    bool ok = WriteAll(raw, static_cast<int32_t>(bytes));
    std::free(raw);
    return ok && WriteHeader();
}

} // namespace vorn
