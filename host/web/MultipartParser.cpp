#include "host/web/MultipartParser.h"

#include <cstring>

#include "engine/foundation/Hash.h"
#include "engine/foundation/Messages.h"

namespace vorn {

namespace {

constexpr char kNoSeparator[] = "Failed to find boundary separator";

int32_t Clamp32(int64_t n) {
    return n > INT32_MAX ? INT32_MAX : static_cast<int32_t>(n);
}

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

MultipartParser::MultipartParser(const char* contentType, MultipartSink& partSink) : sink(partSink) {
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

bool MultipartParser::Fail(const String& message) {
    sink.Error(message);
    state = kFailed;
    return false;
}

bool MultipartParser::FailFound(char c, const char* text) {
    String message("Found ");
    message.AppendChar(c);
    message.Append(text);
    return Fail(message);
}

bool MultipartParser::Stop() {
    state = kFailed;
    return false;
}

bool MultipartParser::Data(const char* bytes, int64_t length) {
    return length <= 0 || sink.PartData(bytes, length) || Stop();
}

bool MultipartParser::Learn(const char* line, int64_t length) {
    if (!boundary.Append(line, length)) return Fail(String(kOutOfMemory));
    if (boundary.Length() > 2 + kMaxBoundary) return Fail(String(kNoSeparator));
    return true;
}

void MultipartParser::EndParameter() {
    const char* value = parameterValue.Data();
    int64_t n = parameterValue.Length();
    // Only a matching pair of quotes is taken off.
    if (n >= 2 && value[0] == '"' && value[n - 1] == '"') {
        ++value;
        n -= 2;
    }
    if (parameterName.Equals("name", 4)) {
        part.name.Assign(value, Clamp32(n));
    } else if (parameterName.Equals("filename", 8)) {
        part.fileName.Assign(n > 0 ? value : "", n > 0 ? Clamp32(n) : 0);
    }
}

bool MultipartParser::Header(char c) {
    switch (state) {
    case kLineFeed:
        if (c != '\n') return FailFound(c, " when expected LF");
        state = kHeaderStart;
        return true;
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
        return true;
    case kHeaderName:
        if (c == ':') {
            if (headerName.Equals("Content-Disposition", 19)) {
                part.fileName.Assign("");
                part.name.Assign("");
                state = kDisposition;
            } else if (headerName.Equals("Content-Type", 12)) {
                part.type.Clear();
                state = kPartType;
            }
        } else if (c == '\r') {
            return Fail(String("Premature end of line when expecting file header type"));
        } else if (!headerName.AppendByte(c)) {
            return Fail(String(kOutOfMemory));
        }
        return true;
    case kPartType:
        if (c == '\r')
            state = kLineFeed;
        else if (c != ' ' && !part.type.AppendByte(c))
            return Fail(String(kOutOfMemory));
        return true;
    case kDisposition:
        // A line break ends the header even without parameters.
        if (c == ';') state = kParameterStart;
        if (c == '\r') state = kLineFeed;
        return true;
    case kParameterStart:
        if (c == '\r') {
            state = kLineFeed;
        } else if (c != ' ') {
            parameterName.Clear();
            parameterName.AppendByte(c);
            state = kParameterName;
        }
        return true;
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
        return true;
    case kParameterValue:
        // A ';' inside quotes belongs to the value ("a;b.txt").
        if (c == '\r' || (c == ';' && !parameterQuoted)) {
            EndParameter();
            state = c == ';' ? kParameterStart : kLineFeed;
        } else {
            if (c == '"') parameterQuoted = !parameterQuoted;
            if (!parameterValue.AppendByte(c)) return Fail(String(kOutOfMemory));
        }
        return true;
    default: // kBodyLineFeed
        if (c != '\n') return FailFound(c, " when expected LF");
        state = kBodyStart;
        return true;
    }
}

bool MultipartParser::Parse(const char* bytes, int32_t length) {
    if (state == kFailed) return false;
    const char* separator = boundary.Data();
    int32_t separatorLength = static_cast<int32_t>(boundary.Length());
    int64_t dataStart = state == kBody ? 0 : -1; // body bytes of this piece begin here
    int64_t matchStart = 0;                     // where the boundary match of this piece began

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
                if (!Learn(bytes, i)) return false;
                separator = boundary.Data();
                separatorLength = static_cast<int32_t>(boundary.Length());
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
        case kBodyStart:
            if (!sink.BeginPart(part)) return Stop();
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
                if (state == kMatching && !Data(bytes + dataStart, matchStart - dataStart)) return false;
                bool ended = sink.EndPart(part);
                // What one part said does not carry over to the next.
                part.fileName.Assign("");
                part.type.Clear();
                if (!ended) return Stop();
                state = kBoundaryFound;
            } else {
                // Only looked like a boundary: data after all. This byte is
                // read again, as it may begin the real one.
                if (state == kMatchCarried) {
                    if (!Data(separator, match)) return false;
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
        case kEnd: // the epilogue is ignored
            i = length;
            break;
        default:
            if (!Header(c)) return false;
            ++i;
            break;
        }
    }

    if (state == kBody) return Data(bytes + dataStart, length - dataStart);
    if (state == kMatching) {
        if (!Data(bytes + dataStart, matchStart - dataStart)) return false;
        state = kMatchCarried;
    } else if (state == kLearnBoundary) {
        return Learn(bytes, length);
    }
    return true;
}

} // namespace vorn
