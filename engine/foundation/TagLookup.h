// Script tag names and their ids, as used in configuration text such as the
// per-tag error settings.
#pragma once

#include <cstdint>

namespace vorn {

// Tag ids; the per-tag error settings are indexed by them.
inline constexpr uint32_t kTagIf = 0x00;
inline constexpr uint32_t kTagElse = 0x01;
inline constexpr uint32_t kTagImport = 0x02;
inline constexpr uint32_t kTagImportStop = 0x03;
inline constexpr uint32_t kTagExport = 0x04;
inline constexpr uint32_t kTagAssign = 0x05;
inline constexpr uint32_t kTagEval = 0x06;
inline constexpr uint32_t kTagHide = 0x07;
inline constexpr uint32_t kTagPop = 0x08;
inline constexpr uint32_t kTagPopStop = 0x09;
inline constexpr uint32_t kTagPopDelete = 0x0a;
inline constexpr uint32_t kTagSmtp = 0x0b;
inline constexpr uint32_t kTagWhile = 0x0c;
inline constexpr uint32_t kTagWhileStop = 0x0d;
inline constexpr uint32_t kTagCall = 0x0e;
inline constexpr uint32_t kTagCallStop = 0x0f;
inline constexpr uint32_t kTagFunction = 0x10;
inline constexpr uint32_t kTagFunctionReturn = 0x11; // "vrfuncreturn" and "vrfunctionreturn"
inline constexpr uint32_t kTagElseIf = 0x12;
inline constexpr uint32_t kTagCommerce = 0x13;
inline constexpr uint32_t kTagCommerceStop = 0x14;
inline constexpr uint32_t kTagComment = 0x15;
inline constexpr uint32_t kTagDo = 0x16;
inline constexpr uint32_t kTagLockfile = 0x17;
inline constexpr uint32_t kTagLocalized = 0x18;
inline constexpr uint32_t kTagLocalizedToken = 0x19;
inline constexpr uint32_t kTagLocalizedText = 0x1a;
inline constexpr uint32_t kTagExit = 0x1b;
inline constexpr uint32_t kTagOpen = 0x1c;
inline constexpr uint32_t kTagClose = 0x1d;
inline constexpr uint32_t kTagSkip = 0x1e;
inline constexpr uint32_t kTagGo = 0x1f;
inline constexpr uint32_t kTagPrimary = 0x20;
inline constexpr uint32_t kTagFind = 0x21;
inline constexpr uint32_t kTagSetIndex = 0x22;
inline constexpr uint32_t kTagUpdate = 0x23;
inline constexpr uint32_t kTagDelete = 0x24;
inline constexpr uint32_t kTagUndelete = 0x25;
inline constexpr uint32_t kTagAdd = 0x26;
inline constexpr uint32_t kTagMakeIndex = 0x27;
inline constexpr uint32_t kTagPack = 0x28;
inline constexpr uint32_t kTagReindex = 0x29;
inline constexpr uint32_t kTagCreate = 0x2a;
inline constexpr uint32_t kTagRevealStructure = 0x2b;
inline constexpr uint32_t kTagOpenView = 0x2c;
inline constexpr uint32_t kTagCloseView = 0x2d;
inline constexpr uint32_t kTagQuery = 0x2e;
inline constexpr uint32_t kTagFilter = 0x2f;
inline constexpr uint32_t kTagVorn = 0x30;
inline constexpr uint32_t kTagAssignArray = 0x31;
inline constexpr uint32_t kTagDimension = 0x32;
inline constexpr uint32_t kTagMember = 0x33;
inline constexpr uint32_t kTagCommit = 0x34;
inline constexpr uint32_t kTagRollback = 0x35;
inline constexpr uint32_t kTagInclude = 0x36;
inline constexpr uint32_t kTagTransact = 0x37;
inline constexpr uint32_t kTagReference = 0x38;
inline constexpr uint32_t kTagReferenceArray = 0x39;
inline constexpr uint32_t kTagDbCommand = 0x3a;
inline constexpr uint32_t kTagCapture = 0x3b;
inline constexpr uint32_t kTagIfDef = 0x3c;
inline constexpr uint32_t kTagIfNDef = 0x3d;
inline constexpr uint32_t kTagExpression = 0x3e;
inline constexpr uint32_t kTagImportContinue = 0x3f;
inline constexpr uint32_t kTagPopContinue = 0x40;
inline constexpr uint32_t kTagWhileContinue = 0x41;
inline constexpr uint32_t kTagCallContinue = 0x42;
inline constexpr uint32_t kTagCommerceContinue = 0x43;
inline constexpr uint32_t kTagForEach = 0x44;
inline constexpr uint32_t kTagForEachStop = 0x45;
inline constexpr uint32_t kTagForEachContinue = 0x46;
inline constexpr uint32_t kTagFor = 0x47;
inline constexpr uint32_t kTagForStop = 0x48;
inline constexpr uint32_t kTagForContinue = 0x49;
inline constexpr uint32_t kTagAssembly = 0x4a;

// Number of tag ids (0 .. kTagIdCount - 1) and of names (one id has two).
inline constexpr uint32_t kTagIdCount = 75;
inline constexpr int32_t kTagNameCount = 76;
// The longest tag name ("vrcommercecontinue").
inline constexpr int32_t kTagNameMaxLength = 18;

// One row of the constant tag-name table.
struct TagNameRow {
    uint32_t tagId;
    int32_t kind;   // 0: tag without attributes, 2: tag with attributes
    int32_t count1; // -1 for kind 0
    int32_t count2; // -1 for kind 0
    int32_t length;
    const char* name; // lower case, NUL-terminated
};

// Finds a tag name's row, ignoring ASCII case. Exact whole names only: no
// abbreviations, prefixes or surrounding spaces.
class TagLookup {
  public:
    TagLookup() = default;
    virtual ~TagLookup() = default;

    // length -1 means up to the NUL. Returns null when the text is not a tag name.
    const TagNameRow* Find(const char* name, int32_t length) const;

    // The whole table, kTagNameCount rows in tag id order.
    static const TagNameRow* Rows();
};

} // namespace vorn
