#include "engine/vm/TagErrors.h"

#include <cstring>

#include "engine/foundation/Hash.h"

namespace vorn {

namespace {

// Rows 63 and above stay empty (id 0, no names, setting 0).
constexpr TagErrorEntry kBuiltIn[kTagErrorRows] = {
    {0, "VrIF", "VrIF_Error", 3},
    {1, "VrELSE", "VrELSE_Error", 3},
    {2, "VrIMPORT", "VrIMPORT_Error", 1},
    {3, "VrIMPORTSTOP", "VrIMPORTSTOP_Error", 3},
    {4, "VrEXPORT", "VrEXPORT_Error", 1},
    {5, "VrASSIGN", "VrASSIGN_Error", 3},
    {6, "VrEVAL", "VrEVAL_Error", 3},
    {7, "VrHIDE", "VrHIDE_Error", 3},
    {8, "VrPOP", "VrPOP_Error", 1},
    {9, "VrPOPSTOP", "VrPOPSTOP_Error", 3},
    {10, "VrPOPDELETE", "VrPOPDELETE_Error", 1},
    {11, "VrSMTP", "VrSMTP_Error", 1},
    {12, "VrWHILE", "VrWHILE_Error", 3},
    {13, "VrWHILESTOP", "VrWHILESTOP_Error", 3},
    {14, "VrCALL", "VrCALL_Error", 3},
    {15, "VrCALLSTOP", "VrCALLSTOP_Error", 3},
    {16, "VrFUNCTION", "VrFUNCTION_Error", 3},
    {17, "VrFUNCTIONRETURN", "VrFUNCTIONRETURN_Error", 3},
    {18, "VrELSEIF", "VrELSEIF_Error", 3},
    {19, "VrCOMMERCE", "VrCOMMERCE_Error", 3},
    {20, "VrCOMMERCESTOP", "VrCOMMERCESTOP_Error", 3},
    {21, "VrCOMMENT", "VrCOMMENT_Error", 3},
    {22, "VrDO", "VrDO_Error", 3},
    {23, "VrLOCKFILE", "VrLOCKFILE_Error", 3},
    {24, "VrLOCALIZED", "VrLOCALIZED_Error", 3},
    {25, "VrLOCALIZED-TOKEN", "VrLOCALIZED-TOKEN_Error", 3},
    {26, "VrLOCALIZED-TEXT", "VrLOCALIZED-TEXT_Error", 3},
    {27, "VrEXIT", "VrEXIT_Error", 3},
    {28, "VrOPEN", "VrOPEN_Error", 1},
    {29, "VrCLOSE", "VrCLOSE_Error", 1},
    {30, "VrSKIP", "VrSKIP_Error", 1},
    {31, "VrGO", "VrGO_Error", 1},
    {32, "VrPRIMARY", "VrPRIMARY_Error", 3},
    {33, "VrFIND", "VrFIND_Error", 1},
    {34, "VrSETINDEX", "VrSETINDEX_Error", 1},
    {35, "VrUPDATE", "VrUPDATE_Error", 1},
    {36, "VrDELETE", "VrDELETE_Error", 1},
    {37, "VrUNDELETE", "VrUNDELETE_Error", 1},
    {38, "VrADD", "VrADD_Error", 1},
    {39, "VrMAKEINDEX", "VrMAKEINDEX_Error", 3},
    {40, "VrPACK", "VrPACK_Error", 1},
    {41, "VrREINDEX", "VrREINDEX_Error", 1},
    {42, "VrCREATE", "VrCREATE_Error", 1},
    {43, "VrREVEALSTRUCTURE", "VrREVEALSTRUCTURE_Error", 1},
    {44, "VrOPENVIEW", "VrOPENVIEW_Error", 1},
    {45, "VrCLOSEVIEW", "VrCLOSEVIEW_Error", 1},
    {46, "VrQUERY", "VrQUERY_Error", 1},
    {47, "VrFILTER", "VrFILTER_Error", 1},
    {48, "VORN", "VORN_Error", 3},
    {49, "VrASSIGNARRAY", "VrASSIGNARRAY_Error", 3},
    {50, "VrDIMENSION", "VrDIMENSION_Error", 3},
    {51, "VrMEMBER", "VrMEMBER_Error", 3},
    {52, "VrCOMMIT", "VrCOMMIT_Error", 1},
    {53, "VrROLLBACK", "VrROLLBACK_Error", 1},
    {54, "VrINCLUDE", "VrINCLUDE_Error", 0},
    {55, "VrTRANSACT", "VrTRANSACT_Error", 1},
    {56, "VrREFERENCE", "VrREFERENCE_Error", 1},
    {57, "VrREFERENCEARRAY", "VrREFERENCEARRAY_Error", 1},
    {58, "VrDBCOMMAND", "VrDBCOMMAND_Error", 1},
    {59, "VrCAPTURE", "VrCAPTURE_Error", 1},
    {60, "VrIFDEF", "VrIFDEF_Error", 0},
    {61, "VrIFNDEF", "VrIFNDEF_Error", 0},
    {62, "(in expression)", "VrEXPRESSION_Error", 3},
};

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
