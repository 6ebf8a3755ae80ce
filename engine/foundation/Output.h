// Where program output goes: the abstract sink with its white-space modes, a
// fixed-size buffered sink, a buffered sink that sends to a network
// connection, and an unbuffered sink that hands everything to a callback.
#pragma once

#include "engine/foundation/Hash.h"
#include "engine/foundation/String.h"

#include <cstdint>

namespace vorn {

class NetworkConnection;

// Lengths of -1 mean up to the NUL. Texts handed over as "owned" are
// std::malloc'ed and are freed with std::free by whoever takes them.
class Output {
  public:
    // White-space mode bits. Trim wins when both are set.
    static constexpr int32_t kModeTrim = 1;
    static constexpr int32_t kModeCollapse = 2;

    // Kind codes.
    static constexpr int32_t kKindBuffered = 0;
    static constexpr int32_t kKindHttp = 1;
    static constexpr int32_t kKindNull = 2;

    Output() = default;
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    virtual ~Output() = default;

    // Write, then Flush; returns Write's result.
    virtual int32_t WriteAndFlush(const char* bytes, int32_t length);
    // Takes a response header. Here there are no headers: owned texts are freed and 0 returned.
    virtual int32_t AddHeader(const char* name, int32_t nameLength, bool nameOwned, const char* value,
                              int32_t valueLength, bool valueOwned);
    virtual int32_t AddHeaderText(const char* name, const char* value);
    // Returns the number of bytes taken.
    virtual int32_t Write(const char* bytes, int32_t length) = 0;
    // Program output: trimmed, collapsed or plain according to the mode.
    virtual int32_t WriteFiltered(const char* bytes, int32_t length);
    // Completes the output; called with 1 once after the program ends.
    virtual int32_t Commit(int32_t isFinal);
    virtual int32_t Flush() = 0;
    virtual int32_t Kind() = 0;
    virtual int32_t Mode();
    virtual void SetMode(int32_t mode);
    // The mode as SetMode left it, without the virtual call.
    int32_t ModeSet() const { return mode; }
    // After white space, drops one leading white-space byte.
    virtual int32_t WriteTrimLeading(const char* bytes, int32_t length);
    // Reduces every run of white space to its first byte, also across writes.
    virtual int32_t WriteCollapsed(const char* bytes, int32_t length);

    // Space, tab, LF, VT, FF and CR; independent of the locale, so bytes
    // 0x80-0xFF are never white space.
    static constexpr bool IsSpace(unsigned char c) { return AsciiIsSpace(c); }

  protected:
    // Resolves -1 to the text's length; a null text or any other negative
    // length counts as empty.
    static int32_t ResolveLength(const char* bytes, int32_t length);
    // Writers call this with the last byte they took.
    void NoteLastByte(char c) { lastWasSpace = IsSpace(static_cast<unsigned char>(c)) ? 1 : 0; }

    int32_t mode = 0;
    // Starts set, so leading white space of the very first write is subject to the mode.
    int32_t lastWasSpace = 1;
};

// Collects output in a buffer of fixed size and passes full buffers to Send.
class BufferedOutput : public Output {
  public:
    explicit BufferedOutput(int32_t size);
    // Frees the buffer without flushing.
    ~BufferedOutput() override;

    // Always takes everything, flushing whenever the buffer fills.
    int32_t Write(const char* bytes, int32_t length) override;
    int32_t Commit(int32_t isFinal) override;
    // Sends what is waiting; the bytes are dropped whatever Send achieved.
    // Returns Send's result, or 0 when nothing was waiting.
    int32_t Flush() override;
    int32_t Kind() override;
    // Delivers bytes; returns the count taken.
    virtual int32_t Send(const char* bytes, int32_t length) = 0;

  protected:
    // std::malloc'ed; subclasses that move it must leave it freeable or null.
    char* buffer = nullptr;
    int32_t bufferSize = 0;
    int32_t used = 0;
};

// A buffered sink whose buffers go to a network connection. Headers go to
// another output. Neither the connection nor the header target is owned.
class NetworkOutput : public BufferedOutput {
  public:
    NetworkOutput(Output* headerTarget, NetworkConnection* connection, int32_t bufferSize,
                  uint32_t writeTimeout);
    // Sends what is still waiting.
    ~NetworkOutput() override;

    int32_t AddHeader(const char* name, int32_t nameLength, bool nameOwned, const char* value,
                      int32_t valueLength, bool valueOwned) override;
    int32_t Send(const char* bytes, int32_t length) override;
    // The connection's message.
    virtual String& ErrorText();

  protected:
    Output* headerTarget;
    uint32_t writeTimeout;
    NetworkConnection* connection;

  private:
    String noConnection; // answered by ErrorText when there is no connection
};

// Takes (bytes, length) and returns the count taken.
using NullOutputCallback = int32_t (*)(const char* bytes, int32_t length);

// Unbuffered: every write goes straight to the callback, unfiltered.
class NullOutput : public Output {
  public:
    // callback may be null: everything is then accepted and dropped.
    explicit NullOutput(NullOutputCallback callback);

    int32_t Write(const char* bytes, int32_t length) override;
    int32_t WriteFiltered(const char* bytes, int32_t length) override;
    int32_t Commit(int32_t isFinal) override;
    int32_t Flush() override;
    int32_t Kind() override;
    virtual int32_t Send(const char* bytes, int32_t length);

  protected:
    NullOutputCallback callback;
};

} // namespace vorn
