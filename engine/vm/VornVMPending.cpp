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

void VornVM::OpPop3Delete() { NotSupported("pop3delete"); }
void VornVM::OpSmtpEnd() { NotSupported("op_smtp_end"); }
void VornVM::OpPop3() { NotSupported("pop3"); }
void VornVM::OpPop3Loop() { NotSupported("pop3loop"); }
void VornVM::OpPop3Stop() { NotSupported("pop3stop"); }
void VornVM::OpSmtp() { NotSupported("op_smtp"); }
void VornVM::OpSmtpn() { NotSupported("op_smtpn"); }

} // namespace vorn
