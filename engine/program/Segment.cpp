#include "engine/program/Segment.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "engine/foundation/LittleEndian.h"
#include "engine/program/TaggedFile.h"

namespace vorn {

namespace {

// The last byte a segment may reach, so that rounding its size up to the
// next 8 KB step still fits a signed 32-bit size.
constexpr int64_t kSegmentLimit = static_cast<int64_t>(INT32_MAX) + 1 - kSegmentStep;

uint8_t* ZeroedBytes(int32_t n) { return static_cast<uint8_t*>(std::calloc(n > 0 ? static_cast<size_t>(n) : 1, 1)); }

} // namespace

Segment::Segment(int32_t index) : index(index), code(ZeroedBytes(kSegmentStep)), capacity(kSegmentStep), used(0) {}

Segment::Segment(int32_t index, int32_t size)
    : index(index), code(ZeroedBytes(size)), capacity(size > 0 ? size : 0), used(size > 0 ? size : 0) {}

SegmentAttachment::~SegmentAttachment() = default;

Segment::~Segment() {
    SegmentAttachment* a = attachments.load(std::memory_order_acquire);
    while (a) {
        SegmentAttachment* next = a->nextAttachment;
        delete a;
        a = next;
    }
    std::free(code);
}

void Segment::Attach(SegmentAttachment* attachment) {
    SegmentAttachment* head = attachments.load(std::memory_order_acquire);
    do {
        attachment->nextAttachment = head;
    } while (!attachments.compare_exchange_weak(head, attachment, std::memory_order_acq_rel,
                                                std::memory_order_acquire));
}

bool Segment::Load(TaggedFile& file, uint32_t tag, uint32_t offset) {
    writes.fetch_add(1, std::memory_order_acq_rel);
    return file.ReadAt(tag, offset, code, used) == used;
}

void Segment::Grow(int32_t n) {
    if (n < 0 || n > kSegmentLimit) return;
    int32_t size = static_cast<int32_t>((static_cast<int64_t>(n) + kSegmentStep - 1) / kSegmentStep * kSegmentStep);
    if (size <= capacity) return; // never shrinks
    writes.fetch_add(1, std::memory_order_acq_rel);
    uint8_t* grown = ZeroedBytes(size);
    if (capacity > 0) std::memcpy(grown, code, static_cast<size_t>(capacity));
    std::free(code);
    code = grown;
    capacity = size;
}

bool Segment::Reserve(int32_t position, int32_t n) {
    if (position < 0 || n < 0) return false;
    int64_t end = static_cast<int64_t>(position) + n;
    if (end > kSegmentLimit) return false;
    // Half as much again at least, so code appended piece by piece (a long
    // expression compiled at run time) is not copied over and over.
    if (end >= capacity)
        Grow(static_cast<int32_t>(std::min(kSegmentLimit, std::max(end, static_cast<int64_t>(capacity) * 3 / 2))));
    if (end >= used) used = static_cast<int32_t>(end);
    writes.fetch_add(1, std::memory_order_acq_rel);
    return true;
}

int32_t Segment::WriteU16(int32_t position, uint16_t value) {
    if (!Reserve(position, 2)) return -1;
    PutU16(code + position, value);
    return position + 2;
}

int32_t Segment::WriteU32(int32_t position, uint32_t value) {
    if (!Reserve(position, 4)) return -1;
    PutU32(code + position, value);
    return position + 4;
}

int32_t Segment::WriteDouble(int32_t position, double value) {
    if (!Reserve(position, 8)) return -1;
    PutDouble(code + position, value);
    return position + 8;
}

int32_t Segment::WriteBytes(int32_t position, const void* bytes, int32_t n) {
    if (!Reserve(position, n)) return -1;
    if (n > 0) std::memcpy(code + position, bytes, static_cast<size_t>(n));
    return position + n;
}

SegmentManager::SegmentManager()
    : table(static_cast<Segment**>(std::calloc(kSegmentTableStep, sizeof(Segment*)))),
      tableCapacity(kSegmentTableStep),
      count(1),
      current(0) {}

SegmentManager::~SegmentManager() { ReleaseTable(); }

const String& SegmentManager::ErrorText() const { return error; }

void SegmentManager::SetError(const String& text) {
    if (!text.IsNull()) error.Assign(text);
}

void SegmentManager::ReleaseTable() {
    for (int32_t i = 0; i < count; ++i)
        if (i >= sharedCount || table[i] != sharedTable[i]) delete table[i];
    sharedCount = 0;
    sharedTable = nullptr;
    std::free(table);
    table = nullptr;
    tableCapacity = 0;
    count = 0;
}

bool SegmentManager::FailFromFile(TaggedFile& file) {
    SetError(file.ErrorText());
    if (error.IsEmpty()) error.Assign(kCorruptFileMessage);
    return false;
}

bool SegmentManager::Load(TaggedFile& file) {
    uint32_t sectionLength = 0;
    if (!file.SelectSection(kSectionSegs, &sectionLength)) return FailFromFile(file);
    uint8_t header[8];
    if (file.ReadAt(kSectionSegs, 0, header, 8) != 8) return FailFromFile(file);
    uint32_t n = GetU32(header);
    uint32_t entry = GetU32(header + 4);

    // The records must fit the section and the entry segment must exist.
    int64_t codeStart = 8 * (static_cast<int64_t>(n) + 1);
    if (n == 0 || entry >= n || codeStart > static_cast<int64_t>(sectionLength)) {
        error.Assign(kCorruptFileMessage);
        return false;
    }
    int64_t codeArea = static_cast<int64_t>(sectionLength) - codeStart;
    int32_t recordBytes = static_cast<int32_t>(8 * static_cast<int64_t>(n));
    auto* records = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(recordBytes)));
    if (file.ReadAt(kSectionSegs, 8, records, recordBytes) != recordBytes) {
        std::free(records);
        return FailFromFile(file);
    }
    // Each segment's code lies inside the code area, and together they take
    // no more than it holds, so a small file cannot ask for a huge allocation.
    int64_t total = 0;
    for (uint32_t i = 0; i < n; ++i) {
        int64_t offset = GetU32(records + 8 * i);
        int64_t length = GetU32(records + 8 * i + 4);
        total += length;
        if (offset + length > codeArea || total > codeArea) {
            std::free(records);
            error.Assign(kCorruptFileMessage);
            return false;
        }
    }

    ReleaseTable();
    table = static_cast<Segment**>(std::calloc(n, sizeof(Segment*)));
    tableCapacity = static_cast<int32_t>(n);
    count = static_cast<int32_t>(n);
    current = static_cast<int32_t>(entry);
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t offset = GetU32(records + 8 * i);
        uint32_t length = GetU32(records + 8 * i + 4);
        auto* segment = new Segment(static_cast<int32_t>(i), static_cast<int32_t>(length));
        table[i] = segment;
        if (!segment->Load(file, kSectionSegs, static_cast<uint32_t>(codeStart + offset))) {
            std::free(records);
            return FailFromFile(file);
        }
    }
    std::free(records);
    return true;
}

