// Words whose handlers belong to features not built yet: each is decoded and
// ends the run with a clear fatal error. A feature's handlers replace these
// definitions (remove the line here when adding the real one).
#include "engine/vm/VornVM.h"

namespace vorn {

void VornVM::NotSupported(const char* mnemonic) {
    String message("Instruction not supported: ");
    message.Append(mnemonic);
    FatalError(message);
}

void VornVM::OpDbOpen() { NotSupported("dbopen"); }
void VornVM::OpDbClose() { NotSupported("dbclose"); }
void VornVM::OpDbSkip() { NotSupported("dbskip"); }
void VornVM::OpDbGo() { NotSupported("dbgo"); }
void VornVM::OpDbAdd() { NotSupported("dbadd"); }
void VornVM::OpDbUpdate() { NotSupported("dbupdate"); }
void VornVM::OpDbDelete() { NotSupported("dbdelete"); }
void VornVM::OpDbUndelete() { NotSupported("dbundelete"); }
void VornVM::OpDbPrimary() { NotSupported("dbprimary"); }
void VornVM::OpDbFind() { NotSupported("dbfind"); }
void VornVM::OpDbSetIndex() { NotSupported("dbsetindex"); }
void VornVM::OpDbMakeIndex() { NotSupported("dbmakeindex"); }
void VornVM::OpDbPack() { NotSupported("dbpack"); }
void VornVM::OpDbReindex() { NotSupported("dbreindex"); }
void VornVM::OpDbCreate() { NotSupported("dbcreate"); }
void VornVM::OpDbOpenView() { NotSupported("dbopenview"); }
void VornVM::OpDbCloseView() { NotSupported("dbcloseview"); }
void VornVM::OpDbQuery() { NotSupported("dbquery"); }
void VornVM::OpDbFilter() { NotSupported("dbfilter"); }
void VornVM::OpDbRevealStructureDb() { NotSupported("dbrevealstructuredb"); }
void VornVM::OpDbRevealStructureAgg() { NotSupported("dbrevealstructureagg"); }
void VornVM::OpDbOpen2() { NotSupported("dbopen2"); }
void VornVM::OpDbCommit() { NotSupported("dbcommit"); }
void VornVM::OpDbRollback() { NotSupported("dbrollback"); }
void VornVM::OpDbTransact() { NotSupported("dbtransact"); }
void VornVM::OpDbCommand() { NotSupported("dbcommand"); }

} // namespace vorn
