// VrIMPORT and VrEXPORT: the block of an import runs once per record of a
// flat file, optionally only for the records a filter expression passes;
// an export appends one record. The file format is the host's.
//
// A filter runs in a filter frame on the script's stack and scope. When its
// segment ends the interpreter hands the truth value to FilterResult,
// which either runs the body or reads the next record and starts the filter
// over in the same frame, so rejected records cost no stack however many
// come in a row.
#include <cstdlib>
#include <cstring>

#include "engine/app/VornApplication.h"
#include "engine/foundation/Messages.h"
#include "engine/foundation/Output.h"
#include "engine/program/Segment.h"
#include "engine/values/VariableList.h"
#include "engine/vm/HostFeatureSource.h"
#include "engine/vm/TagGroups.h"
#include "engine/vm/VornVM.h"

namespace vorn {

// The frame of an import's filter: where a passing record runs the body
// (returnSegment and returnPc are where the block ends), and the import
// whose record is tested (null once it is gone).
class ImportFilterFrame : public VornVM_FilterFrame {
  public:
    using VornVM_FilterFrame::VornVM_FilterFrame;
    // Unlinks itself from its import.
    ~ImportFilterFrame() override {
        if (import) import->filterFrame = nullptr;
    }

    int32_t bodySegment = -1;
    int32_t bodyPc = 0;
    ImportFeature* import = nullptr;
};

// Leaves a filter frame still testing this import without it.
ImportFeature::~ImportFeature() {
    if (filterFrame) filterFrame->import = nullptr;
}

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

// The operands import and export share, popped in their order: the field
// names, the delimiter, the file's name.
struct FileOperands {
    void Pop(VornVM_Stack* stack) {
        stack->PopText(names);
        stack->PopText(delimiter);
        name.text = stack->PopCString(&name.length, nullptr);
    }
    StackText names;
    StackText delimiter;
    OwnedText name;
};

// The shared part of import and importf: pops the tag's operands and opens
// the file; the import, or null when the block is skipped.
ImportFeature* BeginImport(VornVM& vm, bool filtered) {
    VornVM_Stack* stack = vm.CurrentStack();
    StackText filterText;
    if (filtered) stack->PopText(filterText);
    FileOperands operands;
    operands.Pop(stack);
    if (vm.Aborted()) return nullptr;
    const int32_t pastBlock = vm.ImmA();

    VornApplication* application = vm.Application();
    HostFeatureSource* host = application ? application->GetHostFeatures() : nullptr;
    if (!host) {
        vm.NotSupported(filtered ? "importf" : "import");
        return nullptr;
    }
    ImportFeature* import = host->NewImport(application, &vm);
    import->SetDelimiter(operands.delimiter.text, operands.delimiter.length);
    import->SetRecordCounter(vm.FindOrCreateGlobal(kRecordCounter, sizeof kRecordCounter - 1));
    vm.BuildVariableList(import->Fields(), operands.names.text, operands.names.length);
    if (vm.Aborted()) {
        delete import;
        return nullptr;
    }

    const char* failure = nullptr;
    String message;
    if (filtered && !IsBlank(filterText.text, filterText.length)) {
        int32_t fileLength = 0;
        const char* file = vm.SourceFileName(&fileLength);
        import->filter =
            vm.CompileExpression(filterText.text, filterText.length, fileLength > 0 ? file : nullptr,
                                 fileLength, vm.Line(), &message);
        if (!import->filter) {
            message = String(kFilterSyntax) + message;
            failure = message.Text();
        }
    }
    if (!failure && !import->Open(operands.name.Text(), operands.name.length)) failure = import->error.Text();
    if (failure) {
        vm.TagError(kTagImport, failure);
        vm.JumpBy(pastBlock);
        delete import;
        return nullptr;
    }
    vm.ClearTagError(kTagImport);
    if (!import->ReadRecord()) {
        if (!import->error.IsEmpty()) vm.TagError(kTagImport, import->error);
        vm.JumpBy(pastBlock);
        delete import;
        return nullptr;
    }
    vm.PushFeature(import);
    return import;
}

// The filter frame's continuation with the filter's truth value.
void FilterResult(VornVM& vm, int32_t truth) {
    auto* filter = static_cast<ImportFilterFrame*>(vm.CurrentFrame());
    ImportFeature* import = filter->import;
    if (import && !truth && import->ReadRecord()) {
        vm.GoTo(vm.SegmentIndex(), 0); // the next record, tested in the same frame
        return;
    }
    const bool passed = import && truth;
    vm.GoTo(passed ? filter->bodySegment : filter->returnSegment, passed ? filter->bodyPc : filter->returnPc);
    vm.SetCurrentFrame(filter->previous);
    delete filter; // unlinks the import
    if (!import) return;
    if (passed) {
        import->CountRecord();
        return;
    }
    if (!import->error.IsEmpty()) vm.TagError(kTagImport, import->error);
    vm.RemoveFeature(import);
}

// Runs the import's filter on its current record in a new filter frame: a
// passing record goes on at the body, the block ends at its end.
void TestRecord(VornVM& vm, ImportFeature* import, int32_t bodySegment, int64_t bodyPc, int32_t endSegment,
                int64_t endPc) {
    // Both places lie in the current segment; checked now, as a jump would be.
    const int32_t codeLength = vm.CodeLength();
    if (bodyPc < 0 || bodyPc > codeLength || endPc < 0 || endPc > codeLength) {
        vm.FatalError(kErrorInvalidJump);
        return;
    }
    VornVM_Frame* frame = vm.CurrentFrame();
    auto* filter = new ImportFilterFrame(&FilterResult);
    filter->SetScope(frame ? vm.ScopeOf(frame) : vm.GlobalScope(), false);
    filter->SetStack(vm.CurrentStack(), false);
    filter->flags = frame ? frame->flags : kFrameDefaultFlags;
    filter->outputMode = frame ? frame->outputMode : 0;
    filter->returnSegment = endSegment;
    filter->returnPc = static_cast<int32_t>(endPc);
    filter->bodySegment = bodySegment;
    filter->bodyPc = static_cast<int32_t>(bodyPc);
    filter->import = import;
    filter->previous = frame;
    import->filterFrame = filter;
    vm.SetCurrentFrame(filter);
    vm.GoTo(import->filter->Index(), 0);
}

// The innermost open import, or null after the fatal error. A filter of it
// that is running (it called a function that got here) makes it none: its
// record must not change under the filter.
ImportFeature* OpenImport(VornVM& vm) {
    auto* import = static_cast<ImportFeature*>(vm.FindFeature(kFeatureImport));
    if (import && !import->filterFrame) return import;
    vm.FatalError(kErrorNoOpenFeature);
    return nullptr;
}

} // namespace

