#include "host/web/ContentParsers.h"

#include <cstdlib>
#include <cstring>

#include "engine/app/VornApplication.h"
#include "engine/files/File.h"
#include "engine/foundation/Messages.h"
#include "engine/values/Variable.h"
#include "engine/values/VariableHash.h"
#include "engine/vm/VornVM.h"

namespace vorn {

namespace {

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

bool UnknownContentHandler::Parse(const char* bytes, int32_t length) {
    if (length <= 0) return true;
    if (used + length + 1 > capacity) {
        // Grows by whole announced lengths (a page when none was announced).
        int64_t step = announced > 0 ? announced : 8192;
        int64_t grown = capacity + ((used + length + 1 - capacity) / step + 1) * step;
        char* bigger =
            grown <= INT32_MAX ? static_cast<char*>(std::realloc(buffer.get(), static_cast<size_t>(grown))) : nullptr;
        if (!bigger) {
            SetError(String(kOutOfMemory));
            return false;
        }
        buffer.release();
        buffer.reset(bigger);
        capacity = grown;
    }
    std::memcpy(buffer.get() + used, bytes, static_cast<size_t>(length));
    used += length;
    return true;
}

bool UnknownContentHandler::Finish() {
    if (!buffer) {
        SetError(String(kOutOfMemory));
        return false;
    }
    buffer.get()[used] = '\0';
    auto* content = new ImmutableVariable("content_data", -1, buffer.get(), static_cast<int32_t>(used),
                                          static_cast<int32_t>(capacity));
    buffer.release(); // the variable's now
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

MultipartFormParser::MultipartFormParser(VornVM* vm, FileManager* fileManager, VariableHash* scope,
                                         const char* contentType, int32_t variableLimit)
    : HTTPContentParser(scope), parser(contentType, *this), program(vm), files(fileManager), limit(variableLimit) {}

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
    return false;
}

bool MultipartFormParser::BeginPart(const MultipartPart& part) {
    fieldValue.Clear();
    received = 0;
    partFlag = 0;
    isFile = part.IsFile();
    if (!isFile) return true;
    VornApplication* application = program ? program->Application() : nullptr;
    if (application) application->ResetTimeLimit();
    int32_t result = -1;
    if (!program || !program->CallValidateFileUpload(part.name.Text(), part.name.Length(), part.fileName.Text(),
                                                     part.fileName.Length(), part.type.Data(),
                                                     Clamp32(part.type.Length()), &result))
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

bool MultipartFormParser::EndPart(const MultipartPart& part) {
    if (!isFile) {
        // A part without a name names no variable.
        if (!part.name.IsEmpty()) {
            ++made;
            if (limit > 0 && made > limit) return Fail(String(kTooManyVariables));
            target->AppendValue(part.name.Text(), part.name.Length(), fieldValue.Data(),
                                Clamp32(fieldValue.Length()), true);
        }
        fieldValue.Clear();
        return true;
    }
    if (partFlag == 2) return true;
    delete temporary;
    temporary = nullptr;
    VornApplication* application = program->Application();
    if (application) application->ResetTimeLimit();
    bool ok = program->CallProcessFileUpload(part.name.Text(), part.name.Length(), part.fileName.Text(),
                                             part.fileName.Length(), status.Text(), status.Length(),
                                             temporaryName.Text(), temporaryName.Length(), part.type.Data(),
                                             Clamp32(part.type.Length()), Clamp32(received));
    DropTemporaryFile();
    if (!ok) return Fail(String("Failed call to ProcessFileUpload"));
    if (application) application->ResetPostTimeLimit();
    return true;
}

} // namespace vorn
