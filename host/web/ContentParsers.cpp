#include "host/web/ContentParsers.h"

#include <cstdlib>
#include <cstring>

#include "engine/app/VornApplication.h"
#include "engine/files/File.h"
#include "engine/foundation/Hash.h"
#include "engine/values/Variable.h"
#include "engine/values/VariableHash.h"
#include "engine/vm/VornVM.h"

namespace vorn {

namespace {

constexpr char kOutOfMemory[] = "Out of memory";
constexpr char kTooManyVariables[] = "Maximum number of POST variables exceeded";

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

int32_t Clamp32(int64_t n) {
    return n > INT32_MAX ? INT32_MAX : static_cast<int32_t>(n);
}

} // namespace

// --- FieldBuffer ------------------------------------------------------------------------------

FieldBuffer::~FieldBuffer() {
    std::free(data);
}

bool FieldBuffer::Append(const char* bytes, int64_t n) {
    if (n <= 0) return true;
    if (length + n + 1 > capacity) {
        int64_t grown = capacity < 64 ? 64 : capacity;
        while (grown < length + n + 1) grown *= 2;
        auto* bigger = static_cast<char*>(std::realloc(data, static_cast<size_t>(grown)));
        if (!bigger) return false;
        data = bigger;
        capacity = grown;
    }
    std::memcpy(data + length, bytes, static_cast<size_t>(n));
    length += n;
    data[length] = '\0';
    return true;
}

bool FieldBuffer::Equals(const char* text, int64_t n) const {
    return length == n && (n == 0 || std::memcmp(data, text, static_cast<size_t>(n)) == 0);
}

char* FieldBuffer::Detach(int64_t* outLength) {
    if (!data) {
        data = static_cast<char*>(std::malloc(1));
        if (!data) return nullptr;
        capacity = 1;
    }
    data[length] = '\0';
    char* result = data;
    if (outLength) *outLength = length;
    data = nullptr;
    length = capacity = 0;
    return result;
}

// --- HTTPContentParser ------------------------------------------------------------------------

HTTPContentParser::HTTPContentParser(VariableHash* scope) : target(scope) {}

HTTPContentParser::~HTTPContentParser() = default;

void HTTPContentParser::SetError(const String& text) {
    if (!text.IsEmpty()) error.Assign(text);
}

// --- UnknownContentHandler ------------------------------------------------------------------------

UnknownContentHandler::UnknownContentHandler(VariableHash* scope, int32_t announcedLength)
    : HTTPContentParser(scope), announced(announcedLength > 0 ? announcedLength : 0),
      buffer(static_cast<char*>(std::malloc(static_cast<size_t>(announced) + 1))), capacity(announced + 1) {
    if (!buffer) capacity = 0;
}

UnknownContentHandler::~UnknownContentHandler() {
    std::free(buffer);
}

bool UnknownContentHandler::Parse(const char* bytes, int32_t length) {
    if (length <= 0) return true;
    if (used + length + 1 > capacity) {
        // Grows by whole announced lengths (a page when none was announced).
        int64_t step = announced > 0 ? announced : 8192;
        int64_t grown = capacity + ((used + length + 1 - capacity) / step + 1) * step;
        char* bigger = grown <= INT32_MAX ? static_cast<char*>(std::realloc(buffer, static_cast<size_t>(grown)))
                                          : nullptr;
        if (!bigger) {
            SetError(String(kOutOfMemory));
            return false;
        }
        buffer = bigger;
        capacity = grown;
    }
    std::memcpy(buffer + used, bytes, static_cast<size_t>(length));
    used += length;
    return true;
}

bool UnknownContentHandler::Finish() {
    if (!buffer) {
        SetError(String(kOutOfMemory));
        return false;
    }
    buffer[used] = '\0';
    auto* content = new ImmutableVariable("content_data", -1, buffer, static_cast<int32_t>(used),
                                          static_cast<int32_t>(capacity));
    buffer = nullptr;
    target->ReplaceVariable(content);
    return true;
}

// --- URLEncodedParser -----------------------------------------------------------------------------

URLEncodedParser::URLEncodedParser(VariableHash* scope, int32_t variableLimit)
    : HTTPContentParser(scope), limit(variableLimit) {}

bool URLEncodedParser::Store() {
    // "&&" or "=x" name nothing: no variable, and nothing counted.
    if (name.Length() > 0) {
        ++made;
        if (limit > 0 && made > limit) {
            SetError(String(kTooManyVariables));
            return false;
        }
        if (name.Length() > INT32_MAX || value.Length() > INT32_MAX) {
            SetError(String(kOutOfMemory));
            return false;
        }
        target->AppendValue(name.Data(), static_cast<int32_t>(name.Length()), value.Data(),
                            static_cast<int32_t>(value.Length()), true);
    }
    name.Clear();
    value.Clear();
    return true;
}

bool URLEncodedParser::KeepEscape(FieldBuffer& into) {
    bool ok = into.AppendByte('%') && into.Append(escape, escapeCount);
    escapeCount = 0;
    return ok;
}

bool URLEncodedParser::Parse(const char* bytes, int32_t length) {
    for (int32_t i = 0; i < length;) {
        char c = bytes[i];
        bool ok = true;
        switch (state) {
        case Name:
        case Value: {
            FieldBuffer& into = state == Name ? name : value;
            if (c == '%') {
                state = state == Name ? NameEscape : ValueEscape;
                escapeCount = 0;
            } else if (c == '&') {
                state = Name;
                if (!Store()) return false;
            } else if (c == '=' && state == Name) {
                state = Value;
            } else {
                ok = into.AppendByte(c == '+' ? ' ' : c);
            }
            ++i;
            break;
        }
        case NameEscape:
        case ValueEscape: {
            FieldBuffer& into = state == NameEscape ? name : value;
            State back = state == NameEscape ? Name : Value;
            if (HexDigit(c) < 0) {
                // Not an escape: the '%' and what followed it stay as sent, and
                // this byte is read again as an ordinary one.
                ok = KeepEscape(into);
                state = back;
                break;
            }
            escape[escapeCount++] = c;
            ++i;
            if (escapeCount == 2) {
                ok = into.AppendByte(static_cast<char>(HexDigit(escape[0]) * 16 + HexDigit(escape[1])));
                escapeCount = 0;
                state = back;
            }
            break;
        }
        }
        if (!ok) {
            SetError(String(kOutOfMemory));
            return false;
        }
    }
    return true;
}

bool URLEncodedParser::Finish() {
    if (state == NameEscape || state == ValueEscape) {
        if (!KeepEscape(state == NameEscape ? name : value)) {
            SetError(String(kOutOfMemory));
            return false;
        }
    }
    state = Name;
    return Store();
}

// --- MultipartFormParser --------------------------------------------------------------------------

namespace {

enum : int32_t {
    kFirstBoundary = 0,
    kLearnBoundary = 1,
    kAfterFirstBoundary = 2,
    kNoBoundary = 3,
    kLineFeed = 4,
    kHeaderStart = 5,
    kHeaderName = 6,
    kPartType = 7,
    kDisposition = 8,
    kParameterStart = 9,
    kParameterName = 10,
    kParameterValue = 11,
    kBodyLineFeed = 12,
    kBodyStart = 13,
    kBody = 14,
    kMatching = 15,
    kMatchCarried = 16,
    kBoundaryFound = 17,
    kClosing = 18,
    kEnd = 19,
    kFailed = 20,
};

constexpr char kNoSeparator[] = "Failed to find boundary separator";

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// The "boundary" parameter of a content type (any letter case): a quoted
// value with backslash escapes, or a token up to ';'. False when there is none.
bool BoundaryParameter(const char* type, FieldBuffer& out) {
    const char* p = type ? std::strchr(type, ';') : nullptr;
    while (p && *p == ';') {
        ++p;
        while (IsBlank(*p)) ++p;
        const char* nameStart = p;
        while (*p && *p != '=' && *p != ';') ++p;
        size_t nameLength = static_cast<size_t>(p - nameStart);
        while (nameLength > 0 && IsBlank(nameStart[nameLength - 1])) --nameLength;
        bool isBoundary = nameLength == 8 && CompareTextNoCase(nameStart, "boundary", 8) == 0;
        FieldBuffer value;
        if (*p == '=') {
            ++p;
            while (IsBlank(*p)) ++p;
            if (*p == '"') {
                for (++p; *p && *p != '"'; ++p) {
                    if (*p == '\\' && p[1]) ++p;
                    if (!value.AppendByte(*p)) return false;
                }
                if (*p == '"') ++p;
                while (*p && *p != ';') ++p;
            } else {
                const char* start = p;
                while (*p && *p != ';') ++p;
                const char* end = p;
                while (end > start && IsBlank(end[-1])) --end;
                if (!value.Append(start, end - start)) return false;
            }
        }
        if (isBoundary) return out.Append(value.Data(), value.Length());
        p = std::strchr(p, ';');
    }
    return false;
}

} // namespace

MultipartFormParser::MultipartFormParser(VornVM* vm, FileManager* fileManager, VariableHash* scope,
                                         const char* contentType, int32_t variableLimit)
    : HTTPContentParser(scope), program(vm), files(fileManager), limit(variableLimit) {
    boundary.Append("\r\n--", 4);
    if (BoundaryParameter(contentType, boundary)) {
        // The body opens with the boundary itself, without the line break.
        state = kFirstBoundary;
        match = 2;
    } else {
        // The body's first line is the boundary.
        boundary.Clear();
        boundary.Append("\r\n", 2);
        state = kLearnBoundary;
    }
}

MultipartFormParser::~MultipartFormParser() {
    DropTemporaryFile();
}

void MultipartFormParser::DropTemporaryFile() {
    if (temporary) {
        delete temporary;
        temporary = nullptr;
    }
    if (!temporaryName.IsEmpty()) {
        if (files) files->Delete(LocationData, temporaryName.Text());
        temporaryName.Assign("");
    }
}

bool MultipartFormParser::Fail(const String& message) {
    SetError(message);
    state = kFailed;
    return false;
}

bool MultipartFormParser::FailFound(char c, const char* text) {
    String message("Found ");
    message.AppendChar(c);
    message.Append(text);
    return Fail(message);
}

void MultipartFormParser::EndParameter() {
    const char* value = parameterValue.Data();
    int64_t n = parameterValue.Length();
    // Only a matching pair of quotes is taken off.
    if (n >= 2 && value[0] == '"' && value[n - 1] == '"') {
        ++value;
        n -= 2;
    }
    if (parameterName.Equals("name", 4)) {
        fieldName.Assign(value, Clamp32(n));
    } else if (parameterName.Equals("filename", 8)) {
        // A file input left empty sends an empty name: a plain field then.
        isFile = n > 0;
        fileName.Assign(isFile ? value : "", isFile ? Clamp32(n) : 0);
    }
}

bool MultipartFormParser::Parse(const char* bytes, int32_t length) {
    if (state == kFailed) return false;
    const char* separator = Boundary();
    int32_t separatorLength = static_cast<int32_t>(boundary.Length());
    int64_t dataStart = state == kBody ? 0 : -1; // body bytes of this piece begin here
    int64_t matchStart = 0;                     // where the boundary match of this piece began
    int64_t lineStart = 0;                      // the learned boundary line in this piece

    auto learn = [&](int64_t end) {
        if (!boundary.Append(bytes + lineStart, end - lineStart)) return Fail(String(kOutOfMemory));
        if (boundary.Length() > 2 + kMaxBoundary) return Fail(String(kNoSeparator));
        separator = Boundary();
        separatorLength = static_cast<int32_t>(boundary.Length());
        return true;
    };

    for (int64_t i = 0; i < length;) {
        const char c = bytes[i];
        switch (state) {
        case kFirstBoundary:
            if (c == separator[match]) {
                if (++match == separatorLength) state = kAfterFirstBoundary;
            } else {
                state = kNoBoundary;
            }
            ++i;
            break;
        case kLearnBoundary:
            if (c == '\r') {
                if (!learn(i)) return false;
                state = kLineFeed;
            }
            ++i;
            break;
        case kAfterFirstBoundary:
            state = c == '\r' ? kLineFeed : kNoBoundary;
            ++i;
            break;
        case kNoBoundary:
            if (c == '\r') return Fail(String(kNoSeparator));
            ++i;
            break;
        case kLineFeed:
            if (c != '\n') return FailFound(c, " when expected LF");
            state = kHeaderStart;
            ++i;
            break;
        case kHeaderStart:
            if (c == '\r') {
                state = kBodyLineFeed;
            } else if (c == ':') {
                return FailFound(c, " when expecting file header type");
            } else {
                headerName.Clear();
                headerName.AppendByte(c);
                state = kHeaderName;
            }
            ++i;
            break;
        case kHeaderName:
            if (c == ':') {
                if (headerName.Equals("Content-Disposition", 19)) {
                    isFile = false;
                    fileName.Assign("");
                    fieldName.Assign("");
                    state = kDisposition;
                } else if (headerName.Equals("Content-Type", 12)) {
                    partType.Clear();
                    state = kPartType;
                }
            } else if (c == '\r') {
                return Fail(String("Premature end of line when expecting file header type"));
            } else if (!headerName.AppendByte(c)) {
                return Fail(String(kOutOfMemory));
            }
            ++i;
            break;
        case kPartType:
            if (c == '\r')
                state = kLineFeed;
            else if (c != ' ' && !partType.AppendByte(c))
                return Fail(String(kOutOfMemory));
            ++i;
            break;
        case kDisposition:
            // A line break ends the header even without parameters.
            if (c == ';') state = kParameterStart;
            if (c == '\r') state = kLineFeed;
            ++i;
            break;
        case kParameterStart:
            if (c == '\r') {
                state = kLineFeed;
            } else if (c != ' ') {
                parameterName.Clear();
                parameterName.AppendByte(c);
                state = kParameterName;
            }
            ++i;
            break;
        case kParameterName:
            if (c == '=') {
                parameterValue.Clear();
                parameterQuoted = false;
                state = kParameterValue;
            } else if (c == '\r') {
                state = kLineFeed;
            } else if (!parameterName.AppendByte(c)) {
                return Fail(String(kOutOfMemory));
            }
            ++i;
            break;
        case kParameterValue:
            // A ';' inside quotes belongs to the value ("a;b.txt").
            if (c == '\r' || (c == ';' && !parameterQuoted)) {
                EndParameter();
                state = c == ';' ? kParameterStart : kLineFeed;
            } else {
                if (c == '"') parameterQuoted = !parameterQuoted;
                if (!parameterValue.AppendByte(c)) return Fail(String(kOutOfMemory));
            }
            ++i;
            break;
        case kBodyLineFeed:
            if (c != '\n') return FailFound(c, " when expected LF");
            state = kBodyStart;
            ++i;
            break;
        case kBodyStart:
            if (!BeginPart()) {
                state = kFailed;
                return false;
            }
            dataStart = i;
            if (c == separator[0]) {
                matchStart = i;
                match = 1;
                state = kMatching;
            } else {
                state = kBody;
            }
            ++i;
            break;
        case kBody: {
            const void* hit = std::memchr(bytes + i, separator[0], static_cast<size_t>(length - i));
            if (!hit) {
                i = length;
                break;
            }
            i = static_cast<const char*>(hit) - bytes;
            matchStart = i;
            match = 1;
            state = kMatching;
            ++i;
            break;
        }
        case kMatching:
        case kMatchCarried:
            if (c == separator[match]) {
                ++i;
                if (++match < separatorLength) break;
                bool ok = state == kMatchCarried || PartData(bytes + dataStart, matchStart - dataStart);
                if (!ok || !EndPart()) {
                    state = kFailed;
                    return false;
                }
                state = kBoundaryFound;
            } else {
                // Only looked like a boundary: data after all. This byte is
                // read again, as it may begin the real one.
                if (state == kMatchCarried) {
                    if (!PartData(separator, match)) {
                        state = kFailed;
                        return false;
                    }
                    dataStart = i;
                }
                state = kBody;
            }
            break;
        case kBoundaryFound:
            if (c == '\r')
                state = kLineFeed;
            else if (c == '-')
                state = kClosing;
            else
                return FailFound(c, " when expected CR or '-'");
            ++i;
            break;
        case kClosing:
            if (c != '-') return FailFound(c, " when expected '-'");
            state = kEnd;
            ++i;
            break;
        default: // kEnd: the epilogue is ignored
            i = length;
            break;
        }
    }

    if (state == kBody) {
        if (!PartData(bytes + dataStart, length - dataStart)) {
            state = kFailed;
            return false;
        }
    } else if (state == kMatching) {
        if (!PartData(bytes + dataStart, matchStart - dataStart)) {
            state = kFailed;
            return false;
        }
        state = kMatchCarried;
    } else if (state == kLearnBoundary) {
        return learn(length);
    }
    return true;
}

bool MultipartFormParser::Finish() {
    return true;
}

bool MultipartFormParser::BeginPart() {
    fieldValue.Clear();
    received = 0;
    partFlag = 0;
    if (!isFile) return true;
    VornApplication* application = program ? program->Application() : nullptr;
    if (application) application->ResetTimeLimit();
    int32_t result = -1;
    if (!program || !program->CallValidateFileUpload(fieldName.Text(), fieldName.Length(), fileName.Text(),
                                                     fileName.Length(), partType.Data(),
                                                     Clamp32(partType.Length()), &result))
        return Fail(String("Failed call to ValidateFileUpload"));
    sizeLimit = result;
    if (result < 0) {
        status.Assign("SKIPPED");
        partFlag = 2;
        return true;
    }
    if (application) application->ClearPostTimeLimit();
    status.Assign("COMPLETE");
    temporary = files ? files->TemporaryName(LocationData, "", "VORN_FUP", temporaryName, OpenWrite) : nullptr;
    if (!temporary) {
        temporaryName.Assign("");
        return Fail(String("Failed to create temporary file"));
    }
    return true;
}

bool MultipartFormParser::PartData(const char* bytes, int64_t length) {
    if (length <= 0) return true;
    if (!isFile) return fieldValue.Append(bytes, length) || Fail(String(kOutOfMemory));
    received += length;
    if (partFlag != 0) return true;
    int64_t keep = length;
    if (sizeLimit > 0 && received > sizeLimit) {
        keep -= received - sizeLimit;
        if (keep < 0) keep = 0;
        status.Assign("PARTIAL");
        partFlag = 1;
    }
    for (int64_t written = 0; written < keep;) {
        int32_t piece = Clamp32(keep - written);
        int32_t n = temporary ? temporary->Write(bytes + written, piece) : -1;
        if (n != piece) {
            // The disk took no more: the script learns the file is partial.
            status.Assign("PARTIAL");
            partFlag = 1;
            break;
        }
        written += n;
    }
    return true;
}

bool MultipartFormParser::EndPart() {
    bool ok = true;
    if (!isFile) {
        // A part without a name names no variable.
        if (!fieldName.IsEmpty()) {
            ++made;
            if (limit > 0 && made > limit) return Fail(String(kTooManyVariables));
            target->AppendValue(fieldName.Text(), fieldName.Length(), fieldValue.Data(),
                                Clamp32(fieldValue.Length()), true);
        }
        fieldValue.Clear();
    } else if (partFlag != 2) {
        delete temporary;
        temporary = nullptr;
        VornApplication* application = program->Application();
        if (application) application->ResetTimeLimit();
        ok = program->CallProcessFileUpload(fieldName.Text(), fieldName.Length(), fileName.Text(),
                                            fileName.Length(), status.Text(), status.Length(),
                                            temporaryName.Text(), temporaryName.Length(), partType.Data(),
                                            Clamp32(partType.Length()), Clamp32(received));
        DropTemporaryFile();
        if (ok && application) application->ResetPostTimeLimit();
        if (!ok) Fail(String("Failed call to ProcessFileUpload"));
    }
    // What one part said does not carry over to the next.
    isFile = false;
    fileName.Assign("");
    partType.Clear();
    return ok;
}

} // namespace vorn
