// What the handlers of VrLOCKFILE, VrIMPORT, VrEXPORT and VrCAPTURE need of
// the host: its lock files, flat files and output capture. The host makes the
// features; the application hands out its maker (VornApplication::GetHostFeatures).
#pragma once

#include <cstdint>

#include "engine/vm/Feature.h"

namespace vorn {

class Segment;
class String;
class Variable;
class VariableList;
class ImportFilterFrame;

// A held lock file: the open VrLOCKFILE block (kind kFeatureLockfile).
class LockfileFeature : public Feature {
  public:
    LockfileFeature(VornApplication* application, VornVM* vm) : Feature(application, vm, kFeatureLockfile) {}

    // 1 when the lock file was taken; 0 with the error set, and the feature
    // then holds and releases nothing.
    virtual int32_t Lock() = 0;
};

// The records of a flat file: the open VrIMPORT block (kind kFeatureImport).
class ImportFeature : public Feature {
  public:
    ImportFeature(VornApplication* application, VornVM* vm) : Feature(application, vm, kFeatureImport) {}
    // Leaves a filter frame still testing this import without it.
    ~ImportFeature() override;

    // The references the fields go into, filled by the caller before Open.
    virtual VariableList* Fields() = 0;
    virtual void SetDelimiter(const char* text, int32_t length) = 0;
    // The variable that counts the records reaching the body ("recno"); the
    // feature holds a reference on it.
    virtual void SetRecordCounter(Variable* counter) = 0;
    // Opens the file in the data directory: 1, or 0 with the error set.
    virtual int32_t Open(const char* name, int32_t length) = 0;
    // Puts the next record into the fields: 1, or 0 at the end of the
    // records, with the error set when a failure ended them.
    virtual int32_t ReadRecord() = 0;
    // Counts a record that reaches the body, into the counter variable.
    virtual void CountRecord() = 0;

    // The compiled filter (a segment of the program), null without one.
    Segment* filter = nullptr;
    // The frame testing the current record, while there is one.
    ImportFilterFrame* filterFrame = nullptr;
};

// An open VrCAPTURE block (kind kFeatureCapture): while it is open its output
// is the application's current one.
class CaptureFeature : public Feature {
  public:
    CaptureFeature(VornApplication* application, VornVM* vm) : Feature(application, vm, kFeatureCapture) {}

    // Makes the capture's output current, keeping the one it replaced.
    virtual void Begin() = 0;
    // Whether the capture's output is still the current one.
    virtual bool IsCurrent() = 0;
    // Hands the text to the target and restores the kept output: 1, or 0 with
    // the error set when not all of the text could be kept (the rest is
    // handed over all the same).
    virtual int32_t End() = 0;
};

class HostFeatureSource {
  public:
    virtual ~HostFeatureSource() = default;

    // Each feature is new and the caller's to push or delete. path and name
    // have no NUL bytes.
    virtual LockfileFeature* NewLockfile(VornApplication* application, VornVM* vm, const char* path,
                                         int32_t length) = 0;
    virtual ImportFeature* NewImport(VornApplication* application, VornVM* vm) = 0;
    // The feature holds its own reference on the target.
    virtual CaptureFeature* NewCapture(VornApplication* application, VornVM* vm, Variable* target) = 0;
    // Appends one record of the fields' texts to the file in the data
    // directory: 1, or 0 with *error set to the tag's message.
    virtual int32_t Export(VornApplication* application, const char* name, int32_t nameLength,
                           const char* delimiter, int32_t delimiterLength, VariableList* fields,
                           String* error) = 0;
};

} // namespace vorn
