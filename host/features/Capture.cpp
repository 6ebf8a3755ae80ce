#include "host/features/Capture.h"

#include <cstdlib>
#include <cstring>

#include "engine/app/VornApplication.h"
#include "engine/values/Variable.h"

namespace vorn {

namespace {

String LimitText(int32_t limit) {
    String text("Captured output exceeds ");
    text.AppendInteger(limit);
    text.Append(" bytes; the rest was dropped");
    return text;
}

} // namespace

// --- CaptureOutput ---------------------------------------------------------------

CaptureOutput::CaptureOutput(Output* outer, int32_t most)
    : BufferedOutput(0), enclosing(outer), limit(most > 0 && most <= kCaptureLimit ? most : kCaptureLimit) {
    StartOver();
}

CaptureOutput::~CaptureOutput() {
    std::free(block);
    buffer = nullptr; // points into the block
}

bool CaptureOutput::StartOver() {
    std::free(block);
    captured = 0;
    used = 0;
    failure.Free();
    closedReason.Free();
    blockSize = kCaptureWindow;
    block = static_cast<char*>(std::malloc(static_cast<size_t>(blockSize)));
    if (!block) blockSize = 0;
    OpenWindow();
    return block != nullptr;
}

void CaptureOutput::OpenWindow() {
    closedReason.Free();
    // The window and the terminator behind it, within the limit.
    int64_t window = kCaptureWindow - 1;
    if (window > static_cast<int64_t>(limit) - captured) window = static_cast<int64_t>(limit) - captured;
    const int64_t needed = captured + window + 1;
    if (block && needed > blockSize) {
        int64_t grown = blockSize * 2;
        if (grown < needed) grown = needed;
        if (grown > static_cast<int64_t>(limit) + 1) grown = static_cast<int64_t>(limit) + 1;
        char* fresh = static_cast<char*>(std::realloc(block, static_cast<size_t>(grown)));
        if (fresh) {
            block = fresh;
            blockSize = grown;
        } else {
            // Whatever room is left still takes bytes.
            window = blockSize - captured - 1;
            closedReason.Assign("Out of memory capturing output; the rest was dropped");
        }
    }
    if (!block) {
        window = 0;
        closedReason.Assign("Out of memory capturing output; the rest was dropped");
    } else if (window == static_cast<int64_t>(limit) - captured && closedReason.IsEmpty()) {
        closedReason = LimitText(limit);
    }
    buffer = block ? block + captured : nullptr;
    bufferSize = static_cast<int32_t>(window);
}

void CaptureOutput::NoteDropped() {
    if (failure.IsEmpty()) failure = closedReason.IsEmpty() ? LimitText(limit) : closedReason;
}

int32_t CaptureOutput::WriteAndFlush(const char* bytes, int32_t length) {
    return enclosing ? enclosing->WriteAndFlush(bytes, length) : Output::ResolveLength(bytes, length);
}

int32_t CaptureOutput::AddHeader(const char* name, int32_t nameLength, bool nameOwned, const char* value,
                                 int32_t valueLength, bool valueOwned) {
    if (!enclosing) return Output::AddHeader(name, nameLength, nameOwned, value, valueLength, valueOwned);
    return enclosing->AddHeader(name, nameLength, nameOwned, value, valueLength, valueOwned);
}

int32_t CaptureOutput::Write(const char* bytes, int32_t length) {
    const int32_t n = ResolveLength(bytes, length);
    if (BufferedOutput::Write(bytes, length) < n) NoteDropped();
    return n;
}

int32_t CaptureOutput::Flush() {
    const int32_t moved = used;
    if (moved <= 0) return 0;
    captured += moved;
    used = 0;
    OpenWindow();
    return moved;
}

int32_t CaptureOutput::Send(const char*, int32_t length) {
    if (length > 0) NoteDropped();
    return length;
}

char* CaptureOutput::TakeCaptured(int32_t* length, int32_t* size) {
    captured += used;
    used = 0;
    char* text = block;
    if (text) text[captured] = '\0'; // the window always leaves this byte
    if (length) *length = text ? captured : 0;
    if (size) *size = text ? static_cast<int32_t>(blockSize) : 0;
    block = nullptr;
    buffer = nullptr;
    StartOver();
    return text;
}

// --- Capture ----------------------------------------------------------------------

Capture::Capture(VornApplication* app, VornVM* vm, Variable* into, int32_t limit)
    : CaptureFeature(app, vm), output(new CaptureOutput(app ? app->GetOutput() : nullptr, limit)),
      target(into) {
    if (target) target->AddReference();
}

Capture::~Capture() {
    if (open && application && application->GetOutput() == output) application->SetOutput(saved);
    delete output;
    if (target) target->Release();
}

void Capture::Begin() {
    if (!application || open) return;
    saved = application->SetOutput(output);
    open = true;
}

bool Capture::IsCurrent() {
    return open && application && application->GetOutput() == output;
}

int32_t Capture::End() {
    String dropped(output->Failure());
    int32_t length = 0;
    int32_t size = 0;
    char* text = output->TakeCaptured(&length, &size);
    if (target)
        target->SetValueNocopy(text, length, size);
    else
        std::free(text);
    if (open && application) application->SetOutput(saved);
    open = false;
    saved = nullptr;
    if (dropped.IsEmpty()) return 1;
    SetError(dropped);
    return 0;
}

} // namespace vorn
