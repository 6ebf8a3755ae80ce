// VrCALL: the request a script sends (form fields, a raw body or file
// uploads) and the walk over the reply, item by item: runs of text and markup
// items (tags with their attributes, comments, CDATA sections, declarations),
// published as system variables. A forgiving tokeniser for HTML and XML as
// they come: no tree, no nesting.
#pragma once

#include <cstdint>

#include "engine/foundation/List.h"
#include "engine/foundation/String.h"
#include "engine/vm/NetworkSource.h"
#include "host/network/ByteBuffer.h"

namespace vorn {

class File;
class HTTPResponseStream;
class NetworkConnection;
class NetworkManager;
class Variable;
class VariableHash;
class VariableList;

// The longest text run or markup item a walk delivers.
inline constexpr int64_t kMaxCallItem = 64 << 20;
// The most attributes of one tag: each becomes four variables.
inline constexpr int32_t kMaxCallAttributes = 10000;

// One file upload.
class CallFile {
  public:
    CallFile(const String& path, File* file, const String& fieldName);
    virtual ~CallFile(); // deletes the file

    String path;
    File* file;
    String contentType;
    String fieldName;
    int64_t length = 0; // announced in the request
};

// The reply's body as bytes, with bytes given back delivered again first.
class CallBuffer {
  public:
    // Reads stop once the application's request is stopped or timed out.
    CallBuffer(HTTPResponseStream* stream, uint32_t size, VornApplication* application = nullptr);
    virtual ~CallBuffer();
    CallBuffer(const CallBuffer&) = delete;
    CallBuffer& operator=(const CallBuffer&) = delete;

    // 0 on a read error; else 1 with the byte (0 to 255), or -1 at the end.
    virtual int NextChar(int* byte);
    // Gives the last delivered byte back.
    virtual void PushBack();
    // Reads the next block: 1, or 0 with the error copied from the stream.
    virtual int Fill();
    virtual void SetError(const String& message);
    virtual String& ErrorText();

    // Appends bytes up to the next '<' (left unread) or the end, as far as
    // out's cap: 1 at a '<', 2 at the end, 0 on a read error, 3 past the cap.
    int ReadRun(ByteBuffer& out);

  private:
    HTTPResponseStream* stream;
    VornApplication* application;
    char* data;
    uint32_t size;
    int32_t position = 0;
    int64_t consumed = 0;
    int32_t filled = 0;
    int lastChar = -1;
    char pushBack[16];
    int32_t pushBackCount = 0;
    String errorText;
};

class Call : public HttpCall {
  public:
    // Copies the operands; the time-out is the tag's when shorter than
    // "calltimeout" (a negative tag time-out counts as 0).
    Call(VornApplication* application, VornVM* vm, VariableHash* systemScope, const CallOperands& operands,
         NetworkManager* manager);
    ~Call() override;

    void SetError(const String& text) override;
    VariableList* Fields() override { return fieldList; }
    bool Start(const char* headers, int32_t headersLength) override;
    int32_t Next() override;

    // Request modes.
    enum Mode : int32_t { ModeHead = 0, ModeGet = 1, ModePostForm = 2, ModeRaw = 3 };
    int32_t RequestMode() const { return mode; }
    uint32_t Timeout() const { return static_cast<uint32_t>(timeout); }

  private:
    int32_t OpenFiles();
    int32_t SendForm(const char* headers, int32_t headersLength);
    int32_t SendMultipart(const char* headers, int32_t headersLength);
    NetworkConnection* Open(const char* body, int64_t bodyLength, const char* headers, int32_t headersLength);
    // Sends what is pending once it fills a block (or when forced).
    void WriteBody(ByteBuffer& pending, bool force, bool* writeFailed);
    int32_t ReadHeaders();

    // The walk.
    int32_t ReadText();
    int SkipSpace(); // 1 at a byte that is not white space (given back), 2 at the end, 0 on an error
    int32_t ParseAttributes();
    int32_t ParseAttribute();
    int32_t ReadDeclaration(int kind);
    void ClearAttributes();
    void Publish(const char* type);
    int32_t Fail(const char* message);
    int32_t ReadFailed();
    bool TakeByte(char c); // appends to the item's text within the limit
    static bool IsSpace(int c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

    void SetIndexedVariable(const char* name, int32_t index, const char* text, int32_t length);
    void SetText(const char* name, const char* text, int32_t length);
    Variable* SystemVariable(const char* name);

    VariableHash* systemScope;
    NetworkManager* manager;
    NetworkConnection* connection = nullptr;
    HTTPResponseStream* response = nullptr;
    String url;
    String method;
    String requestMethod;
    String files;
    String contentType;
    String* certificateFile = nullptr;
    String* certificateType = nullptr;
    String* passPhrase = nullptr;
    uint32_t bufferSize;
    CallBuffer* buffer = nullptr;
    List<CallFile> uploadFiles{true};
    VariableList* fieldList;
    List<String> formParts{true};
    uint8_t logTraffic;
    int32_t timeout;
    uint32_t contentBufferSize;
    uint32_t firstRound = 1;
    int32_t mode = ModeGet;
    int32_t attributeCount = 0;

    // The item being read; its cap bounds the item.
    ByteBuffer itemText{kMaxCallItem};
    ByteBuffer element;
    ByteBuffer attributeName;
    ByteBuffer attributeValue;
};

} // namespace vorn
