// Parsers of request bodies, fed piece by piece as the body arrives (a piece
// may end anywhere: inside a name, an escape or a boundary): URL-encoded
// forms, multipart forms with file uploads, and any other type kept whole.
// They store what they find as script variables and report failures through
// their error text.
#pragma once

#include <cstdint>

#include "engine/foundation/String.h"

namespace vorn {

class File;
class FileManager;
class VariableHash;
class VornVM;

// A malloc'ed byte buffer that grows geometrically and always ends in a NUL:
// the names, values, boundary and header texts a parser collects. (Not
// host/network's ByteBuffer, whose bytes carry no NUL and whose size is capped.)
class FieldBuffer {
  public:
    FieldBuffer() = default;
    ~FieldBuffer();
    FieldBuffer(const FieldBuffer&) = delete;
    FieldBuffer& operator=(const FieldBuffer&) = delete;

    // False when memory runs out (the buffer keeps what it had).
    bool Append(const char* bytes, int64_t length);
    bool AppendByte(char c) {
        if (length + 1 >= capacity) return Append(&c, 1);
        data[length++] = c;
        data[length] = '\0';
        return true;
    }
    void Clear() {
        length = 0;
        if (data) data[0] = '\0';
    }
    const char* Data() const { return data ? data : ""; }
    int64_t Length() const { return length; }
    bool Equals(const char* text, int64_t n) const;
    // Hands the bytes over (malloc'ed, NUL-terminated) and empties the buffer.
    char* Detach(int64_t* outLength);

  private:
    char* data = nullptr;
    int64_t length = 0;
    int64_t capacity = 0;
};

class HTTPContentParser {
  public:
    // The variables go to target (not owned).
    explicit HTTPContentParser(VariableHash* target);
    virtual ~HTTPContentParser();
    HTTPContentParser(const HTTPContentParser&) = delete;
    HTTPContentParser& operator=(const HTTPContentParser&) = delete;

    // Takes the next piece of the body; false after a failure.
    virtual bool Parse(const char* bytes, int32_t length) = 0;
    // After the last piece.
    virtual bool Finish() = 0;
    virtual const String& ErrorText() const { return error; }
    // A non-empty text replaces the message.
    virtual void SetError(const String& text);

  protected:
    String error;
    VariableHash* target;
};

// Any other content type: the body whole in the system variable "content_data".
class UnknownContentHandler : public HTTPContentParser {
  public:
    UnknownContentHandler(VariableHash* target, int32_t announcedLength);
    ~UnknownContentHandler() override;

    bool Parse(const char* bytes, int32_t length) override;
    bool Finish() override;

  private:
    int32_t announced;
    char* buffer;
    int64_t used = 0;
    int64_t capacity;
};

// name=value&... with '+' for a space and %XX escapes; repeated names collect
// their values into an array. A '%' without two hexadecimal digits is kept as
// sent.
class URLEncodedParser : public HTTPContentParser {
  public:
    // limit: the most variables to make (0: no limit).
    URLEncodedParser(VariableHash* target, int32_t limit);

    bool Parse(const char* bytes, int32_t length) override;
    bool Finish() override;

  private:
    enum State { Name, Value, NameEscape, ValueEscape };
    bool Store();
    // Appends '%' and the escape bytes read so far as they were sent.
    bool KeepEscape(FieldBuffer& into);

    int32_t limit;
    int32_t made = 0;
    FieldBuffer name;
    FieldBuffer value;
    char escape[2] = {};
    int32_t escapeCount = 0;
    State state = Name;
};

// multipart/form-data: fields into the target, files through the script's
// upload callbacks by way of temporary files in the data directory.
class MultipartFormParser : public HTTPContentParser {
  public:
    // The longest boundary line learned from the body itself.
    static constexpr int32_t kMaxBoundary = 256;

    MultipartFormParser(VornVM* program, FileManager* files, VariableHash* target, const char* contentType,
                        int32_t limit);
    // Closes and deletes a temporary file still open: a body that ended
    // inside a file, or a step that failed, leaves none behind.
    ~MultipartFormParser() override;

    bool Parse(const char* bytes, int32_t length) override;
    // Succeeds; a part the body did not end is dropped.
    bool Finish() override;

  protected:
    virtual bool BeginPart();
    virtual bool PartData(const char* bytes, int64_t length);
    virtual bool EndPart();

  private:
    bool Fail(const String& message);
    bool FailFound(char c, const char* text);
    void EndParameter();
    void DropTemporaryFile();
    const char* Boundary() const { return boundary.Data(); }

    VornVM* program;
    FileManager* files;
    int32_t limit;
    int32_t made = 0;
    FieldBuffer boundary;
    FieldBuffer parameterName;
    FieldBuffer parameterValue;
    bool parameterQuoted = false;
    FieldBuffer headerName;
    FieldBuffer partType;
    int32_t sizeLimit = 0;
    int32_t match = 0;
    String fieldName;
    bool isFile = false;
    String fileName; // without quotes
    String status;
    int64_t received = 0;
    String temporaryName;
    File* temporary = nullptr;
    FieldBuffer fieldValue;
    int32_t state;
    int32_t partFlag = 0; // 0 writing, 1 size limit reached, 2 skipped
};

} // namespace vorn
