// VrPOP: a walk over the messages of a POP3 mailbox (RFC 1939). The tag logs
// in, asks for the count and the list, and runs its body once per message,
// with the whole message in a file of the body directory and its Subject,
// From, Reply-To and Date headers in system variables; VrPOPDELETE deletes
// the current message and VrPOPSTOP leaves the loop.
#pragma once

#include <cstdint>

#include "engine/foundation/String.h"
#include "engine/vm/NetworkSource.h"
#include "host/network/ByteBuffer.h"

namespace vorn {

class File;
class NetworkConnection;
class VariableHash;

// Results of the client's operations: done (0); inside a reply, another line
// follows, and from the message operations, a message was retrieved (1); the
// mailbox has no message (2); failure, with the error set (3).
inline constexpr int32_t kPop3Done = 0;
inline constexpr int32_t kPop3More = 1;
inline constexpr int32_t kPop3Empty = 2;
inline constexpr int32_t kPop3Failed = 3;

// The port the client connects to.
inline constexpr uint32_t kPop3Port = 110;

// One message being retrieved: its file (written through a buffer) and the
// headers the message variables take, the first of each name (any case).
class POP3Message {
  public:
    POP3Message(uint32_t number, uint32_t size);
    // Writes what waits and closes the file.
    virtual ~POP3Message();
    POP3Message(const POP3Message&) = delete;
    POP3Message& operator=(const POP3Message&) = delete;

    // The file (owned from now) and its location-relative name.
    void Start(File* file, const String& name);
    // A line without its line end; written with a single LF. False once a
    // write failed (later lines are still read, never written).
    bool AddLine(const char* line, int32_t length);
    // Writes what waits and closes the file: false when a write failed.
    bool Close();
    virtual void SetError(const String& message);

    // The value of a kept header, or null.
    const String* Header(const char* name) const;

    String bodyFileName;
    File* bodyFile = nullptr;
    bool inBody = false;
    uint32_t number;
    uint32_t size;
    String error;

  private:
    bool Flush();
    void NoteHeader(const char* line, int32_t length);

    static constexpr int kKept = 4;
    String values[kKept];
    bool found[kKept] = {};
    ByteBuffer pending;
    bool failed = false;
};

// A message as the list names it.
struct POP3Entry {
    uint32_t number;
    uint32_t size;
};

class POP3 : public Mailbox {
  public:
    // Takes over bodyDirectory (malloc'ed, size bytes) when *adopt is set,
    // clearing the flag; otherwise copies length bytes.
    POP3(VornVM* vm, VornApplication* application, VariableHash* variables, char* bodyDirectory,
         int32_t length, int32_t size, bool* adopt);
    // QUIT when connected (never after the connection failed).
    ~POP3() override;

    // --- Mailbox: the tag's steps with its messages --------------------------------
    int32_t Begin(const char* host, int32_t hostLength, const char* user, int32_t userLength,
                  const char* password, int32_t passwordLength) override;
    int32_t Next() override;
    int32_t Delete() override;

    // --- The client ---------------------------------------------------------------------
    // Replaces the error when the text is not null.
    void SetError(const String& text) override;
    // Connects to the host's POP3 port and reads the greeting.
    virtual int32_t Connect(const char* host, int32_t length);
    virtual int32_t Login(const char* user, int32_t userLength, const char* password, int32_t passwordLength);
    virtual int32_t Stat();
    virtual int32_t List();
    virtual int32_t FirstMessage();
    virtual int32_t NextMessage();
    virtual int32_t DeleteMessage();
    virtual int32_t RetrieveMessage(int32_t index);
    virtual int32_t SendCommand(const char* text, int32_t length);
    virtual int32_t ReadReply();
    // A reply line without its line end.
    virtual int32_t ParseReply(const char* line, int32_t length);
    virtual int32_t Quit();
    virtual int32_t CurrentIndex();
    virtual String& ErrorText();
    virtual void SetErrorText(const char* text, int32_t length);

    int32_t MessageCount() const { return messageCount; }
    int32_t ListedCount() const { return listed; }
    const POP3Entry* Entries() const { return entries; }
    const POP3Message* Current() const { return current; }

  private:
    int32_t Fail(const char* message);
    bool AddEntry(uint32_t number, uint32_t size);
    void PublishVariables();

    VariableHash* variables;
    uint32_t mailTimeout;
    int32_t replyState = 0;
    int32_t nextState = 0;
    NetworkConnection* connection = nullptr;
    String bodyDirectory;
    // The listed messages, in list order; nothing is made from the count.
    POP3Entry* entries = nullptr;
    int32_t listed = 0;
    int32_t capacity = 0;
    int32_t messageCount = 0;
    int32_t currentIndex = 0;
    String defaultSubject;
    POP3Message* current = nullptr;
    bool broken = false; // the connection failed: no QUIT
};

} // namespace vorn
