#include "host/features/FlatFile.h"

#include <cstdlib>
#include <cstring>

#include "engine/app/VornApplication.h"
#include "engine/files/File.h"
#include "engine/foundation/Config.h"
#include "engine/foundation/Messages.h"
#include "engine/values/Variable.h"
#include "engine/values/VariableList.h"

namespace vorn {

namespace {


// Bytes that stop the line scan: the line ends and the escape.
struct LineStops {
    bool stop[256] = {};
    constexpr LineStops() {
        stop[static_cast<unsigned char>('\n')] = true;
        stop[static_cast<unsigned char>('\r')] = true;
        stop[static_cast<unsigned char>('\\')] = true;
    }
};
constexpr LineStops kLineStops;

// The first delimiter at or after from that no backslash escapes, or -1.
int32_t FindUnescaped(const char* text, int32_t from, int32_t length, const char* delimiter,
                      int32_t delimiterLength) {
    const char first = delimiter[0];
    for (int32_t i = from; i < length;) {
        const char c = text[i];
        if (c == '\\') {
            i += 2;
            continue;
        }
        if (c == first && delimiterLength <= length - i &&
            std::memcmp(text + i, delimiter, delimiterLength) == 0)
            return i;
        ++i;
    }
    return -1;
}

// Resolves the escapes of n bytes into out (room for n bytes); the length.
int32_t Unescape(const char* in, int32_t n, char* out) {
    int32_t k = 0;
    for (int32_t i = 0; i < n;) {
        const void* found = std::memchr(in + i, '\\', static_cast<size_t>(n - i));
        const int32_t stop = found ? static_cast<int32_t>(static_cast<const char*>(found) - in) : n;
        std::memcpy(out + k, in + i, static_cast<size_t>(stop - i));
        k += stop - i;
        if (stop >= n) break;
        if (stop + 1 == n) { // nothing follows: the backslash is kept
            out[k++] = '\\';
            break;
        }
        const char escaped = in[stop + 1];
        out[k++] = escaped == 'n' ? '\n' : escaped == 'r' ? '\r' : escaped;
        i = stop + 2;
    }
    return k;
}

// The growing buffer of one exported record.
class RecordBuffer {
  public:
    ~RecordBuffer() {
        if (data != local) std::free(data);
    }
    bool Put(const char* bytes, int64_t n) {
        if (!Reserve(n)) return false;
        std::memcpy(data + length, bytes, static_cast<size_t>(n));
        length += n;
        return true;
    }
    bool PutByte(char c) { return Put(&c, 1); }
    const char* Data() const { return data; }
    int64_t Length() const { return length; }

  private:
    bool Reserve(int64_t n) {
        if (length + n <= capacity) return true;
        if (length + n > INT32_MAX) return false; // one write, of at most 2^31-1 bytes
        int64_t grown = capacity * 2;
        if (grown < length + n) grown = length + n;
        if (grown > INT32_MAX) grown = INT32_MAX;
        char* fresh = static_cast<char*>(data == local ? std::malloc(static_cast<size_t>(grown))
                                                       : std::realloc(data, static_cast<size_t>(grown)));
        if (!fresh) return false;
        if (data == local) std::memcpy(fresh, local, static_cast<size_t>(length));
        data = fresh;
        capacity = grown;
        return true;
    }

