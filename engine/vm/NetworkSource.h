// What the VrCALL, VrSMTP and VrPOP handlers need of the request's network
// manager: a call object per VrCALL block, which sends the request and walks
// the reply; a message per VrSMTP block, whose body is the block's output;
// a mailbox per VrPOP loop. The host's network manager makes them.
#pragma once

#include <cstdint>

#include "engine/foundation/String.h"
#include "engine/vm/Feature.h"

namespace vorn {

class VariableHash;
class VariableList;

// The tag error of a VrCALL, VrSMTP or VrPOP without a network manager, and
// what the host's network functions report then.
inline constexpr char kNoNetwork[] = "Network connections are not available";

// Results of HttpCall::Next.
inline constexpr int32_t kCallItem = 0;   // an item was published (or the empty first pass)
inline constexpr int32_t kCallEnd = 2;    // the reply is walked: nothing published
inline constexpr int32_t kCallFailed = 3; // the error holds why

// The tag's operands. Texts are (pointer, length) and are copied; the three
// optional ones are null when the tag form does not carry them.
struct CallOperands {
    const char* url = "";
    int32_t urlLength = 0;
    const char* method = "";
    int32_t methodLength = 0;
    const char* files = "";
    int32_t filesLength = 0;
    const char* contentType = "";
    int32_t contentTypeLength = 0;
    const char* certificateFile = nullptr;
    int32_t certificateFileLength = 0;
    const char* certificateType = nullptr;
    int32_t certificateTypeLength = 0;
    const char* passPhrase = nullptr;
    int32_t passPhraseLength = 0;
    int32_t timeout = 0;     // the tag's seconds; it can only shorten "calltimeout"
    bool logTraffic = false; // write the request and reply to the trace log
};

// One open VrCALL block: a feature of kind kFeatureCall whose error holds the
// text of a failure.
class HttpCall : public Feature {
  public:
    HttpCall(VornApplication* application, VornVM* vm) : Feature(application, vm, kFeatureCall) {}

    // The references of the form fields, in order; filled by the caller before Start.
    virtual VariableList* Fields() = 0;
    // Sends the request (the extra header lines given) and reads the reply's
    // head into the header variables. False with the error set.
    virtual bool Start(const char* headers, int32_t headersLength) = 0;
    // One pass: kCallItem, kCallEnd or kCallFailed.
    virtual int32_t Next() = 0;
};

// The operands of VrSMTP as (pointer, length) texts, read while Begin runs;
// absent ones are empty.
struct SmtpOperands {
    const char* to = "";
    int32_t toLength = 0;
    const char* from = "";
    int32_t fromLength = 0;
    const char* host = "";
    int32_t hostLength = 0;
    const char* cc = "";
    int32_t ccLength = 0;
    const char* subject = "";
    int32_t subjectLength = 0;
    int32_t port = 25;
    const char* flags = "";
    int32_t flagsLength = 0;
    const char* user = "";
    int32_t userLength = 0;
    const char* password = "";
    int32_t passwordLength = 0;
    bool logTraffic = false; // write the session to the trace log
};

// One open VrSMTP block (kind kFeatureSmtp): while it is open its output is
// the application's current one and takes the message body. Deleting it
// gives the output back and ends the session without sending the message.
class MailMessage : public Feature {
  public:
    MailMessage(VornApplication* application, VornVM* vm) : Feature(application, vm, kFeatureSmtp) {}

    // Opens the session, sends the envelope and the headers and makes the
    // body's output current. False with the error set.
    virtual bool Begin(const SmtpOperands& operands) = 0;
    // Whether the body's output is the current one.
    virtual bool IsCurrent() = 0;
    // Gives the output back and ends the body; true when the server took the
    // message, else false with the error set.
    virtual bool Finish() = 0;
};

// Results of Mailbox::Begin and Mailbox::Next.
inline constexpr int32_t kMailboxDone = 0;    // no further message (Next)
inline constexpr int32_t kMailboxMessage = 1; // a message was retrieved
inline constexpr int32_t kMailboxEmpty = 2;   // the mailbox holds no message (Begin)
inline constexpr int32_t kMailboxFailed = 3;  // the error holds the tag's message

// One open VrPOP loop (kind kFeaturePop3): each retrieved message is a file
// of the body directory, named with its headers in system variables.
class Mailbox : public Feature {
  public:
    Mailbox(VornApplication* application, VornVM* vm) : Feature(application, vm, kFeaturePop3) {}

    // Logs in, lists the messages and retrieves the first.
    virtual int32_t Begin(const char* host, int32_t hostLength, const char* user, int32_t userLength,
                          const char* password, int32_t passwordLength) = 0;
    // Retrieves the next message.
    virtual int32_t Next() = 0;
    // Deletes the current message on the server: 0, or kMailboxFailed.
    virtual int32_t Delete() = 0;
};

class NetworkSource {
  public:
    virtual ~NetworkSource() = default;

    // A new call of the program; the caller owns it.
    virtual HttpCall* NewCall(VornApplication* application, VornVM* program, VariableHash* systemScope,
                              const CallOperands& operands) = 0;
    // A new message of the program; the caller owns it.
    virtual MailMessage* NewMailMessage(VornApplication* application, VornVM* program) = 0;
    // A new mailbox of the program, whose message variables go into
    // systemScope; it takes the malloc'ed body directory (relative to the
    // data directory, no NUL bytes). The caller owns it.
    virtual Mailbox* NewMailbox(VornApplication* application, VornVM* program, VariableHash* systemScope,
                                char* bodyDirectory, int32_t length, int32_t size) = 0;
};

} // namespace vorn
