// VrSMTP and VrPOP: the handlers of the mail blocks. The message and the
// mailbox themselves are features that the request's network manager makes.
#include <cstdlib>

#include "engine/app/VornApplication.h"
#include "engine/vm/NetworkSource.h"
#include "engine/vm/TagGroups.h"
#include "engine/vm/VornVM.h"

namespace vorn {

namespace {

// The VrSMTP begin words with their operand count.
void SmtpBegin(VornVM& vm, int32_t count) {
    const int32_t pastBlock = vm.ImmA();
    VornVM_Stack* stack = vm.CurrentStack();
    // Operands in push order: To, From, host, CC, Subject, port, flags, user
    // name, password. Surplus ones are dropped from the top first.
    for (int32_t surplus = count; surplus > 9 && !vm.Aborted(); --surplus)
        if (!stack->Discard()) break;
    StackText password, user, flags, subject, cc, host, from, to;
    SmtpOperands operands;
    // One underflow is reported once, not per operand.
    if (count >= 9 && !vm.Aborted()) stack->PopText(password);
    if (count >= 8 && !vm.Aborted()) stack->PopText(user);
    if (count >= 7 && !vm.Aborted()) stack->PopText(flags);
    if (count >= 6 && !vm.Aborted()) operands.port = stack->PopInteger();
    if (count >= 5 && !vm.Aborted()) stack->PopText(subject);
    if (count >= 4 && !vm.Aborted()) stack->PopText(cc);
    if (count >= 3 && !vm.Aborted()) stack->PopText(host);
    if (count >= 2 && !vm.Aborted()) stack->PopText(from);
    if (count >= 1 && !vm.Aborted()) stack->PopText(to);
    if (vm.Aborted()) return;

    vm.ClearTagError(kTagSmtp);
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
    operands.logTraffic = (vm.TraceFlags() & LogSmtp) != 0 && vm.TraceAccepts();

    VornApplication* application = vm.Application();
    NetworkSource* network = application ? application->GetNetworkManager() : nullptr;
    if (!network) {
        vm.TagError(kTagSmtp, kNoNetwork);
        vm.JumpBy(pastBlock);
        return;
    }
    MailMessage* message = network->NewMailMessage(application, &vm);
    if (!message->Begin(operands)) {
        String failure(message->error);
        // The output is given back first, so the message goes where the
        // block's surroundings write.
        delete message;
        vm.TagError(kTagSmtp, failure);
        vm.JumpBy(pastBlock);
        return;
    }
    vm.PushFeature(message);
}

} // namespace

void OpSmtp(VornVM& vm) {
    SmtpBegin(vm, 5);
}

void OpSmtpn(VornVM& vm) {
    SmtpBegin(vm, vm.ImmB());
}

void OpSmtpEnd(VornVM& vm) {
    auto* message = static_cast<MailMessage*>(vm.FindFeature(kFeatureSmtp));
    // Ending a message whose output is not the current one would bring back
    // an output that another block still replaces.
    if (!message || !message->IsCurrent()) {
        vm.FatalError(kErrorNoOpenFeature);
        return;
    }
    const bool sent = message->Finish();
    String failure(message->error);
    vm.RemoveFeature(message);
    if (!sent) vm.TagError(kTagSmtp, failure);
}

void OpPop3(VornVM& vm) {
    const int32_t pastLoop = vm.ImmA();
    VornVM_Stack* stack = vm.CurrentStack();
    int32_t directoryLength = 0;
    int32_t directorySize = 0;
    char* directory = stack->PopCString(&directoryLength, &directorySize);
    // One underflow is reported once, not per operand.
    StackText password, user, host;
    if (!vm.Aborted()) stack->PopText(password);
    if (!vm.Aborted()) stack->PopText(user);
    if (!vm.Aborted()) stack->PopText(host);
    if (vm.Aborted()) {
        std::free(directory);
        return;
    }

    vm.ClearTagError(kTagPop);
    VornApplication* application = vm.Application();
    NetworkSource* network = application ? application->GetNetworkManager() : nullptr;
    if (!network) {
        std::free(directory);
        vm.TagError(kTagPop, kNoNetwork);
        vm.JumpBy(pastLoop);
        return;
    }
    Mailbox* mailbox =
        network->NewMailbox(application, &vm, vm.SystemScope(), directory, directoryLength, directorySize);
    const int32_t result =
        mailbox->Begin(host.text, host.length, user.text, user.length, password.text, password.length);
    if (result == kMailboxMessage) {
        vm.PushFeature(mailbox);
        return;
    }
    String failure(mailbox->error);
    delete mailbox; // ends the session
    if (result == kMailboxFailed) vm.TagError(kTagPop, failure);
    vm.JumpBy(pastLoop);
}

void OpPop3Loop(VornVM& vm) {
    const int32_t toBody = vm.ImmA();
    auto* mailbox = static_cast<Mailbox*>(vm.FindFeature(kFeaturePop3));
    if (!mailbox) {
        vm.FatalError(kErrorNoOpenFeature);
        return;
    }
    const int32_t result = mailbox->Next();
    if (result == kMailboxMessage) {
        vm.JumpBy(toBody);
        return;
    }
    String failure(mailbox->error);
    vm.RemoveFeature(mailbox);
    if (result == kMailboxFailed) vm.TagError(kTagPop, failure);
}

void OpPop3Stop(VornVM& vm) {
    const int32_t pastLoop = vm.ImmA();
    Feature* mailbox = vm.FindFeature(kFeaturePop3);
    if (!mailbox) {
        vm.FatalError(kErrorNoOpenFeature);
        return;
    }
    vm.RemoveFeature(mailbox);
    vm.JumpBy(pastLoop);
}

void OpPop3Delete(VornVM& vm) {
    auto* mailbox = static_cast<Mailbox*>(vm.FindFeature(kFeaturePop3));
    if (!mailbox) {
        vm.FatalError(kErrorNoOpenFeature);
        return;
    }
    if (mailbox->Delete() != 0) vm.TagError(kTagPop, mailbox->error);
}

} // namespace vorn