    char local[8192];
    char* data = local;
    int64_t length = 0;
    int64_t capacity = sizeof local;
};

// A field's text with its escapes: runs without special bytes go as they are.
bool PutEscaped(RecordBuffer& out, const String& text, char delimiterFirst, bool escapeDelimiter) {
    const char* p = text.Text();
    const int32_t n = text.Length();
    int32_t run = 0;
    for (int32_t i = 0; i < n; ++i) {
        const char c = p[i];
        const char* escape = c == '\n' ? "\\n" : c == '\r' ? "\\r" : c == '\\' ? "\\\\" : nullptr;
        if (!escape && !(escapeDelimiter && c == delimiterFirst)) continue;
        if (!out.Put(p + run, i - run)) return false;
        if (escape ? !out.Put(escape, 2) : !(out.PutByte('\\') && out.PutByte(c))) return false;
        run = i + 1;
    }
    return out.Put(p + run, n - run);
}

} // namespace

bool DelimiterEscapable(const char* delimiter, int32_t length) {
    if (!delimiter || length <= 0) return false;
    const char first = delimiter[0];
    // LF and CR in values are written as escapes already.
    return first != 'n' && first != 'r' && first != '\\' && first != '\n' && first != '\r';
}

// --- FlatFileReader --------------------------------------------------------------

FlatFileReader::FlatFileReader(File* source, int32_t size, int32_t longest)
    : file(source), bufferSize(size > 0 && size <= kImportBufferMax ? size : kImportBufferDefault),
      longestLine(longest > 0 ? longest : kImportRecordMax) {}

FlatFileReader::~FlatFileReader() {
    std::free(buffer);
    std::free(line);
}

int32_t FlatFileReader::Fail(const String& reason) {
    failed = true;
    failure = reason;
    return 0;
}

bool FlatFileReader::Refill() {
    if (!buffer) {
        buffer = static_cast<char*>(std::malloc(static_cast<size_t>(bufferSize)));
        if (!buffer) return Fail(String(kOutOfMemory));
    }
    const int32_t n = file ? file->Read(buffer, bufferSize) : 0;
    if (n < 0) return Fail(file->ErrorText());
    position = 0;
    filled = n > bufferSize ? bufferSize : n;
    if (n == 0) atEnd = true;
    return n > 0;
}

bool FlatFileReader::AppendToLine(const char* bytes, int32_t n) {
    if (n <= 0) return true;
    if (n > longestLine - lineLength) {
        String reason("Record is longer than ");
        reason.AppendInteger(longestLine);
        reason.Append(" bytes");
        return Fail(reason);
    }
    const int64_t needed = static_cast<int64_t>(lineLength) + n;
    if (needed > lineCapacity) {
        int64_t grown = lineCapacity > 0 ? lineCapacity * 2 : bufferSize;
        if (grown < needed) grown = needed;
        if (grown > longestLine) grown = longestLine;
        char* fresh = static_cast<char*>(std::realloc(line, static_cast<size_t>(grown)));
        if (!fresh) return Fail(String(kOutOfMemory));
        line = fresh;
        lineCapacity = grown;
    }
    std::memcpy(line + lineLength, bytes, static_cast<size_t>(n));
    lineLength += n;
    return true;
}

int32_t FlatFileReader::NextLine(const char** text, int32_t* length) {
    lineLength = 0;
    for (;;) {
        if (position >= filled && (failed || atEnd || !Refill())) break;
        if (skipLineFeed) {
            skipLineFeed = false;
            if (buffer[position] == '\n') {
                ++position;
                continue;
            }
        }
        const int32_t start = position;
        int32_t i = position;
        if (escaped) { // the byte after a backslash that ended the last buffer
            escaped = false;
            ++i;
        }
        while (i < filled) {
            const unsigned char c = static_cast<unsigned char>(buffer[i]);
            if (!kLineStops.stop[c]) {
                ++i;
            } else if (c == '\\') {
                i += 2;
            } else {
                break;
            }
        }
        if (i > filled) { // the buffer ends in an unpaired backslash
            i = filled;
            escaped = true;
        }
        if (i == filled) {
            if (!AppendToLine(buffer + start, i - start)) return 0;
            position = filled;
            continue;
        }
        // A line end at i.
        skipLineFeed = buffer[i] == '\r';
        position = i + 1;
        if (lineLength == 0) { // whole in the buffer: no copy
            *text = buffer + start;
            *length = i - start;
            return 1;
        }
        if (!AppendToLine(buffer + start, i - start)) return 0;
        *text = line;
        *length = lineLength;
        return 1;
    }
    if (failed) return 0;
    // The end of the file: a last line without its end still counts.
    escaped = false;
    if (lineLength == 0) return 0;
    *text = line;
    *length = lineLength;
    return 1;
}

// --- Import -------------------------------------------------------------------------

Import::Import(VornApplication* app, VornVM* vm) : ImportFeature(app, vm), fields(new VariableList()) {
    fileName.Assign("");
    delimiter.Assign("");
}

Import::~Import() {
    fields->Delete();
    delete reader;
    delete file;
    if (counter) counter->Release();
    std::free(scratch);
}

void Import::SetDelimiter(const char* text, int32_t length) {
    delimiter.Assign(text ? text : "", text && length > 0 ? length : 0);
    escapable = DelimiterEscapable(delimiter.Text(), delimiter.Length());
}

void Import::SetRecordCounter(Variable* variable) {
    if (variable) variable->AddReference();
    if (counter) counter->Release();
    counter = variable;
}

int32_t Import::Open(const char* name, int32_t length) {
    fileName.Assign(name ? name : "", name ? length : 0);
    FileManager* files = application ? application->GetFileManager() : nullptr;
    file = files ? files->Open(LocationData, fileName.Text(), OpenRead) : nullptr;
    if (!file) {
        String message = String(kErrorOpening) + fileName + "': ";
        if (files) message.AppendString(files->ErrorText());
        SetError(message);
        return 0;
    }
    Config* config = application->GetConfig();
    reader = new FlatFileReader(file, config ? config->GetInteger(kConfigImportBufferSize) : 0);
    return 1;
}

int32_t Import::FailRecords(const String& reason) {
    SetError(String(kErrorReadingFrom) + fileName + "': " + reason);
    return 0;
}

int32_t Import::ReadRecord() {
    if (!reader || !error.IsEmpty()) return 0;
    const char* raw = nullptr;
    int32_t length = 0;
    if (!reader->NextLine(&raw, &length)) {
        if (!reader->Failure().IsEmpty()) return FailRecords(reader->Failure());
        return 0;
    }
    if (!AssignFields(raw, length)) return FailRecords(String(kOutOfMemory));
    return 1;
}

void Import::CountRecord() {
    ++recordNumber;
    if (!counter) return;
    if (recordNumber <= INT32_MAX)
        counter->SetValueInteger(static_cast<int32_t>(recordNumber));
    else
        counter->SetValueDouble(static_cast<double>(recordNumber));
}

bool Import::ReserveScratch(int32_t length) {
    if (length <= scratchSize) return true;
    int64_t grown = static_cast<int64_t>(scratchSize) * 2;
    if (grown < length) grown = length;
    if (grown > kImportRecordMax) grown = kImportRecordMax;
    char* fresh = static_cast<char*>(std::realloc(scratch, static_cast<size_t>(grown)));
    if (!fresh) return false;
    scratch = fresh;
    scratchSize = static_cast<int32_t>(grown);
    return true;
}

bool Import::AssignDecoded(Variable* target, const char* raw, int32_t length) {
    if (!std::memchr(raw, '\\', static_cast<size_t>(length))) {
        target->SetValue(raw, length);
        return true;
    }
    if (!ReserveScratch(length)) return false;
    target->SetValue(scratch, Unescape(raw, length, scratch));
    return true;
}

bool Import::AssignFields(const char* raw, int32_t length) {
    const char* d = delimiter.Text();
    const int32_t dn = delimiter.Length();
    Variable* field = fields->First();
    if (!field) return true;
    if (dn == 0) {
        if (!AssignDecoded(field, raw, length)) return false;
        while ((field = fields->Next()))
            field->SetValue("", 0);
        return true;
    }
    if (escapable) {
        int32_t p = 0;
        for (; field; field = fields->Next()) {
            if (p > length) {
                field->SetValue("", 0);
                continue;
            }
            const int32_t at = FindUnescaped(raw, p, length, d, dn);
            const int32_t end = at < 0 ? length : at;
            if (!AssignDecoded(field, raw + p, end - p)) return false;
            p = at < 0 ? length + 1 : at + dn;
        }
        return true;
    }
    // A delimiter that cannot be escaped: resolve the escapes first, then
    // split at every occurrence.
    if (!ReserveScratch(length)) return false;
    const int32_t n = Unescape(raw, length, scratch);
    int32_t p = 0;
    for (; field; field = fields->Next()) {
        if (p > n) {
            field->SetValue("", 0);
            continue;
        }
        const int32_t found = FindBytes(d, dn, scratch + p, n - p);
        const int32_t end = found < 0 ? n : p + found;
        field->SetValue(scratch + p, end - p);
        p = found < 0 ? n + 1 : end + dn;
    }
    return true;
}

// --- Export ---------------------------------------------------------------------------

int32_t ExportRecord(FileManager* files, const char* name, int32_t nameLength, const char* delimiter,
                     int32_t delimiterLength, VariableList* fields, String* error) {
    String fileName(name ? name : "", name ? nameLength : 0);
    if (delimiterLength < 0 || !delimiter) delimiterLength = 0;
    const bool escapeDelimiter = DelimiterEscapable(delimiter, delimiterLength);
    const char first = delimiterLength > 0 ? delimiter[0] : '\0';

    RecordBuffer record;
    bool fits = true;
    int32_t index = 0;
    for (Variable* field = fields ? fields->First() : nullptr; field && fits;
         field = fields->Next(), ++index) {
        if (index > 0) fits = record.Put(delimiter, delimiterLength);
        fits = fits && PutEscaped(record, field->Value(), first, escapeDelimiter);
    }
    fits = fits && record.PutByte('\n');

    // Every write goes to the end as it is then: no seek needed.
    File* file = files ? files->Open(LocationData, fileName.Text(), OpenWrite | OpenCreate | OpenAppendWrites)
                       : nullptr;
    if (!file) {
        if (error) {
            *error = String("Unable to create file '") + fileName + "': ";
            if (files) error->AppendString(files->ErrorText());
        }
        return 0;
    }
    const int32_t length = static_cast<int32_t>(record.Length());
    const bool written = fits && file->Write(record.Data(), length) == length;
    delete file;
    if (!written && error) *error = String("Unable to write to file '") + fileName + "'.";
    return written ? 1 : 0;
}

} // namespace vorn
