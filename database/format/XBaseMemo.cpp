// The memo file of a table and its memo fields.
#include <cstring>

#include "database/format/XBaseTable.h"
#include "engine/foundation/LittleEndian.h"
#include "engine/foundation/Messages.h"

namespace vorn {

namespace {

constexpr uint8_t kEndOfText = 0x1A;
constexpr int64_t kMaxBlock = INT64_C(0xFFFFFFFF);
// A text must fit a String; a file that runs on without an end mark is not
// read beyond this.
constexpr int64_t kMaxMemoText = INT64_C(0x7FFFFF00);
// The largest read of a text; a text that needs reads this large is long.
constexpr int32_t kLongChunk = 65536;

// The block number a record's memo text names: leading blanks, an optional
// sign and digits, like the decimal reading of C; 0 for anything else (an
// empty memo), -1 for a negative or oversized number.
int64_t BlockNumber(const char* text) {
    while (*text == ' ' || *text == '\t') ++text;
    bool negative = false;
    if (*text == '-' || *text == '+') negative = *text++ == '-';
    int64_t block = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        block = block * 10 + (*text - '0');
        if (block > kMaxBlock) return -1;
    }
    return negative && block != 0 ? -1 : block;
}

} // namespace

// --- The memo file --------------------------------------------------------------------------

int XBaseTable::ReadMemoHeader() {
    uint8_t header[kMemoBlockSize];
    int32_t got = memoStore->ReadAt(0, header, kMemoBlockSize);
    if (got != kMemoBlockSize) return ReadFailure(memoStore, memoName, got);
    uint32_t next = GetU32(header);
    // Block 0 is the header: an append there would overwrite it.
    if (next < 1) return Corrupt(memoName, "the next free block is 0");
    nextMemoBlock = next;
    return 1;
}

int XBaseTable::WriteMemoHeader() {
    uint8_t header[kMemoBlockSize] = {};
    PutU32(header, nextMemoBlock);
    if (memoStore->WriteAt(0, header, kMemoBlockSize) != kMemoBlockSize) return WriteFailure(memoStore, memoName);
    return 1;
}

int64_t XBaseTable::AppendMemo(const char* text, int32_t length) {
    if (!memoStore) {
        SetError(String(kInternalErrorOpening) + memoName + "'");
        return -1;
    }
    if (length < 0) length = static_cast<int32_t>(std::strlen(text));
    if (length > 0 && std::memchr(text, kEndOfText, static_cast<size_t>(length))) {
        SetError(String(kErrorWritingTo) + memoName + "': a memo text may not hold the byte 0x1A");
        return -1;
    }
    if (length > kMaxMemoText) {
        SetError(String(kErrorWritingTo) + memoName + "': the memo text is too long");
        return -1;
    }
    int32_t total = length + 2;
    if (memoScratchCapacity < total) {
        memoScratch.reset(new uint8_t[static_cast<size_t>(total)]);
        memoScratchCapacity = total;
    }
    if (length > 0) std::memcpy(memoScratch.get(), text, static_cast<size_t>(length));
    memoScratch[static_cast<size_t>(length)] = kEndOfText;
    memoScratch[static_cast<size_t>(length) + 1] = kEndOfText;

    XBaseRangeLock lock(memoStore, 0, kMemoBlockSize);
    if (!lock.Take(true)) {
        LockFailure(memoStore, memoName, "write");
        return -1;
    }
    // Another request may have appended meanwhile.
    if (!ReadMemoHeader()) return -1;
    int64_t block = nextMemoBlock;
    // The last block in use must begin inside the file: a next free block
    // past its end is damage, and writing there would make a file of that
    // size full of nothing.
    int64_t fileLength = memoStore->Length();
    if (fileLength < 0) {
        ReadFailure(memoStore, memoName, -1);
        return -1;
    }
    if ((block - 1) * kMemoBlockSize >= fileLength) {
        SetError(String(kErrorWritingTo) + memoName +
                 "': memo file damaged, its next free block lies past the end of the file");
        return -1;
    }
    int64_t next = block + (total + kMemoBlockSize - 1) / kMemoBlockSize;
    if (next > kMaxBlock) {
        SetError(String(kErrorWritingTo) + memoName + "': the memo file is full");
        return -1;
    }
    if (memoStore->WriteAt(block * kMemoBlockSize, memoScratch.get(), total) != total) {
        WriteFailure(memoStore, memoName);
        return -1;
    }
    nextMemoBlock = static_cast<uint32_t>(next);
    if (!WriteMemoHeader()) return -1;
    return block;
}