void OpImport(VornVM& vm) {
    if (ImportFeature* import = BeginImport(vm, false)) import->CountRecord();
}

void OpImportf(VornVM& vm) {
    const int32_t pastBlock = vm.ImmA();
    ImportFeature* import = BeginImport(vm, true);
    if (!import) return;
    if (!import->filter) {
        import->CountRecord();
        return;
    }
    const int32_t pc = vm.Pc();
    TestRecord(vm, import, vm.SegmentIndex(), pc, vm.SegmentIndex(), static_cast<int64_t>(pc) + pastBlock);
}

void OpImportLoop(VornVM& vm) {
    const int32_t toBody = vm.ImmA();
    ImportFeature* import = OpenImport(vm);
    if (!import) return;
    if (!import->ReadRecord()) {
        if (!import->error.IsEmpty()) vm.TagError(kTagImport, import->error);
        vm.RemoveFeature(import);
        return;
    }
    if (!import->filter) {
        import->CountRecord();
        vm.JumpBy(toBody);
        return;
    }
    const int32_t pc = vm.Pc();
    TestRecord(vm, import, vm.SegmentIndex(), static_cast<int64_t>(pc) + toBody, vm.SegmentIndex(), pc);
}

void OpImportStop(VornVM& vm) {
    const int32_t pastBlock = vm.ImmA();
    ImportFeature* import = OpenImport(vm);
    if (!import) return;
    vm.RemoveFeature(import);
    vm.JumpBy(pastBlock);
}

void OpExport(VornVM& vm) {
    FileOperands operands;
    operands.Pop(vm.CurrentStack());
    if (vm.Aborted()) return;
    VornApplication* application = vm.Application();
    HostFeatureSource* host = application ? application->GetHostFeatures() : nullptr;
    if (!host) {
        vm.NotSupported("export");
        return;
    }
    VariableList fields;
    vm.BuildVariableList(&fields, operands.names.text, operands.names.length);
    if (vm.Aborted()) return;
    String error;
    if (host->Export(application, operands.name.Text(), operands.name.length, operands.delimiter.text,
                     operands.delimiter.length, &fields, &error))
        vm.ClearTagError(kTagExport);
    else
        vm.TagError(kTagExport, error);
}

} // namespace vorn