bool SegmentManager::Save(TaggedFile& file) {
    int64_t recordBytes = 8 * (static_cast<int64_t>(count) + 1);
    int64_t total = recordBytes;
    for (int32_t i = 0; i < count; ++i)
        if (table[i]) total += table[i]->Used();
    if (total > INT32_MAX) {
        error.Assign("Code segments too large to save");
        return false;
    }
    auto* out = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(recordBytes)));
    PutU32(out, static_cast<uint32_t>(count));
    PutU32(out + 4, static_cast<uint32_t>(current));
    uint32_t offset = 0;
    for (int32_t i = 0; i < count; ++i) {
        uint32_t length = table[i] ? static_cast<uint32_t>(table[i]->Used()) : 0;
        PutU32(out + 8 + 8 * i, offset);
        PutU32(out + 12 + 8 * i, length);
        offset += length;
    }
    file.BeginSection(kSectionSegs);
    bool ok = file.WriteAll(out, static_cast<int32_t>(recordBytes));
    std::free(out);
    for (int32_t i = 0; ok && i < count; ++i)
        if (table[i] && table[i]->Used() > 0) ok = file.WriteAll(table[i]->Code(), table[i]->Used());
    if (!ok) return FailFromFile(file);
    file.EndSection();
    return true;
}

void SegmentManager::MarkShared(const Dictionary* pool) {
    for (int32_t i = 0; i < count; ++i)
        if (table[i]) table[i]->SetSharedPool(pool);
}

void SegmentManager::ShareFrom(const SegmentManager& other) {
    ReleaseTable();
    tableCapacity = other.count > 0 ? other.count : 1;
    table = static_cast<Segment**>(std::calloc(static_cast<size_t>(tableCapacity), sizeof(Segment*)));
    if (other.count > 0) std::memcpy(table, other.table, sizeof(Segment*) * static_cast<size_t>(other.count));
    count = other.count;
    current = other.current;
    sharedCount = other.count;
    sharedTable = other.table;
}

Segment* SegmentManager::CurrentSegment() {
    if (!table[current]) table[current] = new Segment(current);
    return table[current];
}

Segment* SegmentManager::AddSegment() {
    if (count == tableCapacity) {
        int32_t room = tableCapacity + kSegmentTableStep;
        auto* grown = static_cast<Segment**>(std::calloc(static_cast<size_t>(room), sizeof(Segment*)));
        if (count > 0) std::memcpy(grown, table, sizeof(Segment*) * static_cast<size_t>(count));
        std::free(table);
        table = grown;
        tableCapacity = room;
    }
    auto* segment = new Segment(count);
    table[count++] = segment;
    return segment;
}

Segment* SegmentManager::SegmentAt(int32_t index) const {
    if (index < 0 || index >= count) return nullptr;
    return table[index];
}

bool SegmentManager::SetCurrent(int32_t index) {
    if (index < 0 || index >= count) return false;
    current = index;
    return true;
}

} // namespace vorn
