// VrSMTP and VrPOP: the handlers of the mail blocks. The message and the
// mailbox themselves are features that the request's network manager makes.
#include <cstdlib>

#include "engine/app/VornApplication.h"
#include "engine/vm/NetworkSource.h"
#include "engine/vm/VornVM.h"

namespace vorn {

namespace {

constexpr char kNoNetwork[] = "Network connections are not available";

} // namespace

void VornVM::OpSmtp() {
    SmtpBegin(5);
}

void VornVM::OpSmtpn() {
    SmtpBegin(immB);
}

void VornVM::SmtpBegin(int32_t count) {
    const int32_t pastBlock = immA;
    // Operands in push order: To, From, host, CC, Subject, port, flags, user
    // name, password. Surplus ones are dropped from the top first.
    for (int32_t surplus = count; surplus > 9 && !aborted; --surplus)
        if (!stack->Discard()) break;
    StackText password, user, flags, subject, cc, host, from, to;
    SmtpOperands operands;
    // One underflow is reported once, not per operand.
    if (count >= 9 && !aborted) stack->PopText(password);
    if (count >= 8 && !aborted) stack->PopText(user);
    if (count >= 7 && !aborted) stack->PopText(flags);
    if (count >= 6 && !aborted) operands.port = stack->PopInteger();
    if (count >= 5 && !aborted) stack->PopText(subject);
    if (count >= 4 && !aborted) stack->PopText(cc);
    if (count >= 3 && !aborted) stack->PopText(host);
    if (count >= 2 && !aborted) stack->PopText(from);
    if (count >= 1 && !aborted) stack->PopText(to);
    if (aborted) return;

    ClearTagError(kTagSmtp);
    operands.to = to.text;
    operands.toLength = to.length;
    operands.from = from.text;
    operands.fromLength = from.length;
    operands.host = host.text;
    operands.hostLength = host.length;
    operands.cc = cc.text;
    operands.ccLength = cc.length;
    operands.subject = subject.text;
    operands.subjectLength = subject.length;
    operands.flags = flags.text;
    operands.flagsLength = flags.length;
    operands.user = user.text;
    operands.userLength = user.length;
    operands.password = password.text;
    operands.passwordLength = password.length;
    operands.logTraffic = (traceFlags & LogSmtp) != 0 && TraceAccepts();

    NetworkSource* network = application ? application->GetNetworkManager() : nullptr;
    if (!network) {
        TagError(kTagSmtp, kNoNetwork);
        JumpBy(pastBlock);
        return;
    }
    MailMessage* message = network->NewMailMessage(application, this);
    if (!message->Begin(operands)) {
        String failure(message->error);
        // The output is given back first, so the message goes where the
        // block's surroundings write.
        delete message;
        TagError(kTagSmtp, failure);
        JumpBy(pastBlock);
        return;
    }
    PushFeature(message);
}

void VornVM::OpSmtpEnd() {
    auto* message = static_cast<MailMessage*>(FindFeature(kFeatureSmtp));
    // Ending a message whose output is not the current one would bring back
    // an output that another block still replaces.
    if (!message || !message->IsCurrent()) {
        FatalError(kErrorNoOpenFeature);
        return;
    }
    const bool sent = message->Finish();
    String failure(message->error);
    RemoveFeature(message);
    if (!sent) TagError(kTagSmtp, failure);
}

void VornVM::OpPop3() {
    const int32_t pastLoop = immA;
    int32_t directoryLength = 0;
    int32_t directorySize = 0;
    char* directory = stack->PopCString(&directoryLength, &directorySize);
    // One underflow is reported once, not per operand.
    StackText password, user, host;
    if (!aborted) stack->PopText(password);
    if (!aborted) stack->PopText(user);
    if (!aborted) stack->PopText(host);
    if (aborted) {
        std::free(directory);
        return;
    }

    ClearTagError(kTagPop);
    NetworkSource* network = application ? application->GetNetworkManager() : nullptr;
    if (!network) {
        std::free(directory);
        TagError(kTagPop, kNoNetwork);
        JumpBy(pastLoop);
        return;
    }
    Mailbox* mailbox =
        network->NewMailbox(application, this, systemScope, directory, directoryLength, directorySize);
    const int32_t result =
        mailbox->Begin(host.text, host.length, user.text, user.length, password.text, password.length);
    if (result == kMailboxMessage) {
        PushFeature(mailbox);
        return;
    }
    String failure(mailbox->error);
    delete mailbox; // ends the session
    if (result == kMailboxFailed) TagError(kTagPop, failure);
    JumpBy(pastLoop);
}

void VornVM::OpPop3Loop() {
    const int32_t toBody = immA;
    auto* mailbox = static_cast<Mailbox*>(FindFeature(kFeaturePop3));
    if (!mailbox) {
        FatalError(kErrorNoOpenFeature);
        return;
    }
    const int32_t result = mailbox->Next();
    if (result == kMailboxMessage) {
        JumpBy(toBody);
        return;
    }
    String failure(mailbox->error);
    RemoveFeature(mailbox);
    if (result == kMailboxFailed) TagError(kTagPop, failure);
}

void VornVM::OpPop3Stop() {
    const int32_t pastLoop = immA;
    Feature* mailbox = FindFeature(kFeaturePop3);
    if (!mailbox) {
        FatalError(kErrorNoOpenFeature);
        return;
    }
    RemoveFeature(mailbox);
    JumpBy(pastLoop);
}

void VornVM::OpPop3Delete() {
    auto* mailbox = static_cast<Mailbox*>(FindFeature(kFeaturePop3));
    if (!mailbox) {
        FatalError(kErrorNoOpenFeature);
        return;
    }
    if (mailbox->Delete() != 0) TagError(kTagPop, mailbox->error);
}

} // namespace vorn
