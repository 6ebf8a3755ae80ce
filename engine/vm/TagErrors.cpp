#include "engine/vm/TagErrors.h"

#include <cstring>

#include "engine/foundation/Hash.h"

namespace vorn {

namespace {

// A tag's row: its id, its name in messages, its error variable (that name
// and "_Error") and its default setting.
#define VORN_TAG_ERROR(tag, name, setting) {kTag##tag, name, name "_Error", setting}

// Rows above the expression's stay empty (id 0, no names, setting 0).
constexpr TagErrorEntry kBuiltIn[kTagErrorRows] = {
    VORN_TAG_ERROR(If, "VrIF", 3),
    VORN_TAG_ERROR(Else, "VrELSE", 3),
    VORN_TAG_ERROR(Import, "VrIMPORT", 1),
    VORN_TAG_ERROR(ImportStop, "VrIMPORTSTOP", 3),
    VORN_TAG_ERROR(Export, "VrEXPORT", 1),
    VORN_TAG_ERROR(Assign, "VrASSIGN", 3),
    VORN_TAG_ERROR(Eval, "VrEVAL", 3),
    VORN_TAG_ERROR(Hide, "VrHIDE", 3),
    VORN_TAG_ERROR(Pop, "VrPOP", 1),
    VORN_TAG_ERROR(PopStop, "VrPOPSTOP", 3),
    VORN_TAG_ERROR(PopDelete, "VrPOPDELETE", 1),
    VORN_TAG_ERROR(Smtp, "VrSMTP", 1),
    VORN_TAG_ERROR(While, "VrWHILE", 3),
    VORN_TAG_ERROR(WhileStop, "VrWHILESTOP", 3),
    VORN_TAG_ERROR(Call, "VrCALL", 3),
    VORN_TAG_ERROR(CallStop, "VrCALLSTOP", 3),
    VORN_TAG_ERROR(Function, "VrFUNCTION", 3),
    VORN_TAG_ERROR(FunctionReturn, "VrFUNCTIONRETURN", 3),
    VORN_TAG_ERROR(ElseIf, "VrELSEIF", 3),
    VORN_TAG_ERROR(Commerce, "VrCOMMERCE", 3),
    VORN_TAG_ERROR(CommerceStop, "VrCOMMERCESTOP", 3),
    VORN_TAG_ERROR(Comment, "VrCOMMENT", 3),
    VORN_TAG_ERROR(Do, "VrDO", 3),
    VORN_TAG_ERROR(Lockfile, "VrLOCKFILE", 3),
    VORN_TAG_ERROR(Localized, "VrLOCALIZED", 3),
    VORN_TAG_ERROR(LocalizedToken, "VrLOCALIZED-TOKEN", 3),
    VORN_TAG_ERROR(LocalizedText, "VrLOCALIZED-TEXT", 3),
    VORN_TAG_ERROR(Exit, "VrEXIT", 3),
    VORN_TAG_ERROR(Open, "VrOPEN", 1),
    VORN_TAG_ERROR(Close, "VrCLOSE", 1),
    VORN_TAG_ERROR(Skip, "VrSKIP", 1),
    VORN_TAG_ERROR(Go, "VrGO", 1),
    VORN_TAG_ERROR(Primary, "VrPRIMARY", 3),
    VORN_TAG_ERROR(Find, "VrFIND", 1),
    VORN_TAG_ERROR(SetIndex, "VrSETINDEX", 1),
    VORN_TAG_ERROR(Update, "VrUPDATE", 1),
    VORN_TAG_ERROR(Delete, "VrDELETE", 1),
    VORN_TAG_ERROR(Undelete, "VrUNDELETE", 1),
    VORN_TAG_ERROR(Add, "VrADD", 1),
    VORN_TAG_ERROR(MakeIndex, "VrMAKEINDEX", 3),
    VORN_TAG_ERROR(Pack, "VrPACK", 1),
    VORN_TAG_ERROR(Reindex, "VrREINDEX", 1),
    VORN_TAG_ERROR(Create, "VrCREATE", 1),
    VORN_TAG_ERROR(RevealStructure, "VrREVEALSTRUCTURE", 1),
    VORN_TAG_ERROR(OpenView, "VrOPENVIEW", 1),
    VORN_TAG_ERROR(CloseView, "VrCLOSEVIEW", 1),
    VORN_TAG_ERROR(Query, "VrQUERY", 1),
    VORN_TAG_ERROR(Filter, "VrFILTER", 1),
    VORN_TAG_ERROR(Vorn, "VORN", 3),
    VORN_TAG_ERROR(AssignArray, "VrASSIGNARRAY", 3),
    VORN_TAG_ERROR(Dimension, "VrDIMENSION", 3),
    VORN_TAG_ERROR(Member, "VrMEMBER", 3),
    VORN_TAG_ERROR(Commit, "VrCOMMIT", 1),
    VORN_TAG_ERROR(Rollback, "VrROLLBACK", 1),
    VORN_TAG_ERROR(Include, "VrINCLUDE", 0),
    VORN_TAG_ERROR(Transact, "VrTRANSACT", 1),
    VORN_TAG_ERROR(Reference, "VrREFERENCE", 1),
    VORN_TAG_ERROR(ReferenceArray, "VrREFERENCEARRAY", 1),
    VORN_TAG_ERROR(DbCommand, "VrDBCOMMAND", 1),
    VORN_TAG_ERROR(Capture, "VrCAPTURE", 1),
    VORN_TAG_ERROR(IfDef, "VrIFDEF", 0),
    VORN_TAG_ERROR(IfNDef, "VrIFNDEF", 0),
    // Errors inside expressions: their variable is named as a tag's would be.
    {kTagExpression, "(in expression)", "VrEXPRESSION_Error", 3},
};

#undef VORN_TAG_ERROR

// Each row at its tag's id, up to the expression's; every id a tag name can
// have indexes the table.
constexpr bool RowsAtTheirIds() {
    for (int32_t i = 0; i < kTagErrorRows; ++i) {
        const TagErrorEntry& row = kBuiltIn[i];
        bool named = i <= static_cast<int32_t>(kTagExpression);
        if (named != (row.tagName != nullptr) || named != (row.errorVariable != nullptr)) return false;
        if (row.id != (named ? static_cast<uint32_t>(i) : 0u)) return false;
    }
    return kTagIdCount <= static_cast<uint32_t>(kTagErrorRows);
}
static_assert(RowsAtTheirIds(), "tag error rows stand at their tags' ids");

} // namespace

const TagErrorEntry* BuiltInTagErrors() {
    return kBuiltIn;
}

TagErrorTable::TagErrorTable() {
    for (int32_t i = 0; i < kTagErrorRows; ++i) rows[i] = kBuiltIn[i];
}

void TagErrorTable::SetSetting(int32_t id, uint32_t setting) {
    if (id >= 0 && id < kTagErrorRows) rows[id].setting = setting;
}

const TagErrorEntry* TagErrorTable::FindTag(const char* name, int32_t length) const {
    if (!name) return nullptr;
    if (length < 0) length = static_cast<int32_t>(std::strlen(name));
    for (const TagErrorEntry& row : rows) {
        if (!row.tagName) continue;
        if (static_cast<int32_t>(std::strlen(row.tagName)) == length &&
            CompareTextNoCase(row.tagName, name, length) == 0)
            return &row;
    }
    return nullptr;
}

} // namespace vorn
