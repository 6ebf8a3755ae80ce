// Code segments: the numbered byte buffers that hold a program's bytecode,
// and the manager that loads them from the "segs" section, hands out new ones
// for code generated at run time and writes them back.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/foundation/String.h"

namespace vorn {

class Dictionary;
class TaggedFile;

inline constexpr int32_t kSegmentStep = 8192;
inline constexpr int32_t kSegmentTableStep = 64;

// A form derived from a segment's code that its user caches on the segment
// (the interpreter's decoded form). Kept until the segment goes; a user
// tells a stale one by the code pointer, length and write count it was made
// from.
class SegmentAttachment {
public:
    SegmentAttachment() = default;
    virtual ~SegmentAttachment();
    SegmentAttachment(const SegmentAttachment&) = delete;
    SegmentAttachment& operator=(const SegmentAttachment&) = delete;

    SegmentAttachment* nextAttachment = nullptr;
    // Tells the kinds of attachment apart: the address of something of the
    // attaching code's own.
    const void* attachmentKind = nullptr;
};

class Segment {
public:
    // An empty segment of 8192 zeroed bytes.
    explicit Segment(int32_t index);
    // Exactly size zeroed bytes, all of them used (for loading).
    Segment(int32_t index, int32_t size);
    virtual ~Segment();
    Segment(const Segment&) = delete;
    Segment& operator=(const Segment&) = delete;

    // Reads Used() bytes at that offset of the tagged section.
    bool Load(TaggedFile& file, uint32_t tag, uint32_t offset);
    // Capacity becomes n rounded up to a multiple of 8192; new bytes are zero.
    void Grow(int32_t n);

    // Store the value little-endian at position, growing the buffer and the
    // used count as needed; return the position after it, or -1 (nothing
    // written) for a negative position or one beyond the 2 GB range.
    int32_t WriteU16(int32_t position, uint16_t value);
    int32_t WriteU32(int32_t position, uint32_t value);
    int32_t WriteDouble(int32_t position, double value);
    int32_t WriteBytes(int32_t position, const void* bytes, int32_t n);

    int32_t Index() const { return index; }
    const uint8_t* Code() const { return code; }
    uint8_t* Code() { return code; }
    int32_t Capacity() const { return capacity; }
    int32_t Used() const { return used; }
    // Counts the changes made through Write*, Grow and Load.
    uint32_t Writes() const { return writes.load(std::memory_order_acquire); }

    // The attachments, newest first. Attach may race with readers and with
    // other Attach calls (a program may run on several threads at once).
    SegmentAttachment* Attachments() const { return attachments.load(std::memory_order_acquire); }
    void Attach(SegmentAttachment* attachment);

    // The pool that derived forms resolve texts with, when the segment is
    // part of a program shared by several runs (each with a pool of its own
    // over this one); null otherwise.
    const Dictionary* SharedPool() const { return sharedPool; }
    void SetSharedPool(const Dictionary* pool) { sharedPool = pool; }

private:
    // Makes room for n more bytes at position; false when out of range.
    bool Reserve(int32_t position, int32_t n);

    int32_t index;
    uint8_t* code;
    int32_t capacity;
    int32_t used;
    std::atomic<uint32_t> writes{0};
    std::atomic<SegmentAttachment*> attachments{nullptr};
    const Dictionary* sharedPool = nullptr;
};

class SegmentManager {
public:
    // 64 empty positions; position 0 is kept for the main segment.
    SegmentManager();
    virtual ~SegmentManager();
    SegmentManager(const SegmentManager&) = delete;
    SegmentManager& operator=(const SegmentManager&) = delete;

    virtual const String& ErrorText() const;
    virtual void SetError(const String& text);

    // Replaces the segments with those of the "segs" section.
    bool Load(TaggedFile& file);
    // Marks every segment as shared, resolving texts with pool: from now on
    // nothing may change this manager or its segments.
    void MarkShared(const Dictionary* pool);
    // Replaces the segments with those of a manager marked shared, used in
    // place and never deleted here (it must outlive this one). Segments
    // added later are this manager's own.
    void ShareFrom(const SegmentManager& other);
    // Writes every position below Count() as a "segs" section (an empty
    // position as a segment of no bytes), with Current() as the entry segment.
    bool Save(TaggedFile& file);

    // The entry segment, made empty on first use.
    Segment* CurrentSegment();
    // A new empty segment at the next position.
    Segment* AddSegment();
    // The segment at that position, or null (outside the table or not made).
    Segment* SegmentAt(int32_t index) const;

    int32_t Count() const { return count; }
    int32_t TableCapacity() const { return tableCapacity; }
    int32_t Current() const { return current; }
    // False for an index outside 0 .. Count() - 1.
    bool SetCurrent(int32_t index);

private:
    void ReleaseTable();
    bool FailFromFile(TaggedFile& file);

    Segment** table;
    // Positions below this hold the shared manager's segments, as its table
    // (sharedTable) has them; a position that holds anything else is owned.
    int32_t sharedCount = 0;
    Segment* const* sharedTable = nullptr;
    int32_t tableCapacity;
    int32_t count;
    int32_t current;
    String error;
};

} // namespace vorn
