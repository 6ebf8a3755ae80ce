// Script tag names and their ids, as used in configuration text such as the
// per-tag error settings.
#pragma once

#include <cstdint>

namespace vorn {

// Tag ids; the per-tag error settings are indexed by them.
inline constexpr uint32_t kTagVrIf = 0x00;
inline constexpr uint32_t kTagVrElse = 0x01;
inline constexpr uint32_t kTagVrImport = 0x02;
inline constexpr uint32_t kTagVrImportStop = 0x03;
inline constexpr uint32_t kTagVrExport = 0x04;
inline constexpr uint32_t kTagVrAssign = 0x05;
inline constexpr uint32_t kTagVrEval = 0x06;
inline constexpr uint32_t kTagVrHide = 0x07;
inline constexpr uint32_t kTagVrPop = 0x08;
inline constexpr uint32_t kTagVrPopStop = 0x09;
inline constexpr uint32_t kTagVrPopDelete = 0x0a;
inline constexpr uint32_t kTagVrSmtp = 0x0b;
inline constexpr uint32_t kTagVrWhile = 0x0c;
inline constexpr uint32_t kTagVrWhileStop = 0x0d;
inline constexpr uint32_t kTagVrCall = 0x0e;
inline constexpr uint32_t kTagVrCallStop = 0x0f;
inline constexpr uint32_t kTagVrFunction = 0x10;
inline constexpr uint32_t kTagVrFunctionReturn = 0x11; // "vrfuncreturn" and "vrfunctionreturn"
inline constexpr uint32_t kTagVrElseIf = 0x12;
inline constexpr uint32_t kTagVrCommerce = 0x13;
inline constexpr uint32_t kTagVrCommerceStop = 0x14;
inline constexpr uint32_t kTagVrComment = 0x15;
inline constexpr uint32_t kTagVrDo = 0x16;
inline constexpr uint32_t kTagVrLockfile = 0x17;
inline constexpr uint32_t kTagVrLocalized = 0x18;
inline constexpr uint32_t kTagVrLocalizedToken = 0x19;
inline constexpr uint32_t kTagVrLocalizedText = 0x1a;
inline constexpr uint32_t kTagVrExit = 0x1b;
inline constexpr uint32_t kTagVrOpen = 0x1c;
inline constexpr uint32_t kTagVrClose = 0x1d;
inline constexpr uint32_t kTagVrSkip = 0x1e;
inline constexpr uint32_t kTagVrGo = 0x1f;
inline constexpr uint32_t kTagVrPrimary = 0x20;
inline constexpr uint32_t kTagVrFind = 0x21;
inline constexpr uint32_t kTagVrSetIndex = 0x22;
inline constexpr uint32_t kTagVrUpdate = 0x23;
inline constexpr uint32_t kTagVrDelete = 0x24;
inline constexpr uint32_t kTagVrUndelete = 0x25;
inline constexpr uint32_t kTagVrAdd = 0x26;
inline constexpr uint32_t kTagVrMakeIndex = 0x27;
inline constexpr uint32_t kTagVrPack = 0x28;
inline constexpr uint32_t kTagVrReindex = 0x29;
inline constexpr uint32_t kTagVrCreate = 0x2a;
inline constexpr uint32_t kTagVrRevealStructure = 0x2b;
inline constexpr uint32_t kTagVrOpenView = 0x2c;
inline constexpr uint32_t kTagVrCloseView = 0x2d;
inline constexpr uint32_t kTagVrQuery = 0x2e;
inline constexpr uint32_t kTagVrFilter = 0x2f;
inline constexpr uint32_t kTagVorn = 0x30;
inline constexpr uint32_t kTagVrAssignArray = 0x31;
inline constexpr uint32_t kTagVrDimension = 0x32;
inline constexpr uint32_t kTagVrMember = 0x33;
inline constexpr uint32_t kTagVrCommit = 0x34;
inline constexpr uint32_t kTagVrRollback = 0x35;
inline constexpr uint32_t kTagVrInclude = 0x36;
inline constexpr uint32_t kTagVrTransact = 0x37;
inline constexpr uint32_t kTagVrReference = 0x38;
inline constexpr uint32_t kTagVrReferenceArray = 0x39;
inline constexpr uint32_t kTagVrDbCommand = 0x3a;
inline constexpr uint32_t kTagVrCapture = 0x3b;
inline constexpr uint32_t kTagVrIfDef = 0x3c;
inline constexpr uint32_t kTagVrIfNDef = 0x3d;
inline constexpr uint32_t kTagExpression = 0x3e;
inline constexpr uint32_t kTagVrImportContinue = 0x3f;
inline constexpr uint32_t kTagVrPopContinue = 0x40;
inline constexpr uint32_t kTagVrWhileContinue = 0x41;
inline constexpr uint32_t kTagVrCallContinue = 0x42;
inline constexpr uint32_t kTagVrCommerceContinue = 0x43;
inline constexpr uint32_t kTagVrForEach = 0x44;
inline constexpr uint32_t kTagVrForEachStop = 0x45;
inline constexpr uint32_t kTagVrForEachContinue = 0x46;
inline constexpr uint32_t kTagVrFor = 0x47;
inline constexpr uint32_t kTagVrForStop = 0x48;
inline constexpr uint32_t kTagVrForContinue = 0x49;
inline constexpr uint32_t kTagVrAssembly = 0x4a;

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
