#include "host/network/POP3.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/app/VornApplication.h"
#include "engine/files/File.h"
#include "engine/foundation/Config.h"
#include "engine/foundation/Hash.h"
#include "engine/foundation/Messages.h"
#include "engine/foundation/NetworkConnection.h"
#include "engine/values/VariableHash.h"
#include "engine/vm/NetworkSource.h"
#include "host/network/NetworkManager.h"
#include "host/network/NetworkMessages.h"

namespace vorn {

namespace {

// Reply states: what the next reply line is.
constexpr int32_t kStatusLine = 0;
constexpr int32_t kListEntry = 1;
constexpr int32_t kMessageLine = 2;
constexpr int32_t kStatLine = 3;

constexpr int32_t kLineChunk = 512;
// Message files are written in pieces of about this size.
constexpr int64_t kFileBuffer = 64 << 10;

constexpr char kInvalidResponse[] = "Invalid response from server";
constexpr char kSendFailed[] = "Error sending data to server";

// The headers the message variables take, in the order of POP3Message's slots.
constexpr const char* kKeptHeaders[] = {"Subject", "From", "Reply-To", "Date"};
enum { kSubject, kFrom, kReplyTo, kDate };

// A non-negative decimal without sign or spaces that fits 32 signed bits.
bool ParseCount(const char* text, int32_t length, int32_t* out) {
    if (length <= 0) return false;
    int64_t value = 0;
    for (int32_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
        if (value > INT32_MAX) return false;
    }
    *out = static_cast<int32_t>(value);
    return true;
}

// A message number or size of the list; anything else is 0 (no message).
uint32_t ParseNumber(const char* text, int32_t length) {
    uint64_t value = 0;
    for (int32_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') return 0;
        value = value * 10 + static_cast<uint64_t>(text[i] - '0');
        if (value > UINT32_MAX) return 0;
    }
    return static_cast<uint32_t>(value);
}

// "." ends a multi-line reply; a leading ".." loses a dot. True for the end.
bool Unstuff(const char** line, int32_t* length) {
    if (*length == 1 && (*line)[0] == '.') return true;
    if (*length >= 2 && (*line)[0] == '.' && (*line)[1] == '.') {
        ++*line;
        --*length;
    }
    return false;
}

} // namespace

// --- POP3Message -------------------------------------------------------------------

POP3Message::POP3Message(uint32_t messageNumber, uint32_t messageSize)
    : number(messageNumber), size(messageSize) {
    error.Assign("");
}

POP3Message::~POP3Message() {
    Close();
}

void POP3Message::SetError(const String& message) {
    if (!message.IsNull()) error.Assign(message);
}

void POP3Message::Start(File* file, const String& name) {
    Close();
    bodyFile = file;
    bodyFileName = name;
    inBody = false;
    failed = false;
    for (bool& f : found)
        f = false;
}

const String* POP3Message::Header(const char* name) const {
    for (int i = 0; i < kKept; ++i)
        if (found[i] && std::strcmp(kKeptHeaders[i], name) == 0) return &values[i];
    return nullptr;
}

void POP3Message::NoteHeader(const char* line, int32_t length) {
    const char* colon = static_cast<const char*>(std::memchr(line, ':', static_cast<size_t>(length)));
    if (!colon || colon + 1 >= line + length || colon[1] != ' ') return;
    const int32_t nameLength = static_cast<int32_t>(colon - line);
    for (int i = 0; i < kKept; ++i) {
        if (found[i] || static_cast<int32_t>(std::strlen(kKeptHeaders[i])) != nameLength ||
            CompareTextNoCase(line, kKeptHeaders[i], nameLength) != 0)
            continue;
        values[i].Assign(colon + 2, static_cast<int32_t>(line + length - colon - 2));
        found[i] = true;
    }
}

bool POP3Message::AddLine(const char* line, int32_t length) {
    if (!inBody) {
        if (length == 0)
            inBody = true;
        else
            NoteHeader(line, length);
    }
    if (failed || !bodyFile) return !failed;
    if (!pending.Append(line, length) || !pending.AppendByte('\n')) {
        SetError(String(kOutOfMemory));
        failed = true;
        return false;
    }
    return pending.Length() < kFileBuffer || Flush();
}

bool POP3Message::Flush() {
    if (failed || !bodyFile || pending.IsEmpty()) return !failed;
    const int32_t length = static_cast<int32_t>(pending.Length());
    if (bodyFile->Write(pending.Data(), length) != length) {
        SetError(bodyFile->ErrorText());
        failed = true;
    }
    pending.Clear();
    return !failed;
}

bool POP3Message::Close() {
    if (!bodyFile) return !failed;
    Flush();
    delete bodyFile;
    bodyFile = nullptr;
    return !failed;
}

// --- POP3 -----------------------------------------------------------------------------

POP3::POP3(VornVM* program, VornApplication* app, VariableHash* scope, char* directory, int32_t length,
           int32_t size, bool* adopt)
    : Mailbox(app, program), variables(scope) {
    if (adopt && *adopt && directory) {
        bodyDirectory.Adopt(directory, length, size);
        *adopt = false;
    } else {
        bodyDirectory.Assign(directory ? directory : "", directory ? length : 0);
    }
    Config* config = application ? application->GetConfig() : nullptr;
    const int32_t seconds = config ? config->GetInteger(kConfigMailTimeout) : 30;
    mailTimeout = seconds > 0 ? static_cast<uint32_t>(seconds) : 0;
    defaultSubject.Assign("(no subject)");
}

POP3::~POP3() {
    if (connection) Quit();
    delete current;
    std::free(entries);
}

void POP3::SetError(const String& text) {
    if (!text.IsNull()) error.Assign(text);
}

String& POP3::ErrorText() {
    return error;
}

void POP3::SetErrorText(const char* text, int32_t length) {
    if (text) error.Assign(text, length);
}

int32_t POP3::CurrentIndex() {
    return currentIndex;
}

int32_t POP3::Fail(const char* message) {
    SetError(String(message));
    return kPop3Failed;
}

int32_t POP3::Begin(const char* host, int32_t hostLength, const char* user, int32_t userLength,
                    const char* password, int32_t passwordLength) {
    const String hostText(host, hostLength);
    auto report = [&](const char* step) {
        error = String(step) + hostText + "': " + error;
        return kMailboxFailed;
    };
    // A line break in a command would add commands ("\r\nDELE 1").
    if (HasLineBreakOrNul(host, hostLength)) {
        Fail("Invalid character in host");
        return report(kErrorConnectingTo);
    }
    if (HasLineBreakOrNul(user, userLength) || HasLineBreakOrNul(password, passwordLength)) {
        Fail(HasLineBreakOrNul(user, userLength) ? "Invalid character in user name"
                                                 : "Invalid character in password");
        return report("Error logging into '");
    }
    if (Connect(host, hostLength) != kPop3Done) return report(kErrorConnectingTo);
    if (Login(user, userLength, password, passwordLength) != kPop3Done) return report("Error logging into '");
    if (Stat() != kPop3Done) return report("Error while checking status from '");
    if (List() != kPop3Done) return report("Error while retrieving list of messages from '");
    const int32_t first = FirstMessage();
    if (first == kPop3Failed) {
        error = String("Error retrieving message: ") + error;
        return kMailboxFailed;
    }
    return first == kPop3More ? kMailboxMessage : kMailboxEmpty;
}

int32_t POP3::Next() {
    const int32_t result = NextMessage();
    if (result == kPop3Failed) {
        error = String("Error retrieving message: ") + error;
        return kMailboxFailed;
    }
    return result == kPop3More ? kMailboxMessage : kMailboxDone;
}

int32_t POP3::Delete() {
    if (DeleteMessage() == kPop3Done) return 0;
    String text("Error deleting message #");
    text.AppendInteger(currentIndex);
    error = text + ": " + error;
    return kMailboxFailed;
}

int32_t POP3::Connect(const char* host, int32_t length) {
    if (connection) Quit();
    broken = false;
    NetworkManager* manager = NetworkManagerOf(application);
    if (!manager) return Fail(kNoNetwork);
    const String hostText(host, length);
    connection = manager->Connect(hostText.Text(), kPop3Port, 0);
    if (!connection) {
        SetError(manager->ErrorText());
        return kPop3Failed;
    }
    replyState = nextState = kStatusLine;
    return ReadReply();
}

int32_t POP3::Login(const char* user, int32_t userLength, const char* password, int32_t passwordLength) {
    replyState = nextState = kStatusLine;
    String command = String("USER ") + String(user, userLength) + "\r\n";
    int32_t result = SendCommand(command.Text(), command.Length());
    if (result != kPop3Done) return result;
    command = String("PASS ") + String(password, passwordLength) + "\r\n";
    return SendCommand(command.Text(), command.Length());
}

int32_t POP3::Stat() {
    replyState = kStatLine;
    return SendCommand("STAT\r\n", 6);
}

int32_t POP3::List() {
    replyState = kStatusLine;
    nextState = kListEntry;
    return SendCommand("LIST\r\n", 6);
}

int32_t POP3::FirstMessage() {
    currentIndex = 0;
    if (listed == 0 || entries[0].number == 0) return kPop3Empty;
    return RetrieveMessage(0);
}

int32_t POP3::NextMessage() {
    ++currentIndex;
    if (currentIndex >= listed || entries[currentIndex].number == 0) return kPop3Done;
    return RetrieveMessage(currentIndex);
}

int32_t POP3::DeleteMessage() {
    replyState = nextState = kStatusLine;
    if (currentIndex < 0 || currentIndex >= listed || entries[currentIndex].number == 0)
        return Fail("No messages exist");
    char command[32];
    const int n = std::snprintf(command, sizeof command, "DELE %u\r\n", entries[currentIndex].number);
    return SendCommand(command, n);
}

int32_t POP3::RetrieveMessage(int32_t index) {
    if (index < 0 || index >= listed) return kPop3Done;
    const POP3Entry entry = entries[index];
    delete current; // closes the last message's file
    current = new POP3Message(entry.number, entry.size);

    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "VRPOPM.%x", entry.number);
    FileManager* files = application ? application->GetFileManager() : nullptr;
    if (!files) return Fail("Files are not available");
    String name;
    File* file = files->TemporaryName(LocationData, bodyDirectory.Text(), prefix, name, OpenWrite);
    if (!file) {
        SetError(files->ErrorText());
        return kPop3Failed;
    }
    current->Start(file, name);

