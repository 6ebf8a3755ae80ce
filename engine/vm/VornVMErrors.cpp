// Fatal and runtime error reports, tag error settings and trace events.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "engine/app/VornApplication.h"
#include "engine/program/Dictionary.h"
#include "engine/values/Variable.h"
#include "engine/values/VariableHash.h"
#include "engine/vm/VornVM.h"

namespace vorn {

void VornVM::AppendPosition(String& out) {
    char position[32];
    std::snprintf(position, sizeof position, "[%08x:%08x]", static_cast<uint32_t>(segmentIndex),
                  static_cast<uint32_t>(instructionStart));
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

// prefix + kind + program + " @ " + position + ": " [+ file ": "] [+ "Line n: "]
void BeginReport(VornVM* vm, String& out, const char* kind) {
    out.Assign(vm->MessagePrefix());
    out.Append(kind);
    out.AppendString(vm->ProgramName());
    out.Append(" @ ");
    vm->AppendPosition(out);
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

} // namespace vorn
