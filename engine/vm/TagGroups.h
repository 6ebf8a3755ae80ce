// The tag groups: the handlers of the words that open, walk and end tag
// blocks (databases, VrDO, lock files, capture, flat files, mail, VrCALL,
// VrCOMMERCE), each group in a unit of its own. A handler receives the VM
// and is named in its word's row of the instruction table; the groups use
// the VM's public side only, and what a group keeps for a run lies in the
// run's slots (DatabaseRegistry.h, DoContext.h).
#pragma once

namespace vorn {

class VornVM;

// ---- Database tags, words 0x0200 .. 0x021a (DatabaseTags.cpp) ----------------
void OpDbOpen(VornVM& vm);
void OpDbClose(VornVM& vm);
void OpDbSkip(VornVM& vm);
void OpDbGo(VornVM& vm);
void OpDbAdd(VornVM& vm);
void OpDbUpdate(VornVM& vm);
void OpDbDelete(VornVM& vm);
void OpDbUndelete(VornVM& vm);
void OpDbPrimary(VornVM& vm);
void OpDbFind(VornVM& vm);
void OpDbSetIndex(VornVM& vm);
void OpDbMakeIndex(VornVM& vm);
void OpDbPack(VornVM& vm);
void OpDbReindex(VornVM& vm);
void OpDbCreate(VornVM& vm);
void OpDbOpenView(VornVM& vm);
void OpDbCloseView(VornVM& vm);
void OpDbQuery(VornVM& vm);
void OpDbFilter(VornVM& vm);
void OpDbRevealStructureDb(VornVM& vm);
void OpDbRevealStructureAgg(VornVM& vm);
void OpDbOpen2(VornVM& vm);
void OpDbCommit(VornVM& vm);
void OpDbRollback(VornVM& vm);
void OpDbTransact(VornVM& vm);
void OpDbCommand(VornVM& vm);

// ---- VrDO sub-programs (DoTags.cpp) --------------------------------------------
void OpDoFile(VornVM& vm);     // 0x0045
void OpDoFunction(VornVM& vm); // 0x0046

// ---- VrLOCKFILE (LockFileTags.cpp) ------------------------------------------------
void OpLockfile(VornVM& vm);    // 0x0048
void OpLockfileEnd(VornVM& vm); // 0x0049

// ---- VrCAPTURE (CaptureTags.cpp) ----------------------------------------------------
void OpCapture(VornVM& vm);    // 0x0058
void OpCaptureEnd(VornVM& vm); // 0x0059

// ---- VrIMPORT and VrEXPORT (FlatFileTags.cpp) ------------------------------------------
void OpExport(VornVM& vm);     // 0x0105
void OpImport(VornVM& vm);     // 0x4101
void OpImportf(VornVM& vm);    // 0x4102 VrIMPORT with a filter
void OpImportLoop(VornVM& vm); // 0x4103
void OpImportStop(VornVM& vm); // 0x4104 VrIMPORTSTOP

// ---- VrSMTP and VrPOP (MailTags.cpp) ----------------------------------------------------
void OpPop3Delete(VornVM& vm); // 0x0108 VrPOPDELETE
void OpSmtpEnd(VornVM& vm);    // 0x010b
void OpPop3(VornVM& vm);       // 0x4106 VrPOP
void OpPop3Loop(VornVM& vm);   // 0x4107
void OpPop3Stop(VornVM& vm);   // 0x4109
void OpSmtp(VornVM& vm);       // 0x410a VrSMTP
void OpSmtpn(VornVM& vm);      // 0x5114

// ---- VrCALL (CallTags.cpp) ---------------------------------------------------------------
void OpHttp(VornVM& vm);     // 0x410c
void OpHttpLoop(VornVM& vm); // 0x410d
void OpHttpStop(VornVM& vm); // 0x410e
void OpHttp8(VornVM& vm);    // 0x4112
void OpHttpn(VornVM& vm);    // 0x5113

// ---- VrCOMMERCE (CommerceTags.cpp) -----------------------------------------------------------
void OpCommerce(VornVM& vm);     // 0x410f
void OpCommerceLoop(VornVM& vm); // 0x4110
void OpCommerceStop(VornVM& vm); // 0x4111

} // namespace vorn
