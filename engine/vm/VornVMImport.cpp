// VrIMPORT and VrEXPORT: the block of an import runs once per record of a
// flat file, optionally only for the records a filter expression passes;
// an export appends one record. The file format is the host's.
//
// A filter runs in a filter frame on the script's stack and scope. When its
// segment ends the interpreter hands the truth value to ImportFilterResult,
// which either runs the body or reads the next record and starts the filter
// over in the same frame, so rejected records cost no stack however many
// come in a row.
#include <cstdlib>
#include <cstring>

#include "engine/app/VornApplication.h"
#include "engine/foundation/Output.h"
#include "engine/program/Segment.h"
#include "engine/values/VariableList.h"
#include "engine/vm/HostFeatureSource.h"
#include "engine/vm/VornVM.h"

namespace vorn {

namespace {

constexpr char kRecordCounter[] = "recno";

bool IsBlank(const char* text, int32_t length) {
    for (int32_t i = 0; i < length; ++i)
        if (!Output::IsSpace(static_cast<unsigned char>(text[i]))) return false;
    return true;
}

// A malloc'ed text freed on every way out.
struct OwnedText {
    char* text = nullptr;
    int32_t length = 0;
    ~OwnedText() { std::free(text); }
    const char* Text() const { return text ? text : ""; }
};

} // namespace

ImportFeature* VornVM::BeginImport(bool filtered) {
    StackText filterText;
    if (filtered) stack->PopText(filterText);
    StackText names;
    stack->PopText(names);
    StackText delimiter;
    stack->PopText(delimiter);
    OwnedText name;
    name.text = stack->PopCString(&name.length, nullptr);
    if (aborted) return nullptr;
    const int32_t pastBlock = immA;

    HostFeatureSource* host = application ? application->GetHostFeatures() : nullptr;
    if (!host) {
        NotSupported(filtered ? "importf" : "import");
        return nullptr;
    }
    ImportFeature* import = host->NewImport(application, this);
    import->SetDelimiter(delimiter.text, delimiter.length);
    import->SetRecordCounter(FindOrCreateGlobal(kRecordCounter, sizeof kRecordCounter - 1));
    BuildVariableList(import->Fields(), names.text, names.length);
    if (aborted) {
        delete import;
        return nullptr;
    }

    const char* failure = nullptr;
    String message;
    if (filtered && !IsBlank(filterText.text, filterText.length)) {
        int32_t fileLength = 0;
        const char* file = SourceFileName(&fileLength);
        import->filter = CompileExpression(filterText.text, filterText.length,
                                           fileLength > 0 ? file : nullptr, fileLength, line, &message);
        if (!import->filter) {
            message = String("Syntax error in filter: ") + message;
            failure = message.Text();
        }
    }
    if (!failure && !import->Open(name.Text(), name.length)) failure = import->error.Text();
    if (failure) {
        TagError(kTagImport, failure);
        JumpBy(pastBlock);
        delete import;
        return nullptr;
    }
    ClearTagError(kTagImport);
    if (!import->ReadRecord()) {
        if (!import->error.IsEmpty()) TagError(kTagImport, import->error);
        JumpBy(pastBlock);
        delete import;
        return nullptr;
    }
    PushFeature(import);
    return import;
}

void VornVM::OpImport() {
    if (ImportFeature* import = BeginImport(false)) import->CountRecord();
}

void VornVM::OpImportf() {
    const int32_t pastBlock = immA;
    ImportFeature* import = BeginImport(true);
    if (!import) return;
    if (!import->filter) {
        import->CountRecord();
        return;
    }
    TestImportRecord(import, segmentIndex, pc, segmentIndex, static_cast<int64_t>(pc) + pastBlock);
}

void VornVM::OpImportLoop() {
    const int32_t toBody = immA;
    auto* import = static_cast<ImportFeature*>(FindFeature(kFeatureImport));
    // A filter of this import is running (it called a function that got
    // here): its record must not change under it.
    if (!import || import->filterFrame) {
        FatalError(kErrorNoOpenFeature);
        return;
    }
    if (!import->ReadRecord()) {
        if (!import->error.IsEmpty()) TagError(kTagImport, import->error);
        RemoveFeature(import);
        return;
    }
    if (!import->filter) {
        import->CountRecord();
        JumpBy(toBody);
        return;
    }
    TestImportRecord(import, segmentIndex, static_cast<int64_t>(pc) + toBody, segmentIndex, pc);
}

void VornVM::OpImportStop() {
    const int32_t pastBlock = immA;
    auto* import = static_cast<ImportFeature*>(FindFeature(kFeatureImport));
    if (!import || import->filterFrame) {
        FatalError(kErrorNoOpenFeature);
        return;
    }
    RemoveFeature(import);
    JumpBy(pastBlock);
}

void VornVM::TestImportRecord(ImportFeature* import, int32_t bodySegment, int64_t bodyPc, int32_t endSegment,
                              int64_t endPc) {
    // Both places lie in the current segment; checked now, as a jump would be.
    if (bodyPc < 0 || bodyPc > codeLength || endPc < 0 || endPc > codeLength) {
        FatalError(kErrorInvalidJump);
        return;
    }
    auto* filter = new VornVM_FilterFrame(&VornVM::ImportFilterResult);
    filter->SetScope(frame ? ScopeOf(frame) : globalScope, false);
    filter->SetStack(stack, false);
    filter->flags = frame ? frame->flags : kFrameDefaultFlags;
    filter->outputMode = frame ? frame->outputMode : 0;
    filter->returnSegment = endSegment;
    filter->returnPc = static_cast<int32_t>(endPc);
    filter->bodySegment = bodySegment;
    filter->bodyPc = static_cast<int32_t>(bodyPc);
    filter->import = import;
    filter->previous = frame;
    import->filterFrame = filter;
    SetCurrentFrame(filter);
    segmentIndex = import->filter->Index();
    pc = 0;
}

void VornVM::ImportFilterResult(int32_t truth) {
    auto* filter = static_cast<VornVM_FilterFrame*>(frame);
    ImportFeature* import = filter->import;
    if (import && !truth && import->ReadRecord()) {
        pc = 0; // the next record, tested in the same frame
        return;
    }
    const bool passed = import && truth;
    segmentIndex = passed ? filter->bodySegment : filter->returnSegment;
    pc = passed ? filter->bodyPc : filter->returnPc;
    SetCurrentFrame(filter->previous);
    delete filter; // unlinks the import
    if (!import) return;
    if (passed) {
        import->CountRecord();
        return;
    }
    if (!import->error.IsEmpty()) TagError(kTagImport, import->error);
    RemoveFeature(import);
}

void VornVM::OpExport() {
    StackText names;
    stack->PopText(names);
    StackText delimiter;
    stack->PopText(delimiter);
    OwnedText name;
    name.text = stack->PopCString(&name.length, nullptr);
    if (aborted) return;
    HostFeatureSource* host = application ? application->GetHostFeatures() : nullptr;
    if (!host) {
        NotSupported("export");
        return;
    }
    VariableList fields;
    BuildVariableList(&fields, names.text, names.length);
    if (aborted) return;
    String error;
    if (host->Export(application, name.Text(), name.length, delimiter.text, delimiter.length, &fields,
                     &error))
        ClearTagError(kTagExport);
    else
        TagError(kTagExport, error);
}

} // namespace vorn
