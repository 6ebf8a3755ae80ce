// Fatal and runtime error reports, tag error settings and trace events.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "engine/app/VornApplication.h"
#include "engine/program/Dictionary.h"
#include "engine/values/Variable.h"
#include "engine/values/VariableHash.h"
#include "engine/vm/VornVM.h"

namespace vorn {

namespace {

// "[%08x:%08x]" of the segment and instruction, into out (32 bytes).
void PositionText(const VornVM* vm, char* out) {
    std::snprintf(out, 32, "[%08x:%08x]", static_cast<uint32_t>(vm->SegmentIndex()),
                  static_cast<uint32_t>(vm->InstructionStart()));
}

} // namespace

void VornVM::AppendPosition(String& out) {
    char position[32];
    PositionText(this, position);
    out.Append(position);
}

const char* VornVM::SourceFileName(int32_t* length) {
    if (!sourceFileName) {
        int32_t n = 0;
        const char* text = (pool && sourceFile >= 0) ? pool->Get(sourceFile, &n) : nullptr;
        sourceFileName = text ? text : "";
        sourceFileNameLength = text ? n : 0;
    }
    if (length) *length = sourceFileNameLength;
    return sourceFileName;
}

bool VornVM::TraceAccepts() {
    if (!application) return false;
    int32_t n = 0;
    const char* name = SourceFileName(&n);
    return application->LogFilterAccepts(name, n, line);
}

void VornVM::LogEvent(uint32_t kind, const char* text1, int32_t length1, const char* text2, int32_t length2) {
    if (!application) return;
    int32_t n = 0;
    const char* name = SourceFileName(&n);
    LogField fields[6];
    int32_t k = 0;
    fields[k++] = LogField(programName.Text(), programName.Length());
    fields[k++] = LogField(name, n);
    fields[k].kind = LogField::Integer;
    fields[k].value.integer = line;
    fields[k++].length = 4;
    if (text1) fields[k++] = LogField(text1, length1);
    if (text2) fields[k++] = LogField(text2, length2);
    fields[k] = LogField();
    application->Log(kind, fields);
}

namespace {

// A report built in a buffer of its own, for when there is no memory to
// build it in: what does not fit is cut, the last byte kept for its line end.
class FixedText {
public:
    void Assign(const String& text) {
        length = 0;
        AppendString(text);
    }
    void Append(const char* text, int32_t n = -1) {
        if (n < 0) n = static_cast<int32_t>(std::strlen(text));
        const int32_t room = static_cast<int32_t>(sizeof bytes) - 1 - length;
        if (n > room) n = room;
        std::memcpy(bytes + length, text, static_cast<size_t>(n));
        length += n;
    }
    void AppendString(const String& text) { Append(text.Text(), text.Length()); }
    void AppendInteger(int32_t value) {
        char digits[16];
        Append(digits, std::snprintf(digits, sizeof digits, "%d", value));
    }
    void AppendLineEnd() { bytes[length++] = '\n'; }

    char bytes[4096];
    int32_t length = 0;
};

// prefix + kind + program + " @ " + position + ": " [+ file ": "] [+ "Line n: "]
template <class Text>
void BeginReport(VornVM* vm, Text& out, const char* kind) {
    out.Assign(vm->MessagePrefix());
    out.Append(kind);
    out.AppendString(vm->ProgramName());
    out.Append(" @ ");
    char position[32];
    PositionText(vm, position);
    out.Append(position);
    out.Append(": ");
    int32_t n = 0;
    const char* file = vm->SourceFileName(&n);
    if (n > 0) {
        out.Append(file, n);
        out.Append(": ");
    }
    if (vm->Line() != 0) {
        out.Append("Line ");
        out.AppendInteger(vm->Line());
        out.Append(": ");
    }
}

} // namespace

int VornVM::FatalError(const char* message) {
    // Built aside: the message may be the text of the previous error.
    String text;
    BeginReport(this, text, "Fatal error in ");
    if (message) text.Append(message);
    text.AppendChar('\n');
    lastError = std::move(text);
    aborted = 1;
    if (application) application->WriteString(lastError);
    if ((traceFlags & LogFatalError) && TraceAccepts())
        LogEvent(LogFatalError, lastError.Text(), lastError.Length());
    return 0;
}

int VornVM::FatalError(const String& message) {
    return FatalError(message.Text());
}

void VornVM::FatalErrorWithoutMemory(const char* message) {
    // The run's memory is still held: the report is built on the stack, and
    // whatever of the rest needs memory is left when there is none.
    FixedText text;
    BeginReport(this, text, "Fatal error in ");
    text.Append(message);
    text.AppendLineEnd();
    aborted = 1;
    try {
        if (application) application->Write(text.bytes, text.length);
    } catch (const std::bad_alloc&) {
    }
    try {
        lastError.Assign(text.bytes, text.length);
        if ((traceFlags & LogFatalError) && TraceAccepts()) LogEvent(LogFatalError, text.bytes, text.length);
    } catch (const std::bad_alloc&) {
    }
}

int VornVM::RuntimeError(int32_t tagId, const char* message, int32_t length) {
    if (!message) {
        message = "";
        length = 0;
    }
    if (length < 0) length = static_cast<int32_t>(std::strlen(message));
    String text;
    BeginReport(this, text, "Runtime error in ");
    bool display = true;
    bool fatal = true;
    const char* tagName = "";
    const char* variableName = nullptr;
    if (const TagErrorEntry* row = TagErrorRow(tagId)) {
        if (row->tagName && row->tagName[0]) {
            tagName = row->tagName;
            text.Append(tagName);
            text.Append(": ");
        }
        display = (row->setting & kTagErrorDisplay) != 0;
        fatal = (row->setting & kTagErrorFatal) != 0;
        variableName = row->errorVariable;
    }
    text.Append(message, length);
    text.AppendChar('\n');
    if (fatal) aborted = 1;
    if (display && frame && (frame->flags & kFrameShowErrors) && application) application->WriteString(text);
    if (variableName && variableName[0]) {
        if (Variable* v = FindOrCreateGlobal(variableName, -1)) v->SetValue(message, length);
    }
    if ((traceFlags & LogRuntimeError) && TraceAccepts())
        LogEvent(LogRuntimeError, tagName, -1, message, length);
    lastError = std::move(text);
    return 0;
}

int VornVM::RuntimeError(int32_t tagId, const String& message) {
    return RuntimeError(tagId, message.Text(), message.Length());
}

int VornVM::TagError(int32_t tagId, const char* message, int32_t length) {
    int32_t n = 0;
    char* encoded = EntityEncode(message ? message : "", message ? length : 0, &n, nullptr);
    if (!encoded) return RuntimeError(tagId, message, length);
    RuntimeError(tagId, encoded, n);
    std::free(encoded);
    return 0;
}

int VornVM::TagError(int32_t tagId, const String& message) {
    return TagError(tagId, message.Text(), message.Length());
}

void VornVM::ClearTagError(int32_t tagId) {
    const TagErrorEntry* row = TagErrorRow(tagId);
    if (!row || !row->errorVariable || !globalScope) return;
    globalScope->ClearVariable(row->errorVariable, -1);
}

TagErrorEntry* VornVM::TagErrorRow(int32_t tagId) {
    if (tagId < 0 || tagId >= kTagErrorRows) return nullptr;
    return &tagErrors[tagId];
}

// No lock files, import or capture source was given to the VM.
void VornVM::NotSupported(const char* mnemonic) {
    String message("Instruction not supported: ");
    message.Append(mnemonic);
    FatalError(message);
}

} // namespace vorn
