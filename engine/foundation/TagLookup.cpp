#include "engine/foundation/TagLookup.h"

#include "engine/foundation/Hash.h"

#include <array>
#include <cstring>

namespace vorn {

namespace {

constexpr int32_t Len(const char* s) {
    int32_t n = 0;
    while (s[n] != 0)
        ++n;
    return n;
}

constexpr TagNameRow Plain(uint32_t id, const char* name) {
    return {id, 0, -1, -1, Len(name), name};
}
constexpr TagNameRow Attr(uint32_t id, const char* name, int32_t c1, int32_t c2) {
    return {id, 2, c1, c2, Len(name), name};
}
// Nothing reads the counts of these kind-2 rows, so they carry 0, 0.
constexpr TagNameRow Attr(uint32_t id, const char* name) {
    return Attr(id, name, 0, 0);
}

constexpr TagNameRow kRows[kTagNameCount] = {
    Attr(kTagIf, "vrif", 1, 0),
    Attr(kTagElse, "vrelse"),
    Attr(kTagImport, "vrimport"),
    Plain(kTagImportStop, "vrimportstop"),
    Attr(kTagExport, "vrexport"),
    Attr(kTagAssign, "vrassign"),
    Attr(kTagEval, "vreval"),
    Attr(kTagHide, "vrhide"),
    Attr(kTagPop, "vrpop"),
    Plain(kTagPopStop, "vrpopstop"),
    Plain(kTagPopDelete, "vrpopdelete"),
    Attr(kTagSmtp, "vrsmtp", 3, 6),
    Attr(kTagWhile, "vrwhile"),
    Plain(kTagWhileStop, "vrwhilestop"),
    Attr(kTagCall, "vrcall", 2, 8),
    Plain(kTagCallStop, "vrcallstop"),
    Attr(kTagFunction, "vrfunction"),
    Attr(kTagFunctionReturn, "vrfuncreturn"),
    Attr(kTagFunctionReturn, "vrfunctionreturn"),
    Attr(kTagElseIf, "vrelseif"),
    Attr(kTagCommerce, "vrcommerce"),
    Plain(kTagCommerceStop, "vrcommercestop"),
    Plain(kTagComment, "vrcomment"),
    Attr(kTagDo, "vrdo"),
    Attr(kTagLockfile, "vrlockfile"),
    Attr(kTagLocalized, "vrlocalized"),
    Attr(kTagLocalizedToken, "vrlocalized-token"),
    Plain(kTagLocalizedText, "vrlocalized-text"),
    Plain(kTagExit, "vrexit"),
    Attr(kTagOpen, "vropen"),
    Attr(kTagClose, "vrclose"),
    Attr(kTagSkip, "vrskip"),
    Attr(kTagGo, "vrgo"),
    Attr(kTagPrimary, "vrprimary"),
    Attr(kTagFind, "vrfind"),
    Attr(kTagSetIndex, "vrsetindex"),
    Attr(kTagUpdate, "vrupdate"),
    Attr(kTagDelete, "vrdelete"),
    Attr(kTagUndelete, "vrundelete"),
    Attr(kTagAdd, "vradd"),
    Attr(kTagMakeIndex, "vrmakeindex"),
    Attr(kTagPack, "vrpack"),
    Attr(kTagReindex, "vrreindex"),
    Attr(kTagCreate, "vrcreate"),
    Attr(kTagRevealStructure, "vrrevealstructure"),
    Attr(kTagOpenView, "vropenview"),
    Attr(kTagCloseView, "vrcloseview"),
    Attr(kTagQuery, "vrquery"),
    Attr(kTagFilter, "vrfilter"),
    Attr(kTagVorn, "vorn", 0, 6),
    Attr(kTagAssignArray, "vrassignarray"),
    Plain(kTagDimension, "vrdimension"),
    Plain(kTagMember, "vrmember"),
    Attr(kTagCommit, "vrcommit"),
    Attr(kTagRollback, "vrrollback"),
    Attr(kTagInclude, "vrinclude"),
    Attr(kTagTransact, "vrtransact"),
    Attr(kTagReference, "vrreference"),
    Attr(kTagReferenceArray, "vrreferencearray"),
    Attr(kTagDbCommand, "vrdbcommand"),
    Attr(kTagCapture, "vrcapture"),
    Attr(kTagIfDef, "vrifdef"),
    Attr(kTagIfNDef, "vrifndef"),
    Plain(kTagExpression, "expression"),
    Plain(kTagImportContinue, "vrimportcontinue"),
    Plain(kTagPopContinue, "vrpopcontinue"),
    Plain(kTagWhileContinue, "vrwhilecontinue"),
    Plain(kTagCallContinue, "vrcallcontinue"),
    Plain(kTagCommerceContinue, "vrcommercecontinue"),
    Attr(kTagForEach, "vrforeach"),
    Plain(kTagForEachStop, "vrforeachstop"),
    Plain(kTagForEachContinue, "vrforeachcontinue"),
    Attr(kTagFor, "vrfor"),
    Plain(kTagForStop, "vrforstop"),
    Plain(kTagForContinue, "vrforcontinue"),
    Plain(kTagAssembly, "vrassembly"),
};

// Byte order of (a, an) against (b, bn): bytes unsigned, a proper prefix first.
constexpr int Compare(const char* a, int32_t an, const char* b, int32_t bn) {
    const int32_t n = an < bn ? an : bn;
    for (int32_t i = 0; i < n; ++i) {
        const auto x = static_cast<unsigned char>(a[i]);
        const auto y = static_cast<unsigned char>(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    return an == bn ? 0 : (an < bn ? -1 : 1);
}

// Row indexes in name order, built at compile time so the table above can
// stay in the readable tag id order.
constexpr std::array<uint8_t, kTagNameCount> SortedOrder() {
    std::array<uint8_t, kTagNameCount> order{};
    for (int32_t i = 0; i < kTagNameCount; ++i) {
        int32_t j = i;
        while (j > 0 && Compare(kRows[order[j - 1]].name, kRows[order[j - 1]].length, kRows[i].name,
                                kRows[i].length) > 0) {
            order[j] = order[j - 1];
            --j;
        }
        order[j] = static_cast<uint8_t>(i);
    }
    return order;
}

constexpr std::array<uint8_t, kTagNameCount> kByName = SortedOrder();

constexpr bool WellFormed() {
    for (int32_t i = 0; i < kTagNameCount; ++i) {
        const TagNameRow& r = kRows[i];
        if (r.length < 1 || r.length > kTagNameMaxLength || r.tagId >= kTagIdCount) return false;
        for (int32_t k = 0; k < r.length; ++k)
            if (r.name[k] >= 'A' && r.name[k] <= 'Z') return false;
        if (i > 0 && Compare(kRows[kByName[i - 1]].name, kRows[kByName[i - 1]].length, kRows[kByName[i]].name,
                             kRows[kByName[i]].length) >= 0)
            return false; // duplicate name
    }
    return true;
}
static_assert(WellFormed(), "tag names must be lower case, unique and at most 18 bytes");

} // namespace

const TagNameRow* TagLookup::Rows() {
    return kRows;
}

const TagNameRow* TagLookup::Find(const char* name, int32_t length) const {
    if (name == nullptr) return nullptr;
    // Never scan further than one byte past the longest name.
    if (length == -1) length = static_cast<int32_t>(strnlen(name, kTagNameMaxLength + 1));
    if (length < 1 || length > kTagNameMaxLength) return nullptr;

    char lowered[kTagNameMaxLength];
    for (int32_t i = 0; i < length; ++i)
        lowered[i] = static_cast<char>(AsciiLower(static_cast<unsigned char>(name[i])));

    int32_t lo = 0, hi = kTagNameCount;
    while (lo < hi) {
        const int32_t mid = lo + (hi - lo) / 2;
        const TagNameRow& row = kRows[kByName[mid]];
        const int c = Compare(row.name, row.length, lowered, length);
        if (c == 0) return &row;
        if (c < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    return nullptr;
}

} // namespace vorn
