// Flat files of VrIMPORT and VrEXPORT: one record per line, fields separated
// by the tag's delimiter (any bytes, used as they are), no quoting and no
// header. Inside a field LF is written "\n", CR "\r" and a backslash "\\";
// so is the delimiter's first byte ("\;"), unless that byte is 'n', 'r' or a
// backslash, so values holding the delimiter read back whole. Lines end with
// LF when written; LF, CR LF and a lone CR end them when read.
//
// Reading, a backslash escapes whatever byte follows it ("\n" and "\r" give
// LF and CR, "\x" gives x), CR and LF included (the record goes on), and a
// backslash that is the file's last byte is kept. Records split only at
// delimiters that are not escaped; with a delimiter whose first byte cannot be
// escaped, the escapes are resolved first and the record splits at every
// occurrence of the delimiter.
#pragma once

#include <cstdint>

#include "engine/foundation/String.h"
#include "engine/vm/HostFeatureSource.h"

namespace vorn {

class File;
class FileManager;
class Variable;
class VariableList;

// Read-ahead used when "bufsz_import" gives none (0 or less), and the most
// it may give.
inline constexpr int32_t kImportBufferDefault = 8192;
inline constexpr int32_t kImportBufferMax = 16 * 1024 * 1024;
// The longest record: what one variable can hold.
inline constexpr int32_t kImportRecordMax = INT32_MAX - 64;

// The lines of a file, read ahead a buffer at a time. A line comes without its
// end and with its escapes as written.
class FlatFileReader {
  public:
    // The file is not owned. bufferSize out of range takes the default.
    FlatFileReader(File* file, int32_t bufferSize, int32_t longestLine = kImportRecordMax);
    ~FlatFileReader();
    FlatFileReader(const FlatFileReader&) = delete;
    FlatFileReader& operator=(const FlatFileReader&) = delete;

    // 1 with the next line in *text and *length (valid until the next call);
    // 0 at the end of the file, or after a failure (then Failure() says why).
    int32_t NextLine(const char** text, int32_t* length);
    const String& Failure() const { return failure; }

  private:
    bool Refill();
    bool AppendToLine(const char* bytes, int32_t n);
    int32_t Fail(const String& reason);

    File* file;
    char* buffer = nullptr;
    int32_t bufferSize;
    int32_t filled = 0;
    int32_t position = 0;
    char* line = nullptr;
    int64_t lineCapacity = 0;
    int32_t lineLength = 0;
    int32_t longestLine;
    bool escaped = false;      // the last buffer ended in an unpaired backslash
    bool skipLineFeed = false; // a CR ended the last line: a LF right after belongs to it
    bool atEnd = false;
    bool failed = false;
    String failure;
};

// Whether the writer escapes the delimiter's first byte, and the reader splits
// only at unescaped delimiters.
bool DelimiterEscapable(const char* delimiter, int32_t length);

// The open VrIMPORT block: the file, its reader and the fields of the current
// record.
class Import : public ImportFeature {
  public:
    Import(VornApplication* application, VornVM* vm);
    ~Import() override;

    VariableList* Fields() override { return fields; }
    void SetDelimiter(const char* text, int32_t length) override;
    void SetRecordCounter(Variable* counter) override;
    // "Error opening '<name>': <reason>" on failure.
    int32_t Open(const char* name, int32_t length) override;
    // A read failure, a record longer than a variable holds or memory that
    // cannot be had ends the records with "Error reading from '<name>': <reason>".
    int32_t ReadRecord() override;
    void CountRecord() override;

    int64_t RecordNumber() const { return recordNumber; }

  private:
    bool AssignFields(const char* raw, int32_t length);
    // The field's text, its escapes resolved, into the variable.
    bool AssignDecoded(Variable* target, const char* raw, int32_t length);
    bool ReserveScratch(int32_t length);
    int32_t FailRecords(const String& reason);

    int64_t recordNumber = 0;
    Variable* counter = nullptr;
    VariableList* fields;
    String fileName;
    String delimiter;
    bool escapable = false;
    File* file = nullptr;
    FlatFileReader* reader = nullptr;
    char* scratch = nullptr;
    int32_t scratchSize = 0;
};

// VrEXPORT: appends one record of the fields' texts to the file in the data
// directory with a single write to its end. 1, or 0 with *error set to
// "Unable to create file '<name>': <reason>" or "Unable to write to file '<name>'.".
int32_t ExportRecord(FileManager* files, const char* name, int32_t nameLength, const char* delimiter,
                     int32_t delimiterLength, VariableList* fields, String* error);

} // namespace vorn
