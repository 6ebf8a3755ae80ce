// Parsers of request bodies, fed piece by piece as the body arrives (a piece
// may end anywhere: inside a name, an escape or a boundary): URL-encoded
// forms, multipart forms with file uploads, and any other type kept whole.
// They store what they find as script variables and report failures through
// their error text.
#pragma once

#include <cstdint>

#include "engine/foundation/MallocText.h"
#include "engine/foundation/String.h"
#include "host/web/FieldBuffer.h"
#include "host/web/MultipartParser.h"

namespace vorn {

class File;
class FileManager;
class VariableHash;
class VornVM;

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

    bool Parse(const char* bytes, int32_t length) override;
    bool Finish() override;

  private:
    int32_t announced;
    MallocText buffer;
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

// multipart/form-data: the parts MultipartParser reads become fields in the
// target, and files go through the script's upload callbacks by way of
// temporary files in the data directory.
class MultipartFormParser : public HTTPContentParser, private MultipartSink {
  public:
    MultipartFormParser(VornVM* program, FileManager* files, VariableHash* target, const char* contentType,
                        int32_t limit);
    // Closes and deletes a temporary file still open: a body that ended
    // inside a file, or a step that failed, leaves none behind.
    ~MultipartFormParser() override;

    bool Parse(const char* bytes, int32_t length) override { return parser.Parse(bytes, length); }
    // Succeeds; a part the body did not end is dropped.
    bool Finish() override { return true; }

  private:
    // --- MultipartSink ---------------------------------------------------------------
    bool BeginPart(const MultipartPart& part) override;
    bool PartData(const char* bytes, int64_t length) override;
    bool EndPart(const MultipartPart& part) override;
    void Error(const String& message) override { SetError(message); }

    bool Fail(const String& message);
    void DropTemporaryFile();

    MultipartParser parser;
    VornVM* program;
    FileManager* files;
    int32_t limit;
    int32_t made = 0;
    bool isFile = false; // the current part's
    int32_t sizeLimit = 0;
    String status;
    int64_t received = 0;
    String temporaryName;
    File* temporary = nullptr;
    FieldBuffer fieldValue;
    int32_t partFlag = 0; // 0 writing, 1 size limit reached, 2 skipped
};

} // namespace vorn
