// The fatal error of a word whose feature this build cannot serve (no lock
// files, import or capture source given to the VM).
#include "engine/vm/VornVM.h"

namespace vorn {

void VornVM::NotSupported(const char* mnemonic) {
    String message("Instruction not supported: ");
    message.Append(mnemonic);
    FatalError(message);
}

} // namespace vorn
