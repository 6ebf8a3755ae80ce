#include "engine/values/FunctionManager.h"

#include <cstdlib>
#include <cstring>

#include "engine/foundation/Hash.h"
#include "engine/foundation/LittleEndian.h"
#include "engine/program/Dictionary.h"
#include "engine/program/TaggedFile.h"
#include "engine/values/VariableHash.h"

namespace vorn {

namespace {

constexpr char kTooLargeToSave[] = "Function table too large to save";
constexpr uint32_t kEnd = 0xFFFFFFFFu;
constexpr int32_t kHeaderSize = 7;
constexpr int32_t kBucketRecordSize = 6;
constexpr int32_t kFunctionRecordSize = 20;
constexpr int32_t kParameterRecordSize = 12;
// The smallest local-variable table: its header alone.
constexpr int32_t kSmallestLocals = 7;
constexpr int32_t kMaxBits = 30;
// A file may ask for a bucket array this large whatever its size; beyond it
// the array must stay within a fixed multiple of the section, so a tiny
// file cannot make a worker fill gigabytes.
constexpr int64_t kFreeBucketBytes = 256 * 1024;
constexpr int64_t kBucketBytesPerSectionByte = 64;

int32_t* FilledInts(int64_t n, int32_t value) {
    auto* p = static_cast<int32_t*>(std::malloc(sizeof(int32_t) * static_cast<size_t>(n > 0 ? n : 1)));
    for (int64_t i = 0; i < n; ++i) p[i] = value;
    return p;
}

int32_t* CopiedInts(const int32_t* from, int64_t n) {
    auto* p = static_cast<int32_t*>(std::malloc(sizeof(int32_t) * static_cast<size_t>(n > 0 ? n : 1)));
    if (n > 0) std::memcpy(p, from, sizeof(int32_t) * static_cast<size_t>(n));
    return p;
}

// Chain order: shorter names first, then CompareTextNoCase.
int CompareNames(const String& entry, const char* name, int32_t length) {
    if (entry.Length() != length) return entry.Length() > length ? 1 : -1;
    return CompareTextNoCase(entry.Text(), name, length);
}

} // namespace

FunctionParameter::FunctionParameter(int32_t slot, int32_t nameIndex, const char* name, int32_t length,
                                     uint32_t flags)
    : nameIndex(nameIndex), name(name, length), flags(flags), slot(slot) {}

FunctionParameter::~FunctionParameter() = default;

Function::Function(int32_t index, uint32_t flags, int32_t nameIndex, const char* name, int32_t length,
                   int32_t segment, int32_t offset, Dictionary* dictionary)
    : index(index),
      flags(flags),
      nameIndex(nameIndex),
      name(name ? name : "", name ? length : 0),
      segment(segment),
      offset(offset),
      dictionary(dictionary),
      locals(new VariableHash(dictionary, kFunctionLocalBits, kFunctionLocalCapacity)) {}

Function::~Function() { delete locals; }

int32_t Function::AddParameter(uint32_t parameterFlags, const char* parameterName, int32_t length) {
    if (!parameterName) return -1;
    if (length < 0) length = static_cast<int32_t>(std::strlen(parameterName));
    int32_t id = dictionary->Add(parameterName, length);
    if (id < 0) return -1;
    int32_t slot = locals->AddName(id);
    parameters.Insert(new FunctionParameter(slot, id, parameterName, length, parameterFlags), kListTail);
    return slot;
}

FunctionManager::FunctionManager(Dictionary* dictionary, int32_t requestedBits) : dictionary(dictionary) {
    bits = requestedBits < 0 ? 0 : requestedBits > kMaxBits ? kMaxBits : requestedBits;
    bucketCount = static_cast<int32_t>(1u << bits);
    buckets = FilledInts(bucketCount, -1);
    capacity = kFunctionSlotStep;
    next = FilledInts(capacity, -1);
    items = static_cast<Function**>(std::calloc(static_cast<size_t>(capacity), sizeof(Function*)));
}

FunctionManager::~FunctionManager() { ReleaseArrays(); }

void FunctionManager::ReleaseArrays() {
    for (int32_t i = 0; i < used; ++i) delete items[i];
    std::free(buckets);
    std::free(next);
    std::free(items);
    buckets = next = nullptr;
    items = nullptr;
    used = capacity = count = 0;
}

const String& FunctionManager::ErrorText() const { return error; }

void FunctionManager::SetError(const String& text) {
    if (!text.IsNull()) error.Assign(text);
}

int32_t FunctionManager::HashKey(const char* name, int32_t length) const {
    if (length < 0) length = static_cast<int32_t>(std::strlen(name));
    return static_cast<int32_t>(HashLookup2NoCase(name, static_cast<uint32_t>(length), 0) &
                                (static_cast<uint32_t>(bucketCount) - 1));
}

Function* FunctionManager::Find(const char* name, int32_t length) {
    if (!name) return nullptr;
    if (length < 0) length = static_cast<int32_t>(std::strlen(name));
    for (int32_t slot = buckets[HashKey(name, length)]; slot >= 0; slot = next[slot]) {
        Function* entry = items[slot];
        if (!entry) continue;
        int c = CompareNames(entry->name, name, length);
        if (c == 0) return entry;
        if (c > 0) return nullptr;
    }
    return nullptr;
}

void FunctionManager::Insert(Function* function, const char* name, int32_t length) {
    if (length < 0) length = static_cast<int32_t>(std::strlen(name));
    if (used == capacity) {
        int32_t room = capacity + kFunctionSlotStep;
        int32_t* grownNext = FilledInts(room, -1);
        auto* grownItems = static_cast<Function**>(std::calloc(static_cast<size_t>(room), sizeof(Function*)));
        if (used > 0) {
            std::memcpy(grownNext, next, sizeof(int32_t) * static_cast<size_t>(used));
            std::memcpy(grownItems, items, sizeof(Function*) * static_cast<size_t>(used));
        }
        std::free(next);
        std::free(items);
        next = grownNext;
        items = grownItems;
        capacity = room;
    }
    int32_t slot = used;
    items[slot] = function;
    next[slot] = -1;
    function->index = slot;
    int32_t b = HashKey(name, length);
    if (buckets[b] < 0) {
        buckets[b] = slot;
        ++count;
    } else {
        int32_t previous = -1;
        int32_t at = buckets[b];
        while (at >= 0 && !(items[at] && CompareNames(items[at]->name, name, length) > 0)) {
            previous = at;
            at = next[at];
        }
        next[slot] = at;
        if (previous < 0)
            buckets[b] = slot;
        else
            next[previous] = slot;
    }
    ++used;
}

Function* FunctionManager::AddExternal(const char* name, int32_t length, uint32_t flags) {
    if (!name) return nullptr;
    if (length < 0) length = static_cast<int32_t>(std::strlen(name));
    int32_t id = dictionary->Add(name, length);
    if (id < 0) return nullptr;
    auto* function = new Function(used, flags | kFunctionExternal, id, name, length, -1, -1, dictionary);
    Insert(function, name, length);
    return function;
}

Function* FunctionManager::AddCopy(Function& other) {
    auto* function = new Function(used, other.flags, other.nameIndex, other.name.Text(), other.name.Length(), -1,
                                  -1, dictionary);
    function->external = other.external;
    List<FunctionParameter>& source = other.Parameters();
    for (FunctionParameter* p = source.First(); p; p = source.Next())
        function->AddParameter(p->flags, p->name.Text(), p->name.Length());
    Insert(function, function->name.Text(), function->name.Length());
    return function;
}

Function* FunctionManager::AddFunction(const char* name, int32_t length, uint32_t flags, int32_t segment,
                                       int32_t offset) {
    if (!name) return nullptr;
    if (length < 0) length = static_cast<int32_t>(std::strlen(name));
    int32_t id = dictionary->Add(name, length);
    if (id < 0) return nullptr;
    auto* function = new Function(used, flags, id, name, length, segment, offset, dictionary);
    Insert(function, name, length);
    return function;
}

int32_t FunctionManager::BucketHead(int32_t bucket) const {
    if (bucket < 0 || bucket >= bucketCount) return -1;
    return buckets[bucket];
}

int32_t FunctionManager::NextSlot(int32_t slot) const {
    if (slot < 0 || slot >= used) return -1;
    return next[slot];
}

bool FunctionManager::Fail(const char* message) {
    error.Assign(message);
    return false;
}

bool FunctionManager::FailFromFile(TaggedFile& file) {
    SetError(file.ErrorText());
    if (error.IsEmpty()) error.Assign(kCorruptFileMessage);
    return false;
}

bool FunctionManager::ReadExact(TaggedFile& file, void* buffer, int64_t n) {
    if (n > INT32_MAX) return false;
    return file.Read(buffer, static_cast<int32_t>(n)) == n;
}

bool FunctionManager::ReadChunk(TaggedFile& file) {
    uint32_t sectionLength = 0;
    if (!file.SelectSection(kSectionFunc, &sectionLength)) return FailFromFile(file);
    uint8_t header[kHeaderSize];
    if (!ReadExact(file, header, kHeaderSize)) return FailFromFile(file);
    uint32_t b = GetU16(header);
    int32_t fileBits = static_cast<int8_t>(header[2]);
    uint32_t s = GetU32(header + 3);

    // Sizes the file asks for are checked against the section before any
    // allocation: every slot takes a link, a record and a locals header.
    int64_t fixedBytes = kHeaderSize + static_cast<int64_t>(b) * kBucketRecordSize +
                         static_cast<int64_t>(s) * (4 + kFunctionRecordSize + kSmallestLocals);
    if (fileBits < 0 || fileBits > kMaxBits || fixedBytes > static_cast<int64_t>(sectionLength))
        return Fail(kCorruptFileMessage);
    int64_t fileBuckets = int64_t{1} << fileBits;
    if (fileBuckets * 4 > kFreeBucketBytes &&
        fileBuckets * 4 > kBucketBytesPerSectionByte * static_cast<int64_t>(sectionLength))
        return Fail(kCorruptFileMessage);

    ReleaseArrays();
    bits = fileBits;
    bucketCount = static_cast<int32_t>(fileBuckets);
    buckets = FilledInts(bucketCount, -1);
    capacity = static_cast<int32_t>(s);
    next = FilledInts(capacity, -1);
    items = static_cast<Function**>(std::calloc(static_cast<size_t>(capacity > 0 ? capacity : 1), sizeof(Function*)));

    bool ok = ReadSlots(file, b, s);
    if (!ok) {
        // A half-built table is never left behind: lookups would meet empty slots.
        ReleaseArrays();
        buckets = FilledInts(bucketCount, -1);
        capacity = kFunctionSlotStep;
        next = FilledInts(capacity, -1);
        items = static_cast<Function**>(std::calloc(static_cast<size_t>(capacity), sizeof(Function*)));
        return false;
    }
    file.DeselectSection();
    return true;
}

bool FunctionManager::ReadSlots(TaggedFile& file, uint32_t b, uint32_t s) {
    uint32_t sectionLength = file.Selected() ? file.Selected()->length : 0;
    // Bucket records: each names a bucket of this table and a slot of it.
    if (b > 0) {
        auto* records = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(b) * kBucketRecordSize));
        bool ok = ReadExact(file, records, static_cast<int64_t>(b) * kBucketRecordSize);
        for (uint32_t i = 0; ok && i < b; ++i) {
            uint32_t bucket = GetU16(records + i * kBucketRecordSize);
            uint32_t first = GetU32(records + i * kBucketRecordSize + 2);
            if (bucket >= static_cast<uint32_t>(bucketCount) || (first != kEnd && first >= s)) {
                std::free(records);
                return Fail(kCorruptFileMessage);
            }
            buckets[bucket] = first == kEnd ? -1 : static_cast<int32_t>(first);
        }
        std::free(records);
        if (!ok) return FailFromFile(file);
    }

    // Chain links: each names a slot or the end.
    if (s > 0) {
        auto* links = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(s) * 4));
        bool ok = ReadExact(file, links, static_cast<int64_t>(s) * 4);
        for (uint32_t i = 0; ok && i < s; ++i) {
            uint32_t link = GetU32(links + 4 * i);
            if (link != kEnd && link >= s) {
                std::free(links);
                return Fail(kCorruptFileMessage);
            }
            next[i] = link == kEnd ? -1 : static_cast<int32_t>(link);
        }
        std::free(links);
        if (!ok) return FailFromFile(file);
    }

    // Every slot is reached from at most one place, so no walk can loop.
    count = 0;
    if (s > 0) {
        auto* seen = static_cast<uint8_t*>(std::calloc(s, 1));
        for (int32_t bucket = 0; bucket < bucketCount; ++bucket) {
            if (buckets[bucket] < 0) continue;
            ++count;
            for (int32_t slot = buckets[bucket]; slot >= 0; slot = next[slot]) {
                if (seen[slot]) {
                    std::free(seen);
                    return Fail(kCorruptFileMessage);
                }
                seen[slot] = 1;
            }
        }
        std::free(seen);
    }

    for (uint32_t i = 0; i < s; ++i) {
        uint8_t record[kFunctionRecordSize];
        if (!ReadExact(file, record, kFunctionRecordSize)) return FailFromFile(file);
        int32_t nameIndex = static_cast<int32_t>(GetU32(record));
        uint32_t parameterCount = GetU32(record + 4);
        uint32_t flags = GetU32(record + 8);
        int32_t segment = static_cast<int32_t>(GetU32(record + 12));
        int32_t offset = static_cast<int32_t>(GetU32(record + 16));
        int32_t nameLength = 0;
        const char* name = dictionary->Get(nameIndex, &nameLength);
        int64_t remaining = static_cast<int64_t>(sectionLength) - file.Position();
        if (!name || static_cast<int64_t>(parameterCount) * kParameterRecordSize + kSmallestLocals > remaining)
            return Fail(kCorruptFileMessage);

        auto* function = new Function(static_cast<int32_t>(i), flags, nameIndex, name, nameLength, segment, offset,
                                      dictionary);
        items[i] = function;
        used = static_cast<int32_t>(i) + 1;
        if (parameterCount > 0) {
            int64_t bytes = static_cast<int64_t>(parameterCount) * kParameterRecordSize;
            auto* records = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(bytes)));
            if (!ReadExact(file, records, bytes)) {
                std::free(records);
                return FailFromFile(file);
            }
            for (uint32_t k = 0; k < parameterCount; ++k) {
                const uint8_t* p = records + static_cast<size_t>(k) * kParameterRecordSize;
                int32_t id = static_cast<int32_t>(GetU32(p));
                int32_t length = 0;
                const char* text = dictionary->Get(id, &length);
                if (!text) {
                    std::free(records);
                    return Fail(kCorruptFileMessage);
                }
                function->Parameters().Insert(
                    new FunctionParameter(static_cast<int32_t>(GetU32(p + 8)), id, text, length, GetU32(p + 4)),
                    kListTail);
            }
            std::free(records);
        }
        if (!function->Locals()->Load(file)) {
            SetError(function->Locals()->Label());
            if (error.IsEmpty()) error.Assign(kCorruptFileMessage);
            return false;
        }
        // A parameter is bound into its slot of locals, which must exist.
        for (FunctionParameter* p = function->Parameters().First(); p; p = function->Parameters().Next())
            if (p->slot < 0 || p->slot >= function->Locals()->Count()) return Fail(kCorruptFileMessage);
    }
    return true;
}