    replyState = kStatusLine;
    nextState = kMessageLine;
    char command[32];
    const int n = std::snprintf(command, sizeof command, "RETR %u\r\n", entry.number);
    const int32_t result = SendCommand(command, n);
    if (result != kPop3Done) return result;
    PublishVariables();
    return kPop3More;
}

void POP3::PublishVariables() {
    if (!variables || !current) return;
    auto set = [&](const char* name, const String& value) {
        variables->SetVariable(name, -1, value.Text(), value.Length());
    };
    const String empty("");
    const String* subject = current->Header("Subject");
    const String* from = current->Header("From");
    const String* replyTo = current->Header("Reply-To");
    const String* date = current->Header("Date");
    set("messagebody", current->bodyFileName);
    set("messagesubject", subject && !subject->IsEmpty() ? *subject : defaultSubject);
    set("messagesender", from ? *from : empty);
    set("messagereplyto", replyTo && !replyTo->IsEmpty() ? *replyTo : (from ? *from : empty));
    set("messagedate", date ? *date : empty);
}

int32_t POP3::SendCommand(const char* text, int32_t length) {
    if (!connection) return Fail(kSendFailed);
    if (connection->Write(text, length, mailTimeout) < 1) {
        broken = true;
        return Fail(kSendFailed);
    }
    return ReadReply();
}

