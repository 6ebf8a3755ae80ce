// The host's lock files, flat files and output capture, as the engine's tag
// handlers ask for them. One per application; it keeps no state of a run.
#pragma once

#include <cstdint>

#include "engine/vm/HostFeatureSource.h"
#include "host/features/Capture.h"

namespace vorn {

class HostFeatures : public HostFeatureSource {
  public:
    LockfileFeature* NewLockfile(VornApplication* application, VornVM* vm, const char* path,
                                 int32_t length) override;
    ImportFeature* NewImport(VornApplication* application, VornVM* vm) override;
    CaptureFeature* NewCapture(VornApplication* application, VornVM* vm, Variable* target) override;
    int32_t Export(VornApplication* application, const char* name, int32_t nameLength, const char* delimiter,
                   int32_t delimiterLength, VariableList* fields, String* error) override;

    // The most bytes a capture keeps (kCaptureLimit unless lowered).
    void SetCaptureLimit(int32_t bytes) { captureLimit = bytes; }

  private:
    int32_t captureLimit = kCaptureLimit;
};

} // namespace vorn