int XBaseTable::ReadMemo(int64_t block, String& out) {
    if (!memoStore) {
        SetError(String(kInternalErrorOpening) + memoName + "'");
        return 0;
    }
    if (block < 1 || block > kMaxBlock) return Corrupt(memoName, "a memo block number is out of range");
    int64_t at = block * kMemoBlockSize;
    int64_t used = 0;
    int32_t chunk = kMemoBlockSize;
    for (;;) {
        if (used + chunk > memoScratchCapacity) {
            int64_t capacity = memoScratchCapacity < chunk ? chunk : memoScratchCapacity;
            while (capacity < used + chunk) capacity *= 2;
            if (capacity > kMaxMemoText + 2 * kMemoBlockSize) return Corrupt(memoName, "a memo text is too long");
            uint8_t* grown = new uint8_t[static_cast<size_t>(capacity)];
            if (used > 0) std::memcpy(grown, memoScratch.get(), static_cast<size_t>(used));
            memoScratch.reset(grown);
            memoScratchCapacity = static_cast<int32_t>(capacity);
        }
        // A long text (or a damaged file read on and on) ends when the
        // request is stopped, as every long step does.
        if (chunk == kLongChunk && opener->Stopped()) {
            SetError(String(kErrorReadingFrom) + memoName + "': the request was stopped");
            return 0;
        }
        int32_t got = memoStore->ReadAt(at + used, memoScratch.get() + used, chunk);
        if (got < 0) return ReadFailure(memoStore, memoName, got);
        // Every stored text has at least its end mark: nothing there is damage.
        if (got == 0 && used == 0) {
            SetError(String(kErrorReadingFrom) + memoName +
                     "': memo file damaged, a memo block lies past the end of the file");
            return 0;
        }
        const void* end = std::memchr(memoScratch.get() + used, kEndOfText, static_cast<size_t>(got));
        if (end) {
            used = static_cast<const uint8_t*>(end) - memoScratch.get();
            break;
        }
        used += got;
        if (got < chunk) break; // the end of the file ends the text
        if (used > kMaxMemoText) return Corrupt(memoName, "a memo text is too long");
        if (chunk < kLongChunk) chunk *= 2;
    }
    out.Assign(reinterpret_cast<const char*>(memoScratch.get()), static_cast<int32_t>(used));
    return 1;
}

// --- XBaseMemoField -------------------------------------------------------------------------

XBaseMemoField::XBaseMemoField(XBaseTable* table, const char* name, int32_t length, int32_t decimals)
    : XBaseField(table, name, kXBaseMemo, length, decimals) {}

XBaseMemoField::XBaseMemoField(XBaseTable* table, const char* name, int32_t nameLength, int32_t length,
                               int32_t decimals)
    : XBaseField(table, name, nameLength, kXBaseMemo, length, decimals) {}

XBaseMemoField::~XBaseMemoField() = default;

int XBaseMemoField::LoadFromRecord(const uint8_t* bytes) {
    changed = false;
    hasText = false;
    hasSaved = false;
    text.Assign("", 0);
    savedText.Assign("", 0);
    return XBaseField::LoadFromRecord(bytes);
}

int XBaseMemoField::LoadPreviousFromRecord(const uint8_t* bytes) {
    char blockText[256];
    int32_t n = length < 255 ? length : 255;
    std::memcpy(blockText, bytes, static_cast<size_t>(n));
    blockText[n] = 0;
    int64_t block = BlockNumber(blockText);
    if (block < 0) {
        table->SetError(String(kErrorReadingFrom) + table->MemoName() +
                        "': File is corrupt (a memo block number is out of range)");
        return 0;
    }
    if (block == 0)
        savedText.Assign("", 0);
    else if (!table->ReadMemo(block, savedText))
        return 0;
    hasSaved = true;
    return 1;
}

const char* XBaseMemoField::Value() {
    if (!hasText) {
        int64_t block = BlockNumber(value);
        if (block < 0) {
            table->SetError(String(kErrorReadingFrom) + table->MemoName() +
                            "': File is corrupt (a memo block number is out of range)");
            return nullptr;
        }
        if (block == 0) {
            text.Assign("", 0);
        } else if (!table->ReadMemo(block, text)) {
            return nullptr;
        }
        savedText.Assign(text);
        hasText = true;
        hasSaved = true;
    }
    return text.Text();
}

int32_t XBaseMemoField::ValueLength() { return Value() ? text.Length() : 0; }

int XBaseMemoField::SetValue(const char* newText, int32_t n) {
    if (!newText) n = 0;
    if (n < 0) n = static_cast<int32_t>(std::strlen(newText));
    if (n > 0 && std::memchr(newText, kEndOfText, static_cast<size_t>(n))) {
        table->SetError(String("The text for the memo field '") + name +
                        "' holds the byte 0x1A, which would end it in the memo file");
        return 0;
    }
    changed = true;
    text.Assign(newText, n);
    hasText = true;
    return 1;
}

int XBaseMemoField::StoreToRecord(uint8_t* bytes) {
    if (changed) {
        if (hasText && text.Length() > 0) {
            int64_t block = table->AppendMemo(text.Text(), text.Length());
            if (block < 0) return 0;
            char digits[24];
            int32_t n = 0;
            for (int64_t rest = block; rest > 0; rest /= 10) digits[n++] = static_cast<char>('0' + rest % 10);
            if (n > length) {
                table->SetError(String(kErrorWritingTo) + table->Name() + "': the memo block number does not fit the field " + name);
                return 0;
            }
            for (int32_t i = 0; i < n; ++i) value[i] = digits[n - 1 - i];
            value[n] = 0;
            valueLength = n;
        } else {
            value[0] = 0;
            valueLength = 0;
        }
    }
    return XBaseField::StoreToRecord(bytes);
}

void XBaseMemoField::SavePrevious() {
    if (!hasText) return;
    savedText.Assign(text);
    hasSaved = true;
}

void XBaseMemoField::SwapPrevious() {
    String keep(static_cast<String&&>(text));
    text = static_cast<String&&>(savedText);
    savedText = static_cast<String&&>(keep);
    bool had = hasText;
    hasText = hasSaved;
    hasSaved = had;
}

} // namespace vorn