void FunctionManager::CopyFrom(const FunctionManager& other) {
    if (&other == this) return;
    ReleaseArrays();
    bits = other.bits;
    bucketCount = other.bucketCount;
    count = other.count;
    capacity = other.capacity;
    used = other.used;
    buckets = CopiedInts(other.buckets, bucketCount);
    next = CopiedInts(other.next, capacity);
    items = static_cast<Function**>(std::calloc(static_cast<size_t>(capacity > 0 ? capacity : 1), sizeof(Function*)));
    for (int32_t i = 0; i < used; ++i) {
        const Function* from = other.items[i];
        if (!from) continue;
        auto* function = new Function(from->index, from->flags, from->nameIndex, from->name.Text(),
                                      from->name.Length(), from->segment, from->offset, dictionary);
        from->parameters.Visit([function](const FunctionParameter* p) {
            function->parameters.Insert(
                new FunctionParameter(p->slot, p->nameIndex, p->name.Text(), p->name.Length(), p->flags), kListTail);
        });
        function->locals->CopyLayoutFrom(*from->locals);
        function->locals->UseNames(dictionary);
        items[i] = function;
    }
}

bool FunctionManager::WriteChunk(TaggedFile& file) {
    int64_t nonEmpty = 0;
    for (int32_t i = 0; i < bucketCount; ++i) {
        if (buckets[i] < 0) continue;
        ++nonEmpty;
        if (i > 0xFFFF) return Fail(kTooLargeToSave);
    }
    if (nonEmpty > 0xFFFF) return Fail(kTooLargeToSave);
    for (int32_t i = 0; i < used; ++i)
        if (!items[i]) return Fail("Function table has an empty slot");

    int64_t headBytes = kHeaderSize + nonEmpty * kBucketRecordSize + static_cast<int64_t>(used) * 4;
    if (headBytes > INT32_MAX) return Fail(kTooLargeToSave);
    auto* head = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(headBytes)));
    PutU16(head, static_cast<uint16_t>(nonEmpty));
    head[2] = static_cast<uint8_t>(bits);
    PutU32(head + 3, static_cast<uint32_t>(used));
    uint8_t* p = head + kHeaderSize;
    for (int32_t i = 0; i < bucketCount; ++i) {
        if (buckets[i] < 0) continue;
        PutU16(p, static_cast<uint16_t>(i));
        PutU32(p + 2, static_cast<uint32_t>(buckets[i]));
        p += kBucketRecordSize;
    }
    for (int32_t i = 0; i < used; ++i, p += 4) PutU32(p, static_cast<uint32_t>(next[i]));

    file.BeginSection(kSectionFunc);
    bool ok = file.WriteAll(head, static_cast<int32_t>(headBytes));
    std::free(head);
    if (!ok) return FailFromFile(file);
    for (int32_t i = 0; i < used; ++i) {
        Function* function = items[i];
        List<FunctionParameter>& parameters = function->Parameters();
        uint8_t record[kFunctionRecordSize];
        PutU32(record, static_cast<uint32_t>(function->nameIndex));
        PutU32(record + 4, static_cast<uint32_t>(parameters.Count()));
        PutU32(record + 8, function->flags);
        PutU32(record + 12, static_cast<uint32_t>(function->segment));
        PutU32(record + 16, static_cast<uint32_t>(function->offset));
        if (!file.WriteAll(record, kFunctionRecordSize)) return FailFromFile(file);
        for (FunctionParameter* parameter = parameters.First(); parameter; parameter = parameters.Next()) {
            uint8_t pr[kParameterRecordSize];
            PutU32(pr, static_cast<uint32_t>(parameter->nameIndex));
            PutU32(pr + 4, parameter->flags);
            PutU32(pr + 8, static_cast<uint32_t>(parameter->slot));
            if (!file.WriteAll(pr, kParameterRecordSize)) return FailFromFile(file);
        }
        if (!function->Locals()->Save(file)) {
            SetError(function->Locals()->Label());
            if (error.IsEmpty()) error.Assign(kCorruptFileMessage);
            return false;
        }
    }
    file.EndSection();
    return true;
}

} // namespace vorn