int32_t POP3::ReadReply() {
    String line;
    for (;;) {
        if (!connection) return Fail(kSendFailed);
        if (connection->ReadLine(line, mailTimeout, kLineChunk) < 0) {
            SetError(connection->ErrorText());
            broken = true;
            return kPop3Failed;
        }
        // Only the line end goes: a CR inside the line is the line's.
        int32_t length = line.Length();
        if (length > 0 && line.Text()[length - 1] == '\n') --length;
        if (length > 0 && line.Text()[length - 1] == '\r') --length;
        const int32_t result = ParseReply(line.Text(), length);
        if (result != kPop3More) return result;
        // A peer that never stops sending never makes a wait: the stop is
        // looked at here.
        if (application && application->StopRequested()) {
            broken = true;
            return Fail(kReadTimeout);
        }
    }
}

int32_t POP3::ParseReply(const char* line, int32_t length) {
    if ((replyState == kStatusLine || replyState == kStatLine) && length > 0 && line[0] == '-') {
        const char* space = static_cast<const char*>(std::memchr(line, ' ', static_cast<size_t>(length)));
        if (!space) return Fail(kInvalidResponse);
        SetErrorText(space + 1, static_cast<int32_t>(line + length - space - 1));
        return kPop3Failed;
    }
    switch (replyState) {
    case kStatusLine:
        replyState = nextState;
        return replyState != kStatusLine ? kPop3More : kPop3Done;
    case kStatLine: {
        const char* first = static_cast<const char*>(std::memchr(line, ' ', static_cast<size_t>(length)));
        const char* end = line + length;
        const char* second =
            first && first + 2 <= end
                ? static_cast<const char*>(std::memchr(first + 2, ' ', static_cast<size_t>(end - first - 2)))
                : nullptr;
        // The count must be a number: a negative or garbled one is no count.
        if (!second || !ParseCount(first + 1, static_cast<int32_t>(second - first - 1), &messageCount)) {
            messageCount = 0;
            return Fail(kInvalidResponse);
        }
        replyState = nextState = kStatusLine;
        return kPop3Done;
    }
    case kListEntry: {
        if (Unstuff(&line, &length)) {
            currentIndex = 0;
            replyState = nextState = kStatusLine;
            return kPop3Done;
        }
        const char* space = static_cast<const char*>(std::memchr(line, ' ', static_cast<size_t>(length)));
        if (!space) return Fail(kInvalidResponse);
        if (listed >= messageCount) return Fail("More messages than expected returned from server");
        const int32_t numberLength = static_cast<int32_t>(space - line);
        if (!AddEntry(ParseNumber(line, numberLength), ParseNumber(space + 1, length - numberLength - 1)))
            return Fail(kOutOfMemory);
        return kPop3More;
    }
    default: { // kMessageLine
        if (Unstuff(&line, &length)) {
            replyState = nextState = kStatusLine;
            if (current && !current->Close()) {
                SetError(current->error);
                return kPop3Failed;
            }
            return kPop3Done;
        }
        // A failed write is reported at the end of the message, so the
        // session stays in step for QUIT.
        if (current) current->AddLine(line, length);
        return kPop3More;
    }
    }
}

bool POP3::AddEntry(uint32_t number, uint32_t size) {
    if (listed == capacity) {
        const int32_t grown = capacity < 16 ? 16 : (capacity > INT32_MAX / 2 ? INT32_MAX : capacity * 2);
        auto* bigger =
            static_cast<POP3Entry*>(std::realloc(entries, static_cast<size_t>(grown) * sizeof(POP3Entry)));
        if (!bigger) return false;
        entries = bigger;
        capacity = grown;
    }
    entries[listed++] = POP3Entry{number, size};
    return true;
}

int32_t POP3::Quit() {
    if (!connection) return kPop3Done;
    int32_t result = kPop3Failed;
    if (!broken) {
        replyState = nextState = kStatusLine;
        result = SendCommand("QUIT\r\n", 6);
    }
    delete connection;
    connection = nullptr;
    return result;
}

} // namespace vorn
