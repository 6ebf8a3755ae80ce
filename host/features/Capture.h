// VrCAPTURE: a block's output collected into a variable. While the block is
// open its CaptureOutput is the application's current output; what the block
// writes is kept in one growing block of memory that the variable then takes
// over without a copy. Error texts (written and flushed at once) and headers
// still go to the output the capture encloses.
#pragma once

#include <cstdint>

#include "engine/foundation/Output.h"
#include "engine/foundation/String.h"
#include "engine/vm/HostFeatureSource.h"

namespace vorn {

// The write window of a capture, its last byte kept free.
inline constexpr int32_t kCaptureWindow = 8192;
// The most bytes a capture keeps: what one variable can hold.
inline constexpr int32_t kCaptureLimit = INT32_MAX - 64;

class CaptureOutput : public BufferedOutput {
  public:
    // enclosing (not owned, may be null) takes write-and-flush text and
    // headers; limit (at most kCaptureLimit) bounds the bytes kept.
    explicit CaptureOutput(Output* enclosing, int32_t limit = kCaptureLimit);
    ~CaptureOutput() override;

    int32_t WriteAndFlush(const char* bytes, int32_t length) override;
    int32_t AddHeader(const char* name, int32_t nameLength, bool nameOwned, const char* value,
                      int32_t valueLength, bool valueOwned) override;
    // Takes every byte; bytes beyond what can be kept are dropped and noted
    // in Failure().
    int32_t Write(const char* bytes, int32_t length) override;
    // Moves the window's bytes into the captured text.
    int32_t Flush() override;
    // Bytes that found no room (the window is closed): dropped.
    int32_t Send(const char* bytes, int32_t length) override;
    // The captured text (malloc'ed, NUL-terminated) with its length and
    // allocated size; the output starts over, empty.
    virtual char* TakeCaptured(int32_t* length, int32_t* size);

    // Bytes captured so far, and the text (valid until the next write).
    int64_t CapturedLength() const { return captured + used; }
    const char* CapturedText() const { return block; }
    // Why bytes were dropped; empty when none were.
    const String& Failure() const { return failure; }
    Output* Enclosing() const { return enclosing; }

  private:
    // A new, empty block with its window open; false when no memory.
    bool StartOver();
    // Room for the next window behind the captured text, growing the block
    // geometrically; sets the window (closed at the limit or without memory).
    void OpenWindow();
    void NoteDropped();

    Output* enclosing;
    char* block = nullptr;
    int64_t blockSize = 0;
    int32_t captured = 0;
    int32_t limit;
    String closedReason; // why the window is closed
    String failure;
};

// The open VrCAPTURE block.
class Capture : public CaptureFeature {
  public:
    // Built on the application's current output; holds a reference on target.
    Capture(VornApplication* application, VornVM* vm, Variable* target, int32_t limit = kCaptureLimit);
    // A capture still open gives the output back (when it is still current)
    // and drops its text.
    ~Capture() override;

    void Begin() override;
    bool IsCurrent() override;
    int32_t End() override;

    CaptureOutput* Collector() const { return output; }

  private:
    CaptureOutput* output;
    Output* saved = nullptr;
    bool open = false;
    Variable* target;
};

} // namespace vorn
